"""The wrapped entry points against known answers, against each other and
against plain numpy."""

import numpy as np
import pytest

import sardune
from sardune import coefficients
from support import layer_inputs, processor_has_avx2_fma, stack_matrix_numpy

W = np.linspace(400.0, 800.0, 37)
ETA0 = 1.0 + 0j


def boundary(eta0, eta_s):
    D = eta0 + eta_s
    return 2 * eta0 / D, 2 * eta_s / D, (eta0 - eta_s) / D, (eta_s - eta0) / D


def coating(K=5, N=W.size, x=0.3, seed=1):
    """Absorbing layers with dispersion, random thicknesses, p admittances."""
    rng = np.random.default_rng(seed)
    w = np.linspace(420.0, 780.0, N)
    n = (1.4 + rng.random((K, 1)) + 0.1 * (550 / w)) - 1j * 0.02 * rng.random((K, 1))
    eta = sardune.admittance(n, x, "p")
    eta_s = sardune.admittance(np.full(N, 1.52 - 0.01j), x, "p")
    return w, 40 + 150 * rng.random(K), np.ascontiguousarray(n), np.ascontiguousarray(eta), eta_s, x


class TestKnownAnswers:
    def test_bare_boundary(self, eng, need):
        need("calc_M", "update_top_props")
        d, n, eta = layer_inputs([1.9], [0.0], W)
        eta_s = np.full(W.size, 1.52 + 0j)
        M = eng.calc_M(W, d, n, eta)
        assert np.allclose(M, np.broadcast_to(np.eye(2)[:, :, None], M.shape), atol=1e-15)
        (rec,) = eng.update_top_props(W, d, n, eta, ETA0, eta_s)
        for got, want in zip(rec[:4], boundary(ETA0, eta_s)):
            assert np.allclose(got, want, rtol=1e-14)

    @pytest.mark.parametrize("n, eta_s", [(2.35, 1.52), (1.38, 1.52), (1.9, 1.0)])
    def test_quarter_and_half_wave(self, eng, need, n, eta_s):
        need("calc_M")
        lam = np.array([550.0])
        eta_sa = np.full(1, eta_s + 0j)
        for waves, Y in ((0.25, n * n / eta_s), (0.5, eta_s)):
            d, idx, eta = layer_inputs([n], [waves * 550 / n], lam)
            M = eng.calc_M(lam, d, idx, eta)
            if waves == 0.25:  # [[0, i/n], [i n, 0]]
                assert np.allclose(M[:, :, 0], [[0, 1j / n], [1j * n, 0]], atol=1e-14)
            t, _, r, _ = coefficients(M, ETA0, eta_sa)
            assert np.allclose(r, (1 - Y) / (1 + Y), atol=1e-14)

    def test_real_index_paths_bare_boundary_and_zero_layers(self, eng, need):
        need("update_optiprops_real_n")
        eta_s = np.linspace(1.3, 1.7, W.size) + 0.01j
        empty = np.empty((0, W.size), np.complex128)
        names = ["update_optiprops_real_n"] + (["update_optiprops_real_n_simd"]
                                               if eng.has("update_optiprops_real_n_simd") else [])
        for name in names:
            f = getattr(eng, name)
            d, n, eta = layer_inputs([2.0], [0.0], W)
            for rec in (f(W, d, n, eta, ETA0, eta_s), f(W, np.empty(0), empty, empty, ETA0, eta_s)):
                for got, want in zip(rec[:4], boundary(ETA0, eta_s)):
                    assert np.allclose(got, want, rtol=1e-14), name


