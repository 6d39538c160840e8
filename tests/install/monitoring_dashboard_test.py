#!/usr/bin/env python3
"""The Grafana dashboard and the alert rules query only metrics that Quelby
writes: the names are read from the source that writes the metrics file, so a
renamed metric fails here. The dashboard is plain JSON fed by a data source
variable, every query is filtered by the host variable, and promtool parses
every query it makes.

Arguments: quelby-dashboard.json, quelby.rules.yml, the metrics file's source.
"""
import json
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

METRIC = re.compile(r"\bquelby_[a-z_]+\b")
HOST_FILTER = 'instance=~"$host"'


def fail(message):
    sys.exit(f"FAIL: {message}")


def written_metrics(source):
    names = set(re.findall(r'\{\s*"(quelby_[a-z_]+)"', source.read_text()))
    if not names:
        fail(f"no metric names found in {source}")
    return names


def check_names(where, expr, written):
    used = METRIC.findall(expr)
    if not used:
        fail(f"{where} queries no metric of Quelby: {expr}")
    unknown = sorted(set(used) - written)
    if unknown:
        fail(f"{where} queries {', '.join(unknown)}, which Quelby does not write: {expr}")


def main(dashboard_path, rules_path, metrics_source):
    written = written_metrics(Path(metrics_source))
    try:
        dashboard = json.loads(Path(dashboard_path).read_text())
    except json.JSONDecodeError as error:
        fail(f"{dashboard_path} is not JSON: {error}")

    variables = {v.get("name"): v for v in dashboard.get("templating", {}).get("list", [])}
    source = variables.get("datasource")
    if not source or source.get("type") != "datasource" or source.get("query") != "prometheus":
        fail("no Prometheus data source variable named datasource")
    fed = {"type": "prometheus", "uid": "${datasource}"}
    host = variables.get("host")
    if not host or host.get("type") != "query" or host.get("datasource") != fed:
        fail("no host variable queried through the data source variable")
    host_query = host["query"]["query"] if isinstance(host["query"], dict) else host["query"]
    match = re.fullmatch(r"label_values\((quelby_[a-z_]+), instance\)", host_query)
    if not match or match.group(1) not in written:
        fail(f"the host variable does not list the instances of a metric of Quelby: {host_query}")

    panels = dashboard.get("panels") or fail("the dashboard has no panels")
    ids = [panel.get("id") for panel in panels]
    if len(set(ids)) != len(ids) or None in ids:
        fail(f"panel ids are missing or repeated: {ids}")
    exprs = []
    for panel in panels:
        where = f"panel {panel.get('title')!r}"
        if panel.get("datasource") != fed or "gridPos" not in panel:
            fail(f"{where} is not fed by the data source variable or has no place")
        targets = panel.get("targets") or fail(f"{where} has no query")
        for target in targets:
            if target.get("datasource") != fed:
                fail(f"{where} has a query not fed by the data source variable")
            expr = target.get("expr", "")
            check_names(where, expr, written)
            # Every selector of a metric carries the host filter.
            for name, labels in re.findall(r"(quelby_[a-z_]+)(\{[^}]*\})?", expr):
                if HOST_FILTER not in labels:
                    fail(f"{where} selects {name} on every host: {expr}")
            exprs.append(expr)

    titles = " | ".join(panel["title"].lower() for panel in panels)
    for topic in ["folders", "share verified", "open problems", "bytes read", "last run",
                  "per host"]:
        if topic not in titles:
            fail(f"no panel shows {topic}: {titles}")

    rule_exprs = re.findall(r"^\s*expr:\s*(.+)$", Path(rules_path).read_text(), re.MULTILINE)
    if not rule_exprs:
        fail(f"no rule in {rules_path}")
    for expr in rule_exprs:
        check_names(f"a rule of {rules_path}", expr, written)

    # promtool parses the dashboard's queries as recording rules, with the
    # host variable as Grafana gives it for All.
    promtool = shutil.which("promtool") or fail(
        "promtool is missing: install Debian's prometheus package (scripts/install-packages.sh)")
    with tempfile.TemporaryDirectory() as scratch:
        rules = Path(scratch, "dashboard.rules.json")
        rules.write_text(json.dumps({"groups": [{"name": "dashboard", "rules": [
            {"record": f"dashboard:query{index}", "expr": expr.replace("$host", ".*")}
            for index, expr in enumerate(exprs)]}]}))
        result = subprocess.run([promtool, "check", "rules", str(rules)],
                                capture_output=True, text=True)
        if result.returncode != 0:
            fail(f"promtool cannot parse a query of the dashboard:\n{result.stdout}{result.stderr}")
    print(f"{len(exprs)} queries of the dashboard and {len(rule_exprs)} rules use only "
          f"the {len(written)} metrics Quelby writes")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
