#include "engine/format/age_format.h"

#include "engine/base/utilities.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kVersionLine = "age-encryption.org/v1";
constexpr const char* kScryptLabel = "age-encryption.org/v1/scrypt";
constexpr std::size_t kNonce = 16;
constexpr std::size_t kSealed = kAgeChunk + kAgeTag;
// A header is a few hundred bytes; anything past this is not one we read.
constexpr std::size_t kHeaderBound = kAgeHeaderBound;
constexpr uint32_t kScryptR = 8;

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool hkdf(const uint8_t* key, std::size_t keySize, const uint8_t* salt, std::size_t saltSize,
          const char* info, uint8_t* out, std::size_t outSize) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    if (!kdf) return false;
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (!ctx) return false;
    OSSL_PARAM params[5];
    std::size_t n = 0;
    params[n++] =
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("SHA256"), 0);
    params[n++] =
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(key), keySize);
    if (saltSize > 0)
        params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                                        const_cast<uint8_t*>(salt), saltSize);
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info),
                                                    std::strlen(info));
    params[n] = OSSL_PARAM_construct_end();
    const bool ok = EVP_KDF_derive(ctx, out, outSize, params) == 1;
    EVP_KDF_CTX_free(ctx);
    return ok;
}

bool scrypt(const std::string& passphrase, const uint8_t* salt, int workFactor, uint8_t* out) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "SCRYPT", nullptr);
    if (!kdf) return false;
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (!ctx) return false;
    std::vector<uint8_t> fullSalt(kScryptLabel, kScryptLabel + std::strlen(kScryptLabel));
    fullSalt.insert(fullSalt.end(), salt, salt + 16);
    uint64_t n = uint64_t{1} << workFactor;
    uint32_t r = kScryptR, p = 1;
    uint64_t maxmem = ageScryptMemory(workFactor);
    static char empty[1] = {0};
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_PASSWORD,
            passphrase.empty() ? empty : const_cast<char*>(passphrase.data()), passphrase.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, fullSalt.data(), fullSalt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxmem),
        OSSL_PARAM_construct_end(),
    };
    const bool ok = EVP_KDF_derive(ctx, out, 32, params) == 1;
    EVP_KDF_CTX_free(ctx);
    return ok;
}

bool hmacSha256(const uint8_t* key, const char* data, std::size_t size, uint8_t* out) {
    std::size_t length = 0;
    return EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key, 32,
                     reinterpret_cast<const unsigned char*>(data), size, out, 32,
                     &length) != nullptr &&
           length == 32;
}

// ChaCha20-Poly1305 of `size` bytes with `key` and `nonce` (12 bytes), the
// tag after the ciphertext; or the reverse, false when the tag does not verify.
bool chachaSeal(const uint8_t* key, const uint8_t* nonce, const uint8_t* in, std::size_t size,
                uint8_t* out) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int length = 0, final = 0;
    const bool ok =
        ctx && EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, key, nonce) == 1 &&
        (size == 0 || EVP_EncryptUpdate(ctx, out, &length, in, static_cast<int>(size)) == 1) &&
        EVP_EncryptFinal_ex(ctx, out + length, &final) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kAgeTag), out + size) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}
bool chachaOpen(const uint8_t* key, const uint8_t* nonce, const uint8_t* in, std::size_t size,
                uint8_t* out) {
    if (size < kAgeTag) return false;
    const std::size_t body = size - kAgeTag;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int length = 0, final = 0;
    const bool ok =
        ctx && EVP_DecryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, key, nonce) == 1 &&
        (body == 0 || EVP_DecryptUpdate(ctx, out, &length, in, static_cast<int>(body)) == 1) &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kAgeTag),
                            const_cast<uint8_t*>(in + body)) == 1 &&
        EVP_DecryptFinal_ex(ctx, out + length, &final) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) OPENSSL_cleanse(out, body);
    return ok;
}

