#include "cli/CommandLine.h"

#include <limits>

namespace {

// One option of the grammar: a switch sets its flag; the others take a value.
struct OptionRule {
    const char* longName;
    char shortName;          // 0 when it has none
    bool CliOptions::*flag;  // nullptr for an option with a value
    std::vector<Verb> verbs; // where it is allowed
};

const std::vector<OptionRule>& optionRules() {
    static const std::vector<OptionRule> rules = {
        {"size", 'b', nullptr, {Verb::Split}},
        {"count", 'n', nullptr, {Verb::Split}},
        {"password-file", 0, nullptr, {Verb::Split, Verb::Join, Verb::Verify, Verb::Mount}},
        {"password-prompt",
         0,
         &CliOptions::passwordPrompt,
         {Verb::Split, Verb::Join, Verb::Verify, Verb::Mount}},
        {"password-fd", 0, nullptr, {Verb::Join, Verb::Verify, Verb::Mount}},
        {"decrypt", 0, &CliOptions::decrypt, {Verb::Verify}},
        {"remove-source", 0, &CliOptions::removeSource, {Verb::Split}},
        {"remove-pieces", 0, &CliOptions::removePieces, {Verb::Join}},
        {"no-checksums", 0, &CliOptions::noChecksums, {Verb::Split}},
        {"hidden", 0, &CliOptions::hidden, {Verb::Split}},
        {"recovery", 0, nullptr, {Verb::Split}},
        {"encrypt", 0, &CliOptions::encrypt, {Verb::Split}},
        {"name", 0, nullptr, {Verb::Split, Verb::Join, Verb::Mount}},
        {"output", 'o', nullptr, {Verb::Repair}},
        {"ignore-checksums", 0, &CliOptions::ignoreChecksums, {Verb::Join}},
        {"require-checksums", 0, &CliOptions::requireChecksums, {Verb::Join, Verb::Mount}},
        {"replace", 0, &CliOptions::replace, {Verb::Split, Verb::Join}},
        {"force", 'f', &CliOptions::force, {Verb::Split}},
        {"foreground", 'f', &CliOptions::foreground, {Verb::Mount}},
        {"status", 0, &CliOptions::status, {Verb::Mount}},
        {"quiet", 'q', &CliOptions::quiet, {Verb::Split, Verb::Join, Verb::Verify, Verb::Repair}},
        {"json", 0, &CliOptions::json, {Verb::Split, Verb::Join, Verb::Verify, Verb::Repair}},
        {"help",
         'h',
         &CliOptions::help,
         {Verb::None, Verb::Split, Verb::Join, Verb::Verify, Verb::List, Verb::Repair, Verb::Mount,
          Verb::Unmount}},
        {"version", 0, &CliOptions::version, {Verb::None}},
    };
    return rules;
}

std::optional<int64_t> parseCount(const std::string& text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1) return std::nullopt;
    return value;
}

// Applies one option; "" or a usage error.
std::string apply(CliOptions& o, const OptionRule& rule, const std::string& value) {
    if (rule.flag) {
        o.*rule.flag = true;
        return {};
    }
    const std::string name = rule.longName;
    if (name == "size") {
        o.pieceSize = parseSize(value);
        if (!o.pieceSize) return "invalid piece size: '" + value + "'";
    } else if (name == "count") {
        o.count = parseCount(value);
        if (!o.count) return "invalid number of pieces: '" + value + "'";
    } else if (name == "password-file") {
        o.passwordFile = value;
    } else if (name == "password-fd") {
        const bool digits = !value.empty() && value.size() <= 9 &&
                            value.find_first_not_of("0123456789") == std::string::npos;
        if (!digits) return "invalid descriptor: '" + value + "' (a number such as 3)";
        o.passwordFd = std::stoi(value);
    } else if (name == "recovery") {
        const bool share = !value.empty() && value.back() == '%';
        const std::optional<int64_t> number =
            parseCount(share ? value.substr(0, value.size() - 1) : value);
        if (!number || (share && *number > 100) || (!share && *number > 254))
            return "invalid recovery pieces: '" + value +
                   "' (a count from 1 to 254, or a share from 1% to 100%)";
        (share ? o.recoveryPercent : o.recoveryCount) = static_cast<int32_t>(*number);
    } else if (name == "name") {
        if (value.empty() || value.find('/') != std::string::npos || value.size() >= 255 ||
            value[0] == '.')
            return "invalid set name: '" + value +
                   "' (a file name without '/', not beginning with '.')";
        o.setName = value;
    } else if (name == "output") {
        o.repairOutput = value;
    }
    return {};
}

