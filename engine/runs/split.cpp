// The split run: plans it, drives the one split loop over its source
// (split_sources.cpp), and commits the set once its own files are written
// (split_files.cpp).

#include "engine/runs/split.h"
#include "engine/runs/split_job.h"

#include "engine/base/digest.h"
#include "engine/base/file_io.h"
#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/format/age_format.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest.h"
#include "engine/format/manifest_file.h"
#include "engine/fs/run_folder.h"
#include "engine/fs/tree_walk.h"
#include "engine/runs/encrypted_set.h"
#include "engine/runs/piece_folder.h"
#include "engine/runs/piece_hashing.h"
#include "engine/runs/removal.h"

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
        return run.refuse("the name of " + request.source + " is too long",
                          EngineFailure::TooLarge);
    job.baseName = baseName;
    if (isReservedName(job.baseName))
        return run.refuse("cannot split " + request.source + ": its name is kept for this " +
                              "program's own working files",
                          EngineFailure::UnsafeName);
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
            return run.refuse("the folder holds too many files for one set",
                              EngineFailure::TooLarge);
    }
    if (count > kManifestMaxPieceCount)
        return run.refuse("the split would make too many pieces", EngineFailure::TooLarge);
    job.count = static_cast<int32_t>(count);

    const std::size_t manifestPathLength =
        job.pieceFolder.size() + 1 + std::strlen(kManifestFileName);
    if (manifestPathLength >= kPathBufferSize ||
        (job.count > 0 &&
         piecePathOf(job.pieceFolder, job.stem, job.count - 1).size() >= kPathBufferSize))
        return run.refuse("the piece folder's path is too long: " + job.pieceFolder,
                          EngineFailure::TooLarge);
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
    // What the last transform could give only later (an encrypted stream's
    // header) goes in before anything reads the stream's start.
    std::string start;
    if (index == 0 && job.intake && !job.intake->deferredStart(start)) {
        run.fail("the start of the stream could not be made");
        job.failed = true;
    } else if (!start.empty()) {
        struct stat st {};
        if (fstat(piece.get(), &st) != 0 || static_cast<std::size_t>(st.st_size) < start.size()) {
            run.fail("the start of the stream does not fit in " + path);
            job.failed = true;
        } else if (pwrite(piece.get(), start.data(), start.size(), 0) !=
                   static_cast<ssize_t>(start.size())) {
            run.failErrno("write", path, errno);
            job.failed = true;
        }
    }
    struct stat written {};
    const bool fromSource = job.plainFd && fstat(piece.get(), &written) == 0;
    for (PieceStage* stage : job.pieceStages) {
        FileDescriptor readBack(::fcntl(piece.get(), F_DUPFD_CLOEXEC, 0));
        FileDescriptor source;
        if (readBack && fromSource)
            source = FileDescriptor(::fcntl(job.plainFd.get(), F_DUPFD_CLOEXEC, 0));
        if (!readBack || (fromSource && !source)) {
            run.failErrno("read back", path, errno);
            job.failed = true;
            continue;
        }
        char name[kPathBufferSize];
        pieceFileName(job.stem.c_str(), index, name);
        // A file cut as it is: the piece holds the source's bytes from
        // index * pieceSize, which the stages read where the run read them.
        if (fromSource)
            stage->pieceWrittenFrom(index, name, std::move(readBack), std::move(source),
                                    int64_t{index} * job.pieceSize,
                                    static_cast<int64_t>(written.st_size), job.pieceSlices);
        else
            stage->pieceWritten(index, name, std::move(readBack), job.pieceSlices);
    }
    job.pieceSlices.clear();
    // A finished piece's pages go to the disk now, beside the hashing and the
    // next piece's copy, not all at the flush that ends the run. Only a start:
    // nothing waits, and a failure here is the flush's to find.
    if (!job.sync) sync_file_range(piece.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
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

// The cutter could not write what it held of a piece, or finish one: its
// errno is still the write's.
void pieceWriteFailed(SplitJob& job, const PieceCutter& cutter) {
    const int error = errno;
    if (!job.run.failed())
        job.run.failErrno("write", piecePathOf(job.pieceFolder, job.stem, cutter.piece()), error);
    job.failed = job.aborted = true;
}

// The pieces of a file cut as it is were hashed from the source, apart from
// the copy that made them: once every hash is taken, the source must still
// be as it was opened (size, modification and change times to the
// nanosecond), or its checksums may not be those of its pieces.
bool sourceStillAsOpened(SplitJob& job) {
    FileStamp now;
    if (stampOf(job.plainFd.get(), now) && now == job.plainStamp) return true;
    job.run.fail("the source " + job.source +
                 " changed during the split: its pieces and their checksums may disagree");
    return false;
}

// The split loop: every source, one step at a time, through the transforms
// (none: the kernel copies) into the cutter, whose finished pieces go to the
// piece stages. A source of unknown length is counted once it ends.
void splitLoop(SplitJob& job, SplitSource& source, const Transforms& transforms) {
    RunContext& run = job.run;
    PieceCutter cutter(
        job.count, job.pieceSize,
        {[&job](int32_t index) { return createPiece(job, index); },
         [&job](int32_t index, FileDescriptor& piece) { registerPiece(job, index, piece); },
         [&job](int fd, int64_t offset, int64_t length, int piece, bool& failed) {
             return copySharingBlocks(fd, offset, length, piece, job.sharing, &job.sharedBytes,
                                      failed, job.run);
         }},
        run);
    SplitIntake intake(transforms, cutter, run);
    job.intake = &intake;
    struct Detach {
        SplitJob& job;
        ~Detach() { job.intake = nullptr; }
    } detach{job};
    for (;;) {
        if (job.failed) return; // the set cannot be made: nothing more is worth reading
        if (run.stopIfRequested()) {
            job.failed = job.aborted = true;
            return;
        }
        const SplitSource::Step step = source.next(intake);
        if (step == SplitSource::Step::Stopped) return;
        if (step == SplitSource::Step::Ended) break;
    }
    if (!intake.finish()) return pieceWriteFailed(job, cutter);
    if (!source.ended()) return;
    if (!source.lengthKnown()) {
        job.count = static_cast<int32_t>(pieceCountFor(job.stored, job.pieceSize));
        job.totalSize = job.streamSize = job.stored;
        if (!job.manifest.setTotals(job.count, job.stored)) {
            run.fail("cannot record the pieces of " + job.source);
            job.failed = true;
            return;
        }
        cutter.endAt(job.count);
    }
    if (!cutter.finish()) pieceWriteFailed(job, cutter);
}

// An encrypted set: the source goes in as a tar stream, measured now from
// the tree as the walk lists it, and the age encryptor is the chain's last
// transform. The stream's size fixes the pieces.
bool planEncryption(SplitRequest& request, const SplitOptions& options, SplitJob& job,
                    Transforms& transforms, int64_t& tarSize, uint32_t& fileModes) {
    RunContext& run = job.run;
    job.source = request.source;
    job.encrypted = true;
    job.describeTree = false;
    if (!request.password.empty())
        return run.refuse("an encrypted set is not also gated by a password digest");
    // scrypt runs on its own thread while the source is measured and
    // streamed, when the header lies whole in the first piece.
    const int64_t headerRoom = static_cast<int64_t>(ageHeaderSize(options.encryptWorkFactor) + 16);
    const bool defer = options.pieceCount > 0 || request.pieceSize >= headerRoom;
    auto encryptor =
        std::make_shared<AgeEncryptor>(options.encryptPassword, options.encryptWorkFactor, defer);
    if (!encryptor->ready()) return run.fail("the encryption could not be set up"), false;
    if (!measureTarSource(job, tarSize, fileModes)) return false;
    transforms.push_back(std::move(encryptor));
    job.streamSize = transformedSize(transforms, tarSize);
    if (options.pieceCount > 0 && job.streamSize > 0)
        request.pieceSize =
            std::max(headerRoom, (job.streamSize + options.pieceCount - 1) / options.pieceCount);
    job.folderStored = job.folderSource;
    job.folderSource = false; // the set holds one file: the age stream
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
    Transforms transforms = options.transforms;
    int64_t tarSize = 0;
    uint32_t encryptedModes = 0666; // the AND of the bits of the files it holds
    if (!options.encryptPassword.empty() &&
        !planEncryption(request, options, job, transforms, tarSize, encryptedModes))
        return run.failure();
    if (job.streamSize < 0)
        return run.refuse("the stages cannot say what the source becomes"), run.failure();
    if (!planSplit(request, job)) return run.failure();
    struct stat sourceStat {};
    if (job.streamFd < 0 && stat(request.source.c_str(), &sourceStat) == 0)
        job.mode = static_cast<int>(sourceStat.st_mode & 0666);
    if (job.folderSource) job.mode = 0600; // until the modes of its files are known
    if (job.encrypted)
        job.mode = static_cast<int>(encryptedModes & 0666); // as its most private file

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
    if (options.recovery.wanted()) {
        job.recovery = std::make_unique<SplitRecovery>(job, options.recovery);
        job.pieceStages.push_back(job.recovery.get());
    }
    if (job.encrypted) {
        const std::string path = job.pieceFolder + "/" + kEncryptedMarkerName;
        if (!writeTextFileAt(temp.fd(), kEncryptedMarkerName, kEncryptedMarkerText, job.sync, path,
                             run, job.mode))
            return run.failure();
    }
    job.plainFile = !job.folderSource && !job.encrypted && job.streamFd < 0 && transforms.empty();
    const std::unique_ptr<SplitSource> source =
        job.encrypted ? makeTarSource(job, tarSize) : makeSource(job);
    splitLoop(job, *source, transforms);
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
    if (!job.failed && job.recovery && !job.recovery->finish(temp.fd(), recoverySaid))
        job.failed = true;
    // The hashes and the recovery pieces were made from the source's bytes.
    if (!job.failed && job.hasher && job.plainFd && !sourceStillAsOpened(job)) job.failed = true;
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
    outcome.sharedBytes = job.sharedBytes;
    outcome.writtenBytes = job.streamSize - job.sharedBytes;
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
