#!/usr/bin/python3
"""The fluid's theory (vdw_theory.py) against its reference values, and the
drop, bubble and contact-angle analyses of campaign collect on synthetic
fields whose radius, densities and angle are known."""
import math
import os
import subprocess
import sys
import unittest

import numpy as np

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
sys.path.insert(0, SCRIPTS)
import campaign_results as results  # noqa: E402
import vdw_theory  # noqa: E402

KAPPA = 1e-4
FLUID = vdw_theory.Fluid(0.9)
VAPOUR, LIQUID = FLUID.coexistence()
W = FLUID.interface_width(KAPPA) * 128                 # tanh width, nodes
WIDTH = 2 * math.atanh(0.8) * W                        # its 10-90 % width


def tanh_shape(shape, distance, radius, inside, outside):
    """A field that is inside within radius of the distance given, outside
    beyond, with the tanh interface of width W between."""
    return outside + (inside - outside) * 0.5 * (1 - np.tanh((distance - radius) / W))


class Theory(unittest.TestCase):
    def test_coexistence_width_and_tension_of_the_flat_interface(self):
        # Equal pressure and potential from next to Tc down to a vapour of
        # next to nothing, and the pair at T/Tc 0.9.
        for t in (0.99999, 0.95, 0.9, 0.8, 0.6, 0.1):
            with self.subTest(t=t):
                fluid = vdw_theory.Fluid(t)
                vapour, liquid = fluid.coexistence()
                self.assertLess(vapour, 1)
                self.assertGreater(liquid, 1)
                self.assertAlmostEqual(fluid.pressure(vapour), fluid.pressure(liquid), delta=1e-12)
                self.assertAlmostEqual(fluid.potential(vapour), fluid.potential(liquid),
                                       delta=1e-12)
        self.assertAlmostEqual(VAPOUR, 0.4257416377, delta=1e-9)
        self.assertAlmostEqual(LIQUID, 1.6572702120, delta=1e-9)
        self.assertAlmostEqual(FLUID.surface_tension(KAPPA), 0.001759, delta=5e-7)
        # Both grow as sqrt(kappa Tc) resp. sqrt(kappa / Tc): kappa and the
        # energy scale enter where they should.
        self.assertAlmostEqual(FLUID.surface_tension(4 * KAPPA), 2 * FLUID.surface_tension(KAPPA),
                               delta=1e-12)
        cold = vdw_theory.Fluid(0.9, 0.5)
        self.assertAlmostEqual(cold.interface_width(KAPPA),
                               math.sqrt(2) * FLUID.interface_width(KAPPA), delta=1e-12)
        with self.assertRaises(vdw_theory.TheoryError):
            vdw_theory.Fluid(1.05).coexistence()

    def test_young_angles_of_the_wall_and_back(self):
        reference = [(-1.2e-3, 144.9), (-8e-4, 123.5), (-4e-4, 106.2), (0.0, 90.0),
                     (4e-4, 73.7), (8e-4, 55.9), (1.2e-3, 33.4)]
        for h_w, angle in reference:
            with self.subTest(h_w=h_w):
                found = FLUID.young_angle(h_w, KAPPA)
                self.assertAlmostEqual(found, angle, delta=0.1)
                self.assertAlmostEqual(FLUID.wetting_for_angle(found, KAPPA), h_w, delta=1e-9)
        # Past the ends of Young's range the wall is covered by the other phase.
        self.assertEqual(FLUID.young_angle(1.5e-3, KAPPA), 0.0)
        self.assertEqual(FLUID.young_angle(-1.5e-3, KAPPA), 180.0)
        self.assertEqual(FLUID.young_angle(5e-3, KAPPA), 0.0)
        # With the energy scale Tc the angle depends on h_w / sqrt(kappa Tc).
        self.assertAlmostEqual(vdw_theory.Fluid(0.9, 0.5).young_angle(8e-4, KAPPA),
                               FLUID.young_angle(8e-4 / math.sqrt(0.5), KAPPA), delta=1e-9)

    def test_the_command_line(self):
        def run(*args):
            return subprocess.run([os.path.join(SCRIPTS, "vdw_theory.py"), *args],
                                  capture_output=True, text=True, timeout=60)
        angle = run("wetting", "0.9", "--kappa", "1e-4", "--wetting", "-1.2e-3")
        self.assertEqual(angle.returncode, 0, angle.stderr)
        self.assertIn("144.92 degrees", angle.stdout)
        wetting = run("wetting", "0.9", "--kappa", "1e-4", "--angle", "55.9")
        self.assertRegex(wetting.stdout, r"wall wetting h_w\s+0.00080")
        coexistence = run("coexistence", "0.9")
        self.assertIn("surface tension       0.00175", coexistence.stdout)
        for args in (("coexistence", "1.1"), ("wetting", "0.9", "--kappa", "1e-4",
                                              "--angle", "180")):
            refused = run(*args)
            self.assertEqual(refused.returncode, 2)
            self.assertEqual(len(refused.stderr.splitlines()), 1, refused.stderr)


