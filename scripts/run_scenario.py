#!/usr/bin/env python3
"""The service doing its job in a fresh private Wine prefix, shared by scripts/run and the
end-to-end tests: the stand-in driver, volume devices backed by image files, and an HTTPS
update server on 127.0.0.1 whose test root the prefix trusts. It prints a report and says which
expected outcome, if any, was not seen.

Usage: run_scenario.py --service EXE --tools DIR --fixtures DIR --prefix DIR --url URL [IMAGE]
  EXE       volarixsvc.exe built with URL as its update URL
  DIR       --tools: the folder with svcctl.exe, cfgmgr32.dll and volax_stub.sys;
            --fixtures: the unpacked APFS fixture images; --prefix: the prefix to create
  URL       https://127.0.0.1:PORT/PATH, served here with one redirect before the file
  IMAGE     a volume image presented as the first device instead of the bundled one, or a GPT
            disk image whose partitions are presented, each as a device of its own
"""
import argparse
import collections
import hashlib
import http.server
import os
import re
import shutil
import signal
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
import uuid
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "net"))
import pud_file  # noqa: E402
from peer import make_certs  # noqa: E402

SERVICE = "volarixsvc"
DRIVER = "volax"
INSTALL_DIR = "volarix"
INSTALLED_EXE = r"C:\volarix\volarixsvc.exe"
SETTINGS_KEY = r"HKLM\Software\Volarix"
ROOT_KEYS = (r"HKCU\Software\Microsoft\SystemCertificates\Root\Certificates",
             r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates")
EVENT_LINE = re.compile(r'err:eventlog:ReportEventW L"(.*)"$')
SERVICE_RUNNING = 4
STATES = {1: "STOPPED", 2: "START_PENDING", 3: "STOP_PENDING", 4: "RUNNING", 5: "CONTINUE_PENDING",
          6: "PAUSE_PENDING", 7: "PAUSED"}
CONTROLS = ((1, "STOP"), (2, "PAUSE and CONTINUE"), (4, "SHUTDOWN"), (8, "PARAMCHANGE"),
            (16, "NETBINDCHANGE"), (32, "HARDWAREPROFILECHANGE"), (64, "POWEREVENT"),
            (128, "SESSIONCHANGE"), (256, "PRESHUTDOWN"))
# Now and then a fresh prefix's first boot fails under load (a process of it exits with
# STATUS_DLL_NOT_FOUND); a second prefix built from nothing boots.
PREFIX_ATTEMPTS = 2
# The end of the prefix's log that a failed build shows.
LOG_TAIL = 4096
# The update client fetches once at start; on a loaded machine the prefix may take its time.
UPDATE_TIMEOUT_S = 120
# Wine shuts the prefix's services down once no other program of it has run for the server's
# persistence time: longer than any wait of a scenario, in which no other program may run.
SERVER_PERSIST_S = 600
# The prefix's C: drive is this device; the mount-point manager knows its letter.
LETTERED_DEVICE = r"\Device\HarddiskVolume1"
FIRST_IMAGE_VOLUME = 7
# The FAT image's size in KiB: written in a moment, and room for mkfs.vfat's defaults.
FAT_KIB = 4096
# The stand-in configuration manager lists no more volume devices than this.
STANDIN_MAX_VOLUMES = 16
# The devices besides the user's image: the encrypted APFS volume, the FAT image and C:.
BUNDLED_VOLUMES = 3
# A GPT disk's header sits in its second sector, which is 512 or 4096 bytes long.
SECTOR_SIZES = (512, 4096)
GPT_SIGNATURE = b"EFI PART"
# The header's fields end at byte 92; a shorter header, or one beyond its sector, is damaged.
GPT_HEADER_MIN_BYTES = 92
# Entries shorter than the format's 128 bytes lack fields; longer than a sector, they are damaged.
GPT_ENTRY_MIN_BYTES = 128
# Windows gives a GPT disk at most 128 partitions.
GPT_MAX_ENTRIES = 128
GPT_TYPES = {"7C3457EF-0000-11AA-AA11-00306543ECAC": "APFS",
             "C12A7328-F81F-11D2-BA4B-00A0C93EC93B": "EFI system",
             "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7": "basic data",
             "48465300-0000-11AA-AA11-00306543ECAC": "HFS+"}
# A partition is copied through a buffer of this many bytes.
COPY_CHUNK = 1 << 20
MBR_SIGNATURE = b"\x55\xaa"
MBR_TABLE = 446
# A volume's boot sector carries its file system's name where an MBR holds boot code.
BOOT_SECTOR_NAMES = ((3, b"NTFS    "), (3, b"EXFAT   "), (54, b"FAT1"), (82, b"FAT32"))


class Device:
    """One volume device of the scenario, what backs it and the letter it should end up with."""

    def __init__(self, number, what, image, letter_expected):
        self.name = r"\Device\HarddiskVolume%d" % number
        self.link = "harddiskvolume%d" % number
        self.what = what
        self.image = image
        # True: a letter of its own; False: none; None: a user's image, whatever it gets.
        self.letter_expected = letter_expected


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all,err+eventlog",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    return env


def stop_prefix(path):
    """Ends the prefix's server and every process still started from the prefix."""
    env = wine_env(path)
    subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
    subprocess.run(["wineserver", "-w"], env=env, capture_output=True)
    # A driver host started while the server went down can outlive it and wait for ever.
    marker = ("WINEPREFIX=" + path).encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as environ:
                if marker in environ.read().split(b"\0"):
                    os.kill(int(pid), signal.SIGKILL)
        except OSError:
            pass


class Prefix:
    """A fresh Wine prefix whose services write their stderr (the event-log lines) to a log."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.log = self.path + ".log"
        self.env = wine_env(self.path)

    def wine(self, *args, timeout=120):
        return subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout)

    def create(self):
        """Builds the prefix; a first boot that fails is retried once in a prefix made anew. Each
        boot stops what the last one left running; after a failure the caller stops the prefix."""
        for attempt in range(1, PREFIX_ATTEMPTS + 1):
            try:
                self.boot()
                return
            except subprocess.SubprocessError as error:
                with open(self.log, "rb") as log:
                    tail = log.read()[-LOG_TAIL:].decode("utf-8", "replace")
                if attempt == PREFIX_ATTEMPTS:
                    raise RuntimeError("the Wine prefix %s could not be built: %s\n%s"
                                       % (self.path, error, tail)) from None
                print("building the Wine prefix failed (%s), trying once more:\n%s" % (error, tail),
                      file=sys.stderr, flush=True)

    def boot(self):
        self.stop()
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.path)
        with open(self.log, "wb") as log:
            def run(*args):
                subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                               check=True, timeout=300)
            # A new prefix's services restart while wineboot finishes, and a service created
            # meanwhile can be lost: build it, stop it, and boot it once more. The services
            # started by the last boot keep its stderr, so their event texts arrive in the log.
            run("wineserver", "-p%d" % SERVER_PERSIST_S)
            run("wine", "wineboot", "-i")
            self.stop()
            run("wineserver", "-p%d" % SERVER_PERSIST_S)
            run("wine", "wineboot")

    def stop(self):
        stop_prefix(self.path)

    def reg_add(self, key, name, kind, data):
        result = self.wine("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f")
        if result.returncode != 0:
            raise RuntimeError("reg add %s\\%s: %s" % (key, name, result.stdout + result.stderr))

    def reg_value(self, key, name):
        for line in self.wine("reg", "query", key, "/v", name).stdout.splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[0] == name:
                return parts[2].strip()
        return None

    def svcctl(self, tool, *args):
        out = self.wine(tool, *args).stdout
        return dict(line.rstrip("\r").split("=", 1) for line in out.splitlines() if "=" in line)

    def events(self):
        with open(self.log, "rb") as log:
            text = log.read().decode("utf-8", "replace")
        return [m.group(1) for m in (EVENT_LINE.search(l) for l in text.splitlines()) if m]

    def drive_c(self, *parts):
        return os.path.join(self.path, "drive_c", *parts)


def trust_root(prefix, ca_der):
    """As Windows keeps a root: a serialized certificate element named by its SHA-1 thumbprint."""
    thumbprint = hashlib.sha1(ca_der).hexdigest().upper()
    # CERT_CERT_PROP_ID, the encoding-type field, the length, then the DER certificate.
    blob = struct.pack("<III", 32, 1, len(ca_der)) + ca_der
    for key in ROOT_KEYS:
        prefix.reg_add(key + "\\" + thumbprint, "Blob", "REG_BINARY", blob.hex())


class UpdateServer:
    """HTTPS on 127.0.0.1: the URL's path answers with a redirect, the redirect's target with the
    file, both with a length and a clean TLS close."""

    def __init__(self, url, cert, key, body):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme != "https" or parts.hostname != "127.0.0.1" or not parts.port:
            raise ValueError("the update URL must be https://127.0.0.1:PORT/...: " + url)
        self.path = parts.path or "/"
        self.target = "/served" + self.path
        self.location = "https://127.0.0.1:%d%s" % (parts.port, self.target)
        self.body = body
        self.requests = []
        self.served = threading.Event()
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            timeout = 30

            def do_GET(self):
                server.requests.append(self.path)
                if self.path == server.path:
                    self.answer(302, b"", [("Location", server.location)])
                elif self.path == server.target:
                    self.answer(200, server.body, [("Content-Type", "application/octet-stream")])
                    server.served.set()
                else:
                    self.answer(404, b"", [])

            def answer(self, status, body, fields):
                self.send_response(status)
                for name, value in fields + [("Content-Length", str(len(body))),
                                             ("Connection", "close")]:
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def get_request(self):
                sock, address = super().get_request()
                return context.wrap_socket(sock, server_side=True), address

            def handle_error(self, request, address):
                pass

            def shutdown_request(self, request):
                # close-notify before the TCP close, so that the client sees a complete stream.
                try:
                    request.unwrap()
                except (OSError, ValueError):
                    pass
                request.close()

        try:
            self.httpd = Server(("127.0.0.1", parts.port), Handler)
        except OSError as e:
            raise RuntimeError("cannot listen on 127.0.0.1:%d: %s" % (parts.port, e.strerror))
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def start(self):
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


Partition = collections.namedtuple("Partition", "number kind offset length")


def gpt_partitions(f, size):
    """The used partitions of a GPT disk image, in table order; None when the image has no GPT.
    ValueError says why a table that is there cannot be read."""
    for sector in SECTOR_SIZES:
        f.seek(sector)
        header = f.read(sector)
        if len(header) == sector and header[:8] == GPT_SIGNATURE:
            break
    else:
        return None
    header_size, header_crc = struct.unpack_from("<II", header, 12)
    if (not GPT_HEADER_MIN_BYTES <= header_size <= sector or
            zlib.crc32(header[:16] + bytes(4) + header[20:header_size]) != header_crc):
        raise ValueError("GPT header is damaged")
    table_lba, count, entry_size, table_crc = struct.unpack_from("<QIII", header, 72)
    if count > GPT_MAX_ENTRIES or not GPT_ENTRY_MIN_BYTES <= entry_size <= sector:
        raise ValueError("GPT has %d entries of %d bytes" % (count, entry_size))
    if table_lba * sector + count * entry_size > size:
        raise ValueError("GPT partition table lies outside the image")
    f.seek(table_lba * sector)
    table = f.read(count * entry_size)
    if zlib.crc32(table) != table_crc:
        raise ValueError("GPT partition table is damaged")
    partitions = []
    for number in range(1, count + 1):
        entry = table[(number - 1) * entry_size:number * entry_size]
        if entry[:16] == bytes(16):
            continue
        first, last = struct.unpack_from("<QQ", entry, 32)
        if first > last or (last + 1) * sector > size:
            raise ValueError("partition %d lies outside the image" % number)
        kind = str(uuid.UUID(bytes_le=entry[:16])).upper()
        partitions.append(Partition(number, GPT_TYPES.get(kind, kind), first * sector,
                                    (last - first + 1) * sector))
    return partitions


def is_mbr_disk(first_sector):
    """Whether the sector holds an MBR's partition table rather than a volume's boot sector."""
    if (first_sector[510:512] != MBR_SIGNATURE or
            any(first_sector[at:at + len(name)] == name for at, name in BOOT_SECTOR_NAMES)):
        return False
    entries = [first_sector[at:at + 16] for at in range(MBR_TABLE, MBR_TABLE + 64, 16)]
    return (all(entry[0] in (0, 0x80) for entry in entries) and
            any(entry[4] and struct.unpack_from("<I", entry, 12)[0] for entry in entries))


def copy_sparse(source, offset, length, target):
    """Copies length bytes of source from offset into target, leaving runs of zeros as holes."""
    with open(source, "rb") as src, open(target, "wb") as dst:
        src.seek(offset)
        for done in range(0, length, COPY_CHUNK):
            chunk = src.read(min(COPY_CHUNK, length - done))
            if chunk.count(0) != len(chunk):
                dst.seek(done)
                dst.write(chunk)
        dst.truncate(length)


def image_devices(image, work, number):
    """The volume devices that Windows' volume manager makes of the user's image: one for each
    partition of a GPT disk, a copy of its bytes; else the image itself, said so when it is a
    disk rather than a volume."""
    name = os.path.basename(image)
    with open(image, "rb") as f:
        try:
            partitions = gpt_partitions(f, os.fstat(f.fileno()).st_size)
            not_volume = "a GPT disk without partitions" if partitions == [] else None
        except ValueError as e:
            partitions, not_volume = None, "a disk whose %s" % e
        f.seek(0)
        if partitions is None and not_volume is None and is_mbr_disk(f.read(512)):
            not_volume = "an MBR disk"
    if not partitions:
        what = "your image (%s)" % name + (", %s, not a volume" % not_volume if not_volume else "")
        return [Device(number, what, os.path.abspath(image), None)]
    room = STANDIN_MAX_VOLUMES - BUNDLED_VOLUMES
    if len(partitions) > room:
        raise RuntimeError("%s has %d partitions; the scenario presents at most %d"
                           % (name, len(partitions), room))
    devices = []
    for partition in partitions:
        copy = os.path.join(work, "partition%d.img" % partition.number)
        copy_sparse(image, partition.offset, partition.length, copy)
        devices.append(Device(number + len(devices), "partition %d (%s) of %s"
                              % (partition.number, partition.kind, name), copy, None))
    return devices


def make_fat_image(path):
    # dosfstools installs into sbin, which a user's PATH may lack.
    mkfs = shutil.which("mkfs.vfat") or shutil.which("mkfs.vfat", path="/usr/sbin:/sbin")
    subprocess.run([mkfs, "-C", "-n", "VOLARIXFAT", path, str(FAT_KIB)], check=True,
                   stdout=subprocess.DEVNULL)


def scenario_devices(fixtures, work, image):
    first = (image_devices(image, work, FIRST_IMAGE_VOLUME) if image else
             [Device(FIRST_IMAGE_VOLUME, "APFS (pop_ci)", os.path.join(fixtures, "pop_ci_1g.img"), True)])
    number = FIRST_IMAGE_VOLUME + len(first)
    fat = os.path.join(work, "fat.img")
    make_fat_image(fat)
    return first + [Device(number, "APFS, encrypted (enc_dfvfs)", os.path.join(fixtures, "enc_dfvfs.img"),
                           True),
                    Device(number + 1, "FAT", fat, False),
                    Device(1, "C: of the prefix", None, False)]


def aligned(rows):
    """The rows' cells in columns as wide as their widest cell."""
    widths = [max(map(len, column)) for column in zip(*rows)]
    return ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in rows]


