#include "cli/Password.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Asks on the controlling terminal with echo off.
bool prompt(const char* question, std::string& answer, std::string& error) {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) {
        error = "no terminal to ask for the password on";
        return false;
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
    answer.clear();
    char c = 0;
    ssize_t n = 0;
    while ((n = ::read(tty, &c, 1)) == 1 && c != '\n')
        answer += c;
    if (isTerminal) tcsetattr(tty, TCSAFLUSH, &saved);
    if (::write(tty, "\n", 1) < 0) {
        // nothing more to do on a terminal that cannot be written
    }
    ::close(tty);
    if (n < 0) {
        error = std::string("cannot read the password: ") + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

bool readPassword(const CliOptions& options, bool confirm, std::string& password,
                  std::string& error) {
    if (options.passwordFile) {
        std::ifstream file(*options.passwordFile, std::ios::binary);
        if (!file) {
            error = "cannot read " + *options.passwordFile + ": " + std::strerror(errno);
            return false;
        }
        std::ostringstream text;
        text << file.rdbuf();
        password = text.str();
        if (!password.empty() && password.back() == '\n') password.pop_back();
        return true;
    }
    if (!prompt("Password: ", password, error)) return false;
    if (!confirm) return true;
    std::string again;
    if (!prompt("Password again: ", again, error)) return false;
    if (again != password) {
        error = "the passwords do not match";
        return false;
    }
    return true;
}
