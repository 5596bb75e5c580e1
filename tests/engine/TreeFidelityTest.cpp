// A folder comes back as it went in: types, permission bits, times to the
// nanosecond, link targets, empty folders and FIFOs; and a join that fails
// changes nothing of what was there.

#include "engine/fs/run_folder.h"
#include "engine/fs/safe_fs.h"
#include "engine/fs/tree_walk.h"
#include "engine/runs/join.h"
#include "engine/runs/split.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/SystemCallSeam.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// What lstat says of an entry, and its content or link target.
struct Seen {
    mode_t type = 0;
    mode_t mode = 0;
    int64_t seconds = 0;
    long nanoseconds = 0;
    ino_t inode = 0;
    std::string content;
    bool operator==(const Seen& o) const {
        return type == o.type && mode == o.mode && seconds == o.seconds &&
               nanoseconds == o.nanoseconds && content == o.content;
    }
    // The same file, untouched: its inode, bits and bytes (a working folder
    // made and removed beside it changes its folder's times).
    bool untouched(const Seen& o) const {
        return type == o.type && mode == o.mode && content == o.content && inode == o.inode;
    }
};

// Every entry below `root` (the root as ""), never through a link.
std::map<std::string, Seen> snapshot(const std::string& root) {
    std::map<std::string, Seen> seen;
    const std::function<void(const std::string&)> walk = [&](const std::string& relative) {
        const std::string path = relative.empty() ? root : root + "/" + relative;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return;
        Seen& entry = seen[relative];
        entry.type = st.st_mode & S_IFMT;
        entry.mode = st.st_mode & 07777;
        entry.seconds = st.st_mtim.tv_sec;
        entry.nanoseconds = st.st_mtim.tv_nsec;
        entry.inode = st.st_ino;
        if (S_ISREG(st.st_mode)) entry.content = readFile(path);
        if (S_ISLNK(st.st_mode)) entry.content = fs::read_symlink(path).string();
        if (!S_ISDIR(st.st_mode)) return;
        for (const auto& item : fs::directory_iterator(path))
            walk((relative.empty() ? "" : relative + "/") + item.path().filename().string());
    };
    walk("");
    return seen;
}

void setTime(const std::string& path, int64_t seconds, long nanoseconds) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// An ordinary project folder, with the names and entries that are easy to lose.
void makeProject(const std::string& root) {
    writeFile(root + "/src/key.pem", "-----BEGIN KEY-----\n");
    fs::permissions(root + "/src/key.pem", fs::perms::owner_read | fs::perms::owner_write);
    writeFile(root + "/run.sh", "#!/bin/sh\necho hi\n");
    fs::permissions(root + "/run.sh", fs::perms::owner_all | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read |
                                          fs::perms::others_exec);
    writeFile(root + "/.git/HEAD", "ref: refs/heads/main\n");
    writeFile(root + "/.env", "TOKEN=1\n");
    fs::create_directories(root + "/build");
    writeFile(root + "/releases/v2/notes.txt", seededBytes(40, 3000));
    fs::create_symlink("releases/v2", root + "/latest");
    fs::create_symlink("nowhere", root + "/dangling");
    fs::create_symlink("loop", root + "/loop");
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0640), 0);
    writeFile(root + "/with space #=\\.txt", "s");
    writeFile(root + "/new\nline", "n");
    writeFile(root + "/bytes\xff\xfe", "b");
    writeFile(root + "/locked/inside.txt", seededBytes(41, 700));
    setTime(root + "/run.sh", 1577934245, 123456789);
    setTime(root + "/latest", 1600000000, 1);
    setTime(root + "/pipe", 1600000001, 999999999);
    setTime(root + "/build", 1600000002, 5);
    setTime(root + "/releases/v2/notes.txt", -86400, 750000000); // before 1970
    fs::permissions(root + "/locked", fs::perms::owner_read | fs::perms::owner_exec |
                                          fs::perms::group_read | fs::perms::group_exec);
    setTime(root + "/locked", 1600000003, 7);
    setTime(root, 1600000004, 8);
}

