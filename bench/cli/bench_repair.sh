#!/usr/bin/env bash
# Whole-process timing of quelby-cli repair: 100 damaged files of 4 MiB among
# 10,000 tagged files (the rest 4 KiB, in 100 folders), repaired from an
# rsync -aX copy in which every file was renamed (found through the digests
# the copy carries) beside the same run from a copy that keeps the paths
# (found by path first). Prints the seconds, median of RUNS runs, and the
# files of the copy whose contents were digested ("copy_files_hashed" of the
# JSON summary): both should be 100. The data is made once under
# ${TMPDIR:-/tmp} and kept for later runs (remove it with --clean); the
# damaged folder is made afresh, outside the timing, before every run.
#
#   bench/cli/bench_repair.sh [path/to/quelby-cli]     default: build/cli/quelby-cli
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=bench/cli/common.sh
source "$repo/bench/cli/common.sh"
data="${TMPDIR:-/tmp}/quelby-bench-repair"
runs=${RUNS:-3}

if [[ "${1:-}" == "--clean" ]]; then
    rm -rf -- "$data"
    exit 0
fi
cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
requireTools rsync split dd touch

original="$data/original"
samePaths="$data/copy-same-paths"
renamed="$data/copy-renamed"
work="$data/work"
readonly folders=100 smallPerFolder=99 smallBytes=4096 bigBytes=$((4 * 1048576))

prepare() {
    if [[ -e "$data/.complete" ]]; then
        return
    fi
    echo "Preparing $data (once) ..." >&2
    rm -rf -- "$data"
    mkdir -p "$original"
    for ((f = 0; f < folders; f++)); do
        local folder
        folder=$(printf '%s/d%03d' "$original" "$f")
        mkdir "$folder"
        head -c $((smallPerFolder * smallBytes)) /dev/urandom |
            split -b "$smallBytes" -a 3 -d - "$folder/s"
        head -c "$bigBytes" /dev/urandom >"$folder/big.bin"
    done
    # Damage is told from an edit by a modification time older than the stamp.
    find "$original" -type f -exec touch -d '2020-01-01 00:00:00' {} +
    "$cli" tag -q --times "$original" >/dev/null
    rsync -aX "$original/" "$samePaths/"
    rsync -aX "$original/" "$renamed/"
    local file
    while IFS= read -r -d '' file; do
        mv -- "$file" "$(dirname "$file")/renamed-$(basename "$file")"
    done < <(find "$renamed" -type f -print0)
    touch "$data/.complete"
}

# A fresh FOLDER: the original with one bit flipped in each 4 MiB file, times kept.
damage() {
    rm -rf -- "$work"
    cp -a "$original" "$work"
    local file
    for file in "$work"/d*/big.bin; do
        printf '\x55' | dd of="$file" bs=1 seek=1000000 conv=notrunc status=none
        touch -d '2020-01-01 00:00:00' "$file"
    done
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

prepare
names=("renamed copy (digest index)" "copy with same paths")
copies=("$renamed" "$samePaths")
rm -f "$data"/.t*
for ((round = 1; round <= runs; round++)); do
    for i in "${!copies[@]}"; do
        damage
        sync
        start=$(date +%s%N)
        "$cli" repair -q --json --from "${copies[$i]}" "$work" | tail -n 1 >"$data/.summary"
        end=$(date +%s%N)
        hashed=$(grep -o '"copy_files_hashed":[0-9]*' "$data/.summary" | cut -d: -f2)
        repaired=$(grep -o '"repaired":[0-9]*' "$data/.summary" | cut -d: -f2)
        echo "$(((end - start) / 1000)) $hashed $repaired" >>"$data/.t$i"
    done
done

echo "quelby-cli $("$cli" --version | cut -d' ' -f2), $(nproc) cores, $(uname -r), median of $runs runs"
echo "FOLDER: $((folders * (smallPerFolder + 1))) tagged files, $folders of them 4 MiB and damaged"
printf '\n%-30s %10s %20s %10s\n' "copy" "seconds" "copy files hashed" "repaired"
for i in "${!copies[@]}"; do
    micros=$(cut -d' ' -f1 "$data/.t$i" | median)
    hashed=$(cut -d' ' -f2 "$data/.t$i" | sort -n | tail -n 1)
    repaired=$(cut -d' ' -f3 "$data/.t$i" | sort -n | head -n 1)
    printf '%-30s %10s %20s %10s\n' "${names[$i]}" "$(awk -v us="$micros" 'BEGIN { printf "%.3f", us / 1e6 }')" \
        "$hashed" "$repaired"
done
rm -rf -- "$work" "$data"/.t* "$data/.summary"
