#pragma once
// TREE.mtree: a folder set's tree as mtree(5) describes one, beside the
// manifest. The manifest holds the regular files' bytes; this file holds what
// it cannot: each entry's type, permission bits and modification time, the
// folders (empty ones included), the links and the FIFOs. So `mtree -f
// TREE.mtree -p <joined folder>` checks a join with a standard tool.
//
// The form written and read: a first line "#mtree", then one line per entry
// in walk order (a folder before what it holds; regular files in the
// manifest's order), full-path form ("." for the root, "./a/b" below it),
// names and link targets with mtree(5)'s \ooo escapes for every byte that is
// not printable ASCII, and for space, '#', '=' and '\'. Keywords: type (dir,
// file, link, fifo), mode (octal, at most 0777), time (seconds, below 0
// before 1970, '.', nine digits of nanoseconds), size and sha256digest
// (files), link (links). A file set's description is its output folder's
// root, named only by its type (so mtree finds the file in it), then the
// file.

#include "engine/base/digest.h"
#include "engine/base/escaping.h"
#include "engine/base/run_context.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest_targets.h"
#include "engine/fs/tree_walk.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The line of `entry` (newline included); `size` and `digest` (may be null)
// for a file, `linkTarget` for a link.
std::string treeLine(const TreeEntry& entry, int64_t size, const Sha256Digest::Bytes* digest,
                     const std::string& linkTarget);

// An entry as read back.
struct DescribedEntry {
    TreeEntryType type = TreeEntryType::File;
    std::string path;      // unescaped, below the root; "" for the root
    bool described = true; // with its mode and time (a file set's root goes without)
    uint32_t mode = 0;
    int64_t mtimeSeconds = 0;
    int32_t mtimeNanoseconds = 0;
    int64_t size = -1; // files
    bool hasDigest = false;
    Sha256Digest::Bytes digest{};
    std::string link; // links
};

// What a join restores from the description: each rebuilt file's bits and
// time, by its index in the manifest's order, and every other entry.
struct TreeAttributes {
    struct FileBits {
        uint32_t mode;
        int32_t mtimeNanoseconds;
        int64_t mtimeSeconds;
    };
    std::vector<FileBits> files;
    std::vector<DescribedEntry> others; // folders (the root first), links, FIFOs, in order
};

class Manifest;
class ManifestTargets;

// Reads TREE.mtree from `folderFd` and checks it against the set's manifest:
// every file the manifest rebuilds, in its order, with its length, and
// nothing else as a file (a file set: its one file, under the set's name);
// every name safe (no "..", no empty or absolute name, nothing below what is
// not a folder of the tree, nothing twice among folders, links and FIFOs);
// every line within what a real set writes; a folder set's root first. ""
// when it reads and agrees; otherwise why not, and `out` is not to be used.
std::string readTreeDescription(int folderFd, const Manifest& manifest,
                                const ManifestTargets& targets, TreeAttributes& out);
