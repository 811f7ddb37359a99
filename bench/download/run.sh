#!/usr/bin/env bash
# Download benchmark: a 200 MiB and a 1 MiB package served by a private nginx on a loopback
# port, fetched alternately through the updater's engine (download-bench, which also checks
# each package's signature as it ends) and by curl into the same temporary folder. Prints the throughput ratio engine/curl and the engine's peak
# memory for both sizes.
#
#   bench/download/run.sh [build-dir] [runs]
#
# The build dir (default build/release) is configured as a Release build and the benchmark
# built in it first.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/release}
runs=${2:-5}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DORVI_UPDATE_PUBLIC_KEYS="$(sed -n 2p "$root/tests/keys/test.pub")" >/dev/null
ninja -C "$build" download-bench >/dev/null
bench=$build/bench/download/download-bench

if ! command -v nginx >/dev/null && [ ! -x /usr/sbin/nginx ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q nginx-light \
        || DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q nginx
fi
nginx=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d)
chmod 755 "$work"
cleanup() {
    [ -f "$work/nginx.pid" ] && "$nginx" -p "$work" -c "$work/nginx.conf" -s stop 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/www" "$work/tmp" "$work/curl"
head -c $((200 * 1024 * 1024)) /dev/urandom > "$work/www/big.zip"
head -c $((1024 * 1024)) /dev/urandom > "$work/www/small.zip"
# Signed as a publisher signs them: the engine checks each package as its download ends.
for name in big small; do
    minisign -S -s "$root/tests/keys/test.key" -m "$work/www/$name.zip" \
        -t "orvi-package project=bench name=package type=plugin version=1 file=$name.zip" >/dev/null
done
chmod 644 "$work/www/"*.zip

cat > "$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $work/client_body;
    proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fastcgi;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    sendfile on;
    tcp_nopush on;
    types { application/zip zip; }
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
}
CONF
"$nginx" -p "$work" -c "$work/nginx.conf"
for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$port/small.zip" && break
    sleep 0.1
done

# The engine's download folder is the private scratch folder followed by /tupdates/.
export XDG_CACHE_HOME=$work/cache
downloads=$XDG_CACHE_HOME/orvi-updater/tupdates

engine_bytes=0; engine_seconds=0; curl_bytes=0; curl_seconds=0
peak_big=0; peak_small=0
for run in $(seq "$runs"); do
    rm -f "$downloads/big.zip" "$work/curl/big.zip"
    line=$("$bench" "http://127.0.0.1:$port/big.zip" "$work/www/big.zip.minisig")
    bytes=$(echo "$line" | sed 's/.*bytes=\([0-9]*\).*/\1/')
    seconds=$(echo "$line" | sed 's/.*seconds=\([0-9.]*\).*/\1/')
    rss=$(echo "$line" | sed 's/.*peak_rss_kib=\([0-9]*\).*/\1/')
    [ "$bytes" -eq $((200 * 1024 * 1024)) ] || { echo "engine fetched $bytes bytes" >&2; exit 1; }
    engine_bytes=$((engine_bytes + bytes))
    engine_seconds=$(awk "BEGIN { print $engine_seconds + $seconds }")
    rss_big=$rss
    [ "$rss" -gt "$peak_big" ] && peak_big=$rss

    curl_time=$(curl -s -o "$work/curl/big.zip" -w '%{time_total}' "http://127.0.0.1:$port/big.zip")
    curl_bytes=$((curl_bytes + $(stat -c %s "$work/curl/big.zip")))
    curl_seconds=$(awk "BEGIN { print $curl_seconds + $curl_time }")

    rm -f "$downloads/small.zip"
    small=$("$bench" "http://127.0.0.1:$port/small.zip" "$work/www/small.zip.minisig")
    rss=$(echo "$small" | sed 's/.*peak_rss_kib=\([0-9]*\).*/\1/')
    [ "$rss" -gt "$peak_small" ] && peak_small=$rss

    awk -v run="$run" -v e="$seconds" -v c="$curl_time" -v rb="$rss_big" -v rs="$rss" 'BEGIN {
        printf "run %d: engine %.0f MB/s, curl %.0f MB/s; engine peak memory %.1f MiB (200 MiB), %.1f MiB (1 MiB)\n",
            run, 209.7152 / e, 209.7152 / c, rb / 1024, rs / 1024 }'
done

awk -v eb="$engine_bytes" -v es="$engine_seconds" -v cb="$curl_bytes" -v cs="$curl_seconds" \
    -v pb="$peak_big" -v ps="$peak_small" 'BEGIN {
    e = eb / es / 1e6; c = cb / cs / 1e6
    printf "engine throughput: %.0f MB/s\n", e
    printf "curl throughput:   %.0f MB/s\n", c
    printf "ratio engine/curl: %.2f (target >= 0.90)\n", e / c
    printf "engine peak memory: %.1f MiB for 200 MiB, %.1f MiB for 1 MiB, difference %.1f MiB (target <= 8)\n",
        pb / 1024, ps / 1024, (pb - ps) / 1024
}'
