"""From a design to engine requests: the arguments every computation shares
(grid, angles, polarisations), the media of one batch of wavelengths, the
one choice of engine path, and the sweep over angles, batches and
polarisations with its check that every result is finite.

A design here is anything with the attributes of sardune.Design: `layers`
(Layer, from the substrate up), `substrate`, `incident`,
`substrate_thickness` (nm or None), `back_layers`, `exit_medium`.

Work runs in batches of wavelengths so that memory beyond the result arrays
stays bounded: at most about WORKING_SET bytes per batch (64 MiB unless
changed), or `batch` wavelengths per batch where a call gives it. A
`progress` callable receives (batches done, batches in all) after each batch.
"""

import numbers
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

import numpy as np

from ._binding import Coefficients, Engine, LayerRows, default_engine
from .errors import NonFiniteResult
from .media import evaluate, is_constant
from .optics import (Faces, Incidence, admittance, coefficient_derivatives, coefficients, incidence, incident_admittance,
                     incoherent, internal_transmittance, normal_component, reflectance, transmittance)

WORKING_SET = 64 * 2**20  # bytes of scratch per wavelength batch
METHODS = ("auto", "complex", "real")

Angle = Union[float, np.ndarray]
Progress = Callable[[int, int], None]


# ---------------------------------------------------------------- arguments

def grid(wavelengths: Any) -> np.ndarray:
    """The wavelengths (nm) as a 1-dimensional float64 array of finite values > 0."""
    try:
        w = np.ascontiguousarray(wavelengths, np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"wavelengths: expected real numbers (nm), got {type(wavelengths).__name__}") from None
    if w.ndim != 1:
        raise ValueError(f"wavelengths: expected a 1-dimensional grid, got shape {w.shape}")
    if w.size == 0:
        raise ValueError("wavelengths: the grid is empty")
    if not np.all(np.isfinite(w) & (w > 0)):
        raise ValueError("wavelengths: expected finite values > 0 (nm)")
    return w


def angles(angle: Angle) -> Tuple[np.ndarray, bool]:
    """The angles in degrees as a 1-dimensional array, and whether one scalar was given."""
    if isinstance(angle, (bool, np.bool_)) or isinstance(angle, str):
        raise TypeError(f"angle: expected degrees as a number or an array, got {type(angle).__name__}")
    a = np.asarray(angle, np.float64)
    if a.ndim > 1 or a.size == 0:
        raise ValueError(f"angle: expected a number or a non-empty 1-dimensional array, got shape {a.shape}")
    bad = ~(np.isfinite(a) & (a >= 0) & (a < 90))
    if np.any(bad):
        raise ValueError(f"angle: expected degrees in [0, 90), got {a.ravel()[np.flatnonzero(bad.ravel())[0]]}")
    return a.reshape(-1), a.ndim == 0


def polarisations(pol: str, allowed: Tuple[str, ...] = ("s", "p", "u")) -> Tuple[str, ...]:
    """The polarisations to compute for `pol` ("u": both, their mean taken)."""
    if not isinstance(pol, str) or pol not in allowed:
        raise ValueError(f"pol: expected one of {', '.join(map(repr, allowed))}, got {pol!r}")
    return ("s", "p") if pol == "u" else (pol,)


def check_method(method: str) -> None:
    if method not in METHODS:
        raise ValueError(f"method: expected 'auto', 'complex' or 'real', got {method!r}")


