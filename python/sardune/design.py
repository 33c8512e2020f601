"""The design: a coating's layers on its substrate between its media, and
what can be asked of it. Its methods are the doors to the rooms below:
spectra (sardune.spectra), refinement (sardune.refine), tolerance analysis
(sardune.tolerance), design files (sardune.files).
"""

import math
import numbers
import os
from typing import Any, Callable, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import colour as _colour, field as _field, files, refine as _refine, spectra, synthesis as _synthesis, tolerance as _tolerance
from ._binding import Engine
from ._sweep import Angle, Prepared, Progress
from .media import Index, Layer, evaluate, index_spec, layers_of, shown
from .optics import incidence, normal_component

PathLike = files.PathLike
DEFAULT_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "default.design")
DEFAULT_RANGE = (400.0, 800.0, 1.0)


class Design:
    """A coating: layers from the substrate up, on `substrate`, seen from
    `incident` (indices as for Layer: a number n - ik, a material name, a
    Material or callable of the wavelengths, or one value per wavelength).

    substrate_thickness (nm): None for a semi-infinite substrate; a number
    makes the substrate a thick slab whose two surfaces combine
    incoherently, with absorption along the oblique path through it, and
    `back_layers` (from the substrate's back face outwards) coat its back,
    which faces `exit_medium` (default: the incident medium)."""

    def __init__(self, layers: Iterable = (), substrate: Index = 1.52, incident: Index = 1.0,
                 substrate_thickness: Optional[float] = None, back_layers: Iterable = (),
                 exit_medium: Optional[Index] = None) -> None:
        self.layers: List[Layer] = layers_of("layers", layers)
        self.substrate, self.incident = index_spec("substrate", substrate), index_spec("incident", incident)
        if substrate_thickness is not None:
            if isinstance(substrate_thickness, bool) or not isinstance(substrate_thickness, numbers.Real):
                raise TypeError(f"substrate_thickness: expected a real number, got {type(substrate_thickness).__name__}")
            if not (math.isfinite(substrate_thickness) and substrate_thickness >= 0):
                raise ValueError(f"substrate_thickness: expected a finite value >= 0 nm, got {substrate_thickness}")
            substrate_thickness = float(substrate_thickness)
        self.substrate_thickness = substrate_thickness
        self.back_layers: List[Layer] = layers_of("back_layers", back_layers)
        if self.back_layers and substrate_thickness is None:
            raise ValueError("back_layers: a back-side coating needs a substrate_thickness")
        self.exit_medium = self.incident if exit_medium is None else index_spec("exit_medium", exit_medium)

    @classmethod
    def from_file(cls, path: PathLike, substrate: Optional[Index] = None, incident: Optional[Index] = None,
                  materials: Optional[PathLike] = None) -> "Design":
        """See read_design."""
        return read_design(path, substrate, incident, materials)

    @classmethod
    def quarter_wave(cls, stack: Sequence[Tuple[Index, float]], *, reference: float, angle: float = 0.0,
                     substrate: Index = 1.52, incident: Index = 1.0, **media: Any) -> "Design":
        """Layers given as (index, multiple) from the substrate up, each
        `multiple` quarter waves thick at the reference wavelength (nm) and
        angle (degrees, in the incident medium): d = multiple reference /
        (4 Re q), q the layer's normal component there (its index at normal
        incidence). Other keywords go to Design."""
        at = np.array([float(reference)])
        n0 = evaluate("incident", index_spec("incident", incident), at, slice(None), 1)[0]
        inc = incidence(n0.real, angle)
        out = []
        for j, (index, multiple) in enumerate(stack):
            given = index_spec(f"stack[{j}]", index)
            n = evaluate(f"stack[{j}]", given, at, slice(None), 1)[0]
            q = n.real if angle == 0 else normal_component(n, inc).real
            out.append(Layer(given, multiple * reference / (4 * q)))
        return cls(out, substrate, incident, **media)

    def __len__(self) -> int:
        return len(self.layers)

    def __repr__(self) -> str:
        parts = [f"[{', '.join(map(repr, self.layers))}]", f"substrate={shown(self.substrate)}",
                 f"incident={shown(self.incident)}"]
        if self.substrate_thickness is not None:
            parts.append(f"substrate_thickness={self.substrate_thickness!r}")
            if self.back_layers:
                parts.append(f"back_layers=[{', '.join(map(repr, self.back_layers))}]")
            if self.exit_medium is not self.incident:
                parts.append(f"exit_medium={shown(self.exit_medium)}")
        return f"Design({', '.join(parts)})"

    @property
    def thicknesses(self) -> np.ndarray:
        """Layer thicknesses (K,) in nm, from the substrate up."""
        return np.array([l.thickness for l in self.layers], np.float64)

    @property
    def thick(self) -> bool:
        return self.substrate_thickness is not None

    def with_layers(self, layers: Iterable) -> "Design":
        """A copy with these layers (the media and back side kept)."""
        return Design(layers, self.substrate, self.incident, self.substrate_thickness, self.back_layers,
                      self.exit_medium)

    def with_thickness(self, k: int, thickness: float) -> "Design":
        """A copy with layer k's thickness changed."""
        layers = list(self.layers)
        layers[k] = layers[k].with_thickness(thickness)
        return self.with_layers(layers)

    def with_thicknesses(self, thicknesses: Any) -> "Design":
        """A copy with every layer's thickness (nm) replaced, (K,)."""
        d = np.asarray(thicknesses, np.float64)
        if d.shape != (len(self),):
            raise ValueError(f"thicknesses: expected {len(self)} values, got shape {d.shape}")
        return self.with_layers([l.with_thickness(float(t)) for l, t in zip(self.layers, d)])

    def write(self, path: PathLike) -> None:
        """Writes the design as a design file (see sardune.files), which
        read_design and sardune-spectrum read back as this design."""
        files.write_design(path, self)

    # --- results (sardune.spectra)

    def spectrum(self, wavelengths: Any, *, angle: Angle = 0.0, pol: str = "s", engine: Optional[Engine] = None,
                 method: str = "auto", batch: Optional[int] = None,
                 progress: Optional[Progress] = None) -> spectra.Spectrum:
        """R, T, A, r, t over the wavelengths (nm); see sardune.spectra.spectrum."""
        return spectra.spectrum(self, wavelengths, angle=angle, pol=pol, engine=engine, method=method, batch=batch,
                                progress=progress)

    def sensitivities(self, wavelengths: Any, *, angle: Angle = 0.0, pol: str = "s",
                      engine: Optional[Engine] = None, method: str = "auto", batch: Optional[int] = None,
                      progress: Optional[Progress] = None) -> spectra.Sensitivities:
        """R, T, dR/dd_k, dT/dd_k; see sardune.spectra.sensitivities."""
        return spectra.sensitivities(self, wavelengths, angle=angle, pol=pol, engine=engine, method=method,
                                     batch=batch, progress=progress)

    def absorptance(self, wavelengths: Any, *, angle: Angle = 0.0, pol: str = "s", batch: Optional[int] = None,
                    progress: Optional[Progress] = None) -> spectra.Absorptance:
        """R, T and the absorptance of each layer; see sardune.spectra.absorptance."""
        return spectra.absorptance(self, wavelengths, angle=angle, pol=pol, batch=batch, progress=progress)

    def phase(self, wavelengths: Any, *, angle: Angle = 0.0, pol: str = "s", engine: Optional[Engine] = None,
              batch: Optional[int] = None, progress: Optional[Progress] = None) -> spectra.Phase:
        """Phases, group delay and GDD of r and t; see sardune.spectra.phase."""
        return spectra.phase(self, wavelengths, angle=angle, pol=pol, engine=engine, batch=batch, progress=progress)

    def ellipsometry(self, wavelengths: Any, *, angle: Angle, engine: Optional[Engine] = None,
                     batch: Optional[int] = None, progress: Optional[Progress] = None) -> spectra.Ellipsometry:
        """psi and Delta; see sardune.spectra.ellipsometry."""
        return spectra.ellipsometry(self, wavelengths, angle=angle, engine=engine, batch=batch, progress=progress)

    # --- fields (sardune.field)

    def field(self, wavelengths: Any, *, depth: Any = None, margin: Optional[float] = None, angle: Angle = 0.0,
              pol: str = "s", engine: Optional[Engine] = None, batch: Optional[int] = None,
              progress: Optional[Progress] = None) -> _field.Field:
        """|E(z)|^2 through the stack, the absorption density and the peak
        in each layer; see sardune.field.field."""
        return _field.field(self, wavelengths, depth=depth, margin=margin, angle=angle, pol=pol, engine=engine,
                            batch=batch, progress=progress)

    def admittance_locus(self, wavelength: Any, *, angle: Angle = 0.0, pol: str = "s", points_per_layer: int = 64,
                         engine: Optional[Engine] = None, batch: Optional[int] = None) -> _field.AdmittanceLocus:
        """Y(z) = H/E from the substrate to the surface at one or more
        wavelengths (nm); see sardune.field.admittance_locus."""
        return _field.admittance_locus(self, wavelength, angle=angle, pol=pol, points_per_layer=points_per_layer,
                                       engine=engine, batch=batch)

    # --- colour (sardune.colour)

    def colour(self, wavelengths: Any = None, *, illuminant: _colour.Illuminant = "D65", observer: int = 2,
               angle: Angle = 0.0, pol: str = "s", engine: Optional[Engine] = None, method: str = "auto",
               batch: Optional[int] = None, progress: Optional[Progress] = None) -> _colour.Colours:
        """XYZ, xy, L*a*b*, C*ab, h_ab of R and T over the angles (grid
        default 380-780 nm by 5 nm); see sardune.colour.design_colour."""
        return _colour.design_colour(self, wavelengths, illuminant=illuminant, observer=observer, angle=angle,
                                     pol=pol, engine=engine, method=method, batch=batch, progress=progress)

    def prepare(self, wavelengths: Any, *, angle: float = 0.0, pol: str = "s",
                engine: Optional[Engine] = None) -> Prepared:
        """The design's media on one grid at one angle, for many evaluations
        with other thicknesses and index scales of the front layers:
        Prepared.spectra(d, scale) gives R and T (runs, N) of thicknesses d
        (runs, K), of the whole part for a thick substrate."""
        return Prepared(self, wavelengths, angle, pol, engine)

    # --- design work (sardune.refine, sardune.synthesis, sardune.tolerance; scipy is loaded on first use)

    def refine(self, targets: Sequence, *, layers: Optional[Sequence[int]] = None,
               bounds: Tuple[Any, Any] = (0.0, math.inf), engine: Optional[Engine] = None,
               method: str = "auto", jacobian: str = "analytic",
               progress: Optional[Callable[[int, float, np.ndarray], None]] = None,
               **options: Any) -> _refine.Refinement:
        """Thicknesses refined towards `targets` by least squares with the
        engine's derivatives; see sardune.refine.refine."""
        return _refine.refine(self, targets, layers=layers, bounds=bounds, engine=engine, method=method,
                              jacobian=jacobian, progress=progress, **options)

    def synthesize(self, targets: Sequence, materials: Sequence[Index], *, min_thickness: float = 2.0,
                   max_layers: int = 100, max_total_thickness: float = math.inf, positions_per_layer: int = 32,
                   needle_thickness: float = 1.0, needles: int = 1, epsilon: float = 1e-4, goal: float = 0.0,
                   max_steps: int = 100, max_seconds: float = math.inf, min_improvement: float = 1e-4,
                   refine_options: Optional[dict] = None, engine: Optional[Engine] = None, method: str = "auto",
                   progress: Optional[Callable[[_synthesis.Step], Optional[bool]]] = None
                   ) -> _synthesis.SynthesisResult:
        """Needle synthesis from this design towards `targets` with needles
        of `materials`; see sardune.synthesis.synthesize."""
        return _synthesis.synthesize(self, targets, materials, min_thickness=min_thickness, max_layers=max_layers,
                                     max_total_thickness=max_total_thickness,
                                     positions_per_layer=positions_per_layer, needle_thickness=needle_thickness,
                                     needles=needles, epsilon=epsilon, goal=goal, max_steps=max_steps,
                                     max_seconds=max_seconds, min_improvement=min_improvement,
                                     refine_options=refine_options, engine=engine, method=method, progress=progress)

    def tolerance(self, wavelengths: Any, errors: _tolerance.ErrorModel, runs: int, *, seed: Optional[int] = None,
                  angle: Any = 0.0, pol: Any = "s", percentiles: Sequence[float] = (5.0, 50.0, 95.0),
                  bounds: Sequence = (), criteria: Sequence = (), samples: bool = False,
                  engine: Optional[Engine] = None, batch: Optional[int] = None, executor: Any = None,
                  progress: Optional[Progress] = None) -> _tolerance.Tolerance:
        """Monte Carlo over manufacturing errors; see sardune.tolerance.tolerance."""
        return _tolerance.tolerance(self, wavelengths, errors, runs, seed=seed, angle=angle, pol=pol,
                                    percentiles=percentiles, bounds=bounds, criteria=criteria, samples=samples,
                                    engine=engine, batch=batch, executor=executor, progress=progress)

    def layer_sensitivity(self, wavelengths: Any, *, criteria: Sequence = (), bounds: Sequence = (),
                          unit: float = 1.0, runs: int = 0, seed: Optional[int] = None, angle: Any = 0.0,
                          pol: Any = "s", engine: Optional[Engine] = None) -> _tolerance.LayerSensitivity:
        """Each layer's yield lost and criterion slopes per nm of thickness
        error; see sardune.tolerance.layer_sensitivity."""
        return _tolerance.layer_sensitivity(self, wavelengths, criteria=criteria, bounds=bounds, unit=unit,
                                            runs=runs, seed=seed, angle=angle, pol=pol, engine=engine)


