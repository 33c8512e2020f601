"""The electric field through a coating: |E(z)|^2 from a stretch of the
incident medium through every layer into the substrate, the absorption it
drives, the peak in each layer, and the admittance Y(z) = H/E the layers
trace on their way from the substrate to the incident medium.

Depth z (nm) is 0 at the coating's outer surface and grows towards the
substrate: the incident medium lies at z < 0, the outermost layer (K - 1)
first, layer 0 ends at the total thickness D, the substrate lies beyond.

The tangential fields (E, H) at every interface come from one product per
layer with the engine's layer matrices, from (1, eta_s) at the substrate
up. Inside each medium the field is the sum of its two plane waves: at
height u above the medium's lower face, with beta = 2 pi q / lambda,

    E(u) = a e^{i beta u} + b e^{-i beta u},  H(u) = eta (a e^{i beta u} - b e^{-i beta u}),
    a = (E + H / eta) / 2,  b = (E - H / eta) / 2   (at the lower face),

so |E|^2 at any depth is P e^{-2 beta'' u} + Q e^{2 beta'' u} + 2 Re(C e^{2 i beta' u})
with P = |a|^2, Q = |b|^2, C = a b*: a few elementary functions per depth,
nothing multiplied through the stack again. E is the tangential component
that the admittances relate (s: the whole field); for p the normal
component is E_z = -x H / N^2 = -(x / q)(a e^{i beta u} - b e^{-i beta u}).

Intensities are relative to the incident wave's |E|^2 (the whole field,
|E_x|^2 / cos^2(theta0) for p). The absorption density, the share of the
incident power absorbed per nm of depth, is

    (2 pi / lambda) (-Im N^2) |E|^2 / Re(n0 cos theta0),   -Im N^2 = 2 n k for N = n - ik,

and its integral over a layer is the layer's absorptance.
"""

import numbers
from typing import Any, Dict, NamedTuple, Optional, Tuple

import numpy as np

from ._binding import Engine, default_engine
from ._sweep import Angle, Media, Progress, angles, grid, incidence_of, media, sweep, thicknesses
from .optics import incident_admittance, normal_component

MAX_DEPTHS = 1_000_000
DEFAULT_DEPTHS = 1000      # intervals across the stretch shown by default...
SAMPLES_PER_WAVELENGTH = 100  # ...at most lambda_min / this apart
PEAK_SAMPLES = 16          # samples per period of the standing wave when seeking a layer's peak,
PEAK_ELEMENTS = 2 ** 22    # samples x layers x wavelengths at a time
SMALLEST = np.exp(-700.0)  # 1 / e^700, e^700 ~ 1e304 near the largest double


class Field(NamedTuple):
    """|E|^2 relative to the incident wave's over the depths (nm). Shapes:
    Z depths, K layers, N wavelengths; an array of M angles adds a leading
    axis to E2, tangential, normal, density and peak.

    depth (Z,) nm; layer (Z,) the medium at each depth: j for layer j, -1
    the substrate, K the incident medium (a depth on an interface belongs
    to the medium below it); interfaces (K + 1,) the depth of the lower face
    of each layer, interfaces[K] = 0 the outer surface; index (Z, N) the
    complex index there. E2 = tangential + normal (Z, N): the tangential
    component (s: the whole field) and the one normal to the layers (p
    only; zero for s); for "u" the means of s and p. density (Z, N): share
    of the incident power absorbed per nm. peak (K, N): the largest |E|^2
    within each layer, its faces included. A single wavelength given as a
    number drops the wavelength axis of all of them."""
    wavelengths: np.ndarray
    depth: np.ndarray
    layer: np.ndarray
    interfaces: np.ndarray
    index: np.ndarray
    E2: np.ndarray
    tangential: np.ndarray
    normal: np.ndarray
    density: np.ndarray
    peak: np.ndarray


