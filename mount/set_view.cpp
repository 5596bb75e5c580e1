#include "mount/set_view.h"

#include "mount/encrypted_view.h"

#include "engine/base/utilities.h"
#include "engine/format/manifest.h"
#include "engine/format/tree_description.h"
#include "engine/fs/run_folder.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/recovery.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <unordered_map>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string pieceNameOf(const std::string& stem, int32_t index) {
    char name[kPathBufferSize];
    return pieceFileName(stem.c_str(), index, name) > 0 ? name : "";
}

// A folder set's record, checked as the join checks it before a byte is written.
bool recordIsSafe(const FileRecord& record, const std::string& baseName, int32_t pieceCount,
                  RunContext& run) {
    if (strnlen(record.name, sizeof record.name) == sizeof record.name)
        return run.refuse("a file record of the manifest has no end", EngineFailure::NotASet);
    const std::string name(record.name);
    if (!isSafeRelativePath(name))
        return run.refuse("the manifest names an unsafe path: \"" + name + "\"",
                          EngineFailure::UnsafeName);
    if (!reservedComponentOf(name).empty())
        return run.refuse(reservedNameRefusal(baseName + "/" + name), EngineFailure::UnsafeName);
    if (record.pieceIndex < 0 || record.pieceIndex >= pieceCount || record.offset < 0 ||
        record.length < 0)
        return run.refuse("the manifest's record of " + name + " is damaged",
                          EngineFailure::NotASet);
    return true;
}

} // namespace

SetView::SetView(ReadableSet set) : set_(std::move(set)) {}

std::unique_ptr<SetView> SetView::build(const std::string& pieceFolder, const MountOptions& options,
                                        RunContext& run) {
    Result<ReadableSet> opened = openSet(pieceFolder, run);
    if (!opened) return nullptr;
    std::unique_ptr<SetView> view(new SetView(std::move(opened.value())));
    ReadableSet& set = view->set_;
    if (!set.encrypted && !view->passwordOpens(options, run)) return nullptr;
    if (isReservedName(set.baseName)) {
        run.fail(EngineFailure::UnsafeName, reservedNameRefusal(set.baseName), pieceFolder);
        return nullptr;
    }
    const Manifest& manifest = set.manifest;
    const bool fileSet = manifest.fileSet();
    const int32_t pieceCount = std::max(manifest.pieceCount(), 0);
    if (fileSet && static_cast<std::size_t>(pieceCount) > manifest.pieces().size()) {
        run.fail(EngineFailure::NotASet,
                 "the manifest of " + pieceFolder + " lists fewer pieces than it counts");
        return nullptr;
    }
    bool refused = false;
    if (!view->targets_.read(manifest, [&](const FileRecord& record) {
            refused = !fileSet && !recordIsSafe(record, set.baseName, pieceCount, run);
            return !refused;
        })) {
        if (!refused)
            run.fail(EngineFailure::NotASet,
                     "cannot read the manifest of " + pieceFolder + " again");
        return nullptr;
    }
    view->baseName_ = set.baseName;
    view->total_ = manifest.totalSize();
    view->pieces_.resize(static_cast<std::size_t>(pieceCount));
    view->quickCheckPieces();
    if (view->canHeal()) {
        bool failed = false, onlyMissing = true;
        for (const Piece& piece : view->pieces_)
            if (piece.check == CheckState::Failed) {
                failed = true;
                onlyMissing = onlyMissing && piece.missing;
            }
        if (failed) view->heal(onlyMissing, -1, run.stopFlag());
        if (run.stopIfRequested()) return nullptr; // a stop, not the damage left
    }
    if (!view->checkSlices(run)) return nullptr;

    const TargetNames names = contentNamesOf(manifest, view->targets_);
    const SetChecksums sums = readSetChecksums(
        set.fd(), set.stem, pieceCount, static_cast<int64_t>(view->targets_.size()), run, &names);
    if (run.stopIfRequested()) return nullptr;
    if (sums.state == ChecksumState::Damaged) {
        run.fail(EngineFailure::ChecksumsDamaged,
                 "the checksum files of " + pieceFolder + " are damaged: " + sums.problem);
        return nullptr;
    }
    if (sums.state == ChecksumState::Absent && options.requireChecksums) {
        run.fail(EngineFailure::NoChecksums,
                 pieceFolder + " has no checksum files, so only the quick check is possible");
        return nullptr;
    }
    view->fullCheck_ = sums.good();
    view->pieceHex_ = sums.pieceHex;
    if (sums.good() && sums.contentsListed && sums.contents.size() == view->targets_.size())
        view->contents_ = sums.contents;
    view->fileFailed_.assign(view->targets_.size(), 0);
    view->fileWhole_.assign(view->targets_.size(), 0);
    for (Piece& piece : view->pieces_) {
        if (piece.check == CheckState::Unchecked && !view->fullCheck_)
            piece.check = CheckState::Good;
        // Rebuilt before the checksum files were read: checked like any piece.
        if (piece.rebuilt && view->fullCheck_ && piece.check == CheckState::Good)
            piece.check = CheckState::Unchecked;
    }
    if (set.encrypted) {
        MountPassword given;
        if (!options.password) {
            run.fail(EngineFailure::Other, "the set is encrypted: its password is needed",
                     pieceFolder);
            return nullptr;
        }
        if (!options.password(given, run)) return nullptr;
        view->encrypted_ = EncryptedView::open(*view, given.password, run);
        return view->encrypted_ ? std::move(view) : nullptr;
    }
    if (!view->buildTree(options, run)) return nullptr;
    return view;
}

std::unique_ptr<SetView> SetView::open(const std::string& path, const MountOptions& options,
                                       RunContext& run) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return buildParts(path, options, run);
    return build(path, options, run);
}

