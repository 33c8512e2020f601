"""Plots R and T of a design against wavelength, and dR/dd_k as a heat map
over layers and wavelengths, into a PNG; or one of the views below. Takes
the options of sardune-spectrum:

    python3 -m sardune.plot [--design FILE] [--materials FILE] [--database DIR] [--angle DEG] [--pol s|p|u]
                            [--incident N|NAME] [--substrate N|NAME] [--substrate-k K]
                            [--substrate-thickness MM] [--back FILE] [--exit N|NAME] [--exit-k K]
                            [--from NM --to NM --step NM | --range START STOP STEP] [--extrapolate]
                            [--threads T] [--output PNG] [--library SO] [--version]
                            [--tolerance RUNS --sigma NM --sigma-rel F --sigma-index F
                             --alike --seed S --band R|T]
                            [--field NM | --admittance NM | --colour [--illuminant NAME] [--observer 2|10]
                             | --map R|T|A]

Views: --field NM, |E|^2 against depth over the index profile at that
wavelength (with the absorption density for absorbing designs);
--admittance NM, the admittance locus with iso-reflectance circles and the
layer boundaries; --colour, the reflected colour's trajectory over angles
0-85 degrees on the CIE 1931 xy diagram with swatches (integrated over
380-780 nm by 5 nm under --illuminant, default D65, for --observer, default
2); --map, R, T or A over the wavelength grid and angles 0-89 degrees.

    python3 -m sardune.plot --material NAME [--materials FILE] [--database DIR] [--output PNG]

A NAME is a built-in material (SiO2, TiO2, ..., N-BK7, fused_silica), one
of the design or materials file, a page of the database (--database or
$SARDUNE_DATABASE) or a .yml data file. --material plots n and k of one
material over its data's range.

With --tolerance, a Monte Carlo of RUNS runs over the error model (normal
thickness errors of sigma NM and/or a relative sigma, relative index
errors; --alike draws one error for all layers) adds the median and the
5-95 % band of R or T.

Exit status as sardune-spectrum's: 0, 1 (a result that is not finite, not
enough memory, the image could not be written), 2 (bad input: options,
design files, materials). No image is written unless the plot is complete.
"""

import argparse
import io
import math
import os
import sys
from typing import List, Optional, Sequence, Tuple, Union

import numpy as np

from ._binding import Engine, default_engine
from ._version import __version__
from .design import DEFAULT_RANGE, Design, default_design, read_design, wavelength_grid
from .errors import NonFiniteResult
from .files import read_materials
from .materials import Material, material
from .media import Index, is_constant
from .tolerance import ErrorModel, Tolerance

from . import colour
from .field import iso_reflectance_circle, reflection

MAX_WAVELENGTHS = 1_000_000
MAX_SAMPLES = 100_000_000  # runs x wavelengths of a tolerance band
COLOUR_ANGLES = np.arange(0.0, 86.0, 1.0)
MAP_ANGLES = np.arange(0.0, 90.0, 1.0)
SWATCH_ANGLES = (0, 15, 30, 45, 60, 75)
ARC_POINTS = 4  # points per layer per unit of the locus' spread of |Y|
ISO_REFLECTANCES = (0.01, 0.04, 0.1, 0.25, 0.5, 0.75, 0.9, 0.99, 0.999)


