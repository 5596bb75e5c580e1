#include "engine/runs/split.h"

#include "engine/format/age_format.h"
#include "engine/runs/encrypted_set.h"

#include "engine/base/file_io.h"
#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest.h"
#include "engine/format/manifest_file.h"
#include "engine/format/tree_description.h"
#include "engine/fs/run_folder.h"
#include "engine/fs/tree_walk.h"
#include "engine/runs/piece_folder.h"
#include "engine/runs/piece_hashing.h"
#include "engine/runs/removal.h"

#include "engine/base/digest.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct SplitJob {
    explicit SplitJob(RunContext& context) : run(context) {}
    RunContext& run;
    std::string source;
    std::string outFolder;
    std::string pieceFolder;
    std::string stem;
    int64_t totalSize = 0;  // the source's bytes
    int64_t streamSize = 0; // what the pieces hold: the source's bytes through the transforms
    int64_t pieceSize = 0;
    int32_t count = 0;
    bool folderSource = false;
    bool sync = false; // the set replaces another: flush it before the swap
    int mode = 0666;   // the set's files are as private as the source (file mode)
    TreeListing tree;  // folder mode: the walk's list
    // Folder mode: each piece is as private as the files it holds bytes of,
    // the rest of the set as the AND over every stored file.
    std::vector<uint32_t> pieceModes;
    uint32_t setMode = 0666;
    // Where the set is written until it is complete.
    int tempFd = -1;
    std::string tempFolder;
    int64_t stored = 0;                 // source bytes in the pieces
    std::vector<StoredSourceFile> read; // what a removal of the source needs, when one may follow
    bool keepRead = false;
    std::string baseName;
    ManifestWriter manifest;
    std::unique_ptr<SplitHasher> hasher;   // null without checksum files
    std::vector<PieceStage*> pieceStages;  // each finished piece goes to these
    std::vector<ContentSlice> pieceSlices; // the rebuilt files' bytes in the open piece
    bool failed = false;                   // the set is incomplete or wrong
    bool aborted = false;                  // copying stopped early
    bool includeHidden = false;
    bool describeTree = true;  // write TREE.mtree
    bool encrypted = false;    // the source goes in as an encrypted tar stream
    bool folderStored = false; // an encrypted set's source is a folder
    int streamFd = -1;         // the source is read from here, to its end
    std::string setName;       // the name the set shows, when not the source's
    // An encrypted set whose header is still being made: piece 0 gets it
    // before it is handed on.
    AgeEncryptor* headerPending = nullptr;
    std::vector<int64_t>
        fileSizes; // folder mode: each stored file's length, for the tree's description
};

int64_t pieceCountFor(int64_t totalSize, int64_t pieceSize) {
    return totalSize / pieceSize + (totalSize % pieceSize != 0 ? 1 : 0);
}

// Checks the request and plans the run. Nothing is written here.
bool planSplit(const SplitRequest& request, SplitJob& job) {
    RunContext& run = job.run;
    const auto hasNul = [](const std::string& text) {
        return text.find('\0') != std::string::npos;
    };
    if (hasNul(request.source) || hasNul(request.outFolder) || hasNul(request.password) ||
        request.source.size() >= kPathBufferSize || request.outFolder.size() >= kPathBufferSize ||
        request.password.size() >= sizeof(Split_pragma::password))
        return run.refuse("the split request has a field without its end");
    if (request.pieceSize <= 0) return run.refuse("the piece size must be at least 1 byte");
    if (job.totalSize < 0) return run.refuse("the source size is negative");

    char baseName[kPathBufferSize] = {};
    if (job.streamFd < 0 &&
        (baseNameOf(request.source.c_str(), baseName) != 0 || !isSafeComponentName(baseName)))
        return run.refuse("cannot split " + request.source + ": it has no usable name");
    if (!job.setName.empty()) {
        if (job.setName.size() >= 255 || !isSafeComponentName(job.setName.c_str()) ||
            job.setName[0] == '.')
            return run.refuse("the set's name \"" + job.setName +
                              "\" is not usable: it must be a file name, "
                              "without '/', not beginning with '.'");
        std::strcpy(baseName, job.setName.c_str());
    }
    // An encrypted set holds one file, the age stream: "<name>.age".
    if (job.encrypted) std::strcat(baseName, ".age");
    if (std::strlen(baseName) >= sizeof(ManifestHeader::baseName))
        return run.refuse("the name of " + request.source + " is too long");
    job.baseName = baseName;
    if (isReservedName(job.baseName))
        return run.refuse("cannot split " + request.source + ": its name is kept for this " +
                          "program's own working files");
    cutAtFirstDot(baseName);

    job.source = request.source;
    job.outFolder = request.outFolder;
    job.stem = baseName;
    job.pieceSize = request.pieceSize;
    job.pieceFolder = job.outFolder + "/" + job.stem + "_spt";

    int64_t count = pieceCountFor(job.streamSize, request.pieceSize);
    if (job.streamFd >= 0) count = kManifestMaxPieceCount; // the room a stream may fill
    if (job.folderSource) {
        TreeWalkOptions walk;
        walk.includeHidden = job.includeHidden;
        if (!walkTree(request.source, walk, job.tree, run)) return false;
        // A manifest without file records reads back as a single file, so a
        // folder needs at least one file, and at least one piece to hold it.
        if (job.tree.files == 0)
            return run.refuse("the folder " + request.source + " holds no file to store");
        if (count == 0) count = 1;
        // Every file has at least one record, and each piece boundary adds at most one.
        if (job.tree.files + count > kManifestMaxFileCount)
            return run.refuse("the folder holds too many files for one set");
    }
    if (count > kManifestMaxPieceCount) return run.refuse("the split would make too many pieces");
    job.count = static_cast<int32_t>(count);

    const std::size_t manifestPathLength =
        job.pieceFolder.size() + 1 + std::strlen(kManifestFileName);
    if (manifestPathLength >= kPathBufferSize ||
        (job.count > 0 &&
         piecePathOf(job.pieceFolder, job.stem, job.count - 1).size() >= kPathBufferSize))
        return run.refuse("the piece folder's path is too long: " + job.pieceFolder);
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
    RunContext& run = job.run;
    char name[kPathBufferSize];
    pieceFileName(job.stem.c_str(), index, name);
    FileDescriptor piece(::openat(job.tempFd, name,
                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  static_cast<mode_t>(job.mode)));
    if (!piece) {
        run.failErrno("create", piecePathOf(job.pieceFolder, job.stem, index), errno);
        job.failed = job.aborted = true;
        return {};
    }
    return piece;
}

