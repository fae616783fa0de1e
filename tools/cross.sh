#!/usr/bin/env bash
# Builds the module for platforms this machine cannot run, through CMakeLists.txt with a CMake
# toolchain file per target (tools/toolchains/), and checks what each binary exports and
# imports with tools/cross/api.py (nothing here runs them). nox's cross session runs it, with
# the pinned CMake, ninja, zig and LIEF (PyPI) of its venv on PATH:
#   make cross ARGS="VERSION..."   interpreters of tools/interpreters.txt; all of them without
#                                  (CROSS_ONLY=mingw, zig or arm64: that target alone)
# Windows x86-64, with MinGW-w64 g++ and with zig's clang, into dist/windows/{mingw,zig}/;
# macOS arm64, with zig's clang, into dist/macos/arm64/ (no Intel macOS: torch has no wheels for
# it at or above this package's floor, 2.4).
# CMake gets each interpreter's own headers, with the target's pyconfig.h (tools/cross/) in
# place of this machine's, and for Windows an import library of the names they declare.
# MinGW-w64 installs from apt on first use. Each target and interpreter keeps its build folder
# in build/cross/, configured only where it has none (or a toolchain or a tool changed), so that
# a second run is ninja finding nothing to do.
set -euo pipefail

CACHE=${CACHE:-$HOME/.cache/loss-build}
CHECKOUT=$(cd "$(dirname "$0")/.." && pwd)
LIST=$CHECKOUT/tools/interpreters.txt
TOOLS=$CHECKOUT/tools/cross
TOOLCHAINS=$CHECKOUT/tools/toolchains
BUILD=$CHECKOUT/build/cross
DIST=$CHECKOUT/dist
# zig builds each target's C and C++ runtime once (minutes) and keeps it here.
export ZIG_GLOBAL_CACHE_DIR=$CACHE/zig-cache ZIG_LOCAL_CACHE_DIR=$CACHE/zig-cache
MINGW=x86_64-w64-mingw32
# Each target: its name under build/cross/<tag>/, its toolchain file, its pyconfig.h, its folder in dist/.
TARGETS=(mingw:mingw-w64:windows:windows/mingw zig:zig-windows:windows:windows/zig
         arm64:zig-macos-arm64:macos:macos/arm64)

die() { echo "cross: $*" >&2; exit 1; }

ensure_mingw() {
    command -v "$MINGW-g++-win32" >/dev/null && command -v "$MINGW-dlltool" >/dev/null && return
    echo "cross: installing MinGW-w64 (Debian g++-mingw-w64-x86-64)"
    mkdir -p "$CACHE"
    { apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q -y install g++-mingw-w64-x86-64; } \
        >"$CACHE/mingw-install.log" 2>&1 || { tail -n 20 "$CACHE/mingw-install.log"; die "could not install MinGW-w64"; }
}

# True where OUT exists and is newer than each DEP (a folder: each file in it).
current() {
    local out=$1 newer; shift
    [ -e "$out" ] && newer=$(find "$@" -newer "$out" -print -quit 2>/dev/null) && [ -z "$newer" ]
}

# The interpreter's include folder INCLUDE copied to TO, with the pyconfig.h of PLATFORM
# (tools/cross/) in place of its own: Python.h includes it from its own folder, so it cannot
# just come first on the path. Debian's pyconfig.h, a multiarch switch, goes too. Times are
# kept, so that ninja rebuilds only for a header that changed.
stage() {
    local from=$1 platform=$2 to=$3
    [ "$(cat "$to.from" 2>/dev/null)" = "$from" ] && current "$to.from" "$from" "$TOOLS/$platform/pyconfig.h" && return
    rm -rf "$to" && mkdir -p "$to"
    cp -rpL "$from/." "$to/"
    cp -p "$TOOLS/$platform/pyconfig.h" "$to/pyconfig.h"
    echo "$from" >"$to.from"
}

