// Counts the locks and waits the thread marked as the audio thread takes, by standing in for
// pthread's lock functions and passing each call on to the C library's own. Include it in exactly
// one file of a test binary, and never in a ThreadSanitizer build (it would hide TSan's own).
#pragma once

#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstring>

namespace {
thread_local bool on_audio_thread = false;
std::atomic<long> locks_taken{0};
// The name of the first lock function the audio thread called, for the failure message.
std::atomic<const char*> first_lock{nullptr};

void count_lock(const char* what) {
    if (!on_audio_thread) return;
    locks_taken.fetch_add(1, std::memory_order_relaxed);
    const char* none = nullptr;
    first_lock.compare_exchange_strong(none, what);
}

// The condition variables keep an older version beside the current one; the unversioned look-up
// may find the old one.
const char* version_of(const char* name) {
    return std::strncmp(name, "pthread_cond_", 13) == 0 ? "GLIBC_2.3.2" : nullptr;
}

template <typename Fn>
Fn real(const char* name, const char* version) {
    if (version != nullptr)
        if (void* f = dlvsym(RTLD_NEXT, name, version)) return reinterpret_cast<Fn>(f);
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Marks the calling thread as the audio thread while it lives.
struct AudioThreadScope {
    AudioThreadScope() { on_audio_thread = true; }
    ~AudioThreadScope() { on_audio_thread = false; }
};
}  // namespace

#define VX_PASS_ON(ret, name, params, args)                                   \
    extern "C" ret name params {                                              \
        count_lock(#name);                                                    \
        static const auto fn = real<ret(*) params>(#name, version_of(#name));                    \
        return fn args;                                                       \
    }

VX_PASS_ON(int, pthread_mutex_lock, (pthread_mutex_t * m), (m))
VX_PASS_ON(int, pthread_mutex_trylock, (pthread_mutex_t * m), (m))
VX_PASS_ON(int, pthread_mutex_timedlock, (pthread_mutex_t * m, const struct timespec* t), (m, t))
VX_PASS_ON(int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l))
VX_PASS_ON(int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l))
VX_PASS_ON(int, pthread_rwlock_tryrdlock, (pthread_rwlock_t * l), (l))
VX_PASS_ON(int, pthread_rwlock_trywrlock, (pthread_rwlock_t * l), (l))
VX_PASS_ON(int, pthread_spin_lock, (pthread_spinlock_t * l), (l))
VX_PASS_ON(int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m))
VX_PASS_ON(int, pthread_cond_timedwait, (pthread_cond_t * c, pthread_mutex_t* m, const struct timespec* t), (c, m, t))
VX_PASS_ON(int, sem_wait, (sem_t * s), (s))
VX_PASS_ON(int, sem_timedwait, (sem_t * s, const struct timespec* t), (s, t))

#undef VX_PASS_ON
