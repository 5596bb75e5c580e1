#include "core/SplitRules.h"

#include "core/SplitArithmetic.h"
#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/fs/safe_fs.h"
#include "engine/fs/shared_blocks.h"
#include "engine/fs/tree_walk.h"

#include <algorithm>
#include <cmath>
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

std::size_t maxPasswordBytes(PasswordUse use) {
    return use == PasswordUse::Encrypt ? kMaxEncryptionPasswordBytes : kMaxPasswordBytes;
}

std::string passwordProblem(const std::string& password, PasswordUse use) {
    if (use == PasswordUse::GateJoin) return newPasswordProblem(password);
    if (password.empty()) return "A password cannot be empty.";
    if (password.size() > kMaxEncryptionPasswordBytes)
        return "A password has at most " + std::to_string(kMaxEncryptionPasswordBytes) + " bytes.";
    return {};
}

std::string passwordStrengthText(const std::string& password) {
    if (password.empty()) return {};
    // The bits a guesser must cover if the characters were drawn at random
    // from the kinds the password uses: an upper bound, which is why only
    // long passwords count as strong.
    bool lower = false, upper = false, digit = false, other = false;
    int64_t characters = 0;
    for (unsigned char c : bytesOf(password)) {
        if ((c & 0xC0) == 0x80) continue; // a UTF-8 continuation byte
        ++characters;
        if (c >= 'a' && c <= 'z')
            lower = true;
        else if (c >= 'A' && c <= 'Z')
            upper = true;
        else if (c >= '0' && c <= '9')
            digit = true;
        else
            other = true;
    }
    const int pool = (lower ? 26 : 0) + (upper ? 26 : 0) + (digit ? 10 : 0) + (other ? 33 : 0);
    const double bits = static_cast<double>(characters) * std::log2(static_cast<double>(pool));
    if (bits < 50) return "Weak password: make it longer, or mix letters, digits and symbols.";
    if (bits < 80) return "Fair password: a few more characters make it much harder to guess.";
    return "Strong password.";
}

