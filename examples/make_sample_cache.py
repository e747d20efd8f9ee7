"""Capture the bundled sample workcell into a cache directory, through the
stand-in host, exactly as the capture would run inside the CAD application.

    python examples/make_sample_cache.py [OUTPUT_DIR]

OUTPUT_DIR defaults to examples/cache (emptied first).  The cache holds the arm's
link meshes, the environment, the screw list, the joint limits and the joint
vectors of the workcell's targets ("inicomp", "inicomp2"), ready for
Brimwell.ProvideRRTPlan and the viewers.  Needs the CAD-side modules
(kinematics, Quennet, Mirelock) importable.
"""
import argparse
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_OUTPUT = ROOT / "examples" / "cache"


def make_sample_cache(output_dir=DEFAULT_OUTPUT, source=None):
    """Load the sample workcell (or `source`) into the stand-in host and capture
    it into `output_dir`.  Returns the loaded workcell."""
    hostsim = str(ROOT / "hostsim")
    if hostsim not in sys.path:
        sys.path.insert(0, hostsim)
    import workcell
    import Mirelock

    cell = workcell.load_into_application() if source is None else workcell.load_into_application(source)
    Mirelock.ClearCacheAndInitializeMotionPlanner(**cell.capture_arguments(pathlib.Path(output_dir)))
    return cell


def main(argv=None):
    """Command line: capture the sample workcell and print what was written."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output_dir", nargs="?", default=str(DEFAULT_OUTPUT),
                        help="cache directory to (re)write (default: examples/cache)")
    args = parser.parse_args(argv)
    make_sample_cache(args.output_dir)
    out = pathlib.Path(args.output_dir)
    for path in sorted(out.iterdir()):
        print(f"{path.name:32s} {path.stat().st_size:10d} bytes")
    print(f"sample cache written to {out.resolve()}")


if __name__ == "__main__":
    main()
