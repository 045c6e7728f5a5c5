#include "foundation/PlatformIndependent.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int InitializeCriticalSection(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int result = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return result;
}

bool TryEnterCriticalSection(pthread_mutex_t* mutex) { return pthread_mutex_trylock(mutex) == 0; }

THREAD_HANDLE CreateThread(void*, unsigned long, void* (*start)(void*), int, int, void* argument) {
    THREAD_HANDLE handle = static_cast<THREAD_HANDLE>(malloc(sizeof(pthread_t)));
    if (!handle) return nullptr;
    int err = pthread_create(handle, nullptr, start, argument);
    if (err != 0) {
        fprintf(stderr, "tarlume: cannot start a thread: %s\n", strerror(err));
        free(handle);
        return nullptr;
    }
    pthread_detach(*handle);
    return handle;
}

void SetThreadPriority(THREAD_HANDLE, int) {}

void CloseThreadHandle(THREAD_HANDLE handle) { free(handle); }
