// Benchmarks report their speed as a ratio to a baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>

namespace bench {

using clock = std::chrono::steady_clock;

inline double seconds_since(clock::time_point start) {
    return std::chrono::duration<double>(clock::now() - start).count();
}

// Mean seconds per call of `fn` over enough calls to last about `seconds`.
inline double seconds_per_call(const std::function<void()> &fn, double seconds = 0.3) {
    fn();  // warm up
    long calls = 0;
    auto start = clock::now();
    do {
        fn();
        ++calls;
    } while (seconds_since(start) < seconds);
    return seconds_since(start) / static_cast<double>(calls);
}

// Times the benchmark loop; call `report` after it with the baseline's seconds per call.
class LoopTimer {
public:
    LoopTimer() : start_(clock::now()) {}
    void report(benchmark::State &state, double baseline_seconds, const char *counter) const {
        double mine =
            seconds_since(start_) / static_cast<double>(std::max<int64_t>(1, state.iterations()));
        state.counters[counter] = mine / baseline_seconds;
    }

private:
    clock::time_point start_;
};

}  // namespace bench
