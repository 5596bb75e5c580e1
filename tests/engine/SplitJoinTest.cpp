#include "engine/compat/errors.h"
#include "engine/compat/inspection.h"
#include "engine/compat/paths.h"
#include "engine/compat/registry.h"
#include "engine/format/manifest.h"
#include "engine/runs/join.h"
#include "engine/runs/split.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

namespace fs = std::filesystem;

TEST(FileSet, MovieExampleLayoutAndJoin) {
    TempDir dir;
    writeFile(dir / "in/movie.final.mp4", "0123456789");
    fs::create_directory(dir / "out");
    ASSERT_EQ(splitInto(dir / "in/movie.final.mp4", dir / "out", 4), 0);
    EXPECT_EQ(progressDoneBytes(), 10);
    EXPECT_EQ(progressTotalBytes(), 10);

    const std::string set = dir / "out/movie_spt";
    EXPECT_EQ(readFile(set + "/movie_0.spt"), "0123");
    EXPECT_EQ(readFile(set + "/movie_1.spt"), "4567");
    EXPECT_EQ(readFile(set + "/movie_2.spt"), "89");
    const std::string expected = ManifestBytes()
                                     .header(3, 0, 10, "", "movie.final.mp4")
                                     .piece(0, "7D334438F9FBE09FA5B6750B29EEEFF2")
                                     .piece(1, "65543EE71B9BB650319F98E7A1D32030")
                                     .piece(2, "0FD96320DA930B828F6FC64497EA5FEC")
                                     .str();
    EXPECT_EQ(readFile(set + "/spt_config.morvspt"), expected);
    EXPECT_EQ(expected.size(), 352u + 3 * 37);

    fs::create_directory(dir / "joined");
    ASSERT_EQ(splitProject_merge(set.c_str(), (dir / "joined").c_str(), "any password"), 0);
    EXPECT_EQ(readFile(dir / "joined/movie.final.mp4"), "0123456789");
    EXPECT_EQ(progressDoneBytes(), 10);
    EXPECT_EQ(progressTotalBytes(), 10);
}

TEST(FileSet, ExactMultipleAndPasswordDigest) {
    TempDir dir;
    writeFile(dir / "eight", "abcdefgh");
    ASSERT_EQ(splitInto(dir / "eight", dir.path().string(), 4, "secret"), 0);
    EXPECT_EQ(readFile(dir / "eight_spt/eight_1.spt"), "efgh");
    EXPECT_FALSE(exists(dir / "eight_spt/eight_2.spt"));
    const std::string manifest = readFile(dir / "eight_spt/spt_config.morvspt");
    EXPECT_EQ(manifest.substr(56, 40),
              std::string("5EBE2294ECD0E0F08EAB7690D2A6EE69") + std::string(8, '\0'));

    ASSERT_EQ(splitInto(dir / "eight", dir.path().string(), 4), 0);
    EXPECT_EQ(readFile(dir / "eight_spt/spt_config.morvspt").substr(56, 40), std::string(40, '\0'));
}

TEST(FolderSet, PhotosExampleLayoutAndJoin) {
    TempDir dir;
    const std::string photos = dir / "photos";
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
        writeFile(photos + "/" + name, "");
    // The example's sizes go to the files in the order the walk meets them.
    const std::vector<std::string> order = walkOrder(photos);
    ASSERT_EQ(order.size(), 3u);
    writeFile(photos + "/" + order[0], "AAAAAA");
    writeFile(photos + "/" + order[2], "CCCCC");

    ASSERT_EQ(splitInto(photos, dir.path().string(), 4), 0);
    const std::string set = dir / "photos_spt";
    EXPECT_EQ(readFile(set + "/photos_0.spt"), "AAAA");
    EXPECT_EQ(readFile(set + "/photos_1.spt"), "AACC");
    EXPECT_EQ(readFile(set + "/photos_2.spt"), "CCC");
    const std::string expected = ManifestBytes()
                                     .header(3, 5, 11, "", "photos")
                                     .piece(0, "670499898825AA4E01F51B9D9A678E59")
                                     .piece(1, "A669009B43E7AD550CDEDF2737353171")
                                     .piece(2, "37485FF073E047E03C801176A98FC032")
                                     .file(order[0], 0, 0, 0, 4)
                                     .file(order[0], 1, 1, 0, 2)
                                     .file(order[1], 2, 1, 2, 0)
                                     .file(order[2], 3, 1, 2, 2)
                                     .file(order[2], 4, 2, 0, 3)
                                     .str();
    EXPECT_EQ(readFile(set + "/spt_config.morvspt"), expected);

    fs::create_directory(dir / "out");
    ASSERT_EQ(splitProject_merge(set.c_str(), (dir / "out").c_str(), nullptr), 0);
    EXPECT_EQ(treeContents(dir / "out/photos"), treeContents(photos));
    // Joining again replaces the files rather than extending them.
    ASSERT_EQ(splitProject_merge(set.c_str(), (dir / "out").c_str(), nullptr), 0);
    EXPECT_EQ(treeContents(dir / "out/photos"), treeContents(photos));
}

