#!/usr/bin/env bash
# The cached unpack mode end to end: packed with the probe application and a data file, run
# under Wine with the cache in the temp folder, which is a work folder of this test's own. Writes
# are counted from the Linux side: a start that unpacks makes new files (new inode numbers and
# times), one that only checks leaves every inode and time as it was.
#
# usage: cached_mode.sh PACKER PROBE_APP_DIR WORK_DIR E2E_TESTS_EXE
set -uo pipefail
packer="$1" probe_app="$2" work="$3" tests_exe="$4"
failures=0
case_name=""

source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"

rm -rf "$work"
mkdir -p "$work/app/data"
cp "$probe_app"/*.dll "$work/app/"
printf 'first' >"$work/app/data/note.txt"
exe="$work/cached.exe"
cache="$work/cache"
template='{TEMP}\cache\{PAYLOAD_HASH}'

# run NAME ARGS...: the launcher, with the work folder as its temp folder, its status into
# $status, its output into $work/NAME.out.
run() {
  local name="$1"
  shift
  wine "$tests_exe" --veldra-probe run_in_temp "$(wine_path "$work/$name.status")" "$(wine_path "$work")" \
    "$(wine_path "$exe")" "$@" >"$work/$name.out" 2>&1
  status=$(($(cat "$work/$name.status" 2>/dev/null || echo 255)))
}

# The one folder in the cache, or a failure that names what is there.
only_folder() {
  local entries
  entries="$(ls -A "$cache" 2>/dev/null)"
  if [ "$(printf '%s\n' "$entries" | grep -c .)" != 1 ]; then
    fail "the cache holds '$entries' instead of exactly one folder"
  fi
  folder="$cache/$(printf '%s\n' "$entries" | head -1)"
}

# Inode, nanosecond change time and size of every file: what a fresh unpack changes.
fingerprint() { (cd "$1" && find . -type f -printf '%p %i %C@ %s\n' | sort); }

same_files() {  # FOLDER: every file of the application there, byte for byte
  local f
  for f in main.dll helper.dll data/note.txt; do
    cmp -s "$work/app/$f" "$1/$f" || fail "$f in the cache differs from the application's"
  done
}

case_name=elevation_refused
for level in "" requireAdministrator highestAvailable; do
  rm -f "$work/refused.exe"
  "$packer" pack "$work/app" -o "$work/refused.exe" --unpack-mode cached ${level:+--execution-level $level} \
    --quiet 2>"$work/refused.err"
  pack_status=$?
  [ "$pack_status" != 0 ] || fail "level '$level': the pack was taken"
  expected="veldra: --unpack-mode cached goes with --execution-level asInvoker: an elevated process must not load from a folder that its user can change"
  [ "$(cat "$work/refused.err")" = "$expected" ] || fail "level '$level': stderr was '$(cat "$work/refused.err")'"
  [ ! -e "$work/refused.exe" ] || fail "level '$level': an output file was written"
done

"$packer" pack "$work/app" -o "$exe" --unpack-mode cached --execution-level asInvoker --template "$template" --quiet ||
  { echo "FAIL: the cached pack was refused" >&2; exit 1; }
hash="$("$packer" inspect "$exe" | sed -n 's/^payload hash: *//p')"

case_name=first_start_unpacks
run first print-folder exit=7
[ "$status" = 7 ] || fail "status $status, wanted 7"
only_folder
[ "$(basename "$folder")" = "$hash" ] || fail "folder $(basename "$folder"), inspect says '$hash'"
same_files "$folder"
tr -d '\r' <"$work/first.out" | grep -q "^folder=$(wine_path "$folder" | sed 's/\\/\\\\/g')$" ||
  fail "the application ran in another folder: $(cat "$work/first.out")"
before="$(fingerprint "$folder")"

case_name=second_start_does_not_unpack
run second print-file='data\note.txt' exit=3
[ "$status" = 3 ] || fail "status $status, wanted 3"
[ "$(fingerprint "$folder")" = "$before" ] || fail "files were written again"
only_folder

case_name=held_while_the_application_runs
# Every checked file and the folder itself are held while the application runs: another
# process can neither rename the folder nor replace or remove a file the child loads.
rm -f "$work/running"
run held_start marker="$(wine_path "$work/running")" sleep=4000 &
runner=$!
if wait_for_file "$work/running" 60; then
  wine "$tests_exe" --veldra-probe try_to_move "$(wine_path "$folder")" "$(wine_path "$folder/main.dll")" \
    "$(wine_path "$folder/data/note.txt")" >"$work/moves.out" 2>&1
  note "$(tr -d '\r' <"$work/moves.out" | tr '\n' ' ')"
  grep -q ' moved$' "$work/moves.out" && fail "something was moved: $(cat "$work/moves.out")"
  [ "$(grep -c ' refused ' "$work/moves.out")" = 3 ] || fail "moves: $(cat "$work/moves.out")"
else
  fail "the application never started"
fi
wait "$runner"
status=$(($(cat "$work/held_start.status" 2>/dev/null || echo 255)))
[ "$status" = 0 ] || fail "status $status"
[ "$(fingerprint "$folder")" = "$before" ] || fail "files were written again"

case_name=unlisted_entry_unpacked_again
# A DLL the table does not list is found before the system folder's: a folder that holds one,
# or any folder of its own, is unpacked again, and the planted entries go with the old folder.
for planted in version.dll empty_folder; do
  if [ "$planted" = version.dll ]; then cp "$folder/helper.dll" "$folder/version.dll"; else mkdir "$folder/$planted"; fi
  run "unlisted_$planted" exit=6
  [ "$status" = 6 ] || fail "$planted: status $status, wanted 6"
  only_folder
  [ ! -e "$folder/$planted" ] || fail "$planted is still in the cached folder"
  [ "$(fingerprint "$folder")" != "$before" ] || fail "$planted: the folder was not unpacked again"
  same_files "$folder"
  before="$(fingerprint "$folder")"
