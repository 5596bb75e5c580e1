#include "engine/runs/numbered_parts.h"

#include "engine/base/digest.h"
#include "engine/base/file_io.h"
#include "engine/base/utilities.h"
#include "engine/base/vector_state.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest.h"
#include "engine/fs/run_folder.h"
#include "engine/fs/shared_blocks.h"
#include "engine/fs/target_writer.h"

#include <isa-l/crc.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kDigits = "0123456789";
constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz";
// Beyond these a suffix is not read as a number (and its values stay far
// inside 64 bits); a widening series never gets this long in practice.
constexpr int kMaxDecimalWidth = 12;
constexpr int kMaxLetterWidth = 8;
constexpr int kMaxWidenings = 8;

std::string_view alphabetOf(PartNaming::Kind kind) {
    return kind == PartNaming::Kind::Decimal ? kDigits : kLetters;
}

// base^exponent, or nullopt past 2^63.
std::optional<uint64_t> power(uint64_t base, int exponent) {
    uint64_t value = 1;
    for (int i = 0; i < exponent; ++i)
        if (__builtin_mul_overflow(value, base, &value) || value > (uint64_t{1} << 62))
            return std::nullopt;
    return value;
}

// The value of `digits` in the alphabet, when every character is in it.
std::optional<uint64_t> valueOf(std::string_view digits, std::string_view alphabet) {
    uint64_t value = 0;
    for (char c : digits) {
        const std::size_t at = alphabet.find(c);
        if (at == std::string_view::npos) return std::nullopt;
        value = value * alphabet.size() + at;
    }
    return value;
}

std::string digitsOf(uint64_t value, int width, std::string_view alphabet) {
    std::string text(static_cast<std::size_t>(width), alphabet[0]);
    for (int i = width - 1; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = alphabet[value % alphabet.size()];
        value /= alphabet.size();
    }
    return text;
}

// How many names the widening stage `stage` holds: those whose first
// suffix character is not the alphabet's last.
std::optional<uint64_t> stageSize(const PartNaming& naming, int stage) {
    const uint64_t base = alphabetOf(naming.kind).size();
    const std::optional<uint64_t> rest = power(base, naming.width + stage - 1);
    if (!rest) return std::nullopt;
    return (base - 1) * *rest;
}

} // namespace

std::optional<uint64_t> PartNaming::ordinalOf(std::string_view name) const {
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    std::string_view suffix = name.substr(prefix.size());
    const std::string_view alphabet = alphabetOf(kind);
    if (!widening) {
        // A decimal number outgrows its width as the tools that write them
        // do: ".999" is followed by ".1000", never by ".0000".
        const bool wider =
            kind == Kind::Decimal && suffix.size() > static_cast<std::size_t>(width) &&
            suffix.size() <= static_cast<std::size_t>(kMaxDecimalWidth) && suffix.front() != '0';
        if (suffix.size() != static_cast<std::size_t>(width) && !wider) return std::nullopt;
        const std::optional<uint64_t> value = valueOf(suffix, alphabet);
        if (!value || *value < start) return std::nullopt;
        return *value - start;
    }
    // Each widening moved one last character into the prefix.
    const char last = alphabet.back();
    int stage = 0;
    while (!suffix.empty() && suffix.front() == last) {
        suffix.remove_prefix(1);
        ++stage;
    }
    if (stage > kMaxWidenings || suffix.size() != static_cast<std::size_t>(width + stage))
        return std::nullopt;
    const std::optional<uint64_t> value = valueOf(suffix, alphabet);
    if (!value) return std::nullopt;
    uint64_t before = 0;
    for (int s = 0; s < stage; ++s) {
        const std::optional<uint64_t> size = stageSize(*this, s);
        if (!size) return std::nullopt;
        before += *size;
    }
    return before + *value;
}

