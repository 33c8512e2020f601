"""Refinement of a design's layer thicknesses towards target spectra.

Targets are rows (quantity, wavelengths, angle, pol, value, tolerance):
quantity "R", "T" or "A" (A = 1 - R - T) as a fraction, wavelengths in nm,
angle in degrees, pol "s", "p" or "u". The merit is

    sum over rows and wavelengths of ((computed - value) / tolerance)^2

and scipy.optimize.least_squares (trust-region reflective, so bounds hold
at every step) minimises it over the chosen layers' thicknesses, with the
Jacobian taken from the engine's thickness derivatives: d(residual)/dd_k =
dQ/dd_k / tolerance, dA = -(dR + dT).
"""

import numbers
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from ._binding import Engine, default_engine

QUANTITIES = ("R", "T", "A")
ArrayLike = Union[float, Sequence[float], np.ndarray]
IterationProgress = Callable[[int, float, np.ndarray], None]

# least_squares' own defaults (1e-8) stop a self-consistent refinement while
# the merit is still near 1e-8; these let Gauss-Newton finish its last steps.
DEFAULT_TOLERANCES = {"ftol": 1e-12, "xtol": 1e-12, "gtol": 1e-12}


class Target(NamedTuple):
    """One row of targets. value and tolerance: a number, or one per
    wavelength; tolerance > 0 in the quantity's unit (a fraction)."""
    quantity: str
    wavelengths: ArrayLike
    angle: float = 0.0
    pol: str = "s"
    value: ArrayLike = 0.0
    tolerance: ArrayLike = 1.0


class Refinement(NamedTuple):
    """The refined design and how the solve went. merit_* are sums of
    squared weighted residuals; iterations are accepted steps (Jacobians
    after the first); evaluations count residual evaluations; seconds is
    wall time of the whole solve."""
    design: "Design"
    merit_start: float
    merit_end: float
    iterations: int
    evaluations: int
    jacobians: int
    seconds: float
    success: bool
    message: str


# ---------------------------------------------------------------- targets

class _Group(NamedTuple):
    """Rows that share an angle and a polarisation, computed in one call
    over their wavelengths laid end to end."""
    angle: float
    pol: str
    wavelengths: np.ndarray           # (n,) concatenated
    rows: List[Tuple[str, slice, np.ndarray, np.ndarray]]  # quantity, part of the group, value, 1/tolerance


def _per_wavelength(name: str, v: ArrayLike, n: int) -> np.ndarray:
    try:
        a = np.asarray(v, np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected a number or {n} numbers") from None
    if a.ndim == 0:
        a = np.full(n, float(a))
    if a.shape != (n,):
        raise ValueError(f"{name}: expected a number or {n} values (one per wavelength), got shape {a.shape}")
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name}: expected finite values")
    return a


def _target(i: int, row) -> Target:
    name = f"targets[{i}]"
    try:
        t = row if isinstance(row, Target) else Target(*row)
    except TypeError:
        raise TypeError(f"{name}: expected (quantity, wavelengths, angle, pol, value, tolerance)") from None
    if t.quantity not in QUANTITIES:
        raise ValueError(f"{name}.quantity: expected 'R', 'T' or 'A', got {t.quantity!r}")
    if t.pol not in ("s", "p", "u"):
        raise ValueError(f"{name}.pol: expected 's', 'p' or 'u', got {t.pol!r}")
    if isinstance(t.angle, (bool, np.bool_)) or not isinstance(t.angle, numbers.Real) or not 0 <= t.angle < 90:
        raise ValueError(f"{name}.angle: expected degrees in [0, 90), got {t.angle!r}")
    w = np.atleast_1d(np.asarray(t.wavelengths, np.float64))
    if w.ndim != 1 or w.size == 0 or not np.all(np.isfinite(w) & (w > 0)):
        raise ValueError(f"{name}.wavelengths: expected a non-empty 1-dimensional grid of finite values > 0 nm")
    value = _per_wavelength(f"{name}.value", t.value, w.size)
    tol = _per_wavelength(f"{name}.tolerance", t.tolerance, w.size)
    if np.any(tol <= 0):
        raise ValueError(f"{name}.tolerance: expected values > 0, got {tol[tol <= 0][0]}")
    return Target(t.quantity, w, float(t.angle), t.pol, value, tol)


