"""The design as a user builds it: indices by value, name or Material,
their checks, the quarter-wave helper, repr, design files written and read
back, and the one calling convention of every computation."""

import inspect
import pickle
import re

import numpy as np
import pytest

import sardune
from sardune import Design, Layer, Material, MaterialError, NonFiniteResult
from sardune.files import design_text, number_text
from support import ABSORBING, LOSSLESS

W = np.linspace(420.0, 780.0, 19)


class TestIndices:
    def test_a_gain_medium_is_refused_wherever_an_index_enters(self):
        convention = r"positive imaginary part; indices are n - ik with extinction k >= 0"
        with pytest.raises(ValueError, match=r"^index: \(2.05\+0.01j\) has a " + convention):
            Layer(2.05 + 0.01j, 100.0)
        with pytest.raises(ValueError, match=r"^layers\[1\].index: .* has a " + convention):
            Design([(1.5, 10.0), (2.05 + 0.01j, 100.0)])
        for medium in ("substrate", "incident", "exit_medium"):
            with pytest.raises(ValueError, match=f"^{medium}: .* has a " + convention):
                Design([], substrate_thickness=1e6, **{medium: 1.5 + 1e-9j})
        for make in (lambda: Material.constant(2.05, -0.01, name="gain"),
                     lambda: Material.cauchy(2.0, k=-0.01, name="gain"),
                     lambda: Material.sellmeier([1.0], [0.01], k=-0.01, name="gain"),
                     lambda: Material.table([400, 800], [2.0, 2.0], [0.0, -0.01], name="gain")):
            with pytest.raises(ValueError, match="gain: k = -0.01 is negative; indices are n - ik"):
                make()
        # values known only where evaluated: named with their layer and wavelength
        lit = Design([(1.5, 10.0), Layer(lambda w: 2.0 + 1e-3j * (w > 600), 50.0)])
        with pytest.raises(ValueError, match=r"^layers\[1\].index: .* at 620 nm has a positive imaginary part"):
            lit.spectrum(W)
        with pytest.raises(MaterialError, match="k = -0.001 at 620 nm is negative"):
            Material("pumped", lambda w: (2.0 + 0 * w, -1e-3 * (w > 600)))(W)

    def test_indices_outside_their_bounds_are_refused(self):
        for bad in (0.0, -1.5, 101.0, complex(1.5, -101.0), float("nan"), float("inf")):
            with pytest.raises(ValueError, match="index: .* is outside 0 < n <= 100, 0 <= k <= 100"):
                Layer(bad, 10.0)
        with pytest.raises(ValueError, match="^incident: 0j is outside"):
            Design([], incident=0.0)
        with pytest.raises(ValueError, match=r"^substrate: .* at 420 nm is outside"):
            Design([], substrate=np.zeros(W.size)).spectrum(W)
        with pytest.raises(TypeError, match="^index: expected an index"):
            Layer(True, 10.0)

    def test_materials_by_name_wherever_an_index_is_accepted(self, eng, tmp_path):
        by_name = Design([("N-BK7", 120.0), Layer("fused_silica", 80.0)], substrate="N-BK7", incident=1.0)
        by_object = Design([(sardune.N_BK7, 120.0), (sardune.fused_silica, 80.0)], substrate=sardune.N_BK7)
        assert np.array_equal(by_name.spectrum(W).R, by_object.spectrum(W).R)
        assert by_name.substrate is sardune.N_BK7
        f = tmp_path / "one.design"
        f.write_text("1.38 0 100\n")
        read = sardune.read_design(str(f), substrate="N-BK7")
        assert read.substrate is sardune.N_BK7 and np.all(np.isfinite(read.spectrum(W).R))
        with pytest.raises(ValueError, match="^substrate: unknown material 'N-BK8'; built in: .*N-BK7, N-SF11"):
            Design([], substrate="N-BK8")

    def test_wavelengths_outside_a_material_s_data_are_refused_unless_asked(self):
        with pytest.raises(MaterialError, match=r"N-BK7 \(.*N-BK7.yml\): 100 nm is outside its data's range 300 to 2500 nm"):
            sardune.N_BK7(np.array([500.0, 100.0]))
        with pytest.raises(MaterialError, match=r"N-BK7 \(.*\): 250 nm is outside"):
            Design([], substrate="N-BK7").spectrum([250.0, 500.0])
        # asked: the formula as it stands
        glass = sardune.N_BK7.extrapolated()
        assert glass(np.array([250.0]))[0].real > sardune.N_BK7(np.array([300.0]))[0].real
        table = Material.table([400, 800], [2.0, 1.8], [0.01, 0.0], name="tab")
        with pytest.raises(MaterialError, match="tab: 900 nm is outside its data's range 400 to 800 nm"):
            table(900.0)
        assert table.extrapolated()(np.array([900.0]))[0] == 1.8


