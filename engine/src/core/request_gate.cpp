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

// Bit 31 of the state: init has closed the gate. The bits below count the
// requests inside, including one that is only backing out.
constexpr uint32_t closed = uint32_t(1) << 31;

struct Gate {
    std::atomic<uint32_t> state{0};
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

void leave() noexcept {
    if (gate->state.fetch_sub(1, std::memory_order_release) == (closed | 1)) {
        { const std::lock_guard<std::mutex> wake(gate->lock); }
        gate->drained.notify_one();
    }
}

void enter() noexcept {
    for (;;) {
        if ((gate->state.fetch_add(1, std::memory_order_acquire) & closed) == 0) return;
        leave();
        std::unique_lock<std::mutex> wait(gate->lock);
        gate->reopened.wait(wait, [] { return (gate->state.load(std::memory_order_relaxed) & closed) == 0; });
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

PoolAdmission::PoolAdmission() noexcept {
    enter();
    pool_ = sardune::pool.get();
}

PoolAdmission::~PoolAdmission() { leave(); }

ExclusivePoolAccess::ExclusivePoolAccess() noexcept {
    gate->init_turn.lock();
    gate->state.fetch_or(closed, std::memory_order_relaxed);
    std::unique_lock<std::mutex> wait(gate->lock);
    gate->drained.wait(wait, [] { return gate->state.load(std::memory_order_acquire) == closed; });
}

ExclusivePoolAccess::~ExclusivePoolAccess() {
    gate->state.fetch_and(~closed, std::memory_order_release);
    { const std::lock_guard<std::mutex> wake(gate->lock); }
    gate->reopened.notify_all();
    gate->init_turn.unlock();
}

}  // namespace sardune
