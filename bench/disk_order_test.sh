#!/usr/bin/env bash
# disk_order on a made-up trace of a tiny tree: it must pick each file's first
# read of contents out of everything else a trace holds (libraries, /proc, a
# folder, the manifest, a file outside the tree, a second read, a call that
# resumes later), decode names strace escapes (space, quotes, backslash, '>',
# a byte that is not UTF-8; in -xx hex and in plain octal form), and sum the
# jumps that filefrag shows between the files in that order.
#
#   bench/disk_order_test.sh path/to/disk_order
set -euo pipefail

diskOrder=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/disk-order-test.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
tree="$work/tree"
mkdir -p "$tree/sub"
first="$tree/we ird\"'\\<"$'\xff>x'
second="$tree/sub/c d>e"
third="$tree/b"
# Written (and placed, one sync at a time) in another order than the trace
# reads them, so that the trace's order jumps backwards.
for file in "$second:65536" "$third:16384" "$first:4096"; do
    head -c "${file##*:}" /dev/urandom >"${file%:*}"
    sync -- "${file%:*}"
done
head -c 100 /dev/urandom >"$tree/.quelby.sha256"
head -c 4096 /dev/urandom >"$work/outside"
sync

# Start and end byte of a file's data on the disk, from filefrag's extent table.
place() {
    filefrag -v "$1" | awk '
        /^File size of/ { match($0, /of [0-9]+ bytes/); block = substr($0, RSTART + 3) + 0 }
        /^ *[0-9]+: / { split($0, f, ":"); split(f[3], p, /\.\./)
                        if (start == "") start = p[1] * block; end = (p[2] + 1) * block }
        END { if (start == "") exit 1; printf "%.0f %.0f\n", start, end }'
}
if ! places=$(for file in "$first" "$second" "$third"; do place "$file"; done); then
    echo "no extents from filefrag here: the file system gives no FIEMAP" >&2
    exit 77
fi
expected=$(echo "$places" | awk '
    NR > 1 { jump = $1 - end; if (jump < 0) { jump = -jump; back++ } travel += jump }
    { end = $2 }
    END { printf "%.0f %d\n", travel, back }')

hex() { printf %s "$1" | od -An -tx1 -v | tr -d ' \n' | sed 's/../\\x&/g'; }
octal() { printf %s "$1" | sed 's/\\/\\\\/g; s/"/\\"/g; s/>/\\76/g'; }
cat >"$work/trace" <<EOF
100   read(3<$(hex /usr/lib/x86_64-linux-gnu/libc.so.6)>, ""..., 832) = 832
100   read(3</proc/self/mountinfo>, ""..., 1024) = 1024
100   read(4<$(hex "$tree/sub")>, 0x7ffd, 4096) = -1 EISDIR (Is a directory)
100   pread64(4<$(hex "$tree/.quelby.sha256")>, ""..., 65536, 0) = 100
100   read(4<$(hex "$work/outside")>, ""..., 65536) = 4096
101   read(5<$(hex "$first")>, ""..., 1048576) = 4096
[pid   102] pread64(6<$(octal "$second")>, ""..., 1048576, 0) = 65536
101   read(5<$(hex "$first")>, "", 1048576) = 0
102   readv(7<$(hex "$third")>,  <unfinished ...>
101   read(5<$(hex "$third")>, ""..., 1048576) = 16384
102   <... readv resumed>[{iov_base=""..., iov_len=16384}], 1) = 16384
EOF

report=$("$diskOrder" "$tree" "$work/trace")
got=$(echo "$report" | awk '
    /^files read /     { files = $NF }
    /^files gone /     { gone = $NF }
    /^head travel /    { travel = $NF }
    /^backward jumps / { back = $NF }
    END { printf "%s %s %s %s\n", files, gone, travel, back }')
want="3 0 $expected"
if [[ "$got" != "$want" ]]; then
    printf 'expected files, gone, travel, backward jumps: %s\ngot: %s\n%s\n' \
        "$want" "$got" "$report" >&2
    exit 1
fi
