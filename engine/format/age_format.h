#pragma once
// The age encryption format (v1) with a passphrase: the header with one
// `scrypt` stanza and its MAC, then the STREAM payload (ChaCha20-Poly1305 in
// 64 KiB chunks). What we write `age -d` opens, and we open what `age -e -p`
// writes. Every primitive is OpenSSL's (EVP): scrypt and HKDF-SHA-256 as
// EVP_KDF, HMAC-SHA-256 as EVP_MAC, ChaCha20-Poly1305 as EVP_CIPHER.
//
// Both directions are pipeline transforms (pipeline.h): bytes in, bytes
// out, one chunk held at a time, so memory does not grow with the stream.

#include "engine/base/pipeline.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

inline constexpr int kAgeWriteWorkFactor = 18; // log2 of scrypt's N when we encrypt
inline constexpr int kAgeMaxWorkFactor = 22;   // the most we accept when we decrypt
inline constexpr std::size_t kAgeChunk = 64 * 1024;
inline constexpr std::size_t kAgeTag = 16;

// Why a decryption failed, for messages and tests.
enum class AgeProblem {
    None,
    Header,        // not an age v1 header we read, or not a single scrypt stanza
    WorkFactor,    // the scrypt work factor is past what we accept, or the memory there is
    NotPassphrase, // no passphrase stanza: the file was encrypted to a key
    WrongPassword, // the stanza's tag does not verify with this passphrase
    HeaderMac,     // the file key opened but the header's MAC does not match
    Payload,       // a chunk does not authenticate, or the stream is cut or has more
    Internal,      // the crypto library failed
};

// The memory scrypt takes at `workFactor` (log2 of N, with r = 8): 128·r·N
// bytes and 1 MiB more; 257 MiB at 18, 4 GiB at 22.
uint64_t ageScryptMemory(int workFactor);
// MemAvailable of /proc/meminfo, in bytes; nullopt when it cannot be read.
std::optional<uint64_t> availableMemory();
// Why a passphrase stanza's work factor is not opened ("" when it is): past
// kAgeMaxWorkFactor, or needing more memory than `availableBytes` (not
// checked when unknown). The reason names the factor.
std::string ageWorkFactorProblem(int workFactor, std::optional<uint64_t> availableBytes);

// What `size` bytes of plaintext become with a header of `headerSize` bytes.
int64_t ageEncryptedSize(int64_t plainSize, int64_t headerSize);
// The longest header a decryptor reads.
inline constexpr std::size_t kAgeHeaderBound = 16 * 1024;
// The chunks of a payload of `payloadBytes` (after the nonce) and the
// plaintext they hold; false when no stream has that length (its last
// chunk would be shorter than its tag, or empty after another chunk).
bool ageChunkLayout(int64_t payloadBytes, int64_t& chunks, int64_t& plainBytes);

// The 16-byte file key and the header text for it, wrapped with `passphrase`.
struct AgeHeader {
    std::array<uint8_t, 16> fileKey{};
    std::string text; // from "age-encryption.org/v1\n" to the MAC line's newline
};
// A new file key wrapped for `passphrase` at `workFactor`; false (with
// `problem`) when the crypto library fails.
bool makeAgeHeader(const std::string& passphrase, int workFactor, AgeHeader& out);
// Wraps `out.fileKey` for `passphrase`, filling `out.text`.
bool wrapAgeFileKey(const std::string& passphrase, int workFactor, AgeHeader& out);
// The length of a header with one scrypt stanza at `workFactor`.
std::size_t ageHeaderSize(int workFactor);