void registerPiece(SplitJob& job, int32_t index, FileDescriptor& piece) {
    RunContext& run = job.run;
    const std::string path = piecePathOf(job.pieceFolder, job.stem, index);
    if (index == 0 && job.headerPending) {
        const std::string& header = job.headerPending->header();
        if (header.empty() || pwrite(piece.get(), header.data(), header.size(), 0) !=
                                  static_cast<ssize_t>(header.size())) {
            if (header.empty())
                run.fail("the encryption's key could not be derived");
            else
                run.failErrno("write", path, errno);
            job.failed = true;
        }
        job.headerPending = nullptr;
    }
    for (PieceStage* stage : job.pieceStages) {
        FileDescriptor readBack(::fcntl(piece.get(), F_DUPFD_CLOEXEC, 0));
        if (!readBack) {
            run.failErrno("read back", path, errno);
            job.failed = true;
            continue;
        }
        char name[kPathBufferSize];
        pieceFileName(job.stem.c_str(), index, name);
        stage->pieceWritten(index, name, std::move(readBack), job.pieceSlices);
    }
    job.pieceSlices.clear();
    if (job.sync && fsync(piece.get()) != 0) {
        run.failErrno("write", path, errno);
        job.failed = true;
    }
    char fingerprint[kMd5HexSize] = {};
    pieceFingerprintOf(piece.get(), fingerprint);
    if (job.streamFd >= 0 && index >= job.manifest.pieceCount() &&
        !job.manifest.setTotals(index + 1, 0)) {
        run.fail("cannot record " + path);
        job.failed = true;
    }
    if (fingerprint[0] == '\0' || !job.manifest.setPiece(index, fingerprint)) {
        run.fail("cannot record " + path);
        job.failed = true;
    }
    if (!piece.close()) {
        run.failErrno("write", path, errno);
        job.failed = true;
    }
}

void copyFailed(SplitJob& job, int32_t index, const std::string& sourcePath, int error) {
    RunContext& run = job.run;
    if (error != ECANCELED)
        run.failErrno(("copy " + sourcePath + " into").c_str(),
                      piecePathOf(job.pieceFolder, job.stem, index), error);
    job.failed = job.aborted = true;
}

// A source file the split has opened, with its identity when it was opened.
struct OpenSource {
    FileDescriptor fd;
    StoredSourceFile record;
    int64_t offset = 0;
    uint32_t mode = 0;
    int64_t mtimeSeconds = 0;
    int32_t mtimeNanoseconds = 0;
};

// Opens the source file `path`; in a folder source, `folder` is the open
// folder that holds it, so only its last name is looked up.
OpenSource openSource(SplitJob& job, const std::string& path, const std::string& relative,
                      int folder = AT_FDCWD) {
    RunContext& run = job.run;
    OpenSource source;
    source.record.relativePath = relative;
    struct stat opened {};
    source.fd = folder == AT_FDCWD
                    ? openForReading(path.c_str(), &opened)
                    : openForReadingAt(folder, lastComponentOf(path).c_str(), &opened, true);
    if (source.fd) {
        source.record.identity = identityOfStatus(opened);
        source.mode = static_cast<uint32_t>(opened.st_mode & 07777);
        source.mtimeSeconds = static_cast<int64_t>(opened.st_mtim.tv_sec);
        source.mtimeNanoseconds = static_cast<int32_t>(opened.st_mtim.tv_nsec);
        return source;
    }
    if (folder != AT_FDCWD) {
        // The walk found a regular file here: whatever is here now was
        // changed during the split, and a link is never read through.
        if (errno == ELOOP || errno == EINVAL)
            run.fail("cannot read " + path + ": it is no longer a regular file");
        else
            run.failErrno("read", path, errno);
        job.failed = true;
        return source;
    }
    // A special file (a FIFO, a device, a link to a folder) holds no data of
    // its own and is stored as an empty file; a regular one that cannot be
    // opened is a fault of the run.
    const int error = errno;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) {
        run.failErrno("read", path, error);
        job.failed = true;
    }
    return source;
}

