// Benchmark driver, not a user-facing command line: runs one split, join or
// inspection through the engine's entry points and prints the engine's
// result (and, for an inspection, how long it took).
//
//   parcelor-bench split   <source> <output folder> <piece size in bytes>
//   parcelor-bench split-plain ...   the same without the checksum files
//   parcelor-bench join    <piece folder> <output folder>
//   parcelor-bench inspect <piece folder>
//   parcelor-bench load    <piece folder>   the manifest into the registry, as a join loads it
// and, to make its data with a fixed seed:
//   parcelor-bench make-file <path> <bytes> <seed>
//   parcelor-bench make-tree <folder> <files> <max bytes> <seed>   (nested three deep)
//   parcelor-bench make-many-files <folder> <folders> <files per folder> <max bytes> <seed>
//       <folder>/dNNNN/fNNNN.dat, each of 0 to <max bytes> random bytes: many
//       small files, made with plain system calls (10^6 files in under a minute)
//   parcelor-bench make-manifest <folder> <pieces> <file records> <pieces present>
//       a set as a split of that many files would leave it, written in full;
//       the first pieces are made (4 KiB each), the others are absent
//   parcelor-bench make-sparse-manifest <folder> <pieces> <file records>
//       a header claiming that many records, the file only stretched to
//       their length (a hole, no data)
//   parcelor-bench claim-stripes <recovery header> <stripe bytes> <column bytes>
//       the header made to claim that stripe size and column length, its own
//       SHA-256 made again to match

#include "engine/base/digest.h"
#include "engine/base/utilities.h"
#include "engine/compat/inspection.h"
#include "engine/compat/paths.h"
#include "engine/compat/registry.h"
#include "engine/format/manifest.h"
#include "engine/runs/join.h"
#include "engine/runs/split.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeRandom(const std::string& path, uint64_t bytes, std::mt19937_64& random) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> block(1 << 16);
    while (bytes > 0) {
        for (auto& word : block)
            word = random();
        const uint64_t n = std::min<uint64_t>(bytes, block.size() * sizeof(uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        bytes -= n;
    }
}

int makeTree(const std::string& root, int files, uint64_t maxBytes, uint64_t seed) {
    std::mt19937_64 random(seed);
    for (int i = 0; i < files; ++i) {
        // Three levels of ten folders each.
        const std::string folder = root + "/d" + std::to_string(random() % 10) + "/e" +
                                   std::to_string(random() % 10) + "/f" +
                                   std::to_string(random() % 10);
        std::filesystem::create_directories(folder);
        writeRandom(folder + "/file" + std::to_string(i) + ".dat", random() % (maxBytes + 1),
                    random);
    }
    return 0;
}

// Many small files, as fast as the disk creates them: one openat, one write
// and one close each, relative to the folder's descriptor; the bytes come
// from one seeded random block, taken at a random offset.
int makeManyFiles(const std::string& root, int folders, int filesPerFolder, uint64_t maxBytes,
                  uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<uint64_t> block(1 << 16);
    for (auto& word : block)
        word = random();
    const auto* bytes = reinterpret_cast<const char*>(block.data());
    const uint64_t blockBytes = block.size() * sizeof(uint64_t);
    if (maxBytes >= blockBytes) return 2;
    if (::mkdir(root.c_str(), 0777) != 0 && errno != EEXIST) return 1;
    const int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) return 1;
    char name[32];
    for (int d = 0; d < folders; ++d) {
        std::snprintf(name, sizeof name, "d%04d", d);
        if (::mkdirat(rootFd, name, 0777) != 0 && errno != EEXIST) return 1;
        const int dirFd = ::openat(rootFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) return 1;
        for (int f = 0; f < filesPerFolder; ++f) {
            std::snprintf(name, sizeof name, "f%04d.dat", f);
            const uint64_t length = random() % (maxBytes + 1);
            const uint64_t offset = random() % (blockBytes - length);
            const int fd = ::openat(dirFd, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            if (fd < 0) return 1;
            const auto written = length == 0 ? 0 : ::write(fd, bytes + offset, length);
            if (written != static_cast<ssize_t>(length) || ::close(fd) != 0) return 1;
        }
        ::close(dirFd);
    }
    ::close(rootFd);
    return 0;
}

ManifestHeader headerOf(int32_t pieces, int32_t files, int64_t totalSize) {
    ManifestHeader header{};
    header.magic = kManifestMagic;
    header.version = kManifestVersion;
    header.pieceCount = pieces;
    header.fileCount = files;
    header.totalSize = totalSize;
    std::strcpy(header.baseName, "big.bin");
    return header;
}

int makeManifest(const std::string& folder, int32_t pieces, int32_t files, int32_t present) {
    constexpr int64_t kPieceBytes = 4096;
    std::filesystem::create_directories(folder);
    std::ofstream out(folder + "/" + kManifestFileName, std::ios::binary | std::ios::trunc);
    const ManifestHeader header = headerOf(pieces, files, int64_t{pieces} * kPieceBytes);
    out.write(reinterpret_cast<const char*>(&header), sizeof header);
    std::mt19937_64 random(4);
    for (int32_t i = 0; i < pieces; ++i) {
        PieceRecord record{};
        record.pieceIndex = i;
        char fingerprint[kMd5HexSize] = {};
        if (i < present) {
            const std::string path = folder + "/big_" + std::to_string(i) + ".spt";
            uint64_t bytes[kPieceBytes / sizeof(uint64_t)];
            for (auto& word : bytes)
                word = random();
            std::ofstream(path, std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char*>(bytes), sizeof bytes);
            pieceFingerprint(path.c_str(), fingerprint);
        } else {
            md5Hex(&i, sizeof i, fingerprint); // as good as any: the piece is absent
        }
        std::memcpy(record.fingerprint, fingerprint, sizeof record.fingerprint);
        out.write(reinterpret_cast<const char*>(&record), sizeof record);
    }
    // The files are spread evenly over the pieces, one slice each.
    const int64_t total = int64_t{pieces} * kPieceBytes;
    for (int32_t i = 0; i < files; ++i) {
        FileRecord record{};
        std::snprintf(record.name, sizeof record.name, "d%d/e%d/file%d.dat", i % 10, i % 100, i);
        record.id = i;
        const int64_t begin = total * i / files;
        const int64_t end = total * (int64_t{i} + 1) / files;
        record.pieceIndex = static_cast<int32_t>(begin / kPieceBytes);
        record.offset = begin % kPieceBytes;
        record.length = std::min(end - begin, kPieceBytes - record.offset);
        out.write(reinterpret_cast<const char*>(&record), sizeof record);
    }
    return out.good() ? 0 : 1;
}

int makeSparseManifest(const std::string& folder, int32_t pieces, int32_t files) {
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/" + kManifestFileName;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        const ManifestHeader header = headerOf(pieces, files, 0);
        out.write(reinterpret_cast<const char*>(&header), sizeof header);
        if (!out.good()) return 1;
    }
    const auto length = sizeof(ManifestHeader) + sizeof(PieceRecord) * std::size_t(pieces) +
                        sizeof(FileRecord) * std::size_t(files);
    std::error_code error;
    std::filesystem::resize_file(path, length, error);
    return error ? 1 : 0;
}

