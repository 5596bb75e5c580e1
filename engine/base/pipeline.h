#pragma once
// The split's bytes as a chain of stages:
//
//   source --> SplitIntake --> [Transform] ... --> PieceCutter --> [PieceStage] ...
//
// The source (a file, a tree's files one after another, standard input, an
// encrypted set's tar stream) hands each of its parts to the intake: an open
// file, or bytes it made itself. Transforms change the bytes on their way
// (encryption, say); the cutter writes what reaches it into pieces of the
// set's piece size; piece stages get every finished piece (its checksums,
// recovery pieces). With no transform a file's bytes never leave the kernel
// (copy_file_range); with some, they go through one bounded buffer per stage.
//
// Adding a stage: a transform implements Transform and is put in
// SplitOptions::transforms (its inverse in JoinOptions::transforms); a stage
// that needs the finished pieces implements PieceStage and is put on the
// split's list of piece stages beside its hasher.

#include "engine/base/file_io.h"
#include "engine/base/run_context.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A stage that changes the bytes.
class Transform {
public:
    virtual ~Transform() = default;
    // What `inputSize` bytes become: known before the run, since the set's
    // piece count is fixed from it. -1 when the size cannot be made.
    virtual int64_t outputSize(int64_t inputSize) const = 0;
    // Appends to `out` what the `size` bytes at `data` become. It may keep
    // bytes back until finish. False on a fault (the run fails).
    virtual bool apply(const char* data, std::size_t size, std::vector<char>& out) = 0;
    // Appends what was kept back; called once, at the end of the stream.
    virtual bool finish(std::vector<char>& out) = 0;
    // What belongs at the start of what this stage gave out, in place of the
    // stand-ins it gave there, once it is known (a header made on a thread of
    // its own while the stream went on); empty when what it gave out is
    // whole. Asked once, before the stream's first piece is handed on, and of
    // the last stage only. False when it could not be made.
    virtual bool deferredStart(std::string& bytes) {
        bytes.clear();
        return true;
    }
};

// The transforms a run applies, in order.
using Transforms = std::vector<std::shared_ptr<Transform>>;

// What `inputSize` bytes become through every transform; -1 when one cannot say.
int64_t transformedSize(const Transforms& transforms, int64_t inputSize);

// A stage that works on each finished piece.
class PieceStage {
public:
    virtual ~PieceStage() = default;
    // Piece `index` (file `name`) is whole; `piece` is open for reading, and
    // `slices` say which rebuilt file's bytes lie where in it: `target` is the
    // file's position among the files the set rebuilds (0 for a file source).
    // May wait while the stage is busy (a bounded queue).
    struct Slice {
        int64_t target = 0;
        int64_t offset = 0;
        int64_t length = 0;
    };
    virtual void pieceWritten(int32_t index, std::string name, FileDescriptor piece,
                              std::vector<Slice> slices) = 0;
    // The same, for a piece whose bytes are also `length` bytes of `source`
    // from `offset` (a file cut as it is): a stage that reads them may read
    // them there, from the pages the run read, instead of from the piece,
    // whose own blocks may be shared and uncached. The caller proves the
    // source unchanged afterwards. Reads the piece unless overridden.
    virtual void pieceWrittenFrom(int32_t index, std::string name, FileDescriptor piece,
                                  FileDescriptor source, int64_t offset, int64_t length,
                                  std::vector<Slice> slices) {
        (void)source, (void)offset, (void)length;
        pieceWritten(index, std::move(name), std::move(piece), std::move(slices));
    }
};

// Where a run of the source's bytes landed: in piece `piece`, from `offset`.
using SegmentSink = std::function<void(int32_t piece, int64_t offset, int64_t length)>;

// Writes a stream into `count` pieces of `pieceSize` bytes, the last one
// holding the rest. Pieces are made when the stream reaches them. A file whose
// size is given and fits the staging buffer's room (1 MiB) is read into it,
// so a tree of small files costs one read each and large writes; anything
// else is copied in the kernel.
class PieceCutter {
public:
    struct Callbacks {
        // Creates piece `index`; an empty descriptor fails the run (the
        // callback keeps the reason).
        std::function<FileDescriptor(int32_t index)> create;
        // Piece `index` is whole: flush, record and hand it on.
        std::function<void(int32_t index, FileDescriptor& piece)> finished;
        // Copies a range of an open file into the piece at its position, as
        // copyRange does (which is used when this is empty): where the file
        // system shares blocks, the split shares them here.
        std::function<int64_t(int fd, int64_t offset, int64_t length, int piece, bool& failed)>
            copy{};
    };
    PieceCutter(int32_t count, int64_t pieceSize, Callbacks callbacks, RunContext& run);

