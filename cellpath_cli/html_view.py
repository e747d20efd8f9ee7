"""A plan in 3-D in one self-contained HTML file: the obstacles, the arm and the planned tool
path, with orbit and zoom, and a slider and a play button along the trajectory; the
colliding rows (if any) marked on the path and their links drawn in red.

Built on plotly: one Mesh3d per environment body and per link, one animation frame per
shown row (the links' vertices move, everything else stays), plotly's JavaScript inlined so
that the page opens offline and fetches nothing.  The figure is written as plain data, its
arrays in plotly.js's typed-array form (base64 of the raw values): a hundred frames of a
real arm's meshes pass through plotly's per-object checks far too slowly otherwise.
"""
from __future__ import annotations

import base64
from pathlib import Path

import numpy as np
import plotly.io

from cellpath_cli import runs
from cellpath_cli.progress import progress
from cellpath_cli.scene import CacheScene, budgets, thinned

LINK_COLOR = "rgb(100,150,230)"
BASE_COLOR = "rgb(90,90,102)"
HIT_COLOR = "rgb(220,60,60)"
# Obstacles in a neutral stone grey: red is kept for what collides.
ENV_COLOR = "rgb(168,166,158)"
PATH_COLOR = "#1a7f37"
WAYPOINT_COLOR = "#d4a017"

# Triangle budgets: the arm's meshes are sent once per frame, so they are thinned to
# about this many triangles in all (the environment, sent once, to more).
ARM_TRIANGLES = 5000
ENV_TRIANGLES = 30000
MAX_FRAMES = 100

# The page's own hook: "#step=K" in the address runs the slider's step K as a click on the
# slider would (the page's tests move the arm this way in a headless browser).
STEP_HOOK = """
var gd = document.getElementById('{plot_id}');
function cellpathStep() {
  var m = /step=(\\d+)/.exec(window.location.hash);
  if (!m) return;
  var steps = gd.layout.sliders[0].steps, k = Math.min(parseInt(m[1]), steps.length - 1);
  Plotly[steps[k].method].apply(null, [gd].concat(steps[k].args)).then(function () {
    Plotly.relayout(gd, {'sliders[0].active': k});
  });
}
window.addEventListener('hashchange', cellpathStep);
cellpathStep();
"""


def typed(values, dtype):
    """An array in plotly.js's typed-array form."""
    a = np.ascontiguousarray(values, dtype=dtype)
    return {"dtype": a.dtype.str.lstrip("<|"), "bdata": base64.b64encode(a.tobytes()).decode("ascii")}


def _xyz(P):
    P = np.asarray(P, np.float32).reshape(-1, 3)
    return {"x": typed(P[:, 0], "<f4"), "y": typed(P[:, 1], "<f4"), "z": typed(P[:, 2], "<f4")}


def _mesh(V, F, color, name, opacity=1.0):
    F = np.asarray(F)
    return {"type": "mesh3d", **_xyz(V), "i": typed(F[:, 0], "<i4"), "j": typed(F[:, 1], "<i4"),
            "k": typed(F[:, 2], "<i4"), "color": color, "opacity": opacity, "name": name,
            "flatshading": True, "hoverinfo": "name", "showlegend": False,
            "lighting": {"ambient": 0.55, "diffuse": 0.7, "specular": 0.15}}


def _points(P, name, **style):
    return {"type": "scatter3d", **_xyz(P), "name": name, **style}


def camera_eye(scene: CacheScene) -> dict:
    """A three-quarter view from the side of the arm away from the obstacles, so that they
    do not hide it."""
    base = scene.home[0][:3, 3]
    if scene.env_meshes:
        centre = np.concatenate([V for _, V, _ in scene.env_meshes]).mean(axis=0)
        away = (base - centre)[:2]
    else:
        away = np.zeros(2)
    if np.linalg.norm(away) < 1e-6:
        away = np.array([1.0, -1.0])
    c, s = np.cos(np.radians(35)), np.sin(np.radians(35))
    x, y = 2.0 * np.array([[c, -s], [s, c]]) @ (away / np.linalg.norm(away))
    return {"x": float(x), "y": float(y), "z": 0.9}