class TestAgainstEachOther:
    def test_matrices_match_numpy(self, eng, need):
        need("calc_M", "forward", "forward_backward", "matmul_22X")
        w, d, n, eta, _, x = coating()
        ref = stack_matrix_numpy(w, d, n, eta, x)
        M = eng.calc_M(w, d, n, eta, x=x)
        assert np.allclose(M, ref, rtol=1e-12, atol=1e-12)
        Mf, P = eng.forward(w, d, n, eta, x=x)
        assert np.allclose(Mf, ref, atol=1e-12)
        assert np.allclose(P, stack_matrix_numpy(w, d[:-1], n[:-1], eta[:-1], x), atol=1e-12)
        fb = eng.forward_backward(w, d, n, eta, x=x)
        assert np.allclose(fb.stack_matrix, ref, atol=1e-12)
        for j in range(len(d)):
            assert np.allclose(fb.layer_matrices[j], stack_matrix_numpy(w, d[j:j + 1], n[j:j + 1], eta[j:j + 1], x),
                               atol=1e-13)
        assert np.allclose(eng.matmul_22X(fb.layer_matrices), ref, atol=1e-12)
        stacks = [np.ascontiguousarray(s) for s in fb.layer_matrices]
        first = stacks[0]
        assert eng.matmul_22X(stacks, out=first) is first  # result may be stacks[0] itself
        assert np.allclose(first, ref, atol=1e-12)

    def test_derivatives_match_central_differences(self, eng, need):
        need("forward_backward")
        w, d, n, eta, _, x = coating()
        fb = eng.forward_backward(w, d, n, eta, x=x)
        h = 1e-3
        for j in range(len(d)):
            up, down = d.copy(), d.copy()
            up[j] += h
            down[j] -= h
            num = (stack_matrix_numpy(w, up, n, eta, x) - stack_matrix_numpy(w, down, n, eta, x)) / (2 * h)
            assert np.allclose(fb.derivatives[j], num, rtol=1e-5, atol=1e-8)

    def test_top_props_partial_coatings(self, eng, need):
        need("calc_M", "update_top_props", "forward_backward")
        w, d, n, eta, eta_s, x = coating()
        eta0 = 1.0 + 0j
        recs = eng.update_top_props(w, d, n, eta, eta0, eta_s, x=x, derivatives=True)
        assert len(recs) == len(d)
        for j, rec in enumerate(recs):
            M = stack_matrix_numpy(w, d[:j + 1], n[:j + 1], eta[:j + 1], x)
            for got, want in zip(rec[:4], coefficients(M, eta0, eta_s)):
                assert np.allclose(got, want, rtol=1e-11)
            assert rec.dt.shape == rec.dr.shape == rec.dr_back.shape == (j + 1, w.size)
        fb = eng.forward_backward(w, d, n, eta, x=x)
        last = recs[-1]
        want = sardune.coefficient_derivatives(fb.derivatives, last.t, last.t_back, last.r, last.r_back,
                                               eta0, eta_s)
        for got, ref in zip(last[4:], want):
            assert np.allclose(got, ref, rtol=1e-9, atol=1e-12)
        # the same layers added on a base matrix of the first m
        m = 2
        base = eng.calc_M(w, d[:m], n[:m], eta[:m], x=x)
        upper = eng.update_top_props(w, d, n, eta, eta0, eta_s, x=x, base_matrix=base, d0=m, derivatives=True)
        assert len(upper) == len(d) - m
        assert np.allclose(upper[-1].r, last.r, rtol=1e-11)
        assert np.allclose(upper[-1].dr, last.dr[m:], rtol=1e-9, atol=1e-12)
        assert eng.update_top_props(w, d, n, eta, eta0, eta_s, x=x, base_matrix=base, d0=len(d)) == []

    @pytest.mark.parametrize("N", [3, 4, 130, 1001])
    def test_real_index_paths_agree(self, eng, need, N):
        need("update_optiprops_real_n", "update_optiprops_real_n_simd", "update_top_props")
        w = np.linspace(400.0, 900.0, N)
        x = 0.4
        d, n, eta = layer_inputs([2.1, 1.45, 2.1, 1.45, 1.8], [60, 95, 120, 30, 77], w, x, "p")
        eta_s = sardune.admittance(np.full(N, 1.52 + 0j), x, "p")
        eta0 = complex(sardune.admittance(1.0, x, "p"))
        ref = eng.update_top_props(w, d, n, eta, eta0, eta_s, x=x, derivatives=True)[-1]
        for threads in (1, 3):
            eng.init(threads)
            try:
                for f in (eng.update_optiprops_real_n, eng.update_optiprops_real_n_simd):
                    rec = f(w, d, n, eta, eta0, eta_s, x=x, derivatives=True)
                    for k in sardune.Coefficients._fields:
                        assert np.allclose(getattr(rec, k), getattr(ref, k), rtol=1e-9, atol=1e-12), k
            finally:
                eng.init(1)

    def test_caller_outputs_are_filled_in_place(self, eng, need):
        need("calc_M", "update_optiprops_real_n")
        w, d, n, eta, eta_s, x = coating()
        out = np.full((2, 2, w.size), np.nan, np.complex128)
        assert eng.calc_M(w, d, n, eta, x=x, out=out) is out and np.all(np.isfinite(out))
        t = np.empty(w.size, np.complex128)
        rec = eng.update_optiprops_real_n(w, d, n.real.astype(complex), eta.real.astype(complex), 1.0,
                                          eta_s, x=x, out=sardune.Coefficients(t=t))
        assert rec.t is t and rec.dt is None


