#include "foundation/PlatformIndependent.h"
#include "foundation/base64.h"
#include "foundation/quicksort.h"

#include <algorithm>
#include <functional>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct ThreadProbe {
    std::atomic<int> got{0};
    std::atomic<bool> done{false};
};

void* probeThread(void* arg) {
    auto* p = static_cast<ThreadProbe*>(arg);
    p->got = 42;
    p->done = true;
    return nullptr;
}

void* tryFromOtherThread(void* arg) {
    auto* args = static_cast<std::pair<pthread_mutex_t*, std::atomic<int>*>*>(arg);
    bool took = TryEnterCriticalSection(args->first);
    if (took) pthread_mutex_unlock(args->first);
    *args->second = took ? 1 : 2;
    return nullptr;
}

// Leaves slowly: what the thread holds goes half a second after its start function returned.
struct LeavingSlowly {
    ~LeavingSlowly() {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        fputs("the thread has ended\n", stderr);
    }
};

void* leaveSlowly(void* arg) {
    thread_local LeavingSlowly leaving;
    static_cast<ThreadProbe*>(arg)->done = true;
    return nullptr;
}

bool waitFor(const std::function<bool()>& cond) {
    for (int i = 0; i < 500 && !cond(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return cond();
}

} // namespace

TEST(Threads, CreateThreadPassesItsLastArgumentAndTheEndWaitsForTheThreadToLeave) {
    ThreadProbe probe;
    THREAD_HANDLE h = CreateThread(nullptr, 0, probeThread, 7, 9, &probe);
    ASSERT_NE(h, nullptr);
    SetThreadPriority(h, 99);
    EXPECT_TRUE(waitFor([&] { return probe.done.load(); }));
    EXPECT_EQ(probe.got, 42);
    CloseThreadHandle(h);

    // The program's end waits for a thread that is leaving, so nothing of it runs while the process ends.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ThreadProbe leaving;
            CloseThreadHandle(CreateThread(nullptr, 0, leaveSlowly, 0, 0, &leaving));
            waitFor([&] { return leaving.done.load(); });
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "the thread has ended");
}

TEST(Threads, RecursiveLockAndTryEnter) {
    pthread_mutex_t m;
    ASSERT_EQ(InitializeCriticalSection(&m), 0);
    pthread_mutex_lock(&m);
    EXPECT_TRUE(TryEnterCriticalSection(&m)); // recursive: the owner may take it again
    pthread_mutex_unlock(&m);

    std::atomic<int> result{0};
    std::pair<pthread_mutex_t*, std::atomic<int>*> args{&m, &result};
    THREAD_HANDLE h = CreateThread(nullptr, 0, tryFromOtherThread, 0, 0, &args);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(waitFor([&] { return result.load() != 0; }));
    EXPECT_EQ(result, 2); // fails at once from another thread
    CloseThreadHandle(h);
    pthread_mutex_unlock(&m);

    result = 0;
    h = CreateThread(nullptr, 0, tryFromOtherThread, 0, 0, &args);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(waitFor([&] { return result.load() != 0; }));
    EXPECT_EQ(result, 1); // free again
    CloseThreadHandle(h);
    pthread_mutex_destroy(&m);
}

namespace {

void* getInt(void* c, int i) { return &(*static_cast<std::vector<int>*>(c))[size_t(i)]; }
void swapInt(void* c, int a, int b) {
    auto& v = *static_cast<std::vector<int>*>(c);
    std::swap(v[size_t(a)], v[size_t(b)]);
}
int cmpInt(void*, void* a, void* b) {
    int x = *static_cast<int*>(a), y = *static_cast<int*>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

} // namespace

TEST(Sort, GivesASortedPermutation) {
    srand(1234);
    for (int n : {0, 1, 2, 31, 32, 33, 100, 1000, 5000}) {
        for (int pattern = 0; pattern < 5; ++pattern) {
            std::vector<int> v(static_cast<size_t>(n));
            for (int i = 0; i < n; ++i) {
                switch (pattern) {
                case 0: v[size_t(i)] = rand() % 1000; break;
                case 1: v[size_t(i)] = i; break;
                case 2: v[size_t(i)] = n - i; break;
                case 3: v[size_t(i)] = 7; break;
                default: v[size_t(i)] = rand() % 3; break;
                }
            }
            std::vector<int> expected = v;
            std::sort(expected.begin(), expected.end());
            quicksort(&v, getInt, 0, n, swapInt, cmpInt);
            EXPECT_EQ(v, expected) << "n=" << n << " pattern=" << pattern;
        }
    }
}

TEST(Sort, SortsOnlyTheGivenRange) {
    srand(99);
    std::vector<int> v = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    quicksort(&v, getInt, 2, 5, swapInt, cmpInt);
    EXPECT_EQ(v, (std::vector<int>{9, 8, 3, 4, 5, 6, 7, 2, 1, 0}));

    std::vector<int> big(200);
    for (int i = 0; i < 200; ++i) big[size_t(i)] = 200 - i;
    quicksort(&big, getInt, 50, 100, swapInt, cmpInt);
    EXPECT_TRUE(std::is_sorted(big.begin() + 50, big.begin() + 150));
    EXPECT_EQ(big[49], 151);
    EXPECT_EQ(big[150], 50);
}

TEST(Base64, DecodesUntilTheFirstForeignCharacter) {
    struct {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"TWFu", "Man"},
        {"TWE=", "Ma"},
        {"TQ==", "M"},
        {"TWE", "Ma"},     // three characters, two bytes
        {"TQ", "M"},       // two characters, one byte
        {"T", ""},         // one character, nothing
        {"TWFu TWFu", "Man"}, // a blank ends the data
        {"TWFu\nTWFu", "Man"},
        {"TW=Fu", "M"},
        {"//8A", std::string("\xFF\xFF\x00", 3)},
        {"+/+/", "\xFB\xFF\xBF"},
    };
    for (auto& c : cases) EXPECT_EQ(base64_decode(c.in), c.out) << c.in;
}