def _groups(targets) -> List[_Group]:
    try:
        rows = [_target(i, t) for i, t in enumerate(targets)]
    except TypeError as e:
        if str(e).startswith("targets"):
            raise
        raise TypeError(f"targets: expected a sequence of Target rows, got {type(targets).__name__}") from None
    if not rows:
        raise ValueError("targets: expected at least one row")
    keyed: Dict[Tuple[float, str], List[Target]] = {}
    for t in rows:
        keyed.setdefault((t.angle, t.pol), []).append(t)
    groups = []
    for (angle, pol), ts in keyed.items():
        parts, start = [], 0
        for t in ts:
            parts.append((t.quantity, slice(start, start + t.wavelengths.size), t.value, 1 / t.tolerance))
            start += t.wavelengths.size
        groups.append(_Group(angle, pol, np.concatenate([t.wavelengths for t in ts]), parts))
    return groups


# ---------------------------------------------------------------- variables and bounds

def _variables(layers: Optional[Sequence[int]], K: int) -> np.ndarray:
    if layers is None:
        return np.arange(K)
    try:
        v = list(layers)
    except TypeError:
        raise TypeError(f"layers: expected a sequence of layer numbers, got {type(layers).__name__}") from None
    if any(isinstance(k, (bool, np.bool_)) or not isinstance(k, numbers.Integral) for k in v):
        raise TypeError("layers: expected integers (layer numbers from 0 on the substrate)")
    v = [int(k) for k in v]
    if not v:
        raise ValueError("layers: expected at least one layer to vary")
    bad = [k for k in v if not 0 <= k < K]
    if bad:
        raise ValueError(f"layers: layer {bad[0]} is not among the design's {K} layers")
    if len(set(v)) != len(v):
        raise ValueError("layers: a layer is listed twice")
    return np.array(v)


