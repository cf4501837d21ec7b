#!/usr/bin/env python3
"""zem-host as a browser's proxy: real clients (curl with -x and with
http_proxy, Python's urllib with a proxy handler, a raw pipelining client)
reach nginx origins on loopback and an openssl s_server through CONNECT, and
headless Chromium loads a page whose images come from two other origins.
Pages pass byte-identical with everything allowed; with the default policy the
advertisement is cut while everything else arrives. Requests the proxy cannot
forward safely get a clear error."""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from e2e_kit import check, free_port, read_port, report, run_chromium, start_nginx, stop_all, wait_port

PAGE = (b'<html><body><p>news</p><img src="http://127.0.0.1/ads/banner.gif" width="10" height="10">'
        b'<img src="/logo.png"></body></html>\n')


def start_proxy(binary, work, name, policy, *extra):
    path = os.path.join(work, name + '.json')
    with open(path, 'w') as f:
        f.write(policy)
    p = subprocess.Popen([binary, 'proxy', '--forward-proxy', '--listen', '127.0.0.1:0', '--policy', path,
                          '--threads', '2', *extra], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return p, read_port(p)


def curl(*args, env=None):
    return subprocess.run(['curl', '-s', '-S', '--max-time', '20', *args], capture_output=True,
                          env=env).stdout


def raw(port, data, timeout=10):
    """Sends the bytes, half-closes, and returns everything until the close."""
    with socket.create_connection(('127.0.0.1', port), timeout=timeout) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        out = b''
        while True:
            try:
                b = s.recv(65536)
            except OSError:
                break
            if not b:
                break
            out += b
        return out


def answers_of(stream, methods):
    """Splits a stream of answers with Content-Length into (status, body)."""
    out = []
    for method in methods:
        head, _, rest = stream.partition(b'\r\n\r\n')
        length = 0
        for line in head.split(b'\r\n')[1:]:
            name, _, value = line.partition(b':')
            if name.strip().lower() == b'content-length' and method != 'HEAD':
                length = int(value)
        out.append((head.split(b'\r\n')[0], rest[:length]))
        stream = rest[length:]
    return out, stream


def plain_checks(port, a, b, work):
    """Everything allowed: what clients get is what the origins sent."""
    urls = ['http://127.0.0.1:%d/page.html' % a, 'http://127.0.0.1:%d/big.txt' % b,
            'http://127.0.0.1:%d/big.txt' % a, 'http://127.0.0.1:%d/page.html' % b]
    direct = b''.join(curl('--noproxy', '*', u) for u in urls)
    # One curl, one proxy connection, origins alternating.
    via = curl('-x', 'http://127.0.0.1:%d' % port, *urls)
    check(via == direct and len(direct) > 200000, 'curl -x: four answers from two origins byte-identical')
    env = dict(os.environ, http_proxy='http://127.0.0.1:%d' % port, no_proxy='')
    check(curl(urls[1], env=env) == curl('--noproxy', '*', urls[1]), 'curl with http_proxy')
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({'http': 'http://127.0.0.1:%d' % port}))
    check(opener.open(urls[0], timeout=20).read() == PAGE, 'urllib through a proxy handler')
    # A pipelining client: a POST with a chunked body, then requests to the
    # other origin, all sent at once; the answers come back in order.
    pipelined = (b'POST http://127.0.0.1:%d/page.html HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n'
                 b'3\r\nabc\r\n0\r\n\r\n'
                 b'GET http://127.0.0.1:%d/page.html HTTP/1.1\r\nHost: x\r\n\r\n'
                 b'HEAD http://127.0.0.1:%d/big.txt HTTP/1.1\r\n\r\n'
                 b'GET http://127.0.0.1:%d/page.html HTTP/1.1\r\nConnection: close\r\n\r\n' % (a, b, a, a))
    answers, rest = answers_of(raw(port, pipelined), ['POST', 'GET', 'HEAD', 'GET'])
    check([s for s, _ in answers] == [b'HTTP/1.1 405 Not Allowed'] + [b'HTTP/1.1 200 OK'] * 3 and
          answers[1][1] == PAGE and answers[2][1] == b'' and answers[3][1] == PAGE and rest == b'',
          'pipelined requests to two origins answered in order: %r' % [s for s, _ in answers])


