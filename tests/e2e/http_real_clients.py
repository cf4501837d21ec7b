#!/usr/bin/env python3
"""Real HTTP clients through zem-host against real servers.

nginx (started here, state under a temporary folder) and an origin of our
own that sends the awkward but legal messages real servers send; curl,
Python's http.client and wrk as clients; zem-host in between, once with
everything allowed and once with the default policy.

usage: http_real_clients.py ZEM_HOST_BINARY
Exit status 0 when every check holds; each failed check is printed."""
import gzip
import hashlib
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from e2e_kit import check, free_port, report, start_nginx, start_proxy, stop_all


# ---- the awkward origin --------------------------------------------------------

PAGE = (b'<html><body><p>An ordinary page.</p>' + b'<p>Paragraph of text.</p>' * 40 +
        b'<img src="http://ads.example/banner/1.gif" width="468" height="60"></body></html>')


def chunked(parts, ext=b'', trailer=b''):
    out = b''
    for p in parts:
        out += b'%x%s\r\n' % (len(p), ext) + p + b'\r\n'
    return out + b'0\r\n' + trailer + b'\r\n'


def awkward_reply(method, target, headers, body):
    """What the origin answers; a list of byte pieces sent with pauses."""
    ok = b'HTTP/1.1 200 OK\r\n'
    if target == '/204':
        return [b'HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n']
    if target == '/304':
        return [b'HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\nETag: "x"\r\n\r\n']
    if target == '/ext':
        return [ok + b'Content-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n',
                chunked([PAGE[:100], PAGE[100:]], ext=b';name=value', trailer=b'X-Trailer: yes\r\n')]
    if target == '/br':
        fake = bytes(range(256)) * 8  # not text; must arrive untouched
        return [ok + b'Content-Type: text/html\r\nContent-Encoding: br\r\nContent-Length: %d\r\n\r\n' % len(fake), fake]
    if target == '/duplen':
        return [ok + b'Content-Type: text/html\r\nContent-Length: %d\r\nContent-Length: %d\r\n\r\n' % (len(PAGE), len(PAGE)),
                PAGE]
    if target == '/members':
        z = gzip.compress(PAGE[:700], mtime=0) + gzip.compress(PAGE[700:], mtime=0)
        return [ok + b'Content-Type: text/html\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n' % len(z), z]
    if target == '/echo':
        digest = hashlib.sha256(body).hexdigest().encode()
        return [ok + b'Content-Type: text/plain\r\nContent-Length: %d\r\n\r\n' % len(digest) + digest]
    return [b'HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n']


def read_request(conn, buf):
    while b'\r\n\r\n' not in buf:
        d = conn.recv(65536)
        if not d:
            return None, None, None, None, buf
        buf += d
    head, buf = buf.split(b'\r\n\r\n', 1)
    lines = head.split(b'\r\n')
    method, target, _ = lines[0].decode().split(' ', 2)
    headers = {}
    for l in lines[1:]:
        k, v = l.decode('latin1').split(':', 1)
        headers[k.strip().lower()] = v.strip()
    return method, target, headers, head, buf


def serve_awkward(conn):
    buf = b''
    try:
        while True:
            method, target, headers, _, buf = read_request(conn, buf)
            if method is None:
                return
            body = b''
            if headers.get('expect', '').lower() == '100-continue':
                if target == '/refuse':
                    # An early final answer: the body is not wanted.
                    conn.sendall(b'HTTP/1.1 417 Expectation Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n')
                    return
                conn.sendall(b'HTTP/1.1 100 Continue\r\nContent-Length: 0\r\n\r\n')
            if headers.get('transfer-encoding', '').lower() == 'chunked':
                while True:
                    while b'\r\n' not in buf:
                        buf += conn.recv(65536)
                    line, buf = buf.split(b'\r\n', 1)
                    size = int(line.split(b';')[0], 16)
                    if size == 0:
                        while b'\r\n\r\n' not in b'\r\n' + buf:
                            buf += conn.recv(65536)
                        buf = (b'\r\n' + buf).split(b'\r\n\r\n', 1)[1]
                        break
                    while len(buf) < size + 2:
                        buf += conn.recv(65536)
                    body += buf[:size]
                    buf = buf[size + 2:]
            elif 'content-length' in headers:
                n = int(headers['content-length'])
                while len(buf) < n:
                    buf += conn.recv(65536)
                body, buf = buf[:n], buf[n:]
            pieces = awkward_reply(method, target, headers, body)
            if method == 'HEAD':
                pieces = [b''.join(pieces).split(b'\r\n\r\n', 1)[0] + b'\r\n\r\n']
            for piece in pieces:
                conn.sendall(piece)
                time.sleep(0.01)
    except OSError:
        pass
    finally:
        conn.close()


