#include "engine/format/manifest.h"
#include "engine/compat/registry.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace {

const std::string kZeroBlockDigest = "0F343B0931126A20F133D67C2B018A3B"; // 1024 zero bytes

std::string fingerprintOf(const std::string& path) {
    char out[33] = {};
    pieceFingerprint(path.c_str(), out);
    return out;
}

std::string manifestPath(const TempDir& dir) {
    return dir / kManifestFileName;
}

std::pair<std::size_t, std::size_t> recordCounts() {
    std::vector<const PieceRecord*> p;
    std::vector<const FileRecord*> f;
    listPieceRecords(p);
    listFileRecords(f);
    return {p.size(), f.size()};
}

// Loads the manifest of `folder`; `allocated` receives the bytes the load
// allocated in all.
int32_t countedLoad(const std::string& folder, std::size_t& allocated) {
    int32_t result = 0;
    allocated = bytesAllocatedDuring([&] { result = loadManifest(folder.c_str()); });
    return result;
}

// What a refused load may allocate, whatever its counts claim: a few steps of
// reading, far less than the records of the manifests below.
constexpr std::size_t kRefusalBudget = std::size_t{4} << 20;

} // namespace

TEST(Digest, Md5HexIsUpperCaseRfc1321) {
    char out[33];
    md5Hex("", 0, out);
    EXPECT_STREQ(out, "D41D8CD98F00B204E9800998ECF8427E");
    md5Hex("abc", 3, out);
    EXPECT_STREQ(out, "900150983CD24FB0D6963F7D28E17F72");
    md5Hex("secret", 6, out);
    EXPECT_STREQ(out, "5EBE2294ECD0E0F08EAB7690D2A6EE69");
}

TEST(Fingerprint, CoversLengthAndFirst1016BytesOnly) {
    TempDir dir;
    writeFile(dir / "empty", "");
    EXPECT_EQ(fingerprintOf(dir / "empty"), kZeroBlockDigest);
    writeFile(dir / "piece", "0123");
    EXPECT_EQ(fingerprintOf(dir / "piece"), "7D334438F9FBE09FA5B6750B29EEEFF2");

    // Trailing zero bytes still change the length, hence the fingerprint.
    writeFile(dir / "zeros", std::string("0123\0\0", 6));
    EXPECT_NE(fingerprintOf(dir / "zeros"), fingerprintOf(dir / "piece"));

    std::string big = seededBytes(1, 5000);
    writeFile(dir / "big", big);
    const std::string before = fingerprintOf(dir / "big");
    big[1016] ^= 1;
    writeFile(dir / "big", big);
    EXPECT_EQ(fingerprintOf(dir / "big"), before);
    big[1015] ^= 1;
    writeFile(dir / "big", big);
    EXPECT_NE(fingerprintOf(dir / "big"), before);

    char untouched[33] = "sentinel";
    pieceFingerprint((dir / "missing").c_str(), untouched);
    pieceFingerprint(dir.path().c_str(), untouched); // a folder is not a piece
    EXPECT_STREQ(untouched, "sentinel");
}

TEST(Registry, BuildsAndWritesTheExactLayout) {
    TempDir dir;
    writeFile(dir / "p_0.spt", "0123");
    ASSERT_EQ(beginManifest(dir.path().c_str()), 0);
    ASSERT_EQ(setManifestBaseName("p.bin"), 0);
    setManifestPieceCount(3);
    setManifestTotalSize(11);
    setManifestPassword("secret");
    ASSERT_EQ(addFileRecord("x/a", 0, 0, 4), 0);
    ASSERT_EQ(addPieceRecord(0, (dir / "p_0.spt").c_str()), 0);
    ASSERT_EQ(addPieceRecord(1, (dir / "missing.spt").c_str()), 0);
    ASSERT_EQ(addFileRecord("b", 2, 0, 0), 0);
    ASSERT_EQ(addPieceRecord(2, (dir / "p_0.spt").c_str()), 0);
    EXPECT_EQ(getManifestFileCount(), 2);
    ASSERT_EQ(writeManifest(), 0);

    const std::string expected = ManifestBytes()
                                     .header(3, 2, 11, "5EBE2294ECD0E0F08EAB7690D2A6EE69", "p.bin")
                                     .piece(0, "7D334438F9FBE09FA5B6750B29EEEFF2")
                                     .piece(1, "")
                                     .piece(2, "7D334438F9FBE09FA5B6750B29EEEFF2")
                                     .file("x/a", 0, 0, 0, 4)
                                     .file("b", 1, 2, 0, 0)
                                     .str();
    const std::string written = readFile(manifestPath(dir));
    EXPECT_EQ(written.size(), 1023u);
    EXPECT_EQ(written, expected);
    EXPECT_EQ(written.substr(32, 4), std::string("\xDE\x07\x00\x00", 4));
}

