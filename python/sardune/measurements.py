"""Measured spectra as fitting takes them: R, T or A (fractions) at an angle
and polarisation, or ellipsometric psi and Delta (degrees, in the convention
of Design.ellipsometry: rho = r_p / r_s = tan(psi) exp(i Delta) with
r_p = -r_s at normal incidence) at an angle, each value with its standard
uncertainty, from arrays or from measurement files.

A measurement file is text (UTF-8, at most 16 MiB):

    # a comment, from # to the end of any line
    angle: 70                   degrees, for value columns that name none (default 0)
    pol: p                      s, p or u, for R, T, A columns that name none (default s)
    sigma: 0.002                uncertainty of value columns without a sigma column
    wavelength, psi, delta, sigma(psi), sigma(delta)
    400, 31.52, 112.8, 0.05, 0.1
    ...

The settings (`angle:`, `pol:`, `sigma:`, each at most once) come before
the header; the header is the first other line and starts with
`wavelength` (nm). Every further column is a value column, named by its
quantity (R, T, A, psi, delta) with an optional angle and polarisation,
QUANTITY[@ANGLE][/POL] (`R@45/p`, `psi@65`), or the uncertainty of a value
column, sigma(NAME) with NAME as that column's header. Rows hold one finite
number per column, fields separated by commas (or by white space on a line
without a comma). Each value column is one Measurement. A problem raises
MeasurementFileError naming the file, the line and the column.
"""

import math
import os
import re
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from .errors import MeasurementFileError

PathLike = Union[str, "os.PathLike[str]"]
POWER = ("R", "T", "A")
ELLIPSOMETRIC = ("psi", "delta")
QUANTITIES = POWER + ELLIPSOMETRIC
MAX_BYTES = 16 * 2**20
ArrayLike = Union[float, Sequence[float], np.ndarray]


class Measurement(NamedTuple):
    """One measured curve: `quantity` ("R", "T", "A" as fractions, "psi",
    "delta" in degrees) at `wavelengths` (nm, (N,)), `values` (N,) with
    standard uncertainties `sigma` (> 0, a number or (N,)), at `angle`
    (degrees) and, for R, T, A, polarisation `pol` ("s", "p", "u"; psi and
    Delta use both). `source` names it in messages and plots."""
    quantity: str
    wavelengths: ArrayLike
    values: ArrayLike
    sigma: ArrayLike
    angle: float = 0.0
    pol: str = "s"
    source: Optional[str] = None

    def checked(self, name: str) -> "Measurement":
        """This measurement with its arrays formed and checked; errors name it."""
        if self.quantity not in QUANTITIES:
            raise ValueError(f"{name}.quantity: expected one of {', '.join(QUANTITIES)}, got {self.quantity!r}")
        if isinstance(self.angle, (bool, np.bool_)) or not isinstance(self.angle, (int, float, np.number)) \
                or not 0 <= self.angle < 90:
            raise ValueError(f"{name}.angle: expected degrees in [0, 90), got {self.angle!r}")
        pol = self.pol if self.quantity in POWER else "u"
        if pol not in ("s", "p", "u"):
            raise ValueError(f"{name}.pol: expected 's', 'p' or 'u', got {self.pol!r}")
        w = _array(f"{name}.wavelengths", self.wavelengths)
        if w.ndim != 1 or w.size == 0 or not np.all(w > 0):
            raise ValueError(f"{name}.wavelengths: expected a non-empty 1-dimensional grid of values > 0 nm")
        values = _array(f"{name}.values", self.values)
        if values.shape != w.shape:
            raise ValueError(f"{name}.values: expected {w.size} values (one per wavelength), got shape {values.shape}")
        sigma = _array(f"{name}.sigma", self.sigma)
        sigma = np.full(w.size, float(sigma)) if sigma.ndim == 0 else sigma
        if sigma.shape != w.shape:
            raise ValueError(f"{name}.sigma: expected a number or {w.size} values, got shape {sigma.shape}")
        if not np.all(sigma > 0):
            raise ValueError(f"{name}.sigma: expected uncertainties > 0, got {sigma[~(sigma > 0)][0]}")
        return Measurement(self.quantity, w, values, sigma, float(self.angle), pol, self.source or name)

    @property
    def label(self) -> str:
        """The quantity with its angle and polarisation, as a file's header names it."""
        pol = f"/{self.pol}" if self.quantity in POWER else ""
        return f"{self.quantity}@{self.angle:g}{pol}"


