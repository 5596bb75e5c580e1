#include "engine/format/manifest_targets.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

std::string recordName(const FileRecord& record) {
    return std::string(record.name, strnlen(record.name, sizeof record.name));
}

namespace {

uint64_t nameHash(std::string_view name) {
    return std::hash<std::string_view>{}(name);
}

} // namespace

bool ManifestTargets::read(const Manifest& manifest,
                           const std::function<bool(const FileRecord&)>& check) {
    targets_.clear();
    slices_.clear();
    if (manifest.fileSet()) {
        targets_.push_back({nameHash(""), 0, 0});
        for (int32_t i = 0; i < manifest.pieceCount(); ++i)
            slices_.push_back({i, 0, INT64_MAX});
        return true;
    }
    // The record count was checked against the file when the manifest was read.
    slices_.reserve(static_cast<std::size_t>(manifest.fileCount()));
    targets_.reserve(static_cast<std::size_t>(manifest.fileCount()));
    std::string previous;
    uint32_t index = 0;
    const bool read = manifest.forEachFileRecords([&](const FileRecord* records,
                                                      std::size_t count) {
        for (const FileRecord* record = records; record != records + count; ++record, ++index) {
            if (check && !check(*record)) return false;
            const std::string_view name(record->name, strnlen(record->name, sizeof record->name));
            if (targets_.empty() || name != previous) {
                targets_.push_back({nameHash(name), index, static_cast<uint32_t>(slices_.size())});
                previous.assign(name);
            }
            slices_.push_back({record->pieceIndex, record->offset, record->length});
        }
        return true;
    });
    return read && mergeRepeatedNames(manifest);
}

// A split gives a file's records one after another; a name that comes back
// after others makes one file with all its records, in record order, placed
// where its first record is. Names are compared by hash, and those that share
// one are read again and compared whole.
bool ManifestTargets::mergeRepeatedNames(const Manifest& manifest) {
    std::vector<std::pair<uint64_t, uint32_t>> byHash; // (hash, run)
    byHash.reserve(targets_.size());
    for (std::size_t run = 0; run < targets_.size(); ++run)
        byHash.push_back({targets_[run].nameHash, static_cast<uint32_t>(run)});
    std::sort(byHash.begin(), byHash.end());
    std::vector<std::pair<uint64_t, uint32_t>> shared; // those sharing a hash, still in order
    for (std::size_t i = 0; i < byHash.size(); ++i) {
        if ((i > 0 && byHash[i - 1].first == byHash[i].first) ||
            (i + 1 < byHash.size() && byHash[i + 1].first == byHash[i].first))
            shared.push_back(byHash[i]);
    }
    byHash = {};
    if (shared.empty()) return true;
    std::unordered_map<uint32_t, std::string> names; // by run
    std::vector<uint32_t> records;                   // their first records, in order
    for (const auto& [hash, run] : shared)
        records.push_back(targets_[run].firstRecord);
    std::sort(records.begin(), records.end());
    std::unordered_map<uint32_t, uint32_t> runOfRecord;
    for (const auto& [hash, run] : shared)
        runOfRecord[targets_[run].firstRecord] = run;
    uint32_t index = 0;
    std::size_t want = 0;
    const bool read = manifest.forEachFileRecords([&](const FileRecord* got, std::size_t count) {
        for (std::size_t i = 0; i < count && want < records.size(); ++i, ++index) {
            if (index != records[want]) continue;
            names[runOfRecord[index]] = recordName(got[i]);
            ++want;
        }
        return want < records.size();
    });
    if (want < records.size() && !read) return false;
    // Each run's file: the first run of its name.
    std::vector<uint32_t> fileOf(targets_.size());
    for (std::size_t run = 0; run < fileOf.size(); ++run)
        fileOf[run] = static_cast<uint32_t>(run);
    bool merged = false;
    for (std::size_t i = 0; i < shared.size();) {
        std::size_t end = i;
        std::unordered_map<std::string_view, uint32_t> first;
        for (; end < shared.size() && shared[end].first == shared[i].first; ++end) {
            const uint32_t run = shared[end].second;
            const auto [at, added] = first.emplace(names[run], run);
            if (!added) {
                fileOf[run] = at->second;
                merged = true;
            }
        }
        i = end;
    }
    if (!merged) return true;
    std::vector<uint32_t> order(targets_.size());
    for (std::size_t run = 0; run < order.size(); ++run)
        order[run] = static_cast<uint32_t>(run);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return fileOf[a] < fileOf[b]; });
    std::vector<Target> targets;
    std::vector<PieceSlice> slices;
    slices.reserve(slices_.size());
    for (const uint32_t run : order) {
        if (fileOf[run] == run)
            targets.push_back({targets_[run].nameHash, targets_[run].firstRecord,
                               static_cast<uint32_t>(slices.size())});
        const std::size_t from = targets_[run].firstSlice;
        const std::size_t to =
            run + 1 < targets_.size() ? targets_[run + 1].firstSlice : slices_.size();
        slices.insert(slices.end(), slices_.begin() + static_cast<std::ptrdiff_t>(from),
                      slices_.begin() + static_cast<std::ptrdiff_t>(to));
    }
    targets_ = std::move(targets);
    slices_ = std::move(slices);
    return true;
}

