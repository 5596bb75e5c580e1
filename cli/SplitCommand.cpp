// parcelor split SOURCE [OUTPUT_FOLDER]

#include "cli/Commands.h"

#include "cli/Password.h"
#include "core/SetNames.h"
#include "core/SizeLabels.h"
#include "core/SplitArithmetic.h"
#include "core/SplitRules.h"
#include "engine/base/utilities.h"
#include "engine/compat/paths.h"
#include "engine/runs/split.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The password that only gates the join (its digest is stored), when one is
// given: read and checked. The exit status when the run ends here.
std::optional<int> readGatePassword(Session& s, std::string& password) {
    const CliOptions& o = s.options();
    if (!o.passwordFile && !o.passwordPrompt) return std::nullopt;
    PasswordText text;
    std::string error;
    const PasswordRead read = readPassword(o, true, text, error);
    if (read == PasswordRead::Stopped) return s.cancelled("split");
    if (read == PasswordRead::Failed) return s.fail(error);
    if (const std::string problem = newPasswordProblem(text.password); !problem.empty())
        return s.fail(problem);
    password = std::move(text.password);
    s.note("the pieces are not encrypted: anyone can join them with other tools; "
           "--encrypt encrypts them");
    return std::nullopt;
}

// Why the split does not start when a set lies where its own would go. Another
// source's set is never offered for replacing: a name of its own is.
std::string setInTheWayText(const std::string& inTheWay, const std::string& baseName,
                            const std::string& out) {
    if (anotherSourcesSetInTheWay(baseName, out)) {
        const std::string name = freeSetName(baseName, out);
        return "the set of another source is already there (" + inTheWay + ")" +
               (name.empty() ? "; choose another --name or output folder"
                             : "; use --name " + quotedName(name) + " to give this one its own");
    }
    return "a set is already there (" + inTheWay + "); use --replace to replace it";
}

// parcelor split -b SIZE --name NAME - [OUTPUT_FOLDER]: standard input, cut
// as it comes; the set goes in place once the input has ended.
int splitStandardInput(Session& s) {
    const CliOptions& o = s.options();
    const std::string out = o.operands.size() > 1 ? o.operands[1] : ".";
    if (!isFolderPath(out))
        return s.fail("the output folder " + quotedName(out) + " does not exist");
    if (isatty(STDIN_FILENO) == 1)
        return s.fail("standard input is a terminal: pipe the data in (... | parcelor split -b "
                      "SIZE --name NAME -)");
    const int64_t pieceSize = *o.pieceSize;
    const OutputSpace space = examineOutputFolder(out);
    if (const std::string problem = pieceSizeProblem(space, out, pieceSize); !problem.empty())
        return s.fail(problem);
    std::string password;
    if (const std::optional<int> status = readGatePassword(s, password)) return *status;
    const std::string inTheWay = describeSetInTheWay(o.setName->c_str(), out.c_str());
    if (!inTheWay.empty() && !o.replace) return s.fail(setInTheWayText(inTheWay, *o.setName, out));
    SplitRequest request;
    request.source = "standard input";
    request.outFolder = out;
    request.pieceSize = pieceSize;
    request.password = password;
    s.note("splitting standard input into pieces of " + withBinaryUnits(sizeWithBytes(pieceSize)));
    Progress progress = s.makeProgress();
    progress.start("split", {{"source", Progress::quoted("-")},
                             {"output", Progress::quoted(out)},
                             {"pieceSize", std::to_string(pieceSize)}});
    SplitOptions options;
    options.replaceExisting = o.replace;
    options.measureSource = false;
    options.writeChecksums = !o.noChecksums;
    options.setName = *o.setName;
    options.sourceFd = STDIN_FILENO;
    if (o.recoveryCount) options.recovery.count = *o.recoveryCount;
    if (o.recoveryPercent) options.recovery.percent = *o.recoveryPercent;
    std::optional<Result<SplitOutcome>> made;
    s.runWithProgress(
        progress, [&] { made = splitSource(request, options, s.run()); }, false);
    s.engineNotes();
    if (!*made) return s.runFailed("split", made->failure());
    s.note("wrote " + quotedName((*made)->pieceFolder) + ": " + std::to_string((*made)->pieces) +
           ((*made)->pieces == 1 ? " piece, " : " pieces, ") +
           withBinaryUnits(sizeWithBytes((*made)->setBytes)));
    s.reportSharing((*made)->sharedBytes, (*made)->writtenBytes);
    if (!(*made)->recovery.empty()) s.note((*made)->recovery);
    return stopSignal() != 0 ? s.stoppedAfter("split") : 0;
}

