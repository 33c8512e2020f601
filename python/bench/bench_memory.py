"""Peak resident memory of Design.sensitivities() on a large request, each
case in a fresh interpreter: 2000 layers x 20001 wavelengths by default,
absorbing layers (forward_backward path) and lossless ones (real-index
path). The target: peak resident memory <= the result arrays + 256 MB.

    PYTHONPATH=python SARDUNE_LIBRARY=build/lib/libSardune.so \\
        /usr/bin/python3 python/bench/bench_memory.py [--layers 2000] [--wavelengths 20001]
"""

import argparse
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

MB = 2**20
BUDGET = 256 * MB


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def child(layers, wavelengths, loss, threads, batch):
    import numpy as np
    import sardune
    sardune.init(threads)
    H, L = 2.35 - 5j * loss, 1.46 - 1j * loss
    d = sardune.Design.quarter_wave([(H if j % 2 == 0 else L, 1.0) for j in range(layers)], reference=550.0)
    w = np.linspace(400.0, 800.0, wavelengths)
    before = status("VmRSS")
    start = time.perf_counter()
    g = d.sensitivities(w, batch=batch)
    seconds = time.perf_counter() - start
    results = sum(a.nbytes for a in (g.R, g.T, g.dR, g.dT))
    print(json.dumps({"before": before, "peak": status("VmHWM"), "results": results, "seconds": seconds,
                      "finite": bool(np.isfinite(g.dR).all())}))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--layers", type=int, default=2000)
    p.add_argument("--wavelengths", type=int, default=20001)
    p.add_argument("--threads", type=int, default=0)
    p.add_argument("--one-batch", action="store_true",
                   help="also the absorbing case in one batch of all wavelengths, as before batching (~5 GB)")
    p.add_argument("--child", type=float, help=argparse.SUPPRESS)
    p.add_argument("--batch", type=int, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child is not None:
        return child(a.layers, a.wavelengths, a.child, a.threads, a.batch)
    print(f"Design.sensitivities(), {a.layers} layers x {a.wavelengths} wavelengths, threads {a.threads or 'auto'}")
    cases = [("absorbing layers (forward_backward)", 1e-4, []), ("lossless layers (real-index path)", 0.0, [])]
    if a.one_batch:
        cases.append(("absorbing layers in one batch", 1e-4, ["--batch", str(a.wavelengths)]))
    for label, loss, extra in cases:
        out = subprocess.run([sys.executable, __file__, "--layers", str(a.layers), "--wavelengths",
                              str(a.wavelengths), "--threads", str(a.threads), "--child", str(loss)] + extra,
                             capture_output=True, text=True, check=True)
        r = json.loads(out.stdout)
        over = r["peak"] - r["results"]
        print(f"{label}: {r['seconds']:.1f} s; results {r['results'] / MB:.0f} MB, resident before the call "
              f"{r['before'] / MB:.0f} MB, peak {r['peak'] / MB:.0f} MB; peak beyond the results "
              f"{over / MB:.0f} MB = {over / BUDGET:.2f} of the 256 MB allowed (target <= 1)"
              + ("" if r["finite"] else "; NON-FINITE RESULTS"))


if __name__ == "__main__":
    main()