class Laplace(unittest.TestCase):
    def test_drops_and_bubbles_give_their_densities_radius_and_jump(self):
        # A tanh disc's inside phase covers pi (R^2 + pi^2 W^2 / 12): the
        # equimolar radius lies outside the mid-density circle.
        cases = [("drop", 20, (63.5, 63.5), LIQUID, VAPOUR),
                 ("bubble", 24, (3.0, 120.0), VAPOUR, LIQUID),  # across the periodic edges
                 ("drop", 28, (100.0, 10.0), LIQUID * 1.01, VAPOUR * 1.02)]
        y, x = np.mgrid[:128, :128]
        for shape, radius, (x0, y0), inside, outside in cases:
            with self.subTest(shape=shape, radius=radius):
                dx = (x - x0 + 64) % 128 - 64
                dy = (y - y0 + 64) % 128 - 64
                field = tanh_shape((128, 128), np.hypot(dx, dy), radius, inside, outside)
                found = results.laplace(field, shape == "drop", FLUID, WIDTH)
                self.assertAlmostEqual(found["inside_density"], inside, delta=2e-4)
                self.assertAlmostEqual(found["outside_density"], outside, delta=2e-4)
                equimolar = math.sqrt(radius**2 + math.pi**2 * W**2 / 12)
                self.assertAlmostEqual(found["radius_nodes"], equimolar, delta=0.02)
                self.assertAlmostEqual(found["radius"], found["radius_nodes"] / 128)
                self.assertAlmostEqual(found["pressure_jump"], FLUID.pressure(inside) -
                                       FLUID.pressure(outside), delta=5e-4)
                self.assertTrue(found["bulk_inside"])

    def test_a_small_drop_or_a_lost_one_is_told(self):
        y, x = np.mgrid[:128, :128]
        small = tanh_shape((128, 128), np.hypot(x - 64, y - 64), 10, LIQUID, VAPOUR)
        self.assertFalse(results.laplace(small, True, FLUID, WIDTH)["bulk_inside"])
        values = {"hinit": "bubble", "htemperature": "0.9", "hkappa": "1e-4"}
        for field, said in ((np.full((128, 128), 1.6), "one phase left"),
                            (small * np.nan, "not finite"), (None, "no snapshot")):
            words, found = results.analyse_shape(("laplace", "bubble"), field, values)
            self.assertEqual(words, f"bubble (not analysed: {said})")
            self.assertEqual(found, {})
        words, found = results.analyse_shape(("laplace", "drop"), small, values)
        self.assertIn("no bulk, left out of the fit", words)
        self.assertTrue(found["unfitted"])


