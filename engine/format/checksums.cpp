#include "engine/format/checksums.h"
#include "engine/format/set_names.h"

#include "engine/base/digest.h"
#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/format/manifest.h"
#include "engine/fs/safe_fs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <unordered_map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kReadStep = std::size_t{1} << 20;
constexpr std::size_t kMaxQueuedPieces = 2;

} // namespace

std::string checksumLine(const std::string& hex, const std::string& name) {
    std::string escaped;
    bool escapes = false;
    for (char c : name) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            escapes = true;
            break;
        case '\n':
            escaped += "\\n";
            escapes = true;
            break;
        case '\r':
            escaped += "\\r";
            escapes = true;
            break;
        default:
            escaped += c;
        }
    }
    return (escapes ? "\\" : "") + hex + "  " + escaped + "\n";
}

namespace {

// One line of a checksum file, without its newline.
bool parseChecksumLine(std::string_view line, ChecksumEntry& entry) {
    const bool escaped = !line.empty() && line[0] == '\\';
    if (escaped) line.remove_prefix(1);
    if (line.size() < 67 || line.compare(64, 2, "  ") != 0) return false;
    entry.hex.assign(line.substr(0, 64));
    for (char c : entry.hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return checksumLineName(line.substr(66), escaped, entry.name);
}

} // namespace

bool checksumLineName(std::string_view text, bool escaped, std::string& name) {
    name.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!escaped || text[i] != '\\') {
            name += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        if (text[i] == '\\')
            name += '\\';
        else if (text[i] == 'n')
            name += '\n';
        else if (text[i] == 'r')
            name += '\r';
        else
            return false;
    }
    return true;
}

bool parseChecksumLines(const std::string& text, std::vector<ChecksumEntry>& out) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) return false;
        ChecksumEntry entry;
        if (!parseChecksumLine(std::string_view(text).substr(start, end - start), entry))
            return false;
        start = end + 1;
        out.push_back(std::move(entry));
    }
    return true;
}

namespace {

// sha256OfFile with the caller's buffer of kReadStep bytes.
std::string sha256Using(int fd, char* buffer, RunContext& run, bool countProgress) {
    Sha256Digest digest;
    int64_t offset = 0;
    for (;;) {
        if (run.stopRequested()) return {};
        const int64_t got = readAt(fd, buffer, kReadStep, offset);
        if (got < 0) return {};
        if (got == 0) break;
        if (!digest.update(buffer, static_cast<std::size_t>(got))) return {};
        offset += got;
        if (countProgress) run.addDoneBytes(got);
    }
    return digest.finishHex();
}

} // namespace

std::string sha256OfFile(int fd, RunContext& run, bool countProgress) {
    std::unique_ptr<char[]> buffer(new char[kReadStep]);
    return sha256Using(fd, buffer.get(), run, countProgress);
}

SplitHasher::SplitHasher(RunContext& context) : context_(context), worker_([this] { run(); }) {}

SplitHasher::~SplitHasher() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    failed_ = true; // a run that did not finish: what is still queued is not worth hashing
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void SplitHasher::add(std::string name, FileDescriptor piece, std::vector<ContentSlice> slices) {
    std::unique_lock lock(mutex_);
    // A worker that ended on a fault takes nothing more: finish() reports it.
    changed_.wait(lock, [this] { return queue_.size() < kMaxQueuedPieces || workerEnded_; });
    if (workerEnded_) return;
    queue_.push_back({std::move(name), std::move(piece), std::move(slices)});
    changed_.notify_all();
}

bool SplitHasher::finish(std::string& pieceSums, std::vector<Sha256Digest::Bytes>& contents) {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    endContent();
    pieceSums = std::move(pieceSums_);
    contents = std::move(contents_);
    return !failed_;
}

void SplitHasher::run() {
    try {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
                if (queue_.empty()) return;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            changed_.notify_all();
            if (!failed_) hash(job);
        }
    } catch (...) {
        failed_ = true;
    }
    std::lock_guard lock(mutex_);
    workerEnded_ = true;
    changed_.notify_all();
}

void SplitHasher::endContent() {
    if (!content_) return;
    Sha256Digest::Bytes digest{};
    if (!content_->finish(digest)) failed_ = true;
    contents_.push_back(digest);
    content_.reset();
}

