"""Python interface to the Sardune thin-film optics engine.

Low level: one function per engine entry point (init, calc_M, forward,
forward_backward, update_top_props, update_optiprops_real_n,
update_optiprops_real_n_simd, matmul_22X, calc_v_t_tau), taking numpy arrays;
they use the default Engine, loaded on first use (see find_library), or call
the same methods on an Engine of your own.

Physics: Design, Layer, Material; spectra R, T, A for s, p or unpolarised
light over wavelengths and angles, thickness sensitivities, absorptance per
layer, phases with group delay and dispersion, ellipsometric psi and Delta,
thick substrates combined incoherently; design files through read_design.

Design work: Design.refine (least squares towards R/T/A targets with the
engine's derivatives) and Design.tolerance (Monte Carlo over manufacturing
errors, serially or over an executor such as a dask.distributed Client).
"""

from typing import List, Optional, Sequence, Tuple, Union

import numpy as np

from ._version import __version__
from .engine import (BUILD_COPY, ENTRY_POINTS, ENV_VARIABLE, Coefficients, Engine, ForwardBackward, LayerRows,
                     SlabVariations, default_engine, find_library, load)
from .errors import (DesignFileError, EngineOutOfMemory, EngineStatusError, InvalidRequest, LibraryNotFound,
                     MaterialError, MissingEntryPoint, SardunError, SarduneError, ToleranceError)
from .materials import BUILT_IN, N_BK7, Material, fused_silica
from .physics import (Absorptance, Design, Ellipsometry, Layer, Phase, Sensitivities, Spectrum, admittance,
                      coefficient_derivatives, coefficients, default_design, read_design, reflectance,
                      transmittance, wavelength_grid)
from .design_file import read_table
# The modules keep their names (sardune.refine.refine, sardune.tolerance.tolerance);
# the functions are Design.refine and Design.tolerance.
from .refine import Refinement, Target
from .tolerance import Bound, ErrorModel, Statistics, Tolerance

__all__ = [
    "__version__",
    # engine
    "Engine", "LayerRows", "load", "default_engine", "find_library", "BUILD_COPY", "ENTRY_POINTS", "ENV_VARIABLE",
    "Coefficients", "ForwardBackward", "SlabVariations",
    "init", "calc_M", "forward", "forward_backward", "update_top_props", "update_optiprops_real_n",
    "update_optiprops_real_n_simd", "matmul_22X", "calc_v_t_tau",
    # errors
    "SarduneError", "SardunError", "LibraryNotFound", "MissingEntryPoint", "EngineStatusError",
    "EngineOutOfMemory", "InvalidRequest", "DesignFileError", "MaterialError", "ToleranceError",
    # physics
    "Design", "Layer", "Spectrum", "Sensitivities", "Absorptance", "Phase", "Ellipsometry",
    "admittance", "coefficients", "coefficient_derivatives", "reflectance", "transmittance",
    "default_design", "read_design", "wavelength_grid",
    # materials
    "Material", "fused_silica", "N_BK7", "BUILT_IN", "read_table",
    # refinement and tolerance analysis
    "Target", "Refinement", "ErrorModel", "Bound", "Statistics", "Tolerance",
]


# The entry points on the default engine, spelled out so that help() and
# editors show their real signatures.

def init(threads: int = 0) -> int:
    """Sets the worker pool; returns the number of threads sharing a request."""
    return default_engine().init(threads)


def calc_M(wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray, admittances: np.ndarray,
           x: float = 0.0, out: Optional[np.ndarray] = None) -> np.ndarray:
    """Stack matrix M = L_{K-1} ... L_0, shape (2, 2, N)."""
    return default_engine().calc_M(wavelengths, thicknesses, indices, admittances, x, out)


def forward(wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray, admittances: np.ndarray,
            x: float = 0.0, out: Optional[np.ndarray] = None,
            partial_out: Optional[np.ndarray] = None) -> Tuple[np.ndarray, np.ndarray]:
    """(M, P) with P = L_{K-2} ... L_0, each (2, 2, N)."""
    return default_engine().forward(wavelengths, thicknesses, indices, admittances, x, out, partial_out)


