"""Spectra and thickness sensitivities of a coating, on top of the engine.

Conventions: complex index N = n - i*k with extinction k >= 0 absorbing;
admittances in units of the free-space admittance, tilted for the
polarisation with the angle invariant x = n0*sin(theta0):
    s: eta = sqrt(N^2 - x^2)        p: eta = N^2 / sqrt(N^2 - x^2)
(principal root). Layer 0 lies on the substrate; thicknesses and
wavelengths share one length unit (nm in design files).
"""

import math
import numbers
from collections import namedtuple

import numpy as np

from .engine import default_engine

Spectrum = namedtuple("Spectrum", "wavelengths R T A r t")
Sensitivities = namedtuple("Sensitivities", "wavelengths R T dR dT")


# ---------------------------------------------------------------- optics of one stack

def admittance(index, x=0.0, pol="s"):
    """Tilted admittance of a medium of complex index `index` (scalar or array)."""
    if pol not in ("s", "p"):
        raise ValueError(f"pol: expected 's' or 'p', got {pol!r}")
    n = np.asarray(index, np.complex128)
    q = np.sqrt(n * n - x * x)
    return q if pol == "s" else n * n / q


def coefficients(M, eta0, eta_s):
    """t, t', r, r' of a stack matrix M (2, 2, N) between eta0 and eta_s."""
    m00, m01, m10, m11 = M[0, 0], M[0, 1], M[1, 0], M[1, 1]
    D = eta0 * m00 + eta_s * m11 + eta0 * eta_s * m01 + m10
    t = 2 * eta0 / D
    return (t, 2 * eta_s / D, (eta0 * m00 - eta_s * m11 + eta0 * eta_s * m01 - m10) / D,
            (eta_s * m11 - eta0 * m00 + eta0 * eta_s * m01 - m10) / D)


def coefficient_derivatives(X, t, t_back, r, r_back, eta0, eta_s):
    """dt, dr, dr' (K, N) from the stack-matrix derivatives X = dM/dd_k (K, 2, 2, N)."""
    x00, x01, x10, x11 = X[:, 0, 0], X[:, 0, 1], X[:, 1, 0], X[:, 1, 1]
    e0s = eta0 * eta_s
    dD = eta0 * x00 + eta_s * x11 + e0s * x01 + x10
    dt = -t * t / (2 * eta0) * dD
    dr = t / (2 * eta0) * (eta0 * (1 - r) * x00 - (1 + r) * eta_s * x11 + e0s * (1 - r) * x01 - (1 + r) * x10)
    drb = t_back / (2 * eta_s) * (eta_s * (1 - r_back) * x11 - eta0 * (1 + r_back) * x00
                                  + e0s * (1 - r_back) * x01 - (1 + r_back) * x10)
    return dt, dr, drb


def reflectance(r):
    return np.abs(r) ** 2


def transmittance(t, eta0, eta_s):
    """Power transmittance; eta0 must have a positive real part."""
    return np.real(eta_s) / np.real(eta0) * np.abs(t) ** 2


def stack_matrix_numpy(wavelengths, thicknesses, indices, admittances, x=0.0):
    """The stack matrix in plain numpy, a layer loop over whole-wavelength
    arrays: independent of the engine, for checks and comparisons."""
    k0 = 2 * np.pi / wavelengths
    M = np.zeros((2, 2, len(wavelengths)), np.complex128)
    M[0, 0] = M[1, 1] = 1
    for d, n, eta in zip(thicknesses, indices, admittances):
        delta = k0 * d * np.sqrt(n * n - x * x)
        c, s = np.cos(delta), np.sin(delta)
        u, v = 1j * s / eta, 1j * s * eta
        M = np.array([[c * M[0, 0] + u * M[1, 0], c * M[0, 1] + u * M[1, 1]],
                      [v * M[0, 0] + c * M[1, 0], v * M[0, 1] + c * M[1, 1]]])
    return M


# ---------------------------------------------------------------- designs

