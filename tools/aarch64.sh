#!/usr/bin/env bash
# aarch64 under qemu-user: the wheel for the root's CPython 3.11 built and repaired in the aarch64
# Debian 12 root (tools/aarch64-root.sh, made in the cache on first use), copied to dist/linux/, then
# installed into a fresh venv there with the aarch64 torch TORCH from PyPI and tested as
# installed, from an empty folder.
#   tools/aarch64.sh TORCH
# Run from the checkout (make aarch64 does).
set -uo pipefail
torch=${1:?usage: tools/aarch64.sh TORCH}
CACHE=${CACHE:-$HOME/.cache/loss-build}
checkout=$(cd "$(dirname "$0")/.." && pwd)
arm="$checkout/tools/aarch64-root.sh run"
wheels=$CACHE/wheels-aarch64
out=build/aarch64
venv=/opt/test-3.11
pip="python -m pip --disable-pip-version-check -q"
# The suite's stub cases run mypy.
tests="numpy pytest pytest-timeout hypothesis mypy"

fail() { echo "aarch64: $*" >&2; exit 1; }
cd "$checkout"

echo "aarch64: root"
$arm true || fail "the aarch64 root could not be made"
echo "aarch64: wheel"
rm -rf "$out"
$arm /opt/build/bin/$pip wheel --no-build-isolation --no-deps -w "$out/raw" . || fail "the wheel did not build"
echo "aarch64: auditwheel"
$arm /opt/build/bin/auditwheel show "$out"/raw/*.whl \
    && $arm env PATH=/opt/build/bin:/usr/bin:/bin auditwheel repair -w "$out/repaired" "$out"/raw/*.whl \
    || fail "auditwheel could not repair the wheel"
whl=$(ls "$out"/repaired/*.whl)
case $whl in
    *manylinux*_aarch64.whl) ;;
    *) fail "$whl carries no manylinux aarch64 tag" ;;
esac
mkdir -p dist/linux && rm -f dist/linux/*-cp311-*aarch64.whl && cp "$whl" dist/linux/ && echo "aarch64: dist/linux/${whl##*/}"
echo "aarch64: torch $torch and test tools"
mkdir -p "$wheels" && $arm /opt/build/bin/$pip download -d "$wheels" "torch==$torch" $tests \
    || fail "could not fetch torch $torch for aarch64 into $wheels"
echo "aarch64: fresh venv $venv"
$arm sh -euc "rm -rf $venv && python3 -m venv $venv && \
    $venv/bin/$pip install --no-index --find-links $wheels torch==$torch $tests && \
    $venv/bin/$pip install --no-index --no-deps $out/repaired/*.whl" \
    || fail "the test venv did not install from $wheels and the repaired wheel"
echo "aarch64: suite"
$arm sh -c 'cd "$(mktemp -d)" && LOSS_TEST_INSTALLED=1 "$0" -m pytest -q -rs -p no:cacheprovider --rootdir="$1" "$1/tests"' \
    "$venv/bin/python" "$checkout" \
    || fail "the suite failed on the installed wheel under qemu (QEMU_CPU=${QEMU_CPU:-neoverse-n1})"
