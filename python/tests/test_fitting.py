"""Fitting designs to measurements: the model is the design's own spectrum
and ellipsometry, its analytic Jacobian matches differences, synthetic
measurements give back the parameters within uncertainties that are right,
undetermined parameters show as correlated, and measurement files."""

import warnings

import numpy as np
import pytest

import sardune
from sardune import (Design, Dispersion, Material, Measurement, MeasurementFileError, Shift, Thickness, Tie,
                     fit, read_measurements, write_measurements)
from sardune.fitting import _Problem
from support import quarter_wave_stack

SI = 3.88 - 0.02j  # a silicon-like substrate in the visible
W = np.linspace(420.0, 780.0, 25)


def film(A=1.46, B=0.0035):
    return Material.cauchy(A, B, name="SiO2")


def ellipsometry(design, w, angles, eng, rng=None, sigma=(0.05, 0.1)):
    out = []
    for a in angles:
        e = design.ellipsometry(w, angle=a, engine=eng)
        for q, v, s in (("psi", e.psi, sigma[0]), ("delta", e.delta, sigma[1])):
            noise = 0 if rng is None else rng.normal(0, s, w.size)
            out.append(Measurement(q, w, v + noise, s, a))
    return out


class TestModel:
    # every kind of parameter, on a design holding each kind of material
    MIXED = Design([(Material.constant(2.1, 0.01, name="H"), 80.0), (film(), 120.0), (Material.constant(2.1, 0.01, name="H"), 60.0),
                    (Material.sellmeier([1.1], [0.01], name="S"), 90.0), ("N-BK7", 70.0)], substrate=1.52)
    PARAMETERS = [Thickness(0), Tie([1, 3]), Dispersion("H", "n"), Dispersion("H", "k"), Dispersion("SiO2", "A"),
                  Dispersion("SiO2", "B"), Dispersion("SiO2", "C"), Dispersion("S", "B1"), Dispersion("S", "C1"),
                  Dispersion("N-BK7", "scale"), Shift()]

    def measurements(self, design, eng):
        s45p = design.spectrum(W, angle=45.0, pol="p", engine=eng)
        u = design.spectrum(W, angle=30.0, pol="u", engine=eng)
        return [Measurement("R", W, s45p.R, 0.01, 45.0, "p"), Measurement("T", W, u.T, 0.01, 30.0, "u"),
                Measurement("A", W, s45p.A, 0.01, 45.0, "p")] + ellipsometry(design, W, [60.0], eng)

    def test_values_are_the_designs_and_the_jacobian_its_derivatives(self, eng):
        d = self.MIXED
        ms = [m.checked(f"m{i}") for i, m in enumerate(self.measurements(d, eng))]
        analytic = _Problem(d, ms, self.PARAMETERS, eng, "auto", True)
        x = np.array(analytic.x0) * (1 + 1e-3) + 1e-3  # away from the start
        values, _ = analytic.model(analytic.x0, False)
        want = np.concatenate([m.values for m in ms])
        assert np.allclose(values, want, rtol=0, atol=1e-12)
        J = analytic.jacobian(x)
        numeric = _Problem(d, ms, self.PARAMETERS, eng, "auto", False).jacobian(x)
        assert analytic.numeric_rows == [len(self.PARAMETERS) - 1]  # the shift alone by differences
        scale = np.abs(numeric).max(axis=0)
        assert np.all(scale > 0)
        np.testing.assert_allclose(J / scale, numeric / scale, rtol=0, atol=2e-6)

    def test_thick_substrate_and_its_media_by_differences(self, eng):
        d = Design([(film(), 120.0), (2.1, 70.0)], substrate="N-BK7", substrate_thickness=1e6,
                   back_layers=[(1.38, 100.0)])
        s = d.spectrum(W, angle=20.0, pol="u", engine=eng)
        ms = [Measurement("T", W, s.T, 1e-3, 20.0, "u").checked("m0"), Measurement("R", W, s.R, 1e-3, 20.0, "u").checked("m1")]
        parameters = [Thickness(1), Dispersion("SiO2", "A"), Dispersion("N-BK7", "scale")]
        analytic = _Problem(d, ms, parameters, eng, "auto", True)
        assert np.allclose(analytic.model(analytic.x0, False)[0], np.concatenate([s.T, s.R]), rtol=0, atol=1e-12)
        assert analytic.numeric_rows == [2]
        x = np.array(analytic.x0) * 1.001
        J, numeric = analytic.jacobian(x), _Problem(d, ms, parameters, eng, "auto", False).jacobian(x)
        np.testing.assert_allclose(J, numeric, rtol=1e-5, atol=1e-6 * np.abs(numeric).max())


