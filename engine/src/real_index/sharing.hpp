// How a real-index request of more than 128 wavelengths is shared with the
// worker pool: chunks in multiples of four wavelengths, so that no
// four-wavelength block reaches into another thread's columns.
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

// Runs [0, N) as `shared` does: `blocks(start, end)` for every range that
// can hold a four-wavelength block, `scalar(start, end)` for a caller's
// remainder or a clipped chunk of fewer. Either may throw std::bad_alloc.
template <class Blocks, class Scalar>
int run_partitioned(int N, const Blocks& blocks, const Scalar& scalar) noexcept {
    RequestStatus status;
    const PoolAdmission admission;
    ThreadPool* const workers = N > 128 ? admission.pool() : nullptr;
    if (workers == nullptr) {
        status.run(blocks, 0, N);
        return status.code();
    }
    // Chunks are clipped to N: from 34 threads on the last ones could reach
    // past the end, and a clipped chunk too short for a block goes scalar.
    const Partition part =
        partition(N, static_cast<int64_t>(std::min<unsigned long>(workers->size(), INT32_MAX)) + 1);
    bool handed_out = true;
    for (int m = 0; m < part.chunks - 1; ++m) {
        const int64_t lo = static_cast<int64_t>(m) * part.length;
        if (lo >= N) break;
        const int start = static_cast<int>(lo), end = static_cast<int>(std::min<int64_t>(lo + part.length, N));
        try {
            workers->enqueue([&blocks, &scalar, &status, start, end] {
                if (end - start >= 4)
                    status.run(blocks, start, end);
                else
                    status.run(scalar, start, end);
            });
        } catch (...) {
            status.fail(SARDUNE_ERR_OUT_OF_MEMORY);
            handed_out = false;
            break;
        }
    }
    // A request that could not hand out every chunk has failed already.
    if (handed_out) {
        const int rem = N - part.caller_start;
        if (rem > 4)
            status.run(blocks, part.caller_start, N);
        else if (rem >= 1)
            status.run(scalar, part.caller_start, N);
    }
    workers->wait();
    return status.code();
}

}  // namespace sardune::real_index
