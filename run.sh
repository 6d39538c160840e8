#!/usr/bin/env bash
# Installs what is missing, builds, and starts Quelby. Without a display it
# shows the command-line tool tagging and checking a small demo folder instead.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$root"
scripts/install-packages.sh
scripts/build.sh

if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" && -x build/app/quelby ]]; then
    exec build/app/quelby "$@"
fi

echo "No display here, so instead of the window: quelby-cli on a small demo folder."
demo="$(mktemp -d "${TMPDIR:-/tmp}/quelby-demo-XXXXXX")"
trap 'rm -rf "$demo"' EXIT
mkdir -p "$demo/photos/2024"
printf 'first light\n' >"$demo/photos/2024/dawn.jpg"
printf 'blue hour\n' >"$demo/photos/2024/dusk.jpg"
printf 'shopping list\n' >"$demo/notes.txt"
cli=build/cli/quelby-cli
run() {
    echo
    echo "\$ quelby-cli $*"
    "$cli" "$@" || true
}
run tag --times "$demo"
run check --verbose "$demo"
printf 'edited by accident\n' >>"$demo/photos/2024/dusk.jpg"
echo
echo "(one file changed behind Quelby's back)"
run check "$demo"