std::unique_ptr<SetView> SetView::buildParts(const std::string& firstPart,
                                             const MountOptions& options, RunContext& run) {
    Result<PartsListing> listed = listNumberedParts(firstPart, run);
    if (!listed) return nullptr;
    const PartsListing& listing = listed.value();
    if (!listing.sumsProblem.empty()) {
        run.fail(EngineFailure::ChecksumsDamaged,
                 "the checksum file beside the parts cannot be used: " + listing.sumsProblem,
                 listing.folder);
        return nullptr;
    }
    if (const std::string missing = listing.missing(); !missing.empty()) {
        run.fail(EngineFailure::PieceMissing,
                 "part " + listing.folder + "/" + missing + " is missing");
        return nullptr;
    }
    if (listing.sumsFile.empty() && options.requireChecksums) {
        run.fail(EngineFailure::NoChecksums,
                 "no checksum file lists the parts, so only their sizes can be checked",
                 listing.folder);
        return nullptr;
    }
    const std::string name = options.name.empty() ? listing.naming.outputName() : options.name;
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        run.fail(EngineFailure::UnsafeName,
                 "the parts' prefix \"" + listing.naming.prefix +
                     "\" gives no name to the joined file: give it one with --name",
                 listing.folder);
        return nullptr;
    }
    std::unique_ptr<SetView> view(new SetView(ReadableSet{}));
    view->parts_ = true;
    view->partsPath_ = listing.folder;
    view->partsFolder_ = openFolderPath(listing.folder);
    if (!view->partsFolder_) {
        run.failErrno("open", listing.folder, errno);
        return nullptr;
    }
    view->sum_ = listing.sum;
    view->fullCheck_ = !listing.sumsFile.empty();
    view->baseName_ = name;
    view->pieces_.resize(listing.parts.size());
    int64_t total = 0;
    for (std::size_t i = 0; i < listing.parts.size(); ++i) {
        const ListedPart& part = listing.parts[i];
        Piece& piece = view->pieces_[i];
        piece.fd = openFileAt(view->partsFolder_.get(), part.name.c_str(), false);
        if (!piece.fd || !stampOf(piece.fd.get(), piece.stamp) ||
            piece.stamp.identity != part.identity) {
            run.fail(EngineFailure::PieceDamaged,
                     "part " + listing.folder + "/" + part.name + " changed while it was listed");
            return nullptr;
        }
        piece.size = part.size;
        piece.check = view->fullCheck_ ? CheckState::Unchecked : CheckState::Good;
        view->partNames_.push_back(part.name);
        view->pieceHex_.push_back(part.expected);
        view->partSlices_.push_back({static_cast<int32_t>(i), 0, part.size});
        total += part.size;
    }
    view->total_ = total;
    view->fileFailed_.assign(1, 0);
    view->fileWhole_.assign(1, 0);
    struct stat folder {
    }, first{};
    if (fstat(view->partsFolder_.get(), &folder) != 0 ||
        fstat(view->pieces_[0].fd.get(), &first) != 0) {
        run.failErrno("read the status of", listing.folder, errno);
        return nullptr;
    }
    ViewNode& root = view->nodes_.emplace_back();
    root.mode = 0555;
    root.mtimeSeconds = folder.st_mtim.tv_sec;
    root.mtimeNanoseconds = static_cast<int32_t>(folder.st_mtim.tv_nsec);
    ViewNode& file = view->nodes_[view->addNode(kRoot, name, NodeType::File)];
    file.mode = first.st_mode & 0777;
    file.mtimeSeconds = first.st_mtim.tv_sec;
    file.mtimeNanoseconds = static_cast<int32_t>(first.st_mtim.tv_nsec);
    file.size = total;
    file.first = 0;
    if (!view->sortChildren(run)) return nullptr;
    return view;
}

SetView::~SetView() {
    stop();
}

void SetView::stop() {
    requestStop();
    {
        std::lock_guard<std::mutex> lock(checkMutex_);
        stopping_ = true;
    }
    {
        std::lock_guard<std::mutex> lock(contentMutex_);
        contentStopping_ = true;
    }
    contentChanged_.notify_all();
    // The content thread first: its reads may still ask the worker for more.
    if (contentWorker_.joinable()) contentWorker_.join();
    aheadWanted_.notify_all();
    if (worker_.joinable()) worker_.join();
    changed_ = nullptr;
}

std::string SetView::piecePath(int32_t index) const {
    if (parts_) return partsPath_ + "/" + partNames_[static_cast<std::size_t>(index)];
    return piecePathOf(set_.path, set_.stem, index);
}

// A set protected by a password (its digest in the manifest) shows what the
// password guards only once it is given, as the join asks for it.
bool SetView::passwordOpens(const MountOptions& options, RunContext& run) {
    const ManifestHeader& header = set_.manifest.header();
    const std::string digest(header.passwordDigest,
                             strnlen(header.passwordDigest, kMd5HexSize - 1));
    if (digest.empty()) return true;
    MountPassword given;
    if (!options.password) {
        run.fail(EngineFailure::WrongPassword, "the set is protected by a password", set_.path);
        return false;
    }
    if (!options.password(given, run)) return false;
    const auto matches = [&](const std::string& text) {
        char typed[kMd5HexSize] = {};
        md5Hex(text.data(), static_cast<uint32_t>(text.size()), typed);
        return typed[0] != '\0' && digest == typed;
    };
    if (matches(given.password) || (given.withCarriageReturn && matches(*given.withCarriageReturn)))
        return true;
    run.fail(EngineFailure::WrongPassword, "wrong password", set_.path);
    return false;
}

