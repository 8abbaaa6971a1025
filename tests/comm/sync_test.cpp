#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "comm/sync.h"
#include "comm/thread.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;

TEST(Condition, SignalWhileNobodyWaitsIsLost) {
    condvar_t c;
    condvar_init(&c);
    condvar_lock(&c);
    condvar_signal(&c);
    condvar_unlock(&c);  // the reset drops the signal

    condvar_lock(&c);
    EXPECT_EQ(condvar_timedwait(&c, 20), 1);
    condvar_unlock(&c);
}

TEST(Condition, SignalDuringTheWaitWakesIt) {
    condvar_t c;
    condvar_init(&c);
    std::atomic<bool> waiting{false};
    bool flag = false;  // the predicate, under the condition's lock
    auto waiter = std::async(std::launch::async, [&] {
        condvar_lock(&c);
        waiting = true;
        int r = 1;
        while (!flag && r == 1)
            r = condvar_timedwait(&c, 60000);
        condvar_unlock(&c);
        return r;
    });
    ASSERT_TRUE(test::eventually([&] { return waiting.load(); }));
    condvar_lock(&c);  // succeeds only once the waiter has let go inside its wait
    flag = true;
    condvar_signal(&c);
    condvar_unlock(&c);  // the reset must not swallow the release given to the waiter
    ASSERT_EQ(waiter.wait_for(test::kDeadline), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 0);
}

TEST(Condition, EachSignalReleasesOneWaiter) {
    condvar_t c;
    condvar_init(&c);
    std::atomic<int> inside{0}, woken{0};
    auto wait_once = [&] {
        condvar_lock(&c);
        ++inside;
        if (condvar_timedwait(&c, 60000) == 0) ++woken;
        condvar_unlock(&c);
    };
    std::thread a(wait_once), b(wait_once);
    // Both are inside the wait once each has let the lock go and counted itself.
    ASSERT_TRUE(test::eventually([&] {
        std::lock_guard g(c.event_lock);
        return c.waiters == 2;
    }));
    condvar_lock(&c);
    condvar_signal(&c);
    condvar_unlock(&c);
    ASSERT_TRUE(test::eventually([&] { return woken.load() == 1; }));
    condvar_lock(&c);
    condvar_signal(&c);
    condvar_unlock(&c);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST(RecursiveMutex, OwnerReentersOthersCannotUnlock) {
    mutex_t m;
    mutex_init(&m);
    ASSERT_EQ(mutex_lock(&m), 0);
    ASSERT_EQ(mutex_lock(&m), 0);  // re-entry by the owner
    ASSERT_EQ(mutex_trylock(&m), 0);

    std::thread other([&] {
        EXPECT_NE(mutex_unlock(&m), 0);   // not the owner: fails
        EXPECT_NE(mutex_trylock(&m), 0);  // still held
    });
    other.join();
    EXPECT_TRUE(mutex_owned_by_me(&m));
    EXPECT_NE(mutex_destroy(&m), 0);  // held

    EXPECT_EQ(mutex_unlock(&m), 0);
    EXPECT_EQ(mutex_unlock(&m), 0);
    EXPECT_TRUE(mutex_owned_by_me(&m));
    EXPECT_EQ(mutex_unlock(&m), 0);
    EXPECT_FALSE(mutex_owned_by_me(&m));
    EXPECT_NE(mutex_unlock(&m), 0);  // one unlock too many fails without effect

    std::thread taker([&] {
        EXPECT_EQ(mutex_trylock(&m), 0);
        EXPECT_EQ(mutex_unlock(&m), 0);
    });
    taker.join();
    EXPECT_EQ(mutex_destroy(&m), 0);
}

TEST(Semaphore, PostsAreCountedAndWaitersReleased) {
    semaphore_t s;
    semaphore_init(&s, 0);
    std::atomic<int> passed{0};
    std::thread a([&] {
        semaphore_wait(&s);
        ++passed;
    });
    std::thread b([&] {
        semaphore_wait(&s);
        ++passed;
    });
    semaphore_post(&s);
    semaphore_post(&s);
    a.join();
    b.join();
    EXPECT_EQ(passed.load(), 2);
    semaphore_init(&s, 2147483647);
    EXPECT_NE(semaphore_post(&s), 0);
}

TEST(Thread, JoinOfAFinishedThreadReleasesTheHandle) {
    thread_t t;
    std::atomic<int> ran{0};
    ASSERT_EQ(thread_create(
                  &t, [](void *arg) { ++*static_cast<std::atomic<int> *>(arg); }, 0, &ran),
              0);
    EXPECT_EQ(thread_join(&t), 0);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_FALSE(t.handle.joinable());
    EXPECT_EQ(thread_join(&t), 0);  // a released handle joins as a no-op
}

TEST(Thread, JoinThatGivesUpLetsTheThreadRunOn) {
    struct Gate {
        std::promise<void> open;
        std::shared_future<void> opened = open.get_future().share();
        std::atomic<bool> finished{false};
    };
    auto gate = std::make_shared<Gate>();
    auto *arg = new std::shared_ptr<Gate>(gate);  // the thread owns its state
    thread_t t;
    ASSERT_EQ(
        thread_create(
            &t,
            [](void *a) {
                std::unique_ptr<std::shared_ptr<Gate>> g(static_cast<std::shared_ptr<Gate> *>(a));
                (*g)->opened.wait();
                (*g)->finished = true;
            },
            0, arg),
        0);
    EXPECT_TRUE(thread_is_running(&t));
    EXPECT_EQ(thread_join_within(&t, 20), 0);
    EXPECT_FALSE(t.handle.joinable());  // released while the thread still runs
    EXPECT_FALSE(gate->finished.load());
    gate->open.set_value();
    EXPECT_TRUE(test::eventually([&] { return gate->finished.load(); }));
}

}  // namespace
