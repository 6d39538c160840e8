#!/usr/bin/env bash
# The scrub's user units as configured for installation: the service runs the
# installed quelby-cli, and systemd's own checker accepts both without a word
# (it only warns about an unknown key, so any output is a failure).
# Arguments: the configured service template, the timer template, the
# installed binary folder.
set -euo pipefail
service="$1"
timer="$2"
bindir="$3"
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed" >&2; exit 77; }
scratch="$(mktemp -d "${TMPDIR:-/tmp}/quelby-units-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

# A drop-in replaces QUELBY_EVERY; the rest of the line is the issue's.
expected='ExecStart='"$bindir"'/quelby-cli scrub --notify --heal --tag-new --every ${QUELBY_EVERY} --for 2h %f'
grep -qxF "$expected" "$service" || fail "the service does not run $bindir/quelby-cli as expected"

# A template is verified as an instance, named as systemd-escape --path names
# a folder. The checker wants the command to exist: a stand-in replaces it.
mkdir -p "$scratch/bin" "$scratch/units" "$scratch/runtime"
chmod 700 "$scratch/runtime"
printf '#!/bin/sh\n' >"$scratch/bin/quelby-cli"
chmod +x "$scratch/bin/quelby-cli"
instance="quelby-scrub@$(systemd-escape --path /home/ada/Pictures)"
sed "s|^ExecStart=$bindir/|ExecStart=$scratch/bin/|" "$service" >"$scratch/units/$instance.service"
cp "$timer" "$scratch/units/$instance.timer"

# A user manager needs a runtime folder even to verify; a container has none.
status=0
output="$(cd "$scratch/units" && XDG_RUNTIME_DIR="$scratch/runtime" \
    systemd-analyze verify --user --man=no "$scratch/units/$instance.service" \
    "$scratch/units/$instance.timer" 2>&1)" || status=$?
[[ $status == 0 && -z "$output" ]] ||
    fail "systemd-analyze verify (status $status): $output"
echo "both units pass systemd-analyze verify"
