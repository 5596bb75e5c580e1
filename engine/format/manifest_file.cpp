#include "engine/format/manifest_file.h"

#include "engine/base/digest.h"
#include "engine/fs/safe_fs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::size_t kWriteStep = std::size_t{1} << 20;

std::string textField(const char* field, std::size_t size) {
    const std::size_t length = strnlen(field, size);
    return length == size ? std::string() : std::string(field, length);
}

} // namespace

Result<Manifest> Manifest::readAt(int folderFd, const std::string& displayPath) {
    auto file = std::make_shared<FileDescriptor>(openFileAt(folderFd, kManifestFileName));
    const std::string path = displayPath + "/" + kManifestFileName;
    if (!*file) {
        const int error = errno;
        // No manifest: not a set; one that cannot be opened: the system's refusal.
        return Failure{error == ENOENT || error == ENOTDIR ? EngineFailure::NotASet
                                                           : kindOfErrno(error),
                       "cannot read the manifest of " + displayPath + ": " + std::strerror(error),
                       path, error};
    }
    Manifest manifest;
    ManifestHandlers keep;
    keep.header = [&](const ManifestHeader& header) {
        manifest.header_ = header;
        return true;
    };
    keep.pieces = [&](const PieceRecord* records, std::size_t count) {
        manifest.pieces_.insert(manifest.pieces_.end(), records, records + count);
        return true;
    };
    try {
        if (readManifest(file->get(), keep) != 0)
            return Failure{EngineFailure::NotASet,
                           "cannot read the manifest of " + displayPath +
                               ": it is damaged or not a manifest",
                           path, 0};
    } catch (const std::bad_alloc&) {
        return Failure{EngineFailure::TooLarge, "the manifest of " + displayPath + " is too large",
                       path, ENOMEM};
    }
    manifest.file_ = std::move(file);
    return manifest;
}

std::string Manifest::baseName() const {
    return textField(header_.baseName, sizeof header_.baseName);
}

bool Manifest::forEachFileRecords(
    const std::function<bool(const FileRecord*, std::size_t)>& take) const {
    if (!file_ || !*file_) return false;
    ManifestHandlers handlers;
    handlers.files = take;
    return readManifest(file_->get(), handlers) == 0;
}

bool ManifestWriter::create(int folderFd, const ManifestHeader& header, int mode,
                            const std::string& displayPath, RunContext& run) {
    run_ = &run;
    displayPath_ = displayPath;
    header_ = header;
    header_.magic = kManifestMagic;
    header_.version = kManifestVersion;
    header_.fileCount = 0;
    if (header_.pieceCount < 0 || header_.pieceCount > kManifestMaxPieceCount)
        return run.refuse("the split would make too many pieces", EngineFailure::TooLarge);
    pieces_.assign(static_cast<std::size_t>(header_.pieceCount), PieceRecord{});
    for (std::size_t i = 0; i < pieces_.size(); ++i)
        pieces_[i].pieceIndex = static_cast<int32_t>(i);
    fd_ = FileDescriptor(::openat(folderFd, kManifestFileName,
                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  static_cast<mode_t>(mode)));
    if (!fd_) {
        run.failErrno("create", displayPath_, errno);
        return ok_ = false;
    }
    return true;
}

