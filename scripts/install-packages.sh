#!/usr/bin/env bash
# Installs whichever packages of scripts/packages.txt are missing; silent when none are.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mapfile -t wanted < <(grep -v '^\s*\(#\|$\)' "$here/packages.txt")
missing=()
for package in "${wanted[@]}"; do
    status="$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)"
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
((${#missing[@]} == 0)) && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[[ "$(id -u)" == 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! { "${sudo[@]}" apt-get update -qq && "${sudo[@]}" apt-get install -y -qq "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi

# promtool is the only part of prometheus the tests use: a server (and the
# node exporter it brings) installed for it must not go on listening.
if [[ " ${missing[*]} " == *" prometheus "* ]] && command -v systemctl >/dev/null &&
    [[ -d /run/systemd/system ]]; then
    "${sudo[@]}" systemctl disable --now prometheus.service prometheus-node-exporter.service \
        >/dev/null 2>&1 || true
    echo "Stopped and disabled the prometheus and node exporter services that came with promtool."
fi
