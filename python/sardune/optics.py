"""The optics of a stack, each formula once: the angle of incidence, the
tilted admittance, a layer's matrix, the coefficients of a stack matrix and
their thickness derivatives, power reflectance and transmittance, the
incoherent sum over a thick substrate, and the ellipsometric ratio.

Conventions: complex index N = n - ik with extinction k >= 0 absorbing, so
fields vary as exp(+i omega t); admittances in units of the free-space
admittance, tilted for the polarisation with the angle invariant
x = n0 sin(theta0) of a lossless incident medium:
    s: eta = q = sqrt(N^2 - x^2)        p: eta = N^2 / q
(principal root, the sign of a zero imaginary part of N^2 choosing the
branch). Layer 0 lies on the substrate; thicknesses and wavelengths share
one length unit (nm in the package). A stack matrix M maps the fields at
the substrate (1, eta_s) to those at the top:
    D = eta0 M00 + eta_s M11 + eta0 eta_s M01 + M10,
    t = 2 eta0 / D, t' = 2 eta_s / D,
    r = (eta0 M00 - eta_s M11 + eta0 eta_s M01 - M10) / D,
    r' = (eta_s M11 - eta0 M00 + eta0 eta_s M01 - M10) / D.
Values are numpy arrays (or scalars) over the wavelengths.
"""

import math
from typing import NamedTuple, Tuple, Union

import numpy as np

Values = Union[complex, np.ndarray]  # a scalar or an array over the wavelengths
POLARISATIONS = ("s", "p")


class Incidence(NamedTuple):
    """The incident medium's real index n0, the angle invariant
    x = n0 sin(theta0) and cos(theta0), kept apart so that grazing angles
    keep their precision (n0 cos(theta0) from the cosine itself, not from
    sqrt(n0^2 - x^2), which vanishes where sin(theta0) rounds to 1)."""
    index: float
    x: float
    cos: float

    @property
    def normal(self) -> float:
        """n0 cos(theta0), the normal component in the incident medium."""
        return self.index * self.cos


def incidence(index: float, angle: float) -> Incidence:
    """The incidence at `angle` degrees from the normal in a medium of real
    index `index`."""
    if angle == 0:
        return Incidence(float(index), 0.0, 1.0)
    a = math.radians(angle)
    return Incidence(float(index), float(index * math.sin(a)), math.cos(a))


def _check_pol(pol: str) -> None:
    if not isinstance(pol, str) or pol not in POLARISATIONS:
        raise ValueError(f"pol: expected 's' or 'p', got {pol!r}")


def normal_component(index: Values, x: Union[float, Incidence] = 0.0) -> np.ndarray:
    """q = sqrt(N^2 - x^2) of a medium of index N (any shape). Given an
    Incidence beyond 45 degrees (x above n0 cos(theta0)), x^2 is taken as
    n0^2 - (n0 cos(theta0))^2, so that near grazing incidence media of an
    index close to n0 keep their small normal component; the imaginary part
    is that of N^2 either way, which fixes the branch."""
    n = np.asarray(index, np.complex128)
    n2 = n * n
    q2 = np.empty(n.shape, np.complex128)
    if isinstance(x, Incidence) and x.x > 0 and x.x > x.normal:
        n0, k = x.index, n.imag
        q2.real = (n.real - n0) * (n.real + n0) - k * k + x.normal * x.normal
    else:
        x = x.x if isinstance(x, Incidence) else float(x)
        q2.real = n2.real - x * x
    q2.imag = n2.imag
    return np.sqrt(q2)


def admittance(index: Values, x: Union[float, Incidence] = 0.0, pol: str = "s") -> np.ndarray:
    """Tilted admittance of a medium of complex index `index` (scalar or
    array, any shape) for polarisation "s" or "p". x: the angle invariant
    n0 sin(theta0), or an Incidence (see normal_component)."""
    _check_pol(pol)
    q = normal_component(index, x)
    if pol == "s":
        return q
    n = np.asarray(index, np.complex128)
    return n * n / q


def incident_admittance(incident: Incidence, pol: str) -> complex:
    """The incident medium's admittance from the cosine itself:
    n0 cos(theta0) for s, n0 / cos(theta0) for p."""
    _check_pol(pol)
    return incident.index * incident.cos if pol == "s" else incident.index / incident.cos


