"""Plots R and T of a design against wavelength, and dR/dd_k as a heat map
over layers and wavelengths, into a PNG. Takes the options of
sardune-spectrum:

    python3 -m sardune.plot [--design FILE] [--materials FILE] [--angle DEG] [--pol s|p|u]
                            [--incident N] [--substrate N] [--substrate-k K]
                            [--from NM --to NM --step NM] [--threads T]
                            [--output PNG] [--library SO] [--version]
                            [--tolerance RUNS --sigma NM --sigma-rel F --sigma-index F
                             --alike --seed S --band R|T]

With --tolerance, a Monte Carlo of RUNS runs over the error model (normal
thickness errors of sigma NM and/or a relative sigma, relative index
errors; --alike draws one error for all layers) adds the median and the
5-95 % band of R or T.
"""

import argparse
import math
import os
import sys
from typing import List, Optional, Sequence, Tuple

import numpy as np

from . import engine as _engine
from ._version import __version__
from .errors import SarduneError
from .physics import DEFAULT_RANGE, Design, default_design, read_design, wavelength_grid
from .tolerance import ErrorModel, Tolerance

MAX_WAVELENGTHS = 1_000_000
MAX_SAMPLES = 100_000_000  # runs x wavelengths of a tolerance band


def _finite(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(v):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return v


def _arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="python3 -m sardune.plot", description=__doc__.split("\n\n")[0])
    p.add_argument("--design", metavar="FILE", help="design file (default: built-in 19-layer reflector)")
    p.add_argument("--materials", metavar="FILE", help="materials file whose names the design may use")
    p.add_argument("--angle", type=_finite, default=0.0, help="angle of incidence, 0 <= DEG < 90 (default 0)")
    p.add_argument("--pol", choices=("s", "p", "u"), default="s", help="polarisation, u unpolarised (default s)")
    p.add_argument("--incident", type=_finite, default=1.0, metavar="N", help="incident index (default 1.0)")
    p.add_argument("--substrate", type=_finite, default=1.52, metavar="N", help="substrate index (default 1.52)")
    p.add_argument("--substrate-k", type=_finite, default=0.0, metavar="K",
                   help="substrate extinction coefficient (default 0)")
    p.add_argument("--from", dest="start", type=_finite, default=DEFAULT_RANGE[0], metavar="NM")
    p.add_argument("--to", dest="stop", type=_finite, default=DEFAULT_RANGE[1], metavar="NM")
    p.add_argument("--step", type=_finite, default=DEFAULT_RANGE[2], metavar="NM",
                   help="wavelength grid in nm, --to included (default 400 to 800 by 1)")
    p.add_argument("--range", nargs=3, type=_finite, metavar=("START", "STOP", "STEP"),
                   help="the grid in one option (as --from --to --step)")
    p.add_argument("--threads", type=_finite, default=0, metavar="T", help="worker threads, 0 for automatic (default 0)")
    p.add_argument("--output", metavar="PNG", default="sardune-plot.png", help="default sardune-plot.png")
    p.add_argument("--library", metavar="SO", help="engine library (default: see sardune.find_library)")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    t = p.add_argument_group("tolerance band")
    t.add_argument("--tolerance", type=_finite, metavar="RUNS", help="Monte Carlo runs for the band (1 to 1e5)")
    t.add_argument("--sigma", type=_finite, default=0.0, metavar="NM", help="thickness error, nm (default 0)")
    t.add_argument("--sigma-rel", type=_finite, default=0.0, metavar="F", help="relative thickness error (default 0)")
    t.add_argument("--sigma-index", type=_finite, default=0.0, metavar="F", help="relative index error (default 0)")
    t.add_argument("--alike", action="store_true", help="one error of each kind for all layers")
    t.add_argument("--seed", type=_finite, default=1, metavar="S", help="random seed, a whole number >= 0 (default 1)")
    t.add_argument("--band", choices=("R", "T"), default="R", help="quantity of the band (default R)")
    a = p.parse_args(argv)
    if a.range:
        a.start, a.stop, a.step = a.range
    # the bounds of sardune-spectrum, so that both take the same arguments
    checks = [("--angle", 0 <= a.angle < 90, "expected 0 <= angle < 90 degrees"),
              ("--incident", 0 < a.incident <= 100, "expected 0 < n <= 100"),
              ("--substrate", 0 < a.substrate <= 100, "expected 0 < n <= 100"),
              ("--substrate-k", 0 <= a.substrate_k <= 100, "expected 0 <= k <= 100"),
              ("--from", 1 <= a.start <= 1e6, "expected 1 to 1e6 nm"),
              ("--to", 1 <= a.stop <= 1e6, "expected 1 to 1e6 nm"),
              ("--to", a.stop >= a.start, "must not be below --from"),
              ("--step", 1e-4 <= a.step <= 1e6, "expected 1e-4 to 1e6 nm"),
              ("--threads", a.threads == int(a.threads) and 0 <= a.threads <= 1024,
               "expected a whole number from 0 to 1024"),
              ("--materials", not a.materials or bool(a.design), "only read together with --design")]
    error_model = a.sigma or a.sigma_rel or a.sigma_index
    checks += [("--sigma", a.sigma >= 0, "expected a standard deviation >= 0 nm"),
               ("--sigma-rel", a.sigma_rel >= 0, "expected a standard deviation >= 0"),
               ("--sigma-index", a.sigma_index >= 0, "expected a standard deviation >= 0"),
               ("--seed", a.seed == int(a.seed) and 0 <= a.seed < 2**63, "expected a whole number >= 0"),
               ("--tolerance", a.tolerance is None or (a.tolerance == int(a.tolerance) and 1 <= a.tolerance <= 1e5),
                "expected a whole number of runs from 1 to 1e5"),
               ("--tolerance", a.tolerance is None or bool(error_model),
                "needs an error model: --sigma, --sigma-rel or --sigma-index"),
               ("--sigma", a.tolerance is not None or not error_model, "the error model needs --tolerance RUNS"),
               ("--alike", a.tolerance is not None or not a.alike, "only with --tolerance RUNS")]
    for option, ok, problem in checks:
        if not ok:
            p.error(f"{option}: {problem}")
    wavelengths = (a.stop - a.start) / a.step + 1
    if wavelengths > MAX_WAVELENGTHS:
        p.error(f"--step: more than {MAX_WAVELENGTHS} wavelengths from --from to --to")
    if a.tolerance is not None and a.tolerance * wavelengths > MAX_SAMPLES:
        p.error(f"--tolerance: RUNS x wavelengths above {MAX_SAMPLES:.0e} samples (8 bytes each, for R and T)")
    a.threads, a.seed = int(a.threads), int(a.seed)
    a.tolerance = None if a.tolerance is None else int(a.tolerance)
    return a


