"""Tolerance analysis: each run is the perturbed design computed on its own,
statistics and yield from those runs, bitwise the same for any batching and
executor, percentiles as numpy's, and bad input."""

import concurrent.futures
import multiprocessing

import numpy as np
import pytest

from sardune import Design, Layer
from sardune import Band, Bound, Criterion, ErrorModel, ToleranceError
from sardune.tolerance import _statistics
from support import ABSORBING, LOSSLESS, same

W = np.linspace(450.0, 750.0, 41)
ERRORS = ErrorModel(thickness=[1.0, 2.0, 0.5, 1.5, 3.0, 0.7, 2.5], relative=0.02, index=0.01)


def by_hand(design, errors, runs, seed, angle, pol):
    """The runs as the module describes them, each a Design computed by
    Design.spectrum: run i draws z_abs, z_rel, z_index from
    SeedSequence(seed).spawn(runs)[i]."""
    K = len(design)
    m = 1 if errors.alike else K
    R, T = [], []
    for child in np.random.SeedSequence(seed).spawn(runs):
        z = np.random.Generator(np.random.PCG64(child)).standard_normal((3, m))
        layers = [Layer(lambda w, v=l.index, s=1 + np.broadcast_to(errors.index, K)[k] * z[2, k % m]:
                        (v(w) if callable(v) else v) * s,
                        max(0.0, l.thickness * (1 + np.broadcast_to(errors.relative, K)[k] * z[1, k % m])
                            + np.broadcast_to(errors.thickness, K)[k] * z[0, k % m]))
                  for k, l in enumerate(design.layers)]
        s = Design(layers, design.substrate, design.incident, design.substrate_thickness,
                   design.back_layers).spectrum(W, angle=angle, pol=pol)
        R.append(s.R)
        T.append(s.T)
    return np.array(R), np.array(T)


