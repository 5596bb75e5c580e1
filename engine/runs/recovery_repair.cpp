#include "engine/runs/recovery_code.h"

#include <fcntl.h>
#include <sys/stat.h>

using namespace recovering;

namespace recovering {

// The columns of group `g`, its recovery pieces' last.
std::vector<int32_t> groupColumns(const Header& h, int32_t group) {
    std::vector<int32_t> columns = h.shape.columnsOf(group);
    for (int j = 0; j < h.shape.perGroup; ++j)
        columns.push_back(h.recoveryColumn(group, j));
    return columns;
}

// The set's own files: each must be exactly what the header says, and
// SHA256SUMS end with the recovery pieces' lines.
void mapMembers(const Header& h, ColumnReader& reader, DamageMap& map) {
    for (int i = 0; i < kMembers; ++i) {
        const Member& member = h.members[i];
        if (member.length < 0) continue;
        Hash hash{};
        bool good = reader.memberSize(i) >= member.length &&
                    hashRange(reader.memberFd(i), member.length, hash) && hash == member.hash;
        int64_t lines = 0;
        if (good && i == kSumsMember) {
            good = forRecoveryLines(h, [&](const std::string& text, int64_t at) {
                std::string now(text.size(), '\0');
                lines = at + static_cast<int64_t>(text.size());
                return readSome(reader.memberFd(i), reinterpret_cast<unsigned char*>(now.data()),
                                static_cast<int64_t>(now.size()),
                                member.length + at) == static_cast<int64_t>(now.size()) &&
                       now == text;
            });
        }
        good = good && reader.memberSize(i) == member.length + lines;
        if (!good) map.memberRewrite[static_cast<std::size_t>(i)] = map.metaRewrite = true;
    }
}

// Reads every column against its stripe checksums, group by group and, in
// each group, a block of rows at a time.
// With `visibleOnly`, a piece of the right length is taken as whole without
// reading it (the repair still checks every stripe it reads), and only what
// is missing of a short one counts as bad.
bool mapDamage(int folderFd, const std::string& folderPath, const Header& h, DamageMap& map,
               RunContext& run, bool visibleOnly = false) {
    const RecoveryShape& s = h.shape;
    const auto all = static_cast<std::size_t>(h.allColumns());
    map.rewrite.assign(all, false);
    map.missing.assign(all, false);
    map.memberRewrite.assign(kMembers, false);
    ColumnReader reader(folderFd, h);
    std::vector<unsigned char> buffer(static_cast<std::size_t>(s.stripeSize));
    std::vector<int32_t> rowBad;
    for (int32_t g = 0; g < s.groups; ++g) {
        const std::vector<int32_t> columns = groupColumns(h, g);
        std::vector<int64_t> present(columns.size(), 0);
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const auto c = static_cast<std::size_t>(columns[i]);
            if (h.isMeta(columns[i])) continue;
            present[i] = reader.fileSize(columns[i]);
            if (present[i] != h.lengthOf(columns[i])) map.rewrite[c] = true;
            if (present[i] < 0) map.missing[c] = true;
        }
        StripeSums sums(h, columns);
        for (int64_t first = 0; first < s.stripes(); first += kBlockRows) {
            const int64_t rows = std::min(kBlockRows, s.stripes() - first);
            if (!sums.load(first, rows)) {
                run.failErrno("read", folderPath + "/" + h.name, errno);
                return false;
            }
            rowBad.assign(static_cast<std::size_t>(rows), 0);
            for (std::size_t i = 0; i < columns.size(); ++i) {
                const int32_t c = columns[i];
                const bool meta = h.isMeta(c);
                const bool sizeOnly = visibleOnly && !meta;
                if (sizeOnly && present[i] == h.lengthOf(c)) continue;
                for (int64_t r = first; r < first + rows; ++r) {
                    if (run.stopIfRequested()) return false;
                    const int64_t offset = r * s.stripeSize;
                    const int64_t own =
                        std::clamp<int64_t>(h.lengthOf(c) - offset, 0, s.stripeSize);
                    if (own == 0) break;
                    bool bad = offset + own > present[i];
                    if (!sizeOnly) {
                        bad = !reader.read(c, offset, own, buffer.data()) ||
                              crcOf(buffer.data(), own) != sums.at(i, r);
                        run.addDoneBytes(own);
                    }
                    if (!bad) continue;
                    ++rowBad[static_cast<std::size_t>(r - first)];
                    ++map.badStripes;
                    if (meta) map.metaBad = true;
                    if (!sizeOnly) map.rewrite[static_cast<std::size_t>(c)] = true;
                }
            }
            for (const int32_t count : rowBad)
                map.worstRow = std::max(map.worstRow, count);
        }
        if (!reader.faultName().empty()) {
            run.failErrno("open", folderPath + "/" + reader.faultName(), reader.faultErrno());
            return false;
        }
        for (const int32_t c : columns)
            if (!h.isMeta(c)) reader.release(c);
    }
    mapMembers(h, reader, map);
    // Every copy of the header: one lost or damaged is a copy fewer to fall
    // back on.
    for (int32_t i = 0; i < s.recoveryPieces(); ++i)
        if (!sameAsHeader(folderFd, recoveryHeaderName(h.stem, i), h)) ++map.badHeaders;
    return true;
}

