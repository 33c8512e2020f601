"""Bad arguments are refused before the engine runs; statuses and library
look-up failures become the documented exceptions."""

import re

import numpy as np
import pytest

import sardune
from sardune import _binding as engine_module
from support import layer_inputs

N, K = 6, 3
W = np.linspace(500.0, 600.0, N)
D, IDX, ETA = layer_inputs([2.0, 1.5, 2.0], [50.0, 80.0, 50.0], W)
ETA_S = np.full(N, 1.52 + 0j)
STACK = np.zeros((2, 2, N), np.complex128)
SHARED = np.zeros((K + 3) * N, np.complex128)  # one buffer seen as an input and as an output


def c(shape):
    return np.zeros(shape, np.complex128)


def readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


BAD = {
    "wavelengths 2-d": (ValueError, "wavelengths", lambda e: e.calc_M(W[None], D, IDX, ETA)),
    "thicknesses complex": (TypeError, "thicknesses", lambda e: e.calc_M(W, D.astype(complex), IDX, ETA)),
    "wavelengths text": (TypeError, "wavelengths", lambda e: e.calc_M(["500"] * N, D, IDX, ETA)),
    "indices ragged": (TypeError, "indices", lambda e: e.calc_M(W, D, [[1.5] * N, [1.5]], ETA)),
    "out list": (TypeError, "out", lambda e: e.calc_M(W, D, IDX, ETA, out=[[0j] * N] * 4)),
    "out fortran": (ValueError, "out", lambda e: e.calc_M(W, D, IDX, ETA, out=np.asfortranarray(c((2, 2, N))))),
    "indices N mismatch": (ValueError, "indices", lambda e: e.calc_M(W, D, c((K, N + 1)), ETA)),
    "indices K mismatch": (ValueError, "indices", lambda e: e.forward(W, D, c((K - 1, N)), ETA)),
    "x complex": (TypeError, "x", lambda e: e.calc_M(W, D, IDX, ETA, x=1j)),
    "out shape": (ValueError, "out", lambda e: e.calc_M(W, D, IDX, ETA, out=c((2, 2, N - 1)))),
    "out read-only": (ValueError, "out", lambda e: e.calc_M(W, D, IDX, ETA, out=readonly(STACK))),
    "out overlaps indices": (ValueError, "out", lambda e: e.calc_M(W, D, SHARED[:K * N].reshape(K, N), ETA, out=SHARED[(K - 1) * N:(K + 3) * N].reshape(2, 2, N))),
    "out is partial_out": (ValueError, "out", lambda e: e.forward(W, D, IDX, ETA, out=(s := c((2, 2, N))), partial_out=s)),
    "derivatives K": (ValueError, "derivatives", lambda e: e.forward_backward(W, D, IDX, ETA, derivatives=c((K + 1, 2, 2, N)))),
    "layer_matrices shape": (ValueError, "layer_matrices", lambda e: e.forward_backward(W, D, IDX, ETA, layer_matrices=c((K, 4, N)))),
    "d0 negative": (ValueError, "d0", lambda e: e.update_top_props(W, D, IDX, ETA, 1.0, ETA_S, d0=-1)),
    "d0 above K": (ValueError, "d0", lambda e: e.update_top_props(W, D, IDX, ETA, 1.0, ETA_S, base_matrix=STACK, d0=K + 1)),
    "d0 float": (TypeError, "d0", lambda e: e.update_top_props(W, D, IDX, ETA, 1.0, ETA_S, d0=1.0)),
    "base missing": (ValueError, "base_matrix", lambda e: e.update_top_props(W, D, IDX, ETA, 1.0, ETA_S, d0=1)),
    "base shape": (ValueError, "base_matrix", lambda e: e.update_top_props(W, D, IDX, ETA, 1.0, ETA_S, base_matrix=c((4, N)), d0=1)),
    "records count": (ValueError, "out", lambda e: e.update_top_props(W, D, IDX, ETA, 1.0, ETA_S, out=[None])),
    "record dt blocks": (ValueError, "out[1].dt", lambda e: e.update_top_props(W, D, IDX, ETA, 1.0, ETA_S, derivatives=True, out=[None, sardune.Coefficients(dt=c((1, N))), None])),
    "substrate length": (ValueError, "substrate_admittances", lambda e: e.update_optiprops_real_n(W, D, IDX, ETA, 1.0, ETA_S[1:])),
    "incident array": (TypeError, "incident_admittance", lambda e: e.update_optiprops_real_n_simd(W, D, IDX, ETA, np.ones(1), ETA_S)),
    "real_n dt shape": (ValueError, "out.dt", lambda e: e.update_optiprops_real_n(W, D, IDX, ETA, 1.0, ETA_S, derivatives=True, out=sardune.Coefficients(dt=c((K - 1, N))))),
    "real_n t overlaps r": (ValueError, "out.t", lambda e: e.update_optiprops_real_n(W, D, IDX, ETA, 1.0, ETA_S, out=sardune.Coefficients(t=(s := c(N)), r=s))),
    "matmul out is stacks[1]": (ValueError, "out", lambda e: e.matmul_22X([STACK.copy(), (s := STACK.copy())], out=s)),
    "matmul stacks[1] N": (ValueError, "stacks[1]", lambda e: e.matmul_22X([STACK, c((2, 2, N + 1))])),
    "matmul empty": (ValueError, "stacks", lambda e: e.matmul_22X([])),
    "matmul not arrays": (TypeError, "stacks", lambda e: e.matmul_22X(3)),
    "slab positions 2-d": (ValueError, "positions", lambda e: e.calc_v_t_tau(W, np.zeros((2, 2)), IDX[0], ETA[0], IDX[0], ETA[0], 1.0, ETA_S, ETA_S)),
    "slab front shape": (ValueError, "front_matrix", lambda e: e.calc_v_t_tau(W, np.zeros(2), IDX[0], ETA[0], IDX[0], ETA[0], 1.0, ETA_S, ETA_S, front_matrix=c((2, 2, N + 1)))),
    "slab t length": (ValueError, "t", lambda e: e.calc_v_t_tau(W, np.zeros(2), IDX[0], ETA[0], IDX[0], ETA[0], 1.0, ETA_S, ETA_S[:-1])),
    "slab dt shape": (ValueError, "dt", lambda e: e.calc_v_t_tau(W, np.zeros(2), IDX[0], ETA[0], IDX[0], ETA[0], 1.0, ETA_S, ETA_S, dt=c((N, 2)))),
    "slab build": (ValueError, "build", lambda e: e.calc_v_t_tau(W, np.zeros(2), IDX[0], ETA[0], IDX[0], ETA[0], 1.0, ETA_S, ETA_S, build="neon")),
    "slab outputs": (ValueError, "outputs", lambda e: e.calc_v_t_tau(W, np.zeros(2), IDX[0], ETA[0], IDX[0], ETA[0], 1.0, ETA_S, ETA_S, outputs=["dq"])),
    "threads text": (TypeError, "threads", lambda e: e.init("2")),
}


