"""Material models at known values, their domains, and the package's face:
version, names, signatures."""

import inspect
import os
import re

import numpy as np
import pytest

import sardune
from sardune import Material, MaterialError

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")


class TestModels:
    def test_built_in_glasses_at_the_d_line(self):
        assert sardune.fused_silica(587.6).real == pytest.approx(1.4585, abs=5e-5)
        assert sardune.N_BK7(587.6).real == pytest.approx(1.5168, abs=5e-5)
        assert sardune.BUILT_IN["N-BK7"] is sardune.N_BK7
        assert sardune.fused_silica(np.array([400.0, 700.0])).imag.tolist() == [0.0, 0.0]

    def test_cauchy_and_urbach(self):
        # at 500 nm, l^2 = 0.25 um^2: n = A + 4B + 16C
        m = Material.cauchy(1.45, 0.004, 0.0002, k=0.01)
        assert m(500.0) == pytest.approx(1.45 + 0.016 + 0.0032 - 0.01j, abs=1e-15)
        u = Material.cauchy(2.0, urbach=(0.05, 3.1, 0.2))
        at_E0 = 1239.8419843320026 / 3.1  # photon energy E0: k = K0
        assert u.nk(np.array([at_E0]))[1][0] == pytest.approx(0.05, rel=1e-14)
        assert u.nk(np.array([at_E0 * 3.1 / 2.9]))[1][0] == pytest.approx(0.05 * np.exp(-1.0), rel=1e-12)
        with pytest.raises(ValueError, match="urbach EU: expected a value > 0"):
            Material.cauchy(2.0, urbach=(0.05, 3.1, 0.0))

    def test_sellmeier_one_term(self):
        # n^2 = 1 + B l^2 / (l^2 - C): at 1000 nm with B = 1, C = 0.5: n^2 = 3
        assert Material.sellmeier([1.0], [0.5]).nk(np.array([1000.0]))[0][0] == pytest.approx(3 ** 0.5, rel=1e-15)
        with pytest.raises(MaterialError, match=r"sellmeier: n\^2 = .* at 600 nm is not positive"):
            Material.sellmeier([1.0], [0.5])(np.array([800.0, 600.0]))  # below the pole at 707 nm
        with pytest.raises(ValueError, match="B, C: expected one to six pairs"):
            Material.sellmeier([1.0] * 7, [0.1] * 7)

    def test_table_interpolates_and_names_its_range(self, tmp_path):
        f = tmp_path / "tio2.tab"
        f.write_text("# nm n k\n400 2.6 0.04\n600 2.3 0.0\n800 2.2 0\n")
        m = sardune.read_table(str(f))
        n, k = m.nk(np.array([400.0, 500.0, 700.0, 800.0]))
        assert np.allclose(n, [2.6, 2.45, 2.25, 2.2], rtol=0, atol=1e-15)
        assert np.allclose(k, [0.04, 0.02, 0.0, 0.0], rtol=0, atol=1e-15)
        with pytest.raises(MaterialError, match=re.escape(f"{f}: 350 nm is outside its data's range 400 to 800 nm")):
            m(np.array([350.0, 500.0]))
        with pytest.raises(MaterialError, match="800.5 nm is outside"):
            m(800.5)

    def test_values_out_of_bounds_name_material_and_wavelength(self):
        steep = Material.cauchy(1.0, 0.0, -0.01, name="steep")  # n falls to 0 at short wavelengths
        assert steep(600.0).real > 0
        with pytest.raises(MaterialError, match=r"steep: n = -.* at 300 nm is outside 0 < n <= 100"):
            steep(np.array([600.0, 300.0]))
        with pytest.raises(MaterialError, match="k = 150 at 500 nm"):
            Material("opaque", lambda w: (1.5 + 0 * w, 150.0 + 0 * w))(500.0)
        with pytest.raises(ValueError, match="k: opaque: expected 0 <= k <= 100, got 150"):
            Material.constant(1.5, 150.0, name="opaque")

    def test_a_material_is_a_layer_index(self, eng):
        w = np.linspace(450.0, 650.0, 5)
        by_material = sardune.Design([(sardune.N_BK7, 100.0)], substrate=sardune.fused_silica)
        by_array = sardune.Design([(sardune.N_BK7(w), 100.0)], substrate=sardune.fused_silica(w))
        assert np.array_equal(by_material.spectrum(w).R, by_array.spectrum(w).R)


class TestPackage:
    def test_version_is_the_headers(self):
        with open(os.path.join(ROOT, "engine", "include", "sardune.h")) as f:
            header = re.search(r'#define SARDUNE_VERSION "([^"]+)"', f.read()).group(1)
        assert sardune.__version__ == header

    def test_public_names(self):
        assert len(set(sardune.__all__)) == len(sardune.__all__)
        for name in sardune.__all__:
            assert hasattr(sardune, name), name
        assert sardune.SardunError is sardune.SarduneError
        assert issubclass(sardune.DesignFileError, sardune.SarduneError)
        assert issubclass(sardune.DesignFileError, ValueError)

    def test_module_functions_show_their_real_signatures(self):
        for name in ("init", "calc_M", "forward", "forward_backward", "update_top_props",
                     "update_optiprops_real_n", "update_optiprops_real_n_simd", "matmul_22X", "calc_v_t_tau"):
            module = inspect.signature(getattr(sardune, name))
            method = inspect.signature(getattr(sardune.Engine, name))
            assert "self" not in module.parameters, name
            assert list(module.parameters) == list(method.parameters)[1:], name
            assert module.return_annotation is not inspect.Signature.empty, name

    def test_public_functions_have_type_hints(self):
        for name in sardune.__all__:
            f = getattr(sardune, name)
            if inspect.isfunction(f):
                hints = inspect.signature(f)
                assert hints.return_annotation is not inspect.Signature.empty, name
                for p in hints.parameters.values():
                    assert p.annotation is not inspect.Parameter.empty, (name, p.name)