    // Copies up to `length` bytes of `fd` from `offset` (to its end when
    // `length` is negative) into the pieces, in the kernel, telling `segment`
    // of each run in one piece (a run of 0 bytes where a file that filled a
    // piece exactly is found ended in the next). Returns the bytes taken:
    // fewer than asked when the source ended or the last piece is full.
    // `failed` is set on a read or write fault or a stop (errno ECANCELED).
    // `sizeHint`, when known, is the file's size: a read that reaches it
    // needs no second read to see the end.
    int64_t takeRange(int fd, int64_t offset, int64_t length, const SegmentSink& segment,
                      bool& failed, int64_t sizeHint = -1);
    // Writes bytes a transform gave out. False on a fault, a stop, or more
    // bytes than the pieces hold.
    bool takeBytes(const char* data, std::size_t size, const SegmentSink& segment);
    // The last piece is full: nothing more fits.
    bool full() const;
    int32_t piece() const { return index_; }
    int64_t filled() const { return filled_; }
    // Makes the pieces the stream did not reach (empty) and finishes every
    // piece still open, in order. False when a piece could not be made.
    bool finish();
    // A stream of unknown length is cut with room for any number of pieces;
    // once it ends, this says how many it filled (before finish).
    void endAt(int32_t count) { count_ = count; }

private:
    static constexpr std::size_t kStageBytes = std::size_t{1} << 20;
    // Makes piece `index_` + 1 the current one, finishing the current one.
    bool advance();
    bool ensureOpen();
    // Moves up to `want` bytes of `fd` from `offset` into the current piece.
    int64_t fill(int fd, int64_t offset, int64_t want, int64_t sizeHint, bool& failed);
    // Writes what is staged to the current piece.
    bool flushStage();

    int32_t count_;
    int64_t pieceSize_;
    Callbacks callbacks_;
    RunContext& run_;
    int32_t index_ = 0;
    int64_t filled_ = 0;
    FileDescriptor piece_;
    bool opened_ = false; // piece index_ was made
    bool failed_ = false;
    std::vector<char> stage_; // made when first needed
    std::size_t staged_ = 0;  // bytes of the current piece not yet written
};

// Passes ranges of open files through `transforms`, in steps of
// kBufferCopyChunkSize, each step through every transform in order, and
// hands what comes out to `sink` (the split's cutter, the join's target). The
// run's progress counts the bytes read.
class TransformChain {
public:
    using Sink = std::function<bool(const char* data, std::size_t size)>;
    TransformChain(Transforms transforms, Sink sink, RunContext& run);
    // Returns the bytes read: fewer than `length` (to the end when negative)
    // only when the file ended. `failed` is set on a fault or a stop (errno
    // ECANCELED).
    int64_t feed(int fd, int64_t offset, int64_t length, bool& failed);
    // Takes bytes a source made itself. False on a fault or a stop.
    bool push(const char* data, std::size_t size) { return pass(0, data, size); }
    // Ends the stream: what every transform held back goes through the rest.
    bool finish();

private:
    bool pass(std::size_t stage, const char* data, std::size_t size);

    Transforms transforms_;
    Sink sink_;
    RunContext& run_;
    std::vector<std::vector<char>> buffers_; // one per transform, reused
};

// The head of a split's chain: where a source puts each of its parts. With
// transforms, everything goes through them to the cutter; with none, a file
// goes to the cutter as an open file (copied in the kernel, or staged when
// it is small) and bytes are written as they are.
class SplitIntake {
public:
    SplitIntake(const Transforms& transforms, PieceCutter& cutter, RunContext& run);
    // Takes the open file `fd` from its start to its end; `where` hears
    // where its bytes landed (in the transformed stream, with transforms).
    // Returns the bytes read; `failed` as for PieceCutter::takeRange.
    // `sizeHint` as there: a file known to be small may be staged.
    int64_t takeFile(int fd, const SegmentSink& where, bool& failed, int64_t sizeHint = -1);
    // Takes bytes the source made itself. False on a fault or a stop.
    bool takeBytes(const char* data, std::size_t size, const SegmentSink& where);
    // Ends the stream: what the transforms held back goes to the cutter,
    // landing where the last part's bytes did (its `where` must still live).
    bool finish();
    // The last transform's deferred start (Transform::deferredStart).
    bool deferredStart(std::string& bytes);
    // The cutter took all the pieces hold: nothing more fits.
    bool full() const { return cutter_.full(); }
    // The piece being written, and its bytes so far.
    int32_t piece() const { return cutter_.piece(); }
    int64_t filled() const { return cutter_.filled(); }

private:
    Transforms transforms_;
    PieceCutter& cutter_;
    std::unique_ptr<TransformChain> chain_; // with transforms only
    const SegmentSink* where_ = nullptr;    // the last part's
};
