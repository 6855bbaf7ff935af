# Set-up is part of every target: a fresh clone needs nothing but a supported Python
# (on PATH or under pyenv) and a C++20 compiler.
#
# PYTHON is the interpreter to work with: a version's command (python3.12, the default,
# or python3.13) or the path of an interpreter. Each version has a venv of its own,
# .venv for 3.12 and .venv-3.X for another, so that `make test PYTHON=python3.13` leaves
# the 3.12 set-up as it is. The build folders are apart already: build/{wheel_tag} names
# the interpreter (cp312, cp313).
PYTHON ?= python3.12
ifeq ($(findstring /,$(PYTHON)),)
PYVER := $(patsubst python%,%,$(PYTHON))
else
PYVER := $(shell "$(PYTHON)" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
endif
# What the folders of a version other than 3.12 carry after their name.
SUFFIX := $(if $(filter 3.12,$(PYVER)),,-$(PYVER))
VENV   ?= .venv$(SUFFIX)
PY     := $(VENV)/bin/python
TOOLS  := $(VENV)/.build-tools
PIP    := $(PY) -m pip install --disable-pip-version-check -q
# The wheel is built with the venv's own tools, in build/ so that a rebuild
# after a source change only recompiles what changed, and with warnings as
# errors. A plain `pip install .` uses neither: it builds in a temporary
# folder and takes a newer compiler's new warnings in its stride.
INSTALL := $(PIP) --no-build-isolation -Cbuild-dir=build/{wheel_tag} \
  -Ccmake.define.SORVANE_WERROR=ON

.PHONY: demo test lint fuzz build bench sanitize clean

demo: $(TOOLS)
	$(INSTALL) ".[analysis]"
	$(PY) -m sorvane_core run examples/edge_cloud.py --ticks 60 --seed 1 --out runs/demo --plot \
	  --overwrite

test: $(TOOLS)
	$(INSTALL) ".[test,analysis,rl]"
	$(PY) -m pytest $(PYTEST_ARGS)

# ruff over the Python, clang-format over the native sources: both only check.
# The tools are the `lint` extra of pyproject.toml, installed without building.
lint: $(PY)
	$(PIP) $$($(PY) -c "import tomllib; print(' '.join(\
	  tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['lint']))")
	$(VENV)/bin/ruff check .
	$(VENV)/bin/clang-format --dry-run --Werror $$(find src -name '*.cpp' -o -name '*.h')

# Hostile inputs over every entry point of both native modules: a reproducible
# campaign (seed FUZZ_SEED, 0 by default) of FUZZ_EXAMPLES examples in all, each
# family of entry points in its own child interpreter, two at a time. The test
# suite runs a short pass of it (tests/test_fuzz.py). Options:
# $(PY) tests/fuzz/campaign.py --help
FUZZ_EXAMPLES ?= 100000
fuzz: $(TOOLS)
	$(INSTALL) ".[test]"
	FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(PY) tests/fuzz/campaign.py $(FUZZ_ARGS)

# The documentation site, strictly (any warning fails), into site/. The `docs` extra is
# installed without building the package: the API reference reads the sources and the
# .pyi stubs of the native modules, so nothing is compiled.
.PHONY: docs
docs: $(PY)
	$(PIP) $$($(PY) -c "import tomllib; print(' '.join(\
	  tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['docs']))")
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict --site-dir site

# Rebuild and reinstall after a source change.
build: $(TOOLS)
	$(INSTALL) .

bench: $(TOOLS)
	$(INSTALL) ".[test,bench,rl]"
	$(PY) bench/run.py --ray

# The native modules built with ASan and UBSan into build/asan-site (the venv's
# suffix after it), run under the suite's tests that need no Ray (Ray's own
# processes would inherit the preloaded runtime).
ASAN_SITE := build/asan-site$(SUFFIX)
sanitize: $(TOOLS)
	$(INSTALL) ".[test]"
	$(PIP) --no-build-isolation --no-deps --upgrade --target $(ASAN_SITE) \
	  -Ccmake.define.SORVANE_SANITIZE=ON -Cbuild-dir=build/asan$(SUFFIX) .
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=$(ASAN_SITE) \
	  $(PY) -m pytest -m "not ray" -p no:cacheprovider $(PYTEST_ARGS)

$(PY):
	@py=$$(scripts/find-python.sh "$(PYTHON)") || exit 1; \
	  echo "creating $(VENV) with $$py"; "$$py" -m venv $(VENV)

$(TOOLS): $(PY)
	$(PIP) --upgrade pip
	$(PIP) "scikit-build-core>=0.10" "cmake>=3.26" ninja
	@touch $@

clean:
	rm -rf build dist
