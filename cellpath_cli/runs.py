"""What lets a run that writes into a cache be interrupted, run beside another and
trusted afterwards.

- Interrupts: while a command runs, SIGINT raises KeyboardInterrupt and SIGTERM
  `Terminated` (a KeyboardInterrupt too), and the first one is remembered, so one
  that a library swallows still stops the run before it writes anything.
- One run at a time: `cache_lock` holds an advisory lock on the cache directory
  itself (nothing is created in it, so a read-only cache needs none); a second run
  waits for the first and says so in one line.
- One run, one set of files: `Outputs` writes every file of a run to a temporary
  name beside its target, then renames them all into place in one step with
  SIGINT and SIGTERM held back, removes the files that no longer belong, and
  writes the run record (RunRecord.json) last.  A failed or interrupted run
  leaves the cache as it was.
- Readers: `mixed_outputs` names the files that were not written by the run the
  record describes, for a one-line warning.
"""
from __future__ import annotations

import contextlib
import datetime
import hashlib
import json
import os
import re
import shutil
import signal
import sys
import tempfile
import threading
from pathlib import Path

RECORD = "RunRecord.json"
# The files a planning run writes, and the inputs its record names by checksum.
TRAJECTORY = "JointAnglesToTravelAlong.npy"
TIMED = ("TimedTrajectory.npz", "TimedTrajectory.csv")
INPUT_PATTERN = re.compile(r"meta\.json|ScrewAxis\.npy|JointLimits\.npy|WaypointJointAngles\.npy"
                           r"|LinearSegments\.npz|ToolTransform\.npy|link_\d+\.npz|env_(?!meshes\.npz$).+\.npz")
# Temporary files of writers that put files in place by renaming (here and the
# modules' own whole-file writes): .NAME.PID.THREAD.tmp
TEMPORARY = re.compile(r"\.(.+)\.(\d+)\.(\d+)\.tmp")

SIGTERM = getattr(signal, "SIGTERM", None)
_SIGNALS = tuple(s for s in (getattr(signal, "SIGINT", None), SIGTERM) if s)
_HELD = _SIGNALS + ((signal.SIGALRM,) if hasattr(signal, "SIGALRM") else ())   # with the repeats


class Terminated(KeyboardInterrupt):
    """SIGTERM, stopping a command as Ctrl-C does."""


_received: int | None = None   # the first interrupt of the command now running
_committed = False   # whether the command now running has put its files in place


REPEAT = 0.25   # seconds between repeats of an interrupt that has not stopped the run yet


def _interrupt():
    raise Terminated() if _received == SIGTERM else KeyboardInterrupt()


def _on_signal(signum, frame):
    global _received
    if _received is None:
        _received = signum
        # Libraries that catch every exception (optional imports, mesh loaders)
        # swallow the first one: it is raised again every REPEAT seconds until
        # something lets it through.
        if hasattr(signal, "setitimer"):
            with contextlib.suppress(OSError, ValueError):
                signal.signal(signal.SIGALRM, lambda *_: _interrupt())
                signal.setitimer(signal.ITIMER_REAL, REPEAT, REPEAT)
    _interrupt()


def _stop_repeating():
    if hasattr(signal, "setitimer"):
        with contextlib.suppress(OSError, ValueError):
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, signal.SIG_DFL)


def received() -> int | None:
    """The signal number of the interrupt this command received, caught by someone or not."""
    return _received


def committed() -> bool:
    """Whether this command has put a run's files in place (Outputs.commit)."""
    return _committed


@contextlib.contextmanager
def interrupts_seen(restore=True):
    """For one command's life (on the main thread): SIGINT and SIGTERM raise, and are
    remembered so that `check_interrupted` raises again what a library swallowed.
    Afterwards the previous handlers come back, or (restore false: a process that is
    about to exit) both signals are ignored."""
    global _received, _committed
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    _received = None
    _committed = False
    previous = {}
    alarm = signal.getsignal(signal.SIGALRM) if hasattr(signal, "SIGALRM") else None
    for s in _SIGNALS:
        try:
            previous[s] = signal.signal(s, _on_signal)
        except (OSError, ValueError):
            pass
    try:
        yield
    finally:
        if _received is not None:
            _stop_repeating()
            if alarm is not None:
                with contextlib.suppress(OSError, ValueError, TypeError):
                    signal.signal(signal.SIGALRM, alarm)
        _received = None   # the command is over: its interrupt stops nothing else
        for s, handler in previous.items():
            with contextlib.suppress(OSError, ValueError, TypeError):
                signal.signal(s, handler if restore else signal.SIG_IGN)


def ignore_interrupts():
    """Further SIGINT and SIGTERM ignored, while a stopped command says its last line."""
    _stop_repeating()
    for s in _SIGNALS:
        with contextlib.suppress(OSError, ValueError):
            signal.signal(s, signal.SIG_IGN)


def check_interrupted():
    """Raise the interrupt this command received, if it got lost on the way."""
    if _received is not None:
        _interrupt()


