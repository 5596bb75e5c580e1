#include "cli/Password.h"

#include "cli/Session.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How long one wait for data lasts before the stop request is looked at again.
constexpr int kWaitMilliseconds = 100;

enum class Outcome { Done, TooLong, Stopped, Error };

// Reads `fd` (opened with O_NONBLOCK) into `text` up to end of file, or with
// `untilNewline` up to the first '\n', which is not kept. Takes at most one
// byte more than kMaxPasswordTextBytes, and calls that TooLong. The waits for
// data are short polls, so a stop request ends them however long the writer
// takes. Error leaves errno set.
Outcome readBounded(int fd, bool untilNewline, std::string& text) {
    text.clear();
    char buffer[kMaxPasswordTextBytes + 1];
    for (;;) {
        if (stopSignal() != 0) return Outcome::Stopped;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, kWaitMilliseconds);
        if (ready < 0 && errno != EINTR) return Outcome::Error;
        if (ready <= 0) continue;
        // Byte by byte up to a newline, so that nothing typed after it is taken.
        const std::size_t room = untilNewline ? 1 : kMaxPasswordTextBytes + 1 - text.size();
        const ssize_t n = ::read(fd, buffer, room);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return Outcome::Error;
        }
        if (n == 0 || (untilNewline && buffer[0] == '\n')) return Outcome::Done;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxPasswordTextBytes) return Outcome::TooLong;
    }
}

// The message for what readBounded refused; `what` names the source.
std::string refusal(Outcome outcome, const std::string& what, const std::string& text,
                    int readError) {
    switch (outcome) {
    case Outcome::TooLong:
        return what + " is longer than " + std::to_string(kMaxPasswordTextBytes) + " bytes";
    case Outcome::Error:
        return "cannot read " + what + ": " + std::strerror(readError);
    case Outcome::Done:
        if (text.find('\0') != std::string::npos) return what + " holds a NUL byte";
        return {};
    case Outcome::Stopped:
        break;
    }
    return {};
}

// Asks on the controlling terminal with echo off.
PasswordRead prompt(const char* question, std::string& answer, std::string& error) {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (tty < 0) {
        error = "no terminal to ask for the password on";
        return PasswordRead::Failed;
    }
    termios saved{};
    const bool isTerminal = tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    if (::write(tty, question, std::strlen(question)) < 0) {
        // the question could not be shown; the answer is still read
    }
    const Outcome outcome = readBounded(tty, true, answer);
    const int readError = errno;
    if (isTerminal) tcsetattr(tty, TCSAFLUSH, &saved);
    if (::write(tty, "\n", 1) < 0) {
        // nothing more to do on a terminal that cannot be written
    }
    ::close(tty);
    if (outcome == Outcome::Stopped) return PasswordRead::Stopped;
    error = refusal(outcome, "the password typed", answer, readError);
    return error.empty() ? PasswordRead::Done : PasswordRead::Failed;
}

PasswordRead readPasswordFile(const std::string& path, PasswordText& text, std::string& error) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer where no stop
    // request can end the wait; readBounded waits instead.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot read the password file " + path + ": " + std::strerror(errno);
        return PasswordRead::Failed;
    }
    std::string raw;
    struct stat st {};
    const Outcome outcome = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                                    static_cast<std::uintmax_t>(st.st_size) > kMaxPasswordTextBytes
                                ? Outcome::TooLong
                                : readBounded(fd, false, raw);
    const int readError = errno;
    ::close(fd);
    if (outcome == Outcome::Stopped) return PasswordRead::Stopped;
    error = refusal(outcome, "the password file " + path, raw, readError);
    if (!error.empty()) return PasswordRead::Failed;

    text.withCarriageReturn.reset();
    if (raw.ends_with("\r\n")) {
        raw.pop_back();
        text.withCarriageReturn = raw;
        raw.pop_back();
    } else if (raw.ends_with('\n')) {
        raw.pop_back();
    }
    text.password = std::move(raw);
    return PasswordRead::Done;
}

// From a descriptor the caller handed down, up to a newline or its end;
// closed after, so nothing this program starts inherits it.
PasswordRead readPasswordDescriptor(int descriptor, PasswordText& text, std::string& error) {
    const std::string what = "the password from descriptor " + std::to_string(descriptor);
    if (descriptor == STDOUT_FILENO || descriptor == STDERR_FILENO ||
        fcntl(descriptor, F_GETFD) < 0) {
        error = "cannot read " + what + ": " +
                (descriptor == STDOUT_FILENO || descriptor == STDERR_FILENO
                     ? std::string("it is an output")
                     : std::string(std::strerror(EBADF)));
        return PasswordRead::Failed;
    }
    const Outcome outcome = readBounded(descriptor, true, text.password);
    const int readError = errno;
    ::close(descriptor);
    text.withCarriageReturn.reset();
    if (outcome == Outcome::Stopped) return PasswordRead::Stopped;
    error = refusal(outcome, what, text.password, readError);
    return error.empty() ? PasswordRead::Done : PasswordRead::Failed;
}

} // namespace

PasswordRead readPassword(const CliOptions& options, bool confirm, PasswordText& text,
                          std::string& error) {
    if (options.passwordFile) return readPasswordFile(*options.passwordFile, text, error);
    if (options.passwordFd) return readPasswordDescriptor(*options.passwordFd, text, error);
    text.withCarriageReturn.reset();
    if (const PasswordRead read = prompt("Password: ", text.password, error);
        read != PasswordRead::Done || !confirm)
        return read;
    std::string again;
    if (const PasswordRead read = prompt("Password again: ", again, error);
        read != PasswordRead::Done)
        return read;
    if (again != text.password) {
        error = "the passwords do not match";
        return PasswordRead::Failed;
    }
    return PasswordRead::Done;
}
