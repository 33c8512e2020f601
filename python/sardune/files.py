"""Design files, materials files and table files: one grammar shared with
sardune-spectrum, read and written.

Files are read as bytes (at most 16 MiB, lines of at most 4096 bytes) and
never decoded: outside `#` comments only space, tab and printable ASCII are
allowed, and bytes shown in messages are escaped (\\xc2\\xa0). A line is
  N K THICKNESS            a layer of index n - ik, thickness in nm
  NAME THICKNESS           a layer of a named material
  material NAME MODEL ...  a material: constant N K; cauchy A B C
                           [k K | urbach K0 E0 EU]; sellmeier B1 C1 ... [k K];
                           table FILE (a path relative to the naming file's folder);
                           database PAGE (a data file of the optical-constants
                           database: PAGE.yml relative to the naming file's folder,
                           or a page such as main/SiO2/nk/Gao of a user's copy)
  incident N | NAME        the incident medium (lossless)
  substrate N K | NAME     the substrate
  substrate_thickness MM   a thick substrate (mm), its faces combined incoherently
  exit N K | NAME          the medium behind a thick substrate
  back N K THICKNESS | back NAME THICKNESS
                           a layer on the substrate's back face, from it outwards
Layers are listed from the substrate up; a file without layers is a bare
substrate. incident, substrate, substrate_thickness and exit appear at most
once; exit and back need substrate_thickness. Names are defined before use
(in the file or its materials file) or built in (sardune.materials.BUILT_IN),
and neither a built-in name nor a statement's keyword can be defined. Every
problem raises DesignFileError with the message "FILE:LINE: FIELD: PROBLEM".

write_design writes a design in this grammar, the form sardune-spectrum's
--write-design gives: byte for byte the same file for the same design.
"""

import decimal
import os
import re
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

from ._text import escaped, parse_number
from .database import MAX_BYTES as MAX_DATA_BYTES, Data, database_folder, page_file, parse_data_file, read_bounded
from .errors import DesignFileError
from .materials import BUILT_IN, K_MAX, KEYWORDS, N_MAX, Material, from_data
from .media import Index, is_constant

MAX_BYTES = 16 * 2**20
MAX_LINE = 4096
MAX_NAME = 64
THICKNESS_MAX = 1e7  # nm
SUBSTRATE_MAX_MM = 1000.0
NM_PER_MM = 1e6

PathLike = Union[str, "os.PathLike[str]"]

_LINE_END = re.compile(rb"\r\n|\r|\n")
_SEPARATOR = re.compile(rb"[ \t]+")
_FOREIGN = re.compile(rb"[^\t\x20-\x7e]+")
_NAME = re.compile(rb"[A-Za-z_][A-Za-z0-9_.+-]*")
_NUMBER_START = set(bytes([c]) for c in b"0123456789+-.")

_NUMERIC_LAYER = ("index", "extinction coefficient", "thickness")
_NAMED_LAYER = ("material", "thickness")
_TABLE_ROW = ("wavelength", "index", "extinction coefficient")
_STATEMENTS = {b"incident": "incident", b"substrate": "substrate", b"substrate_thickness": "substrate thickness",
               b"exit": "exit"}
Layers = List[Tuple[Union[complex, Material], float]]


class DesignFile(NamedTuple):
    """What a design file gives: layers (index, thickness nm) from the
    substrate up, and the media and substrate it names (None where it names
    none); substrate_thickness in nm."""
    layers: Layers
    incident: Optional[Union[complex, Material]] = None
    substrate: Optional[Union[complex, Material]] = None
    substrate_thickness: Optional[float] = None
    exit_medium: Optional[Union[complex, Material]] = None
    back_layers: Layers = []


# ---------------------------------------------------------------- public readers

def read_design_file(path: PathLike, materials: Optional[PathLike] = None, *, database: Optional[PathLike] = None,
                     extrapolate: bool = False) -> DesignFile:
    """The layers and media of a design file: a complex constant n - ik for
    numeric indices, the Material for named ones. `materials`: a materials
    file whose names the design may use; `database`: the folder of a user's
    copy of the optical-constants database for `material NAME database PAGE`
    (default $SARDUNE_DATABASE); extrapolate: every material evaluated
    beyond its data's wavelengths too (Material.extrapolated())."""
    names = _Names(database)
    if materials is not None:
        _File(_shown("materials", materials), names, layers_allowed=False).parse()
    f = _File(_shown("path", path), names, layers_allowed=True).parse()
    return _extrapolated(f) if extrapolate else f


