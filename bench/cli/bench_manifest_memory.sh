#!/usr/bin/env bash
# Peak resident memory (/usr/bin/time -v) of `check --store manifest` over a
# manifest of 1,000,000 entries: files all gone (a folder that holds only the
# manifest), the same manifest in reverse order (77 MB, sorted through
# temporary files), that Check again under `ulimit -v 1500000`, and files all
# there (1,000,000 empty files in 1,000 folders). The manifests are written
# here directly, not by Tag: every file is empty, so every digest is the
# digest of nothing. The data is made once under
# ${TMPDIR:-/tmp}/quelby-bench-manifest-memory and kept for later runs (remove
# it with --clean); the tree of files takes a few minutes.
#
#   bench/cli/bench_manifest_memory.sh [path/to/quelby-cli]     default: build/cli/quelby-cli
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=bench/cli/common.sh
source "$repo/bench/cli/common.sh"
data="${TMPDIR:-/tmp}/quelby-bench-manifest-memory"

if [[ "${1:-}" == "--clean" ]]; then
    rm -rf -- "$data"
    exit 0
fi
cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
requireTools /usr/bin/time xargs seq awk tac

gone="$data/gone"
reversed="$data/reversed"
there="$data/there"

# d0000/f000 to d0999/f999 in walk order: lines of 77 bytes, 77 MB in all.
manifest() {
    echo "# Quelby manifest 1"
    awk 'BEGIN { for (d = 0; d < 1000; d++) for (f = 0; f < 1000; f++)
        printf "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855  d%04d/f%03d\n", d, f }'
}

prepare() {
    mkdir -p "$gone" "$reversed" "$there"
    [[ -s "$gone/.quelby.sha256" ]] || manifest >"$gone/.quelby.sha256"
    if [[ ! -s "$reversed/.quelby.sha256" ]]; then
        { head -n 1 "$gone/.quelby.sha256"; tail -n +2 "$gone/.quelby.sha256" | tac; } \
            >"$reversed/.quelby.sha256"
    fi
    if [[ ! -e "$data/.there-done" ]]; then
        echo "Preparing $there (once, a few minutes) ..." >&2
        seq -f "$there/d%04g" 0 999 | xargs mkdir -p
        for ((d = 0; d < 1000; d++)); do
            seq -f "$(printf '%s/d%04d' "$there" "$d")/f%03g" 0 999 | xargs touch
        done
        cp "$gone/.quelby.sha256" "$there/.quelby.sha256"
        touch "$data/.there-done"
    fi
}

# Peak resident KiB and exit status of a Check, under the ulimit -v given (or none).
measure() {
    local folder=$1 limit=${2:-unlimited} status=0
    (ulimit -v "$limit" && exec /usr/bin/time -v -o "$data/.time" \
        "$cli" check -q --store manifest "$folder") >/dev/null 2>"$data/.err" || status=$?
    local kib
    kib=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$data/.time")
    printf '%s %s\n' "${kib:-0}" "$status"
}

row() {
    local name=$1 folder=$2 target=$3 limit=${4:-unlimited} kib status
    read -r kib status < <(measure "$folder" "$limit")
    printf '%-52s %10s %8s %10s\n' "$name" \
        "$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')" "$status" "$target"
}

prepare
echo "quelby-cli $("$cli" --version | cut -d' ' -f2), $(uname -r), check -q --store manifest"
echo "manifest of 1,000,000 entries ($(stat -c %s "$gone/.quelby.sha256") bytes)"
printf '\n%-52s %10s %8s %10s\n' "case" "peak MiB" "status" "target MiB"
row "files all gone, walk order" "$gone" "< 64"
row "files all gone, reverse order" "$reversed" "< 256"
row "files all gone, reverse order, ulimit -v 1500000" "$reversed" "< 256" 1500000
row "files all there, walk order" "$there" "< 64"
echo
echo "status 1: every file missing, as expected where they are gone; 0 where they are there"
rm -f "$data/.time" "$data/.err"
