# shellcheck shell=bash
# Shared by the benchmark scripts beside it: source it after setting -euo pipefail.

# Stops the script when a tool it needs is missing.
requireTools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-packages.sh)" >&2; exit 2; }
    done
}

# 100,000 files of 4 KiB of random bytes in 100 folders below $1: the tree on
# which the small-file figures are measured.
makeSmallFilesTree() {
    local tree=$1 f folder
    mkdir -p "$tree"
    for ((f = 0; f < 100; f++)); do
        folder=$(printf '%s/d%03d' "$tree" "$f")
        mkdir "$folder"
        head -c $((1000 * 4096)) /dev/urandom | split -b 4096 -a 3 -d - "$folder/f"
    done
}