class TestMaterialModels:
    @pytest.mark.parametrize("material, terms", [
        (Material.constant(2.1, 0.01, name="H"), {"n": 2.1, "k": 0.01}),
        (Material.cauchy(1.5, 0.004, 1e-4, 0.002, name="c"), {"A": 1.5, "B": 0.004, "C": 1e-4, "k": 0.002}),
        (Material.cauchy(1.5, 0.004, urbach=(0.01, 3.5, 0.3), name="u"), {"A": 1.5, "B": 0.004, "C": 0.0}),
        (Material.sellmeier([1.03961212, 0.231792344, 1.01046945], [0.00600069867, 0.0200179144, 103.560653],
                            name="glass"),
         {"B1": 1.03961212, "C1": 0.00600069867, "B2": 0.231792344, "C2": 0.0200179144,
          "B3": 1.01046945, "C3": 103.560653, "k": 0.0}),
        (Material.sellmeier([1.1], [0.01], k=0.003, name="s").extrapolated(), {"B1": 1.1, "C1": 0.01, "k": 0.003}),
    ])
    def test_terms_rebuild_the_material(self, material, terms):
        """A material's terms as its definition gives them, a material
        rebuilt from them the same one, another value a changed one."""
        from sardune.fitting import model_terms, with_terms
        assert model_terms(sardune.N_BK7) == {"scale": 1.0}  # a library material's data: only scaled
        got = model_terms(material)
        assert got == {**terms, "scale": 1.0}
        w = np.linspace(400.0, 900.0, 11)
        same = with_terms(material, terms)
        assert np.array_equal(same(w), material(w)) and same.name == material.name
        assert same.extrapolate == material.extrapolate and same.wavelength_range == material.wavelength_range
        first = next(iter(terms))
        moved = with_terms(material, {**terms, first: terms[first] * 1.1 + 0.01})
        assert not np.array_equal(moved(w), material(w))
        scaled = with_terms(material, {"scale": 1.02})
        assert np.allclose(scaled.nk(w)[0], 1.02 * material.nk(w)[0], rtol=1e-15) and scaled.definition is None


