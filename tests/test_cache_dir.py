"""Every offline module's default cache directory: next to the module's own file
(or three levels up, lower case, for Velquist and Kestrune), unless
CELLPATH_CACHE_DIR redirects them all at import."""
import json
import os
import pathlib
import subprocess
import sys

NEXT_TO_FILE = ["Sallowmere", "Brimwell", "Pelmora", "Lumbrel", "Wendacor"]
THREE_UP = ["Velquist", "Kestrune"]

PROBE = """
import importlib, json, sys
out = {}
for name in sys.argv[1:]:
    m = importlib.import_module(name)
    out[name] = [str(m.CACHE_DIR), m.__file__]
print(json.dumps(out))
"""


def probe(env_value):
    env = dict(os.environ)
    env.pop("CELLPATH_CACHE_DIR", None)
    if env_value is not None:
        env["CELLPATH_CACHE_DIR"] = env_value
    done = subprocess.run([sys.executable, "-c", PROBE, *NEXT_TO_FILE, *THREE_UP], env=env,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def test_defaults_sit_beside_the_modules():
    for name, (cache, file) in probe(None).items():
        here = pathlib.Path(file).resolve()
        expected = here.parents[2] / "cache" if name in THREE_UP else here.parent / "Cache"
        assert pathlib.Path(cache) == expected, name


def test_one_variable_redirects_every_module(tmp_path):
    target = tmp_path / "my cache"
    for name, (cache, _) in probe(str(target)).items():
        assert pathlib.Path(cache) == target, name
    # an empty value is the same as no value
    for name, (cache, file) in probe("").items():
        assert pathlib.Path(cache) != pathlib.Path(""), name
