"""Fields through a stack: against a transfer-matrix product per depth and
the closed forms of a single interface and a quarter-wave mirror, the
boundary conditions at every interface, absorption against the per-layer
absorptance, peaks, and the admittance locus."""

import numpy as np
import pytest
from scipy.integrate import simpson

import sardune
from sardune import Design
from sardune.field import iso_reflectance_circle, reflection
from support import ABSORBING, LOSSLESS, field_numpy, quarter_wave_stack

W = np.array([430.0, 550.0, 690.0])
LOSSY = Design([(2.3 - 0.02j, 60.0), (1.45 - 0.001j, 110.0), (2.0 - 0.05j, 35.0), (1.38, 90.0)],
               substrate=1.52 - 0.002j)


@pytest.fixture(autouse=True)
def engine_ready(need):
    need("forward_backward")


class TestField:
    @pytest.mark.parametrize("design", [LOSSLESS, LOSSY], ids=["lossless", "absorbing"])
    @pytest.mark.parametrize("angle, pol", [(0.0, "s"), (50.0, "s"), (50.0, "p")])
    def test_matches_a_product_per_depth(self, eng, design, angle, pol):
        z = np.linspace(-200.0, 900.0, 257)
        f = design.field(W, depth=z, angle=angle, pol=pol, engine=eng)
        ref = field_numpy(design, W, z, angle, pol)
        assert np.allclose(f.E2, ref, rtol=1e-11, atol=1e-13)
        assert np.array_equal(f.depth, z) and f.E2.shape == (z.size, W.size)

    @pytest.mark.parametrize("pol", ["s", "p"])
    def test_single_interface_standing_wave(self, eng, pol):
        bare = Design([], substrate=1.52)
        z = np.linspace(-400.0, 0.0, 41)[:-1]
        f = bare.field(W, depth=z, angle=35.0, pol=pol, engine=eng)
        r = bare.spectrum(W, angle=35.0, pol=pol, engine=eng).r
        wave = r * np.exp(2j * (2 * np.pi / W) * np.cos(np.radians(35.0)) * z[:, None])
        if pol == "s":
            assert np.allclose(f.E2, np.abs(1 + wave) ** 2, rtol=1e-12)
            assert np.all(f.normal == 0)
        else:  # E along the surface from 1 + r, across it from 1 - r
            c, s = np.cos(np.radians(35.0)), np.sin(np.radians(35.0))
            assert np.allclose(f.tangential, c * c * np.abs(1 + wave) ** 2, rtol=1e-12)
            assert np.allclose(f.normal, s * s * np.abs(1 - wave) ** 2, rtol=1e-12)

    def test_boundary_conditions_at_every_interface(self, eng):
        # E along the layers is continuous, and so is the normal D = N^2 E_z
        f = ABSORBING.field(W, depth=np.array([0.0]), angle=40.0, pol="p", engine=eng)
        eps = 1e-7
        z = np.concatenate([f.interfaces - eps, f.interfaces + eps])
        g = ABSORBING.field(W, depth=z, angle=40.0, pol="p", engine=eng)
        K = len(ABSORBING)
        above, below = slice(0, K + 1), slice(K + 1, None)
        assert np.allclose(g.tangential[above], g.tangential[below], rtol=1e-6)
        assert np.all(g.layer[above] == np.arange(K + 1)) and np.all(g.layer[below] == np.arange(-1, K))
        D = np.abs(g.index ** 2) ** 2 * g.normal
        assert np.allclose(D[above], D[below], rtol=1e-6)
        assert not np.allclose(g.normal[above], g.normal[below], rtol=1e-3)  # E_z itself jumps

    @pytest.mark.parametrize("angle, pol", [(0.0, "s"), (45.0, "p"), ([10.0, 60.0], "u")])
    def test_absorption_integrates_to_the_layer_absorptance(self, eng, angle, pol):
        f = ABSORBING.field(W, depth=np.array([0.0]), angle=angle, pol=pol, engine=eng)
        absorbed = []
        for j in range(len(ABSORBING)):
            z = np.linspace(f.interfaces[j + 1], f.interfaces[j], 2001)
            z[-1] = np.nextafter(z[-1], -np.inf)  # the lower face belongs to the layer below
            g = ABSORBING.field(W, depth=z, angle=angle, pol=pol, engine=eng)
            absorbed.append(simpson(g.density, x=z, axis=-2))
        a = ABSORBING.absorptance(W, angle=angle, pol=pol)
        assert np.allclose(np.moveaxis(absorbed, 0, -2), a.layers, rtol=0, atol=1e-10)
        assert np.all(f.density[..., f.layer == len(ABSORBING), :] == 0)  # the lossless incident medium

    def test_quarter_wave_mirror_nodes_at_the_interfaces(self, eng):
        nH, nL, ns = 2.35, 1.46, 1.52
        mirror = quarter_wave_stack(9, nH, nL, substrate=ns)
        f = mirror.field(np.array([550.0]), depth=np.array([0.0]), engine=eng)
        T = mirror.spectrum(np.array([550.0]), engine=eng).T[0]
        Y = [ns]  # real admittances at the interfaces, from the substrate up
        for j in range(9):
            Y.append((nH if j % 2 == 0 else nL) ** 2 / Y[-1])
        eps = 0.5
        z = np.concatenate([f.interfaces, f.interfaces - eps, f.interfaces + eps])
        E2 = mirror.field(np.array([550.0]), depth=z, engine=eng).E2[:, 0].reshape(3, -1)
        # flux T = |E|^2 Y / n0 at each interface, all lossless
        assert np.allclose(E2[0], T / np.array(Y), rtol=1e-10)
        tops_of_H = np.arange(1, 10, 2)  # Y large: a node of the standing wave on each side
        assert np.all(E2[1, tops_of_H] > E2[0, tops_of_H]) and np.all(E2[2, tops_of_H] > E2[0, tops_of_H])
        tops_of_L = np.arange(2, 9, 2)  # Y small: an antinode
        assert np.all(E2[1, tops_of_L] < E2[0, tops_of_L]) and np.all(E2[2, tops_of_L] < E2[0, tops_of_L])
        assert E2[0, 9] < 1e-3  # the surface of a good mirror: nearly a node

    def test_peaks_are_the_largest_value_in_each_layer(self, eng):
        for angle, pol in ((0.0, "s"), (50.0, "u")):
            f = LOSSY.field(W, depth=np.array([0.0]), angle=angle, pol=pol, engine=eng)
            for j in range(len(LOSSY)):
                z = np.linspace(f.interfaces[j + 1], f.interfaces[j], 20001)
                z[-1] = np.nextafter(z[-1], -np.inf)
                fine = LOSSY.field(W, depth=z, angle=angle, pol=pol, engine=eng).E2.max(axis=0)
                assert np.all(f.peak[j] >= fine * (1 - 1e-12))
                assert np.allclose(f.peak[j], fine, rtol=1e-6)

    def test_angles_polarisations_and_grid(self, eng):
        f = LOSSY.field(W, angle=[0.0, 30.0], pol="u", engine=eng, batch=2)
        assert f.E2.shape == (2,) + f.depth.shape + W.shape and f.peak.shape == (2, len(LOSSY), W.size)
        s = LOSSY.field(W, angle=30.0, pol="s", engine=eng)
        p = LOSSY.field(W, angle=30.0, pol="p", engine=eng)
        assert np.allclose(f.E2[1], (s.E2 + p.E2) / 2, rtol=1e-13)
        assert np.allclose(f.E2[0], LOSSY.field(W, engine=eng).E2, rtol=1e-13)
        D = LOSSY.thicknesses.sum()
        assert f.depth[0] == -W.max() / 2 and f.depth[-1] == pytest.approx(D + W.max() / 2)
        assert np.diff(f.depth).max() <= W.min() / 100 * (1 + 1e-12)
        g = LOSSY.field(W, depth=2.5, margin=10.0, engine=eng)
        assert g.depth[0] == -10.0 and np.allclose(np.diff(g.depth), 2.5)
        n = g.index[:, 0]
        assert np.all(n[g.layer == -1] == LOSSY.substrate) and np.all(n[g.layer == len(LOSSY)] == 1.0)
        one = LOSSY.field(550.0, depth=2.5, margin=10.0, engine=eng)  # a number: no wavelength axis
        assert one.E2.shape == one.depth.shape and np.array_equal(one.E2, g.E2[:, 1])
        assert one.peak.shape == (len(LOSSY),) and one.index.shape == one.depth.shape

    def test_deep_in_a_metal_substrate(self, eng):
        metal = Design([(1.38, 100.0)], substrate=0.2 - 3.5j)
        f = metal.field(W, depth=np.array([-50.0, 100.0, 150.0, 1e5]), engine=eng)
        s = metal.spectrum(W, engine=eng)
        assert np.all(f.E2[-1] == 0) and np.all(f.E2[2] < f.E2[1]) and np.all(f.E2[1] > 0)
        assert np.allclose(f.E2[1], np.abs(s.t) ** 2, rtol=1e-12)  # t: the field at the substrate's face

    def test_refusals_name_the_argument(self, eng):
        for kw, match in (({"depth": -1.0}, "depth"), ({"depth": np.zeros((2, 2))}, "depth"),
                          ({"depth": 1e-6}, "depth"), ({"margin": -1.0}, "margin"), ({"pol": "x"}, "pol")):
            with pytest.raises(ValueError, match=match):
                LOSSY.field(W, engine=eng, **kw)
        thick = Design([(1.38, 100.0)], substrate=1.52, substrate_thickness=1e6)
        with pytest.raises(ValueError, match="substrate_thickness"):
            thick.field(W, engine=eng)
        with pytest.raises(ValueError, match="substrate_thickness"):
            thick.admittance_locus(W, engine=eng)
        with pytest.raises(ValueError, match="points_per_layer"):
            LOSSY.admittance_locus(W, points_per_layer=0, engine=eng)
        with pytest.raises(ValueError, match="pol"):
            LOSSY.admittance_locus(W, pol="u", engine=eng)


