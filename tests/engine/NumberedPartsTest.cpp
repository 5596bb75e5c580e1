#include "engine/runs/numbered_parts.h"

#include "engine/base/digest.h"
#include "engine/format/manifest.h"
#include "tests/support/SystemCallSeam.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>

namespace {

using Kind = PartNaming::Kind;

struct Series {
    std::vector<std::string> files; // made in an empty folder
    std::string given;
    std::string prefix;
    int width;
    Kind kind;
    bool widening;
    std::string outputName;
    std::map<uint64_t, std::string> names; // ordinal: the part's name ("" past the last)
};

} // namespace

// The reading the folder bears out, and the names it goes on with, coreutils'
// widening of its default suffixes included.
TEST(NumberedParts, NamesAreReadAndContinuedAsTheirToolNumbersThem) {
    const std::vector<Series> table = {
        {{"xaa", "xab"},
         "xaa",
         "x",
         2,
         Kind::Alphabetic,
         true,
         "",
         {{1, "xab"},
          {25, "xaz"},
          {26, "xba"},
          {649, "xyz"},
          {650, "xzaaa"},
          {650 + 16899, "xzyzz"},
          {650 + 16900, "xzzaaaa"}}},
        {{"x00", "x01"},
         "x00",
         "x",
         2,
         Kind::Decimal,
         true,
         "",
         {{89, "x89"}, {90, "x9000"}, {989, "x9899"}, {990, "x990000"}}},
        {{"name.7z.001", "name.7z.002", "name.7z.txt"},
         "name.7z.001",
         "name.7z.",
         3,
         Kind::Decimal,
         false,
         "name.7z",
         {{1, "name.7z.002"}, {998, "name.7z.999"}, {999, "name.7z.1000"}}},
        {{"backup.tar.00", "backup.tar.01"},
         "backup.tar.00",
         "backup.tar.",
         2,
         Kind::Decimal,
         true,
         "backup.tar",
         {{1, "backup.tar.01"}, {90, "backup.tar.9000"}}},
        // split -a 1: one letter, 26 parts at most.
        {{"pa", "pb"}, "pa", "p", 1, Kind::Alphabetic, false, "", {{25, "pz"}, {26, ""}}},
    };
    for (const Series& row : table) {
        SCOPED_TRACE(row.given);
        TempDir dir;
        for (const std::string& file : row.files)
            writeFile(dir / file, file);
        RunContext run;
        const Result<PartsListing> listed = listNumberedParts(dir / row.given, run);
        ASSERT_TRUE(listed) << listed.failure().reason;
        const PartNaming& naming = listed->naming;
        EXPECT_EQ(naming.prefix, row.prefix);
        EXPECT_EQ(naming.width, row.width);
        EXPECT_EQ(naming.kind, row.kind);
        EXPECT_EQ(naming.widening, row.widening);
        EXPECT_EQ(naming.outputName(), row.outputName);
        EXPECT_EQ(listed->parts.front().name, row.given);
        for (const auto& [ordinal, name] : row.names) {
            EXPECT_EQ(naming.nameAt(ordinal), name) << ordinal;
            if (!name.empty()) {
                EXPECT_EQ(naming.ordinalOf(name), ordinal) << name;
            }
        }
    }
}

// What is not the start of a series of parts is refused, with the reason.
TEST(NumberedParts, OnlyTheFirstOfTwoOrMorePartsOutsideAPieceSetBeginsASeries) {
    const struct {
        std::vector<std::string> files;
        std::string given;
        std::string reason;
        EngineFailure kind = EngineFailure::NotASet;
    } table[] = {
        {{"xaa", "xab"}, "xab", "xab is not the first part: the series begins with xaa"},
        {{"m.001", "m.002"}, "m.002", "m.002 is not the first part: the series begins with m.001"},
        {{"m.000", "m.001", "m.002"}, "m.001", "the series begins with m.000"},
        {{"movie.mkv.001", "movie.mkv.txt"}, "movie.mkv.001", "is the only part there"},
        {{"notes.txt", "notes.doc"}, "notes.txt", "is not a numbered part"},
        {{kManifestFileName, "xaa", "xab"},
         "xaa",
         "holds a piece set: join the folder",
         EngineFailure::Other},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.given);
        TempDir dir;
        for (const std::string& file : row.files)
            writeFile(dir / file, "x");
        RunContext run;
        const Result<PartsListing> listed = listNumberedParts(dir / row.given, run);
        ASSERT_FALSE(listed);
        EXPECT_NE(listed.failure().reason.find(row.reason), std::string::npos)
            << listed.failure().reason;
        EXPECT_EQ(listed.failure().kind, row.kind);
    }
}

