#!/usr/bin/env python3
"""CPU and memory of telvane-hub polling two Telvanes of N readings each while
a scraper asks for /metrics every second, as Prometheus would. The Telvanes are
protocol-true stand-ins (tests/hub/hubrig.py), answering every request on a
1 s tick. Prints tab-separated lines: "figure<TAB>workload<TAB>value<TAB>unit".

  hub.py BUILD_DIR [--readings N] [--seconds S]
"""
import argparse
import os
import sys
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'hub'))
from hubrig import StandInTelvane, cpu_seconds, resident_kib, start_hub, stop  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('build')
    parser.add_argument('--readings', type=int, default=1000)
    parser.add_argument('--seconds', type=int, default=60)
    args = parser.parse_args()
    telvanes = [StandInTelvane('alpha', args.readings), StandInTelvane('beta', args.readings)]
    for telvane in telvanes:
        telvane.start()
    hub, url = start_hub(os.path.join(args.build, 'telvane-hub'), telvanes)
    try:
        def scrape_for(seconds):
            end = time.monotonic() + seconds
            next_scrape = time.monotonic()
            while time.monotonic() < end:
                urllib.request.urlopen(url + '/metrics', timeout=10).read()
                next_scrape += 1
                time.sleep(max(0.0, next_scrape - time.monotonic()))

        scrape_for(10)  # the catalogues and the first rounds
        cpu_start = cpu_seconds(hub.pid)
        scrape_for(args.seconds)
        cpu = cpu_seconds(hub.pid) - cpu_start
        resident = resident_kib(hub.pid)
        scrape_for(args.seconds)
        growth = resident_kib(hub.pid) - resident
        late = sum(t.late_ticks for t in telvanes)
        workload = '2 Telvanes x %d readings, /metrics scraped every second' % args.readings
        print('hub CPU\t%s, %d s\t%.2f\t%% of one core' % (workload, args.seconds, 100 * cpu / args.seconds))
        print('hub memory\tresident size after those %d s\t%.1f\tMiB' % (args.seconds, resident / 1024))
        print('hub memory\tgrowth over a further %d s\t%+.2f\tMiB' % (args.seconds, growth / 1024))
        print('hub polling\tticks without every reading asked for again\t%d\tticks' % late)
    finally:
        stop(hub)
        for telvane in telvanes:
            telvane.stop()


if __name__ == '__main__':
    main()
