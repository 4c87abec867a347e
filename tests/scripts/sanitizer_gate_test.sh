#!/usr/bin/env bash
# The sanitizer gate fails on real findings only.
set -uo pipefail
gate=${1:?usage: sanitizer_gate_test.sh GATE}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expected status | file contents
cases=(
  "0|"
  "0|==5652==Unable to get registers from thread 5647."
  "0|==77==LeakSanitizer has encountered a fatal error."
  "1|==1==ERROR: AddressSanitizer: heap-buffer-overflow on address 0x602"
  "1|==1==ERROR: LeakSanitizer: detected memory leaks"
  "1|core/x.cpp:3:5: runtime error: signed integer overflow"
  "1|==9==ERROR: UndefinedBehaviorSanitizer: SEGV on unknown address"
)
for entry in "${cases[@]}"; do
  want=${entry%%|*}
  text=${entry#*|}
  rm -rf "$work/r" && mkdir "$work/r"
  printf '%s' "$text" >"$work/r/asan.kelvo_pgtool_cli.1"
  "$gate" "$work/r" >"$work/out" 2>&1
  got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL: '$text' gave $got, expected $want"
    cat "$work/out"
    failures=$((failures + 1))
  fi
done
# A directory with no report at all passes quietly.
rm -rf "$work/r" && mkdir "$work/r"
if ! "$gate" "$work/r" >"$work/out" || [ -s "$work/out" ]; then
  echo "FAIL: an empty directory"
  failures=$((failures + 1))
fi
exit $((failures > 0))