// The quick check of every piece the manifest lists, as the join makes it:
// its length and its first bytes. A piece that fails it is never served.
void SetView::quickCheckPieces() {
    const Manifest& manifest = set_.manifest;
    for (const PieceRecord& entry : manifest.pieces()) {
        const int32_t index = entry.pieceIndex; // a packed field: copied, never referenced
        if (index < 0 || index >= pieceCount()) continue;
        Piece& piece = pieces_[static_cast<std::size_t>(index)];
        if (piece.fd || !piece.problem.empty()) continue;
        const std::string name = pieceNameOf(set_.stem, index);
        FileDescriptor fd = openFileAt(set_.fd(), name.c_str(), true);
        const std::string stored(entry.fingerprint,
                                 strnlen(entry.fingerprint, sizeof entry.fingerprint));
        char now[kMd5HexSize] = {};
        if (fd) pieceFingerprintOf(fd.get(), now);
        if (!fd) {
            piece.problem = "is missing or cannot be read";
            piece.kind = EngineFailure::PieceMissing;
            piece.missing = errno == ENOENT;
        } else if (stored.empty() || stored != now) {
            piece.problem = "does not match its fingerprint";
        } else if (!stampOf(fd.get(), piece.stamp)) {
            piece.problem = std::string("cannot be read: ") + std::strerror(errno);
        } else {
            piece.fd = std::move(fd);
            piece.size = piece.stamp.identity.size;
            continue;
        }
        piece.check = CheckState::Failed;
    }
    for (int32_t i = 0; i < pieceCount(); ++i) {
        Piece& piece = pieces_[static_cast<std::size_t>(i)];
        if (!piece.fd && piece.problem.empty()) {
            piece.problem = "has no fingerprint in the manifest";
            piece.check = CheckState::Failed;
        }
    }
}

bool SetView::checkSlices(RunContext& run) {
    // Every slice lies inside its piece, and they add up to at most the
    // total; a file set is every piece whole, so each must be there.
    const bool fileSet = set_.manifest.fileSet();
    const int64_t total = set_.manifest.totalSize();
    int64_t sum = 0;
    for (std::size_t target = 0; target < targets_.size(); ++target)
        for (PieceSlice& slice : targets_.slicesOf(target)) {
            if (slice.piece < 0 || slice.piece >= pieceCount())
                return run.refuse("the manifest names a piece it does not have",
                                  EngineFailure::NotASet);
            const Piece& piece = pieces_[static_cast<std::size_t>(slice.piece)];
            if (fileSet || slice.length == INT64_MAX) {
                if (piece.size < 0)
                    return run.refuse("piece " + piecePath(slice.piece) + " " + piece.problem,
                                      piece.kind);
                slice.offset = 0;
                slice.length = piece.size;
            }
            if (piece.size >= 0 && slice.length > piece.size - slice.offset)
                return run.refuse("the manifest places a file past the end of piece " +
                                      piecePath(slice.piece),
                                  EngineFailure::NotASet);
            if (__builtin_add_overflow(sum, slice.length, &sum) || sum > total)
                return run.refuse("the manifest's slices add up to more than its total of " +
                                      std::to_string(total) + " bytes",
                                  EngineFailure::NotASet);
        }
    if (fileSet && sum != total)
        return run.refuse("the pieces of " + set_.path + " hold " + std::to_string(sum) +
                              " bytes, not the " + std::to_string(total) + " of the manifest",
                          EngineFailure::NotASet);
    return true;
}

// What the join's output folder would gain: the root stands for it, with the
// set folder's time.
bool SetView::addRoot(RunContext& run) {
    struct stat folder {};
    if (fstat(set_.fd(), &folder) != 0)
        return run.failErrno("read the status of", set_.path, errno), false;
    ViewNode& root = nodes_.emplace_back();
    root.mode = 0555;
    root.mtimeSeconds = folder.st_mtim.tv_sec;
    root.mtimeNanoseconds = static_cast<int32_t>(folder.st_mtim.tv_nsec);
    return true;
}

uint32_t SetView::addNode(uint32_t parent, std::string_view name, NodeType type) {
    ViewNode node;
    node.parent = parent;
    node.nameOffset = static_cast<uint32_t>(names_.size());
    node.nameLength = static_cast<uint32_t>(name.size());
    node.type = type;
    names_.append(name);
    nodes_.push_back(node);
    return static_cast<uint32_t>(nodes_.size() - 1);
}

