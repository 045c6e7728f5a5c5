#include "PictureTestUtil.h"

#include "foundation/Picture.h"

#include <cstring>
#include <thread>

#include <gtest/gtest.h>

using namespace pictest;

// Skin windows load on two worker threads: every reader decodes on two threads at once and gives
// what it gives alone.
TEST(PictureThreads, TwoThreadsDecodeAtOnce) {
    const char* names[] = {"rgba8-adam7.png", "palette4.png", "gif256.gif",       "interlaced.gif",
                           "progressive.jpg", "rle8.bmp",     "bmp32_partial.bmp"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        CPicture alone;
        ASSERT_TRUE(alone.load(fixture(name)));
        bool same[2] = {false, false};
        auto work = [&](int k) {
            bool ok = true;
            for (int i = 0; i < 20 && ok; ++i) {
                CPicture p;
                ok = p.load(fixture(name)) && p.byteSize() == alone.byteSize() &&
                     std::memcmp(p.pixels, alone.pixels, p.byteSize()) == 0 &&
                     p.transparencyMode == alone.transparencyMode;
            }
            same[k] = ok;
        };
        std::thread a(work, 0), b(work, 1);
        a.join();
        b.join();
        EXPECT_TRUE(same[0]);
        EXPECT_TRUE(same[1]);
    }
}