class TestAdmittanceLocus:
    def test_quarter_wave_ends_at_n2_over_y0_on_a_circle(self, eng):
        n, y0 = 2.1, 1.52
        layer = Design.quarter_wave([(n, 1.0)], reference=550.0, substrate=y0)
        loc = layer.admittance_locus(550.0, points_per_layer=50, engine=eng)
        Y = loc.Y
        assert Y[0] == y0 and Y[-1] == pytest.approx(n * n / y0, abs=1e-12)
        centre, radius = (y0 + n * n / y0) / 2, abs(n * n / y0 - y0) / 2
        assert np.allclose(np.abs(Y - centre), radius, rtol=0, atol=1e-12)
        assert np.all(Y[1:-1].imag > 0)  # a layer above the substrate's admittance turns clockwise from above

    def test_half_wave_returns_to_its_start(self, eng):
        base = Design([(1.38, 95.0)], substrate=1.52)
        half = Design([(1.38, 95.0)] + [(2.2, 550.0 / 4.4)], substrate=1.52)
        a = base.admittance_locus(np.array([550.0]), engine=eng).Y[-1]
        b = half.admittance_locus(np.array([550.0]), engine=eng)
        assert np.allclose(b.Y[-1], a, rtol=1e-12)
        assert not np.allclose(b.Y[b.boundaries[1] + 32], a, rtol=1e-2)

    @pytest.mark.parametrize("pol", ["s", "p"])
    def test_reflectance_from_the_end_point(self, eng, pol):
        loc = ABSORBING.admittance_locus(W, angle=[0.0, 55.0], pol=pol, points_per_layer=8, engine=eng)
        s = ABSORBING.spectrum(W, angle=[0.0, 55.0], pol=pol, engine=eng)
        r = reflection(loc.Y[:, -1], loc.incident[:, None])
        assert np.allclose(np.abs(r) ** 2, s.R, rtol=1e-12, atol=1e-15)
        assert np.allclose(r, s.r, rtol=1e-12, atol=1e-15)
        K = len(ABSORBING)
        assert loc.Y.shape == (2, 1 + 8 * K, W.size) and loc.boundaries[-1] == 8 * K
        assert loc.depth[0] == ABSORBING.thicknesses.sum() and loc.depth[-1] == 0.0
        assert np.all(np.diff(loc.depth) <= 0) and list(loc.layer[loc.boundaries[:-1] + 1]) == list(range(K))

    def test_iso_reflectance_circles(self):
        centre, radius = iso_reflectance_circle(1.0, np.array([0.04, 0.5]))
        for c, rad, R in zip(centre, radius, (0.04, 0.5)):
            Y = c + rad * np.exp(1j * np.linspace(0, 2 * np.pi, 9))
            assert np.allclose(np.abs(reflection(Y, 1.0)) ** 2, R, rtol=1e-12)