def read_materials(path: PathLike, *, database: Optional[PathLike] = None) -> Dict[str, Material]:
    """The materials a materials file defines, by name."""
    names = _Names(database)
    _File(_shown("path", path), names, layers_allowed=False).parse()
    return {k.decode("ascii"): m for k, m in names.materials.items()}


def read_table(path: PathLike, name: Optional[str] = None) -> Material:
    """A table file as a Material named `name` (default: the path)."""
    shown = _shown("path", path)
    return _table(shown, _read(shown), name or shown)


def _extrapolated(f: DesignFile) -> DesignFile:
    # one extrapolated material per material, so that a design names each once
    made: Dict[int, Material] = {}
    media = lambda v: made.setdefault(id(v), v.extrapolated()) if isinstance(v, Material) else v
    layers = lambda ls: [(media(v), d) for v, d in ls]
    return DesignFile(layers(f.layers), media(f.incident), media(f.substrate), f.substrate_thickness,
                      media(f.exit_medium), layers(f.back_layers))


# ---------------------------------------------------------------- bytes and lines

def _shown(argument: str, path: PathLike) -> str:
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    path = os.fspath(path)
    if not isinstance(path, str):
        raise TypeError(f"{argument}: expected a path, got {type(path).__name__}")
    if path == "":
        raise ValueError(f"{argument}: an empty path names no file")
    return path


def _read(path: str) -> bytes:
    return read_bounded(path, MAX_BYTES)


def _lines(path: str, data: bytes):
    """(line number, fields) of each line that has fields after its comment."""
    for number, line in enumerate(_LINE_END.split(data), 1):
        if len(line) > MAX_LINE:
            raise DesignFileError(path, number, "line", f"longer than {MAX_LINE} bytes")
        fields = [f for f in _SEPARATOR.split(line.split(b"#", 1)[0]) if f]
        if fields:
            yield number, fields


def _count(n: int, what: str) -> str:
    return f"{n} {what}{'' if n == 1 else 's'}"


def _check_bytes(path: str, number: int, fields: List[bytes], names: Tuple[str, ...]) -> None:
    """A foreign byte is reported in the field it stands in (by position;
    `line` past the fields the line's kind has)."""
    for i, f in enumerate(fields):
        bad = _FOREIGN.search(f)
        if bad:
            field = names[i] if i < len(names) else "line"
            raise DesignFileError(path, number, field, f"bytes {escaped(bad.group())} are not allowed "
                                                       f"outside a comment (in '{escaped(f)}')")


# ---------------------------------------------------------------- numbers

def _number(path: str, number: int, field: str, word: bytes) -> float:
    v, problem = parse_number(word)
    if problem:
        raise DesignFileError(path, number, field, problem)
    return v


def _bounded(path: str, number: int, field: str, word: bytes, v: float, low: float, high: float,
             low_open: bool = False, unit: str = "") -> float:
    if not ((v > low if low_open else v >= low) and v <= high):
        bounds = f"{low:g} {'<' if low_open else '<='} value" + ("" if high == float("inf") else f" <= {high:g}")
        raise DesignFileError(path, number, field, f"{escaped(word)}: expected {bounds}{unit}")
    return v


def _checked(path: str, number: int, field: str, word: bytes, low: float, high: float,
             low_open: bool = False, unit: str = "") -> float:
    """A number read and held within its bounds."""
    return _bounded(path, number, field, word, _number(path, number, field, word), low, high, low_open, unit)


def _index(path: str, number: int, field: str, word: bytes) -> float:
    return _checked(path, number, field, word, 0.0, N_MAX, low_open=True)


def _extinction(path: str, number: int, field: str, word: bytes) -> float:
    return _checked(path, number, field, word, 0.0, K_MAX)


# ---------------------------------------------------------------- design and materials files

class _Names:
    """Materials defined so far, and where: a materials file's names carry
    over into the design that uses it; data files read once."""

    def __init__(self, database: Optional[PathLike]) -> None:
        self.materials: Dict[bytes, Material] = {}
        self.where: Dict[bytes, Tuple[str, int]] = {}
        self.database = None if database is None else os.fspath(database)
        self.data: Dict[str, Data] = {}


