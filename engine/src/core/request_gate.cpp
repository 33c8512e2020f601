#include "core/request_gate.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

#include "core/thread_pool.hpp"

namespace sardune {

namespace {

// Requests count themselves in one of several counters, each on a cache
// line of its own, so that threads passing the gate at once do not contend
// for one line. A request increments its counter and then looks at
// `closed`; init sets `closed` and then reads the counters. With both in
// sequentially consistent order, either the request sees the gate closed
// and backs out, or init sees the request and waits for it.
constexpr unsigned stripes = 16;

struct alignas(64) Counter {
    std::atomic<uint32_t> inside{0};
};

struct Gate {
    Counter counters[stripes];
    alignas(64) std::atomic<bool> closed{false};
    std::mutex init_turn;  // one init at a time
    std::mutex lock;       // for the two waits below
    std::condition_variable drained;   // init waits: the last request has left
    std::condition_variable reopened;  // requests wait: init has finished
};

// Never destroyed: a thread may still be inside when the process exits.
// Built in place again in a forked child, whose copy may hold the state of
// threads that do not exist there.
alignas(Gate) unsigned char gate_storage[sizeof(Gate)];
Gate* const gate = new (gate_storage) Gate();

// Threads take the counters in turn, from their first request on.
std::atomic<unsigned> next_stripe{0};
thread_local unsigned my_stripe = stripes;

unsigned stripe_of_this_thread() noexcept {
    if (my_stripe == stripes) my_stripe = next_stripe.fetch_add(1, std::memory_order_relaxed) % stripes;
    return my_stripe;
}

bool nobody_inside() noexcept {
    for (const Counter& c : gate->counters)
        if (c.inside.load() != 0) return false;
    return true;
}

void leave(unsigned stripe) noexcept {
    gate->counters[stripe].inside.fetch_sub(1);
    if (gate->closed.load()) {
        { const std::lock_guard<std::mutex> wake(gate->lock); }
        gate->drained.notify_one();
    }
}

void enter(unsigned stripe) noexcept {
    for (;;) {
        gate->counters[stripe].inside.fetch_add(1);
        if (!gate->closed.load()) return;
        leave(stripe);
        std::unique_lock<std::mutex> wait(gate->lock);
        gate->reopened.wait(wait, [] { return !gate->closed.load(); });
    }
}

// The child of a fork has only the thread that forked, which is inside no
// request: the workers of the inherited pool are not there to be joined, so
// the pool is let go, not destroyed (and kept here, still reachable).
ThreadPool* inherited_pool = nullptr;

void drop_inherited_pool() noexcept {
    new (gate_storage) Gate();
    inherited_pool = pool.release();
}

[[maybe_unused]] const int fork_handler = pthread_atfork(nullptr, nullptr, drop_inherited_pool);

}  // namespace

PoolAdmission::PoolAdmission() noexcept : stripe_(stripe_of_this_thread()) {
    enter(stripe_);
    pool_ = sardune::pool.get();
}

PoolAdmission::~PoolAdmission() { leave(stripe_); }

ExclusivePoolAccess::ExclusivePoolAccess() noexcept {
    gate->init_turn.lock();
    gate->closed.store(true);
    std::unique_lock<std::mutex> wait(gate->lock);
    gate->drained.wait(wait, nobody_inside);
}

ExclusivePoolAccess::~ExclusivePoolAccess() {
    gate->closed.store(false);
    { const std::lock_guard<std::mutex> wake(gate->lock); }
    gate->reopened.notify_all();
    gate->init_turn.unlock();
}

}  // namespace sardune
