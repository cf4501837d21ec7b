#!/bin/sh
# Makes the Debian package from a build configured for /usr (scripts/test.sh
# configures build/ so), then, in a scratch root and without a container:
# dpkg installs it (its dependencies judged against this machine's own
# package database), the installed zem-host filters a page as a browser's
# proxy with the installed policy, a program builds against the installed
# headers through pkg-config and runs, the unit passes systemd's checks, and
# dpkg removes it (the edited policy stays) and purges it (nothing stays).
# Where systemd runs, the maintainer scripts start the service; in a scratch
# root they leave it alone, and that is what is checked here.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
if [ "$prefix" != /usr ]; then
  echo "test-package.sh: $build is configured for $prefix; a package needs -DCMAKE_INSTALL_PREFIX=/usr" >&2
  exit 1
fi
rm -f "$build"/zem-host_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/zem-host_*.deb)
root=$(mktemp -d)
work=$(mktemp -d)
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  rm -rf "$root" "$work"
}
trap cleanup EXIT
fail() {
  echo "test-package.sh: FAIL: $*" >&2
  exit 1
}

admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" "$root/var/log"
# The database knows the packages zem-host depends on (by name or by what
# they provide), as installed here, with empty file lists.
deps=$(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/[ ,|]\+/ /g')
awk -v deps=" $deps " 'BEGIN { RS = ""; ORS = "\n\n" }
  { names = ""; n = split($0, l, "\n")
    for (k = 1; k <= n; k++)
      if (l[k] ~ /^(Package|Provides): /) { x = l[k]; sub(/^[A-Za-z]*: /, "", x); gsub(/\([^)]*\)|,/, " ", x); names = names " " x }
    m = split(names, w, " "); keep = 0
    for (k = 1; k <= m; k++) if (index(deps, " " w[k] " ")) keep = 1
    if (keep) print }' /var/lib/dpkg/status >"$admin/status"
for p in $(sed -n 's/^Package: //p' "$admin/status"); do
  arch=$(dpkg-query -W -f='${Architecture}' "$p" 2>/dev/null | head -1)
  : >"$admin/info/$p.list"
  : >"$admin/info/$p:$arch.list"
done
# --force-script-chrootless runs the maintainer scripts here with DPKG_ROOT
# set, which they take as "not this machine's system".
dpkg_root() { dpkg --root="$root" --force-script-chrootless --log=/dev/null "$@"; }

dpkg_root -i "$deb" >/dev/null || fail "dpkg -i"
status=$(dpkg_root -s zem-host | sed -n 's/^Status: //p')
[ "$status" = "install ok installed" ] || fail "installed status is '$status'"
libdir=$(pkg-config --variable=libdir "$build/zem_net.pc" 2>/dev/null || echo /usr/lib)
for f in usr/bin/zem-host "${libdir#/}/libzem_net.so.1" "${libdir#/}/pkgconfig/zem_net.pc" usr/include/zem/zem.h \
         etc/zem/policy.json usr/lib/systemd/system/zem-host.service usr/share/doc/zem-host/zem-host.md; do
  [ -e "$root/$f" ] || fail "$f is not installed"
done
grep -q "^/etc/zem/policy.json$" "$admin/info/zem-host.conffiles" || fail "the policy is not a conffile"

# The installed program and library, as a browser's proxy, with the
# installed policy: the advertisement goes, the rest stays.
export LD_LIBRARY_PATH="$root${libdir}"
"$root/usr/bin/zem-host" check-policy "$root/etc/zem/policy.json" >/dev/null || fail "the installed policy"
mkdir -p "$work/site"
printf '<html><body><p>kept</p><img src="/ads/banner.gif"><img src="/logo.png"></body></html>\n' \
  >"$work/site/index.html"
python3 -m http.server 0 --bind 127.0.0.1 --directory "$work/site" >"$work/origin.out" 2>/dev/null &
pids="$pids $!"
"$root/usr/bin/zem-host" proxy --forward-proxy --listen 127.0.0.1:0 --policy "$root/etc/zem/policy.json" \
  --threads 1 >"$work/proxy.out" 2>/dev/null &
