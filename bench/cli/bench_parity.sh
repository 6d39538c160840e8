#!/usr/bin/env bash
# Whole-process timings of parity sets beside par2, page cache warm:
# - protecting about 200 MB of photo-sized files in 4 folders: tag --parity 5
#   against par2 create -r5 run in each folder with its defaults, against the
#   same par2 create given Quelby's slice size and recovery slice count, and
#   against a plain tag;
# - repairing one damaged file from parity in a 1 GiB folder of 64 files
#   against a check of that folder.
# Every figure is the median of RUNS runs, the tools taking turns within each
# round, with the peak memory of each. The data is made once under
# ${TMPDIR:-/tmp} and kept for later runs (remove it with --clean).
#
#   bench/cli/bench_parity.sh [path/to/quelby-cli]    default: build/cli/quelby-cli
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=bench/cli/common.sh
source "$repo/bench/cli/common.sh"
data="${TMPDIR:-/tmp}/quelby-bench-parity"
runs=${RUNS:-3}

if [[ "${1:-}" == "--clean" ]]; then
    rm -rf -- "$data"
    exit 0
fi
cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
requireTools par2 /usr/bin/time split

photos="$data/photos"
large="$data/large"
work="$data/work"

prepare() {
    if [[ -e "$data/.complete" ]]; then
        return
    fi
    echo "Preparing $data (once) ..." >&2
    rm -rf -- "$data"
    # 4 folders of 40 files from 200 KiB to 2 MiB, and a raw file of 4 to 9
    # MiB in each: about 200 MB, sized as a photo library's files.
    local f i size
    for ((f = 0; f < 4; f++)); do
        mkdir -p "$photos/roll$f"
        for ((i = 0; i < 41; i++)); do
            if ((i == 40)); then
                size=$((4096 + (f * 1777) % 5120))
            else
                size=$((200 + ((f * 41 + i) * 7919) % 1800))
            fi
            head -c $((size * 1024)) /dev/urandom >"$(printf '%s/roll%d/IMG_%04d.jpg' "$photos" "$f" "$i")"
        done
    done
    # 1 GiB in 64 files of 16 MiB.
    mkdir -p "$large"
    head -c $((1024 * 1048576)) /dev/urandom | split -b $((16 * 1048576)) -a 2 -d - "$large/part"
    touch "$data/.complete"
}

# Runs a command line once; appends "seconds peak-KiB" to the named file.
timed() {
    local into=$1
    shift
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f '%M' -o "$data/.rss" bash -c "$*" >/dev/null 2>&1
    end=$(date +%s%N)
    echo "$(((end - start) / 1000)) $(tail -n 1 "$data/.rss")" >>"$into"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

prepare
q=$(printf '%q' "$cli")
photoBytes=$(du -sb --exclude='.quelby*' "$photos" | cut -f1)

# Quelby's own choice of slices, read from a set it wrote, for par2 to be given the same.
rm -rf "$work" && cp -a "$photos" "$work"
"$cli" tag -q --parity 5 "$work" >/dev/null
verified=$(cd "$work/roll0" && par2 verify .quelby.par2 2>/dev/null | tr '%' '\n')
blockSize=$(awk '/The block size used was/ { print $6 }' <<<"$verified")
blocks=$(grep -o 'including [0-9]* recovery blocks' <<<"$verified" | head -n 1 | awk '{ print $2 }')
blockSize=${blockSize:-0}
blocks=${blocks:-0}

declare -a names commands
add() { names+=("$1"); commands+=("$2"); }
# Each Quelby case starts from a tree without digests or sets: a copy made before timing.
fresh="rm -rf $work && cp -a $photos $work"
add "tag --parity 5"                  "$q tag -q --parity 5 $work"
add "tag"                             "$q tag -q $work"
add "par2 create -r5 (defaults)"      "for d in $work/roll*; do (cd \$d && par2 create -q -q -r5 set.par2 IMG_*); done"
add "par2 create -s$blockSize -c$blocks" "for d in $work/roll*; do (cd \$d && par2 create -q -q -s$blockSize -c$blocks set.par2 IMG_*); done"

# The 1 GiB folder, tagged with its set once; one file is damaged before each repair.
"$cli" tag -q --times --parity 5 "$large" >/dev/null
damage="cp -a $large/part07 $data/part07.keep && printf 'rot' | dd of=$large/part07 bs=1 seek=5000000 conv=notrunc status=none && touch -r $data/part07.keep $large/part07"
restore="mv -f $data/part07.keep $large/part07 && rm -f $large/part07.damaged*"
add "1 GiB repair from parity"        "$q repair -q $large"
add "1 GiB check"                     "$q check -q $large"

cat "$photos"/*/* "$large"/part* >/dev/null
rm -f "$data"/.t*
for ((round = 1; round <= runs; round++)); do
    for i in "${!names[@]}"; do
        case $i in
        0 | 1 | 2 | 3) bash -c "$fresh" ;;
        4) bash -c "$damage" ;;
        esac
        timed "$data/.t$i" "${commands[$i]}"
        if ((i == 4)); then
            # The repaired file is whole again and the damaged one kept: put the original back.
            cmp -s "$large/part07" "$data/part07.keep" || echo "repair did not restore part07" >&2
            bash -c "$restore"
            "$cli" retag -q "$large" >/dev/null
        fi
    done
done

echo "quelby-cli $("$cli" --version | cut -d' ' -f2), $(nproc) cores, $(uname -r), median of $runs runs"
echo "photos: $photoBytes bytes in 4 folders; Quelby's slice size $blockSize, $blocks recovery slices in roll0"
printf '\n%-40s %10s %10s %10s\n' "case" "seconds" "MB/s" "peak MiB"
declare -A seconds
for i in "${!names[@]}"; do
    micros=$(cut -d' ' -f1 "$data/.t$i" | median)
    peak=$(cut -d' ' -f2 "$data/.t$i" | sort -n | tail -n 1)
    bytes=$photoBytes
    ((i >= 4)) && bytes=$((1024 * 1048576))
    read -r s mbs mib < <(awk -v us="$micros" -v b="$bytes" -v kib="$peak" \
        'BEGIN { s = us / 1e6; printf "%.3f %.0f %.1f\n", s, b / s / 1e6, kib / 1024 }')
    seconds[$i]=$s
    printf '%-40s %10s %10s %10s\n' "${names[$i]}" "$s" "$mbs" "$mib"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo
echo "par2 create -r5 / tag --parity 5:        $(ratio "${seconds[2]}" "${seconds[0]}")  (target >= 5)"
echo "par2 create, same slices / tag --parity 5: $(ratio "${seconds[3]}" "${seconds[0]}")"
echo "tag --parity 5 / tag:                    $(ratio "${seconds[0]}" "${seconds[1]}")  (target <= 5)"
echo "repair from parity / check, 1 GiB:       $(ratio "${seconds[4]}" "${seconds[5]}")  (target <= 2)"
rm -f "$data"/.t* "$data/.rss"
