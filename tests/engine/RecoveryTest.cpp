// Recovery pieces: every loss the code covers comes back byte for byte, by a
// repair and by a join that rebuilds on the fly; one loss more is refused
// with the counts, and nothing is written under a real name.

#include "engine/runs/recovery.h"
#include "engine/base/digest.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/join.h"
#include "engine/runs/numbered_parts.h"
#include "engine/runs/recovery_code.h"
#include "engine/runs/split.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;

// Whether the calling thread holds the upper halves of its 256- and 512-bit
// registers in use, where the processor says (XGETBV 1); nothing elsewhere.
std::optional<bool> upperHalvesInUse() {
#if defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0)
        return std::nullopt;
    if (!__get_cpuid_count(0xd, 1, &a, &b, &c, &d) || (a & 0x4) == 0) return std::nullopt;
    unsigned low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 0x6) != 0x6) return std::nullopt; // the system keeps no YMM state
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(1));
    return (low & 0x44) != 0; // YMM_Hi128 and ZMM_Hi256
#else
    return std::nullopt;
#endif
}

std::map<std::string, std::string> filesIn(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::directory_iterator(folder))
        out[entry.path().filename().string()] = readFile(entry.path().string());
    return out;
}

struct Made {
    std::string source;
    std::string set;
    std::map<std::string, std::string> files; // the set as the split wrote it
};

Made makeSet(const TempDir& dir, int64_t size, int64_t pieceSize, RecoveryRequest recovery,
             const std::string& name = "data.bin") {
    Made made;
    made.source = dir / name;
    static const std::string bytes = seededBytes(7, static_cast<std::size_t>(16 * kMiB));
    writeFile(made.source, bytes.substr(0, static_cast<std::size_t>(size)));
    fs::create_directories(dir / "out");
    SplitRequest request;
    request.source = made.source;
    request.outFolder = dir / "out";
    request.totalSize = size;
    request.pieceSize = pieceSize;
    SplitOptions options;
    options.recovery = recovery;
    RunContext run;
    const Result<SplitOutcome> split = splitSource(request, options, run);
    EXPECT_TRUE(split) << (split ? "" : split.failure().reason);
    made.set = split ? split->pieceFolder : "";
    made.files = filesIn(made.set);
    return made;
}

void removeFile(const std::string& set, const std::string& name) {
    ASSERT_EQ(unlink((set + "/" + name).c_str()), 0) << name;
}
void truncateFile(const std::string& set, const std::string& name, int64_t size) {
    ASSERT_EQ(truncate((set + "/" + name).c_str(), size), 0) << name;
}
void changeByte(const std::string& set, const std::string& name, int64_t offset) {
    std::string bytes = readFile(set + "/" + name);
    ASSERT_LT(offset, static_cast<int64_t>(bytes.size()));
    bytes[static_cast<std::size_t>(offset)] ^= 0x5A;
    writeFile(set + "/" + name, bytes);
}
std::string piece(int i) {
    return "data_" + std::to_string(i) + ".spt";
}

void everyHeader(const std::string& set, const std::function<void(const std::string&)>& change) {
    for (const auto& entry : fs::directory_iterator(set))
        if (entry.path().extension() == ".hdr") change(entry.path().string());
}

// A field of a recovery header: `size` bytes at `offset`, little-endian.
struct Field {
    std::size_t offset, size;
    uint64_t value;
};
// The header at `path` with `fields` set, and its own checksum made again to match.
void resign(const std::string& path, const std::vector<Field>& fields) {
    std::string bytes = readFile(path);
    for (const Field& field : fields)
        for (std::size_t i = 0; i < field.size; ++i)
            bytes[field.offset + i] = static_cast<char>(field.value >> (8 * i));
    unsigned char own[32];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size() - 32, own);
    bytes.replace(bytes.size() - 32, 32, reinterpret_cast<const char*>(own), 32);
    writeFile(path, bytes);
}

struct Loss {
    const char* what;
    int m;
    std::function<void(const std::string&)> damage;
    bool repairable;
};

} // namespace

