#!/usr/bin/env bash
# The pack options of build configuration on the command line: each refusal is one line on
# standard error with a non-zero status and no output file; the same options give the same
# bytes. usage: pack_options_test.sh PACKER
set -uo pipefail
packer="$1"
scratch="$(mktemp -d /tmp/veldra-options-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
failures=0
case_name=pack_options
source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"

mkdir -p "$scratch/app"
echo MZ > "$scratch/app/main.dll"

# expect_refusal NAME EXPECTED_LINE OPTION...: exactly that line, a status other than 0, and
# nothing left in the folder the output was to go to.
expect_refusal() {
  local name="$1" expected="$2"; shift 2
  local out="$scratch/out-$name"
  mkdir -p "$out"
  local status=0
  "$packer" pack "$scratch/app" -o "$out/app.exe" "$@" >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
  [ "$status" -ne 0 ] || fail "$name: status 0"
  [ "$(cat "$scratch/stderr")" = "$expected" ] || fail "$name: got '$(cat "$scratch/stderr")', wanted '$expected'"
  [ ! -s "$scratch/stdout" ] || fail "$name: wrote to stdout"
  [ -z "$(ls -A "$out")" ] || fail "$name: left files behind: $(ls -A "$out")"
}

expect_refusal unknown-variable "veldra: template '{TEMP}\\{NOPE}_{PID}' names an unknown variable {NOPE}" \
  --template '{TEMP}\{NOPE}_{PID}'
expect_refusal empty-name "veldra: template '{TEMP}\\{}_{PID}' names an unknown variable {}" \
  --template '{TEMP}\{}_{PID}'
expect_refusal long-name "veldra: template '{$(printf 'N%.0s' $(seq 199))...' has a variable name longer than 1,023 characters" \
  --template "{$(printf 'N%.0s' $(seq 1024))}\\{PID}"
expect_refusal whole-temp-folder "veldra: template '{TEMP}' does not give each run a folder of its own, which is removed when the run ends: its last path component must hold {PID}, {RANDOM}, {TIME_US} or {TIME}" \
  --template '{TEMP}'
expect_refusal relative-template "veldra: template 'run_{PID}_{RANDOM}' is not a full path: it must begin with {TEMP}, {HOME}, {CACHE_DIR}, {PROGRAM_DIR}, {PROGRAM_BASE} or {PROGRAM}, a drive's root (C:\\) or a share (\\\\server\\share), not depend on the current folder" \
  --template 'run_{PID}_{RANDOM}'
expect_refusal version "veldra: --version takes X.Y.Z, three whole numbers from 0 to 65535 without leading zeros (got '1.2.3.4')" \
  --version 1.2.3.4
expect_refusal level "veldra: --execution-level takes asInvoker, highestAvailable or requireAdministrator" \
  --execution-level administrator
expect_refusal sweep "veldra: --sweep takes on or off" --sweep maybe
expect_refusal password-alone "veldra: --sign-password-file and --timestamp go with --sign-pkcs12" \
  --sign-password-file "$scratch/app/main.dll"
expect_refusal password-on-command-line "veldra: --sign-password is not taken: a password on a command line can be read by every user of the machine; use --sign-password-file FILE or the VELDRA_SIGN_PASSWORD environment variable" \
  --sign-password x
expect_refusal no-certificate "veldra: cannot read the PKCS#12 file '$scratch/none.p12'" --sign-pkcs12 "$scratch/none.p12"
# Icons: each kind of file that is no icon, refused before anything is compressed.
printf 'just text' > "$scratch/text.ico"
printf '\0\0\2\0\1\0' > "$scratch/cursor.ico"
printf '\0\0\1\0\0\0' > "$scratch/empty.ico"
printf '\0\0\1\0\2\0\20\20\0\0\1\0\40\0' > "$scratch/short-directory.ico"
# One entry of 200 bytes at offset 22, in a file of 30.
printf '\0\0\1\0\1\0\20\20\0\0\1\0\40\0\310\0\0\0\26\0\0\0GIF89a..' > "$scratch/outside.ico"
# One entry of 8 bytes at offset 22 that are no PNG and no bitmap.
printf '\0\0\1\0\1\0\20\20\0\0\1\0\40\0\10\0\0\0\26\0\0\0GIF89a..' > "$scratch/gif.ico"
for case in "text:no icon directory (reserved 0, type 1) at its start" \
            "cursor:no icon directory (reserved 0, type 1) at its start" \
            "empty:it holds 0 images (1 to 256 are taken)" \
            "short-directory:its directory of 2 images runs past its end" \
            "outside:image 1 lies outside the file" \
            "gif:image 1 is neither a PNG nor a bitmap"; do
  name="${case%%:*}"
  expect_refusal "icon-$name" "veldra: icon '$scratch/$name.ico' is not a valid .ico file: ${case#*:}" \
    --icon "$scratch/$name.ico"
