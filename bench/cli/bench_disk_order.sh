#!/usr/bin/env bash
# Name order against disk order on a tree whose names and places disagree:
# 20,000 files in 40 folders, 4, 16, 64 and 256 KiB in equal parts (about
# 1.7 GB), written in a shuffled order on ext4 and tagged once. For each order
# it prints the head's travel and backward jumps of a traced run (through
# bench/disk_order, with its estimate for a spinning disk), the wall time of
# `--jobs 1` (hyperfine, median of RUNS runs, both orders in the same
# invocation; the page cache dropped before every run when root, else warm)
# and the peak resident memory (/usr/bin/time -f %M), each beside its target.
#
# The two command lines compared are quelby-cli followed by NAME_ARGS or
# DISK_ARGS and the tree. When quelby-cli refuses the disk side's options, the
# name side falls back to the same command without --order and the disk side
# is left out, saying so. The data is made once under ${TMPDIR:-/tmp} and kept
# (remove it with --clean).
#
#   bench/cli/bench_disk_order.sh [path/to/quelby-cli [path/to/disk_order]]
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
data="${TMPDIR:-/tmp}/quelby-bench-disk-order"
runs=${RUNS:-5}
nameArgs=${NAME_ARGS:-check --order name --jobs 1 -q}
diskArgs=${DISK_ARGS:-check --order disk --jobs 1 -q}

if [[ "${1:-}" == "--clean" ]]; then
    rm -rf -- "$data"
    exit 0
fi
cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
diskOrder=$(realpath -- "${2:-$repo/build/bench/disk_order}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
[[ -x "$diskOrder" ]] || { echo "no disk_order at $diskOrder: build it first" >&2; exit 2; }
for tool in hyperfine strace findmnt; do
    command -v "$tool" >/dev/null ||
        { echo "missing $tool (scripts/install-packages.sh)" >&2; exit 2; }
done
[[ -x /usr/bin/time ]] || { echo "missing /usr/bin/time (scripts/install-packages.sh)" >&2; exit 2; }

mkdir -p "$data"
fileSystem=$(findmnt -n -o FSTYPE -T "$data")
if [[ "$fileSystem" != ext4 ]]; then
    echo "$data is on $fileSystem, not ext4: point TMPDIR at an ext4 folder" >&2
    exit 2
fi
echo "== data under $data, on ext4" >&2

tree="$data/tree"
readonly folders=40 filesPerFolder=500
readonly sizes=(4096 16384 65536 262144)
files=$((folders * filesPerFolder))

if [[ ! -e "$data/.complete" ]]; then
    echo "Preparing $tree (once; about 1.7 GB) ..." >&2
    rm -rf -- "$tree"
    mkdir -p "$tree"
    for ((f = 0; f < folders; f++)); do
        mkdir "$(printf '%s/d%02d' "$tree" "$f")"
    done
    # Every file's folder, name and size are fixed by its number; the numbers
    # are written in a shuffled order, so that where the file system places a
    # file has nothing to do with its name.
    for ((n = 0; n < files; n++)); do echo "$n"; done | shuf |
        while read -r n; do
            head -c "${sizes[n % 4]}" /dev/urandom >"$(printf '%s/d%02d/f%03d' "$tree" \
                $((n % folders)) $((n / folders)))"
        done
    sync
    "$cli" tag -q "$tree" >/dev/null
    sync
    touch "$data/.complete"
fi

# Without --order in quelby-cli yet, only name order can be measured.
measureDisk=1
read -ra args <<<"$diskArgs"
if ! probe=$("$cli" "${args[@]}" "$tree/d00" 2>&1 >/dev/null); then
    echo "== quelby-cli refuses '$diskArgs': $probe" >&2
    echo "== measuring name order only, with '${nameArgs/--order name /}'" >&2
    nameArgs=${nameArgs/--order name /}
    measureDisk=0
fi
orders=(name)
if ((measureDisk)); then orders+=(disk); fi
argsOf() { if [[ "$1" == name ]]; then echo "$nameArgs"; else echo "$diskArgs"; fi; }
# The words of an order's command line after quelby-cli, into args.
splitArgs() { read -ra args <<<"$(argsOf "$1")"; }

declare -A figure
for order in "${orders[@]}"; do
    log="$data/$order.strace"
    splitArgs "$order"
    strace -f -y -xx -s 0 -e trace=read,readv,pread64,preadv,preadv2 -o "$log" \
        "$cli" "${args[@]}" "$tree" >/dev/null
    while read -r line; do
        figure[$order,${line% *}]=${line##* }
    done < <("$diskOrder" "$tree" "$log" | sed 's/  */ /g')
    rm -f -- "$log"
    peak=0
    for ((r = 0; r < 3; r++)); do
        kib=$( { /usr/bin/time -f %M "$cli" "${args[@]}" "$tree" >/dev/null; } 2>&1 | tail -1)
        if ((kib > peak)); then peak=$kib; fi
    done
    figure[$order,peak KiB]=$peak
done

commands=()
for order in "${orders[@]}"; do
    commands+=(-n "$order" "$cli $(argsOf "$order") $tree")
done
if [[ $(id -u) == 0 ]]; then
    cache="page cache dropped before each run"
    prepare=(--prepare "sync; echo 3 >/proc/sys/vm/drop_caches")
else
    cache="page cache warm (not root: cannot drop it)"
    prepare=(--warmup 1)
fi
hyperfine --runs "$runs" "${prepare[@]}" --export-csv "$data/wall.csv" "${commands[@]}" >&2
while IFS=, read -r name _ _ median _; do
    [[ "$name" == command ]] || figure[$name,median s]=$(printf '%.3f' "$median")
done <"$data/wall.csv"

windows=$(((files + 4095) / 4096))
row() { # label, key, target
    printf '%-34s %16s %16s   %s\n' "$1" "${figure[name,$2]:-}" "${figure[disk,$2]:--}" "$3"
}
ratio() { # disk figure over name figure, or "-" without a disk side
    if ((measureDisk)); then
        awk -v d="${figure[disk,$1]}" -v n="${figure[name,$1]}" \
            'BEGIN { if (n == 0) print "-"; else printf "%.3f", d / n }'
    else
        echo -
    fi
}

echo "== $files files in $folders folders; wall time: median of $runs runs, $cache"
printf '%-34s %16s %16s   %s\n' "" "name order" "disk order" "target"
row "files read" "files read" ""
row "files without a place" "files without a place" ""
for order in "${orders[@]}"; do
    figure[$order,travel GiB]=$(awk -v b="${figure[$order,head travel bytes]}" \
        'BEGIN { printf "%.1f", b / 2^30 }')
done
row "head travel (GiB)" "travel GiB" "disk/name $(ratio 'head travel bytes') (<= 0.1)"
row "backward jumps" "backward jumps" "disk <= $windows (one per window of 4,096)"
row "jumps" "jumps" ""
row "seeks (backward or over 1 MiB)" "seeks" ""
row "estimate, 8 ms seek, 150 MB/s (s)" "estimated seconds" \
    "disk/name $(ratio 'estimated seconds')"
row "wall time, --jobs 1 (s)" "median s" "disk/name $(ratio 'median s') (<= 1.05)"
row "peak resident memory (KiB)" "peak KiB" "disk/name $(ratio 'peak KiB') (as now: about 1)"
