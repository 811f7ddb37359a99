#!/usr/bin/env bash
# The main job: a real update of a demo installation against a local update server.
#
# Installs what is missing, builds, creates a demo installation (version 1 of three components,
# the sample main application and the updater) and a catalogue of version 2 packages signed
# with the demo's own key, which the updater is built with; checks the signatures with Debian's
# minisign, serves the packages with a private nginx and the update queries with the update
# server behind nginx's TLS (a certificate of the demo's own authority, which the updater is
# built to trust alone), all on loopback, and runs the updater from the installation as a user
# would, and then once more quietly, as the main application starts it, printing the result
# the updater recorded for the main application.
# On a desktop the windows are yours to click; without a display they run under Xvfb and are
# clicked through over the accessibility bus. Ends by comparing the installation with version 2.
# With --windows the same update runs with the Windows updater.exe and orvi7.exe, cross-built
# and installed in a Wine prefix, against the same nginx and update server.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD

usage() {
    cat <<'EOF'
Usage: ./demo.sh [--fresh] [--headless] [--windows]
  --fresh     start over: recreate the demo installation and the catalogue (by default a
              second run keeps the updated installation and finds nothing to update); the
              signing key in out/demo/keys is kept
  --headless  run the windows under Xvfb and click through them even when DISPLAY is set
  --windows   update a Windows installation instead: updater.exe and orvi7.exe cross-built
              (build/demo-windows) and run under Wine in the prefix out/demo/wine-prefix
              (kept by --fresh), the windows always under Xvfb, driven with the keyboard
Outputs go to out/demo/ (pictures of the windows in out/demo/pictures/, with --windows in
out/demo/pictures-windows/).
EOF
}

fresh=false
headless=false
windows=false
for argument in "$@"; do
    case $argument in
        --fresh) fresh=true ;;
        --headless) headless=true ;;
        --windows) windows=true ;;
        -h | --help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done
[ -n "${DISPLAY:-}" ] || headless=true
# Wine's windows are pictured with the frames Wine draws itself, which a desktop's window
# manager would draw again; they are driven on a display of their own.
if $windows; then headless=true; fi

say() { printf 'demo: %s\n' "$*"; }
fail() { printf 'demo: FAILED: %s\n' "$*" >&2; exit 1; }

scripts/install-deps.sh
build=$root/build/demo
out=$root/out/demo
keys=$out/keys

# The updater refuses a cache or state home below a folder that another user (not root) owns or
# that others may change without the sticky bit: such a user could swap its folders. Root
# running the demo in a checkout someone else owns keeps both homes in a folder of its own.
safe_above() {
    local folder=$1 uid
    uid=$(id -u)
    while :; do
        local owner
        owner=$(stat -c %u "$folder")
        [ "$owner" = "$uid" ] || [ "$owner" = 0 ] || return 1
        [ -z "$(find "$folder" -maxdepth 0 -perm /022 ! -perm -1000)" ] || return 1
        [ "$folder" = / ] && return 0
        folder=$(dirname "$folder")
    done
}
homes=$out
existing=$out
while [ ! -e "$existing" ]; do existing=$(dirname "$existing"); done
if [ "$(id -u)" = 0 ] && ! safe_above "$existing"; then
    homes=${HOME:-/root}/.cache/orvi-demo
    mkdir -p "$homes"
    safe_above "$homes" || fail "no folder of root's own for the cache and state homes ($homes)"
fi

# --- The demo's signing key and the build that trusts it -----------------------------------------
# The TLS authority below is pinned once it exists (the first configuration only builds
# mkpackage).
configure() {
    local pin=()
    [ -f "$keys/tls/ca.pem" ] && pin=(-DORVI_UPDATE_SERVER_CA="$keys/tls/ca.pem")
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVI_BUILD_TESTS=OFF \
        -DORVI_UPDATE_PUBLIC_KEYS="$1" "${pin[@]}" >/dev/null
}
# The minisign key id: bytes 2 to 9 of the public key, printed as a little-endian number.
key_id() {
    /usr/bin/python3 -c 'import base64, sys
print(base64.b64decode(sys.argv[1])[2:10][::-1].hex().upper())' "$1"
}
# The pair is made once and kept, also by --fresh, so the updater is not rebuilt for a new key
# at every run. mkpackage makes it, and a configuration needs a key: the very first one uses
# the committed test key, only to build mkpackage.
key_made=false
if [ ! -f "$keys/orvi.pub" ] || [ ! -f "$keys/orvi.key" ]; then
    # Also over an earlier build's cache, which may hold no key at all.
    configure "$(sed -n 2p tests/keys/test.pub)"
    cmake --build "$build" --target mkpackage
    rm -rf "$keys"
    "$build/tools/mkpackage/mkpackage" --generate-key "$keys" --no-password >/dev/null
    key_made=true
