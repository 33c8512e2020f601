"""Design synthesis by needle optimisation: from targets and a set of
materials to a design, by inserting thin layers where they lower the merit
most and refining all thicknesses after each insertion.

The merit is that of sardune.targets, F = sqrt(sum w r^2 / sum w) over the
target rows. The needle function of a material m at a depth z of the
coating is

    P_m(z) = dF/d(delta),

the change of F per nm of a layer of m, delta thick, inserted at z (the
layer it falls in is split there). It comes from the engine's first-order
changes of t and r for a thin slab of m replacing the host material at z
(calc_v_t_tau), to which the change for the host growing by delta (its
thickness derivative) is added; the host's front and back matrices are
running products of its layer matrices, from the top and from the
substrate, so that a grid of positions in every layer costs time linear in
the layer count. R and T follow as dR = 2 Re(conj(r) dr) and dT from dt and
the media's admittances, unpolarised rows take the mean of s and p, and
the rows' slopes give dF. The kernel computes in single precision: P
carries an error of about 1e-6 of the largest |P| on the grid.

Depths z are in nm from the coating's substrate face; a grid of
positions_per_layer points covers every layer from face to face, so the
coating's two outer faces are among them.

The loop, from the start as given: in each step the needle function is
computed, needles of `needle_thickness` are put at its most negative minima
(at most `needles` per step, in layers that do not touch), all thicknesses
are refined with sardune.refine (the engine's Jacobian, thicknesses >= 0),
layers thinner than `min_thickness` are removed and neighbours of one
material merged (then refined again). Where the start offers no needle it
is refined and searched once more. It ends when no P lies below -epsilon F
per nm, when F reaches `goal` or stops improving, when a further needle
would pass `max_layers`, when the refined design would pass
`max_total_thickness`, or when `max_steps` or `max_seconds` is used up;
`progress(step)` sees each step and stops the run by returning True. The
result holds the best design found.

Needles go inside layers: at a refined lossless design P vanishes at every
face between two media (to first order a new layer there does what the
thicknesses beside it could do), and a design no needle improves is only
left by a thicker start, so total thickness is the method's main parameter.

Multi-start: `multistart` runs synthesis from several starts (given, or
`spread` over total thicknesses, the method's main parameter) serially or
over an executor (submit(fn, *args) returning futures: a
concurrent.futures executor or a dask.distributed Client), best first.
Each run depends on its start alone, so the results are bitwise the same
whatever the executor, unless a time budget ends runs.

A design here is anything with the attributes of sardune.Design (layers,
substrate, incident, substrate_thickness, ...) and its methods (spectrum,
sensitivities for the refinement, with_layers, with_thicknesses); new
designs are built through it.
"""

import math
import numbers
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from ._binding import Engine, default_engine
from ._sweep import check_method, incidence_of, media, polarisations, thicknesses
from .errors import NonFiniteResult, SynthesisError
from .media import Index, Layer, evaluate, index_spec, same_index
from .optics import (admittance, coefficient_derivatives, coefficients, power_derivative, reflectance,
                     transmittance, transmittance_derivative)
from .refine import refine
from .targets import Targets

__all__ = ["Insertion", "NeedleFunction", "Settings", "Step", "SynthesisResult", "check_options", "multistart",
           "needle_function", "spread", "synthesize"]


# ---------------------------------------------------------------- results

class NeedleFunction(NamedTuple):
    """P_m(z) on a design's grid: values (materials, K, positions) in units
    of F per nm, depth (K, positions) nm from the substrate face, position
    (K, positions) nm from each layer's substrate-side face, and F itself."""
    values: np.ndarray
    depth: np.ndarray
    position: np.ndarray
    merit: float


class Insertion(NamedTuple):
    """A needle of `material` put into layer `layer` (of the design before
    the step, counted from the substrate) at `depth` nm from the coating's
    substrate face, where P was `slope` (F per nm); `thickness` is the
    needle's after the step's refinement (nm; removed if below
    min_thickness)."""
    step: int
    layer: int
    depth: float
    material: Index
    thickness: float
    slope: float


