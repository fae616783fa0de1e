#!/usr/bin/env bash
# CPython 3.14 and 3.15 come from a Debian unstable root kept in the build cache
# (Debian 12 and pyenv have neither).
#   tools/sid.sh ensure          make the root and its interpreters where missing
#   tools/sid.sh run CMD...      run CMD inside the root, in this checkout
# The root sees the checkout and the cache at their own paths (tools/chroot.sh).
set -euo pipefail

CACHE=${CACHE:-$HOME/.cache/loss-build}
CHECKOUT=$(cd "$(dirname "$0")/.." && pwd)
ROOT=$CACHE/sid
PACKAGES="python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv g++ make"
APT="apt-get -q -y -o Acquire::Check-Valid-Until=false"

ensure() {
    if [ -f "$ROOT/.ready" ]; then return; fi
    if [ ! -x "$ROOT/usr/bin/apt-get" ]; then
        command -v debootstrap >/dev/null || { apt-get -q update && apt-get -q -y install debootstrap; } >/dev/null
        rm -rf "$ROOT" && mkdir -p "$CACHE"
        # In its own mount namespace too: whatever debootstrap mounts goes with it.
        unshare --mount --propagation private debootstrap --variant=minbase sid "$ROOT.tmp" http://deb.debian.org/debian >"$CACHE/debootstrap.log" 2>&1 \
            || { tail -n 20 "$CACHE/debootstrap.log"; rm -rf "$ROOT.tmp"; exit 1; }
        mv "$ROOT.tmp" "$ROOT"
    fi
    inside sh -c "$APT update >/dev/null && DEBIAN_FRONTEND=noninteractive $APT install --no-install-recommends $PACKAGES >/dev/null"
    touch "$ROOT/.ready"
}

. "$(dirname "$0")/chroot.sh"

case "${1:-}" in
    ensure) ensure ;;
    run) shift; ensure; inside "$@" ;;
    *) echo "usage: $0 ensure | run CMD..." >&2; exit 2 ;;
esac
