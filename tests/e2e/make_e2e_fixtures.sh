#!/usr/bin/env bash
# Packs the end-to-end fixture applications into launchers, before the Wine tests run.
# usage: make_e2e_fixtures.sh PACKER OUT_DIR APPS_DIR HAND_MADE_BLOCK
#   APPS_DIR holds the built DLLs: probe/{main,helper}.dll, needs_outside/main.dll,
#   no_entry/main.dll, outside_dll/outside.dll; HAND_MADE_BLOCK is the host tool of that name.
set -euo pipefail
packer="$1" out="$2" apps="$3" hand_made_block="$4"
rm -rf "$out"
mkdir -p "$out/apps"
cp -a "$apps/." "$out/apps/"
cd "$out/apps"

# The probe application: main.dll first, the DLL it imports, data two folders deep.
mkdir -p probe/data/level1/level2
echo "a note one level down" > probe/data/level1/note.txt
echo "a file two levels down" > probe/data/level1/level2/deep.txt
# A DLL nothing imports, for the application to load by bare name.
cp outside_dll/outside.dll probe/plugin.dll

# A main module that is no DLL at all.
mkdir -p not_a_dll
echo "This main.dll is a text file." > not_a_dll/main.dll

for app in probe needs_outside no_entry not_a_dll; do
  "$packer" pack "$app" -o "$out/$app.exe" --main main.dll >/dev/null
done
# Never packed: tests put it where the launcher must not look.
cp outside_dll/outside.dll "$out/outside.dll"

# An archive that ends before its first entry: the terminator alone, which the packer never
# writes, in a frame without a checksum.
block="$out/empty.block"
"$hand_made_block" "$block" --no-checksum
"$packer" pack --block "$block" -o "$out/empty.exe" >/dev/null
