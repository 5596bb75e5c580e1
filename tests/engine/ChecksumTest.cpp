// The checksum files: checkable with sha256sum, hashed from what was written,
// never passed over when damaged, and a change anywhere in a piece or the
// manifest caught by the full check and the join.

#include "engine/base/digest.h"
#include "engine/compat/errors.h"
#include "engine/compat/inspection.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest_file.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/join.h"
#include "engine/runs/removal.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/SystemCallSeam.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

namespace fs = std::filesystem;

namespace {

// Runs `sha256sum -c` in `folder`; true when every line checks.
bool sha256sumChecks(const std::string& folder, const std::string& sums) {
    const std::string command =
        "cd '" + folder + "' && sha256sum --quiet -c '" + sums + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

std::string sha256Hex(const std::string& bytes) {
    Sha256Digest digest;
    digest.update(bytes.data(), bytes.size());
    return digest.finishHex();
}

// Writes the set "set" of one piece holding `records` (a name and its bytes
// each, back to back) with both checksum files, as a split of the files
// would; a name may come back after others. Files are named for
// CONTENTS.sha256 in the order of their first records, their bytes in record order.
void writeOnePieceSet(const TempDir& dir,
                      const std::vector<std::pair<std::string, std::string>>& records) {
    fs::create_directories(dir / "set");
    std::string piece;
    std::vector<std::string> order;
    std::map<std::string, std::string> files;
    for (const auto& [name, bytes] : records) {
        piece += bytes;
        if (files.count(name) == 0) order.push_back(name);
        files[name] += bytes;
    }
    char pieceName[kPathBufferSize];
    ASSERT_GT(pieceFileName("s", 0, pieceName), 0);
    writeFile(dir / ("set/" + std::string(pieceName)), piece);
    RunContext run;
    FileDescriptor folder = openFolderPath((dir / "set").c_str());
    ManifestHeader header{};
    std::strcpy(header.baseName, "s");
    header.pieceCount = 1;
    header.totalSize = static_cast<int64_t>(piece.size());
    ManifestWriter writer;
    ASSERT_TRUE(writer.create(folder.get(), header, 0644, dir / "set", run));
    int64_t offset = 0;
    for (const auto& [name, bytes] : records) {
        ASSERT_TRUE(writer.addFile(name, 0, offset, static_cast<int64_t>(bytes.size())));
        offset += static_cast<int64_t>(bytes.size());
    }
    char fingerprint[kMd5HexSize] = {};
    pieceFingerprint((dir / ("set/" + std::string(pieceName))).c_str(), fingerprint);
    ASSERT_TRUE(writer.setPiece(0, fingerprint));
    std::string manifestHex;
    ASSERT_TRUE(writer.finish(false, manifestHex));
    writeFile(dir / "set/SHA256SUMS", checksumLine(sha256Hex(piece), pieceName) +
                                          checksumLine(manifestHex, kManifestFileName));
    std::string contents;
    for (const std::string& name : order)
        contents += checksumLine(sha256Hex(files[name]), "s/" + name);
    writeFile(dir / "set/CONTENTS.sha256", contents);
}

} // namespace

// Two running digests fed together, each over its own bytes in steps of any
// length, and copies taken along the way, end as libcrypto's digest of the
// same bytes does: on this processor's instructions, and on libcrypto alone.
TEST(Digests, RunningDigestsFedTogetherAgreeWithLibcrypto) {
    const std::string bytes = seededBytes(7, 300000);
    for (const bool own : {true, false}) {
        SCOPED_TRACE(own ? "this processor's instructions" : "libcrypto alone");
        if (!own) Sha256Running::useLibcryptoOnly();
        uint32_t seed = 1;
        const auto next = [&](std::size_t below) {
            seed = seed * 1103515245u + 12345u;
            return (seed >> 8) % below;
        };
        for (int round = 0; round < 40; ++round) {
            const std::size_t aStart = next(70), bStart = next(70) + 3;
            const std::size_t aEnd = aStart + next(200000), bEnd = bStart + next(200000);
            Sha256Running a, b, aKept;
            std::size_t aAt = aStart, bAt = bStart, keptAt = aStart;
            while (aAt < aEnd || bAt < bEnd) {
                const std::size_t aStep =
                    std::min(aEnd - aAt, next(3) == 0 ? next(64) : next(20000));
                const std::size_t bStep =
                    std::min(bEnd - bAt, next(3) == 0 ? next(64) : next(20000));
                ASSERT_TRUE(Sha256Running::updateBoth(a, bytes.data() + aAt, aStep, b,
                                                      bytes.data() + bAt, bStep));
                aAt += aStep;
                bAt += bStep;
                if (next(4) == 0) {
                    aKept = a;
                    keptAt = aAt;
                }
            }
            EXPECT_EQ(a.finishHex(), sha256Hex(bytes.substr(aStart, aEnd - aStart))) << round;
            EXPECT_EQ(b.finishHex(), sha256Hex(bytes.substr(bStart, bEnd - bStart))) << round;
            ASSERT_TRUE(aKept.update(bytes.data() + keptAt, aEnd - keptAt));
            EXPECT_EQ(aKept.finishHex(), sha256Hex(bytes.substr(aStart, aEnd - aStart))) << round;
        }
    }
}

TEST(ChecksumFiles, CheckWithSha256sumForOddNames) {
    TempDir dir;
    writeFile(dir / "my file.bin", seededBytes(1, 10000));
    const std::string odd = "tree/sub dir/back\\slash\nnew\rline";
    writeFile(dir / odd, seededBytes(2, 7000));
    writeFile(dir / "tree/a b/c.txt", seededBytes(3, 5000));
    writeFile(dir / "tree/empty", "");
    fs::create_directories(dir / "out");
    for (const auto& [source, set] :
         {std::pair{"my file.bin", "my file_spt"}, std::pair{"tree", "tree_spt"}}) {
        SCOPED_TRACE(source);
        ASSERT_EQ(splitInto(dir / source, dir.path().string(), 4000), 0);
        EXPECT_TRUE(sha256sumChecks(dir / set, "SHA256SUMS"));
        ASSERT_EQ(splitProject_merge((dir / set).c_str(), (dir / "out").c_str(), ""), 0);
        EXPECT_TRUE(sha256sumChecks(dir / "out", dir / (std::string(set) + "/CONTENTS.sha256")));
    }
    EXPECT_NE(
        readFile(dir / "tree_spt/CONTENTS.sha256").find("/sub dir/back\\\\slash\\nnew\\rline\n"),
        std::string::npos);
}

TEST(ChecksumFiles, AChangePastTheFirstKilobyteIsCaughtAndNothingItFeedsIsPutInPlace) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(4, 30000));
    writeFile(dir / "tree/one", seededBytes(5, 6000));
    writeFile(dir / "tree/two", seededBytes(6, 6000));
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 10000), 0);
    ASSERT_EQ(splitInto(dir / "tree", dir.path().string(), 8000), 0);
    flipByte(dir / "f_spt/f_1.spt", 5000);
    flipByte(dir / "tree_spt/tree_1.spt", 3000); // only the second file lies in piece 1

    std::vector<PieceCheck> checks;
    ChecksumState state = ChecksumState::Absent;
    EXPECT_EQ(verifyPieceSet((dir / "f_spt").c_str(), checks, state), -1);
    EXPECT_EQ(state, ChecksumState::Good);
    ASSERT_EQ(checks.size(), 3u);
    EXPECT_TRUE(checks[0].good && !checks[1].good && checks[2].good);
    EXPECT_EQ(checks[1].problem, "does not match its checksum");
    EXPECT_EQ(inspect(dir / "f_spt").pieces[1].checkState, 0); // the quick check cannot see it

    fs::create_directories(dir / "out");
    EXPECT_EQ(splitProject_merge((dir / "f_spt").c_str(), (dir / "out").c_str(), ""), -1);
    EXPECT_NE(engineLastError().find("f_1.spt does not match its checksum"), std::string::npos);
    EXPECT_EQ(splitProject_merge((dir / "tree_spt").c_str(), (dir / "out").c_str(), ""), -1);
    EXPECT_TRUE(fs::is_empty(dir / "out")); // not even the file the good piece holds
}