def _numeric(fields: List[bytes]) -> bool:
    # the first byte tells the kind: a number starts N K THICKNESS
    return fields[:1] != [] and fields[0][:1] in _NUMBER_START


class _File:
    def __init__(self, path: str, names: _Names, layers_allowed: bool) -> None:
        self.path, self.names, self.layers_allowed = path, names, layers_allowed
        self.given: Dict[bytes, int] = {}  # statement given at most once -> its line
        self.media: Dict[bytes, Any] = {}
        self.back_line: Optional[int] = None  # the first back line

    def parse(self) -> DesignFile:
        layers, back = [], []
        for number, fields in _lines(self.path, _read(self.path)):
            keyword = fields[0]
            if keyword == b"material":
                self._material(number, fields)
            elif keyword in _STATEMENTS:
                self._statement(number, fields)
            elif keyword == b"back":
                back.append(self._back(number, fields))
            else:
                layers.append(self._layer(number, fields, fields))
        if b"substrate_thickness" not in self.given:
            if b"exit" in self.given:
                self._fail(self.given[b"exit"], "exit", "needs substrate_thickness in the same file")
            if self.back_line is not None:
                self._fail(self.back_line, "substrate thickness",
                           "a back layer needs substrate_thickness in the same file")
        thickness = self.media.get(b"substrate_thickness")
        return DesignFile(layers, self.media.get(b"incident"), self.media.get(b"substrate"),
                          None if thickness is None else thickness * NM_PER_MM, self.media.get(b"exit"), back)

    def _fail(self, number: int, field: str, problem: str) -> None:
        raise DesignFileError(self.path, number, field, problem)

    # --- layers

    def _layer(self, number: int, fields: List[bytes], line: List[bytes]) -> Tuple[Union[complex, Material], float]:
        numeric = _numeric(fields)
        prefix = ("line",) * (len(line) - len(fields))
        _check_bytes(self.path, number, line, prefix + (_NUMERIC_LAYER if numeric else _NAMED_LAYER))
        if not self.layers_allowed:
            self._fail(number, "layer", "a materials file holds no layers")
        after = " after 'back'" if prefix else ""
        if numeric:
            if len(fields) != 3:
                self._fail(number, "line", f"expected 3 fields (index, extinction coefficient, thickness in nm){after}"
                                           f", found {len(fields)}")
            n, k, d = (_number(self.path, number, f, w) for f, w in zip(_NUMERIC_LAYER, fields))
            _bounded(self.path, number, "index", fields[0], n, 0.0, N_MAX, low_open=True)
            _bounded(self.path, number, "extinction coefficient", fields[1], k, 0.0, K_MAX)
            _bounded(self.path, number, "thickness", fields[2], d, 0.0, THICKNESS_MAX, unit=" nm")
            return complex(n, -k), d
        if len(fields) != 2:
            self._fail(number, "line", f"expected 2 fields (material, thickness in nm){after}, found {len(fields)}")
        return self._named(number, fields[0]), self._thickness(number, fields[1])

    def _back(self, number: int, fields: List[bytes]) -> Tuple[Union[complex, Material], float]:
        _check_bytes(self.path, number, fields, ("line",) + (_NUMERIC_LAYER if _numeric(fields[1:]) else _NAMED_LAYER))
        if not self.layers_allowed:
            self._fail(number, "layer", "a materials file holds no layers")
        if len(fields) < 2:
            self._fail(number, "line", "expected a layer after 'back'")
        self.back_line = self.back_line or number
        return self._layer(number, fields[1:], fields)

    def _named(self, number: int, name: bytes) -> Material:
        material = self.names.materials.get(name)
        if material is None and name.decode("ascii") in BUILT_IN:
            material = BUILT_IN[name.decode("ascii")]
        if material is None:
            self._fail(number, "material", f"unknown material '{escaped(name)}'")
        return material

    def _thickness(self, number: int, word: bytes) -> float:
        return _checked(self.path, number, "thickness", word, 0.0, THICKNESS_MAX, unit=" nm")

    # --- media and the substrate's thickness

    def _statement(self, number: int, fields: List[bytes]) -> None:
        keyword = fields[0]
        field = _STATEMENTS[keyword]
        if keyword == b"substrate_thickness":
            parts = (field,)
        else:
            numeric, lossless = _numeric(fields[1:]), keyword == b"incident"
            parts = ("index",) if numeric and lossless else _NUMERIC_LAYER[:2] if numeric else ("material",)
        _check_bytes(self.path, number, fields, ("line",) + parts)
        if not self.layers_allowed:
            self._fail(number, field, "a materials file holds definitions only")
        if keyword in self.given:
            self._fail(number, field, f"already given at line {self.given[keyword]}")
        self.given[keyword] = number
        words = fields[1:]
        if keyword == b"substrate_thickness":
            if len(words) != 1:
                self._fail(number, field, f"expected 'substrate_thickness MM', found {_count(len(fields), 'field')}")
            self.media[keyword] = _checked(self.path, number, field, words[0], 0.0, SUBSTRATE_MAX_MM, low_open=True,
                                           unit=" mm")
            return
        name = keyword.decode()
        if len(words) != len(parts):
            usage = f"'{name} N'" if lossless else f"'{name} N K'"
            self._fail(number, field, f"expected {usage} or '{name} NAME', found {_count(len(fields), 'field')}")
        if not numeric:
            self.media[keyword] = self._named(number, words[0])
            return
        n = _index(self.path, number, "index", words[0])
        k = 0.0 if lossless else _extinction(self.path, number, "extinction coefficient", words[1])
        self.media[keyword] = complex(n, -k)

    # --- material definitions

    def _material(self, number: int, fields: List[bytes]) -> None:
        model = fields[2] if len(fields) > 2 else b""
        named = {b"table": ("table file",), b"database": ("page",)}.get(model, ())
        names = ("line", "name", "model") + named
        _check_bytes(self.path, number, fields, names + ("parameter",) * (len(fields) - len(names)))
        if len(fields) < 2:
            self._fail(number, "name", "missing; expected material NAME MODEL PARAMETERS")
        name = self._new_name(number, fields[1])
        if len(fields) < 3:
            self._fail(number, "model", "missing; expected constant, cauchy, sellmeier, table or database")
        build = {b"constant": self._constant, b"cauchy": self._cauchy, b"sellmeier": self._sellmeier,
                 b"table": self._table, b"database": self._database}.get(model)
        if build is None:
            self._fail(number, "model", f"unknown model '{escaped(model)}'; expected constant, cauchy, "
                                        f"sellmeier, table or database")
        self.names.materials[fields[1]] = build(number, name, fields[3:])
        self.names.where[fields[1]] = (self.path, number)

    def _new_name(self, number: int, word: bytes) -> str:
        if not _NAME.fullmatch(word) or word.decode("ascii") in KEYWORDS:
            self._fail(number, "name", f"'{escaped(word)}' is not a material name (a letter or _ first, then "
                                       f"letters, digits, _ . + -; not 'material' nor a statement such as "
                                       f"'substrate')")
        if len(word) > MAX_NAME:
            self._fail(number, "name", f"longer than {MAX_NAME} bytes")
        name = word.decode("ascii")
        if word in self.names.where:
            path, line = self.names.where[word]
            self._fail(number, "name", f"{name}: already defined at "
                                       + (f"line {line}" if path == self.path else f"{path}:{line}"))
        if name in BUILT_IN:
            self._fail(number, "name", f"{name}: built in")
        return name

    def _parameters(self, number: int, words: List[bytes], counts: Tuple[int, ...], usage: str) -> None:
        if len(words) not in counts:
            self._fail(number, "parameter", f"{_count(len(words), 'parameter')}; expected {usage}")

    def _value(self, number: int, word: bytes) -> float:
        return _number(self.path, number, "parameter", word)

    def _constant(self, number: int, name: str, p: List[bytes]) -> Material:
        self._parameters(number, p, (2,), "constant N K")
        return Material.constant(_index(self.path, number, "parameter", p[0]),
                                 _extinction(self.path, number, "parameter", p[1]), name)

    def _cauchy(self, number: int, name: str, p: List[bytes]) -> Material:
        usage = "cauchy A B C [k K | urbach K0 E0 EU]"
        self._parameters(number, p, (3, 5, 7), usage)
        A, B, C = (self._value(number, w) for w in p[:3])
        if len(p) == 3:
            return Material.cauchy(A, B, C, name=name)
        if len(p) == 5 and p[3] == b"k":
            return Material.cauchy(A, B, C, k=_extinction(self.path, number, "parameter", p[4]), name=name)
        if len(p) == 7 and p[3] == b"urbach":
            K0 = _extinction(self.path, number, "parameter", p[4])
            E0 = self._value(number, p[5])
            EU = _checked(self.path, number, "parameter", p[6], 0.0, float("inf"), low_open=True, unit=" eV")
            return Material.cauchy(A, B, C, urbach=(K0, E0, EU), name=name)
        self._fail(number, "parameter", f"'{escaped(p[3])}' after A B C; expected {usage}")

    def _sellmeier(self, number: int, name: str, p: List[bytes]) -> Material:
        k = 0.0
        if len(p) >= 2 and p[-2] == b"k":
            k, p = _extinction(self.path, number, "parameter", p[-1]), p[:-2]
        self._parameters(number, p, (2, 4, 6, 8, 10, 12), "sellmeier B1 C1 [B2 C2 ...] (one to six pairs) [k K]")
        v = [self._value(number, w) for w in p]
        return Material.sellmeier(v[0::2], v[1::2], k=k, name=name)

    def _table(self, number: int, name: str, p: List[bytes]) -> Material:
        if len(p) != 1:
            self._fail(number, "table file", f"{_count(len(p), 'field')} after 'table'; expected table FILE")
        path = self._beside(p[0])
        try:
            data = _read(path)
        except OSError as e:
            self._fail(number, "table file", f"cannot read '{escaped(p[0])}': {e.strerror or e}")
        return _table(path, data, name)

    def _database(self, number: int, name: str, p: List[bytes]) -> Material:
        """PAGE ending in .yml: a data file beside this one; otherwise a page
        of the user's database."""
        if len(p) != 1:
            self._fail(number, "page", f"database takes one page or .yml file, found {_count(len(p), 'parameter')}")
        page = os.fsdecode(p[0])
        if page.endswith(".yml"):
            path = self._beside(p[0])
        else:
            folder = database_folder(self.names.database)
            if folder is None:
                self._fail(number, "page", f"'{escaped(p[0])}' is a page of a database: give its folder "
                                           "(database=DIR or SARDUNE_DATABASE)")
            try:
                path = page_file(folder, page)
            except ValueError as e:
                self._fail(number, "page", str(e))
        data = self.names.data.get(path)
        if data is None:
            try:
                data = self.names.data[path] = parse_data_file(read_bounded(path, MAX_DATA_BYTES), path)
            except OSError as e:
                self._fail(number, "page", f"{escaped(os.fsencode(path))}: cannot open: {e.strerror or e}")
            except DesignFileError as e:
                if e.line is not None:
                    raise
                self._fail(number, "page", str(e))
        return from_data(data, name, definition=("database", path if page.endswith(".yml") else page))

    def _beside(self, relative: bytes) -> str:
        """A path relative to the folder of the file that names it."""
        return os.path.join(os.path.dirname(self.path), os.fsdecode(relative))


