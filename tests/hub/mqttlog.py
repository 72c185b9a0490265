#!/usr/bin/env python3
"""Checks on what mosquitto_sub -F '@s.@N %t %p' wrote (arrival time, topic, payload):
  mqttlog.py configs LOG INTERVAL ID=COUNT... [--named NAME]... [--absent NAME]...
  mqttlog.py intervals LOG INTERVAL
"""
import json
import statistics
import sys


def messages(log):
    with open(log, encoding='utf-8', errors='replace') as lines:
        for line in lines:
            parts = line.rstrip('\n').split(' ', 2)
            if len(parts) == 3:
                yield float(parts[0]), parts[1], parts[2]


def check_sensor(topic, config, interval, wanted_ids):
    prefix, kind, node, hash_, last = topic.split('/')
    computer = node[len('telvane_'):]
    assert (prefix, kind, last) == ('homeassistant', 'sensor', 'config') and computer in wanted_ids, topic
    device = config['device']
    assert device['identifiers'] == ['telvane_' + computer], device
    assert device['name'] == computer.rsplit('_', 1)[0].replace('_', '.'), device
    assert (device['manufacturer'], device['model']) == ('Telvane', 'Sensor relay'), device
    assert device['sw_version'] and config['origin']['name'] == 'telvane-hub', config
    assert config['unique_id'] == 'telvane_%s_%s' % (computer, hash_), config
    assert config['state_topic'] == 'telvane/%s/%s/state' % (computer, hash_), config
    assert config['availability'] == [{'topic': 'telvane/hub/status'}, {'topic': 'telvane/%s/status' % computer}]
    assert config['availability_mode'] == 'all' and config['expire_after'] == 3 * interval, config
    assert config['state_class'] in ('measurement', 'total') and config['name'], config
    assert isinstance(config['suggested_display_precision'], int), config
    if config.get('unit_of_measurement') == '°C':
        assert config['device_class'] == 'temperature', config
    return computer


def configs(log, interval, wanted, named, absent):
    latest = {}
    for _, topic, payload in messages(log):
        if topic.endswith('/config'):
            latest[topic] = payload
    counts, names = {}, set()
    for topic, payload in latest.items():
        if payload:
            config = json.loads(payload)
            computer = check_sensor(topic, config, interval, wanted)
            counts[computer] = counts.get(computer, 0) + 1
            names.add(config['name'])
    assert counts == wanted, 'sensors per computer %s, not %s' % (counts, wanted)
    assert all(name in names for name in named), 'no sensor named %s' % named
    assert not any(name in names for name in absent), 'a sensor named %s' % absent


def intervals(log, interval):
    times = {}
    for when, topic, _ in messages(log):
        if topic.endswith('/state'):
            times.setdefault(topic, []).append(when)
    gaps = [b - a for series in times.values() for a, b in zip(series, series[1:])]
    assert len(gaps) >= len(times) >= 1, 'too few states: %d readings' % len(times)
    median = statistics.median(gaps)
    assert 0.8 * interval <= median <= 1.5 * interval + 0.5, 'states %.2f s apart, not %d s' % (median, interval)
    print('%d readings, states a median %.2f s apart' % (len(times), median))


def main(argv):
    try:
        if argv[1] == 'configs':
            wanted = dict((k, int(v)) for k, v in (a.split('=') for a in argv[4:] if not a.startswith('-') and '=' in a))
            named = [argv[i + 1] for i, o in enumerate(argv) if o == '--named']
            absent = [argv[i + 1] for i, o in enumerate(argv) if o == '--absent']
            configs(argv[2], int(argv[3]), wanted, named, absent)
        else:
            intervals(argv[2], int(argv[3]))
    except (AssertionError, KeyError, ValueError) as problem:
        print('%s: %r' % (argv[1], problem))
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
