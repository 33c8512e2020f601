"""Indices as a design gives them, and the layer.

An index is given as
  - a number n - ik (complex, or real for k = 0),
  - a material name ("N-BK7", "fused_silica": the built-in materials),
  - a Material (or any callable of the wavelengths in nm returning the
    complex index there, a number or an array of their shape),
  - an array of one value per wavelength of the grid it is used on.
Whatever the form, every value must satisfy 0 < n <= 100 and 0 <= k <= 100
(n - ik: k > 0 absorbs, a gain medium is refused) and be finite; constants
and names are checked when given, the other forms where they are evaluated,
each error naming the medium ("layers[3]", "substrate", ...) and, for an
evaluated value, the wavelength.
"""

import math
import numbers
from typing import Callable, Union

import numpy as np

from .materials import CONVENTION, K_MAX, N_MAX, Material, material

Index = Union[complex, float, str, Material, np.ndarray, Callable[[np.ndarray], np.ndarray]]


def is_constant(v: Index) -> bool:
    return isinstance(v, numbers.Complex) and not isinstance(v, (bool, np.bool_))


def index_spec(name: str, v: Index) -> Index:
    """An index as a design keeps it: a checked complex constant, the
    Material a name stands for, or the array or callable as given."""
    if isinstance(v, str):
        try:
            return material(v)
        except ValueError as e:
            raise ValueError(f"{name}: {e}") from None
    if is_constant(v):
        n = complex(v)
        _check_values(name, np.array([n]), None)
        return n
    if isinstance(v, (bool, np.bool_)):
        raise TypeError(f"{name}: expected an index (a number, a material name, a Material, a callable of the "
                        f"wavelengths or one value per wavelength), got {type(v).__name__}")
    if callable(v):
        return v
    a = np.asarray(v)
    if not np.issubdtype(a.dtype, np.number) or a.ndim != 1:
        raise TypeError(f"{name}: expected an index (a number, a material name, a Material, a callable of the "
                        f"wavelengths or one value per wavelength), got {type(v).__name__}"
                        + (f" of shape {a.shape}" if a.dtype.kind in "biufc" else ""))
    return a


def evaluate(name: str, v: Index, w: np.ndarray, sl: slice, N: int) -> np.ndarray:
    """The index on the batch w = grid[sl] of a grid of N wavelengths, as a
    complex (B,) array, checked."""
    if is_constant(v):
        return np.full(w.size, complex(v), np.complex128)
    if callable(v):
        a = v(w)
        if is_constant(a):
            a = np.full(w.size, complex(a), np.complex128)
        a = np.asarray(a)
        if a.shape != w.shape:
            raise ValueError(f"{name}: the callable returned shape {a.shape} for {w.size} wavelengths")
    else:
        a = np.asarray(v)
        if a.shape != (N,):
            raise ValueError(f"{name}: expected a number or {N} values (one per wavelength), got shape {a.shape}")
        a = a[sl]
    if not np.issubdtype(a.dtype, np.number):
        raise TypeError(f"{name}: expected numbers, got dtype {a.dtype}")
    a = a.astype(np.complex128)
    if not isinstance(v, Material):  # a Material checks its own values
        _check_values(name, a, w)
    return a


def _check_values(name: str, a: np.ndarray, w) -> None:
    n, k = a.real, -a.imag
    at = lambda i: "" if w is None else f" at {w[i]:g} nm"
    gain = np.flatnonzero(~(k >= 0) & np.isfinite(k))
    if gain.size:
        i = gain[0]
        raise ValueError(f"{name}: {a[i]}{at(i)} has a positive imaginary part; {CONVENTION}")
    bad = np.flatnonzero(~(np.isfinite(n) & (n > 0) & (n <= N_MAX) & np.isfinite(k) & (k <= K_MAX)))
    if bad.size:
        i = bad[0]
        raise ValueError(f"{name}: {a[i]}{at(i)} is outside 0 < n <= {N_MAX:g}, 0 <= k <= {K_MAX:g}")


def shown(v: Index) -> str:
    """An index as a repr shows it: the number, the material's name, or the kind."""
    if is_constant(v):
        c = complex(v)
        return repr(c.real) if c.imag == 0 else repr(c)
    if isinstance(v, Material):
        return repr(v.name)
    if callable(v):
        return getattr(v, "__name__", "<function>")
    return f"<{np.asarray(v).size} values>"


class Layer:
    """One layer: complex index n - ik (see the module for the forms an index
    takes) and physical thickness in nm (finite, >= 0)."""

    __slots__ = ("index", "thickness")

    def __init__(self, index: Index, thickness: float) -> None:
        if isinstance(thickness, (bool, np.bool_)) or not isinstance(thickness, numbers.Real):
            raise TypeError(f"thickness: expected a real number, got {type(thickness).__name__}")
        if not (math.isfinite(thickness) and thickness >= 0):
            raise ValueError(f"thickness: expected a finite value >= 0 nm, got {thickness}")
        self.index, self.thickness = index_spec("index", index), float(thickness)

    def with_thickness(self, thickness: float) -> "Layer":
        return Layer(self.index, thickness)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Layer) and self.thickness == other.thickness and same_index(self.index, other.index)

    def __repr__(self) -> str:
        return f"Layer({shown(self.index)}, {self.thickness!r})"


def same_index(a: Index, b: Index) -> bool:
    """Whether two index specs are one medium: equal constants, equal
    per-wavelength arrays, or the same Material or callable object."""
    if is_constant(a) and is_constant(b):
        return complex(a) == complex(b)
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and np.array_equal(a, b)
    return a is b


def layers_of(name: str, layers) -> list:
    """Layers from Layer objects or (index, thickness) pairs, errors naming
    their place (name[j])."""
    out = []
    for j, l in enumerate(layers):
        if isinstance(l, Layer):
            out.append(l)
            continue
        try:
            index, thickness = l
            out.append(Layer(index, thickness))
        except (TypeError, ValueError) as e:
            text = str(e)
            if text.startswith("index:") or text.startswith("thickness:"):
                raise type(e)(f"{name}[{j}].{text}") from None
            raise TypeError(f"{name}[{j}]: expected a Layer or an (index, thickness) pair, "
                            f"got {type(l).__name__}") from None
    return out
