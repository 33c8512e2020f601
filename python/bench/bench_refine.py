"""Refinement of a 20-layer design over 200 wavelengths with the engine's
analytic Jacobian against the same solve with scipy's finite-difference
Jacobian ("2-point"), single-threaded; target: analytic >= 5 x faster to
converge. The design is refined to its own reflectance (R at 0 degrees, s
and p at 45 degrees: one angle alone leaves some thickness combinations
almost undetermined) from thicknesses perturbed by up to 5 %.

    PYTHONPATH=python SARDUNE_LIBRARY=build/lib/libSardune.so \\
        /usr/bin/python3 python/bench/bench_refine.py [--layers 20] [--wavelengths 200]
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import sardune  # noqa: E402
from sardune import Design, Target  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--layers", type=int, default=20)
    p.add_argument("--wavelengths", type=int, default=200)
    a = p.parse_args()
    e = sardune.load()
    print(f"library {e.path}; threads per request: {e.init(1)}")
    rng = np.random.default_rng(3)
    H, L = 2.35, 1.46
    truth = Design.quarter_wave([(H if j % 2 == 0 else L, rng.uniform(0.5, 1.5)) for j in range(a.layers)],
                                reference=550.0)
    start = truth.with_thicknesses(truth.thicknesses * (1 + rng.uniform(-0.05, 0.05, a.layers)))
    w = np.linspace(420.0, 680.0, a.wavelengths)
    targets = [Target("R", w, angle, pol, truth.spectrum(w, angle=angle, pol=pol, engine=e).R, 0.01)
               for angle, pol in ((0.0, "s"), (45.0, "s"), (45.0, "p"))]
    runs = {}
    for jacobian in ("analytic", "2-point"):
        best = None
        for _ in range(3):  # the fastest of three: the machine is shared
            r = start.refine(targets, engine=e, jacobian=jacobian)
            best = r if best is None or r.seconds < best.seconds else best
        runs[jacobian] = best
        print(f"{jacobian:>8} Jacobian: {best.seconds * 1e3:8.1f} ms, {best.iterations} iterations, "
              f"{best.evaluations} residual evaluations, {best.jacobians} Jacobians; merit {best.merit_start:.3g} -> "
              f"{best.merit_end:.3g} ({best.message})")
    ratio = runs["2-point"].seconds / runs["analytic"].seconds
    per_iteration = (runs["2-point"].seconds / max(runs["2-point"].iterations, 1)) / (
        runs["analytic"].seconds / max(runs["analytic"].iterations, 1))
    print(f"{a.layers} layers x {a.wavelengths} wavelengths x 3 views: time to converge, finite differences / "
          f"analytic = {ratio:.1f} (target >= 5); per iteration {per_iteration:.1f}")


if __name__ == "__main__":
    main()