void finishSource(SplitJob& job, OpenSource& source) {
    if (source.fd && job.keepRead) {
        FileIdentity after;
        source.record.unchanged =
            identityOf(source.fd.get(), after) && after == source.record.identity;
    }
    if (job.keepRead) job.read.push_back(std::move(source.record));
    source = OpenSource{};
}

// The cutter could not write what it held of a piece, or finish one: its
// errno is still the write's.
void pieceWriteFailed(SplitJob& job, const PieceCutter& cutter) {
    const int error = errno;
    if (!job.run.failed())
        job.run.failErrno("write", piecePathOf(job.pieceFolder, job.stem, cutter.piece()), error);
    job.failed = job.aborted = true;
}

PieceCutter::Callbacks cutterCallbacks(SplitJob& job) {
    return {[&job](int32_t index) { return createPiece(job, index); },
            [&job](int32_t index, FileDescriptor& piece) { registerPiece(job, index, piece); }};
}

// Where the bytes of rebuilt file `target` landed: a slice of the piece's content for the
// piece stages.
SegmentSink sliceSink(SplitJob& job, int64_t target) {
    return [&job, target](int32_t, int64_t offset, int64_t length) {
        if (!job.pieceStages.empty()) job.pieceSlices.push_back({target, offset, length});
    };
}

// Consecutive pieces of pieceSize bytes; the last one holds the rest. Through
// the transforms, the pieces hold what they make of the file.
void splitFile(SplitJob& job, const Transforms& transforms) {
    RunContext& run = job.run;
    OpenSource source = openSource(job, job.source, "");
    if (!source.fd) job.failed = true;
    PieceCutter cutter(job.count, job.pieceSize, cutterCallbacks(job), run);
    const SegmentSink slices = sliceSink(job, 0);
    if (source.fd) {
        bool ioFailed = false;
        if (transforms.empty()) {
            job.stored = cutter.takeRange(source.fd.get(), 0, -1, slices, ioFailed);
        } else {
            TransformChain chain(
                transforms,
                [&](const char* data, std::size_t size) {
                    return cutter.takeBytes(data, size, slices);
                },
                run);
            job.stored = chain.feed(source.fd.get(), 0, -1, ioFailed);
            if (!ioFailed && !chain.finish()) ioFailed = true;
        }
        if (ioFailed) return copyFailed(job, cutter.piece(), job.source, errno);
        char probe = 0;
        if (readAt(source.fd.get(), &probe, 1, job.stored) != 0) ++job.stored;
    }
    if (!cutter.finish()) return pieceWriteFailed(job, cutter);
    if (source.fd) {
        // The tree's description of a file set: its one file.
        TreeEntry entry;
        entry.path = job.baseName;
        entry.mode = source.mode;
        entry.mtimeSeconds = source.mtimeSeconds;
        entry.mtimeNanoseconds = source.mtimeNanoseconds;
        job.tree.entries.push_back(std::move(entry));
        job.fileSizes.push_back(job.stored);
    }
    finishSource(job, source);
}

// A source read from a descriptor to its end (a pipe): cut into pieces as it
// comes, then counted. Its tree description is a file as a join makes it.
void splitStream(SplitJob& job) {
    RunContext& run = job.run;
    PieceCutter cutter(job.count, job.pieceSize, cutterCallbacks(job), run);
    const SegmentSink slices = sliceSink(job, 0);
    std::vector<char> buffer(std::size_t{1} << 20);
    int64_t total = 0;
    for (;;) {
        if (run.stopIfRequested()) {
            job.failed = job.aborted = true;
            return;
        }
        // A silent pipe is waited on in short steps, so a stop is heard.
        struct pollfd waiting {
            job.streamFd, POLLIN, 0
        };
        const int ready = poll(&waiting, 1, 200);
        if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
        const ssize_t got = ready < 0 ? -1 : read(job.streamFd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            run.failErrno("read", job.source, errno);
            job.failed = job.aborted = true;
            return;
        }
        if (got == 0) break;
        if (!cutter.takeBytes(buffer.data(), static_cast<std::size_t>(got), slices)) {
            // The cutter says when the stream outgrew the most pieces a set has.
            if (!run.failed())
                run.failErrno("write", piecePathOf(job.pieceFolder, job.stem, cutter.piece()),
                              errno);
            job.failed = job.aborted = true;
            return;
        }
        total += got;
        run.addDoneBytes(got);
    }
    job.count = static_cast<int32_t>(pieceCountFor(total, job.pieceSize));
    job.totalSize = job.streamSize = job.stored = total;
    if (!job.manifest.setTotals(job.count, total)) {
        run.fail("cannot record the pieces of " + job.source);
        job.failed = true;
        return;
    }
    cutter.endAt(job.count);
    if (!cutter.finish()) return pieceWriteFailed(job, cutter);
    TreeEntry entry;
    entry.path = job.baseName;
    entry.mode = static_cast<uint32_t>(0666 & ~currentUmask());
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    entry.mtimeSeconds = static_cast<int64_t>(now.tv_sec);
    entry.mtimeNanoseconds = static_cast<int32_t>(now.tv_nsec);
    job.tree.entries.push_back(std::move(entry));
    job.fileSizes.push_back(total);
}