// Every way a checksum file can be there and wrong fails the join and the
// full check before anything is written, even where the quick check passes.
TEST(ChecksumFiles, DamagedChecksumFilesFailTheRunInsteadOfDowngradingIt) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(4, 9000));
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 4000), 0);
    flipByte(dir / "f_spt/f_1.spt", 3000); // past the quick check's kilobyte
    const std::string sums = readFile(dir / "f_spt/SHA256SUMS");
    const std::string contents = readFile(dir / "f_spt/CONTENTS.sha256");
    const std::string manifestLine = sums.substr(sums.rfind('\n', sums.size() - 2) + 1);
    const std::vector<std::pair<const char*, std::function<void()>>> damages = {
        {"a hex digit of the manifest's line",
         [&] {
             std::string s = sums;
             s[s.size() - manifestLine.size()] ^= 0x01;
             writeFile(dir / "f_spt/SHA256SUMS", s);
         }},
        {"SHA256SUMS removed", [&] { fs::remove(dir / "f_spt/SHA256SUMS"); }},
        {"CONTENTS.sha256 removed", [&] { fs::remove(dir / "f_spt/CONTENTS.sha256"); }},
        {"a piece's name changed",
         [&] {
             std::string s = sums;
             s.replace(s.find("f_1.spt"), 7, "f_9.spt");
             writeFile(dir / "f_spt/SHA256SUMS", s);
         }},
        {"a line added", [&] { writeFile(dir / "f_spt/SHA256SUMS", sums + manifestLine); }},
        {"CONTENTS.sha256 names another file",
         [&] {
             std::string s = contents;
             s.replace(s.find("f.bin"), 5, "g.bin");
             writeFile(dir / "f_spt/CONTENTS.sha256", s);
         }},
        {"CONTENTS.sha256 does not parse",
         [&] { writeFile(dir / "f_spt/CONTENTS.sha256", "x\n"); }},
        {"a link in SHA256SUMS's place",
         [&] {
             writeFile(dir / "copy", sums);
             fs::remove(dir / "f_spt/SHA256SUMS");
             fs::create_symlink(dir / "copy", dir / "f_spt/SHA256SUMS");
         }},
    };
    fs::create_directories(dir / "out");
    for (const auto& [what, damage] : damages) {
        SCOPED_TRACE(what);
        damage();
        EXPECT_EQ(splitProject_merge((dir / "f_spt").c_str(), (dir / "out").c_str(), ""), -1);
        EXPECT_EQ(engineLastFailure(), EngineFailure::ChecksumsDamaged) << engineLastError();
        EXPECT_FALSE(exists(dir / "out/f.bin"));
        std::vector<PieceCheck> checks;
        ChecksumState state = ChecksumState::Good;
        EXPECT_EQ(verifyPieceSet((dir / "f_spt").c_str(), checks, state), -1);
        EXPECT_EQ(state, ChecksumState::Damaged);
        fs::remove(dir / "f_spt/SHA256SUMS");
        writeFile(dir / "f_spt/SHA256SUMS", sums);
        writeFile(dir / "f_spt/CONTENTS.sha256", contents);
    }
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

