// Failures are reported as failures, and hostile or oversized input never
// makes the engine write outside its folder or past a buffer.

#include "engine/compat/errors.h"
#include "engine/format/manifest.h"
#include "engine/runs/join.h"
#include "engine/runs/split.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <tuple>

#include <fcntl.h>

namespace fs = std::filesystem;

namespace {

std::set<std::string> entriesUnder(const fs::path& root) {
    std::set<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        entries.insert(entry.path().string());
    return entries;
}

} // namespace

TEST(FullDisk, SplitAndJoinReportFailure) {
    TempDir dir;
    writeFile(dir / "in/big.bin", seededBytes(9, 100000));
    EXPECT_EQ(
        withFileSizeLimit(50000, [&] { return splitInto(dir / "in/big.bin", dir / "in", 80000); }),
        -1);
    EXPECT_EQ(readFile(dir / "in/big.bin"), seededBytes(9, 100000));

    ASSERT_EQ(splitInto(dir / "in/big.bin", dir / "in", 30000), 0);
    fs::create_directory(dir / "out");
    const std::string set = dir / "in/big_spt";
    EXPECT_EQ(
        withFileSizeLimit(
            50000, [&] { return splitProject_merge(set.c_str(), (dir / "out").c_str(), ""); }),
        -1);
    EXPECT_EQ(inspect(set).pieces.size(), 4u);

    // The manifest is the largest file of a set of many tiny pieces.
    makeSeededTree(dir / "tree", 4, 20, 10);
    EXPECT_EQ(withFileSizeLimit(4000, [&] { return splitInto(dir / "tree", dir / "in", 1); }), -1);
    EXPECT_FALSE(holdsTemporary(dir / "in")); // the half-written manifest went with the rest

    // A stream that fills the disk: its half-made set goes, nothing is named.
    fs::create_directory(dir / "streamed");
    EXPECT_EQ(withFileSizeLimit(50000,
                                [&] {
                                    const FileDescriptor in(
                                        open((dir / "in/big.bin").c_str(), O_RDONLY | O_CLOEXEC));
                                    SplitRequest request;
                                    request.source = "standard input";
                                    request.outFolder = dir / "streamed";
                                    request.pieceSize = 80000;
                                    SplitOptions options;
                                    options.sourceFd = in.get();
                                    options.setName = "s";
                                    RunContext run;
                                    return splitSource(request, options, run) ? 0 : -1;
                                }),
              -1);
    EXPECT_TRUE(fs::is_empty(dir / "streamed"));
}

TEST(JoinFailure, BadPiecesWriteNothingForTheTargetsTheyFeed) {
    TempDir dir;
    writeFile(dir / "movie.final.mp4", "0123456789");
    ASSERT_EQ(splitInto(dir / "movie.final.mp4", dir.path().string(), 4), 0);
    fs::create_directory(dir / "out");
    writeFile(dir / "out/movie.final.mp4", "the only copy");
    for (const char* damage : {"missing", "changed"}) {
        SCOPED_TRACE(damage);
        if (std::string(damage) == "missing") {
            fs::rename(dir / "movie_spt/movie_1.spt", dir / "piece");
        } else {
            fs::rename(dir / "piece", dir / "movie_spt/movie_1.spt");
            writeFile(dir / "movie_spt/movie_1.spt", "4x67"); // same length, new bytes
        }
        EXPECT_EQ(splitProject_merge((dir / "movie_spt").c_str(), (dir / "out").c_str(), ""), -1);
        EXPECT_EQ(readFile(dir / "out/movie.final.mp4"), "the only copy");
        EXPECT_EQ(fs::directory_iterator(dir / "out")->path().filename(), "movie.final.mp4");
        EXPECT_NE(engineLastError().find("movie_1.spt"), std::string::npos) << engineLastError();
    }

    // A failed join of a folder set changes nothing: not even the files fed
    // only by good pieces are put in place, in a new tree or an existing one.
    writeFile(dir / "tree/one", seededBytes(1, 3000));
    writeFile(dir / "tree/two", seededBytes(2, 3000));
    ASSERT_EQ(splitInto(dir / "tree", dir.path().string(), 4000), 0);
    writeFile(dir / "tree_spt/tree_1.spt", "short");
    EXPECT_EQ(splitProject_merge((dir / "tree_spt").c_str(), (dir / "out").c_str(), ""), -1);
    EXPECT_FALSE(exists(dir / "out/tree"));
    fs::create_directory(dir / "out/tree");
    EXPECT_EQ(splitProject_merge((dir / "tree_spt").c_str(), (dir / "out").c_str(), ""), -1);
    EXPECT_TRUE(fs::is_empty(dir / "out/tree"));

    // A manifest whose pieces carry no fingerprint cannot vouch for them.
    TempDir bare;
    writeFile(bare / "x_0.spt", "abcd");
    writeFile(bare / "spt_config.morvspt",
              ManifestBytes().header(1, 0, 4, "", "x").piece(0, "").str());
    EXPECT_EQ(splitProject_merge(bare.path().c_str(), (dir / "out").c_str(), ""), -1);
}

