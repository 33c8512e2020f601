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

Materials by name (material(name)): the built-in library BUILT_IN (SiO2,
TiO2, ..., Ag, N-BK7, fused_silica: data files of the optical-constants
database copied into the package, read when first used), pages of a user's
copy of that database (main/SiO2/nk/Gao, its folder given or in
$SARDUNE_DATABASE), and .yml data files; search(query) lists what matches.
"""

import math
import os
import re
from collections.abc import Mapping
from typing import Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from .database import (ENV_VARIABLE, LIBRARY_FOLDER, Data, Entry, database_folder, formula_of_n_squared,
                       index, page_file, pages, read_data_file as read_data, read_index)
from .errors import DesignFileError, MaterialError

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


# ---------------------------------------------------------------- the database's data files

def from_data(data: Data, name: str, *, description: str = "", reference: Optional[str] = None,
              definition: Optional[tuple] = None) -> Material:
    """The Material of a data file's Data (see sardune.database): its range,
    the file as its source, n^2 <= 0 of a formula a MaterialError."""
    squared = data.n_rows is None and formula_of_n_squared(data.formula)

    def nk(w: np.ndarray) -> _NK:
        n, k = index(data, w)
        if squared and np.any(np.isnan(n)):
            x = w.ravel()[np.flatnonzero(np.isnan(n).ravel())[0]]
            raise MaterialError(f"{name} ({data.file}): n^2 is not positive at {x:g} nm")
        return n, k
    if not description:
        description = ("tabulated n" if data.n_rows is not None else f"formula {data.formula}") + (
            ", tabulated k" if data.k_rows is not None else "")
    return Material(name, nk, description, wavelength_range=data.wavelength_range, source=data.file,
                    reference=reference or data.references or None, definition=definition)


def name_of(source: str) -> str:
    """A material name for a page or .yml file: its last part without .yml,
    bytes outside the name rule as _, and a suffix where it would be a
    built-in name or a keyword (so that a written design reads back)."""
    last = source.rsplit("/", 1)[-1]
    base = re.sub(r"[^A-Za-z0-9_.+-]", "_", last[:-4] if last.endswith(".yml") else last)
    base = (base if base[:1].isalpha() else "m_" + base)[:56]
    name, i = base, 2
    while name in BUILT_IN or name in KEYWORDS:
        name, i = f"{base}_{i}", i + 1
    return name


def read_data_file(path: str, *, name: Optional[str] = None) -> Material:
    """A data file of the database (YAML) as a Material named `name`
    (default: after the file); DesignFileError names the file, line and
    field of a problem in it."""
    data = read_data(os.fspath(path))
    return from_data(data, name or name_of(os.fspath(path)), definition=("database", data.file))


def page(page_name: str, *, database: Optional[str] = None, name: Optional[str] = None) -> Material:
    """The page (main/SiO2/nk/Gao) of a user's copy of the database, in the
    folder `database`, else $SARDUNE_DATABASE; named after its last part."""
    folder = database_folder(database)
    if folder is None:
        raise ValueError(f"'{page_name}' is a page of a database: give its folder (database=DIR or {ENV_VARIABLE})")
    data = read_data(page_file(folder, page_name))
    return from_data(data, name or name_of(page_name), definition=("database", page_name))


# ---------------------------------------------------------------- the built-in library

KEYWORDS = ("material", "incident", "substrate", "substrate_thickness", "exit", "back")


class Library(Mapping):
    """The built-in materials by name (data files of the database copied
    into the package, data/materials/index.yml naming them): the index is
    read on first use, each material's file when it is first asked for."""

    def __init__(self, folder: str = LIBRARY_FOLDER) -> None:
        self.folder = folder
        self._entries: Optional[Dict[str, Entry]] = None
        self._materials: Dict[str, Material] = {}

    @property
    def entries(self) -> Dict[str, Entry]:
        """The index: name -> Entry(name, file, page, description, reference)."""
        if self._entries is None:
            self._entries = {e.name: e for e in read_index(self.folder)}
        return self._entries

    def __getitem__(self, name: str) -> Material:
        m = self._materials.get(name)
        if m is None:
            e = self.entries[name]
            # one Material per name, whichever thread read it first
            m = self._materials.setdefault(name, from_data(read_data(e.file), e.name, description=e.description,
                                                           reference=e.reference, definition=("database", e.file)))
        return m

    def __contains__(self, name: object) -> bool:
        return name in self.entries

    def __iter__(self) -> Iterator[str]:
        return iter(self.entries)

    def __len__(self) -> int:
        return len(self.entries)

    def __repr__(self) -> str:
        return f"Library({', '.join(self.entries)})"

    def built_in(self, m: Material) -> bool:
        """Whether m is one of the library's materials (or extrapolated from one)."""
        e = self.entries.get(m.name)
        return e is not None and m.source == e.file


BUILT_IN = Library()


def __getattr__(name: str) -> Material:
    # the two glasses under their earlier names, read when first used
    if name in ("fused_silica", "N_BK7"):
        return BUILT_IN[name.replace("_", "-") if name == "N_BK7" else name]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def material(name: str, *, database: Optional[str] = None) -> Material:
    """The material a name stands for: a built-in name (SiO2, N-BK7, ...),
    a page of a user's database (main/SiO2/nk/Gao: the folder given, else
    $SARDUNE_DATABASE), or a .yml data file. ValueError lists the built-in
    names for a name that is none of them."""
    if name in BUILT_IN:
        return BUILT_IN[name]
    try:
        if name.endswith(".yml"):
            return read_data_file(name)
        if "/" in name:
            return page(name, database=database)
    except OSError as e:
        raise ValueError(f"cannot read '{name}': {e.strerror or e}") from None
    raise ValueError(f"unknown material {name!r}; built in: {', '.join(sorted(BUILT_IN))} (or a page of a "
                     "database, or a .yml data file)")


class Found(NamedTuple):
    """A material search() found: `name` is what names it (a built-in name,
    or the page), wavelength_range in nm (None where its file cannot be
    read, then `description` says why)."""
    name: str
    page: str
    wavelength_range: Optional[Range]
    description: str
    reference: str
    built_in: bool


def search(query: str, *, database: Optional[str] = None) -> List[Found]:
    """The built-in materials, and with a database (the folder given, else
    $SARDUNE_DATABASE) its pages, that `query` names: a whole word of the
    name, page or description, in any case ("TiO2", "silver", "Johnson",
    "main/SiO2"); built-in ones first."""
    if not isinstance(query, str):
        raise TypeError(f"query: expected a text, got {type(query).__name__}")
    word = re.compile(r"(?<![A-Za-z0-9])" + re.escape(query) + r"(?![A-Za-z0-9])", re.IGNORECASE)
    found = []
    for e in BUILT_IN.entries.values():
        if any(word.search(t) for t in (e.name, e.page, e.description)):
            m = BUILT_IN[e.name]
            found.append(Found(e.name, e.page, m.wavelength_range, e.description, e.reference, True))
    folder = database_folder(database)
    for p in (pages(folder) if folder is not None else ()):
        if word.search(p):
            try:
                m = page(p, database=folder)
                found.append(Found(p, p, m.wavelength_range, m.description, m.reference or "", False))
            except (OSError, DesignFileError) as e:
                found.append(Found(p, p, None, f"cannot be read: {e}", "", False))
    return found
