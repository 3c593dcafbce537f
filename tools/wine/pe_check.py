#!/usr/bin/env python3
"""Checks of the export and import tables of Windows images (PE32/PE32+).

  pe_check.py exports FILE NAME...       the named exports are exactly NAME...
  pe_check.py dlls FILE DLL...           every imported DLL is one of DLL...
  pe_check.py allowed FILE LIST          every imported function is in LIST
  pe_check.py version FILE MAJOR.MINOR   the image asks for no newer system
  pe_check.py dump FILE                  prints "dll function" per import

Each check prints what it found wrong and exits 1, or exits 0 silently.
"""
import struct
import sys


class PeError(Exception):
    pass


class PeImage:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise PeError(f"{path}: not an MZ image")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise PeError(f"{path}: no PE signature")
        coff = pe + 4
        nsections, = struct.unpack_from("<H", d, coff + 2)
        opt_size, = struct.unpack_from("<H", d, coff + 16)
        opt = coff + 20
        magic, = struct.unpack_from("<H", d, opt)
        if magic == 0x10B:
            self.wide = False
            dirs_at, count_at = opt + 96, opt + 92
        elif magic == 0x20B:
            self.wide = True
            dirs_at, count_at = opt + 112, opt + 108
        else:
            raise PeError(f"{path}: unknown optional header magic {magic:#x}")
        self.os_version = struct.unpack_from("<HH", d, opt + 40)
        self.subsystem_version = struct.unpack_from("<HH", d, opt + 48)
        ndirs, = struct.unpack_from("<I", d, count_at)
        self.dirs = [struct.unpack_from("<II", d, dirs_at + 8 * i) for i in range(min(ndirs, 16))]
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            vsize, vaddr, rsize, raddr = struct.unpack_from("<IIII", d, sec + 40 * i + 8)
            self.sections.append((vaddr, max(vsize, rsize), raddr, rsize))

    def offset(self, rva):
        for vaddr, size, raddr, rsize in self.sections:
            if vaddr <= rva < vaddr + size:
                if rva - vaddr >= rsize:
                    raise PeError(f"RVA {rva:#x} lies in uninitialised data")
                return raddr + rva - vaddr
        raise PeError(f"RVA {rva:#x} is in no section")

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def cstr(self, rva):
        at = self.offset(rva)
        end = self.data.index(b"\0", at)
        return self.data[at:end].decode("ascii", "replace")

    def directory(self, index):
        return self.dirs[index] if index < len(self.dirs) else (0, 0)

    def exports(self):
        """(number of exported functions, list of exported names)."""
        rva, size = self.directory(0)
        if not rva:
            return 0, []
        nfuncs, nnames, _, names_rva = struct.unpack_from("<IIII", self.data, self.offset(rva) + 20)
        return nfuncs, [self.cstr(self.u32(names_rva + 4 * i)) for i in range(nnames)]

    def _thunks(self, table_rva):
        step, ordinal_bit = (8, 1 << 63) if self.wide else (4, 1 << 31)
        fmt = "<Q" if self.wide else "<I"
        at = table_rva
        while True:
            value, = struct.unpack_from(fmt, self.data, self.offset(at))
            if value == 0:
                return
            if value & ordinal_bit:
                yield f"#{value & 0xFFFF}"
            else:
                yield self.cstr((value & 0x7FFFFFFF) + 2)
            at += step

    def imports(self):
        """List of (dll, function) pairs, ordinary and delay-loaded."""
        found = []
        rva, _ = self.directory(1)
        while rva:
            oft, _, _, name, ft = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                break
            dll = self.cstr(name)
            found += [(dll, fn) for fn in self._thunks(oft or ft)]
            rva += 20
        rva, _ = self.directory(13)
        while rva:
            attrs, name, _, _, int_rva = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                break
            dll = self.cstr(name)
            found += [(dll, fn) for fn in self._thunks(int_rva)]
            rva += 32
        return found


def load_allowed(path):
    allowed = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                dll, fn = line.split()
                allowed.add((dll.lower(), fn))
    return allowed


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    cmd, path, rest = argv[1], argv[2], argv[3:]
    try:
        img = PeImage(path)
    except FileNotFoundError:
        print(f"{path} is missing (make windows builds it)")
        return 1
    errors = []
    if cmd == "exports":
        nfuncs, names = img.exports()
        if sorted(names) != sorted(rest):
            errors.append(f"exports {sorted(names)}, expected {sorted(rest)}")
        if nfuncs != len(names):
            errors.append(f"{nfuncs} exported functions but {len(names)} names (exports by ordinal only)")
    elif cmd == "dlls":
        wanted = {d.lower() for d in rest}
        for dll in sorted({d.lower() for d, _ in img.imports()}):
            if dll not in wanted:
                errors.append(f"imports {dll}, not one of {sorted(wanted)}")
    elif cmd == "allowed":
        allowed = load_allowed(rest[0])
        for dll, fn in sorted(set(img.imports())):
            if (dll.lower(), fn) not in allowed:
                errors.append(f"imports {dll} {fn}, not in {rest[0]}")
    elif cmd == "version":
        limit = tuple(int(x) for x in rest[0].split("."))
        if img.subsystem_version > limit:
            errors.append("subsystem version %d.%d is newer than %s" % (*img.subsystem_version, rest[0]))
        if img.os_version > limit:
            errors.append("operating system version %d.%d is newer than %s" % (*img.os_version, rest[0]))
    elif cmd == "dump":
        for dll, fn in sorted(set(img.imports()), key=lambda p: (p[0].lower(), p[1])):
            print(dll.lower(), fn)
    else:
        print(__doc__)
        return 2
    for e in errors:
        print(f"{path}: {e}")
    return 1 if errors else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (OSError, PeError, struct.error, ValueError) as e:
        print(f"error: {e}")
        sys.exit(1)
