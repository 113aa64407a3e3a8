#!/usr/bin/env bash
# The benchmark: the launcher under Wine against the platform's limit under the same Wine, the
# native decoder and tar, and the packer against the zstd command. Medians over repeated runs
# (hyperfine). Writes docs/benchmarks.md and docs/benchmarks.png.
# Called by ./veldra bench, which exports ROOT, BUILD, DEPS, PACKER, the Wine variables and
# VELDRA_ARCH, the architecture measured (x86 or x64, whichever runs here).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
runs="${VELDRA_BENCH_RUNS:-10}"
level="${VELDRA_BENCH_LEVEL:-}"
sizes=(${VELDRA_BENCH_SIZES:-5 25 50 100})
main_size="${VELDRA_BENCH_MAIN_SIZE:-50}"
work="${VELDRA_BENCH_DIR:-/tmp/veldra-bench}"
docs="$ROOT/docs"
mkdir -p "$work" "$docs"
arch="${VELDRA_ARCH:-x86}"
case "$arch" in
  x86) cc=(i686-w64-mingw32-gcc -O2 -municode -s) loader="$WINE32" symbol_prefix=_ ;;
  x64) cc=(x86_64-w64-mingw32-gcc -O2 -municode -s) loader="$WINE64" symbol_prefix= ;;
esac
wine() { "$loader" "$@"; }
zstd_inc="$DEPS/zstd/$arch/include"
zstd_lib="$DEPS/zstd/$arch/lib/libzstd.a"
# The prefix's own temp folder, asked of it once its server runs: as Windows and as Linux sees it.
wine_temp_windows=""
wine_temp=""
find_wine_temp() {
  wine_temp_windows="$(wine cmd.exe /c echo %TEMP% </dev/null 2>/dev/null | tr -d '\r' | tail -n1)"
  wine_temp="$(wine winepath -u "$wine_temp_windows" 2>/dev/null | tr -d '\r')"
  wine_temp="${wine_temp%/}"
  if [ -z "$wine_temp_windows" ] || [ ! -d "$wine_temp" ]; then
    say "could not find the Wine prefix's temp folder (got '$wine_temp_windows', '$wine_temp')"
    exit 1
  fi
}

say() { printf 'bench: %s\n' "$*" >&2; }

# Median wall time in seconds of one command, from hyperfine's JSON.
median_of() {  # json
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][0]["median"])' "$1"
}
measure() {  # name prepare command...
  local name="$1" prepare="$2"
  shift 2
  # Every run starts with no dirty pages of an earlier one, so that write-back of what one
  # command wrote is not charged to the next. Wine on this kind of machine now and then fails
  # to start a process at all (it cannot place its shared user data page and exits with 1,
  # silently under WINEDEBUG=-all), so one failed series is said and measured once more.
  local attempt
  for attempt in 1 2; do
    if hyperfine --style basic --runs "$runs" --warmup 1 --prepare "$prepare; sync" \
      --export-json "$work/$name.json" "$*" >"$work/$name.log" 2>&1; then
      median_of "$work/$name.json"
      return 0
    fi
    say "measuring $name failed (attempt $attempt of 2):"
    cat "$work/$name.log" >&2
  done
  return 1
}

# The frame alone, cut out of a block after its magic, with the length inspect reports.
extract_frame() {  # block frame
  local length
  length=$("$PACKER" inspect "$1" | sed -n 's/^frame: \([0-9][0-9]*\) bytes.*/\1/p')
  tail -c +4 "$1" | head -c "$length" > "$2"
}

build_limit() {  # block out.exe
  local asm="$work/limit_block.S"
  printf '    .section .rdata,"dr"\n    .globl %slimit_block\n%slimit_block:\n    .incbin "%s"\n    .globl %slimit_block_end\n%slimit_block_end:\n' \
    "$symbol_prefix" "$symbol_prefix" "$1" "$symbol_prefix" "$symbol_prefix" > "$asm"
  "${cc[@]}" -static -I"$zstd_inc" -o "$2" "$here/limit.c" "$asm" "$zstd_lib"
}

