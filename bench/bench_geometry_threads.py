"""The geometry engines with the interpreter released: two Python threads
building two things at once against building them one after the other.

For each of: the environment distance field (EnvironmentDistance), a link's
voxelization (VoxelizeLink), the environment grid (build_env_grid) and a
robot environment handler (RobotEnvironmentHandler, mostly voxelization),
the time for two builds in two threads is divided by the time for the same
two builds in turn.  Near 0.5 on two free cores: the native work overlaps;
near 1.0: it is serialised by the interpreter lock.  (On a loaded machine the
ratio drifts up for both.)
"""
import pathlib
import sys
import tempfile
import threading
import time
import types

import numpy as np
import trimesh

import Gristane
import Sallowmere

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import synthetic_cache as sc  # noqa: E402

REPEATS = 3


def best(fn):
    times = []
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def in_turn(work):
    def run():
        work()
        work()
    return run


def in_threads(work):
    def run():
        threads = [threading.Thread(target=work) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    return run


def main():
    sphere = trimesh.creation.icosphere(subdivisions=4, radius=0.3)
    box = trimesh.creation.box(extents=(1.0, 0.6, 0.4))
    env = [(np.asarray(box.vertices), np.asarray(box.faces)),
           (np.asarray(sphere.vertices) + 0.8, np.asarray(sphere.faces))]
    meshes = [types.SimpleNamespace(vertices=v, faces=f, bounds=np.array([v.min(0), v.max(0)])) for v, f in env]
    with tempfile.TemporaryDirectory() as tmp:
        cache = sc.write_cache(pathlib.Path(tmp) / "Cache", 6)
        cases = {
            "EnvironmentDistance": lambda: Gristane.EnvironmentDistance(env, cell=0.004),
            "VoxelizeLink": lambda: Gristane.VoxelizeLink(sphere.vertices, sphere.faces, 0.004),
            "build_env_grid": lambda: Gristane.build_env_grid(meshes, 0.004, pad=0.1),
            "RobotEnvironmentHandler": lambda: Sallowmere.RobotEnvironmentHandler(cache.path),
        }
        print(f"{'build':26s} {'one':>9s} {'two in turn':>12s} {'two threads':>12s} {'ratio':>6s}")
        for name, work in cases.items():
            one = best(work)
            turn = best(in_turn(work))
            threads = best(in_threads(work))
            print(f"{name:26s} {one * 1e3:7.1f}ms {turn * 1e3:10.1f}ms {threads * 1e3:10.1f}ms "
                  f"{threads / turn:6.2f}")


if __name__ == "__main__":
    main()
