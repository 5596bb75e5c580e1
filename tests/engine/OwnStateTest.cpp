// Only what this program made, for this user, steers a run: working folders,
// markers and journals planted by someone else, or carried in by a set, are
// left alone; the names of the working state are refused in a set.

#include "engine/fs/run_folder.h"
#include "engine/fs/safe_fs.h"
#include "engine/fs/tree_walk.h"
#include "engine/runs/join.h"
#include "engine/runs/split.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/SystemCallSeam.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

Result<SplitOutcome> split(const std::string& source, const std::string& out,
                           bool checksums = true) {
    RunContext run;
    SplitOptions options;
    options.measureSource = true;
    options.includeHidden = true;
    options.writeChecksums = checksums;
    return splitSource(SplitRequest{source, out, 0, 1000, ""}, options, run);
}

Result<JoinOutcome> join(const std::string& set, const std::string& out,
                         std::string* notes = nullptr) {
    RunContext run;
    JoinOptions options;
    options.replaceExisting = true;
    Result<JoinOutcome> joined = joinSet(set, out, options, run);
    for (const std::string& note : run.takeNotes())
        if (notes) *notes += note + "\n";
    return joined;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The same bytes under another name of the same length.
void replaceText(const std::string& path, const std::string& from, const std::string& to) {
    std::string text = readFile(path);
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at))
        text.replace(at, from.size(), to);
    writeFile(path, text);
}

// A journal line as a join writes it: kind, identity, folder, name, temporary.
std::string journalLine(char kind, const std::string& of, const std::string& folder,
                        const std::string& name, const std::string& temporary) {
    struct stat st {};
    lstat(of.c_str(), &st);
    return std::string(1, kind) + " " + std::to_string(st.st_dev) + " " +
           std::to_string(st.st_ino) + " " + folder + " " + name + " " + temporary + "\n";
}

} // namespace

