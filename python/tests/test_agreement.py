"""The package and sardune-spectrum agree: the same written design files,
the same wavelength grids, the same R, T and every dR/dd_k and dT/dd_k over
the design corpus at normal, oblique and grazing incidence, the same index of
every built-in material; and a design of library materials gives the
spectrum a plain numpy evaluation of the database's own files gives."""

import glob
import math
import os
import re

import numpy as np
import pytest
import yaml

import sardune
from support import stack_matrix_numpy

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
CORPUS = os.path.join(ROOT, "tests", "design_files", "good")
GOOD = sorted(glob.glob(os.path.join(CORPUS, "*.design")))
LIBRARY = os.path.join(ROOT, "python", "sardune", "data", "materials")


def materials_of(path):
    m = path[:-len(".design")] + ".materials"
    return m if os.path.exists(m) else None


def tool_sensitivities(tool, tmp_path, *arguments):
    """(R, T, dR (K, N), dT (K, N), wavelengths) of the tool's sensitivities
    file, or the finished process where the run failed."""
    out = tmp_path / "sensitivities.csv"
    p = tool(*arguments, "--sensitivities", out)
    if p.returncode != 0:
        return p
    rows = np.loadtxt(out, delimiter=",", skiprows=1, ndmin=2)
    K = (rows.shape[1] - 3) // 2
    return rows[:, 1], rows[:, 2], rows[:, 3:3 + K].T, rows[:, 3 + K:].T, rows[:, 0]


@pytest.mark.parametrize("path", GOOD, ids=os.path.basename)
def test_written_designs_are_the_tools_byte_for_byte(tool, tmp_path, path):
    materials = materials_of(path)
    sardune.read_design(path, materials=materials).write(tmp_path / "package.design")
    options = ["--materials", materials] if materials else []
    # the design is written before it is computed (one corpus file is not finite anywhere)
    tool("--design", path, *options, "--range", 500, 500, 1, "--write-design", tmp_path / "tool.design")
    assert (tmp_path / "package.design").read_bytes() == (tmp_path / "tool.design").read_bytes()
    again = sardune.read_design(tmp_path / "package.design")
    again.write(tmp_path / "again.design")
    assert (tmp_path / "again.design").read_bytes() == (tmp_path / "package.design").read_bytes()


def test_designs_of_database_pages_are_written_alike(tool, tmp_path):
    root = tmp_path / "db"
    (root / "data" / "main" / "X" / "nk").mkdir(parents=True)
    (root / "data" / "main" / "X" / "nk" / "Y.yml").write_text(
        "DATA:\n  - type: formula 5\n    wavelength_range: 0.3 2\n    coefficients: 1.75 0.01 -2\n")
    (tmp_path / "own.yml").write_text("DATA:\n  - type: tabulated nk\n    data: |\n        0.3 2.1 0.01\n"
                                      "        0.9 2.0 0\n")
    path = tmp_path / "pages.design"
    path.write_text("material P database main/X/nk/Y\nmaterial O database own.yml\nsubstrate O\nP 10\nTiO2 20\n")
    sardune.read_design(path, database=root).write(tmp_path / "package.design")
    p = tool("--design", path, "--database", root, "--range", 500, 500, 1, "--write-design", tmp_path / "tool.design")
    assert p.returncode == 0, p.stderr
    assert (tmp_path / "package.design").read_bytes() == (tmp_path / "tool.design").read_bytes()
    assert f"material O database {tmp_path / 'own.yml'}\n" in (tmp_path / "tool.design").read_text()


def agree(tool, tmp_path, path, angle, pol, materials=None, grid=(400, 800, 20)):
    """The tool's and the package's R, T, dR and dT of a design file agree
    to 1e-12, or both refuse it the same way (2: bad input, 1: not finite)."""
    options = ["--materials", materials] if materials else []
    got = tool_sensitivities(tool, tmp_path, "--design", path, *options, "--angle", repr(angle), "--pol", pol,
                             "--range", *grid)
    try:
        design = sardune.read_design(path, materials=materials)
        s = design.sensitivities(sardune.wavelength_grid(*grid), angle=angle, pol=pol)
    except sardune.NonFiniteResult:
        assert not isinstance(got, tuple) and got.returncode == 1, got
        return
    except ValueError as e:
        assert not isinstance(got, tuple) and got.returncode == 2, (got, e)
        return
    assert isinstance(got, tuple), got.stderr
    R, T, dR, dT, w = got
    assert np.array_equal(w, s.wavelengths)
    for name, a, b in (("R", R, s.R), ("T", T, s.T), ("dR", dR, s.dR), ("dT", dT, s.dT)):
        assert a.shape == b.shape and np.max(np.abs(a - b), initial=0) <= 1e-12, (name, angle, pol)


@pytest.mark.parametrize("path", GOOD + ["default"], ids=os.path.basename)
def test_tool_and_package_agree_on_every_derivative_at_any_angle(tool, tmp_path, path):
    if path == "default":
        path = os.path.join(ROOT, "python", "sardune", "data", "default.design")
    for angle in (0.0, 45.0, 89.9):
        for pol in "spu":
            agree(tool, tmp_path, path, angle, pol, materials_of(path))


