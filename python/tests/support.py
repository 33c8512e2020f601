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
