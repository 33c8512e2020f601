"""Refinement: a design finds its own spectrum again, the analytic Jacobian
against central differences, bounds and chosen layers, a broadband
antireflection coating, and bad targets."""

import numpy as np
import pytest

from sardune import Design
from sardune.refine import Target, _Problem
from sardune.targets import Targets

H, L = 2.35, 1.46
# eight layers of uneven thickness: no symmetry that would make a solution unique by accident
START = [0.7, 1.3, 0.9, 1.1, 0.6, 1.4, 1.2, 0.8]
TRUTH = Design.quarter_wave([(H if j % 2 == 0 else L, f) for j, f in enumerate(START)], reference=550.0)
W = np.linspace(400.0, 900.0, 60)


def own_spectrum(design, w, views=((0.0, "s"), (45.0, "s"), (45.0, "p"))):
    """Targets that reproduce `design`'s reflectance; several angles and both
    polarisations make the thicknesses well determined."""
    return [Target("R", w, a, p, design.spectrum(w, angle=a, pol=p).R, 0.01) for a, p in views]


class TestRefine:
    def test_returns_to_its_own_spectrum(self, eng):
        rng = np.random.default_rng(7)
        start = TRUTH.with_thicknesses(TRUTH.thicknesses * (1 + rng.uniform(-0.05, 0.05, len(TRUTH))))
        seen = []
        r = start.refine(own_spectrum(TRUTH, W), engine=eng, progress=lambda i, m, d: seen.append((i, m, d.copy())))
        assert r.merit_start > 100 and r.merit_end < 1e-10
        assert np.allclose(r.design.thicknesses, TRUTH.thicknesses, rtol=0, atol=1e-4)
        assert r.success and 1 <= r.iterations < 100 and r.evaluations >= r.iterations and r.seconds > 0
        # progress sees the start, then every accepted step, merits falling
        assert [i for i, _, _ in seen] == list(range(r.iterations + 1))
        assert seen[0][1] == pytest.approx(r.merit_start, rel=1e-12)
        assert np.array_equal(seen[0][2], start.thicknesses)
        assert np.allclose(seen[-1][2], r.design.thicknesses, rtol=0, atol=1e-6)
        merits = [m for _, m, _ in seen]
        assert all(b <= a for a, b in zip(merits, merits[1:]))
        # the start design is left as it was
        assert not np.allclose(start.thicknesses, TRUTH.thicknesses)

    def test_jacobian_against_central_differences(self, eng):
        # every quantity, polarisation and grouping, on absorbing layers so that A moves
        absorbing = Design([(2.2 - 0.03j, 70.0), (1.46, 95.0), (2.0 - 0.01j, 40.0), (1.38, 120.0)], substrate=1.52)
        w = np.linspace(450.0, 700.0, 9)
        targets = [Target("R", w, 0.0, "s", 0.05, 0.01), Target("A", w[:5], 30.0, "u", 0.02, 0.004),
                   Target("T", w, 30.0, "p", np.linspace(0.8, 0.9, 9), np.linspace(0.01, 0.03, 9)),
                   Target("A", w, 0.0, "s", 0.0, 0.02)]
        variables = np.array([3, 0, 2])
        p = _Problem(absorbing, Targets(targets), variables, eng, "auto", True, None)
        x = absorbing.thicknesses[variables]
        J = p.jacobian(x)
        assert J.shape == (9 + 5 + 9 + 9, 3)
        h = 1e-4
        for j in range(3):
            up, down = x.copy(), x.copy()
            up[j] += h
            down[j] -= h
            fd = (p.residuals(up) - p.residuals(down)) / (2 * h)
            assert np.allclose(J[:, j], fd, rtol=1e-6, atol=1e-7 * np.abs(fd).max()), j
        assert np.abs(J[5:9 + 5]).max() > 0  # the A rows do move

    def test_bounds_and_chosen_layers(self, eng):
        w = np.linspace(420.0, 680.0, 53)
        ar = Design([((2.1 if j % 2 == 0 else 1.38), 60.0) for j in range(6)], substrate=1.52)
        r = ar.refine([Target("R", w, 0.0, "s", 0.0, 0.005)], bounds=(40.0, 80.0), engine=eng)
        d = r.design.thicknesses
        assert np.all((d >= 40.0) & (d <= 80.0))
        assert np.any(np.isclose(d, 40.0, rtol=0, atol=1e-6) | np.isclose(d, 80.0, rtol=0, atol=1e-6))
        assert r.merit_end < r.merit_start
        # per-layer bounds on a subset; the other layers keep their thickness exactly
        r = ar.refine([Target("R", w, 0.0, "s", 0.0, 0.005)], layers=[1, 4], bounds=([55.0, 10.0], [65.0, 200.0]),
                      engine=eng)
        d = r.design.thicknesses
        assert np.array_equal(d[[0, 2, 3, 5]], ar.thicknesses[[0, 2, 3, 5]])
        assert 55.0 <= d[1] <= 65.0 and 10.0 <= d[4] <= 200.0 and not np.array_equal(d, ar.thicknesses)

    def test_broadband_antireflection(self, eng):
        # six layers (2.1 / 1.38) on glass from half-quarter-wave layers, R -> 0 over 420-680 nm
        w = np.linspace(420.0, 680.0, 131)
        start = Design([((2.1 if j % 2 == 0 else 1.38), 550 / (8 * (2.1 if j % 2 == 0 else 1.38))) for j in range(6)],
                       substrate=1.52)
        r = start.refine([Target("R", w, 0.0, "s", 0.0, 0.005)], engine=eng)
        R = r.design.spectrum(w, engine=eng).R
        assert r.merit_start > 1e4 and r.merit_end < 5.0
        assert R.max() < 0.003 and R.mean() < 0.001  # bare glass: 4.3 %
        assert r.merit_end == pytest.approx(float(np.sum((R / 0.005) ** 2)), rel=1e-9)


