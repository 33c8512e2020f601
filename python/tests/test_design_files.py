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


@pytest.mark.parametrize("path", GOOD, ids=os.path.basename)
def test_good_files_give_the_expected_layers(path):
    layers = read_design_file(path, sibling(path, ".materials")).layers
    with open(sibling(path, ".expected")) as f:
        expected = [[float(v) for v in line.split()] for line in f if line.strip()]
    assert len(layers) == len(expected)
    for j, ((index, d), want) in enumerate(zip(layers, expected)):
        (n5, n7), (k5, k7) = nk(index, [500.0, 700.0])
        for got, w in zip((d, n5, k5, n7, k7), want):
            assert math.isclose(got, w, rel_tol=1e-12), (j, got, w)


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
