// `parcelor mount` through the real binary: real FUSE mounts of split sets,
// read back against their sources. Where this process may not mount (no
// /dev/fuse, no fusermount3, a container without the right), each test skips.

#include "engine/format/age_format.h"
#include "engine/fs/run_folder.h"
#include "mount/set_view.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string err;
};

// Runs parcelor with `args`; standard error caught in `dir`.
Outcome parcelor(const TempDir& dir, const std::vector<std::string>& args,
                 const std::string& folder = "/") {
    std::string command = "cd '" + folder + "' && " PARCELOR_CLI;
    for (const std::string& arg : args) {
        command += " '";
        for (char c : arg)
            command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    const std::string err = dir / ".err";
    const int status = std::system((command + " </dev/null >/dev/null 2>'" + err + "'").c_str());
    Outcome o;
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    o.err = readFile(err);
    fs::remove(err);
    return o;
}

// Mounted, or left mounted by a daemon that is gone.
bool isMounted(const std::string& path) {
    struct stat at {};
    struct stat above {};
    if (stat(path.c_str(), &at) != 0) return errno == ENOTCONN;
    return stat(fs::path(path).parent_path().c_str(), &above) == 0 && at.st_dev != above.st_dev;
}

// A mount point in `dir` that is unmounted, lazily, when the test ends,
// whatever it did, so the temporary folder can go.
struct MountPoint {
    explicit MountPoint(const TempDir& dir) : path(dir / "mnt") { fs::create_directory(path); }
    ~MountPoint() {
        if (isMounted(path)) std::system(("fusermount3 -u -z '" + path + "' 2>/dev/null").c_str());
        EXPECT_FALSE(isMounted(path));
    }
    std::string path;
};

// Mounts `set` on `at` as a daemon; skips the test when mounting is not allowed here.
#define MOUNT_OR_SKIP(dir, set, at)                                                                \
    do {                                                                                           \
        if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse here";     \
        const Outcome mounted = parcelor(dir, {"mount", set, at.path});                            \
        if (mounted.status != 0 && mounted.err.find("cannot mount") != std::string::npos)          \
            GTEST_SKIP() << "mounting is not allowed here: " << mounted.err;                       \
        ASSERT_EQ(mounted.status, 0) << mounted.err;                                               \
        ASSERT_TRUE(isMounted(at.path));                                                           \
    } while (0)

std::string preadAt(int fd, std::size_t size, off_t offset, int& error) {
    std::string out(size, '\0');
    const ssize_t got = pread(fd, out.data(), size, offset);
    error = got < 0 ? errno : 0;
    out.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return out;
}

// Reads of `path` at random offsets and lengths, many across the pieces'
// boundaries, give the bytes of `expected`.
void expectRandomReads(const std::string& path, const std::string& expected, uint32_t seed) {
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << path;
    std::mt19937 random(seed);
    for (int i = 0; i < 200; ++i) {
        const std::size_t offset = random() % (expected.size() + 1);
        const std::size_t length = random() % 150000;
        int error = 0;
        const std::string got = preadAt(fd, length, static_cast<off_t>(offset), error);
        ASSERT_EQ(error, 0);
        ASSERT_EQ(got, expected.substr(offset, length)) << "at " << offset << ", " << length;
    }
    close(fd);
}

void replaceText(const std::string& path, const std::string& from, const std::string& to) {
    std::string text = readFile(path);
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    writeFile(path, text);
}

// The daemon serving `mountpoint`, started as `parcelor mount SET MOUNTPOINT`; 0 when none.
pid_t daemonServing(const std::string& mountpoint) {
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
        std::string line;
        try {
            line = readFile(entry.path() / "cmdline");
        } catch (...) {
            continue;
        }
        const std::string head = std::string(PARCELOR_CLI) + '\0' + "mount" + '\0';
        const std::string tail = '\0' + mountpoint + '\0';
        if (line.rfind(head, 0) == 0 && line.size() > tail.size() &&
            line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
            return static_cast<pid_t>(std::stoi(entry.path().filename().string()));
    }
    return 0;
}

// This test's own runtime folder, where the mounts keep their state.
struct PrivateRuntime {
    explicit PrivateRuntime(const TempDir& dir) : path(dir / "run") {
        fs::create_directory(path);
        fs::permissions(path, fs::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
    }
    ~PrivateRuntime() { unsetenv("XDG_RUNTIME_DIR"); }
    // The state files there.
    std::vector<std::string> states() const {
        std::vector<std::string> found;
        if (fs::exists(path + "/parcelor"))
            for (const fs::directory_entry& entry : fs::directory_iterator(path + "/parcelor"))
                found.push_back(entry.path().string());
        return found;
    }
    std::string path;
};

// The byte at `offset` of `path` changed in place (every bit flipped: a
// byte written over it could be the one already there, as in a random
// ciphertext).
void damage(const std::string& path, off_t offset) {
    flipByte(path, static_cast<std::size_t>(offset), static_cast<char>(0xFF));
}

void split(const TempDir& dir, const std::string& source, const std::string& size,
           bool checksums = true, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args = {"split", "-q", "-b", size, source, dir.path()};
    if (!checksums) args.push_back("--no-checksums");
    args.insert(args.end(), more.begin(), more.end());
    const Outcome split = parcelor(dir, args);
    ASSERT_EQ(split.status, 0) << split.err;
}

// The process started from / with the command line `cmdline` (its arguments
// each ended by a NUL), or 0.
pid_t daemonWith(const std::string& cmdline) {
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
        std::string line;
        try {
            line = readFile(entry.path() / "cmdline");
        } catch (...) {
            continue;
        }
        if (line == cmdline && fs::canonical(entry.path() / "cwd") == fs::path("/"))
            return static_cast<pid_t>(std::stoi(entry.path().filename().string()));
    }
    return 0;
}

// Splits `source` encrypted with the password in `dir`/password.
void splitEncrypted(const TempDir& dir, const std::string& source, const std::string& size) {
    const Outcome split = parcelor(dir, {"split", "-q", "--encrypt", "--password-file",
                                         dir / "password", "-b", size, source, dir.path()});
    ASSERT_EQ(split.status, 0) << split.err;
}

std::string sha256Of(const std::string& path) {
    std::string line(64, '\0');
    FILE* out = popen(("sha256sum '" + path + "'").c_str(), "r");
    const std::size_t got = out ? fread(line.data(), 1, 64, out) : 0;
    if (out) pclose(out);
    line.resize(got);
    return line;
}

// A ustar header block of `name` (a regular file of `size` bytes, or a folder).
std::string tarHeader(const std::string& name, std::size_t size, char type) {
    std::string block(512, '\0');
    std::memcpy(block.data(), name.data(), std::min<std::size_t>(name.size(), 100));
    std::snprintf(block.data() + 100, 8, "%07o", 0644);
    std::snprintf(block.data() + 124, 12, "%011zo", size);
    std::snprintf(block.data() + 136, 12, "%011o", 1700000000);
    block[156] = type;
    std::memcpy(block.data() + 257,
                "ustar\0"
                "00",
                8);
    std::memset(block.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (const char c : block)
        sum += static_cast<unsigned char>(c);
    std::snprintf(block.data() + 148, 8, "%06o", sum);
    return block;
}

} // namespace

TEST(Mount, AFileSetReadsByteForByteAndRefusesWrites) {
    TempDir dir;
    const std::string bytes = seededBytes(31, 5 * 65536 + 777);
    writeFile(dir / "movie.bin", bytes);
    split(dir, dir / "movie.bin", "64K");
    MountPoint mnt(dir);
    MOUNT_OR_SKIP(dir, dir / "movie_spt", mnt);
    EXPECT_EQ(readFile(mnt.path + "/movie.bin"), bytes);
    expectRandomReads(mnt.path + "/movie.bin", bytes, 1);
    EXPECT_EQ(fs::file_size(mnt.path + "/movie.bin"), bytes.size());
    EXPECT_LT(open((mnt.path + "/movie.bin").c_str(), O_WRONLY), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_LT(open((mnt.path + "/new").c_str(), O_WRONLY | O_CREAT, 0600), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_NE(unlink((mnt.path + "/movie.bin").c_str()), 0);
    const Outcome unmounted = parcelor(dir, {"unmount", mnt.path});
    EXPECT_EQ(unmounted.status, 0) << unmounted.err;
    EXPECT_FALSE(isMounted(mnt.path));
}

// The mount shows what the join writes: names, contents, bits, times,
// links, FIFOs and empty folders, as the source had them.
TEST(Mount, AFolderSetShowsItsTreeAsTheSourceHadIt) {
    TempDir dir;
    const std::string src = dir / "photos";
    makeSeededTree(src, 7, 40, 40000);
    const std::string big = seededBytes(8, 200000);
    writeFile(src + "/deep/er/big.raw", big);
    fs::create_directories(src + "/empty/inside");
    fs::create_symlink("../deep/er/big.raw", src + "/empty/link");
    ASSERT_EQ(mkfifo((src + "/pipe").c_str(), 0640), 0);
    ASSERT_EQ(chmod((src + "/deep/er/big.raw").c_str(), 0604), 0);
    writeFile(src + "/tool", "#!/bin/sh\n");
    ASSERT_EQ(chmod((src + "/tool").c_str(), 04755), 0);
    for (int i = 0; i < 700; ++i) // a listing longer than one request of the kernel's
        writeFile(src + "/many/" + std::string(60, 'n') + std::to_string(i), "");
    split(dir, src, "16K");
    MountPoint mnt(dir);
    MOUNT_OR_SKIP(dir, dir / "photos_spt", mnt);
    const std::string root = mnt.path + "/photos";
    EXPECT_EQ(treeContents(root), visibleTreeContents(src)); // hidden items are not stored
    expectRandomReads(root + "/deep/er/big.raw", big, 2);
    std::size_t compared = 0;
    for (auto it = fs::recursive_directory_iterator(src); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::directory_entry& entry = *it;
        if (entry.path().filename().string()[0] == '.') {
            it.disable_recursion_pending();
            continue;
        }
        const std::string relative = entry.path().lexically_relative(src).string();
        struct stat want {
        }, got{};
        ASSERT_EQ(lstat(entry.path().c_str(), &want), 0);
        ASSERT_EQ(lstat((root + "/" + relative).c_str(), &got), 0) << relative;
        EXPECT_EQ(got.st_mode & S_IFMT, want.st_mode & S_IFMT) << relative;
        if (S_ISREG(want.st_mode)) { // as the join makes it: never setuid or setgid
            EXPECT_EQ(got.st_mode, want.st_mode & ~mode_t{S_ISUID | S_ISGID}) << relative;
        } else if (!S_ISLNK(want.st_mode)) {
            EXPECT_EQ(got.st_mode, want.st_mode) << relative;
        } else {
            EXPECT_EQ(fs::read_symlink(root + "/" + relative), fs::read_symlink(entry.path()));
        }
        if (S_ISREG(want.st_mode)) {
            EXPECT_EQ(got.st_size, want.st_size) << relative;
        }
        if (!S_ISDIR(want.st_mode)) { // a folder's time is the split's to keep as it found it
            EXPECT_EQ(got.st_mtim.tv_sec, want.st_mtim.tv_sec) << relative;
        }
        ++compared;
    }
    EXPECT_GT(compared, 740u);
    // A listing gives each entry's type, as a disk's file system does.
    std::map<std::string, unsigned char> types;
    for (const std::string& folder : {root, root + "/empty"}) {
        DIR* listing = opendir(folder.c_str());
        ASSERT_NE(listing, nullptr) << folder;
        while (const dirent* entry = readdir(listing))
            types[entry->d_name] = entry->d_type;
        closedir(listing);
    }
    EXPECT_EQ(types["deep"], DT_DIR);
    EXPECT_EQ(types["tool"], DT_REG);
    EXPECT_EQ(types["pipe"], DT_FIFO);
    EXPECT_EQ(types["link"], DT_LNK);
    EXPECT_TRUE(fs::is_empty(root + "/empty/inside"));
    EXPECT_FALSE(fs::exists(root + "/missing"));
    EXPECT_EQ(parcelor(dir, {"unmount", mnt.path}).status, 0);
}

// A piece whose bytes changed past what the quick check sees is never
// served: reads of its range fail with EIO, every time, and the other
// pieces still read true.
TEST(Mount, ADamagedPieceGivesEioOnItsRangesAlone) {
    TempDir dir;
    const std::string bytes = seededBytes(32, 4 * 65536);
    writeFile(dir / "disk.img", bytes);
    split(dir, dir / "disk.img", "64K");
    ASSERT_NO_FATAL_FAILURE(damage(dir / "disk_spt/disk_2.spt", 40000));
    MountPoint mnt(dir);
    MOUNT_OR_SKIP(dir, dir / "disk_spt", mnt);
    const int fd = open((mnt.path + "/disk.img").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int error = 0;
    for (int again = 0; again < 2; ++again) {
        EXPECT_TRUE(preadAt(fd, 4096, 2 * 65536 + 8192, error).empty());
        EXPECT_EQ(error, EIO);
        EXPECT_EQ(preadAt(fd, 65536, 65536, error), bytes.substr(65536, 65536));
        EXPECT_EQ(preadAt(fd, 65536, 3 * 65536, error), bytes.substr(3 * 65536));
        EXPECT_EQ(error, 0);
    }
    // Up to the damaged piece, and no further.
    EXPECT_EQ(preadAt(fd, 1000, 2 * 65536 - 100, error), bytes.substr(2 * 65536 - 100, 100));
    // A checked piece that changes afterwards is not served again, even with
    // its old bytes put back: only what the kernel already holds is.
    {
        const int piece = open((dir / "disk_spt/disk_3.spt").c_str(), O_WRONLY);
        ASSERT_GE(piece, 0);
        ASSERT_EQ(pwrite(piece, bytes.data() + 3 * 65536 + 500, 1, 500), 1);
        close(piece);
    }
    ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
    EXPECT_TRUE(preadAt(fd, 4096, 3 * 65536, error).empty());
    EXPECT_EQ(error, EIO);
    close(fd);
    EXPECT_EQ(parcelor(dir, {"unmount", mnt.path}).status, 0);

    // Without checksum files the quick check is all there is: the mount says
    // so, and --require-checksums refuses it.
    fs::remove(dir / "disk_spt/SHA256SUMS");
    fs::remove(dir / "disk_spt/CONTENTS.sha256");
    const Outcome required =
        parcelor(dir, {"mount", "--require-checksums", dir / "disk_spt", mnt.path});
    EXPECT_EQ(required.status, 1);
    EXPECT_NE(required.err.find("no checksum files"), std::string::npos) << required.err;
    EXPECT_FALSE(isMounted(mnt.path));
    const Outcome quick = parcelor(dir, {"mount", dir / "disk_spt", mnt.path});
    ASSERT_EQ(quick.status, 0) << quick.err;
    EXPECT_NE(quick.err.find("quick check only"), std::string::npos) << quick.err;
}

// What the join refuses, the mount refuses before anything is mounted: a
// name this program keeps for itself, in the tree description or the
// manifest, and a description that places an entry outside the tree.
TEST(Mount, RefusesAHostileSetAtMount) {
    TempDir dir;
    writeFile(dir / "src/xparcelor-tmp-0123456789ab/xparcelor-run", "parcelor-replace 2");
    writeFile(dir / "src/sub/file", "f");
    ASSERT_EQ(mkfifo((dir / "src/xparcelor-join-journal").c_str(), 0600), 0);
    split(dir, dir / "src", "4K", false); // another program's set, with nothing to check it by
    MountPoint mnt(dir);
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse here";
    const auto refused = [&](const std::string& why) {
        const Outcome mounted = parcelor(dir, {"mount", dir / "src_spt", mnt.path});
        EXPECT_EQ(mounted.status, 1);
        EXPECT_NE(mounted.err.find(why), std::string::npos) << mounted.err;
        EXPECT_FALSE(isMounted(mnt.path));
    };
    const std::string tree = readFile(dir / "src_spt/TREE.mtree");
    replaceText(dir / "src_spt/TREE.mtree", "./sub type=dir", "./../sub type=dir");
    refused("tree description");
    writeFile(dir / "src_spt/TREE.mtree", tree);
    replaceText(dir / "src_spt/TREE.mtree", "xparcelor-join-journal", ".parcelor-join-journal");
    refused("\"src/.parcelor-join-journal\", a name this program keeps");
    fs::remove(dir / "src_spt/TREE.mtree");
    replaceText(dir / "src_spt/spt_config.morvspt", "xparcelor-", ".parcelor-");
    refused("a name this program keeps");

    // Nor does it show what a password guards, without the password or
    // with a wrong one; the right one shows it.
    fs::remove_all(dir / "src_spt");
    writeFile(dir / "password", "secret\n");
    writeFile(dir / "wrong", "secreT\n");
    const Outcome protectedSplit = parcelor(
        dir, {"split", "-q", "--password-file", dir / "password", dir / "src/sub", dir.path()});
    ASSERT_EQ(protectedSplit.status, 0) << protectedSplit.err;
    Outcome mounted = parcelor(dir, {"mount", dir / "sub_spt", mnt.path});
    EXPECT_EQ(mounted.status, 1);
    EXPECT_NE(mounted.err.find("needs its password"), std::string::npos) << mounted.err;
    mounted = parcelor(dir, {"mount", "--password-file", dir / "wrong", dir / "sub_spt", mnt.path});
    EXPECT_EQ(mounted.status, 1);
    EXPECT_NE(mounted.err.find("wrong password"), std::string::npos) << mounted.err;
    EXPECT_FALSE(isMounted(mnt.path));
    mounted =
        parcelor(dir, {"mount", "--password-file", dir / "password", dir / "sub_spt", mnt.path});
    ASSERT_EQ(mounted.status, 0) << mounted.err;
    EXPECT_EQ(readFile(mnt.path + "/sub/file"), "f");
}

// An encrypted set shows what its join writes, read by chunk at any offset,
// across the chunks' and the pieces' boundaries, once its password is given
// (here through a pipe's descriptor); a wrong one is refused at mount.
TEST(Mount, AnEncryptedSetReadsByteForByteWithItsPassword) {
    TempDir dir;
    writeFile(dir / "password", "a pass phrase\n");
    const std::string bytes = seededBytes(41, 7 * 65536 + 1234);
    writeFile(dir / "film.mkv", bytes);
    splitEncrypted(dir, dir / "film.mkv", "100K");
    MountPoint mnt(dir);
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse here";
    const std::string piped =
        "printf 'a pass phrase\\n' | " PARCELOR_CLI " mount --password-fd 3 '" +
        (dir / "film_spt") + "' '" + mnt.path + "' 3<&0 </dev/null 2>/dev/null";
    ASSERT_EQ(std::system(piped.c_str()), 0);
    ASSERT_TRUE(isMounted(mnt.path));
    // The daemon no longer holds the pipe as its descriptor 3.
    const pid_t daemon =
        daemonWith(std::string(PARCELOR_CLI) + '\0' + "mount" + '\0' + "--password-fd" + '\0' +
                   "3" + '\0' + (dir / "film_spt") + '\0' + mnt.path + '\0');
    ASSERT_NE(daemon, 0);
    std::error_code none;
    EXPECT_NE(fs::read_symlink("/proc/" + std::to_string(daemon) + "/fd/3", none)
                  .string()
                  .rfind("pipe:", 0),
              0u);
    EXPECT_EQ(readFile(mnt.path + "/film.mkv"), bytes);
    expectRandomReads(mnt.path + "/film.mkv", bytes, 3);
    ASSERT_EQ(parcelor(dir, {"unmount", mnt.path}).status, 0);

    const std::string src = dir / "album";
    makeSeededTree(src, 9, 30, 30000);
    const std::string big = seededBytes(10, 300000);
    writeFile(src + "/disc/big.flac", big);
    fs::create_directories(src + "/empty");
    fs::create_symlink("disc/big.flac", src + "/link");
    splitEncrypted(dir, src, "64K");
    const Outcome mounted =
        parcelor(dir, {"mount", "--password-file", dir / "password", dir / "album_spt", mnt.path});
    ASSERT_EQ(mounted.status, 0) << mounted.err;
    EXPECT_EQ(treeContents(mnt.path + "/album"), visibleTreeContents(src));
    expectRandomReads(mnt.path + "/album/disc/big.flac", big, 4);
    EXPECT_EQ(fs::read_symlink(mnt.path + "/album/link"), "disc/big.flac");
    EXPECT_TRUE(fs::is_empty(mnt.path + "/album/empty"));
    ASSERT_EQ(parcelor(dir, {"unmount", mnt.path}).status, 0);

    writeFile(dir / "wrong", "a pass phrasE\n");
    const Outcome wrong =
        parcelor(dir, {"mount", "--password-file", dir / "wrong", dir / "album_spt", mnt.path});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("wrong password"), std::string::npos) << wrong.err;
    EXPECT_FALSE(isMounted(mnt.path));
}

// A chunk changed in a piece whose checksum was made after the change (so
// only the chunk's own tag can see it) gives EIO for its range alone.
TEST(Mount, AnEncryptedChunkThatDoesNotAuthenticateGivesEioOnItsRange) {
    TempDir dir;
    writeFile(dir / "password", "pw\n");
    const std::string bytes = seededBytes(42, 6 * 65536 + 99);
    writeFile(dir / "data.bin", bytes);
    splitEncrypted(dir, dir / "data.bin", "10M");
    const std::string piece = dir / "data_spt/data_0.spt";
    const std::string sums = dir / "data_spt/SHA256SUMS";
    const std::string oldSum = sha256Of(piece);
    // Where the stream's chunks begin: after its header and the payload's nonce.
    const auto header = static_cast<int64_t>(ageHeaderSize(kAgeWriteWorkFactor) + 16);
    damage(piece, header + 3 * (65536 + 16) + 700);
    replaceText(sums, oldSum, sha256Of(piece));
    MountPoint mnt(dir);
    const Outcome mounted =
        parcelor(dir, {"mount", "--password-file", dir / "password", dir / "data_spt", mnt.path});
    if (mounted.err.find("cannot mount") != std::string::npos) GTEST_SKIP() << mounted.err;
    ASSERT_EQ(mounted.status, 0) << mounted.err;
    const int fd = open((mnt.path + "/data.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int error = 0;
    // Chunk 3 of the tar holds the file's bytes from 3·64 KiB less its headers' blocks.
    EXPECT_TRUE(preadAt(fd, 4096, 3 * 65536 + 8192, error).empty());
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(preadAt(fd, 65536, 65536, error), bytes.substr(65536, 65536));
    EXPECT_EQ(preadAt(fd, 65536, 5 * 65536, error), bytes.substr(5 * 65536, 65536));
    EXPECT_EQ(error, 0);
    close(fd);
    ASSERT_EQ(parcelor(dir, {"unmount", mnt.path}).status, 0);
}

// What the join refuses in an encrypted set, the mount refuses before
// anything is shown: a name of its tar that leaves the folder or that this
// program keeps, and a stream cut at a chunk's end.
TEST(Mount, RefusesAHostileEncryptedSetAtMount) {
    TempDir dir;
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse here";
    writeFile(dir / "password", "pw\n");
    MountPoint mnt(dir);
    const auto refused = [&](const std::string& tar, std::size_t keep, const std::string& why) {
        AgeEncryptor encryptor("pw", 10);
        std::vector<char> sealed;
        ASSERT_TRUE(encryptor.apply(tar.data(), tar.size(), sealed) && encryptor.finish(sealed));
        sealed.resize(std::min(sealed.size(), keep));
        fs::remove_all(dir / "x_spt");
        writeFile(dir / "x.age", std::string(sealed.begin(), sealed.end()));
        split(dir, dir / "x.age", "64K");
        writeFile(dir / "x_spt/ENCRYPTED", "age-encryption.org/v1\n");
        writeFile(dir / "x_spt/SHA256SUMS", readFile(dir / "x_spt/SHA256SUMS") +
                                                sha256Of(dir / "x_spt/ENCRYPTED") +
                                                "  ENCRYPTED\n");
        const Outcome mounted =
            parcelor(dir, {"mount", "--password-file", dir / "password", dir / "x_spt", mnt.path});
        EXPECT_EQ(mounted.status, 1) << why;
        EXPECT_NE(mounted.err.find(why), std::string::npos) << mounted.err;
        EXPECT_FALSE(isMounted(mnt.path));
    };
    const std::string end(1024, '\0');
    const std::string top = tarHeader("top/", 0, '5');
    const std::string evil = "evil" + std::string(508, '\0');
    refused(top + tarHeader("top/../../escape", 4, '0') + evil + end, SIZE_MAX,
            "absolute, empty or with");
    refused(top + tarHeader("top/.parcelor-run", 4, '0') + evil + end, SIZE_MAX,
            "a name this program keeps");
    refused(top + tarHeader("other", 4, '0') + evil + end, SIZE_MAX, "more than one thing");
    refused(top + tarHeader("top/a", 4, '0') + evil + end + "junk", SIZE_MAX,
            "bytes follow the tar stream");
    // Two of its three chunks: what is left ends with a chunk not sealed as the last.
    const std::string large = tarHeader("top/big", 140000, '0') + std::string(140288, 'b') + end;
    refused(top + large, ageHeaderSize(10) + 16 + 2 * (65536 + 16), "changed, cut or extended");
}

// A stop request ends a mount in the foreground: it unmounts and exits 0.
TEST(Mount, AStopUnmounts) {
    TempDir dir;
    writeFile(dir / "a.txt", seededBytes(3, 10000));
    split(dir, dir / "a.txt", "4K");
    PrivateRuntime runtime(dir);
    MountPoint mnt(dir);
    MOUNT_OR_SKIP(dir, dir / "a_spt", mnt); // the daemon, ended by unmount
    // Its state names it as soon as the mount returns.
    const pid_t served = daemonServing(mnt.path);
    ASSERT_NE(served, 0);
    ASSERT_EQ(runtime.states().size(), 1u);
    const std::string state = readFile(runtime.states()[0]);
    EXPECT_NE(state.find("process: " + std::to_string(served) + "\n"), std::string::npos) << state;
    ASSERT_EQ(parcelor(dir, {"unmount", mnt.path}).status, 0);
    EXPECT_TRUE(runtime.states().empty());
    // The daemon of a mount point named relative to where it was started,
    // stopped by a signal, unmounts it all the same.
    ASSERT_EQ(parcelor(dir, {"mount", "a_spt", "mnt"}, dir.path()).status, 0);
    ASSERT_TRUE(isMounted(mnt.path));
    const pid_t daemon = daemonServing("mnt");
    ASSERT_NE(daemon, 0);
    EXPECT_EQ(fs::canonical("/proc/" + std::to_string(daemon) + "/cwd"), fs::path("/"));
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    for (int i = 0; i < 200 && isMounted(mnt.path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_FALSE(isMounted(mnt.path));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    const std::string said = dir / "said";
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        const int err = open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 1), dup2(err, 2);
        execl(PARCELOR_CLI, PARCELOR_CLI, "mount", "-f", (dir / "a_spt").c_str(), mnt.path.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 200 && !isMounted(mnt.path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_TRUE(isMounted(mnt.path));
    EXPECT_EQ(readFile(mnt.path + "/a.txt"), seededBytes(3, 10000));
    ASSERT_EQ(kill(child, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(isMounted(mnt.path));
    EXPECT_EQ(readFile(said).find("error"), std::string::npos)
        << readFile(said); // a stop, no error
}

namespace {

std::string shellOutput(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

// Every file of `folder` with its bytes and modification time.
std::map<std::string, std::string> folderState(const std::string& folder) {
    std::map<std::string, std::string> state;
    for (const auto& entry : fs::directory_iterator(folder)) {
        struct stat st {};
        lstat(entry.path().c_str(), &st);
        state[entry.path().filename()] = readFile(entry.path()) + "@" +
                                         std::to_string(st.st_mtim.tv_sec) + "." +
                                         std::to_string(st.st_mtim.tv_nsec);
    }
    return state;
}

} // namespace

// A set with recovery pieces is served whole although a piece is lost and
// another damaged: the lost one is rebuilt when the mount starts, the
// damaged one when its check fails, both outside the set, whose folder is
// left as it was; nothing rebuilt is left behind with a name.
TEST(Mount, ReadsHealFromTheRecoveryPiecesAndTheSetsFolderIsNeverWritten) {
    TempDir dir;
    const std::string bytes = seededBytes(35, 6 * 65536 + 1234);
    writeFile(dir / "photos.tar", bytes);
    ASSERT_NO_FATAL_FAILURE(split(dir, dir / "photos.tar", "64K", true, {"--recovery=2"}));
    const std::string set = dir / "photos_spt";
    fs::remove(set + "/photos_1.spt");
    damage(set + "/photos_4.spt", 30000);
    const auto before = folderState(set);
    PrivateRuntime runtime(dir); // where the rebuilt pieces go, and the state
    MountPoint mnt(dir);
    MOUNT_OR_SKIP(dir, set, mnt);
    EXPECT_TRUE(readFile(mnt.path + "/photos.tar") == bytes);
    EXPECT_EQ(parcelor(dir, {"unmount", mnt.path}).status, 0);
    EXPECT_EQ(folderState(set), before);
    for (const auto& left : fs::recursive_directory_iterator(dir / "run"))
        EXPECT_FALSE(left.is_regular_file()) << left.path(); // no rebuilt piece, no state

    // Beyond what the recovery pieces cover, a file set missing pieces is
    // refused, as without them.
    fs::remove(set + "/photos_2.spt");
    fs::remove(set + "/photos_3.spt");
    const Outcome lost = parcelor(dir, {"mount", set, mnt.path});
    EXPECT_EQ(lost.status, 1);
    EXPECT_NE(lost.err.find("not repairable"), std::string::npos) << lost.err;
    EXPECT_FALSE(isMounted(mnt.path));
}

// A stop request ends a rebuild under way, so a stopped mount ends without
// waiting for it: the damaged piece's bytes are then not served.
TEST(Mount, AStopRequestEndsTheRebuildingOfADamagedPiece) {
    TempDir dir;
    const std::string bytes = seededBytes(36, 6 * 65536);
    writeFile(dir / "photos.tar", bytes);
    ASSERT_NO_FATAL_FAILURE(split(dir, dir / "photos.tar", "64K", true, {"--recovery=2"}));
    damage(dir / "photos_spt/photos_4.spt", 30000);
    PrivateRuntime runtime(dir);
    RunContext run;
    std::unique_ptr<SetView> view = SetView::open(dir / "photos_spt", MountOptions{}, run);
    ASSERT_TRUE(view) << run.failure().reason;
    std::string said;
    view->setReporter([&](const std::string& text) { said += text + "\n"; });
    const int64_t file = view->lookup(0, "photos.tar");
    ASSERT_GT(file, 0);
    std::string out(4096, '\0');
    ASSERT_EQ(view->read(static_cast<uint32_t>(file), out.data(), 4096, 0), 4096); // checked
    view->requestStop();
    EXPECT_EQ(view->read(static_cast<uint32_t>(file), out.data(), 4096, 4 * 65536), -EIO);
    EXPECT_NE(said.find("stopped"), std::string::npos) << said;
    EXPECT_EQ(view->pieceRebuilt(4), false);

    // Stopped while the start rebuilds a lost piece: a stop, not a missing piece.
    view.reset(); // its lock let go
    writeFile(dir / "password", "secret\n");
    fs::remove_all(dir / "photos_spt");
    ASSERT_NO_FATAL_FAILURE(split(dir, dir / "photos.tar", "64K", true,
                                  {"--recovery=2", "--password-file", dir / "password"}));
    fs::remove(dir / "photos_spt/photos_1.spt");
    std::atomic<bool> stop{false};
    RunContext stopped(&stop);
    MountOptions asked;
    asked.password = [&](MountPassword& given, RunContext&) {
        given.password = "secret";
        stop = true; // Ctrl-C, as the rebuild is about to begin
        return true;
    };
    EXPECT_FALSE(SetView::open(dir / "photos_spt", asked, stopped));
    EXPECT_EQ(stopped.failureKind(), EngineFailure::Cancelled) << stopped.failure().reason;
}

// A large file read whole is hashed in the checks of its pieces, each from
// where the file's hash stands: a piece read first, ahead of the rest, adds
// nothing out of order, and a piece that fails its check gives nothing to
// the file's hash (the one rebuilt in its place is hashed instead). Either
// way the read ends whole and as the source.
TEST(Mount, AWholeReadThroughARebuiltPieceEndsWhole) {
    TempDir dir;
    const std::string bytes = seededBytes(39, (std::size_t{17} << 20) + 777);
    writeFile(dir / "disk.img", bytes);
    ASSERT_NO_FATAL_FAILURE(split(dir, dir / "disk.img", "4M", true, {"--recovery=2"}));
    damage(dir / "disk_spt/disk_2.spt", 2000000); // past what the quick check reads
    PrivateRuntime runtime(dir);
    for (const int64_t firstAt : {int64_t{-1}, int64_t{13} << 20}) {
        SCOPED_TRACE(firstAt);
        RunContext run;
        std::unique_ptr<SetView> view = SetView::open(dir / "disk_spt", MountOptions{}, run);
        ASSERT_TRUE(view) << run.failure().reason;
        const auto file = static_cast<uint32_t>(view->lookup(0, "disk.img"));
        std::unique_ptr<SetView::WholeRead> whole = view->beginWholeRead(file);
        ASSERT_TRUE(whole);
        std::string got, step(1 << 20, '\0');
        if (firstAt >= 0) { // a piece ahead of the rest, read first
            ASSERT_EQ(view->read(file, step.data(), 4096, firstAt, whole.get()), 4096);
        }
        for (int64_t n = 0; (n = view->read(file, step.data(), 1 << 20,
                                            static_cast<int64_t>(got.size()), whole.get())) > 0;)
            got.append(step.data(), static_cast<std::size_t>(n));
        EXPECT_TRUE(got == bytes) << got.size();
        EXPECT_TRUE(view->pieceRebuilt(2));
        view->endWholeRead(std::move(whole));
    }
}

// What a mount killed while it rebuilt left in its private folder (its own
// working folder, and the repair's inside it) goes at the next rebuild.
TEST(Mount, ARebuildSweepsWhatAKilledRebuildLeft) {
    TempDir dir;
    const std::string bytes = seededBytes(37, 6 * 65536);
    writeFile(dir / "photos.tar", bytes);
    ASSERT_NO_FATAL_FAILURE(split(dir, dir / "photos.tar", "64K", true, {"--recovery=2"}));
    damage(dir / "photos_spt/photos_4.spt", 30000);
    PrivateRuntime runtime(dir);
    const pid_t killed = fork();
    ASSERT_GE(killed, 0);
    if (killed == 0) { // made as a rebuild makes them, then gone without a word
        const int base = open(runtime.path.c_str(), O_RDONLY | O_DIRECTORY);
        auto* outer = new RunFolder;
        auto* inner = new RunFolder;
        const bool made = base >= 0 && outer->create(base) && inner->create(outer->fd());
        const int piece = made ? openat(inner->fd(), "photos_4.spt", O_WRONLY | O_CREAT, 0600) : -1;
        _exit(piece >= 0 && write(piece, bytes.data(), 4096) == 4096 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(killed, &status, 0), killed);
    ASSERT_EQ(status, 0);
    ASSERT_FALSE(fs::is_empty(runtime.path));
    RunContext run;
    std::unique_ptr<SetView> view = SetView::open(dir / "photos_spt", MountOptions{}, run);
    ASSERT_TRUE(view) << run.failure().reason;
    const int64_t file = view->lookup(0, "photos.tar");
    std::string out(65536, '\0');
    ASSERT_EQ(view->read(static_cast<uint32_t>(file), out.data(), 65536, 4 * 65536), 65536);
    EXPECT_TRUE(out == bytes.substr(4 * 65536, 65536));
    EXPECT_TRUE(view->pieceRebuilt(4));
    EXPECT_TRUE(fs::is_empty(runtime.path));
}

// Other tools' numbered parts are one joined file, each part checked against
// the checksum file that lists them before its bytes go out.
TEST(Mount, NumberedPartsShowTheirJoinedFileCheckedByTheirChecksumFile) {
    TempDir dir;
    const std::string bytes = seededBytes(36, 3 * 50000 + 20000);
    std::string sums;
    for (int i = 0; i < 4; ++i) {
        const std::string name = "movie.mkv.00" + std::to_string(i + 1);
        writeFile(dir / name, bytes.substr(static_cast<std::size_t>(i) * 50000, 50000));
        sums += shellOutput("cd '" + dir.path().string() + "' && sha256sum " + name);
    }
    writeFile(dir / "movie.mkv.sha256", sums);
    MountPoint mnt(dir);
    MOUNT_OR_SKIP(dir, dir / "movie.mkv.001", mnt);
    EXPECT_TRUE(readFile(mnt.path + "/movie.mkv") == bytes);
    expectRandomReads(mnt.path + "/movie.mkv", bytes, 3);
    EXPECT_EQ(parcelor(dir, {"unmount", mnt.path}).status, 0);

    damage(dir / "movie.mkv.003", 7);
    MOUNT_OR_SKIP(dir, dir / "movie.mkv.001", mnt);
    const int fd = open((mnt.path + "/movie.mkv").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int error = 0;
    EXPECT_TRUE(preadAt(fd, 10, 100007, error).empty());
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(preadAt(fd, 10, 160000, error), bytes.substr(160000, 10)); // past its pages
    close(fd);
    EXPECT_EQ(parcelor(dir, {"unmount", mnt.path}).status, 0);

    fs::remove(dir / "movie.mkv.sha256");
    const Outcome required =
        parcelor(dir, {"mount", "--require-checksums", dir / "movie.mkv.001", mnt.path});
    EXPECT_EQ(required.status, 1) << required.err;
    EXPECT_FALSE(isMounted(mnt.path));
}

// Pieces that match SHA256SUMS can still be put together wrongly; a file
// read from its start to its end is checked against CONTENTS.sha256, and the
// read that ends it fails when it does not match. A small file is hashed as
// it is read, a large one beside its reader.
TEST(Mount, AWholeReadIsCheckedAgainstTheContentsLine) {
    for (const int64_t size : {int64_t{3} * 65536 + 5, (int64_t{17} << 20) + 5}) {
        SCOPED_TRACE(size);
        TempDir dir;
        const std::string bytes = seededBytes(37, static_cast<std::size_t>(size));
        writeFile(dir / "notes.txt", bytes);
        split(dir, dir / "notes.txt", size < (1 << 20) ? "64K" : "4M");
        const std::string set = dir / "notes_spt";
        MountPoint mnt(dir);
        MOUNT_OR_SKIP(dir, set, mnt);
        EXPECT_TRUE(readFile(mnt.path + "/notes.txt") == bytes);
        ASSERT_EQ(parcelor(dir, {"unmount", mnt.path}).status, 0);

        std::string contents = readFile(set + "/CONTENTS.sha256");
        contents[0] = contents[0] == '0' ? '1' : '0';
        writeFile(set + "/CONTENTS.sha256", contents);
        MOUNT_OR_SKIP(dir, set, mnt);
        const int fd = open((mnt.path + "/notes.txt").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::string got;
        std::vector<char> buffer(1 << 20);
        ssize_t n = 0;
        while ((n = read(fd, buffer.data(), buffer.size())) > 0)
            got.append(buffer.data(), static_cast<std::size_t>(n));
        EXPECT_LT(n, 0);
        EXPECT_EQ(errno, EIO);
        EXPECT_LT(got.size(), bytes.size());
        EXPECT_TRUE(got == bytes.substr(0, got.size()));
        close(fd);
    }
}

// The mount holds the set's shared lock for its life: a split that would
// replace the set refuses instead of changing pieces under a reader.
TEST(Mount, AReplacingSplitRefusesWhileTheSetIsMounted) {
    TempDir dir;
    PrivateRuntime runtime(dir); // where unmount learns which process serves
    const std::string bytes = seededBytes(38, 3 * 65536);
    writeFile(dir / "log.bin", bytes);
    split(dir, dir / "log.bin", "64K");
    MountPoint mnt(dir);
    MOUNT_OR_SKIP(dir, dir / "log_spt", mnt);
    writeFile(dir / "log.bin", seededBytes(39, 3 * 65536));
    const Outcome replaced =
        parcelor(dir, {"split", "-q", "-b", "64K", "--replace", dir / "log.bin", dir.path()});
    EXPECT_NE(replaced.status, 0) << replaced.err;
    EXPECT_TRUE(readFile(mnt.path + "/log.bin") == bytes);

    // Unmount returns only once the mount's process has let the set go, so
    // that a replacing split may follow it at once: here the daemon is held
    // stopped from the moment fusermount3 unmounts until 300 ms later.
    const pid_t daemon = daemonServing(mnt.path);
    ASSERT_NE(daemon, 0);
    fs::create_directory(dir / "bin");
    writeFile(dir / "bin/fusermount3", "#!/bin/sh\nkill -STOP " + std::to_string(daemon) +
                                           "\n(sleep 0.3; kill -CONT " + std::to_string(daemon) +
                                           ") &\nexec /usr/bin/fusermount3 \"$@\"\n");
    fs::permissions(dir / "bin/fusermount3", fs::perms::owner_all);
    const std::string path = std::getenv("PATH");
    setenv("PATH", (dir / "bin:" + path).c_str(), 1);
    const Outcome unmounted = parcelor(dir, {"unmount", mnt.path});
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(unmounted.status, 0) << unmounted.err;
    const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY); // what sets lock
    ASSERT_GE(folder, 0);
    EXPECT_EQ(flock(folder, LOCK_EX | LOCK_NB), 0) << "the set is still held";
    close(folder);
    kill(daemon, SIGCONT);
}

// What a running mount has found is kept for --status in a private file of
// this user's, and nothing but such a file is believed.
TEST(Mount, StatusShowsWhatTheMountFoundFromItsOwnStateOnly) {
    TempDir dir;
    PrivateRuntime runtime(dir);
    writeFile(dir / "disk.img", seededBytes(33, 4 * 65536));
    split(dir, dir / "disk.img", "64K");
    ASSERT_NO_FATAL_FAILURE(damage(dir / "disk_spt/disk_1.spt", 30000));
    MountPoint mnt(dir);
    MOUNT_OR_SKIP(dir, dir / "disk_spt", mnt);
    const auto status = [&] { return parcelor(dir, {"mount", "--status", mnt.path}); };
    Outcome shown = status();
    ASSERT_EQ(shown.status, 0) << shown.err;
    const int fd = open((mnt.path + "/disk.img").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int error = 0;
    preadAt(fd, 4096, 65536 + 4096, error);
    EXPECT_EQ(error, EIO);
    close(fd);
    // The report goes to standard output: caught through a file here.
    const std::string out = dir / "status.txt";
    ASSERT_EQ(std::system(
                  (std::string(PARCELOR_CLI) + " mount --status '" + mnt.path + "' >'" + out + "'")
                      .c_str()),
              0);
    const std::string report = readFile(out);
    EXPECT_NE(report.find("mount point: " + fs::canonical(mnt.path).string() + "\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("piece 1 does not match its SHA-256"), std::string::npos) << report;
    EXPECT_NE(report.find("check: full"), std::string::npos) << report;
    EXPECT_EQ(report.find("pieces checked: 0"), std::string::npos) << report;

    const std::vector<std::string> states = runtime.states();
    ASSERT_EQ(states.size(), 1u);
    const std::string state = states[0];
    EXPECT_EQ(fs::status(runtime.path + "/parcelor").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(state).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    // A link in its place, a file of another owner's, or a state folder that
    // is a link: none is read.
    const std::string kept = readFile(state);
    writeFile(dir / "elsewhere", kept);
    fs::remove(state);
    fs::create_symlink(dir / "elsewhere", state);
    shown = status();
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.err.find("not this user's own"), std::string::npos) << shown.err;
    fs::remove(state);
    writeFile(state, kept);
    fs::permissions(state, fs::perms::owner_read | fs::perms::owner_write);
    if (getuid() == 0) {
        ASSERT_EQ(chown(state.c_str(), 65534, 65534), 0);
        shown = status();
        EXPECT_EQ(shown.status, 1);
        EXPECT_NE(shown.err.find("not this user's own"), std::string::npos) << shown.err;
        ASSERT_EQ(chown(state.c_str(), 0, 0), 0);
    }
    fs::permissions(state, fs::perms::group_read, fs::perm_options::add);
    shown = status();
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.err.find("open to others"), std::string::npos) << shown.err;
    fs::permissions(state, fs::perms::group_read, fs::perm_options::remove);
    EXPECT_EQ(status().status, 0);
    fs::rename(runtime.path + "/parcelor", runtime.path + "/real");
    fs::create_directory_symlink(runtime.path + "/real", runtime.path + "/parcelor");
    shown = status();
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.err.find("symbolic link"), std::string::npos) << shown.err;
    fs::remove(runtime.path + "/parcelor");
    fs::rename(runtime.path + "/real", runtime.path + "/parcelor");

    // The mount's end, by a stop, takes its state away.
    const pid_t daemon = daemonServing(mnt.path);
    ASSERT_NE(daemon, 0);
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    for (int i = 0; i < 200 && !runtime.states().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_TRUE(runtime.states().empty());
    shown = status();
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.err.find("no mount"), std::string::npos) << shown.err;
}

// A daemon killed outright leaves its mount point stale: a mount there says
// so and how to clear it, and unmount clears it with the state left behind.
TEST(Mount, AKilledDaemonLeavesAStaleMountThatUnmountClears) {
    TempDir dir;
    PrivateRuntime runtime(dir);
    writeFile(dir / "a.txt", seededBytes(4, 10000));
    split(dir, dir / "a.txt", "4K");
    MountPoint mnt(dir);
    MOUNT_OR_SKIP(dir, dir / "a_spt", mnt);
    const pid_t daemon = daemonServing(mnt.path);
    ASSERT_NE(daemon, 0);
    // Something still holds it: a plain unmount is refused as busy.
    const int held = open(mnt.path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(kill(daemon, SIGKILL), 0);
    // Its attributes may still be known to the kernel; a question to the
    // daemon finds it gone (one asked as it died is aborted: ECONNABORTED).
    struct statvfs st {};
    for (int i = 0; i < 200; ++i) {
        if (statvfs(mnt.path.c_str(), &st) != 0 && errno != ECONNABORTED) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_NE(statvfs(mnt.path.c_str(), &st), 0);
    ASSERT_EQ(errno, ENOTCONN);
    EXPECT_EQ(runtime.states().size(), 1u);

    const Outcome again = parcelor(dir, {"mount", dir / "a_spt", mnt.path});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("is a stale mount of a stopped parcelor: clear it with parcelor "
                             "unmount " +
                             mnt.path),
              std::string::npos)
        << again.err;
    EXPECT_EQ(daemonServing(mnt.path), 0); // nothing was mounted over it

    const Outcome cleared = parcelor(dir, {"unmount", mnt.path});
    EXPECT_EQ(cleared.status, 0) << cleared.err;
    EXPECT_FALSE(isMounted(mnt.path));
    close(held);
    EXPECT_TRUE(runtime.states().empty());
    const Outcome remounted = parcelor(dir, {"mount", dir / "a_spt", mnt.path});
    EXPECT_EQ(remounted.status, 0) << remounted.err;
    EXPECT_EQ(readFile(mnt.path + "/a.txt"), seededBytes(4, 10000));
    EXPECT_EQ(parcelor(dir, {"unmount", mnt.path}).status, 0);
}

// A user without privileges mounts, reads, asks the status and unmounts,
// through fusermount3, where the system lets such a user use FUSE.
TEST(Mount, AnUnprivilegedUserMountsReadsAndUnmounts) {
    if (getuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    struct stat fuse {};
    if (stat("/dev/fuse", &fuse) != 0 || (fuse.st_mode & 0006) != 0006)
        GTEST_SKIP() << "/dev/fuse is not open to other users here";
    const char* fusermount =
        access("/usr/bin/fusermount3", X_OK) == 0 ? "/usr/bin/fusermount3" : "/bin/fusermount3";
    struct stat helper {};
    if (stat(fusermount, &helper) != 0 || (helper.st_mode & S_ISUID) == 0 || helper.st_uid != 0)
        GTEST_SKIP() << "fusermount3 is not installed set-user-ID root here";
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv to act as nobody";
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec |
                                    fs::perms::group_read | fs::perms::others_exec |
                                    fs::perms::others_read);
    const std::string bytes = seededBytes(5, 20000);
    writeFile(dir / "a.txt", bytes);
    split(dir, dir / "a.txt", "8K");
    std::system(("chmod -R a+rX '" + dir / "a_spt" + "'").c_str());
    const std::string mnt = dir / "mnt";
    const std::string run = dir / "run";
    for (const std::string& folder : {mnt, run}) {
        fs::create_directory(folder);
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
    }
    // Whatever happens, nothing stays mounted (root may unmount any mount).
    struct Unmount {
        std::string path;
        ~Unmount() { std::system(("fusermount3 -u -z '" + path + "' 2>/dev/null").c_str()); }
    } unmount{mnt};
    const std::string err = dir / "err";
    const auto asNobody = [&](const std::string& command) {
        const int status = std::system(
            ("setpriv --reuid=65534 --regid=65534 --clear-groups env XDG_RUNTIME_DIR='" + run +
             "' " + command + " </dev/null 2>'" + err + "'")
                .c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    };
    const std::string cli = PARCELOR_CLI;
    const int mounted = asNobody(cli + " mount '" + dir / "a_spt" + "' '" + mnt + "' >/dev/null");
    if (mounted != 0 && readFile(err).find("cannot mount") != std::string::npos)
        GTEST_SKIP() << "this user may not mount here: " << readFile(err);
    ASSERT_EQ(mounted, 0) << readFile(err);
    EXPECT_EQ(asNobody("cat '" + mnt + "/a.txt' >'" + dir / "read" + "'"), 0) << readFile(err);
    EXPECT_EQ(readFile(dir / "read"), bytes);
    EXPECT_EQ(asNobody(cli + " mount --status '" + mnt + "' >/dev/null"), 0) << readFile(err);
    EXPECT_EQ(asNobody(cli + " unmount '" + mnt + "'"), 0) << readFile(err);
    EXPECT_FALSE(isMounted(mnt));
}
