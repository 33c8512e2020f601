"""Monte Carlo tolerance analysis of a design under manufacturing errors.

Each run draws the errors of every front layer, computes the spectra of the
perturbed coating at each view (an angle and a polarisation; a thick
substrate and its back side as they are) and is checked against the
criteria; the runs give per view and wavelength the mean, standard
deviation and percentiles of R, T (and A where light is absorbed), each
criterion's pass rate and the runs it failed, and the yield, the share of
runs that pass every criterion.

Criteria, each with its own pass rate:
  Bound      R, T or A within [min, max] at every grid wavelength of a band
  Band       the band's mean, maximum or minimum of R, T or A within [min, max]
  Criterion  any function of a batch of runs' spectra (RunSpectra: R, T
             (runs, N) at one view with the nominal design's, so that a
             difference from the nominal such as a colour difference is one
             more such function) returning a value per run, checked within
             [min, max], or a verdict per run (booleans)
A criterion names its view (angle, pol) or, naming none, holds at every
view of the analysis (one criterion per view). Each criterion has a value
per run (a Bound's: its worst excess over the bounds, <= 0 passes).

Per-layer sensitivity (layer_sensitivity): for each layer alone with a
normal thickness error of one unit (1 nm unless given), the yield lost and
the change of each criterion's value per nm, to first order from the
engine's thickness derivatives (the spectra linear in the error, the
criteria applied to them), optionally checked by a Monte Carlo with that
layer alone perturbed.

Error model, per run and layer k (z standard normal draws):
    d_k' = max(0, d_k * (1 + relative_k * z_rel) + thickness_k * z_abs)
    N_k' = N_k * (1 + index_k * z_index)          (the complex index n - ik)
with one z of each kind per layer, or one for all layers when `alike`.

Reproducibility: run i draws 3 * (K, or 1 when alike) normals, in the order
z_abs, z_rel, z_index, from SeedSequence(seed).spawn(runs)[i], built
directly as SeedSequence(seed, spawn_key=(i,)). A batch is a range of runs
and each run's numbers depend on nothing but its index, so the result is
bitwise the same for any batching and any executor, given the same engine
library on the same kind of processor (its results do not depend on its
thread count).

Work goes out to an optional executor: anything with submit(fn, *args)
returning a future with result() and exception(), such as a
concurrent.futures.ThreadPoolExecutor (the engine releases the GIL) or a
dask.distributed Client. It receives the batches, then one statistics task
per block of wavelengths (each wavelength's statistics depend on its own
samples only, so the blocks change nothing); on a dask cluster the samples
stay on the workers. Without an executor everything runs on the calling
thread. A failed batch raises ToleranceError naming it, and no partial
result is returned.
"""

import math
import numbers
import operator
import threading
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from ._binding import Engine, default_engine
from ._sweep import angles, polarisations
from .errors import NonFiniteResult, ToleranceError

ArrayLike = Union[float, Sequence[float], np.ndarray]
Progress = Callable[[int, int], None]
QUANTITIES = ("R", "T", "A")
DEFAULT_BATCH = 256  # runs per batch
EXECUTOR_BLOCKS = 8  # wavelength blocks, each a statistics task, for a concurrent.futures executor
STATISTICS = ("mean", "max", "min")
View = Tuple[float, str]


class ErrorModel(NamedTuple):
    """Standard deviations of normal errors, each a number or one per layer
    (K,): `thickness` absolute in nm, `relative` of the thickness, `index`
    relative of the complex index; `alike` draws one error of each kind per
    run for all layers (a systematic error such as a rate calibration)
    instead of one per layer."""
    thickness: ArrayLike = 0.0
    relative: ArrayLike = 0.0
    index: ArrayLike = 0.0
    alike: bool = False


class Bound(NamedTuple):
    """Pass/fail row: `quantity` ("R", "T" or "A", a fraction) must lie in
    [min, max] at every grid wavelength from start to stop nm (inclusive),
    at the view (angle degrees, pol) or, with None, at every view. As a
    plain tuple also (quantity, (start, stop), min, max)."""
    quantity: str
    start: float
    stop: float
    min: float = -math.inf
    max: float = math.inf
    angle: Optional[float] = None
    pol: Optional[str] = None


class Band(NamedTuple):
    """The `statistic` ("mean", "max" or "min") of `quantity` ("R", "T",
    "A") over the grid wavelengths from start to stop nm must lie in [min,
    max], at the view (angle, pol) or, with None, at every view: "mean R <
    0.5 % over 430-670 nm" is Band("R", 430, 670, "mean", max=0.005)."""
    quantity: str
    start: float
    stop: float
    statistic: str = "mean"
    min: float = -math.inf
    max: float = math.inf
    angle: Optional[float] = None
    pol: Optional[str] = None


class RunSpectra(NamedTuple):
    """What a Criterion's function receives: R and T (runs, N) of a batch of
    runs at one view, the nominal design's R and T (N,) there, the grid
    (N,) nm and the view."""
    wavelengths: np.ndarray
    R: np.ndarray
    T: np.ndarray
    nominal_R: np.ndarray
    nominal_T: np.ndarray
    angle: float
    pol: str

    @property
    def A(self) -> np.ndarray:
        return 1 - self.R - self.T


