#include "engine/compat/registry.h"

#include "engine/base/file_io.h"
#include "engine/base/utilities.h"
#include "engine/compat/errors.h"
#include "engine/fs/safe_fs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Records in blocks that never move once allocated, so borrowed pointers stay
// valid until a clear. Blocks grow from 16 records to 4,096, so a small
// manifest costs little and a large one a few hundred allocations, not one
// per record.
template <class Record> class RecordList {
public:
    // Appends `count` records. Throws std::bad_alloc; what was appended stays.
    void append(const Record* records, std::size_t count) {
        while (count > 0) {
            if (blocks_.empty() || blocks_.back().used == blocks_.back().capacity) grow();
            Block& block = blocks_.back();
            const std::size_t n = std::min(count, block.capacity - block.used);
            std::memcpy(block.records.get() + block.used, records, n * sizeof(Record));
            block.used += n;
            size_ += n;
            records += n;
            count -= n;
        }
    }
    std::size_t size() const { return size_; }
    void clear() {
        blocks_.clear();
        blocks_.shrink_to_fit();
        size_ = 0;
    }
    // Calls `visit(records, count)` for every run of records, in order.
    template <class Visit> void forEachRun(Visit&& visit) const {
        for (const Block& block : blocks_)
            visit(block.records.get(), block.used);
    }

private:
    static constexpr std::size_t kFirstBlock = 16;
    static constexpr std::size_t kLargestBlock = 4096;
    struct Block {
        std::unique_ptr<Record[]> records;
        std::size_t used = 0;
        std::size_t capacity = 0;
    };
    void grow() {
        const std::size_t capacity =
            blocks_.empty() ? kFirstBlock : std::min(blocks_.back().capacity * 2, kLargestBlock);
        std::unique_ptr<Record[]> records(new Record[capacity]);
        blocks_.push_back({std::move(records), 0, capacity}); // on a throw, nothing changed
    }
    std::vector<Block> blocks_;
    std::size_t size_ = 0;
};

// The one manifest of the process.
struct Registry {
    char path[kPathBufferSize] = {};
    ManifestHeader header = {};
    std::mutex adding; // addPieceRecord may be called from several threads
    RecordList<PieceRecord> pieces;
    RecordList<FileRecord> files;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

std::string manifestPathForErrors() {
    return registry().path;
}

// Copies a text field as a C string. A damaged manifest may fill a field with
// no NUL at all; the copy then stops at the field's end (or at `outSize` - 1).
void copyTextField(const char* field, std::size_t fieldSize, char* out, std::size_t outSize) {
    std::size_t length = strnlen(field, fieldSize);
    if (length >= outSize) length = outSize - 1;
    std::memcpy(out, field, length);
    out[length] = '\0';
}

// Gathers small records into large writes.
class BufferedWriter {
public:
    explicit BufferedWriter(int fd) : fd_(fd) { buffer_.reserve(kCapacity); }
    void add(const void* bytes, std::size_t size) {
        const auto* p = static_cast<const char*>(bytes);
        while (size > 0) {
            if (buffer_.size() == kCapacity) flush();
            const std::size_t n = std::min(size, kCapacity - buffer_.size());
            buffer_.insert(buffer_.end(), p, p + n);
            p += n;
            size -= n;
        }
    }
    bool flush() {
        if (ok_ && engineCancelRequested()) ok_ = false; // a stop ends even a long write
        if (ok_ && !buffer_.empty()) ok_ = writeAll(fd_, buffer_.data(), buffer_.size());
        buffer_.clear();
        return ok_;
    }

private:
    static constexpr std::size_t kCapacity = std::size_t{64} << 10;
    int fd_;
    bool ok_ = true;
    std::vector<char> buffer_;
};

// Hands the manifest's bytes, as they go to disk, to `sink` in order.
template <class Sink> void emitManifest(Sink&& sink) {
    const Registry& r = registry();
    sink(&r.header, sizeof r.header);
    r.pieces.forEachRun(
        [&](const PieceRecord* records, std::size_t n) { sink(records, n * sizeof *records); });
    r.files.forEachRun(
        [&](const FileRecord* records, std::size_t n) { sink(records, n * sizeof *records); });
}

} // namespace

int32_t beginManifest(const char* pieceFolder) {
    Registry& r = registry();
    std::memset(r.path, 0, sizeof r.path);
    std::memset(&r.header, 0, sizeof r.header);
    r.header.magic = kManifestMagic;
    r.header.version = kManifestVersion;
    clearManifestRecords();
    if (!pieceFolder) return -1;
    const int n = std::snprintf(r.path, sizeof r.path, "%s/%s", pieceFolder, kManifestFileName);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof r.path) {
        std::memset(r.path, 0, sizeof r.path);
        return -1;
    }
    return 0;
}

void clearManifestRecords() {
    Registry& r = registry();
    r.pieces.clear();
    r.files.clear();
}

int32_t setManifestBaseName(const char* name) {
    ManifestHeader& h = registry().header;
    if (!name) return -1;
    const std::size_t length = std::strlen(name);
    if (length >= sizeof h.baseName) return -1;
    std::memset(h.baseName, 0, sizeof h.baseName);
    std::memcpy(h.baseName, name, length);
    return 0;
}

void setManifestPieceCount(int32_t count) {
    registry().header.pieceCount = count;
}
void setManifestTotalSize(int64_t size) {
    registry().header.totalSize = size;
}

