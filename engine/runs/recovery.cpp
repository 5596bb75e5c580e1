#include "engine/runs/recovery.h"

#include "engine/runs/recovery_code.h"

using namespace recovering;

int64_t RecoveryShape::stripes() const {
    return stripeSize > 0 ? (columnLength + stripeSize - 1) / stripeSize : 0;
}

std::vector<int32_t> RecoveryShape::columnsOf(int32_t group) const {
    std::vector<int32_t> out;
    for (int32_t c = group; c < columns(); c += groups)
        out.push_back(c);
    return out;
}

std::string planRecovery(const RecoveryRequest& request, int32_t dataPieces, int64_t pieceSize,
                         int64_t longestPiece, int64_t metaBytes, RecoveryShape& shape) {
    if (request.count < 0 || request.percent < 0 || request.percent > 100)
        return "the recovery share must be between 1% and 100%";
    if (pieceSize <= 0 || metaBytes <= 0) return "the set has no files to protect";
    shape = {};
    shape.dataPieces = dataPieces;
    shape.columnLength = std::min(pieceSize, std::max(longestPiece, metaBytes));
    shape.metaColumns =
        static_cast<int32_t>((metaBytes + shape.columnLength - 1) / shape.columnLength);
    const int64_t columns = int64_t{dataPieces} + shape.metaColumns;
    if (columns > INT32_MAX / 2) return "the set has too many pieces for recovery pieces";
    const int64_t dataShare = std::max<int32_t>(dataPieces, 1);
    for (int64_t groups = 1; groups <= columns; ++groups) {
        const int64_t widest = (columns + groups - 1) / groups;
        const int64_t perGroup =
            request.count > 0
                ? request.count
                : std::max<int64_t>(
                      1, (request.percent * ((dataShare + groups - 1) / groups) + 99) / 100);
        if (perGroup >= kMaxCodeWidth) return "at most 254 recovery pieces a group can be made";
        if (perGroup > widest && request.count > 0 && groups == 1)
            return "more recovery pieces than the set's " + std::to_string(widest) +
                   " pieces and files: a copy of the set protects it better";
        if (widest + perGroup > kMaxCodeWidth) continue;
        shape.groups = static_cast<int32_t>(groups);
        shape.perGroup = static_cast<int32_t>(perGroup);
        const int64_t budget = kRowBudget / (widest + perGroup);
        int64_t stripe = int64_t{1} << 20;
        while (stripe > 4096 && stripe > budget)
            stripe /= 2;
        shape.stripeSize = static_cast<int32_t>(std::min(stripe, shape.columnLength));
        if (headerSizeFor(dataPieces, int64_t{shape.groups} * shape.perGroup, columns,
                          shape.stripes()) < 0)
            return "the set is too large for recovery pieces";
        return {};
    }
    return "the set has too many pieces for this many recovery pieces";
}

std::string survivalText(const RecoveryShape& shape) {
    const int32_t m = shape.perGroup;
    const std::string pieces = m == 1 ? "piece" : "pieces";
    if (shape.groups == 1)
        return "any " + std::to_string(m) + " of its " +
               std::to_string(shape.dataPieces + shape.recoveryPieces()) + " pieces";
    return "any " + std::to_string(m) + " " + pieces + " of each of its " +
           std::to_string(shape.groups) + " groups, or any " +
           std::to_string(int64_t{m} * shape.groups) + " consecutive pieces";
}

// ---- the split's side -------------------------------------------------------

