#!/bin/sh
# The hub's alert rules: promtool's check and their unit tests; skips (77) without promtool.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scriptlib.sh"
skip_without promtool:prometheus
promtool check rules "$here/../../res/prometheus/telvane-alerts.yml" && promtool test rules "$here/telvane-alerts-test.yml"
