"""Colour: the CIE tables' checks (perfect reflector, white points, the
published CIEDE2000 pairs), a single-layer antireflection coating against
sums written out from the tables, and colour targets' slopes against finite
differences."""

import os

import numpy as np
import pytest

import sardune
from sardune import Design
from sardune.colour import (DATA, ILLUMINANTS, ColourTarget, chroma_hue, ciede2000, delta_e_ab, display_rgb,
                            observation, spectrum_colour)
from sardune.targets import Targets
from support import LOSSLESS


def read(name):
    return np.loadtxt(os.path.join(DATA, name), delimiter=",", skiprows=1)


class TestTables:
    @pytest.mark.parametrize("observer", [2, 10])
    @pytest.mark.parametrize("illuminant", ILLUMINANTS)
    def test_perfect_reflector_is_the_white(self, illuminant, observer):
        seen = observation(illuminant=illuminant, observer=observer)
        c = spectrum_colour(np.ones(seen.wavelengths.size), seen)
        assert c.XYZ[1] == pytest.approx(100.0, abs=1e-12)
        assert np.allclose(c.Lab, [100.0, 0.0, 0.0], rtol=0, atol=1e-12)
        assert c.C == pytest.approx(0.0, abs=1e-12)

    @pytest.mark.parametrize("illuminant, xy", [("D65", (0.31272, 0.32903)), ("A", (0.44758, 0.40745)),
                                                ("C", (0.31006, 0.31616))])
    def test_white_points(self, illuminant, xy):
        c = spectrum_colour(np.ones(81), observation(illuminant=illuminant))
        assert np.allclose(c.xy, xy, rtol=0, atol=5e-6)

    def test_ciede2000_published_pairs(self):
        pairs = read("ciede2000_pairs.csv")
        assert pairs.shape == (33, 7)
        assert np.allclose(ciede2000(pairs[:, :3], pairs[:, 3:6]), pairs[:, 6], rtol=0, atol=1e-4)
        assert np.allclose(ciede2000(pairs[:, 3:6], pairs[:, :3]), pairs[:, 6], rtol=0, atol=1e-4)
        assert np.all(ciede2000(pairs[:, :3], pairs[:, :3]) == 0)

    def test_dark_greys_on_the_linear_part(self):
        seen = observation(illuminant="D50")
        c = spectrum_colour(np.array([[0.005], [0.5]]) * np.ones(81), seen)
        assert np.allclose(c.Lab[0], [24389 / 27 * 0.005, 0, 0], atol=1e-12)  # below (6/29)^3 of the white
        assert np.allclose(c.Lab[1], [116 * 0.5 ** (1 / 3) - 16, 0, 0], atol=1e-12)
        assert np.allclose(c.xy, c.xy[0], atol=1e-15)

    def test_differences_chroma_and_hue(self):
        assert delta_e_ab([50, 3, 4], [50, 0, 0]) == pytest.approx(5.0)
        C, h = chroma_hue(np.array([[50, 0, 2.0], [50, -1.0, 0], [50, 0, -3.0]]))
        assert np.allclose(C, [2, 1, 3]) and np.allclose(h, [90, 180, 270])

    def test_illuminants_given_as_spectra(self):
        w = np.arange(400.0, 701.0, 10.0)
        by_name = observation(w, illuminant="E")
        assert np.allclose(observation(w, illuminant=np.ones(w.size)).weights, by_name.weights, rtol=1e-12)
        pair = observation(w, illuminant=(np.array([300.0, 900.0]), np.array([5.0, 5.0])))
        assert np.allclose(pair.weights, by_name.weights, rtol=1e-12) and pair.illuminant == "given"
        uneven = np.array([380.0, 400.0, 405.0, 500.0, 600.0, 780.0])
        assert observation(uneven).white[1] == pytest.approx(100.0)

    def test_refusals_name_the_argument(self):
        for kw, match in (({"illuminant": "D75"}, "illuminant"), ({"observer": 5}, "observer"),
                          ({"illuminant": np.ones(3)}, "illuminant"), ({"illuminant": -np.ones(81)}, "illuminant")):
            with pytest.raises(ValueError, match=match):
                observation(**kw)
        with pytest.raises(ValueError, match="wavelengths"):
            observation(np.array([350.0, 400.0]))
        with pytest.raises(ValueError, match="FL2 covers 380-780"):
            observation(np.array([370.0, 400.0]), illuminant="FL2")

    def test_display_colours(self):
        seen = observation()
        assert np.allclose(display_rgb(seen.white, seen.white), 1.0, atol=1e-3)
        red = display_rgb(np.array([41.24, 21.26, 1.93]), seen.white)
        assert red[0] > 0.99 and red[1] < 0.01 and red[2] < 0.01
        assert display_rgb(np.array([4.124, 2.126, 0.193]), seen.white, bright=True)[0] == pytest.approx(1.0)


