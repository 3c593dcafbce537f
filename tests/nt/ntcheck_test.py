#!/usr/bin/env python3
"""The host side of the NT stage without a guest: what it reads from a
serial log, how it judges qelvmon's CSV, what it writes into the hive."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "nt"))
import ntcheck  # noqa: E402

CRASH_LOG = """(/ntoskrnl/kd64/kdinit.c:95) ReactOS 0.4.16-x86-dev
QNT request hotplug-remove
err: something harmless
*** Fatal System Error: 0x00000139
                       (0x00000003,0x8066CBDC,0x8066CB7C,0x00000000)

Entered debugger on embedded INT3 at 0x0008:0x805ABE9E.
Frames:
<ntoskrnl.exe:9c022 (ntoskrnl/ke/bug.c:1079 (KeBugCheckWithTf))>
<usbport.sys:1509e (drivers/usb/usbport/usbport.c:964 (USBPORT_IsrDpcHandler))>
kdb:>"""

HEADER = "time,interval,elapsed_s,interval_s,bus,device,controller,busy_ticks,interval_ticks,busy_pct"


def csv_rows(*rows):
    return [HEADER] + [f"2026-12-08T11:36:0{i}.000Z,{i},{i}.0,1.0,{bus},1,,{busy},1000,0.0"
                       for i, bus, busy in rows]


class Quiet(ntcheck.Report):
    def line(self, verdict, name, detail=""):
        self.lines.append((verdict, name, detail))
        self.passed += verdict == "PASS"
        self.failed += verdict == "FAIL"


class SerialLogTest(unittest.TestCase):
    def test_guest_lines_are_found_after_kernel_text_on_the_same_line(self):
        log = "err: x\nQNT ok a|b\r\n(/x.c:1) noise QNT fail c|why\nQNTX not ours\n"
        self.assertEqual(ntcheck.guest_lines(log), ["ok a|b", "fail c|why"])

    def test_bugcheck_text_gives_the_code_and_the_stack(self):
        text = ntcheck.bugcheck_text(CRASH_LOG)
        self.assertTrue(text.startswith("*** Fatal System Error: 0x00000139"))
        self.assertIn("USBPORT_IsrDpcHandler", text)
        self.assertNotIn("QNT request", text)

    def test_a_failed_assertion_is_shown_where_there_is_no_bugcheck(self):
        log = "QNT info x|y\n*** Assertion failed: A == B\n***   Source File: /a.c, line 278\nkdb:>"
        self.assertIn("Assertion failed: A == B", ntcheck.bugcheck_text(log))
        self.assertIn("line 278", ntcheck.bugcheck_text(log))

    def test_usbports_own_list_corruption_is_retried_and_nothing_else(self):
        self.assertTrue(ntcheck.usbport_crash(CRASH_LOG))
        worker = CRASH_LOG.replace("usbport.c:964 (USBPORT_IsrDpcHandler)", "usbport.c:1418 (USBPORT_WorkerThread)")
        self.assertTrue(ntcheck.usbport_crash(worker))
        # A frame of the driver anywhere on the stack, however deep.
        ours = CRASH_LOG.replace("kdb:>", "\n".join(["<ntoskrnl.exe:1 (x)>"] * 30) + "\n<qelvard1.sys:42 (y)>\nkdb:>")
        self.assertFalse(ntcheck.usbport_crash(ours))
        self.assertFalse(ntcheck.usbport_crash(CRASH_LOG.replace("0x00000139", "0x0000007E")))
        self.assertFalse(ntcheck.usbport_crash(CRASH_LOG.replace("usbport.sys", "usbstor.sys")))
        self.assertFalse(ntcheck.usbport_crash("QNT end ok|\n"))

    def test_a_hot_plug_failure_is_only_what_usbport_or_usbstor_said_after_the_plug(self):
        before = "(/usbport/endpoint.c:1098) Timeout State 0\nQNT request hotplug-add\n"
        self.assertEqual(ntcheck.hot_plug_failure(before + "(/usbhub/pnp.c:1) fine\n"), "")
        after = before + "(/usbport/endpoint.c:1098) Timeout State 0\r\n(/usbstor/fdo.c:219) x\n"
        self.assertEqual(ntcheck.hot_plug_failure(after), "(/usbport/endpoint.c:1098) Timeout State 0")
        start = "QNT request hotplug-add\n(/usbstor/fdo.c:219) USBSTOR_FdoHandleStartDevice failed to select\n"
        self.assertIn("USBSTOR_FdoHandleStartDevice failed", ntcheck.hot_plug_failure(start))

    def test_a_stick_usbport_did_not_start_at_boot_is_retried_only_when_a_check_failed(self):
        timeout = "(/usbport/endpoint.c:1098) Timeout State 0\n"
        failed = timeout + "QNT fail USB stick|no USB stick found\n"
        self.assertIn("Timeout State 0", ntcheck.retry_reason("end", failed))
        self.assertEqual(ntcheck.retry_reason("end", timeout + "QNT ok USB stick|\n"), "")
        after_plug = "QNT request hotplug-add\n" + failed
        self.assertEqual(ntcheck.retry_reason("end", after_plug), "")
        self.assertIn("0x139", ntcheck.retry_reason("bugcheck", CRASH_LOG))

    def test_the_tail_of_a_hung_guest_is_its_last_lines(self):
        log = "\n".join(f"line {n}" for n in range(40)) + "\n\n"
        self.assertEqual(ntcheck.log_tail(log, 3), "line 37 | line 38 | line 39")


class MonitorOutputTest(unittest.TestCase):
    def judge(self, lines, buses=(0,)):
        report = Quiet()
        ntcheck.check_csv(report, lines, list(buses))
        return report.lines[-1]

    def test_four_intervals_with_the_read_buses_busy_pass(self):
        rows = [(i, 0, 10) for i in range(1, 5)]
        self.assertEqual(self.judge(csv_rows(*rows))[0], "PASS")

    def test_a_busy_time_beyond_its_interval_fails(self):
        rows = [(1, 0, 10), (2, 0, 1001), (3, 0, 10), (4, 0, 10)]
        self.assertEqual(self.judge(csv_rows(*rows))[2], "bus 0 busy 1001 of 1000")

    def test_a_missing_interval_fails(self):
        rows = [(1, 0, 10), (2, 0, 10), (4, 0, 10)]
        self.assertIn("intervals [1, 2, 4]", self.judge(csv_rows(*rows))[2])

    def test_a_bus_the_guest_read_from_but_never_busy_fails(self):
        rows = [(i, 0, 10) for i in range(1, 5)] + [(i, 1, 0) for i in range(1, 5)]
        self.assertEqual(self.judge(csv_rows(*rows), buses=(0, 1))[2],
                         "bus 1 never busy while the guest read from it")

    def test_no_output_fails_and_gives_no_records(self):
        report = Quiet()
        self.assertEqual(ntcheck.check_csv(report, [], [0]), [])
        self.assertEqual(report.lines[-1][0], "FAIL")


class ControlSecurityTest(unittest.TestCase):
    def judge(self, **facts):
        report = Quiet()
        ntcheck.check_control_security(report, "mode0", {"plan": "mode0", **facts})
        return [(verdict, detail) for verdict, _, detail in report.lines]

    def test_exactly_system_and_administrators_and_a_refusal_pass(self):
        self.assertEqual(self.judge(**{"control device DACL": ntcheck.CONTROL_DEVICE_DACL,
                                       "open without SYSTEM and Administrators": "error 0x00000005"}),
                         [("PASS", ntcheck.CONTROL_DEVICE_DACL), ("PASS", "ERROR_ACCESS_DENIED")])

    def test_another_entry_an_admitted_open_or_nothing_reported_fail(self):
        everyone = ntcheck.CONTROL_DEVICE_DACL + ",allow S-1-1-0 0x001200A9"
        self.assertEqual(self.judge(**{"control device DACL": everyone,
                                       "open without SYSTEM and Administrators": "opened"}),
                         [("FAIL", everyone), ("FAIL", "opened")])
        self.assertEqual([verdict for verdict, _ in self.judge()], ["FAIL", "FAIL"])

    def test_a_token_the_kernel_cannot_restrict_skips_the_refusal(self):
        lines = self.judge(**{"control device DACL": ntcheck.CONTROL_DEVICE_DACL,
                              "open without SYSTEM and Administrators":
                                  "not tried: the restricted token its user S-1-5-18 is not deny-only"})
        self.assertEqual(lines[1][0], "SKIP")
        self.assertIn("S-1-5-18 is not deny-only", lines[1][1])

    def test_a_guest_that_never_ran_adds_no_line(self):
        report = Quiet()
        ntcheck.check_control_security(report, "mode1", {})
        self.assertEqual(report.lines, [])


class RegistryTest(unittest.TestCase):
    def test_each_boot_carries_its_mode_and_placements(self):
        mode1 = ntcheck.registry_changes("mode1")
        self.assertIn('"KVFlags"=dword:00000001', mode1)
        self.assertNotIn(ntcheck.DISK_CLASS + "]", mode1)
        self.assertIn(ntcheck.USB_CLASS + ']\n"UpperFilters"=' + ntcheck.multi_sz("qelvard1"), mode1)
        mode2 = ntcheck.registry_changes("mode2")
        self.assertNotIn(ntcheck.USB_CLASS + "]", mode2)
        self.assertIn('"CmdLine"="qelvnt.exe mode2 --power-off"', mode2)
        self.assertIn('"CmdLine"="qelvnt.exe mode1"\n', mode1)

    def test_a_filter_list_is_utf16_with_two_terminating_nuls(self):
        self.assertEqual(ntcheck.multi_sz("ab"), "hex(7):61,00,62,00,00,00,00,00")


if __name__ == "__main__":
    unittest.main()
