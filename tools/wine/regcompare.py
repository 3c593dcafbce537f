#!/usr/bin/env python3
"""Registry state of the setup suite, compared between Wine and the
simulated machine.

  regcompare.py compare HOST.reg WINE.reg...   the managed keys agree
  regcompare.py same A.reg... -- B.reg...       one side did not change
  regcompare.py dump FILE.reg...                the managed keys, normalised

Files are regedit exports ("Windows Registry Editor Version 5.00", UTF-16
with a byte-order mark as Wine writes them, or UTF-8 as the simulation
writes them). Key paths and value names compare without regard to case, as
the registry does.
"""
import re
import sys

# What the suite looks at: the class keys, the devices of the seed machine
# (all under Enum\IDE) and the library's own keys.
SCOPE = (
    "hkey_local_machine\\system\\currentcontrolset\\control\\class\\{",
    "hkey_local_machine\\system\\currentcontrolset\\enum\\ide\\",
    "hkey_local_machine\\software\\orlenta software\\",
)
# Class keys Wine creates for itself; the library never touches them.
WINE_OWN_CLASSES = re.compile(r"\\class\\\{(4d36e968|4d36e96e|4d36e978|4d36e97d|6bdd1fc6|745a17a0)-", re.I)
# Time-dependent: compared by kind only.
VOLATILE_VALUES = {"osstarttime"}
# The seed's device that is not present (it has no Control subkey).
ABSENT_DEVICE = "diskqelv_gone_disk"
FILTER_VALUES = {"upperfilters", "lowerfilters"}


def read_text(path):
    raw = open(path, "rb").read()
    if raw.startswith(b"\xff\xfe"):
        return raw[2:].decode("utf-16-le")
    return raw.decode("utf-8-sig")


def decode(kind, data):
    """A value as comparable data: str, list of str, int or bytes."""
    if kind in (1, 2):
        return data.decode("utf-16-le", "replace").split("\0", 1)[0]
    if kind == 7:
        return [s for s in data.decode("utf-16-le", "replace").split("\0") if s]
    if kind == 4 and len(data) == 4:
        return int.from_bytes(data, "little")
    return bytes(data)


def parse(path):
    """{key path (lower case): {value name (lower case): (type, data)}}"""
    keys = {}
    current = None
    lines = read_text(path).replace("\r\n", "\n").split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        while line.endswith("\\") and i < len(lines):
            line = line[:-1] + lines[i].lstrip()
            i += 1
        stripped = line.strip()
        if not stripped or stripped.startswith(";") or stripped.startswith("Windows Registry") \
                or stripped == "REGEDIT4":
            continue
        if stripped.startswith("["):
            current = stripped[1:-1].lower()
            keys.setdefault(current, {})
            continue
        m = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', stripped)
        if not m or current is None:
            raise ValueError(f"{path}: cannot read line: {stripped}")
        name = "" if m.group(1) == "@" else re.sub(r"\\(.)", r"\1", m.group(2))
        rhs = m.group(3)
        if rhs.startswith('"'):
            text = re.sub(r"\\(.)", r"\1", rhs[1:-1])
            kind, data = 1, (text + "\0").encode("utf-16-le")
        elif rhs.startswith("dword:"):
            kind, data = 4, int(rhs[6:], 16).to_bytes(4, "little")
        elif rhs.startswith("hex"):
            hm = re.match(r"^hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", rhs)
            kind = int(hm.group(1), 16) if hm.group(1) else 3
            body = hm.group(2).replace(" ", "")
            data = bytes(int(b, 16) for b in body.split(",") if b)
        elif rhs == "-":
            continue
        else:
            raise ValueError(f"{path}: cannot read value: {stripped}")
        keys[current][name.lower()] = (kind, decode(kind, data))
    return keys


def in_scope(key):
    return key.startswith(SCOPE) and not WINE_OWN_CLASSES.search(key)


def load(paths):
    merged = {}
    for p in paths:
        for key, values in parse(p).items():
            if in_scope(key):
                merged.setdefault(key, {}).update(values)
    return merged


def is_device(key):
    return r"\enum\ide" in key


def wine_view(key, values):
    """The Wine side with Wine's known differences from Windows taken out."""
    out = {}
    for name, (kind, data) in values.items():
        if is_device(key):
            # Wine's device enumeration adds a Class value to every device
            # key it reads and rewrites ClassGUID in upper case.
            if name == "class":
                continue
            if name == "classguid" and isinstance(data, str):
                data = data.lower()
            # Wine's SetupDiSetDeviceRegistryPropertyA with no buffer
            # stores an empty value where Windows deletes it.
            if name in FILTER_VALUES and kind == 7 and data == []:
                continue
        out[name] = (kind, data)
    return out


def host_view(key, values):
    out = {}
    for name, (kind, data) in values.items():
        if is_device(key) and name == "classguid" and isinstance(data, str):
            data = data.lower()
        out[name] = (kind, data)
    return out


def describe(value):
    return "absent" if value is None else f"type {value[0]} {value[1]!r}"


def compare(host_paths, wine_paths):
    host = load(host_paths)
    wine = load(wine_paths)
    problems = []
    for key in sorted(set(host) | set(wine)):
        if ABSENT_DEVICE in key:
            # Wine ignores DIGCF_PRESENT, so the device that is not present
            # is edited there; on Windows (and the simulation) it is not.
            continue
        if key not in host or key not in wine:
            side = "the simulation" if key not in host else "Wine"
            if key.endswith("\\control") or (key in wine and not wine[key]) or \
                    (key in host and not host[key]):
                continue  # an empty key the export of one side leaves out
            problems.append(f"[{key}] missing under {side}")
            continue
        h = host_view(key, host[key])
        w = wine_view(key, wine[key])
        for name in sorted(set(h) | set(w)):
            hv, wv = h.get(name), w.get(name)
            if name in VOLATILE_VALUES:
                if (hv is None) != (wv is None) or (hv and hv[0] != wv[0]):
                    problems.append(f"[{key}] {name}: simulation {describe(hv)}, Wine {describe(wv)}")
                continue
            if hv != wv:
                problems.append(f"[{key}] {name or '@'}: simulation {describe(hv)}, Wine {describe(wv)}")
    return problems


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    cmd, args = argv[1], argv[2:]
    if cmd == "compare":
        problems = compare([args[0]], args[1:])
    elif cmd == "same":
        cut = args.index("--") if "--" in args else 1
        a, b = load(args[:cut]), load(args[cut + 1:] if "--" in args else args[1:])
        problems = [f"[{k}] changed" for k in sorted(set(a) | set(b)) if a.get(k) != b.get(k)]
    elif cmd == "dump":
        for key, values in sorted(load(args).items()):
            print(f"[{key}]")
            for name, value in sorted(values.items()):
                print(f"  {name or '@'} = {describe(value)}")
        return 0
    else:
        print(__doc__)
        return 2
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (OSError, ValueError) as e:
        print(f"error: {e}")
        sys.exit(1)
