// The engine's worker pool: a FIFO of tasks served by a fixed set of threads,
// and a wait that returns once no enqueued task is unfinished.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace sardune {

class ThreadPool {
public:
    // Starts all workers or none: if a thread cannot be started, the ones
    // already running are stopped and joined before the error propagates.
    explicit ThreadPool(unsigned long workers);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // May throw std::bad_alloc; the task is then not queued and not counted.
    void enqueue(std::function<void()> task);
    // Waits for every unfinished task of the pool, whoever enqueued it.
    void wait();
    unsigned long size() const { return workers.size(); }

private:
    void worker();
    void shut_down() noexcept;

    std::vector<std::thread> workers;
    std::queue<std::function<void()>> tasks;
    std::mutex queue_mutex;
    std::condition_variable task_ready;
    std::condition_variable all_done;
    std::atomic<bool> stop;
    std::atomic<int32_t> pending;
};

// The engine-wide pool; empty means every request runs on its calling thread.
// Only init changes it, with the request gate closed; requests read it
// through a PoolAdmission (request_gate.hpp). At exit and at unload it is
// emptied as init(1) empties it, after the requests inside have finished.
extern std::unique_ptr<ThreadPool>& pool;

// init's rule with the hardware thread count passed in, so that every branch
// can be exercised on any machine. Waits until the requests running in other
// threads have finished; concurrent calls take turns.
int configure_pool(int wanted, unsigned hardware_threads) noexcept;

}  // namespace sardune
