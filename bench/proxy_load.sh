#!/bin/sh
# Load through zem-host against the same load sent straight to the server, so
# the ratio shows what the proxy and the engine cost.
#
# usage: bench/proxy_load.sh [BUILD_DIR] [DURATION_SECONDS] [CONNECTIONS]
#
# The origin is zem-host's own demo site: small HTML pages (the filters' work)
# and a 1 MB binary file (bulk throughput). wrk is used when installed
# (scripts/setup.sh installs it); otherwise parallel curl.
set -eu
build=${1:-build}
duration=${2:-10}
conns=${3:-32}
bin="$build/tools/zem-host/zem-host"
[ -x "$bin" ] || { echo "no $bin: build first (scripts/build.sh)"; exit 1; }
threads=$(nproc)

work=$(mktemp -d)
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

wait_line() {
    i=0
    while [ $i -lt 100 ]; do
        l=$(grep -m1 "^$2" "$1" 2>/dev/null) && { echo "${l#"$2"}" | tr -d ' '; return 0; }
        sleep 0.1
        i=$((i + 1))
    done
    echo "timed out waiting for '$2' in $1" >&2
    return 1
}

# The demo site is the origin; the proxy in front of it uses an allow-all
# policy (the engine still parses every request and response) and then the
# default policy (the filters act on every page).
"$bin" demo --port 0 --threads "$threads" >"$work/demo.out" 2>/dev/null &
pids="$pids $!"
site=$(wait_line "$work/demo.out" "demo site:")
site_hostport=${site#http://}
site_hostport=${site_hostport%/}

echo '{}' >"$work/allow_all.json"
start_proxy() {
    "$bin" proxy --listen 127.0.0.1:0 --upstream "$site_hostport" --policy "$1" --threads "$threads" \
        >"$work/proxy_$2.out" 2>/dev/null &
    pids="$pids $!"
    echo "http://$(wait_line "$work/proxy_$2.out" "listening on")/"
}
allow_all=$(start_proxy "$work/allow_all.json" allow)
"$bin" check-policy "$(dirname "$0")/../policy/default.json" >/dev/null
default=$(start_proxy "$(dirname "$0")/../policy/default.json" default)

# One measurement: prints "requests/s MB/s" for URL.
measure() {
    if command -v wrk >/dev/null 2>&1; then
        wrk -t "$threads" -c "$conns" -d "${duration}s" "$1" >"$work/wrk.out" 2>&1
        rps=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk.out")
        tps=$(awk '/^Transfer\/sec:/ {print $2}' "$work/wrk.out")
        mbs=$(echo "$tps" | awk '{v=$1; if (v ~ /GB$/) {sub("GB","",v); v*=1024} else if (v ~ /MB$/) {sub("MB","",v)} else if (v ~ /KB$/) {sub("KB","",v); v/=1024} else {v/=1048576} printf "%.2f", v}')
        errs=$(awk '/Non-2xx|Socket errors/ {print}' "$work/wrk.out" | tr '\n' ' ')
        echo "$rps $mbs $errs"
    else
        # Parallel curl: each of $conns workers loops for the duration.
        end=$(($(date +%s) + duration))
        i=0
        while [ $i -lt "$conns" ]; do
            (n=0; b=0; while [ "$(date +%s)" -lt "$end" ]; do
                s=$(curl -s --noproxy '*' -o /dev/null -w '%{size_download}' "$1") && { n=$((n + 1)); b=$((b + s)); }
             done; echo "$n $b") >"$work/curl_$i" &
            i=$((i + 1))
        done
        wait
        cat "$work"/curl_* | awk -v d="$duration" '{n+=$1; b+=$2} END {printf "%.1f %.2f\n", n/d, b/d/1048576}'
    fi
}

printf "%-34s %12s %10s %8s\n" "load ($conns connections, ${duration}s)" "requests/s" "MB/s" "ratio"
for path in "" "gzip.html" "ads.html" "files/sample.bin"; do
    d=$(measure "${site}${path}")
    a=$(measure "${allow_all}${path}")
    f=$(measure "${default}${path}")
    d_rps=${d%% *}
    for row in "direct:$d" "zem-host allow-all:$a" "zem-host default policy:$f"; do
        label=${row%%:*}
        vals=${row#*:}
        rps=$(echo "$vals" | awk '{print $1}')
        mbs=$(echo "$vals" | awk '{print $2}')
        extra=$(echo "$vals" | cut -d' ' -f3-)
        ratio=$(awk -v a="$rps" -v b="$d_rps" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
        printf "%-34s %12s %10s %8s %s\n" "/${path} $label" "$rps" "$mbs" "$ratio" "$extra"
    done
done
