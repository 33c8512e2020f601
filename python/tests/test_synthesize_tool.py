"""python3 -m sardune.synthesize: a problem file to a design file, a report
and a picture; bad problem files named with their key; exit codes."""

import numpy as np
import pytest

from sardune import read_design
from sardune.synthesize import ProblemError, main, read_problem

PROBLEM = """
incident = 1.0
substrate = 1.52
[materials]
L = 1.38
H = 2.35
[start]
layers = [["L", 120.0]]
[[targets]]
quantity = "R"
wavelengths = [550.0]
tolerance = 0.01
[limits]
max_layers = 4
"""


def written(tmp_path, text, name="problem.toml"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def test_a_problem_gives_design_report_and_picture(eng, tmp_path, capsys):
    problem = written(tmp_path, PROBLEM)
    assert main([problem, "--library", eng.path, "--threads", "1"]) == 0
    out, err = capsys.readouterr()
    stem = str(tmp_path / "problem")
    assert out.split() == [stem + ".design", stem + ".txt", stem + ".png"]
    assert "step 0: F 1.567, 1 layers, 120.0 nm" in err and "step 1: F " in err
    design = read_design(stem + ".design")
    assert [l.index for l in design.layers] == [2.35, 1.38]
    assert design.spectrum([550.0], engine=eng).R[0] < 1e-6
    report = open(stem + ".txt").read()
    assert "layers: 2," in report and "H at 0.0" in report and "    0  H" in report
    assert open(stem + ".png", "rb").read(8) == b"\x89PNG\r\n\x1a\n"


def test_starts_spread_over_totals_and_the_best_is_kept(eng, tmp_path, capsys):
    text = PROBLEM.replace('layers = [["L", 120.0]]', 'quarter_wave = [["L", 1.0]]\nreference = 600.0\n'
                                                      'totals = [50.0, 120.0]')
    assert main([written(tmp_path, text), "--library", eng.path, "--output", str(tmp_path / "out")]) == 0
    err = capsys.readouterr().err
    assert "start 1/2 step 0" in err and "start 2/2 step 0" in err
    assert read_design(str(tmp_path / "out.design")).spectrum([550.0], engine=eng).R[0] < 1e-6


def test_a_start_design_file_and_several_views(eng, tmp_path, capsys):
    (tmp_path / "start.design").write_text("1.38 0 120\n")
    text = PROBLEM.replace('layers = [["L", 120.0]]', 'design = "start.design"').replace("[limits]", """
[[targets]]
quantity = "T"
from = 500.0
to = 600.0
step = 25.0
angle = 45.0
pol = "u"
value = 1.0
tolerance = 0.05
kind = "above"
[limits]""")
    assert main([written(tmp_path, text), "--library", eng.path, "--quiet"]) == 0
    assert capsys.readouterr().err == ""
    report = open(tmp_path / "problem.txt").read()
    assert "stopped: " in report and "\n   0  " in report and "\n   1  " in report
    assert len(read_design(str(tmp_path / "problem.design")).layers) >= 2


@pytest.mark.parametrize("change, message", [
    (('layers = [["L", 120.0]]', 'quarter_wave = [["L", 1.0]]'), "problem.toml: start.reference: missing"),
    (('layers = [["L", 120.0]]', 'layers = [["L", 120.0]]\ntotals = [0.0]'),
     r"problem.toml: start.totals\[0\]: expected 0 < value, got 0.0"),
    (("[limits]", "[limit]"), "problem.toml: limit: unknown key"),
    (("L = 1.38", "L = -1.38"), "problem.toml: materials.L: "),
    (('["L", 120.0]', '["X", 120.0]'), r"problem.toml: start.layers\[0\]: unknown material 'X'"),
    (('["L", 120.0]', '["L", -1.0]'), r"problem.toml: start.layers\[0\]: expected a value >= 0"),
    (("tolerance = 0.01", "tolerance = 0.0"), r"problem.toml: targets\[0\].tolerance: expected values > 0"),
    (('quantity = "R"', 'quantity = "Q"'), r"problem.toml: targets\[0\].quantity: expected 'R', 'T' or 'A'"),
    (("wavelengths = [550.0]", "from = 500.0"), r"problem.toml: targets\[0\]: expected all of from, to and step"),
    (("tolerance = 0.01", "tolerence = 0.01"), r"problem.toml: targets\[0\].tolerence: unknown key"),
    (("max_layers = 4", "max_layers = 2.5"), "problem.toml: limits.max_layers: expected an integer"),
    (("max_layers = 4", "max_layers = 0"), "problem.toml: limits.max_layers: expected at least 1"),
    (("[start]", "[start]\ndesign = 'x.design'"), "problem.toml: start: expected exactly one of"),
    (("[limits]", "[[targets]]\nquantity = 'T'\nwavelengths = [500.0]\n[limits]"), r"targets\[1\].tolerance: missing"),
    (("substrate = 1.52", "substrate = [1.52]"), "problem.toml: substrate: expected a number, \\[n, k\\]"),
    (("L = 1.38", "L = 1.38 ="), "problem.toml: not a TOML file"),
])
def test_bad_problem_files_are_named(eng, tmp_path, capsys, change, message):
    problem = written(tmp_path, PROBLEM.replace(*change))
    assert main([problem, "--library", eng.path]) == 2
    assert capsys.readouterr().err.startswith("python3 -m sardune.synthesize: " + str(tmp_path) + "/")
    with pytest.raises(ProblemError, match=message):
        read_problem(problem)
    assert not (tmp_path / "problem.design").exists()


def test_missing_file_and_unwritable_output(eng, tmp_path, capsys):
    assert main([str(tmp_path / "none.toml"), "--library", eng.path]) == 2
    assert "none.toml: cannot read" in capsys.readouterr().err
    problem = written(tmp_path, PROBLEM)
    assert main([problem, "--library", eng.path, "--quiet", "--output", str(tmp_path / "no" / "such")]) == 1
    out, err = capsys.readouterr()
    assert "cannot write" in err and out == "" and not np.any([p.suffix == ".design" for p in tmp_path.iterdir()])
