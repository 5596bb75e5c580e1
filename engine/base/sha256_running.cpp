#include "engine/base/digest.h"
#include "engine/base/vector_state.h"

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define PARCELOR_SHA_INSTRUCTIONS 1
#endif

namespace {

constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

std::atomic<bool> libcryptoOnly{false};

#ifdef PARCELOR_SHA_INSTRUCTIONS

alignas(16) constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

bool processorHasSha() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool vectors = (c & bit_SSSE3) != 0 && (c & bit_SSE4_1) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return vectors && (b & bit_SHA) != 0;
}

// The state as the instructions hold it: ABEF and CDGH.
struct Lane {
    __m128i abef, cdgh;
};

#define PARCELOR_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Rounds 4 * Group to 4 * Group + 3 of one lane, with the message words
// they take (the block's own for the first 16 rounds, then expanded from
// the last four groups' words).
template <int Group>
PARCELOR_SHA_TARGET __attribute__((always_inline)) inline void
roundGroup(Lane& lane, __m128i (&words)[4], const uint8_t* at, __m128i order) {
    __m128i w;
    if constexpr (Group < 4) {
        w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * Group)),
                             order);
    } else {
        w = _mm_sha256msg1_epu32(words[Group & 3], words[(Group + 1) & 3]);
        w = _mm_add_epi32(w, _mm_alignr_epi8(words[(Group + 3) & 3], words[(Group + 2) & 3], 4));
        w = _mm_sha256msg2_epu32(w, words[(Group + 3) & 3]);
    }
    words[Group & 3] = w;
    __m128i sum =
        _mm_add_epi32(w, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * Group)));
    lane.cdgh = _mm_sha256rnds2_epu32(lane.cdgh, lane.abef, sum);
    sum = _mm_shuffle_epi32(sum, 0x0E);
    lane.abef = _mm_sha256rnds2_epu32(lane.abef, lane.cdgh, sum);
}

template <int Group, int Count, int... Lanes>
PARCELOR_SHA_TARGET __attribute__((always_inline)) inline void
laneRounds(Lane (&lane)[Count], __m128i (&words)[Count][4], const uint8_t* const (&at)[Count],
           __m128i order, std::integer_sequence<int, Lanes...>) {
    (roundGroup<Group>(lane[Lanes], words[Lanes], at[Lanes], order), ...);
}

// Each group of rounds of every lane, lane after lane within a group.
template <int Count, int... Group>
PARCELOR_SHA_TARGET __attribute__((always_inline)) inline void
allRounds(Lane (&lane)[Count], __m128i (&words)[Count][4], const uint8_t* const (&at)[Count],
          __m128i order, std::integer_sequence<int, Group...>) {
    (laneRounds<Group>(lane, words, at, order, std::make_integer_sequence<int, Count>()), ...);
}

// `blocks` 64-byte blocks into each of `Count` states, the lanes' rounds
// interleaved so that one lane's instructions fill the other's latencies.
// The SHA instructions are SSE ones: whatever ran before in this thread may
// have left the vector registers' upper halves in use, so they are cleared.
template <int Count>
PARCELOR_SHA_TARGET void compress(uint32_t* const* states, const uint8_t* const* data,
                                  std::size_t blocks) {
    clearUpperVectorHalves();
    const __m128i order = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    Lane lane[Count];
    const uint8_t* at[Count];
    for (int i = 0; i < Count; ++i) {
        const __m128i abcd =
            _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(states[i])), 0xB1);
        const __m128i efgh = _mm_shuffle_epi32(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(states[i] + 4)), 0x1B);
        lane[i].abef = _mm_alignr_epi8(abcd, efgh, 8);
        lane[i].cdgh = _mm_blend_epi16(efgh, abcd, 0xF0);
        at[i] = data[i];
    }
    for (; blocks > 0; --blocks) {
        Lane before[Count];
        __m128i words[Count][4];
        for (int i = 0; i < Count; ++i)
            before[i] = lane[i];
        allRounds<Count>(lane, words, at, order, std::make_integer_sequence<int, 16>());
        for (int i = 0; i < Count; ++i) {
            lane[i].abef = _mm_add_epi32(lane[i].abef, before[i].abef);
            lane[i].cdgh = _mm_add_epi32(lane[i].cdgh, before[i].cdgh);
            at[i] += 64;
        }
    }
    for (int i = 0; i < Count; ++i) {
        const __m128i feba = _mm_shuffle_epi32(lane[i].abef, 0x1B);
        const __m128i dchg = _mm_shuffle_epi32(lane[i].cdgh, 0xB1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(states[i]), _mm_blend_epi16(feba, dchg, 0xF0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(states[i] + 4), _mm_alignr_epi8(dchg, feba, 8));
    }
}

void compressOne(uint32_t* state, const uint8_t* data, std::size_t blocks) {
    uint32_t* states[1] = {state};
    const uint8_t* at[1] = {data};
    compress<1>(states, at, blocks);
}

void compressTwo(uint32_t* a, const uint8_t* aData, uint32_t* b, const uint8_t* bData,
                 std::size_t blocks) {
    uint32_t* states[2] = {a, b};
    const uint8_t* at[2] = {aData, bData};
    compress<2>(states, at, blocks);
}

