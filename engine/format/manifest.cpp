#include "engine/format/manifest.h"

#include "engine/base/digest.h"
#include "engine/base/file_io.h"
#include "engine/base/utilities.h"
#include "engine/fs/safe_fs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A manifest is read in steps of this many bytes at most, whatever its counts.
constexpr std::size_t kReadStepBytes = std::size_t{1} << 20;

// The bytes a manifest with these counts takes (counts of 0 or less count 0).
int64_t manifestLength(int32_t pieceCount, int32_t fileCount) {
    return static_cast<int64_t>(sizeof(ManifestHeader)) +
           int64_t{std::max(pieceCount, 0)} * static_cast<int64_t>(sizeof(PieceRecord)) +
           int64_t{std::max(fileCount, 0)} * static_cast<int64_t>(sizeof(FileRecord));
}

// True when the file has a hole (a range the file system holds no data for)
// before `end`. A manifest this program writes never has one; a file merely
// stretched to the length its counts need has nothing but. Where the file
// system cannot tell, there is no hole.
bool hasHoleBefore(int fd, int64_t end) {
    if (end <= 0) return false;
    const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
    return hole >= 0 && hole < end;
}

// Reads the `count` records that begin at `offset` in steps of at most
// kReadStepBytes and hands them to `take` run by run. Past the end of the
// file they read as zeros (a record cut short keeps the bytes it has), at most
// kManifestMaxZeroFilledRecords of them. A piece record the file holds whole
// must carry its position in the list as its index. False when a read fails,
// an index is out of place, or `take` refuses a run.
template <class Record, class Take>
bool readRecordsAt(int fd, int64_t offset, int32_t count, Take&& take) {
    if (count <= 0) return true;
    constexpr std::size_t kStepRecords = kReadStepBytes / sizeof(Record);
    std::vector<Record> step(std::min(static_cast<std::size_t>(count), kStepRecords));
    int32_t done = 0;
    int32_t zeroFilled = 0;
    bool ended = false;
    while (done < count && zeroFilled < kManifestMaxZeroFilledRecords) {
        std::size_t n = std::min(static_cast<std::size_t>(count - done), step.size());
        std::size_t got = 0; // bytes of this step the file holds
        if (!ended) {
            const int64_t bytesRead = readAt(fd, step.data(), n * sizeof(Record), offset);
            if (bytesRead < 0) return false;
            got = static_cast<std::size_t>(bytesRead);
            offset += bytesRead;
            ended = got < n * sizeof(Record);
        }
        const std::size_t whole = got / sizeof(Record);
        if (whole < n) { // the file has ended: the rest reads as zeros, up to the cap
            const auto room = static_cast<std::size_t>(kManifestMaxZeroFilledRecords - zeroFilled);
            n = whole + std::min(n - whole, room);
            zeroFilled += static_cast<int32_t>(n - whole);
            auto* bytes = reinterpret_cast<unsigned char*>(step.data());
            std::memset(bytes + got, 0, n * sizeof(Record) - got);
        }
        if constexpr (std::is_same_v<Record, PieceRecord>) {
            for (std::size_t i = 0; i < whole; ++i) {
                if (step[i].pieceIndex != done + static_cast<int32_t>(i)) return false;
            }
        }
        if (!take(step.data(), n)) return false;
        done += static_cast<int32_t>(n);
    }
    return true;
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

int32_t readManifestSummaryAt(int folderFd, ManifestHeader& header,
                              std::vector<int32_t>* pieceIndices) {
    header = ManifestHeader{};
    FileDescriptor fd = openFileAt(folderFd, kManifestFileName);
    if (!fd) return -1;
    if (readAt(fd.get(), &header, sizeof header, 0) < 0) return -1;
    if (header.magic != kManifestMagic || header.version != kManifestVersion) return -1;
    if (!pieceIndices) return 0;
    // Every piece record the file holds whole, read a step at a time.
    const int32_t count = std::clamp(header.pieceCount, 0, kManifestMaxPieceCount);
    constexpr int32_t kStepRecords = kReadStepBytes / sizeof(PieceRecord);
    std::vector<PieceRecord> step(static_cast<std::size_t>(std::min(count, kStepRecords)));
    int64_t offset = sizeof header;
    for (int32_t done = 0; done < count;) {
        const int32_t n = std::min(count - done, kStepRecords);
        const int64_t got =
            readAt(fd.get(), step.data(), std::size_t(n) * sizeof(PieceRecord), offset);
        const int32_t whole =
            got < 0 ? 0 : static_cast<int32_t>(got / int64_t{sizeof(PieceRecord)});
        for (int32_t i = 0; i < whole; ++i) {
            const int32_t index = step[std::size_t(i)].pieceIndex; // a packed field: copied
            pieceIndices->push_back(index);
        }
        if (whole < n) break;
        done += n;
        offset += got;
    }
    return 0;
}

int32_t readManifest(int fd, const ManifestHandlers& handlers) {
    ManifestHeader header{}; // a file cut short inside it reads as zeros from there
    if (readAt(fd, &header, sizeof header, 0) < 0) return -1;
    if (header.magic != kManifestMagic || header.version != kManifestVersion) return -1;
    if (header.pieceCount > kManifestMaxPieceCount || header.fileCount > kManifestMaxFileCount)
        return -1;
    // Every byte the counts need, as far as the file goes, must be there.
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    const int64_t needed = manifestLength(header.pieceCount, header.fileCount);
    if (hasHoleBefore(fd, std::min<int64_t>(needed, st.st_size))) return -1;
    if (handlers.header && !handlers.header(header)) return -1;

    const int64_t piecesAt = sizeof header;
    const int64_t filesAt = manifestLength(header.pieceCount, 0);
    auto pieces = [&](const PieceRecord* records, std::size_t n) {
        return !handlers.pieces || handlers.pieces(records, n);
    };
    auto files = [&](const FileRecord* records, std::size_t n) {
        return !handlers.files || handlers.files(records, n);
    };
    if (!readRecordsAt<PieceRecord>(fd, piecesAt, header.pieceCount, pieces) ||
        !readRecordsAt<FileRecord>(fd, filesAt, header.fileCount, files))
        return -1;
    return 0;
}