fi
public_key=$(sed -n 2p "$keys/orvi.pub")

# --- The demo's TLS authority, pinned in the build -------------------------------------------------
# Made once with openssl and kept, like the signing key, so the build stays as it is; the
# server's certificate is made anew at every run (below) and lives a week.
tls=$keys/tls
if [ ! -f "$tls/ca.pem" ] || [ ! -f "$tls/ca.key" ]; then
    rm -rf "$tls"
    mkdir -p "$tls"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tls/ca.key" -out "$tls/ca.pem" \
        -days 3650 -subj "/CN=Orvi demo update authority" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null \
        || fail "openssl could not make the demo's authority"
    say "made the demo's TLS authority in $tls/ca.pem (its key $tls/ca.key, a demo key only)"
fi
# The same key again leaves the build as it is; a new one recompiles the one source holding it.
configure "$public_key"
cmake --build "$build" --target updater orvi7 mkpackage update-server
[ "$(sed -n 's/^ORVI_UPDATE_PUBLIC_KEYS:[A-Z]*=//p' "$build/CMakeCache.txt")" = "$public_key" ] \
    || fail "$build is not configured with the demo's public key"
[ "$(sed -n 's/^ORVI_UPDATE_SERVER_CA:[A-Z]*=//p' "$build/CMakeCache.txt")" = "$tls/ca.pem" ] \
    || fail "$build does not pin the demo's TLS authority"
if $windows; then
    # Qt for Windows and the libraries from Debian's sources, built once and cached (as the
    # test command builds them), then updater.exe, its deployment and orvi7.exe.
    windows_build=$root/build/demo-windows
    windows_deps=$(scripts/windows/build-deps.sh | tail -n 1)
    windows_zstd=$(scripts/windows/build-zstd.sh | tail -n 1)
    cmake -S . -B "$windows_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVI_BUILD_TESTS=OFF \
        -DORVI_UPDATE_PUBLIC_KEYS="$public_key" -DORVI_UPDATE_SERVER_CA="$tls/ca.pem" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DORVI_WINDOWS_PREFIX="$windows_deps" -DCMAKE_PREFIX_PATH="$windows_deps" \
        -DORVI_WINDOWS_ZSTD_PREFIX="$windows_zstd" \
        -DQT_HOST_PATH=/usr >/dev/null
    cmake --build "$windows_build" --target updater orvi7 deploy
    [ "$(sed -n 's/^ORVI_UPDATE_PUBLIC_KEYS:[A-Z]*=//p' "$windows_build/CMakeCache.txt")" \
        = "$public_key" ] || fail "$windows_build is not configured with the demo's public key"
fi
started=$SECONDS
if $key_made; then
    say "made the demo's signing key pair in $keys (no password: a demo key only)"
fi
say "the updater is built with one package key, id $(key_id "$public_key") ($keys/orvi.pub)," \
    "and trusts the update server's certificate only from the authority pinned in it:" \
    "$(openssl x509 -in "$tls/ca.pem" -noout -subject -fingerprint -sha256 | tr '\n' ' ')"

installation=$out/installation
appdata=$out/appdata
plugins=$appdata/Orvi/plugins
versions=$out/versions
catalogue=$out/catalogue
pictures=$out/pictures
logs=$out/logs
run=$out/run
wine_prefix=$out/wine-prefix
if $windows; then
    pictures=$out/pictures-windows
fi

# --- Processes this script starts, stopped on every way out -----------------------------------
server_pid='' nginx_pid='' xvfb_pid='' dbus_pid='' updater_pid='' served_copy='' wineserver=''
stop() {
    local pid
    # Every Windows program of the demo's prefix, and its Wine server, before their display.
    if [ -n "$wineserver" ]; then
        WINEPREFIX=$wine_prefix "$wineserver" -k 2>/dev/null || true
        WINEPREFIX=$wine_prefix "$wineserver" -w 2>/dev/null || true
    fi
    # nginx ends its workers before it exits on SIGTERM.
    for pid in "$updater_pid" "$server_pid" "$nginx_pid" "$dbus_pid" "$xvfb_pid"; do
        if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then continue; fi
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null || true
    done
    if [ -n "$served_copy" ]; then rm -rf "$served_copy"; fi
}
trap stop EXIT
trap 'exit 130' INT TERM

