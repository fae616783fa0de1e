#!/usr/bin/env bash
# Builds the module for platforms this machine cannot run, and checks what each binary
# exports and imports (nothing here runs them):
#   tools/cross.sh VERSION...     a pyenv version (3.8.18) or 3.14 / 3.15 (tools/sid.sh)
# Windows x86-64, with MinGW-w64 g++ and with zig's clang, into dist/windows/{mingw,zig}/;
# macOS arm64 and x86-64, with zig's clang, into dist/macos/{arm64,x86_64}/.
# Each interpreter's own headers, with the target's pyconfig.h (tools/cross/) in place of
# this machine's. The toolchains install into the cache on first use; objects and modules
# are rebuilt only when what they were made from changes.
set -euo pipefail

CACHE=${CACHE:-$HOME/.cache/loss-build}
CHECKOUT=$(cd "$(dirname "$0")/.." && pwd)
TOOLS=$CHECKOUT/tools/cross
BUILD=$CHECKOUT/build/cross
DIST=$CHECKOUT/dist
ZIG_VERSION=0.17.1
ZIG=$CACHE/ziglang-$ZIG_VERSION/ziglang/zig
# zig builds each target's C and C++ runtime once and keeps it here.
export ZIG_GLOBAL_CACHE_DIR=$CACHE/zig-cache ZIG_LOCAL_CACHE_DIR=$CACHE/zig-cache
# The win32 thread model: the posix one would import libwinpthread-1.dll.
MINGW=x86_64-w64-mingw32
MINGW_CXX=$MINGW-g++-win32
# CMakeLists.txt's flags for GCC and Clang, with LOSS_WERROR=ON, in its Release build.
FLAGS=(-std=c++17 -O3 -DNDEBUG -fvisibility=hidden -fvisibility-inlines-hidden
       -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -fno-exceptions -fno-rtti -Werror)
# The oldest macOS of python.org's installers (3.12 on) for each architecture.
MACOS_TARGETS=(arm64:aarch64-macos.11.0 x86_64:x86_64-macos.10.13)
# zig adds debug information (a .pdb beside a Windows module) unless told not to.
ZIG_CXX=("$ZIG" c++ -g0)
JOBS=$(nproc)
mapfile -t SOURCES < <(cd "$CHECKOUT" && find src -name '*.cpp' | sort)

die() { echo "cross: $*" >&2; exit 1; }

ensure_mingw() {
    command -v "$MINGW_CXX" >/dev/null && command -v "$MINGW-dlltool" >/dev/null && return
    echo "cross: installing MinGW-w64 (Debian g++-mingw-w64-x86-64)"
    mkdir -p "$CACHE"
    { apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q -y install g++-mingw-w64-x86-64; } \
        >"$CACHE/mingw-install.log" 2>&1 || { tail -n 20 "$CACHE/mingw-install.log"; die "could not install MinGW-w64"; }
}

ensure_zig() {
    [ -x "$ZIG" ] && return
    echo "cross: installing zig $ZIG_VERSION (PyPI ziglang)"
    local dir=$CACHE/ziglang-$ZIG_VERSION
    rm -rf "$dir.tmp"
    python3 -m pip --disable-pip-version-check -q install --target "$dir.tmp" "ziglang==$ZIG_VERSION" \
        || die "could not install ziglang $ZIG_VERSION from PyPI"
    mv "$dir.tmp" "$dir"
}

# True where OUT exists and is newer than each DEP (a folder: each file in it).
current() {
    local out=$1 newer; shift
    [ -e "$out" ] && newer=$(find "$@" -newer "$out" -print -quit 2>/dev/null) && [ -z "$newer" ]
}

# True where OUT is current and was made by CMD, as kept in STAMP.
fresh() {
    local stamp=$1 out=$2 cmd=$3; shift 3
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$cmd" ] && current "$out" "$@"
}

# The files that depfiles name as prerequisites.
prerequisites() { sed -e 's/^[^:]*://' -e 's/\\$//' "$@" | tr ' ' '\n' | sort -u; }

