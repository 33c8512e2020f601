"""The colour of the light a coating reflects or transmits: CIE tristimulus
values XYZ, chromaticity xy, CIELAB L*a*b* with chroma C*ab and hue angle
h_ab, the colour differences dE*ab and CIEDE2000, and colour targets that
refinement steers like spectral ones.

Tables (data/cie, as the CIE publishes them): the colour-matching functions
x, y, z of the 2 degree (1931) and 10 degree (1964) standard observers,
360-830 nm by 1 nm, and the relative spectral power S of the illuminants A,
C, D50, D65, E (to 780 or 830 nm by 5 nm) and FL2, FL11 (380-780 nm by 5 nm),
interpolated linearly onto the integration grid (by default 380-780 nm by
5 nm, where the tables need no interpolation at all). A caller's own
illuminant is a spectrum on that grid, or (wavelengths, power) to
interpolate.

Sums, for a spectrum rho (R or T as a fraction) on the grid, with
dlambda the width of each wavelength's share of the grid (the step, on a
uniform grid):

    X = k sum S rho x dlambda,  Y, Z likewise,   k = 100 / sum S y dlambda,

so that a perfect reflector has Y = 100; it is the white of CIELAB
(L* = 100, a* = b* = 0).
"""

import functools
import numbers
import os
from typing import Any, Callable, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from ._binding import Engine
from ._sweep import Angle, Progress, grid
from .targets import KINDS, check_view

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "cie")
ILLUMINANTS = ("A", "C", "D50", "D65", "E", "FL2", "FL11")
OBSERVERS = (2, 10)
OBSERVER_FILES = {2: "cie1931_2deg_xyz.csv", 10: "cie1964_10deg_xyz.csv"}
GRID = 380.0 + 5.0 * np.arange(81)  # 380-780 nm by 5 nm
EPSILON = (6 / 29) ** 3  # CIELAB's switch from the cube root to its linear part
CIEDE_25_7 = 25.0 ** 7

Illuminant = Union[str, np.ndarray, Tuple[Any, Any], Callable[[np.ndarray], np.ndarray]]


# ---------------------------------------------------------------- the tables

@functools.lru_cache(maxsize=None)
def table(file: str) -> Tuple[np.ndarray, np.ndarray]:
    """(wavelengths (n,) nm, values (n,) or (n, 3)) of one CSV table in data/cie."""
    data = np.loadtxt(os.path.join(DATA, file), delimiter=",", skiprows=1)
    data.setflags(write=False)
    return data[:, 0], data[:, 1] if data.shape[1] == 2 else data[:, 1:]


def _observer(observer: Any) -> int:
    if isinstance(observer, (bool, np.bool_)) or observer not in OBSERVERS:
        raise ValueError(f"observer: expected 2 or 10 (degrees), got {observer!r}")
    return int(observer)


def colour_grid(wavelengths: Any) -> np.ndarray:
    """The integration grid (nm): increasing, at least 2 wavelengths, inside
    the observers' 360-830 nm; None gives 380-780 nm by 5 nm."""
    if wavelengths is None:
        return GRID.copy()
    w = grid(wavelengths)
    if w.size < 2 or np.any(np.diff(w) <= 0):
        raise ValueError("wavelengths: a colour needs an increasing grid of at least 2 wavelengths (nm)")
    if w[0] < 360 or w[-1] > 830:
        raise ValueError(f"wavelengths: the colour-matching functions cover 360-830 nm, got {w[0]:g}-{w[-1]:g} nm")
    return w


def colour_matching(wavelengths: Any = None, *, observer: int = 2) -> np.ndarray:
    """x, y, z of the standard observer (2 or 10 degrees) on the grid, (3, N)."""
    w = colour_grid(wavelengths)
    at, v = table(OBSERVER_FILES[_observer(observer)])
    return np.array([np.interp(w, at, v[:, i]) for i in range(3)])