def layer_matrix(wavelengths: np.ndarray, thickness: float, q: np.ndarray,
                 eta: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Entries (L00, L01, L10, L11) of one layer's characteristic matrix over
    the wavelengths, from its normal component q and admittance eta (N,)."""
    delta = (2 * np.pi / wavelengths) * thickness * q
    c, s = np.cos(delta), np.sin(delta)
    return c, 1j * s / eta, 1j * s * eta, c


def layer_matrix_index_derivative(wavelengths: np.ndarray, thickness: float, index: np.ndarray, q: np.ndarray,
                                  eta: np.ndarray, pol: str) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """dL/dN of one layer's matrix entries (as layer_matrix gives them) with
    respect to its complex index N, over the wavelengths (N,): the phase
    delta = 2 pi d q / lambda and the admittance both move, dq/dN = N / q,
    deta/dN = N / q (s) or N (2 q^2 - N^2) / q^3 (p). L is holomorphic in N,
    so a real parameter p of the index gives dL/dp = dL/dN dN/dp."""
    _check_pol(pol)
    n = np.asarray(index, np.complex128)
    delta = (2 * np.pi / wavelengths) * thickness * q
    c, s = np.cos(delta), np.sin(delta)
    d_delta = (2 * np.pi / wavelengths) * thickness * n / q
    d_eta = n / q if pol == "s" else n * (2 * q * q - n * n) / (q * q * q)
    d_c = -s * d_delta
    return d_c, 1j * (c * d_delta * eta - s * d_eta) / (eta * eta), 1j * (c * d_delta * eta + s * d_eta), d_c


def coefficients(M: np.ndarray, eta0: Values, eta_s: Values) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """t, t', r, r' of a stack matrix M (2, 2, ..., N) between eta0 and eta_s
    (scalars or arrays over the wavelengths)."""
    m00, m01, m10, m11 = M[0, 0], M[0, 1], M[1, 0], M[1, 1]
    D = eta0 * m00 + eta_s * m11 + eta0 * eta_s * m01 + m10
    t = 2 * eta0 / D
    return (t, 2 * eta_s / D, (eta0 * m00 - eta_s * m11 + eta0 * eta_s * m01 - m10) / D,
            (eta_s * m11 - eta0 * m00 + eta0 * eta_s * m01 - m10) / D)


def coefficient_derivatives(X: np.ndarray, t: np.ndarray, t_back: np.ndarray, r: np.ndarray, r_back: np.ndarray,
                            eta0: Values, eta_s: Values) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """dt, dr, dr' (K, N) from the stack-matrix derivatives X = dM/dd_k (K, 2, 2, N)."""
    x00, x01, x10, x11 = X[:, 0, 0], X[:, 0, 1], X[:, 1, 0], X[:, 1, 1]
    e0s = eta0 * eta_s
    dD = eta0 * x00 + eta_s * x11 + e0s * x01 + x10
    dt = -t * t / (2 * eta0) * dD
    dr = t / (2 * eta0) * (eta0 * (1 - r) * x00 - (1 + r) * eta_s * x11 + e0s * (1 - r) * x01 - (1 + r) * x10)
    drb = t_back / (2 * eta_s) * (eta_s * (1 - r_back) * x11 - eta0 * (1 + r_back) * x00
                                  + e0s * (1 - r_back) * x01 - (1 + r_back) * x10)
    return dt, dr, drb


def reflectance(r: np.ndarray) -> np.ndarray:
    return np.abs(r) ** 2


def transmittance(t: np.ndarray, eta0: Values, eta_s: Values) -> np.ndarray:
    """Power transmittance from eta0 into eta_s; eta0 must have a positive real part."""
    return np.real(eta_s) / np.real(eta0) * np.abs(t) ** 2


def power_derivative(a: np.ndarray, da: np.ndarray) -> np.ndarray:
    """d|a|^2 = 2 Re(conj(a) da)."""
    return 2 * np.real(np.conj(a) * da)


def transmittance_derivative(t: np.ndarray, dt: np.ndarray, eta0: Values, eta_s: Values) -> np.ndarray:
    """dT from dt (any shape broadcasting with t): the change of
    transmittance(t, eta0, eta_s) for a change dt of t."""
    return np.real(eta_s) / np.real(eta0) * power_derivative(t, dt)


# ---------------------------------------------------------------- thick substrates

def internal_transmittance(wavelengths: np.ndarray, thickness: float, q: np.ndarray) -> np.ndarray:
    """Power transmittance of one pass through a slab of that thickness
    along the oblique path, from its normal component q."""
    return np.exp((4 * np.pi / wavelengths) * thickness * np.minimum(q.imag, 0.0))


class Faces(NamedTuple):
    """Power coefficients of a thick substrate's two faces: the front coating
    from outside (R, T) and from inside (R', T'), the back face seen from
    inside (Rb, Tb), and the internal transmittance tau of one pass."""
    R: np.ndarray
    T: np.ndarray
    R_back: np.ndarray
    T_back: np.ndarray
    Rb: np.ndarray
    Tb: np.ndarray
    tau: np.ndarray


def incoherent(f: Faces) -> Tuple[np.ndarray, np.ndarray]:
    """R and T of the whole part, the multiple reflections inside the
    substrate summed in power: u = 1 / (1 - R' Rb tau^2),
    R = R + T T' Rb tau^2 u, T = T Tb tau u."""
    u = 1 / (1 - f.R_back * f.Rb * f.tau * f.tau)
    return f.R + f.T * f.T_back * f.Rb * f.tau * f.tau * u, f.T * f.Tb * f.tau * u


def incoherent_derivatives(f: Faces, dR: np.ndarray, dT: np.ndarray, dR_back: np.ndarray,
                           dT_back: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """dR, dT of the whole part from those of the front coating (dR, dT from
    outside, dR', dT' from inside; (K, N) each); the back face and the
    substrate do not change with the front layers."""
    X = f.Rb * f.tau * f.tau
    u = 1 / (1 - f.R_back * f.Rb * f.tau * f.tau)
    return (dR + X * u * (dT * f.T_back + f.T * dT_back) + f.T * f.T_back * X * X * u * u * dR_back,
            f.Tb * f.tau * (dT * u + f.T * u * u * X * dR_back))


def powers(c: tuple, eta0: Values, eta_s: Values, faces: "Faces" = None) -> Tuple[np.ndarray, ...]:
    """R, T and, where c holds derivatives, dR, dT (else None) from a front
    coating's coefficients c = (t, t', r, r'[, dt, dr, dr']) between eta0
    and eta_s; with the Faces of a thick substrate, those of the whole part.
    dt' = dt eta_s / eta0, since t' = t eta_s / eta0 (one denominator)."""
    t, tb, r, rb = c[:4]
    derivatives = len(c) > 4
    if derivatives:
        dt, dr, drb = c[4:]
        dR, dT = power_derivative(r, dr), transmittance_derivative(t, dt, eta0, eta_s)
    if faces is None:
        return reflectance(r), transmittance(t, eta0, eta_s), *((dR, dT) if derivatives else (None, None))
    R, T = incoherent(faces)
    if not derivatives:
        return R, T, None, None
    dR, dT = incoherent_derivatives(faces, dR, dT, power_derivative(rb, drb),
                                    transmittance_derivative(tb, dt * (eta_s / eta0), eta_s, eta0))
    return R, T, dR, dT


# ---------------------------------------------------------------- ellipsometry

def ellipsometric_ratio(r_s: np.ndarray, r_p: np.ndarray) -> np.ndarray:
    """rho = r_p / r_s as ellipsometers report it, with r_p = -r_s at normal
    incidence: the tilted-admittance r_p of this package (equal to r_s at
    normal incidence) enters with its sign changed."""
    return -r_p / r_s


def ellipsometric_ratio_derivative(r_s: np.ndarray, r_p: np.ndarray, dr_s: np.ndarray,
                                   dr_p: np.ndarray) -> np.ndarray:
    """d rho of rho = ellipsometric_ratio(r_s, r_p) for changes dr_s, dr_p."""
    return -(dr_p * r_s - r_p * dr_s) / (r_s * r_s)


def psi_delta_derivatives(rho: np.ndarray, d_rho: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """d psi and d Delta in degrees for a change d_rho of rho: with
    ln rho = ln tan(psi) + i Delta, d ln rho = d_rho / rho gives
    d Delta = Im(d ln rho) and d psi = Re(d ln rho) sin(2 psi) / 2."""
    d_log = d_rho / rho
    tan_psi = np.abs(rho)
    return (np.degrees(np.real(d_log) * tan_psi / (1 + tan_psi * tan_psi)), np.degrees(np.imag(d_log)))


def psi_delta(rho: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """psi in [0, 90] and Delta in (-180, 180] degrees of rho = tan(psi) exp(i Delta)."""
    delta = np.degrees(np.angle(rho))
    # a negative zero imaginary part puts a real negative rho at -180
    return np.degrees(np.arctan(np.abs(rho))), np.where(delta <= -180.0, 180.0, delta) + 0.0

