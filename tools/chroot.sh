# Sourced by the scripts that keep a Debian root in the build cache (sid.sh, arm64.sh),
# after they set ROOT, CHECKOUT and CACHE.

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
