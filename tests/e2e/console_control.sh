#!/usr/bin/env bash
# Console control end to end. Wine turns a Linux SIGINT into the console's Ctrl+C: it runs the
# registered handlers with CTRL_C_EVENT on a new thread, in every Wine process the signal
# reaches. Sending it to the process group of a running launcher is what a user's Ctrl+C does
# on Windows, where parent and child share the console and both receive the event.
#
# What was learned about pids here (Wine 8.0): a program that the `wine` command starts runs
# under the command's own Linux pid, with a persistent wineserver and with a fresh one alike;
# its process title is its command line as given (a Unix path from the shell, the Windows path
# for a process made by CreateProcessW). Processes made by CreateProcessW are forked by their
# Windows parent and stay in its process group. Still, no pid is assumed: each case runs the
# launcher under a name of its own, finds its processes with pgrep -f and signals their
# process group. With set -m every background job of this script gets a group of its own, so
# the signal reaches neither this script nor the file holder; the runner in the launcher's
# group ignores it with a handler of its own.
#
# Under Wine a handler that returns FALSE makes the process exit with status 0 (Windows:
# 0xC000013A, STATUS_CONTROL_C_EXIT). The launcher's handlers never leave the status to that:
# the parent's ends the process itself, and the child's, asked after the application's own,
# ends an event the application leaves alone with 0xC000013A, as Windows does. CTRL_BREAK_EVENT
# is not delivered at all under Wine, so only Ctrl+C is exercised.
#
# usage: console_control.sh E2E_TESTS_EXE PROBE_EXE WORK_DIR
set -uo pipefail
set -m
tests_exe="$1" probe_exe="$2" work="$3"
failures=0
case_name=""

source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"

# start_case NAME APP_ARGS...: runs the launcher with a temp folder of its own; the application
# writes its folder into a marker file once it runs, then sleeps for a minute.
start_case() {
  case_name="$1"
  shift
  dir="$work/$case_name"
  rm -rf "$dir"
  mkdir -p "$dir/temp"
  exe="$dir/cc_$case_name.exe"
  cp "$probe_exe" "$exe"
  wine "$tests_exe" --veldra-probe run_in_temp "$(wine_path "$dir/status")" "$(wine_path "$dir/temp")" \
    "$(wine_path "$exe")" "$@" "marker=$(wine_path "$dir/running")" sleep=60000 >"$dir/output" 2>&1 &
  runner=$!
  if ! wait_for_file "$dir/running" 60; then
    fail "the application never started"
    return 1
  fi
  folder="$(linux_path "$(cat "$dir/running")")"
  [ -d "$folder" ] || fail "the unpack folder $folder does not exist while the application runs"
  launcher_pids="$(pgrep -f "^$(wine_path "$exe" | sed 's/\\/\\\\/g')" | tr '\n' ' ')"
  note "runner pid $runner; launcher pids (parent, child): $launcher_pids"
  group="$(ps -o pgid= -p "${launcher_pids%% *}" | tr -d ' ')"
  note "process group of the launcher: $group (the runner's own: $runner)"
}

# interrupt: Ctrl+C to the launcher's group; sets `took` to the seconds until the parent ended.
interrupt() {
  local start
  start="$(now)"
  kill -INT -- "-$group"
  wait "$runner"
  took="$(elapsed_since "$start")"
  note "parent ended $took s after Ctrl+C with status $(cat "$dir/status" 2>/dev/null)"
}

expect_no_launcher_left() {
  sleep 0.5
  if pgrep -f "cc_$case_name.exe" | grep -qv "^$$\$"; then
    fail "a launcher process is still running: $(pgrep -af "cc_$case_name.exe")"
  fi
}

expect_status() {  # the parent's status as a Windows caller sees it
  [ "$(cat "$dir/status" 2>/dev/null)" = "$1" ] || fail "status $(cat "$dir/status" 2>/dev/null), expected $1"
}

# 1. The child ends at Ctrl+C (the application registered no handler): teardown finds it gone
#    at once, removes the folder, and the parent ends with the child's status, that of Ctrl+C.
if start_case child_ends print-folder; then
  interrupt
  [ -d "$folder" ] && fail "the unpack folder is still there"
  below "$took" 4 || fail "took $took s; expected no grace period"
  expect_status 0xc000013a
  expect_no_launcher_left
fi

# 2. The child ignores Ctrl+C: after 3 s of grace the parent ends it, then removes the folder.
#    All of it must end within the 5 s a closing console gives a process on Windows.
if start_case child_ignores ignore-ctrl-c; then
  interrupt
  [ -d "$folder" ] && fail "the unpack folder is still there"
  at_least "$took" 2.9 || fail "took $took s; expected the 3 s grace period"
  below "$took" 4.5 || fail "took $took s; expected about 3 s, well inside the 5 s of a closing console"
  # The launcher ended the child, so the parent ends with the status of Ctrl+C.
  expect_status 0xc000013a
  expect_no_launcher_left
fi

# 2b. The same, 20 times over, five at a time: the status is decided, never raced.
case_name=child_ignores_20
interrupted_runs 20 0xc000013a running "$probe_exe" ignore-ctrl-c "marker=@DIR@\\running" sleep=60000

# 3. A file in the folder held open by another process: removal gives up after 11 attempts
#    (about 1 s) and leaves the folder.
if start_case held_file; then
  held="$folder/data/level1/note.txt"
  wine "$tests_exe" --veldra-probe hold_file "$(wine_path "$held")" "$(wine_path "$dir/held")" 8000 \
    >/dev/null 2>&1 &
  holder=$!
  if wait_for_file "$dir/held" 30; then
    interrupt
    [ -f "$held" ] || fail "the held file is gone"
    at_least "$took" 0.9 || fail "took $took s; expected 10 pauses of 100 ms"
    below "$took" 2.5 || fail "took $took s; expected about 1 s"
    expect_no_launcher_left
  else
    fail "the file holder never started"
    kill -INT -- "-$group"
    wait "$runner"
  fi
  wait "$holder"
  rm -rf "$folder"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all console-control checks passed"
