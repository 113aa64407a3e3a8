#!/usr/bin/env python3
"""Packed executables read back with the architecture's objdump -p and wrestool: the image
properties, the imports, the manifest (parsed as XML), every field of the version resource, the
icon against its .ico file, the checksum against a recomputation, and a signed image.
usage: image_properties_test.py PACKER x86|x64 (the packer packs for that architecture)"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import zlib
import xml.etree.ElementTree as ElementTree

# What differs between the two images; everything else is the same for both.
ARCHITECTURES = {
    "x86": {"objdump": "i686-w64-mingw32-objdump", "format": "pei-i386", "machine": 0x014C,
            "fields": {"Characteristics": 0x0102, "Magic": 0x010B, "ImageBase": 0x400000,
                       "DllCharacteristics": 0x8140}},
    "x64": {"objdump": "x86_64-w64-mingw32-objdump", "format": "pei-x86-64", "machine": 0x8664,
            "fields": {"Characteristics": 0x0022, "Magic": 0x020B, "ImageBase": 0x140000000,
                       "DllCharacteristics": 0x8160}},
}
ARCH = ARCHITECTURES[sys.argv[2] if len(sys.argv) > 2 else "x86"]
OBJDUMP = ARCH["objdump"]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, file=sys.stderr)


def run(*command, ok_status=(0,)):
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode not in ok_status:
        raise SystemExit("%s failed (%d): %s" % (command[0], done.returncode, done.stderr.decode(errors="replace")))
    return done.stdout


# --- the image, as objdump -p reports it and as its bytes hold it ---

def objdump_fields(report):
    fields = {}
    for line in report.splitlines():
        match = re.match(r"^(\w+)\s+(?:0x)?([0-9a-fA-F]+)\b", line)
        if match and match.group(1) not in fields:
            fields[match.group(1)] = int(match.group(2), 16)
    return fields


def data_directories(report):
    entries = {}
    for match in re.finditer(r"^Entry ([0-9a-f]) ([0-9a-f]{8}|[0-9a-f]{16}) ([0-9a-f]{8})", report, re.M):
        entries[int(match.group(1), 16)] = (int(match.group(2), 16), int(match.group(3), 16))
    return entries


def imports(report):
    tables = {}
    current = None
    for line in report.splitlines():
        if line.strip().startswith("DLL Name:"):
            current = line.split(":", 1)[1].strip()
            tables[current] = []
        elif current and re.match(r"^\t[0-9a-f]+\t\s*\d+\s+\S+", line):
            tables[current].append(line.split()[-1])
        elif not line.strip():
            current = None
    return tables


class image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.bytes = f.read()
        self.pe = struct.unpack_from("<I", self.bytes, 0x3C)[0]
        self.optional = self.pe + 24
        self.checksum_offset = self.optional + 64
        count, optional_size = struct.unpack_from("<H", self.bytes, self.pe + 6)[0], struct.unpack_from(
            "<H", self.bytes, self.pe + 20)[0]
        table = self.optional + optional_size
        self.sections = [struct.unpack_from("<8sIIII", self.bytes, table + 40 * i) for i in range(count)]

    def u16(self, offset):
        return struct.unpack_from("<H", self.bytes, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.bytes, offset)[0]

    def file_offset(self, rva):
        for _, virtual_size, address, raw_size, raw_pointer in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_pointer + rva - address
        raise ValueError("RVA %#x lies in no section" % rva)

    def end_of_sections(self):
        return max(raw_pointer + raw_size for _, _, _, raw_size, raw_pointer in self.sections)


def recomputed_checksum(data, field):
    words = bytearray(data)
    words[field:field + 4] = b"\0\0\0\0"
    if len(words) % 2:
        words += b"\0"
    total = sum(struct.unpack("<%dH" % (len(words) // 2), words))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def check_image(path, name, signed):
    report = run(OBJDUMP, "-p", path).decode()
    fields = objdump_fields(report)
    directories = data_directories(report)
    pe = image(path)
    expected = dict(ARCH["fields"], **{
        "Subsystem": 3,
        "MajorOSystemVersion": 6, "MinorOSystemVersion": 0, "MajorSubsystemVersion": 6, "MinorSubsystemVersion": 0,
        "SizeOfStackReserve": 0x4B4000, "SizeOfStackCommit": 0x1000,
        "SizeOfHeapReserve": 0x100000, "SizeOfHeapCommit": 0x1000,
    })
    for field, value in expected.items():
        check(fields.get(field) == value, "%s: %s is %s, wanted %#x" % (name, field, hex(fields.get(field, -1)), value))
    check("file format " + ARCH["format"] in report, name + ": objdump does not see " + ARCH["format"])
    check(pe.u16(pe.pe + 4) == ARCH["machine"], name + ": machine is %#x, wanted %#x" % (pe.u16(pe.pe + 4), ARCH["machine"]))
    check(pe.bytes[pe.pe:pe.pe + 4] == b"PE\0\0", name + ": no PE signature")
    # Stripped: no COFF symbol table, and objdump finds no symbols.
    check(pe.u32(pe.pe + 12) == 0 and pe.u32(pe.pe + 16) == 0, name + ": the image carries a symbol table")
    check("no symbols" in run(OBJDUMP, "-t", path).decode(), name + ": objdump -t lists symbols")
    check(directories[5][0] != 0 and directories[5][1] != 0, name + ": no base relocation table")
    check(directories[0] == (0, 0) and "There is an export table" not in report, name + ": the image exports")
    check(directories[13] == (0, 0), name + ": the image has delay-load imports")
    check(tls_callbacks(pe, directories[9]) == [], name + ": TLS callbacks %s" % tls_callbacks(pe, directories[9]))
    check(directories[9] == (0, 0), name + ": the image has a TLS directory")
    check_load_config(pe, directories[10], fields["ImageBase"], name)
    tables = imports(report)
    # The launcher links no C runtime DLL: its own start-up and C functions stand in for it.
    check(set(tables) == {"KERNEL32.dll", "SHELL32.dll"}, name + ": imports from %s" % sorted(tables))
    check(all(tables.values()), name + ": an import table without names")
    every_import = [symbol for names in tables.values() for symbol in names]
    check("GetFinalPathNameByHandleW" not in every_import, name + ": GetFinalPathNameByHandleW is imported")
    stored = pe.u32(pe.checksum_offset)
    check(fields.get("CheckSum") == stored, name + ": objdump's CheckSum differs from the header's")
    check(stored == recomputed_checksum(pe.bytes, pe.checksum_offset),
          name + ": CheckSum %#x, recomputed %#x" % (stored, recomputed_checksum(pe.bytes, pe.checksum_offset)))
    security = directories[4]
    if signed:
        check_certificate_table(pe, security, name)
    else:
        check(security == (0, 0), name + ": an unsigned image has a security directory")
    return tables


# The load configuration: its SecurityCookie is the address of the stack cookie, in writable
# data and holding the default value that the loader replaces with a random one; in PE32 the
# safe exception handler table lists SEHandlerCount handlers, each in code (none: count 0).
def check_load_config(pe, directory, image_base, name):
    rva, size = directory
    check(rva != 0 and size != 0, name + ": no load configuration directory")
    if rva == 0:
        return
    at = pe.file_offset(rva)
    check(pe.u32(at) == size, name + ": load configuration Size %#x, directory says %#x" % (pe.u32(at), size))
    wide = pe.u16(pe.optional) == 0x020B
    cookie_va = struct.unpack_from("<Q" if wide else "<I", pe.bytes, at + (0x58 if wide else 0x3C))[0]
    cookie_section = section_of(pe, cookie_va - image_base)
    check(cookie_section is not None and cookie_section[1] & 0x80000000,
          name + ": SecurityCookie %#x is not in writable data of the image" % cookie_va)
    if cookie_section is not None:
        default = 0x00002B992DDFA232 if wide else 0xBB40E64E
        value = struct.unpack_from("<Q" if wide else "<I", pe.bytes, pe.file_offset(cookie_va - image_base))[0]
        check(value == default, name + ": the cookie holds %#x, not the default the loader replaces" % value)
    if not wide:
        table, count = struct.unpack_from("<II", pe.bytes, at + 0x40)
        check(count == 0 or section_of(pe, table - image_base) is not None,
              name + ": SEHandlerTable %#x lies outside the image" % table)
        if count:
            handlers = struct.unpack_from("<%dI" % count, pe.bytes, pe.file_offset(table - image_base))
            check(all((section_of(pe, h) or (0, 0))[1] & 0x20000000 for h in handlers),
                  name + ": a safe exception handler outside code")


# The section holding an RVA, as (name, characteristics), or None.
def section_of(pe, rva):
    table = pe.optional + pe.u16(pe.pe + 20)
    for i, (section_name, virtual_size, address, raw_size, _) in enumerate(pe.sections):
        if address <= rva < address + max(virtual_size, raw_size):
            return section_name, pe.u32(table + 40 * i + 36)
    return None


# TLS directory: start, end, index address, callbacks address (all virtual addresses, pointers
# of 4 bytes in PE32 and 8 in PE32+, where the image base is 8 bytes as well).
def tls_callbacks(pe, directory):
    rva, size = directory
    if rva == 0 and size == 0:
        return []
    wide = pe.u16(pe.optional) == 0x020B
    pointer = (lambda offset: struct.unpack_from("<Q", pe.bytes, offset)[0]) if wide else pe.u32
    width = 8 if wide else 4
    image_base = pointer(pe.optional + (24 if wide else 28))
    callbacks_va = pointer(pe.file_offset(rva) + 3 * width)
    found = []
    at = pe.file_offset(callbacks_va - image_base) if callbacks_va else None
    while at is not None and pointer(at) != 0:
        found.append(hex(pointer(at)))
        at += width
    return found


def check_certificate_table(pe, security, name):
    offset, size = security  # a file offset, not an RVA
    check(offset >= pe.end_of_sections(), name + ": the certificate table lies inside the sections")
    check(offset + size == len(pe.bytes), name + ": the certificate table does not end the file")
    length, revision, kind = struct.unpack_from("<IHH", pe.bytes, offset)
    check(length <= size and revision == 0x0200 and kind == 0x0002,
          name + ": WIN_CERTIFICATE %d/%#x/%#x" % (length, revision, kind))


# --- resources ---

def resources(path):
    listed = set()
    for line in run("wrestool", "-l", path).decode().splitlines():
        match = re.match(r"--type=(\d+) --name=(\d+) --language=(\d+)", line)
        if match:
            listed.add(tuple(int(part) for part in match.groups()))
        else:
            listed.add(line)
    return listed


ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SETTINGS_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]


def element(namespace, tag, attributes=None, children=(), text=""):
    return ("{%s}%s" % (namespace, tag), attributes or {}, text, list(children))


def expected_manifest(level):
    return element(ASM_V1, "assembly", {"manifestVersion": "1.0"}, [
        element(ASM_V1, "assemblyIdentity", {"type": "win32", "name": "Ruve", "version": "1.0.0.0"}),
        element(COMPATIBILITY, "compatibility", children=[element(
            COMPATIBILITY, "application", children=[element(COMPATIBILITY, "supportedOS", {"Id": guid})
                                                    for guid in SUPPORTED_OS])]),
        element(ASM_V3, "application", children=[element(
            ASM_V3, "windowsSettings", children=[element(SETTINGS_2016, "longPathAware", text="true")])]),
        element(ASM_V1, "dependency", children=[element(ASM_V1, "dependentAssembly", children=[element(
            ASM_V1, "assemblyIdentity",
            {"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
             "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"})])]),
        element(ASM_V3, "trustInfo", children=[element(ASM_V3, "security", children=[element(
            ASM_V3, "requestedPrivileges", children=[element(
                ASM_V3, "requestedExecutionLevel", {"level": level, "uiAccess": "false"})])])]),
    ])


def as_tuple(node):
    return (node.tag, dict(node.attrib), (node.text or "").strip(), [as_tuple(child) for child in node])


def compare_tree(found, wanted, where, name):
    tag, attributes, text, children = found
    check(tag == wanted[0], "%s: manifest %s is %s, wanted %s" % (name, where, tag, wanted[0]))
    check(attributes == wanted[1], "%s: manifest %s has attributes %s, wanted %s" % (name, where, attributes, wanted[1]))
    check(text == wanted[2], "%s: manifest %s holds text %r, wanted %r" % (name, where, text, wanted[2]))
    check(len(children) == len(wanted[3]),
          "%s: manifest %s has %d children, wanted %d" % (name, where, len(children), len(wanted[3])))
    for index, (child, wanted_child) in enumerate(zip(children, wanted[3])):
        compare_tree(child, wanted_child, "%s/%s[%d]" % (where, wanted_child[0].split("}")[1], index), name)


def check_manifest(path, level, name):
    xml = run("wrestool", "-x", "--raw", "--type=24", "--name=1", "--language=0", path)
    root = ElementTree.fromstring(xml)
    compare_tree(as_tuple(root), expected_manifest(level), "assembly", name)


def parse_version_block(data, offset):
    """One block of VS_VERSIONINFO, each part found by the format's own rules."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    end_of_key = offset + 6
    while data[end_of_key:end_of_key + 2] != b"\0\0":
        end_of_key += 2
    key = data[offset + 6:end_of_key].decode("utf-16-le")
    at = end_of_key + 2
    padding = (4 - at % 4) % 4
    check(data[at:at + padding] == b"\0" * padding, "padding after key %s is not zero" % key)
    at += padding
    value_size = value_length * 2 if kind == 1 else value_length
    block = {"key": key, "type": kind, "value_length": value_length, "length": length,
             "value": data[at:at + value_size], "children": []}
    at += value_size
    while True:
        padding = (4 - at % 4) % 4
        if at + padding >= offset + length:
            break
        check(data[at:at + padding] == b"\0" * padding, "padding in %s is not zero" % key)
        child = parse_version_block(data, at + padding)
        block["children"].append(child)
        at += padding + child["length"]
    check(at == offset + length, "block %s: children end at %d, its length says %d" % (key, at, offset + length))
    return block


