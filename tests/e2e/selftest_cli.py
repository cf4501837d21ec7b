#!/usr/bin/env python3
"""zem-host selftest, the engine's exported self-test, as a person or a script
runs it: over the project's samples it passes and prints the engine's account;
with standard input a pipe that never ends, or /dev/null, it does not wait for
a key; on a terminal it waits for one; a folder without samples fails.

usage: selftest_cli.py ZEM_HOST SAMPLES_DIR"""
import os
import pty
import select
import subprocess
import sys
import tempfile
import time

HOST, SAMPLES = sys.argv[1], sys.argv[2]
LIMIT = 120  # a run that waits for a key never ends: this is the hang detector


def check(cond, what):
    if not cond:
        print('FAIL:', what)
        sys.exit(1)


def run(args, stdin):
    p = subprocess.run([HOST, 'selftest'] + args, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=LIMIT)
    return p.returncode, p.stdout.decode('latin-1')


# A pipe whose writing end stays open for the whole run.
r, w = os.pipe()
try:
    rc, out = run([SAMPLES], r)
finally:
    os.close(r)
    os.close(w)
check(rc == 0, 'samples pass with a pipe on stdin (rc %d)\n%s' % (rc, out))
for line in ('Running simple unit tests\n', "Testing unit 'Test HTML'...", ' ---- HTTP unit test ----\n',
             'Unit test: Ok!\n', ' ---- POP3 stress test ----\n', 'Stress test: Ok!\n', 'Summary Done.\n'):
    check(line in out, 'the engine logged %r' % line)
check(out.rstrip().endswith('self-test passed'), 'the verdict is printed last')

# The folder from the environment, standard input /dev/null, nothing printed
# but the verdict.
env = dict(os.environ, ZEM_SELFTEST_DIR=SAMPLES)
p = subprocess.run([HOST, 'selftest', '--quiet'], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, env=env,
                   timeout=LIMIT)
check(p.returncode == 0 and p.stdout == b'self-test passed\n', 'quiet run: %r' % p.stdout)

with tempfile.TemporaryDirectory() as empty:
    rc, out = run([empty], subprocess.DEVNULL)
    check(rc == 1 and out.rstrip().endswith('self-test FAILED'), 'a folder without samples fails (rc %d)' % rc)
    check('Failed to FindFirstFileA for: ' in out, 'the missing folders are named')
    check('Summary Done.\n' in out, 'the summary comes all the same')

# On a terminal the engine waits for one key after the summary.
pid, fd = pty.fork()
if pid == 0:
    os.execv(HOST, [HOST, 'selftest', SAMPLES])
seen, deadline = b'', time.time() + LIMIT
while b'Summary Done.' not in seen and time.time() < deadline:
    if select.select([fd], [], [], 1)[0]:
        try:
            seen += os.read(fd, 4096)
        except OSError:
            break
check(b'Summary Done.' in seen, 'the summary comes first')
time.sleep(0.5)
# The verdict is printed after the wait, so it has not come yet.
if select.select([fd], [], [], 0)[0]:
    seen += os.read(fd, 4096)
check(b'self-test passed' not in seen, 'no verdict before the key')
done, status = os.waitpid(pid, os.WNOHANG)
check(done == 0, 'still waiting for a key')
os.write(fd, b'x')
deadline = time.time() + LIMIT
while time.time() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if select.select([fd], [], [], 0.2)[0]:
        try:
            seen += os.read(fd, 4096)
        except OSError:
            pass
check(done == pid and os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, 'ends after the key, passing')
print('selftest_cli: ok')