def illuminant_power(illuminant: Illuminant, wavelengths: Any = None) -> np.ndarray:
    """Relative spectral power (N,) of `illuminant` on the grid: a CIE name
    (A, C, D50, D65, E, FL2, FL11), one value per grid wavelength, a pair
    (wavelengths nm, power) interpolated linearly, or a callable of the
    wavelengths (nm)."""
    w = colour_grid(wavelengths)
    if isinstance(illuminant, str):
        if illuminant not in ILLUMINANTS:
            raise ValueError(f"illuminant: expected one of {', '.join(ILLUMINANTS)} or a spectrum, got {illuminant!r}")
        at, power = table(f"illuminant_{illuminant}.csv")
        return _on_grid(f"illuminant: {illuminant}", at, power, w)
    if callable(illuminant):
        power = np.asarray(illuminant(w), np.float64)
    elif isinstance(illuminant, tuple) and len(illuminant) == 2:
        try:
            at, power = (np.asarray(v, np.float64) for v in illuminant)
        except (TypeError, ValueError):
            raise TypeError("illuminant: expected (wavelengths, power) as numbers") from None
        if at.ndim != 1 or at.shape != power.shape or at.size < 2 or np.any(np.diff(at) <= 0):
            raise ValueError("illuminant: expected (wavelengths, power) of one increasing length-n grid each")
        power = _on_grid("illuminant: the spectrum given", at, power, w)
    else:
        try:
            power = np.asarray(illuminant, np.float64)
        except (TypeError, ValueError):
            raise TypeError(f"illuminant: expected a name, a spectrum or (wavelengths, power), got "
                            f"{type(illuminant).__name__}") from None
    if power.shape != w.shape:
        raise ValueError(f"illuminant: expected {w.size} values (one per grid wavelength), got shape {power.shape}")
    if not np.all(np.isfinite(power) & (power >= 0)) or not np.any(power > 0):
        raise ValueError("illuminant: expected finite powers >= 0, not all 0")
    return power


def _on_grid(what: str, at: np.ndarray, values: np.ndarray, w: np.ndarray) -> np.ndarray:
    if w[0] < at[0] or w[-1] > at[-1]:
        raise ValueError(f"{what} covers {at[0]:g}-{at[-1]:g} nm, the grid {w[0]:g}-{w[-1]:g} nm")
    return np.interp(w, at, values)


def widths(w: np.ndarray) -> np.ndarray:
    """Each wavelength's share of the grid (N,) nm: half the distance to
    each neighbour, the ends a whole step (the step itself on a uniform grid)."""
    d = np.diff(w)
    return np.concatenate([[d[0]], (d[:-1] + d[1:]) / 2, [d[-1]]])


class Observation(NamedTuple):
    """A grid (N,) nm with an illuminant and an observer: weights (3, N)
    turn a spectrum into X, Y, Z (k S x dlambda, ...), and white (3,) is the
    perfect reflector's XYZ (Y = 100)."""
    wavelengths: np.ndarray
    illuminant: str
    observer: int
    weights: np.ndarray
    white: np.ndarray


def observation(wavelengths: Any = None, *, illuminant: Illuminant = "D65", observer: int = 2) -> Observation:
    """The weights of `illuminant` seen by `observer` on the grid (None:
    380-780 nm by 5 nm)."""
    w = colour_grid(wavelengths)
    S = illuminant_power(illuminant, w) * widths(w)
    cmf = colour_matching(w, observer=observer)
    weights = (100 / (S @ cmf[1])) * S * cmf
    name = illuminant if isinstance(illuminant, str) else "given"
    return Observation(w, name, int(observer), weights, weights.sum(axis=1))


# ---------------------------------------------------------------- colour of a spectrum

def tristimulus(spectrum: Any, seen: Observation) -> np.ndarray:
    """X, Y, Z (..., 3) of spectra (..., N) (fractions) on seen's grid."""
    rho = np.asarray(spectrum, np.float64)
    if rho.shape[-1:] != seen.wavelengths.shape:
        raise ValueError(f"spectrum: expected {seen.wavelengths.size} values per spectrum (the grid), "
                         f"got shape {rho.shape}")
    return rho @ seen.weights.T


