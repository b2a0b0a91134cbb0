"""sealpost-send run whole under dash and under busybox ash, in a private
network namespace (see in_netns.sh), against sealpost-receiver behind a
relay on 127.0.0.1 that records each form, nothing on 127.0.0.5, and small
servers of this script's own that answer 503, never answer, or record each
form and answer 204 slowly, 202 or 201. Every form posted or spooled
carries the MAC that Python's hmac makes, or, with -A, none.
The busybox runs see only busybox's applets on PATH, and busybox has no
flock, so they take the lock folder.

With SEALPOST_BOARD_ROOT (an unpacked static ARM archive) and
SEALPOST_BOARD_BUSYBOX (a static ARM busybox), the first row runs the
archive's bin/sealpost-send under that busybox's ash instead, every
program of the run ARM code that this namespace's own binfmt_misc hands
to qemu-arm.

Usage: send_e2e.py BUILD_DIR
"""
import json
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from receiver_e2e import BUILD, KEY, Receiver, bring_loopback_up, exchange, expected, metrics, post_mac, program, \
    raw_post, seal, undated

SOURCE = pathlib.Path(__file__).resolve().parent.parent
BOARD_ROOT = os.environ.get("SEALPOST_BOARD_ROOT")
BOARD_BUSYBOX = os.environ.get("SEALPOST_BOARD_BUSYBOX")
UP, DOWN, BUSY, SILENT, SLOW = "127.0.0.1", "127.0.0.5", "127.0.0.6", "127.0.0.7", "127.0.0.8"
ACCEPTED, CREATED, RECEIVER = "127.0.0.9", "127.0.0.10", "127.0.0.11"
ENTRY = re.compile(r"(device=[A-Za-z0-9._-]{1,64}&)?sealed=([0-9a-f]{16}(?:[0-9a-f]{16})*)(?:&mac=([0-9a-f]{64}))?\n")
TOOK_OVER = "sealpost-send: took over the spool's lock from process {}, which no longer runs\n"
ELEVEN = [f"s{number}" for number in range(1, 12)]
BOOT_ID = pathlib.Path("/proc/sys/kernel/random/boot_id").read_text()
# Texts spooled as versions before MACs did, the longest one with no room
# left for a MAC.
OLD, OLD_LONGEST = "o1", "o" * 65483
# Spooled by hand, each with a MAC that valid_entry must refuse.
BAD_MACS = ["&mac=" + "a" * 63, "&mac=" + "A" * 64, "&mac=" + "a" * 65, "&mac=",
            "&mac=" + "a" * 64 + "&mac=" + "a" * 64, "&mac=" + "a" * 64 + "&x=1"]
