#!/usr/bin/env bash
# Ctrl+C and SIGKILL against the launcher of the 50 MB application, while its parent unpacks
# (a first start of the cached mode too) and while the application runs, and the next start's
# sweep of what a killed run left. Wine turns a Linux SIGINT into the console's Ctrl+C
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
# The launcher decides its status after Ctrl+C itself (Wine's default handling would end it with
# 0): 0xC000013A when the event came before there was a child, the application's own status
# when it ended by itself, and the fixture application registers no handler of its own, so the
# child's last handler ends it with 0xC000013A.
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
# The same application packed with --sweep off, and in the cached mode.
no_sweep_exe="$(dirname "$large_exe")/large_no_sweep.exe"
cached_exe="$(dirname "$large_exe")/large_cached.exe"
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

# start_case NAME [VARIABLE=VALUE...]: starts the launcher (a copy of source_exe, large.exe
# unless set) under a name of its own, with the variables given to the application; sets dir,
# exe, runner, parent (its pid) and group.
source_exe="$large_exe"
start_case() {
  case_name="$1"
  shift
  dir="$work/$case_name"
  rm -rf "$dir"
  mkdir -p "$dir/temp" "$dir/reports"
  exe="$dir/rel_$case_name.exe"
  cp "$source_exe" "$exe"
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
    [ "$status" = 0xc000013a ] || fail "status $status, expected 0xc000013a"
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
      [ "$status" = 0xc000013a ] || fail "status $status, expected 0xc000013a"
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

# 3. The parent killed outright while it unpacks: nothing can clean up then, so the partial
#    folder stays until the next start, which sweeps it away before it unpacks its own.
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
      [ -e "$folder" ] && fail "the next run left the killed run's folder behind"
    fi
    expect_temp_empty
  fi
}

# start_runner NAME EXE [VARIABLE=VALUE...]: one more launcher on the case's temp folder, its
# status in $dir/NAME.result and its folder reported in $dir/reports/NAME; sets runner_pid.
start_runner() {
  local name="$1" runner_exe="$2"
  shift 2
  rm -f "$dir/$name.result" "$dir/reports/$name"
  env FIXTURE_FOLDER="$(wine_path "$dir/reports/$name")" "$@" \
    wine "$tests_exe" --veldra-probe run_counted "$(wine_path "$dir/$name.result")" "$(wine_path "$dir/temp")" \
    "$(wine_path "$runner_exe")" >"$dir/$name.output" 2>&1 &
  runner_pid=$!
}

# The Wine processes of one launcher executable, parent and child, not its runner.
launcher_pids() {
  local pattern
  pattern="^\"?$(wine_path "$1" | sed 's/\\/\\\\/g; s/\./\\./g')"
  pgrep -f "$pattern"
}