class Step(NamedTuple):
    """The state after a step (step 0: the start as given): merit F, layer
    count, total thickness (nm), the step's insertions, the layers it
    removed or merged, and seconds since the run began."""
    step: int
    merit: float
    layers: int
    total_thickness: float
    insertions: Tuple[Insertion, ...]
    removed: int
    seconds: float
    design: Any


class SynthesisResult(NamedTuple):
    """The best design found and how the run went: merit F (of the design),
    merits (F after each step, step 0 the start), steps, every insertion,
    layers, total_thickness (nm), seconds (wall time of the run), timings
    (seconds in the needle function, in refinement), and why it stopped."""
    design: Any
    merit: float
    merits: Tuple[float, ...]
    steps: Tuple[Step, ...]
    insertions: Tuple[Insertion, ...]
    layers: int
    total_thickness: float
    seconds: float
    timings: Dict[str, float]
    stopped: str


# ---------------------------------------------------------------- arguments

class Settings(NamedTuple):
    """synthesize()'s options, checked (see check_options)."""
    min_thickness: float
    max_layers: int
    max_total_thickness: float
    positions_per_layer: int
    needle_thickness: float
    needles: int
    epsilon: float
    goal: float
    max_steps: int
    max_seconds: float
    min_improvement: float
    refine_options: Dict[str, Any]
    method: str


def _number(name: str, v: Any, low: float, high: float = math.inf, low_open: bool = False) -> float:
    if isinstance(v, (bool, np.bool_)) or not isinstance(v, numbers.Real) or math.isnan(v):
        raise TypeError(f"{name}: expected a real number, got {type(v).__name__}")
    if not ((v > low if low_open else v >= low) and v <= high):
        upper = f" <= {high:g}" if high < math.inf else ""
        raise ValueError(f"{name}: expected {low:g} {'<' if low_open else '<='} value{upper}, got {v}")
    return float(v)


def _whole(name: str, v: Any, low: int) -> int:
    if isinstance(v, (bool, np.bool_)) or not isinstance(v, numbers.Integral):
        raise TypeError(f"{name}: expected an integer, got {type(v).__name__}")
    if v < low:
        raise ValueError(f"{name}: expected at least {low}, got {v}")
    return int(v)


def _materials(materials: Sequence[Index]) -> List[Index]:
    """The candidate materials as index specs; per-wavelength arrays have no
    value at the targets' wavelengths and are refused."""
    if isinstance(materials, (str, numbers.Number)) or not hasattr(materials, "__iter__"):
        raise TypeError("materials: expected a sequence of indices (numbers, material names, Materials)")
    out = []
    for i, v in enumerate(materials):
        if isinstance(v, np.ndarray):
            raise TypeError(f"materials[{i}]: expected a number, a material name or a Material; per-wavelength "
                            "values have no value at the targets' wavelengths")
        out.append(index_spec(f"materials[{i}]", v))
    if not out:
        raise ValueError("materials: expected at least one material")
    return out


def check_options(*, min_thickness: float = 2.0, max_layers: int = 100, max_total_thickness: float = math.inf,
                  positions_per_layer: int = 32, needle_thickness: float = 1.0, needles: int = 1,
                  epsilon: float = 1e-4, goal: float = 0.0, max_steps: int = 100, max_seconds: float = math.inf,
                  min_improvement: float = 1e-4, refine_options: Optional[Dict[str, Any]] = None,
                  method: str = "auto") -> Settings:
    """synthesize()'s options (its keywords but engine and progress) with
    their defaults, checked; errors name the option."""
    check_method(method)
    options = dict(refine_options or {})
    for fixed in ("layers", "bounds", "engine", "method", "jacobian", "progress"):
        if fixed in options:
            raise ValueError(f"refine_options: {fixed!r} is set by synthesis")
    return Settings(_number("min_thickness", min_thickness, 0.0), _whole("max_layers", max_layers, 1),
                     _number("max_total_thickness", max_total_thickness, 0.0, low_open=True),
                     _whole("positions_per_layer", positions_per_layer, 2),
                     _number("needle_thickness", needle_thickness, 0.0, low_open=True), _whole("needles", needles, 1),
                     _number("epsilon", epsilon, 0.0), _number("goal", goal, 0.0), _whole("max_steps", max_steps, 0),
                     _number("max_seconds", max_seconds, 0.0), _number("min_improvement", min_improvement, 0.0, 1.0),
                     options, method)