prepare_size() {  # mb -> leaves app, exe, block, frame, limit.exe in $work/$mb
  local mb="$1" dir="$work/$1"
  mkdir -p "$dir"
  [ -f "$dir/app/main.dll" ] || "$here/make_app.sh" "$dir/app" "$mb"
  local options=(--arch "$arch")
  [ -n "$level" ] && options+=(--level "$level")
  "$ROOT/veldra" pack "$dir/app" -o "$dir/launcher.exe" "${options[@]}" --execution-level asInvoker >/dev/null 2>&1 ||
    "$ROOT/veldra" pack "$dir/app" -o "$dir/launcher.exe" "${options[@]}" >/dev/null
  "$PACKER" block "$dir/app" -o "$dir/app.block" "${options[@]}" >/dev/null
  # The cached mode, its folder in the Wine prefix's temp folder (a cached folder is the user's
  # own); each build's hash names a folder of its own there.
  "$PACKER" pack "$dir/app" -o "$dir/cached.exe" "${options[@]}" --execution-level asInvoker --unpack-mode cached \
    --template '{TEMP}\veldra-bench\{PAYLOAD_HASH}' --quiet
  extract_frame "$dir/app.block" "$dir/app.zst"
  zstd -q -d -f "$dir/app.zst" -o "$dir/archive.bin"
  build_limit "$dir/app.block" "$dir/limit.exe"
}

# hyperfine starts commands itself, so they name the loader, not the shell function.
launcher_run() { measure "launcher_$1" "true" "$loader" "$work/$1/launcher.exe"; }
# A later start of the cached mode: the warm-up run unpacks, every measured run only checks.
cached_run() { measure "cached_$1" "true" "$loader" "$work/$1/cached.exe"; }
limit_run() {
  measure "limit_$1" "rm -rf '$wine_temp/limit_out'" "$loader" "$work/$1/limit.exe" "'$wine_temp_windows\\limit_out'"
}

# The pipeline that packs replaced: a packer that compiled the build constants, assembled the
# block and linked it with mingw and windres, built with its launcher libraries from the last
# commit that packed that way, in the work folder.
old_pipeline_commit="${VELDRA_BENCH_OLD_COMMIT:-38f3ddb}"
# A build kept in the work folder names the set-up folder it was made with (the old packer links
# with its zstd library at pack time): one made from another checkout is made again.
built_with_these_deps() {  # folder file
  [ -e "$2" ] && [ "$(cat "$1/deps" 2>/dev/null)" = "$DEPS" ]
}
build_old_pipeline() {  # -> the old packer, its source folder and its launcher build in $work/old
  local old="$work/old"
  if ! built_with_these_deps "$old" "$old/host/veldra-packer"; then
    rm -rf "$old"
    mkdir -p "$old/src"
    git -C "$ROOT" archive "$old_pipeline_commit" | tar -x -C "$old/src"
    cmake -S "$old/src" -B "$old/$arch" -DCMAKE_TOOLCHAIN_FILE="$old/src/cmake/$(case "$arch" in x86) echo i686 ;; *) echo x86_64 ;; esac)-w64-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DVELDRA_DEPS="$DEPS" -DVELDRA_OUT_ROOT="$old" -DVELDRA_RUN_WINE=OFF -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$old/$arch" --target veldra_main -j 2 >/dev/null
    cmake -S "$old/src/build/packer" -B "$old/host" -DCMAKE_BUILD_TYPE=Release -DVELDRA_LAUNCHER_ROOT="$old" \
      -DVELDRA_ZSTD_ROOT="$DEPS/zstd" >/dev/null
    cmake --build "$old/host" --target veldra-packer -j 2 >/dev/null
    printf '%s' "$DEPS" > "$old/deps"
  fi
}

