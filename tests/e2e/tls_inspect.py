#!/usr/bin/env python3
"""HTTPS inspection: zem-host makes its authority, a test root signs the
origins' certificates (nginx with TLS for the good one, openssl s_server for
the bad ones), and curl and openssl s_client go through the proxy. An inspected
page is filtered exactly as the same page over plain HTTP, under a leaf that
names the host and chains to the local authority; bad origin certificates get
an error page; excluded hosts keep the origin's own certificate; hostile
handshakes are refused without harm."""
import json
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile

from e2e_kit import check, free_port, read_port, report, run_chromium, start_nginx, stop_all, wait_port

PAGE = (b'<html><body><p>news</p><img src="http://127.0.0.1/ads/banner.gif" width="10" height="10">'
        b'<img src="/logo.png"></body></html>\n')
# Large enough to fill the socket pairs and the relay's queues many times.
BIG = b'<html><body>' + b''.join(b'<p>paragraph %06d of a long page</p>\n' % k for k in range(20000)) + \
    b'<img src="/ads/big.gif"></body></html>\n'


def run(*args, **kw):
    return subprocess.run(list(args), capture_output=True, **kw)


def make_certs(work):
    """A test root and origin certificates: good, wrong name, unknown issuer, expired."""
    def ossl(*a):
        r = run('openssl', *a, cwd=work)
        if r.returncode:
            raise RuntimeError('openssl %s: %s' % (a[0], r.stderr.decode()))
    ec = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes']
    ossl('req', '-x509', *ec, '-keyout', 'root.key', '-out', 'root.pem', '-days', '2', '-subj', '/CN=zem test root')
    for name, san in (('good', 'DNS:localhost,IP:127.0.0.1'), ('wrong', 'DNS:wrong.example'),
                      ('expired', 'DNS:localhost')):
        with open(os.path.join(work, name + '.ext'), 'w') as f:
            f.write('subjectAltName=%s\n' % san)
        ossl('req', *ec, '-keyout', name + '.key', '-out', name + '.csr', '-subj', '/CN=' + name)
        if name != 'expired':
            ossl('x509', '-req', '-in', name + '.csr', '-CA', 'root.pem', '-CAkey', 'root.key', '-CAcreateserial',
                 '-out', name + '.pem', '-days', '2', '-extfile', name + '.ext')
    # 'openssl ca' can date a certificate in the past.
    with open(os.path.join(work, 'ca.cnf'), 'w') as f:
        f.write('[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\n'
                'default_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n')
    open(os.path.join(work, 'index.txt'), 'w').close()
    with open(os.path.join(work, 'serial'), 'w') as f:
        f.write('1000\n')
    ossl('ca', '-batch', '-config', 'ca.cnf', '-cert', 'root.pem', '-keyfile', 'root.key', '-in', 'expired.csr',
         '-out', 'expired.pem', '-startdate', '20200101000000Z', '-enddate', '20200201000000Z',
         '-extfile', 'expired.ext', '-notext')
    ossl('req', '-x509', *ec, '-keyout', 'stranger.key', '-out', 'stranger.pem', '-days', '2',
         '-subj', '/CN=localhost', '-addext', 'subjectAltName=DNS:localhost')


def curl(*args):
    r = run('curl', '-s', '-S', '--max-time', '20', *args)
    return r.stdout, r.stderr.decode(errors='replace')


def s_client(proxy, port, *extra, send=b'GET /page.html HTTP/1.0\r\nHost: localhost\r\n\r\n'):
    """openssl s_client through the proxy; returns its whole output."""
    r = run('openssl', 's_client', '-proxy', '127.0.0.1:%d' % proxy, '-connect', 'localhost:%d' % port,
            '-showcerts', '-ign_eof', *extra, input=send, timeout=30)
    return r.stdout + r.stderr


def first_cert(text):
    begin = text.find(b'-----BEGIN CERTIFICATE-----')
    end = text.find(b'-----END CERTIFICATE-----')
    return text[begin:end + 25] + b'\n' if begin >= 0 and end > begin else b''


def events(path):
    with open(path) as f:
        return [json.loads(line) for line in f if '"tls"' in line]


def raw_tunnel(port, target, payload, wait_close=15):
    """CONNECT, then the payload; True when the proxy closes within wait_close seconds."""
    with socket.create_connection(('127.0.0.1', port), timeout=wait_close) as s:
        s.sendall(b'CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n' % (target, target))
        head = b''
        while b'\r\n\r\n' not in head:
            b = s.recv(4096)
            if not b:
                return True
            head += b
        s.sendall(payload)
        try:
            while s.recv(4096):
                pass
            return True
        except OSError:
            return False