std::string setNameProblem(const std::string& name) {
    if (name.empty()) return {};
    if (name.front() == '.' || name.find_first_of("/\\") != std::string::npos ||
        name.find('\0') != std::string::npos)
        return "A set name is a file name: without '/', not beginning with '.'.";
    if (name.size() > kMaxSetNameBytes)
        return "A set name has at most " + std::to_string(kMaxSetNameBytes) + " bytes.";
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

std::string pieceCountProblem(int64_t pieces) {
    if (pieces <= kMaxSetPieces) return {};
    return "A set holds at most " + groupedCount(kMaxSetPieces) + " pieces, not " +
           groupedCount(pieces) + ".";
}

std::string pieceSizeProblem(const OutputSpace& space, const std::string& folder,
                             int64_t pieceSize) {
    if (!space.known || space.maxFileBytes <= 0 || pieceSize <= space.maxFileBytes) return {};
    return "Pieces of " + sizeWithBytes(pieceSize) + " are larger than the " +
           sizeWithBytes(space.maxFileBytes) + " the " + space.kind + " file system at " + folder +
           " allows.";
}

std::string freeSpaceProblem(const OutputSpace& space, const std::string& folder,
                             int64_t setBytes) {
    if (!space.known || setBytes <= space.freeBytes) return {};
    return "The set needs " + sizeWithBytes(setBytes) + ", but " + folder + " has " +
           sizeWithBytes(space.freeBytes) + " free.";
}

std::string joinSummaryText(std::size_t pieces, std::size_t missing, std::size_t damaged,
                            SetProtection protection, ChecksumState checksums,
                            const std::string& recovery) {
    std::string text =
        groupedCount(static_cast<int64_t>(pieces)) + (pieces == 1 ? " piece" : " pieces");
    if (missing > 0) text += ", " + groupedCount(static_cast<int64_t>(missing)) + " missing";
    if (damaged > 0) text += ", " + groupedCount(static_cast<int64_t>(damaged)) + " damaged";
    if (!recovery.empty()) text += "; " + recovery;
    if (protection == SetProtection::Password) text += "; protected by a password";
    if (protection == SetProtection::Encrypted) text += "; encrypted (age)";
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

std::string joinChangesText(int64_t replaced, int64_t added) {
    if (replaced <= 0) return {};
    return "replaced " + groupedCount(replaced) +
           (replaced == 1 ? " file, added " : " files, added ") + groupedCount(added);
}

FolderSourceSummary summarizeFolderSource(const std::string& folder, bool includeHidden,
                                          const std::string& hiddenAdvice) {
    FolderSourceSummary summary;
    TreeMeasure measure;
    RunContext run;
    if (!measureTree(folder, includeHidden, measure, run)) {
        summary.text = "Cannot read the folder: " + run.failure().reason + ".";
        return summary;
    }
    summary.bytes = measure.bytes;
    summary.files = measure.files;
    const auto counted = [](int64_t count, const char* one, const char* many) {
        return groupedCount(count) + " " + (count == 1 ? one : many);
    };
    std::string text = "Stores " + counted(measure.files, "file", "files") + " (" +
                       roundedSize(measure.bytes) + ")";
    std::vector<std::string> more;
    if (measure.folders > 0)
        more.push_back(counted(measure.folders, "folder", "folders") +
                       (measure.emptyFolders > 0
                            ? " (" + groupedCount(measure.emptyFolders) + " empty)"
                            : std::string()));
    if (measure.links > 0) more.push_back(counted(measure.links, "link", "links"));
    if (measure.fifos > 0) more.push_back(counted(measure.fifos, "FIFO", "FIFOs"));
    for (std::size_t i = 0; i < more.size(); ++i)
        text += (i + 1 == more.size() ? " and " : ", ") + more[i];
    text += ".";
    if (const std::string left = describeLeftOut(measure.leftOut, hiddenAdvice); !left.empty())
        text += " " + left;
    summary.text = std::move(text);
    return summary;
}

std::vector<SizePreset> sizePresets(bool outputOnFat) {
    // Titled as the medium is sold (a DVD's 4.7 GB are decimal, a CD's
    // 700 MB and a FAT32 file's 4 GB binary), with the exact bytes beside.
    const auto preset = [](const char* medium, const char* sold, int64_t bytes) {
        return SizePreset{
            std::string(medium) + ": " + sold + " (" + groupedCount(bytes) + " bytes)", bytes};
    };
    const SizePreset fat = preset("FAT32 drive", "4 GB", 4294967295LL);
    std::vector<SizePreset> presets{{kCustomPreset, 0},
                                    fat,
                                    preset("DVD", "4.7 GB", 4700000000LL),
                                    preset("CD", "700 MB", 734003200LL),
                                    preset("Mail attachment", "18 MB", 18000000LL)};
    if (outputOnFat) {
        presets.erase(presets.begin() + 1);
        presets.insert(presets.begin(), fat);
    }
    return presets;
}

std::string fatNameProblem(const std::string& stem) {
    std::string bad;
    for (unsigned char c : bytesOf(stem)) {
        if ((c < 0x20 ||
             std::string("\"*/:<>?\\|").find(static_cast<char>(c)) != std::string::npos) &&
            bad.find(static_cast<char>(c)) == std::string::npos)
            bad += c < 0x20 ? '?' : static_cast<char>(c);
    }
    if (bad.empty()) return {};
    return "The name " + stem + " holds characters a FAT file system cannot store (" + bad +
           "); rename the source or choose another output folder.";
}

namespace {

int64_t roundUpTo(int64_t bytes, int64_t block) {
    return (bytes + block - 1) / block * block;
}

} // namespace

int64_t bytesWrittenWhenShared(int64_t fileBytes, int64_t pieceSize, int64_t blockSize) {
    if (fileBytes <= 0 || pieceSize <= 0 || blockSize <= 0) return std::max<int64_t>(fileBytes, 0);
    const int64_t pieces = (fileBytes + pieceSize - 1) / pieceSize;
    int64_t copied = 0;
    if (pieceSize % blockSize == 0) {
        copied = fileBytes % blockSize; // the end of the last piece
    } else {
        for (int64_t start = 0; start < fileBytes; start += pieceSize) {
            const int64_t length = std::min(pieceSize, fileBytes - start);
            copied += start % blockSize != 0 ? length : length % blockSize;
        }
    }
    // The manifest, SHA256SUMS (a line of about 100 bytes a piece) and
    // CONTENTS.sha256, and the file system's own block a piece.
    const int64_t manifest =
        static_cast<int64_t>(sizeof(ManifestHeader)) + pieces * int64_t{sizeof(PieceRecord)};
    return roundUpTo(copied, blockSize) + roundUpTo(manifest, blockSize) +
           roundUpTo((pieces + 1) * 100, blockSize) + blockSize + pieces * blockSize;
}

int64_t alignedPieceSizeForCount(int64_t fileBytes, int64_t count, int64_t blockSize) {
    if (fileBytes <= 0 || count <= 0 || blockSize <= 0) return 0;
    const int64_t size = roundUpTo((fileBytes + count - 1) / count, blockSize);
    // `count` pieces: the first count - 1 full ones leave something for the last.
    return (count - 1) * size < fileBytes ? size : 0;
}

SharedSplitSpace sharedSplitSpace(const std::string& source, const std::string& folder,
                                  int64_t fileBytes, int64_t pieceSize) {
    SharedSplitSpace space;
    space.needBytes = fileBytes;
    const BlockSharing sharing = probeBlockSharing(source, folder);
    space.blockSize = sharing.blockSize;
    if (!sharing.shares || pieceSize <= 0) return space;
    space.shares = true;
    space.aligned = pieceSize % sharing.blockSize == 0;
    space.needBytes = bytesWrittenWhenShared(fileBytes, pieceSize, sharing.blockSize);
    return space;
}

std::string sharedSplitText(const SharedSplitSpace& space, int64_t pieceSize) {
    if (!space.shares) return {};
    if (space.aligned) return "shares the source's blocks: needs " + roundedSize(space.needBytes);
    return "pieces of " + sizeWithBytes(pieceSize) + " are not whole " +
           roundedSize(space.blockSize) + " blocks of this file system: they will be copied";
}

std::string sharedBlocksDoneText(int64_t shared, int64_t written) {
    if (shared <= 0) return {};
    return "Shared " + roundedSize(shared) + " of blocks, wrote " + roundedSize(written) + ".";
}