// Parts numbered past their width (".999", then ".1000", as other tools write
// them) are all joined, in number order, against a checksum file that lists
// them and the joined file's own name. A decimal name it lists that the
// series does not take is a part the join would leave out: refused by name.
TEST(NumberedParts, NumbersOutgrowTheirWidthAndNoListedPartIsLeftOut) {
    const auto sha256 = [](const std::string& bytes) {
        Sha256Digest digest;
        digest.update(bytes.data(), bytes.size());
        return digest.finishHex();
    };
    TempDir dir;
    std::string whole, sums;
    for (int i = 1; i <= 1001; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f.%03d", i);
        const std::string bytes = std::to_string(i) + ",";
        writeFile(dir / name, bytes);
        whole += bytes;
        sums += sha256(bytes) + "  " + name + "\n";
    }
    sums += sha256(whole) + "  f\n";
    writeFile(dir / "f.sha256", sums);
    std::filesystem::create_directories(dir / "out");
    RunContext run;
    const Result<JoinOutcome> joined = joinNumberedParts(dir / "f.001", dir / "out", {}, run);
    ASSERT_TRUE(joined) << joined.failure().reason;
    EXPECT_TRUE(joined->fullCheck);
    EXPECT_EQ(readFile(dir / "out/f"), whole);

    for (const std::string stray : {"f.000", "f.0002"}) {
        SCOPED_TRACE(stray);
        writeFile(dir / "f.sha256", sums + sha256(stray) + "  " + stray + "\n");
        RunContext refused;
        const Result<JoinOutcome> left = joinNumberedParts(dir / "f.001", dir / "out", {}, refused);
        ASSERT_FALSE(left);
        EXPECT_EQ(left.failure().kind, EngineFailure::ChecksumsDamaged);
        EXPECT_NE(left.failure().reason.find("lists " + stray + ","), std::string::npos)
            << left.failure().reason;
    }
}

// What a series does not hold is never joined: a gap (refused as a missing
// part), a part that is a link (as an unsafe name), a joined file named as a
// part, even with replacing (the part stays), and a zero-padded number wider
// than the series' (no part of it).
TEST(NumberedParts, WhatASeriesDoesNotHoldIsNeverJoined) {
    const struct {
        const char* what;
        std::vector<std::string> files;
        std::string link; // a part that is a link to a file beside the parts
        std::string name;
        std::optional<EngineFailure> refused;
    } table[] = {
        {"a gap", {"m.001", "m.003"}, "", "", EngineFailure::PieceMissing},
        {"a link", {"m.001"}, "m.002", "", EngineFailure::UnsafeName},
        {"named as a part", {"m.001", "m.002"}, "", "m.002", EngineFailure::Other},
        {"a wider number", {"m.001", "m.002", "m.0003"}, "", "", std::nullopt},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        for (const std::string& file : row.files)
            writeFile(dir / file, file);
        if (!row.link.empty()) {
            writeFile(dir / "elsewhere", "not a part");
            std::filesystem::create_symlink(dir / "elsewhere", dir / row.link);
        }
        PartsJoinOptions options;
        options.replaceExisting = true;
        options.name = row.name;
        RunContext run;
        const Result<JoinOutcome> joined =
            joinNumberedParts(dir / "m.001", dir.path().string(), options, run);
        for (const std::string& file : row.files)
            EXPECT_EQ(readFile(dir / file), file);
        if (row.refused) {
            ASSERT_FALSE(joined);
            EXPECT_EQ(joined.failure().kind, *row.refused) << joined.failure().reason;
            EXPECT_FALSE(exists(dir / "m"));
        } else {
            ASSERT_TRUE(joined) << joined.failure().reason;
            EXPECT_EQ(readFile(dir / "m"), "m.001m.002");
        }
    }
}

// Where the file system takes no flags to rename, the joined file takes its
// name by a new link, which never replaces what appeared there meanwhile.
TEST(NumberedParts, WithoutRenameFlagsTheJoinedFileIsLinkedInAndNeverOverWhatAppeared) {
    TempDir dir;
    writeFile(dir / "g.001", "one,");
    writeFile(dir / "g.002", "two");
    std::filesystem::create_directories(dir / "out");
    {
        SeamRecording seam;
        seam.refuse(SeamCall::Renameat2, "g", 1, EINVAL);
        RunContext run;
        ASSERT_TRUE(joinNumberedParts(dir / "g.001", dir / "out", {}, run)) << run.failure().reason;
    }
    EXPECT_EQ(readFile(dir / "out/g"), "one,two");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "out"), {}), 1);

    std::filesystem::remove(dir / "out/g");
    SeamRecording seam;
    seam.refuse(SeamCall::Renameat2, "g", 1, EINVAL);
    seam.before(SeamCall::Linkat, "g", 1, [&](const SeamEvent&) { writeFile(dir / "out/g", "x"); });
    RunContext run;
    const Result<JoinOutcome> joined = joinNumberedParts(dir / "g.001", dir / "out", {}, run);
    ASSERT_FALSE(joined);
    EXPECT_EQ(joined.failure().kind, EngineFailure::TargetExists);
    EXPECT_EQ(readFile(dir / "out/g"), "x");
}
