"""read_design against the corpus shared with sardune-spectrum
(tests/design_files), and the reader's limits and messages."""

import glob
import math
import os
import re

import numpy as np
import pytest

import sardune
from sardune.files import read_design_file

CORPUS = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "design_files")
GOOD = sorted(glob.glob(os.path.join(CORPUS, "good", "*.design")))
BAD = sorted(glob.glob(os.path.join(CORPUS, "bad", "*.design")))


def sibling(path, suffix):
    other = path[:-len(".design")] + suffix
    return other if os.path.exists(other) else None


def test_corpus_is_there():
    # an empty folder would make every case below vanish silently
    assert GOOD and BAD, f"no design files under {CORPUS}"


def nk(index, wavelengths):
    if isinstance(index, complex):
        return [index.real] * 2, [-index.imag] * 2
    n, k = index.nk(np.array(wavelengths))
    return list(n), list(k)


def values(index):
    """N500 K500 N700 K700 of an index."""
    (n5, n7), (k5, k7) = nk(index, [500.0, 700.0])
    return [n5, k5, n7, k7]


def close(got, want, what):
    assert len(got) == len(want), what
    for g, w in zip(got, want):
        assert math.isclose(g, w, rel_tol=1e-12), (what, got, want)


@pytest.mark.parametrize("path", GOOD, ids=os.path.basename)
def test_good_files_give_the_expected_media_and_layers(path):
    f = read_design_file(path, sibling(path, ".materials"))
    expected = {"layers": [], "back": []}
    with open(sibling(path, ".expected")) as e:
        for line in e:
            words = line.split()
            if words and words[0] in ("incident", "substrate", "exit", "substrate_thickness", "back"):
                v = [float(w) for w in words[1:]]
                if words[0] == "back":
                    expected["back"].append(v)
                else:
                    expected[words[0]] = v
            elif words:
                expected["layers"].append([float(w) for w in words])
    for what, layers in (("layers", f.layers), ("back", f.back_layers)):
        assert len(layers) == len(expected[what]), what
        for j, (index, d) in enumerate(layers):
            close([d] + values(index), expected[what][j], f"{what}[{j}]")
    # media the file leaves out are the defaults; an exit medium only behind a thick substrate
    incident = complex(1.0) if f.incident is None else f.incident
    close(values(incident), expected.get("incident", [1, 0, 1, 0]), "incident")
    close(values(complex(1.52) if f.substrate is None else f.substrate), expected.get("substrate", [1.52, 0, 1.52, 0]),
          "substrate")
    if f.substrate_thickness is None:
        assert "substrate_thickness" not in expected and "exit" not in expected and not f.exit_medium
    else:
        close([f.substrate_thickness / 1e6], expected["substrate_thickness"], "substrate_thickness")
        close(values(incident if f.exit_medium is None else f.exit_medium), expected["exit"], "exit")


@pytest.mark.parametrize("path", BAD, ids=os.path.basename)
def test_bad_files_are_rejected_at_the_expected_line_and_field(path):
    with open(path, "rb") as f:
        m = re.fullmatch(rb"# expect: (-|[0-9]+) ([a-z ]+)\r?\n", f.readline())
    assert m, f"{path}: first line must be '# expect: LINE FIELD'"
    line, field = m.group(1).decode(), m.group(2).decode()
    with pytest.raises(sardune.DesignFileError) as e:
        sardune.read_design(path, materials=sibling(path, ".materials"))
    message = str(e.value)
    assert field in message
    if line == "-":
        assert e.value.line is None and not re.search(r":[0-9]+:", message)
    else:
        assert f":{line}: {field}:" in message and e.value.line == int(line)
        assert e.value.field == field
    assert message.isascii() and message.isprintable()