def _values(name, v, wavelengths):
    """A medium's complex index over the grid: a constant, an (N,) array or a
    callable of the wavelengths."""
    N = wavelengths.shape[0]
    if callable(v):
        v = v(wavelengths)
    if isinstance(v, numbers.Complex) and not isinstance(v, bool):
        return np.full(N, complex(v), np.complex128)
    a = np.asarray(v)
    if a.shape != (N,):
        raise ValueError(f"{name}: expected a number or {N} values (one per wavelength), got shape {a.shape}")
    if not np.issubdtype(a.dtype, np.number):
        raise TypeError(f"{name}: expected numbers, got dtype {a.dtype}")
    return a.astype(np.complex128)


class Layer:
    """One layer: complex index (number, per-wavelength array or callable of
    the wavelengths) and physical thickness."""

    def __init__(self, index, thickness):
        if isinstance(thickness, bool) or not isinstance(thickness, numbers.Real):
            raise TypeError(f"thickness: expected a real number, got {type(thickness).__name__}")
        if not (math.isfinite(thickness) and thickness >= 0):
            raise ValueError(f"thickness: expected a finite value >= 0, got {thickness}")
        self.index, self.thickness = index, float(thickness)

    def __repr__(self):
        return f"Layer({self.index!r}, {self.thickness!r})"


class Design:
    """A coating: layers from the substrate up, on `substrate`, seen from `incident`."""

    def __init__(self, layers, substrate=1.52, incident=1.0):
        self.layers = [l if isinstance(l, Layer) else Layer(*l) for l in layers]
        self.substrate, self.incident = substrate, incident

    @classmethod
    def from_file(cls, path, substrate=1.52, incident=1.0):
        return read_design(path, substrate, incident)

    def __len__(self):
        return len(self.layers)

    @property
    def thicknesses(self):
        return np.array([l.thickness for l in self.layers], np.float64)

    def with_thickness(self, k, thickness):
        """A copy with layer k's thickness changed."""
        layers = list(self.layers)
        layers[k] = Layer(layers[k].index, thickness)
        return Design(layers, self.substrate, self.incident)

    # --- optical inputs on a wavelength grid

    def _setup(self, wavelengths, angle, pol):
        if pol not in ("s", "p"):
            raise ValueError(f"pol: expected 's' or 'p', got {pol!r}")
        w = np.ascontiguousarray(wavelengths, np.float64)
        if w.ndim != 1:
            raise ValueError(f"wavelengths: expected a 1-dimensional grid, got shape {w.shape}")
        n0 = _values("incident", self.incident, w)
        if angle == 0:
            x = 0.0
        else:
            if np.any(n0.imag != 0) or np.any(n0.real != n0.real[0]):
                raise ValueError("incident: an oblique angle needs a constant real incident index")
            x = float(n0.real[0] * math.sin(math.radians(angle)))
        eta0 = admittance(n0, x, pol)
        if np.any(eta0 != eta0[0]):
            raise ValueError("incident: the engine takes one incident admittance for all wavelengths")
        eta_s = admittance(_values("substrate", self.substrate, w), x, pol)
        K, N = len(self.layers), w.shape[0]
        n = np.empty((K, N), np.complex128)
        eta = np.empty((K, N), np.complex128)
        for j, layer in enumerate(self.layers):
            v = layer.index(w) if callable(layer.index) else layer.index
            if isinstance(v, numbers.Complex) and not isinstance(v, bool):
                n[j], eta[j] = v, admittance(v, x, pol)  # one root per layer, not per wavelength
            else:
                n[j] = _values(f"layers[{j}].index", v, w)
                eta[j] = admittance(n[j], x, pol)
        return w, x, complex(eta0[0]), eta_s, n, eta

    @staticmethod
    def _real_path(e, n, x, method):
        """The engine's real-arithmetic entry point when every layer is
        lossless and propagating (and `method` allows it), else None."""
        if method not in ("auto", "complex", "real"):
            raise ValueError(f"method: expected 'auto', 'complex' or 'real', got {method!r}")
        ok = method != "complex" and bool(np.all(n.imag == 0) and np.all(n.real * n.real > x * x))
        if method == "real" and not ok:
            raise ValueError("method: 'real' needs non-absorbing layers with real index above x everywhere")
        if not ok:
            return None
        names = [f for f in ("update_optiprops_real_n_simd", "update_optiprops_real_n") if e.has(f)]
        return getattr(e, names[0] if names else "update_optiprops_real_n_simd")

    # --- results

    def spectrum(self, wavelengths, angle=0.0, pol="s", engine=None, method="auto"):
        """R, T, A and the amplitude coefficients r, t at each wavelength.
        angle in degrees in the incident medium. method: 'auto' takes the
        engine's real-index path when the layers allow it, 'complex' always
        the stack-matrix path, 'real' insists on the real-index path (the
        four-lane one where the library has it)."""
        e = engine or default_engine()
        w, x, eta0, eta_s, n, eta = self._setup(wavelengths, angle, pol)
        real = self._real_path(e, n, x, method)
        if real:
            rec = real(w, self.thicknesses, n, eta, eta0, eta_s, x)
            t, r = rec.t, rec.r
        else:
            M = e.calc_M(w, self.thicknesses, n, eta, x)
            t, _, r, _ = coefficients(M, eta0, eta_s)
        R, T = reflectance(r), transmittance(t, eta0, eta_s)
        return Spectrum(w, R, T, 1 - R - T, r, t)

    def sensitivities(self, wavelengths, angle=0.0, pol="s", engine=None, method="auto"):
        """R, T and their derivatives dR/dd_k, dT/dd_k (K, N), per unit thickness."""
        e = engine or default_engine()
        w, x, eta0, eta_s, n, eta = self._setup(wavelengths, angle, pol)
        d = self.thicknesses
        real = self._real_path(e, n, x, method)
        if real:
            rec = real(w, d, n, eta, eta0, eta_s, x, derivatives=True)
            t, r, dt, dr = rec.t, rec.r, rec.dt, rec.dr
        else:
            fb = e.forward_backward(w, d, n, eta, x)
            t, tb, r, rb = coefficients(fb.stack_matrix, eta0, eta_s)
            dt, dr, _ = coefficient_derivatives(fb.derivatives, t, tb, r, rb, eta0, eta_s)
        scale = np.real(eta_s) / np.real(eta0)
        dR = 2 * np.real(np.conj(r) * dr)
        dT = scale * 2 * np.real(np.conj(t) * dt)
        return Sensitivities(w, reflectance(r), transmittance(t, eta0, eta_s), dR, dT)


