#!/usr/bin/env python3
"""Many viewers: CLIENTS concurrent HTTP clients poll the hub's /metrics for
SECONDS while the hub polls two stand-in Telvanes. Holds when every client is
answered (and only with 200), the hub asks for every reading again on every
tick of both Telvanes, its answers stay fresh, and its resident size stays flat.
With a crowd at the door besides, from addresses of its own, every answer must
come within 1 s (and, slow, the hub stay under 64 MiB):
  slow:  1,000 connections from 127.0.0.2 trickling a header line every 2 s,
         and 64 idle ones from each of 127.0.0.3-16, each made again when closed;
  pages: 1,000 pages from 127.0.0.2-17 asking /api/readings every second.

  viewers.py TELVANE_HUB [--clients N] [--seconds S] [--readings N] [--crowd slow|pages]
             [--answer-within SECONDS] [--no-memory-checks]
"""
import argparse
import http.client
import json
import multiprocessing
import resource
import socket
import sys
import threading
import time
import urllib.request

from hubrig import StandInTelvane, resident_kib, start_hub, stop


def page(port, address):
    """An open page: /api/readings every second on a kept-alive connection."""
    connection = http.client.HTTPConnection('127.0.0.1', port, timeout=60, source_address=(address, 0))
    while True:
        try:
            connection.request('GET', '/api/readings')
            connection.getresponse().read()
        except (OSError, http.client.HTTPException):
            connection.close()
        time.sleep(1)


def crowd(port, kind):
    """The crowd, in a process of its own: 1,000 pages, or 1,000 connections
    trickling a header line every 2 s and idle ones, each made again when closed."""
    if kind == 'pages':
        for i in range(1000):
            threading.Thread(target=page, args=(port, '127.0.0.%d' % (2 + i % 16)), daemon=True).start()
        time.sleep(1e9)
    plan = [('127.0.0.2', b'X-Slow: 1\r\n')] * 1000 + [('127.0.0.%d' % (3 + i // 64), b'') for i in range(14 * 64)]
    sockets = [None] * len(plan)
    while True:
        for i, (address, line) in enumerate(plan):
            try:
                if sockets[i] is None or sockets[i].recv(1, socket.MSG_DONTWAIT) == b'':
                    raise OSError
                sockets[i].send(line)
            except BlockingIOError:
                sockets[i].send(line)
            except OSError:
                if sockets[i]:
                    sockets[i].close()
                sockets[i] = socket.socket()
                sockets[i].bind((address, 0))
                sockets[i].connect(('127.0.0.1', port))
                sockets[i].send(b'GET /metrics HTTP/1.1\r\n' if line else b'')
        time.sleep(2)


def viewer(port, until, counts, index, source):
    connection = None
    while time.monotonic() < until:
        try:
            if connection is None:
                connection = http.client.HTTPConnection('127.0.0.1', port, timeout=60, source_address=(source, 0))
            begun = time.monotonic()
            connection.request('GET', '/metrics')
            response = connection.getresponse()
            body = response.read()
            counts[index][3] = max(counts[index][3], time.monotonic() - begun)
            if response.status == 200 and b'telvane_reading{' in body:
                counts[index][0] += 1
            else:
                counts[index][1] += 1
        except (OSError, http.client.HTTPException):
            counts[index][2] += 1  # the server closed a kept-alive connection: connect again
            connection = None
    if connection:
        connection.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('hub', help='the telvane-hub program')
    parser.add_argument('--clients', type=int, default=200)
    parser.add_argument('--seconds', type=int, default=30)
    parser.add_argument('--readings', type=int, default=200)
    parser.add_argument('--crowd', choices=['slow', 'pages'])
    parser.add_argument('--answer-within', type=float, default=1.0)
    parser.add_argument('--no-memory-checks', action='store_true')
    args = parser.parse_args()
    resource.setrlimit(resource.RLIMIT_NOFILE, (8192, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))

    telvanes = [StandInTelvane('alpha', args.readings), StandInTelvane('beta', args.readings)]
    for telvane in telvanes:
        telvane.start()
    hub, url = start_hub(args.hub, telvanes)
    failures = []
    crowded = None
    try:
        warm_up = 5
        time.sleep(warm_up)  # the catalogue and the first rounds
        late_before = [t.late_ticks for t in telvanes]
        ticks_before = [t.ticks for t in telvanes]
        resident_before = resident_kib(hub.pid)
        port = int(url.rsplit(':', 1)[1])
        if args.crowd:
            crowded = multiprocessing.Process(target=crowd, args=(port, args.crowd), daemon=True)
            crowded.start()
            time.sleep(3)  # the crowd at the door
        until = time.monotonic() + args.seconds
        counts = [[0, 0, 0, 0.0] for _ in range(args.clients)]
        # 50 viewers an address (the hub lets 64 in from each), apart from the crowd's.
        threads = [threading.Thread(target=viewer, args=(port, until, counts, i, '127.0.0.%d' % (200 + i // 50)),
                                    daemon=True) for i in range(args.clients)]
        for thread in threads:
            thread.start()
        oldest_answer = 0.0
        while time.monotonic() < until:
            data = json.load(urllib.request.urlopen(url + '/api/readings', timeout=30))
            for computer in data['computers']:
                if computer['last_answer_age'] is None or computer['state'] != 'up':
                    failures.append('%s was %s under load' % (computer['instance'], computer['state']))
                else:
                    oldest_answer = max(oldest_answer, computer['last_answer_age'])
            time.sleep(1)
        for thread in threads:
            thread.join(90)
        resident_after = resident_kib(hub.pid)
        slowest = max(c[3] for c in counts)
        answered = sum(c[0] for c in counts)
        print('viewers: %d clients, %d answers in %d s (%.0f/s), %d reconnects, %d bad answers, slowest %.3f s'
              % (args.clients, answered, args.seconds, answered / args.seconds, sum(c[2] for c in counts),
                 sum(c[1] for c in counts), slowest))
        late = [t.late_ticks - b for t, b in zip(telvanes, late_before)]
        ticks = [t.ticks - b for t, b in zip(telvanes, ticks_before)]
        print('upstream: ticks %s, ticks without every reading asked for again %s; oldest answer seen %.2f s'
              % (ticks, late, oldest_answer))
        print('memory: resident %.1f MiB before the viewers, %.1f MiB after'
              % (resident_before / 1024, resident_after / 1024))
        if any(c[0] == 0 for c in counts):
            failures.append('%d clients got no answer' % sum(1 for c in counts if c[0] == 0))
        if any(c[1] for c in counts):
            failures.append('bad answers')
        if any(late):
            failures.append('the hub fell behind polling the Telvanes: %s' % late)
        if oldest_answer > 2.5:
            failures.append('an answer %.2f s old (the tick is 1 s)' % oldest_answer)
        if args.crowd and slowest > args.answer_within:
            failures.append('with the crowd at the door an answer took %.2f s' % slowest)
        if args.crowd == 'slow' and not args.no_memory_checks and resident_after > 64 * 1024:
            failures.append('resident size %.1f MiB with the crowd' % (resident_after / 1024))
        if not args.crowd and not args.no_memory_checks and resident_after - resident_before > 16 * 1024:
            failures.append('resident size grew by %.1f MiB' % ((resident_after - resident_before) / 1024))
    finally:
        if crowded:
            crowded.terminate()
        code = stop(hub)
        for telvane in telvanes:
            telvane.stop()
    if code != 0:
        failures.append('telvane-hub ended with %s on SIGTERM' % code)
    for failure in failures:
        print('FAIL: ' + failure)
    if not failures:
        print('PASS')
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
