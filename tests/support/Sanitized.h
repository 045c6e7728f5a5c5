// TARLUME_SANITIZED: 1 when built with AddressSanitizer or ThreadSanitizer (GCC or Clang), else 0.
// Under a sanitizer allocation functions are the sanitizer's, and real-time pace is out of reach.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARLUME_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARLUME_SANITIZED 1
#endif
#endif
#ifndef TARLUME_SANITIZED
#define TARLUME_SANITIZED 0
#endif
