# Sourced by the bench scripts: `start_nginx <folder> [certificate key]` serves the folder with
# nginx on a free loopback port (its own configuration and prefix in a temporary folder, in the
# foreground) and sets NGINX_URL; given a certificate and key, also over HTTPS with HTTP/2 on a
# second port (NGINX_TLS_URL). NGINX_LOG names its access log (tests/support/nginx.conf.in, the
# configuration the tests use too): protocol, status, body bytes sent, Cache-Control,
# Content-Encoding, URI.
# nginx and the folder go when the script exits.

nginx_pid=""
nginx_prefix=""

stop_nginx() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
        nginx_pid=""
    fi
    [ -n "$nginx_prefix" ] && rm -rf "$nginx_prefix"
    nginx_prefix=""
}

# A port with no listener; bash's /dev/tcp connects only when one answers.
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
    done
    echo "$port"
}

start_nginx() {
    local root port tls_port tls_server=""
    root=$(cd "$1" && pwd)
    port=$(free_port)
    if [ -n "${2:-}" ]; then
        tls_port=$(free_port)
        tls_server="server { listen 127.0.0.1:$tls_port ssl http2; root \"$root\";"
        tls_server+=" ssl_certificate \"$2\"; ssl_certificate_key \"$3\"; }"
        NGINX_TLS_URL="https://127.0.0.1:$tls_port"
    fi
    nginx_prefix=$(mktemp -d)
    mkdir -p "$nginx_prefix/tmp"
    local servers="server { listen 127.0.0.1:$port; root \"$root\"; } $tls_server"
    awk -v servers="$servers" '{ sub(/@SERVERS@/, servers) } 1' tests/support/nginx.conf.in \
        >"$nginx_prefix/nginx.conf"
    nginx -p "$nginx_prefix/" -c nginx.conf -e stderr &
    nginx_pid=$!
    trap stop_nginx EXIT
    NGINX_URL="http://127.0.0.1:$port"
    NGINX_LOG="$nginx_prefix/access.log"
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
        sleep 0.05
    done
    echo "nginx did not start" >&2
    return 1
}
