"""Data files of the optical-constants database, read as sardune-spectrum
reads them, and the index of the built-in library.

A data file is YAML whose DATA is a list of one or two items:
  type: formula N (1 to 9)    wavelength_range: LO HI (um), coefficients: C1 C2 ...
  type: tabulated nk | n | k  data: rows "lambda n k", "lambda n" or "lambda k"
                              (lambda in um, strictly ascending, at least two)
One item gives n (a formula, tabulated n or nk), a `tabulated k` beside it
gives k; without one k = 0. The database writes n + ik with k >= 0 for
absorption: the same k as the package's n - ik. The data's range is where
both n and k are given. Wavelengths become nm by raising their decimal
exponent by 3, so that 0.3791 um is exactly 379.1 nm.

The formulas, l in um, sums over the terms present, left to right:
  1  n^2 = 1 + C1 + sum C(2i) l^2 / (l^2 - C(2i+1)^2)
  2  n^2 = 1 + C1 + sum C(2i) l^2 / (l^2 - C(2i+1))
  3  n^2 = C1 + sum C(2i) l^C(2i+1)
  4  n^2 = C1 + C2 l^C3 / (l^2 - C4^C5) + C6 l^C7 / (l^2 - C8^C9) + sum from C10 of C(2i) l^C(2i+1)
  5  n   = C1 + sum C(2i) l^C(2i+1)
  6  n   = 1 + C1 + sum C(2i) / (C(2i+1) - l^-2)
  7  n   = C1 + C2 L + C3 L^2 + C4 l^2 + C5 l^4 + C6 l^6, L = 1 / (l^2 - 0.028)
  8  (n^2 - 1) / (n^2 + 2) = C1 + C2 l^2 / (l^2 - C3) + C4 l^2
  9  n^2 = C1 + C2 / (l^2 - C3) + C4 (l - C5) / ((l - C5)^2 + C6)
A formula whose terms are half given is refused rather than padded with
zeros. Problems raise DesignFileError "FILE:LINE: FIELD: PROBLEM" with FIELD
one of YAML, DATA, type, wavelength_range, coefficients, data. Files are read
within 4 MiB and 10000 YAML nodes (the largest real data file is below 3 MB
and has a few hundred), so that no file costs much before it is refused.
"""

import os
import re
from typing import Iterator, List, NamedTuple, Optional, Tuple

import numpy as np

from ._text import escaped, parse_number
from .errors import DesignFileError

MAX_BYTES = 4 * 2**20
MAX_NODES = 10000
ENV_VARIABLE = "SARDUNE_DATABASE"
LIBRARY_FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "materials")

Rows = Tuple[np.ndarray, np.ndarray]  # wavelengths (nm) and a column, (R,) each


class Data(NamedTuple):
    """What a data file gives: n from `formula` (1 to 9) and its
    `coefficients`, or from `n_rows` (formula 0); k from `k_rows` or 0;
    `wavelength_range` (nm) where both are given; `references` as the file
    writes them (HTML tags removed)."""
    file: str
    formula: int
    coefficients: Tuple[float, ...]
    n_rows: Optional[Rows]
    k_rows: Optional[Rows]
    wavelength_range: Tuple[float, float]
    references: str


# ---------------------------------------------------------------- a small tree of the document

class _Node:
    __slots__ = ("kind", "line", "literal", "text", "items")

    def __init__(self, kind: str, line: int, literal: bool = False, text: str = "") -> None:
        self.kind, self.line, self.literal, self.text = kind, line, literal, text
        self.items: List["_Node"] = []  # a map's keys and values alternate

    def value(self, key: str) -> Optional["_Node"]:
        for k, v in zip(self.items[0::2], self.items[1::2]):
            if k.kind == "scalar" and k.text == key:
                return v
        return None


_NULLS = ("", "~", "null", "Null", "NULL")


def _fail(path: str, line: Optional[int], field: str, problem: str) -> None:
    raise DesignFileError(path, line, field, problem)


