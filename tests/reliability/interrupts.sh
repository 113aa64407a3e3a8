#!/usr/bin/env bash
# Ctrl+C and SIGKILL against the launcher of the 50 MB application, while its parent unpacks
# and while the application runs. Wine turns a Linux SIGINT into the console's Ctrl+C
# (CTRL_C_EVENT on a new thread of every Wine process it reaches); sending it to the process
# group of a running launcher is what a user's Ctrl+C does on Windows, where parent and child
# share the console. A runner (run_counted in the suite's test executable) starts each
# launcher with a temp folder of its own, inside a job object, and records its 32-bit status
# and how many processes the run made; it ignores Ctrl+C itself.
#
# "Unpacking" is seen from outside: the parent has created the main module in the unpack
# folder, the first and largest file (about 37 MB, written in some tenths of a second), and
# its size right before the signal shows that it was still growing.
#
# Under Wine a process that Ctrl+C ends exits with status 0 (Windows: 0xC000013A).
#
# After Ctrl+C during unpacking the parent stops writing, removes what it has written and
# starts no child: the application never runs, and nothing is printed.
#
# While the parent unpacks it holds its own executable open without delete sharing, so that no
# other file can stand at its path when it starts the child: a rename from another Wine process
# fails with a sharing violation (Wine implements share modes across its processes; its cmd
# prints "Sharing violation." where Windows prints the system's text for error 32).
#
# usage: interrupts.sh TESTS_EXE LARGE_EXE WORK_DIR
set -uo pipefail
set -m
tests_exe="$1" large_exe="$2" work="$3"
failures=0
case_name=""

source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"
size_of() { stat -c %s "$1" 2>/dev/null || echo missing; }

main_size="$(stat -c %s "$(dirname "$large_exe")/large/main.dll")"
# The launchers run in a folder of their own, never in the build tree.
rm -rf "$work"
mkdir -p "$work/cwd"
cd "$work/cwd"

wait_for() {  # SECONDS COMMAND...: true once COMMAND succeeds
  local seconds="$1" i
  shift
  for ((i = 0; i < seconds * 100; ++i)); do
    "$@" && return 0
    sleep 0.01
  done
  return 1
}
has_main_module() { compgen -G "$dir/temp/onefile_*/main.dll" >/dev/null; }
non_empty() { [ -s "$1" ]; }

# start_case NAME [VARIABLE=VALUE...]: starts the launcher under a name of its own, with the
# variables given to the application; sets dir, exe, runner, parent (its pid) and group.
start_case() {
  case_name="$1"
  shift
  dir="$work/$case_name"
  rm -rf "$dir"
  mkdir -p "$dir/temp" "$dir/reports"
  exe="$dir/rel_$case_name.exe"
  cp "$large_exe" "$exe"
  run_launcher "$@"
}

run_launcher() {
  rm -f "$dir/result" "$dir/reports/folder"
  env FIXTURE_FOLDER="$(wine_path "$dir/reports/folder")" "$@" \
    wine "$tests_exe" --veldra-probe run_counted "$(wine_path "$dir/result")" "$(wine_path "$dir/temp")" \
    "$(wine_path "$exe")" >"$dir/output" 2>&1 &
  runner=$!
  local pattern="^$(wine_path "$exe" | sed 's/\\/\\\\/g; s/\./\\./g')"
  parent=""
  find_parent() { parent="$(pgrep -f "$pattern" | head -n1)"; [ -n "$parent" ]; }
  if ! wait_for 60 find_parent; then
    fail "the launcher never started"
    return 1
  fi
  group="$(ps -o pgid= -p "$parent" | tr -d ' ')"
}

# The folder that appeared, once the parent has begun writing the main module into it.
wait_for_unpacking() {
  if ! wait_for 60 has_main_module; then
    fail "the parent never began to unpack"
    return 1
  fi
  folder="$(dirname "$(compgen -G "$dir/temp/onefile_*/main.dll" | head -n1)")"
}

finish_runner() {
  wait "$runner"
  read -r status processes < "$dir/result" || { status=missing; processes=missing; }
}

expect_no_launcher_left() {
  sleep 0.5
  if pgrep -f "rel_$case_name\.exe" >/dev/null; then
    fail "a launcher process is still running: $(pgrep -af "rel_$case_name\.exe")"
  fi
}

