"""Pictures of a capture cache, as the `cellpath-render` command draws them:

    python examples/render.py CACHE [--out DIR] [--gif] [--html]

The drawing functions live in cellpath_cli.pictures (matplotlib) and cellpath_cli.html_view
(the 3-D page); scripts that import this file get them here too.
"""
import sys

from cellpath_cli.pictures import (CacheScene, animation_gif, joint_plot, timing_plot,  # noqa: F401
                                   waypoint_rows, workcell_picture)

if __name__ == "__main__":
    from cellpath_cli.render import main
    sys.exit(main())
