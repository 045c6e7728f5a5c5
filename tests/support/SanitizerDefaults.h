// The suppressions every test and fuzz program gives its sanitizer runtime (SanitizerDefaults.cpp), for a
// test that runs a program of ours under the same sanitizers.
#pragma once

extern "C" {
const char* __lsan_default_suppressions();
const char* __tsan_default_suppressions();
}