def slab_reference(w, z, nh, eh, na, ea, x, eta0, eta_s, t, tb, r, rb, P=None, Q=None):
    """The thin-slab variations from their definition, in double precision."""
    k0 = 2 * np.pi / w
    qh, qa = np.sqrt(nh * nh - x * x), np.sqrt(na * na - x * x)
    beta = k0 * qh
    delta = np.array([[0 * k0, 1j * k0 * (qa / ea - qh / eh)], [1j * k0 * (ea * qa - eh * qh), 0 * k0]])
    L = lambda tau: np.array([[np.cos(beta * tau), 1j * np.sin(beta * tau) / eh],
                              [1j * eh * np.sin(beta * tau), np.cos(beta * tau)]])
    mul = lambda A, B: np.einsum("ijn,jkn->ikn", A, B)
    out = []
    for zi in z:
        G = mul(mul(L(z[-1] - zi), delta), L(zi - z[0]))
        G = G if P is None else mul(P, G)
        G = G if Q is None else mul(G, Q)
        dB, dC = G[0, 0] + G[0, 1] * eta_s, G[1, 0] + G[1, 1] * eta_s
        dBb, dCb = G[1, 1] + G[0, 1] * eta0, G[1, 0] + G[0, 0] * eta0
        out.append((-t * t / (2 * eta0) * (eta0 * dB + dC),
                    t / (2 * eta0) * ((1 - r) * eta0 * dB - (1 + r) * dC),
                    tb / (2 * eta_s) * ((1 - rb) * eta_s * dBb - (1 + rb) * dCb)))
    return [np.array([o[k] for o in out]) for k in range(3)]


def test_the_engine_names_the_builds_it_chose(eng):
    assert eng.implementation() == ("avx2+fma" if processor_has_avx2_fma() else "sse2")


class TestThinSlab:
    @pytest.mark.parametrize("N", [3, 8, 13])
    @pytest.mark.parametrize("build", ["auto", "sse", "avx"])
    def test_matches_definition(self, eng, need, N, build):
        need("calc_v_t_tau", "calc_v_t_tau_sse", "calc_v_t_tau_avx", "calc_M")
        if build == "avx" and not processor_has_avx2_fma():
            pytest.skip("processor lacks AVX2/FMA")
        w, d, n, eta, eta_s, x = coating(K=3, N=N, seed=4)
        eta0 = 1.0 + 0j
        P = eng.calc_M(w, d[2:], n[2:], eta[2:], x=x)
        Q = eng.calc_M(w, d[:1], n[:1], eta[:1], x=x)
        full = eng.calc_M(w, d, n, eta, x=x)
        t, tb, r, rb = coefficients(full, eta0, eta_s)
        z = np.linspace(0.0, d[1], 6)
        na = np.ascontiguousarray(n[1] + 0.3)
        ea = sardune.admittance(na, x, "p")
        got = eng.calc_v_t_tau(w, z, n[1], eta[1], na, ea, eta0, eta_s, t, t_back=tb, r=r, r_back=rb, x=x, front_matrix=P, back_matrix=Q, build=build)
        want = slab_reference(w, z, n[1], eta[1], na, ea, x, eta0, eta_s, t, tb, r, rb, P, Q)
        for g, ref in zip(got, want):
            assert g.shape == (z.size, N)
            assert np.allclose(g, ref, rtol=1e-3, atol=2e-4 * np.abs(ref).max())

    def test_selected_outputs_only(self, eng, need):
        need("calc_v_t_tau")
        w, d, n, eta, eta_s, x = coating(K=1, N=9)
        z = np.array([0.0, 10.0])
        t = np.full(w.size, 0.9 + 0.1j)
        res = eng.calc_v_t_tau(w, z, n[0], eta[0], n[0], eta[0], 1.0, eta_s, t, x=x)
        assert res.dr is None and res.dr_back is None
        assert np.all(res.dt == 0)  # slab of the host material changes nothing
        with pytest.raises(ValueError, match="r: needed for the dr output"):
            eng.calc_v_t_tau(w, z, n[0], eta[0], n[0], eta[0], 1.0, eta_s, t, x=x, outputs=["dt", "dr"])


