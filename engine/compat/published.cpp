// The published entry points of the split, the join and the removals: each
// runs the value-returning run of split.h, join.h or removal.h with a context
// tied to the process-wide stop request, progress counters and last error
// (published.h), and keeps the contracts it was published with.

#include "engine/compat/published.h"
#include "engine/base/utilities.h"
#include "engine/compat/registry.h"
#include "engine/format/manifest.h"
#include "engine/runs/join.h"
#include "engine/runs/removal.h"
#include "engine/runs/split.h"

#include <cstring>

namespace {

// A text field of the published request: its text, or false when the field
// has no end.
bool fieldText(const char* field, std::size_t size, std::string& out) {
    const std::size_t length = strnlen(field, size);
    if (length == size) return false;
    out.assign(field, length);
    return true;
}

} // namespace

int32_t splitWithOptions(Split_pragma* request, const SplitOptions& options,
                         SplitOutcome* outcome) {
    PublishedRun published;
    RunContext& run = published.context();
    if (!request) {
        run.fail("the split request is missing");
        return -1;
    }
    SplitRequest plain;
    plain.totalSize = request->totalSize;
    plain.pieceSize = request->pieceSize;
    if (!fieldText(request->srcPath, sizeof request->srcPath, plain.source) ||
        !fieldText(request->outFolder, sizeof request->outFolder, plain.outFolder) ||
        !fieldText(request->password, sizeof request->password, plain.password)) {
        run.startProgress();
        run.fail("the split request has a field without its end");
        return -1;
    }
    SplitOptions withFiles = options;
    withFiles.keepSourceFiles = withFiles.keepSourceFiles || outcome != nullptr;
    Result<SplitOutcome> made = splitSource(plain, withFiles, run);
    if (!made) {
        run.fail(made.failure());
        return -1;
    }
    std::memset(request->outFolder, 0, sizeof request->outFolder);
    std::memcpy(request->outFolder, made->pieceFolder.data(), made->pieceFolder.size());
    // The published split leaves the new set in the manifest registry.
    loadManifest(request->outFolder);
    if (outcome) *outcome = std::move(made.value());
    return 0;
}

int32_t splitProject_split(Split_pragma* request) {
    return splitWithOptions(request, SplitOptions{}, nullptr);
}

int32_t joinWithOptions(const char* pieceFolder, const char* outputFolder,
                        const JoinOptions& options, JoinOutcome* outcome) {
    PublishedRun published;
    RunContext& run = published.context();
    if (!pieceFolder || !outputFolder) {
        run.startProgress();
        run.fail("the join needs a piece folder and an output folder");
        return -1;
    }
    Result<JoinOutcome> joined = joinSet(pieceFolder, outputFolder, options, run);
    if (!joined) {
        run.fail(joined.failure());
        return -1;
    }
    // The published join leaves the set's manifest in the registry.
    loadManifest(pieceFolder);
    if (outcome) *outcome = std::move(joined.value());
    return 0;
}

int32_t splitProject_merge(const char* pieceFolder, const char* outputFolder,
                           const char* /*password*/) {
    return joinWithOptions(pieceFolder, outputFolder, JoinOptions{}, nullptr);
}

int32_t removeSplitSource(const SplitOutcome& outcome, RemovalReport& report) {
    PublishedRun published;
    return removeSplitSource(outcome, report, published.context()) ? 0 : -1;
}

int32_t removeJoinedPieces(const JoinOutcome& outcome, RemovalReport& report,
                           bool quickCheckAccepted) {
    PublishedRun published;
    return removeJoinedPieces(outcome, report, quickCheckAccepted, published.context()) ? 0 : -1;
}