TEST(FolderSet, FileEndingExactlyAtAPieceBoundaryGetsAnEmptyRecord) {
    TempDir dir;
    const std::string src = dir / "src";
    writeFile(src + "/a.txt", "");
    writeFile(src + "/b.txt", "");
    const std::vector<std::string> order = walkOrder(src);
    writeFile(src + "/" + order[0], "aaaa");
    writeFile(src + "/" + order[1], "bbb");

    ASSERT_EQ(splitInto(src, dir.path().string(), 4), 0);
    const std::string expected = ManifestBytes()
                                     .header(2, 3, 7, "", "src")
                                     .piece(0, "0FD3851AC8ED049AF927431F71130FEC")
                                     .piece(1, "CEDAC77935ECED018FE6B3DC3E999473")
                                     .file(order[0], 0, 0, 0, 4)
                                     .file(order[0], 1, 1, 0, 0)
                                     .file(order[1], 2, 1, 0, 3)
                                     .str();
    EXPECT_EQ(readFile(dir / "src_spt/spt_config.morvspt"), expected);

    // The file that fills the last piece exactly gets no empty record after it.
    writeFile(src + "/" + order[1], "bbbb");
    ASSERT_EQ(splitInto(src, dir.path().string(), 4), 0);
    ASSERT_EQ(loadManifest((dir / "src_spt").c_str()), 0);
    std::vector<const FileRecord*> records;
    listFileRecords(records);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records.back()->length, 4);
}

TEST(FolderSet, DottedFolderNameAndSubfolders) {
    TempDir dir;
    const std::string src = dir / "photos.2019";
    writeFile(src + "/2019/a.jpg", "abc");
    writeFile(src + "/.hidden/x", "never stored");
    writeFile(src + "/.dot", "never stored");
    ASSERT_EQ(splitInto(src, dir.path().string(), 2), 0);
    EXPECT_TRUE(exists(dir / "photos_spt/photos_0.spt"));
    EXPECT_TRUE(exists(dir / "photos_spt/photos_1.spt"));
    EXPECT_FALSE(exists(dir / "photos_spt/photos_2.spt"));
    Inspection set = inspect(dir / "photos_spt");
    EXPECT_EQ(set.baseName, "photos.2019");
    ASSERT_EQ(loadManifest((dir / "photos_spt").c_str()), 0);
    std::vector<const FileRecord*> records;
    listFileRecords(records);
    ASSERT_FALSE(records.empty());
    EXPECT_STREQ(records[0]->name, "2019/a.jpg");

    fs::create_directory(dir / "out");
    ASSERT_EQ(splitProject_merge((dir / "photos_spt").c_str(), (dir / "out").c_str(), ""), 0);
    EXPECT_EQ(readFile(dir / "out/photos.2019/2019/a.jpg"), "abc");
    EXPECT_FALSE(exists(dir / "out/photos.2019/.dot"));
}

TEST(FolderSet, EmptyFilesAfterAFullLastPieceAreRecreated) {
    TempDir dir;
    const std::string src = dir / "src";
    for (const char* name : {"one", "two", "three", "four"})
        writeFile(src + "/" + name, "");
    const std::vector<std::string> order = walkOrder(src);
    writeFile(src + "/" + order[0], "full"); // fills the only piece exactly

    ASSERT_EQ(splitInto(src, dir.path().string(), 4), 0);
    fs::create_directory(dir / "out");
    ASSERT_EQ(splitProject_merge((dir / "src_spt").c_str(), (dir / "out").c_str(), ""), 0);
    EXPECT_EQ(treeContents(dir / "out/src"), treeContents(src));
}