def _start(start: Any) -> None:
    if start.substrate_thickness is not None:
        raise ValueError("start.substrate_thickness: synthesis is defined for a semi-infinite substrate only")
    if len(start.layers) == 0:
        raise ValueError("start: expected at least one layer (a layer of zero thickness will do)")


# ---------------------------------------------------------------- the needle function

class _View:
    """One polarisation of one group of target rows on the design: its
    media, the coating's t and r with their thickness derivatives dt, dr
    (K, N), each layer's front (above) and back (below) matrix (None: the
    identity), and the candidate materials' indices and admittances."""

    def __init__(self, e: Engine, design: Any, w: np.ndarray, angle: float, pol: str,
                 materials: List[Index]) -> None:
        self.w, self.angle, self.pol = w, angle, pol
        inc = incidence_of(design, w, angle)
        m = self.media = media(design, w, slice(None), w.size, inc, pol, True)
        fb = e.forward_backward(w, thicknesses(design.layers), m.n, m.eta, x=m.x)
        t, tb, r, rb = coefficients(fb.stack_matrix, m.eta0, m.eta_s)
        self.t, self.r = t, r
        self.dt, self.dr, _ = coefficient_derivatives(fb.derivatives, t, tb, r, rb, m.eta0, m.eta_s)
        # running products: below[j] = L_{j-1} ... L_0, above[j] = L_{K-1} ... L_{j+1}
        # (matmul_22X multiplies its stacks last to first)
        K, L = len(design.layers), fb.layer_matrices
        self.below: List[Optional[np.ndarray]] = [None] * K
        self.above: List[Optional[np.ndarray]] = [None] * K
        for j in range(1, K):
            self.below[j] = L[0].copy() if j == 1 else e.matmul_22X([self.below[j - 1], L[j - 1]])
        for j in range(K - 2, -1, -1):
            self.above[j] = L[K - 1].copy() if j == K - 2 else e.matmul_22X([L[j + 1], self.above[j + 1]])
        self.slabs = []
        for i, given in enumerate(materials):
            n = evaluate(f"materials[{i}]", given, w, slice(None), w.size)
            self.slabs.append((n, admittance(n, inc, pol)))

    def spectrum(self) -> Tuple[np.ndarray, np.ndarray]:
        m = self.media
        return reflectance(self.r), transmittance(self.t, m.eta0, m.eta_s)

    def variations(self, e: Engine, j: int, z: np.ndarray, same: List[bool]) -> Tuple[np.ndarray, np.ndarray]:
        """dR, dT (materials x positions, N) per nm of a needle of each
        material inserted at positions z (nm from the substrate side) of
        layer j: the slab replacing the host, plus the host's growth."""
        m = self.media
        host = m.n_rows.rows[m.n_rows.layer_rows[j]], m.eta_rows.rows[m.eta_rows.layer_rows[j]]
        dt = np.empty((len(self.slabs), z.size, self.w.size), np.complex128)
        dr = np.empty_like(dt)
        for a, (n, eta) in enumerate(self.slabs):
            if same[a]:  # a needle of the host's own material only thickens it
                dt[a], dr[a] = 0.0, 0.0
                continue
            e.calc_v_t_tau(self.w, z, host[0], host[1], n, eta, m.eta0, m.eta_s, self.t, r=self.r, x=m.x,
                           front_matrix=self.above[j], back_matrix=self.below[j], outputs=("dt", "dr"),
                           dt=dt[a], dr=dr[a])
        dt += self.dt[j]
        dr += self.dr[j]
        shape = (-1, self.w.size)
        return (power_derivative(self.r, dr).reshape(shape),
                transmittance_derivative(self.t, dt, m.eta0, m.eta_s).reshape(shape))


