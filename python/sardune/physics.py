"""Spectra, sensitivities, absorptance, phases and ellipsometric angles of a
coating, on top of the engine.

Conventions: complex index N = n - i*k with extinction k >= 0 absorbing, so
fields vary as exp(+i omega t); admittances in units of the free-space
admittance, tilted for the polarisation with the angle invariant
x = n0*sin(theta0):
    s: eta = sqrt(N^2 - x^2)        p: eta = N^2 / sqrt(N^2 - x^2)
(principal root). Layer 0 lies on the substrate; thicknesses and
wavelengths share one length unit, nm (the phase quantities take nm for the
speed of light).

Shapes: N wavelengths, K layers. A scalar angle gives results over the
wavelengths, (N,) or (K, N); an array of M angles adds a leading axis, (M, N)
or (M, K, N). pol is "s", "p" or "u" (unpolarised: the mean of the s and p
intensities R, T, A and their derivatives; amplitudes are None then).

Work runs in batches of wavelengths so that memory beyond the result arrays
stays bounded: at most about WORKING_SET bytes per batch (64 MiB unless
changed), or `batch` wavelengths per batch where a call gives it. A
`progress` callable receives (batches done, batches in all) after each batch.
"""

import math
import numbers
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from .engine import Engine, LayerRows, default_engine
from .materials import ArrayLike
from .design_file import PathLike

if TYPE_CHECKING:
    from .refine import Refinement
    from .tolerance import ErrorModel, Tolerance

WORKING_SET = 64 * 2**20  # bytes of scratch per wavelength batch
C_NM_PER_FS = 299.792458  # speed of light

Index = Union[complex, float, np.ndarray, Callable[[np.ndarray], np.ndarray]]
Angle = Union[float, Sequence[float], np.ndarray]
Progress = Callable[[int, int], None]
Values = Union[complex, np.ndarray]  # a scalar or an array over the wavelengths


class Spectrum(NamedTuple):
    """R, T, A = 1 - R - T; r, t the amplitude coefficients (None for "u"
    and for a thick substrate, whose surfaces combine incoherently)."""
    wavelengths: np.ndarray
    R: np.ndarray
    T: np.ndarray
    A: np.ndarray
    r: Optional[np.ndarray]
    t: Optional[np.ndarray]


class Sensitivities(NamedTuple):
    """R, T and dR/dd_k, dT/dd_k per nm of layer k's thickness, (K, N) per angle."""
    wavelengths: np.ndarray
    R: np.ndarray
    T: np.ndarray
    dR: np.ndarray
    dT: np.ndarray


class Absorptance(NamedTuple):
    """R, T and the share of the incident power absorbed in each layer,
    `layers` (K, N) per angle; R + T + layers.sum(axis=-2) = 1."""
    wavelengths: np.ndarray
    R: np.ndarray
    T: np.ndarray
    layers: np.ndarray


class Phase(NamedTuple):
    """Amplitudes r, t; their phases in radians (-pi, pi]; group delay in fs
    and group-delay dispersion in fs^2 of each (see Design.phase)."""
    wavelengths: np.ndarray
    r: np.ndarray
    t: np.ndarray
    phase_r: np.ndarray
    phase_t: np.ndarray
    gd_r: np.ndarray
    gd_t: np.ndarray
    gdd_r: np.ndarray
    gdd_t: np.ndarray


class Ellipsometry(NamedTuple):
    """psi and Delta in degrees, rho = r_p / r_s = tan(psi) exp(i Delta)."""
    wavelengths: np.ndarray
    psi: np.ndarray
    delta: np.ndarray
    rho: np.ndarray


# ---------------------------------------------------------------- optics of one stack

def _pol(pol: str, allowed: Tuple[str, ...] = ("s", "p", "u")) -> Tuple[str, ...]:
    """The polarisations to compute for `pol`."""
    if not isinstance(pol, str) or pol not in allowed:
        raise ValueError(f"pol: expected one of {', '.join(map(repr, allowed))}, got {pol!r}")
    return ("s", "p") if pol == "u" else (pol,)


