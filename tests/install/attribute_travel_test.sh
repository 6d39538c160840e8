#!/usr/bin/env bash
# Which copies keep the digest attribute: the README promises exactly these.
set -euo pipefail
cli="$1"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/quelby-travel-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
mkdir -p Pictures/2024
echo "first light" >Pictures/2024/dawn.jpg
"$cli" tag --times Pictures >/dev/null
getfattr -d Pictures/2024/dawn.jpg | grep -q '^user.co.mossgroveware.quelby.hash#S=' ||
    { echo "FAIL: getfattr -d does not show the digest" >&2; exit 1; }

verdict() { # prints kept or lost for a copied folder
    local report
    report="$("$cli" check "$1")"
    if [[ "$report" == *"1 matched digest correctly"* ]]; then echo kept; else echo lost; fi
}
expect() { # expect kept|lost COPY-COMMAND...
    local want="$1"
    shift
    rm -rf copy
    "$@"
    local got
    got="$(verdict copy)"
    [[ "$got" == "$want" ]] || { echo "FAIL: '$*' $got the attribute, expected $want" >&2; exit 1; }
    echo "$want: $*"
}
expect kept cp -a Pictures copy
expect kept cp -r --preserve=xattr Pictures copy
expect kept rsync -aX Pictures/ copy/
expect lost cp -r Pictures copy
expect lost cp -rp Pictures copy
expect lost rsync -a Pictures/ copy/
tar_copy() { # tar_copy CREATE-OPTIONS EXTRACT-OPTIONS
    tar $1 -cf pictures.tar Pictures
    mkdir -p unpacked && tar $2 -xf pictures.tar -C unpacked && mv unpacked/Pictures copy
    rmdir unpacked
}
expect kept tar_copy --xattrs --xattrs
expect lost tar_copy "" ""