void setManifestPassword(const char* password) {
    ManifestHeader& h = registry().header;
    std::memset(h.passwordDigest, 0, sizeof h.passwordDigest);
    if (!password) return;
    md5Hex(password, static_cast<uint32_t>(std::strlen(password)), h.passwordDigest);
}

int32_t addPieceRecord(int32_t pieceIndex, const char* piecePath) {
    PieceRecord record{};
    record.pieceIndex = pieceIndex;
    char fingerprint[kMd5HexSize] = {};
    pieceFingerprint(piecePath, fingerprint); // outside the lock: it reads the piece
    std::memcpy(record.fingerprint, fingerprint, sizeof record.fingerprint);

    Registry& r = registry();
    const std::lock_guard lock(r.adding);
    if (r.pieces.size() >= static_cast<std::size_t>(kManifestMaxPieceCount)) return -1;
    try {
        r.pieces.append(&record, 1);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

int32_t addFileRecord(const char* name, int32_t pieceIndex, int64_t offset, int64_t length) {
    Registry& r = registry();
    if (!name) return -1;
    FileRecord record{};
    const std::size_t nameLength = std::strlen(name);
    if (nameLength >= sizeof record.name) return -1;
    if (r.header.fileCount < 0 || r.header.fileCount >= kManifestMaxFileCount) return -1;
    std::memcpy(record.name, name, nameLength);
    record.pieceIndex = pieceIndex;
    record.offset = offset;
    record.length = length;
    record.id = r.header.fileCount;
    try {
        r.files.append(&record, 1);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    r.header.fileCount += 1;
    return 0;
}

namespace {

// The registry as "spt_config.morvspt" in `folderFd`, never through a link.
int32_t writeManifestAt(int folderFd, bool sync, int mode = 0666) {
    FileDescriptor fd(::openat(folderFd, kManifestFileName,
                               O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                               static_cast<mode_t>(mode)));
    if (!fd) {
        engineFailErrno("create", manifestPathForErrors(), errno);
        return -1;
    }
    BufferedWriter out(fd.get());
    emitManifest([&](const void* bytes, std::size_t size) { out.add(bytes, size); });
    bool ok = out.flush();
    if (ok && sync) ok = fsync(fd.get()) == 0;
    const int error = errno;
    ok = fd.close() && ok;
    if (!ok && !engineStopIfCancelled()) engineFailErrno("write", manifestPathForErrors(), error);
    return ok ? 0 : -1;
}

} // namespace

int32_t writeManifest() {
    Registry& r = registry();
    if (r.path[0] == '\0') return -1;
    // The piece folder as given (it may be reached through a link); the
    // manifest inside it is never written through one.
    const std::string path = r.path;
    const FileDescriptor fd = openFolderPath(parentFolderOf(path));
    if (!fd) {
        engineFailErrno("create", path, errno);
        return -1;
    }
    return writeManifestAt(fd.get(), false);
}

int32_t loadManifest(const char* pieceFolder) {
    Registry& r = registry();
    clearManifestRecords();
    std::memset(&r.header, 0, sizeof r.header);
    if (!pieceFolder) return -1;

    char path[kPathBufferSize];
    const int n = std::snprintf(path, sizeof path, "%s/%s", pieceFolder, kManifestFileName);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) return -1;
    // The folder as given (it may be reached through a link); the manifest in
    // it never through one, without blocking and only as a regular file: a
    // FIFO in its place must not hang the caller.
    const FileDescriptor folder = openFolderPath(pieceFolder);
    FileDescriptor fd = folder ? openFileAt(folder.get(), kManifestFileName) : FileDescriptor();
    if (!fd) return -1;

    ManifestHandlers keep;
    keep.header = [&](const ManifestHeader& header) {
        r.header = header;
        return true;
    };
    keep.pieces = [&](const PieceRecord* records, std::size_t count) {
        r.pieces.append(records, count);
        return true;
    };
    keep.files = [&](const FileRecord* records, std::size_t count) {
        r.files.append(records, count);
        return true;
    };
    int32_t result = -1;
    try {
        result = readManifest(fd.get(), keep);
    } catch (const std::bad_alloc&) {
        result = -1;
    }
    if (result != 0) clearManifestRecords();
    return result;
}

void getManifestBaseName(char* out) {
    if (!out) return;
    const ManifestHeader& h = registry().header;
    // A name that fills its field with no NUL is damaged: it reads as empty,
    // which every caller refuses, rather than as a name cut short.
    if (strnlen(h.baseName, sizeof h.baseName) == sizeof h.baseName) {
        out[0] = '\0';
        return;
    }
    copyTextField(h.baseName, sizeof h.baseName, out, kPathBufferSize);
}

void getManifestPasswordDigest(char* out) {
    if (!out) return;
    const ManifestHeader& h = registry().header;
    if (h.passwordDigest[0] == '\0') return;
    copyTextField(h.passwordDigest, sizeof h.passwordDigest, out, kMd5HexSize);
}

int32_t getManifestPieceCount() {
    return registry().header.pieceCount;
}
int32_t getManifestFileCount() {
    return registry().header.fileCount;
}
int64_t getManifestTotalSize() {
    return registry().header.totalSize;
}

void listPieceRecords(std::vector<const PieceRecord*>& out) {
    registry().pieces.forEachRun([&](const PieceRecord* records, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            out.push_back(records + i);
    });
}

void listFileRecords(std::vector<const FileRecord*>& out) {
    registry().files.forEachRun([&](const FileRecord* records, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            out.push_back(records + i);
    });
}
