#!/usr/bin/env bash
# The release that the release tests share: ./veldra dist into RELEASE_DIR, and the names and
# contents of its three files.
# usage: make_release.sh REPO_ROOT BUILD_DIR RELEASE_DIR
set -uo pipefail
root="$1" build="$2" release="$3"
failures=0
case_name=make_release
source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"
version="$(head -n1 "$root/VERSION")"

rm -rf "$release"
VELDRA_OUT="$build" bash "$root/veldra" dist "$release" >/dev/null 2>"$release.errors" ||
  { echo "FAIL: ./veldra dist: $(tail -n 3 "$release.errors")" >&2; exit 1; }
rm -f "$release.errors"
linux="veldra-$version-linux-x86_64" windows="veldra-$version-windows-x64"
[ "$(ls "$release" | sort | paste -sd' ')" = "$linux.tar.gz $windows.zip veldra_${version}_amd64.deb" ] ||
  fail "the release holds: $(ls "$release")"

package=(lib/cmake/Veldra/VeldraConfig.cmake lib/cmake/Veldra/VeldraConfigVersion.cmake README.md LICENSE LICENSE.zstd)
expected() { printf '%s\n' "$@" | sort; }
tar -tzf "$release/$linux.tar.gz" | grep -v '/$' | sort >"$release.list"
cmp -s "$release.list" <(expected "${package[@]/#/$linux/}" "$linux/bin/veldra-packer") ||
  fail "the tar.gz holds: $(cat "$release.list")"
python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$release/$windows.zip" |
  sort >"$release.list"
cmp -s "$release.list" <(expected "${package[@]/#/$windows/}" "$windows/bin/veldra-packer.exe") ||
  fail "the zip holds: $(cat "$release.list")"
dpkg-deb -c "$release/veldra_${version}_amd64.deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$release.list"
cmp -s "$release.list" <(expected ./usr/bin/veldra-packer ./usr/lib/cmake/Veldra/VeldraConfig.cmake \
  ./usr/lib/cmake/Veldra/VeldraConfigVersion.cmake ./usr/share/doc/veldra/README.md \
  ./usr/share/doc/veldra/changelog.gz ./usr/share/doc/veldra/copyright ./usr/share/man/man1/veldra-packer.1.gz) ||
  fail "the .deb holds: $(cat "$release.list")"
rm -f "$release.list"
# The same build gives the same release files.
mkdir -p "$release.again"
VELDRA_OUT="$build" bash "$root/veldra" dist "$release.again" >/dev/null 2>&1 || fail "a second ./veldra dist failed"
for file in "$release"/*; do
  cmp -s "$file" "$release.again/$(basename "$file")" || fail "a second dist made another $(basename "$file")"
done
rm -rf "$release.again"

[ "$failures" -eq 0 ] && echo "release: all cases passed"
exit "$failures"
