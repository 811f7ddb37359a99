#!/usr/bin/env bash
# Fails, with the difference, when Qt's lupdate would change the Polish catalogue: every text
# the program's sources and forms ask for has its entry in the context and with the comment it
# is asked for, and the catalogue holds nothing else. lupdate works on a copy; the catalogue
# itself is never written. Guessed translations are switched off, so that a new text shows up
# as an empty entry to be translated by hand.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
catalogue=$root/src/languages/orvi_pl_PL.ts
lupdate=${LUPDATE:-/usr/lib/qt6/bin/lupdate}
[ -x "$lupdate" ] || { echo "check-catalogue: no $lupdate (package qt6-l10n-tools)" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$catalogue" "$scratch/orvi_pl_PL.ts"
if ! "$lupdate" -silent -locations none -no-obsolete -disable-heuristic sametext \
    -disable-heuristic similartext -disable-heuristic number "$root/src" \
    -ts "$scratch/orvi_pl_PL.ts" >"$scratch/lupdate.log" 2>&1; then
    cat "$scratch/lupdate.log" >&2
    echo "check-catalogue: lupdate failed" >&2
    exit 2
fi
if ! diff -u --label src/languages/orvi_pl_PL.ts --label "after lupdate" "$catalogue" \
    "$scratch/orvi_pl_PL.ts"; then
    grep -v '^Scanning\|^Updating\|^    Found' "$scratch/lupdate.log" >&2 || true
    echo "check-catalogue: the catalogue does not match the texts of src/ (diff above): ask" \
        "for each text with QCoreApplication::translate(\"translation\", text, comment), or add" \
        "its entry (empty and unfinished until it is translated)" >&2
    exit 1
fi
echo "check-catalogue: src/languages/orvi_pl_PL.ts matches the texts of src/"
