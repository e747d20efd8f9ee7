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
