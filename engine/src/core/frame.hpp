// How an entry point turns a request into kernel calls: the outcome of the
// pieces of one request, and the chunked frame shared by the stack-matrix
// entry points. [0, N) is cut into min(N, W + 1) equal chunks, all but the
// last go to the pool's W workers, the calling thread computes the last one
// (with the remainder) and then waits for the pool.
//
// Kernels report their one failure, a scratch that cannot be had, by
// throwing std::bad_alloc; this layer turns it into the request's status.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "core/request_gate.hpp"
#include "core/thread_pool.hpp"
#include "sardune.h"

namespace sardune {

class RequestStatus {
public:
    template <class Kernel>
    void run(const Kernel& kernel, int start, int end) noexcept {
        try {
            kernel(start, end);
        } catch (...) {
            fail(SARDUNE_ERR_OUT_OF_MEMORY);
        }
    }
    void fail(int code) noexcept { code_.store(code, std::memory_order_relaxed); }
    int code() const noexcept { return code_.load(std::memory_order_relaxed); }

private:
    std::atomic<int> code_{SARDUNE_OK};
};

// kernel(start, end) computes one half-open wavelength range. It is shared by
// reference with the pool tasks, which all finish before this returns.
template <class Kernel>
int run_chunked(int N, const Kernel& kernel) noexcept {
    if (N <= 0) return SARDUNE_OK;
    RequestStatus status;
    const PoolAdmission admission;
    ThreadPool* const workers = admission.pool();
    if (workers == nullptr) {
        status.run(kernel, 0, N);
        return status.code();
    }
    const int count = static_cast<int>(std::min<int64_t>(N, static_cast<int64_t>(workers->size()) + 1));
    const int chunk = N / count;
    int queued = 0;
    try {
        for (; queued < count - 1; ++queued) {
            const int c = queued;
            workers->enqueue([&kernel, &status, c, chunk] { status.run(kernel, c * chunk, (c + 1) * chunk); });
        }
    } catch (...) {
        status.fail(SARDUNE_ERR_OUT_OF_MEMORY);
    }
    // A request that could not hand out all its chunks is already failed;
    // computing the last one would only waste time.
    if (queued == count - 1) status.run(kernel, (count - 1) * chunk, N);
    workers->wait();
    return status.code();
}

}  // namespace sardune
