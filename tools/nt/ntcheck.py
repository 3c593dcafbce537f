#!/usr/bin/env python3
"""The real driver on a real NT-family kernel: boots the ReactOS test image
under QEMU with qelvard1.sys, the project's programs and the guest's checks
(qelvnt.exe) put in, once per attachment mode, and reports every check.

Usage: ntcheck.py BASE_ISO WINDOWS_BUILD_DIR OUT_DIR [--plans mode0,mode1,mode2]

Prints one PASS/FAIL/SKIP line per check, then "N passed, M failed".
Leaves under OUT_DIR the serial log of every boot, the guest's output
files (qelvmon.csv, qelvmon.json, protocol.txt, ...) and timeline.svg.
Exit status: 0 when nothing failed, 1 otherwise.
"""
import csv
import io
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

# Class keys of the placements every boot uses.
DISK_CLASS = "{4D36E967-E325-11CE-BFC1-08002BE10318}"
CDROM_CLASS = "{4D36E965-E325-11CE-BFC1-08002BE10318}"
USB_CLASS = "{36FC9E60-C465-11CF-8056-444553540000}"

GUEST_FILES = ["qelvard1.sys", "qelvmon.exe", "korvinst.exe", "korvset.dll", "qelvproto.exe", "qelvnt.exe"]
DATA_BYTES = 4 * 1024 * 1024
BOOT_LIMIT_S = 300       # a guest that has not ended by then hangs (a loaded host: 115 s seen)
SHUTDOWN_LIMIT_S = 60    # from the guest's end to QEMU's exit
MONITOR_REPORTS = 4      # qelvmon --count in the guest (tests/nt/guest_programs.cpp)


class Report:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.lines = []

    def line(self, verdict, name, detail=""):
        text = f"{verdict} {name}" + (f": {detail}" if detail else "")
        if verdict == "PASS":
            self.passed += 1
        elif verdict == "FAIL":
            self.failed += 1
        self.lines.append(text)
        print(text, flush=True)

    def check(self, name, why, detail=""):
        self.line("PASS" if not why else "FAIL", name, why or detail)


# --- the image of one boot ------------------------------------------------

def multi_sz(*names):
    data = "".join(n + "\0" for n in names) + "\0"
    return "hex(7):" + ",".join(f"{b:02x}" for b in data.encode("utf-16-le"))


def missing_class_keys():
    """The image's hive lacks three class keys that every Windows 2000 has
    and that the setup library edits; without them the library skips
    those classes, as it must where a class does not exist."""
    text = ""
    for guid, name, description in (
            ("{4D36E96A-E325-11CE-BFC1-08002BE10318}", "hdc", "IDE ATA/ATAPI controllers"),
            ("{4D36E97B-E325-11CE-BFC1-08002BE10318}", "SCSIAdapter", "SCSI and RAID controllers"),
            ("{D48179BE-EC20-11D1-B6B8-00C04FA372A7}", "SBP2", "SBP2 IEEE 1394 Devices")):
        text += (f"[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{guid}]\n"
                 f'@="{description}"\n"Class"="{name}"\n\n')
    return text


# The boots: "KVFlags" and the class filter placements of each.
#  mode0: every placement; the whole run of checks.
#  mode1: the disk class left out, so that only the child filters of the
#         USB bus filter can count the USB stick.
#  mode2: the USB class left out. Mode 2 puts a plain filter on every USB
#         device, the mass-storage device above usbstor included, and
#         identification sends IOCTL_STORAGE_QUERY_PROPERTY down to
#         usbstor's FDO. Windows 2000's usbstor fails it; ReactOS's (a debug
#         build) takes it for a PDO and stops in its kernel debugger
#         ("Assertion failed: PDODeviceExtension->Common.IsFDO == FALSE",
#         drivers/usb/usbstor/disk.c line 278).
# The boot that ends with a shutdown uses the ACPI HAL: the standard one
# cannot power the machine off, so QEMU would not exit to say the
# shutdown got through.
POWER_OFF_PLAN = "mode2"

