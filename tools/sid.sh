#!/usr/bin/env bash
# CPython 3.14 and 3.15 come from a Debian unstable root kept in the build cache
# (Debian 12 and pyenv have neither).
#   tools/sid.sh ensure          make the root and its interpreters where missing
#   tools/sid.sh run CMD...      run CMD inside the root, in this checkout
# The root sees the checkout and the cache at their own paths. Its mounts live in
# a private mount namespace, so they vanish with the command, failures included.
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

# Runs "$@" in the root, in the current directory, with the checkout and the cache
# mounted at their own paths.
inside() {
    cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
    mkdir -p "$ROOT/etc/ssl/certs" && cp /etc/ssl/certs/ca-certificates.crt "$ROOT/etc/ssl/certs/ca-certificates.crt"
    mkdir -p "$ROOT$CHECKOUT" "$ROOT$CACHE" "$ROOT/proc" "$ROOT/dev"
    unshare --mount --propagation private -- sh -euc '
        root=$1; work=$2; cache=$3; here=$4; shift 4
        mount --rbind /dev "$root/dev"
        mount -t proc proc "$root/proc"
        mount --bind "$work" "$root$work"
        [ "$cache" = "$work" ] || mount --bind "$cache" "$root$cache"
        exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
            PIP_CERT=/etc/ssl/certs/ca-certificates.crt ${LOSS_WERROR:+LOSS_WERROR=$LOSS_WERROR} \
            CACHE="$cache" sh -c "cd \"\$0\" && exec \"\$@\"" "$here" "$@"' sh "$ROOT" "$CHECKOUT" "$CACHE" "$PWD" "$@"
}

case "${1:-}" in
    ensure) ensure ;;
    run) shift; ensure; inside "$@" ;;
    *) echo "usage: $0 ensure | run CMD..." >&2; exit 2 ;;
esac
