#include "engine/fs/tree_walk.h"

#include "engine/base/file_io.h"
#include "engine/fs/safe_fs.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A path below the root must fit a manifest's 256-byte name field.
constexpr std::size_t kPathLimit = 256;

void note(int64_t& count, std::vector<std::string>& names, const std::string& path) {
    if (names.size() < TreeLeftOut::kNamesKept) names.push_back(path);
    ++count;
}

struct Walker {
    const TreeWalkOptions& options;
    RunContext& run;
    std::string rootPath;
    TreeListing* listing = nullptr; // the entries are kept here, when listing
    TreeMeasure* measure = nullptr; // or only counted here
    TreeLeftOut& leftOut;

    std::string shown(const std::string& relative) const {
        return relative.empty() ? rootPath : rootPath + "/" + relative;
    }

    void add(TreeEntryType type, const std::string& path, const struct stat* st, int32_t link) {
        // A folder's setgid and sticky bits are stored; nothing else of the kind.
        if (st && (st->st_mode & (S_ISDIR(st->st_mode) ? S_ISUID : 07000)) != 0)
            ++leftOut.specialBits;
        if (!listing) return;
        TreeEntry entry;
        entry.path = path;
        entry.type = type;
        entry.link = link;
        if (st) {
            entry.mode = static_cast<uint32_t>(st->st_mode & 07777);
            entry.mtimeSeconds = static_cast<int64_t>(st->st_mtim.tv_sec);
            entry.mtimeNanoseconds = static_cast<int32_t>(st->st_mtim.tv_nsec);
        }
        listing->entries.push_back(std::move(entry));
    }

    // The folder open as `fd`, at `relative` below the root. False when the
    // walk cannot go on (the reason kept).
    bool folder(int fd, const std::string& relative, bool& holdsSomething) {
        struct stat self {};
        if (fstat(fd, &self) != 0) {
            run.failErrno("examine", shown(relative), errno);
            return false;
        }
        if (measure && !relative.empty()) ++measure->folders;
        add(TreeEntryType::Folder, relative, &self, -1);
        const int listFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
        if (!dir) {
            if (listFd >= 0) close(listFd);
            run.failErrno("list the folder", shown(relative), errno);
            return false;
        }
        bool ok = true;
        int64_t kept = 0;
        errno = 0;
        while (const dirent* item = readdir(dir)) {
            const char* name = item->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            const std::string path = relative.empty() ? name : relative + "/" + name;
            if (isReservedName(name)) {
                note(leftOut.reserved, leftOut.reservedNames, path);
                continue;
            }
            if (name[0] == '.' && !options.includeHidden) {
                note(leftOut.hidden, leftOut.hiddenNames, path);
                continue;
            }
            if (path.size() >= kPathLimit) {
                ok = run.refuse("the path of " + shown(path) + " is too long for a manifest",
                                EngineFailure::TooLarge);
                break;
            }
            unsigned char type = item->d_type;
            struct stat st {};
            const bool examine = type != DT_DIR && (type != DT_REG || options.examineFiles);
            if (examine || type == DT_UNKNOWN) {
                if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    ok = false;
                    run.failErrno("examine", shown(path), errno);
                    break;
                }
                type = static_cast<unsigned char>(IFTODT(st.st_mode));
            }
            ++kept;
            if (type == DT_DIR) {
                FileDescriptor sub(
                    ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (!sub) {
                    ok = false;
                    run.failErrno("list the folder", shown(path), errno);
                    break;
                }
                bool holds = false;
                if (!folder(sub.get(), path, holds)) {
                    ok = false;
                    break;
                }
                if (measure && !holds) ++measure->emptyFolders;
            } else if (type == DT_REG) {
                if (listing) ++listing->files;
                if (options.examineFiles) {
                    if (st.st_nlink > 1) ++leftOut.hardLinked;
                    if (st.st_size > 0 && st.st_blocks * 512 < st.st_size) ++leftOut.sparse;
                }
                if (measure) {
                    ++measure->files;
                    measure->bytes += static_cast<int64_t>(st.st_size);
                }
                add(TreeEntryType::File, path, options.examineFiles ? &st : nullptr, -1);
            } else if (type == DT_LNK) {
                char target[PATH_MAX];
                const ssize_t length = readlinkat(fd, name, target, sizeof target);
                if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) {
                    ok = false;
                    run.failErrno("read the link", shown(path), length < 0 ? errno : ENAMETOOLONG);
                    break;
                }
                int32_t index = -1;
                if (listing) {
                    index = static_cast<int32_t>(listing->linkTargets.size());
                    listing->linkTargets.emplace_back(target, static_cast<std::size_t>(length));
                }
                if (measure) ++measure->links;
                add(TreeEntryType::Link, path, &st, index);
            } else if (type == DT_FIFO) {
                if (measure) ++measure->fifos;
                add(TreeEntryType::Fifo, path, &st, -1);
            } else {
                --kept; // a device or a socket
                note(leftOut.special, leftOut.specialNames, path);
            }
            errno = 0;
        }
        if (ok && errno != 0) {
            ok = false;
            run.failErrno("list the folder", shown(relative), errno);
        }
        closedir(dir);
        holdsSomething = kept > 0;
        return ok;
    }
};