class TestRuns:
    def test_no_errors_give_the_nominal_spectrum(self, eng):
        s = LOSSLESS.spectrum(W, angle=20.0, pol="u", engine=eng)
        r = LOSSLESS.tolerance(W, ErrorModel(), 6, seed=1, angle=20.0, pol="u", engine=eng)
        assert np.array_equal(r.R.percentiles, np.array([s.R] * 3))
        assert np.array_equal(r.T.percentiles, np.array([s.T] * 3))
        assert np.allclose(r.R.mean, s.R, rtol=0, atol=1e-15) and np.all(r.R.std < 1e-15)
        assert r.A is None and r.yield_fraction == 1.0 and r.passed.shape == (6,)
        for w in (W, W[:3]):  # the engine's paths for fewer than 4 wavelengths write nothing without layers
            bare = Design([], substrate=1.52).tolerance(w, ErrorModel(thickness=1.0), 3, seed=1, engine=eng)
            assert np.allclose(bare.R.percentiles, (0.52 / 2.52) ** 2, rtol=1e-14, atol=0)

    @pytest.mark.parametrize("design, errors, angle, pol", [
        (LOSSLESS, ERRORS, 0.0, "s"),
        (LOSSLESS, ErrorModel(thickness=2.0, relative=0.03, alike=True), 40.0, "u"),
        (ABSORBING, ErrorModel(thickness=1.0, index=[0.02, 0.0, 0.01, 0.005]), 30.0, "p"),
        # a 3 nm layer with sigma 4 nm: about a fifth of the runs clip it to 0
        (Design([(2.3, 60.0), (1.38, 3.0), (2.3, 45.0)]), ErrorModel(thickness=[0.5, 4.0, 0.5]), 0.0, "s"),
    ])
    def test_each_run_is_the_perturbed_design(self, eng, design, errors, angle, pol):
        runs, seed = 24, 20240611
        R, T = by_hand(design, errors, runs, seed, angle, pol)
        bounds = [Bound("R", 500.0, 600.0, 0.0, float(np.median(R[:, (W >= 500) & (W <= 600)].max(axis=1)))),
                  ("T", (700.0, 750.0), 0.2, 1.0)]
        r = design.tolerance(W, errors, runs, seed=seed, angle=angle, pol=pol, percentiles=(5, 50, 95), bounds=bounds, batch=5, engine=eng)
        assert r.runs == runs and r.seed == seed and np.array_equal(r.levels, [5, 50, 95])
        for got, want in ((r.R, R), (r.T, T)) + (((r.A, 1 - R - T),) if design is ABSORBING else ()):
            assert np.allclose(got.mean, want.mean(axis=0), rtol=0, atol=1e-13)
            assert np.allclose(got.std, want.std(axis=0), rtol=0, atol=1e-13)
            assert np.allclose(got.percentiles, np.percentile(want, [5, 50, 95], axis=0), rtol=0, atol=1e-13)
        assert np.all(r.R.std > 1e-4)  # the errors do move the spectrum
        inside = (W >= 500) & (W <= 600)
        passed = (R[:, inside].max(axis=1) <= bounds[0].max) & np.all(T[:, W >= 700] >= 0.2, axis=1)
        assert np.array_equal(r.passed, passed) and r.yield_fraction == passed.mean()
        assert 0 < r.yield_fraction < 1
        if design is ABSORBING:
            assert np.all(r.A.mean > 0.01)
        else:
            assert r.A is None

    def test_bitwise_the_same_for_any_batching_and_executor(self, eng):
        for design in (LOSSLESS, ABSORBING):
            errors = ErrorModel(thickness=1.0, relative=0.01, index=0.005)
            kw = dict(seed=99, angle=10.0, pol="u", bounds=[("R", 450, 750, 0.0, 0.5)],
                      criteria=[Band("T", 500.0, 700.0, "mean", min=0.6)], engine=eng)
            one = design.tolerance(W, errors, 23, batch=23, **kw)
            assert same(one, design.tolerance(W, errors, 23, batch=1, **kw))
            assert same(one, design.tolerance(W, errors, 23, batch=6, **kw))
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                assert same(one, design.tolerance(W, errors, 23, batch=4, executor=pool, **kw))
            if design is LOSSLESS:  # (ABSORBING's lambda does not pickle: see TestBadInput)
                # forked from a process whose engine runs a pool: the children drop it
                eng.init(2)
                try:
                    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("fork")) as pool:
                        assert same(one, design.tolerance(W, errors, 23, batch=5, executor=pool, **kw))
                finally:
                    eng.init(1)
            # a different seed is a different sample
            assert not np.array_equal(one.R.mean, design.tolerance(W, errors, 23, **dict(kw, seed=98)).R.mean)

    def test_progress_and_seed(self, eng):
        seen = []
        r = LOSSLESS.tolerance(W, ERRORS, 10, batch=4, engine=eng, progress=lambda done, total: seen.append((done, total)))
        assert seen == [(4, 10), (8, 10), (10, 10)]
        assert same(r, LOSSLESS.tolerance(W, ERRORS, 10, seed=r.seed, engine=eng))  # the drawn seed reproduces it

    def test_percentiles_are_numpys(self):
        rng = np.random.default_rng(5)
        levels = np.array([0.0, 2.5, 33.3, 50.0, 95.0, 100.0])
        for runs in (1, 2, 7, 100, 1001):
            x = rng.normal(size=(9, runs))
            x[3, runs // 2] = np.nan
            x[4] = 0.25  # ties
            got = _statistics(x.copy(), levels)
            np.testing.assert_array_equal(got.percentiles, np.percentile(x, levels, axis=1))
            np.testing.assert_array_equal(got.mean, x.mean(axis=1))
            np.testing.assert_array_equal(got.std, x.std(axis=1))


THICK = Design([(2.3 - 0.01j, 60.0), (1.38, 110.0), (2.3, 45.0), (1.6, 87.0)], substrate="N-BK7",
               substrate_thickness=1e6, back_layers=[(1.38, 99.0)])


class TestCriteriaViewsAndSamples:
    @staticmethod
    def criteria(R, T):
        """One of each kind, its limit at the median of the runs R, T (runs, N)
        so that about half of them pass each."""
        band = (W >= 500) & (W <= 600)
        change = np.median(np.abs(R - np.median(R, axis=0)).max(axis=1))
        return [Band("R", 500.0, 600.0, "mean", max=np.median(R[:, band].mean(axis=1))),
                Band("T", 450.0, 750.0, "min", min=np.median(T.min(axis=1))),
                Band("A", 450.0, 750.0, "max", max=np.median((1 - R - T).max(axis=1))),
                Criterion(lambda s: np.abs(s.R - s.nominal_R).max(axis=1), "worst change of R", max=change),
                lambda s: s.T[:, 0] > s.nominal_T[0]]  # a verdict per run

    def test_criteria_on_each_run_of_a_thick_part(self, eng):
        """The samples are the perturbed thick parts computed on their own,
        and each criterion's values, pass rate and failed runs follow from
        them; the yield asks every criterion at once."""
        runs, seed = 24, 5
        errors = ErrorModel(thickness=1.5, relative=0.01)
        R, T = by_hand(THICK, errors, runs, seed, 20.0, "u")
        criteria = self.criteria(R, T)
        limit = np.median(R[:, W >= 700].max(axis=1))
        r = THICK.tolerance(W, errors, runs, seed=seed, angle=20.0, pol="u", criteria=criteria,
                            bounds=[("R", 700.0, 750.0, 0.0, limit)], samples=True, batch=7, engine=eng)
        assert r.samples.R.shape == (runs, W.size) and r.views == ((20.0, "u"),)
        assert np.allclose(r.samples.R, R, rtol=0, atol=1e-13) and np.allclose(r.samples.T, T, rtol=0, atol=1e-13)
        assert np.allclose(r.A.mean, (1 - R - T).mean(axis=0), rtol=0, atol=1e-13)  # the substrate absorbs
        nominal = THICK.spectrum(W, angle=20.0, pol="u", engine=eng)
        band = (W >= 500) & (W <= 600)
        want = [(R[:, band].mean(axis=1), nominal.R[band].mean(), lambda v: v <= criteria[0].max),
                (T.min(axis=1), nominal.T.min(), lambda v: v >= criteria[1].min),
                ((1 - R - T).max(axis=1), nominal.A.max(), lambda v: v <= criteria[2].max),
                (np.abs(R - nominal.R).max(axis=1), 0.0, lambda v: v <= criteria[3].max),
                (T[:, 0] > nominal.T[0], 0.0, lambda v: v == 1),
                (np.maximum(0.0 - R[:, W >= 700], R[:, W >= 700] - limit).max(axis=1), None, lambda v: v <= 0)]
        passed = np.ones(runs, bool)
        for got, (values, at_nominal, ok) in zip(r.criteria[1:] + r.criteria[:1], want):  # bounds first
            assert np.allclose(got.values, values, rtol=0, atol=1e-12), got.name
            if at_nominal is not None:
                assert abs(got.nominal - at_nominal) < 1e-12, got.name
            verdict = ok(values)
            assert np.array_equal(got.failed, np.flatnonzero(~verdict)) and got.pass_rate == verdict.mean(), got.name
            passed &= verdict
        assert [c.name for c in r.criteria][1:5] == ["mean R 500-600 nm", "min T 450-750 nm", "max A 450-750 nm",
                                                  "worst change of R"]
        assert all(0 < c.pass_rate < 1 for c in r.criteria), [c.pass_rate for c in r.criteria]
        assert np.array_equal(r.passed, passed) and r.yield_fraction == passed.mean()

    def test_views_are_the_single_analyses(self, eng):
        """Several angles and polarisations in one call: each view's
        statistics and criteria bitwise those of its own analysis."""
        kw = dict(seed=11, batch=5, engine=eng, criteria=[Band("R", 450.0, 750.0, "mean", max=0.2)])
        many = LOSSLESS.tolerance(W, ERRORS, 17, angle=[0.0, 30.0], pol=["s", "u"], samples=True, **kw)
        assert many.views == ((0.0, "s"), (0.0, "u"), (30.0, "s"), (30.0, "u"))
        assert many.R.mean.shape == (4, W.size) and many.samples.R.shape == (17, 4, W.size)
        assert [c.name for c in many.criteria] == [f"mean R 450-750 nm at {a} deg {p}" for a, p in
                                                   (("0", "s"), ("0", "u"), ("30", "s"), ("30", "u"))]
        for v, (angle, pol) in enumerate(many.views):
            one = LOSSLESS.tolerance(W, ERRORS, 17, angle=angle, pol=pol, samples=True, **kw)
            for field in ("R", "T"):
                for a, b in zip(getattr(many, field), getattr(one, field)):
                    assert np.array_equal(a[v], b)
            assert np.array_equal(many.samples.R[:, v], one.samples.R)
            assert same(many.criteria[v][1:], one.criteria[0][1:])
        assert np.array_equal(many.passed, np.all([c.values <= 0.2 for c in many.criteria], axis=0))
        # a criterion naming its view is judged there alone
        named = LOSSLESS.tolerance(W, ERRORS, 17, angle=[0.0, 30.0], pol=["s", "u"],
                                   **dict(kw, criteria=[Band("R", 450.0, 750.0, max=0.2, angle=30.0, pol="u")]))
        assert len(named.criteria) == 1 and same(named.criteria[0][1:], many.criteria[3][1:])

    def test_prepared_thick_parts_are_the_designs(self, eng):
        """Prepared runs of a thick part bitwise its Design.spectrum, with
        the index scales of the front layers as a changed design's."""
        for design in (THICK, Design(THICK.layers, substrate=1.52 - 1e-5j, substrate_thickness=2e6)):
            for angle, pol in ((0.0, "s"), (35.0, "p"), (60.0, "u")):
                p = design.prepare(W, angle=angle, pol=pol, engine=eng)
                d = np.array([design.thicknesses, design.thicknesses * 1.03])
                R, T = p.spectra(d)
                for i in range(2):
                    s = design.with_thicknesses(d[i]).spectrum(W, angle=angle, pol=pol, engine=eng)
                    assert np.array_equal(R[i], s.R) and np.array_equal(T[i], s.T)
                scale = np.full((1, len(design)), 1.01)
                R, T = p.spectra(d[:1], scale)
                scaled = design.with_layers([Layer(complex(l.index) * 1.01, l.thickness) for l in design.layers])
                s = scaled.spectrum(W, angle=angle, pol=pol, engine=eng)
                assert np.allclose(R[0], s.R, rtol=0, atol=1e-14) and np.allclose(T[0], s.T, rtol=0, atol=1e-14)
            assert p.absorbing

    def test_bitwise_the_same_over_executors_with_criteria_and_samples(self, eng):
        R, T = by_hand(THICK, ErrorModel(thickness=1.0), 8, 1, 0.0, "p")
        kw = dict(seed=3, angle=[0.0, 40.0], pol=["p", "u"], criteria=self.criteria(R, T), samples=True, engine=eng)
        one = THICK.tolerance(W, ErrorModel(thickness=1.0, index=0.002), 19, batch=19, **kw)
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            assert same(one, THICK.tolerance(W, ErrorModel(thickness=1.0, index=0.002), 19, batch=4, executor=pool, **kw))


class TestColourTolerance:
    def test_colour_difference_of_each_run_from_the_nominal(self, eng):
        from sardune import ColourDifference, Criterion
        from sardune.colour import ciede2000, delta_e_ab, observation, spectrum_colour
        w = np.arange(380.0, 781.0, 5.0)
        ar = Design.quarter_wave([(1.38, 1.0), (2.1, 2.0), (1.62, 1.0)][::-1], reference=520.0)
        criteria = [Criterion(ColourDifference("R"), max=2.0), Criterion(ColourDifference("T", formula="ab"))]
        kw = dict(seed=3, angle=8.0, criteria=criteria, samples=True, engine=eng)
        r = ar.tolerance(w, ErrorModel(thickness=2.0, relative=0.02), 30, batch=7, **kw)
        seen = observation(w)
        nominal = ar.spectrum(w, angle=8.0, engine=eng)
        for c, runs, at, formula in ((r.criteria[0], r.samples.R, nominal.R, ciede2000),
                                     (r.criteria[1], r.samples.T, nominal.T, delta_e_ab)):
            want = formula(spectrum_colour(at, seen).Lab, spectrum_colour(runs, seen).Lab)
            assert np.allclose(c.values, want, rtol=1e-10, atol=1e-12) and c.nominal == 0
        assert r.criteria[0].name == "dE00 of R" and 0 < r.criteria[0].pass_rate < 1
        # each run's colour is its own: the batches change no bit
        assert same(r, ar.tolerance(w, ErrorModel(thickness=2.0, relative=0.02), 30, batch=30, **kw))
        with pytest.raises(ValueError, match="of: expected"):
            ColourDifference("A")


class TestLayerSensitivity:
    @pytest.mark.parametrize("thick", [False, True])
    def test_first_order_against_monte_carlo(self, eng, tmp_path, thick):
        """Each layer alone: the first-order yield lost and slopes agree with
        a Monte Carlo of that layer alone (a thick part at two views too)."""
        design = Design([(2.3, 60.0), (1.38, 110.0), (2.3, 45.0), (1.6, 87.0)])
        if thick:
            design = Design(design.layers, substrate=1.52, substrate_thickness=1e6, back_layers=[(1.38, 99.0)])
            views = dict(angle=[0.0, 30.0], pol="u")
            t0, r30 = (design.spectrum(W, angle=a, pol="u", engine=eng) for a in (0.0, 30.0))
            s = design.layer_sensitivity(W, criteria=[Band("T", 450.0, 750.0, "min", min=t0.T.min() - 0.003),
                                                      Band("R", 500.0, 600.0, "mean", angle=30.0,
                                                           max=r30.R[(W >= 500) & (W <= 600)].mean() + 0.002)],
                                         unit=2.0, runs=2000, seed=2, engine=eng, **views)
            assert s.names == ("min T 450-750 nm at 0 deg u", "min T 450-750 nm at 30 deg u",
                               "mean R 500-600 nm at 30 deg u")
            binomial = 3 * np.sqrt(0.25 / 2000)
            assert s.yield_lost_all.max() > 0.1 and np.all(np.abs(s.mc_yield_lost_all - s.yield_lost_all) < binomial + 0.02)
            assert np.all(np.abs(s.mc_slope - s.slope) < 0.1 * np.abs(s.slope).max(axis=1, keepdims=True))
            return
        nominal = design.spectrum(W, engine=eng)
        criteria = [Band("R", 500.0, 600.0, "mean", max=nominal.R[(W >= 500) & (W <= 600)].mean() + 0.004),
                    Bound("R", 450.0, 750.0, 0.0, nominal.R.max() + 0.01)]
        runs = 4000
        s = design.layer_sensitivity(W, criteria=criteria[:1], bounds=criteria[1:], unit=2.0, runs=runs, seed=1,
                                     engine=eng)
        assert s.names == ("R in [0, %g] at 450-750 nm" % (nominal.R.max() + 0.01), "mean R 500-600 nm")
        assert s.nominal_passed.all() and s.slope.shape == (2, 4)
        band = (W >= 500) & (W <= 600)
        dR = design.sensitivities(W, engine=eng).dR
        np.testing.assert_allclose(s.slope[1], dR[:, band].mean(axis=1), rtol=1e-6)
        binomial = 3 * np.sqrt(0.25 / runs)
        assert np.all(np.abs(s.mc_yield_lost - s.yield_lost) < binomial + 0.02), (s.mc_yield_lost, s.yield_lost)
        assert np.all(np.abs(s.mc_yield_lost_all - s.yield_lost_all) < binomial + 0.02)
        assert np.all(np.abs(s.mc_slope - s.slope) < 0.1 * np.abs(s.slope).max(axis=1, keepdims=True))
        assert np.all(s.yield_lost_all >= s.yield_lost.max(axis=0) - 1e-12) and s.yield_lost_all.max() > 0.1
        path = tmp_path / "sensitivity.png"
        s.plot(str(path))
        assert path.read_bytes()[:4] == b"\x89PNG"

    def test_arguments(self, eng):
        with pytest.raises(ValueError, match="criteria: expected at least one bound or criterion"):
            LOSSLESS.layer_sensitivity(W, engine=eng)
        with pytest.raises(ValueError, match="unit: expected a thickness error > 0 nm"):
            LOSSLESS.layer_sensitivity(W, criteria=[Band("R", 450, 750)], unit=0.0, engine=eng)


class FailingExecutor(concurrent.futures.Executor):
    """Runs batches at once; batch `fail` fails, as a worker that dies would."""

    def __init__(self, fail, at_submit=False):
        self.fail, self.at_submit, self.count = fail, at_submit, 0

    def submit(self, fn, *args):
        f = concurrent.futures.Future()
        k, self.count = self.count, self.count + 1
        if k == self.fail:
            if self.at_submit:
                raise RuntimeError("executor shut down")
            f.set_exception(OSError("worker lost"))
        else:
            f.set_result(fn(*args))
        return f


class TestBadInput:
    @pytest.mark.parametrize("kw, error, message", [
        (dict(errors=ErrorModel(thickness=-1.0)), ValueError, "errors.thickness: expected finite standard deviations >= 0, got -1.0"),
        (dict(errors=ErrorModel(relative=[0.01, 0.02])), ValueError, r"errors.relative: expected a number or 7 values"),
        (dict(errors=ErrorModel(index=np.nan)), ValueError, "errors.index: expected finite"),
        (dict(errors=ErrorModel(alike="yes")), TypeError, "errors.alike"),
        (dict(errors=(1.0, 0.0)), TypeError, "errors: expected an ErrorModel"),
        (dict(runs=0), ValueError, "runs: expected at least 1"),
        (dict(runs=2.5), TypeError, "runs: expected an integer"),
        (dict(batch=0), ValueError, "batch: expected at least 1"),
        (dict(seed=-3), ValueError, "seed: expected an integer >= 0"),
        (dict(percentiles=[50, 101]), ValueError, "percentiles: expected"),
        (dict(bounds=[("R", 900, 950, 0.0, 1.0)]), ValueError, r"bounds\[0\]: no wavelength of the grid lies in \[900.0, 950.0\]"),
        (dict(bounds=[("R", 450, 750, 0.0, 1.0), ("T", 450, 750, 0.9, 0.1)]), ValueError, r"bounds\[1\]: expected min <= max"),
        (dict(bounds=[("X", 450, 750, 0.0, 1.0)]), ValueError, r"bounds\[0\].quantity"),
        (dict(bounds=[("R", 450)]), TypeError, r"bounds\[0\]: expected"),
        (dict(bounds=[("R", 450, 0.0, 1.0)]), TypeError, r"bounds\[0\]: expected"),
        (dict(angle=[0.0, 95.0]), ValueError, r"angle: expected degrees in \[0, 90\), got 95.0"),
        (dict(pol=["s", "s"]), ValueError, "pol: expected one or more distinct polarisations"),
        (dict(pol=["s", "x"]), ValueError, "pol: expected one of 's', 'p', 'u', got 'x'"),
        (dict(samples=1), TypeError, "samples: expected True or False"),
        (dict(criteria=[Band("R", 450, 750, "median")]), ValueError, r"criteria\[0\].statistic: expected 'mean', 'max' or 'min'"),
        (dict(criteria=[Criterion(lambda s: s.R[:, 0], min=1.0, max=0.0)]), ValueError, r"criteria\[0\]: expected min <= max"),
        (dict(criteria=[Band("R", 450, 750, angle=30.0)]), ValueError, r"criteria\[0\]: the analysis has no view at 30.0 degrees"),
        (dict(criteria=[lambda s: s.R[:3, 0]]), ValueError, r"<lambda>: expected one value per run \(4\), got shape \(3,\)"),
        (dict(pol="x"), ValueError, "pol:"),
        (dict(executor=object()), TypeError, "executor: expected an object with submit"),
        (dict(progress="no"), TypeError, "progress: expected a callable"),
    ])
    def test_arguments(self, eng, kw, error, message):
        args = {"errors": ERRORS, "runs": 4, "engine": eng, **kw}
        with pytest.raises(error, match=message):
            LOSSLESS.tolerance(W, **args)

    def test_bad_indices(self, eng):
        bad = Design([Layer(np.ones(3), 10.0)])
        with pytest.raises(ValueError, match=r"layers\[0\].index: expected a number or 41 values"):
            bad.tolerance(W, ErrorModel(), 4, engine=eng)

    @pytest.mark.parametrize("at_submit", [False, True])
    def test_a_failed_batch_is_named_and_nothing_returned(self, eng, at_submit):
        with pytest.raises(ToleranceError, match=r"^executor: batch 2 \(runs 8 to 11\) failed: "
                                                 + ("RuntimeError: executor shut down" if at_submit else "OSError: worker lost")) as e:
            LOSSLESS.tolerance(W, ERRORS, 14, seed=1, batch=4, executor=FailingExecutor(2, at_submit), engine=eng)
        assert e.value.what == "batch 2 (runs 8 to 11)" and e.value.__cause__ is not None
        # the statistics tasks follow the four batches: the second covers the grid's next block
        with pytest.raises(ToleranceError, match=r"^executor: statistics of 487.5 to 517.5 nm failed: OSError"):
            LOSSLESS.tolerance(W, ERRORS, 14, seed=1, batch=4, executor=FailingExecutor(5), engine=eng)

    def test_a_batch_that_cannot_travel_is_named(self, eng):
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("fork")) as pool:
            with pytest.raises(ToleranceError, match=r"^executor: batch 0 \(runs 0 to 3\) failed: .*(pickle|lambda)"):
                ABSORBING.tolerance(W, ErrorModel(thickness=1.0), 8, seed=1, batch=4, executor=pool, engine=eng)

    def test_progress_can_cancel(self, eng):
        def stop(done, total):
            raise KeyboardInterrupt
        with pytest.raises(KeyboardInterrupt):
            LOSSLESS.tolerance(W, ERRORS, 8, batch=2, progress=stop, engine=eng)