done

case_name=leftovers_of_killed_starts
# What a first start killed while it unpacked leaves, and a stale folder an open file kept: a
# start that finds the folder good removes both; other names stay.
mkdir -p "$folder.Gk3_x-9aZ0Q/data" "$folder.Gk3_x-9aZ0Q.stale" "$cache/other.Gk3_x-9aZ0Q" "$folder.toolong12345Q"
printf 'x' >"$folder.Gk3_x-9aZ0Q/data/part.dll"
run leftovers exit=4
[ "$status" = 4 ] || fail "status $status, wanted 4"
for gone in "$folder.Gk3_x-9aZ0Q" "$folder.Gk3_x-9aZ0Q.stale"; do
  [ ! -e "$gone" ] || fail "$(basename "$gone") is still there"
done
for kept in "$cache/other.Gk3_x-9aZ0Q" "$folder.toolong12345Q"; do
  [ -d "$kept" ] || fail "$(basename "$kept") was removed"
  rm -rf "$kept"
done
[ "$(fingerprint "$folder")" = "$before" ] || fail "files were written again"

case_name=modified_file_unpacked_again
printf 'tampered' >"$folder/data/note.txt"
run modified print-file='data\note.txt'
[ "$status" = 0 ] || fail "status $status"
grep -q "^file=first" "$work/modified.out" || fail "the application read: $(cat "$work/modified.out")"
only_folder
same_files "$folder"

case_name=missing_file_unpacked_again
rm "$folder/helper.dll"
run missing helper exit=9
[ "$status" = 9 ] || fail "status $status, wanted 9"
grep -q "^helper=" "$work/missing.out" || fail "the helper did not load: $(cat "$work/missing.out")"
only_folder
same_files "$folder"

case_name=link_is_no_file
# A link to a file of the same contents outside the folder is still no file of the table.
printf 'first' >"$work/outside.txt"
rm "$folder/data/note.txt"
ln -s "$work/outside.txt" "$folder/data/note.txt"
run link print-file='data\note.txt'
[ "$status" = 0 ] || fail "status $status"
[ ! -L "$folder/data/note.txt" ] || fail "the link is still in the cached folder"
same_files "$folder"
[ "$(cat "$work/outside.txt")" = first ] || fail "the link's target was changed"
# The stale folder was moved aside and walked; under Wine the walk leaves links in place, so the
# folder that holds one stays, the link still in it (on Windows the link goes as the link).
for stale in "$cache"/*.stale; do
  [ -e "$stale" ] || continue
  note "left behind under Wine: $(basename "$stale"): $(cd "$stale" && find . | tr '\n' ' ')"
  [ -L "$stale/data/note.txt" ] || fail "the stale folder holds more than the link: $(cd "$stale" && find .)"
  rm -rf "$stale"
done
only_folder

case_name=folder_is_a_link
# The cached folder itself a link to a copy elsewhere, every file in it right: no folder of the
# cache's own, so the application does not run from it. Windows would move the link aside and
# remove it as the link; Wine renames the folder a link leads to when asked to rename the link,
# so the launcher leaves it, and the run ends with its line. Nothing of the copy is touched.
mv "$folder" "$work/elsewhere"
ln -s "$work/elsewhere" "$folder"
run folder_link print-folder
[ "$status" = 2 ] || fail "status $status, wanted 2"
[ "$(tr -d '\r' <"$work/folder_link.out")" = "Error, couldn't put the unpacked folder in place at '$(wine_path "$folder")'." ] ||
  fail "the run said: $(cat "$work/folder_link.out")"
[ -L "$folder" ] || fail "the link is gone"
same_files "$work/elsewhere"
[ "$(ls -A "$cache" | wc -l)" = 1 ] || fail "the cache holds $(ls -A "$cache")"
rm "$folder"
mv "$work/elsewhere" "$folder"

case_name=damaged_table
# One more entry counted than the table holds: the launcher stops before it expands the template.
python3 - "$exe" "$work/damaged.exe" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
at = data.find(b"VELFTAB\x01")
data[at + 16] += 1
open(sys.argv[2], "wb").write(data)
PY
rm -rf "$cache"
wine "$(wine_path "$work/damaged.exe")" exit=5 >"$work/damaged.out" 2>"$work/damaged.err"
status=$?
[ "$status" = 2 ] || fail "status $status, wanted 2"
[ "$(cat "$work/damaged.out")" = $'Error, attached data holds a damaged file table.\r' ] ||
  fail "stdout was '$(cat "$work/damaged.out")'"
[ ! -s "$work/damaged.err" ] || fail "stderr was '$(cat "$work/damaged.err")'"
[ ! -e "$cache" ] || fail "something was made: $(ls -A "$cache")"

case_name=first_starts_at_once
rm -rf "$cache"
for i in 1 2 3 4; do
  (run "race$i" exit=$((40 + i)); echo "$status" >"$work/race$i.result") &
done
wait
for i in 1 2 3 4; do
  [ "$(cat "$work/race$i.result")" = $((40 + i)) ] || fail "start $i: status $(cat "$work/race$i.result"): $(cat "$work/race$i.out")"
done
only_folder
same_files "$folder"

if [ "$failures" = 0 ]; then
  rm -rf "$work"
  echo "cached mode: all cases passed"
fi
exit $((failures != 0))
