#include "engine/digest.h"

#include <openssl/evp.h>

Md5Digest::Md5Digest() : context_(EVP_MD_CTX_new()) {
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_md5(), nullptr) == 1;
}

Md5Digest::~Md5Digest() {
    EVP_MD_CTX_free(context_);
}

bool Md5Digest::update(const void* bytes, uint32_t length) {
    if (!ok()) return false;
    if (length == 0) return true;
    ok_ = EVP_DigestUpdate(context_, bytes, length) == 1;
    return ok_;
}

bool Md5Digest::finish(Bytes& out) {
    if (!ok()) return false;
    unsigned int written = 0;
    ok_ = EVP_DigestFinal_ex(context_, out.data(), &written) == 1 && written == kDigestBytes;
    const bool result = ok_;
    ok_ = false;
    return result;
}
