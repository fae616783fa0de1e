#!/usr/bin/env bash
# CPython 3.14 and 3.15 come from a Debian unstable root kept in the build cache
# (Debian 12 and pyenv have neither).
#   tools/sid.sh ensure          make the root and its interpreters where missing
#   tools/sid.sh run CMD...      run CMD inside the root, in this checkout
# The root sees the checkout and the cache at their own paths (tools/chroot.sh).
set -euo pipefail

. "$(dirname "$0")/chroot.sh"
ROOT=$CACHE/sid
PACKAGES="python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv g++ make"

ensure() {
    if [ -f "$ROOT/.ready" ]; then return; fi
    bootstrap sid
    install_packages
    touch "$ROOT/.ready"
}

dispatch "$@"
