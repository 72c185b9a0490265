#!/usr/bin/env python3
"""Asks a Prometheus server's HTTP API for an instant query and prints one
line per series: the instance label and the value; or, with --alerts, one
line per alert: its instance, name and state.

  prom.py URL QUERY
  prom.py URL --alerts
"""
import json
import sys
import urllib.parse
import urllib.request

url, query = sys.argv[1], sys.argv[2]
path = '/api/v1/alerts' if query == '--alerts' else '/api/v1/query?' + urllib.parse.urlencode({'query': query})
try:
    answer = json.load(urllib.request.urlopen(url + path, timeout=10))
except OSError as error:
    sys.exit('prometheus: %s' % error)
if query == '--alerts':
    for alert in answer['data']['alerts']:
        print(alert['labels'].get('instance', '-'), alert['labels']['alertname'], alert['state'])
for series in answer['data'].get('result', []):
    print(series['metric'].get('instance', '-'), series['value'][1])
