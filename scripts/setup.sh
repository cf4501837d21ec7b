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
chromium python3-pil"
# The Windows build: mingw-w64 for i686 (the -posix compilers are named by the
# toolchain file), its zlib, and 32-bit Wine to run the result.
WIN_PKGS="g++-mingw-w64-i686 libz-mingw-w64-dev wine wine32:i386"

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
need_update=0
if [ "${ZEM_SKIP_WINDOWS:-0}" != "1" ]; then
  PKGS="$PKGS $WIN_PKGS"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    need_update=1
  fi
fi
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ] || [ "$need_update" = 1 ]; then
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -q
fi
if [ -n "$missing" ]; then
  # inn2's configure step can fail on a host without a domain; that is
  # mended below, so a failure here is judged only after it.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $missing || true
fi
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
