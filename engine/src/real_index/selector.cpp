// Which real-index build computes a range, and how a request of four or more
// wavelengths is shared with the worker pool.
#include <cstdint>

#include "cpu/dispatch.hpp"
#include "real_index/real_index.hpp"
#include "real_index/sharing.hpp"

namespace sardune::real_index {

Partition partition(int N, int64_t threads) {
    const int64_t c = std::min<int64_t>((static_cast<uint32_t>(N) + 127u) >> 7, std::max<int64_t>(threads, 1));
    const int64_t L = ((N + c - 1) / c + 3) / 4 * 4;
    return {static_cast<int>(c), static_cast<int>(L), static_cast<int>(std::min<int64_t>((c - 1) * L, N))};
}

void four_lane_or_scalar(const Request& q, int start, int end) {
    if (q.K < 0 || start >= end) return;
    // The kernel needs a whole block below end; shorter ranges stay scalar.
    if (end >= 4)
        four_lane_within(q, start, end);
    else
        scalar_range(q, start, end);
}

void selected(const Request& q, int start, int end) { builds().real_index(q, start, end); }

int shared(const Request& q) noexcept {
    if (q.N <= 3) return on_calling_thread(q);
    return run_partitioned(q.N, [&q](int start, int end) { selected(q, start, end); });
}

}  // namespace sardune::real_index
