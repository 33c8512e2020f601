// init against running requests and against other inits, and the engine in
// the child of a fork: no hang, no lost or changed result, no leaked worker.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/thread_pool.hpp"
#include "engine_calls.hpp"
#include "thread_count.hpp"

using calls::cplx;
using calls::filled;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool thread_sanitizer = true;
#else
constexpr bool thread_sanitizer = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#else
constexpr bool address_sanitizer = false;
#endif

// One request of each pooled entry point over one coating, with the results
// every thread count must give.
struct Workload {
    ref::Coating c = ref::random_coating(150, 4, 3, 0.3);
    ref::Coating lossless = ref::lossless_coating(300, 5);
    std::vector<cplx> M, L, D;
    calls::Records partial{c.N, c.K};
    calls::Record real{lossless.N, lossless.K};

    Workload() : M(filled(4 * c.N)), L(filled(16 * c.N)), D(filled(16 * c.N)) {
        calls::PoolGuard single(1);
        run(M, L, D, partial, real);
    }
    int run(std::vector<cplx>& M_, std::vector<cplx>& L_, std::vector<cplx>& D_, calls::Records& p,
            calls::Record& r) const {
        int status = calls::calc_M(c, M_);
        status |= calls::forward_backward(c, M_, L_, D_);
        status |= calls::update_top_props(c, 0, {}, p, true);
        status |= calls::real_index_simd(lossless, r, true);
        return status;
    }
    // Computes everything afresh and says whether it came out the same.
    bool same_again() const {
        auto M_ = filled(4 * c.N), L_ = filled(16 * c.N), D_ = filled(16 * c.N);
        calls::Records p(c.N, c.K);
        calls::Record r(lossless.N, lossless.K);
        if (run(M_, L_, D_, p, r) != SARDUNE_OK) return false;
        if (!calls::bitwise_equal(M_, M) || !calls::bitwise_equal(L_, L) || !calls::bitwise_equal(D_, D)) return false;
        for (int m = 0; m < c.K; ++m)
            if (!calls::bitwise_equal(p.records[m], partial.records[m])) return false;
        return calls::bitwise_equal(r, real);
    }
};

TEST(InitGate, InitWhileOtherThreadsAreInsideRequests) {
    const Workload w;
    calls::PoolGuard pooled(3);
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0}, requests{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&] {
            while (!done.load()) {
                if (!w.same_again()) ++wrong;
                ++requests;
            }
        });
    // At least 40 inits, and on until the callers have been through many
    // requests, however slow the build.
    const int counts[] = {2, 4, 1, 3, 0, 2, 1, 5};
    for (int round = 0; round < 40 || (requests.load() < 100 && round < 5000); ++round) {
        const int wanted = counts[round % 8];
        const int got = init(wanted);
        if (wanted >= 1) {
            EXPECT_EQ(got, wanted);
        }
    }
    done = true;
    for (auto& t : callers) t.join();
    EXPECT_EQ(wrong.load(), 0) << "of " << requests.load() << " requests";
    EXPECT_GT(requests.load(), 0);
}

TEST(InitGate, ConcurrentInitsTakeTurns) {
    calls::PoolGuard single(1);
    const int base = thread_count::baseline();
    std::vector<std::thread> initialisers;
    for (int t = 0; t < 4; ++t)
        initialisers.emplace_back([t] {
            for (int round = 0; round < 30; ++round) init(1 + (t + round) % 4);
        });
    for (auto& t : initialisers) t.join();
    // Whichever init came last, its pool is the only one left.
    const int sharing = sardune::pool ? int(sardune::pool->size()) + 1 : 1;
    EXPECT_EQ(thread_count::settled_at(base + sharing - 1), base + sharing - 1) << "workers of replaced pools are still running";
    const Workload w;
    EXPECT_TRUE(w.same_again());
}

// Runs `child` in a forked process and returns its exit status; a child
// that hangs is ended by its alarm and reported as such.
template <class Child>
::testing::AssertionResult in_child(Child child) {
    const pid_t pid = fork();
    if (pid < 0) return ::testing::AssertionFailure() << "fork failed";
    if (pid == 0) {
        alarm(30);
        _exit(child() ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return ::testing::AssertionFailure() << "waitpid failed";
    if (WIFSIGNALED(status))
        return ::testing::AssertionFailure() << "the child ended by signal " << WTERMSIG(status)
                                             << (WTERMSIG(status) == SIGALRM ? " (it hung)" : "");
    if (WEXITSTATUS(status) != 0) return ::testing::AssertionFailure() << "the child's results differ";
    return ::testing::AssertionSuccess();
}

// The child inherits the pool but not its workers: requests run on its
// calling thread until it calls init itself. (Under the thread sanitizer a
// forked child may not start threads.)
TEST(Fork, ChildOfAPooledProcessComputesAndCanInitAgain) {
    const Workload w;
    calls::PoolGuard pooled(2);
    EXPECT_TRUE(w.same_again());
    EXPECT_TRUE(in_child([&w] {
        if (!w.same_again()) return false;
        if (thread_sanitizer) return true;
        return init(3) == 3 && w.same_again() && init(1) == 1 && w.same_again();
    }));
    EXPECT_TRUE(w.same_again()) << "the parent's pool suffered from the fork";
}

// Forked while other threads are inside requests and inits: the child's
// gate does not wait for threads that only the parent has.
TEST(Fork, ChildForkedDuringRequestsAndInits) {
    // The sanitizer runtimes of this compiler do not take their own locks
    // around fork: a child can inherit the allocator's lock from a parent
    // thread that was allocating (the thread sanitizer also forbids starting
    // threads there). The release build runs this test.
    if (thread_sanitizer || address_sanitizer)
        GTEST_SKIP() << "a child forked from several busy threads cannot allocate under this sanitizer runtime";
    const Workload w;
    calls::PoolGuard pooled(3);
    std::atomic<bool> done{false};
    std::vector<std::thread> others;
    for (int t = 0; t < 2; ++t)
        others.emplace_back([&] {
            while (!done.load()) w.same_again();
        });
    others.emplace_back([&] {
        for (int round = 0; !done.load(); ++round) init(2 + round % 3);
    });
    for (int f = 0; f < 6; ++f) {
        EXPECT_TRUE(in_child([&w] { return w.same_again() && init(2) == 2 && w.same_again(); })) << "fork " << f;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    done = true;
    for (auto& t : others) t.join();
}

}  // namespace
