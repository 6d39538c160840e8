#!/usr/bin/env bash
# The alert rules: promtool accepts them and their unit tests pass. promtool is
# the oracle (Debian's prometheus package); the tests never start a server.
# Argument: the folder that holds quelby.rules.yml and quelby.rules.test.yml.
set -euo pipefail
monitoring="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v promtool >/dev/null ||
    fail "promtool is missing: install Debian's prometheus package (scripts/install-packages.sh)"
promtool check rules "$monitoring/quelby.rules.yml" || fail "promtool check rules rejects the rules"
promtool test rules "$monitoring/quelby.rules.test.yml" || fail "the rules fail their unit tests"
