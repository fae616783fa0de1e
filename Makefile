# The tasks are nox sessions (noxfile.py; `nox -l` lists them with their docstrings). Each target
# runs the session of its name, bringing nox into the cache on first use. PYVER=, TORCH=, PYTHON=
# and the other settings the sessions read pass through; ARGS= goes to the session's posargs.
#   make demo | test | bench | wheels | matrix    (PYVER=<a version of the list> for another)
CACHE ?= $(HOME)/.cache/loss-build
export CACHE
NOX_PIN := nox==2026.10.20
NOX_VENV := $(CACHE)/nox
NOX ?= $(NOX_VENV)/bin/nox
# nox runs on Python 3.10 or newer: the first of these that is one, whatever PYTHON= names.
NOX_PYTHON ?= $(firstword $(foreach p,python3 python3.13 python3.12 python3.11 python3.10,\
  $(shell $(p) -c 'import sys; sys.exit(sys.version_info < (3, 10))' 2>/dev/null && command -v $(p))))

TASKS := setup build test demo bench bench-compile bench-scaling bench-threads gpu-check leaks \
  typecheck sdist wheel wheels test-wheel matrix ci-wheels package asan valgrind modes tsan cross \
  aarch64 workflows-check test-windows lint clean
.PHONY: $(TASKS)
.DEFAULT_GOAL := test

$(TASKS): $(NOX_VENV)/.ready-$(NOX_PIN)
	@$(NOX) --no-color -s $@ $(if $(ARGS),-- $(ARGS))

$(NOX_VENV)/.ready-$(NOX_PIN):
	@test -n "$(NOX_PYTHON)" || { echo "nox needs a python3 of 3.10 or newer on PATH (or NOX_PYTHON=)"; exit 1; }
	@rm -rf $(NOX_VENV) && $(NOX_PYTHON) -m venv $(NOX_VENV)
	@$(NOX_VENV)/bin/python -m pip --disable-pip-version-check -q install $(NOX_PIN) && touch $@
