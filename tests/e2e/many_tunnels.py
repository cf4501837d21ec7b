#!/usr/bin/env python3
"""One client opens 10 000 CONNECT tunnels through zem-host's explicit proxy
and holds them all open. zem-host keeps its cap on open connections: as many
tunnels as the cap allows are established, every other one gets a clear 503
page, the proxy's memory stays bounded, and once the client lets go it serves
new tunnels again.

usage: many_tunnels.py ZEM_HOST_BINARY [--no-memory-bound]"""
import os
import resource
import socket
import subprocess
import sys
import tempfile
import threading
import time

from e2e_kit import check, read_port, report, stop_all

TUNNELS = 10000
CAP = 2000


def rss_kib(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


def reply_of(s, timeout=20):
    s.settimeout(timeout)
    got = b''
    try:
        while b'\r\n\r\n' not in got:
            b = s.recv(4096)
            if not b:
                break
            got += b
    except OSError:
        pass
    return got


def main():
    binary = sys.argv[1]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = TUNNELS + CAP + 200
    if hard < need:
        print('SKIP: %d file descriptors needed, the hard limit is %d' % (need, hard))
        return 77
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    sink = socket.socket()
    sink.bind(('127.0.0.1', 0))
    sink.listen(4096)
    sink_port = sink.getsockname()[1]
    held, stop = [], threading.Event()

    def accept_all():
        sink.settimeout(0.2)
        while not stop.is_set():
            try:
                held.append(sink.accept()[0])
            except socket.timeout:
                pass
    threading.Thread(target=accept_all, daemon=True).start()

    work = tempfile.mkdtemp(prefix='zem-tunnels-')
    policy = os.path.join(work, 'policy.json')
    with open(policy, 'w') as f:
        f.write('{"connect_ports": [%d]}' % sink_port)
    p = subprocess.Popen([binary, 'proxy', '--forward-proxy', '--listen', '127.0.0.1:0', '--policy', policy,
                          '--threads', '2', '--max-connections', str(CAP)],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    clients = []
    try:
        port = read_port(p)
        idle = rss_kib(p.pid)
        request = b'CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n' % (sink_port, sink_port)
        for _ in range(TUNNELS):
            s = socket.create_connection(('127.0.0.1', port), timeout=20)
            try:
                s.sendall(request)
            except OSError:
                pass  # turned away before the request was written
            clients.append(s)
        answers = [reply_of(s) for s in clients]
        established = sum(a.startswith(b'HTTP/1.1 200') for a in answers)
        refused = sum(a.startswith(b'HTTP/1.1 503 Service Unavailable') for a in answers)
        other = [a[:40] for a in answers if not a.startswith((b'HTTP/1.1 200', b'HTTP/1.1 503'))]
        check(established == CAP, '%d tunnels established, the cap is %d' % (established, CAP))
        check(refused == TUNNELS - CAP, '%d turned away with a 503 page of %d' % (refused, TUNNELS - CAP))
        check(not other, 'every tunnel got an answer: %d did not, e.g. %s' % (len(other), other[:3]))
        full = rss_kib(p.pid)
        print('zem-host resident memory: %d KiB idle, %d KiB with %d tunnels open (%.1f KiB each)'
              % (idle, full, established, (full - idle) / max(1, established)))
        check('--no-memory-bound' in sys.argv or full - idle < 64 * CAP,
              'memory with the tunnels open: %d KiB more (64 KiB a tunnel at most)' % (full - idle))
        check(p.poll() is None, 'zem-host runs on')

        # The client lets go, and the origins close their ends as servers do.
        for s in clients:
            s.close()
        clients = []
        time.sleep(0.5)
        for s in list(held):
            s.close()
        again = b''
        for _ in range(100):
            with socket.create_connection(('127.0.0.1', port), timeout=10) as s:
                s.sendall(request)
                again = reply_of(s, 10)
            if again.startswith(b'HTTP/1.1 200'):
                break
            time.sleep(0.1)
        check(again.startswith(b'HTTP/1.1 200'), 'a new tunnel once the client let go: %r' % again[:40])
    finally:
        for s in clients:
            s.close()
        stop.set()
        stop_all([p])
        for s in held:
            s.close()
        sink.close()
    return report()


if __name__ == '__main__':
    sys.exit(main())
