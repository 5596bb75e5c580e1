#include "engine/manifest.h"

#include "engine/digest.h"
#include "engine/errors.h"
#include "engine/file_io.h"
#include "engine/safe_fs.h"
#include "engine/utilities.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The one manifest of the process. Records live in deques, which never move an
// element once it is in place, so borrowed pointers stay valid until a clear.
struct Registry {
    char path[kPathBufferSize] = {};
    ManifestHeader header = {};
    std::atomic<int> busy{0};
    std::deque<PieceRecord> pieces;
    std::deque<FileRecord> files;
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

// Reads up to `size` bytes; the rest of `buffer` is left as it was (zero).
// False only on a read error, not at the end of the file.
bool readUpTo(std::FILE* file, void* buffer, std::size_t size) {
    std::fread(buffer, 1, size, file);
    return std::ferror(file) == 0;
}

// Appends up to `count` records read from `file`; once the file has ended,
// at most kManifestMaxZeroFilledRecords zero-filled ones more.
template <class Record> bool readRecords(std::FILE* file, std::deque<Record>& out, int32_t count) {
    int32_t zeroFilled = 0;
    for (int32_t i = 0; i < count && zeroFilled < kManifestMaxZeroFilledRecords; ++i) {
        Record& record = out.emplace_back();
        record = Record{};
        const std::size_t got = std::fread(&record, 1, sizeof record, file);
        if (std::ferror(file) != 0) return false;
        if (got < sizeof record) ++zeroFilled;
    }
    return true;
}

// Gathers small records into large writes.
class BufferedWriter {
public:
    explicit BufferedWriter(int fd) : fd_(fd) { buffer_.reserve(kCapacity); }
    void add(const void* bytes, std::size_t size) {
        if (buffer_.size() + size > kCapacity) flush();
        const auto* p = static_cast<const char*>(bytes);
        buffer_.insert(buffer_.end(), p, p + size);
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
    for (const PieceRecord& record : r.pieces)
        sink(&record, sizeof record);
    for (const FileRecord& record : r.files)
        sink(&record, sizeof record);
}

} // namespace

void md5Hex(const void* bytes, uint32_t length, char* out) {
    if (!out) return;
    out[0] = '\0';
    if (!bytes && length > 0) return;
    Md5Digest digest;
    Md5Digest::Bytes value{};
    if (!digest.update(bytes, length) || !digest.finish(value)) return;
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < value.size(); ++i) {
        out[2 * i] = kHex[value[i] >> 4];
        out[2 * i + 1] = kHex[value[i] & 0x0F];
    }
    out[2 * value.size()] = '\0';
}

void pieceFingerprint(const char* path, char* out) {
    if (!out) return;
    FileDescriptor fd = openForReading(path);
    if (fd) pieceFingerprintOf(fd.get(), out);
}

void pieceFingerprintOf(int fd, char* out) {
    if (!out || fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) != 0) return;
    unsigned char block[kFingerprintBlockSize] = {};
    if (readAt(fd, block + 8, kFingerprintDataBytes, 0) < 0) return;
    const int64_t length = static_cast<int64_t>(st.st_size);
    std::memcpy(block, &length, sizeof length);
    md5Hex(block, sizeof block, out);
}

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
    r.pieces.shrink_to_fit();
    r.files.clear();
    r.files.shrink_to_fit();
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
    Registry& r = registry();
    while (r.busy.exchange(1, std::memory_order_acquire) != 0)
        sleepMicroseconds(100);

    char fingerprint[kMd5HexSize] = {};
    pieceFingerprint(piecePath, fingerprint);
    PieceRecord record{};
    record.pieceIndex = pieceIndex;
    std::memcpy(record.fingerprint, fingerprint, sizeof record.fingerprint);

    int32_t result = 0;
    if (r.pieces.size() >= static_cast<std::size_t>(kManifestMaxPieceCount)) {
        result = -1;
    } else {
        try {
            r.pieces.push_back(record);
        } catch (const std::bad_alloc&) {
            result = -1;
        }
    }
    r.busy.store(0, std::memory_order_release);
    return result;
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
        r.files.push_back(record);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    r.header.fileCount += 1;
    return 0;
}