def browser_checks(chromium, work, port, good, shot):
    """Headless Chromium trusting the local authority through a fresh NSS
    database loads an HTTPS page through the proxy: no certificate warning
    (the page and its photo are shown), the advertisement (blue) is gone."""
    from PIL import Image
    home = os.path.join(work, 'home')
    nssdb = os.path.join(home, '.pki', 'nssdb')
    os.makedirs(nssdb)
    r = run('certutil', '-d', 'sql:' + nssdb, '-N', '--empty-password')
    r2 = run('certutil', '-d', 'sql:' + nssdb, '-A', '-t', 'C,,', '-n', 'zem', '-i', os.path.join(work, 'ca', 'ca.pem'))
    if r.returncode or r2.returncode:
        check(False, 'certutil could not make the NSS database: %r %r' % (r.stderr, r2.stderr))
        return
    os.makedirs(os.path.join(work, 'www', 'ads'))
    Image.new('RGB', (300, 60), (0, 0, 255)).save(os.path.join(work, 'www', 'ads', 'banner.png'))
    Image.new('RGB', (300, 60), (255, 0, 0)).save(os.path.join(work, 'www', 'photo.png'))
    with open(os.path.join(work, 'www', 'browse.html'), 'w') as f:
        f.write('<html><body style="margin:0;background:#fff;font-family:sans-serif">'
                '<img style="display:block" src="/ads/banner.png" width="300" height="60">'
                '<img style="display:block" src="/photo.png" width="300" height="60">'
                '<p style="margin:8px">HTTPS through zem-host: the advertisement above is gone.</p>'
                '</body></html>')
    env = dict(os.environ, HOME=home)
    r = run_chromium(chromium, work, '--hide-scrollbars', '--window-size=560,150', '--virtual-time-budget=5000',
                     '--proxy-server=http://127.0.0.1:%d' % port, '--proxy-bypass-list=<-loopback>',
                     '--screenshot=' + shot, 'https://localhost:%d/browse.html' % good, env=env)
    if not os.path.exists(shot):
        check(False, 'Chromium took no screenshot through the proxy (%d)' % r.returncode)
        return
    img = Image.open(shot).convert('RGB')
    colours = set(img.getdata())
    check((255, 0, 0) in colours, 'Chromium shows the HTTPS page and its photo: no certificate warning')
    check((0, 0, 255) not in colours, 'the advertisement of the HTTPS page is gone')
    check(set(img.crop((0, 0, 560, 60)).getdata()) == {(255, 255, 255)}, 'where it stood is page background')


def pipelined_hello(port, target, cafile, host):
    """CONNECT and the client hello in one write, before the 200 arrived:
    the hello must reach the TLS end. Returns the page it then gets."""
    import ssl
    ctx = ssl.create_default_context(cafile=cafile)
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(incoming, outgoing, server_hostname=host)
    with socket.create_connection(('127.0.0.1', port), timeout=10) as s:
        try:
            tls.do_handshake()
        except ssl.SSLWantReadError:
            pass
        s.sendall(b'CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n' % (target, target) + outgoing.read())
        data = b''
        while b'\r\n\r\n' not in data:
            data += s.recv(65536)
        incoming.write(data.split(b'\r\n\r\n', 1)[1])
        request_sent, page = False, b''
        while True:
            try:
                if not request_sent:
                    tls.do_handshake()
                    tls.write(b'GET /page.html HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n' % host.encode())
                    request_sent = True
                page += tls.read(65536)
            except ssl.SSLWantReadError:
                pass
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                break
            if outgoing.pending:
                s.sendall(outgoing.read())
            b = s.recv(65536)
            if not b:
                break
            incoming.write(b)
        return page