void fillReport(const Header& h, const DamageMap& map, RecoveryReport& report) {
    const RecoveryShape& s = h.shape;
    report.hasRecovery = true;
    report.shape = s;
    report.badStripes = map.badStripes;
    for (int32_t c = 0; c < h.allColumns(); ++c) {
        const bool wrong = map.rewrite[static_cast<std::size_t>(c)];
        if (c < s.dataPieces && wrong) {
            report.badPieces.push_back(c);
            const bool missing = map.missing[static_cast<std::size_t>(c)];
            (missing ? report.missingPieces : report.damagedPieces)++;
        }
        if (c >= s.columns()) {
            (wrong ? report.badRecovery : report.recoveryPresent)++;
            if (wrong) report.badRecoveryPieces.push_back(c - s.columns());
        }
    }
    for (int i = 0; i < kMembers; ++i)
        if (map.memberRewrite[static_cast<std::size_t>(i)])
            report.badSetFiles.push_back(kMemberNames[i]);
    report.badHeaders = map.badHeaders;
    report.worstRow = map.worstRow;
    report.repairable = map.worstRow <= s.perGroup;
}

} // namespace recovering

std::string RecoveryReport::summary() const {
    if (!hasRecovery)
        return headerProblem.empty() ? "no recovery pieces"
                                     : "recovery pieces unusable: " + headerProblem;
    std::string text;
    const auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    const auto pieces = [](int32_t n) {
        return std::to_string(n) + (n == 1 ? " piece " : " pieces ");
    };
    if (missingPieces > 0) add(pieces(missingPieces) + "missing");
    if (damagedPieces > 0) add(pieces(damagedPieces) + "damaged");
    for (const std::string& name : badSetFiles)
        add(name + " damaged or missing");
    if (badRecovery > 0)
        add(std::to_string(badRecovery) + " recovery " + (badRecovery == 1 ? "piece" : "pieces") +
            " damaged or missing");
    if (badHeaders > 0)
        add(std::to_string(badHeaders) + " recovery " + (badHeaders == 1 ? "header" : "headers") +
            " damaged or missing");
    if (text.empty())
        text = "nothing missing or damaged";
    else if (badStripes >
             0) // over every piece: "1 piece missing, 1 piece damaged (31 bad stripes)"
        text += " (" + std::to_string(badStripes) +
                (badStripes == 1 ? " bad stripe)" : " bad stripes)");
    const int32_t total = shape.recoveryPieces();
    text += "; " + std::to_string(total) + " recovery " + (total == 1 ? "piece" : "pieces");
    if (intact()) return text;
    if (repairable) return text + ": repairable";
    return text + ": not repairable (" + std::to_string(worstRow) + " bad in one row, " +
           std::to_string(shape.perGroup) + " recovery" + (shape.groups > 1 ? " per group)" : ")");
}

RecoveryReport assessRecovery(int folderFd, const std::string& folderPath, const std::string& stem,
                              RunContext& run) {
    RecoveryReport report;
    Header h;
    bool any = false;
    const std::string why = findHeader(folderFd, stem, h, any);
    if (!why.empty()) {
        if (any) report.headerProblem = why;
        return report;
    }
    DamageMap map;
    if (!mapDamage(folderFd, folderPath, h, map, run)) {
        if (!run.stopRequested()) report.headerProblem = run.failure().reason;
        return report;
    }
    fillReport(h, map, report);
    return report;
}