void chunkNonce(uint64_t counter, bool last, uint8_t nonce[12]) {
    std::memset(nonce, 0, 12);
    for (int i = 0; i < 8; ++i)
        nonce[10 - i] = static_cast<uint8_t>(counter >> (8 * i));
    nonce[11] = last ? 1 : 0;
}

std::vector<std::string> splitArguments(const std::string& line) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at <= line.size()) {
        const std::size_t space = line.find(' ', at);
        out.push_back(line.substr(at, space == std::string::npos ? std::string::npos : space - at));
        if (space == std::string::npos) break;
        at = space + 1;
    }
    return out;
}

bool visible(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : bytesOf(text))
        if (c < 0x21 || c > 0x7E) return false;
    return true;
}

} // namespace

uint64_t ageScryptMemory(int workFactor) {
    // What scrypt needs at this N (128·r·N), and a little more.
    return 128 * uint64_t{kScryptR} * (uint64_t{1} << workFactor) + (uint64_t{1} << 20);
}

std::optional<uint64_t> availableMemory() {
    std::FILE* file = std::fopen("/proc/meminfo", "re");
    if (!file) return std::nullopt;
    std::optional<uint64_t> bytes;
    char line[256];
    unsigned long long kib = 0;
    while (!bytes && std::fgets(line, sizeof line, file))
        if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) bytes = uint64_t{kib} * 1024;
    std::fclose(file);
    return bytes;
}

std::string ageWorkFactorProblem(int workFactor, std::optional<uint64_t> availableBytes) {
    const std::string factor = "its scrypt work factor " + std::to_string(workFactor);
    if (workFactor < 1 || workFactor > kAgeMaxWorkFactor)
        return factor + " is past the " + std::to_string(kAgeMaxWorkFactor) +
               " this program accepts";
    const uint64_t needs = ageScryptMemory(workFactor);
    if (availableBytes && needs > *availableBytes)
        return factor + " needs " + std::to_string(needs >> 20) + " MiB of memory, more than the " +
               std::to_string(*availableBytes >> 20) + " MiB available";
    return {};
}

std::string ageBase64(const uint8_t* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        const uint32_t a = data[i], b = i + 1 < size ? data[i + 1] : 0,
                       c = i + 2 < size ? data[i + 2] : 0;
        const uint32_t v = a << 16 | b << 8 | c;
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        if (i + 1 < size) out += kAlphabet[v >> 6 & 63];
        if (i + 2 < size) out += kAlphabet[v & 63];
    }
    return out;
}

bool ageBase64Decode(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    if (text.size() % 4 == 1) return false;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const char* at = std::strchr(kAlphabet, c);
        if (c == '\0' || !at) return false;
        bits = bits << 6 | static_cast<uint32_t>(at - kAlphabet);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(bits >> count));
            bits &= (1u << count) - 1;
        }
    }
    return bits == 0; // the unused low bits of the last character are zero: canonical
}

int64_t ageEncryptedSize(int64_t plainSize, int64_t headerSize) {
    const int64_t chunk = static_cast<int64_t>(kAgeChunk);
    const int64_t chunks = plainSize == 0 ? 1 : (plainSize + chunk - 1) / chunk;
    return headerSize + static_cast<int64_t>(kNonce) + plainSize +
           chunks * static_cast<int64_t>(kAgeTag);
}

bool ageChunkLayout(int64_t payloadBytes, int64_t& chunks, int64_t& plainBytes) {
    const int64_t sealed = static_cast<int64_t>(kSealed);
    const int64_t tag = static_cast<int64_t>(kAgeTag);
    if (payloadBytes < tag) return false;
    chunks = (payloadBytes + sealed - 1) / sealed;
    const int64_t last = payloadBytes - (chunks - 1) * sealed;
    if (last < tag || (last == tag && chunks > 1)) return false;
    plainBytes = payloadBytes - chunks * tag;
    return true;
}

bool makeAgeHeader(const std::string& passphrase, int workFactor, AgeHeader& out) {
    return RAND_bytes(out.fileKey.data(), 16) == 1 && wrapAgeFileKey(passphrase, workFactor, out);
}

