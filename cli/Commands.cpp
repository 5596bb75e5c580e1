#include "cli/Commands.h"

#include "cli/Password.h"
#include "cli/Progress.h"
#include "core/RemovalSummary.h"
#include "core/SplitArithmetic.h"
#include "core/SplitRules.h"
#include "engine/errors.h"
#include "engine/inspection.h"
#include "engine/join.h"
#include "engine/manifest.h"
#include "engine/removal.h"
#include "engine/set_listing.h"
#include "engine/split.h"
#include "engine/utilities.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t gSignal = 0;

void onSignal(int signal) {
    gSignal = signal;
    engineRequestCancel();
}

int fail(const std::string& message) {
    std::fprintf(stderr, "parcelor: %s\n", message.c_str());
    return 1;
}

void note(const CliOptions& o, const std::string& message) {
    if (!o.quiet && !o.json) std::fprintf(stderr, "parcelor: %s\n", message.c_str());
}

bool isFolderPath(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The path without trailing slashes; a bare name is "./name", so that the
// engine, which takes the name after the last '/', sees it.
std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.find('/') == std::string::npos) path = "./" + path;
    return path;
}

// Runs `work` on an engine thread while this thread reports progress about
// ten times a second; returns what `work` returned.
int32_t runWithProgress(Progress& progress, const std::function<int32_t()>& work) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    int32_t result = -1;
    std::thread engine([&] {
        const int32_t r = work();
        std::lock_guard lock(mutex);
        result = r;
        done = true;
        finished.notify_all();
    });
    progress.tick(progressDoneBytes(), progressTotalBytes());
    {
        std::unique_lock lock(mutex);
        while (!finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return done; })) {
            lock.unlock();
            progress.tick(progressDoneBytes(), progressTotalBytes());
            lock.lock();
        }
    }
    engine.join();
    return result;
}

// The exit status and message of a command stopped by a signal.
int cancelled(const char* what) {
    std::fprintf(stderr, "parcelor: %s cancelled\n", what);
    return 128 + gSignal;
}

// A stop that came once the run could no longer stop (its result was in
// place): said, and the exit status still says it was stopped.
int stoppedAfter(const char* what) {
    std::fprintf(stderr, "parcelor: the %s was complete when the stop came\n", what);
    return 128 + gSignal;
}

// The exit status and message of a run that returned -1.
int runFailed(Progress& progress, const char* what) {
    const std::string reason = engineLastError();
    progress.done(-1, reason);
    if (gSignal != 0) return cancelled(what);
    return fail(std::string(what) + " failed: " + (reason.empty() ? "unknown reason" : reason));
}

Progress makeProgress(const CliOptions& o) {
    return Progress(!o.quiet && !o.json && isatty(STDERR_FILENO) == 1, o.json);
}

// What the engine did on the side (leftovers of stopped runs removed, an
// interrupted replacement finished), said once.
void printNotes(const CliOptions& o) {
    for (const std::string& text : engineTakeNotes())
        note(o, text);
}

int reportRemoval(const CliOptions& o, int32_t result, const RemovalReport& report, bool pieces) {
    printNotes(o);
    const std::string summary = removalSummary(report, pieces);
    if (report.stopped) {
        // A stop between two files: say what went and what stayed.
        std::fprintf(stderr, "parcelor: %s\n", removalStoppedText(report, pieces).c_str());
        return gSignal != 0 ? 128 + gSignal : 1;
    }
    if (result != 0) return fail("nothing was removed: " + engineLastError());
    if (gSignal != 0) {
        if (!summary.empty()) note(o, summary);
        return stoppedAfter("removal");
    }
    if (!report.failed.empty()) return fail(summary); // a removal that failed is a failure
    if (!summary.empty()) note(o, summary);
    return 0;
}

