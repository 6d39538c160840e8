#!/usr/bin/env bash
# Whole-process timings of quelby-cli beside rhash, sha256sum and openssl over
# the same bytes, page cache warm: one 1 GiB file, 100,000 files of 4 KiB in
# 100 folders, and about 1 GiB in 800 files of 200 KiB to 30 MiB (photo and raw
# sizes). Every figure is the median of RUNS runs, the tools taking turns
# within each round. The data is made once under ${TMPDIR:-/tmp} and kept for
# later runs (remove it with --clean).
#
#   bench/cli/bench_cli.sh [path/to/quelby-cli [path/to/earlier/quelby-cli]]
#
# The second tool, when given, is timed beside the first with one worker
# (an earlier build, to show a change costs nothing; one that has --jobs is
# given --jobs 1), and with its default jobs on the tree and the photos.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=bench/cli/common.sh
source "$repo/bench/cli/common.sh"
data="${TMPDIR:-/tmp}/quelby-bench-cli"
runs=${RUNS:-5}

if [[ "${1:-}" == "--clean" ]]; then
    rm -rf -- "$data"
    exit 0
fi
cli=$(realpath -- "${1:-$repo/build/cli/quelby-cli}")
[[ -x "$cli" ]] || { echo "no quelby-cli at $cli: build it first" >&2; exit 2; }
earlier=${2:+$(realpath -- "$2")}
requireTools sha256sum openssl rhash /usr/bin/time find xargs split

big="$data/big"
tree="$data/tree"
photos="$data/photos"
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
    makeSmallFilesTree "$tree"
    # 800 files from 200 KiB to 30 MiB, most of them small as in a photo
    # library with some raw files: about 1 GiB in all.
    mkdir -p "$photos"
    local i size
    for ((i = 0; i < 800; i++)); do
        if ((i % 40 == 0)); then
            size=$((20480 + (i * 7919) % 10240))
        else
            size=$((200 + (i * 7919) % 1800))
        fi
        head -c $((size * 1024)) /dev/urandom >"$(printf '%s/IMG_%04d.jpg' "$photos" "$i")"
    done
    touch "$data/.complete"
}