# name, host, options, texts (each its own run; two at once for "together";
# None for --flush), status, kept by the server at host (a stub that records,
# else the receiver), left in the spool, stderr of the last run (a pattern),
# the most seconds the last run may take.
TABLE = [
    ("delivered", UP, ["-d", "pump-1"], ["r1"], 0, ["r1"], [], "", 10),
    ("refused", DOWN, ["-d", "pump-1"], ["r2"], 75, [], ["r2"],
     r"sealpost-send: formsend failed: connect error for address: 127\.0\.0\.5: Connection refused; "
     r"the spool \S+ holds 1 entry\n", 10),
    ("503", BUSY, [], ["r3"], 75, [], ["r2", "r3"],
     r"sealpost-send: 127\.0\.0\.6 answered HTTP/1\.0 503 Service Unavailable; the spool \S+ holds 2 entries\n", 10),
    # One time-out, however much waits.
    ("never answers", SILENT, ["-t", "1", "-d", "pump-2"], ["r4"], 75, [], ["r2", "r3", "r4"],
     r"sealpost-send: no answer from 127\.0\.0\.7 within 1 s; the spool \S+ holds 3 entries\n", 2.5),
    # A power cut left a lock folder of an earlier boot and a half entry.
    ("back", UP, ["-d", "pump-3"], ["r5"], 0, ["r2", "r3", "r4", "r5"], [], "stale", 10),
    # 65,488 bytes with the shell's tag: the form is the 131,071 bytes formsend takes.
    # The shells' pattern matching over 131,071 bytes takes seconds under load: the bound is a hang's.
    ("the longest text, without a MAC", UP, ["-A", "-d", "d" * 64], ["x" * 65483], 0, ["x" * 65483], [], "", 30),
    # 65,448 bytes: the form with its MAC is 131,060 bytes, and a block more would not fit.
    ("the longest text with its MAC", UP, ["-d", "e" * 64], ["x" * 65443], 0, ["x" * 65443], [], "", 30),
    ("full spool", DOWN, ["-n", "2", "-d", "pump-4"], ["r6", "r7", "r8"], 75, [], ["r7", "r8"],
     r"sealpost-send: the spool holds more than 2 entries: dropped the oldest, 000000001\n"
     r"sealpost-send: formsend failed: .*; the spool \S+ holds 2 entries\n", 10),
    ("together", SLOW, ["-t", "5", "-d", "pump-5"], [None, "r9"], 0, ["r7", "r8", "r9"], [], "", 10),
    # Past 000000009 and 000000010, where an order of names that is not the
    # order of numbers would show.
    ("eleven wait", DOWN, ["-d", "pump-6"], ELEVEN, 75, [], ELEVEN,
     r"sealpost-send: formsend failed: .*; the spool \S+ holds 11 entries\n", 10),
    # Any 2xx is taken for delivered.
    ("eleven delivered, 202", ACCEPTED, ["-d", "pump-6"], ["s12"], 0, ELEVEN + ["s12"], [], "", 10),
    # A lock folder whose run died in this boot is no more held than one of
    # an earlier boot; -t cuts short the wait of a run that thinks it is.
    ("dead lock, 201", CREATED, ["-t", "3", "-d", "pump-7"], ["r10"], 0, ["r10"], [], "took over", 10),
    # An entry of a version before MACs waits while its MAC cannot be made:
    # --flush without -k, and no /etc/sealpost/key.
    ("old entry, no key", ACCEPTED, [], [None], 75, [], [OLD],
     r"bfmac: cannot read key file /etc/sealpost/key: No such file or directory\n"
     r"sealpost-send: 000000001 was spooled without a MAC, and bfmac could not make one; "
     r"the spool \S+ holds 1 entry\n", 10),
    # Then it posts with the MAC of the device it was sealed for, not the run's.
    ("old entry", ACCEPTED, ["-d", "pump-9"], ["r11"], 0, [OLD, "r11"], [], "", 10),
    ("old entry, the longest", ACCEPTED, ["-d", "pump-9"], ["r12"], 0, [OLD_LONGEST, "r12"], [],
     r"sealpost-send: 000000001 was spooled without a MAC and has no room for one: posted as it is\n", 10),
    ("bad MACs", ACCEPTED, ["-d", "pump-9"], ["r13"], 0, ["r13"], [],
     "".join(rf"sealpost-send: {n:09d} is not a spooled form; moved aside as \S+/bad-{n:09d}\n"
             for n in range(1, len(BAD_MACS) + 1)), 10),
    ("waits with its MAC", DOWN, ["-d", "pump-9"], ["r14"], 75, [], ["r14"],
     r"sealpost-send: formsend failed: .*; the spool \S+ holds 1 entry\n", 10),
    # -A posts every entry without its MAC, the one spooled with it too.
    ("-A", ACCEPTED, ["-A", "-d", "pump-9"], ["r15"], 0, ["r14", "r15"], [], "", 10),
    # A random wait of 0 to 2 s before the post; the bound is a hang's.
    ("a random wait", UP, ["-w", "2", "-d", "pump-9"], ["r16"], 0, ["r16"], [], "", 12),
    ("no wait", UP, ["-w", "0", "-d", "pump-9"], ["r17"], 0, ["r17"], [], "", 10),
]


