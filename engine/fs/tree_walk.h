#pragma once
// The walk of a folder source: what a folder split stores, and what it leaves
// out, found through folder descriptors without ever following a link.
//
// A split stores regular files (their bytes in the pieces), and as entries of
// the tree's description (tree_description.h) the folders, empty ones
// included, the symbolic links (as links: never read through) and the FIFOs.
// Devices and sockets are not stored; hidden items (a name starting with '.')
// only when asked for.

#include "engine/base/run_context.h"

#include <cstdint>
#include <string>
#include <vector>

enum class TreeEntryType : uint8_t { File, Folder, Link, Fifo };

// One entry of a folder source, in walk order: a folder comes before what it
// holds; a folder's entries come in the order its listing gives them.
struct TreeEntry {
    std::string path; // below the source folder; "" for the source folder itself
    TreeEntryType type = TreeEntryType::File;
    uint32_t mode = 0; // permission bits (07777 of st_mode)
    int64_t mtimeSeconds = 0;
    int32_t mtimeNanoseconds = 0;
    // A link's target, as an index into TreeListing::linkTargets; -1 otherwise.
    int32_t link = -1;
};

// What a walk found that a split does not store as it is, for the summary.
struct TreeLeftOut {
    static constexpr std::size_t kNamesKept = 3; // the first ones are named
    int64_t hidden = 0; // hidden items left out (a hidden folder counts once)
    std::vector<std::string> hiddenNames;
    int64_t reserved = 0; // named as this program's working files, never stored
    std::vector<std::string> reservedNames;
    int64_t special = 0; // devices and sockets, never stored
    std::vector<std::string> specialNames;
    int64_t specialBits = 0; // entries with setuid, setgid or sticky bits (not stored)
    int64_t hardLinked = 0;  // regular files with more than one name (stored as copies)
    int64_t sparse = 0;      // regular files with holes (stored with every byte)
};

struct TreeListing {
    std::vector<TreeEntry> entries;
    std::vector<std::string> linkTargets;
    int64_t files = 0; // regular files among the entries
    TreeLeftOut leftOut;
};

struct TreeWalkOptions {
    bool includeHidden = false;
    // Find each regular file's mode, time and size now (one status query
    // each), for a summary; a split takes them when it opens the file.
    bool examineFiles = false;
};

// Lists the folder `root` (opened by the path given, as the user gave it;
// nothing below it is reached through a link). Fails, with the reason kept,
// when a folder of the tree cannot be listed, when a path below the root is
// 256 bytes or more, or when a link's target cannot be read.
bool walkTree(const std::string& root, const TreeWalkOptions& options, TreeListing& listing,
              RunContext& run);

// A folder source measured as a split stores it: the bytes of its regular
// files, what it holds, and what is left out.
struct TreeMeasure {
    int64_t bytes = 0;
    int64_t files = 0;
    int64_t folders = 0; // below the root
    int64_t emptyFolders = 0;
    int64_t links = 0;
    int64_t fifos = 0;
    TreeLeftOut leftOut;
};

bool measureTree(const std::string& root, bool includeHidden, TreeMeasure& measure,
                 RunContext& run);

// "Not stored: .git, .env and 1 more hidden item; tick Include hidden items to
// keep them", and like sentences for devices and sockets, and for what is
// stored differently (hard links, sparse files, setuid bits); "" when there is
// nothing to say. `hiddenAdvice` is the sentence's end about hidden items.
std::string describeLeftOut(const TreeLeftOut& leftOut, const std::string& hiddenAdvice);