class Criterion(NamedTuple):
    """`function`(RunSpectra) -> (runs,) values, passing within [min, max],
    or (runs,) booleans, passing where True; `name` for the result (the
    function's own name by default); the view as for Bound. The function
    must depend on each run's own spectra alone, bit for bit, so that the
    result does not depend on the batches (numpy's sum or mean along the
    rows of a block may round differently for another number of rows:
    np.add.accumulate(x, axis=1)[:, -1] does not), and pickle where an
    executor runs it in other processes."""
    function: Callable[[RunSpectra], np.ndarray]
    name: str = ""
    min: float = -math.inf
    max: float = math.inf
    angle: Optional[float] = None
    pol: Optional[str] = None


class CriterionResult(NamedTuple):
    """One criterion over the runs: its `name` (with the view where the
    analysis has several), `pass_rate`, `failed` (indices of the runs that
    failed it), `values` (runs,) and `nominal` (the nominal design's value)."""
    name: str
    pass_rate: float
    failed: np.ndarray
    values: np.ndarray
    nominal: float


class Samples(NamedTuple):
    """Each run's spectra: R and T (runs, N), or (runs, V, N) for V views."""
    R: np.ndarray
    T: np.ndarray


class Statistics(NamedTuple):
    """Over the runs, per wavelength: mean (N,), std (N,) (population, ddof 0)
    and percentiles (P, N) at the Tolerance's levels (numpy's linear rule)."""
    mean: np.ndarray
    std: np.ndarray
    percentiles: np.ndarray


class Tolerance(NamedTuple):
    """Result of a tolerance analysis. seed: the entropy that reproduces it
    (drawn fresh when none was given); R, T, A statistics over (N,) for one
    angle and polarisation, with a leading axis of the V `views` (angle,
    pol) otherwise (mean (V, N), percentiles (V, P, N));
    A is None where nothing absorbs; passed (runs,) tells each run's verdict
    against every criterion, yield_fraction their mean (1.0 without
    criteria); criteria: a CriterionResult per bound and criterion, in the
    order given; samples: each run's R and T where asked for."""
    wavelengths: np.ndarray
    runs: int
    seed: int
    levels: np.ndarray
    R: Statistics
    T: Statistics
    A: Optional[Statistics]
    passed: np.ndarray
    yield_fraction: float
    criteria: Tuple[CriterionResult, ...] = ()
    views: Tuple[View, ...] = ()
    samples: Optional[Samples] = None


# ---------------------------------------------------------------- arguments

def _sigma(name: str, v: ArrayLike, K: int) -> np.ndarray:
    try:
        a = np.asarray(v, np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected a number or {K} numbers") from None
    if a.ndim == 0:
        a = np.full(K, float(a))
    if a.shape != (K,):
        raise ValueError(f"{name}: expected a number or {K} values (one per layer), got shape {a.shape}")
    if not np.all(np.isfinite(a)) or np.any(a < 0):
        raise ValueError(f"{name}: expected finite standard deviations >= 0, got {a[~(np.isfinite(a) & (a >= 0))][0]}")
    return a


def _error_model(errors: ErrorModel, K: int) -> Tuple[np.ndarray, bool]:
    """The three sigmas as (3, K), and whether they are drawn alike."""
    if not isinstance(errors, ErrorModel):
        raise TypeError(f"errors: expected an ErrorModel, got {type(errors).__name__}")
    sigmas = np.array([_sigma(f"errors.{f}", getattr(errors, f), K) for f in ("thickness", "relative", "index")])
    if not isinstance(errors.alike, (bool, np.bool_)):
        raise TypeError(f"errors.alike: expected True or False, got {type(errors.alike).__name__}")
    return sigmas, bool(errors.alike)


def _count(name: str, v, minimum: int = 1) -> int:
    if isinstance(v, (bool, np.bool_)) or not isinstance(v, numbers.Integral):
        raise TypeError(f"{name}: expected an integer, got {type(v).__name__}")
    if v < minimum:
        raise ValueError(f"{name}: expected at least {minimum}, got {v}")
    return int(v)


def _seed(seed: Optional[int]) -> int:
    if seed is None:
        return int(np.random.SeedSequence().entropy)
    if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, numbers.Integral) or seed < 0:
        raise ValueError(f"seed: expected an integer >= 0 or None, got {seed!r}")
    return int(seed)


def _levels(percentiles: Sequence[float]) -> np.ndarray:
    q = np.atleast_1d(np.asarray(percentiles, np.float64))
    if q.ndim != 1 or q.size == 0 or not np.all(np.isfinite(q) & (q >= 0) & (q <= 100)):
        raise ValueError("percentiles: expected a non-empty list of levels from 0 to 100")
    return q


