#!/usr/bin/env bash
# Peak resident memory of `quelby-cli check --jobs 64 -b 1024M` over 64 files
# of 50 MiB: every worker asks for a 1 GiB buffer and every read fills 50 MiB
# of it, so without the cap on a run's buffers the peak would be 64 x 50 MiB.
# The files hold random bytes, made once under ${TMPDIR:-/tmp} and kept for
# later runs (remove them with --clean). The report goes to /dev/null; the
# figure is the largest of RUNS runs, beside --jobs 1 with the default buffer.
#
#   bench/cli/bench_buffer_memory.sh [path/to/quelby-cli]   default: build/cli/quelby-cli
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
data="${TMPDIR:-/tmp}/quelby-bench-buffers"
runs=${RUNS:-3}

if [[ "${1:-}" == "--clean" ]]; then
    rm -rf -- "$data"
    exit 0
fi
cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
command -v /usr/bin/time >/dev/null || { echo "missing /usr/bin/time (scripts/install-packages.sh)" >&2; exit 2; }

if [[ ! -e "$data/.done" ]]; then
    echo "Preparing 64 files of 50 MiB in $data (once) ..." >&2
    rm -rf -- "$data"
    mkdir -p "$data/files"
    for ((f = 0; f < 64; f++)); do
        head -c $((50 << 20)) /dev/urandom >"$(printf '%s/files/f%02d.bin' "$data" "$f")"
    done
    touch "$data/.done"
fi

# The largest peak resident memory, in KiB, of RUNS runs of check with the given options.
peak() {
    local largest=0 kib
    for ((run = 1; run <= runs; run++)); do
        /usr/bin/time -f '%M' -o "$data/.rss" "$cli" check "$@" "$data/files" >/dev/null || true
        kib=$(tail -n 1 "$data/.rss")
        ((kib > largest)) && largest=$kib
    done
    echo "$largest"
}

echo "quelby-cli $("$cli" --version | cut -d' ' -f2), $(uname -r), 64 files of 50 MiB, check to /dev/null, largest of $runs runs"
printf '\n%-36s %10s %10s\n' "options" "peak MiB" "target"
row() {
    local target=$1 kib
    shift
    kib=$(peak "$@")
    printf '%-36s %10s %10s\n' "$*" "$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')" "$target"
}
row "< 300" --jobs 64 -b 1024M
row "< 300" --jobs 256 -b 1024M
row "-" --jobs 1
rm -f "$data/.rss"