def _array(name: str, v: ArrayLike) -> np.ndarray:
    try:
        a = np.array(v, np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected real numbers, got {type(v).__name__}") from None
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name}: expected finite values")
    return a


def measurements_of(measurements: Any) -> List[Measurement]:
    """Checked measurements from a Measurement, a file path, or a sequence
    of either."""
    items = [measurements] if isinstance(measurements, (Measurement, str, os.PathLike)) else measurements
    try:
        items = list(items)
    except TypeError:
        raise TypeError("measurements: expected a Measurement, a measurement file or a sequence of them, got "
                        f"{type(measurements).__name__}") from None
    out: List[Measurement] = []
    for i, m in enumerate(items):
        if isinstance(m, (str, os.PathLike)):
            out += read_measurements(m)
        elif isinstance(m, Measurement):
            out.append(m.checked(f"measurements[{i}]"))
        else:
            raise TypeError(f"measurements[{i}]: expected a Measurement or a measurement file, got {type(m).__name__}")
    if not out:
        raise ValueError("measurements: expected at least one measurement")
    return out


# ---------------------------------------------------------------- files

COLUMN = re.compile(r"^(R|T|A|psi|delta)(?:@([^/]+))?(?:/(s|p|u))?$")
SIGMA = re.compile(r"^sigma\((.*)\)$")
SETTINGS = ("angle", "pol", "sigma")


class _Column(NamedTuple):
    quantity: str
    angle: float
    pol: str
    name: str


def read_measurements(path: PathLike, *, angle: Optional[float] = None, pol: Optional[str] = None,
                      sigma: Optional[float] = None) -> List[Measurement]:
    """The measurements of a measurement file (see the module), one per
    value column, in the order of the columns. angle, pol and sigma, where
    given, take the place of the file's settings."""
    name = os.fspath(path)
    try:
        with open(name, "rb") as f:
            data = f.read(MAX_BYTES + 1)
    except OSError as e:
        raise MeasurementFileError(name, None, None, f"cannot be read: {e.strerror or e}") from None
    if len(data) > MAX_BYTES:
        raise MeasurementFileError(name, None, None, "larger than 16 MiB")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        line = data[:e.start].count(b"\n") + 1
        raise MeasurementFileError(name, line, None, "is not UTF-8 text") from None
    settings: dict = {}
    header: Optional[Tuple[int, List[str]]] = None
    rows: List[Tuple[int, List[str]]] = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        if header is None:
            key, colon, value = line.partition(":")
            if colon and key.strip() in SETTINGS:
                _setting(name, number, key.strip(), value.strip(), settings)
                continue
            header = (number, _fields(line))
        else:
            rows.append((number, _fields(line)))
    if header is None:
        raise MeasurementFileError(name, None, None, "has no header line (wavelength, then value columns)")
    given = {"angle": angle, "pol": pol, "sigma": sigma}
    settings = {k: given[k] if given[k] is not None else settings.get(k) for k in SETTINGS}
    columns, sigmas = _header(name, header, settings)
    if not rows:
        raise MeasurementFileError(name, None, None, "has no rows of values")
    table = np.empty((len(rows), len(header[1])))
    for r, (number, fields) in enumerate(rows):
        if len(fields) != len(header[1]):
            raise MeasurementFileError(name, number, None, f"expected {len(header[1])} fields as the header "
                                                           f"(line {header[0]}), got {len(fields)}")
        for c, field in enumerate(fields):
            table[r, c] = _number(name, number, c, header[1][c], field)
    w = table[:, 0]
    bad = np.flatnonzero(~(w > 0))
    if bad.size:
        raise MeasurementFileError(name, rows[bad[0]][0], 1, f"wavelength: expected a value > 0 nm, got {w[bad[0]]:g}")
    out = []
    for c, col in columns:
        if c in sigmas:
            s = table[:, sigmas[c]]
            bad = np.flatnonzero(~(s > 0))
            if bad.size:
                raise MeasurementFileError(name, rows[bad[0]][0], sigmas[c] + 1,
                                           f"sigma({col.name}): expected an uncertainty > 0, got {s[bad[0]]:g}")
        elif settings["sigma"] is not None:
            s = np.full(w.size, settings["sigma"])
        else:
            raise MeasurementFileError(name, header[0], c + 1, f"{col.name}: no column sigma({col.name}) and no "
                                                               "sigma setting give its uncertainty")
        out.append(Measurement(col.quantity, w.copy(), table[:, c].copy(), s, col.angle, col.pol,
                               f"{os.path.basename(name)}:{col.name}"))
    return out


