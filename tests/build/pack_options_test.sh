#!/usr/bin/env bash
# The pack options of build configuration on the command line: each refusal is one line on
# standard error with a non-zero status and no output file; the same options give the same
# bytes. usage: pack_options_test.sh PACKER
set -uo pipefail
packer="$1"
scratch="$(mktemp -d /tmp/veldra-options-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

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
expect_refusal version "veldra: --version takes X.Y.Z, three whole numbers from 0 to 65535 without leading zeros (got '1.2.3.4')" \
  --version 1.2.3.4
expect_refusal level "veldra: --execution-level takes asInvoker, highestAvailable or requireAdministrator" \
  --execution-level administrator
expect_refusal password-alone "veldra: --sign-password and --timestamp go with --sign-pkcs12" --sign-password x
expect_refusal no-certificate "veldra: cannot read the PKCS#12 file '$scratch/none.p12'" --sign-pkcs12 "$scratch/none.p12"
# The identity is checked before the block is written: a block-only pack is refused alike.
echo "not a block" > "$scratch/some.block"
mkdir -p "$scratch/out-block"
"$packer" pack --block "$scratch/some.block" -o "$scratch/out-block/app.exe" --template '{TEMP}\{NOPE}_{PID}' \
  2>"$scratch/stderr" && fail "pack --block took an unknown variable"
[ -z "$(ls -A "$scratch/out-block")" ] || fail "pack --block left files behind"

# Signing failures come after the link, and still leave no output.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/key.pem" -out "$scratch/cert.pem" -days 2 \
  -subj "/CN=Veldra options test" 2>/dev/null
openssl pkcs12 -export -inkey "$scratch/key.pem" -in "$scratch/cert.pem" -out "$scratch/cert.p12" -passout pass:right
expect_refusal wrong-password \
  "veldra: cannot sign the executable: Failed to parse PKCS#12 file: $scratch/cert.p12 (Wrong password?)" \
  --sign-pkcs12 "$scratch/cert.p12" --sign-password wrong
# A time-stamp service that does not answer: a closed port on this machine, nothing outside.
expect_refusal timestamp-unreachable \
  "veldra: cannot sign the executable: HTTP failure: Failed to get data from http://127.0.0.1:9/" \
  --sign-pkcs12 "$scratch/cert.p12" --sign-password right --timestamp http://127.0.0.1:9/
expect_refusal timestamp-scheme "veldra: --timestamp takes an http:// or https:// URL (got 'ts.example')" \
  --sign-pkcs12 "$scratch/cert.p12" --timestamp ts.example

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
