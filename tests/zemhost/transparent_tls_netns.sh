#!/bin/sh
# HTTPS inspection in transparent mode, inside a private network namespace:
# an openssl s_server origin with a certificate of a test root, zem-host
# --transparent --inspect-tls, and an nftables rule that redirects the
# origin's port to the proxy except for the proxy's own (marked) connections.
# curl connects to the origin's own address: an inspected name gets the local
# authority's leaf and the filtered page, an excluded name the origin's own
# certificate and the page untouched, a name the origin's certificate does
# not cover an error page. Exits 77 (skipped) where namespaces or nftables
# are not available.
#
# usage: transparent_tls_netns.sh PATH/TO/zem-host
set -u
host_bin="$1"

. "$(dirname "$0")/netns_kit.sh"
zem_netns_enter "curl openssl" "$@"
zem_netns_scratch

ip link set lo up || { echo "skipped: cannot bring up loopback"; exit 77; }
nft add table ip zemtest || { echo "skipped: nftables is not usable here"; exit 77; }
nft "add chain ip zemtest out { type nat hook output priority -100 ; }" || { echo "skipped: no nat hook"; exit 77; }

cd "$work" || exit 1
ec="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
# shellcheck disable=SC2086
openssl req -x509 $ec -keyout root.key -out root.pem -days 2 -subj "/CN=zem test root" 2>/dev/null &&
    openssl req $ec -keyout origin.key -out origin.csr -subj "/CN=localhost" 2>/dev/null &&
    echo "subjectAltName=DNS:localhost,DNS:bank.test,DNS:site.test" >origin.ext &&
    openssl x509 -req -in origin.csr -CA root.pem -CAkey root.key -CAcreateserial -out origin.pem -days 2 \
        -extfile origin.ext 2>/dev/null || fail "cannot make the test certificates"
"$host_bin" ca init --dir "$work/ca" >/dev/null || fail "ca init"

mkdir www
printf '<html><body><p>news</p><img src="http://127.0.0.1/ads/banner.gif" width="10" height="10"></body></html>\n' \
    >www/page.html
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
(cd www && exec openssl s_server -accept "127.0.0.1:$port" -cert ../origin.pem -key ../origin.key -WWW -quiet \
    </dev/null >../origin.out 2>&1) &
pids="$pids $!"

"$host_bin" proxy --listen 127.0.0.1:0 --transparent --mark 7 --events "$work/events.jsonl" --inspect-tls \
    --ca-dir "$work/ca" --upstream-ca "$work/root.pem" --inspect-ports "$port" --no-inspect bank.test \
    >proxy.out 2>proxy.err &
proxy_pid=$!
pids="$pids $proxy_pid"
i=0
while ! grep -q "^listening on " proxy.out; do
    i=$((i + 1)); [ $i -lt 100 ] || fail "the proxy did not start"; sleep 0.1
done
proxy_port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' proxy.out)
nft add rule ip zemtest out tcp dport "$port" meta mark != 7 redirect to ":$proxy_port" ||
    fail "cannot add the redirect rule"

get() {  # NAME CAFILE: the page for NAME at the origin's address; headers in NAME.err
    curl -s -v --noproxy '*' --max-time 20 --cacert "$2" --resolve "$1:$port:127.0.0.1" \
        "https://$1:$port/page.html" 2>"$1.err"
}

page=$(get site.test "$work/ca/ca.pem") || fail "inspected: curl failed"
echo "$page" | grep -q "<p>news</p>" || fail "inspected: the page did not arrive"
echo "$page" | grep -q "/ads/banner.gif" && fail "inspected: the advertisement is still there"
grep -q "issuer: O=zem-host" site.test.err || fail "inspected: not the local authority's leaf"

page=$(get bank.test "$work/root.pem") || fail "excluded: curl failed"
echo "$page" | grep -q "/ads/banner.gif" || fail "excluded: the page was changed"
grep -q "issuer: CN=zem test root" bank.test.err || fail "excluded: not the origin's own certificate"

page=$(get other.test "$work/ca/ca.pem")
echo "$page" | grep -q "502 Bad Gateway" || fail "a name the origin does not cover: no error page"
echo "$page" | grep -q "hostname mismatch" || fail "the error page does not say why"

kill -TERM "$proxy_pid"
wait "$proxy_pid" || fail "the proxy did not stop cleanly"
grep -q '"host":"site.test".*"tls":"inspected"' events.jsonl || fail "no inspected record"
grep -q '"host":"bank.test".*"reason":"excluded by --no-inspect","tls":"tunnelled"' events.jsonl ||
    fail "no tunnelled record"
grep -q '"host":"other.test".*"tls":"refused"' events.jsonl || fail "no refused record"
grep '"tls"' events.jsonl
echo "transparent HTTPS inspection through 127.0.0.1:$proxy_port: ok"
exit 0