// One pass over the piece feeds the piece's digest and, slice by slice, the
// digest of the rebuilt file the bytes belong to. Slices tile the piece in
// order; a file's digest stays open across pieces until another file starts.
void SplitHasher::hash(Job& job) {
    Sha256Digest piece;
    if (!buffer_) buffer_.reset(new char[kReadStep]);
    char* const buffer = buffer_.get();
    std::size_t next = 0; // the first slice not yet fed whole
    int64_t position = 0; // where the buffer's bytes begin in the piece
    int64_t fed = 0;      // bytes of the piece fed to file digests
    for (;;) {
        const int64_t got = readAt(job.piece.get(), buffer, kReadStep, position);
        if (failed_ || got < 0 || context_.stopRequested() ||
            !piece.update(buffer, static_cast<std::size_t>(got))) {
            failed_ = true;
            return;
        }
        const int64_t bufferEnd = position + got;
        while (next < job.slices.size()) {
            const ContentSlice& slice = job.slices[next];
            const int64_t end = slice.offset + slice.length;
            if (slice.offset > bufferEnd) break;
            if (!content_ || slice.target != contentTarget_) {
                endContent();
                content_ = std::make_unique<Sha256Digest>();
                contentTarget_ = slice.target;
            }
            const int64_t from = std::max({slice.offset, fed, position});
            const int64_t to = std::min(end, bufferEnd);
            if (to > from) {
                content_->update(buffer + (from - position), static_cast<std::size_t>(to - from));
                fed = to;
            }
            if (end > bufferEnd) break; // the slice goes on in the next step
            ++next;
        }
        if (got == 0) break;
        position = bufferEnd;
    }
    if (next != job.slices.size()) failed_ = true; // the piece ended before its slices
    const std::string hex = piece.finishHex();
    if (hex.empty()) failed_ = true;
    pieceSums_ += checksumLine(hex, job.name);
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

namespace {

SetChecksums damaged(std::string problem) {
    SetChecksums sums;
    sums.state = ChecksumState::Damaged;
    sums.problem = std::move(problem);
    return sums;
}

// The text of the checksum file `name`, at most `limit` bytes; "" and
// `problem` set when it cannot be read whole or is larger.
std::string readChecksumFile(int folderFd, const char* name, std::size_t limit,
                             std::string& problem) {
    const EntryKind kind = entryAt(folderFd, name);
    if (kind != EntryKind::Regular) {
        problem = std::string(name) +
                  (kind == EntryKind::Link ? " is a symbolic link" : " is not a regular file");
        return {};
    }
    std::optional<std::string> read = readSmallFileAt(folderFd, name, limit);
    if (!read) {
        problem = std::string(name) +
                  (errno == EFBIG ? " is larger than this set's checksums can be"
                                  : " cannot be read: " + std::string(std::strerror(errno)));
        return {};
    }
    std::string text = std::move(*read);
    if (text.empty()) problem = std::string(name) + " is empty";
    return text;
}

// The line of `name` in a checksum file, quoted as the file would show it.
std::string shown(const std::string& name) {
    std::string line = checksumLine(std::string(64, '0'), name);
    return "\"" + line.substr(line.find("  ") + 2, line.size() - line.find("  ") - 3) + "\"";
}

// "" when SHA256SUMS's entries are this set's, in order; otherwise why not.
std::string pieceSumsDisagreement(RunContext& run, int folderFd, const std::string& stem,
                                  int32_t pieceCount, const std::vector<ChecksumEntry>& entries) {
    char name[kPathBufferSize];
    std::set<std::string> seen;
    for (const ChecksumEntry& entry : entries) {
        if (!seen.insert(entry.name).second)
            return "SHA256SUMS lists " + shown(entry.name) + " twice";
    }
    std::size_t at = 0;
    for (int32_t i = 0; i < pieceCount; ++i, ++at) {
        if (pieceFileName(stem.c_str(), i, name) < 0) return "a piece name does not fit";
        if (at >= entries.size()) return "SHA256SUMS does not list the piece " + shown(name);
        if (entries[at].name != name)
            return "SHA256SUMS lists " + shown(entries[at].name) + " where the piece " +
                   shown(name) + " belongs";
    }
    if (at >= entries.size() || entries[at].name != kManifestFileName)
        return at < entries.size() ? "SHA256SUMS lists " + shown(entries[at].name) +
                                         " where the manifest's line belongs"
                                   : std::string("SHA256SUMS does not list the manifest");
    FileDescriptor manifest = openFileAt(folderFd, kManifestFileName);
    if (!manifest || sha256OfFile(manifest.get(), run, false) != entries[at].hex)
        return run.stopRequested() ? "the check was stopped"
                                   : std::string("the manifest does not match its line in "
                                                 "SHA256SUMS: it was changed or damaged");
    ++at;
    // Then the files later formats add, each at most once, in their order.
    std::size_t next = 0;
    int32_t recovery = 0; // recovery pieces close the list, in order (recovery.h)
    for (; at < entries.size(); ++at) {
        if (entries[at].name == recoveryPieceName(stem, recovery)) {
            ++recovery;
            continue;
        }
        if (recovery > 0)
            return "SHA256SUMS lists " + shown(entries[at].name) + " where the recovery piece " +
                   shown(recoveryPieceName(stem, recovery)) + " belongs";
        const auto* found =
            std::find_if(std::begin(kLaterSumFileNames) + static_cast<std::ptrdiff_t>(next),
                         std::end(kLaterSumFileNames),
                         [&](const char* later) { return entries[at].name == later; });
        if (found == std::end(kLaterSumFileNames))
            return "SHA256SUMS lists " + shown(entries[at].name) + ", which is not part of the set";
        next = static_cast<std::size_t>(found - std::begin(kLaterSumFileNames)) + 1;
        FileDescriptor fd = openFileAt(folderFd, *found);
        if (!fd) return "SHA256SUMS lists " + shown(*found) + ", which is missing";
        if (sha256OfFile(fd.get(), run, false) != entries[at].hex)
            return shown(*found) + " does not match its line in SHA256SUMS";
    }
    // One of them there, but not listed, was put there or kept from another set.
    for (const char* later : kLaterSumFileNames) {
        const bool listed =
            std::any_of(entries.begin(), entries.end(),
                        [&](const ChecksumEntry& entry) { return entry.name == later; });
        if (!listed && entryAt(folderFd, later) != EntryKind::Missing)
            return std::string(later) + " is in the set's folder, but SHA256SUMS does not list it";
    }
    return {};
}

// A checksum line is under this bound (a 64-digit hash and a name of at most
// two 255-byte fields, every byte escaped at worst): a longer one is damage.
constexpr std::size_t kChecksumLineBound = 1200;

// Reads CONTENTS.sha256 in `folderFd`, at most `limit` bytes, into `sums`:
// every line must parse, and, with `targets`, name exactly those in their
// order. "" when it does; otherwise why not. Holds one step of the file and
// 32 bytes a line.
std::string readContentSums(int folderFd, std::size_t limit, const TargetNames* targets,
                            SetChecksums& sums) {
    const std::string file = kContentSumsFileName;
    FileDescriptor fd;
    struct stat st {};
    if (std::string why = openSetFileAt(folderFd, kContentSumsFileName, fd, st.st_size);
        !why.empty())
        return why;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > limit)
        return file + " is larger than this set's checksums can be";
    if (st.st_size == 0) return file + " is empty";
    const std::string unreadable = " cannot be read: ";
    const std::string malformed = "CONTENTS.sha256 has a line that is not a checksum line";
    // Every line parses: a damaged line anywhere is told as such first.
    std::size_t count = 0;
    {
        LineReader lines(fd.get(), st.st_size, kChecksumLineBound);
        std::string_view line;
        ChecksumEntry entry;
        Sha256Digest::Bytes digest{};
        for (;;) {
            const LineReader::Next next = lines.next(line);
            if (next == LineReader::Next::End) break;
            if (next == LineReader::Next::Unreadable)
                return file + unreadable + std::strerror(errno);
            if (next == LineReader::Next::Malformed || !parseChecksumLine(line, entry) ||
                !digestOfHex(entry.hex, digest))
                return malformed;
            if (!targets) sums.contents.push_back(digest);
            ++count;
        }
    }
    if (!targets) return {};
    sums.contents.reserve(count);
    // Then, line by line, the names the set rebuilds.
    LineReader lines(fd.get(), st.st_size, kChecksumLineBound);
    std::string why;
    ChecksumEntry entry;
    Sha256Digest::Bytes digest{};
    // The next line parsed into `entry`, or why there is none.
    const auto nextEntry = [&]() -> LineReader::Next {
        std::string_view line;
        LineReader::Next next = lines.next(line);
        if (next == LineReader::Next::Line &&
            (!parseChecksumLine(line, entry) || !digestOfHex(entry.hex, digest)))
            next = LineReader::Next::Malformed;
        if (next == LineReader::Next::Unreadable) why = file + unreadable + std::strerror(errno);
        if (next == LineReader::Next::Malformed) why = malformed;
        return next;
    };
    const bool named = (*targets)([&](const std::string& name) {
        const LineReader::Next next = nextEntry();
        if (next == LineReader::Next::End) why = "CONTENTS.sha256 does not list " + shown(name);
        if (next != LineReader::Next::Line) return false;
        if (entry.name != name) {
            why =
                "CONTENTS.sha256 lists " + shown(entry.name) + " where " + shown(name) + " belongs";
            return false;
        }
        sums.contents.push_back(digest);
        return true;
    });
    if (!why.empty()) return why;
    if (!named) return "the names of the set's files could not be read again from its manifest";
    const LineReader::Next next = nextEntry();
    if (next == LineReader::Next::Line)
        return "CONTENTS.sha256 lists " + shown(entry.name) + ", which the set does not rebuild";
    return why;
}

} // namespace