bool SetView::buildTree(const MountOptions&, RunContext& run) {
    const Manifest& manifest = set_.manifest;
    const bool fileSet = manifest.fileSet();
    // The tree's description, when the set has one, checked against the
    // manifest as the join checks it.
    TreeAttributes tree;
    bool described = false;
    if (entryAt(set_.fd(), kTreeFileName) != EntryKind::Missing) {
        const std::string why = readTreeDescription(set_.fd(), manifest, targets_, tree);
        if (!why.empty())
            return run.refuse("the tree description of " + set_.path + " is damaged: " + why,
                              EngineFailure::ChecksumsDamaged);
        for (const DescribedEntry& entry : tree.others)
            if (!reservedComponentOf(entry.path).empty())
                return run.refuse(reservedNameRefusal(set_.baseName + "/" + entry.path),
                                  EngineFailure::UnsafeName);
        described = true;
    }
    const uint64_t bound = targets_.size() + tree.others.size() + 2;
    if (bound > (uint64_t{1} << 31) || names_.max_size() < bound)
        return run.refuse("the set holds too many entries to mount", EngineFailure::TooLarge);
    nodes_.reserve(targets_.size() + tree.others.size() + 2);

    if (!addRoot(run)) return false;
    const ViewNode& root = nodes_[kRoot];
    const auto stamp = [&](ViewNode& node, uint32_t mode) {
        node.mode = mode;
        node.mtimeSeconds = root.mtimeSeconds;
        node.mtimeNanoseconds = root.mtimeNanoseconds;
    };
    const auto fileBits = [&](ViewNode& node, std::size_t target) {
        if (described && target < tree.files.size()) {
            node.mode = tree.files[target].mode & 0777; // as the join makes it: no setuid
            node.mtimeSeconds = tree.files[target].mtimeSeconds;
            node.mtimeNanoseconds = tree.files[target].mtimeNanoseconds;
        } else {
            stamp(node, 0644);
        }
        int64_t size = 0;
        for (const PieceSlice& slice : targets_.slicesOf(target))
            size += slice.length;
        node.size = size;
        node.first = static_cast<uint32_t>(target);
    };
    if (fileSet) {
        fileBits(nodes_[addNode(kRoot, set_.baseName, NodeType::File)], 0);
        return sortChildren(run);
    }

    // The folders by their path below the tree's root ("" for the root);
    // folders the description leaves out are made as the join makes them.
    std::unordered_map<std::string, uint32_t> folders;
    folders.emplace("", addNode(kRoot, set_.baseName, NodeType::Folder));
    stamp(nodes_.back(), 0755);
    std::function<uint32_t(const std::string&)> folderOf = [&](const std::string& path) {
        auto found = folders.find(path);
        if (found != folders.end()) return found->second;
        const uint32_t parent = folderOf(folderPartOf(path));
        const uint32_t made = addNode(parent, lastComponentOf(path), NodeType::Folder);
        stamp(nodes_[made], 0755);
        folders.emplace(path, made);
        return made;
    };
    for (const DescribedEntry& entry : tree.others) {
        uint32_t made = 0;
        if (entry.type == TreeEntryType::Folder) {
            made = folderOf(entry.path);
        } else {
            const uint32_t parent = folderOf(folderPartOf(entry.path));
            made = addNode(parent, lastComponentOf(entry.path),
                           entry.type == TreeEntryType::Link ? NodeType::Link : NodeType::Fifo);
            if (entry.type == TreeEntryType::Link) {
                nodes_[made].first = static_cast<uint32_t>(names_.size());
                nodes_[made].size = static_cast<int64_t>(entry.link.size());
                names_.append(entry.link);
            }
        }
        if (entry.described) {
            nodes_[made].mode = entry.mode & 07777;
            nodes_[made].mtimeSeconds = entry.mtimeSeconds;
            nodes_[made].mtimeNanoseconds = entry.mtimeNanoseconds;
        }
    }
    bool named = targets_.forEachName(manifest, [&](std::size_t index, const FileRecord* record) {
        const std::string name = record ? recordName(*record) : std::string();
        const uint32_t parent = folderOf(folderPartOf(name));
        if (nodes_[parent].type != NodeType::Folder) return false;
        fileBits(nodes_[addNode(parent, lastComponentOf(name), NodeType::File)], index);
        return true;
    });
    if (!named)
        return run.refuse("cannot read the manifest of " + set_.path + " again",
                          EngineFailure::NotASet);
    for (const auto& [path, index] : folders)
        if (nodes_[index].type != NodeType::Folder)
            return run.refuse("the set places " + path + " below what is not a folder",
                              EngineFailure::UnsafeName);
    return sortChildren(run);
}

// Gives every folder its children, by name, in one table; a name twice in a
// folder refuses the set.
bool SetView::sortChildren(RunContext& run) {
    std::vector<uint32_t> counts(nodes_.size() + 1, 0);
    for (uint32_t i = 1; i < nodes_.size(); ++i) {
        if (nodes_[nodes_[i].parent].type != NodeType::Folder)
            return run.refuse("the set places " + std::string(nameOf(i)) +
                                  " below what is not a folder",
                              EngineFailure::UnsafeName);
        ++counts[nodes_[i].parent + 1];
    }
    for (std::size_t i = 1; i < counts.size(); ++i)
        counts[i] += counts[i - 1];
    children_.assign(nodes_.size() > 0 ? nodes_.size() - 1 : 0, 0);
    std::vector<uint32_t> next(counts.begin(), counts.end() - 1);
    for (uint32_t i = 1; i < nodes_.size(); ++i)
        children_[next[nodes_[i].parent]++] = i;
    for (uint32_t i = 0; i < nodes_.size(); ++i) {
        ViewNode& node = nodes_[i];
        if (node.type != NodeType::Folder) continue;
        node.first = counts[i];
        node.count = counts[i + 1] - counts[i];
        uint32_t* begin = children_.data() + node.first;
        uint32_t* end = begin + node.count;
        std::sort(begin, end, [&](uint32_t a, uint32_t b) { return nameOf(a) < nameOf(b); });
        for (uint32_t* at = begin; at + 1 < end; ++at)
            if (nameOf(at[0]) == nameOf(at[1]))
                return run.refuse("the set names " + std::string(nameOf(at[0])) +
                                      " twice in one folder",
                                  EngineFailure::UnsafeName);
        node.size = static_cast<int64_t>(node.count);
    }
    return true;
}

std::string_view SetView::nameOf(uint32_t index) const {
    const ViewNode& node = nodes_[index];
    return std::string_view(names_).substr(node.nameOffset, node.nameLength);
}

std::string_view SetView::linkTargetOf(uint32_t index) const {
    const ViewNode& node = nodes_[index];
    return std::string_view(names_).substr(node.first, static_cast<std::size_t>(node.size));
}

int64_t SetView::lookup(uint32_t parent, std::string_view name) const {
    if (parent >= nodes_.size() || nodes_[parent].type != NodeType::Folder) return -1;
    const uint32_t* begin = childrenOf(parent);
    const uint32_t* end = begin + nodes_[parent].count;
    const uint32_t* found = std::lower_bound(
        begin, end, name, [&](uint32_t a, std::string_view b) { return nameOf(a) < b; });
    if (found == end || nameOf(*found) != name) return -1;
    return static_cast<int64_t>(*found);
}

std::vector<SetView::PieceStatus> SetView::pieceStatuses() const {
    std::lock_guard<std::mutex> lock(checkMutex_);
    std::vector<PieceStatus> statuses;
    statuses.reserve(pieces_.size());
    for (const Piece& piece : pieces_)
        statuses.push_back({piece.check, piece.problem, piece.rebuilt});
    return statuses;
}

