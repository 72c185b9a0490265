#!/usr/bin/env python3
"""CPU and memory of telvane-hub polling T Telvanes of N readings each while
a scraper asks for /metrics every E seconds, as Prometheus would. The Telvanes
are protocol-true stand-ins (tests/hub/hubrig.py), answering every request on
a 1 s tick. CPU is the hub's own CPU time over wall time, so other programs on
the machine weigh on it only through shared caches; the /metrics time is the
scraper's wall time per fetch (each fetch finds a new rendering due), so it
does feel a loaded machine. Prints tab-separated lines:
"figure<TAB>workload<TAB>value<TAB>unit".

  hub.py BUILD_DIR [--telvanes T] [--readings N] [--every E] [--seconds S]
"""
import argparse
import os
import sys
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'hub'))
from hubrig import (StandInTelvane, cpu_seconds, peak_resident_kib, resident_kib, start_hub, stop,  # noqa: E402
                    worker_cpu_seconds)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('build')
    parser.add_argument('--telvanes', type=int, default=2)
    parser.add_argument('--readings', type=int, default=1000)
    parser.add_argument('--every', type=float, default=1.0, help='seconds between two scrapes')
    parser.add_argument('--seconds', type=int, default=60)
    args = parser.parse_args()
    telvanes = [StandInTelvane('telvane%d' % i, args.readings) for i in range(args.telvanes)]
    for telvane in telvanes:
        telvane.start()
    hub, url = start_hub(os.path.join(args.build, 'telvane-hub'), telvanes)
    fetch_ms = []
    try:
        def scrape_for(seconds):
            end = time.monotonic() + seconds
            next_scrape = time.monotonic()
            while time.monotonic() < end:
                start = time.monotonic()
                urllib.request.urlopen(url + '/metrics', timeout=10).read()
                fetch_ms.append(1000 * (time.monotonic() - start))
                next_scrape += args.every
                time.sleep(max(0.0, next_scrape - time.monotonic()))

        scrape_for(10)  # the catalogues and the first rounds
        fetch_ms.clear()
        late_before = sum(t.late_ticks for t in telvanes)
        answered_before = sum(t.answered for t in telvanes)
        cpu_start = cpu_seconds(hub.pid)
        http_start = worker_cpu_seconds(hub.pid)
        scrape_for(args.seconds)
        cpu = cpu_seconds(hub.pid) - cpu_start
        answered = sum(t.answered for t in telvanes) - answered_before
        http_ms = 1000 * (worker_cpu_seconds(hub.pid) - http_start) / len(fetch_ms)
        resident = resident_kib(hub.pid)
        scrape_for(args.seconds)
        growth = resident_kib(hub.pid) - resident
        peak = peak_resident_kib(hub.pid)
        late = sum(t.late_ticks for t in telvanes) - late_before
        fetch_ms.sort()
        workload = '%d Telvanes x %d readings, /metrics scraped every %g s' % (args.telvanes, args.readings,
                                                                              args.every)
        print('hub CPU\t%s, %d s\t%.2f\t%% of one core' % (workload, args.seconds, 100 * cpu / args.seconds))
        print('hub CPU\tper 1,000 answers taken (%d answers)\t%.2f\tms' % (answered, 1e6 * cpu / max(answered, 1)))
        print('hub CPU\tat the full rate, %d answers a second\t%.2f\t%% of one core'
              % (args.telvanes * args.readings, 100 * cpu / max(answered, 1) * args.telvanes * args.readings))
        print('hub memory\tresident size after those %d s\t%.1f\tMiB' % (args.seconds, resident / 1024))
        print('hub memory\tgrowth over a further %d s\t%+.2f\tMiB' % (args.seconds, growth / 1024))
        print('hub memory\tpeak resident size of the run\t%.1f\tMiB' % (peak / 1024))
        print('hub /metrics\tCPU per fetch (HTTP threads, rendering included)\t%.1f\tms' % http_ms)
        print('hub /metrics\tmedian fetch of %d\t%.1f\tms' % (len(fetch_ms), fetch_ms[len(fetch_ms) // 2]))
        print('hub /metrics\tslowest fetch of %d\t%.1f\tms' % (len(fetch_ms), fetch_ms[-1]))
        print('hub polling\tticks without every reading asked for again\t%d\tticks' % late)
    finally:
        stop(hub)
        for telvane in telvanes:
            telvane.stop()


if __name__ == '__main__':
    main()
