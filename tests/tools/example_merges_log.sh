#!/usr/bin/env bash
# Runs the example host in its own process and checks what its exit left:
# the trace file merged into the parent log (UTF-8, CR LF) and deleted.
set -euo pipefail
example=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
out=$("$example" "$dir")
parent=$(printf '%s\n' "$out" | sed -n 's/^parent log (the trace is merged into it at exit): //p')
trace=$(printf '%s\n' "$out" | sed -n 's/^trace file (while running): //p')
[[ -f "$parent" ]] || { echo "no parent log at '$parent'"; exit 1; }
[[ -n "$trace" && ! -e "$trace" ]] || { echo "trace file '$trace' was not merged and deleted"; exit 1; }
grep -q "$(basename "$trace")" "$parent" || { echo "parent log lacks the trace file's name"; exit 1; }
grep -q 'INF: example: settings applied' "$parent" || { echo "parent log lacks the info entry"; exit 1; }
grep -q 'WRN: example: a warning with a number 42 and non-ASCII text Björk – Jóga' "$parent" || { echo "non-ASCII entry missing"; exit 1; }
grep -q '50% done, %d stays %d' "$parent" || { echo "percent signs not literal"; exit 1; }
if grep -q 'this debug entry' "$parent"; then echo "an entry above the trace level was written"; exit 1; fi
[[ $(grep -c $'\r$' "$parent") -ge 4 ]] || { echo "lines do not end with CR LF"; exit 1; }
echo "example merged its trace into $parent"
