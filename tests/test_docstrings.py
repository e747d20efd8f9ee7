"""Every public function and class of every module explains itself (editors show
these docstrings, and the generated stubs carry them)."""
import inspect
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "hostsim"))

MODULES = ["Tovik", "Gristane", "Sallowmere", "Brimwell", "Pelmora", "Lumbrel", "Velquist",
           "Kestrune", "Wendacor", "kinematics", "Quennet", "Mirelock", "Dorvanta", "cellpath_urdf"]


@pytest.mark.parametrize("name", MODULES)
def test_public_names_have_docstrings(name):
    mod = __import__(name)
    assert (mod.__doc__ or "").strip(), f"{name} has no module docstring"
    missing = []
    for attr in dir(mod):
        if attr.startswith("_"):
            continue
        obj = getattr(mod, attr)
        if inspect.ismodule(obj) or not callable(obj):
            continue
        if not (getattr(obj, "__doc__", None) or "").strip():
            missing.append(attr)
    assert not missing, f"{name}: no docstring for {missing}"
