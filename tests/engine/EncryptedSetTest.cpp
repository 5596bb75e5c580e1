// Encrypted sets: what goes in comes out, through our join and through
// `age -d | tar x`; nothing of the source shows in the set's files; any
// damage, a wrong or empty password, or a hostile tar inside is refused with
// nothing put in place.

#include "engine/format/age_format.h"
#include "engine/runs/encrypted_set.h"
#include "engine/runs/join.h"
#include "engine/runs/split.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

Result<SplitOutcome> encryptInto(const std::string& source, const std::string& out,
                                 int64_t pieceSize, const std::string& password,
                                 const std::string& name = "", RecoveryRequest recovery = {}) {
    fs::create_directories(out);
    SplitRequest request;
    request.source = source;
    request.outFolder = out;
    request.pieceSize = pieceSize;
    SplitOptions options;
    options.measureSource = true;
    options.encryptPassword = password;
    options.encryptWorkFactor = 10;
    options.setName = name;
    options.recovery = recovery;
    RunContext run;
    return splitSource(request, options, run);
}

Result<JoinOutcome> decryptInto(const std::string& set, const std::string& out,
                                const std::string& password) {
    fs::create_directories(out);
    JoinOptions options;
    options.password = password;
    RunContext run;
    return joinSet(set, out, options, run);
}

// Gives the ustar hard link in `tar` the 4 bytes "evil" to carry, as tar
// allows (and reads as a file of that link): no writer makes one.
void giveHardLinkBytes(std::vector<char>& tar) {
    for (std::size_t at = 0; at + 512 <= tar.size(); at += 512) {
        char* header = tar.data() + at;
        if (std::memcmp(header + 257, "ustar", 5) != 0 || header[156] != '1') continue;
        std::memcpy(header + 124, "00000000004", 11);
        std::memset(header + 148, ' ', 8);
        unsigned sum = 0;
        for (int i = 0; i < 512; ++i)
            sum += static_cast<unsigned char>(header[i]);
        std::snprintf(header + 148, 8, "%06o", sum);
        std::vector<char> bytes(512, '\0');
        std::memcpy(bytes.data(), "evil", 4);
        tar.insert(tar.begin() + static_cast<std::ptrdiff_t>(at + 512), bytes.begin(), bytes.end());
        return;
    }
}

std::string allBytesOf(const std::string& folder) {
    std::string all;
    for (const auto& entry : fs::directory_iterator(folder))
        all += readFile(entry.path().string());
    return all;
}

} // namespace

TEST(EncryptedSet, FilesAndFoldersComeBackThroughOurJoinAndThroughAgeAndTar) {
    TempDir dir;
    const std::string secretName = "q7Zr4kTbW9xYv2LpNfHs";
    makeSeededTree(dir / "tree", 3, 40, 70000);
    writeFile(dir / ("tree/" + secretName + " with space\nand newline"), "inside");
    fs::create_directories(dir / "tree/empty folder");
    fs::create_symlink("../nowhere", dir / "tree/dangling");
    writeFile(dir / "empty.bin", "");
    writeFile(dir / "one.bin", seededBytes(8, 3 * kAgeChunk + 11));
    struct Case {
        std::string source, name, top;
    };
    for (const Case& c :
         {Case{dir / "tree", "", "tree"}, Case{dir / "tree", "holiday", "tree"},
          Case{dir / "empty.bin", "", "empty.bin"}, Case{dir / "one.bin", "", "one.bin"}}) {
        SCOPED_TRACE(c.source + " as " + c.top);
        const std::string out = dir / ("sets-" + c.top + c.name);
        const Result<SplitOutcome> split =
            encryptInto(c.source, out, 50000, "a long pass phrase", c.name);
        ASSERT_TRUE(split) << split.failure().reason;
        const std::string set = split->pieceFolder;
        const std::string bytes = allBytesOf(set);
        EXPECT_EQ(bytes.find(secretName), std::string::npos);
        if (!c.name.empty()) {
            EXPECT_EQ(bytes.find("tree"), std::string::npos);
        }
        EXPECT_EQ(readFile(set + "/ENCRYPTED"), kEncryptedMarkerText);
        EXPECT_FALSE(fs::exists(set + "/CONTENTS.sha256")); // the tags check the content
        const std::string manifest = readFile(set + "/spt_config.morvspt");
        EXPECT_EQ(manifest.find("a long pass phrase"), std::string::npos);

        const std::string joined = dir / ("joined-" + c.top + c.name);
        const Result<JoinOutcome> back = decryptInto(set, joined, "a long pass phrase");
        ASSERT_TRUE(back) << back.failure().reason;
        const std::string made = joined + "/" + c.top;
        if (fs::is_directory(c.source)) {
            EXPECT_EQ(treeContents(made), visibleTreeContents(c.source));
            EXPECT_TRUE(fs::is_directory(made + "/empty folder"));
            EXPECT_EQ(fs::read_symlink(made + "/dangling"), "../nowhere");
        } else {
            EXPECT_EQ(readFile(made), readFile(c.source));
        }
    }
    // Without this program: the pieces in order are an age file holding a tar.
    if (std::system("command -v age >/dev/null && command -v tar >/dev/null") != 0) GTEST_SKIP();
    std::string stream;
    for (int i = 0;
         fs::exists(dir / ("sets-treeholiday/holiday_spt/holiday_" + std::to_string(i) + ".spt"));
         ++i)
        stream +=
            readFile(dir / ("sets-treeholiday/holiday_spt/holiday_" + std::to_string(i) + ".spt"));
    writeFile(dir / "holiday.age", stream);
    fs::create_directories(dir / "by-hand");
    const std::string command = std::string("python3 ") + AGE_WITH_PASSPHRASE +
                                " 'a long pass phrase' -d -o " + (dir / "holiday.tar") + " " +
                                (dir / "holiday.age") + " >/dev/null && tar xf " +
                                (dir / "holiday.tar") + " -C " + (dir / "by-hand");
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(treeContents(dir / "by-hand/tree"), visibleTreeContents(dir / "tree"));
}