def _tree(data: bytes, path: str) -> _Node:
    """The first document as a tree of maps, sequences, scalars and nulls,
    built from the parser's events: a node count is kept as it grows."""
    import yaml  # loaded with the first data file read
    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    root, open_, count = _Node("null", 1), [], 0
    try:
        for event in yaml.parse(data, Loader=loader):
            if isinstance(event, yaml.CollectionEndEvent):
                open_.pop()
                continue
            if isinstance(event, yaml.DocumentEndEvent):
                break
            if not isinstance(event, (yaml.ScalarEvent, yaml.AliasEvent, yaml.CollectionStartEvent)):
                continue
            line = event.start_mark.line + 1
            count += 1
            if count > MAX_NODES:
                _fail(path, line, "YAML", f"more than {MAX_NODES} nodes")
            if isinstance(event, yaml.ScalarEvent):
                plain = event.style in (None, "")
                node = _Node("null" if plain and event.value in _NULLS else "scalar", line, event.style == "|",
                             event.value)
            else:  # an alias stands for nothing this reader takes
                node = _Node("map" if isinstance(event, yaml.MappingStartEvent) else
                             "sequence" if isinstance(event, yaml.SequenceStartEvent) else "null", line)
            if open_:
                parent = open_[-1]
                if parent.kind == "map" and len(parent.items) % 2 == 0 and node.kind != "scalar":
                    _fail(path, line, "YAML", "a key that is not a plain scalar")
                parent.items.append(node)
            else:
                root = node
            if isinstance(event, yaml.CollectionStartEvent):
                open_.append(node)
    except yaml.YAMLError as e:
        mark = getattr(e, "problem_mark", None)
        problem = getattr(e, "problem", None) or str(e)
        _fail(path, 1 if mark is None else mark.line + 1, "YAML", escaped(problem.encode()))
    return root


# ---------------------------------------------------------------- numbers

def _number(path: str, line: int, field: str, word: str) -> float:
    v, problem = parse_number(word.encode())
    if problem:
        _fail(path, line, field, problem)
    return v


def nanometres(path: str, line: int, field: str, word: str) -> float:
    """A wavelength in um as nm, exactly as its decimal text says: the
    exponent raised by 3 (0.3791 -> 379.1, where times 1000 gives
    379.09999999999997)."""
    _number(path, line, field, word)
    mantissa, _, exponent = word.lower().partition("e")
    nm = float(f"{mantissa}e{int(exponent or '0') + 3}")
    if nm == float("inf"):
        _fail(path, line, field, f"'{escaped(word.encode())}' is out of range")
    if not nm > 0:
        _fail(path, line, field, f"wavelength {escaped(word.encode())} um is not positive")
    return nm


def _fields(text: str) -> List[str]:
    return [f for f in re.split(r"[ \t]+", text) if f]


# ---------------------------------------------------------------- data items

def _scalar(item: _Node, key: str, path: str) -> _Node:
    v = item.value(key)
    if v is None:
        _fail(path, item.line, key, "missing")
    if v.kind != "scalar":
        _fail(path, v.line, key, "expected a text of numbers")
    return v


def coefficient_count_fits(formula: int, count: int) -> bool:
    """Whether a formula takes that many coefficients: C1 and whole terms."""
    if formula in (1, 2, 3, 5, 6):
        return count % 2 == 1 and count <= 17
    if formula == 4:
        return count in (1, 5) or (9 <= count <= 17 and count % 2 == 1)
    return {7: range(1, 7), 8: (1, 3, 4), 9: (1, 3, 6)}.get(formula, ()).__contains__(count)


def _counts(formula: int) -> str:
    return {4: "1, 5, 9, 11, 13, 15 or 17", 7: "1 to 6", 8: "1, 3 or 4", 9: "1, 3 or 6"}.get(
        formula, "C1 and up to 8 pairs: 1, 3, ..., 17")


class _Item(NamedTuple):
    source: str  # "formula", "nk", "n" or "k"
    line: int
    formula: int = 0
    coefficients: Tuple[float, ...] = ()
    wavelength_range: Tuple[float, float] = (0.0, 0.0)
    rows: Tuple[np.ndarray, ...] = ()  # wavelengths (nm), then n and/or k