def shown_rows(n_rows, waypoint_rows=(), colliding_rows=(), limit=MAX_FRAMES):
    """The rows that get a frame: evenly spread over the trajectory, every waypoint row, and
    the colliding rows (spread too when there are many)."""
    if n_rows == 0:
        return []
    rows = set(np.linspace(0, n_rows - 1, min(n_rows, limit)).round().astype(int).tolist())
    rows |= {int(r) for r in waypoint_rows}
    colliding = sorted(int(r) for r in colliding_rows)
    if len(colliding) > limit // 2:
        colliding = [colliding[i] for i in np.linspace(0, len(colliding) - 1, limit // 2).round().astype(int)]
    return sorted(rows | set(colliding))


def plan_page(scene: CacheScene, trajectory, out: Path, *, waypoint_rows=(), colliding=None,
              title=None, joint_names=None) -> Path:
    """Write the page of `trajectory` (N, n) through `scene` to `out`.

    colliding    {row: set of link names in contact} for the rows to mark (None or empty: none)
    joint_names  the joints' names, shown with their values when a waypoint is pointed at
                 (default J1..Jn)
    """
    trajectory = np.asarray(trajectory, dtype=float).reshape(-1, len(scene.link_names) - 1)
    colliding = dict(colliding or {})
    out = Path(out)
    rows = shown_rows(len(trajectory), waypoint_rows, colliding)

    env = [(name, V, F) for name, V, F in scene.env_meshes]
    env_budget = budgets([len(F) for _, _, F in env], ENV_TRIANGLES)
    arm_budget = budgets([len(F) for _, F in scene.link_meshes], ARM_TRIANGLES)
    links = [thinned(V, F, b) for (V, F), b in zip(scene.link_meshes, arm_budget)]

    data = [_mesh(*thinned(V, F, b), ENV_COLOR, f"env:{name}", opacity=0.45)
            for (name, V, F), b in zip(env, env_budget)]
    first_link = len(data)

    def link_traces(row, whole):
        """The links at `row`: whole meshes for the figure, only the moved vertices and the
        colour for a frame (a frame's trace is merged into the figure's)."""
        poses = scene.poses(trajectory[row])
        hit = colliding.get(row, set())
        traces = []
        for k, ((V, F), T, name) in enumerate(zip(links, poses, scene.link_names)):
            color = HIT_COLOR if name in hit else (BASE_COLOR if k == 0 else LINK_COLOR)
            W = np.asarray(V @ T[:3, :3].T + T[:3, 3], np.float32)
            traces.append(_mesh(W, F, color, f"link:{name}") if whole else
                          {"type": "mesh3d", **_xyz(W), "color": color})
        return traces

    start = rows[0] if rows else 0
    data += link_traces(start, True) if len(trajectory) else []
    path = scene.tool_path(trajectory)
    tool_trace = len(data)
    if len(trajectory):
        data.append(_points(path[start], "tool", mode="markers", marker={"size": 5, "color": "black"},
                            showlegend=False))
        data.append(_points(path, "tool path", mode="lines", line={"color": PATH_COLOR, "width": 5}))
        names = list(joint_names) if joint_names is not None else [f"J{j + 1}" for j in range(trajectory.shape[1])]
        hover = ["<br>".join([f"row {r}"] + [f"{name} {v:.4f}" for name, v in zip(names, trajectory[r])])
                 for r in waypoint_rows]
        data.append(_points(path[list(waypoint_rows)], "waypoints", mode="markers",
                            marker={"size": 6, "color": WAYPOINT_COLOR}, text=hover, hoverinfo="text"))
        if colliding:
            data.append(_points(path[sorted(colliding)], f"colliding rows ({len(colliding)})", mode="markers",
                                marker={"size": 4, "color": HIT_COLOR, "symbol": "x"}))

    frames = []
    moving = list(range(first_link, tool_trace + 1))
    for row in progress(rows, desc="3-D page frames", unit="frame", delay=2.0):
        tool = {"type": "scatter3d", **_xyz(path[row])}
        frames.append({"name": str(row), "data": link_traces(row, False) + [tool], "traces": moving})

    def step(row):
        label = f"{row}{' !' if row in colliding else ''}"
        return dict(method="animate", label=label,
                    args=[[str(row)], dict(mode="immediate", frame=dict(duration=0, redraw=True),
                                           transition=dict(duration=0))])

    n = len(trajectory)
    heading = title or f"{scene.cache_dir.name}: {n} configurations" + (
        f", {len(colliding)} in collision (red)" if colliding else "")
    layout = dict(
        title=dict(text=heading, x=0.02),
        scene=dict(aspectmode="data", xaxis_title="x [m]", yaxis_title="y [m]", zaxis_title="z [m]",
                   camera=dict(eye=camera_eye(scene)), domain=dict(x=[0, 1], y=[0.12, 1])),
        margin=dict(l=0, r=0, t=40, b=0), height=760,
        legend=dict(x=0.01, y=0.95),
        updatemenus=[dict(type="buttons", direction="left", x=0.02, y=0.02, xanchor="left", yanchor="bottom",
                          buttons=[dict(label="Play", method="animate",
                                        args=[None, dict(frame=dict(duration=60, redraw=True),
                                                         transition=dict(duration=0), fromcurrent=True)]),
                                   dict(label="Pause", method="animate",
                                        args=[[None], dict(mode="immediate", frame=dict(duration=0))])])],
        sliders=[dict(active=0, x=0.16, y=0.02, len=0.82, yanchor="bottom",
                      currentvalue=dict(prefix="row "), steps=[step(r) for r in rows])],
    )
    fig = {"data": data, "layout": layout, "frames": frames}
    html = plotly.io.to_html(fig, validate=False, include_plotlyjs=True, full_html=True, auto_play=False,
                             div_id="cellpath-plan", post_script=STEP_HOOK)
    runs.write_whole(out, lambda fh: fh.write(html), text=True)
    return out
