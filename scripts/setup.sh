#!/bin/sh
# Installs the Debian packages the project needs. Idempotent; runs as root
# (or through sudo) without prompts.
set -eu
PKGS="build-essential cmake ninja-build pkg-config
libboost-regex-dev libboost-dev zlib1g-dev
libgtest-dev libgmock-dev libbenchmark-dev
nlohmann-json3-dev libasio-dev libpcap-dev
clang libclang-rt-dev curl wrk nftables
nginx-light python3 vsftpd openssl
dovecot-core dovecot-pop3d dovecot-imapd python3-aiosmtpd
chromium python3-pil"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends $missing
fi
