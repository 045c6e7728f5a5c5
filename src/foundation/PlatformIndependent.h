// Win32-style thread and lock shims over POSIX threads. Locks are plain pthread mutexes owned by
// the objects that embed them; call sites hold them through CriticalSectionGuard.
#pragma once

#include <pthread.h>

#include <mutex>

typedef pthread_mutex_t CRITICAL_SECTION;
// A thread handle: a heap-held pthread_t the creator keeps (free it with CloseThreadHandle).
typedef pthread_t* THREAD_HANDLE;

// Initialises the mutex as recursive (the owning thread may lock it again). Returns pthread_mutex_init's result.
int InitializeCriticalSection(pthread_mutex_t* mutex);
// Takes the lock when free (or already held by this thread); false at once when another thread holds it.
bool TryEnterCriticalSection(pthread_mutex_t* mutex);

// Holds a lock for the scope it lives in, so an early return or a new branch can't leave it held.
// Given std::try_to_lock it takes the lock only when that is at once possible (as TryEnterCriticalSection),
// for the audio thread, which never waits: check ownsLock().
class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CRITICAL_SECTION* lock) : m_lock(lock), m_owns(true) { pthread_mutex_lock(lock); }
    CriticalSectionGuard(CRITICAL_SECTION* lock, std::try_to_lock_t)
        : m_lock(lock), m_owns(TryEnterCriticalSection(lock)) {}
    ~CriticalSectionGuard() {
        if (m_owns) pthread_mutex_unlock(m_lock);
    }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

    bool ownsLock() const { return m_owns; }
    // Lets the lock go before the scope ends.
    void unlock() {
        if (m_owns) pthread_mutex_unlock(m_lock);
        m_owns = false;
    }

private:
    CRITICAL_SECTION* m_lock;
    bool m_owns;
};

// Starts `start` on a new thread, passing it the last argument. Callers that must wait for it use their own flags.
// The thread is joined once `start` has returned: by a later start, or at the program's end, which waits up to a
// second for threads still in `start` (one its owner stopped is leaving), so that none is still ending while the
// process exits; one still at work after that is left to run.
// Returns null (and says why on standard error) when the thread cannot be created.
THREAD_HANDLE CreateThread(void* securityAttributes, unsigned long stackSize, void* (*start)(void*), int unused1,
                           int unused2, void* argument);
// Accepted and ignored: threads keep the default priority.
void SetThreadPriority(THREAD_HANDLE handle, int priority);
// Frees a handle returned by CreateThread (the thread itself is not affected).
void CloseThreadHandle(THREAD_HANDLE handle);