class TestNotFinite:
    def test_a_result_that_is_not_finite_is_named_and_no_warning_escapes(self, eng, recwarn):
        opaque = Design([(1.5 - 100j, 1e7)])
        with pytest.raises(NonFiniteResult, match="^spectrum: R is not finite at 550 nm") as e:
            opaque.spectrum([550.0, 600.0], engine=eng)
        assert e.value.wavelength == 550.0 and e.value.layer is None
        with pytest.raises(NonFiniteResult, match=r"^sensitivities: .* at 550 nm \(30 degrees, p\)"):
            opaque.sensitivities([550.0], angle=30.0, pol="p", engine=eng)
        with pytest.raises(NonFiniteResult, match="absorptance"):
            opaque.absorptance([550.0])
        with pytest.raises(NonFiniteResult, match="tolerance: R of run 0 is not finite at 550 nm"):
            opaque.tolerance([550.0], sardune.ErrorModel(thickness=1.0), 3, seed=1, engine=eng)
        assert not [w for w in recwarn if issubclass(w.category, RuntimeWarning)]
        assert isinstance(e.value, ArithmeticError) and isinstance(e.value, sardune.SarduneError)


class TestBuilding:
    def test_quarter_waves_at_an_angle(self, eng):
        # a quarter wave at the reference wavelength and angle has the matrix [[0, i/eta], [i eta, 0]]
        d = Design.quarter_wave([(2.35, 1), (1.46, 3), ("fused_silica", 2)], reference=633.0, angle=30.0)
        inc = sardune.incidence(1.0, 30.0)
        for layer, multiple in zip(d.layers, (1, 3, 2)):
            n = layer.index(np.array([633.0])) if callable(layer.index) else np.array([layer.index])
            eta = sardune.admittance(n, inc, "s")
            M = eng.calc_M([633.0], [layer.thickness], n[None], eta[None], x=inc.x)
            c = np.cos(multiple * np.pi / 2)
            assert np.allclose(M[0, 0], c, atol=1e-12) and np.allclose(M[1, 1], c, atol=1e-12)
        assert d.layers[0].thickness == pytest.approx(633.0 / (4 * np.sqrt(2.35 ** 2 - 0.25)), rel=1e-15)
        # at normal incidence the real part of the index: the built-in reflector
        assert np.array_equal(Design.quarter_wave([(2.35 - 0.0005j, 1)], reference=550.0).thicknesses,
                              sardune.default_design().thicknesses[:1])

    def test_repr_shows_what_the_design_is_made_of(self):
        d = Design([(2.35, 50.0), ("N-BK7", 10.0)], substrate=1.52 - 0.001j, substrate_thickness=1e6,
                   back_layers=[(1.38, 99.0)])
        assert repr(d) == ("Design([Layer(2.35, 50.0), Layer('N-BK7', 10.0)], substrate=(1.52-0.001j), incident=1.0, "
                           "substrate_thickness=1000000.0, back_layers=[Layer(1.38, 99.0)])")
        assert repr(LOSSLESS).startswith("Design([Layer(2.3, 60.0), Layer(1.38, 110.0)")

    def test_an_engine_pickles_as_its_library(self, eng):
        a, b = (pickle.loads(pickle.dumps(eng)) for _ in range(2))
        assert a is b and a.path == eng.path  # loaded once per process


