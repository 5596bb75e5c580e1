#pragma once
// What the split's files share: the run's state (SplitJob), the source the
// split loop drives (SplitSource), and the steps each file gives the others.
//
//   split.cpp          plans the run, drives the loop, commits the set
//   split_sources.cpp  the sources: a file, a tree, standard input, the tar
//                      stream of an encrypted set
//   split_files.cpp    the set's own files written at the end (checksum
//                      files, tree description, permissions) and the
//                      recovery stage
//
// Not for outside callers: split.h is the split's interface.

#include "engine/base/pipeline.h"
#include "engine/base/run_context.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest_file.h"
#include "engine/fs/safe_fs.h"
#include "engine/fs/shared_blocks.h"
#include "engine/fs/tree_walk.h"
#include "engine/runs/piece_hashing.h"
#include "engine/runs/split.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class SplitRecovery;

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
    std::unique_ptr<SplitHasher> hasher;     // null without checksum files
    std::unique_ptr<SplitRecovery> recovery; // null without recovery pieces
    std::vector<PieceStage*> pieceStages;    // each finished piece goes to these
    std::vector<ContentSlice> pieceSlices;   // the rebuilt files' bytes in the open piece
    bool failed = false;                     // the set is incomplete or wrong
    bool aborted = false;                    // copying stopped early
    bool includeHidden = false;
    bool describeTree = true;  // write TREE.mtree
    bool encrypted = false;    // the source goes in as an encrypted tar stream
    bool folderStored = false; // an encrypted set's source is a folder
    int streamFd = -1;         // the source is read from here, to its end
    std::string setName;       // the name the set shows, when not the source's
    // The loop's intake while it runs: piece 0 gets the stream's deferred
    // start from it before it is handed on.
    SplitIntake* intake = nullptr;
    std::vector<int64_t>
        fileSizes; // folder mode: each stored file's length, for the tree's description
    // A file source cut as it is (no transforms, no encryption): its pieces
    // may share its blocks, and the piece stages read its bytes from it.
    bool plainFile = false;
    BlockSharing sharing;    // probed once the source is open
    int64_t sharedBytes = 0; // of the pieces' bytes, those that share the source's blocks
    FileDescriptor plainFd;  // the source, for the piece stages to read
    FileStamp plainStamp;    // the source as it was opened: proved unchanged at the end
};

// A split's source, driven by the split loop one step at a time: each step
// hands the intake one part of the source (an open file, or bytes the source
// made) and says where its bytes landed. A source keeps what the set's files
// need of it in the job (the tree's entries, the files' lengths, what a
// removal needs).
class SplitSource {
public:
    virtual ~SplitSource() = default;
    enum class Step {
        More,   // a part was taken; ask again
        Ended,  // nothing more: the source is whole in the stream
        Stopped // a fault or a stop (the job is failed, the run keeps why)
    };
    virtual Step next(SplitIntake& intake) = 0;
    // After the stream's end went through the chain: checks what was read
    // against what was planned. False (the job failed) when it differs.
    virtual bool ended() { return true; }
    // The source's length shows only at its end: the pieces are counted then.
    virtual bool lengthKnown() const { return true; }
};

// The source of the planned job: its file, its tree, or the stream it reads
// (an encrypted set's comes from makeTarSource).
std::unique_ptr<SplitSource> makeSource(SplitJob& job);

// An encrypted set's plan: the tar stream of the source (a file, or the tree
// the walk lists into job.tree), measured; `tarSize` its length, `fileModes`
// the AND of its files' permission bits. False, with the reason kept, when
// the source cannot be listed or read.
bool measureTarSource(SplitJob& job, int64_t& tarSize, uint32_t& fileModes);
// The tar stream of the source job.tree lists (or of the file job.source),
// `tarSize` bytes as measured.
std::unique_ptr<SplitSource> makeTarSource(SplitJob& job, int64_t tarSize);

// The split's set files, written once the stream is whole (split_files.cpp).
// The checksum files, from the hashes taken as the pieces were written, and
// the manifest's own hash; a folder set's tree description with them.
void writeChecksumFiles(SplitJob& job, int tempFd, const std::string& manifestHex);
// TREE.mtree, in walk order: the regular files' lines in the manifest's
// order, with their digests when the split took them. `hex` gets its hash.
bool writeTreeDescription(SplitJob& job, int tempFd,
                          const std::vector<Sha256Digest::Bytes>* digests, std::string& hex);
// A folder set's permissions, once the set is written (`folderMode` gets the
// folder's, for when it is in place).
bool givePermissions(SplitJob& job, int tempFd, mode_t& folderMode);

// The recovery stage: hears of every finished piece beside the hasher, and
// encodes the recovery pieces once the set's own files are written.
class SplitRecovery : public PieceStage {
public:
    SplitRecovery(SplitJob& job, RecoveryRequest request) : job_(job), request_(request) {}
    void pieceWritten(int32_t index, std::string name, FileDescriptor piece,
                      std::vector<Slice> slices) override;
    // Writes the recovery pieces, their headers and their lines of
    // SHA256SUMS into `tempFd`; `said` gets what the set now survives.
    bool finish(int tempFd, std::string& said);

private:
    SplitJob& job_;
    RecoveryRequest request_;
    std::vector<int64_t> lengths_; // each finished piece's, by index
};
