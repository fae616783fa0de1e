#!/usr/bin/env bash
# CPython built here from its source archive, for the rows of tools/interpreters.txt whose source
# is "cpython" (a free-threaded build that neither pyenv nor Debian has), into the cache:
#   tools/cpython.sh prefix VERSION [tsan]    print where it is (or will be) installed
#   tools/cpython.sh ensure VERSION [tsan]    build and install it there where missing
# VERSION is the row's version, 3.14t: the archive is the newest Python-3.14.*.tar.xz in
# $SHARED/cpython ($SHARED defaults to ../shared beside the checkout), a trailing "t" means
# --disable-gil, and "tsan" adds --with-thread-sanitizer (another prefix). A stamp in the prefix
# records the archive and the options; an interpreter already installed there with the same
# version and build is adopted as it is. One build at a time per prefix (flock).
set -euo pipefail

CACHE=${CACHE:-$HOME/.cache/loss-build}
CHECKOUT=$(cd "$(dirname "$0")/.." && pwd)
SHARED=${SHARED:-$CHECKOUT/../shared}
JOBS=${JOBS:-2}

die() { echo "cpython: $*" >&2; exit 1; }

[ $# -ge 2 ] || die "usage: tools/cpython.sh prefix|ensure VERSION [tsan]"
cmd=$1 version=$2 flavour=${3:-}
case $version in
    3.[0-9]*t) minor=${version%t}; options=--disable-gil; suffix=t ;;
    3.[0-9]*) minor=$version; options=; suffix= ;;
    *) die "$version: not a version such as 3.14t" ;;
esac
name=python-$version
case $flavour in
    tsan) options="$options --with-thread-sanitizer"; name=$name-tsan ;;
    "") ;;
    *) die "unknown flavour $flavour" ;;
esac
prefix=$CACHE/$name
python=$prefix/bin/python$minor$suffix

if [ "$cmd" = prefix ]; then echo "$prefix"; exit 0; fi
[ "$cmd" = ensure ] || die "unknown command $cmd"

archive=$(ls "$SHARED"/cpython/Python-"$minor".*.tar.xz 2>/dev/null | sort -V | tail -n 1 || true)
[ -n "$archive" ] || die "no Python-$minor.*.tar.xz in $SHARED/cpython"
full=$(basename "$archive" .tar.xz); full=${full#Python-}
want="$(basename "$archive") $options"

mkdir -p "$CACHE/src"
exec 9>"$CACHE/$name.lock"
flock 9
[ "$(cat "$prefix/.ready" 2>/dev/null)" = "$want" ] && exit 0

# What the interpreter at the prefix is, as "VERSION GIL-DISABLED CONFIG_ARGS".
built_as() {
    "$python" -c 'import platform, sysconfig as s
print(platform.python_version(), s.get_config_var("Py_GIL_DISABLED"), s.get_config_var("CONFIG_ARGS"))' 2>/dev/null
}
adopt() {
    local got
    got=$(built_as) || return 1
    case $got in "$full $([ -n "$suffix" ] && echo 1 || echo 0) "*) ;; *) return 1 ;; esac
    case $flavour in tsan) [[ $got == *--with-thread-sanitizer* ]] || return 1 ;; esac
    return 0
}
if adopt; then echo "$want" >"$prefix/.ready"; exit 0; fi

src=$CACHE/src/Python-$full-${name#python-}
log=$CACHE/src/$name.log
echo "cpython: building $full ($options) into $prefix, about 7 minutes on 2 cores, 20 with the sanitizer (log: $log)"
rm -rf "$src" "$prefix" && mkdir -p "$src"
tar -xJf "$archive" -C "$src" --strip-components=1
{
    cd "$src"
    # The sanitizer would report CPython's own known races while pip installs itself.
    export TSAN_OPTIONS="suppressions=$src/Tools/tsan/suppressions_free_threading.txt exitcode=0"
    ./configure $options --prefix="$prefix"
    make -j"$JOBS"
    make install
} >"$log" 2>&1 || { tail -n 30 "$log"; die "build failed (log: $log)"; }
adopt || die "$python is not the $full build that was asked for"
# The sanitizer's suppressions of CPython's own known races, for runs under it.
mkdir -p "$prefix/share/tsan" && cp "$src"/Tools/tsan/*.txt "$prefix/share/tsan/"
echo "$want" >"$prefix/.ready"
rm -rf "$src"
