"""ctypes binding of the engine's C interface, with numpy arrays.

Shapes (N wavelengths, K layers):
  wavelengths (N,) float64, thicknesses (K,) float64,
  per-layer arrays (K, N) complex128 (turned into K row pointers where the
  engine takes pointer form), matrix stacks (2, 2, N) complex128,
  per-layer matrix stacks (K, 2, 2, N) complex128.
Inputs may be anything numpy turns into such an array without losing
information (lists, float32, real values for complex ones, other layouts):
they are converted once, and copied only when they are not already in the
engine's form. Outputs are allocated here unless the caller passes its own
arrays, which must already have the exact dtype and shape, be C-contiguous
and writable, and overlap no other argument. Mistakes raise TypeError or
ValueError naming the argument before the engine runs.
"""

import ctypes
import functools
import inspect
import numbers
import os
from collections import namedtuple
from typing import Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from .errors import LibraryNotFound, MissingEntryPoint, check_status

LIBRARY_NAME = "libSardune.so"
ENV_VARIABLE = "SARDUNE_LIBRARY"
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
BUILD_COPY = os.path.normpath(os.path.join(_PACKAGE_DIR, "..", "..", "build", "lib", LIBRARY_NAME))


def _installed_copy() -> Optional[str]:
    """The library that `cmake --install` put beside this package (its path
    relative to the package, written at install time), or None."""
    try:
        from ._installed import LIBRARY_FROM_PACKAGE
    except ImportError:
        return None
    return os.path.normpath(os.path.join(_PACKAGE_DIR, LIBRARY_FROM_PACKAGE))


INSTALLED_COPY = _installed_copy()

_C = np.dtype(np.complex128)
_F = np.dtype(np.float64)
_P = np.dtype(np.uintp)
_INT32_MAX = 2**31 - 1
_UINT32_MAX = 2**32 - 1

Coefficients = namedtuple("Coefficients", "t t_back r r_back dt dr dr_back")
Coefficients.__new__.__defaults__ = (None,) * 7
ForwardBackward = namedtuple("ForwardBackward", "stack_matrix layer_matrices derivatives")
SlabVariations = namedtuple("SlabVariations", "dt dr dr_back")

_vp, _int, _dbl, _u32 = ctypes.c_void_p, ctypes.c_int, ctypes.c_double, ctypes.c_uint32
_PROTOTYPES = {
    "init": [_int],
    "calc_M": [_int, _int, _vp, _vp, _vp, _vp, _dbl, _vp],
    "forward": [_int, _int, _vp, _vp, _vp, _vp, _dbl, _vp, _vp],
    "forward_backward": [_int, _int, _vp, _vp, _vp, _vp, _dbl, _vp, _vp, _vp],
    "update_top_props": [_int, _int, _vp, _vp, _vp, _vp, _vp, _vp, _dbl, _vp, _int, _vp, ctypes.c_bool],
    "update_optiprops_real_n": [_int, _int, _vp, _vp, _vp, _vp, _vp, _vp, _dbl, _vp, ctypes.c_bool],
    "update_optiprops_real_n_simd": [_int, _int, _vp, _vp, _vp, _vp, _vp, _vp, _dbl, _vp, ctypes.c_bool],
    "matmul_22X": [_int, _int, _vp, _vp],
}
for _name in ("calc_v_t_tau", "calc_v_t_tau_sse", "calc_v_t_tau_avx"):
    _PROTOTYPES[_name] = [_u32, _u32, _vp, _vp, _vp, _vp, _dbl] + [_vp] * 13
ENTRY_POINTS = tuple(_PROTOTYPES)
_RESULTS = {"sardune_implementation": ctypes.c_char_p}  # the others return a status


# ---------------------------------------------------------------- lookup