std::string SetView::pieceProblem(int32_t index) const {
    std::lock_guard<std::mutex> lock(checkMutex_);
    return pieces_[static_cast<std::size_t>(index)].problem;
}

bool SetView::pieceRebuilt(int32_t index) const {
    std::lock_guard<std::mutex> lock(checkMutex_);
    return pieces_[static_cast<std::size_t>(index)].rebuilt;
}

std::string SetView::pieceDigestCarrying(int fd, Carry& carry, char* buffer, std::size_t step) {
    Sha256Running digest;
    for (int64_t offset = 0;;) {
        const int64_t got = readAt(fd, buffer, step, offset);
        if (got < 0) return {};
        if (got == 0) break;
        const int64_t from = std::clamp<int64_t>(carry.offset - offset, 0, got);
        const int64_t to = std::clamp<int64_t>(carry.offset + carry.length - offset, 0, got);
        if (!Sha256Running::updateBoth(digest, buffer, static_cast<std::size_t>(got), carry.digest,
                                       buffer + from, static_cast<std::size_t>(to - from)))
            return {};
        carry.fed += to - from;
        offset += got;
    }
    return digest.finishHex();
}

std::string SetView::checkPiece(int32_t index, Carry* carry) {
    const Piece& piece = pieces_[static_cast<std::size_t>(index)];
    constexpr std::size_t kStep = std::size_t{1} << 20;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kStep]);
    if (!buffer) return "cannot be checked: out of memory";
    const std::string hex = carry ? pieceDigestCarrying(piece.fd.get(), *carry, buffer.get(), kStep)
                                  : partDigestOf(piece.fd.get(), sum_, buffer.get(), kStep);
    FileStamp after;
    if (!stampOf(piece.fd.get(), after) || !(after == piece.stamp))
        return "changed since the mount began";
    if (hex.empty()) return "cannot be read";
    const auto at = static_cast<std::size_t>(index);
    if (at >= pieceHex_.size() || hex != pieceHex_[at])
        return std::string("does not match its ") + (sum_ == PartSum::Crc32 ? "CRC32"
                                                     : sum_ == PartSum::Md5 ? "MD5"
                                                                            : "SHA-256");
    return "";
}

// A piece is served once it has matched its checksum in full; the first
// reader hashes it, others wait for the verdict. One that fails is rebuilt
// from the recovery pieces when the set has them, and checked again.
bool SetView::pieceIsServable(int32_t index) {
    Piece& piece = pieces_[static_cast<std::size_t>(index)];
    std::unique_lock<std::mutex> lock(checkMutex_);
    for (;;) {
        if (piece.check == CheckState::Good) {
            piece.served = true; // a reader may hold its descriptor from now on
            return true;
        }
        if (piece.check == CheckState::Failed) return false;
        if (piece.check == CheckState::Unchecked) break;
        checked_.wait(lock);
    }
    piece.check = CheckState::Checking;
    lock.unlock();
    Carry carry = carryFor(index);
    std::string problem = checkPiece(index, carry.followed ? &carry : nullptr);
    settle(carry, problem.empty());
    if (!problem.empty() && !piece.rebuilt && canHeal() && heal(false, index)) {
        lock.lock();
        const bool adopted = piece.rebuilt;
        lock.unlock();
        if (adopted) problem = checkPiece(index);
    }
    lock.lock();
    if (problem.empty()) {
        piece.check = CheckState::Good;
        piece.served = true;
    } else
        failPiece(piece, index, problem);
    checked_.notify_all();
    lock.unlock();
    pieceSettled();
    if (changed_) changed_();
    return problem.empty();
}

// A large file is hashed whole in the check of each piece it lies in, when
// the check begins where the file's hash stands: one pass over the piece's
// bytes for both digests, on this processor for little more than one.
SetView::Carry SetView::carryFor(int32_t index) {
    Carry carry;
    if (!Sha256Running::interleaves() || sum_ != PartSum::Sha256) return carry;
    std::lock_guard<std::mutex> lock(contentMutex_);
    for (const auto& [file, followed] : followed_) {
        if (followed->state != Followed::State::Pending || followed->busy) continue;
        int64_t start = 0;
        const PieceSlice* slice = sliceAt(file, followed->hashed, start);
        if (slice && start == followed->hashed && slice->piece == index) {
            followed->busy = true;
            carry.followed = followed;
            carry.digest = followed->digest;
            carry.offset = slice->offset;
            carry.length = slice->length;
            return carry;
        }
    }
    return carry;
}

void SetView::settle(Carry& carry, bool pieceGood) {
    if (!carry.followed) return;
    std::lock_guard<std::mutex> lock(contentMutex_);
    Followed& followed = *carry.followed;
    followed.busy = false;
    if (pieceGood && carry.fed == carry.length && followed.state == Followed::State::Pending) {
        followed.digest = carry.digest;
        followed.hashed += carry.length;
        concludeIfHashed(followed);
    }
    contentChanged_.notify_all();
}

void SetView::pieceSettled() {
    std::lock_guard<std::mutex> lock(contentMutex_);
    if (!followed_.empty()) contentChanged_.notify_all();
}

bool SetView::pieceHasVerdict(int32_t index) const {
    std::lock_guard<std::mutex> lock(checkMutex_);
    const CheckState check = pieces_[static_cast<std::size_t>(index)].check;
    return check == CheckState::Good || check == CheckState::Failed;
}

const PieceSlice* SetView::sliceAt(uint32_t target, int64_t at, int64_t& start) const {
    start = 0;
    for (const PieceSlice& slice : slicesOfFile(target)) {
        if (at < start + slice.length) return &slice;
        start += slice.length;
    }
    return nullptr;
}

