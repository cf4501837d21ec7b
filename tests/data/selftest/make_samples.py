#!/usr/bin/env python3
"""Writes the self-test's sample folders beside this script (run it from anywhere).

Every sample is a recorded connection in the packed form the recorders write
(.dump_bi): pieces in arrival order, each from the client (out) or from the
server (in). The expected results are written out here by hand from what the
HTTP framing and the policy say, never taken from a run of the engine:

  test_http/in_slices/NAME.dump_bi           the recording
  test_http/out_slices/NAME.dump_bi          what the HTTP filter hands on (the
                                             bytes of each direction count, not
                                             how they are spread over pieces)
  test_http/sub_in_file_slices/NAME.dump_bi  bodies given to the file handler,
                                             one piece per body
  test_http/sub_in_html_slices/NAME.dump_bi  bodies given to the HTML handler
  test_smtp/in_slices, test_pop3/in_slices   mail sessions
  test_noise                                 random bytes and other protocols

The HTTP filter runs with everything allowed, so a page keeps every byte; what
changes is framing: a gzip body reaches the client decoded, without its
Content-Encoding line and with the decoded length. The mail filters must hand
back every byte of a session that is not theirs, and of noise, and step aside.
"""
import gzip
import os
import random
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

OUT, IN = False, True


# --- The packed form ---------------------------------------------------------

def size_code(v):
    if v < 0x40:
        return struct.pack('<B', v << 2)
    if v <= 0x3FFF:
        return struct.pack('<H', (v << 2) | 1)
    if v <= 0x3FFFFFFF:
        return struct.pack('<I', (v << 2) | 2)
    return struct.pack('<Q', (v << 2) | 3)


def value(kind, data):
    return b'\x02' + bytes([kind]) + size_code(len(data)) + data


def section(entries):
    # Entries in byte order of their names.
    out = b'\x01' + size_code(len(entries))
    for name in sorted(entries):
        out += name + b'\x00' + entries[name]
    return out


def pack(pieces):
    sections = b''.join(
        section({b'm_pice_of_transfer': value(2, data), b'm_dwrd_val': value(1, bytes([1 if d else 0]))})
        for d, data in pieces)
    array = b'\x03' + size_code(len(pieces)) + sections
    return struct.pack('<II', 0xF34D49A2, 0x889F1ED9) + b'\x01' + section({b'storrage': array})