@contextlib.contextmanager
def signals_deferred():
    """SIGINT, SIGTERM and the interrupt's repeats only noted while the body runs, and
    delivered again after it: tidying up after an error is not cut short, and code that
    calls back into Python where an exception cannot pass (the mesh library's contact
    callbacks) never sees one.  The interpreter runs signal handlers on the main thread
    whichever thread the signal reached, so the handlers are swapped, not the mask."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    noted = []
    previous = {}
    for s in _HELD:
        with contextlib.suppress(OSError, ValueError):
            previous[s] = signal.signal(s, lambda signum, frame: noted.append(signum))
    try:
        yield
    finally:
        for s, handler in previous.items():
            with contextlib.suppress(OSError, ValueError, TypeError):
                signal.signal(s, handler)
        for s in dict.fromkeys(noted):   # each once, in order
            if callable(previous.get(s)) or (previous.get(s) == signal.SIG_DFL and s in _SIGNALS):
                signal.raise_signal(s)


@contextlib.contextmanager
def signals_held():
    """The body runs whole or not at all: an interrupt this command received (caught
    by someone or not) is raised first, one that comes meanwhile after it."""
    check_interrupted()
    with signals_deferred():
        yield


# --------------------------------------------------------------------------- the lock

_held = threading.local()


@contextlib.contextmanager
def cache_lock(cache_dir, who: str, say=None):
    """Hold the lock of `cache_dir` for the body.  While another run holds it, says
    "<who>: waiting for another run on <dir> to finish" once and waits.  A directory
    that does not exist or cannot be opened, or a system without flock, goes unlocked."""
    try:
        import fcntl
    except ImportError:
        yield
        return
    key = os.path.realpath(cache_dir)
    held = getattr(_held, "dirs", None)
    if held is None:
        held = _held.dirs = {}
    if key in held:   # this thread holds it already (a run inside a run)
        held[key] += 1
        try:
            yield
        finally:
            held[key] -= 1
        return
    try:
        fd = os.open(key, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        yield
        return
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            (say or _stderr)(f"{who}: waiting for another run on {cache_dir} to finish")
            fcntl.flock(fd, fcntl.LOCK_EX)
        except OSError:
            pass   # a file system without locks
        held[key] = 1
        try:
            remove_litter(cache_dir)
            yield
        finally:
            del held[key]
    finally:
        os.close(fd)


def _stderr(line):
    sys.stdout.flush()
    print(line, file=sys.stderr, flush=True)


def _alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


def remove_litter(cache_dir):
    """Remove the temporary files that writers killed mid-write left in `cache_dir`
    (their process is gone); the caller holds the cache's lock."""
    with contextlib.suppress(OSError):
        for entry in os.scandir(cache_dir):
            m = TEMPORARY.fullmatch(entry.name)
            if m and not _alive(int(m.group(2))):
                with contextlib.suppress(OSError):
                    if entry.is_dir(follow_symlinks=False):
                        shutil.rmtree(entry.path)
                    else:
                        os.unlink(entry.path)


# --------------------------------------------------------------------------- the outputs

