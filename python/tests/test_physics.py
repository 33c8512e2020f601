"""The physics layer: energy balance, known reflectances, derivatives against
central differences, design files and the plot command."""

import os
import subprocess
import sys

import numpy as np
import pytest

import sardune
from sardune import Design, Layer
from support import LOSSLESS

W = np.linspace(420.0, 780.0, 91)
PACKAGE_DIR = os.path.join(os.path.dirname(__file__), "..")


def methods(eng):
    return ["complex"] + (["real"] if eng.has("update_optiprops_real_n") else [])


@pytest.fixture
def engine_ready(need):
    need("calc_M", "forward_backward")


class TestSpectrum:
    @pytest.mark.parametrize("pol", ["s", "p"])
    @pytest.mark.parametrize("angle", [0.0, 30.0, 60.0, 85.0])
    def test_lossless_conserves_energy(self, eng, engine_ready, angle, pol):
        results = [LOSSLESS.spectrum(W, angle=angle, pol=pol, engine=eng, method=m) for m in methods(eng)]
        for s in results:
            assert np.allclose(s.R + s.T, 1, rtol=0, atol=1e-12)
            assert np.all((s.R > 0) & (s.R < 1))
        for s in results[1:]:  # the real-index path agrees with the stack-matrix path
            assert np.allclose(s.R, results[0].R, rtol=0, atol=1e-12)

    def test_quarter_wave_reflector_peak(self, eng, engine_ready):
        nH, nL, ns = 2.35, 1.46, 1.52
        lossless = Design([Layer(l.index.real, l.thickness) for l in sardune.default_design().layers], ns, 1.0)
        Y = (nH / nL) ** 18 * nH ** 2 / ns
        for m in methods(eng):
            R = lossless.spectrum(np.array([550.0]), engine=eng, method=m).R[0]
            assert R == pytest.approx(((1 - Y) / (1 + Y)) ** 2, abs=1e-13)

    def test_absorbing_layers_absorb(self, eng, engine_ready):
        d = sardune.default_design()
        for angle, pol in ((0.0, "s"), (45.0, "p")):
            s = d.spectrum(np.linspace(400, 800, 401), angle=angle, pol=pol, engine=eng)
            assert np.all(s.A > 0) and np.all(s.A < 0.05)
        assert d.spectrum(W, engine=eng, method="auto").A.min() > 0  # auto never drops the extinction
        with pytest.raises(ValueError, match="method: 'real' needs"):
            d.spectrum(W, engine=eng, method="real")

    def test_dispersive_indices(self, eng, engine_ready):
        cauchy = lambda w: 2.0 + 2e4 / w ** 2 - 0.001j
        by_call = Design([Layer(cauchy, 80.0), (1.45, 100.0)], substrate=lambda w: 1.5 + 3e3 / w ** 2)
        by_array = Design([Layer(cauchy(W), 80.0), (1.45, 100.0)], substrate=1.5 + 3e3 / W ** 2)
        a, b = by_call.spectrum(W, angle=20, pol="p", engine=eng), by_array.spectrum(W, angle=20, pol="p", engine=eng)
        assert np.array_equal(a.R, b.R) and np.array_equal(a.T, b.T)
        with pytest.raises(ValueError, match=r"layers\[0\].index: expected a number or 91 values"):
            Design([Layer(cauchy(W[:-1]), 80.0)]).spectrum(W, engine=eng)
        with pytest.raises(ValueError, match="incident: an oblique angle needs"):
            Design([(2.0, 50.0)], incident=1.33 - 0.01j).spectrum(W, angle=10, engine=eng)
        with pytest.raises(ValueError, match="pol:"):
            LOSSLESS.spectrum(W, angle=0, pol="x", engine=eng)


class TestSensitivities:
    @pytest.mark.parametrize("design, angle, pol", [(sardune.default_design(), 0.0, "s"),
                                                   (sardune.default_design(), 50.0, "p"),
                                                   (LOSSLESS, 35.0, "s"), (LOSSLESS, 70.0, "p")])
    def test_against_central_differences(self, eng, engine_ready, design, angle, pol):
        w = np.linspace(450.0, 700.0, 26)
        h = 1e-4
        for m in methods(eng) if design is LOSSLESS else ["auto"]:
            s = design.sensitivities(w, angle=angle, pol=pol, engine=eng, method=m)
            assert s.dR.shape == s.dT.shape == (len(design), w.size)
            for k in range(len(design)):
                up = design.with_thickness(k, design.layers[k].thickness + h).spectrum(w, angle=angle, pol=pol, engine=eng)
                down = design.with_thickness(k, design.layers[k].thickness - h).spectrum(w, angle=angle, pol=pol, engine=eng)
                assert np.allclose(s.dR[k], (up.R - down.R) / (2 * h), rtol=1e-5, atol=1e-9), (m, k)
                assert np.allclose(s.dT[k], (up.T - down.T) / (2 * h), rtol=1e-5, atol=1e-9), (m, k)
            if design is LOSSLESS:
                assert np.allclose(s.dR + s.dT, 0, rtol=0, atol=1e-12)