def _finite(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(v):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return v


def _medium(text: str):
    """A medium as the tool takes it: a number, or a material's name (a
    built-in one, a page of the database, a .yml file), resolved once the
    options are read (a page needs --database)."""
    try:
        return _finite(text)
    except argparse.ArgumentTypeError:
        if not text:
            raise argparse.ArgumentTypeError("empty medium") from None
        return text


def program() -> str:
    """The name the plot was started by: sardune-plot, or python3 -m sardune.plot."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return name if name and name not in ("__main__.py", "plot.py", "-c") else "python3 -m sardune.plot"


def _arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog=program(), description=__doc__.split("\n\n")[0])
    p.add_argument("--design", metavar="FILE", help="design file (default: built-in 19-layer reflector)")
    p.add_argument("--materials", metavar="FILE", help="materials file whose names the design may use")
    p.add_argument("--angle", type=_finite, default=0.0, help="angle of incidence, 0 <= DEG < 90 (default 0)")
    p.add_argument("--pol", choices=("s", "p", "u"), default="s", help="polarisation, u unpolarised (default s)")
    p.add_argument("--incident", type=_medium, metavar="N|NAME",
                   help="incident medium, a lossless index or a material (default: the design file's, else 1.0)")
    p.add_argument("--substrate", type=_medium, metavar="N|NAME",
                   help="substrate index or material (default: the design file's, else 1.52)")
    p.add_argument("--substrate-k", type=_finite, metavar="K",
                   help="substrate extinction coefficient, with a numeric --substrate (default 0)")
    p.add_argument("--substrate-thickness", type=_finite, metavar="MM",
                   help="a thick substrate of MM millimetres, its faces combined incoherently")
    p.add_argument("--back", metavar="FILE", help="design file of the back-side coating (with --substrate-thickness)")
    p.add_argument("--exit", type=_medium, metavar="N|NAME",
                   help="medium behind a thick substrate (default: the incident medium)")
    p.add_argument("--exit-k", type=_finite, metavar="K", help="extinction coefficient of an exit medium given by N")
    p.add_argument("--database", metavar="DIR",
                   help="a copy of the optical-constants database, whose pages (main/SiO2/nk/Gao) name materials "
                        "(default $SARDUNE_DATABASE)")
    p.add_argument("--extrapolate", action="store_true",
                   help="evaluate materials beyond the wavelengths of their data")
    p.add_argument("--material", metavar="NAME", help="plot n and k of this material over its data's range instead")
    p.add_argument("--from", dest="start", type=_finite, default=DEFAULT_RANGE[0], metavar="NM")
    p.add_argument("--to", dest="stop", type=_finite, default=DEFAULT_RANGE[1], metavar="NM")
    p.add_argument("--step", type=_finite, default=DEFAULT_RANGE[2], metavar="NM",
                   help="wavelength grid in nm, --to included (default 400 to 800 by 1)")
    p.add_argument("--range", nargs=3, type=_finite, metavar=("START", "STOP", "STEP"),
                   help="the grid in one option (as --from --to --step)")
    p.add_argument("--threads", type=_finite, default=0, metavar="T", help="worker threads, 0 for automatic (default 0)")
    p.add_argument("--output", metavar="PNG", default="sardune-plot.png", help="default sardune-plot.png")
    p.add_argument("--library", metavar="SO", help="engine library (default: see sardune.find_library)")
    p.add_argument("--version", action="version", version=f"{program()} {__version__}")
    t = p.add_argument_group("tolerance band")
    t.add_argument("--tolerance", type=_finite, metavar="RUNS", help="Monte Carlo runs for the band (1 to 1e5)")
    t.add_argument("--sigma", type=_finite, default=0.0, metavar="NM", help="thickness error, nm (default 0)")
    t.add_argument("--sigma-rel", type=_finite, default=0.0, metavar="F", help="relative thickness error (default 0)")
    t.add_argument("--sigma-index", type=_finite, default=0.0, metavar="F", help="relative index error (default 0)")
    t.add_argument("--alike", action="store_true", help="one error of each kind for all layers")
    t.add_argument("--seed", type=_finite, default=1, metavar="S", help="random seed, a whole number >= 0 (default 1)")
    t.add_argument("--band", choices=("R", "T"), default="R", help="quantity of the band (default R)")
    v = p.add_argument_group("views").add_mutually_exclusive_group()
    v.add_argument("--field", type=_finite, metavar="NM", help="|E|^2 through the stack at this wavelength")
    v.add_argument("--admittance", type=_finite, metavar="NM", help="the admittance locus at this wavelength")
    v.add_argument("--colour", "--color", action="store_true", help="reflected colour over angle on the xy diagram")
    v.add_argument("--map", choices=("R", "T", "A"), help="R, T or A over wavelength and angle")
    c = p.add_argument_group("colour view")
    c.add_argument("--illuminant", choices=colour.ILLUMINANTS, help="CIE illuminant (default D65)")
    c.add_argument("--observer", type=_finite, help="standard observer, 2 or 10 degrees (default 2)")
    a = p.parse_args(argv)
    if a.range:
        a.start, a.stop, a.step = a.range
    # the bounds of sardune-spectrum, so that both take the same arguments
    numeric = lambda v: isinstance(v, float)
    checks = [("--angle", 0 <= a.angle < 90, "expected 0 <= angle < 90 degrees"),
              ("--incident", not numeric(a.incident) or 0 < a.incident <= 100, "expected 0 < n <= 100"),
              ("--substrate", not numeric(a.substrate) or 0 < a.substrate <= 100, "expected 0 < n <= 100"),
              ("--exit", not numeric(a.exit) or 0 < a.exit <= 100, "expected 0 < n <= 100"),
              ("--substrate-k", a.substrate_k is None or 0 <= a.substrate_k <= 100, "expected 0 <= k <= 100"),
              ("--substrate-k", a.substrate_k is None or a.substrate is None or numeric(a.substrate),
               "needs a numeric --substrate index"),
              ("--exit-k", a.exit_k is None or 0 <= a.exit_k <= 100, "expected 0 <= k <= 100"),
              ("--exit-k", a.exit_k is None or a.exit is None or numeric(a.exit), "needs a numeric --exit index"),
              ("--database", not a.database or os.path.isdir(os.path.join(a.database, "data")),
               "holds no data/ folder, as a copy of the database does"),
              ("--material", not a.material or not (a.design or a.back), "plots a material alone, without --design"),
              ("--substrate-thickness", a.substrate_thickness is None or 0 < a.substrate_thickness <= 1000,
               "expected 0 < MM <= 1000"),
              ("--from", 1 <= a.start <= 1e6, "expected 1 to 1e6 nm"),
              ("--to", 1 <= a.stop <= 1e6, "expected 1 to 1e6 nm"),
              ("--to", a.stop >= a.start, "must not be below --from"),
              ("--step", 1e-4 <= a.step <= 1e6, "expected 1e-4 to 1e6 nm"),
              ("--threads", a.threads == int(a.threads) and 0 <= a.threads <= 1024,
               "expected a whole number from 0 to 1024"),
              ("--materials", not a.materials or bool(a.design or a.material),
               "only read together with --design or --material")]
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
    view = next((f"--{name}" for name in ("field", "admittance", "colour", "map")
                 if getattr(a, name) not in (None, False)), None)
    checks += [("--tolerance", a.tolerance is None or view is None, f"draws on the spectrum, not with {view}"),
               ("--field", a.field is None or 1 <= a.field <= 1e6, "expected 1 to 1e6 nm"),
               ("--admittance", a.admittance is None or 1 <= a.admittance <= 1e6, "expected 1 to 1e6 nm"),
               ("--illuminant", a.illuminant is None or a.colour, "only with --colour"),
               ("--observer", a.observer is None or (a.colour and a.observer in colour.OBSERVERS),
                "expected 2 or 10 (degrees), with --colour")]
    for option, ok, problem in checks:
        if not ok:
            p.error(f"{option}: {problem}")
    wavelengths = (a.stop - a.start) / a.step + 1
    if wavelengths > MAX_WAVELENGTHS:
        p.error(f"--step: more than {MAX_WAVELENGTHS} wavelengths from --from to --to")
    if a.tolerance is not None and a.tolerance * wavelengths > MAX_SAMPLES:
        p.error(f"--tolerance: RUNS x wavelengths above {MAX_SAMPLES:.0e} samples (8 bytes each, for R and T)")
    a.threads, a.seed = int(a.threads), int(a.seed)
    a.illuminant, a.observer = a.illuminant or "D65", int(a.observer or 2)
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


POLARISED = {"s": "s-polarised", "p": "p-polarised", "u": "unpolarised"}


def heading(title: str, layers: int, angle: Optional[float], pol: str) -> str:
    """The title of a view: the design, its layers, the angle (None: the
    view spans angles) and the light."""
    at = "" if angle is None else f"{angle:g}\N{DEGREE SIGN} "
    return f"{title}: {layers} layer{'' if layers == 1 else 's'}, {at}{POLARISED[pol]}"


BAND_LEVELS = (5.0, 50.0, 95.0)


def band(tolerance: Tolerance, quantity: str) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The 5 %, median and 95 % curves of R or T over the runs, in %, (N,) each."""
    p = getattr(tolerance, quantity).percentiles
    return tuple(100 * p[int(np.flatnonzero(tolerance.levels == q)[0])] for q in BAND_LEVELS)


def render(design: Design, wavelengths: np.ndarray, angle: float, pol: str, title: str,
           engine: Optional[Engine] = None, tolerance: Optional[Tuple[str, Tolerance]] = None) -> bytes:
    """The figure as PNG bytes: R on the left axis and T on the right, each
    scaled to its own data, over the map of dR/dd_k (% per nm).
    tolerance: (quantity, result of Design.tolerance with BAND_LEVELS among
    its levels) adds that quantity's median and 5-95 % band."""
    plt = pyplot()
    s = design.sensitivities(wavelengths, angle=angle, pol=pol, engine=engine)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 7.5), sharex=True,
                                      gridspec_kw={"height_ratios": [1, 1.3]}, constrained_layout=True)
    try:
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
        lim = float(np.max(np.abs(dR))) if dR.size else 1.0
        lim = lim if lim > 0 else 1.0
        step = wavelengths[1] - wavelengths[0] if len(wavelengths) > 1 else 1.0
        image = bottom.imshow(dR.reshape(K, -1), aspect="auto", origin="lower", cmap="RdBu_r", vmin=-lim, vmax=lim,
                              interpolation="nearest",
                              extent=(wavelengths[0] - step / 2, wavelengths[-1] + step / 2, -0.5, K - 0.5))
        bottom.set_xlabel("wavelength (nm)")
        bottom.set_ylabel("layer (0 = on substrate)")
        if K <= 30:
            bottom.set_yticks(range(K))
            bottom.tick_params(axis="y", labelsize=7)
        fig.colorbar(image, ax=bottom, label="dR/dd$_k$  (% per nm)")
        return png(fig)
    finally:
        plt.close(fig)


def pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def png(fig) -> bytes:
    out = io.BytesIO()
    fig.savefig(out, format="png", dpi=110)
    return out.getvalue()


LIGHT = {"s": ("s",), "p": ("p",), "u": ("s", "p")}


def render_field(design: Design, wavelength: float, angle: float, pol: str, title: str,
                 engine: Optional[Engine] = None) -> bytes:
    """|E|^2 against depth (p: its two components too) over the real index
    profile at one wavelength; for an absorbing design a panel below with
    the absorption density."""
    plt = pyplot()
    f = design.field(np.array([float(wavelength)]), angle=angle, pol=pol, engine=engine)
    absorbs = bool(np.any(f.density[:, 0] > 0))
    fig, axes = plt.subplots(2 if absorbs else 1, 1, figsize=(9, 7 if absorbs else 5), sharex=True, squeeze=False,
                             gridspec_kw={"height_ratios": [1.6, 1] if absorbs else [1]}, constrained_layout=True)
    try:
        top = axes[0, 0]
        index = top.twinx()
        index.fill_between(f.depth, f.index[:, 0].real, step="post", color="0.85", linewidth=0)
        index.set_ylabel("n")
        index.set_ylim(min(1.0, f.index.real.min()) * 0.9, f.index.real.max() * 1.15)
        top.set_zorder(index.get_zorder() + 1)
        top.patch.set_visible(False)
        top.plot(f.depth, f.E2[:, 0], color="tab:red", label="|E|$^2$")
        if pol != "s" and angle > 0:
            top.plot(f.depth, f.tangential[:, 0], color="tab:blue", linewidth=0.8, linestyle="--",
                     label="along the layers")
            top.plot(f.depth, f.normal[:, 0], color="tab:green", linewidth=0.8, linestyle="--", label="across")
        top.set_ylabel("|E|$^2$ / |E$_{incident}$|$^2$")
        top.set_ylim(bottom=0)
        top.legend(loc="upper right")
        top.set_title(heading(title, len(design), angle, pol) + f", {wavelength:g} nm")
        for ax in axes[:, 0]:
            ax.grid(alpha=0.3)
            if len(design) <= 200:
                for z in f.interfaces:
                    ax.axvline(z, color="0.6", linewidth=0.4)
        if absorbs:
            axes[1, 0].plot(f.depth, f.density[:, 0] * 1e3, color="tab:purple")
            axes[1, 0].set_ylabel("absorbed (\u2030 per nm)")
        axes[-1, 0].set_xlabel("depth from the surface (nm)")
        return png(fig)
    finally:
        plt.close(fig)


