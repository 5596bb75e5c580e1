#include "engine/runs/encrypted_set.h"

#include "engine/base/file_io.h"
#include "engine/base/utilities.h"
#include "engine/format/age_format.h"
#include "engine/format/manifest.h"
#include "engine/format/manifest_file.h"
#include "engine/fs/run_folder.h"
#include "engine/fs/safe_fs.h"
#include "engine/fs/target_writer.h"
#include "engine/runs/piece_folder.h"
#include "engine/runs/recovery.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

bool isEncryptedSet(int folderFd) {
    const std::optional<std::string> text = readSmallFileAt(folderFd, kEncryptedMarkerName, 64);
    return text && *text == kEncryptedMarkerText;
}

// ---- writing ------------------------------------------------------------------

struct TarStream::Archive {
    struct archive* a = nullptr;
    ~Archive() {
        if (a) archive_write_free(a);
    }
};

namespace {

la_ssize_t writeToSink(struct archive*, void* client, const void* buffer, size_t size);

} // namespace

TarStream::TarStream(Sink sink, RunContext& run)
    : archive_(std::make_unique<Archive>()), sink_(std::move(sink)), run_(run), measuring_(!sink_) {
    archive_->a = archive_write_new();
    if (!archive_->a || archive_write_set_format_pax(archive_->a) != ARCHIVE_OK ||
        archive_write_set_bytes_per_block(archive_->a, 0) != ARCHIVE_OK ||
        archive_write_open(archive_->a, this, nullptr, writeToSink, nullptr) != ARCHIVE_OK)
        run_.fail("cannot start the tar stream");
}

TarStream::~TarStream() = default;

namespace {

la_ssize_t writeToSink(struct archive*, void* client, const void* buffer, size_t size) {
    auto* self = static_cast<TarStream*>(client);
    return self->take(static_cast<const char*>(buffer), size) ? static_cast<la_ssize_t>(size) : -1;
}

} // namespace

bool TarStream::take(const char* data, std::size_t size) {
    written_ += static_cast<int64_t>(size);
    return measuring_ || sink_(data, size);
}

bool TarStream::writeEntry(const std::string& name, const struct stat& st, const std::string& link,
                           int dataFd, const std::string& path) {
    if (run_.failed()) return false;
    struct archive_entry* entry = archive_entry_new();
    if (!entry) return run_.fail("out of memory"), false;
    archive_entry_copy_pathname(entry, name.c_str());
    archive_entry_set_mode(entry, st.st_mode);
    archive_entry_set_mtime(entry, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    archive_entry_set_size(entry, S_ISREG(st.st_mode) ? st.st_size : 0);
    if (S_ISLNK(st.st_mode)) archive_entry_copy_symlink(entry, link.c_str());
    if (S_ISREG(st.st_mode)) fileModes_ &= static_cast<uint32_t>(st.st_mode);
    bool ok = archive_write_header(archive_->a, entry) == ARCHIVE_OK;
    archive_entry_free(entry);
    if (ok && S_ISREG(st.st_mode) && !measuring_) {
        std::vector<char> buffer(std::size_t{1} << 20);
        int64_t left = st.st_size;
        while (ok && left > 0) {
            if (run_.stopIfRequested()) return false;
            const ssize_t got = read(dataFd, buffer.data(),
                                     static_cast<std::size_t>(std::min<int64_t>(
                                         left, static_cast<int64_t>(buffer.size()))));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return run_.failErrno("read", path, errno), false;
            if (got == 0) return run_.fail(path + " became shorter during the split"), false;
            ok = archive_write_data(archive_->a, buffer.data(), static_cast<std::size_t>(got)) ==
                 got;
            left -= got;
            sourceBytes_ += got;
            run_.addDoneBytes(got);
        }
        char extra = 0;
        if (ok && read(dataFd, &extra, 1) > 0)
            return run_.fail(path + " grew during the split"), false;
    }
    ok = ok && archive_write_finish_entry(archive_->a) == ARCHIVE_OK;
    if (!ok && !run_.failed())
        run_.fail("cannot write " + path + " into the tar stream: " +
                  (archive_error_string(archive_->a) ? archive_error_string(archive_->a)
                                                     : "the stream failed"));
    return ok;
}

bool TarStream::writeFile(int fd, const std::string& path, const std::string& top) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return run_.failErrno("read", path, errno), false;
    return writeEntry(top, st, {}, fd, path);
}

