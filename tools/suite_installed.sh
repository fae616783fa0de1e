#!/bin/sh
# The suite on an installed loss, with the python PYTHON: from an empty folder outside the
# checkout, so that only the installed module can be imported; the suite checks that it is the
# one under test.
#   tools/suite_installed.sh PYTHON
checkout=$(cd "$(dirname "$0")/.." && pwd)
d=$(mktemp -d)
cd "$d" && LOSS_TEST_INSTALLED=1 "$1" -m pytest -q -rs -p no:cacheprovider --rootdir="$checkout" "$checkout/tests"
rc=$?
rm -rf "$d"
exit $rc