# Pack time of the main application, folder to finished executable: the pack as it is (the stub
# filled in), the pipeline it replaced, and the zstd command on the archive stream at the same
# level. Leaves pack_times.txt for report.py.
pack_times() {
  local dir="$work/$main_size" zstd_level="${level:-12}"
  local options=(--arch "$arch" --quiet)
  [ -n "$level" ] && options+=(--level "$level")
  say "measuring the pack time of the ${main_size} MB application"
  build_old_pipeline
  local stub_pack old_pack zstd_pack
  stub_pack=$(measure pack_stub "rm -f '$work/pack_stub.exe'" "'$PACKER' pack '$dir/app' -o '$work/pack_stub.exe' ${options[*]}")
  old_pack=$(measure pack_old "rm -f '$work/pack_old.exe'" \
    "'$work/old/host/veldra-packer' pack '$dir/app' -o '$work/pack_old.exe' --arch $arch ${level:+--level $level} --source-dir '$work/old/src'")
  zstd_pack=$(measure pack_zstd "rm -f '$work/pack_zstd.zst'" "zstd -q -T0 --long=27 -$zstd_level '$dir/archive.bin' -o '$work/pack_zstd.zst'")
  printf 'stub %s\nold %s\nzstd %s\nlevel %s\nstub_bytes %s\nold_bytes %s\n' "$stub_pack" "$old_pack" "$zstd_pack" \
    "$zstd_level" "$(stat -c %s "$work/pack_stub.exe")" "$(stat -c %s "$work/pack_old.exe")" > "$work/pack_times.txt"
}

# Only the pack-time section of docs/benchmarks.md, measured anew (VELDRA_BENCH_PACK_ONLY=1).
pack_only() {
  local dir="$work/$main_size"
  mkdir -p "$dir"
  [ -f "$dir/app/main.dll" ] || "$here/make_app.sh" "$dir/app" "$main_size"
  "$PACKER" block "$dir/app" -o "$dir/app.block" --arch "$arch" ${level:+--level $level} --quiet
  extract_frame "$dir/app.block" "$dir/app.zst"
  zstd -q -d -f "$dir/app.zst" -o "$dir/archive.bin"
  pack_times
  python3 "$here/report.py" --pack-only --work "$work" --docs "$docs" --main-size "$main_size" \
    --archive-bytes "$(stat -c %s "$dir/archive.bin")"
  sed -n '/^## Pack time/,/^## How it is measured/p' "$docs/benchmarks.md" | head -n -1
}

# The launcher's start-up against the one it replaced: a stub built from the last commit whose
# launcher started through the C runtime DLL (VELDRA_BENCH_OLD_STARTUP_COMMIT), filled by today's
# packer, so that only the image's start-up and C functions differ. Leaves startup_times.txt.
old_startup_commit="${VELDRA_BENCH_OLD_STARTUP_COMMIT:-cf7cc4c}"
build_old_startup_stub() {  # -> $work/old-startup/veldra-stub-$arch.exe
  local old="$work/old-startup"
  if ! built_with_these_deps "$old" "$old/veldra-stub-$arch.exe"; then
    rm -rf "$old"
    mkdir -p "$old/src"
    git -C "$ROOT" archive "$old_startup_commit" | tar -x -C "$old/src"
    cmake -S "$old/src" -B "$old/$arch" -DCMAKE_TOOLCHAIN_FILE="$old/src/cmake/$(case "$arch" in x86) echo i686 ;; *) echo x86_64 ;; esac)-w64-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DVELDRA_DEPS="$DEPS" -DVELDRA_OUT_ROOT="$old" -DVELDRA_RUN_WINE=OFF -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$old/$arch" --target veldra_stub -j 2 >/dev/null
    cp "$old/$arch/veldra-stub-$arch.exe" "$old/"
    printf '%s' "$DEPS" > "$old/deps"
  fi
}
startup_times() {
  local sizes_startup=(${VELDRA_BENCH_STARTUP_SIZES:-5 50}) mb dir
  say "measuring the start-up before and after the launcher's own start-up"
  build_old_startup_stub
  local new_stub="$BUILD/$arch/veldra-stub-$arch.exe" old_stub="$work/old-startup/veldra-stub-$arch.exe"
  {
    printf 'stub_new %s\nstub_old %s\n' "$(stat -c %s "$new_stub")" "$(stat -c %s "$old_stub")"
    for mb in "${sizes_startup[@]}"; do
      dir="$work/$mb"
      mkdir -p "$dir"
      [ -f "$dir/app/main.dll" ] || "$here/make_app.sh" "$dir/app" "$mb"
      local which
      for which in new old; do
        local stub="$new_stub"
        [ "$which" = old ] && stub="$old_stub"
        "$PACKER" pack "$dir/app" -o "$dir/launcher_${which}_startup.exe" --arch "$arch" ${level:+--level $level} \
          --execution-level asInvoker --stub "$stub" --quiet
      done
      for which in new old; do
        printf 'run_%s_%s %s\n' "$which" "$mb" "$(measure "startup_${which}_$mb" true "$loader" "$dir/launcher_${which}_startup.exe")"
        printf 'entry_%s_%s %s\n' "$which" "$mb" "$(entry_time "$dir/launcher_${which}_startup.exe")"
      done
    done
  } > "$work/startup_times.txt"
}