def single_layer_R(w, n, d, ns, angle):
    """R (s) of one layer on a substrate in the textbook form r = (r1 + r2 e^{-2i delta}) / (1 + r1 r2 e^{-2i delta})."""
    x = np.sin(np.radians(angle))
    q0, q1, qs = np.cos(np.radians(angle)), np.sqrt(n * n - x * x), np.sqrt(ns * ns - x * x)
    r1, r2 = (q0 - q1) / (q0 + q1), (q1 - qs) / (q1 + qs)
    e = np.exp(-2j * (2 * np.pi / w) * d * q1)
    return np.abs((r1 + r2 * e) / (1 + r1 * r2 * e)) ** 2


def lab_by_hand(R, illuminant, observer):
    """L*a*b* written out from the CSV tables at 380-780 nm by 5 nm."""
    cmf = read({2: "cie1931_2deg_xyz.csv", 10: "cie1964_10deg_xyz.csv"}[observer])
    S = read(f"illuminant_{illuminant}.csv")
    cmf = cmf[(cmf[:, 0] >= 380) & (cmf[:, 0] <= 780) & (cmf[:, 0] % 5 == 0)]
    S = S[(S[:, 0] >= 380) & (S[:, 0] <= 780)][:, 1]
    k = 100 / np.sum(S * cmf[:, 2])
    XYZ = k * np.array([np.sum(S * R * cmf[:, i]) for i in (1, 2, 3)])
    white = k * np.array([np.sum(S * cmf[:, i]) for i in (1, 2, 3)])
    f = [v ** (1 / 3) if v > 216 / 24389 else (24389 / 27 * v + 16) / 116 for v in XYZ / white]
    return XYZ, np.array([116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])])


class TestDesignColour:
    @pytest.mark.parametrize("illuminant, observer", [("D65", 2), ("A", 10), ("FL11", 2)])
    def test_single_layer_antireflection(self, eng, illuminant, observer):
        ar = Design([(1.38, 550.0 / 4 / 1.38)], substrate=1.52)
        c = ar.colour(illuminant=illuminant, observer=observer, angle=[0.0, 40.0], engine=eng)
        w = np.arange(380.0, 781.0, 5.0)
        for i, angle in enumerate((0.0, 40.0)):
            XYZ, Lab = lab_by_hand(single_layer_R(w, 1.38, 550.0 / 4 / 1.38, 1.52, angle), illuminant, observer)
            assert np.allclose(c.R.XYZ[i], XYZ, rtol=1e-12) and np.allclose(c.R.Lab[i], Lab, rtol=0, atol=1e-10)
        assert c.R.Lab[0, 1] > 0 and c.R.Lab[0, 2] < 0  # the familiar purple of a quarter-wave MgF2 coating
        assert np.allclose(c.R.XYZ + c.T.XYZ, c.R.XYZ[0] + c.T.XYZ[0], rtol=1e-12)  # lossless: R + T = 1

    def test_grey_substrate_and_shapes(self, eng):
        bare = Design([], substrate=1.52)
        c = bare.colour(pol="u", angle=[0.0, 30.0], engine=eng)
        assert np.allclose(c.R.xy, c.T.xy) and np.allclose(c.R.Lab[:, 1:], 0, atol=1e-9)
        assert c.R.XYZ.shape == (2, 3) and c.R.h.shape == (2,) and c.wavelengths.size == 81
        thick = Design([], substrate=1.52, substrate_thickness=1e6)
        assert thick.colour(engine=eng).R.XYZ[1] > bare.colour(engine=eng).R.XYZ[1]  # both faces reflect


