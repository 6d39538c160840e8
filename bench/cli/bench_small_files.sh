#!/usr/bin/env bash
# What a Check of many small files costs beyond the reads it must make: over
# bench_cli.sh's tree (100,000 files of 4 KiB in 100 folders), page cache warm,
# quelby-cli check beside read_floor (the same open, fstat, read, SHA-256,
# fgetxattr and close per file over a list made beforehand, with as many
# threads as check's default jobs) and beside rhash -c, with wall and CPU
# seconds; then retag, tag and a first scrub, which take the same path per
# file. Given an earlier build, each of check, retag, tag and scrub is timed
# with it too. Every figure is the median of RUNS rounds, the tools taking
# turns within each round. The tree is bench_cli.sh's, made once under
# ${TMPDIR:-/tmp} and kept (bench_cli.sh --clean removes it).
#
#   bench/cli/bench_small_files.sh [path/to/quelby-cli [path/to/earlier/quelby-cli]]
#
# read_floor is taken from build/bench (FLOOR=… for another).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=bench/cli/common.sh
source "$repo/bench/cli/common.sh"
data="${TMPDIR:-/tmp}/quelby-bench-cli"
runs=${RUNS:-11}

cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
earlier=${2:+$(realpath -- "$2")}
[[ -z "$earlier" || -x "$earlier" ]] || { echo "no quelby-cli at $earlier" >&2; exit 2; }
floor=$(realpath -- "${FLOOR:-$repo/build/bench/read_floor}")
[[ -x "$floor" ]] || {
    echo "no read_floor at $floor: cmake --build build --target read_floor" >&2
    exit 2
}
requireTools rhash /usr/bin/time find xargs split nproc

tree="$data/tree"
manifest="$data/tree.sha256"
list="$data/tree.list"
state="$data/.small-files-state"
readonly folders=100 filesPerFolder=1000
readonly treeFiles=$((folders * filesPerFolder))

# bench_cli.sh marks all of its data complete at once; a tree made here alone
# has a mark of its own, so that bench_cli.sh still makes the rest.
if [[ ! -e "$data/.complete" && ! -e "$data/.tree-complete" ]]; then
    echo "Preparing $tree (once) ..." >&2
    rm -rf -- "$tree"
    mkdir -p "$tree"
    makeSmallFilesTree "$tree"
    touch "$data/.tree-complete"
fi

# Check needs digests, rhash a manifest and read_floor a list: all made before
# measuring, then every file read once so that each tool finds it in memory.
"$cli" tag -q "$tree" >/dev/null
(cd "$tree" && rhash --sha256 --bsd -r . -o "$manifest")
find "$tree" -type f -print0 >"$list"
find "$tree" -type f -print0 | xargs -0 cat >/dev/null
jobs=$(nproc)
floorSays=$("$floor" "$jobs" <"$list") || {
    echo "read_floor: $floorSays: the tree is not as tagged" >&2
    exit 1
}

