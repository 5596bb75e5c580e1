// The set's own files, written once the stream is whole: SHA256SUMS and
// CONTENTS.sha256 from the hasher's digests, TREE.mtree, a folder set's
// permissions, and the recovery stage's pieces.

#include "engine/runs/split_job.h"

#include "engine/base/digest.h"
#include "engine/base/utilities.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest.h"
#include "engine/format/set_names.h"
#include "engine/format/tree_description.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/encrypted_set.h"
#include "engine/runs/recovery.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

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

} // namespace

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

// The stage takes each piece's length as it is finished. The recovery
// pieces are encoded at the end, from the pieces and the set's own files
// read back: the code's shape (its column length, how many columns the set's
// own files take, the groups, and so each column's coefficients) is fixed
// only once those files are written, after the last piece.
void SplitRecovery::pieceWritten(int32_t index, std::string, FileDescriptor piece,
                                 std::vector<Slice>) {
    struct stat st {};
    if (fstat(piece.get(), &st) != 0) {
        job_.run.failErrno("read back", piecePathOf(job_.pieceFolder, job_.stem, index), errno);
        job_.failed = true;
        return;
    }
    if (lengths_.size() <= static_cast<std::size_t>(index))
        lengths_.resize(static_cast<std::size_t>(index) + 1, -1);
    lengths_[static_cast<std::size_t>(index)] = static_cast<int64_t>(st.st_size);
}

// The recovery pieces and their headers, once every other file of the set
// is written; each recovery piece as private as the pieces of its group.
bool SplitRecovery::finish(int tempFd, std::string& said) {
    SplitJob& job = job_;
    if (lengths_.size() != static_cast<std::size_t>(job.count)) {
        job.run.fail("cannot protect " + job.pieceFolder + ": not every piece was made");
        return false;
    }
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
    if (!writeRecovery(tempFd, job.pieceFolder, job.stem, lengths_, job.pieceSize, request_, mode,
                       modes, job.sync, job.run, &shape, job.plainFd.get()))
        return false;
    const int32_t made = shape.recoveryPieces();
    said = "wrote " + std::to_string(made) + (made == 1 ? " recovery piece" : " recovery pieces") +
           ": the set can lose " + survivalText(shape) + " and still be joined";
    return true;
}