def _check_finite(view: _View, j: int, dR: np.ndarray, dT: np.ndarray) -> None:
    bad = ~(np.isfinite(dR) & np.isfinite(dT))
    if np.any(bad):
        i = int(np.flatnonzero(bad.any(axis=0))[0])
        w = float(view.w[i])
        raise NonFiniteResult(f"needle function: the change of R or T for a needle in layer {j} is not finite at "
                              f"{w:g} nm ({view.angle:g} degrees, {view.pol})", w, j)


def needle_function(design: Any, targets: Sequence, materials: Sequence[Index], *, positions_per_layer: int = 32,
                    engine: Optional[Engine] = None) -> NeedleFunction:
    """P_m(z) = dF/d(delta) (F per nm of needle) for each material (a
    sequence of indices: numbers, material names, Materials) at
    positions_per_layer depths in every layer of `design` (semi-infinite
    substrate, at least one layer), faces included. targets: Target rows
    or a Targets; F = 0 gives P = 0."""
    e = engine or default_engine()
    _start(design)
    mats = _materials(materials)
    rows = targets if isinstance(targets, Targets) else Targets(targets)
    n_z = _whole("positions_per_layer", positions_per_layer, 2)
    return _needle_function(e, design, rows, mats, n_z)


def _needle_function(e: Engine, design: Any, rows: Targets, materials: List[Index], n_z: int) -> NeedleFunction:
    K, d = len(design.layers), thicknesses(design.layers)
    position = np.linspace(0.0, 1.0, n_z)[None, :] * d[:, None]
    depth = position + (np.cumsum(d) - d)[:, None]
    with np.errstate(all="ignore"):
        views = [[_View(e, design, g.wavelengths, g.angle, p, materials) for p in polarisations(g.pol)]
                 for g in rows.groups]
        spectra = [_mean([v.spectrum() for v in vs]) for vs in views]
        residuals = rows.residuals(spectra)
        F = rows.merit(residuals)
        values = np.zeros((len(materials), K, n_z))
        if F == 0:
            return NeedleFunction(values, depth, position, F)
        scale = 1 / (rows.weights.sum() * F)  # dF = sum r dr / (F sum w)
        for j in range(K):
            same = [same_index(design.layers[j].index, given) for given in materials]
            changes = []
            for vs in views:
                parts = [v.variations(e, j, position[j], same) for v in vs]
                for v, (dR, dT) in zip(vs, parts):
                    _check_finite(v, j, dR, dT)
                changes.append(_mean(parts))
            values[:, j] = ((residuals @ rows.slopes(spectra, changes)) * scale).reshape(len(materials), n_z)
    return NeedleFunction(values, depth, position, F)


def _mean(parts: List[Tuple[np.ndarray, ...]]) -> Tuple[np.ndarray, ...]:
    """s alone, or the mean of s and p in the order the spectra take it."""
    if len(parts) == 1:
        return parts[0]
    return tuple(0.5 * (a + b) for a, b in zip(*parts))


# ---------------------------------------------------------------- one step

class _Candidate(NamedTuple):
    value: float
    material: int
    layer: int
    position: int


def _candidates(design: Any, P: NeedleFunction, materials: List[Index], threshold: float) -> List[_Candidate]:
    """Each layer's lowest P per material below -threshold, lowest first.
    Places where the needle would only thicken a layer of its own material
    (inside it, or at a face it shares with one) are left out."""
    K, n_z = P.values.shape[1:]
    out = []
    for a, given in enumerate(materials):
        for j in range(K):
            if same_index(design.layers[j].index, given):
                continue
            v = P.values[a, j].copy()
            below = design.layers[j - 1].index if j > 0 else design.substrate
            above = design.layers[j + 1].index if j < K - 1 else design.incident
            if same_index(below, given):
                v[0] = np.inf
            if same_index(above, given):
                v[-1] = np.inf
            i = int(np.argmin(v))
            if v[i] < -threshold:
                out.append(_Candidate(float(v[i]), a, j, i))
    return sorted(out)


def _chosen(candidates: List[_Candidate], needles: int, room: int, n_z: int) -> List[_Candidate]:
    """The lowest candidates in layers that do not touch, as many as
    `needles` and the `room` left for new layers allow (a needle inside a
    layer adds two, one at a face adds one)."""
    chosen: List[_Candidate] = []
    for c in candidates:
        if len(chosen) == needles:
            break
        if any(abs(c.layer - o.layer) <= 1 for o in chosen):
            continue
        cost = 1 if c.position in (0, n_z - 1) else 2
        if cost <= room:
            chosen.append(c)
            room -= cost
    return chosen