def chromaticity(XYZ: Any) -> np.ndarray:
    """x, y (..., 2) = (X, Y) / (X + Y + Z) of XYZ (..., 3); 0 for black."""
    XYZ = np.asarray(XYZ, np.float64)
    total = XYZ.sum(axis=-1, keepdims=True)
    with np.errstate(all="ignore"):
        return np.where(total != 0, XYZ[..., :2] / total, 0.0)


def _f(t: np.ndarray) -> np.ndarray:
    return np.where(t > EPSILON, np.cbrt(t), t / (3 * (6 / 29) ** 2) + 4 / 29)


def _f_slope(t: np.ndarray) -> np.ndarray:
    with np.errstate(all="ignore"):
        return np.where(t > EPSILON, 1 / (3 * np.cbrt(t) ** 2), 1 / (3 * (6 / 29) ** 2))


def cielab(XYZ: Any, white: Any) -> np.ndarray:
    """L*, a*, b* (..., 3) of XYZ (..., 3) against the white's XYZ (3,)."""
    f = _f(np.asarray(XYZ, np.float64) / np.asarray(white, np.float64))
    return np.stack([116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]), 200 * (f[..., 1] - f[..., 2])], axis=-1)


def chroma_hue(Lab: Any) -> Tuple[np.ndarray, np.ndarray]:
    """C*ab and h_ab in degrees [0, 360) of L*a*b* (..., 3)."""
    Lab = np.asarray(Lab, np.float64)
    a, b = Lab[..., 1], Lab[..., 2]
    return np.hypot(a, b), np.mod(np.degrees(np.arctan2(b, a)), 360.0)


def delta_e_ab(Lab1: Any, Lab2: Any) -> np.ndarray:
    """dE*ab, the Euclidean distance of two L*a*b* (..., 3) (broadcast)."""
    return np.linalg.norm(np.asarray(Lab1, np.float64) - np.asarray(Lab2, np.float64), axis=-1)


def ciede2000(Lab1: Any, Lab2: Any, *, kL: float = 1.0, kC: float = 1.0, kH: float = 1.0) -> np.ndarray:
    """CIEDE2000 colour difference of two L*a*b* (..., 3) (broadcast), with
    the parametric factors kL, kC, kH (1 for the reference conditions)."""
    L1, a1, b1 = np.moveaxis(np.asarray(Lab1, np.float64), -1, 0)
    L2, a2, b2 = np.moveaxis(np.asarray(Lab2, np.float64), -1, 0)
    mean_C7 = ((np.hypot(a1, b1) + np.hypot(a2, b2)) / 2) ** 7
    G = 0.5 * (1 - np.sqrt(mean_C7 / (mean_C7 + CIEDE_25_7)))
    a1, a2 = (1 + G) * a1, (1 + G) * a2
    C1, C2 = np.hypot(a1, b1), np.hypot(a2, b2)
    h1 = np.where((a1 == 0) & (b1 == 0), 0.0, np.mod(np.degrees(np.arctan2(b1, a1)), 360.0))
    h2 = np.where((a2 == 0) & (b2 == 0), 0.0, np.mod(np.degrees(np.arctan2(b2, a2)), 360.0))
    grey = C1 * C2 == 0
    dh = h2 - h1
    dh = np.where(grey, 0.0, np.where(dh > 180, dh - 360, np.where(dh < -180, dh + 360, dh)))
    dL, dC = L2 - L1, C2 - C1
    dH = 2 * np.sqrt(C1 * C2) * np.sin(np.radians(dh) / 2)
    L, C = (L1 + L2) / 2, (C1 + C2) / 2
    h = h1 + h2
    h = np.where(grey, h, np.where(np.abs(h1 - h2) <= 180, h / 2, np.where(h < 360, (h + 360) / 2, (h - 360) / 2)))
    T = (1 - 0.17 * np.cos(np.radians(h - 30)) + 0.24 * np.cos(np.radians(2 * h))
         + 0.32 * np.cos(np.radians(3 * h + 6)) - 0.20 * np.cos(np.radians(4 * h - 63)))
    turn = 30 * np.exp(-(((h - 275) / 25) ** 2))
    RC = 2 * np.sqrt(C ** 7 / (C ** 7 + CIEDE_25_7))
    SL = 1 + 0.015 * (L - 50) ** 2 / np.sqrt(20 + (L - 50) ** 2)
    SC, SH = 1 + 0.045 * C, 1 + 0.015 * C * T
    RT = -np.sin(np.radians(2 * turn)) * RC
    l, c, hh = dL / (kL * SL), dC / (kC * SC), dH / (kH * SH)
    return np.sqrt(l * l + c * c + hh * hh + RT * c * hh)


