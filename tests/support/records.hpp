// The one coefficient-record type of the tests: seven slots prefilled with a
// sentinel that no computation yields, so that untouched elements show.
#pragma once

#include <array>
#include <complex>
#include <vector>

#include "sardune.h"

namespace calls {

using cplx = std::complex<double>;

inline cplx sentinel() { return cplx(-12345.5, 777.25); }

// Slots 0 to 3 of N values, slots 4 to 6 of `blocks` blocks of N; `pad`
// further sentinel elements after each slot catch writes past it.
struct Record {
    int N, blocks;
    std::array<std::vector<cplx>, 7> slots;
    std::array<cplx*, 7> pointers;

    Record(int n, int blocks_, int pad = 0) : N(n), blocks(blocks_) {
        const size_t n_ = size_t(std::max(N, 0)), b = size_t(std::max(blocks, 0));
        for (int s = 0; s < 7; ++s) {
            slots[s].assign((s < 4 ? n_ : b * n_) + size_t(pad), sentinel());
            pointers[s] = slots[s].data();
        }
    }
    // Moving keeps the slots' buffers, so the pointers stay right.
    Record(Record&&) = default;
    Record(const Record&) = delete;

    cplx& at(int slot, int i, int k = 0) { return slots[slot][size_t(k) * N + i]; }
    cplx value(int slot, int i, int k = 0) const { return slots[slot][size_t(k) * N + i]; }
    cplx* const* raw() { return pointers.data(); }
    sardune_complex* const* c() { return reinterpret_cast<sardune_complex* const*>(pointers.data()); }
    bool untouched(int slot) const {
        for (const cplx& v : slots[slot])
            if (v != sentinel()) return false;
        return true;
    }
};

// The records of update_top_props: record m (the coating ending with layer
// d0 + m) has m + 1 derivative blocks, or `count` of them all alike.
struct Records {
    int N, count;
    std::vector<Record> records;
    std::vector<sardune_complex* const*> table;

    Records(int n, int count_, bool growing = true) : N(n), count(count_) {
        records.reserve(size_t(count));
        for (int m = 0; m < count; ++m) records.emplace_back(N, growing ? m + 1 : count);
        for (Record& r : records) table.push_back(r.c());
    }
    cplx value(int m, int slot, int i, int k = 0) const { return records[m].value(slot, i, k); }
    const std::vector<cplx>& slot(int m, int s) const { return records[m].slots[s]; }
};

}  // namespace calls