SetChecksums readSetChecksums(int pieceFolderFd, const std::string& stem, int32_t pieceCount,
                              int64_t targetBound, RunContext& run, const TargetNames* targets) {
    const bool pieceSums = entryAt(pieceFolderFd, kPieceSumsFileName) != EntryKind::Missing;
    const bool contentSums = entryAt(pieceFolderFd, kContentSumsFileName) != EntryKind::Missing;
    if (!pieceSums && !contentSums) return {};
    if (!pieceSums)
        return damaged(std::string(kPieceSumsFileName) + " is missing while " +
                       kContentSumsFileName + " is there");
    pieceCount = std::max(pieceCount, 0);
    constexpr std::size_t kLineBound = kChecksumLineBound;
    std::string problem;
    const std::string pieceText = readChecksumFile(
        pieceFolderFd, kPieceSumsFileName,
        // Recovery pieces: at most 254 a group of at most 255 columns.
        (static_cast<std::size_t>(pieceCount) * 256 + 1024 + std::size(kLaterSumFileNames)) *
            kLineBound,
        problem);
    if (!problem.empty()) return damaged(problem);
    std::vector<ChecksumEntry> entries;
    if (!parseChecksumLines(pieceText, entries))
        return damaged("SHA256SUMS has a line that is not a checksum line");
    if (const std::string why =
            pieceSumsDisagreement(run, pieceFolderFd, stem, pieceCount, entries);
        !why.empty())
        return damaged(why);

    SetChecksums sums;
    sums.contentsListed = contentSums;
    if (contentSums) {
        if (std::string why = readContentSums(
                pieceFolderFd,
                static_cast<std::size_t>(std::max<int64_t>(targetBound, 1)) * kLineBound, targets,
                sums);
            !why.empty())
            return damaged(std::move(why));
    } else if (std::none_of(entries.begin(), entries.end(), [](const ChecksumEntry& entry) {
                   return entry.name == kEncryptedMarkerFile; // its tags check the content
               })) {
        return damaged(std::string(kContentSumsFileName) + " is missing while " +
                       kPieceSumsFileName + " is there");
    }
    sums.state = ChecksumState::Good;
    for (int32_t i = 0; i < pieceCount; ++i)
        sums.pieceHex.push_back(entries[static_cast<std::size_t>(i)].hex);
    return sums;
}