pids="$pids $!"
origin="" proxy=""
for _ in $(seq 100); do
  origin=$(sed -n 's#.*port \([0-9]*\).*#\1#p' "$work/origin.out" | head -1)
  proxy=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/proxy.out")
  [ -n "$origin" ] && [ -n "$proxy" ] && break
  sleep 0.1
done
[ -n "$origin" ] && [ -n "$proxy" ] || fail "the origin or the installed proxy did not start"
page=$(curl -s --max-time 20 -x "http://127.0.0.1:$proxy" "http://127.0.0.1:$origin/index.html")
case "$page" in *kept*logo.png*) ;; *) fail "the page through the installed proxy: $page" ;; esac
case "$page" in *ads/banner.gif*) fail "the advertisement passed the installed proxy" ;; esac

# Under systemd standard error is the journal: lines carry their priority.
: >"$work/journal"
JOURNAL_STREAM=$(stat -c '%d:%i' "$work/journal") "$root/usr/bin/zem-host" proxy --listen 127.0.0.1:0 \
  --upstream 127.0.0.1:1 --policy "$root/etc/zem/policy.json" --threads 1 >"$work/journal.out" 2>>"$work/journal" &
jpid=$!
pids="$pids $jpid"
jport=""
for _ in $(seq 100); do
  jport=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/journal.out")
  [ -n "$jport" ] && break
  sleep 0.1
done
curl -s --max-time 5 "http://127.0.0.1:$jport/" >/dev/null || true
kill -TERM "$jpid"
wait "$jpid" || true
grep -q '^<4>connection [0-9]*: upstream unreachable: ' "$work/journal" || fail "journal line: $(cat "$work/journal")"
grep -q '^<5>SIGTERM, stopping$' "$work/journal" || fail "journal line: $(cat "$work/journal")"

# A host program built against the installed headers and library.
cat >"$work/host.cpp" <<'EOF'
#include <zem/zem.h>
#include <cstdio>
int main() {
    deinitialize();
    std::puts("linked");
    return 0;
}
EOF
flags=$(PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$root${libdir}/pkgconfig" pkg-config --cflags --libs zem_net)
# shellcheck disable=SC2086
c++ -std=c++17 "$work/host.cpp" -o "$work/host" $flags || fail "building against the installed package"
[ "$("$work/host")" = linked ] || fail "running the program built against the package"

# The unit as systemd reads it, and how little it may do.
if command -v systemd-analyze >/dev/null 2>&1; then
  # Checked against this machine's units, with the program where it lies.
  sed "s#/usr/bin/zem-host#$root/usr/bin/zem-host#" "$root/usr/lib/systemd/system/zem-host.service" \
    >"$work/zem-host.service"
  systemd-analyze verify "$work/zem-host.service" >"$work/verify.out" 2>&1 ||
    { cat "$work/verify.out"; fail "systemd-analyze verify"; }
  systemd-analyze security --offline=true "$work/zem-host.service" >"$work/security.out" 2>&1 || true
  score=$(sed -n 's/.*Overall exposure level for zem-host.service: \([0-9.]*\).*/\1/p' "$work/security.out")
  echo "systemd exposure level of zem-host.service: ${score:-unknown} (0 = locked down, 10 = exposed)"
  if [ -n "$score" ]; then
    awk -v s="$score" 'BEGIN { exit !(s <= 2.5) }' || fail "the unit's exposure level $score is above 2.5"
  fi
fi

# Remove keeps the (edited) policy; purge takes it away.
echo '{"comment": "edited"}' >"$root/etc/zem/policy.json"
dpkg_root -r zem-host >/dev/null || fail "dpkg -r"
[ ! -e "$root/usr/bin/zem-host" ] || fail "zem-host stays after removal"
[ ! -e "$root${libdir}/libzem_net.so.1" ] || fail "the library stays after removal"
grep -q edited "$root/etc/zem/policy.json" || fail "the edited policy went with the removal"
dpkg_root -P zem-host >/dev/null || fail "dpkg -P"
[ ! -e "$root/etc/zem/policy.json" ] || fail "the policy stays after purge"
left=$(find "$root/usr" "$root/etc" -type f 2>/dev/null | head -5)
[ -z "$left" ] || fail "files stay after purge: $left"
echo "test-package.sh: $(basename "$deb") installs, runs, removes and purges in a scratch root"
