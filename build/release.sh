#!/usr/bin/env bash
# The release files of one version from the two distribution builds of the packer:
#   veldra-VERSION-linux-x86_64.tar.gz  bin/veldra-packer, lib/cmake/Veldra/, README.md, LICENSE
#   veldra-VERSION-windows-x64.zip      bin/veldra-packer.exe and the same
#   veldra_VERSION_amd64.deb            /usr/bin/veldra-packer, /usr/lib/cmake/Veldra/, the docs and
#                                       a manual page made from the option table
# Each archive holds one folder of its own name. The files carry the commit's time, root as
# owner and a fixed order, so that the same build gives the same archives.
# usage: release.sh REPO_ROOT LINUX_PACKER WINDOWS_PACKER ZSTD_LICENSE WORK_DIR DEST_DIR
set -euo pipefail
root="$1" linux_packer="$2" windows_packer="$3" zstd_license="$4" work="$5" dest="$6"
version="$(head -n1 "$root/VERSION")"
epoch="$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)"
maintainer="Veldra developers <veldra@example.org>"

# README.md: build/packer/dist-README.md with the command forms and the option table made
# from the packer's table (build/packer/options.def) in place of @COMMANDS@ and @OPTIONS@.
write_readme() {  # FILE
  local line
  while IFS= read -r line; do
    case "$line" in
      @COMMANDS@|@OPTIONS@)
        awk -v form="markdown-$(tr 'A-Z' 'a-z' <<<"${line//@/}")" -v program=veldra-packer \
          -f "$root/build/packer/options.awk" "$root/build/packer/options.def" ;;
      *) printf '%s\n' "$line" ;;
    esac
  done <"$root/build/packer/dist-README.md" >"$1"
}

# lib/cmake/Veldra: the package and its version file.
write_cmake_package() {  # FOLDER
  mkdir -p "$1"
  install -m 644 "$root/cmake/package/VeldraConfig.cmake" "$1/"
  sed -e "s/@VELDRA_VERSION@/$version/g" -e "s/@VELDRA_VERSION_MAJOR@/${version%%.*}/g" \
    "$root/cmake/package/VeldraConfigVersion.cmake.in" >"$1/VeldraConfigVersion.cmake"
  chmod 644 "$1/VeldraConfigVersion.cmake"
}

stage_archive() {  # FOLDER PACKER
  mkdir -p "$1/bin"
  install -m 755 "$2" "$1/bin/"
  write_cmake_package "$1/lib/cmake/Veldra"
  write_readme "$1/README.md"
  install -m 644 "$root/LICENSE" "$1/LICENSE"
  # The packer carries zstd's compressor, linked in statically.
  install -m 644 "$zstd_license" "$1/LICENSE.zstd"
}

rm -rf "$work"
mkdir -p "$work" "$dest"
linux="veldra-$version-linux-x86_64" windows="veldra-$version-windows-x64"
stripped="$work/veldra-packer"
strip --strip-unneeded --remove-section=.comment --remove-section=.note -o "$stripped" "$linux_packer"
stage_archive "$work/$linux" "$stripped"
stage_archive "$work/$windows" "$windows_packer"

tar -C "$work" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" -cf - "$linux" |
  gzip -9n >"$dest/$linux.tar.gz"
python3 - "$work" "$windows" "$epoch" "$dest/$windows.zip" <<'PY'
import os, sys, time, zipfile
work, top, epoch, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
stamp = time.gmtime(max(epoch, 315532800))[:6]
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
    for folder, subfolders, files in sorted(os.walk(os.path.join(work, top))):
        subfolders.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            entry = zipfile.ZipInfo(os.path.relpath(path, work).replace(os.sep, "/"), stamp)
            entry.external_attr = (os.stat(path).st_mode & 0o777 | 0o100000) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as data:
                archive.writestr(entry, data.read())
PY

# The Debian package, built with dpkg-deb: the Linux packer, the CMake package where CMake looks
# on Debian, and the documents Debian policy asks for.
deb="$work/deb"
doc="$deb/usr/share/doc/veldra"
mkdir -p "$deb/DEBIAN" "$deb/usr/bin" "$doc" "$deb/usr/share/man/man1"
install -m 755 "$stripped" "$deb/usr/bin/veldra-packer"
awk -v form=man -v version="$version" -f "$root/build/packer/options.awk" "$root/build/packer/options.def" |
  gzip -9n >"$deb/usr/share/man/man1/veldra-packer.1.gz"
chmod 644 "$deb/usr/share/man/man1/veldra-packer.1.gz"
write_cmake_package "$deb/usr/lib/cmake/Veldra"
write_readme "$doc/README.md"
{
  echo "Veldra"
  echo
  echo "Files: everything but the zstd library linked into /usr/bin/veldra-packer"
  echo "License: MIT"
  echo
  sed 's/^$/./; s/^/ /' "$root/LICENSE"
  echo
  echo "Files: the zstd library linked into /usr/bin/veldra-packer"
  echo "License: BSD-3-clause"
  echo
  sed 's/^$/./; s/^/ /' "$zstd_license"
} >"$doc/copyright"
{
  echo "veldra ($version) unstable; urgency=medium"
  echo
  echo "  * Release $version."
  echo
  echo " -- $maintainer  $(LC_ALL=C date -u -R -d "@$epoch")"
} | gzip -9n >"$doc/changelog.gz"
chmod 644 "$doc"/*
# The libraries the packer links dynamically (the C library alone), as Debian's tools find them.
shlibs="$work/shlibs"
mkdir -p "$shlibs/debian"
printf 'Source: veldra\n\nPackage: veldra\nArchitecture: amd64\n' >"$shlibs/debian/control"
depends="$(cd "$shlibs" && dpkg-shlibdeps -O "$deb/usr/bin/veldra-packer" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')"
cat >"$deb/DEBIAN/control" <<CONTROL
Package: veldra
Version: $version
Architecture: amd64
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$deb" | cut -f1)
Depends: $depends
Section: devel
Priority: optional
Description: single-file launcher packer for Windows applications
 veldra-packer turns a Windows application folder (a main DLL exporting
 run_code, further DLLs, data files) into one console executable that
 unpacks it into a fresh temporary folder, runs it and removes the folder.
 It carries both launcher stubs (32-bit and 64-bit) and needs no compiler,
 linker or resource compiler. The CMake package (find_package(Veldra))
 packs a DLL target as a step of a build.
CONTROL
(cd "$deb" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$deb/DEBIAN/md5sums"
chmod 644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
find "$deb" -type d -exec chmod 755 {} +
find "$deb" -exec touch -h -d "@$epoch" {} +
SOURCE_DATE_EPOCH="$epoch" dpkg-deb --root-owner-group -Zxz --build "$deb" "$dest/veldra_${version}_amd64.deb" >/dev/null
echo "$dest/$linux.tar.gz $dest/$windows.zip $dest/veldra_${version}_amd64.deb"