class TestDesignFiles:
    def test_default_design(self):
        d = sardune.default_design()
        assert len(d) == 19 and d.substrate == 1.52 and d.incident == 1.0
        assert [l.index for l in d.layers[:3]] == [2.35 - 0.0005j, 1.46 - 0.0001j, 2.35 - 0.0005j]
        assert d.layers[-1].index == d.layers[0].index
        assert d.layers[0].thickness == pytest.approx(550 / (4 * 2.35))

    def test_reads_layers_from_substrate_up(self, tmp_path):
        f = tmp_path / "d.txt"
        f.write_text("# n k d\n\n2.35 0.0005 58.5   # H on glass\n  1.46 0 94.2\n\t# end\n")
        d = sardune.read_design(str(f))
        assert [(l.index, l.thickness) for l in d.layers] == [(2.35 - 0.0005j, 58.5), (1.46 + 0j, 94.2)]

    def test_messages_locate_the_field_and_escape_bytes(self, tmp_path):
        f = tmp_path / "bad.txt"
        f.write_bytes(b"1.5 0 10\r\n2.0 0 ab\xff\x07c\n")
        with pytest.raises(sardune.DesignFileError) as e:
            sardune.read_design(str(f))
        assert str(e.value) == f"{f}:2: thickness: bytes \\xff\\x07 are not allowed outside a comment (in 'ab\\xff\\x07c')"
        assert (e.value.path, e.value.line, e.value.field) == (str(f), 2, "thickness")
        assert isinstance(e.value, ValueError) and isinstance(e.value, sardune.SardunError)

    def test_reading_is_bounded(self, tmp_path):
        import time
        start = time.monotonic()
        with pytest.raises(sardune.DesignFileError, match="^/dev/zero: larger than 16 MiB$"):
            sardune.read_design("/dev/zero")
        assert time.monotonic() - start < 10  # stops at the limit instead of reading on
        f = tmp_path / "big.txt"
        f.write_bytes(b"1.5 0 10\n" + (b"#" * 4095 + b"\n") * 4095 + b"#" * 4087)  # exactly 16 MiB is read
        assert len(sardune.read_design(str(f))) == 1
        with open(f, "ab") as g:
            g.write(b"\n")
        with pytest.raises(sardune.DesignFileError, match="larger than 16 MiB"):
            sardune.read_design(str(f))
        f.write_bytes(b"1.5 0 10 #" + b"x" * 4086 + b"\n" + b"1.5 0 10 #" + b"x" * 4087)
        with pytest.raises(sardune.DesignFileError, match=":2: line: longer than 4096 bytes"):
            sardune.read_design(str(f))
        with pytest.raises(ValueError, match="path: an empty path"):
            sardune.read_design("")
        with pytest.raises(ValueError, match="materials: an empty path"):
            sardune.read_design(str(f), materials="")

    def test_materials_file_names_reach_the_design(self, tmp_path):
        m, d = tmp_path / "m.txt", tmp_path / "d.txt"
        m.write_text("material H constant 2.35 0.001\n")
        d.write_text("H 58.5\nfused_silica 10\n")
        design = sardune.read_design(str(d), materials=str(m))
        assert design.layers[0].index(np.array([550.0])) == pytest.approx(2.35 - 0.001j)
        assert design.layers[1].index is sardune.fused_silica
        with pytest.raises(sardune.DesignFileError, match=":1: material: unknown material 'H'"):
            sardune.read_design(str(d))
        d.write_text("material H constant 2.0 0\nH 10\n")
        with pytest.raises(sardune.DesignFileError, match=f"d.txt:1: name: H: already defined at {m}:1"):
            sardune.read_design(str(d), materials=str(m))


