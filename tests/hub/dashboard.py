#!/usr/bin/env python3
"""Asks a Prometheus server every query of every panel of a Grafana dashboard,
with its variables filled in as Grafana fills them (each value a query
variable finds, alone, and all of them together), and fails unless every
query returns data and names its data source through the dashboard's
`datasource` variable.

  dashboard.py URL DASHBOARD.json
"""
import json
import re
import sys
import urllib.error
import urllib.parse
import urllib.request


def ask(url, path, params):
    try:
        with urllib.request.urlopen(url + path + '?' + urllib.parse.urlencode(params), timeout=10) as answer:
            return json.load(answer)['data']
    except urllib.error.HTTPError as error:  # a query Prometheus cannot parse
        sys.exit('%s %s: %s' % (path, params, error.read().decode(errors='replace')))


def fill(text, values):
    """$name and ${name} of the dashboard's variables; anything else stays, as in Grafana."""
    return re.sub(r'\$\{(\w+)\}|\$(\w+)', lambda m: values.get(m.group(1) or m.group(2), m.group(0)), text)


def escaped(value):
    """A value of a multi-value variable, escaped for a Prometheus regular expression as Grafana does."""
    return re.sub(r'([\\^$*+?.()|\[\]{}])', r'\\\\\1', value)


def choices(url, variables, chosen):
    """Every way of filling in the query variables, each one's values found with those before it filled."""
    if not variables:
        yield dict(chosen)
        return
    name, definition = variables[0]
    form = re.fullmatch(r'label_values\((.+),\s*(\w+)\)', definition)
    if not form:
        sys.exit('variable %s: cannot read its query %r' % (name, definition))
    values = [escaped(v) for v in ask(url, '/api/v1/label/%s/values' % form[2], {'match[]': fill(form[1], chosen)})]
    if not values:
        sys.exit('variable %s: no values for %s' % (name, fill(definition, chosen)))
    for value in values + (['(%s)' % '|'.join(values)] if len(values) > 1 else []):
        yield from choices(url, variables[1:], {**chosen, name: value})


def panels(within):
    for panel in within:
        yield panel
        yield from panels(panel.get('panels', []))


def main():
    url, path = sys.argv[1], sys.argv[2]
    with open(path, encoding='utf-8') as file:
        dashboard = json.load(file)
    variables = [(v['name'], v['definition']) for v in dashboard['templating']['list'] if v['type'] == 'query']
    targets = [(p['title'], t) for p in panels(dashboard['panels']) for t in p.get('targets', [])]
    sources = [(p['title'], p) for p in panels(dashboard['panels']) if 'targets' in p] + targets
    failures = ['%s: its data source is not ${datasource}' % title
                for title, holder in sources if holder.get('datasource', {}).get('uid') != '${datasource}']
    asked = set()
    for chosen in choices(url, variables, {}):
        for title, target in targets:
            query = fill(target['expr'], chosen)
            if query not in asked:
                asked.add(query)
                if not ask(url, '/api/v1/query', {'query': query})['result']:
                    failures.append('%s: no data for %s' % (fill(title, chosen), query))
    print('\n'.join(failures) or 'ok: %d queries of %d panel queries returned data' % (len(asked), len(targets)))
    return 1 if failures or not targets else 0


if __name__ == '__main__':
    sys.exit(main())