std::size_t ageHeaderSize(int workFactor) {
    return std::strlen(kVersionLine) + std::strlen("\n-> scrypt ") + 22 + 1 +
           std::to_string(workFactor).size() + 1 + 43 + std::strlen("\n--- ") + 43 + 1;
}

bool wrapAgeFileKey(const std::string& passphrase, int workFactor, AgeHeader& out) {
    uint8_t salt[16], wrapKey[32], body[32], macKey[32], mac[32];
    if (RAND_bytes(salt, 16) != 1 || !scrypt(passphrase, salt, workFactor, wrapKey)) return false;
    const uint8_t zero[12] = {};
    const bool sealed = chachaSeal(wrapKey, zero, out.fileKey.data(), 16, body);
    OPENSSL_cleanse(wrapKey, sizeof wrapKey);
    if (!sealed) return false;
    out.text = std::string(kVersionLine) + "\n-> scrypt " + ageBase64(salt, 16) + " " +
               std::to_string(workFactor) + "\n" + ageBase64(body, 32) + "\n---";
    const bool maced = hkdf(out.fileKey.data(), 16, nullptr, 0, "header", macKey, 32) &&
                       hmacSha256(macKey, out.text.data(), out.text.size(), mac);
    OPENSSL_cleanse(macKey, sizeof macKey);
    if (!maced) return false;
    out.text.append(" ").append(ageBase64(mac, 32)).append("\n");
    return true;
}

// ---- encryption -------------------------------------------------------------

struct AgeEncryptor::Keys {
    std::array<uint8_t, 16> fileKey{};
    std::array<uint8_t, 32> payloadKey{};
    std::array<uint8_t, kNonce> nonce{};
    ~Keys() {
        OPENSSL_cleanse(fileKey.data(), fileKey.size());
        OPENSSL_cleanse(payloadKey.data(), payloadKey.size());
    }
};

AgeEncryptor::AgeEncryptor(const std::string& passphrase, int workFactor, bool deferHeader)
    : keys_(std::make_unique<Keys>()) {
    // The payload key comes from the file key, not from the password: the
    // stream can start while scrypt wraps the file key.
    ready_ = RAND_bytes(keys_->fileKey.data(), 16) == 1 &&
             RAND_bytes(keys_->nonce.data(), kNonce) == 1 &&
             hkdf(keys_->fileKey.data(), 16, keys_->nonce.data(), kNonce, "payload",
                  keys_->payloadKey.data(), 32);
    headerSize_ = ageHeaderSize(workFactor);
    const auto wrap = [this, passphrase, workFactor] {
        AgeHeader header;
        header.fileKey = keys_->fileKey;
        if (wrapAgeFileKey(passphrase, workFactor, header) && header.text.size() == headerSize_)
            header_ = std::move(header.text);
        OPENSSL_cleanse(header.fileKey.data(), header.fileKey.size());
    };
    if (!ready_) return;
    if (deferHeader) {
        deferred_ = true;
        wrapping_ = std::thread(wrap);
    } else {
        wrap();
        ready_ = !header_.empty();
    }
}

AgeEncryptor::~AgeEncryptor() {
    if (wrapping_.joinable()) wrapping_.join();
}

const std::string& AgeEncryptor::header() {
    if (wrapping_.joinable()) wrapping_.join();
    return header_;
}

bool AgeEncryptor::deferredStart(std::string& bytes) {
    bytes = deferred_ ? header() : std::string();
    return !deferred_ || !bytes.empty();
}

int64_t AgeEncryptor::outputSize(int64_t inputSize) const {
    return ready_ && inputSize >= 0 ? ageEncryptedSize(inputSize, static_cast<int64_t>(headerSize_))
                                    : -1;
}

