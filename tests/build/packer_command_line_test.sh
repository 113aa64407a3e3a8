#!/usr/bin/env bash
# The packer's command line: each refusal is one line on standard error with a non-zero status
# and leaves no file behind; the same input gives the same bytes; a damaged block is linked as
# it is. usage: packer_command_line_test.sh PACKER, with VELDRA_ARCH naming the packer's
# architecture (x86 when unset)
set -uo pipefail
packer="$(realpath "$1")"
scratch="$(mktemp -d /tmp/veldra-cli-XXXXXX)"
chmod 755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
failures=0
case_name=packer_command_line
source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"

# app folder with main.dll and whatever files the case names.
make_app() {  # DIR [FILE...]
  local dir="$1"; shift
  mkdir -p "$dir"
  echo MZ > "$dir/main.dll"
  local file
  for file in "$@"; do
    mkdir -p "$(dirname "$dir/$file")"
    echo data > "$dir/$file"
  done
}

# expect_refusal NAME EXPECTED_TEXT -- COMMAND...: one line holding the text, status not 0,
# nothing written to the output folder.
expect_refusal() {
  local name="$1" expected="$2"; shift 3
  local out="$scratch/out-$name"
  mkdir -p "$out"
  chmod 777 "$out"
  local status=0
  (cd "$out" && "$@" >"$scratch/stdout" 2>"$scratch/stderr") || status=$?
  local lines
  lines="$(wc -l < "$scratch/stderr")"
  [ "$status" -ne 0 ] || fail "$name: status 0"
  [ "$lines" -eq 1 ] || fail "$name: $lines lines on stderr: $(cat "$scratch/stderr")"
  grep -q '^veldra: ' "$scratch/stderr" || fail "$name: the line does not start with 'veldra: '"
  grep -qF -- "$expected" "$scratch/stderr" || fail "$name: got '$(cat "$scratch/stderr")', wanted '$expected'"
  [ ! -s "$scratch/stdout" ] || fail "$name: wrote to stdout"
  [ -z "$(ls -A "$out")" ] || fail "$name: left files behind: $(ls -A "$out")"
}

make_app "$scratch/good" "data/x.txt"
long_dir="$(printf 'd%.0s' $(seq 250))"
make_app "$scratch/long" "$long_dir/$long_dir/$long_dir/$long_dir/$long_dir/x.txt"
make_app "$scratch/empty-component" 'a\\b.txt'
make_app "$scratch/dot-component" '.\x.txt'
make_app "$scratch/dotdot-component" '..\x.txt'
make_app "$scratch/drive" 'C:x.txt'
make_app "$scratch/backslash" '\x.txt'
make_app "$scratch/unreadable" "secret.txt"
mkdir -p "$scratch/no-main" && echo text > "$scratch/no-main/readme.txt"
chmod 000 "$scratch/unreadable/secret.txt"
chmod -R a+rX "$scratch/good"

expect_refusal missing-folder "application folder '$scratch/nowhere' does not exist or is not a folder" -- \
  "$packer" block "$scratch/nowhere" -o out.block
expect_refusal missing-main "main module 'app.dll' not found in '$scratch/good'" -- \
  "$packer" block "$scratch/good" -o out.block --main app.dll
expect_refusal long-name "is longer than 1,023 UTF-16 units (1260)" -- \
  "$packer" block "$scratch/long" -o out.block
expect_refusal empty-component "name 'a\\\\b.txt' has an empty, \".\" or \"..\" component" -- \
  "$packer" block "$scratch/empty-component" -o out.block
expect_refusal dot-component "name '.\\x.txt' has an empty, \".\" or \"..\" component" -- \
  "$packer" block "$scratch/dot-component" -o out.block
expect_refusal dotdot-component "name '..\\x.txt' has an empty, \".\" or \"..\" component" -- \
  "$packer" block "$scratch/dotdot-component" -o out.block
expect_refusal drive "name 'C:x.txt' starts with a drive" -- \
  "$packer" block "$scratch/drive" -o out.block
expect_refusal backslash "name '\\x.txt' starts with a backslash" -- \
  "$packer" block "$scratch/backslash" -o out.block
