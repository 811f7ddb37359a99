# Sourced by the Windows test wrappers (cmake/wine-run.sh.in, cmake/wine-run-other-user.sh.in):
# start_front KEYS_DIR starts the TLS front of the test servers, stop_front stops it.
# Under Wine a test server cannot speak TLS (Qt's Schannel backend finds a server's certificate
# with CertFindChainInStore, a stub in Wine 8.0), so nginx on the Linux side terminates TLS in
# front of it, as the publisher's does: three plain backend ports, each behind one TLS port per
# test certificate (sent with its authority, which Wine's Schannel needs to build the chain).
# nginx opens each backend connection with the PROXY protocol's line, by which the test server
# tells the front's connections from direct ones. The test learns the ports from
# ORVI_TEST_TLS_FRONT: "BACKEND NAME=PORT NAME=PORT ...;BACKEND ...". The ports lie below Linux's
# ephemeral range, where nothing is handed out by chance; a taken one makes nginx fail, and the
# next try picks others.
nginx=$(command -v nginx || echo /usr/sbin/nginx)
front=
stop_front() {
    if [ -n "$front" ] && [ -f "$front/nginx.pid" ]; then
        kill "$(cat "$front/nginx.pid")" 2>/dev/null || true
    fi
    [ -z "$front" ] || rm -rf "$front"
}
start_front() {
    local keys=$1 name slot port backend taken servers plan
    [ -x "$nginx" ] || { echo "wine-run: the test servers' TLS front needs nginx" >&2; return 1; }
    front=$(mktemp -d)
    for name in server expired othername; do
        cat "$keys/$name.pem" "$keys/ca.pem" >"$front/$name.pem"
    done
    cat "$keys/otherca-server.pem" "$keys/otherca.pem" >"$front/otherca-server.pem"
    cat "$keys/fakeca-server.pem" "$keys/fakeca.pem" >"$front/fakeca-server.pem"
    free_port() {
        port=$((20000 + RANDOM % 12000))
        while [[ $taken == *" $port "* ]]; do port=$((20000 + RANDOM % 12000)); done
        taken+="$port "
    }
    for _ in 1 2 3 4 5; do
        taken=" " servers= plan=
        for slot in 1 2 3; do
            free_port
            backend=$port
            plan+="${plan:+;}$backend"
            for name in server otherca-server fakeca-server expired othername; do
                free_port
                plan+=" $name=$port"
                servers+="    server { listen 127.0.0.1:$port ssl; ssl_certificate $front/$name.pem;"
                servers+=" ssl_certificate_key $keys/$name.key; proxy_pass 127.0.0.1:$backend; }"
                servers+=$'\n'
            done
        done
        {
            echo 'worker_processes 1;'
            [ "$(id -u)" != 0 ] || echo 'user root;'
            echo 'load_module /usr/lib/nginx/modules/ngx_stream_module.so;'
            echo "pid $front/nginx.pid;"
            echo 'events { worker_connections 256; }'
            echo 'stream {'
            echo '    ssl_protocols TLSv1.2 TLSv1.3;'
            echo '    proxy_protocol on;'
            printf '%s}\n' "$servers"
        } >"$front/nginx.conf"
        if "$nginx" -e "$front/error.log" -p "$front" -c "$front/nginx.conf" 2>/dev/null; then
            export ORVI_TEST_TLS_FRONT=$plan
            return 0
        fi
    done
    echo "wine-run: nginx did not start in front of the test servers:" >&2
    cat "$front/error.log" >&2
    return 1
}
