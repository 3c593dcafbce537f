#!/usr/bin/env python3
"""Checks on a built qelvard1.sys, read through the mingw-w64 objdump.

usage: check_sys.py CHECK OBJDUMP IMAGE [NT50_EXPORTS]
CHECK is one of: exists, subsystem, imports, nt50, init.
"""
import re
import struct
import subprocess
import sys

INIT_STRINGS = ["\\Device\\QELVARD1", "\\DosDevices\\QELVARD1", "KVFlags"]
RESIDENT_STRINGS = ["\\DosDevices\\QELVARD1"]  # unload's own copy
ALLOWED_DLLS = {"ntoskrnl.exe", "hal.dll"}
SCN_MEM_DISCARDABLE = 0x02000000


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def objdump(tool, *args):
    result = subprocess.run([tool, *args], capture_output=True, text=True)
    if result.returncode != 0:
        fail(f"{tool} {' '.join(args)}: {result.stderr.strip()}")
    return result.stdout


def private_headers(tool, image):
    text = objdump(tool, "-p", image)
    fields = {}
    for name in ("ImageBase", "AddressOfEntryPoint", "CheckSum", "Subsystem"):
        match = re.search(rf"^{name}\s+([0-9a-fA-F]+)", text, re.M)
        if not match:
            fail(f"objdump -p shows no {name}")
        fields[name] = int(match.group(1), 16)
    return text, fields


def imports(text):
    """{dll: [routine, ...]} from the import tables of objdump -p."""
    table = {}
    current = None
    for line in text.splitlines():
        match = re.match(r"\s*DLL Name: (\S+)", line)
        if match:
            current = table.setdefault(match.group(1), [])
            continue
        if current is None:
            continue
        if not line.strip():
            current = None
            continue
        match = re.match(r"\s+[0-9a-fA-F]+\s+\d+\s+(\S+)", line)
        if match:
            current.append(match.group(1))
    return table


def sections(tool, image):
    """[(name, size, vma)] from objdump -h."""
    found = []
    for line in objdump(tool, "-h", image).splitlines():
        match = re.match(r"\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s", line)
        if match:
            found.append((match.group(1), int(match.group(2), 16), int(match.group(3), 16)))
    return found


def section_bytes(tool, image, name):
    data = bytearray()
    for line in objdump(tool, "-s", "-j", name, image).splitlines():
        match = re.match(r"\s+[0-9a-f]+ ((?:[0-9a-f]{2,8} ?){1,4})", line)
        if match:
            data += bytes.fromhex(match.group(1).replace(" ", ""))
    return bytes(data)


def section_characteristics(image):
    """{name: characteristics} straight from the section table; objdump
    does not print the discardable bit."""
    raw = open(image, "rb").read()
    pe = struct.unpack_from("<I", raw, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H", raw, pe + 6)[0], struct.unpack_from("<H", raw, pe + 20)[0]
    table = pe + 24 + optional_size
    result = {}
    for i in range(count):
        header = table + 40 * i
        name = raw[header:header + 8].rstrip(b"\0").decode("ascii", "replace")
        result[name] = struct.unpack_from("<I", raw, header + 36)[0]
    return result


def pe_checksum(image):
    raw = bytearray(open(image, "rb").read())
    length = len(raw)
    pe = struct.unpack_from("<I", raw, 0x3C)[0]
    field = pe + 24 + 64
    raw[field:field + 4] = b"\0\0\0\0"
    if len(raw) % 2:
        raw.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", raw):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return total + length


def check_subsystem(tool, image):
    _, fields = private_headers(tool, image)
    if fields["Subsystem"] != 1:
        fail(f"subsystem {fields['Subsystem']}, want 1 (native)")


def check_imports(tool, image):
    text, _ = private_headers(tool, image)
    table = imports(text)
    if not table:
        fail("no import table")
    others = [dll for dll in table if dll.lower() not in ALLOWED_DLLS]
    if others:
        fail("imports from " + ", ".join(others))


def check_nt50(tool, image, exports_file):
    allowed = set()
    for line in open(exports_file):
        line = line.split("#", 1)[0].strip()
        if line:
            dll, routine = line.split()
            allowed.add((dll.lower(), routine))
    text, _ = private_headers(tool, image)
    missing = [f"{dll}!{routine}" for dll, routines in imports(text).items() for routine in routines
               if (dll.lower(), routine) not in allowed]
    if missing:
        fail("not exported by NT 5.0 (or not in the list): " + ", ".join(missing))


def check_init(tool, image):
    _, fields = private_headers(tool, image)
    found = {name: (size, vma) for name, size, vma in sections(tool, image)}
    if "INIT" not in found:
        fail("no INIT section")
    size, vma = found["INIT"]
    entry = fields["ImageBase"] + fields["AddressOfEntryPoint"]
    if not vma <= entry < vma + size:
        fail(f"entry point {entry:#x} outside INIT {vma:#x}..{vma + size:#x}")
    if not section_characteristics(image).get("INIT", 0) & SCN_MEM_DISCARDABLE:
        fail("INIT is not marked discardable")
    init = section_bytes(tool, image, "INIT")
    for text in INIT_STRINGS:
        if text.encode("utf-16-le") not in init:
            fail(f"load-only string {text!r} is not in INIT")
    resident = b"".join(section_bytes(tool, image, name) for name in found
                        if name in (".rdata", ".data", ".text"))
    for text in RESIDENT_STRINGS:
        if text.encode("utf-16-le") not in resident:
            fail(f"no resident copy of {text!r}")
    if pe_checksum(image) != fields["CheckSum"]:
        fail(f"checksum {fields['CheckSum']:#x}, image sums to {pe_checksum(image):#x}")


def main(argv):
    if len(argv) < 4:
        print(__doc__)
        return 2
    check, tool, image = argv[1:4]
    try:
        open(image, "rb").close()
    except OSError:
        fail(f"{image} is missing: build the Windows presets first (make windows)")
    if check == "exists":
        pass
    elif check == "subsystem":
        check_subsystem(tool, image)
    elif check == "imports":
        check_imports(tool, image)
    elif check == "nt50":
        check_nt50(tool, image, argv[4])
    elif check == "init":
        check_init(tool, image)
    else:
        fail("unknown check " + check)
    print("ok: " + check)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
