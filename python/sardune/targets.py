"""Targets and the merit they define, shared by refinement and synthesis.

A target row asks a quantity of a design's spectrum at wavelengths, one
angle and one polarisation to meet a value within a tolerance. Each row
gives weighted residuals

    r_i = sqrt(w_i) (X_i - value_i) / tolerance_i

("equal"), or only the part on the wrong side for one-sided rows ("below":
X <= value asked, no penalty below; "above": X >= value asked), and the
merit of a set of rows is

    F = sqrt(sum_i r_i^2 / sum_i w_i)

over every wavelength of every row. Least squares minimises sum_i r_i^2.

Rows of one angle and polarisation are computed together (Targets.groups:
one engine request over their wavelengths laid end to end). Any object
with the methods of Target (`checked`, and on the checked row `size`,
`weights`, `residuals`, `slopes`) and the fields angle, pol, wavelengths
is a target row: colour targets are rows of that kind.
"""

import numbers
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

QUANTITIES = ("R", "T", "A")
KINDS = ("equal", "below", "above")
ArrayLike = Union[float, Sequence[float], np.ndarray]


def per_wavelength(name: str, v: ArrayLike, n: int) -> np.ndarray:
    """A number or n numbers as n finite float64 values."""
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


def check_view(name: str, angle: Any, pol: Any) -> Tuple[float, str]:
    """The angle (degrees, [0, 90)) and polarisation of a row."""
    if pol not in ("s", "p", "u"):
        raise ValueError(f"{name}.pol: expected 's', 'p' or 'u', got {pol!r}")
    if isinstance(angle, (bool, np.bool_)) or not isinstance(angle, numbers.Real) or not 0 <= angle < 90:
        raise ValueError(f"{name}.angle: expected degrees in [0, 90), got {angle!r}")
    return float(angle), pol


class Target(NamedTuple):
    """One row of targets: `quantity` ("R", "T" or "A" = 1 - R - T, as a
    fraction) at `wavelengths` (nm), `angle` (degrees) and `pol` ("s",
    "p", "u"). value, tolerance (> 0, in the quantity's unit) and weight
    (>= 0): a number or one per wavelength. kind: "equal", "below" (the
    quantity should not exceed the value) or "above" (nor fall below it)."""
    quantity: str
    wavelengths: ArrayLike
    angle: float = 0.0
    pol: str = "s"
    value: ArrayLike = 0.0
    tolerance: ArrayLike = 1.0
    kind: str = "equal"
    weight: ArrayLike = 1.0

    def checked(self, name: str) -> "Target":
        """This row with its arrays formed and checked; errors name it."""
        if self.quantity not in QUANTITIES:
            raise ValueError(f"{name}.quantity: expected 'R', 'T' or 'A', got {self.quantity!r}")
        if self.kind not in KINDS:
            raise ValueError(f"{name}.kind: expected 'equal', 'below' or 'above', got {self.kind!r}")
        angle, pol = check_view(name, self.angle, self.pol)
        w = np.atleast_1d(np.asarray(self.wavelengths, np.float64))
        if w.ndim != 1 or w.size == 0 or not np.all(np.isfinite(w) & (w > 0)):
            raise ValueError(f"{name}.wavelengths: expected a non-empty 1-dimensional grid of finite values > 0 nm")
        value = per_wavelength(f"{name}.value", self.value, w.size)
        tol = per_wavelength(f"{name}.tolerance", self.tolerance, w.size)
        if np.any(tol <= 0):
            raise ValueError(f"{name}.tolerance: expected values > 0, got {tol[tol <= 0][0]}")
        weight = per_wavelength(f"{name}.weight", self.weight, w.size)
        if np.any(weight < 0):
            raise ValueError(f"{name}.weight: expected values >= 0, got {weight[weight < 0][0]}")
        return Target(self.quantity, w, angle, pol, value, tol, self.kind, weight)

    # --- the protocol of a checked row

    @property
    def size(self) -> int:
        """Residuals the row gives: one per wavelength."""
        return self.wavelengths.size

    def weights(self) -> np.ndarray:
        return self.weight

    def _scale(self) -> np.ndarray:
        return (1 / self.tolerance) * np.sqrt(self.weight)

    def _active(self, X: np.ndarray) -> Optional[np.ndarray]:
        """Where a one-sided row is not met (None: everywhere counts)."""
        if self.kind == "equal":
            return None
        return X > self.value if self.kind == "below" else X < self.value

    def residuals(self, R: np.ndarray, T: np.ndarray) -> np.ndarray:
        """(size,) weighted residuals from R and T at the row's wavelengths."""
        X = _quantity(self.quantity, R, T)
        r = (X - self.value) * self._scale()
        active = self._active(X)
        return r if active is None else np.where(active, r, 0.0)

    def slopes(self, R: np.ndarray, T: np.ndarray, dR: np.ndarray, dT: np.ndarray) -> np.ndarray:
        """(size, P) derivatives of the residuals with respect to P
        parameters, from dR, dT (P, size) at the row's wavelengths."""
        dX = _quantity(self.quantity, dR, dT, derivative=True)
        s = (dX * self._scale()).T
        active = self._active(_quantity(self.quantity, R, T))
        return s if active is None else np.where(active[:, None], s, 0.0)