TEST(FolderSet, FolderOfOnlyEmptyFilesIsRebuiltAsAFolder) {
    TempDir dir;
    writeFile(dir / "src/a", "");
    writeFile(dir / "src/sub/b", "");
    ASSERT_EQ(splitInto(dir / "src", dir.path().string(), 1024), 0);
    fs::create_directory(dir / "out");
    ASSERT_EQ(splitProject_merge((dir / "src_spt").c_str(), (dir / "out").c_str(), ""), 0);
    EXPECT_TRUE(fs::is_directory(dir / "out/src"));
    EXPECT_EQ(treeContents(dir / "out/src"), treeContents(dir / "src"));
}

TEST(FileSet, SplittingAgainReplacesTheOldSetWhole) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(3, 100));
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 10), 0);
    writeFile(dir / "f_spt/notes.txt", "mine");
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 50), 0);
    EXPECT_EQ(readFile(dir / "f_spt/f_0.spt"), seededBytes(3, 100).substr(0, 50));
    EXPECT_FALSE(exists(dir / "f_spt/f_9.spt"));
    EXPECT_EQ(readFile(dir / "f_spt/notes.txt"), "mine");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "f_spt"), {}),
              7); // 2 pieces, 4 own files, notes
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2); // no temporary left
    EXPECT_EQ(inspect(dir / "f_spt").pieces.size(), 2u);
}

TEST(RoundTrip, SeededFilesAcrossPieceSizes) {
    TempDir dir;
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, std::size_t{5000}, std::size_t{100000}}) {
        const std::string source = dir / ("in/data" + std::to_string(size) + ".bin");
        writeFile(source, seededBytes(static_cast<uint32_t>(size) + 11, size));
        std::vector<int64_t> pieceSizes{7, 4095, 4096, 4097, 65536};
        const auto s = static_cast<int64_t>(size);
        for (int64_t extra : {s - 1, s, s + 1, 10 * s + 3}) {
            if (extra > 0) pieceSizes.push_back(extra);
        }
        if (size <= 5000) pieceSizes.push_back(1);
        for (const int64_t pieceSize : pieceSizes) {
            SCOPED_TRACE("size " + std::to_string(size) + " piece " + std::to_string(pieceSize));
            const std::string out =
                dir / ("out" + std::to_string(pieceSize) + "_" + std::to_string(size));
            fs::create_directories(out + "/joined");
            ASSERT_EQ(splitInto(source, out, pieceSize), 0);
            const std::string set = out + "/data" + std::to_string(size) + "_spt";
            const Inspection inspected = inspect(set);
            ASSERT_EQ(inspected.result, 0);
            for (const auto& piece : inspected.pieces)
                EXPECT_EQ(piece.checkState, 0);
            ASSERT_EQ(splitProject_merge(set.c_str(), (out + "/joined").c_str(), ""), 0);
            EXPECT_EQ(readFile(out + "/joined/data" + std::to_string(size) + ".bin"),
                      readFile(source));
            fs::remove_all(out);
        }
    }
}

TEST(RoundTrip, SeededTreesAcrossPieceSizes) {
    for (const uint32_t seed : {1u, 2u, 3u}) {
        TempDir dir;
        const std::string src = dir / "tree.v2";
        makeSeededTree(src, seed, 40, seed == 1 ? 200 : 9000);
        const int64_t total = pathSize(src.c_str());
        for (const int64_t pieceSize :
             {int64_t{1}, int64_t{100}, int64_t{4096}, int64_t{65536}, total, total + 1}) {
            if (pieceSize <= 0 || (pieceSize == 1 && total > 10000)) continue;
            SCOPED_TRACE("seed " + std::to_string(seed) + " piece " + std::to_string(pieceSize));
            const std::string out = dir / ("out" + std::to_string(pieceSize));
            fs::create_directories(out + "/joined");
            ASSERT_EQ(splitInto(src, out, pieceSize), 0);
            ASSERT_EQ(
                splitProject_merge((out + "/tree_spt").c_str(), (out + "/joined").c_str(), ""), 0);
            EXPECT_EQ(treeContents(out + "/joined/tree.v2"), visibleTreeContents(src));
            fs::remove_all(out);
        }
    }
}