// Encrypts a stream: the header, the payload nonce, then the chunks.
class AgeEncryptor : public Transform {
public:
    // Generates the file key and wraps it: here, or, when `deferHeader`, on a
    // thread of its own while the stream goes on; the stream then begins
    // with zeros in the header's place, and header() gives what belongs
    // there (the caller writes it, before anything reads the stream's start).
    AgeEncryptor(const std::string& passphrase, int workFactor = kAgeWriteWorkFactor,
                 bool deferHeader = false);
    ~AgeEncryptor() override;
    AgeEncryptor(const AgeEncryptor&) = delete;
    AgeEncryptor& operator=(const AgeEncryptor&) = delete;
    // The header, once its scrypt is done (waits for it); "" when it failed.
    const std::string& header();
    std::size_t headerSize() const { return headerSize_; }
    bool ready() const { return ready_; }
    int64_t outputSize(int64_t inputSize) const override;
    bool apply(const char* data, std::size_t size, std::vector<char>& out) override;
    bool finish(std::vector<char>& out) override;
    // The header, when it was deferred (its place holds zeros); waits for it.
    bool deferredStart(std::string& bytes) override;

private:
    bool seal(bool last, std::vector<char>& out);
    struct Keys;
    std::unique_ptr<Keys> keys_;
    std::string header_;
    std::size_t headerSize_ = 0;
    bool deferred_ = false;
    std::thread wrapping_;
    bool started_ = false;
    bool ready_ = false;
    std::vector<char> pending_; // at most one chunk: the last one is sealed as final
    uint64_t counter_ = 0;
};

// Decrypts a stream. The passphrase opens the header; every chunk must
// authenticate, the last one as final, and nothing may follow it.
class AgeDecryptor : public Transform {
public:
    // A work factor whose scrypt needs more than `availableBytes` is refused
    // before anything is allocated for it.
    explicit AgeDecryptor(std::string passphrase,
                          std::optional<uint64_t> availableBytes = availableMemory());
    // For a test with a known file key: the header is read but not opened.
    static std::unique_ptr<AgeDecryptor> withFileKey(const std::array<uint8_t, 16>& fileKey);
    ~AgeDecryptor() override;
    int64_t outputSize(int64_t) const override { return -1; }
    bool apply(const char* data, std::size_t size, std::vector<char>& out) override;
    bool finish(std::vector<char>& out) override;
    AgeProblem problem() const { return problem_; }

    // Random access, for a reader that decrypts chunks where it needs them:
    // opens the header and derives the payload key from the stream's first
    // `size` bytes (the header and the payload's nonce; kAgeHeaderBound + 16
    // bytes hold both). False, with problem(), when the header does not open.
    bool openHeader(const char* start, std::size_t size);
    // Where chunk 0 begins in the stream, once openHeader succeeded.
    int64_t payloadOffset() const { return payloadOffset_; }
    // Opens chunk `index` (sealed, `size` bytes with its tag) into `out`
    // (size - kAgeTag bytes); `last` for the stream's final chunk. False when
    // it does not authenticate as that chunk. Safe from several threads.
    bool openChunk(uint64_t index, bool last, const char* sealed, std::size_t size,
                   char* out) const;
    // "the password is wrong", "chunk 3 does not authenticate", ...
    const std::string& reason() const { return reason_; }

private:
    bool fail(AgeProblem problem, std::string reason);
    bool readHeader(std::vector<char>& out);
    bool open(bool last, std::vector<char>& out);
    std::string passphrase_;
    std::optional<uint64_t> availableBytes_;
    bool knownKey_ = false;
    std::array<uint8_t, 16> fileKey_{};
    std::array<uint8_t, 32> payloadKey_{};
    bool headerDone_ = false;
    bool keyed_ = false;       // the payload's nonce was read and its key derived
    std::vector<char> buffer_; // the header until it is read, then at most one chunk and a byte
    uint64_t counter_ = 0;
    bool ended_ = false; // the final chunk was opened
    int64_t payloadOffset_ = -1;
    AgeProblem problem_ = AgeProblem::None;
    std::string reason_;
};

// Base64 as age writes it: standard alphabet, no padding; the decoder takes
// only the canonical form.
std::string ageBase64(const uint8_t* data, std::size_t size);
bool ageBase64Decode(const std::string& text, std::vector<uint8_t>& out);
