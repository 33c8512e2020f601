"""Fitting a design to measurements: what was deposited (thicknesses,
indices) from measured R, T or A, a film's thickness and dispersion from
ellipsometric psi and Delta.

Measurements are those of sardune.measurements (arrays or measurement
files). Parameters, each with its bounds (lower, upper):
  Thickness(layer)              the thickness of a front layer, nm
  Tie(layers)                   one relative error e shared by these layers:
                                d_k = d_k,start (1 + e) ("all H layers 2 % thick")
  Dispersion(material, term)    a term of a material's model, in every place
                                the material appears: constant n, k; Cauchy A,
                                B, C, k (l in um); Sellmeier B1, C1, B2, ...,
                                k; "scale", a factor on n of any material
                                (a library glass, a table)
  Shift()                       a shift of the measurement's wavelength
                                scale, nm: a value recorded at w was taken at
                                w + shift
The material of a Dispersion is a name (every layer and medium with a
Material of that name) or a Material (the places holding that object); its
terms come from the Material's definition, and each evaluation builds new
Materials for the values tried.

Residuals (model - measured) / sigma, Delta's difference taken in
(-180, 180]; scipy.optimize.least_squares (trust-region reflective, so the
bounds hold) minimises chi^2 = sum of their squares. The Jacobian is
analytic wherever the model is closed-form: thicknesses and ties from the
engine's thickness derivatives, dispersion terms of front layers through
the chain rule dM/dp = sum over the material's layers of
(L_K-1 ... L_j+1) dL_j/dN dN/dp (L_j-1 ... L_0), the layer matrices the
engine's; terms of the substrate, back layers or exit medium and the shift
by central differences. Fit.derivatives states which each parameter got.

Uncertainties: the covariance (J^T J)^-1 chi^2 / nu of the normalised
residuals' Jacobian J at the solution, nu = values - parameters; standard
errors are the roots of its diagonal, and Fit.warnings names parameters
the data do not determine apart (|correlation| above 0.98).
"""

import math
import numbers
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from ._binding import Engine, default_engine
from ._sweep import check_method, faces, front, incidence_of, media
from .errors import NonFiniteResult
from .materials import Material
from .measurements import POWER, Measurement, measurements_of
from .optics import (coefficient_derivatives, coefficients, ellipsometric_ratio, ellipsometric_ratio_derivative,
                     layer_matrix_index_derivative, normal_component, powers, psi_delta, psi_delta_derivatives)

TOLERANCES = {"ftol": 1e-10, "xtol": 1e-10, "gtol": 1e-10}
CORRELATED = 0.98  # |correlation| above which a pair is reported as not determined apart
IterationProgress = Callable[[int, float, np.ndarray], None]


# ---------------------------------------------------------------- parameters

class Thickness(NamedTuple):
    """The thickness (nm) of front layer `layer` (0 on the substrate)."""
    layer: int
    lower: float = 0.0
    upper: float = math.inf


class Tie(NamedTuple):
    """One relative thickness error shared by `layers` (a fraction, 0 at the start)."""
    layers: Sequence[int]
    lower: float = -0.5
    upper: float = 0.5


class Dispersion(NamedTuple):
    """A term of a material's model ("n", "k", "A", "B", "C", "B1", "C1", ...,
    "scale"; see the module), in the material's own units (um, um^2)."""
    material: Union[str, Material]
    term: str
    lower: float = -math.inf
    upper: float = math.inf


class Shift(NamedTuple):
    """A shift (nm) of the measurements' wavelength scale."""
    lower: float = -10.0
    upper: float = 10.0


Parameter = Union[Thickness, Tie, Dispersion, Shift]


class Fit(NamedTuple):
    """The fitted design and how well the measurements determine it.
    names, values, errors (P,): each parameter (units as given: nm, a
    fraction, the model's units); correlation (P, P); chi2, dof = values -
    parameters, reduced_chi2 = chi2 / dof; residuals (values,) normalised
    (model - measured) / sigma in the measurements' order; fitted: the
    model's values per measurement (on its recorded wavelengths);
    derivatives: per parameter "analytic" or "finite differences";
    materials: the fitted Materials by name; warnings: parameters not
    determined apart."""
    design: Any
    names: Tuple[str, ...]
    values: np.ndarray
    errors: np.ndarray
    correlation: np.ndarray
    chi2: float
    dof: int
    reduced_chi2: float
    residuals: np.ndarray
    measurements: Tuple[Measurement, ...]
    fitted: Tuple[np.ndarray, ...]
    derivatives: Dict[str, str]
    materials: Dict[str, Material]
    warnings: Tuple[str, ...]
    success: bool
    message: str
    evaluations: int
    jacobians: int
    seconds: float

    def figure(self):
        """A matplotlib Figure: per kind of quantity (R/T/A in %, psi, Delta),
        measured points and fitted curves above, normalised residuals below."""
        return fit_figure(self)

    def plot(self, path: str) -> None:
        """Writes the figure as a PNG file."""
        import matplotlib.pyplot as plt
        fig = self.figure()
        try:
            fig.savefig(path, format="png", dpi=110)
        finally:
            plt.close(fig)


