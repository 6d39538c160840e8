#!/usr/bin/env bash
# The journal catalog: one entry for each MESSAGE_ID the scrub sends, no entry
# for any other, only fields the scrub's entries carry, and a file that
# journalctl itself builds into a catalog database, in a scratch root so that
# the machine's own catalog is never touched.
# Arguments: the catalog, the header that defines the MESSAGE_IDs, the source
# that writes the journal entries.
set -euo pipefail
catalog="$1"
ids_header="$2"
journal_source="$3"
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v journalctl >/dev/null || { echo "journalctl is not installed" >&2; exit 77; }
scratch="$(mktemp -d "${TMPDIR:-/tmp}/quelby-catalog-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

mapfile -t sent < <(grep -oE 'MessageId = "[0-9a-f]{32}"' "$ids_header" | grep -oE '[0-9a-f]{32}')
((${#sent[@]} > 0)) || fail "no MESSAGE_ID found in $ids_header"
mapfile -t entries < <(grep -E '^-- ' "$catalog" | cut -c4-)
for id in "${sent[@]}"; do
    count="$(printf '%s\n' "${entries[@]}" | grep -cxF "$id" || true)"
    [[ "$count" == 1 ]] || fail "the catalog has $count entries for MESSAGE_ID $id"
done
for id in "${entries[@]}"; do
    printf '%s\n' "${sent[@]}" | grep -qxF "$id" || fail "the catalog explains $id, which no entry has"
done

# A field the entries do not carry would show as nothing in journalctl -x.
for field in $(grep -oE '@[A-Z_]+@' "$catalog" | tr -d @ | sort -u); do
    grep -qF "\"$field\"" "$journal_source" || fail "the catalog uses @$field@, which no entry carries"
done

mkdir -p "$scratch/root/usr/lib/systemd/catalog"
cp "$catalog" "$scratch/root/usr/lib/systemd/catalog/quelby.catalog"
journalctl --update-catalog --root="$scratch/root" >"$scratch/update.log" 2>&1 ||
    { cat "$scratch/update.log" >&2; fail "journalctl --update-catalog rejects the catalog"; }
[[ ! -s "$scratch/update.log" ]] || { cat "$scratch/update.log" >&2; fail "journalctl warns"; }
listed="$(journalctl --root="$scratch/root" --list-catalog)"
for id in "${sent[@]}"; do
    subject="$(grep -E "^$id quelby: " <<<"$listed" | cut -d' ' -f3- || true)"
    [[ -n "$subject" && "$subject" != n/a ]] || fail "journalctl lists no subject for $id: $listed"
    explained="$(journalctl --root="$scratch/root" --dump-catalog "$id")"
    grep -q '^Documentation: man:quelby-cli(1)$' <<<"$explained" || fail "$id points to no manual"
done
# A problem's next steps, whichever verdict it has.
problem_id="$(grep -oE 'kProblemMessageId = "[0-9a-f]{32}"' "$ids_header" | grep -oE '[0-9a-f]{32}')"
problem="$(journalctl --root="$scratch/root" --dump-catalog "$problem_id")"
for step in 'quelby-cli repair FOLDER' 'quelby-cli repair --from COPY FOLDER' \
    'quelby-cli retag --only-edited --times FOLDER'; do
    grep -qF "$step" <<<"$problem" || fail "a problem's explanation lacks $step"
done
echo "journalctl builds the catalog, one entry for each MESSAGE_ID"