class Colour(NamedTuple):
    """The colour of spectra: XYZ (..., 3), xy (..., 2), Lab (..., 3) =
    L*, a*, b*, C (...,) = C*ab and h (...,) = h_ab in degrees [0, 360)."""
    XYZ: np.ndarray
    xy: np.ndarray
    Lab: np.ndarray
    C: np.ndarray
    h: np.ndarray


def spectrum_colour(spectrum: Any, seen: Observation) -> Colour:
    """The Colour of spectra (..., N) (fractions) on seen's grid."""
    XYZ = tristimulus(spectrum, seen)
    Lab = cielab(XYZ, seen.white)
    return Colour(XYZ, chromaticity(XYZ), Lab, *chroma_hue(Lab))


class ColourDifference:
    """A tolerance criterion's function (sardune.Criterion(ColourDifference(),
    max=...)): each run's colour difference from the nominal design's, of R
    or T (`of`), CIEDE2000 or dE*ab (`formula` "ciede2000" or "ab"), under
    `illuminant` seen by `observer`, integrated over the analysis's
    wavelengths (which should span the visible, e.g. 380-780 nm by 5 nm).
    Each run's sums are taken in one order of their own, so that the values
    do not depend on how the runs are batched; it pickles for executors."""

    def __init__(self, of: str = "R", *, illuminant: Illuminant = "D65", observer: int = 2,
                 formula: str = "ciede2000") -> None:
        if of not in ("R", "T"):
            raise ValueError(f"of: expected 'R' or 'T', got {of!r}")
        if formula not in ("ciede2000", "ab"):
            raise ValueError(f"formula: expected 'ciede2000' or 'ab', got {formula!r}")
        self.of, self.illuminant, self.observer, self.formula = of, illuminant, _observer(observer), formula
        self.__name__ = f"{'dE00' if formula == 'ciede2000' else 'dEab'} of {of}"

    def __call__(self, runs: Any) -> np.ndarray:
        seen = observation(runs.wavelengths, illuminant=self.illuminant, observer=self.observer)
        rho, nominal = (runs.R, runs.nominal_R) if self.of == "R" else (runs.T, runs.nominal_T)
        # a running sum along each run's own wavelengths: a product with the
        # weights as a matrix may round differently for another number of runs
        XYZ = np.add.accumulate(rho[:, None, :] * seen.weights, axis=2)[..., -1]
        XYZ0 = np.add.accumulate(nominal[None, None, :] * seen.weights, axis=2)[..., -1]
        Lab, Lab0 = cielab(XYZ, seen.white), cielab(XYZ0, seen.white)
        return ciede2000(Lab0, Lab) if self.formula == "ciede2000" else delta_e_ab(Lab0, Lab)


class Colours(NamedTuple):
    """The colour of a design in reflection (R) and transmission (T),
    each a Colour over the angles ((M,) for an array of M angles), under
    the illuminant (its name, or "given") and observer of the grid."""
    wavelengths: np.ndarray
    illuminant: str
    observer: int
    R: Colour
    T: Colour