PLANS = {
    "mode0": (0, [(DISK_CLASS, "LowerFilters"), (CDROM_CLASS, "LowerFilters"), (USB_CLASS, "UpperFilters")]),
    "mode1": (1, [(CDROM_CLASS, "LowerFilters"), (USB_CLASS, "UpperFilters")]),
    "mode2": (2, [(DISK_CLASS, "LowerFilters"), (CDROM_CLASS, "LowerFilters")]),
}


# Placements this kernel cannot hold, and why.
PLACEMENTS_NOT_RUN = [
    ("[mode2] plain filters on the USB class devices",
     "ReactOS's usbstor stops in its kernel debugger when identification asks its FDO for "
     "IOCTL_STORAGE_QUERY_PROPERTY (Assertion failed: PDODeviceExtension->Common.IsFDO == FALSE, "
     "usbstor/disk.c:278); Windows 2000's usbstor fails the request"),
    ("upper filter of the IDE controller class (bus filters on the channels)",
     "no IDE channel on this kernel has an atapi function driver: UniATA is a legacy driver that creates "
     "no hdc-class channel devices, and ReactOS's atapi.sys is an NT4-style miniport whose scsiport "
     "AddDevice attaches to no channel (see ../shared/reactos/README.md, configurations b and b')"),
]


def registry_changes(plan):
    """The .reg text that installs the driver, the placements of the plan
    and the guest's command line."""
    flags, placements = PLANS[plan]
    lists = "".join(f"[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{guid}]\n"
                    f'"{value}"={multi_sz("qelvard1")}\n\n' for guid, value in placements)
    return f"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\qelvard1]
"Type"=dword:00000001
"Start"=dword:00000000
"ErrorControl"=dword:00000001
"ImagePath"="system32\\\\drivers\\\\qelvard1.sys"
"KVFlags"=dword:{flags:08x}