done
expect_refusal icon-missing "veldra: cannot read the icon '$scratch/none.ico'" --icon "$scratch/none.ico"
expect_refusal icon-folder "veldra: cannot read the icon '$scratch/app'" --icon "$scratch/app"

# Stubs: a missing one, the other architecture's, and a file that is no image at all.
this_arch="${VELDRA_ARCH:-x86}"
case "$this_arch" in x86) other_arch=x64 other_bits=64 ;; *) other_arch=x86 other_bits=32 ;; esac
other_stub="$(cd "$(dirname "$packer")/.." && pwd)/$other_arch/veldra-stub-$other_arch.exe"
expect_refusal stub-missing \
  "veldra: launcher stub '$scratch/none.exe' not found; run ./veldra build first, or give --stub FILE" \
  --stub "$scratch/none.exe"
if [ -f "$other_stub" ]; then
  expect_refusal stub-other-arch \
    "veldra: launcher stub '$other_stub' is a $other_bits-bit ($other_arch) executable, not the $this_arch stub" \
    --stub "$other_stub"
else
  fail "no stub of the other architecture at $other_stub"
fi
expect_refusal stub-no-image "veldra: launcher stub '$scratch/app/main.dll' is not a PE image" \
  --stub "$scratch/app/main.dll"

# An output in a folder that does not exist: one line, and no folder made for it.
status=0
"$packer" pack "$scratch/app" -o "$scratch/missing/app.exe" 2>"$scratch/stderr" || status=$?
[ "$status" -ne 0 ] || fail "an output in a missing folder: status 0"
[ "$(cat "$scratch/stderr")" = "veldra: the folder of the output '$scratch/missing/app.exe' does not exist" ] ||
  fail "an output in a missing folder: got '$(cat "$scratch/stderr")'"
[ ! -e "$scratch/missing" ] || fail "an output in a missing folder: the folder was made"

# The identity is checked before the block is written: a block-only pack is refused alike.
echo "not a block" > "$scratch/some.block"
mkdir -p "$scratch/out-block"
"$packer" pack --block "$scratch/some.block" -o "$scratch/out-block/app.exe" --template '{TEMP}\{NOPE}_{PID}' \
  2>"$scratch/stderr" && fail "pack --block took an unknown variable"
[ -z "$(ls -A "$scratch/out-block")" ] || fail "pack --block left files behind"

# Signing failures come after the image is written, and still leave no output.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/key.pem" -out "$scratch/cert.pem" -days 2 \
  -subj "/CN=Veldra options test" 2>/dev/null
openssl pkcs12 -export -inkey "$scratch/key.pem" -in "$scratch/cert.pem" -out "$scratch/cert.p12" -passout pass:right
echo wrong > "$scratch/wrong-password"
expect_refusal wrong-password \
  "veldra: cannot sign the executable: Failed to parse PKCS#12 file: $scratch/cert.p12 (Wrong password?)" \
  --sign-pkcs12 "$scratch/cert.p12" --sign-password-file "$scratch/wrong-password"
expect_refusal no-password-file "veldra: cannot read the password file '$scratch/none'" \
  --sign-pkcs12 "$scratch/cert.p12" --sign-password-file "$scratch/none"
# A time-stamp service that does not answer: a closed port on this machine, nothing outside.
# The password comes from the environment here.
VELDRA_SIGN_PASSWORD=right expect_refusal timestamp-unreachable \
  "veldra: cannot sign the executable: HTTP failure: Failed to get data from http://127.0.0.1:9/" \
  --sign-pkcs12 "$scratch/cert.p12" --timestamp http://127.0.0.1:9/
expect_refusal timestamp-scheme "veldra: --timestamp takes an http:// or https:// URL (got 'ts.example')" \
  --sign-pkcs12 "$scratch/cert.p12" --timestamp ts.example

# An osslsigncode that takes its time, so that a poll or a signal finds it running; it is given
# the same command line as the real one, which it then becomes.
mkdir -p "$scratch/slow-tools"
printf '#!/bin/sh\nsleep "${VELDRA_SLOW_SIGN:-1}"\nexec %s "$@"\n' "$(command -v osslsigncode)" > "$scratch/slow-tools/osslsigncode"
chmod +x "$scratch/slow-tools/osslsigncode"

# While a signed pack runs, no command line on the machine holds the password: every
# /proc/*/cmdline is read over and over until the pack ends (with builtins only, so the poll
# keeps up). Seeing osslsigncode's -readpass shows the poll was there while it ran. The
# password file and the work folder are gone afterwards.
secret="veldra-secret-$RANDOM$RANDOM"
printf '%s\n' "$secret" > "$scratch/password"
openssl pkcs12 -export -inkey "$scratch/key.pem" -in "$scratch/cert.pem" -out "$scratch/secret.p12" \
  -passout "pass:$secret"