def _views(angle: Any, pol: Any) -> Tuple[List[View], bool]:
    """The views (angle, pol), angle-major, and whether one angle and one
    polarisation were given as such."""
    a, scalar = angles(angle)
    pols = [pol] if isinstance(pol, str) else pol
    try:
        pols = list(pols)
    except TypeError:
        raise ValueError(f"pol: expected 's', 'p', 'u' or a sequence of them, got {pol!r}") from None
    if not pols or len(set(pols)) != len(pols):
        raise ValueError(f"pol: expected one or more distinct polarisations, got {pol!r}")
    for p in pols:
        polarisations(p)
    return [(float(x), p) for x in a for p in pols], scalar and isinstance(pol, str)


class _Check:
    """One criterion at one view, as the batches apply it: values (runs,)
    from that view's spectra, passing within [lo, hi] (verdicts a function
    returns as booleans count as they are)."""

    def __init__(self, name: str, view: int, lo: float, hi: float, kind: str, quantity: str = "",
                 where: Optional[np.ndarray] = None, statistic: str = "", function: Optional[Callable] = None):
        self.name, self.view, self.lo, self.hi, self.kind = name, view, lo, hi, kind
        self.quantity, self.where, self.statistic, self.function = quantity, where, statistic, function

    def judge(self, spectra: RunSpectra) -> Tuple[np.ndarray, np.ndarray]:
        """Values and verdicts (runs,) on these runs' spectra."""
        if self.kind == "criterion":
            v = np.asarray(self.function(spectra))
            if v.shape != (spectra.R.shape[0],):
                raise ValueError(f"{self.name}: expected one value per run ({spectra.R.shape[0]}), got shape {v.shape}")
            if v.dtype == bool:  # verdicts themselves
                return v.astype(np.float64), v
            v = np.asarray(v, np.float64)
            return v, (v >= self.lo) & (v <= self.hi)
        x = getattr(spectra, self.quantity)[:, self.where]
        if self.kind == "bound":  # the worst excess over the bounds: <= 0 inside them everywhere
            v = np.max(np.maximum(self.lo - x, x - self.hi), axis=1)
            return v, v <= 0
        if self.statistic == "mean":
            # summed left to right in each row: numpy's reduction of a block of rows sums in an order that
            # depends on how many rows there are, and the result may not depend on the batches
            v = np.add.accumulate(x, axis=1)[:, -1] / x.shape[1]
        else:
            v = getattr(x, self.statistic)(axis=1)
        return v, (v >= self.lo) & (v <= self.hi)


def _checks(bounds: Sequence, criteria: Sequence, w: np.ndarray, views: List[View]) -> List[_Check]:
    """Bounds and criteria as checks, one per view each applies to."""
    checks: List[_Check] = []
    rows = [(f"bounds[{i}]", r) for i, r in enumerate(bounds)] + [(f"criteria[{i}]", r) for i, r in enumerate(criteria)]
    for name, row in rows:
        if callable(row) and not isinstance(row, tuple):
            row = Criterion(row)
        if isinstance(row, Criterion):
            if not callable(row.function):
                raise TypeError(f"{name}.function: expected a callable of RunSpectra, got {type(row.function).__name__}")
            label = row.name or getattr(row.function, "__name__", "criterion")
            lo, hi = _limits(name, row.min, row.max)
            make = lambda v, label=label, row=row, lo=lo, hi=hi: _Check(label, v, lo, hi, "criterion", function=row.function)
        else:
            if isinstance(row, Band):
                b = row
            else:
                try:
                    if not isinstance(row, Bound) and len(row) == 4:  # the range as one pair
                        row = (row[0], *row[1], *row[2:])
                    b = row if isinstance(row, Bound) else Bound(*row)
                    float(b.start), float(b.stop), float(b.min), float(b.max)
                except (TypeError, ValueError):
                    raise TypeError(f"{name}: expected (quantity, start nm, stop nm, min, max) or "
                                    "(quantity, (start nm, stop nm), min, max)") from None
            if b.quantity not in QUANTITIES:
                raise ValueError(f"{name}.quantity: expected 'R', 'T' or 'A', got {b.quantity!r}")
            if isinstance(b, Band) and b.statistic not in STATISTICS:
                raise ValueError(f"{name}.statistic: expected 'mean', 'max' or 'min', got {b.statistic!r}")
            lo, hi = _limits(name, b.min, b.max)
            start, stop = float(b.start), float(b.stop)
            where = np.flatnonzero((w >= start) & (w <= stop))
            if where.size == 0:
                raise ValueError(f"{name}: no wavelength of the grid lies in [{start}, {stop}] nm")
            if isinstance(b, Band):
                label = f"{b.statistic} {b.quantity} {start:g}-{stop:g} nm"
                make = lambda v, b=b, label=label, lo=lo, hi=hi, where=where: _Check(
                    label, v, lo, hi, "band", b.quantity, where, b.statistic)
            else:
                label = f"{b.quantity} in [{lo:g}, {hi:g}] at {start:g}-{stop:g} nm"
                make = lambda v, b=b, label=label, lo=lo, hi=hi, where=where: _Check(
                    label, v, lo, hi, "bound", b.quantity, where)
        checks += [make(v) for v in _views_of(name, row, views)]
    if len(views) > 1:
        for c in checks:
            c.name = f"{c.name} at {views[c.view][0]:g} deg {views[c.view][1]}"
    return checks