bool walk(const std::string& root, Walker& walker, RunContext& run) {
    FileDescriptor top = openFolderPath(root);
    if (!top) {
        run.failErrno("list the folder", root, errno);
        return false;
    }
    bool holds = false;
    return walker.folder(top.get(), "", holds);
}

std::string namesOf(const std::vector<std::string>& names, int64_t count, const char* one,
                    const char* many) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool last = i + 1 == names.size() && static_cast<int64_t>(names.size()) == count;
        text += (i == 0 ? "" : last ? " and " : ", ") + names[i];
    }
    const int64_t more = count - static_cast<int64_t>(names.size());
    if (more > 0) text += " and " + std::to_string(more) + " more " + (more == 1 ? one : many);
    return text;
}

std::string counted(int64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

bool walkTree(const std::string& root, const TreeWalkOptions& options, TreeListing& listing,
              RunContext& run) {
    listing = TreeListing{};
    Walker walker{options, run, root, &listing, nullptr, listing.leftOut};
    return walk(root, walker, run);
}

bool measureTree(const std::string& root, bool includeHidden, TreeMeasure& measure,
                 RunContext& run) {
    measure = TreeMeasure{};
    TreeWalkOptions options;
    options.includeHidden = includeHidden;
    options.examineFiles = true;
    Walker walker{options, run, root, nullptr, &measure, measure.leftOut};
    return walk(root, walker, run);
}

std::string describeLeftOut(const TreeLeftOut& leftOut, const std::string& hiddenAdvice) {
    std::vector<std::string> sentences;
    if (leftOut.hidden > 0)
        sentences.push_back(
            "Not stored: " +
            namesOf(leftOut.hiddenNames, leftOut.hidden, "hidden item", "hidden items") +
            (hiddenAdvice.empty() ? "" : "; " + hiddenAdvice) + ".");
    if (leftOut.reserved > 0)
        sentences.push_back(
            "Not stored: " + namesOf(leftOut.reservedNames, leftOut.reserved, "item", "items") +
            " (named as this program's own working files).");
    if (leftOut.special > 0)
        sentences.push_back("Not stored: " +
                            namesOf(leftOut.specialNames, leftOut.special, "device or socket",
                                    "devices or sockets") +
                            " (devices and sockets are never stored).");
    if (leftOut.hardLinked > 0)
        sentences.push_back(counted(leftOut.hardLinked, "file has", "files have") +
                            " other names (hard links): each is stored as a separate file.");
    if (leftOut.sparse > 0)
        sentences.push_back(counted(leftOut.sparse, "sparse file is", "sparse files are") +
                            " stored with every byte, holes included.");
    if (leftOut.specialBits > 0)
        sentences.push_back(counted(leftOut.specialBits, "item has", "items have") +
                            " setuid, setgid or sticky bits, which are not stored.");
    std::string text;
    for (const std::string& sentence : sentences)
        text += (text.empty() ? "" : " ") + sentence;
    return text;
}
