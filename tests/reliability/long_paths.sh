#!/usr/bin/env bash
# Target paths at the launcher's length limit: unpack_dir, a backslash and the entry's name
# make at most 4,095 UTF-16 units; 4,096 ends the run through the fail-fast termination.
#
# Two limits of the platform stand in the way of a real run at 4,095, found out here:
# - The temp folder cannot be long: GetTempPathW fails (error 206) when TMP is 260 units or
#   more, under Wine as on Windows. The default template "{TEMP}\onefile_{PID}_{TIME_US}_
#   {RANDOM}" thus gives a folder of about 300 units at most, and with names of at most 1,023
#   units no target path reaches the limit. This test packs with a template that carries a
#   long literal path of its own: "{TEMP}\<3,200 units>\onefile_{TIME_US}_{RANDOM}" (no PID,
#   whose number of digits varies from run to run).
# - Wine hands every path to Linux as "$WINEPREFIX/dosdevices/z:" followed by the rest of the
#   path, and Linux refuses paths of more than 4,095 bytes. So under Wine the longest path a
#   program can create has 4,097 - len("$WINEPREFIX/dosdevices/z:") units (ASCII names),
#   about 4,050 in a prefix like /work/main/.deps/wine. The test measures it.
#
# The cases, with the length of the unpack folder measured by a first run:
#   the longest path Wine allows   unpacks under its exact name
#   4,095 units                    reaches CreateFileW, which Wine refuses: the launcher's
#                                  open-failure line names the whole 4,095-unit path, status 2
#                                  (on Windows, a long-path aware launcher unpacks it)
#   4,096 units                    fail-fast, status 0xC0000409, nothing printed, no child
#   a file path of about 300 units, with the default template: unpacks
#
# Teardown must remove a folder that holds paths of 260 units or more, and one whose own path
# is that long, and touch nothing outside it: the system's shell removal cannot take such
# paths, and under Wine 8 it then deletes files of the launcher's current folder instead, or
# crashes. Every run here therefore starts in a folder of its own, with marker files in it
# and above it, that the test watches.
#
# usage: long_paths.sh PACKER TESTS_EXE SMALL_MAIN_DLL WORK_DIR
set -uo pipefail
packer="$1" tests_exe="$2" small_main="$3" work="$4"
failures=0
case_name=setup

source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"
repeat() { local text; printf -v text "%${2}s" ""; printf '%s' "${text// /$1}"; }

rm -rf "$work"
mkdir -p "$work/temp" "$work/reports" "$work/above/cwd"
# The current folder of every run, and markers that must outlive each run.
markers=("$work/above/marker" "$work/above/cwd/marker" "$work/above/cwd/sub/marker")
put_markers() { mkdir -p "$work/above/cwd/sub"; touch "${markers[@]}"; }
put_markers
cd "$work/above/cwd"

# Wine's own limit, measured in a folder deep enough for names of up to 255 units.
deep="$work/limit"
for i in $(seq 1 16); do deep="$deep/$(repeat l 240)"; done
mkdir -p "$deep"
longest="$(wine "$tests_exe" --veldra-probe longest_path "$(wine_path "$deep")" | tr -d '\r')"
drive_root="$WINEPREFIX/dosdevices/z:"
note "longest path Wine creates: $longest units; 4097 - len(\"$drive_root\") = $((4097 - ${#drive_root}))"
rm -rf "$work/limit"
if [ -z "$longest" ] || [ "$longest" -lt 3400 ] || [ "$longest" -gt 4095 ]; then
  fail "no sensible limit measured: '$longest'"
  exit 1
fi

# The template's literal part: 16 folders of 199 units.
literal=""
for i in $(seq -w 1 16); do literal="$literal\\p$i$(repeat x 196)"; done
template="{TEMP}$literal\\onefile_{TIME_US}_{RANDOM}"

# run_app NAME [VARIABLE=VALUE...]: runs $work/NAME.exe through the runner; sets status,
# processes, out, err.
run_app() {
  local exe="$work/$1.exe"
  shift
  rm -f "$work/reports/"*
  env FIXTURE_FOLDER="$(wine_path "$work/reports/folder")" FIXTURE_LIST="$(wine_path "$work/reports/list")" "$@" \
    wine "$tests_exe" --veldra-probe run_counted "$(wine_path "$work/result")" "$(wine_path "$work/temp")" \
    "$(wine_path "$exe")" >"$work/out" 2>"$work/err"
  read -r status processes < "$work/result" || { status=missing; processes=missing; }
  out="$(cat "$work/out")"
  err="$(cat "$work/err")"
}

pack_app() {  # NAME [TEMPLATE]: packs $work/NAME into $work/NAME.exe
  "$packer" pack "$work/$1" -o "$work/$1.exe" --main main.dll --template "${2:-$template}" >/dev/null ||
    fail "cannot pack $1"
}

