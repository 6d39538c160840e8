#!/usr/bin/env bash
# Configures (once) and builds into build/; extra arguments go to cmake's configure step.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
if [[ ! -f build/build.ninja ]]; then
    cmake -S . -B build -G Ninja "$@" >/dev/null
elif (($# > 0)); then
    cmake -S . -B build "$@" >/dev/null
fi
cmake --build build -- --quiet