def admittance(index: Union[complex, np.ndarray], x: float = 0.0, pol: str = "s") -> np.ndarray:
    """Tilted admittance of a medium of complex index `index` (scalar or
    array, any shape) for polarisation "s" or "p"."""
    _pol(pol, ("s", "p"))
    n = np.asarray(index, np.complex128)
    q = np.sqrt(n * n - x * x)
    return q if pol == "s" else n * n / q


def coefficients(M: np.ndarray, eta0: Values, eta_s: Values) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """t, t', r, r' of a stack matrix M (2, 2, N) between eta0 and eta_s
    (scalars or (N,) arrays)."""
    m00, m01, m10, m11 = M[0, 0], M[0, 1], M[1, 0], M[1, 1]
    D = eta0 * m00 + eta_s * m11 + eta0 * eta_s * m01 + m10
    t = 2 * eta0 / D
    return (t, 2 * eta_s / D, (eta0 * m00 - eta_s * m11 + eta0 * eta_s * m01 - m10) / D,
            (eta_s * m11 - eta0 * m00 + eta0 * eta_s * m01 - m10) / D)


def coefficient_derivatives(X: np.ndarray, t: np.ndarray, t_back: np.ndarray, r: np.ndarray, r_back: np.ndarray,
                            eta0: Values, eta_s: Values) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """dt, dr, dr' (K, N) from the stack-matrix derivatives X = dM/dd_k (K, 2, 2, N)."""
    x00, x01, x10, x11 = X[:, 0, 0], X[:, 0, 1], X[:, 1, 0], X[:, 1, 1]
    e0s = eta0 * eta_s
    dD = eta0 * x00 + eta_s * x11 + e0s * x01 + x10
    dt = -t * t / (2 * eta0) * dD
    dr = t / (2 * eta0) * (eta0 * (1 - r) * x00 - (1 + r) * eta_s * x11 + e0s * (1 - r) * x01 - (1 + r) * x10)
    drb = t_back / (2 * eta_s) * (eta_s * (1 - r_back) * x11 - eta0 * (1 + r_back) * x00
                                  + e0s * (1 - r_back) * x01 - (1 + r_back) * x10)
    return dt, dr, drb


def reflectance(r: np.ndarray) -> np.ndarray:
    return np.abs(r) ** 2


def transmittance(t: np.ndarray, eta0: Values, eta_s: Values) -> np.ndarray:
    """Power transmittance; eta0 must have a positive real part."""
    return np.real(eta_s) / np.real(eta0) * np.abs(t) ** 2


