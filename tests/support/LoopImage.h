#pragma once
// A file system of a given kind (xfs, btrfs, ext4) in an image file, mounted
// through a loop device for one test and unmounted and removed with the
// object. Needs root and loop devices: where either is missing, ready() is
// false and problem() says why, for the test to skip with.

#include "tests/support/TempDir.h"

#include <cstdint>
#include <filesystem>
#include <string>

class LoopImage {
public:
    LoopImage(const std::string& kind, int64_t bytes);
    ~LoopImage();
    LoopImage(const LoopImage&) = delete;
    LoopImage& operator=(const LoopImage&) = delete;

    bool ready() const { return mounted_; }
    const std::string& problem() const { return problem_; }
    // The mounted file system's root.
    const std::filesystem::path& path() const { return mountPoint_; }
    std::string operator/(const std::string& relative) const {
        return (mountPoint_ / relative).string();
    }
    // Bytes free there (statfs, after a sync of the file system).
    int64_t freeBytes() const;

private:
    TempDir dir_;
    std::filesystem::path mountPoint_;
    bool mounted_ = false;
    std::string problem_;
};
