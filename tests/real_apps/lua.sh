#!/usr/bin/env bash
# The Lua 5.4 interpreter, packed as a one-file launcher, against Debian's native lua5.4 of the
# same version: one script (numbers, strings and UTF-8, tables, coroutines, caught errors, the
# arguments, standard input, a status of its own) gives the same output, errors and status
# (line ends normalised). Then the packed interpreter loads a C module at run time by its bare
# name, package.loadlib("greet.dll", ...), which the system finds in the unpack folder.
#
# usage: lua.sh PACKER APP_DIR SCRIPT WORK_DIR
set -uo pipefail
packer="$1" app="$2" script="$3" work="$4"
native=/usr/bin/lua5.4
failures=0
case_name=pack

source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"

rm -rf "$work"
mkdir -p "$work"
packed="$work/lua.exe"
"$packer" pack "$app" -o "$packed" --main main.dll >/dev/null || { echo "could not pack $app" >&2; exit 1; }
printf 'one\ntwo ü\n' >"$work/stdin.txt"
inputs=("$script")
in_both script "$work/stdin.txt" "$(basename "$script")" "with space" "ü ☃ 😀" "" 'trailing\'
[ "$(cat "$work/native/script.status")" = 3 ] || fail "native status $(cat "$work/native/script.status"), expected 3"

case_name=bare_name_load
status=0
output="$(cd "$work/launcher" && wine "$packed" -e \
  "local open = assert(package.loadlib('greet.dll', 'luaopen_greet')); print(open().greet('ü'))" </dev/null 2>&1)" ||
  status=$?
[ "$status" = 0 ] || fail "status $status; $output"
[ "$(tr -d '\r' <<<"$output")" = "hello, ü, from greet.dll" ] || fail "printed: $output"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "the packed Lua interpreter matches native lua5.4"
