#!/usr/bin/env bash
# libnimbrel.so must export the host's entry points and nothing else.
set -euo pipefail
lib=$1
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBVWRui]$/ {print $3}' | c++filt)
unexpected=$(printf '%s\n' "$exported" | grep -v -E '^(NewNimbrelInstance\(\)|InitialiseNimbrel\(NimbrelSettings const&\)|NimbrelSourcesUpdateSync\(NimbrelSettings const&\))$' | grep -v '^$' || true)
if [[ -n "$unexpected" ]]; then
  echo "unexpected exported symbols:"
  printf '%s\n' "$unexpected" | head -20
  exit 1
fi
echo "exports ok: $(printf '%s\n' "$exported" | grep -c . || true) symbol(s)"