void SetView::checkAhead(int32_t index) {
    if (!fullCheck_ || !serving_ || index + 1 >= pieceCount()) return;
    std::lock_guard<std::mutex> lock(checkMutex_);
    if (stopping_ || pieces_[static_cast<std::size_t>(index) + 1].check != CheckState::Unchecked)
        return;
    // Started at the first read served, never before: a daemon forks once
    // the mount is up, and a thread does not cross a fork.
    if (!worker_.joinable()) {
        try {
            worker_ = std::thread([this] { work(); });
        } catch (...) {
            return; // no thread to spare: each reader checks its own pieces
        }
    }
    aheadQueue_.push_back(index + 1);
    aheadWanted_.notify_all();
}

void SetView::work() {
    std::unique_lock<std::mutex> lock(checkMutex_);
    for (;;) {
        aheadWanted_.wait(lock, [&] { return stopping_ || !aheadQueue_.empty(); });
        if (stopping_) return;
        const int32_t index = aheadQueue_.back();
        aheadQueue_.clear(); // only the newest reader's next piece is wanted
        lock.unlock();
        pieceIsServable(index);
        lock.lock();
    }
}

// Runs the engine's repair with the set's folder only read: what it rebuilds
// goes to a working folder of this process (0700, locked and marked, under
// $XDG_RUNTIME_DIR or the temporary folder), is opened, unlinked there, and
// taken for the pieces that failed. What a killed mount left there is swept
// first. At most one full repair per view: after it, what could not be
// rebuilt stays failed.
bool SetView::heal(bool visibleOnly, int32_t checking, const std::atomic<bool>* stop) {
    std::lock_guard<std::mutex> healing(healMutex_);
    if (healedAll_) return false;
    if (!visibleOnly) healedAll_ = true;
    const char* base = std::getenv("XDG_RUNTIME_DIR");
    if (!base || base[0] != '/') base = std::getenv("TMPDIR");
    if (!base || base[0] != '/') base = "/tmp";
    FileDescriptor baseFd = openFolderPath(base);
    RunContext run(stop ? stop : &stopRequested_);
    if (baseFd && sweepWhenAlone(baseFd.get(), run)) flock(baseFd.get(), LOCK_UN);
    RunFolder out; // removed, with what is still in it, when the rebuild ends
    if (!baseFd || !out.create(baseFd.get())) {
        report("cannot make a private folder in " + std::string(base) +
               " to rebuild pieces in: " + std::strerror(errno));
        return false;
    }
    const std::string outPath = std::string(base) + "/" + out.name();
    Result<RepairOutcome> repaired =
        repairSet(set_.fd(), set_.path, set_.recoveryStem, out.fd(), outPath, run, visibleOnly);
    bool adopted = false;
    std::lock_guard<std::mutex> lock(checkMutex_);
    if (!repaired && run.stopRequested()) {
        reportLocked("the rebuilding of damaged pieces stopped: the mount is ending");
    } else if (!repaired) {
        const std::string text =
            "the recovery pieces cannot rebuild what is damaged: " + repaired.failure().reason;
        reportLocked(text);
    } else {
        for (const std::string& rebuilt : repaired.value().rebuilt) {
            FileDescriptor fd = openFileAt(out.fd(), rebuilt.c_str(), false);
            // Unnamed before its stamp is taken: the unlink moves its ctime.
            unlinkat(out.fd(), rebuilt.c_str(), 0);
            for (int32_t i = 0; fd && i < pieceCount(); ++i) {
                Piece& piece = pieces_[static_cast<std::size_t>(i)];
                // A piece another reader is checking, or one ever served (a
                // reader may still be reading it), keeps the file it reads.
                const bool free =
                    !piece.served && (piece.check == CheckState::Failed ||
                                      piece.check == CheckState::Unchecked || i == checking);
                if (piece.rebuilt || !free || rebuilt != pieceNameOf(set_.stem, i) ||
                    !stampOf(fd.get(), piece.stamp))
                    continue;
                piece.fd = std::move(fd);
                piece.size = piece.stamp.identity.size;
                piece.rebuilt = true;
                piece.problem.clear();
                if (piece.check == CheckState::Failed)
                    piece.check = fullCheck_ ? CheckState::Unchecked : CheckState::Good;
                adopted = true;
            }
        }
    }
    return adopted;
}

// With checkMutex_ held.
void SetView::failPiece(Piece& piece, int32_t index, const std::string& problem) {
    piece.check = CheckState::Failed;
    piece.problem = problem;
    reportLocked(std::string(parts_ ? "part " : "piece ") + piecePath(index) + " " + problem +
                 ": its bytes are not served");
}

void SetView::report(const std::string& text) const {
    std::lock_guard<std::mutex> lock(checkMutex_);
    reportLocked(text);
}

void SetView::reportLocked(const std::string& text) const {
    if (report_)
        report_(text);
    else
        std::fprintf(stderr, "parcelor: %s\n", text.c_str());
}

bool SetView::pieceUnchanged(int32_t index) {
    Piece& piece = pieces_[static_cast<std::size_t>(index)];
    FileStamp now;
    if (stampOf(piece.fd.get(), now) && now == piece.stamp) return true;
    {
        std::lock_guard<std::mutex> lock(checkMutex_);
        if (piece.check == CheckState::Failed) return false;
        failPiece(piece, index, "changed since the mount began");
    }
    if (changed_) changed_();
    return false;
}

int64_t SetView::read(uint32_t index, char* out, int64_t size, int64_t offset) {
    return read(index, out, size, offset, nullptr);
}

std::unique_ptr<SetView::WholeRead> SetView::beginWholeRead(uint32_t index) {
    if (index >= nodes_.size() || nodes_[index].type != NodeType::File) return nullptr;
    // An encrypted set's CONTENTS.sha256 line is its stream's, not a file's.
    if (encrypted_ || nodes_[index].first >= contents_.size()) return nullptr;
    auto whole = std::make_unique<WholeRead>();
    whole->file = nodes_[index].first;
    whole->large = nodes_[index].size > kFollowedSize;
    if (whole->large) {
        std::lock_guard<std::mutex> lock(contentMutex_);
        if (fileWhole_[whole->file]) return nullptr; // found whole already
        std::shared_ptr<Followed>& followed = followed_[whole->file];
        if (!followed) {
            followed = std::make_shared<Followed>();
            followed->file = whole->file;
            followed->size = nodes_[index].size;
        }
        whole->following = true;
        ++followed->followers;
    }
    return whole;
}

