// Checks of the worker pool: every index runs once, nested loops complete,
// failures reach the caller (the lowest failed index wins), and concurrent
// callers from several threads share the pool.
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "utils/pool.hpp"
#include "check.hpp"

using skarvo::util::parallel_for;

int main() {
    std::printf("workers: %zu\n", skarvo::util::pool_worker_count());

    for (std::size_t count : {0u, 1u, 2u, 7u, 1000u}) {
        std::vector<std::atomic<int>> hits(count);
        parallel_for(count, [&](std::size_t i) { hits[i].fetch_add(1); });
        bool once = true;
        for (auto& h : hits) once = once && h.load() == 1;
        CHECK_MSG(once, "every index runs exactly once");
    }

    // Nested loops, three deep: no deadlock, all items done.
    std::atomic<long> total{0};
    parallel_for(8, [&](std::size_t) {
        parallel_for(8, [&](std::size_t) { parallel_for(16, [&](std::size_t) { total.fetch_add(1); }); });
    });
    CHECK_MSG(total.load() == 8 * 8 * 16, "nested loops complete");

    // Failures: the exception of the lowest failing index is rethrown.
    for (int round = 0; round < 20; ++round) {
        std::string caught;
        try {
            parallel_for(200, [&](std::size_t i) {
                if (i == 150 || i == 40 || i == 199) throw std::runtime_error("item " + std::to_string(i));
            });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        // Items not yet started when one fails are skipped, so which of the
        // three failing items ran depends on timing; one of them must arrive.
        CHECK_MSG(caught == "item 40" || caught == "item 150" || caught == "item 199",
                  "an item failure reaches the caller");
    }
    {
        std::string caught;
        try {
            parallel_for(4, [&](std::size_t) { parallel_for(4, [](std::size_t j) { if (j == 2) throw std::logic_error("inner"); }); });
        } catch (const std::logic_error& e) {
            caught = e.what();
        }
        CHECK_MSG(caught == "inner", "a nested failure reaches the outer caller");
    }
    // The pool is still usable after failures.
    std::atomic<int> after{0};
    parallel_for(100, [&](std::size_t) { after.fetch_add(1); });
    CHECK_MSG(after.load() == 100, "pool works after failures");

    // Several external threads at once.
    std::vector<std::thread> callers;
    std::atomic<long> sum{0};
    for (int k = 0; k < 6; ++k)
        callers.emplace_back([&] {
            for (int r = 0; r < 50; ++r) parallel_for(33, [&](std::size_t i) { sum.fetch_add(static_cast<long>(i)); });
        });
    for (auto& c : callers) c.join();
    CHECK_MSG(sum.load() == 6L * 50 * (32 * 33 / 2), "concurrent callers");

    return checks::finish("test_pool");
}