TEST(Registry, LoadReadsBackWhatWasWritten) {
    TempDir dir;
    writeFile(manifestPath(dir), ManifestBytes()
                                     .header(2, 1, 99, "", "movie.final.mp4")
                                     .piece(0, "AB")
                                     .piece(1, "CD")
                                     .file("dir/f", 0, 1, 5, 6)
                                     .str());
    ASSERT_EQ(loadManifest(dir.path().c_str()), 0);
    EXPECT_EQ(getManifestPieceCount(), 2);
    EXPECT_EQ(getManifestFileCount(), 1);
    EXPECT_EQ(getManifestTotalSize(), 99);
    char name[1024] = {};
    getManifestBaseName(name);
    EXPECT_STREQ(name, "movie.final.mp4");
    char digest[33] = "untouched";
    getManifestPasswordDigest(digest);
    EXPECT_STREQ(digest, "untouched");

    std::vector<const PieceRecord*> pieces;
    listPieceRecords(pieces);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(int32_t{pieces[1]->pieceIndex}, 1); // a copy: the record is packed
    EXPECT_STREQ(pieces[1]->fingerprint, "CD");
    std::vector<const FileRecord*> files;
    listFileRecords(files);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_STREQ(files[0]->name, "dir/f");
    EXPECT_EQ(files[0]->pieceIndex, 1);
    EXPECT_EQ(files[0]->offset, 5);
    EXPECT_EQ(files[0]->length, 6);
}

TEST(Registry, LoadRejectsOrToleratesDamagedManifests) {
    TempDir dir;
    const char* folder = dir.path().c_str();
    auto load = [&](const std::string& bytes) {
        writeFile(manifestPath(dir), bytes);
        return loadManifest(folder);
    };
    EXPECT_EQ(loadManifest(folder), -1); // no manifest at all
    EXPECT_EQ(load(ManifestBytes().header(1, 0, 1, "", "x", 2015).piece(0, "").str()), -1);
    EXPECT_EQ(load(ManifestBytes().header(1, 0, 1, "", "x", 2014, 100).piece(0, "").str()), -1);
    EXPECT_EQ(recordCounts(), std::make_pair(std::size_t{0}, std::size_t{0}));
    EXPECT_EQ(load(ManifestBytes().header(kManifestMaxPieceCount + 1, 0, 1, "", "x").str()), -1);
    EXPECT_EQ(load(ManifestBytes().header(0, INT32_MAX, 1, "", "x").str()), -1);
    EXPECT_EQ(load("short"), -1);

    EXPECT_EQ(load(ManifestBytes().header(-5, -1, 1, "", "x").str()), 0);
    EXPECT_EQ(recordCounts(), std::make_pair(std::size_t{0}, std::size_t{0}));

    // Cut off after the header: the promised records read as zeros.
    EXPECT_EQ(load(ManifestBytes().header(2, 1, 1, "", "x").str()), 0);
    std::vector<const PieceRecord*> pieces;
    listPieceRecords(pieces);
    std::vector<const FileRecord*> files;
    listFileRecords(files);
    ASSERT_EQ(pieces.size(), 2u);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(int32_t{pieces[1]->pieceIndex}, 0); // a copy: the record is packed
    EXPECT_STREQ(pieces[1]->fingerprint, "");
    EXPECT_STREQ(files[0]->name, "");
    EXPECT_EQ(files[0]->length, 0);

    // Cut off inside a piece record, as by an interrupted copy: the whole
    // records are kept, the rest read as zeros.
    const std::string cut =
        ManifestBytes().header(4, 1, 1, "", "x").piece(0, "AB").piece(1, "CD").str();
    EXPECT_EQ(load(cut.substr(0, cut.size() - 20)), 0);
    pieces.clear();
    listPieceRecords(pieces);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_STREQ(pieces[0]->fingerprint, "AB");
    EXPECT_EQ(recordCounts().second, 1u);

    std::filesystem::remove(manifestPath(dir));
    std::filesystem::create_directory(manifestPath(dir)); // a folder in the manifest's place
    EXPECT_EQ(loadManifest(folder), -1);
}