std::string PartNaming::nameAt(uint64_t ordinal) const {
    const std::string_view alphabet = alphabetOf(kind);
    if (!widening && kind == Kind::Decimal) {
        if (ordinal > (uint64_t{1} << 62)) return {};
        std::string digits = std::to_string(ordinal + start);
        if (digits.size() > static_cast<std::size_t>(kMaxDecimalWidth)) return {};
        if (digits.size() < static_cast<std::size_t>(width))
            digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
        return prefix + digits;
    }
    if (!widening) {
        const std::optional<uint64_t> count = power(alphabet.size(), width);
        if (!count || ordinal >= *count - std::min(start, *count)) return {};
        return prefix + digitsOf(ordinal + start, width, alphabet);
    }
    for (int stage = 0; stage <= kMaxWidenings; ++stage) {
        const std::optional<uint64_t> size = stageSize(*this, stage);
        if (!size) return {};
        if (ordinal < *size)
            return prefix + std::string(static_cast<std::size_t>(stage), alphabet.back()) +
                   digitsOf(ordinal, width + stage, alphabet);
        ordinal -= *size;
    }
    return {};
}

bool PartNaming::numberedAlike(std::string_view name) const {
    if (kind != Kind::Decimal || name.size() <= prefix.size() ||
        name.substr(0, prefix.size()) != prefix)
        return false;
    const std::string_view suffix = name.substr(prefix.size());
    return suffix.size() <= static_cast<std::size_t>(kMaxDecimalWidth) &&
           suffix.find_first_not_of(kDigits) == std::string_view::npos;
}

std::string PartNaming::outputName() const {
    if (prefix.size() < 2 || prefix.back() != '.') return {};
    return prefix.substr(0, prefix.size() - 1);
}

std::vector<PartNaming> partNamingsOf(std::string_view name) {
    std::vector<PartNaming> readings;
    for (const PartNaming::Kind kind : {PartNaming::Kind::Decimal, PartNaming::Kind::Alphabetic}) {
        const std::string_view alphabet = alphabetOf(kind);
        const int most = kind == PartNaming::Kind::Decimal ? kMaxDecimalWidth : kMaxLetterWidth;
        std::size_t run = 0;
        while (run < name.size() &&
               alphabet.find(name[name.size() - 1 - run]) != std::string_view::npos)
            ++run;
        for (int width = 1; width <= std::min<int>(static_cast<int>(run), most); ++width) {
            const std::size_t cut = name.size() - static_cast<std::size_t>(width);
            if (cut == 0) break; // a prefix is needed
            for (const uint64_t start : {uint64_t{0}, uint64_t{1}}) {
                if (kind == PartNaming::Kind::Alphabetic && start != 0) continue;
                for (const bool widening : {false, true}) {
                    // coreutils widens only its default width, counted from 0.
                    if (widening && (width != 2 || start != 0)) continue;
                    PartNaming naming{std::string(name.substr(0, cut)), width, kind, widening,
                                      start};
                    if (naming.ordinalOf(name)) readings.push_back(std::move(naming));
                }
            }
        }
    }
    return readings;
}

bool mayBeFirstPart(std::string_view name) {
    const std::vector<PartNaming> readings = partNamingsOf(name);
    return std::any_of(readings.begin(), readings.end(),
                       [&](const PartNaming& reading) { return reading.ordinalOf(name) == 0; });
}

std::string PartsListing::missing() const {
    for (const ListedPart& part : parts)
        if (part.size < 0) return part.name;
    return {};
}

int64_t PartsListing::totalSize() const {
    int64_t total = 0;
    for (const ListedPart& part : parts)
        total += std::max<int64_t>(part.size, 0);
    return total;
}

