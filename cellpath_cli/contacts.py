"""The exact meshes' word on a plan made with the voxel test: the voxel test checks
configurations in 1 cm cells and 5 cm apart along an edge, so a plan it accepts can
still touch an obstacle at a row or between rows.  `contacts_line` checks every row
and the motion between rows (sampled finely) with the exact meshes and says in one
line what touches."""
from __future__ import annotations

import numpy as np

MOTION_STEP = 0.005   # rad between the configurations checked along each edge of the plan
SHOWN_PAIRS = 3
CHUNK = 64            # configurations per exact query between two looks for Ctrl-C


def _ranges(indices) -> str:
    out, start, prev = [], None, None
    for i in indices:
        if start is None:
            start = prev = i
        elif i == prev + 1:
            prev = i
        else:
            out.append(f"{start}" if start == prev else f"{start}-{prev}")
            start = prev = i
    if start is not None:
        out.append(f"{start}" if start == prev else f"{start}-{prev}")
    return ", ".join(out)


def _between(trajectory, step):
    """Configurations strictly between consecutive rows, no two more than `step` apart
    in any joint, and the row each one follows."""
    q = np.asarray(trajectory, dtype=np.float64)
    configs, after = [], []
    for i in range(len(q) - 1):
        gap = float(np.max(np.abs(q[i + 1] - q[i]))) if q.shape[1] else 0.0
        pieces = int(np.ceil(gap / step)) if gap > 0 else 1
        for k in range(1, pieces):
            configs.append(q[i] + (q[i + 1] - q[i]) * (k / pieces))
            after.append(i)
    return (np.array(configs) if configs else np.zeros((0, q.shape[1]))), after


def touching_pairs(cache_dir, theta) -> list[str]:
    """The bodies the exact meshes find touching at one configuration, sorted, each as
    "kind:name <-> kind:name", leaving out what touches in every configuration."""
    import Pelmora   # noqa: PLC0415 (FCL loads only when a check runs)

    exact = Pelmora.Pelmora(cache_dir, allowed_pairs="fixed")
    return [f"{a[0]}:{a[1]} <-> {b[0]}:{b[1]}" for a, b in sorted(exact.query(theta).pairs)]


def touching(cache_dir, trajectory, *, self_collision=False, allowed_pairs=(), step=MOTION_STEP):
    """(rows touching, rows after which the motion touches, {(link, obstacle)}) under the
    exact meshes, leaving out contacts of bodies that never move relative to each other
    and, without self_collision, every contact between two links (with it, the pairs
    the planner allows: link indices)."""
    import Pelmora   # noqa: PLC0415 (FCL loads only when a check runs)

    from cellpath_cli.runs import check_interrupted, signals_deferred

    check_interrupted()   # the mesh library's import swallows Ctrl-C
    q = np.asarray(trajectory, dtype=np.float64)
    with signals_deferred():   # finding the fixed contacts queries the meshes too (see hits)
        exact = Pelmora.Pelmora(str(cache_dir), allowed_pairs="fixed")
    check_interrupted()
    names = list(exact.link_names) if hasattr(exact, "link_names") else None
    allowed = set()
    if names is not None:
        for i, j in allowed_pairs or ():
            if max(i, j) < len(names):
                allowed.add(frozenset((names[i], names[j])))

    def kept(pair):
        kinds = {kind for kind, _ in pair}
        if "env" in kinds:
            return True
        return self_collision and frozenset(name for _, name in pair) not in allowed

    def hits(configs):
        # The mesh library reports contacts through a Python callback that cannot pass
        # an exception on: Ctrl-C is held back while a short chunk runs, and seen
        # between chunks.
        out = {}
        for start in range(0, len(configs), CHUNK):
            with signals_deferred():
                found = exact.query_trajectory(configs[start:start + CHUNK])
            check_interrupted()
            for i, result in found:
                pairs = [p for p in result.pairs if kept(p)]
                if pairs:
                    out[start + i] = pairs
        return out

    at_rows = hits(q)
    check_interrupted()
    between, after = _between(q, step)
    in_motion = hits(between)
    pairs = set()
    for found in (*at_rows.values(), *in_motion.values()):
        for p in found:
            pairs.add(tuple(sorted(f"{kind}:{name}" for kind, name in p)))
    edges = sorted({after[i] for i in in_motion} - set(at_rows) - {r - 1 for r in at_rows})
    return sorted(at_rows), edges, pairs


def contacts_line(cache_dir, trajectory, *, self_collision=False, allowed_pairs=(), step=MOTION_STEP):
    """One line naming what of the plan touches under the exact meshes, or None."""
    rows, edges, pairs = touching(cache_dir, trajectory, self_collision=self_collision,
                                  allowed_pairs=allowed_pairs, step=step)
    if not rows and not edges:
        return None
    where = []
    if rows:
        where.append(f"row{'s' if len(rows) > 1 else ''} {_ranges(rows)}")
    if edges:
        where.append("the motion after row" + ("s " if len(edges) > 1 else " ") + _ranges(edges))
    shown = sorted(pairs)[:SHOWN_PAIRS]
    what = ", ".join(" with ".join(p) for p in shown) + (f" and {len(pairs) - len(shown)} more" if len(pairs) > len(shown) else "")
    verb = "touches" if len(rows) + len(edges) == 1 else "touch"
    return (f"Exact meshes: {' and '.join(where)} of the saved trajectory {verb} ({what}); "
            "the voxel test leaves millimetres unproven, --clearance METRES proves a gap")
