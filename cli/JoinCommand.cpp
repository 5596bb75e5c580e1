// parcelor join PIECE_FOLDER [OUTPUT_FOLDER], and parcelor join FIRST_PART [OUTPUT_FOLDER]

#include "cli/Commands.h"

#include "cli/Password.h"
#include "core/SizeLabels.h"
#include "core/SplitArithmetic.h"
#include "core/SplitRules.h"
#include "engine/base/utilities.h"
#include "engine/compat/inspection.h"
#include "engine/format/checksums.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/encrypted_set.h"
#include "engine/runs/join.h"
#include "engine/runs/numbered_parts.h"
#include "engine/runs/recovery.h"
#include "engine/runs/set_listing.h"

#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The password of a protected set, asked for and checked. 0 when it matches.
int passwordStep(Session& s, const char* digest) {
    const CliOptions& o = s.options();
    if (!o.passwordFile && !o.passwordPrompt && !o.passwordFd && isatty(STDIN_FILENO) != 1)
        return s.fail("the set is protected by a password: give --password-file, "
                      "--password-prompt or --password-fd");
    PasswordText text;
    std::string error;
    const PasswordRead read = readPassword(o, false, text, error);
    if (read == PasswordRead::Stopped) return s.cancelled("join");
    if (read == PasswordRead::Failed) return s.fail(error);
    const bool matches =
        checkPassword(text.password.c_str(), digest) == 1 ||
        (text.withCarriageReturn && checkPassword(text.withCarriageReturn->c_str(), digest) == 1);
    return matches ? 0 : s.fail("wrong password", "wrong-password");
}

// Numbered parts made by other tools, from the first one: joined into a
// file in the output folder.
int joinPartsCommand(Session& s, const std::string& first, const std::string& out) {
    const CliOptions& o = s.options();
    if (out == "-")
        return s.fail("numbered parts are joined into a folder, not to standard output");
    if (o.removePieces) return s.fail("--remove-pieces goes with a piece set, not numbered parts");
    if (!isFolderPath(out))
        return s.fail("the output folder " + quotedName(out) + " does not exist");
    const Result<PartsListing> listed = listNumberedParts(first, s.run());
    if (!listed) return s.fail(listed.failure().reason);
    const PartsListing& listing = listed.value();
    if (const std::string missing = listing.missing(); !missing.empty())
        return s.fail("part " + quotedName(listing.folder + "/" + missing) + " is missing");
    const std::string name = o.setName ? *o.setName : listing.naming.outputName();
    if (name.empty())
        return s.fail("the parts' prefix " + quotedName(listing.naming.prefix) +
                      " gives no name to the joined file: give it one with --name");
    const std::string target = out + "/" + name;
    struct stat st {};
    if (!o.replace && lstat(target.c_str(), &st) == 0)
        return s.fail(quotedName(target) + " already exists; use --replace to replace it");

    Progress progress = s.makeProgress();
    progress.start("join", {{"parts", Progress::quoted(first)},
                            {"output", Progress::quoted(target)},
                            {"total", std::to_string(listing.totalSize())}});
    PartsJoinOptions options;
    options.replaceExisting = o.replace;
    options.ignoreChecksums = o.ignoreChecksums;
    options.requireChecksums = o.requireChecksums;
    options.name = name;
    std::optional<Result<JoinOutcome>> joined;
    s.runWithProgress(progress, [&] { joined = joinNumberedParts(first, out, options, s.run()); });
    if (!*joined) {
        s.engineNotes();
        if (joined->failure().kind == EngineFailure::ChecksumsDamaged)
            s.note("nothing was joined; --ignore-checksums joins the parts unchecked");
        return s.runFailed("join", joined->failure());
    }
    const JoinOutcome& outcome = joined->value();
    s.addDoneField("check", Progress::quoted(outcome.fullCheck ? "full" : "none"));
    s.addDoneField("parts", std::to_string(listing.parts.size()));
    s.reportSharing(outcome.sharedBytes, outcome.writtenBytes);
    if (!outcome.wholeFileSums.empty())
        s.addDoneField("checkedBy", Progress::quoted(outcome.wholeFileSums));
    s.note("wrote " + quotedName(outcome.target) + " from " + std::to_string(listing.parts.size()) +
           " parts");
    if (outcome.fullCheck && !listing.sumsFile.empty())
        s.note("every part matched its checksum in " + quotedName(listing.sumsFile));
    if (!outcome.wholeFileSums.empty())
        s.note("the joined file matched its checksum in " + quotedName(outcome.wholeFileSums));
    else if (listing.sumsFile.empty())
        s.note("no checksum file beside the parts lists them, so they were joined unchecked, and a "
               "missing last part cannot be detected without one");
    s.engineNotes();
    return stopSignal() != 0 ? s.stoppedAfter("join") : 0;
}

} // namespace