Result<SplitOutcome> splitTree(const std::string& source, const std::string& out, bool hidden,
                               int64_t pieceSize = 1000) {
    RunContext run;
    SplitOptions options;
    options.includeHidden = hidden;
    options.measureSource = true;
    return splitSource(SplitRequest{source, out, 0, pieceSize, ""}, options, run);
}

Result<JoinOutcome> joinTree(const std::string& set, const std::string& out, bool replace = true) {
    RunContext run;
    JoinOptions options;
    options.replaceExisting = replace;
    return joinSet(set, out, options, run);
}

bool mtreeAvailable() {
    return std::system("command -v mtree >/dev/null 2>&1") == 0;
}

} // namespace

TEST(TreeFidelity, AProjectFolderComesBackAsItWent) {
    TempDir dir;
    makeProject(dir / "proj");
    const auto before = snapshot(dir / "proj");
    for (const bool hidden : {true, false}) {
        SCOPED_TRACE(hidden ? "hidden items stored" : "hidden items left out");
        fs::remove_all(dir / "proj_spt");
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        ASSERT_TRUE(splitTree(dir / "proj", dir.path().string(), hidden))
            << splitTree(dir / "proj", dir.path().string(), hidden).failure().reason;
        const auto joined = joinTree(dir / "proj_spt", dir / "out");
        ASSERT_TRUE(joined) << joined.failure().reason;
        auto expected = before;
        if (!hidden) {
            for (const char* left : {".git", ".git/HEAD", ".env"})
                expected.erase(left);
        }
        const auto after = snapshot(dir / "out/proj");
        for (const auto& [path, seen] : expected) {
            SCOPED_TRACE(path);
            ASSERT_TRUE(after.count(path));
            EXPECT_TRUE(after.at(path) == seen);
        }
        EXPECT_EQ(after.size(), expected.size());
        if (mtreeAvailable()) {
            const std::string check = "mtree -f '" + dir / "proj_spt/TREE.mtree" + "' -p '" +
                                      dir / "out/proj" + "' >/dev/null";
            EXPECT_EQ(std::system(check.c_str()), 0);
        }
    }

    // Pieces are as private as what they hold: the key's bytes only in 0600
    // pieces, and the set's own files and folder as private as the key.
    int privatePieces = 0;
    for (const auto& item : fs::directory_iterator(dir / "proj_spt")) {
        struct stat st {};
        ASSERT_EQ(stat(item.path().c_str(), &st), 0);
        if (item.path().extension() == ".spt") {
            privatePieces += (st.st_mode & 0777) == 0600;
            if (readFile(item.path()).find("BEGIN KEY") != std::string::npos) {
                EXPECT_EQ(st.st_mode & 0777, 0600u) << item.path();
            }
        } else {
            EXPECT_EQ(st.st_mode & 0777, 0600u) << item.path();
        }
    }
    EXPECT_GE(privatePieces, 1);
    EXPECT_LT(privatePieces, 4); // the others hold no key
    EXPECT_EQ(fs::status(dir / "proj_spt").permissions() & fs::perms::all, fs::perms::owner_all);

    // The description reads with a standard mtree reader, entry by entry.
    archive* reader = archive_read_new();
    archive_read_support_format_mtree(reader);
    ASSERT_EQ(archive_read_open_filename(reader, (dir / "proj_spt/TREE.mtree").c_str(), 4096),
              ARCHIVE_OK);
    archive_entry* entry = nullptr;
    std::map<std::string, std::string> links;
    int entries = 0;
    while (archive_read_next_header(reader, &entry) == ARCHIVE_OK) {
        ++entries;
        if (archive_entry_filetype(entry) == AE_IFLNK)
            links[archive_entry_pathname(entry)] = archive_entry_symlink(entry);
        if (std::string(archive_entry_pathname(entry)) == "./src/key.pem") {
            EXPECT_EQ(archive_entry_perm(entry), 0600);
        }
    }
    archive_read_free(reader);
    EXPECT_EQ(entries, static_cast<int>(before.size()) - 3);
    EXPECT_EQ(links,
              (std::map<std::string, std::string>{
                  {"./latest", "releases/v2"}, {"./dangling", "nowhere"}, {"./loop", "loop"}}));
}