def _limits(name: str, lo: Any, hi: Any) -> Tuple[float, float]:
    try:
        lo, hi = float(lo), float(hi)
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected numbers as min and max") from None
    if math.isnan(lo) or math.isnan(hi) or lo > hi:
        raise ValueError(f"{name}: expected min <= max, got {lo}, {hi}")
    return lo, hi


def _views_of(name: str, row: Any, views: List[View]) -> List[int]:
    """The views a row applies to: the one it names, or every view."""
    angle, pol = getattr(row, "angle", None), getattr(row, "pol", None)
    found = [i for i, (a, p) in enumerate(views) if (angle is None or a == angle) and (pol is None or p == pol)]
    if not found:
        raise ValueError(f"{name}: the analysis has no view at {angle if angle is not None else 'any'} degrees, "
                         f"pol {pol if pol is not None else 'any'} (its views: "
                         f"{', '.join(f'{a:g} {p}' for a, p in views)})")
    return found


# ---------------------------------------------------------------- one batch of runs

class _Job:
    """Everything a batch needs, picklable for process executors (the engine
    travels as its library's path); the design is prepared on the grid where
    the batch runs, once per job and process: one Prepared per angle, with
    the polarisations its views need."""

    def __init__(self, design: "Design", w: np.ndarray, views: List[View], sigmas: np.ndarray, alike: bool,
                 entropy: int, checks: List[_Check], engine: Engine) -> None:
        self.design, self.w, self.views = design, w, views
        self.sigmas, self.alike, self.entropy, self.checks, self.engine = sigmas, alike, entropy, checks, engine
        self.blocks = _wavelength_blocks(w.size, 1)  # of the statistics: set by whoever runs the job
        self._prepared = None
        self._lock = threading.Lock()

    def __getstate__(self):
        state = dict(self.__dict__)
        state["_prepared"], state["_lock"] = None, None
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._lock = threading.Lock()

    def prepare(self) -> Tuple[Dict[float, Any], List[RunSpectra]]:
        """The design prepared at each angle (see Design.prepare), and the
        nominal design's spectra at each view (one run)."""
        with self._lock:
            if self._prepared is None:
                self.prepared(_prepare(self.design, self.w, self.views, self.engine))
            return self._prepared

    def prepared(self, prepared: Dict[float, Any]) -> None:
        """Takes the design prepared at each angle (see _prepare)."""
        self._prepared = (prepared, self._spectra(prepared, self.design.thicknesses[None, :], None, 0, nominal=None))

    def _spectra(self, prepared: Dict[float, Any], d: np.ndarray, scale: Optional[np.ndarray], first: int,
                 nominal: Optional[List[RunSpectra]]) -> List[RunSpectra]:
        """Each view's R and T of runs d (runs, K) (the nominal's with them),
        checked finite; runs are numbered from `first` in messages."""
        each = {angle: p.each(d, scale) for angle, p in prepared.items()}
        out = []
        for v, (angle, pol) in enumerate(self.views):
            polarised = each[angle]
            if pol == "u":
                (Rs, Ts), (Rp, Tp) = polarised["s"], polarised["p"]
                R, T = 0.5 * (Rs + Rp), 0.5 * (Ts + Tp)  # the order Prepared.spectra takes
            else:
                R, T = polarised[pol]
            # (the nominal design is judged only as a reference: the runs report where it fails)
            for name, x in (("R", R), ("T", T)) if nominal is not None else ():
                bad = ~np.isfinite(x)
                if np.any(bad):
                    run, i = np.argwhere(bad)[0]
                    raise NonFiniteResult(f"tolerance: {name} of run {first + run} is not finite at {self.w[i]:g} nm "
                                          f"({angle:g} degrees, {pol})", float(self.w[i]))
            base = (R[0], T[0]) if nominal is None else (nominal[v].R[0], nominal[v].T[0])
            out.append(RunSpectra(self.w, R, T, base[0], base[1], angle, pol))
        return out


def _prepare(design: "Design", w: Any, views: List[View], engine: Engine) -> Dict[float, Any]:
    """The design prepared at each angle of the views, with the polarisations they need."""
    prepared = {}
    for angle in dict.fromkeys(a for a, _ in views):
        pols = {p for a, p in views if a == angle}
        pol = next(iter(pols)) if pols in ({"s"}, {"p"}) else "u"
        prepared[angle] = design.prepare(w, angle=angle, pol=pol, engine=engine)
    return prepared


def _draws(entropy: int, runs: range, per_kind: int) -> np.ndarray:
    """(runs, 3, per_kind) standard normals, run i from its own spawned sequence."""
    z = np.empty((len(runs), 3, per_kind))
    for b, i in enumerate(runs):
        rng = np.random.Generator(np.random.PCG64(np.random.SeedSequence(entropy, spawn_key=(i,))))
        z[b] = rng.standard_normal((3, per_kind))
    return z


