// The age format with a passphrase: the published test vectors, round trips
// through our own code at every chunk boundary, and both directions with the
// age program itself.

#include "engine/format/age_format.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string sha256Hex(const std::vector<char>& bytes) {
    unsigned char digest[32];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : digest)
        out += {hex[c >> 4], hex[c & 15]};
    return out;
}

std::string inflated(const std::string& bytes) {
    std::string out(1 << 26, '\0');
    uLongf size = static_cast<uLongf>(out.size());
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                   reinterpret_cast<const Bytef*>(bytes.data()),
                   static_cast<uLong>(bytes.size())) != Z_OK)
        return {};
    out.resize(size);
    return out;
}

// Runs `decryptor` over `bytes` in uneven steps; true when every step and the end succeeded.
bool decrypt(AgeDecryptor& decryptor, const std::string& bytes, std::vector<char>& out) {
    for (std::size_t at = 0; at < bytes.size(); at += 9973)
        if (!decryptor.apply(bytes.data() + at, std::min<std::size_t>(9973, bytes.size() - at),
                             out))
            return false;
    return decryptor.finish(out);
}

// The header `text`, up to and with its "---", closed with its MAC under `fileKey`.
std::string withMac(const std::array<uint8_t, 16>& fileKey, const std::string& text) {
    uint8_t macKey[32], mac[32];
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(fileKey.data()),
                                          fileKey.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>("header"), 6),
        OSSL_PARAM_construct_end(),
    };
    EXPECT_EQ(EVP_KDF_derive(ctx, macKey, sizeof macKey, params), 1);
    EVP_KDF_CTX_free(ctx);
    std::size_t length = 0;
    EXPECT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, macKey, sizeof macKey,
                        reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac,
                        sizeof mac, &length),
              nullptr);
    return text + " " + ageBase64(mac, sizeof mac) + "\n";
}

std::vector<char> encrypt(AgeEncryptor& encryptor, const std::string& plain) {
    std::vector<char> out;
    for (std::size_t at = 0; at < plain.size(); at += 30000)
        EXPECT_TRUE(encryptor.apply(plain.data() + at,
                                    std::min<std::size_t>(30000, plain.size() - at), out));
    EXPECT_TRUE(encryptor.finish(out));
    return out;
}

} // namespace

// Every passphrase vector, and every header, MAC and stream vector opened
// with its file key: success gives the payload's hash, each failure its kind.
TEST(AgeFormat, ThePublishedTestVectors) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(AGE_VECTORS)) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        const std::string file = readFile(entry.path().string());
        const std::size_t blank = file.find("\n\n");
        ASSERT_NE(blank, std::string::npos);
        std::multimap<std::string, std::string> keys;
        std::size_t at = 0;
        while (at < blank) {
            const std::size_t end = file.find('\n', at);
            const std::string line = file.substr(at, end - at);
            keys.emplace(line.substr(0, line.find(": ")), line.substr(line.find(": ") + 2));
            at = end + 1;
        }
        std::string body = file.substr(blank + 2);
        if (keys.count("compressed")) body = inflated(body);
        const std::string expect = keys.find("expect")->second;
        std::unique_ptr<AgeDecryptor> decryptor;
        if (name.rfind("scrypt", 0) == 0) {
            decryptor = std::make_unique<AgeDecryptor>(keys.find("passphrase")->second);
        } else {
            std::array<uint8_t, 16> key{};
            const std::string hex = keys.find("file key")->second;
            if (hex.size() != 32)
                continue; // a file key of another length is an X25519 stanza's concern
            for (std::size_t i = 0; i < 16; ++i)
                key[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
            decryptor = AgeDecryptor::withFileKey(key);
        }
        std::vector<char> plain;
        const bool ok = decrypt(*decryptor, body, plain);
        ++checked;
        if (expect == "success") {
            ASSERT_TRUE(ok) << decryptor->reason();
            EXPECT_EQ(sha256Hex(plain), keys.find("payload")->second);
            continue;
        }
        EXPECT_FALSE(ok);
        if (expect == "no match") {
            EXPECT_TRUE(decryptor->problem() == AgeProblem::WrongPassword ||
                        decryptor->problem() == AgeProblem::NotPassphrase)
                << decryptor->reason();
        }
        if (expect == "HMAC failure") {
            EXPECT_EQ(decryptor->problem(), AgeProblem::HeaderMac) << decryptor->reason();
        }
        if (expect == "payload failure") {
            EXPECT_EQ(decryptor->problem(), AgeProblem::Payload) << decryptor->reason();
        }
        if (name == "scrypt_work_factor_23") {
            EXPECT_EQ(decryptor->problem(), AgeProblem::WorkFactor);
        }
    }
    EXPECT_GE(checked, 60);
}

