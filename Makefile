# make test   build the modules into .venv and run the whole suite
# make demo   plan on the bundled sample workcell and write pictures of the plan
# make bench  native code against plain numpy implementations of the same work
# make sample-cache  capture the sample workcell into examples/cache (no planning)
# make wheel  one abi3 wheel for Python 3.12 and later into dist/, built with a 3.12
# make sanitize  the whole suite against an AddressSanitizer + UBSan build of the modules
# make tsan  the planning-on-threads tests against a ThreadSanitizer build of the planner
# make format  rewrite the C++ to .clang-format and the Python to the ruff rules
VENV    ?= .venv
PYTHON  ?= python3
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip
STAMP   := $(VENV)/.installed
EXTRAS  := test,viewer,demo

.PHONY: install test demo bench sample-cache wheel sanitize tsan format clean

# The wheel is built by a 3.12 interpreter, the oldest the stable ABI build
# serves: pyenv's, else python3.12 on PATH; PY312=... names another.
PYENV_ROOT ?= $(HOME)/.pyenv
PY312 ?= $(firstword $(wildcard $(PYENV_ROOT)/versions/3.12.*/bin/python3.12) \
                     $(shell command -v python3.12 2>/dev/null))
WHEEL_VENV ?= .venv-wheel
BUILD_TOOLS := "scikit-build-core>=0.10" "nanobind>=2.4" ninja "cmake>=3.18" "numpy>=1.26" "trimesh>=5.2,<6"

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

# The build tools live in the venv so that rebuilds reuse build/ incrementally.
# pip says nothing while it compiles, so a first build (no build tree of this
# interpreter yet) says what is coming.
install: $(PY)
	$(PIP) install --quiet $(BUILD_TOOLS)
	@tag=$$($(PY) -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")'); \
	if [ -z "$$(ls -d build/$$tag-*/build.ninja 2>/dev/null)" ]; then \
	  echo "First build: compiling the C++ modules (about 5 minutes on 2 cores, quiet meanwhile);"; \
	  echo "  later builds recompile only what changed."; fi
	$(PIP) install --quiet --no-build-isolation ".[$(EXTRAS)]"

# The suite runs on one worker per core (pytest-xdist), four at most: on two
# cores it takes about half as long.  TEST_WORKERS=0 runs it in one process.
TEST_WORKERS ?= $(shell n=$$(nproc 2>/dev/null || echo 1); [ $$n -gt 4 ] && n=4; [ $$n -lt 2 ] && n=0; echo $$n)

test: install
	$(PY) -m pytest -q -n $(TEST_WORKERS)

demo: install
	$(PY) examples/demo.py

# The benchmarks also measure against OMPL, which only they need, and against
# VAMP where its wheel (Python 3.12+) is beside the project: in a venv of its own,
# run as a subprocess by bench_certified.py.
VAMP_WHEEL ?= $(firstword $(wildcard ../shared/peers/vamp_planner-0.6.4-*.whl))
VAMP_VENV  ?= .venv-vamp
bench: EXTRAS := test,viewer,demo,bench
bench: install
	@if [ -z "$(VAMP_WHEEL)" ]; then \
	  echo "make bench: no VAMP wheel in ../shared/peers/; its rows are left out"; \
	elif [ -z "$(PY312)" ]; then \
	  echo "make bench: no Python 3.12 for VAMP (PY312=/path/to/python3.12 names one); its rows are left out"; \
	else \
	  test -x $(VAMP_VENV)/bin/python || "$(PY312)" -m venv $(VAMP_VENV); \
	  $(VAMP_VENV)/bin/python -m pip install --quiet "$(VAMP_WHEEL)" numpy; \
	fi
	$(PY) bench/run_all.py

sample-cache: install
	$(PY) examples/make_sample_cache.py

# Its own venv and build directory (build/cp312-abi3-...), so rebuilds are
# incremental and the development build is left alone.
wheel:
	@if [ -z "$(PY312)" ]; then \
	  echo "make wheel: no Python 3.12 found (looked in $(PYENV_ROOT)/versions/3.12.* and for python3.12 on PATH);" >&2; \
	  echo "  install one, or name it with PY312=/path/to/python3.12" >&2; exit 1; fi
	@"$(PY312)" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null || { \
	  echo "make wheel: $(PY312) is not a working Python 3.12 (PY312=/path/to/python3.12 names another)" >&2; exit 1; }
	@test -x $(WHEEL_VENV)/bin/python || "$(PY312)" -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(WHEEL_VENV)/bin/python -m pip install --quiet $(BUILD_TOOLS)
	rm -f dist/cellpath-*-cp312-abi3-*.whl
	$(WHEEL_VENV)/bin/python -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir dist \
	  -C wheel.py-api=cp312 -C cmake.define.CELLPATH_STABLE_ABI=ON .
	@ls dist/cellpath-*-cp312-abi3-*.whl

# The sanitized modules get a build folder of their own and are put ahead of the
# installed ones on PYTHONPATH.  Python itself is not instrumented, so the gcc
# runtimes are preloaded into it; leak detection is off (the interpreter keeps
# much of what it allocates until exit) and the first report stops the run.
SAN_DIR := build/sanitize
SAN_CC  ?= gcc
sanitize: install
	$(VENV)/bin/cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCELLPATH_SANITIZE=ON >/dev/null
	$(VENV)/bin/cmake --build $(SAN_DIR)
	LD_PRELOAD="$$($(SAN_CC) -print-file-name=libasan.so) $$($(SAN_CC) -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  PYTHONPATH=$(abspath $(SAN_DIR))/out $(PY) -m pytest -q -x -p no:cacheprovider -n $(TEST_WORKERS)

# The modules that plan on threads, built with ThreadSanitizer in a folder of
# their own; the tests that plan on several threads at once (lazy proofs prove
# a path's edges on two) run against them.
TSAN_DIR := build/tsan
tsan: install
	$(VENV)/bin/cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCELLPATH_TSAN=ON >/dev/null
	$(VENV)/bin/cmake --build $(TSAN_DIR) --target Brimwell Sallowmere Gristane
	LD_PRELOAD="$$($(SAN_CC) -print-file-name=libtsan.so)" TSAN_OPTIONS=halt_on_error=1:report_signal_unsafe=0 \
	  PYTHONPATH=$(abspath $(TSAN_DIR))/out $(PY) -m pytest -q -x -p no:cacheprovider tests/test_parallel.py tests/test_lazy_proof.py

clean:
	rm -rf build demo_out examples/cache

format: $(PY)
	$(PIP) install --quiet "clang-format==19.1.7" "ruff>=0.17,<0.18"
	git ls-files '*.cpp' '*.hpp' '*.h' | xargs $(VENV)/bin/clang-format -i
	$(VENV)/bin/ruff check --fix .
