#include "engine/runs/set_listing.h"

#include "engine/runs/open_set.h"

#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/format/manifest.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/piece_folder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A name in the piece folder that stands for a piece of the set.
struct PresentPiece {
    int32_t index;
    bool maybeRegular; // the listing says a regular file, or cannot say
    bool operator<(const PresentPiece& other) const { return index < other.index; }
};

// The index of a piece name, when `name` is "<stem>_<index>.spt" exactly as
// pieceFileName writes it (no leading zeros, no '+'), else false.
bool pieceIndexOf(const char* name, const std::string& stem, int32_t& index) {
    const std::size_t length = std::strlen(name);
    constexpr std::size_t kSuffix = 4; // ".spt"
    if (length <= stem.size() + 1 + kSuffix) return false;
    if (std::memcmp(name, stem.data(), stem.size()) != 0 || name[stem.size()] != '_') return false;
    if (std::memcmp(name + length - kSuffix, ".spt", kSuffix) != 0) return false;
    const char* digits = name + stem.size() + 1;
    const char* end = name + length - kSuffix;
    const bool negative = *digits == '-';
    if (negative) ++digits;
    if (digits == end || end - digits > 10 || (*digits == '0' && end - digits > 1)) return false;
    if (negative && *digits == '0') return false;
    int64_t value = 0;
    for (const char* c = digits; c < end; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + (*c - '0');
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return false;
    index = static_cast<int32_t>(value);
    return true;
}

// The characters of `value` in decimal, its sign included.
std::size_t decimalLength(int32_t value) {
    std::size_t length = value < 0 ? 2 : 1;
    for (int64_t rest = value < 0 ? -int64_t{value} : value; rest >= 10; rest /= 10)
        ++length;
    return length;
}

// The pieces of `stem` that have an entry in the folder, sorted by index: one
// pass over the folder instead of one lookup per record. False when the
// folder cannot be listed.
bool listPresentPieces(int folderFd, const std::string& stem, std::vector<PresentPiece>& out) {
    const bool listed = visitEntriesIn(folderFd, [&](const char* name, unsigned char type) {
        int32_t index = 0;
        if (pieceIndexOf(name, stem, index))
            out.push_back({index, type == DT_REG || type == DT_UNKNOWN});
    });
    std::sort(out.begin(), out.end());
    return listed;
}

class Lister {
public:
    Lister(const std::string& pieceFolder, int folderFd, RunContext& run)
        : folderName_(pieceFolder), folderFd_(folderFd), run_(run) {}

    bool header(const ManifestHeader& header) {
        const std::size_t nameLength = strnlen(header.baseName, sizeof header.baseName);
        // A name that fills its field with no NUL is damaged: never cut short.
        if (nameLength < sizeof header.baseName)
            listing_.baseName.assign(header.baseName, nameLength);
        if (!isSafeComponentName(listing_.baseName.c_str())) {
            run_.fail("the manifest of " + folderName_ + " has an unsafe name");
            return false;
        }
        listing_.stem = stemOf(listing_.baseName);
        if (header.passwordDigest[0] != '\0')
            listing_.passwordDigest.assign(header.passwordDigest,
                                           strnlen(header.passwordDigest, kMd5HexSize - 1));
        listing_.pieceCount = header.pieceCount;
        listing_.fileCount = header.fileCount;
        listing_.totalSize = header.totalSize;
        listed_ = listPresentPieces(folderFd_, listing_.stem, present_);
        return true;
    }

    bool pieces(const PieceRecord* records, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const int32_t index = records[i].pieceIndex; // a packed field: copied
            if (!pathFits(index)) {
                run_.fail("the path of piece " + std::to_string(index) + " in " + folderName_ +
                          " is too long");
                return false;
            }
            listing_.pieces.push_back(examine(records[i], index));
        }
        return true;
    }

    SetListing& listing() { return listing_; }

private:
    // "<folder>/<stem>_<index>.spt" fits kPathBufferSize with its NUL.
    bool pathFits(int32_t index) const {
        return folderName_.size() + 1 + listing_.stem.size() + 1 + decimalLength(index) + 4 <
               kPathBufferSize;
    }

    ListedPiece examine(const PieceRecord& record, int32_t index) const {
        ListedPiece piece;
        piece.pieceIndex = index;
        bool maybeRegular = true;
        if (listed_) {
            const auto found =
                std::lower_bound(present_.begin(), present_.end(), PresentPiece{index, false});
            if (found == present_.end() || found->index != index) return piece; // missing
            maybeRegular = found->maybeRegular;
        }
        char name[kPathBufferSize];
        if (pieceFileName(listing_.stem.c_str(), index, name) < 0) return piece;
        FileDescriptor fd = maybeRegular ? openFileAt(folderFd_, name) : FileDescriptor();
        if (!fd) {
            struct stat st {};
            if (fstatat(folderFd_, name, &st, AT_SYMLINK_NOFOLLOW) == 0) piece.size = st.st_size;
            return piece;
        }
        FileIdentity identity;
        if (identityOf(fd.get(), identity)) piece.size = identity.size;
        char now[kMd5HexSize] = {};
        pieceFingerprintOf(fd.get(), now);
        if (now[0] != '\0' && std::memcmp(now, record.fingerprint, kMd5HexSize - 1) == 0)
            piece.checkState = 0;
        return piece;
    }

    std::string folderName_;
    int folderFd_;
    RunContext& run_;
    SetListing listing_;
    std::vector<PresentPiece> present_;
    bool listed_ = false;
};

bool runListing(const std::string& pieceFolder, SetListing& out, RunContext& run) {
    Result<ReadableSet> opened = openSet(pieceFolder, run);
    if (!opened) return false;
    const ReadableSet& set = opened.value();
    Lister lister(pieceFolder, set.fd(), run);
    const std::vector<PieceRecord>& pieces = set.manifest.pieces();
    if (!lister.header(set.manifest.header()) || !lister.pieces(pieces.data(), pieces.size()))
        return false;
    out = std::move(lister.listing());
    return true;
}

} // namespace

Result<SetListing> listPieceSet(const std::string& pieceFolder, RunContext& run) {
    run.clearFailure();
    return runGuarded<Result<SetListing>>(run, "the listing of " + pieceFolder, [&] {
        SetListing listing;
        if (!runListing(pieceFolder, listing, run)) return Result<SetListing>(run.failure());
        return Result<SetListing>(std::move(listing));
    });
}