def check_version(path, identity, name):
    data = run("wrestool", "-x", "--raw", "--type=16", "--name=1", "--language=0", path)
    root = parse_version_block(data, 0)
    check(root["length"] == len(data), name + ": VS_VERSIONINFO length %d, resource %d" % (root["length"], len(data)))
    check((root["key"], root["type"], root["value_length"]) == ("VS_VERSION_INFO", 0, 52),
          name + ": root block %s/%d/%d" % (root["key"], root["type"], root["value_length"]))
    major, minor, patch = (int(part) for part in identity["version"].split("."))
    most, least = major << 16 | minor, patch << 16
    fixed = struct.unpack("<13I", root["value"])
    wanted = (0xFEEF04BD, 0, most, least, most, least, 0x3F, 0, 0x4, 0x1, 0, 0, 0)
    labels = ("dwSignature", "dwStrucVersion", "dwFileVersionMS", "dwFileVersionLS", "dwProductVersionMS",
              "dwProductVersionLS", "dwFileFlagsMask", "dwFileFlags", "dwFileOS", "dwFileType", "dwFileSubtype",
              "dwFileDateMS", "dwFileDateLS")
    for label, found, value in zip(labels, fixed, wanted):
        check(found == value, "%s: %s is %#x, wanted %#x" % (name, label, found, value))
    check([child["key"] for child in root["children"]] == ["StringFileInfo", "VarFileInfo"],
          name + ": children %s" % [child["key"] for child in root["children"]])
    string_info, var_info = root["children"]
    check((string_info["type"], string_info["value_length"]) == (1, 0), name + ": StringFileInfo header")
    check([table["key"] for table in string_info["children"]] == ["000004b0"], name + ": string tables")
    strings = string_info["children"][0]["children"]
    wanted_strings = [("CompanyName", identity["company"]), ("ProductName", identity["product"]),
                      ("FileDescription", identity["product"] + " - " + identity["description"]),
                      ("ProductVersion", identity["version"] + ".0"), ("FileVersion", identity["version"] + ".0"),
                      ("OriginalFilename", identity["original_filename"]),
                      ("InternalName", identity["internal_name"])]
    found_strings = [(entry["key"], entry["value"].decode("utf-16-le")) for entry in strings]
    check(found_strings == [(key, text + "\0") for key, text in wanted_strings],
          name + ": strings %s" % found_strings)
    for entry, (key, text) in zip(strings, wanted_strings):
        units = len(text.encode("utf-16-le")) // 2 + 1
        check((entry["type"], entry["value_length"]) == (1, units),
              name + ": %s has type %d and value length %d, wanted 1 and %d"
              % (key, entry["type"], entry["value_length"], units))
    check((var_info["type"], var_info["value_length"]) == (1, 0), name + ": VarFileInfo header")
    check(len(var_info["children"]) == 1, name + ": VarFileInfo children")
    translation = var_info["children"][0]
    check((translation["key"], translation["type"], translation["value_length"]) == ("Translation", 0, 4),
          name + ": Translation header")
    check(struct.unpack("<HH", translation["value"]) == (0x0000, 0x04B0),
          name + ": Translation %s" % translation["value"].hex())


