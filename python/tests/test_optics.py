"""The optics beyond one polarisation on a semi-infinite substrate: energy
balance per layer, unpolarised light, angle sweeps, thick substrates,
ellipsometric angles and group delay, against closed forms and conservation
laws; wavelength batches against one batch."""

import math

import numpy as np
import pytest

import sardune
from sardune import Design, Layer
from support import ABSORBING, LOSSLESS, quarter_wave_stack

W = np.linspace(420.0, 780.0, 61)


def fresnel(n0, n1, x):
    """r_s, r_p of one boundary for the angle invariant x = n0 sin(theta0)
    (r_p the ratio of tangential fields, equal to r_s at normal incidence),
    and cos of the refracted angle."""
    c0, c1 = np.sqrt(1 - (x / n0) ** 2 + 0j), np.sqrt(1 - (x / n1) ** 2 + 0j)
    return ((n0 * c0 - n1 * c1) / (n0 * c0 + n1 * c1), (n0 * c1 - n1 * c0) / (n0 * c1 + n1 * c0), c1)


class TestAbsorptancePerLayer:
    @pytest.mark.parametrize("pol", ["s", "p"])
    @pytest.mark.parametrize("angle", [0.0, 40.0, 75.0])
    def test_shares_sum_with_R_and_T_to_one(self, eng, angle, pol):
        a = ABSORBING.absorptance(W, angle=angle, pol=pol)
        s = ABSORBING.spectrum(W, angle=angle, pol=pol, engine=eng)
        assert a.layers.shape == (4, W.size)
        assert np.allclose(a.R + a.T + a.layers.sum(axis=0), 1, rtol=0, atol=1e-12)
        # the field propagation agrees with the engine's stack matrix
        assert np.allclose(a.R, s.R, rtol=0, atol=1e-12) and np.allclose(a.T, s.T, rtol=0, atol=1e-12)
        assert np.all(a.layers[[0, 1, 2]] > 0) and np.allclose(a.layers[3], 0, rtol=0, atol=1e-13)

    def test_single_absorbing_film_on_glass(self):
        # the whole absorption sits in the film: its share is 1 - R - T
        film = Design([(2.0 - 0.1j, 80.0)], substrate=1.52)
        a = film.absorptance(W)
        assert np.allclose(a.layers[0], 1 - a.R - a.T, rtol=0, atol=1e-13) and np.all(a.layers[0] > 0.05)


class TestPolarisationAndAngles:
    def test_unpolarised_is_the_mean_of_s_and_p(self, eng):
        for q in ("spectrum", "sensitivities", "absorptance"):
            f = getattr(ABSORBING, q)
            s, p, u = (f(W, angle=50.0, pol=p) for p in "spu")
            for name in ("R", "T") + (("dR", "dT") if q == "sensitivities" else ("layers",) if q == "absorptance" else ("A",)):
                assert np.allclose(getattr(u, name), (getattr(s, name) + getattr(p, name)) / 2, rtol=0, atol=1e-15), (q, name)
        assert ABSORBING.spectrum(W, angle=50.0, pol="u").r is None
        with pytest.raises(ValueError, match="pol: expected one of 's', 'p'"):
            ABSORBING.phase(W, angle=10.0, pol="u")

    def test_angle_array_adds_a_leading_axis(self, eng):
        angles = np.array([0.0, 20.0, 65.0])
        for q, names in (("spectrum", ("R", "T", "A", "r")), ("sensitivities", ("dR", "dT")),
                         ("absorptance", ("layers",)), ("phase", ("phase_r", "gd_t"))):
            f = getattr(ABSORBING, q)
            swept = f(W, angle=angles, pol="p")
            for m, a in enumerate(angles):
                one = f(W, angle=float(a), pol="p")
                for name in names:
                    assert getattr(swept, name).shape == (3,) + getattr(one, name).shape
                    assert np.array_equal(getattr(swept, name)[m], getattr(one, name)), (q, name, a)
        assert ABSORBING.spectrum(W, angle=[30.0]).R.shape == (1, W.size)

    @pytest.mark.parametrize("angle", [90.0, -1.0, float("nan"), float("inf"), [10.0, 90.0]])
    def test_angles_outside_0_to_90_are_refused(self, eng, angle):
        with pytest.raises(ValueError, match=r"angle: expected degrees in \[0, 90\)"):
            LOSSLESS.spectrum(W, angle=angle)

    def test_grazing_incidence_stays_finite(self, eng):
        # sin(89.9999999 degrees) rounds to 1: the incident admittance must
        # still come out as n0 cos(angle), not 0
        for pol in ("s", "p"):
            s = LOSSLESS.spectrum(W, angle=89.9999999, pol=pol)
            assert np.all(np.isfinite(s.R)) and np.all(s.R > 0.999999) and np.all(s.R <= 1 + 1e-12)

    @pytest.mark.parametrize("pol", ["s", "p", "u"])
    def test_a_medium_of_the_incident_index_reflects_nothing_at_grazing_incidence(self, eng, pol):
        # its normal component is the incident one, kept exact where x rounds towards n0
        for angle in (50.0, 89.9, 89.9999):
            s = Design([], substrate=1.33, incident=1.33).spectrum(W[:3], angle=angle, pol=pol)
            assert np.all(s.R < 1e-30) and np.allclose(s.T, 1, rtol=0, atol=1e-15)

    def test_bad_grids_are_refused(self, eng):
        for q in ("spectrum", "sensitivities", "absorptance"):
            with pytest.raises(ValueError, match="wavelengths: the grid is empty"):
                getattr(LOSSLESS, q)(np.array([]))
        with pytest.raises(ValueError, match="wavelengths: expected finite values > 0"):
            LOSSLESS.spectrum(np.array([500.0, 0.0]))