def test_near_grazing_media_close_to_the_incident_one_agree(tool, tmp_path):
    # Layers and a substrate whose index is that of the incident medium or
    # close to it: their normal component vanishes at grazing incidence, and
    # n^2 - x^2 taken plainly there loses it (1e-9 in R at 89.99999 degrees).
    path = tmp_path / "near.design"
    path.write_text("1.0 0 5000\n1.0000001 0 3000\nsubstrate 1.0000002 0\n")
    for angle in (89.9, 89.99999):
        for pol in "sp":
            agree(tool, tmp_path, str(path), angle, pol)


def test_wavelength_grids_are_the_tools(tool, tmp_path):
    bare = tmp_path / "bare.design"
    bare.write_text("")
    for grid in ((400, 800, 1), (400, 800, 0.1), (1.1, 1.4, 0.1), (250.5, 2500, 7.3), (1, 1e6, 9999.9),
                 (532, 532, 1)):
        got = tool_sensitivities(tool, tmp_path, "--design", bare, "--range", *grid)
        assert np.array_equal(got[4], sardune.wavelength_grid(*grid)), grid


def test_every_built_in_material_has_the_tools_index(tool, tmp_path):
    # 50 wavelengths over each material's range: R and T of a thin film of it
    # on glass and of it as the substrate, which n and k decide
    for name in sardune.BUILT_IN:
        lo, hi = sardune.BUILT_IN[name].wavelength_range
        lo, hi = max(lo, 1.0), min(hi, 1e6)
        grid = (lo, hi, (hi - lo) / 49.5)
        path = tmp_path / "film.design"
        path.write_text(f"{name} 30\n")
        agree(tool, tmp_path, str(path), 0.0, "s", grid=grid)
        path.write_text(f"substrate {name}\n1.38 0 100\n")
        agree(tool, tmp_path, str(path), 0.0, "s", grid=grid)
        assert sardune.wavelength_grid(*grid).size == 50


# ---------------------------------------------------------------- library materials, three ways

def rows_of_file(name):
    """(wavelengths nm, n, k) of a built-in tabulated data file, read here
    with yaml itself."""
    with open(os.path.join(LIBRARY, f"{name}.yml")) as f:
        (item,) = yaml.safe_load(f)["DATA"]
    assert item["type"] == "tabulated nk"
    um, n, k = np.array([row.split() for row in item["data"].split("\n") if row.strip()], float).T
    return um, n, k


def numpy_index(name, w):
    um, n, k = rows_of_file(name)
    return np.interp(w / 1000, um, n) - 1j * np.interp(w / 1000, um, k)


def test_a_design_of_library_materials_is_the_database_files_spectrum(tool, tmp_path):
    layers = [("TiO2", 55.0), ("SiO2", 95.5), ("Ag", 30.0), ("TiO2", 20.0)]
    path = tmp_path / "library.design"
    path.write_text("substrate 1.52 0\n" + "".join(f"{m} {d}\n" for m, d in layers))
    R_tool, T_tool, *_ = tool_sensitivities(tool, tmp_path, "--design", path, "--range", 400, 800, 5)
    w = sardune.wavelength_grid(400, 800, 5)
    package = sardune.read_design(str(path)).spectrum(w)
    n = np.array([numpy_index(m, w) for m, _ in layers])
    M = stack_matrix_numpy(w, np.array([d for _, d in layers]), n, n)  # admittance n at normal incidence
    B, C = M[0, 0] + M[0, 1] * 1.52, M[1, 0] + M[1, 1] * 1.52
    R = np.abs((B - C) / (B + C)) ** 2
    T = 4 * 1.52 / np.abs(B + C) ** 2
    assert np.max(np.abs(R - package.R)) < 1e-12 and np.max(np.abs(T - package.T)) < 1e-12
    assert np.max(np.abs(R_tool - package.R)) < 1e-12 and np.max(np.abs(T_tool - package.T)) < 1e-12
    assert np.all(package.A > 0.005)  # the silver absorbs


# ---------------------------------------------------------------- the README's example

def readme_block(path, first_line):
    """The fenced block of a README whose first line starts so."""
    with open(path) as f:
        blocks = re.findall(r"```[a-z]*\n(.*?)```", f.read(), re.S)
    (block,) = [b for b in blocks if b.startswith(first_line)]
    return block


def test_the_readme_window_through_the_tool_and_the_package(tool, tmp_path):
    path = tmp_path / "ar-window.design"
    path.write_text(readme_block(os.path.join(ROOT, "README.md"), "# ar-window.design"))
    R_tool, T_tool, *_ = tool_sensitivities(tool, tmp_path, "--design", path, "--range", 430, 670, 5)
    scope = {}
    exec(readme_block(os.path.join(ROOT, "python", "README.md"), "# ar-window"), scope)
    window, s = scope["window"], scope["s"]
    assert window.substrate is sardune.N_BK7 and window.substrate_thickness == 1e6
    assert np.array_equal(s.wavelengths, sardune.wavelength_grid(430, 670, 5))
    read = sardune.read_design(str(path)).spectrum(s.wavelengths)
    for got in (read, s):
        assert np.max(np.abs(got.R - R_tool)) < 1e-12 and np.max(np.abs(got.T - T_tool)) < 1e-12
    # both faces coated: below 0.7 % where the bare window reflects 8 %
    bare = sardune.Design([], substrate="N-BK7", substrate_thickness=1e6).spectrum(s.wavelengths)
    assert np.all(s.R < 0.007) and np.all(bare.R > 0.08)
