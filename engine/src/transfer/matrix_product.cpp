// The batched product of matrix stacks.
#include "transfer/transfer.hpp"

namespace sardune::transfer {

// P <- A_m P for m = 1 .. count-1, stack by stack, so each input is streamed
// once and the result is the only working storage.
void multiply_stacks(int start, int end, int count, int N, const cplx* const* stacks, cplx* P) {
    if (count <= 0 || start >= end) return;
    const int64_t n = N;
    const cplx* A0 = stacks[0];
    if (A0 != P)
        for (int64_t e = 0; e < 4; ++e)
            for (int64_t i = start; i < end; ++i) P[e * n + i] = A0[e * n + i];
    for (int m = 1; m < count; ++m) {
        const cplx* A = stacks[m];
        for (int64_t i = start; i < end; ++i) {
            const cplx p00 = P[i], p01 = P[n + i], p10 = P[2 * n + i], p11 = P[3 * n + i];
            const cplx a00 = A[i], a01 = A[n + i], a10 = A[2 * n + i], a11 = A[3 * n + i];
            P[i] = p00 * a00 + p10 * a01;
            P[n + i] = p01 * a00 + p11 * a01;
            P[2 * n + i] = p00 * a10 + p10 * a11;
            P[3 * n + i] = p01 * a10 + p11 * a11;
        }
    }
}

}  // namespace sardune::transfer
