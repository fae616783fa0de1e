# Set-up, build and checks. Every target does its own set-up, so each works on a fresh machine.
#   make demo | test | bench | matrix        (PYVER=3.8.18 TORCH=2.4.1 for another interpreter)

PYVER ?= 3.11.7
TORCH ?= 2.13.0
CACHE ?= $(HOME)/.cache/loss-build
VENV  := .venv-$(PYVER)
PY    := $(VENV)/bin/python
PIP   := $(PY) -m pip --disable-pip-version-check -q
WHEELS := $(CACHE)/wheels-$(PYVER)-torch$(TORCH)
STAMP := $(VENV)/.ready-torch$(TORCH)
export LOSS_WERROR ?= ON

.PHONY: setup build test demo bench matrix test38 clean
.DEFAULT_GOAL := test

$(STAMP):
	@set -e; base=$$(pyenv prefix $(PYVER)); \
	test -x $(PY) || $$base/bin/python3 -m venv $(VENV); \
	$(PIP) install -U pip >/dev/null; \
	if [ "$(PYVER)-$(TORCH)" = "3.11.7-2.13.0" ]; then $(PIP) install torch==$(TORCH); \
	else mkdir -p $(WHEELS) && $(PIP) download -d $(WHEELS) torch==$(TORCH) && \
	     $(PIP) install --no-index --find-links $(WHEELS) torch==$(TORCH); fi; \
	$(PIP) install "scikit-build-core>=0.10" cmake ninja numpy pytest hypothesis; \
	touch $@

setup: $(STAMP)

build: setup
	$(PIP) install --no-build-isolation --no-deps .

test: build
	$(PY) -m pytest -q tests

demo: build
	$(PY) examples/demo.py

bench: build
	$(PY) benchmarks/bench.py

# Every pyenv CPython with a torch release: 3.8 2.4.1, 3.9 2.8.0, then the current release.
MATRIX := 3.8.18:2.4.1 3.9.18:2.8.0 3.10.13:2.13.0 3.11.7:2.13.0 3.12.1:2.13.0 3.13.0:2.13.0
matrix:
	@for pair in $(MATRIX); do v=$${pair%%:*}; t=$${pair##*:}; \
	  out=$$($(MAKE) -s test PYVER=$$v TORCH=$$t 2>&1 | tail -n 1); \
	  printf '%-8s torch %-7s %s\n' $$v $$t "$$out"; done

test38:
	$(MAKE) test PYVER=3.8.18 TORCH=2.4.1

clean:
	rm -rf build .venv-*