bool TarStream::writeTree(int rootFd, const std::string& root, const std::string& top,
                          const TreeListing& tree, const FileRead& read) {
    for (std::size_t index = 0; index < tree.entries.size(); ++index)
        if (!writeTreeEntry(rootFd, root, top, tree, index, read)) return false;
    return true;
}

bool TarStream::writeTreeEntry(int rootFd, const std::string& root, const std::string& top,
                               const TreeListing& tree, std::size_t index, const FileRead& read) {
    if (run_.stopIfRequested()) return false;
    const TreeEntry& item = tree.entries[index];
    const std::string name = item.path.empty() ? top : top + "/" + item.path;
    const std::string path = item.path.empty() ? root : root + "/" + item.path;
    struct stat st {};
    st.st_mtim.tv_sec = item.mtimeSeconds;
    st.st_mtim.tv_nsec = item.mtimeNanoseconds;
    switch (item.type) {
    case TreeEntryType::Folder:
        st.st_mode = S_IFDIR | item.mode;
        return writeEntry(name, st, {}, -1, path);
    case TreeEntryType::Link:
        st.st_mode = S_IFLNK | 0777;
        return writeEntry(name, st, tree.linkTargets[static_cast<std::size_t>(item.link)], -1,
                          path);
    case TreeEntryType::Fifo:
        st.st_mode = S_IFIFO | item.mode;
        return writeEntry(name, st, {}, -1, path);
    case TreeEntryType::File:
        break;
    }
    const std::string holder = folderPartOf(item.path);
    if (!folder_ || holder != folderName_) {
        folderName_ = holder;
        folder_ = openFolderBelow(rootFd, holder, false);
        if (!folder_) return run_.failErrno("list the folder", folderPartOf(path), errno), false;
    }
    FileDescriptor fd =
        openForReadingAt(folder_.get(), lastComponentOf(item.path).c_str(), &st, true);
    if (!fd) return run_.failErrno("read", path, errno), false;
    if (!S_ISREG(st.st_mode))
        return run_.fail("cannot read " + path + ": it is no longer a regular file"), false;
    if (!writeEntry(name, st, {}, fd.get(), path)) return false;
    if (read) read(item.path, fd.get(), st);
    return true;
}

bool TarStream::close() {
    if (run_.failed()) return false;
    if (archive_write_close(archive_->a) != ARCHIVE_OK) {
        run_.fail("cannot end the tar stream");
        return false;
    }
    return true;
}

// ---- reading ------------------------------------------------------------------

namespace {

// The pieces in order, decrypted as they are read: what libarchive pulls.
struct DecryptingReader {
    DecryptingReader(int folder, std::string setStem, int32_t count, const std::string& password,
                     RunContext& context, const RebuiltFiles* rebuiltFiles = nullptr)
        : folderFd(folder), stem(std::move(setStem)), pieces(count), decryptor(password),
          run(context), rebuilt(rebuiltFiles) {}
    int folderFd;
    std::string stem;
    int32_t pieces;
    AgeDecryptor decryptor;
    RunContext& run;
    const RebuiltFiles* rebuilt; // pieces a repair made, read from its folder
    int32_t piece = -1;          // the one being read
    FileDescriptor fd;
    std::vector<char> in = std::vector<char>(std::size_t{1} << 20);
    std::vector<char> out;
    bool ended = false;  // the last chunk authenticated
    std::string failure; // why the stream stopped
    EngineFailure failureKind = EngineFailure::Other;
    bool pieceFault = false; // it stopped on a missing, cut or damaged piece

