import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import sardune  # noqa: E402


@pytest.fixture(scope="session")
def eng():
    e = sardune.load()  # SARDUNE_LIBRARY or the build copy
    e.init(1)
    return e


@pytest.fixture
def need(eng):
    """need("calc_M", ...) fails the test, saying which, when the library
    lacks one of those entry points: every entry point exists, so a missing
    one is a broken build, not a reason to skip."""
    def check(*names):
        missing = [n for n in names if not eng.has(n)]
        if missing:
            pytest.fail(f"entry point(s) missing from {eng.path}: {', '.join(missing)}")
    return check