int split(const CliOptions& o) {
    const std::string source = withoutTrailingSlashes(o.operands[0]);
    const std::string out =
        o.operands.size() > 1 ? o.operands[1] : stringByDeletingLastPathComponent(source);
    struct stat st {};
    if (stat(source.c_str(), &st) != 0)
        return fail("cannot split " + source + ": " + std::strerror(errno));
    if (!isFolderPath(out)) return fail("the output folder " + out + " does not exist");
    const int64_t total = pathSize(source.c_str());
    if (total < 0) return fail("cannot measure " + source);

    int64_t pieceSize = 0;
    if (o.pieceSize) {
        pieceSize = *o.pieceSize;
    } else if (o.count) {
        const CountPlan plan = planForCount(total, *o.count);
        pieceSize = plan.pieceSize;
        if (plan.count != *o.count)
            note(o, std::to_string(*o.count) + " pieces are not possible for " +
                        std::to_string(total) + " bytes; making " + std::to_string(plan.count));
    } else {
        pieceSize = proposedPieceBytes(total);
    }

    std::string password;
    if (o.passwordFile || o.passwordPrompt) {
        PasswordText text;
        std::string error;
        const PasswordRead read = readPassword(o, true, text, error);
        if (read == PasswordRead::Stopped) return cancelled("split");
        if (read == PasswordRead::Failed) return fail(error);
        if (const std::string problem = newPasswordProblem(text.password); !problem.empty())
            return fail(problem);
        password = std::move(text.password);
    }

    const OutputSpace space = examineOutputFolder(out);
    if (const std::string problem = pieceSizeProblem(space, out, pieceSize); !problem.empty())
        return fail(problem);
    if (const std::string problem = freeSpaceProblem(space, out, total);
        !problem.empty() && !o.force)
        return fail(problem + " Use --force to split anyway.");
    const std::string inTheWay = describeSetInTheWay(source.c_str(), out.c_str());
    if (!inTheWay.empty() && !o.replace)
        return fail("a set is already there (" + inTheWay + "); use --replace to replace it");

    Split_pragma request{};
    if (source.size() >= sizeof request.srcPath || out.size() >= sizeof request.outFolder)
        return fail("the path is too long (at most 1023 bytes)");
    std::memcpy(request.srcPath, source.data(), source.size());
    std::memcpy(request.outFolder, out.data(), out.size());
    request.totalSize = total;
    request.pieceSize = pieceSize;
    std::memcpy(request.password, password.data(), password.size());

    const int64_t pieces =
        total == 0 ? (isFolderPath(source) ? 1 : 0) : ceilDivide(total, pieceSize);
    note(o, "splitting " + source + " (" + std::to_string(total) + " bytes) into " +
                std::to_string(pieces) + " pieces of " + std::to_string(pieceSize) + " bytes");
    Progress progress = makeProgress(o);
    progress.start("split", {{"source", Progress::quoted(source)},
                             {"output", Progress::quoted(out)},
                             {"pieceSize", std::to_string(pieceSize)},
                             {"pieces", std::to_string(pieces)},
                             {"total", std::to_string(total)}});
    SplitOptions options;
    options.replaceExisting = o.replace;
    options.measureSource = true;
    options.writeChecksums = !o.noChecksums;
    SplitOutcome outcome;
    const int32_t result =
        runWithProgress(progress, [&] { return splitWithOptions(&request, options, &outcome); });
    printNotes(o);
    if (result != 0) return runFailed(progress, "split");
    progress.done(0, "");
    note(o, "wrote " + outcome.pieceFolder);
    if (!o.removeSource) return gSignal != 0 ? stoppedAfter("split") : 0;
    RemovalReport report;
    return reportRemoval(o, removeSplitSource(outcome, report), report, false);
}

int join(const CliOptions& o) {
    const std::string set = withoutTrailingSlashes(o.operands[0]);
    const std::string out =
        o.operands.size() > 1 ? o.operands[1] : stringByDeletingLastPathComponent(set);
    if (!isFolderPath(out)) return fail("the output folder " + out + " does not exist");
    std::vector<SPTCfg_SPTitem2> pieces;
    char digest[33] = {};
    char baseName[1024] = {};
    if (inspectPieceSet(set.c_str(), pieces, digest, baseName) != 0)
        return fail("cannot read the set in " + set + ": " + engineLastError());
    printNotes(o);
    const ChecksumVerdict checksums = checksumVerdict(set.c_str());
    if (gSignal != 0) return cancelled("join");
    if (checksums.state == ChecksumState::Damaged && !o.ignoreChecksums)
        return fail("the checksum files of " + set + " are damaged: " + checksums.problem +
                    "; nothing was joined (--ignore-checksums joins with the quick check only)");
    if (checksums.state == ChecksumState::Absent && o.requireChecksums)
        return fail(set + " has no checksum files, so only the quick check is possible");

    if (digest[0] != '\0') {
        if (!o.passwordFile && !o.passwordPrompt && isatty(STDIN_FILENO) != 1)
            return fail("the set is protected by a password: give --password-file or "
                        "--password-prompt");
        PasswordText text;
        std::string error;
        const PasswordRead read = readPassword(o, false, text, error);
        if (read == PasswordRead::Stopped) return cancelled("join");
        if (read == PasswordRead::Failed) return fail(error);
        const bool matches = checkPassword(text.password.c_str(), digest) == 1 ||
                             (text.withCarriageReturn &&
                              checkPassword(text.withCarriageReturn->c_str(), digest) == 1);
        if (!matches) return fail("wrong password");
    }
    const std::string target = out + "/" + baseName;
    struct stat st {};
    if (!o.replace && lstat(target.c_str(), &st) == 0)
        return fail(target + " already exists; use --replace to replace it");
    if (o.removePieces && checksums.state != ChecksumState::Good)
        return fail("the pieces cannot be fully verified (it has no checksum files), so they "
                    "would not be removed; join without --remove-pieces");

    Progress progress = makeProgress(o);
    progress.start("join", {{"set", Progress::quoted(set)},
                            {"output", Progress::quoted(target)},
                            {"total", std::to_string(getManifestTotalSize())}});
    JoinOutcome outcome;
    JoinOptions options;
    options.replaceExisting = o.replace;
    options.ignoreChecksums = o.ignoreChecksums;
    options.requireChecksums = o.requireChecksums;
    const int32_t result = runWithProgress(
        progress, [&] { return joinWithOptions(set.c_str(), out.c_str(), options, &outcome); });
    printNotes(o);
    if (result != 0) {
        if (engineLastFailure() == EngineFailure::ChecksumsDamaged)
            note(o, "--ignore-checksums joins with the quick check only");
        return runFailed(progress, "join");
    }
    progress.done(0, "", {{"check", Progress::quoted(outcome.fullCheck ? "full" : "quick")}});
    note(o, "wrote " + target);
    if (!outcome.fullCheck)
        note(o, o.ignoreChecksums
                    ? "joined with the quick check only, over damaged checksum files: damage "
                      "past a piece's first kilobyte would not have been seen"
                    : "only the quick check was possible (the set has no checksum files): "
                      "each piece was checked by its length and first kilobyte");
    if (!o.removePieces) return gSignal != 0 ? stoppedAfter("join") : 0;
    RemovalReport report;
    return reportRemoval(o, removeJoinedPieces(outcome, report), report, true);
}

