#pragma once
// The four commands of `parcelor`, each returning the process's exit status:
// 0 success, 1 a damaged or missing piece, a wrong password or a failed run,
// 128 + N when signal N stopped it. Messages go to standard error, each
// starting with "parcelor: ".

#include "cli/CommandLine.h"

int runCommand(const CliOptions& options);

// Installs the handlers by which SIGINT, SIGTERM and SIGHUP cancel the run.
void installSignalHandlers();