# Root reads every file: run the packer as an ordinary user for this case.
as_user=()
if [ "$(id -u)" = 0 ]; then as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups); fi
chmod 755 "$scratch/unreadable"
expect_refusal unreadable "cannot read '$scratch/unreadable/secret.txt': Permission denied" -- \
  "${as_user[@]}" "$packer" block "$scratch/unreadable" -o out.block
expect_refusal level "--level takes a whole number from" -- \
  "$packer" block "$scratch/good" -o out.block --level 99
expect_refusal window-high "--window-log takes a whole number from 10 to 27" -- \
  "$packer" block "$scratch/good" -o out.block --window-log 28
expect_refusal window-low "--window-log takes a whole number from 10 to 27" -- \
  "$packer" block "$scratch/good" -o out.block --window-log 9
expect_refusal pack-missing-main "main module 'main.dll' not found" -- \
  "$packer" pack "$scratch/no-main" -o out.exe
expect_refusal pack-missing-block "cannot read block '$scratch/none.block'" -- \
  "$packer" pack --block "$scratch/none.block" -o out.exe

# Links: one that leaves the folder is refused naming it; one that stays inside is packed as
# its target's contents. Names Windows would take for one are refused naming both.
make_app "$scratch/link-out"
echo "the packing machine's own file" > "$scratch/secret.txt"
ln -s "$scratch/secret.txt" "$scratch/link-out/leak.txt"
expect_refusal link-outside "cannot pack '$scratch/link-out/leak.txt': a symbolic link that leads outside the application folder" -- \
  "$packer" block "$scratch/link-out" -o out.block
make_app "$scratch/link-dangling"
ln -s nowhere "$scratch/link-dangling/gone.txt"
expect_refusal link-dangling "cannot pack '$scratch/link-dangling/gone.txt': a symbolic link that leads nowhere (dangling or a loop)" -- \
  "$packer" block "$scratch/link-dangling" -o out.block
make_app "$scratch/case" "Data/a.txt" "data/b.txt"
expect_refusal case-collision "names 'Data' and 'data' differ only by case: Windows would unpack them as one" -- \
  "$packer" block "$scratch/case" -o out.block
make_app "$scratch/link-in" "real/inside.txt"
printf 'twelve bytes' > "$scratch/link-in/real/inside.txt"
ln -s real/inside.txt "$scratch/link-in/alias.txt"
"$packer" block "$scratch/link-in" -o "$scratch/link-in.block" || fail "a link inside the folder was not packed"
report="$("$packer" inspect "$scratch/link-in.block")" || fail "inspect of the linked block failed"
grep -qE '^ +12  alias\.txt$' <<<"$report" || fail "the link is not packed as its target's contents: $report"

# A real main module built for the other architecture than the one this tree packs for.
case "${VELDRA_ARCH:-x86}" in
  x86) other=x64 other_cc=x86_64-w64-mingw32-gcc ;;
  x64) other=x86 other_cc=i686-w64-mingw32-gcc ;;
esac
mkdir -p "$scratch/other-arch"
printf 'int __stdcall run_code(int c, void* v, const void* p) { return c; }\n' > "$scratch/run_code.c"
"$other_cc" -shared -o "$scratch/other-arch/main.dll" "$scratch/run_code.c" -Wl,--kill-at ||
  fail "cannot build a $other DLL"
expect_refusal other-arch-main "main module 'main.dll' is a $( [ "$other" = x64 ] && echo 64-bit || echo 32-bit) ($other) DLL; this pack is for ${VELDRA_ARCH:-x86}" -- \
  "$packer" pack "$scratch/other-arch" -o out.exe

# Same folder, same options: same bytes, for the block and for the executable.
"$packer" block "$scratch/good" -o "$scratch/one.block" || fail "block failed"
"$packer" block "$scratch/good" -o "$scratch/two.block" || fail "block failed"
cmp -s "$scratch/one.block" "$scratch/two.block" || fail "two blocks of one folder differ"
"$packer" pack "$scratch/good" -o "$scratch/one.exe" || fail "pack failed"
"$packer" pack "$scratch/good" -o "$scratch/two.exe" || fail "pack failed"
cmp -s "$scratch/one.exe" "$scratch/two.exe" || fail "two packs of one folder differ"
[ -z "$(ls -A "$scratch" | grep -E '\.tmp-|\.block\.|\.veldra-block-')" ] || fail "temporary files left: $(ls -A "$scratch")"