class TestDefaults:
    def test_scaled_steps_reach_the_lower_minimum_of_a_dichroic(self, eng):
        # an 18-layer dichroic (R >= 95 % below 540 nm, T >= 95 % above 560 nm)
        # 3 % away from a refined state: the same budget of evaluations goes
        # further with steps scaled by the Jacobian (the default) than unscaled
        d = [51.4, 65.2, 45.8, 65.7, 55.8, 86.1, 46.4, 81.0, 47.3, 78.2, 49.4, 81.4, 50.8, 80.1, 46.3, 68.3, 45.3,
             173.0]
        base = Design([(H if j % 2 == 0 else L, t) for j, t in enumerate(d)])
        start = base.with_thicknesses(base.thicknesses * (1 + 0.03 * np.random.default_rng(1).uniform(-1, 1, 18)))
        targets = [Target("R", np.linspace(420.0, 540.0, 61), value=0.95, kind="above"),
                   Target("T", np.linspace(560.0, 680.0, 61), value=0.95, kind="above")]
        scaled = start.refine(targets, engine=eng, max_nfev=400)
        unscaled = start.refine(targets, engine=eng, max_nfev=400, x_scale=1.0)
        assert scaled.merit_end < unscaled.merit_end * (1 - 1e-3)


class TestBadInput:
    w = np.linspace(500.0, 600.0, 4)

    @pytest.mark.parametrize("targets, message", [
        ([("R", w, 0.0, "s", [0.1, 0.2, 0.3], 0.01)], r"targets\[0\].value: expected a number or 4 values"),
        ([("R", w, 0.0, "s", 0.1, 0.01), ("T", w, 0.0, "s", 0.9, [0.01, -0.01, 0.01, 0.01])],
         r"targets\[1\].tolerance: expected values > 0, got -0.01"),
        ([("R", w, 0.0, "s", 0.1, 0.0)], r"targets\[0\].tolerance: expected values > 0"),
        ([("X", w, 0.0, "s", 0.1, 0.01)], r"targets\[0\].quantity"),
        ([("R", w, 0.0, "q", 0.1, 0.01)], r"targets\[0\].pol"),
        ([("R", w, 90.0, "s", 0.1, 0.01)], r"targets\[0\].angle"),
        ([("R", [], 0.0, "s", 0.1, 0.01)], r"targets\[0\].wavelengths"),
        ([("R", w, 0.0, "s", np.nan, 0.01)], r"targets\[0\].value: expected finite"),
        ([], "targets: expected at least one row"),
    ])
    def test_targets(self, eng, targets, message):
        with pytest.raises(ValueError, match=message):
            TRUTH.refine(targets, engine=eng)

    @pytest.mark.parametrize("kw, error, message", [
        ({"bounds": (0.0, 50.0)}, ValueError, r"bounds: layer 1 starts at 122.43\d+ nm, outside \[0.0, 50.0\]"),
        ({"bounds": (100.0, 50.0)}, ValueError, "bounds: layer 0: lower bound 100.0 is not below upper bound 50.0"),
        ({"bounds": (-1.0, 500.0)}, ValueError, "bounds: lower bound -1.0 nm is below 0"),
        ({"bounds": ([0.0, 0.0], 500.0)}, ValueError, "bounds: expected"),
        ({"layers": [0, 8]}, ValueError, "layers: layer 8 is not among the design's 8 layers"),
        ({"layers": [1, 1]}, ValueError, "layers: a layer is listed twice"),
        ({"layers": [1.0]}, TypeError, "layers: expected integers"),
        ({"jacobian": "exact"}, ValueError, "jacobian: expected"),
        ({"progress": 3}, TypeError, "progress: expected a callable"),
        ({"method": "lm"}, ValueError, "method: expected 'auto', 'complex' or 'real'"),
    ])
    def test_arguments(self, eng, kw, error, message):
        with pytest.raises(error, match=message):
            TRUTH.refine([("R", self.w, 0.0, "s", 0.1, 0.01)], engine=eng, **kw)

    def test_progress_can_stop_the_solve(self, eng):
        def stop(i, merit, d):
            if i == 2:
                raise KeyboardInterrupt
        start = TRUTH.with_thicknesses(TRUTH.thicknesses * 1.03)
        with pytest.raises(KeyboardInterrupt):
            start.refine(own_spectrum(TRUTH, W), engine=eng, progress=stop)


