#!/usr/bin/env python3
# Post-link step of a launcher image: GNU ld (2.40) does not fill the load-configuration data
# directory from _load_config_used, so this sets it from the symbol's address in the link map.
import re
import struct
import sys


def main():
    image_path, map_path = sys.argv[1], sys.argv[2]
    image = bytearray(open(image_path, "rb").read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{image_path}: not a PE image")
    sections = struct.unpack_from("<H", image, pe + 6)[0]
    optional = pe + 24
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    magic = struct.unpack_from("<H", image, optional)[0]
    if magic == 0x20B:
        image_base = struct.unpack_from("<Q", image, optional + 24)[0]
        directories = optional + 112
    else:
        image_base = struct.unpack_from("<I", image, optional + 28)[0]
        directories = optional + 96
    # The map names the symbol as the C source does, without the i386 underscore.
    symbol = "_load_config_used"
    pattern = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+" + re.escape(symbol) + r"\s*$")
    addresses = [int(m.group(1), 16) for m in map(pattern.match, open(map_path)) if m]
    if len(addresses) != 1:
        sys.exit(f"{map_path}: {symbol} found {len(addresses)} times")
    rva = addresses[0] - image_base
    # The directory's size is the structure's own first field, read where the section holds it.
    table = optional + optional_size
    for i in range(sections):
        header = table + 40 * i
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<IIII", image, header + 8)
        if virtual_address <= rva and rva + 4 <= virtual_address + min(virtual_size, raw_size):
            size = struct.unpack_from("<I", image, raw_offset + rva - virtual_address)[0]
            break
    else:
        sys.exit(f"{image_path}: {symbol} at RVA {rva:#x} lies in no section's data")
    struct.pack_into("<II", image, directories + 8 * 10, rva, size)
    open(image_path, "wb").write(image)


if __name__ == "__main__":
    main()