// A file set's description holds its one file: the join gives back its bits
// and time, and mtree checks it in the output folder.
TEST(TreeFidelity, AFileComesBackWithItsBitsAndTime) {
    TempDir dir;
    writeFile(dir / "report.pdf", seededBytes(44, 5000));
    fs::permissions(dir / "report.pdf",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    setTime(dir / "report.pdf", 1500000000, 987654321);
    ASSERT_TRUE(splitTree(dir / "report.pdf", dir.path().string(), false));
    EXPECT_EQ(readFile(dir / "report_spt/TREE.mtree").substr(0, 50),
              "#mtree\n. type=dir\n./report.pdf type=file mode=0640");
    fs::create_directories(dir / "out");
    ASSERT_TRUE(joinTree(dir / "report_spt", dir / "out"));
    EXPECT_TRUE(snapshot(dir / "out/report.pdf").at("") == snapshot(dir / "report.pdf").at(""));
    if (mtreeAvailable()) {
        const std::string check =
            "mtree -f '" + dir / "report_spt/TREE.mtree" + "' -p '" + dir / "out" + "' >/dev/null";
        EXPECT_EQ(std::system(check.c_str()), 0);
    }
}

// Replace over a tree with something in a target's way, or with a write that
// fails half-way: the old tree is byte-, bit- and inode-identical afterwards.
TEST(TreeFidelity, AFailedReplaceLeavesTheOldTreeAsItWas) {
    TempDir dir;
    writeFile(dir / "proj/a.txt", seededBytes(42, 500));
    writeFile(dir / "proj/sub/big.bin", seededBytes(43, 6000));
    writeFile(dir / "proj/sub/c.txt", "c");
    fs::create_symlink("a.txt", dir / "proj/link");
    ASSERT_EQ(mkfifo((dir / "proj/pipe").c_str(), 0600), 0);
    ASSERT_TRUE(splitTree(dir / "proj", dir.path().string(), false, 4000));

    const auto oldTree = [&](const std::function<void()>& change) {
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out/proj/sub");
        writeFile(dir / "out/proj/a.txt", "old a");
        writeFile(dir / "out/proj/sub/c.txt", "old c");
        writeFile(dir / "out/proj/mine.txt", "the user's");
        change();
    };
    const std::vector<std::pair<const char*, std::function<void()>>> inTheWay = {
        {"a link where a file goes",
         [&] {
             fs::remove(dir / "out/proj/sub/c.txt");
             fs::create_symlink("/etc/hostname", dir / "out/proj/sub/c.txt");
         }},
        {"a FIFO where a file goes",
         [&] {
             fs::remove(dir / "out/proj/sub/c.txt");
             ASSERT_EQ(mkfifo((dir / "out/proj/sub/c.txt").c_str(), 0600), 0);
         }},
        {"a folder where a file goes",
         [&] { fs::create_directories(dir / "out/proj/sub/big.bin/x"); }},
        {"a file where a folder goes",
         [&] {
             fs::remove_all(dir / "out/proj/sub");
             writeFile(dir / "out/proj/sub", "a file");
         }},
        {"a file where a link goes", [&] { writeFile(dir / "out/proj/link", "mine"); }},
    };
    for (const auto& [what, change] : inTheWay) {
        SCOPED_TRACE(what);
        oldTree(change);
        const auto before = snapshot(dir / "out");
        const auto joined = joinTree(dir / "proj_spt", dir / "out");
        ASSERT_FALSE(joined);
        EXPECT_NE(joined.failure().reason.find("nothing was changed"), std::string::npos)
            << joined.failure().reason;
        const auto after = snapshot(dir / "out");
        EXPECT_EQ(after.size(), before.size());
        for (const auto& [path, seen] : before) {
            ASSERT_TRUE(after.count(path)) << path;
            EXPECT_TRUE(after.at(path).untouched(seen)) << path;
        }
    }

    // A write that fails half-way (the file-size limit) changes nothing either.
    oldTree([] {});
    auto before = snapshot(dir / "out");
    EXPECT_NE(
        withFileSizeLimit(3000, [&] { return joinTree(dir / "proj_spt", dir / "out") ? 0 : -1; }),
        0);
    const auto after = snapshot(dir / "out");
    EXPECT_EQ(after.size(), before.size());
    for (const auto& [path, seen] : before)
        EXPECT_TRUE(after.count(path) && after.at(path).untouched(seen)) << path;

    // A move that fails among the moves at the end: the ones made are undone.
    for (const int failing : {1, 2, 3}) {
        SCOPED_TRACE(failing);
        oldTree([] {});
        const auto old = snapshot(dir / "out");
        SeamRecording seam;
        seam.refuse(SeamCall::Renameat2, "", failing, EIO);
        EXPECT_FALSE(joinTree(dir / "proj_spt", dir / "out"));
        EXPECT_EQ(seam.actionsRun(), 1);
        const auto now = snapshot(dir / "out");
        EXPECT_EQ(now.size(), old.size());
        for (const auto& [path, seen] : old)
            EXPECT_TRUE(now.count(path) && now.at(path).untouched(seen)) << path;
    }

    // Without a fault it replaces, adds, keeps what is the user's, and says so.
    const auto joined = joinTree(dir / "proj_spt", dir / "out");
    ASSERT_TRUE(joined) << joined.failure().reason;
    EXPECT_EQ(joined->filesReplaced, 2);
    EXPECT_EQ(joined->filesAdded, 1);
    EXPECT_EQ(readFile(dir / "out/proj/sub/big.bin"), seededBytes(43, 6000));
    EXPECT_EQ(readFile(dir / "out/proj/mine.txt"), "the user's");
    EXPECT_EQ(fs::read_symlink(dir / "out/proj/link"), "a.txt");
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(dir / "out/proj/pipe")));
}