// Sizes at and around the chunk size, an empty stream, a changed byte
// anywhere, a cut stream, and a wrong or empty passphrase.
TEST(AgeFormat, OurOwnStreamsAtEveryChunkBoundary) {
    const std::string data = seededBytes(4, 3 * kAgeChunk + 5);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, kAgeChunk - 1, kAgeChunk,
                             kAgeChunk + 1, 2 * kAgeChunk, 3 * kAgeChunk + 5}) {
        SCOPED_TRACE(size);
        AgeEncryptor encryptor("correct horse", 10);
        ASSERT_TRUE(encryptor.ready());
        const std::string plain = data.substr(0, size);
        const std::vector<char> sealed = encrypt(encryptor, plain);
        EXPECT_EQ(static_cast<int64_t>(sealed.size()),
                  encryptor.outputSize(static_cast<int64_t>(size)));
        const std::string text(sealed.begin(), sealed.end());
        AgeDecryptor good("correct horse");
        std::vector<char> back;
        ASSERT_TRUE(decrypt(good, text, back)) << good.reason();
        EXPECT_EQ(std::string(back.begin(), back.end()), plain);

        AgeDecryptor wrong("correct horsE");
        back.clear();
        EXPECT_FALSE(decrypt(wrong, text, back));
        EXPECT_EQ(wrong.problem(), AgeProblem::WrongPassword);
        EXPECT_TRUE(back.empty());

        const std::size_t header = text.find("\n", text.find("---")) + 1;
        for (std::size_t at : {header - 2, header + 3, text.size() - 1}) {
            std::string changed = text;
            changed[at] ^= 0x01;
            AgeDecryptor reader("correct horse");
            back.clear();
            EXPECT_FALSE(decrypt(reader, changed, back)) << at;
        }
        AgeDecryptor cut("correct horse");
        back.clear();
        EXPECT_FALSE(decrypt(cut, text.substr(0, text.size() - 1), back));
    }
    AgeEncryptor empty("", 10);
    const std::vector<char> sealed = encrypt(empty, "x");
    AgeDecryptor reader("");
    std::vector<char> back;
    EXPECT_TRUE(decrypt(reader, std::string(sealed.begin(), sealed.end()), back))
        << reader.reason();
}

// What we write, age opens; what age writes, we open.
TEST(AgeFormat, TheAgeProgramAndWeReadEachOther) {
    if (std::system("command -v age >/dev/null") != 0)
        GTEST_SKIP() << "the age program is not installed";
    TempDir dir;
    const std::string plain = seededBytes(9, 200000);
    AgeEncryptor encryptor("two words", kAgeWriteWorkFactor);
    const std::vector<char> sealed = encrypt(encryptor, plain);
    writeFile(dir / "ours.age", std::string(sealed.begin(), sealed.end()));
    const std::string run = std::string("python3 ") + AGE_WITH_PASSPHRASE + " 'two words' ";
    ASSERT_EQ(
        std::system((run + "-d -o " + (dir / "ours.out") + " " + (dir / "ours.age") + " >/dev/null")
                        .c_str()),
        0);
    EXPECT_EQ(readFile(dir / "ours.out"), plain);

    writeFile(dir / "plain", plain);
    ASSERT_EQ(std::system(
                  (run + "-e -p -o " + (dir / "theirs.age") + " " + (dir / "plain") + " >/dev/null")
                      .c_str()),
              0);
    AgeDecryptor reader("two words");
    std::vector<char> back;
    ASSERT_TRUE(decrypt(reader, readFile(dir / "theirs.age"), back)) << reader.reason();
    EXPECT_EQ(std::string(back.begin(), back.end()), plain);
}

