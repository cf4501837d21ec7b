#!/usr/bin/env python3
"""Writes the HTTP exchange files of this folder (run it from anywhere).

Each case is the bytes both sides send and the bytes both sides must get,
built here so that lengths and chunk sizes are always right; the files are
what the tests read, and what a reader looks at."""
import gzip
import os
import random

D = os.path.dirname(os.path.abspath(__file__)) + '/'


def esc(b):
    out = ''
    for c in b:
        if c == 0x5c:
            out += '\\\\'
        elif 0x20 <= c < 0x7f:
            out += chr(c)
        else:
            out += '\\x%02x' % c
    return out


def lines(prefix, text):
    res = []
    parts = text.split(b'\r\n')
    for i, p in enumerate(parts):
        if i == len(parts) - 1:
            if p:
                res.append(prefix + ' ' + esc(p) + '\\')
        else:
            res.append((prefix + ' ' + esc(p)) if p else prefix)
    return res


def write(name, comment, directives, steps, to_server, to_client, events=None, closes=None):
    out = ['# ' + c for c in comment.split('\n')]
    out += ['@' + d for d in directives]
    prev = None
    for kind, b in steps:
        if kind in ('stop-in', 'stop-out'):
            out.append('@' + kind)
            prev = None
            continue
        if prev == kind:
            out.append('--')
        out += lines(kind, b)
        prev = kind
    out.append('=== to-server')
    out += lines('|', to_server)
    out.append('=== to-client')
    out += lines('|', to_client)
    if events is not None:
        out.append('=== events')
        out += events
    if closes is not None:
        out.append('=== closes')
        out.append(str(closes))
    with open(D + name, 'w') as f:
        f.write('\n'.join(out) + '\n')


HTML = (b'<html><body>Some text with x marks that the test filter removes; long enough for the '
        b'charset sniffer to decide. x</body></html>')
NOX = HTML.replace(b'x', b'')


def GET(path=b'/a', extra=b''):
    return b'GET ' + path + b' HTTP/1.1\r\nHost: h\r\n' + extra + b'\r\n'


def resp(status=b'200 OK', hdr=b'', body=b''):
    return b'HTTP/1.1 ' + status + b'\r\n' + hdr + b'\r\n' + body


def html_cl(body=HTML, extra=b''):
    return resp(hdr=b'Content-Type: text/html\r\n' + extra + b'Content-Length: %d\r\n' % len(body), body=body)


def chunk(b):
    return b'%x\r\n' % len(b) + b + b'\r\n'


FILTERED = html_cl(NOX)
TWO = ['request #1', 'response #1 200', 'complete #1 3', 'request #2', 'response #2 200', 'complete #2 3']

# Message framing (RFC 9112 section 6).
write('framing-keep-alive-length-then-chunked.txt',
      'Two requests on one connection: a length-delimited page is held and its\n'
      'length corrected, a chunked page is re-chunked.', ['drop x'],
      [('>', GET(b'/1')), ('<', html_cl()), ('>', GET(b'/2')),
       ('<', resp(hdr=b'Content-Type: text/html\r\nTransfer-Encoding: chunked\r\n', body=chunk(HTML) + b'0\r\n\r\n'))],
      GET(b'/1') + GET(b'/2'),
      FILTERED + resp(hdr=b'Content-Type: text/html\r\nTransfer-Encoding: chunked\r\n', body=chunk(NOX) + b'0\r\n\r\n'),
      TWO)
write('framing-close-delimited.txt', 'A response without length or chunking ends when the server closes.', ['drop x'],
      [('>', GET()), ('<', resp(hdr=b'Content-Type: text/html\r\nConnection: close\r\n', body=HTML)), ('stop-in', b'')],
      GET(), resp(hdr=b'Content-Type: text/html\r\nConnection: close\r\n', body=NOX),
      ['request #1', 'response #1 200', 'complete #1 0'])
HEAD = b'HEAD /a HTTP/1.1\r\nHost: h\r\n\r\n'
write('framing-pipelined-head-and-get.txt',
      'Pipelined requests are answered in order; the answer to HEAD has no body\n'
      'whatever its Content-Length says.', ['drop x'],
      [('>', HEAD + GET(b'/b')), ('<', resp(hdr=b'Content-Type: text/html\r\nContent-Length: 500\r\n') + html_cl())],
      HEAD + GET(b'/b'), resp(hdr=b'Content-Type: text/html\r\nContent-Length: 500\r\n') + FILTERED,
      ['request #1', 'request #2', 'response #1 200', 'complete #1 1', 'response #2 200', 'complete #2 3'])