std::string recordName(const FileRecord& record) {
    return std::string(record.name, strnlen(record.name, sizeof record.name));
}

namespace {

uint64_t nameHash(std::string_view name) {
    return std::hash<std::string_view>{}(name);
}

} // namespace

bool ManifestTargets::read(const Manifest& manifest,
                           const std::function<bool(const FileRecord&)>& check) {
    targets_.clear();
    slices_.clear();
    if (manifest.fileSet()) {
        targets_.push_back({nameHash(""), 0, 0});
        for (int32_t i = 0; i < manifest.pieceCount(); ++i)
            slices_.push_back({i, 0, INT64_MAX});
        return true;
    }
    // The record count was checked against the file when the manifest was read.
    slices_.reserve(static_cast<std::size_t>(manifest.fileCount()));
    targets_.reserve(static_cast<std::size_t>(manifest.fileCount()));
    std::string previous;
    uint32_t index = 0;
    const bool read = manifest.forEachFileRecords([&](const FileRecord* records,
                                                      std::size_t count) {
        for (const FileRecord* record = records; record != records + count; ++record, ++index) {
            if (check && !check(*record)) return false;
            const std::string_view name(record->name, strnlen(record->name, sizeof record->name));
            if (targets_.empty() || name != previous) {
                targets_.push_back({nameHash(name), index, static_cast<uint32_t>(slices_.size())});
                previous.assign(name);
            }
            slices_.push_back({record->pieceIndex, record->offset, record->length});
        }
        return true;
    });
    return read && mergeRepeatedNames(manifest);
}