def _inserted(design: Any, P: NeedleFunction, chosen: List[_Candidate], materials: List[Index],
              thickness: float) -> Tuple[Any, List[int]]:
    """The design with the needles in place, and each needle's new layer number."""
    at = {c.layer: c for c in chosen}
    layers: List[Layer] = []
    needles: Dict[int, int] = {}
    n_z = P.values.shape[2]
    for j, layer in enumerate(design.layers):
        c = at.get(j)
        if c is None:
            layers.append(layer)
            continue
        z = float(P.position[j, c.position])
        # at a face the host stays whole; inside, it is split at z
        below = [] if c.position == 0 else [layer if c.position == n_z - 1 else layer.with_thickness(z)]
        above = [] if c.position == n_z - 1 else [layer if c.position == 0 else
                                                   layer.with_thickness(max(layer.thickness - z, 0.0))]
        layers += below
        needles[j] = len(layers)
        layers += [Layer(materials[c.material], thickness)] + above
    return design.with_layers(layers), [needles[c.layer] for c in chosen]


def _cleaned(design: Any, min_thickness: float) -> Tuple[Any, int]:
    """Layers thinner than min_thickness removed (never the last one) and
    neighbours of one material merged; the design and how many layers went."""
    kept = [l for l in design.layers if l.thickness >= min_thickness] or [max(design.layers, key=lambda l: l.thickness)]
    merged: List[Layer] = []
    for l in kept:
        if merged and same_index(merged[-1].index, l.index):
            merged[-1] = merged[-1].with_thickness(merged[-1].thickness + l.thickness)
        else:
            merged.append(l)
    removed = len(design.layers) - len(merged)
    return (design.with_layers(merged) if removed else design), removed


# ---------------------------------------------------------------- the loop

class _Run:
    """The state of one synthesis: the best design, its merit, the steps
    so far and the time spent in each part."""

    def __init__(self, e: Engine, rows: Targets, s: Settings) -> None:
        self.e, self.rows, self.s = e, rows, s
        self.began = time.perf_counter()
        self.timings = {"needle function": 0.0, "refinement": 0.0}
        self.steps: List[Step] = []

    def refined(self, design: Any) -> Tuple[Any, float]:
        """The design refined (thicknesses >= 0) and its F."""
        began = time.perf_counter()
        r = refine(design, self.rows, bounds=(0.0, math.inf), engine=self.e, method=self.s.method,
                   **self.s.refine_options)
        self.timings["refinement"] += time.perf_counter() - began
        return r.design, math.sqrt(r.merit_end / self.rows.weights.sum())

    def merit(self, design: Any) -> float:
        """F of the design, from its spectra at the rows' views."""
        spectra = []
        for g in self.rows.groups:
            sp = design.spectrum(g.wavelengths, angle=g.angle, pol=g.pol, engine=self.e, method=self.s.method)
            spectra.append((sp.R, sp.T))
        return self.rows.merit(self.rows.residuals(spectra))

    def needle(self, design: Any, materials: List[Index]) -> NeedleFunction:
        began = time.perf_counter()
        P = _needle_function(self.e, design, self.rows, materials, self.s.positions_per_layer)
        self.timings["needle function"] += time.perf_counter() - began
        return P

    def record(self, design: Any, merit: float, insertions: Tuple[Insertion, ...], removed: int) -> Step:
        d = thicknesses(design.layers)
        step = Step(len(self.steps), merit, d.size, float(d.sum()), insertions, removed,
                    time.perf_counter() - self.began, design)
        self.steps.append(step)
        return step


