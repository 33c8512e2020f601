"""Needle synthesis: the needle function against real needles, what the loop
builds from simple starts, what it leaves alone, its limits and its stops,
multi-start over executors, and bad arguments."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from sardune import Design, Layer, SynthesisError, Target
from sardune.synthesis import multistart, needle_function, spread, synthesize
from sardune.targets import Targets
from support import ABSORBING, LOSSLESS

H, L = 2.35, 1.46
AR_550 = [Target("R", [550.0], 0.0, "s", 0.0, 0.01)]


def merit(design, rows, eng):
    spectra = [design.spectrum(g.wavelengths, angle=g.angle, pol=g.pol, engine=eng) for g in rows.groups]
    return rows.merit(rows.residuals([(s.R, s.T) for s in spectra]))


def with_needle(design, material, j, z, delta):
    """`design` with a layer of `material`, delta nm thick, inserted at z nm
    from layer j's substrate-side face (the layer split there)."""
    host = design.layers[j]
    parts = ([host.with_thickness(z)] if z > 0 else []) + [Layer(material, delta)] + (
        [host.with_thickness(host.thickness - z)] if z < host.thickness else [])
    return design.with_layers(design.layers[:j] + parts + design.layers[j + 1:])


class TestNeedleFunction:
    @pytest.mark.parametrize("design, rows", [
        (LOSSLESS, [Target("R", np.linspace(450.0, 700.0, 23), 30.0, "u", 0.1, 0.02),
                    Target("T", np.linspace(450.0, 700.0, 12), 30.0, "p", 0.9, 0.05, "above"),
                    Target("R", np.linspace(450.0, 700.0, 23), 0.0, "s", 0.3, 0.1)]),
        (ABSORBING, [Target("A", np.linspace(450.0, 700.0, 23), 0.0, "s", 0.0, 0.01),
                     Target("R", np.linspace(450.0, 700.0, 17), 50.0, "s", 0.05, 0.02, "below")]),
    ], ids=["lossless-oblique", "absorbing"])
    def test_against_real_needles(self, eng, design, rows):
        # inside every layer and at every face (the outer two included), for a
        # lossless and an absorbing needle material
        rows = Targets(rows)
        materials = [2.1, 1.46 - 0.01j]
        P = needle_function(design, rows, materials, positions_per_layer=4, engine=eng)
        F0 = merit(design, rows, eng)
        assert P.merit == pytest.approx(F0, rel=1e-12)
        assert P.values.shape == (2, len(design), 4)
        assert np.allclose(P.depth[:, 0], np.cumsum(design.thicknesses) - design.thicknesses, rtol=0, atol=1e-9)
        quotient = np.empty_like(P.values)
        delta = 2e-3  # nm; two needles remove the quotient's first-order error
        for a, m in enumerate(materials):
            for j in range(len(design)):
                for i, z in enumerate(P.position[j]):
                    q1, q2 = ((merit(with_needle(design, m, j, z, h), rows, eng) - F0) / h for h in (delta, 2 * delta))
                    quotient[a, j, i] = 2 * q1 - q2
        largest = np.abs(quotient).max()
        assert largest > 1e-2
        assert np.abs(P.values - quotient).max() < 3e-6 * largest  # the single-precision kernel's share


    def test_any_row_of_the_target_protocol(self, eng):
        class MeanReflectance:
            """One residual: the band's mean R against a value (a row of the
            kind colour targets are)."""
            angle, pol = 20.0, "p"

            def __init__(self, wavelengths, value):
                self.wavelengths, self.value, self.size = np.asarray(wavelengths, float), value, 1

            def checked(self, name):
                return self

            def weights(self):
                return np.ones(1)

            def residuals(self, R, T):
                return np.array([(R.mean() - self.value) / 0.01])

            def slopes(self, R, T, dR, dT):
                return (dR.mean(axis=-1) / 0.01)[None, :]

        rows = Targets([MeanReflectance(np.linspace(450.0, 650.0, 9), 0.02), Target("T", [500.0], 0.0, "s", 1.0, 0.1)])
        P = needle_function(LOSSLESS, rows, [1.7], positions_per_layer=3, engine=eng)
        F0 = merit(LOSSLESS, rows, eng)
        for j, i in ((0, 0), (2, 1), (6, 2)):
            z, h = P.position[j, i], 2e-3
            q1, q2 = ((merit(with_needle(LOSSLESS, 1.7, j, z, d), rows, eng) - F0) / d for d in (h, 2 * h))
            assert P.values[0, j, i] == pytest.approx(2 * q1 - q2, rel=0, abs=3e-6 * np.abs(P.values).max())