class Stub(threading.Thread):
    """Port 80 of address: answers 503, never answers, records each form
    and answers with status after delay seconds, or records each form and
    passes the request on to the receiver, and its answer back."""

    def __init__(self, address, mode, status=b"204 No Content", delay=0.0):
        super().__init__(daemon=True)
        self.listener = socket.create_server((address, 80))
        self.mode, self.status, self.delay, self.forms, self.held = mode, status, delay, [], []
        self.start()

    def run(self):
        while True:
            connection = self.listener.accept()[0]
            threading.Thread(target=self.serve, args=(connection,), daemon=True).start()

    def serve(self, connection):
        data = b""
        while b"\r\n\r\n" not in data:
            data += connection.recv(65536)
        head, _, body = data.partition(b"\r\n\r\n")
        length = int(re.search(rb"Content-length: (\d+)", head, re.I)[1])
        while len(body) < length:
            body += connection.recv(65536)
        if self.mode == "silent":
            self.held.append(connection)
            return
        if self.mode == "relay":
            self.forms.append(body.decode())
            with socket.create_connection((RECEIVER, 80)) as receiver:
                receiver.sendall(head + b"\r\n\r\n" + body)
                answer = b""
                while chunk := receiver.recv(65536):
                    answer += chunk
            connection.sendall(answer)
            connection.close()
            return
        status = b"503 Service Unavailable"
        if self.mode == "record":
            time.sleep(self.delay)
            self.forms.append(body.decode())
            status = self.status
        connection.sendall(b"HTTP/1.0 " + status + b"\r\n\r\n")
        connection.close()


def opened(form):
    """The device and the text of a form sealpost-send posted or spooled."""
    match = ENTRY.fullmatch(form + "\n")
    assert match, form
    run = program("bfopen", "-k", str(KEY_FILE), match[2])
    assert run.returncode == 0, run.stderr
    return (match[1] or "")[7:-1], run.stdout.decode()


def mac_of(device, hex):
    """The MAC of a post, made with Python's hmac apart from bfmac."""
    return post_mac(KEY, device, hex)


def carries_mac(form):
    """Whether the form carries a MAC, which must then be the one of its
    device and its hex."""
    match = ENTRY.fullmatch(form + "\n")
    assert match, form
    if match[3] is None:
        return False
    assert match[3] == mac_of((match[1] or "")[7:-1], match[2]), form
    return True


def spool_as_before_macs(spool, device, text):
    """An entry as versions before MACs wrote it, after the last."""
    sealed = program("bfseal", "-k", str(KEY_FILE), text).stdout.decode()
    last = max([int(entry.name) for entry in spool.iterdir() if entry.name.isdigit()], default=0)
    (spool / f"{last + 1:09d}").write_text(f"device={device}&sealed={sealed}\n")


def path_of(folder, tools, programs):
    """A PATH of one folder holding links to the tools and programs."""
    folder.mkdir()
    for name, target in list(tools.items()) + list(programs.items()):
        (folder / name).symlink_to(target)
    return str(folder)


def hand_arm_programs_to_qemu():
    """Registers qemu-arm for 32-bit ARM programs in the binfmt_misc of
    this namespace alone, keeping each program's own name (flag P), as
    busybox needs; ARMv5TE cores, as the archive's oldest boards have."""
    mount = subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", "/proc/sys/fs/binfmt_misc"],
                           capture_output=True)
    if mount.returncode != 0:
        print(f"SKIPPED: this kernel gives a namespace no binfmt_misc of its own: {mount.stderr.decode()}",
              file=sys.stderr)
        sys.exit(77)
    magic = r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00"
    mask = r"\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
    pathlib.Path("/proc/sys/fs/binfmt_misc/register").write_text(
        f":qemu-arm:M::{magic}:{mask}:{shutil.which('qemu-arm')}:FP")
    os.environ["QEMU_CPU"] = "arm926"


