#!/usr/bin/env python3
"""Asks a Prometheus server's HTTP API for an instant query and prints one
line per series: the instance label and the value.

  prom.py URL QUERY
"""
import json
import sys
import urllib.parse
import urllib.request

url, query = sys.argv[1], sys.argv[2]
try:
    answer = json.load(urllib.request.urlopen(url + '/api/v1/query?' + urllib.parse.urlencode({'query': query}),
                                              timeout=10))
except OSError as error:
    sys.exit('prometheus: %s' % error)
for series in answer['data']['result']:
    print(series['metric'].get('instance', '-'), series['value'][1])