def design_colour(design: Any, wavelengths: Any = None, *, illuminant: Illuminant = "D65", observer: int = 2,
                  angle: Angle = 0.0, pol: str = "s", engine: Optional[Engine] = None, method: str = "auto",
                  batch: Optional[int] = None, progress: Optional[Progress] = None) -> Colours:
    """The colours of R and T of `design` (any object with a `spectrum`
    method as Design's), integrated over the grid (nm; None: 380-780 nm by
    5 nm), at angle degrees (a number or (M,)), pol "s", "p" or "u"."""
    seen = observation(wavelengths, illuminant=illuminant, observer=observer)
    s = design.spectrum(seen.wavelengths, angle=angle, pol=pol, engine=engine, method=method, batch=batch,
                        progress=progress)
    return Colours(seen.wavelengths, seen.illuminant, seen.observer, spectrum_colour(s.R, seen),
                   spectrum_colour(s.T, seen))


# ---------------------------------------------------------------- display

SRGB_FROM_XYZ = np.array([[3.2406, -1.5372, -0.4986], [-0.9689, 1.8758, 0.0415], [0.0557, -0.2040, 1.0570]])
SRGB_WHITE = np.array([0.95047, 1.0, 1.08883])  # the white those primaries are balanced for (D65)


def display_rgb(XYZ: Any, white: Any, *, bright: bool = False) -> np.ndarray:
    """sRGB values in [0, 1] (..., 3) showing XYZ (..., 3): the white
    mapped to the display's white by scaling X, Y, Z (a simple adaptation,
    good enough for a swatch), then the sRGB primaries and transfer curve,
    out-of-gamut values clipped. bright: scaled so the largest channel is
    full, showing hue and saturation of dark colours such as the faint
    reflection of an antireflection coating."""
    XYZ = np.asarray(XYZ, np.float64) / np.asarray(white, np.float64) * SRGB_WHITE
    linear = np.clip(XYZ @ SRGB_FROM_XYZ.T, 0.0, None)
    if bright:
        top = linear.max(axis=-1, keepdims=True)
        with np.errstate(all="ignore"):
            linear = np.where(top > 0, linear / top, 0.0)
    linear = np.clip(linear, 0.0, 1.0)
    return np.where(linear <= 0.0031308, 12.92 * linear, 1.055 * linear ** (1 / 2.4) - 0.055)


# ---------------------------------------------------------------- colour targets

COLOUR_QUANTITIES = ("L*", "a*", "b*", "C*", "x", "y", "Y")


def colour_quantity(quantity: str, XYZ: np.ndarray, white: np.ndarray,
                    dXYZ: Optional[np.ndarray] = None) -> Tuple[float, Optional[np.ndarray]]:
    """One colour quantity of XYZ (3,) and, given dXYZ (P, 3), its
    derivatives (P,) by the chain rule through the CIELAB or chromaticity
    formulas."""
    if quantity == "Y":
        return float(XYZ[1]), None if dXYZ is None else dXYZ[:, 1]
    if quantity in ("x", "y"):
        total, i = XYZ.sum(), "xy".index(quantity)
        value = XYZ[i] / total
        return float(value), None if dXYZ is None else (dXYZ[:, i] - value * dXYZ.sum(axis=1)) / total
    t = XYZ / white
    L, a, b = cielab(XYZ, white)
    value = {"L*": L, "a*": a, "b*": b, "C*": np.hypot(a, b)}[quantity]
    if dXYZ is None:
        return float(value), None
    df = _f_slope(t) * dXYZ / white  # (P, 3): d f(X/Xn), d f(Y/Yn), d f(Z/Zn)
    dL, da, db = 116 * df[:, 1], 500 * (df[:, 0] - df[:, 1]), 200 * (df[:, 1] - df[:, 2])
    if quantity == "C*":
        # the chroma has no slope at the grey axis; 0 there lets the solver move off it by the other rows
        return float(value), (a * da + b * db) / value if value > 0 else np.zeros_like(da)
    return float(value), {"L*": dL, "a*": da, "b*": db}[quantity]


