#!/usr/bin/env bash
# The two distribution builds of the packer, as the release's tar.gz and zip hold them, with no
# compiler, linker or resource compiler on the PATH: the Linux build packs a folder, the Windows
# build packs it under 64-bit Wine, the two executables are the same bytes for each
# architecture, and the x64 one runs: status 0, nothing printed, nothing left in the temp
# folder. The same for a folder whose names are not Latin, given to the Windows build as UTF-16
# arguments. The command-line conventions hold for the released packer and its README.
# usage: dist_packers_test.sh REPO_ROOT RELEASE_DIR MAIN_DLL, with VELDRA_WINE the 64-bit loader
set -uo pipefail
root="$1" release="$2" main_dll="$3"
work="$(mktemp -d /tmp/veldra-dist-XXXXXX)"
trap 'rm -rf "$work"' EXIT
failures=0
case_name=dist_packers
source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"
version="$(head -n1 "$root/VERSION")"

mkdir -p "$work/linux" "$work/windows" "$work/dist"
tar -xzf "$release/veldra-$version-linux-x86_64.tar.gz" -C "$work/linux" || fail "cannot unpack the tar.gz"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
  "$release/veldra-$version-windows-x64.zip" "$work/windows" || fail "cannot unpack the zip"
ln -s "$work/linux/veldra-$version-linux-x86_64/bin/veldra-packer" "$work/dist/veldra-packer"
cp "$work/windows/veldra-$version-windows-x64/bin/veldra-packer.exe" "$work/dist/veldra-packer.exe"
[ -x "$work/dist/veldra-packer" ] || fail "the tar.gz's packer is not executable"

bash "$(dirname "${BASH_SOURCE[0]}")/command_line_conventions_test.sh" "$work/dist/veldra-packer" "$root" \
  "$work/linux/veldra-$version-linux-x86_64/README.md" >/dev/null || fail "the released packer's conventions (above)"
"$work/dist/veldra-packer" --version | grep -qx "launcher stub x64: $version, carried in the packer" ||
  fail "the released packer's --version: $("$work/dist/veldra-packer" --version)"

# An application with files on several levels, names whose order differs by case and by
# bytes beyond ASCII, and an icon of one PNG image.
cd "$work"
mkdir -p app/data/deep app/Zeta no-tools
cp "$main_dll" app/main.dll
for name in data/hello.txt data/deep/note.txt Zeta/b.bin Zeta/a.bin B.txt a.txt "data/caf$(printf '\xc3\xa9').txt"; do
  printf '%s\n' "$name" > "app/$name"
done
python3 -c '
import struct, sys, zlib
raw = b"".join(b"\0" + b"\x20\x80\xc0\xff" * 16 for _ in range(16))
chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 16, 16, 8, 6, 0, 0, 0)) +
       chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
sys.stdout.buffer.write(struct.pack("<HHHBBBBHHII", 0, 1, 1, 16, 16, 0, 0, 1, 32, len(png), 22) + png)' > app.ico

for tool in i686-w64-mingw32-gcc x86_64-w64-mingw32-gcc ld windres; do
  if PATH="$work/no-tools" command -v "$tool" >/dev/null; then
    fail "the PATH without tools still finds $tool"
  fi
done

# The x86 pack takes a main module that is no image at all, as the packer allows.
cp -r app app-x86
printf 'MZ, and no image' > app-x86/main.dll

template='{TEMP}\veldra_dist_{PID}_{RANDOM}'
for arch in x64 x86; do
  app=app
  [ "$arch" = x86 ] && app=app-x86
  PATH="$work/no-tools" dist/veldra-packer pack "$app" -o "linux-$arch.exe" --arch "$arch" --icon app.ico \
    --template "$template" --quiet || fail "the Linux packer failed for $arch"
  PATH="$work/no-tools" "$VELDRA_WINE" dist/veldra-packer.exe pack "$app" -o "windows-$arch.exe" --arch "$arch" \
    --icon app.ico --template "$template" --quiet 2>"$work/stderr" ||
    fail "the Windows packer failed for $arch: $(cat "$work/stderr")"
  cmp -s "linux-$arch.exe" "windows-$arch.exe" || fail "the two packers' $arch executables differ"