// The files of the tree packed back to back, one slice record per run of a
// file's bytes inside one piece. Folders, links and FIFOs hold no bytes: the
// tree's description keeps them.
void splitFolder(SplitJob& job) {
    RunContext& run = job.run;
    PieceCutter cutter(job.count, job.pieceSize, cutterCallbacks(job), run);
    job.pieceModes.assign(static_cast<std::size_t>(std::max(job.count, 1)), 0777);
    job.fileSizes.reserve(static_cast<std::size_t>(job.tree.files));
    FileDescriptor root = openFolderPath(job.source);
    if (!root) {
        run.failErrno("list the folder", job.source, errno);
        job.failed = job.aborted = true;
        return;
    }
    // The walk lists a folder's files together: each folder is opened once,
    // never through a link.
    std::string folderName;
    FileDescriptor folder;
    int64_t target = 0;
    // Who could read what each folder holds: a class that may not search a
    // folder on the path reads none of the files below it, and one that may
    // not list a folder does not see its names.
    std::unordered_map<std::string, uint32_t> reach;
    for (TreeEntry& entry : job.tree.entries) {
        if (job.failed) return; // the set cannot be made: nothing more is worth reading
        if (run.stopIfRequested()) {
            job.failed = job.aborted = true;
            return;
        }
        if (entry.type == TreeEntryType::Folder) {
            const auto above = reach.find(folderPartOf(entry.path));
            const uint32_t searched = (entry.path.empty()     ? 0666u
                                       : above == reach.end() ? 0u
                                                              : above->second) &
                                      ((entry.mode & 0111) * 6);
            reach[entry.path] = searched;
            job.setMode &= searched & ((entry.mode & 0444) | 0222);
            continue;
        }
        if (entry.type != TreeEntryType::File) continue;
        const std::string& relative = entry.path;
        const std::string file = job.source + "/" + relative;
        uint32_t mode = 0;
        auto record = [&](int32_t piece, int64_t offset, int64_t length) {
            if (!job.manifest.addFile(relative, piece, offset, length)) {
                run.fail("cannot record " + file);
                job.failed = true;
            }
            if (length > 0) job.pieceModes[static_cast<std::size_t>(piece)] &= mode;
            if (!job.pieceStages.empty()) job.pieceSlices.push_back({target, offset, length});
        };
        if (const std::string holder = folderPartOf(relative); !folder || holder != folderName) {
            folderName = holder;
            folder = openFolderBelow(root.get(), holder, false);
            if (!folder) {
                run.failErrno("list the folder", folderPartOf(file), errno);
                job.failed = job.aborted = true;
                return;
            }
        }
        OpenSource source = openSource(job, file, relative, folder.get());
        if (!source.fd) return;
        const auto reachable = reach.find(folderName);
        mode = source.mode & (reachable == reach.end() ? 0u : reachable->second);
        entry.mode = source.mode;
        entry.mtimeSeconds = source.mtimeSeconds;
        entry.mtimeNanoseconds = source.mtimeNanoseconds;
        job.setMode &= mode;
        ++target;
        if (cutter.full()) {
            // Past the last piece: a file that still holds a byte means the
            // source grew; an empty one still needs its record, or the join
            // could not make it.
            char probe = 0;
            if (readAt(source.fd.get(), &probe, 1, 0) != 0) {
                ++job.stored;
                finishSource(job, source);
                break;
            }
            record(job.count - 1, cutter.filled(), 0);
            job.fileSizes.push_back(0);
            finishSource(job, source);
            continue;
        }
        bool ioFailed = false;
        const int64_t got =
            cutter.takeRange(source.fd.get(), 0, -1, record, ioFailed, source.record.identity.size);
        if (ioFailed) return copyFailed(job, cutter.piece(), file, errno);
        job.stored += got;
        job.fileSizes.push_back(got);
        // The file that filled the last piece exactly: any byte past it means
        // the source grew and was not stored.
        char probe = 0;
        if (cutter.full() && readAt(source.fd.get(), &probe, 1, got) != 0) ++job.stored;
        finishSource(job, source);
    }
    if (!cutter.finish()) pieceWriteFailed(job, cutter);
}

