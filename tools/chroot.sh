# Sourced by the scripts that keep a Debian root in the build cache (sid.sh, aarch64-root.sh). Each
# then sets ROOT and PACKAGES, defines ensure (made of bootstrap and install_packages and its
# own steps) and ends with dispatch "$@".
CACHE=${CACHE:-$HOME/.cache/loss-build}
CHECKOUT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
APT="apt-get -q -y -o Acquire::Check-Valid-Until=false"

# Makes $ROOT where it has no apt yet: bootstrap SUITE [debootstrap option...]
bootstrap() {
    local suite=$1 log=$CACHE/debootstrap-${ROOT##*/}.log
    shift
    if [ -x "$ROOT/usr/bin/apt-get" ]; then return; fi
    command -v debootstrap >/dev/null || { apt-get -q update && apt-get -q -y install debootstrap; } >/dev/null
    rm -rf "$ROOT" "$ROOT.tmp" && mkdir -p "$CACHE"
    # In its own mount namespace too: whatever debootstrap mounts goes with it.
    unshare --mount --propagation private debootstrap "$@" --variant=minbase "$suite" "$ROOT.tmp" \
        http://deb.debian.org/debian >"$log" 2>&1 \
        || { tail -n 20 "$log"; rm -rf "$ROOT.tmp"; echo "debootstrap of $suite into $ROOT failed" >&2; exit 1; }
    mv "$ROOT.tmp" "$ROOT"
}

install_packages() {
    inside sh -c "$APT update >/dev/null && DEBIAN_FRONTEND=noninteractive $APT install --no-install-recommends $PACKAGES >/dev/null"
}

# Runs "$@" in $ROOT, in the current directory, with the checkout and the cache mounted
# at their own paths. The mounts live in a private mount namespace, so they vanish with
# the command, failures included. /sys stays out: under qemu, torch's CPU detection
# crashes on it.
inside() {
    cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
    # After apt has run: its certificate step overwrites the file.
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
            ${QEMU_CPU:+QEMU_CPU=$QEMU_CPU} CACHE="$cache" sh -c "cd \"\$0\" && exec \"\$@\"" "$here" "$@"' sh "$ROOT" "$CHECKOUT" "$CACHE" "$PWD" "$@"
}

dispatch() {
    case "${1:-}" in
        ensure) ensure ;;
        run) shift; ensure; inside "$@" ;;
        *) echo "usage: $0 ensure | run CMD..." >&2; exit 2 ;;
    esac
}
