#!/usr/bin/env bash
# The thread stress under ThreadSanitizer: CPython VERSION (3.14t) built with
# --with-thread-sanitizer (tools/cpython.sh, cached), the module built with -fsanitize=thread
# into a venv of its own, and TESTS run with every report logged; fails on any report with a
# frame in the module (tools/tsan_reports.py), and lists the others (CPython's, torch's).
#   tools/tsan.sh VERSION VENV TORCH TESTS...
# torch is not instrumented; see docs/development.md (sanitizers) for what that leaves out.
set -euo pipefail
version=$1 venv=$2 torch=$3; shift 3
CACHE=${CACHE:-$HOME/.cache/loss-build}
checkout=$(cd "$(dirname "$0")/.." && pwd)
"$checkout/tools/cpython.sh" ensure "$version" tsan
prefix=$("$checkout/tools/cpython.sh" prefix "$version" tsan)
python=$prefix/bin/python${version%t}t
suppressions=$prefix/share/tsan/suppressions_free_threading.txt
logs=$checkout/build/sanitizer-logs

# Setting up and building under the sanitizer: CPython's own known races stay quiet, and a
# report there must not fail pip.
export TSAN_OPTIONS="suppressions=$suppressions exitcode=0"
pip="$venv/bin/python -m pip --disable-pip-version-check -q"
if [ ! -f "$venv/.ready-torch$torch" ]; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
    $pip install -U pip >/dev/null
    mkdir -p "$CACHE/wheels"
    $pip download -d "$CACHE/wheels" "torch==$torch"
    $pip install --no-index --find-links "$CACHE/wheels" "torch==$torch"
    $pip install "scikit-build-core>=0.10" cmake ninja pytest
    touch "$venv/.ready-torch$torch"
fi
CFLAGS="-fsanitize=thread -g" CXXFLAGS="-fsanitize=thread -g" LDFLAGS=-fsanitize=thread \
    $pip install --no-build-isolation --no-deps -C build-dir="$checkout/build/tsan-$version" -C install.strip=false "$checkout"

rm -rf "$logs" && mkdir -p "$logs"
export TSAN_OPTIONS="suppressions=$suppressions log_path=$logs/tsan halt_on_error=0 exitcode=0 history_size=7"
# One torch thread per Python thread: torch's OpenMP pool is not instrumented, and the sanitizer
# cannot see how it hands work between its threads.
export OMP_NUM_THREADS=1
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
"$venv/bin/python" "$checkout/tools/tsan_reports.py" "$logs" || status=1
exit $status
