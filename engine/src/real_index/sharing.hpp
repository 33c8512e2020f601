// How a real-index request of more than 128 wavelengths is shared with the
// worker pool: chunks in multiples of four wavelengths, so that blocks line
// up with the chunks and only a clipped chunk or the calling thread's
// remainder can be shorter than a block.
#pragma once

#include <algorithm>
#include <cstdint>

#include "core/frame.hpp"

namespace sardune::real_index {

// How a request of N > 128 wavelengths is shared among T threads: chunks of
// `length` (a multiple of 4) for the pool, the rest from caller_start on
// for the calling thread.
struct Partition {
    int chunks;
    int length;
    int caller_start;
};
Partition partition(int N, int64_t threads);

// Runs [0, N) as `shared` does, `kernel(start, end)` for every range; the
// kernel writes only its range's columns, so a range shorter than a block
// (a caller's remainder, a clipped chunk) needs no other path. It may throw
// std::bad_alloc.
template <class Kernel>
int run_partitioned(int N, const Kernel& kernel) noexcept {
    RequestStatus status;
    const PoolAdmission admission;
    ThreadPool* const workers = N > 128 ? admission.pool() : nullptr;
    if (workers == nullptr) {
        status.run(kernel, 0, N);
        return status.code();
    }
    // Chunks are clipped to N: from 34 threads on the last ones could reach
    // past the end.
    const Partition part =
        partition(N, static_cast<int64_t>(std::min<unsigned long>(workers->size(), INT32_MAX)) + 1);
    bool handed_out = true;
    for (int m = 0; m < part.chunks - 1; ++m) {
        const int64_t lo = static_cast<int64_t>(m) * part.length;
        if (lo >= N) break;
        const int start = static_cast<int>(lo), end = static_cast<int>(std::min<int64_t>(lo + part.length, N));
        try {
            workers->enqueue([&kernel, &status, start, end] { status.run(kernel, start, end); });
        } catch (...) {
            status.fail(SARDUNE_ERR_OUT_OF_MEMORY);
            handed_out = false;
            break;
        }
    }
    // A request that could not hand out every chunk has failed already.
    if (handed_out && part.caller_start < N) status.run(kernel, part.caller_start, N);
    workers->wait();
    return status.code();
}

}  // namespace sardune::real_index