class TestRecovery:
    def test_film_on_silicon_uncertainties_cover_the_truth(self, eng):
        """200 noise draws: each parameter's true value within 2 sigma in at
        least 90 % of them (95 % expected; uncertainties half as large as
        they should be give about 68 %), and within 1 sigma in about 68 %
        (uncertainties twice as large give 95 %)."""
        truth = Design([(film(), 250.0)], substrate=SI)
        w = np.linspace(420.0, 780.0, 12)
        exact = ellipsometry(truth, w, (65.0, 70.0, 75.0), eng)
        start = Design([(film(1.455, 0.0033), 245.0)], substrate=SI)
        parameters = [Thickness(0), Dispersion("SiO2", "A"), Dispersion("SiO2", "B")]
        rng = np.random.default_rng(20240611)
        inside, near, chi = np.zeros(3), np.zeros(3), []
        draws = 200
        for _ in range(draws):
            noisy = [m._replace(values=m.values + rng.normal(0, m.sigma, w.size)) for m in exact]
            r = fit(start, noisy, parameters, engine=eng, ftol=1e-8, xtol=1e-8)
            inside += np.abs(r.values - [250.0, 1.46, 0.0035]) <= 2 * r.errors
            near += np.abs(r.values - [250.0, 1.46, 0.0035]) <= r.errors
            chi.append(r.reduced_chi2)
        assert np.all(inside >= 0.9 * draws), inside
        assert np.all((near >= 0.58 * draws) & (near <= 0.78 * draws)), near
        assert 0.85 < np.mean(chi) < 1.15
        assert r.derivatives == {"layers[0].thickness": "analytic", "SiO2.A": "analytic", "SiO2.B": "analytic"}

    def test_filter_layer_errors_from_its_transmittance(self, eng):
        nominal = Design.quarter_wave([(2.35 if j % 2 == 0 else 1.46, m) for j, m in
                                       enumerate([1, 1, 1, 1, 2, 1, 1, 1, 1, 2, 1, 1])], reference=600.0)
        rng = np.random.default_rng(4)
        errors = rng.uniform(-0.04, 0.04, 12)
        made = nominal.with_thicknesses(nominal.thicknesses * (1 + errors))
        w = np.linspace(400.0, 1000.0, 301)
        T = made.spectrum(w, engine=eng).T + rng.normal(0, 1e-3, w.size)
        r = fit(nominal, Measurement("T", w, T, 1e-3), [Thickness(k) for k in range(12)], engine=eng)
        found = r.values / nominal.thicknesses - 1
        assert np.all(np.abs(r.values - made.thicknesses) < 3 * r.errors), (r.values - made.thicknesses) / r.errors
        assert np.max(np.abs(found - errors)) < 0.012 and np.max(np.abs(errors)) > 0.03
        assert np.allclose(r.design.thicknesses, r.values) and r.success and 0.8 < r.reduced_chi2 < 1.2

    def test_tie_and_shift(self, eng):
        nominal = quarter_wave_stack(9)
        made = nominal.with_thicknesses(nominal.thicknesses * np.where(np.arange(9) % 2 == 0, 1.02, 0.99))
        w = np.linspace(420.0, 780.0, 181)
        shifted = made.spectrum(w + 0.7, engine=eng).R  # recorded at w, taken at w + 0.7
        r = fit(nominal, Measurement("R", w, shifted, 1e-4), [Tie([0, 2, 4, 6, 8]), Tie([1, 3, 5, 7]), Shift()],
                engine=eng)
        assert np.allclose(r.values, [0.02, -0.01, 0.7], rtol=0, atol=1e-6)
        assert r.derivatives["shift"] == "finite differences" and r.derivatives["tie(0, 2, 4, 6, 8)"] == "analytic"
        np.testing.assert_allclose(r.design.thicknesses, made.thicknesses, rtol=1e-6)

    def test_an_undetermined_parameter_shows_as_correlated(self, eng):
        """Two layers of one material side by side: the data fix their sum only."""
        split = Design([(2.35, 60.0), (1.46, 50.0), (1.46, 44.0), (2.35, 60.0)], substrate=1.52)
        w = np.linspace(420.0, 780.0, 61)
        R = split.with_thicknesses([61.0, 48.0, 47.0, 59.0]).spectrum(w, engine=eng).R
        r = fit(split, Measurement("R", w, R, 1e-3), [Thickness(k) for k in range(4)], engine=eng)
        assert r.correlation[1, 2] < -0.99
        assert r.errors[1] > 100 * r.errors[0]
        assert abs(r.values[1] + r.values[2] - 95.0) < 1e-3  # what the data do fix
        assert len(r.warnings) == 1 and "layers[1].thickness and layers[2].thickness" in r.warnings[0]

    def test_finite_differences_agree_and_progress_sees_each_step(self, eng):
        truth = Design([(film(), 250.0)], substrate=SI)
        ms = ellipsometry(truth, W, (65.0, 75.0), eng, np.random.default_rng(3))
        start = Design([(film(1.45, 0.003), 240.0)], substrate=SI)
        parameters = [Thickness(0), Dispersion("SiO2", "A"), Dispersion("SiO2", "B")]
        seen = []
        a = fit(start, ms, parameters, engine=eng, progress=lambda i, chi2, x: seen.append((i, chi2, x)))
        b = fit(start, ms, parameters, engine=eng, jacobian="2-point")
        np.testing.assert_allclose(a.values, b.values, rtol=1e-6)
        np.testing.assert_allclose(a.errors, b.errors, rtol=1e-3)
        assert set(b.derivatives.values()) == {"finite differences"} and b.jacobians == 0
        assert [i for i, _, _ in seen] == list(range(a.jacobians))
        assert seen[0][1] > seen[-1][1] and np.array_equal(seen[0][2], [240.0, 1.45, 0.003])

        def stop(i, chi2, x):
            raise KeyboardInterrupt
        with pytest.raises(KeyboardInterrupt):
            fit(start, ms, parameters, engine=eng, progress=stop)

    def test_figure(self, eng, tmp_path):
        truth = Design([(film(), 250.0)], substrate=SI)
        ms = ellipsometry(truth, W, (70.0,), eng) + [Measurement("R", W, truth.spectrum(W, engine=eng).R, 1e-3)]
        r = fit(truth, ms, [Thickness(0)], engine=eng)
        path = tmp_path / "fit.png"
        r.plot(str(path))
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


