"""Design synthesis from a problem file:

    python3 -m sardune.synthesize PROBLEM.toml [--output STEM] [--threads T] [--library SO] [--quiet]

reads the problem (TOML), runs needle synthesis (sardune.synthesis) from
its start, or from each of its starts spread over total thicknesses, shows
each step on standard error, and writes the best design as a design file
(STEM.design, read by sardune-spectrum), a report (STEM.txt) and a picture
(STEM.png: the refractive-index profile against the distance from the
substrate beside the spectrum with its targets). STEM defaults to the
problem file's path without its extension. A problem file:

    incident = 1.0                   # media: a number, [n, k] or a material name
    substrate = 1.52
    [materials]                      # the needle materials: label = index
    L = 1.38
    H = 2.35                         # or "TiO2" once the library has it
    [start]
    layers = [["L", 99.6]]           # label or index, thickness nm, from the substrate up;
                                     # or quarter_wave = [["L", 1]] with reference = 550.0,
                                     # or design = "start.design"
    totals = [200.0, 300.0]          # optional: starts spread over these total thicknesses (nm)
    [[targets]]                      # one table per row
    quantity = "R"                   # R, T or A
    from = 420.0                     # wavelengths nm: from, to, step (or wavelengths = [...])
    to = 680.0
    step = 2.0
    angle = 0.0                      # degrees; pol "s", "p" or "u"
    value = 0.0
    tolerance = 0.001
    kind = "equal"                   # or "below", "above"; weight = 1.0
    [limits]                         # synthesize()'s options: min_thickness, max_layers,
    max_layers = 40                  # max_total_thickness, positions_per_layer, needle_thickness,
                                     # needles, epsilon, goal, max_steps, max_seconds, min_improvement

Exit status as sardune-spectrum's: 0; 2 for bad input (the problem file,
the options, a start design file), with a message naming the file, the key
and the problem; 1 for a result that is not finite, not enough memory, or
an output that cannot be written.
"""

import argparse
import io
import math
import numbers
import os
import sys
import time
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from ._binding import Engine, default_engine
from ._version import __version__
from .design import Design, read_design, wavelength_grid
from .errors import NonFiniteResult
from .media import Index, Layer, index_spec, same_index
from .plot import write_image
from .synthesis import Step, SynthesisResult, check_options, spread
from .targets import Target, Targets

LIMITS = ("min_thickness", "max_layers", "max_total_thickness", "positions_per_layer", "needle_thickness",
          "needles", "epsilon", "goal", "max_steps", "max_seconds", "min_improvement")
TARGET_KEYS = ("quantity", "wavelengths", "from", "to", "step", "angle", "pol", "value", "tolerance", "kind",
               "weight")
MAX_WAVELENGTHS = 100_000


class ProblemError(ValueError):
    """A problem file that cannot be used: "FILE: KEY: PROBLEM"."""

    def __init__(self, path: str, key: Optional[str], problem: str) -> None:
        super().__init__(f"{path}: {key}: {problem}" if key else f"{path}: {problem}")
        self.path, self.key = path, key


class Problem(NamedTuple):
    """A problem file read: the start designs, the target rows, the needle
    materials with their labels, synthesize()'s options."""
    path: str
    starts: List[Design]
    targets: List[Target]
    materials: List[Index]
    labels: List[str]
    limits: Dict[str, Any]


# ---------------------------------------------------------------- reading the problem