# A damaged block is linked exactly as it is.
printf 'not a block at all' > "$scratch/damaged.block"
"$packer" pack --block "$scratch/damaged.block" -o "$scratch/damaged.exe" || fail "pack --block failed"
grep -qF 'not a block at all' "$scratch/damaged.exe" || fail "the damaged block is not in the executable"

# inspect reads an executable and names its entries and frame fields.
report="$("$packer" inspect "$scratch/one.exe")" || fail "inspect failed"
for text in "architecture: ${VELDRA_ARCH:-x86} (" "checksum: yes" "content size: not stored" "  main.dll" "  data\\x.txt" "2 entries"; do
  grep -qF -- "$text" <<<"$report" || fail "inspect report lacks '$text': $report"
done

# The summary: one line on stderr after block and pack, nothing on stdout; --quiet keeps it back.
summary_pattern='^veldra: 2 files, 8 bytes -> block of [0-9,]+ bytes \([0-9]+\.[0-9]% of the archive\), level 5, window 2\^10, [0-9]+\.[0-9]{2} s$'
for command in block pack; do
  "$packer" "$command" "$scratch/good" -o "$scratch/summary.out" --level 5 >"$scratch/stdout" 2>"$scratch/stderr" ||
    fail "$command with a summary failed"
  [ "$(wc -l < "$scratch/stderr")" -eq 1 ] && grep -qE "$summary_pattern" "$scratch/stderr" ||
    fail "$command: summary '$(cat "$scratch/stderr")'"
  [ ! -s "$scratch/stdout" ] || fail "$command: the summary went to stdout"
  "$packer" "$command" "$scratch/good" -o "$scratch/quiet.out" --level 5 --quiet >"$scratch/stdout" 2>"$scratch/stderr" ||
    fail "$command --quiet failed"
  [ ! -s "$scratch/stderr" ] && [ ! -s "$scratch/stdout" ] || fail "$command --quiet said '$(cat "$scratch/stderr")'"
  cmp -s "$scratch/summary.out" "$scratch/quiet.out" || fail "$command --quiet gave other bytes"
done

# Progress: only on a terminal (script(1) gives the packer one) and only once a pack has taken a
# second: compressed bytes of the total and the rate, on one line rewritten with carriage returns.
mkdir -p "$scratch/slow"
echo MZ > "$scratch/slow/main.dll"
head -c 6000000 /dev/urandom | base64 > "$scratch/slow/data.txt"
script -qec "'$packer' block '$scratch/slow' -o '$scratch/slow.block' --level 19" /dev/null > "$scratch/tty" ||
  fail "block on a terminal failed"
grep -qE $'\rveldra: compressed [0-9.]+ of [0-9.]+ MiB \([0-9]+%\), [0-9.]+ MiB/s' "$scratch/tty" ||
  fail "no progress line on a terminal: $(tr '\r' '|' < "$scratch/tty" | head -c 300)"
tr '\r' '\n' < "$scratch/tty" | grep -q '^veldra: 2 files, ' || fail "no summary after the progress"
script -qec "'$packer' block '$scratch/slow' -o '$scratch/slow.block' --level 19 --quiet" /dev/null > "$scratch/tty"
[ ! -s "$scratch/tty" ] || fail "--quiet on a terminal said: $(tr '\r' '|' < "$scratch/tty" | head -c 300)"
"$packer" block "$scratch/slow" -o "$scratch/slow.block" --level 19 2>"$scratch/stderr"
[ "$(wc -l < "$scratch/stderr")" -eq 1 ] && ! grep -q compressed "$scratch/stderr" ||
  fail "progress where stderr is no terminal: $(tr '\r' '|' < "$scratch/stderr" | head -c 300)"

[ "$failures" -eq 0 ] && echo "packer command line: all cases passed"
exit "$failures"