bool allowed(const OptionRule& rule, Verb verb);

// The rule of a short option: the one `verb` allows, when one does (-f is
// --force for split and --foreground for mount).
const OptionRule* findShort(char shortName, Verb verb) {
    const OptionRule* any = nullptr;
    for (const OptionRule& rule : optionRules()) {
        if (rule.shortName != shortName) continue;
        if (allowed(rule, verb)) return &rule;
        if (!any) any = &rule;
    }
    return any;
}

// The rule a long option names, whole or by an unambiguous beginning among
// the options of `verb`, as GNU getopt_long takes them. Null, with `error`
// set, when none or several match.
const OptionRule* findLong(const std::string& name, Verb verb, std::string& error) {
    std::vector<const OptionRule*> matches;
    for (const OptionRule& rule : optionRules()) {
        if (name == rule.longName) return &rule;
        if (!name.empty() && std::string(rule.longName).rfind(name, 0) == 0 && allowed(rule, verb))
            matches.push_back(&rule);
    }
    if (matches.size() == 1) return matches.front();
    if (matches.empty()) {
        error = "unrecognized option '--" + name + "'";
    } else {
        error = "option '--" + name + "' is ambiguous; possibilities:";
        for (const OptionRule* rule : matches)
            error += std::string(" '--") + rule->longName + "'";
    }
    return nullptr;
}

bool allowed(const OptionRule& rule, Verb verb) {
    for (Verb v : rule.verbs) {
        if (v == verb) return true;
    }
    return false;
}

std::string checkOperands(const CliOptions& o) {
    const std::size_t n = o.operands.size();
    switch (o.verb) {
    case Verb::Split:
    case Verb::Join:
        if (n < 1) return "missing operand";
        if (n > 2) return "extra operand '" + o.operands[2] + "'";
        break;
    case Verb::Mount:
        if (o.status) {
            if (n < 1) return "missing mount point";
            if (n > 1) return "extra operand '" + o.operands[1] + "'";
            break;
        }
        if (n < 2)
            return n < 1 ? "missing operand" : "missing mount point after '" + o.operands[0] + "'";
        if (n > 2) return "extra operand '" + o.operands[2] + "'";
        break;
    case Verb::Verify:
    case Verb::List:
    case Verb::Repair:
    case Verb::Unmount:
        if (n < 1) return "missing operand";
        if (n > 1) return "extra operand '" + o.operands[1] + "'";
        break;
    case Verb::None:
        return "missing command (split, join, verify, repair, list, mount or unmount)";
    }
    if (o.pieceSize && o.count) return "give either --size or --count, not both";
    if (o.verb == Verb::Split && o.operands[0] == "-") {
        // Standard input: its length is known only at its end.
        if (!o.pieceSize)
            return "splitting standard input needs --size (-b): its length is not known before it "
                   "ends";
        if (!o.setName) return "splitting standard input needs --name NAME for the set";
        if (o.removeSource) return "--remove-source cannot go with standard input";
        if (o.encrypt)
            return "--encrypt needs a file or a folder: it cannot go with standard input";
    }
    if (o.verb == Verb::Join && n > 1 && o.operands[1] == "-") {
        if (o.json) return "--json cannot go with standard output as the join's output";
        if (o.removePieces)
            return "--remove-pieces cannot go with standard output as the join's output";
    }
    if ((o.passwordFile ? 1 : 0) + (o.passwordPrompt ? 1 : 0) + (o.passwordFd ? 1 : 0) > 1)
        return "give one of --password-file, --password-prompt and --password-fd";
    if (o.encrypt && o.noChecksums)
        return "--encrypt needs the checksum files: it cannot go with --no-checksums";
    if ((o.recoveryCount || o.recoveryPercent) && o.noChecksums)
        return "--recovery needs the checksum files: it cannot go with --no-checksums";
    if (o.removeSource && o.noChecksums)
        return "--remove-source needs the checksum files: it cannot go with --no-checksums";
    if (o.ignoreChecksums && o.requireChecksums)
        return "--ignore-checksums and --require-checksums cannot go together";
    if (o.ignoreChecksums && o.removePieces)
        return "--remove-pieces needs the full check: it cannot go with --ignore-checksums";
    return {};
}

} // namespace

std::optional<int64_t> parseSize(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0 || digits > 18) return std::nullopt;
    const int64_t number = std::stoll(text.substr(0, digits));
    const std::string suffix = text.substr(digits);
    static const struct {
        const char* suffix;
        int64_t factor;
    } kSuffixes[] = {
        {"", 1},
        {"K", int64_t{1} << 10},
        {"KiB", int64_t{1} << 10},
        {"KB", 1000},
        {"M", int64_t{1} << 20},
        {"MiB", int64_t{1} << 20},
        {"MB", 1000000},
        {"G", int64_t{1} << 30},
        {"GiB", int64_t{1} << 30},
        {"GB", 1000000000},
        {"T", int64_t{1} << 40},
        {"TiB", int64_t{1} << 40},
        {"TB", 1000000000000},
    };
    for (const auto& s : kSuffixes) {
        if (suffix != s.suffix) continue;
        if (number < 1 || number > std::numeric_limits<int64_t>::max() / s.factor)
            return std::nullopt;
        return number * s.factor;
    }
    return std::nullopt;
}

ParsedCommandLine parseCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine parsed;
    CliOptions& o = parsed.options;
    std::size_t i = 0;
    if (i < args.size()) {
        const std::string& first = args[i];
        if (first == "split")
            o.verb = Verb::Split;
        else if (first == "join")
            o.verb = Verb::Join;
        else if (first == "verify")
            o.verb = Verb::Verify;
        else if (first == "list")
            o.verb = Verb::List;
        else if (first == "repair")
            o.verb = Verb::Repair;
        else if (first == "mount")
            o.verb = Verb::Mount;
        else if (first == "unmount")
            o.verb = Verb::Unmount;
        if (o.verb != Verb::None) ++i;
    }
    // Applies `rule`, whose value (when it takes one) is `attached` or else
    // the next argument; `shown` names the option in messages.
    auto take = [&](const OptionRule& rule, const std::string& shown,
                    const std::optional<std::string>& attached) {
        if (!allowed(rule, o.verb)) return "option " + shown + " does not go with this command";
        std::string value;
        if (rule.flag == nullptr) {
            if (attached) {
                value = *attached;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return "option " + shown + " needs a value";
            }
        } else if (attached) {
            return "option " + shown + " takes no value";
        }
        return apply(o, rule, value);
    };
    bool optionsEnded = false;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (o.verb == Verb::None && !o.help && !o.version) {
                parsed.error = "unknown command '" + arg + "'";
                return parsed;
            }
            o.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg[1] == '-') {
            const std::size_t equals = arg.find('=');
            const std::string name =
                arg.substr(2, equals == std::string::npos ? equals : equals - 2);
            const OptionRule* rule = findLong(name, o.verb, parsed.error);
            if (!rule) return parsed;
            std::optional<std::string> attached;
            if (equals != std::string::npos) attached = arg.substr(equals + 1);
            parsed.error = take(*rule, std::string("--") + rule->longName, attached);
            if (!parsed.error.empty()) return parsed;
            continue;
        }
        // Short options cluster ("-qf"); one that takes a value takes the rest
        // of the cluster ("-b4K"), or else the next argument.
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const OptionRule* rule = findShort(arg[k], o.verb);
            if (!rule) {
                parsed.error = std::string("invalid option -- '") + arg[k] + "'";
                return parsed;
            }
            std::optional<std::string> attached;
            if (rule->flag == nullptr && k + 1 < arg.size()) attached = arg.substr(k + 1);
            parsed.error = take(*rule, std::string("-") + arg[k], attached);
            if (!parsed.error.empty()) return parsed;
            if (attached) break;
        }
    }
    if (!o.help && !o.version)
        parsed.error = checkOperands(o);
    else if (!o.operands.empty()) // they take none: a stray one is not ignored
        parsed.error = "extra operand '" + o.operands[0] + "'";
    return parsed;
}

std::string versionText() {
    return "parcelor (Morvane Parcelor) 1.1\n";
}