class TestBadInput:
    D = Design([(film(), 100.0), (2.0, 50.0)], substrate=SI)
    M = [Measurement("R", W, np.full(W.size, 0.1), 0.01)]

    @pytest.mark.parametrize("parameters, error, message", [
        ([], ValueError, "parameters: expected at least one"),
        ([Thickness(2)], ValueError, r"parameters\[0\]: layer 2 is not among the design's 2 layers"),
        ([Thickness(0), Thickness(0)], ValueError, r"parameters\[1\]: layers\[0\].thickness is given twice"),
        ([Thickness(0), Tie([0, 1])], ValueError, r"parameters\[1\]: layer 0 is varied by parameters\[0\] too"),
        ([Thickness(0, 200.0, 300.0)], ValueError, r"parameters\[0\]: layers\[0\].thickness starts at 100"),
        ([Dispersion("TiO2", "A")], ValueError, r"parameters\[0\].material: no layer or medium of the design is 'TiO2'"),
        ([Dispersion("SiO2", "B1")], ValueError, r"parameters\[0\].term: 'SiO2' \(cauchy\) has the terms A, B, C, k, scale"),
        ([Dispersion("SiO2", "A"), Dispersion("SiO2", "scale")], ValueError, "'scale' is fitted alone"),
        ([Shift(), Shift()], ValueError, "the shift is given twice"),
        (["thickness"], TypeError, r"parameters\[0\]: expected Thickness, Tie, Dispersion or Shift"),
    ])
    def test_parameters(self, eng, parameters, error, message):
        with pytest.raises(error, match=message):
            fit(self.D, self.M, parameters, engine=eng)

    def test_measurements_and_options(self, eng):
        with pytest.raises(TypeError, match="measurements: expected a Measurement, a measurement file or a sequence"):
            fit(self.D, 3.0, [Thickness(0)], engine=eng)
        with pytest.raises(TypeError, match=r"measurements\[1\]: expected a Measurement or a measurement file"):
            fit(self.D, [self.M[0], (1, 2)], [Thickness(0)], engine=eng)
        with pytest.raises(ValueError, match=r"measurements\[0\].angle: expected degrees in \[0, 90\)"):
            fit(self.D, [self.M[0]._replace(angle=90.0)], [Thickness(0)], engine=eng)
        with pytest.raises(MeasurementFileError, match="cannot be read"):
            fit(self.D, "/nonexistent/m.csv", [Thickness(0)], engine=eng)
        with pytest.raises(ValueError, match=r"measurements\[0\].quantity"):
            fit(self.D, [Measurement("X", W, W, 1.0)], [Thickness(0)], engine=eng)
        with pytest.raises(ValueError, match=r"measurements\[0\].sigma: expected uncertainties > 0"):
            fit(self.D, [Measurement("R", W, W, 0.0)], [Thickness(0)], engine=eng)
        with pytest.raises(ValueError, match=r"measurements\[0\].values: expected 25 values"):
            fit(self.D, [Measurement("R", W, W[:3], 1.0)], [Thickness(0)], engine=eng)
        with pytest.raises(ValueError, match="measurements: 2 values cannot determine 2 parameters"):
            fit(self.D, [Measurement("R", W[:2], [0.1, 0.1], 0.01)], [Thickness(0), Thickness(1)], engine=eng)
        with pytest.raises(ValueError, match="jacobian: expected"):
            fit(self.D, self.M, [Thickness(0)], jacobian="exact", engine=eng)
        opaque = Design([(Material.constant(2.0, 5.0, name="metal"), 5e4)], substrate=1.52)
        with pytest.raises(sardune.NonFiniteResult, match=r"fit: the model of measurements\[0\] \(T@0/s\) is not "
                                                          r"finite at 420 nm for layers\[0\].thickness = 50000"):
            with warnings.catch_warnings():
                warnings.simplefilter("error")  # and no numpy warning on the way
                fit(opaque, [Measurement("T", W, np.zeros(W.size), 0.01)], [Thickness(0)], engine=eng)
        thick = Design(self.D.layers, substrate=1.52, substrate_thickness=1e6)
        with pytest.raises(ValueError, match="ellipsometry is defined for a semi-infinite substrate only"):
            fit(thick, ellipsometry(self.D, W, [70.0], eng), [Thickness(0)], engine=eng)


