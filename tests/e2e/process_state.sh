#!/usr/bin/env bash
# The process state a main module is handed: the state probe's report under the packed
# launcher and under a plain console program of the same toolchain that loads the same
# main.dll, started alike (same folder, arguments, environment and standard streams). The two
# must be equal but for what the launcher's contract makes differ:
#   argv[0] (and the C runtime's view of it)   the launcher's full path, not the host's
#   main_module_path                           the main module in the unpack folder
#   VELDRA_ONEFILE_* variables                 the launcher's own, which the application reads
#
# usage: process_state.sh PLAIN_HOST_EXE PROBE_MAIN_DLL PACKED_PROBE_EXE WORK_DIR
set -uo pipefail
host_exe="$1" probe_dll="$2" packed_exe="$3" work="$4"
failures=0
case_name=process_state

source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"

rm -rf "$work"
mkdir -p "$work/host" "$work/cwd"
cp "$host_exe" "$work/host/plain_host.exe"
cp "$probe_dll" "$work/host/main.dll"
cp "$packed_exe" "$work/launcher.exe"
cd "$work/cwd"

# run NAME EXE: the probe's report in $work/NAME.report, its streams beside it. Both runs get
# the same arguments, the report's path among them.
run() {
  local status=0
  rm -f "$work/state.report"
  wine "$2" "$(wine_path "$work/state.report")" "with space" "ü ☃ 😀" "" 'trailing\' \
    </dev/null >"$work/$1.out" 2>"$work/$1.err" || status=$?
  [ "$status" = 0 ] || fail "$1: status $status, expected 0; $(cat "$work/$1.err")"
  mv "$work/state.report" "$work/$1.report" 2>/dev/null || fail "$1: no report"
}

# The lines the launcher's contract makes differ left out. The environment is compared as a
# set: Wine appends its own variables to a block it starts from Linux unsorted, and a block
# the parent has changed comes to the child in another order.
comparable() {
  local differing='^(argv\[0\]|crt_argv\[0\]|crt_wargv\[0\]|main_module_path) |^(environment|crt_environ) VELDRA_(ONEFILE_|ORIGINAL_ARGV0=)'
  grep -aEv "$differing" "$1" | grep -aEv '^(environment|crt_environ) '
  grep -aEv "$differing" "$1" | grep -aE '^(environment|crt_environ) ' | LC_ALL=C sort
}

run host "$work/host/plain_host.exe"
run launcher "$work/launcher.exe"
if [ "$failures" = 0 ]; then
  if ! diff <(comparable "$work/host.report") <(comparable "$work/launcher.report") >"$work/differences"; then
    fail "the main module finds another process state under the launcher (< host, > launcher):"
    cat "$work/differences" >&2
  fi
  grep -q '^x87_control_word 0x37f$' "$work/launcher.report" ||
    fail "x87 control word under the launcher: $(grep x87 "$work/launcher.report")"
  grep -q '^argv\[0\] Z:.*\\launcher.exe$' "$work/launcher.report" ||
    fail "argv[0] under the launcher: $(grep '^argv\[0\]' "$work/launcher.report")"
  grep -q '^main_module_path .*\\onefile_[^\\]*\\main.dll$' "$work/launcher.report" ||
    fail "main_module_path under the launcher: $(grep '^main_module_path' "$work/launcher.report")"
fi

# The C runtime's app type, which decides whether abort and assert write to standard error or
# open a dialog, cannot be asked of Wine's msvcrt (its __get_app_type is a stub that ends the
# process); its trace says what it was set to. Under the launcher each C runtime DLL loaded in
# the child is told (Wine's own DLLs load ucrtbase beside msvcrt), each as Console.
case_name=app_type
for side in host launcher; do
  exe="$work/host/plain_host.exe"
  [ "$side" = launcher ] && exe="$work/launcher.exe"
  WINEDEBUG=trace+msvcrt wine "$exe" "$(wine_path "$work/trace.report")" </dev/null >/dev/null 2>"$work/$side.trace"
  set_to="$(grep -a -o '__set_app_type ([0-9]*) [A-Za-z]* application' "$work/$side.trace" | sort -u | tr '\n' ' ')"
  [ "$set_to" = "__set_app_type (1) Console application " ] ||
    fail "$side: the C runtime was told: '$set_to', expected a console application"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "the main module finds the same process state under the launcher as under a plain host"