    std::string pieceName(int32_t index) const {
        char name[kPathBufferSize];
        pieceFileName(stem.c_str(), index, name);
        return name;
    }
    // The next run of plaintext; empty at the end or on a failure.
    bool next() {
        out.clear();
        while (out.empty() && !ended) {
            if (run.stopIfRequested())
                return fail("the join was stopped", EngineFailure::Cancelled);
            if (!fd) {
                if (++piece >= pieces) {
                    if (!decryptor.finish(out))
                        return markFault(),
                               fail("the last piece " + pieceName(pieces - 1) +
                                        " is cut, damaged or out of place: " + decryptor.reason(),
                                    EngineFailure::PieceDamaged);
                    ended = true;
                    break;
                }
                const std::string name = pieceName(piece);
                fd = openFileAt(rebuilt && rebuilt->names.count(name) ? rebuilt->fd : folderFd,
                                name.c_str());
                if (!fd)
                    return markFault(),
                           fail("the piece " + pieceName(piece) + " is missing or cannot be read",
                                EngineFailure::PieceMissing);
            }
            const ssize_t got = read(fd.get(), in.data(), in.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0)
                return markFault(), fail("the piece " + pieceName(piece) +
                                             " cannot be read: " + std::strerror(errno),
                                         EngineFailure::SystemError);
            if (got == 0) {
                fd.close();
                continue;
            }
            run.addDoneBytes(got);
            if (!decryptor.apply(in.data(), static_cast<std::size_t>(got), out)) {
                if (decryptor.problem() == AgeProblem::WrongPassword)
                    return fail("wrong password", EngineFailure::WrongPassword);
                return markFault(), fail("the piece " + pieceName(piece) +
                                             " is damaged or out of place: " + decryptor.reason(),
                                         EngineFailure::PieceDamaged);
            }
        }
        return true;
    }
    void markFault() { pieceFault = failure.empty(); }
    bool fail(std::string why, EngineFailure kind = EngineFailure::Other) {
        if (failure.empty()) {
            failure = std::move(why);
            failureKind = kind;
        }
        out.clear();
        return false;
    }
};

// A DecryptingReader on its own thread, a few runs of plaintext ahead of the
// tar reader, so the decryption goes on while the files are written. Holds
// at most kDepth runs (about 1 MiB each).
class ReadAhead {
public:
    explicit ReadAhead(DecryptingReader& reader)
        : reader_(reader), thread_([this] { produce(); }) {}
    ~ReadAhead() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next run of plaintext in `current()`, valid until the next call;
    // false at the end of the stream or on a failure (the reader's `failure`).
    bool next() {
        std::unique_lock lock(mutex_);
        if (!current_.empty() || current_.capacity() > 0) spare_.push_back(std::move(current_));
        current_ = {};
        changed_.notify_all();
        changed_.wait(lock, [this] { return !ready_.empty() || done_; });
        if (ready_.empty()) return false;
        current_ = std::move(ready_.front());
        ready_.pop_front();
        changed_.notify_all();
        return true;
    }
    const std::vector<char>& current() const { return current_; }
    // True once the stream's last chunk authenticated and every run before
    // it was handed out by next().
    bool ended() {
        std::lock_guard lock(mutex_);
        return done_ && ready_.empty() && reader_.ended;
    }
    // Why the stream stopped, once it has; "" while it goes on.
    std::string failure() {
        std::lock_guard lock(mutex_);
        return done_ ? reader_.failure : std::string();
    }
    EngineFailure failureKind() {
        std::lock_guard lock(mutex_);
        return done_ ? reader_.failureKind : EngineFailure::Other;
    }

private:
    static constexpr std::size_t kDepth = 4;
    void produce() {
        std::size_t made = 0;
        for (;;) {
            std::vector<char> buffer;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return closing_ || !spare_.empty() || made < kDepth; });
                if (closing_) return;
                if (!spare_.empty()) {
                    buffer = std::move(spare_.back());
                    spare_.pop_back();
                } else {
                    ++made;
                }
            }
            std::swap(buffer, reader_.out);
            const bool ok = reader_.next();
            std::swap(buffer, reader_.out);
            std::lock_guard lock(mutex_);
            if (ok && !buffer.empty()) ready_.push_back(std::move(buffer));
            if (!ok || reader_.ended) {
                done_ = true;
                changed_.notify_all();
                return;
            }
            changed_.notify_all();
        }
    }
    DecryptingReader& reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<char>> ready_;
    std::vector<std::vector<char>> spare_;
    std::vector<char> current_;
    bool done_ = false;    // the producer ended: the stream's end or a failure
    bool closing_ = false; // the join is over
    std::thread thread_;   // last: it starts once the rest is made
};