{lists}{missing_class_keys()}
[HKEY_LOCAL_MACHINE\\SYSTEM\\Setup]
"CmdLine"="qelvnt.exe {plan}{' --power-off' if plan == POWER_OFF_PLAN else ''}"
"""


def run(command, what):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{what} failed ({result.returncode}): {result.stdout[-600:]}")


def make_iso(base_iso, win, work, plan):
    hive = os.path.join(work, "system")
    if os.path.exists(hive):
        os.unlink(hive)
    run(["xorriso", "-osirrox", "on", "-indev", base_iso, "-extract", "/reactos/system32/config/system", hive],
        "extracting the SYSTEM hive")
    os.chmod(hive, 0o644)
    reg = os.path.join(work, f"{plan}.reg")
    with open(reg, "w") as f:
        f.write(registry_changes(plan))
    run(["hivexregedit", "--merge", "--prefix", "HKEY_LOCAL_MACHINE\\SYSTEM", hive, reg], "merging the registry")
    iso = os.path.join(work, f"{plan}.iso")
    if os.path.exists(iso):
        os.unlink(iso)
    maps = ["-map", hive, "/reactos/system32/config/system", "-map", os.path.join(work, "data.bin"), "/DATA.BIN"]
    if plan == POWER_OFF_PLAN:
        loader = os.path.join(work, "freeldr.ini")
        run(["xorriso", "-osirrox", "on", "-indev", base_iso, "-extract", "/freeldr.ini", loader],
            "extracting freeldr.ini")
        os.chmod(loader, 0o644)
        with open(loader) as f:
            text = f.read()
        with open(loader, "w") as f:
            f.write(text.replace("DefaultOS=LiveCD_Debug", "DefaultOS=LiveCD_Acpi"))
        maps += ["-map", loader, "/freeldr.ini"]
    for name in GUEST_FILES:
        folder = "/reactos/system32/drivers/" if name.endswith(".sys") else "/reactos/system32/"
        maps += ["-map", os.path.join(win, name), folder + name]
    # Without these compliance options FreeLoader cannot find SYSTEM.ALT.
    run(["xorriso", "-indev", base_iso, "-outdev", iso, "-compliance",
         "iso_9660_1999:omit_version:no_force_dots:deep_paths:long_paths:long_names",
         "-boot_image", "any", "replay"] + maps, "writing the boot image")
    return iso


def make_fat_disk(path, size_mb, label, data):
    """A disk with one FAT16 partition from 1 MiB holding DATA.BIN. The
    partition is not marked active."""
    with open(path, "wb") as f:
        f.truncate(size_mb * 1024 * 1024)
        start, count = 2048, size_mb * 2048 - 2048
        f.seek(446)
        f.write(struct.pack("<B3sB3sII", 0, b"\xfe\xff\xff", 0x06, b"\xfe\xff\xff", start, count))
        f.seek(510)
        f.write(b"\x55\xaa")
    image = f"{path}@@1M"
    run(["mformat", "-i", image, "-T", str(count), "-h", "16", "-s", "63", "-H", "2048", "-v", label, "::"],
        "formatting " + label)
    run(["mcopy", "-i", image, data, "::DATA.BIN"], "copying DATA.BIN to " + label)


# --- one boot -------------------------------------------------------------

class Boot:
    """QEMU running one image, its serial log read as it grows."""

    def __init__(self, work, plan, iso):
        self.log_path = os.path.join(work, f"serial-{plan}.log")
        self.sock_path = os.path.join(work, f"monitor-{plan}.sock")
        for path in (self.log_path, self.sock_path):
            if os.path.exists(path):
                os.unlink(path)
        self.disks = disks = {}
        for name, size, label in (("disk", 64, "QELVDISK"), ("stick", 32, "QELVSTICK"), ("hot", 16, "QELVHOT")):
            disks[name] = os.path.join(work, f"{name}-{plan}.img")
            make_fat_disk(disks[name], size, label, os.path.join(work, "data.bin"))
        self.command = [
            "qemu-system-i386", "-accel", "tcg", "-m", "512", "-smp", "1", "-display", "none", "-no-reboot",
            "-nic", "none", "-serial", f"file:{self.log_path}", "-monitor", f"unix:{self.sock_path},server,nowait",
            "-cdrom", iso, "-boot", "d",
            "-drive", f"file={disks['disk']},format=raw,if=ide,index=0",
            "-device", "usb-ehci,id=ehci",
            "-drive", f"if=none,id=stick,file={disks['stick']},format=raw",
            "-device", "usb-storage,bus=ehci.0,drive=stick",
            "-drive", f"if=none,id=hot,file={disks['hot']},format=raw"]
        self.seen = {}      # guest line -> seconds after start when first seen
        self.hot_plug_failure = ""
        self.powers_off = plan == POWER_OFF_PLAN   # the guest shuts the machine down at its end
        self.monitor = None

    def monitor_command(self, text):
        self.monitor.sendall(text.encode() + b"\n")

    def drain_monitor(self):
        try:
            while self.monitor.recv(65536):
                pass
        except BlockingIOError:
            pass

    def run(self, on_request):
        """Runs until the guest's end line, a bugcheck or the time limit.
        Returns (outcome, seconds) with outcome "end", "bugcheck" or "hang"."""
        started = time.time()
        qemu = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            while not os.path.exists(self.sock_path) and qemu.poll() is None:
                time.sleep(0.05)
            if qemu.poll() is not None:
                raise RuntimeError("QEMU did not start: " + qemu.stderr.read().decode(errors="replace")[-400:])
            self.monitor = socket.socket(socket.AF_UNIX)
            self.monitor.connect(self.sock_path)
            self.monitor.setblocking(False)
            ended = None
            while True:
                time.sleep(0.25)
                elapsed = time.time() - started
                self.drain_monitor()
                log = self.read_log()
                if not log:
                    # The boot sector offers to boot the hard disk, which
                    # holds a partition table, unless a key is pressed.
                    self.monitor_command("sendkey ret")
                for line in guest_lines(log):
                    if line not in self.seen:
                        self.seen[line] = elapsed
                        if line.startswith("request "):
                            on_request(self, line[len("request "):])
                        if line.startswith("end ") and not self.powers_off:
                            return "end", elapsed
                        if line.startswith("end "):
                            ended = elapsed
                if "*** Fatal System Error" in log or "kdb:>" in log:
                    time.sleep(2)  # the kernel prints its stack after the code
                    return "bugcheck", elapsed
                if qemu.poll() is not None:
                    return ("powered off", elapsed) if ended is not None else ("hang", elapsed)
                if ended is not None and elapsed > ended + SHUTDOWN_LIMIT_S:
                    return "shutdown hangs", elapsed
                if elapsed > BOOT_LIMIT_S:
                    return "hang", elapsed
        finally:
            if self.monitor:
                self.monitor.close()
            if qemu.poll() is None:
                qemu.terminate()
                try:
                    qemu.wait(10)
                except subprocess.TimeoutExpired:
                    qemu.kill()
                    qemu.wait()

    def read_log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""


def guest_lines(log):
    """The guest's lines; the kernel's own output may precede one on its line."""
    lines = []
    for line in log.split("\n"):
        at = line.find("QNT ")
        if at >= 0:
            lines.append(line[at + 4:].rstrip("\r"))
    return lines


# ReactOS's usbport times out now and then opening a pipe of a USB stick
# ("Timeout State 0" from USBPORT_OpenPipe), at boot or on a hot plug, more
# often the busier the host. Its error path then frees the endpoint that
# it has just queued for a state change, and the next operation on that
# queue fails the kernel's LIST_ENTRY check: bugcheck 0x139 in its DPC,
# its worker thread or the next USBPORT_OpenPipe. Such a boot is tried
# again, at most USBPORT_RETRIES times, and said so; a stack that names
# this driver is never retried.
# Both came in repeated hot plugs on a busy host with this driver
# attached to no device at all; with its filters in the stick's stacks
# the timeouts came more often (7 in about 60 plugs against 1 in about 50),
# though no filter of this driver lies where a pipe is opened.
USBPORT_CRASH_CODE = "Fatal System Error: 0x00000139"
USBPORT_RETRIES = 2


def usbport_crash(log):
    """True for a boot that ended in usbport's own bugcheck, with no frame
    of this driver anywhere on the stack the kernel printed."""
    at = log.find("*** " + USBPORT_CRASH_CODE)
    if at < 0:
        return False
    stack = log[at:]
    return "<usbport.sys:" in stack and "qelvard1" not in stack.lower()


# The same timeout on a hot-plugged stick, seen in the log after the plug:
# the stick is then left in place (its removal would bring the bugcheck)
# and the check reported skipped.
HOT_PLUG_FAILURES = ("USBSTOR_FdoHandleStartDevice failed", "Timeout State")


def hot_plug_failure(log):
    """The first line after the hot plug's request that tells of usbport's
    timeout or usbstor's failed start, or ""."""
    at = log.find("QNT request hotplug-add")
    for line in log[max(at, 0):].split("\n"):
        if any(marker in line for marker in HOT_PLUG_FAILURES):
            return line.strip()
    return ""


