#include "engine/split.h"

#include "engine/checksums.h"
#include "engine/errors.h"
#include "engine/file_io.h"
#include "engine/manifest.h"
#include "engine/piece_folder.h"
#include "engine/run_folder.h"
#include "engine/utilities.h"

#include "engine/digest.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct SplitJob {
    std::string source;
    std::string outFolder;
    std::string pieceFolder;
    std::string stem;
    int64_t totalSize = 0;
    int64_t pieceSize = 0;
    int32_t count = 0;
    bool folderSource = false;
    bool sync = false;              // the set replaces another: flush it before the swap
    int mode = 0666;                // the set's files are as private as the source
    std::vector<std::string> files; // folder mode: the walk's list
    // Where the set is written until it is complete.
    int tempFd = -1;
    std::string tempFolder;
    int64_t stored = 0; // source bytes in the pieces
    std::vector<StoredSourceFile> read;
    std::string baseName;
    std::unique_ptr<SplitHasher> hasher;   // null without checksum files
    std::vector<ContentSlice> pieceSlices; // the rebuilt files' bytes in the open piece
    bool failed = false;                   // the set is incomplete or wrong
    bool aborted = false;                  // copying stopped early
};

int64_t pieceCountFor(int64_t totalSize, int64_t pieceSize) {
    return totalSize / pieceSize + (totalSize % pieceSize != 0 ? 1 : 0);
}

// Checks the request and plans the run. Nothing is written here.
bool planSplit(const Split_pragma& request, SplitJob& job) {
    if (strnlen(request.srcPath, sizeof request.srcPath) >= sizeof request.srcPath ||
        strnlen(request.outFolder, sizeof request.outFolder) >= sizeof request.outFolder ||
        strnlen(request.password, sizeof request.password) >= sizeof request.password)
        return engineRefuse("the split request has a field without its end");
    if (request.pieceSize <= 0) return engineRefuse("the piece size must be at least 1 byte");
    if (job.totalSize < 0) return engineRefuse("the source size is negative");

    char baseName[kPathBufferSize] = {};
    if (baseNameOf(request.srcPath, baseName) != 0 || !isSafeComponentName(baseName))
        return engineRefuse(std::string("cannot split ") + request.srcPath +
                            ": it has no usable name");
    if (std::strlen(baseName) >= sizeof(ManifestHeader::baseName))
        return engineRefuse(std::string("the name of ") + request.srcPath + " is too long");
    cutAtFirstDot(baseName);

    job.source = request.srcPath;
    job.outFolder = request.outFolder;
    job.stem = baseName;
    job.pieceSize = request.pieceSize;
    job.pieceFolder = job.outFolder + "/" + job.stem + "_spt";

    int64_t count = pieceCountFor(job.totalSize, request.pieceSize);
    if (job.folderSource) {
        if (listFolderFiles(request.srcPath, job.files, 1) != 0) return false;
        // A manifest without file records reads back as a single file, so a
        // folder needs at least one file, and at least one piece to hold it.
        if (job.files.empty())
            return engineRefuse(std::string("the folder ") + request.srcPath +
                                " holds no file to store");
        if (count == 0) count = 1;
        const std::size_t prefix = job.source.size() + 1;
        for (const std::string& file : job.files) {
            if (file.size() <= prefix || file.size() - prefix >= sizeof(FileRecord::name))
                return engineRefuse("the path of " + file + " is too long for a manifest");
        }
        // Every file has at least one record, and each piece boundary adds at most one.
        if (static_cast<int64_t>(job.files.size()) + count > kManifestMaxFileCount)
            return engineRefuse("the folder holds too many files for one set");
    }
    if (count > kManifestMaxPieceCount) return engineRefuse("the split would make too many pieces");
    job.count = static_cast<int32_t>(count);

    const std::size_t manifestPathLength =
        job.pieceFolder.size() + 1 + std::strlen(kManifestFileName);
    if (manifestPathLength >= kPathBufferSize ||
        (job.count > 0 &&
         piecePathOf(job.pieceFolder, job.stem, job.count - 1).size() >= kPathBufferSize))
        return engineRefuse("the piece folder's path is too long: " + job.pieceFolder);
    return true;
}

// A piece folder inside the source would be read while it is written, and a
// removal of the source would take the new set with it.
bool pieceFolderInsideSource(const SplitJob& job, int outFd) {
    if (!job.folderSource) return false;
    FileDescriptor source = openFolderPath(job.source);
    return source && depthBelow(outFd, source.get()) >= 0;
}

