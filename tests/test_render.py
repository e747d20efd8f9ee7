"""cellpath-render: the pictures of a cache, and the 3-D page tested in a real headless browser."""
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

pytest.importorskip("matplotlib")
pytest.importorskip("plotly")

import Pelmora  # noqa: E402
from cellpath_cli import html_view, render  # noqa: E402
from cellpath_cli.scene import CacheScene, waypoint_rows  # noqa: E402
from synthetic_cache import COLLIDING_Q  # noqa: E402

WAYPOINTS = np.array([np.zeros(6), [0.5, -0.4, 0.3, 0.2, 0.1, 0.0], np.zeros(6)])


@pytest.fixture
def planned(make_cache):
    """A cache with waypoints and a trajectory through them (straight joint-space legs)."""
    cache = make_cache(waypoints=WAYPOINTS)
    legs = [np.linspace(a, b, 20, endpoint=False) for a, b in zip(WAYPOINTS[:-1], WAYPOINTS[1:])]
    np.save(cache.path / "JointAnglesToTravelAlong.npy", np.concatenate(legs + [WAYPOINTS[-1:]]))
    return cache


def test_waypoint_rows_follow_the_trajectory_in_order():
    traj = np.concatenate([np.linspace(WAYPOINTS[0], WAYPOINTS[1], 5), np.linspace(WAYPOINTS[1], WAYPOINTS[2], 4)])
    # The first and last waypoints are the same pose: the last is found at the end, not at row 0.
    assert waypoint_rows(traj, WAYPOINTS) == [0, 4, 8]
    assert waypoint_rows(traj[:0], WAYPOINTS) == []


def test_the_tool_path_follows_the_tool_frame(planned):
    scene = CacheScene(planned.path)
    q = WAYPOINTS[1]
    last = planned.link_transforms(q)[-1]
    assert np.allclose(scene.tool_path([q])[0], last[:3, 3])
    tool = np.eye(4)
    tool[:3, 3] = (0.0, 0.0, 0.12)
    np.save(planned.path / "ToolTransform.npy", tool)
    assert np.allclose(CacheScene(planned.path).tool_path([q])[0], (last @ tool)[:3, 3])
    np.save(planned.path / "ToolTransform.npy", np.eye(3))
    with pytest.raises(ValueError, match=r"finite \(4, 4\) pose"):
        CacheScene(planned.path)


def test_render_writes_every_picture_of_a_cache(planned, tmp_path):
    t = np.linspace(0, 1, 5)
    np.savez(planned.path / "TimedTrajectory.npz", t=t, q=np.zeros((5, 6)), qd=np.zeros((5, 6)), qdd=np.zeros((5, 6)))
    lines = []
    files = render.render(planned.path, tmp_path / "out", gif=True, html=True, frames=4, say=lines.append)
    assert sorted(p.name for p in files.values()) == ["animation.gif", "joint_angles.png", "plan.html",
                                                     "timing.png", "workcell.png"]
    assert all(p.stat().st_size > 1000 for p in files.values())
    assert any(line.startswith("exact check of the 41 rows shown: none in collision  (") for line in lines)

    # Without a trajectory the waypoints are shown instead, and said so.
    (planned.path / "JointAnglesToTravelAlong.npy").unlink()
    (planned.path / "TimedTrajectory.npz").unlink()
    lines = []
    files = render.render(planned.path, tmp_path / "wp", say=lines.append)
    assert sorted(files) == ["joint angles", "workcell"]
    assert lines[0].endswith("holds no planned trajectory (Brimwell plans one): showing the waypoints")


def test_render_command(planned, tmp_path, capsys):
    assert render.main([str(planned.path), "--out", str(tmp_path / "o")]) == 0
    assert (tmp_path / "o" / "workcell.png").is_file() and not (tmp_path / "o" / "plan.html").exists()
    # The default folder sits beside the cache.
    assert render.main([str(planned.path)]) == 0
    assert (planned.path.parent / f"{planned.path.name}-pictures" / "joint_angles.png").is_file()
    capsys.readouterr()
    assert render.main([str(tmp_path / "none")]) == 1
    assert capsys.readouterr().err == f"cellpath-render: error: {tmp_path / 'none'} is not a capture cache: " \
        "cellpath-urdf makes one from a URDF, the capture in the CAD host from a design; name the cache " \
        "with --cache-dir DIR or CELLPATH_CACHE_DIR (no meta.json)\n"
    assert render.main([str(planned.path), "--frames", "1"]) == 1
    assert capsys.readouterr().err == "cellpath-render: error: --frames must be 2 or more, got 1 " \
                                      "(see cellpath-render --help)\n"


