#pragma once
// A set's manifest as a value, read from and written to a folder descriptor,
// for runs that carry their own state (run_context.h). The layout is the one
// of manifest.h, byte for byte.
//
// A Manifest holds the header and the piece records (a few per gigabyte of
// the set); the file records stay in the file, open for as long as any copy
// of the value lives, and are read again, in bounded steps, whenever they are
// wanted: a tree of a million files has 280 MB of them.

#include "engine/base/file_io.h"
#include "engine/base/run_context.h"
#include "engine/format/manifest.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class Manifest {
public:
    // Reads "spt_config.morvspt" in `folderFd` (never through a link, only as
    // a regular file) and checks the whole of it as loadManifest does: the
    // file records too, which are then not kept. `displayPath` names the
    // folder in the failure.
    static Result<Manifest> readAt(int folderFd, const std::string& displayPath);

    const ManifestHeader& header() const { return header_; }
    // The base name; "" when its field has no end (a damaged manifest).
    std::string baseName() const;
    int32_t pieceCount() const { return header_.pieceCount; }
    int32_t fileCount() const { return header_.fileCount > 0 ? header_.fileCount : 0; }
    int64_t totalSize() const { return header_.totalSize; }
    // A set cut from one file: no file records.
    bool fileSet() const { return header_.fileCount <= 0; }
    const std::vector<PieceRecord>& pieces() const { return pieces_; }

    // Hands the file records over in file order, run by run; `take` returns
    // false to stop. False when a read failed or `take` stopped it. Memory:
    // one step of at most 1 MiB.
    bool forEachFileRecords(const std::function<bool(const FileRecord*, std::size_t)>& take) const;

private:
    ManifestHeader header_{};
    std::vector<PieceRecord> pieces_;
    std::shared_ptr<const FileDescriptor> file_;
};

// Writes a manifest into a folder as its records come, without holding the
// file records: the header and the piece records have their places before
// them, so the number of pieces is fixed when the writer is made.
class ManifestWriter {
public:
    // Creates "spt_config.morvspt" in `folderFd` (never through a link, never
    // over an existing file) with the permission bits `mode` less the umask.
    // `header` gives the base name, piece count, total size and password
    // digest; the file count is counted here. `displayPath` names the file in
    // failures, which go to `run`.
    bool create(int folderFd, const ManifestHeader& header, int mode,
                const std::string& displayPath, RunContext& run);
    // Appends a file record with the next id. False when the name does not
    // fit its field, the record cap is reached, or the write failed.
    bool addFile(const std::string& name, int32_t pieceIndex, int64_t offset, int64_t length);
    // Records the fingerprint of piece `index`.
    bool setPiece(int32_t index, const char* fingerprint /*33 bytes*/);
    // A set of a stream, whose length shows only as it is read: the piece
    // count and total so far. Only while it has no file records.
    bool setTotals(int32_t pieceCount, int64_t totalSize);
    int32_t pieceCount() const { return header_.pieceCount; }
    // Writes what is left and the header, with fsync when `sync`, and closes
    // the file. On success `sha256Hex` is the SHA-256 of the file as written.
    bool finish(bool sync, std::string& sha256Hex);

private:
    bool flush();
    RunContext* run_ = nullptr;
    FileDescriptor fd_;
    std::string displayPath_;
    ManifestHeader header_{};
    std::vector<PieceRecord> pieces_;
    std::vector<char> buffer_; // file records not yet written
    int64_t filesWritten_ = 0; // bytes of file records on disk
    bool ok_ = true;
};
