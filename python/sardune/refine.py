"""Refinement of a design's layer thicknesses towards target spectra.

Targets are rows of sardune.targets (quantity, wavelengths, angle, pol,
value, tolerance, kind, weight): quantity "R", "T" or "A" (A = 1 - R - T)
as a fraction, wavelengths in nm, angle in degrees, pol "s", "p" or "u",
two-sided or one-sided. The merit is

    sum over rows and wavelengths of weight ((computed - value) / tolerance)^2

(for one-sided rows only where they are not met), and
scipy.optimize.least_squares (trust-region reflective, so bounds hold at
every step) minimises it over the chosen layers' thicknesses, with the
Jacobian taken from the engine's thickness derivatives: d(residual)/dd_k =
sqrt(weight) dQ/dd_k / tolerance, dA = -(dR + dT).
"""

import numbers
import time
from typing import Any, Callable, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from ._binding import Engine, default_engine
from .targets import Target, Targets

ArrayLike = Union[float, Sequence[float], np.ndarray]
IterationProgress = Callable[[int, float, np.ndarray], None]

# least_squares' own tolerances (1e-8) stop a self-consistent refinement while
# the merit is still near 1e-8; these let Gauss-Newton finish its last steps.
# Thicknesses of one design differ in how strongly they act (a thin layer
# beside a thick one, a layer deep in a reflector): scaled by the Jacobian's
# columns, the trust region follows the weak ones too, where unscaled steps
# stop in a nearby, higher minimum.
DEFAULT_OPTIONS = {"ftol": 1e-12, "xtol": 1e-12, "gtol": 1e-12, "x_scale": "jac"}

__all__ = ["Refinement", "Target", "refine"]


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

    def __init__(self, design: "Design", targets: Targets, variables: np.ndarray, engine: Engine, method: str,
                 analytic: bool, progress: Optional[IterationProgress]) -> None:
        self.design, self.targets, self.variables = design, targets, variables
        self.engine, self.method, self.analytic, self.progress = engine, method, analytic, progress
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
            design = self.at(x)
            spectra, derivatives = [], []
            for g in self.targets.groups:
                view = dict(angle=g.angle, pol=g.pol, engine=self.engine, method=self.method)
                if self.analytic:
                    s = design.sensitivities(g.wavelengths, **view)
                    derivatives.append((s.dR[self.variables], s.dT[self.variables]))
                else:
                    s = design.spectrum(g.wavelengths, **view)
                spectra.append((s.R, s.T))
            f = self.targets.residuals(spectra)
            J = self.targets.slopes(spectra, derivatives) if self.analytic else None
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
    to 1e-12, x_scale to "jac"; max_nfev, ...)."""
    from scipy.optimize import least_squares

    e = engine or default_engine()
    if jacobian not in ("analytic", "2-point", "3-point"):
        raise ValueError(f"jacobian: expected 'analytic', '2-point' or '3-point', got {jacobian!r}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress: expected a callable (iteration, merit, thicknesses), got {type(progress).__name__}")
    rows = targets if isinstance(targets, Targets) else Targets(targets)
    variables = _variables(layers, len(design))
    x0 = design.thicknesses[variables]
    lo, hi = _bounds(bounds, x0, variables)
    problem = _Problem(design, rows, variables, e, method, jacobian == "analytic", progress)
    options = {**DEFAULT_OPTIONS, **options}

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