bool writeRecovery(int folderFd, const std::string& folderPath, const std::string& stem,
                   const std::vector<int64_t>& pieceLengths, int64_t pieceSize,
                   const RecoveryRequest& request, int mode,
                   const std::vector<uint32_t>& pieceModes, bool sync, RunContext& run,
                   RecoveryShape* made, int dataFd) {
    Header h;
    h.stem = stem;
    h.lastPiece = pieceLengths.empty() ? 0 : pieceLengths.back();
    for (int i = 0; i < kMembers; ++i) {
        FileDescriptor fd;
        int64_t size = -1;
        const std::string why = openSetFileAt(folderFd, kMemberNames[i], fd, size);
        if (!why.empty()) {
            // A set may lack its tree description, and an encrypted one its content sums.
            if (i >= 2 && entryAt(folderFd, kMemberNames[i]) == EntryKind::Missing) continue;
            run.fail("cannot protect " + folderPath + "/" + kMemberNames[i] + ": " + why);
            return false;
        }
        h.members[i].length = size;
        if (!hashRange(fd.get(), size, h.members[i].hash)) {
            run.failErrno("read", folderPath + "/" + kMemberNames[i], errno);
            return false;
        }
    }
    const int64_t longest =
        pieceLengths.empty() ? 0 : *std::max_element(pieceLengths.begin(), pieceLengths.end());
    if (const std::string why = planRecovery(request, static_cast<int32_t>(pieceLengths.size()),
                                             pieceSize, longest, h.metaBytes(), h.shape);
        !why.empty()) {
        run.refuse(why);
        return false;
    }
    const RecoveryShape& s = h.shape;
    h.crcs.assign(static_cast<std::size_t>(h.allColumns()) * static_cast<std::size_t>(s.stripes()),
                  0);
    h.recoveryHashes.resize(static_cast<std::size_t>(s.recoveryPieces()));
    for (int32_t g = 0; g < s.groups; ++g) {
        const std::vector<int32_t> columns = s.columnsOf(g);
        const int k = static_cast<int>(columns.size());
        const int m = s.perGroup;
        std::vector<FileDescriptor> out;
        uint32_t groupMode = static_cast<uint32_t>(mode);
        for (int32_t c : columns)
            if (c < s.dataPieces && static_cast<std::size_t>(c) < pieceModes.size())
                groupMode &= pieceModes[static_cast<std::size_t>(c)];
        for (int j = 0; j < m; ++j) {
            const int32_t index = j * s.groups + g;
            out.push_back(createFileAt(folderFd, recoveryPieceName(stem, index),
                                       static_cast<int>(groupMode & 0666)));
            if (!out.back()) {
                run.failErrno("create", folderPath + "/" + recoveryPieceName(stem, index), errno);
                return false;
            }
        }
        // Rows are independent: two threads take half of them each, with
        // their own buffers and reads.
        std::string failures[2];
        const auto encodeRows = [&](int64_t first, int64_t last, std::string& failure) {
            ColumnReader reader(folderFd, h);
            if (dataFd >= 0) reader.readDataFrom(dataFd, pieceSize);
            GroupCode code(k, m);
            AlignedBuffers data(static_cast<std::size_t>(k), s.stripeSize);
            AlignedBuffers parity(static_cast<std::size_t>(m), s.stripeSize);
            for (int64_t r = first; r < last; ++r) {
                if (run.stopRequested()) return;
                const int64_t offset = r * s.stripeSize;
                const int64_t size = std::min<int64_t>(s.stripeSize, s.columnLength - offset);
                for (int i = 0; i < k; ++i) {
                    const int32_t c = columns[static_cast<std::size_t>(i)];
                    if (!reader.read(c, offset, size, data.rows[static_cast<std::size_t>(i)])) {
                        failure = "cannot read back " + folderPath + "/" +
                                  (c < s.dataPieces ? columnFileName(h, c)
                                                    : std::string("the set's files")) +
                                  " to make its recovery pieces";
                        return;
                    }
                    const int64_t own = std::clamp<int64_t>(h.lengthOf(c) - offset, 0, size);
                    h.crc(c, r) = crcOf(data.rows[static_cast<std::size_t>(i)], own);
                }
                code.encode(size, data.rows.data(), parity.rows.data());
                for (int j = 0; j < m; ++j) {
                    const int32_t column = h.recoveryColumn(g, j);
                    unsigned char* bytes = parity.rows[static_cast<std::size_t>(j)];
                    h.crc(column, r) = crcOf(bytes, size);
                    if (!writeWhole(out[static_cast<std::size_t>(j)].get(), bytes, size, offset)) {
                        failure = errnoReason("write", folderPath + "/" + columnFileName(h, column),
                                              errno);
                        return;
                    }
                }
            }
        };
        const int64_t half = s.stripes() / 2;
        {
            std::thread other(encodeRows, half, s.stripes(), std::ref(failures[1]));
            encodeRows(0, half, failures[0]);
            other.join();
        }
        for (const std::string& failure : failures)
            if (!failure.empty()) {
                run.fail(failure);
                return false;
            }
        if (run.stopIfRequested()) return false;
        // Each recovery piece's SHA-256, read back in order (a second thread
        // takes every other piece).
        bool unread[2] = {false, false};
        const auto hashPieces = [&](int from, bool& failed) {
            for (int j = from; j < m; j += 2) {
                const int32_t index = j * s.groups + g;
                FileDescriptor back(openat(folderFd, recoveryPieceName(stem, index).c_str(),
                                           O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
                failed = failed || !back ||
                         !hashRange(back.get(), s.columnLength,
                                    h.recoveryHashes[static_cast<std::size_t>(index)]);
            }
        };
        {
            std::thread other(hashPieces, 1, std::ref(unread[1]));
            hashPieces(0, unread[0]);
            other.join();
        }
        for (int j = 0; j < m; ++j) {
            const int32_t index = j * s.groups + g;
            if (unread[0] || unread[1] ||
                (sync && fsync(out[static_cast<std::size_t>(j)].get()) != 0) ||
                !out[static_cast<std::size_t>(j)].close()) {
                run.failErrno("write", folderPath + "/" + recoveryPieceName(stem, index), errno);
                return false;
            }
        }
    }
    const std::string header = serialize(h);
    for (int32_t i = 0; i < s.recoveryPieces(); ++i) {
        const std::string name = recoveryHeaderName(stem, i);
        if (!writeTextFileAt(folderFd, name.c_str(), header, sync, folderPath + "/" + name, run,
                             mode))
            return false;
    }
    // Their lines close SHA256SUMS.
    FileDescriptor sums(
        openat(folderFd, kPieceSumsFileName, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
    if (!sums ||
        !forRecoveryLines(h,
                          [&](const std::string& lines, int64_t) {
                              return writeAll(sums.get(), lines.data(), lines.size());
                          }) ||
        (sync && fsync(sums.get()) != 0) || !sums.close()) {
        run.failErrno("write", folderPath + "/" + kPieceSumsFileName, errno);
        return false;
    }
    if (made) *made = s;
    return true;
}

// ---- reading a set's recovery files -----------------------------------------

std::string recoveryStemIn(int folderFd) {
    std::string found;
    visitEntriesIn(folderFd, [&](const char* name, unsigned char) {
        const std::string text = name;
        const std::size_t mark = text.rfind("_R");
        if (!found.empty() || mark == std::string::npos || mark == 0) return;
        const std::string stem = text.substr(0, mark);
        if (recoveryIndexOf(stem, text, true) >= 0) found = stem;
    });
    return found;
}
