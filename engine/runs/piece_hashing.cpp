#include "engine/runs/piece_hashing.h"

#include "engine/fs/safe_fs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace {

constexpr std::size_t kReadStep = std::size_t{1} << 20;
constexpr std::size_t kMaxQueuedPieces = 2;

} // namespace

SplitHasher::SplitHasher(RunContext& context) : context_(context) {
    pieceLane_.thread = std::thread([this] { run(pieceLane_, true); });
    try {
        contentLane_.thread = std::thread([this] { run(contentLane_, false); });
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        pieceLane_.thread.join();
        throw;
    }
}

SplitHasher::~SplitHasher() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    failed_ = true; // a run that did not finish: what is still queued is not worth hashing
    changed_.notify_all();
    for (Lane* lane : {&pieceLane_, &contentLane_})
        if (lane->thread.joinable()) lane->thread.join();
}

void SplitHasher::add(std::string name, FileDescriptor bytes, std::vector<ContentSlice> slices,
                      int64_t offset, int64_t length) {
    auto job = std::make_shared<Job>();
    job->name = std::move(name);
    job->bytes = std::move(bytes);
    job->offset = offset;
    job->length = length;
    job->slices = std::move(slices);
    std::unique_lock lock(mutex_);
    // A worker that ended on a fault takes nothing more: finish() reports it.
    const auto ended = [this] { return pieceLane_.ended || contentLane_.ended; };
    changed_.wait(lock, [&] {
        return (pieceLane_.queue.size() < kMaxQueuedPieces &&
                contentLane_.queue.size() < kMaxQueuedPieces) ||
               ended();
    });
    if (ended()) return;
    pieceLane_.queue.push_back(job);
    contentLane_.queue.push_back(std::move(job));
    changed_.notify_all();
}

bool SplitHasher::finish(std::string& pieceSums, std::vector<Sha256Digest::Bytes>& contents) {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    for (Lane* lane : {&pieceLane_, &contentLane_})
        if (lane->thread.joinable()) lane->thread.join();
    endContent();
    pieceSums = std::move(pieceSums_);
    contents = std::move(contents_);
    return !failed_;
}

void SplitHasher::run(Lane& lane, bool pieces) {
    try {
        std::unique_ptr<char[]> buffer(new char[kReadStep]); // made once per thread
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return !lane.queue.empty() || closing_; });
                if (lane.queue.empty()) break;
                job = std::move(lane.queue.front());
                lane.queue.pop_front();
            }
            changed_.notify_all();
            if (failed_) continue;
            if (pieces)
                hashPiece(*job, buffer.get());
            else
                hashContents(*job, buffer.get());
        }
    } catch (...) {
        failed_ = true;
    }
    std::lock_guard lock(mutex_);
    lane.ended = true;
    changed_.notify_all();
}

void SplitHasher::endContent() {
    if (!content_) return;
    Sha256Digest::Bytes digest{};
    if (!content_->finish(digest)) failed_ = true;
    contents_.push_back(digest);
    content_.reset();
}

namespace {

// Feeds `length` bytes of `fd` from `offset` (to its end when negative) to
// `step` through `buffer`. False when they could not all be read, or on a stop.
template <class Step>
bool readSpan(int fd, int64_t offset, int64_t length, char* buffer, const RunContext& run,
              const std::atomic<bool>& failed, Step&& step) {
    for (int64_t done = 0; length < 0 || done < length;) {
        const std::size_t want =
            length < 0 ? kReadStep
                       : static_cast<std::size_t>(std::min<int64_t>(length - done, kReadStep));
        const int64_t got = readAt(fd, buffer, want, offset + done);
        if (failed || got < 0 || run.stopRequested()) return false;
        if (got == 0) return length < 0;
        if (!step(buffer, static_cast<std::size_t>(got))) return false;
        done += got;
    }
    return true;
}

} // namespace