def _formula(node: _Node, path: str, formula: int) -> _Item:
    r = _scalar(node, "wavelength_range", path)
    bounds = _fields(r.text)
    if len(bounds) != 2:
        _fail(path, r.line, "wavelength_range", "expected LO HI in um")
    lo, hi = (nanometres(path, r.line, "wavelength_range", b) for b in bounds)
    if not hi > lo:
        _fail(path, r.line, "wavelength_range", f"'{escaped(r.text.encode())}' is not an interval LO < HI")
    c = _scalar(node, "coefficients", path)
    coefficients = tuple(_number(path, c.line, "coefficients", f) for f in _fields(c.text))
    if not coefficient_count_fits(formula, len(coefficients)):
        _fail(path, c.line, "coefficients", f"formula {formula} takes {_counts(formula)} coefficients, "
                                             f"found {len(coefficients)}")
    return _Item("formula", node.line, formula, coefficients, (lo, hi))


_USAGE = {"nk": "lambda n k", "n": "lambda n", "k": "lambda k"}


def _rows(node: _Node, path: str, source: str) -> _Item:
    data = _scalar(node, "data", path)
    columns = 3 if source == "nk" else 2
    w, n, k = [], [], []
    for row, text in enumerate(data.text.split("\n")):
        f = _fields(text)
        if not f:
            continue
        # The rows of a literal block start on the line after its '|'.
        line = data.line + 1 + row if data.literal else data.line
        if len(f) != columns:
            _fail(path, line, "data", f"expected {columns} numbers ({_USAGE[source]}) per row, found {len(f)}")
        nm = nanometres(path, line, "data", f[0])
        if w and not nm > w[-1]:
            _fail(path, line, "data", f"wavelength {escaped(f[0].encode())} um is not above the previous row's")
        w.append(nm)
        if source != "k":
            v = _number(path, line, "data", f[1])
            if not v > 0:
                _fail(path, line, "data", f"n {escaped(f[1].encode())} is not positive")
            n.append(v)
        if source != "n":
            v = _number(path, line, "data", f[-1])
            if not v >= 0:
                _fail(path, line, "data", f"k {escaped(f[-1].encode())} is negative (absorption has k >= 0, n + ik)")
            k.append(v)
    if len(w) < 2:
        _fail(path, data.line, "data", f"expected at least two rows, found {len(w)}")
    rows = tuple(np.array(c, np.float64) for c in (w, n, k) if c)
    return _Item(source, node.line, wavelength_range=(w[0], w[-1]), rows=rows)


def _item(node: _Node, path: str) -> _Item:
    if node.kind != "map":
        _fail(path, node.line, "DATA", "expected an item with a type")
    t = node.value("type")
    if t is None:
        _fail(path, node.line, "type", "missing")
    text = t.text if t.kind == "scalar" else ""
    m = re.fullmatch(r"formula ([1-9])", text)
    if m:
        return _formula(node, path, int(m.group(1)))
    source = {"tabulated nk": "nk", "tabulated n": "n", "tabulated k": "k"}.get(text)
    if source is None:
        _fail(path, t.line, "type", f"unknown type '{escaped(text.encode())}' (formula 1 to 9, tabulated nk, "
                                    "tabulated n or tabulated k)")
    return _rows(node, path, source)


