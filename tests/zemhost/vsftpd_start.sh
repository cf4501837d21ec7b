#!/bin/sh
# Runs a private anonymous vsftpd on loopback in the foreground, all state
# under STATE_DIR; serves the files of ROOT_DIR (which must not be writable
# by the anonymous user).
#   vsftpd_start.sh STATE_DIR ROOT_DIR PORT PASV_MIN PASV_MAX
set -eu
state=$1 root=$2 port=$3 pmin=$4 pmax=$5
bin=$(command -v vsftpd || echo /usr/sbin/vsftpd)
mkdir -p "$state/empty"
chmod 755 "$state/empty"
cat > "$state/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$root
local_enable=NO
write_enable=NO
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=$pmin
pasv_max_port=$pmax
port_enable=YES
connect_from_port_20=NO
secure_chroot_dir=$state/empty
seccomp_sandbox=NO
xferlog_enable=NO
vsftpd_log_file=$state/vsftpd.log
CONF
exec "$bin" "$state/vsftpd.conf"
