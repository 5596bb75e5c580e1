#include "engine/fs/shared_blocks.h"

#include "engine/base/file_io.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// A clone is one call however long; steps of this size keep a stop heard.
constexpr int64_t kShareStep = int64_t{256} << 20;

bool cloneRange(int source, int64_t from, int64_t length, int target, int64_t to) {
    struct file_clone_range range {};
    range.src_fd = source;
    range.src_offset = static_cast<uint64_t>(from);
    range.src_length = static_cast<uint64_t>(length); // never 0: that would mean "to the end"
    range.dest_offset = static_cast<uint64_t>(to);
    for (;;) {
        if (ioctl(target, FICLONERANGE, &range) == 0) return true;
        if (errno != EINTR) return false;
    }
}

} // namespace

int64_t fileSystemBlockSize(int fd) {
    struct statfs st {};
    if (fstatfs(fd, &st) != 0 || st.f_bsize <= 0) return 0;
    return static_cast<int64_t>(st.f_bsize);
}

BlockSharing probeBlockSharing(int sourceFd, int folderFd) {
    BlockSharing sharing;
    sharing.blockSize = fileSystemBlockSize(folderFd);
    struct stat st {};
    if (sharing.blockSize <= 0 || fstat(sourceFd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < sharing.blockSize)
        return sharing;
    FileDescriptor probe(openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!probe) return sharing;
    sharing.shares = cloneRange(sourceFd, 0, sharing.blockSize, probe.get(), 0);
    return sharing;
}

BlockSharing probeBlockSharing(const std::string& source, const std::string& folder) {
    FileDescriptor file = openForReading(source.c_str());
    FileDescriptor into(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!file || !into) {
        BlockSharing none;
        if (into) none.blockSize = fileSystemBlockSize(into.get());
        return none;
    }
    return probeBlockSharing(file.get(), into.get());
}

int64_t copySharingBlocks(int source, int64_t offset, int64_t length, int target,
                          const BlockSharing& sharing, int64_t* shared, bool& failed,
                          RunContext& run) {
    const int64_t block = sharing.blockSize;
    if (!sharing.shares || block <= 0)
        return copyRange(source, offset, length, target, failed, run);
    const off_t at = lseek(target, 0, SEEK_CUR);
    struct stat st {};
    if (at < 0 || fstat(source, &st) != 0 || (offset - at) % block != 0)
        return copyRange(source, offset, length, target, failed, run);
    // What the source holds of the range now: a clone past its end is refused.
    const int64_t there = std::max<int64_t>(0, static_cast<int64_t>(st.st_size) - offset);
    const int64_t want = length < 0 ? there : std::min(length, there);
    const int64_t head = std::min(want, (block - offset % block) % block);
    int64_t done = 0;
    if (head > 0) {
        done = copyRange(source, offset, head, target, failed, run);
        if (failed || done < head) return done;
    }
    const int64_t middle = (want - head) / block * block;
    while (done < head + middle) {
        if (run.stopIfRequested()) {
            failed = true;
            errno = ECANCELED;
            return done;
        }
        const int64_t step = std::min(kShareStep, head + middle - done);
        if (!cloneRange(source, offset + done, step, target, at + done)) break; // copied below
        done += step;
        if (lseek(target, at + done, SEEK_SET) < 0) {
            failed = true;
            return done;
        }
        if (shared) *shared += step;
        run.addDoneBytes(step);
    }
    // The unaligned tail, what a refused clone left, and, for a range to the
    // end, whatever the source grew by.
    const int64_t rest = length < 0 ? -1 : length - done;
    if (rest == 0) return done;
    return done + copyRange(source, offset + done, rest, target, failed, run);
}

int64_t sharedBytesOf(int fd) {
    constexpr uint32_t kExtents = 256;
    const std::size_t size = sizeof(struct fiemap) + kExtents * sizeof(struct fiemap_extent);
    std::unique_ptr<char[]> storage(new char[size]());
    auto* map = reinterpret_cast<struct fiemap*>(storage.get());
    int64_t total = 0;
    uint64_t start = 0;
    for (;;) {
        std::fill(storage.get(), storage.get() + size, 0);
        map->fm_start = start;
        map->fm_length = FIEMAP_MAX_OFFSET - start;
        map->fm_flags = FIEMAP_FLAG_SYNC;
        map->fm_extent_count = kExtents;
        if (ioctl(fd, FS_IOC_FIEMAP, map) != 0) return -1;
        if (map->fm_mapped_extents == 0) return total;
        bool last = false;
        for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
            const struct fiemap_extent& extent = map->fm_extents[i];
            if ((extent.fe_flags & FIEMAP_EXTENT_SHARED) != 0)
                total += static_cast<int64_t>(extent.fe_length);
            last = last || (extent.fe_flags & FIEMAP_EXTENT_LAST) != 0;
            start = extent.fe_logical + extent.fe_length;
        }
        if (last) return total;
    }
}
