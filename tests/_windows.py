"""Real viewer windows in tests: a display (Xvfb when none is set) and a grabber
that closes each window shortly after it opens, keeping the scene it showed."""
import os
import shutil
import subprocess

import pytest


@pytest.fixture(scope="session")
def x_display():
    """A usable X display for the session; starts Xvfb when DISPLAY is unset."""
    if os.environ.get("DISPLAY"):
        yield os.environ["DISPLAY"]
        return
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        pytest.skip("no DISPLAY and no Xvfb to provide one (install the xvfb package)")
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(
        [xvfb, "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as fh:
        number = fh.readline().strip()  # Xvfb writes the display number once it is ready
    if not number:
        proc.kill()
        pytest.skip("Xvfb did not start")
    os.environ["DISPLAY"] = ":" + number
    try:
        yield os.environ["DISPLAY"]
    finally:
        del os.environ["DISPLAY"]
        proc.terminate()
        proc.wait(timeout=10)


class WindowGrabber:
    """While active, every pyglet window is closed on the second clock tick after
    it appears (so it has been created and drawn), and its scene is kept."""

    def __init__(self):
        import pyglet
        self._pyglet = pyglet
        self.scenes = []
        self.windows = []
        self._seen = set()

    def _tick(self, dt):
        for w in list(self._pyglet.app.windows):
            if id(w) in self._seen:
                self.windows.append(w)
                self.scenes.append(w.scene)
                w.close()
            else:
                self._seen.add(id(w))

    def __enter__(self):
        self._pyglet.clock.schedule_interval(self._tick, 0.05)
        return self

    def __exit__(self, *exc):
        self._pyglet.clock.unschedule(self._tick)
        for w in list(self._pyglet.app.windows):
            w.close()


def nodes(scene):
    """{node name: (4x4 transform, RGBA of the first face)} of a trimesh scene."""
    out = {}
    for name in scene.graph.nodes_geometry:
        T, geom = scene.graph[name]
        out[name] = (T, scene.geometry[geom].visual.face_colors[0].tolist())
    return out


def drop_display(monkeypatch):
    """Make the process look like it runs on a machine without a display."""
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
