#!/usr/bin/env bash
# Generates an application folder shaped like a real product: a main module of about 72% of
# the total that exports run_code and carries real machine code as data, 24 further DLLs, and
# 32 data files in 7 subfolders at most two levels deep. The bulk comes from Wine's own DLLs of
# the same architecture, so that it compresses like real software.
# Usage: make_app.sh OUT_DIR TOTAL_MB, for the architecture VELDRA_ARCH (x86 or x64, x86 if unset).
# MAIN_FILE_ALIGNMENT, when set, links the main module with that file alignment instead of the
# linker's 512 bytes.
set -euo pipefail
out="$1"
total_mb="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
case "${VELDRA_ARCH:-x86}" in
  x86) cc=i686-w64-mingw32-gcc dlls=/usr/lib/i386-linux-gnu/wine/i386-windows ;;
  x64) cc=x86_64-w64-mingw32-gcc dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows ;;
  *) echo "make_app.sh: unknown architecture '$VELDRA_ARCH'" >&2; exit 2 ;;
esac
total=$((total_mb * 1024 * 1024))
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# A deterministic stream of real PE bytes, read from an offset so that parts differ.
pe_bytes() {  # offset_files count
  local skip="$1" count="$2"
  find "$dlls" -maxdepth 1 -name '*.dll' -size +200k | LC_ALL=C sort | tail -n +"$((skip + 1))" |
    xargs cat 2>/dev/null | head -c "$count" || true
}

rm -rf "$out"
mkdir -p "$out"

main_bulk=$((total * 72 / 100))
pe_bytes 0 "$main_bulk" > "$work/bulk.bin"
alignment=()
[ -n "${MAIN_FILE_ALIGNMENT:-}" ] && alignment=(-Wl,--file-alignment,"$MAIN_FILE_ALIGNMENT")
"$cc" -O2 -shared -o "$out/main.dll" "$here/../support/fixture_app.c" "$here/../support/fixture_bulk.S" \
  -DFIXTURE_BULK_FILE="\"$work/bulk.bin\"" -Wl,--kill-at -s -lpsapi "${alignment[@]}"

each=$((total * 26 / 100 / 24))
for i in $(seq -w 1 24); do
  pe_bytes $((10#$i * 7)) "$each" > "$out/module_$i.dll"
done

# Text-like data: headers and documentation that every Debian machine has.
text_bytes() {  # skip count
  find /usr/include /usr/share/common-licenses -type f -size +4k 2>/dev/null | LC_ALL=C sort |
    tail -n +"$(($1 + 1))" | xargs cat 2>/dev/null | head -c "$2" || true
}
folders=(data data/json data/tables docs docs/guide resources resources/locale)
kinds=(json tsv txt md reg zip)
data_each=$((total * 2 / 100 / 32))
for n in $(seq 0 31); do
  folder="${folders[$((n % 7))]}"
  mkdir -p "$out/$folder"
  text_bytes $((n * 13)) "$data_each" > "$out/$folder/file_$n.${kinds[$((n % 6))]}"
done