def controls_in_words(accepted):
    names = [name for bit, name in CONTROLS if accepted & bit]
    return "accepts " + " and ".join(names) if names else "accepts no control"


def letters_by_device(prefix, tool):
    """The drive letters by target device, read back with QueryDosDeviceW by a program of their
    own rather than taken from what the service says."""
    letters = {}
    for drive, target in prefix.svcctl(tool, "letters").items():
        letters.setdefault(target, []).append(drive)
    return letters


class Outcomes:
    """The expected outcomes that were not seen, in the order of the report."""

    def __init__(self):
        self.failed = []

    def check(self, ok, what):
        if not ok:
            self.failed.append(what)
        return ok


def run(service, tools, fixtures, prefix_dir, url, image=None, out=sys.stdout,
        update_timeout=UPDATE_TIMEOUT_S, before_start=None):
    """Runs the scenario and returns the expected outcomes that were not seen (none: all good).
    before_start, when given, is called with the prefix before the service first starts."""
    def say(text=""):
        out.write(text + "\n")
        out.flush()

    svcctl = os.path.join(tools, "svcctl.exe")
    fixtures = os.path.abspath(fixtures)
    work = os.path.abspath(prefix_dir) + ".files"
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    outcomes = Outcomes()
    devices = scenario_devices(fixtures, work, image)
    for device in devices:
        if device.image and not os.path.isfile(device.image):
            raise RuntimeError("no image file " + device.image)

    make_certs(os.path.join(work, "certs"))
    with open(os.path.join(work, "certs", "ca.der"), "rb") as f:
        ca_der = f.read()
    body = pud_file.pud_bytes()
    server = UpdateServer(url, os.path.join(work, "certs", "server.pem"),
                          os.path.join(work, "certs", "server.key"), body)
    prefix = Prefix(prefix_dir)
    server.start()
    try:
        say("run: creating the Wine prefix %s" % prefix.path)
        prefix.create()
        install = prefix.drive_c(INSTALL_DIR)
        os.makedirs(install)
        shutil.copy(service, os.path.join(install, "volarixsvc.exe"))
        # Wine only stubs the configuration manager; the stand-in beside the service lists the
        # devices of volumes.txt, for the service alone.
        shutil.copy(os.path.join(tools, "cfgmgr32.dll"), install)
        with open(os.path.join(install, "volumes.txt"), "w") as f:
            f.write("".join(device.name + "\r\n" for device in devices))
        prefix.reg_add(r"HKCU\Software\Wine\AppDefaults\volarixsvc.exe\DllOverrides", "cfgmgr32",
                       "REG_SZ", "native")
        # \\.\HarddiskVolumeN opens dosdevices/harddiskvolumeN.
        for device in devices:
            if device.image:
                os.symlink(device.image, os.path.join(prefix.path, "dosdevices", device.link))
        shutil.copy(os.path.join(tools, "volax_stub.sys"), prefix.drive_c("windows", "system32", "drivers"))
        for args in (("sc", "create", DRIVER, "type=", "kernel", "start=", "demand", "binPath=",
                      r"C:\windows\system32\drivers\volax_stub.sys"),
                     ("sc", "create", SERVICE, "type=", "own", "start=", "demand", "binPath=",
                      INSTALLED_EXE)):
            result = prefix.wine(*args)
            if result.returncode != 0:
                raise RuntimeError(" ".join(args) + ": " + result.stdout + result.stderr)
        trust_root(prefix, ca_der)
        letters_before = letters_by_device(prefix, svcctl)
        if before_start:
            before_start(prefix)

        say("run: starting the stand-in driver and the service")
        driver = prefix.svcctl(svcctl, "start-and-wait", DRIVER, str(SERVICE_RUNNING))
        outcomes.check(driver.get("state") == str(SERVICE_RUNNING), "the driver is running")
        started = prefix.svcctl(svcctl, "start-and-wait", SERVICE, str(SERVICE_RUNNING))
        running = outcomes.check(started.get("state") == str(SERVICE_RUNNING), "the service is running")

        say()
        status = prefix.svcctl(svcctl, "query", SERVICE)
        state = int(status.get("state", "0"))
        accepted = int(status.get("accepted", "0"))
        say("Service  %s, %s" % (STATES.get(state, "state %d" % state), controls_in_words(accepted)))
        outcomes.check(state == SERVICE_RUNNING and accepted == 5,
                       "the service runs and accepts STOP and SHUTDOWN")

        say()
        say("Volume devices (letters read back with QueryDosDeviceW)")
        letters = letters_by_device(prefix, svcctl)
        given = {}
        rows = []
        for device in devices:
            before = letters_before.get(device.name, [])
            new = [d for d in letters.get(device.name, []) if d not in before]
            given[device.name] = new
            if device.image is None:
                decision = "has %s already: not probed" % ", ".join(before) if before else "no letter"
                outcome = "no second letter" if not new else "-> " + ", ".join(new)
                outcomes.check(bool(before) and not new, "%s keeps its letter and gets no second one"
                               % device.name)
            else:
                decision = "probe: yes" if new else "probe: no"
                outcome = "-> " + ", ".join(new) if new else "-> no letter"
                if device.letter_expected is not None:
                    outcomes.check(len(new) == (1 if device.letter_expected else 0),
                                   "%s (%s) %s" % (device.name, device.what,
                                                   "gets one letter" if device.letter_expected
                                                   else "gets no letter"))
            rows.append((device.name, device.what, decision, outcome))
        for row in aligned(rows):
            say("  " + row)

        say()
        stored = prefix.drive_c("ProgramData", "Volarix", "updates.dat")
        deadline = time.monotonic() + update_timeout
        server.served.wait(update_timeout if running else 0)
        # The file and the value are written after the download; nothing signals them.
        upd = None
        while running and time.monotonic() < deadline:
            upd = prefix.reg_value(SETTINGS_KEY, "UPD")
            if upd is not None and os.path.isfile(stored):
                break
            time.sleep(0.5)
        say("Update information (served %s)" % " -> ".join(server.requests) if server.requests
            else "Update information (nothing was requested)")
        outcomes.check(server.requests[:2] == [server.path, server.target],
                       "the service follows the redirect to the file")
        if os.path.isfile(stored):
            with open(stored, "rb") as f:
                data = f.read()
            same = data == body
            say("  updates.dat  %d bytes, MD5 %s, %s" % (len(data), hashlib.md5(data).hexdigest(),
                "equal to what the server sent" if same else "NOT equal to what the server sent"))
            outcomes.check(same, "updates.dat equals what the server sent")
        else:
            say("  updates.dat  missing")
            outcomes.check(False, "updates.dat is stored")
        say("  UPD          %s" % (upd if upd is not None else "(not set)"))
        outcomes.check(upd == r"C:\ProgramData\Volarix\updates.dat", 'the value "UPD" names updates.dat')

        say()
        say("Event-log lines")
        events = prefix.events()
        for event in events:
            say("  " + event)
        if not events:
            say("  (none)")
        outcomes.check(not events, "the service reports no error")

        say()
        stopped = prefix.svcctl(svcctl, "stop-and-wait", SERVICE)
        say("Stopped  exit code %s, state %s" % (stopped.get("exit", "?"),
                                               STATES.get(int(stopped.get("state", "0")), "?")))
        outcomes.check(stopped.get("exit") == "0" and stopped.get("state") == "1",
                       "the service stops with exit code 0")
        after = letters_by_device(prefix, svcctl)
        kept = all(all(d in after.get(name, []) for d in new) for name, new in given.items())
        say("Letters after the stop: %s" % (", ".join(
            "%s %s" % (d, name) for name, new in given.items() for d in new) or "(none were given)")
            + (" - still defined" if kept else " - SOME ARE GONE"))
        outcomes.check(kept, "the letters given stay defined after the stop")
    finally:
        server.stop()
        prefix.stop()
        say("run: stopped the update server and the prefix")
    return outcomes.failed


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("service", "tools", "fixtures", "prefix", "url"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("image", nargs="?")
    args = parser.parse_args(argv[1:])
    if args.image and not os.path.isfile(args.image):
        sys.stderr.write("run: no such image file: %s\n" % args.image)
        return 2
    try:
        failed = run(args.service, args.tools, args.fixtures, args.prefix, args.url, args.image)
    except (RuntimeError, ValueError, OSError, subprocess.SubprocessError) as e:
        print("run: FAILED: %s" % e)
        return 1
    print()
    if failed:
        print("run: FAILED, not seen:")
        for what in failed:
            print("  - " + what)
        return 1
    print("run: every expected outcome was seen")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
