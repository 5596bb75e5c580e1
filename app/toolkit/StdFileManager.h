#pragma once
// The file manager over the real file system, with the standard library only.

#include "app/toolkit/System.h"

namespace toolkit {

class StdFileManager : public FileManager {
public:
    std::optional<FileType> attributesOfItemAtPath_fileType(const std::string& path) override;
    bool fileExistsAtPath(const std::string& path) override;
};

} // namespace toolkit