class TestFiles:
    def test_round_trip_and_settings(self, eng, tmp_path):
        ms = ellipsometry(Design([(film(), 250.0)], substrate=SI), W, (65.0, 70.0), eng)
        path = tmp_path / "film.csv"
        write_measurements(path, ms)
        back = read_measurements(path)
        assert [m.label for m in back] == ["psi@65", "delta@65", "psi@70", "delta@70"]
        for a, b in zip((m.checked("m") for m in ms), back):
            assert np.array_equal(a.values, b.values) and np.array_equal(a.sigma, b.sigma) and a.angle == b.angle
        r = fit(Design([(film(1.45, 0.003), 240.0)], substrate=SI), str(path),
                [Thickness(0), Dispersion("SiO2", "A"), Dispersion("SiO2", "B")], engine=eng)
        assert np.allclose(r.values, [250.0, 1.46, 0.0035], rtol=1e-6)

        settings = tmp_path / "t.txt"
        settings.write_text("# transmittance of a sample\nangle: 45  # degrees\npol: p\nsigma: 0.002\n"
                            "wavelength T T@10/s sigma(T@10/s)\n500 0.9 0.8 0.01\n600 0.91 0.81 0.01\n")
        t45, t10 = read_measurements(settings)
        assert (t45.angle, t45.pol, t10.angle, t10.pol) == (45.0, "p", 10.0, "s")
        assert np.array_equal(t45.sigma, [0.002, 0.002]) and np.array_equal(t10.sigma, [0.01, 0.01])
        assert read_measurements(settings, angle=30.0)[0].angle == 30.0

    @pytest.mark.parametrize("text, where, problem", [
        ("wavelength, R\n500, 0.1\n", ":1:2", "R: no column sigma(R) and no sigma setting"),
        ("sigma: 0.1\nwavelength, R\n500, 0.1\n600, x\n", ":4:2", "R: 'x' is not a number"),
        ("sigma: 0.1\nwavelength, R\n500, 0.1\n600\n", ":4", "expected 2 fields as the header (line 2), got 1"),
        ("sigma: 0.1\nwavelength, R, Q\n500, 0.1, 2\n", ":2:3", "'Q' is not a column name"),
        ("sigma: 0.1\nwavelength, R, R\n500, 0.1, 2\n", ":2:3", "R: the column is named twice"),
        ("wavelength, R, sigma(T)\n500, 0.1, 2\n", ":1:3", "sigma(T): no value column 'T'"),
        ("wavelength, R, sigma(R)\n500, 0.1, 0\n", ":2:3", "sigma(R): expected an uncertainty > 0"),
        ("sigma: 0.1\nwavelength, psi/s\n500, 10\n", ":2:2", "psi/s: psi and delta take both polarisations"),
        ("sigma: 0.1\nwavelength, R@95\n500, 10\n", ":2:2", "R@95: expected an angle in degrees in [0, 90)"),
        ("angle: 10\nangle: 20\nwavelength, R\n", ":2", "angle: given twice"),
        ("pol: x\nwavelength, R\n", ":1", "pol: expected s, p or u"),
        ("lambda, R\n500, 0.1\n", ":1:1", "expected the header to start with 'wavelength'"),
        ("sigma: 0.1\nwavelength, R\n-5, 0.1\n", ":3:1", "wavelength: expected a value > 0 nm"),
        ("sigma: 0.1\nwavelength, R\n500, nan\n", ":3:2", "R: 'nan' is not finite"),
        ("# nothing\n", "", "has no header line"),
    ])
    def test_bad_files_name_file_line_and_column(self, tmp_path, text, where, problem):
        path = tmp_path / "m.csv"
        path.write_text(text)
        with pytest.raises(MeasurementFileError) as e:
            read_measurements(path)
        assert str(e.value).startswith(f"{path}{where}: {problem}")
        assert e.value.path == str(path)
