#!/usr/bin/env bash
# Packs the fixtures of the end-to-end tests, one set per fixture step, before the Wine tests
# that run them. usage: make_e2e_fixtures.sh SET PACKER OUT_DIR APPS_DIR HAND_MADE_BLOCK
#   SET: launchers, identity, unpack_folder or unsafe_names (see each function below);
#   APPS_DIR holds the built DLLs: probe/{main,helper}.dll, needs_outside/main.dll,
#   no_entry/main.dll, outside_dll/outside.dll, state_probe/main.dll; HAND_MADE_BLOCK is the host tool of that name,
#   which writes blocks with any names.
set -euo pipefail
set_name="$1" packer="$2" out="$3" apps="$4" hand_made_block="$5"

# The fixture applications packed into launchers, and a few blocks the packer never writes.
launchers() {
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

  for app in probe needs_outside no_entry not_a_dll state_probe; do
    "$packer" pack "$app" -o "$out/$app.exe" --main main.dll >/dev/null
  done
  # Never packed: tests put it where the launcher must not look.
  cp outside_dll/outside.dll "$out/outside.dll"

  # An archive that ends before its first entry: the terminator alone, which the packer never
  # writes, in a frame without a checksum.
  block="$out/empty.block"
  "$hand_made_block" "$block" --no-checksum
  "$packer" pack --block "$block" -o "$out/empty.exe" >/dev/null
}

# The probe application with identity options, unpack templates and a signature, for what a
# packed executable's build configuration does at run time.
identity() {
  rm -rf "$out"
  mkdir -p "$out/probe"
  cp "$apps/probe/main.dll" "$apps/probe/helper.dll" "$out/probe/"
  cd "$out"

  pack() {  # OUT.exe [OPTION...]
    local exe="$1"; shift
    "$packer" pack probe -o "$exe" --main main.dll "$@" >/dev/null
  }

  identity_template='{TEMP}\{COMPANY}_{PRODUCT}_{VERSION}_{FILE_VERSION}_{PRODUCT_VERSION}_{PID}'
  pack plain.exe
  pack identity.exe --company "Quill & Söhne" --product Widget --version 2.5.17 --description "a test tool" \
    --original-filename widget.exe --internal-name widget --execution-level asInvoker --template "$identity_template"
  pack default_identity.exe --template "$identity_template"
  pack cache_dir.exe --template '{CACHE_DIR}\veldra_e2e_cache_{PID}_{RANDOM}'
  pack home.exe --template '{home}\veldra_e2e_home_{PID}_{TIME_US}'

  # A throwaway self-signed certificate, made here and used for nothing else.
  openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out certificate.pem -days 2 \
    -subj "/CN=Veldra end-to-end test" 2>/dev/null
  openssl pkcs12 -export -inkey key.pem -in certificate.pem -out certificate.p12 -passout pass:e2e-secret
  VELDRA_SIGN_PASSWORD=e2e-secret pack signed.exe --sign-pkcs12 certificate.p12
}

# The probe application with an unpack folder named from the process identifier alone, so that
# a test that starts the launcher suspended knows the folder before the launcher runs.
unpack_folder() {
  rm -rf "$out"
  mkdir -p "$out"
  "$packer" pack "$apps/probe" -o "$out/fixed_name.exe" --main main.dll --template '{TEMP}\fixed_{PID}' >/dev/null
  # A relative template, which the packer refuses: written into a packed launcher's place by
  # hand (after the magic, the length, 4 reserved bytes and five texts of 1,024 UTF-16 units).
  if "$packer" pack "$apps/probe" -o "$out/relative.exe" --main main.dll --template 'rel_{PID}' 2>/dev/null; then
    echo "make_e2e_fixtures.sh: the packer took a relative template" >&2
    exit 1
  fi
  cp "$out/fixed_name.exe" "$out/relative.exe"
  python3 - "$out/relative.exe" 'rel_{PID}' <<'PY'
import sys
path, text = sys.argv[1], sys.argv[2]
data = bytearray(open(path, 'rb').read())
place = data.rfind(b'VELDRA\x1a\x01')
start = place + 16 + 5 * 1024 * 2
data[start:start + 4096 * 2] = text.encode('utf-16-le').ljust(4096 * 2, b'\0')
open(path, 'wb').write(data)
PY
}

# Hand-made blocks whose archives hold an unsafe name, one launcher per kind of name. The
# packer refuses such names in a folder, but `pack --block` links any block as it is, so the
# launcher's own check is what stands between them and the disk.
unsafe_names() {
  rm -rf "$out"
  mkdir -p "$out"

  # label, then the unsafe name. Each comes after two good entries, so the parent has written
  # files before it meets it; "first_*" cases hold it as the first entry, which the child reads.
  cases=(
    "dotdot"            '..\..\escape_e2e.txt'
    "dotdot_in_folder"  'sub\..\..\..\escape_e2e.txt'
    "first_dotdot"      '..\..\escape_e2e.dll'
    "leading_backslash" '\escape_e2e.txt'
    "drive"             'C:escape_e2e.txt'
    "stream"            'main.dll:hidden'
    "slash"             'sub/../../../escape_e2e.txt'
    "empty_component"   'sub\\x.txt'
    "dot_component"     'sub\.\x.txt'
    "control"           $'ctl\x01.txt'
    "less_than"         'a<b'
    "greater_than"      'a>b'
    "quote"             'a"b'
    "pipe"              'a|b'
    "question"          'a?b'
    "star"              'a*b'
    "trailing_dot"      'trail.'
    "trailing_blank"    'sub \x.txt'
    "con"               'CON'
    "nul_extension"     'sub\nul.txt'
    "com"               'Com1.log'
    "lpt"               'lpt9'
    "com_superscript"   $'COM\u00b9'
    "first_nul"         'NUL'
  )
  for (( i = 0; i < ${#cases[@]}; i += 2 )); do
    label="${cases[i]}" name="${cases[i + 1]}"
    if [[ "$label" == first_* ]]; then
      "$hand_made_block" "$out/$label.block" "$name" 'main.dll'
    else
      "$hand_made_block" "$out/$label.block" 'main.dll' 'sub\first.txt' "$name"
    fi
    # A prefix, since labels such as "con" are device names themselves.
    "$packer" pack --block "$out/$label.block" -o "$out/unsafe_$label.exe" >/dev/null
    rm "$out/$label.block"
  done
}

case "$set_name" in
  launchers | identity | unpack_folder | unsafe_names) "$set_name" ;;
  *) echo "make_e2e_fixtures.sh: unknown set '$set_name'" >&2; exit 2 ;;
esac
