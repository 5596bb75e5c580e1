#include "engine/base/vector_state.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>

namespace {

bool processorHasUpperHalves() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return false;
    unsigned low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & 0x6) == 0x6; // the system keeps the XMM and YMM state
}

__attribute__((target("avx"))) void zeroUpper() {
    _mm256_zeroupper();
}

} // namespace

void clearUpperVectorHalves() {
    static const bool has = processorHasUpperHalves();
    if (has) zeroUpper();
}

#else

void clearUpperVectorHalves() {}

#endif
