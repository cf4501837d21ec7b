#!/bin/sh
# Starts a private Dovecot serving POP3 on 127.0.0.1:PORT in the foreground,
# with all its state under STATE. One user, "test" with password "test";
# its mail is STATE/home/test/Maildir (put messages in its new/ folder
# before starting). usage: dovecot_start.sh STATE PORT
set -eu
state=$1
port=$2
mkdir -p "$state/run" "$state/lib" "$state/home/test/Maildir/new" "$state/home/test/Maildir/cur" \
         "$state/home/test/Maildir/tmp"
chown -R nobody:nogroup "$state/home"
# Dovecot's own users (auth, login) read under STATE.
chmod 755 "$(dirname "$state")" "$state"
echo 'test:{PLAIN}test::::::' > "$state/passwd"
cat > "$state/dovecot.conf" <<CONF
protocols = pop3
listen = 127.0.0.1
base_dir = $state/run
state_dir = $state/lib
log_path = $state/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
first_valid_uid = 1
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $state/passwd
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=$state/home/%u
}
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $port
  }
  inet_listener pop3s {
    port = 0
  }
}
CONF
exec dovecot -F -c "$state/dovecot.conf"
