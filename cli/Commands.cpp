#include "cli/Commands.h"

int runCommand(const CliOptions& options) {
    Session session(options);
    int status = 2;
    switch (options.verb) {
    case Verb::Split:
        status = splitCommand(session);
        break;
    case Verb::Join:
        status = joinCommand(session);
        break;
    case Verb::Verify:
        status = verifyCommand(session);
        break;
    case Verb::List:
        status = listCommand(session);
        break;
    case Verb::Repair:
        status = repairCommand(session);
        break;
    case Verb::Mount:
        status = mountCommand(session);
        break;
    case Verb::Unmount:
        status = unmountCommand(session);
        break;
    case Verb::None:
        break;
    }
    return session.finish(status);
}