// A description that does not agree with the manifest, or would place
// anything outside the tree, is refused before anything is written.
TEST(TreeFidelity, AHostileTreeDescriptionIsRefused) {
    TempDir dir;
    writeFile(dir / "proj/a.txt", "aaaa");
    writeFile(dir / "proj/d/b.txt", "bbbb");
    ASSERT_TRUE(splitTree(dir / "proj", dir.path().string(), false));
    // With the checksum files, a description they do not list, or that does
    // not match its line, is damage.
    const std::string sums = readFile(dir / "proj_spt/SHA256SUMS");
    writeFile(dir / "proj_spt/SHA256SUMS", sums.substr(0, sums.find("TREE.mtree") - 66));
    fs::create_directories(dir / "out");
    EXPECT_EQ(joinTree(dir / "proj_spt", dir / "out").failure().kind,
              EngineFailure::ChecksumsDamaged);
    writeFile(dir / "proj_spt/SHA256SUMS", sums);
    writeFile(dir / "proj_spt/TREE.mtree",
              readFile(dir / "proj_spt/TREE.mtree") + "./x type=fifo mode=0644 time=1.000000000\n");
    EXPECT_EQ(joinTree(dir / "proj_spt", dir / "out").failure().kind,
              EngineFailure::ChecksumsDamaged);
    EXPECT_TRUE(fs::is_empty(dir / "out"));
    // Checksums gone, so nothing but the manifest stands behind the description.
    fs::remove(dir / "proj_spt/SHA256SUMS");
    fs::remove(dir / "proj_spt/CONTENTS.sha256");
    const std::string good = readFile(dir / "proj_spt/TREE.mtree");
    const std::string time = " mode=0644 time=1.000000000";
    const std::string file = " type=file" + time + " size=4\n";
    const std::string dirLine = " type=dir mode=0755 time=1.000000000\n";
    const std::vector<std::pair<const char*, std::string>> hostile = {
        {"a name going up", "#mtree\n." + dirLine + "./../escape type=link" + time + " link=x\n"},
        {"an absolute name", "#mtree\n." + dirLine + "/etc/x type=fifo" + time + "\n"},
        {"a file placed through a link", "#mtree\n." + dirLine + "./d type=link" + time +
                                             " link=/tmp\n./a.txt" + file + "./d/b.txt" + file},
        {"a file the manifest does not hold", "#mtree\n." + dirLine + "./a.txt" + file + "./d" +
                                                  dirLine + "./d/b.txt" + file + "./d/c.txt" +
                                                  file},
        {"a size that differs", "#mtree\n." + dirLine + "./a.txt type=file" + time +
                                    " size=5\n./d" + dirLine + "./d/b.txt" + file},
        {"a huge line", "#mtree\n." + dirLine + "./" + std::string(100000, 'x') + file},
        {"a NUL in a name", "#mtree\n." + dirLine + "./a\\000 type=fifo" + time + "\n"},
        {"a link listed after the file of its name",
         good.substr(0, good.find('\n', good.find("./a.txt ")) + 1) + "./a.txt type=link" + time +
             " link=x\n" + good.substr(good.find('\n', good.find("./a.txt ")) + 1)},
        {"a folder listed twice", "#mtree\n." + dirLine + "./a.txt" + file + "./d" + dirLine +
                                      "./d" + dirLine + "./d/b.txt" + file},
        {"a FIFO listed twice", "#mtree\n." + dirLine + "./p type=fifo" + time + "\n./p type=fifo" +
                                    time + "\n./a.txt" + file + "./d" + dirLine + "./d/b.txt" +
                                    file},
        {"an entry below a FIFO", "#mtree\n." + dirLine + "./p type=fifo" + time +
                                      "\n./p/q type=fifo" + time + "\n./a.txt" + file + "./d" +
                                      dirLine + "./d/b.txt" + file},
        {"a \"..\" inside a name", "#mtree\n." + dirLine + "./a.txt" + file + "./d" + dirLine +
                                       "./d/.." + dirLine + "./d/b.txt" + file},
        {"a file with a folder's setgid bit", "#mtree\n." + dirLine +
                                                  "./a.txt type=file mode=2644 time=1.000000000 "
                                                  "size=4\n./d" +
                                                  dirLine + "./d/b.txt" + file},
    };
    for (const auto& [what, text] : hostile) {
        SCOPED_TRACE(what);
        writeFile(dir / "proj_spt/TREE.mtree", text);
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        const auto joined = joinTree(dir / "proj_spt", dir / "out");
        ASSERT_FALSE(joined);
        EXPECT_EQ(joined.failure().kind, EngineFailure::ChecksumsDamaged)
            << joined.failure().reason;
        EXPECT_TRUE(fs::is_empty(dir / "out"));
    }
    EXPECT_FALSE(exists(dir / "escape"));
    writeFile(dir / "proj_spt/TREE.mtree", good);
    EXPECT_TRUE(joinTree(dir / "proj_spt", dir / "out"));
}