FileDescriptor createPiece(SplitJob& job, int32_t index) {
    char name[kPathBufferSize];
    pieceFileName(job.stem.c_str(), index, name);
    FileDescriptor piece(::openat(job.tempFd, name,
                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  static_cast<mode_t>(job.mode)));
    if (!piece) {
        engineFailErrno("create", piecePathOf(job.pieceFolder, job.stem, index), errno);
        job.failed = job.aborted = true;
        return {};
    }
    return piece;
}

void registerPiece(SplitJob& job, int32_t index, FileDescriptor& piece) {
    const std::string path = piecePathOf(job.pieceFolder, job.stem, index);
    if (job.hasher) {
        FileDescriptor readBack(::fcntl(piece.get(), F_DUPFD_CLOEXEC, 0));
        if (!readBack) {
            engineFailErrno("read back", path, errno);
            job.failed = true;
        } else {
            char name[kPathBufferSize];
            pieceFileName(job.stem.c_str(), index, name);
            job.hasher->add(name, std::move(readBack), std::move(job.pieceSlices));
        }
        job.pieceSlices.clear();
    }
    if (job.sync && fsync(piece.get()) != 0) {
        engineFailErrno("write", path, errno);
        job.failed = true;
    }
    if (!piece.close()) {
        engineFailErrno("write", path, errno);
        job.failed = true;
    }
    const std::string written = piecePathOf(job.tempFolder, job.stem, index);
    if (addPieceRecord(index, written.c_str()) != 0) {
        engineFail("cannot record " + path);
        job.failed = true;
    }
}

void copyFailed(SplitJob& job, int32_t index, const std::string& sourcePath, int error) {
    if (error != ECANCELED)
        engineFailErrno(("copy " + sourcePath + " into").c_str(),
                        piecePathOf(job.pieceFolder, job.stem, index), error);
    job.failed = job.aborted = true;
}

// A source file the split has opened, with its identity when it was opened.
struct OpenSource {
    FileDescriptor fd;
    StoredSourceFile record;
    int64_t offset = 0;
};

OpenSource openSource(SplitJob& job, const std::string& path, const std::string& relative) {
    OpenSource source;
    source.record.relativePath = relative;
    source.fd = openForReading(path.c_str());
    if (source.fd) {
        identityOf(source.fd.get(), source.record.identity);
        return source;
    }
    // A special file (a FIFO, a device, a link to a folder) holds no data of
    // its own and is stored as an empty file; a regular one that cannot be
    // opened is a fault of the run.
    const int error = errno;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) {
        engineFailErrno("read", path, error);
        job.failed = true;
    }
    return source;
}

void finishSource(SplitJob& job, OpenSource& source) {
    if (source.fd) {
        FileIdentity after;
        source.record.unchanged =
            identityOf(source.fd.get(), after) && after == source.record.identity;
    }
    job.read.push_back(std::move(source.record));
    source = OpenSource{};
}

// Consecutive pieces of pieceSize bytes; the last one holds the rest.
void splitFile(SplitJob& job) {
    OpenSource source = openSource(job, job.source, "");
    if (!source.fd) job.failed = true;
    for (int32_t i = 0; i < job.count; ++i) {
        FileDescriptor piece = createPiece(job, i);
        if (!piece) return;
        if (source.fd) {
            bool ioFailed = false;
            const int64_t got = copyRange(source.fd.get(), int64_t{i} * job.pieceSize,
                                          job.pieceSize, piece.get(), ioFailed);
            if (ioFailed) return copyFailed(job, i, job.source, errno);
            job.stored += got;
            if (job.hasher) job.pieceSlices.push_back({job.baseName, 0, got});
        }
        registerPiece(job, i, piece);
    }
    char probe = 0;
    if (source.fd && readAt(source.fd.get(), &probe, 1, job.stored) != 0) ++job.stored;
    finishSource(job, source);
}

