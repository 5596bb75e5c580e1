#include "app/toolkit/StdFileManager.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace toolkit {

std::optional<FileType> StdFileManager::attributesOfItemAtPath_fileType(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (error || !fs::exists(status)) return std::nullopt;
    if (fs::is_regular_file(status)) return FileType::Regular;
    if (fs::is_directory(status)) return FileType::Directory;
    if (fs::is_symlink(status)) return FileType::SymbolicLink;
    return FileType::Other;
}

bool StdFileManager::fileExistsAtPath(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

} // namespace toolkit