def boot_stick_failure(log):
    """The line telling of usbport's timeout or usbstor's failed start
    before any hot plug, when the guest then failed a check; else "".
    That boot's stick never started, whatever the driver did, and the
    boot is tried again like one that usbport crashed."""
    if "QNT fail " not in log:
        return ""
    at = log.find("QNT request hotplug-add")
    for line in log[:at if at >= 0 else len(log)].split("\n"):
        if any(marker in line for marker in HOT_PLUG_FAILURES):
            return line.strip()
    return ""


def retry_reason(outcome, log):
    """Why a boot is tried again, or "" when its result stands."""
    if outcome == "bugcheck" and usbport_crash(log):
        return "ReactOS's usbport bugchecked (0x139)"
    failure = boot_stick_failure(log)
    return f"ReactOS's USB stack did not start the stick at boot ({failure})" if failure else ""


def hot_plug(boot, what):
    if what == "hotplug-add":
        boot.monitor_command("device_add usb-storage,bus=ehci.0,drive=hot,id=hotstick")
    elif what == "hotplug-remove":
        boot.hot_plug_failure = hot_plug_failure(boot.read_log())
        if not boot.hot_plug_failure:
            boot.monitor_command("device_del hotstick")


def bugcheck_text(log):
    """The bugcheck code and the stack the kernel printed, or the failed
    assertion that stopped it in its debugger."""
    at = log.find("*** Fatal System Error")
    if at < 0:
        at = log.find("*** Assertion failed")
    if at < 0:
        at = max(log.rfind("\n", 0, log.find("kdb:>") - 300), 0)
    lines = log[at:].split("\n")
    return " | ".join(line.strip() for line in lines[:25] if line.strip())


