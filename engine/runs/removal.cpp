#include "engine/runs/removal.h"

#include "engine/runs/open_set.h"

#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/format/manifest.h"
#include "engine/format/manifest_file.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/piece_folder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

// The entries of a folder, sorted, and whether each is a folder (links are not).
std::vector<std::pair<std::string, bool>> entriesOf(int folderFd) {
    std::vector<std::pair<std::string, bool>> entries;
    for (const std::string& name : namesIn(folderFd))
        entries.emplace_back(name, entryAt(folderFd, name.c_str()) == EntryKind::Folder);
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Writes everything of the file system that holds `path` to disk.
bool flushFileSystemOf(const std::string& path, RunContext& run) {
    run.enterPhase(RunPhase::WritingToDisk);
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd || syncfs(fd.get()) != 0) {
        run.failErrno("write to disk", path, errno);
        return false;
    }
    return true;
}

// The split's set is still in its folder and checks whole on disk: every
// piece matches its fingerprint. A source goes only after this, and only
// while the set stays locked against a split that would replace it: the
// set comes back open, with its lock held, or empty.
OpenSet setChecksWhole(const SplitOutcome& outcome, RunContext& run) {
    const std::string& pieceFolder = outcome.pieceFolder;
    const auto notWhole = [&](const std::string& why) {
        run.fail(why + ", so the source was kept", EngineFailure::SetNotWhole);
        return OpenSet{};
    };
    RunContext reading;
    Result<ReadableSet> opened = openSet(pieceFolder, reading);
    for (std::string& note : reading.takeNotes())
        run.note(std::move(note));
    if (!opened) return notWhole("the set in " + pieceFolder + " cannot be read again");
    ReadableSet& readable = opened.value();
    if (outcome.manifest.size >= 0 &&
        (!readable.manifestInFolder || !(readable.manifestIdentity == outcome.manifest)))
        return notWhole("the set in " + pieceFolder + " was replaced since the split");
    const Manifest* manifest = &readable.manifest;
    const std::string& stem = readable.stem;
    OpenSet set = std::move(readable.folder);
    for (const PieceRecord& record : manifest->pieces()) {
        const int32_t index = record.pieceIndex; // a packed field: copied
        char name[kPathBufferSize];
        if (pieceFileName(stem.c_str(), index, name) < 0)
            return notWhole("the set in " + pieceFolder + " cannot be read again");
        const FileDescriptor piece = openFileAt(set.get(), name, true);
        char now[kMd5HexSize] = {};
        if (piece) pieceFingerprintOf(piece.get(), now);
        const std::string stored(record.fingerprint,
                                 strnlen(record.fingerprint, sizeof record.fingerprint));
        if (!piece || stored.empty() || stored != now)
            return notWhole("the piece " + pieceFolder + "/" + name + " no longer matches the set");
    }
    return set;
}

// A stop asked for before the removal began leaves everything.
bool stoppedBeforeStart(RemovalReport& report, int64_t files, RunContext& run) {
    if (!run.stopIfRequested()) return false;
    report.stopped = true;
    report.notReached = files;
    return true;
}

enum class Outcome { Removed, Missing, Kept };

// Removes `name` when it is still the regular file `identity` names (null:
// known to have changed). What stays is reported as `shown`: a link as not
// held (its target's bytes were stored, not the link), a changed file as
// changed, and an unchanged file the system would not remove with its reason.
Outcome removeIfUnchanged(int folderFd, const std::string& name, const std::string& shown,
                          const FileIdentity* identity, RemovalReport& report) {
    FileIdentity now;
    const EntryKind kind = entryAt(folderFd, name.c_str(), &now);
    if (kind == EntryKind::Missing) return Outcome::Missing;
    if (kind == EntryKind::Link) {
        report.notHeld.push_back(shown);
    } else if (kind != EntryKind::Regular || !identity || !(now == *identity)) {
        report.changed.push_back(shown);
    } else if (unlinkat(folderFd, name.c_str(), 0) != 0) {
        report.failed.push_back(shown + " (" + std::strerror(errno) + ")");
    } else {
        return Outcome::Removed;
    }
    return Outcome::Kept;
}

// Lists what is left below `folder` (relative `path`): folders the removal
// touched are entered, anything else is named whole, except what the report
// names already (`named`).
void listLeft(int folderFd, const std::string& path, const std::set<std::string>& touched,
              const std::set<std::string>& named, std::vector<std::string>& out) {
    for (const auto& [name, isFolder] : entriesOf(folderFd)) {
        const std::string relative = join(path, name);
        if (named.count(relative) != 0) continue;
        if (isFolder && touched.count(relative) != 0) {
            FileDescriptor inner = openFolderAt(folderFd, name.c_str());
            if (inner) {
                listLeft(inner.get(), relative, touched, named, out);
                continue;
            }
        }
        out.push_back(relative);
    }
}