mkdir -p "$scratch/tmp"
PATH="$scratch/slow-tools:$PATH" TMPDIR="$scratch/tmp" "$packer" pack "$scratch/app" -o "$scratch/signed.exe" \
  --sign-pkcs12 "$scratch/secret.p12" --sign-password-file "$scratch/password" 2>"$scratch/signed-stderr" &
pack_pid=$!
saw_readpass=0
leaked=""
while kill -0 "$pack_pid" 2>/dev/null; do
  for cmdline in /proc/[0-9]*/cmdline; do
    arguments=()
    mapfile -d '' arguments < "$cmdline" 2>/dev/null || continue
    for argument in "${arguments[@]}"; do
      case "$argument" in
        *"$secret"*) leaked="$cmdline: ${arguments[*]}" ;;
        -readpass) saw_readpass=1 ;;
      esac
    done
  done
done
wait "$pack_pid" || fail "signed pack: $(cat "$scratch/signed-stderr")"
[ -z "$leaked" ] || fail "the password was on a command line: $leaked"
[ "$saw_readpass" = 1 ] || fail "the poll never saw osslsigncode's -readpass"
[ -z "$(ls -A "$scratch/tmp")" ] || fail "signed pack left in its temp folder: $(ls -A "$scratch/tmp")"

# A signal mid-pack leaves nothing: no temporary output, no block, no work folder (with the
# password file in it). The application is big enough to be caught while the block is being
# compressed at level 19; the signal comes once the block's folder or the password file
# appears, while an osslsigncode that takes its time runs.
mkdir -p "$scratch/big"
echo MZ > "$scratch/big/main.dll"
head -c 24000000 /dev/urandom | base64 > "$scratch/big/data.txt"
for signal_and_phase in TERM:block INT:block TERM:sign; do
  signal="${signal_and_phase%%:*}" phase="${signal_and_phase##*:}"
  out="$scratch/out-signal-$signal-$phase"
  mkdir -p "$out" "$scratch/tmp"
  if [ "$phase" = block ]; then
    TMPDIR="$scratch/tmp" "$packer" pack "$scratch/big" -o "$out/app.exe" --level 19 2>/dev/null &
  else
    VELDRA_SLOW_SIGN=5 PATH="$scratch/slow-tools:$PATH" TMPDIR="$scratch/tmp" "$packer" pack "$scratch/app" -o "$out/app.exe" \
      --sign-pkcs12 "$scratch/secret.p12" --sign-password-file "$scratch/password" 2>/dev/null &
  fi
  pack_pid=$!
  for _ in $(seq 2000); do
    if [ "$phase" = block ]; then
      compgen -G "$out/.veldra-block-*/block.bin.tmp-*" >/dev/null && break
    else
      compgen -G "$scratch/tmp/veldra-pack-*/signing-password" >/dev/null && break
    fi
    sleep 0.005
  done
  kill "-$signal" "$pack_pid"
  status=0
  wait "$pack_pid" || status=$?
  wanted=$((128 + $(kill -l "$signal")))
  [ "$status" -eq "$wanted" ] || fail "SIG$signal during the $phase step: status $status, wanted $wanted"
  [ -z "$(ls -A "$out")" ] || fail "SIG$signal during the $phase step left: $(ls -A "$out")"
  [ -z "$(ls -A "$scratch/tmp")" ] || fail "SIG$signal during the $phase step left in the temp folder: $(ls -A "$scratch/tmp")"
done

# Same inputs and options, same bytes; another company, other bytes.
identity=(--company "Quill & Söhne" --product Widget --version 2.5.17 --description "a tool" --original-filename w.exe
          --internal-name w --template '{CACHE_DIR}\{PRODUCT}_{PID}' --execution-level asInvoker)
"$packer" pack "$scratch/app" -o "$scratch/one.exe" "${identity[@]}" || fail "pack failed"
sleep 1
"$packer" pack "$scratch/app" -o "$scratch/two.exe" "${identity[@]}" || fail "pack failed"
cmp -s "$scratch/one.exe" "$scratch/two.exe" || fail "two packs with the same options differ"
"$packer" pack "$scratch/app" -o "$scratch/three.exe" "${identity[@]}" --company "Quill & Sohne" || fail "pack failed"
cmp -s "$scratch/one.exe" "$scratch/three.exe" && fail "another company gives the same bytes"

[ "$failures" -eq 0 ] && echo "pack options: all cases passed"
exit "$failures"