# 1xx, 204 and 304 have no body whatever their header says.
for st, hdr, name in [(b'204 No Content', b'Content-Length: 5\r\n', 'no-body-204-with-length.txt'),
                      (b'304 Not Modified', b'Transfer-Encoding: chunked\r\n', 'no-body-304-with-chunked.txt')]:
    write(name, 'A %s has no body whatever its header says: the next response is\n'
          'framed on its own and the client does not wait.' % st.decode(), ['drop x'],
          [('>', GET(b'/1')), ('<', resp(st, hdr)), ('>', GET(b'/2')), ('<', html_cl())],
          GET(b'/1') + GET(b'/2'), resp(st, hdr) + FILTERED,
          ['request #1', 'response #1 %s' % st[:3].decode(), 'complete #1 1', 'request #2', 'response #2 200',
           'complete #2 3'])
POST = b'POST /up HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n'
write('interim-100-with-length.txt',
      'An interim answer with a Content-Length has no body and leaves the request\nwaiting for its final answer.',
      ['drop x'],
      [('>', POST), ('<', resp(b'100 Continue', b'Content-Length: 12\r\n')), ('>', b'data'), ('<', html_cl())],
      POST + b'data', resp(b'100 Continue', b'Content-Length: 12\r\n') + FILTERED,
      ['request #1', 'response #1 200', 'complete #1 3'])

# Chunk extensions and trailers.
body = b'5;name=value\r\n' + HTML[:5] + b'\r\n%x ; ext="q;x"\r\n' % (len(HTML) - 5) + HTML[5:] + b'\r\n0;last\r\n\r\n'
write('chunk-extensions.txt', 'Chunk extensions are read and ignored; the body is still filtered.', ['drop x'],
      [('>', GET()), ('<', resp(hdr=b'Content-Type: text/html\r\nTransfer-Encoding: chunked\r\n', body=body)),
       ('>', GET(b'/2')), ('<', html_cl())],
      GET() + GET(b'/2'),
      resp(hdr=b'Content-Type: text/html\r\nTransfer-Encoding: chunked\r\n', body=chunk(NOX) + b'0\r\n\r\n') + FILTERED,
      TWO)
TRAILER = b'Expires: never\r\nX-Checksum: abc\r\n\r\n'
write('chunk-trailers.txt', 'Trailer fields after the last chunk are passed on.', ['drop x'],
      [('>', GET()),
       ('<', resp(hdr=b'Content-Type: text/html\r\nTransfer-Encoding: chunked\r\n', body=chunk(HTML) + b'0\r\n' + TRAILER)),
       ('>', GET(b'/2')), ('<', html_cl())],
      GET() + GET(b'/2'),
      resp(hdr=b'Content-Type: text/html\r\nTransfer-Encoding: chunked\r\n', body=chunk(NOX) + b'0\r\n' + TRAILER) +
      FILTERED, TWO)

# Request bodies in both framings.
post = (b'POST /api HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n4;a=b\r\nGET \r\n'
        b'10\r\n/x HTTP/1.1\r\n\r\nx\r\n0\r\nT: 1\r\n\r\n')
write('chunked-request-body.txt',
      'A chunked request body goes to the server as it came (even when it looks\n'
      'like a request), and the responses that follow are still filtered.', ['drop x'],
      [('>', post), ('<', html_cl()), ('>', GET(b'/2')), ('<', html_cl())], post + GET(b'/2'), FILTERED * 2, TWO)
post = b'POST /up HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 10\r\n\r\n'
write('early-final-response.txt',
      'A final answer that comes before the request body is complete answers that\n'
      'request; a HEAD that follows still gets its bodiless answer.', ['drop x'],
      [('>', post), ('<', resp(b'417 Expectation Failed', b'Content-Length: 0\r\n')),
       ('>', b'0123456789' + HEAD), ('<', resp(hdr=b'Content-Type: text/html\r\nContent-Length: 300\r\n')),
       ('>', GET(b'/2')), ('<', html_cl())],
      post + b'0123456789' + HEAD + GET(b'/2'),
      resp(b'417 Expectation Failed', b'Content-Length: 0\r\n') +
      resp(hdr=b'Content-Type: text/html\r\nContent-Length: 300\r\n') + FILTERED,
      ['request #1', 'response #1 417', 'complete #1 1', 'request #2', 'response #2 200', 'complete #2 1',
       'request #3', 'response #3 200', 'complete #3 3'])
