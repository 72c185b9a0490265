#!/usr/bin/env python3
"""The hub publishing to MQTT for Home Assistant: the message rate the broker
receives and the hub's CPU, with T stand-in Telvanes of N readings (answering
on a 1 s tick, every value new each tick) and a given interval. Runs Debian's
mosquitto on a free loopback port and counts, with mosquitto_sub, every
message after the first configs. CPU is the hub's CPU time over wall time.
Prints tab-separated lines: "figure<TAB>workload<TAB>value<TAB>unit".

  mqtt.py BUILD_DIR [--telvanes T] [--readings N] [--interval I] [--seconds S]
  (--interval 0: the same hub without MQTT, for comparison)
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'hub'))
from hubrig import StandInTelvane, cpu_seconds, free_port, start_hub, stop  # noqa: E402


def lines(path):
    with open(path, 'rb') as counted:
        return counted.read().count(b'\n')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('build')
    parser.add_argument('--telvanes', type=int, default=2)
    parser.add_argument('--readings', type=int, default=1000)
    parser.add_argument('--interval', type=int, default=1)
    parser.add_argument('--seconds', type=int, default=60)
    args = parser.parse_args()
    work = tempfile.mkdtemp()
    port = free_port()
    broker = subprocess.Popen(['mosquitto', '-p', str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    counted = os.path.join(work, 'messages')
    with open(counted, 'wb') as out:
        listener = subprocess.Popen(['mosquitto_sub', '-p', str(port), '-t', '#', '-F', '%t'], stdout=out)
    telvanes = [StandInTelvane('telvane%d' % i, args.readings) for i in range(args.telvanes)]
    for telvane in telvanes:
        telvane.start()
    config = os.path.join(work, 'hub.yaml')
    with open(config, 'w') as text:
        if args.interval > 0:
            text.write('mqtt: {broker: "mqtt://127.0.0.1:%d", interval: %d}\n' % (port, args.interval))
    hub, _ = start_hub(os.path.join(args.build, 'telvane-hub'), telvanes, ['--config', config])
    try:
        time.sleep(10 + args.interval)  # the catalogues, the configs and the first states
        before, cpu_start = lines(counted), cpu_seconds(hub.pid)
        time.sleep(args.seconds)
        cpu = cpu_seconds(hub.pid) - cpu_start
        rate = (lines(counted) - before) / args.seconds
        workload = '%d Telvanes x %d readings, interval %d s, %d s' % (args.telvanes, args.readings, args.interval,
                                                                      args.seconds)
        print('hub MQTT\tmessages a second at the broker, %s\t%.0f\tmessages/s' % (workload, rate))
        print('hub MQTT\thub CPU, %s\t%.2f\t%% of one core' % (workload, 100 * cpu / args.seconds))
    finally:
        stop(hub)
        for process in (listener, broker):
            process.terminate()
            process.wait(10)
        for telvane in telvanes:
            telvane.stop()


if __name__ == '__main__':
    main()
