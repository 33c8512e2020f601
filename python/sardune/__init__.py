"""Python interface to the Sardune thin-film optics engine.

Low level: one function per engine entry point (init, calc_M, forward,
forward_backward, update_top_props, update_optiprops_real_n,
update_optiprops_real_n_simd, matmul_22X, calc_v_t_tau), taking numpy arrays;
they use the default Engine, loaded on first use (see find_library), or call
the same methods on an Engine of your own.

Physics: Design, Layer, admittance, spectrum quantities R, T, A and their
thickness derivatives; design files through read_design / Design.from_file.
"""

import functools

from . import engine as _engine
from .engine import (BUILD_COPY, ENTRY_POINTS, ENV_VARIABLE, Coefficients, Engine, ForwardBackward,
                     SlabVariations, default_engine, find_library, load)
from .errors import (EngineOutOfMemory, EngineStatusError, InvalidRequest, LibraryNotFound,
                     MissingEntryPoint, SardunError)
from .physics import (Design, Layer, Sensitivities, Spectrum, admittance, coefficient_derivatives,
                      coefficients, default_design, read_design, reflectance, transmittance,
                      wavelength_grid)


def _delegate(name):
    method = getattr(Engine, name)

    @functools.wraps(method)
    def call(*args, **kwargs):
        return method(default_engine(), *args, **kwargs)
    return call


for _name in ("init", "calc_M", "forward", "forward_backward", "update_top_props", "update_optiprops_real_n",
              "update_optiprops_real_n_simd", "matmul_22X", "calc_v_t_tau"):
    globals()[_name] = _delegate(_name)
del _name