post = b'POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n8\r\nabcdefgh\r\n0\r\n\r\n'
write('request-chunked-wins-over-length.txt',
      'A request with both Content-Length and Transfer-Encoding is framed by its\nchunks; the answers stay paired.',
      ['drop x'], [('>', post), ('<', html_cl()), ('>', GET(b'/2')), ('<', html_cl())], post + GET(b'/2'),
      FILTERED * 2, TWO)

# Bodies that are not ours to change.
for coding in [b'br', b'zstd', b'gzip, br', b'compress']:
    r = resp(hdr=b'Content-Type: text/html\r\nContent-Encoding: ' + coding +
             b'\r\nContent-Length: %d\r\n' % len(HTML), body=HTML)
    write('unknown-coding-%s-passes.txt' % coding.decode().replace(', ', '-'),
          'A body in a content coding the engine cannot decode passes untouched.', ['drop x'],
          [('>', GET()), ('<', r)], GET(), r, ['request #1', 'response #1 200', 'complete #1 1'])
r = resp(b'206 Partial Content',
         b'Content-Type: text/html\r\nContent-Range: bytes 0-%d/9999\r\nContent-Length: %d\r\n' % (len(HTML) - 1, len(HTML)),
         HTML)
write('range-206-untouched.txt', 'A range is never rewritten: its bytes must fit the other parts.', ['drop x'],
      [('>', GET(b'/a', b'Range: bytes=0-\r\n')), ('<', r)], GET(b'/a', b'Range: bytes=0-\r\n'), r,
      ['request #1', 'response #1 206', 'complete #1 1'])
r = resp(hdr=b'Content-Type: text/html\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n'
         b'Content-Range: bytes 10-20/99\r\n', body=b'5;e\r\nabcde\r\n0\r\n\r\n')
write('range-chunked-untouched.txt', 'A chunked range passes with its own framing.', ['drop x'],
      [('>', GET()), ('<', r)], GET(), r, ['request #1', 'response #1 200', 'complete #1 1'])

# Content-Length repeated.
for hdr, fixed, name in [
        (b'Content-Length: %d\r\nX-A: 1\r\nContent-Length: %d\r\n' % (len(HTML), len(HTML)),
         b'Content-Length: %d\r\nX-A: 1\r\n' % len(NOX), 'duplicate-length-lines.txt'),
        (b'Content-Length: %d, %d\r\n' % (len(HTML), len(HTML)), b'Content-Length: %d\r\n' % len(NOX),
         'duplicate-length-list.txt')]:
    write(name, 'Equal Content-Length values count as one; after the body changed, exactly\n'
          'one Content-Length remains.', ['drop x'],
          [('>', GET()), ('<', resp(hdr=b'Content-Type: text/html\r\n' + hdr, body=HTML))], GET(),
          resp(hdr=b'Content-Type: text/html\r\n' + fixed, body=NOX), ['request #1', 'response #1 200', 'complete #1 3'])
r = resp(hdr=b'Content-Type: text/html\r\nContent-Length: 5\r\nContent-Length: 6\r\n', body=b'hello!')
write('conflicting-lengths-step-aside.txt',
      'Content-Length values that disagree cannot be framed: the filter steps\naside and every byte passes.',
      ['drop x'], [('>', GET()), ('<', r)], GET(), r, ['request #1', 'response #1 200'])

# Two gzip members in a length-delimited body: the first is long enough to
# be decoded on its own, so at one split it ends exactly at the end of a piece.
rnd = random.Random(7)
p1 = b'<html><body>first member with x ' + bytes(rnd.choice(b'abcdefghijklmnopqrstuvwyz ') for _ in range(3000))
p2 = b'<p>second member with x ' + b'b' * 60 + b'</p></html>'
m1 = gzip.compress(p1, mtime=0)
m2 = gzip.compress(p2, mtime=0)
decoded = (p1 + p2).replace(b'x', b'')
write('gzip-members-at-piece-boundary.txt',
      'Concatenated gzip members decode as one body, also when a member ends at\nthe end of a piece.',
      ['drop x', 'engine decoder'],
      [('>', GET()), ('<', resp(hdr=b'Content-Type: text/html\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n'
                                % len(m1 + m2), body=m1 + m2))], GET(),
      resp(hdr=b'Content-Type: text/html\r\nContent-Length: %d\r\n' % len(decoded), body=decoded),
      ['request #1', 'response #1 200', 'complete #1 3'])