def axis_range(values: Sequence[np.ndarray], floor: float = 0.5) -> Tuple[float, float]:
    """Limits (in %) that show the data's own variation: their span with a
    margin, at least `floor` wide, inside [0, 100] where the data are."""
    v = np.concatenate([np.ravel(x) for x in values])
    v = v[np.isfinite(v)]
    if v.size == 0:
        return 0.0, 100.0
    lo, hi = float(v.min()), float(v.max())
    middle, half = (lo + hi) / 2, max(hi - lo, floor) / 2 * 1.08
    lo, hi = middle - half, middle + half
    if lo < 0:
        lo, hi = 0.0, hi - lo
    if hi > 100:
        lo, hi = max(lo - (hi - 100), 0.0), 100.0
    return lo - 0.01 * (hi - lo), hi + 0.01 * (hi - lo)


def heading(title: str, layers: int, angle: float, pol: str) -> str:
    light = {"s": "s-polarised", "p": "p-polarised", "u": "unpolarised"}[pol]
    return f"{title}: {layers} layer{'' if layers == 1 else 's'}, {angle:g}\N{DEGREE SIGN} {light}"


BAND_LEVELS = (5.0, 50.0, 95.0)


def band(tolerance: Tolerance, quantity: str) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The 5 %, median and 95 % curves of R or T over the runs, in %, (N,) each."""
    p = getattr(tolerance, quantity).percentiles
    return tuple(100 * p[int(np.flatnonzero(tolerance.levels == q)[0])] for q in BAND_LEVELS)


def render(design: Design, wavelengths: np.ndarray, angle: float, pol: str, output: str, title: str,
           engine: Optional[_engine.Engine] = None,
           tolerance: Optional[Tuple[str, Tolerance]] = None) -> None:
    """Writes the figure to `output`: R on the left axis and T on the right,
    each scaled to its own data, over the map of dR/dd_k (% per nm).
    tolerance: (quantity, result of Design.tolerance with BAND_LEVELS among
    its levels) adds that quantity's median and 5-95 % band."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    s = design.sensitivities(wavelengths, angle, pol, engine)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 7.5), sharex=True,
                                      gridspec_kw={"height_ratios": [1, 1.3]}, constrained_layout=True)
    right = top.twinx()
    curves = {"R": (top, 100 * s.R, "tab:blue"), "T": (right, 100 * s.T, "tab:orange")}
    for name, (ax, v, colour) in curves.items():
        ax.plot(wavelengths, v, label=name, color=colour)
        ax.set_ylabel(f"{name} (%)", color=colour)
        shown = [v]
        if tolerance is not None and tolerance[0] == name:
            low, median, high = band(tolerance[1], name)
            ax.fill_between(wavelengths, low, high, color=colour, alpha=0.25, linewidth=0,
                            label=f"{name} 5\N{EN DASH}95 %")
            ax.plot(wavelengths, median, color=colour, linestyle="--", linewidth=1, label=f"{name} median")
            shown += [low, high]
        ax.set_ylim(*axis_range(shown))
    top.grid(alpha=0.3)
    handles, labels = [], []
    for ax in (top, right):
        h, l = ax.get_legend_handles_labels()
        handles, labels = handles + h, labels + l
    top.legend(handles, labels, loc="best")
    K = len(design)
    runs = f", band of {tolerance[1].runs} runs" if tolerance is not None else ""
    top.set_title(heading(title, K, angle, pol) + runs)

    # Symmetric colour scale: the sign of dR/dd_k is the point of the map.
    dR = 100 * s.dR
    lim = float(np.max(np.abs(dR))) if dR.size and np.any(np.isfinite(dR)) else 1.0
    lim = lim if np.isfinite(lim) and lim > 0 else 1.0
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


def main(argv: Optional[List[str]] = None) -> int:
    a = _arguments(argv)
    try:
        substrate, incident = complex(a.substrate, -a.substrate_k), a.incident
        if a.design:
            design = read_design(a.design, substrate, incident, a.materials)
            title = os.path.basename(a.design)
        else:
            d = default_design()
            design = Design(d.layers, substrate, incident)
            title = "built-in quarter-wave reflector"
        engine = _engine.Engine(a.library) if a.library else _engine.default_engine()
        engine.init(a.threads)
        wavelengths = wavelength_grid(a.start, a.stop, a.step)
        tolerance = None
        if a.tolerance is not None:
            errors = ErrorModel(a.sigma, a.sigma_rel, a.sigma_index, a.alike)
            tolerance = (a.band, design.tolerance(wavelengths, errors, a.tolerance, a.seed, a.angle, a.pol,
                                                  BAND_LEVELS, engine=engine))
        render(design, wavelengths, a.angle, a.pol, a.output, title, engine, tolerance)
    except (OSError, ValueError, SarduneError) as e:
        print(f"sardune.plot: {e}", file=sys.stderr)
        return 1
    print(os.path.abspath(a.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
