"""The interface around the program's run: errors as exceptions with the
program's messages, initial states from arrays, fields that are copies,
Ctrl-C between two steps."""
import os
import signal
import threading

import numpy as np
import pytest

import vdwflow
from conftest import parameter_file, small

SMALL = {"nodes_x": 16, "nodes_y": 12}


@pytest.mark.parametrize("make, error, message", [
    (lambda d: vdwflow.Simulation({"init": "circle"}), ValueError,
     "parameters: -hinit circle is not one of noise, slab, drop, bubble, file"),
    (lambda d: vdwflow.Simulation({"init_radus": 3}), ValueError,
     "unknown key -hinit_radus (did you mean -hinit_radius?)"),
    (lambda d: vdwflow.Simulation({"tau": -1}), ValueError,
     "parameters: -htau -1 is not a positive finite number"),
    (lambda d: vdwflow.Simulation(parameter_file(d, {"-hnodes_x": "8 -hnodes_y"})), ValueError,
     "a key without its value"),
    (lambda d: vdwflow.Simulation({"solid_file": "missing.npy"}), OSError,
     "missing.npy: No such file or directory"),
    (lambda d: vdwflow.Simulation(os.path.join(d, "missing.input")), OSError, "missing.input"),
    (lambda d: vdwflow.Simulation(SMALL, density=np.ones((3, 4))), ValueError,
     "density: shape (3, 4) does not match the lattice (nodes_y, nodes_x) = (12, 16)"),
    (lambda d: vdwflow.Simulation(SMALL, density=np.full((12, 16), np.nan)), ValueError,
     "is not a finite number"),
    (lambda d: vdwflow.Simulation(dict(SMALL, init="drop", init_radius=3),
                                  density=np.ones((12, 16))), ValueError,
     "density= sets the initial state: leave out -hinit, -hinit_radius"),
    (lambda d: vdwflow.Simulation(SMALL, velocity=np.full((12, 16, 2), 2.0)), ValueError,
     "is not below the speed of sound"),
    (lambda d: vdwflow.Simulation.from_checkpoint(os.path.join(d, "none.checkpoint")), OSError,
     "none.checkpoint"),
    (lambda d: vdwflow.Simulation(SMALL, folder=os.path.join(d, "file", "sub")) if
     open(os.path.join(d, "file"), "w").close() is None else None, OSError, "file"),
    (lambda d: vdwflow.Simulation(SMALL).step(2.5), TypeError, "count=2.5: a whole number"),
    (lambda d: vdwflow.Simulation(SMALL).run(until=True), TypeError, "not a boolean"),
    (lambda d: vdwflow.Simulation(SMALL, solid=np.ones((12, 16))), ValueError,
     "solid: every node is solid"),
    (lambda d: vdwflow.Simulation(SMALL, solid=np.zeros((16, 12))), ValueError,
     "solid: shape (16, 12) does not match the lattice (nodes_y, nodes_x) = (12, 16)"),
    (lambda d: vdwflow.Simulation(dict(SMALL, walls="y", gravity_y=1e300)), ValueError,
     "|g| must stay below"),
    (lambda d: vdwflow.Simulation(dict(SMALL, walls="y", wall_wetting=1.0)), ValueError,
     "no contact angle exists beyond"),
])
def test_errors_carry_the_program_s_messages(tmp_path, make, error, message):
    with pytest.raises(error) as caught:
        make(str(tmp_path))
    assert message in str(caught.value)


def test_a_run_that_blows_up_raises_with_its_step_and_a_refused_resume_says_why(tmp_path):
    with vdwflow.Simulation({"nodes_x": 16, "nodes_y": 16, "kappa": 3e-3}) as sim:
        with pytest.raises(RuntimeError, match=r"the run became unstable at iteration \d+: "
                                               r"total density is not finite"):
            sim.run(until=20000, every=500)
        sim2 = vdwflow.Simulation(SMALL)
        sim2.save_checkpoint(tmp_path / "c")
    with pytest.raises(ValueError, match="-hnodes_x is 16 there and 20 in parameters"):
        vdwflow.Simulation.from_checkpoint(tmp_path / "c", dict(SMALL, nodes_x=20))
    sim2.close()
    with pytest.raises(RuntimeError, match="closed"):
        sim2.step()


