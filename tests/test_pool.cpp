// The worker pool and init: thread counts, the lifetime of workers, requests
// from several application threads, and failures that must not leak out.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "alloc_fault.hpp"
#include "engine_calls.hpp"
#include "core/frame.hpp"
#include "core/thread_pool.hpp"
#include "thread_count.hpp"
#include "cpu/dispatch.hpp"

using calls::cplx;
using sardune::configure_pool;
using sardune::pool;
using sardune::ThreadPool;
using calls::filled;

namespace {

int threads_in_pool() { return pool ? static_cast<int>(pool->size()) + 1 : 1; }

TEST(Init, TransitionsReturnTheThreadCountAndJoinRemovedWorkers) {
    init(1);
    const int base = thread_count::baseline();
    EXPECT_EQ(init(1), 1);
    EXPECT_EQ(pool, nullptr);
    EXPECT_EQ(init(5), 5);
    EXPECT_EQ(pool->size(), 4u);
    EXPECT_EQ(thread_count::settled_at(base + 4), base + 4);
    EXPECT_EQ(init(3), 3);
    EXPECT_EQ(pool->size(), 2u);
    EXPECT_EQ(thread_count::settled_at(base + 2), base + 2) << "the first pool's workers were not joined";
    EXPECT_EQ(init(1), 1);
    EXPECT_EQ(pool, nullptr);
    EXPECT_EQ(thread_count::settled_at(base), base);
    const int automatic = init(0);
    EXPECT_EQ(init(-3), automatic);
    EXPECT_EQ(threads_in_pool(), std::max(automatic, 1));
    init(1);
    EXPECT_EQ(thread_count::settled_at(base), base);
}

TEST(Init, AutomaticCountLeavesOneHardwareThreadFreeFromFourUp) {
    const std::pair<unsigned, int> table[] = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {4, 3}, {8, 7}, {16, 15}};
    for (auto [hardware, expected] : table) {
        init(4);
        EXPECT_EQ(configure_pool(0, hardware), expected) << hardware;
        EXPECT_EQ(threads_in_pool(), std::max(expected, 1)) << hardware;
    }
    init(1);
}

TEST(Pool, WaitWithNothingPendingReturnsAndIdleWorkersEnd) {
    const int base = thread_count::baseline();
    {
        ThreadPool p(3);
        EXPECT_EQ(thread_count::settled_at(base + 3), base + 3);
        p.wait();
        std::atomic<int> ran{0};
        for (int t = 0; t < 50; ++t) p.enqueue([&ran] { ++ran; });
        p.wait();
        EXPECT_EQ(ran, 50);
    }
    EXPECT_EQ(thread_count::settled_at(base), base) << "idle workers outlived their pool";
}

// The automatic count removes the old pool before it builds the new one, so
// a build that fails leaves no pool at all (an explicit count keeps the old).
TEST(Init, AutomaticCountStopsTheOldPoolFirst) {
    for (long successes = 0; successes < 6; ++successes) {
        init(3);
        int got;
        {
            alloc_fault::Scope fail(successes);
            got = configure_pool(0, 8);
        }
        if (got == 7) continue;  // the build got through
        EXPECT_EQ(got, 1) << successes;
        EXPECT_EQ(pool, nullptr) << "the old pool survived a failed automatic init at " << successes;
    }
    init(1);
}

// Unloading the library stops and joins the workers of a pool still
// installed in it.
TEST(Init, UnloadJoinsThePool) {
    const char* path = SARDUNE_LIBRARY_FILE;
    const int base = thread_count::baseline();
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto library_init = reinterpret_cast<int (*)(int)>(dlsym(library, "init"));
    ASSERT_NE(library_init, nullptr);
    EXPECT_EQ(library_init(4), 4);
    EXPECT_EQ(thread_count::settled_at(base + 3), base + 3);
    ASSERT_EQ(dlclose(library), 0);
    EXPECT_EQ(thread_count::settled_at(base), base) << "workers outlived the unloaded library";
}