bool ManifestWriter::flush() {
    if (!ok_) return false;
    if (run_->stopIfRequested()) return ok_ = false; // a stop ends even a long write
    const int64_t at = static_cast<int64_t>(sizeof(ManifestHeader)) +
                       int64_t{header_.pieceCount} * static_cast<int64_t>(sizeof(PieceRecord)) +
                       filesWritten_;
    for (std::size_t done = 0; done < buffer_.size();) {
        const ssize_t n = pwrite(fd_.get(), buffer_.data() + done, buffer_.size() - done,
                                 static_cast<off_t>(at + static_cast<int64_t>(done)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            run_->failErrno("write", displayPath_, n < 0 ? errno : EIO);
            return ok_ = false;
        }
        done += static_cast<std::size_t>(n);
    }
    filesWritten_ += static_cast<int64_t>(buffer_.size());
    buffer_.clear();
    return true;
}

bool ManifestWriter::addFile(const std::string& name, int32_t pieceIndex, int64_t offset,
                             int64_t length) {
    if (!ok_) return false;
    FileRecord record{};
    if (name.empty() || name.size() >= sizeof record.name || name.find('\0') != std::string::npos)
        return ok_ = run_->refuse("the path of " + name + " is too long for a manifest",
                                  EngineFailure::TooLarge);
    if (header_.fileCount >= kManifestMaxFileCount)
        return ok_ = run_->refuse("the folder holds too many files for one set",
                                  EngineFailure::TooLarge);
    std::memcpy(record.name, name.data(), name.size());
    record.id = header_.fileCount;
    record.pieceIndex = pieceIndex;
    record.offset = offset;
    record.length = length;
    const auto* bytes = reinterpret_cast<const char*>(&record);
    buffer_.insert(buffer_.end(), bytes, bytes + sizeof record);
    header_.fileCount += 1;
    return buffer_.size() + sizeof record <= kWriteStep || flush();
}

bool ManifestWriter::setPiece(int32_t index, const char* fingerprint) {
    if (index < 0 || static_cast<std::size_t>(index) >= pieces_.size()) return false;
    PieceRecord& record = pieces_[static_cast<std::size_t>(index)];
    std::memset(record.fingerprint, 0, sizeof record.fingerprint);
    std::memcpy(record.fingerprint, fingerprint, strnlen(fingerprint, sizeof record.fingerprint));
    return true;
}

bool ManifestWriter::setTotals(int32_t pieceCount, int64_t totalSize) {
    if (!ok_ || header_.fileCount != 0 || pieceCount < 0 || pieceCount > kManifestMaxPieceCount ||
        totalSize < 0)
        return false;
    const std::size_t had = pieces_.size();
    pieces_.resize(static_cast<std::size_t>(pieceCount), PieceRecord{});
    for (std::size_t i = had; i < pieces_.size(); ++i)
        pieces_[i].pieceIndex = static_cast<int32_t>(i);
    header_.pieceCount = pieceCount;
    header_.totalSize = totalSize;
    return true;
}

bool ManifestWriter::finish(bool sync, std::string& sha256Hex) {
    if (!flush()) return false;
    const auto fail = [&](const char* step) {
        run_->failErrno(step, displayPath_, errno);
        return ok_ = false;
    };
    if (pwrite(fd_.get(), &header_, sizeof header_, 0) != static_cast<ssize_t>(sizeof header_) ||
        pwrite(fd_.get(), pieces_.data(), pieces_.size() * sizeof(PieceRecord),
               sizeof(ManifestHeader)) !=
            static_cast<ssize_t>(pieces_.size() * sizeof(PieceRecord)))
        return fail("write");
    if (sync && fsync(fd_.get()) != 0) return fail("write");
    // The hash is taken from the file as it is on disk, in one pass.
    Sha256Digest digest;
    const int64_t length = static_cast<int64_t>(sizeof(ManifestHeader)) +
                           static_cast<int64_t>(pieces_.size() * sizeof(PieceRecord)) +
                           filesWritten_;
    std::vector<char> step(static_cast<std::size_t>(std::min<int64_t>(length, kWriteStep)));
    for (int64_t offset = 0;;) {
        if (run_->stopIfRequested()) return ok_ = false;
        const int64_t got = readAt(fd_.get(), step.data(), step.size(), offset);
        if (got < 0) return fail("read back");
        if (got == 0) break;
        digest.update(step.data(), static_cast<std::size_t>(got));
        offset += got;
    }
    if (!fd_.close()) return fail("write");
    sha256Hex = digest.finishHex();
    return true;
}