def parse_data_file(data: bytes, path: str) -> Data:
    """The Data of a data file's bytes; `path` names it in messages."""
    root = _tree(data, path)
    items = root.value("DATA") if root.kind == "map" else None
    if items is None:
        _fail(path, root.line, "DATA", "missing: this is no data file of the database")
    if items.kind != "sequence" or not 1 <= len(items.items) <= 2:
        _fail(path, items.line, "DATA", "expected a list of one or two items")
    n_item = k_item = None
    for item in [_item(node, path) for node in items.items]:
        gives_n, gives_k = item.source != "k", item.source in ("nk", "k")
        if (gives_n and n_item) or (gives_k and k_item):
            which, first = ("n", n_item) if gives_n and n_item else ("k", k_item)
            _fail(path, item.line, "DATA", f"{which} is already given at line {first.line}")
        n_item = item if gives_n else n_item
        k_item = item if gives_k else k_item
    if n_item is None:
        _fail(path, items.line, "DATA", "no n: a formula, tabulated n or tabulated nk is needed")
    lo, hi = n_item.wavelength_range
    if k_item is not None:
        # where the data say something about both
        lo, hi = max(lo, k_item.wavelength_range[0]), min(hi, k_item.wavelength_range[1])
        if not lo <= hi:
            _fail(path, k_item.line, "DATA", "the wavelengths of k do not meet those of n")
    references = root.value("REFERENCES")
    text = references.text if references is not None and references.kind == "scalar" else ""
    return Data(path, n_item.formula, n_item.coefficients,
                None if n_item.source == "formula" else n_item.rows[:2],
                None if k_item is None else (k_item.rows[0], k_item.rows[-1]), (lo, hi),
                " ".join(re.sub(r"<[^>]*>", " ", text).split()))


def read_bounded(path: str, limit: int) -> bytes:
    """At most `limit` bytes and one more, so that /dev/zero ends at once;
    DesignFileError "FILE: larger than N MiB" beyond the limit."""
    with open(path, "rb") as f:
        data = f.read(limit + 1)
    if len(data) > limit:
        raise DesignFileError(path, None, None, f"larger than {limit >> 20} MiB")
    return data


def read_data_file(path: str) -> Data:
    """The Data of the data file at `path` (OSError where it cannot be read)."""
    return parse_data_file(read_bounded(path, MAX_BYTES), path)


# ---------------------------------------------------------------- evaluation

def formula_of_n_squared(formula: int) -> bool:
    """Whether a formula gives n^2 (1 to 4, 8, 9) rather than n."""
    return formula not in (5, 6, 7)


def formula_index(formula: int, c: Tuple[float, ...], wavelengths: np.ndarray) -> np.ndarray:
    """n of a formula at wavelengths in nm (any shape), NaN where it gives no
    real index (n^2 <= 0)."""
    l = wavelengths / 1000
    l2 = l * l
    count = len(c)
    C = lambda i: c[i - 1]

    def powers(first: int):
        s = 0.0
        for i in range(first, count, 2):
            s = s + C(i) * np.power(l, C(i + 1))
        return s

    def root(n2):
        return np.sqrt(np.where(n2 > 0, n2, np.nan))

    if formula in (1, 2):
        n2 = 1.0 + C(1)
        for i in range(2, count, 2):
            n2 = n2 + C(i) * l2 / (l2 - (C(i + 1) * C(i + 1) if formula == 1 else C(i + 1)))
        return root(n2)
    if formula == 3:
        return root(C(1) + powers(2))
    if formula == 4:
        n2 = C(1)
        if count >= 5:
            n2 = n2 + C(2) * np.power(l, C(3)) / (l2 - np.power(C(4), C(5)))
        if count >= 9:
            n2 = n2 + C(6) * np.power(l, C(7)) / (l2 - np.power(C(8), C(9)))
        return root(n2 + powers(10))
    if formula == 5:
        return C(1) + powers(2)
    if formula == 6:
        n = 1.0 + C(1)
        for i in range(2, count, 2):
            n = n + C(i) / (C(i + 1) - 1 / l2)
        return n + 0 * l
    if formula == 7:
        L = 1 / (l2 - 0.028)
        terms = (1.0, L, L * L, l2, l2 * l2, l2 * l2 * l2)
        n = 0.0
        for i in range(count):
            n = n + c[i] * terms[i]
        return n + 0 * l
    if formula == 8:
        r = C(1)
        if count >= 3:
            r = r + C(2) * l2 / (l2 - C(3))
        if count >= 4:
            r = r + C(4) * l2
        return root((1 + 2 * r) / (1 - r))
    if formula == 9:
        n2 = C(1)
        if count >= 3:
            n2 = n2 + C(2) / (l2 - C(3))
        if count >= 6:
            n2 = n2 + C(4) * (l - C(5)) / ((l - C(5)) * (l - C(5)) + C(6))
        return root(n2 + 0 * l)
    raise ValueError(f"formula: expected 1 to 9, got {formula}")