def read_problem(path: str) -> Problem:
    """The problem in a TOML file; ProblemError names the file, key and problem."""
    import tomllib

    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise ProblemError(path, None, f"cannot read: {e.strerror or e}") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise ProblemError(path, None, f"not a TOML file: {e}") from None
    r = _Reader(path)
    r.keys("", data, ("incident", "substrate", "materials", "start", "targets", "limits"))
    incident = r.index("incident", data.get("incident", 1.0), lossless=True)
    substrate = r.index("substrate", data.get("substrate", 1.52))
    labels, materials = r.materials(r.table("materials", data.get("materials"), required=True))
    start = r.table("start", data.get("start"), required=True)
    starts = r.starts(start, labels, materials, substrate, incident)
    rows = data.get("targets")
    if not isinstance(rows, list) or not rows:
        raise ProblemError(path, "targets", "expected one or more [[targets]] tables")
    targets = [r.target(i, row) for i, row in enumerate(rows)]
    try:
        Targets(targets)
    except (TypeError, ValueError) as e:
        raise ProblemError(path, None, str(e)) from None
    limits = r.table("limits", data.get("limits", {}))
    r.keys("limits", limits, LIMITS)
    try:
        check_options(**limits)
    except (TypeError, ValueError) as e:
        raise ProblemError(path, "limits." + str(e).split(": ", 1)[0], str(e).split(": ", 1)[-1]) from None
    return Problem(path, starts, targets, materials, labels, dict(limits))


