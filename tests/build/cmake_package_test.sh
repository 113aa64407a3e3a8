#!/usr/bin/env bash
# The CMake package of the release: a fresh project outside the repository, built with
# mingw-w64 for x64, finds Veldra in the unpacked tar.gz and packs the example application with
# veldra_add_onefile. cmake --build makes the executable, which runs under Wine with its
# files; a second build with nothing changed packs nothing, a changed source packs again.
# usage: cmake_package_test.sh REPO_ROOT RELEASE_DIR, with VELDRA_WINE the 64-bit loader
set -uo pipefail
root="$1" release="$2"
work="$(mktemp -d /tmp/veldra-cmake-package-XXXXXX)"
trap 'rm -rf "$work"' EXIT
failures=0
case_name=cmake_package
source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"
version="$(head -n1 "$root/VERSION")"

mkdir -p "$work/release" "$work/project"
tar -xzf "$release/veldra-$version-linux-x86_64.tar.gz" -C "$work/release" || fail "cannot unpack the tar.gz"
prefix="$work/release/veldra-$version-linux-x86_64"

# The example application's sources, as a user's project would hold them.
project="$work/project"
cp "$root"/examples/{main.c,greeting.c,greeting.h,main_x64.def} "$project/"
cp -r "$root/examples/data" "$project/data"
printf 'notes beside the program\n' > "$project/notes.txt"
cat > "$project/mingw-x64.cmake" <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
TOOLCHAIN
cat > "$project/CMakeLists.txt" <<'PROJECT'
cmake_minimum_required(VERSION 3.20)
project(hello C)
find_package(Veldra 1.0 REQUIRED)

add_library(greeting SHARED greeting.c)
add_library(app_main SHARED main.c main_x64.def)
target_link_libraries(app_main PRIVATE greeting)
set_target_properties(greeting app_main PROPERTIES PREFIX "")
set_target_properties(app_main PROPERTIES OUTPUT_NAME main)
target_link_options(greeting PRIVATE -static)
target_link_options(app_main PRIVATE -static)

veldra_add_onefile(hello MAIN app_main DLL_TARGETS greeting DIRECTORIES data FILES notes.txt
    OPTIONS --template "{TEMP}\\hello_{PID}_{RANDOM}" --product Hello --execution-level asInvoker)
PROJECT

status=0
cmake -S "$project" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$project/mingw-x64.cmake" \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || { fail "configure failed: $(tail -n 5 "$work/configure.log")"; exit "$failures"; }

build() {  # the build's output in build.log; its status
  cmake --build "$work/build" -- --no-print-directory >"$work/build.log" 2>&1
}
exe="$work/build/hello.exe"
temp="$("$VELDRA_WINE" winepath -u "$("$VELDRA_WINE" cmd.exe /c echo %TEMP% </dev/null 2>/dev/null | tr -d '\r')" 2>/dev/null)"
run_hello() {  # EXPECTED_TEXT...: runs hello.exe and checks its output holds each text
  local status=0 text
  (cd "$work" && "$VELDRA_WINE" "$exe" one "two words" >"$work/stdout" 2>"$work/stderr") || status=$?
  [ "$status" -eq 0 ] || fail "hello.exe ended with status $status: $(cat "$work/stderr")"
  for text in "$@"; do
    tr -d '\r' <"$work/stdout" | grep -qF -- "$text" || fail "hello.exe did not print '$text': $(cat "$work/stdout")"
  done
  [ -z "$(ls "$temp" 2>/dev/null | grep '^hello_')" ] || fail "left in the temp folder: $(ls "$temp" | grep '^hello_')"
}

build || fail "the first build failed: $(tail -n 5 "$work/build.log")"
grep -q 'Packing hello.exe (x64)' "$work/build.log" || fail "the first build did not pack: $(cat "$work/build.log")"
[ -s "$exe" ] || fail "no hello.exe"
run_hello "argv[2] = [two words]" "Hello from greeting.dll" "data\\messages\\welcome.txt" "notes.txt"

# Nothing changed: nothing packed, the executable untouched.
before="$(stat -c %y "$exe")"
sleep 1
build || fail "the second build failed: $(tail -n 5 "$work/build.log")"
! grep -q 'Packing hello.exe' "$work/build.log" || fail "a build with nothing changed packed again"
[ "$(stat -c %y "$exe")" = "$before" ] || fail "a build with nothing changed rewrote hello.exe"

# A changed source of a DLL target, and a changed data file: each packs again.
sed -i 's/Hello from greeting.dll/Changed greeting/' "$project/greeting.c"
build || fail "the build after a changed source failed: $(tail -n 5 "$work/build.log")"
grep -q 'Packing hello.exe' "$work/build.log" || fail "a changed source did not pack again"
run_hello "Changed greeting"
printf 'more notes\n' >> "$project/data/messages/welcome.txt"
build || fail "the build after a changed data file failed: $(tail -n 5 "$work/build.log")"
grep -q 'Packing hello.exe' "$work/build.log" || fail "a changed file of a listed folder did not pack again"

# WINDOWED asks for a windowed launcher, which this packer does not build yet: the build stops
# with the packer's own line.
cat >> "$project/CMakeLists.txt" <<'PROJECT'
veldra_add_onefile(hello_windowed MAIN app_main DLL_TARGETS greeting WINDOWED)
PROJECT
cmake "$work/build" >/dev/null 2>&1 || fail "configure with a WINDOWED target failed"
build && fail "a WINDOWED target was packed"
grep -qF "veldra: unknown option --windowed (--help shows the usage)" "$work/build.log" ||
  fail "a WINDOWED target stopped otherwise: $(tail -n 5 "$work/build.log")"

[ "$failures" -eq 0 ] && echo "CMake package: all cases passed"
exit "$failures"