class ColourTarget(NamedTuple):
    """A target on the colour of R or T (`of`) at `angle` degrees and `pol`:
    `quantity` one of L*, a*, b*, C* (CIELAB against the illuminant's white),
    x, y (chromaticity), Y (luminous R or T in %), to meet `value` within
    `tolerance` (> 0, the quantity's unit) with `weight` (>= 0); kind
    "equal", "below" or "above" as for Target. The colour is integrated
    over `wavelengths` (nm; None: 380-780 nm by 5 nm) under `illuminant`
    (a CIE name or a spectrum, see illuminant_power) for `observer` (2 or
    10 degrees). A row of refine's targets like Target, giving one
    residual."""
    quantity: str
    of: str = "R"
    angle: float = 0.0
    pol: str = "s"
    value: float = 0.0
    tolerance: float = 1.0
    kind: str = "equal"
    weight: float = 1.0
    illuminant: Illuminant = "D65"
    observer: int = 2
    wavelengths: Any = None

    def checked(self, name: str) -> "ColourRow":
        """The row with its grid and weights formed; errors name it."""
        if self.quantity not in COLOUR_QUANTITIES:
            raise ValueError(f"{name}.quantity: expected one of {', '.join(COLOUR_QUANTITIES)}, got {self.quantity!r}")
        if self.of not in ("R", "T"):
            raise ValueError(f"{name}.of: expected 'R' or 'T', got {self.of!r}")
        if self.kind not in KINDS:
            raise ValueError(f"{name}.kind: expected 'equal', 'below' or 'above', got {self.kind!r}")
        angle, pol = check_view(name, self.angle, self.pol)
        numbers_ = {"value": self.value, "tolerance": self.tolerance, "weight": self.weight}
        for field, v in numbers_.items():
            if isinstance(v, (bool, np.bool_)) or not isinstance(v, numbers.Real) or not np.isfinite(v):
                raise ValueError(f"{name}.{field}: expected a finite number, got {v!r}")
        if not self.tolerance > 0:
            raise ValueError(f"{name}.tolerance: expected a value > 0, got {self.tolerance}")
        if not self.weight >= 0:
            raise ValueError(f"{name}.weight: expected a value >= 0, got {self.weight}")
        try:
            seen = observation(self.wavelengths, illuminant=self.illuminant, observer=self.observer)
        except (TypeError, ValueError) as e:
            raise type(e)(f"{name}.{e}") from None
        return ColourRow(self, angle, pol, seen)


class ColourRow:
    """A checked ColourTarget: the row protocol of sardune.targets, its
    wavelengths the integration grid."""

    def __init__(self, target: ColourTarget, angle: float, pol: str, seen: Observation) -> None:
        self.target, self.angle, self.pol, self.seen = target, angle, pol, seen
        self.wavelengths = seen.wavelengths
        self.scale = np.sqrt(float(target.weight)) / float(target.tolerance)

    size = 1

    def weights(self) -> np.ndarray:
        return np.array([float(self.target.weight)])

    def _spectrum(self, R: np.ndarray, T: np.ndarray) -> np.ndarray:
        return R if self.target.of == "R" else T

    def _residual(self, X: float) -> Tuple[float, bool]:
        kind, value = self.target.kind, float(self.target.value)
        active = kind == "equal" or (X > value if kind == "below" else X < value)
        return (X - value) * self.scale, active

    def residuals(self, R: np.ndarray, T: np.ndarray) -> np.ndarray:
        """(1,) weighted residual from R and T (N,) on the grid."""
        X, _ = colour_quantity(self.target.quantity, tristimulus(self._spectrum(R, T), self.seen), self.seen.white)
        r, active = self._residual(X)
        return np.array([r if active else 0.0])

    def slopes(self, R: np.ndarray, T: np.ndarray, dR: np.ndarray, dT: np.ndarray) -> np.ndarray:
        """(1, P) derivatives of the residual from dR, dT (P, N) on the grid."""
        XYZ = tristimulus(self._spectrum(R, T), self.seen)
        X, dX = colour_quantity(self.target.quantity, XYZ, self.seen.white,
                                tristimulus(self._spectrum(dR, dT), self.seen))
        _, active = self._residual(X)
        return (dX * self.scale if active else np.zeros_like(dX))[None, :]