# Only the start-up section of docs/benchmarks.md, measured anew (VELDRA_BENCH_STARTUP_ONLY=1).
startup_only() {
  "$ROOT/veldra" build >/dev/null
  "$WINESERVER" -p 2>/dev/null || true
  wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
  trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
  startup_times
  python3 "$here/report.py" --startup-only --work "$work" --docs "$docs"
  sed -n '/^## Start-up/,/^## How it is measured/p' "$docs/benchmarks.md" | head -n -1
}

# The start-up sweep: a start of the 5 MB application's launcher with 100 leftover folders of
# the launcher's shape in the temp folder (three files each, one in a subfolder) against one
# with none; the difference is the sweep. Leaves sweep_times.txt for report.py.
sweep_times() {
  local dir="$work/5" folders=100
  say "measuring the start-up sweep of $folders leftover folders"
  mkdir -p "$dir" "$work/sweep"
  [ -f "$dir/app/main.dll" ] || "$here/make_app.sh" "$dir/app" 5
  "$PACKER" pack "$dir/app" -o "$work/sweep/launcher.exe" --arch "$arch" --execution-level asInvoker --quiet
  cat > "$work/sweep/leftovers.sh" <<SCRIPT
rm -rf '$wine_temp'/onefile_*_000001_abcdefghijk
for i in \$(seq \${1:-0}); do
  d='$wine_temp'/onefile_\${i}_000001_abcdefghijk
  mkdir -p "\$d/data" && echo a > "\$d/main.dll" && echo b > "\$d/b.dll" && echo c > "\$d/data/c.txt"
done
SCRIPT
  local clean swept
  clean=$(measure sweep_clean "bash '$work/sweep/leftovers.sh' 0" "$loader" "$work/sweep/launcher.exe")
  swept=$(measure sweep_100 "bash '$work/sweep/leftovers.sh' $folders" "$loader" "$work/sweep/launcher.exe")
  bash "$work/sweep/leftovers.sh" "$folders"
  wine "$work/sweep/launcher.exe" >/dev/null
  local left
  left=$(find "$wine_temp" -maxdepth 1 -name 'onefile_*_000001_abcdefghijk' | wc -l)
  bash "$work/sweep/leftovers.sh" 0
  printf 'clean %s\nswept %s\nfolders %s\nremoved %s\nbudget_ms %s\nlimit %s\n' "$clean" "$swept" "$folders" \
    "$((folders - left))" 500 128 > "$work/sweep_times.txt"
}

# The main application again, its main module linked with a 4 KiB file alignment, which Wine
# maps instead of reading it whole: the per-run and the cached later start when the
# application's own layout lets it, and that module's load alone. Leaves aligned_times.txt.
aligned_times() {
  local dir="$work/${main_size}_aligned"
  say "measuring the ${main_size} MB application with its main module at a 4 KiB file alignment"
  mkdir -p "$dir"
  [ -f "$dir/app/main.dll" ] || MAIN_FILE_ALIGNMENT=4096 "$here/make_app.sh" "$dir/app" "$main_size"
  local options=(--arch "$arch" --execution-level asInvoker --quiet)
  [ -n "$level" ] && options+=(--level "$level")
  "$PACKER" pack "$dir/app" -o "$dir/launcher.exe" "${options[@]}"
  "$PACKER" pack "$dir/app" -o "$dir/cached.exe" "${options[@]}" --unpack-mode cached \
    --template '{TEMP}\veldra-bench\{PAYLOAD_HASH}'
  {
    printf 'launcher %s\n' "$(measure launcher_aligned true "$loader" "$dir/launcher.exe")"
    printf 'cached %s\n' "$(measure cached_aligned true "$loader" "$dir/cached.exe")"
    printf 'main_load %s\n' "$(measure main_load_aligned true "$loader" "$work/trivial.exe" load \
      "'$(wine winepath -w "$dir/app/main.dll" | tr -d '\r')'")"
  } > "$work/aligned_times.txt"
}

