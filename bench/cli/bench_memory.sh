#!/usr/bin/env bash
# Peak resident memory of `quelby-cli check -v` over trees that stress the
# walk rather than the digest: a million empty files in 1,000 folders, a
# million in one folder, 100,000 files of 4 KiB, and a chain of folders
# 10,000 deep beside one flat folder of as many files. The report goes to
# /dev/null; the figure is the largest of RUNS runs. The data is made once
# under ${TMPDIR:-/tmp} and kept for later runs (remove it with --clean); the
# 4 KiB tree is bench_cli.sh's own when that script has made it. ORDER=disk
# (or name) passes --order to every run.
#
#   [ORDER=disk] bench/cli/bench_memory.sh [path/to/quelby-cli]     default: build/cli/quelby-cli
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=bench/cli/common.sh
source "$repo/bench/cli/common.sh"
data="${TMPDIR:-/tmp}/quelby-bench-memory"
cliData="${TMPDIR:-/tmp}/quelby-bench-cli"
runs=${RUNS:-3}

if [[ "${1:-}" == "--clean" ]]; then
    rm -rf -- "$data"
    exit 0
fi
cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
requireTools /usr/bin/time xargs seq split perl

readonly chainDepth=10000

# Empty files by the thousand per process: one touch per file would take an hour.
emptyFiles() {
    local folder=$1 count=$2
    seq -f "$folder/f%07g" 0 $((count - 1)) | xargs -n 4096 touch
}

# Each part is made once, marked done, and kept: a million files take minutes.
part() {
    local name=$1
    shift
    [[ -e "$data/.$name-done" ]] && return
    echo "Preparing $data/$name (once) ..." >&2
    rm -rf -- "${data:?}/$name"
    mkdir -p "$data/$name"
    "$@" "$data/$name"
    touch "$data/.$name-done"
}

spreadTree() {
    seq -f "$1/d%04g" 0 999 | xargs mkdir
    for ((f = 0; f < 1000; f++)); do
        emptyFiles "$(printf '%s/d%04d' "$1" "$f")" 1000
    done
}

wideTree() { emptyFiles "$1" 1000000; }
flatTree() { emptyFiles "$1" "$chainDepth"; }

# One file per level. The whole path is far beyond PATH_MAX, and the shell's
# own cd slows down with the length of its working path, so perl (part of
# every Debian system) goes down by relative steps.
chainTree() {
    perl -e 'chdir $ARGV[0] or die; for (1 .. $ARGV[1]) {
        open(my $f, ">", "f") or die; close $f; mkdir "d" or die; chdir "d" or die }' "$1" "$chainDepth"
}

smallTree() {
    for ((f = 0; f < 100; f++)); do
        mkdir "$(printf '%s/d%03d' "$1" "$f")"
        head -c $((1000 * 4096)) /dev/urandom | split -b 4096 -a 3 -d - "$(printf '%s/d%03d/f' "$1" "$f")"
    done
}

prepare() {
    mkdir -p "$data"
    part spread spreadTree
    part wide wideTree
    part flat flatTree
    part chain chainTree
    if [[ ! -e "$cliData/.complete" ]]; then
        part small smallTree
    fi
}

# The largest peak resident memory, in KiB, of RUNS runs of check -v over a folder.
peak() {
    local folder=$1 largest=0 kib
    for ((run = 1; run <= runs; run++)); do
        /usr/bin/time -f '%M' -o "$data/.rss" "$cli" check -v ${ORDER:+--order "$ORDER"} "$folder" \
            >/dev/null || true
        kib=$(tail -n 1 "$data/.rss")
        ((kib > largest)) && largest=$kib
    done
    echo "$largest"
}

prepare
small="$data/small"
[[ -d "$small" ]] || small="$cliData/tree"

echo "quelby-cli $("$cli" --version | cut -d' ' -f2), $(uname -r), check -v ${ORDER:+--order $ORDER }to /dev/null, largest of $runs runs"
printf '\n%-44s %10s %10s\n' "tree" "peak MiB" "target"
row() {
    local name=$1 folder=$2 target=$3 kib
    kib=$(peak "$folder")
    printf '%-44s %10s %10s\n' "$name" "$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')" "$target"
}
row "1,000,000 empty files in 1,000 folders" "$data/spread" "< 32"
row "1,000,000 empty files in one folder" "$data/wide" "< 64"
row "100,000 files of 4 KiB in 100 folders" "$small" "< 64"
row "chain of $chainDepth folders, one file each" "$data/chain" "-"
row "$chainDepth empty files in one folder" "$data/flat" "-"
rm -f "$data/.rss"
