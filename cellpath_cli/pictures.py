"""Headless pictures of a planned trajectory: the workcell with the tool path, the
joint angles along the trajectory, the timed trajectory over time, and an
animation of the arm following it.

Everything is drawn with matplotlib's Agg backend, so no display is needed.
The posed scene (cellpath_cli.scene) is shared with the 3-D page (cellpath_cli.html_view).
"""
from __future__ import annotations

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib import animation  # noqa: E402
from mpl_toolkits.mplot3d.art3d import Poly3DCollection  # noqa: E402

from cellpath_cli.progress import progress  # noqa: E402
from cellpath_cli.scene import CacheScene, waypoint_rows  # noqa: E402,F401  (both part of this module's face)

LINK_FACE = (0.39, 0.59, 0.90, 0.95)
BASE_FACE = (0.35, 0.35, 0.40, 0.95)
ENV_FACE = (0.80, 0.40, 0.35, 0.35)
PATH_COLOR = "#1a7f37"
WAYPOINT_COLOR = "#d4a017"


def _triangles(V, F, T=None):
    if T is not None:
        V = V @ T[:3, :3].T + T[:3, 3]
    return V[F]


def _setup_axes(ax, scene: CacheScene, title: str):
    lo, hi = scene.bounds()
    centre = (lo + hi) / 2
    half = (hi - lo).max() / 2 * 1.05
    ax.set_xlim(centre[0] - half, centre[0] + half)
    ax.set_ylim(centre[1] - half, centre[1] + half)
    ax.set_zlim(centre[2] - half, centre[2] + half)
    ax.set_box_aspect((1, 1, 1))
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")
    ax.set_zlabel("z [m]")
    ax.set_title(title)
    ax.view_init(elev=24, azim=-58)


def _draw_env(ax, scene: CacheScene):
    for _, V, F in scene.env_meshes:
        ax.add_collection3d(Poly3DCollection(_triangles(V, F), facecolor=ENV_FACE,
                                             edgecolor=(0.5, 0.2, 0.2, 0.15), linewidths=0.2))


def _draw_arm(ax, scene: CacheScene, poses, alpha=1.0):
    artists = []
    for i, ((V, F), T) in enumerate(zip(scene.link_meshes, poses)):
        face = BASE_FACE if i == 0 else LINK_FACE
        coll = Poly3DCollection(_triangles(V, F, T), facecolor=face[:3] + (face[3] * alpha,),
                                edgecolor=(0.1, 0.1, 0.2, 0.25 * alpha), linewidths=0.2)
        ax.add_collection3d(coll)
        artists.append(coll)
    return artists


def workcell_picture(scene: CacheScene, trajectory, waypoints, out: Path) -> Path:
    """The workcell, the arm at the first configuration (and faintly at the
    waypoints), and the tool path of the whole trajectory."""
    fig = plt.figure(figsize=(8, 7), dpi=110)
    ax = fig.add_subplot(projection="3d")
    _setup_axes(ax, scene, "Planned tool path through the workcell")
    _draw_env(ax, scene)
    for wp in waypoints[1:-1]:
        _draw_arm(ax, scene, scene.poses(wp), alpha=0.25)
    if len(trajectory) == 0:
        trajectory = waypoints
    _draw_arm(ax, scene, scene.poses(trajectory[0]))
    path = scene.tool_path(trajectory)
    ax.plot(path[:, 0], path[:, 1], path[:, 2], color=PATH_COLOR, linewidth=2.2, label="tool path")
    wpts = scene.tool_path(waypoints)
    ax.scatter(wpts[:, 0], wpts[:, 1], wpts[:, 2], color=WAYPOINT_COLOR, s=40, depthshade=False,
               label="waypoints", zorder=5)
    ax.legend(loc="upper left")
    fig.tight_layout()
    fig.savefig(out)
    plt.close(fig)
    return out


