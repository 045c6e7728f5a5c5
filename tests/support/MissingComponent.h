// Tests that need a real component (OpenGL, sox, flac, generated tables, a JACK server, a display) may
// skip on a developer's machine that lacks it. CI installs everything and sets TARLUME_CI=1: there a
// missing component means something broke, so the same statement fails the test instead.
#pragma once

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace testsupport {

inline bool inCI() {
    const char* ci = std::getenv("TARLUME_CI");
    return ci && std::strcmp(ci, "1") == 0;
}

} // namespace testsupport

// Use like GTEST_SKIP: `if (!haveSox()) TARLUME_MISSING_COMPONENT() << "sox is not installed";`
// It is GTEST_SKIP's own statement with the result's kind chosen at run time (a single statement, so it
// sits under an `if` without braces like GTEST_SKIP does).
#define TARLUME_MISSING_COMPONENT()                                                                                    \
    return ::testing::internal::AssertHelper(                                                                          \
               ::testsupport::inCI() ? ::testing::TestPartResult::kFatalFailure : ::testing::TestPartResult::kSkip,    \
               __FILE__, __LINE__,                                                                                     \
               ::testsupport::inCI() ? "a component the test needs is missing in CI (TARLUME_CI=1)" : "") =            \
               ::testing::Message()
