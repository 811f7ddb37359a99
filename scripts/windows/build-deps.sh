#!/usr/bin/env bash
# Builds everything the Windows build links, from Debian's own source packages and with Debian's
# MinGW-w64 compiler: Qt (the modules the updater and its tests use), zlib, minizip and
# libsodium. They are installed into a prefix in the user's cache, named after the source
# versions and this script's content, so a second run (and CI on the same machine) costs
# nothing. Prints how long each part took; the last line is the prefix.
#
# Debian's source lines are not enabled on a fresh machine: a private source list, with its own
# package lists in the cache, leaves the machine's apt configuration as it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cache=${ORVI_BUILD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvi-updater-build}
jobs=${ORVI_BUILD_JOBS:-$(nproc)}
toolchain=$root/cmake/mingw-w64-x86_64.cmake
host=x86_64-w64-mingw32
packages=(qt6-base zlib minizip libsodium)

mkdir -p "$cache"
# Two runs at once (the test command and the demo) would build into one prefix.
exec 9>"$cache/lock"
flock 9

log() { echo "windows-deps: $*" >&2; }
timed() {
    local what=$1 start=$SECONDS
    shift
    "$@"
    log "$what: $((SECONDS - start)) s"
}

apt_dir=$cache/apt
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::Archives=$apt_dir/archives"
    -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root)

refresh_lists() {
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
    cat >"$apt_dir/sources.list" <<EOF
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb-src http://deb.debian.org/debian-security bookworm-security main
EOF
    apt-get "${apt_options[@]}" update -q >"$apt_dir/update.log" 2>&1 ||
        { cat "$apt_dir/update.log" >&2; exit 1; }
    touch "$apt_dir/updated"
}
# The lists are renewed weekly, so that a security release of a source reaches the build.
if [ -z "$(find "$apt_dir/updated" -mtime -7 2>/dev/null)" ]; then
    timed "source lists" refresh_lists
fi

# The versions offered, newest first; a mirror may lack the newest one's files.
versions_of() {
    apt-cache "${apt_options[@]}" showsrc --only-source "$1" | sed -n 's/^Version: //p' |
        sort -u | sort -r -V
}

sources=$cache/sources
mkdir -p "$sources"
declare -A dsc
fetch() {
    local package=$1 version
    for version in $(versions_of "$package"); do
        local file="${package}_${version#*:}.dsc"
        if [ -f "$sources/$file" ] ||
            (cd "$sources" && apt-get "${apt_options[@]}" source -d -q "$package=$version" \
                >>"$apt_dir/source.log" 2>&1); then
            dsc[$package]=$file
            return 0
        fi
        log "$package $version cannot be fetched; trying an older version"
    done
    log "no version of the source package $package can be fetched"
    exit 1
}
for package in "${packages[@]}"; do
    fetch "$package"
done

key=$( { cat "$0" "$toolchain"; printf '%s\n' "${dsc[@]}"; } | sha256sum | cut -c1-12)
prefix=$cache/mingw-$key
if [ -f "$prefix/.complete" ]; then
    log "up to date: ${dsc[*]}"
    echo "$prefix"
    exit 0
fi

work=$cache/work
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"
trap 'rm -rf "$work"' EXIT
unpack() {
    dpkg-source --no-check -x "$sources/${dsc[$1]}" "$work/$1" >"$work/$1.unpack.log" 2>&1 ||
        { cat "$work/$1.unpack.log" >&2; exit 1; }
}
cross_env=(CC="$host-gcc-posix" CXX="$host-g++-posix" AR="$host-ar" RANLIB="$host-ranlib"
    RC="$host-windres" CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib")

# zlib, minizip and libsodium are linked statically: every file beside updater.exe is copied
# at each start from the application folder.
build_zlib() {
    unpack zlib
    # zlib's own build wants win32/, which Debian's tarball drops; the library is its C files.
    local objects=() source
    mkdir -p "$work/zlib/objects" "$prefix/include" "$prefix/lib"
    for source in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
        inflate inftrees trees uncompr zutil; do
        "$host-gcc-posix" -O2 -c "$work/zlib/$source.c" -o "$work/zlib/objects/$source.o"
        objects+=("$work/zlib/objects/$source.o")
    done
    "$host-ar" rcs "$prefix/lib/libz.a" "${objects[@]}"
    cp "$work/zlib/zlib.h" "$work/zlib/zconf.h" "$prefix/include/"
}

autotools_build() {
    local folder=$1
    shift
    (cd "$folder" && autoreconf -fi >/dev/null 2>&1 &&
        env "${cross_env[@]}" ./configure --host=$host --prefix="$prefix" --disable-shared \
            --enable-static "$@" >configure.log 2>&1 &&
        make -j "$jobs" >make.log 2>&1 && make install >install.log 2>&1) ||
        { tail -30 "$folder"/*.log >&2; exit 1; }
}

build_minizip() {
    unpack minizip
    autotools_build "$work/minizip"
}

build_sodium() {
    unpack libsodium
    autotools_build "$work/libsodium"
}

build_qt() {
    unpack qt6-base
    # Tablet events need wintab.h, which neither the tarball nor MinGW has. With OpenGL off,
    # dynamic OpenGL must be switched off as its own input, and DirectWrite 3 needs Direct2D.
    # The offscreen platform plug-in needs FreeType, here the bundled one.
    cmake -S "$work/qt6-base" -B "$work/qt6-base/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_vulkan=OFF -DFEATURE_icu=OFF \
        -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF -DFEATURE_tabletevent=OFF \
        -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_directwrite3=OFF \
        -DFEATURE_freetype=ON -DFEATURE_system_freetype=OFF -DFEATURE_fontconfig=OFF \
        -DFEATURE_schannel=ON -DFEATURE_openssl=OFF -DFEATURE_system_zlib=OFF \
        -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_png=OFF \
        -DFEATURE_system_jpeg=OFF -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF \
        >"$work/qt-configure.log" 2>&1 || { tail -60 "$work/qt-configure.log" >&2; exit 1; }
    cmake --build "$work/qt6-base/build" -j "$jobs" >"$work/qt-build.log" 2>&1 ||
        { grep -B5 -A20 -m3 'error' "$work/qt-build.log" >&2 || tail -60 "$work/qt-build.log" >&2;
          exit 1; }
    cmake --install "$work/qt6-base/build" >"$work/qt-install.log" 2>&1 ||
        { tail -30 "$work/qt-install.log" >&2; exit 1; }
}

start=$SECONDS
timed "zlib (${dsc[zlib]%.dsc})" build_zlib
timed "minizip (${dsc[minizip]%.dsc})" build_minizip
timed "libsodium (${dsc[libsodium]%.dsc})" build_sodium
timed "Qt (${dsc[qt6-base]%.dsc})" build_qt
# Earlier prefixes belong to other versions of the sources or of this script.
find "$cache" -maxdepth 1 -name 'mingw-*' ! -name "mingw-$key" -exec rm -rf {} +
touch "$prefix/.complete"
log "built in $((SECONDS - start)) s: $(du -sh "$prefix" | cut -f1) in $prefix"
echo "$prefix"
