#pragma once
// Passwords for the command line: never from its arguments (other users can
// read them), but from a file or from the terminal without echo.

#include "cli/CommandLine.h"

#include <string>

// Reads the password that the options name: --password-file (one trailing
// newline dropped) or a prompt on the terminal (asked twice for a new set,
// when `confirm`). With neither option, a prompt. False, with `error`, when
// it cannot be read or the two typed differ.
bool readPassword(const CliOptions& options, bool confirm, std::string& password,
                  std::string& error);
