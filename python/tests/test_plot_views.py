"""The plot command's views: each writes a whole PNG, and bad combinations
of options exit 2 as the spectrum tool's bad input does, writing nothing."""

import numpy as np
import pytest

from sardune import plot

AR = "incident 1\nsubstrate 1.52 0\n2.1 0 13.5\n1.46 0 34.0\n2.1 0 117.0\n1.38 0 92.0\n"


@pytest.fixture
def run(eng, tmp_path, monkeypatch):
    monkeypatch.setenv("MPLCONFIGDIR", str(tmp_path))
    design = tmp_path / "ar.design"
    design.write_text(AR)

    def main(*args, output="view.png"):
        path = tmp_path / output
        code = plot.main(["--library", eng.path, "--design", str(design), *args, "--output", str(path)])
        return code, path
    return main


@pytest.mark.parametrize("view", [["--field", "550", "--angle", "30", "--pol", "p"], ["--admittance", "500"],
                                  ["--admittance", "500", "--pol", "u", "--angle", "45"],
                                  ["--colour", "--illuminant", "A", "--observer", "10"],
                                  ["--map", "T", "--step", "20"]])
def test_views_write_images(run, view, capsys):
    code, path = run(*view)
    assert code == 0 and path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and path.stat().st_size > 20000
    assert capsys.readouterr().out.strip() == str(path)


def test_bad_view_options_exit_2(run, capsys):
    for bad, option in ((["--field", "550", "--tolerance", "10", "--sigma", "1"], "--tolerance"),
                        (["--field", "550", "--colour"], "--colour"), (["--field", "0"], "--field"),
                        (["--admittance", "2e6"], "--admittance"), (["--illuminant", "A"], "--illuminant"),
                        (["--colour", "--observer", "5"], "--observer"), (["--map", "X"], "--map")):
        with pytest.raises(SystemExit) as e:
            run(*bad)
        assert e.value.code == 2 and option in capsys.readouterr().err, bad
    # the field needs a semi-infinite substrate: bad input, no image
    code, path = run("--field", "550", "--substrate-thickness", "1", output="none.png")
    assert code == 2 and "substrate_thickness" in capsys.readouterr().err and not path.exists()


def test_titles_name_the_view():
    assert plot.heading("AR", 4, None, "u") == "AR: 4 layers, unpolarised"
    assert plot.heading("AR", 1, 30.0, "p") == "AR: 1 layer, 30\N{DEGREE SIGN} p-polarised"
    locus = plot.spectral_locus(2)
    assert np.array_equal(locus[0], locus[-1]) and np.all((locus >= 0) & (locus <= 1))
