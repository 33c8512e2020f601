"""Materials: a medium's complex index n - ik as a function of wavelength.

Wavelengths are in nm throughout. Dispersion formulas take their published
coefficients in micrometres (l = wavelength / 1000): Cauchy
n = A + B/l^2 + C/l^4, Sellmeier n^2 = 1 + sum B_i l^2 / (l^2 - C_i) with C_i
in um^2. Extinction k is a constant or, for Cauchy, an Urbach tail
k = K0 exp((E - E0)/EU) in the photon energy E = 1239.84... / lambda_nm (eV).
Tables hold (wavelength nm, n, k) rows, interpolated linearly.

A Material is checked where it is evaluated: n and k must be finite with
0 < n <= 100 and 0 <= k <= 100 there, otherwise MaterialError names the
material and the wavelength.
"""

import math
from typing import Callable, Optional, Sequence, Tuple, Union

import numpy as np

from .errors import MaterialError

N_MAX = 100.0
K_MAX = 100.0
HC_EV_NM = 1239.8419843320026  # photon energy (eV) times wavelength (nm)

ArrayLike = Union[float, Sequence[float], np.ndarray]
_NK = Tuple[np.ndarray, np.ndarray]


class Material:
    """A named medium whose complex index n - ik (k >= 0 absorbs) is a
    function of the wavelength in nm. Calling it with wavelengths (any shape)
    returns complex128 values of that shape; `nk` returns n and k apart."""

    def __init__(self, name: str, nk: Callable[[np.ndarray], _NK], description: str = "") -> None:
        self.name, self._nk, self.description = name, nk, description

    def nk(self, wavelengths: ArrayLike) -> _NK:
        """(n, k) at the wavelengths (nm), float64 arrays of their shape."""
        w = np.asarray(wavelengths, np.float64)
        n, k = self._nk(w)
        n, k = np.broadcast_to(n, w.shape).astype(np.float64), np.broadcast_to(k, w.shape).astype(np.float64)
        self._check("n", n, w, np.isfinite(n) & (n > 0) & (n <= N_MAX), f"0 < n <= {N_MAX:g}")
        self._check("k", k, w, np.isfinite(k) & (k >= 0) & (k <= K_MAX), f"0 <= k <= {K_MAX:g}")
        return n, k

    def __call__(self, wavelengths: ArrayLike) -> np.ndarray:
        n, k = self.nk(wavelengths)
        return n - 1j * k

    def _check(self, what: str, v: np.ndarray, w: np.ndarray, good: np.ndarray, bounds: str) -> None:
        if not np.all(good):
            i = np.flatnonzero(~good.ravel())[0]
            raise MaterialError(f"{self.name}: {what} = {v.ravel()[i]:g} at {w.ravel()[i]:g} nm "
                                f"is outside {bounds}")

    def __repr__(self) -> str:
        return f"Material({self.name!r}{', ' + self.description if self.description else ''})"

    # --- models

    @classmethod
    def constant(cls, n: float, k: float = 0.0, name: str = "constant") -> "Material":
        """Fixed index n - ik at every wavelength."""
        n, k = _finite("n", n), _finite("k", k)
        return cls(name, lambda w: (np.full(w.shape, n), np.full(w.shape, k)), f"constant {n:g} {k:g}")

    @classmethod
    def cauchy(cls, A: float, B: float = 0.0, C: float = 0.0, k: float = 0.0,
               urbach: Optional[Tuple[float, float, float]] = None, name: str = "cauchy") -> "Material":
        """n = A + B/l^2 + C/l^4 (l in um, B in um^2, C in um^4); k a constant,
        or urbach = (K0, E0, EU): k = K0 exp((E - E0)/EU), E and E0 in eV,
        EU > 0 in eV."""
        A, B, C, k = (_finite(a, v) for a, v in (("A", A), ("B", B), ("C", C), ("k", k)))
        if urbach is None:
            ext = lambda w: np.full(w.shape, k)
        else:
            if k:
                raise ValueError("k: give either a constant k or an Urbach tail, not both")
            K0, E0, EU = (_finite(a, v) for a, v in zip(("urbach K0", "urbach E0", "urbach EU"), urbach))
            if not EU > 0:
                raise ValueError(f"urbach EU: expected a value > 0 eV, got {EU:g}")
            ext = lambda w: K0 * np.exp((HC_EV_NM / w - E0) / EU)

        def nk(w: np.ndarray) -> _NK:
            l2 = (w / 1000.0) ** 2
            return A + B / l2 + C / (l2 * l2), ext(w)
        return cls(name, nk, "cauchy")

    @classmethod
    def sellmeier(cls, B: Sequence[float], C: Sequence[float], k: float = 0.0,
                  name: str = "sellmeier") -> "Material":
        """n^2 = 1 + sum B_i l^2 / (l^2 - C_i), l in um, C_i in um^2, one to six
        terms; k a constant. n^2 <= 0 where evaluated is a MaterialError."""
        B = [_finite(f"B{i + 1}", b) for i, b in enumerate(B)]
        C = [_finite(f"C{i + 1}", c) for i, c in enumerate(C)]
        if len(B) != len(C) or not 1 <= len(B) <= 6:
            raise ValueError(f"B, C: expected one to six pairs, got {len(B)} B and {len(C)} C")
        k = _finite("k", k)

        def nk(w: np.ndarray) -> _NK:
            l2 = (w / 1000.0) ** 2
            n2 = 1.0 + sum(b * l2 / (l2 - c) for b, c in zip(B, C))
            bad = ~(n2 > 0)
            if np.any(bad):
                i = np.flatnonzero(bad.ravel())[0]
                raise MaterialError(f"{name}: n^2 = {n2.ravel()[i]:g} at {w.ravel()[i]:g} nm is not positive")
            return np.sqrt(n2), np.full(w.shape, k)
        return cls(name, nk, f"sellmeier, {len(B)} terms")

    @classmethod
    def table(cls, wavelengths: ArrayLike, n: ArrayLike, k: ArrayLike, name: str = "table",
              source: Optional[str] = None) -> "Material":
        """Rows (wavelength nm, n, k), wavelengths strictly increasing, at
        least two; n and k interpolated linearly. A wavelength outside the
        first to last row is a MaterialError naming `source` (the table file)
        or else `name`, and the range."""
        wt, nt, kt = (np.array(a, np.float64) for a in (wavelengths, n, k))
        if not (wt.ndim == 1 and wt.shape == nt.shape == kt.shape and wt.size >= 2):
            raise ValueError(f"wavelengths, n, k: expected three equal 1-dimensional sequences of at least two "
                             f"values, got shapes {wt.shape}, {nt.shape}, {kt.shape}")
        if not (np.all(np.isfinite(wt)) and np.all(np.diff(wt) > 0)):
            raise ValueError("wavelengths: expected finite values, strictly increasing")
        lo, hi = wt[0], wt[-1]

        def nk(w: np.ndarray) -> _NK:
            outside = ~((w >= lo) & (w <= hi))
            if np.any(outside):
                x = w.ravel()[np.flatnonzero(outside.ravel())[0]]
                raise MaterialError(f"{source or name}: {x:g} nm is outside the table's range {lo:g} to {hi:g} nm")
            return np.interp(w, wt, nt), np.interp(w, wt, kt)
        return cls(name, nk, f"table of {wt.size} rows, {lo:g} to {hi:g} nm")

    @classmethod
    def from_file(cls, path: str, name: Optional[str] = None) -> "Material":
        """A table file (rows "WAVELENGTH_NM N K", the design-file grammar's
        lexical rules); malformed files raise DesignFileError."""
        from .design_file import read_table
        return read_table(path, name)


def _finite(name: str, v: float) -> float:
    if isinstance(v, bool) or not isinstance(v, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a real number, got {type(v).__name__}")
    if not math.isfinite(v):
        raise ValueError(f"{name}: expected a finite value, got {v}")
    return float(v)


# Published Sellmeier coefficients (n at 587.6 nm: 1.4585 and 1.5168).
fused_silica = Material.sellmeier([0.6961663, 0.4079426, 0.8974794],
                                  [0.00467914826, 0.0135120631, 97.9340025], name="fused_silica")
N_BK7 = Material.sellmeier([1.03961212, 0.231792344, 1.01046945],
                           [0.00600069867, 0.0200179144, 103.560653], name="N-BK7")
BUILT_IN = {m.name: m for m in (fused_silica, N_BK7)}