def find_library(path: Optional[str] = None) -> str:
    """Path of the engine library: `path`, else $SARDUNE_LIBRARY, else the
    copy installed with this package (cmake --install), else the project's
    build copy, else the dynamic loader's own search. A location given
    explicitly (argument or variable) must exist: falling back past it would
    load a library the caller did not ask for."""
    looked = []
    for origin, candidate in (("argument", path), (ENV_VARIABLE, os.environ.get(ENV_VARIABLE))):
        if candidate:
            if os.path.isfile(candidate):
                return os.path.abspath(candidate)
            raise LibraryNotFound(f"engine library not found: {origin} names {candidate!r}, which is not a file")
        looked.append(f"{origin} (not given)")
    for candidate in (INSTALLED_COPY, BUILD_COPY):
        if candidate:
            if os.path.isfile(candidate):
                return candidate
            looked.append(candidate)
    try:
        ctypes.CDLL(LIBRARY_NAME)
        return LIBRARY_NAME
    except OSError:
        looked.append(f"{LIBRARY_NAME} on the dynamic loader's search path")
    raise LibraryNotFound("engine library not found; looked at: " + "; ".join(looked)
                          + f". Build it (target Sardune) or set {ENV_VARIABLE}.")


# ---------------------------------------------------------------- layer rows

class LayerRows:
    """A per-layer array (K, N) kept as its distinct rows: `rows` (U, N) and
    `layer_rows` (K,), the row of each layer, so that layers of one material
    share a row. The pointer-form entry points (calc_M, update_top_props,
    update_optiprops_real_n and _simd) take it as it is, with no (K, N)
    array built; full() gives the (K, N) array the others need.

    Both arrays are read-only views fixed when it is built (row numbers are
    checked then, and again whenever the engine is handed the rows), so
    nothing done to it afterwards can send the engine outside `rows`."""

    __slots__ = ("_rows", "_layer_rows")

    def __init__(self, rows: np.ndarray, layer_rows: Sequence[int]) -> None:
        rows = _input("rows", rows, _C, ndim=2)
        layer_rows = np.array(layer_rows, np.intp)  # always a copy of its own
        if layer_rows.ndim != 1:
            raise ValueError(f"layer_rows: expected one row number per layer, got shape {layer_rows.shape}")
        _check_rows(layer_rows, rows.shape[0])
        self._rows, self._layer_rows = rows.view(), layer_rows
        self._rows.flags.writeable = False
        self._layer_rows.flags.writeable = False

    @property
    def rows(self) -> np.ndarray:
        return self._rows

    @property
    def layer_rows(self) -> np.ndarray:
        return self._layer_rows

    @property
    def shape(self) -> Tuple[int, int]:
        return (self._layer_rows.size, self._rows.shape[1])

    def full(self) -> np.ndarray:
        return np.ascontiguousarray(self._rows[self._layer_rows])

    def __repr__(self) -> str:
        return f"LayerRows({self._rows.shape[0]} rows of {self._rows.shape[1]}, {self._layer_rows.size} layers)"


def _check_rows(layer_rows: np.ndarray, U: int) -> None:
    if layer_rows.size and not (0 <= layer_rows.min() and layer_rows.max() < U):
        raise ValueError(f"layer_rows: row numbers must lie in [0, {U})")


# ---------------------------------------------------------------- argument checks

_KINDS = {_F: "biuf", _C: "biufc"}
_WHAT = {_F: "real numbers", _C: "numbers"}


def _input(name, a, dtype, shape=None, ndim=None):
    """An input array in the engine's form (dtype, C order, aligned), a copy
    only when `a` is not in that form already. shape: (text, tuple)."""
    if isinstance(a, LayerRows):
        if shape is not None and a.shape != shape[1]:
            raise ValueError(f"{name}: expected shape {shape[0]} = {shape[1]}, got {a.shape}")
        return a
    try:
        arr = np.asarray(a)
    except (TypeError, ValueError) as e:
        raise TypeError(f"{name}: expected an array of {_WHAT[dtype]}: {e}") from None
    if arr.dtype.kind not in _KINDS[dtype] or arr.dtype.kind == "b":
        raise TypeError(f"{name}: expected {_WHAT[dtype]} ({dtype}), got dtype {arr.dtype}")
    if ndim is not None and arr.ndim != ndim:
        raise ValueError(f"{name}: expected a {ndim}-dimensional array, got shape {arr.shape}")
    if shape is not None and arr.shape != shape[1]:
        raise ValueError(f"{name}: expected shape {shape[0]} = {shape[1]}, got {arr.shape}")
    return np.require(arr, dtype, ["C", "A"])