class TestThickSubstrate:
    def test_bare_glass_at_normal_incidence(self, eng):
        glass = Design([], substrate=1.52, substrate_thickness=1e6)
        R0 = (0.52 / 2.52) ** 2
        s = glass.spectrum(W)
        assert np.allclose(s.R, 2 * R0 / (1 + R0), rtol=1e-13)
        assert np.allclose(s.T, (1 - R0) / (1 + R0), rtol=1e-13) and s.r is None

    def test_absorbing_glass_at_normal_incidence(self, eng):
        N, d = 1.5 - 2e-6j, 2e6
        R0 = abs((1 - N) / (1 + N)) ** 2
        tau = np.exp(-4 * np.pi * 2e-6 * d / W)
        s = Design([], substrate=N, substrate_thickness=d).spectrum(W)
        assert np.allclose(s.R, R0 + (1 - R0) ** 2 * R0 * tau ** 2 / (1 - R0 ** 2 * tau ** 2), rtol=1e-12)
        assert np.allclose(s.T, (1 - R0) ** 2 * tau / (1 - R0 ** 2 * tau ** 2), rtol=1e-12)

    def test_a_back_coating_of_the_substrate_index_changes_nothing(self, eng):
        front = [(2.1 - 0.01j, 70.0), (1.45, 95.0)]
        plain = Design(front, substrate=1.52 - 1e-6j, substrate_thickness=1e6)
        coated = Design(front, substrate=1.52 - 1e-6j, substrate_thickness=1e6 - 300.0,
                        back_layers=[(1.52 - 1e-6j, 300.0)])
        for pol in ("s", "p"):
            a, b = plain.spectrum(W, angle=35.0, pol=pol), coated.spectrum(W, angle=35.0, pol=pol)
            assert np.allclose(a.R, b.R, rtol=0, atol=1e-12) and np.allclose(a.T, b.T, rtol=0, atol=1e-12)
            assert np.all(a.R + a.T < 1)

    @pytest.mark.parametrize("pol", ["s", "p"])
    def test_sensitivities_against_central_differences(self, eng, pol):
        d = Design([(2.1 - 0.01j, 70.0), (1.45, 95.0)], substrate=1.52 - 1e-6j, substrate_thickness=1e6,
                   back_layers=[(1.38, 100.0)], exit_medium=1.0)
        w, h = np.linspace(450.0, 700.0, 11), 1e-4
        g = d.sensitivities(w, angle=30.0, pol=pol)
        for k in range(len(d)):
            up = d.with_thickness(k, d.layers[k].thickness + h).spectrum(w, angle=30.0, pol=pol)
            down = d.with_thickness(k, d.layers[k].thickness - h).spectrum(w, angle=30.0, pol=pol)
            assert np.allclose(g.dR[k], (up.R - down.R) / (2 * h), rtol=1e-5, atol=1e-9)
            assert np.allclose(g.dT[k], (up.T - down.T) / (2 * h), rtol=1e-5, atol=1e-9)

    def test_coherent_quantities_are_refused(self, eng):
        d = Design([(2.0, 50.0)], substrate_thickness=1e6)
        for q in ("absorptance", "phase"):
            with pytest.raises(ValueError, match="substrate_thickness:"):
                getattr(d, q)(W)
        with pytest.raises(ValueError, match="back_layers: a back-side coating needs a substrate_thickness"):
            Design([], back_layers=[(1.5, 10.0)])