def refusal_checks(port, a):
    def status(data):
        reply = raw(port, data)
        return reply.split(b'\r\n', 1)[0], reply
    cases = [
        (b'GET http://u:p@127.0.0.1:%d/ HTTP/1.1\r\n\r\n' % a, b'HTTP/1.1 400 Bad Request'),
        (b'GET http://127.0.0.1:70000/ HTTP/1.1\r\n\r\n', b'HTTP/1.1 400 Bad Request'),
        (b'GET /page.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n', b'HTTP/1.1 400 Bad Request'),
        (b'GET http://[::1:%d/ HTTP/1.1\r\n\r\n' % a, b'HTTP/1.1 400 Bad Request'),
        (b'CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n' % a, b'HTTP/1.1 403 Forbidden'),
        (b'GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n', b'HTTP/1.1 502 Bad Gateway'),
        (b'GET http://127.0.0.1/' + b'x' * (1 << 20) + b' HTTP/1.1\r\n\r\n',
         b'HTTP/1.1 431 Request Header Fields Too Large'),
    ]
    for data, want in cases:
        got, reply = status(data)
        check(got == want and reply.endswith(b'</html>\n'), '%r... answered %r' % (data[:40], got))


def tunnel_checks(binary, work, a):
    """CONNECT to an allowed port: the TLS session passes untouched."""
    if not shutil.which('openssl'):
        check(False, 'openssl is not installed (scripts/setup.sh installs it)')
        return
    key, cert = os.path.join(work, 'key.pem'), os.path.join(work, 'cert.pem')
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
                    '-days', '1', '-subj', '/CN=localhost', '-addext', 'subjectAltName=DNS:localhost'],
                   check=True, capture_output=True)
    tls = free_port()
    srv = subprocess.Popen(['openssl', 's_server', '-accept', str(tls), '-cert', cert, '-key', key, '-WWW', '-quiet'],
                           cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    p = None
    try:
        wait_port(tls)
        events = os.path.join(work, 'tunnel.jsonl')
        p, port = start_proxy(binary, work, 'tunnel', '{"connect_ports": [443, %d]}' % tls, '--events', events,
                              '--cert-folder', os.path.join(work, 'certs'))
        got = curl('-x', 'http://127.0.0.1:%d' % port, '--cacert', cert, 'https://localhost:%d/page.html' % tls)
        check(PAGE in got, 'an https page through CONNECT, certificate checked by curl')
        # The engine's TLS watcher saw the tunnel's handshake (TLS 1.2: in
        # 1.3 the server's certificates travel encrypted).
        curl('-x', 'http://127.0.0.1:%d' % port, '--tls-max', '1.2', '--cacert', cert,
             'https://localhost:%d/page.html' % tls)
        names = []
        for _ in range(50):
            with open(events) as f:
                names = [json.loads(l).get('tls', {}).get('server_name') for l in f if '"tls"' in l]
            if 'localhost' in names:
                break
            time.sleep(0.1)
        check('localhost' in names, 'the event log names the tunnel\'s TLS server: %s' % names)
        check(os.stat(os.path.join(work, 'certs')).st_mode & 0o077 == 0, 'the certificate folder is the owner\'s only')
        # The policy names the ports; a reload takes the port away at once.
        with open(os.path.join(work, 'tunnel.json'), 'w') as f:
            f.write('{"connect_ports": [443]}')
        p.send_signal(signal.SIGHUP)
        answer = b''
        for _ in range(50):
            answer = raw(port, b'CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n' % tls)
            if answer.startswith(b'HTTP/1.1 403'):
                break
            time.sleep(0.1)
        check(answer.startswith(b'HTTP/1.1 403'), 'a port the reloaded policy no longer names is refused')
    finally:
        for proc in (srv, p):
            if proc:
                proc.kill()
                proc.wait()


def browser_checks(binary, work, a, b, c):
    """Headless Chromium with the proxy setting loads a page whose images come
    from two other origins: the advertisement (blue) is gone, the photo (red)
    is there, and nothing in the page is a broken image."""
    chromium = shutil.which('chromium') or shutil.which('chromium-browser')
    if not chromium:
        check(False, 'chromium is not installed (scripts/setup.sh installs it)')
        return
    from PIL import Image
    os.makedirs(os.path.join(work, 'ads'), exist_ok=True)
    Image.new('RGB', (200, 60), (0, 0, 255)).save(os.path.join(work, 'ads', 'banner.png'))
    Image.new('RGB', (200, 60), (255, 0, 0)).save(os.path.join(work, 'photo.png'))
    with open(os.path.join(work, 'browse.html'), 'w') as f:
        f.write('<html><body style="margin:0;background:#fff">'
                '<img style="display:block" src="http://127.0.0.1:%d/ads/banner.png" width="200" height="60">'
                '<img style="display:block" src="http://127.0.0.1:%d/photo.png" width="200" height="60">'
                '</body></html>' % (b, c))
    policy = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../policy/default.json')).read()
    p, port = start_proxy(binary, work, 'browser', policy)
    try:
        png = os.path.join(work, 'browse.png')
        run_chromium(chromium, work, '--hide-scrollbars', '--window-size=400,300', '--virtual-time-budget=5000',
                     '--proxy-server=http://127.0.0.1:%d' % port, '--proxy-bypass-list=<-loopback>',
                     '--screenshot=' + png, 'http://127.0.0.1:%d/browse.html' % a)
        if not os.path.exists(png):
            check(False, 'Chromium took no screenshot through the proxy')
            return
        img = Image.open(png).convert('RGB')
        colours = set(img.getdata())
        check((255, 0, 0) in colours, 'the photo from the third origin is shown')
        check((0, 0, 255) not in colours, 'the advertisement from the second origin is gone')
        # Above the photo only page background: no broken-image frame.
        top = img.crop((0, 0, 400, 60))
        check(set(top.getdata()) == {(255, 255, 255)}, 'where the advertisement stood is page background')
    finally:
        p.terminate()
        p.wait()


def main():
    binary = sys.argv[1]
    work = tempfile.mkdtemp(prefix='zem_forward_')
    os.chmod(work, 0o755)  # nginx's workers read the pages as another user
    procs = []
    try:
        with open(os.path.join(work, 'page.html'), 'wb') as f:
            f.write(PAGE)
        with open(os.path.join(work, 'big.txt'), 'wb') as f:
            f.write(b''.join(b'line %06d of a long text\n' % k for k in range(10000)))
        a, b, c = free_port(), free_port(), free_port()
        ng = start_nginx(work, [(port, 'root %s;' % work) for port in (a, b, c)])
        if ng is None:
            check(False, 'nginx is not installed or did not start (scripts/setup.sh installs it)')
            return 1
        procs.append(ng)
        p, port = start_proxy(binary, work, 'allow', '{}')
        procs.append(p)
        plain_checks(port, a, b, work)
        refusal_checks(port, a)
        # The default policy cuts the advertisement; the other image stays.
        policy = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../policy/default.json')).read()
        p, port = start_proxy(binary, work, 'default', policy)
        procs.append(p)
        got = curl('-x', 'http://127.0.0.1:%d' % port, 'http://127.0.0.1:%d/page.html' % b)
        check(b'/ads/banner.gif' not in got and b'<img src="/logo.png">' in got and b'<p>news</p>' in got,
              'the default policy cuts the advertisement only: %r' % got)
        tunnel_checks(binary, work, a)
        browser_checks(binary, work, a, b, c)
    finally:
        stop_all(procs)
        shutil.rmtree(work, ignore_errors=True)
    return report()


if __name__ == '__main__':
    sys.exit(main())
