#include "engine/split.h"

#include "engine/file_io.h"
#include "engine/manifest.h"
#include "engine/utilities.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

struct SplitJob {
    std::string source;
    std::string pieceFolder;
    std::string stem;
    int64_t pieceSize = 0;
    int32_t count = 0;
    std::vector<std::string> files; // folder mode: the walk's list
    bool failed = false;            // the set is incomplete or wrong
    bool aborted = false;           // copying stopped early; the manifest is not written
};

std::string piecePath(const SplitJob& job, int32_t index) {
    return piecePathOf(job.pieceFolder, job.stem, index);
}

int64_t pieceCountFor(int64_t totalSize, int64_t pieceSize) {
    return totalSize / pieceSize + (totalSize % pieceSize != 0 ? 1 : 0);
}

// A listed file that cannot be opened is a fault of the run, unless it is a
// special file (a FIFO, a device, a link to a folder), which holds no data of
// its own and is stored as an empty file.
bool isUnreadableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode);
}

// Checks the request and plans the run. Nothing is written here.
bool planSplit(const Split_pragma& request, bool folderSource, SplitJob& job) {
    if (strnlen(request.srcPath, sizeof request.srcPath) >= sizeof request.srcPath) return false;
    if (strnlen(request.outFolder, sizeof request.outFolder) >= sizeof request.outFolder)
        return false;
    if (strnlen(request.password, sizeof request.password) >= sizeof request.password) return false;
    if (request.pieceSize <= 0 || request.totalSize < 0) return false;

    char baseName[kPathBufferSize] = {};
    if (baseNameOf(request.srcPath, baseName) != 0 || !isSafeComponentName(baseName)) return false;
    if (std::strlen(baseName) >= sizeof(ManifestHeader::baseName)) return false;
    cutAtFirstDot(baseName);

    job.source = request.srcPath;
    job.stem = baseName;
    job.pieceSize = request.pieceSize;
    job.pieceFolder = std::string(request.outFolder) + "/" + job.stem + "_spt";

    int64_t count = pieceCountFor(request.totalSize, request.pieceSize);
    if (folderSource) {
        if (listFolderFiles(request.srcPath, job.files, 1) != 0) return false;
        // A manifest without file records reads back as a single file, so a
        // folder needs at least one file, and at least one piece to hold it.
        if (job.files.empty()) return false;
        if (count == 0) count = 1;
        const std::size_t prefix = job.source.size() + 1;
        for (const std::string& file : job.files) {
            if (file.size() <= prefix || file.size() - prefix >= sizeof(FileRecord::name))
                return false;
        }
        // Every file has at least one record, and each piece boundary adds at most one.
        if (static_cast<int64_t>(job.files.size()) + count > kManifestMaxFileCount) return false;
    }
    if (count > kManifestMaxPieceCount) return false;
    job.count = static_cast<int32_t>(count);

    const std::size_t manifestPathLength =
        job.pieceFolder.size() + 1 + std::strlen(kManifestFileName);
    if (manifestPathLength >= kPathBufferSize) return false;
    if (job.count > 0 && piecePath(job, job.count - 1).size() >= kPathBufferSize) return false;
    return true;
}

void registerPiece(SplitJob& job, int32_t index, const std::string& path, FileDescriptor& piece) {
    if (!piece.close()) job.failed = true;
    if (addPieceRecord(index, path.c_str()) != 0) job.failed = true;
}

// Consecutive pieces of pieceSize bytes; the last one holds the rest.
void splitFile(SplitJob& job, int64_t totalSize) {
    FileDescriptor source = openForReading(job.source.c_str());
    if (!source) job.failed = true;
    for (int32_t i = 0; i < job.count; ++i) {
        const std::string path = piecePath(job, i);
        FileDescriptor piece = openForWriting(path.c_str());
        if (!piece) {
            job.failed = true;
        } else if (source) {
            bool ioFailed = false;
            copyRange(source.get(), int64_t{i} * job.pieceSize, job.pieceSize, piece.get(),
                      ioFailed);
            if (ioFailed) {
                job.failed = job.aborted = true;
                return; // a full disk or a failing source: stop here
            }
        }
        registerPiece(job, i, path, piece);
    }
    if (progressDoneBytes() != totalSize) job.failed = true;
}