namespace {

// The longest line a checksum file of parts needs: a digest, the marker and
// a name of up to 255 bytes, every byte escaped.
constexpr std::size_t kSumLineBound = 64 + 4 + 2 * 255 + 2;
// Lines a checksum file may hold beyond one a part: a few other files listed
// beside them, parts past the last one found.
constexpr std::size_t kOtherSumLines = 64;

// A part known by its name only, until it is found.
ListedPart partNamed(std::string name) {
    ListedPart part;
    part.name = std::move(name);
    return part;
}

std::string lowerHex(std::string_view text) {
    std::string hex(text);
    for (char& c : hex)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return hex;
}

bool isHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

// One line of sha256sum's or md5sum's output: "[\]HEX  NAME" or "[\]HEX *NAME".
bool parseSumLine(std::string_view line, std::size_t hexSize, std::string& hex, std::string& name) {
    const bool escaped = !line.empty() && line[0] == '\\';
    if (escaped) line.remove_prefix(1);
    if (line.size() < hexSize + 3 || line[hexSize] != ' ' ||
        (line[hexSize + 1] != ' ' && line[hexSize + 1] != '*') || !isHex(line.substr(0, hexSize)))
        return false;
    hex = lowerHex(line.substr(0, hexSize));
    return checksumLineName(line.substr(hexSize + 2), escaped, name);
}

// One line of an SFV file: "NAME CRC32", the name possibly holding spaces.
bool parseSfvLine(std::string_view line, std::string& hex, std::string& name) {
    const std::size_t space = line.find_last_of(" \t");
    if (space == std::string_view::npos || line.size() - space - 1 != 8) return false;
    const std::string_view crc = line.substr(space + 1);
    if (!isHex(crc)) return false;
    std::string_view left = line.substr(0, space);
    while (!left.empty() && (left.back() == ' ' || left.back() == '\t'))
        left.remove_suffix(1);
    if (left.empty()) return false;
    hex = lowerHex(crc);
    name.assign(left);
    return true;
}

struct SumCandidate {
    std::string file;
    PartSum sum;
};

std::vector<SumCandidate> sumCandidates(const PartNaming& naming) {
    std::string stem = naming.prefix;
    if (stem.size() > 1 && stem.back() == '.') stem.pop_back();
    return {{stem + ".sha256", PartSum::Sha256},
            {stem + ".md5", PartSum::Md5},
            {stem + ".sfv", PartSum::Crc32},
            {"SHA256SUMS", PartSum::Sha256},
            {"MD5SUMS", PartSum::Md5}};
}

// Reads the checksum file of the parts into `listing`: the first candidate
// that names any part of the series. Parts it lists past the last one found
// are added as missing.
void readPartSums(int folderFd, PartsListing& listing, std::size_t partCount) {
    const std::size_t bound = (partCount + kOtherSumLines) * kSumLineBound;
    for (const SumCandidate& candidate : sumCandidates(listing.naming)) {
        const EntryKind kind = entryAt(folderFd, candidate.file.c_str());
        if (kind == EntryKind::Missing) continue;
        const std::string shown = listing.folder + "/" + candidate.file;
        if (kind == EntryKind::Link) {
            listing.sumsProblem = shown + " is a symbolic link";
            return;
        }
        const std::optional<std::string> text =
            readSmallFileAt(folderFd, candidate.file.c_str(), bound);
        if (!text) {
            listing.sumsProblem = errno == EFBIG ? shown + " is larger than a list of " +
                                                       std::to_string(partCount) + " parts can be"
                                                 : errnoReason("read", shown, errno);
            return;
        }
        std::map<uint64_t, std::string> listed;
        std::string problem;
        std::size_t lineNumber = 0;
        for (std::size_t start = 0; start < text->size() && problem.empty();) {
            std::size_t end = text->find('\n', start);
            if (end == std::string::npos) end = text->size();
            std::string_view line = std::string_view(*text).substr(start, end - start);
            start = end + 1;
            ++lineNumber;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (line.empty() || (candidate.sum == PartSum::Crc32 && line.front() == ';')) continue;
            std::string hex, name;
            const bool parsed =
                candidate.sum == PartSum::Crc32
                    ? parseSfvLine(line, hex, name)
                    : parseSumLine(line, candidate.sum == PartSum::Md5 ? 32 : 64, hex, name);
            if (!parsed) {
                problem =
                    shown + ": line " + std::to_string(lineNumber) + " is not a checksum line";
                break;
            }
            if (name.rfind("./", 0) == 0) name.erase(0, 2);
            const std::optional<uint64_t> ordinal = listing.naming.ordinalOf(name);
            if (!ordinal && listing.naming.numberedAlike(name)) {
                // A part the series does not take ("m.000" or "m.0004" beside
                // "m.001"): joined without it, the file would be cut short.
                problem = shown + " lists " + name +
                          ", numbered as the parts are but not one of the series";
                break;
            }
            if (!ordinal) continue; // another file listed beside the parts
            if (*ordinal >= partCount + kOtherSumLines) {
                problem = shown + " lists " + name + ", far past the parts there are";
                break;
            }
            const auto [at, added] = listed.emplace(*ordinal, hex);
            if (!added && at->second != hex)
                problem = shown + " gives " + name + " two different checksums";
        }
        if (problem.empty() && listed.empty()) continue; // not the parts' file
        listing.sumsFile = candidate.file;
        listing.sum = candidate.sum;
        if (!problem.empty()) {
            listing.sumsProblem = problem;
            return;
        }
        // Parts it lists past the last one found are missing ones.
        while (listing.parts.size() <= listed.rbegin()->first)
            listing.parts.push_back(partNamed(listing.naming.nameAt(listing.parts.size())));
        for (ListedPart& part : listing.parts) {
            const auto found = listed.find(static_cast<uint64_t>(&part - listing.parts.data()));
            if (found != listed.end()) {
                part.expected = found->second;
            } else if (part.size >= 0) {
                listing.sumsProblem = shown + " does not list " + part.name;
                return;
            }
        }
        return;
    }
}

// The reading of the first part's name that the folder bears out: the one
// that most entries are parts of; then the one in which the part given is
// the first, or whose first is there, a prefix ending in '.', coreutils' own
// default, the widest.
const PartNaming* bestReading(const std::vector<PartNaming>& readings, std::string_view given,
                              const std::vector<std::string>& names) {
    const PartNaming* best = nullptr;
    std::array<int64_t, 6> bestRank{};
    for (const PartNaming& reading : readings) {
        int64_t members = 0;
        bool firstThere = false;
        for (const std::string& name : names) {
            const std::optional<uint64_t> ordinal = reading.ordinalOf(name);
            members += ordinal ? 1 : 0;
            firstThere = firstThere || ordinal == 0;
        }
        const std::array<int64_t, 6> rank{members,
                                          reading.ordinalOf(given) == 0 ? 1 : 0,
                                          firstThere ? 1 : 0,
                                          reading.prefix.back() == '.' ? 1 : 0,
                                          reading.widening ? 1 : 0,
                                          reading.width};
        if (!best || rank > bestRank) {
            best = &reading;
            bestRank = rank;
        }
    }
    return best;
}

} // namespace

