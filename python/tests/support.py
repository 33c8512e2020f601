"""What the tests share: the designs they compute, per-layer engine inputs,
and a plain numpy stack matrix independent of the engine."""

import numpy as np

import sardune
from sardune import Design, Layer
from sardune.optics import layer_matrix, normal_component

# Lossless, uneven layers on glass.
LOSSLESS = Design([(2.3, 60.0), (1.38, 110.0), (2.3, 45.0), (1.6, 87.0), (2.0, 30.0), (1.38, 140.0), (2.3, 12.0)],
                  substrate=1.52, incident=1.0)
# Absorbing and dispersive (a function, constants, a Material, a lossless top layer) on an absorbing substrate.
ABSORBING = Design([Layer(lambda w: 2.3 + 3e4 / w ** 2 - 0.02j, 60.0), (1.45 - 0.001j, 110.0),
                    Layer(sardune.Material.constant(2.0, 0.05), 35.0), (1.38, 90.0)],
                   substrate=1.52 - 0.002j, incident=1.0)


def quarter_wave_stack(K: int, H: float = 2.35, L: float = 1.46, centre: float = 550.0, **design) -> Design:
    """K quarter-wave layers at `centre` nm, H on the substrate and alternating."""
    return Design.quarter_wave([(H if j % 2 == 0 else L, 1.0) for j in range(K)], reference=centre, **design)


def layer_inputs(n, d, wavelengths, x=0.0, pol="s"):
    """(thicknesses, indices (K, N), admittances (K, N)) for constant indices n."""
    w = np.asarray(wavelengths, np.float64)
    idx = np.array([np.full(w.size, v, np.complex128) for v in n]).reshape(len(n), w.size)
    return np.array(d, np.float64), idx, sardune.admittance(idx, x, pol)


def stack_matrix_numpy(wavelengths: np.ndarray, thicknesses: np.ndarray, indices: np.ndarray,
                       admittances: np.ndarray, x: float = 0.0) -> np.ndarray:
    """The stack matrix in plain numpy, a layer loop over whole-wavelength
    arrays: independent of the engine, for checks and comparisons."""
    M = np.zeros((2, 2, len(wavelengths)), np.complex128)
    M[0, 0] = M[1, 1] = 1
    for d, n, eta in zip(thicknesses, indices, admittances):
        a, b, c, e = layer_matrix(wavelengths, d, normal_component(n, x), eta)
        M = np.array([[a * M[0, 0] + b * M[1, 0], a * M[0, 1] + b * M[1, 1]],
                      [c * M[0, 0] + e * M[1, 0], c * M[0, 1] + e * M[1, 1]]])
    return M


def processor_has_avx2_fma() -> bool:
    """From the processor's own flags, independent of the engine."""
    try:
        with open("/proc/cpuinfo") as f:
            flags = next((line.split() for line in f if line.startswith("flags")), [])
    except OSError:
        return False
    return "avx2" in flags and "fma" in flags


def field_numpy(design: Design, wavelengths: np.ndarray, depths: np.ndarray, angle: float = 0.0,
                pol: str = "s") -> np.ndarray:
    """|E|^2 (Z, N) relative to the incident wave's at each depth (nm from
    the surface) by a transfer-matrix product of its own for every depth,
    from the substrate up to it: the part of each medium below the depth
    (the substrate's with a negative thickness below its face). Constant
    indices; lossless incident medium."""
    w, z = np.asarray(wavelengths, np.float64), np.asarray(depths, np.float64)[:, None]
    inc = sardune.incidence(complex(design.incident).real, angle)
    media = [complex(design.substrate)] + [complex(l.index) for l in design.layers] + [complex(design.incident)]
    d = np.array([l.thickness for l in design.layers])
    faces = np.concatenate([np.cumsum(d[::-1])[::-1], [0.0]])
    below = [np.minimum(faces[0] - z, 0.0)] + [np.clip(faces[j] - z, 0.0, d[j]) for j in range(d.size)]
    below.append(np.maximum(-z, 0.0))
    eta = [sardune.admittance(n, inc, pol) for n in media]
    eta[-1] = inc.index * inc.cos if pol == "s" else inc.index / inc.cos
    q = [normal_component(n, inc) for n in media[:-1]] + [inc.index * inc.cos]
    E, H = np.ones((z.size, w.size), np.complex128), np.full((z.size, w.size), eta[0])
    top = np.array([1.0 + 0j]), np.array([eta[0]])
    for i in range(len(media)):
        a, b, c, e = layer_matrix(w, below[i], q[i], eta[i])
        E, H = a * E + b * H, c * E + e * H
        if 0 < i < len(media) - 1:
            a, b, c, e = layer_matrix(w, d[i - 1], q[i], eta[i])
            top = a * top[0] + b * top[1], c * top[0] + e * top[1]
    incident = np.abs((top[0] + top[1] / eta[-1]) / 2) ** 2
    if pol == "s":
        return np.abs(E) ** 2 / incident
    N = np.array(media)[len(media) - 1 - np.searchsorted(faces[::-1], z[:, 0], side="right")][:, None]
    return (np.abs(E) ** 2 + np.abs(inc.x * H / N ** 2) ** 2) * inc.cos ** 2 / incident


def same(a, b):
    """Every field of two results (tolerance analyses, and the tuples of
    results they hold) bitwise equal."""
    assert len(a) == len(b)
    for x, y in zip(a, b):
        if isinstance(x, tuple) and not (x and isinstance(x[0], (int, float))):
            assert same(x, y)
        elif x is None or isinstance(x, (int, float, str)):
            assert x == y
        else:
            assert np.array_equal(x, y), x
    return True
