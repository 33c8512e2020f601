"""Run by install_routes.cmake with an installed package: imports it the way
a user would and checks where it came from, which library it loads, and
that it computes."""

import argparse
import os
import site
import sys

a = argparse.ArgumentParser()
a.add_argument("--site", nargs=2, metavar=("PREFIX", "PYDIR"), help="installed by cmake into PREFIX/PYDIR")
a.add_argument("--venv", help="installed by pip into this venv")
a.add_argument("--library", required=True, help="the library the package must load")
a.add_argument("--load", action="store_true", help="give the library by path to sardune.load")
args = a.parse_args()

if args.site:
    prefix, pydir = args.site
    # Debian's interpreter lists this folder for the prefix; for /usr/local it is on sys.path.
    assert os.path.join(prefix, pydir) in site.getsitepackages([prefix]), (pydir, site.getsitepackages([prefix]))
    assert os.path.join("/usr/local", pydir) in sys.path, (pydir, sys.path)
    sys.path.insert(0, os.path.join(prefix, pydir))
    where = os.path.join(prefix, pydir)
else:
    where = args.venv

import numpy as np  # noqa: E402
import sardune  # noqa: E402

assert os.path.realpath(sardune.__file__).startswith(os.path.realpath(where) + os.sep), sardune.__file__
# the built-in materials library travels with the package
library = os.path.join(os.path.dirname(sardune.__file__), "data", "materials")
assert os.path.isfile(os.path.join(library, "index.yml")) and os.path.isfile(os.path.join(library, "LICENSE")), library
assert os.path.isfile(os.path.join(library, "N-BK7.yml")), library
engine = sardune.load(args.library) if args.load else sardune.default_engine()
assert os.path.realpath(engine.path) == os.path.realpath(args.library), (engine.path, args.library)
engine.init(1)
R0 = (0.52 / 2.52) ** 2
s = sardune.Design([(1.38, 0.0)], substrate=1.52).spectrum(np.array([500.0, 600.0]))
assert np.allclose(s.R, R0, rtol=1e-13), s.R
# the package's data came along: the built-in design is a file of it
assert len(sardune.default_design()) == 19
# and the CIE tables: the white point of D65
assert np.allclose(sardune.colour.spectrum_colour(np.ones(81), sardune.observation()).xy, (0.31272, 0.32903), atol=5e-6)
print(f"sardune {sardune.__version__} from {os.path.dirname(sardune.__file__)} with {engine.path}")
