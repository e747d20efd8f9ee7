"""The console commands.

Each command runs its module's `main` and ends a user error (a missing cache or
file, a bad option value, a wrong number of angles, a failed plan) with one line
on standard error, ``NAME: error: ...``, and exit status 1, instead of a
traceback.  The modules' own functions, `main` included, raise exactly what they
always raised; only the commands translate.  ``CELLPATH_TRACEBACK=1`` shows the
full traceback instead.
"""
from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import re
import sys
import zipfile
from pathlib import Path

# Which command makes each file of a cache, said when it is missing.
MAKERS = {
    "meta.json": "is not a capture cache: cellpath-urdf makes one from a URDF, the capture in the "
                 "CAD host from a design; name the cache with --cache-dir DIR or CELLPATH_CACHE_DIR",
    "JointAnglesToTravelAlong.npy": "holds no planned trajectory yet: Brimwell --cache-dir DIR plans one",
    "WaypointJointAngles.npy": "holds no waypoints: cellpath-task (from tool poses), cellpath-urdf "
                               "--waypoints FILE, or the capture with targets, writes them",
    "CollisionWaypoint.npz": "holds no colliding waypoint (Brimwell saves one only when a waypoint is "
                             "in collision): show a configuration with --theta A,B,... or --random",
    "TimedTrajectory.npz": "holds no timed trajectory: Brimwell --timed --max-acceleration A writes one",
}
INCOMPLETE = "is incomplete: capture it again (cellpath-urdf or the CAD host's capture)"

# What a command may end with when the user's input or files are at fault.
USER_ERRORS = (OSError, ValueError, RuntimeError, KeyError, AssertionError, EOFError,
               zipfile.BadZipFile)


class UsageError(Exception):
    """A bad option value, reported by the command's argument parser."""


def one_line(text: str) -> str:
    return " ".join(str(text).split())


def message(exc: BaseException) -> str:
    """The one line that says what went wrong and, where it can, what to do."""
    if isinstance(exc, FileNotFoundError) and exc.filename:
        path = Path(os.fsdecode(exc.filename))
        folder = path.parent
        if path.is_symlink():
            return f"{path} is a link to {os.readlink(path)}, which does not exist: restore that file or link to another"
        if path.name in MAKERS:
            return f"{folder} {MAKERS[path.name]} (no {path.name})"
        if (folder / "meta.json").is_file():
            return f"{folder} {INCOMPLETE} (no {path.name})"
        if not folder.is_dir():
            return f"no such directory: {folder}"
        return f"no such file: {path}"
    if isinstance(exc, OSError) and exc.strerror and exc.filename:
        return f"{exc.strerror}: {os.fsdecode(exc.filename)}"
    if isinstance(exc, KeyError):
        text = str(exc.args[0]) if exc.args else ""
        if text.endswith("array") and ".npz has no " in text:
            return f"{text}: the mesh archive is incomplete; capture the cache again (cellpath-urdf or the CAD host's capture)"
        return f"missing key {exc}: the cache's meta.json is malformed"
    text = one_line(exc) or type(exc).__name__
    # The grid's own advice names arguments of Gristane.build_env_grid, which no command has.
    grid_advice = "; use a larger pitch, a smaller pad or explicit bounds"
    if text.endswith(grid_advice):
        text = (text[: -len(grid_advice)] + ": the environment's meshes reach too far for the planner's "
                "1 cm cells; check that the env_*.npz meshes are in metres and hold only the workcell")
    return text


@contextlib.contextmanager
def usage_errors():
    """argparse's errors raised as UsageError instead of a usage text and exit 2, for the
    life of one command."""
    original = argparse.ArgumentParser.error

    def error(parser, text):
        raise UsageError(f"{text} (see {parser.prog} --help)")

    argparse.ArgumentParser.error = error
    try:
        yield
    finally:
        argparse.ArgumentParser.error = original


# A value that starts with a minus sign and a digit (or a point): a number, or
# a comma-separated list of numbers, never an option.
_NEGATIVE_VALUE = re.compile(r"^-(\d|\.\d|inf\b|nan\b)", re.IGNORECASE)


