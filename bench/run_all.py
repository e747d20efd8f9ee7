"""Run every benchmark in this directory (bench_*.py), one after the other."""
import pathlib
import runpy
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
for path in sorted(here.glob("bench_*.py")):
    print(f"=== {path.stem} ===", flush=True)
    runpy.run_path(str(path), run_name="__main__")
    print(flush=True)
