// Locks, condition events and semaphores with the semantics the connection core relies on.
// All functions return 0 on success and non-zero on failure unless stated.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// Recursive mutex that knows its owner, so that an unlock by another thread fails without effect.
// Fair: threads get it in the order they asked for it. A command transaction lets the connection
// lock go between its waits and takes it straight back; a plain mutex would let it do so for all
// its attempts while another thread's single write waits behind them.
struct mutex_t {
    std::mutex guard;  // guards the two tickets
    std::condition_variable turn;
    uint64_t next_ticket = 0;  // handed to the next thread that asks
    uint64_t serving = 0;      // the holder's ticket; equal to next_ticket when free
    std::atomic<std::thread::id> owner{};
    int depth = 0;  // touched only by the owner
};

int mutex_init(mutex_t *mutex);
int mutex_destroy(mutex_t *mutex);  // non-zero while some thread holds it
int mutex_lock(mutex_t *mutex);
int mutex_trylock(mutex_t *mutex);
int mutex_unlock(mutex_t *mutex);
bool mutex_owned_by_me(const mutex_t *mutex);

// An auto-reset event plus a mutex. Use pattern: the waiter takes the lock, checks its predicate
// and only then waits; the signaller takes the lock, changes the predicate, signals and unlocks.
// Unlocking resets the event, so a signal given while nobody waits is lost.
struct condvar_t {
    mutex_t lock;
    // The event. `waiters` counts threads inside condvar_timedwait, `releases` the signals that
    // picked one of them and are not yet consumed, `set` a signal that found nobody waiting (kept
    // until the next reset or wait). All three are guarded by `event_lock`.
    std::mutex event_lock;
    std::condition_variable event;
    int waiters = 0;
    int releases = 0;
    bool set = false;
    // Releases given by the lock's owner, woken only when it unlocks: a waiter woken earlier
    // would at once block again on the lock the signaller still holds.
    int deferred_wakes = 0;
};

int condvar_init(condvar_t *cond);
int condvar_destroy(condvar_t *cond);
int condvar_lock(condvar_t *cond);
int condvar_unlock(condvar_t *cond);  // resets the event, then releases the lock
int condvar_signal(condvar_t *cond);
// Releases the lock, waits for the event at most `milliseconds`, takes the lock again.
// 1 when the time ran out, 0 when signalled.
int condvar_timedwait(condvar_t *cond, int milliseconds);

struct semaphore_t {
    std::mutex lock;
    std::condition_variable posted;
    long count = 0;  // guarded by lock
};

int semaphore_init(semaphore_t *sem, int initial);
int semaphore_destroy(semaphore_t *sem);
int semaphore_wait(semaphore_t *sem);
int semaphore_post(semaphore_t *sem);  // non-zero when the count is already at its maximum