def _output(name, a, shape):
    """A caller's output array, checked, or a fresh one."""
    if a is None:
        return np.empty(shape[1], _C)
    if not isinstance(a, np.ndarray):
        raise TypeError(f"{name}: expected a numpy.ndarray of {_C} to write into, got {type(a).__name__}")
    if a.dtype != _C:
        raise TypeError(f"{name}: expected dtype {_C}, got {a.dtype}")
    if a.shape != shape[1]:
        raise ValueError(f"{name}: expected shape {shape[0]} = {shape[1]}, got {a.shape}")
    if not a.flags.c_contiguous:
        raise ValueError(f"{name}: expected a C-contiguous array (use numpy.ascontiguousarray)")
    if not a.flags.aligned:
        raise ValueError(f"{name}: expected an aligned array")
    if not a.flags.writeable:
        raise ValueError(f"{name}: output array is read-only")
    return a


def _count(name, n, limit=_INT32_MAX):
    if n > limit:
        raise ValueError(f"{name}: at most {limit} values, got {n}")
    return n


def _real(name, v):
    if isinstance(v, (bool, np.bool_)) or not isinstance(v, numbers.Real):
        raise TypeError(f"{name}: expected a real number, got {type(v).__name__}")
    return float(v)


def _complex_cell(name, v):
    """One complex value in engine layout, as a 1-element array to point at."""
    if isinstance(v, np.ndarray) and v.ndim == 0:
        v = v[()]
    if isinstance(v, (bool, np.bool_)) or not isinstance(v, numbers.Complex):
        raise TypeError(f"{name}: expected a complex number, got {type(v).__name__}")
    return np.array([complex(v)], _C)


def _separate(outputs, inputs):
    """Outputs may overlap nothing else: the engine reads inputs while writing
    outputs, and chunks of one request write concurrently."""
    for i, (name, a) in enumerate(outputs):
        for other, b in outputs[i + 1:] + inputs:
            b = b.rows if isinstance(b, LayerRows) else b
            if a.size and b is not None and b.size and np.may_share_memory(a, b):
                raise ValueError(f"{name}: output overlaps {other}")


