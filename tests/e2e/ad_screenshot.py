#!/usr/bin/env python3
"""The demo's advertisement page through zem-host, in headless Chromium.

The filter replaces the page's two advertisement images by the host's
replacement image. A screenshot of the page must show nothing where they
stood: between the heading and the red photo further down only the three
text lines leave ink, and the strips where the advertisements stood are page
background (no broken-image frame). As a check of the check, the same page
through a proxy whose policy names a plain file for the replacement image
(the engine writes it as a file: address, which browsers refuse on http:
pages) must show the two frames.

usage: ad_screenshot.py ZEM_HOST_BINARY [COPY.png]
Exit status 0 when every check holds, 77 when Chromium is not installed."""
import os
import shutil
import subprocess
import sys
import tempfile
from e2e_kit import FAILURES, check, read_port, run_chromium, stop_all  # noqa: E402


def demo_site_port(p):
    for _ in range(5):
        line = p.stdout.readline()
        if line.startswith('demo site:'):
            return int(line.rstrip().rstrip('/').rsplit(':', 1)[1])
    raise RuntimeError('zem-host demo did not name its site')


def screenshot(chromium, url, png, work):
    run_chromium(chromium, work, '--hide-scrollbars', '--window-size=800,600', '--virtual-time-budget=5000',
                 '--screenshot=' + png, url)
    return os.path.exists(png)


def ink_bands(png):
    """Runs of pixel rows that hold anything but the page background, each
    with whether it holds the red of the demo's photo."""
    from PIL import Image
    img = Image.open(png).convert('RGB')
    w, h = img.size
    px = img.load()
    background = px[w - 1, h - 1]
    bands = []
    inside = False
    for y in range(h):
        row = [px[x, y] for x in range(w)]
        ink = any(max(abs(a - b) for a, b in zip(c, background)) > 24 for c in row)
        red = any(r > 200 and g < 60 and b < 60 for r, g, b in row)
        if ink and not inside:
            bands.append([y, y, red])
        elif ink:
            bands[-1][1] = y
            bands[-1][2] = bands[-1][2] or red
        inside = ink
    return bands


def lines_before_photo(bands):
    for k, (_, _, red) in enumerate(bands):
        if red:
            return k
    return None


def main():
    binary = sys.argv[1]
    copy_to = sys.argv[2] if len(sys.argv) > 2 else None
    chromium = shutil.which('chromium') or shutil.which('chromium-browser')
    if not chromium:
        print('SKIP: chromium is not installed (scripts/setup.sh installs it)')
        return 77
    work = tempfile.mkdtemp(prefix='zem-ad-shot-')
    procs = []
    try:
        demo = subprocess.Popen([binary, 'demo', '--port', '0', '--mail-port', '0', '--threads', '2'], stdout=subprocess.PIPE, text=True)
        procs.append(demo)
        filtered = read_port(demo)
        site = demo_site_port(demo)

        policy = os.path.join(work, 'plain-path.json')
        with open(policy, 'w') as f:
            f.write('{"default": {"idx_ads_by_link": "block"}, "ads": {"keywords": ["/ads/", "adserver", "banner"]},'
                    ' "replacement_image": "/nonexistent/transparent.gif"}')
        plain = subprocess.Popen([binary, 'proxy', '--listen', '127.0.0.1:0', '--upstream', '127.0.0.1:%d' % site,
                                  '--policy', policy, '--threads', '2'], stdout=subprocess.PIPE, text=True)
        procs.append(plain)
        plain_port = read_port(plain)

        shot = os.path.join(work, 'ads.png')
        check(screenshot(chromium, 'http://127.0.0.1:%d/ads.html' % filtered, shot, work),
              'Chromium took no screenshot of the filtered page')
        if os.path.exists(shot):
            bands = ink_bands(shot)
            k = lines_before_photo(bands)
            # Heading, the line before the first advertisement, the line
            # before the second, the line before the photo.
            check(k == 4, 'ink above the photo: %s bands %s (the heading and three lines expected)' % (k, bands))
            if k == 4:
                for first, second in ((1, 2), (2, 3)):
                    gap = bands[second][0] - bands[first][1] - 1
                    check(gap > 16, 'room for the advertisement between lines %d and %d: %d rows' % (first, second, gap))
            if copy_to:
                shutil.copyfile(shot, copy_to)

        refused = os.path.join(work, 'refused.png')
        check(screenshot(chromium, 'http://127.0.0.1:%d/ads.html' % plain_port, refused, work),
              'Chromium took no screenshot of the page with file: images')
        if os.path.exists(refused):
            k = lines_before_photo(ink_bands(refused))
            check(k is not None and k >= 6, 'the refused file: images show as frames (%s bands above the photo)' % k)
    finally:
        stop_all(procs)
        shutil.rmtree(work, ignore_errors=True)
    if FAILURES:
        print('%d check(s) failed' % len(FAILURES))
        return 1
    print('all checks passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
