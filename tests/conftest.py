"""Shared fixtures: synthetic capture caches written by examples/synthetic_cache.py."""
import itertools
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
# Plain numpy versions of the native work, which the tests compare with.
sys.path.insert(0, str(ROOT / "tests" / "support"))

import synthetic_cache  # noqa: E402


@pytest.fixture
def make_cache(tmp_path):
    """Factory: make_cache(**kwargs) writes a fresh cache directory under tmp_path.

    Takes the keyword arguments of synthetic_cache.write_cache and returns its
    SyntheticCache; every call gets its own directory.
    """
    counter = itertools.count()

    def make(n_joints=6, **kwargs):
        return synthetic_cache.write_cache(tmp_path / f"cache{next(counter)}", n_joints, **kwargs)

    return make


@pytest.fixture
def arm_cache(make_cache):
    """The default six-joint arm beside one wall, base at the origin."""
    return make_cache()


@pytest.fixture(scope="session")
def shared_arm_cache(tmp_path_factory):
    """A six-joint arm cache written once per session (read-only use: do not modify it)."""
    return synthetic_cache.write_cache(tmp_path_factory.mktemp("shared") / "Cache", 6, waypoints=True)
