// parcelor: the command line of Morvane Parcelor.

#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "engine/compat/errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What was written to standard output must have reached it: a full disk or a
// closed pipe is a failure, as coreutils' close_stdout makes it.
int closeStandardOutput(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || std::fclose(stdout) != 0) {
        const int error = errno;
        std::fprintf(stderr, "parcelor: write error: %s\n", std::strerror(error));
        return status == 0 ? 1 : status;
    }
    return status;
}

const char* verbName(Verb verb) {
    switch (verb) {
    case Verb::Split:
        return " split";
    case Verb::Join:
        return " join";
    case Verb::Verify:
        return " verify";
    case Verb::List:
        return " list";
    case Verb::Repair:
        return " repair";
    case Verb::Mount:
        return " mount";
    case Verb::Unmount:
        return " unmount";
    case Verb::None:
        break;
    }
    return "";
}

int run(const std::vector<std::string>& args) {
    const ParsedCommandLine parsed = parseCommandLine(args);
    const CliOptions& options = parsed.options;
    // A usage error wins over --version and --help: the line as a whole is wrong.
    if (!parsed.error.empty()) {
        Session session(options);
        session.fail(parsed.error, "usage", 2);
        std::fprintf(stderr, "Try 'parcelor%s --help'.\n", verbName(options.verb));
        return session.finish(2);
    }
    if (options.version) {
        std::fputs(versionText().c_str(), stdout);
        return 0;
    }
    if (options.help) {
        std::fputs(helpText(options.verb).c_str(), stdout);
        return 0;
    }
    // The engine's diagnostic lines would mix into this program's output.
    engineSetDiagnosticSink(nullptr);
    installSignalHandlers();
    return runCommand(options);
}

} // namespace

int main(int argc, char** argv) {
    return closeStandardOutput(run(std::vector<std::string>(argv + 1, argv + argc)));
}
