"""cellpath-render CACHE [--out DIR] [--gif] [--html]: the pictures of any capture cache.

The workcell with the tool path, the joint angles with the waypoints marked, the timed
trajectory when the cache holds one, with --gif the arm following the trajectory, and with
--html one self-contained page that shows the plan in 3-D.  Without a planned trajectory the
pictures show the waypoints.
"""
from __future__ import annotations

import argparse
import copy
import sys
import time
from pathlib import Path

import numpy as np

from cellpath_cli import run

TRAJECTORY = "JointAnglesToTravelAlong.npy"
WAYPOINTS = "WaypointJointAngles.npy"
TIMED = "TimedTrajectory.npz"
PICTURE_ARM_TRIANGLES = 12000
PICTURE_ENV_TRIANGLES = 20000
GIF_ARM_TRIANGLES = 4000
GIF_ENV_TRIANGLES = 8000


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="cellpath-render", description=__doc__.split("\n\n", 1)[1].strip(),
        epilog="Pictures are drawn headless (no display needed); the page opens offline.")
    p.add_argument("cache", type=Path, metavar="CACHE", nargs="?", help="the capture cache (or --cache-dir DIR)")
    p.add_argument("--cache-dir", type=Path, metavar="DIR", help="the capture cache, as the other commands name it")
    p.add_argument("--out", type=Path, metavar="DIR",
                   help="where the pictures go (default: CACHE-pictures beside the cache)")
    p.add_argument("--gif", action="store_true", help="also animation.gif, the arm following the trajectory")
    p.add_argument("--html", action="store_true",
                   help="also plan.html: the plan in 3-D, with orbit, zoom, a slider and a play button")
    p.add_argument("--frames", type=int, default=36, metavar="N", help="frames of the GIF (default: 36)")
    p.add_argument("--no-check", action="store_true",
                   help="do not look for colliding rows with the exact meshes (Pelmora) for the page")
    return p


def load_rows(path: Path, width: int, what: str) -> np.ndarray:
    rows = np.load(path, allow_pickle=False)
    if rows.ndim != 2 or rows.shape[1] != width or not np.isfinite(rows).all():
        raise ValueError(f"{path}: {what} must be a finite (N, {width}) array, got shape {rows.shape}")
    return rows.astype(float)


def colliding_links(cache: Path, trajectory, rows) -> dict[int, set[str]]:
    """{row: names of the links in contact} over those of `rows` that the exact meshes find
    colliding, leaving out contacts between bodies that never move relative to each other."""
    import Pelmora
    rows = list(rows)
    found = Pelmora.Pelmora(cache, allowed_pairs="fixed").query_trajectory(np.asarray(trajectory)[rows])
    return {rows[i]: {name for pair in result.pairs for kind, name in pair if kind == "link"}
            for i, result in found}


def render(cache: Path, out: Path, *, gif=False, html=False, frames=36, check=True, say=print) -> dict:
    """Write the pictures of `cache` into `out`; returns {what: path}."""
    from cellpath_cli import pictures
    from cellpath_cli.scene import waypoint_rows

    cache = Path(cache)
    # Thinned for drawing: a visual mesh of a real arm has far more triangles than a
    # picture shows, and matplotlib draws each one.
    scene = pictures.CacheScene(cache).thin(PICTURE_ARM_TRIANGLES, PICTURE_ENV_TRIANGLES)
    n = len(scene.link_names) - 1
    waypoints = load_rows(cache / WAYPOINTS, n, "the waypoints") if (cache / WAYPOINTS).is_file() \
        else np.zeros((0, n))
    if (cache / TRAJECTORY).is_file():
        trajectory = load_rows(cache / TRAJECTORY, n, "the trajectory")
    else:
        say(f"{cache} holds no planned trajectory (Brimwell plans one): showing the waypoints")
        trajectory = waypoints
    if len(trajectory) == 0:
        raise ValueError(f"{cache} holds neither a trajectory nor waypoints: nothing to show")
    rows = waypoint_rows(trajectory, waypoints)
    out.mkdir(parents=True, exist_ok=True)
    files = {}

    def step(what, name, draw):
        t0 = time.perf_counter()
        files[what] = draw(out / name)
        say(f"{what:18s} {files[what]}  ({time.perf_counter() - t0:.1f} s)")

    step("workcell", "workcell.png",
         lambda p: pictures.workcell_picture(scene, trajectory, waypoints if len(waypoints) else trajectory[:1], p))
    names = None
    if (cache / "JointNames.json").is_file():
        from cellpath_cli.export import joint_names
        names = joint_names(cache, n)
    step("joint angles", "joint_angles.png", lambda p: pictures.joint_plot(trajectory, rows, p, names=names))
    if (cache / TIMED).is_file():
        with np.load(cache / TIMED, allow_pickle=False) as timed:
            t, q, qd, qdd = (np.asarray(timed[k], float) for k in ("t", "q", "qd", "qdd"))
        step("timed trajectory", "timing.png", lambda p: pictures.timing_plot(t, q, qd, qdd, None, None, p, names=names))
    if gif:
        # Every frame is drawn anew: thinner still.
        light = copy.copy(scene).thin(GIF_ARM_TRIANGLES, GIF_ENV_TRIANGLES)
        step("animation", "animation.gif", lambda p: pictures.animation_gif(light, trajectory, p, frames=frames))
    if html:
        from cellpath_cli import html_view
        shown = html_view.shown_rows(len(trajectory), rows)
        t0 = time.perf_counter()
        hits = colliding_links(cache, trajectory, shown) if check else {}
        if check:
            say(f"exact check of the {len(shown)} rows shown: "
                + (f"{len(hits)} in collision (marked in red)" if hits else "none in collision")
                + f"  ({time.perf_counter() - t0:.1f} s)")
        step("3-D page", "plan.html",
             lambda p: html_view.plan_page(scene, trajectory, p, waypoint_rows=rows, colliding=hits,
                                           joint_names=names))
    return files


def command(argv=None):
    from cellpath_cli import one_cache

    p = parser()
    args = p.parse_args(argv)
    args.cache = one_cache(p, args.cache, args.cache_dir)
    if args.frames < 2:
        p.error(f"--frames must be 2 or more, got {args.frames}")
    if not (args.cache / "meta.json").is_file():
        raise FileNotFoundError(2, "No such file", str(args.cache / "meta.json"))
    try:
        import matplotlib  # noqa: F401
        if args.html:
            import plotly  # noqa: F401
    except ImportError as exc:
        raise RuntimeError(f"the pictures need {exc.name}: pip install 'cellpath[demo]'") from exc
    from cellpath_cli import runs
    runs.warn_if_mixed(args.cache, runs.plan_files_read(args.cache), "cellpath-render")
    whole = args.cache.resolve()
    out = args.out or whole.parent / f"{whole.name}-pictures"
    render(args.cache, out, gif=args.gif, html=args.html, frames=args.frames, check=not args.no_check)
    return 0


def main(argv=None):
    """The cellpath-render command."""
    return run("cellpath-render", command, argv)


if __name__ == "__main__":
    sys.exit(main())
