#!/usr/bin/env bash
# No test plug-in module may export a GNU unique symbol ('u' in nm): glibc
# never unloads a module that has one, so a replaced file would not be read.
set -euo pipefail
folder=$1
checked=0
failed=0
for module in "$folder"/*.so; do
  # Skip what is not a shared object (a test's broken module).
  [[ "$(head -c 4 "$module")" == $'\x7fELF' ]] || continue
  unique=$(nm -D --defined-only "$module" | awk '$2 == "u" {print $3}' | c++filt)
  if [[ -n "$unique" ]]; then
    echo "$module exports unique symbols:"
    printf '  %s\n' $unique | head -20
    failed=1
  fi
  checked=$((checked + 1))
done
if [[ $checked -lt 2 ]]; then
  echo "no modules found in $folder"
  exit 1
fi
[[ $failed -eq 0 ]] && echo "no unique symbols in $checked module(s)"
exit $failed