bool AgeEncryptor::seal(bool last, std::vector<char>& out) {
    const std::size_t size = std::min(pending_.size(), kAgeChunk);
    uint8_t nonce[12];
    chunkNonce(counter_++, last, nonce);
    const std::size_t at = out.size();
    out.resize(at + size + kAgeTag);
    if (!chachaSeal(keys_->payloadKey.data(), nonce,
                    reinterpret_cast<const uint8_t*>(pending_.data()), size,
                    reinterpret_cast<uint8_t*>(out.data() + at)))
        return false;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
    return true;
}

bool AgeEncryptor::apply(const char* data, std::size_t size, std::vector<char>& out) {
    if (!ready_) return false;
    if (!started_) {
        started_ = true;
        // A deferred header's place is held with zeros until header() gives it.
        if (deferred_)
            out.insert(out.end(), headerSize_, '\0');
        else
            out.insert(out.end(), header_.begin(), header_.end());
        out.insert(out.end(), keys_->nonce.begin(), keys_->nonce.end());
    }
    while (size > 0) {
        // A full chunk is sealed only once a byte follows it: the last one is final.
        if (pending_.size() == kAgeChunk && !seal(false, out)) return false;
        const std::size_t take = std::min(size, kAgeChunk - pending_.size());
        pending_.insert(pending_.end(), data, data + take);
        data += take;
        size -= take;
    }
    return true;
}

bool AgeEncryptor::finish(std::vector<char>& out) {
    if (!ready_) return false;
    if (!started_ && !apply(nullptr, 0, out)) return false;
    return seal(true, out);
}

// ---- decryption -------------------------------------------------------------

AgeDecryptor::AgeDecryptor(std::string passphrase, std::optional<uint64_t> availableBytes)
    : passphrase_(std::move(passphrase)), availableBytes_(availableBytes) {}

std::unique_ptr<AgeDecryptor> AgeDecryptor::withFileKey(const std::array<uint8_t, 16>& fileKey) {
    auto decryptor = std::make_unique<AgeDecryptor>("");
    decryptor->knownKey_ = true;
    decryptor->fileKey_ = fileKey;
    return decryptor;
}

AgeDecryptor::~AgeDecryptor() {
    OPENSSL_cleanse(passphrase_.data(), passphrase_.size());
    OPENSSL_cleanse(fileKey_.data(), fileKey_.size());
    OPENSSL_cleanse(payloadKey_.data(), payloadKey_.size());
    if (!buffer_.empty()) OPENSSL_cleanse(buffer_.data(), buffer_.size());
}

bool AgeDecryptor::fail(AgeProblem problem, std::string reason) {
    if (problem_ == AgeProblem::None) {
        problem_ = problem;
        reason_ = std::move(reason);
    }
    return false;
}