def _rows(a):
    """Pointer form of a (K, N) array or LayerRows: K addresses of its rows
    (a ctypes array for few rows, where building it is cheaper than numpy's)."""
    if isinstance(a, LayerRows):
        _check_rows(a.layer_rows, a.rows.shape[0])
        step = a.rows.itemsize * a.rows.shape[1]
        return a.layer_rows.astype(_P) * _P.type(step) + _P.type(a.rows.ctypes.data)
    # the row stride from the shape: numpy may give a single row any stride
    K, base, step = a.shape[0], a.ctypes.data, a.itemsize * (a.size // a.shape[0] if a.shape[0] else 0)
    if K <= 16:
        return (ctypes.c_void_p * K)(*[base + j * step for j in range(K)])
    return np.arange(K, dtype=_P) * _P.type(step) + _P.type(base)


def _addr(a):
    """What a pointer parameter receives: null, a ctypes array, or an address."""
    return a.ctypes.data if isinstance(a, np.ndarray) else a


def _identity(N):
    e = np.zeros((2, 2, N), _C)
    e[0, 0] = e[1, 1] = 1
    return e


# ---------------------------------------------------------------- engine

class Engine:
    """One loaded engine library; each method wraps the entry point of its
    name. An Engine pickles as its library's path: unpickled in another
    process, it is that process's engine for the same library, loaded once."""

    def __init__(self, path: Optional[str] = None) -> None:
        self.path = find_library(path)
        try:
            self._dll = ctypes.CDLL(self.path)
        except OSError as e:
            raise LibraryNotFound(f"engine library {self.path!r} could not be loaded: {e}") from e
        self._functions = {}

    def __reduce__(self):
        return (_engine_at, (self.path,))

    def has(self, name: str) -> bool:
        """Whether the loaded library exports entry point `name`."""
        return hasattr(self._dll, name)

    def _fn(self, name):
        f = self._functions.get(name)
        if f is None:
            if not self.has(name):
                raise MissingEntryPoint(f"{name}: not exported by {self.path}")
            f = getattr(self._dll, name)
            f.argtypes, f.restype = _PROTOTYPES.get(name, []), _RESULTS.get(name, ctypes.c_int)
            self._functions[name] = f
        return f

    def _call(self, name, *args):
        check_status(name, self._fn(name)(*args))

    def init(self, threads: int = 0) -> int:
        """Sets the worker pool; returns the number of threads sharing a request.
        Safe while other threads are inside entry points: the engine lets
        running calls finish and holds new ones until the new pool is ready."""
        if isinstance(threads, (bool, np.bool_)) or not isinstance(threads, numbers.Integral):
            raise TypeError(f"threads: expected an integer, got {type(threads).__name__}")
        if not -2**31 <= threads <= _INT32_MAX:
            raise ValueError(f"threads: expected a 32-bit integer, got {threads}")
        return self._fn("init")(int(threads))

    def implementation(self) -> str:
        """The builds the engine chose for this processor when it was loaded,
        such as "avx2+fma" or "sse2"."""
        return self._fn("sardune_implementation")().decode("ascii")

    # --- transfer matrices

    def _layers(self, wavelengths, thicknesses, indices, admittances, flat=False):
        """(w, d, indices, admittances, N, K) in the engine's form."""
        w = _input("wavelengths", wavelengths, _F, ndim=1)
        d = _input("thicknesses", thicknesses, _F, ndim=1)
        N, K = _count("wavelengths", w.shape[0]), _count("thicknesses", d.shape[0])
        arrays = []
        for name, a in (("indices", indices), ("admittances", admittances)):
            if flat and isinstance(a, LayerRows):
                raise TypeError(f"{name}: this entry point reads the flat (K, N) form; pass {name}.full()")
            arrays.append(_input(name, a, _C, ("(K, N)", (K, N))))
        return w, d, arrays[0], arrays[1], N, K

    def calc_M(self, wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray,
               admittances: np.ndarray, *, x: float = 0.0, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Stack matrix M = L_{K-1} ... L_0, shape (2, 2, N)."""
        w, d, n, eta, N, K = self._layers(wavelengths, thicknesses, indices, admittances)
        x = _real("x", x)
        out = _output("out", out, ("(2, 2, N)", (2, 2, N)))
        _separate([("out", out)], [("wavelengths", w), ("thicknesses", d), ("indices", n), ("admittances", eta)])
        ni, na = _rows(n), _rows(eta)  # the pointer tables live until the call returns
        self._call("calc_M", N, K, _addr(w), _addr(d), _addr(ni), _addr(na), x, _addr(out))
        return out

    def forward(self, wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray,
                admittances: np.ndarray, *, x: float = 0.0, out: Optional[np.ndarray] = None,
                partial_out: Optional[np.ndarray] = None) -> Tuple[np.ndarray, np.ndarray]:
        """(M, P) with P = L_{K-2} ... L_0. With K = 0 the engine leaves P alone:
        a wrapper-allocated P is then the identity."""
        w, d, n, eta, N, K = self._layers(wavelengths, thicknesses, indices, admittances, flat=True)
        x = _real("x", x)
        fresh_partial = partial_out is None
        out = _output("out", out, ("(2, 2, N)", (2, 2, N)))
        partial_out = _output("partial_out", partial_out, ("(2, 2, N)", (2, 2, N)))
        _separate([("out", out), ("partial_out", partial_out)],
                  [("wavelengths", w), ("thicknesses", d), ("indices", n), ("admittances", eta)])
        if K == 0 and fresh_partial:
            partial_out[...] = _identity(N)
        self._call("forward", N, K, _addr(w), _addr(d), _addr(n), _addr(eta), x, _addr(out), _addr(partial_out))
        return out, partial_out

    def forward_backward(self, wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray,
                         admittances: np.ndarray, *, x: float = 0.0, out: Optional[np.ndarray] = None,
                         layer_matrices: Optional[np.ndarray] = None,
                         derivatives: Optional[np.ndarray] = None) -> "ForwardBackward":
        """M (2, 2, N), every L_j and every dM/dd_j (K, 2, 2, N)."""
        w, d, n, eta, N, K = self._layers(wavelengths, thicknesses, indices, admittances, flat=True)
        x = _real("x", x)
        out = _output("out", out, ("(2, 2, N)", (2, 2, N)))
        layer_matrices = _output("layer_matrices", layer_matrices, ("(K, 2, 2, N)", (K, 2, 2, N)))
        derivatives = _output("derivatives", derivatives, ("(K, 2, 2, N)", (K, 2, 2, N)))
        _separate([("out", out), ("layer_matrices", layer_matrices), ("derivatives", derivatives)],
                  [("wavelengths", w), ("thicknesses", d), ("indices", n), ("admittances", eta)])
        self._call("forward_backward", N, K, _addr(w), _addr(d), _addr(n), _addr(eta), x, _addr(out),
                   _addr(layer_matrices), _addr(derivatives))
        return ForwardBackward(out, layer_matrices, derivatives)

    def matmul_22X(self, stacks: Union[np.ndarray, Sequence[np.ndarray]], *,
                   out: Optional[np.ndarray] = None) -> np.ndarray:
        """stacks[count-1] ... stacks[0] per wavelength, shape (2, 2, N).
        stacks: a (count, 2, 2, N) array or a sequence of (2, 2, N) arrays.
        out may be stacks[0] itself; it may overlap no other stack."""
        if isinstance(stacks, np.ndarray):
            stacks = _input("stacks", stacks, _C, ndim=4)
            if stacks.shape[1:3] != (2, 2):
                raise ValueError(f"stacks: expected shape (count, 2, 2, N), got {stacks.shape}")
            items, N = list(stacks), stacks.shape[3]
        else:
            try:
                items = list(stacks)
            except TypeError:
                raise TypeError(f"stacks: expected a (count, 2, 2, N) array or a sequence of (2, 2, N) "
                                f"arrays, got {type(stacks).__name__}") from None
            if not items:
                raise ValueError("stacks: an empty sequence leaves N unknown; pass a (0, 2, 2, N) array")
            N = _input("stacks[0]", items[0], _C, ndim=3).shape[2]
        count = _count("stacks", len(items))
        _count("stacks", N)
        items = [_input(f"stacks[{m}]", s, _C, ("(2, 2, N)", (2, 2, N))) for m, s in enumerate(items)]
        out = _output("out", out, ("(2, 2, N)", (2, 2, N)))
        in_place = count > 0 and out.ctypes.data == items[0].ctypes.data
        _separate([("out", out)], [(f"stacks[{m}]", s) for m, s in enumerate(items) if m or not in_place])
        if count == 0:
            out[...] = _identity(N)
            return out
        pointers = np.array([s.ctypes.data for s in items], _P)
        self._call("matmul_22X", count, N, _addr(pointers), _addr(out))
        return out

    # --- coefficients

    def _coefficient_inputs(self, wavelengths, thicknesses, indices, admittances, incident_admittance,
                            substrate_admittances, x):
        w, d, n, eta, N, K = self._layers(wavelengths, thicknesses, indices, admittances)
        eta_s = _input("substrate_admittances", substrate_admittances, _C, ("(N,)", (N,)))
        return w, d, n, eta, eta_s, N, K, _complex_cell("incident_admittance", incident_admittance), _real("x", x)

    @staticmethod
    def _record(name, rec, N, blocks, derivatives):
        """A coefficient record's arrays (caller's where given)."""
        rec = Coefficients() if rec is None else Coefficients(*rec)
        f = [_output(f"{name}.{k}", getattr(rec, k), ("(N,)", (N,))) for k in Coefficients._fields[:4]]
        if derivatives:
            f += [_output(f"{name}.{k}", getattr(rec, k), (f"({blocks}, N)", (blocks, N)))
                  for k in Coefficients._fields[4:]]
        else:
            f += [None] * 3
        return Coefficients(*f)

    @staticmethod
    def _slots(rec):
        return [0 if a is None else a.ctypes.data for a in rec]

    @staticmethod
    def _named(name, rec):
        return [(f"{name}.{k}", a) for k, a in zip(Coefficients._fields, rec) if a is not None]

    def update_top_props(self, wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray,
                         admittances: np.ndarray, incident_admittance: complex,
                         substrate_admittances: np.ndarray, *, x: float = 0.0,
                         base_matrix: Optional[np.ndarray] = None, d0: int = 0, derivatives: bool = False,
                         out: Optional[Sequence["Coefficients"]] = None) -> List["Coefficients"]:
        """Adds layers d0 .. K-1 on top of base_matrix (stack matrix of layers
        0 .. d0-1, needed when d0 > 0); returns one Coefficients per added
        layer j, whose dt, dr, dr_back hold (j - d0 + 1, N) values."""
        w, d, n, eta, eta_s, N, K, eta0, x = self._coefficient_inputs(
            wavelengths, thicknesses, indices, admittances, incident_admittance, substrate_admittances, x)
        if isinstance(d0, (bool, np.bool_)) or not isinstance(d0, numbers.Integral):
            raise TypeError(f"d0: expected an integer, got {type(d0).__name__}")
        if not 0 <= d0 <= K:
            raise ValueError(f"d0: expected 0 <= d0 <= K = {K}, got {d0}")
        if d0 > 0:
            if base_matrix is None:
                raise ValueError(f"base_matrix: needed when d0 = {d0} > 0")
            base_matrix = _input("base_matrix", base_matrix, _C, ("(2, 2, N)", (2, 2, N)))
        else:
            base_matrix = None  # never read by the engine
        m = K - d0
        if out is not None and len(out) != m:
            raise ValueError(f"out: expected K - d0 = {m} records, got {len(out)}")
        derivatives = bool(derivatives)
        records = [self._record(f"out[{j}]", None if out is None else out[j], N, j + 1, derivatives)
                   for j in range(m)]
        _separate([p for j, r in enumerate(records) for p in self._named(f"out[{j}]", r)],
                  [("wavelengths", w), ("thicknesses", d), ("indices", n), ("admittances", eta),
                   ("substrate_admittances", eta_s), ("base_matrix", base_matrix)])
        if m == 0:
            return []
        table = _rows(np.array([self._slots(r) for r in records], _P).reshape(m, 7))
        ni, na = _rows(n), _rows(eta)
        self._call("update_top_props", N, K, _addr(w), _addr(d), _addr(ni), _addr(na), _addr(eta0),
                   _addr(eta_s), x, _addr(base_matrix), int(d0), _addr(table), derivatives)
        return records

    def _real_n(self, name, wavelengths, thicknesses, indices, admittances, incident_admittance,
                substrate_admittances, x, derivatives, out):
        w, d, n, eta, eta_s, N, K, eta0, x = self._coefficient_inputs(
            wavelengths, thicknesses, indices, admittances, incident_admittance, substrate_admittances, x)
        derivatives = bool(derivatives)
        rec = self._record("out", out, N, K, derivatives)
        _separate(self._named("out", rec), [("wavelengths", w), ("thicknesses", d), ("indices", n),
                                            ("admittances", eta), ("substrate_admittances", eta_s)])
        slots = np.array(self._slots(rec), _P)
        ni, na = _rows(n), _rows(eta)
        self._call(name, N, K, _addr(w), _addr(d), _addr(ni), _addr(na), _addr(eta0), _addr(eta_s),
                   x, _addr(slots), derivatives)
        return rec

    def update_optiprops_real_n(self, wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray,
                                admittances: np.ndarray, incident_admittance: complex,
                                substrate_admittances: np.ndarray, *, x: float = 0.0, derivatives: bool = False,
                                out: Optional["Coefficients"] = None) -> "Coefficients":
        """Coefficients of a coating of non-absorbing layers (real parts of the
        layer indices and admittances are used); dt, dr, dr_back are (K, N)."""
        return self._real_n("update_optiprops_real_n", wavelengths, thicknesses, indices, admittances,
                            incident_admittance, substrate_admittances, x, derivatives, out)

    def update_optiprops_real_n_simd(self, wavelengths: np.ndarray, thicknesses: np.ndarray,
                                     indices: np.ndarray, admittances: np.ndarray,
                                     incident_admittance: complex, substrate_admittances: np.ndarray, *,
                                     x: float = 0.0, derivatives: bool = False,
                                     out: Optional["Coefficients"] = None) -> "Coefficients":
        """As update_optiprops_real_n, four wavelengths at a time and over the pool."""
        return self._real_n("update_optiprops_real_n_simd", wavelengths, thicknesses, indices, admittances,
                            incident_admittance, substrate_admittances, x, derivatives, out)

    # --- thin-slab variations

    def calc_v_t_tau(self, wavelengths: np.ndarray, positions: np.ndarray, host_indices: np.ndarray,
                     host_admittances: np.ndarray, slab_indices: np.ndarray, slab_admittances: np.ndarray,
                     incident_admittance: complex, substrate_admittances: np.ndarray, t: np.ndarray, *,
                     t_back: Optional[np.ndarray] = None, r: Optional[np.ndarray] = None,
                     r_back: Optional[np.ndarray] = None, x: float = 0.0,
                     front_matrix: Optional[np.ndarray] = None, back_matrix: Optional[np.ndarray] = None,
                     outputs: Optional[Union[str, Sequence[str]]] = None, dt: Optional[np.ndarray] = None,
                     dr: Optional[np.ndarray] = None, dr_back: Optional[np.ndarray] = None,
                     build: str = "auto") -> "SlabVariations":
        """First-order change of t, r, r' per unit slab thickness at each
        position, (n_z, N) each, in single precision. `outputs` picks among
        "dt", "dr", "dr_back" (default: every one whose inputs are given, plus
        any whose array is passed); absent ones are None. build: "auto",
        "sse" or "avx" (the latter needs AVX2 with FMA)."""
        builds = {"auto": "calc_v_t_tau", "sse": "calc_v_t_tau_sse", "avx": "calc_v_t_tau_avx"}
        if build not in builds:
            raise ValueError(f"build: expected one of {sorted(builds)}, got {build!r}")
        if build == "avx" and not self.implementation().startswith("avx2"):
            raise ValueError("build: 'avx' needs a processor with AVX2 and FMA, which this one lacks")
        w = _input("wavelengths", wavelengths, _F, ndim=1)
        N = _count("wavelengths", w.shape[0], _UINT32_MAX)
        z = _input("positions", positions, _F, ndim=1)
        nz = _count("positions", z.shape[0], _UINT32_MAX)
        x = _real("x", x)
        eta0 = _complex_cell("incident_admittance", incident_admittance)
        given = {"dt": dt, "dr": dr, "dr_back": dr_back}
        if outputs is None:
            wanted = {"dt"} | ({"dr"} if r is not None else set()) | (
                {"dr_back"} if t_back is not None and r_back is not None else set())
            wanted |= {k for k, v in given.items() if v is not None}
        else:
            wanted = set([outputs] if isinstance(outputs, str) else outputs)
            unknown = wanted - set(given)
            if unknown:
                raise ValueError(f"outputs: unknown names {sorted(unknown)}; expected dt, dr, dr_back")
        needs = {"dr": ("r",), "dr_back": ("t_back", "r_back")}
        optional = {"r": r, "t_back": t_back, "r_back": r_back}
        for k in ("dr", "dr_back"):
            for need in needs[k]:
                if k in wanted and optional[need] is None:
                    raise ValueError(f"{need}: needed for the {k} output")
        vec = ("(N,)", (N,))
        inputs = {"host_indices": host_indices, "host_admittances": host_admittances,
                  "slab_indices": slab_indices, "slab_admittances": slab_admittances,
                  "substrate_admittances": substrate_admittances, "t": t}
        inputs.update({k: v for k, v in optional.items() if v is not None})
        inputs = {k: _input(k, v, _C, vec) for k, v in inputs.items()}
        for k, v in (("front_matrix", front_matrix), ("back_matrix", back_matrix)):
            if v is not None:
                inputs[k] = _input(k, v, _C, ("(2, 2, N)", (2, 2, N)))
        res = {k: (_output(k, given[k], ("(n_z, N)", (nz, N))) if k in wanted else None) for k in given}
        _separate([(k, v) for k, v in res.items() if v is not None],
                  [("wavelengths", w), ("positions", z)] + list(inputs.items()))
        g = lambda k: _addr(inputs.get(k, res.get(k)))
        self._call(builds[build], N, nz, g("front_matrix"), g("back_matrix"), g("host_indices"),
                   g("host_admittances"), x, g("slab_indices"), _addr(z), g("slab_admittances"), _addr(w),
                   _addr(eta0), g("substrate_admittances"), g("t"), g("t_back"), g("r"), g("r_back"),
                   g("dt"), g("dr"), g("dr_back"))
        return SlabVariations(res["dt"], res["dr"], res["dr_back"])


# ---------------------------------------------------------------- the default engine

_default: Optional[Engine] = None
_by_path: Dict[str, Engine] = {}


def load(path: Optional[str] = None) -> Engine:
    """Loads the engine library (see find_library) and makes it the default
    for the module-level functions."""
    global _default
    _default = Engine(path)
    _by_path.setdefault(_default.path, _default)
    return _default


def default_engine() -> Engine:
    """The engine the module-level functions use, loaded on first use."""
    return _default if _default is not None else load()


def _engine_at(path: str) -> Engine:
    """The engine for the library at `path` in this process, loaded once (the
    default engine where `path` is no file but a name for the dynamic loader)."""
    e = _by_path.get(path)
    if e is None:
        if _default is not None and _default.path == path:
            e = _default
        else:
            e = Engine(path) if os.path.isfile(path) else default_engine()
        _by_path[path] = e
    return e


# ---------------------------------------------------------------- entry points on the default engine

def _on_default_engine(method):
    """The method as a module-level function of the default engine, with the
    method's own signature (without self) and documentation."""
    @functools.wraps(method)
    def call(*args, **kwargs):
        return method(default_engine(), *args, **kwargs)
    signature = inspect.signature(method)
    call.__signature__ = signature.replace(parameters=list(signature.parameters.values())[1:])
    del call.__wrapped__
    return call


init = _on_default_engine(Engine.init)
calc_M = _on_default_engine(Engine.calc_M)
forward = _on_default_engine(Engine.forward)
forward_backward = _on_default_engine(Engine.forward_backward)
update_top_props = _on_default_engine(Engine.update_top_props)
update_optiprops_real_n = _on_default_engine(Engine.update_optiprops_real_n)
update_optiprops_real_n_simd = _on_default_engine(Engine.update_optiprops_real_n_simd)
matmul_22X = _on_default_engine(Engine.matmul_22X)
calc_v_t_tau = _on_default_engine(Engine.calc_v_t_tau)