// The files of the tree packed back to back, one slice record per run of a
// file's bytes inside one piece. A file stays open across the pieces it spans.
void splitFolder(SplitJob& job) {
    const std::size_t prefix = job.source.size() + 1;
    int32_t position = 0;
    OpenSource current;
    bool isOpen = false;
    int64_t lastPieceEnd = 0;

    auto recordSlice = [&](const std::string& file, int32_t piece, int64_t start, int64_t end) {
        if (addFileRecord(file.c_str() + prefix, piece, start, end - start) != 0) {
            engineFail("cannot record " + file);
            job.failed = true;
        }
        if (job.hasher)
            job.pieceSlices.push_back(
                {job.baseName + "/" + file.substr(prefix), start, end - start});
    };
    FileDescriptor lastPiece; // registered once the files after it have their records

    for (int32_t i = 0; i < job.count; ++i) {
        FileDescriptor piece = createPiece(job, i);
        if (!piece) return;
        int64_t filled = 0;
        while (filled < job.pieceSize) {
            const int64_t sliceStart = filled;
            const std::string file = fileAtIndex(job.files, position);
            if (file.empty()) break;
            if (engineStopIfCancelled()) {
                job.failed = job.aborted = true;
                return;
            }
            if (!isOpen) {
                current = openSource(job, file, file.substr(prefix));
                isOpen = true;
            }
            // A file that cannot be read counts as ended; one that fills the
            // piece exactly is found ended at the start of the next piece.
            bool ended = true;
            if (current.fd) {
                const int64_t room = job.pieceSize - filled;
                bool ioFailed = false;
                const int64_t got =
                    copyRange(current.fd.get(), current.offset, room, piece.get(), ioFailed);
                if (ioFailed) return copyFailed(job, i, file, errno);
                current.offset += got;
                filled += got;
                ended = got < room;
            }
            if (ended) {
                finishSource(job, current);
                isOpen = false;
                ++position;
            }
            recordSlice(file, i, sliceStart, filled);
        }
        job.stored += filled;
        lastPieceEnd = filled;
        if (i + 1 < job.count) {
            registerPiece(job, i, piece);
        } else {
            lastPiece = std::move(piece);
        }
    }

    // The file that filled the last piece exactly is complete; any byte past
    // it means the source grew and was not stored.
    char probe = 0;
    if (isOpen) {
        if (current.fd && readAt(current.fd.get(), &probe, 1, current.offset) != 0) ++job.stored;
        finishSource(job, current);
        ++position;
    }
    // The files after it have not been reached. Empty ones still need a
    // record, or the join could not recreate them.
    for (std::string file = fileAtIndex(job.files, position); !file.empty();
         file = fileAtIndex(job.files, ++position)) {
        OpenSource source = openSource(job, file, file.substr(prefix));
        if (source.fd && readAt(source.fd.get(), &probe, 1, 0) != 0) {
            ++job.stored;
            finishSource(job, source);
            break;
        }
        finishSource(job, source);
        recordSlice(file, job.count - 1, lastPieceEnd, lastPieceEnd);
    }
    if (lastPiece) registerPiece(job, job.count - 1, lastPiece);
}

// The checksum files, from the hashes taken as the pieces were written, and
// the manifest's own hash; written before the manifest, with the same care.
void writeChecksumFiles(SplitJob& job, int tempFd) {
    std::string pieceSums, contentSums;
    if (!job.hasher->finish(pieceSums, contentSums)) {
        if (!engineStopIfCancelled())
            engineFail("cannot read back the pieces written in " + job.pieceFolder);
        job.failed = true;
        return;
    }
    // An empty source file has no piece, but still a content to check.
    if (contentSums.empty() && !job.folderSource)
        contentSums = checksumLine(Sha256Digest().finishHex(), job.baseName);
    pieceSums += checksumLine(manifestSha256Hex(), kManifestFileName);
    for (const auto& [name, text] : {std::pair{kContentSumsFileName, &contentSums},
                                     std::pair{kPieceSumsFileName, &pieceSums}}) {
        if (!writeTextFileAt(tempFd, name, *text, job.sync, job.pieceFolder + "/" + name,
                             job.mode)) {
            job.failed = true;
            return;
        }
    }
}

