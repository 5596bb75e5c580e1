#include "app/SplitRules.h"

#include "app/Texts.h"

#include <sys/statfs.h>

namespace {

constexpr long kFatMagic = 0x4d44;                 // MSDOS_SUPER_MAGIC
constexpr int64_t kFatMaxFileBytes = 4294967295LL; // 4 GiB - 1

} // namespace

std::string newPasswordProblem(const std::string& password) {
    if (password.empty()) return "A password cannot be empty.";
    if (password.size() > kMaxPasswordBytes) return kPasswordTooLong;
    return {};
}

OutputSpace examineOutputFolder(const std::string& folder) {
    OutputSpace space;
    struct statfs st {};
    if (statfs(folder.c_str(), &st) != 0) return space;
    space.known = true;
    space.freeBytes = static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_bsize);
    if (st.f_type == kFatMagic) {
        space.maxFileBytes = kFatMaxFileBytes;
        space.kind = "FAT";
    }
    return space;
}

std::string pieceSizeProblem(const OutputSpace& space, const std::string& folder,
                             int64_t pieceSize) {
    if (!space.known || space.maxFileBytes <= 0 || pieceSize <= space.maxFileBytes) return {};
    return "Pieces of " + std::to_string(pieceSize) + " bytes are larger than the " + space.kind +
           " file system at " + folder + " allows (" + std::to_string(space.maxFileBytes) +
           " bytes).";
}

std::string freeSpaceProblem(const OutputSpace& space, const std::string& folder,
                             int64_t setBytes) {
    if (!space.known || setBytes <= space.freeBytes) return {};
    return "The set needs " + std::to_string(setBytes) + " bytes, but " + folder + " has " +
           std::to_string(space.freeBytes) + " bytes free.";
}