// Reads the header once its MAC line is in the buffer; opens the file key.
bool AgeDecryptor::readHeader(std::vector<char>&) {
    const std::string text(buffer_.begin(), buffer_.end());
    std::size_t at = 0;
    const auto nextLine = [&](std::string& line) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        line = text.substr(at, end - at);
        at = end + 1;
        return true;
    };
    std::string line;
    if (!nextLine(line)) return true; // more is needed
    if (line != kVersionLine) return fail(AgeProblem::Header, "it is not an age v1 file");
    struct Stanza {
        std::vector<std::string> arguments;
        std::vector<uint8_t> body;
    };
    std::vector<Stanza> stanzas;
    std::size_t macAt = 0;
    std::string macText;
    for (;;) {
        const std::size_t lineStart = at;
        if (!nextLine(line)) return true;
        if (line.rfind("---", 0) == 0) {
            if (line.size() != 47 || line[3] != ' ')
                return fail(AgeProblem::Header, "its header's MAC line is malformed");
            macAt = lineStart + 3;
            macText = line.substr(4);
            break;
        }
        if (line.rfind("-> ", 0) != 0)
            return fail(AgeProblem::Header, "its header has a line that is not a stanza");
        Stanza stanza;
        stanza.arguments = splitArguments(line.substr(3));
        for (const std::string& argument : stanza.arguments)
            if (!visible(argument))
                return fail(AgeProblem::Header, "a stanza has an empty or invalid argument");
        std::string body;
        for (;;) {
            if (!nextLine(line)) return true;
            if (line.size() > 64)
                return fail(AgeProblem::Header, "a stanza's body line is too long");
            body += line;
            if (line.size() < 64) break;
        }
        if (!ageBase64Decode(body, stanza.body))
            return fail(AgeProblem::Header, "a stanza's body is not canonical base64");
        stanzas.push_back(std::move(stanza));
    }
    if (stanzas.empty()) return fail(AgeProblem::Header, "its header has no stanza");
    std::vector<uint8_t> mac;
    if (!ageBase64Decode(macText, mac) || mac.size() != 32)
        return fail(AgeProblem::Header, "its header's MAC is not canonical base64");
    if (!knownKey_) {
        bool scryptSeen = false;
        for (const Stanza& stanza : stanzas)
            scryptSeen = scryptSeen || stanza.arguments.front() == "scrypt";
        if (!scryptSeen)
            return fail(AgeProblem::NotPassphrase, "it is not encrypted with a passphrase");
        if (stanzas.size() != 1)
            return fail(AgeProblem::Header, "a passphrase stanza must be the only one");
        const Stanza& stanza = stanzas.front();
        std::vector<uint8_t> salt;
        if (stanza.arguments.size() != 3 || !ageBase64Decode(stanza.arguments[1], salt) ||
            salt.size() != 16)
            return fail(AgeProblem::Header, "its passphrase stanza is malformed");
        const std::string& factor = stanza.arguments[2];
        if (factor.empty() || factor.size() > 2 || factor[0] < '1' || factor[0] > '9' ||
            (factor.size() == 2 && (factor[1] < '0' || factor[1] > '9')))
            return fail(AgeProblem::Header, "its scrypt work factor is malformed");
        // Refused before scrypt allocates what the factor asks for.
        const int workFactor = std::stoi(factor);
        if (std::string why = ageWorkFactorProblem(workFactor, availableBytes_); !why.empty())
            return fail(AgeProblem::WorkFactor, std::move(why));
        if (stanza.body.size() != 32)
            return fail(AgeProblem::Header, "its passphrase stanza's body is not 32 bytes");
        uint8_t wrapKey[32];
        const uint8_t zero[12] = {};
        if (!scrypt(passphrase_, salt.data(), workFactor, wrapKey))
            return fail(AgeProblem::Internal, "the key derivation failed");
        const bool opened = chachaOpen(wrapKey, zero, stanza.body.data(), 32, fileKey_.data());
        OPENSSL_cleanse(wrapKey, sizeof wrapKey);
        if (!opened) return fail(AgeProblem::WrongPassword, "the password is wrong");
    }
    uint8_t macKey[32], expected[32];
    const bool maced = hkdf(fileKey_.data(), 16, nullptr, 0, "header", macKey, 32) &&
                       hmacSha256(macKey, text.data(), macAt, expected);
    OPENSSL_cleanse(macKey, sizeof macKey);
    if (!maced) return fail(AgeProblem::Internal, "the header's MAC could not be computed");
    if (CRYPTO_memcmp(expected, mac.data(), 32) != 0)
        return fail(AgeProblem::HeaderMac, "its header does not match its MAC: it was changed");
    headerDone_ = true;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

bool AgeDecryptor::open(bool last, std::vector<char>& out) {
    const std::size_t size = last ? buffer_.size() : kSealed;
    if (last && size == kAgeTag && counter_ > 0)
        return fail(AgeProblem::Payload, "its last chunk is empty");
    if (size < kAgeTag)
        return fail(AgeProblem::Payload,
                    "it is cut short inside chunk " + std::to_string(counter_));
    uint8_t nonce[12];
    chunkNonce(counter_, last, nonce);
    const std::size_t at = out.size();
    out.resize(at + size - kAgeTag);
    if (!chachaOpen(payloadKey_.data(), nonce, reinterpret_cast<const uint8_t*>(buffer_.data()),
                    size, reinterpret_cast<uint8_t*>(out.data() + at))) {
        out.resize(at);
        return fail(AgeProblem::Payload,
                    last ? "its last chunk does not authenticate as the last: it was "
                           "changed, cut or extended"
                         : "chunk " + std::to_string(counter_) + " does not authenticate");
    }
    ++counter_;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size));
    ended_ = last;
    return true;
}

