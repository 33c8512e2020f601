"""The optical-constants database's data files and the built-in library:
formulas against values worked out by hand from real coefficients, the
published glasses, a metal between its rows, ranges, bad files, pages of a
user's copy and the search."""

import os

import numpy as np
import pytest

import sardune
from sardune import DesignFileError, MaterialError, database, materials


def data_of(yaml: str, path: str = "x.yml") -> database.Data:
    return database.parse_data_file(yaml.encode(), path)


def formula_file(formula: int, coefficients: str, wavelength_range: str = "0.1 30") -> str:
    return (f"DATA:\n  - type: formula {formula}\n    wavelength_range: {wavelength_range}\n"
            f"    coefficients: {coefficients}\n")


def index_of(yaml: str, wavelength: float) -> complex:
    return materials.from_data(data_of(yaml), "X")(np.array([wavelength]))[0]


# Coefficients of real data files; the indices worked out from them in
# 60-digit decimal arithmetic (the same cases as the tool's tests).
FORMULAS = [
    (1, "0 0.6961663 0.0684043 0.4079426 0.1162414 0.8974794 9.896161", 587.5618, 1.458463687137226),
    (2, "0 1.03961212 0.00600069867 0.231792344 0.0200179144 1.01046945 103.560653", 587.5618, 1.5168000345005885),
    (3, "2.986556 0.01828907 -2 -0.01445419 2", 600, 1.741308549287639),
    (4, "8.393 0.14383 0 0.2421 2 4430.99 0 36.71 2", 800, 2.31318550949987),
    (5, "1.875 6.28e-3 -2 5.80e-4 -4", 550, 1.9020986954443002),
    (6, "0 2.50141e-3 91.012 5.00283e-4 87.892 5.22343e-2 214.02", 300, 1.00029524949515),
    (7, "3.41983 0.159906 -0.123109 1.26878E-6 -1.95104E-9", 5000, 3.4260664955562214),
    (7, "3.41983 0.159906 -0.123109 1.26878E-6 -1.95104E-9 4e-11", 5000, 3.426067120556221),
    (8, "0.452505 0.09939 0.070537 -0.000150", 550, 2.2755844798783462),
    (9, "2.51527 0.0240 0.0300 0.020 1.52 0.8771", 600, 1.605403788031452),
]


@pytest.mark.parametrize("formula, coefficients, wavelength, n", FORMULAS, ids=lambda v: str(v)[:12])
def test_each_formula_gives_the_index_of_its_coefficients(formula, coefficients, wavelength, n):
    got = index_of(formula_file(formula, coefficients), wavelength)
    assert got.real == pytest.approx(n, rel=4e-16, abs=0) and got.imag == 0


def test_a_formula_without_a_real_index_there_names_the_material():
    with pytest.raises(MaterialError, match=r"^X \(x.yml\): n\^2 is not positive at 400 nm"):
        index_of(formula_file(2, "0 1 0.25"), 400.0)


def test_built_in_library_keeps_the_published_glasses_and_interpolates_metals():
    # the helium d line
    assert sardune.fused_silica(587.5618).real == pytest.approx(1.45846, abs=5e-6)
    assert sardune.N_BK7(587.5618).real == pytest.approx(1.51680, abs=5e-6)
    assert sardune.BUILT_IN["N-BK7"] is sardune.N_BK7 is materials.material("N-BK7")
    # N-BK7's k from its rows (0.500 um 9.5781E-09): the same k as n - ik
    assert sardune.N_BK7(500.0).real == pytest.approx(1.5214144757734769, rel=4e-16, abs=0)
    assert sardune.N_BK7(500.0).imag == -9.5781e-09
    # silver between its rows 0.5209 0.05 3.324 and 0.5486 0.06 3.586
    f = (535 - 520.9) / (548.6 - 520.9)
    ag = materials.material("Ag")(np.array([535.0, 520.9]))
    assert ag[0].real == pytest.approx(0.05 + f * 0.01, abs=1e-15)
    assert -ag[0].imag == pytest.approx(3.324 + f * 0.262, abs=1e-14)
    assert ag[1] == 0.05 - 3.324j
    assert len(sardune.BUILT_IN) >= 20 and all(isinstance(sardune.BUILT_IN[n], sardune.Material)
                                               for n in sardune.BUILT_IN)


def test_outside_its_data_a_material_is_an_error_unless_extrapolated():
    silica = materials.material("SiO2")
    with pytest.raises(MaterialError, match=r"^SiO2 \(.*SiO2.yml\): 240 nm is outside its data's range 250 to "
                                            r"2500 nm \(use Material.extrapolated\(\)"):
        silica(np.array([500.0, 240.0]))
    silica(np.array([250.0, 2500.0]))
    with pytest.raises(MaterialError):
        silica(2500.0000001)
    # extrapolated, rows hold their end values and formulas go on
    assert silica.extrapolated()(240.0) == 1.517462 - 0.000260j
    yaml = "DATA:\n  - type: formula 5\n    wavelength_range: 0.4 0.8\n    coefficients: 1.5 0.01 -2\n"
    m = materials.from_data(data_of(yaml), "X")
    with pytest.raises(MaterialError, match="399 nm is outside its data's range 400 to 800 nm"):
        m(399.0)
    assert m.extrapolated()(200.0).real == pytest.approx(1.5 + 0.01 / 0.04, abs=1e-15)
    # the range of n and k together: k rows from 0.5 um narrow a formula's 0.4 to 0.8
    narrowed = data_of("DATA:\n  - type: formula 5\n    wavelength_range: 0.4 0.8\n    coefficients: 1.5\n"
                       "  - type: tabulated k\n    data: |\n        0.5 0.1\n        0.9 0.2\n")
    assert narrowed.wavelength_range == (500.0, 800.0)
    assert -materials.from_data(narrowed, "X")(700.0).imag == pytest.approx(0.15, abs=1e-15)