def render_admittance(design: Design, wavelength: float, angle: float, pol: str, title: str,
                      engine: Optional[Engine] = None) -> bytes:
    """The admittance locus from the substrate (square) to the surface
    (star), a dot at each layer boundary, over the circles of equal
    reflectance. "u" draws the s and p loci, each divided by its incident
    admittance so that one set of circles serves both."""
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(8, 7.5), constrained_layout=True)
    try:
        spans = []
        for p, style in zip(LIGHT[pol], ("-", "--")):
            at = np.array([float(wavelength)])
            spread = design.admittance_locus(at, angle=angle, pol=p, points_per_layer=16, engine=engine).Y
            # Far from the origin the locus sweeps its arcs within a small share of a layer's
            # thickness (a mirror's admittance grows layer by layer): enough points to draw them as arcs.
            points = int(np.clip(ARC_POINTS * np.abs(spread).max() / max(np.abs(spread).min(), 1e-12), 256, 50000))
            loc = design.admittance_locus(at, angle=angle, pol=p, points_per_layer=points, engine=engine)
            eta0 = loc.incident
            R = float(np.abs(reflection(loc.Y[-1, 0], eta0)) ** 2)
            Y = loc.Y[:, 0] / eta0 if pol == "u" else loc.Y[:, 0]
            ax.plot(Y.real, Y.imag, style, color="tab:blue" if p == "s" else "tab:orange", linewidth=1.2,
                    label=f"{p}: R = {100 * R:.3g} %")
            ax.plot(Y.real[loc.boundaries], Y.imag[loc.boundaries], "o", color="k", markersize=3)
            ax.plot(Y.real[0], Y.imag[0], "s", color="tab:green", markersize=7)
            ax.plot(Y.real[-1], Y.imag[-1], "*", color="tab:red", markersize=12)
            spans.append(Y)
        Y = np.concatenate(spans)
        centre, radius = iso_reflectance_circle(1.0 if pol == "u" else eta0.real, np.array(ISO_REFLECTANCES))
        t = np.linspace(0, 2 * np.pi, 400)
        for c, r, level in zip(centre, radius, ISO_REFLECTANCES):
            ax.plot(c + r * np.cos(t), r * np.sin(t), color="0.75", linewidth=0.7, zorder=0)
            ax.annotate(f"{100 * level:g} %", (c, r), color="0.5", fontsize=7, ha="center", va="bottom")
        ax.axhline(0, color="0.5", linewidth=0.6)
        x0, x1 = min(Y.real.min(), 0.0), Y.real.max()
        y0, y1 = Y.imag.min(), Y.imag.max()
        pad = 0.08 * max(x1 - x0, y1 - y0, 1e-3)
        ax.set_xlim(x0 - pad, x1 + pad)
        ax.set_ylim(y0 - pad, y1 + pad)
        ax.set_aspect("equal", adjustable="datalim")
        unit = " / \N{GREEK SMALL LETTER ETA}\N{SUBSCRIPT ZERO}" if pol == "u" else ""
        ax.set_xlabel(f"Re Y{unit}")
        ax.set_ylabel(f"Im Y{unit}")
        ax.legend(loc="best", title="\u25a0 substrate  \u2605 surface  \u25cf boundaries")
        ax.set_title(heading(title, len(design), angle, pol) + f", {wavelength:g} nm")
        return png(fig)
    finally:
        plt.close(fig)