TEST(JoinFailure, TargetsThatCannotBeCreated) {
    TempDir dir;
    writeFile(dir / "f.bin", "payload");
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 3), 0);
    fs::create_directories(dir / "taken/f.bin"); // the output name is a folder
    EXPECT_EQ(splitProject_merge((dir / "f_spt").c_str(), (dir / "taken").c_str(), ""), -1);
    EXPECT_TRUE(fs::is_directory(dir / "taken/f.bin"));
    writeFile(dir / "plain", "a file, not a folder");
    EXPECT_EQ(splitProject_merge((dir / "f_spt").c_str(), (dir / "plain").c_str(), ""), -1);
    EXPECT_EQ(readFile(dir / "plain"), "a file, not a folder");
}

TEST(SplitFailure, PiecesThatCannotBeCreatedOrASourceThatChanged) {
    TempDir dir;
    writeFile(dir / "f.bin", "0123456789");
    writeFile(dir / "blocker", "");
    EXPECT_EQ(splitInto(dir / "f.bin", dir / "blocker", 4), -1); // output folder is a file
    EXPECT_EQ(splitInto(dir / "missing.bin", dir.path().string(), 4, "", 10), -1);
    EXPECT_EQ(splitInto(dir / "f.bin", dir.path().string(), 4, "", 5), -1); // source grew
    EXPECT_EQ(readFile(dir / "f.bin"), "0123456789");

    writeFile(dir / "tree/a", "aaaa");
    writeFile(dir / "tree/b", "bbbb");
    EXPECT_EQ(splitInto(dir / "tree", dir.path().string(), 4, "", 4), -1); // more than the total
}

TEST(SplitRefusal, UnusableRequestsWriteNothing) {
    TempDir dir;
    writeFile(dir / "src.bin", "0123456789");
    writeFile(dir / "tree/" + std::string(200, 'd') + "/" + std::string(60, 'f'), "x");
    fs::create_directory(dir / "empty");
    const auto before = entriesUnder(dir.path());

    auto refused = [&](Split_pragma request) {
        EXPECT_EQ(splitProject_split(&request), -1);
        EXPECT_EQ(entriesUnder(dir.path()), before);
    };
    auto request = [&](const std::string& src, const std::string& out, int64_t total,
                       int64_t pieceSize) {
        Split_pragma r{};
        std::strncpy(r.srcPath, src.c_str(), sizeof r.srcPath - 1);
        std::strncpy(r.outFolder, out.c_str(), sizeof r.outFolder - 1);
        r.totalSize = total;
        r.pieceSize = pieceSize;
        return r;
    };
    const std::string out = dir.path().string();
    const std::string src = dir / "src.bin";

    refused(request(src, out, 10, 0));
    refused(request(src, out, -1, 4));
    refused(request(src + "/", out, 10, 4));
    refused(request("src.bin", out, 10, 4)); // no folder part: no name to give the set
    refused(request(dir / "..", out, 10, 4));
    refused(request(dir / std::string(300, 'n'), out, 10, 4));  // base name over 255 bytes
    refused(request(src, "/" + std::string(1010, 'o'), 10, 4)); // piece folder over 1023
    refused(request(src, out, int64_t{kManifestMaxPieceCount} + 1, 1));
    refused(request(dir / "tree", out, 1, 4));  // relative path over 255 bytes
    refused(request(dir / "empty", out, 0, 4)); // a folder without files

    Split_pragma noTerminator = request(src, out, 10, 4);
    std::memset(noTerminator.password, 'p', sizeof noTerminator.password);
    refused(noTerminator);
    noTerminator = request(src, out, 10, 4);
    std::memset(noTerminator.srcPath, 'p', sizeof noTerminator.srcPath);
    refused(noTerminator);
    noTerminator = request(src, out, 10, 4);
    std::memset(noTerminator.outFolder, 'p', sizeof noTerminator.outFolder);
    refused(noTerminator);
}

