#!/usr/bin/env python3
"""Writes the mail corpus of tests/mail: messages as Python's email package
writes them (multipart/mixed, alternative, related, a forwarded message,
base64 and quoted-printable attachments, uuencoded text, file names in
encoded words of several charsets and in RFC 2231 form, CRLF and LF), and
names.txt: for each message, the attachment names the host must be told.

Run from anywhere; the output is deterministic."""
import binascii
import email.charset
import email.policy
import os
from email.header import Header
from email.encoders import encode_quopri
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

HERE = os.path.dirname(os.path.abspath(__file__))
CRLF = email.policy.SMTP
LF = email.policy.default


def payload(n, seed):
    """n reproducible bytes that cover every byte value."""
    out = bytearray()
    x = seed
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


def base_message(subject, policy=CRLF):
    m = EmailMessage(policy=policy)
    m['From'] = 'Alice Example <alice@example.org>'
    m['To'] = 'bob@example.net'
    m['Subject'] = subject
    m['Date'] = 'Tue, 01 Dec 2026 10:00:00 +0000'
    m['Message-ID'] = '<%s@example.org>' % subject.replace(' ', '-')
    return m


def fix_boundaries(msg, tag):
    n = 0
    for part in msg.walk():
        if part.get_content_maintype() == 'multipart':
            n += 1
            part.set_boundary('==%s-%d==' % (tag, n))


def save(name, msg, policy):
    data = msg.as_bytes(policy=policy)
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)


names = {}


def mixed(policy, file_name):
    m = base_message('mixed attachments', policy)
    m.set_content('Hello Bob,\n\nthe report is attached.\n.\n..a line with dots\n')
    m.add_attachment(payload(5000, 1), maintype='application', subtype='pdf', filename='report.pdf')
    m.add_attachment('r\u00e9sum\u00e9 = caf\u00e9 \u2013 na\u00efve text\n' * 40, subtype='plain',
                     cte='quoted-printable', filename='notes.txt')
    fix_boundaries(m, 'mixed')
    save(file_name, m, policy)
    names[file_name] = ['report.pdf', 'notes.txt']


mixed(CRLF, 'mixed_crlf.eml')
mixed(LF, 'mixed_lf.eml')

# alternative inside mixed, related HTML with an inline image
m = base_message('alternative and related')
m.set_content('Plain text version.\n')
m.add_alternative('<html><body><p>HTML <b>version</b> <img src="cid:logo@x"></p></body></html>\n',
                  subtype='html')
html_part = m.get_payload()[1]
html_part.add_related(payload(3000, 2), maintype='image', subtype='png', cid='<logo@x>',
                      filename='logo.png')
m.add_attachment(payload(200, 3), maintype='application', subtype='octet-stream', filename='data.bin')
fix_boundaries(m, 'alt')
save('alternative_related.eml', m, CRLF)
names['alternative_related.eml'] = ['mail.html', 'logo.png', 'data.bin']

# a forwarded message with its own attachment
inner = base_message('inner message')
inner.set_content('Inner text.\n')
inner.add_attachment(payload(700, 4), maintype='application', subtype='zip', filename='inner.zip')
fix_boundaries(inner, 'inner')
outer = base_message('forwarded')
outer.set_content('See the forwarded message.\n')
outer.add_attachment(inner)
fix_boundaries(outer, 'outer')
save('forwarded_rfc822.eml', outer, CRLF)
# Marked as an attachment: the host rules on the whole forwarded message.
names['forwarded_rfc822.eml'] = ['stub_file_name.stb']

# file names in several charsets, as older mail software writes them
# (encoded words) and as newer software does (RFC 2231)
koi8 = '\u041e\u0442\u0447\u0435\u0442.doc'  # "Otchet" in Cyrillic
latin = 'caf\u00e9 menu.txt'
utf = '\u8cc7\u6599.xls'
m = MIMEMultipart(boundary='==names-1==')
for k, v in [('From', 'Alice Example <alice@example.org>'), ('To', 'bob@example.net'),
             ('Subject', Header('\u041e\u0442\u0447\u0435\u0442 and caf\u00e9', 'utf-8').encode()),
             ('Date', 'Tue, 01 Dec 2026 10:00:00 +0000')]:
    m[k] = v
m.attach(MIMEText('Three files.\n', 'plain', 'us-ascii'))
a1 = MIMEApplication(payload(300, 5), 'msword')
a1['Content-Disposition'] = 'attachment; filename="%s"' % Header(koi8, 'koi8-r').encode()
m.attach(a1)
a2 = MIMEApplication(b'menu\r\n', 'octet-stream', encode_quopri)
q = email.charset.Charset('iso-8859-1')
q.header_encoding = email.charset.QP
a2['Content-Disposition'] = 'attachment; filename="%s"' % Header(latin, q).encode()
m.attach(a2)
a3 = MIMEApplication(payload(400, 6), 'vnd.ms-excel')
a3.add_header('Content-Disposition', 'attachment', filename=('utf-8', '', utf))
m.attach(a3)
save('encoded_names.eml', m, CRLF)
names['encoded_names.eml'] = [koi8, latin, utf]

# a message that is one attachment
m = base_message('single attachment')
m.set_content(payload(9000, 7), maintype='application', subtype='octet-stream', filename='whole.bin')
save('single_attachment.eml', m, CRLF)
names['single_attachment.eml'] = ['whole.bin']

# an HTML-only message in quoted-printable
m = base_message('html only')
m.set_content('<html><body><p>' + 'Some text with = signs and caf\u00e9. ' * 20 + '</p></body></html>\n',
              subtype='html', cte='quoted-printable')
save('html_only.eml', m, CRLF)
names['html_only.eml'] = ['mail.html']

# plain text without Content-Type holding a uuencoded file
data = payload(1000, 8)
lines = ['begin 644 photo.jpg']
for i in range(0, len(data), 45):
    lines.append(binascii.b2a_uu(data[i:i + 45]).decode('ascii').rstrip('\n'))
lines += ['`', 'end']
text = ('From: Carol <carol@example.org>\r\nTo: bob@example.net\r\nSubject: uuencoded photo\r\n'
        'Date: Tue, 01 Dec 2026 10:00:00 +0000\r\n\r\n'
        'Here is the photo:\r\n\r\n' + '\r\n'.join(lines) + '\r\n\r\nCarol\r\n')
with open(os.path.join(HERE, 'uuencoded_text.eml'), 'wb') as f:
    f.write(text.encode('ascii'))
names['uuencoded_text.eml'] = ['photo.jpg']

with open(os.path.join(HERE, 'names.txt'), 'w', encoding='utf-8') as f:
    for k in sorted(names):
        f.write(k + '\t' + '|'.join(names[k]) + '\n')