def start_awkward():
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(('127.0.0.1', 0))
    srv.listen(64)

    def loop():
        while True:
            try:
                c, _ = srv.accept()
            except OSError:
                return
            threading.Thread(target=serve_awkward, args=(c,), daemon=True).start()
    threading.Thread(target=loop, daemon=True).start()
    return srv, srv.getsockname()[1]


# ---- nginx and zem-host ------------------------------------------------------

def start_site(work):
    root = os.path.join(work, 'www')
    os.makedirs(root)
    with open(os.path.join(root, 'page.html'), 'wb') as f:
        f.write(PAGE * 50)
    with open(os.path.join(root, 'page.html.gz'), 'wb') as f:
        f.write(gzip.compress(PAGE * 50, mtime=0))
    with open(os.path.join(root, 'big.bin'), 'wb') as f:
        f.write(hashlib.sha256(b'seed').digest() * (4 * 1024 * 1024 // 32))
    port = free_port()
    p = start_nginx(work, [(port, f'''root {root}; gzip_static on;
    location /dyn/ {{ alias {root}/; gzip on; gzip_types text/html; gzip_min_length 1; gzip_static off; }}
    location /up {{ client_max_body_size 50m; dav_methods PUT; create_full_put_path on; }}''')])
    if p is None:
        return None, None
    return p, port


def hangup_rereads_policy(proxy, events):
    """SIGHUP makes the proxy read its policy file at once and say so."""
    proxy.send_signal(signal.SIGHUP)
    deadline = time.time() + 10
    seen = False
    while time.time() < deadline and not seen:
        with open(events) as f:
            seen = any('"policy":"unchanged"' in line for line in f)
        time.sleep(0.05)
    check(seen and proxy.poll() is None, 'SIGHUP re-reads the policy and the proxy goes on')


def curl(port, path, *extra, stdin=None):
    out = subprocess.run(['curl', '-s', '-S', '--max-time', '20', '--noproxy', '*', '-D', '-', *extra,
                          'http://127.0.0.1:%d%s' % (port, path)], input=stdin, capture_output=True)
    head, _, body = out.stdout.partition(b'\r\n\r\n')
    while head.startswith(b'HTTP/1.1 100'):
        head, _, body = body.partition(b'\r\n\r\n')
    return out.returncode, head.decode('latin1'), body


# ---- the checks --------------------------------------------------------------

def awkward_checks(proxy, filtering):
    rc, head, body = curl(proxy, '/204', '--next', 'http://127.0.0.1:%d/ext' % proxy)
    check(rc == 0, 'curl keep-alive after a 204 with Content-Length (rc %d)' % rc)
    rc, head, body = curl(proxy, '/304')
    check(rc == 0 and ' 304 ' in head, '304 with Transfer-Encoding does not hang')
    rc, head, body = curl(proxy, '/ext')
    check(rc == 0 and b'An ordinary page.' in body, 'chunk extensions and trailers arrive (%d)' % rc)
    if filtering:
        check(b'ads.example/banner' not in body, 'a chunked page with extensions is still filtered')
    rc, head, body = curl(proxy, '/br')
    check(rc == 0 and body == bytes(range(256)) * 8, 'a br body passes untouched')
    rc, head, body = curl(proxy, '/duplen')
    lens = [int(l.split(':')[1]) for l in head.split('\r\n') if l.lower().startswith('content-length')]
    # Passed as the origin sent it when nothing changed; one line once corrected.
    check(rc == 0 and lens and all(n == len(body) for n in lens) and (len(lens) == 1 or not filtering),
          'Content-Length lines matching the body (%s)' % lens)
    rc, head, body = curl(proxy, '/members', '--compressed')
    check(rc == 0 and b'Paragraph' in body and body.endswith(b'</body></html>') and b'\x1f\x8b' not in body,
          'two gzip members arrive decoded')
    data = os.urandom(300000)
    rc, head, body = curl(proxy, '/echo', '-T', '-', '-H', 'Transfer-Encoding: chunked', stdin=data)
    check(rc == 0 and body.decode() == hashlib.sha256(data).hexdigest(), 'a chunked upload arrives whole')
    rc, head, body = curl(proxy, '/echo', '--data-binary', '@-', '-H', 'Expect: 100-continue', stdin=data)
    check(rc == 0 and body.decode() == hashlib.sha256(data).hexdigest(), 'an upload after 100-continue arrives whole')
    rc, head, body = curl(proxy, '/refuse', '--data-binary', '@-', '-H', 'Expect: 100-continue', stdin=data)
    check(rc == 0 and ' 417 ' in head, 'an early 417 reaches the client (%d %s)' % (rc, head[:40]))
    # Python's http.client: one connection, requests of every kind in a row.
    c = http.client.HTTPConnection('127.0.0.1', proxy, timeout=20)
    try:
        # (not /304: http.client itself waits for the chunks a 304 never has)
        for path in ['/204', '/ext', '/br', '/duplen', '/members', '/ext']:
            c.request('GET', path)
            r = c.getresponse()
            b = r.read()
            check(r.status in (200, 204, 304), 'http.client %s status %d' % (path, r.status))
            if path == '/br':
                check(b == bytes(range(256)) * 8, 'http.client br body untouched')
        c.request('HEAD', '/duplen')
        r = c.getresponse()
        check(r.read() == b'' and r.status == 200, 'http.client HEAD answer has no body')
        c.request('POST', '/echo', body=b'abc' * 1000)
        r = c.getresponse()
        check(r.read().decode() == hashlib.sha256(b'abc' * 1000).hexdigest(), 'http.client POST after HEAD')
    except Exception as e:  # noqa: BLE001 - any failure of the client is a failed check
        check(False, 'http.client keep-alive sequence: %r' % e)
    finally:
        c.close()


def nginx_checks(proxy, filtering):
    rc, head, body = curl(proxy, '/big.bin')
    check(rc == 0 and body == hashlib.sha256(b'seed').digest() * (4 * 1024 * 1024 // 32), 'nginx 4 MB file unchanged')
    rc, head, body = curl(proxy, '/big.bin', '-r', '1000-2999')
    check(rc == 0 and ' 206 ' in head and len(body) == 2000, 'nginx range answered untouched')
    rc, head, body = curl(proxy, '/page.html', '-I')
    check(rc == 0 and ' 200 ' in head, 'nginx HEAD')
    for path, extra in [('/page.html', []), ('/page.html', ['--compressed']), ('/dyn/page.html', ['--compressed'])]:
        rc, head, body = curl(proxy, path, *extra)
        check(rc == 0 and body.startswith(b'<html>') and body.endswith(b'</html>'), 'nginx %s %s' % (path, extra))
        if filtering:
            check(b'ads.example/banner' not in body, 'nginx %s %s is filtered' % (path, extra))
        else:
            check(body == PAGE * 50, 'nginx %s %s unchanged with everything allowed' % (path, extra))
    data = os.urandom(2 * 1024 * 1024)
    rc, head, _ = curl(proxy, '/up/file.bin', '-T', '-', stdin=data)
    check(rc == 0 and (' 201 ' in head or ' 204 ' in head), 'nginx chunked PUT (%s)' % head[:30])
    rc, head, body = curl(proxy, '/big.bin', '--next', 'http://127.0.0.1:%d/page.html' % proxy,
                          '--next', 'http://127.0.0.1:%d/big.bin' % proxy)
    check(rc == 0, 'curl keep-alive over three nginx responses')
    if shutil.which('wrk'):
        # wrk's own 2 s reply timeout counts as a socket error; a sanitizer
        # build on a busy machine can be that slow without anything wrong.
        out = subprocess.run(['wrk', '-t', '2', '-c', '8', '-d', '3', '--timeout', '30s',
                              'http://127.0.0.1:%d/page.html' % proxy],
                             capture_output=True, text=True).stdout
        check('requests in' in out and 'Non-2xx' not in out and 'Socket errors' not in out,
              'wrk keep-alive load without errors:\n' + out)


def main():
    binary = sys.argv[1]
    work = tempfile.mkdtemp(prefix='zem_real_clients_')
    procs = []
    try:
        srv, awkward_port = start_awkward()
        ng, nginx_port = start_site(work)
        if ng is None:
            check(False, 'nginx is not installed or did not start (scripts/setup.sh installs it)')
        else:
            procs.append(ng)
        for name, policy in [('allow', '{}'), ('default', open(os.path.join(
                os.path.dirname(os.path.abspath(__file__)), '../../policy/default.json')).read())]:
            filtering = name == 'default'
            p, port = start_proxy(binary, awkward_port, work, name + '_awkward', policy)
            procs.append(p)
            awkward_checks(port, filtering)
            if not filtering:
                hangup_rereads_policy(p, os.path.join(work, name + '_awkward.jsonl'))
            if ng is not None:
                p, port = start_proxy(binary, nginx_port, work, name + '_nginx', policy)
                procs.append(p)
                nginx_checks(port, filtering)
        srv.close()
    finally:
        stop_all(procs)
        shutil.rmtree(work, ignore_errors=True)
    return report()


if __name__ == '__main__':
    sys.exit(main())
