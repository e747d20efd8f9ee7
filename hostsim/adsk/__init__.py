"""A stand-in for the CAD host's Python API (``adsk.core``, ``adsk.fusion``, ``adsk.doEvents``).

It exists so the CAD-side modules can be run and tested without the host.  It
is never installed: put the directory that holds this package on ``sys.path``
yourself (``sys.path.insert(0, "<repo>/hostsim")``), so that a real host never
picks it up instead of its own ``adsk``.

Designs are usually built from a workcell file with the ``workcell`` module
that sits beside this package.
"""
from . import core, fusion  # noqa: F401  (``import adsk`` makes both reachable, as in the host)


def doEvents() -> None:
    """Let the host process pending events.  The stand-in applies joint changes
    immediately, so this only records the call on the application."""
    core.Application.get()._record("doEvents")
