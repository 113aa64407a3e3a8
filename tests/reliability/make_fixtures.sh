#!/usr/bin/env bash
# Generates and packs the applications of the reliability suite; nothing of it is committed.
#   large/       the 50 MB application of make_app.sh, packed as large.exe (with checksum),
#                as large_no_sweep.exe with --sweep off, and as large_cached.exe in the
#                cached mode with its folder under the temp folder
#   damaged.exe  large's block with one byte changed in the middle of its frame
#   bad_sum.exe  large's block with one byte of the frame's content checksum changed
#   names/       a small application whose files carry non-ASCII names, packed as names.exe
# The 10,000-file and 1 GB applications are made by the test that packs them, since the
# packer's memory is what that test measures.
# usage: make_fixtures.sh PACKER WORK_DIR SMALL_MAIN_DLL
set -euo pipefail
packer="$1" work="$2" small_main="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

started=$SECONDS
bash "$here/../scale/make_app.sh" large 50
"$packer" block large -o large.block >/dev/null
"$packer" pack --block large.block -o large.exe >/dev/null
"$packer" pack --block large.block -o large_no_sweep.exe --sweep off >/dev/null
"$packer" pack --block large.block -o large_cached.exe --unpack-mode cached --execution-level asInvoker \
  --template '{TEMP}\veldra_cache\{PAYLOAD_HASH}' >/dev/null
echo "large application: $(du -sb large | cut -f1) bytes in $(find large -type f | wc -l) files," \
     "block $(stat -c %s large.block) bytes ($((SECONDS - started)) s)"

# One byte of the frame changed. The byte is the first from the middle of the frame whose
# change the zstd command notices only through the content checksum. The launcher's 32-bit
# decoder does not always agree on such damaged input and may stop earlier; either way the
# application must never start.
frame="$("$packer" inspect large.block | awk '/^frame:/ { print $2 }')"
tail -c +4 large.block | head -c "$frame" > frame.zst
flip_byte() {  # FILE OFFSET
  local old
  old="$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')"
  printf "\\x$(printf %02x $((old ^ 0x55)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
offset=$((frame / 2))
for ((tries = 0; ; ++tries)); do
  cp frame.zst probe.zst
  flip_byte probe.zst "$offset"
  verdict="$(zstd -q -d -c probe.zst 2>&1 >/dev/null || true)"
  case "$verdict" in
    *checksum*) break ;;
  esac
  if [ "$tries" -ge 500 ]; then
    echo "no byte near the middle of the frame decodes silently when changed" >&2
    exit 1
  fi
  offset=$((offset + 1))
done
rm -f frame.zst probe.zst
cp large.block damaged.block
flip_byte damaged.block $((3 + offset))
"$packer" pack --block damaged.block -o damaged.exe >/dev/null
echo "damaged block: byte $offset of $frame in the frame changed (zstd: ${verdict##*: })"
rm -f damaged.block

# The content checksum itself changed (the frame's last byte): every file decodes whole, and
# only the check at the end of the frame tells. That is the case where a launcher could start
# the application too early.
cp large.block bad_sum.block
flip_byte bad_sum.block $((3 + frame - 1))
"$packer" pack --block bad_sum.block -o bad_sum.exe >/dev/null
rm -f bad_sum.block

# Names with characters beyond ASCII: Latin with an accent, Japanese, and a character outside
# the Basic Multilingual Plane (two UTF-16 units), in file and folder names alike; the main
# module's own name among them.
mkdir -p "names/日本語" "names/données/é" "names/emoji_😀"
cp "$small_main" "names/主_é😀.dll"
printf 'é\n' > "names/café.txt"
printf '日本語\n' > "names/日本語/説明.txt"
printf '😀 grinning\n' > "names/emoji_😀/face_😀.dat"
printf 'mixed names, two levels down\n' > "names/données/é/日本語😀é.bin"
printf 'plain\n' > "names/plain.txt"
"$packer" pack names -o names.exe --main "主_é😀.dll" >/dev/null
echo "fixtures ready in $((SECONDS - started)) s"