// A split gives a file's records one after another; a name that comes back
// after others makes one file with all its records, in record order, placed
// where its first record is. Names are compared by hash, and those that share
// one are read again and compared whole.
bool ManifestTargets::mergeRepeatedNames(const Manifest& manifest) {
    std::vector<std::pair<uint64_t, uint32_t>> byHash; // (hash, run)
    byHash.reserve(targets_.size());
    for (std::size_t run = 0; run < targets_.size(); ++run)
        byHash.push_back({targets_[run].nameHash, static_cast<uint32_t>(run)});
    std::sort(byHash.begin(), byHash.end());
    std::vector<std::pair<uint64_t, uint32_t>> shared; // those sharing a hash, still in order
    for (std::size_t i = 0; i < byHash.size(); ++i) {
        if ((i > 0 && byHash[i - 1].first == byHash[i].first) ||
            (i + 1 < byHash.size() && byHash[i + 1].first == byHash[i].first))
            shared.push_back(byHash[i]);
    }
    byHash = {};
    if (shared.empty()) return true;
    std::unordered_map<uint32_t, std::string> names; // by run
    std::vector<uint32_t> records;                   // their first records, in order
    for (const auto& [hash, run] : shared)
        records.push_back(targets_[run].firstRecord);
    std::sort(records.begin(), records.end());
    std::unordered_map<uint32_t, uint32_t> runOfRecord;
    for (const auto& [hash, run] : shared)
        runOfRecord[targets_[run].firstRecord] = run;
    uint32_t index = 0;
    std::size_t want = 0;
    const bool read = manifest.forEachFileRecords([&](const FileRecord* got, std::size_t count) {
        for (std::size_t i = 0; i < count && want < records.size(); ++i, ++index) {
            if (index != records[want]) continue;
            names[runOfRecord[index]] = recordName(got[i]);
            ++want;
        }
        return want < records.size();
    });
    if (want < records.size() && !read) return false;
    // Each run's file: the first run of its name.
    std::vector<uint32_t> fileOf(targets_.size());
    for (std::size_t run = 0; run < fileOf.size(); ++run)
        fileOf[run] = static_cast<uint32_t>(run);
    bool merged = false;
    for (std::size_t i = 0; i < shared.size();) {
        std::size_t end = i;
        std::unordered_map<std::string_view, uint32_t> first;
        for (; end < shared.size() && shared[end].first == shared[i].first; ++end) {
            const uint32_t run = shared[end].second;
            const auto [at, added] = first.emplace(names[run], run);
            if (!added) {
                fileOf[run] = at->second;
                merged = true;
            }
        }
        i = end;
    }
    if (!merged) return true;
    std::vector<uint32_t> order(targets_.size());
    for (std::size_t run = 0; run < order.size(); ++run)
        order[run] = static_cast<uint32_t>(run);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return fileOf[a] < fileOf[b]; });
    std::vector<Target> targets;
    std::vector<PieceSlice> slices;
    slices.reserve(slices_.size());
    for (const uint32_t run : order) {
        if (fileOf[run] == run)
            targets.push_back({targets_[run].nameHash, targets_[run].firstRecord,
                               static_cast<uint32_t>(slices.size())});
        const std::size_t from = targets_[run].firstSlice;
        const std::size_t to =
            run + 1 < targets_.size() ? targets_[run + 1].firstSlice : slices_.size();
        slices.insert(slices.end(), slices_.begin() + static_cast<std::ptrdiff_t>(from),
                      slices_.begin() + static_cast<std::ptrdiff_t>(to));
    }
    targets_ = std::move(targets);
    slices_ = std::move(slices);
    return true;
}