# ---------------------------------------------------------------- design files

def default_design():
    """19-layer quarter-wave high reflector centred at 550 nm on glass, H on
    the substrate and at the top."""
    H, L = 2.35 - 0.0005j, 1.46 - 0.0001j
    return Design([Layer(m, 550 / (4 * m.real)) for m in (H if j % 2 == 0 else L for j in range(19))],
                  substrate=1.52, incident=1.0)


DEFAULT_RANGE = (400.0, 800.0, 1.0)


def wavelength_grid(start, stop, step):
    """start, start + step, ... up to stop included (within rounding)."""
    if not (step > 0 and stop >= start):
        raise ValueError(f"range: expected stop >= start and step > 0, got {start}, {stop}, {step}")
    count = int(math.floor((stop - start) / step + 1e-9)) + 1
    return start + step * np.arange(count, dtype=np.float64)


def read_design(path, substrate=1.52, incident=1.0):
    """A design file: one layer per line from the substrate up, "n k d"
    (real part of the index, extinction coefficient, thickness in nm); blank lines and #
    comments allowed."""
    fields = ("index", "extinction coefficient", "thickness")
    layers = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            where = f"{path}, line {number}"
            if len(words) != 3:
                raise ValueError(f"{where}: expected 3 fields (index, extinction coefficient, "
                                 f"thickness in nm), got {len(words)}")
            values = []
            for field, word in zip(fields, words):
                try:
                    v = float(word)
                except ValueError:
                    raise ValueError(f"{where}: {field}: {word!r} is not a number") from None
                if not math.isfinite(v):
                    raise ValueError(f"{where}: {field}: {word!r} is not finite")
                values.append(v)
            n, k, d = values
            if n <= 0:
                raise ValueError(f"{where}: index: expected a value > 0, got {words[0]}")
            if k < 0:
                raise ValueError(f"{where}: extinction coefficient: expected a value >= 0, got {words[1]}")
            if d < 0:
                raise ValueError(f"{where}: thickness: expected a value >= 0, got {words[2]}")
            layers.append(Layer(complex(n, -k), d))
    if not layers:
        raise ValueError(f"{path}: no layers")
    return Design(layers, substrate, incident)
