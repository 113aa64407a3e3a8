#!/usr/bin/env bash
# Packs the probe application with an unpack folder named from the process identifier alone,
# so that a test that starts the launcher suspended knows the folder before the launcher runs.
# usage: make_unpack_folder_fixtures.sh PACKER OUT_DIR APPS_DIR
set -euo pipefail
packer="$1" out="$2" apps="$3"
rm -rf "$out"
mkdir -p "$out"
"$packer" pack "$apps/probe" -o "$out/fixed_name.exe" --main main.dll --template '{TEMP}\fixed_{PID}' >/dev/null
