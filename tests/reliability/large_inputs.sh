#!/usr/bin/env bash
# The packer and the launcher on inputs of unusual shape:
#   many   10,000 small files in 100 folders (about 5 MB in all)
#   huge   one file of 1 GiB of generated, compressible text
# The packer must stream: its peak resident memory, measured as the kernel accounts it when
# the process ends (peak_memory.c, wait4), must not grow with the number of files, and for
# the 1 GiB file must stay below half the input's size. Past 64 MiB of archive the packer
# cuts the stream into zstd jobs of 32 MiB, so its memory depends on the number of cores, not
# on the input: about 190 MiB with one core and 85 MiB more for each further one (level 12),
# so the bound holds on up to 4 cores. The launcher must unpack every byte under Wine: the
# application waits while the test compares its folder with the source, then returns, and the
# folder must be gone.
#
# usage: large_inputs.sh many|huge PACKER TESTS_EXE SMALL_MAIN_DLL WORK_DIR
set -uo pipefail
shape="$1" packer="$2" tests_exe="$3" small_main="$4" work="$5"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
failures=0
case_name="$shape"

source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"
mib() { echo $(( ($1 + 1023) / 1024 )); }

rm -rf "$work"
mkdir -p "$work/app" "$work/temp" "$work/reports" "$work/cwd"
cd "$work/cwd"
# Whatever happens, the application waiting for the go file must not wait for ever.
trap 'touch "$work/go" 2>/dev/null' EXIT

compiler="$(command -v cc || command -v gcc || command -v c++)"
"$compiler" -O2 -x c -o "$work/peak_memory" "$here/peak_memory.c" || { fail "cannot build peak_memory"; exit 1; }

# pack_measured APP_DIR BLOCK: the packer's block step under peak_memory; sets peak_kib.
pack_measured() {
  local started=$SECONDS
  "$work/peak_memory" "$work/peak" "$packer" block "$1" -o "$2" >/dev/null || fail "the packer failed on $1"
  peak_kib="$(cat "$work/peak")"
  note "packed $(du -sb "$1" | cut -f1) bytes in $((SECONDS - started)) s, peak $(mib "$peak_kib") MiB"
}

started=$SECONDS
cp "$small_main" "$work/app/main.dll"
if [ "$shape" = many ]; then
  for d in $(seq -w 0 99); do
    mkdir -p "$work/app/folder_$d"
    for f in $(seq -w 0 99); do
      printf 'file %s of folder %s\n%*s\n' "$f" "$d" $(( (10#$f * 37 + 10#$d * 11) % 700 )) '' \
        > "$work/app/folder_$d/file_$f.txt"
    done
  done
else
  awk 'BEGIN { for (i = 0; ; ++i) printf "record %09d value %d flag %s\n", i, (i * 7919) % 100003, (i % 3 ? "yes" : "no") }' |
    head -c 1073741824 > "$work/app/huge.bin"
fi
input_bytes="$(du -sb "$work/app" | cut -f1)"
note "generated $(find "$work/app" -type f | wc -l) files, $input_bytes bytes, in $((SECONDS - started)) s"

pack_measured "$work/app" "$work/app.block"
if [ "$shape" = many ]; then
  # The same bytes in one file: what the compressor costs by itself. The files may add a
  # little bookkeeping each, far less than 16 MiB for the 10,000.
  mkdir -p "$work/one"
  find "$work/app" -type f -print0 | sort -z | xargs -0 cat > "$work/one/main.dll"
  many_kib="$peak_kib"
  pack_measured "$work/one" "$work/one.block"
  [ "$many_kib" -le $((peak_kib + 16 * 1024)) ] ||
    fail "10,000 files cost $(mib $((many_kib - peak_kib))) MiB more than the same bytes in one file"
  rm -rf "$work/one" "$work/one.block"
else
  [ "$peak_kib" -lt $((input_bytes / 2048)) ] ||
    fail "peak $(mib "$peak_kib") MiB packing $(mib $((input_bytes / 1024))) MiB: not below half the input"
fi

started=$SECONDS
"$packer" pack --block "$work/app.block" -o "$work/app.exe" >/dev/null || fail "cannot make the launcher"
rm -f "$work/app.block"
note "launcher made in $((SECONDS - started)) s"

# The run: the application reports its folder and waits for the go file.
started=$SECONDS
env FIXTURE_FOLDER="$(wine_path "$work/reports/folder")" FIXTURE_WAIT_FOR="$(wine_path "$work/go")" \
  wine "$tests_exe" --veldra-probe run_counted "$(wine_path "$work/result")" "$(wine_path "$work/temp")" \
  "$(wine_path "$work/app.exe")" >"$work/output" 2>&1 &
runner=$!
for ((i = 0; i < 6000; ++i)); do
  [ -s "$work/reports/folder" ] && break
  sleep 0.1
done
folder="$(linux_path "$(cat "$work/reports/folder" 2>/dev/null)")"
if [ -n "$folder" ]; then
  note "unpacked and running after $((SECONDS - started)) s"
  diff -r "$work/app" "$folder" >/dev/null || fail "the unpacked folder differs from the application"
else
  fail "the application never started"
fi
touch "$work/go"
wait "$runner"
read -r status processes < "$work/result" || { status=missing; processes=missing; }
note "ended after $((SECONDS - started)) s: status $status, $processes processes"
[ "$status" = 0x00000000 ] || fail "status $status: $(cat "$work/output")"
[ "$processes" = 2 ] || fail "$processes processes, expected parent and child"
[ -s "$work/output" ] && fail "output: $(cat "$work/output")"
[ -z "$(ls -A "$work/temp")" ] || fail "left in the temp folder: $(ls -A "$work/temp")"

cd /
rm -rf "$work"
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
