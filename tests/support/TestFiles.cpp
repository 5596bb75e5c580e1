#include "tests/support/TestFiles.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

std::string seededBytes(uint32_t seed, std::size_t size) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

void writeFile(const std::string& path, const std::string& bytes) {
    const fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void flipByte(const std::string& path, std::size_t at, char bits) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    char byte = 0;
    const auto offset = static_cast<std::streamoff>(at);
    if (!file.seekg(offset) || !file.get(byte) || !file.seekp(offset) ||
        !file.put(static_cast<char>(byte ^ bits)) || !file.flush())
        throw std::runtime_error("cannot change a byte of " + path);
}

bool exists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

namespace {
std::map<std::string, std::string> collect(const std::string& root, bool skipHidden) {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string name = it->path().filename().string();
        if (skipHidden && name[0] == '.') {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file()) {
            files[fs::relative(it->path(), root).string()] = readFile(it->path().string());
        }
    }
    return files;
}
} // namespace

std::map<std::string, std::string> treeContents(const std::string& root) {
    return collect(root, false);
}

std::map<std::string, std::string> visibleTreeContents(const std::string& root) {
    return collect(root, true);
}

void makeSeededTree(const std::string& root, uint32_t seed, int files, std::size_t maxSize) {
    std::mt19937 generator(seed);
    fs::create_directories(root);
    const char* folders[] = {"", "a/", "a/b/", "a/b/c/", "d/", "d/e.f/"};
    for (int i = 0; i < files; ++i) {
        const std::string folder = folders[generator() % std::size(folders)];
        const std::size_t size = generator() % 5 == 0 ? 0 : generator() % (maxSize + 1);
        writeFile(root + "/" + folder + "file" + std::to_string(i) + ".bin",
                  seededBytes(seed * 7919 + static_cast<uint32_t>(i), size));
    }
    writeFile(root + "/.hidden", "not stored");
    writeFile(root + "/.cache/inside.bin", "not stored either");
    writeFile(root + "/a/.dotfile", "hidden too");
    fs::create_directories(root + "/empty-folder");
}