void SplitHasher::hashPiece(const Job& job, char* buffer) {
    Sha256Digest piece;
    if (!readSpan(job.bytes.get(), job.offset, job.length, buffer, context_, failed_,
                  [&](const char* bytes, std::size_t size) { return piece.update(bytes, size); })) {
        failed_ = true;
        return;
    }
    const std::string hex = piece.finishHex();
    if (hex.empty()) failed_ = true;
    pieceSums_ += checksumLine(hex, job.name);
}

// The slices tile the piece in order; a file's digest stays open across
// pieces until another file starts.
void SplitHasher::hashContents(const Job& job, char* buffer) {
    for (const ContentSlice& slice : job.slices) {
        if (!content_ || slice.target != contentTarget_) {
            endContent();
            content_ = std::make_unique<Sha256Digest>();
            contentTarget_ = slice.target;
        }
        if (slice.length == 0) continue;
        if (slice.offset < 0 || slice.length < 0 ||
            (job.length >= 0 && slice.offset + slice.length > job.length) ||
            !readSpan(job.bytes.get(), job.offset + slice.offset, slice.length, buffer, context_,
                      failed_, [&](const char* bytes, std::size_t size) {
                          return content_->update(bytes, size);
                      })) {
            failed_ = true; // the piece ended before its slices
            return;
        }
    }
}

PieceVerifier::PieceVerifier(RunContext& context, int folderFd, std::vector<std::string> names,
                             std::vector<std::string> expected, bool countProgress,
                             const ManifestTargets* targets,
                             const std::vector<Sha256Digest::Bytes>* contents,
                             std::vector<int> pieceFolders)
    : context_(context), folderFd_(folderFd), pieceFolders_(std::move(pieceFolders)),
      names_(std::move(names)), expected_(std::move(expected)), countProgress_(countProgress),
      targets_(contents ? targets : nullptr), contents_(contents) {
    const std::size_t count = targets_ ? targets_->size() : 0;
    contentVerdicts_.assign(count, ContentVerdict::Pending);
    nextSlice_.assign(count, 0);
    // The single pass feeds a digest only when the file's slices come in
    // piece order without going back; anything else is hashed from the file.
    for (std::size_t t = 0; t < count; ++t) {
        const std::span<const PieceSlice> slices = targets_->slicesOf(t);
        if (t >= contents_->size()) {
            contentVerdicts_[t] = ContentVerdict::Mismatch;
            continue;
        }
        bool inOrder = !slices.empty();
        int32_t lastPiece = -1;
        int64_t lastEnd = 0;
        for (const PieceSlice& slice : slices) {
            int64_t end = INT64_MAX;
            if (slice.piece < 0 || static_cast<std::size_t>(slice.piece) >= names_.size() ||
                slice.offset < 0 || slice.length < 0 ||
                (slice.length != INT64_MAX &&
                 __builtin_add_overflow(slice.offset, slice.length, &end)) ||
                slice.piece < lastPiece || (slice.piece == lastPiece && slice.offset < lastEnd)) {
                inOrder = false;
                break;
            }
            lastPiece = slice.piece;
            lastEnd = end;
        }
        if (!inOrder) contentVerdicts_[t] = ContentVerdict::ReadBack;
    }
    // A split's manifest gives every slice in piece and offset order already;
    // only another order needs one of its own (4 bytes a slice).
    if (count > 0) {
        const std::vector<PieceSlice>& all = targets_->slices();
        const auto before = [&](std::size_t a, std::size_t b) {
            return all[a].piece != all[b].piece ? all[a].piece < all[b].piece
                                                : all[a].offset < all[b].offset;
        };
        bool sorted = true;
        for (std::size_t s = 1; s < all.size() && sorted; ++s)
            sorted = !before(s, s - 1);
        if (sorted) {
            sequenceSize_ = all.size();
        } else {
            for (std::size_t t = 0; t < count; ++t) {
                if (contentVerdicts_[t] != ContentVerdict::Pending) continue;
                for (std::size_t s = targets_->firstSliceOf(t); s < targets_->firstSliceOf(t + 1);
                     ++s)
                    order_.push_back(static_cast<uint32_t>(s));
            }
            std::stable_sort(order_.begin(), order_.end(), before);
            sequenceSize_ = order_.size();
        }
    }
    worker_ = std::thread([this] { run(); });
    // The files' digests on a second thread, so the check of a join with both
    // files costs no more time than the pieces' digests alone.
    try {
        contentWorker_ = std::thread([this] { runContents(); });
    } catch (...) {
        stopping_ = true;
        worker_.join();
        throw;
    }
}

