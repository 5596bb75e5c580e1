#include "mount/encrypted_view.h"

#include "engine/base/utilities.h"
#include "engine/runs/encrypted_set.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unordered_map>

#include <sys/stat.h>

namespace {

constexpr int64_t kPlainChunk = static_cast<int64_t>(kAgeChunk);
constexpr int64_t kSealedChunk = static_cast<int64_t>(kAgeChunk + kAgeTag);

} // namespace

std::unique_ptr<EncryptedView> EncryptedView::open(SetView& view, const std::string& password,
                                                   RunContext& run) {
    std::unique_ptr<EncryptedView> self(new EncryptedView(view, password));
    const std::string& where = view.set_.path;
    const int64_t total = view.set_.manifest.totalSize();
    std::vector<char> start(
        static_cast<std::size_t>(std::min<int64_t>(total, kAgeHeaderBound + 16)));
    const int64_t got = view.readTarget(0, start.data(), static_cast<int64_t>(start.size()), 0);
    if (got != static_cast<int64_t>(start.size())) {
        run.fail(EngineFailure::PieceDamaged,
                 "cannot read the start of the encrypted set: " + view.pieceProblem(0), where);
        return nullptr;
    }
    const bool opened = self->decryptor_.openHeader(start.data(), start.size());
    OPENSSL_cleanse(start.data(), start.size());
    if (!opened) {
        if (self->decryptor_.problem() == AgeProblem::WrongPassword)
            run.fail(EngineFailure::WrongPassword, "wrong password", where);
        else
            run.fail(EngineFailure::PieceDamaged,
                     "the encrypted set cannot be opened: " + self->decryptor_.reason(), where);
        return nullptr;
    }
    // The set's length says where the last chunk is: it must authenticate
    // as the last one, so a stream cut at a chunk's end is refused.
    if (!ageChunkLayout(total - self->decryptor_.payloadOffset(), self->chunks_,
                        self->plainSize_)) {
        run.fail(EngineFailure::PieceDamaged, "the encrypted set's stream is cut short", where);
        return nullptr;
    }
    std::string why;
    if (!self->chunk(self->chunks_ - 1, &why)) {
        run.fail(EngineFailure::PieceDamaged, "the encrypted set's stream " + why, where);
        return nullptr;
    }
    if (!self->index(run)) return nullptr;
    return self;
}

EncryptedView::Chunk EncryptedView::chunk(int64_t index, std::string* why) {
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        for (Slot& slot : cache_)
            if (slot.index == index && slot.bytes) {
                slot.used = ++clock_;
                return slot.bytes;
            }
    }
    const bool last = index == chunks_ - 1;
    const int64_t offset = decryptor_.payloadOffset() + index * kSealedChunk;
    const int64_t sealed =
        last ? plainSize_ - index * kPlainChunk + static_cast<int64_t>(kAgeTag) : kSealedChunk;
    std::vector<char> cipher(static_cast<std::size_t>(sealed));
    if (view_.readTarget(0, cipher.data(), sealed, offset) != sealed) {
        if (why) *why = "cannot be read where chunk " + std::to_string(index) + " lies";
        return nullptr;
    }
    // A chunk's plaintext is wiped when its last holder lets it go.
    const std::shared_ptr<std::vector<char>> plain(
        new std::vector<char>(cipher.size() - kAgeTag), [](std::vector<char>* bytes) {
            OPENSSL_cleanse(bytes->data(), bytes->size());
            delete bytes;
        });
    const bool authentic = decryptor_.openChunk(static_cast<uint64_t>(index), last, cipher.data(),
                                                cipher.size(), plain->data());
    if (!authentic) {
        const std::string text =
            last ? "does not authenticate at its end: it was changed, cut or extended"
                 : "does not authenticate at chunk " + std::to_string(index);
        if (why) *why = text;
        std::lock_guard<std::mutex> lock(cacheMutex_);
        if (reported_.insert(index).second)
            view_.report("the encrypted set " + view_.set_.path + " " + text +
                         ": its bytes there are not served");
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(cacheMutex_);
    Slot* oldest = &cache_[0];
    for (Slot& slot : cache_)
        if (slot.used < oldest->used) oldest = &slot;
    oldest->index = index;
    oldest->bytes = plain;
    oldest->used = ++clock_;
    return plain;
}

