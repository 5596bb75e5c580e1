#include "engine/fs/run_folder.h"

#include "engine/fs/target_writer.h"

#include "engine/base/escaping.h"
#include "engine/base/run_context.h"
#include "engine/base/utilities.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The marker's text: a working folder's, or a journal's first field.
constexpr char kPlainMarker[] = "parcelor-run 1\n";
constexpr char kJournalTag[] = "parcelor-replace 2";
// A journal lists one old set: its pieces, manifest and checksum files, each
// with a name under 256 bytes and five numbers.
constexpr std::size_t kJournalBound = (std::size_t{1} << 21) * 400;

// What a sweep of a folder did.
struct SweepReport {
    int folders = 0;                // working folders of dead runs removed
    int64_t bytes = 0;              // what their files held
    int finished = 0;               // interrupted replacements finished or undone
    int undoneJoins = 0;            // joins stopped among their moves, undone
    std::vector<std::string> notes; // what had to be kept aside, and where
};

// ".parcelor-tmp-" and 12 lower-case hex digits, as newTemporaryName makes them.
bool isWorkingFolderName(const std::string& name) {
    const std::size_t prefix = std::strlen(kTemporaryPrefix);
    if (name.size() != prefix + 12 || name.compare(0, prefix, kTemporaryPrefix) != 0) return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix), name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A folder of this user's that no one else may change: owned by the user this
