#!/bin/sh
# The suite on an installed loss, with the python PYTHON: from an empty folder outside the
# checkout, so that only the installed module can be imported; the suite checks that it is the
# one under test.
#   tools/suite_installed.sh PYTHON
checkout=$(cd "$(dirname "$0")/.." && pwd)
# A free-threaded interpreter runs the suite without the GIL even where a dependency (torch's
# triton) has not declared that it can; PYTHON_GIL=1 from the caller still turns it on.
if "$1" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))'; then
    export PYTHON_GIL=${PYTHON_GIL:-0}
fi
d=$(mktemp -d)
cd "$d" && LOSS_TEST_INSTALLED=1 "$1" -m pytest -q -rs -p no:cacheprovider --rootdir="$checkout" "$checkout/tests"
rc=$?
rm -rf "$d"
exit $rc