class TestLoop:
    def test_single_wavelength_antireflection_from_one_layer(self, eng):
        seen = []
        r = synthesize(Design([(1.38, 120.0)]), AR_550, [1.38, H], engine=eng, progress=seen.append)
        R = r.design.spectrum([550.0], engine=eng).R[0]
        assert R < 1e-6 and r.layers == 2
        # a high-index needle on the substrate, grown by the refinement
        first = r.insertions[0]
        assert (first.step, first.layer, first.depth, first.material) == (1, 0, 0.0, H)
        assert r.design.layers[0].index == H and r.design.layers[0].thickness == pytest.approx(first.thickness, rel=1e-4)
        assert first.thickness > 2.0
        assert first.slope < 0
        assert [s.step for s in seen] == list(range(len(r.steps))) and seen[-1].design is r.design
        assert r.merits == tuple(s.merit for s in r.steps) and r.merits[-1] == r.merit
        assert r.merits[0] == pytest.approx(merit(Design([(1.38, 120.0)]), Targets(AR_550), eng), rel=1e-14)
        assert all(b < a for a, b in zip(r.merits, r.merits[1:]))
        assert r.total_thickness == pytest.approx(r.design.thicknesses.sum(), rel=1e-15)
        assert r.seconds >= r.timings["refinement"] > 0 and r.timings["needle function"] > 0

    def test_quarter_wave_mirror_grows_the_alternation(self, eng):
        r = synthesize(Design([(H, 300.0)]), [Target("R", [550.0], 0.0, "s", 1.0, 0.01)], [H, L], engine=eng)
        n = [l.index.real for l in r.design.layers]
        assert r.layers >= 5 and n == [H, L] * (r.layers // 2) + [H] * (r.layers % 2)
        optical = np.array([l.index.real * l.thickness for l in r.design.layers])
        assert np.allclose(optical, 550.0 / 4, rtol=1e-3, atol=0)

    def test_designs_that_meet_their_targets_are_left_alone(self, eng):
        w = np.linspace(450.0, 650.0, 21)
        s = LOSSLESS.spectrum(w, engine=eng)
        for targets in ([Target("R", w, 0.0, "s", s.R, 0.01)],
                        [Target("R", w, 0.0, "s", s.R.max() + 0.01, 0.01, "below"),
                         Target("T", w, 0.0, "s", s.T.min() - 0.01, 0.01, "above")]):
            r = synthesize(LOSSLESS, targets, [H, L], engine=eng)
            assert r.design is LOSSLESS and r.insertions == () and r.merits == (0.0,) and r.stopped == "goal reached"

    def test_progress_ends_the_run_with_its_best_design(self, eng):
        r = synthesize(Design([(H, 300.0)]), [Target("R", [550.0], 0.0, "s", 1.0, 0.01)], [H, L], engine=eng,
                       progress=lambda step: step.step == 1)
        assert r.stopped == "stopped by progress" and len(r.steps) == 2 and r.design is r.steps[1].design

    def test_limits(self, eng):
        mirror = [Target("R", [550.0], 0.0, "s", 1.0, 0.01)]
        r = synthesize(Design([(H, 300.0)]), mirror, [H, L], max_layers=3, engine=eng)
        assert r.layers == 3 and r.stopped == "max_layers reached"
        r = synthesize(Design([(H, 300.0)]), mirror, [H, L], max_steps=1, engine=eng)
        assert len(r.steps) == 2 and r.stopped == "max_steps reached"
        r = synthesize(Design([(H, 300.0)]), mirror, [H, L], max_total_thickness=310.0, engine=eng)
        assert r.total_thickness <= 310.0 and r.stopped == "max_total_thickness reached"

    def test_without_needles_the_start_is_refined_and_cleaned(self, eng):
        # no needle promises enough: the start is refined, its 1 nm layer
        # removed and the two layers of H around it merged
        w = np.linspace(450.0, 650.0, 11)
        d = Design([(H, 50.0), (L, 1.0), (H, 30.0), (L, 80.0)])
        r = synthesize(d, [Target("R", w, 0.0, "s", 0.1, 0.01)], [H, L], epsilon=1e9, engine=eng)
        assert [l.index.real for l in r.design.layers] == [H, L] and r.steps[1].removed == 2
        assert r.insertions == () and r.merit < r.merits[0] and r.stopped == "no needle lowers the merit"


    def test_several_needles_per_step_in_layers_that_do_not_touch(self, eng):
        start = Design([(H, 200.0), (L, 200.0), (H, 200.0)])
        mirror = [Target("R", [550.0], 0.0, "s", 1.0, 0.01)]
        r = synthesize(start, mirror, [H, L], needles=2, max_steps=2, engine=eng)
        per_step = [s.insertions for s in r.steps[1:]]
        assert max(len(i) for i in per_step) == 2
        assert all(abs(a.layer - b.layer) >= 2 for i in per_step for a in i for b in i if a is not b)
        # needles inside layers split them
        assert r.layers == len(start) + 2 * len(r.insertions) - sum(s.removed for s in r.steps)
        one = synthesize(start, mirror, [H, L], max_steps=2, engine=eng)
        assert all(len(s.insertions) == 1 for s in one.steps[1:])

    def test_a_spent_time_budget_returns_the_start(self, eng):
        start = Design([(1.38, 120.0)])
        r = synthesize(start, AR_550, [1.38, H], max_seconds=0.0, engine=eng)
        assert r.design is start and r.stopped == "time budget used up" and len(r.merits) == 1


class TestMultistart:
    def test_bitwise_equal_serially_and_on_a_thread_pool(self, eng):
        w = np.linspace(420.0, 680.0, 27)
        starts = spread(Design([(1.38, 100.0)]), [150.0, 300.0, 250.0])
        assert [s.thicknesses.sum() for s in starts] == pytest.approx([150.0, 300.0, 250.0], rel=1e-15)
        kw = dict(targets=[Target("R", w, 0.0, "s", 0.0, 0.002)], materials=[1.38, 2.35], max_steps=3, engine=eng)
        calls = []
        serial = multistart(starts, progress=lambda done, total: calls.append((done, total)), **kw)
        assert calls == [(1, 3), (2, 3), (3, 3)]
        with ThreadPoolExecutor(3) as pool:
            pooled = multistart(starts, executor=pool, **kw)
        assert [r.merit for r in serial] == sorted(r.merit for r in serial)
        for a, b in zip(serial, pooled):
            assert np.array_equal(a.design.thicknesses, b.design.thicknesses) and a.merits == b.merits
            assert a.insertions == b.insertions

    def test_a_failing_start_is_named(self, eng):
        class Broken:
            def submit(self, fn, *args):
                raise RuntimeError("no workers")
        with pytest.raises(SynthesisError, match=r"^executor: start 0 failed: RuntimeError: no workers"):
            multistart([Design([(1.38, 100.0)])], AR_550, [H], executor=Broken(), engine=eng)


class TestBadInput:
    @pytest.mark.parametrize("kw, error, message", [
        (dict(materials=[]), ValueError, "materials: expected at least one"),
        (dict(materials=[np.array([1.5, 1.6])]), TypeError, r"materials\[0\]: expected a number"),
        (dict(materials=["unobtainium"]), ValueError, r"materials\[0\]: unknown material"),
        (dict(positions_per_layer=1), ValueError, "positions_per_layer: expected at least 2"),
        (dict(max_layers=2.5), TypeError, "max_layers: expected an integer"),
        (dict(min_thickness=-1.0), ValueError, "min_thickness: expected 0 <= value"),
        (dict(refine_options={"bounds": (0, 1)}), ValueError, "refine_options: 'bounds' is set by synthesis"),
        (dict(progress=3), TypeError, "progress: expected a callable"),
        (dict(start=Design([(H, 10.0)], substrate_thickness=1e6)), ValueError, "start.substrate_thickness"),
        (dict(start=Design([])), ValueError, "start: expected at least one layer"),
    ])
    def test_arguments(self, eng, kw, error, message):
        args = dict(start=Design([(1.38, 100.0)]), targets=AR_550, materials=[H])
        args.update(kw)
        with pytest.raises(error, match=message):
            synthesize(args.pop("start"), args.pop("targets"), args.pop("materials"), engine=eng, **args)

    def test_multistart_arguments(self, eng):
        for kw, error, message in ((dict(starts=[]), ValueError, "starts: expected at least one"),
                                   (dict(executor=object()), TypeError, "executor: expected an object with submit"),
                                   (dict(max_steps=-1), ValueError, "max_steps: expected at least 0"),
                                   (dict(starts=[Design([(H, 1.0)]), Design([])]), ValueError,
                                    r"starts\[1\]: expected at least one layer")):
            args = {"starts": [Design([(1.38, 100.0)])], **kw}
            with pytest.raises(error, match=message):
                multistart(args.pop("starts"), AR_550, [H], engine=eng, **args)
        with pytest.raises(ValueError, match=r"totals\[1\]: expected 0 < value"):
            spread(Design([(H, 10.0)]), [100.0, 0.0])