// CONTENTS.sha256 in manifest order: each rebuilt file's digest, as the
// hasher took it from the pieces, with the name its records give it, read
// back from the manifest just written, so no name is held for long.
bool writeContentSums(SplitJob& job, int tempFd, const std::vector<Sha256Digest::Bytes>& digests) {
    RunContext& run = job.run;
    TextFileWriter out;
    const std::string path = job.pieceFolder + "/" + kContentSumsFileName;
    if (!out.open(tempFd, kContentSumsFileName, path, run, job.mode)) return false;
    bool ok = true;
    if (!job.folderSource) {
        // An empty source file has no piece, but still a content to check.
        ok = out.write(checksumLine(
            digests.empty() ? Sha256Digest().finishHex() : hexOf(digests.front()), job.baseName));
    } else {
        const Result<Manifest> manifest = Manifest::readAt(tempFd, job.pieceFolder);
        std::size_t next = 0;
        std::string last;
        ok = manifest &&
             manifest->forEachFileRecords([&](const FileRecord* records, std::size_t count) {
                 for (const FileRecord* r = records; r != records + count; ++r) {
                     const std::string_view name(r->name, strnlen(r->name, sizeof r->name));
                     if (next > 0 && name == last) continue; // the same file, in another piece
                     if (next >= digests.size()) return false;
                     last.assign(name);
                     if (!out.write(checksumLine(hexOf(digests[next++]),
                                                 contentNameOf(job.baseName, last))))
                         return false;
                 }
                 return true;
             }) &&
             next == digests.size();
        if (!ok && !run.failed())
            run.fail("cannot write " + path + ": the manifest just written does not read back");
    }
    return out.close(job.sync) && ok;
}

// TREE.mtree, in walk order: the regular files' lines in the manifest's
// order, with their digests when the split took them. `hex` gets its hash.
bool writeTreeDescription(SplitJob& job, int tempFd,
                          const std::vector<Sha256Digest::Bytes>* digests, std::string& hex) {
    RunContext& run = job.run;
    TextFileWriter out;
    const std::string path = job.pieceFolder + "/" + kTreeFileName;
    if (!out.open(tempFd, kTreeFileName, path, run, job.mode)) return false;
    Sha256Digest hash;
    const auto put = [&](const std::string& line) {
        return hash.update(line.data(), line.size()) && out.write(line);
    };
    // A file set's root is the output folder: named, so mtree finds the file in it.
    bool ok = put("#mtree\n") && (job.folderSource || put(". type=dir\n"));
    std::size_t file = 0;
    for (const TreeEntry& entry : job.tree.entries) {
        if (!ok) break;
        const bool regular = entry.type == TreeEntryType::File;
        if (regular && file >= job.fileSizes.size()) {
            ok = false;
            break;
        }
        const int64_t size = regular ? job.fileSizes[file] : 0;
        static const Sha256Digest::Bytes emptyFile = [] {
            Sha256Digest::Bytes bytes{};
            Sha256Digest().finish(bytes);
            return bytes;
        }();
        // An empty file source has no piece, so no digest was taken.
        const Sha256Digest::Bytes* digest = !regular || !digests             ? nullptr
                                            : file < digests->size()         ? &(*digests)[file]
                                            : !job.folderSource && size == 0 ? &emptyFile
                                                                             : nullptr;
        static const std::string none;
        const std::string& link =
            entry.link >= 0 ? job.tree.linkTargets[static_cast<std::size_t>(entry.link)] : none;
        ok = put(treeLine(entry, size, digest, link));
        if (regular) ++file;
    }
    hex = hash.finishHex();
    if (!ok && !run.failed()) run.fail("cannot write " + path);
    return out.close(job.sync) && ok && !hex.empty();
}

// The checksum files, from the hashes taken as the pieces were written, and
// the manifest's own hash; a folder set's tree description with them.
void writeChecksumFiles(SplitJob& job, int tempFd, const std::string& manifestHex) {
    RunContext& run = job.run;
    std::string pieceSums;
    std::vector<Sha256Digest::Bytes> digests;
    if (!job.hasher->finish(pieceSums, digests)) {
        if (!run.stopIfRequested())
            run.fail("cannot read back the pieces written in " + job.pieceFolder);
        job.failed = true;
        return;
    }
    pieceSums += checksumLine(manifestHex, kManifestFileName);
    if (job.describeTree) {
        std::string treeHex;
        if (!writeTreeDescription(job, tempFd, &digests, treeHex)) {
            job.failed = true;
            return;
        }
        pieceSums += checksumLine(treeHex, kTreeFileName);
    }
    if (job.encrypted) {
        Sha256Digest marker;
        marker.update(kEncryptedMarkerText, std::strlen(kEncryptedMarkerText));
        pieceSums += checksumLine(marker.finishHex(), kEncryptedMarkerName);
    }
    // An encrypted set's content is checked by its stream's tags, so the
    // pieces are hashed once, for SHA256SUMS, and the ciphertext not at all.
    if ((!job.encrypted && !writeContentSums(job, tempFd, digests)) ||
        !writeTextFileAt(tempFd, kPieceSumsFileName, pieceSums, job.sync,
                         job.pieceFolder + "/" + kPieceSumsFileName, run, job.mode))
        job.failed = true;
}

