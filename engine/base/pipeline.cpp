#include "engine/base/pipeline.h"

#include <algorithm>
#include <cerrno>

#include <unistd.h>

int64_t transformedSize(const Transforms& transforms, int64_t inputSize) {
    int64_t size = inputSize;
    for (const auto& transform : transforms) {
        if (size < 0) return -1;
        size = transform->outputSize(size);
    }
    return size;
}

PieceCutter::PieceCutter(int32_t count, int64_t pieceSize, Callbacks callbacks, RunContext& run)
    : count_(count), pieceSize_(pieceSize), callbacks_(std::move(callbacks)), run_(run) {}

bool PieceCutter::full() const {
    return count_ <= 0 || (index_ == count_ - 1 && opened_ && filled_ == pieceSize_);
}

bool PieceCutter::ensureOpen() {
    if (failed_) return false;
    if (opened_) return true;
    if (index_ >= count_) return false;
    piece_ = callbacks_.create(index_);
    opened_ = true;
    failed_ = !piece_;
    return !failed_;
}

bool PieceCutter::flushStage() {
    if (staged_ == 0) return true;
    const bool written = writeAll(piece_.get(), stage_.data(), staged_);
    staged_ = 0;
    return written;
}

bool PieceCutter::advance() {
    if (index_ + 1 >= count_ || !ensureOpen() || !flushStage()) return false;
    callbacks_.finished(index_, piece_);
    piece_ = FileDescriptor();
    ++index_;
    filled_ = 0;
    opened_ = false;
    return ensureOpen();
}

int64_t PieceCutter::takeRange(int fd, int64_t offset, int64_t length, const SegmentSink& segment,
                               bool& failed, int64_t sizeHint) {
    int64_t taken = 0;
    if (count_ <= 0) return 0;
    if (!ensureOpen()) {
        failed = true;
        return 0;
    }
    for (;;) {
        if (length >= 0 && taken >= length) return taken;
        if (filled_ == pieceSize_) {
            if (index_ + 1 >= count_) return taken; // the set is full
            if (!advance()) {
                failed = true;
                return taken;
            }
        }
        const int64_t room = pieceSize_ - filled_;
        const int64_t want = length < 0 ? room : std::min(room, length - taken);
        const int64_t start = filled_;
        const int64_t got = fill(fd, offset + taken, want, sizeHint, failed);
        if (failed) return taken;
        taken += got;
        segment(index_, start, got);
        if (got < want) return taken; // the source ended
    }
}

int64_t PieceCutter::fill(int fd, int64_t offset, int64_t want, int64_t sizeHint, bool& failed) {
    int64_t got = 0;
    const std::size_t free = kStageBytes - staged_;
    // Only a file known to end within the staging space is staged; a larger
    // one, or one of unknown size, is copied in the kernel.
    if (want > 0 && sizeHint >= 0 && sizeHint - offset < static_cast<int64_t>(free)) {
        if (run_.stopIfRequested()) {
            failed = true;
            errno = ECANCELED;
            return 0;
        }
        if (stage_.empty()) stage_.resize(kStageBytes);
        const std::size_t ask = static_cast<std::size_t>(std::min<int64_t>(want, int64_t(free)));
        int64_t n = 0;
        while (n < static_cast<int64_t>(ask)) {
            const ssize_t part = pread(fd, stage_.data() + staged_ + n, ask - std::size_t(n),
                                       static_cast<off_t>(offset + n));
            if (part < 0 && errno == EINTR) continue;
            if (part < 0) {
                failed = true;
                return 0;
            }
            n += part;
            // The end: nothing more, or the size the file had when opened.
            if (part == 0 || (sizeHint >= 0 && offset + n >= sizeHint)) break;
        }
        staged_ += static_cast<std::size_t>(n);
        filled_ += n;
        got = n;
        run_.addDoneBytes(n);
        if (n < static_cast<int64_t>(ask) || n == want) return got; // ended, or all there
    }
    // More than the staging buffer holds: what is staged goes first, the
    // rest in the kernel.
    if (!flushStage()) {
        failed = true;
        return got;
    }
    const int64_t copied =
        callbacks_.copy ? callbacks_.copy(fd, offset + got, want - got, piece_.get(), failed)
                        : copyRange(fd, offset + got, want - got, piece_.get(), failed, run_);
    filled_ += copied;
    return got + copied;
}

