"""The main job on the bundled sample workcell, start to finish.

    make demo                    (or: .venv/bin/python examples/demo.py [--out DIR])

1. load the sample workcell (examples/sample_workcell.json) into the stand-in CAD host;
2. capture it into a cache directory with Mirelock (waypoints "inicomp", "inicomp2");
3. plan a collision-free joint trajectory through the waypoints with Brimwell (the command
   line's --planner auto --self-collision: RRT* first, RRT-Connect for a segment it cannot
   plan, links kept clear of each other);
4. verify it: Kestrune's two attachment checks and Pelmora's exact mesh query of every
   configuration (self-collision included); time it, every sample checked;
5. run the straight-line planner add-in (Dorvanta.run) in the stand-in host;
6. draw pictures: the workcell with the planned tool path, the joint angles along the
   trajectory, the timed trajectory (positions, velocities, accelerations over time),
   a GIF of the arm following it, and the plan in 3-D as one self-contained HTML page.

Prints where every file is and how long each stage took.  Rendering is headless.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for extra in (ROOT / "hostsim", ROOT / "examples"):
    if str(extra) not in sys.path:
        sys.path.insert(0, str(extra))

import numpy as np  # noqa: E402

import adsk.core  # noqa: E402  (the stand-in host must be importable before the CAD-side modules)
import workcell  # noqa: E402
import Mirelock  # noqa: E402
import Brimwell  # noqa: E402
import Kestrune  # noqa: E402
import Pelmora  # noqa: E402
import Dorvanta  # noqa: E402
import render  # noqa: E402
from cellpath_cli import html_view  # noqa: E402


# The sample cell's arm has no velocity limits of its own; the timed trajectory
# uses these (rad/s, rad/s^2) for every joint.
DEMO_MAX_VELOCITY = 1.0
DEMO_MAX_ACCELERATION = 2.0


class Stages:
    """Numbered stage headers and a table of how long each stage took."""

    def __init__(self, total: int):
        self.total, self.n, self.times = total, 0, []

    def __call__(self, title: str):
        stages = self

        class _Stage:
            def __enter__(self):
                stages.n += 1
                print(f"\n=== [{stages.n}/{stages.total}] {title}", flush=True)
                self.t0 = time.perf_counter()

            def __exit__(self, *exc):
                dt = time.perf_counter() - self.t0
                stages.times.append((title, dt))
                if exc[0] is None:
                    print(f"--- done in {dt:.2f} s", flush=True)
                return False

        return _Stage()


def run_demo(out_dir: Path, cache_dir: Path, gif_frames: int = 36, allowed_pairs=None) -> dict:
    """Run the whole job; returns the paths written and the verification results.
    `gif_frames` sets the length of the animation; `allowed_pairs` (as Pelmora's) names
    the contacts the exact check leaves out."""
    out_dir.mkdir(parents=True, exist_ok=True)
    stages = Stages(6)
    files: dict[str, Path] = {}

    with stages("Load the sample workcell into the stand-in CAD host"):
        cell = workcell.load_into_application()
        print(f"workcell: {workcell.SAMPLE_PATH}")
        print(f"joints {cell.joints}, links {cell.links}")
        print(f"environment {cell.environment}, targets {cell.targets}")

    with stages("Capture the arm and its surroundings (Mirelock)"):
        Mirelock.ClearCacheAndInitializeMotionPlanner(**cell.capture_arguments(cache_dir))
        for line in adsk.core.Application.get().log_lines:
            print(f"host log: {line}")
        files["cache directory"] = cache_dir

    with stages("Plan a collision-free trajectory through the waypoints "
                "(Brimwell --planner auto --self-collision)"):
        trajectory = Brimwell.ProvideRRTPlan(cache_dir, planner="auto", self_collision=True)
        files["trajectory"] = cache_dir / "JointAnglesToTravelAlong.npy"

    with stages("Verify the trajectory (Kestrune checks, exact mesh query with Pelmora)"):
        Kestrune.test_home_pose_unchanged(cache_dir)
        Kestrune.test_mesh_connectivity_off_home(cache_dir)
        checker = Pelmora.Pelmora(cache_dir, allowed_pairs=allowed_pairs)
        colliding = checker.query_trajectory(trajectory)
        if colliding:
            print(f"exact mesh query: {len(colliding)} of {len(trajectory)} configurations collide:")
            for row, result in colliding[:5]:
                print(f"  row {row}: {result}")
        else:
            print(f"exact mesh query: all {len(trajectory)} configurations are free "
                  "(arm against environment and against itself)")
        # Timed at the demo's limits, every sample checked by the planner's own test.
        timed = Brimwell.time_parameterize(trajectory, DEMO_MAX_VELOCITY, DEMO_MAX_ACCELERATION,
                                           ctx=Brimwell.PlanningContext(cache_dir, self_collision=True))
        print(f"timed trajectory: {timed[0][-1]:.2f} s in {len(timed[0])} samples of "
              f"{timed[0][1] - timed[0][0] if len(timed[0]) > 1 else 0:.2f} s, every sample valid "
              f"(at most {DEMO_MAX_VELOCITY} rad/s and {DEMO_MAX_ACCELERATION} rad/s^2 per joint)")

    with stages("Run the straight-line planner add-in in the stand-in host (Dorvanta.run)"):
        app = adsk.core.Application.get()
        before = len(app.log_lines)
        Dorvanta.run(None)
        new_log = app.log_lines[before:]
        root = app.activeProduct.rootComponent
        groups = [root.customGraphicsGroups.item(i) for i in range(root.customGraphicsGroups.count)]
        segments = sum(g.count for g in groups)
        failed = [line for line in new_log if line.startswith("Failed")]
        for line in new_log:
            print(f"host log: {line}")
        print(f"straight-line tool path animated in the design: {segments} trace segments drawn")

    with stages("Draw pictures of the plan"):
        scene = render.CacheScene(cache_dir)
        waypoints = np.load(cache_dir / "WaypointJointAngles.npy", allow_pickle=False)
        rows = render.waypoint_rows(trajectory, waypoints)
        files["workcell picture"] = render.workcell_picture(scene, trajectory, waypoints, out_dir / "workcell.png")
        files["joint-angle plot"] = render.joint_plot(trajectory, rows, out_dir / "joint_angles.png")
        files["timing plot"] = render.timing_plot(*timed, DEMO_MAX_VELOCITY, DEMO_MAX_ACCELERATION,
                                                  out_dir / "timing.png")
        files["animation"] = render.animation_gif(scene, trajectory, out_dir / "animation.gif", frames=gif_frames)
        files["3-D page"] = html_view.plan_page(scene, trajectory, out_dir / "plan.html", waypoint_rows=rows,
                                                colliding={row: {n for p in r.pairs for k, n in p if k == "link"}
                                                           for row, r in colliding})

    print("\nFiles:")
    for name, path in files.items():
        print(f"  {name:18s} {path}")
    print("\nStage times:")
    for title, dt in stages.times:
        print(f"  {dt:7.2f} s  {title}")
    ok = not colliding and not failed
    print("\nTrajectory verified: " + ("yes" if ok else "NO (see above)"))
    return {"files": files, "trajectory": trajectory, "colliding": colliding, "addin_failed": failed,
            "segments": segments, "ok": ok}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Plan, verify and picture the bundled sample workcell.")
    parser.add_argument("--out", type=Path, default=ROOT / "demo_out", help="where the pictures go (default: demo_out/)")
    parser.add_argument("--cache", type=Path, default=ROOT / "examples" / "cache",
                        help="capture cache directory, emptied first (default: examples/cache/)")
    parser.add_argument("--allow-base-contacts", action="store_true",
                        help="let the exact check ignore what the base touches in the environment at zero")
    args = parser.parse_args(argv)
    result = run_demo(args.out.resolve(), args.cache.resolve(),
                      allowed_pairs="base" if args.allow_base_contacts else None)
    return 0 if result["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
