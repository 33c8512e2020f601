"""The plot takes the spectrum tool's media options (materials by name, pages
of a database, --exit-k, --extrapolate) and plots a material's n and k."""

import os
import subprocess
import sys

import numpy as np
import pytest

import sardune
from sardune.plot import _arguments, build_design, material_grid, material_of

PACKAGE_DIR = os.path.join(os.path.dirname(__file__), "..")


def plot(eng, cwd, *args):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(PACKAGE_DIR), SARDUNE_LIBRARY=eng.path,
               PYTHONDONTWRITEBYTECODE="1", MPLCONFIGDIR=str(cwd))
    env.pop("SARDUNE_DATABASE", None)
    return subprocess.run([sys.executable, "-m", "sardune.plot", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=120)


def design_of(*argv):
    return build_design(_arguments(list(argv)))[0]


def test_media_options_are_the_tools(tmp_path, monkeypatch, capsys):
    monkeypatch.delenv("SARDUNE_DATABASE", raising=False)
    f = tmp_path / "thick.design"
    f.write_text("substrate 1.6 0\nsubstrate_thickness 2\n1.38 0 100\n")
    # -k alone keeps the file's index; an exit medium behind the file's thick substrate
    d = design_of("--design", str(f), "--substrate-k", "0.01", "--exit", "H2O", "--incident", "fused_silica")
    assert d.substrate == 1.6 - 0.01j and d.exit_medium is sardune.BUILT_IN["H2O"]
    assert d.incident is sardune.fused_silica and d.substrate_thickness == 2e6
    d = design_of("--design", str(f), "--exit-k", "0.2")
    assert d.exit_medium == 1 - 0.2j and d.incident == 1
    d = design_of("--substrate", "N-BK7", "--substrate-thickness", "1", "--extrapolate")
    assert d.substrate.extrapolate and d.substrate(250.0).real > sardune.N_BK7(300.0).real
    for argv, message in ((["--exit", "1.33"], "--exit: only behind a thick substrate"),
                          (["--substrate", "N-BK7", "--substrate-k", "0.1"], "--substrate-k"),
                          (["--design", str(f), "--exit", "H2O", "--exit-k", "0.1"], "--exit-k"),
                          (["--substrate", "Unobtainium"], "--substrate: unknown material 'Unobtainium'"),
                          (["--substrate", "main/X/nk/Y"], "--substrate: 'main/X/nk/Y' is a page of a database")):
        with pytest.raises((ValueError, SystemExit)) as e:  # by argparse (exit 2) or when the design is built
            design_of(*argv)
        said = capsys.readouterr().err if isinstance(e.value, SystemExit) else str(e.value)
        assert message in said and getattr(e.value, "code", 2) == 2, (argv, said)


def test_pages_of_a_database_by_option(tmp_path, capsys):
    root = tmp_path / "db"
    (root / "data" / "main" / "X").mkdir(parents=True)
    (root / "data" / "main" / "X" / "Y.yml").write_text(
        "DATA:\n  - type: formula 5\n    wavelength_range: 0.3 2\n    coefficients: 1.75\n")
    d = design_of("--substrate", "main/X/Y", "--database", str(root))
    assert (d.substrate.name, d.substrate(500.0)) == ("Y", 1.75)
    with pytest.raises(SystemExit) as e:
        _arguments(["--database", str(tmp_path)])
    assert e.value.code == 2 and "--database: holds no data/ folder" in capsys.readouterr().err


def test_material_plots_n_and_k_over_its_range(eng, tmp_path):
    w = material_grid(sardune.BUILT_IN["TiO2"], _arguments(["--material", "TiO2"]))
    assert (w[0], w[-1]) == sardune.BUILT_IN["TiO2"].wavelength_range and w.size == 2001
    assert np.allclose(np.diff(np.log(w)), np.log(w[1] / w[0]))  # three decades: even on a log scale
    materials = tmp_path / "m.txt"
    materials.write_text("material Film cauchy 1.45 0.004 0\n")
    assert material_of(_arguments(["--material", "Film", "--materials", str(materials)])).name == "Film"
    p = plot(eng, tmp_path, "--material", "Ag", "--output", "ag.png")
    assert p.returncode == 0 and p.stdout.strip() == str(tmp_path / "ag.png"), p.stderr
    assert (tmp_path / "ag.png").read_bytes()[:4] == b"\x89PNG"
    p = plot(eng, tmp_path, "--material", "Unobtainium", "--output", "none.png")
    assert p.returncode == 2 and "--material: unknown material" in p.stderr and not (tmp_path / "none.png").exists()
    # outside a material's data: bad input unless asked to extrapolate
    p = plot(eng, tmp_path, "--substrate", "N-BK7", "--range", "250", "400", "50", "--output", "none.png")
    assert p.returncode == 2 and "300 to 2500 nm" in p.stderr and not (tmp_path / "none.png").exists()
    p = plot(eng, tmp_path, "--substrate", "N-BK7", "--range", "250", "400", "50", "--extrapolate", "--output",
             "glass.png")
    assert p.returncode == 0, p.stderr
