#pragma once
// The commands of `parcelor`, one file each, each returning the
// process's exit status: 0 success; 1 a damaged or missing piece, a wrong
// password or a failed run; 128 + N when signal N stopped it.

#include "cli/Session.h"

int splitCommand(Session& session);
int joinCommand(Session& session);
int verifyCommand(Session& session);
int listCommand(Session& session);
int repairCommand(Session& session);
int mountCommand(Session& session);
int unmountCommand(Session& session);

// The command the options name, run to its end (Session::finish).
int runCommand(const CliOptions& options);
