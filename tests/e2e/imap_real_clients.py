#!/usr/bin/env python3
"""Real IMAP clients (curl, Python's imaplib, a raw socket session) against a
private Dovecot through `zem-host proxy --upstream` with mail filtering on
and an allow-all policy: every message arrives byte for byte, the literal
length announced is the length sent, and the FETCH exchanges match those of
a direct session but for the filter's keep-alive lines.
Usage: imap_real_clients.py ZEM_HOST. Exit 77 when Dovecot is not installed."""
import imaplib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../scripts'))
import dovecot_imap  # noqa: E402
from e2e_kit import check, report, start_proxy, stop_all  # noqa: E402

KEEP_ALIVE = b'* Ok Kestrin ZEM Filter. Caching message.\r\n'


def messages():
    plain = b'From: Ann <ann@example.org>\r\nTo: test@example.org\r\nSubject: lunch\r\n\r\nSee you at noon.\r\n'
    exe = (b'From: Dan <dan@example.org>\r\nTo: test@example.org\r\nSubject: tool\r\nMIME-Version: 1.0\r\n'
           b'Content-Type: multipart/mixed; boundary="zz"\r\n\r\n--zz\r\nContent-Type: text/plain\r\n\r\n'
           b'Run this.\r\n--zz\r\nContent-Type: application/octet-stream; name="tool.exe"\r\n'
           b'Content-Disposition: attachment; filename="tool.exe"\r\nContent-Transfer-Encoding: base64\r\n\r\n'
           b'TVqQAAMAAAAEAAAA//8AALgAAAAAAAAAQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\r\n--zz--\r\n')
    line = b'0123456789abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-0123456789\r\n'
    big = b'From: Big <big@example.org>\r\nSubject: big\r\n\r\n' + line * 40000  # about 3.4 MB
    return [plain, exe, big]


def raw_session(port, count):
    """Logs in, fetches every message whole, logs out; returns the bytes of
    each FETCH exchange (from the server) and the whole server side."""
    s = socket.create_connection(('127.0.0.1', port), timeout=30)
    got = b''

    def until(tag):
        nonlocal got
        start = len(got)
        while not re.search(rb'(^|\n)' + tag + rb' (OK|NO|BAD)[^\n]*\n', got[start:]):
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
        return got[start:]

    until(b'\\*')  # the greeting
    s.sendall(b'a1 LOGIN test test\r\n')
    until(b'a1')
    s.sendall(b'a2 EXAMINE INBOX\r\n')
    until(b'a2')
    fetches = []
    for i in range(1, count + 1):
        s.sendall(b'f%d FETCH %d BODY.PEEK[]\r\n' % (i, i))
        fetches.append(until(b'f%d' % i))
    s.sendall(b'z LOGOUT\r\n')
    until(b'z')
    s.close()
    return fetches, got


def literal_of(exchange):
    """The message of a FETCH exchange, checking the announced length."""
    m = re.search(rb'\* \d+ FETCH \(BODY\[\] \{(\d+)\}\r\n', exchange)
    if not m:
        return None, False
    n = int(m.group(1))
    body = exchange[m.end():m.end() + n]
    return body, exchange[m.end() + n:m.end() + n + 3] == b')\r\n'


def main():
    binary = sys.argv[1]
    if not dovecot_imap.available():
        print('SKIP: dovecot is not installed (scripts/setup.sh installs dovecot-core dovecot-imapd)')
        return 77
    work = tempfile.mkdtemp(prefix='zem_imap_clients_')
    os.chmod(work, 0o755)  # Dovecot's own users read its folder inside
    procs = []
    try:
        msgs = messages()
        dv, dport = dovecot_imap.start(os.path.join(work, 'dovecot'), msgs)
        procs.append(dv)
        zh, pport = start_proxy(binary, dport, work, 'allow', mail=True)
        procs.append(zh)

        direct, _ = raw_session(dport, len(msgs))
        proxied, whole = raw_session(pport, len(msgs))
        for i, (d, p) in enumerate(zip(direct, proxied)):
            body, framed = literal_of(p.replace(KEEP_ALIVE, b''))
            check(body == msgs[i] and framed, 'raw session: message %d whole, its literal length right' % (i + 1))
            # Dovecot tells how long the command took: that part may differ.
            timing = re.compile(rb'\([0-9.+ ]+ secs\)')
            check(timing.sub(b'', p.replace(KEEP_ALIVE, b'')) == timing.sub(b'', d),
                  'raw session: FETCH %d exchange as without the filter' % (i + 1))
        check(KEEP_ALIVE in whole or len(msgs[2]) < 65536, 'raw session: keep-alive lines while the big one is held')

        for i, m in enumerate(msgs):
            out = subprocess.run(['curl', '-s', '-S', '--max-time', '60', '-u', 'test:test',
                                  'imap://127.0.0.1:%d/INBOX;MAILINDEX=%d' % (pport, i + 1)], capture_output=True)
            check(out.returncode == 0 and out.stdout == m, 'curl: message %d byte for byte' % (i + 1))

        c = imaplib.IMAP4('127.0.0.1', pport)
        c.login('test', 'test')
        c.select('INBOX', readonly=True)
        for i, m in enumerate(msgs):
            for item in ('(BODY.PEEK[])', '(RFC822)'):
                typ, data = c.fetch(str(i + 1), item)
                parts = [d for d in data if isinstance(d, tuple)]
                check(typ == 'OK' and len(parts) == 1 and parts[0][1] == m,
                      'imaplib %s: message %d byte for byte' % (item, i + 1))
        c.logout()
    finally:
        stop_all(procs)
        shutil.rmtree(work, ignore_errors=True)
    return report()


if __name__ == '__main__':
    sys.exit(main())
