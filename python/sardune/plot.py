"""Plots R and T of a design against wavelength, and dR/dd_k as a heat map
over layers and wavelengths, into a PNG.

    python3 -m sardune.plot [--design FILE] [--angle DEG] [--pol s|p]
                            [--range START STOP STEP] [--output PNG] [--library SO]
"""

import argparse
import os
import sys

import numpy as np

from . import engine as _engine
from .errors import SardunError
from .physics import DEFAULT_RANGE, default_design, read_design, wavelength_grid


def _arguments(argv):
    p = argparse.ArgumentParser(prog="python3 -m sardune.plot", description=__doc__.split("\n\n")[0])
    p.add_argument("--design", metavar="FILE", help="design file (default: built-in 19-layer reflector)")
    p.add_argument("--angle", type=float, default=0.0, help="angle of incidence in degrees (default 0)")
    p.add_argument("--pol", choices=("s", "p"), default="s", help="polarisation (default s)")
    p.add_argument("--range", nargs=3, type=float, metavar=("START", "STOP", "STEP"), default=DEFAULT_RANGE,
                   help="wavelength grid in nm, STOP included (default 400 800 1)")
    p.add_argument("--output", metavar="PNG", default="sardune-plot.png", help="default sardune-plot.png")
    p.add_argument("--library", metavar="SO", help="engine library (default: see sardune.find_library)")
    a = p.parse_args(argv)
    start, stop, step = a.range
    if not (step > 0 and stop >= start > 0):
        p.error("--range: expected 0 < START <= STOP and STEP > 0")
    if not 0 <= a.angle < 90:
        p.error("--angle: expected 0 <= angle < 90 degrees")
    return a


def render(design, wavelengths, angle, pol, output, title, engine=None):
    """Writes the figure to `output`."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    s = design.sensitivities(wavelengths, angle, pol, engine)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 7.5), sharex=True,
                                      gridspec_kw={"height_ratios": [1, 1.3]}, constrained_layout=True)
    top.plot(wavelengths, 100 * s.R, label="R", color="tab:blue")
    top.plot(wavelengths, 100 * s.T, label="T", color="tab:orange")
    top.set_ylabel("%")
    top.set_ylim(-2, 102)
    top.grid(alpha=0.3)
    top.legend(loc="best")
    top.set_title(f"{title}: {len(design)} layers, {angle:g}\N{DEGREE SIGN} {pol}-polarised")

    # Symmetric colour scale: the sign of dR/dd_k is the point of the map.
    dR = 100 * s.dR
    lim = float(np.max(np.abs(dR))) if dR.size and np.any(np.isfinite(dR)) else 1.0
    lim = lim if np.isfinite(lim) and lim > 0 else 1.0
    K = len(design)
    step = wavelengths[1] - wavelengths[0] if len(wavelengths) > 1 else 1.0
    image = bottom.imshow(dR, aspect="auto", origin="lower", cmap="RdBu_r", vmin=-lim, vmax=lim,
                          interpolation="nearest",
                          extent=(wavelengths[0] - step / 2, wavelengths[-1] + step / 2, -0.5, K - 0.5))
    bottom.set_xlabel("wavelength (nm)")
    bottom.set_ylabel("layer (0 = on substrate)")
    if K <= 30:
        bottom.set_yticks(range(K))
        bottom.tick_params(axis="y", labelsize=7)
    fig.colorbar(image, ax=bottom, label="dR/dd$_k$  (% per nm)")
    fig.savefig(output, dpi=110)
    plt.close(fig)


def main(argv=None):
    a = _arguments(argv)
    try:
        design = read_design(a.design) if a.design else default_design()
        engine = _engine.Engine(a.library) if a.library else _engine.default_engine()
        start, stop, step = a.range
        wavelengths = wavelength_grid(start, stop, step)
        title = os.path.basename(a.design) if a.design else "built-in quarter-wave reflector"
        render(design, wavelengths, a.angle, a.pol, a.output, title, engine)
    except (OSError, ValueError, SardunError) as e:
        print(f"sardune.plot: {e}", file=sys.stderr)
        return 1
    print(os.path.abspath(a.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