la_ssize_t readDecrypted(struct archive*, void* client, const void** buffer) {
    auto* ahead = static_cast<ReadAhead*>(client);
    if (!ahead->next()) return ahead->ended() ? 0 : -1; // a failure: the reader keeps why
    *buffer = ahead->current().data();
    return static_cast<la_ssize_t>(ahead->current().size());
}

// A name of the tar stream, checked: relative, no "." or ".." or empty
// component, no NUL. Its components, or none when it is refused.
bool safeName(const std::string& name, std::vector<std::string>& parts) {
    parts.clear();
    if (name.empty() || name.front() == '/' || name.size() >= kPathBufferSize) return false;
    std::size_t at = 0;
    std::string text = name;
    if (text.back() == '/') text.pop_back(); // a folder's name may end with a slash
    while (at <= text.size()) {
        const std::size_t slash = text.find('/', at);
        const std::string part =
            text.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (part.empty() || part == "." || part == ".." || part.size() > 255) return false;
        parts.push_back(part);
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    return !parts.empty();
}

struct MadeFolder {
    std::string path; // below the working folder
    mode_t mode;
    struct timespec mtime;
};

// The encrypted set in `pieceFolder`, opened: its folder, the stem of its
// pieces and their count (the progress counts the manifest's total). False,
// with the reason kept, when it is not one.
struct EncryptedSetFiles {
    FileDescriptor folder;
    std::string stem;
    int32_t pieces = 0;
    bool fileSet = true;
};
bool openEncryptedSet(const std::string& pieceFolder, EncryptedSetFiles& out, RunContext& run,
                      const RebuiltFiles* rebuilt = nullptr) {
    out.folder = openFolderPath(pieceFolder);
    if (!out.folder) return run.failErrno("open", pieceFolder, errno), false;
    if (!isEncryptedSet(out.folder.get()))
        return run.fail(pieceFolder + " is not an encrypted set"), false;
    const Result<Manifest> manifest = Manifest::readAt(
        rebuilt && rebuilt->setFiles ? rebuilt->fd : out.folder.get(), pieceFolder);
    if (!manifest) return run.fail(manifest.failure()), false;
    run.setTotalBytes(manifest->totalSize());
    out.stem = manifest->baseName();
    cutAtFirstDot(out.stem.data());
    out.stem.resize(std::strlen(out.stem.c_str()));
    out.pieces = manifest->pieceCount();
    out.fileSet = manifest->fileSet();
    return true;
}

} // namespace

bool TarEntryCheck::refuse(std::string why, EngineFailure kind) {
    why_ = std::move(why);
    kind_ = kind;
    return false;
}

bool TarEntryCheck::admit(struct archive_entry* entry, std::vector<std::string>& parts) {
    const std::string name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
    if (!safeName(name, parts))
        return refuse("the set holds the name \"" + name +
                          "\", which is not written (absolute, empty or with \"..\")",
                      EngineFailure::UnsafeName);
    if (!reservedComponentOf(name).empty()) {
        return refuse(reservedNameRefusal(name), EngineFailure::UnsafeName);
    }
    if (top_.empty()) top_ = parts.front();
    if (parts.front() != top_) {
        return refuse("the set holds more than one thing at its top (\"" + top_ + "\", \"" +
                          parts.front() + "\")",
                      EngineFailure::UnsafeName);
    }
    const mode_t type = archive_entry_filetype(entry);
    if (archive_entry_hardlink(entry) ||
        (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK && type != AE_IFIFO)) {
        return refuse("the set holds \"" + name +
                          "\", a device or a hard link, which is not written",
                      EngineFailure::UnsafeName);
    }
    if (files_ > 0 && type == AE_IFREG && parts.size() == 1)
        return refuse("the set holds two files named \"" + name + "\"", EngineFailure::Other);
    if (type == AE_IFREG) ++files_;
    return true;
}

