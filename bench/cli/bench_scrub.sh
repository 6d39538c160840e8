#!/usr/bin/env bash
# A scrub beside a full check of the same tree (100,000 files of 4 KiB in 100
# folders, tagged, page cache warm): a scrub with nothing due, which reads no
# contents, a first scrub, which reads everything and records it, and the
# state's size per file. A scrub with nothing due still looks at every file's
# status to notice changed ones, so find printing each file's size and times
# runs beside it: the least any tool that notices changes must do. With
# COLD=1 (as root), the page cache is dropped before every run of the
# nothing-due comparison, as after a reboot. Timings are hyperfine's means
# over RUNS runs; the data is made once under ${TMPDIR:-/tmp} and kept
# (remove it with --clean).
#
#   [COLD=1] bench/cli/bench_scrub.sh [path/to/quelby-cli]
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=bench/cli/common.sh
source "$repo/bench/cli/common.sh"
data="${TMPDIR:-/tmp}/quelby-bench-scrub"
runs=${RUNS:-10}

if [[ "${1:-}" == "--clean" ]]; then
    rm -rf -- "$data"
    exit 0
fi
cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
command -v hyperfine >/dev/null || { echo "missing hyperfine (scripts/install-packages.sh)" >&2; exit 2; }

tree="$data/tree"
state="$data/state/scrub.sqlite"
readonly folders=100 filesPerFolder=1000

if [[ ! -e "$data/.complete" ]]; then
    echo "Preparing $data (once) ..." >&2
    rm -rf -- "$data"
    mkdir -p "$tree" "$data/state"
    makeSmallFilesTree "$tree"
    "$cli" tag -q "$tree" >/dev/null
    touch "$data/.complete"
fi

fresh="rm -f '$state' '$state-wal' '$state-shm'"

# The mean of command number $2 in hyperfine's JSON $1 over that of number $3.
ratio() {
    python3 -c 'import json, sys
results = json.load(open(sys.argv[1]))["results"]
print("%.2f" % (results[int(sys.argv[2])]["mean"] / results[int(sys.argv[3])]["mean"]))' "$@"
}
"$cli" check -q "$tree" >/dev/null # warm the page cache

echo "== first scrub (everything due) against check"
hyperfine --runs "$runs" --warmup 1 --export-markdown "$data/first.md" \
    --export-json "$data/first.json" \
    -n check "$cli check -q $tree" \
    -n "first scrub" --prepare "$fresh" "$cli scrub -q --state $state $tree"
cat "$data/first.md"

echo "== scrub with nothing due against check"
eval "$fresh"
"$cli" scrub -q --state "$state" "$tree" >/dev/null
hyperfine --runs "$runs" --warmup 1 --export-markdown "$data/nothing-due.md" \
    --export-json "$data/nothing-due.json" \
    -n check "$cli check -q $tree" \
    -n "scrub, nothing due" "$cli scrub -q --state $state $tree" \
    -n "find -printf size and times" "find $tree -type f -printf '%s %T@ %C@\\n'"
cat "$data/nothing-due.md"

if [[ "${COLD:-}" == 1 ]]; then
    echo "== the same from a cold page cache"
    cold="sync; echo 3 >/proc/sys/vm/drop_caches"
    hyperfine --runs "$runs" --prepare "$cold" --export-markdown "$data/cold.md" \
        -n check "$cli check -q $tree" \
        -n "scrub, nothing due" "$cli scrub -q --state $state $tree"
    cat "$data/cold.md"
fi

echo "== ratios (target: first scrub within 1.10x of check, nothing due within 1.25x of find)"
echo "first scrub / check: $(ratio "$data/first.json" 1 0)x"
echo "scrub with nothing due / find: $(ratio "$data/nothing-due.json" 1 2)x"
echo "check / find: $(ratio "$data/nothing-due.json" 0 2)x"

files=$((folders * filesPerFolder))
bytes=$(stat -c %s "$state")
for extra in "$state-wal" "$state-shm"; do
    [[ -e "$extra" ]] && bytes=$((bytes + $(stat -c %s "$extra")))
done
echo "== state: $bytes bytes for $files files, $((bytes / files)) bytes per file"