def log_tail(log, count=15):
    lines = [line.strip() for line in log.split("\n") if line.strip()]
    return " | ".join(lines[-count:])


# --- what came back -------------------------------------------------------

# The DACL the driver gives its control device.
CONTROL_DEVICE_DACL = "allow S-1-5-18 0x001F01FF,allow S-1-5-32-544 0x001F01FF"
ACCESS_DENIED = "error 0x00000005"


def guest_facts(lines):
    """The guest's info lines as {key: text}."""
    return dict(line[len("info "):].partition("|")[::2] for line in lines if line.startswith("info "))


def check_control_security(report, plan, facts):
    """Who may open the control device, as the guest found it before any
    monitor held it: its DACL, and an open by a token whose SYSTEM and
    Administrators SIDs are deny-only."""
    if "plan" not in facts:
        return  # the guest never ran; the boot's own line says why
    dacl = facts.get("control device DACL")
    report.check(f"[{plan}] control device DACL: SYSTEM and Administrators only, full access",
                 "the guest did not report it" if dacl is None else "" if dacl == CONTROL_DEVICE_DACL else dacl,
                 dacl)
    name = f"[{plan}] control device refuses a token without SYSTEM and Administrators"
    opened = facts.get("open without SYSTEM and Administrators")
    if opened is None:
        report.check(name, "the guest did not report it")
    elif opened.startswith("not tried: the restricted token"):
        # ReactOS's CreateRestrictedToken succeeds but leaves the SIDs it
        # was to disable enabled (seen: Administrators 0x0000000E, SYSTEM
        # 0x00000000, where Windows sets SE_GROUP_USE_FOR_DENY_ONLY), so
        # no token without them can be made here; the guest does not try.
        report.line("SKIP", name, "this kernel's CreateRestrictedToken makes no SID deny-only: "
                    + opened[len("not tried: "):])
    elif opened.startswith("not tried"):
        report.line("SKIP", name, opened)
    else:
        report.check(name, "" if opened == ACCESS_DENIED else opened, "ERROR_ACCESS_DENIED")

def collect_files(lines, out):
    files = {}
    for line in lines:
        if line.startswith("file "):
            name, _, text = line[len("file "):].partition("|")
            files.setdefault(name, []).append(text)
    for name, content in files.items():
        with open(os.path.join(out, name), "w") as f:
            f.write("\n".join(content) + "\n")
    return files