// Six pieces of 2.5 MiB (three 1 MiB stripes each, the last short), m = 1, 2, 4.
TEST(Recovery, EveryLossUpToTheRecoveryCountComesBackAndOneMoreIsRefused) {
    const auto missing = [](int n) {
        return [n](const std::string& set) {
            for (int i = 0; i < n; ++i)
                removeFile(set, piece(i));
        };
    };
    const auto truncated = [](int n) {
        return [n](const std::string& set) {
            for (int i = 0; i < n; ++i)
                truncateFile(set, piece(i), kMiB + 7);
        };
    };
    const auto oneStripe = [](int n) {
        return [n](const std::string& set) {
            for (int i = 0; i < n; ++i)
                changeByte(set, piece(i), kMiB + 100 + i);
        };
    };
    const std::vector<Loss> losses = {
        {"1 missing", 1, missing(1), true},
        {"2 missing", 2, missing(2), true},
        {"4 missing", 4, missing(4), true},
        {"1 truncated", 1, truncated(1), true},
        {"2 truncated", 2, truncated(2), true},
        {"4 truncated", 4, truncated(4), true},
        {"bytes changed in one stripe of 1", 1, oneStripe(1), true},
        {"bytes changed in one stripe of 2", 2, oneStripe(2), true},
        {"bytes changed in one stripe of 4", 4, oneStripe(4), true},
        {"a different stripe of every piece", 2,
         [](const std::string& set) {
             for (int i = 0; i < 6; ++i)
                 changeByte(set, piece(i), (i % 3) * kMiB + 5);
         },
         true},
        {"a recovery piece and a piece", 2,
         [](const std::string& set) {
             removeFile(set, "data_R1.rec");
             removeFile(set, piece(5));
         },
         true},
        {"the manifest", 1, [](const std::string& set) { removeFile(set, "spt_config.morvspt"); },
         true},
        {"SHA256SUMS", 1, [](const std::string& set) { removeFile(set, "SHA256SUMS"); }, true},
        {"a changed CONTENTS.sha256 and a piece", 2,
         [](const std::string& set) {
             changeByte(set, "CONTENTS.sha256", 3);
             removeFile(set, piece(2));
         },
         true},
        {"2 missing with 1", 1, missing(2), false},
        {"3 missing with 2", 2, missing(3), false},
        {"5 changed with 4", 4, oneStripe(5), false},
        {"the same stripe of 3 pieces with 2", 2,
         [](const std::string& set) {
             for (int i = 0; i < 3; ++i)
                 changeByte(set, piece(i), 2 * kMiB + 1);
         },
         false},
    };
    for (const Loss& loss : losses) {
        SCOPED_TRACE(loss.what);
        TempDir dir;
        const Made made = makeSet(dir, 15 * kMiB, 5 * kMiB / 2, {loss.m, 0});
        ASSERT_FALSE(made.set.empty());
        loss.damage(made.set);
        const std::map<std::string, std::string> damaged = filesIn(made.set);

        // A join reads the rebuilt files without writing into the set's folder.
        fs::create_directories(dir / "joined");
        RunContext joinRun;
        const Result<JoinOutcome> joined = joinSet(made.set, dir / "joined", {}, joinRun);
        EXPECT_EQ(filesIn(made.set), damaged);
        EXPECT_EQ(filesIn(dir / "joined").size(), loss.repairable ? 1u : 0u);
        if (loss.repairable) {
            ASSERT_TRUE(joined) << joined.failure().reason;
            EXPECT_EQ(readFile(dir / "joined/data.bin"), readFile(made.source));
            EXPECT_NE(joined->rebuilt.find("from the recovery pieces"), std::string::npos);
            // Nothing the first, failed reading said of itself outlives it.
            for (const std::string& note : joinRun.takeNotes())
                EXPECT_EQ(note.find("was changed"), std::string::npos) << note;
        } else {
            EXPECT_FALSE(joined);
        }

        const FileDescriptor folder = openFolderPath(made.set);
        RunContext run;
        const Result<RepairOutcome> repaired =
            repairSet(folder.get(), made.set, "data", -1, made.set, run);
        if (!loss.repairable) {
            ASSERT_FALSE(repaired);
            EXPECT_NE(repaired.failure().reason.find("not repairable"), std::string::npos)
                << repaired.failure().reason;
            EXPECT_EQ(filesIn(made.set), damaged);
            continue;
        }
        ASSERT_TRUE(repaired) << repaired.failure().reason;
        EXPECT_FALSE(repaired->rebuilt.empty());
        std::map<std::string, std::string> now = filesIn(made.set);
        // What was replaced is kept, as it was, beside what replaced it.
        for (const auto& [name, bytes] : now) {
            if (const std::size_t at = name.find(".damaged"); at != std::string::npos) {
                EXPECT_EQ(bytes, damaged.at(name.substr(0, at))) << name;
            }
        }
        std::erase_if(now, [](const auto& entry) {
            return entry.first.find(".damaged") != std::string::npos;
        });
        EXPECT_EQ(now, made.files);
    }
}

