#pragma once
// Blocks shared between files, where the file system can (copy-on-write file
// systems: XFS made with reflink, btrfs). A piece or a joined file that
// shares the blocks of what it was made from costs no space and no copy
// until either file is changed; the file system then copies the changed
// blocks only.
//
// A run asks once whether its source and the folder it writes to share
// (probeBlockSharing), then copies through copySharingBlocks: the stretch
// whose offsets are aligned to the file system's block size is shared
// (FICLONERANGE), what is not aligned is copied in the kernel as any copy is.
// A copy_file_range that succeeds says nothing of whether it shared, so the
// probe clones a block and only then counts on it.

#include "engine/base/run_context.h"

#include <cstdint>
#include <string>

// What a run learned of its source and its output folder.
struct BlockSharing {
    bool shares = false;   // blocks of the source can be shared with files made there
    int64_t blockSize = 0; // the output file system's block size (statfs), 0 when unknown
};

// The block size of the file system that holds `fd` (statfs f_bsize), 0 when
// it cannot be told.
int64_t fileSystemBlockSize(int fd);

// Clones the first block of `sourceFd` into an unnamed temporary (O_TMPFILE,
// gone with its descriptor) in `folderFd`. Shares only when that clone
// succeeds; a source shorter than one block, a file system without
// unnamed files, another file system, or any refusal means copying. Writes
// nothing that stays, and never fails a run.
BlockSharing probeBlockSharing(int sourceFd, int folderFd);
// The same for the file `source` and the folder `folder` given by path (the
// front ends' free-space check, before a run).
BlockSharing probeBlockSharing(const std::string& source, const std::string& folder);

// Copies up to `length` bytes (to the source's end when negative) of
// `source` from `offset` to `target` at its current position, which moves
// on. With `sharing`, the part of the range whose source and target offsets
// lie on block boundaries is shared, in steps that hear a stop, and the rest
// is copied (copyRange); `shared` (may be null) grows by the bytes shared.
// Progress, the result and `failed` as for copyRange.
int64_t copySharingBlocks(int source, int64_t offset, int64_t length, int target,
                          const BlockSharing& sharing, int64_t* shared, bool& failed,
                          RunContext& run);

// The bytes of a file that share their blocks with another file (FIEMAP's
// shared flag on each extent), -1 when the file system cannot say. For tests
// and benchmarks: it reads the extent map, never the bytes.
int64_t sharedBytesOf(int fd);