// process runs as, and writable by neither its group nor others. Only such a
// folder's marker or journal is acted on.
bool isOwnPrivateFolder(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Writes all of `text` as the new file `name` in `dirFd`, then to disk.
bool writeNewFile(int dirFd, const char* name, const std::string& text) {
    FileDescriptor fd(
        ::openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return false;
    if (!writeAll(fd.get(), text.data(), text.size()) || fsync(fd.get()) != 0 || !fd.close()) {
        unlinkat(dirFd, name, 0);
        return false;
    }
    return true;
}

// The marker of `dirFd`, at most kJournalBound bytes; nothing when there is
// none or it cannot be read whole (then nothing may be done on its word).
std::optional<std::string> readMarker(int dirFd) {
    // Never one that another user made, nor one that is also another file's name.
    return readSmallFileAt(dirFd, kRunMarkerName, kJournalBound, true);
}

// A working folder's marker, whole or cut short as it was written.
bool isPlainMarker(const std::optional<std::string>& marker) {
    return marker && std::string_view(kPlainMarker).substr(0, marker->size()) == *marker;
}

struct Journal {
    std::string destination;
    // The new set's folder, which takes the destination's name: its identity,
    // and the bits, owner and group it is to have (the old folder's).
    uint64_t newDevice = 0, newInode = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    std::map<std::string, FileIdentity> oldSet;
};

// Fields are NUL-terminated: the tag, the destination, the new folder ("dev
// ino mode uid gid"), then a name and its identity ("dev ino size sec nsec")
// for each file of the old set.
bool parseJournal(const std::optional<std::string>& marker, Journal& out) {
    if (!marker) return false;
    const std::string& text = *marker;
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\0', start);
        if (end == std::string::npos) return false; // cut short: never complete
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (fields.size() < 3 || fields[0] != kJournalTag || fields.size() % 2 != 1) return false;
    if (!isSafeComponentName(fields[1].c_str()) || isReservedName(fields[1])) return false;
    out.destination = fields[1];
    unsigned long long newDevice = 0, newInode = 0;
    unsigned mode = 0, owner = 0, group = 0;
    if (std::sscanf(fields[2].c_str(), "%llu %llu %o %u %u", &newDevice, &newInode, &mode, &owner,
                    &group) != 5 ||
        mode > 07777)
        return false;
    out.newDevice = newDevice;
    out.newInode = newInode;
    out.mode = static_cast<mode_t>(mode);
    out.owner = static_cast<uid_t>(owner);
    out.group = static_cast<gid_t>(group);
    for (std::size_t i = 3; i < fields.size(); i += 2) {
        if (!isSafeComponentName(fields[i].c_str()) || isReservedName(fields[i])) return false;
        FileIdentity id;
        unsigned long long dev = 0, ino = 0;
        long long size = 0, sec = 0, nsec = 0;
        if (std::sscanf(fields[i + 1].c_str(), "%llu %llu %lld %lld %lld", &dev, &ino, &size, &sec,
                        &nsec) != 5)
            return false;
        id.device = dev;
        id.inode = ino;
        id.size = size;
        id.mtimeSeconds = sec;
        id.mtimeNanoseconds = nsec;
        out.oldSet[fields[i]] = id;
    }
    return true;
}

// Removes what a run made in its working folder `dirFd`: files, and the
// trees a join builds there before it puts them in place (their folders made
// writable first, never entered through a link); adds what the files held to
// `bytes`. False when anything is left. The folder's marker goes last, so a
// kill midway leaves a folder the next sweep still knows as a run's.
bool removeFilesIn(int dirFd, int64_t& bytes, int depth = 0) {
    bool empty = true;
    for (const std::string& name : namesIn(dirFd)) {
        if (depth == 0 && name == kRunMarkerName) continue;
        FileIdentity id;
        const EntryKind kind = entryAt(dirFd, name.c_str(), &id);
        if (kind == EntryKind::Folder && depth < 256) {
            FileDescriptor inner = openFolderAt(dirFd, name.c_str());
            if (inner) fchmod(inner.get(), 0700);
            if (!inner || !removeFilesIn(inner.get(), bytes, depth + 1) ||
                unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0)
                empty = false;
        } else if (kind != EntryKind::Folder && kind != EntryKind::Unknown &&
                   unlinkat(dirFd, name.c_str(), 0) == 0) {
            if (kind == EntryKind::Regular) bytes += id.size;
        } else {
            empty = false;
        }
    }
    FileIdentity marker;
    if (depth == 0 && empty && entryAt(dirFd, kRunMarkerName, &marker) == EntryKind::Regular) {
        if (unlinkat(dirFd, kRunMarkerName, 0) == 0)
            bytes += marker.size;
        else
            empty = false;
    }
    return empty;
}

} // namespace

bool isOwnPrivateFolderAt(int dirFd, const char* name) {
    const FileDescriptor folder = openFolderAt(dirFd, name);
    return folder && isOwnPrivateFolder(folder.get());
}

RunFolder::~RunFolder() {
    if (!fd_) return;
    int64_t bytes = 0;
    removeFilesIn(fd_.get(), bytes);
    unlinkat(parentFd_, name_.c_str(), AT_REMOVEDIR);
}

bool RunFolder::create(int parentFd) {
    parentFd_ = parentFd;
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Private whatever the umask or a default ACL gives: only such a
        // folder is this user's working state to a later run.
        constexpr mode_t kPrivate = 0700;
        fd_ = createTemporaryFolder(parentFd, name_, kPrivate);
        if (!fd_) return false;
        if (fchmod(fd_.get(), kPrivate) != 0 || !lockFolder(fd_.get(), true) ||
            !writeNewFile(fd_.get(), kRunMarkerName, kPlainMarker)) {
            const int error = errno;
            unlinkat(fd_.get(), kRunMarkerName, 0);
            unlinkat(parentFd, name_.c_str(), AT_REMOVEDIR);
            fd_ = FileDescriptor();
            errno = error;
            // Taken away, or being taken away, before it was locked: anew.
            if (error == ENOENT || error == EWOULDBLOCK) continue;
            return false;
        }
        // Between its making and its lock, another run may have taken the
        // still empty folder for a dead run's: then make another.
        FileDescriptor again = openFolderAt(parentFd, name_.c_str());
        if (again && sameFile(again.get(), fd_.get())) return true;
        fd_ = FileDescriptor();
    }
    errno = EAGAIN;
    return false;
}

