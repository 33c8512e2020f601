"""Needle synthesis, single-threaded (engine and BLAS), times in CPU seconds
of this process (the machine is shared; wall time is shown beside):

1. the needle function of a 40-layer design (32 positions per layer, 2
   materials, 300 wavelengths) from the engine's thin-slab variations
   against trial insertion (F of the engine's spectrum with a real 1e-3 nm
   layer at every position): target >= 20 x;
2. broadband antireflection, examples/broadband_ar.toml (420-680 nm on
   glass of 1.52, indices 1.38/1.46/1.77/2.35, from one MgF2 layer, the
   quarter wave at 550 nm spread over 1 to 4 quarter waves): max R <= 0.5 %,
   mean R <= 0.2 %, in <= 5 s;
3. dichroic, examples/dichroic.toml (R >= 95 % over 420-540 nm, T >= 95 %
   over 560-680 nm, 2.35/1.46 on 1.52, from (HL)^3 quarter waves at 550 nm
   scaled to 3000 nm): every wavelength meeting its bound (checked on a
   0.1 nm grid), in <= 30 s; layers and total thickness;
4. scale-out: 8 starts of the antireflection problem on a local dask
   cluster of two single-threaded worker processes (their statistical
   profiler off, their event-loop tick and memory trimming relaxed for
   CPU-bound Python tasks) against serially (wall time): target >= 1.6 x,
   bitwise equal.

    PYTHONPATH=python SARDUNE_LIBRARY=build/lib/libSardune.so \\
        /usr/bin/python3 python/bench/bench_synthesis.py [--write-examples] [--skip-cluster]

--write-examples writes the designs of 2 and 3 to examples/ (design files)
and their pictures to python/ (the ones the README shows).
"""

import argparse
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(HERE, ".."))
import sardune  # noqa: E402
from sardune import Design, Layer, Target  # noqa: E402
from sardune.synthesis import multistart, needle_function, spread  # noqa: E402
from sardune.synthesize import picture, read_problem  # noqa: E402
from sardune.targets import Targets  # noqa: E402


def clocked(fn, *args, **kw):
    """(result, CPU seconds, wall seconds) of one call."""
    c, w = time.process_time(), time.perf_counter()
    r = fn(*args, **kw)
    return r, time.process_time() - c, time.perf_counter() - w


def merit(design, rows, e):
    spectra = [design.spectrum(g.wavelengths, angle=g.angle, pol=g.pol, engine=e) for g in rows.groups]
    return rows.merit(rows.residuals([(s.R, s.T) for s in spectra]))


def trial_insertion(design, rows, materials, position, e, delta=1e-3):
    """dF/d(delta) by a real needle at every position: (materials, K, positions)."""
    F0 = merit(design, rows, e)
    out = np.empty((len(materials),) + position.shape)
    for a, m in enumerate(materials):
        for j, host in enumerate(design.layers):
            for i, z in enumerate(position[j]):
                parts = ([host.with_thickness(z)] if z > 0 else []) + [Layer(m, delta)] + (
                    [host.with_thickness(host.thickness - z)] if z < host.thickness else [])
                trial = design.with_layers(design.layers[:j] + parts + design.layers[j + 1:])
                out[a, j, i] = (merit(trial, rows, e) - F0) / delta
    return out


def needle_against_trials(e):
    rng = np.random.default_rng(2)
    H, L = 2.35, 1.46
    design = Design.quarter_wave([(H if j % 2 == 0 else L, rng.uniform(0.6, 1.4)) for j in range(40)],
                                 reference=600.0)
    rows = Targets([Target("R", np.linspace(450.0, 750.0, 300), 0.0, "s", 0.5, 0.05)])
    materials = [H, L]
    needle_function(design, rows, materials, engine=e)  # warm
    P, cpu, wall = min((clocked(needle_function, design, rows, materials, positions_per_layer=32, engine=e)
                        for _ in range(3)), key=lambda r: r[1])
    trials, tcpu, twall = clocked(trial_insertion, design, rows, materials, P.position, e)
    worst = np.abs(P.values - trials).max() / np.abs(P.values).max()
    print(f"1. needle function, 40 layers x 32 positions x 2 materials x 300 wavelengths: {cpu * 1e3:.1f} ms "
          f"(wall {wall * 1e3:.1f}); trial insertion {tcpu:.2f} s (wall {twall:.2f}); ratio {tcpu / cpu:.0f} "
          f"(target >= 20); largest difference {worst:.1e} of the largest |P| (the trials' own error ~1e-5)")


def run_problem(name, e):
    problem = read_problem(os.path.join(ROOT, "examples", name + ".toml"))
    results, cpu, wall = clocked(multistart, problem.starts, problem.targets, problem.materials, engine=e,
                                 **problem.limits)
    return problem, results, cpu, wall