# Waits up to $1 seconds for the command after it to succeed.
wait_until() {
    local limit=$1; shift
    local deadline=$((SECONDS + limit))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

# --- Versions 1 and 2 of the three components ----------------------------------------------------
# write_versions, shared with the delta benchmark.
# shellcheck source=scripts/demo/versions.sh
source "$root/scripts/demo/versions.sh"

# Each package is signed as it is built: <package>.minisig beside it, sent with the offer. Each
# comes with its delta from version 1 (<package>-from-<version 1>.zip, signed too), which the
# update server offers to installations that report version 1.
build_catalogue() {
    rm -rf "$catalogue"
    mkdir -p "$catalogue"
    local mkpackage=("$build/tools/mkpackage/mkpackage" --sign "$keys/orvi.key")
    "${mkpackage[@]}" --old "$versions/1/core" --new "$versions/2/core" \
        --project orvi --name core --type app --output core.zip --delta 7.0 \
        --catalogue "$catalogue" --version 7.1 --description "Orvi messenger" \
        --changelog $'Faster start.\nA new network transport.\nThe 6.x left-overs are gone.' \
        --author "Orvi team" --webpage https://orvi.example/ --timestamp 1767225600
    "${mkpackage[@]}" --old "$versions/1/emoticons" --new "$versions/2/emoticons" \
        --project orvi --name emoticons --type app --output emoticons.zip --delta 1.0 \
        --catalogue "$catalogue" --version 1.1 --description "Emoticons" \
        --changelog $'Animated emoticons.\nA brighter smile.' --timestamp 1767225600
    "${mkpackage[@]}" --old "$versions/1/gg" --new "$versions/2/gg" \
        --project orvi --name gg --type plugin --output gg.zip --delta 1.2 \
        --catalogue "$catalogue" --version 1.3 --description "GG protocol plug-in" \
        --changelog "A ring when a message arrives." --timestamp 1767225600
}

create_installation() {
    rm -rf "$installation" "$appdata"
    mkdir -p "$installation" "$plugins"
    cp -a "$versions/1/core/." "$versions/1/emoticons/." "$installation/"
    cp -a "$versions/1/gg/." "$plugins/"
    cp "$build/tools/sampleapp/orvi7.exe" "$installation/"
}

created=false
if $fresh || [ ! -x "$installation/orvi7.exe" ] || [ ! -f "$catalogue/index.xml" ]; then
    say "creating the demo installation (version 1) and the catalogue (version 2) in $out"
    mkdir -p "$out"
    # The Wine prefix is kept like the keys: making one takes a while.
    find "$out" -mindepth 1 -maxdepth 1 ! -name keys ! -name wine-prefix -exec rm -rf {} +
    [ "$homes" = "$out" ] || rm -rf "$homes/state"
    write_versions
    build_catalogue
    create_installation
    created=true
else
    $windows || say "keeping the demo installation in $installation (--fresh starts over)"
    if $key_made; then
        say "signing the catalogue again with the new key"
        build_catalogue
    fi
fi

# --- The Windows installation, in a Wine prefix of the demo's own ---------------------------
if $windows; then
    # As CMake finds them for the tests: Debian's wine64 and its server.
    for wine in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
        [ -n "$wine" ] && [ -x "$wine" ] && break
    done
    for wineserver in /usr/lib/wine/wineserver "$(command -v wineserver || true)"; do
        [ -n "$wineserver" ] && [ -x "$wineserver" ] && break
    done
    [ -x "$wine" ] && [ -x "$wineserver" ] \
        || fail "Wine is not installed (scripts/install-deps.sh installs it)"
    export WINEPREFIX=$wine_prefix WINEARCH=win64 WINEDEBUG=-all
    # No Mono or Gecko installer, and no menu entries on the host.
    export WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=d;mshtml=d'
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        say "making the Wine prefix $WINEPREFIX"
        rm -rf "$WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        env -u DISPLAY "$wine" wineboot --init >"$out/wineboot.log" 2>&1 \
            || fail "wineboot failed (see $out/wineboot.log)"
        # Wine draws the windows' frames and title bars itself, as Windows does, and the
        # Light theme that ships with it is on.
        cat >"$out/wine-settings.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Decorated"="N"

[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\ThemeManager]
"ThemeActive"="1"
"DllName"="C:\\windows\\resources\\themes\\light\\light.msstyles"
"ColorName"="NormalColor"
"SizeName"="NormalSize"
REG
        env -u DISPLAY "$wine" regedit /S "$out/wine-settings.reg" >>"$out/wineboot.log" 2>&1 \
            || fail "the Wine settings could not be written (see $out/wineboot.log)"
        # Wine's own fonts (Tahoma, and Marlett for the title bars' buttons), which Debian's
        # Wine does not find in its data folder.
        cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
    # The Windows user's folders, as Windows programs see them, mapped to this machine's paths.
    env -u DISPLAY "$wine" cmd /c 'echo %APPDATA%& echo %TEMP%' >"$out/wine-folders" 2>/dev/null \
        || fail "Wine does not run cmd"
    unix_path() {
        local path=${1%$'\r'}
        path=${path#[Cc]:\\}
        printf '%s/drive_c/%s\n' "$WINEPREFIX" "${path//\\//}"
    }
    # Programs started later join this Wine server with its display: it must be gone first.
    "$wineserver" -w
    windows_appdata=$(unix_path "$(sed -n 1p "$out/wine-folders")")
    windows_temp=$(unix_path "$(sed -n 2p "$out/wine-folders")")
    windows_installation="$WINEPREFIX/drive_c/Program Files/Orvi"
    windows_plugins=$windows_appdata/Orvi/plugins
    if $created || $fresh || [ ! -f "$windows_installation/orvi7.exe" ]; then
        say "creating the Windows demo installation (version 1) in $windows_installation"
        # The user's own state goes too: the plug-ins, the recorded versions, the download
        # folder and its lock.
        rm -rf "$windows_installation" "$windows_appdata/Orvi" "$windows_appdata/orvi-updater" \
            "$windows_temp/tupdates" "$windows_temp/orvi-updater.lock"
        mkdir -p "$windows_installation" "$windows_plugins"
        cp -a "$versions/1/core/." "$versions/1/emoticons/." "$windows_installation/"
        cp -a "$versions/1/gg/." "$windows_plugins/"
        cp "$windows_build/tools/sampleapp/orvi7.exe" "$windows_installation/"
    else
        say "keeping the Windows demo installation in $windows_installation (--fresh starts over)"
    fi
    # From here on the installation checked is the Windows one.
    installation=$windows_installation
    plugins=$windows_plugins
fi

# What the updater checks before it unpacks a package, done here with Debian's own tool.
say "signatures in $catalogue, checked by minisign against $keys/orvi.pub:"
for package in "$catalogue"/*.zip; do
    result=$(minisign -V -m "$package" -p "$keys/orvi.pub" 2>&1) \
        || fail "minisign refuses the signature of $package: $result"
    printf '    %s: %s\n' "${package##*/}" "$result" | sed '2,$s/^/        /'
done

# The updater is installed beside the main application, as a user has it; a rebuilt one
# replaces the copy there. On Windows with the libraries and Qt's plug-ins it loads.
if $windows; then
    cp -a "$windows_build/deploy/." "$installation/"
else
    cp "$build/src/updater" "$installation/updater"
fi

rm -rf "$pictures" "$logs" "$run" "$out/tmp" "$homes/cache"
mkdir -p "$pictures" "$logs" "$run" "$out/tmp" "$homes/cache"
chmod 700 "$run"
if $windows; then
    # Each run starts with an empty download folder, as on Linux with its fresh cache home.
    rm -rf "$windows_temp/tupdates" "$windows_temp"/tupdates-kept-* \
        "$windows_temp/orvi-updater.lock"
fi

# --- The packages from nginx, slowed so that the download can be watched -----------------------
# Debian's nginx with a configuration of its own (port, pid file, logs): the system's nginx, if
# one runs, is neither used nor touched.
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || fail "nginx is not installed (scripts/install-deps.sh installs it)"
web=$run/nginx
mkdir -p "$web"
# Started by root, nginx runs its workers as another user, who must read the packages:
# www-data, as Debian's own nginx does, or, when a folder on the way keeps www-data out (a
# private home folder), the user who ran sudo; never root. When neither can (root's own
# checkout under /root), www-data serves a copy of the packages from a folder of the demo's
# own, removed on the way out.
nginx_user=''
served=$catalogue
if [ "$(id -u)" -eq 0 ]; then
    readable_by() {
        local package
        for package in "$served"/*.zip; do
            setpriv --reuid="$1" --regid="$1" --init-groups test -r "$package" || return 1
        done
    }
    for candidate in www-data "${SUDO_USER:-}"; do
        if [ -n "$candidate" ] && [ "$candidate" != root ] && readable_by "$candidate"; then
            nginx_user=$candidate
            break
        fi
    done
    if [ -z "$nginx_user" ]; then
        served_copy=$(mktemp -d "${TMPDIR:-/tmp}/orvi-demo-packages.XXXXXX")
        chmod 755 "$served_copy"
        cp --preserve=timestamps "$catalogue"/*.zip "$served_copy/"
        chmod 644 "$served_copy"/*.zip
        served=$served_copy
        readable_by www-data && nginx_user=www-data
    fi
    [ -n "$nginx_user" ] || fail "neither www-data nor the user who ran sudo can read the \
packages in $catalogue, nor www-data a copy of them in $served_copy"
fi
free_port() {
    /usr/bin/python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# The update server's certificate for 127.0.0.1 from the demo's authority, a week long.
openssl req -newkey rsa:2048 -nodes -keyout "$run/server-tls.key" -out "$run/server-tls.csr" \
    -subj "/CN=127.0.0.1" 2>/dev/null || fail "openssl could not make the server's key"
printf '%s\n' "basicConstraints=critical,CA:FALSE" "extendedKeyUsage=serverAuth" \
    "subjectAltName=IP:127.0.0.1" >"$run/server-tls.ext"
openssl x509 -req -in "$run/server-tls.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" \
    -CAcreateserial -CAserial "$run/ca.srl" -days 7 -sha256 -extfile "$run/server-tls.ext" \
    -out "$run/server-tls.pem" 2>/dev/null || fail "openssl could not certify the server's key"
# nginx sends the authority with the certificate: Wine's Schannel builds the chain only from what
# the server sends (it cannot import the set of authorities Qt hands it), and Qt then checks the
# chain's root against the pinned authority itself.
cat "$tls/ca.pem" >>"$run/server-tls.pem"
# Static files only: the packages (HEAD, GET and ranges are nginx's own), nothing else, no
# listing; 400 kB/s per download. The update queries pass through the stream module, which
# terminates TLS, to the update server, at most 100 connections at once from one address, each
# opened with the PROXY protocol's line naming the client ($2: nginx's port for them, $3: the
# update server's).
stream_module=/usr/lib/nginx/modules/ngx_stream_module.so
[ -f "$stream_module" ] || fail "nginx's stream module is missing (scripts/install-deps.sh installs it)"
write_nginx_config() {
    cat >"$web/nginx.conf" <<CONF
load_module $stream_module;
daemon off;
worker_processes 1;
${nginx_user:+user $nginx_user;}
pid "$web/nginx.pid";
events { worker_connections 512; }
http {
    log_format packages '\$request \$status \$body_bytes_sent bytes';
    access_log "$logs/nginx-access.log" packages;
    client_body_temp_path "$web/client_body";
    proxy_temp_path "$web/proxy";
    fastcgi_temp_path "$web/fastcgi";
    uwsgi_temp_path "$web/uwsgi";
    scgi_temp_path "$web/scgi";
    types { application/zip zip; }
    server {
        listen 127.0.0.1:$1;
        root "$served";
        autoindex off;
        location / { return 404; }
        location ~ "^/[^/]+\.zip\$" { limit_rate 400k; }
    }
}
stream {
    limit_conn_zone \$binary_remote_addr zone=update_peers:1m;
    ssl_certificate "$run/server-tls.pem";
    ssl_certificate_key "$run/server-tls.key";
    # Debian's nginx 1.22 leaves TLS 1.3 out by default.
    ssl_protocols TLSv1.2 TLSv1.3;
    server {
        listen 127.0.0.1:$2 ssl;
        limit_conn update_peers 100;
        proxy_pass 127.0.0.1:$3;
        proxy_protocol on;
        proxy_timeout 30s;
    }
}
CONF
}
nginx_answers() { curl -s -o /dev/null --max-time 1 -I "http://127.0.0.1:$nginx_port/core.zip"; }
# A port free when asked may be taken before nginx binds it: then another one.
for _ in 1 2 3; do
    nginx_port=$(free_port)
    query_port=$(free_port)
    update_port=$(free_port)
    write_nginx_config "$nginx_port" "$query_port" "$update_port"
    "$nginx" -p "$web/" -c "$web/nginx.conf" -e "$logs/nginx-error.log" &
    nginx_pid=$!
    wait_until 10 eval 'nginx_answers || ! kill -0 "$nginx_pid" 2>/dev/null' || true
    nginx_answers && break
    stop
    nginx_pid=''
done
[ -n "$nginx_pid" ] || fail "nginx did not start: $(cat "$logs/nginx-error.log")"
status_of() { curl -s -o /dev/null --max-time 5 -w '%{http_code}' "$@"; }
say "nginx on 127.0.0.1:$nginx_port serves $served${nginx_user:+ (workers as $nginx_user)}:" \
    "HEAD core.zip $(status_of -I "http://127.0.0.1:$nginx_port/core.zip")," \
    "a range of it $(status_of -r 0-99 "http://127.0.0.1:$nginx_port/core.zip")," \
    "the folder $(status_of "http://127.0.0.1:$nginx_port/")," \
    "index.xml $(status_of "http://127.0.0.1:$nginx_port/index.xml")"

# --- The update server's key, delegated by the package key ----------------------------------------
# The server signs its answers with a key of its own (made once and kept, like the package key),
# which the package key delegates for a week at every run; minisign checks the statement as the
# updater will.
server_keys=$keys/server
if [ ! -f "$server_keys/orvi.key" ]; then
    rm -rf "$server_keys"
    "$build/tools/mkpackage/mkpackage" --generate-key "$server_keys" --no-password >/dev/null
fi
delegation=$run/server.delegation
"$build/tools/mkpackage/mkpackage" --delegate "$server_keys/orvi.pub" --sign "$keys/orvi.key" \
    --valid-days 7 --output "$delegation" >/dev/null
sed -n 2p "$server_keys/orvi.pub" >"$run/server.keyline"
result=$(minisign -V -m "$run/server.keyline" -x "$delegation" -p "$keys/orvi.pub" 2>&1) \
    || fail "minisign refuses the delegation of the server's key: $result"
say "the server's key $(key_id "$(sed -n 2p "$server_keys/orvi.pub")") ($server_keys/orvi.pub)" \
    "is delegated by the package key $(key_id "$public_key") in $delegation, checked by minisign:"
printf '%s\n' "$result" | sed 's/^/    /'

# --- The update server: the update queries, with links to nginx ---------------------------------
# Behind nginx every connection comes from nginx's address: the PROXY protocol's line names
# the client, whose address the server's per-address limit and log then use.
"$build/tools/update-server/update-server" --catalogue "$catalogue" --update-port "$update_port" \
    --base-url "http://127.0.0.1:$nginx_port" --proxy-protocol \
    --server-key "$server_keys/orvi.key" --delegation "$delegation" \
    >"$run/server-port" 2>"$logs/server.log" &
server_pid=$!
wait_until 10 eval 'grep -qs "^update port " "$run/server-port" || ! kill -0 "$server_pid" 2>/dev/null' \
    || true
grep -qs '^update port ' "$run/server-port" \
    || fail "the update server did not start on port $update_port: $(cat "$logs/server.log")"
wait_until 5 grep -qs 'answers signed with' "$logs/server.log" \
    || fail "the update server does not sign its answers: $(cat "$logs/server.log")"
tls_check=$(openssl s_client -connect "127.0.0.1:$query_port" -CAfile "$tls/ca.pem" \
    -verify_ip 127.0.0.1 -verify_return_error </dev/null 2>&1) \
    || fail "nginx's TLS on 127.0.0.1:$query_port does not verify: $tls_check"
say "nginx terminates TLS on 127.0.0.1:$query_port with $run/server-tls.pem" \
    "($(openssl x509 -in "$run/server-tls.pem" -noout -subject -enddate | tr '\n' ' '))," \
    "openssl s_client against the demo's authority:" \
    "$(printf '%s\n' "$tls_check" | grep -m1 -o 'Verify return code: .*')," \
    "$(printf '%s\n' "$tls_check" | grep -m1 -o 'New, [^,]*, Cipher is .*')"
say "update server on 127.0.0.1:$update_port (plain, on loopback), behind nginx's TLS on" \
    "127.0.0.1:$query_port (at most 100 connections from one address, each named to the" \
    "server by the PROXY protocol's line), links to" \
    "http://127.0.0.1:$nginx_port; $(grep -o 'answers signed with .*' "$logs/server.log")"

# --- A display and an accessibility bus --------------------------------------------------------
if $headless; then
    exec 3>"$run/display"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
    xvfb_pid=$!
    exec 3>&-
    wait_until 10 grep -qs . "$run/display" || fail "Xvfb did not start (see $logs/xvfb.log)"
    DISPLAY=:$(cat "$run/display")
    export DISPLAY
    if $windows; then
        say "Wine's windows run under Xvfb on $DISPLAY and are driven with the keyboard"
    else
        say "no desktop: the windows run under Xvfb on $DISPLAY and are clicked through"
    fi
else
    say "the windows open on $DISPLAY: click \"Download now\", then \"Close\""
fi
export XDG_RUNTIME_DIR=$run QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb
export LANG=C.UTF-8 LC_ALL=C.UTF-8 LANGUAGE=en
unset WAYLAND_DISPLAY
if ! $windows; then
    # A private session bus: the accessibility bus it starts on demand lives and ends with it.
    dbus-daemon --session --nofork --print-address=3 3>"$run/dbus-address" >"$logs/dbus.log" 2>&1 &
    dbus_pid=$!
    wait_until 10 grep -qs . "$run/dbus-address" || fail "the D-Bus session did not start"
    DBUS_SESSION_BUS_ADDRESS=$(cat "$run/dbus-address")
    export DBUS_SESSION_BUS_ADDRESS
fi

# The main application notes each start in orvi7.log beside it.
log_lines() {
    if [ -f "$installation/orvi7.log" ]; then wc -l <"$installation/orvi7.log"; else echo 0; fi
}
log_lines_before=$(log_lines)
# The update's own requests follow the checks above in nginx's log.
access_lines_before=$(wc -l <"$logs/nginx-access.log")

# --- The update on Windows, as a user starts it ----------------------------------------------
# updater.exe copies itself and its libraries into %TEMP%\tupdates\ and starts that copy; the
# demo waits for the copy's exit code too. The versions it installed are recorded in
# %APPDATA%\orvi-updater\versions.
if $windows; then
    export ORVI_UPDATE_SERVER=127.0.0.1:$query_port
    versions_file=$windows_appdata/orvi-updater/versions
    say "starting C:\\Program Files\\Orvi\\updater.exe under Wine (prefix $WINEPREFIX)"
    set +e
    /usr/bin/python3 scripts/demo/clickthrough_wine.py --pictures "$pictures" --timeout 60 \
        --log "$logs/wine.log" -- "$wine" 'C:\Program Files\Orvi\updater.exe'
    outcome=$?
    set -e
    case $outcome in
        0) say "the update was installed" ;;
        3)
            # Only boxes: the update server must have found nothing to offer.
            tail -n 1 "$logs/server.log" | grep -q ' 0 available, ' \
                || fail "a message box came instead of the offer (pictured in $pictures)"
            if [ ! -e "$pictures/message-box-2.png" ]; then
                mv "$pictures/message-box.png" "$pictures/no-updates.png"
            fi
            say "No updates available. (the update server offered none)"
            ;;
        *) fail "the updater's windows did not go as expected (pictures in $pictures)" ;;
    esac
fi

# --- The update on Linux, as a user starts it -----------------------------------------------
if ! $windows; then
    # The updater copies itself into its private download folder below the cache home
    # (XDG_CACHE_HOME/orvi-updater/tupdates) and starts that copy.
    # The versions it installed are recorded below the state home, kept with the installation.
    [ "$homes" = "$out" ] || say "cache and state homes outside the checkout, which root does not own: $homes"
    export TMPDIR=$out/tmp XDG_CACHE_HOME=$homes/cache XDG_STATE_HOME=$homes/state APPDATA=$appdata \
        ORVI_UPDATE_SERVER=127.0.0.1:$query_port
    versions_file=$homes/state/orvi-updater/versions
    say "starting $installation/updater"
    timeout 60 "$installation/updater" || fail "the updater's relocation run failed (code $?)"

    relocated=$XDG_CACHE_HOME/orvi-updater/tupdates/updater
    find_relocated() {
        local exe
        for exe in /proc/[0-9]*/exe; do
            if [ "$(readlink "$exe" 2>/dev/null)" = "$relocated" ]; then
                updater_pid=${exe#/proc/}
                updater_pid=${updater_pid%/exe}
                return 0
            fi
        done
        return 1
    }
    wait_until 10 find_relocated || fail "the relocated updater ($relocated) is not running"
    say "the relocated updater runs from $relocated (process $updater_pid)"

    if $headless; then
        mode=click timeout=60
    else
        mode=watch timeout=900
    fi
    set +e
    /usr/bin/python3 scripts/demo/clickthrough.py --mode "$mode" --pictures "$pictures" \
        --timeout "$timeout" --pid "$updater_pid"
    outcome=$?
    set -e
    case $outcome in
        0 | 3) ;;
        *) fail "the updater's windows did not go as expected (pictures in $pictures)" ;;
    esac
    wait_until 30 eval '! kill -0 "$updater_pid" 2>/dev/null' \
        || fail "the updater did not end after its last window"
    updater_pid=''
    if [ "$outcome" -eq 0 ]; then
        say "the update was installed"
    else
        say "No updates available."
    fi
