#!/usr/bin/env python3
"""End-to-end tests of volarixsvc.exe installed as a service in a private Wine prefix, with the
stand-in file-system driver loaded as a kernel driver service.

Wine facts these tests are built on:
- The event log is a stub that stores nothing; with WINEDEBUG=err+eventlog every ReportEventW
  string is printed as `err:eventlog:ReportEventW L"<text>"` on the reporting process's stderr.
  A service's stderr is the stderr of the wine process that started the prefix's services, so
  the prefix is started here with stderr on a log file that the tests read.
- The SCM does not say how a service process that ended during its start-up ended, so the
  fatal paths are checked on the process itself (svcctl start-and-wait).
- Run by hand, StartServiceCtrlDispatcherW fails only after about 10 s.
"""
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import run_scenario  # noqa: E402

SVC_EXE = os.environ["VOLARIX_SVC_EXE"]
STUB_SYS = os.environ["VOLARIX_STUB_SYS"]
SVCCTL = os.environ["VOLARIX_SVCCTL"]
OPENSSL_DIRS = os.environ["VOLARIX_OPENSSL_DIRS"]
OPENSSL_MARKER = os.environ["VOLARIX_OPENSSL_MARKER"]
CFGMGR32 = os.environ["VOLARIX_CFGMGR32"]
PREFIX = os.environ["VOLARIX_E2E_PREFIX"]
LOG = PREFIX + ".log"
LOOPBACK_SVC_EXE = os.environ["VOLARIX_LOOPBACK_SVC_EXE"]
TOOLS_DIR = os.environ["VOLARIX_TOOLS_DIR"]
FIXTURES_DIR = os.environ["VOLARIX_FIXTURES_DIR"]
LOOPBACK_URL = os.environ["VOLARIX_E2E_UPDATE_URL"]
MAKE_GPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "apfs", "make-gpt.sh")

SERVICE = "volarixsvc"
DRIVER = "volax"
INSTALL_DIR = r"C:\volarix"
INSTALLED_EXE = INSTALL_DIR + r"\volarixsvc.exe"
DRIVER_KEY = r"HKLM\System\CurrentControlSet\Services" + "\\" + DRIVER
SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Eventlog\Application\Volarix"
EVENT_NAME = r"Global\VOLARIX_SR_EVENT"
EVENT_LINE = re.compile(r'err:eventlog:ReportEventW L"(.*)"$')

SERVICE_STOPPED, SERVICE_RUNNING = 1, 4
ACCEPT_STOP_SHUTDOWN = 5


def fatal_text(code):
    return ("The program encounted a fatal error: 0x%08X.Please contact support for further "
            "assistance." % code)


def wine_env():
    return run_scenario.wine_env(PREFIX)


def wine(*args, timeout=120):
    return subprocess.run(["wine", *args], env=wine_env(), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=timeout)


def svcctl(*args):
    result = wine(SVCCTL, *args)
    fields = dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
    if "error" in fields:
        raise AssertionError("svcctl %s: %s" % (" ".join(args), fields["error"]))
    return {key: value if key == "error" else int(value) for key, value in fields.items()}


def stop_server():
    run_scenario.stop_prefix(PREFIX)


def reg_add(key, name, kind, data):
    result = wine("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f")
    assert result.returncode == 0, result.stdout + result.stderr


def reg_delete(key, name):
    wine("reg", "delete", key, "/v", name, "/f")


def reg_values(key):
    values = {}
    for line in wine("reg", "query", key).stdout.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2].strip())
    return values


class LogWatch:
    """The event texts the prefix's processes report from now on."""

    def __init__(self):
        self.offset = os.path.getsize(LOG)

    def events(self):
        with open(LOG, "rb") as log:
            log.seek(self.offset)
            text = log.read().decode("utf-8", "replace")
        return [m.group(1) for m in (EVENT_LINE.search(l) for l in text.splitlines()) if m]


class Executable(unittest.TestCase):
    def test_names_no_folder_of_the_build_machine(self):
        # Windows opens such a path on the current drive, where any user may create it: nothing may be
        # looked for there, and nothing of this machine need be in the product at all.
        with open(SVC_EXE, "rb") as f:
            image = f.read()
        source = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
        build = os.path.dirname(os.path.dirname(os.path.abspath(SVC_EXE)))
        cache = os.environ.get("VOLARIX_CACHE", os.path.expanduser("~/.cache/volarix"))
        for folder in (source, build, cache):
            self.assertNotIn(folder.encode(), image, folder)


class ServiceEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Also when the set-up fails half-way; and should this script be killed, the server
        # still ends a minute after its last client.
        cls.addClassCleanup(stop_server)
        run_scenario.Prefix(PREFIX).create()
        drive_c = os.path.join(PREFIX, "drive_c")
        os.makedirs(os.path.join(drive_c, "volarix"))
        shutil.copy(SVC_EXE, os.path.join(drive_c, "volarix", "volarixsvc.exe"))
        # Wine only stubs the configuration manager, whose volume devices the service lists at
        # start; the stand-in beside the service takes its place for the service alone.
        shutil.copy(CFGMGR32, os.path.join(drive_c, "volarix", "cfgmgr32.dll"))
        with open(os.path.join(drive_c, "volarix", "volumes.txt"), "w") as volumes:
            volumes.write(run_scenario.LETTERED_DEVICE + "\r\n")
        reg_add(r"HKCU\Software\Wine\AppDefaults\volarixsvc.exe\DllOverrides", "cfgmgr32", "REG_SZ",
                "native")
        shutil.copy(STUB_SYS, os.path.join(drive_c, "windows", "system32", "drivers",
                                           "volax_stub.sys"))
        for args in (("sc", "create", SERVICE, "type=", "own", "start=", "demand", "binPath=",
                      INSTALLED_EXE),
                     ("sc", "create", DRIVER, "type=", "kernel", "start=", "demand", "binPath=",
                      r"C:\windows\system32\drivers\volax_stub.sys")):
            result = wine(*args)
            assert result.returncode == 0, result.stdout + result.stderr

    def start_driver(self):
        if svcctl("query", DRIVER)["state"] != SERVICE_RUNNING:
            self.assertEqual(0, svcctl("start-and-wait", DRIVER, str(SERVICE_RUNNING))["start"])

    def assert_fatal_start(self, code):
        watch = LogWatch()
        status = svcctl("start-and-wait", SERVICE, str(SERVICE_RUNNING))
        self.assertEqual(0, status["start"])
        self.assertEqual(1, status.get("exit"), status)
        self.assertEqual([fatal_text(code)], watch.events())
        self.assertEqual(2, svcctl("open-event", EVENT_NAME)["open"])

    def test_1_by_hand_sets_up_and_exits_0(self):
        watch = LogWatch()
        result = wine(INSTALLED_EXE)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual([], watch.events())
        values = reg_values(SOURCE_KEY)
        self.assertEqual(("REG_DWORD", "0x7"), values.get("TypesSupported"))
        self.assertEqual(("REG_SZ", INSTALLED_EXE), values.get("EventMessageFile"))
        self.assertTrue(os.path.isdir(os.path.join(PREFIX, "drive_c", "ProgramData", "Volarix")))

    def test_2_without_driver_reports_0x24B60002_and_exits_1(self):
        self.assertNotEqual(SERVICE_RUNNING, svcctl("query", DRIVER)["state"])
        self.assert_fatal_start(0x24B60002)

    def test_3_wrong_magic_reports_0x24B70000_and_exits_1(self):
        self.start_driver()
        reg_add(DRIVER_KEY, "Answer", "REG_BINARY", "564c5259")  # "VLRY"
        try:
            self.assert_fatal_start(0x24B70000)
        finally:
            reg_delete(DRIVER_KEY, "Answer")
        # The handshake carries the product version 1.0.2.0 as four little-endian u32.
        self.assertEqual(("REG_BINARY", "01000000000000000200000000000000"),
                         reg_values(DRIVER_KEY).get("LastRequest"))

    def test_4_short_answer_reports_0x24B70000_and_exits_1(self):
        self.start_driver()
        reg_add(DRIVER_KEY, "Answer", "REG_BINARY", "564c52")  # "VLR"
        try:
            self.assert_fatal_start(0x24B70000)
        finally:
            reg_delete(DRIVER_KEY, "Answer")

    def test_5_runs_answers_controls_and_stops(self):
        self.start_driver()
        watch = LogWatch()
        status = svcctl("start-and-wait", SERVICE, str(SERVICE_RUNNING))
        self.assertEqual(SERVICE_RUNNING, status["state"], status)
        self.assertEqual(ACCEPT_STOP_SHUTDOWN, status["accepted"])
        self.assertEqual(0, status["win32"])

        # Another process sees the service-running event signalled.
        self.assertEqual({"open": 0, "wait": 0}, svcctl("open-event", EVENT_NAME))

        interrogate = svcctl("control", SERVICE, "4")
        self.assertEqual(0, interrogate["result"])
        self.assertEqual(SERVICE_RUNNING, interrogate["state"])
        # Pause and continue are not among the accepted controls: the SCM turns them away.
        for code in ("2", "3"):
            answer = svcctl("control", SERVICE, code)
            self.assertEqual(1052, answer["result"])  # ERROR_INVALID_SERVICE_CONTROL
            self.assertEqual(SERVICE_RUNNING, answer["state"])
        self.assertEqual(SERVICE_RUNNING, svcctl("control", SERVICE, "200")["state"])

        stopped = svcctl("stop-and-wait", SERVICE)
        self.assertEqual(0, stopped["result"])
        self.assertEqual(0, stopped["exit"])
        self.assertEqual(SERVICE_STOPPED, stopped["state"])
        self.assertEqual(0, stopped["win32"])
        self.assertEqual(2, svcctl("open-event", EVENT_NAME)["open"])  # ERROR_FILE_NOT_FOUND
        self.assertEqual([], watch.events())


