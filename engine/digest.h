#pragma once
// A thin MD5 layer over libcrypto's EVP interface. The rest of the engine goes
// through this class and never touches libcrypto directly.

#include <array>
#include <cstdint>

struct evp_md_ctx_st;

class Md5Digest {
public:
    static constexpr std::size_t kDigestBytes = 16;
    using Bytes = std::array<uint8_t, kDigestBytes>;

    // Starts a fresh digest. ok() is false if libcrypto could not set one up.
    Md5Digest();
    ~Md5Digest();
    Md5Digest(const Md5Digest&) = delete;
    Md5Digest& operator=(const Md5Digest&) = delete;

    bool ok() const { return context_ != nullptr && ok_; }

    // Adds `length` bytes. Returns false (and the digest is spoiled) on failure.
    bool update(const void* bytes, uint32_t length);

    // Ends the digest and writes its 16 bytes. Returns false on failure; the
    // digest cannot be updated afterwards.
    bool finish(Bytes& out);

private:
    evp_md_ctx_st* context_ = nullptr;
    bool ok_ = false;
};
