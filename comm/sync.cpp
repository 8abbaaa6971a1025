#include "sync.h"

#include <chrono>
#include <climits>
#include <utility>

int mutex_init(mutex_t *mutex) {
    if (!mutex) return -1;
    mutex->owner = std::thread::id{};
    mutex->depth = 0;
    return 0;
}

int mutex_destroy(mutex_t *mutex) {
    if (!mutex) return -1;
    return mutex->owner.load() == std::thread::id{} ? 0 : -1;
}

int mutex_lock(mutex_t *mutex) {
    if (!mutex) return -1;
    if (mutex_owned_by_me(mutex)) {
        ++mutex->depth;
        return 0;
    }
    std::unique_lock g(mutex->guard);
    const uint64_t ticket = mutex->next_ticket++;
    mutex->turn.wait(g, [&] { return mutex->serving == ticket; });
    mutex->owner = std::this_thread::get_id();
    mutex->depth = 1;
    return 0;
}

int mutex_trylock(mutex_t *mutex) {
    if (!mutex) return -1;
    if (mutex_owned_by_me(mutex)) {
        ++mutex->depth;
        return 0;
    }
    std::lock_guard g(mutex->guard);
    if (mutex->serving != mutex->next_ticket) return -1;  // held, or others are queued
    ++mutex->next_ticket;
    mutex->owner = std::this_thread::get_id();
    mutex->depth = 1;
    return 0;
}

int mutex_unlock(mutex_t *mutex) {
    if (!mutex_owned_by_me(mutex)) return -1;
    if (--mutex->depth > 0) return 0;
    mutex->owner = std::thread::id{};
    // Notified under the guard: the next holder may destroy the mutex as soon as it returns.
    std::lock_guard g(mutex->guard);
    ++mutex->serving;
    mutex->turn.notify_all();
    return 0;
}

bool mutex_owned_by_me(const mutex_t *mutex) {
    return mutex && mutex->owner.load() == std::this_thread::get_id();
}

int condvar_init(condvar_t *cond) {
    if (!cond) return -1;
    std::lock_guard g(cond->event_lock);
    cond->waiters = cond->releases = 0;
    cond->set = false;
    return mutex_init(&cond->lock);
}

int condvar_destroy(condvar_t *cond) {
    if (!cond) return -1;
    return mutex_destroy(&cond->lock);
}

int condvar_lock(condvar_t *cond) {
    return cond ? mutex_lock(&cond->lock) : -1;
}

int condvar_unlock(condvar_t *cond) {
    if (!cond) return -1;
    int wakes = 0;
    {
        std::lock_guard g(cond->event_lock);
        cond->set = false;
        if (mutex_owned_by_me(&cond->lock) && cond->lock.depth == 1)
            std::swap(wakes, cond->deferred_wakes);
    }
    int r = mutex_unlock(&cond->lock);
    for (; wakes > 0; --wakes)
        cond->event.notify_one();
    return r;
}

int condvar_signal(condvar_t *cond) {
    if (!cond) return -1;
    bool wake_now = false;
    {
        std::lock_guard g(cond->event_lock);
        // Like an auto-reset event: release one thread that waits now, or stay set for the next
        // wait.
        if (cond->waiters > cond->releases) {
            ++cond->releases;
            if (mutex_owned_by_me(&cond->lock))
                ++cond->deferred_wakes;
            else
                wake_now = true;
        } else {
            cond->set = true;
        }
    }
    if (wake_now) cond->event.notify_one();
    return 0;
}

int condvar_timedwait(condvar_t *cond, int milliseconds) {
    if (!cond) return -1;
    std::unique_lock lk(cond->event_lock);
    // Counted as a waiter before the lock is let go, so that a signaller who takes the lock next
    // cannot slip its signal between our unlock and our wait.
    ++cond->waiters;
    int wakes = cond->lock.depth == 1 ? std::exchange(cond->deferred_wakes, 0) : 0;
    lk.unlock();
    mutex_unlock(&cond->lock);
    for (; wakes > 0; --wakes)
        cond->event.notify_one();
    lk.lock();
    // Answers on a local link come within tens of microseconds: yield for a moment before
    // sleeping, which spares the sleep and the wake-up on the answer's path.
    auto spin_until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
    while (cond->releases == 0 && !cond->set && std::chrono::steady_clock::now() < spin_until) {
        lk.unlock();
        std::this_thread::yield();
        lk.lock();
    }
    bool signalled =
        cond->event.wait_for(lk, std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds),
                             [cond] { return cond->releases > 0 || cond->set; });
    if (signalled) {
        if (cond->releases > 0)
            --cond->releases;
        else
            cond->set = false;
    }
    --cond->waiters;
    lk.unlock();
    mutex_lock(&cond->lock);
    return signalled ? 0 : 1;
}

int semaphore_init(semaphore_t *sem, int initial) {
    if (!sem || initial < 0) return -1;
    std::lock_guard g(sem->lock);
    sem->count = initial;
    return 0;
}

int semaphore_destroy(semaphore_t *sem) {
    return sem ? 0 : -1;
}

int semaphore_wait(semaphore_t *sem) {
    if (!sem) return -1;
    std::unique_lock lk(sem->lock);
    sem->posted.wait(lk, [sem] { return sem->count > 0; });
    --sem->count;
    return 0;
}

int semaphore_post(semaphore_t *sem) {
    if (!sem) return -1;
    std::lock_guard g(sem->lock);
    if (sem->count >= INT_MAX) return -1;
    ++sem->count;
    sem->posted.notify_one();
    return 0;
}