class ContactAngle(unittest.TestCase):
    def cap(self, angle, radius, x0, nx=128, ny=64):
        """A circle cut by the wall at y = -0.5 at the angle given, inside
        the liquid, centred at x0; a denser layer on the wall bends the
        contour next to it, which the fit must leave out."""
        y, x = np.mgrid[:ny, :nx]
        yc = -0.5 - radius * math.cos(math.radians(angle))
        dx = (x - x0 + nx / 2) % nx - nx / 2
        layer = 0.2 * np.exp(-(y + 0.5) / 0.8)
        return tanh_shape((ny, nx), np.hypot(dx, y - yc), radius, LIQUID, VAPOUR) + layer

    def test_circle_caps_give_their_angle_on_any_wall(self):
        cases = [(40, 50, 64.0, "bottom"), (90, 25, 64.0, "bottom"), (135, 18, 64.0, "bottom"),
                 (70, 30, 120.0, "bottom"),            # across the periodic edge
                 (60, 25, 50.0, "top"), (115, 20, 30.0, "left"), (90, 22, 40.0, "right")]
        for angle, radius, x0, wall in cases:
            with self.subTest(angle=angle, wall=wall):
                field = self.cap(angle, radius, x0)     # the drop on the bottom wall
                turned = {"bottom": field, "top": field[::-1], "left": field.T,
                          "right": field.T[:, ::-1]}[wall]
                # Turned back, as the analysis does for the wall given.
                found = results.contact_angle(results.orient(turned, wall), True, WIDTH)
                self.assertAlmostEqual(found["contact_angle"], angle, delta=0.5)
                self.assertAlmostEqual(found["circle_radius"], radius, delta=0.5)

    def test_the_wall_drop_row_beside_young(self):
        values = {"hinit": "drop", "hwalls": "y", "hinit_y": "-0.5", "hinit_radius": "20",
                  "hnodes_x": "128", "hnodes_y": "64", "htemperature": "0.9",
                  "hkappa": "1e-4", "hwall_wetting": "8e-4"}
        shape = results.shape_of(values)
        words, found = results.analyse_shape(shape, self.cap(56, 30, 64.0), values)
        self.assertEqual(words, "drop on the bottom wall")
        self.assertAlmostEqual(found["young_angle"], 55.9, delta=0.1)
        self.assertAlmostEqual(found["angle_difference"], found["contact_angle"] - 55.95,
                               delta=0.01)
        self.assertAlmostEqual(found["contact_angle"], 56, delta=0.5)


class Recognition(unittest.TestCase):
    def test_what_a_parameter_file_poses(self):
        lattice = {"hnodes_x": "128", "hnodes_y": "64", "hinit_radius": "20"}
        cases = [({"hinit": "drop"}, ("laplace", "drop")),
                 ({"hinit": "bubble", "hwalls": "none"}, ("laplace", "bubble")),
                 ({"hinit": "drop", "hwalls": "y", "hinit_y": "-0.5"}, ("wall", "bottom", True)),
                 ({"hinit": "drop", "hwalls": "xy", "hinit_y": "60"}, ("wall", "top", False)),
                 ({"hinit": "drop", "hwalls": "x", "hinit_x": "2"}, ("wall", "left", True)),
                 ({"hinit": "drop", "hwalls": "y"}, None),          # in the middle
                 ({"hinit": "bubble", "hwalls": "y", "hinit_y": "-0.5"}, None),
                 ({"hinit": "drop", "hsolid_file": "/m.pgm"}, None),
                 ({"hinit": "bubble", "hinit_pool": "40"}, None),
                 ({"hinit": "drop", "hgravity_y": "-0.1"}, None),
                 ({"hinit": "drop", "hgravity_y": "0"}, ("laplace", "drop")),
                 ({"hinit": "slab"}, None), ({}, None)]
        for values, expected in cases:
            with self.subTest(values=values):
                self.assertEqual(results.shape_of({**lattice, **values}), expected)


if __name__ == "__main__":
    unittest.main(verbosity=2)