# Time from the start of the command to the entry of run_code, and the peak private bytes.
entry_time() {  # launcher.exe -> median seconds from the command's start to run_code's entry
  local record="$work/record.txt" record_windows start entered times=()
  # Asked once, outside the timed part: winepath is a Wine process start of its own.
  record_windows="$(wine winepath -w "$record")"
  for _ in $(seq "$runs"); do
    rm -f "$record"
    sync
    start=$(date +%s%N)
    FIXTURE_RECORD="$record_windows" wine "$1" >/dev/null
    entered=$(awk '/^entered_ns/ {print $2}' "$record" | tr -d '\r')
    times+=($(( (entered - start) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2) / 1e6}'
}
entry_and_memory() {  # mb
  entry_time "$work/$1/launcher.exe"
  tr -d '\r' < "$work/record.txt" | awk '/peak_private/ {print $1, $2}' > "$work/memory.txt"
}

frame_window() {  # block -> window size in bytes, as inspect reports it
  "$PACKER" inspect "$1" | sed -n 's/^ *window: \([0-9][0-9]*\) bytes.*/\1/p' | head -n1
}

main() {
  say "machine: $(uname -m), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
  "$ROOT/veldra" build >/dev/null
  "$WINESERVER" -p 2>/dev/null || true  # a server that is already up is as good
  wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
  trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
  find_wine_temp
  # The floor programs as this architecture's build tree made them.
  cp "$BUILD/$arch/tests/scale/trivial.exe" "$BUILD/$arch/tests/scale/trivial_shell32.exe" "$work/"

  local mb rows_plot=""
  for mb in "${sizes[@]}"; do
    say "preparing ${mb} MB"
    prepare_size "$mb"
    local l m c bytes
    l=$(launcher_run "$mb")
    m=$(limit_run "$mb")
    c=$(cached_run "$mb")
    bytes=$(stat -c %s "$work/$mb/archive.bin")
    rows_plot+="$bytes $l $m $c"$'\n'
    say "${mb} MB: launcher ${l}s, limit ${m}s, cached later start ${c}s"
  done
  printf '%s' "$rows_plot" > "$work/plot.dat"

  local dir="$work/$main_size"
  say "measuring the ${main_size} MB application in detail"
  local launcher limit decode_only start_one start_spawn process_start zstd_native tar_native entry
  launcher=$(median_of "$work/launcher_${main_size}.json")
  limit=$(median_of "$work/limit_${main_size}.json")
  decode_only=$(measure decode_only true "$loader" "$dir/limit.exe" --no-write)
  start_one=$(measure start_one true "$loader" "$work/trivial.exe")
  start_spawn=$(measure start_spawn true "$loader" "$work/trivial.exe" spawn)
  process_start=$(python3 -c "print(max(0.0, $start_spawn - $start_one))")
  local start_shell32
  start_shell32=$(measure start_shell32 true "$loader" "$work/trivial_shell32.exe")
  # The child's load of the main module on its own, and what a first write to a fresh page of
  # memory costs here natively: Wine copies a DLL whose sections are not page-aligned in the
  # file into fresh memory, and the decoder's window is fresh memory too.
  local main_load page_touch main_dll
  main_dll="$(wine winepath -w "$dir/app/main.dll" | tr -d '\r')"
  main_load=$(measure main_load true "$loader" "$work/trivial.exe" load "'$main_dll'")
  # What any launcher of this shape pays before it decodes a byte: two processes with the image's
  # imports, the second started by the first and loading the main module as the child does.
  local floor_main floor_small small_main
  floor_main=$(measure floor_main true "$loader" "$work/trivial_shell32.exe" spawn load "'$main_dll'")
  small_main="$(wine winepath -w "$work/${sizes[0]}/app/main.dll" | tr -d '\r')"
  floor_small=$(measure floor_small true "$loader" "$work/trivial_shell32.exe" spawn load "'$small_main'")
  page_touch=$(python3 -c '
import mmap, time
size = 64 << 20
memory = mmap.mmap(-1, size)
start = time.perf_counter()
for at in range(0, size, 4096):
    memory[at] = 1
print((time.perf_counter() - start) / (size // 4096))')
  tar -C "$dir/app" -cf - . | zstd -q -T0 --long=27 -o "$dir/app.tar.zst" -f
  zstd_native=$(measure zstd_native true "zstd -q -d -c '$dir/app.zst' > /dev/null")
  tar_native=$(measure tar_native "rm -rf '$work/tar_out' && mkdir -p '$work/tar_out'" \
    "tar --zstd -xf '$dir/app.tar.zst' -C '$work/tar_out'")
  entry=$(entry_and_memory "$main_size")

  local level_used="${level:-default}"
  local zstd_level="${level:-12}"
  local packer zstd_cmd packer_size zstd_size
  packer=$(measure packer "rm -f '$work/p.block'" "'$PACKER' block '$dir/app' -o '$work/p.block' --arch $arch ${level:+--level $level}")
  zstd_cmd=$(measure zstd_cmd "rm -f '$work/z.zst'" "zstd -q -T0 --long=27 -$zstd_level '$dir/archive.bin' -o '$work/z.zst'")
  packer_size=$(stat -c %s "$dir/app.zst")
  zstd_size=$(stat -c %s "$work/z.zst")

  # Where one run goes, phase by phase, at the smallest size and at the main one.
  local small="${sizes[0]}"
  say "tracing the phases of one run at ${small} and ${main_size} MB"
  python3 "$here/phases.py" "$loader" "$work/$small/launcher.exe" "$runs" "$work/phases_small.json"
  python3 "$here/phases.py" "$loader" "$dir/launcher.exe" "$runs" "$work/phases_main.json"

  pack_times
  startup_times
  sweep_times
  aligned_times
  python3 "$here/report.py" --work "$work" --docs "$docs" --main-size "$main_size" \
    --small-size "$small" --small-launcher "$(median_of "$work/launcher_${small}.json")" \
    --small-limit "$(median_of "$work/limit_${small}.json")" --start-one "$start_one" \
    --start-shell32 "$start_shell32" --main-load "$main_load" --page-touch "$page_touch" \
    --floor-main "$floor_main" --floor-small "$floor_small" \
    --launcher "$launcher" --limit "$limit" --cached "$(median_of "$work/cached_${main_size}.json")" --decode-only "$decode_only" --process-start "$process_start" \
    --entry "$entry" --zstd-native "$zstd_native" --tar-native "$tar_native" \
    --packer "$packer" --zstd-cmd "$zstd_cmd" --packer-size "$packer_size" --zstd-size "$zstd_size" \
    --level "$level_used" --zstd-level "$zstd_level" --window "$(frame_window "$dir/app.block")" \
    --archive-bytes "$(stat -c %s "$dir/archive.bin")" --frame-bytes "$packer_size"
  gnuplot -e "datafile='$work/plot.dat'; outfile='$docs/benchmarks.png'" "$here/plot.gp"
  cat "$docs/benchmarks.md"
}

if [ -n "${VELDRA_BENCH_PACK_ONLY:-}" ]; then
  pack_only
elif [ -n "${VELDRA_BENCH_SWEEP_ONLY:-}" ]; then
  # Only the sweep section, measured anew.
  "$ROOT/veldra" build >/dev/null
  "$WINESERVER" -p 2>/dev/null || true
  trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
  find_wine_temp
  sweep_times
  python3 "$here/report.py" --sweep-only --work "$work" --docs "$docs"
  sed -n '/^## Start-up sweep/,/^## How it is measured/p' "$docs/benchmarks.md" | head -n -1
elif [ -n "${VELDRA_BENCH_STARTUP_ONLY:-}" ]; then
  startup_only
else
  main "$@"
fi