def _labels(names, n):
    return list(names) if names is not None else [f"J{j + 1}" for j in range(n)]


def joint_plot(trajectory, waypoint_rows, out: Path, names=None) -> Path:
    """Joint angles along the trajectory, with the waypoints marked; `names` label the joints
    (default J1..Jn)."""
    trajectory = np.asarray(trajectory)
    fig, ax = plt.subplots(figsize=(9, 4.5), dpi=110)
    for j in range(trajectory.shape[1]):
        ax.plot(np.degrees(trajectory[:, j]), label=_labels(names, trajectory.shape[1])[j], linewidth=1.6)
    for r in waypoint_rows:
        ax.axvline(r, color="0.6", linestyle=":", linewidth=1)
    ax.set_xlabel("trajectory configuration")
    ax.set_ylabel("joint angle [deg]")
    ax.set_title("Joint angles along the planned trajectory (dotted: waypoints)")
    ax.grid(alpha=0.3)
    ax.legend(ncol=min(6, trajectory.shape[1]), fontsize=8, loc="upper center",
              bbox_to_anchor=(0.5, -0.15))
    fig.tight_layout()
    fig.savefig(out)
    plt.close(fig)
    return out


def timing_plot(t, q, qd, qdd, max_velocity, max_acceleration, out: Path, names=None) -> Path:
    """Positions, velocities and accelerations of every joint over time, the limits
    drawn as dashed lines; `names` label the joints (default J1..Jn)."""
    fig, axes = plt.subplots(3, 1, figsize=(9, 8), dpi=110, sharex=True)
    for values, ax, label, limit in ((q, axes[0], "position [rad]", None),
                                     (qd, axes[1], "velocity [rad/s]", max_velocity),
                                     (qdd, axes[2], "acceleration [rad/s\N{SUPERSCRIPT TWO}]", max_acceleration)):
        for j in range(values.shape[1]):
            ax.plot(t, values[:, j], label=_labels(names, values.shape[1])[j], linewidth=1.3)
        if limit is not None:
            for bound in np.unique(np.asarray(limit, dtype=float)):
                ax.axhline(bound, color="0.5", linestyle="--", linewidth=0.8)
                ax.axhline(-bound, color="0.5", linestyle="--", linewidth=0.8)
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
    axes[0].set_title(f"Timed trajectory: {t[-1]:.2f} s, at rest at every corner of the planned path")
    axes[-1].set_xlabel("time [s]")
    axes[-1].legend(ncol=min(6, q.shape[1]), fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.3))
    fig.tight_layout()
    fig.savefig(out)
    plt.close(fig)
    return out


def animation_gif(scene: CacheScene, trajectory, out: Path, frames: int = 36) -> Path:
    """The arm following the trajectory among the obstacles, as a GIF."""
    trajectory = np.asarray(trajectory)
    rows = np.unique(np.linspace(0, len(trajectory) - 1, min(frames, len(trajectory))).round().astype(int))
    path = scene.tool_path(trajectory)
    fig = plt.figure(figsize=(6, 5.5), dpi=80)
    ax = fig.add_subplot(projection="3d")
    _setup_axes(ax, scene, "")
    _draw_env(ax, scene)
    ax.plot(path[:, 0], path[:, 1], path[:, 2], color=PATH_COLOR, linewidth=1.2, alpha=0.6)
    state = {"arm": []}

    def frame(k):
        for a in state["arm"]:
            a.remove()
        r = rows[k]
        state["arm"] = _draw_arm(ax, scene, scene.poses(trajectory[r]))
        ax.set_title(f"configuration {r + 1} / {len(trajectory)}")
        return state["arm"]

    anim = animation.FuncAnimation(fig, frame, frames=len(rows), blit=False)
    with progress(total=len(rows), desc="GIF frames", unit="frame") as bar:
        anim.save(out, writer=animation.PillowWriter(fps=8), progress_callback=lambda i, n: bar.update(1))
    plt.close(fig)
    return out
