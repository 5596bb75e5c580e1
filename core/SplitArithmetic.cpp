#include "core/SplitArithmetic.h"

#include "engine/base/utilities.h"

#include <cmath>
#include <cstdio>
#include <limits>

int64_t ceilDivide(int64_t a, int64_t b) {
    return a / b + (a % b != 0 ? 1 : 0);
}

ProposedSize proposePieceSize(int64_t sourceSize) {
    int64_t v = sourceSize / 9;
    int divisions = 0;
    while (v > 1024) {
        v /= 1024;
        ++divisions;
    }
    if (v > 10) {
        int64_t scale = 1;
        while (v / scale >= 10)
            scale *= 10;
        v = v / scale * scale;
    }
    if (v < 1) v = 1;
    return {v, divisions};
}

int64_t proposedPieceBytes(int64_t sourceSize) {
    const ProposedSize proposal = proposePieceSize(sourceSize);
    const int64_t unit = proposal.divisions <= 1   ? kKilobyte
                         : proposal.divisions == 2 ? kMegabyte
                                                   : kGigabyte;
    return proposal.value > largestSizeInUnits(unit) ? largestSizeInUnits(unit) * unit
                                                     : proposal.value * unit;
}

CountPlan planForCount(int64_t total, int64_t n) {
    if (total <= 0) return {1, total == 0 ? 0 : 1};
    if (n < 1) n = 1;
    if (n > total) n = total;
    const int64_t pieceSize = ceilDivide(total, n);
    return {pieceSize, ceilDivide(total, pieceSize)};
}

int64_t unitBytes(const std::string& title) {
    if (title == "KB") return kKilobyte;
    if (title == "MB") return kMegabyte;
    if (title == "GB") return kGigabyte;
    if (title == kSizeUnitTitles[kBytesUnitIndex]) return 1;
    return 0;
}

int64_t largestSizeInUnits(int64_t unit) {
    return std::numeric_limits<int64_t>::max() / unit;
}

int64_t usableCount(int64_t typed, int64_t sourceSize) {
    if (sourceSize <= 0 || typed == 0) return 1;
    // c pieces of at least 1 KB each: c × 1024 ≤ size, without overflowing.
    if (typed < 0 || typed > sourceSize / kKilobyte) return ceilDivide(sourceSize, kKilobyte);
    return typed;
}

SizeInUnits sizeInLargestUnit(int64_t bytes) {
    if (bytes >= kGigabyte) return {bytes / kGigabyte, 2};
    if (bytes >= kMegabyte) return {bytes / kMegabyte, 1};
    if (bytes >= kKilobyte) return {bytes / kKilobyte, 0};
    return {1, 0};
}

SizeInUnits sizeInExactUnit(int64_t bytes) {
    if (bytes > 0 && bytes % kGigabyte == 0) return {bytes / kGigabyte, 2};
    if (bytes > 0 && bytes % kMegabyte == 0) return {bytes / kMegabyte, 1};
    if (bytes > 0 && bytes % kKilobyte == 0) return {bytes / kKilobyte, 0};
    return {bytes, kBytesUnitIndex};
}

std::string groupedCount(int64_t count) {
    const std::string digits = std::to_string(count);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const std::size_t left = digits.size() - i;
        if (i > 0 && digits[i - 1] != '-' && left % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

std::string roundedSize(int64_t bytes) {
    if (bytes < 0) return kUnknownSize;
    if (bytes < kKilobyte) return groupedCount(bytes) + (bytes == 1 ? " byte" : " bytes");
    static constexpr int64_t kUnits[] = {kKilobyte, kMegabyte, kGigabyte};
    for (int unit = 0;; ++unit) {
        const double value = static_cast<double>(bytes) / static_cast<double>(kUnits[unit]);
        // 1023.5 and more rounds to 1024: the next unit says it better.
        if (unit < 2 && value >= 1023.5) continue;
        const std::string title = std::string(" ") + kSizeUnitTitles[unit];
        if (value >= 999.5) return groupedCount(std::llround(value)) + title;
        char text[32];
        std::snprintf(text, sizeof text,
                      value < 9.995   ? "%.2f"
                      : value < 99.95 ? "%.1f"
                                      : "%.0f",
                      value);
        return text + title;
    }
}

std::string sizeWithBytes(int64_t bytes) {
    if (bytes < kKilobyte) return roundedSize(bytes);
    return roundedSize(bytes) + " (" + groupedCount(bytes) + " bytes)";
}

std::string progressText(int64_t done, int64_t total, double seconds) {
    // A stream's total is known only at its end.
    std::string text =
        total > 0 ? roundedSize(done) + " of " + roundedSize(total) : roundedSize(done);
    if (seconds < 0.2 || done <= 0) return text;
    const double rate = static_cast<double>(done) / seconds;
    text += ", " + roundedSize(static_cast<int64_t>(rate)) + "/s";
    if (total > done) {
        const auto left = static_cast<long long>(static_cast<double>(total - done) / rate + 0.5);
        char clock[32];
        std::snprintf(clock, sizeof clock, ", %lld:%02lld left", left / 60, left % 60);
        text += clock;
    }
    return text;
}

const char* phaseText(RunPhase phase) {
    switch (phase) {
    case RunPhase::WritingToDisk:
        return kWritingToDisk;
    case RunPhase::FinishingChecksums:
        return kFinishingChecksums;
    case RunPhase::Copying:
        break;
    }
    return "";
}

int64_t progressPercent(int64_t done, int64_t total) {
    if (total <= 0) return 0;
    __extension__ using Wide = __int128; // done × 100 may not fit 64 bits
    return static_cast<int64_t>(static_cast<Wide>(done) * 100 / total);
}

std::string sentenceOf(std::string phrase) {
    if (phrase.empty()) return phrase;
    if (phrase[0] >= 'a' && phrase[0] <= 'z') phrase[0] = static_cast<char>(phrase[0] - 'a' + 'A');
    return phrase + ".";
}

std::string lastPathComponent(const std::string& path) {
    return lastComponentOf(path);
}

std::string stringByDeletingLastPathComponent(const std::string& path) {
    return folderPartOf(path);
}

std::string stringByAppendingPathComponent(const std::string& path, const std::string& component) {
    if (path.empty()) return component;
    if (path.back() == '/') return path + component;
    return path + "/" + component;
}