def negative_values_joined(argv, options):
    """argv with `OPT -0.3,0.2,...` written `OPT=-0.3,0.2,...` for each of `options`.

    argparse takes a value that starts with '-' for an option unless it is a single
    number, so `--start -0.3,0.2` would fail with "expected one argument"."""
    argv = list(argv)
    out, i = [], 0
    while i < len(argv):
        token = argv[i]
        if token == "--":
            out.extend(argv[i:])
            break
        if token in options and i + 1 < len(argv) and _NEGATIVE_VALUE.match(argv[i + 1]):
            out.append(f"{token}={argv[i + 1]}")
            i += 2
            continue
        out.append(token)
        i += 1
    return out


def one_cache(parser, positional, option):
    """The cache of a command that takes it as CACHE or as --cache-dir DIR (or from
    CELLPATH_CACHE_DIR when neither is given)."""
    if positional is not None and option is not None and Path(positional) != Path(option):
        parser.error(f"the cache is given twice ({positional} and --cache-dir {option}): give one")
    chosen = positional if positional is not None else option
    if chosen is None:
        chosen = os.environ.get("CELLPATH_CACHE_DIR") or None
    if chosen is None:
        parser.error("no cache: give it as CACHE or --cache-dir DIR")
    return Path(chosen)


def run(name: str, entry, argv=None) -> int:
    """Run entry(argv) as the command `name`; its return value (None is 0) is the exit status."""
    argv_given = argv is not None
    if argv is None:
        argv = sys.argv[1:]
    sys.argv[0] = name   # the usage lines of parsers that take their name from it
    from cellpath_cli import runs

    # A console script (no argv given) ignores a signal that comes after its last
    # line; a caller in the same process gets its own handlers back.
    with runs.interrupts_seen(restore=argv_given):
        if os.environ.get("CELLPATH_TRACEBACK"):
            return entry(argv) or 0
        try:
            with usage_errors():
                status = entry(argv)
            runs.check_interrupted()   # one that something caught on the way
        except BaseException as exc:
            # Whatever an interrupt turned into on its way up (a library's own error,
            # a failed import) is the interrupt.
            if isinstance(exc, KeyboardInterrupt) or runs.received() is not None:
                runs.ignore_interrupts()   # a second Ctrl-C must not turn the one line into a traceback
                sys.stdout.flush()
                terminated = isinstance(exc, runs.Terminated) or runs.received() == runs.SIGTERM
                # One that came while the files were being put in place, or after,
                # stops a run whose new files are all there: the line says so.
                late = " after writing its files" if runs.committed() else ""
                print(f"{name}: {'terminated' if terminated else 'interrupted'}{late}", file=sys.stderr)
                return 143 if terminated else 130
            if not isinstance(exc, (UsageError, *USER_ERRORS)):
                raise
            sys.stdout.flush()
            text = message(exc)
            text = text[len(name) + 2:] if text.startswith(f"{name}: ") else text
            print(f"{name}: error: {text}", file=sys.stderr)
            return 1
        return status or 0


def _module_main(module: str):
    # The module is imported inside the run, so an interrupt while it loads is one too.
    def entry(argv=None):
        return run(module, lambda args: importlib.import_module(module).main(args), argv)
    entry.__name__ = module.lower()
    entry.__doc__ = f"The {module} command."
    return entry


brimwell = _module_main("Brimwell")
pelmora = _module_main("Pelmora")
lumbrel = _module_main("Lumbrel")
velquist = _module_main("Velquist")
kestrune = _module_main("Kestrune")
wendacor = _module_main("Wendacor")


def urdf(argv=None):
    """The cellpath-urdf command."""
    return run("cellpath-urdf", lambda args: importlib.import_module("cellpath_urdf").main(args), argv)


def task(argv=None):
    """The cellpath-task command."""
    return run("cellpath-task", lambda args: importlib.import_module("cellpath_task").main(args), argv)