PieceVerifier::~PieceVerifier() {
    stopping_ = true;
    if (worker_.joinable()) worker_.join();
    if (contentWorker_.joinable()) contentWorker_.join();
}

PieceVerifier::Verdict PieceVerifier::verdict(std::size_t index) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return verdicts_.size() > index || finished_; });
    return index < verdicts_.size() ? verdicts_[index] : Verdict::Missing;
}

PieceVerifier::ContentVerdict PieceVerifier::contentVerdict(std::size_t index) {
    std::unique_lock lock(mutex_);
    if (index >= contentVerdicts_.size()) return ContentVerdict::Mismatch;
    changed_.wait(lock, [&] {
        return contentVerdicts_[index] != ContentVerdict::Pending || contentsFinished_;
    });
    const ContentVerdict verdict = contentVerdicts_[index];
    return verdict != ContentVerdict::Pending ? verdict : ContentVerdict::Mismatch;
}

// Called on the content thread with the mutex held: the file's digest goes.
void PieceVerifier::decide(std::size_t target, ContentVerdict verdict) {
    if (contentVerdicts_[target] != ContentVerdict::Pending) return;
    contentVerdicts_[target] = verdict;
    open_.erase(target);
}

std::size_t PieceVerifier::sliceAt(std::size_t position) const {
    return order_.empty() ? position : order_[position];
}

namespace {

enum class PieceRead { Read, Missing, Unreadable };

// Reads the piece `name` in `folderFd` from its start in steps through
// `buffer`, handing each to `step(bytes, count, position)`, the last with a
// count of 0 at its end. A stop request ends it as Unreadable.
template <class Step>
PieceRead readPiece(int folderFd, const std::string& name, char* buffer, const RunContext& run,
                    const std::atomic<bool>& stop, Step&& step) {
    FileDescriptor fd = openFileAt(folderFd, name.c_str(), true);
    if (!fd) return PieceRead::Missing;
    for (int64_t position = 0;;) {
        if (run.stopRequested() || stop) return PieceRead::Unreadable;
        const int64_t got = readAt(fd.get(), buffer, kReadStep, position);
        if (got < 0 || !step(buffer, got, position)) return PieceRead::Unreadable;
        if (got == 0) return PieceRead::Read;
        position += got;
    }
}

} // namespace

// Hashes piece `index` against its line.
void PieceVerifier::checkPiece(std::size_t index, char* buffer) {
    Sha256Digest digest;
    const PieceRead read = readPiece(folderOf(index), names_[index], buffer, context_, stopping_,
                                     [&](const char* bytes, int64_t got, int64_t) {
                                         if (countProgress_) context_.addDoneBytes(got);
                                         return digest.update(bytes, static_cast<std::size_t>(got));
                                     });
    Verdict verdict = Verdict::Missing;
    if (read != PieceRead::Missing) {
        const std::string hex = read == PieceRead::Read ? digest.finishHex() : std::string();
        verdict = !hex.empty() && hex == expected_[index] ? Verdict::Good : Verdict::Mismatch;
    }
    std::lock_guard lock(mutex_);
    verdicts_.push_back(verdict);
}