def batches(N: int, per_wavelength: int, batch: Optional[int]) -> List[slice]:
    if batch is None:
        batch = max(4, WORKING_SET // max(per_wavelength, 1))
    elif isinstance(batch, (bool, np.bool_)) or not isinstance(batch, numbers.Integral):
        raise TypeError(f"batch: expected an integer, got {type(batch).__name__}")
    elif batch < 1:
        raise ValueError(f"batch: expected at least 1 wavelength per batch, got {batch}")
    return [slice(i, min(i + batch, N)) for i in range(0, N, batch)]


def check_progress(progress: Optional[Callable], what: str = "(done, total)") -> None:
    if progress is not None and not callable(progress):
        raise TypeError(f"progress: expected a callable {what}, got {type(progress).__name__}")


def incidence_of(design: Any, w: np.ndarray, angle: float) -> Incidence:
    """The incidence on `design` at `angle` degrees over the grid w, whose
    incident index must be the same at every wavelength."""
    n0 = evaluate("incident", design.incident, w, slice(None), w.size)
    if np.any(n0 != n0[0]):
        raise ValueError("incident: the engine takes one incident admittance for all wavelengths")
    return incidence_at(n0[0], angle)


def incidence_at(n0: complex, angle: float) -> Incidence:
    """The incidence at `angle` degrees from an incident medium of index n0:
    an oblique angle needs a real index."""
    if angle == 0:
        return Incidence(n0 if n0.imag else float(n0.real), 0.0, 1.0)
    if n0.imag != 0:
        raise ValueError("incident: an oblique angle needs a real incident index")
    return incidence(float(n0.real), angle)


# ---------------------------------------------------------------- the media of one batch

class Media:
    """The media of one batch of wavelengths for one angle and polarisation."""
    w: np.ndarray        # (B,) nm
    incidence: Incidence
    pol: str
    amplitudes: bool     # whether amplitude results are wanted (not for "u")
    eta0: complex
    n_s: np.ndarray      # (B,) substrate index
    eta_s: np.ndarray
    n_rows: LayerRows    # (K, B) layer indices and admittances, one row per distinct index
    eta_rows: LayerRows
    eta_e: np.ndarray    # thick substrate only: (B,) exit medium, back layers (K_back, B)
    n_b: LayerRows       # from the exit medium inwards
    eta_b: LayerRows

    @property
    def x(self) -> float:
        return self.incidence.x

    @property
    def n(self) -> np.ndarray:
        """The layer indices as a (K, B) array, built on first use."""
        if "_n" not in self.__dict__:
            self._n = self.n_rows.full()
        return self._n

    @property
    def eta(self) -> np.ndarray:
        if "_eta" not in self.__dict__:
            self._eta = self.eta_rows.full()
        return self._eta


def media(design: Any, w: np.ndarray, sl: slice, N: int, inc: Incidence, pol: str, amplitudes: bool) -> Media:
    """The media of `design` on the batch w[sl] of a grid of N wavelengths."""
    m = Media()
    m.w, m.incidence, m.pol, m.amplitudes = w[sl], inc, pol, amplitudes
    m.eta0 = complex(incident_admittance(inc, pol))
    m.n_s = evaluate("substrate", design.substrate, m.w, sl, N)
    m.eta_s = admittance(m.n_s, inc, pol)
    m.n_rows, m.eta_rows = layer_rows(design.layers, m, sl, N, "layers")
    if design.substrate_thickness is not None:
        m.eta_e = admittance(evaluate("exit_medium", design.exit_medium, m.w, sl, N), inc, pol)
        # the engine's layer 0 touches its substrate, here the exit medium
        back = design.back_layers[::-1]
        m.n_b, m.eta_b = layer_rows(back, m, sl, N, "back_layers", len(back) - 1)
    return m


def layer_rows(layers: list, m: Media, sl: slice, N: int, what: str,
               reversed_from: Optional[int] = None) -> Tuple[LayerRows, LayerRows]:
    """The layers' indices and admittances on the batch. Layers of one
    constant index share a row (one root per material, not per layer or
    wavelength), so a stack of two materials costs two rows, not K.
    reversed_from: the layers are given in reverse, named from that number down."""
    rows_n: List[np.ndarray] = []
    rows_eta: List[np.ndarray] = []
    row_of: List[int] = []
    constant_row: Dict[complex, int] = {}
    for j, layer in enumerate(layers):
        v = layer.index
        if is_constant(v):
            key = complex(v)
            if key not in constant_row:
                constant_row[key] = len(rows_n)
                rows_n.append(np.full(m.w.size, key, np.complex128))
                rows_eta.append(np.full(m.w.size, admittance(key, m.incidence, m.pol), np.complex128))
            row_of.append(constant_row[key])
        else:
            k = j if reversed_from is None else reversed_from - j
            n = evaluate(f"{what}[{k}].index", v, m.w, sl, N)
            row_of.append(len(rows_n))
            rows_n.append(n)
            rows_eta.append(admittance(n, m.incidence, m.pol))
    shape = (len(rows_n), m.w.size)
    n_rows = np.array(rows_n, np.complex128).reshape(shape)
    eta_rows = np.array(rows_eta, np.complex128).reshape(shape)
    return LayerRows(n_rows, row_of), LayerRows(eta_rows, row_of)


# ---------------------------------------------------------------- engine paths

def real_path(e: Engine, n: LayerRows, x: float, method: str) -> Optional[Callable]:
    """The engine's real-arithmetic entry point when every layer is
    lossless and propagating (and `method` allows it), else None."""
    rows = n.rows
    ok = method != "complex" and bool(np.all(rows.imag == 0) and np.all(rows.real * rows.real > x * x))
    if method == "real" and not ok:
        raise ValueError("method: 'real' needs non-absorbing layers with real index above x everywhere")
    if not ok:
        return None
    names = [f for f in ("update_optiprops_real_n_simd", "update_optiprops_real_n") if e.has(f)]
    return getattr(e, names[0] if names else "update_optiprops_real_n_simd")


def front(e: Engine, design: Any, m: Media, method: str, derivatives: bool = False) -> tuple:
    """t, t', r, r' of the front coating, with dt, dr, dr' (K, B) when asked."""
    d = thicknesses(design.layers)
    real = real_path(e, m.n_rows, m.x, method)
    if real:
        rec = real(m.w, d, m.n_rows, m.eta_rows, m.eta0, m.eta_s, x=m.x, derivatives=derivatives)
        return tuple(rec if derivatives else rec[:4])
    if not derivatives:
        return coefficients(e.calc_M(m.w, d, m.n_rows, m.eta_rows, x=m.x), m.eta0, m.eta_s)
    fb = e.forward_backward(m.w, d, m.n, m.eta, x=m.x)
    t, tb, r, rb = coefficients(fb.stack_matrix, m.eta0, m.eta_s)
    return (t, tb, r, rb) + coefficient_derivatives(fb.derivatives, t, tb, r, rb, m.eta0, m.eta_s)


def faces(e: Engine, design: Any, m: Media, front_coefficients: tuple) -> Faces:
    """The power coefficients of a thick substrate's faces: the front coating
    from its t, t', r, r', the back coating (from inside the substrate into
    the exit medium) and the substrate's internal transmittance along the
    oblique path."""
    t, tb, r, rb = front_coefficients[:4]
    if design.back_layers:
        d = thicknesses(design.back_layers[::-1])
        M = e.calc_M(m.w, d, m.n_b, m.eta_b, x=m.x)
    else:
        M = np.eye(2, dtype=np.complex128)[:, :, None]
    back_t, _, back_r, _ = coefficients(M, m.eta_s, m.eta_e)
    tau = internal_transmittance(m.w, design.substrate_thickness, normal_component(m.n_s, m.incidence))
    return Faces(reflectance(r), transmittance(t, m.eta0, m.eta_s), reflectance(rb),
                 transmittance(tb, m.eta_s, m.eta0), reflectance(back_r), transmittance(back_t, m.eta_s, m.eta_e), tau)


def thicknesses(layers: list) -> np.ndarray:
    return np.array([l.thickness for l in layers], np.float64)


# ---------------------------------------------------------------- the sweep

def sweep(design: Any, wavelengths: Any, angle: Angle, pol: str, per_wavelength: int, batch: Optional[int],
          progress: Optional[Progress], compute: Callable[[Media], Dict[str, np.ndarray]], what: str,
          pols: Tuple[str, ...] = ("s", "p", "u"), w: Optional[np.ndarray] = None
          ) -> Tuple[np.ndarray, Dict[str, np.ndarray]]:
    """Runs compute(media) -> {name: (..., B) array} over every angle, batch
    and polarisation; returns the grid and {name: (M, ..., N)} (without M for
    a scalar angle); for "u" a name that both polarisations return is their
    mean. A value that is not finite raises NonFiniteResult naming `what`."""
    which = polarisations(pol, pols)
    w = grid(wavelengths) if w is None else w
    angle_list, scalar = angles(angle)
    N = w.size
    # One incidence per engine request: a dispersive incident medium goes one wavelength at a time.
    n0 = evaluate("incident", design.incident, w, slice(None), N)
    dispersive = bool(np.any(n0 != n0[0]))
    slices = [slice(i, i + 1) for i in range(N)] if dispersive else batches(N, per_wavelength, batch)
    check_progress(progress)
    out: Dict[str, np.ndarray] = {}
    total = len(angle_list) * len(slices)
    for a, theta in enumerate(angle_list):
        for b, sl in enumerate(slices):
            inc = incidence_at(n0[sl.start], float(theta))
            merged: Dict[str, np.ndarray] = {}
            with np.errstate(all="ignore"):
                for p in which:
                    for name, v in compute(media(design, w, sl, N, inc, p, len(which) == 1)).items():
                        merged[name] = 0.5 * (merged[name] + v) if name in merged else v
            for name, v in merged.items():
                finite(what, name, v, w[sl], float(theta), pol)
                if name not in out:
                    out[name] = np.empty((len(angle_list),) + v.shape[:-1] + (N,), v.dtype)
                out[name][a][..., sl] = v
            if progress is not None:
                progress(a * len(slices) + b + 1, total)
    return w, {k: v[0] for k, v in out.items()} if scalar else out


def finite(what: str, name: str, v: np.ndarray, w: np.ndarray, angle: float, pol: str) -> None:
    """NonFiniteResult for the first wavelength (then layer) where v is not finite."""
    bad = ~np.isfinite(v)
    if not np.any(bad):
        return
    where = np.argwhere(bad.reshape(-1, v.shape[-1]).T)[0]  # wavelength first
    i, k = int(where[0]), int(where[1])
    layer = k if v.ndim > 1 else None
    at = f" of layer {layer}" if layer is not None else ""
    raise NonFiniteResult(f"{what}: {name}{at} is not finite at {w[i]:g} nm ({angle:g} degrees, {pol}): the "
                          "engine cannot evaluate this design there (a thick absorbing layer, or a thick layer "
                          "whose index lies below the angle invariant?)", float(w[i]), layer)


# ---------------------------------------------------------------- many runs on one grid

class Prepared:
    """A design's media on one grid at one angle, for many evaluations with
    other thicknesses and index scales of its front layers (tolerance
    analysis): the media and the engine path are chosen once, each run is
    one engine request per polarisation, its results written into
    preallocated rows. A thick substrate's back face (its back layers, the
    exit medium, the substrate's internal transmittance) is computed once
    and combined incoherently with each run's front coating."""

    def __init__(self, design: Any, wavelengths: Any, angle: float, pol: str, engine: Optional[Engine]) -> None:
        self.design, self.wavelengths, self.pol = design, grid(wavelengths), pol
        a, scalar = angles(angle)
        if not scalar:
            raise ValueError("angle: expected one angle in degrees")
        self.engine = engine or default_engine()
        self.incidence = incidence_of(design, self.wavelengths, float(a[0]))
        N = self.wavelengths.size
        self.media = {p: media(design, self.wavelengths, slice(None), N, self.incidence, p, True)
                      for p in polarisations(pol)}
        n = next(iter(self.media.values())).n_rows
        self.real = real_path(self.engine, n, self.incidence.x, "auto")
        self.thick = design.substrate_thickness is not None
        # whether A = 1 - R - T can be more than rounding: an absorbing front layer, or what a
        # thick part's light crosses besides (the substrate, the back layers)
        m = next(iter(self.media.values()))
        self.absorbing = bool(np.any(n.rows.imag != 0) or (self.thick and (
            np.any(m.n_s.imag != 0) or (design.back_layers and np.any(m.n_b.rows.imag != 0)))))
        if self.thick:
            # the back face does not change from run to run: its Rb, Tb and tau once per polarisation
            self.back = {p: faces(self.engine, design, m, front(self.engine, design, m, "auto"))
                         for p, m in self.media.items()}

    def spectra(self, d: np.ndarray, scale: Optional[np.ndarray] = None) -> Tuple[np.ndarray, np.ndarray]:
        """R and T (runs, N) of runs with thicknesses d (runs, K) nm and layer
        indices scaled by `scale` (runs, K) or not at all, the unpolarised
        mean in the order Design.spectrum takes it."""
        R = T = None
        for Rp, Tp in self.each(d, scale).values():
            R, T = (Rp, Tp) if R is None else (0.5 * (R + Rp), 0.5 * (T + Tp))
        return R, T

    def each(self, d: np.ndarray, scale: Optional[np.ndarray] = None) -> Dict[str, Tuple[np.ndarray, np.ndarray]]:
        """R and T (runs, N) of each polarisation prepared ("s", "p" or both)."""
        out = {}
        with np.errstate(all="ignore"):
            for p, m in self.media.items():
                t, tb, r, rb = self._coefficients(m, d, scale)
                front_R, front_T = reflectance(r), transmittance(t, m.eta0, m.eta_s)
                if self.thick:
                    b = self.back[p]
                    out[p] = incoherent(Faces(front_R, front_T, reflectance(rb), transmittance(tb, m.eta_s, m.eta0),
                                              b.Rb, b.Tb, b.tau))
                else:
                    out[p] = (front_R, front_T)
        return out

    def _coefficients(self, m: Media, d: np.ndarray, scale: Optional[np.ndarray]) -> Tuple[np.ndarray, ...]:
        """t, t', r, r' (runs, N); t' and r' only for a thick substrate (else None)."""
        e, w, x = self.engine, self.wavelengths, self.incidence.x
        B, N = d.shape[0], w.size
        t, r = np.empty((B, N), np.complex128), np.empty((B, N), np.complex128)
        tb = rb = None
        n, eta = m.n_rows, m.eta_rows
        full = n.full() if scale is not None else None
        if self.real:
            if self.thick:
                tb, rb = np.empty((B, N), np.complex128), np.empty((B, N), np.complex128)
            else:
                spare = np.empty((2, N), np.complex128)  # t', r': not wanted
        else:
            M = np.empty((B, 2, 2, N), np.complex128)
        for b in range(B):
            if scale is not None:
                n = np.ascontiguousarray(full * scale[b][:, None])
                eta = admittance(n, self.incidence, m.pol)
            if self.real:
                backs = (tb[b], rb[b]) if self.thick else (spare[0], spare[1])
                self.real(w, d[b], n, eta, m.eta0, m.eta_s, x=x, out=Coefficients(t[b], backs[0], r[b], backs[1]))
            else:
                e.calc_M(w, d[b], n, eta, x=x, out=M[b])
        if not self.real:
            t, tb, r, rb = coefficients(M.transpose(1, 2, 0, 3), m.eta0, m.eta_s)
        return t, tb, r, rb