FileDescriptor RunFolder::createFile(std::string& name, mode_t mode) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        name = newTemporaryName();
        FileDescriptor fd(::openat(fd_.get(), name.c_str(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd || errno != EEXIST) return fd;
    }
    return {};
}

void RunFolder::release() {
    fd_ = FileDescriptor();
}

bool writeReplaceJournal(int pieceFolderFd, const std::string& destination,
                         const ReplacedFolder& folders,
                         const std::vector<std::pair<std::string, FileIdentity>>& oldSet) {
    char folder[128];
    std::snprintf(folder, sizeof folder, "%" PRIu64 " %" PRIu64 " %o %u %u", folders.newDevice,
                  folders.newInode, static_cast<unsigned>(folders.mode),
                  static_cast<unsigned>(folders.owner), static_cast<unsigned>(folders.group));
    std::string text = std::string(kJournalTag) + '\0' + destination + '\0' + folder + '\0';
    for (const auto& [name, id] : oldSet) {
        char numbers[128];
        std::snprintf(numbers, sizeof numbers,
                      "%" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 " %" PRId64, id.device,
                      id.inode, id.size, id.mtimeSeconds, id.mtimeNanoseconds);
        text += name + '\0' + numbers + '\0';
    }
    unlinkat(pieceFolderFd, kRunMarkerName, 0); // a stray marker of an earlier run
    return writeNewFile(pieceFolderFd, kRunMarkerName, text) && fsync(pieceFolderFd) == 0;
}

namespace {

bool isTheNewFolder(int fd, const Journal& journal) {
    struct stat st {};
    return fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_dev) == journal.newDevice &&
           static_cast<uint64_t>(st.st_ino) == journal.newInode;
}

} // namespace

bool giveFolderItsPlace(int fd, const ReplacedFolder& folders) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    if ((st.st_uid != folders.owner || st.st_gid != folders.group) &&
        fchown(fd, folders.owner, folders.group) != 0)
        return false;
    return fchmod(fd, folders.mode) == 0;
}

bool settleReplaceJournal(int outFd, const std::string& name, std::string* keptNote) {
    FileDescriptor folder = openFolderAt(outFd, name.c_str());
    if (!folder) return false;
    // A marker in a folder that is not a working folder: a journal written
    // before an exchange that never happened (whatever the folder is called
    // now), or a working folder's marker that came along with a new set. The
    // set there is whole either way, and only the marker goes.
    const std::optional<std::string> marker = readMarker(folder.get());
    Journal journal;
    const bool isJournal = parseJournal(marker, journal);
    if (!isWorkingFolderName(name))
        return (isJournal || isPlainMarker(marker)) &&
               unlinkat(folder.get(), kRunMarkerName, 0) == 0;
    if (!isJournal) return false;
    FileDescriptor destination = openFolderAt(outFd, journal.destination.c_str());
    if (!destination) {
        if (errno != ENOENT) return false;
        // The old folder went aside and the new one never took its name: undo.
        if (!renameNoReplace(outFd, name.c_str(), outFd, journal.destination.c_str())) return false;
        fchmod(folder.get(), journal.mode); // its own bits again
        return unlinkat(folder.get(), kRunMarkerName, 0) == 0;
    }
    // Only into the folder the journal's run put there.
    if (!isTheNewFolder(destination.get(), journal)) {
        errno = ESTALE;
        return false;
    }
    giveFolderItsPlace(destination.get(), {journal.newDevice, journal.newInode, journal.mode,
                                           journal.owner, journal.group});
    // The new set is in place: the user's files move across, the old set goes.
    bool whole = true;
    for (const std::string& entry : namesIn(folder.get())) {
        if (entry == kRunMarkerName) continue;
        auto old = journal.oldSet.find(entry);
        if (old == journal.oldSet.end()) {
            if (!renameNoReplace(folder.get(), entry.c_str(), destination.get(), entry.c_str()))
                whole = false;
            continue;
        }
        FileIdentity now;
        if (entryAt(folder.get(), entry.c_str(), &now) != EntryKind::Regular ||
            !(now == old->second) || unlinkat(folder.get(), entry.c_str(), 0) != 0)
            whole = false;
    }
    fsync(destination.get());
    if (!whole) {
        // What could not move across or go stays where the user sees it, and
        // nothing waits on this journal any more.
        const std::string kept = journal.destination + "-kept-" + name.substr(name.size() - 12);
        if (!renameNoReplace(outFd, name.c_str(), outFd, kept.c_str())) {
            if (keptNote)
                *keptNote = "files of the replaced set's folder that could not move into the new "
                            "one are in " +
                            name;
            return false;
        }
        unlinkat(folder.get(), kRunMarkerName, 0);
        if (keptNote)
            *keptNote = "files of the replaced set's folder that could not move into the new one "
                        "were kept in " +
                        kept;
        return true;
    }
    unlinkat(folder.get(), kRunMarkerName, 0);
    return unlinkat(outFd, name.c_str(), AT_REMOVEDIR) == 0;
}