bool AgeDecryptor::openHeader(const char* start, std::size_t size) {
    if (problem_ != AgeProblem::None) return false;
    std::vector<char> unused;
    buffer_.assign(start, start + std::min(size, kHeaderBound + kNonce));
    const std::size_t held = buffer_.size();
    if (!readHeader(unused)) return false;
    if (!headerDone_) return fail(AgeProblem::Header, "it ends inside its header");
    if (buffer_.size() < kNonce)
        return fail(AgeProblem::Payload, "it ends before its payload's nonce");
    if (!hkdf(fileKey_.data(), 16, reinterpret_cast<const uint8_t*>(buffer_.data()), kNonce,
              "payload", payloadKey_.data(), 32))
        return fail(AgeProblem::Internal, "the payload key could not be derived");
    keyed_ = true;
    payloadOffset_ = static_cast<int64_t>(held - buffer_.size() + kNonce);
    OPENSSL_cleanse(buffer_.data(), buffer_.size());
    buffer_.clear();
    return true;
}

bool AgeDecryptor::openChunk(uint64_t index, bool last, const char* sealed, std::size_t size,
                             char* out) const {
    if (!keyed_ || size < kAgeTag || size > kSealed) return false;
    uint8_t nonce[12];
    chunkNonce(index, last, nonce);
    return chachaOpen(payloadKey_.data(), nonce, reinterpret_cast<const uint8_t*>(sealed), size,
                      reinterpret_cast<uint8_t*>(out));
}

bool AgeDecryptor::apply(const char* data, std::size_t size, std::vector<char>& out) {
    if (problem_ != AgeProblem::None) return false;
    if (ended_ && size > 0) return fail(AgeProblem::Payload, "bytes follow its last chunk");
    while (size > 0) {
        // Take what the next step needs, no more: the header whole, the
        // nonce, then one sealed chunk and a byte (to know it is not the last).
        const std::size_t want = !headerDone_ ? std::min<std::size_t>(size, 4096)
                                              : kSealed + 1 - std::min(buffer_.size(), kSealed + 1);
        const std::size_t take = std::max<std::size_t>(std::min(size, want), 1);
        buffer_.insert(buffer_.end(), data, data + take);
        data += take;
        size -= take;
        if (!headerDone_) {
            if (!readHeader(out)) return false;
            // Counted from the first byte: a stream without a newline is
            // refused as soon as it is longer than any header.
            if (!headerDone_ && buffer_.size() > kHeaderBound)
                return fail(AgeProblem::Header, "its header is too long");
            if (!headerDone_) continue;
        }
        if (!keyed_) {
            if (buffer_.size() < kNonce) continue;
            if (!hkdf(fileKey_.data(), 16, reinterpret_cast<const uint8_t*>(buffer_.data()), kNonce,
                      "payload", payloadKey_.data(), 32))
                return fail(AgeProblem::Internal, "the payload key could not be derived");
            buffer_.erase(buffer_.begin(), buffer_.begin() + kNonce);
            keyed_ = true;
        }
        while (buffer_.size() > kSealed)
            if (!open(false, out)) return false;
    }
    return true;
}

bool AgeDecryptor::finish(std::vector<char>& out) {
    if (problem_ != AgeProblem::None) return false;
    if (!headerDone_) return fail(AgeProblem::Header, "it ends inside its header");
    if (ended_) return true;
    if (!keyed_) return fail(AgeProblem::Payload, "it ends before its payload's nonce");
    if (buffer_.empty())
        return fail(AgeProblem::Payload,
                    counter_ == 0 ? "it has no chunk" : "it has no last chunk");
    return open(true, out);
}