warm() {
    cat "$big/one-gib.bin" >/dev/null
    find "$tree" "$photos" -type f -print0 | xargs -0 cat >/dev/null
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
photosBytes=$(du -sb "$photos" | cut -f1)
# Check needs digests and rhash a manifest: make both once before measuring.
for set in "$big" "$tree" "$photos"; do
    "$cli" tag -q "$set" >/dev/null
    (cd "$set" && rhash --sha256 --bsd -r . -o "$data/$(basename "$set").sha256")
done
rhashCheck() { echo "cd $1 && rhash --skip-ok -c $data/$(basename "$1").sha256"; }
rhashWrite() { echo "cd $1 && rhash --sha256 --bsd -r . -o $data/.written.sha256"; }

add "1 GiB  quelby-cli check"      "$q check -q $big"                        "$bigBytes" 1
add "1 GiB  quelby-cli check -j1"  "$q check -q --jobs 1 $big"               "$bigBytes" 1
add "1 GiB  quelby-cli tag"        "$q tag -q $big"                          "$bigBytes" 1
add "1 GiB  rhash -c"              "$(rhashCheck "$big")"                    "$bigBytes" 1
add "1 GiB  rhash (write)"         "$(rhashWrite "$big")"                    "$bigBytes" 1
add "1 GiB  sha256sum"             "sha256sum $big/one-gib.bin"              "$bigBytes" 1
add "tree   quelby-cli check"      "$q check -q $tree"                       "$treeBytes" "$treeFiles"
add "tree   quelby-cli check -j1"  "$q check -q --jobs 1 $tree"              "$treeBytes" "$treeFiles"
add "tree   quelby-cli tag"        "$q tag -q $tree"                         "$treeBytes" "$treeFiles"
add "tree   rhash -c"              "$(rhashCheck "$tree")"                   "$treeBytes" "$treeFiles"
add "tree   rhash (write)"         "$(rhashWrite "$tree")"                   "$treeBytes" "$treeFiles"
add "tree   find|xargs sha256sum"  "find $tree -type f -print0 | xargs -0 sha256sum" "$treeBytes" "$treeFiles"
add "tree   check -v"              "$q check -q -v $tree"                    "$treeBytes" "$treeFiles"
add "tree   check --explain"       "$q check -q --explain $tree"             "$treeBytes" "$treeFiles"
add "tree   check --json"          "$q check -q --json $tree"                "$treeBytes" "$treeFiles"
add "photos quelby-cli check"      "$q check -q $photos"                     "$photosBytes" 800
add "photos quelby-cli check -j1"  "$q check -q --jobs 1 $photos"            "$photosBytes" 800
add "photos quelby-cli tag"        "$q tag -q $photos"                       "$photosBytes" 800
add "photos rhash -c"              "$(rhashCheck "$photos")"                 "$photosBytes" 800
add "photos rhash (write)"         "$(rhashWrite "$photos")"                 "$photosBytes" 800
if [[ -n "$earlier" ]]; then
    e=$(printf '%q' "$earlier")
    # A build that has --jobs is held to one worker too, so that like is timed against like.
    one=""
    if "$earlier" --help 2>&1 | grep -q -- --jobs; then
        one="--jobs 1"
    fi
    add "1 GiB  earlier build check"   "$e check -q $one $big"               "$bigBytes" 1
    add "tree   earlier build check"   "$e check -q $one $tree"              "$treeBytes" "$treeFiles"
    # And as users run both: default jobs, beside this build's own default-jobs cases.
    add "tree   earlier build, default" "$e check -q $tree"                  "$treeBytes" "$treeFiles"
    add "photos earlier build, default" "$e check -q $photos"                "$photosBytes" 800
fi

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
echo "1 GiB check / openssl speed:           $(ratio "${rate[0]}" "$opensslSpeed")"
echo "1 GiB check / rhash -c:                $(ratio "${rate[0]}" "${rate[3]}")  (target >= 1)"
echo "1 GiB check / check --jobs 1:          $(ratio "${rate[0]}" "${rate[1]}")  (target >= 1)"
echo "1 GiB check / sha256sum:               $(ratio "${rate[0]}" "${rate[5]}")"
echo "tree check / rhash -c:                 $(ratio "${perSecond[6]}" "${perSecond[9]}")  (target >= 1.4)"
echo "tree tag / rhash (write):              $(ratio "${perSecond[8]}" "${perSecond[10]}")  (target >= check's ratio)"
echo "tree check / find|xargs sha256sum:     $(ratio "${perSecond[6]}" "${perSecond[11]}")"
echo "tree check --explain / plain check:    $(ratio "${perSecond[13]}" "${perSecond[6]}")  (target >= 0.95)"
echo "tree check --json / check -v:          $(ratio "${perSecond[14]}" "${perSecond[12]}")  (target >= 0.74)"
echo "photos check / rhash -c:               $(ratio "${rate[15]}" "${rate[18]}")  (target >= 1.7)"
echo "photos check / check --jobs 1:         $(ratio "${rate[15]}" "${rate[16]}")"
echo "photos tag / rhash (write):            $(ratio "${rate[17]}" "${rate[19]}")  (target >= check's ratio)"
if [[ -n "$earlier" ]]; then
    echo "1 GiB check --jobs 1 / earlier build:  $(ratio "${rate[1]}" "${rate[20]}")  (target >= 0.97)"
    echo "tree check --jobs 1 / earlier build:   $(ratio "${perSecond[7]}" "${perSecond[21]}")  (target >= 0.97)"
    echo "tree check / earlier build, default:   $(ratio "${perSecond[6]}" "${perSecond[22]}")  (target >= 0.97)"
    echo "photos check / earlier build, default: $(ratio "${rate[15]}" "${rate[23]}")  (target >= 0.97)"
fi
echo "peak memory:                           see 'peak MiB' above (target < 64 MiB)"
rm -f "$data"/.t* "$data/.rss" "$data/.written.sha256"
