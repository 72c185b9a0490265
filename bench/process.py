#!/usr/bin/env python3
"""CPU and memory of the whole telvane process.

Busy client: starts `telvane-publish --demo --readings N` and telvane (product
section and port, offscreen platform, refresh interval 1 s), then a client on
loopback that asks for every reading again after each reply. Measures
telvane's CPU time over the first period (as % of one core) and its resident
size after it, and the growth of the resident size over a second period.

Changing values (--changing): no client; telvane-bench-writer changes every
value every 100 ms, so that every tick finds every value new, for each of
1,000, 5,000 and 16,384 readings; telvane's CPU time over the period.

CPU is process CPU time over wall time, so other programs on the machine
weigh on it only through shared caches. Prints tab-separated lines:
"figure<TAB>workload<TAB>value<TAB>unit".

  process.py BUILD_DIR [--readings N] [--seconds S] [--changing]
"""
import argparse
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time

# The process helpers of the soak tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'soak'))
from soak import PORT, SECTION_FILE, port_listening, resident_kib, wait_until  # noqa: E402

REPLY = re.compile(rb'v2sd::([0-9a-f]{40})::.*?;', re.S)
TICKS = os.sysconf('SC_CLK_TCK')


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def busy_client(seconds, marks):
    """Asks for every reading again after each reply, for `seconds`; calls
    each of `marks` (seconds, function) once that time has passed."""
    client = socket.create_connection(('127.0.0.1', PORT))
    buffer = b''
    replies = 0
    start = time.monotonic()
    marks = sorted(marks)
    while time.monotonic() - start < seconds:
        while marks and time.monotonic() - start >= marks[0][0]:
            marks.pop(0)[1]()
        ready, _, _ = select.select([client], [], [], 0.2)
        if not ready:
            continue
        data = client.recv(1 << 16)
        if not data:
            break
        buffer += data
        asked = [m.group(1) for m in REPLY.finditer(buffer)]
        buffer = buffer[buffer.rfind(b';') + 1:]
        replies += len(asked)
        if asked:
            client.sendall(b''.join(b'v2gd::' + h + b';' for h in asked))
    client.close()
    return replies


def start_telvane(build):
    env = dict(os.environ, QT_QPA_PLATFORM='offscreen')
    # Its debug output (every log line and reply) goes where a user's would
    # when nobody reads it.
    telvane = subprocess.Popen([os.path.join(build, 'telvane')], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=env)
    if not wait_until(port_listening, 120):
        telvane.kill()
        sys.exit('telvane did not listen')
    return telvane


def stop(processes):
    for process in processes:
        if process and process.poll() is None:
            process.send_signal(signal.SIGTERM)
            process.wait(20)


def changing(args):
    for readings in (1000, 5000, 16384):
        writer = subprocess.Popen([os.path.join(args.build, 'telvane-bench-writer'), str(readings), '100'],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        telvane = None
        try:
            if not wait_until(lambda: os.path.exists(SECTION_FILE), 30):
                sys.exit('the bench writer did not start')
            telvane = start_telvane(args.build)
            time.sleep(5)  # past the first build
            start = cpu_seconds(telvane.pid)
            time.sleep(args.seconds)
            cpu = cpu_seconds(telvane.pid) - start
            print('CPU\t%d readings, every value changing each tick, no client, %d s\t%.2f\t%% of one core'
                  % (readings, args.seconds, 100 * cpu / args.seconds))
            sys.stdout.flush()
        finally:
            stop((telvane, writer))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('build')
    parser.add_argument('--readings', type=int, default=1000)
    parser.add_argument('--seconds', type=int, default=60, help='each of the two periods')
    parser.add_argument('--changing', action='store_true', help='the changing-values workload instead')
    args = parser.parse_args()
    if port_listening() or os.path.exists(SECTION_FILE):
        sys.exit('port %d or the product section is in use' % PORT)
    if args.changing:
        changing(args)
        return

    devnull = subprocess.DEVNULL
    publisher = subprocess.Popen([os.path.join(args.build, 'telvane-publish'), '--demo', '--readings',
                                  str(args.readings)], stdout=devnull, stderr=devnull)
    telvane = None
    try:
        if not wait_until(lambda: os.path.exists(SECTION_FILE), 30):
            sys.exit('the publisher did not start')
        telvane = start_telvane(args.build)
        figures = {}

        def measure(name):
            return lambda: figures.update({name: (cpu_seconds(telvane.pid), resident_kib(telvane.pid))})

        # Measured from the steady state on: the first seconds hold the
        # catalogue and the first round of requests.
        warm_up = 5
        replies = busy_client(warm_up + 2 * args.seconds + 0.5,
                              [(warm_up, measure('start')), (warm_up + args.seconds, measure('first')),
                               (warm_up + 2 * args.seconds, measure('second'))])
        cpu = figures['first'][0] - figures['start'][0]
        resident = figures['first'][1]
        growth = figures['second'][1] - resident
        workload = '%d readings, a client asking for every reading after each reply' % args.readings
        print('CPU\t%s, %d s\t%.2f\t%% of one core' % (workload, args.seconds, 100 * cpu / args.seconds))
        print('memory\tresident size after those %d s\t%.1f\tMiB' % (args.seconds, resident / 1024))
        print('memory\tgrowth over a further %d s\t%+.2f\tMiB' % (args.seconds, growth / 1024))
        print('replies\treceived by that client in %d s\t%d\treplies' % (warm_up + 2 * args.seconds, replies))
    finally:
        stop((telvane, publisher))


if __name__ == '__main__':
    main()