def write(rel, pieces):
    path = os.path.join(HERE, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(pack(pieces))


# --- HTTP --------------------------------------------------------------------

def response(status, headers, body=b''):
    head = b'HTTP/1.1 ' + status + b'\r\n' + b''.join(k + b': ' + v + b'\r\n' for k, v in headers) + b'\r\n'
    return head + body


def chunked(parts):
    return b''.join(b'%x\r\n' % len(p) + p + b'\r\n' for p in parts) + b'0\r\n\r\n'


PAGE = (b'<html><head><title>Sample page</title>\r\n'
        b'<script type="text/javascript">var n = 1; if (n < 2) { document.title = "x"; }</script>\r\n'
        b'</head><body onload="init()">\r\n<p>Some text with <a href="/next.html">a link</a>, '
        b'<img src="/logo.gif" width="88" height="31"> an image and\r\n'
        b'<iframe src="/frame.html" width="300" height="200"></iframe> a frame.</p>\r\n'
        b'</body></html>\r\n')


def http_samples():
    """name -> (pieces, expected out, file bodies, html bodies)"""
    s = {}

    # A plain text file: not looked at; its body goes to the file handler.
    req = b'GET /notes.txt HTTP/1.1\r\nHost: files.example\r\n\r\n'
    resp = response(b'200 OK', [(b'Content-Type', b'text/plain'), (b'Content-Length', b'12')], b'hello, world')
    s['text_file'] = ([(OUT, req), (IN, resp)], [(OUT, req), (IN, resp)], [b'hello, world'], [])

    # A page split at awkward places (inside a header line, inside a tag):
    # everything allowed, so the page arrives as it was sent, and the HTML
    # handler gets it whole.
    req = b'GET /index.html HTTP/1.1\r\nHost: www.example\r\nAccept: text/html\r\n\r\n'
    resp = response(b'200 OK', [(b'Content-Type', b'text/html'), (b'Content-Length', b'%d' % len(PAGE))], PAGE)
    cut0 = req.index(b'\r\n') + 2
    cut1 = resp.index(b'Length') + 3
    cut2 = resp.index(b'<iframe') + 4
    s['html_split'] = ([(OUT, req[:cut0]), (OUT, req[cut0:]), (IN, resp[:cut1]), (IN, resp[cut1:cut2]),
                        (IN, resp[cut2:])], [(OUT, req), (IN, resp)], [], [PAGE])

    # The same exchange with the client's first chunk cut before its first
    # line end: that is not taken for HTTP, the filter steps aside at once,
    # every byte passes and no handler sees the page.
    cut0 = req.index(b' HTTP/') + 5
    s['request_cut_early'] = ([(OUT, req[:cut0]), (OUT, req[cut0:]), (IN, resp)], [(OUT, req), (IN, resp)], [], [])

    # gzip: the client gets the page decoded, without Content-Encoding and
    # with the decoded length in the Content-Length line.
    z = gzip.compress(PAGE, mtime=0)
    req = b'GET /zipped.html HTTP/1.1\r\nHost: www.example\r\nAccept-Encoding: gzip\r\n\r\n'
    resp = response(b'200 OK', [(b'Content-Type', b'text/html; charset=utf-8'), (b'Content-Encoding', b'gzip'),
                                (b'Content-Length', b'%d' % len(z))], z)
    want = response(b'200 OK', [(b'Content-Type', b'text/html; charset=utf-8'),
                                (b'Content-Length', b'%d' % len(PAGE))], PAGE)
    half = len(resp) // 2
    s['gzip_html'] = ([(OUT, req), (IN, resp[:half]), (IN, resp[half:])], [(OUT, req), (IN, want)], [], [PAGE])

    # A chunked download cut inside its chunks. No handler takes this type,
    # so the body goes on as it arrives: every run of chunk data that one
    # read brings is sent on as one chunk, sized in lower-case hex. The file
    # handler, when one is installed, gets the data without the framing.
    rnd = random.Random(14)
    parts = [bytes(rnd.randrange(256) for _ in range(n)) for n in (16, 26, 300)]
    req = b'GET /blob.bin HTTP/1.1\r\nHost: files.example\r\n\r\n'
    head = response(b'200 OK', [(b'Content-Type', b'application/octet-stream'), (b'Transfer-Encoding', b'chunked')])
    resp = head + chunked(parts)
    # Cut after 2 bytes of the first chunk's data, after 107 of the third's,
    # and inside the last chunk's line.
    cuts = [len(head) + 4 + 2, len(resp) - 7 - 193, len(resp) - 3]
    pieces = [(OUT, req)] + [(IN, resp[a:b]) for a, b in zip([0] + cuts, cuts + [len(resp)])]
    want = head + chunked([parts[0][:2], parts[0][2:], parts[1], parts[2][:107], parts[2][107:]])
    s['chunked_file'] = (pieces, [(OUT, req), (IN, want)], [b''.join(parts)], [])

    # Keep-alive: two pipelined requests; a 304 without a body, then a style
    # sheet, both in one read of the server.
    req = (b'GET /a.css HTTP/1.1\r\nHost: www.example\r\nIf-None-Match: "1"\r\n\r\n'
           b'GET /b.css HTTP/1.1\r\nHost: www.example\r\n\r\n')
    css = b'body { color: black; }\r\n'
    resp = (response(b'304 Not Modified', [(b'ETag', b'"1"')]) +
            response(b'200 OK', [(b'Content-Type', b'text/css'), (b'Content-Length', b'%d' % len(css))], css))
    s['keep_alive'] = ([(OUT, req), (IN, resp)], [(OUT, req), (IN, resp)], [css], [])

    # Two small pages: 20 bytes or fewer pass unfiltered and never reach the
    # HTML handler; 21 to 99 bytes reach it when the body ends.
    tiny, small = b'<b>tiny</b> page!!!!', b'<p>A short page of more than twenty bytes.</p>'
    assert len(tiny) == 20 and 20 < len(small) < 100
    req1 = b'GET /t.html HTTP/1.1\r\nHost: www.example\r\n\r\n'
    req2 = b'GET /s.html HTTP/1.1\r\nHost: www.example\r\n\r\n'
    r1 = response(b'200 OK', [(b'Content-Type', b'text/html'), (b'Content-Length', b'20')], tiny)
    r2 = response(b'200 OK', [(b'Content-Type', b'text/html'), (b'Content-Length', b'%d' % len(small))], small)
    s['small_pages'] = ([(OUT, req1), (IN, r1), (OUT, req2), (IN, r2)],
                        [(OUT, req1 + req2), (IN, r1 + r2)], [], [small])

    # HTTP/1.0, the page ends with the connection; it goes on as it comes.
    req = b'GET /old.html HTTP/1.0\r\nHost: www.example\r\n\r\n'
    resp = b'HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n' + PAGE
    cut = resp.index(b'<body')
    s['close_delimited'] = ([(OUT, req), (IN, resp[:cut]), (IN, resp[cut:])], [(OUT, req), (IN, resp)], [], [PAGE])

    # A chunked page in two chunks of one read: the first 60 bytes wait for
    # the encoding to be seen, so the client gets the page as one chunk of
    # 140 bytes, then the last chunk.
    page = (b'<html><body><p>' + b'chunked page text ' * 7)[:133] + b'</html>'
    assert len(page) == 140
    req = b'GET /c.html HTTP/1.1\r\nHost: www.example\r\n\r\n'
    head = response(b'200 OK', [(b'Content-Type', b'text/html'), (b'Transfer-Encoding', b'chunked')])
    resp = head + chunked([page[:60], page[60:]])
    want = head + chunked([page])
    s['chunked_html'] = ([(OUT, req), (IN, resp)], [(OUT, req), (IN, want)], [], [page])

    # UTF-16LE with its byte order mark goes to the HTML handler too.
    wide = b'\xff\xfe' + '<html><body><p>Wide text page, sixteen bits a character.</p></body></html>'.encode(
        'utf-16-le')
    req = b'GET /w.html HTTP/1.1\r\nHost: www.example\r\n\r\n'
    resp = response(b'200 OK', [(b'Content-Type', b'text/html'), (b'Content-Length', b'%d' % len(wide))], wide)
    s['utf16_page'] = ([(OUT, req), (IN, resp)], [(OUT, req), (IN, resp)], [], [wide])
    return s


# --- Mail sessions -----------------------------------------------------------

MESSAGE = (b'From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: Report\r\n'
           b'MIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n'
           b'Hello Bob,\r\n..a line that began with a dot\r\nthe report follows.\r\n')


def smtp_sessions():
    plain = [
        (IN, b'220 mail.example.org ESMTP ready\r\n'),
        (OUT, b'EHLO client.example.org\r\n'),
        (IN, b'250-mail.example.org\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n250 8BITMIME\r\n'),
        (OUT, b'MAIL FROM:<ann@example.org>\r\n'),
        (IN, b'250 2.1.0 Ok\r\n'),
        (OUT, b'RCPT TO:<bob@example.org>\r\n'),
        (IN, b'250 2.1.5 Ok\r\n'),
        (OUT, b'DATA\r\n'),
        (IN, b'354 End data with <CR><LF>.<CR><LF>\r\n'),
        (OUT, MESSAGE[:70]),
        (OUT, MESSAGE[70:] + b'.\r\n'),
        (IN, b'250 2.0.0 Ok: queued as 4711\r\n'),
        (OUT, b'QUIT\r\n'),
        (IN, b'221 2.0.0 Bye\r\n'),
    ]
    # Pipelined commands in one read, and a greeting split in two.
    pipelined = [
        (IN, b'220 mx.example.net'),
        (IN, b' ESMTP\r\n'),
        (OUT, b'EHLO c\r\n'),
        (IN, b'250-mx.example.net\r\n250 PIPELINING\r\n'),
        (OUT, b'MAIL FROM:<a@example.net>\r\nRCPT TO:<b@example.net>\r\nDATA\r\n'),
        (IN, b'250 Ok\r\n250 Ok\r\n354 Go ahead\r\n'),
        (OUT, b'Subject: x\r\n\r\nshort\r\n.\r\nQUIT\r\n'),
        (IN, b'250 Ok\r\n221 Bye\r\n'),
    ]
    return {'plain_session': plain, 'pipelined_session': pipelined}


def pop3_sessions():
    body = MESSAGE
    retr = [
        (IN, b'+OK POP3 server ready\r\n'),
        (OUT, b'USER bob\r\n'),
        (IN, b'+OK\r\n'),
        (OUT, b'PASS secret\r\n'),
        (IN, b'+OK logged in\r\n'),
        (OUT, b'STAT\r\n'),
        (IN, b'+OK 1 %d\r\n' % len(body)),
        (OUT, b'RETR 1\r\n'),
        (IN, b'+OK %d octets\r\n' % len(body) + body[:100]),
        (IN, body[100:] + b'.\r\n'),
        (OUT, b'QUIT\r\n'),
        (IN, b'+OK bye\r\n'),
    ]
    return {'retr_session': retr}


# --- Noise -------------------------------------------------------------------

def noise_samples():
    rnd = random.Random(2026)

    def junk(n):
        return bytes(rnd.randrange(256) for _ in range(n))

    s = {
        'random_server_first': [(IN, junk(700)), (OUT, junk(90)), (IN, junk(5000)), (OUT, junk(3))],
        'random_client_first': [(OUT, junk(1500)), (IN, junk(64)), (IN, junk(9000))],
    }
    # Web traffic.
    s['http_exchange'] = [
        (OUT, b'GET / HTTP/1.1\r\nHost: www.example\r\n\r\n'),
        (IN, response(b'200 OK', [(b'Content-Type', b'text/html'), (b'Content-Length', b'%d' % len(PAGE))], PAGE)),
    ]
    # The start of a TLS connection: a client hello and the server's answer.
    name = b'www.example'
    sni = struct.pack('>HHHBH', 0, len(name) + 5, len(name) + 3, 0, len(name)) + name
    hello_body = (b'\x03\x03' + junk(32) + b'\x00' + b'\x00\x04\x13\x01\x13\x02' + b'\x01\x00' +
                  struct.pack('>H', len(sni)) + sni)
    hello = b'\x01' + struct.pack('>I', len(hello_body))[1:] + hello_body
    record = b'\x16\x03\x01' + struct.pack('>H', len(hello)) + hello
    s['tls_start'] = [(OUT, record), (IN, b'\x16\x03\x03\x00\x31' + junk(0x31)), (IN, b'\x17\x03\x03' + junk(600))]
    return s


def main():
    for d in ('test_http', 'test_smtp', 'test_pop3', 'test_noise'):
        shutil.rmtree(os.path.join(HERE, d), ignore_errors=True)
    for name, (pieces, out, files, pages) in sorted(http_samples().items()):
        f = name + '.dump_bi'
        write('test_http/in_slices/' + f, pieces)
        write('test_http/out_slices/' + f, out)
        write('test_http/sub_in_file_slices/' + f, [(IN, b) for b in files])
        write('test_http/sub_in_html_slices/' + f, [(IN, b) for b in pages])
    for name, pieces in sorted(smtp_sessions().items()):
        write('test_smtp/in_slices/' + name + '.dump_bi', pieces)
    for name, pieces in sorted(pop3_sessions().items()):
        write('test_pop3/in_slices/' + name + '.dump_bi', pieces)
    for name, pieces in sorted(noise_samples().items()):
        write('test_noise/' + name + '.dump_bi', pieces)


if __name__ == '__main__':
    main()