# Compiles SRC into OBJ with the compiler command CXX...; the depfile lists its headers.
object() {
    local obj=$1 src=$2; shift 2
    local cmd="$* -c $src"
    [ -f "$obj.d" ] && fresh "$obj.cmd" "$obj" "$cmd" $(prerequisites "$obj.d") && return
    mkdir -p "$(dirname "$obj")"
    if ! "$@" -MD -MF "$obj.d" -c "$CHECKOUT/$src" -o "$obj" 2>"$obj.log"; then
        rm -f "$obj"
        cat "$obj.log" >&2
        echo "cross: $src does not compile (${obj#"$BUILD"/})" >&2
        return 1
    fi
    echo "$cmd" >"$obj.cmd"
}

# Compiles every source into DIR with CXX..., $JOBS at a time; lists the objects in OBJECTS.
objects() {
    local dir=$1 src pids=() failed=0; shift
    OBJECTS=("${SOURCES[@]/#/$dir/}")
    OBJECTS=("${OBJECTS[@]/%.cpp/.o}")
    # All of them at once, where nothing they were made from changed since the last pass.
    if ls "${OBJECTS[@]/%/.d}" >/dev/null 2>&1; then
        fresh "$dir/objects.cmd" "$dir/objects.cmd" "$*" "${OBJECTS[@]}" $(prerequisites "${OBJECTS[@]/%/.d}") && return
    fi
    for src in "${SOURCES[@]}"; do
        while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
        object "$dir/${src%.cpp}.o" "$src" "$@" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
    [ "$failed" = 0 ] || die "compile errors above"
    echo "$*" >"$dir/objects.cmd"
}

# Links OUT from OBJECTS and LIBS with the command LINK... . OUT stays in the build folder,
# with whatever else the linker writes beside it (zig: an import library of the module).
link() {
    local out=$1; shift
    local cmd="$* ${OBJECTS[*]} ${LIBS[*]}"
    fresh "$out.cmd" "$out" "$cmd" "${OBJECTS[@]}" "${LIBS[@]}" && return
    "$@" -o "$out" "${OBJECTS[@]}" "${LIBS[@]}" || { rm -f "$out"; die "$out does not link (above)"; }
    echo "$cmd" >"$out.cmd"
}

# Copies a checked module to DIR.
publish() { mkdir -p "$2" && cp -p "$1" "$2/"; }

# The interpreter's include folder, with the target's pyconfig.h in place of its own
# (Python.h includes it from its own folder, so it cannot just come first on the path).
# Debian's pyconfig.h, a multiarch switch, goes too. Times are kept, for fresh().
stage() {
    local from=$1 platform=$2 to=$3
    fresh "$to.from" "$to.from" "$from" "$from" "$TOOLS/$platform/pyconfig.h" && return
    rm -rf "$to" && mkdir -p "$to"
    cp -rpL "$from/." "$to/"
    rm -f "$to/pyconfig.h"
    cp -p "$TOOLS/$platform/pyconfig.h" "$to/pyconfig.h"
    echo "$from" >"$to.from"
}