def _fields(line: str) -> List[str]:
    return [f.strip() for f in line.split(",")] if "," in line else line.split()


def _setting(path: str, number: int, key: str, value: str, settings: dict) -> None:
    if key in settings:
        raise MeasurementFileError(path, number, None, f"{key}: given twice")
    if key == "pol":
        if value not in ("s", "p", "u"):
            raise MeasurementFileError(path, number, None, f"pol: expected s, p or u, got {value!r}")
        settings[key] = value
        return
    try:
        v = float(value)
    except ValueError:
        raise MeasurementFileError(path, number, None, f"{key}: {value!r} is not a number") from None
    if key == "angle" and not 0 <= v < 90:
        raise MeasurementFileError(path, number, None, f"angle: expected degrees in [0, 90), got {value}")
    if key == "sigma" and not (v > 0 and math.isfinite(v)):
        raise MeasurementFileError(path, number, None, f"sigma: expected a finite uncertainty > 0, got {value}")
    settings[key] = v


def _header(path: str, header: Tuple[int, List[str]], settings: dict):
    """The value columns as (position, _Column), and each one's sigma column."""
    number, names = header
    if not names or names[0] != "wavelength":
        raise MeasurementFileError(path, number, 1, f"expected the header to start with 'wavelength', got "
                                                    f"{names[0] if names else ''!r}")
    columns: List[Tuple[int, _Column]] = []
    sigma_of: dict = {}
    seen: dict = {}
    for c, text in enumerate(names[1:], 1):
        if text in seen:
            raise MeasurementFileError(path, number, c + 1, f"{text}: the column is named twice (also column "
                                                            f"{seen[text] + 1})")
        seen[text] = c
        s = SIGMA.match(text)
        if s:
            sigma_of[s.group(1)] = (c, text)
            continue
        m = COLUMN.match(text)
        if not m:
            raise MeasurementFileError(path, number, c + 1, f"{text!r} is not a column name: expected "
                                                            "R, T, A, psi or delta[@ANGLE][/POL] or sigma(NAME)")
        quantity, angle, pol = m.group(1), m.group(2), m.group(3)
        if quantity in ELLIPSOMETRIC and pol:
            raise MeasurementFileError(path, number, c + 1, f"{text}: psi and delta take both polarisations")
        if angle is None:
            a = settings["angle"] if settings["angle"] is not None else 0.0
        else:
            try:
                a = float(angle)
            except ValueError:
                a = math.nan
            if not 0 <= a < 90:
                raise MeasurementFileError(path, number, c + 1, f"{text}: expected an angle in degrees in [0, 90)")
        p = pol or (settings["pol"] if settings["pol"] is not None else "s")
        columns.append((c, _Column(quantity, float(a), p if quantity in POWER else "u", text)))
    if not columns:
        raise MeasurementFileError(path, number, None, "the header names no value column")
    names_of = {col.name: c for c, col in columns}
    sigmas = {}
    for target, (c, text) in sigma_of.items():
        if target not in names_of:
            raise MeasurementFileError(path, number, c + 1, f"{text}: no value column {target!r}")
        sigmas[names_of[target]] = c
    return columns, sigmas


def _number(path: str, number: int, c: int, column: str, field: str) -> float:
    try:
        v = float(field)
    except ValueError:
        raise MeasurementFileError(path, number, c + 1, f"{column}: {field!r} is not a number") from None
    if not math.isfinite(v):
        raise MeasurementFileError(path, number, c + 1, f"{column}: {field!r} is not finite")
    return v


def write_measurements(path: PathLike, measurements: Sequence[Measurement]) -> None:
    """Writes measurements on one grid as a measurement file (each column
    with its angle, polarisation and sigma column), which read_measurements
    reads back as these measurements."""
    ms = [m.checked(f"measurements[{i}]") for i, m in enumerate(measurements)]
    if not ms:
        raise ValueError("measurements: expected at least one measurement")
    w = ms[0].wavelengths
    for i, m in enumerate(ms):
        if not np.array_equal(m.wavelengths, w):
            raise ValueError(f"measurements[{i}].wavelengths: a file holds measurements on one grid")
    labels = [m.label for m in ms]
    columns = [w] + [v for m in ms for v in (m.values, m.sigma)]
    with open(path, "w", encoding="utf-8") as f:
        f.write(", ".join(["wavelength"] + [x for l in labels for x in (l, f"sigma({l})")]) + "\n")
        for row in np.array(columns).T:
            f.write(", ".join(repr(float(v)) for v in row) + "\n")