std::size_t ManifestTargets::firstSliceOf(std::size_t index) const {
    return index < targets_.size() ? targets_[index].firstSlice : slices_.size();
}

std::size_t ManifestTargets::targetOfSlice(std::size_t slice) const {
    const auto after =
        std::upper_bound(targets_.begin(), targets_.end(), slice,
                         [](std::size_t s, const Target& target) { return s < target.firstSlice; });
    return static_cast<std::size_t>(after - targets_.begin()) - 1;
}

std::span<const PieceSlice> ManifestTargets::slicesOf(std::size_t target) const {
    const std::size_t from = firstSliceOf(target);
    return {slices_.data() + from, firstSliceOf(target + 1) - from};
}

std::span<PieceSlice> ManifestTargets::slicesOf(std::size_t target) {
    const std::size_t from = firstSliceOf(target);
    return {slices_.data() + from, firstSliceOf(target + 1) - from};
}

bool ManifestTargets::forEachName(
    const Manifest& manifest,
    const std::function<bool(std::size_t, const FileRecord*)>& take) const {
    if (manifest.fileSet()) return targets_.empty() || take(0, nullptr);
    std::size_t next = 0;
    uint32_t index = 0;
    bool changed = false;
    manifest.forEachFileRecords([&](const FileRecord* records, std::size_t count) {
        for (std::size_t i = 0; i < count && next < targets_.size(); ++i, ++index) {
            if (index != targets_[next].firstRecord) continue;
            const std::string_view name(records[i].name,
                                        strnlen(records[i].name, sizeof records[i].name));
            if (nameHash(name) != targets_[next].nameHash) {
                changed = true;
                return false;
            }
            if (!take(next++, &records[i])) return false;
        }
        return next < targets_.size();
    });
    return !changed && next == targets_.size();
}

bool ManifestTargets::nameOf(const Manifest& manifest, std::size_t index, std::string& name) const {
    bool found = false;
    name.clear();
    forEachName(manifest, [&](std::size_t at, const FileRecord* record) {
        if (at != index) return true;
        if (record) name = recordName(*record);
        found = true;
        return false;
    });
    return found;
}

TargetNames contentNamesOf(const Manifest& manifest, const ManifestTargets& targets) {
    return [&manifest, &targets](const std::function<bool(const std::string&)>& take) {
        const std::string baseName = manifest.baseName();
        std::string name; // one buffer for every name
        return targets.forEachName(manifest, [&](std::size_t, const FileRecord* record) {
            name.assign(baseName);
            if (record) {
                name += '/';
                name.append(record->name, strnlen(record->name, sizeof record->name));
            }
            return take(name);
        });
    };
}

std::string contentNameOf(const std::string& baseName, const std::string& target) {
    return target.empty() ? baseName : baseName + "/" + target;
}

bool hasChecksumFiles(int pieceFolderFd) {
    return entryAt(pieceFolderFd, kPieceSumsFileName) != EntryKind::Missing ||
           entryAt(pieceFolderFd, kContentSumsFileName) != EntryKind::Missing;
}

bool digestOfHex(std::string_view hex, Sha256Digest::Bytes& digest) {
    if (hex.size() != 2 * digest.size()) return false;
    const auto value = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = value(hex[2 * i]), low = value(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        digest[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

std::string openSetFileAt(int folderFd, const char* name, FileDescriptor& fd, int64_t& size) {
    const std::string file = name;
    const EntryKind kind = entryAt(folderFd, name);
    if (kind != EntryKind::Regular)
        return file + (kind == EntryKind::Link ? " is a symbolic link" : " is not a regular file");
    fd = openFileAt(folderFd, name);
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) return file + " cannot be read: " + std::strerror(errno);
    size = static_cast<int64_t>(st.st_size);
    return {};
}

std::string hexOf(const Sha256Digest::Bytes& digest) {
    return lowerHexOf(digest.data(), digest.size());
}