def spectral_locus(observer: int) -> np.ndarray:
    """xy (n, 2) of the monochromatic colours 380-700 nm, closed by the purple line."""
    cmf = colour.colour_matching(np.arange(380.0, 701.0, 1.0), observer=observer)
    xy = colour.chromaticity(cmf.T)
    return np.vstack([xy, xy[:1]])


def render_colour(design: Design, pol: str, title: str, illuminant: str, observer: int,
                  engine: Optional[Engine] = None, angles: np.ndarray = COLOUR_ANGLES) -> bytes:
    """The reflected colour over the angles on the xy diagram (whole and
    magnified about the trajectory), and swatches of it at a few angles
    (brightened: the hue and saturation, with L* written on them)."""
    plt = pyplot()
    c = design.colour(illuminant=illuminant, observer=observer, angle=angles, pol=pol, engine=engine)
    seen = colour.observation(illuminant=illuminant, observer=observer)
    white = colour.chromaticity(seen.white)
    xy = c.R.xy
    fig = plt.figure(figsize=(11, 7), constrained_layout=True)
    grid = fig.add_gridspec(2, 2, height_ratios=[4, 1])
    try:
        whole, near = fig.add_subplot(grid[0, 0]), fig.add_subplot(grid[0, 1])
        locus = spectral_locus(observer)
        for ax in (whole, near):
            ax.plot(locus[:, 0], locus[:, 1], color="0.3", linewidth=1)
            ax.plot(*white, "+", color="k", markersize=10)
            ax.plot(xy[:, 0], xy[:, 1], color="tab:red", linewidth=1.5)
            marks = np.flatnonzero(np.mod(angles, 10) == 0)
            ax.scatter(xy[marks, 0], xy[marks, 1], c=colour.display_rgb(c.R.XYZ[marks], seen.white, bright=True),
                       edgecolors="k", s=40, zorder=3)
            ax.set_xlabel("x")
            ax.set_ylabel("y")
            ax.grid(alpha=0.3)
            ax.set_aspect("equal", adjustable="box")
        for i in np.flatnonzero(np.mod(angles, 10) == 0):
            near.annotate(f"{angles[i]:g}\N{DEGREE SIGN}", xy[i], textcoords="offset points", xytext=(5, 4),
                          fontsize=8)
        whole.set_xlim(-0.02, 0.82)
        whole.set_ylim(-0.02, 0.9)
        points = np.vstack([xy, white])
        middle, half = (points.min(axis=0) + points.max(axis=0)) / 2, max(np.ptp(points, axis=0).max() / 2 * 1.15, 0.005)
        near.set_xlim(middle[0] - half, middle[0] + half)
        near.set_ylim(middle[1] - half, middle[1] + half)
        near.set_title(f"magnified; + the white of {illuminant}")
        fig.suptitle(f"{heading(title, len(design), None, pol)}: reflected colour at 0\N{EN DASH}{angles[-1]:g}"
                     f"\N{DEGREE SIGN} under {illuminant}, {observer}\N{DEGREE SIGN} observer")
        whole.set_title("CIE 1931 xy" if observer == 2 else "CIE 1964 xy")
        strip = fig.add_subplot(grid[1, :])
        picks = [int(np.argmin(np.abs(angles - a))) for a in SWATCH_ANGLES]
        rgb = colour.display_rgb(c.R.XYZ[picks], seen.white, bright=True)
        for k, i in enumerate(picks):
            strip.add_patch(plt.Rectangle((k, 0), 0.9, 1, color=rgb[k]))
            L, a_, b_ = c.R.Lab[i]
            strip.text(k + 0.45, 0.5, f"{angles[i]:g}\N{DEGREE SIGN}\nL* {L:.1f}\na* {a_:.1f}  b* {b_:.1f}",
                       ha="center", va="center", fontsize=8,
                       color="k" if rgb[k] @ np.array([0.3, 0.6, 0.1]) > 0.5 else "w")
        strip.set_xlim(0, len(picks) - 0.1)
        strip.set_ylim(0, 1)
        strip.axis("off")
        return png(fig)
    finally:
        plt.close(fig)


