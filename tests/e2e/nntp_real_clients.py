#!/usr/bin/env python3
"""News readers through zem-host against a private INN (tests/e2e/inn_start.sh,
state under a temporary folder, no systemd).

Two articles are posted through `zem-host proxy --upstream` (client data
passes unchanged, so INN stores both as sent): an ordinary one and one with
an .exe attachment. They are read back through a proxy whose policy cuts
.exe attachments and through one that replaces them, by a raw socket
session and by nntplib: the ARTICLE reply of the attachment's article comes
out without it (cut) or with the replacement, and Python's email parses it;
every other reply of the session (greeting, GROUP, ARTICLE and BODY of the
ordinary article, HEAD, XOVER, QUIT) is byte-identical to the same session
without zem-host.

usage: nntp_real_clients.py ZEM_HOST_BINARY
Exit status 0 when every check holds, 77 when INN is not installed."""
import email
import email.policy
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from e2e_kit import FAILURES, check, free_port  # noqa: E402
from mail_real_clients import EXE_BYTES, POLICIES, WITH_EXE, check_filtered  # noqa: E402
from mail_real_clients import start_mail_proxy as start_proxy  # noqa: E402

INND = '/usr/lib/news/bin/innd'
CTLINND = '/usr/lib/news/bin/ctlinnd'
GROUP = 'zem.test'
PLAIN = (b'From: ann@example.org\r\nNewsgroups: zem.test\r\nSubject: plain\r\n\r\n'
         b'Hello all,\r\n.a line starting with a dot\r\n..two dots\r\nBye.\r\n')
# The attachment's message as a news article.
EXE_ARTICLE = WITH_EXE.replace(b'To: bob@example.org\r\n', b'Newsgroups: zem.test\r\n')


def start_inn(state):
    port = free_port()
    p = subprocess.Popen(['sh', os.path.join(HERE, 'inn_start.sh'), state, str(port)], stdout=subprocess.DEVNULL,
                         stderr=subprocess.STDOUT)
    deadline = time.time() + 20
    while time.time() < deadline and p.poll() is None:
        try:
            with socket.create_connection(('127.0.0.1', port), timeout=2) as s:
                if s.recv(100).startswith(b'200'):
                    env = dict(os.environ, INNCONF=os.path.join(state, 'inn.conf'))
                    r = subprocess.run(['setpriv', '--reuid=news', '--regid=news', '--init-groups', CTLINND, '-s',
                                        'newgroup', GROUP, 'y'], env=env, capture_output=True, text=True)
                    if r.returncode != 0:
                        raise RuntimeError('ctlinnd newgroup failed: ' + r.stdout + r.stderr)
                    return p, port
        except OSError:
            time.sleep(0.1)
    p.kill()
    raise RuntimeError('innd did not start; see ' + os.path.join(state, 'log'))


class Session:
    """A raw NNTP reader session that keeps every byte the server sent."""

    def __init__(self, port):
        self.s = socket.create_connection(('127.0.0.1', port), timeout=30)
        self.buf = b''
        self.greeting = self.line()

    def line(self):
        while b'\r\n' not in self.buf:
            chunk = self.s.recv(65536)
            if not chunk:
                raise EOFError('connection closed')
            self.buf += chunk
        n = self.buf.index(b'\r\n') + 2
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def command(self, text, multi=()):
        """Sends a command; returns the reply, its lines up to the lone dot
        included when its code is in multi."""
        self.s.sendall(text + b'\r\n')
        reply = self.line()
        if reply[:3] in multi:
            while True:
                ln = self.line()
                reply += ln
                if ln == b'.\r\n':
                    break
        return reply

    def post(self, article):
        first = self.command(b'POST')
        if not first.startswith(b'340'):
            return first
        stuffed = re.sub(rb'(^|\r\n)\.', rb'\1..', article)
        self.s.sendall(stuffed + b'.\r\n')
        return first + self.line()

    def close(self):
        self.s.close()