// Each run keeps its own stop request, progress and failure: two runs share
// a process, and neither touches what the published calls keep.
TEST(RunsAsValues, TwoRunsInOneProcessKeepTheirOwnStopProgressAndFailure) {
    TempDir dir;
    writeFile(dir / "a.bin", seededBytes(1, 3'000'000));
    writeFile(dir / "b.bin", seededBytes(2, 3'000'000));
    engineClearError();
    std::atomic<bool> stopA{true}, stopB{false};
    RunProgress progressA, progressB;
    RunContext runA(&stopA, &progressA), runB(&stopB, &progressB);
    const auto request = [&](const char* name) {
        SplitRequest r;
        r.source = dir / name;
        r.outFolder = dir.path();
        r.totalSize = 3'000'000;
        r.pieceSize = 1'000'000;
        return r;
    };
    std::optional<Result<SplitOutcome>> a, b;
    std::thread first([&] { a = splitSource(request("a.bin"), {}, runA); });
    std::thread second([&] { b = splitSource(request("b.bin"), {}, runB); });
    first.join();
    second.join();
    ASSERT_FALSE(*a);
    EXPECT_EQ(a->failure().kind, EngineFailure::Cancelled);
    EXPECT_FALSE(fs::exists(dir / "a_spt"));
    ASSERT_TRUE(*b) << b->failure().reason;
    EXPECT_EQ(progressB.done.load(), 3'000'000);
    EXPECT_EQ(progressA.done.load(), 0);
    EXPECT_EQ(engineLastError(), "");

    // A failure names its path and the system's error.
    fs::create_directory(dir / "out");
    const Result<JoinOutcome> missing = joinSet(dir / "none_spt", dir / "out", {}, runB);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.failure().error, ENOENT);
    EXPECT_EQ(missing.failure().path, dir / "none_spt");
    const Result<JoinOutcome> joined = joinSet(dir / "b_spt", dir / "out", {}, runB);
    ASSERT_TRUE(joined) << joined.failure().reason;
    EXPECT_TRUE(joined->fullCheck);
    EXPECT_EQ(readFile(dir / "out/b.bin"), readFile(dir / "b.bin"));
}

namespace {

// A stage that changes the bytes and their count: a 4-byte mark in front,
// then every byte flipped; and its inverse.
class Marker : public Transform {
public:
    explicit Marker(bool undo) : undo_(undo) {}
    int64_t outputSize(int64_t size) const override { return undo_ ? size - 4 : size + 4; }
    bool apply(const char* data, std::size_t size, std::vector<char>& out) override {
        if (!undo_ && !marked_) out.insert(out.end(), {'M', 'A', 'R', 'K'});
        marked_ = true;
        for (std::size_t i = 0; i < size; ++i) {
            if (undo_ && dropped_ < 4) {
                ++dropped_;
                continue;
            }
            out.push_back(static_cast<char>(~data[i]));
        }
        return true;
    }
    bool finish(std::vector<char>&) override { return true; }

private:
    bool undo_;
    bool marked_ = false;
    int dropped_ = 0;
};

// A last stage that learns its 4-byte start only at the end: it gives
// zeros in its place, then the start when the split asks for it.
class LateStart : public Transform {
public:
    int64_t outputSize(int64_t size) const override { return size + 4; }
    bool apply(const char* data, std::size_t size, std::vector<char>& out) override {
        if (!started_) out.insert(out.end(), 4, '\0');
        started_ = true;
        out.insert(out.end(), data, data + size);
        return true;
    }
    bool finish(std::vector<char>&) override { return true; }
    bool deferredStart(std::string& bytes) override {
        bytes = "HEAD";
        return true;
    }

private:
    bool started_ = false;
};

std::string marked(const std::string& bytes) {
    std::string out = "MARK";
    for (char c : bytes)
        out.push_back(static_cast<char>(~c));
    return out;
}

// A split of data.bin (`bytes`, 10,000 of them) in `dir` into 3,000-byte pieces.
SplitRequest tenThousandBytesIn(const TempDir& dir, const std::string& bytes) {
    writeFile(dir / "data.bin", bytes);
    SplitRequest request;
    request.source = dir / "data.bin";
    request.outFolder = dir.path();
    request.totalSize = 10'000;
    request.pieceSize = 3'000;
    return request;
}

} // namespace