// A folder set was written private to the run; now each piece gets the AND of
// the modes of the files it holds bytes of (a piece with none, and every other
// file of the set, the AND over every stored file), the folder the same with
// search where it may be read, all within the umask, and writable by its
// owner (`folderMode`, given to it once it is in place). Nothing is more
// readable than what it holds.
bool givePermissions(SplitJob& job, int tempFd, mode_t& folderMode) {
    RunContext& run = job.run;
    const mode_t umask = currentUmask();
    const auto fileMode = [&](uint32_t mode) { return static_cast<mode_t>(mode & 0666 & ~umask); };
    const mode_t setMode = fileMode(job.setMode);
    for (int32_t i = 0; i < job.count; ++i) {
        char name[kPathBufferSize];
        pieceFileName(job.stem.c_str(), i, name);
        const uint32_t holds = job.pieceModes[static_cast<std::size_t>(i)];
        if (fchmodat(tempFd, name, holds == 0777 ? setMode : fileMode(holds), 0) != 0) {
            run.failErrno("set the permissions of", job.pieceFolder + "/" + name, errno);
            return false;
        }
    }
    for (const char* name :
         {kManifestFileName, kTreeFileName, kPieceSumsFileName, kContentSumsFileName}) {
        if (fchmodat(tempFd, name, setMode, 0) != 0 && errno != ENOENT) {
            run.failErrno("set the permissions of", job.pieceFolder + "/" + name, errno);
            return false;
        }
    }
    // Its owner may always write into it (to remove the run's marker next,
    // and later the set itself): that makes nothing in it more readable.
    folderMode =
        static_cast<mode_t>(((setMode | ((setMode & 0444) >> 2)) & ~umask & 0777) | S_IWUSR);
    return true;
}

// An encrypted set: the source as a tar stream (its one file, or its tree as
// the walk lists it), through the age encryptor, into the pieces.
void splitEncrypted(SplitJob& job, const std::shared_ptr<AgeEncryptor>& encryptor,
                    int64_t tarSize) {
    RunContext& run = job.run;
    PieceCutter cutter(job.count, job.pieceSize, cutterCallbacks(job), run);
    // No slices: the ciphertext gets no hash of its own (see writeChecksumFiles).
    const SegmentSink slices = [](int32_t, int64_t, int64_t) {};
    TransformChain chain(
        {encryptor},
        [&](const char* data, std::size_t size) { return cutter.takeBytes(data, size, slices); },
        run);
    TarStream tar([&](const char* data, std::size_t size) { return chain.push(data, size); }, run);
    // Inside, the source keeps its own name: the set's name shows outside only.
    char top[kPathBufferSize] = {};
    baseNameOf(job.source.c_str(), top);
    bool ok = true;
    if (job.tree.entries.empty()) {
        OpenSource source = openSource(job, job.source, "");
        ok = source.fd && tar.writeFile(source.fd.get(), job.source, top);
        finishSource(job, source);
    } else {
        const FileDescriptor root = openFolderPath(job.source);
        // What a removal of the source needs: each file as it was read.
        const auto recordRead = [&](const std::string& relative, int fd,
                                    const struct stat& opened) {
            if (!job.keepRead) return;
            StoredSourceFile record;
            record.relativePath = relative;
            record.identity = identityOfStatus(opened);
            FileIdentity after;
            record.unchanged = identityOf(fd, after) && after == record.identity;
            job.read.push_back(std::move(record));
        };
        ok = root ? tar.writeTree(root.get(), job.source, top, job.tree, recordRead)
                  : (run.failErrno("list the folder", job.source, errno), false);
    }
    ok = ok && tar.close() && chain.finish();
    if (!ok) {
        if (!run.failed()) run.fail("cannot write the encrypted stream of " + job.source);
        job.failed = job.aborted = true;
        return;
    }
    if (tar.written() != tarSize) {
        run.fail("the source " + job.source + " changed during the split");
        job.failed = true;
        return;
    }
    job.stored = job.totalSize;
    if (!cutter.finish()) return pieceWriteFailed(job, cutter);
}

// The recovery pieces and their headers, once every other file of the set
// is written; each recovery piece as private as the pieces of its group.
bool writeSetRecovery(SplitJob& job, int tempFd, const RecoveryRequest& request,
                      std::string& said) {
    std::vector<int64_t> lengths;
    for (int32_t i = 0; i < job.count; ++i)
        lengths.push_back(i + 1 < job.count
                              ? job.pieceSize
                              : job.streamSize - int64_t{job.count - 1} * job.pieceSize);
    const mode_t umask = currentUmask();
    const auto fileMode = [&](uint32_t mode) {
        return static_cast<uint32_t>(mode & 0666 & ~umask);
    };
    int mode = job.mode;
    std::vector<uint32_t> modes;
    if (job.folderSource) {
        mode = static_cast<int>(fileMode(job.setMode));
        for (uint32_t holds : job.pieceModes)
            modes.push_back(holds == 0777 ? static_cast<uint32_t>(mode) : fileMode(holds));
    }
    RecoveryShape shape;
    if (!writeRecovery(tempFd, job.pieceFolder, job.stem, lengths, job.pieceSize, request, mode,
                       modes, job.sync, job.run, &shape))
        return false;
    const int32_t made = shape.recoveryPieces();
    said = "wrote " + std::to_string(made) + (made == 1 ? " recovery piece" : " recovery pieces") +
           ": the set can lose " + survivalText(shape) + " and still be joined";
    return true;
}