# --- the icon ---

def png(size, rgba):
    """A one-colour PNG, made here so that the test needs no image tools."""
    raw = b"".join(b"\0" + bytes(rgba) * size for _ in range(size))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def icon_images(data):
    """The images of an .ico file: the directory's fields and each image's bytes."""
    count = struct.unpack_from("<HHH", data, 0)[2]
    images = []
    for index in range(count):
        width, height, colors, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * index)
        images.append((width, height, colors, planes, bits, data[offset:offset + size]))
    return images


def check_icon(path, icon_file, name):
    """wrestool rebuilds an .ico from RT_GROUP_ICON 1 and the RT_ICON entries it names."""
    with open(icon_file, "rb") as f:
        wanted = icon_images(f.read())
    rebuilt = run("wrestool", "-x", "--type=14", "--name=1", "--language=0", path)
    check(icon_images(rebuilt) == wanted, name + ": the icon read back differs from the .ico file")
    for index, image_fields in enumerate(wanted, 1):
        raw = run("wrestool", "-x", "--raw", "--type=3", "--name=%d" % index, "--language=0", path)
        check(raw == image_fields[5], name + ": RT_ICON %d is not image %d of the file" % (index, index))


# --- the packs ---

THIS_BUILD = {"company": "Quendle Forge", "product": "Brellum", "version": "3.198.0",
              "description": "Self-contained application", "original_filename": "Brellum7.exe",
              "internal_name": "Brellum7"}