int verify(const CliOptions& o) {
    const std::string set = withoutTrailingSlashes(o.operands[0]);
    Progress progress = makeProgress(o);
    progress.start("verify", {{"set", Progress::quoted(set)}});
    std::vector<PieceCheck> checks;
    ChecksumState checksums = ChecksumState::Absent;
    const int32_t result =
        runWithProgress(progress, [&] { return verifyPieceSet(set.c_str(), checks, checksums); });
    printNotes(o);
    progress.done(
        result, result == 0 ? "" : engineLastError(),
        {{"check", Progress::quoted(checksums == ChecksumState::Good ? "full" : "none")}});
    if (gSignal != 0) return cancelled("verify");
    if (engineLastFailure() != EngineFailure::NoChecksums && checksums != ChecksumState::Good)
        return fail(engineLastError());
    if (checksums != ChecksumState::Good) {
        return fail("only the quick check was possible: " + engineLastError() +
                    "; run 'parcelor list' to see it");
    }
    std::size_t bad = 0;
    for (const PieceCheck& check : checks) {
        if (check.good) continue;
        ++bad;
        std::fprintf(stderr, "parcelor: %s %s\n", check.path.c_str(), check.problem.c_str());
    }
    if (checks.empty() && result != 0) return fail(engineLastError());
    if (bad == 0 && result != 0) std::fprintf(stderr, "parcelor: %s\n", engineLastError().c_str());
    std::printf("%zu pieces checked, %zu bad\n", checks.size(), bad);
    return bad == 0 && result == 0 ? 0 : 1;
}

int list(const CliOptions& o) {
    const std::string set = withoutTrailingSlashes(o.operands[0]);
    SetListing listing;
    if (listPieceSet(set.c_str(), listing) != 0)
        return fail("cannot read the set in " + set + ": " + engineLastError());
    printNotes(o);
    const ChecksumVerdict checksums = checksumVerdict(set.c_str());
    if (gSignal != 0) return cancelled("list");
    std::printf("name:       %s\n", listing.baseName.c_str());
    std::printf("mode:       %s\n", listing.fileCount > 0 ? "folder" : "file");
    std::printf("total:      %lld bytes\n", static_cast<long long>(listing.totalSize));
    std::printf("pieces:     %zu\n", listing.pieces.size());
    std::printf("password:   %s\n", listing.passwordDigest.empty() ? "no" : "yes");
    std::printf("checksums:  %s\n", checksums.state == ChecksumState::Good ? "yes"
                                    : checksums.state == ChecksumState::Absent
                                        ? "no (only the quick check is possible)"
                                        : ("damaged (" + checksums.problem + ")").c_str());
    std::size_t bad = 0;
    char name[kPathBufferSize];
    for (const ListedPiece& piece : listing.pieces) {
        pieceFileName(listing.stem.c_str(), piece.pieceIndex, name);
        const char* state = piece.checkState == 0 ? "ok" : piece.size < 0 ? "missing" : "damaged";
        bad += piece.checkState == 0 ? 0 : 1;
        std::printf("%s  %lld  %s\n", name, static_cast<long long>(piece.size), state);
    }
    return bad == 0 ? 0 : 1;
}

} // namespace

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

int runCommand(const CliOptions& options) {
    switch (options.verb) {
    case Verb::Split:
        return split(options);
    case Verb::Join:
        return join(options);
    case Verb::Verify:
        return verify(options);
    case Verb::List:
        return list(options);
    case Verb::None:
        break;
    }
    return 2;
}