void removeFolderSource(const SplitOutcome& outcome, int rootFd, RemovalReport& report,
                        RunContext& run) {
    std::set<std::string> touched; // folders that held a stored file, and their parents
    std::set<std::string> emptied; // folders that held a removed file, and their parents
    std::set<std::string> kept;    // stored files still there, already in the report
    std::map<std::string, FileDescriptor> folders;
    for (std::size_t i = 0; i < outcome.files.size(); ++i) {
        const StoredSourceFile& file = outcome.files[i];
        if (run.stopRequested()) {
            report.stopped = true;
            report.notReached = static_cast<int64_t>(outcome.files.size() - i);
            break;
        }
        const std::string folder = folderPartOf(file.relativePath);
        auto [it, added] = folders.try_emplace(folder);
        if (added) it->second = openFolderBelow(rootFd, folder, false);
        if (!it->second) {
            report.changed.push_back(file.relativePath);
            kept.insert(file.relativePath);
            continue;
        }
        const Outcome done =
            removeIfUnchanged(it->second.get(), lastComponentOf(file.relativePath),
                              file.relativePath, file.unchanged ? &file.identity : nullptr, report);
        if (done == Outcome::Removed) {
            ++report.removed;
            for (std::string f = folder; !f.empty(); f = folderPartOf(f))
                emptied.insert(f);
        } else {
            if (done == Outcome::Missing) report.changed.push_back(file.relativePath);
            kept.insert(file.relativePath);
        }
        // The folders on its way are listed by what they hold, not as a whole.
        for (std::string f = folder; !f.empty(); f = folderPartOf(f))
            touched.insert(f);
    }
    folders.clear();
    if (report.stopped) return; // the folders stay; what was left is in the report
    // Deepest first, so a folder is empty once its subfolders are gone; a
    // folder with anything left in it stays.
    std::vector<std::string> order(emptied.begin(), emptied.end());
    std::sort(order.begin(), order.end(), [](const std::string& a, const std::string& b) {
        return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
    });
    for (const std::string& folder : order) {
        FileDescriptor parent = openFolderBelow(rootFd, folderPartOf(folder), false);
        if (parent) unlinkat(parent.get(), lastComponentOf(folder).c_str(), AT_REMOVEDIR);
    }
    listLeft(rootFd, "", touched, kept, report.notHeld);
}

} // namespace

bool removeSplitSource(const SplitOutcome& outcome, RemovalReport& report, RunContext& run) {
    try {
        report = RemovalReport{};
        if (stoppedBeforeStart(report, static_cast<int64_t>(outcome.files.size()), run))
            return false;
        if (!flushFileSystemOf(outcome.pieceFolder, run)) return false;
        const OpenSet held = setChecksWhole(outcome, run);
        if (!held) return false;
        FileDescriptor parent = openFolderPath(parentFolderOf(outcome.source));
        if (!parent) {
            run.failErrno("open", parentFolderOf(outcome.source), errno);
            return false;
        }
        const std::string leaf = lastComponentOf(outcome.source);
        if (!outcome.folderSource) {
            const bool unchanged = !outcome.files.empty() && outcome.files.front().unchanged;
            switch (removeIfUnchanged(parent.get(), leaf, leaf,
                                      unchanged ? &outcome.files.front().identity : nullptr,
                                      report)) {
            case Outcome::Removed:
                ++report.removed;
                break;
            case Outcome::Missing:
                report.changed.push_back(leaf);
                break;
            case Outcome::Kept:
                break;
            }
            return true;
        }
        FileDescriptor root = openFolderPath(outcome.source);
        if (!root) {
            run.failErrno("open", outcome.source, errno);
            return false;
        }
        removeFolderSource(outcome, root.get(), report, run);
        if (report.stopped) {
            run.stopIfRequested();
            return false;
        }
        if (report.notHeld.empty() && report.changed.empty() && report.failed.empty())
            unlinkat(parent.get(), leaf.c_str(), AT_REMOVEDIR);
        return true;
    } catch (...) {
        run.fail("the removal ran out of memory");
        return false;
    }
}

bool removeJoinedPieces(const JoinOutcome& outcome, RemovalReport& report, bool quickCheckAccepted,
                        RunContext& run) {
    try {
        report = RemovalReport{};
        if (!outcome.fullCheck && !quickCheckAccepted) {
            run.fail("the pieces in " + outcome.pieceFolder +
                         " were checked only by their first kilobyte, so they were kept",
                     EngineFailure::NoChecksums);
            return false;
        }
        if (stoppedBeforeStart(report, static_cast<int64_t>(outcome.setFiles.size()), run))
            return false;
        if (!flushFileSystemOf(outcome.outputFolder, run)) return false;
        if (!outcome.target.empty() && !flushFileSystemOf(outcome.target, run)) return false;
        FileDescriptor pieces = openFolderPath(outcome.pieceFolder);
        if (!pieces) {
            run.failErrno("open", outcome.pieceFolder, errno);
            return false;
        }
        // The lock every run on the set takes: its folder's folder.
        FileDescriptor holder(::openat(pieces.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!holder || !lockFolder(holder.get(), true)) {
            run.fail("cannot remove the pieces in " + outcome.pieceFolder +
                     ": another run is using them");
            return false;
        }
        std::set<std::string> kept; // set files still there, already in the report
        for (std::size_t i = 0; i < outcome.setFiles.size(); ++i) {
            const ReadSetFile& file = outcome.setFiles[i];
            if (run.stopRequested()) {
                report.stopped = true;
                report.notReached = static_cast<int64_t>(outcome.setFiles.size() - i);
                run.stopIfRequested();
                return false;
            }
            switch (removeIfUnchanged(pieces.get(), file.name, file.name, &file.identity, report)) {
            case Outcome::Removed:
                ++report.removed;
                break;
            case Outcome::Missing:
                break;
            case Outcome::Kept:
                kept.insert(file.name);
                break;
            }
        }
        listLeft(pieces.get(), "", {}, kept, report.notHeld);
        if (report.notHeld.empty() && report.changed.empty() && report.failed.empty()) {
            FileDescriptor parent = openFolderPath(parentFolderOf(outcome.pieceFolder));
            const std::string leaf = lastComponentOf(outcome.pieceFolder);
            FileDescriptor again =
                parent ? openFolderAt(parent.get(), leaf.c_str()) : FileDescriptor();
            if (again && sameFile(again.get(), pieces.get()))
                unlinkat(parent.get(), leaf.c_str(), AT_REMOVEDIR);
        }
        return true;
    } catch (...) {
        run.fail("the removal ran out of memory");
        return false;
    }
}
