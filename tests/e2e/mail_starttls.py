#!/usr/bin/env python3
"""Mail sessions that go over to TLS through zem-host.

A private Dovecot (POP3 and IMAP) offering STLS/STARTTLS with a certificate
made here, and an aiosmtpd sink offering STARTTLS; curl (--ssl-reqd) and
Python's smtplib as clients, through `zem-host proxy --upstream` with mail
filtering on and a policy that cuts .exe attachments. After the upgrade the
filter cannot read the traffic: the session must go on untouched (the
message with the program arrives as the server sent it, as it does without
zem-host) and the event log must say, for that connection, that the session
went encrypted.

usage: mail_starttls.py ZEM_HOST_BINARY
Exit status 0 when every check holds, 77 when a server is not installed."""
import json
import os
import shutil
import smtplib
import ssl
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, '../../scripts'))
import dovecot_imap  # noqa: E402
from e2e_kit import FAILURES, check, free_port  # noqa: E402
from mail_real_clients import PLAIN, WITH_EXE, curl  # noqa: E402
from mail_real_clients import start_mail_proxy as start_proxy  # noqa: E402


def make_certificate(work):
    cert, key = os.path.join(work, 'cert.pem'), os.path.join(work, 'key.pem')
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
                    '-days', '2', '-subj', '/CN=localhost'], check=True, capture_output=True)
    return cert, key


def encrypted_records(path):
    """The event log's records of sessions that went encrypted."""
    out = []
    with open(path) as f:
        for line in f:
            rec = json.loads(line)
            if rec.get('event') == 'general_notify_log_line' and 'encrypted' in rec:
                out.append(rec)
    return out


def dovecot_checks(binary, work, tls):
    msgs = [PLAIN, WITH_EXE]
    dv, ports = dovecot_imap.start_with(os.path.join(work, 'dovecot'), msgs, ('imap', 'pop3'), tls)
    try:
        cases = [('POP3', 'STLS', 'pop3', 'pop3://127.0.0.1:%d/2'),
                 ('IMAP', 'STARTTLS', 'imap', 'imap://127.0.0.1:%d/INBOX;MAILINDEX=2')]
        for protocol, command, name, url in cases:
            direct_rc, direct = curl('--ssl-reqd', '-k', '-u', 'test:test', url % ports[name])
            check(direct_rc == 0 and direct.replace(b'\r\n', b'\n') == WITH_EXE.replace(b'\r\n', b'\n'),
                  name + ': the message with the program over TLS without zem-host')
            proxy, pport = start_proxy(binary, ports[name], work, 'cut-' + name)
            try:
                rc, got = curl('--ssl-reqd', '-k', '-u', 'test:test', url % pport)
                check(rc == 0 and got == direct, name + ': after %s the message arrives as sent' % command)
                # Without TLS the same proxy cuts: the filter was there.
                rc, got = curl('-u', 'test:test', url % pport)
                check(rc == 0 and b'tool.exe' not in got, name + ': in clear the program is cut')
            finally:
                proxy.terminate()
                proxy.wait()
            recs_path = os.path.join(work, 'cut-' + name + '.jsonl')
            recs = encrypted_records(recs_path)
            check(len(recs) == 1 and recs[0]['encrypted'] == {'protocol': protocol, 'command': command},
                  name + ': one record of the session going encrypted: %r' % [r['encrypted'] for r in recs])
            if recs:
                check(recs[0].get('id0', 0) != 0, name + ': the record names the connection')
    finally:
        dv.terminate()
        dv.wait()


def smtp_checks(binary, work, tls):
    from aiosmtpd.controller import Controller

    stored = []

    class Sink:
        async def handle_DATA(self, server, session, envelope):
            stored.append(envelope.original_content)
            return '250 OK'

    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(*tls)
    port = free_port()
    ctl = Controller(Sink(), hostname='127.0.0.1', port=port, tls_context=ctx)
    ctl.start()
    client_ctx = ssl._create_unverified_context()
    try:
        def send(p, msg, starttls):
            with smtplib.SMTP('127.0.0.1', p, timeout=20) as s:
                if starttls:
                    s.starttls(context=client_ctx)
                s.sendmail('alice@example.org', ['bob@example.org'], msg)
            return stored[-1]

        direct = send(port, WITH_EXE, True)
        check(direct == WITH_EXE, 'smtp: the sink stores the message as sent')
        proxy, pport = start_proxy(binary, port, work, 'cut-smtp')
        try:
            check(send(pport, WITH_EXE, True) == direct, 'smtp: after STARTTLS (smtplib) the message is stored as sent')
            rc, _ = curl('smtp://127.0.0.1:%d' % pport, '--ssl-reqd', '-k', '--mail-from', 'alice@example.org',
                         '--mail-rcpt', 'bob@example.org', '--upload-file', '-', stdin=WITH_EXE)
            check(rc == 0 and stored[-1] == direct, 'smtp: after STARTTLS (curl) the message is stored as sent')
            check(b'tool.exe' not in send(pport, WITH_EXE, False), 'smtp: in clear the program is cut')
        finally:
            proxy.terminate()
            proxy.wait()
        recs = encrypted_records(os.path.join(work, 'cut-smtp.jsonl'))
        check([r['encrypted'] for r in recs] == [{'protocol': 'SMTP', 'command': 'STARTTLS'}] * 2,
              'smtp: one record per encrypted session: %r' % [r['encrypted'] for r in recs])
        check(len({(r.get('id0'), r.get('id1')) for r in recs}) == 2 and all(r.get('id0') for r in recs),
              'smtp: each record names its own connection')
    finally:
        ctl.stop()


def main():
    binary = sys.argv[1]
    if not dovecot_imap.available() or not os.path.exists('/usr/lib/dovecot/pop3'):
        print('SKIP: dovecot-imapd and dovecot-pop3d are not installed (scripts/setup.sh installs them)')
        return 77
    try:
        import aiosmtpd  # noqa: F401
    except ImportError:
        print('SKIP: python3-aiosmtpd is not installed (scripts/setup.sh installs it)')
        return 77
    work = tempfile.mkdtemp(prefix='zem-starttls-')
    os.chmod(work, 0o755)  # Dovecot's own users read its folder inside
    try:
        tls = make_certificate(work)
        dovecot_checks(binary, work, tls)
        smtp_checks(binary, work, tls)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print('%d failed checks' % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == '__main__':
    sys.exit(main())
