"""Materials: a medium's complex index n - ik as a function of wavelength.

Wavelengths are in nm throughout. Dispersion formulas take their published
coefficients in micrometres (l = wavelength / 1000): Cauchy
n = A + B/l^2 + C/l^4, Sellmeier n^2 = 1 + sum B_i l^2 / (l^2 - C_i) with C_i
in um^2. Extinction k is a constant or, for Cauchy, an Urbach tail
k = K0 exp((E - E0)/EU) in the photon energy E = 1239.84... / lambda_nm (eV).
Tables hold (wavelength nm, n, k) rows, interpolated linearly.

The sign convention is N = n - ik with k >= 0: k > 0 absorbs, and a negative
k (a gain medium) is refused wherever it is given.

A Material is checked where it is evaluated: n and k must be finite with
0 < n <= 100 and 0 <= k <= 100 there, and the wavelength must lie in the
material's range (where it has one) unless the material was made to
extrapolate (Material.extrapolated()); otherwise MaterialError names the
material, where it comes from, and the wavelength or the range.
"""

import math
from typing import Callable, Dict, Optional, Sequence, Tuple, Union

import numpy as np

from .errors import MaterialError

N_MAX = 100.0
K_MAX = 100.0
HC_EV_NM = 1239.8419843320026  # photon energy (eV) times wavelength (nm)
CONVENTION = "indices are n - ik with extinction k >= 0 (k > 0 absorbs; a gain medium is not supported)"

ArrayLike = Union[float, Sequence[float], np.ndarray]
_NK = Tuple[np.ndarray, np.ndarray]
Range = Tuple[float, float]