// Another user's folder named as a working folder, in a folder everyone may
// write to, with a join journal reaching out of it and a replace journal
// naming a private folder beside it: the runs of root there change neither.
// A journal of one's own that names a path going up is not followed either.
TEST(OwnState, JournalsPlantedInASharedFolderSteerNothing) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    const std::string shared = dir / "shared";
    writeFile(shared + "/victim/precious.txt", "root's");
    fs::permissions(shared + "/victim/precious.txt", fs::perms(0600));
    fs::create_directories(shared + "/alice");
    fs::permissions(shared + "/alice", fs::perms(0700));
    fs::permissions(shared, fs::perms(01777));
    writeFile(dir / "any.bin", seededBytes(3, 2500));
    ASSERT_TRUE(split(dir / "any.bin", dir.path().string()));

    writeFile(shared + "/victim/other.txt", "root's too");
    const std::string join1 = shared + "/.parcelor-tmp-00000000000a";
    const std::string replace1 = shared + "/.parcelor-tmp-00000000000b";
    // Journals that would act if their folders were trusted: the identities
    // they name are right. Those of one's own reach up and out, or name a
    // folder that is not the one the replacement made.
    const auto plant = [&](bool own) {
        const std::string victim = own ? "../shared/victim" : "victim";
        writeFile(join1 + "/.parcelor-run", "parcelor-run 1\n");
        writeFile(join1 + "/.parcelor-tmp-00000000000c", "the planter's");
        writeFile(join1 + "/.parcelor-join-journal",
                  journalLine('x', shared + "/victim/precious.txt", victim, "precious.txt",
                              ".parcelor-tmp-00000000000c") +
                      journalLine('n', shared + "/victim/other.txt", victim, "other.txt",
                                  ".parcelor-tmp-00000000000d"));
        struct stat alice {};
        lstat((shared + "/alice").c_str(), &alice);
        const std::string identity =
            own ? "1 1" : std::to_string(alice.st_dev) + " " + std::to_string(alice.st_ino);
        writeFile(replace1 + "/planted.txt", "the planter's");
        writeFile(replace1 + "/.parcelor-run", std::string("parcelor-replace 2\0alice\0", 25) +
                                                   identity + " 700 0 0" + std::string(1, '\0'));
        fs::permissions(join1, fs::perms(0700));
        fs::permissions(replace1, fs::perms(0700));
    };
    ASSERT_EQ(asUnprivilegedUser([&] {
                  plant(false);
                  return 0;
              }),
              0);
    ASSERT_EQ(fs::status(join1).permissions(), fs::perms(0700));
    // Files of root's in them (root's own earlier runs, say): the folders
    // are still another user's.
    for (const auto& entry : fs::recursive_directory_iterator(shared)) {
        if (entry.path().string().find("/.parcelor-tmp-") != std::string::npos) {
            ASSERT_EQ(lchown(entry.path().c_str(), 0, 0), 0);
        }
    }
    for (const std::string& folder : {join1, replace1})
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    // A folder of root's whose marker is another user's.
    const std::string marked = shared + "/.parcelor-tmp-00000000000e";
    writeFile(marked + "/.parcelor-run", "parcelor-run 1\n");
    writeFile(marked + "/keep.txt", "kept");
    fs::permissions(marked, fs::perms(0700));
    ASSERT_EQ(chown((marked + "/.parcelor-run").c_str(), 65534, 65534), 0);
    for (const bool own : {false, true}) {
        SCOPED_TRACE(own ? "the user's own, naming what it must not" : "another user's");
        std::string notes;
        ASSERT_TRUE(join(dir / "any_spt", shared, &notes));
        ASSERT_TRUE(split(dir / "any.bin", shared));
        EXPECT_EQ(readFile(shared + "/victim/precious.txt"), "root's");
        EXPECT_EQ(modeOf(shared + "/victim/precious.txt"), 0600u);
        EXPECT_EQ(readFile(shared + "/victim/other.txt"), "root's too");
        EXPECT_TRUE(fs::is_empty(shared + "/alice"));
        EXPECT_EQ(readFile(join1 + "/.parcelor-tmp-00000000000c"), "the planter's");
        EXPECT_EQ(readFile(replace1 + "/planted.txt"), "the planter's");
        EXPECT_EQ(readFile(marked + "/keep.txt"), "kept");
        // Each one named once, in the one sentence that says it was left alone.
        const std::size_t said = notes.find("left alone folders named like this program's");
        ASSERT_NE(said, std::string::npos) << notes;
        const std::string leftAlone = notes.substr(said, notes.find_first_of(";\n", said) - said);
        for (const char* name : {".parcelor-tmp-00000000000a", ".parcelor-tmp-00000000000b",
                                 ".parcelor-tmp-00000000000e"})
            EXPECT_NE(leftAlone.find(name), std::string::npos) << notes;
        fs::remove_all(shared + "/any.bin");
        fs::remove_all(shared + "/any_spt");
        fs::remove_all(join1);
        fs::remove_all(replace1);
        plant(true);
    }
    // Nor does any path of a journal reach above the folder it is read in.
    const FileDescriptor root = openFolderPath(shared);
    for (const char* path : {"..", "victim/..", "./victim", "victim//x", "/etc"}) {
        EXPECT_FALSE(openFolderBelow(root.get(), path, false)) << path;
        EXPECT_EQ(errno, EINVAL) << path;
    }
}

