#!/usr/bin/env bash
# Whole-process timings of quelby-cli beside sha256sum and openssl over the
# same bytes, page cache warm: one 1 GiB file, and 100,000 files of 4 KiB in
# 100 folders. Every figure is the median of RUNS runs, the tools taking
# turns within each round. The data is made once under ${TMPDIR:-/tmp} and
# kept for later runs (remove it with --clean).
#
#   bench/cli/bench_cli.sh [path/to/quelby-cli]     default: build/cli/quelby-cli
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
data="${TMPDIR:-/tmp}/quelby-bench-cli"
runs=${RUNS:-5}

if [[ "${1:-}" == "--clean" ]]; then
    rm -rf -- "$data"
    exit 0
fi
cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
for tool in sha256sum openssl /usr/bin/time find xargs split; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-packages.sh)" >&2; exit 2; }
done

big="$data/big"
tree="$data/tree"
readonly bigBytes=$((1024 * 1048576)) folders=100 filesPerFolder=1000 fileBytes=4096
treeFiles=$((folders * filesPerFolder))
treeBytes=$((treeFiles * fileBytes))

prepare() {
    if [[ -e "$data/.complete" ]]; then
        return
    fi
    echo "Preparing $data (once) ..." >&2
    rm -rf -- "$data"
    mkdir -p "$big" "$tree"
    head -c "$bigBytes" /dev/urandom >"$big/one-gib.bin"
    for ((f = 0; f < folders; f++)); do
        local folder
        folder=$(printf '%s/d%03d' "$tree" "$f")
        mkdir "$folder"
        head -c $((filesPerFolder * fileBytes)) /dev/urandom |
            split -b "$fileBytes" -a 3 -d - "$folder/f"
    done
    touch "$data/.complete"
}

warm() {
    cat "$big/one-gib.bin" >/dev/null
    find "$tree" -type f -print0 | xargs -0 cat >/dev/null
}

# Runs a command line once; appends "seconds peak-KiB" to the named file.
timed() {
    local into=$1
    shift
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f '%M' -o "$data/.rss" bash -c "$*" >/dev/null
    end=$(date +%s%N)
    echo "$(((end - start) / 1000)) $(tail -n 1 "$data/.rss")" >>"$into"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -a names commands sizes counts
add() { names+=("$1"); commands+=("$2"); sizes+=("$3"); counts+=("$4"); }

prepare
q=$(printf '%q' "$cli")
# Check needs digests: tag both once before measuring.
"$cli" tag -q "$big" >/dev/null
"$cli" tag -q "$tree" >/dev/null

add "1 GiB  quelby-cli check"      "$q check -q $big"                                 "$bigBytes" 1
add "1 GiB  quelby-cli tag"        "$q tag -q $big"                                   "$bigBytes" 1
add "1 GiB  sha256sum"             "sha256sum $big/one-gib.bin"                       "$bigBytes" 1
add "1 GiB  openssl dgst -sha256"  "openssl dgst -sha256 $big/one-gib.bin"            "$bigBytes" 1
add "tree   quelby-cli check"      "$q check -q $tree"                                "$treeBytes" "$treeFiles"
add "tree   quelby-cli tag"        "$q tag -q $tree"                                  "$treeBytes" "$treeFiles"
add "tree   quelby-cli check -b 64K" "$q check -q -b 64K $tree"                        "$treeBytes" "$treeFiles"
add "tree   find|xargs sha256sum"  "find $tree -type f -print0 | xargs -0 sha256sum"  "$treeBytes" "$treeFiles"
add "tree   find|xargs openssl"    "find $tree -type f -print0 | xargs -0 openssl dgst -sha256" "$treeBytes" "$treeFiles"

warm
rm -f "$data"/.t*
for ((round = 1; round <= runs; round++)); do
    for i in "${!names[@]}"; do
        timed "$data/.t$i" "${commands[$i]}"
    done
done

echo "quelby-cli $("$cli" --version | cut -d' ' -f2), $(nproc) cores, $(uname -r), median of $runs runs"
speedLine=$(openssl speed -evp sha256 -bytes 1048576 -seconds 3 2>/dev/null | grep -i '^sha256')
opensslSpeed=$(awk '{ v = $NF; sub(/k$/, "", v); printf "%.0f", v * 1000 / 1e6 }' <<<"$speedLine")
echo "openssl speed -evp sha256 -bytes 1048576: $opensslSpeed MB/s in memory"
printf '\n%-32s %10s %10s %12s %10s %10s\n' "case" "seconds" "MB/s" "files/s" "us/file" "peak MiB"
declare -A rate perSecond
for i in "${!names[@]}"; do
    micros=$(cut -d' ' -f1 "$data/.t$i" | median)
    peak=$(cut -d' ' -f2 "$data/.t$i" | sort -n | tail -n 1)
    read -r seconds mbs fps usf mib < <(awk -v us="$micros" -v b="${sizes[$i]}" -v n="${counts[$i]}" -v kib="$peak" \
        'BEGIN { s = us / 1e6; printf "%.3f %.0f %.0f %.2f %.1f\n", s, b / s / 1e6, n / s, us / n, kib / 1024 }')
    rate[$i]=$mbs
    perSecond[$i]=$fps
    if ((counts[i] == 1)); then
        fps=- usf=-
    fi
    printf '%-32s %10s %10s %12s %10s %10s\n' "${names[$i]}" "$seconds" "$mbs" "$fps" "$usf" "$mib"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo
echo "1 GiB check / openssl speed:        $(ratio "${rate[0]}" "$opensslSpeed")  (target >= 0.82)"
echo "1 GiB check / sha256sum:            $(ratio "${rate[0]}" "${rate[2]}")  (target >= 3)"
echo "tree check / find|xargs sha256sum:  $(ratio "${perSecond[4]}" "${perSecond[7]}")  (files/s, target >= 1.3)"
echo "tree check -b 64K / same:           $(ratio "${perSecond[6]}" "${perSecond[7]}")  (files/s)"
echo "tree tag / find|xargs sha256sum:    $(ratio "${perSecond[5]}" "${perSecond[7]}")  (files/s, target >= 1)"
echo "peak memory, tree check and tag:    see 'peak MiB' above (target < 64 MiB, 1 MiB buffer)"
rm -f "$data"/.t* "$data/.rss"
