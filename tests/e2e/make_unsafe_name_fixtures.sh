#!/usr/bin/env bash
# Packs hand-made blocks whose archives hold an unsafe name, one launcher per kind of name,
# before the Wine tests run. The packer refuses such names in a folder, but `pack --block`
# links any block as it is, so the launcher's own check is what stands between them and the
# disk. usage: make_unsafe_name_fixtures.sh PACKER OUT_DIR HAND_MADE_BLOCK, the last the host
# tool of that name, which writes blocks with any names.
set -euo pipefail
packer="$1" out="$2" hand_made_block="$3"
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