class _Reader:
    def __init__(self, path: str) -> None:
        self.path = path

    def fail(self, key: str, problem: str) -> None:
        raise ProblemError(self.path, key, problem)

    def keys(self, where: str, table: Dict[str, Any], allowed: Sequence[str]) -> None:
        for k in table:
            if k not in allowed:
                self.fail(f"{where}.{k}" if where else k, f"unknown key; expected one of {', '.join(allowed)}")

    def table(self, key: str, v: Any, required: bool = False) -> Dict[str, Any]:
        if v is None and required:
            self.fail(key, "missing")
        if not isinstance(v, dict):
            self.fail(key, "expected a table")
        return v

    def number(self, key: str, v: Any) -> float:
        if isinstance(v, bool) or not isinstance(v, numbers.Real) or not math.isfinite(v):
            self.fail(key, f"expected a finite number, got {v!r}")
        return float(v)

    def index(self, key: str, v: Any, lossless: bool = False) -> Index:
        """A number, [n, k] or a material name, checked."""
        if isinstance(v, list):
            if len(v) != 2 or lossless:
                self.fail(key, "expected a number" + ("" if lossless else ", [n, k]") + " or a material name")
            n, k = self.number(key, v[0]), self.number(key, v[1])
            v = complex(n, -k)
        elif not isinstance(v, str):
            v = self.number(key, v)
        try:
            given = index_spec(key, v)
        except (TypeError, ValueError) as e:
            self.fail(key, str(e).split(": ", 1)[-1])
        if lossless and isinstance(given, complex) and given.imag:
            self.fail(key, "expected a lossless index")
        return given

    def materials(self, table: Dict[str, Any]) -> Tuple[List[str], List[Index]]:
        if not table:
            self.fail("materials", "expected at least one material")
        return list(table), [self.index(f"materials.{k}", v) for k, v in table.items()]

    def layer_index(self, key: str, v: Any, labels: List[str], materials: List[Index]) -> Index:
        if isinstance(v, str) and v in labels:
            return materials[labels.index(v)]
        return self.index(key, v)

    def starts(self, start: Dict[str, Any], labels: List[str], materials: List[Index], substrate: Index,
               incident: Index) -> List[Design]:
        self.keys("start", start, ("layers", "quarter_wave", "reference", "design", "totals"))
        given = [k for k in ("layers", "quarter_wave", "design") if k in start]
        if len(given) != 1:
            self.fail("start", "expected exactly one of layers, quarter_wave or design")
        kind = given[0]
        if kind == "design":
            if not isinstance(start["design"], str):
                self.fail("start.design", "expected the path of a design file")
            folder = os.path.dirname(self.path)
            design = read_design(os.path.join(folder, start["design"]), substrate, incident)
        else:
            rows = start[kind]
            if not isinstance(rows, list) or not rows:
                self.fail(f"start.{kind}", "expected a list of [material, " +
                          ("thickness nm" if kind == "layers" else "quarter waves") + "] pairs")
            pairs = []
            for j, row in enumerate(rows):
                key = f"start.{kind}[{j}]"
                if not isinstance(row, list) or len(row) != 2:
                    self.fail(key, "expected [material, number]")
                amount = self.number(key, row[1])
                if amount < 0:
                    self.fail(key, f"expected a value >= 0, got {amount:g}")
                pairs.append((self.layer_index(key, row[0], labels, materials), amount))
            if kind == "layers":
                design = Design([Layer(n, d) for n, d in pairs], substrate, incident)
            else:
                if "reference" not in start:
                    self.fail("start.reference", "missing; quarter_wave needs the reference wavelength (nm)")
                reference = self.number("start.reference", start["reference"])
                if reference <= 0:
                    self.fail("start.reference", "expected a wavelength > 0 nm")
                design = Design.quarter_wave(pairs, reference=reference, substrate=substrate, incident=incident)
        if "reference" in start and kind != "quarter_wave":
            self.fail("start.reference", "only read with quarter_wave")
        if "totals" not in start:
            return [design]
        totals = start["totals"]
        if not isinstance(totals, list) or not totals:
            self.fail("start.totals", "expected a list of total thicknesses (nm)")
        values = [self.number(f"start.totals[{i}]", v) for i, v in enumerate(totals)]
        try:
            return spread(design, values)
        except (TypeError, ValueError) as e:
            where, problem = str(e).split(": ", 1)
            self.fail(f"start.{where}", problem)

    def target(self, i: int, row: Any) -> Target:
        key = f"targets[{i}]"
        if not isinstance(row, dict):
            self.fail(key, "expected a table")
        self.keys(key, row, TARGET_KEYS)
        for need in ("quantity", "tolerance"):
            if need not in row:
                self.fail(f"{key}.{need}", "missing")
        grid_keys = [k for k in ("from", "to", "step") if k in row]
        if ("wavelengths" in row) == bool(grid_keys):
            self.fail(key, "expected wavelengths = [...] or from, to and step")
        if grid_keys:
            if len(grid_keys) != 3:
                self.fail(key, "expected all of from, to and step")
            a, b, s = (self.number(f"{key}.{k}", row[k]) for k in ("from", "to", "step"))
            if not (0 < a <= b and s > 0) or (b - a) / s + 1 > MAX_WAVELENGTHS:
                self.fail(f"{key}.step", f"expected 0 < from <= to, step > 0 and at most {MAX_WAVELENGTHS} "
                                         "wavelengths")
            w = wavelength_grid(a, b, s)
        else:
            w = row["wavelengths"]
            if not isinstance(w, list) or not w:
                self.fail(f"{key}.wavelengths", "expected a list of wavelengths (nm)")
            w = np.array([self.number(f"{key}.wavelengths[{j}]", v) for j, v in enumerate(w)])
        values = {}
        for k in ("value", "tolerance", "weight"):
            if k in row:
                v = row[k]
                values[k] = ([self.number(f"{key}.{k}[{j}]", x) for j, x in enumerate(v)] if isinstance(v, list)
                             else self.number(f"{key}.{k}", v))
        t = Target(row["quantity"], w, row.get("angle", 0.0), row.get("pol", "s"), values.get("value", 0.0),
                   values["tolerance"], row.get("kind", "equal"), values.get("weight", 1.0))
        try:
            return t.checked(key)
        except (TypeError, ValueError) as e:
            raise ProblemError(self.path, None, str(e)) from None


# ---------------------------------------------------------------- the run