// The recovery header's stripe size (offset 28, 4 bytes) and column length
// (offset 36, 8 bytes) changed, and its last 32 bytes, its own SHA-256, made
// again over the rest.
int claimStripes(const std::string& path, uint32_t stripe, uint64_t column) {
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
        if (!in.good() && !in.eof()) return 1;
    }
    if (bytes.size() < 300 + 32) return 1;
    for (std::size_t i = 0; i < 4; ++i)
        bytes[28 + i] = static_cast<char>(stripe >> (8 * i));
    for (std::size_t i = 0; i < 8; ++i)
        bytes[36 + i] = static_cast<char>(column >> (8 * i));
    Sha256Digest digest;
    Sha256Digest::Bytes own{};
    if (!digest.update(bytes.data(), bytes.size() - own.size()) || !digest.finish(own)) return 1;
    bytes.replace(bytes.size() - own.size(), own.size(), reinterpret_cast<const char*>(own.data()),
                  own.size());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out.good() ? 0 : 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: parcelor-bench split|split-plain SRC OUT PIECE_BYTES | join SET OUT | "
                 "inspect SET | load SET | make-file | make-tree | make-many-files | "
                 "make-manifest | make-sparse-manifest | claim-stripes\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string verb = argv[1];
    int32_t result = -1;
    if ((verb == "split" || verb == "split-plain") && argc == 5) {
        Split_pragma request{};
        if (std::strlen(argv[2]) >= sizeof request.srcPath ||
            std::strlen(argv[3]) >= sizeof request.outFolder)
            return usage();
        std::strcpy(request.srcPath, argv[2]);
        std::strcpy(request.outFolder, argv[3]);
        request.totalSize = pathSize(argv[2]);
        request.pieceSize = std::strtoll(argv[4], nullptr, 10);
        SplitOptions options;
        options.writeChecksums = verb == "split";
        result = splitWithOptions(&request, options, nullptr);
    } else if (verb == "join" && argc == 4) {
        result = splitProject_merge(argv[2], argv[3], "");
    } else if (verb == "make-file" && argc == 5) {
        std::mt19937_64 random(std::strtoull(argv[4], nullptr, 10));
        writeRandom(argv[2], std::strtoull(argv[3], nullptr, 10), random);
        return 0;
    } else if (verb == "make-tree" && argc == 6) {
        return makeTree(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10),
                        std::strtoull(argv[5], nullptr, 10));
    } else if (verb == "make-many-files" && argc == 7) {
        return makeManyFiles(argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
                             std::strtoull(argv[5], nullptr, 10),
                             std::strtoull(argv[6], nullptr, 10));
    } else if (verb == "make-manifest" && argc == 6) {
        return makeManifest(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    } else if (verb == "make-sparse-manifest" && argc == 5) {
        return makeSparseManifest(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    } else if (verb == "claim-stripes" && argc == 5) {
        return claimStripes(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)),
                            std::strtoull(argv[4], nullptr, 10));
    } else if (verb == "inspect" && argc == 3) {
        std::vector<SPTCfg_SPTitem2> pieces;
        char digest[33] = {};
        char baseName[1024] = {};
        const auto start = std::chrono::steady_clock::now();
        result = inspectPieceSet(argv[2], pieces, digest, baseName);
        const auto ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
        std::printf("pieces %zu in %.1f ms\n", pieces.size(), ms.count());
    } else if (verb == "load" && argc == 3) {
        const auto start = std::chrono::steady_clock::now();
        result = loadManifest(argv[2]);
        const auto ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
        std::vector<const PieceRecord*> pieces;
        std::vector<const FileRecord*> files;
        listPieceRecords(pieces);
        listFileRecords(files);
        std::printf("records %zu + %zu in %.1f ms\n", pieces.size(), files.size(), ms.count());
    } else {
        return usage();
    }
    std::printf("result %d\n", result);
    return result == 0 ? 0 : 1;
}
