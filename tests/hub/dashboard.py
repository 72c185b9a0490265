#!/usr/bin/env python3
"""dashboard.py URL DASHBOARD.json: every query of every panel of a Grafana dashboard, with its variables
filled in as Grafana fills them (each value a variable's query finds, alone and all together), must return
data from the Prometheus at URL, and name its data source through the `datasource` variable."""
import json
import re
import sys
from urllib import error, parse, request


def ask(route, params):
    try:
        with request.urlopen(sys.argv[1] + route + '?' + parse.urlencode(params), timeout=10) as answer:
            return json.load(answer)['data']
    except error.HTTPError as refusal:  # a query Prometheus cannot parse
        sys.exit('%s: %s' % (params, refusal.read().decode(errors='replace')))


def fill(text, chosen):  # a name that is not a variable stays, as in Grafana
    return re.sub(r'\$\{(\w+)\}|\$(\w+)', lambda m: chosen.get(m[1] or m[2], m[0]), text)


def choices(variables, chosen):
    if not variables:
        yield chosen
        return
    name, definition = variables[0]
    selector, label = re.fullmatch(r'label_values\((.+),\s*(\w+)\)', definition).groups()
    # Escaped for a regular expression, as Grafana does for Prometheus.
    found = [re.sub(r'([\\^$*+?.()|\[\]{}])', r'\\\\\1', value)
             for value in ask('/api/v1/label/%s/values' % label, {'match[]': fill(selector, chosen)})]
    if not found:
        sys.exit('no values for $%s: %s' % (name, fill(definition, chosen)))
    for value in found + ['(%s)' % '|'.join(found)] * (len(found) > 1):
        yield from choices(variables[1:], {**chosen, name: value})


def panels(within):  # with those of collapsed rows
    return [inner for panel in within for inner in [panel] + panels(panel.get('panels', []))]


with open(sys.argv[2], encoding='utf-8') as file:
    dashboard = json.load(file)
queried = [(p, t) for p in panels(dashboard['panels']) for t in p.get('targets', [])]
failures = ['%s: its data source is not ${datasource}' % panel['title'] for panel, target in queried
            if {panel.get('datasource', {}).get('uid'), target.get('datasource', {}).get('uid')} != {'${datasource}'}]
variables = [(v['name'], v['definition']) for v in dashboard['templating']['list'] if v['type'] == 'query']
asked = {fill(t['expr'], chosen): fill(p['title'], chosen) for chosen in choices(variables, {}) for p, t in queried}
failures += ['%s: no data for %s' % (title, query) for query, title in asked.items()
             if not ask('/api/v1/query', {'query': query})['result']]
print('\n'.join(failures) or 'ok: %d queries of %d panel targets returned data' % (len(asked), len(queried)))
sys.exit(1 if failures or not queried else 0)
