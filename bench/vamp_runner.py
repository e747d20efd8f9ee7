"""Plans problems with VAMP's Panda (rrtc, then simplify) and writes the paths and
VAMP's own timings as JSON.  Run by bench_certified.py in an interpreter that has
the vamp package (3.12+), as

    python vamp_runner.py < problems.json > results.json

Input: {"boxes": [[lo, hi], ...] axis-aligned, metres; "problems": [[start, goal], ...];
        "fk": [q, ...] configurations whose end-effector pose is returned}.
Output: {"results": [{"solved", "path", "plan_ns", "simplify_ns", "wall_s"}, ...],
         "fk": [4x4, ...], "joint_names": [...], "end_effector": name}.
Everything runs single-threaded with VAMP's default settings for the Panda; one
generator is made per problem, so the results do not depend on the order.
"""
import json
import sys
import time

import numpy as np
import vamp


def main():
    job = json.load(sys.stdin)
    env = vamp.Environment()
    for lo, hi in job["boxes"]:
        lo, hi = np.asarray(lo, float), np.asarray(hi, float)
        env.add_cuboid(vamp.Cuboid(((lo + hi) / 2).tolist(), [0.0, 0.0, 0.0], ((hi - lo) / 2).tolist()))
    robot, plan, plan_settings, simplify_settings = vamp.configure_robot_and_planner_with_kwargs("panda", "rrtc")
    results = []
    for start, goal in job["problems"]:
        rng = robot.xorshift()
        t0 = time.perf_counter()
        res = plan(start, goal, env, plan_settings, rng)
        if not res.solved:
            results.append({"solved": False, "path": [], "plan_ns": int(res.nanoseconds),
                            "simplify_ns": 0, "wall_s": time.perf_counter() - t0})
            continue
        simple = robot.simplify(res.path, env, simplify_settings, rng)
        wall = time.perf_counter() - t0
        results.append({"solved": True, "path": np.asarray(simple.path.numpy(), float).tolist(),
                        "plan_ns": int(res.nanoseconds), "simplify_ns": int(simple.nanoseconds),
                        "wall_s": wall})
    fk = [np.asarray(robot.eefk(q), float).tolist() for q in job.get("fk", [])]
    json.dump({"results": results, "fk": fk, "joint_names": list(robot.joint_names()),
               "end_effector": robot.end_effector()}, sys.stdout)


if __name__ == "__main__":
    main()
