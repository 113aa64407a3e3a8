#!/usr/bin/env bash
# A 1 MiB tmpfs for the full-disk test: "mount DIR" makes it (and a marker inside it when that
# worked), "unmount DIR" removes it. Without the right to mount, the test that needs it skips.
set -u
action="$1" dir="$2"
if mountpoint -q "$dir" 2>/dev/null; then
  umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null || true
fi
rm -rf "$dir"
[ "$action" = mount ] || exit 0
mkdir -p "$dir"
if mount -t tmpfs -o size=1m,mode=1777 veldra-tiny "$dir" 2>/dev/null; then
  : > "$dir/.mounted"
else
  echo "tiny_tmpfs: cannot mount a tmpfs here; the full-disk test will be skipped" >&2
fi
exit 0