def _table(path: str, data: bytes, name: str) -> Material:
    rows = []
    for number, fields in _lines(path, data):
        _check_bytes(path, number, fields, _TABLE_ROW)
        if len(fields) != 3:
            raise DesignFileError(path, number, "line", f"{_count(len(fields), 'field')}; a row is WAVELENGTH_NM N K")
        w = _checked(path, number, "wavelength", fields[0], 0.0, float("inf"), low_open=True, unit=" nm")
        if rows and not w > rows[-1][0]:
            raise DesignFileError(path, number, "wavelength",
                                  f"{w:g} nm is not above the previous row's {rows[-1][0]:g} nm")
        rows.append((w, _index(path, number, "index", fields[1]),
                     _extinction(path, number, "extinction coefficient", fields[2])))
    if len(rows) < 2:
        raise DesignFileError(path, None, None, f"{_count(len(rows), 'row')}; a table needs at least two")
    w, n, k = zip(*rows)
    return Material.table(w, n, k, name=name, source=path)


# ---------------------------------------------------------------- writing

def write_design(path: PathLike, design: Any) -> None:
    """Writes `design` (a sardune.Design) as a design file: material
    definitions, media, layers from the substrate up, back layers. An index
    that has no design-file form (per-wavelength values, a function, a
    material without a definition) raises ValueError naming its place."""
    path = _shown("path", path)
    text = design_text(design)
    with open(path, "w", newline="\n") as f:
        f.write(text)