void SetView::endWholeRead(std::unique_ptr<WholeRead> whole) {
    if (!whole || !whole->large) return;
    std::lock_guard<std::mutex> lock(contentMutex_);
    unfollow(*whole);
}

void SetView::unfollow(WholeRead& whole) {
    if (!whole.following) return;
    whole.following = false;
    const auto at = followed_.find(whole.file);
    if (at != followed_.end() && --at->second->followers == 0) followed_.erase(at);
    contentChanged_.notify_all();
}

namespace {

constexpr int64_t kContentStep = int64_t{1} << 20;
constexpr int64_t kContentWindow = int64_t{64} << 20; // how far ahead of its readers

} // namespace

// A large file's reader notes how far it has read without a gap; the content
// thread hashes as far as that and a window more. The read that reaches the
// end waits for the verdict.
bool SetView::followLarge(WholeRead& whole, int64_t size, int64_t offset, int64_t fileSize) {
    constexpr std::size_t kMostSpans = 4096;
    int64_t reached = 0;
    {
        std::lock_guard<std::mutex> lock(whole.mutex);
        if (whole.gaveUp || offset + size <= whole.next) return true;
        if (offset > whole.next) {
            if (whole.spans.size() < kMostSpans) {
                int64_t& end = whole.spans[offset];
                end = std::max(end, offset + size);
                return true;
            }
            whole.gaveUp = true; // read out of order: not followed
        } else {
            whole.next = offset + size;
            while (!whole.spans.empty() && whole.spans.begin()->first <= whole.next) {
                whole.next = std::max(whole.next, whole.spans.begin()->second);
                whole.spans.erase(whole.spans.begin());
            }
            reached = whole.next;
            if (reached == fileSize) whole.gaveUp = true; // nothing more to follow
        }
    }
    std::unique_lock<std::mutex> lock(contentMutex_);
    if (reached == 0) { // gave up
        unfollow(whole);
        return true;
    }
    const auto at = followed_.find(whole.file);
    if (!whole.following || at == followed_.end()) return true; // released
    const std::shared_ptr<Followed>& followed = at->second;
    // Started at the first read served, never before: a daemon forks once
    // the mount is up, and a thread does not cross a fork.
    if (!contentWorker_.joinable() && serving_) {
        try {
            contentWorker_ = std::thread([this] { hashContents(); });
        } catch (...) { // no thread to spare: the reader at the end hashes
        }
    }
    followed->frontier = std::max(followed->frontier, reached);
    contentChanged_.notify_all();
    if (reached < fileSize) return true;
    lock.unlock();
    return largeFileIsWhole(whole.file);
}

bool SetView::largeFileIsWhole(uint32_t target) {
    std::unique_lock<std::mutex> lock(contentMutex_);
    const auto at = followed_.find(target);
    if (at == followed_.end()) return false;
    const std::shared_ptr<Followed> followed = at->second;
    // A file the content thread could not read (a piece failed while it read
    // ahead, and was rebuilt since) is hashed once more from its start.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0 && followed->state == Followed::State::Unreadable) {
            followed->state = Followed::State::Pending; // another reader may have begun it again
            followed->hashed = 0;
            followed->digest = Sha256Running();
            contentChanged_.notify_all();
        } else if (attempt > 0 && followed->state != Followed::State::Pending) {
            break;
        }
        if (!contentWorker_.joinable()) {
            std::unique_ptr<char[]> buffer(new (std::nothrow) char[kContentStep]);
            if (!buffer) return false;
            while (followed->state == Followed::State::Pending && !followed->busy)
                hashStep(followed, buffer.get(), lock);
        }
        contentChanged_.wait(lock, [&] {
            return contentStopping_ ||
                   (followed->state != Followed::State::Pending && !followed->busy);
        });
        if (contentStopping_) break;
    }
    return followed->state == Followed::State::Whole;
}

std::shared_ptr<SetView::Followed> SetView::nextToHash() const {
    std::shared_ptr<Followed> next;
    for (const auto& [file, followed] : followed_) {
        if (followed->state != Followed::State::Pending || followed->busy ||
            followed->hashed >= std::min(followed->size, followed->frontier + kContentWindow))
            continue;
        // Never a piece not yet checked: its check carries the file's hash.
        int64_t start = 0;
        const PieceSlice* slice = sliceAt(followed->file, followed->hashed, start);
        if (!slice || !pieceHasVerdict(slice->piece)) continue;
        // A file whose reader waits at its end first.
        if (!next || followed->frontier == followed->size) next = followed;
        if (followed->frontier == followed->size) break;
    }
    return next;
}

void SetView::hashStep(const std::shared_ptr<Followed>& followed, char* buffer,
                       std::unique_lock<std::mutex>& lock) {
    // Up to the end of a piece's slice, so that the next piece's check can
    // carry the hash from where it stands.
    int64_t start = 0;
    const PieceSlice* slice = sliceAt(followed->file, followed->hashed, start);
    const int64_t sliceEnd = slice ? start + slice->length : followed->size;
    const int64_t want = std::min(kContentStep, sliceEnd - followed->hashed);
    const int64_t at = followed->hashed;
    followed->busy = true;
    lock.unlock();
    // The bytes as readers are given them: from the checked pieces, each
    // piece's stamp compared after.
    const int64_t got = readTarget(followed->file, buffer, want, at);
    const bool fed = got == want && followed->digest.update(buffer, static_cast<std::size_t>(got));
    lock.lock();
    followed->busy = false;
    if (!fed) {
        // Its readers find out what went wrong in their own reads.
        followed->state = Followed::State::Unreadable;
    } else {
        followed->hashed += got;
        concludeIfHashed(*followed);
    }
    contentChanged_.notify_all();
}

