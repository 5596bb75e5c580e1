#pragma once
// The command line's grammar: subcommands, options and operands, and the
// help texts. Parsing only; nothing here touches a file.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class Verb { None, Split, Join, Verify, List, Repair, Mount, Unmount };

struct CliOptions {
    Verb verb = Verb::None;
    bool help = false;    // --help (for the verb, or in general)
    bool version = false; // --version
    std::vector<std::string> operands;
    std::optional<int64_t> pieceSize; // -b/--size, in bytes
    std::optional<int64_t> count;     // -n/--count
    std::optional<std::string> passwordFile;
    bool passwordPrompt = false;
    std::optional<int> passwordFd; // --password-fd N: an inherited descriptor to read it from
    bool removeSource = false;
    bool removePieces = false;
    bool noChecksums = false;
    bool hidden = false; // store a folder's hidden items
    bool encrypt = false;
    bool decrypt = false; // verify: also authenticate every chunk of an encrypted set // encrypt
                          // the pieces with the password (age format)
    std::optional<std::string> setName;      // --name: the set's name in place of the source's
    std::optional<int32_t> recoveryCount;    // --recovery N: recovery pieces per group
    std::optional<int32_t> recoveryPercent;  // --recovery N%: that share of the pieces
    std::optional<std::string> repairOutput; // repair --output DIR
    bool ignoreChecksums = false;            // join over damaged checksum files, quick check only
    bool requireChecksums = false;           // a set without checksum files fails the join
    bool replace = false;
    bool force = false;
    bool foreground = false; // mount -f: no daemon
    bool status = false;     // mount --status MOUNTPOINT: what a running mount has found
    bool quiet = false;
    bool json = false;
};

struct ParsedCommandLine {
    CliOptions options;
    std::string error; // a usage error; "" when the line is usable
};
ParsedCommandLine parseCommandLine(const std::vector<std::string>& args);

// A size as coreutils' split reads it: digits, then K, M, G, T (powers of
// 1024, also written KiB, MiB, GiB, TiB) or KB, MB, GB, TB (powers of 1000).
// Nothing for a malformed, zero or too large size.
std::optional<int64_t> parseSize(const std::string& text);

std::string helpText(Verb verb);
std::string versionText();