// The files of the tree packed back to back, one slice record per run of a
// file's bytes inside one piece.
void splitFolder(SplitJob& job) {
    const std::size_t prefix = job.source.size() + 1;
    int32_t position = 0;
    int64_t readOffset = 0;
    int64_t lastPieceEnd = 0;

    auto recordSlice = [&](const std::string& file, int32_t piece, int64_t start, int64_t end) {
        if (addFileRecord(file.c_str() + prefix, piece, start, end - start) != 0) job.failed = true;
    };

    for (int32_t i = 0; i < job.count; ++i) {
        const std::string path = piecePath(job, i);
        FileDescriptor piece = openForWriting(path.c_str());
        if (!piece) {
            job.failed = true;
            registerPiece(job, i, path, piece);
            continue;
        }
        int64_t filled = 0;
        while (filled < job.pieceSize) {
            const int64_t sliceStart = filled;
            const std::string file = fileAtIndex(job.files, position);
            if (file.empty()) break;
            FileDescriptor source = openForReading(file.c_str());
            if (!source && isUnreadableFile(file)) job.failed = true;
            // A file that cannot be read counts as ended; one that fills the
            // piece exactly is found ended at the start of the next piece.
            bool ended = true;
            if (source) {
                const int64_t room = job.pieceSize - filled;
                bool ioFailed = false;
                const int64_t got =
                    copyRange(source.get(), readOffset, room, piece.get(), ioFailed);
                if (ioFailed) {
                    job.failed = job.aborted = true;
                    return; // a full disk or a failing source: stop here
                }
                readOffset += got;
                filled += got;
                ended = got < room;
            }
            if (ended) {
                ++position;
                readOffset = 0;
            }
            recordSlice(file, i, sliceStart, filled);
        }
        lastPieceEnd = filled;
        registerPiece(job, i, path, piece);
    }

    // When the last piece fills up exactly, the files after it have not been
    // reached. Empty ones still need a record, or the join could not recreate
    // them; any bytes left over mean the source grew and were not stored.
    for (std::string file = fileAtIndex(job.files, position); !file.empty();
         file = fileAtIndex(job.files, ++position)) {
        FileDescriptor source = openForReading(file.c_str());
        if (!source && isUnreadableFile(file)) job.failed = true;
        char probe = 0;
        const int64_t got = source ? readAt(source.get(), &probe, 1, readOffset) : 0;
        if (got != 0) {
            job.failed = true;
            return;
        }
        readOffset = 0;
        recordSlice(file, job.count - 1, lastPieceEnd, lastPieceEnd);
    }
}

int32_t runSplit(Split_pragma* request) {
    progressStartRun();
    if (!request) return -1;
    const bool folderSource = isFolder(request->srcPath) == 1;
    progressSetTotalBytes(request->totalSize);

    SplitJob job;
    if (!planSplit(*request, folderSource, job)) return -1;
    std::memset(request->outFolder, 0, sizeof request->outFolder);
    std::memcpy(request->outFolder, job.pieceFolder.data(), job.pieceFolder.size());
    makeFolder(request->outFolder);

    char baseName[kPathBufferSize] = {};
    baseNameOf(request->srcPath, baseName);
    beginManifest(request->outFolder);
    setManifestBaseName(baseName);
    setManifestPieceCount(job.count);
    setManifestTotalSize(request->totalSize);
    if (request->password[0] != '\0') setManifestPassword(request->password);

    if (folderSource) {
        splitFolder(job);
    } else {
        splitFile(job, request->totalSize);
    }
    // A set with a damaged piece still gets its manifest, so that its pieces
    // can be listed and checked; one whose copying stopped early does not.
    if (job.aborted) return -1;
    const bool written = writeManifest() == 0;
    return written && !job.failed ? 0 : -1;
}

} // namespace

int32_t splitProject_split(Split_pragma* request) {
    try {
        return runSplit(request);
    } catch (...) {
        return -1;
    }
}
