#include "engine/checksums.h"

#include "engine/digest.h"
#include "engine/run_context.h"
#include "engine/manifest.h"
#include "engine/safe_fs.h"
#include "engine/utilities.h"

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

bool parseChecksumLines(const std::string& text, std::vector<ChecksumEntry>& out) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) return false;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const bool escaped = !line.empty() && line[0] == '\\';
        if (escaped) line.erase(0, 1);
        if (line.size() < 67 || line.compare(64, 2, "  ") != 0) return false;
        ChecksumEntry entry{line.substr(0, 64), {}};
        for (char c : entry.hex) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        }
        const std::string name = line.substr(66);
        for (std::size_t i = 0; i < name.size(); ++i) {
            if (!escaped || name[i] != '\\') {
                entry.name += name[i];
                continue;
            }
            if (++i == name.size()) return false;
            if (name[i] == '\\')
                entry.name += '\\';
            else if (name[i] == 'n')
                entry.name += '\n';
            else if (name[i] == 'r')
                entry.name += '\r';
            else
                return false;
        }
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

struct PieceVerifier::Content {
    std::string expectedHex;
    int32_t lastPiece = -1;
    std::size_t nextSlice = 0; // the slice the digest waits for
    std::unique_ptr<Sha256Digest> digest;
    bool decided = false;
    ContentVerdict verdict = ContentVerdict::Mismatch;
};

struct PieceVerifier::SliceAt {
    int32_t piece;
    int64_t offset;
    int64_t end; // INT64_MAX: the piece's end
    std::size_t content;
    std::size_t slice; // its position in the content's slices
};

PieceVerifier::PieceVerifier(RunContext& context, int folderFd, std::vector<std::string> names,
                             std::vector<std::string> expected, bool countProgress,
                             std::vector<ContentCheck> contents)
    : context_(context), folderFd_(folderFd), names_(std::move(names)), expected_(std::move(expected)),
      countProgress_(countProgress) {
    contents_.resize(contents.size());
    for (std::size_t c = 0; c < contents.size(); ++c) {
        Content& content = contents_[c];
        content.expectedHex = std::move(contents[c].expectedHex);
        // The single pass feeds a digest only when the slices come in piece
        // order without going back; anything else is hashed from the file.
        bool inOrder = !contents[c].slices.empty();
        int64_t lastEnd = 0;
        for (std::size_t k = 0; k < contents[c].slices.size() && inOrder; ++k) {
            const PieceSlice& slice = contents[c].slices[k];
            int64_t end = INT64_MAX;
            if (slice.piece < 0 || static_cast<std::size_t>(slice.piece) >= names_.size() ||
                slice.offset < 0 || slice.length < 0 ||
                (slice.length != INT64_MAX &&
                 __builtin_add_overflow(slice.offset, slice.length, &end)) ||
                slice.piece < content.lastPiece ||
                (slice.piece == content.lastPiece && slice.offset < lastEnd)) {
                inOrder = false;
                break;
            }
            content.lastPiece = slice.piece;
            lastEnd = end;
        }
        if (!inOrder) {
            decide(content, ContentVerdict::ReadBack);
            continue;
        }
        for (std::size_t k = 0; k < contents[c].slices.size(); ++k) {
            const PieceSlice& slice = contents[c].slices[k];
            slices_.push_back({slice.piece, slice.offset,
                               slice.length == INT64_MAX ? INT64_MAX : slice.offset + slice.length,
                               c, k});
        }
    }
    std::stable_sort(slices_.begin(), slices_.end(), [](const SliceAt& a, const SliceAt& b) {
        return a.piece != b.piece ? a.piece < b.piece : a.offset < b.offset;
    });
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
    if (index >= contents_.size()) return ContentVerdict::Mismatch;
    changed_.wait(lock, [&] { return contents_[index].decided || contentsFinished_; });
    return contents_[index].decided ? contents_[index].verdict : ContentVerdict::Mismatch;
}