def forward_backward(wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray,
                     admittances: np.ndarray, x: float = 0.0, out: Optional[np.ndarray] = None,
                     layer_matrices: Optional[np.ndarray] = None,
                     derivatives: Optional[np.ndarray] = None) -> ForwardBackward:
    """M (2, 2, N), every L_j and every dM/dd_j (K, 2, 2, N)."""
    return default_engine().forward_backward(wavelengths, thicknesses, indices, admittances, x, out,
                                             layer_matrices, derivatives)


def update_top_props(wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray,
                     admittances: np.ndarray, incident_admittance: complex, substrate_admittances: np.ndarray,
                     x: float = 0.0, base_matrix: Optional[np.ndarray] = None, d0: int = 0,
                     derivatives: bool = False, out: Optional[Sequence[Coefficients]] = None) -> List[Coefficients]:
    """Coefficients of the partial coatings ending with layers d0 .. K-1 (see Engine.update_top_props)."""
    return default_engine().update_top_props(wavelengths, thicknesses, indices, admittances, incident_admittance,
                                             substrate_admittances, x, base_matrix, d0, derivatives, out)


def update_optiprops_real_n(wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray,
                            admittances: np.ndarray, incident_admittance: complex,
                            substrate_admittances: np.ndarray, x: float = 0.0, derivatives: bool = False,
                            out: Optional[Coefficients] = None) -> Coefficients:
    """Coefficients of a coating of non-absorbing layers; dt, dr, dr_back are (K, N)."""
    return default_engine().update_optiprops_real_n(wavelengths, thicknesses, indices, admittances,
                                                    incident_admittance, substrate_admittances, x,
                                                    derivatives, out)


def update_optiprops_real_n_simd(wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray,
                                 admittances: np.ndarray, incident_admittance: complex,
                                 substrate_admittances: np.ndarray, x: float = 0.0, derivatives: bool = False,
                                 out: Optional[Coefficients] = None) -> Coefficients:
    """As update_optiprops_real_n, four wavelengths at a time and over the pool."""
    return default_engine().update_optiprops_real_n_simd(wavelengths, thicknesses, indices, admittances,
                                                         incident_admittance, substrate_admittances, x,
                                                         derivatives, out)


def matmul_22X(stacks: Union[np.ndarray, Sequence[np.ndarray]], out: Optional[np.ndarray] = None) -> np.ndarray:
    """stacks[count-1] ... stacks[0] per wavelength, shape (2, 2, N)."""
    return default_engine().matmul_22X(stacks, out)


def calc_v_t_tau(wavelengths: np.ndarray, positions: np.ndarray, host_indices: np.ndarray,
                 host_admittances: np.ndarray, slab_indices: np.ndarray, slab_admittances: np.ndarray,
                 incident_admittance: complex, substrate_admittances: np.ndarray, t: np.ndarray,
                 t_back: Optional[np.ndarray] = None, r: Optional[np.ndarray] = None,
                 r_back: Optional[np.ndarray] = None, x: float = 0.0, front_matrix: Optional[np.ndarray] = None,
                 back_matrix: Optional[np.ndarray] = None, outputs: Optional[Union[str, Sequence[str]]] = None,
                 dt: Optional[np.ndarray] = None, dr: Optional[np.ndarray] = None,
                 dr_back: Optional[np.ndarray] = None, build: str = "auto") -> SlabVariations:
    """First-order change of t, r, r' per unit slab thickness (see Engine.calc_v_t_tau)."""
    return default_engine().calc_v_t_tau(wavelengths, positions, host_indices, host_admittances, slab_indices,
                                         slab_admittances, incident_admittance, substrate_admittances, t, t_back,
                                         r, r_back, x, front_matrix, back_matrix, outputs, dt, dr, dr_back,
                                         build)