// The tar's entries, checked as the join checks them, as nodes of the view.
bool EncryptedView::index(RunContext& run) {
    SetView& view = view_;
    view.nodes_.clear();
    view.names_.clear();
    if (!view.addRoot(run)) return false;
    const ViewNode root = view.nodes_[SetView::kRoot];
    std::unordered_map<std::string, uint32_t> folders; // by path, the top's own name first
    const auto folderOf = [&](const std::vector<std::string>& parts, std::size_t count) {
        uint32_t parent = SetView::kRoot;
        std::string path;
        for (std::size_t i = 0; i < count; ++i) {
            path += (i ? "/" : "") + parts[i];
            auto found = folders.find(path);
            if (found != folders.end()) {
                parent = found->second;
                continue;
            }
            // A folder the tar leaves out is made as the join makes it.
            const uint32_t made = view.addNode(parent, parts[i], NodeType::Folder);
            view.nodes_[made].mode = 0755;
            view.nodes_[made].mtimeSeconds = root.mtimeSeconds;
            view.nodes_[made].mtimeNanoseconds = root.mtimeNanoseconds;
            folders.emplace(path, made);
            parent = made;
        }
        return parent;
    };
    std::string failure;
    EngineFailure failureKind = EngineFailure::PieceDamaged;
    const TarRangeReader read = [&](int64_t offset, std::vector<char>& out) {
        if (run.stopIfRequested()) {
            failure = "the mount was stopped";
            failureKind = EngineFailure::Cancelled;
            return false;
        }
        std::string why;
        const Chunk bytes = chunk(offset / kPlainChunk, &why);
        if (!bytes) {
            failure = "the encrypted set's stream " + why;
            return false;
        }
        const auto within = static_cast<std::ptrdiff_t>(offset % kPlainChunk);
        out.assign(bytes->begin() + within, bytes->end());
        return true;
    };
    const auto take = [&](EncryptedTarEntry& entry) {
        if (view.nodes_.size() >= (std::size_t{1} << 31) ||
            view.names_.size() > UINT32_MAX - 2 * kPathBufferSize)
            return false;
        uint32_t made = 0;
        if (entry.type == S_IFDIR) {
            made = folderOf(entry.parts, entry.parts.size());
            view.nodes_[made].mode = (entry.mode & 07777) | 0700;
        } else {
            const uint32_t parent = folderOf(entry.parts, entry.parts.size() - 1);
            const NodeType type = entry.type == S_IFREG   ? NodeType::File
                                  : entry.type == S_IFLNK ? NodeType::Link
                                                          : NodeType::Fifo;
            made = view.addNode(parent, entry.parts.back(), type);
            ViewNode& node = view.nodes_[made];
            node.mode = entry.mode & 0777; // the join drops setuid and setgid
            if (type == NodeType::File) {
                node.first = static_cast<uint32_t>(dataOffsets_.size());
                node.size = entry.size;
                dataOffsets_.push_back(entry.dataOffset);
            } else if (type == NodeType::Link) {
                node.first = static_cast<uint32_t>(view.names_.size());
                node.size = static_cast<int64_t>(entry.link.size());
                view.names_.append(entry.link);
            }
        }
        view.nodes_[made].mtimeSeconds = entry.mtimeSeconds;
        view.nodes_[made].mtimeNanoseconds = entry.mtimeNanoseconds;
        return true;
    };
    std::string why;
    EngineFailure kind = EngineFailure::Other;
    if (!indexTarStream(plainSize_, read, take, why, kind)) {
        if (!failure.empty())
            run.fail(failureKind, failure, view.set_.path);
        else if (why == "the set holds what cannot be shown")
            run.fail(EngineFailure::TooLarge, "the set holds too many entries to mount",
                     view.set_.path);
        else
            run.fail(kind, "cannot mount " + view.set_.path + ": " + why, view.set_.path);
        return false;
    }
    return view.sortChildren(run);
}

int64_t EncryptedView::read(const ViewNode& node, char* out, int64_t size, int64_t offset) {
    if (node.first >= dataOffsets_.size()) return -EIO;
    int64_t at = dataOffsets_[node.first] + offset;
    int64_t done = 0;
    while (done < size) {
        const Chunk bytes = chunk(at / kPlainChunk);
        if (!bytes) return -EIO;
        const int64_t within = at % kPlainChunk;
        const int64_t take = std::min(size - done, static_cast<int64_t>(bytes->size()) - within);
        if (take <= 0) return -EIO;
        std::memcpy(out + done, bytes->data() + within, static_cast<std::size_t>(take));
        done += take;
        at += take;
    }
    return done;
}
