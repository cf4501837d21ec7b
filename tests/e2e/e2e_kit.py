"""What the end-to-end scripts share: check() and the failures it records,
ports, zem-host started as a proxy, and the stop of what a script started."""
import os
import shutil
import socket
import subprocess
import tempfile
import time

FAILURES = []

# The engine's switch for the mail filters, as a registry file.
MAIL_REGISTRY = ('Windows Registry Editor Version 5.00\n\n'
                 '[HKEY_LOCAL_MACHINE\\Software\\MORVEX Software\\Morvex\\net]\n"enable_mail"=dword:00000001\n')


def check(cond, what):
    if not cond:
        FAILURES.append(what)
        print('FAIL:', what, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def wait_port(port, timeout=10):
    end = time.time() + timeout
    while time.time() < end:
        try:
            socket.create_connection(('127.0.0.1', port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def read_port(p):
    """The port of zem-host's first line, "listening on ADDR:PORT"."""
    line = p.stdout.readline()
    if not line.startswith('listening on '):
        p.kill()
        raise RuntimeError('zem-host did not start: ' + line)
    return int(line.rsplit(':', 1)[1])


def start_proxy(binary, upstream, work, name, policy_text='{}', mail=False):
    """zem-host as a proxy to 127.0.0.1:upstream with the policy given, its
    events in work/name.jsonl; with mail, the engine follows mail too.
    Returns the process and the port it listens on."""
    policy = os.path.join(work, name + '.json')
    with open(policy, 'w') as f:
        f.write(policy_text)
    args = [binary, 'proxy', '--listen', '127.0.0.1:0', '--upstream', '127.0.0.1:%d' % upstream, '--policy', policy]
    if mail:
        reg = os.path.join(work, 'engine.reg')
        with open(reg, 'w') as f:
            f.write(MAIL_REGISTRY)
        args += ['--registry', reg]
    args += ['--events', os.path.join(work, name + '.jsonl'), '--threads', '2']
    p = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    return p, read_port(p)


def start_nginx(work, servers, tls_ports=()):
    """nginx in the foreground with its state under 'work', one server per
    (port, directives) pair on 127.0.0.1 (TLS on tls_ports, whose directives
    name the certificate); the process once every port answers, else None
    (nginx missing or not started)."""
    nginx = shutil.which('nginx') or '/usr/sbin/nginx'
    if not os.path.exists(nginx):
        return None
    blocks = ''.join('  server { listen 127.0.0.1:%d%s; %s }\n' % (port, ' ssl' if port in tls_ports else '', body)
                     for port, body in servers)
    conf = os.path.join(work, 'nginx.conf')
    with open(conf, 'w') as f:
        # As root, workers stay root so that they may write under 'work'.
        f.write('daemon off; %s pid %s/nginx.pid; error_log %s/error.log;\n'
                'events { worker_connections 256; }\n'
                'http { access_log off; client_body_temp_path %s/body; proxy_temp_path %s/proxy;\n'
                '  fastcgi_temp_path %s/fcgi; uwsgi_temp_path %s/uwsgi; scgi_temp_path %s/scgi;\n'
                '  types { text/html html; text/plain txt; image/png png; application/octet-stream bin; }\n%s}\n'
                % (('user root;' if os.geteuid() == 0 else ''), work, work, work, work, work, work, work, blocks))
    p = subprocess.Popen([nginx, '-p', work, '-c', conf], stderr=subprocess.DEVNULL)
    for port, _ in servers:
        if not wait_port(port):
            p.kill()
            return None
    return p


def run_chromium(chromium, work, *args, env=None):
    """Headless Chromium with a fresh profile under 'work' and the options
    given; the finished process, its output captured as text."""
    profile = tempfile.mkdtemp(dir=work)
    return subprocess.run([chromium, '--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
                           '--user-data-dir=' + profile, *args], capture_output=True, text=True, timeout=120, env=env)


def stop_all(procs):
    for p in procs:
        p.terminate()
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()


def report():
    """Prints the count of failed checks; the exit status."""
    print('%d failed checks' % len(FAILURES))
    return 1 if FAILURES else 0
