#!/usr/bin/env python3
"""Writes the small hand-made seed corpora of the web-path fuzz targets into
fuzz/corpus/<target>/. Each seed follows its driver's input layout in
fuzz/drivers.h."""
import gzip
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(n):
    return struct.pack('<H', n)


def save(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


def ops(steps):
    """http_filter: (direction, bytes) steps as op/length records."""
    r = b''
    for direction, data in steps:
        while data:
            piece, data = data[:256], data[256:]
            r += bytes([0 if direction == 'out' else 3, len(piece) - 1]) + piece
    return r


def allow_policy():
    return bytes(22) + b'\0'


def no_words():
    return b'\0'


page = (b'<html><head><title>t</title><script>var a="</b>";document.write("x")</script></head>'
        b'<body onload="f()"><img src="http://ads.example/b.gif" width=468 height=60>'
        b'<object classid="clsid:1"></object><iframe src="/f" width=0></iframe>Plain words here</body></html>')

req = b'GET /index.html HTTP/1.1\r\nHost: site.example\r\nCookie: a=1\r\nReferer: http://r/\r\n\r\n'
resp_len = b'HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n\r\n' % len(page) + page
resp_chunked = (b'HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n'
                b'10\r\n<html><body>abcd\r\n5\r\nefgh<\r\n9\r\n/body></h\r\n4\r\ntml>\r\n0\r\n\r\n')
gz = gzip.compress(page, mtime=0)
resp_gzip = (b'HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n'
             % len(gz) + gz)
save('http_filter', 'length', ops([('out', req), ('in', resp_len)]))
save('http_filter', 'chunked', ops([('out', req + req), ('in', resp_chunked), ('in', resp_chunked)]))
save('http_filter', 'gzip', ops([('out', req), ('in', resp_gzip)]))
save('http_filter', 'post', ops([('out', b'POST /f HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc'),
                                 ('in', b'HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nrest of it')]))


def html_seed(mode, policy, text, words=no_words()):
    return bytes([mode]) + policy + words + b'\0' + u16(len(text)) + text + bytes([7, 1, 30, 200, 3])


blocking = bytes([200] * 22) + b'\x03'
save('html', 'narrow_allow', html_seed(2, allow_policy(), page))
save('html', 'narrow_block', html_seed(2, blocking, page))
wide_page = page.decode().encode('utf-16-le')
save('html', 'wide_block', html_seed(3, blocking, wide_page))
save('html', 'wide_odd', html_seed(1, allow_policy(), wide_page[:-1]))

script = b'var s = "<img src=x>"; function f() { window.open("http://pop.example"); } // end\n'
words = bytes([2, 4, 0, 1, 2, 3, 4, 2, 6, 7, 8])
save('script_text', 'script_allow', bytes([1]) + allow_policy() + no_words() + b'\0' + u16(len(script)) + script)
save('script_text', 'script_block', bytes([1]) + blocking + no_words() + b'\x05ABCDE' + u16(len(script)) + script)
text = b'some text with abcde inside and ghi at the end'
save('script_text', 'stop_words', bytes([0]) + blocking + words + b'\0' + u16(len(text)) + text + b'\x03\x05')

plain = page * 3
save('decoders', 'gzip_known', bytes([0, 2]) + u16(len(plain)) + plain + bytes([40, 1, 250]))
save('decoders', 'deflate_raw_known', bytes([0, 0x0b]) + u16(len(plain)) + plain)
save('decoders', 'gzip_bytes', bytes([0, 4, 9]) + u16(len(gz)) + gz)
zl = zlib.compress(plain)
save('decoders', 'deflate_bytes', bytes([0, 1]) + u16(len(zl)) + zl)
be = page.decode().encode('utf-16-be')
save('decoders', 'utf16be', bytes([1, 0]) + u16(len(be) + 1) + be + b'!' + bytes([3, 0, 17]))
u7 = b'Hi Mom -+Jjo--! <b>+AGEAYgBj-</b> a+-b +2D3cAA-'
save('decoders', 'utf7_to_utf8', bytes([2, 1]) + u16(len(u7)) + u7 + bytes([2, 5]))
save('decoders', 'utf7_to_utf7', bytes([2, 0]) + u16(len(u7)) + u7)


def gif_image(frames):
    r = b'GIF89a' + struct.pack('<HH', 2, 2) + bytes([0x80, 0, 0]) + bytes(6)
    r += b'!\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00'
    for i in range(frames):
        r += b'!\xf9\x04\x00\x0a\x00\x00\x00'
        r += b',' + struct.pack('<HHHH', 0, 0, 2, 2) + b'\x00'
        r += b'\x02\x02\x44\x01\x00'
    return r + b';'


anim = gif_image(3)
save('gif', 'allow', bytes([0x00]) + u16(len(anim)) + anim + bytes([4, 9, 255]))
save('gif', 'cut_tail', bytes([0x19]) + u16(len(anim)) + anim + bytes([1] * 40) + u16(len(anim)) + anim)
png = b'\x89PNG\r\n\x1a\n' + bytes(40)
save('gif', 'png', bytes([0x03]) + u16(len(png)) + png)


def exchange(kind, rkind, body):
    return bytes([kind, rkind]) + u16(len(body)) + body


body = page[:200]
allow_chain = bytes([1, 2]) + exchange(0x41, 0x10, body) + bytes([0x10]) + exchange(0x12, 0x40, body) + bytes([9] * 8)
save('whole_chain', 'allow', allow_chain + bytes([1, 20, 0, 30, 1, 80, 0, 255]) * 4)
policy = bytes([0, 200, 0, 200, 200, 0, 200, 200, 0, 0, 0, 0, 0, 200, 0, 200, 200, 0, 200, 0, 0, 0])
save('whole_chain', 'policy', bytes([0]) + policy + words + words + bytes([1, 0x3c, 1, 60, 0, 1]) + bytes([2])
     + exchange(0x31, 0x10, body) + bytes([1]) + exchange(0x02, 0x00, body) + bytes([50] * 20))
save('whole_chain', 'garbage', bytes([0x0f]) + bytes([1, 10]) + b'GET / HTTP/1.1\r\n' + bytes([0, 5]) + b'\x00\xff\r\n\r\n')


# ftp and ssl: [direction, length, bytes] records (direction 0 client, 1
# server, +2 ends that side).
def watch(steps):
    r = b''
    for side, data in steps:
        while data:
            piece, data = data[:255], data[255:]
            r += bytes([side, len(piece)]) + piece
    return r


save('ftp', 'passive', watch([(1, b'220-hi\r\n 2\r\n220 ready\r\n'), (0, b'USER a\r\nPASV\r\n'),
                              (1, b'331 ok\r\n227 Entering Passive Mode (10,0,0,5,19,137)\r\n'),
                              (0, b'EPSV\r\n'), (1, b'229 (|||4000|)\r\n')]))
save('ftp', 'local_server', watch([(0, b'220 ready\r\n'), (1, b'PORT 10,0,0,7,4,1\r\n'), (0, b'200 ok\r\n'),
                                   (1, b'PORT 999,0,0,7,999,1\r\n')]))


# pop3 and smtp: the same records; the host cuts every attachment.
MAIL_EXE = (b'Subject: x\r\nContent-Type: multipart/mixed; boundary="b"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n'
            b'..hi\r\n--b\r\nContent-Disposition: attachment; filename="a.exe"\r\n\r\nMZ\r\n--b--\r\n')
save('pop3', 'session', watch([(1, b'+OK ready\r\n'), (0, b'USER a\r\n'), (1, b'+OK\r\n'), (0, b'PASS b\r\n'),
                               (1, b'+OK\r\n'), (0, b'LIST\r\nRETR 1\r\nQUIT\r\n'),
                               (1, b'+OK\r\n1 9\r\n.\r\n+OK\r\n' + MAIL_EXE + b'.\r\n+OK bye\r\n')]))
save('pop3', 'stls', watch([(1, b'+OK ready\r\n'), (0, b'STLS\r\n'), (1, b'+OK go\r\n\x16\x03\x01')]))
save('smtp', 'session', watch([(1, b'220 mx ESMTP\r\n'), (0, b'EHLO x\r\n'),
                               (1, b'250-mx\r\n250-PIPELINING\r\n250 CHUNKING\r\n'),
                               (0, b'MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\n'), (1, b'250 ok\r\n250 ok\r\n354 go\r\n'),
                               (0, MAIL_EXE + b'.\r\n'), (1, b'250 ok\r\n'), (0, b'TURN\r\n'), (1, b'250 ok\r\n'),
                               (1, b'DATA\r\n'), (0, b'354 go\r\n'), (1, b'x\r\n.\r\n')]))
save('smtp', 'bdat', watch([(1, b'220 mx\r\n'), (0, b'EHLO x\r\n'), (1, b'250 mx\r\n'), (0, b'BDAT 2 LAST\r\nhi')]))


def rec(t, body):
    return bytes([t, 3, 3]) + struct.pack('>H', len(body)) + body


def msg(t, body):
    return bytes([t]) + struct.pack('>I', len(body))[1:] + body


def u24(n):
    return struct.pack('>I', n)[1:]


name = b'seed.test'
sni = struct.pack('>HBH', len(name) + 3, 0, len(name)) + name
ext = struct.pack('>HH', 0, len(sni)) + sni
hello = msg(1, b'\x03\x03' + b'R' * 32 + b'\x00' + b'\x00\x02\x13\x01' + b'\x01\x00' + struct.pack('>H', len(ext)) + ext)
certs = [b'leaf' * 10, b'inter' * 8]
cert_list = b''.join(u24(len(c)) + c for c in certs)
certificate = msg(11, u24(len(cert_list)) + cert_list)
server_hello = msg(2, b'\x03\x03' + b'S' * 32 + b'\x00\xc0\x2f\x00')
save('ssl', 'tls12', watch([(0, rec(22, hello)), (1, rec(22, server_hello) + rec(22, certificate)),
                            (0, rec(20, b'\x01'))]))
save('ssl', 'tls13', watch([(0, rec(22, hello)), (1, rec(22, server_hello) + rec(20, b'\x01') + rec(23, b'x' * 40))]))
v2 = b'\x80\x1d\x01\x03\x01' + struct.pack('>HHH', 6, 0, 16) + b'\x00\x00\x2f\x00\x00\x35' + b'C' * 16
save('ssl', 'sslv2', watch([(0, v2), (1, rec(22, certificate))]))
# mail: verdict byte, two seed bytes, then a message from the generated mail
# corpus (tests/data/mail), once per verdict.
MAIL = os.path.join(HERE, '..', 'tests', 'data', 'mail')
for name in sorted(os.listdir(MAIL)):
    if not name.endswith('.eml'):
        continue
    with open(os.path.join(MAIL, name), 'rb') as f:
        message = f.read()
    for verdict in range(3):
        save('mail', '%s_%d' % (name[:-4], verdict), bytes([verdict, 7, verdict]) + message)


def size_code(v):
    """storage: a count or length, its width in the two low bits."""
    if v < 64:
        return bytes([v << 2])
    if v <= 0x3FFF:
        return struct.pack('<H', (v << 2) | 1)
    if v <= 0x3FFFFFFF:
        return struct.pack('<I', (v << 2) | 2)
    return struct.pack('<Q', (v << 2) | 3)


def section(entries):
    r = b'\x01' + size_code(len(entries))
    for name in sorted(entries):
        r += name + b'\0' + entries[name]
    return r


def value(kind, data):
    return bytes([2, kind]) + size_code(len(data)) + data


def dump(pieces):
    items = [section({b'm_pice_of_transfer': value(2, data), b'm_dwrd_val': value(1, bytes([d]))})
             for d, data in pieces]
    body = section({b'storrage': b'\x03' + size_code(len(items)) + b''.join(items)})
    return struct.pack('<II', 0xF34D49A2, 0x889F1ED9) + b'\x01' + body


save('storage', 'empty', dump([]))
save('storage', 'http', dump([(0, req), (1, resp_len[:70]), (1, resp_len[70:])]))
save('storage', 'arrays', struct.pack('<II', 0xF34D49A2, 0x889F1ED9) + b'\x01' + section({
    b'L': b'\x04\x02' + size_code(2) + size_code(2) + b'ab' + size_code(0),
    b'N': b'\x03' + size_code(1) + section({b'v': value(1, b'\x07\x00\x00\x00\x01')}),
    b'W': value(2, b'w' * 70)}))
# imap and nntp: the same records as ftp, from the session transcripts.
def transcript_steps(path):
    steps = []
    for line in open(path, encoding='utf-8'):
        line = line.rstrip('\n')
        tag, _, text = line.partition(': ')
        if tag not in ('in', 'out', 'in+', 'out+'):
            continue
        data = text.encode().decode('unicode_escape').encode('latin-1')
        steps.append((1 if tag.startswith('in') else 0, data + (b'' if tag.endswith('+') else b'\r\n')))
    return steps


for proto in ('imap', 'nntp'):
    folder = os.path.join(HERE, '..', 'tests', 'data', proto)
    for name in sorted(os.listdir(folder)):
        if name.endswith('.txt'):
            save(proto, name[:-4], watch(transcript_steps(os.path.join(folder, name))))