def _digest(path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as fh:
        for block in iter(lambda: fh.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def _version() -> str:
    try:
        from importlib.metadata import version
        return version("cellpath")
    except Exception:   # not installed (a build tree)
        return "unknown"


def input_digests(cache_dir) -> dict:
    """Checksums of the cache files a plan reads: meshes, kinematics, waypoints, straight moves."""
    out = {}
    with contextlib.suppress(OSError):
        for entry in sorted(os.scandir(cache_dir), key=lambda e: e.name):
            if INPUT_PATTERN.fullmatch(entry.name) and entry.is_file():
                out[entry.name] = _digest(entry.path)
    return out


def write_whole(path, fill, text=False):
    """Write one file whole: fill(fh) writes into a temporary file beside `path` (binary,
    or UTF-8 text with untranslated newlines when `text`), which then replaces `path` in
    one rename.  On any error the temporary file is removed and `path` is as it was.  The
    file gets the mode the umask gives."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=path.parent if str(path.parent) else ".")
    try:
        with (os.fdopen(fd, "w", encoding="utf-8", newline="") if text else os.fdopen(fd, "wb")) as fh:
            fill(fh)
            fh.flush()
            os.fsync(fh.fileno())
        os.chmod(tmp, 0o666 & ~umask())
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
    return path


def umask() -> int:
    """The process's umask (read by setting it and putting it back)."""
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _sync_dir(path):
    with contextlib.suppress(OSError, AttributeError):
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


class Outputs:
    """The files one run puts into a cache, in place together or not at all.

    write(name, fill) writes a file now under a temporary name beside its target
    (fill(fh) gets a binary file); remove(name) marks a file that no longer belongs;
    commit(record) renames every written file into place, removes the marked ones and
    writes `record` (a dict, with the outputs' checksums added) as RunRecord.json,
    last.  Leaving the `with` block without commit, or by an error, removes the
    temporary files: the cache is then as it was.  Files get the mode the umask gives.
    """

    def __init__(self, cache_dir):
        self.dir = Path(cache_dir)
        self.written: dict[str, Path] = {}
        self.removed: list[str] = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.discard()
        return False

    def _temporary(self, name):
        return self.dir / f".{name}.{os.getpid()}.{threading.get_ident()}.tmp"

    def write(self, name: str, fill):
        check_interrupted()
        tmp = self._temporary(name)
        try:
            with open(tmp, "wb") as fh:
                fill(fh)
                fh.flush()
                os.fsync(fh.fileno())
        except BaseException as exc:
            with signals_deferred(), contextlib.suppress(OSError):
                tmp.unlink()
            if isinstance(exc, OSError) and exc.errno is not None and exc.filename in (None, str(tmp)):
                # A full disk says only "[Errno 28]", a read-only one names the temporary
                # file: name the file the run was writing.
                raise type(exc)(exc.errno, exc.strerror, str(self.dir / name)) from None
            raise
        self.written[name] = tmp

    def remove(self, name: str):
        self.removed.append(name)

    def discard(self):
        with signals_deferred():
            for tmp in self.written.values():
                with contextlib.suppress(OSError):
                    tmp.unlink()
            self.written = {}

    def commit(self, record: dict | None = None):
        global _committed
        digests = {name: _digest(tmp) for name, tmp in self.written.items()}
        record_tmp = None
        if record is not None:
            record = dict(record, outputs=digests,
                          time=datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
                          version=_version())
            text = json.dumps(record, indent=1, default=_plain) + "\n"
            self.write(RECORD, lambda fh: fh.write(text.encode()))
            record_tmp = self.written.pop(RECORD)
        with signals_held():
            # The record goes first out of the way, so that a reader never pairs the
            # new files with the previous record, and comes back last.
            with contextlib.suppress(FileNotFoundError):
                if record_tmp is not None:
                    os.unlink(self.dir / RECORD)
            for name, tmp in self.written.items():
                os.replace(tmp, self.dir / name)
            for name in self.removed:
                if name not in self.written:
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(self.dir / name)
            if record_tmp is not None:
                os.replace(record_tmp, self.dir / RECORD)
            self.written = {}
            _committed = True   # a later interrupt finds the new set in place
        _sync_dir(self.dir)


def _plain(value):
    """A numpy number or array as JSON takes it; anything else as its text."""
    for attr in ("tolist", "item"):
        if hasattr(value, attr):
            return getattr(value, attr)()
    return str(value)


def read_record(cache_dir) -> dict | None:
    path = Path(cache_dir) / RECORD
    try:
        record = json.loads(path.read_text())
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None


def mixed_outputs(cache_dir, names) -> str | None:
    """Why the files `names` of `cache_dir` (those that exist) do not all belong to the
    run that RunRecord.json describes, in a few words; None when they do, or when the
    cache holds no record (a cache planned before records were written)."""
    cache = Path(cache_dir)
    record = read_record(cache)
    if record is None:
        return None
    outputs = record.get("outputs") or {}
    inputs = record.get("inputs") or {}
    stray, changed = [], []
    for name in names:
        path = cache / name
        if not path.is_file():
            continue
        try:
            digest = _digest(path)
        except OSError:
            continue
        if name in outputs:
            if outputs[name] != digest:
                stray.append(name)
        elif name in inputs:
            if inputs[name] != digest:
                changed.append(name)
        elif name in (TRAJECTORY, *TIMED):
            stray.append(name)
    if not stray and not changed:
        return None
    parts = []
    if stray:
        parts.append(f"{', '.join(stray)} {'was' if len(stray) == 1 else 'were'} not written by the last run "
                     f"({record.get('command', 'unknown')}, {record.get('time', 'unknown time')}; {RECORD})")
    if changed:
        parts.append(f"{', '.join(changed)} changed since that run planned")
    return "; ".join(parts) + ": plan again to make them one set"


def warn_if_mixed(cache_dir, names, who: str):
    """One line on stderr when the files `names` of the cache are not one run's."""
    why = mixed_outputs(cache_dir, names)
    if why:
        _stderr(f"{who}: warning: {why}")
    return why


def plan_files_read(cache_dir) -> list[str]:
    """The files a reader of a plan looks at: the trajectory, its timing, the waypoints
    and straight moves it went through."""
    return [TRAJECTORY, *TIMED, "WaypointJointAngles.npy", "LinearSegments.npz"]


def command_text(name: str, argv) -> str:
    """The command line as a shell would take it back."""
    import shlex
    return " ".join([name, *(shlex.quote(str(a)) for a in argv)])


def save_plan(cache_dir, trajectory, timed, record: dict):
    """The planner's outputs as one set: the trajectory; the timed files, or none at all
    (those of an earlier plan would not belong to this one); the record, last.
    `timed` is None or (summary, {t, q, qd, qdd}, the CSV's bytes)."""
    import numpy as np

    record = dict(record, inputs=input_digests(cache_dir))
    with Outputs(cache_dir) as out:
        out.write(TRAJECTORY, lambda fh: np.save(fh, trajectory))
        if timed is None:
            for name in TIMED:
                out.remove(name)
        else:
            _, arrays, csv = timed
            out.write(TIMED[0], lambda fh: np.savez(fh, **arrays))
            out.write(TIMED[1], lambda fh: fh.write(csv))
        out.commit(record)
