#!/bin/sh
# Installs the Debian packages the project needs. Idempotent; runs as root
# (or through sudo) without prompts.
#   ZEM_SKIP_WINDOWS=1  leave out the 32-bit Windows cross toolchain and Wine
set -eu
PKGS="build-essential cmake ninja-build pkg-config
libboost-regex-dev libboost-dev zlib1g-dev
libgtest-dev libgmock-dev libbenchmark-dev
nlohmann-json3-dev libasio-dev libpcap-dev
clang libclang-rt-dev clang-format curl wrk nftables
nginx-light python3 vsftpd openssl
dovecot-core dovecot-pop3d dovecot-imapd python3-aiosmtpd inn2
chromium python3-pil libssl-dev libnss3-tools"
# The Windows build: mingw-w64 for i686 (the -posix compilers are named by the
# toolchain file) and its zlib; 32-bit Wine to run the result.
WIN_PKGS="g++-mingw-w64-i686 libz-mingw-w64-dev"
WINE_PKGS="wine wine32:i386"

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
need_update=0
LINUX_PKGS="$PKGS"
if [ "${ZEM_SKIP_WINDOWS:-0}" != "1" ]; then
  PKGS="$PKGS $WIN_PKGS"
  WIN_BATCH="$WIN_PKGS"
  WINE_BATCH="$WINE_PKGS"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    need_update=1
  fi
fi
missing_in() {
  m=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || m="$m $p"
  done
  echo "$m"
}
missing=$(missing_in $PKGS ${WINE_BATCH:-})
if [ -n "$missing" ] || [ "$need_update" = 1 ]; then
  # A mirror caught mid-sync fails one index; try again, and if it still
  # fails go on with what did load: the check at the end judges the result.
  for attempt in 1 2 3; do
    $SUDO apt-get -o DPkg::Lock::Timeout=600 update -q && break
    [ "$attempt" = 3 ] || sleep 10
  done || true
fi
# The 32-bit packages go in a batch of their own: when the i386 index lags
# the amd64 one (a mirror mid-sync), apt refuses the whole batch, and the
# rest should not go down with it.
for batch in "$LINUX_PKGS" "${WIN_BATCH:-}" "${WINE_BATCH:-}"; do
  missing=$(missing_in $batch)
  [ -z "$missing" ] && continue
  # inn2's configure step can fail on a host without a domain; that is
  # mended below, so a failure here is judged only after it.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $missing || true
done
# INN derives its message-IDs and Path: entry from the host's fully qualified
# name; on a machine whose name has no domain its post-install step stops
# and leaves the package half-configured. Give it one and finish the step.
if ! dpkg-query -W -f='${Status}' inn2 2>/dev/null | grep -q "install ok installed" &&
   [ -f /etc/news/inn.conf ]; then
  $SUDO sed -i -e 's/^#* *domain:.*/domain:                      localdomain/' \
               -e 's/^pathhost:.*/pathhost:                    localhost.localdomain/' /etc/news/inn.conf
  $SUDO env DEBIAN_FRONTEND=noninteractive dpkg --configure -a
fi
for p in $PKGS; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    echo "setup.sh: $p could not be installed" >&2
    exit 1
  fi
done
# Wine alone may stay out, when the mirror's i386 index cannot match the
# amd64 libraries; scripts/test-windows.sh then builds and checks the DLL
# but says loudly that its tests did not run.
if [ -n "${WINE_BATCH:-}" ] && [ -n "$(missing_in $WINE_BATCH)" ]; then
  echo "setup.sh: WARNING: 32-bit Wine could not be installed; the Windows tests will not run" >&2
fi
