#pragma once
// The files a join of a manifest rebuilds, each with the slices of the
// pieces that hold its bytes.

#include "engine/format/checksums.h"
#include "engine/format/manifest_file.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// A run of one rebuilt file's bytes in a piece, for the check of its content.
struct PieceSlice {
    int32_t piece = 0;
    int64_t offset = 0;
    int64_t length = 0; // INT64_MAX: to the end of the piece
};

// The files a join of a manifest rebuilds, each with its slices, in the order
// its first record comes: a file set's one file (named "", made of every
// piece whole), or each file of a folder set (named by its path relative to
// the tree's root). Records of one name make one file, in record order.
//
// Only the slices are held (24 bytes a record, 16 a file); the names stay in
// the manifest and are read again when they are wanted (forEachName).
class ManifestTargets {
public:
    // Reads the file records of `manifest`, handing each to `check` first
    // when one is given (false from it ends the read). False when the records
    // could not be read again or `check` refused one.
    bool read(const Manifest& manifest, const std::function<bool(const FileRecord&)>& check = {});
    std::size_t size() const { return targets_.size(); }
    std::span<const PieceSlice> slicesOf(std::size_t target) const;
    std::span<PieceSlice> slicesOf(std::size_t target);
    // Every slice, target by target; target `index`'s begin at
    // firstSliceOf(index) (size() gives the end of the last).
    const std::vector<PieceSlice>& slices() const { return slices_; }
    std::size_t firstSliceOf(std::size_t index) const;
    std::size_t targetOfSlice(std::size_t slice) const;
    // Hands every target's name to `take(index, record)` in order, re-read
    // from `manifest`'s records (`record` is the target's first record; null
    // for a file set's one file). False when the records could not be read,
    // a name is no longer the one read first, or `take` returned false.
    bool forEachName(const Manifest& manifest,
                     const std::function<bool(std::size_t, const FileRecord*)>& take) const;
    // The name of target `index`; "" with false when it cannot be read again.
    bool nameOf(const Manifest& manifest, std::size_t index, std::string& name) const;

private:
    struct Target {
        uint64_t nameHash = 0;
        uint32_t firstRecord = 0;
        uint32_t firstSlice = 0;
    };
    bool mergeRepeatedNames(const Manifest& manifest);
    std::vector<Target> targets_;
    std::vector<PieceSlice> slices_; // target by target
};
// The name of a target as its record holds it.
std::string recordName(const FileRecord& record);

// The names of `targets` of `manifest`, for readSetChecksums.
TargetNames contentNamesOf(const Manifest& manifest, const ManifestTargets& targets);
