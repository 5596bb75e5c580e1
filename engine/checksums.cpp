#include "engine/checksums.h"

#include "engine/digest.h"
#include "engine/errors.h"
#include "engine/manifest.h"
#include "engine/safe_fs.h"
#include "engine/utilities.h"

#include <algorithm>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kReadStep = std::size_t{1} << 20;
constexpr std::size_t kMaxQueuedPieces = 2;

std::string readWholeText(int folderFd, const char* name, std::size_t limit) {
    FileDescriptor fd = openFileAt(folderFd, name);
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0 || static_cast<std::size_t>(st.st_size) > limit) return {};
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    if (readAt(fd.get(), text.data(), text.size(), 0) != st.st_size) return {};
    return text;
}

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
std::string sha256Using(int fd, char* buffer, bool countProgress) {
    Sha256Digest digest;
    int64_t offset = 0;
    for (;;) {
        if (engineCancelRequested()) return {};
        const int64_t got = readAt(fd, buffer, kReadStep, offset);
        if (got < 0) return {};
        if (got == 0) break;
        if (!digest.update(buffer, static_cast<std::size_t>(got))) return {};
        offset += got;
        if (countProgress) progressAddDoneBytes(got);
    }
    return digest.finishHex();
}

} // namespace

std::string sha256OfFile(int fd, bool countProgress) {
    std::unique_ptr<char[]> buffer(new char[kReadStep]);
    return sha256Using(fd, buffer.get(), countProgress);
}

SplitHasher::SplitHasher() : worker_([this] { run(); }) {}

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
    changed_.wait(lock, [this] { return queue_.size() < kMaxQueuedPieces; });
    queue_.push_back({std::move(name), std::move(piece), std::move(slices)});
    changed_.notify_all();
}

bool SplitHasher::finish(std::string& pieceSums, std::string& contentSums) {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    endContent();
    pieceSums = pieceSums_;
    contentSums = contentSums_;
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
}

void SplitHasher::endContent() {
    if (!content_) return;
    const std::string hex = content_->finishHex();
    if (hex.empty()) failed_ = true;
    contentSums_ += checksumLine(hex, contentName_);
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
        if (failed_ || got < 0 || !piece.update(buffer, static_cast<std::size_t>(got))) {
            failed_ = true;
            return;
        }
        const int64_t bufferEnd = position + got;
        while (next < job.slices.size()) {
            const ContentSlice& slice = job.slices[next];
            const int64_t end = slice.offset + slice.length;
            if (slice.offset > bufferEnd) break;
            if (!content_ || slice.name != contentName_) {
                endContent();
                content_ = std::make_unique<Sha256Digest>();
                contentName_ = slice.name;
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

PieceVerifier::PieceVerifier(int folderFd, std::vector<std::string> names,
                             std::vector<std::string> expected, bool countProgress)
    : folderFd_(folderFd), names_(std::move(names)), expected_(std::move(expected)),
      countProgress_(countProgress), worker_([this] { run(); }) {}

PieceVerifier::~PieceVerifier() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (worker_.joinable()) worker_.join();
}

PieceVerifier::Verdict PieceVerifier::verdict(std::size_t index) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock,
                  [&] { return verdicts_.size() > index || verdicts_.size() == names_.size(); });
    return index < verdicts_.size() ? verdicts_[index] : Verdict::Missing;
}

void PieceVerifier::run() {
    std::unique_ptr<char[]> buffer;
    try {
        buffer.reset(new char[kReadStep]);
    } catch (...) {
    }
    for (std::size_t i = 0; buffer && i < names_.size(); ++i) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
        Verdict verdict = Verdict::Missing;
        try {
            FileDescriptor fd = openFileAt(folderFd_, names_[i].c_str(), true);
            if (fd) {
                const std::string hex = sha256Using(fd.get(), buffer.get(), countProgress_);
                verdict = !hex.empty() && hex == expected_[i] ? Verdict::Good : Verdict::Mismatch;
            }
        } catch (...) {
            verdict = Verdict::Mismatch;
        }
        {
            std::lock_guard lock(mutex_);
            verdicts_.push_back(verdict);
        }
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    while (verdicts_.size() < names_.size())
        verdicts_.push_back(Verdict::Missing);
    changed_.notify_all();
}

SetChecksums readSetChecksums(int pieceFolderFd, const std::string& stem, int32_t pieceCount) {
    SetChecksums sums;
    if (entryAt(pieceFolderFd, kPieceSumsFileName) == EntryKind::Missing) return sums;
    sums.present = true;
    // A line is under 400 bytes: a bound that a damaged file cannot pass.
    const std::size_t limit = (static_cast<std::size_t>(std::max(pieceCount, 0)) + 1) * 400;
    const std::string text = readWholeText(pieceFolderFd, kPieceSumsFileName, limit);
    std::vector<ChecksumEntry> entries;
    if (text.empty() || !parseChecksumLines(text, entries) ||
        entries.size() != static_cast<std::size_t>(std::max(pieceCount, 0)) + 1) {
        sums.problem = "SHA256SUMS does not list this set's pieces";
        return sums;
    }
    char name[kPathBufferSize];
    for (int32_t i = 0; i < pieceCount; ++i) {
        if (pieceFileName(stem.c_str(), i, name) < 0 || entries[i].name != name) {
            sums.problem = "SHA256SUMS does not list this set's pieces";
            return sums;
        }
    }
    FileDescriptor manifest = openFileAt(pieceFolderFd, kManifestFileName, true);
    if (entries.back().name != kManifestFileName || !manifest ||
        sha256OfFile(manifest.get(), false) != entries.back().hex) {
        sums.problem = "SHA256SUMS belongs to another manifest";
        return sums;
    }
    sums.belongs = true;
    for (int32_t i = 0; i < pieceCount; ++i)
        sums.pieceHex.push_back(entries[i].hex);
    return sums;
}
