#include "engine/runs/join_job.h"

namespace joining {

// A file set's content to `outFd`. Each piece is read once and matched
// against SHA256SUMS, then sent from the same descriptor (a second read, from
// the page cache), and must be unchanged once sent; the content's digest,
// taken on the first read, is matched against CONTENTS.sha256 at the end. So
// what went out before a failure is the set's true beginning.
Result<JoinOutcome> sendFile(JoinJob& job, const ManifestTargets& targets, int outFd,
                             const SetChecksums& sums, JoinOutcome read) {
    constexpr int64_t kSendStep = int64_t{1} << 20;
    RunContext& run = job.run;
    run.setTotalBytes(job.manifest.totalSize());
    std::vector<char> buffer(static_cast<std::size_t>(kSendStep));
    Sha256Digest content;
    int64_t sent = 0;
    for (const Slice& slice : targets.slicesOf(0)) {
        const std::string path = piecePath(job, slice.piece);
        const FileDescriptor piece = openPiece(job, slice.piece);
        FileIdentity before;
        if (!piece || !identityOf(piece.get(), before))
            return run.failErrno("read", path, errno), run.failure();
        if (sums.good()) {
            Sha256Digest digest;
            for (int64_t at = 0;;) {
                if (run.stopIfRequested()) return run.failure();
                const int64_t got = readAt(piece.get(), buffer.data(), buffer.size(), at);
                if (got < 0) return run.failErrno("read", path, errno), run.failure();
                if (got == 0) break;
                digest.update(buffer.data(), static_cast<std::size_t>(got));
                // The part of these bytes that belongs to the file.
                const int64_t from = std::max(at, slice.offset);
                const int64_t to = std::min(at + got, slice.offset + slice.length);
                if (to > from)
                    content.update(buffer.data() + (from - at),
                                   static_cast<std::size_t>(to - from));
                at += got;
            }
            const std::size_t index = static_cast<std::size_t>(slice.piece);
            if (index >= sums.pieceHex.size() || digest.finishHex() != sums.pieceHex[index])
                return run.fail(EngineFailure::PieceDamaged,
                                "piece " + path + " does not match its checksum", path);
        }
        bool failed = false;
        const int64_t copied =
            copyRange(piece.get(), slice.offset, slice.length, outFd, failed, run);
        if (failed && errno == ECANCELED) return run.failure();
        if (failed) return run.failErrno("send to standard output", path, errno), run.failure();
        if (copied != slice.length)
            return run.fail("piece " + path + " is shorter than it was"), run.failure();
        sent += copied;
        FileIdentity after;
        if (!identityOf(piece.get(), after) || !(after == before))
            return run.fail("piece " + path + " changed while it was sent"), run.failure();
    }
    if (sent != job.manifest.totalSize())
        return run.fail("the pieces hold " + std::to_string(sent) + " bytes, not the set's " +
                        std::to_string(job.manifest.totalSize())),
               run.failure();
    if (sums.good() && sums.contentsListed &&
        (sums.contents.empty() || content.finishHex() != hexOf(sums.contents.front())))
        return run.fail("what was sent does not match its checksum in CONTENTS.sha256"),
               run.failure();
    read.target = "standard output";
    return read;
}

} // namespace joining
