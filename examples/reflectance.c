/* Reflectance and transmittance of a coating from its stack matrix, the way
 * sardune.h describes it: a quarter-wave reflector (H L)^4 H centred at
 * 550 nm on glass, seen from air at 30 degrees, in both polarisations. The
 * program forms the admittances from the indices and the angle invariant,
 * the engine gives the stack matrix M, and r, t, R and T follow from M.
 * Nothing absorbs, so R + T = 1: the program fails if it is not. */
#define SARDUNE_NO_UNPREFIXED_NAMES /* only the sardune_ names */
#include <complex.h>
#include <math.h>
#include <stdio.h>

#include "sardune.h"

enum { K = 9, N = 5 };

/* A medium's admittance, in units of the free-space admittance, for
 * polarisation 's' or 'p'; n is the complex index n - ik. */
static double complex admittance(double complex n, double x, char polarisation) {
    const double complex q = csqrt(n * n - x * x);
    return polarisation == 's' ? q : n * n / q;
}

static double complex c(sardune_complex z) { return z.re + I * z.im; }

int main(void) {
    const double centre = 550.0, angle = 30.0 * acos(-1.0) / 180.0;
    const double complex incident = 1.0, substrate = 1.52, high = 2.35, low = 1.46;
    const double x = creal(incident) * sin(angle); /* the angle invariant */
    double wavelengths[N] = {450.0, 500.0, 550.0, 600.0, 650.0};
    double thicknesses[K];
    sardune_complex indices[K][N], admittances[K][N], M[4 * N];
    const sardune_complex *index_rows[K], *admittance_rows[K];
    int failed = 0;

    sardune_init(0);
    printf("(HL)^4 H at %.0f nm on glass, %.0f degrees from air; builds: %s\n", centre, 30.0,
           sardune_implementation());
    for (int p = 0; p < 2; ++p) {
        const char polarisation = p == 0 ? 's' : 'p';
        /* Layer 0 touches the substrate; each layer a quarter wave thick at
         * the centre wavelength, at normal incidence. */
        for (int j = 0; j < K; ++j) {
            const double complex n = j % 2 == 0 ? high : low;
            const double complex eta = admittance(n, x, polarisation);
            thicknesses[j] = centre / (4.0 * creal(n));
            for (int i = 0; i < N; ++i) {
                indices[j][i] = (sardune_complex){creal(n), cimag(n)};
                admittances[j][i] = (sardune_complex){creal(eta), cimag(eta)};
            }
            index_rows[j] = indices[j];
            admittance_rows[j] = admittances[j];
        }
        if (sardune_calc_M(N, K, wavelengths, thicknesses, index_rows, admittance_rows, x, M) != SARDUNE_OK) return 1;

        const double complex eta0 = admittance(incident, x, polarisation);
        const double complex eta_s = admittance(substrate, x, polarisation);
        for (int i = 0; i < N; ++i) {
            const double complex m00 = c(M[i]), m01 = c(M[N + i]), m10 = c(M[2 * N + i]), m11 = c(M[3 * N + i]);
            const double complex D = eta0 * m00 + eta_s * m11 + eta0 * eta_s * m01 + m10;
            const double complex r = (eta0 * m00 - eta_s * m11 + eta0 * eta_s * m01 - m10) / D;
            const double complex t = 2.0 * eta0 / D;
            const double R = creal(r * conj(r));
            const double T = creal(eta_s) / creal(eta0) * creal(t * conj(t));
            printf("%6.1f nm  %c  R = %.6f  T = %.6f  R + T = %.15f\n", wavelengths[i], polarisation, R, T, R + T);
            if (!(fabs(R + T - 1.0) < 1e-12)) failed = 1;
        }
    }
    return failed;
}