def _run_batch(job: _Job, start: int, stop: int) -> Tuple[Any, ...]:
    """Runs start .. stop-1: the criteria's verdicts and values, each
    (runs, C), then for each wavelength block of job.blocks its R and T
    samples at every view as one (2 V, wavelengths, runs) array."""
    prepared, nominal = job.prepare()
    K, B = len(job.design), stop - start
    z = _draws(job.entropy, range(start, stop), 1 if job.alike else K)
    s_abs, s_rel, s_idx = job.sigmas
    d = np.ascontiguousarray(np.maximum(job.design.thicknesses * (1 + s_rel * z[:, 1]) + s_abs * z[:, 0], 0.0))
    scale = 1 + s_idx * z[:, 2] if np.any(s_idx) else None  # (B, K)
    spectra = job._spectra(prepared, d, scale, start, nominal)
    values, verdicts = _judged(job.checks, spectra, B)
    return ((verdicts, values),) + tuple(_piece(spectra, part) for part in job.blocks)


def _judged(checks: List[_Check], spectra: List[RunSpectra], runs: int) -> Tuple[np.ndarray, np.ndarray]:
    """Each check's values and verdicts (runs, C) on these runs' spectra."""
    values, verdicts = np.empty((runs, len(checks))), np.empty((runs, len(checks)), bool)
    with np.errstate(all="ignore"):
        for c, check in enumerate(checks):
            values[:, c], verdicts[:, c] = check.judge(spectra[check.view])
    return values, verdicts


def _piece(spectra: List[RunSpectra], part: slice) -> np.ndarray:
    """R and T (runs, N) of every view at the wavelengths `part` as one
    C-ordered (2 V, wavelengths, runs) array."""
    out = np.empty((2 * len(spectra), part.stop - part.start, spectra[0].R.shape[0]))
    for v, s in enumerate(spectra):
        out[2 * v], out[2 * v + 1] = s.R[:, part].T, s.T[:, part].T
    return out


# ---------------------------------------------------------------- statistics

def _percentiles(samples: np.ndarray, levels: np.ndarray) -> np.ndarray:
    """numpy.percentile(samples, levels, axis=1) by its linear rule, (P, N),
    from one partial sort of `samples` (N, runs) in place: about half the
    time of numpy.percentile, which also copies."""
    n = samples.shape[1]
    virtual = (n - 1) * (levels / 100)
    below = np.floor(virtual).astype(np.intp)
    above = np.minimum(below + 1, n - 1)
    gamma = (virtual - below)[:, None]
    samples.partition(np.unique(np.concatenate([below, above])), axis=1)
    a, b = samples[:, below].T, samples[:, above].T
    diff = b - a
    out = a + diff * gamma
    np.subtract(b, diff * (1 - gamma), out=out, where=gamma >= 0.5)  # numpy's lerp, exact at both ends
    return out


def _statistics(samples: np.ndarray, levels: np.ndarray) -> Statistics:
    """Statistics over the runs (axis 1); reorders `samples`."""
    mean, std = samples.mean(axis=1), samples.std(axis=1)
    p = _percentiles(samples, levels)
    p[:, np.isnan(mean)] = np.nan  # partition moves NaN to the end; numpy reports NaN for the row
    return Statistics(mean, std, p)


