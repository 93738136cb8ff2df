"""A live picture of a running simulation: its density, and its velocity as
arrows, redrawn every few steps while the run goes on."""
import numpy as np


def _in_notebook():
    try:
        from IPython import get_ipython
    except ImportError:
        return False
    shell = get_ipython()
    return shell is not None and "IPKernelApp" in getattr(shell, "config", {})


class _Picture:
    """The figure and what is redrawn in it."""

    def __init__(self, sim, arrows, vmin, vmax):
        import matplotlib.pyplot as plt

        self.plt = plt
        self.fig, self.ax = plt.subplots(figsize=(6.4, 6.4 * sim.nodes_y / sim.nodes_x + 0.6))
        density = sim.density
        self.image = self.ax.imshow(density, origin="lower", cmap="viridis",
                                    vmin=vmin if vmin is not None else density.min(),
                                    vmax=vmax if vmax is not None else density.max())
        self.fig.colorbar(self.image, ax=self.ax, shrink=0.8, label="density n / n_c")
        self.ax.set_xlabel("x (nodes)")
        self.ax.set_ylabel("y (nodes)")
        self.quiver = None
        if arrows:
            # about `arrows` arrows along the longer side
            self.stride = max(1, max(sim.nodes_x, sim.nodes_y) // int(arrows))
            ys, xs = np.mgrid[self.stride // 2:sim.nodes_y:self.stride,
                              self.stride // 2:sim.nodes_x:self.stride]
            self.xs, self.ys = xs, ys
            u = sim.velocity[ys, xs]
            # (the longest arrow one stride long, set per frame: matplotlib's
            # own scale fails on a fluid at rest)
            self.quiver = self.ax.quiver(xs, ys, u[..., 0], u[..., 1], color="white",
                                         angles="xy", scale_units="xy", scale=1.0,
                                         pivot="middle")
        self.fixed_range = vmin is not None and vmax is not None
        self.handle = None
        self.notebook = _in_notebook()
        self.update(sim)
        if self.notebook:
            from IPython.display import display

            self.handle = display(self.fig, display_id=True)
        elif plt.get_backend().lower() not in ("agg", "pdf", "svg", "ps", "cairo", "template"):
            plt.ion()
            plt.show(block=False)

    def update(self, sim):
        density = sim.density
        self.image.set_data(density)
        if not self.fixed_range:
            self.image.set_clim(density.min(), density.max())
        speed = ""
        if self.quiver is not None:
            u = sim.velocity
            largest = np.sqrt((u ** 2).sum(axis=2)).max()
            self.quiver.scale = max(largest, 1e-300) / self.stride
            self.quiver.set_UVC(u[self.ys, self.xs, 0], u[self.ys, self.xs, 1])
            speed = f", largest |u| {largest:.3g}"
        self.ax.set_title(f"step {sim.step_count}, t = {sim.time:.4g}: density "
                          f"{density.min():.4f} .. {density.max():.4f}{speed}", fontsize=10)
        if self.handle is not None:
            self.handle.update(self.fig)
        else:
            self.fig.canvas.draw_idle()
            self.fig.canvas.flush_events()


def show(sim, until, every=1000, arrows=24, vmin=None, vmax=None, callback=None):
    """Runs `sim` on to step `until`, redrawing a matplotlib figure of its
    density (and velocity arrows: about `arrows` along the longer side; 0 for
    none) every `every` steps: in a notebook the figure under the cell, in a
    terminal a window (any interactive matplotlib backend), with a
    non-interactive backend (Agg) a figure to save. `vmin`, `vmax` fix the
    colour scale (default: each frame's range). callback(sim) runs after each
    frame; returning True ends the run, as Simulation.run's. Ctrl-C stops it
    between two steps with the state whole. Returns the figure.

    A frame copies the density and velocity out and redraws: at 256 x 256
    nodes about 40 ms here, against 1 000 steps' 0.8 s (docs/performance.md)."""
    picture = _Picture(sim, arrows, vmin, vmax)

    def frame(s):
        picture.update(s)
        return callback(s) if callback is not None else None

    try:
        sim.run(until, every=every, callback=frame)
    finally:
        if picture.notebook:
            # (shown already, under the cell: the inline backend would show it
            # once more at the cell's end)
            picture.plt.close(picture.fig)
    return picture.fig
