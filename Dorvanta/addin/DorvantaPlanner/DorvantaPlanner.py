"""Host add-in: plans the straight-line tool path of the arm ("Base" to
"ToolFlange", joints J1..J6) through the components "inicomp" and "inicomp2"
and back, and animates it in the open design.  The work is done by the
Dorvanta extension module, built for the host's own Python."""
import os
import sys

# The CAD-side modules (kinematics, Quennet, Mirelock, Dorvanta) and numpy are
# installed into lib/ beside this file, so the add-in needs nothing from the
# host's own site-packages.
_LIB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib")
if os.path.isdir(_LIB) and _LIB not in sys.path:
    sys.path.insert(0, _LIB)


def run(context):
    """Called by the host when the add-in is started."""
    try:
        import Dorvanta
    except Exception:  # a missing or mismatched build must not reach the host
        import traceback

        import adsk.core

        adsk.core.Application.get().log("Failed:\n" + traceback.format_exc())
        return
    Dorvanta.run(context)


def stop(context):
    """Called by the host when the add-in is stopped; nothing to release."""
