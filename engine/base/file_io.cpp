#include "engine/base/file_io.h"

#include "engine/base/run_context.h"
#include "engine/base/utilities.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

FileDescriptor::~FileDescriptor() {
    close();
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool FileDescriptor::close() {
    if (fd_ < 0) return true;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
}

FileDescriptor openForReading(const char* path, struct stat* st) {
    return openForReadingAt(AT_FDCWD, path, st);
}

FileDescriptor openForReadingAt(int dirFd, const char* name, struct stat* st, bool noFollow) {
    if (!name) return {};
    FileDescriptor fd(
        ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | (noFollow ? O_NOFOLLOW : 0)));
    if (!fd) return {};
    struct stat found {};
    // O_NONBLOCK kept an open of a FIFO from hanging; regular files ignore it.
    if (fstat(fd.get(), &found) != 0) return {};
    if (!S_ISREG(found.st_mode)) {
        errno = EINVAL;
        return {};
    }
    if (st) *st = found;
    return fd;
}

int64_t readAt(int fd, void* buffer, std::size_t size, int64_t offset) {
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, bytes + done, size - done,
                                static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool writeAll(int fd, const void* buffer, std::size_t size) {
    const auto* bytes = static_cast<const char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

// Errors after which the kernel will not copy between this pair of files at
// all (another file system, an unsupported file, an old kernel); the copy then
// goes on through a buffer.
bool kernelCopyUnavailable(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
           error == EBADF || error == ETXTBSY || error == EPERM;
}

} // namespace

int64_t copyRange(int source, int64_t offset, int64_t length, int target, bool& failed,
                  RunContext& run) {
    // Between two files in the kernel; to a pipe or a terminal by sendfile;
    // where neither is taken, through a buffer.
    enum class Way { Copy, Send, Buffer } way = Way::Copy;
    std::unique_ptr<char[]> buffer;
    int64_t copied = 0;
    while (length < 0 || copied < length) {
        if (run.stopIfRequested()) {
            failed = true;
            errno = ECANCELED;
            break;
        }
        const std::size_t chunk = way == Way::Buffer ? kBufferCopyChunkSize : kKernelCopyChunkSize;
        std::size_t want = chunk;
        if (length >= 0)
            want = static_cast<std::size_t>(std::min(length - copied, static_cast<int64_t>(chunk)));
        int64_t got = 0;
        if (way != Way::Buffer) {
            loff_t from = offset + copied;
            const ssize_t n = way == Way::Copy
                                  ? copy_file_range(source, &from, target, nullptr, want, 0)
                                  : sendfile(target, source, &from, want);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (kernelCopyUnavailable(errno)) {
                    way = way == Way::Copy ? Way::Send : Way::Buffer;
                    continue;
                }
                failed = true;
                break;
            }
            got = n;
        } else {
            if (!buffer) buffer = std::make_unique<char[]>(kBufferCopyChunkSize);
            got = readAt(source, buffer.get(), want, offset + copied);
            if (got < 0) {
                failed = true;
                break;
            }
            if (got > 0 && !writeAll(target, buffer.get(), static_cast<std::size_t>(got))) {
                failed = true;
                break;
            }
        }
        if (got == 0) break;
        copied += got;
        run.addDoneBytes(got);
    }
    return copied;
}

LineReader::Next LineReader::next(std::string_view& line) {
    for (;;) {
        const std::size_t end = buffer_.find('\n', start_);
        if (end != std::string::npos) {
            line = std::string_view(buffer_).substr(start_, end - start_);
            start_ = end + 1;
            return Next::Line;
        }
        if (buffer_.size() - start_ > lineBound_) return Next::Malformed;
        if (offset_ >= end_) return start_ == buffer_.size() ? Next::End : Next::Malformed;
        buffer_.erase(0, start_);
        start_ = 0;
        const std::size_t kept = buffer_.size();
        const std::size_t step = static_cast<std::size_t>(std::min<int64_t>(kStep, end_ - offset_));
        buffer_.resize(kept + step);
        const int64_t got = readAt(fd_, buffer_.data() + kept, step, offset_);
        if (got <= 0) {
            if (got == 0) errno = EIO; // shorter than it was
            return Next::Unreadable;
        }
        buffer_.resize(kept + static_cast<std::size_t>(got));
        offset_ += got;
    }
}