def check_csv(report, lines, buses):
    name = f"qelvmon --count {MONITOR_REPORTS} --format csv: output from the guest checked"
    if not lines:
        report.check(name, "no output came back")
        return []
    rows = list(csv.reader(io.StringIO("\n".join(lines))))
    header = ["time", "interval", "elapsed_s", "interval_s", "bus", "device", "controller", "busy_ticks",
              "interval_ticks", "busy_pct"]
    why = ""
    if rows[0] != header:
        why = f"header {rows[0]}"
    records = [dict(zip(header, row)) for row in rows[1:] if row]
    if not why and any(len(row) != len(header) for row in rows[1:] if row):
        why = "a row with the wrong number of fields"
    if not why:
        intervals = sorted({int(r["interval"]) for r in records})
        if intervals != list(range(1, MONITOR_REPORTS + 1)):
            why = f"intervals {intervals}"
        for r in records:
            if not 0 <= int(r["busy_ticks"]) <= int(r["interval_ticks"]):
                why = f"bus {r['bus']} busy {r['busy_ticks']} of {r['interval_ticks']}"
        for bus in buses:
            if not any(int(r["bus"]) == bus and int(r["busy_ticks"]) > 0 for r in records):
                why = f"bus {bus} never busy while the guest read from it"
    report.check(name, why, f"{len(records)} rows")
    return records


def check_json(report, lines, csv_records):
    name = f"qelvmon --count {MONITOR_REPORTS} --format json: a valid array, same buses as the CSV"
    if not lines:
        return report.check(name, "no output came back")
    try:
        records = json.loads("\n".join(lines))
    except ValueError as error:
        return report.check(name, f"not JSON: {error}")
    why = ""
    intervals = sorted({r["interval"] for r in records})
    if intervals != list(range(1, MONITOR_REPORTS + 1)):
        why = f"intervals {intervals}"
    if {r["bus"] for r in records} - {int(r["bus"]) for r in csv_records} - set():
        why += " buses differ from the CSV run"
    report.check(name, why, f"{len(records)} records")


def timeline_svg(records, path):
    """Busy share per bus and interval, one line per bus."""
    buses = sorted({int(r["bus"]) for r in records})
    names = {int(r["bus"]): r["controller"] for r in records}
    intervals = sorted({int(r["interval"]) for r in records})
    width, height, left, top = 640, 300, 60, 30
    plot_w, plot_h = width - left - 180, height - top - 40
    colours = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b"]
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" font-family="sans-serif" '
             f'font-size="11">',
             f'<text x="{left}" y="18">qelvmon in the guest: busy share per bus and interval</text>',
             f'<rect x="{left}" y="{top}" width="{plot_w}" height="{plot_h}" fill="none" stroke="#888"/>']
    for pct in (0, 50, 100):
        y = top + plot_h - plot_h * pct / 100
        parts.append(f'<text x="{left - 8}" y="{y + 4}" text-anchor="end">{pct} %</text>')
    span = max(len(intervals), 1)
    for i, bus in enumerate(buses):
        colour = colours[i % len(colours)]
        points = []
        for r in records:
            if int(r["bus"]) != bus:
                continue
            ticks = int(r["interval_ticks"])
            share = int(r["busy_ticks"]) / ticks if ticks else 0
            x = left + plot_w * (int(r["interval"]) - 0.5) / span
            points.append(f"{x:.1f},{top + plot_h - plot_h * min(share, 1):.1f}")
        parts.append(f'<polyline fill="none" stroke="{colour}" stroke-width="2" points="{" ".join(points)}"/>')
        label = f"bus {bus}" + (f" {names[bus]}" if names.get(bus) else "")
        label = label.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        parts.append(f'<text x="{left + plot_w + 10}" y="{top + 14 + 16 * i}" fill="{colour}">{label}</text>')
    parts.append(f'<text x="{left}" y="{height - 12}">interval 1 to {len(intervals)}</text></svg>')
    with open(path, "w") as f:
        f.write("\n".join(parts) + "\n")