Result<PartsListing> listNumberedParts(const std::string& firstPart, RunContext& run) {
    const std::string given = lastComponentOf(firstPart);
    PartsListing listing;
    listing.folder = parentFolderOf(firstPart);
    const std::vector<PartNaming> readings = partNamingsOf(given);
    if (readings.empty())
        return run.refuse(firstPart + " is not a numbered part (such as name.001, xaa or x00)",
                          EngineFailure::NotASet),
               run.failure();
    const FileDescriptor folder = openFolderPath(listing.folder);
    if (!folder) return run.failErrno("open the folder of", firstPart, errno), run.failure();
    if (entryAt(folder.get(), kManifestFileName) != EntryKind::Missing)
        return run.refuse(listing.folder + " holds a piece set: join the folder, not " + given),
               run.failure();
    const std::vector<std::string> names = namesIn(folder.get());
    const PartNaming* reading = bestReading(readings, given, names);
    listing.naming = *reading;
    if (reading->ordinalOf(given) != 0) {
        // A name that only looks numbered ("notes.txt") has no first part beside it.
        const std::string first = reading->nameAt(0);
        if (std::find(names.begin(), names.end(), first) == names.end())
            return run.refuse(firstPart + " is not a numbered part (such as name.001, xaa or x00)",
                              EngineFailure::NotASet),
                   run.failure();
        return run.refuse(given + " is not the first part: the series begins with " + first,
                          EngineFailure::NotASet),
               run.failure();
    }
    std::map<uint64_t, std::string> found;
    for (const std::string& name : names)
        if (const std::optional<uint64_t> ordinal = reading->ordinalOf(name))
            found.emplace(*ordinal, name);
    if (found.size() < 2)
        return run.refuse(given + " is the only part there: a series needs at least two",
                          EngineFailure::NotASet),
               run.failure();
    for (const auto& [ordinal, name] : found) {
        ListedPart part = partNamed(name);
        const EntryKind kind = entryAt(folder.get(), name.c_str(), &part.identity);
        const std::string shown = listing.folder + "/" + name;
        if (kind == EntryKind::Link)
            return run.refuse("part " + shown + " is a symbolic link", EngineFailure::UnsafeName),
                   run.failure();
        if (kind != EntryKind::Regular)
            return run.refuse("part " + shown + " is not a regular file"), run.failure();
        part.size = part.identity.size;
        // A gap is listed as the parts missing there.
        while (listing.parts.size() < ordinal)
            listing.parts.push_back(partNamed(reading->nameAt(listing.parts.size())));
        listing.parts.push_back(std::move(part));
    }
    readPartSums(folder.get(), listing, listing.parts.size());
    return listing;
}

