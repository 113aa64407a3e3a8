#!/usr/bin/env bash
# Fixture folders, blocks and launchers for the end-to-end tests: good ones, and damaged ones
# made from good blocks by changing single bytes.
# usage: make_fixtures.sh PACKER OUT_DIR MAIN_DLL REPO_ROOT BUILD_DIR, with VELDRA_ARCH set
#   (BUILD_DIR holds the host packer and the launcher of each architecture)
set -euo pipefail
packer="$1" out="$2" main_dll="$3" root="$4" build="$5"
rm -rf "$out"
mkdir -p "$out"
cd "$out"

put_byte() {  # FILE OFFSET HEX
  printf "\\x$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
frame_size() {  # BLOCK
  "$packer" inspect "$1" | awk '/^frame:/ { print $2 }'
}
pack_block() {  # BLOCK EXE
  "$packer" pack --block "$1" -o "$2"
}

# The worked example: a.dll holding abc, and an empty d/b.txt.
mkdir -p worked/d
printf abc > worked/a.dll
: > worked/d/b.txt
"$packer" block worked -o worked.block --main a.dll

# The fixture application, packed through the entry script as a user would.
mkdir -p app/data/deep
cp "$main_dll" app/main.dll
echo "hello" > app/data/hello.txt
echo "deeper" > app/data/deep/note.txt
VELDRA_OUT="$build" bash "$root/veldra" pack app -o good.exe --arch "$VELDRA_ARCH" >/dev/null
"$packer" block app -o app.block
"$packer" block app -o app-no-checksum.block --no-checksum

# The same application packed with no compiler, linker or resource compiler to be found: the
# packer runs with a PATH that holds nothing, and gives the same bytes as the pack above.
mkdir -p no-tools
for tool in i686-w64-mingw32-gcc x86_64-w64-mingw32-gcc ld windres; do
  if PATH="$out/no-tools" command -v "$tool" >/dev/null; then
    echo "the PATH without tools still finds $tool" >&2
    exit 1
  fi
done
PATH="$out/no-tools" "$packer" pack app -o no-tools.exe
cmp good.exe no-tools.exe

# The place of the block in the image (the section .veldra): its magic broken, and lengths that
# reach past the section and past the image. The launcher takes the length from here alone.
place_offset() {  # EXE: the file offset of the place
  python3 -c '
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
for i in range(count):
    name, raw = data[pe + 24 + optional_size + 40 * i:][:8], struct.unpack_from("<I", data, pe + 24 + optional_size + 40 * i + 20)[0]
    if name == b".veldra\0":
        print(raw)' "$1"
}
place="$(place_offset good.exe)"
block_length="$(od -An -tu4 -j $((place + 8)) -N4 good.exe | tr -d ' ')"
put_length() {  # EXE LENGTH
  python3 -c 'import struct, sys; sys.stdout.buffer.write(struct.pack("<I", int(sys.argv[1])))' "$2" |
    dd of="$1" bs=1 seek=$((place + 8)) conv=notrunc status=none
}
cp good.exe place-magic.exe
put_byte place-magic.exe "$place" 76
cp good.exe place-past-section.exe
# The section's virtual size is the place's 18,448 bytes and the block: one byte more is too many.
put_length place-past-section.exe $((block_length + 1))
cp good.exe place-past-image.exe
put_length place-past-image.exe 4294967295

# Header: each magic byte wrong alone, and the magic in lower case.
for damage in "first 0 78" "second 1 6a" "third 2 71"; do
  set -- $damage
  cp app.block "header-$1.block"
  put_byte "header-$1.block" "$2" "$3"
  pack_block "header-$1.block" "header-$1.exe"
done
cp app.block header-lower.block
printf 'xjq' | dd of=header-lower.block bs=1 conv=notrunc status=none
pack_block header-lower.block header-lower.exe

# Decoder: a frame cut in half, windows beyond 2^27, bytes that are no frame.
frame="$(frame_size app.block)"
head -c $((3 + frame / 2)) app.block > truncated.block
pack_block truncated.block truncated.exe
# Offset 8: the window descriptor, after the magic (3), the frame magic (4) and the descriptor (1).
for window in 90 89; do
  cp app-no-checksum.block "window-$window.block"
  put_byte "window-$window.block" 8 "$window"
  pack_block "window-$window.block" "window-$window.exe"
done
{ printf 'XJQthis is text and no zstd frame at all...'; printf '\0%.0s' 1 2 3 4 5; } > no-frame.block
pack_block no-frame.block no-frame.exe

# Integrity: one bit of the stored checksum (the frame's last four bytes) flipped.
cp app.block bad-checksum.block
last=$((3 + frame - 1))
old="$(od -An -tx1 -j "$last" -N1 bad-checksum.block | tr -d ' ')"
put_byte bad-checksum.block "$last" "$(printf '%02x' $((0x$old ^ 0x01)))"
pack_block bad-checksum.block bad-checksum.exe

# A full disk: an application bigger than the 1 MiB tmpfs, in data that does not compress.
mkdir -p big
cp "$main_dll" big/main.dll
head -c 3000000 /dev/urandom > big/random.bin
"$packer" pack big -o big.exe
