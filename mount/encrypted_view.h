#pragma once
// An encrypted set seen through a mount: the set's one file is an age
// stream of a tar, read by chunk where a read needs it. The header is opened
// once (its scrypt) when the mount starts; the tar is indexed then by one
// pass that decrypts only the chunks holding its headers and skips the
// files' bytes by arithmetic. The index lives in memory (linear in the
// files); nothing decrypted is written anywhere.
//
// Every chunk must authenticate before a byte of it goes out, on top of
// the pieces' own check against SHA256SUMS: a chunk that does not gives EIO
// for its ranges. A few decrypted chunks are kept, so reads in sequence
// decrypt each chunk once.

#include "engine/format/age_format.h"
#include "mount/set_view.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

class EncryptedView {
public:
    // Opens the stream of `view`'s set with `password`, checks that its last
    // chunk authenticates as the last where the set's length puts it, and
    // gives `view` the tree of its tar, refusing what the join refuses.
    // Null, with the failure in `run` (WrongPassword for a wrong password).
    static std::unique_ptr<EncryptedView> open(SetView& view, const std::string& password,
                                               RunContext& run);

    // Reads `size` bytes (within the file) of file `node` at `offset`: the
    // bytes read, or -EIO when a chunk holding them cannot be read or does
    // not authenticate.
    int64_t read(const ViewNode& node, char* out, int64_t size, int64_t offset);

private:
    using Chunk = std::shared_ptr<const std::vector<char>>;
    EncryptedView(SetView& view, const std::string& password) : view_(view), decryptor_(password) {}
    // Chunk `index`'s plaintext, from the cache or decrypted; null, with
    // `why`, when it cannot be read or does not authenticate.
    Chunk chunk(int64_t index, std::string* why = nullptr);
    bool index(RunContext& run);

    SetView& view_;
    AgeDecryptor decryptor_;
    int64_t chunks_ = 0;
    int64_t plainSize_ = 0;
    std::vector<int64_t> dataOffsets_; // by file, where its bytes begin in the tar

    static constexpr std::size_t kCachedChunks = 8;
    struct Slot {
        int64_t index = -1;
        Chunk bytes;
        uint64_t used = 0;
    };
    std::mutex cacheMutex_;
    std::array<Slot, kCachedChunks> cache_;
    uint64_t clock_ = 0;
    std::unordered_set<int64_t> reported_; // chunks said not to authenticate
};
