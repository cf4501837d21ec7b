#!/usr/bin/env python3
"""zem-host's status page in headless Chromium, after Chromium browsed the
demo site through the filter: the page renders without script errors, and
its counts of requests and of blocked objects by kind are those of the event
log written in the same run.

usage: status_page.py ZEM_HOST_BINARY [COPY.png]
Exit status 0 when every check holds, 77 when Chromium is not installed."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

from e2e_kit import check, read_port, report, run_chromium, stop_all

PAGES = ['/ads.html', '/banners.html', '/popup.html', '/frames.html', '/stopword.html', '/cookie.html', '/gzip.html']
# How the page groups the engine's permission names (a few share a kind).
KIND = {'idx_ads_by_link': 'ads_by_link', 'idx_ads_by_size': 'ads_by_size', 'idx_popups': 'popups',
        'idx_hidden_frames': 'hidden_frames', 'idx_jscript': 'scripts', 'idx_vbscript': 'scripts',
        'idx_cookies': 'cookies', 'idx_host_enable': 'hosts'}


def chromium_run(chromium, work, *args):
    """Chromium with its console messages on standard error."""
    return run_chromium(chromium, work, '--enable-logging=stderr', '--v=0', *args)


def expected_counts(events_path):
    requests, kinds = 0, {}
    with open(events_path) as f:
        for line in f:
            e = json.loads(line)
            if e.get('event') == 'http_notify_request':
                requests += 1
            elif e.get('event') == 'general_notify_stopword_blocked':
                kinds['stop_words'] = kinds.get('stop_words', 0) + 1
            elif e.get('event') == 'general_notify_object_blocked':
                k = KIND.get(e.get('index_name'), 'other')
                kinds[k] = kinds.get(k, 0) + 1
    return requests, kinds


def wait_quiet(path, quiet=1.0, limit=15):
    """Waits until the event log has not grown for 'quiet' seconds."""
    end = time.time() + limit
    size = -1
    while time.time() < end:
        now = os.path.getsize(path) if os.path.exists(path) else 0
        if now == size:
            return
        size = now
        time.sleep(quiet)


def main():
    binary = sys.argv[1]
    copy_to = sys.argv[2] if len(sys.argv) > 2 else None
    chromium = shutil.which('chromium') or shutil.which('chromium-browser')
    if not chromium:
        print('SKIP: chromium is not installed (scripts/setup.sh installs it)')
        return 77
    work = tempfile.mkdtemp(prefix='zem-status-')
    events = os.path.join(work, 'events.jsonl')
    demo = subprocess.Popen([binary, 'demo', '--port', '0', '--mail-port', '0', '--threads', '2', '--events', events,
                             '--status', '127.0.0.1:0'], stdout=subprocess.PIPE, text=True)
    try:
        proxy = read_port(demo)
        line = demo.stdout.readline()
        check(line.startswith('status page: http://127.0.0.1:'), 'the status page is announced: ' + line)
        status = line.split()[-1]

        for page in PAGES:
            chromium_run(chromium, work, '--virtual-time-budget=3000', '--dump-dom',
                         'http://127.0.0.1:%d%s' % (proxy, page))
        wait_quiet(events)
        requests, kinds = expected_counts(events)
        check(requests >= len(PAGES), 'the browsing session made requests (%d)' % requests)
        check(kinds.get('ads_by_link', 0) > 0 and kinds.get('popups', 0) > 0 and kinds.get('hidden_frames', 0) > 0,
              'the session blocked advertisements, pop-ups and a hidden frame: %s' % kinds)

        # The board's own numbers, then the page drawn from them.
        with urllib.request.urlopen(status + 'status.json', timeout=10) as r:
            board = json.load(r)
        check(board['requests'] == requests, 'status.json requests %s, event log %d' % (board['requests'], requests))
        for k, n in kinds.items():
            check(board['by_kind'].get(k) == n, 'status.json %s: %s, event log %d' % (k, board['by_kind'].get(k), n))
        check(board['blocked'] == sum(kinds.values()), 'status.json blocked %s' % board['blocked'])

        got = chromium_run(chromium, work, '--virtual-time-budget=4000', '--dump-dom', status)
        dom = got.stdout
        check('data-updated=' in dom, 'the page drew the board')
        check('data-errors=' not in dom, 'the page raised no script error')
        console = [ln for ln in got.stderr.splitlines() if 'CONSOLE' in ln or 'Uncaught' in ln]
        check(not console, 'no console messages: %s' % console[:3])

        def shown(ident):
            m = re.search(r'id="%s"[^>]*>(\d+)<' % re.escape(ident), dom)
            return int(m.group(1)) if m else None

        check(shown('requests') == requests, 'page requests %s, event log %d' % (shown('requests'), requests))
        check(shown('blocked') == sum(kinds.values()), 'page blocked %s' % shown('blocked'))
        for k, n in kinds.items():
            check(shown('kind-' + k) == n, 'page %s: %s, event log %d' % (k, shown('kind-' + k), n))
        check('blocked: idx_ads_by_link' in dom, 'the last events name a blocked advertisement')

        if copy_to:
            shot = os.path.join(work, 'status.png')
            chromium_run(chromium, work, '--virtual-time-budget=4000', '--hide-scrollbars', '--window-size=1200,1000',
                         '--screenshot=' + shot, status)
            check(os.path.exists(shot), 'Chromium took a screenshot of the status page')
            if os.path.exists(shot):
                shutil.copyfile(shot, copy_to)
    finally:
        stop_all([demo])
        shutil.rmtree(work, ignore_errors=True)
    return report()


if __name__ == '__main__':
    sys.exit(main())