fi

# --- What the installation holds now ---------------------------------------------------------
# One line per file: hash and path, sorted by path; orvi7.log is the main application's own.
listing() {
    (cd "$1" && find . -type f ! -name orvi7.log -printf '%P\0' | xargs -0r sha256sum) \
        | sort -k2
}
# Version 2 of the two app components, the main application and the updater (on Windows
# with its deployment); the plug-in.
expected_installation() {
    {
        listing "$versions/2/core"
        listing "$versions/2/emoticons"
        if $windows; then
            (cd "$windows_build/tools/sampleapp" && sha256sum orvi7.exe)
            listing "$windows_build/deploy"
        else
            (cd "$build/tools/sampleapp" && sha256sum orvi7.exe)
            (cd "$build/src" && sha256sum updater)
        fi
    } | sort -k2
}

say "files in $installation:"
listing "$installation" | tee "$run/installation.sha256" | sed 's/^/    /'
say "files in $plugins:"
listing "$plugins" | tee "$run/plugins.sha256" | sed 's/^/    /'
if ! diff -u <(expected_installation) "$run/installation.sha256" >"$run/difference" \
    || ! diff -u <(listing "$versions/2/gg") "$run/plugins.sha256" >>"$run/difference"; then
    cat "$run/difference" >&2
    fail "the demo installation does not hold version 2"
