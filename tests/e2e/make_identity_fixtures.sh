#!/usr/bin/env bash
# Packs the probe application with identity options, unpack templates and a signature, before
# the Wine tests of what a packed executable's build configuration does at run time.
# usage: make_identity_fixtures.sh PACKER OUT_DIR APPS_DIR
set -euo pipefail
packer="$1" out="$2" apps="$3"
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