def _bounds(bounds, start: np.ndarray, variables: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    try:
        lo, hi = bounds
        lo = np.broadcast_to(np.asarray(lo, np.float64), start.shape).copy()
        hi = np.broadcast_to(np.asarray(hi, np.float64), start.shape).copy()
    except (TypeError, ValueError):
        raise ValueError(f"bounds: expected (lower, upper), each a number or {start.size} numbers (nm)") from None
    if np.any(np.isnan(lo) | np.isnan(hi)):
        raise ValueError("bounds: NaN")
    if np.any(lo < 0):
        raise ValueError(f"bounds: lower bound {lo[lo < 0][0]} nm is below 0 (a layer has no negative thickness)")
    if np.any(lo >= hi):
        j = int(np.flatnonzero(lo >= hi)[0])
        raise ValueError(f"bounds: layer {variables[j]}: lower bound {lo[j]} is not below upper bound {hi[j]}")
    outside = (start < lo) | (start > hi)
    if np.any(outside):
        j = int(np.flatnonzero(outside)[0])
        raise ValueError(f"bounds: layer {variables[j]} starts at {start[j]} nm, outside [{lo[j]}, {hi[j]}]")
    return lo, hi


# ---------------------------------------------------------------- the problem

class _Problem:
    """Residuals and their Jacobian as functions of the varied thicknesses.
    With analytic derivatives every evaluation takes them too (the engine
    gives R, T and their derivatives in one request), and the solver's
    Jacobian at a point it has just evaluated, which is every one it asks
    for, costs nothing more."""

    def __init__(self, design: "Design", groups: List[_Group], variables: np.ndarray, engine: Engine, method: str,
                 analytic: bool, progress: Optional[IterationProgress]) -> None:
        self.design, self.groups, self.variables = design, groups, variables
        self.engine, self.method, self.analytic, self.progress = engine, method, analytic, progress
        self.size = sum(g.wavelengths.size for g in groups)
        self.evaluations = self.jacobians = 0
        self.last: Optional[Tuple[np.ndarray, np.ndarray, Optional[np.ndarray]]] = None  # x, f, J

    def at(self, x: np.ndarray) -> "Design":
        d = self.design.thicknesses
        d[self.variables] = x
        return self.design.with_thicknesses(d)

    def residuals(self, x: np.ndarray) -> np.ndarray:
        """Weighted residuals (the last point's are kept: the solver starts
        with the point the report has evaluated)."""
        if self.last is None or not np.array_equal(x, self.last[0]):
            self.evaluations += 1
            design, f = self.at(x), np.empty(self.size)
            J = np.empty((self.size, self.variables.size)) if self.analytic else None
            offset = 0
            for g in self.groups:
                if self.analytic:
                    s = design.sensitivities(g.wavelengths, angle=g.angle, pol=g.pol, engine=self.engine,
                                             method=self.method)
                    dR, dT = s.dR[self.variables], s.dT[self.variables]
                    self._weighted(g, offset, {"R": dR, "T": dT, "A": -(dR + dT)}, J.T, subtract=False)
                else:
                    s = design.spectrum(g.wavelengths, angle=g.angle, pol=g.pol, engine=self.engine,
                                        method=self.method)
                self._weighted(g, offset, {"R": s.R, "T": s.T, "A": 1 - s.R - s.T}, f)
                offset += g.wavelengths.size
            self.last = (x.copy(), f, J)
        return self.last[1].copy()

    def jacobian(self, x: np.ndarray) -> np.ndarray:
        """(residuals, variables); reports the iteration to `progress`, since
        the trust-region solver takes one Jacobian per accepted step."""
        f = self.residuals(x)
        if self.progress is not None:
            self.progress(self.jacobians, float(f @ f), self.at(x).thicknesses)
        self.jacobians += 1
        return self.last[2].copy()

    @staticmethod
    def _weighted(g: _Group, offset: int, values: Dict[str, np.ndarray], out: np.ndarray,
                  subtract: bool = True) -> None:
        """out[..., rows of group g] = (value - target) / tolerance, or the
        slope / tolerance (subtract=False), for each of the group's rows."""
        for q, part, target, weight in g.rows:
            v = values[q][..., part]
            out[..., offset + part.start:offset + part.stop] = ((v - target) if subtract else v) * weight


def refine(design: "Design", targets: Sequence, *, layers: Optional[Sequence[int]] = None,
           bounds: Tuple[ArrayLike, ArrayLike] = (0.0, np.inf), engine: Optional[Engine] = None,
           method: str = "auto", jacobian: str = "analytic", progress: Optional[IterationProgress] = None,
           **options: Any) -> Refinement:
    """Least-squares refinement of the thicknesses (nm) of `layers` (all by
    default) within `bounds` (lower, upper: numbers or one per varied layer,
    lower >= 0, the start inside). jacobian: "analytic" (the engine's
    derivatives) or a finite-difference scheme of least_squares ("2-point",
    "3-point") for comparison. progress(iteration, merit, thicknesses) sees
    the start and each accepted step; raising from it stops the solve.
    options go to scipy.optimize.least_squares (ftol, xtol, gtol default
    to 1e-12, max_nfev, x_scale, ...)."""
    from scipy.optimize import least_squares

    e = engine or default_engine()
    if jacobian not in ("analytic", "2-point", "3-point"):
        raise ValueError(f"jacobian: expected 'analytic', '2-point' or '3-point', got {jacobian!r}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress: expected a callable (iteration, merit, thicknesses), got {type(progress).__name__}")
    groups = _groups(targets)
    variables = _variables(layers, len(design))
    x0 = design.thicknesses[variables]
    lo, hi = _bounds(bounds, x0, variables)
    problem = _Problem(design, groups, variables, e, method, jacobian == "analytic", progress)
    options = {**DEFAULT_TOLERANCES, **options}

    started = time.perf_counter()
    f0 = problem.residuals(x0)
    fit = least_squares(problem.residuals, x0, jac=problem.jacobian if jacobian == "analytic" else jacobian,
                        bounds=(lo, hi), method="trf", **options)
    seconds = time.perf_counter() - started
    # least_squares returns a point inside the bounds; clipping removes the
    # last rounding so the design never holds a thickness outside them.
    x = np.clip(fit.x, lo, hi)
    return Refinement(problem.at(x), float(f0 @ f0), float(fit.fun @ fit.fun), max(int(fit.njev or 0) - 1, 0),
                      problem.evaluations, int(fit.njev or 0), seconds, bool(fit.success), str(fit.message))
