#pragma once
// A thin layer over libcrypto's EVP digests (MD5 for fingerprints and the
// password digest, SHA-256 for the checksum files). The rest of the engine
// goes through these classes and never touches libcrypto directly.

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
