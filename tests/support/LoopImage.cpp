#include "tests/support/LoopImage.h"

#include <cstdlib>
#include <fstream>

#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

int shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

} // namespace

LoopImage::LoopImage(const std::string& kind, int64_t bytes) {
    if (geteuid() != 0) {
        problem_ = "mounting a " + kind + " image needs root";
        return;
    }
    if (shell("command -v mkfs." + kind) != 0) {
        problem_ = "mkfs." + kind + " is not installed (scripts/install-deps.sh)";
        return;
    }
    const std::string image = dir_ / "fs.img";
    mountPoint_ = dir_.path() / "mnt";
    std::filesystem::create_directory(mountPoint_);
    if (truncate(image.c_str(), 0) != 0) {
        std::ofstream(image).close();
    }
    if (truncate(image.c_str(), bytes) != 0) {
        problem_ = "cannot make the image " + image;
        return;
    }
    const std::string force = kind == "ext4" ? " -F -q " : " -f -q ";
    if (shell("mkfs." + kind + force + image) != 0) {
        problem_ = "mkfs." + kind + " failed on " + image;
        return;
    }
    if (shell("mount -o loop " + image + " " + mountPoint_.string()) != 0) {
        problem_ = "loop mounts are not allowed here (mount -o loop failed)";
        return;
    }
    mounted_ = true;
}

LoopImage::~LoopImage() {
    if (mounted_ && shell("umount " + mountPoint_.string()) != 0)
        shell("umount -l " + mountPoint_.string());
}

int64_t LoopImage::freeBytes() const {
    const int fd = open(mountPoint_.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        syncfs(fd);
        close(fd);
    }
    struct statfs st {};
    if (statfs(mountPoint_.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_bsize);
}