TEST(EncryptedSet, ItsRecoveryPiecesMendALostOrADamagedPieceForTheJoin) {
    TempDir dir;
    const std::string data = seededBytes(5, 300000);
    writeFile(dir / "data.bin", data);
    const Result<SplitOutcome> split =
        encryptInto(dir / "data.bin", dir / "out", 50000, "right", "", {1, 0});
    ASSERT_TRUE(split) << split.failure().reason;
    const std::string piece = split->pieceFolder + "/data_2.spt";
    const std::string whole = readFile(piece);
    std::string flipped = whole;
    flipped[4000] ^= 1;
    for (const std::string& damaged : {std::string(), flipped}) {
        SCOPED_TRACE(damaged.empty() ? "lost" : "damaged");
        if (damaged.empty())
            fs::remove(piece);
        else
            writeFile(piece, damaged);
        const std::string out = dir / ("joined-" + std::to_string(damaged.size()));
        const Result<JoinOutcome> joined = decryptInto(split->pieceFolder, out, "right");
        ASSERT_TRUE(joined) << joined.failure().reason;
        EXPECT_NE(joined->rebuilt.find("from the recovery pieces"), std::string::npos);
        EXPECT_EQ(readFile(out + "/data.bin"), data);
        EXPECT_EQ(damaged.empty() ? !fs::exists(piece) : readFile(piece) == damaged,
                  true); // the set is only read
    }
    // Joined again over the file: the file it replaces keeps its owner.
    if (geteuid() != 0) GTEST_SKIP() << "only root can give a file to another owner";
    const std::string joined = dir / "joined-0/data.bin";
    ASSERT_EQ(chown(joined.c_str(), 65534, 65534), 0);
    writeFile(piece, whole);
    ASSERT_TRUE(decryptInto(split->pieceFolder, dir / "joined-0", "right"));
    struct stat st {};
    ASSERT_EQ(stat(joined.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(readFile(joined), data);
}

TEST(EncryptedSet, DamageAWrongPasswordOrAHostileStreamPutsNothingInPlace) {
    TempDir dir;
    writeFile(dir / "data.bin", seededBytes(2, 200000));
    const Result<SplitOutcome> split = encryptInto(dir / "data.bin", dir / "out", 50000, "right");
    ASSERT_TRUE(split) << split.failure().reason;
    const std::string set = split->pieceFolder;
    const auto piece = [&](int i) { return set + "/data_" + std::to_string(i) + ".spt"; };
    struct Case {
        const char* what;
        std::function<void()> damage, undo;
        std::string password, said;
    };
    std::string saved[2];
    const auto keep = [&] {
        saved[0] = readFile(piece(1));
        saved[1] = readFile(piece(2));
    };
    const auto restore = [&] {
        writeFile(piece(1), saved[0]);
        writeFile(piece(2), saved[1]);
    };
    const std::vector<Case> cases = {
        {"a wrong password", [] {}, [] {}, "wrong", "wrong password"},
        {"a flipped bit",
         [&] {
             keep();
             std::string b = saved[0];
             b[777] ^= 4;
             writeFile(piece(1), b);
         },
         restore, "right", "data_1.spt"},
        {"two pieces swapped",
         [&] {
             keep();
             writeFile(piece(1), saved[1]);
             writeFile(piece(2), saved[0]);
         },
         restore, "right", "data_1.spt"},
        {"a cut last piece",
         [&] {
             keep();
             ASSERT_EQ(truncate(piece(4).c_str(), 100), 0);
         },
         [&] {}, "right", "data_4.spt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.damage();
        const std::string out = dir / ("joined-" + std::to_string(&c - cases.data()));
        const Result<JoinOutcome> joined = decryptInto(set, out, c.password);
        ASSERT_FALSE(joined);
        EXPECT_NE(joined.failure().reason.find(c.said), std::string::npos)
            << joined.failure().reason;
        EXPECT_EQ(joined.failure().kind == EngineFailure::WrongPassword, c.password == "wrong");
        EXPECT_EQ(fs::directory_iterator(out), fs::directory_iterator());
        c.undo();
    }
    const Result<JoinOutcome> empty = decryptInto(set, dir / "no-password", "");
    ASSERT_FALSE(empty);
    EXPECT_NE(empty.failure().reason.find("its password is needed"), std::string::npos);

    // A correctly encrypted stream whose tar holds what a join never writes:
    // refused as an unsafe name, or failing as the folders are made.
    int made = 0;
    fs::create_directories(dir / "victim");
    fs::permissions(dir / "victim", fs::perms(0700));
    struct Entry {
        std::string name;
        mode_t type;
        std::string link;
        bool hard = false; // `link` names the entry it is a hard link to, and it has bytes
    };
    const auto unsafe = std::optional<EngineFailure>(EngineFailure::UnsafeName);
    const std::vector<std::pair<std::vector<Entry>, std::optional<EngineFailure>>> streams = {
        {{{"../escape", AE_IFREG, ""}}, unsafe},
        {{{"/absolute", AE_IFREG, ""}}, unsafe},
        {{{"top/../../up", AE_IFREG, ""}}, unsafe},
        {{{"top", AE_IFDIR, ""}, {"top//x", AE_IFREG, ""}}, unsafe},
        {{{"top/dev", AE_IFCHR, ""}}, unsafe},
        {{{"top/f", AE_IFREG, ""}, {"top/h", AE_IFREG, "top/f", true}}, unsafe},
        {{{"top/" + std::string(200000, 'n'), AE_IFREG, ""}}, unsafe}, // a huge pax header
        {{{"a/x", AE_IFREG, ""}, {"b/y", AE_IFREG, ""}}, unsafe},
        // Names this program keeps for its working state, at the top and below.
        {{{".parcelor-tmp-0123456789ab", AE_IFDIR, ""},
          {".parcelor-tmp-0123456789ab/.parcelor-run", AE_IFREG, ""}},
         unsafe},
        {{{"top", AE_IFDIR, ""}, {"top/.parcelor-join-journal", AE_IFREG, ""}}, unsafe},
        // A folder's name given again after a link of that name to elsewhere,
        // and a file placed through such a link.
        {{{"top", AE_IFDIR, ""}, {"top/l", AE_IFLNK, dir / "victim"}, {"top/l", AE_IFDIR, ""}}, {}},
        {{{"top", AE_IFDIR, ""}, {"top/l", AE_IFLNK, dir / "victim"}, {"top/l/f", AE_IFREG, ""}},
         {}},
    };
    for (const auto& [stream, kind] : streams) {
        SCOPED_TRACE(stream.back().name.substr(0, 100));
        std::vector<char> tar;
        const bool hard =
            std::any_of(stream.begin(), stream.end(), [](const Entry& item) { return item.hard; });
        struct archive* a = archive_write_new();
        hard ? archive_write_set_format_ustar(a) : archive_write_set_format_pax(a);
        archive_write_set_bytes_per_block(a, 0);
        archive_write_open(
            a, &tar, nullptr,
            [](struct archive*, void* client, const void* data, size_t size) -> la_ssize_t {
                auto* out = static_cast<std::vector<char>*>(client);
                out->insert(out->end(), static_cast<const char*>(data),
                            static_cast<const char*>(data) + size);
                return static_cast<la_ssize_t>(size);
            },
            nullptr);
        for (const Entry& item : stream) {
            struct archive_entry* entry = archive_entry_new();
            archive_entry_copy_pathname(entry, item.name.c_str());
            archive_entry_set_mode(entry, item.type | 0777);
            const bool data = item.type == AE_IFREG && !item.hard;
            archive_entry_set_size(entry, data ? 4 : 0);
            if (item.type == AE_IFLNK) archive_entry_copy_symlink(entry, item.link.c_str());
            if (item.hard) archive_entry_copy_hardlink(entry, item.link.c_str());
            archive_write_header(a, entry);
            if (data) archive_write_data(a, "evil", 4);
            archive_entry_free(entry);
        }
        archive_write_close(a);
        archive_write_free(a);
        if (hard) giveHardLinkBytes(tar);
        AgeEncryptor encryptor("right", 10);
        std::vector<char> sealed;
        ASSERT_TRUE(encryptor.apply(tar.data(), tar.size(), sealed) && encryptor.finish(sealed));
        const std::string folder = dir / ("hostile-" + std::to_string(made++));
        fs::create_directories(folder);
        writeFile(folder + "/x.age", std::string(sealed.begin(), sealed.end()));
        SplitRequest request;
        request.source = folder + "/x.age";
        request.outFolder = folder;
        request.pieceSize = 1000;
        SplitOptions options;
        options.measureSource = true;
        RunContext run;
        ASSERT_TRUE(splitSource(request, options, run));
        writeFile(folder + "/x_spt/ENCRYPTED", kEncryptedMarkerText);
        const Result<JoinOutcome> joined = decryptInto(folder + "/x_spt", folder + "/out", "right");
        ASSERT_FALSE(joined);
        if (kind) {
            EXPECT_EQ(joined.failure().kind, *kind) << joined.failure().reason;
        }
        EXPECT_EQ(fs::directory_iterator(folder + "/out"), fs::directory_iterator());
        EXPECT_FALSE(fs::exists(dir / "escape"));
        EXPECT_TRUE(fs::is_empty(dir / "victim"));
        EXPECT_EQ(fs::status(dir / "victim").permissions(), fs::perms(0700));
    }
}

// A join writes files without their setuid and setgid bits (an encrypted
// set holds them, and the join says which it left out; a plain set never
// stores them); a folder keeps its setgid and sticky bits in both.
TEST(EncryptedSet, AJoinDropsTheSetuidBitsOfFilesAndKeepsTheSetgidOfFolders) {
    TempDir dir;
    writeFile(dir / "tree/run", "#!/bin/sh\n");
    writeFile(dir / "tree/shared/x", "x");
    ASSERT_EQ(chmod((dir / "tree/run").c_str(), 04755), 0);
    ASSERT_EQ(chmod((dir / "tree/shared").c_str(), 03755), 0);
    for (const char* password : {"", "right"}) {
        SCOPED_TRACE(*password ? "encrypted" : "plain");
        const std::string out = dir / (*password ? "enc" : "plain");
        const Result<SplitOutcome> split = encryptInto(dir / "tree", out, 50000, password);
        ASSERT_TRUE(split) << split.failure().reason;
        JoinOptions options;
        options.password = password;
        RunContext run;
        fs::create_directories(out + "/joined");
        ASSERT_TRUE(joinSet(split->pieceFolder, out + "/joined", options, run));
        std::string notes;
        for (const std::string& note : run.takeNotes())
            notes += note;
        EXPECT_EQ(notes.find("left out the setuid or setgid bit of 1 file: tree/run") !=
                      std::string::npos,
                  *password != '\0')
            << notes;
        struct stat st {};
        ASSERT_EQ(stat((out + "/joined/tree/run").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        ASSERT_EQ(stat((out + "/joined/tree/shared").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 03755u);
    }
}