# Odd lengths and characters beyond ASCII, one outside the BMP, test the padding and the UTF-16.
CUSTOM = {"company": "Quill & S\u00f6hne", "product": "Widget", "version": "65535.0.17",
          "description": "a test tool \U0001F527", "original_filename": "widget.exe", "internal_name": "widg"}
# A text that ends in a backslash once carried the next line of the generated source away with
# it; each value must read back exactly as given.
BACKSLASHES = dict(THIS_BUILD, company="Acme\\", product="Tool\\\\", description="ends in \\")


def pack(packer, folder, output, *options):
    run(packer, "pack", os.path.join(folder, "app"), "-o", output, *options)
    return output


def main():
    packer = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="veldra-image-") as folder:
        os.makedirs(os.path.join(folder, "app"))
        with open(os.path.join(folder, "app", "main.dll"), "wb") as f:
            f.write(b"MZ not loaded by these tests")
        default = pack(packer, folder, os.path.join(folder, "default.exe"))
        custom = pack(packer, folder, os.path.join(folder, "custom.exe"),
                      "--company", CUSTOM["company"], "--product", CUSTOM["product"], "--version", CUSTOM["version"],
                      "--description", CUSTOM["description"], "--original-filename", CUSTOM["original_filename"],
                      "--internal-name", CUSTOM["internal_name"], "--execution-level", "asInvoker")
        highest = pack(packer, folder, os.path.join(folder, "highest.exe"), "--execution-level", "highestAvailable")
        backslashes = pack(packer, folder, os.path.join(folder, "backslashes.exe"),
                           "--company", BACKSLASHES["company"], "--product", BACKSLASHES["product"],
                           "--description", BACKSLASHES["description"])
        # Two images: a 16 x 16 one stored as a bitmap, a 32 x 32 one as the PNG itself.
        for size, colour in ((16, (200, 30, 30, 255)), (32, (30, 30, 200, 128))):
            with open(os.path.join(folder, "%d.png" % size), "wb") as f:
                f.write(png(size, colour))
        icon_file = os.path.join(folder, "app.ico")
        run("icotool", "-c", "-o", icon_file, os.path.join(folder, "16.png"), "--raw=" + os.path.join(folder, "32.png"))
        with_icon = pack(packer, folder, os.path.join(folder, "icon.exe"), "--icon", icon_file)
        key, certificate, bundle = (os.path.join(folder, name) for name in ("key.pem", "cert.pem", "cert.p12"))
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate,
            "-days", "2", "-subj", "/CN=Veldra image test")
        run("openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", bundle, "-passout", "pass:pw")
        password_file = os.path.join(folder, "password")
        with open(password_file, "w") as f:
            f.write("pw\n")
        signed = pack(packer, folder, os.path.join(folder, "signed.exe"), "--sign-pkcs12", bundle,
                      "--sign-password-file", password_file, "--icon", icon_file)

        runs = [(default, "default", THIS_BUILD, "requireAdministrator", False),
                (custom, "custom", CUSTOM, "asInvoker", False),
                (highest, "highestAvailable", THIS_BUILD, "highestAvailable", False),
                (backslashes, "backslashes", BACKSLASHES, "requireAdministrator", False),
                (with_icon, "icon", THIS_BUILD, "requireAdministrator", False),
                (signed, "signed", THIS_BUILD, "requireAdministrator", True)]
        icon_resources = {(3, 1, 0), (3, 2, 0), (14, 1, 0)}
        for path, name, identity, level, is_signed in runs:
            tables = check_image(path, name, is_signed)
            has_icon = path in (with_icon, signed)
            wanted_resources = {(16, 1, 0), (24, 1, 0)} | (icon_resources if has_icon else set())
            check(resources(path) == wanted_resources, name + ": resources %s" % resources(path))
            check_manifest(path, level, name)
            check_version(path, identity, name)
            if has_icon:
                check_icon(path, icon_file, name)
        print("import table of the packed executable:")
        for dll, names in sorted(tables.items()):
            print("  %s: %s" % (dll, " ".join(names)))

        # The signature verifies when its own certificate is trusted; chain trust is not the point.
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", signed],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        report = verified.stdout.decode(errors="replace")
        check(verified.returncode == 0 and "Signature verification: ok" in report,
              "osslsigncode verify: %s" % report[-500:])
        check("Message digest algorithm  : SHA256" in report, "the signature's digest is not SHA-256")
    if failures:
        print("%d failure(s)" % len(failures), file=sys.stderr)
        return 1
    print("image properties: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