def design_text(design: Any) -> str:
    """The design file of `design` as text (see write_design)."""
    thick = design.substrate_thickness is not None
    media = [("incident", design.incident, True), ("substrate", design.substrate, False)]
    if thick:
        media.append(("exit_medium", design.exit_medium, False))
    front = [(f"layers[{j}]", l) for j, l in enumerate(design.layers)]
    back = [(f"back_layers[{j}]", l) for j, l in enumerate(design.back_layers)]
    used = [(name, v) for name, v, _ in media] + [(name, l.index) for name, l in front + back]
    lines = ["# sardune design file: layers from the substrate up"]
    lines += _definitions(used)
    for name, v, lossless in media:
        keyword = "exit" if name == "exit_medium" else name
        lines.append(f"{keyword} {_spec(name, v, lossless)}")
        if name == "substrate" and thick:
            lines.append(f"substrate_thickness {number_text(design.substrate_thickness / NM_PER_MM)}")
    lines += [f"{_spec(name, l.index, False)} {number_text(l.thickness)}" for name, l in front]
    lines += [f"back {_spec(name, l.index, False)} {number_text(l.thickness)}" for name, l in back]
    return "\n".join(lines) + "\n"


def _definitions(used: List[Tuple[str, Index]]) -> List[str]:
    """One `material` line per defined material, in order of first use."""
    lines, seen = [], {}
    for name, v in used:
        if not isinstance(v, Material) or BUILT_IN.built_in(v):
            continue
        if v.name in seen:
            if seen[v.name] is not v:
                raise ValueError(f"{name}: another material is named {v.name!r} too; a design file needs one "
                                 "name per material")
            continue
        if v.definition is None:
            raise ValueError(f"{name}: material {v.name!r} has no design-file definition")
        if not (_NAME.fullmatch(v.name.encode()) and len(v.name) <= MAX_NAME) or v.name in KEYWORDS + tuple(BUILT_IN):
            raise ValueError(f"{name}: {v.name!r} cannot name a material of a design file (a letter or _ first, "
                             "then letters, digits, _ . + -, at most 64 bytes; no keyword or built-in name)")
        seen[v.name] = v
        words = list(v.definition)
        if words[0] == "table" or (words[0] == "database" and words[1].endswith(".yml")):
            words[1] = _writable(name, v, os.path.abspath(words[1]))
        elif words[0] == "database":
            words[1] = _writable(name, v, words[1])
        lines.append(" ".join(["material", v.name] + [w if isinstance(w, str) else number_text(w) for w in words]))
    return lines


