// parcelor: the command line of Morvane Parcelor.

#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "engine/errors.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParsedCommandLine parsed = parseCommandLine(args);
    const CliOptions& options = parsed.options;
    if (options.version) {
        std::fputs(versionText().c_str(), stdout);
        return 0;
    }
    if (options.help) {
        std::fputs(helpText(options.verb).c_str(), stdout);
        return 0;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "parcelor: %s\nTry 'parcelor%s --help'.\n", parsed.error.c_str(),
                     options.verb == Verb::Split    ? " split"
                     : options.verb == Verb::Join   ? " join"
                     : options.verb == Verb::Verify ? " verify"
                     : options.verb == Verb::List   ? " list"
                                                    : "");
        return 2;
    }
    // The engine's diagnostic lines would mix into this program's output.
    engineSetDiagnosticSink(nullptr);
    engineResetCancel(); // before the handlers: a signal from now on is a stop
    installSignalHandlers();
    return runCommand(options);
}