def run(problem: Problem, engine: Engine, show: Optional[Any] = None) -> SynthesisResult:
    """Synthesis from each start in turn, the best result (lowest F; the
    earlier start on a tie). show: a stream for a line per step."""
    best: Optional[SynthesisResult] = None
    for i, start in enumerate(problem.starts):
        began = time.perf_counter()

        def progress(step: Step) -> None:
            if show is not None:
                which = f"start {i + 1}/{len(problem.starts)} " if len(problem.starts) > 1 else ""
                print(f"{which}step {step.step}: F {step.merit:.4g}, {step.layers} layers, "
                      f"{step.total_thickness:.1f} nm, {time.perf_counter() - began:.1f} s", file=show, flush=True)

        r = start.synthesize(problem.targets, problem.materials, engine=engine, progress=progress, **problem.limits)
        if show is not None:
            print(f"  {r.stopped}", file=show, flush=True)
        if best is None or r.merit < best.merit:
            best = r
    return best


def label(problem: Problem, index: Index) -> str:
    """The problem's label of a layer's index, else the index as written."""
    for name, given in zip(problem.labels, problem.materials):
        if same_index(given, index):
            return name
    if isinstance(index, complex):
        return f"{index.real:g}" + (f"-{-index.imag:g}i" if index.imag else "")
    return getattr(index, "name", "?")


def report(problem: Problem, r: SynthesisResult) -> str:
    """The run as text: why it stopped, merits, every step and the layers."""
    d = r.design
    lines = [f"sardune synthesis of {problem.path}", "",
             f"stopped: {r.stopped}",
             f"merit F: {r.merits[0]:.6g} at the start, {r.merit:.6g} at the end",
             f"layers: {r.layers}, total thickness {r.total_thickness:.2f} nm",
             f"time: {r.seconds:.2f} s (" + ", ".join(f"{k} {v:.2f} s" for k, v in r.timings.items()) + ")",
             "", "step  merit F        layers  thickness nm  insertions (material at depth nm)"]
    for s in r.steps:
        ins = ", ".join(f"{label(problem, i.material)} at {i.depth:.1f}" for i in s.insertions)
        lines.append(f"{s.step:4d}  {s.merit:<13.6g} {s.layers:6d}  {s.total_thickness:12.2f}  {ins}")
    lines += ["", "layer  material      index         thickness nm  (from the substrate up)"]
    for j, l in enumerate(d.layers):
        lines.append(f"{j:5d}  {label(problem, l.index):<12}  {_shown(l.index):<12}  {l.thickness:12.4f}")
    return "\n".join(lines) + "\n"


def _shown(index: Index) -> str:
    if isinstance(index, complex):
        return f"{index.real:g}" + (f" - {-index.imag:g}i" if index.imag else "")
    return getattr(index, "name", "")


# ---------------------------------------------------------------- the picture