# Runs a command line once; appends "wall-microseconds cpu-seconds peak-KiB".
timed() {
    local into=$1
    shift
    local start end user sys peak
    start=$(date +%s%N)
    /usr/bin/time -f '%U %S %M' -o "$data/.usage" bash -c "$*" >/dev/null
    end=$(date +%s%N)
    read -r user sys peak < <(tail -n 1 "$data/.usage")
    echo "$(((end - start) / 1000)) $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') $peak" >>"$into"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Each case: a key, a name, the command line timed, and one run before it
# that is not timed (a fresh state for a first scrub).
declare -a keys
declare -A names commands before
add() {
    keys+=("$1")
    names[$1]=$2
    commands[$1]=$3
    before[$1]=${4:-}
}

q=$(printf '%q' "$cli")
t=$(printf '%q' "$tree")
s=$(printf '%q' "$state")
fresh="rm -rf -- $s && mkdir -p -- $s"
add floor "read_floor, $jobs threads" "$(printf '%q' "$floor") $jobs <$(printf '%q' "$list")"
add check "check" "$q check -q $t"
add rhash "rhash -c" "cd $t && rhash --skip-ok -c $(printf '%q' "$manifest")"
add retag "retag" "$q retag -q $t"
add tag "tag" "$q tag -q $t"
add scrub "first scrub" "$q scrub -q --state $s/scrub.sqlite $t" "$fresh"
if [[ -n "$earlier" ]]; then
    e=$(printf '%q' "$earlier")
    add earlierCheck "earlier build check" "$e check -q $t"
    add earlierRetag "earlier build retag" "$e retag -q $t"
    add earlierTag "earlier build tag" "$e tag -q $t"
    if "$earlier" --help 2>&1 | grep -q '^  scrub'; then
        add earlierScrub "earlier build first scrub" "$e scrub -q --state $s/scrub.sqlite $t" "$fresh"
    fi
fi

rm -f "$data"/.small-*.t
loadBefore=$(cut -d' ' -f1-3 /proc/loadavg)
for ((round = 1; round <= runs; round++)); do
    # Every other round runs the cases in reverse, so that no tool always
    # follows the same one (as a check following a tag's writes).
    order=("${keys[@]}")
    if ((round % 2 == 0)); then
        order=()
        for ((i = ${#keys[@]} - 1; i >= 0; i--)); do
            order+=("${keys[$i]}")
        done
    fi
    for key in "${order[@]}"; do
        [[ -z "${before[$key]}" ]] || bash -c "${before[$key]}"
        timed "$data/.small-$key.t" "${commands[$key]}"
    done
done
loadAfter=$(cut -d' ' -f1-3 /proc/loadavg)
rm -rf -- "$state"

echo "quelby-cli $("$cli" --version | cut -d' ' -f2), $(nproc) cores, $(uname -r), median of $runs runs"
echo "load average $loadBefore before, $loadAfter after"
printf '\n%-30s %10s %10s %10s %10s %10s\n' "case" "wall s" "CPU s" "files/s" "us/file" "peak MiB"
declare -A wall cpu
for key in "${keys[@]}"; do
    micros=$(cut -d' ' -f1 "$data/.small-$key.t" | median)
    cpu[$key]=$(cut -d' ' -f2 "$data/.small-$key.t" | median)
    peak=$(cut -d' ' -f3 "$data/.small-$key.t" | sort -n | tail -n 1)
    wall[$key]=$(awk -v us="$micros" 'BEGIN { printf "%.3f", us / 1e6 }')
    awk -v name="${names[$key]}" -v us="$micros" -v c="${cpu[$key]}" -v n="$treeFiles" -v kib="$peak" \
        'BEGIN { printf "%-30s %10.3f %10.2f %10.0f %10.2f %10.1f\n", name, us / 1e6, c, n / (us / 1e6), us / n, kib / 1024 }'
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
line() { printf '%-42s %s\n' "$1" "$2"; }
echo
line "check / read_floor, wall:" "$(ratio "${wall[check]}" "${wall[floor]}")  (target <= 1.2)"
line "rhash -c / check, wall:" "$(ratio "${wall[rhash]}" "${wall[check]}")  (target >= 1.4)"
line "check / read_floor, CPU:" "$(ratio "${cpu[check]}" "${cpu[floor]}")"
line "check's CPU beyond read_floor's:" "$(awk -v a="${cpu[check]}" -v b="${cpu[floor]}" -v n="$treeFiles" \
    'BEGIN { printf "%.2f us a file", (a - b) * 1e6 / n }')"
if [[ -n "$earlier" ]]; then
    for key in check retag tag scrub; do
        other=earlier${key^}
        [[ -n "${names[$other]:-}" ]] || continue
        line "${names[$key]}, earlier / this build, wall:" \
            "$(ratio "${wall[$other]}" "${wall[$key]}")  (target >= 1; CPU $(ratio "${cpu[$other]}" "${cpu[$key]}"))"
    done
fi
rm -f "$data"/.small-*.t "$data/.usage"
