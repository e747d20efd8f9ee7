"""Progress bars for the slow steps of the commands (tqdm): drawn on standard error when
both standard output and standard error are a terminal, silent otherwise, so logs and
pipes see only the commands' own lines."""
from __future__ import annotations

import sys

from tqdm import tqdm


def on_terminal() -> bool:
    def tty(stream):
        try:
            return stream is not None and stream.isatty()
        except (AttributeError, ValueError):
            return False
    return tty(sys.stdout) and tty(sys.stderr)


def progress(iterable=None, *, total=None, desc=None, unit="it", delay=0.0):
    """A tqdm bar over `iterable` (or updated by hand up to `total`), erased when it ends.
    `delay` seconds pass before it appears, so quick work shows nothing."""
    return tqdm(iterable, total=total, desc=desc, unit=unit, file=sys.stderr, leave=False,
                delay=delay, disable=not on_terminal(), dynamic_ncols=True)


class StepBar:
    """A bar the planner drives from C++ (its loops and slow builds): `show` says how much
    is done, `step` counts one more part; a note, when given, goes after the bar."""

    def __init__(self, total, desc, unit):
        self._bar = progress(total=total, desc=desc, unit=unit)

    def show(self, done, note=""):
        self._bar.n = done
        if note:
            self._bar.set_postfix_str(note, refresh=False)
        self._bar.refresh()

    def step(self, note=""):
        if note:
            self._bar.set_postfix_str(note, refresh=False)
        self._bar.update(1)

    def close(self):
        self._bar.close()
