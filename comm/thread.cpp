#include "thread.h"

#include <chrono>
#include <cstdio>
#include <system_error>

int thread_create(thread_t *thread, thread_entry entry, int /*stack_size*/, void *argument) {
    if (!thread || !entry || thread->handle.joinable()) return -1;
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    try {
        thread->handle = std::thread([entry, argument, done = std::move(done)]() mutable {
            entry(argument);
            done.set_value();
        });
    } catch (const std::system_error &) {
        return -1;
    }
    thread->finished = std::move(finished);
    return 0;
}

int thread_join_within(thread_t *thread, int milliseconds) {
    if (!thread || !thread->handle.joinable()) return 0;
    // Joining oneself would never end: a thread that closes its own connection lets itself go.
    if (thread->handle.get_id() != std::this_thread::get_id() &&
        thread->finished.wait_for(std::chrono::milliseconds(milliseconds)) ==
            std::future_status::ready)
        thread->handle.join();
    else
        thread->handle.detach();
    thread->finished = {};
    return 0;
}

int thread_join(thread_t *thread) {
    return thread_join_within(thread, THREAD_JOIN_TIMEOUT_MS);
}

bool thread_is_running(const thread_t *thread) {
    return thread && thread->handle.joinable() &&
           thread->finished.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

std::thread::id thread_self() {
    return std::this_thread::get_id();
}

bool thread_is_equal(std::thread::id a, std::thread::id b) {
    return a == b;
}

int number_of_processors() {
    unsigned n = std::thread::hardware_concurrency();
    return n ? static_cast<int>(n) : 1;
}

void utils_unbuff() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}