def antireflection(e):
    problem, results, cpu, wall = run_problem("broadband_ar", e)
    best = results[0]
    w = np.arange(420.0, 680.001, 0.1)
    R = best.design.spectrum(w, engine=e).R
    print(f"2. broadband antireflection, {len(problem.starts)} starts: {cpu:.2f} s (wall {wall:.2f}; target <= 5); "
          f"max R {100 * R.max():.3f} % (<= 0.5), mean R {100 * R.mean():.3f} % (<= 0.2); {best.layers} layers, "
          f"{best.total_thickness:.1f} nm, F {best.merit:.3g}; starts "
          + ", ".join(f"{r.steps[0].total_thickness:.0f} nm -> {r.layers} layers F {r.merit:.3g}" for r in results))
    return problem, best


def dichroic(e):
    problem, results, cpu, wall = run_problem("dichroic", e)
    best = results[0]
    w = np.arange(420.0, 680.001, 0.1)
    s = best.design.spectrum(w, engine=e)
    R, T = s.R[w <= 540.0 + 1e-9], s.T[w >= 560.0 - 1e-9]
    ok = R.min() >= 0.95 and T.min() >= 0.95
    print(f"3. dichroic: {cpu:.2f} s (wall {wall:.2f}; target <= 30); {best.layers} layers, "
          f"{best.total_thickness:.1f} nm; min R 420-540 {100 * R.min():.2f} %, min T 560-680 {100 * T.min():.2f} % "
          f"({'every wavelength meets its bound' if ok else 'SOME WAVELENGTHS MISS THEIR BOUND'}); F {best.merit:.3g}, "
          f"{len(best.steps) - 1} steps, {best.stopped}")
    return problem, best


def scale_out(e):
    import dask
    from distributed import Client, LocalCluster

    # A start is thousands of short numpy steps, not a few long engine
    # requests: by default a worker samples its task's stack every 10 ms,
    # ticks its event loop every 20 ms, and returns freed memory to the
    # system at once (MALLOC_TRIM_THRESHOLD_ 64 KiB), each of which takes a
    # share of such a task; the cluster here runs as one set up for it.
    dask.config.set({"distributed.worker.profile.enabled": False, "distributed.admin.tick.interval": "1s",
                     "distributed.admin.system-monitor.interval": "5s",
                     "distributed.worker.memory.monitor-interval": "1s",
                     "distributed.nanny.pre-spawn-environ": {"MALLOC_TRIM_THRESHOLD_": 128 * 2**20}})

    problem = read_problem(os.path.join(ROOT, "examples", "broadband_ar.toml"))
    starts = spread(problem.starts[0], np.linspace(300.0, 450.0, 8))
    kw = dict(engine=e, **problem.limits)
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None, env={"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"})
    try:
        with Client(cluster) as client:
            client.run(lambda: sardune.default_engine().init(1))
            multistart(spread(starts[0], [200.0, 210.0]), problem.targets, problem.materials, executor=client,
                       **kw)  # the workers load the engine
            swall = cwall = float("inf")
            for _ in range(2):  # alternately, the faster of two each: the machine is shared
                serial, _, s = clocked(multistart, starts, problem.targets, problem.materials, **kw)
                spread_out, _, c = clocked(multistart, starts, problem.targets, problem.materials, executor=client,
                                           **kw)
                swall, cwall = min(swall, s), min(cwall, c)
    finally:
        cluster.close()
    same = all(np.array_equal(a.design.thicknesses, b.design.thicknesses) and a.merits == b.merits
               for a, b in zip(serial, spread_out))
    print(f"4. scale-out, 8 starts (faster of two each): serial {swall:.2f} s, two-worker local cluster "
          f"{cwall:.2f} s: {swall / cwall:.2f} x (target >= 1.6); {'bitwise equal' if same else 'RESULTS DIFFER'}; "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--write-examples", action="store_true")
    p.add_argument("--skip-cluster", action="store_true")
    a = p.parse_args()
    e = sardune.load()
    print(f"library {e.path}; threads per request: {e.init(1)}")
    needle_against_trials(e)
    made = [antireflection(e), dichroic(e)]
    if a.write_examples:
        for (problem, best), name in zip(made, ("broadband_ar", "dichroic")):
            best.design.write(os.path.join(ROOT, "examples", name + ".design"))
            with open(os.path.join(ROOT, "python", f"synthesis-{name}.png"), "wb") as f:
                f.write(picture(problem, best, e))
    if not a.skip_cluster:
        scale_out(e)


if __name__ == "__main__":
    main()