class TestEllipsometry:
    def test_bare_substrate_and_the_brewster_jump(self, eng):
        brewster = math.degrees(math.atan(1.52))
        angles = np.array([10.0, 40.0, brewster - 0.5, brewster + 0.5, 70.0])
        e = Design([], substrate=1.52).ellipsometry(W[:3], angle=angles)
        for m, a in enumerate(angles):
            rs, rp, _ = fresnel(1.0, 1.52, math.sin(math.radians(a)))
            assert np.allclose(e.psi[m], math.degrees(math.atan(abs(rp / rs))), rtol=0, atol=1e-12)
        # as ellipsometers report it (r_p = -r_s at normal incidence): 180 below
        # Brewster, 0 above, and never -180 from a negative zero
        assert np.all(e.delta[:3] == 180.0) and np.allclose(e.delta[3:], 0, rtol=0, atol=1e-12)
        assert np.all(Design([], substrate=1.52).ellipsometry(W[:3], angle=0.0).delta == 180.0)

    def test_absorbing_substrate_in_an_ambient(self, eng):
        # the closed form for N = 1.7 - 0.2i under water at 60 degrees
        e = Design([], substrate=1.7 - 0.2j, incident=1.33).ellipsometry(W[:2], angle=60.0)
        assert np.allclose(e.psi, 13.414, rtol=0, atol=5e-4) and np.allclose(e.delta, 24.916, rtol=0, atol=5e-4)
        # Delta falls from 180 through 90 at the principal angle towards 0
        sweep = Design([], substrate=1.7 - 0.2j).ellipsometry(W[:1], angle=np.linspace(0.0, 89.0, 90)).delta[:, 0]
        assert sweep[0] == 180.0 and np.all(np.diff(sweep) < 0) and np.all((sweep > 0) & (sweep <= 180))
        assert sweep[40] > 90 > sweep[80]

    def test_single_absorbing_film_against_airy(self, eng):
        N1, ns, d, a = 2.0 - 0.05j, 1.52, 120.0, 60.0
        e = Design([(N1, d)], substrate=ns).ellipsometry(W, angle=a)
        x = math.sin(math.radians(a))
        rho = []
        for w in W:
            r01s, r01p, c1 = fresnel(1.0, N1, x)
            r12s, r12p, _ = fresnel(N1, ns, x)
            ph = np.exp(-2j * 2 * np.pi * d * N1 * c1 / w)
            airy = lambda a, b: (a + b * ph) / (1 + a * b * ph)
            rho.append(-airy(r01p, r12p) / airy(r01s, r12s))
        rho = np.array(rho)
        assert np.allclose(e.rho, rho, rtol=1e-11)
        assert np.allclose(e.psi, np.degrees(np.arctan(np.abs(rho))), rtol=0, atol=1e-10)
        assert np.allclose(e.delta, np.degrees(np.angle(rho)), rtol=0, atol=1e-9)


class TestPhase:
    def test_a_vacuum_slab_delays_by_d_over_c(self, eng):
        w = np.linspace(500.0, 900.0, 101)
        p = Design([(1.0, 3000.0)], substrate=1.0).phase(w)
        assert np.allclose(p.gd_t, 3000.0 / sardune.spectra.C_NM_PER_FS, rtol=1e-9)
        assert np.allclose(p.gdd_t, 0, rtol=0, atol=1e-6)

    def test_quarter_wave_stack_at_its_centre(self, eng):
        H, L = 2.35, 1.46
        stack = quarter_wave_stack(15, H, L, centre=800.0)
        w = np.linspace(780.0, 820.0, 401)  # 0.1 nm steps, centre at index 200
        p = stack.phase(w)
        c = 299.792458
        h = 1e-3
        r = stack.spectrum(np.array([800 - h, 800 + h])).r
        omega = 2 * np.pi * c / np.array([800 - h, 800 + h])
        quotient = -np.angle(r[1] / r[0]) / (omega[1] - omega[0])  # across the wrap at pi
        assert p.gd_r[200] == pytest.approx(quotient, rel=1e-4)
        assert p.gd_r[200] > 0 and abs(p.phase_r[200]) == pytest.approx(math.pi, abs=1e-9)


def test_thick_lossless_stack_in_its_stop_band(eng):
    # ~1e154 in the stack matrix: the real-index path's results there must
    # still be finite and those of the stack-matrix path
    stack = quarter_wave_stack(1500, substrate=1.0)
    w = np.linspace(530.0, 570.0, 9)
    auto, matrix = stack.spectrum(w), stack.spectrum(w, method="complex")
    assert np.allclose(auto.R, matrix.R, rtol=0, atol=1e-13) and np.all(auto.R > 0.999)
    g, h = stack.sensitivities(w[:5]), stack.sensitivities(w[:5], method="complex")
    assert np.all(np.isfinite(g.dR)) and np.allclose(g.dR, h.dR, rtol=0, atol=1e-15)


class TestBatches:
    @pytest.mark.parametrize("design", [ABSORBING, LOSSLESS], ids=["absorbing", "lossless"])
    def test_batch_boundaries_change_nothing_beyond_rounding(self, eng, design):
        # Batches move wavelengths between the four-lane kernel and the
        # scalar real-index algorithm, which round differently: a few ulps
        # (9e-16 seen), bounded here by 1e-14.
        w = np.linspace(400.0, 800.0, 301)
        whole = design.sensitivities(w, angle=[0.0, 45.0], pol="u", batch=301)
        calls = []
        for b in (1, 7, 128, 129):
            part = design.sensitivities(w, angle=[0.0, 45.0], pol="u", batch=b, progress=lambda i, n: calls.append((i, n)))
            for name in ("R", "T", "dR", "dT"):
                assert np.allclose(getattr(part, name), getattr(whole, name), rtol=0, atol=1e-14), (b, name)
        assert calls[-2:] == [(5, 6), (6, 6)]  # 129 a batch: three per angle, two angles
        s = design.spectrum(w, angle=10.0, batch=7)
        assert np.allclose(s.R, design.spectrum(w, angle=10.0).R, rtol=0, atol=1e-14)
        with pytest.raises(ValueError, match="batch: expected at least 1"):
            design.spectrum(w, batch=0)
