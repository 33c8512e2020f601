import os
import subprocess
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


@pytest.fixture(scope="session")
def tool(eng):
    """run(*arguments) -> CompletedProcess of sardune-spectrum: the one of
    SARDUNE_SPECTRUM, else the one the library's build put in bin/ beside
    its lib/. A missing tool is a broken build, not a reason to skip."""
    path = os.environ.get("SARDUNE_SPECTRUM") or os.path.join(os.path.dirname(os.path.dirname(eng.path)), "bin",
                                                               "sardune-spectrum")
    if not os.access(path, os.X_OK):
        pytest.fail(f"no sardune-spectrum at {path} (set SARDUNE_SPECTRUM)")
    env = {k: v for k, v in os.environ.items() if k != "SARDUNE_DATABASE"}

    def run(*arguments: str, env_extra=None):
        return subprocess.run([path, *map(str, arguments)], capture_output=True, text=True, timeout=120,
                              env=dict(env, **(env_extra or {})))
    run.path = path
    return run