def render_map(design: Design, wavelengths: np.ndarray, quantity: str, pol: str, title: str,
               engine: Optional[Engine] = None, angles: np.ndarray = MAP_ANGLES) -> bytes:
    """R, T or A (%) as an image over wavelength and angle."""
    plt = pyplot()
    s = design.spectrum(wavelengths, angle=angles, pol=pol, engine=engine)
    v = 100 * getattr(s, quantity)
    fig, ax = plt.subplots(figsize=(9, 6), constrained_layout=True)
    try:
        step = wavelengths[1] - wavelengths[0] if len(wavelengths) > 1 else 1.0
        image = ax.imshow(v, aspect="auto", origin="lower", cmap="viridis", interpolation="nearest",
                          extent=(wavelengths[0] - step / 2, wavelengths[-1] + step / 2, angles[0] - 0.5,
                                  angles[-1] + 0.5))
        fig.colorbar(image, ax=ax, label=f"{quantity} (%)")
        ax.set_xlabel("wavelength (nm)")
        ax.set_ylabel("angle of incidence (\N{DEGREE SIGN})")
        ax.set_title(f"{heading(title, len(design), None, pol)}: {quantity} over wavelength and angle")
        return png(fig)
    finally:
        plt.close(fig)


def write_image(path: str, image: bytes) -> None:
    """Writes the whole image or nothing: a failed write leaves no partial file."""
    folder = os.path.dirname(os.path.abspath(path))
    temporary = os.path.join(folder, f".{os.path.basename(path)}.{os.getpid()}.part")
    try:
        with open(temporary, "wb") as f:
            f.write(image)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise


def _option_medium(a: argparse.Namespace, option: str, value: Optional[Union[float, str]], k: Optional[float],
                   k_option: str, base: Index) -> Index:
    """A medium the options give: a number (with its k) or a material by name;
    only k, the base medium's index with that k; neither, the base."""
    if value is None and k is None:
        return base
    if value is None:
        if not is_constant(base):
            raise ValueError(f"{k_option}: only for a medium given by its index ({option} N)")
        return complex(complex(base).real, -k)
    if not isinstance(value, str):
        return complex(value, -(k or 0.0))
    try:
        m = material(value, database=a.database)
    except ValueError as e:
        raise ValueError(f"{option}: {e}") from None
    return m.extrapolated() if a.extrapolate else m


def build_design(a: argparse.Namespace) -> Tuple[Design, str]:
    """The design of the options: the design file (or the built-in one) with
    the media and substrate the options give in place of the file's."""
    read = lambda path: read_design(path, materials=a.materials, database=a.database, extrapolate=a.extrapolate)
    if a.design:
        d, title = read(a.design), os.path.basename(a.design)
    else:
        d, title = default_design(), "built-in quarter-wave reflector"
    incident = _option_medium(a, "--incident", a.incident, None, "--incident", d.incident)
    substrate = _option_medium(a, "--substrate", a.substrate, a.substrate_k, "--substrate-k", d.substrate)
    thickness = d.substrate_thickness if a.substrate_thickness is None else a.substrate_thickness * 1e6
    if a.back and d.back_layers:
        raise ValueError("--back: the design file has back lines already")
    back = read(a.back).layers if a.back else d.back_layers
    given_exit = d.exit_medium if d.exit_medium is not d.incident else None
    exit_medium = _option_medium(a, "--exit", a.exit, a.exit_k, "--exit-k",
                                 given_exit if given_exit is not None else incident)
    if thickness is None:
        for option, used in (("--exit", a.exit is not None or a.exit_k is not None), ("--back", bool(a.back))):
            if used:
                raise ValueError(f"{option}: only behind a thick substrate (--substrate-thickness MM)")
    if exit_medium is incident:
        exit_medium = None
    return Design(d.layers, substrate, incident, thickness, back, exit_medium), title


