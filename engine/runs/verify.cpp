#include "engine/runs/verify.h"

#include "engine/runs/open_set.h"

#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest.h"
#include "engine/format/manifest_file.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/piece_folder.h"
#include "engine/runs/piece_hashing.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

bool runVerification(const std::string& pieceFolder, std::vector<PieceCheck>& out,
                     ChecksumState& checksums, RunContext& run) {
    run.startProgress();
    checksums = ChecksumState::Absent;
    Result<ReadableSet> opened = openSet(pieceFolder, run);
    if (!opened) return false;
    const ReadableSet& set = opened.value();
    const OpenSet& folder = set.folder;
    const Manifest* manifest = &set.manifest;
    const std::string& stem = set.stem;
    const int32_t count = std::max(manifest->pieceCount(), 0);
    // The files' names stay in the manifest: they are compared with
    // CONTENTS.sha256 as both are read again.
    ManifestTargets targets;
    if (!targets.read(*manifest))
        return run.refuse("cannot read the manifest of " + pieceFolder + " again");
    const TargetNames names = contentNamesOf(*manifest, targets);
    const SetChecksums sums = readSetChecksums(folder.get(), stem, count,
                                               static_cast<int64_t>(targets.size()), run, &names);
    if (run.stopIfRequested()) return false; // a check cut short proves nothing
    checksums = sums.state;
    if (sums.state == ChecksumState::Damaged) {
        run.fail("the checksum files are damaged: " + sums.problem,
                 EngineFailure::ChecksumsDamaged);
        return false;
    }
    if (!sums.good()) {
        run.fail("the set has no checksum files", EngineFailure::NoChecksums);
        return false;
    }
    std::vector<std::string> pieceNames;
    int64_t total = 0;
    for (int32_t i = 0; i < count; ++i) {
        char name[kPathBufferSize];
        if (pieceFileName(stem.c_str(), i, name) < 0) return false;
        pieceNames.push_back(name);
        FileIdentity identity;
        if (entryAt(folder.get(), name, &identity) == EntryKind::Regular) total += identity.size;
    }
    run.setTotalBytes(total);
    PieceVerifier verifier(run, folder.get(), std::move(pieceNames), sums.pieceHex, true, &targets,
                           sums.contentDigests());
    std::vector<PieceCheck> found;
    bool allGood = true;
    for (int32_t i = 0; i < count; ++i) {
        const PieceVerifier::Verdict verdict = verifier.verdict(static_cast<std::size_t>(i));
        if (run.stopIfRequested()) return false; // a check cut short proves nothing
        PieceCheck check{i, piecePathOf(pieceFolder, stem, i),
                         verdict == PieceVerifier::Verdict::Good, false, ""};
        check.missing = verdict == PieceVerifier::Verdict::Missing;
        if (check.missing) check.problem = "is missing or cannot be read";
        if (verdict == PieceVerifier::Verdict::Mismatch)
            check.problem = "does not match its checksum";
        if (!check.good) {
            allGood = false;
            run.fail("piece " + check.path + " " + check.problem);
        }
        found.push_back(std::move(check));
    }
    // With every piece good, a file whose bytes do not hash to its line
    // means the manifest places them wrongly (or the lines were changed).
    for (std::size_t i = 0; allGood && sums.contentsListed && i < targets.size(); ++i) {
        if (verifier.contentVerdict(i) == PieceVerifier::ContentVerdict::Mismatch) {
            allGood = false;
            std::string name;
            targets.nameOf(*manifest, i, name);
            run.fail("the manifest does not rebuild " + contentNameOf(set.baseName, name) +
                     " as CONTENTS.sha256 describes it");
        }
    }
    out.insert(out.end(), found.begin(), found.end());
    return allGood;
}

} // namespace

Result<void> verifySet(const std::string& pieceFolder, std::vector<PieceCheck>& out,
                       ChecksumState& checksums, RunContext& run) {
    run.clearFailure();
    return runGuarded<Result<void>>(run, "the check", [&] {
        runVerification(pieceFolder, out, checksums, run);
        return run.result();
    });
}

ChecksumVerdict checksumVerdict(const char* pieceFolder) {
    try {
        if (!pieceFolder) return {ChecksumState::Damaged, "no piece folder"};
        FileDescriptor folder = openFolderPath(pieceFolder);
        ManifestHeader header{};
        RunContext quiet;
        if (!folder || readManifestSummaryAt(folder.get(), header, nullptr) != 0)
            return {ChecksumState::Damaged, "it has no readable manifest"};
        const std::string baseName(header.baseName,
                                   strnlen(header.baseName, sizeof header.baseName));
        const int64_t targetBound = header.fileCount > 0 ? header.fileCount : 1;
        const SetChecksums sums =
            readSetChecksums(folder.get(), stemOf(baseName), header.pieceCount, targetBound, quiet);
        return {sums.state, sums.problem};
    } catch (...) {
        return {ChecksumState::Damaged, "it could not be read"};
    }
}