def picture(problem: Problem, r: SynthesisResult, engine: Engine) -> bytes:
    """PNG bytes: the index profile (real part at the middle of the target
    wavelengths) against the distance from the substrate, and the spectra
    of the targets' views with the targets (equal: dots, below: v, above: ^)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    d = r.design
    rows = Targets(problem.targets)
    lo = min(float(g.wavelengths.min()) for g in rows.groups)
    hi = max(float(g.wavelengths.max()) for g in rows.groups)
    centre = np.array([(lo + hi) / 2])
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 3.8), gridspec_kw={"width_ratios": [1, 1.3]},
                                      constrained_layout=True)
    try:
        # the substrate on the left, the incident medium on the right, a tenth of the coating wide each
        total = float(d.thicknesses.sum())
        margin = 0.1 * total if total > 0 else 1.0
        edges = np.concatenate([[-margin], [0.0], np.cumsum(d.thicknesses), [total + margin]])
        n = np.array([_real_index(d.substrate, centre)] + [_real_index(l.index, centre) for l in d.layers]
                     + [_real_index(d.incident, centre)])
        floor = n.min() - 0.1
        x, y = np.repeat(edges, 2)[1:-1], np.repeat(n, 2)
        left.plot(x, y, color="black", linewidth=1)
        left.fill_between(x, y, floor, where=(x >= 0) & (x <= total), color="tab:blue", alpha=0.3, linewidth=0)
        left.fill_between(x, y, floor, where=x <= 0, color="grey", alpha=0.3, linewidth=0)
        left.set_xlabel("distance from the substrate (nm)")
        left.set_ylabel(f"n at {centre[0]:g} nm")
        left.set_ylim(floor, n.max() + 0.1)
        left.set_title(f"{r.layers} layers, {r.total_thickness:.0f} nm")
        w = np.linspace(lo, hi, 600) if hi > lo else centre
        colours = iter(plt.rcParams["axes.prop_cycle"].by_key()["color"])
        for g in rows.groups:
            s = d.spectrum(w, angle=g.angle, pol=g.pol, engine=engine)
            view = f"{g.angle:g}\N{DEGREE SIGN} {g.pol}"
            for q in sorted({t.quantity for t in g.rows}):
                colour = next(colours)
                right.plot(w, 100 * getattr(s, q), color=colour, linewidth=1, label=f"{q} {view}")
                for t in (t for t in g.rows if t.quantity == q):
                    marker = {"equal": ".", "below": "v", "above": "^"}[t.kind]
                    right.plot(t.wavelengths, 100 * t.value, marker, color=colour, markersize=3)
        right.set_xlabel("wavelength (nm)")
        right.set_ylabel("%")
        right.grid(alpha=0.3)
        right.legend(loc="best", fontsize=8)
        right.set_title(f"F = {r.merit:.3g}")
        out = io.BytesIO()
        fig.savefig(out, format="png", dpi=80)
        return out.getvalue()
    finally:
        plt.close(fig)


def _real_index(index: Index, at: np.ndarray) -> float:
    v = index(at)[0] if callable(index) else index
    return float(np.real(v))


# ---------------------------------------------------------------- the command

def program() -> str:
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return name if name and name not in ("__main__.py", "synthesize.py", "-c") else "python3 -m sardune.synthesize"


def _arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog=program(), description=__doc__.split("\n\n")[0])
    p.add_argument("problem", metavar="PROBLEM.toml", help="the problem file")
    p.add_argument("--output", metavar="STEM", help="writes STEM.design, STEM.txt, STEM.png "
                                                    "(default: the problem's path without .toml)")
    p.add_argument("--threads", type=int, default=0, metavar="T", help="engine worker threads, 0 automatic")
    p.add_argument("--library", metavar="SO", help="engine library (default: see sardune.find_library)")
    p.add_argument("--quiet", action="store_true", help="no line per step on standard error")
    p.add_argument("--version", action="version", version=f"sardune-synthesize {__version__}")
    a = p.parse_args(argv)
    if not 0 <= a.threads <= 1024:
        p.error("--threads: expected a whole number from 0 to 1024")
    return a


def main(argv: Optional[List[str]] = None) -> int:
    a = _arguments(argv)
    name = program()
    stem = a.output or os.path.splitext(a.problem)[0]
    try:
        problem = read_problem(a.problem)
        engine = Engine(a.library) if a.library else default_engine()
        engine.init(a.threads)
    except (OSError, ValueError, TypeError) as e:
        print(f"{name}: {e}", file=sys.stderr)
        return 2
    try:
        result = run(problem, engine, None if a.quiet else sys.stderr)
        image = picture(problem, result, engine)
    except (NonFiniteResult, MemoryError) as e:
        print(f"{name}: {e if str(e) else 'not enough memory'}", file=sys.stderr)
        return 1
    except (ValueError, TypeError) as e:
        print(f"{name}: {a.problem}: {e}", file=sys.stderr)
        return 2
    outputs = [(stem + ".design", lambda path: result.design.write(path)),
               (stem + ".txt", lambda path: write_image(path, report(problem, result).encode())),
               (stem + ".png", lambda path: write_image(path, image))]
    for path, write in outputs:
        try:
            write(path)
        except OSError as e:
            print(f"{name}: cannot write {path}: {e.strerror or e}", file=sys.stderr)
            return 1
        print(os.path.abspath(path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
