"""Monte Carlo tolerance analysis of a design under manufacturing errors.

Each run draws the errors of every layer, computes the spectrum of the
perturbed coating and is checked against pass/fail bounds; the runs give
per wavelength the mean, standard deviation and percentiles of R, T (and A
for absorbing layers) and the yield, the share of runs that pass.

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
from .errors import NonFiniteResult, ToleranceError

ArrayLike = Union[float, Sequence[float], np.ndarray]
Progress = Callable[[int, int], None]
QUANTITIES = ("R", "T", "A")
DEFAULT_BATCH = 256  # runs per batch
EXECUTOR_BLOCKS = 8  # wavelength blocks, each a statistics task, for a concurrent.futures executor


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
    [min, max] at every grid wavelength from start to stop nm (inclusive).
    As a plain tuple also (quantity, (start, stop), min, max)."""
    quantity: str
    start: float
    stop: float
    min: float = -math.inf
    max: float = math.inf


class Statistics(NamedTuple):
    """Over the runs, per wavelength: mean (N,), std (N,) (population, ddof 0)
    and percentiles (P, N) at the Tolerance's levels (numpy's linear rule)."""
    mean: np.ndarray
    std: np.ndarray
    percentiles: np.ndarray


class Tolerance(NamedTuple):
    """Result of a tolerance analysis. seed: the entropy that reproduces it
    (drawn fresh when none was given); A is None for lossless layers;
    passed (runs,) tells each run's verdict, yield_fraction their mean
    (1.0 without bounds)."""
    wavelengths: np.ndarray
    runs: int
    seed: int
    levels: np.ndarray
    R: Statistics
    T: Statistics
    A: Optional[Statistics]
    passed: np.ndarray
    yield_fraction: float


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


def _checks(bounds: Sequence, w: np.ndarray) -> List[Tuple[str, np.ndarray, float, float]]:
    """Pass/fail rows as (quantity, grid positions, min, max)."""
    checks = []
    for i, row in enumerate(bounds):
        name = f"bounds[{i}]"
        try:
            if not isinstance(row, Bound) and len(row) == 4:  # the range as one pair
                row = (row[0], *row[1], *row[2:])
            b = row if isinstance(row, Bound) else Bound(*row)
            start, stop, lo, hi = (float(b.start), float(b.stop), float(b.min), float(b.max))
        except (TypeError, ValueError):
            raise TypeError(f"{name}: expected (quantity, start nm, stop nm, min, max) or "
                            "(quantity, (start nm, stop nm), min, max)") from None
        if b.quantity not in QUANTITIES:
            raise ValueError(f"{name}.quantity: expected 'R', 'T' or 'A', got {b.quantity!r}")
        if math.isnan(lo) or math.isnan(hi) or lo > hi:
            raise ValueError(f"{name}: expected min <= max, got {lo}, {hi}")
        where = np.flatnonzero((w >= start) & (w <= stop))
        if where.size == 0:
            raise ValueError(f"{name}: no wavelength of the grid lies in [{start}, {stop}] nm")
        checks.append((b.quantity, where, lo, hi))
    return checks


# ---------------------------------------------------------------- one batch of runs

class _Job:
    """Everything a batch needs, picklable for process executors (the engine
    travels as its library's path); the design is prepared on the grid where
    the batch runs, once per job and process."""

    def __init__(self, design: "Design", w: np.ndarray, angle: float, pol: str, sigmas: np.ndarray, alike: bool,
                 entropy: int, checks, engine: Engine) -> None:
        self.design, self.w, self.angle, self.pol = design, w, angle, pol
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

    def prepare(self):
        """The design prepared on the job's grid (see Design.prepare)."""
        with self._lock:
            if self._prepared is None:
                self._prepared = self.design.prepare(self.w, angle=self.angle, pol=self.pol, engine=self.engine)
            return self._prepared


def _draws(entropy: int, runs: range, per_kind: int) -> np.ndarray:
    """(runs, 3, per_kind) standard normals, run i from its own spawned sequence."""
    z = np.empty((len(runs), 3, per_kind))
    for b, i in enumerate(runs):
        rng = np.random.Generator(np.random.PCG64(np.random.SeedSequence(entropy, spawn_key=(i,))))
        z[b] = rng.standard_normal((3, per_kind))
    return z


def _run_batch(job: _Job, start: int, stop: int) -> Tuple[np.ndarray, ...]:
    """Runs start .. stop-1: their verdicts (runs,), then for each wavelength
    block of job.blocks its R and T samples as one (2, wavelengths, runs)
    array."""
    prepared = job.prepare()
    K, B = len(job.design), stop - start
    z = _draws(job.entropy, range(start, stop), 1 if job.alike else K)
    s_abs, s_rel, s_idx = job.sigmas
    d = np.ascontiguousarray(np.maximum(job.design.thicknesses * (1 + s_rel * z[:, 1]) + s_abs * z[:, 0], 0.0))
    scale = 1 + s_idx * z[:, 2] if np.any(s_idx) else None  # (B, K)
    R, T = prepared.spectra(d, scale)
    for name, v in (("R", R), ("T", T)):
        bad = ~np.isfinite(v)
        if np.any(bad):
            run, i = np.argwhere(bad)[0]
            raise NonFiniteResult(f"tolerance: {name} of run {start + run} is not finite at {job.w[i]:g} nm",
                                  float(job.w[i]))
    values = {"R": R, "T": T, "A": 1 - R - T if any(c[0] == "A" for c in job.checks) else None}
    passed = np.ones(B, bool)
    for q, where, lo, hi in job.checks:
        v = values[q][:, where]
        passed &= np.all((v >= lo) & (v <= hi), axis=1)
    return (passed,) + tuple(_piece(R, T, part) for part in job.blocks)