namespace {

// A tar read by ranges, for libarchive: the bytes at the position, and
// skips over what is not wanted by arithmetic alone.
struct RangeClient {
    int64_t size;
    const TarRangeReader& read;
    int64_t at = 0;
    std::vector<char> held;
    bool failed = false;
};

la_ssize_t readRange(struct archive*, void* data, const void** buffer) {
    auto* client = static_cast<RangeClient*>(data);
    if (client->at >= client->size) return 0;
    client->held.clear();
    if (!client->read(client->at, client->held) || client->held.empty()) {
        client->failed = true;
        return -1;
    }
    const auto got = static_cast<int64_t>(
        std::min<uint64_t>(client->held.size(), static_cast<uint64_t>(client->size - client->at)));
    *buffer = client->held.data();
    client->at += got;
    return static_cast<la_ssize_t>(got);
}

la_int64_t skipRange(struct archive*, void* data, la_int64_t request) {
    auto* client = static_cast<RangeClient*>(data);
    const int64_t skipped = std::max<int64_t>(0, std::min(request, client->size - client->at));
    client->at += skipped;
    return skipped;
}

} // namespace

bool indexTarStream(int64_t size, const TarRangeReader& read,
                    const std::function<bool(EncryptedTarEntry&)>& take, std::string& why,
                    EngineFailure& kind) {
    RangeClient client{size, read, 0, {}, false};
    struct archive* a = archive_read_new();
    if (!a) return why = "out of memory", kind = EngineFailure::Other, false;
    archive_read_support_format_tar(a);
    archive_read_set_read_callback(a, readRange);
    archive_read_set_skip_callback(a, skipRange);
    archive_read_set_callback_data(a, &client);
    why.clear();
    kind = EngineFailure::Other;
    TarEntryCheck check;
    if (archive_read_open1(a) != ARCHIVE_OK) {
        why = "it does not hold a tar stream";
        kind = EngineFailure::NotASet;
    }
    struct archive_entry* entry = nullptr;
    while (why.empty()) {
        const int status = archive_read_next_header(a, &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK) {
            why = "the tar stream inside is damaged";
            break;
        }
        EncryptedTarEntry found;
        if (!check.admit(entry, found.parts)) {
            why = check.why();
            kind = check.kind();
            break;
        }
        // A file's bytes lie whole after its headers: a sparse one's do not.
        if (archive_entry_sparse_count(entry) > 0) {
            why = "the set holds \"" + std::string(archive_entry_pathname(entry)) +
                  "\", a sparse file, which only a join can write";
            break;
        }
        found.type = archive_entry_filetype(entry);
        found.mode = static_cast<uint32_t>(archive_entry_perm(entry) & 07777);
        found.mtimeSeconds = archive_entry_mtime(entry);
        found.mtimeNanoseconds = static_cast<int32_t>(archive_entry_mtime_nsec(entry));
        if (found.type == AE_IFREG) {
            found.size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
            found.dataOffset = archive_filter_bytes(a, 0);
            if (found.size < 0 || found.dataOffset < 0 || found.size > size - found.dataOffset) {
                why = "the tar stream inside is damaged: a file ends past it";
                break;
            }
        } else if (found.type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            if (!target) {
                why = "the tar stream inside is damaged: a link has no target";
                break;
            }
            found.link = target;
        }
        if (!take(found)) {
            why = "the set holds what cannot be shown";
            break;
        }
    }
    const int64_t end = archive_filter_bytes(a, 0);
    archive_read_free(a);
    if (client.failed) return why = "its stream cannot be read", false;
    if (why.empty() && check.top().empty()) why = "the encrypted set holds nothing";
    if (!why.empty()) return false;
    // Nothing but zeros after the tar's end, as the join requires.
    for (int64_t at = std::max<int64_t>(end, 0); at < size;) {
        std::vector<char> bytes;
        if (!read(at, bytes) || bytes.empty()) return why = "its stream cannot be read", false;
        const std::size_t within = static_cast<std::size_t>(
            std::min<int64_t>(static_cast<int64_t>(bytes.size()), size - at));
        if (std::any_of(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(within),
                        [](char c) { return c != 0; }))
            return why = "bytes follow the tar stream inside the set", false;
        at += static_cast<int64_t>(within);
    }
    return true;
}

