// The system's lock types: a recursive mutex with a scoped guard, and a recursive
// mutex paired with one condition. Neither can be copied or moved.
#pragma once

#include <pthread.h>
#include <time.h>

#include <stdexcept>

namespace threadkit {

// The absolute time `ms` milliseconds from now on `clock`, as the timed waits take it.
inline timespec DeadlineAfter(long ms, clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += (ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

class ObjectLevelLockable {
public:
    ObjectLevelLockable() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&mutex_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~ObjectLevelLockable() { pthread_mutex_destroy(&mutex_); }
    ObjectLevelLockable(const ObjectLevelLockable&) = delete;
    ObjectLevelLockable& operator=(const ObjectLevelLockable&) = delete;

    void LockObject() const { pthread_mutex_lock(&mutex_); }
    void UnlockObject() const { pthread_mutex_unlock(&mutex_); }

    // Holds the object's mutex for the guard's lifetime.
    class Lock {
    public:
        explicit Lock(const ObjectLevelLockable& owner) : owner_(owner) { owner_.LockObject(); }
        ~Lock() { owner_.UnlockObject(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        const ObjectLevelLockable& owner_;
    };

protected:
    pthread_mutex_t* NativeMutex() const { return &mutex_; }

private:
    mutable pthread_mutex_t mutex_;
};

// A recursive mutex with one condition. Wait operations must be called with the lock held
// exactly once by the calling thread.
class ConditionVariable : public ObjectLevelLockable {
public:
    ConditionVariable() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_REALTIME);
        pthread_cond_init(&cond_, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~ConditionVariable() { pthread_cond_destroy(&cond_); }

    void Broadcast() { pthread_cond_broadcast(&cond_); }
    void Signal() { pthread_cond_signal(&cond_); }
    void Wait() { pthread_cond_wait(&cond_, NativeMutex()); }

    // Waits until broadcast or until the absolute CLOCK_REALTIME deadline; false on time-out.
    bool TimedWait(const timespec& deadline) {
        return pthread_cond_timedwait(&cond_, NativeMutex(), &deadline) == 0;
    }

    // Deadline `ms` milliseconds from now, for TimedWait.
    static timespec DeadlineAfter(long ms) { return threadkit::DeadlineAfter(ms, CLOCK_REALTIME); }

    using Lock = ObjectLevelLockable::Lock;

private:
    pthread_cond_t cond_;
};

}  // namespace threadkit