# The GIF filter starts clean for every response.
GIF = bytes.fromhex('47494638396101000100800000000000FFFFFF21F90401000001002C00000000010001000002014C003B')
r1 = resp(hdr=b'Content-Type: image/gif\r\nContent-Length: 30\r\n', body=b'this is not a GIF, it is text!')
r2 = resp(hdr=b'Content-Type: image/gif\r\nContent-Length: %d\r\n' % len(GIF), body=GIF)
write('gif-state-per-response.txt',
      'Each response starts the GIF filter clean: a body labelled GIF that is not\n'
      'one does not spoil the valid GIF after it.', ['engine gif'],
      [('>', GET(b'/img')), ('<', r1), ('>', GET(b'/2.gif')), ('<', r2)], GET(b'/img') + GET(b'/2.gif'), r1 + r2)

# Protocol switches.
req = b'GET /chat HTTP/1.1\r\nHost: h\r\nConnection: keep-alive, Upgrade\r\nUpgrade: websocket\r\n\r\n'
r = b'HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade, keep-alive\r\nUpgrade: websocket\r\n\r\n'
write('websocket-connection-list.txt',
      'A 101 switches protocols whatever else its Connection header lists: the\n'
      'frames that follow pass both ways at once.', ['drop x'],
      [('>', req), ('<', r + b'\x81\x02hi')], req, r + b'\x81\x02hi')
req = b'GET /chat HTTP/1.1\r\nHost: h\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n'
write('upgrade-refused-then-requests.txt', 'A refused upgrade leaves the connection HTTP: later requests are followed.',
      ['drop x'],
      [('>', req), ('<', resp(b'400 Bad Request', b'Content-Length: 0\r\n')), ('>', GET(b'/2')), ('<', html_cl())],
      req + GET(b'/2'), resp(b'400 Bad Request', b'Content-Length: 0\r\n') + FILTERED,
      ['request #1', 'response #1 400', 'complete #1 1', 'request #2', 'response #2 200', 'complete #2 3'])
write('upgrade-to-blocked-host.txt', 'An upgrade request to a blocked host gets the block page and a close.',
      ['deny host'], [('>', req)], b'',
      b'HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: 0\r\n\r\n',
      ['request #1', 'blocked #1 14', 'complete #1 2'], 1)

# Several Cookie lines.
req = b'GET /a HTTP/1.1\r\nHost: h\r\nCookie: a=1\r\nAccept: */*\r\nCookie: b=2\r\ncookie: c=3\r\n\r\n'
write('several-cookie-lines.txt', 'With cookies denied every Cookie line goes, each one reported.', ['deny cookies'],
      [('>', req), ('<', resp(hdr=b'Content-Length: 2\r\n', body=b'ok'))],
      b'GET /a HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n\r\n', resp(hdr=b'Content-Length: 2\r\n', body=b'ok'),
      ['request #1', 'blocked #1 0', 'blocked #1 0', 'blocked #1 0', 'response #1 200', 'complete #1 1'])

# UTF-7 guessing.
page = (b'<html><head><meta charset="iso-8859-2"></head><body>Call +420-123 or +420-456, x marks removed here.'
        b'</body></html>')
write('utf7-phone-numbers-stay-8-bit.txt',
      'Phone numbers are not UTF-7 and a declared charset wins over a guess: the\npage goes to the 8-bit HTML filter.',
      ['drop x'], [('>', GET()), ('<', html_cl(page))], GET(), html_cl(page.replace(b'x', b'')),
      ['request #1', 'response #1 200', 'complete #1 3'])
page = b'<html><body>Call +420-123 or +420-456 today; x marks are removed from this page by the filter.</body></html>'
write('utf7-digit-runs-undeclared.txt', 'Without a declared charset, runs of digits alone do not make a page UTF-7.',
      ['drop x'], [('>', GET()), ('<', html_cl(page))], GET(), html_cl(page.replace(b'x', b'')),
      ['request #1', 'response #1 200', 'complete #1 3'])