done

# The Windows packer refuses as the Linux one does, with one line and no output file.
PATH="$work/no-tools" "$VELDRA_WINE" dist/veldra-packer.exe pack app -o refused.exe --arch x64 --icon app/B.txt \
  >/dev/null 2>"$work/stderr" && fail "the Windows packer took a text file as an icon"
[ "$(tr -d '\r' < "$work/stderr")" = "veldra: icon 'app/B.txt' is not a valid .ico file: no icon directory (reserved 0, type 1) at its start" ] ||
  fail "the Windows packer's refusal: $(cat "$work/stderr")"
[ ! -e refused.exe ] || fail "the Windows packer left refused.exe"

temp="$("$VELDRA_WINE" winepath -u "$("$VELDRA_WINE" cmd.exe /c echo %TEMP% </dev/null 2>/dev/null | tr -d '\r')" 2>/dev/null)"
status=0
PATH="$work/no-tools" "$VELDRA_WINE" windows-x64.exe one "two words" >"$work/stdout" 2>"$work/stderr" || status=$?
[ "$status" -eq 0 ] || fail "the packed executable ended with status $status"
[ ! -s "$work/stdout" ] && [ ! -s "$work/stderr" ] || fail "the packed executable said: $(cat "$work/stdout" "$work/stderr")"
[ -d "$temp" ] || fail "no Wine temp folder at '$temp'"
left="$(ls "$temp" 2>/dev/null | grep '^veldra_dist_' || true)"
[ -z "$left" ] || fail "left in the temp folder: $left"

# Names beyond Latin, as a Windows user's folders have them, in the folder's path, its files and
# the main module's name: the Windows build takes them as UTF-16 whatever the code page, and
# both builds give the same bytes.
export LC_ALL=C.UTF-8
wide="$work/приложение 李"
mkdir -p "$wide/数据/Ελληνικά" "$wide/bin"
cp "$main_dll" "$wide/bin/主程序.dll"
for name in "数据/说明.txt" "数据/Ελληνικά/αλφα.txt" "ملف.txt" "emoji-😀.txt"; do
  printf '%s\n' "$name" > "$wide/$name"
done
"$work/dist/veldra-packer" pack "$wide" -o "$work/wide-linux.exe" --arch x64 --main "bin/主程序.dll" \
  --product "Продукт" --template "$template" --quiet || fail "the Linux packer failed for the wide names"
(cd "$work" && "$VELDRA_WINE" dist/veldra-packer.exe pack "приложение 李" -o "выход-windows.exe" --arch x64 \
  --main "bin/主程序.dll" --product "Продукт" --template "$template" --quiet 2>"$work/stderr") ||
  fail "the Windows packer failed for the wide names: $(cat "$work/stderr")"
cmp -s "$work/wide-linux.exe" "$work/выход-windows.exe" || fail "the two packers' executables of the wide names differ"
"$VELDRA_WINE" "$work/dist/veldra-packer.exe" inspect "$(wine_path "$work/выход-windows.exe")" >"$work/report" 2>&1 ||
  fail "the Windows packer's inspect failed: $(cat "$work/report")"
grep -qF 'bin\主程序.dll' "$work/report" && grep -qF 'emoji-😀.txt' "$work/report" ||
  fail "the wide names are not in the report: $(cat "$work/report")"
status=0
PATH="$work/no-tools" "$VELDRA_WINE" "$work/выход-windows.exe" >"$work/stdout" 2>"$work/stderr" || status=$?
[ "$status" -eq 0 ] || fail "the executable of the wide names ended with status $status: $(cat "$work/stderr")"

[ "$failures" -eq 0 ] && echo "distribution packers: all cases passed"
exit "$failures"
