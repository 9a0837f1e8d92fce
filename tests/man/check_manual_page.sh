#!/usr/bin/env bash
# Checks that a program's manual page and its --help name the same options:
# every option --help shows is described in the page, and the page describes
# no option the program no longer has. Options are read from the page's roff
# source (with "\-" as "-" and font changes removed), not from a rendering,
# which may break long option names at their hyphens.
#
# Usage: check_manual_page.sh PROGRAM PAGE
set -euo pipefail
program=$1 page=$2
name=$(basename "$program")

help=$("$program" --help 2>&1) || { echo "$name --help failed" >&2; exit 1; }
source_text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\f(..//g' "$page")

options() { grep -oE '(^|[][ ,|(])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[][ ,|(]//' | sort -u; }
from_help=$(options <<<"$help")
from_page=$(options <<<"$source_text")
[[ -n $from_help ]] || { echo "$name --help shows no option" >&2; exit 1; }

missing=$(comm -23 <(echo "$from_help") <(echo "$from_page"))
stale=$(comm -13 <(echo "$from_help") <(echo "$from_page"))
status=0
if [[ -n $missing ]]; then echo "$page lacks options $name --help shows:" $missing >&2; status=1; fi
if [[ -n $stale ]]; then echo "$page describes options $name --help does not show:" $stale >&2; status=1; fi
# The page renders without warnings where man is installed.
if command -v man >/dev/null 2>&1; then
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) || true
  if [[ -n $warnings ]]; then echo "$page: $warnings" >&2; status=1; fi
fi
[[ $status -eq 0 ]] && echo "$page: $(wc -l <<<"$from_help") options, in step with $name --help"
exit $status
