// An outside caller of the engine, built with nothing but
//   g++ -std=c++20 -I. engine/*.cpp <this file> -lcrypto -pthread
// It pins the engine's entry points to their published signatures and makes
// one round trip through them.

#include "engine/base/utilities.h"
#include "engine/compat/inspection.h"
#include "engine/compat/paths.h"
#include "engine/format/manifest.h"
#include "engine/runs/join.h"
#include "engine/runs/split.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <sys/stat.h>

static_assert(std::is_same_v<decltype(&splitProject_split), int32_t (*)(Split_pragma*)>);
static_assert(std::is_same_v<decltype(&splitProject_merge),
                             int32_t (*)(const char*, const char*, const char*)>);
static_assert(
    std::is_same_v<decltype(&inspectPieceSet),
                   int32_t (*)(const char*, std::vector<SPTCfg_SPTitem2>&, char*, char*)>);
static_assert(std::is_same_v<decltype(&checkPassword), int32_t (*)(const char*, const char*)>);
static_assert(std::is_same_v<decltype(&md5Hex), void (*)(const void*, uint32_t, char*)>);
static_assert(std::is_same_v<decltype(&pieceFingerprint), void (*)(const char*, char*)>);
static_assert(std::is_same_v<decltype(&progressDoneBytes), int64_t (*)()>);
static_assert(std::is_same_v<decltype(&progressTotalBytes), int64_t (*)()>);
static_assert(std::is_same_v<decltype(&progressElapsedSeconds), int64_t (*)()>);
static_assert(std::is_same_v<decltype(&pathSize), int64_t (*)(const char*)>);
static_assert(sizeof(Split_pragma) == 1024 + 1024 + 8 + 8 + 32);
static_assert(offsetof(Split_pragma, totalSize) == 2048);
static_assert(offsetof(Split_pragma, password) == 2064);

int main() {
    char folder[] = "/tmp/parcelor-caller-XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string source = std::string(folder) + "/data.bin";
    std::FILE* f = std::fopen(source.c_str(), "wb");
    if (!f) return 1;
    for (int i = 0; i < 10000; ++i)
        std::fputc(i * 7 % 251, f);
    if (std::fclose(f) != 0) return 1;

    Split_pragma request{};
    std::snprintf(request.srcPath, sizeof request.srcPath, "%s", source.c_str());
    std::snprintf(request.outFolder, sizeof request.outFolder, "%s", folder);
    request.totalSize = pathSize(source.c_str());
    request.pieceSize = 3000;
    std::snprintf(request.password, sizeof request.password, "pw");
    int failures = splitProject_split(&request) != 0;

    std::vector<SPTCfg_SPTitem2> list;
    char digest[33] = {};
    char baseName[1024] = {};
    failures += inspectPieceSet(request.outFolder, list, digest, baseName) != 0;
    failures += list.size() != 4 || std::strcmp(baseName, "data.bin") != 0;
    failures += checkPassword("pw", digest) != 1;

    const std::string joined = std::string(folder) + "/joined";
    mkdir(joined.c_str(), 0777);
    failures += splitProject_merge(request.outFolder, joined.c_str(), "pw") != 0;
    failures += progressDoneBytes() != 10000 || progressTotalBytes() != 10000;

    std::string command = "cmp -s " + source + " " + joined + "/data.bin && rm -rf " + folder;
    failures += std::system(command.c_str()) != 0;
    std::printf("%s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