TEST(SplitRefusal, WalkEntriesTooLongForTheWalkBuffer) {
    TempDir dir;
    std::string deep = dir / "tree";
    while (deep.size() < 520)
        deep += "/" + std::string(40, 'd');
    writeFile(deep + "/x", "x");
    writeFile(dir / "tree/near", "near");
    EXPECT_EQ(splitInto(dir / "tree", dir.path().string(), 4), -1);
    EXPECT_FALSE(exists(dir / "tree_spt"));
}

class HostileManifest : public testing::Test {
protected:
    // Writes a set with one 4-byte piece "abcd" and the given manifest, joins
    // it, and checks that nothing at all appeared outside the set.
    int32_t join(const std::string& manifest) {
        writeFile(dir / "set/x_0.spt", "abcd");
        writeFile(dir / "set/spt_config.morvspt", manifest);
        fs::create_directories(dir / "area/out");
        const auto before = entriesUnder(dir.path());
        const int32_t result =
            splitProject_merge((dir / "set").c_str(), (dir / "area/out").c_str(), "");
        EXPECT_EQ(entriesUnder(dir.path()), before);
        return result;
    }
    static std::string withRecord(const std::string& base, const std::string& name,
                                  int32_t piece = 0, int64_t offset = 0, int64_t length = 4) {
        return ManifestBytes()
            .header(1, 1, 4, "", base)
            .piece(0, "")
            .file(name, 0, piece, offset, length)
            .str();
    }
    TempDir dir;
};

TEST_F(HostileManifest, UnsafeBaseNamesAreRefused) {
    for (const char* base : {"", ".", "..", "../x", "a/b", "a\\b", "/abs"}) {
        EXPECT_EQ(join(ManifestBytes().header(1, 0, 4, "", base).piece(0, "").str()), -1) << base;
        EXPECT_EQ(join(withRecord(base, "inside")), -1) << base;
    }
}

TEST_F(HostileManifest, UnsafeRecordsAreRefusedBeforeAnythingIsWritten) {
    for (const char* name : {"../x", "/abs", "a/../../x", "a//b", "", ".", "a/.", "..", "a/"})
        EXPECT_EQ(join(withRecord("x", name)), -1) << name;
    EXPECT_EQ(join(withRecord("x", "ok", 1)), -1);        // piece index past the set
    EXPECT_EQ(join(withRecord("x", "ok", -1)), -1);       // negative piece index
    EXPECT_EQ(join(withRecord("x", "ok", 0, -1)), -1);    // negative offset
    EXPECT_EQ(join(withRecord("x", "ok", 0, 0, -4)), -1); // negative length
    EXPECT_EQ(join(withRecord("x", std::string(256, 'n'))), -1) << "a name without its NUL";
}

