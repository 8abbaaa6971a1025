// Threads whose join gives up after a bound and then lets the thread run on, detached.
// A thread that may outlive its join must own everything it touches (shared pointers).
#pragma once

#include <future>
#include <memory>
#include <thread>

struct thread_t {
    std::thread handle;
    std::future<void> finished;  // ready once the entry function has returned
};

using thread_entry = void (*)(void *argument);

constexpr int THREAD_JOIN_TIMEOUT_MS = 5000;

// Starts `entry(argument)` with the default stack; `stack_size` is ignored. 0, or -1 when the
// thread could not be created.
int thread_create(thread_t *thread, thread_entry entry, int stack_size, void *argument);
// Waits at most 5 s for a running thread, then releases the handle either way; always 0.
int thread_join(thread_t *thread);

// Starts `body(*state)`; the thread holds its own reference to `state`, so what it touches stays
// alive when a join gives up on it. 0, or -1 when the thread could not be created.
template <typename T>
int thread_create_sharing(thread_t *thread, std::shared_ptr<T> state, void (*body)(T &)) {
    struct start {
        std::shared_ptr<T> state;
        void (*body)(T &);
    };
    auto *argument = new start{std::move(state), body};
    auto entry = [](void *a) {
        std::unique_ptr<start> own(static_cast<start *>(a));
        own->body(*own->state);
    };
    if (thread_create(thread, entry, 0, argument) == 0) return 0;
    delete argument;
    return -1;
}
int thread_join_within(thread_t *thread, int milliseconds);
bool thread_is_running(const thread_t *thread);  // has a handle whose entry has not returned
std::thread::id thread_self();
bool thread_is_equal(std::thread::id a, std::thread::id b);

int number_of_processors();
void utils_unbuff();
