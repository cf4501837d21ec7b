#!/bin/sh
# HTTPS inspection against plain HTTP through the same zem-host, in one run on
# loopback: nginx serves the benchmark pages over HTTP and over TLS (a test
# root made here signs its certificate), zem-host runs as a browser's proxy
# with --inspect-tls and policy/default.json. Run by hand; never part of the
# tests.
#
# usage: bench/tls_inspect_bench.sh [BUILD_DIR] [PAGES_DIR] [ROUNDS]
#
# Prints: the 2 MB page fetched ROUNDS times on one client connection, over
# plain HTTP and over inspected HTTPS, in MB/s, and their ratio; then client
# handshakes per second through the proxy (CONNECT, TLS handshake with the
# proxy, close) for one host name again and again (leaf cache warm) and for a
# new name each time (cold: a leaf is signed per handshake). The names of the
# handshake rows do not resolve, so the origin side costs one failed lookup.
# Needs: nginx, curl, openssl, python3.
set -eu
PATH=$PATH:/usr/sbin
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
pages=${2:-$here/../../shared/peers/data}
rounds=${3:-20}
bin="$build/tools/zem-host/zem-host"
[ -x "$bin" ] || { echo "no $bin: build first (scripts/build.sh)"; exit 1; }
for tool in nginx curl openssl python3; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing $tool"; exit 1; }
done
[ -f "$pages/page_2m.html" ] || { echo "no benchmark pages in $pages"; exit 1; }
pages=$(cd "$pages" && pwd)

work=$(mktemp -d)
chmod 755 "$work"
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
    i=0
    while ! python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),1)" 2>/dev/null; do
        i=$((i + 1)); [ $i -lt 100 ] || { echo "port $1 never opened"; exit 1; }; sleep 0.1
    done
}
now() { date +%s.%N; }

cd "$work"
ec="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
openssl req -x509 $ec -keyout root.key -out root.pem -days 2 -subj "/CN=bench root" 2>/dev/null
openssl req $ec -keyout origin.key -out origin.csr -subj "/CN=localhost" 2>/dev/null
echo "subjectAltName=DNS:localhost" > origin.ext
openssl x509 -req -in origin.csr -CA root.pem -CAkey root.key -CAcreateserial -out origin.pem -days 2 \
    -extfile origin.ext 2>/dev/null
"$bin" ca init --dir "$work/ca" >/dev/null

plain=$(free_port); tls=$(free_port)
mkdir -p logs
cat > nginx.conf <<EOF
worker_processes 1; daemon off; pid $work/nginx.pid; error_log $work/logs/error.log;
events { worker_connections 256; }
http { access_log off; sendfile on; keepalive_requests 100000; types { text/html html; }
  server { listen 127.0.0.1:$plain; root $pages; }
  server { listen 127.0.0.1:$tls ssl; root $pages; ssl_certificate $work/origin.pem;
           ssl_certificate_key $work/origin.key; } }
EOF
nginx -c "$work/nginx.conf" -p "$work" 2>/dev/null &
pids="$pids $!"
wait_port "$plain"; wait_port "$tls"

"$bin" proxy --forward-proxy --listen 127.0.0.1:0 --threads 2 --policy "$here/../policy/default.json" \
    --inspect-tls --ca-dir "$work/ca" --upstream-ca "$work/root.pem" --connect-ports "$tls" > proxy.out 2>/dev/null &
pids="$pids $!"
i=0
while ! grep -q listening proxy.out; do i=$((i + 1)); [ $i -lt 100 ] || exit 1; sleep 0.1; done
proxy=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' proxy.out)

# The same page ROUNDS times on one connection; prints MB/s.
fetch() {
    urls=""
    k=0
    while [ $k -lt "$rounds" ]; do urls="$urls -o /dev/null $1"; k=$((k + 1)); done
    t0=$(now)
    # shellcheck disable=SC2086
    curl -s -x "http://127.0.0.1:$proxy" --cacert "$work/ca/ca.pem" $urls
    t1=$(now)
    python3 -c "print('%.1f' % ($rounds * $(stat -c %s "$pages/page_2m.html") / ($t1 - $t0) / 1e6))"
}
fetch "http://127.0.0.1:$plain/page_2m.html" >/dev/null  # warm up both paths
fetch "https://localhost:$tls/page_2m.html" >/dev/null
http_rate=$(fetch "http://127.0.0.1:$plain/page_2m.html")
https_rate=$(fetch "https://localhost:$tls/page_2m.html")
echo "2 MB page x $rounds on one connection, default policy"
echo "  plain HTTP through zem-host:      $http_rate MB/s"
echo "  inspected HTTPS through zem-host: $https_rate MB/s"
python3 -c "print('  ratio HTTPS/HTTP:                 %.2f' % ($https_rate / $http_rate))"

cat > handshakes.py <<'EOF'
import socket, ssl, sys, threading, time
port, ca, mode, count = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
ctx = ssl.create_default_context(cafile=ca)
threads, done, lock = 4, [0], threading.Lock()
def one(name):
    with socket.create_connection(('127.0.0.1', port)) as s:
        s.sendall(b'CONNECT %s:443 HTTP/1.1\r\nHost: %s:443\r\n\r\n' % (name.encode(), name.encode()))
        head = b''
        while b'\r\n\r\n' not in head:
            head += s.recv(4096)
        with ctx.wrap_socket(s, server_hostname=name) as t:
            pass
def work(t):
    for k in range(count // threads):
        one('warm.invalid' if mode == 'warm' else 'n%d-%d-%d.invalid' % (t, k, time.time_ns() % 1000000))
        with lock:
            done[0] += 1
start = time.time()
ts = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
for t in ts: t.start()
for t in ts: t.join()
print('%.0f' % (done[0] / (time.time() - start)))
EOF
"$bin" proxy --forward-proxy --listen 127.0.0.1:0 --threads 2 --inspect-tls --ca-dir "$work/ca" > proxy2.out 2>/dev/null &
pids="$pids $!"
i=0
while ! grep -q listening proxy2.out; do i=$((i + 1)); [ $i -lt 100 ] || exit 1; sleep 0.1; done
proxy2=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' proxy2.out)
python3 handshakes.py "$proxy2" "$work/ca/ca.pem" warm 40 >/dev/null
echo "client handshakes through the proxy (4 clients, 2 proxy threads)"
echo "  leaf cache warm: $(python3 handshakes.py "$proxy2" "$work/ca/ca.pem" warm 800) /s"
echo "  leaf cache cold: $(python3 handshakes.py "$proxy2" "$work/ca/ca.pem" cold 800) /s"