bool holdsWorkingFolders(int folderFd) {
    bool found = false;
    visitEntriesIn(folderFd, [&](const char* name, unsigned char) {
        found = found || isWorkingFolderName(name);
    });
    return found;
}

namespace {

// "removed what 2 stopped runs left (85 MB)", or "" when the sweep did nothing.
std::string describeSweep(const SweepReport& report) {
    std::string text;
    if (report.folders > 0) {
        text = "removed what " + std::to_string(report.folders) +
               (report.folders == 1 ? " stopped run" : " stopped runs") + " left";
        if (report.bytes >= 1'000'000)
            text += " (" + std::to_string((report.bytes + 500'000) / 1'000'000) + " MB)";
        else if (report.bytes > 0)
            text +=
                " (" + std::to_string(report.bytes) + (report.bytes == 1 ? " byte)" : " bytes)");
    }
    if (report.finished > 0)
        text += (text.empty() ? "" : "; ") + std::string("finished ") +
                std::to_string(report.finished) + " interrupted replacement" +
                (report.finished == 1 ? "" : "s");
    if (report.undoneJoins > 0)
        text += (text.empty() ? "" : "; ") + std::string("undid the moves of ") +
                std::to_string(report.undoneJoins) + " stopped join" +
                (report.undoneJoins == 1 ? "" : "s");
    for (const std::string& note : report.notes)
        text += (text.empty() ? "" : "; ") + note;
    return text;
}

} // namespace

namespace {

constexpr const char* kJoinJournalName = kJoinJournalFileName;
// A journal lists one move per entry that comes in, each line under 4 KiB.
constexpr std::size_t kJoinJournalBound = std::size_t{1} << 32;

std::string journalField(const std::string& text) {
    return text.empty() ? "." : mtreeEscaped(text);
}

// The moves of the journal in `workFd`; false when there is none, it is not
// this user's (a regular file of one link), or a line does not read whole
// with names that stay below the output folder.
bool readJoinJournal(int workFd, std::vector<JoinMove>& moves) {
    FileDescriptor fd = openFileAt(workFd, kJoinJournalName);
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0 || st.st_uid != geteuid() || st.st_nlink != 1 ||
        static_cast<uint64_t>(st.st_size) > kJoinJournalBound)
        return false;
    LineReader lines(fd.get(), st.st_size, 8 * 1024);
    std::string_view line;
    for (;;) {
        const LineReader::Next next = lines.next(line);
        if (next == LineReader::Next::End) return true;
        if (next != LineReader::Next::Line) return false;
        JoinMove move;
        char kind = 0;
        unsigned long long device = 0, inode = 0;
        // Escaped, a folder below the output folder (the tree's name and a
        // path below it, each under 256 bytes) takes up to 4 * 511 characters.
        char folder[2100], name[1100], temporary[64];
        const std::string text(line);
        if (std::sscanf(text.c_str(), "%c %llu %llu %2099s %1099s %63s", &kind, &device, &inode,
                        folder, name, temporary) != 6 ||
            (kind != 'x' && kind != 'n' && kind != 'd'))
            return false;
        move.replaces = kind == 'x';
        move.makesFolder = kind == 'd';
        move.device = device;
        move.inode = inode;
        move.temporary = temporary;
        if (std::string_view(folder) != "." &&
            (!mtreeUnescaped(folder, move.folder) || !isSafeRelativePath(move.folder)))
            return false;
        if (!mtreeUnescaped(name, move.name) || !isSafeRelativePath(move.name) ||
            move.name.find('/') != std::string::npos || !isWorkingFolderName(move.temporary))
            return false;
        moves.push_back(std::move(move));
    }
}

} // namespace

bool writeJoinJournal(int workFd, const std::vector<JoinMove>& moves) {
    std::string text;
    for (const JoinMove& move : moves) {
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, " %" PRIu64 " %" PRIu64 " ", move.device,
                      move.inode);
        text += move.makesFolder ? 'd' : move.replaces ? 'x' : 'n';
        text.append(numbers).append(journalField(move.folder)).append(" ");
        text.append(journalField(move.name)).append(" ");
        text.append(move.temporary).append("\n");
    }
    return writeNewFile(workFd, kJoinJournalName, text) && fsync(workFd) == 0;
}

