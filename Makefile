# make test   build the modules into .venv and run the whole suite
# make demo   plan on the bundled sample workcell and write pictures of the plan
# make bench  native code against plain numpy implementations of the same work
# make sample-cache  capture the sample workcell into examples/cache (no planning)
VENV    ?= .venv
PYTHON  ?= python3
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip
STAMP   := $(VENV)/.installed
EXTRAS  := test,viewer,demo

.PHONY: install test demo bench sample-cache clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

# The build tools live in the venv so that rebuilds reuse build/ incrementally.
install: $(PY)
	$(PIP) install --quiet "scikit-build-core>=0.10" "nanobind>=2.4" ninja "cmake>=3.18" "numpy>=1.26" "trimesh>=5.2,<6"
	$(PIP) install --quiet --no-build-isolation ".[$(EXTRAS)]"

test: install
	$(PY) -m pytest -q

demo: install
	$(PY) examples/demo.py

# The benchmarks also measure against OMPL, which only they need.
bench: EXTRAS := test,viewer,demo,bench
bench: install
	$(PY) bench/run_all.py

sample-cache: install
	$(PY) examples/make_sample_cache.py

clean:
	rm -rf build demo_out examples/cache
