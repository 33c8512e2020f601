/* Returns from main while other threads are inside requests that share the
 * worker pool; the process must then end promptly.
 *   requests_at_exit THREADS N K
 * Thread t loops over one entry point, by t modulo 3: the stack matrix, the
 * stack matrix with its derivatives, or the real-index coefficients. main
 * returns as soon as every thread has finished one request, so that each of
 * them is inside its next one. */
#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

#include "sardune.h"

static int N, K;
static double *wavelengths, *thicknesses;
static sardune_complex *values, eta0 = {1.0, 0.0}, *substrate;
static const sardune_complex **rows;
static atomic_int started_loops;

static sardune_complex *complex_array(size_t count) {
    sardune_complex *p = calloc(count, sizeof *p);
    if (p == NULL) exit(3);
    return p;
}

static void *loop(void *arg) {
    const int entry = (int)(size_t)arg % 3;
    const size_t n = (size_t)N, k = (size_t)K;
    sardune_complex *M = complex_array(4 * n), *L = complex_array(4 * k * n), *dM = complex_array(4 * k * n);
    sardune_complex *record[7];
    for (int s = 0; s < 7; ++s) record[s] = complex_array(s < 4 ? n : k * n);
    for (int round = 0;; ++round) {
        int status;
        if (entry == 0)
            status = calc_M(N, K, wavelengths, thicknesses, rows, rows, 0.3, M);
        else if (entry == 1)
            status = forward_backward(N, K, wavelengths, thicknesses, values, values, 0.3, M, L, dM);
        else
            status = update_optiprops_real_n_simd(N, K, wavelengths, thicknesses, rows, rows, &eta0, substrate,
                                                  0.3, record, true);
        if (status != SARDUNE_OK) exit(4);
        if (round == 0) atomic_fetch_add(&started_loops, 1);
    }
    return NULL;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s THREADS N K\n", argv[0]);
        return 2;
    }
    const int threads = atoi(argv[1]);
    N = atoi(argv[2]);
    K = atoi(argv[3]);
    const size_t n = (size_t)N;
    wavelengths = malloc(n * sizeof *wavelengths);
    thicknesses = malloc((size_t)K * sizeof *thicknesses);
    values = complex_array((size_t)K * n);
    substrate = complex_array(n);
    rows = malloc((size_t)K * sizeof *rows);
    if (wavelengths == NULL || thicknesses == NULL || rows == NULL) return 3;
    for (size_t i = 0; i < n; ++i) {
        wavelengths[i] = 400.0 + 400.0 * (double)i / (double)n;
        substrate[i].re = 1.52;
    }
    for (int j = 0; j < K; ++j) {
        thicknesses[j] = 100.0 + j;
        rows[j] = values + (size_t)j * n;
        for (size_t i = 0; i < n; ++i) values[(size_t)j * n + i].re = j % 2 ? 1.46 : 2.35;
    }
    init(4);
    for (int t = 0; t < threads; ++t) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, loop, (void *)(size_t)t) != 0) return 3;
    }
    while (atomic_load(&started_loops) < threads) sched_yield();
    return 0;
}