TEST(Pipeline, AStageBeforeTheCutIsWhatThePiecesHoldAndItsInverseRebuildsTheFile) {
    TempDir dir;
    const std::string bytes = seededBytes(5, 10'000);
    RunContext run;
    SplitRequest request = tenThousandBytesIn(dir, bytes);
    SplitOptions options;
    options.transforms = {std::make_shared<Marker>(false)};
    const Result<SplitOutcome> made = splitSource(request, options, run);
    ASSERT_TRUE(made) << made.failure().reason;

    // The pieces are cut from what the stage gave out: 10,004 bytes.
    std::string stream;
    for (int i = 0; i < 4; ++i)
        stream += readFile(dir / ("data_spt/data_" + std::to_string(i) + ".spt"));
    EXPECT_FALSE(fs::exists(dir / "data_spt/data_4.spt"));
    EXPECT_EQ(stream, marked(bytes));
    std::vector<PieceCheck> checks;
    ChecksumState sums = ChecksumState::Absent;
    EXPECT_TRUE(verifySet(dir / "data_spt", checks, sums, run));

    fs::create_directories(dir / "plain");
    fs::create_directories(dir / "undone");
    ASSERT_TRUE(joinSet(dir / "data_spt", dir / "plain", {}, run));
    EXPECT_EQ(readFile(dir / "plain/data.bin"), marked(bytes));
    JoinOptions undo;
    undo.transforms = {std::make_shared<Marker>(true)};
    const Result<JoinOutcome> joined = joinSet(dir / "data_spt", dir / "undone", undo, run);
    ASSERT_TRUE(joined) << joined.failure().reason;
    EXPECT_TRUE(joined->fullCheck);
    EXPECT_EQ(readFile(dir / "undone/data.bin"), bytes);
}

TEST(Pipeline, ALateStartIsInTheFirstPieceBeforeItIsHashedOrRefusedWhenItDoesNotFit) {
    TempDir dir;
    const std::string bytes = seededBytes(6, 10'000);
    RunContext run;
    SplitRequest request = tenThousandBytesIn(dir, bytes);
    SplitOptions options;
    options.transforms = {std::make_shared<LateStart>()};
    const Result<SplitOutcome> made = splitSource(request, options, run);
    ASSERT_TRUE(made) << made.failure().reason;
    EXPECT_EQ(readFile(dir / "data_spt/data_0.spt").substr(0, 4), "HEAD");
    std::vector<PieceCheck> checks;
    ChecksumState sums = ChecksumState::Absent;
    EXPECT_TRUE(verifySet(dir / "data_spt", checks, sums, run)); // hashed with its start
    fs::create_directories(dir / "out");
    ASSERT_TRUE(joinSet(dir / "data_spt", dir / "out", {}, run));
    EXPECT_EQ(readFile(dir / "out/data.bin"), "HEAD" + bytes);

    // A first piece shorter than the start cannot hold it: no set.
    fs::remove_all(dir / "data_spt");
    request.pieceSize = 3;
    options.transforms = {std::make_shared<LateStart>()};
    RunContext small;
    EXPECT_FALSE(splitSource(request, options, small));
    EXPECT_FALSE(fs::exists(dir / "data_spt"));
}

TEST(Pipeline, AStreamOfUnknownLengthGetsRecoveryPiecesThatRebuildALostPiece) {
    TempDir dir;
    const std::string bytes = seededBytes(7, 25'000);
    writeFile(dir / "data.bin", bytes);
    const FileDescriptor in(open((dir / "data.bin").c_str(), O_RDONLY | O_CLOEXEC));
    SplitRequest request;
    request.source = "standard input";
    request.outFolder = dir.path();
    request.pieceSize = 4'000; // the last piece is short
    SplitOptions options;
    options.sourceFd = in.get();
    options.setName = "s";
    options.recovery.count = 1;
    RunContext run;
    const Result<SplitOutcome> made = splitSource(request, options, run);
    ASSERT_TRUE(made) << made.failure().reason;
    EXPECT_EQ(made->pieces, 7);
    fs::remove(dir / "s_spt/s_6.spt");
    fs::create_directories(dir / "out");
    const Result<JoinOutcome> joined = joinSet(dir / "s_spt", dir / "out", {}, run);
    ASSERT_TRUE(joined) << joined.failure().reason;
    EXPECT_EQ(readFile(dir / "out/s"), bytes);
}
