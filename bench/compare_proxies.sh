#!/bin/sh
# zem-host beside Privoxy, side by side in one run on loopback, nginx as the
# origin serving the benchmark pages. Run by hand; never part of the tests.
#
# usage: bench/compare_proxies.sh [BUILD_DIR] [PAGES_DIR] [DURATION_SECONDS]
#
# Rows: three workloads (the 2 MB page one curl at a time, the 2 MB page
# under wrk with 4 keep-alive connections, the 20 KB page under wrk with 16).
# Columns: Privoxy as a plain relay (toggle 0) against zem-host with an
# allow-all policy, and Privoxy with its stock actions (toggle 1) against
# zem-host with policy/default.json. A ratio above 1 means zem-host is faster.
# Needs: nginx, privoxy, wrk, curl (apt-get install nginx-light privoxy wrk curl).
set -eu
PATH=$PATH:/usr/sbin
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
pages=${2:-$here/../../shared/peers/data}
duration=${3:-10}
bin="$build/tools/zem-host/zem-host"
[ -x "$bin" ] || { echo "no $bin: build first (scripts/build.sh)"; exit 1; }
for tool in nginx privoxy wrk curl; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing $tool"; exit 1; }
done
[ -f "$pages/page_2m.html" ] && [ -f "$pages/page_20k.html" ] || { echo "no benchmark pages in $pages"; exit 1; }
pages=$(cd "$pages" && pwd)

