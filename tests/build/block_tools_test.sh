#!/usr/bin/env bash
# extract, verify and inspect on what a user meets: a packed application taken apart gives the
# folder it was made of, and damaged blocks and executables give their one line and status,
# with no folder left by extract. No Wine: these commands run nothing.
# usage: block_tools_test.sh PACKER MAIN_DLL HAND_MADE_BLOCK
set -uo pipefail
packer="$(realpath "$1")" main_dll="$(realpath "$2")" hand_made_block="$(realpath "$3")"
scratch="$(mktemp -d /tmp/veldra-block-tools-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
failures=0
case_name=block_tools
source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"

# The application: the fixture's main module, nested folders, an empty file, a name outside
# ASCII, and data that does not compress, so that the frame holds it as it is.
app="$scratch/app"
mkdir -p "$app/data/deep" "$app/docs"
cp "$main_dll" "$app/main.dll"
printf 'settings\n' > "$app/data/config.ini"
: > "$app/data/deep/empty.bin"
printf 'grüße' > "$app/docs/grüße.txt"
head -c 200000 /dev/urandom > "$app/data/random.bin"
"$packer" pack "$app" -o "$scratch/app.exe" --quiet || fail "pack failed"
"$packer" block "$app" -o "$scratch/app.block" --quiet || fail "block failed"
"$packer" pack "$app" -o "$scratch/cached.exe" --quiet --unpack-mode cached --execution-level asInvoker ||
  fail "cached pack failed"

# run NAME COMMAND...: its status, standard output and standard error kept as $scratch/NAME.*
run() {
  local name="$1"; shift
  local status=0
  "$@" >"$scratch/$name.out" 2>"$scratch/$name.err" || status=$?
  echo "$status" > "$scratch/$name.status"
}
status_of() { cat "$scratch/$1.status"; }

# The whole folder, extracted from the executable, from a cached one and from the block.
for source in app.exe cached.exe app.block; do
  run "extract-$source" "$packer" extract "$scratch/$source" "$scratch/x-$source"
  [ "$(status_of "extract-$source")" = 0 ] || fail "extract $source: status $(status_of "extract-$source"): $(cat "$scratch/extract-$source.err")"
  diff -r "$app" "$scratch/x-$source" >/dev/null || fail "extract $source: not the folder it was packed from"
  [ ! -s "$scratch/extract-$source.out" ] && [ ! -s "$scratch/extract-$source.err" ] || fail "extract $source said something"
  run "verify-$source" "$packer" verify "$scratch/$source"
  [ "$(status_of "verify-$source")" = 0 ] || fail "verify $source: status $(status_of "verify-$source"): $(cat "$scratch/verify-$source.out")"
  ! grep -q FAILED "$scratch/verify-$source.out" || fail "verify $source: $(cat "$scratch/verify-$source.out")"
done
grep -qx 'file table: ok, 5 files match the archive' "$scratch/verify-cached.exe.out" ||
  fail "verify of the cached pack: $(cat "$scratch/verify-cached.exe.out")"
grep -qx 'signature: none' "$scratch/verify-app.exe.out" || fail "verify names no signature line: $(cat "$scratch/verify-app.exe.out")"
grep -qx 'place: none, a block file' "$scratch/verify-app.block.out" || fail "verify of a block: $(cat "$scratch/verify-app.block.out")"

# A folder that exists is never written into, empty or not.
mkdir -p "$scratch/taken"
run extract-taken "$packer" extract "$scratch/app.exe" "$scratch/taken"
[ "$(status_of extract-taken)" = 1 ] || fail "extract into an existing folder: status $(status_of extract-taken)"
grep -qx "veldra: cannot extract into '$scratch/taken': it exists" "$scratch/extract-taken.err" ||
  fail "extract into an existing folder: $(cat "$scratch/extract-taken.err")"
[ -z "$(ls -A "$scratch/taken")" ] || fail "extract wrote into an existing folder"

