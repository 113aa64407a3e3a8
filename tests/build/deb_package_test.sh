#!/usr/bin/env bash
# The release's Debian package: lintian reports no error; installed with dpkg into a scratch
# root (its own dpkg database, holding only the C library's entry from this machine, the one
# dependency), it puts the packer in /usr/bin and the CMake package in /usr/lib/cmake/Veldra,
# the packer packs with no compiler, linker or resource compiler on the PATH, the executable
# runs under 64-bit Wine, find_package(Veldra) finds the installed packer, and removal leaves
# none of its files.
# usage: deb_package_test.sh REPO_ROOT RELEASE_DIR MAIN_DLL, with VELDRA_WINE the 64-bit loader
set -uo pipefail
root="$1" release="$2" main_dll="$3"
work="$(mktemp -d /tmp/veldra-deb-XXXXXX)"
trap 'rm -rf "$work"' EXIT
failures=0
case_name=deb_package
source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"
version="$(head -n1 "$root/VERSION")"
deb="$release/veldra_${version}_amd64.deb"

command -v lintian >/dev/null || fail "lintian is not installed (./veldra setup installs it)"
lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1
! grep -q '^E:' "$work/lintian.log" || fail "lintian: $(grep '^E:' "$work/lintian.log")"
! grep -q '^W:' "$work/lintian.log" || fail "lintian warns: $(grep '^W:' "$work/lintian.log")"

# The packer is static but for the C library: that is all the package depends on.
depends="$(dpkg-deb -f "$deb" Depends)"
[[ "$depends" =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "the package depends on: $depends"

scratch="$work/root"
mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates" "$scratch/var/lib/dpkg/triggers"
dpkg-query -s libc6 >"$scratch/var/lib/dpkg/status"
touch "$scratch/var/lib/dpkg/info/libc6:amd64.list"
as_root=()
[ "$(id -u)" = 0 ] || as_root=(--force-not-root)
dpkg --root="$scratch" "${as_root[@]}" --log=/dev/null -i "$deb" >"$work/dpkg.log" 2>&1 ||
  fail "dpkg -i into the scratch root failed: $(cat "$work/dpkg.log")"
for file in usr/bin/veldra-packer usr/lib/cmake/Veldra/VeldraConfig.cmake usr/lib/cmake/Veldra/VeldraConfigVersion.cmake \
  usr/share/doc/veldra/copyright; do
  [ -f "$scratch/$file" ] || fail "the package did not install /$file"
done
dpkg --root="$scratch" -s veldra 2>/dev/null | grep -qx 'Status: install ok installed' || fail "dpkg does not list veldra as installed"

packer="$scratch/usr/bin/veldra-packer"
"$packer" --version | head -n1 | grep -qx "veldra-packer $version" || fail "the installed packer's --version: $("$packer" --version)"
mkdir -p "$work/app" "$work/no-tools"
cp "$main_dll" "$work/app/main.dll"
printf 'data\n' > "$work/app/data.txt"
PATH="$work/no-tools" "$packer" pack "$work/app" -o "$work/app.exe" --arch x64 --template '{TEMP}\veldra_deb_{PID}_{RANDOM}' \
  --quiet || fail "the installed packer failed"
status=0
"$VELDRA_WINE" "$work/app.exe" >/dev/null 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "the executable the installed packer made ended with status $status"

# The CMake package where Debian's CMake looks, under the root's /usr.
mkdir -p "$work/find"
printf 'cmake_minimum_required(VERSION 3.20)\nproject(find NONE)\nfind_package(Veldra %s REQUIRED)\nmessage(STATUS "packer: ${VELDRA_PACKER}")\n' \
  "$version" > "$work/find/CMakeLists.txt"
cmake -S "$work/find" -B "$work/find/build" -DCMAKE_PREFIX_PATH="$scratch/usr" >"$work/find.log" 2>&1 ||
  fail "find_package(Veldra) failed: $(tail -n 5 "$work/find.log")"
grep -qF -- "-- packer: $scratch/usr/bin/veldra-packer" "$work/find.log" || fail "find_package found: $(cat "$work/find.log")"

dpkg --root="$scratch" "${as_root[@]}" --log=/dev/null -r veldra >"$work/dpkg.log" 2>&1 || fail "dpkg -r failed: $(cat "$work/dpkg.log")"
left="$(cd "$scratch" && find usr -type f 2>/dev/null)"
[ -z "$left" ] || fail "removal left: $left"

[ "$failures" -eq 0 ] && echo "Debian package: all cases passed"
exit "$failures"
