#!/usr/bin/env bash
# ./veldra run: a built launcher runs under the project's Wine prefix with the arguments as
# given, and the command ends with its status (the low 8 bits, which is all Linux passes on).
# usage: run_command.sh VELDRA_SCRIPT PROBE_EXE
set -uo pipefail
veldra="$1" probe="$2"
case_name=run_command failures=0
source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"
output="$("$veldra" run "$probe" print-args "two words" "" 'a"b' exit=0x1207)"
status=$?
expected=$'argv[1]=[print-args]\nargv[2]=[two words]\nargv[3]=[]\nargv[4]=[a"b]\nargv[5]=[exit=0x1207]'
[ "$status" -eq 7 ] || fail "status $status, expected 7 (0x1207 cut to 8 bits)"
[ "$(printf '%s\n' "$output" | grep -v '^argv\[0\]')" = "$expected" ] || fail "the application saw"$'\n'"$output"
exit "$failures"