class Material:
    """A named medium whose complex index n - ik (k >= 0 absorbs) is a
    function of the wavelength in nm. Calling it with wavelengths (any shape)
    returns complex128 values of that shape; `nk` returns n and k apart.

    wavelength_range: (lowest, highest) nm where the model's data hold, or
    None for no limit; source: the file it was read from (for messages);
    reference: where the data come from; definition: the words of its
    design-file `material` line after the name (model and parameters), or
    None where it has none (it can then not be written to a design file)."""

    def __init__(self, name: str, nk: Callable[[np.ndarray], _NK], description: str = "", *,
                 wavelength_range: Optional[Range] = None, source: Optional[str] = None,
                 reference: Optional[str] = None, definition: Optional[tuple] = None,
                 extrapolate: bool = False) -> None:
        self.name, self._nk, self.description = name, nk, description
        self.wavelength_range = None if wavelength_range is None else (float(wavelength_range[0]),
                                                                        float(wavelength_range[1]))
        self.source, self.reference, self.definition = source, reference, definition
        self.extrapolate = bool(extrapolate)

    def nk(self, wavelengths: ArrayLike) -> _NK:
        """(n, k) at the wavelengths (nm), float64 arrays of their shape."""
        w = np.asarray(wavelengths, np.float64)
        self._check_range(w)
        with np.errstate(all="ignore"):
            n, k = self._nk(w)
        n, k = np.broadcast_to(n, w.shape).astype(np.float64), np.broadcast_to(k, w.shape).astype(np.float64)
        self._check("n", n, w, np.isfinite(n) & (n > 0) & (n <= N_MAX), f"0 < n <= {N_MAX:g}")
        if np.any(k < 0):
            i = np.flatnonzero((k < 0).ravel())[0]
            raise MaterialError(f"{self._named()}: k = {k.ravel()[i]:g} at {w.ravel()[i]:g} nm is negative; "
                                + CONVENTION)
        self._check("k", k, w, np.isfinite(k) & (k <= K_MAX), f"0 <= k <= {K_MAX:g}")
        return n, k

    def __call__(self, wavelengths: ArrayLike) -> np.ndarray:
        n, k = self.nk(wavelengths)
        return n - 1j * k

    def extrapolated(self) -> "Material":
        """This material evaluated outside its wavelength range as well: a
        formula as it stands, a table held at its first and last rows."""
        return Material(self.name, self._nk, self.description, wavelength_range=self.wavelength_range,
                        source=self.source, reference=self.reference, definition=self.definition,
                        extrapolate=True)

    def _named(self) -> str:
        return self.name if self.source is None or self.source == self.name else f"{self.name} ({self.source})"

    def _check_range(self, w: np.ndarray) -> None:
        if self.wavelength_range is None or self.extrapolate or w.size == 0:
            return
        lo, hi = self.wavelength_range
        outside = ~((w >= lo) & (w <= hi))
        if np.any(outside):
            x = w.ravel()[np.flatnonzero(outside.ravel())[0]]
            raise MaterialError(f"{self._named()}: {x:g} nm is outside its data's range {lo:g} to {hi:g} nm "
                                "(use Material.extrapolated() to evaluate it there)")

    def _check(self, what: str, v: np.ndarray, w: np.ndarray, good: np.ndarray, bounds: str) -> None:
        if not np.all(good):
            i = np.flatnonzero(~good.ravel())[0]
            raise MaterialError(f"{self._named()}: {what} = {v.ravel()[i]:g} at {w.ravel()[i]:g} nm "
                                f"is outside {bounds}")

    def __repr__(self) -> str:
        return f"Material({self.name!r}{', ' + self.description if self.description else ''})"

    # --- models

    @classmethod
    def constant(cls, n: float, k: float = 0.0, name: str = "constant") -> "Material":
        """Fixed index n - ik at every wavelength (0 < n <= 100, 0 <= k <= 100)."""
        n, k = _finite("n", n), _extinction(name, _finite("k", k))
        if not 0 < n <= N_MAX:
            raise ValueError(f"n: expected 0 < n <= {N_MAX:g}, got {n:g}")
        return cls(name, lambda w: (np.full(w.shape, n), np.full(w.shape, k)), f"constant {n:g} {k:g}",
                   definition=("constant", n, k))

    @classmethod
    def cauchy(cls, A: float, B: float = 0.0, C: float = 0.0, k: float = 0.0,
               urbach: Optional[Tuple[float, float, float]] = None, name: str = "cauchy") -> "Material":
        """n = A + B/l^2 + C/l^4 (l in um, B in um^2, C in um^4); k a constant,
        or urbach = (K0, E0, EU): k = K0 exp((E - E0)/EU), E and E0 in eV,
        EU > 0 in eV."""
        A, B, C, k = (_finite(a, v) for a, v in (("A", A), ("B", B), ("C", C), ("k", k)))
        _extinction(name, k)
        if urbach is None:
            ext = lambda w: np.full(w.shape, k)
            definition = ("cauchy", A, B, C) + (("k", k) if k else ())
        else:
            if k:
                raise ValueError("k: give either a constant k or an Urbach tail, not both")
            K0, E0, EU = (_finite(a, v) for a, v in zip(("urbach K0", "urbach E0", "urbach EU"), urbach))
            _extinction(name, K0)
            if not EU > 0:
                raise ValueError(f"urbach EU: expected a value > 0 eV, got {EU:g}")
            ext = lambda w: K0 * np.exp((HC_EV_NM / w - E0) / EU)
            definition = ("cauchy", A, B, C, "urbach", K0, E0, EU)

        def nk(w: np.ndarray) -> _NK:
            l2 = (w / 1000.0) ** 2
            return A + B / l2 + C / (l2 * l2), ext(w)
        return cls(name, nk, "cauchy", definition=definition)

    @classmethod
    def sellmeier(cls, B: Sequence[float], C: Sequence[float], k: float = 0.0, name: str = "sellmeier", *,
                  wavelength_range: Optional[Range] = None, reference: Optional[str] = None) -> "Material":
        """n^2 = 1 + sum B_i l^2 / (l^2 - C_i), l in um, C_i in um^2, one to six
        terms; k a constant. n^2 <= 0 where evaluated is a MaterialError."""
        B = [_finite(f"B{i + 1}", b) for i, b in enumerate(B)]
        C = [_finite(f"C{i + 1}", c) for i, c in enumerate(C)]
        if len(B) != len(C) or not 1 <= len(B) <= 6:
            raise ValueError(f"B, C: expected one to six pairs, got {len(B)} B and {len(C)} C")
        k = _extinction(name, _finite("k", k))

        def nk(w: np.ndarray) -> _NK:
            l2 = (w / 1000.0) ** 2
            n2 = 1.0 + sum(b * l2 / (l2 - c) for b, c in zip(B, C))
            bad = ~(n2 > 0)
            if np.any(bad):
                i = np.flatnonzero(bad.ravel())[0]
                raise MaterialError(f"{name}: n^2 = {n2.ravel()[i]:g} at {w.ravel()[i]:g} nm is not positive")
            return np.sqrt(n2), np.full(w.shape, k)
        terms = tuple(v for pair in zip(B, C) for v in pair)
        return cls(name, nk, f"sellmeier, {len(B)} terms", wavelength_range=wavelength_range,
                   reference=reference, definition=("sellmeier",) + terms + (("k", k) if k else ()))

    @classmethod
    def table(cls, wavelengths: ArrayLike, n: ArrayLike, k: ArrayLike, name: str = "table",
              source: Optional[str] = None) -> "Material":
        """Rows (wavelength nm, n, k), wavelengths strictly increasing, at
        least two; n and k interpolated linearly, k >= 0. A wavelength outside
        the first to last row is a MaterialError naming `source` (the table
        file) or else `name`, and the range."""
        wt, nt, kt = (np.array(a, np.float64) for a in (wavelengths, n, k))
        if not (wt.ndim == 1 and wt.shape == nt.shape == kt.shape and wt.size >= 2):
            raise ValueError(f"wavelengths, n, k: expected three equal 1-dimensional sequences of at least two "
                             f"values, got shapes {wt.shape}, {nt.shape}, {kt.shape}")
        if not (np.all(np.isfinite(wt)) and np.all(np.diff(wt) > 0)):
            raise ValueError("wavelengths: expected finite values, strictly increasing")
        if np.any(kt < 0):
            raise ValueError(f"k: {name}: k = {kt[kt < 0][0]:g} is negative; {CONVENTION}")
        return cls(name, lambda w: (np.interp(w, wt, nt), np.interp(w, wt, kt)),
                   f"table of {wt.size} rows, {wt[0]:g} to {wt[-1]:g} nm", wavelength_range=(wt[0], wt[-1]),
                   source=source, definition=None if source is None else ("table", source))


