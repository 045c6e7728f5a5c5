// The audio callback allocates nothing: every allocation made on the test's thread while a block runs
// is counted by the replaced global allocation functions below.
#include "EngineLoadRig.h"

#include <gtest/gtest.h>

#include "support/MissingComponent.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
thread_local bool tCounting = false;
std::atomic<long> gAllocations{0};
#if !TARLUME_SANITIZED
constexpr bool kCounted = true;
void* counted(size_t size) {
    if (tCounting) gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
#else
constexpr bool kCounted = false;
#endif
} // namespace

#if !TARLUME_SANITIZED
void* operator new(size_t size) {
    return counted(size);
}
void* operator new[](size_t size) {
    return counted(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
// The nothrow forms too (pictures allocate with them): a nothrow block from the library's allocator
// freed by the replacement above would be a mismatch.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    if (tCounting) gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    if (tCounting) gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
#endif

TEST(EngineCallback, AllocatesNothingUnderFullLoad) {
    testsupport::EngineLoadRig rig(44100.0, 256, true);
    if (rig.error == "sox missing") TARLUME_MISSING_COMPONENT() << rig.error;
    ASSERT_EQ(rig.error, "");
    ASSERT_TRUE(rig.engine->isRecording());
    gAllocations = 0;
    tCounting = true;
    delete new int(1); // the counter sees allocations
    tCounting = false;
    if (kCounted) {
        ASSERT_EQ(gAllocations.load(), 1);
    }
    gAllocations = 0;
    for (int i = 0; i < 200; i++) {
        tCounting = true;
        rig.block();
        tCounting = false;
        if (i % 20 == 0) rig.engine->update();
    }
    EXPECT_EQ(gAllocations.load(), 0);
    // A block larger than the buffers is cut into pieces, not grown.
    std::vector<float> bigIn(size_t(20000) * 2), bigOut(size_t(20000) * 4);
    SoundBufferList in, out;
    in.count = out.count = 1;
    in.buffers[0] = {2, uint32_t(bigIn.size() * 4), bigIn.data()};
    out.buffers[0] = {4, uint32_t(bigOut.size() * 4), bigOut.data()};
    tCounting = true;
    rig.device->processBuffer(&out, &in);
    tCounting = false;
    EXPECT_EQ(gAllocations.load(), 0);
}