int joinCommand(Session& s) {
    const CliOptions& o = s.options();
    const std::string set = operandPath(o.operands[0]);
    const std::string out =
        o.operands.size() > 1 ? o.operands[1] : stringByDeletingLastPathComponent(set);
    // A file is the first of numbered parts; a folder stays a piece set.
    struct stat operand {};
    if (stat(set.c_str(), &operand) == 0 && S_ISREG(operand.st_mode))
        return joinPartsCommand(s, set, out);
    if (o.setName) return s.fail("--name goes with numbered parts, not a piece set");
    // "-": the content goes to standard output, and nothing else does.
    const bool toStdout = out == "-";
    if (!toStdout && !isFolderPath(out))
        return s.fail("the output folder " + quotedName(out) + " does not exist");
    const Result<SetListing> listing = listPieceSet(set, s.run());
    s.engineNotes();
    if (!listing) {
        const FileDescriptor folder = openFolderPath(set);
        if (folder && !recoveryStemIn(folder.get()).empty())
            s.note("the set has recovery pieces: 'parcelor repair " + set +
                   "' can rebuild its manifest, and then it can be joined");
        return s.fail("cannot read the set in " + quotedName(set) + ": " +
                      listing.failure().reason);
    }
    // Whether the checksum files agree with the set is the join's own first
    // check, made once, before anything is written (a 10^6-file set's
    // manifest and lists are 400 MB to hash and parse).
    const FileDescriptor setFolder = openFolderPath(set);
    const bool checksummed = setFolder && hasChecksumFiles(setFolder.get());
    if (stopSignal() != 0) return s.cancelled("join");
    if (!checksummed && o.requireChecksums)
        return s.fail(quotedName(set) + " has no checksum files, so only the quick check is "
                                        "possible",
                      "no-checksums");
    // An encrypted set's password opens it; what it holds, and its name,
    // are known only once it is decrypted.
    const bool encrypted = setFolder && isEncryptedSet(setFolder.get());
    if (toStdout && encrypted) return s.fail("the set is encrypted: join it into a folder");
    if (toStdout && listing->fileCount > 0)
        return s.fail(
            "the set holds a folder, which cannot go to standard output: join it into a folder");
    if (toStdout && isatty(STDOUT_FILENO) == 1)
        return s.fail("standard output is a terminal: send it to a file or a pipe (parcelor join "
                      "SET - | ...)");
    std::string decryptPassword;
    if (encrypted) {
        if (!o.passwordFile && !o.passwordPrompt && !o.passwordFd && isatty(STDIN_FILENO) != 1)
            return s.fail("the set is encrypted: give --password-file, --password-prompt or "
                          "--password-fd");
        PasswordText text;
        std::string error;
        const PasswordRead read = readPassword(o, false, text, error);
        if (read == PasswordRead::Stopped) return s.cancelled("join");
        if (read == PasswordRead::Failed) return s.fail(error);
        decryptPassword = std::move(text.password);
    }
    if (!listing->passwordDigest.empty()) {
        if (const int status = passwordStep(s, listing->passwordDigest.c_str()); status != 0)
            return status;
    }
    std::string target = toStdout ? std::string("standard output") : out + "/" + listing->baseName;
    struct stat st {};
    if (!toStdout && !encrypted && !o.replace && lstat(target.c_str(), &st) == 0)
        return s.fail(quotedName(target) + " already exists; use --replace to replace it");
    if (o.removePieces && !checksummed)
        return s.fail("the pieces cannot be fully verified (it has no checksum files), so they "
                      "would not be removed; join without --remove-pieces");

    Progress progress = s.makeProgress();
    progress.start("join", {{"set", Progress::quoted(set)},
                            {"output", Progress::quoted(target)},
                            {"total", std::to_string(listing->totalSize)}});
    JoinOptions options;
    options.replaceExisting = o.replace;
    options.ignoreChecksums = o.ignoreChecksums;
    options.requireChecksums = o.requireChecksums;
    options.removePieces = o.removePieces;
    options.password = std::move(decryptPassword);
    if (toStdout) options.outputFd = STDOUT_FILENO;
    std::optional<Result<JoinOutcome>> joined;
    s.runWithProgress(progress, [&] { joined = joinSet(set, out, options, s.run()); });
    if (!*joined) {
        s.engineNotes();
        if (joined->failure().kind == EngineFailure::ChecksumsDamaged)
            s.note("nothing was joined; --ignore-checksums joins with the quick check only");
        if (joined->failure().kind == EngineFailure::TargetExists)
            s.note("use --replace to replace it");
        return s.runFailed("join", joined->failure());
    }
    const JoinOutcome& outcome = joined->value();
    target = outcome.target;
    s.addDoneField("check", Progress::quoted(outcome.fullCheck ? "full" : "quick"));
    s.note(toStdout ? "sent " + withBinaryUnits(sizeWithBytes(listing->totalSize)) +
                          " to standard output"
                    : "wrote " + quotedName(target));
    if (encrypted)
        s.note("the set was encrypted: its password opened it, and every chunk was authenticated");
    if (!outcome.rebuilt.empty()) {
        s.note(outcome.rebuilt);
        s.addDoneField("rebuilt", Progress::quoted(outcome.rebuilt));
    }
    if (const std::string changes = joinChangesText(outcome.filesReplaced, outcome.filesAdded);
        !changes.empty())
        s.note(changes);
    s.addDoneField("replaced", std::to_string(outcome.filesReplaced));
    s.addDoneField("added", std::to_string(outcome.filesAdded));
    s.reportSharing(outcome.sharedBytes, outcome.writtenBytes);
    if (!outcome.fullCheck)
        s.note(o.ignoreChecksums
                   ? "joined with the quick check only, over damaged checksum files: damage "
                     "past a piece's first kilobyte would not have been seen"
                   : "only the quick check was possible (the set has no checksum files): "
                     "each piece was checked by its length and first kilobyte");
    if (!o.removePieces) {
        s.engineNotes();
        return stopSignal() != 0 ? s.stoppedAfter("join") : 0;
    }
    return s.reportRemoval(outcome.removal, outcome.removalFailure, true);
}
