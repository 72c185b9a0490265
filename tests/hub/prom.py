#!/usr/bin/env python3
"""Asks a Prometheus server's HTTP API for an instant query and prints one
line per series: the instance label and the value. With --alerts, prints the
alerts of that name from /api/v1/alerts: instance, state, and the reading's
name (or label).

  prom.py URL QUERY
  prom.py --alerts URL ALERTNAME
"""
import json
import sys
import urllib.parse
import urllib.request


def ask(route):
    try:
        return json.load(urllib.request.urlopen(sys.argv[-2] + route, timeout=10))['data']
    except OSError as error:
        sys.exit('prometheus: %s' % error)


if sys.argv[1] == '--alerts':
    for alert in ask('/api/v1/alerts')['alerts']:
        labels = alert['labels']
        if labels.get('alertname') == sys.argv[-1]:
            print(labels.get('instance', '-'), alert['state'], labels.get('name', labels.get('label', '-')))
else:
    for series in ask('/api/v1/query?' + urllib.parse.urlencode({'query': sys.argv[-1]}))['result']:
        print(series['metric'].get('instance', '-'), series['value'][1])
