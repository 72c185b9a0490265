#!/usr/bin/env python3
"""A crowd at the hub's door while a scraper asks for /metrics every second from
an address of its own. Holds when every scrape is answered within 1 s, both
stand-in Telvanes are polled on time, and (slow) the hub stays under 64 MiB.
  slow:  1,000 connections from 127.0.0.2 trickling a header line every 2 s,
         and 64 idle ones from each of 127.0.0.3-16, each made again when closed;
  pages: 1,000 pages from 127.0.0.2-17 asking /api/readings every second.

  crowd.py TELVANE_HUB slow|pages [--seconds S] [--readings N] [--no-memory-checks]
"""
import argparse
import http.client
import multiprocessing
import resource
import selectors
import socket
import sys
import time

from hubrig import StandInTelvane, resident_kib, start_hub, stop

PAGE = b'GET /api/readings HTTP/1.1\r\nHost: hub\r\n\r\n'
FIRST = {'trickle': b'GET /metrics HTTP/1.1\r\n', 'page': PAGE, 'idle': b''}
LATER = {'trickle': b'X-Slow: 1\r\n', 'page': b'', 'idle': b''}


def crowd(port, plan, stopping, answers):
    """Every crowd connection on one selector, in a process of its own."""
    selector = selectors.DefaultSelector()

    def connect(index):
        sock = socket.socket()
        sock.setblocking(False)
        sock.bind((plan[index][0], 0))
        sock.connect_ex(('127.0.0.1', port))
        # [index, bytes received, when to send, what to send]
        selector.register(sock, selectors.EVENT_READ, [index, b'', time.monotonic() + 0.5, FIRST[plan[index][1]]])

    for index in range(len(plan)):
        connect(index)
    while not stopping.is_set():
        now = time.monotonic()
        for key, _ in selector.select(0.1):
            state = key.data
            try:
                data = key.fileobj.recv(1 << 16)
            except OSError:
                data = b''
            if not data:
                selector.unregister(key.fileobj)
                key.fileobj.close()
                connect(state[0])
                continue
            state[1] += data
            while b'\r\n\r\n' in state[1]:
                head, _, rest = state[1].partition(b'\r\n\r\n')
                length = int(head.lower().split(b'content-length: ')[1].split(b'\r\n')[0])
                if len(rest) < length:
                    break
                state[1], state[2], state[3] = rest[length:], now + 1, PAGE
                answers.value += 1
        for key in list(selector.get_map().values()):
            state = key.data
            if state[3] and now >= state[2]:
                try:
                    key.fileobj.send(state[3])
                except OSError:
                    pass
                state[2], state[3] = now + 2, LATER[plan[state[0]][1]]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('hub')
    parser.add_argument('mode', choices=['slow', 'pages'])
    parser.add_argument('--seconds', type=int, default=15)
    parser.add_argument('--readings', type=int, default=200)
    parser.add_argument('--no-memory-checks', action='store_true')
    args = parser.parse_args()
    resource.setrlimit(resource.RLIMIT_NOFILE, (8192, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    if args.mode == 'slow':
        plan = [('127.0.0.2', 'trickle')] * 1000 + [('127.0.0.%d' % (3 + i // 64), 'idle') for i in range(14 * 64)]
    else:
        plan = [('127.0.0.%d' % (2 + i % 16), 'page') for i in range(1000)]
    telvanes = [StandInTelvane('alpha', args.readings), StandInTelvane('beta', args.readings)]
    for telvane in telvanes:
        telvane.start()
    hub, url = start_hub(args.hub, telvanes)
    failures, slowest, peak = [], 0.0, 0
    stopping, answers = multiprocessing.Event(), multiprocessing.Value('L', 0)
    try:
        time.sleep(3)
        late_before = [t.late_ticks for t in telvanes]
        multiprocessing.Process(target=crowd, args=(int(url.rsplit(':', 1)[1]), plan, stopping, answers),
                                daemon=True).start()
        time.sleep(3)  # the crowd at the door
        for _ in range(args.seconds):
            begun = time.monotonic()
            try:
                scraper = http.client.HTTPConnection(url[7:], timeout=5, source_address=('127.0.0.200', 0))
                scraper.request('GET', '/metrics')
                response = scraper.getresponse()
                if response.status != 200 or b'telvane_up{' not in response.read():
                    failures.append('a scrape got %d' % response.status)
                scraper.close()
            except (OSError, http.client.HTTPException) as error:
                failures.append('a scrape failed: %s' % error)
            slowest = max(slowest, time.monotonic() - begun)
            peak = max(peak, resident_kib(hub.pid))
            time.sleep(max(0.0, begun + 1 - time.monotonic()))
        stopping.set()
        late = [t.late_ticks - b for t, b in zip(telvanes, late_before)]
        print('%s: %d scrapes, slowest %.3f s; crowd answers %d; upstream late ticks %s; peak resident %.1f MiB'
              % (args.mode, args.seconds, slowest, answers.value, late, peak / 1024))
        if slowest > 1:
            failures.append('a scrape took %.2f s' % slowest)
        if any(late):
            failures.append('the hub fell behind polling the Telvanes: %s' % late)
        if args.mode == 'slow' and not args.no_memory_checks and peak > 64 * 1024:
            failures.append('resident size %.1f MiB' % (peak / 1024))
    finally:
        stop(hub)
        for telvane in telvanes:
            telvane.stop()
    for failure in failures:
        print('FAIL: ' + failure)
    print('PASS' if not failures else 'FAILED')
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