def read_all(port):
    """The same reader session every time; returns its replies by name."""
    s = Session(port)
    r = {'greeting': s.greeting}
    r['mode'] = s.command(b'MODE READER')
    r['group'] = s.command(b'GROUP ' + GROUP.encode())
    for n in (1, 2):
        r['article%d' % n] = s.command(b'ARTICLE %d' % n, (b'220',))
    r['body1'] = s.command(b'BODY 1', (b'222',))
    r['head2'] = s.command(b'HEAD 2', (b'221',))
    r['xover'] = s.command(b'XOVER 1-2', (b'224',))
    r['quit'] = s.command(b'QUIT')
    s.close()
    return r


def article_of(reply):
    """The article of a 220 reply, dot-stuffing removed, or None."""
    m = re.match(rb'220 [^\r\n]*\r\n', reply)
    if not m or not reply.endswith(b'\r\n.\r\n'):
        return None
    return re.sub(rb'(^|\r\n)\.', rb'\1', reply[m.end():-3])


def nntplib_checks(port, how, direct):
    with warnings.catch_warnings():
        warnings.simplefilter('ignore', DeprecationWarning)
        import nntplib
    c = nntplib.NNTP('127.0.0.1', port, readermode=True, timeout=30)
    c.group(GROUP)
    _, info = c.article('1')
    check(b'\r\n'.join(info.lines) + b'\r\n' == article_of(direct['article1']),
          how + ': nntplib ARTICLE 1 as without the filter')
    _, info = c.article('2')
    check_filtered(b'\r\n'.join(info.lines) + b'\r\n', how, how + ': nntplib ARTICLE 2')
    c.quit()


def main():
    binary = sys.argv[1]
    if not os.path.exists(INND):
        print('SKIP: innd is not installed (scripts/setup.sh installs inn2)')
        return 77
    work = tempfile.mkdtemp(prefix='zem-nntp-')
    os.chmod(work, 0o755)  # innd runs as news and keeps its state inside
    inn = None
    proxies = []
    try:
        inn, port = start_inn(os.path.join(work, 'inn'))
        proxy, pport = start_proxy(binary, port, work, 'cut-post')
        proxies.append(proxy)
        s = Session(pport)
        s.command(b'MODE READER')
        for art in (PLAIN, EXE_ARTICLE):
            got = s.post(art)
            check(got.startswith(b'340') and b'\r\n240 ' in got, 'POST through zem-host accepted: %r' % got)
        s.command(b'QUIT')
        s.close()

        direct = read_all(port)
        stored = article_of(direct['article2'])
        check(stored is not None and email.message_from_bytes(stored).get_payload()[1].get_payload(
            decode=True) == EXE_BYTES, 'INN stored the article with its executable as posted')
        check(article_of(direct['article1']) is not None and
              article_of(direct['article1']).endswith(PLAIN.split(b'\r\n\r\n', 1)[1]),
              'INN stored the ordinary article as posted')
        for how in POLICIES:
            proxy, pport = start_proxy(binary, port, work, how)
            proxies.append(proxy)
            through = read_all(pport)
            for name in direct:
                if name != 'article2':
                    check(through[name] == direct[name], how + ': %s reply byte-identical' % name)
            first = direct['article2'].split(b'\r\n', 1)[0]
            check(through['article2'].startswith(first + b'\r\n'), how + ': ARTICLE 2 status line unchanged')
            filtered = article_of(through['article2'])
            check(filtered is not None, how + ': ARTICLE 2 framed by its status line and the lone dot')
            if filtered is not None:
                check_filtered(filtered, how, how + ': ARTICLE 2')
                check(filtered.split(b'\r\n\r\n', 1)[0] == stored.split(b'\r\n\r\n', 1)[0],
                      how + ': ARTICLE 2 header unchanged')
            nntplib_checks(pport, how, direct)
            proxy.terminate()
            proxy.wait()
            with open(os.path.join(work, how + '.jsonl')) as f:
                log = f.read()
            check('mail_check_mail_attach' in log and 'tool.exe' in log,
                  how + ': the event log holds the attachment verdict')
            check('http_notify_mail_message_start' in log, how + ': the event log holds the articles')
    finally:
        for p in proxies:
            if p.poll() is None:
                p.terminate()
                p.wait()
        if inn is not None:
            inn.send_signal(signal.SIGTERM)
            try:
                inn.wait(timeout=20)
            except subprocess.TimeoutExpired:
                inn.kill()
                inn.wait()
        shutil.rmtree(work, ignore_errors=True)
    print('%d failed checks' % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == '__main__':
    sys.exit(main())
