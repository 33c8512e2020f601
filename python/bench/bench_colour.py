"""Colour of Monte Carlo variants: 10,000 runs of a 20-layer antireflection
coating under thickness errors drawn as the tolerance analysis draws them
(per run a spawned SeedSequence, absolute and relative normal errors per
layer), R on 380-780 nm by 5 nm from Design.prepare(...).spectra, and the
reflected L*a*b* of every run (D65, 2 degree observer): runs per second, in
all and for the colour sums alone.

    PYTHONPATH=python SARDUNE_LIBRARY=build/lib/libSardune.so \\
        /usr/bin/python3 python/bench/bench_colour.py [--runs 10000]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import sardune  # noqa: E402
from sardune import Design  # noqa: E402
from sardune.colour import observation, spectrum_colour  # noqa: E402

# refined to R < 0.32 % over 400-700 nm; H = 2.1, L = 1.46 alternating, 1.38 on top
THICKNESSES = [19.95, 27.69, 272.34, 38.81, 22.23, 87.29, 31.73, 25.31, 95.03, 29.13, 41.09, 53.73, 41.51, 31.53,
               175.15, 42.31, 30.37, 50.58, 141.14, 97.94]
SIGMA_NM, SIGMA_RELATIVE = 1.0, 0.01
BATCH = 256


def design() -> Design:
    return Design([(1.38 if j == 19 else 2.1 if j % 2 == 0 else 1.46, t) for j, t in enumerate(THICKNESSES)],
                  substrate=1.52)


def variants(d: np.ndarray, seed: int, runs: range) -> np.ndarray:
    """Thicknesses (runs, K): d (1 + relative z_rel) + sigma z_abs, at least 0,
    run i from SeedSequence(seed, spawn_key=(i,))."""
    z = np.array([np.random.Generator(np.random.PCG64(np.random.SeedSequence(seed, spawn_key=(i,))))
                  .standard_normal((2, d.size)) for i in runs])
    return np.maximum(0.0, d * (1 + SIGMA_RELATIVE * z[:, 1]) + SIGMA_NM * z[:, 0])


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--runs", type=int, default=10000)
    a = p.parse_args()
    e = sardune.load()
    print(f"library {e.path}; threads per request: {e.init(1)}")
    d = design()
    seen = observation()
    prepared = d.prepare(seen.wavelengths, engine=e)
    start = time.perf_counter()
    Lab, draw_seconds, colour_seconds = [], 0.0, 0.0
    for first in range(0, a.runs, BATCH):
        t = time.perf_counter()
        runs = variants(d.thicknesses, 7, range(first, min(first + BATCH, a.runs)))
        draw_seconds += time.perf_counter() - t
        R, _ = prepared.spectra(runs)
        t = time.perf_counter()
        Lab.append(spectrum_colour(R, seen).Lab)
        colour_seconds += time.perf_counter() - t
    seconds = time.perf_counter() - start
    Lab = np.concatenate(Lab)
    nominal = d.colour(engine=e).R.Lab
    spread = np.percentile(Lab, [5, 95], axis=0)
    print(f"{a.runs} runs of {len(d)} layers x {seen.wavelengths.size} wavelengths: {a.runs / seconds:.0f} runs/s "
          f"({seconds:.2f} s; the draws {draw_seconds:.2f} s of it, the colour sums {colour_seconds * 1e3:.1f} ms, "
          f"{a.runs / colour_seconds:.2e} runs/s alone)")
    print(f"nominal L*a*b* {np.round(nominal, 2)}; 5-95 %: L* {spread[0, 0]:.2f}-{spread[1, 0]:.2f}, "
          f"a* {spread[0, 1]:.2f}-{spread[1, 1]:.2f}, b* {spread[0, 2]:.2f}-{spread[1, 2]:.2f}")


if __name__ == "__main__":
    main()
