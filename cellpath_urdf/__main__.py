"""`python -m cellpath_urdf`: the same as the `cellpath-urdf` command."""
import sys

from cellpath_urdf import main

sys.exit(main())