class RunScenario(unittest.TestCase):
    """What scripts/run shows, on the service built for the scenario's loopback update server."""

    def run_scenario(self, image=None, service=LOOPBACK_SVC_EXE, **options):
        report = io.StringIO()
        failed = run_scenario.run(service, TOOLS_DIR, FIXTURES_DIR, PREFIX + "-run", LOOPBACK_URL, image,
                                  out=report, **options)
        return failed, report.getvalue()

    def test_letters_update_and_stop_as_the_run_shows_them(self):
        failed, report = self.run_scenario()
        self.assertEqual([], failed, report)
        self.assertIn("Service  RUNNING, accepts STOP and SHUTDOWN\n", report)
        letters = re.findall(r"\\Device\\HarddiskVolume(\d+) .*-> ([D-Z]:)\n", report)
        self.assertEqual(["7", "8"], [number for number, _ in letters], report)
        self.assertNotEqual(letters[0][1], letters[1][1])
        self.assertRegex(report, r"HarddiskVolume9 .*-> no letter\n")
        self.assertRegex(report, r"HarddiskVolume1 .*has C: already.*no second letter\n")
        self.assertRegex(report, r"served /updates.pud -> /served/updates.pud\)\n")
        self.assertRegex(report, r"updates.dat  %d bytes, MD5 [0-9a-f]{32}, equal to what the server "
                                 r"sent\n" % len(run_scenario.pud_file.pud_bytes()))
        self.assertIn("Event-log lines\n  (none)\n", report)
        self.assertIn("%s %s, %s %s - still defined\n" % (letters[0][1], r"\Device\HarddiskVolume7",
                                                        letters[1][1], r"\Device\HarddiskVolume8"),
                      report)

    def test_image_named_by_the_user_is_the_first_device(self):
        image = os.path.join(FIXTURES_DIR, "dfvfs_apfs.raw")
        failed, report = self.run_scenario(image)
        self.assertEqual([], failed, report)
        self.assertRegex(report, r"HarddiskVolume7 +your image \(dfvfs_apfs.raw\) +probe: yes +-> [D-Z]:\n")

    def test_gpt_disk_image_gives_one_device_per_partition_other_disks_are_named(self):
        # As a Mac formats an external disk: an EFI system partition, then the APFS one.
        with tempfile.TemporaryDirectory() as work:
            disk = os.path.join(work, "external-disk-as-a-mac-formats-it.img")
            for args in ((MAKE_GPT, os.path.join(FIXTURES_DIR, "dfvfs_apfs.raw"), disk, "2048"),
                         ("sgdisk", "--new=2:40:2047", "--typecode=2:ef00", "--transpose=1:2", disk)):
                subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
            for options, kind in ((("--gpttombr=1:2",), "an MBR disk"),
                                  (("--delete=1", "--delete=2"), "a GPT disk without partitions"),
                                  ((), "a disk whose GPT partition table is damaged")):
                other = os.path.join(work, "other.img")
                shutil.copy(disk, other)
                if options:
                    subprocess.run(("sgdisk",) + options + (other,), check=True, stdout=subprocess.DEVNULL)
                else:
                    with open(other, "r+b") as f:
                        f.seek(1024)  # in the first partition entry, so its checksum no longer holds
                        f.write(b"\xff")
                self.assertEqual(["your image (other.img), %s, not a volume" % kind],
                                 [device.what for device in run_scenario.image_devices(other, work, 7)])
            failed, report = self.run_scenario(disk)
        self.assertEqual([], failed, report)
        of_disk = "of " + re.escape(os.path.basename(disk))
        self.assertRegex(report, r"HarddiskVolume7 +partition 1 \(EFI system\) %s +probe: no +-> no letter\n"
                         % of_disk)
        self.assertRegex(report, r"HarddiskVolume8 +partition 2 \(APFS\) %s +probe: yes +-> [D-Z]:\n"
                         % of_disk)
        self.assertRegex(report, r"HarddiskVolume9 +APFS, encrypted .*-> [D-Z]:\n")
        # The decision column starts at one place, however long a name in front of it.
        starts = re.findall(r"^(  \\Device\\.*? +)(?=probe: |has )", report, re.M)
        self.assertEqual(5, len(starts), report)
        self.assertEqual(1, len(set(map(len, starts))), report)

    def test_a_file_in_the_data_folders_place_is_moved_aside_and_the_update_stored(self):
        left = b"left by a user before the first start"
        def plain_file(prefix):
            with open(prefix.drive_c("ProgramData", "Volarix"), "wb") as f:
                f.write(left)
        failed, report = self.run_scenario(before_start=plain_file)
        self.assertEqual([], failed, report)
        program_data = os.path.join(PREFIX + "-run", "drive_c", "ProgramData")
        aside = [name for name in os.listdir(program_data) if re.fullmatch(r"Volarix\.[0-9a-f]{16}", name)]
        self.assertEqual(1, len(aside), os.listdir(program_data))
        with open(os.path.join(program_data, aside[0]), "rb") as f:
            self.assertEqual(left, f.read())

    def test_an_openssl_configuration_planted_where_openssl_looks_loads_nothing(self):
        # A configuration can name any library as a provider or an engine. One is planted in every
        # folder OpenSSL names, and in the usual folder of MinGW builds. Each must begin with a drive:
        # Windows opens a path without one on the current drive, where any user may create it.
        config = ("openssl_conf = init\n[init]\nproviders = providers\nengines = engines\n"
                  "[providers]\nmarker = marker_provider\n"
                  "[marker_provider]\nmodule = C:/markers/marker.dll\nactivate = 1\n"
                  "[engines]\nmarker = marker_engine\n"
                  "[marker_engine]\ndynamic_path = C:/markers/marker.dll\ninit = 1\n")

        def plant(prefix):
            folders = prefix.wine(OPENSSL_DIRS).stdout.splitlines()
            self.assertEqual(3, len(folders), folders)
            folders = [f.strip().replace("/", "\\") for f in folders if f.strip()] + [r"C:\usr\local\ssl"]
            os.makedirs(prefix.drive_c("markers"))
            shutil.copy(OPENSSL_MARKER, prefix.drive_c("markers", "marker.dll"))
            for folder in folders:
                self.assertRegex(folder, r"^[Cc]:\\")
                place = prefix.drive_c(*folder[3:].split("\\"))
                os.makedirs(place, exist_ok=True)
                with open(os.path.join(place, "openssl.cnf"), "w") as f:
                    f.write(config)

        failed, report = self.run_scenario(before_start=plant)
        self.assertEqual([], failed, report)
        markers = os.path.join(PREFIX + "-run", "drive_c", "markers")
        self.assertEqual(["marker.dll"], os.listdir(markers))

    def test_update_never_fetched_is_named_as_not_seen(self):
        # The default build fetches from elsewhere; letters and stop are seen all the same.
        failed, report = self.run_scenario(service=SVC_EXE, update_timeout=10)
        self.assertEqual(["the service follows the redirect to the file", "updates.dat is stored",
                          'the value "UPD" names updates.dat'], failed, report)
        self.assertIn("Update information (nothing was requested)\n  updates.dat  missing\n", report)


if __name__ == "__main__":
    unittest.main(verbosity=2)