class TestEmptyAndThreads:
    def test_no_layers_give_identity(self, eng, need):
        need("calc_M", "forward", "forward_backward", "matmul_22X")
        empty = np.empty((0, W.size), np.complex128)
        eye = np.broadcast_to(np.eye(2)[:, :, None], (2, 2, W.size))
        assert np.array_equal(eng.calc_M(W, np.empty(0), empty, empty), eye)
        M, P = eng.forward(W, np.empty(0), empty, empty)
        assert np.array_equal(M, eye) and np.array_equal(P, eye)
        fb = eng.forward_backward(W, np.empty(0), empty, empty)
        assert np.array_equal(fb.stack_matrix, eye) and fb.derivatives.shape == (0, 2, 2, W.size)
        assert np.array_equal(eng.matmul_22X(np.empty((0, 2, 2, W.size), np.complex128)), eye)
        assert eng.calc_M(np.empty(0), np.empty(0), empty[:, :0], empty[:, :0]).shape == (2, 2, 0)

    def test_results_do_not_depend_on_thread_count(self, eng, need):
        need("calc_M", "update_top_props")
        w, d, n, eta, eta_s, x = coating(K=4, N=257)
        ref = eng.calc_M(w, d, n, eta, x=x), eng.update_top_props(w, d, n, eta, 1.0, eta_s, x=x, derivatives=True)
        try:
            for threads in (2, 5, 0):
                eng.init(threads)
                assert np.array_equal(eng.calc_M(w, d, n, eta, x=x), ref[0])
                recs = eng.update_top_props(w, d, n, eta, 1.0, eta_s, x=x, derivatives=True)
                assert all(np.array_equal(a, b) for r, s in zip(recs, ref[1]) for a, b in zip(r, s))
        finally:
            eng.init(1)

    def test_init_waits_for_calls_in_other_threads(self, eng, need):
        need("calc_M")
        import threading
        import time
        w, d, n, eta, _, x = coating(K=3, N=600)
        ref = eng.calc_M(w, d, n, eta, x=x)
        stop, bad = threading.Event(), []

        def work():
            while not stop.is_set():
                if not np.array_equal(eng.calc_M(w, d, n, eta, x=x), ref):
                    bad.append(1)
        workers = [threading.Thread(target=work) for _ in range(2)]
        for t in workers:
            t.start()
        try:
            end = time.monotonic() + 0.5
            while time.monotonic() < end:
                for threads in (3, 1, 2, 0):
                    assert eng.init(threads) >= 0
        finally:
            stop.set()
            for t in workers:
                t.join()
            eng.init(1)
        assert not bad


class TestLayerRows:
    """Layers that share a row give the results of the full (K, N) arrays."""

    def test_pointer_form_entry_points_take_shared_rows(self, eng):
        w, d, n, eta, eta_s, x = coating(K=4, N=37)
        rows = sardune.LayerRows(np.ascontiguousarray(n[:2]), [0, 1, 1, 0])
        etas = sardune.LayerRows(np.ascontiguousarray(eta[:2]), [0, 1, 1, 0])
        full_n, full_eta = rows.full(), etas.full()
        assert np.array_equal(full_n[2], n[1]) and np.array_equal(full_n[3], n[0])
        assert np.array_equal(eng.calc_M(w, d, rows, etas, x=x), eng.calc_M(w, d, full_n, full_eta, x=x))
        lossless = sardune.LayerRows(np.ascontiguousarray(n[:2].real + 0j), [1, 0, 0, 1, 1])
        h = sardune.LayerRows(sardune.admittance(lossless.rows, x, "s"), lossless.layer_rows)
        d5 = np.append(d, 77.0)
        a = eng.update_optiprops_real_n_simd(w, d5, lossless, h, 1.0, eta_s, x=x, derivatives=True)
        b = eng.update_optiprops_real_n_simd(w, d5, lossless.full(), h.full(), 1.0, eta_s, x=x, derivatives=True)
        assert all(np.array_equal(u, v) for u, v in zip(a, b))

    def test_bad_shared_rows_are_refused_by_name(self, eng):
        w, d, n, eta, _, x = coating(K=3, N=8)
        with pytest.raises(ValueError, match="layer_rows"):
            sardune.LayerRows(np.ascontiguousarray(n[:1]), [0, 1, 0])
        rows = sardune.LayerRows(np.ascontiguousarray(n[:1]), [0, 0])
        with pytest.raises(ValueError, match="indices: expected shape"):
            eng.calc_M(w, d, rows, rows, x=x)  # two layers given for three
        rows = sardune.LayerRows(np.ascontiguousarray(n[:1]), [0, 0, 0])
        with pytest.raises(TypeError, match="indices: this entry point reads the flat"):
            eng.forward_backward(w, d, rows, eta, x=x)