#else

bool processorHasSha() {
    return false;
}
// Never called: without the instructions every state is libcrypto's.
void compressOne(uint32_t*, const uint8_t*, std::size_t) {}
void compressTwo(uint32_t*, const uint8_t*, uint32_t*, const uint8_t*, std::size_t) {}

#endif

bool ownState() {
    static const bool has = processorHasSha();
    return has && !libcryptoOnly.load(std::memory_order_relaxed);
}

} // namespace

bool Sha256Running::interleaves() {
    return ownState();
}

void Sha256Running::useLibcryptoOnly() {
    libcryptoOnly.store(true, std::memory_order_relaxed);
}

Sha256Running::Sha256Running() {
    if (ownState()) {
        std::memcpy(state_, kInitial, sizeof state_);
        return;
    }
    context_ = EVP_MD_CTX_new();
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
}

Sha256Running::Sha256Running(const Sha256Running& other) {
    *this = other;
}

Sha256Running& Sha256Running::operator=(const Sha256Running& other) {
    if (this == &other) return *this;
    if (other.context_) {
        if (!context_) context_ = EVP_MD_CTX_new();
        ok_ = other.ok_ && context_ != nullptr && EVP_MD_CTX_copy_ex(context_, other.context_) == 1;
        return *this;
    }
    EVP_MD_CTX_free(context_);
    context_ = nullptr;
    ok_ = other.ok_;
    std::memcpy(state_, other.state_, sizeof state_);
    std::memcpy(block_, other.block_, sizeof block_);
    buffered_ = other.buffered_;
    total_ = other.total_;
    return *this;
}

Sha256Running::~Sha256Running() {
    EVP_MD_CTX_free(context_);
}

bool Sha256Running::update(const void* bytes, std::size_t length) {
    if (!ok_) return false;
    if (length == 0) return true;
    if (context_) return ok_ = EVP_DigestUpdate(context_, bytes, length) == 1;
    const auto* at = static_cast<const uint8_t*>(bytes);
    total_ += length;
    if (buffered_ > 0) {
        const std::size_t take = std::min(length, sizeof block_ - buffered_);
        std::memcpy(block_ + buffered_, at, take);
        buffered_ += take;
        at += take;
        length -= take;
        if (buffered_ < sizeof block_) return true;
        compressOne(state_, block_, 1);
        buffered_ = 0;
    }
    const std::size_t blocks = length / 64;
    if (blocks > 0) compressOne(state_, at, blocks);
    at += 64 * blocks;
    length -= 64 * blocks;
    std::memcpy(block_, at, length);
    buffered_ = length;
    return true;
}

bool Sha256Running::updateBoth(Sha256Running& a, const void* aBytes, std::size_t aLength,
                               Sha256Running& b, const void* bBytes, std::size_t bLength) {
    if (a.context_ || b.context_ || !a.ok_ || !b.ok_ || &a == &b)
        return a.update(aBytes, aLength) && b.update(bBytes, bLength);
    const auto* aAt = static_cast<const uint8_t*>(aBytes);
    const auto* bAt = static_cast<const uint8_t*>(bBytes);
    // Each first fills the block it has begun, then the two go block by block.
    const auto lead = [](Sha256Running& digest, const uint8_t*& at, std::size_t& length) {
        if (digest.buffered_ == 0) return;
        const std::size_t take = std::min(length, sizeof digest.block_ - digest.buffered_);
        digest.update(at, take);
        at += take;
        length -= take;
    };
    lead(a, aAt, aLength);
    lead(b, bAt, bLength);
    if (a.buffered_ == 0 && b.buffered_ == 0) {
        const std::size_t blocks = std::min(aLength, bLength) / 64;
        if (blocks > 0) {
            compressTwo(a.state_, aAt, b.state_, bAt, blocks);
            a.total_ += 64 * blocks;
            b.total_ += 64 * blocks;
            aAt += 64 * blocks;
            bAt += 64 * blocks;
            aLength -= 64 * blocks;
            bLength -= 64 * blocks;
        }
    }
    return a.update(aAt, aLength) && b.update(bAt, bLength);
}

bool Sha256Running::finish(Bytes& out) {
    if (!ok_) return false;
    ok_ = false; // not to be updated after
    if (context_) {
        unsigned int written = 0;
        return EVP_DigestFinal_ex(context_, out.data(), &written) == 1 && written == out.size();
    }
    uint8_t tail[128] = {};
    std::memcpy(tail, block_, buffered_);
    tail[buffered_] = 0x80;
    const std::size_t length = buffered_ + 1 + 8 <= 64 ? 64 : 128;
    const uint64_t bits = total_ * 8;
    for (std::size_t i = 0; i < 8; ++i)
        tail[length - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    compressOne(state_, tail, length / 64);
    for (std::size_t i = 0; i < 8; ++i)
        for (std::size_t j = 0; j < 4; ++j)
            out[4 * i + j] = static_cast<uint8_t>(state_[i] >> (24 - 8 * j));
    return true;
}

std::string Sha256Running::finishHex() {
    Bytes value{};
    return finish(value) ? lowerHexOf(value.data(), value.size()) : std::string();
}