def _block_statistics(levels: np.ndarray, absorbing: bool, *pieces: np.ndarray) -> List[List[Statistics]]:
    """Statistics of R, T (and A) at every view over every run at one block
    of wavelengths, from that block's (2 V, wavelengths, runs) piece of each
    batch in run order. Each wavelength's statistics depend on its own
    samples alone, so any division into blocks gives the same numbers."""
    # C order whatever the pieces: a reduction along rows of another layout
    # sums in another order (and rounds differently)
    RT = np.empty(pieces[0].shape[:2] + (sum(p.shape[2] for p in pieces),))
    np.concatenate(pieces, axis=2, out=RT)
    out = []
    for v in range(RT.shape[0] // 2):
        R, T = RT[2 * v], RT[2 * v + 1]
        out.append([_statistics(x, levels) for x in [R, T] + ([1 - R - T] if absorbing else [])])
    return out


def _joined(blocks: List[List[List[Statistics]]], single: bool) -> List[Statistics]:
    """Per-quantity statistics over the whole grid from those of its blocks:
    mean, std (N,) and percentiles (P, N) for a single view, else with a
    leading view axis, (V, N) and (V, P, N)."""
    views = range(len(blocks[0]))
    out = []
    for q in range(len(blocks[0][0])):
        per_view = [Statistics(*(np.concatenate([b[v][q][f] for b in blocks], axis=-1) for f in range(3)))
                    for v in views]
        out.append(per_view[0] if single else Statistics(*(np.stack([s[f] for s in per_view])
                                                           for f in range(3))))
    return out


def _samples(pieces: List[List[np.ndarray]], runs: int, N: int, single: bool) -> Samples:
    """Each run's R and T from the pieces of every block ([block][batch])."""
    V = pieces[0][0].shape[0] // 2
    R, T = np.empty((runs, V, N)), np.empty((runs, V, N))
    col = 0
    for parts in pieces:  # one block of wavelengths
        width = parts[0].shape[1]
        RT = np.concatenate(parts, axis=2)  # (2 V, width, runs)
        R[:, :, col:col + width] = RT[0::2].transpose(2, 0, 1)
        T[:, :, col:col + width] = RT[1::2].transpose(2, 0, 1)
        col += width
    return Samples(R[:, 0], T[:, 0]) if single else Samples(R, T)


# ---------------------------------------------------------------- the analysis

def tolerance(design: "Design", wavelengths: ArrayLike, errors: ErrorModel, runs: int, *, seed: Optional[int] = None,
              angle: Any = 0.0, pol: Any = "s", percentiles: Sequence[float] = (5.0, 50.0, 95.0),
              bounds: Sequence = (), criteria: Sequence = (), samples: bool = False, engine: Optional[Engine] = None,
              batch: Optional[int] = None, executor: Any = None, progress: Optional[Progress] = None) -> Tolerance:
    """Monte Carlo over `runs` perturbed copies of `design` at the
    wavelengths (nm), at every view: each angle (degrees, a number or a
    sequence) with each pol ("s", "p", "u" or a sequence of them). errors:
    an ErrorModel of the front layers (a thick substrate and its back layers
    stay nominal); seed: an integer >= 0 (None draws one, returned in the
    result); percentiles: levels 0..100; bounds: Bound rows, criteria: Band,
    Criterion (or a bare function) rows, all of them for the yield, each with
    its pass rate. samples: return each run's R and T (opt-in: 16 * runs *
    V * N bytes here; on a dask cluster they are sent back). batch: runs per
    batch (default 256; the result does not depend on it); executor: see the
    module's description; progress(done, total) is called with runs done
    after each batch (raise to cancel). Memory: 16 * V * N * runs bytes for
    R and T where the samples are (this process, or a dask cluster's
    workers)."""
    e = engine or default_engine()
    views, single = _views(angle, pol)
    # the design on the grid here too: bad arguments and indices fail before any batch is sent
    here = _prepare(design, wavelengths, views, e)
    w = next(iter(here.values())).wavelengths
    sigmas, alike = _error_model(errors, len(design))
    runs = _count("runs", runs)
    batch = DEFAULT_BATCH if batch is None else _count("batch", batch)
    levels = _levels(percentiles)
    checks = _checks(bounds, criteria, w, views)
    if not isinstance(samples, (bool, np.bool_)):
        raise TypeError(f"samples: expected True or False, got {type(samples).__name__}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress: expected a callable (done, total), got {type(progress).__name__}")
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise TypeError(f"executor: expected an object with submit(fn, *args), got {type(executor).__name__}")
    entropy = _seed(seed)
    job = _Job(design, w, views, sigmas, alike, entropy, checks, e)
    job.prepared(here)
    prepared, nominal = job.prepare()
    absorbing = any(p.absorbing for p in prepared.values())
    nominal_values, _ = _judged(checks, nominal, 1)

    ranges = [range(a, min(a + batch, runs)) for a in range(0, runs, batch)]

    def done(k: int) -> None:
        if progress is not None:
            progress(ranges[k].stop, runs)

    if executor is None:
        job.blocks = _wavelength_blocks(w.size, 1)
        results = []
        for k, part in enumerate(ranges):
            results.append(_run_batch(job, part.start, part.stop))
            done(k)
        judged = [r[0] for r in results]
        stats = [_block_statistics(levels, absorbing, *[r[1] for r in results])]
        pieces = [[r[1] for r in results]] if samples else None
    else:
        # two blocks per dask worker, so that none waits for one long block
        count = 2 * len(executor.scheduler_info()["workers"]) if _is_dask(executor) else EXECUTOR_BLOCKS
        job.blocks = _wavelength_blocks(w.size, count)
        judged, stats, pieces = _spread(executor, job, ranges, levels, absorbing, done, samples)
    verdicts = np.concatenate([j[0] for j in judged]) if judged else np.empty((0, len(checks)), bool)
    values = np.concatenate([j[1] for j in judged])
    passed = np.all(verdicts, axis=1)
    results_ = tuple(CriterionResult(c.name, float(verdicts[:, i].mean()), np.flatnonzero(~verdicts[:, i]),
                                     values[:, i].copy(), float(nominal_values[0, i])) for i, c in enumerate(checks))
    R, T, *A = _joined(stats, single)
    return Tolerance(w, runs, entropy, levels, R, T, A[0] if A else None, passed, float(passed.mean()), results_,
                     tuple(views), _samples(pieces, runs, w.size, single) if samples else None)


# ---------------------------------------------------------------- per-layer sensitivity

FIRST_ORDER_POINTS = 801  # errors from -6 to +6 units at which the linearised spectra are judged
SPAN = 6.0


class LayerSensitivity(NamedTuple):
    """Each layer alone with a normal thickness error of sigma = `unit` nm:
    names (C,) of the criteria; nominal_values (C,) and nominal_passed;
    slope (C, K): the change of each criterion's value per nm of layer k's
    thickness (first order); yield_lost (C, K) per criterion and
    yield_lost_all (K,) for all of them (the nominal's pass, 1 or 0, minus
    the yield), first order from the engine's thickness derivatives. With
    runs > 0 the same from a Monte Carlo of that many runs per layer (that
    layer alone perturbed; the slope by regression on the error):
    mc_slope, mc_yield_lost, mc_yield_lost_all, else None."""
    names: Tuple[str, ...]
    unit: float
    nominal_values: np.ndarray
    nominal_passed: np.ndarray
    slope: np.ndarray
    yield_lost: np.ndarray
    yield_lost_all: np.ndarray
    runs: int
    seed: Optional[int]
    mc_slope: Optional[np.ndarray]
    mc_yield_lost: Optional[np.ndarray]
    mc_yield_lost_all: Optional[np.ndarray]

    def figure(self):
        """A matplotlib Figure: the yield lost per layer (bars; the Monte
        Carlo's as points where it ran) above, each criterion's slope per nm
        below."""
        import matplotlib.pyplot as plt

        K = self.slope.shape[1]
        x = np.arange(K)
        fig, (top, bottom) = plt.subplots(2, 1, figsize=(max(6.0, 0.35 * K + 3), 6.5), sharex=True,
                                          constrained_layout=True)
        top.bar(x, 100 * self.yield_lost_all, color="tab:red", label="first order")
        if self.mc_yield_lost_all is not None:
            top.plot(x, 100 * self.mc_yield_lost_all, "k.", label=f"Monte Carlo, {self.runs} runs")
        top.set_ylabel(f"yield lost (%) at {self.unit:g} nm")
        top.set_title("yield lost with each layer's thickness error alone (all criteria)")
        top.legend(fontsize=8)
        width = 0.8 / max(len(self.names), 1)
        for c, name in enumerate(self.names):
            bottom.bar(x - 0.4 + (c + 0.5) * width, self.slope[c], width, label=name)
        bottom.axhline(0.0, color="k", linewidth=0.6)
        bottom.set_ylabel("change of the criterion's value per nm")
        bottom.set_xlabel("layer (0 = on substrate)")
        bottom.set_xticks(x)
        if self.names:
            bottom.legend(fontsize=7)
        for ax in (top, bottom):
            ax.grid(alpha=0.3, axis="y")
        return fig

    def plot(self, path: str) -> None:
        """Writes the figure as a PNG file."""
        import matplotlib.pyplot as plt
        fig = self.figure()
        try:
            fig.savefig(path, format="png", dpi=110)
        finally:
            plt.close(fig)


def layer_sensitivity(design: "Design", wavelengths: ArrayLike, *, criteria: Sequence = (), bounds: Sequence = (),
                      unit: float = 1.0, runs: int = 0, seed: Optional[int] = None, angle: Any = 0.0,
                      pol: Any = "s", engine: Optional[Engine] = None) -> LayerSensitivity:
    """Per front layer, the yield lost and the change of each criterion's
    value per nm of thickness error when that layer alone has a normal
    error of sigma = `unit` nm: to first order, the spectra at each view
    R + dR/dd_k e and T + dT/dd_k e (the engine's derivatives) judged by the
    criteria (Bound, Band, Criterion rows as for tolerance) at errors e
    from -6 to 6 sigma, weighted by the normal density; the slope by central
    differences of the criteria on those spectra. runs > 0 adds a Monte
    Carlo check of that many runs per layer (layer k's errors from
    SeedSequence(seed, spawn_key=(k,)))."""
    e = engine or default_engine()
    views, _ = _views(angle, pol)
    w = design.prepare(wavelengths, angle=views[0][0], pol=views[0][1], engine=e).wavelengths
    checks = _checks(bounds, criteria, w, views)
    if not checks:
        raise ValueError("criteria: expected at least one bound or criterion to judge the layers by")
    if isinstance(unit, (bool, np.bool_)) or not isinstance(unit, numbers.Real) or not (unit > 0 and math.isfinite(unit)):
        raise ValueError(f"unit: expected a thickness error > 0 nm, got {unit!r}")
    runs = _count("runs", runs, 0)
    K, C = len(design), len(checks)
    derivatives = [design.sensitivities(w, angle=a, pol=p, engine=e) for a, p in views]

    u = np.linspace(-SPAN, SPAN, FIRST_ORDER_POINTS)
    weight = np.exp(-0.5 * u * u)
    weight /= weight.sum()
    h = 1e-4
    errors = unit * np.concatenate([u, [-h, h]])
    nominal = [RunSpectra(w, s.R[None, :], s.T[None, :], s.R, s.T, a, p) for s, (a, p) in zip(derivatives, views)]
    nominal_values, nominal_verdicts = _judged(checks, nominal, 1)
    nominal_all = bool(np.all(nominal_verdicts))
    slope, lost, lost_all = np.empty((C, K)), np.empty((C, K)), np.empty(K)
    for k in range(K):
        linear = [RunSpectra(w, s.R + errors[:, None] * s.dR[k], s.T + errors[:, None] * s.dT[k], s.R, s.T, a, p)
                  for s, (a, p) in zip(derivatives, views)]
        values, verdicts = _judged(checks, linear, errors.size)
        slope[:, k] = (values[-1] - values[-2]) / (2 * h * unit)
        lost[:, k] = nominal_verdicts[0] - weight @ verdicts[:-2]
        lost_all[k] = nominal_all - weight @ np.all(verdicts[:-2], axis=1)

    mc = (None, None, None)
    entropy = None
    if runs:
        entropy = _seed(seed)
        job = _Job(design, w, views, np.zeros((3, K)), False, entropy, checks, e)
        prepared, nominal_spectra = job.prepare()
        mc = (np.empty((C, K)), np.empty((C, K)), np.empty(K))
        for k in range(K):
            z = np.random.Generator(np.random.PCG64(np.random.SeedSequence(entropy, spawn_key=(k,)))).standard_normal(runs)
            d = np.tile(design.thicknesses, (runs, 1))
            d[:, k] = np.maximum(d[:, k] + unit * z, 0.0)
            values, verdicts = _judged(checks, job._spectra(prepared, d, None, 0, nominal_spectra), runs)
            dz = unit * (z - z.mean())
            mc[0][:, k] = dz @ (values - values.mean(axis=0)) / (dz @ dz)
            mc[1][:, k] = nominal_verdicts[0] - verdicts.mean(axis=0)
            mc[2][k] = nominal_all - np.all(verdicts, axis=1).mean()
    return LayerSensitivity(tuple(c.name for c in checks), float(unit), nominal_values[0], nominal_verdicts[0],
                            slope, lost, lost_all, runs, entropy, *mc)


def _wavelength_blocks(N: int, count: int) -> List[slice]:
    edges = np.linspace(0, N, max(1, min(N, count)) + 1).astype(int)
    return [slice(a, b) for a, b in zip(edges[:-1], edges[1:])]


def _is_dask(executor: Any) -> bool:
    """A dask.distributed Client: its futures may be arguments of further
    tasks, so batch results can stay on the workers."""
    return executor is not None and type(executor).__module__.split(".")[0] == "distributed"


def _submit(executor: Any, what: str, fn: Callable, *args: Any):
    try:
        return executor.submit(fn, *args)
    except Exception as cause:
        raise ToleranceError(what, cause) from cause


def _batch(k: int, part: range) -> str:
    return f"batch {k} (runs {part.start} to {part.stop - 1})"


def _spread(executor: Any, job: _Job, ranges: List[range], levels: np.ndarray, absorbing: bool,
            done: Callable[[int], None], samples: bool) -> Tuple[list, list, Optional[List[List[np.ndarray]]]]:
    """The batches, then the statistics of each wavelength block, as tasks
    of `executor`; the verdicts and the blocks' statistics. A dask Client
    takes futures as arguments of later tasks, so there the samples stay on
    the workers, each block's pieces go to the task that forms its
    statistics, and everything is submitted at once (pieces move while later
    batches run); a concurrent.futures executor returns the samples here
    and receives them again with the statistics tasks. Returns the batches'
    verdicts and values, the blocks' statistics and, where asked for, the
    samples as [block][batch] pieces."""
    chained = _is_dask(executor)
    futures: List[Any] = []
    try:
        batches = [_submit(executor, _batch(k, part), _run_batch, job, part.start, part.stop)
                   for k, part in enumerate(ranges)]
        futures += batches
        if chained:
            pieces = [[executor.submit(operator.getitem, f, i) for f in batches] for i in range(1 + len(job.blocks))]
            futures += [p for part in pieces for p in part]
            stats = [_submit(executor, "statistics", _block_statistics, levels, absorbing, *part)
                     for part in pieces[1:]]
            futures += stats
        # a failed batch fails what depends on it: it is named first
        for k, f in enumerate(batches):
            cause = f.exception()
            if cause is not None:
                raise ToleranceError(_batch(k, ranges[k]), cause) from cause
            done(k)
        if chained:
            judged = executor.gather(pieces[0])
            kept = executor.gather(pieces[1:]) if samples else None
        else:
            results = [f.result() for f in batches]
            judged = [r[0] for r in results]
            kept = [[r[1 + j] for r in results] for j in range(len(job.blocks))] if samples else None
            stats = [_submit(executor, "statistics", _block_statistics, levels, absorbing, *[r[1 + j] for r in results])
                     for j in range(len(job.blocks))]
            futures += stats
        out = []
        for part, f in zip(job.blocks, stats):
            try:
                out.append(f.result())
            except Exception as cause:
                w = job.w[part]
                raise ToleranceError(f"statistics of {w[0]:g} to {w[-1]:g} nm", cause) from cause
        return judged, out, kept
    finally:
        for f in futures:
            if not f.done():
                f.cancel()