// A set that carries a folder named as a working folder, with a marker in
// the form of a replace journal, is refused by the join before anything is
// written; a split never stores such names, and says which it left out.
TEST(OwnState, ASetCannotCarryWorkingStateIntoTheNextRun) {
    TempDir dir;
    const std::string disguised = dir / "src/xparcelor-tmp-0123456789ab";
    writeFile(disguised + "/xparcelor-run", "parcelor-replace 2");
    writeFile(disguised + "/authorized_keys", "ssh-ed25519 AAAA planted");
    ASSERT_EQ(mkfifo((dir / "src/xparcelor-join-journal").c_str(), 0600), 0);
    ASSERT_TRUE(split(dir / "src", dir.path().string(), false));
    // What another program could have written: the same set under the
    // reserved names, in its tree description alone, then in its manifest.
    fs::create_directories(dir / "home/.ssh");
    const auto refused = [&](const std::string& named) {
        const Result<JoinOutcome> joined = join(dir / "src_spt", dir / "home");
        ASSERT_FALSE(joined);
        EXPECT_NE(joined.failure().reason.find("\"" + named + "\", a name this program keeps"),
                  std::string::npos)
            << joined.failure().reason;
        EXPECT_EQ(treeContents(dir / "home"), (std::map<std::string, std::string>{}));
    };
    replaceText(dir / "src_spt/TREE.mtree", "xparcelor-join-journal", ".parcelor-join-journal");
    refused("src/.parcelor-join-journal");
    fs::remove(dir / "src_spt/TREE.mtree");
    replaceText(dir / "src_spt/spt_config.morvspt", "xparcelor-", ".parcelor-");
    refused("src/.parcelor-tmp-0123456789ab/.parcelor-run");

    // The split leaves the reserved names out, and names them.
    fs::rename(disguised, dir / "src/.parcelor-tmp-0123456789ab");
    writeFile(dir / "src/deep/.parcelor-run", "x");
    writeFile(dir / "src/notes.txt", "n");
    RunContext run;
    TreeMeasure measure;
    ASSERT_TRUE(measureTree(dir / "src", true, measure, run));
    EXPECT_EQ(measure.leftOut.reserved, 2);
    EXPECT_NE(describeLeftOut(measure.leftOut, "").find(".parcelor-tmp-0123456789ab"),
              std::string::npos);
    fs::remove_all(dir / "src_spt");
    ASSERT_TRUE(split(dir / "src", dir.path().string()));
    ASSERT_TRUE(join(dir / "src_spt", dir / "home"));
    EXPECT_EQ(treeContents(dir / "home/src"),
              (std::map<std::string, std::string>{{"notes.txt", "n"}}));
    // Nor is a source of that name split.
    EXPECT_FALSE(split(dir / "src/.parcelor-tmp-0123456789ab", dir.path().string()));
}

// Whatever the umask, a working folder is private to the user from its
// making until the set it holds is in place; the set then has its own bits.
TEST(OwnState, WorkingFoldersArePrivateUnderEveryUmask) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(4, 3000));
    for (const mode_t mask : {mode_t{002}, mode_t{000}}) {
        SCOPED_TRACE(mask);
        const mode_t before = umask(mask);
        std::vector<mode_t> seen;
        {
            SeamRecording seam;
            seam.before(SeamCall::Renameat2, "", 1, [&](const SeamEvent&) {
                for (const auto& entry : fs::directory_iterator(dir.path()))
                    if (entry.path().filename().string().rfind(".parcelor-tmp-", 0) == 0)
                        seen.push_back(modeOf(entry.path()));
            });
            fs::remove_all(dir / "f_spt");
            EXPECT_TRUE(split(dir / "f.bin", dir.path().string()));
        }
        umask(before);
        ASSERT_FALSE(seen.empty());
        for (const mode_t mode : seen)
            EXPECT_EQ(mode, 0700u);
        EXPECT_EQ(modeOf(dir / "f_spt"), 0777u & ~mask);
    }
}

// In one's own working folder, a join journal that another user owns, or
// that is also another file's name, steers nothing: the entry its move would
// undo stays. One's own undoes it.
TEST(OwnState, AJoinJournalThatIsNotOnesOwnAloneIsNotActedOn) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give a file to another owner";
    TempDir dir;
    const std::string out = dir / "out";
    writeFile(out + "/moved.txt", "the user's");
    const std::string work = out + "/.parcelor-tmp-00000000000a";
    const auto sweep = [&] {
        const FileDescriptor folder = openFolderPath(out);
        RunContext run;
        sweepLeftovers(folder.get(), run);
    };
    for (const char* how : {"another user's", "with a second name", "one's own"}) {
        SCOPED_TRACE(how);
        writeFile(work + "/.parcelor-run", "parcelor-run 1\n");
        writeFile(
            work + "/.parcelor-join-journal",
            journalLine('n', out + "/moved.txt", ".", "moved.txt", ".parcelor-tmp-00000000000b"));
        fs::permissions(work, fs::perms(0700));
        if (how[0] == 'a') {
            ASSERT_EQ(chown((work + "/.parcelor-join-journal").c_str(), 65534, 65534), 0);
        }
        if (how[0] == 'w') fs::create_hard_link(work + "/.parcelor-join-journal", dir / "second");
        sweep();
        EXPECT_EQ(exists(out + "/moved.txt"), how[0] != 'o');
        fs::remove_all(work);
        fs::remove(dir / "second");
    }
}