TEST(ChecksumFiles, OnlyASetWithoutAnyJoinsWithTheQuickCheckAndSaysSo) {
    TempDir dir;
    writeFile(dir / "b.bin", seededBytes(8, 9000));
    ASSERT_EQ(splitMeasured(dir / "b.bin", dir.path().string(), 4000, nullptr, false), 0);
    fs::create_directories(dir / "out");
    JoinOptions required;
    required.requireChecksums = true;
    EXPECT_EQ(joinWithOptions((dir / "b_spt").c_str(), (dir / "out").c_str(), required, nullptr),
              -1);
    EXPECT_EQ(engineLastFailure(), EngineFailure::NoChecksums);
    JoinOutcome outcome;
    outcome.fullCheck = true;
    ASSERT_EQ(
        joinWithOptions((dir / "b_spt").c_str(), (dir / "out").c_str(), JoinOptions{}, &outcome),
        0);
    EXPECT_FALSE(outcome.fullCheck);
    EXPECT_EQ(readFile(dir / "out/b.bin"), seededBytes(8, 9000));
    // Pieces only quick-checked go only when the user accepted that.
    RemovalReport report;
    EXPECT_EQ(removeJoinedPieces(outcome, report), -1);
    EXPECT_EQ(engineLastFailure(), EngineFailure::NoChecksums);
    EXPECT_TRUE(exists(dir / "b_spt/spt_config.morvspt"));
    EXPECT_EQ(removeJoinedPieces(outcome, report, true), 0);
    EXPECT_FALSE(exists(dir / "b_spt"));

    // Told to, a join passes over damaged files with the quick check, and says so.
    writeFile(dir / "b.bin", seededBytes(9, 9000));
    ASSERT_EQ(splitInto(dir / "b.bin", dir.path().string(), 4000), 0);
    fs::remove(dir / "b_spt/CONTENTS.sha256");
    JoinOptions ignoring;
    ignoring.ignoreChecksums = true;
    outcome.fullCheck = true;
    ASSERT_EQ(joinWithOptions((dir / "b_spt").c_str(), (dir / "out").c_str(), ignoring, &outcome),
              0);
    EXPECT_FALSE(outcome.fullCheck);
    EXPECT_EQ(readFile(dir / "out/b.bin"), seededBytes(9, 9000));
}