namespace {

// A file the repair writes, under a temporary name until it checks.
struct Rebuilt {
    std::string name;      // its real name in the set
    std::string temporary; // in the repair's working folder
    FileDescriptor fd;
    int64_t length = 0;
};

class RepairJob {
public:
    RepairJob(int folderFd, const std::string& folderPath, int destFd, const std::string& destPath,
              const Header& h, const DamageMap& map, RunContext& run)
        : folderFd_(folderFd), folderPath_(folderPath), destFd_(destFd), destPath_(destPath), h_(h),
          map_(map), run_(run) {}

    bool run(RepairOutcome& outcome, bool inPlace) {
        const RecoveryShape& s = h_.shape;
        for (int32_t c = 0; c < h_.allColumns(); ++c) {
            if (h_.isMeta(c) || !map_.rewrite[static_cast<std::size_t>(c)]) continue;
            if (!begin(columns_[c], columnFileName(h_, c), h_.lengthOf(c))) return false;
        }
        const bool metaBad = map_.metaRewrite || map_.metaBad;
        if (metaBad && !begin(stream_, "the set's files", h_.metaBytes())) return false;
        if (!rebuildRows(metaBad)) return false;
        // The set's own files first: SHA256SUMS gives the pieces' hashes.
        if (!finishMembers(metaBad)) return false;
        for (auto& [c, file] : columns_) {
            const std::string expected =
                c < s.dataPieces ? pieceHashes_[c] : recoveryHashHex(h_, c - s.columns());
            if (expected.empty()) {
                run_.failErrno("read", folderPath_ + "/" + h_.name, errno);
                return false;
            }
            if (!check(file, expected)) return false;
        }
        // The headers: every copy the same.
        for (int32_t i = 0; i < s.recoveryPieces(); ++i) {
            const std::string name = recoveryHeaderName(h_.stem, i);
            if (sameAsHeader(folderFd_, name, h_)) continue;
            headers_.push_back({});
            Rebuilt& file = headers_.back();
            if (!begin(file, name, h_.size) || !copyHeader(h_, file.fd.get()) ||
                fsync(file.fd.get()) != 0) {
                if (!run_.failed()) run_.failErrno("write", destPath_ + "/" + name, errno);
                return false;
            }
        }
        if (run_.stopIfRequested()) return false;
        return putInPlace(outcome, inPlace);
    }

private:
    std::vector<Rebuilt*> all() {
        std::vector<Rebuilt*> out;
        for (auto& [c, file] : columns_)
            out.push_back(&file);
        for (Rebuilt& file : members_)
            out.push_back(&file);
        for (Rebuilt& file : headers_)
            out.push_back(&file);
        return out;
    }
    bool begin(Rebuilt& file, const std::string& name, int64_t length) {
        file.name = name;
        file.length = length;
        // The temporaries live in a marked working folder of the run in the
        // destination: what a killed repair left, the next run removes.
        if (work_.fd() < 0 && !work_.create(destFd_)) {
            run_.failErrno("create a folder in", destPath_, errno);
            return false;
        }
        file.fd = work_.createFile(file.temporary, 0600);
        if (!file.fd) {
            file.temporary.clear();
            run_.failErrno("create a file in", destPath_, errno);
            return false;
        }
        return true;
    }