std::string helpText(Verb verb) {
    switch (verb) {
    case Verb::Split:
        return "Usage: parcelor split [OPTION]... SOURCE [OUTPUT_FOLDER]\n"
               "Cut the file or folder SOURCE into numbered pieces in OUTPUT_FOLDER/<stem>_spt,\n"
               "with a manifest and the checksum files SHA256SUMS and, but for an encrypted\n"
               "set, CONTENTS.sha256.\n"
               "OUTPUT_FOLDER defaults to the folder that holds SOURCE, and must exist.\n\n"
               "  -b, --size=SIZE        pieces of SIZE bytes; K, M, G, T are powers of 1024,\n"
               "                         KB, MB, GB, TB powers of 1000\n"
               "  -n, --count=N          N pieces (exactly N whenever the source allows it)\n"
               "                         without -b or -n, about a ninth of the source\n"
               "      --password-file=FILE  require the password in FILE to join (one\n"
               "                         trailing LF or CRLF is dropped; at most 31 bytes)\n"
               "      --password-prompt  ask for that password on the terminal\n"
               "      --encrypt          encrypt the pieces with the password (given as above;\n"
               "                         any length) in the age format: without it nobody can\n"
               "                         read them; the pieces concatenated in the order of\n"
               "                         their numbers, then 'age -d | tar x', open them\n"
               "      --name=NAME        name the set NAME instead of after the source (the\n"
               "                         piece names are visible even when encrypted; a join\n"
               "                         of an encrypted set writes the name it holds)\n"
               "      --remove-source    remove what the set holds once it is on disk\n"
               "      --no-checksums     write no checksum files\n"
               "      --hidden           store a folder's hidden items (names that begin\n"
               "                         with '.'), which are left out otherwise\n"
               "      --recovery=N       also write N recovery pieces (N% for that share of\n"
               "                         the pieces, rounded up): the set can then lose any\n"
               "                         N pieces, or files, and still be joined or repaired\n"
               "      --replace          replace a set already in the piece folder\n"
               "  -f, --force            split even when the free space looks too small\n"
               "  -q, --quiet            no progress on the terminal\n"
               "      --json             one JSON object per line on standard output\n"
               "  -h, --help             show this help\n";
    case Verb::Join:
        return "Usage: parcelor join [OPTION]... PIECE_FOLDER [OUTPUT_FOLDER]\n"
               "  or:  parcelor join [OPTION]... FIRST_PART [OUTPUT_FOLDER]\n"
               "Rebuild the file or folder of the set in PIECE_FOLDER inside OUTPUT_FOLDER\n"
               "(default: the folder that holds PIECE_FOLDER; it must exist). Every piece is\n"
               "checked in full, and every rebuilt file against CONTENTS.sha256, when the\n"
               "set has its checksum files; checksum files that are damaged or do not agree\n"
               "with the set fail the join. A set without any is joined with the quick check\n"
               "(length and first kilobyte of each piece), and the join says so.\n\n"
               "      --password-file=FILE  the set's password, from FILE (one trailing LF\n"
               "                         or CRLF is dropped)\n"
               "      --password-prompt  ask for the set's password on the terminal\n"
               "      --password-fd=N    the set's password, read from the inherited\n"
               "                         descriptor N up to a newline or its end\n"
               "      --remove-pieces    remove the set once the result is on disk\n"
               "      --replace          replace an existing result (its owner, group and\n"
               "                         rwx permissions are kept)\n"
               "      --ignore-checksums join over damaged checksum files with the quick check\n"
               "                         only: damage past a piece's first kilobyte goes\n"
               "                         unseen\n"
               "      --require-checksums fail a set that has no checksum files\n"
               "      --name=NAME        name the file joined from numbered parts NAME\n"
               "  -q, --quiet            no progress on the terminal\n"
               "      --json             one JSON object per line on standard output\n"
               "  -h, --help             show this help\n\n"
               "FIRST_PART, a file, is the first of numbered parts made by other tools\n"
               "(name.001, name.7z.001, backup.tar.00, or split's xaa or x00): they are\n"
               "joined in number order into OUTPUT_FOLDER/name (the name without its\n"
               "number; --name for a bare prefix such as x), each checked against a\n"
               "checksum file beside them that lists them (<name>.sha256, <name>.md5,\n"
               "<name>.sfv, SHA256SUMS or MD5SUMS) when there is one.\n";
    case Verb::Verify:
        return "Usage: parcelor verify [OPTION]... PIECE_FOLDER\n"
               "Check every piece of the set against its SHA-256; one line per bad or\n"
               "missing piece, then a summary; every rebuilt file is checked against\n"
               "CONTENTS.sha256 too. Exits 1 when a piece is bad or missing, when the\n"
               "checksum files are damaged, and when the set has none (only the quick check\n"
               "is possible). A set with recovery pieces is also read against them, and the\n"
               "last line says whether what is wrong can be repaired.\n\n"
               "      --decrypt          for an encrypted set, also authenticate every chunk\n"
               "                         with its password (given as below); writes nothing\n"
               "      --password-file=FILE  that password, from FILE\n"
               "      --password-prompt  ask for that password on the terminal\n"
               "      --password-fd=N    that password, from the inherited descriptor N\n"
               "  -q, --quiet            no progress on the terminal\n"
               "      --json             one JSON object per line on standard output\n"
               "  -h, --help             show this help\n";
    case Verb::Repair:
        return "Usage: parcelor repair [OPTION]... PIECE_FOLDER\n"
               "Rebuild every missing or damaged piece, recovery piece, manifest and\n"
               "checksum file of the set from its recovery pieces. Each rebuilt file is\n"
               "named only once it matches its SHA-256; a damaged original is kept aside\n"
               "as <name>.damaged. Exits 1 when the damage is more than the recovery\n"
               "pieces cover (nothing is written then).\n\n"
               "  -o, --output=DIR       write the rebuilt files into DIR and leave the\n"
               "                         set's folder as it is (a set on a read-only disc)\n"
               "  -q, --quiet            no progress on the terminal\n"
               "      --json             one JSON object per line on standard output\n"
               "  -h, --help             show this help\n";
    case Verb::List:
        return "Usage: parcelor list PIECE_FOLDER\n"
               "Show the set: its name, mode, size, pieces, password and checksum files,\n"
               "then each piece with its size and its quick check.\n\n"
               "  -h, --help             show this help\n";
    case Verb::Mount:
        return "Usage: parcelor mount [OPTION]... PIECE_FOLDER MOUNTPOINT\n"
               "  or:  parcelor mount [OPTION]... FIRST_PART MOUNTPOINT\n"
               "  or:  parcelor mount --status MOUNTPOINT\n"
               "Show what a join of the set would write, read-only, at MOUNTPOINT (an empty\n"
               "folder): the set's file, or its folder with the tree TREE.mtree describes;\n"
               "numbered parts of other tools (xaa, name.001, ...) as their joined file.\n"
               "Every piece is checked in full against SHA256SUMS before a byte of it is\n"
               "read, and a file read from start to end against CONTENTS.sha256. A piece\n"
               "that fails is rebuilt from the set's recovery pieces when it has them (the\n"
               "set's folder is never written); otherwise its bytes give read errors (EIO).\n"
               "A set without checksum files is served with the quick check only, and the\n"
               "mount says so. Without -f the mount goes on in the background once it is up;\n"
               "'parcelor unmount MOUNTPOINT' (or fusermount3 -u) ends it, as does a stop\n"
               "signal. A mount point whose mount was killed is said to be stale;\n"
               "'parcelor unmount' clears it.\n\n"
               "signal. An encrypted set, or one protected by a password, is shown once its\n"
               "password is given: the stream's header is opened at the start, and each\n"
               "chunk is decrypted and authenticated where it is read (a chunk that does not\n"
               "authenticate gives EIO for its bytes); nothing decrypted is written.\n\n"
               "  -f, --foreground       stay in the foreground until unmounted or stopped\n"
               "      --status           say what the mount at MOUNTPOINT has found: the set,\n"
               "                         the pieces checked, failed (and why) and rebuilt\n"
               "      --require-checksums  refuse a set without checksum files\n"
               "      --name NAME        numbered parts: the joined file's name\n"
               "      --password-file=FILE  the set's password, from FILE (one trailing LF\n"
               "                         or CRLF is dropped)\n"
               "      --password-prompt  ask for the set's password on the terminal\n"
               "      --password-fd=N    the set's password, read from the inherited\n"
               "                         descriptor N up to a newline or its end (then\n"
               "                         closed); never from arguments or the environment\n"
               "  -h, --help             show this help\n";
    case Verb::Unmount:
        return "Usage: parcelor unmount MOUNTPOINT\n"
               "End the mount of a set at MOUNTPOINT, also a stale one whose mount was killed.\n\n"
               "  -h, --help             show this help\n";
    case Verb::None:
        break;
    }
    return "Usage: parcelor COMMAND [OPTION]... ARGUMENT...\n"
           "Cut a file or a folder into numbered pieces, and join them back.\n\n"
           "Commands:\n"
           "  split SOURCE [OUTPUT_FOLDER]        cut SOURCE into a piece set\n"
           "  join PIECE_FOLDER [OUTPUT_FOLDER]   rebuild what a piece set holds\n"
           "  verify PIECE_FOLDER                 check every piece in full\n"
           "  repair PIECE_FOLDER                 rebuild lost pieces from recovery pieces\n"
           "  list PIECE_FOLDER                   show a set and its pieces\n"
           "  mount PIECE_FOLDER MOUNTPOINT       show what the set holds, read-only\n"
           "  unmount MOUNTPOINT                  end a mount\n\n"
           "  -h, --help     show this help; COMMAND --help shows a command's options\n"
           "      --version  show the version\n\n"
           "Exit status: 0 success; 1 a damaged or missing piece, a wrong password or a\n"
           "failed run; 2 a usage error; 128+N when stopped by signal N.\n";
}
