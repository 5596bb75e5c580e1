#pragma once
// A thin layer over libcrypto's EVP digests (MD5 for fingerprints and the
// password digest, SHA-256 for the checksum files), and a SHA-256 of this
// layer's own that two callers' bytes can be fed through at once. The rest of
// the engine goes through these classes and never touches libcrypto directly.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct evp_md_ctx_st;
struct evp_md_st;

// `size` bytes as lower-case hex, two characters a byte.
std::string lowerHexOf(const uint8_t* bytes, std::size_t size);

class EvpDigest {
public:
    EvpDigest(const EvpDigest&) = delete;
    EvpDigest& operator=(const EvpDigest&) = delete;

    bool ok() const { return context_ != nullptr && ok_; }
    // Adds `length` bytes. Returns false (and the digest is spoiled) on failure.
    bool update(const void* bytes, std::size_t length);

protected:
    explicit EvpDigest(const evp_md_st* algorithm);
    ~EvpDigest();
    // Ends the digest into `out`, which must hold `size` bytes. Returns false
    // on failure; the digest cannot be updated afterwards.
    bool finishInto(uint8_t* out, std::size_t size);

private:
    evp_md_ctx_st* context_ = nullptr;
    bool ok_ = false;
};

class Md5Digest : public EvpDigest {
public:
    static constexpr std::size_t kDigestBytes = 16;
    using Bytes = std::array<uint8_t, kDigestBytes>;
    // Starts a fresh digest. ok() is false if libcrypto could not set one up.
    Md5Digest();
    bool finish(Bytes& out) { return finishInto(out.data(), out.size()); }
    // Ends the digest as 32 lower-case hex characters; "" on failure.
    std::string finishHex();
};

class Sha256Digest : public EvpDigest {
public:
    static constexpr std::size_t kDigestBytes = 32;
    using Bytes = std::array<uint8_t, kDigestBytes>;
    Sha256Digest();
    bool finish(Bytes& out) { return finishInto(out.data(), out.size()); }
    // Ends the digest as 64 lower-case hex characters; "" on failure.
    std::string finishHex();
};

// A SHA-256 whose running state can be copied (kept aside, and taken back
// or dropped), and fed beside another over other bytes in one pass. Where
// the processor has the SHA instructions the state is this layer's own, and
// two digests fed together run interleaved for little more than the price
// of one; elsewhere it is libcrypto's, the two fed one after the other.
class Sha256Running {
public:
    using Bytes = Sha256Digest::Bytes;
    Sha256Running();
    Sha256Running(const Sha256Running& other);
    Sha256Running& operator=(const Sha256Running& other);
    ~Sha256Running();

    // Adds `length` bytes. Returns false (and the digest is spoiled) on failure.
    bool update(const void* bytes, std::size_t length);
    // Ends the digest into `out`; it cannot be updated afterwards.
    bool finish(Bytes& out);
    // Ends the digest as 64 lower-case hex characters; "" on failure.
    std::string finishHex();
    // Adds `aBytes` to `a` and `bBytes` to `b` (other bytes, or the same).
    static bool updateBoth(Sha256Running& a, const void* aBytes, std::size_t aLength,
                           Sha256Running& b, const void* bBytes, std::size_t bLength);
    // Whether two digests fed together cost about one here.
    static bool interleaves();
    // For tests: digests made from now on are libcrypto's on any processor.
    static void useLibcryptoOnly();

private:
    evp_md_ctx_st* context_ = nullptr; // libcrypto's state, when not this layer's
    bool ok_ = true;
    uint32_t state_[8] = {};
    uint8_t block_[64] = {};
    std::size_t buffered_ = 0; // bytes in block_
    uint64_t total_ = 0;       // bytes fed
};