// The digest of a whole part, read in steps of `step` bytes through
// `buffer`: lower-case hex, "" when it cannot be read or `stop` says so.
std::string partDigestOf(int fd, PartSum sum, char* buffer, std::size_t step,
                         const std::function<bool()>& stop) {
    Sha256Digest sha256;
    Md5Digest md5;
    uint32_t crc = 0;
    for (int64_t offset = 0;;) {
        if (stop && stop()) return {};
        const int64_t got = readAt(fd, buffer, step, offset);
        if (got < 0) return {};
        if (got == 0) break;
        const auto size = static_cast<std::size_t>(got);
        if (sum == PartSum::Sha256 && !sha256.update(buffer, size)) return {};
        if (sum == PartSum::Md5 && !md5.update(buffer, size)) return {};
        if (sum == PartSum::Crc32) {
            crc = crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(buffer), size);
            clearUpperVectorHalves();
        }
        offset += got;
    }
    if (sum == PartSum::Sha256) return sha256.finishHex();
    if (sum == PartSum::Md5) return md5.finishHex();
    char hex[9] = {};
    std::snprintf(hex, sizeof hex, "%08x", crc);
    return hex;
}

namespace {

// Hashes the parts handed to it, in order, on its own thread, while the
// copy goes on; at most a few wait open.
class PartsHasher {
public:
    PartsHasher(PartSum sum, RunContext& run) : sum_(sum), run_(run), worker_([this] { work(); }) {}
    ~PartsHasher() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
            abandoned_ = abandoned_ || !finished_;
        }
        changed_.notify_all();
        worker_.join();
    }
    PartsHasher(const PartsHasher&) = delete;
    PartsHasher& operator=(const PartsHasher&) = delete;

    void add(FileDescriptor part) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return queue_.size() < kQueued || abandoned_; });
        queue_.push_back(std::move(part));
        changed_.notify_all();
    }
    // The digests of every part added, in order ("" for one that could not be read).
    std::vector<std::string> finish() {
        std::unique_lock lock(mutex_);
        closing_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return finished_; });
        return digests_;
    }

private:
    static constexpr std::size_t kQueued = 4;
    static constexpr std::size_t kStep = std::size_t{1} << 20;

    bool abandoned() {
        std::lock_guard lock(mutex_);
        return abandoned_;
    }
    void work() {
        std::unique_ptr<char[]> buffer;
        try {
            buffer.reset(new char[kStep]);
        } catch (...) {
        }
        for (;;) {
            FileDescriptor part;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return !queue_.empty() || closing_; });
                if (queue_.empty()) break;
                part = std::move(queue_.front());
                queue_.pop_front();
                changed_.notify_all();
            }
            std::string digest;
            if (buffer)
                digest = partDigestOf(part.get(), sum_, buffer.get(), kStep,
                                      [&] { return run_.stopRequested() || abandoned(); });
            std::lock_guard lock(mutex_);
            digests_.push_back(std::move(digest));
        }
        std::lock_guard lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }

    PartSum sum_;
    RunContext& run_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<FileDescriptor> queue_;
    std::vector<std::string> digests_;
    bool closing_ = false;
    bool abandoned_ = false;
    bool finished_ = false;
    std::thread worker_;
};

const char* sumFileKind(PartSum sum) {
    return sum == PartSum::Crc32 ? "CRC32" : sum == PartSum::Md5 ? "MD5" : "SHA-256";
}

} // namespace

