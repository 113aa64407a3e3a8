#!/usr/bin/env bash
# The launcher started through a linked folder whose link is switched to another folder after
# the parent took its hold on its executable and before it starts the child: the system opens
# the executable again by its path for the child and finds the other folder's file there. The
# parent must start no child from it: it ends the one the system made, before it runs, and
# stops with the launch line. A start-up sweep of a leftover folder with thousands of
# subfolders keeps the parent busy long enough to switch the link in between.
#
# usage: executable_link.sh E2E_TESTS_EXE PROBE_EXE FOREIGN_EXE WORK_DIR
set -uo pipefail
tests_exe="$1" probe_exe="$2" foreign_exe="$3" work="$4"
failures=0
case_name="switched executable link"

source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"

rm -rf "$work"
mkdir -p "$work/real" "$work/foreign" "$work/temp"
cp "$probe_exe" "$work/real/probe.exe"
cp "$foreign_exe" "$work/foreign/probe.exe"
ln -s real "$work/link"
# A leftover of a killed run, of the default template's shape: the sweep removes it before the
# parent unpacks. Its link count falls with every subfolder removed.
leftover="$work/temp/onefile_1_000000_AAAAAAAAAAA"
mkdir -p "$leftover"
(cd "$leftover" && seq -f 'd%05g' 1 1000 | xargs mkdir)
subfolders_at_start="$(stat -c %h "$leftover")"

wine "$tests_exe" --veldra-probe run_in_temp "$(wine_path "$work/status")" "$(wine_path "$work/temp")" \
  "$(wine_path "$work/link/probe.exe")" print-folder >"$work/output" 2>&1 &
runner=$!
switched=""
for ((i = 0; i < 6000; ++i)); do
  count="$(stat -c %h "$leftover" 2>/dev/null || echo 0)"
  if [ "$count" -lt "$subfolders_at_start" ]; then
    ln -s foreign "$work/link.new" && mv -T "$work/link.new" "$work/link"
    switched=yes
    break
  fi
  sleep 0.01
done
wait "$runner"
[ -n "$switched" ] || fail "the sweep never began"
[ -d "$leftover" ] && fail "the sweep ended before the switch; nothing was shown"

status="$(cat "$work/status" 2>/dev/null)"
output="$(tr -d '\r' < "$work/output")"
note "status $status: $output"
[ "$status" = 0x00000002 ] || fail "status $status, expected 0x00000002"
expected_start="Error, couldn't launch child ([Error 1006] "
[ "${output:0:${#expected_start}}" = "$expected_start" ] && [ "${output: -1}" = ")" ] &&
  [ "$(printf '%s\n' "$output" | wc -l)" = 1 ] || fail "output: $output"
[ -z "$(ls -A "$work/temp")" ] || fail "left in the temp folder: $(ls -A "$work/temp")"

rm -rf "$work"
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all executable link checks passed"
