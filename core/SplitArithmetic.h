#pragma once
// The arithmetic and texts behind both front ends, free of any toolkit: the
// proposed cut, the size and count conversions, the size texts of the tables,
// the percentage of a run, and the path helpers the tables use.

#include "engine/base/run_context.h"

#include <cstdint>
#include <string>

inline constexpr int64_t kKilobyte = 1024;
inline constexpr int64_t kMegabyte = 1048576;
inline constexpr int64_t kGigabyte = 1073741824;

// ceil(a / b) for b > 0, as the cut computations use it.
int64_t ceilDivide(int64_t a, int64_t b);

// The proposed piece size for a source of `sourceSize` bytes: the number to
// show and how many times it was divided by 1024 (0 and 1 mean "KB", 2 "MB",
// 3 "GB"; 4 or more leaves the unit as it is).
struct ProposedSize {
    int64_t value;
    int divisions;
};
ProposedSize proposePieceSize(int64_t sourceSize);

// The proposed cut in bytes: the proposed number in its unit.
int64_t proposedPieceBytes(int64_t sourceSize);

// The count rule shared by the window and the command line: pieces of
// ceil(total / n) bytes, so a split makes exactly n pieces whenever
// total >= n(n-1); otherwise `count` says how many it will make. A total of 0
// or less gives one piece of 1 byte; n below 1 counts as 1.
struct CountPlan {
    int64_t pieceSize;
    int64_t count;
};
CountPlan planForCount(int64_t total, int64_t n);

// The unit menu's titles in item order: "KB", "MB", "GB", then "bytes", which
// shows any size exactly.
inline constexpr const char* kSizeUnitTitles[] = {"KB", "MB", "GB", "bytes"};
inline constexpr int kBytesUnitIndex = 3;

// Bytes of one unit by its title ("KB", "MB", "GB", "bytes"), 0 for any other title.
int64_t unitBytes(const std::string& title);

// The largest number of `unit`s whose byte count still fits 64 bits.
int64_t largestSizeInUnits(int64_t unit);

// The count actually used for `typed` pieces of a source of `sourceSize`
// bytes: never pieces below 1 KB (a negative count, or one too large, becomes
// ceil(size / 1024)); a zero count, or a source of 0 bytes or less, gives 1.
int64_t usableCount(int64_t typed, int64_t sourceSize);

// A byte size in the largest unit that fits: the number and the unit's index
// (0 "KB", 1 "MB", 2 "GB"); below 1 KB it is 1 KB.
struct SizeInUnits {
    int64_t value;
    int unitIndex;
};
SizeInUnits sizeInLargestUnit(int64_t bytes);

// `bytes` exactly: in the largest unit that divides it, else in bytes
// (unitIndex kBytesUnitIndex).
SizeInUnits sizeInExactUnit(int64_t bytes);

// "Rebuilt movie_3.spt." from the engine's "rebuilt movie_3.spt".
std::string sentenceOf(std::string phrase);

// "1,204": a count with thousands separators.
std::string groupedCount(int64_t count);
// Every size either front end shows people: below 1 KB the byte count ("1
// byte", "1,023 bytes"); from there KB, MB or GB (powers of 1024) with three
// significant digits, rounded to nearest ("1.00 KB", "2.86 MB", "17.2 MB",
// "4.38 GB"), and a size that rounds up to 1024 of a unit shown in the next
// one; whole numbers from 1,000 on ("1,023 KB", "9,313 GB"). A negative size,
// one that is not known, is kUnknownSize.
inline constexpr const char* kUnknownSize = "\u2014";
std::string roundedSize(int64_t bytes);

// A limit, where the rounding could hide a byte: "4.00 GB (4,294,967,295
// bytes)"; below 1 KB the byte count alone.
std::string sizeWithBytes(int64_t bytes);

// "420 MB of 1.0 GB, 210 MB/s, 0:08 left": what a run has done after
// `seconds`; the rate and the time left once they can be told.
std::string progressText(int64_t done, int64_t total, double seconds);

// What both front ends show while a run waits for its data to reach the disk.
inline constexpr const char* kWritingToDisk = "Writing to disk\u2026";
inline constexpr const char* kFinishingChecksums = "Finishing the checksums\u2026";
// What a run's last steps show instead of a frozen 100%: "" while it copies.
const char* phaseText(RunPhase phase);

// done × 100 / total, truncated; 0 while the total is not known (0 or less).
int64_t progressPercent(int64_t done, int64_t total);

// The path's last component, trailing '/' ignored ("/a/b/" gives "b", "/" gives "/").
std::string lastPathComponent(const std::string& path);
// The path without its last component ("/a/b" gives "/a", "/a" gives "/", "a" gives "").
std::string stringByDeletingLastPathComponent(const std::string& path);
// `path` + "/" + `component`, without doubling a '/'.
std::string stringByAppendingPathComponent(const std::string& path, const std::string& component);