// Whether the pieces of a file share its blocks where they go, and what
// the split then writes; in count mode, a size of whole blocks that gives
// the count replaces `pieceSize`, when there is one.
SharedSplitSpace sharedSplitPlan(const std::string& source, const std::string& out, int64_t total,
                                 bool copied, int64_t count, int64_t& pieceSize) {
    if (copied || total <= 0) return {};
    SharedSplitSpace shared = sharedSplitSpace(source, out, total, pieceSize);
    if (!shared.shares || shared.aligned || count <= 0) return shared;
    const int64_t aligned = alignedPieceSizeForCount(total, count, shared.blockSize);
    if (aligned <= 0) return shared;
    pieceSize = aligned;
    shared.aligned = true;
    shared.needBytes = bytesWrittenWhenShared(total, pieceSize, shared.blockSize);
    return shared;
}

} // namespace

int splitCommand(Session& s) {
    const CliOptions& o = s.options();
    if (o.operands[0] == "-") return splitStandardInput(s);
    const std::string source = operandPath(o.operands[0]);
    const std::string out =
        o.operands.size() > 1 ? o.operands[1] : stringByDeletingLastPathComponent(source);
    struct stat st {};
    if (stat(source.c_str(), &st) != 0)
        return s.fail("cannot split " + quotedName(source) + ": " + std::strerror(errno));
    if (!isFolderPath(out))
        return s.fail("the output folder " + quotedName(out) + " does not exist");
    const bool folder = S_ISDIR(st.st_mode);
    FolderSourceSummary summary;
    if (folder) {
        summary = summarizeFolderSource(source, o.hidden, "use --hidden to keep them");
        if (summary.bytes < 0)
            return s.fail("cannot split " + quotedName(source) + ": " + summary.text);
    }
    const int64_t total = folder ? summary.bytes : pathSize(source.c_str());
    if (total < 0) return s.fail("cannot measure " + quotedName(source));

    int64_t pieceSize = 0;
    int64_t countAsked = 0; // the count the size was made for
    if (o.pieceSize) {
        pieceSize = *o.pieceSize;
    } else if (o.count) {
        const CountPlan plan = planForCount(total, *o.count);
        pieceSize = plan.pieceSize;
        countAsked = plan.count;
        // More than a set holds: refused as asked, in one message, with no
        // note first of the count the source allows.
        if (plan.count > kMaxSetPieces) return s.fail(pieceCountProblem(*o.count));
        if (plan.count != *o.count)
            s.note(std::to_string(*o.count) + " pieces are not possible for " +
                   withBinaryUnits(sizeWithBytes(total)) + "; making " +
                   std::to_string(plan.count));
    } else {
        pieceSize = proposedPieceBytes(total);
    }
    const SharedSplitSpace shared = sharedSplitPlan(source, out, total, folder || o.encrypt,
                                                    o.count ? countAsked : 0, pieceSize);
    const int64_t pieces =
        total == 0 ? (isFolderPath(source) ? 1 : 0) : ceilDivide(total, pieceSize);
    if (const std::string problem = pieceCountProblem(pieces); !problem.empty())
        return s.fail(problem);

    std::string password;
    std::string encryptPassword;
    if (o.encrypt) {
        PasswordText text;
        std::string error;
        const PasswordRead read = readPassword(o, true, text, error);
        if (read == PasswordRead::Stopped) return s.cancelled("split");
        if (read == PasswordRead::Failed) return s.fail(error);
        if (text.password.empty())
            return s.fail("an encrypted set needs a password that is not empty");
        encryptPassword = std::move(text.password);
    } else if (const std::optional<int> status = readGatePassword(s, password)) {
        return *status;
    }

    const OutputSpace space = examineOutputFolder(out);
    if (const std::string problem = pieceSizeProblem(space, out, pieceSize); !problem.empty())
        return s.fail(problem);
    if (const std::string problem =
            freeSpaceProblem(space, out, shared.shares ? shared.needBytes : total);
        !problem.empty() && !o.force) {
        std::string refusal = problem;
        if (const std::string copied = sharedSplitText(shared, pieceSize); !copied.empty())
            refusal.append(" ").append(sentenceOf(copied));
        return s.fail(refusal.append(" Use --force to split anyway."));
    }
    // The set takes the name given, or the source's.
    const std::string inTheWay =
        describeSetInTheWay(o.setName ? o.setName->c_str() : source.c_str(), out.c_str());
    if (!inTheWay.empty() && !o.replace)
        return s.fail(
            setInTheWayText(inTheWay, o.setName ? *o.setName : lastPathComponent(source), out));

    if (source.size() >= kPathBufferSize || out.size() >= kPathBufferSize)
        return s.fail("the path is too long (at most 1023 bytes)");
    SplitRequest request;
    request.source = source;
    request.outFolder = out;
    request.totalSize = total;
    request.pieceSize = pieceSize;
    request.password = password;

    // One piece holds a source no larger than the piece size: no split is needed.
    s.note(
        "splitting " + quotedName(source) + " (" + withBinaryUnits(roundedSize(total)) + ") into " +
        (pieces == 1
             ? "1 piece, which holds it whole (pieces of up to " +
                   withBinaryUnits(sizeWithBytes(pieceSize)) + ")"
             : std::to_string(pieces) + " pieces of " + withBinaryUnits(sizeWithBytes(pieceSize))));
    if (folder) s.note(summary.text);
    if (const std::string said = sharedSplitText(shared, pieceSize); !said.empty())
        s.note(withBinaryUnits(said));
    Progress progress = s.makeProgress();
    progress.start("split", {{"source", Progress::quoted(source)},
                             {"output", Progress::quoted(out)},
                             {"pieceSize", std::to_string(pieceSize)},
                             {"pieces", std::to_string(pieces)},
                             {"total", std::to_string(total)}});
    SplitOptions options;
    options.replaceExisting = o.replace;
    // Measured a moment ago, above: a change since is a change during the split.
    options.measureSource = false;
    options.writeChecksums = !o.noChecksums;
    options.removeSource = o.removeSource;
    options.includeHidden = o.hidden;
    options.encryptPassword = std::move(encryptPassword);
    if (o.setName) options.setName = *o.setName;
    if (o.recoveryCount) options.recovery.count = *o.recoveryCount;
    if (o.recoveryPercent) options.recovery.percent = *o.recoveryPercent;
    // The encrypted stream is longer than the source: the count holds for it.
    if (o.count && o.encrypt)
        options.pieceCount = static_cast<int32_t>(ceilDivide(total, pieceSize));
    std::optional<Result<SplitOutcome>> made;
    s.runWithProgress(progress, [&] { made = splitSource(request, options, s.run()); });
    if (!*made) {
        s.engineNotes();
        return s.runFailed("split", made->failure());
    }
    s.note("wrote " + quotedName((*made)->pieceFolder));
    s.reportSharing((*made)->sharedBytes, (*made)->writtenBytes);
    if (!(*made)->recovery.empty()) s.note((*made)->recovery);
    if (!o.removeSource) {
        s.engineNotes();
        return stopSignal() != 0 ? s.stoppedAfter("split") : 0;
    }
    return s.reportRemoval((*made)->removal, (*made)->removalFailure, false);
}