namespace {

// A checksum of the whole joined file, from a file beside the parts that
// lists it by its name (a download's "movie.mkv.sha256"), as checksum files
// are looked for beside parts: "<name>.sha256", "<name>.md5", "SHA256SUMS",
// "MD5SUMS". The first that lists the name is used.
struct WholeFileSum {
    std::string file; // "" when none lists the name
    bool md5 = false;
    std::string hex;
};

WholeFileSum wholeFileSumFor(int folderFd, const std::string& name) {
    const struct {
        std::string file;
        bool md5;
    } candidates[] = {
        {name + ".sha256", false}, {name + ".md5", true}, {"SHA256SUMS", false}, {"MD5SUMS", true}};
    for (const auto& candidate : candidates) {
        if (entryAt(folderFd, candidate.file.c_str()) != EntryKind::Regular) continue;
        // A list of checksums of a few files; far larger is no such list.
        const std::optional<std::string> text =
            readSmallFileAt(folderFd, candidate.file.c_str(), std::size_t{1} << 20);
        if (!text) continue;
        for (std::size_t start = 0; start < text->size();) {
            std::size_t end = text->find('\n', start);
            if (end == std::string::npos) end = text->size();
            std::string_view line = std::string_view(*text).substr(start, end - start);
            start = end + 1;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            std::string hex, listed;
            if (!parseSumLine(line, candidate.md5 ? 32 : 64, hex, listed)) continue;
            if (listed.rfind("./", 0) == 0) listed.erase(0, 2);
            if (listed == name) return {candidate.file, candidate.md5, hex};
        }
    }
    return {};
}

// The digest of what `fd` holds, read from its start; "" when it cannot be read.
std::string wholeFileDigest(int fd, bool md5, RunContext& run) {
    Md5Digest md5Digest;
    Sha256Digest shaDigest;
    EvpDigest& digest = md5 ? static_cast<EvpDigest&>(md5Digest) : shaDigest;
    std::vector<char> buffer(std::size_t{1} << 20);
    for (off_t at = 0;;) {
        if (run.stopIfRequested()) return {};
        const ssize_t got = pread(fd, buffer.data(), buffer.size(), at);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return {};
        if (got == 0) break;
        if (!digest.update(buffer.data(), static_cast<std::size_t>(got))) return {};
        at += got;
    }
    return md5 ? md5Digest.finishHex() : shaDigest.finishHex();
}

} // namespace

Result<void> verifyNumberedParts(const PartsListing& listing, std::vector<PieceCheck>& out,
                                 RunContext& run) {
    if (!listing.sumsProblem.empty())
        return run.fail("the checksum file beside the parts cannot be used: " + listing.sumsProblem,
                        EngineFailure::ChecksumsDamaged),
               run.failure();
    if (listing.sumsFile.empty())
        return run.fail("no checksum file beside the parts lists them", EngineFailure::NoChecksums),
               run.failure();
    const FileDescriptor folder = openFolderPath(listing.folder);
    if (!folder) return run.failErrno("open", listing.folder, errno), run.failure();
    run.setTotalBytes(listing.totalSize());
    std::vector<std::size_t> read; // the parts handed to the hasher, by their place
    std::vector<std::string> digests;
    {
        PartsHasher hasher(listing.sum, run);
        for (std::size_t i = 0; i < listing.parts.size(); ++i) {
            if (run.stopIfRequested()) return run.failure();
            const ListedPart& part = listing.parts[i];
            FileDescriptor fd = part.size < 0 ? FileDescriptor()
                                              : openFileAt(folder.get(), part.name.c_str(), false);
            if (!fd) continue;
            read.push_back(i);
            hasher.add(std::move(fd));
            run.addDoneBytes(part.size);
        }
        digests = hasher.finish();
    }
    if (run.stopIfRequested()) return run.failure();
    std::size_t bad = 0;
    bool anyMissing = false;
    for (std::size_t i = 0, at = 0; i < listing.parts.size(); ++i) {
        const ListedPart& part = listing.parts[i];
        PieceCheck check{static_cast<int32_t>(i), listing.folder + "/" + part.name, false, true,
                         "is missing or cannot be read"};
        if (at < read.size() && read[at] == i) {
            const std::string& digest = digests[at++];
            check.missing = digest.empty();
            check.good = !digest.empty() && digest == part.expected;
            check.problem = check.good ? std::string()
                            : check.missing
                                ? check.problem
                                : std::string("does not match its checksum in ") + listing.sumsFile;
        }
        bad += check.good ? 0 : 1;
        anyMissing = anyMissing || check.missing;
        out.push_back(std::move(check));
    }
    if (bad == 0) return {};
    return run.fail(std::to_string(bad) + (bad == 1 ? " part is" : " parts are") +
                        " missing or unlike " + listing.sumsFile,
                    anyMissing ? EngineFailure::PieceMissing : EngineFailure::PieceDamaged),
           run.failure();
}