// A record of a piece the set does not count, or a slice that its offset
// takes past its piece's end, is a damaged manifest, refused as such before
// anything is made; the pieces themselves are sound.
TEST_F(HostileManifest, RecordsOutsideTheSetsPiecesAreADamagedManifest) {
    writeFile(dir / "set/x_0.spt", "abcd");
    char fingerprint[33] = {};
    pieceFingerprint((dir / "set/x_0.spt").c_str(), fingerprint);
    const auto record = [&](int32_t piece, int64_t offset, int64_t length) {
        return ManifestBytes()
            .header(1, 1, 4, "", "x")
            .piece(0, fingerprint)
            .file("ok", 0, piece, offset, length)
            .str();
    };
    fs::create_directories(dir / "out");
    for (const auto& [piece, offset, length] :
         {std::tuple{1, 0, 4}, std::tuple{0, 3, 2}, std::tuple{0, 4, 1}}) {
        SCOPED_TRACE(testing::Message() << piece << " " << offset << " " << length);
        writeFile(dir / "set/spt_config.morvspt", record(piece, offset, length));
        const auto before = entriesUnder(dir.path());
        RunContext run;
        const Result<JoinOutcome> joined = joinSet(dir / "set", dir / "out", {}, run);
        ASSERT_FALSE(joined);
        EXPECT_EQ(joined.failure().kind, EngineFailure::NotASet) << joined.failure().reason;
        EXPECT_EQ(entriesUnder(dir.path()), before);
    }
    writeFile(dir / "set/spt_config.morvspt", record(0, 1, 3));
    RunContext run;
    ASSERT_TRUE(joinSet(dir / "set", dir / "out", {}, run));
    EXPECT_EQ(readFile(dir / "out/x/ok"), "bcd");
}

TEST_F(HostileManifest, TargetPathsTooLongAreRefused) {
    std::string out = dir / "area/out";
    while (out.size() < 800)
        out += "/" + std::string(100, 'o');
    fs::create_directories(out);
    writeFile(dir / "set/x_0.spt", "abcd");
    writeFile(dir / "set/spt_config.morvspt", ManifestBytes()
                                                  .header(1, 2, 4, "", "x")
                                                  .piece(0, "")
                                                  .file("ok", 0, 0, 0, 4)
                                                  .file(std::string(250, 'n'), 1, 0, 0, 0)
                                                  .str());
    EXPECT_EQ(splitProject_merge((dir / "set").c_str(), out.c_str(), ""), -1);
    EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(HostileManifest, SlicesAreWrittenNoFurtherThanTheManifestSays) {
    writeFile(dir / "set/x_0.spt", "abcd");
    char fingerprint[33] = {};
    pieceFingerprint((dir / "set/x_0.spt").c_str(), fingerprint);
    auto manifest = [&](int64_t total, int64_t lastLength, int64_t firstOffset = 2) {
        return ManifestBytes()
            .header(1, 3, total, "", "x")
            .piece(0, fingerprint)
            .file("same", 0, 0, firstOffset, 2)
            .file("other", 1, 0, 0, 1)
            .file("same", 2, 0, 0, lastLength)
            .str();
    };
    fs::create_directories(dir / "out");
    // Slices adding up to more than the total, or reaching past their piece
    // by their length or by their offset.
    for (const auto& [total, lastLength, firstOffset] :
         {std::tuple{4, 2, 2}, std::tuple{9, 5, 2}, std::tuple{5, 2, 3}}) {
        writeFile(dir / "set/spt_config.morvspt", manifest(total, lastLength, firstOffset));
        EXPECT_EQ(splitProject_merge((dir / "set").c_str(), (dir / "out").c_str(), ""), -1);
        EXPECT_TRUE(fs::is_empty(dir / "out"));
    }
    // One file named twice gathers its slices in record order.
    writeFile(dir / "set/spt_config.morvspt", manifest(5, 2));
    EXPECT_EQ(splitProject_merge((dir / "set").c_str(), (dir / "out").c_str(), ""), 0);
    EXPECT_EQ(readFile(dir / "out/x/same"), "cdab");
    EXPECT_EQ(readFile(dir / "out/x/other"), "a");
}