// A flipped bit in a folder set's manifest moves a file's bytes: the manifest
// no longer matches its line; and where the line was forged to match, the
// rebuilt file's own checksum stops it.
TEST(ChecksumFiles, AManifestChangedInPlaceNeverGivesWrongFiles) {
    TempDir dir;
    writeFile(dir / "tree/a", seededBytes(10, 3000));
    writeFile(dir / "tree/b", seededBytes(11, 3000));
    ASSERT_EQ(splitInto(dir / "tree", dir.path().string(), 10000), 0);
    const std::string manifest = dir / "tree_spt/spt_config.morvspt";
    // The second file record's offset (3000), header, one piece record and one
    // file record in: 2992 still lies in the piece.
    flipByte(manifest, 352 + 37 + 280 + 264, 0x08);
    fs::create_directories(dir / "out");
    EXPECT_EQ(splitProject_merge((dir / "tree_spt").c_str(), (dir / "out").c_str(), ""), -1);
    EXPECT_EQ(engineLastFailure(), EngineFailure::ChecksumsDamaged);
    EXPECT_NE(engineLastError().find("the manifest does not match"), std::string::npos);

    std::string sums = readFile(dir / "tree_spt/SHA256SUMS");
    sums.replace(sums.rfind('\n', sums.find("  spt_config.morvspt")) + 1, 64,
                 sha256Hex(readFile(manifest)));
    writeFile(dir / "tree_spt/SHA256SUMS", sums);
    EXPECT_EQ(splitProject_merge((dir / "tree_spt").c_str(), (dir / "out").c_str(), ""), -1);
    EXPECT_NE(engineLastError().find("does not match its checksum in CONTENTS.sha256"),
              std::string::npos)
        << engineLastError();
    std::vector<PieceCheck> checks;
    ChecksumState state;
    EXPECT_EQ(verifyPieceSet((dir / "tree_spt").c_str(), checks, state), -1);
    EXPECT_EQ(state, ChecksumState::Good);
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

TEST(ChecksumFiles, AChecksumFileThatCannotBeWrittenFailsTheSplit) {
    TempDir dir;
    // Many tiny pieces: SHA256SUMS is the largest file of the set.
    writeFile(dir / "f.bin", seededBytes(9, 300));
    EXPECT_EQ(
        withFileSizeLimit(8000, [&] { return splitInto(dir / "f.bin", dir.path().string(), 1); }),
        -1);
    EXPECT_FALSE(exists(dir / "f_spt/spt_config.morvspt"));

    {
        SeamRecording seam;
        seam.refuse(SeamCall::Openat, "CONTENTS.sha256", 1, ENOSPC, O_CREAT);
        EXPECT_EQ(splitInto(dir / "f.bin", dir.path().string(), 100), -1);
    }
    EXPECT_NE(engineLastError().find("CONTENTS.sha256: No space left on device"),
              std::string::npos);
    EXPECT_FALSE(exists(dir / "f_spt/spt_config.morvspt"));
    EXPECT_FALSE(holdsTemporary(dir.path().string()));
}

// A file whose records lie apart is one file, made of them in record order,
// named where its first record is; the join and the full check agree with
// CONTENTS.sha256 on it.
TEST(ChecksumFiles, RecordsOfOneNameApartMakeOneFile) {
    TempDir dir;
    writeOnePieceSet(
        dir,
        {{"a", seededBytes(1, 300)}, {"d/b", seededBytes(2, 200)}, {"a", seededBytes(3, 100)}});
    std::vector<PieceCheck> checks;
    ChecksumState state = ChecksumState::Absent;
    RunContext run;
    EXPECT_TRUE(verifySet(dir / "set", checks, state, run)) << run.failure().reason;
    EXPECT_EQ(state, ChecksumState::Good);
    fs::create_directories(dir / "out");
    const Result<JoinOutcome> joined = joinSet(dir / "set", dir / "out", JoinOptions{}, run);
    ASSERT_TRUE(joined) << run.failure().reason;
    EXPECT_TRUE(joined->fullCheck);
    EXPECT_EQ(treeContents(dir / "out"), (std::map<std::string, std::string>{
                                             {"s/a", seededBytes(1, 300) + seededBytes(3, 100)},
                                             {"s/d/b", seededBytes(2, 200)}}));
}

// The full check keeps per file its slices and its digest, not its names nor
// its lines: what it allocates in all grows by far less than a file's line.
TEST(ChecksumFiles, TheFullCheckAllocatesLittlePerFile) {
    const auto allocatedFor = [](int files) {
        TempDir dir;
        std::vector<std::pair<std::string, std::string>> records;
        for (int i = 0; i < files; ++i)
            records.push_back(
                {"folder-" + std::to_string(i % 7) + "/a-longer-file-name-" + std::to_string(i),
                 std::string(static_cast<std::size_t>(i % 5), 'x')});
        writeOnePieceSet(dir, records);
        std::vector<PieceCheck> checks;
        ChecksumState state = ChecksumState::Absent;
        RunContext run;
        bool checked = false;
        const std::size_t bytes = bytesAllocatedDuring(
            [&] { checked = static_cast<bool>(verifySet(dir / "set", checks, state, run)); });
        EXPECT_TRUE(checked) << run.failure().reason;
        return bytes;
    };
    // Both above the 1 MiB step the manifest's records are read in.
    const std::size_t fewer = allocatedFor(4000);
    const std::size_t more = allocatedFor(12000);
    if (more == 0) GTEST_SKIP() << "allocations are not counted under a sanitizer";
    EXPECT_LT(more > fewer ? (more - fewer) / 8000 : 0, 300u) << fewer << " " << more;
}
