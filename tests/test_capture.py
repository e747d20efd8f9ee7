"""The capture cache read the same way by every offline module: one meta.json
reader, one mesh check, one error for a face index outside its mesh."""
import json

import numpy as np
import pytest

import Lumbrel
import Pelmora
import Sallowmere
import Velquist


def _bad_face_index(cache, link=1):
    V, F = cache.link_meshes[link]
    np.savez(cache.path / f"link_{link}.npz", V=V, F=np.where(F == F.max(), len(V), F))


def _raised(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value


def test_a_face_index_outside_its_mesh_is_one_error_everywhere(make_cache):
    cache = make_cache(n_joints=2)
    _bad_face_index(cache)
    path = cache.path / "link_1.npz"
    errors = [_raised(lambda: Sallowmere.RobotEnvironmentHandler(cache.path)),
              _raised(lambda: Pelmora.Pelmora(cache.path)),
              _raised(lambda: Lumbrel.load_mesh(path)),
              _raised(lambda: Velquist.load_mesh(path))]
    assert len({type(e) for e in errors}) == 1, [type(e) for e in errors]
    for e in errors:
        # callers that catch either the index or the value error keep working
        assert isinstance(e, IndexError) and isinstance(e, ValueError)
        assert f"refers to vertex {len(cache.link_meshes[1][0])}" in str(e)


@pytest.mark.parametrize("text", ["[1, 2]", '"links"', "3"])
def test_a_meta_json_that_is_no_object_is_refused_by_every_reader(make_cache, monkeypatch, text):
    cache = make_cache(n_joints=2)
    (cache.path / "meta.json").write_text(text)
    monkeypatch.setattr(Lumbrel, "CACHE_DIR", cache.path)
    for read in (lambda: Sallowmere.RobotEnvironmentHandler(cache.path),
                 lambda: Lumbrel.main([])):
        with pytest.raises(ValueError, match="meta.json must hold a JSON object"):
            read()


def test_lumbrel_scene_places_links_where_the_handler_says_they_are_at_home(make_cache):
    # Lumbrel poses links from meta.json, the handler from its own reading of
    # it: the two readings of one capture must agree.
    cache = make_cache(n_joints=3)
    Lumbrel.CACHE_DIR, saved = cache.path, Lumbrel.CACHE_DIR
    try:
        scene = Lumbrel.build_scene(json.loads((cache.path / "meta.json").read_text()))
    finally:
        Lumbrel.CACHE_DIR = saved
    handler = Sallowmere.RobotEnvironmentHandler(cache.path)
    meta = json.loads((cache.path / "meta.json").read_text())
    for link in meta["links"]:
        pose, _ = scene.graph[link["name"]]
        np.testing.assert_array_equal(pose, handler.initialTransforms[link["index"]])


def _edit_meta(path, change):
    meta = json.loads((path / "meta.json").read_text())
    change(meta)
    (path / "meta.json").write_text(json.dumps(meta))


@pytest.mark.parametrize("change, exc, words", [
    (lambda m: m["links"][1].update(index="1"), ValueError, "link index must be an integer"),
    (lambda m: m["links"][1].update(index=1.0), ValueError, "link index must be an integer"),
    (lambda m: m["links"][1].update(name=7), TypeError, "link name must be a str"),
    (lambda m: m["env"][0].update(name=None), TypeError, "environment name must be a str"),
    (lambda m: m["links"][1].update(home_transform=np.eye(3).tolist()), ValueError, "must be 4x4"),
])
def test_a_malformed_meta_json_entry_is_refused_alike_by_every_reader(make_cache, monkeypatch,
                                                                      change, exc, words):
    # One reader of meta.json: a link index the archives cannot be named by, or
    # a name that is no text, fails the same way in every module, before any
    # archive is opened under a guessed name.
    cache = make_cache(n_joints=2)
    _edit_meta(cache.path, change)
    monkeypatch.setattr(Lumbrel, "CACHE_DIR", cache.path)
    meta = json.loads((cache.path / "meta.json").read_text())
    for read in (lambda: Sallowmere.RobotEnvironmentHandler(cache.path),
                 lambda: Pelmora.Pelmora(cache.path),
                 lambda: Lumbrel.build_scene(meta)):
        with pytest.raises(exc, match=words):
            read()
