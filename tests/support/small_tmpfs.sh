#!/usr/bin/env bash
# A small tmpfs for the full-disk tests: "mount DIR SIZE" makes one of SIZE (for example 4m),
# with a marker inside when the mount worked; "unmount DIR" removes it and everything in it.
# Without the right to mount, the test that needs it skips and says why.
set -u
action="$1" dir="$2" size="${3:-4m}"
if mountpoint -q "$dir" 2>/dev/null; then
  umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null || true
fi
rm -rf "$dir"
[ "$action" = mount ] || exit 0
mkdir -p "$dir"
if mount -t tmpfs -o "size=$size,mode=1777" veldra-full "$dir" 2>/dev/null; then
  : > "$dir/.mounted"
  echo "mounted a tmpfs of $size at $dir"
else
  echo "cannot mount a tmpfs at $dir (mounting needs root): the full-disk test will be skipped"
fi
exit 0
