"""The planning context's stored models (.models/ in the cache): read back only while
nothing they were built from has changed, answering exactly as the models built from
the meshes do; any file that does not fit is rebuilt, and no file crashes the reader."""
import shutil
import struct

import Brimwell
import Gristane
import numpy as np

import synthetic_cache

BOTH = {"self_collision": True, "clearance": 0.01}
FILES = ("self_collision.bin", "clearance.bin")
# A small obstacle keeps the distance field, and so each rebuild, small.
SMALL_ENV = (("box", (0.3, -0.05, 0.0), (0.4, 0.05, 0.1)),)


def stored(cache):
    return {name: (cache / ".models" / name).read_bytes() for name in FILES
            if (cache / ".models" / name).exists()}


def built_in_memory(cache, tmp_path, **kw):
    """A context on a copy of `cache` that cannot store anything: what building gives."""
    copy = tmp_path / f"copy-{len(list(tmp_path.iterdir()))}"
    shutil.copytree(cache, copy, ignore=shutil.ignore_patterns(".models"))
    (copy / ".models").write_bytes(b"a file where the folder would be")
    ctx = Brimwell.PlanningContext(copy, **kw)
    assert (copy / ".models").read_bytes() == b"a file where the folder would be"
    return ctx


def answers(ctx, seed=5, count=200):
    """is_valid at random configurations and edge_valid on short edges from them."""
    rng = np.random.default_rng(seed)
    lo, hi = ctx.limits[:, 0], ctx.limits[:, 1]
    qs = rng.uniform(lo, hi, size=(count, ctx.n_joints))
    steps = rng.normal(scale=0.1, size=(count // 2, ctx.n_joints))
    return ([ctx.is_valid(q) for q in qs],
            [ctx.edge_valid(q, np.clip(q + s, lo, hi)) for q, s in zip(qs, steps)],
            ctx.allowed_pairs)


def test_a_second_context_reads_the_models_and_answers_bit_for_bit_the_same(make_cache, tmp_path):
    cache = make_cache(3).path
    built = Brimwell.PlanningContext(cache, lazy_proof=True, **BOTH)
    files = stored(cache)
    assert sorted(files) == sorted(FILES)
    read = Brimwell.PlanningContext(cache, lazy_proof=True, **BOTH)
    assert stored(cache) == files  # read, not rebuilt
    # The header as the cache page gives it, for tools that check such files.
    for kind, name in enumerate(FILES, start=1):
        data = files[name]
        magic, fmt, order, stored_kind, _, _, _, size, checksum, _ = struct.unpack_from("<8s4I5Q", data)
        assert (magic, order, stored_kind) == (b"cellmodl", 0x01020304, kind) and fmt >= 1
        assert size == len(data) - 64 and checksum == Gristane._xxh64(data[64:])
    expected = answers(built)
    assert any(expected[0]) and not all(expected[0]) and any(expected[1]) and not all(expected[1])
    assert answers(read) == expected
    # The lazy proof's screen runs on the stored coarser covers: the same plan.
    start, goal = np.array([-1.2, 0.9, 0.5]), np.array([1.2, 0.9, 0.5])
    assert not built.edge_valid(start, goal)
    plans = [Brimwell.plan_segment_connect(ctx, start, goal, np.random.default_rng(1))
             for ctx in (built, read)]
    assert len(plans[0]) > 2 and np.array_equal(np.array(plans[0]), np.array(plans[1]))
    # Another clearance builds the clearance's model again (its exact test is sized by
    # it), and leaves the self-collision model alone.
    wider = Brimwell.PlanningContext(cache, clearance=0.03)
    rewritten = stored(cache)
    assert rewritten["self_collision.bin"] == files["self_collision.bin"]
    assert rewritten["clearance.bin"] != files["clearance.bin"]
    assert answers(Brimwell.PlanningContext(cache, clearance=0.03)) == answers(wider)
    assert stored(cache) == rewritten


def test_a_changed_mesh_or_setting_rebuilds_the_models(make_cache, tmp_path):
    cache = make_cache(2).path
    q = np.array([0.0, 0.9])  # leaning towards +x, clear of the wall at x >= 0.35
    Brimwell.PlanningContext(cache, **BOTH)
    assert Brimwell.PlanningContext(cache, **BOTH).is_valid(q)

    def wall_moved():
        synthetic_cache.write_cache(cache, 2, env=(("wall", (0.15, -0.4, 0.0), (0.25, 0.4, 1.2)),))

    def link_mesh():
        with np.load(cache / "link_2.npz") as z:
            np.savez(cache / "link_2.npz", V=z["V"] * [1.0, 1.0, 3.0], F=z["F"])

    changes = [
        # The self-collision model does not look at the environment.
        (wall_moved, {"clearance.bin"}, False),
        (link_mesh, set(FILES), False),
        (lambda: synthetic_cache.write_cache(cache, 2, limits=np.array([[-2.0, 2.0]] * 2)),
         set(FILES), True),
        (lambda: synthetic_cache.write_cache(
            cache, 2, base_pose=synthetic_cache.transform(p=(0.05, 0.0, 0.0))), set(FILES), True),
    ]
    for change, rebuilt, valid in changes:
        before = stored(cache)
        change()
        ctx = Brimwell.PlanningContext(cache, **BOTH)
        after = stored(cache)
        assert {name for name in FILES if after[name] != before[name]} == rebuilt, change
        assert ctx.is_valid(q) == valid, change
    read = Brimwell.PlanningContext(cache, **BOTH)
    assert stored(cache) == after and answers(read) == answers(ctx)


def _flip(data):
    b = bytearray(data)
    b[len(b) // 2] ^= 0x10
    return bytes(b)


DAMAGE = {
    "a flipped payload bit": _flip,
    "cut short": lambda data: data[:-1],
    "a byte appended": lambda data: data + b"\0",
    "empty": lambda data: b"",
    "another version of the format": lambda data: data[:8] + b"\x63" + data[9:],
}


def test_damaged_foreign_and_unreadable_files_are_rebuilt(make_cache, tmp_path):
    cache = make_cache(2, env=SMALL_ENV).path
    expected = answers(Brimwell.PlanningContext(cache, **BOTH))
    good = stored(cache)
    cases = [(name, damage, FILES[k % 2]) for k, (name, damage) in enumerate(DAMAGE.items())]
    cases.append(("the other model's file", lambda data: good["clearance.bin"], FILES[0]))
    # What a writer killed half-way left behind goes with the next write.
    litter = cache / ".models" / ".clearance.bin.999999999.1.tmp"
    litter.write_bytes(good["clearance.bin"][:1000])
    for name, damage, target in cases:
        (cache / ".models" / target).write_bytes(damage(good[target]))
        ctx = Brimwell.PlanningContext(cache, **BOTH)
        assert stored(cache) == good, name  # rebuilt, exactly as before
    assert sorted(p.name for p in (cache / ".models").iterdir()) == sorted(FILES)
    assert answers(ctx) == expected
    # A folder where the file would be: built in memory, no error; a folder that cannot
    # be made either.
    (cache / ".models" / FILES[1]).unlink()
    (cache / ".models" / FILES[1]).mkdir()
    assert answers(Brimwell.PlanningContext(cache, **BOTH)) == expected
    assert answers(built_in_memory(cache, tmp_path, **BOTH)) == expected


def _structure(payload, rng):
    """Offsets of 4-byte words in `payload` likely to hold what the loader must check:
    the first counts, leaves' child links (-1, -1) and small counts or indices."""
    words = np.frombuffer(payload[: len(payload) // 4 * 4], dtype="<i4")
    leaves = np.flatnonzero((words[:-1] == -1) & (words[1:] == -1))
    small = np.flatnonzero((words > 0) & (words < 1 << 16))
    picks = [*rng.choice(leaves, 2, replace=False), *rng.choice(small, 1, replace=False)]
    return [0, 4, 16, *(4 * k for k in picks)]


def test_files_with_a_valid_checksum_but_bad_sizes_or_indices_never_crash(make_cache):
    cache = make_cache(2, env=SMALL_ENV).path
    Brimwell.PlanningContext(cache, **BOTH)
    good = stored(cache)
    rng = np.random.default_rng(7)
    for target in FILES:
        header, payload = good[target][:64], good[target][64:]
        for k, at in enumerate(_structure(payload, rng)):
            bad = bytearray(payload)
            value = struct.unpack_from("<i", bad, at)[0]
            struct.pack_into("<i", bad, at, [value + 1, 0x7FFFFFFF, 0, value - 1][k % 4])
            checksum = struct.pack("<Q", Gristane._xxh64(bytes(bad)))
            (cache / ".models" / target).write_bytes(header[:48] + checksum + header[56:] + bad)
            ctx = Brimwell.PlanningContext(cache, **BOTH)
            answers(ctx, count=40)  # whatever the file made of them, the queries run
    # A header that announces more than the file holds.
    header, payload = good[target][:64], good[target][64:]
    (cache / ".models" / target).write_bytes(header[:40] + struct.pack("<Q", 1 << 62) + header[48:]
                                             + payload)
    Brimwell.PlanningContext(cache, **BOTH)
    assert stored(cache)[target] == good[target]


def test_the_payload_checksum_is_xxh64():
    for data, expected in [(b"", 0xEF46DB3751D8E999), (b"a", 0xD24EC4F1A98C6E5B),
                           (b"Nobody inspects the spammish repetition", 0xFBCEA83C8A378BF1)]:
        assert Gristane._xxh64(data) == expected