bool dropJoinJournal(int workFd) {
    return unlinkat(workFd, kJoinJournalName, 0) == 0 && fsync(workFd) == 0;
}

namespace {

// The folder a move's entry is in, opened below the output folder without
// following a link and never above it.
FileDescriptor moveFolder(int outFd, const JoinMove& move) {
    return move.folder.empty() ? FileDescriptor(::fcntl(outFd, F_DUPFD_CLOEXEC, 0))
                               : openFolderBelow(outFd, move.folder, false);
}

// The entry of `move` in `folderFd` is the one this run moved there.
bool isTheMovedEntry(int folderFd, const JoinMove& move) {
    struct stat there {};
    return fstatat(folderFd, move.name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           static_cast<uint64_t>(there.st_dev) == move.device &&
           static_cast<uint64_t>(there.st_ino) == move.inode;
}

} // namespace

bool undoJoinMoves(int outFd, int workFd, const std::vector<JoinMove>& moves) {
    // The folders made may already have their own bits (read-only, say):
    // private and writable again first, so what went into them can go.
    for (const JoinMove& move : moves) {
        if (!move.makesFolder) continue;
        const FileDescriptor in = moveFolder(outFd, move);
        const FileDescriptor made =
            in ? openFolderAt(in.get(), move.name.c_str()) : FileDescriptor();
        struct stat st {};
        if (made && fstat(made.get(), &st) == 0 &&
            static_cast<uint64_t>(st.st_dev) == move.device &&
            static_cast<uint64_t>(st.st_ino) == move.inode)
            fchmod(made.get(), 0700);
    }
    bool undone = true;
    for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
        FileDescriptor folder = moveFolder(outFd, *move);
        if (!folder) {
            undone = undone && errno == ENOENT; // its folder never came, nor did it
            continue;
        }
        if (!isTheMovedEntry(folder.get(), *move)) continue; // never made (or no longer ours)
        if (move->makesFolder) {
            // What went into it meanwhile is someone else's: then it stays.
            const bool gone = unlinkat(folder.get(), move->name.c_str(), AT_REMOVEDIR) == 0 ||
                              errno == ENOTEMPTY || errno == EEXIST;
            undone = gone && undone;
            fsync(folder.get());
            continue;
        }
        const bool ok = move->replaces
                            ? exchangeEntries(workFd, move->temporary, folder.get(), move->name)
                            : unlinkat(folder.get(), move->name.c_str(), 0) == 0;
        undone = ok && undone;
        if (ok) fsync(folder.get());
    }
    return undone;
}

