"""Design.spectrum() through the engine against the same computation in
vectorised numpy (a layer loop over whole-wavelength arrays), single-threaded,
and the wrapper's own cost per call on a tiny request.

    PYTHONPATH=python SARDUNE_LIBRARY=build/lib/libSardune.so \
        /usr/bin/python3 python/bench/bench_design.py [--layers 48] [--wavelengths 4096]
"""

import argparse
import os
import sys
import timeit

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, ".."), os.path.join(HERE, "..", "tests")]
import sardune  # noqa: E402
from sardune.optics import coefficients, reflectance, transmittance  # noqa: E402
from support import stack_matrix_numpy  # noqa: E402  (the tests' numpy oracle)


def design(K, loss):
    H, L = 2.35 - loss * 5j, 1.46 - loss * 1j
    return sardune.Design.quarter_wave([(H if j % 2 == 0 else L, 1.0) for j in range(K)], reference=550.0)


def numpy_spectrum(d, w):
    """The same spectrum (normal incidence, constant indices) with numpy alone."""
    n = np.array([np.full(w.size, l.index, np.complex128) for l in d.layers])
    eta0, eta_s = complex(d.incident), np.full(w.size, complex(d.substrate))
    t, _, r, _ = coefficients(stack_matrix_numpy(w, d.thicknesses, n, n), eta0, eta_s)
    R, T = reflectance(r), transmittance(t, eta0, eta_s)
    return R, T


def best(f, repeat=7):
    number = max(1, int(0.2 / min(timeit.repeat(f, number=1, repeat=3))))
    return min(timeit.repeat(f, number=number, repeat=repeat)) / number


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--layers", type=int, default=48)
    p.add_argument("--wavelengths", type=int, default=4096)
    a = p.parse_args()
    e = sardune.load()
    print(f"library {e.path}; threads per request: {e.init(1)}")
    w = np.linspace(400.0, 800.0, a.wavelengths)

    for label, loss in (("absorbing layers (stack-matrix path)", 1e-4), ("lossless layers (auto path)", 0.0)):
        d = design(a.layers, loss)
        R_np, _ = numpy_spectrum(d, w)
        assert np.allclose(d.spectrum(w, engine=e).R, R_np, atol=1e-10)
        t_engine = best(lambda: d.spectrum(w, engine=e))
        t_numpy = best(lambda: numpy_spectrum(d, w))
        print(f"{label}, {a.layers} x {a.wavelengths}: engine {t_engine * 1e3:.2f} ms, "
              f"numpy {t_numpy * 1e3:.2f} ms, ratio numpy/engine {t_numpy / t_engine:.1f}")
        t_sens = best(lambda: d.sensitivities(w, engine=e), repeat=3)
        print(f"  sensitivities(): {t_sens * 1e3:.2f} ms")

    # Tiny request: the wrapper's checks and pointer tables against a bare ctypes call.
    w1, d1 = np.array([550.0]), np.array([100.0])
    n1 = np.full((1, 1), 2.0 + 0j)
    out = np.empty((2, 2, 1), np.complex128)
    raw = e._fn("calc_M")
    rows = sardune._binding._rows(n1)
    args = (1, 1, w1.ctypes.data, d1.ctypes.data, rows, rows, 0.0, out.ctypes.data)
    t_raw = best(lambda: raw(*args))
    t_wrap = best(lambda: e.calc_M(w1, d1, n1, n1, x=0.0, out=out))
    t_alloc = best(lambda: e.calc_M(w1, d1, n1, n1, x=0.0))
    small = design(1, 1e-4)
    t_design = best(lambda: small.spectrum(w1, engine=e))
    print(f"tiny calc_M (N = K = 1): bare ctypes {t_raw * 1e6:.2f} us, wrapper {t_wrap * 1e6:.2f} us "
          f"(overhead {(t_wrap - t_raw) * 1e6:.2f} us), wrapper allocating its output {t_alloc * 1e6:.2f} us; "
          f"Design.spectrum of one layer at one wavelength {t_design * 1e6:.1f} us")


if __name__ == "__main__":
    main()