class AdmittanceLocus(NamedTuple):
    """The admittance Y = H/E (units of the free-space admittance, tilted
    for the polarisation) from the substrate's face to the outer surface.
    Points: P = 1 + K points_per_layer; point 0 is the substrate's
    admittance, layer j's points follow from its lower face up, its last
    point on its upper face. depth (P,) nm; layer (P,): -1 for point 0,
    else the layer; boundaries (K + 1,) the point on each layer's lower
    face, boundaries[K] = P - 1 the outer surface. Y (P, N), with a leading
    axis of M angles for an array of angles; incident: the incident
    medium's admittance, a number or (M,). The coating reflects
    r = (incident - Y[-1]) / (incident + Y[-1])."""
    wavelengths: np.ndarray
    depth: np.ndarray
    layer: np.ndarray
    boundaries: np.ndarray
    Y: np.ndarray
    incident: Any


# ---------------------------------------------------------------- the fields at the interfaces

def interface_fields(e: Engine, design: Any, m: Media) -> Tuple[np.ndarray, np.ndarray]:
    """Tangential E and H (K + 1, B) at the lower face of each layer and at
    the outer surface (row K), for (E, H) = (1, eta_s) at the substrate."""
    K = len(design.layers)
    E = np.empty((K + 1, m.w.size), np.complex128)
    H = np.empty_like(E)
    E[0], H[0] = 1.0, m.eta_s
    if K:
        L = e.forward_backward(m.w, thicknesses(design.layers), m.n, m.eta, x=m.x).layer_matrices
        for j in range(K):
            E[j + 1] = L[j, 0, 0] * E[j] + L[j, 0, 1] * H[j]
            H[j + 1] = L[j, 1, 0] * E[j] + L[j, 1, 1] * H[j]
    return E, H


class Waves(NamedTuple):
    """The waves in the K + 2 media of a stack, substrate first, then
    layers 0 .. K - 1, then the incident medium, each (K + 2, B): index N,
    normal component q, admittance eta, and the amplitudes a, b of its two
    waves at its lower face (the incident medium's: the surface; the
    substrate's: the transmitted wave alone, at the substrate's face)."""
    N: np.ndarray
    q: np.ndarray
    eta: np.ndarray
    a: np.ndarray
    b: np.ndarray


def waves(e: Engine, design: Any, m: Media) -> Waves:
    """The Waves of `design` on the batch of media m."""
    E, H = interface_fields(e, design, m)
    inc = m.incidence
    N = np.concatenate([m.n_s[None], m.n, np.full((1, m.w.size), inc.index, np.complex128)])
    q = normal_component(N, inc)
    q[-1] = inc.normal  # from the cosine itself
    eta = np.concatenate([m.eta_s[None], m.eta, np.full((1, m.w.size), m.eta0, np.complex128)])
    # each layer's (E, H) at its lower face; the incident medium's at the surface
    E_low = np.concatenate([E[:1], E[:-1], E[-1:]])
    H_low = np.concatenate([H[:1], H[:-1], H[-1:]])
    a = (E_low + H_low / eta) / 2
    b = (E_low - H_low / eta) / 2
    a[0], b[0] = 1.0, 0.0  # exactly: nothing comes back up from the substrate
    return Waves(N, q, eta, a, b)


# ---------------------------------------------------------------- depths

def layer_faces(design: Any) -> np.ndarray:
    """(K + 1,) depth in nm of each layer's lower face, and 0 (the surface) last."""
    d = thicknesses(design.layers)
    return np.concatenate([np.cumsum(d[::-1])[::-1], [0.0]])


def depth_grid(depth: Any, total: float, margin: float, w: np.ndarray) -> np.ndarray:
    """The depths (nm): given, or on a uniform step (None: a default step)
    from -margin to total + margin."""
    if depth is not None and not (isinstance(depth, numbers.Real) and not isinstance(depth, (bool, np.bool_))):
        if isinstance(depth, (bool, np.bool_, str)):
            raise TypeError(f"depth: expected None, a step in nm or an array of depths, got {type(depth).__name__}")
        z = np.asarray(depth, np.float64)
        if z.ndim != 1 or z.size == 0 or not np.all(np.isfinite(z)):
            raise ValueError("depth: expected a non-empty 1-dimensional array of finite depths (nm)")
        if z.size > MAX_DEPTHS:
            raise ValueError(f"depth: more than {MAX_DEPTHS} depths")
        return z
    span = total + 2 * margin
    if depth is None:
        step = min(span / DEFAULT_DEPTHS, float(w.min()) / SAMPLES_PER_WAVELENGTH) if span > 0 else 1.0
    else:
        step = float(depth)
        if not (np.isfinite(step) and step > 0):
            raise ValueError(f"depth: expected a step > 0 nm, got {depth}")
    count = int(np.floor(span / step + 1e-9)) + 1
    if count > MAX_DEPTHS:
        raise ValueError(f"depth: a step of {step:g} nm gives more than {MAX_DEPTHS} depths over {span:g} nm")
    return -margin + step * np.arange(count, dtype=np.float64)