def _piece(R: np.ndarray, T: np.ndarray, part: slice) -> np.ndarray:
    """R and T (runs, N) at the wavelengths `part` as one C-ordered
    (2, wavelengths, runs) array."""
    out = np.empty((2, part.stop - part.start, R.shape[0]))
    out[0], out[1] = R[:, part].T, T[:, part].T
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


def _block_statistics(levels: np.ndarray, absorbing: bool, *pieces: np.ndarray) -> List[Statistics]:
    """Statistics of R, T (and A) over every run at one block of
    wavelengths, from that block's (2, wavelengths, runs) piece of each
    batch in run order. Each wavelength's statistics depend on its own
    samples alone, so any division into blocks gives the same numbers."""
    # C order whatever the pieces: a reduction along rows of another layout
    # sums in another order (and rounds differently)
    RT = np.empty(pieces[0].shape[:2] + (sum(p.shape[2] for p in pieces),))
    np.concatenate(pieces, axis=2, out=RT)
    samples = [RT[0], RT[1]] + ([1 - RT[0] - RT[1]] if absorbing else [])
    return [_statistics(v, levels) for v in samples]


def _joined(blocks: List[List[Statistics]]) -> List[Statistics]:
    """Per-quantity statistics over the whole grid from those of its blocks."""
    return [Statistics(*(np.concatenate([b[q][f] for b in blocks], axis=-1) for f in range(3)))
            for q in range(len(blocks[0]))]


# ---------------------------------------------------------------- the analysis

def tolerance(design: "Design", wavelengths: ArrayLike, errors: ErrorModel, runs: int, *, seed: Optional[int] = None,
              angle: float = 0.0, pol: str = "s", percentiles: Sequence[float] = (5.0, 50.0, 95.0),
              bounds: Sequence = (), engine: Optional[Engine] = None, batch: Optional[int] = None,
              executor: Any = None, progress: Optional[Progress] = None) -> Tolerance:
    """Monte Carlo over `runs` perturbed copies of `design` (semi-infinite
    substrate) at the wavelengths (nm), one angle (degrees) and pol "s", "p"
    or "u". errors: an ErrorModel; seed: an integer >= 0 (None draws one,
    returned in the result); percentiles: levels 0..100; bounds: Bound rows
    for the yield. batch: runs per batch (default 256; the result does not
    depend on it); executor: see the module's description; progress(done,
    total) is called with runs done after each batch (raise to cancel).
    Memory: 8 * N * runs bytes for each of R and T where the samples are
    (this process, or a dask cluster's workers)."""
    if design.thick:
        raise ValueError("substrate_thickness: tolerance analysis is defined for a semi-infinite substrate only")
    e = engine or default_engine()
    # the design on the grid here too: bad arguments and indices fail before any batch is sent
    prepared = design.prepare(wavelengths, angle=angle, pol=pol, engine=e)
    w = prepared.wavelengths
    sigmas, alike = _error_model(errors, len(design))
    runs = _count("runs", runs)
    batch = DEFAULT_BATCH if batch is None else _count("batch", batch)
    levels = _levels(percentiles)
    checks = _checks(bounds, w)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress: expected a callable (done, total), got {type(progress).__name__}")
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise TypeError(f"executor: expected an object with submit(fn, *args), got {type(executor).__name__}")
    entropy = _seed(seed)
    job = _Job(design, w, float(angle), pol, sigmas, alike, entropy, checks, e)
    job._prepared, absorbing = prepared, prepared.absorbing

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
        passed = np.concatenate([r[0] for r in results])
        stats = [_block_statistics(levels, absorbing, *[r[1] for r in results])]
    else:
        # two blocks per dask worker, so that none waits for one long block
        count = 2 * len(executor.scheduler_info()["workers"]) if _is_dask(executor) else EXECUTOR_BLOCKS
        job.blocks = _wavelength_blocks(w.size, count)
        passed, stats = _spread(executor, job, ranges, levels, absorbing, done)
    R, T, *A = _joined(stats)
    return Tolerance(w, runs, entropy, levels, R, T, A[0] if A else None, passed, float(passed.mean()))


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
            done: Callable[[int], None]) -> Tuple[np.ndarray, List[List[Statistics]]]:
    """The batches, then the statistics of each wavelength block, as tasks
    of `executor`; the verdicts and the blocks' statistics. A dask Client
    takes futures as arguments of later tasks, so there the samples stay on
    the workers, each block's pieces go to the task that forms its
    statistics, and everything is submitted at once (pieces move while later
    batches run); a concurrent.futures executor returns the samples here
    and receives them again with the statistics tasks."""
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
            passed = np.concatenate(executor.gather(pieces[0]))
        else:
            results = [f.result() for f in batches]
            passed = np.concatenate([r[0] for r in results])
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
        return passed, out
    finally:
        for f in futures:
            if not f.done():
                f.cancel()