fi
say "the demo installation holds version 2, file for file: OK"
# Each package passed the updater's signature check before it was unpacked; the versions it
# installed are recorded, and an older signed package is refused from now on.
[ -f "$versions_file" ] || fail "the updater recorded no installed versions ($versions_file)"
say "versions the updater recorded after checking each package's signature ($versions_file):"
sed -n 's/^installed //p' "$versions_file" | sed 's/%2F/\//g; s/%3A/:/g; s/%20/ /g; s/^/    /'

if [ "$outcome" -eq 0 ]; then
    wait_until 10 eval '[ "$(log_lines)" -gt "$log_lines_before" ]' \
        || fail "the main application was not restarted (no new line in orvi7.log)"
    log_lines_after=$(log_lines)
    say "the main application was restarted: orvi7.log has $log_lines_after line(s), one more"
else
    log_lines_after=$(log_lines)
    [ "$log_lines_after" -eq "$log_lines_before" ] \
        || fail "the main application was restarted although nothing was updated"
    say "the main application was not restarted (nothing was updated)"
fi

# What the update fetched (every GET nginx answered with a package or a delta) against what the
# whole packages of the same update weigh.
update_requests() { tail -n +"$((access_lines_before + 1))" "$logs/nginx-access.log"; }
fetched=$(update_requests | awk '$1 == "GET" && $4 ~ /^20[06]$/ { sum += $5 } END { print sum + 0 }')
whole=0
for package in core emoticons gg; do
    whole=$((whole + $(stat -c %s "$catalogue/$package.zip")))