def medium_of(z: np.ndarray, faces: np.ndarray) -> np.ndarray:
    """(Z,) medium number of each depth, in the order of Waves: 0 the
    substrate, j + 1 layer j, K + 1 the incident medium."""
    K = faces.size - 1
    return K + 1 - np.searchsorted(faces[::-1], z, side="right")


def _margin(margin: Optional[float], w: np.ndarray) -> float:
    if margin is None:
        return float(w.max()) / 2  # a standing-wave period in vacuum, or more
    if isinstance(margin, (bool, np.bool_)) or not isinstance(margin, numbers.Real) or not (
            np.isfinite(margin) and margin >= 0):
        raise ValueError(f"margin: expected a finite length >= 0 nm, got {margin!r}")
    return float(margin)


def _semi_infinite(design: Any) -> None:
    if design.substrate_thickness is not None:
        raise ValueError("substrate_thickness: the field is defined for a semi-infinite substrate only "
                         "(the light returning from a thick substrate's back adds incoherently)")


# ---------------------------------------------------------------- intensities

def basis(beta: np.ndarray, u: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """e^{-2 beta'' u}, e^{2 beta'' u}, cos(2 beta' u), sin(2 beta' u)
    (broadcast): what the intensities of every component share. The
    growing exponential stops at e^700, where the decaying one has
    vanished: the substrate's absent reflected wave then weighs 0 deep
    inside an absorbing substrate instead of 0 x inf."""
    # in place where it can be: fresh arrays of this size cost page faults
    e = beta.imag * u
    e *= -2
    np.exp(e, out=e)
    grow = np.maximum(e, SMALLEST)
    np.reciprocal(grow, out=grow)
    phase = beta.real * u
    phase *= 2
    cos = np.cos(phase)
    return e, grow, cos, np.sin(phase, out=phase)


def intensity(P: np.ndarray, Q: np.ndarray, C: np.ndarray, b: Tuple[np.ndarray, ...]) -> np.ndarray:
    """P e^{-2 beta'' u} + Q e^{2 beta'' u} + 2 Re(C e^{2 i beta' u}) on a basis (broadcast)."""
    f = P * b[0]
    term = Q * b[1]
    f += term
    for part, sign in ((C.real, 2.0), (C.imag, -2.0)):
        np.multiply(part, b[2 if sign > 0 else 3], out=term)
        term *= sign
        f += term
    return f


def wave_intensities(s: Waves, x: float, pol: str) -> Tuple[Tuple[np.ndarray, ...], Optional[Tuple[np.ndarray, ...]]]:
    """(P, Q, C) of the tangential and the normal component in each medium
    (None: no normal component, for s or at normal incidence)."""
    tangential = (np.abs(s.a) ** 2, np.abs(s.b) ** 2, s.a * np.conj(s.b))
    if pol == "s" or x == 0:
        return tangential, None
    g = np.abs(x / s.q) ** 2
    return tangential, (g * tangential[0], g * tangential[1], -g * tangential[2])


def field(design: Any, wavelengths: Any, *, depth: Any = None, margin: Optional[float] = None, angle: Angle = 0.0,
          pol: str = "s", engine: Optional[Engine] = None, batch: Optional[int] = None,
          progress: Optional[Progress] = None) -> Field:
    """|E(z)|^2 relative to the incident wave's at each depth (nm) and
    wavelength (nm; a number or (N,)), its tangential and normal components, the absorption
    density (1/nm) and the peak in each layer (see the module and Field).
    depth: None (a uniform grid, at most min(wavelengths)/100 apart, over
    [-margin, D + margin]), a step in nm over that span, or the depths
    themselves (Z,). margin: nm of incident medium and of substrate shown
    (default: half the longest wavelength). angle in degrees, a number or
    (M,); pol "s", "p" or "u". Semi-infinite substrate."""
    _semi_infinite(design)
    e = engine or default_engine()
    one = np.ndim(wavelengths) == 0
    w = grid(np.atleast_1d(wavelengths))
    faces = layer_faces(design)
    z = depth_grid(depth, float(faces[0]), _margin(margin, w), w)
    where = medium_of(z, faces)
    below = np.concatenate([[faces[0]], faces[:-1], [0.0]])  # each medium's lower face
    u = (below[where] - z)[:, None]
    K = len(design.layers)

    def compute(m: Media) -> Dict[str, np.ndarray]:
        s = waves(e, design, m)
        beta = (2 * np.pi / m.w) * s.q
        c2 = m.incidence.cos ** 2 if m.pol == "p" else 1.0
        norm = np.abs(s.a[-1]) ** 2 / c2
        tangential, normal = wave_intensities(s, m.x, m.pol)
        b = basis(beta[where], u)
        out = {"tangential": intensity(*(c[where] for c in tangential), b) / norm}
        if normal is None:
            out["normal"], out["E2"] = np.zeros_like(out["tangential"]), out["tangential"]
        else:
            out["normal"] = intensity(*(c[where] for c in normal), b) / norm
            out["E2"] = out["tangential"] + out["normal"]
        loss = -(s.N * s.N).imag * (2 * np.pi / m.w)
        out["density"] = loss[where] * out["E2"] / np.real(m.incidence.normal)
        # the peaks are sought after the sweep: that of "u" is the peak of the mean, not the mean of the peaks
        layers = slice(1, K + 1)
        for name, t, n in zip("PQC", tangential, normal or (0, 0, 0)):
            out[name] = (t[layers] + (n[layers] if normal else 0)) / norm
        out["beta"] = beta[layers]
        return out

    w, v = sweep(design, w, angle, pol, 16 * (16 * K + 12 * z.size) + 1024, batch, progress, compute, "field", w=w)
    with np.errstate(all="ignore"):
        peak = layer_peaks(v["P"], v["Q"], v["C"], v["beta"], thicknesses(design.layers))
    n = media(design, w, slice(None), w.size, incidence_of(design, w, 0.0), "s", True)
    index = np.concatenate([n.n_s[None], n.n, np.full((1, w.size), n.incidence.index, np.complex128)])[where]
    data = [index, v["E2"], v["tangential"], v["normal"], v["density"], peak]
    return Field(w, z, where - 1, faces, *(a[..., 0] if one else a for a in data))


def layer_peaks(P: np.ndarray, Q: np.ndarray, C: np.ndarray, beta: np.ndarray, d: np.ndarray) -> np.ndarray:
    """The maximum over each layer's [0, d_j] of the intensity of
    coefficients (..., K, N): sampled at PEAK_SAMPLES or more per period,
    then the best sample polished by Newton steps on the derivative within
    its two neighbours (the intensity is smooth there, so the steps
    converge). All layers at once, on as many samples as the layer with
    the most periods needs."""
    if d.size == 0:
        return np.empty(P.shape, np.float64)
    periods = np.max(np.abs(beta.real), axis=tuple(i for i in range(beta.ndim) if i != beta.ndim - 2)) * d / np.pi
    count = int(np.ceil(PEAK_SAMPLES * periods.max())) + 2
    step = (d / (count - 1))[:, None]  # (K, 1)
    sampled = np.full(P.shape, -np.inf)
    best = np.zeros(P.shape, np.intp)
    chunk = max(1, PEAK_ELEMENTS // P.size)  # bounded memory beside thick layers
    for first in range(0, count, chunk):
        i = np.arange(first, min(first + chunk, count)).reshape((-1,) + (1,) * P.ndim)
        f = intensity(P, Q, C, basis(beta, i * step))
        k = np.argmax(f, axis=0)
        top = np.take_along_axis(f, k[None], 0)[0]
        better = top > sampled
        sampled, best = np.where(better, top, sampled), np.where(better, k + first, best)
    at = best * step
    lo, hi = np.maximum(at - step, 0.0), np.minimum(at + step, d[:, None])
    g, k = beta.imag, beta.real
    for _ in range(4):
        e1, e2, cos, sin = basis(beta, at)
        rot_re, rot_im = C.real * cos - C.imag * sin, C.real * sin + C.imag * cos  # C e^{2 i k u}
        slope = -2 * g * (P * e1 - Q * e2) - 4 * k * rot_im
        curve = 4 * g * g * (P * e1 + Q * e2) - 8 * k * k * rot_re
        at = np.clip(at - np.where(curve < 0, slope / np.where(curve < 0, curve, 1.0), 0.0), lo, hi)
    return np.maximum(sampled, intensity(P, Q, C, basis(beta, at)))


# ---------------------------------------------------------------- admittance

def admittance_locus(design: Any, wavelengths: Any, *, angle: Angle = 0.0, pol: str = "s",
                     points_per_layer: int = 64, engine: Optional[Engine] = None,
                     batch: Optional[int] = None) -> AdmittanceLocus:
    """Y(z) = H/E from the substrate to the outer surface at each
    wavelength (nm; a number or (N,)), points_per_layer points through each layer (see
    AdmittanceLocus); angle in degrees, a number or (M,); pol "s" or "p"."""
    _semi_infinite(design)
    if isinstance(points_per_layer, (bool, np.bool_)) or not isinstance(points_per_layer, numbers.Integral):
        raise TypeError(f"points_per_layer: expected an integer, got {type(points_per_layer).__name__}")
    if not 1 <= points_per_layer <= 100_000:
        raise ValueError(f"points_per_layer: expected 1 to 100000, got {points_per_layer}")
    e = engine or default_engine()
    one = np.ndim(wavelengths) == 0
    w = grid(np.atleast_1d(wavelengths))
    d = thicknesses(design.layers)
    K, n = len(d), int(points_per_layer)
    faces = layer_faces(design)
    height = np.concatenate([[0.0]] + [dj * np.arange(1, n + 1) / n for dj in d])  # above each layer's lower face
    layer = np.concatenate([[-1], np.repeat(np.arange(K), n)]).astype(np.intp)
    depth = faces[np.maximum(layer, 0)] - height
    depth[0] = faces[0]

    def compute(m: Media) -> Dict[str, np.ndarray]:
        s = waves(e, design, m)
        Y = np.empty((1 + K * n, m.w.size), np.complex128)
        Y[0] = m.eta_s
        for j in range(K):
            i = j + 1
            rot = np.exp((4j * np.pi / m.w) * s.q[i] * height[1 + j * n:1 + (j + 1) * n, None])
            Y[1 + j * n:1 + (j + 1) * n] = s.eta[i] * (s.a[i] * rot - s.b[i]) / (s.a[i] * rot + s.b[i])
        return {"Y": Y}

    w, v = sweep(design, w, angle, pol, 16 * (16 * K + 4 * K * n) + 1024, batch, None, compute,
                 "admittance_locus", ("s", "p"), w=w)
    a, scalar = angles(angle)
    eta0 = np.array([incident_admittance(incidence_of(design, w, float(t)), pol) for t in a], np.complex128)
    return AdmittanceLocus(w, depth, layer, np.arange(K + 1) * n, v["Y"][..., 0] if one else v["Y"],
                           complex(eta0[0]) if scalar else eta0)


def reflection(Y: Any, incident: Any) -> np.ndarray:
    """The amplitude reflection r = (eta0 - Y) / (eta0 + Y) of a surface of
    input admittance Y seen from a medium of admittance eta0 (broadcast)."""
    Y = np.asarray(Y, np.complex128)
    return (incident - Y) / (incident + Y)


def iso_reflectance_circle(incident: float, R: Any) -> Tuple[np.ndarray, np.ndarray]:
    """Centre (on the real axis) and radius of the circle of admittances
    that reflect R (0 <= R < 1) into a lossless medium of admittance
    `incident`: centre eta0 (1 + R) / (1 - R), radius 2 eta0 sqrt(R) / (1 - R)."""
    R = np.asarray(R, np.float64)
    return incident * (1 + R) / (1 - R), 2 * incident * np.sqrt(R) / (1 - R)