// Reads piece `index` again (from the page cache, on a second thread) and
// feeds the content slices it holds, those from `cursor` on in piece order,
// to their files' digests; decides each file as its last slice is fed.
void PieceVerifier::feedContents(std::size_t index, char* buffer, std::size_t& cursor) {
    const int32_t piece = static_cast<int32_t>(index);
    const std::vector<PieceSlice>& all = targets_->slices();
    // Slices of earlier pieces left here belong to files hashed from what the join wrote.
    while (cursor < sequenceSize_ && all[sliceAt(cursor)].piece < piece)
        ++cursor;
    const std::size_t first = cursor;
    while (cursor < sequenceSize_ && all[sliceAt(cursor)].piece == piece)
        ++cursor;
    const std::size_t last = cursor;
    if (first == last) return;
    std::vector<std::size_t> active; // slices begun and not yet ended
    std::size_t next = first;
    const PieceRead read = readPiece(
        folderOf(index), names_[index], buffer, context_, stopping_,
        [&](const char* bytes, int64_t got, int64_t position) {
            const int64_t bufferEnd = position + got;
            const bool ended = got == 0;
            while (next < last && (all[sliceAt(next)].offset < bufferEnd || ended))
                active.push_back(next++);
            std::erase_if(active, [&](std::size_t at) {
                const std::size_t s = sliceAt(at);
                const PieceSlice& slice = all[s];
                const std::size_t target = targets_->targetOfSlice(s);
                if (contentVerdicts_[target] != ContentVerdict::Pending) return true;
                const int64_t end =
                    slice.length == INT64_MAX ? INT64_MAX : slice.offset + slice.length;
                if (nextSlice_[target] != s - targets_->firstSliceOf(target) ||
                    (ended && end != INT64_MAX && end > bufferEnd)) {
                    // A slice out of its place, or past the piece's end.
                    std::lock_guard lock(mutex_);
                    decide(target, ContentVerdict::Mismatch);
                    return true;
                }
                std::unique_ptr<Sha256Digest>& digest = open_[target];
                if (!digest) digest = std::make_unique<Sha256Digest>();
                const int64_t from = std::max(slice.offset, position);
                const int64_t to = std::min(end, bufferEnd);
                if (to > from)
                    digest->update(bytes + (from - position), static_cast<std::size_t>(to - from));
                if (end > bufferEnd && !ended) return false;
                if (++nextSlice_[target] == targets_->slicesOf(target).size()) {
                    // The file's last byte is in: it is decided now, and its digest goes.
                    Sha256Digest::Bytes hashed{};
                    const bool good = digest->finish(hashed) && hashed == (*contents_)[target];
                    {
                        std::lock_guard lock(mutex_);
                        decide(target, good ? ContentVerdict::Good : ContentVerdict::Mismatch);
                    }
                    changed_.notify_all();
                }
                return true;
            });
            return true;
        });
    std::lock_guard lock(mutex_);
    for (std::size_t at = first; at < last; ++at) {
        const std::size_t target = targets_->targetOfSlice(sliceAt(at));
        if (contentVerdicts_[target] != ContentVerdict::Pending) continue;
        // Still open: the piece could not be read whole, or the file's last
        // slice lies in it and was never fed whole.
        if (read != PieceRead::Read || targets_->slicesOf(target).back().piece == piece)
            decide(target, ContentVerdict::Mismatch);
    }
}

bool PieceVerifier::stopping() {
    return stopping_;
}

void PieceVerifier::run() {
    try {
        std::unique_ptr<char[]> buffer(new char[kReadStep]);
        for (std::size_t i = 0; i < names_.size() && !stopping(); ++i) {
            checkPiece(i, buffer.get());
            changed_.notify_all();
        }
    } catch (...) {
    }
    std::lock_guard lock(mutex_);
    while (verdicts_.size() < names_.size())
        verdicts_.push_back(Verdict::Missing);
    finished_ = true;
    changed_.notify_all();
}

void PieceVerifier::runContents() {
    try {
        std::unique_ptr<char[]> buffer(new char[kReadStep]);
        std::size_t cursor = 0;
        for (std::size_t i = 0; targets_ && i < names_.size() && !stopping(); ++i) {
            feedContents(i, buffer.get(), cursor);
            changed_.notify_all();
        }
    } catch (...) {
    }
    std::lock_guard lock(mutex_);
    for (std::size_t target = 0; target < contentVerdicts_.size(); ++target)
        decide(target, ContentVerdict::Mismatch);
    open_.clear();
    contentsFinished_ = true;
    changed_.notify_all();
}