// Into a tree that lacks some of the set's folders, under names whose
// journal lines are long: a move that fails, a kill once every move is made
// (undone by the next run's sweep), and a folder put in place of a file the
// join replaces, all leave the old tree as it was, without a folder more.
TEST(TreeFidelity, AJoinIntoATreeThatFailsOrIsKilledLeavesItAsItWas) {
    TempDir dir;
    std::string wide, deep; // two bytes a character, each escaped as four
    for (int i = 0; i < 60; ++i)
        wide += "\xc3\xbc";
    for (int i = 0; i < 110; ++i)
        deep += "\xc3\xa9";
    writeFile(dir / (wide + "/a.txt"), seededBytes(50, 500));
    writeFile(dir / (wide + "/" + deep + "/new/c.txt"), seededBytes(51, 500));
    ASSERT_TRUE(splitTree(dir / wide, dir.path().string(), false));
    const std::string set = dir / (wide + "_spt");
    const std::string tree = dir / ("out/" + wide);
    const auto oldTree = [&] {
        fs::remove_all(dir / "out");
        writeFile(tree + "/a.txt", "old a");
        return snapshot(dir / "out");
    };
    const auto unchanged = [&](const std::map<std::string, Seen>& before) {
        const auto after = snapshot(dir / "out");
        EXPECT_EQ(after.size(), before.size());
        for (const auto& [path, seen] : before)
            EXPECT_TRUE(after.count(path) && after.at(path).untouched(seen)) << path;
    };

    {
        SCOPED_TRACE("a move that fails");
        const auto before = oldTree();
        SeamRecording seam;
        seam.refuse(SeamCall::Renameat2, "", 1, EIO);
        EXPECT_FALSE(joinTree(set, dir / "out"));
        unchanged(before);
    }
    {
        SCOPED_TRACE("killed before its journal goes");
        const auto before = oldTree();
        const pid_t child = fork();
        if (child == 0) {
            SeamRecording seam;
            // Killed by SIGKILL, as a real kill is: an exit would run an exit's
            // own work, such as ThreadSanitizer's report of the join's threads
            // that are done but not yet joined.
            seam.before(SeamCall::Unlinkat, ".parcelor-join-journal", 1,
                        [](const SeamEvent&) { kill(getpid(), SIGKILL); });
            _exit(joinTree(set, dir / "out") ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        EXPECT_EQ(readFile(tree + "/a.txt"), seededBytes(50, 500)); // every move was made
        RunContext run;
        const FileDescriptor out = openFolderPath(dir / "out");
        ASSERT_TRUE(sweepWhenAlone(out.get(), run));
        unchanged(before);
    }
    {
        SCOPED_TRACE("a folder put in place of a replaced file");
        oldTree();
        SeamRecording seam;
        seam.before(
            SeamCall::Renameat2, "", 1,
            [&](const SeamEvent&) {
                fs::remove(tree + "/a.txt");
                writeFile(tree + "/a.txt/mine.txt", "the user's");
            },
            RENAME_EXCHANGE);
        EXPECT_FALSE(joinTree(set, dir / "out"));
        EXPECT_EQ(readFile(tree + "/a.txt/mine.txt"), "the user's");
        EXPECT_FALSE(fs::exists(tree + "/" + deep));
    }

    oldTree();
    ASSERT_TRUE(joinTree(set, dir / "out"));
    EXPECT_EQ(readFile(tree + "/" + deep + "/new/c.txt"), seededBytes(51, 500));
}

// A class that may not search a folder reads nothing below it, whatever the
// files' own bits say: the pieces holding those files, and the set's own
// files, are as closed to it.
TEST(TreeFidelity, APieceIsNoMoreReadableThanTheFoldersAboveItsFiles) {
    TempDir dir;
    writeFile(dir / "src/shared/a.txt", "shared " + seededBytes(52, 1000));
    writeFile(dir / "src/mine/b.txt", "mine " + seededBytes(53, 1000));
    fs::permissions(dir / "src/shared",
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    fs::permissions(dir / "src/mine", fs::perms::owner_all);
    ASSERT_TRUE(splitTree(dir / "src", dir.path().string(), false, 700));
    for (const auto& item : fs::directory_iterator(dir / "src_spt")) {
        SCOPED_TRACE(item.path().string());
        const std::string bytes = readFile(item.path());
        const mode_t mode = static_cast<mode_t>(fs::status(item).permissions() & fs::perms::all);
        if (item.path().extension() != ".spt" || bytes.find("mine ") != std::string::npos) {
            EXPECT_EQ(mode & 077, 0u);
        }
        if (bytes.find("shared ") != std::string::npos) {
            EXPECT_EQ(mode & 007, 0u);
        }
    }
}

// A read-only tree (a module cache: read-only files in read-only folders)
// split and joined by its unprivileged owner: the set leaves no marker of
// the run behind and its pieces can go, and the tree comes back with its
// root as read-only as it was.
TEST(TreeFidelity, AReadOnlyTreeGoesThroughASplitAndAJoinByAnUnprivilegedOwner) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    EXPECT_EQ(asUnprivilegedUser([&] {
                  writeFile(dir / "ro/sub/a.txt", "aaaa");
                  fs::create_directories(dir / "out");
                  fs::permissions(dir / "ro/sub/a.txt", static_cast<fs::perms>(0444));
                  fs::permissions(dir / "ro/sub", static_cast<fs::perms>(0555));
                  fs::permissions(dir / "ro", static_cast<fs::perms>(0555));
                  if (!splitTree(dir / "ro", dir.path().string(), false)) return 1;
                  if (fs::exists(dir / "ro_spt/.parcelor-run")) return 2;
                  RunContext run;
                  JoinOptions options;
                  options.removePieces = true;
                  const auto joined = joinSet(dir / "ro_spt", dir / "out", options, run);
                  return joined && !joined->removalFailure ? 0 : 3;
              }),
              0);
    EXPECT_FALSE(fs::exists(dir / "ro_spt/ro_0.spt"));
    EXPECT_EQ(readFile(dir / "out/ro/sub/a.txt"), "aaaa");
    EXPECT_EQ(fs::status(dir / "out/ro").permissions() & fs::perms::all,
              static_cast<fs::perms>(0555));
}

// A replacing join never changes the bits of a folder that was there before
// it, and says how many it kept unlike the set's.
TEST(TreeFidelity, AJoinIntoAnExistingTreeKeepsThePermissionsOfItsFolders) {
    TempDir dir;
    writeFile(dir / "t/d/b.txt", "new b");
    writeFile(dir / "t/a.txt", "new a");
    ASSERT_TRUE(splitTree(dir / "t", dir.path().string(), false));
    writeFile(dir / "out/t/d/b.txt", "old b");
    fs::permissions(dir / "out/t/d", fs::perms(0700));
    RunContext run;
    JoinOptions options;
    options.replaceExisting = true;
    ASSERT_TRUE(joinSet(dir / "t_spt", dir / "out", options, run));
    EXPECT_EQ(readFile(dir / "out/t/d/b.txt"), "new b");
    EXPECT_EQ(fs::status(dir / "out/t/d").permissions(), fs::perms(0700));
    const std::vector<std::string> notes = run.takeNotes();
    EXPECT_NE(std::find(notes.begin(), notes.end(), "kept the permissions of 1 existing folder"),
              notes.end());
}

// Without a tree description (a set of an earlier build), a new file is no
// more readable than the pieces it is joined from.
TEST(TreeFidelity, AFileOfASetWithoutADescriptionIsAsPrivateAsItsPieces) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(60, 3000));
    RunContext run;
    SplitOptions options;
    options.measureSource = true;
    options.writeChecksums = false;
    ASSERT_TRUE(
        splitSource(SplitRequest{dir / "f.bin", dir.path().string(), 0, 1000, ""}, options, run));
    fs::remove(dir / "f_spt/TREE.mtree");
    for (int i = 0; i < 3; ++i)
        fs::permissions(dir / ("f_spt/f_" + std::to_string(i) + ".spt"), fs::perms(0600));
    fs::create_directories(dir / "out");
    const auto joined = joinTree(dir / "f_spt", dir / "out");
    ASSERT_TRUE(joined) << joined.failure().reason;
    EXPECT_EQ(readFile(dir / "out/f.bin"), seededBytes(60, 3000));
    EXPECT_EQ(fs::status(dir / "out/f.bin").permissions(), fs::perms(0600));
}
