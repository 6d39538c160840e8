#!/usr/bin/env bash
# Builds the .deb from a finished build, unpacks it with dpkg -x and checks
# that what it installs is complete, valid and runs.
set -euo pipefail
build="$1"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/quelby-deb-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The commands the README gives: the package target, and an install without a package.
cmake --build "$build" --target package >"$scratch/package.log" 2>&1 ||
    { cat "$scratch/package.log" >&2; fail "the package target failed"; }
deb="$(ls "$build"/quelby_*_*.deb)"
cmake --install "$build" --prefix "$scratch/prefix" --strip >/dev/null
grep -qxF "ExecStart=$scratch/prefix/bin/quelby-cli scrub --notify --heal --tag-new --every \${QUELBY_EVERY} --for 2h %f" \
    "$scratch/prefix/lib/systemd/user/quelby-scrub@.service" ||
    fail "cmake --install left out the scrub's service or it does not run the installed tool"
[[ -x "$scratch/prefix/bin/quelby-cli" && -s "$scratch/prefix/share/man/man1/quelby-cli.1" &&
    -s "$scratch/prefix/share/man/man1/quelby.1" &&
    -s "$scratch/prefix/share/doc/quelby/json-report.md" &&
    -s "$scratch/prefix/share/doc/quelby/manifest.md" &&
    -s "$scratch/prefix/share/doc/quelby/scrub.md" ]] ||
    fail "cmake --install left out the tool, its man page or the descriptions of its formats"
root="$scratch/root"
dpkg -x "$deb" "$root"

depends="$(dpkg-deb -f "$deb" Depends)"
for needed in libqt6widgets6 libqt6network6 libqt6pdfwidgets6 libplist3 libssl3 libqt6svg6 \
    libsqlite3-0 libsystemd0; do
    [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done

for file in usr/bin/quelby usr/bin/quelby-cli usr/share/doc/quelby/QuelbyHelp.pdf \
    usr/share/doc/quelby/json-report.md usr/share/doc/quelby/manifest.md usr/share/doc/quelby/scrub.md \
    usr/share/doc/quelby/monitoring.md \
    usr/share/doc/quelby/copyright usr/share/man/man1/quelby-cli.1 usr/share/man/man1/quelby.1 \
    usr/share/bash-completion/completions/quelby-cli \
    usr/share/applications/co.mossgroveware.Quelby.desktop \
    usr/share/metainfo/co.mossgroveware.Quelby.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/co.mossgroveware.Quelby.svg \
    usr/lib/systemd/user/quelby-scrub@.service usr/lib/systemd/user/quelby-scrub@.timer \
    usr/lib/systemd/catalog/quelby.catalog usr/share/quelby/monitoring/quelby.rules.yml \
    usr/share/quelby/monitoring/quelby.rules.test.yml \
    usr/share/quelby/monitoring/quelby-dashboard.json; do
    [[ -s "$root/$file" ]] || fail "the package does not install $file"
done
# journalctl finds the catalog where the package puts it, and the rules
# installed beside their tests still pass them.
journalctl --update-catalog --root="$root" >/dev/null 2>&1 || fail "journalctl --update-catalog"
[[ "$(journalctl --root="$root" --list-catalog)" == *" quelby: "* ]] ||
    fail "journalctl does not find the packaged catalog"
promtool test rules "$root/usr/share/quelby/monitoring/quelby.rules.test.yml" >/dev/null ||
    fail "the packaged alert rules fail their unit tests"
grep -q '^ExecStart=/usr/bin/quelby-cli scrub ' "$root/usr/lib/systemd/user/quelby-scrub@.service" ||
    fail "the scrub service does not run the packaged quelby-cli"
desktop-file-validate "$root/usr/share/applications/co.mossgroveware.Quelby.desktop"
# File managers offer Quelby for folders, and pass the folders on.
grep -qx 'MimeType=inode/directory;' "$root/usr/share/applications/co.mossgroveware.Quelby.desktop" ||
    fail "desktop entry: no folder type"
grep -qx 'Exec=quelby %F' "$root/usr/share/applications/co.mossgroveware.Quelby.desktop" ||
    fail "desktop entry: folders not passed on"
appstreamcli validate --no-net "$root/usr/share/metainfo/co.mossgroveware.Quelby.metainfo.xml" \
    >"$scratch/appstream.log" 2>&1 || { cat "$scratch/appstream.log" >&2; fail "metainfo"; }
for page in quelby-cli.1 quelby.1; do
    warnings="$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l "$root/usr/share/man/man1/$page" 2>&1 >/dev/null)"
    [[ -z "$warnings" ]] || fail "man page $page: $warnings"
done
# The programs go out without their symbol tables and debugging sections, whichever way they are
# installed.
for program in "$root/usr/bin/quelby" "$root/usr/bin/quelby-cli" \
    "$scratch/prefix/bin/quelby" "$scratch/prefix/bin/quelby-cli"; do
    sections="$(readelf -S -W "$program")" || fail "$program is no ELF file"
    [[ "$sections" != *" .symtab "* && "$sections" != *" .debug_info "* ]] ||
        fail "$program is not stripped"
done
grep -q '^License: GPL-3.0-or-later$' "$root/usr/share/doc/quelby/copyright" || fail "copyright"
grep -q '<project_license>GPL-3.0-or-later</project_license>' \
    "$root/usr/share/metainfo/co.mossgroveware.Quelby.metainfo.xml" || fail "project_license"

version="$("$root/usr/bin/quelby-cli" --version)"
[[ "$version" == "quelby-cli $(dpkg-deb -f "$deb" Version)" ]] || fail "version: $version"
# The app answers --help and --version without a display.
version="$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$root/usr/bin/quelby" --version)"
[[ "$version" == "quelby $(dpkg-deb -f "$deb" Version)" ]] || fail "app version: $version"
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$root/usr/bin/quelby" --help |
    grep -q '^Usage: quelby ' || fail "quelby --help"

folder="$scratch/folder"
mkdir -p "$folder/sub"
echo one >"$folder/a.txt"
echo two >"$folder/sub/b.txt"
"$root/usr/bin/quelby-cli" tag "$folder" >/dev/null
report="$("$root/usr/bin/quelby-cli" check "$folder")"
[[ "$report" == *"2 matched digest correctly"* ]] || fail "check after tag: $report"

# The desktop app, offscreen, with its own settings in which the update check is off.
config="$scratch/config"
mkdir -p "$config/mossgroveware"
printf '[General]\nnoUpdateCheck=true\n' >"$config/mossgroveware/Quelby.conf"
status=0
XDG_CONFIG_HOME="$config" HOME="$scratch" QT_QPA_PLATFORM=offscreen \
    timeout 5 "$root/usr/bin/quelby" >"$scratch/app.log" 2>&1 || status=$?
[[ $status == 124 ]] || { cat "$scratch/app.log" >&2; fail "quelby ended early with status $status"; }
grep -q 'noUpdateCheck=true' "$config/mossgroveware/Quelby.conf" || fail "settings store"
echo "the package installs and runs"
