#pragma once
// Passwords for the command line: never from its arguments (other users can
// read them), but from a file or from the terminal without echo.

#include "cli/CommandLine.h"

#include <cstddef>
#include <optional>
#include <string>

// The most a password file, or a line typed at the prompt, may hold.
inline constexpr std::size_t kMaxPasswordTextBytes = 4096;

struct PasswordText {
    // The password: a file's text without one trailing LF or CRLF, or the
    // line typed at the prompt.
    std::string password;
    // For a file that ended in CRLF, its text with the CR kept. Builds that
    // dropped only the LF protected their sets with that text, so a join
    // tries it when `password` does not match.
    std::optional<std::string> withCarriageReturn;
};

enum class PasswordRead {
    Done,
    Failed,  // `error` says why
    Stopped, // a stop was asked for (engineCancelRequested) while waiting
};

// Reads the password that the options name: --password-file or a prompt on
// the terminal (asked twice for a new set, when `confirm`). With neither
// option, a prompt. Fails when it cannot be read, when it is longer than
// kMaxPasswordTextBytes, when it holds a NUL byte, or when the two typed
// differ. Waiting for a FIFO's writer or for the terminal ends on a stop
// request.
PasswordRead readPassword(const CliOptions& options, bool confirm, PasswordText& text,
                          std::string& error);
