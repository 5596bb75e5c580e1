#pragma once
// What a mount of a set shows, built once when the mount starts: the set
// opened (its shared lock held for the view's life), every name checked as
// the join checks it, and an inode table in memory, linear in the files.
//
// The mount's root stands for the join's output folder: it holds one entry,
// the set's base name, which is the one file of a file set or the root of a
// folder set's tree. So CONTENTS.sha256 checks the mount as it checks a join.
//
// No byte is served unchecked: with checksum files, a piece is hashed in full
// against SHA256SUMS before any byte of it goes out (once per view; a piece
// that fails stays failed and its ranges give EIO); without them, only the
// quick check made when the view is built.

#include "engine/base/run_context.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest_targets.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/open_set.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The password a set asks for: the text given, and for a file that ended in
// CRLF, that text with its CR kept (older builds protected sets with it).
struct MountPassword {
    std::string password;
    std::optional<std::string> withCarriageReturn;
};

struct MountOptions {
    bool requireChecksums = false; // refuse a set without checksum files
    // Asked for the password once the set turns out to need one (encrypted,
    // or protected by a password's digest). False, with the failure in the
    // run, when there is none to give.
    std::function<bool(MountPassword&, RunContext&)> password;
};

class EncryptedView;

enum class NodeType : uint8_t { Folder, File, Link, Fifo };

struct ViewNode {
    uint32_t parent = 0;
    uint32_t nameOffset = 0; // in the view's name pool
    uint32_t nameLength = 0;
    NodeType type = NodeType::Folder;
    uint32_t mode = 0; // permission bits only
    int64_t mtimeSeconds = 0;
    int32_t mtimeNanoseconds = 0;
    int64_t size = 0;
    // A file: its target in the manifest. A link: its target's offset in the
    // name pool (its length is `size`). A folder: its first child in the
    // children table, and `count` children.
    uint32_t first = 0;
    uint32_t count = 0;
};

// The state of one piece's full check.
enum class PieceCheck : uint8_t { Unchecked, Checking, Good, Failed };

class SetView {
public:
    // Index 0 is the mount's root; FUSE's inode of node i is i + 1.
    static constexpr uint32_t kRoot = 0;

    // Opens the set in `pieceFolder` and builds its view. Refuses, with the
    // failure kept in `run`, what the join refuses: unsafe or reserved names,
    // a tree description that does not agree with the manifest, damaged
    // checksum files, slices outside their pieces; a set without checksum
    // files when `options.requireChecksums`; a file set missing a piece (its
    // length places every later byte); a set whose password is not given or
    // is wrong. An encrypted set shows the tar its stream holds.
    static std::unique_ptr<SetView> build(const std::string& pieceFolder,
                                          const MountOptions& options, RunContext& run);
    ~SetView();

    const ViewNode& node(uint32_t index) const { return nodes_[index]; }
    uint32_t nodeCount() const { return static_cast<uint32_t>(nodes_.size()); }
    std::string_view nameOf(uint32_t index) const;
    std::string_view linkTargetOf(uint32_t index) const;
    // The child of folder `parent` named `name`, or -1.
    int64_t lookup(uint32_t parent, std::string_view name) const;
    // The children of folder `parent`, by name.
    const uint32_t* childrenOf(uint32_t parent) const {
        return children_.data() + nodes_[parent].first;
    }

    // Reads up to `size` bytes of file `index` at `offset` into `out`: the
    // bytes read (short only at the end of the file), or -errno (EIO when a
    // piece holding the range is missing or failed its check).
    int64_t read(uint32_t index, char* out, int64_t size, int64_t offset);

    bool fullCheck() const { return fullCheck_; }
    const std::string& baseName() const { return set_.baseName; }
    int64_t totalSize() const { return set_.manifest.totalSize(); }
    int32_t pieceCount() const { return static_cast<int32_t>(pieces_.size()); }
    // Why piece `index` is not served, "" when it is (or is not checked yet).
    std::string pieceProblem(int32_t index) const;
    // Where a piece that fails is said, once ("piece P does not match its
    // SHA-256: its bytes are not served"); standard error until set. Set
    // before the view is served.
    void setReporter(std::function<void(const std::string&)> report) {
        report_ = std::move(report);
    }

private:
    friend class EncryptedView;
    struct Piece {
        FileDescriptor fd; // opened and quick-checked when the view is built
        int64_t size = -1;
        // Its stamp when it was quick-checked: a piece whose stamp moves
        // (written, truncated, its times changed) is no longer served.
        FileStamp stamp;
        PieceCheck check = PieceCheck::Unchecked;
        std::string problem;
    };
    explicit SetView(ReadableSet set);
    bool buildTree(const MountOptions& options, RunContext& run);
    bool passwordOpens(const MountOptions& options, RunContext& run);
    // The mount's root, standing for the join's output folder.
    bool addRoot(RunContext& run);
    // Reads bytes of the manifest's target `target` (its slices), as read() does.
    int64_t readTarget(std::size_t target, char* out, int64_t size, int64_t offset);
    void report(const std::string& text) const;
    bool checkPieces(RunContext& run);
    bool pieceIsServable(int32_t index);
    // After bytes of a piece were read: false, and the piece failed from
    // then on, when it changed since it was checked.
    bool pieceUnchanged(int32_t index);
    void failPiece(Piece& piece, int32_t index, const std::string& problem);
    uint32_t addNode(uint32_t parent, std::string_view name, NodeType type);
    bool sortChildren(RunContext& run);

    ReadableSet set_;
    ManifestTargets targets_;
    std::vector<std::string> pieceHex_; // by piece, with the full check
    bool fullCheck_ = false;
    std::vector<ViewNode> nodes_;
    std::vector<uint32_t> children_;
    std::string names_;
    std::vector<Piece> pieces_;
    std::function<void(const std::string&)> report_;
    std::unique_ptr<EncryptedView> encrypted_; // an encrypted set's stream, opened
    mutable std::mutex checkMutex_;
    std::condition_variable checked_;
};
