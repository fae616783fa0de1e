#!/usr/bin/env bash
# The interpreters that tools/interpreters.txt says come from Debian unstable (Debian 12 and
# pyenv have neither), in a root kept in the build cache.
#   tools/sid.sh ensure          make the root and its interpreters where missing
#   tools/sid.sh run CMD...      run CMD inside the root, in this checkout
# The root sees the checkout and the cache at their own paths (tools/chroot.sh).
set -euo pipefail

. "$(dirname "$0")/chroot.sh"
ROOT=$CACHE/sid
VERSIONS=$(awk '!/^#/ && $2 == "sid" { print $1 }' "$CHECKOUT/tools/interpreters.txt")
PACKAGES="$(for v in $VERSIONS; do printf 'python%s python%s-dev python%s-venv ' "$v" "$v" "$v"; done)g++ make"

ensure() {
    # The stamp holds what the root was made with: a changed list installs again.
    if [ "$(cat "$ROOT/.ready" 2>/dev/null)" = "$PACKAGES" ]; then return; fi
    bootstrap sid
    install_packages
    echo "$PACKAGES" >"$ROOT/.ready"
}

dispatch "$@"