    // Every row of every group that has a file to write: read, check,
    // rebuild what is bad, write what is wanted.
    bool rebuildRows(bool metaBad) {
        const RecoveryShape& s = h_.shape;
        ColumnReader reader(folderFd_, h_);
        for (int32_t g = 0; g < s.groups; ++g) {
            const std::vector<int32_t> columns = groupColumns(h_, g);
            const int k = static_cast<int>(columns.size()) - s.perGroup;
            const auto wanted = [&](int32_t c) {
                return h_.isMeta(c) ? metaBad : columns_.count(c) > 0;
            };
            if (std::none_of(columns.begin(), columns.end(), wanted)) continue;
            GroupCode code(k, s.perGroup);
            AlignedBuffers rows(columns.size(), s.stripeSize);
            StripeSums sums(h_, columns);
            for (int64_t r = 0; r < s.stripes(); ++r) {
                if (run_.stopIfRequested()) return false;
                if (r % kBlockRows == 0 && !sums.load(r, std::min(kBlockRows, s.stripes() - r))) {
                    run_.failErrno("read", folderPath_ + "/" + h_.name, errno);
                    return false;
                }
                const int64_t offset = r * s.stripeSize;
                const int64_t size = std::min<int64_t>(s.stripeSize, s.columnLength - offset);
                std::vector<int> lost;
                for (std::size_t i = 0; i < columns.size(); ++i) {
                    const int32_t c = columns[i];
                    const int64_t own = std::clamp<int64_t>(h_.lengthOf(c) - offset, 0, size);
                    const bool whole = reader.read(c, offset, size, rows.rows[i]);
                    if (own > 0 && (!whole || crcOf(rows.rows[i], own) != sums.at(i, r)))
                        lost.push_back(static_cast<int>(i));
                }
                if (!reader.faultName().empty()) {
                    run_.failErrno("open", folderPath_ + "/" + reader.faultName(),
                                   reader.faultErrno());
                    return false;
                }
                if (static_cast<int>(lost.size()) > s.perGroup) {
                    run_.fail("the set in " + folderPath_ +
                                  " is not repairable: " + std::to_string(lost.size()) +
                                  " bad stripes in one row, " + std::to_string(s.perGroup) +
                                  " recovery " + (s.perGroup == 1 ? "piece" : "pieces") +
                                  (s.groups > 1 ? " a group" : ""),
                              EngineFailure::SetNotWhole);
                    return false;
                }
                if (!lost.empty()) {
                    if (!code.rebuild(size, lost, rows.rows)) {
                        run_.fail("the recovery pieces of " + folderPath_ +
                                  " cannot rebuild a row");
                        return false;
                    }
                    for (int position : lost) {
                        const int32_t c = columns[static_cast<std::size_t>(position)];
                        const int64_t own = std::clamp<int64_t>(h_.lengthOf(c) - offset, 0, size);
                        if (crcOf(rows.rows[static_cast<std::size_t>(position)], own) !=
                            sums.at(static_cast<std::size_t>(position), r)) {
                            run_.fail("a rebuilt stripe of " + folderPath_ +
                                      " does not match its checksum");
                            return false;
                        }
                    }
                }
                for (std::size_t i = 0; i < columns.size(); ++i) {
                    const int32_t c = columns[i];
                    if (!wanted(c)) continue;
                    const int64_t own = std::clamp<int64_t>(h_.lengthOf(c) - offset, 0, size);
                    if (own == 0) continue;
                    const bool meta = h_.isMeta(c);
                    Rebuilt& file = meta ? stream_ : columns_.at(c);
                    const int64_t at =
                        meta ? static_cast<int64_t>(c - s.dataPieces) * s.columnLength + offset
                             : offset;
                    if (!writeWhole(file.fd.get(), rows.rows[i], own, at)) {
                        run_.failErrno(
                            "write", destPath_ + "/" + work_.name() + "/" + file.temporary, errno);
                        return false;
                    }
                }
                run_.addDoneBytes(size * static_cast<int64_t>(columns.size()));
            }
            for (int32_t c : columns)
                if (!h_.isMeta(c)) reader.release(c);
        }
        for (Rebuilt* file : all())
            if (file->fd && ftruncate(file->fd.get(), file->length) != 0) {
                run_.failErrno("write", destPath_ + "/" + work_.name() + "/" + file->temporary,
                               errno);
                return false;
            }
        return true;
    }