# Export table exactly PyInit_loss; imports only DLL and the C runtime and system DLLs.
check_pe() {
    local pyd=$1 dll=$2 dump exports imports bad
    dump=$("$MINGW-objdump" -p "$pyd") || { echo "cross: $pyd: objdump cannot read it" >&2; return 1; }
    grep -q "file format pei-x86-64" <<<"$dump" || { echo "cross: $pyd: not a 64-bit x86 PE image" >&2; return 1; }
    exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && /^\t\[/ { print $NF; next } { on = 0 }' <<<"$dump")
    if [ "$exports" != PyInit_loss ]; then
        echo "cross: $pyd: exports [$(echo $exports)], not exactly PyInit_loss" >&2; return 1
    fi
    imports=$(sed -n 's/^\tDLL Name: //p' <<<"$dump")
    bad=$(grep -viE "^($dll|kernel32\.dll|msvcrt\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll)$" <<<"$imports" || true)
    if [ -n "$bad" ] || ! grep -qix "$dll" <<<"$imports"; then
        echo "cross: $pyd: imports [$(echo $imports)]: $dll and the C runtime only" >&2; return 1
    fi
    echo "$(basename "$pyd") ($(basename "$(dirname "$pyd")")): exports PyInit_loss; imports $(echo $imports)"
}

# api TAG INCLUDE: the interpreter's API, every name its headers declare as pythonXY.dll's,
# as a .def, BUILD/TAG/pythonXY.def, named in DEF.
api() {
    local def=$BUILD/$1/python${1#cp}.def
    DEF=$def
    current "$def" "$2" "$TOOLS/api.py" && return
    mkdir -p "$BUILD/$1"
    python3 "$TOOLS/api.py" def "$2" "$(basename "${def%.def}").dll" >"$def.new" && mv "$def.new" "$def"
}

# windows TAG: both Windows builds for one interpreter, against an import library made
# from its .def: a name the DLL does not export fails the link.
windows() {
    local tag=$1 work=$BUILD/$1/windows dll=python${1#cp}.dll compiler lib cxx ldflags out
    for compiler in mingw zig; do
        lib=$work/$compiler/lib${dll%.dll}.dll.a
        mkdir -p "$work/$compiler"
        if [ ! "$lib" -nt "$DEF" ]; then
            if [ $compiler = mingw ]; then "$MINGW-dlltool" -m i386:x86-64 -d "$DEF" -l "$lib"
            else "$ZIG" dlltool -m i386:x86-64 -d "$DEF" -l "$lib"; fi || die "$lib: dlltool failed"
        fi
        if [ $compiler = mingw ]; then cxx=("$MINGW_CXX"); ldflags=(-shared -static-libgcc -static-libstdc++)
        else cxx=("${ZIG_CXX[@]}" -target x86_64-windows-gnu); ldflags=(-shared); fi
        objects "$work/$compiler" "${cxx[@]}" "${FLAGS[@]}" -I"$CHECKOUT/src" -isystem "$work/include"
        LIBS=("$lib")
        out=$work/$compiler/loss.$tag-win_amd64.pyd
        link "$out" "${cxx[@]}" "${ldflags[@]}"
        check_pe "$out" "$dll" || { rm -f "$out"; exit 1; }
        publish "$out" "$DIST/windows/$compiler"
    done
}

# macos TAG: both macOS builds for one interpreter. zig 0.17.1 crashes on -bundle, so
# the module is a dylib, which the interpreter loads all the same.
macos() {
    local tag=$1 work=$BUILD/$1/macos pair arch target out
    for pair in "${MACOS_TARGETS[@]}"; do
        arch=${pair%%:*} target=${pair#*:}
        objects "$work/$arch" "${ZIG_CXX[@]}" -target "$target" "${FLAGS[@]}" -I"$CHECKOUT/src" -isystem "$work/include"
        LIBS=()
        out=$work/$arch/loss.cpython-${tag#cp}-darwin.so
        link "$out" "${ZIG_CXX[@]}" -target "$target" -shared -undefined dynamic_lookup
        python3 "$TOOLS/api.py" macho "$out" "$DEF" | sed "s|^|($arch) |" || { rm -f "$out"; exit 1; }
        publish "$out" "$DIST/macos/$arch"
    done
}

[ $# -gt 0 ] || die "usage: $0 VERSION...   (pyenv versions, 3.14, 3.15)"
ensure_mingw
ensure_zig
for version in "$@"; do
    minor=$(cut -d. -f1,2 <<<"$version")
    case $version in
        3.14 | 3.15)
            "$CHECKOUT/tools/sid.sh" ensure
            include=$CACHE/sid/usr/include/python$minor ;;
        *)
            prefix=$(pyenv prefix "$version") || die "no pyenv interpreter $version"
            include=$prefix/include/python$minor ;;
    esac
    [ -f "$include/Python.h" ] || die "no Python.h in $include"
    tag=cp${minor/./}
    api "$tag" "$include"
    stage "$include" windows "$BUILD/$tag/windows/include"
    windows "$tag"
    stage "$include" macos "$BUILD/$tag/macos/include"
    macos "$tag"
done