# 5. The parent killed outright while its application runs, the child then too: the next start
#    removes that run's folder, and leaves alone the folder of a launcher still running, the
#    folder of a killed parent whose child still runs (the child's own hold), a folder of
#    another shape, and a link of the right shape with the folder it points to.
killed_while_running() {
  case_name=killed_running
  dir="$work/$case_name"
  rm -rf "$dir"
  mkdir -p "$dir/temp" "$dir/reports" "$dir/victim/inner"
  local killed_exe="$dir/rel_killed.exe" running_exe="$dir/rel_running.exe" next_exe="$dir/rel_next.exe"
  local orphan_exe="$dir/rel_orphan.exe"
  cp "$large_exe" "$killed_exe"
  cp "$large_exe" "$running_exe"
  cp "$large_exe" "$next_exe"
  cp "$large_exe" "$orphan_exe"
  start_runner running "$running_exe" FIXTURE_SLEEP_MS=60000
  local running_runner=$runner_pid
  start_runner killed "$killed_exe" FIXTURE_SLEEP_MS=60000
  local killed_runner=$runner_pid
  start_runner orphan "$orphan_exe" FIXTURE_SLEEP_MS=60000
  local orphan_runner=$runner_pid
  if ! wait_for 60 non_empty "$dir/reports/killed" || ! wait_for 60 non_empty "$dir/reports/running" ||
     ! wait_for 60 non_empty "$dir/reports/orphan"; then
    fail "the applications never started"
  fi
  local killed_folder running_folder orphan_folder pids
  killed_folder="$(linux_path "$(cat "$dir/reports/killed")")"
  running_folder="$(linux_path "$(cat "$dir/reports/running")")"
  orphan_folder="$(linux_path "$(cat "$dir/reports/orphan")")"
  pids="$(launcher_pids "$killed_exe" | tr '\n' ' ')"
  note "killing parent and child ($pids) of the run in $(basename "$killed_folder")"
  [ "$(wc -w <<<"$pids")" = 2 ] || fail "expected the parent and the child, found: $pids"
  for pid in $pids; do kill -KILL "$pid"; done
  wait "$killed_runner"
  [ -d "$killed_folder" ] || fail "the killed run's folder is gone before the next start"
  # The other killed parent's child still runs the application and holds the folder itself.
  # Wine starts the child as no Linux child of its parent; the parent is the older process.
  local orphan_parent orphan_child
  pids="$(launcher_pids "$orphan_exe" | sort -n | tr '\n' ' ')"
  read -r orphan_parent orphan_child _ <<<"$pids"
  [ -n "$orphan_parent" ] && [ -n "$orphan_child" ] || fail "no parent and child among: $pids"
  note "killing the parent $orphan_parent alone; its child $orphan_child goes on in $(basename "$orphan_folder")"
  kill -KILL "$orphan_parent"
  local orphan_files
  orphan_files="$(cd "$orphan_folder" && find . | sort)"

  # Of the right shape but a link, from the Linux side (Wine makes none), to victim files.
  printf 'victim\n' > "$dir/victim/keep.txt"
  printf 'inner\n' > "$dir/victim/inner/keep.txt"
  ln -s "$dir/victim" "$dir/temp/onefile_99_000001_abcdefghijk"
  mkdir "$dir/temp/onefile_98_00001_abcdefghijk"
  printf 'other\n' > "$dir/temp/onefile_98_00001_abcdefghijk/keep.txt"

  local start took
  start="$(now)"
  start_runner next "$next_exe" FIXTURE_EXIT=7
  wait "$runner_pid"
  took="$(elapsed_since "$start")"
  read -r status processes < "$dir/next.result" || { status=missing; processes=missing; }
  note "the next run: status $status, $processes processes, $took s; temp holds: $(ls -A "$dir/temp" | tr '\n' ' ')"
  [ "$status" = 0x00000007 ] || fail "the next run's status is $status, expected 0x00000007"
  [ -e "$killed_folder" ] && fail "the killed run's folder is still there"
  [ -f "$running_folder/main.dll" ] || fail "the running launcher's folder lost its main module"
  # Its main module alone, loaded, would stand any removal: every file must be there.
  [ "$(cd "$orphan_folder" 2>/dev/null && find . | sort)" = "$orphan_files" ] ||
    fail "the folder the orphaned child holds lost files"
  [ -f "$dir/temp/onefile_98_00001_abcdefghijk/keep.txt" ] || fail "the folder of another shape was touched"
  [ -L "$dir/temp/onefile_99_000001_abcdefghijk" ] || fail "the link is gone"
  [ -f "$dir/victim/keep.txt" ] && [ -f "$dir/victim/inner/keep.txt" ] || fail "the link's target lost files"
  local next_folder
  next_folder="$(linux_path "$(cat "$dir/reports/next" 2>/dev/null)")"
  [ -n "$next_folder" ] && [ ! -e "$next_folder" ] || fail "the next run left its own folder: '$next_folder'"

  # The running launcher ends as usual and removes its own folder.
  kill -INT -- "-$(ps -o pgid= -p "$(launcher_pids "$running_exe" | head -n1)" | tr -d ' ')" 2>/dev/null
  wait "$running_runner"
  [ -e "$running_folder" ] && fail "the running launcher's folder is still there after its Ctrl+C"
  # Once the orphaned child is gone too, a start takes its folder.
  kill -KILL "$orphan_child"
  wait "$orphan_runner"
  start_runner last "$next_exe" FIXTURE_EXIT=0
  wait "$runner_pid"
  [ -e "$orphan_folder" ] && fail "the orphaned child's folder is still there after it ended"
  rm "$dir/temp/onefile_99_000001_abcdefghijk"
  rm -r "$dir/temp/onefile_98_00001_abcdefghijk"
  expect_temp_empty
}