def page_data(html):
    """The frames' names and the title, read back from the page."""
    names = re.findall(r'"name":\s*"(\d+)",\s*"data"', html)
    title = re.search(r'"title":\s*\{"text":\s*"([^"]*)"', html).group(1)
    return names, title


def test_the_page_is_self_contained_and_marks_colliding_rows(planned, tmp_path):
    scene = CacheScene(planned.path)
    traj = np.linspace(np.zeros(6), COLLIDING_Q, 9)
    hits = render.colliding_links(planned.path, traj, range(9))
    exact = Pelmora.Pelmora(planned.path).query_trajectory(traj)
    assert sorted(hits) == [row for row, _ in exact] and hits[8] == {"Link3", "Link4"}
    out = html_view.plan_page(scene, traj, tmp_path / "p.html", waypoint_rows=[0, 8], colliding=hits)
    html = out.read_text()
    # plotly.js itself is inside; no script is loaded from elsewhere (the browser test opens
    # the page with the network cut off).
    assert len(html) > 1_000_000 and not re.search(r'<script[^>]+src=', html)
    names, title = page_data(html)
    assert names == [str(r) for r in range(9)]
    assert title == f"{planned.path.name}: 9 configurations, {len(hits)} in collision (red)"
    # The links in contact are red in their frames (and the colliding rows' markers).
    assert html.count(html_view.HIT_COLOR) == sum(map(len, hits.values())) + 1
    # Obstacles are grey, one trace each: red means a collision and nothing else.
    r, g, b = map(int, re.findall(r"\d+", html_view.ENV_COLOR))
    assert max(r, g, b) - min(r, g, b) < 20 and html.count(html_view.ENV_COLOR) == len(scene.env_meshes)


def test_shown_rows_keep_waypoints_and_colliding_rows():
    rows = html_view.shown_rows(1000, waypoint_rows=[0, 333, 999], colliding_rows=[500, 501], limit=10)
    assert {0, 333, 999, 500, 501} <= set(rows) and len(rows) <= 15
    assert html_view.shown_rows(0) == []


# ----------------------------------------------------------------- in a browser

CHROMIUM = next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))), None)


def browser_env():
    """The environment without the sanitizer runtimes that `make sanitize` preloads into
    Python: they are not meant for the browser."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def screenshot(page, png, step=None):
    """The page as headless chromium draws it (WebGL in software), offline: every request
    goes to a proxy that is not there."""
    url = page.as_uri() + (f"#step={step}" if step is not None else "")
    subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--use-gl=swiftshader",
                    "--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>",
                    "--enable-unsafe-swiftshader", "--hide-scrollbars", "--window-size=1000,760",
                    "--virtual-time-budget=20000", f"--screenshot={png}", url],
                   check=True, capture_output=True, timeout=180, env=browser_env())
    from PIL import Image
    return np.asarray(Image.open(png).convert("RGB")).astype(int)


def arm_pixels(rgb):
    """Where the picture shows the arm's blue (shaded by the page's lighting)."""
    r, g, b = rgb[..., 0], rgb[..., 1], rgb[..., 2]
    return (b > 120) & (b - r > 50) & (b - g > 20)


@pytest.mark.skipif(CHROMIUM is None, reason="no chromium to open the page in (.ci/run installs it)")
def test_the_page_shows_the_arm_and_the_slider_moves_it(planned, tmp_path):
    page = render.render(planned.path, tmp_path, html=True, say=lambda line: None)["3-D page"]
    first = arm_pixels(screenshot(page, tmp_path / "first.png"))
    assert first.sum() > 500, "the arm is not in the picture"
    names, _ = page_data(page.read_text())
    later = arm_pixels(screenshot(page, tmp_path / "later.png", step=names.index("20")))
    assert later.sum() > 500
    # Row 20 is the second waypoint, far from the start: the arm is elsewhere in the picture.
    moved = (first ^ later).sum()
    assert moved > 0.3 * first.sum(), moved