expect_temp_empty() {
  local left
  left="$(ls -A "$dir/temp")"
  [ -z "$left" ] || fail "left in the temp folder: $left"
}

# 1. Ctrl+C while the parent unpacks: the folder is removed, and nothing starts.
ctrl_c_while_unpacking() {
  if start_case ctrl_c_unpacking && wait_for_unpacking; then
    # The size is read before the signal: once it lands the parent may remove the folder
    # before a read after it, which would say nothing of when the signal came.
    written="$(size_of "$folder/main.dll")"
    kill -INT -- "-$group"
    finish_runner
    note "Ctrl+C with main.dll at $written of $main_size bytes; status $status, $processes process(es)"
    if [ "$written" = missing ] || [ "$written" -ge "$main_size" ]; then
      # A busy machine can delay the signal past the main module; that run proves nothing.
      return 2
    fi
    [ -e "$folder" ] && fail "the unpack folder is still there"
    expect_temp_empty
    [ "$processes" = 1 ] || fail "a child was started after Ctrl+C ($processes processes)"
    [ -e "$dir/reports/folder" ] && fail "the application ran after Ctrl+C"
    [ -s "$dir/output" ] && fail "the launcher printed after Ctrl+C: $(tr -d '\r' < "$dir/output")"
    expect_no_launcher_left
  fi
}

# 2. Ctrl+C while the application runs: the child ends at once, the parent removes the folder.
ctrl_c_while_running() {
  if start_case ctrl_c_running FIXTURE_SLEEP_MS=60000; then
    if wait_for 60 non_empty "$dir/reports/folder"; then
      folder="$(linux_path "$(cat "$dir/reports/folder")")"
      [ -d "$folder" ] || fail "the unpack folder $folder does not exist while the application runs"
      start="$(now)"
      kill -INT -- "-$group"
      finish_runner
      took="$(elapsed_since "$start")"
      note "parent ended $took s after Ctrl+C; status $status, $processes processes"
      [ "$status" = 0x00000000 ] || fail "status $status, expected 0x00000000 (Windows: 0xC000013A)"
      [ "$processes" = 2 ] || fail "$processes processes, expected parent and child"
      below "$took" 4 || fail "took $took s; the child ends at Ctrl+C, so no grace period was due"
      [ -e "$folder" ] && fail "the unpack folder is still there"
      expect_temp_empty
      expect_no_launcher_left
    else
      fail "the application never started"
      kill -INT -- "-$group"
      finish_runner
    fi
  fi
}

# 3. The parent killed outright while it unpacks: nothing can clean up, so the partial folder
#    stays as it was; the next run is unaffected and leaves that folder alone. The test
#    removes it at the end.
killed_while_unpacking() {
  if start_case killed_unpacking && wait_for_unpacking; then
    kill -KILL "$parent"
    finish_runner
    written="$(size_of "$folder/main.dll")"
    left="$(cd "$folder" && find . -type f | sort | tr '\n' ' ')"
    note "killed with main.dll at $written of $main_size bytes; the runner saw status $status," \
         "$processes process(es); left: $(basename "$folder") holding $left"
    [ "$processes" = 1 ] || fail "$processes processes: the kill came after the child started"
    [ -d "$folder" ] || fail "the partial folder is gone"
    [ "$left" = "./main.dll " ] || fail "expected main.dll alone in the partial folder, found: $left"
    if [ "$written" = missing ] || [ "$written" -ge "$main_size" ]; then
      fail "the kill came after the main module was written; the case did not test unpacking"
    fi
    [ -s "$dir/output" ] && fail "output after the kill: $(cat "$dir/output")"
    expect_no_launcher_left

    if run_launcher FIXTURE_EXIT=7; then
      finish_runner
      fresh="$(linux_path "$(cat "$dir/reports/folder" 2>/dev/null)")"
      note "the next run: status $status, $processes processes, folder $(basename "$fresh")"
      [ "$status" = 0x00000007 ] || fail "the next run's status is $status, expected 0x00000007"
      [ "$processes" = 2 ] || fail "the next run made $processes processes, expected 2"
      [ -n "$fresh" ] && [ "$fresh" != "$folder" ] || fail "the next run did not get a fresh folder: '$fresh'"
      [ -e "$fresh" ] && fail "the next run left its folder behind"
      [ "$(size_of "$folder/main.dll")" = "$written" ] || fail "the next run changed the killed run's folder"
      [ "$(ls -A "$dir/temp")" = "$(basename "$folder")" ] || fail "temp folder holds: $(ls -A "$dir/temp")"
    fi
    rm -rf "$folder"
    expect_temp_empty
  fi
}

