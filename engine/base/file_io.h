#pragma once
// Small RAII wrappers and whole-buffer I/O for the engine's copy loops.
// Every function reports failure through its result; none throws.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <sys/stat.h>

class RunContext;

// Data moves inside the kernel (copy_file_range) in steps of this size, or,
// where the kernel cannot copy between two files, through a buffer of the
// second size. Progress is counted after every step.
inline constexpr std::size_t kKernelCopyChunkSize = std::size_t{4} << 20;
inline constexpr std::size_t kBufferCopyChunkSize = std::size_t{128} << 10;

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    // Closes now; false when close reports an error (data may not have reached the disk).
    bool close();

private:
    int fd_ = -1;
};

// Opens an existing regular file for reading. A path that is missing, is not a
// regular file (a folder, a FIFO, a device) or cannot be opened gives an empty
// descriptor, so a read never blocks on a special file.
// `st`, when given, receives the file's status as the open found it.
FileDescriptor openForReading(const char* path, struct stat* st = nullptr);
// The same for `name` in the folder `dirFd` (a link there is followed, as a
// path's would be).
FileDescriptor openForReadingAt(int dirFd, const char* name, struct stat* st = nullptr,
                                bool noFollow = false);

// Reads up to `size` bytes at `offset`, retrying interrupted and short reads
// until `size` bytes or the end of the file. Returns the count, or -1 on error.
int64_t readAt(int fd, void* buffer, std::size_t size, int64_t offset);
// Writes all `size` bytes, retrying short writes. False on any error.
bool writeAll(int fd, const void* buffer, std::size_t size);

// Copies up to `length` bytes (or to the end of the source when `length` is
// negative) from the file `source` at `offset` to `target` (a file, a pipe or
// a terminal: every target's bytes move this way) at its current position,
// adding each step to the run's progress right after it is written. Returns
// the bytes copied, fewer than `length` only when the source ended; `failed`
// is set when a read or a write failed, or when the run was asked to stop
// (run_context.h; errno is then ECANCELED).
int64_t copyRange(int source, int64_t offset, int64_t length, int target, bool& failed,
                  RunContext& run);

// The lines of a file, read from `start` (its start) in steps of 64 KiB, `size`
// bytes (its length when opened): a line longer than `lineBound`, or a last
// line without its newline, is Malformed.
class LineReader {
public:
    LineReader(int fd, int64_t size, std::size_t lineBound, int64_t start = 0)
        : fd_(fd), end_(start + size), lineBound_(lineBound), offset_(start) {}
    enum class Next { Line, End, Unreadable, Malformed };
    // The next line, without its newline, in `line` (valid until the next
    // call); Unreadable with errno set.
    Next next(std::string_view& line);

private:
    static constexpr int64_t kStep = int64_t{1} << 16;
    int fd_;
    int64_t end_; // where the bytes read end
    std::size_t lineBound_;
    int64_t offset_ = 0;
    std::string buffer_;
    std::size_t start_ = 0;
};