# 6. Packed with --sweep off, a start leaves a killed run's folder where it is.
sweep_off() {
  case_name=sweep_off
  dir="$work/$case_name"
  rm -rf "$dir"
  mkdir -p "$dir/temp" "$dir/reports"
  local leftover="$dir/temp/onefile_17_000001_abcdefghijk"
  mkdir "$leftover"
  printf 'left\n' > "$leftover/main.dll"
  cp "$no_sweep_exe" "$dir/rel_no_sweep.exe"
  start_runner off "$dir/rel_no_sweep.exe" FIXTURE_EXIT=3
  wait "$runner_pid"
  read -r status processes < "$dir/off.result" || status=missing
  [ "$status" = 0x00000003 ] || fail "status $status, expected 0x00000003"
  [ -f "$leftover/main.dll" ] || fail "a launcher packed with --sweep off removed a leftover folder"
  [ "$(ls -A "$dir/temp")" = "$(basename "$leftover")" ] || fail "temp folder holds: $(ls -A "$dir/temp")"
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

# 7. Ctrl+C while a first start of the cached mode unpacks: the private folder beside the cache
#    folder, "<hash>.<random>", is removed, nothing is put in place as the cached folder, and
#    nothing starts.
sibling_glob() { compgen -G "$dir/temp/veldra_cache/*.*/main.dll"; }
ctrl_c_while_caching() {
  source_exe="$cached_exe"
  start_case ctrl_c_caching
  local started=$?
  source_exe="$large_exe"
  [ "$started" = 0 ] || return 0
  if ! wait_for 60 sibling_glob >/dev/null; then
    fail "the first start never began to unpack"
    kill -INT -- "-$group"
    finish_runner
    return 0
  fi
  local sibling left
  sibling="$(dirname "$(sibling_glob | head -n1)")"
  written="$(size_of "$sibling/main.dll")"
  kill -INT -- "-$group"
  finish_runner
  note "Ctrl+C with main.dll at $written of $main_size bytes in $(basename "$sibling"); status $status, $processes process(es)"
  if [ "$written" = missing ] || [ "$written" -ge "$main_size" ]; then
    return 2
  fi
  [ -e "$sibling" ] && fail "the private folder $sibling is still there"
  left="$(ls -A "$dir/temp/veldra_cache")"
  [ -z "$left" ] || fail "left where the cached folder goes: $left"
  [ "$processes" = 1 ] || fail "a child was started after Ctrl+C ($processes processes)"
  [ "$status" = 0xc000013a ] || fail "status $status, expected 0xc000013a"
  [ -e "$dir/reports/folder" ] && fail "the application ran after Ctrl+C"
  [ -s "$dir/output" ] && fail "the launcher printed after Ctrl+C: $(tr -d '\r' < "$dir/output")"
  expect_no_launcher_left
}

# A case whose event can land too late on a busy machine says so with status 2; it runs up to
# three times before that counts as a failure.
until_in_time() {  # CASE WHAT_CAME_LATE
  local attempt
  for attempt in 1 2 3; do
    "$1"
    [ $? = 2 ] || return 0
    note "$2 (attempt $attempt)"
  done
  fail "$2 in each of three attempts"
}
until_in_time rename_while_unpacking "the rename came after the unpacking"
until_in_time ctrl_c_while_unpacking "the signal came after the main module was written"
until_in_time ctrl_c_while_caching "the signal came after the cached mode's main module was written"
ctrl_c_while_running
killed_while_unpacking
killed_while_running
sweep_off
cd /
rm -rf "$work"
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all interrupt checks passed"