int32_t writeManifest() {
    Registry& r = registry();
    if (r.path[0] == '\0') return -1;
    StdioFile file(std::fopen(r.path, "w+b"));
    if (!file) {
        engineFailErrno("create", r.path, errno);
        return -1;
    }
    bool ok = std::fwrite(&r.header, sizeof r.header, 1, file.get()) == 1;
    for (const PieceRecord& record : r.pieces) {
        if (!ok) break;
        ok = std::fwrite(&record, sizeof record, 1, file.get()) == 1;
    }
    for (const FileRecord& record : r.files) {
        if (!ok) break;
        ok = std::fwrite(&record, sizeof record, 1, file.get()) == 1;
    }
    ok = std::fflush(file.get()) == 0 && ok;
    ok = std::fclose(file.release()) == 0 && ok;
    if (!ok) engineFailErrno("write", r.path, errno);
    return ok ? 0 : -1;
}

int32_t writeManifestAt(int folderFd, bool sync, int mode) {
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

std::string manifestSha256Hex() {
    Sha256Digest digest;
    emitManifest([&](const void* bytes, std::size_t size) { digest.update(bytes, size); });
    return digest.finishHex();
}

int32_t readManifestSummaryAt(int folderFd, ManifestHeader& header,
                              std::vector<int32_t>* pieceIndices) {
    header = ManifestHeader{};
    FileDescriptor fd = openFileAt(folderFd, kManifestFileName);
    if (!fd) return -1;
    if (readAt(fd.get(), &header, sizeof header, 0) < 0) return -1;
    if (header.magic != kManifestMagic || header.version != kManifestVersion) return -1;
    if (!pieceIndices) return 0;
    const int32_t count = std::clamp(header.pieceCount, 0, kManifestMaxPieceCount);
    int64_t offset = sizeof header;
    for (int32_t i = 0; i < count; ++i, offset += sizeof(PieceRecord)) {
        PieceRecord record{};
        if (readAt(fd.get(), &record, sizeof record, offset) != sizeof record) break;
        pieceIndices->push_back(int32_t{record.pieceIndex}); // a packed field: copied
    }
    return 0;
}

int32_t loadManifest(const char* pieceFolder) {
    Registry& r = registry();
    clearManifestRecords();
    std::memset(&r.header, 0, sizeof r.header);
    if (!pieceFolder) return -1;

    char path[kPathBufferSize];
    const int n = std::snprintf(path, sizeof path, "%s/%s", pieceFolder, kManifestFileName);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) return -1;
    // Opened without blocking and only as a regular file: a FIFO in the
    // manifest's place must not hang the caller.
    FileDescriptor fd = openForReading(path);
    if (!fd) return -1;
    StdioFile file(fdopen(fd.get(), "rb"));
    if (!file) return -1;
    fd.release();

    if (!readUpTo(file.get(), &r.header, sizeof r.header)) return -1;
    const ManifestHeader& h = r.header;
    if (h.magic != kManifestMagic || h.version != kManifestVersion) return -1;
    if (h.pieceCount > kManifestMaxPieceCount || h.fileCount > kManifestMaxFileCount) return -1;

    // Records the file holds are kept; past its end, at most
    // kManifestMaxZeroFilledRecords zero-filled ones per list, so a short file
    // claiming millions of records costs what a thousand cost.
    bool ok = true;
    try {
        ok = readRecords(file.get(), r.pieces, h.pieceCount) &&
             readRecords(file.get(), r.files, h.fileCount);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok) {
        clearManifestRecords();
        return -1;
    }
    return 0;
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
    for (const PieceRecord& record : registry().pieces)
        out.push_back(&record);
}

void listFileRecords(std::vector<const FileRecord*>& out) {
    for (const FileRecord& record : registry().files)
        out.push_back(&record);
}