    // Reads the SHA-256 of each rebuilt piece from SHA256SUMS's first
    // `length` bytes at `from` in `fd`, a line at a time: each of the first
    // lines must be its piece's.
    bool readPieceHashes(int fd, int64_t from, int64_t length) {
        const std::string damaged = "the rebuilt SHA256SUMS of " + folderPath_ + " does not list ";
        LineReader lines(fd, length, static_cast<std::size_t>(kSumLineBound), from);
        std::vector<ChecksumEntry> entry;
        for (int32_t piece = 0; piece < h_.shape.dataPieces; ++piece) {
            std::string_view line;
            const LineReader::Next next = lines.next(line);
            if (next == LineReader::Next::Unreadable) {
                run_.failErrno("read", folderPath_ + "/" + kPieceSumsFileName, errno);
                return false;
            }
            entry.clear();
            if (next != LineReader::Next::Line ||
                !parseChecksumLines(std::string(line) + "\n", entry)) {
                run_.fail(damaged + "the pieces");
                return false;
            }
            const auto rebuilt = columns_.find(piece);
            if (rebuilt == columns_.end()) continue;
            if (entry.front().name != rebuilt->second.name) {
                run_.fail(damaged + rebuilt->second.name);
                return false;
            }
            pieceHashes_[piece] = entry.front().hex;
        }
        return true;
    }

    // Cuts the rebuilt stream into the set's own files that need it, and
    // reads the rebuilt pieces' hashes from SHA256SUMS.
    bool finishMembers(bool metaBad) {
        int64_t start = 0;
        members_.reserve(kMembers);
        for (int i = 0; i < kMembers; ++i) {
            const Member& member = h_.members[i];
            if (member.length < 0) continue;
            const int source = metaBad ? stream_.fd.get() : -1;
            const int64_t from = metaBad ? start : 0;
            start += member.length;
            if (i == kSumsMember) {
                int readFrom = source;
                FileDescriptor original;
                if (readFrom < 0) {
                    int64_t size = -1;
                    openSetFileAt(folderFd_, kPieceSumsFileName, original, size);
                    readFrom = original.get();
                }
                if (readFrom < 0) {
                    run_.failErrno("read", folderPath_ + "/" + kPieceSumsFileName, errno);
                    return false;
                }
                if (!readPieceHashes(readFrom, from, member.length)) return false;
            }
            if (!map_.memberRewrite[static_cast<std::size_t>(i)]) continue;
            members_.push_back({});
            Rebuilt& file = members_.back();
            if (!begin(file, kMemberNames[i], member.length)) return false;
            std::vector<unsigned char> buffer(std::size_t{1} << 20);
            for (int64_t at = 0; at < member.length;) {
                const int64_t want =
                    std::min<int64_t>(member.length - at, static_cast<int64_t>(buffer.size()));
                if (readSome(source, buffer.data(), want, from + at) != want ||
                    !writeWhole(file.fd.get(), buffer.data(), want, at)) {
                    run_.failErrno("write", destPath_ + "/" + work_.name() + "/" + file.temporary,
                                   errno);
                    return false;
                }
                at += want;
            }
            if (!check(file, hexOf(member.hash))) return false;
            if (i == kSumsMember &&
                !forRecoveryLines(h_, [&](const std::string& lines, int64_t at) {
                    file.length = member.length + at + static_cast<int64_t>(lines.size());
                    return writeWhole(file.fd.get(),
                                      reinterpret_cast<const unsigned char*>(lines.data()),
                                      static_cast<int64_t>(lines.size()), member.length + at);
                })) {
                run_.failErrno("write", destPath_ + "/" + work_.name() + "/" + file.temporary,
                               errno);
                return false;
            }
        }
        return true;
    }

    // The file's first `length` bytes hash to `hex`, and are on disk.
    bool check(Rebuilt& file, const std::string& hex) {
        Hash hash{};
        if (fsync(file.fd.get()) != 0 || !hashRange(file.fd.get(), file.length, hash)) {
            run_.failErrno("write", destPath_ + "/" + work_.name() + "/" + file.temporary, errno);
            return false;
        }
        if (hexOf(hash) != hex) {
            run_.fail("the rebuilt " + file.name + " of " + folderPath_ +
                      " does not match its SHA-256: nothing was put in place");
            return false;
        }
        return true;
    }