def _quantity(q: str, R: np.ndarray, T: np.ndarray, derivative: bool = False) -> np.ndarray:
    if q == "R":
        return R
    if q == "T":
        return T
    return -(R + T) if derivative else 1 - R - T


class Group(NamedTuple):
    """Rows of one angle and polarisation, computed in one call over their
    wavelengths laid end to end; rows[i] reads wavelengths[parts[i]]."""
    angle: float
    pol: str
    wavelengths: np.ndarray
    rows: list
    parts: List[slice]


class Targets:
    """Checked target rows in groups of one angle and polarisation, the
    residuals and merit they give. spectra and derivatives are given per
    group, in the order of `groups`: (R, T) over the group's wavelengths,
    and (dR, dT) of P parameters (P, n)."""

    def __init__(self, targets: Sequence) -> None:
        try:
            rows = [_row(i, t) for i, t in enumerate(targets)]
        except TypeError as e:
            if str(e).startswith("targets"):
                raise
            raise TypeError(f"targets: expected a sequence of Target rows, got {type(targets).__name__}") from None
        if not rows:
            raise ValueError("targets: expected at least one row")
        keyed: dict = {}
        for t in rows:
            keyed.setdefault((t.angle, t.pol), []).append(t)
        self.groups: List[Group] = []
        for (angle, pol), ts in keyed.items():
            parts, start = [], 0
            for t in ts:
                parts.append(slice(start, start + t.wavelengths.size))
                start += t.wavelengths.size
            self.groups.append(Group(angle, pol, np.concatenate([t.wavelengths for t in ts]), ts, parts))
        self.size = sum(t.size for g in self.groups for t in g.rows)
        self.weights = np.concatenate([t.weights() for g in self.groups for t in g.rows])
        if not self.weights.sum() > 0:
            raise ValueError("targets: every weight is 0")

    def residuals(self, spectra: Sequence[Tuple[np.ndarray, np.ndarray]]) -> np.ndarray:
        """(size,) residuals of every row, from (R, T) per group."""
        return np.concatenate([t.residuals(R[part], T[part]) for g, (R, T) in zip(self.groups, spectra)
                               for t, part in zip(g.rows, g.parts)])

    def slopes(self, spectra: Sequence[Tuple[np.ndarray, np.ndarray]],
               derivatives: Sequence[Tuple[np.ndarray, np.ndarray]]) -> np.ndarray:
        """(size, P) derivatives of the residuals."""
        return np.concatenate([t.slopes(R[part], T[part], dR[..., part], dT[..., part])
                               for g, (R, T), (dR, dT) in zip(self.groups, spectra, derivatives)
                               for t, part in zip(g.rows, g.parts)])

    def merit(self, residuals: np.ndarray) -> float:
        """F = sqrt(sum r^2 / sum w)."""
        return float(np.sqrt(residuals @ residuals / self.weights.sum()))


def _row(i: int, row: Any):
    name = f"targets[{i}]"
    if not hasattr(row, "checked"):
        try:
            row = Target(*row)
        except TypeError:
            raise TypeError(f"{name}: expected a Target or (quantity, wavelengths, angle, pol, value, tolerance"
                            "[, kind, weight])") from None
    return row.checked(name)
