#!/usr/bin/env bash
# The unpack folder, or something in it, replaced by a link while the application runs: the
# removal at the end must never reach what the link points to. Linux symbolic links stand in for
# junctions and Windows links; Wine shows a link to a folder as a reparse point in a listing and
# to a query by name, but follows every link when it opens one, even when asked not to, and
# does not show a link to a file as a link at all. So under Wine the launcher can only leave a
# link where it is (deleting it through any handle would delete its target); on Windows, where
# the open stops at the link, it deletes the link itself. The checks below hold on both: the
# targets keep every file, and all the launcher could remove of its own is gone.
#
# usage: unpack_folder_links.sh E2E_TESTS_EXE PROBE_EXE WORK_DIR
set -uo pipefail
tests_exe="$1" probe_exe="$2" work="$3"
failures=0
case_name=""

source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"

# A folder of files the launcher must never touch, made fresh for each case.
make_target() {
  rm -rf "$dir/target"
  mkdir -p "$dir/target/inner"
  echo "keep one" > "$dir/target/one.txt"
  echo "keep two" > "$dir/target/inner/two.txt"
  echo "keep file" > "$dir/target_file.dll"
}

expect_targets_whole() {
  [ "$(cat "$dir/target/one.txt" 2>/dev/null)" = "keep one" ] || fail "the link's target lost one.txt"
  [ "$(cat "$dir/target/inner/two.txt" 2>/dev/null)" = "keep two" ] || fail "the link's target lost inner/two.txt"
  [ "$(cat "$dir/target_file.dll" 2>/dev/null)" = "keep file" ] || fail "the file link's target is gone"
}

# run_case NAME SWAP: runs the probe application, which writes its folder into a marker and
# sleeps for 3 s; meanwhile SWAP (a shell function) replaces part of the folder by a link.
run_case() {
  case_name="$1"
  dir="$work/$1"
  rm -rf "$dir"
  mkdir -p "$dir/temp"
  make_target
  wine "$tests_exe" --veldra-probe run_in_temp "$(wine_path "$dir/status")" "$(wine_path "$dir/temp")" \
    "$(wine_path "$probe_exe")" "marker=$(wine_path "$dir/running")" sleep=3000 >"$dir/output" 2>&1 &
  local runner=$!
  if ! wait_for_file "$dir/running" 60; then
    fail "the application never started"
    wait "$runner"
    return 1
  fi
  folder="$(linux_path "$(cat "$dir/running")")"
  "$2"
  wait "$runner"
  [ "$(cat "$dir/status" 2>/dev/null)" = 0x00000000 ] || fail "status $(cat "$dir/status" 2>/dev/null), expected 0"
  [ -z "$(grep -a 'Error' "$dir/output")" ] || fail "output: $(cat "$dir/output")"
  expect_targets_whole
}

swap_root() {
  mv "$folder" "$dir/moved_root"
  ln -s "$dir/target" "$folder"
}

swap_subfolder() {
  mv "$folder/data/level1" "$dir/moved_level1"
  ln -s "$dir/target" "$folder/data/level1"
  ln -sf "$dir/target_file.dll" "$folder/plugin.dll"
}

# The whole unpack folder replaced: the removal starts at a link and touches nothing under it.
run_case root_link swap_root
[ -L "$folder" ] || [ ! -e "$folder" ] || fail "the root is no longer the link"
rm -f "$folder"

# A subfolder and a file replaced after they were unpacked: the rest goes.
run_case subfolder_link swap_subfolder
[ ! -e "$folder/main.dll" ] || fail "main.dll is still there"
left="$(cd "$folder" 2>/dev/null && find . -mindepth 1 ! -type l ! -type d | sort)"
[ -z "$left" ] || fail "files of the run's own left: $left"
note "left in the unpack folder (the links, under Wine): $(cd "$folder" 2>/dev/null && find . -mindepth 1 | sort | tr '\n' ' ')"
rm -rf "$folder"

rm -rf "$work"
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all unpack folder link checks passed"