@pytest.mark.parametrize("case", sorted(BAD))
def test_bad_argument_is_named_and_engine_not_called(eng, monkeypatch, case):
    error, name, call = BAD[case]
    calls = []
    monkeypatch.setattr(eng, "_call", lambda *a: calls.append(a))
    monkeypatch.setattr(eng, "_fn", lambda *a: calls.append(a))
    with pytest.raises(error, match=rf"^{re.escape(name)}:"):
        call(eng)
    assert calls == []


def test_array_likes_are_taken_as_numpy_takes_them(eng):
    # lists, float32, real values for complex ones, other layouts: the same
    # request as the canonical arrays, bit for bit
    want = eng.calc_M(W, D, IDX, ETA, x=0.2)
    fortran, strided = np.asfortranarray(ETA), c((K, 2 * N))
    strided[:, ::2] = ETA
    for args in ((list(W), list(D), IDX.tolist(), ETA),
                 (W.astype(np.float32).astype(np.float64), D, IDX.real, fortran),
                 (W, D.astype(np.int64), IDX, strided[:, ::2])):
        assert np.array_equal(eng.calc_M(*args, x=0.2), want)
    lossless = IDX.real.astype(np.float32)  # exactly representable: 2.0, 1.5
    assert np.array_equal(eng.forward_backward(W, D, lossless, ETA).stack_matrix,
                          eng.forward_backward(W, D, IDX, ETA).stack_matrix)


def test_layer_rows_cannot_be_changed_behind_the_engine(eng):
    rows = sardune.LayerRows(np.full((1, N), 1.5 + 0j), [0, 0])
    with pytest.raises(ValueError):
        rows.layer_rows[1] = 10**7  # read-only: the row numbers were checked when built
    with pytest.raises(AttributeError):
        rows.rows = np.zeros((0, N), np.complex128)
    with pytest.raises(ValueError):
        rows.rows[0, 0] = 2.0
    numbers = np.array([0, 0])
    rows = sardune.LayerRows(np.full((1, N), 1.5 + 0j), numbers)
    numbers[1] = 10**7  # the caller's array is not the one kept
    assert np.array_equal(rows.layer_rows, [0, 0])
    M = eng.calc_M(W, D[:2], rows, rows)
    assert np.array_equal(M, eng.calc_M(W, D[:2], rows.full(), rows.full()))


def test_statuses_become_exceptions(eng, monkeypatch):
    for status, kinds in ((-1, (sardune.EngineOutOfMemory, MemoryError)),
                          (-2, (sardune.InvalidRequest, ValueError)),
                          (7, (sardune.EngineStatusError,))):
        monkeypatch.setattr(eng, "_fn", lambda name, s=status: (lambda *a: s))
        with pytest.raises(kinds) as info:
            eng.calc_M(W, D, IDX, ETA)
        assert isinstance(info.value, sardune.SardunError)
        assert info.value.function == "calc_M" and info.value.status == status


def test_library_lookup(monkeypatch, tmp_path):
    real = sardune.find_library()
    assert sardune.find_library(real) == real
    with pytest.raises(sardune.LibraryNotFound, match="argument names '/no/such.so'"):
        sardune.find_library("/no/such.so")
    monkeypatch.setenv(sardune.ENV_VARIABLE, str(tmp_path / "gone.so"))
    with pytest.raises(OSError, match="SARDUNE_LIBRARY names"):
        sardune.Engine()
    monkeypatch.delenv(sardune.ENV_VARIABLE)
    monkeypatch.setattr(engine_module, "BUILD_COPY", str(tmp_path / "lib" / "libSardune.so"))
    monkeypatch.setattr(engine_module, "LIBRARY_NAME", "libSardune-not-installed.so")
    with pytest.raises(sardune.LibraryNotFound) as info:
        sardune.find_library()
    message = str(info.value)
    assert str(tmp_path / "lib" / "libSardune.so") in message
    assert "SARDUNE_LIBRARY" in message and "dynamic loader" in message
    bogus = tmp_path / "bogus.so"
    bogus.write_text("not a library")
    with pytest.raises(sardune.LibraryNotFound, match="could not be loaded"):
        sardune.Engine(str(bogus))


def test_missing_entry_point(eng, monkeypatch):
    fresh = sardune.Engine(eng.path)
    monkeypatch.setattr(fresh, "has", lambda name: False)
    with pytest.raises(sardune.MissingEntryPoint, match="calc_M: not exported"):
        fresh.calc_M(W, D, IDX, ETA)