def _writable(name: str, m: Material, text: str) -> str:
    """A path or page as one field of a line: visible ASCII, no comment sign."""
    if not re.fullmatch(r"[!-\x7e]+", text) or "#" in text:
        raise ValueError(f"{name}: material {m.name}: '{escaped(os.fsencode(text))}' cannot be written in a design "
                         "file (a space, '#' or a byte outside printable ASCII)")
    return text


def _spec(name: str, v: Index, lossless: bool) -> str:
    if isinstance(v, Material):
        return v.name
    if not is_constant(v):
        raise ValueError(f"{name}: an index given as {type(v).__name__} has no design-file form; give a number "
                         "or a material")
    c = complex(v)
    if lossless:
        if c.imag != 0:
            raise ValueError(f"{name}: {c} absorbs; a design file's incident medium is lossless")
        return number_text(c.real)
    return f"{number_text(c.real)} {number_text(-c.imag + 0.0)}"


def number_text(v: float) -> str:
    """The shortest decimal that reads back as v, fixed or scientific
    (exponent of at least two digits), whichever is shorter, fixed on a tie."""
    if v == 0:
        return "0"
    digits, exponent = _shortest(v)
    sign = "-" if v < 0 else ""
    point = len(digits) + exponent  # digits before the decimal point
    if point >= len(digits):
        fixed = digits + "0" * (point - len(digits))
    elif point > 0:
        fixed = digits[:point] + "." + digits[point:]
    else:
        fixed = "0." + "0" * -point + digits
    e = point - 1
    scientific = digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + f"e{'-' if e < 0 else '+'}{abs(e):02d}"
    return sign + (fixed if len(fixed) <= len(scientific) else scientific)


def _shortest(v: float) -> Tuple[str, int]:
    """The shortest round-trip digits of |v| (repr's) and their decimal exponent."""
    t = decimal.Decimal(repr(abs(float(v)))).normalize().as_tuple()
    return "".join(map(str, t.digits)), t.exponent