done
if [ "$fetched" -gt 0 ]; then
    say "the update downloaded $fetched bytes ($(update_requests | awk '$1 == "GET" { print $2 }' |
        sed 's|^/||' | tr '\n' ' ' | sed 's/ $//')) against $whole bytes of the whole" \
        "packages: $(awk -v f="$fetched" -v w="$whole" 'BEGIN { printf "%.2f", 100 * f / w }') %"
fi
# --- The run's result, as the main application learns it ---------------------------------------
# The main application starts the updater quietly with a run id of its own: the relocation run
# exits as soon as its copy starts, and the copy records how the run ended in the state folder,
# where the main application reads it.
if ! $windows; then
    run_id=demo-$(date +%s)
    say "a quiet run started through the relocation, as the main application starts it:" \
        "$installation/updater -q -runid $run_id"
    timeout 60 "$installation/updater" -q -runid "$run_id" \
        || fail "the quiet relocation run failed (code $?)"
    result_ready() {
        "$installation/orvi7.exe" -updateresult "$run_id" >"$run/update-result" 2>&1
    }
    wait_until 60 result_ready \
        || fail "no result of the run $run_id was recorded: $(cat "$run/update-result")"
    say "the main application reads the run's result (orvi7.exe -updateresult $run_id):"
    sed 's/^/    /' "$run/update-result"
    say "the record, $homes/state/orvi-updater/last-run.json:"
    sed 's/^/    /' "$homes/state/orvi-updater/last-run.json"
fi
say "update server log:"
sed 's/^/    /' "$logs/server.log"
say "nginx access log:"
sed 's/^/    /' "$logs/nginx-access.log"
say "pictures of the windows:"
for picture in "$pictures"/*.png; do
    [ -e "$picture" ] && printf '    %s\n' "$picture"
done
say "done in $((SECONDS - started)) s after the build"
