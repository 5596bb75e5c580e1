// The split's sources: a file, a tree's files one after another, a stream
// of unknown length (standard input, a pipe), and the tar stream of an
// encrypted set. The split loop (split.cpp) asks each for one step at a time.

#include "engine/runs/split_job.h"

#include "engine/base/file_io.h"
#include "engine/base/utilities.h"
#include "engine/format/set_names.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/encrypted_set.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Step = SplitSource::Step;

// A source file the split has opened, with its identity when it was opened.
struct OpenSource {
    FileDescriptor fd;
    StoredSourceFile record;
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
    // its own; a regular one that cannot be opened is a fault of the run.
    const int error = errno;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) {
        run.failErrno("read", path, error);
        job.failed = true;
    }
    return source;
}

// What a removal of the source needs of a file once it is read: whether it
// is still the file that was opened.
void finishSource(SplitJob& job, OpenSource& source) {
    if (source.fd && job.keepRead) {
        FileIdentity after;
        source.record.unchanged =
            identityOf(source.fd.get(), after) && after == source.record.identity;
    }
    if (job.keepRead) job.read.push_back(std::move(source.record));
    source = OpenSource{};
}

Step copyFailed(SplitJob& job, int32_t index, const std::string& sourcePath, int error) {
    RunContext& run = job.run;
    if (error != ECANCELED)
        run.failErrno(("copy " + sourcePath + " into").c_str(),
                      piecePathOf(job.pieceFolder, job.stem, index), error);
    job.failed = job.aborted = true;
    return Step::Stopped;
}

// A byte of `fd` past `offset`: the source grew after it was measured.
bool holdsMoreThan(int fd, int64_t offset) {
    char probe = 0;
    return readAt(fd, &probe, 1, offset) != 0;
}

// Where the bytes of rebuilt file `target` landed: a slice of the piece's
// content for the piece stages.
SegmentSink sliceSink(SplitJob& job, int64_t target) {
    return [&job, target](int32_t, int64_t offset, int64_t length) {
        if (!job.pieceStages.empty()) job.pieceSlices.push_back({target, offset, length});
    };
}

// The tree's description of a set of one file: the file as a join makes it.
void describeOneFile(SplitJob& job, uint32_t mode, int64_t seconds, int32_t nanoseconds) {
    TreeEntry entry;
    entry.path = job.baseName;
    entry.mode = mode;
    entry.mtimeSeconds = seconds;
    entry.mtimeNanoseconds = nanoseconds;
    job.tree.entries.push_back(std::move(entry));
    job.fileSizes.push_back(job.stored);
}

// One file, whole, in one step: in the kernel without transforms, through
// them with some (the pieces then hold what they make of it).
class FileSource : public SplitSource {
public:
    explicit FileSource(SplitJob& job) : job_(job), where_(sliceSink(job, 0)) {}
    Step next(SplitIntake& intake) override {
        OpenSource source = openSource(job_, job_.source, "");
        if (!source.fd) {
            job_.failed = true;
            return Step::Stopped;
        }
        if (job_.plainFile && !preparePlainFile(source.fd.get())) return Step::Stopped;
        bool ioFailed = false;
        job_.stored = intake.takeFile(source.fd.get(), where_, ioFailed);
        if (ioFailed) return copyFailed(job_, intake.piece(), job_.source, errno);
        if (holdsMoreThan(source.fd.get(), job_.stored)) ++job_.stored;
        describeOneFile(job_, source.mode, source.mtimeSeconds, source.mtimeNanoseconds);
        finishSource(job_, source);
        return Step::Ended;
    }

private:
    // The stamp the end of the run compares, the descriptor the piece
    // stages read, and whether the pieces can share the source's blocks.
    bool preparePlainFile(int fd) {
        job_.plainFd = FileDescriptor(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!job_.plainFd || !stampOf(fd, job_.plainStamp)) {
            job_.run.failErrno("read", job_.source, errno);
            job_.failed = job_.aborted = true;
            return false;
        }
        job_.sharing = probeBlockSharing(fd, job_.tempFd);
        return true;
    }

    SplitJob& job_;
    const SegmentSink where_; // lives as long as the chain may still write
};