class TestTargetKinds:
    def test_one_sided_rows_count_only_where_they_are_not_met(self, eng):
        w = np.linspace(450.0, 650.0, 21)
        R = TRUTH.spectrum(w, engine=eng).R
        level = float(np.median(R))
        below = Targets([Target("R", w, value=level, tolerance=0.01, kind="below")])
        above = Targets([Target("R", w, value=level, tolerance=0.01, kind="above")])
        rb, ra = below.residuals([(R, 1 - R)]), above.residuals([(R, 1 - R)])
        assert np.array_equal(rb != 0, R > level) and np.array_equal(ra != 0, R < level)
        assert np.allclose(rb + ra, (R - level) / 0.01, rtol=1e-15, atol=0)
        # a design that meets its one-sided targets is left as it is
        met = [Target("R", w, value=R.max() + 0.01, tolerance=0.01, kind="below")]
        r = TRUTH.refine(met, engine=eng)
        assert r.merit_start == 0 and np.array_equal(r.design.thicknesses, TRUTH.thicknesses)

    def test_weights_and_the_merit(self, eng):
        w = np.linspace(450.0, 650.0, 11)
        R = TRUTH.spectrum(w, engine=eng).R
        heavy = Targets([Target("R", w, value=0.1, tolerance=0.02, weight=4.0)])
        tight = Targets([Target("R", w, value=0.1, tolerance=0.01)])
        assert np.allclose(heavy.residuals([(R, 1 - R)]), tight.residuals([(R, 1 - R)]), rtol=1e-15, atol=0)
        mixed = Targets([Target("R", w, value=0.1, tolerance=0.02, weight=np.r_[np.zeros(5), np.ones(6)])])
        r = mixed.residuals([(R, 1 - R)])
        F = np.sqrt(np.sum(((R[5:] - 0.1) / 0.02) ** 2) / 6)
        assert np.all(r[:5] == 0) and mixed.merit(r) == pytest.approx(F, rel=1e-14)
        for bad, match in ((Target("R", w, kind="at most"), "kind: expected"),
                           (Target("R", w, weight=-1.0), "weight: expected values >= 0"),
                           (Target("R", w, weight=0.0), "every weight is 0")):
            with pytest.raises(ValueError, match=match):
                Targets([bad])