Result<int64_t> authenticateEncryptedSet(const std::string& pieceFolder,
                                         const std::string& password, RunContext& run) {
    run.startProgress();
    EncryptedSetFiles files;
    if (!openEncryptedSet(pieceFolder, files, run)) return run.failure();
    DecryptingReader reader(files.folder.get(), files.stem, files.pieces, password, run);
    int64_t plain = 0;
    while (reader.next()) {
        plain += static_cast<int64_t>(reader.out.size());
        if (reader.ended) break;
    }
    if (!reader.failure.empty()) return run.fail(reader.failure, reader.failureKind), run.failure();
    return plain;
}

Result<JoinOutcome> joinEncryptedSet(const std::string& pieceFolder,
                                     const std::string& outputFolder, const std::string& password,
                                     const JoinOptions& options, RunContext& run,
                                     const RebuiltFiles* rebuilt, bool* pieceFault) {
    run.startProgress();
    EncryptedSetFiles opened;
    if (!openEncryptedSet(pieceFolder, opened, run, rebuilt)) return run.failure();
    if (!opened.fileSet)
        return run.fail("the manifest of the encrypted set " + pieceFolder + " is not a file's"),
               run.failure();
    const FileDescriptor& set = opened.folder;
    const std::string& stem = opened.stem;

    const FileDescriptor out = openFolderPath(outputFolder);
    RunFolder work;
    if (!out || !work.create(out.get()))
        return run.failErrno("create a folder in", outputFolder, errno), run.failure();
    const mode_t umask = currentUmask();

    DecryptingReader reader(set.get(), stem, opened.pieces, password, run, rebuilt);
    std::optional<ReadAhead> ahead(std::in_place, reader);
    struct archive* a = archive_read_new();
    archive_read_support_format_tar(a);
    const auto cleanup = [&] {
        archive_read_free(a);
        ahead.reset(); // after it, `reader` is this thread's alone
    };
    if (archive_read_open(a, &*ahead, nullptr, readDecrypted, nullptr) != ARCHIVE_OK) {
        cleanup(); // the reader's failure, if any, is this thread's to read now
        const std::string failure = reader.failure;
        run.fail(failure.empty()
                     ? "the encrypted set " + pieceFolder + " does not hold a tar stream"
                     : failure,
                 failure.empty() ? EngineFailure::NotASet : reader.failureKind);
        return run.failure();
    }
    TarEntryCheck check;
    std::vector<MadeFolder> folders;
    int64_t files = 0;
    DroppedBits dropped; // files written without their setuid or setgid bit
    std::string why;
    EngineFailure kind = EngineFailure::Other; // of `why`
    // The stream's own failure, when it has one, is why the tar reader stopped.
    const auto streamFailure = [&](const char* otherwise) {
        const std::string failure = ahead->failure();
        if (failure.empty()) return std::string(otherwise);
        kind = ahead->failureKind();
        return failure;
    };
    struct archive_entry* entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(a, &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK) {
            why = streamFailure("the tar stream inside is damaged");
            break;
        }
        std::vector<std::string> parts;
        if (!check.admit(entry, parts)) {
            kind = check.kind();
            why = check.why();
            break;
        }
        const std::string name = archive_entry_pathname(entry);
        std::string holder;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i)
            holder += (i ? "/" : "") + parts[i];
        const std::string& leaf = parts.back();
        const mode_t type = archive_entry_filetype(entry);
        const mode_t mode = static_cast<mode_t>(archive_entry_perm(entry) & 07777);
        struct timespec mtime {
            archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)
        };
        FileDescriptor parent = holder.empty()
                                    ? FileDescriptor(fcntl(work.fd(), F_DUPFD_CLOEXEC, 0))
                                    : openFolderBelow(work.fd(), holder, true);
        if (!parent) {
            why = "cannot make the folder " + holder + ": " + std::strerror(errno);
            break;
        }
        const std::string shown = outputFolder + "/" + name;
        if (type == AE_IFDIR) {
            const std::string path = holder.empty() ? leaf : holder + "/" + leaf;
            struct stat there {};
            if (mkdirat(parent.get(), leaf.c_str(), 0700) != 0 &&
                (errno != EEXIST ||
                 fstatat(parent.get(), leaf.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
                 !S_ISDIR(there.st_mode))) {
                why = errno == EEXIST || S_ISLNK(there.st_mode)
                          ? "the set holds \"" + name + "\" twice, once not as a folder"
                          : errnoReason("create the folder", shown, errno);
                break;
            }
            folders.push_back({path, static_cast<mode_t>(mode & ~umask), mtime});
            continue;
        }
        if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            if (!target || symlinkat(target, parent.get(), leaf.c_str()) != 0) {
                why = errnoReason("create the link", shown, errno);
                break;
            }
            continue;
        }
        if (type == AE_IFIFO) {
            if (mkfifoat(parent.get(), leaf.c_str(), mode & 0777 & ~umask) != 0) {
                why = errnoReason("create the FIFO", shown, errno);
                break;
            }
            continue;
        }
        FileDescriptor file(openat(parent.get(), leaf.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!file) {
            why = errno == EEXIST ? "the set holds \"" + name + "\" twice"
                                  : errnoReason("create", shown, errno);
            break;
        }
        // The file's bytes straight from the decrypted runs; a hole (a sparse
        // entry) stays a hole.
        bool written = true;
        int64_t at = 0;
        for (;;) {
            const void* data = nullptr;
            std::size_t size = 0;
            la_int64_t offset = 0;
            const int got = archive_read_data_block(a, &data, &size, &offset);
            if (got == ARCHIVE_EOF) break;
            if (got != ARCHIVE_OK || offset < at) {
                written = false;
                why = streamFailure(("the tar stream inside is damaged at " + name).c_str());
                break;
            }
            if ((offset != at && lseek(file.get(), offset, SEEK_SET) < 0) ||
                !writeAll(file.get(), data, size)) {
                written = false;
                why = errnoReason("write", shown, errno);
                break;
            }
            at = offset + static_cast<int64_t>(size);
        }
        if (written && archive_entry_size_is_set(entry) && archive_entry_size(entry) > at &&
            ftruncate(file.get(), archive_entry_size(entry)) != 0) {
            written = false;
            why = errnoReason("write", shown, errno);
        }
        if (!written) break;
        const struct timespec times[2] = {{0, UTIME_OMIT}, mtime};
        if ((mode & (S_ISUID | S_ISGID)) != 0) dropped.add(name);
        if (fchmod(file.get(), mode & 0777 & ~umask) != 0 || futimens(file.get(), times) != 0 ||
            !file.close()) {
            why = errnoReason("write", shown, errno);
            break;
        }
        ++files;
    }
    // The stream must have ended where its last chunk authenticated, with
    // nothing after the tar stream but its zero blocks.
    if (why.empty()) {
        bool trailing = false;
        while (ahead->next())
            trailing = trailing || std::any_of(ahead->current().begin(), ahead->current().end(),
                                               [](char c) { return c != 0; });
        if (!ahead->ended())
            why = streamFailure("the set's stream does not end where it should");
        else if (trailing)
            why = "bytes follow the tar stream inside the set";
    }
    cleanup();
    const std::string& top = check.top();
    if (why.empty() && top.empty()) why = "the encrypted set holds nothing";
    if (!why.empty()) {
        if (pieceFault) *pieceFault = reader.pieceFault;
        run.fail(kind == EngineFailure::WrongPassword ? why
                                                      : "cannot join " + pieceFolder + ": " + why,
                 kind);
        run.note("nothing in " + outputFolder + " was changed");
        return run.failure();
    }
    // Folders get their modes and times deepest first, once nothing more goes into them.
    std::sort(folders.begin(), folders.end(), [](const MadeFolder& x, const MadeFolder& y) {
        return x.path.size() > y.path.size();
    });
    for (const MadeFolder& folder : folders) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, folder.mtime};
        // Opened one component at a time, never through a link.
        const FileDescriptor made = openFolderBelow(work.fd(), folder.path, false);
        if (!made || fchmod(made.get(), folder.mode | S_IRWXU) != 0 ||
            futimens(made.get(), times) != 0) {
            run.failErrno("set the permissions of", outputFolder + "/" + folder.path, errno);
            return run.failure();
        }
    }
    if (run.stopIfRequested()) return run.failure();
    struct stat existing {};
    const bool there = fstatat(out.get(), top.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    struct stat made {};
    fstatat(work.fd(), top.c_str(), &made, AT_SYMLINK_NOFOLLOW);
    const std::string target = outputFolder + "/" + top;
    // The name hidden inside may be one of the set's own files, joined into
    // the set's folder: never replaced.
    if (there && isSetFileName(top, stem) && sameFile(out.get(), set.get())) {
        run.fail("joining " + pieceFolder + " into " + outputFolder +
                 " would write over the set's own " + top);
        run.note("nothing in " + outputFolder + " was changed");
        return run.failure();
    }
    if (there && !(options.replaceExisting && S_ISREG(existing.st_mode) && S_ISREG(made.st_mode))) {
        // Its name was hidden until now: the caller may ask, and join again.
        const bool replaceable = S_ISREG(existing.st_mode) && S_ISREG(made.st_mode);
        Failure exists;
        exists.kind = replaceable ? EngineFailure::TargetExists : EngineFailure::Other;
        exists.path = target;
        exists.reason =
            exists.path + " already exists" +
            (replaceable ? ""
                         : "; an encrypted folder set is joined only where nothing is in its way");
        run.fail(std::move(exists));
        run.note("nothing in " + outputFolder + " was changed");
        return run.failure();
    }
    if (there) {
        // A file it replaces keeps its owner, as in every join.
        const FileDescriptor replacement(
            openat(work.fd(), top.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!replacement)
            return run.failErrno("examine the file written for", target, errno), run.failure();
        if (!keepOwner(replacement.get(), existing, target, run)) return run.failure();
        // What replaces a file is on disk before the file goes, as in every join.
        run.enterPhase(RunPhase::WritingToDisk);
        if (syncfs(work.fd()) != 0)
            return run.failErrno("write to disk", outputFolder, errno), run.failure();
        // Only the file that was looked at is replaced.
        if (!isStillTheFile(out.get(), top, existing))
            return run.fail("cannot write " + target + ": something else was put in its place"),
                   run.failure();
    }
    if (!placeEntry(work.fd(), top, out.get(), top, there)) {
        run.failErrno("put in place", target, errno);
        return run.failure();
    }
    fsync(out.get());
    dropped.sayIn(run);
    JoinOutcome outcome;
    // What a removal of the pieces may take: the set's files as they were read.
    for (const std::string& name : namesIn(set.get())) {
        FileIdentity identity;
        if (isSetFileName(name, stem) &&
            entryAt(set.get(), name.c_str(), &identity) == EntryKind::Regular)
            outcome.setFiles.push_back({name, identity});
    }
    outcome.pieceFolder = pieceFolder;
    outcome.outputFolder = outputFolder;
    outcome.target = target;
    outcome.fullCheck = true; // every chunk authenticated
    outcome.filesAdded = there ? 0 : files;
    outcome.filesReplaced = there ? 1 : 0;
    return outcome;
}