def synthesize(start: Any, targets: Sequence, materials: Sequence[Index], *, min_thickness: float = 2.0,
               max_layers: int = 100, max_total_thickness: float = math.inf, positions_per_layer: int = 32,
               needle_thickness: float = 1.0, needles: int = 1, epsilon: float = 1e-4, goal: float = 0.0,
               max_steps: int = 100, max_seconds: float = math.inf, min_improvement: float = 1e-4,
               refine_options: Optional[Dict[str, Any]] = None, engine: Optional[Engine] = None,
               method: str = "auto", progress: Optional[Callable[[Step], Optional[bool]]] = None
               ) -> SynthesisResult:
    """Needle synthesis from `start` (a Design on a semi-infinite substrate,
    at least one layer) towards `targets` (Target rows or a Targets) with
    needles of `materials` (numbers, material names, Materials).

    min_thickness (nm, default 2): thinner layers are removed after each
    refinement; max_layers (default 100) and max_total_thickness (nm, no
    limit by default) bound the design; positions_per_layer (default 32):
    the needle function's grid in every layer, faces included;
    needle_thickness (nm, default 1): the thickness a needle starts with;
    needles (default 1): at most this many per step, in layers that do not
    touch; epsilon (default 1e-4): a needle must promise dF/d(delta) below
    -epsilon F per nm; goal (default 0): stop once F is at most this;
    max_steps (default 100), max_seconds (wall time, no limit by default):
    the budget; min_improvement (default 1e-4): a step must lower F by at
    least this fraction, else the run ends; refine_options: keywords for
    sardune.refine.refine (max_nfev, ftol, x_scale, ...); method: the
    engine path of the refinement's spectra ("auto", "complex", "real").
    progress(step) sees the start (step 0) and each accepted step (a
    Step); returning True ends the run there. The result holds the best
    design found (the start at worst)."""
    e = engine or default_engine()
    _start(start)
    mats = _materials(materials)
    rows = targets if isinstance(targets, Targets) else Targets(targets)
    s = check_options(min_thickness=min_thickness, max_layers=max_layers, max_total_thickness=max_total_thickness,
                      positions_per_layer=positions_per_layer, needle_thickness=needle_thickness, needles=needles,
                      epsilon=epsilon, goal=goal, max_steps=max_steps, max_seconds=max_seconds,
                      min_improvement=min_improvement, refine_options=refine_options, method=method)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress: expected a callable (step), got {type(progress).__name__}")
    run = _Run(e, rows, s)
    start_merit = run.merit(start)
    stopped = _loop(run, start, start_merit, mats, progress)
    last = run.steps[-1]
    insertions = tuple(i for st in run.steps for i in st.insertions)
    return SynthesisResult(last.design, last.merit, tuple(st.merit for st in run.steps),
                           tuple(run.steps), insertions, last.layers, last.total_thickness,
                           time.perf_counter() - run.began, dict(run.timings), stopped)


def _keep(new: Tuple[Any, float], old: Tuple[Any, float]) -> Tuple[Any, float]:
    """The better of two (design, F); the old one on a tie."""
    return new if new[1] < old[1] else old


def _loop(run: _Run, start: Any, start_merit: float, materials: List[Index],
          progress: Optional[Callable[[Step], Optional[bool]]]) -> str:
    """The steps from the start as given; returns why they ended. The start
    is refined only where its needle function offers nothing: a design at
    a stationary point of its thicknesses can be one of the needle function
    too (a quarter-wave layer at one wavelength has P = 0 at both faces),
    where its unrefined thicknesses leave a way out."""
    s = run.s
    best, merit, refined = start, start_merit, False
    first = run.record(best, merit, (), 0)
    if progress is not None and progress(first):
        return "stopped by progress"
    for number in range(1, s.max_steps + 1):
        if merit <= s.goal:
            return "goal reached"
        if time.perf_counter() - run.began >= s.max_seconds:
            return "time budget used up"
        P = run.needle(best, materials)
        candidates = _candidates(best, P, materials, s.epsilon * merit)
        insertions: Tuple[Insertion, ...] = ()
        if candidates:
            chosen = _chosen(candidates, s.needles, s.max_layers - len(best.layers), P.values.shape[2])
            if not chosen:
                return "max_layers reached"
            trial, placed = _inserted(best, P, chosen, materials, s.needle_thickness)
        elif not refined:
            trial = best
        else:
            return "no needle lowers the merit"
        trial, trial_merit = run.refined(trial)
        refined = True
        if candidates:
            grown = thicknesses(trial.layers)
            insertions = tuple(Insertion(number, c.layer, float(P.depth[c.layer, c.position]),
                                         materials[c.material], float(grown[k]), c.value)
                               for c, k in zip(chosen, placed))
        trial, removed = _cleaned(trial, s.min_thickness)
        if removed:
            trial, trial_merit = _keep(run.refined(trial), (trial, trial_merit))
        if float(thicknesses(trial.layers).sum()) > s.max_total_thickness:
            return "max_total_thickness reached"
        if not trial_merit < merit * (1 - s.min_improvement):
            return "the merit stopped improving" if candidates else "no needle lowers the merit"
        best, merit = trial, trial_merit
        step = run.record(best, merit, insertions, removed)
        if progress is not None and progress(step):
            return "stopped by progress"
    return "max_steps reached"


