"""Inspection tools: native code against the same work in plain numpy.

1. Pelmora.query_trajectory (C++ kinematics and pair filtering around trimesh's
   collision manager) against a Python loop doing numpy kinematics and the same
   manager calls.  The FCL all-pairs test is shared, so the ratio shows only
   what the surrounding code costs.
2. Kestrune.min_gap on two 1000-point link samples (the attachment check's inner
   step, 6 pairs x 6 poses per run) against numpy's full distance matrix.
"""
import pathlib
import sys
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

import Pelmora  # noqa: E402
from synthetic_cache import _adjoint, _exp6, rot_z, transform, write_cache  # noqa: E402

try:
    import Kestrune
except ImportError:  # Kestrune imports the environment handler's module at import
    Kestrune = None


def best_of(fn, repeat=3):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t)
    return min(times), out


def numpy_query_trajectory(p, traj):
    """The trajectory check written in Python/numpy around the same manager."""
    slist = _adjoint(np.asarray(p.home_transforms[0])) @ p.slist
    homes = p.home_transforms
    found = []
    for i, q in enumerate(traj):
        running = np.eye(4)
        poses = {p.link_names[0]: homes[0]}
        for j in range(p.n_joints):
            running = running @ _exp6(slist[:, j], q[j])
            poses[p.link_names[j + 1]] = running @ homes[j + 1]
        for name, T in poses.items():
            p._manager.set_transform(("link", name), T)
        _, raw = p._manager.in_collision_internal(return_names=True)
        pairs = {tuple(sorted(ab)) for ab in raw if frozenset(ab) not in p._adjacent_pairs}
        if pairs:
            found.append((i, pairs))
    return found


def bench_trajectory():
    with tempfile.TemporaryDirectory() as tmp:
        cache = write_cache(pathlib.Path(tmp) / "Cache", base_pose=transform(rot_z(0.4), (0.1, 0.0, 0.0)))
        p = Pelmora.Pelmora(cache.path)
        rng = np.random.default_rng(0)
        traj = rng.uniform(-np.pi, np.pi, size=(400, 6))
        t_native, native = best_of(lambda: p.query_trajectory(traj))
        t_numpy, reference = best_of(lambda: numpy_query_trajectory(p, traj))
        assert [(i, r.pairs) for i, r in native] == reference
        print(f"query_trajectory, 400 configurations ({len(native)} colliding):")
        print(f"  native {t_native * 1e3:8.1f} ms   numpy loop {t_numpy * 1e3:8.1f} ms   "
              f"ratio {t_numpy / t_native:5.2f}x")


def bench_min_gap():
    if Kestrune is None:
        print("min_gap: Kestrune not importable here, skipped")
        return
    rng = np.random.default_rng(1)
    a, b = rng.normal(size=(1000, 3)), rng.normal(size=(1000, 3)) + 2.0
    t_native, g_native = best_of(lambda: Kestrune.min_gap(a, b), repeat=5)
    t_numpy, g_numpy = best_of(lambda: float(np.linalg.norm(a[:, None] - b[None], axis=-1).min()), repeat=5)
    assert abs(g_native - g_numpy) <= 1e-12 * max(1.0, g_numpy)
    print("min_gap, 1000 x 1000 points:")
    print(f"  native {t_native * 1e3:8.2f} ms   numpy {t_numpy * 1e3:8.2f} ms   "
          f"ratio {t_numpy / t_native:5.2f}x")


if __name__ == "__main__":
    bench_trajectory()
    bench_min_gap()