def read_design(path: PathLike, substrate: Optional[Index] = None, incident: Optional[Index] = None,
                materials: Optional[PathLike] = None, *, database: Optional[PathLike] = None,
                extrapolate: bool = False) -> Design:
    """A design file (the grammar of sardune-spectrum, see sardune.files):
    layers from the substrate up, `N K THICKNESS` or `NAME THICKNESS` with
    materials defined in the file, in the materials file `materials`, or
    built in; the media and thick substrate it names. substrate and incident
    given here take the place of the file's (default 1.52 and 1.0 where
    neither gives one). database: the folder of a user's copy of the
    optical-constants database whose pages `material NAME database PAGE`
    names (default $SARDUNE_DATABASE); extrapolate: the file's materials
    evaluated beyond their data's wavelengths too. Malformed files raise
    DesignFileError naming the file, line and field."""
    f = files.read_design_file(path, materials, database=database, extrapolate=extrapolate)
    pick = lambda given, read, default: given if given is not None else read if read is not None else default
    return Design(f.layers, pick(substrate, f.substrate, 1.52), pick(incident, f.incident, 1.0),
                  f.substrate_thickness, f.back_layers, f.exit_medium)


def default_design() -> Design:
    """19-layer quarter-wave high reflector centred at 550 nm on glass, H on
    the substrate and at the top, with a little absorption in both
    materials (the design file shipped with the package and the tool)."""
    return read_design(DEFAULT_FILE)


def wavelength_grid(start: float, stop: float, step: float) -> np.ndarray:
    """start, start + step, ... up to stop included (within rounding), nm."""
    if not (step > 0 and stop >= start):
        raise ValueError(f"range: expected stop >= start and step > 0, got {start}, {stop}, {step}")
    count = int(math.floor((stop - start) / step + 1e-9)) + 1
    return start + step * np.arange(count, dtype=np.float64)