class TestWriting:
    def test_numbers_as_the_spectrum_tool_writes_them(self):
        # the shortest round trip, fixed or scientific as std::to_chars picks
        cases = {100.0: "100", 1e5: "1e+05", 1e-4: "1e-04", 1e-5: "1e-05", 1.52: "1.52", 1.2e-4: "0.00012",
                 123456789012345680.0: "123456789012345680", 1e22: "1e+22", 0.0: "0", -2.5: "-2.5",
                 58.51063829787234: "58.51063829787234", 5e-324: "5e-324", 1234.5: "1234.5"}
        for v, text in cases.items():
            assert number_text(v) == text and float(text) == v

    def test_written_designs_read_back_as_the_same_design(self, eng, tmp_path):
        table = tmp_path / "t.tab"
        table.write_text("400 1.7 0.01\n800 1.6 0\n")
        m = tmp_path / "m.materials"
        m.write_text(f"material H cauchy 2.2 0.02 0.001 k 0.001\nmaterial L sellmeier 1.1 0.01 k 0.0001\n"
                     f"material T table {table.name}\n")
        src = tmp_path / "src.design"
        src.write_text("H 50\nL 80\nT 20\n1.9 0.01 30\nN-BK7 40\nincident 1.33\nsubstrate N-BK7\n"
                       "substrate_thickness 1.5\nexit 1 0\nback L 95\nback 2.1 0 45\n")
        d = sardune.read_design(str(src), materials=str(m))
        assert d.thick and d.substrate_thickness == 1.5e6 and len(d.back_layers) == 2
        out = tmp_path / "out" / "written.design"
        out.parent.mkdir()
        d.write(str(out))
        again = sardune.read_design(str(out))
        assert design_text(again) == out.read_text()
        for a, b in ((d, again),):
            s, t = a.spectrum(W, angle=20.0, pol="u"), b.spectrum(W, angle=20.0, pol="u")
            assert np.array_equal(s.R, t.R) and np.array_equal(s.T, t.T)
        lines = out.read_text().splitlines()
        assert lines[1:4] == ["material H cauchy 2.2 0.02 0.001 k 0.001", "material L sellmeier 1.1 0.01 k 1e-04",
                              f"material T table {table}"]
        assert lines[4:9] == ["incident 1.33", "substrate N-BK7", "substrate_thickness 1.5", "exit 1 0", "H 50"]
        assert lines[-2:] == ["back L 95", "back 2.1 0 45"]

    def test_what_has_no_design_file_form_is_named(self, tmp_path):
        for design, place in ((ABSORBING, "layers[0]"), (Design([(np.full(3, 1.5), 10.0)]), "layers[0]"),
                              (Design([], incident=1.0 - 0.1j), "incident"),
                              (Design([(Material("x", lambda w: (w * 0 + 2, w * 0)), 5.0)]), "layers[0]")):
            with pytest.raises(ValueError, match="^" + re.escape(place)):
                design.write(str(tmp_path / "x.design"))
        assert not (tmp_path / "x.design").exists()


def test_every_computation_takes_its_options_by_keyword_in_one_order():
    order = ["angle", "pol", "engine", "method", "batch", "progress"]
    for name in ("spectrum", "sensitivities", "absorptance", "phase", "ellipsometry", "prepare"):
        params = list(inspect.signature(getattr(Design, name)).parameters.values())
        assert [p.name for p in params[:2]] == ["self", "wavelengths"], name
        options = [p for p in params[2:]]
        assert all(p.kind is p.KEYWORD_ONLY for p in options), name
        named = [p.name for p in options if p.name in order]
        assert named == sorted(named, key=order.index), name
    with pytest.raises(TypeError):
        LOSSLESS.spectrum(W, 30.0)
    # the entry points on the default engine show their own signatures
    params = inspect.signature(sardune.calc_M).parameters
    assert list(params)[:4] == ["wavelengths", "thicknesses", "indices", "admittances"]
    assert params["x"].kind is inspect.Parameter.KEYWORD_ONLY
    assert "Stack matrix" in sardune.calc_M.__doc__
    assert not {"np", "List", "Optional", "Union"} & set(dir(sardune))
