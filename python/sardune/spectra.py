"""Spectra, sensitivities, absorptance, phases and ellipsometric angles of a
design, on top of the engine (see sardune.optics for the conventions).

Shapes: N wavelengths, K layers. A scalar angle gives results over the
wavelengths, (N,) or (K, N); an array of M angles adds a leading axis, (M, N)
or (M, K, N). pol is "s", "p" or "u" (unpolarised: the mean of the s and p
intensities R, T, A and their derivatives; amplitudes are None then).
Options after the wavelengths are keyword-only, in the same order
everywhere: angle, pol, engine, method, batch, progress. A result that is
not finite raises NonFiniteResult naming the first wavelength (and layer).
"""

from typing import Any, Dict, NamedTuple, Optional

import numpy as np

from ._binding import Engine, default_engine
from ._sweep import Angle, Media, Progress, check_method, faces, front, grid, sweep
from .optics import (coefficients, ellipsometric_ratio, incoherent, incoherent_derivatives, layer_matrix,
                     normal_component, power_derivative, psi_delta, reflectance, transmittance,
                     transmittance_derivative)

C_NM_PER_FS = 299.792458  # speed of light


class Spectrum(NamedTuple):
    """R, T, A = 1 - R - T; r, t the amplitude coefficients (None for "u"
    and for a thick substrate, whose surfaces combine incoherently)."""
    wavelengths: np.ndarray
    R: np.ndarray
    T: np.ndarray
    A: np.ndarray
    r: Optional[np.ndarray]
    t: Optional[np.ndarray]


class Sensitivities(NamedTuple):
    """R, T and dR/dd_k, dT/dd_k per nm of layer k's thickness, (K, N) per angle."""
    wavelengths: np.ndarray
    R: np.ndarray
    T: np.ndarray
    dR: np.ndarray
    dT: np.ndarray


class Absorptance(NamedTuple):
    """R, T and the share of the incident power absorbed in each layer,
    `layers` (K, N) per angle; R + T + layers.sum(axis=-2) = 1."""
    wavelengths: np.ndarray
    R: np.ndarray
    T: np.ndarray
    layers: np.ndarray


class Phase(NamedTuple):
    """Amplitudes r, t; their phases in radians (-pi, pi]; group delay in fs
    and group-delay dispersion in fs^2 of each (see Design.phase)."""
    wavelengths: np.ndarray
    r: np.ndarray
    t: np.ndarray
    phase_r: np.ndarray
    phase_t: np.ndarray
    gd_r: np.ndarray
    gd_t: np.ndarray
    gdd_r: np.ndarray
    gdd_t: np.ndarray


class Ellipsometry(NamedTuple):
    """psi and Delta in degrees, rho = r_p / r_s = tan(psi) exp(i Delta)."""
    wavelengths: np.ndarray
    psi: np.ndarray
    delta: np.ndarray
    rho: np.ndarray


def _semi_infinite(design: Any, what: str) -> None:
    if design.substrate_thickness is not None:
        raise ValueError(f"substrate_thickness: {what} is defined for a semi-infinite substrate only")


def spectrum(design: Any, wavelengths: Any, *, angle: Angle = 0.0, pol: str = "s", engine: Optional[Engine] = None,
             method: str = "auto", batch: Optional[int] = None, progress: Optional[Progress] = None) -> Spectrum:
    """R, T, A and the amplitude coefficients r, t at each wavelength (nm).
    angle in degrees in the incident medium, [0, 90), a number or an array
    (a leading angle axis). method: 'auto' takes the engine's real-index
    path when the layers allow it, 'complex' always the stack-matrix path,
    'real' insists on the real-index path. With a thick substrate, R and T
    are those of the whole part and r, t are None."""
    e = engine or default_engine()
    check_method(method)
    thick = design.substrate_thickness is not None

    def compute(m: Media) -> Dict[str, np.ndarray]:
        c = front(e, design, m, method)
        if thick:
            R, T = incoherent(faces(e, design, m, c))
            return {"R": R, "T": T}
        t, _, r, _ = c
        R, T = reflectance(r), transmittance(t, m.eta0, m.eta_s)
        return {"R": R, "T": T, **({"r": r, "t": t} if m.amplitudes else {})}

    w, v = sweep(design, wavelengths, angle, pol, 16 * 4 * len(design.layers) + 1024, batch, progress, compute,
                 "spectrum")
    return Spectrum(w, v["R"], v["T"], 1 - v["R"] - v["T"], v.get("r"), v.get("t"))


def sensitivities(design: Any, wavelengths: Any, *, angle: Angle = 0.0, pol: str = "s",
                  engine: Optional[Engine] = None, method: str = "auto", batch: Optional[int] = None,
                  progress: Optional[Progress] = None) -> Sensitivities:
    """R, T and their derivatives dR/dd_k, dT/dd_k (K, N) per nm of layer
    k's thickness (front layers; with a thick substrate, R and T of the
    whole part)."""
    e = engine or default_engine()
    check_method(method)
    thick = design.substrate_thickness is not None

    def compute(m: Media) -> Dict[str, np.ndarray]:
        c = front(e, design, m, method, derivatives=True)
        t, tb, r, rb, dt, dr, drb = c
        R, T = reflectance(r), transmittance(t, m.eta0, m.eta_s)
        dR, dT = power_derivative(r, dr), transmittance_derivative(t, dt, m.eta0, m.eta_s)
        if thick:
            # T' = Re(eta0)/Re(eta_s) |t'|^2 with t' = t eta_s / eta0
            f = faces(e, design, m, c)
            dT_back = (np.real(m.eta0) / np.real(m.eta_s) * np.abs(m.eta_s / m.eta0) ** 2
                       * power_derivative(t, dt))
            dR, dT = incoherent_derivatives(f, dR, dT, power_derivative(rb, drb), dT_back)
            R, T = incoherent(f)
        return {"R": R, "T": T, "dR": dR, "dT": dT}

    w, v = sweep(design, wavelengths, angle, pol, 16 * 24 * len(design.layers) + 1024, batch, progress, compute,
                 "sensitivities")
    return Sensitivities(w, v["R"], v["T"], v["dR"], v["dT"])