def material_of(a: argparse.Namespace) -> Material:
    """The material of --material: one of the --materials file, or any the
    package names (built in, a page of the database, a .yml file)."""
    defined = read_materials(a.materials, database=a.database) if a.materials else {}
    if a.material in defined:
        return defined[a.material]
    try:
        return material(a.material, database=a.database)
    except ValueError as e:
        raise ValueError(f"--material: {e}") from None


def render_material(m: Material, wavelengths: np.ndarray) -> bytes:
    """The figure of a material as PNG bytes: n on the left axis and k on
    the right over the wavelengths (nm), a logarithmic axis for a range of
    more than a decade and a half."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n, k = m.nk(wavelengths)
    fig, ax = plt.subplots(figsize=(9, 5), constrained_layout=True)
    try:
        right = ax.twinx()
        ax.plot(wavelengths, n, color="tab:blue")
        right.plot(wavelengths, k, color="tab:red")
        ax.set_ylabel("n", color="tab:blue")
        right.set_ylabel("k", color="tab:red")
        ax.set_xlabel("wavelength (nm)")
        if wavelengths[-1] > 30 * wavelengths[0]:
            ax.set_xscale("log")
        ax.grid(alpha=0.3)
        ax.set_title(f"{m.name}: n - ik" + (f", {m.description}" if m.description else ""), fontsize=10)
        if m.reference:
            fig.text(0.01, 0.005, m.reference[:160], fontsize=7, color="0.3")
        out = io.BytesIO()
        fig.savefig(out, format="png", dpi=110)
        return out.getvalue()
    finally:
        plt.close(fig)


def material_grid(m: Material, a: argparse.Namespace) -> np.ndarray:
    """The material's range (within 1 nm to 1e6 nm) in 2001 wavelengths,
    evenly on a logarithmic scale over more than a decade and a half; the
    grid of the options where it has no range."""
    if m.wavelength_range is None:
        return wavelength_grid(a.start, a.stop, a.step)
    lo, hi = max(m.wavelength_range[0], 1.0), min(m.wavelength_range[1], 1e6)
    w = np.geomspace(lo, hi, 2001) if hi > 30 * lo else np.linspace(lo, hi, 2001)
    w[0], w[-1] = lo, hi  # the ends exactly, inside the range
    return w


def main(argv: Optional[List[str]] = None) -> int:
    a = _arguments(argv)
    name = program()
    try:
        if a.material:
            m = material_of(a)
            image = render_material(m, material_grid(m, a))
            return _written(name, a.output, image)
        design, title = build_design(a)
        engine = Engine(a.library) if a.library else default_engine()
        engine.init(a.threads)
        wavelengths = wavelength_grid(a.start, a.stop, a.step)
        tolerance = None
        if a.tolerance is not None:
            errors = ErrorModel(a.sigma, a.sigma_rel, a.sigma_index, a.alike)
            tolerance = (a.band, design.tolerance(wavelengths, errors, a.tolerance, seed=a.seed, angle=a.angle,
                                                  pol=a.pol, percentiles=BAND_LEVELS, engine=engine))
        if a.field is not None:
            image = render_field(design, a.field, a.angle, a.pol, title, engine)
        elif a.admittance is not None:
            image = render_admittance(design, a.admittance, a.angle, a.pol, title, engine)
        elif a.colour:
            image = render_colour(design, a.pol, title, a.illuminant, a.observer, engine)
        elif a.map:
            image = render_map(design, wavelengths, a.map, a.pol, title, engine)
        else:
            image = render(design, wavelengths, a.angle, a.pol, title, engine, tolerance)
    except (NonFiniteResult, MemoryError) as e:
        print(f"{name}: {e if str(e) else 'not enough memory'}", file=sys.stderr)
        return 1
    except (OSError, ValueError, TypeError) as e:
        print(f"{name}: {e}", file=sys.stderr)
        return 2
    return _written(name, a.output, image)


def _written(name: str, output: str, image: bytes) -> int:
    try:
        write_image(output, image)
    except OSError as e:
        print(f"{name}: cannot write {output}: {e.strerror or e}", file=sys.stderr)
        return 1
    print(os.path.abspath(output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