def main():
    binary = sys.argv[1]
    work = tempfile.mkdtemp(prefix='zem_tls_')
    os.chmod(work, 0o755)  # nginx's workers read the pages as another user
    procs = []
    try:
        # The authority: key 0600, folder 0700, no second one over it, no open folder.
        ca = os.path.join(work, 'ca')
        r = run(binary, 'ca', 'init', '--dir', ca)
        check(r.returncode == 0 and b'certutil' in r.stdout and b'--cacert' in r.stdout, 'ca init: %r' % r)
        check(stat.S_IMODE(os.stat(os.path.join(ca, 'ca.key')).st_mode) == 0o600, 'the key is 0600')
        check(stat.S_IMODE(os.stat(ca).st_mode) == 0o700, 'the folder is 0700')
        check(run(binary, 'ca', 'init', '--dir', ca).returncode != 0, 'an existing authority is kept')
        open_dir = os.path.join(work, 'open')
        os.mkdir(open_dir, 0o755)
        os.chmod(open_dir, 0o755)
        r = run(binary, 'ca', 'init', '--dir', open_dir)
        check(r.returncode != 0 and not os.listdir(open_dir), 'a folder others may read is refused')
        os.chmod(ca, 0o750)
        r = run(binary, 'proxy', '--forward-proxy', '--listen', '127.0.0.1:0', '--inspect-tls', '--ca-dir', ca)
        check(r.returncode == 1 and b'chmod 700' in r.stderr, 'the proxy refuses an authority others may read')
        os.chmod(ca, 0o700)

        make_certs(work)
        os.makedirs(os.path.join(work, 'www'))
        for name, data in (('page.html', PAGE), ('big.html', BIG)):
            with open(os.path.join(work, 'www', name), 'wb') as f:
                f.write(data)
        good, plain = free_port(), free_port()
        www = os.path.join(work, 'www')
        ng = start_nginx(work, [(good, 'root %s; ssl_certificate %s/good.pem; ssl_certificate_key %s/good.key;'
                                 % (www, work, work)), (plain, 'root %s;' % www)], tls_ports=(good,))
        if ng is None:
            check(False, 'nginx is not installed or did not start (scripts/setup.sh installs it)')
            return report()
        procs.append(ng)
        bad = {}
        # 'good' here is an origin that ends each answer by closing.
        for name in ('wrong', 'stranger', 'expired', 'good'):
            bad[name] = free_port()
            procs.append(subprocess.Popen(
                ['openssl', 's_server', '-accept', '127.0.0.1:%d' % bad[name], '-cert',
                 os.path.join(work, name + '.pem'), '-key', os.path.join(work, name + '.key'), '-WWW', '-quiet'], cwd=os.path.join(work, 'www'),
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for port in bad.values():
            wait_port(port)

        policy = os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../policy/default.json')
        log = os.path.join(work, 'events.jsonl')
        ports = ','.join(str(p) for p in [good] + list(bad.values()))
        p = subprocess.Popen([binary, 'proxy', '--forward-proxy', '--listen', '127.0.0.1:0', '--policy', policy,
                              '--threads', '2', '--inspect-tls', '--ca-dir', ca, '--upstream-ca',
                              os.path.join(work, 'root.pem'), '--no-inspect', '127.0.0.1', '--connect-ports', ports,
                              '--events', log], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        procs.append(p)
        port = read_port(p)
        proxy = ['-x', 'http://127.0.0.1:%d' % port]
        local_ca = ['--cacert', os.path.join(ca, 'ca.pem')]

        # Inspected: the same bytes as the same page over plain HTTP through
        # the proxy, two pages on one connection.
        want_page, _ = curl(*proxy, 'http://127.0.0.1:%d/page.html' % plain)
        want_big, _ = curl(*proxy, 'http://127.0.0.1:%d/big.html' % plain)
        check(b'/ads/banner.gif' not in want_page and b'<p>news</p>' in want_page and b'/logo.png' in want_page,
              'over plain HTTP the advertisement is cut: %r' % want_page)
        got, err = curl(*proxy, *local_ca, '-v', '-o', os.path.join(work, 'big.out'),
                        'https://localhost:%d/big.html' % good, 'https://localhost:%d/page.html' % good)
        check(got == want_page, 'the inspected page equals the plain one: %r (%s)' % (got[:300], err[-300:]))
        with open(os.path.join(work, 'big.out'), 'rb') as f:
            big = f.read()
        check(big == want_big and len(big) > 700000 and b'/ads/big.gif' not in big,
              'a large inspected page equals the plain one (%d bytes)' % len(big))
        check('Re-using existing connection' in err or 'Reusing existing' in err, 'both pages used one connection')
        check('issuer: O=zem-host' in err and 'ALPN: server accepted http/1.1' in err,
              'curl saw the local authority and http/1.1')

        # The leaf names the host in its subjectAltName and chains to the authority.
        out = s_client(port, good, '-servername', 'localhost')
        leaf = os.path.join(work, 'leaf.pem')
        with open(leaf, 'wb') as f:
            f.write(first_cert(out))
        text = run('openssl', 'x509', '-in', leaf, '-noout', '-text').stdout
        check(b'DNS:localhost' in text and b'CA:FALSE' in text, 'the leaf: %r' % text[-600:])
        check(run('openssl', 'verify', '-CAfile', os.path.join(ca, 'ca.pem'), leaf).returncode == 0,
              'the leaf chains to the local authority')

        # No SNI: the CONNECT host is the name; SNI for another name: refused.
        out = s_client(port, good, '-noservername', '-CAfile', os.path.join(ca, 'ca.pem'))
        check(b'Verify return code: 0' in out and b'<p>news</p>' in out, 'no SNI: the CONNECT host: %r' % out[-300:])
        out = s_client(port, good, '-servername', 'other.example')
        check(b'<p>news</p>' not in out and b'unrecognized name' in out, 'SNI for another host is refused')

        # An answer that runs to the origin's close ends with close_notify
        # toward the client: curl would call a bare close an error.
        r = run('curl', '-s', '-S', '--max-time', '20', *proxy, *local_ca, 'https://localhost:%d/page.html' % bad['good'])
        check(r.returncode == 0 and r.stdout == want_page, 'an answer delimited by the close: %r' % (r,))

        # Bad origin certificates: an error page inside the client's TLS.
        for name, reason in (('wrong', 'hostname mismatch'), ('stranger', 'self-signed certificate'),
                             ('expired', 'certificate has expired')):
            got, err = curl(*proxy, *local_ca, '-i', 'https://localhost:%d/page.html' % bad[name])
            check(b'\r\n\r\nHTTP/1.1 502 Bad Gateway' in got and reason.encode() in got and b'news' not in got,
                  '%s origin certificate: an error page: %r %s' % (name, got[:400], err))

        # Excluded: the tunnel is untouched, the client sees the origin's certificate.
        got, err = curl(*proxy, '--cacert', os.path.join(work, 'root.pem'), '-v',
                        'https://127.0.0.1:%d/page.html' % good)
        check(got == PAGE and 'issuer: CN=zem test root' in err, 'an excluded host passes untouched: %r' % got)

        # Hostile clients: a truncated hello, plaintext in the tunnel; the proxy goes on.
        target = b'localhost:%d' % good
        check(raw_tunnel(port, target, b'\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03' + b'\x00' * 20),
              'a client hello cut short is closed at the handshake timeout')
        check(raw_tunnel(port, target, b'GET /page.html HTTP/1.1\r\nHost: localhost\r\n\r\n'),
              'plaintext inside an inspected tunnel is closed, never relayed')
        got = pipelined_hello(port, target, os.path.join(ca, 'ca.pem'), 'localhost')
        check(got.endswith(want_page), 'a client hello sent with the CONNECT is not lost: %r' % got[-200:])

        # A renegotiation asked for by the client is refused.
        r = subprocess.run('(printf "R\\n"; sleep 1) | openssl s_client -proxy 127.0.0.1:%d -connect localhost:%d '
                           '-tls1_2 -servername localhost' % (port, good), shell=True, capture_output=True, timeout=30)
        check(b'RENEGOTIATING' in r.stderr and b'no renegotiation' in r.stderr, 'renegotiation is refused: %r' % r.stderr)
        got, _ = curl(*proxy, *local_ca, 'https://localhost:%d/page.html' % good)
        check(got == want_page, 'the proxy still serves after hostile clients')

        # An address in CONNECT: a leaf with IP:127.0.0.1, the origin checked for it.
        p2 = subprocess.Popen([binary, 'proxy', '--forward-proxy', '--listen', '127.0.0.1:0', '--policy', policy,
                               '--threads', '1', '--inspect-tls', '--ca-dir', ca, '--upstream-ca',
                               os.path.join(work, 'root.pem'), '--connect-ports', str(good)],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        procs.append(p2)
        got, err = curl('-x', 'http://127.0.0.1:%d' % read_port(p2), *local_ca, '-v',
                        'https://127.0.0.1:%d/page.html' % good)
        check(got == want_page and 'issuer: O=zem-host' in err, 'an inspected address: %r' % got[:200])

        chromium = shutil.which('chromium') or shutil.which('chromium-browser')
        if not chromium or not shutil.which('certutil'):
            check(False, 'chromium and certutil are needed (scripts/setup.sh installs them)')
        else:
            shot = os.environ.get('ZEM_TLS_SCREENSHOT') or os.path.join(work, 'https.png')
            browser_checks(chromium, work, port, good, shot)

        p.terminate()
        p.wait(timeout=15)
        recs = events(log)
        kinds = [(e['tls'], e['host']) for e in recs]
        check(kinds.count(('inspected', 'localhost')) >= 4, 'the inspected tunnels are in the log: %r' % kinds)
        check(('tunnelled', '127.0.0.1') in kinds, 'the excluded tunnel is in the log')
        reasons = ' '.join(e['reason'] for e in recs if e['tls'] == 'refused')
        for reason in ('hostname mismatch', 'self-signed certificate', 'certificate has expired',
                       '"other.example"', 'handshake failed'):
            check(reason in reasons, 'the log says why: %s (%s)' % (reason, reasons))
        with open(log) as f:
            text = f.read()
        check('PRIVATE KEY' not in text, 'no key in the event log')
    finally:
        stop_all(procs)
        shutil.rmtree(work, ignore_errors=True)
    return report()


if __name__ == '__main__':
    sys.exit(main())
