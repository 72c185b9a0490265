#!/bin/sh
# The alerting rules shipped for the hub's /metrics: promtool's own check, then
# their unit tests (each alert fires, and does not where it must not).
# Skips (77) without promtool.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scriptlib.sh"
skip_without promtool:prometheus
promtool check rules "$here/../../res/prometheus/telvane-alerts.yml" &&
    promtool test rules "$here/telvane-alerts-test.yml"
