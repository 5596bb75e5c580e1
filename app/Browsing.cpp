#include "app/Browsing.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kProgram = "parcelor";

// What the program said on its standard error, without the final newline;
// how it ended when it said nothing.
std::string errorTextOf(const toolkit::ProcessOutcome& outcome) {
    std::string text = outcome.errorText;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (text.empty())
        return outcome.started ? "parcelor ended with status " + std::to_string(outcome.exitStatus)
                               : "parcelor could not be started";
    return text;
}

bool isTheFolderMade(const BrowseFolder& folder) {
    struct stat st {};
    return lstat(folder.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           static_cast<uint64_t>(st.st_dev) == folder.device &&
           static_cast<uint64_t>(st.st_ino) == folder.inode &&
           st.st_mtim.tv_sec == folder.mtimeSeconds &&
           st.st_mtim.tv_nsec == folder.mtimeNanoseconds;
}

} // namespace

std::optional<BrowseFolder> makeBrowseFolder(std::string& error) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (!runtime || runtime[0] != '/' || lstat(runtime, &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != getuid()) {
        error = "There is no private runtime folder of yours to mount it in (XDG_RUNTIME_DIR).";
        return std::nullopt;
    }
    std::string pattern = std::string(runtime) + "/parcelor-browse-XXXXXX";
    if (!mkdtemp(pattern.data()) || lstat(pattern.c_str(), &st) != 0) {
        error = "Cannot make a folder in " + std::string(runtime) + ": " + std::strerror(errno);
        return std::nullopt;
    }
    BrowseFolder folder;
    folder.path = pattern;
    folder.device = static_cast<uint64_t>(st.st_dev);
    folder.inode = static_cast<uint64_t>(st.st_ino);
    folder.mtimeSeconds = st.st_mtim.tv_sec;
    folder.mtimeNanoseconds = st.st_mtim.tv_nsec;
    return folder;
}

toolkit::ProcessOutcome mountSet(toolkit::Processes& processes, const BrowseFolder& folder,
                                 const std::string& set, const std::string& password) {
    const std::string program = processes.findProgram(kProgram);
    if (program.empty()) {
        toolkit::ProcessOutcome missing;
        missing.errorText =
            "The parcelor command is not installed beside this program nor on PATH.";
        return missing;
    }
    std::vector<std::string> arguments = {"mount"};
    if (!password.empty())
        arguments.insert(arguments.end(), {"--password-fd", std::to_string(kBrowsePasswordFd)});
    arguments.insert(arguments.end(), {"--", set, folder.path});
    toolkit::ProcessOutcome outcome =
        password.empty() ? processes.run(program, arguments)
                         : processes.run(program, arguments, kBrowsePasswordFd, password + "\n");
    if (!outcome.started || outcome.exitStatus != 0) outcome.errorText = errorTextOf(outcome);
    return outcome;
}

bool endBrowsing(toolkit::Processes& processes, const BrowseFolder& folder, bool mounted,
                 std::string& error) {
    if (mounted) {
        const std::string program = processes.findProgram(kProgram);
        const toolkit::ProcessOutcome outcome =
            program.empty() ? toolkit::ProcessOutcome{}
                            : processes.run(program, {"unmount", "--", folder.path});
        if (!outcome.started || outcome.exitStatus != 0) {
            error = errorTextOf(outcome);
            return false;
        }
    }
    if (isTheFolderMade(folder)) rmdir(folder.path.c_str()); // only when empty
    return true;
}