Result<JoinOutcome> joinNumberedParts(const std::string& firstPart, const std::string& outputFolder,
                                      const PartsJoinOptions& options, RunContext& run) {
    run.clearFailure();
    return runGuarded<Result<JoinOutcome>>(run, "the join", [&]() -> Result<JoinOutcome> {
        run.startProgress();
        Result<PartsListing> listed = listNumberedParts(firstPart, run);
        if (!listed) return listed.failure();
        const PartsListing& listing = listed.value();
        if (const std::string missing = listing.missing(); !missing.empty())
            return run.refuse("part " + listing.folder + "/" + missing + " is missing",
                              EngineFailure::PieceMissing),
                   run.failure();
        bool checked = !listing.sumsFile.empty();
        if (!listing.sumsProblem.empty()) {
            if (!options.ignoreChecksums)
                return run.fail("the checksum file of the parts cannot be used: " +
                                    listing.sumsProblem,
                                EngineFailure::ChecksumsDamaged),
                       run.failure();
            run.note("the checksum file was set aside (" + listing.sumsProblem +
                     "): the parts were joined unchecked");
            checked = false;
        }
        if (!checked && options.requireChecksums)
            return run.fail("no checksum file lists the parts of " + firstPart,
                            EngineFailure::NoChecksums),
                   run.failure();
        const std::string name = options.name.empty() ? listing.naming.outputName() : options.name;
        if (name.empty())
            return run.refuse("the parts' prefix \"" + listing.naming.prefix +
                              "\" gives no name to the joined file: give it one (--name)"),
                   run.failure();
        if (!isSafeComponentName(name.c_str()))
            return run.refuse("cannot name the joined file \"" + name + "\"",
                              EngineFailure::UnsafeName),
                   run.failure();
        if (isReservedName(name))
            return run.refuse("cannot name the joined file \"" + name +
                                  "\": the name is kept for this program's own working files",
                              EngineFailure::UnsafeName),
                   run.failure();
        const std::string target = outputFolder + "/" + name;
        if (target.size() >= kPathBufferSize)
            return run.refuse("the path of " + target + " is too long", EngineFailure::TooLarge),
                   run.failure();

        const FileDescriptor folder = openFolderPath(listing.folder);
        if (!folder) return run.failErrno("open the folder of", firstPart, errno), run.failure();
        const FileDescriptor out = openFolderPath(outputFolder);
        if (!out)
            return run.failErrno("open the output folder", outputFolder, errno), run.failure();

        // What holds the target's name: nothing, or a file the join may
        // replace, but never one of the parts it reads.
        struct stat there {};
        if (fstatat(out.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(there.st_mode))
            for (const ListedPart& part : listing.parts)
                if (part.identity.device == static_cast<uint64_t>(there.st_dev) &&
                    part.identity.inode == static_cast<uint64_t>(there.st_ino))
                    return run.refuse("joining into " + target + " would write over part " +
                                      part.name),
                           run.failure();
        TargetSpot spot;
        if (!examineTarget(out.get(), name, target, options.replaceExisting, spot, run))
            return run.failure();
        const bool replacing = spot.replacing;
        const struct stat& existing = spot.existing;

        run.setTotalBytes(listing.totalSize());
        if (sweepWhenAlone(out.get(), run)) flock(out.get(), LOCK_UN);
        const mode_t umask = currentUmask();
        RunFolder work;
        if (!work.create(out.get()))
            return run.failErrno("create a folder in", outputFolder, errno), run.failure();
        TargetWriter writer(work, UnnamedFiles::Unavailable, umask, run);
        Target made = writer.open(out.get(), target, 0600, false);
        if (!made) return run.failure();

        std::optional<PartsHasher> hasher;
        if (checked) hasher.emplace(listing.sum, run);
        mode_t partsMode = 0666;
        bool sharingProbed = false; // with the first part
        BlockSharing sharing;
        int64_t shared = 0, written = 0;
        for (const ListedPart& part : listing.parts) {
            const std::string shown = listing.folder + "/" + part.name;
            FileDescriptor fd = openFileAt(folder.get(), part.name.c_str(), false);
            FileIdentity now;
            if (!fd) {
                const int error = errno;
                if (entryAt(folder.get(), part.name.c_str()) == EntryKind::Link)
                    return run.refuse("part " + shown + " is a symbolic link",
                                      EngineFailure::UnsafeName),
                           run.failure();
                return run.failErrno("read", shown, error), run.failure();
            }
            if (!identityOf(fd.get(), now) || !(now == part.identity))
                return run.fail("part " + shown + " changed since it was listed"), run.failure();
            struct stat st {};
            if (fstat(fd.get(), &st) == 0) partsMode &= st.st_mode | ~mode_t{0666};
            if (hasher) {
                FileDescriptor second(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
                if (!second) return run.failErrno("read", shown, errno), run.failure();
                hasher->add(std::move(second));
            }
            bool failed = false;
            if (!sharingProbed) {
                sharingProbed = true;
                sharing = probeBlockSharing(fd.get(), out.get());
            }
            const int64_t copied =
                copySharingBlocks(fd.get(), 0, part.size, made.fd(), sharing, &shared, failed, run);
            if (copied > 0) written += copied;
            if (failed && errno == ECANCELED) return run.failure();
            if (failed) return run.failErrno("write", target, errno), run.failure();
            if (copied != part.size) return run.failErrno("read", shown, EIO), run.failure();
        }
        if (hasher) {
            const std::vector<std::string> digests = hasher->finish();
            if (run.stopIfRequested()) return run.failure();
            for (std::size_t i = 0; i < listing.parts.size(); ++i) {
                const ListedPart& part = listing.parts[i];
                if (i < digests.size() && digests[i] == part.expected) continue;
                return run.fail("part " + listing.folder + "/" + part.name +
                                " does not match its " + sumFileKind(listing.sum) + " in " +
                                listing.sumsFile + "; nothing was written"),
                       run.failure();
            }
        }
        // A download's checksum of the whole file, beside the parts, checks
        // what they make before it takes its name.
        const WholeFileSum whole = wholeFileSumFor(folder.get(), name);
        if (!whole.file.empty()) {
            const std::string digest = wholeFileDigest(made.fd(), whole.md5, run);
            if (run.stopIfRequested()) return run.failure();
            if (digest.empty()) return run.failErrno("read", target, EIO), run.failure();
            if (digest != whole.hex)
                return run.fail("the joined " + name + " does not match its " +
                                    (whole.md5 ? "MD5" : "SHA-256") + " in " + listing.folder +
                                    "/" + whole.file + "; nothing was written",
                                EngineFailure::PieceDamaged),
                       run.failure();
            checked = true;
        }
        // A replacement keeps the owner and permissions of the file it
        // replaces; a new file is no less private than the parts.
        const mode_t mode = replacing ? (existing.st_mode & 0777) : ((0666 & ~umask) & partsMode);
        if (!writer.settle(made, spot, mode)) return run.failure();
        if (run.stopIfRequested()) return run.failure();
        if (!writer.place(made, out.get(), name, spot, TargetFlush::ThisFile)) return run.failure();
        fsync(out.get());
        DroppedBits dropped;
        if (replacing && (existing.st_mode & (S_ISUID | S_ISGID)) != 0) dropped.add(target);
        dropped.sayIn(run);
        JoinOutcome outcome;
        outcome.sharedBytes = shared;
        outcome.writtenBytes = written - shared;
        outcome.pieceFolder = listing.folder;
        outcome.outputFolder = outputFolder;
        outcome.target = target;
        outcome.fullCheck = checked;
        outcome.wholeFileSums = whole.file;
        (replacing ? outcome.filesReplaced : outcome.filesAdded) = 1;
        return outcome;
    });
}
