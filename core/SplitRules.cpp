#include "core/SplitRules.h"

#include "core/SplitArithmetic.h"
#include "engine/safe_fs.h"
#include "engine/utilities.h"

#include <vector>

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

std::string joinSummaryText(std::size_t pieces, std::size_t missing, std::size_t damaged,
                            bool password, ChecksumState checksums) {
    std::string text =
        groupedCount(static_cast<int64_t>(pieces)) + (pieces == 1 ? " piece" : " pieces");
    if (missing > 0) text += ", " + groupedCount(static_cast<int64_t>(missing)) + " missing";
    if (damaged > 0) text += ", " + groupedCount(static_cast<int64_t>(damaged)) + " damaged";
    if (password) text += "; protected by a password";
    switch (checksums) {
    case ChecksumState::Good:
        return text + "; checksums present";
    case ChecksumState::Absent:
        return text + "; no checksum files";
    case ChecksumState::Damaged:
        break;
    }
    return text + "; damaged checksum files";
}

namespace {

struct WalkCount {
    int64_t hidden = 0;
    int64_t emptyFolders = 0;
};

// Counts what a split leaves out below the folder `folderFd`; links are not followed.
void countLeftOut(int folderFd, WalkCount& count, int depth) {
    const std::vector<std::string> names = namesIn(folderFd);
    if (names.empty() && depth > 0) ++count.emptyFolders;
    for (const std::string& name : names) {
        if (name[0] == '.') {
            ++count.hidden;
        } else if (depth < 64 && entryAt(folderFd, name.c_str()) == EntryKind::Folder) {
            const FileDescriptor inner = openFolderAt(folderFd, name.c_str());
            if (inner) countLeftOut(inner.get(), count, depth + 1);
        }
    }
}

} // namespace

std::string folderSourceSummary(const std::string& folder) {
    std::vector<std::string> files;
    listFolderFiles(folder.c_str(), files, 1);
    WalkCount count;
    if (const FileDescriptor root = openFolderPath(folder)) countLeftOut(root.get(), count, 0);
    std::string text = "Stores " + groupedCount(static_cast<int64_t>(files.size())) +
                       (files.size() == 1 ? " file (" : " files (") +
                       roundedSize(folderSize(folder.c_str())) + ").";
    std::string left;
    if (count.hidden > 0)
        left += groupedCount(count.hidden) + (count.hidden == 1 ? " hidden item" : " hidden items");
    if (count.emptyFolders > 0)
        left += (left.empty() ? "" : ", ") + groupedCount(count.emptyFolders) +
                (count.emptyFolders == 1 ? " empty folder" : " empty folders");
    if (!left.empty()) text += " Not stored: " + left + ".";
    return text + " Special files come back as empty files; links to folders are not followed.";
}

std::vector<SizePreset> sizePresets(bool outputOnFat) {
    const SizePreset fat{"FAT32 drive (4 GiB \u2212 1 byte)", 4294967295LL};
    std::vector<SizePreset> presets{{kCustomPreset, 0},
                                    fat,
                                    {"DVD (4.7 GB)", 4700000000LL},
                                    {"CD (700 MB)", 734003200LL},
                                    {"Mail attachment (18 MB)", 18000000LL}};
    if (outputOnFat) {
        presets.erase(presets.begin() + 1);
        presets.insert(presets.begin(), fat);
    }
    return presets;
}

std::string fatNameProblem(const std::string& stem) {
    std::string bad;
    for (unsigned char c : stem) {
        if ((c < 0x20 ||
             std::string("\"*/:<>?\\|").find(static_cast<char>(c)) != std::string::npos) &&
            bad.find(static_cast<char>(c)) == std::string::npos)
            bad += c < 0x20 ? '?' : static_cast<char>(c);
    }
    if (bad.empty()) return {};
    return "The name " + stem + " holds characters a FAT file system cannot store (" + bad +
           "); rename the source or choose another output folder.";
}