def layer_matrix(wavelengths: np.ndarray, thickness: float, index: np.ndarray, eta: np.ndarray,
                 x: float = 0.0) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Entries (L00, L01, L10, L11) of one layer's characteristic matrix over
    the wavelengths (N,) each."""
    delta = (2 * np.pi / wavelengths) * thickness * np.sqrt(index * index - x * x)
    c, s = np.cos(delta), np.sin(delta)
    return c, 1j * s / eta, 1j * s * eta, c


def stack_matrix_numpy(wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray,
                       admittances: np.ndarray, x: float = 0.0) -> np.ndarray:
    """The stack matrix in plain numpy, a layer loop over whole-wavelength
    arrays: independent of the engine, for checks and comparisons."""
    M = np.zeros((2, 2, len(wavelengths)), np.complex128)
    M[0, 0] = M[1, 1] = 1
    for d, n, eta in zip(thicknesses, indices, admittances):
        a, b, c, e = layer_matrix(wavelengths, d, n, eta, x)
        M = np.array([[a * M[0, 0] + b * M[1, 0], a * M[0, 1] + b * M[1, 1]],
                      [c * M[0, 0] + e * M[1, 0], c * M[0, 1] + e * M[1, 1]]])
    return M


_IDENTITY = np.eye(2, dtype=np.complex128)[:, :, None]


# ---------------------------------------------------------------- arguments

def _grid(wavelengths: "ArrayLike") -> np.ndarray:
    w = np.ascontiguousarray(wavelengths, np.float64)
    if w.ndim != 1:
        raise ValueError(f"wavelengths: expected a 1-dimensional grid, got shape {w.shape}")
    if w.size == 0:
        raise ValueError("wavelengths: the grid is empty")
    if not np.all(np.isfinite(w) & (w > 0)):
        raise ValueError("wavelengths: expected finite values > 0 (nm)")
    return w


def _angles(angle: Angle) -> Tuple[np.ndarray, bool]:
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


def _batches(N: int, per_wavelength: int, batch: Optional[int]) -> List[slice]:
    if batch is None:
        batch = max(4, WORKING_SET // max(per_wavelength, 1))
    elif isinstance(batch, (bool, np.bool_)) or not isinstance(batch, numbers.Integral):
        raise TypeError(f"batch: expected an integer, got {type(batch).__name__}")
    elif batch < 1:
        raise ValueError(f"batch: expected at least 1 wavelength per batch, got {batch}")
    return [slice(i, min(i + batch, N)) for i in range(0, N, batch)]


def _medium(name: str, v: Index, w: np.ndarray, sl: slice, N: int) -> np.ndarray:
    """A medium's complex index on the batch w = grid[sl]: a constant, a
    grid-long (N,) array or a callable of the wavelengths."""
    if callable(v):
        v = v(w)
        if isinstance(v, numbers.Complex) and not isinstance(v, bool):
            return np.full(w.size, complex(v), np.complex128)
        a = np.asarray(v)
        if a.shape != w.shape:
            raise ValueError(f"{name}: the callable returned shape {a.shape} for {w.size} wavelengths")
    else:
        if isinstance(v, numbers.Complex) and not isinstance(v, bool):
            return np.full(w.size, complex(v), np.complex128)
        a = np.asarray(v)
        if a.shape != (N,):
            raise ValueError(f"{name}: expected a number or {N} values (one per wavelength), got shape {a.shape}")
        a = a[sl]
    if not np.issubdtype(a.dtype, np.number):
        raise TypeError(f"{name}: expected numbers, got dtype {a.dtype}")
    return a.astype(np.complex128)


class Layer:
    """One layer: complex index n - ik (a number, a per-wavelength (N,) array
    or a callable of the wavelengths in nm such as a Material) and physical
    thickness in nm."""

    def __init__(self, index: Index, thickness: float) -> None:
        if isinstance(thickness, bool) or not isinstance(thickness, numbers.Real):
            raise TypeError(f"thickness: expected a real number, got {type(thickness).__name__}")
        if not (math.isfinite(thickness) and thickness >= 0):
            raise ValueError(f"thickness: expected a finite value >= 0, got {thickness}")
        self.index, self.thickness = index, float(thickness)

    def __repr__(self) -> str:
        return f"Layer({self.index!r}, {self.thickness!r})"


class _Optics:
    """The media of one batch of wavelengths for one angle and polarisation."""
    w: np.ndarray       # (B,) nm
    x: float
    pol: str
    amplitudes: bool    # whether amplitude results are wanted (not for "u")
    eta0: complex
    n_s: np.ndarray     # (B,) substrate index
    eta_s: np.ndarray
    n_rows: LayerRows   # (K, B) layer indices and admittances, one row per distinct index
    eta_rows: LayerRows
    eta_e: np.ndarray   # thick substrate only: (B,) exit medium, back layers (K_back, B)
    n_b: np.ndarray     # from the exit medium inwards
    eta_b: np.ndarray

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


def _layer_arrays(layers: List[Layer], o: _Optics, sl: slice, N: int, what: str) -> Tuple[LayerRows, LayerRows]:
    """The layers' indices and admittances on the batch. Layers of one
    constant index share a row (one root per material, not per layer or
    wavelength), so a stack of two materials costs two rows, not K."""
    rows_n: List[np.ndarray] = []
    rows_eta: List[np.ndarray] = []
    row_of: List[int] = []
    constant_row: Dict[complex, int] = {}
    for j, layer in enumerate(layers):
        v = layer.index
        if isinstance(v, numbers.Complex) and not isinstance(v, bool):
            key = complex(v)
            if key not in constant_row:
                constant_row[key] = len(rows_n)
                rows_n.append(np.full(o.w.size, key, np.complex128))
                rows_eta.append(np.full(o.w.size, admittance(key, o.x, o.pol), np.complex128))
            row_of.append(constant_row[key])
        else:
            n = _medium(f"{what}[{j}].index", v, o.w, sl, N)
            row_of.append(len(rows_n))
            rows_n.append(n)
            rows_eta.append(admittance(n, o.x, o.pol))
    shape = (len(rows_n), o.w.size)
    n_rows = np.array(rows_n, np.complex128).reshape(shape)
    eta_rows = np.array(rows_eta, np.complex128).reshape(shape)
    return LayerRows(n_rows, row_of), LayerRows(eta_rows, row_of)


class Design:
    """A coating: layers from the substrate up, on `substrate`, seen from
    `incident` (indices as for Layer).

    substrate_thickness (nm): None for a semi-infinite substrate; a number
    makes the substrate a thick slab whose two surfaces combine
    incoherently, with absorption along the oblique path through it, and
    `back_layers` (from the substrate's back face outwards) coat its back,
    which faces `exit_medium` (default: the incident medium)."""

    def __init__(self, layers: Iterable, substrate: Index = 1.52, incident: Index = 1.0,
                 substrate_thickness: Optional[float] = None, back_layers: Iterable = (),
                 exit_medium: Optional[Index] = None) -> None:
        self.layers = [l if isinstance(l, Layer) else Layer(*l) for l in layers]
        self.substrate, self.incident = substrate, incident
        if substrate_thickness is not None:
            if isinstance(substrate_thickness, bool) or not isinstance(substrate_thickness, numbers.Real):
                raise TypeError(f"substrate_thickness: expected a real number, got {type(substrate_thickness).__name__}")
            if not (math.isfinite(substrate_thickness) and substrate_thickness >= 0):
                raise ValueError(f"substrate_thickness: expected a finite value >= 0 nm, got {substrate_thickness}")
            substrate_thickness = float(substrate_thickness)
        self.substrate_thickness = substrate_thickness
        self.back_layers = [l if isinstance(l, Layer) else Layer(*l) for l in back_layers]
        if self.back_layers and substrate_thickness is None:
            raise ValueError("back_layers: a back-side coating needs a substrate_thickness")
        self.exit_medium = incident if exit_medium is None else exit_medium

    @classmethod
    def from_file(cls, path: "PathLike", substrate: Index = 1.52, incident: Index = 1.0,
                  materials: Optional["PathLike"] = None) -> "Design":
        return read_design(path, substrate, incident, materials)

    def __len__(self) -> int:
        return len(self.layers)

    @property
    def thicknesses(self) -> np.ndarray:
        return np.array([l.thickness for l in self.layers], np.float64)

    @property
    def thick(self) -> bool:
        return self.substrate_thickness is not None

    def with_thickness(self, k: int, thickness: float) -> "Design":
        """A copy with layer k's thickness changed."""
        layers = list(self.layers)
        layers[k] = Layer(layers[k].index, thickness)
        return self._with_layers(layers)

    def with_thicknesses(self, thicknesses: ArrayLike) -> "Design":
        """A copy with every layer's thickness (nm) replaced, (K,)."""
        d = np.asarray(thicknesses, np.float64)
        if d.shape != (len(self),):
            raise ValueError(f"thicknesses: expected {len(self)} values, got shape {d.shape}")
        return self._with_layers([Layer(l.index, float(t)) for l, t in zip(self.layers, d)])

    def _with_layers(self, layers: List[Layer]) -> "Design":
        return Design(layers, self.substrate, self.incident, self.substrate_thickness, self.back_layers,
                      self.exit_medium)

    # --- refinement and tolerances (their own modules; scipy is loaded on first use)

    def refine(self, targets: Sequence, layers: Optional[Sequence[int]] = None,
               bounds: Tuple[ArrayLike, ArrayLike] = (0.0, math.inf), engine: Optional[Engine] = None,
               method: str = "auto", jacobian: str = "analytic",
               progress: Optional[Callable[[int, float, np.ndarray], None]] = None, **options: Any) -> "Refinement":
        """Thicknesses refined towards `targets` by least squares with the
        engine's derivatives; see sardune.refine.refine."""
        from .refine import refine
        return refine(self, targets, layers, bounds, engine, method, jacobian, progress, **options)

    def tolerance(self, wavelengths: ArrayLike, errors: "ErrorModel", runs: int, seed: Optional[int] = None,
                  angle: float = 0.0, pol: str = "s", percentiles: Sequence[float] = (5.0, 50.0, 95.0),
                  bounds: Sequence = (), batch: Optional[int] = None, executor: Any = None,
                  engine: Optional[Engine] = None, progress: Optional[Progress] = None) -> "Tolerance":
        """Monte Carlo over manufacturing errors; see sardune.tolerance.tolerance."""
        from .tolerance import tolerance
        return tolerance(self, wavelengths, errors, runs, seed, angle, pol, percentiles, bounds, batch, executor,
                         engine, progress)

    # --- the sweep over angles, wavelength batches and polarisations

    def _invariant(self, w: np.ndarray, angle: float) -> Tuple[float, float]:
        """x = n0 sin(angle) and cos(angle)."""
        if angle == 0:
            return 0.0, 1.0
        n0 = _medium("incident", self.incident, w, slice(None), w.size)
        if np.any(n0.imag != 0) or np.any(n0.real != n0.real[0]):
            raise ValueError("incident: an oblique angle needs a constant real incident index")
        a = math.radians(angle)
        return float(n0.real[0] * math.sin(a)), math.cos(a)

    def _optics(self, w: np.ndarray, sl: slice, N: int, x: float, cos0: float, pol: str,
                amplitudes: bool) -> _Optics:
        o = _Optics()
        o.w, o.x, o.pol, o.amplitudes = w[sl], x, pol, amplitudes
        # The normal component n0 cos(angle) from the cosine itself: from
        # sqrt(n0^2 - x^2) it would vanish near grazing incidence, where
        # sin(angle) rounds to 1.
        n0 = _medium("incident", self.incident, o.w, sl, N)
        eta0 = n0 * cos0 if pol == "s" else n0 / cos0
        if np.any(eta0 != eta0[0]):
            raise ValueError("incident: the engine takes one incident admittance for all wavelengths")
        o.eta0 = complex(eta0[0])
        o.n_s = _medium("substrate", self.substrate, o.w, sl, N)
        o.eta_s = admittance(o.n_s, x, pol)
        o.n_rows, o.eta_rows = _layer_arrays(self.layers, o, sl, N, "layers")
        if self.thick:
            o.eta_e = admittance(_medium("exit_medium", self.exit_medium, o.w, sl, N), x, pol)
            # the engine's layer 0 touches its substrate, here the exit medium
            o.n_b, o.eta_b = _layer_arrays(self.back_layers[::-1], o, sl, N, "back_layers")
        return o

    def _sweep(self, wavelengths, angle: Angle, pol: str, per_wavelength: int, batch: Optional[int],
               progress: Optional[Progress], compute: Callable[[_Optics], Dict[str, np.ndarray]],
               pols: Tuple[str, ...] = ("s", "p", "u")) -> Tuple[np.ndarray, Dict[str, np.ndarray]]:
        """Runs compute(optics) -> {name: (..., B) array} over every angle,
        batch and polarisation; returns the grid and {name: (M, ..., N)}
        (without M for a scalar angle); for "u" a name that both
        polarisations return is their mean."""
        which = _pol(pol, pols)
        w = _grid(wavelengths)
        angles, scalar = _angles(angle)
        N = w.size
        slices = _batches(N, per_wavelength, batch)
        if progress is not None and not callable(progress):
            raise TypeError(f"progress: expected a callable (done, total), got {type(progress).__name__}")
        out: Dict[str, np.ndarray] = {}
        total = len(angles) * len(slices)
        for m, a in enumerate(angles):
            x, cos0 = self._invariant(w, float(a))
            for b, sl in enumerate(slices):
                merged: Dict[str, np.ndarray] = {}
                for p in which:
                    for name, v in compute(self._optics(w, sl, N, x, cos0, p, len(which) == 1)).items():
                        merged[name] = 0.5 * (merged[name] + v) if name in merged else v
                for name, v in merged.items():
                    if name not in out:
                        out[name] = np.empty((len(angles),) + v.shape[:-1] + (N,), v.dtype)
                    out[name][m][..., sl] = v
                if progress is not None:
                    progress(m * len(slices) + b + 1, total)
        return w, {k: v[0] for k, v in out.items()} if scalar else out

    def _not_thick(self, what: str) -> None:
        if self.thick:
            raise ValueError(f"substrate_thickness: {what} is defined for a semi-infinite substrate only")

    # --- engine paths

    @staticmethod
    def _real_path(e: Engine, n: LayerRows, x: float, method: str):
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

    @staticmethod
    def _method(method: str) -> None:
        if method not in ("auto", "complex", "real"):
            raise ValueError(f"method: expected 'auto', 'complex' or 'real', got {method!r}")

    def _front(self, e: Engine, o: _Optics, method: str, derivatives: bool = False):
        """t, t', r, r' of the front coating, with dt, dr, dr' (K, B) when asked."""
        real = self._real_path(e, o.n_rows, o.x, method)
        if not real:
            return self._stack_path(e, o, derivatives)
        rec = real(o.w, self.thicknesses, o.n_rows, o.eta_rows, o.eta0, o.eta_s, o.x, derivatives=derivatives)
        return tuple(rec if derivatives else rec[:4])

    def _stack_path(self, e: Engine, o: _Optics, derivatives: bool):
        d, w, x, eta0, eta_s = self.thicknesses, o.w, o.x, o.eta0, o.eta_s
        if not derivatives:
            return coefficients(e.calc_M(w, d, o.n_rows, o.eta_rows, x), eta0, eta_s)
        fb = e.forward_backward(w, d, o.n, o.eta, x)
        t, tb, r, rb = coefficients(fb.stack_matrix, eta0, eta_s)
        return (t, tb, r, rb) + coefficient_derivatives(fb.derivatives, t, tb, r, rb, eta0, eta_s)

    def _back(self, e: Engine, o: _Optics) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Reflectance of the back face seen from inside the substrate, its
        transmittance into the exit medium, and the substrate's internal
        transmittance along the oblique path."""
        if self.back_layers:
            d = np.ascontiguousarray([l.thickness for l in self.back_layers[::-1]], np.float64)
            M = e.calc_M(o.w, d, o.n_b, o.eta_b, o.x)
        else:
            M = _IDENTITY
        tb, _, rb, _ = coefficients(M, o.eta_s, o.eta_e)
        q = np.sqrt(o.n_s * o.n_s - o.x * o.x)
        tau = np.exp((4 * np.pi / o.w) * self.substrate_thickness * np.minimum(q.imag, 0.0))
        return reflectance(rb), transmittance(tb, o.eta_s, o.eta_e), tau

    # --- results

    def spectrum(self, wavelengths: ArrayLike, angle: Angle = 0.0, pol: str = "s", engine: Optional[Engine] = None,
                 method: str = "auto", batch: Optional[int] = None,
                 progress: Optional[Progress] = None) -> Spectrum:
        """R, T, A and the amplitude coefficients r, t at each wavelength (nm).
        angle in degrees in the incident medium, [0, 90), a number or an array
        (a leading angle axis). method: 'auto' takes the engine's real-index
        path when the layers allow it, 'complex' always the stack-matrix
        path, 'real' insists on the real-index path. With a thick substrate,
        R and T are those of the whole part and r, t are None."""
        e = engine or default_engine()
        self._method(method)

        def compute(o: _Optics) -> Dict[str, np.ndarray]:
            t, tb, r, rb = self._front(e, o, method)
            R, T = reflectance(r), transmittance(t, o.eta0, o.eta_s)
            if self.thick:
                Rb, Tb, tau = self._back(e, o)
                Rf_back, Tf_back = reflectance(rb), transmittance(tb, o.eta_s, o.eta0)
                u = 1 / (1 - Rf_back * Rb * tau * tau)
                R, T = R + T * Tf_back * Rb * tau * tau * u, T * Tb * tau * u
                return {"R": R, "T": T}
            return {"R": R, "T": T, **({"r": r, "t": t} if o.amplitudes else {})}

        w, v = self._sweep(wavelengths, angle, pol, 16 * 4 * len(self) + 1024, batch, progress, compute)
        return Spectrum(w, v["R"], v["T"], 1 - v["R"] - v["T"], v.get("r"), v.get("t"))

    def sensitivities(self, wavelengths: ArrayLike, angle: Angle = 0.0, pol: str = "s", engine: Optional[Engine] = None,
                      method: str = "auto", batch: Optional[int] = None,
                      progress: Optional[Progress] = None) -> Sensitivities:
        """R, T and their derivatives dR/dd_k, dT/dd_k (K, N) per nm of layer
        k's thickness (front layers; with a thick substrate, R and T of the
        whole part)."""
        e = engine or default_engine()
        self._method(method)

        def compute(o: _Optics) -> Dict[str, np.ndarray]:
            t, tb, r, rb, dt, dr, drb = self._front(e, o, method, derivatives=True)
            scale = np.real(o.eta_s) / np.real(o.eta0)
            R, T = reflectance(r), scale * np.abs(t) ** 2
            dR, dT = 2 * np.real(np.conj(r) * dr), scale * 2 * np.real(np.conj(t) * dt)
            if self.thick:
                # R = Rf + Tf Tf' X u, T = Tf Tb tau u with X = Rb tau^2,
                # u = 1 / (1 - Rf' X); t' = t eta_s / eta0 gives dTf'.
                Rb, Tb, tau = self._back(e, o)
                X = Rb * tau * tau
                Rf_back = reflectance(rb)
                Tf_back = transmittance(tb, o.eta_s, o.eta0)
                dRf_back = 2 * np.real(np.conj(rb) * drb)
                dTf_back = (np.real(o.eta0) / np.real(o.eta_s) * np.abs(o.eta_s / o.eta0) ** 2
                            * 2 * np.real(np.conj(t) * dt))
                u = 1 / (1 - Rf_back * X)
                dR = dR + X * u * (dT * Tf_back + T * dTf_back) + T * Tf_back * X * X * u * u * dRf_back
                dT = Tb * tau * (dT * u + T * u * u * X * dRf_back)
                R, T = R + T * Tf_back * X * u, T * Tb * tau * u
            return {"R": R, "T": T, "dR": dR, "dT": dT}

        w, v = self._sweep(wavelengths, angle, pol, 16 * 24 * len(self) + 1024, batch, progress, compute)
        return Sensitivities(w, v["R"], v["T"], v["dR"], v["dT"])

    def absorptance(self, wavelengths: ArrayLike, angle: Angle = 0.0, pol: str = "s", batch: Optional[int] = None,
                    progress: Optional[Progress] = None) -> Absorptance:
        """R, T and the share of the incident power absorbed in each layer
        (K, N), from the power flux Re(E H*) at the layer's two interfaces,
        the fields propagated up from the substrate (E = 1, H = eta_s) by the
        layer matrices. T is the power entering the (semi-infinite)
        substrate; R + T + sum over layers = 1 up to rounding."""
        self._not_thick("absorptance per layer")

        def compute(o: _Optics) -> Dict[str, np.ndarray]:
            E, H = np.ones_like(o.eta_s), o.eta_s
            flux = [np.real(H)]
            for j, layer in enumerate(self.layers):
                a, b, c, d = layer_matrix(o.w, layer.thickness, o.n[j], o.eta[j], o.x)
                E, H = a * E + b * H, c * E + d * H
                flux.append(np.real(E * np.conj(H)))
            forward = (o.eta0 * E + H) / (2 * o.eta0)
            backward = (o.eta0 * E - H) / (2 * o.eta0)
            incident = np.real(o.eta0) * np.abs(forward) ** 2
            flux = np.array(flux)
            return {"R": np.abs(backward / forward) ** 2, "T": flux[0] / incident,
                    "layers": np.diff(flux, axis=0) / incident}

        w, v = self._sweep(wavelengths, angle, pol, 16 * 6 * len(self) + 1024, batch, progress, compute)
        return Absorptance(w, v["R"], v["T"], v["layers"])

    def phase(self, wavelengths: ArrayLike, angle: Angle = 0.0, pol: str = "s", engine: Optional[Engine] = None,
              batch: Optional[int] = None, progress: Optional[Progress] = None) -> Phase:
        """Phases of r and t (radians), group delay GD = -d(phase)/d(omega)
        in fs and group-delay dispersion GDD = d(GD)/d(omega) in fs^2, with
        omega = 2 pi c / lambda (rad/fs) and derivatives taken on the grid
        (second-order differences on the unwrapped phase; the grid must be
        strictly monotonic, of at least 3 wavelengths, and fine enough that
        the phase moves by less than pi between neighbours). Fields vary as
        exp(+i omega t) (N = n - ik), so a delay lowers the phase and a
        positive GD is a delay: a slab of vacuum of thickness d in
        transmission has GD = d / c. pol is "s" or "p" (phases are per
        polarisation)."""
        self._not_thick("the phase")
        e = engine or default_engine()
        grid = _grid(wavelengths)
        steps = np.diff(grid)
        if grid.size < 3 or not (np.all(steps > 0) or np.all(steps < 0)):
            raise ValueError("wavelengths: the group delay needs a strictly monotonic grid of at least 3 values")

        def compute(o: _Optics) -> Dict[str, np.ndarray]:
            t, _, r, _ = self._front(e, o, "auto")
            return {"r": r, "t": t}

        w, v = self._sweep(grid, angle, pol, 16 * 4 * len(self) + 1024, batch, progress, compute, ("s", "p"))
        omega = 2 * np.pi * C_NM_PER_FS / w
        out = {}
        for name in ("r", "t"):
            phi = np.unwrap(np.angle(v[name]), axis=-1)
            gd = -np.gradient(phi, omega, axis=-1, edge_order=2)
            out[name] = (np.angle(v[name]), gd, np.gradient(gd, omega, axis=-1, edge_order=2))
        return Phase(w, v["r"], v["t"], out["r"][0], out["t"][0], out["r"][1], out["t"][1], out["r"][2], out["t"][2])

    def ellipsometry(self, wavelengths: ArrayLike, angle: Angle, engine: Optional[Engine] = None,
                     batch: Optional[int] = None, progress: Optional[Progress] = None) -> Ellipsometry:
        """psi and Delta (degrees) with rho = r_p / r_s = tan(psi) exp(i Delta),
        Delta in (-180, 180]. Sign convention: r_p is the ratio of the
        tangential reflected to incident fields, the same as r_s at normal
        incidence (r_p = (n0 cos t1 - n1 cos t0) / (n0 cos t1 + n1 cos t0)
        on a bare boundary), so Delta = 0 at normal incidence and for
        lossless media below the Brewster angle, 180 above it; with
        N = n - ik an absorbing substrate has 0 < Delta < 180."""
        self._not_thick("ellipsometry")
        e = engine or default_engine()
        def compute(o: _Optics) -> Dict[str, np.ndarray]:
            return {"r_" + o.pol: self._front(e, o, "auto")[2]}

        w, v = self._sweep(wavelengths, angle, "u", 16 * 4 * len(self) + 1024, batch, progress, compute, ("u",))
        rho = v["r_p"] / v["r_s"]
        return Ellipsometry(w, np.degrees(np.arctan(np.abs(rho))), np.degrees(np.angle(rho)), rho)


# ---------------------------------------------------------------- designs

def default_design() -> Design:
    """19-layer quarter-wave high reflector centred at 550 nm on glass, H on
    the substrate and at the top."""
    H, L = 2.35 - 0.0005j, 1.46 - 0.0001j
    return Design([Layer(m, 550 / (4 * m.real)) for m in (H if j % 2 == 0 else L for j in range(19))],
                  substrate=1.52, incident=1.0)


DEFAULT_RANGE = (400.0, 800.0, 1.0)


def wavelength_grid(start: float, stop: float, step: float) -> np.ndarray:
    """start, start + step, ... up to stop included (within rounding), nm."""
    if not (step > 0 and stop >= start):
        raise ValueError(f"range: expected stop >= start and step > 0, got {start}, {stop}, {step}")
    count = int(math.floor((stop - start) / step + 1e-9)) + 1
    return start + step * np.arange(count, dtype=np.float64)


def read_design(path: "PathLike", substrate: Index = 1.52, incident: Index = 1.0,
                materials: Optional["PathLike"] = None) -> Design:
    """A design file (the grammar of sardune-spectrum): layers from the
    substrate up, `N K THICKNESS` or `NAME THICKNESS` with materials defined
    in the file, in the materials file `materials`, or built in
    (fused_silica, N-BK7). Malformed files raise DesignFileError naming the
    file, line and field."""
    from .design_file import read_layers
    return Design([Layer(n, d) for n, d in read_layers(path, materials)], substrate, incident)