# ---------------------------------------------------------------- material models

def model_terms(material: Material) -> Dict[str, float]:
    """The fittable terms of a material and their values: those of its
    model's definition, and "scale" (1) on its n."""
    d = material.definition or ()
    terms: Dict[str, float] = {}
    if d and d[0] == "constant":
        terms = {"n": d[1], "k": d[2]}
    elif d and d[0] == "cauchy":
        terms = {"A": d[1], "B": d[2], "C": d[3]}
        if "urbach" not in d:
            terms["k"] = d[5] if len(d) > 4 else 0.0
    elif d and d[0] == "sellmeier":
        values = list(d[1:])
        k = 0.0
        if "k" in values:
            k = values[values.index("k") + 1]
            values = values[:values.index("k")]
        for i in range(len(values) // 2):
            terms[f"B{i + 1}"], terms[f"C{i + 1}"] = values[2 * i], values[2 * i + 1]
        terms["k"] = k
    terms["scale"] = 1.0
    return {k: float(v) for k, v in terms.items()}


def with_terms(material: Material, values: Dict[str, float]) -> Material:
    """A new Material of the same model and name with these term values."""
    kind = (material.definition or ("",))[0]
    v = values
    if "scale" in v:
        s = v["scale"]
        if s == 1.0:
            return material

        def nk(w: np.ndarray):
            n, k = material.nk(w)
            return s * n, k
        return Material(material.name, nk, f"{material.description}, n scaled by {s:g}",
                        wavelength_range=material.wavelength_range, source=material.source,
                        reference=material.reference, definition=None, extrapolate=material.extrapolate)
    if kind == "constant":
        out = Material.constant(v["n"], v["k"], name=material.name)
    elif kind == "cauchy":
        d = material.definition
        urbach = tuple(d[d.index("urbach") + 1:]) if "urbach" in d else None
        out = Material.cauchy(v["A"], v["B"], v["C"], 0.0 if urbach else v["k"], urbach=urbach, name=material.name)
    else:
        m = sum(1 for key in v if key.startswith("B"))
        out = Material.sellmeier([v[f"B{i + 1}"] for i in range(m)], [v[f"C{i + 1}"] for i in range(m)], v["k"],
                                 name=material.name, wavelength_range=material.wavelength_range,
                                 reference=material.reference)
    return out if not material.extrapolate else out.extrapolated()


def index_derivative(material: Material, values: Dict[str, float], term: str, w: np.ndarray) -> np.ndarray:
    """dN/dp (N,) of the complex index N = n - ik at the wavelengths w (nm)
    for one term p of the material's model at these values."""
    if term == "k":
        return np.full(w.shape, -1j)
    if term == "scale":
        return material.nk(w)[0].astype(np.complex128)
    l2 = (w / 1000.0) ** 2
    if term in ("n", "A"):
        return np.ones(w.shape, np.complex128)
    if term == "B" and "A" in values:
        return (1 / l2).astype(np.complex128)
    if term == "C" and "A" in values:
        return (1 / (l2 * l2)).astype(np.complex128)
    # Sellmeier: n^2 = 1 + sum B_i l^2 / (l^2 - C_i)
    n = with_terms(material, values).nk(w)[0]
    i = term[1:]
    B, C = values["B" + i], values["C" + i]
    if term[0] == "B":
        return (l2 / (l2 - C) / (2 * n)).astype(np.complex128)
    return (B * l2 / (l2 - C) ** 2 / (2 * n)).astype(np.complex128)


# ---------------------------------------------------------------- the problem

class _Fitted:
    """A fitted material: its start, the places it holds, its fitted terms."""

    def __init__(self, material: Material) -> None:
        self.start = material
        self.front: List[int] = []       # front layers
        self.media: List[str] = []       # other places: "substrate", "back_layers[j]", "exit_medium"
        self.terms: List[Tuple[int, str]] = []  # (parameter, term)
        self.objects: List[int] = []     # ids of the Materials replaced (one name may be several objects)

    @property
    def analytic(self) -> bool:
        return not self.media


class _Group:
    """Measurements of one angle on one grid, computed together."""

    def __init__(self, angle: float, w: np.ndarray) -> None:
        self.angle, self.w = angle, w
        self.items: List[Tuple[int, slice]] = []  # (measurement, its residuals)
        self.pols: set = set()


class _Problem:
    """Residuals and their Jacobian as functions of the parameter vector."""

    def __init__(self, design: Any, measurements: List[Measurement], parameters: Sequence, engine: Engine,
                 method: str, analytic: bool) -> None:
        self.design, self.measurements, self.engine, self.method = design, measurements, engine, method
        self.start_d = design.thicknesses
        self.names: List[str] = []
        self.bounds: List[Tuple[float, float]] = []
        self.x0: List[float] = []
        self.thickness: List[Tuple[int, int]] = []           # (parameter, layer)
        self.ties: List[Tuple[int, np.ndarray]] = []         # (parameter, layers)
        self.materials: Dict[Any, _Fitted] = {}
        self.shift: Optional[int] = None
        self._parameters(parameters)
        self.analytic_rows = [j for j in range(len(self.names)) if analytic and self._analytic(j)]
        self.numeric_rows = [j for j in range(len(self.names)) if j not in self.analytic_rows]
        self._groups()
        self.evaluations = self.jacobians = 0
        self.last: Optional[Tuple[np.ndarray, np.ndarray, Optional[np.ndarray]]] = None

    # --- the parameters

    def _add(self, name: str, start: float, lower: Any, upper: Any, what: str) -> int:
        if name in self.names:
            raise ValueError(f"{what}: {name} is given twice")
        try:
            lo, hi = float(lower), float(upper)
        except (TypeError, ValueError):
            raise TypeError(f"{what}: expected numbers as lower and upper bounds") from None
        if math.isnan(lo) or math.isnan(hi) or not lo < hi:
            raise ValueError(f"{what}: expected lower < upper, got {lower}, {upper}")
        if not lo <= start <= hi:
            raise ValueError(f"{what}: {name} starts at {start:g}, outside [{lo:g}, {hi:g}]")
        self.names.append(name)
        self.bounds.append((lo, hi))
        self.x0.append(float(start))
        return len(self.names) - 1

    def _layer(self, what: str, k: Any) -> int:
        K = len(self.design.layers)
        if isinstance(k, (bool, np.bool_)) or not isinstance(k, numbers.Integral):
            raise TypeError(f"{what}: expected a layer number, got {type(k).__name__}")
        if not 0 <= k < K:
            raise ValueError(f"{what}: layer {k} is not among the design's {K} layers")
        return int(k)

    def _parameters(self, parameters: Sequence) -> None:
        if isinstance(parameters, tuple) and hasattr(parameters, "_fields"):
            parameters = [parameters]
        try:
            items = list(parameters)
        except TypeError:
            raise TypeError(f"parameters: expected a sequence of parameters, got {type(parameters).__name__}") from None
        if not items:
            raise ValueError("parameters: expected at least one parameter")
        tied: Dict[int, str] = {}
        for i, p in enumerate(items):
            what = f"parameters[{i}]"
            if isinstance(p, Thickness):
                k = self._layer(what, p.layer)
                self.thickness.append((self._add(f"layers[{k}].thickness", self.start_d[k], p.lower, p.upper, what), k))
                tied.setdefault(k, what)
            elif isinstance(p, Tie):
                try:
                    layers = sorted({self._layer(what, k) for k in p.layers})
                except TypeError as e:
                    if str(e).startswith(what):
                        raise
                    raise TypeError(f"{what}.layers: expected layer numbers") from None
                if not layers:
                    raise ValueError(f"{what}.layers: expected at least one layer")
                j = self._add(f"tie({', '.join(map(str, layers))})", 0.0, p.lower, p.upper, what)
                if p.lower <= -1:
                    raise ValueError(f"{what}: a relative error at or below -1 leaves no layer")
                self.ties.append((j, np.array(layers)))
                for k in layers:
                    if k in tied:
                        raise ValueError(f"{what}: layer {k} is varied by {tied[k]} too")
                    tied[k] = what
            elif isinstance(p, Dispersion):
                self._dispersion(what, p)
            elif isinstance(p, Shift):
                if self.shift is not None:
                    raise ValueError(f"{what}: the shift is given twice")
                self.shift = self._add("shift", 0.0, p.lower, p.upper, what)
            else:
                raise TypeError(f"{what}: expected Thickness, Tie, Dispersion or Shift, got {type(p).__name__}")

    def _dispersion(self, what: str, p: Dispersion) -> None:
        if not isinstance(p.material, (str, Material)):
            raise TypeError(f"{what}.material: expected a material name or a Material, got {type(p.material).__name__}")
        match = (lambda v: isinstance(v, Material) and v.name == p.material) if isinstance(p.material, str) \
            else (lambda v: v is p.material)
        key = p.material if isinstance(p.material, str) else id(p.material)
        f = self.materials.get(key)
        places = [(f"layers[{k}]", l.index) for k, l in enumerate(self.design.layers)]
        places += [("substrate", self.design.substrate)]
        if self.design.substrate_thickness is not None:
            places += [(f"back_layers[{j}]", l.index) for j, l in enumerate(self.design.back_layers)]
            places += [("exit_medium", self.design.exit_medium)] if self.design.exit_medium is not self.design.incident \
                else []
        if f is None:
            found = [(place, v) for place, v in places if match(v)]
            name = p.material if isinstance(p.material, str) else p.material.name
            if not found:
                raise ValueError(f"{what}.material: no layer or medium of the design is {name!r}")
            if match(self.design.incident) and not any(place == "exit_medium" for place, _ in found):
                raise ValueError(f"{what}.material: {name!r} is the incident medium, whose index is not fitted")
            f = _Fitted(found[0][1])
            for place, v in found:
                if v.definition != f.start.definition or (v.definition is None and v is not f.start):
                    raise ValueError(f"{what}.material: {place} holds another material named {name!r}")
                if id(v) not in f.objects:
                    f.objects.append(id(v))
                if place.startswith("layers["):
                    f.front.append(int(place[7:-1]))
                else:
                    f.media.append(place)
            self.materials[key] = f
        terms = model_terms(f.start)
        if p.term not in terms:
            raise ValueError(f"{what}.term: {f.start.name!r} ({f.start.description or 'no model'}) has the terms "
                             f"{', '.join(terms)}, not {p.term!r}")
        fitted_terms = [t for _, t in f.terms] + [p.term]
        if "scale" in fitted_terms and len(fitted_terms) > 1:
            raise ValueError(f"{what}.term: 'scale' is fitted alone, not with the model's terms")
        lower = max(p.lower, 0.0) if p.term == "k" else p.lower
        f.terms.append((self._add(f"{f.start.name}.{p.term}", terms[p.term], lower, p.upper, what), p.term))

    def _analytic(self, j: int) -> bool:
        if j == self.shift:
            return False
        for f in self.materials.values():
            if any(j == i for i, _ in f.terms):
                return f.analytic
        return True

    def _groups(self) -> None:
        if self.design.substrate_thickness is not None:
            bad = [i for i, m in enumerate(self.measurements) if m.quantity not in POWER]
            if bad:
                raise ValueError(f"measurements[{bad[0]}]: ellipsometry is defined for a semi-infinite substrate only")
        keyed: Dict[Tuple[float, bytes], _Group] = {}
        start = 0
        for i, m in enumerate(self.measurements):
            g = keyed.setdefault((m.angle, m.wavelengths.tobytes()), _Group(m.angle, m.wavelengths))
            g.items.append((i, slice(start, start + m.wavelengths.size)))
            g.pols |= {"s", "p"} if m.pol == "u" or m.quantity not in POWER else {m.pol}
            start += m.wavelengths.size
        self.groups = list(keyed.values())
        self.size = start
        self.values = np.concatenate([m.values for m in self.measurements])
        self.sigma = np.concatenate([m.sigma for m in self.measurements])
        self.delta = np.concatenate([np.full(m.values.size, m.quantity == "delta") for m in self.measurements])

    # --- the model

    def at(self, x: np.ndarray) -> Tuple[Any, Dict[Any, Tuple[Material, Dict[str, float]]]]:
        """The design at parameters x, and each fitted material as built, with its term values."""
        d = self.start_d.copy()
        for j, k in self.thickness:
            d[k] = x[j]
        for j, layers in self.ties:
            d[layers] = self.start_d[layers] * (1 + x[j])
        built: Dict[Any, Tuple[Material, Dict[str, float]]] = {}
        replace: Dict[int, Material] = {}
        for key, f in self.materials.items():
            values = model_terms(f.start)
            values = {"scale": 1.0} if any(t == "scale" for _, t in f.terms) else \
                {k: v for k, v in values.items() if k != "scale"}
            for j, term in f.terms:
                values[term] = float(x[j])
            m = with_terms(f.start, values)
            built[key] = (m, values)
            replace.update({i: m for i in f.objects})
        design = self.design
        if replace:
            swap = lambda v: replace.get(id(v), v) if isinstance(v, Material) else v
            design = type(design)([(swap(l.index), l.thickness) for l in design.layers], swap(design.substrate),
                                  design.incident, design.substrate_thickness,
                                  [(swap(l.index), l.thickness) for l in design.back_layers],
                                  None if design.exit_medium is design.incident else swap(design.exit_medium))
        return design.with_thicknesses(np.maximum(d, 0.0)), built

    def model(self, x: np.ndarray, derivatives: bool) -> Tuple[np.ndarray, Optional[np.ndarray]]:
        """The model's values (size,) at x, and their derivatives (size, P) for
        the analytic parameters (the other columns zero) when asked."""
        design, built = self.at(x)
        shift = x[self.shift] if self.shift is not None else 0.0
        P = len(self.names)
        values = np.empty(self.size)
        jac = np.zeros((self.size, P)) if derivatives else None
        rows = self.analytic_rows if derivatives else []
        for g in self.groups:
            w = g.w + shift
            inc = incidence_of(design, w, g.angle)
            with np.errstate(all="ignore"):  # what is not finite is reported by the caller
                amps = {p: self._amplitudes(design, built, w, inc, p, rows) for p in sorted(g.pols)}
                for i, part in g.items:
                    v, dv = _quantity(self.measurements[i], amps)
                    values[part] = v
                    if derivatives and rows:
                        jac[part][:, rows] = dv.T
        return values, jac

    def _amplitudes(self, design: Any, built: dict, w: np.ndarray, inc, pol: str, rows: List[int]) -> dict:
        """r, t (and the thick substrate's faces) at one polarisation, with
        their derivatives (len(rows), N) for the analytic parameters `rows`."""
        e, N = self.engine, w.size
        m = media(design, w, slice(None), N, inc, pol, True)
        dispersion = [(j, key, term) for key, f in self.materials.items() for j, term in f.terms if j in rows]
        out: Dict[str, Any] = {"eta0": m.eta0, "eta_s": m.eta_s}
        if not rows:
            t, tb, r, rb = front(e, design, m, self.method)[:4]
        elif not dispersion:
            t, tb, r, rb, dt, dr, drb = front(e, design, m, self.method, derivatives=True)
        else:
            fb = e.forward_backward(m.w, design.thicknesses, m.n, m.eta, x=m.x)
            t, tb, r, rb = coefficients(fb.stack_matrix, m.eta0, m.eta_s)
            X = np.concatenate([fb.derivatives, self._index_matrices(design, built, m, fb.layer_matrices, dispersion)])
            dt, dr, drb = coefficient_derivatives(X, t, tb, r, rb, m.eta0, m.eta_s)
        out.update(t=t, r=r, tb=tb, rb=rb)
        if design.substrate_thickness is not None:
            out["faces"] = faces(e, design, m, (t, tb, r, rb))
        if rows:
            K = len(design.layers)
            at_row = {j: i for i, (j, _, _) in enumerate(dispersion)}
            d0 = self.start_d

            def mix(dv: np.ndarray) -> np.ndarray:
                """Per-layer (and per-term) derivatives as derivatives per parameter."""
                out_rows = []
                for j in rows:
                    if j in at_row:
                        out_rows.append(dv[K + at_row[j]])
                        continue
                    k = next((k for i, k in self.thickness if i == j), None)
                    if k is not None:
                        out_rows.append(dv[k])
                    else:
                        layers = next(l for i, l in self.ties if i == j)
                        out_rows.append(np.tensordot(d0[layers], dv[layers], axes=1))
                return np.array(out_rows).reshape(len(rows), N)
            out.update(dt=mix(dt), dr=mix(dr), drb=mix(drb))
        return out

    def _index_matrices(self, design: Any, built: dict, m, L: np.ndarray, dispersion: list) -> np.ndarray:
        """dM/dp (len(dispersion), 2, 2, N) for dispersion terms of front
        layers: sum over the material's layers j of P_j dL_j/dp S_j, with
        S_j = L_j-1 ... L_0 and P_j = L_K-1 ... L_j+1 from the engine's L."""
        K, N = L.shape[0], m.w.size
        S = np.empty((K + 1, 2, 2, N), np.complex128)
        S[0] = np.eye(2)[:, :, None]
        for j in range(K):
            S[j + 1] = _product(L[j], S[j])
        Pk = np.empty((K, 2, 2, N), np.complex128)
        Pk[K - 1] = np.eye(2)[:, :, None]
        for j in range(K - 1, 0, -1):
            Pk[j - 1] = _product(Pk[j], L[j])
        out = np.zeros((len(dispersion), 2, 2, N), np.complex128)
        for i, (_, key, term) in enumerate(dispersion):
            material, values = built[key]
            dN = index_derivative(self.materials[key].start, values, term, m.w)
            for j in self.materials[key].front:
                n = m.n[j]
                q = normal_component(n, m.incidence)
                a, b, c, d = layer_matrix_index_derivative(m.w, design.layers[j].thickness, n, q, m.eta[j], m.pol)
                dL = np.array([[a * dN, b * dN], [c * dN, d * dN]])
                out[i] += _product(Pk[j], _product(dL, S[j]))
        return out

    # --- residuals and the Jacobian for the solver

    def evaluate(self, x: np.ndarray, analytic: bool) -> None:
        """Residuals at x, with the analytic columns of the Jacobian when
        asked (they come with the same engine requests)."""
        if self.last is not None and np.array_equal(x, self.last[0]) and (self.last[2] is not None or not analytic):
            return
        self.evaluations += 1
        v, J = self.model(x, analytic)
        self._finite(x, v if J is None else np.concatenate([v, J.ravel()]))
        if analytic:
            J /= self.sigma[:, None]
        self.last = (x.copy(), self._normalised(v), J, False)

    def _finite(self, x: np.ndarray, v: np.ndarray) -> None:
        """NonFiniteResult naming the first measurement and wavelength (and
        the parameters) where the model is not finite."""
        bad = ~np.isfinite(v)
        if not np.any(bad):
            return
        i = int(np.flatnonzero(bad)[0]) % self.size
        edges = np.cumsum([m.values.size for m in self.measurements])
        k = int(np.searchsorted(edges, i, side="right"))
        m = self.measurements[k]
        w = float(m.wavelengths[i - (edges[k - 1] if k else 0)])
        at = ", ".join(f"{n} = {value:g}" for n, value in zip(self.names, x))
        raise NonFiniteResult(f"fit: the model of {m.source} ({m.label}) is not finite at {w:g} nm for {at}", w)

    def jacobian(self, x: np.ndarray) -> np.ndarray:
        """(size, P): the analytic columns, then central differences for the others."""
        self.evaluate(x, True)
        x_, f, J, complete = self.last
        if not complete:
            for j in self.numeric_rows:
                J[:, j] = self._central(x, j)
            self.last = (x_, f, J, True)
        return J

    def _normalised(self, v: np.ndarray) -> np.ndarray:
        return self._difference(v, self.values) / self.sigma

    def _difference(self, a: np.ndarray, b: np.ndarray) -> np.ndarray:
        """a - b, Delta's difference taken in [-180, 180)."""
        r = a - b
        r[self.delta] = (r[self.delta] + 180.0) % 360.0 - 180.0
        return r

    def _central(self, x: np.ndarray, j: int) -> np.ndarray:
        lo, hi = self.bounds[j]
        typical = 1.0 if j == self.shift else (abs(self.x0[j]) or 1.0)
        h = np.cbrt(np.finfo(float).eps) * max(abs(x[j]), typical)
        a, b = max(x[j] - h, lo), min(x[j] + h, hi)
        xa, xb = x.copy(), x.copy()
        xa[j], xb[j] = a, b
        self.evaluations += 2
        return self._difference(self.model(xb, False)[0], self.model(xa, False)[0]) / (self.sigma * (b - a))


def _product(A: np.ndarray, B: np.ndarray) -> np.ndarray:
    """A B of two (2, 2, N) stacks of matrices."""
    return np.array([[A[0, 0] * B[0, 0] + A[0, 1] * B[1, 0], A[0, 0] * B[0, 1] + A[0, 1] * B[1, 1]],
                     [A[1, 0] * B[0, 0] + A[1, 1] * B[1, 0], A[1, 0] * B[0, 1] + A[1, 1] * B[1, 1]]])


def _quantity(m: Measurement, amps: dict) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """A measurement's model values (N,) and their derivatives (rows, N)."""
    if m.quantity in POWER:
        pols = ("s", "p") if m.pol == "u" else (m.pol,)
        R = T = dR = dT = None
        for p in pols:
            Rp, Tp, dRp, dTp = _power(amps[p])
            R, T = (Rp, Tp) if R is None else (0.5 * (R + Rp), 0.5 * (T + Tp))
            if dRp is not None:
                dR, dT = (dRp, dTp) if dR is None else (0.5 * (dR + dRp), 0.5 * (dT + dTp))
        if m.quantity == "R":
            return R, dR
        if m.quantity == "T":
            return T, dT
        return 1 - R - T, None if dR is None else -(dR + dT)
    s, p = amps["s"], amps["p"]
    with np.errstate(all="ignore"):
        rho = ellipsometric_ratio(s["r"], p["r"])
        psi, delta = psi_delta(rho)
        d = None
        if "dr" in s:
            d_rho = ellipsometric_ratio_derivative(s["r"], p["r"], s["dr"], p["dr"])
            d = psi_delta_derivatives(rho, d_rho)[0 if m.quantity == "psi" else 1]
    return (psi if m.quantity == "psi" else delta), d


def _power(a: dict):
    """R, T and (where derivatives were taken) dR, dT of one polarisation."""
    c = (a["t"], a.get("tb"), a["r"], a.get("rb")) + ((a["dt"], a["dr"], a.get("drb")) if "dt" in a else ())
    return powers(c, a["eta0"], a["eta_s"], a.get("faces"))


# ---------------------------------------------------------------- the fit

def fit(design: Any, measurements: Any, parameters: Sequence[Parameter], *, engine: Optional[Engine] = None,
        method: str = "auto", jacobian: str = "analytic", progress: Optional[IterationProgress] = None,
        **options: Any) -> Fit:
    """Fits `parameters` (Thickness, Tie, Dispersion, Shift; see the module)
    of `design` to `measurements` (Measurements, measurement files, or a
    sequence of them) by bounded least squares from the design's own
    values. jacobian: "analytic" (the engine's derivatives, see the module)
    or "2-point"/"3-point" (scipy's finite differences for every
    parameter). progress(iteration, chi2, values) sees the start and each
    accepted step; raising from it stops the fit. options go to
    scipy.optimize.least_squares (ftol, xtol, gtol default to 1e-10,
    x_scale to "jac", max_nfev, ...)."""
    from scipy.optimize import least_squares

    e = engine or default_engine()
    check_method(method)
    if jacobian not in ("analytic", "2-point", "3-point"):
        raise ValueError(f"jacobian: expected 'analytic', '2-point' or '3-point', got {jacobian!r}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress: expected a callable (iteration, chi2, values), got {type(progress).__name__}")
    ms = measurements_of(measurements)
    problem = _Problem(design, ms, parameters, e, method, jacobian == "analytic")
    P = len(problem.names)
    if problem.size <= P:
        raise ValueError(f"measurements: {problem.size} values cannot determine {P} parameters")
    x0 = np.array(problem.x0)
    lo, hi = np.array(problem.bounds).T
    started = time.perf_counter()

    def residuals(x: np.ndarray) -> np.ndarray:
        problem.evaluate(x, jacobian == "analytic")
        return problem.last[1].copy()

    def jac(x: np.ndarray) -> np.ndarray:
        J = problem.jacobian(x)
        f = problem.last[1]
        if progress is not None:
            progress(problem.jacobians, float(f @ f), x.copy())
        problem.jacobians += 1
        return J.copy()

    options = {**TOLERANCES, "x_scale": "jac", **options}
    solution = least_squares(residuals, x0, jac=jac if jacobian == "analytic" else jacobian, bounds=(lo, hi),
                             method="trf", **options)
    x = np.clip(solution.x, lo, hi)
    J = problem.jacobian(x)  # at the solution, analytic where it can be
    f = problem.last[1]
    seconds = time.perf_counter() - started
    chi2 = float(f @ f)
    dof = problem.size - P
    errors, correlation = _uncertainties(J, chi2 / dof)
    fitted_design, built = problem.at(x)
    values, _ = problem.model(x, False)
    parts = np.cumsum([0] + [m.values.size for m in ms])
    kinds = {name: ("analytic" if j in problem.analytic_rows else "finite differences")
             for j, name in enumerate(problem.names)}
    return Fit(fitted_design, tuple(problem.names), x, errors, correlation, chi2, dof, chi2 / dof, f.copy(), tuple(ms),
               tuple(values[a:b] for a, b in zip(parts[:-1], parts[1:])), kinds,
               {m.name: m for m, _ in built.values()}, _warnings(problem.names, errors, correlation),
               bool(solution.success), str(solution.message), problem.evaluations, problem.jacobians, seconds)


def _uncertainties(J: np.ndarray, reduced_chi2: float) -> Tuple[np.ndarray, np.ndarray]:
    """Standard errors (P,) and correlation (P, P) from the normalised
    residuals' Jacobian: covariance V S^-2 V^T reduced_chi2 from J = U S V^T
    (a direction the data do not fix at all gets a huge variance, not an
    error: it shows as standard errors far above the values and a
    correlation of +-1)."""
    _, s, Vt = np.linalg.svd(J, full_matrices=False)
    s = np.maximum(s, (s[0] if s.size else 1.0) * 1e-15 + np.finfo(float).tiny)
    cov = (Vt.T / (s * s)) @ Vt * reduced_chi2
    errors = np.sqrt(np.diag(cov))
    with np.errstate(all="ignore"):
        correlation = cov / np.outer(errors, errors)
    np.fill_diagonal(correlation, 1.0)
    return errors, np.clip(correlation, -1.0, 1.0)


def _warnings(names: List[str], errors: np.ndarray, correlation: np.ndarray) -> Tuple[str, ...]:
    out = []
    for i in range(len(names)):
        for j in range(i + 1, len(names)):
            c = correlation[i, j]
            if abs(c) > CORRELATED:
                out.append(f"{names[i]} and {names[j]} are correlated ({c:+.3f}): the measurements determine a "
                           f"combination of them, not each (standard errors {errors[i]:.3g}, {errors[j]:.3g})")
    return tuple(out)


# ---------------------------------------------------------------- the figure

def fit_figure(result: Fit):
    """Measured (points) against fitted (lines) per kind of quantity, the
    normalised residuals below; a matplotlib Figure."""
    import matplotlib
    import matplotlib.pyplot as plt

    kinds = []
    for m in result.measurements:
        k = "R, T, A (%)" if m.quantity in POWER else ("psi (degrees)" if m.quantity == "psi" else "Delta (degrees)")
        if k not in kinds:
            kinds.append(k)
    fig, axes = plt.subplots(2, len(kinds), figsize=(5.5 * len(kinds), 6.5), squeeze=False, sharex="col",
                             gridspec_kw={"height_ratios": [2.2, 1]}, constrained_layout=True)
    colours = matplotlib.colormaps["tab10"]
    start = 0
    for i, (m, v) in enumerate(zip(result.measurements, result.fitted)):
        k = "R, T, A (%)" if m.quantity in POWER else ("psi (degrees)" if m.quantity == "psi" else "Delta (degrees)")
        c = kinds.index(k)
        scale = 100.0 if m.quantity in POWER else 1.0
        top, bottom = axes[0, c], axes[1, c]
        colour = colours(i % 10)
        top.plot(m.wavelengths, scale * m.values, ".", color=colour, markersize=3, label=f"{m.label} measured")
        top.plot(m.wavelengths, scale * v, "-", color=colour, linewidth=1, label="fitted")
        r = result.residuals[start:start + m.values.size]
        bottom.plot(m.wavelengths, r, ".", color=colour, markersize=3)
        start += m.values.size
    for c, k in enumerate(kinds):
        axes[0, c].set_ylabel(k)
        axes[0, c].legend(fontsize=7, loc="best")
        axes[0, c].grid(alpha=0.3)
        axes[1, c].axhline(0.0, color="k", linewidth=0.6)
        axes[1, c].set_ylabel("(model - measured) / sigma")
        axes[1, c].set_xlabel("wavelength (nm)")
        axes[1, c].grid(alpha=0.3)
    fig.suptitle(f"fit of {len(result.names)} parameters: chi2/nu = {result.reduced_chi2:.3g} (nu = {result.dof})")
    return fig
