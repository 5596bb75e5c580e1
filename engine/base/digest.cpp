#include "engine/base/digest.h"

#include <openssl/evp.h>

EvpDigest::EvpDigest(const evp_md_st* algorithm) : context_(EVP_MD_CTX_new()) {
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, algorithm, nullptr) == 1;
}

EvpDigest::~EvpDigest() {
    EVP_MD_CTX_free(context_);
}

bool EvpDigest::update(const void* bytes, std::size_t length) {
    if (!ok()) return false;
    if (length == 0) return true;
    ok_ = EVP_DigestUpdate(context_, bytes, length) == 1;
    return ok_;
}

bool EvpDigest::finishInto(uint8_t* out, std::size_t size) {
    if (!ok()) return false;
    unsigned int written = 0;
    ok_ = EVP_DigestFinal_ex(context_, out, &written) == 1 && written == size;
    const bool result = ok_;
    ok_ = false;
    return result;
}

Md5Digest::Md5Digest() : EvpDigest(EVP_md5()) {}

Sha256Digest::Sha256Digest() : EvpDigest(EVP_sha256()) {}

std::string lowerHexOf(const uint8_t* bytes, std::size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    return text;
}

std::string Sha256Digest::finishHex() {
    Bytes value{};
    return finish(value) ? lowerHexOf(value.data(), value.size()) : std::string();
}

std::string Md5Digest::finishHex() {
    Bytes value{};
    return finish(value) ? lowerHexOf(value.data(), value.size()) : std::string();
}