def test_wavelengths_come_from_micrometres_by_their_decimal_exponent():
    # 0.3791 um times 1000 is 379.09999999999997 nm
    d = data_of("DATA:\n  - type: tabulated nk\n    data: |\n        0.3791 1.5 0\n        1.0049e0 1.6 0.5\n")
    assert d.n_rows[0].tolist() == [379.1, 1004.9] and d.wavelength_range == (379.1, 1004.9)
    yaml = "DATA:\n  - type: formula 5\n    wavelength_range: 3791e-4 44e-1\n    coefficients: 1.5\n"
    assert data_of(yaml).wavelength_range[0] == 379.1


ITEM = "DATA:\n  - type: "
BAD_FILES = [
    ("", "x.yml:1: DATA: missing"),
    ("REFERENCES: none\n", "x.yml:1: DATA: missing"),
    ("DATA: [unclosed\n", "x.yml:2: YAML: "),
    ("DATA: 5\n", "x.yml:1: DATA: expected a list of one or two items"),
    ("DATA:\n  - 5\n", "x.yml:2: DATA: expected an item with a type"),
    ("DATA:\n  - data: 1 2\n", "x.yml:2: type: missing"),
    (ITEM + "formula 10\n", "x.yml:2: type: unknown type 'formula 10'"),
    (ITEM + "tabulated\n", "x.yml:2: type: unknown type 'tabulated'"),
    (ITEM + "formula 1\n    coefficients: 0 1\n", "x.yml:2: wavelength_range: missing"),
    (ITEM + "formula 1\n    wavelength_range: 0.5\n", "x.yml:3: wavelength_range: expected LO HI in um"),
    (ITEM + "formula 1\n    wavelength_range: 0.5 0.4\n", "x.yml:3: wavelength_range: '0.5 0.4' is not an interval"),
    (ITEM + "formula 1\n    wavelength_range: 0 0.4\n", "x.yml:3: wavelength_range: wavelength 0 um is not positive"),
    (ITEM + "formula 1\n    wavelength_range: 0.2 2\n", "x.yml:2: coefficients: missing"),
    (ITEM + "formula 1\n    wavelength_range: 0.2 2\n    coefficients: 0 1\n",
     "x.yml:4: coefficients: formula 1 takes C1 and up to 8 pairs: 1, 3, ..., 17 coefficients, found 2"),
    (ITEM + "formula 4\n    wavelength_range: 0.2 2\n    coefficients: 1 2 3\n",
     "x.yml:4: coefficients: formula 4 takes 1, 5, 9, 11, 13, 15 or 17 coefficients, found 3"),
    (ITEM + "formula 8\n    wavelength_range: 0.2 2\n    coefficients: 1 2\n",
     "x.yml:4: coefficients: formula 8 takes 1, 3 or 4 coefficients, found 2"),
    (ITEM + "formula 2\n    wavelength_range: 0.2 2\n    coefficients: 0 1,5 0.01\n",
     "x.yml:4: coefficients: '1,5' is not a number"),
    (ITEM + "formula 2\n    wavelength_range: 0.2 2\n    coefficients: [0, 1, 0.01]\n",
     "x.yml:4: coefficients: expected a text of numbers"),
    (ITEM + "formula 2\n    wavelength_range: 0.2 2\n    coefficients: 0 1\xa00.01\n",
     "x.yml:4: coefficients: '1\\xc2\\xa00.01' is not a number"),
    (ITEM + "tabulated nk\n    data: |\n        0.4 1.5 0\n        0.5 1.4\n",
     "x.yml:5: data: expected 3 numbers (lambda n k) per row, found 2"),
    (ITEM + "tabulated n\n    data: |\n        0.4 1.5\n\n        0.4 1.4\n",
     "x.yml:6: data: wavelength 0.4 um is not above the previous row's"),
    (ITEM + "tabulated nk\n    data: |\n        0.4 -1.5 0\n        0.5 1.4 0\n", "x.yml:4: data: n -1.5 is not positive"),
    (ITEM + "tabulated k\n    data: |\n        0.4 0\n        0.5 -1e-3\n",
     "x.yml:5: data: k -1e-3 is negative (absorption has k >= 0, n + ik)"),
    (ITEM + "tabulated n\n    data: |\n        0.4 1.5\n", "x.yml:3: data: expected at least two rows, found 1"),
    (ITEM + "tabulated k\n    data: |\n        0.4 0\n        0.5 0\n",
     "x.yml:2: DATA: no n: a formula, tabulated n or tabulated nk is needed"),
    (ITEM + "tabulated n\n    data: |\n        0.4 1.5\n        0.5 1.5\n  - type: tabulated nk\n    data: |\n"
            "        0.4 1.5 0\n        0.5 1.5 0\n", "x.yml:6: DATA: n is already given at line 2"),
    (ITEM + "tabulated n\n    data: |\n        0.4 1.5\n        0.5 1.5\n  - type: tabulated k\n    data: |\n"
            "        0.6 0\n        0.7 0\n", "x.yml:6: DATA: the wavelengths of k do not meet those of n"),
    (ITEM + "tabulated nk\n    data: 0.4 1.5 0 0.5 1.4 0\n",
     "x.yml:3: data: expected 3 numbers (lambda n k) per row, found 6"),
    ("DATA: [" + "0," * 20000 + "0]\n", "x.yml:1: YAML: more than 10000 nodes"),
    ("[" * 3000, "x.yml:2: YAML: "),  # the line of a syntax error is the parser's
]