Result<SplitOutcome> runSplit(const SplitRequest& asked, const SplitOptions& options,
                              RunContext& run) {
    SplitRequest request = asked; // an encrypted set by count sets its own piece size
    run.startProgress();
    SplitJob job{run};
    job.includeHidden = options.includeHidden;
    job.describeTree = options.transforms.empty(); // what stages make has no tree
    job.streamFd = options.sourceFd;
    if (job.streamFd >= 0) {
        if (options.setName.empty())
            return run.refuse("a set read from a stream needs a name"), run.failure();
        if (options.removeSource || !options.encryptPassword.empty() || !options.transforms.empty())
            return run.refuse(
                       "a set read from a stream is not encrypted, transformed, or removed from"),
                   run.failure();
    }
    struct stat sourceKind {};
    job.folderSource = job.streamFd < 0 && stat(request.source.c_str(), &sourceKind) == 0 &&
                       S_ISDIR(sourceKind.st_mode);
    job.totalSize = job.streamFd >= 0 ? 0 : request.totalSize;
    const bool measuring = options.measureSource && job.streamFd < 0;
    if (measuring && job.folderSource) {
        // Measured as the walk below stores it: hidden items count only when they go in.
        TreeMeasure measure;
        if (!measureTree(request.source, job.includeHidden, measure, run)) return run.failure();
        job.totalSize = measure.bytes;
    } else if (measuring) {
        struct stat sourceStat {};
        if (stat(request.source.c_str(), &sourceStat) != 0) {
            run.failErrno("read", request.source, errno);
            return run.failure();
        }
        job.totalSize = static_cast<int64_t>(sourceStat.st_size);
    }
    if (options.recovery.wanted() && !options.writeChecksums)
        return run.refuse("recovery pieces need the checksum files"), run.failure();
    run.setTotalBytes(job.totalSize);
    job.setName = options.setName;
    job.streamSize = transformedSize(options.transforms, job.totalSize);
    if (!options.transforms.empty() && job.folderSource)
        return run.refuse("a folder is not split through stages that change its bytes"),
               run.failure();
    // An encrypted set: the tar stream's size, measured from the tree as the
    // walk lists it, fixes the pieces.
    std::shared_ptr<AgeEncryptor> encryptor;
    int64_t tarSize = 0;
    uint32_t encryptedMode = 0666;
    if (!options.encryptPassword.empty()) {
        job.encrypted = true;
        job.describeTree = false;
        if (!request.password.empty())
            return run.refuse("an encrypted set is not also gated by a password digest"),
                   run.failure();
        if (job.folderSource) {
            TreeWalkOptions walk;
            walk.includeHidden = job.includeHidden;
            if (!walkTree(request.source, walk, job.tree, run)) return run.failure();
            if (job.tree.entries.empty())
                return run.refuse("the folder " + request.source + " cannot be listed"),
                       run.failure();
        }
        // scrypt runs on its own thread while the source is measured and
        // streamed, when the header lies whole in the first piece.
        const int64_t headerRoom =
            static_cast<int64_t>(ageHeaderSize(options.encryptWorkFactor) + 16);
        const bool defer = options.pieceCount > 0 || request.pieceSize >= headerRoom;
        encryptor = std::make_shared<AgeEncryptor>(options.encryptPassword,
                                                   options.encryptWorkFactor, defer);
        if (!encryptor->ready())
            return run.fail("the encryption could not be set up"), run.failure();
        if (defer) job.headerPending = encryptor.get();
        TarStream measure(nullptr, run);
        char name[kPathBufferSize] = {};
        if (baseNameOf(request.source.c_str(), name) != 0 || !isSafeComponentName(name))
            return run.refuse("cannot split " + request.source + ": it has no usable name"),
                   run.failure();
        bool measured = false;
        if (job.folderSource) {
            const FileDescriptor root = openFolderPath(request.source);
            measured = root && measure.writeTree(root.get(), request.source, name, job.tree);
        } else {
            const FileDescriptor file = openForReading(request.source.c_str());
            measured = file && measure.writeFile(file.get(), request.source, name);
        }
        if (!measured || !measure.close()) {
            if (!run.failed()) run.failErrno("read", request.source, errno);
            return run.failure();
        }
        tarSize = measure.written();
        encryptedMode = measure.fileModes() & 0666;
        job.streamSize = encryptor->outputSize(tarSize);
        if (options.pieceCount > 0 && job.streamSize > 0)
            request.pieceSize = std::max(headerRoom, (job.streamSize + options.pieceCount - 1) /
                                                         options.pieceCount);
        job.folderStored = job.folderSource;
        job.folderSource = false; // the set holds one file: the age stream
    }
    if (job.streamSize < 0)
        return run.refuse("the stages cannot say what the source becomes"), run.failure();
    if (!planSplit(request, job)) return run.failure();
    struct stat sourceStat {};
    if (job.streamFd < 0 && stat(request.source.c_str(), &sourceStat) == 0)
        job.mode = static_cast<int>(sourceStat.st_mode & 0666);
    if (job.folderSource) job.mode = 0600; // until the modes of its files are known
    if (job.encrypted) {
        // As private as the most private file it holds.
        job.mode = static_cast<int>(encryptedMode);
    }

    FileDescriptor out = openFolderPath(job.outFolder);
    if (!out) {
        run.failErrno("open the output folder", job.outFolder, errno);
        return run.failure();
    }
    if (pieceFolderInsideSource(job, out.get())) {
        run.fail("the piece folder " + job.pieceFolder + " would lie inside the source " +
                 job.source);
        return run.failure();
    }
    PieceFolder target;
    if (!target.openForSplit(out.get(), job.stem + "_spt", job.pieceFolder, run))
        return run.failure();
    const std::string inTheWay = target.describeSet(job.stem);
    if (!inTheWay.empty() && !options.replaceExisting) {
        run.fail("a set is already in " + job.pieceFolder + ": " + inTheWay);
        return run.failure();
    }
    job.sync = !inTheWay.empty();
    if (const std::string entry = target.entryInTheWay(job.stem, job.count); !entry.empty()) {
        run.fail("cannot put the set in " + job.pieceFolder + ": " + entry +
                 " is in the way, and it is not a file of a set");
        return run.failure();
    }

    RunFolder temp;
    if (!temp.create(out.get())) {
        run.failErrno("create a folder in", job.outFolder, errno);
        return run.failure();
    }
    job.tempFd = temp.fd();
    job.tempFolder = job.outFolder + "/" + temp.name();

    ManifestHeader header{};
    std::memcpy(header.baseName, job.baseName.data(), job.baseName.size());
    header.pieceCount = job.streamFd >= 0 ? 0 : job.count; // a stream's, once it ends
    header.totalSize = job.streamSize;
    if (!request.password.empty())
        md5Hex(request.password.data(), static_cast<uint32_t>(request.password.size()),
               header.passwordDigest);
    if (!job.manifest.create(temp.fd(), header, job.mode, job.pieceFolder + "/" + kManifestFileName,
                             run))
        return run.failure();

    job.keepRead = options.removeSource || options.keepSourceFiles;
    if (options.writeChecksums) {
        job.hasher = std::make_unique<SplitHasher>(run);
        job.pieceStages.push_back(job.hasher.get());
    }
    if (job.encrypted) {
        const std::string path = job.pieceFolder + "/" + kEncryptedMarkerName;
        if (!writeTextFileAt(temp.fd(), kEncryptedMarkerName, kEncryptedMarkerText, job.sync, path,
                             run, job.mode))
            return run.failure();
        splitEncrypted(job, encryptor, tarSize);
    } else if (job.streamFd >= 0) {
        splitStream(job);
    } else {
        job.folderSource ? splitFolder(job) : splitFile(job, options.transforms);
    }
    if (!job.aborted && job.stored != job.totalSize) {
        run.fail("the source " + job.source + " held " + std::to_string(job.stored) +
                 " bytes, not the " + std::to_string(job.totalSize) +
                 " measured: it changed during the split");
        job.failed = true;
    }
    if (!job.failed && run.stopIfRequested()) job.failed = true;
    // The copy is over; the hashing of the last pieces and the set's own files remain.
    if (!job.failed && job.hasher) run.enterPhase(RunPhase::FinishingChecksums);
    std::string manifestHex;
    if (!job.failed && !job.manifest.finish(job.sync, manifestHex)) job.failed = true;
    if (!job.failed && job.hasher) writeChecksumFiles(job, temp.fd(), manifestHex);
    if (!job.failed && !job.hasher && job.describeTree) {
        std::string unused;
        if (!writeTreeDescription(job, temp.fd(), nullptr, unused)) job.failed = true;
    }
    std::string recoverySaid;
    if (!job.failed && options.recovery.wanted() &&
        !writeSetRecovery(job, temp.fd(), options.recovery, recoverySaid))
        job.failed = true;
    // The set's folder is private until it is in place, then as the umask allows.
    mode_t folderMode = 0777 & ~currentUmask();
    if (!job.failed && job.folderSource && !givePermissions(job, temp.fd(), folderMode))
        job.failed = true;
    if (!job.failed && job.sync && fsync(temp.fd()) != 0) {
        run.failErrno("write", job.pieceFolder, errno);
        job.failed = true;
    }
    FileIdentity manifestIdentity;
    if (!job.failed) entryAt(temp.fd(), kManifestFileName, &manifestIdentity);
    // The last moment a stop leaves the old state: past the exchange, the new
    // set is in place.
    if (job.failed || run.stopIfRequested() ||
        !target.putInPlace(temp, job.stem, options.replaceExisting, folderMode))
        return run.failure(); // the working folder goes with everything in it
    SplitOutcome outcome;
    outcome.source = job.source;
    outcome.pieceFolder = job.pieceFolder;
    outcome.pieces = job.count;
    outcome.pieceSize = job.pieceSize;
    outcome.setBytes = job.streamSize;
    outcome.manifest = manifestIdentity;
    outcome.folderSource = job.folderSource || job.folderStored;
    outcome.files = std::move(job.read);
    outcome.recovery = std::move(recoverySaid);
    return outcome;
}

} // namespace

Result<SplitOutcome> splitSource(const SplitRequest& request, const SplitOptions& options,
                                 RunContext& run) {
    run.clearFailure();
    return runGuarded<Result<SplitOutcome>>(run, "the split", [&] {
        Result<SplitOutcome> made = runSplit(request, options, run);
        if (made && options.removeSource) {
            // What the split stored goes only once the set checks whole again.
            if (!removeSplitSource(made.value(), made->removal, run))
                made->removalFailure = run.failure();
        }
        return made;
    });
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