TEST(Registry, LoadRefusesAManifestWithoutTheBytesItsCountsNeed) {
    // The counts need 587 MB; the file has their length, but no data between
    // its first piece records and its last file record.
    TempDir dir;
    const std::string start = ManifestBytes()
                                  .header(3, kManifestMaxFileCount, 1, "", "x")
                                  .piece(0, "AB")
                                  .piece(1, "CD")
                                  .piece(2, "EF")
                                  .str();
    const std::string last = ManifestBytes().file("last", kManifestMaxFileCount - 1, 2, 0, 1).str();
    writeFile(manifestPath(dir), start);
    const auto length = start.size() + std::size_t{kManifestMaxFileCount} * sizeof(FileRecord);
    std::filesystem::resize_file(manifestPath(dir), length - last.size());
    std::ofstream(manifestPath(dir), std::ios::binary | std::ios::app) << last;
    ASSERT_EQ(std::filesystem::file_size(manifestPath(dir)), length);

    std::size_t allocated = 0;
    EXPECT_EQ(countedLoad(dir.path(), allocated), -1);
    EXPECT_EQ(recordCounts(), std::make_pair(std::size_t{0}, std::size_t{0}));
    EXPECT_LT(allocated, kRefusalBudget);
}

TEST(Registry, LoadRefusesPieceRecordsOutOfOrder) {
    TempDir dir;
    auto load = [&](const std::string& bytes) {
        writeFile(manifestPath(dir), bytes);
        return loadManifest(dir.path().c_str());
    };
    EXPECT_EQ(
        load(ManifestBytes().header(3, 0, 1, "", "x").piece(0, "").piece(2, "").piece(1, "").str()),
        -1);
    EXPECT_EQ(load(ManifestBytes().header(2, 0, 1, "", "x").piece(1, "").piece(2, "").str()), -1);
    EXPECT_EQ(recordCounts(), std::make_pair(std::size_t{0}, std::size_t{0}));

    // Zeros written out in full for 200,000 records: refused at the second
    // one, before it has cost what the records would.
    const int32_t count = 200000;
    ASSERT_GT(count * sizeof(PieceRecord), kRefusalBudget);
    writeFile(manifestPath(dir), ManifestBytes().header(count, 0, 1, "", "x").str() +
                                     std::string(count * sizeof(PieceRecord), '\0'));
    std::size_t allocated = 0;
    EXPECT_EQ(countedLoad(dir.path(), allocated), -1);
    EXPECT_LT(allocated, kRefusalBudget);
}

TEST(Registry, TextFieldsWithoutTheirNulAreReadWithinTheField) {
    TempDir dir;
    std::string bytes = ManifestBytes().header(0, 0, 0, std::string(40, 'F'), "").str();
    std::fill(bytes.begin() + 96, bytes.end(), 'n');
    writeFile(manifestPath(dir), bytes);
    ASSERT_EQ(loadManifest(dir.path().c_str()), 0);
    char name[1024] = "untouched";
    getManifestBaseName(name);
    EXPECT_STREQ(name, ""); // damaged: never handed out cut short
    char digest[33] = {};
    getManifestPasswordDigest(digest);
    EXPECT_EQ(std::string(digest), std::string(32, 'F'));
}

TEST(Registry, FieldsAreNeverOverrun) {
    TempDir dir;
    ASSERT_EQ(beginManifest(dir.path().c_str()), 0);
    ASSERT_EQ(setManifestBaseName("kept"), 0);
    EXPECT_EQ(setManifestBaseName(std::string(256, 'x').c_str()), -1);
    EXPECT_EQ(addFileRecord(std::string(256, 'x').c_str(), 0, 0, 0), -1);
    EXPECT_EQ(getManifestFileCount(), 0);
    char name[1024] = {};
    getManifestBaseName(name);
    EXPECT_STREQ(name, "kept");

    EXPECT_EQ(beginManifest(("/" + std::string(1010, 'p')).c_str()), -1);
    EXPECT_EQ(writeManifest(), -1);
}

TEST(Registry, ConcurrentPieceRecordsAreAllKept) {
    TempDir dir;
    ASSERT_EQ(beginManifest(dir.path().c_str()), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                addPieceRecord(t * 1000 + i, "/nonexistent");
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::vector<const PieceRecord*> pieces;
    listPieceRecords(pieces);
    EXPECT_EQ(pieces.size(), 800u);
}