def shells(work):
    """Each shell a run takes, by a tag of four letters that ends its
    texts: its command line, its PATH, and whether that PATH has flock."""
    if BOARD_ROOT:
        hand_arm_programs_to_qemu()
        busybox = pathlib.Path(BOARD_BUSYBOX)
        applets = subprocess.run([busybox, "--list"], capture_output=True, check=True).stdout.decode().split()
        # bfseal, bfmac and formsend are found beside the script, as the archive has them.
        return {"qarm": ([busybox, "ash", f"{BOARD_ROOT}/bin/sealpost-send"],
                         path_of(work / "board-bin", {name: busybox for name in applets}, {}), False)}
    ours = {name: BUILD / name / name for name in ("bfseal", "bfmac", "formsend")}
    busybox = shutil.which("busybox")
    applets = subprocess.run([busybox, "--list"], capture_output=True, check=True).stdout.decode().split()
    script = str(SOURCE / "send" / "sealpost-send")
    return {
        "dash": ([shutil.which("dash"), script], path_of(work / "dash-bin", {}, ours) + ":/usr/bin:/bin", True),
        "bbox": ([busybox, "ash", script], path_of(work / "busybox-bin", {name: busybox for name in applets}, ours),
                 "flock" in applets),
    }


class SendTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        global KEY_FILE
        bring_loopback_up()
        cls.work = tempfile.TemporaryDirectory()
        work = pathlib.Path(cls.work.name)
        KEY_FILE = work / "key"
        KEY_FILE.write_bytes(KEY + b"\n")
        (work / "receiver").mkdir()
        cls.receiver = Receiver(work / "receiver", KEY, RECEIVER, extra=("--metrics", f"{RECEIVER}:9580"))
        cls.stubs = {UP: Stub(UP, "relay"), BUSY: Stub(BUSY, "503"), SILENT: Stub(SILENT, "silent"),
                     SLOW: Stub(SLOW, "record", delay=0.3), ACCEPTED: Stub(ACCEPTED, "record", b"202 Accepted"),
                     CREATED: Stub(CREATED, "record", b"201 Created")}
        cls.shells = shells(work)

    @classmethod
    def tearDownClass(cls):
        assert cls.receiver.stop() == 0, cls.receiver.log()
        cls.work.cleanup()

    def forms(self, host):
        return self.stubs[host].forms if host in self.stubs else []

    def kept(self, host):
        if host in self.stubs and self.stubs[host].mode == "record":
            return [opened(form)[1] for form in self.stubs[host].forms]
        lines = self.receiver.command("export").stdout.decode().splitlines()
        return [json.loads(line)["text"] for line in lines]

    def run_send(self, shell, spool, host, options, text, extra=(), key=True):
        command, path, _ = self.shells[shell]
        arguments = ["--flush"] if text is None else []
        arguments += (["-k", str(KEY_FILE)] if key else []) + ["-s", str(spool), *options, *extra, host, "/"]
        return subprocess.Popen(command + arguments + ([] if text is None else [f"{text} {shell}"]),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ, PATH=path))

    def test_the_table(self):
        for shell, (_, _, has_flock) in self.shells.items():
            spool = pathlib.Path(self.work.name) / f"spool-{shell}"
            recorded = len(self.stubs[SLOW].forms)
            for name, host, options, texts, status, kept, left, errors, seconds in TABLE[:1 if BOARD_ROOT else None]:
                with self.subTest(shell=shell, row=name):
                    if name == "back":
                        if not has_flock:
                            (spool / ".lock").mkdir()
                            (spool / ".lock" / "owner").write_text("1 an-earlier-boot\n")
                        (spool / ".new-999999").write_text("sealed=01")
                        errors = "" if has_flock else re.escape(TOOK_OVER.format(1))
                    if name == "dead lock, 201":
                        errors = ""
                        if not has_flock:
                            dead = subprocess.Popen(["true"])
                            dead.wait()
                            (spool / ".lock").mkdir()
                            (spool / ".lock" / "owner").write_text(f"{dead.pid} {BOOT_ID}")
                            errors = re.escape(TOOK_OVER.format(dead.pid))
                    if name == "old entry, no key":
                        spool_as_before_macs(spool, "pump-8", f"{OLD} {shell}")
                        if os.path.exists("/etc/sealpost/key"):
                            continue
                    if name == "old entry, the longest":
                        spool_as_before_macs(spool, "d" * 64, f"{OLD_LONGEST} {shell}")
                    if name == "bad MACs":
                        sealed = program("bfseal", "-k", str(KEY_FILE), "bad").stdout.decode()
                        for number, mac in enumerate(BAD_MACS, 1):
                            (spool / f"{number:09d}").write_text(f"sealed={sealed}{mac}\n")
                    before, sent = self.kept(host), len(self.forms(host))
                    started = time.monotonic()
                    runs = []
                    for text in texts:
                        runs.append(self.run_send(shell, spool, host, options, text, key=name != "old entry, no key"))
                        if name != "together":
                            runs[-1].wait(timeout=60)
                    outcomes = [(run.wait(timeout=60), *run.communicate()) for run in runs]
                    elapsed = time.monotonic() - started
                    self.assertEqual([outcome[0] for outcome in outcomes], [status] * len(texts), outcomes)
                    self.assertEqual([outcome[1] for outcome in outcomes], [b""] * len(texts))
                    for _, _, stderr in outcomes if status == 0 else outcomes[-1:]:
                        self.assertRegex(stderr.decode(), f"^{errors}$")
                    self.assertLess(elapsed, seconds)
                    self.assertEqual(self.kept(host)[len(before):], [f"{text} {shell}" for text in kept])
                    # Each form with its MAC, even one spooled without; none with -A, nor one with no room.
                    self.assertEqual([carries_mac(form) for form in self.forms(host)[sent:]],
                                     ["-A" not in options and text != OLD_LONGEST for text in kept])
                    if name == "bad MACs":
                        for number, mac in enumerate(BAD_MACS, 1):
                            moved = spool / f"bad-{number:09d}"
                            self.assertTrue(moved.read_text().endswith(mac + "\n"))
                            moved.unlink()
                    # The spool holds the forms alone, each text once, in order, each with its MAC but the old one.
                    entries = sorted(spool.iterdir())
                    self.assertEqual([entry.name for entry in entries if not entry.name[0].isdigit()],
                                     [".flock"] if has_flock else [])
                    self.assertEqual([opened(entry.read_text()[:-1])[1] for entry in entries
                                      if entry.name[0].isdigit()], [f"{text} {shell}" for text in left])
                    self.assertEqual([carries_mac(entry.read_text()[:-1]) for entry in entries
                                      if entry.name[0].isdigit()], [text != OLD for text in left])
            # Two runs at once: each entry posted once, in order, with the device it was sealed for.
            self.assertEqual([opened(form) for form in self.stubs[SLOW].forms[recorded:]],
                             [] if BOARD_ROOT else [("pump-4", f"r7 {shell}"), ("pump-4", f"r8 {shell}"),
                                                    ("pump-5", f"r9 {shell}")])

    def test_forgeries_of_a_real_post_are_kept_apart_and_never_decrypted(self):
        """A post as sealpost-send sent it, and what an attacker makes of it
        once captured: each gets 204, none is kept as a reading, and none
        with a MAC is even decrypted."""
        if BOARD_ROOT:
            self.skipTest("the receiver's part: the board's sealpost-send runs the table's first row")
        text = "T=21.7C;RH=48%;door=closed;alarm=off;seq=000187"
        sent = len(self.stubs[UP].forms)
        run = self.run_send("dash", pathlib.Path(self.work.name) / "spool-forged", UP, ["-d", "board-0042"], text)
        self.assertEqual(run.wait(timeout=60), 0, run.communicate())
        form = self.stubs[UP].forms[sent]
        device, hex, mac = re.fullmatch(r"device=([^&]*)&sealed=([0-9a-f]*)&mac=([0-9a-f]{64})", form).groups()

        def iv_for(first_block):
            """An IV that opens the first block as first_block, as flipping bits does."""
            return bytes(a ^ b ^ c for a, b, c in zip(bytes.fromhex(hex[:16]), text.encode(), first_block)).hex()

        cipher = hex[16:]
        forgeries = [
            f"device={device}&sealed={iv_for(b'T=99.9C;')}{cipher}&mac={mac}",
            f"device={device}&sealed={iv_for(b'alarm=ON')}{cipher}&mac={mac}",
            f"device={device}&sealed={hex[:-16]}&mac={mac}",
            f"device={device}&sealed={cipher}&mac={mac}",
            f"device={device}&sealed={os.urandom(16).hex()}{cipher[16:]}&mac={mac}",
            f"device=board-0043&sealed={hex}&mac={mac}",
            f"sealed={hex}&mac={mac}",
            f"device={device}&sealed={os.urandom(16).hex()}&mac={mac}",
            f"device={device}&sealed={hex}&mac={os.urandom(32).hex()}",
        ]
        before = metrics(RECEIVER)
        kept_before = self.receiver.command("export", "--authentic").stdout
        for body in forgeries:
            with self.subTest(body=body[:60]):
                self.assertEqual(undated(exchange(raw_post(body.encode()), address=RECEIVER)),
                                 expected("204 No Content"))
        after = metrics(RECEIVER)
        self.assertEqual(after["sealpost_decryptions_total"], before["sealpost_decryptions_total"])
        # Without a MAC, from a device that has authenticated: decrypted, but kept apart all the same.
        unsigned = seal("T=22.0C;RH=47%;door=open")
        self.assertEqual(undated(exchange(raw_post(f"device={device}&sealed={unsigned}".encode()),
                                          address=RECEIVER)), expected("204 No Content"))
        self.assertEqual(undated(exchange(raw_post(form.encode()), address=RECEIVER)), expected("204 No Content"))
        after = metrics(RECEIVER)
        counts = {result: after[f'sealpost_posts_total{{result="{result}"}}']
                  - before[f'sealpost_posts_total{{result="{result}"}}'] for result in ("kept", "forged", "duplicate")}
        self.assertEqual(counts, {"kept": 0, "forged": len(forgeries) + 1, "duplicate": 1})
        self.assertEqual(self.receiver.command("export", "--authentic").stdout, kept_before)
        authentic = [json.loads(line) for line in kept_before.decode().splitlines()]
        self.assertEqual([(r["device"], r["authentic"]) for r in authentic if r["text"] == f"{text} dash"],
                         [("board-0042", True)])
        log = self.receiver.log()
        self.assertEqual(log.count(b"naming device board-0042 is forged"), 1, log)
        self.assertIn(b"naming device board-0043 is forged: its MAC is none of the device's keys'", log)
        self.assertIn(b"naming no device is forged: its MAC is none of the device's keys'", log)

        # Required of every device from the start: the same post opens, one without a MAC does not.
        with tempfile.TemporaryDirectory() as work:
            strict = Receiver(work, KEY, "127.0.0.12", extra=("--require-mac",))
            try:
                for body in (form, f"device={device}&sealed={seal('without a MAC')}", f"sealed={seal('nor this')}"):
                    self.assertEqual(undated(exchange(raw_post(body.encode()), address="127.0.0.12")),
                                     expected("204 No Content"))
                self.assertEqual([(record["text"], record["authentic"]) for record in map(
                    json.loads, strict.command("export").stdout.splitlines())], [(f"{text} dash", True)])
                self.assertIn(b"is forged: it carries no MAC, which this receiver requires", strict.log())
            finally:
                self.assertEqual(strict.stop(), 0, strict.log())

    def test_arguments_refused_before_anything_is_sealed(self):
        work = pathlib.Path(self.work.name)
        (work / "empty").write_bytes(b"")
        (work / "breaks").write_bytes(b"\r\n")
        (work / "zero").write_bytes(b"ab\0c\n")
        cases = [
            # options, host, page, text (None: none), status, message
            ([], UP, "/", None, 64, "HOST, PAGE and TEXT are needed, and 2 arguments were given"),
            (["--flush"], UP, "/", "r", 64, "unknown option"),
            (["-d", ""], UP, "/", "r", 64, "the device name '' holds other characters than A-Z a-z 0-9 . _ -"),
            (["-d", "pump 1"], UP, "/", "r", 64, "the device name 'pump 1' holds other characters"),
            (["-d", "pümp"], UP, "/", "r", 64, "the device name 'pümp' holds other characters"),
            (["-d", "d" * 65], UP, "/", "r", 64, "the device name is longer than 64 characters"),
            (["-k", str(work / "missing")], UP, "/", "r", 64, f"cannot read the key file {work}/missing"),
            (["-k", str(work / "empty")], UP, "/", "r", 64, "holds 0 bytes; a key takes 1 to 4096"),
            (["-k", str(work / "breaks")], UP, "/", "r", 64, "holds 2 bytes; a key takes 1 to 4096"),
            (["-k", str(work / "zero")], UP, "/", "r", 64, f"the key file {work}/zero holds a zero byte"),
            (["-t", "0"], UP, "/", "r", 64, "-t takes a number of seconds from 1 to 86400, not '0'"),
            (["-t", "010"], UP, "/", "r", 64, "not '010'"),
            (["-n", "100001"], UP, "/", "r", 64, "-n takes a number of entries from 1 to 100000"),
            (["-w", "3601"], UP, "/", "r", 64, "-w takes a number of seconds from 0 to 3600, not '3601'"),
            (["-w", "1m"], UP, "/", "r", 64, "not '1m'"),
            (["-w", "-1"], UP, "/", "r", 64, "not '-1'"),
            (["-w", "07"], UP, "/", "r", 64, "not '07'"),
            ([], "a\nb", "/", "r", 64, "is not a name or an IPv4 address"),
            ([], UP, "page", "r", 64, "the page must start with /"),
            ([], UP, "/a b", "r", 64, "the page holds a blank or a control character"),
            ([], UP, "/", "x" * 65449, 64, "the text holds 65449 bytes; at most 65448 can be sent"),
            (["-A"], UP, "/", "x" * 65489, 64, "the text holds 65489 bytes; at most 65488 can be sent"),
            ([], UP, "/", "r", 69, "formsend is neither on PATH nor beside"),
            ([], UP, "/", "r", 69, "bfmac is neither on PATH nor beside"),
        ]
        # Without the folder of links, bfseal and formsend are nowhere; beside them alone, bfmac is.
        missing = {"formsend": "/usr/bin:/bin"}
        if not BOARD_ROOT:
            missing["bfmac"] = path_of(work / "no-bfmac", {}, {name: BUILD / name / name for name in
                                                              ("bfseal", "formsend")}) + ":/usr/bin:/bin"
        for shell, (command, path, _) in self.shells.items():
            for options, host, page, text, status, message in cases:
                if status == 69 and BOARD_ROOT:
                    continue
                with self.subTest(shell=shell, options=options, host=host, page=page):
                    spool = work / "refused"
                    key = [] if options[:1] == ["-k"] else ["-k", str(KEY_FILE)]
                    run_path = missing[message.split()[0]] if status == 69 else path
                    run = subprocess.run(command + key + options + ["-s", str(spool), host, page]
                                         + ([] if text is None else [text]), capture_output=True,
                                         env=dict(os.environ, PATH=run_path), timeout=60)
                    self.assertEqual(run.returncode, status, run.stderr)
                    self.assertIn(message, run.stderr.decode())
                    self.assertFalse(spool.exists())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
