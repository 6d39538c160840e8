#!/usr/bin/env bash
# export against check on the 800-photo set of bench_cli.sh (about 1 GiB in
# files of 200 KiB to 30 MiB, page cache warm): export reads only each file's
# stored digest, check reads every byte. Median of RUNS runs, taking turns.
#
#   bench/cli/bench_export.sh [path/to/quelby-cli]
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
runs=${RUNS:-5}
data="${TMPDIR:-/tmp}/quelby-bench-export"
cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
photos="$data/photos"
if [[ ! -e "$data/.complete" ]]; then
    echo "Preparing $photos (once) ..." >&2
    rm -rf -- "$data"
    mkdir -p "$photos"
    # The same sizes as bench_cli.sh's photo set.
    for ((i = 0; i < 800; i++)); do
        if ((i % 40 == 0)); then
            size=$((20480 + (i * 7919) % 10240))
        else
            size=$((200 + (i * 7919) % 1800))
        fi
        head -c $((size * 1024)) /dev/urandom >"$(printf '%s/IMG_%04d.jpg' "$photos" "$i")"
    done
    "$cli" tag -q --store attributes "$photos" >/dev/null
    touch "$data/.complete"
fi
find "$photos" -type f -print0 | xargs -0 cat >/dev/null

seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; end=$(date +%s.%N); awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", b - a }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
checks=() exports=()
for ((r = 0; r < runs; r++)); do
    checks+=("$(seconds "$cli" check -q "$photos")")
    exports+=("$(seconds "$cli" export -q "$photos")")
done
check=$(printf '%s\n' "${checks[@]}" | median)
export_=$(printf '%s\n' "${exports[@]}" | median)
printf 'photos check    %8.4f s\nphotos export   %8.4f s\n' "$check" "$export_"
echo "export / check speed: $(awk -v a="$check" -v b="$export_" 'BEGIN { printf "%.1f", a / b }')x  (target >= 10)"
