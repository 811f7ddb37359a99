#!/usr/bin/env bash
# Load benchmark of the update server: a catalogue of 200 components, clients asking about an
# inventory of 30 (10 offers, 17 up to date, 3 unknown) over loopback, first alone, then beside
# 10,000 idle connections of slow clients. Prints queries per second, latency median and 99th
# percentile, errors, the server's CPU time per query and its memory: resident after 10,000
# queries and at the end, and the peak.
#
#   bench/load/run.sh [--nginx | --tls | --hostile | --fair] [build-dir] [clients] [queries] [idle]
#
# --nginx puts nginx's stream module in front of two server instances and runs the same
# figures through it. --tls does the same with nginx terminating TLS (the test certificate of
# tests/keys/tls, RSA 2048), as the publisher runs it; the load generator speaks plain TCP, so
# a second nginx beside it opens a TLS connection with a full handshake for each of its
# connections (no session reuse, as each updater run is a new client). Both print nginx's CPU
# time per query beside the servers' (the client-side nginx of --tls not counted); --tls runs
# without the idle connections, which would only measure the client-side nginx. --hostile runs the server with its default limits beside hostile
# clients instead (see hostilebench.cpp): 300 that never read the replies to their requests
# of nearly 1 MiB, for short and for long unknown names, holding their connections or
# giving each up after a second and sending again, beside one ordinary client, then a
# slowloris of 1,000 connections from one address beside 20 ordinary clients from others, at
# --max-connections 500; each for 30 s (ORVI_HOSTILE_SECONDS). --fair measures fairness
# between clients behind nginx (stream, two workers, limit_conn 100 per address) sending the
# PROXY protocol's line to a server started with --proxy-protocol: one ordinary client from
# 127.0.0.2 asking every 20 ms, alone (the unloaded figure), beside a crowd of 100 clients from
# the one address 127.0.3.1 asking in a closed loop, and, at --max-connections 500, 20 ordinary
# clients beside 1000 idle connections from ten addresses (127.0.1.1-10, 100 each; the
# server's time limits far above the run); then, for reference, the first two without nginx;
# each for ORVI_HOSTILE_SECONDS. The build dir (default
# build/release) is configured as a Release build and the server and the load generators
# built in it first; ORVI_UPDATE_SERVER names another server binary to measure.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
mode=direct
if [ "${1:-}" = --nginx ] || [ "${1:-}" = --tls ] || [ "${1:-}" = --hostile ] \
    || [ "${1:-}" = --fair ]; then
    mode=${1#--}
    shift
fi
build=${1:-$root/build/release}
clients=${2:-500}
queries=${3:-100000}
idle=${4:-10000}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DORVI_UPDATE_PUBLIC_KEYS="$(sed -n 2p "$root/tests/keys/test.pub")" >/dev/null
ninja -C "$build" update-server load-bench hostile-bench >/dev/null
server=${ORVI_UPDATE_SERVER:-$build/tools/update-server/update-server}
bench=$build/bench/load/load-bench
hostile=$build/bench/load/hostile-bench

nginx=$(command -v nginx || echo /usr/sbin/nginx)
stream_module=/usr/lib/nginx/modules/ngx_stream_module.so
if [ "$mode" != direct ] && [ "$mode" != hostile ] && [ ! -f "$stream_module" ]; then
    echo "nginx's stream module is missing: scripts/install-deps.sh installs it" >&2
    exit 1
fi

# In memory: on a busy disk the kernel can hold a writer back for seconds, and the servers
# write a log line per query.
work=$(mktemp -d /dev/shm/load-bench.XXXXXX 2>/dev/null || mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$bench" catalogue "$work/catalogue"

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Prints the port that the program writing file $1 announces ("update port N"), waiting up
# to 10 s for it; prints nothing if it does not come.
announced_port() {
    local port=
    for _ in $(seq 100); do
        port=$(sed -n 's/^update port //p' "$1")
        [ -n "$port" ] && break
        sleep 0.1
    done
    echo "$port"
}

# Starts one server instance; sets server_pid and server_port. Slow clients are held for the
# whole run, so the idle limit and the request deadline are far above it, unless other
# options follow the log file. The server ends by itself after an hour at the latest.
start_server() {
    local log=$1
    shift
    [ $# -gt 0 ] || set -- --idle-timeout 3600000 --request-deadline 3600000
    timeout 3600 "$server" --catalogue "$work/catalogue" --update-port 0 \
        --base-url http://packages.orvi.example "$@" >"$log.out" 2>"$log" &
    local wrapper=$!
    pids+=("$wrapper")
    server_port=$(announced_port "$log.out")
    [ -n "$server_port" ] || { echo "the update server did not start: $(cat "$log")" >&2; exit 1; }
    server_pid=$(pgrep -P "$wrapper")
}

# The CPU ticks of the workers of the nginx whose master's pid file is $1.
nginx_ticks() {
    local master workers
    master=$(cat "$1" 2>/dev/null) || { echo 0; return; }
    workers=$(pgrep -P "$master" | tr '\n' ' ')
    # shellcheck disable=SC2086
    cpu_ticks $workers
}

cpu_ticks() {
    local total=0 pid
    for pid in "$@"; do
        total=$((total + $(awk '{ print $14 + $15 }' "/proc/$pid/stat")))
    done
    echo "$total"
}

# One scenario on fresh servers: prints the load generator's figures and the servers' CPU.
# With "fixed", the clients meet a stand-in that answers with the server's reply unread.
scenario() {
    local held=$1 stand_in=${2:-} target ids
    pids=()
    if [ -n "$stand_in" ]; then
        start_server "$work/server.log"
        timeout 3600 "$bench" fixed "$server_port" >"$work/fixed.out" &
        local wrapper=$!
        pids+=("$wrapper")
        target=$(announced_port "$work/fixed.out")
        [ -n "$target" ] || { echo "the stand-in did not start" >&2; exit 1; }
        ids=$(pgrep -P "$wrapper")
    elif [ "$mode" = direct ]; then
        start_server "$work/server.log"
        target=$server_port
        ids=$server_pid
    else
        # Behind nginx every client has nginx's address: nginx counts them per address.
        local behind=(--idle-timeout 3600000 --request-deadline 3600000
            --max-connections-per-address 0)
        start_server "$work/server1.log" "${behind[@]}"
        local port1=$server_port pid1=$server_pid
        start_server "$work/server2.log" "${behind[@]}"
        local port2=$server_port pid2=$server_pid
        target=$(free_port)
        local listen_ssl="" ssl_lines=""
        if [ "$mode" = tls ]; then
            listen_ssl=" ssl"
            ssl_lines="ssl_certificate $root/tests/keys/tls/server.pem;
    ssl_certificate_key $root/tests/keys/tls/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;"
        fi
        # Two workers, each with its own listening socket (reuseport): one worker would need
        # two descriptors per connection, more than the open-file limit allows at 10,500.
        cat > "$work/nginx.conf" <<CONF
load_module $stream_module;
daemon off;
worker_processes 2;
worker_rlimit_nofile 20000;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 16000; }
stream {
    $ssl_lines
    limit_conn_zone \$binary_remote_addr zone=update_peers:10m;
    upstream update_servers {
        server 127.0.0.1:$port1;
        server 127.0.0.1:$port2;
    }
    server {
        listen 127.0.0.1:$target$listen_ssl reuseport backlog=4096;
        limit_conn update_peers 100;
        proxy_pass update_servers;
        proxy_timeout 1h;
    }
}
CONF
        # In the foreground under a time limit, like the servers: it ends with the script.
        timeout 3600 "$nginx" -p "$work" -c "$work/nginx.conf" &
        pids+=("$!")
        for _ in $(seq 50); do
            [ -s "$work/nginx.pid" ] && break
            sleep 0.1
        done
        ids="$pid1,$pid2"
        if [ "$mode" = tls ]; then
            # The client side: plain from the load generator, TLS to the front.
            local front=$target
            target=$(free_port)
            cat > "$work/client-nginx.conf" <<CONF
load_module $stream_module;
daemon off;
worker_processes 1;
worker_rlimit_nofile 20000;
pid $work/client-nginx.pid;
error_log $work/client-nginx-error.log;
events { worker_connections 16000; }
stream {
    server {
        listen 127.0.0.1:$target backlog=4096;
        proxy_pass 127.0.0.1:$front;
        proxy_ssl on;
        proxy_ssl_session_reuse off;
        proxy_ssl_protocols TLSv1.2 TLSv1.3;
        proxy_ssl_verify on;
        proxy_ssl_trusted_certificate $root/tests/keys/tls/ca.pem;
        proxy_ssl_name localhost;
        proxy_timeout 1h;
    }
}
CONF
            timeout 3600 "$nginx" -p "$work" -c "$work/client-nginx.conf" &
            pids+=("$!")
            for _ in $(seq 50); do
                [ -s "$work/client-nginx.pid" ] && break
                sleep 0.1
            done
        fi
    fi
    local before after nginx_before=0 nginx_after=0 status=0
    before=$(cpu_ticks ${ids//,/ })
    [ "$mode" = direct ] || nginx_before=$(nginx_ticks "$work/nginx.pid")
    # In the background, so that an interrupt is handled at once rather than after the run.
    "$bench" run "$target" "$ids" "$clients" "$queries" "$held" &
    pids+=("$!")
    wait "$!" || status=$?
    after=$(cpu_ticks ${ids//,/ })
    [ "$mode" = direct ] || nginx_after=$(nginx_ticks "$work/nginx.pid")
    awk -v t=$((after - before)) -v q="$queries" -v hz="$(getconf CLK_TCK)" 'BEGIN {
        printf "  server CPU time: %.1f s, %.0f us per query\n", t / hz, t / hz / q * 1e6 }'
    if [ "$mode" != direct ]; then
        awk -v t=$((nginx_after - nginx_before)) -v q="$queries" -v hz="$(getconf CLK_TCK)" \
            'BEGIN { printf "  nginx CPU time: %.1f s, %.0f us per query\n", t / hz, t / hz / q * 1e6 }'
    fi
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    pids=()
    if [ -n "$stand_in" ]; then
        : > "$work/server.log"
        return $status
    fi
    if [ "$mode" != direct ]; then
        # What nginx complained about, once per kind of message.
        grep -E '\[(alert|crit|error|warn)\]' "$work/nginx-error.log" 2>/dev/null \
            | sed -E 's/^[0-9/: ]+//; s/[0-9]+#[0-9]+: \*?[0-9]* ?//; s/, client: .*//' \
            | sort | uniq -c | sed 's/^/  nginx: /' || true
        : > "$work/nginx-error.log"
    fi
    awk '$2 == "refused" { refused++ }
        / update / {
            if (/went away|did not take/) lost++
            else if (/ components: /) answered++
            else if (/ dropped: /) dropped++
            else if (/closed by the peer/) closed++
        }
        END { printf "  server log: %d answered, %d replies not taken, %d dropped, %d closed by the client unanswered, %d refused\n",
            answered, lost, dropped, closed, refused }' "$work"/server*.log
    return $status
}

# One hostile run on a fresh server with its default limits (and the options given): the
# hostile-bench arguments after the port and the server's pid, then "--", then the options.
hostile_scenario() {
    local arguments=() status=0
    while [ "$1" != -- ]; do arguments+=("$1"); shift; done
    shift
    start_server "$work/server.log" "$@"
    "$hostile" "${arguments[0]}" "$server_port" "$server_pid" "${arguments[@]:1}" &
    pids+=("$!")
    wait "$!" || status=$?
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    pids=()
    awk '$2 == "refused" { refused++ }
        / update / {
            if (/ components: /) answered++
            if (/not take|went away|memory/) lost++
        }
        END { printf "  server log: %d answered, %d cut for a reply not taken or no room in the memory budget, %d refusal lines\n",
            answered, lost, refused }' "$work/server.log"
    return $status
}

# One fairness run behind nginx with the PROXY protocol on a fresh server (and the options
# given): [--direct, without nginx] [--crowd N, beside N crowd clients], the hostile-bench
# arguments after the port and the server's pid, then "--", then the server's options.
fair_scenario() {
    local arguments=() status=0 front direct= crowd=
    if [ "$1" = --direct ]; then
        direct=1
        shift
    fi
    if [ "$1" = --crowd ]; then
        crowd=$2
        shift 2
    fi
    while [ "$1" != -- ]; do arguments+=("$1"); shift; done
    shift
    if [ -n "$direct" ]; then
        start_server "$work/server.log" "$@"
        front=$server_port
    else
        start_server "$work/server.log" "${proxy_options[@]}" "$@"
        front=$(free_port)
    fi
    [ -n "$direct" ] || cat > "$work/nginx.conf" <<CONF
load_module $stream_module;
daemon off;
worker_processes 2;
worker_rlimit_nofile 20000;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 16000; }
stream {
    limit_conn_zone \$binary_remote_addr zone=update_peers:10m;
    server {
        listen 127.0.0.1:$front reuseport backlog=4096;
        limit_conn update_peers 100;
        proxy_pass 127.0.0.1:$server_port;
        proxy_protocol $proxy_protocol;
        proxy_timeout 1h;
    }
}
CONF
    if [ -z "$direct" ]; then
        timeout 3600 "$nginx" -p "$work" -c "$work/nginx.conf" &
        pids+=("$!")
        for _ in $(seq 50); do
            [ -s "$work/nginx.pid" ] && break
            sleep 0.1
        done
    fi
    # A crowd runs in a process of its own beside the ordinary client's.
    if [ -n "$crowd" ]; then
        "$hostile" crowd "$front" "$server_pid" "$crowd" "$seconds" &
        pids+=("$!")
    fi
    "$hostile" "${arguments[0]}" "$front" "$server_pid" "${arguments[@]:1}" &
    pids+=("$!")
    wait "$!" || status=$?
    [ -z "$crowd" ] || wait "${pids[-2]}" || status=$?
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    pids=()
    rm -f "$work/nginx.pid"
    awk '$2 == "refused" { refused++ }
        / update / {
            if (/ components: /) answered++
            if (/dropped: the oldest connection waiting/) room++
            if (/PROXY/) noline++
        }
        END { printf "  server log: %d answered, %d idle connections dropped to make room, %d refusal lines, %d without a PROXY line\n",
            answered, room, refused, noline }' "$work/server.log"
    return $status
}

if [ "$mode" = fair ]; then
    seconds=${ORVI_HOSTILE_SECONDS:-30}
    result=0
    # A server from before the PROXY protocol (ORVI_UPDATE_SERVER) runs as it was deployed
    # then: every client with nginx's address, its per-address limit off.
    proxy_protocol=on proxy_options=(--proxy-protocol)
    if [[ $("$server" --help 2>&1 || true) != *--proxy-protocol* ]]; then
        proxy_protocol=off proxy_options=(--max-connections-per-address 0)
        echo "(a server without --proxy-protocol: nginx sends no PROXY line and the server's per-address limit is off)"
    fi
    echo "nginx (stream, proxy_protocol $proxy_protocol) in front of the update server, one ordinary client from 127.0.0.2 asking every 20 ms, alone, $seconds s:"
    fair_scenario crowd 0 "$seconds" -- --idle-timeout 30000 || result=$?
    echo "the same beside a crowd of 100 clients from 127.0.3.1 asking in a closed loop, $seconds s:"
    fair_scenario --crowd 100 crowd 0 "$seconds" -- --idle-timeout 30000 || result=$?
    echo "the same at --max-connections 500, 20 ordinary clients from 127.0.0.2-21 asking every 20 ms beside 1000 idle connections from 127.0.1.1-10, $seconds s:"
    fair_scenario slowloris 1000 20 "$seconds" 10 -- --max-connections 500 \
        --idle-timeout 3600000 --request-deadline 3600000 || result=$?
    echo "for reference, the update server alone (no nginx): the ordinary client alone, then beside the crowd, $seconds s each:"
    fair_scenario --direct crowd 0 "$seconds" -- --idle-timeout 30000 || result=$?
    fair_scenario --direct --crowd 100 crowd 0 "$seconds" -- --idle-timeout 30000 || result=$?
    exit $result
fi

if [ "$mode" = hostile ]; then
    seconds=${ORVI_HOSTILE_SECONDS:-30}
    result=0
    for names in short long; do
        echo "the update server, 300 clients that never read sending requests of nearly 1 MiB of unknown $names names, beside one ordinary client, $seconds s:"
        hostile_scenario flood 300 "$seconds" "$names" -- --idle-timeout 30000 || result=$?
        echo "the same, each flooder giving up its connection 1 s after its request and sending it again on a new one:"
        hostile_scenario flood 300 "$seconds" "$names" 1 -- --idle-timeout 30000 || result=$?
    done
    echo "the update server at --max-connections 500, a slowloris of 1000 connections from 127.0.0.1 beside 20 ordinary clients from 127.0.0.2-21 asking every 20 ms, $seconds s:"
    hostile_scenario slowloris 1000 20 "$seconds" -- --max-connections 500 || result=$?
    exit $result
fi

where="the update server"
[ "$mode" = nginx ] && where="nginx (stream) in front of two update servers"
[ "$mode" = tls ] && where="nginx (stream) terminating TLS in front of two update servers, a full handshake per query"
echo "$where, $clients simultaneous clients, $queries queries:"
result=0
scenario 0 || result=$?
if [ "$mode" != tls ]; then
    echo "$where, $clients simultaneous clients, $queries queries, beside $idle idle connections:"
    scenario "$idle" || result=$?
fi
if [ "$mode" = direct ]; then
    echo "a stand-in that answers every request with the server's reply unread, $clients simultaneous clients, $queries queries (what loopback and the load generator allow here):"
    scenario 0 fixed || result=$?
fi
exit $result