def absorptance(design: Any, wavelengths: Any, *, angle: Angle = 0.0, pol: str = "s",
                batch: Optional[int] = None, progress: Optional[Progress] = None) -> Absorptance:
    """R, T and the share of the incident power absorbed in each layer
    (K, N), from the power flux Re(E H*) at the layer's two interfaces,
    the fields propagated up from the substrate (E = 1, H = eta_s) by the
    layer matrices. T is the power entering the (semi-infinite)
    substrate; R + T + sum over layers = 1 up to rounding."""
    _semi_infinite(design, "absorptance per layer")

    def compute(m: Media) -> Dict[str, np.ndarray]:
        E, H = np.ones_like(m.eta_s), m.eta_s
        flux = [np.real(H)]
        for j, layer in enumerate(design.layers):
            a, b, c, d = layer_matrix(m.w, layer.thickness, normal_component(m.n[j], m.incidence), m.eta[j])
            E, H = a * E + b * H, c * E + d * H
            flux.append(np.real(E * np.conj(H)))
        forward = (m.eta0 * E + H) / (2 * m.eta0)
        backward = (m.eta0 * E - H) / (2 * m.eta0)
        incident = np.real(m.eta0) * np.abs(forward) ** 2
        flux = np.array(flux)
        return {"R": np.abs(backward / forward) ** 2, "T": flux[0] / incident,
                "layers": np.diff(flux, axis=0) / incident}

    w, v = sweep(design, wavelengths, angle, pol, 16 * 6 * len(design.layers) + 1024, batch, progress, compute,
                 "absorptance")
    return Absorptance(w, v["R"], v["T"], v["layers"])


def phase(design: Any, wavelengths: Any, *, angle: Angle = 0.0, pol: str = "s", engine: Optional[Engine] = None,
          batch: Optional[int] = None, progress: Optional[Progress] = None) -> Phase:
    """Phases of r and t (radians), group delay GD = -d(phase)/d(omega)
    in fs and group-delay dispersion GDD = d(GD)/d(omega) in fs^2, with
    omega = 2 pi c / lambda (rad/fs) and derivatives taken on the grid
    (second-order differences on the unwrapped phase; the grid must be
    strictly monotonic, of at least 3 wavelengths, and fine enough that
    the phase moves by less than pi between neighbours). Fields vary as
    exp(+i omega t) (N = n - ik), so a delay lowers the phase and a
    positive GD is a delay: a slab of vacuum of thickness d in
    transmission has GD = d / c. pol is "s" or "p" (phases are per
    polarisation)."""
    _semi_infinite(design, "the phase")
    e = engine or default_engine()
    w = grid(wavelengths)
    steps = np.diff(w)
    if w.size < 3 or not (np.all(steps > 0) or np.all(steps < 0)):
        raise ValueError("wavelengths: the group delay needs a strictly monotonic grid of at least 3 values")

    def compute(m: Media) -> Dict[str, np.ndarray]:
        t, _, r, _ = front(e, design, m, "auto")
        return {"r": r, "t": t}

    w, v = sweep(design, w, angle, pol, 16 * 4 * len(design.layers) + 1024, batch, progress, compute, "phase",
                 ("s", "p"), w=w)
    omega = 2 * np.pi * C_NM_PER_FS / w
    out = {}
    for name in ("r", "t"):
        phi = np.unwrap(np.angle(v[name]), axis=-1)
        gd = -np.gradient(phi, omega, axis=-1, edge_order=2)
        out[name] = (np.angle(v[name]), gd, np.gradient(gd, omega, axis=-1, edge_order=2))
    return Phase(w, v["r"], v["t"], out["r"][0], out["t"][0], out["r"][1], out["t"][1], out["r"][2], out["t"][2])


def ellipsometry(design: Any, wavelengths: Any, *, angle: Angle, engine: Optional[Engine] = None,
                 batch: Optional[int] = None, progress: Optional[Progress] = None) -> Ellipsometry:
    """psi and Delta (degrees) with rho = r_p / r_s = tan(psi) exp(i Delta),
    Delta in (-180, 180], in the convention ellipsometers report: N = n - ik
    and r_p = -r_s at normal incidence, so a bare lossless substrate gives
    Delta = 180 below its Brewster angle and 0 above it, and an absorbing
    one Delta falling from 180 at normal incidence through 90 at the
    principal angle towards 0 at grazing incidence (0 < Delta < 180)."""
    _semi_infinite(design, "ellipsometry")
    e = engine or default_engine()

    def compute(m: Media) -> Dict[str, np.ndarray]:
        return {"r_" + m.pol: front(e, design, m, "auto")[2]}

    w, v = sweep(design, wavelengths, angle, "u", 16 * 4 * len(design.layers) + 1024, batch, progress, compute,
                 "ellipsometry", ("u",))
    with np.errstate(all="ignore"):
        rho = ellipsometric_ratio(v["r_s"], v["r_p"])
        psi, delta = psi_delta(rho)
    return Ellipsometry(w, psi, delta, rho)
