"""RobotEnvironmentHandler construction against its trimesh + numpy equivalent.

Both build the same model from the same synthetic capture cache (six-joint
arm, a wall, a table and a floor slab; pitch 0.01 m, 5 m pad, so a grid of
over a billion cells): read meta.json and the meshes, rewrite the two mesh
archives, voxelize every link, build the environment grid and read the home
transforms.  Each side runs in its own process so that its peak resident
memory (getrusage) is its own; the results are compared afterwards.
"""
import json
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))
sys.path.insert(0, str(HERE.parent / "tests" / "support"))
import synthetic_cache as sc  # noqa: E402
from numpy_grid import ref_build_env_grid  # noqa: E402

ENV = sc.DEFAULT_ENV + (
    ("table", (-0.9, -0.4, 0.70), (-0.3, 0.4, 0.75)),
    ("floor", (-1.0, -1.0, -0.02), (1.0, 1.0, 0.0)),
)


def rss_now():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def numpy_handler(cache_dir, pitch=0.01, pad=5.0):
    """The construction written plainly with trimesh and numpy."""
    import trimesh

    meta = json.loads((cache_dir / "meta.json").read_text())
    link_payload = {}
    for link in meta["links"]:
        data = np.load(cache_dir / f"link_{link['index']}.npz")
        link_payload[f"V_{link['index']}"] = data["V"]
        link_payload[f"F_{link['index']}"] = data["F"]
    np.savez_compressed(cache_dir / "LinkMeshes.npz", **link_payload)
    env_payload = {}
    for i, env in enumerate(meta.get("env", [])):
        data = np.load(cache_dir / f"env_{env['name']}.npz")
        env_payload[f"V_{i}"] = data["V"]
        env_payload[f"F_{i}"] = data["F"]
    np.savez_compressed(cache_dir / "env_meshes.npz", **env_payload)

    link_points = []
    for i in range(len(link_payload) // 2):
        mesh = trimesh.Trimesh(vertices=link_payload[f"V_{i}"], faces=link_payload[f"F_{i}"], process=False)
        link_points.append(np.asarray(mesh.voxelized(pitch=pitch).fill().points, dtype=np.float64))
    meshes = [trimesh.Trimesh(vertices=env_payload[f"V_{i}"], faces=env_payload[f"F_{i}"], process=False)
              for i in range(len(env_payload) // 2)]
    grid, lo, _ = ref_build_env_grid(meshes, pitch, pad=pad)
    links = sorted(meta["links"], key=lambda l: l["index"])
    home = np.array([l["home_transform"] for l in links], dtype=np.float64)
    return link_points, grid, lo, home


def child(kind, cache_dir, out):
    cache_dir = pathlib.Path(cache_dir)
    if kind == "native":
        import Sallowmere

        def build():
            h = Sallowmere.RobotEnvironmentHandler(cache_dir)
            return h.link_points, h.env_grid, h.env_origin, h.initialTransforms
    else:
        import trimesh  # noqa: F401  (imported before the clock starts, as the native side's modules are)

        def build():
            return numpy_handler(cache_dir)
    base = rss_now()
    t0 = time.perf_counter()
    link_points, grid, lo, home = build()
    seconds = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    np.savez(out, occupied=np.flatnonzero(grid), shape=np.array(grid.shape), lo=lo, home=home,
             n_points=np.array([len(p) for p in link_points]),
             points=np.concatenate(link_points))
    print(json.dumps(dict(seconds=seconds, peak=peak, base=base)))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        cache = sc.write_cache(tmp / "Cache", 6, env=ENV)
        stats = {}
        for kind in ("numpy", "native"):
            best = None
            for _ in range(3):
                res = subprocess.run([sys.executable, __file__, "--child", kind, str(cache.path),
                                      str(tmp / f"{kind}.npz")], check=True, capture_output=True, text=True)
                r = json.loads(res.stdout.strip().splitlines()[-1])
                best = r if best is None or r["seconds"] < best["seconds"] else best
            stats[kind] = best
        a, b = np.load(tmp / "numpy.npz"), np.load(tmp / "native.npz")
        same_grid = all(np.array_equal(a[k], b[k]) for k in ("occupied", "shape", "lo", "home"))
        same_points = np.array_equal(a["n_points"], b["n_points"]) and \
            np.abs(a["points"] - b["points"]).max() <= 1e-12
        cells = int(np.prod(a["shape"]))
    n, c = stats["numpy"], stats["native"]
    mb = 1024.0 * 1024.0
    print(f"grid {tuple(int(x) for x in a['shape'])} = {cells / 1e9:.2f} G cells, {len(a['occupied'])} occupied; "
          f"{int(a['n_points'].sum())} link points")
    print(f"{'':<22}{'trimesh+numpy':>15}{'native':>12}{'ratio':>8}")
    print(f"{'construction s':<22}{n['seconds']:>15.3f}{c['seconds']:>12.3f}{n['seconds'] / c['seconds']:>8.1f}")
    print(f"{'peak RSS MB':<22}{n['peak'] / mb:>15.1f}{c['peak'] / mb:>12.1f}{n['peak'] / c['peak']:>8.1f}")
    dn, dc = n["peak"] - n["base"], c["peak"] - c["base"]
    print(f"{'peak RSS growth MB':<22}{dn / mb:>15.1f}{dc / mb:>12.1f}{dn / max(dc, 1):>8.1f}")
    print(f"same grid: {'yes' if same_grid else 'NO'}; same link points: {'yes' if same_points else 'NO'}")
    if not (same_grid and same_points):
        raise SystemExit("results differ")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(*sys.argv[2:5])
    else:
        main()
