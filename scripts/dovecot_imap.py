#!/usr/bin/env python3
"""A private Dovecot IMAP server for tests: configuration, state and mail
under one folder, no systemd. As a module: start(folder, messages) returns
(process, port); as a program: runs one on a free port until interrupted.
User "test", password "test"; messages go to the user's Maildir/new."""
import os
import pwd
import shutil
import socket
import subprocess
import sys
import time

DOVECOT = shutil.which('dovecot') or '/usr/sbin/dovecot'


def available():
    return os.path.exists(DOVECOT) and os.path.exists('/usr/lib/dovecot/imap')


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def start(folder, messages):
    """Dovecot serving IMAP on a free port; returns (process, port)."""
    proc, ports = start_with(folder, messages)
    return proc, ports['imap']


def start_with(folder, messages, protocols=('imap',), tls=None):
    """Dovecot serving each of protocols ('imap', 'pop3') on a free port,
    with STARTTLS/STLS offered when tls is (certificate file, key file);
    returns (process, {protocol: port})."""
    ports = {p: free_port() for p in protocols}
    # The auth and mail processes run as other users: the folder (and the
    # folders above it) must let them through.
    os.makedirs(folder, exist_ok=True)
    os.chmod(folder, 0o755)
    for sub in ('run', 'state', 'home/test/Maildir/new', 'home/test/Maildir/cur', 'home/test/Maildir/tmp'):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    for i, m in enumerate(messages):
        with open(os.path.join(folder, 'home/test/Maildir/new', '%d.%d.test' % (1700000000 + i, i)), 'wb') as f:
            f.write(m)
    nobody = pwd.getpwnam('nobody')
    for root, dirs, files in os.walk(os.path.join(folder, 'home')):
        for n in dirs + files:
            os.chown(os.path.join(root, n), nobody.pw_uid, nobody.pw_gid)
    os.chown(os.path.join(folder, 'home'), nobody.pw_uid, nobody.pw_gid)
    with open(os.path.join(folder, 'passwd'), 'w') as f:
        f.write('test:{PLAIN}test::::::\n')
    conf = os.path.join(folder, 'dovecot.conf')
    ssl = 'ssl = yes\nssl_cert = <{}\nssl_key = <{}'.format(*tls) if tls else 'ssl = no'
    services = ''.join('''service {p}-login {{
  inet_listener {p} {{
    address = 127.0.0.1
    port = {n}
  }}
  inet_listener {p}s {{
    port = 0
  }}
}}
'''.format(p=p, n=n) for p, n in ports.items())
    with open(conf, 'w') as f:
        f.write('''protocols = {protocols}
listen = 127.0.0.1
base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/dovecot.log
{ssl}
disable_plaintext_auth = no
auth_mechanisms = plain login
first_valid_uid = 1
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {d}/passwd
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home={d}/home/%u
}}
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
{services}'''.format(d=folder, protocols=' '.join(ports), ssl=ssl, services=services))
    proc = subprocess.Popen([DOVECOT, '-F', '-c', conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 15
    while time.time() < deadline:
        try:
            ready = 0
            for p, n in ports.items():
                with socket.create_connection(('127.0.0.1', n), timeout=1) as s:
                    ready += s.recv(100).startswith(b'* OK' if p == 'imap' else b'+OK')
            if ready == len(ports):
                return proc, ports
        except OSError:
            pass
        time.sleep(0.1)
    proc.kill()
    raise RuntimeError('dovecot did not start; see ' + os.path.join(folder, 'dovecot.log'))


if __name__ == '__main__':
    import tempfile
    folder = tempfile.mkdtemp(prefix='zem_dovecot_')
    p, port = start(folder, [b'From: a@example.org\r\nSubject: test\r\n\r\nhello\r\n'])
    print('imap on 127.0.0.1:%d, state in %s' % (port, folder), flush=True)
    try:
        p.wait()
    except KeyboardInterrupt:
        p.terminate()
    sys.exit(0)
