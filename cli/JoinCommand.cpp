// parcelor join PIECE_FOLDER [OUTPUT_FOLDER]

#include "cli/Commands.h"

#include "cli/Password.h"
#include "core/SplitArithmetic.h"
#include "core/SplitRules.h"
#include "engine/inspection.h"
#include "engine/checksums.h"
#include "engine/encrypted_set.h"
#include "engine/join.h"
#include "engine/recovery.h"
#include "engine/safe_fs.h"
#include "engine/set_listing.h"
#include "engine/utilities.h"

#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The password of a protected set, asked for and checked. 0 when it matches.
int passwordStep(Session& s, const char* digest) {
    const CliOptions& o = s.options();
    if (!o.passwordFile && !o.passwordPrompt && isatty(STDIN_FILENO) != 1)
        return s.fail("the set is protected by a password: give --password-file or "
                      "--password-prompt");
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

} // namespace

int joinCommand(Session& s) {
    const CliOptions& o = s.options();
    const std::string set = operandPath(o.operands[0]);
    const std::string out =
        o.operands.size() > 1 ? o.operands[1] : stringByDeletingLastPathComponent(set);
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
    const FileDescriptor folderFd = openFolderPath(set);
    const bool encrypted = folderFd && isEncryptedSet(folderFd.get());
    if (toStdout && encrypted) return s.fail("the set is encrypted: join it into a folder");
    if (toStdout && listing->fileCount > 0)
        return s.fail("the set holds a folder, which cannot go to standard output: join it into a folder");
    if (toStdout && isatty(STDOUT_FILENO) == 1)
        return s.fail("standard output is a terminal: send it to a file or a pipe (parcelor join SET - | ...)");
    std::string decryptPassword;
    if (encrypted) {
        if (!o.passwordFile && !o.passwordPrompt && isatty(STDIN_FILENO) != 1)
            return s.fail("the set is encrypted: give --password-file or --password-prompt");
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
    s.note(toStdout ? "sent " + sizeWithBytes(listing->totalSize) + " to standard output"
                    : "wrote " + quotedName(target));
    if (!outcome.rebuilt.empty()) {
        s.note(outcome.rebuilt);
        s.addDoneField("rebuilt", Progress::quoted(outcome.rebuilt));
    }
    if (const std::string changes = joinChangesText(outcome.filesReplaced, outcome.filesAdded);
        !changes.empty())
        s.note(changes);
    s.addDoneField("replaced", std::to_string(outcome.filesReplaced));
    s.addDoneField("added", std::to_string(outcome.filesAdded));
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
