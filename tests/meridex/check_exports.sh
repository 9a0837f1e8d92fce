#!/usr/bin/env bash
# libmeridex.so must export the classes and functions of its headers and
# nothing else: no picture record internals, no standard library template
# copies, no GNU unique symbol (which would keep it loaded for good).
set -euo pipefail
lib=$1
symbols=$(nm -D --defined-only "$lib")
unique=$(awk '$2 == "u" {print $3}' <<<"$symbols" | c++filt)
if [[ -n "$unique" ]]; then
  echo "GNU unique symbols:"; printf '%s\n' "$unique"; exit 1
fi
exported=$(awk '$2 ~ /^[TDBVWRi]$/ {print $3}' <<<"$symbols" | c++filt)
unexpected=$(printf '%s\n' "$exported" |
  grep -v -E '^Meridex::(CTags|CSaveBatch|CPictureTag)::|^Meridex::(CheckSave|CleanUpFolder|FileNameFromNative|FileNameToNative|InitLogging|InstallEnvironment)(\[abi:cxx11\])?\(' |
  grep -v '^$' || true)
internal=$(printf '%s\n' "$exported" | grep -E '::Record::' || true)
if [[ -n "$unexpected$internal" ]]; then
  echo "unexpected exported symbols:"; printf '%s\n' "$unexpected" "$internal" | grep -v '^$' | head -20; exit 1
fi
echo "exports ok: $(printf '%s\n' "$exported" | grep -c .) symbol(s)"