// The files of the tree packed back to back, one slice record per run of a
// file's bytes inside one piece; a step for each entry. Folders, links and
// FIFOs hold no bytes: the tree's description keeps them.
class TreeSource : public SplitSource {
public:
    explicit TreeSource(SplitJob& job) : job_(job) {
        job.pieceModes.assign(static_cast<std::size_t>(std::max(job.count, 1)), 0777);
        job.fileSizes.reserve(static_cast<std::size_t>(job.tree.files));
    }
    Step next(SplitIntake& intake) override {
        RunContext& run = job_.run;
        if (!root_) {
            root_ = openFolderPath(job_.source);
            if (!root_) {
                run.failErrno("list the folder", job_.source, errno);
                job_.failed = job_.aborted = true;
                return Step::Stopped;
            }
        }
        if (entry_ == job_.tree.entries.size()) return Step::Ended;
        TreeEntry& entry = job_.tree.entries[entry_++];
        if (entry.type == TreeEntryType::Folder) {
            const auto above = reach_.find(folderPartOf(entry.path));
            const uint32_t searched = (entry.path.empty()      ? 0666u
                                       : above == reach_.end() ? 0u
                                                               : above->second) &
                                      ((entry.mode & 0111) * 6);
            reach_[entry.path] = searched;
            job_.setMode &= searched & ((entry.mode & 0444) | 0222);
            return Step::More;
        }
        if (entry.type != TreeEntryType::File) return Step::More;
        relative_ = &entry.path;
        file_ = job_.source + "/" + entry.path;
        if (const std::string holder = folderPartOf(entry.path);
            !folder_ || holder != folderName_) {
            folderName_ = holder;
            folder_ = openFolderBelow(root_.get(), holder, false);
            if (!folder_) {
                run.failErrno("list the folder", folderPartOf(file_), errno);
                job_.failed = job_.aborted = true;
                return Step::Stopped;
            }
        }
        OpenSource source = openSource(job_, file_, entry.path, folder_.get());
        if (!source.fd) return Step::Stopped;
        const auto reachable = reach_.find(folderName_);
        mode_ = source.mode & (reachable == reach_.end() ? 0u : reachable->second);
        entry.mode = source.mode;
        entry.mtimeSeconds = source.mtimeSeconds;
        entry.mtimeNanoseconds = source.mtimeNanoseconds;
        job_.setMode &= mode_;
        ++target_;
        if (intake.full()) {
            // Past the last piece: a file that still holds a byte means the
            // source grew; an empty one still needs its record, or the join
            // could not make it.
            if (holdsMoreThan(source.fd.get(), 0)) {
                ++job_.stored;
                finishSource(job_, source);
                return Step::Ended;
            }
            record_(job_.count - 1, intake.filled(), 0);
            job_.fileSizes.push_back(0);
            finishSource(job_, source);
            return Step::More;
        }
        bool ioFailed = false;
        const int64_t got =
            intake.takeFile(source.fd.get(), record_, ioFailed, source.record.identity.size);
        if (ioFailed) return copyFailed(job_, intake.piece(), file_, errno);
        job_.stored += got;
        job_.fileSizes.push_back(got);
        // The file that filled the last piece exactly: any byte past it means
        // the source grew and was not stored.
        if (intake.full() && holdsMoreThan(source.fd.get(), got)) ++job_.stored;
        finishSource(job_, source);
        return Step::More;
    }

private:
    SplitJob& job_;
    FileDescriptor root_;
    std::size_t entry_ = 0; // the next entry of the walk's list
    // The walk lists a folder's files together: each folder is opened once,
    // never through a link.
    std::string folderName_;
    FileDescriptor folder_;
    // Who could read what each folder holds: a class that may not search a
    // folder on the path reads none of the files below it, and one that may
    // not list a folder does not see its names.
    std::unordered_map<std::string, uint32_t> reach_;
    // The file being taken: its path, the bits its readers have, its place
    // among the files the set rebuilds.
    const std::string* relative_ = nullptr;
    std::string file_;
    uint32_t mode_ = 0;
    int64_t target_ = 0;
    const SegmentSink record_ = [this](int32_t piece, int64_t offset, int64_t length) {
        if (!job_.manifest.addFile(*relative_, piece, offset, length)) {
            job_.run.fail("cannot record " + file_);
            job_.failed = true;
        }
        if (length > 0) job_.pieceModes[static_cast<std::size_t>(piece)] &= mode_;
        if (!job_.pieceStages.empty()) job_.pieceSlices.push_back({target_ - 1, offset, length});
    };
};

// A source read from a descriptor to its end (a pipe): cut into pieces as it
// comes, its length known only when it ends. Its tree description is a file
// as a join makes it.
class StreamSource : public SplitSource {
public:
    explicit StreamSource(SplitJob& job) : job_(job), where_(sliceSink(job, 0)) {}
    bool lengthKnown() const override { return false; }
    Step next(SplitIntake& intake) override {
        RunContext& run = job_.run;
        // A silent pipe is waited on in short steps, so a stop is heard.
        struct pollfd waiting {
            job_.streamFd, POLLIN, 0
        };
        const int ready = poll(&waiting, 1, 200);
        if (ready == 0 || (ready < 0 && errno == EINTR)) return Step::More;
        const ssize_t got = ready < 0 ? -1 : read(job_.streamFd, buffer_.data(), buffer_.size());
        if (got < 0 && errno == EINTR) return Step::More;
        if (got < 0) {
            run.failErrno("read", job_.source, errno);
            job_.failed = job_.aborted = true;
            return Step::Stopped;
        }
        if (got == 0) return Step::Ended;
        if (!intake.takeBytes(buffer_.data(), static_cast<std::size_t>(got), where_)) {
            // The cutter says when the stream outgrew the most pieces a set has.
            if (!run.failed())
                run.failErrno("write", piecePathOf(job_.pieceFolder, job_.stem, intake.piece()),
                              errno);
            job_.failed = job_.aborted = true;
            return Step::Stopped;
        }
        job_.stored += got;
        run.addDoneBytes(got);
        return Step::More;
    }
    bool ended() override {
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        describeOneFile(job_, static_cast<uint32_t>(0666 & ~currentUmask()),
                        static_cast<int64_t>(now.tv_sec), static_cast<int32_t>(now.tv_nsec));
        return true;
    }

private:
    SplitJob& job_;
    const SegmentSink where_;
    std::vector<char> buffer_ = std::vector<char>(std::size_t{1} << 20);
};