std::size_t ManifestTargets::firstSliceOf(std::size_t index) const {
    return index < targets_.size() ? targets_[index].firstSlice : slices_.size();
}

std::size_t ManifestTargets::targetOfSlice(std::size_t slice) const {
    const auto after =
        std::upper_bound(targets_.begin(), targets_.end(), slice,
                         [](std::size_t s, const Target& target) { return s < target.firstSlice; });
    return static_cast<std::size_t>(after - targets_.begin()) - 1;
}

std::span<const PieceSlice> ManifestTargets::slicesOf(std::size_t target) const {
    const std::size_t from = firstSliceOf(target);
    return {slices_.data() + from, firstSliceOf(target + 1) - from};
}

std::span<PieceSlice> ManifestTargets::slicesOf(std::size_t target) {
    const std::size_t from = firstSliceOf(target);
    return {slices_.data() + from, firstSliceOf(target + 1) - from};
}

bool ManifestTargets::forEachName(
    const Manifest& manifest,
    const std::function<bool(std::size_t, const FileRecord*)>& take) const {
    if (manifest.fileSet()) return targets_.empty() || take(0, nullptr);
    std::size_t next = 0;
    uint32_t index = 0;
    bool changed = false;
    manifest.forEachFileRecords([&](const FileRecord* records, std::size_t count) {
        for (std::size_t i = 0; i < count && next < targets_.size(); ++i, ++index) {
            if (index != targets_[next].firstRecord) continue;
            const std::string_view name(records[i].name,
                                        strnlen(records[i].name, sizeof records[i].name));
            if (nameHash(name) != targets_[next].nameHash) {
                changed = true;
                return false;
            }
            if (!take(next++, &records[i])) return false;
        }
        return next < targets_.size();
    });
    return !changed && next == targets_.size();
}

bool ManifestTargets::nameOf(const Manifest& manifest, std::size_t index, std::string& name) const {
    bool found = false;
    name.clear();
    forEachName(manifest, [&](std::size_t at, const FileRecord* record) {
        if (at != index) return true;
        if (record) name = recordName(*record);
        found = true;
        return false;
    });
    return found;
}

TargetNames contentNamesOf(const Manifest& manifest, const ManifestTargets& targets) {
    return [&manifest, &targets](const std::function<bool(const std::string&)>& take) {
        const std::string baseName = manifest.baseName();
        std::string name; // one buffer for every name
        return targets.forEachName(manifest, [&](std::size_t, const FileRecord* record) {
            name.assign(baseName);
            if (record) {
                name += '/';
                name.append(record->name, strnlen(record->name, sizeof record->name));
            }
            return take(name);
        });
    };
}