void sweepLeftovers(int folderFd, RunContext& run) {
    SweepReport report;
    std::vector<std::string> unknown; // named like ours, but not this user's own state
    for (const std::string& name : namesIn(folderFd)) {
        if (run.stopRequested()) break; // the rest waits for the next run
        if (!isWorkingFolderName(name)) continue;
        FileDescriptor folder = openFolderAt(folderFd, name.c_str());
        if (!folder && errno == ENOENT) continue; // gone meanwhile
        if (!folder || !isOwnPrivateFolder(folder.get())) {
            unknown.push_back(name);
            continue;
        }
        if (!lockFolder(folder.get(), true)) continue; // its run is alive
        const EntryKind markerKind = entryAt(folder.get(), kRunMarkerName);
        if (markerKind == EntryKind::Missing) {
            // Killed between making the folder and marking it, or after
            // emptying it: an empty folder holds nothing to lose.
            if (unlinkat(folderFd, name.c_str(), AT_REMOVEDIR) == 0) ++report.folders;
            continue;
        }
        const std::optional<std::string> marker = readMarker(folder.get());
        if (!marker) {
            unknown.push_back(name);
            continue;
        }
        if (marker->rfind(kJournalTag, 0) == 0) {
            std::string kept;
            if (settleReplaceJournal(folderFd, name, &kept))
                ++report.finished;
            else if (kept.empty())
                unknown.push_back(name);
            if (!kept.empty()) report.notes.push_back(kept);
            continue;
        }
        // Only on the word of a marker that could be read: a working folder's,
        // whole or cut short as it was written.
        if (!isPlainMarker(marker)) {
            unknown.push_back(name);
            continue;
        }
        // A join killed while it moved its files in: the moves made are undone first.
        if (entryAt(folder.get(), kJoinJournalName) != EntryKind::Missing) {
            std::vector<JoinMove> moves;
            if (!readJoinJournal(folder.get(), moves)) {
                unknown.push_back(name);
                continue;
            }
            if (!undoJoinMoves(folderFd, folder.get(), moves)) {
                report.notes.push_back("could not undo the moves of a stopped join kept in " +
                                       name);
                continue;
            }
            ++report.undoneJoins;
        }
        int64_t bytes = 0;
        if (removeFilesIn(folder.get(), bytes) &&
            unlinkat(folderFd, name.c_str(), AT_REMOVEDIR) == 0)
            ++report.folders;
        report.bytes += bytes;
    }
    if (!unknown.empty()) {
        std::string names;
        for (const std::string& name : unknown)
            names += (names.empty() ? "" : ", ") + name;
        report.notes.push_back("left alone " +
                               std::string(unknown.size() == 1 ? "a folder" : "folders") +
                               " named like this program's working folders but not made by "
                               "you, or not readable as one: " +
                               names);
    }
    if (const std::string text = describeSweep(report); !text.empty()) run.note(text);
}

bool sweepWhenAlone(int folderFd, RunContext& run) {
    if (!lockFolder(folderFd, true)) return false;
    sweepLeftovers(folderFd, run);
    return true;
}

bool replacementPending(int outFd, int folderFd, const std::string& setName) {
    Journal journal;
    if (parseJournal(readMarker(folderFd), journal)) return true;
    for (const std::string& name : namesIn(outFd)) {
        if (!isWorkingFolderName(name)) continue;
        FileDescriptor folder = openFolderAt(outFd, name.c_str());
        if (folder && isOwnPrivateFolder(folder.get()) &&
            parseJournal(readMarker(folder.get()), journal) && journal.destination == setName)
            return true;
    }
    return false;
}