def index(data: Data, wavelengths: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """(n, k) of the data at wavelengths in nm (any shape), float64 each:
    rows interpolated linearly and held at their ends beyond them, formulas
    evaluated wherever asked (the caller keeps to the range)."""
    w = np.asarray(wavelengths, np.float64)
    if data.n_rows is None:
        with np.errstate(all="ignore"):
            n = formula_index(data.formula, data.coefficients, w)
    else:
        n = np.interp(w, *data.n_rows)
    k = np.zeros(w.shape) if data.k_rows is None else np.interp(w, *data.k_rows)
    return np.broadcast_to(n, w.shape).astype(np.float64), k


# ---------------------------------------------------------------- the library's index and a user's database

class Entry(NamedTuple):
    """One name of the built-in library: its data file (a path), the page of
    the database it was copied from, a description and the reference."""
    name: str
    file: str
    page: str
    description: str
    reference: str


def read_index(folder: str = LIBRARY_FOLDER) -> List[Entry]:
    """FOLDER/index.yml: a mapping of each name to its file (relative to
    the folder), page, description and reference, in the index's order."""
    path = os.path.join(folder, "index.yml")
    root = _tree(read_bounded(path, MAX_BYTES), path)
    if root.kind != "map":
        _fail(path, root.line, "name", "expected a mapping of names to entries")
    entries = []
    for name, entry in zip(root.items[0::2], root.items[1::2]):
        if entry.kind != "map":
            _fail(path, entry.line, name.text, "expected file, page, description and reference")
        values = []
        for key in ("file", "page", "description", "reference"):
            v = entry.value(key)
            if v is None or v.kind != "scalar":
                _fail(path, entry.line, f"{name.text}.{key}", "missing")
            values.append(v.text)
        entries.append(Entry(name.text, os.path.join(folder, values[0]), *values[1:]))
    return entries


def database_folder(database: Optional[str] = None) -> Optional[str]:
    """The folder of a user's copy of the database: `database` when given,
    else $SARDUNE_DATABASE, else None. ValueError naming the argument or
    the variable when the folder holds no data/ folder."""
    given = database if database is not None else os.environ.get(ENV_VARIABLE) or None
    if given is None:
        return None
    given = os.fspath(given)
    if not os.path.isdir(os.path.join(given, "data")):
        where = "database" if database is not None else ENV_VARIABLE
        raise ValueError(f"{where}: '{given}' holds no data/ folder, as a copy of the database does")
    return given


def page_file(folder: str, page: str) -> str:
    """The data file of a page of the database in `folder`: FOLDER/data/PAGE.yml.
    ValueError when PAGE is no page name (absolute, with empty, . or ..
    parts, or control bytes): a page names a file inside data/, nothing else."""
    parts = page.split("/")
    if not page or any(p in ("", ".", "..") for p in parts) or any(ord(c) < 0x20 or ord(c) == 0x7F for c in page):
        raise ValueError(f"'{escaped(page.encode())}' is not a page of the database (such as main/SiO2/nk/Gao)")
    return os.path.join(folder, "data", page + ".yml")


def pages(folder: str) -> Iterator[str]:
    """Every page of the database in `folder`, sorted: its data files
    without the about.yml files and the nonlinear indices of n2/ folders."""
    data = os.path.join(folder, "data")
    for top, dirs, names in os.walk(data):
        dirs[:] = sorted(d for d in dirs if d != "n2")
        for name in sorted(names):
            if name.endswith(".yml") and name != "about.yml":
                yield os.path.relpath(os.path.join(top, name), data)[:-len(".yml")].replace(os.sep, "/")