// What comes before a header ends is bounded from the first byte: 20 MB
// without a newline are refused at once as too long a header. A work factor
// whose scrypt needs more memory than is available is refused, naming it,
// before scrypt runs.
TEST(AgeFormat, AHeaderIsBoundedFromItsFirstByteAndScryptByTheMemoryThereIs) {
    const std::string endless(20'000'000, 'a');
    AgeDecryptor reader("pass");
    std::vector<char> out;
    EXPECT_FALSE(reader.apply(endless.data(), endless.size(), out));
    EXPECT_EQ(reader.problem(), AgeProblem::Header);
    EXPECT_EQ(reader.reason(), "its header is too long");

    const std::vector<uint8_t> salt(16, 7), body(32, 9), mac(32, 5);
    const std::string header = "age-encryption.org/v1\n-> scrypt " + ageBase64(salt.data(), 16) +
                               " 16\n" + ageBase64(body.data(), 32) + "\n--- " +
                               ageBase64(mac.data(), 32) + "\n";
    const struct {
        uint64_t available;
        AgeProblem problem;
        const char* reason;
    } table[] = {
        {uint64_t{32} << 20, AgeProblem::WorkFactor,
         "its scrypt work factor 16 needs 65 MiB of memory, more than the 32 MiB available"},
        // scrypt ran: the made-up stanza does not open.
        {uint64_t{128} << 20, AgeProblem::WrongPassword, "the password is wrong"},
    };
    for (const auto& row : table) {
        AgeDecryptor limited("pass", row.available);
        EXPECT_FALSE(limited.apply(header.data(), header.size(), out));
        ASSERT_EQ(limited.problem(), row.problem) << limited.reason();
        EXPECT_EQ(limited.reason(), row.reason);
    }
}

// Each rule of the header's lines refuses on its own, every header below
// carrying its right MAC: a stanza's body comes in lines of 64 characters,
// the last one shorter (empty when the body fills them); every stanza line
// begins "-> ", with arguments of visible characters; there is a stanza; and
// a passphrase's stanza is the only one.
TEST(AgeFormat, EachRuleOfTheHeaderLinesRefusesOnItsOwn) {
    const std::array<uint8_t, 16> key{7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0, 4, 5, 2};
    const std::string v1 = "age-encryption.org/v1\n";
    const struct {
        const char* what;
        std::string stanzas;
        AgeProblem problem;
    } table[] = {
        {"a stanza", "-> X\nAAAA\n", AgeProblem::None},
        {"a body that fills its line", "-> X\n" + std::string(64, 'A') + "\n\n", AgeProblem::None},
        {"a body line of 65", "-> X\n" + std::string(65, 'A') + "\nAAA\n", AgeProblem::Header},
        {"a line that is not a stanza", "-> X\n\n=> Y\n\n", AgeProblem::Header},
        {"an empty argument", "-> X  Y\n\n", AgeProblem::Header},
        {"no stanza", "", AgeProblem::Header},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.what);
        const std::unique_ptr<AgeDecryptor> reader = AgeDecryptor::withFileKey(key);
        const std::string header = withMac(key, v1 + row.stanzas + "---");
        std::vector<char> out;
        EXPECT_EQ(reader->apply(header.data(), header.size(), out),
                  row.problem == AgeProblem::None);
        EXPECT_EQ(reader->problem(), row.problem) << reader->reason();
    }
    AgeHeader made;
    made.fileKey = key;
    ASSERT_TRUE(wrapAgeFileKey("pass", 10, made));
    const std::string scrypt = made.text.substr(v1.size(), made.text.find("---") - v1.size());
    for (const auto& [stanzas, problem] : {std::pair{scrypt, AgeProblem::None},
                                           std::pair{scrypt + "-> X\n\n", AgeProblem::Header}}) {
        AgeDecryptor reader("pass");
        const std::string header = withMac(key, v1 + stanzas + "---");
        std::vector<char> out;
        EXPECT_EQ(reader.apply(header.data(), header.size(), out), problem == AgeProblem::None);
        EXPECT_EQ(reader.problem(), problem) << reader.reason();
    }
}