TEST(Pool, ConcurrentRequestsOnOnePoolGiveIdenticalResults) {
    const ref::Coating c = ref::random_coating(301, 12, 5, 0.3);
    init(1);
    auto want = filled(4 * c.N), Lw = filled(48 * c.N), Dw = filled(48 * c.N);
    calls::forward_backward(c, want, Lw, Dw);
    init(3);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int round = 0; round < 15; ++round) {
                auto M = filled(4 * c.N), L = filled(48 * c.N), D = filled(48 * c.N);
                if (calls::forward_backward(c, M, L, D) != 0 || !calls::bitwise_equal(M, want) ||
                    !calls::bitwise_equal(D, Dw))
                    ++mismatches;
            }
        });
    for (auto& t : callers) t.join();
    EXPECT_EQ(mismatches, 0);
    init(1);
}

// A cache that cannot be allocated fails the request, not the process; with
// no pool the outputs stay untouched because the cache comes first.
TEST(Failures, AllocationFailureOnTheCallingThreadLeavesOutputsUntouched) {
    init(1);
    const ref::Coating c = ref::random_coating(40, 4, 9);
    // The C-library sweeps cache their wave numbers (the four-lane ones
    // allocate nothing).
    sardune::testing::use_baseline_builds(true);
    auto M = filled(4 * c.N), L = filled(16 * c.N), D = filled(16 * c.N);
    {
        alloc_fault::Scope fail(0);
        EXPECT_EQ(calls::forward_backward(c, M, L, D), SARDUNE_ERR_OUT_OF_MEMORY);
    }
    EXPECT_TRUE(calls::bitwise_equal(M, filled(4 * c.N)) && calls::bitwise_equal(L, filled(16 * c.N)) &&
                calls::bitwise_equal(D, filled(16 * c.N)));
    EXPECT_EQ(calls::forward_backward(c, M, L, D), 0);
    sardune::testing::use_baseline_builds(false);

    // Both builds of the partial coatings own a scratch.
    for (bool baseline : {true, false}) {
        sardune::testing::use_baseline_builds(baseline);
        calls::Records records(c.N, c.K);
        {
            alloc_fault::Scope fail(0);
            EXPECT_EQ(calls::update_top_props(c, 0, {}, records, true), SARDUNE_ERR_OUT_OF_MEMORY);
        }
        for (int m = 0; m < c.K; ++m)
            for (int s = 0; s < 7; ++s) EXPECT_TRUE(records.records[m].untouched(s)) << baseline;
    }
    sardune::testing::use_baseline_builds(false);
}

TEST(Failures, AnyFailedAllocationInAPooledRequestIsReportedWithoutHanging) {
    init(4);
    const ref::Coating c = ref::random_coating(64, 4, 9);
    auto want = filled(4 * c.N), Lw = filled(16 * c.N), Dw = filled(16 * c.N);
    ASSERT_EQ(calls::forward_backward(c, want, Lw, Dw), 0);
    int failed_requests = 0;
    for (long successes = 0; successes < 24; ++successes) {
        auto M = filled(4 * c.N), L = filled(16 * c.N), D = filled(16 * c.N);
        int status;
        long failures;
        {
            alloc_fault::Scope fail(successes, /*persistent=*/false);
            status = calls::forward_backward(c, M, L, D);
            failures = alloc_fault::failures();
        }
        if (failures == 0) {
            EXPECT_EQ(status, 0);
            EXPECT_TRUE(calls::bitwise_equal(M, want) && calls::bitwise_equal(D, Dw));
        } else {
            EXPECT_EQ(status, SARDUNE_ERR_OUT_OF_MEMORY) << successes;
            ++failed_requests;
        }
        EXPECT_EQ(calls::forward_backward(c, M, L, D), 0) << "the engine did not recover";
    }
    EXPECT_GT(failed_requests, 3);
    init(1);
}

TEST(Failures, InitThatCannotStartItsWorkersLeavesAWholePoolOrNone) {
    init(1);
    const int base = thread_count::baseline();
    for (long successes = 0; successes < 16; ++successes) {
        for (int before : {1, 3}) {
            init(before);
            int got;
            {
                alloc_fault::Scope fail(successes);
                got = init(6);
            }
            EXPECT_EQ(got, threads_in_pool()) << successes;
            EXPECT_TRUE(got == 6 || got == before) << successes;
            EXPECT_EQ(thread_count::settled_at(base + got - 1), base + got - 1) << "workers left half-built at " << successes;
            const ref::Coating c = ref::random_coating(20, 2, 1);
            auto M = filled(4 * c.N);
            EXPECT_EQ(calls::calc_M(c, M), 0);
        }
    }
    init(1);
}

}  // namespace
