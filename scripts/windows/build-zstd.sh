#!/usr/bin/env bash
# Builds zstd for the Windows build from Debian's own source package (libzstd) with Debian's
# MinGW-w64 compiler: the library's C files (common, compress, decompress; no legacy formats,
# no dictionary builder, no assembly) as a static libzstd.a with its headers and a pkg-config
# file. The updater decodes only; the tests also make patches, so the encoder is built too.
# It lives apart from build-deps.sh, whose content keys the cached Qt build, and works the
# same way: a private source list in the cache, a prefix named after the source version and
# this script, the last line printed is the prefix. CMake runs it when the Windows build is
# configured without ORVI_WINDOWS_ZSTD_PREFIX.
set -euo pipefail
cache=${ORVI_BUILD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvi-updater-build}
host=x86_64-w64-mingw32
package=libzstd

mkdir -p "$cache"
exec 9>"$cache/zstd.lock"
flock 9

log() { echo "windows-zstd: $*" >&2; }

apt_dir=$cache/apt-zstd
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::Archives=$apt_dir/archives"
    -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root)
if [ -z "$(find "$apt_dir/updated" -mtime -7 2>/dev/null)" ]; then
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
    cat >"$apt_dir/sources.list" <<LIST
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb-src http://deb.debian.org/debian-security bookworm-security main
LIST
    apt-get "${apt_options[@]}" update -q >"$apt_dir/update.log" 2>&1 ||
        { cat "$apt_dir/update.log" >&2; exit 1; }
    touch "$apt_dir/updated"
fi

sources=$cache/sources
mkdir -p "$sources"
dsc=
for version in $(apt-cache "${apt_options[@]}" showsrc --only-source "$package" |
    sed -n 's/^Version: //p' | sort -u | sort -r -V); do
    file="${package}_${version#*:}.dsc"
    if [ -f "$sources/$file" ] ||
        (cd "$sources" && apt-get "${apt_options[@]}" source -d -q "$package=$version" \
            >>"$apt_dir/source.log" 2>&1); then
        dsc=$file
        break
    fi
    log "$package $version cannot be fetched; trying an older version"
done
[ -n "$dsc" ] || { log "no version of the source package $package can be fetched"; exit 1; }

key=$( { cat "$0"; echo "$dsc"; } | sha256sum | cut -c1-12)
prefix=$cache/zstd-mingw-$key
if [ -f "$prefix/.complete" ]; then
    log "up to date: $dsc"
    echo "$prefix"
    exit 0
fi

start=$SECONDS
work=$cache/zstd-work
rm -rf "$work" "$prefix"
mkdir -p "$work/objects" "$prefix/include" "$prefix/lib/pkgconfig"
trap 'rm -rf "$work"' EXIT
dpkg-source --no-check -x "$sources/$dsc" "$work/src" >"$work/unpack.log" 2>&1 ||
    { cat "$work/unpack.log" >&2; exit 1; }
objects=()
for source in "$work"/src/lib/common/*.c "$work"/src/lib/compress/*.c \
    "$work"/src/lib/decompress/*.c; do
    object=$work/objects/$(basename "$(dirname "$source")")-$(basename "$source" .c).o
    "$host-gcc-posix" -O2 -DZSTD_DISABLE_ASM -DZSTD_LEGACY_SUPPORT=0 -I"$work/src/lib" \
        -I"$work/src/lib/common" -c "$source" -o "$object"
    objects+=("$object")
done
"$host-ar" rcs "$prefix/lib/libzstd.a" "${objects[@]}"
cp "$work/src/lib/zstd.h" "$work/src/lib/zstd_errors.h" "$work/src/lib/zdict.h" "$prefix/include/"
version=$(sed -n 's/^Version: //p' "$sources/$dsc" | head -n1)
cat >"$prefix/lib/pkgconfig/libzstd.pc" <<PC
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: zstd
Description: fast lossless compression algorithm library (Debian's $dsc, static, for MinGW)
Version: ${version%%+*}
Libs: -L\${libdir} -lzstd
Cflags: -I\${includedir}
PC
# Earlier prefixes belong to other versions of the source or of this script.
find "$cache" -maxdepth 1 -name 'zstd-mingw-*' ! -name "zstd-mingw-$key" -exec rm -rf {} +
touch "$prefix/.complete"
log "zstd (${dsc%.dsc}): $((SECONDS - start)) s"
echo "$prefix"