// Called with the mutex held, or before the worker starts.
void PieceVerifier::decide(Content& content, ContentVerdict verdict) {
    if (content.decided) return;
    content.verdict = verdict;
    content.decided = true;
    content.digest.reset();
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
    const PieceRead read = readPiece(folderFd_, names_[index], buffer, context_, stopping_,
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
// feeds the content slices it holds, those from `cursor` on in slices_, to
// their files' digests; decides the files that end in it.
void PieceVerifier::feedContents(std::size_t index, char* buffer, std::size_t& cursor) {
    const int32_t piece = static_cast<int32_t>(index);
    const std::size_t first = cursor;
    while (cursor < slices_.size() && slices_[cursor].piece == piece)
        ++cursor;
    const std::size_t last = cursor;
    if (first == last) return;
    std::vector<std::size_t> active; // slices begun and not yet ended
    std::size_t next = first;
    const PieceRead read =
        readPiece(folderFd_, names_[index], buffer, context_, stopping_,
                  [&](const char* bytes, int64_t got, int64_t position) {
                      const int64_t bufferEnd = position + got;
                      const bool ended = got == 0;
                      while (next < last && (slices_[next].offset < bufferEnd || ended))
                          active.push_back(next++);
                      std::erase_if(active, [&](std::size_t at) {
                          const SliceAt& slice = slices_[at];
                          Content& content = contents_[slice.content];
                          if (content.decided) return true;
                          if (content.nextSlice != slice.slice ||
                              (ended && slice.end != INT64_MAX && slice.end > bufferEnd)) {
                              // A slice out of its place, or past the piece's end.
                              std::lock_guard lock(mutex_);
                              decide(content, ContentVerdict::Mismatch);
                              return true;
                          }
                          if (!content.digest) content.digest = std::make_unique<Sha256Digest>();
                          const int64_t from = std::max(slice.offset, position);
                          const int64_t to = std::min(slice.end, bufferEnd);
                          if (to > from)
                              content.digest->update(bytes + (from - position),
                                                     static_cast<std::size_t>(to - from));
                          if (slice.end > bufferEnd && !ended) return false;
                          ++content.nextSlice;
                          return true;
                      });
                      return true;
                  });
    std::lock_guard lock(mutex_);
    for (std::size_t at = first; at < last; ++at) {
        Content& content = contents_[slices_[at].content];
        if (content.decided) continue;
        if (read != PieceRead::Read) {
            decide(content, ContentVerdict::Mismatch);
        } else if (content.lastPiece == piece) {
            const std::string hex =
                content.digest ? content.digest->finishHex() : Sha256Digest().finishHex();
            decide(content, !hex.empty() && hex == content.expectedHex ? ContentVerdict::Good
                                                                       : ContentVerdict::Mismatch);
        }
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
        for (std::size_t i = 0; i < names_.size() && !stopping(); ++i) {
            feedContents(i, buffer.get(), cursor);
            changed_.notify_all();
        }
    } catch (...) {
    }
    std::lock_guard lock(mutex_);
    for (Content& content : contents_)
        decide(content, ContentVerdict::Mismatch);
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
                                  int32_t pieceCount,
                                  const std::vector<ChecksumEntry>& entries) {
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
    for (; at < entries.size(); ++at) {
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
    return {};
}

std::string contentsDisagreement(const std::vector<ChecksumEntry>& contents,
                                 const std::vector<std::string>& targets) {
    std::size_t i = 0;
    for (; i < targets.size(); ++i) {
        if (i >= contents.size()) return "CONTENTS.sha256 does not list " + shown(targets[i]);
        if (contents[i].name != targets[i])
            return "CONTENTS.sha256 lists " + shown(contents[i].name) + " where " +
                   shown(targets[i]) + " belongs";
    }
    if (i < contents.size())
        return "CONTENTS.sha256 lists " + shown(contents[i].name) +
               ", which the set does not rebuild";
    return {};
}

} // namespace

SetChecksums readSetChecksums(int pieceFolderFd, const std::string& stem, int32_t pieceCount,
                              int64_t targetBound, RunContext& run,
                              const std::vector<std::string>* targets) {
    const bool pieceSums = entryAt(pieceFolderFd, kPieceSumsFileName) != EntryKind::Missing;
    const bool contentSums = entryAt(pieceFolderFd, kContentSumsFileName) != EntryKind::Missing;
    if (!pieceSums && !contentSums) return {};
    if (!pieceSums || !contentSums)
        return damaged(std::string(pieceSums ? kContentSumsFileName : kPieceSumsFileName) +
                       " is missing while " +
                       (pieceSums ? kPieceSumsFileName : kContentSumsFileName) + " is there");
    pieceCount = std::max(pieceCount, 0);
    // A line is under 1200 bytes (a 64-digit hash and a name of at most two
    // 255-byte fields, every byte escaped at worst): a bound no damage passes.
    constexpr std::size_t kLineBound = 1200;
    std::string problem;
    const std::string pieceText = readChecksumFile(
        pieceFolderFd, kPieceSumsFileName,
        (static_cast<std::size_t>(pieceCount) + 1 + std::size(kLaterSumFileNames)) * kLineBound,
        problem);
    if (!problem.empty()) return damaged(problem);
    std::vector<ChecksumEntry> entries;
    if (!parseChecksumLines(pieceText, entries))
        return damaged("SHA256SUMS has a line that is not a checksum line");
    if (const std::string why = pieceSumsDisagreement(run, pieceFolderFd, stem, pieceCount, entries);
        !why.empty())
        return damaged(why);

    const std::string contentText = readChecksumFile(
        pieceFolderFd, kContentSumsFileName,
        static_cast<std::size_t>(std::max<int64_t>(targetBound, 1)) * kLineBound, problem);
    if (!problem.empty()) return damaged(problem);
    SetChecksums sums;
    if (!parseChecksumLines(contentText, sums.contents))
        return damaged("CONTENTS.sha256 has a line that is not a checksum line");
    if (targets) {
        if (const std::string why = contentsDisagreement(sums.contents, *targets); !why.empty())
            return damaged(why);
    }
    sums.state = ChecksumState::Good;
    for (int32_t i = 0; i < pieceCount; ++i)
        sums.pieceHex.push_back(entries[static_cast<std::size_t>(i)].hex);
    return sums;
}

bool targetsOfManifest(const Manifest& manifest, std::vector<ManifestTarget>& targets) {
    targets.clear();
    if (manifest.fileSet()) {
        ManifestTarget whole{"", {}};
        for (int32_t i = 0; i < manifest.pieceCount(); ++i)
            whole.slices.push_back({i, 0, INT64_MAX});
        targets.push_back(std::move(whole));
        return true;
    }
    std::unordered_map<std::string, std::size_t> where;
    return manifest.forEachFileRecords([&](const FileRecord* records, std::size_t count) {
        for (const FileRecord* record = records; record != records + count; ++record) {
            std::string name(record->name, strnlen(record->name, sizeof record->name));
            auto [it, added] = where.emplace(std::move(name), targets.size());
            if (added) targets.push_back({it->first, {}});
            targets[it->second].slices.push_back(
                {record->pieceIndex, record->offset, record->length});
        }
        return true;
    });
}

std::string contentNameOf(const std::string& baseName, const std::string& target) {
    return target.empty() ? baseName : baseName + "/" + target;
}