@pytest.mark.parametrize("yaml, message", BAD_FILES, ids=lambda v: v[:40])
def test_bad_files_name_the_file_line_and_field(yaml, message):
    with pytest.raises(DesignFileError) as e:
        data_of(yaml)
    assert str(e.value).startswith(message) and str(e.value).isascii()


def test_files_above_four_mebibytes_are_refused_before_they_are_parsed(tmp_path):
    big = tmp_path / "big.yml"
    big.write_bytes(b"# " + b"." * database.MAX_BYTES + b"\n")
    with pytest.raises(DesignFileError, match=f"^{big}: larger than 4 MiB$"):
        materials.read_data_file(str(big))


def test_pages_name_files_of_a_users_copy(tmp_path, monkeypatch):
    root = tmp_path / "database"
    (root / "data" / "main" / "X" / "nk").mkdir(parents=True)
    (root / "data" / "main" / "X" / "nk" / "Some One.yml").write_text(formula_file(5, "1.25"))
    (root / "data" / "main" / "X" / "nk" / "Y.yml").write_text(formula_file(5, "1.5"))
    (root / "data" / "main" / "X" / "about.yml").write_text("not a page\n")
    assert database.page_file(str(root), "main/X/nk/Some One") == str(root / "data/main/X/nk/Some One.yml")
    for page in ("", "/etc/passwd", "main/../../x", "main//x", "main/./x", "main/x/", "a\nb"):
        with pytest.raises(ValueError, match="is not a page of the database"):
            database.page_file(str(root), page)
    monkeypatch.delenv("SARDUNE_DATABASE", raising=False)
    with pytest.raises(ValueError, match="'main/X/nk/Y' is a page of a database: give its folder"):
        Design_of("main/X/nk/Y")
    with pytest.raises(ValueError, match="database: '.*' holds no data/ folder"):
        materials.material("main/X/nk/Y", database=str(tmp_path))
    # by argument or by the environment, in the package and in design files
    assert materials.material("main/X/nk/Y", database=str(root))(500.0) == 1.5
    monkeypatch.setenv("SARDUNE_DATABASE", str(root))
    y = Design_of("main/X/nk/Y").substrate
    assert (y.name, y.definition, y(500.0)) == ("Y", ("database", "main/X/nk/Y"), 1.5)
    design = tmp_path / "d.design"
    design.write_text("material P database main/X/nk/Gao\nP 10\n")
    with pytest.raises(DesignFileError, match=f"^{design}:1: page: .*/data/main/X/nk/Gao.yml: cannot open: No such"):
        sardune.read_design(str(design))
    design.write_text("material P database main/X/nk/Y\nP 10\n")
    assert sardune.read_design(str(design)).layers[0].index(600.0) == 1.5
    # the search: built in first, then pages, a whole word in any case
    found = materials.search("x")
    assert [f.name for f in found] == ["main/X/nk/Some One", "main/X/nk/Y"]
    assert found[1].wavelength_range == (100.0, 30000.0) and not found[1].built_in


def Design_of(substrate):
    return sardune.Design([], substrate=substrate)


def test_search_lists_the_library_with_ranges_and_references(monkeypatch):
    monkeypatch.delenv("SARDUNE_DATABASE", raising=False)
    tio2 = materials.search("TiO2")
    assert [f.name for f in tio2] == ["TiO2"] and tio2[0].built_in
    assert tio2[0].page == "main/TiO2/nk/Siefke" and "Siefke" in tio2[0].reference
    assert tio2[0].wavelength_range == materials.material("TiO2").wavelength_range
    # by page (both SiO2 films and bulk silica come from main/SiO2), by word of the description, any case
    assert [f.name for f in materials.search("sio2")] == ["SiO2", "fused_silica"]
    assert [f.name for f in materials.search("silver")] == ["Ag"]
    assert {f.name for f in materials.search("Johnson")} == {"Ag", "Au", "Cu", "Cr"}
    assert materials.search("Ag") == materials.search("silver")  # not every word that holds "ag"
    assert materials.search("unobtainium") == []