def run_plot(eng, cwd, *args):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(PACKAGE_DIR), SARDUNE_LIBRARY=eng.path,
               PYTHONDONTWRITEBYTECODE="1", MPLCONFIGDIR=str(cwd))
    return subprocess.run([sys.executable, "-m", "sardune.plot", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


def test_plot_command_writes_png(eng, engine_ready, tmp_path):
    p = run_plot(eng, tmp_path)
    assert p.returncode == 0, p.stderr
    out = tmp_path / "sardune-plot.png"
    assert p.stdout.strip() == str(out)
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and out.stat().st_size > 10000

    design = tmp_path / "two.txt"
    design.write_text("H 70\n1.4 0 100\n")
    materials = tmp_path / "m.txt"
    materials.write_text("material H constant 2.0 0.001\n")
    p = run_plot(eng, tmp_path, "--design", str(design), "--materials", str(materials), "--angle", "30",
                 "--pol", "u", "--from", "500", "--to", "600", "--step", "5", "--incident", "1.0",
                 "--substrate", "1.6", "--substrate-k", "0.001", "--threads", "1", "--output", "sub.png")
    assert p.returncode == 0 and (tmp_path / "sub.png").stat().st_size > 0, p.stderr
    p = run_plot(eng, tmp_path, "--range", "500", "600", "5", "--output", "range.png")
    assert p.returncode == 0 and (tmp_path / "range.png").exists(), p.stderr

    # bad input exits 2, a result that is not finite 1, as the spectrum tool does; no image either way
    design.write_text("2.0 0.001\n")
    p = run_plot(eng, tmp_path, "--design", str(design), "--output", "none.png")
    assert p.returncode == 2 and "two.txt:1: line:" in p.stderr and not (tmp_path / "none.png").exists()
    design.write_text("1.5 0.5 1e6\n")
    p = run_plot(eng, tmp_path, "--design", str(design), "--output", "none.png")
    assert p.returncode == 1 and "not finite at 400 nm" in p.stderr and not (tmp_path / "none.png").exists()
    p = run_plot(eng, tmp_path, "--output", str(tmp_path / "no" / "such" / "folder.png"))
    assert p.returncode == 1 and "cannot write" in p.stderr
    # the file written is the one printed, whatever its name
    p = run_plot(eng, tmp_path, "--range", "500", "600", "50", "--substrate", "N-BK7", "--output", "noext")
    assert p.returncode == 0 and p.stdout.strip() == str(tmp_path / "noext"), p.stderr
    assert (tmp_path / "noext").read_bytes()[:4] == b"\x89PNG" and not (tmp_path / "noext.png").exists()
    p = run_plot(eng, tmp_path, "--substrate", "unobtainium", "--output", "none.png")
    assert p.returncode == 2 and "unobtainium" in p.stderr
    for bad in (["--angle", "90"], ["--angle", "-1"], ["--angle", "nan"], ["--from", "0"], ["--step", "-1"],
                ["--pol", "x"], ["--substrate-k", "-1"], ["--threads", "2000"], ["--threads", "1.5"],
                ["--materials", str(materials)]):
        p = run_plot(eng, tmp_path, *bad, "--output", "none.png")
        assert p.returncode == 2 and bad[0] in p.stderr and not (tmp_path / "none.png").exists(), bad
    p = run_plot(eng, tmp_path, "--version")
    assert p.returncode == 0 and p.stdout == f"python3 -m sardune.plot {sardune.__version__}\n"


def test_plot_scales_to_the_data():
    from sardune.plot import axis_range, heading
    # an antireflection coating: R below 1.5 %, T above 98.5 %
    lo, hi = axis_range([np.array([0.2, 1.4, 0.7])])
    assert 0 <= lo <= 0.2 and 1.4 <= hi <= 2.0
    lo, hi = axis_range([np.array([98.6, 99.8])])
    assert 97.5 <= lo <= 98.6 and 99.8 <= hi <= 101.01
    lo, hi = axis_range([np.array([50.0, 50.0])])
    assert hi - lo >= 0.5 and lo < 50 < hi
    assert heading("AR", 1, 0.0, "s") == "AR: 1 layer, 0\N{DEGREE SIGN} s-polarised"
    assert heading("HR", 19, 45.0, "u").startswith("HR: 19 layers, 45")


def test_plot_draws_a_tolerance_band(eng, engine_ready, tmp_path, capsys):
    p = run_plot(eng, tmp_path, "--tolerance", "40", "--sigma", "1.5", "--sigma-rel", "0.01", "--band", "T",
                 "--step", "4", "--output", "band.png")
    assert p.returncode == 0 and (tmp_path / "band.png").stat().st_size > 10000, p.stderr
    from sardune.plot import _arguments
    for bad, option in ((["--tolerance", "40"], "--tolerance"), (["--sigma", "1"], "--sigma"),
                        (["--tolerance", "40", "--sigma", "-1"], "--sigma"),
                        (["--tolerance", "2.5", "--sigma", "1"], "--tolerance"),
                        (["--tolerance", "0", "--sigma", "1"], "--tolerance"),
                        (["--tolerance", "40", "--sigma-index", "1", "--seed", "-1"], "--seed"),
                        (["--tolerance", "40", "--sigma", "1", "--band", "A"], "--band")):
        with pytest.raises(SystemExit) as e:
            _arguments(bad)
        assert e.value.code == 2 and option in capsys.readouterr().err, bad
    # the band's curves are picked by level, whatever order the levels have
    from sardune.plot import band
    w = np.linspace(450.0, 650.0, 11)
    t = LOSSLESS.tolerance(w, sardune.ErrorModel(thickness=2.0), 30, seed=3, percentiles=(50, 95, 5), engine=eng)
    low, median, high = band(t, "R")
    assert np.array_equal(low, 100 * t.R.percentiles[2]) and np.array_equal(high, 100 * t.R.percentiles[1])
    assert np.array_equal(median, 100 * t.R.percentiles[0]) and np.all(low < high)