QUANTITIES = ["L*", "a*", "b*", "C*", "x", "y", "Y"]


class TestColourTargets:
    @pytest.mark.parametrize("of", ["R", "T"])
    def test_slopes_against_finite_differences(self, eng, of):
        rows = Targets([ColourTarget(q, of, angle=30.0, pol="u", value=1.0, tolerance=0.5, weight=2.0,
                                     illuminant="A", observer=10) for q in QUANTITIES])
        g = rows.groups[0]
        s = LOSSLESS.sensitivities(g.wavelengths, angle=30.0, pol="u", engine=eng)
        J = rows.slopes([(s.R, s.T)], [(s.dR, s.dT)])
        h, fd = 1e-4, []
        for k in range(len(LOSSLESS)):
            up, down = (LOSSLESS.with_thickness(k, LOSSLESS.layers[k].thickness + e)
                        .spectrum(g.wavelengths, angle=30.0, pol="u", engine=eng) for e in (h, -h))
            fd.append((rows.residuals([(up.R, up.T)]) - rows.residuals([(down.R, down.T)])) / (2 * h))
        fd = np.array(fd).T
        assert J.shape == (len(QUANTITIES), len(LOSSLESS))
        assert np.allclose(J, fd, rtol=1e-6, atol=1e-7 * np.abs(fd).max())

    def test_residuals_and_one_sided_rows(self, eng):
        c = LOSSLESS.colour(engine=eng).R
        rows = Targets([ColourTarget("L*", value=10.0, tolerance=2.0, weight=4.0),
                        ColourTarget("a*", value=c.Lab[1] + 1, kind="below"),
                        ColourTarget("y", value=c.xy[1] + 0.01, kind="above", tolerance=0.01)])
        s = LOSSLESS.sensitivities(rows.groups[0].wavelengths, engine=eng)
        r = rows.residuals([(s.R, s.T)])
        assert np.allclose(r, [2 * (c.Lab[0] - 10) / 2, 0.0, -1.0])
        assert np.all(rows.slopes([(s.R, s.T)], [(s.dR, s.dT)])[1] == 0)

    def test_refine_steers_the_colour(self, eng):
        start = Design([(2.1, 30.0), (1.46, 40.0), (2.1, 100.0), (1.38, 90.0)], substrate=1.52)
        goal = [ColourTarget("a*", value=0.0, tolerance=0.1), ColourTarget("b*", value=-2.0, tolerance=0.1),
                ColourTarget("L*", value=10.0, tolerance=0.1)]
        done = start.refine(goal, engine=eng)
        Lab = done.design.colour(engine=eng).R.Lab
        assert np.allclose(Lab, [10.0, 0.0, -2.0], atol=1e-6) and done.merit_end < 1e-12

    def test_refusals_name_the_row(self):
        for row, match in ((ColourTarget("h"), r"targets\[0\].quantity"), (ColourTarget("L*", of="A"), "of"),
                           (ColourTarget("L*", tolerance=0), "tolerance"), (ColourTarget("L*", kind="x"), "kind"),
                           (ColourTarget("L*", illuminant="D75"), r"targets\[0\].illuminant"),
                           (ColourTarget("L*", angle=90), "angle")):
            with pytest.raises(ValueError, match=match):
                Targets([row])
