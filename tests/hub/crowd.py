#!/usr/bin/env python3
"""A crowd at the hub's door while an honest scraper asks for /metrics every
second from an address of its own; holds when every scrape is answered within
1 s, the hub keeps polling both stand-in Telvanes on time, and (slow) its
resident size stays under 64 MiB.

  slow:  1,000 connections from 127.0.0.2 trickling a header line every 2 s,
         and idle ones from 127.0.0.3-16 (64 each), each made again when closed;
  pages: 1,000 open pages from 127.0.0.2-17 asking /api/readings every second
         on kept-alive connections.

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

PAGE_REQUEST = b'GET /api/readings HTTP/1.1\r\nHost: hub\r\n\r\n'


class Crowd(multiprocessing.Process):
    """Every crowd connection on one selector, in a process of its own so that
    the scraper never waits for it; `plan` is (address, kind) per connection."""

    def __init__(self, port, plan):
        super().__init__(daemon=True)
        self.port, self.plan = port, plan
        self.stopping = multiprocessing.Event()
        self.answers = multiprocessing.Value('L', 0)

    def open(self, index):
        address, kind = self.plan[index]
        sock = socket.socket()
        sock.setblocking(False)
        sock.bind((address, 0))
        sock.connect_ex(('127.0.0.1', self.port))
        first = {'trickle': b'GET /metrics HTTP/1.1\r\n', 'page': PAGE_REQUEST}.get(kind, b'')
        self.selector.register(sock, selectors.EVENT_READ, [index, b'', time.monotonic() + 2, first])

    def run(self):
        self.selector = selectors.DefaultSelector()
        for index in range(len(self.plan)):
            self.open(index)
        while not self.stopping.is_set():
            now = time.monotonic()
            for key, _ in self.selector.select(0.1):
                state = key.data
                try:
                    data = key.fileobj.recv(1 << 16)
                except OSError:
                    data = b''
                if not data:
                    self.selector.unregister(key.fileobj)
                    key.fileobj.close()
                    self.open(state[0])
                    continue
                state[1] += data
                while b'\r\n\r\n' in state[1]:
                    head, _, rest = state[1].partition(b'\r\n\r\n')
                    length = int(head.lower().split(b'content-length: ')[1].split(b'\r\n')[0])
                    if len(rest) < length:
                        break
                    state[1] = rest[length:]
                    self.answers.value += 1
                    state[2], state[3] = now + 1, PAGE_REQUEST
            for key in list(self.selector.get_map().values()):
                state = key.data
                if state[3] and now >= state[2] - 2:
                    try:
                        key.fileobj.send(state[3])
                    except OSError:
                        pass
                    kind = self.plan[state[0]][1]
                    state[3] = b'X-Slow: 1\r\n' if kind == 'trickle' else b''
                    state[2] = now + 2 if kind == 'trickle' else state[2]


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
        plan = [('127.0.0.2', 'trickle')] * 1000
        plan += [('127.0.0.%d' % (3 + i // 64), 'idle') for i in range(14 * 64)]
    else:
        plan = [('127.0.0.%d' % (2 + i % 16), 'page') for i in range(1000)]
    telvanes = [StandInTelvane('alpha', args.readings), StandInTelvane('beta', args.readings)]
    for telvane in telvanes:
        telvane.start()
    hub, url = start_hub(args.hub, telvanes)
    port = int(url.rsplit(':', 1)[1])
    failures, slowest, peak = [], 0.0, 0
    try:
        time.sleep(3)
        late_before = [t.late_ticks for t in telvanes]
        crowd = Crowd(port, plan)
        crowd.start()
        time.sleep(3)  # the crowd at the door
        for _ in range(args.seconds):
            begun = time.monotonic()
            try:
                scraper = http.client.HTTPConnection('127.0.0.1', port, timeout=5, source_address=('127.0.0.200', 0))
                scraper.request('GET', '/metrics')
                response = scraper.getresponse()
                if response.status != 200 or b'telvane_up{' not in response.read():
                    failures.append('a scrape got %d' % response.status)
                scraper.close()
            except (OSError, http.client.HTTPException) as error:
                failures.append('a scrape failed: %s' % error)
            took = time.monotonic() - begun
            slowest = max(slowest, took)
            peak = max(peak, resident_kib(hub.pid))
            time.sleep(max(0.0, 1 - took))
        crowd.stopping.set()
        late = [t.late_ticks - b for t, b in zip(telvanes, late_before)]
        print('%s: %d scrapes, slowest %.3f s; crowd answers %d; upstream late ticks %s; peak resident %.1f MiB'
              % (args.mode, args.seconds, slowest, crowd.answers.value, late, peak / 1024))
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
