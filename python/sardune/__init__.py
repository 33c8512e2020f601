"""Python interface to the Sardune thin-film optics engine.

Designs: Design, Layer, Material; spectra R, T, A for s, p or unpolarised
light over wavelengths and angles, thickness sensitivities, absorptance per
layer, phases with group delay and dispersion, ellipsometric psi and Delta,
thick substrates combined incoherently (Design methods, sardune.spectra);
design files read and written (read_design, Design.write, sardune.files).

Pictures: the field |E(z)|^2 through the stack with the absorption it
drives and the peak in each layer, the admittance locus (Design.field,
Design.admittance_locus, sardune.field); the colour of R and T as XYZ, xy
and CIELAB under the CIE illuminants and observers, colour differences
(Design.colour, sardune.colour).

Design work: Design.refine (least squares towards R/T/A and colour targets
with the engine's derivatives), Design.synthesize (needle synthesis from the
engine's thin-slab variations; sardune.synthesis.multistart over many
starts; python3 -m sardune.synthesize PROBLEM.toml from a problem file) and
Design.tolerance (Monte Carlo over manufacturing errors, serially or over
an executor such as a dask.distributed Client).

Characterisation: sardune.fit (thicknesses, dispersion terms, ties and a
wavelength shift fitted to measured R, T, A or psi/Delta, with standard
errors and correlations; measurements from arrays or files,
sardune.measurements).

Optics: the formulas, each once (sardune.optics: admittance, coefficients,
reflectance, transmittance, ...).

Engine: one function per entry point (init, calc_M, forward,
forward_backward, update_top_props, update_optiprops_real_n,
update_optiprops_real_n_simd, matmul_22X, calc_v_t_tau), taking numpy
arrays or anything numpy turns into them; they use the default Engine,
loaded on first use (see find_library), or call the same methods on an
Engine of your own.

Materials: sardune.materials (models, the built-in library by name,
BUILT_IN, material(name), search(query)) over sardune.database (the
optical-constants database's data files, a user's copy by its pages).

The modules, each on the ones before it: _binding (the C interface), optics,
_text (the file readers' numbers), database, materials, media (indices and
the layer), _sweep (media per batch, the engine path), spectra, field,
targets (target rows and the merit), colour (colours and colour targets),
refine, synthesis, tolerance, measurements, fitting, files, design; above
design: plot and synthesize (the command lines).
"""

from ._version import __version__
from ._binding import (BUILD_COPY, ENTRY_POINTS, ENV_VARIABLE, Coefficients, Engine, ForwardBackward, LayerRows,
                       SlabVariations, calc_M, calc_v_t_tau, default_engine, find_library, forward,
                       forward_backward, init, load, matmul_22X, update_optiprops_real_n,
                       update_optiprops_real_n_simd, update_top_props)
from .errors import (DesignFileError, EngineOutOfMemory, EngineStatusError, InvalidRequest, LibraryNotFound,
                     MaterialError, MeasurementFileError, MissingEntryPoint, NonFiniteResult, SardunError, SarduneError,
                     SynthesisError,
                     ToleranceError)
from .optics import (Incidence, admittance, coefficient_derivatives, coefficients, incidence, reflectance,
                     transmittance)
from .materials import BUILT_IN, Material
from .media import Layer
from ._sweep import Prepared
from .spectra import Absorptance, Ellipsometry, Phase, Sensitivities, Spectrum
from .field import AdmittanceLocus, Field
# The modules keep their names (sardune.refine.refine, sardune.synthesis.synthesize,
# sardune.tolerance.tolerance); the functions are Design.refine, Design.synthesize and
# Design.tolerance. sardune.synthesize is the command line's module.
from .targets import Target, Targets
from .colour import Colour, ColourDifference, Colours, ColourTarget, Observation, ciede2000, delta_e_ab, observation
from .refine import Refinement
from .synthesis import Insertion, NeedleFunction, Step, SynthesisResult
from .tolerance import (Band, Bound, Criterion, CriterionResult, ErrorModel, LayerSensitivity, RunSpectra, Samples,
                        Statistics, Tolerance)
from .measurements import Measurement, read_measurements, write_measurements
from .fitting import Dispersion, Fit, Shift, Thickness, Tie, fit
from .files import read_table
from .design import Design, default_design, read_design, wavelength_grid

__all__ = [
    "__version__",
    # engine
    "Engine", "LayerRows", "load", "default_engine", "find_library", "BUILD_COPY", "ENTRY_POINTS", "ENV_VARIABLE",
    "Coefficients", "ForwardBackward", "SlabVariations",
    "init", "calc_M", "forward", "forward_backward", "update_top_props", "update_optiprops_real_n",
    "update_optiprops_real_n_simd", "matmul_22X", "calc_v_t_tau",
    # errors
    "SarduneError", "SardunError", "LibraryNotFound", "MissingEntryPoint", "EngineStatusError",
    "EngineOutOfMemory", "InvalidRequest", "DesignFileError", "MeasurementFileError", "MaterialError", "NonFiniteResult",
    "ToleranceError", "SynthesisError",
    # optics
    "Incidence", "incidence", "admittance", "coefficients", "coefficient_derivatives", "reflectance",
    "transmittance",
    # designs
    "Design", "Layer", "Spectrum", "Sensitivities", "Absorptance", "Phase", "Ellipsometry", "Prepared",
    "Field", "AdmittanceLocus",
    # colour
    "Colour", "Colours", "ColourTarget", "ColourDifference", "Observation", "observation", "delta_e_ab", "ciede2000",
    "default_design", "read_design", "wavelength_grid",
    # materials
    "Material", "fused_silica", "N_BK7", "BUILT_IN", "read_table",
    # refinement, synthesis and tolerance analysis
    "Target", "Targets", "Refinement", "SynthesisResult", "Step", "Insertion", "NeedleFunction", "ErrorModel",
    "Bound", "Statistics", "Tolerance", "Band", "Criterion", "CriterionResult", "RunSpectra", "Samples",
    "LayerSensitivity",
    # fitting measurements
    "Measurement", "read_measurements", "write_measurements", "fit", "Fit", "Thickness", "Tie", "Dispersion", "Shift",
]


def __getattr__(name: str):
    # the two glasses of the built-in library under their earlier names, read when first used
    if name in ("fused_silica", "N_BK7"):
        from . import materials
        return getattr(materials, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | {"fused_silica", "N_BK7"})
