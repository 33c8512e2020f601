#include "cpu/dispatch.hpp"

#include <atomic>

#include "cpu/instrset.hpp"
#include "real_index/real_index.hpp"
#include "thin_slab/thin_slab.hpp"

namespace sardune {

namespace {

constexpr Builds baseline{false,
                          "sse2",
                          transfer::stack_matrices,
                          transfer::forward_products,
                          transfer::forward_backward,
                          transfer::partial_coatings,
                          real_index::scalar_range,
                          thin_slab::sse2};
constexpr Builds vector{true,
                        "avx2+fma",
                        transfer::four_lane_stack_matrices,
                        transfer::four_lane_forward_products,
                        transfer::four_lane_forward_backward,
                        transfer::four_lane_partial_coatings,
                        real_index::four_lane_or_scalar,
                        thin_slab::avx2};

const Builds& detected() noexcept {
    static const Builds& chosen = cpu_has_avx2_fma() ? vector : baseline;
    return chosen;
}

// Detection runs once while the library loads, before any export can be
// called; the table does not depend on the order of static initialisers.
[[maybe_unused]] const Builds& at_load = detected();

std::atomic<bool> baseline_forced{false};

}  // namespace

bool cpu_has_avx2_fma() noexcept { return cpu::level() >= 8 && cpu::has(cpu::feature::fma3); }

const Builds& builds() noexcept {
    return baseline_forced.load(std::memory_order_relaxed) ? baseline : detected();
}

void testing::use_baseline_builds(bool on) noexcept { baseline_forced.store(on, std::memory_order_relaxed); }

}  // namespace sardune