# Damaged inputs, each made from the good ones.
checksum_field() {  # FILE: the offset of the image's CheckSum, from e_lfanew
  python3 -c 'import struct, sys; print(struct.unpack_from("<I", open(sys.argv[1], "rb").read(), 0x3C)[0] + 24 + 64)' "$1"
}
flip_byte() {  # FILE OFFSET
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "$(printf '\\%03o' $(( byte ^ 0xFF )))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
block_size=$(stat -c %s "$scratch/app.block")
cp "$scratch/app.block" "$scratch/flipped.block"
flip_byte "$scratch/flipped.block" $(( block_size / 2 ))
head -c $(( block_size / 2 )) "$scratch/app.block" > "$scratch/cut.block"
# The frame's own checksum: the 4 bytes before the padding and trailer.
frame_end=$(( block_size - 8 ))
while [ "$(od -An -tu1 -j $(( frame_end - 1 )) -N1 "$scratch/app.block" | tr -d ' ')" = 0 ]; do frame_end=$(( frame_end - 1 )); done
cp "$scratch/app.block" "$scratch/bad-checksum.block"
flip_byte "$scratch/bad-checksum.block" $(( frame_end - 1 ))
"$hand_made_block" "$scratch/unsafe.block" 'main.dll' 'sub\ok.txt' '..\escaped.txt' || fail "hand_made_block failed"
"$packer" pack --block "$scratch/unsafe.block" -o "$scratch/unsafe.exe" --quiet || fail "pack --block failed"
"$hand_made_block" "$scratch/empty.block" || fail "hand_made_block failed"
cp "$scratch/app.exe" "$scratch/image-checksum.exe"
flip_byte "$scratch/image-checksum.exe" "$(checksum_field "$scratch/image-checksum.exe")"
# A cached pack's file table whose length says 0xFFFFFFF0: it lies right after the block, at
# the next multiple of 8.
cp "$scratch/cached.exe" "$scratch/table-length.exe"
cached_block_at="$(sed -n 's/^place: ok, .veldra at offset \([0-9]*\) gives a block of \([0-9]*\) bytes$/\1 \2/p' "$scratch/verify-cached.exe.out")"
read -r cached_place cached_block_size <<<"$cached_block_at"
table_at=$(( cached_place + 18448 + (cached_block_size + 7) / 8 * 8 ))
[ "$(od -An -c -j "$table_at" -N6 "$scratch/table-length.exe" | tr -d ' ')" = VELFTA ] || fail "no file table at $table_at"
printf '\xf0\xff\xff\xff' | dd of="$scratch/table-length.exe" bs=1 seek=$(( table_at + 20 )) conv=notrunc status=none
cp "$scratch/app.exe" "$scratch/no-place.exe"
# The place's magic, "VELDRA" 0x1A 0x01, where verify found it.
place_at="$(sed -n 's/^place: ok, .veldra at offset \([0-9]*\) .*/\1/p' "$scratch/verify-app.exe.out")"
[ "$(od -An -c -j "$place_at" -N6 "$scratch/no-place.exe" | tr -d ' ')" = VELDRA ] || fail "no place magic at $place_at"
flip_byte "$scratch/no-place.exe" "$place_at"

checksum_line='the decoded archive does not match the frame'"'"'s content checksum'
# name | extract status | extract line | verify's failed check, as verify prints it
cases=(
  "flipped.block|2|$checksum_line|content checksum: FAILED, $checksum_line"
  "cut.block|2|the frame is cut short|frame: FAILED, the frame is cut short"
  "bad-checksum.block|2|$checksum_line|content checksum: FAILED, $checksum_line"
  "unsafe.exe|2|entry 3 has an unsafe file name, which the launcher refuses: '..\\escaped.txt'|archive: FAILED, entry 3 has an unsafe file name"
  "empty.block|2|the archive holds no main module|main module: FAILED, the archive holds no entry"
  "image-checksum.exe|0||image checksum: FAILED, the headers say"
  "table-length.exe|2|the file table's length or count runs past what it may hold|file table: FAILED, the file table's length or count runs past what it may hold"
  "no-place.exe|2|the .veldra section does not start with the place's magic|place: FAILED, the .veldra section does not start"
)
for each in "${cases[@]}"; do
  IFS='|' read -r file extract_status extract_line verify_line <<<"$each"
  case_name="block_tools $file"
  run extract "$packer" extract "$scratch/$file" "$scratch/out-$file"
  [ "$(status_of extract)" = "$extract_status" ] || fail "extract: status $(status_of extract), wanted $extract_status: $(cat "$scratch/extract.err")"
  if [ "$extract_status" = 0 ]; then
    [ -d "$scratch/out-$file" ] || fail "extract made no folder"
  else
    [ "$(wc -l < "$scratch/extract.err")" = 1 ] || fail "extract: not one line: $(cat "$scratch/extract.err")"
    grep -qF "veldra: $extract_line" "$scratch/extract.err" || fail "extract said: $(cat "$scratch/extract.err")"
    [ ! -e "$scratch/out-$file" ] || fail "extract left a folder"
    [ -z "$(ls -A "$scratch" | grep -F ".out-$file.tmp-")" ] || fail "extract left its temporary folder"
  fi
  run verify "$packer" verify "$scratch/$file"
  [ "$(status_of verify)" = 1 ] || fail "verify: status $(status_of verify), wanted 1: $(cat "$scratch/verify.out")"
  grep -qF "$verify_line" "$scratch/verify.out" || fail "verify said: $(cat "$scratch/verify.out")"
  [ ! -s "$scratch/verify.err" ] || fail "verify wrote to stderr: $(cat "$scratch/verify.err")"
done
case_name=block_tools
[ ! -e "$scratch/escaped.txt" ] && [ ! -e "$scratch/out-unsafe.exe" ] || fail "the unsafe name was written"

# inspect: a damaged file is one line on stderr and status 2; --json is one document a
# script can read, the same entries as the text.
for damaged in no-place.exe table-length.exe; do
  run inspect-damaged "$packer" inspect "$scratch/$damaged"
  [ "$(status_of inspect-damaged)" = 2 ] && [ "$(wc -l < "$scratch/inspect-damaged.err")" = 1 ] ||
    fail "inspect of $damaged: status $(status_of inspect-damaged): $(cat "$scratch/inspect-damaged.err")"
done
run inspect-json "$packer" inspect --json "$scratch/cached.exe"
[ "$(status_of inspect-json)" = 0 ] || fail "inspect --json: status $(status_of inspect-json)"
python3 - "$scratch/inspect-json.out" <<'PY' || fail "inspect --json: $(cat "$scratch/inspect-json.out")"
import json, sys
doc = json.load(open(sys.argv[1], encoding="utf-8"))
names = [e["name"] for e in doc["entries"]]
assert names[0] == "main.dll" and "docs\\grüße.txt" in names, names
assert doc["form"] == "executable" and doc["unpack_mode"] == "cached", doc
assert doc["architecture"] in ("x86", "x64") and doc["frame"]["checksum"] is True, doc
assert [f["name"] for f in doc["file_table"]["files"]] == names, doc["file_table"]
assert next(e for e in doc["entries"] if e["name"] == "data\\random.bin")["size"] == 200000
PY

[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "block tools: all cases passed"