// An encrypted set's source: the source as a tar stream (its one file, or
// its tree as the walk lists it), a step for each entry, then its end.
class TarSource : public SplitSource {
public:
    TarSource(SplitJob& job, int64_t tarSize)
        : job_(job), tarSize_(tarSize),
          tar_([this](const char* data,
                      std::size_t size) { return intake_->takeBytes(data, size, nowhere_); },
               job.run) {
        // Inside, the source keeps its own name: the set's name shows outside only.
        char top[kPathBufferSize] = {};
        baseNameOf(job.source.c_str(), top);
        top_ = top;
    }
    Step next(SplitIntake& intake) override {
        intake_ = &intake;
        RunContext& run = job_.run;
        bool ok = true;
        bool last = false;
        if (job_.tree.entries.empty()) {
            OpenSource source = openSource(job_, job_.source, "");
            ok = source.fd && tar_.writeFile(source.fd.get(), job_.source, top_);
            finishSource(job_, source);
            last = true;
        } else if (entry_ < job_.tree.entries.size()) {
            if (!root_ && !(root_ = openFolderPath(job_.source))) {
                run.failErrno("list the folder", job_.source, errno);
                ok = false;
            }
            ok = ok && tar_.writeTreeEntry(root_.get(), job_.source, top_, job_.tree, entry_++,
                                           recordRead_);
        } else {
            last = true;
        }
        ok = ok && (!last || tar_.close());
        if (!ok) {
            if (!run.failed()) run.fail("cannot write the encrypted stream of " + job_.source);
            job_.failed = job_.aborted = true;
            return Step::Stopped;
        }
        return last ? Step::Ended : Step::More;
    }
    bool ended() override {
        if (tar_.written() != tarSize_) {
            job_.run.fail("the source " + job_.source + " changed during the split");
            job_.failed = true;
            return false;
        }
        job_.stored = job_.totalSize;
        return true;
    }

private:
    SplitJob& job_;
    int64_t tarSize_;
    SplitIntake* intake_ = nullptr;
    TarStream tar_;
    std::string top_;
    FileDescriptor root_;
    std::size_t entry_ = 0;
    // No slices: the ciphertext gets no hash of its own (see writeChecksumFiles).
    const SegmentSink nowhere_ = [](int32_t, int64_t, int64_t) {};
    // What a removal of the source needs: each file as it was read.
    const TarStream::FileRead recordRead_ = [this](const std::string& relative, int fd,
                                                   const struct stat& opened) {
        if (!job_.keepRead) return;
        StoredSourceFile record;
        record.relativePath = relative;
        record.identity = identityOfStatus(opened);
        FileIdentity after;
        record.unchanged = identityOf(fd, after) && after == record.identity;
        job_.read.push_back(std::move(record));
    };
};

} // namespace

std::unique_ptr<SplitSource> makeSource(SplitJob& job) {
    if (job.streamFd >= 0) return std::make_unique<StreamSource>(job);
    if (job.folderSource) return std::make_unique<TreeSource>(job);
    return std::make_unique<FileSource>(job);
}

bool measureTarSource(SplitJob& job, int64_t& tarSize, uint32_t& fileModes) {
    RunContext& run = job.run;
    if (job.folderSource) {
        TreeWalkOptions walk;
        walk.includeHidden = job.includeHidden;
        if (!walkTree(job.source, walk, job.tree, run)) return false;
        if (job.tree.entries.empty())
            return run.refuse("the folder " + job.source + " cannot be listed");
    }
    TarStream measure(nullptr, run);
    char name[kPathBufferSize] = {};
    if (baseNameOf(job.source.c_str(), name) != 0 || !isSafeComponentName(name))
        return run.refuse("cannot split " + job.source + ": it has no usable name");
    bool measured = false;
    if (job.folderSource) {
        const FileDescriptor root = openFolderPath(job.source);
        measured = root && measure.writeTree(root.get(), job.source, name, job.tree);
    } else {
        const FileDescriptor file = openForReading(job.source.c_str());
        measured = file && measure.writeFile(file.get(), job.source, name);
    }
    if (!measured || !measure.close()) {
        if (!run.failed()) run.failErrno("read", job.source, errno);
        return false;
    }
    tarSize = measure.written();
    fileModes = measure.fileModes();
    return true;
}

std::unique_ptr<SplitSource> makeTarSource(SplitJob& job, int64_t tarSize) {
    return std::make_unique<TarSource>(job, tarSize);
}