bool PieceCutter::takeBytes(const char* data, std::size_t size, const SegmentSink& segment) {
    if (size == 0) return true;
    if (count_ <= 0 || !ensureOpen()) return run_.refuse("the stream does not fit its pieces");
    if (!flushStage()) return false;
    while (size > 0) {
        if (filled_ == pieceSize_) {
            if (index_ + 1 >= count_) return run_.refuse("the stream is longer than its pieces");
            if (!advance()) return false;
        }
        const std::size_t n =
            static_cast<std::size_t>(std::min<int64_t>(pieceSize_ - filled_, int64_t(size)));
        if (!writeAll(piece_.get(), data, n)) return false;
        segment(index_, filled_, static_cast<int64_t>(n));
        filled_ += static_cast<int64_t>(n);
        data += n;
        size -= n;
    }
    return true;
}

bool PieceCutter::finish() {
    if (count_ <= 0) return true;
    while (index_ + 1 < count_)
        if (!advance()) return false;
    if (!ensureOpen() || !flushStage()) return false;
    callbacks_.finished(index_, piece_);
    piece_ = FileDescriptor();
    failed_ = true; // nothing more is taken
    return true;
}

TransformChain::TransformChain(Transforms transforms, Sink sink, RunContext& run)
    : transforms_(std::move(transforms)), sink_(std::move(sink)), run_(run),
      buffers_(transforms_.size()) {}

bool TransformChain::pass(std::size_t stage, const char* data, std::size_t size) {
    if (stage == transforms_.size()) return size == 0 || sink_(data, size);
    std::vector<char>& out = buffers_[stage];
    out.clear();
    if (!transforms_[stage]->apply(data, size, out))
        return run_.refuse("a stage of the run could not take its bytes");
    return pass(stage + 1, out.data(), out.size());
}

int64_t TransformChain::feed(int fd, int64_t offset, int64_t length, bool& failed) {
    std::vector<char> in(kBufferCopyChunkSize);
    int64_t taken = 0;
    for (;;) {
        if (run_.stopIfRequested()) {
            failed = true;
            errno = ECANCELED;
            return taken;
        }
        std::size_t want = in.size();
        if (length >= 0)
            want = static_cast<std::size_t>(std::min<int64_t>(length - taken, int64_t(want)));
        if (want == 0) return taken;
        const int64_t got = readAt(fd, in.data(), want, offset + taken);
        if (got < 0) {
            failed = true;
            return taken;
        }
        if (got == 0) return taken;
        if (!pass(0, in.data(), static_cast<std::size_t>(got))) {
            failed = true;
            return taken;
        }
        taken += got;
        run_.addDoneBytes(got);
    }
}

bool TransformChain::finish() {
    for (std::size_t stage = 0; stage < transforms_.size(); ++stage) {
        std::vector<char> tail;
        if (!transforms_[stage]->finish(tail))
            return run_.refuse("a stage of the run could not finish its bytes");
        // What a stage held back still goes through the stages after it.
        if (!pass(stage + 1, tail.data(), tail.size())) return false;
    }
    return true;
}

SplitIntake::SplitIntake(const Transforms& transforms, PieceCutter& cutter, RunContext& run)
    : transforms_(transforms), cutter_(cutter) {
    if (transforms_.empty()) return;
    chain_ = std::make_unique<TransformChain>(
        transforms_,
        [this](const char* data, std::size_t size) {
            static const SegmentSink nowhere = [](int32_t, int64_t, int64_t) {};
            return cutter_.takeBytes(data, size, where_ ? *where_ : nowhere);
        },
        run);
}

int64_t SplitIntake::takeFile(int fd, const SegmentSink& where, bool& failed, int64_t sizeHint) {
    if (!chain_) return cutter_.takeRange(fd, 0, -1, where, failed, sizeHint);
    where_ = &where;
    return chain_->feed(fd, 0, -1, failed);
}

bool SplitIntake::takeBytes(const char* data, std::size_t size, const SegmentSink& where) {
    if (!chain_) return cutter_.takeBytes(data, size, where);
    where_ = &where;
    return chain_->push(data, size);
}

bool SplitIntake::finish() {
    return !chain_ || chain_->finish();
}

bool SplitIntake::deferredStart(std::string& bytes) {
    if (transforms_.empty()) {
        bytes.clear();
        return true;
    }
    return transforms_.back()->deferredStart(bytes);
}
