#!/bin/sh
# Installs the Debian packages the project needs. Idempotent; runs as root
# (or through sudo) without prompts.
set -eu
PKGS="build-essential cmake ninja-build pkg-config
libboost-regex-dev libboost-dev zlib1g-dev
libgtest-dev libgmock-dev libbenchmark-dev
nlohmann-json3-dev libasio-dev libpcap-dev
clang libclang-rt-dev clang-format curl wrk nftables
nginx-light python3 vsftpd openssl
dovecot-core dovecot-pop3d dovecot-imapd python3-aiosmtpd inn2
chromium python3-pil"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -q
  # inn2's configure step can fail on a host without a domain; that is
  # mended below, so a failure here is judged only after it.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $missing || true
fi
# INN derives its message-IDs and Path: entry from the host's fully qualified
# name; on a machine whose name has no domain its post-install step stops
# and leaves the package half-configured. Give it one and finish the step.
if ! dpkg-query -W -f='${Status}' inn2 2>/dev/null | grep -q "install ok installed" &&
   [ -f /etc/news/inn.conf ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
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