def report_boot(report, plan, boot, outcome, seconds, out):
    log = boot.read_log()
    lines = guest_lines(log)
    for line in lines:
        kind, _, rest = line.partition(" ")
        name, _, detail = rest.partition("|")
        at = f"{boot.seen.get(line, seconds):.1f} s"
        if kind == "ok":
            report.line("PASS", f"[{plan} {at}] {name}", detail)
        elif kind == "fail" and name.startswith("hot plug") and boot.hot_plug_failure:
            report.line("SKIP", f"[{plan} {at}] {name}", "the guest's USB stack did not start the stick: "
                        + boot.hot_plug_failure)
        elif kind == "fail":
            report.line("FAIL", f"[{plan} {at}] {name}", detail)
        elif kind == "skip":
            report.line("SKIP", f"[{plan} {at}] {name}", detail)
        elif kind == "info":
            report.lines.append(f"info [{plan}] {name}: {detail}")
    end = next((line for line in lines if line.startswith("end ")), None)
    at = boot.seen.get(end, seconds)
    boot_name = f"[{plan} {at:.1f} s] the machine boots with the driver and the guest's run ends"
    if end is not None:
        report.check(boot_name, "")
    elif outcome == "bugcheck":
        report.check(boot_name, "stopped in the kernel debugger: " + bugcheck_text(log))
    else:
        report.check(boot_name, f"no end within {BOOT_LIMIT_S} s; serial log ends: " + log_tail(log))
    if boot.powers_off and end is not None:
        name = f"[{plan} {seconds:.1f} s] the machine shuts down and powers off with the driver in its stacks"
        if outcome == "powered off":
            report.check(name, "")
        elif outcome == "bugcheck":
            report.check(name, "stopped in the kernel debugger: " + bugcheck_text(log))
        else:
            report.check(name, f"still running {SHUTDOWN_LIMIT_S} s after the guest's end; serial log ends: "
                         + log_tail(log))
    return lines


def main():
    args = sys.argv[1:]
    plans = ["mode0", "mode1", "mode2"]
    if "--plans" in args:
        at = args.index("--plans")
        plans = args[at + 1].split(",")
        del args[at:at + 2]
    base_iso, win, out = args
    os.makedirs(out, exist_ok=True)
    data = os.path.join(out, "data.bin")
    with open(data, "wb") as f:
        f.write(os.urandom(DATA_BYTES))
    # A time limit of the caller ends the run through SIGTERM: QEMU goes too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    report = Report()
    for name, why in PLACEMENTS_NOT_RUN:
        report.line("SKIP", name, why)
    for plan in plans:
        iso = make_iso(base_iso, win, out, plan)
        boot = Boot(out, plan, iso)
        outcome, seconds = boot.run(hot_plug)
        for attempt in range(1, USBPORT_RETRIES + 1):
            why = retry_reason(outcome, boot.read_log())
            if not why:
                break
            os.replace(boot.log_path, boot.log_path.replace(".log", f"-usbport-{attempt}.log"))
            report.line("RETRY", f"[{plan}]", f"{why} after {seconds:.1f} s; "
                        f"booting again ({attempt} of {USBPORT_RETRIES})")
            boot = Boot(out, plan, iso)
            outcome, seconds = boot.run(hot_plug)
        lines = report_boot(report, plan, boot, outcome, seconds, out)
        facts = guest_facts(lines)
        check_control_security(report, plan, facts)
        if plan == "mode0":
            files = collect_files(lines, out)
            buses = [int(b.split()[-1]) for b in facts.get("buses", "").split(",") if b.strip()]
            records = check_csv(report, files.get("qelvmon.csv", []), [b for b in buses if b >= 0])
            check_json(report, files.get("qelvmon.json", []), records or [])
            if records:
                timeline_svg(records, os.path.join(out, "timeline.svg"))
        # The logs and outputs stay; the large images of the boot go.
        for path in [boot.sock_path, iso] + list(boot.disks.values()):
            if os.path.exists(path):
                os.unlink(path)
    with open(os.path.join(out, "results.txt"), "w") as f:
        f.write("\n".join(report.lines) + "\n")
    print(f"{report.passed} passed, {report.failed} failed", flush=True)
    return 0 if report.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
