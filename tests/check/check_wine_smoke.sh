#!/bin/sh
# Runs MovraOPCCheck (the command given) and wants exit code 0, the identification of the
# simulated KMT-G 0A1B and its values in the report.
set -u
out=$("$@" 2>&1)
rc=$?
printf '%s\n' "$out"
fail() { echo "check_wine_smoke: $1" >&2; exit 1; }
[ "$rc" -eq 0 ] || fail "exit code $rc instead of 0"
printf '%s\n' "$out" | grep -q '^  identity 00 00 0A 1B ' || fail "no identification"
printf '%s\n' "$out" | grep -q '^  channels 2 of 3$' || fail "no channel count"
printf '%s\n' "$out" | grep -q '^    K01\.T ' || fail "no values"
printf '%s\n' "$out" | grep -q '^1 of 1 device(s) answered' || fail "no summary"
echo "check_wine_smoke: passed"