# ---------------------------------------------------------------- multi-start

def spread(start: Any, totals: Sequence[float]) -> List[Any]:
    """Copies of `start` with its thicknesses scaled to each total (nm > 0):
    starts spread over total thickness."""
    d = thicknesses(start.layers)
    if d.size == 0 or not d.sum() > 0:
        raise ValueError("start: expected layers of some thickness to scale")
    out = []
    for i, total in enumerate(totals):
        total = _number(f"totals[{i}]", total, 0.0, low_open=True)
        out.append(start.with_thicknesses(d * (total / d.sum())))
    if not out:
        raise ValueError("totals: expected at least one total thickness")
    return out


def _one(start: Any, rows: Targets, materials: List[Index], options: Dict[str, Any], engine: Engine) -> SynthesisResult:
    """One start of a multi-start run (an executor's task)."""
    return synthesize(start, rows, materials, engine=engine, **options)


def multistart(starts: Sequence[Any], targets: Sequence, materials: Sequence[Index], *, executor: Any = None,
               engine: Optional[Engine] = None, progress: Optional[Callable[[int, int], None]] = None,
               **options: Any) -> List[SynthesisResult]:
    """synthesize() from each of `starts` (designs, e.g. from spread()),
    with the same targets, materials and options (synthesize's keywords but
    progress), serially or as tasks of `executor` (submit(fn, *args) ->
    future: a concurrent.futures executor or a dask.distributed Client).
    Returns the results best first (lowest F; on a tie the earlier start).
    progress(done, total) after each start's result. A start that fails
    raises SynthesisError naming it."""
    e = engine or default_engine()
    starts = list(starts)
    if not starts:
        raise ValueError("starts: expected at least one start design")
    for i, st in enumerate(starts):
        try:
            _start(st)
        except ValueError as err:
            raise ValueError(f"starts[{i}]: {str(err).split(': ', 1)[1]}") from None
    mats = _materials(materials)
    rows = targets if isinstance(targets, Targets) else Targets(targets)
    if "progress" in options:
        raise TypeError("progress: multistart's progress is (done, total); per-run progress is not forwarded")
    check_options(**options)  # bad options fail here, before any task is sent
    if progress is not None and not callable(progress):
        raise TypeError(f"progress: expected a callable (done, total), got {type(progress).__name__}")
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise TypeError(f"executor: expected an object with submit(fn, *args), got {type(executor).__name__}")
    results: List[SynthesisResult] = []
    if executor is None:
        for i, st in enumerate(starts):
            results.append(_one(st, rows, mats, options, e))
            if progress is not None:
                progress(i + 1, len(starts))
    else:
        futures = []
        try:
            for i, st in enumerate(starts):
                try:
                    futures.append(executor.submit(_one, st, rows, mats, options, e))
                except Exception as cause:
                    raise SynthesisError(f"start {i}", cause) from cause
            for i, f in enumerate(futures):
                try:
                    results.append(f.result())
                except Exception as cause:
                    raise SynthesisError(f"start {i}", cause) from cause
                if progress is not None:
                    progress(i + 1, len(starts))
        finally:
            for f in futures:
                if not f.done():
                    f.cancel()
    order = sorted(range(len(results)), key=lambda i: (results[i].merit, i))
    return [results[i] for i in order]
