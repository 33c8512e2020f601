/* Stack matrix of a quarter-wave stack (H L)^4 H centred at 550 nm, printed at
 * a few wavelengths together with its determinant, which is 1 for any stack. */
#include <complex.h>
#include <stdio.h>

#include "sardune.h"

enum { K = 9, N = 5 };

static double complex c(sardune_complex z) { return z.re + I * z.im; }

int main(void) {
    const double centre = 550.0, nH = 2.35, nL = 1.46;
    double wavelengths[N] = {450.0, 500.0, 550.0, 600.0, 650.0};
    double thicknesses[K];
    sardune_complex values[K][N];
    const sardune_complex* rows[K];
    for (int j = 0; j < K; ++j) {
        const double n = j % 2 == 0 ? nH : nL;
        thicknesses[j] = centre / (4.0 * n);
        for (int i = 0; i < N; ++i) values[j][i] = (sardune_complex){n, 0.0};
        rows[j] = values[j];
    }
    sardune_complex M[4 * N];
    sardune_init(0);
    /* At normal incidence the admittance equals the index (free-space units). */
    if (sardune_calc_M(N, K, wavelengths, thicknesses, rows, rows, 0.0, M) != SARDUNE_OK) return 1;

    printf("quarter-wave stack (HL)^4 H at %.0f nm, H = %.2f, L = %.2f\n", centre, nH, nL);
    printf("%8s  %-24s %-24s %-24s %-24s %s\n", "lambda", "M00", "M01", "M10", "M11", "det M");
    for (int i = 0; i < N; ++i) {
        const double complex m00 = c(M[i]), m01 = c(M[N + i]), m10 = c(M[2 * N + i]), m11 = c(M[3 * N + i]);
        const double complex det = m00 * m11 - m01 * m10;
        printf("%8.1f ", wavelengths[i]);
        const double complex e[4] = {m00, m01, m10, m11};
        for (int k = 0; k < 4; ++k) printf(" %+10.6f%+10.6fi ", creal(e[k]), cimag(e[k]));
        printf(" %+.15f%+.1ei\n", creal(det), cimag(det));
    }
    return 0;
}