def test_initial_states_from_arrays(tmp_path, program):
    # A density from an array is the run of the same density from a file.
    y, x = np.mgrid[0:24, 0:32]
    start = 1.0 + 0.6 * np.tanh(6.0 - np.hypot(x - 16, y - 12))
    np.save(tmp_path / "start.npy", start)
    keys = {k.lstrip("-h") if k != "-hRTzero" else "RTzero": v for k, v in small().items()}
    by_file = vdwflow.Simulation(dict(keys, init="file", init_file=str(tmp_path / "start.npy")))
    by_array = vdwflow.Simulation(keys, density=start)
    np.testing.assert_array_equal(by_array.density, start)
    by_file.step(30)
    by_array.step(30)
    np.testing.assert_array_equal(by_array.density, by_file.density)

    # A uniform fluid moving uniformly stays so; the momentum is kept.
    u0 = np.zeros((24, 32, 2))
    u0[..., 0], u0[..., 1] = 0.02, -0.01
    with vdwflow.Simulation(keys, density=np.full((24, 32), 1.3), velocity=u0) as moving:
        moving.step(50)
        np.testing.assert_allclose(moving.velocity, u0, rtol=0, atol=1e-6)
        np.testing.assert_allclose(moving.density, 1.3, rtol=1e-9)


def test_a_solid_array_is_the_mask_file(tmp_path):
    y, x = np.mgrid[0:24, 0:32]
    disc = np.hypot(x - 16, y - 12) < 5
    np.save(tmp_path / "disc.npy", disc)
    keys = {k.lstrip("-h") if k != "-hRTzero" else "RTzero": v for k, v in small().items()}
    keys.update(wall_wetting=5e-4, gravity_x=0.01)
    by_file = vdwflow.Simulation(dict(keys, solid_file=str(tmp_path / "disc.npy")))
    by_array = vdwflow.Simulation(keys, solid=disc)
    by_file.step(40)
    by_array.step(40)
    np.testing.assert_array_equal(by_array.density, by_file.density)
    assert np.all(by_array.density[disc] == 0)


def test_two_simulations_step_at_once_each_as_alone():
    # Different lattices and physics in two threads at the same time: each
    # ends where it ends alone (nothing is shared but the device's turns).
    setups = [dict(nodes_x=48, nodes_y=32, init="drop", init_radius=8, scheme="lax_wendroff"),
              dict(nodes_x=40, nodes_y=40, walls="y", wall_wetting=6e-4, gravity_y=-0.02,
                   temperature=0.85)]
    alone = []
    for keys in setups:
        with vdwflow.Simulation(keys) as sim:
            sim.step(1500)
            alone.append(sim.density)
    sims = [vdwflow.Simulation(keys) for keys in setups]
    threads = [threading.Thread(target=sim.step, args=(1500,)) for sim in sims]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for sim, expected in zip(sims, alone):
        assert sim.step_count == 1500
        np.testing.assert_array_equal(sim.density, expected)
        sim.close()


def test_fields_are_copies_of_the_snapshot_s_values():
    with vdwflow.Simulation(dict(SMALL, init="drop", init_radius=4)) as sim:
        sim.step(5)
        density, velocity, pressure = sim.density, sim.velocity, sim.pressure
        assert density.shape == (12, 16) and velocity.shape == (12, 16, 2)
        assert pressure.shape == (12, 16)
        assert sim.total_density == pytest.approx(density.sum(), rel=1e-14)
        before = density.copy()
        sim.step(5)
        np.testing.assert_array_equal(density, before)  # not a view of the state
        assert not np.array_equal(sim.density, before)
        assert sim.step_count == 10 and sim.time == pytest.approx(10 * 1e-4)


def test_ctrl_c_ends_a_step_between_two_steps_with_the_state_whole():
    keys = {"nodes_x": 128, "nodes_y": 128}
    with vdwflow.Simulation(keys) as sim:
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            sim.step(1_000_000)
        timer.join()
        stopped = sim.step_count
        assert 0 < stopped < 1_000_000
        sim.step(20)
        interrupted = sim.density
    with vdwflow.Simulation(keys) as straight:
        straight.step(stopped + 20)
        np.testing.assert_array_equal(straight.density, interrupted)
