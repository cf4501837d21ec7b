#!/usr/bin/env python3
"""zem-host replay over packet captures written here: the same two HTTP
connections captured once in order and once as a network delivers them
(segments reordered, retransmitted, overlapping, both connections and both
directions interleaved) give the same events; a capture cut inside a record
is reported and what came before it still replays.

usage: pcap_replay.py ZEM_HOST"""
import json
import os
import random
import struct
import subprocess
import sys
import tempfile

PAGE = (b'<html><head><title>ads</title></head><body>\n'
        b'<p>before</p><img src="/ads/banner.gif" width="468" height="60"><p>after</p>\n'
        b'</body></html>\n')
REQ1 = b'GET /ads.html HTTP/1.1\r\nHost: site.example\r\nUser-Agent: t\r\n\r\n'
RESP1 = (b'HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n\r\n' % len(PAGE)) + PAGE
REQ2 = b'GET /banner.gif HTTP/1.1\r\nHost: ads.localhost\r\n\r\n'


def checksum(b):
    if len(b) % 2:
        b += b'\0'
    s = sum(struct.unpack('!%dH' % (len(b) // 2), b))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def frame(src, dst, sport, dport, seq, ack, flags, payload=b''):
    tcp = struct.pack('!HHIIBBHHH', sport, dport, seq & 0xFFFFFFFF, ack & 0xFFFFFFFF, 5 << 4, flags, 65535, 0, 0)
    tcp += payload
    ip = struct.pack('!BBHHHBBH4s4s', 0x45, 0, 20 + len(tcp), 1, 0x4000, 64, 6, 0, bytes(src), bytes(dst))
    ip = ip[:10] + struct.pack('!H', checksum(ip)) + ip[12:]
    return b'\x02' * 6 + b'\x04' * 6 + b'\x08\x00' + ip + tcp


SYN, ACK, PSH, FIN = 0x02, 0x10, 0x08, 0x01


def session(cport, isn_c, isn_s, req, resp, pieces):
    """Packets of one connection as (direction, frame); data cut in 'pieces'."""
    c, s = [10, 0, 0, 1], [10, 0, 0, 2]
    out = [('c', frame(c, s, cport, 80, isn_c, 0, SYN)),
           ('s', frame(s, c, 80, cport, isn_s, isn_c + 1, SYN | ACK)),
           ('c', frame(c, s, cport, 80, isn_c + 1, isn_s + 1, ACK))]

    def data(side, src, dst, sp, dp, seq0, ack, body):
        # The first segment carries the whole first line: the web filter
        # recognises its protocol from the first chunk it gets.
        first = body.find(b'\r\n') + 2
        step = max(1, (len(body) - first) // pieces)
        cuts = [0] + list(range(first, len(body), step)) + [len(body)]
        segs = []
        for a, b in zip(cuts, cuts[1:]):
            if a < b:
                segs.append((side, frame(src, dst, sp, dp, seq0 + a, ack, ACK | PSH, body[a:b]), seq0 + a, body[a:b]))
        return segs

    req_segs = data('c', c, s, cport, 80, isn_c + 1, isn_s + 1, req)
    resp_segs = data('s', s, c, 80, cport, isn_s + 1, isn_c + 1 + len(req), resp)
    fin_c = ('c', frame(c, s, cport, 80, isn_c + 1 + len(req), isn_s + 1 + len(resp), FIN | ACK))
    fin_s = ('s', frame(s, c, 80, cport, isn_s + 1 + len(resp), isn_c + 2 + len(req), FIN | ACK))
    return out, req_segs, resp_segs, fin_c, fin_s


def write_pcap(path, frames, cut=0):
    with open(path, 'wb') as f:
        f.write(struct.pack('<IHHiIII', 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for i, fr in enumerate(frames):
            f.write(struct.pack('<IIII', 1700000000 + i, 0, len(fr), len(fr)) + fr)
        if cut:
            f.seek(0, 2)
            f.truncate(f.tell() - cut)


def in_order():
    frames = []
    for cport, isn_c, isn_s, req, resp in ((40001, 1000, 0xFFFFFF00, REQ1, RESP1), (40002, 7, 9, REQ2, b'')):
        hs, rq, rs, fc, fs = session(cport, isn_c, isn_s, req, resp, 4)
        frames += [f for _, f in hs] + [f for _, f, _, _ in rq] + [f for _, f, _, _ in rs] + [fc[1], fs[1]]
    return frames


def as_delivered(seed):
    """Both connections interleaved; each direction's data reordered, with
    duplicates and an overlapping resend; the second connection's FIN before
    its last data segment."""
    rnd = random.Random(seed)
    c1 = session(40001, 1000, 0xFFFFFF00, REQ1, RESP1, 6)
    c2 = session(40002, 7, 9, REQ2, b'', 3)
    frames = [f for _, f in c1[0]] + [f for _, f in c2[0]]

    def shuffled(segs, src, dst, sp, dp, ack):
        fs = [f for _, f, _, _ in segs]
        fs.append(fs[0])  # plain retransmission
        _, _, seq, body = segs[1]
        over = body + (segs[2][3] if len(segs) > 2 else b'')
        fs.append(frame(src, dst, sp, dp, seq, ack, ACK | PSH, over))  # overlapping resend
        rnd.shuffle(fs)
        return fs

    c, s = [10, 0, 0, 1], [10, 0, 0, 2]
    a = shuffled(c1[1], c, s, 40001, 80, 0xFFFFFF01)
    b = shuffled(c1[2], s, c, 80, 40001, 1001 + len(REQ1))
    d = shuffled(c2[1], c, s, 40002, 80, 10)
    # The request goes before the reply as a client would wait for it.
    mixed = []
    while a or d:
        src = a if a and (not d or rnd.random() < 0.5) else d
        mixed.append(src.pop(0))
        if src is d and len(d) == 1:
            mixed.append(c2[3][1])  # FIN ahead of the last piece
    frames += mixed + b + [c1[3][1], c1[4][1], c2[4][1]]
    return frames


def per_connection(recs):
    """Events of each connection in order, without what differs from run to
    run (times, the policy cookie, temporary paths, the order in which two
    connections' events interleave and so their request numbers)."""
    conns = {}
    for e in recs:
        if 'id1' not in e:
            continue
        e = {k: v for k, v in e.items() if k not in ('filetime', 'request_id', 'answer', 'request', 'bytes')}
        conns.setdefault(e['id1'], []).append(e)
    return conns


def replay(zem_host, pcap, events):
    if os.path.exists(events):
        os.remove(events)
    r = subprocess.run([zem_host, 'replay', pcap, '--events', events], capture_output=True, timeout=120)
    out, err = r.stdout.decode(), r.stderr.decode()
    assert r.returncode == 0, (r.returncode, out, err)
    assert '\r' not in err and '#' not in err, 'no progress bar without a terminal: %r' % err
    recs = []
    with open(events) as f:
        for line in f:
            e = json.loads(line)
            e.pop('ts', None)
            recs.append(e)
    return out, err, recs


def main():
    zem_host = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        p1, p2, p3 = (os.path.join(tmp, n) for n in ('order.pcap', 'delivered.pcap', 'cut.pcap'))
        ev = os.path.join(tmp, 'events.jsonl')
        write_pcap(p1, in_order())
        out1, _, ev1 = replay(zem_host, p1, ev)
        assert 'connections 2,' in out1 and 'bytes lost in gaps 0' in out1, out1
        assert 'bytes out %d' % (len(REQ1) + len(REQ2)) in out1, out1
        assert 'bytes in %d' % len(RESP1) in out1, out1
        blocked = [e for e in ev1 if e.get('event') == 'general_notify_object_blocked']
        assert len(blocked) >= 2, ev1  # the banner on the page and the blocked host
        assert out1.count('blocked: ') == len(blocked), out1
        for seed in range(5):
            write_pcap(p2, as_delivered(seed))
            out2, _, ev2 = replay(zem_host, p2, ev)
            assert per_connection(ev2) == per_connection(ev1), (seed, ev1, ev2)
            assert out2.split('\n')[-2].split(', ')[2:] == out1.split('\n')[-2].split(', ')[2:], (out1, out2)
        frames = in_order()
        write_pcap(p3, frames, cut=7)
        out3, err3, _ = replay(zem_host, p3, ev)
        assert 'damaged input, first bad record %d' % len(frames) in err3, err3
        assert 'connections 2,' in out3, out3
        with open(p3, 'wb') as f:
            f.write(b'not a capture at all')
        r = subprocess.run([zem_host, 'replay', p3], capture_output=True, timeout=60)
        assert r.returncode == 1 and b'cannot read' in r.stderr, r
    print('pcap replay ok')


if __name__ == '__main__':
    main()