# What teardown did: the run's folder gone, the application's status passed on, and nothing
# else touched.
expect_torn_down() {
  local unpacked marker
  unpacked="$(cat "$work/reports/folder" 2>/dev/null)"
  [ "$status" = 0x00000000 ] || fail "status $status after the application returned 0"
  [ ! -e "$(linux_path "$unpacked")" ] || fail "the folder was left behind"
  for marker in "${markers[@]}"; do
    [ -e "$marker" ] || fail "teardown deleted ${marker#"$work/"}"
  done
  put_markers
  rm -rf "$work/temp/"*
}

# The unpack folder's length, from a run of the main module alone.
mkdir -p "$work/plain"
cp "$small_main" "$work/plain/main.dll"
pack_app plain
run_app plain
folder="$(cat "$work/reports/folder" 2>/dev/null)"
if [ -z "$folder" ]; then
  fail "the plain application did not run: status $status, $out $err"
  exit 1
fi
folder_length=${#folder}
note "unpack folder: $folder_length units"
expect_torn_down

# make_long_name LENGTH: a relative name of LENGTH units in folders of 200 units, Windows form.
make_long_name() {
  local left="$1" name="" n=0
  while [ "$left" -gt 201 ]; do
    n=$((n + 1))
    name="${name}d$(printf %02d $n)$(repeat y 197)\\"
    left=$((left - 201))
  done
  printf '%s' "${name}$(repeat f "$left")"
}

# unpack_case TARGET_LENGTH: packs the main module and one file whose target path has the
# given length, and runs it; sets name.
unpack_case() {
  case_name="target of $1 units"
  name="$(make_long_name $(($1 - folder_length - 1)))"
  local target="$folder\\$name"
  [ "${#target}" = "$1" ] || fail "the target path came out at ${#target} units"
  local app="$work/long"
  rm -rf "$app" "$app.exe"
  mkdir -p "$app/$(dirname "$(linux_path "$name")")"
  cp "$small_main" "$app/main.dll"
  printf 'at the limit\n' > "$app/$(linux_path "$name")"
  pack_app long
  run_app long
  note "status $status, $processes process(es)"
}

# A folder a run left behind under the template's literal folders; none after a stop.
left_folder() { compgen -G "$(linux_path "$folder" | sed 's/onefile_.*//')onefile_*" | head -n1; }

# The application found its file under its exact name (and its size, 13 bytes).
expect_unpacked() {
  [ "$(grep -cF "$name" "$work/reports/list" 2>/dev/null)" = 1 ] &&
    [ "$(grep -F "$name" "$work/reports/list")" = "$(printf '13\t%s' "$name")" ] ||
    fail "the application did not find its file under its name; status $status, $out $err"
  expect_torn_down
}

unpack_case "$longest"
expect_unpacked

unpack_case 4095
if [ "$longest" -ge 4095 ]; then
  expect_unpacked
else
  left="$(left_folder)"
  [ "$status" = 0x00000002 ] || fail "status $status, expected 2"
  [ "$processes" = 1 ] || fail "$processes processes, expected the parent alone"
  [ -z "$out" ] || fail "standard output: $out"
  message="$(printf '%s' "$err" | tr -d '\r')"
  named="${message#Error, failed to open \'}"
  named="${named%\' for writing.}"
  [ "${named%"\\$name"}" != "$named" ] || fail "standard error: ${message:0:200}..."
  [ "${#named}" = 4095 ] || fail "the message names a path of ${#named} units"
  [ -z "$left" ] || fail "the stop left $left behind"
  rm -rf "$work/temp/"*
fi

unpack_case 4096
left="$(left_folder)"
[ "$status" = 0xc0000409 ] || fail "status $status, expected 0xc0000409"
[ "$processes" = 1 ] || fail "$processes processes, expected the parent alone"
[ -z "$out$err" ] || fail "output: $out $err"
[ -z "$left" ] || fail "the stop left $left behind"
rm -rf "$work/temp/"*

# With the default template: a file whose path passes 259 units inside the folder.
case_name="a file path of about 300 units"
name="$(repeat a 99)\\$(repeat b 99)\\file.txt"
app="$work/deep"
mkdir -p "$app/$(dirname "$(linux_path "$name")")"
cp "$small_main" "$app/main.dll"
printf 'at the limit\n' > "$app/$(linux_path "$name")"
pack_app deep "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"
run_app deep
unpacked="$(cat "$work/reports/folder" 2>/dev/null)"
note "status $status, $processes process(es); the file's path has $((${#unpacked} + 1 + ${#name})) units"
[ "$((${#unpacked} + 1 + ${#name}))" -ge 260 ] || fail "the file's path is not longer than 259 units"
expect_unpacked

cd /
rm -rf "$work"
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all long-path checks passed"
