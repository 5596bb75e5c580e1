// The engine tests' operator new counts what it hands out while a test asks
// for it (bytesAllocatedDuring), so that a test can bound what a call
// allocates in all, not only what it keeps.
//
// Under AddressSanitizer and ThreadSanitizer the count is left out: the
// sanitizer brings its own operator new in every form and checks that each allocation is freed by
// its match, which a replacement of some forms would break. The bounds are then checked by the
// plain builds only.

#include "tests/engine/EngineTestSupport.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PARCELOR_TESTS_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PARCELOR_TESTS_UNDER_ASAN 1
#endif
#endif

namespace {
std::atomic<bool> gCounting{false};
std::atomic<std::size_t> gAllocated{0};
} // namespace

std::size_t bytesAllocatedDuring(const std::function<void()>& work) {
    gAllocated = 0;
    gCounting = true;
    work();
    gCounting = false;
    return gAllocated;
}

#ifndef PARCELOR_TESTS_UNDER_ASAN
// The array and nothrow forms of the standard library call these. GCC,
// inlining them where a caller deletes what it made with new, takes the free
// for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    if (gCounting.load(std::memory_order_relaxed))
        gAllocated.fetch_add(size, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif
