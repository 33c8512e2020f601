#include "core/thread_pool.hpp"

#include "core/request_gate.hpp"

namespace sardune {

namespace {

// Never destroyed by the language: other threads may still be inside a
// request, or start one, while the process exits, and they read the holder.
// The pool in it is shut down at unload below.
union PoolHolder {
    std::unique_ptr<ThreadPool> installed;
    constexpr PoolHolder() : installed() {}
    ~PoolHolder() {}
};
PoolHolder holder;

}  // namespace

std::unique_ptr<ThreadPool>& pool = holder.installed;

ThreadPool::ThreadPool(unsigned long count) : stop(false), pending(0) {
    try {
        workers.reserve(count);
        for (unsigned long w = 0; w < count; ++w) workers.emplace_back([this] { worker(); });
    } catch (...) {
        shut_down();
        throw;
    }
}

ThreadPool::~ThreadPool() { shut_down(); }

void ThreadPool::shut_down() noexcept {
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        stop = true;
    }
    task_ready.notify_all();
    for (std::thread& t : workers)
        if (t.joinable()) t.join();
}

void ThreadPool::enqueue(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        tasks.push(std::move(task));
        ++pending;
    }
    task_ready.notify_one();
}

void ThreadPool::wait() {
    std::unique_lock<std::mutex> lock(queue_mutex);
    all_done.wait(lock, [this] { return pending == 0; });
}

void ThreadPool::worker() {
    while (!stop) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(queue_mutex);
            task_ready.wait(lock, [this] { return !tasks.empty() || stop; });
            if (stop && tasks.empty()) return;
            task = std::move(tasks.front());
            tasks.pop();
        }
        // The engine's tasks report their own failures; this only keeps a
        // stray exception from ending the process or leaving pending stuck.
        try {
            task();
        } catch (...) {
        }
        // Released before the task counts as finished: once wait() returns,
        // no worker touches anything of the request, nor the allocator (a
        // process forked then inherits no allocation in flight).
        task = nullptr;
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            --pending;
            all_done.notify_all();
        }
    }
}

namespace {

int automatic_thread_count(unsigned h) {
    if (h <= 1) return static_cast<int>(h);
    if (h <= 3) return 2;
    return static_cast<int>(h - 1);
}

int threads_sharing_a_request() { return pool ? static_cast<int>(pool->size()) + 1 : 1; }

}  // namespace

int configure_pool(int wanted, unsigned hardware_threads) noexcept {
    // Waits for the requests inside and holds new ones until the pool below
    // is in place.
    const ExclusivePoolAccess exclusive;
    try {
        if (wanted == 1) {
            pool.reset();
            return 1;
        }
        if (wanted >= 2) {
            // The new workers start before the old ones stop; should they fail
            // to start, the old pool stays as it was.
            auto fresh = std::make_unique<ThreadPool>(static_cast<unsigned long>(wanted) - 1);
            std::unique_ptr<ThreadPool> old = std::move(pool);
            pool = std::move(fresh);
            old.reset();
            return wanted;
        }
        const int t = automatic_thread_count(hardware_threads);
        pool.reset();
        if (t >= 2) pool = std::make_unique<ThreadPool>(static_cast<unsigned long>(t) - 1);
        return t;
    } catch (...) {
        return threads_sharing_a_request();
    }
}

namespace {

// At exit, or when the library is unloaded, the pool goes the way init(1)
// removes it: the requests inside finish with the workers' help, then the
// idle workers are joined. Destroying the pool under a running request
// instead would leave its queued chunks to workers that have ended, and the
// requesting thread waiting for them for ever. Requests that start later
// (a thread still looping while the process exits) run on their own thread.
struct ShutDownAtUnload {
    ~ShutDownAtUnload() { configure_pool(1, 0); }
} at_unload;

}  // namespace

}  // namespace sardune
