#pragma once
// Numbered parts made by other tools, joined into the file they were cut
// from: "movie.mkv.001", ".002", … (a decimal suffix zero-padded to a width,
// which a larger number outgrows: ".999", then ".1000"), and
// the names coreutils' `split` gives by default ("xaa", "xab", …) or with -d
// ("x00", "x01", …), with any prefix.
//
// coreutils widens its default two-character suffix instead of running out:
// once the first character would become the alphabet's last one, that
// character joins the prefix and the suffix grows by one ("xyz" is followed
// by "xzaaa", "x89" by "x9000"; then "xzyzz" by "xzzaaaa", "x9899" by
// "x990000"). A width of letters given with -a is fixed.

#include "engine/base/run_context.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/join.h"
#include "engine/runs/verify.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One way of reading a part's name: the prefix, then a suffix of `width`
// characters counted from `start`, widened as coreutils does when `widening`.
struct PartNaming {
    enum class Kind { Decimal, Alphabetic };
    std::string prefix;
    int width = 0;
    Kind kind = Kind::Decimal;
    bool widening = false;
    uint64_t start = 0; // the number of the first part: 0, or 1 ("name.001")

    // The part's position in the series (0: the first), when `name` is one.
    std::optional<uint64_t> ordinalOf(std::string_view name) const;
    // The name carries the prefix and a decimal number, as a part of a decimal
    // series does, whether or not it is one of this series.
    bool numberedAlike(std::string_view name) const;
    // The name of the part at `ordinal`; "" past the last a fixed width of
    // letters holds (a decimal number outgrows its width).
    std::string nameAt(uint64_t ordinal) const;
    // What the joined file is called: the prefix without its trailing '.';
    // "" for a bare prefix ("x"), which names nothing.
    std::string outputName() const;
    bool operator==(const PartNaming&) const = default;
};

// The readings of `name` as a numbered part, whichever number it has; none
// when it has no numbered suffix.
std::vector<PartNaming> partNamingsOf(std::string_view name);
// `name` may be the first of numbered parts: the lowest number of some
// reading ("xaa", "x00", "name.001").
bool mayBeFirstPart(std::string_view name);

// The checksum files that may list the parts, looked for in this order
// beside them (`<stem>` is the prefix without its trailing '.'):
// "<stem>.sha256", "<stem>.md5" (sha256sum and md5sum lines), "<stem>.sfv"
// ("name CRC32" lines, ';' comments), "SHA256SUMS", "MD5SUMS". The first that
// names any of the parts is theirs, and must name every one; a decimal name
// it lists that is numbered as the parts are but not one of the series
// ("m.000" beside "m.001") is a part the join would leave out, and refused.
enum class PartSum { Sha256, Md5, Crc32 };

// The digest `sum` of the whole file `fd`, read in steps of `step` bytes
// through `buffer`: lower-case hex ("%08x" for CRC32), "" when it cannot be
// read or `stop` returns true.
std::string partDigestOf(int fd, PartSum sum, char* buffer, std::size_t step,
                         const std::function<bool()>& stop = {});

struct ListedPart {
    std::string name;
    int64_t size = -1; // -1: missing (a gap, or listed by the checksum file past the last)
    FileIdentity identity;
    std::string expected; // lower-case hex from the checksum file; "" when none
};

struct PartsListing {
    std::string folder; // where the parts lie, as given
    PartNaming naming;
    std::vector<ListedPart> parts; // in number order, missing ones included
    std::string sumsFile;          // the checksum file that lists them; "" when none does
    PartSum sum = PartSum::Sha256;
    // Why a checksum file beside the parts cannot be used ("" when none is
    // wrong): it cannot be read, has a malformed line, leaves a part out, or
    // lists one the series does not take.
    std::string sumsProblem;
    // The first part missing; "" when none is.
    std::string missing() const;
    int64_t totalSize() const;
};

// Reads the series that `firstPart` (a path) begins. Fails when its name is
// not a numbered part, when it is not the first of its series (the lowest
// number of its width), when it is the only part, when its folder holds a
// piece set's manifest (a piece set is joined as a set), or when a part is a
// symbolic link or not a regular file. The checksum file is read within
// bounds set by the number of parts.
Result<PartsListing> listNumberedParts(const std::string& firstPart, RunContext& run);

struct PartsJoinOptions {
    // An existing file under the output name is replaced (keeping its owner
    // and permissions) instead of refusing.
    bool replaceExisting = false;
    // A checksum file that cannot be used is set aside instead of failing
    // the join (EngineFailure::ChecksumsDamaged); nothing is checked then.
    bool ignoreChecksums = false;
    // Parts without a checksum file fail the join (EngineFailure::NoChecksums).
    bool requireChecksums = false;
    // The joined file's name; "" for the one the prefix gives.
    std::string name;
};

// Joins the series `firstPart` begins into "<outputFolder>/<name>": the
// parts in number order, copied in the kernel into a temporary of the run
// in `outputFolder`, each hashed on a second thread against the checksum
// file when there is one, and renamed into place once every part matched.
// A missing part, a damaged one or a part that changed meanwhile fails it
// with nothing under the real name. Parts are read from their folder's
// descriptor, never through a link. Progress, stops and the failure go
// through `run`; without a checksum file the outcome's fullCheck is false.
Result<JoinOutcome> joinNumberedParts(const std::string& firstPart, const std::string& outputFolder,
                                      const PartsJoinOptions& options, RunContext& run);

// The full check of the parts `listing` holds, without joining them: each,
// in number order, against the checksum file that lists them, one entry per
// part appended to `out` (a missing part included, `missing` set). Fails
// NoChecksums when no checksum file lists them, ChecksumsDamaged when the one
// beside them cannot be used, PieceDamaged or PieceMissing when a part is
// bad, and Cancelled on a stop. A part that is a link is never read.
Result<void> verifyNumberedParts(const PartsListing& listing, std::vector<PieceCheck>& out,
                                 RunContext& run);
