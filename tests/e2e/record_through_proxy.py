#!/usr/bin/env python3
"""zem-host proxy --dumps: one page exchange through the proxy is recorded as
it arrived (BEFORE) and as it left (AFTER), byte for byte, and the packed
files beside the readable ones carry the same pieces.

usage: record_through_proxy.py ZEM_HOST"""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading

PAGE = (b'<html><body><p>before</p><img src="/ads/banner.gif" width="468" height="60">'
        b'<p>after</p></body></html>')
RESPONSE = b'HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\nConnection: close\r\n\r\n' % len(
    PAGE) + PAGE
REQUEST = b'GET /ads.html HTTP/1.1\r\nHost: site.example\r\nConnection: close\r\n\r\n'


def origin(listener):
    conn, _ = listener.accept()
    got = b''
    while b'\r\n\r\n' not in got:
        got += conn.recv(4096)
    conn.sendall(RESPONSE)
    conn.close()


def size_code(buf, off):
    w = {0: 1, 1: 2, 2: 4, 3: 8}[buf[off] & 3]
    return int.from_bytes(buf[off:off + w], 'little') >> 2, off + w


def pieces(packed):
    """The piece list of a packed dump, read by its layout."""
    assert packed[:9] == struct.pack('<II', 0xF34D49A2, 0x889F1ED9) + b'\x01'
    off = 9
    assert packed[off] == 1
    _, off = size_code(packed, off + 1)
    name_end = packed.index(b'\0', off)
    assert packed[off:name_end] == b'storrage'
    off = name_end + 1
    assert packed[off] == 3
    count, off = size_code(packed, off + 1)
    result = []
    for _ in range(count):
        assert packed[off] == 1
        n, off = size_code(packed, off + 1)
        values = {}
        for _ in range(n):
            e = packed.index(b'\0', off)
            name = packed[off:e]
            assert packed[e + 1] == 2
            ln, off = size_code(packed, e + 3)
            values[name] = packed[off:off + ln]
            off += ln
        result.append((values[b'm_dwrd_val'] == b'\x01', values[b'm_pice_of_transfer']))
    assert off == len(packed)
    return result


def main():
    zem_host = sys.argv[1]
    listener = socket.socket()
    listener.bind(('127.0.0.1', 0))
    listener.listen(1)
    threading.Thread(target=origin, args=(listener,), daemon=True).start()
    with tempfile.TemporaryDirectory() as tmp:
        dumps = os.path.join(tmp, 'dumps')
        live_events = os.path.join(tmp, 'live.jsonl')
        proc = subprocess.Popen([zem_host, 'proxy', '--listen', '127.0.0.1:0', '--upstream',
                                 '127.0.0.1:%d' % listener.getsockname()[1], '--dumps', dumps, '--threads', '1',
                                 '--events', live_events],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            line = proc.stdout.readline().decode()
            assert line.startswith('listening on '), line
            port = int(line.rsplit(':', 1)[1])
            c = socket.create_connection(('127.0.0.1', port), timeout=20)
            c.sendall(REQUEST)
            received = b''
            while True:
                d = c.recv(65536)
                if not d:
                    break
                received += d
            c.close()
        finally:
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout=30)
        assert received.startswith(b'HTTP/1.1 200 OK') and b'/ads/banner.gif' not in received, received
        names = sorted(os.listdir(dumps))
        assert len(names) == 4, names
        before = [n for n in names if n.endswith(')before.dump')][0]
        after = [n for n in names if n.endswith(')after.dump')][0]
        read = lambda n: open(os.path.join(dumps, n), 'rb').read()
        b, a = pieces(read(before + '_bi')), pieces(read(after + '_bi'))
        assert b''.join(d for i, d in b if not i) == REQUEST, b
        assert b''.join(d for i, d in b if i) == RESPONSE, b
        assert b''.join(d for i, d in a if not i) == REQUEST, a
        assert b''.join(d for i, d in a if i) == received, a
        for packed, text in ((b, read(before)), (a, read(after))):
            assert b''.join((b'IN:' if i else b'OUT:') + d for i, d in packed) == text

        # The recordings replayed offline: the same objects are blocked.
        def blocked(path):
            with open(path) as f:
                recs = [json.loads(line) for line in f]
            return [(e['index_name'], e['object'], e['keyword']) for e in recs
                    if e.get('event') == 'general_notify_object_blocked']
        replay_events = os.path.join(tmp, 'replay.jsonl')
        r = subprocess.run([zem_host, 'replay', dumps, '--events', replay_events], capture_output=True, timeout=60)
        assert r.returncode == 0, r
        assert b'connections 1,' in r.stdout and b'connections changed 1' in r.stdout, r.stdout
        assert blocked(live_events) and blocked(replay_events) == blocked(live_events), (r.stdout, live_events)
        with open(os.path.join(dumps, 'broken.dump_bi'), 'wb') as f:
            f.write(read(before + '_bi')[:-5])
        r = subprocess.run([zem_host, 'replay', dumps], capture_output=True, timeout=60)
        assert r.returncode == 0 and b'first bad dump' in r.stderr and b'broken.dump_bi' in r.stderr, r
        assert b'connections 1,' in r.stdout, r.stdout
    print('recording through the proxy ok')


if __name__ == '__main__':
    main()