// A set of more than 255 pieces is cut into groups, piece i in group i mod G:
// a run of consecutive pieces spreads over the groups. It is read with fewer
// descriptors than it has pieces.
TEST(Recovery, ConsecutiveLossesInALargeSetSpreadOverItsGroups) {
    TempDir dir;
    const Made made = makeSet(dir, 300 * 4096, 4096, {1, 0});
    ASSERT_FALSE(made.set.empty());
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit fewer = old;
    fewer.rlim_cur = 200;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &fewer), 0);
    struct Restore {
        rlimit limit;
        ~Restore() { setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{old};
    const FileDescriptor folder = openFolderPath(made.set);
    RunContext run;
    const RecoveryReport intact = assessRecovery(folder.get(), made.set, "data", run);
    ASSERT_TRUE(intact.hasRecovery);
    EXPECT_EQ(intact.shape.groups, 2);
    EXPECT_EQ(survivalText(intact.shape),
              "any 1 piece of each of its 2 groups, or any 2 consecutive pieces");

    removeFile(made.set, piece(120));
    removeFile(made.set, piece(121));
    ASSERT_TRUE(repairSet(folder.get(), made.set, "data", -1, made.set, run));
    EXPECT_EQ(filesIn(made.set), made.files);

    removeFile(made.set, piece(120));
    removeFile(made.set, piece(122)); // the same group
    const RecoveryReport twice = assessRecovery(folder.get(), made.set, "data", run);
    EXPECT_FALSE(twice.repairable);
    EXPECT_EQ(twice.summary(),
              "2 pieces missing (2 bad stripes); 2 recovery pieces: not repairable "
              "(2 bad in one row, 1 recovery per group)");
}

// A header is used only when it is whole and belongs to the set beside it.
TEST(Recovery, HeadersThatAreDamagedOrForeignAreRefusedAndNothingIsWritten) {
    // One data piece more, with the header's own checksum made again to match.
    const auto recount = [](const std::string& path) { resign(path, {{12, 4, 7}}); };
    struct Case {
        const char* what;
        std::function<void(const TempDir&, const std::string&)> change;
        const char* said;
    };
    const std::vector<Case> cases = {
        {"truncated",
         [&](const TempDir&, const std::string& set) {
             everyHeader(set, [](const std::string& path) { truncate(path.c_str(), 600); });
         },
         "length is not what its counts give"},
        {"sparse megabytes behind a magic",
         [&](const TempDir&, const std::string& set) {
             everyHeader(set, [](const std::string& path) {
                 writeFile(path, "PRCLRECV");
                 ASSERT_EQ(truncate(path.c_str(), int64_t{64} << 20), 0);
             });
         },
         "of a version this program does not read"},
        {"counts past its length",
         [&](const TempDir&, const std::string& set) { everyHeader(set, recount); },
         "length is not what its counts give"},
        {"another set's",
         [&](const TempDir& dir, const std::string& set) {
             TempDir other;
             const Made foreign = makeSet(other, 12 * kMiB, 5 * kMiB / 2, {1, 0});
             (void)dir;
             for (const auto& [name, bytes] : foreign.files)
                 if (name.size() > 4 && name.substr(name.size() - 4) == ".hdr")
                     writeFile(set + "/" + name, bytes);
         },
         "another set"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const Made made = makeSet(dir, 15 * kMiB, 5 * kMiB / 2, {1, 0});
        c.change(dir, made.set);
        removeFile(made.set, piece(1));
        const std::map<std::string, std::string> before = filesIn(made.set);
        const FileDescriptor folder = openFolderPath(made.set);
        RunContext run;
        const Result<RepairOutcome> repaired =
            repairSet(folder.get(), made.set, "data", -1, made.set, run);
        ASSERT_FALSE(repaired);
        EXPECT_NE(repaired.failure().reason.find(c.said), std::string::npos)
            << repaired.failure().reason;
        EXPECT_EQ(filesIn(made.set), before);
    }
}

// With an output folder the set's folder is only read; the rebuilt files go there.
TEST(Recovery, ARepairIntoAnotherFolderLeavesTheSetAsItIs) {
    TempDir dir;
    const Made made = makeSet(dir, 15 * kMiB, 5 * kMiB / 2, {2, 0});
    removeFile(made.set, piece(3));
    changeByte(made.set, "data_R0.rec", 10);
    const std::map<std::string, std::string> before = filesIn(made.set);
    fs::create_directories(dir / "rebuilt");
    const FileDescriptor folder = openFolderPath(made.set);
    const FileDescriptor out = openFolderPath(dir / "rebuilt");
    // A name there already taken: nothing of the repair is left there.
    writeFile(dir / "rebuilt/data_R0.rec", "mine");
    RunContext refused;
    EXPECT_FALSE(repairSet(folder.get(), made.set, "data", out.get(), dir / "rebuilt", refused));
    EXPECT_EQ(filesIn(dir / "rebuilt"),
              (std::map<std::string, std::string>{{"data_R0.rec", "mine"}}));
    fs::remove(dir / "rebuilt/data_R0.rec");
    RunContext run;
    const Result<RepairOutcome> repaired =
        repairSet(folder.get(), made.set, "data", out.get(), dir / "rebuilt", run);
    ASSERT_TRUE(repaired) << repaired.failure().reason;
    EXPECT_EQ(filesIn(made.set), before);
    const std::map<std::string, std::string> rebuilt = filesIn(dir / "rebuilt");
    ASSERT_EQ(rebuilt.size(), 2u);
    EXPECT_EQ(rebuilt.at(piece(3)), made.files.at(piece(3)));
    EXPECT_EQ(rebuilt.at("data_R0.rec"), made.files.at("data_R0.rec"));
}

// A header re-signed to claim what no split of its set writes is refused
// before anything it sizes is allocated: 1 GiB stripes and columns for 50 KB
// pieces, a stripe size off the rule, a piece of another length than the
// others, a manifest of a length no manifest of its pieces has. No split
// makes a set of more columns than a reader keeps.
TEST(Recovery, HeadersClaimingWhatNoSplitOfTheirSetWritesAreRefusedBeforeAllocating) {
    const struct {
        const char* what;
        std::vector<Field> fields;
        const char* said;
    } cases[] = {
        {"1 GiB stripes and columns",
         {{28, 4, uint64_t{1} << 30}, {36, 8, uint64_t{1} << 30}},
         "not what a split of its set makes"},
        {"a stripe off the rule", {{28, 4, 65536}}, "not what a split of its set makes"},
        {"a shorter piece", {{460 + 8 * 2, 8, 49999}}, "pieces' lengths are not those of a split"},
        {"a manifest a byte longer", {{300, 8, 352 + 37 * 6 + 1}}, "its files' lengths are not"},
    };
    TempDir dir;
    const Made made = makeSet(dir, 300000, 50000, {1, 0});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string set = dir / c.what;
        fs::copy(made.set, set);
        everyHeader(set, [&](const std::string& path) { resign(path, c.fields); });
        removeFile(set, piece(1));
        const std::map<std::string, std::string> before = filesIn(set);
        const FileDescriptor folder = openFolderPath(set);
        RunContext run;
        RecoveryReport report;
        std::optional<Result<RepairOutcome>> repaired;
        const std::size_t allocated = bytesAllocatedDuring([&] {
            report = assessRecovery(folder.get(), set, "data", run);
            repaired.emplace(repairSet(folder.get(), set, "data", -1, set, run));
        });
        EXPECT_FALSE(report.hasRecovery);
        EXPECT_NE(report.headerProblem.find(c.said), std::string::npos) << report.headerProblem;
        ASSERT_FALSE(*repaired);
        EXPECT_NE(repaired->failure().reason.find(c.said), std::string::npos)
            << repaired->failure().reason;
        EXPECT_EQ(filesIn(set), before);
        EXPECT_LT(allocated, std::size_t{4} << 20); // a step of 1 MiB at most, in each call
    }
    RecoveryShape shape;
    EXPECT_EQ(planRecovery({1, 0}, 1 << 20, 1, 1, int64_t{1} << 23, shape),
              "the set is too large for recovery pieces");
}

// Headers that are whole but not this set's, or not in their place, are no
// recovery files of the set: refused as such, and the set is left as it is.
TEST(Recovery, HeadersOfAnotherSetOrOutOfTheirPlaceAreNoneOfTheSets) {
    const auto headersOf = [](const Made& from, const std::string& set, const std::string& as) {
        for (const auto& [name, bytes] : from.files)
            if (name.size() > 4 && name.substr(name.size() - 4) == ".hdr")
                writeFile(set + "/" + as + name.substr(name.find("_R")), bytes);
    };
    const struct {
        const char* what;
        std::function<void(const std::string&)> change;
    } cases[] = {
        {"another set's, of as many pieces",
         [&](const std::string& set) {
             TempDir other;
             headersOf(makeSet(other, 14 * kMiB, 5 * kMiB / 2, {1, 0}), set, "data");
         }},
        {"a set's of another name, of the same shape",
         [&](const std::string& set) {
             TempDir other;
             headersOf(makeSet(other, 15 * kMiB, 5 * kMiB / 2, {1, 0}, "beta.bin"), set, "data");
         }},
        {"a copy under an index past the set's recovery pieces",
         [](const std::string& set) {
             fs::rename(set + "/data_R0.rec.hdr", set + "/data_R1.rec.hdr");
         }},
        {"a last piece longer than a column, beside no manifest",
         [](const std::string& set) {
             everyHeader(set, [](const std::string& path) {
                 resign(path, {{460 + 8 * 5, 8, static_cast<uint64_t>(5 * kMiB / 2 + 1)}});
             });
             removeFile(set, "spt_config.morvspt");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const Made made = makeSet(dir, 15 * kMiB, 5 * kMiB / 2, {1, 0});
        c.change(made.set);
        const std::map<std::string, std::string> before = filesIn(made.set);
        const FileDescriptor folder = openFolderPath(made.set);
        RunContext run;
        const Result<RepairOutcome> repaired =
            repairSet(folder.get(), made.set, "data", -1, made.set, run);
        ASSERT_FALSE(repaired);
        EXPECT_EQ(repaired.failure().kind, EngineFailure::NotASet) << repaired.failure().reason;
        EXPECT_EQ(filesIn(made.set), before);
    }
}

// A rebuilt piece is named only once it matches its SHA-256; a damaged piece
// it replaces is kept aside as it was, under a name no earlier repair took.
TEST(Recovery, ARebuiltPieceIsNamedOnlyWhenWholeAndWhatItReplacesIsKeptAside) {
    TempDir dir;
    const Made made = makeSet(dir, 300000, 50000, {1, 0});
    removeFile(made.set, "data_R0.rec");
    // The header's SHA-256 of data_R0.rec (after the fixed part and the six
    // pieces' lengths) no longer that of the piece its stripes rebuild.
    everyHeader(made.set, [](const std::string& path) {
        resign(path, {{460 + 8 * 6, 8, 0x0123456789abcdef}});
    });
    const std::map<std::string, std::string> before = filesIn(made.set);
    const FileDescriptor folder = openFolderPath(made.set);
    RunContext refused;
    EXPECT_FALSE(repairSet(folder.get(), made.set, "data", -1, made.set, refused));
    EXPECT_EQ(filesIn(made.set), before);

    for (const auto& [name, bytes] : made.files)
        writeFile(made.set + "/" + name, bytes);
    std::vector<std::string> damaged;
    for (const char* aside : {"data_2.spt.damaged", "data_2.spt.damaged.1"}) {
        SCOPED_TRACE(aside);
        changeByte(made.set, piece(2), 100 + static_cast<int64_t>(damaged.size()));
        damaged.push_back(readFile(made.set + "/" + piece(2)));
        RunContext run;
        const Result<RepairOutcome> repaired =
            repairSet(folder.get(), made.set, "data", -1, made.set, run);
        ASSERT_TRUE(repaired) << repaired.failure().reason;
        EXPECT_EQ(repaired->keptAside, std::vector<std::string>{piece(2) + " -> " + aside});
        EXPECT_EQ(readFile(made.set + "/" + piece(2)), made.files.at(piece(2)));
    }
    EXPECT_EQ(readFile(made.set + "/data_2.spt.damaged"), damaged[0]);
    EXPECT_EQ(readFile(made.set + "/data_2.spt.damaged.1"), damaged[1]);
}

// ISA-L's erasure code and CRCs return with the vector registers' upper
// halves in use; left so, they slow every SSE instruction after them in the
// thread (and in the threads it starts): the SHA instructions by 2.8 times.
// Each call is followed by clearing them, and the SHA path clears what it
// finds.
TEST(VectorState, NeitherTheCodeNorTheChecksLeaveTheUpperHalvesInUse) {
    if (!upperHalvesInUse()) GTEST_SKIP() << "this processor cannot say what is in use";
    const int k = 4, m = 2;
    const std::size_t size = 64 * 1024;
    std::vector<std::vector<unsigned char>> rows(k + m);
    std::vector<unsigned char*> row;
    for (int i = 0; i < k + m; ++i) {
        rows[static_cast<std::size_t>(i)] =
            std::vector<unsigned char>(size, static_cast<unsigned char>(i * 37 + 1));
        row.push_back(rows[static_cast<std::size_t>(i)].data());
    }
    recovering::GroupCode code(k, m);
    code.encode(static_cast<int64_t>(size), row.data(), row.data() + k);
    EXPECT_FALSE(*upperHalvesInUse()) << "after the encode";
    const std::vector<unsigned char> lost = rows[1];
    std::fill(rows[1].begin(), rows[1].end(), 0);
    ASSERT_TRUE(code.rebuild(static_cast<int64_t>(size), {1}, row));
    EXPECT_FALSE(*upperHalvesInUse()) << "after the rebuild";
    EXPECT_EQ(rows[1], lost);
    recovering::crcOf(row[0], static_cast<int64_t>(size));
    EXPECT_FALSE(*upperHalvesInUse()) << "after the stripe CRC";

    TempDir dir;
    writeFile(dir / "part", std::string(reinterpret_cast<const char*>(row[0]), size));
    FileDescriptor fd(::open((dir / "part").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    std::vector<char> buffer(size);
    EXPECT_FALSE(partDigestOf(fd.get(), PartSum::Crc32, buffer.data(), size).empty());
    EXPECT_FALSE(*upperHalvesInUse()) << "after a part's CRC32";

#if defined(__x86_64__)
    // Without the SHA instructions (or after a test that chose libcrypto in
    // this process), the digest is libcrypto's, whose state is not ours: the
    // checks above still count.
    if (!Sha256Running::interleaves()) return;
    Sha256Running digest; // made first: nothing of its own runs between the two below
    __asm__ volatile("vpcmpeqd %%ymm1, %%ymm1, %%ymm1" ::: "xmm1");
    ASSERT_TRUE(*upperHalvesInUse());
    ASSERT_TRUE(digest.update(row[0], size));
    EXPECT_FALSE(*upperHalvesInUse()) << "after the SHA instructions";
#endif
}
