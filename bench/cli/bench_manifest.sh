#!/usr/bin/env bash
# The manifest store against extended attributes, on the same disk in the same
# run: Check and Tag of 100,000 files of 4 KiB in 100 folders with
# --store manifest and with --store attributes (medians of RUNS runs, the two
# taking turns within each round, page cache warm), and the peak resident
# memory (/usr/bin/time -f %M) of a Check whose manifest holds 1,000,000
# entries (1,000,000 empty files in 1,000 folders), beside the same Check with
# attributes and with the manifest shuffled out of walk order. The data is
# made once under ${TMPDIR:-/tmp}/quelby-bench-manifest and kept for later runs
# (remove it with --clean); it is kept apart from the other scripts' data
# because a manifest in a folder changes what --store auto finds there.
#
#   bench/cli/bench_manifest.sh [path/to/quelby-cli]     default: build/cli/quelby-cli
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=bench/cli/common.sh
source "$repo/bench/cli/common.sh"
data="${TMPDIR:-/tmp}/quelby-bench-manifest"
runs=${RUNS:-5}

if [[ "${1:-}" == "--clean" ]]; then
    rm -rf -- "$data"
    exit 0
fi
cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
requireTools /usr/bin/time xargs seq split shuf

tree="$data/tree"
million="$data/million"

prepare() {
    if [[ ! -e "$data/.tree-done" ]]; then
        echo "Preparing $tree (once) ..." >&2
        rm -rf -- "$tree"
        mkdir -p "$tree"
        for ((f = 0; f < 100; f++)); do
            mkdir "$(printf '%s/d%03d' "$tree" "$f")"
            head -c $((1000 * 4096)) /dev/urandom |
                split -b 4096 -a 3 -d - "$(printf '%s/d%03d/f' "$tree" "$f")"
        done
        touch "$data/.tree-done"
    fi
    if [[ ! -e "$data/.million-done" ]]; then
        echo "Preparing $million (once, a few minutes) ..." >&2
        rm -rf -- "$million"
        mkdir -p "$million"
        seq -f "$million/d%04g" 0 999 | xargs mkdir
        for ((f = 0; f < 1000; f++)); do
            seq -f "$(printf '%s/d%04d' "$million" "$f")/f%04g" 0 999 | xargs -n 4096 touch
        done
        touch "$data/.million-done"
    fi
}

# Runs a command line once; appends "microseconds peak-KiB" to the named file.
timed() {
    local into=$1
    shift
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f '%M' -o "$data/.rss" "$@" >/dev/null 2>"$data/.err" || {
        # check's status 3 (some files without a digest) would hide a broken setup
        echo "failed ($?): $*" >&2
        cat "$data/.err" >&2
        exit 1
    }
    end=$(date +%s%N)
    echo "$(((end - start) / 1000)) $(tail -n 1 "$data/.rss")" >>"$into"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
seconds() { cut -d' ' -f1 "$1" | median | awk '{ printf "%.3f", $1 / 1e6 }'; }
peakMiB() { cut -d' ' -f2 "$1" | sort -n | tail -n 1 | awk '{ printf "%.1f", $1 / 1024 }'; }

prepare
# Evidence in both stores before anything is timed.
"$cli" tag -q --store attributes "$tree" >/dev/null
"$cli" tag -q --store manifest "$tree" >/dev/null 2>&1
find "$tree" -type f -print0 | xargs -0 cat >/dev/null

rm -f "$data"/.t*
for ((round = 1; round <= runs; round++)); do
    timed "$data/.t-check-attr" "$cli" check -q --store attributes "$tree"
    timed "$data/.t-check-manifest" "$cli" check -q --store manifest "$tree"
    timed "$data/.t-tag-attr" "$cli" tag -q --store attributes "$tree"
    timed "$data/.t-tag-manifest" "$cli" tag -q --store manifest "$tree"
done

# A million entries: the manifest in walk order (as Tag writes it), then shuffled.
if [[ ! -e "$million/.quelby.sha256" ]]; then
    "$cli" tag -q --store manifest "$million" >/dev/null 2>&1
fi
"$cli" tag -q --store attributes "$million" >/dev/null
entries=$(grep -vc '^#' "$million/.quelby.sha256")
for ((round = 1; round <= 3; round++)); do
    timed "$data/.t-million-manifest" "$cli" check -q --store manifest "$million"
    timed "$data/.t-million-attr" "$cli" check -q --store attributes "$million"
done
cp -p "$million/.quelby.sha256" "$data/ordered.sha256"
{ head -n 1 "$data/ordered.sha256"; tail -n +2 "$data/ordered.sha256" | shuf; } >"$million/.quelby.sha256"
timed "$data/.t-million-shuffled" "$cli" check -q --store manifest "$million"
cp -p "$data/ordered.sha256" "$million/.quelby.sha256"

echo "quelby-cli $("$cli" --version | cut -d' ' -f2), $(nproc) cores, $(uname -r)"
echo "100,000 files of 4 KiB in 100 folders, median of $runs runs, page cache warm"
printf '\n%-36s %10s %10s\n' "case" "seconds" "peak MiB"
for c in check-attr check-manifest tag-attr tag-manifest; do
    printf '%-36s %10s %10s\n' "$c" "$(seconds "$data/.t-$c")" "$(peakMiB "$data/.t-$c")"
done
ratio() { awk -v a="$(seconds "$1")" -v b="$(seconds "$2")" 'BEGIN { printf "%.3f", a / b }'; }
echo
echo "check manifest / attributes (time):  $(ratio "$data/.t-check-manifest" "$data/.t-check-attr")  (target <= 1.15)"
echo "tag manifest / attributes (time):    $(ratio "$data/.t-tag-manifest" "$data/.t-tag-attr")  (target <= 1.15)"
echo
echo "Check of 1,000,000 empty files, manifest of $entries entries, largest of the runs"
printf '%-36s %10s %10s %10s\n' "case" "seconds" "peak MiB" "target"
printf '%-36s %10s %10s %10s\n' "manifest in walk order" "$(seconds "$data/.t-million-manifest")" "$(peakMiB "$data/.t-million-manifest")" "< 64"
printf '%-36s %10s %10s %10s\n' "attributes" "$(seconds "$data/.t-million-attr")" "$(peakMiB "$data/.t-million-attr")" "-"
printf '%-36s %10s %10s %10s\n' "manifest shuffled (one run)" "$(seconds "$data/.t-million-shuffled")" "$(peakMiB "$data/.t-million-shuffled")" "-"
rm -f "$data"/.t* "$data/.rss" "$data/.err" "$data/ordered.sha256"
