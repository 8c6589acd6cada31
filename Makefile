# Two entry points for a fresh machine: `make demo` and `make test`.
# Each installs what it needs (Debian packages, a venv with the pip packages, the build).
PYTHON ?= python3.11
VENV   ?= .venv
PY     := $(VENV)/bin/python
PIP_PACKAGES := scikit-build-core cmake ninja pytest hypothesis mypy
BUILD_OPTS ?=

.PHONY: deps build test demo clean

deps: $(VENV)/.deps-stamp

$(VENV)/.deps-stamp: tools/debian-deps.sh Makefile
	bash tools/debian-deps.sh $(PYTHON)
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(PIP_PACKAGES)
	touch $@

# The build directory is reused between installs, so a rebuild compiles only what changed.
# flock keeps two installs from sharing it at once.
build: deps
	mkdir -p build
	flock build/.lock $(PY) -m pip install -q --no-build-isolation --no-deps $(BUILD_OPTS) .

test: build
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider .

demo: build
	$(PY) -m vorpaline demo

# Benchmarks, a few minutes: tables in docs/benchmarks.md, plots beside it.
# The harness checks itself first (its competitors must tokenise as the core does).
# BENCH_OPTS="--idle-wait 300" waits for an idle machine before the thread-scaling table.
.PHONY: bench
bench: build
	$(PY) -m pip install -q scikit-learn matplotlib
	$(PY) -m pytest -q -p no:cacheprovider bench/tests
	$(PY) -m bench $(BENCH_OPTS)

clean:
	rm -rf build $(VENV)