    bool putInPlace(RepairOutcome& outcome, bool inPlace) {
        // Into another folder, every name must be free before any is taken:
        // a failure there leaves nothing of the repair behind.
        for (Rebuilt* file : all())
            if (!inPlace && file->fd &&
                entryAt(destFd_, file->name.c_str()) != EntryKind::Missing) {
                run_.failErrno("name", destPath_ + "/" + file->name, EEXIST);
                return false;
            }
        // The rebuilt files take the bits their neighbours share: never more
        // readable than any piece of the set that is there.
        const mode_t bits = sharedPieceBits();
        for (Rebuilt* file : all()) {
            if (!file->fd) continue;
            if (fchmod(file->fd.get(), bits) != 0) {
                run_.failErrno("set the permissions of", destPath_ + "/" + file->name, errno);
                return false;
            }
            // A damaged original is kept aside by a second name first, and
            // only then replaced in one rename: killed between the two, the
            // real name still holds it whole.
            const bool replaces =
                inPlace && entryAt(destFd_, file->name.c_str()) != EntryKind::Missing;
            if (replaces) {
                std::string aside = file->name + ".damaged";
                for (int n = 1; entryAt(destFd_, aside.c_str()) != EntryKind::Missing && n < 1000;
                     ++n)
                    aside = file->name + ".damaged." + std::to_string(n);
                if (!linkAside(destFd_, file->name, aside)) {
                    run_.failErrno("keep aside", destPath_ + "/" + file->name, errno);
                    return false;
                }
                outcome.keptAside.push_back(file->name + " -> " + aside);
            }
            if (!placeEntry(work_.fd(), file->temporary, destFd_, file->name, replaces)) {
                run_.failErrno("name", destPath_ + "/" + file->name, errno);
                return false;
            }
            file->temporary.clear();
            outcome.rebuilt.push_back(file->name);
        }
        if (fsync(destFd_) != 0) {
            run_.failErrno("write", destPath_, errno);
            return false;
        }
        return true;
    }

    // The permission bits every piece of the set that is there has (their
    // AND); 0600 when none is.
    mode_t sharedPieceBits() const {
        mode_t bits = 0777;
        bool any = false;
        for (int32_t c = 0; c < h_.allColumns(); ++c) {
            struct stat st {};
            if (h_.isMeta(c) ||
                fstatat(folderFd_, columnFileName(h_, c).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(st.st_mode))
                continue;
            bits &= st.st_mode & 0777;
            any = true;
        }
        return any ? bits : 0600;
    }

    int folderFd_;
    std::string folderPath_;
    int destFd_;
    std::string destPath_;
    const Header& h_;
    const DamageMap& map_;
    RunContext& run_;
    RunFolder work_;                     // removed, with whatever is still in it, when the job ends
    std::map<int32_t, Rebuilt> columns_; // the data and recovery pieces rebuilt
    std::map<int32_t, std::string> pieceHashes_; // theirs, from SHA256SUMS
    std::vector<Rebuilt> members_;
    std::vector<Rebuilt> headers_;
    Rebuilt stream_;
};

} // namespace

Result<RepairOutcome> repairSet(int folderFd, const std::string& folderPath,
                                const std::string& stem, int outFd, const std::string& outPath,
                                RunContext& run, bool visibleOnly) {
    Header h;
    bool any = false;
    if (const std::string why = findHeader(folderFd, stem, h, any); !why.empty()) {
        run.fail(any ? "the recovery files of " + folderPath + " cannot be used: " + why
                     : folderPath + " has no recovery pieces",
                 EngineFailure::NotASet);
        return run.failure();
    }
    run.setTotalBytes(static_cast<int64_t>(h.allColumns()) * h.shape.columnLength * 2);
    DamageMap map;
    if (!mapDamage(folderFd, folderPath, h, map, run, visibleOnly)) return run.failure();
    RepairOutcome outcome;
    fillReport(h, map, outcome.report);
    if (outcome.report.intact()) return outcome;
    if (!outcome.report.repairable) {
        run.fail("the set in " + folderPath + " is not repairable: " + outcome.report.summary(),
                 EngineFailure::SetNotWhole);
        return run.failure();
    }
    const bool inPlace = outFd < 0;
    // What a killed repair left in the set's folder goes first, when no other
    // run is using it (another folder is swept by the next run writing there).
    const int destFd = inPlace ? folderFd : outFd;
    if (inPlace && sweepWhenAlone(folderFd, run)) flock(folderFd, LOCK_UN);
    RepairJob job(folderFd, folderPath, destFd, inPlace ? folderPath : outPath, h, map, run);
    if (!job.run(outcome, inPlace)) {
        if (!run.failed()) run.fail("the repair of " + folderPath + " failed");
        return run.failure();
    }
    return outcome;
}