void SetView::concludeIfHashed(Followed& followed) {
    if (followed.hashed != followed.size) return;
    Sha256Running::Bytes digest{};
    const bool whole = followed.digest.finish(digest) && digest == contents_[followed.file];
    followed.state = whole ? Followed::State::Whole : Followed::State::NotWhole;
    if (whole) {
        fileWhole_[followed.file] = 1;
    } else {
        std::lock_guard<std::mutex> failed(checkMutex_);
        failContents(followed.file);
    }
}

// Hashes the large files being read whole, a step at a time, as far as
// their readers let it; a reader waiting at a file's end is served first.
void SetView::hashContents() {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kContentStep]);
    std::unique_lock<std::mutex> lock(contentMutex_);
    for (;;) {
        std::shared_ptr<Followed> next;
        contentChanged_.wait(lock,
                             [&] { return contentStopping_ || (next = nextToHash()) != nullptr; });
        if (contentStopping_) return;
        if (!buffer) {
            next->state = Followed::State::Unreadable;
            contentChanged_.notify_all();
            continue;
        }
        hashStep(next, buffer.get(), lock);
    }
}

// The path of file `target` in the mount, as it is said.
std::string SetView::fileNameOf(uint32_t target) const {
    std::string name = baseName_;
    if (!set_.manifest.fileSet()) {
        std::string relative;
        if (targets_.nameOf(set_.manifest, target, relative)) name += "/" + relative;
    }
    return name;
}

// With whole.mutex held, once every byte has been hashed.
bool SetView::finishWholeRead(WholeRead& whole) {
    Sha256Digest::Bytes got{};
    const bool same = whole.digest.finish(got) && got == contents_[whole.file];
    whole.gaveUp = true; // checked: no more to follow
    if (same) return true;
    std::lock_guard<std::mutex> lock(checkMutex_);
    failContents(whole.file);
    return false;
}

// With checkMutex_ held: file `target` is served no more, and said once.
void SetView::failContents(uint32_t target) {
    if (fileFailed_[target]) return;
    fileFailed_[target] = 1;
    reportLocked(fileNameOf(target) +
                 " does not match its SHA-256 in CONTENTS.sha256: it is not served");
}

int64_t SetView::read(uint32_t index, char* out, int64_t size, int64_t offset, WholeRead* whole) {
    if (index >= nodes_.size() || nodes_[index].type != NodeType::File) return -EINVAL;
    const ViewNode& node = nodes_[index];
    if (offset < 0) return -EINVAL;
    {
        std::lock_guard<std::mutex> lock(checkMutex_);
        if (node.first < fileFailed_.size() && fileFailed_[node.first]) return -EIO;
    }
    if (offset >= node.size || size <= 0) return 0;
    size = std::min(size, node.size - offset);
    const int64_t done = encrypted_ ? encrypted_->read(node, out, size, offset)
                                    : readTarget(node.first, out, size, offset);
    if (done > 0 && whole &&
        !(whole->large ? followLarge(*whole, done, offset, node.size)
                       : follow(*whole, out, done, offset, node.size)))
        return -EIO;
    return done;
}

int64_t SetView::readTarget(std::size_t target, char* out, int64_t size, int64_t offset) {
    int64_t done = 0;
    int64_t start = 0; // of the slice in the file
    for (const PieceSlice& slice : slicesOfFile(target)) {
        if (done == size) break;
        const int64_t end = start + slice.length;
        if (offset + done < end) {
            if (!pieceIsServable(slice.piece)) return -EIO;
            checkAhead(slice.piece);
            const int fd = pieces_[static_cast<std::size_t>(slice.piece)].fd.get();
            const int64_t within = offset + done - start;
            const int64_t want = std::min(size - done, slice.length - within);
            int64_t got = 0;
            while (got < want) {
                const ssize_t n = pread(fd, out + done + got, static_cast<std::size_t>(want - got),
                                        slice.offset + within + got);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return -EIO; // shorter than checked: changed since
                got += n;
            }
            if (!pieceUnchanged(slice.piece)) return -EIO;
            done += want;
        }
        start = end;
    }
    return done;
}

// Hashes a reader's bytes in file order; reads that come early (the kernel
// reads ahead on several threads) are held back, up to a bound.
bool SetView::follow(WholeRead& whole, const char* data, int64_t size, int64_t offset,
                     int64_t fileSize) {
    constexpr int64_t kHeldBack = int64_t{16} << 20;
    std::lock_guard<std::mutex> lock(whole.mutex);
    if (whole.gaveUp || offset + size <= whole.next) return true;
    if (offset > whole.next) {
        if (whole.held + size > kHeldBack) {
            whole.gaveUp = true;
            whole.ahead.clear();
            return true;
        }
        whole.held += size;
        whole.ahead.emplace(offset, std::string(data, static_cast<std::size_t>(size)));
        return true;
    }
    const auto take = [&](const char* bytes, int64_t length, int64_t at) {
        const int64_t skip = whole.next - at; // a part already hashed
        if (skip >= length) return;
        whole.digest.update(bytes + skip, static_cast<std::size_t>(length - skip));
        whole.next = at + length;
    };
    take(data, size, offset);
    while (!whole.ahead.empty() && whole.ahead.begin()->first <= whole.next) {
        auto first = whole.ahead.begin();
        take(first->second.data(), static_cast<int64_t>(first->second.size()), first->first);
        whole.held -= static_cast<int64_t>(first->second.size());
        whole.ahead.erase(first);
    }
    if (whole.next == fileSize) return finishWholeRead(whole);
    return true;
}
