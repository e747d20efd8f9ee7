"""GivePathTraveller on the sample workcell: the native planner against a plain
numpy implementation of the same work (screw capture through the stand-in host,
then one step-limited IK solve per sample of every straight-line leg).

Both runs start from the same pose, plan through the same two targets and must
agree on every configuration; the ratio of their best times is printed."""
import pathlib
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "hostsim"))

import adsk  # noqa: E402
import adsk.core  # noqa: E402
import workcell  # noqa: E402
import Dorvanta  # noqa: E402
from stopwatch import best_of  # noqa: E402

REPEATS = 5


# --- the numpy implementation ------------------------------------------------

from numpy_rigid import adT, damped_pinv, exp6, fk, inv_SE3, jacobian, log6, skew, wrap  # noqa: E402,F401


def ik2(init, Tsd, M, S, eomg=0.001, ev=0.001):
    theta = wrap(np.asarray(init, float))
    out = [theta.copy()]
    last_good = theta.copy()
    for _ in range(200):
        Tsb = fk(S, theta, M)
        X = log6(inv_SE3(Tsb) @ Tsd)
        Vb = np.r_[X[2, 1], X[0, 2], X[1, 0], X[:3, 3]]
        if not np.all(np.isfinite(Vb)):
            theta = wrap(last_good + 0.05 * np.random.randn(len(theta)))
            out.append(theta.copy())
            continue
        if np.linalg.norm(Vb[:3]) < eomg and np.linalg.norm(Vb[3:]) < ev:
            out[-1] = wrap(out[-1])
            return out
        d = damped_pinv(jacobian(S, theta)) @ (adT(Tsb) @ Vb)
        n = np.linalg.norm(d)
        if n > 0.3:
            d = d * (0.3 / n)
        theta = wrap(theta + d)
        last_good = theta.copy()
        out.append(theta.copy())
    print("IK did not converge in 200 iterations")
    out[-1] = wrap(out[-1])
    return out


def straight_line(Ts, Te, N):
    Rs, ps, Re, pe = Ts[:3, :3], Ts[:3, 3], Te[:3, :3], Te[:3, 3]
    Rrel = Rs.T @ Re
    theta = np.arccos(np.clip((np.trace(Rrel) - 1.0) / 2.0, -1.0, 1.0))
    w = np.zeros(3) if theta < 1e-9 else (1.0 / (2.0 * np.sin(theta))) * np.array(
        [Rrel[2, 1] - Rrel[1, 2], Rrel[0, 2] - Rrel[2, 0], Rrel[1, 0] - Rrel[0, 1]])
    out = []
    for i in range(N):
        s = i / (N - 1) if N > 1 else 1.0
        a = s * theta
        K = skew(w)
        R = np.eye(3) if a < 1e-9 else np.eye(3) + np.sin(a) * K + (1 - np.cos(a)) * (K @ K)
        T = np.eye(4)
        T[:3, :3] = Rs @ R
        T[:3, 3] = (1 - s) * ps + s * pe
        out.append(T)
    return out


def joint_segment(seed, end, n):
    return [seed + (s / (n - 1)) * (end - seed) for s in range(n)]


def world(root, name):
    occ = next(o for o in root.allOccurrences if o.component.name == name)
    return np.array(occ.transform2.asArray()).reshape(4, 4)


def screw_at_home(names, base, ee):
    root = adsk.core.Application.get().activeProduct.rootComponent
    joints = [root.joints.itemByName(n) for n in names]
    initial = np.array([j.jointMotion.rotationValue for j in joints])
    for j in joints:
        j.jointMotion.rotationValue = 0.0
    adsk.doEvents()
    B, E = world(root, base), world(root, ee)
    cols = []
    for j in joints:
        g = j.geometryOrOriginOne
        o = np.array([g.origin.x, g.origin.y, g.origin.z])
        a = j.jointMotion.rotationAxisVector
        w = np.array([a.x, a.y, a.z])
        w = w / np.linalg.norm(w)
        cols.append(adT(inv_SE3(B)) @ np.r_[w, np.cross(o, w)])
    for j, v in zip(joints, initial):
        j.jointMotion.rotationValue = float(v)
    return np.array(cols).T, inv_SE3(B) @ E


def path_traveller_numpy(base, ee, frames, names, nsamples=20):
    S, M = screw_at_home(names, base, ee)
    root = adsk.core.Application.get().activeProduct.rootComponent
    initial = np.array([root.joints.itemByName(n).jointMotion.rotationValue for n in names])
    T0 = fk(S, initial, M)
    poses = np.concatenate([T0[None], frames, T0[None]])
    path, seed = [], initial.copy()
    for x in range(len(poses) - 1):
        if x == len(poses) - 2:
            seg = joint_segment(seed, initial, nsamples)
        else:
            seg, g = [], seed
            for T in straight_line(poses[x], poses[x + 1], nsamples):
                g = np.asarray(ik2(g, T, M, S)[-1], float)
                seg.append(g)
        path.extend(seg[0 if x == 0 else 1:])
        seed = seg[-1]
    return path, S, M


# --- the run --------------------------------------------------------------------

def main():
    cell = workcell.load_into_application()
    root = cell.design.rootComponent
    T_base = world(root, cell.base)
    frames = np.array([inv_SE3(T_base) @ world(root, n) for n in cell.targets])
    args = (cell.base, cell.end_effector, frames, cell.joints)

    t_native, (path, S, M) = best_of(lambda: Dorvanta.GivePathTraveller(*args), REPEATS)
    t_numpy, (ref, S_ref, M_ref) = best_of(lambda: path_traveller_numpy(*args), max(1, REPEATS // 2))
    assert len(path) == len(ref)
    err = max(float(np.max(np.abs(a - b))) for a, b in zip(path, ref))
    assert err < 1e-6, f"native and numpy paths differ by {err}"

    # The host part (screw capture, joint reads) is the same Python work in both.
    t_host, _ = best_of(lambda: Dorvanta.RetrieveScrewAtHomeConfig(cell.joints, cell.base, cell.end_effector),
                        REPEATS)
    print(f"GivePathTraveller, {len(cell.targets)} targets, {len(path)} configurations")
    print(f"  native {t_native * 1e3:9.2f} ms   (host calls {t_host * 1e3:.2f} ms of it)")
    print(f"  numpy  {t_numpy * 1e3:9.2f} ms")
    print(f"  ratio  {t_numpy / t_native:9.1f}x   (IK part alone {((t_numpy - t_host) / max(t_native - t_host, 1e-9)):.1f}x)")


if __name__ == "__main__":
    main()
