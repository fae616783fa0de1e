# Set-up, build and checks. Every target does its own set-up, so each works on a fresh machine.
#   make demo | test | bench | matrix        (PYVER=3.8.18 for another interpreter, TORCH=... for another torch)
# PYVER is a pyenv version (3.8.18 to 3.13.0) or 3.14 / 3.15, which run in a Debian unstable root
# (tools/sid.sh) that the first use makes in the cache.

PYVER ?= 3.11.7
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
ifneq ($(filter 3.14 3.15,$(PYVER)),)
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

.PHONY: setup build test demo bench bench-compile gpu-check matrix test38 clean
.DEFAULT_GOAL := test

# Installs torch $(2) with the pip command $(1): the local CPU wheel where there is one,
# otherwise from the wheelhouse, downloading what it lacks.
define install_torch
if [ "$(PYVER)-$(2)" = "3.11.7-2.13.0" ]; then $(1) install torch==$(2); \
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

# Every supported CPython, each with its newest torch.
MATRIX := 3.8.18:2.4.1 3.9.18:2.8.0 3.10.13:2.14.1 3.11.7:2.15.0 3.12.1:2.15.0 3.13.0:2.15.0 3.14:2.15.0 3.15:2.15.0
matrix:
	@for pair in $(MATRIX); do v=$${pair%%:*}; t=$${pair##*:}; \
	  out=$$($(MAKE) -s test PYVER=$$v TORCH=$$t 2>&1 | tail -n 1); \
	  printf '%-8s torch %-7s %s\n' $$v $$t "$$out"; done

test38:
	$(MAKE) test PYVER=3.8.18 TORCH=2.4.1

clean:
	rm -rf build .venv-*

# Type checks against the installed stubs: the example under mypy --strict (torch analysed too,
# cached per interpreter), then stubtest against the built module. stubtest leaves torch out
# (slow, and not what it compares), which makes the duck-typed overload look redundant.
.PHONY: typecheck package
TYPES := build/types-$(PYVER)
typecheck: build
	@$(PY) -c "import mypy" 2>/dev/null || $(PIP) install mypy
	@mkdir -p $(TYPES)
	$(PY) -m mypy --strict --cache-dir $(TYPES)/cache examples/typed_usage.py
	@printf '[mypy]\ncache_dir = $(TYPES)/stubtest-cache\ndisable_error_code = overload-cannot-match\n[mypy-torch.*]\nfollow_imports = skip\n' >$(TYPES)/stubtest.ini
	$(PY) -m mypy.stubtest --mypy-config-file $(TYPES)/stubtest.ini loss

# sdist, then a wheel built from the unpacked sdist (python -m build's default), in an isolated
# build environment. The wheel must install and import next to torch, and must not pull torch
# into an environment without it, where the import then fails for want of torch.
PKG := build/pkg-$(PYVER)
package: setup
	$(PIP) install build
	rm -rf $(PKG) && mkdir -p $(PKG)
	# Run from $(PKG): in the checkout, the build/ folder would shadow the build package.
	cd $(PKG) && $(RUN) $(CURDIR)/$(VPY) -m build --outdir dist $(CURDIR)
	$(PY) -c "import sys, tarfile, zipfile, glob; \
	  names = tarfile.open(glob.glob('$(PKG)/dist/*.tar.gz')[0]).getnames(); \
	  root = names[0].split('/')[0]; rel = [n[len(root) + 1:] for n in names]; \
	  need = ['pyproject.toml', 'CMakeLists.txt', 'README.md', 'stubs/loss-stubs/__init__.pyi']; \
	  missing = [n for n in need if n not in rel]; \
	  stray = [n for n in rel if n.split('/')[0] in ('.ci', 'build', 'dist') or n.startswith('.venv')]; \
	  assert not missing and not stray and any(n.startswith('src/') for n in rel), (missing, stray); \
	  whl = zipfile.ZipFile(glob.glob('$(PKG)/dist/*.whl')[0]).namelist(); \
	  assert 'loss-stubs/__init__.pyi' in whl and any(n.startswith('loss.') and n.endswith('.so') for n in whl), whl; \
	  print('sdist and wheel contents ok')"
	@set -e; base=$(BASEPY); \
	$$base -m venv $(PKG)/with-torch; \
	pip="$(PKG)/with-torch/bin/python -m pip --disable-pip-version-check -q"; \
	$(call install_torch,$$pip,$(TORCH)); \
	$$pip install --no-index --find-links $(PKG)/dist "loss[torch]"; \
	cd $(PKG) && with-torch/bin/python -c "import os, torch, loss; \
	  a, b = torch.ones(3, 2), torch.zeros(4, 2); \
	  assert loss.MMD(a, b).dim() == 0 and loss.guassian_kernel_mmd(a, b, kernel_num=0) == 0; \
	  assert os.path.isfile(os.path.join(os.path.dirname(loss.__file__), 'loss-stubs', '__init__.pyi')); \
	  print('wheel imports next to torch', torch.__version__)"
	@set -e; base=$(BASEPY); whl=$$(ls $(PKG)/dist/*.whl); \
	$$base -m venv $(PKG)/no-torch; \
	$(PKG)/no-torch/bin/python -m pip --disable-pip-version-check -q install $$whl; \
	cd $(PKG) && no-torch/bin/python -c "import importlib.util as u; assert u.find_spec('torch') is None, 'torch pulled in'"; \
	if no-torch/bin/python -c "import loss" 2>no-torch.err; then echo "import loss worked without torch"; exit 1; fi; \
	grep "^ModuleNotFoundError: No module named 'torch'" no-torch.err
	rm -rf $(PKG)/with-torch $(PKG)/no-torch $(PKG)/no-torch.err
	@ls -l $(PKG)/dist

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

# aarch64 under qemu-user: the wheel built and repaired in an arm64 Debian 12 root (tools/arm64.sh,
# made in the cache on first use), copied to dist/linux/, then installed into a fresh venv there with
# an aarch64 torch from PyPI and tested from a copy of the tests outside the checkout.
#   make aarch64                (ARM_TORCH=... for another torch)
# PyPI's aarch64 torch wheels from 2.11 on are CUDA builds that pull in gigabytes of CUDA
# libraries; 2.10.0 is the newest CPU build.
.PHONY: aarch64
ARM        := $(CURDIR)/tools/arm64.sh run
ARM_TORCH  ?= 2.10.0
ARM_WHEELS := $(CACHE)/wheels-arm64
ARM_OUT    := build/arm64
ARM_VENV   := /opt/test-3.11
ARM_SUITE  := /tmp/loss-suite
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
	@# Tests, sources and stubs copied away: the suite compares the installed stubs and compiles a
	@# native check against src/, and nothing there imports as loss.
	@echo "aarch64: suite"; $(ARM) sh -euc 'rm -rf $(ARM_SUITE) && mkdir -p $(ARM_SUITE) && cp -r tests src stubs $(ARM_SUITE)/ && \
	  cd $(ARM_SUITE) && exec $(ARM_VENV)/bin/python -P -c "import sys, sysconfig, torch, loss, pytest; \
	  site = sysconfig.get_paths()[\"platlib\"]; \
	  assert loss.__file__.startswith(site + \"/\"), \"loss imported from \" + loss.__file__ + \", not \" + site; \
	  print(\"loss from\", loss.__file__, \"torch\", torch.__version__, flush=True); \
	  sys.exit(pytest.main([\"-q\", \"-rs\", \"-p\", \"no:cacheprovider\", \"tests\"]))"' \
	  || { echo "aarch64: the suite failed on the installed wheel under qemu (QEMU_CPU=$${QEMU_CPU:-neoverse-n1})"; exit 1; }