def _finite(name: str, v: float) -> float:
    if isinstance(v, bool) or not isinstance(v, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a real number, got {type(v).__name__}")
    if not math.isfinite(v):
        raise ValueError(f"{name}: expected a finite value, got {v}")
    return float(v)


def _extinction(name: str, k: float) -> float:
    if k < 0:
        raise ValueError(f"k: {name}: k = {k:g} is negative; {CONVENTION}")
    if k > K_MAX:
        raise ValueError(f"k: {name}: expected 0 <= k <= {K_MAX:g}, got {k:g}")
    return k


# ---------------------------------------------------------------- built in

# Published Sellmeier coefficients (n at 587.6 nm: 1.4585 and 1.5168), with
# the ranges their data cover.
fused_silica = Material.sellmeier([0.6961663, 0.4079426, 0.8974794],
                                  [0.00467914826, 0.0135120631, 97.9340025], name="fused_silica",
                                  wavelength_range=(210.0, 6700.0),
                                  reference="I. H. Malitson, J. Opt. Soc. Am. 55, 1205 (1965)")
N_BK7 = Material.sellmeier([1.03961212, 0.231792344, 1.01046945],
                           [0.00600069867, 0.0200179144, 103.560653], name="N-BK7",
                           wavelength_range=(300.0, 2500.0), reference="manufacturer's data sheet")
BUILT_IN: Dict[str, Material] = {m.name: m for m in (fused_silica, N_BK7)}


def material(name: str) -> Material:
    """The built-in material of that name; ValueError lists the names."""
    m = BUILT_IN.get(name)
    if m is None:
        raise ValueError(f"unknown material {name!r}; built in: {', '.join(sorted(BUILT_IN))}")
    return m