int32_t runSplit(Split_pragma* request, const SplitOptions& options, SplitOutcome* outcome) {
    progressStartRun();
    engineClearError();
    if (!request) return -1;
    SplitJob job;
    job.folderSource = isFolder(request->srcPath) == 1;
    job.totalSize = options.measureSource ? pathSize(request->srcPath) : request->totalSize;
    if (options.measureSource && job.totalSize < 0) {
        engineFailErrno("read", request->srcPath, errno);
        return -1;
    }
    progressSetTotalBytes(job.totalSize);
    if (!planSplit(*request, job)) return -1;
    struct stat sourceStat {};
    if (stat(request->srcPath, &sourceStat) == 0)
        job.mode = static_cast<int>(sourceStat.st_mode & 0666);

    FileDescriptor out = openFolderPath(job.outFolder);
    if (!out) {
        engineFailErrno("open the output folder", job.outFolder, errno);
        return -1;
    }
    if (pieceFolderInsideSource(job, out.get())) {
        engineFail("the piece folder " + job.pieceFolder + " would lie inside the source " +
                   job.source);
        return -1;
    }
    PieceFolder target;
    if (!target.openForSplit(out.get(), job.stem + "_spt", job.pieceFolder)) return -1;
    const std::string inTheWay = target.describeSet(job.stem);
    if (!inTheWay.empty() && !options.replaceExisting) {
        engineFail("a set is already in " + job.pieceFolder + ": " + inTheWay);
        return -1;
    }
    job.sync = !inTheWay.empty();
    if (const std::string entry = target.entryInTheWay(job.stem, job.count); !entry.empty()) {
        engineFail("cannot put the set in " + job.pieceFolder + ": " + entry +
                   " is in the way, and it is not a file of a set");
        return -1;
    }

    RunFolder temp;
    if (!temp.create(out.get())) {
        engineFailErrno("create a folder in", job.outFolder, errno);
        return -1;
    }
    job.tempFd = temp.fd();
    job.tempFolder = job.outFolder + "/" + temp.name();

    std::memset(request->outFolder, 0, sizeof request->outFolder);
    std::memcpy(request->outFolder, job.pieceFolder.data(), job.pieceFolder.size());
    char baseName[kPathBufferSize] = {};
    baseNameOf(request->srcPath, baseName);
    beginManifest(request->outFolder);
    setManifestBaseName(baseName);
    setManifestPieceCount(job.count);
    setManifestTotalSize(job.totalSize);
    if (request->password[0] != '\0') setManifestPassword(request->password);

    job.baseName = baseName;
    if (options.writeChecksums) job.hasher = std::make_unique<SplitHasher>();
    job.folderSource ? splitFolder(job) : splitFile(job);
    if (!job.aborted && job.stored != job.totalSize) {
        engineFail("the source " + job.source + " held " + std::to_string(job.stored) +
                   " bytes, not the " + std::to_string(job.totalSize) +
                   " measured: it changed during the split");
        job.failed = true;
    }
    if (!job.failed && engineStopIfCancelled()) job.failed = true;
    if (!job.failed && job.hasher) writeChecksumFiles(job, temp.fd());
    if (!job.failed && writeManifestAt(temp.fd(), job.sync, job.mode) != 0) job.failed = true;
    if (!job.failed && job.sync && fsync(temp.fd()) != 0) {
        engineFailErrno("write", job.pieceFolder, errno);
        job.failed = true;
    }
    // The last moment a stop leaves the old state: past the exchange, the new
    // set is in place.
    if (job.failed || engineStopIfCancelled() ||
        !target.putInPlace(temp, job.stem, options.replaceExisting))
        return -1; // the working folder goes with everything in it
    if (outcome) {
        outcome->source = job.source;
        outcome->pieceFolder = job.pieceFolder;
        outcome->folderSource = job.folderSource;
        outcome->files = std::move(job.read);
    }
    return 0;
}

} // namespace

int32_t splitWithOptions(Split_pragma* request, const SplitOptions& options,
                         SplitOutcome* outcome) {
    try {
        return runSplit(request, options, outcome);
    } catch (...) {
        engineFail("the split ran out of memory");
        return -1;
    }
}

int32_t splitProject_split(Split_pragma* request) {
    return splitWithOptions(request, SplitOptions{}, nullptr);
}

std::string describeSetInTheWay(const char* srcPath, const char* outFolder) {
    try {
        char stem[kPathBufferSize] = {};
        if (!srcPath || !outFolder || baseNameOf(srcPath, stem) != 0) return {};
        cutAtFirstDot(stem);
        FileDescriptor out = openFolderPath(outFolder);
        if (!out) return {};
        FileDescriptor folder = openFolderAt(out.get(), (std::string(stem) + "_spt").c_str());
        if (!folder) return {};
        return describeSetIn(folder.get(), stem);
    } catch (...) {
        return {};
    }
}