work=$(mktemp -d)
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    # zem-host is started inside command substitutions (subshells), so its
    # pids are kept in files rather than in $pids.
    for f in "$work"/*.zpid; do [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null || true; done
    [ -f "$work/privoxy_relay.pid" ] && kill "$(cat "$work/privoxy_relay.pid")" 2>/dev/null || true
    [ -f "$work/privoxy_filter.pid" ] && kill "$(cat "$work/privoxy_filter.pid")" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
    i=0
    while ! curl -s -o /dev/null "http://127.0.0.1:$1/" 2>/dev/null; do
        i=$((i + 1))
        [ $i -lt 100 ] || { echo "nothing listens on $1" >&2; return 1; }
        sleep 0.1
    done
}

origin=$(free_port)
mkdir -p "$work/nginx/logs"
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    keepalive_requests 100000;
    types { text/html html; }
    server { listen 127.0.0.1:$origin; root $pages; }
}
EOF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
pids="$pids $!"

start_privoxy() {  # NAME TOGGLE
    port=$(free_port)
    mkdir -p "$work/$1"
    cat >"$work/$1.conf" <<EOF
confdir /etc/privoxy
templdir /etc/privoxy/templates
logdir $work/$1
actionsfile match-all.action
actionsfile default.action
actionsfile user.action
filterfile default.filter
listen-address 127.0.0.1:$port
toggle $2
buffer-limit 16384
keep-alive-timeout 5
tolerate-pipelining 1
enable-remote-toggle 0
enable-edit-actions 0
EOF
    privoxy --pidfile "$work/$1.pid" "$work/$1.conf"
    echo "$port"
}
relay=$(start_privoxy privoxy_relay 0)
pfilter=$(start_privoxy privoxy_filter 1)

start_zem() {  # NAME POLICY
    "$bin" proxy --listen 127.0.0.1:0 --upstream "127.0.0.1:$origin" --policy "$2" --threads 2 \
        >"$work/$1.out" 2>/dev/null &
    echo $! >"$work/$1.zpid"
    i=0
    until l=$(grep -m1 "^listening on" "$work/$1.out" 2>/dev/null); do
        i=$((i + 1))
        [ $i -lt 100 ] || { echo "zem-host did not start" >&2; return 1; }
        sleep 0.1
    done
    echo "${l#listening on}" | tr -d ' ' | sed 's/.*://'
}
echo '{}' >"$work/allow_all.json"
zallow=$(start_zem zem_allow "$work/allow_all.json")
zdefault=$(start_zem zem_default "$here/../policy/default.json")
wait_port "$origin"

# Requests/s of one configuration. KIND is 'direct' (zem-host forwards a port)
# or 'proxy' (Privoxy wants absolute-form requests).
curl_loop() {  # KIND PORT PAGE: the median seconds of 15 fetches
    for i in $(seq 15); do
        if [ "$1" = proxy ]; then
            curl -s -o /dev/null -w '%{time_total}\n' -x "http://127.0.0.1:$2" "http://127.0.0.1:$origin/$3"
        else
            curl -s -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$2/$3"
        fi
    done | sort -n | sed -n 8p
}
wrk_rate() {  # KIND PORT PAGE CONNECTIONS: requests/s
    if [ "$1" = proxy ]; then
        cat >"$work/abs.lua" <<EOF
wrk.path = "http://127.0.0.1:$origin/$3"
wrk.headers["Host"] = "127.0.0.1:$origin"
EOF
        wrk -t 2 -c "$4" -d "${duration}s" -s "$work/abs.lua" "http://127.0.0.1:$2/" >"$work/wrk.out" 2>&1
    else
        wrk -t 2 -c "$4" -d "${duration}s" "http://127.0.0.1:$2/$3" >"$work/wrk.out" 2>&1
    fi
    if grep -q "Non-2xx" "$work/wrk.out"; then
        echo "non-2xx answers from port $2:" >&2
        grep "Non-2xx" "$work/wrk.out" >&2
    fi
    awk '/^Requests\/sec:/ {print $2}' "$work/wrk.out"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

# Every response must arrive whole before anything is timed.
for p in "direct $zallow" "direct $zdefault" "proxy $relay" "proxy $pfilter"; do
    set -- $p
    for page in page_2m.html page_20k.html; do
        if [ "$1" = proxy ]; then
            n=$(curl -s -x "http://127.0.0.1:$2" "http://127.0.0.1:$origin/$page" | wc -c)
        else
            n=$(curl -s "http://127.0.0.1:$2/$page" | wc -c)
        fi
        [ "$n" -gt 1000 ] || { echo "port $2 gave $n bytes of $page" >&2; exit 1; }
    done
done

printf "%-36s %12s %12s %7s %12s %12s %7s\n" workload "privoxy-0" "zem-allow" ratio "privoxy-1" "zem-default" ratio
row() {  # LABEL then four values where larger is better
    printf "%-36s %12s %12s %7s %12s %12s %7s\n" "$1" "$2" "$3" "$(ratio "$3" "$2")" "$4" "$5" "$(ratio "$5" "$4")"
}
# One curl at a time: fetches per second from the median time.
per_s() { awk -v t="$1" 'BEGIN { printf "%.2f", 1 / t }'; }
row "2 MB page, one curl at a time (1/s)" \
    "$(per_s "$(curl_loop proxy "$relay" page_2m.html)")" "$(per_s "$(curl_loop direct "$zallow" page_2m.html)")" \
    "$(per_s "$(curl_loop proxy "$pfilter" page_2m.html)")" "$(per_s "$(curl_loop direct "$zdefault" page_2m.html)")"
row "2 MB page, wrk, 4 connections (r/s)" \
    "$(wrk_rate proxy "$relay" page_2m.html 4)" "$(wrk_rate direct "$zallow" page_2m.html 4)" \
    "$(wrk_rate proxy "$pfilter" page_2m.html 4)" "$(wrk_rate direct "$zdefault" page_2m.html 4)"
row "20 KB page, wrk, 16 connections (r/s)" \
    "$(wrk_rate proxy "$relay" page_20k.html 16)" "$(wrk_rate direct "$zallow" page_20k.html 16)" \
    "$(wrk_rate proxy "$pfilter" page_20k.html 16)" "$(wrk_rate direct "$zdefault" page_20k.html 16)"