# 4. A rename of the launcher's executable while its parent unpacks fails, and the run goes on
#    unharmed. A cmd script started before the launcher waits for the main module to appear,
#    tries to move the executable at once and lists what was unpacked by then; fewer files than
#    the archive holds show that the attempt fell inside the unpacking. After the run the same
#    move succeeds: the refusal was the parent's hold, which ends once the child exists.
rename_while_unpacking() {
  case_name=rename_unpacking
  dir="$work/$case_name"
  rm -rf "$dir"
  mkdir -p "$dir/temp" "$dir/reports"
  exe="$dir/rel_$case_name.exe"
  cp "$large_exe" "$exe"
  local temp_w exe_w moved_w
  temp_w="$(wine_path "$dir/temp")" exe_w="$(wine_path "$exe")" moved_w="$(wine_path "$dir/moved.exe")"
  printf '%s\r\n' '@echo off' "echo ready> $(wine_path "$dir/ready")" ':wait' \
    "for /d %%d in ($temp_w\\onefile_*) do if exist %%d\\main.dll goto go" 'goto wait' ':go' \
    "move $exe_w $moved_w" 'echo move status %errorlevel%' \
    "for /d %%d in ($temp_w\\onefile_*) do dir /b /s /a-d %%d" >"$dir/rename.cmd"
  wine cmd /c "$(wine_path "$dir/rename.cmd")" >"$dir/rename.out" 2>&1 &
  local poller=$!
  if ! wait_for 60 non_empty "$dir/ready"; then
    fail "the rename script never started"
    kill "$poller"
    return 1
  fi
  if ! run_launcher; then
    kill "$poller"
    return 1
  fi
  finish_runner
  wait_for 10 grep -q "move status" "$dir/rename.out"
  kill "$poller" 2>/dev/null
  wait "$poller" 2>/dev/null
  local unpacked total
  unpacked="$(grep -ci 'onefile_' "$dir/rename.out")"
  total="$(cd "$(dirname "$large_exe")/large" && find . -type f | wc -l)"
  note "rename tried with $unpacked of $total files unpacked: $(tr -d '\r' < "$dir/rename.out" | grep -iv onefile_ | tr '\n' ' ')"
  note "the run: status $status, $processes processes"
  if ! grep -q "move status" "$dir/rename.out" || [ "$unpacked" -ge "$total" ]; then
    [ -e "$dir/moved.exe" ] && mv "$dir/moved.exe" "$exe"
    return 2  # the attempt came after the unpacking; it proves nothing
  fi
  grep -q "move status 1" "$dir/rename.out" || fail "the executable was renamed while its parent unpacked"
  [ -f "$exe" ] && [ ! -e "$dir/moved.exe" ] || fail "the executable is not at its own path after the run"
  [ "$status" = 0x00000000 ] || fail "status $status, expected 0x00000000"
  [ "$processes" = 2 ] || fail "$processes processes, expected parent and child"
  expect_temp_empty
  wine cmd /c move "$exe_w" "$moved_w" >/dev/null 2>&1
  [ -f "$dir/moved.exe" ] || fail "the executable could not be moved after the run either"
  expect_no_launcher_left
}

for attempt in 1 2 3; do
  rename_while_unpacking
  [ $? = 2 ] || break
  note "the rename came after the unpacking (attempt $attempt); trying again"
  [ "$attempt" = 3 ] && fail "the rename never came while the parent unpacked"
done
for attempt in 1 2 3; do
  ctrl_c_while_unpacking
  [ $? = 2 ] || break
  note "the signal came after the main module was written (attempt $attempt); trying again"
  [ "$attempt" = 3 ] && fail "the signal never came while the main module was being written"
done
ctrl_c_while_running
killed_while_unpacking
cd /
rm -rf "$work"
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all interrupt checks passed"