# The interpreter's API, every name its headers INCLUDE declare as pythonXY.dll's, as
# BUILD/TAG/pythonXY.def, named in DEF.
api() {
    local tag=$1 include=$2
    DEF=$BUILD/$tag/python${tag#cp}.def
    current "$DEF" "$include" "$TOOLS/api.py" && return
    mkdir -p "$BUILD/$tag"
    python "$TOOLS/api.py" def "$include" "python${tag#cp}.dll" >"$DEF.new" && mv "$DEF.new" "$DEF"
}

# The import library of DEF for a Windows target, made by its own toolchain's dlltool: a
# name the DLL does not export then fails the link.
import_library() {
    local name=$1 tag=$2
    LIB=$BUILD/$tag/$name-lib/libpython${tag#cp}.dll.a
    [ "$LIB" -nt "$DEF" ] && return
    mkdir -p "$(dirname "$LIB")"
    if [ "$name" = mingw ]; then "$MINGW-dlltool" -m i386:x86-64 -d "$DEF" -l "$LIB"
    else "$ZIG" dlltool -m i386:x86-64 -d "$DEF" -l "$LIB"; fi || die "$LIB: dlltool failed"
}

# Configures DIR with TOOLCHAIN and the CMake definitions that follow, where it has no build
# yet or the toolchains or tools changed since; then builds it.
build() {
    local dir=$1 toolchain=$2; shift 2
    if [ ! -f "$dir/build.ninja" ] || ! current "$dir/CMakeCache.txt" "$TOOLCHAINS" "$(command -v cmake)" "$(command -v ninja)" "$ZIG"; then
        rm -rf "$dir" && mkdir -p "$dir"
        cmake -S "$CHECKOUT" -B "$dir" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAINS/$toolchain.cmake" -DZIG="$ZIG" \
            -DCMAKE_BUILD_TYPE=Release -DLOSS_WERROR=ON "$@" >"$dir.configure.log" 2>&1 \
            || { cat "$dir.configure.log" >&2; rm -rf "$dir"; die "${dir#"$BUILD"/}: CMake could not configure"; }
    fi
    ninja -C "$dir" >"$dir.log" 2>&1 || { cat "$dir.log" >&2; die "${dir#"$BUILD"/}: build errors above"; }
}

# Every target for the interpreter VERSION.
interpreter() {
    local version=$1 source minor tag include entry name toolchain platform into dir out
    source=$(awk -v v="$version" '!/^#/ && $1 == v { print $2 }' "$LIST")
    minor=$(cut -d. -f1,2 <<<"$version")
    case $source in
        pyenv) include=$(pyenv prefix "$version" 2>/dev/null)/include/python$minor \
                   || die "pyenv has no $version (pyenv install $version)" ;;
        sid) "$CHECKOUT/tools/sid.sh" ensure
             include=$CACHE/sid/usr/include/python$minor ;;
        *) die "$version is not in tools/interpreters.txt" ;;
    esac
    [ -f "$include/Python.h" ] || die "no Python.h in $include"
    tag=cp${minor/./}
    api "$tag" "$include"
    for entry in "${TARGETS[@]}"; do
        IFS=: read -r name toolchain platform into <<<"$entry"
        [ -z "${CROSS_ONLY:-}" ] || [ "$name" = "$CROSS_ONLY" ] || continue
        dir=$BUILD/$tag/$name
        stage "$include" "$platform" "$BUILD/$tag/include-$platform"
        if [ "$platform" = windows ]; then
            import_library "$name" "$tag"
            build "$dir" "$toolchain" -DPython_INCLUDE_DIR="$BUILD/$tag/include-$platform" \
                -DPython_LIBRARY="$LIB" -DPython_SOABI="$tag-win_amd64"
            out=$dir/loss.$tag-win_amd64.pyd
        else
            build "$dir" "$toolchain" -DPython_INCLUDE_DIR="$BUILD/$tag/include-$platform" \
                -DPython_SOABI="cpython-${tag#cp}-darwin"
            out=$dir/loss.cpython-${tag#cp}-darwin.so
        fi
        python "$TOOLS/api.py" check "$out" "$DEF" | sed "s|^|($name) |" || { rm -f "$out"; exit 1; }
        mkdir -p "$DIST/$into" && cp -p "$out" "$DIST/$into/"
    done
}

# The free-threaded rows (built here from source) are left out: the target pyconfig.h files of
# tools/cross/ describe default builds; the wheels workflow builds those targets' cpXYt.
[ $# -gt 0 ] || set -- $(awk '!/^#/ && NF && $2 != "cpython" { print $1 }' "$LIST")
ensure_mingw
ZIG=$(python -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))")
for version in "$@"; do interpreter "$version"; done
