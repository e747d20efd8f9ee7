"""Tovik: product-of-exponentials kinematics against plain numpy formulas."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import Tovik as K


def np_skew(w):
    return np.array([[0.0, -w[2], w[1]], [w[2], 0.0, -w[0]], [-w[1], w[0], 0.0]])


def np_exp(screw, theta):
    W = np_skew(screw[:3])
    W2 = W @ W
    R = np.eye(3) + np.sin(theta) * W + (1.0 - np.cos(theta)) * W2
    Gm = np.eye(3) * theta + (1.0 - np.cos(theta)) * W + (theta - np.sin(theta)) * W2
    T = np.eye(4)
    T[:3, :3] = R
    T[:3, 3] = Gm @ screw[3:]
    return T


def np_fk(slist, homes, thetas):
    running, out = np.eye(4), []
    for i in range(slist.shape[1]):
        running = running @ np_exp(slist[:, i], thetas[i])
        out.append(running @ homes[i])
    return out


def random_transform(rng):
    q = rng.normal(size=4)
    q /= np.linalg.norm(q)
    w, x, y, z = q
    T = np.eye(4)
    T[:3, :3] = [[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                 [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                 [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]]
    T[:3, 3] = rng.normal(size=3)
    return T


def revolute(w, q):
    w = np.asarray(w, dtype=float)
    return np.concatenate([w, -np.cross(w, q)])


def test_skew_is_the_cross_product_matrix():
    a, b = np.array([0.3, -1.2, 2.0]), np.array([-0.7, 0.4, 1.1])
    S = K.skew(a)
    assert S.dtype == np.float64 and S.shape == (3, 3)
    np.testing.assert_array_equal(S, np_skew(a))
    np.testing.assert_allclose(S @ b, np.cross(a, b), rtol=0, atol=1e-15)
    np.testing.assert_array_equal(K.skew([1, 2, 3]), [[0, -3, 2], [3, 0, -1], [-2, 1, 0]])


def test_adjoint_block_structure_and_composition():
    rng = np.random.default_rng(0)
    T1, T2 = random_transform(rng), random_transform(rng)
    np.testing.assert_array_equal(K.adjoint(np.eye(4)), np.eye(6))
    Ad = K.adjoint(T1)
    R, p = T1[:3, :3], T1[:3, 3]
    np.testing.assert_array_equal(Ad[:3, :3], R)
    np.testing.assert_array_equal(Ad[3:, 3:], R)
    np.testing.assert_array_equal(Ad[:3, 3:], 0)
    np.testing.assert_allclose(Ad[3:, :3], np_skew(p) @ R, rtol=0, atol=1e-14)
    np.testing.assert_allclose(K.adjoint(T1 @ T2), K.adjoint(T1) @ K.adjoint(T2), rtol=0, atol=1e-12)


def test_exp_of_revolute_and_prismatic_screws():
    T = K.exp_se3(np.array([0, 0, 1, 0, 0, 0.0]), np.pi / 2)
    np.testing.assert_allclose(T[:3, :3] @ [1, 0, 0], [0, 1, 0], atol=1e-15)
    np.testing.assert_array_equal(T[3], [0, 0, 0, 1])
    # An axis through q keeps q fixed.
    q = np.array([0.4, -0.2, 1.0])
    S = revolute([0, 1, 0], q)
    T = K.exp_se3(S, 0.9)
    np.testing.assert_allclose(T[:3, :3] @ q + T[:3, 3], q, atol=1e-15)
    # Prismatic: pure translation theta * v.
    T = K.exp_se3(np.array([0, 0, 0, 0.6, 0.0, 0.8]), 2.5)
    np.testing.assert_array_equal(T[:3, :3], np.eye(3))
    np.testing.assert_allclose(T[:3, 3], [1.5, 0, 2.0], atol=1e-15)
    rng = np.random.default_rng(1)
    for _ in range(20):
        w = rng.normal(size=3)
        S = np.concatenate([w / np.linalg.norm(w), rng.normal(size=3)])
        t = rng.uniform(-4, 4)
        np.testing.assert_allclose(K.exp_se3(S, t), np_exp(S, t), rtol=0, atol=1e-13)


def test_forward_kinematics_matches_numpy_and_accepts_lists_and_arrays():
    rng = np.random.default_rng(2)
    n = 6
    slist = np.column_stack([revolute(ax, rng.normal(size=3)) for ax in np.eye(3)[[2, 1, 1, 0, 1, 2]]])
    slist[:, 3] = [0, 0, 0, 0, 0, 1]  # one prismatic joint
    homes = np.stack([random_transform(rng) for _ in range(n)])
    for thetas in (rng.uniform(-3, 3, n), rng.uniform(-3, 3, n + 3)):
        expect = np_fk(slist, homes, thetas)
        for h in (homes, list(homes), np.concatenate([homes, homes[:2]])):
            got = K.forward_kinematics(slist, h, thetas)
            assert isinstance(got, list) and len(got) == n
            for a, b in zip(got, expect):
                assert a.dtype == np.float64 and a.shape == (4, 4)
                np.testing.assert_allclose(a, b, rtol=0, atol=1e-12)
    zeros = K.forward_kinematics(slist, homes, np.zeros(n))
    assert all(np.array_equal(a, b) for a, b in zip(zeros, homes))
    assert K.forward_kinematics(np.zeros((6, 0)), [], []) == []


def test_prismatic_joint_moves_itself_and_every_later_link():
    slist = np.column_stack([[0, 0, 0, 1.0, 0, 0], revolute([0, 0, 1], [0, 0, 0])])
    homes = [np.eye(4), np.eye(4)]
    out = K.forward_kinematics(slist, homes, [0.3, 0.0])
    for T in out:
        np.testing.assert_allclose(T[:3, 3], [0.3, 0, 0], atol=1e-15)
        np.testing.assert_array_equal(T[:3, :3], np.eye(3))


@pytest.mark.parametrize("call, exc", [
    (lambda: K.forward_kinematics(np.zeros((5, 2)), np.tile(np.eye(4), (2, 1, 1)), [0, 0]), ValueError),
    (lambda: K.forward_kinematics(np.zeros((6, 2)), np.tile(np.eye(4), (1, 1, 1)), [0, 0]), IndexError),
    (lambda: K.forward_kinematics(np.zeros((6, 2)), np.tile(np.eye(4), (2, 1, 1)), [0]), IndexError),
    (lambda: K.forward_kinematics(np.zeros((6, 2)), np.zeros((2, 3, 3)), [0, 0]), ValueError),
    (lambda: K.forward_kinematics(np.zeros((6, 2)), np.tile(np.eye(4), (2, 1, 1)), [[0, 0]]), ValueError),
    (lambda: K.forward_kinematics(np.zeros((6, 2)), np.tile(np.eye(4), (2, 1, 1)), [0, np.nan]), ValueError),
    (lambda: K.forward_kinematics(np.full((6, 1), np.inf), [np.eye(4)], [0]), ValueError),
    (lambda: K.forward_kinematics(np.zeros((6, 2)), [np.eye(4), np.eye(3)], [0, 0]), ValueError),
    (lambda: K.skew([1, 2]), IndexError),
    (lambda: K.skew([[1, 2, 3]]), ValueError),
    (lambda: K.adjoint(np.eye(3)), ValueError),
    (lambda: K.exp_se3(np.zeros(5), 0.1), ValueError),
    (lambda: K.exp_se3(["a"] * 6, 0.1), ValueError),
])
def test_bad_input_raises(call, exc):
    with pytest.raises(exc):
        call()


@settings(max_examples=150, deadline=None)
@given(
    slist=hnp.arrays(np.float64, hnp.array_shapes(min_dims=0, max_dims=3, max_side=7),
                     elements=st.floats(-1e3, 1e3) | st.sampled_from([np.nan, np.inf])),
    homes=hnp.arrays(np.float64, hnp.array_shapes(min_dims=0, max_dims=4, max_side=6), elements=st.floats(-1e3, 1e3)),
    thetas=hnp.arrays(np.float64, hnp.array_shapes(min_dims=0, max_dims=2, max_side=8), elements=st.floats(-10, 10)),
)
def test_random_shapes_raise_python_errors_or_agree_with_numpy(slist, homes, thetas):
    try:
        got = K.forward_kinematics(slist, homes, thetas)
    except (ValueError, IndexError):
        return
    n = slist.shape[1]
    expect = np_fk(slist, homes, thetas)
    assert len(got) == n
    for a, b in zip(got, expect):
        np.testing.assert_allclose(a, b, rtol=1e-9, atol=1e-6)
