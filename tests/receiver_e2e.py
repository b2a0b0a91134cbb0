"""sealpost-receiver on port 80 of the loopback in a private network
namespace (see in_netns.sh), with the key as a systemd credential, sent
sealed texts by the built bfseal and formsend; under qemu-arm in the armhf
build, so the trip starts and ends on the board.

Usage: receiver_e2e.py BUILD_DIR [LAUNCHER...]
"""
import hashlib
import hmac
import json
import os
import pathlib
import random
import re
import secrets
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

from formsend_e2e import bring_loopback_up

BUILD = pathlib.Path(sys.argv[1]).resolve()
LAUNCHER = sys.argv[2:]
RECEIVER = BUILD / "receiver" / "sealpost-receiver"
# A key of this run's own: found in a process's command line, it leaked.
KEY = ("k\xe9y " + secrets.token_hex(6)).encode()
OTHER_KEY = b"an old key"
TEXTS = ["Attack at dawn", "", "tab\tand\r\nline breaks", "Grüße, 5 €, 😀" * 20, "x" * 4000,
         "\U0010ffff\u00a0\ud7ff\ue000", "line\u2028and\u2029paragraph \"quoted\" \\"]
# Opened under the right key, but not text: not UTF-8, or control characters.
NOT_TEXT = [b"caf\xe9", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xff",
            b"\x1b[0m", b"a\x7f", b"\xc2\x85", b"\xc2\x9f", b"\x0b\x0c"]
FORM = b"Content-Type: application/x-www-form-urlencoded\r\n"
MIB = 1 << 20
DATE = re.compile(rb"\r\nDate: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT\r\n")


def program(name, *args, **kwargs):
    return subprocess.run(LAUNCHER + [str(BUILD / name / name), *args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120, **kwargs)


def seal(text, key=KEY):
    run = program("bfseal", text if isinstance(text, bytes) else text.encode(), key)
    assert run.returncode == 0, run.stderr
    return run.stdout.decode()


def damaged(sealed, index, bits):
    """The sealed text with byte index of its IV changed by bits."""
    changed = bytearray.fromhex(sealed)
    changed[index] ^= bits
    return changed.hex()


def expected(status, reason=None):
    """The whole answer to an HTTP/1.0 request, its Date left out."""
    head = f"HTTP/1.1 {status}\r\nDate: -\r\nConnection: close\r\n"
    if reason is None:
        return head + "\r\n"
    extra = "Retry-After: 5\r\n" if status.startswith("503") else ""
    return (head + f"Content-Type: text/plain; charset=utf-8\r\n{extra}Content-Length: {len(reason) + 1}\r\n\r\n"
            + reason + "\n")


def undated(answer):
    """The answer with its Date's value, checked for its shape, left out."""
    return DATE.sub(b"\r\nDate: -\r\n", answer, count=1).decode()


def post(body, address="127.0.0.1"):
    """The whole answer formsend got, its Date left out."""
    run = program("formsend", address, "/", body)
    assert run.returncode == 0, run.stderr
    return undated(run.stdout.split(b"\n", 1)[1])


def exchange(request, end_sending=False, address="127.0.0.1"):
    """Everything the receiver sends back for a raw request."""
    with socket.create_connection((address, 80), timeout=30) as connection:
        connection.sendall(request)
        if end_sending:
            connection.shutdown(socket.SHUT_WR)
        return b"".join(iter(lambda: connection.recv(65536), b""))


def rest(connection):
    """What a connection still brings until it closes."""
    try:
        return b"".join(iter(lambda: connection.recv(65536), b""))
    except ConnectionResetError:
        return b""


def raw_post(body, content_type=b"application/x-www-form-urlencoded"):
    return (b"POST / HTTP/1.0\r\nContent-Type: " + content_type + b"\r\nContent-Length: %d\r\n\r\n" % len(body)
            + body)


class Receiver:
    """sealpost-receiver with the key as its systemd credential and the
    store in its state folder, as the unit runs it, in the folder work."""

    def __init__(self, work, key, address="127.0.0.1", store=None, extra=()):
        self.work = pathlib.Path(work)
        (self.work / "credentials").mkdir(exist_ok=True)
        (self.work / "credentials" / "sealpost-key").write_bytes(key)
        # As DynamicUser= makes it: the state folder is a link into private/.
        if not (self.work / "state").exists():
            (self.work / "private" / "state").mkdir(parents=True)
            (self.work / "state").symlink_to("private/state")
        env = {name: value for name, value in os.environ.items() if not name.startswith("LISTEN_")}
        env.update(CREDENTIALS_DIRECTORY=str(self.work / "credentials"), STATE_DIRECTORY=str(self.work / "state"))
        self.store = pathlib.Path(store or self.work / "state" / "received.db")
        self.log_path = self.work / "log"
        command = LAUNCHER + [str(RECEIVER), "--listen", f"{address}:80", *extra]
        if store:
            command += ["--store", f"sqlite:{store}"]
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=env)
        deadline = time.monotonic() + 60
        while b"listening" not in self.log() and self.process.poll() is None:
            assert time.monotonic() < deadline, self.log()
            time.sleep(0.02)

    def log(self):
        return self.log_path.read_bytes()

    def rows(self, table="received"):
        column = "text" if table == "received" else "sealed"
        db = sqlite3.connect(f"file:{self.store}?mode=ro", uri=True)
        try:
            rows = db.execute(f"select received_at, peer, device, {column} from {table} order by id").fetchall()
        finally:
            db.close()
        for received_at, peer, device, _ in rows:
            assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", received_at) and peer == "127.0.0.1" \
                and device is None, (received_at, peer, device)
        return [row[3] for row in rows]

    def records(self, table="received"):
        column = "text" if table == "received" else "sealed"
        db = sqlite3.connect(f"file:{self.store}?mode=ro", uri=True)
        try:
            return db.execute(f"select peer, device, {column} from {table} order by id").fetchall()
        finally:
            db.close()

    def command(self, *args):
        return subprocess.run(LAUNCHER + [str(RECEIVER), *args, "--store", f"sqlite:{self.store}"],
                              capture_output=True, timeout=120)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=60)


class ReceiverTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        bring_loopback_up()
        cls.work = tempfile.TemporaryDirectory()
        # One trailing CR LF is not part of the key.
        cls.receiver = Receiver(cls.work.name, KEY + b"\r\n")

    @classmethod
    def tearDownClass(cls):
        status = cls.receiver.stop()
        log = cls.receiver.log()
        cls.work.cleanup()
        assert status == 0, log

    def test_every_sealed_text_gets_the_same_answer_and_the_store_what_bfopen_opens(self):
        sealed = seal("Attack at dawn")
        kept = expected("204 No Content")
        bad = "400 Bad Request"
        # Exactly 1 MiB: a field padding the form to the limit.
        full = "sealed=" + sealed + "&pad="
        cases = [(f"sealed={seal(text)}", kept) for text in TEXTS + NOT_TEXT]
        cases += [
            ("a=1&s%65aled=" + seal("upper-case hex, a name encoded").upper() + "&b=2", kept),
            (full + "x" * (MIB - len(full)), kept),
            ("sealed=" + seal("Attack at dawn", b"another key"), kept),
            # A changed IV changes the text by the same bits: "Attack\0x", "\xc1ttack", "Attack\x01".
            ("sealed=" + damaged(seal("Attack"), 7, ord("x")), kept),
            ("sealed=" + damaged(seal("Attack"), 0, 0x80), kept),
            ("sealed=" + damaged(seal("Attack"), 6, 0x01), kept),
            ("a=1", expected(bad, "the form needs exactly one field sealed")),
            ("sealed", expected(bad, "the field sealed is too short: 0 hex digits, the IV alone takes 16")),
            (f"sealed={sealed}&sealed={sealed}", expected(bad, "the form needs exactly one field sealed")),
            (f"sealed={sealed}" + "&a" * 100, expected(bad, "the form has more than 100 fields")),
            (f"sealed=%20{sealed}", expected(bad, "character 1 of the field sealed is not a hex digit")),
            (f"sealed={sealed[:4]}%00{sealed[4:]}", expected(bad, "character 5 of the field sealed is not a hex digit")),
            (f"sealed={sealed}%0A", expected(bad, "character 49 of the field sealed is not a hex digit")),
            (f"sealed={sealed[:20]}g{sealed[21:]}", expected(bad, "character 21 of the field sealed is not a hex digit")),
            ("sealed=" + sealed[:-1], expected(bad, "the field sealed has an odd number of hex digits (47)")),
            ("sealed=" + sealed[:14], expected(bad, "the field sealed is too short: 14 hex digits, the IV alone takes 16")),
            ("sealed=" + sealed[:-2], expected(
                bad, "the field sealed is not whole blocks: 30 hex digits after the IV, not a multiple of 16")),
        ]
        kept_before, unopened_before = len(self.receiver.rows()), len(self.receiver.rows("unopened"))
        refused_before = self.receiver.log().count(b"does not open")
        opened, not_opened, seen = [], [], set()
        for body, answer in cases:
            with self.subTest(body=body[:60]):
                if len(body) >= 131072:
                    got = undated(exchange(raw_post(body.encode())))
                else:
                    got = post(body)
                self.assertEqual(got, answer)
                if answer == kept:
                    hex = re.search("(?:^|&)s(?:ealed|%65aled)=([^&]*)", body)[1]
                    # bfseal seals a text alike within one second: the same post, kept once.
                    if hex.lower() in seen:
                        continue
                    seen.add(hex.lower())
                    run = program("bfopen", "-", KEY, input=hex.encode())
                    if run.returncode == 0:
                        opened.append(run.stdout.decode())
                    else:
                        not_opened.append(hex)
        self.assertEqual(opened[:len(TEXTS)], TEXTS)
        self.assertEqual(self.receiver.rows()[kept_before:], opened)
        self.assertEqual(self.receiver.rows("unopened")[unopened_before:], not_opened)
        log = self.receiver.log()
        self.assertEqual(log.count(b"does not open") - refused_before, len(not_opened))
        self.assertNotIn(KEY, log)
        self.assertNotIn(b"Attack at dawn", log)
        # export gives every text back, one record a line whatever it holds.
        lines = self.receiver.command("export").stdout.split(b"\n")
        self.assertEqual(lines[-1], b"")
        exported = [json.loads(line) for line in lines[:-1]]
        self.assertEqual([record["text"] for record in exported], self.receiver.rows())
        self.assertTrue(all(set(record) == {"received", "from", "text"} for record in exported))
        self.assertIn(rb"line\u2028and\u2029paragraph \"quoted\" \\", b"\n".join(lines))

    def test_what_the_request_alone_shows(self):
        body = f"sealed={seal('Attack at dawn')}".encode()
        head = b"POST / HTTP/1.0\r\n" + FORM
        cases = [
            # request, whether to end sending after it, the answer (None: none, the connection closed)
            (head + b"\r\n" + body, False, expected("411 Length Required", "the request needs a Content-Length")),
            (head + b"Content-Length: 1000000000000000\r\n\r\n", False,
             expected("413 Content Too Large", "the body may hold 1048576 bytes at most")),
            # Refused before the body is sent: it is not read.
            (head + b"Content-Length: %d\r\n\r\n" % (MIB + 1), False,
             expected("413 Content Too Large", "the body may hold 1048576 bytes at most")),
            # Cut short on a block boundary, which would open as a shorter text: nothing is kept.
            (head + b"Content-Length: %d\r\n\r\n" % len(body) + body[:-16], True, None),
            (b"GET / HTTP/1.0\r\n\r\n", False, expected(
                "405 Method Not Allowed", "send the sealed text in a POST").replace("Content-Length", "Allow: POST\r\n"
                                                                                     "Content-Length")),
            (raw_post(body, b"text/plain"), False, expected("415 Unsupported Media Type",
                                                           "send a form: application/x-www-form-urlencoded")),
            (raw_post(body, b"Application/X-WWW-Form-URLEncoded; charset=UTF-8"), False, expected("204 No Content")),
        ]
        kept_before = len(self.receiver.rows())
        for request, end_sending, answer in cases:
            with self.subTest(request=request[:80]):
                got = exchange(request, end_sending)
                self.assertEqual(undated(got) if answer else got, answer or b"")
        self.assertEqual(self.receiver.rows()[kept_before:], ["Attack at dawn"])
        # A Content-Length that is no number: libmicrohttpd refuses it itself.
        answer = exchange(head + b"Content-Length: \xc2\xb2\r\n\r\n" + body)
        self.assertTrue(answer.startswith(b"HTTP/1.1 400 Bad Request\r\n"), answer)

    def test_a_burst_of_1000_connections_is_answered(self):
        request = raw_post(b"sealed=zz")
        connections = [socket.create_connection(("127.0.0.1", 80), timeout=30) for _ in range(1000)]
        for connection in connections:
            connection.sendall(request)
        answers = []
        for connection in connections:
            with connection:
                answers.append(connection.recv(65536).split(b"\r\n")[0])
        self.assertEqual(answers, [b"HTTP/1.1 400 Bad Request"] * 1000)

    def test_stalled_clients_hold_up_nobody_and_are_cut_off(self):
        stalled = [socket.create_connection(("127.0.0.1", 80), timeout=30) for _ in range(64)]
        try:
            for i, connection in enumerate(stalled):
                # Half a request, or a byte now and then: neither may hold a connection past 10 s.
                connection.sendall((b"POST / HTTP/1.0\r\n" + FORM + b"Content-Length: 100\r\n\r\nsealed=")[:20 + i])
            started = time.monotonic()
            self.assertEqual(post(f"sealed={seal('while others stall')}"), expected("204 No Content"))
            self.assertLess(time.monotonic() - started, 1)
            self.assertEqual(self.receiver.rows()[-1], "while others stall")
            for _ in range(4):
                time.sleep(2)
                for connection in stalled[:32]:
                    connection.sendall(b"0")
            self.assertEqual([rest(connection) for connection in stalled], [b""] * 64)
            self.assertLess(time.monotonic() - started, 14)
        finally:
            for connection in stalled:
                connection.close()

    def test_the_key_is_in_no_command_line(self):
        pids = [entry for entry in os.listdir("/proc") if entry.isdigit()]
        self.assertGreater(len(pids), 1)
        for pid in pids:
            try:
                command_line = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes()
            except OSError:
                continue
            self.assertNotIn(KEY, command_line, pid)

    def test_the_answers_time_does_not_tell_and_reopen_moves_what_an_old_key_sealed(self):
        rounds = 200
        right = [raw_post(f"sealed={seal('reading %03d' % i)}".encode()) for i in range(rounds)]
        wrong = [raw_post(f"sealed={seal('reading %03d' % i, OTHER_KEY)}".encode()) for i in range(rounds)]
        order = [True] * rounds + [False] * rounds
        random.Random(7).shuffle(order)
        times = {True: [], False: []}
        with tempfile.TemporaryDirectory() as work:
            receiver = Receiver(work, KEY, "127.0.0.4")
            try:
                for opens in order:
                    request = (right if opens else wrong).pop()
                    with socket.create_connection(("127.0.0.4", 80), timeout=30) as connection:
                        started = time.perf_counter()
                        connection.sendall(request)
                        answer = rest(connection)
                        times[opens].append(time.perf_counter() - started)
                    self.assertTrue(answer.startswith(b"HTTP/1.1 204 No Content\r\n"), answer)
                # reopen runs beside the receiver, which goes on keeping posts.
                self.assertEqual(len(receiver.rows("unopened")), rounds)
                (pathlib.Path(work) / "old-key").write_bytes(OTHER_KEY + b"\n")
                run = receiver.command("reopen", "--key-file", str(pathlib.Path(work) / "old-key"))
                self.assertEqual(run.stdout.decode(), f"moved {rounds} of {rounds} unopened posts to received\n",
                                 run.stderr)
                self.assertEqual(post(f"sealed={seal('after reopen')}", "127.0.0.4"), expected("204 No Content"))
            finally:
                self.assertEqual(receiver.stop(), 0)
            # The best threshold on one answer's time tells the two apart
            # with accuracy 1/2 + D/2, D the two samples' Kolmogorov-Smirnov
            # distance; chance alone makes it over 0.195 once in 1,000 runs.
            seen = {True: 0, False: 0}
            distance = 0
            for _, opens in sorted((t, opens) for opens in times for t in times[opens]):
                seen[opens] += 1
                distance = max(distance, abs(seen[True] - seen[False]) / rounds)
            medians = {opens: sorted(values)[rounds // 2] * 1e3 for opens, values in times.items()}
            print(f"\n  timing: the best threshold tells {0.5 + distance / 2:.3f} of {2 * rounds} posts apart; "
                  f"medians {medians[True]:.3f} ms opened, {medians[False]:.3f} ms not", file=sys.stderr)
            self.assertLess(distance, 1.95 * (2 / rounds) ** 0.5)
            self.assertEqual(receiver.rows("unopened"), [])
            self.assertEqual(sorted(receiver.rows()),
                             sorted(["reading %03d" % i for i in range(rounds)] * 2 + ["after reopen"]))

    def test_a_full_disk_gets_503_whatever_the_key_and_loses_nothing_after(self):
        with tempfile.TemporaryDirectory() as work:
            disk = pathlib.Path(work) / "disk"
            disk.mkdir()
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", str(disk)], check=True)
            try:
                receiver = Receiver(work, KEY, "127.0.0.2", store=disk / "received.db")
                try:
                    filler = disk / "filler"
                    fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
                    try:
                        while os.write(fd, b"\0" * 4096):
                            pass
                    except OSError:
                        pass
                    os.close(fd)
                    unavailable = expected("503 Service Unavailable",
                                           "the store cannot keep the text now; send it again later")
                    for key in (KEY, OTHER_KEY, KEY):
                        self.assertEqual(post(f"sealed={seal('while the disk is full', key)}", "127.0.0.2"),
                                         unavailable)
                    filler.unlink()
                    self.assertEqual(post(f"sealed={seal('after space is freed')}", "127.0.0.2"),
                                     expected("204 No Content"))
                    self.assertEqual(receiver.rows(), ["after space is freed"])
                    self.assertIn(b"a commit of 1 post failed, answered 503: ", receiver.log())
                finally:
                    self.assertEqual(receiver.stop(), 0)
            finally:
                subprocess.run(["umount", str(disk)], check=True)

    def test_key_lengths_and_what_the_receiver_cannot_start_with(self):
        cases = [
            # the key file, the key it holds (None: refused at start), the message
            (b"abc\n", b"abc", None),
            (bytes(range(33, 93)), bytes(range(33, 93)), None),
            (b"\n", None, "sealpost-receiver: key file {work}/credentials/sealpost-key is empty\n"),
            (KEY, None, "sealpost-receiver: cannot open the store {work}/missing/received.db: "
                        "unable to open database file\n"),
        ]
        for key_file, key, message in cases:
            with self.subTest(key_file=key_file), tempfile.TemporaryDirectory() as work:
                store = f"{work}/missing/received.db" if key_file == KEY else None
                receiver = Receiver(work, key_file, "127.0.0.3", store=store, extra=("--unopened-limit", "70"))
                if key is None:
                    self.assertEqual(receiver.process.wait(timeout=60), 1)
                    self.assertEqual(receiver.log().decode(), message.format(work=work))
                    continue
                self.assertEqual(post(f"sealed={seal('opened', key)}", "127.0.0.3"), expected("204 No Content"))
                # The oldest unopened posts go first once they hold more than the limit.
                wrong = [seal(f"wrong {i}", OTHER_KEY) for i in range(3)]
                for sealed in wrong:
                    self.assertEqual(post(f"sealed={sealed}", "127.0.0.3"), expected("204 No Content"))
                self.assertEqual(receiver.stop(), 0)
                self.assertEqual(receiver.rows(), ["opened"])
                self.assertEqual(receiver.rows("unopened"), wrong[1:])


def metrics(address):
    """The counts /metrics shows, by their names and labels."""
    with socket.create_connection((address, 9580), timeout=30) as connection:
        connection.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
        answer = rest(connection).decode()
    head, body = answer.split("\r\n\r\n", 1)
    assert head.startswith("HTTP/1.1 200 OK\r\n") and "text/plain; version=0.0.4" in head, head
    return {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1])
            for line in body.splitlines() if not line.startswith("#")}


class FleetTest(unittest.TestCase):
    """A key per device, kept once, watched, behind a proxy."""

    @classmethod
    def setUpClass(cls):
        bring_loopback_up()

    def test_each_device_opens_with_its_own_keys_once_and_the_counts_show_it(self):
        with tempfile.TemporaryDirectory() as work:
            keys = pathlib.Path(work) / "keys"
            (keys / "b2").mkdir(parents=True)
            (keys / "d4").mkdir()
            (keys / "a1").write_bytes(b"key of a1\n")
            (keys / "b2" / "old").write_bytes(b"old key of b2")
            (keys / "b2" / "new").write_bytes(b"new key of b2")
            (keys / ".a1.swp").write_bytes(b"")
            (pathlib.Path(work) / "master").write_bytes(b"the master key\n")
            derive = subprocess.run(LAUNCHER + [str(RECEIVER), "derive-key", "--master-key", f"{work}/master", "c3"],
                                    capture_output=True, timeout=120)
            derived = derive.stdout.decode().strip()
            self.assertEqual(derived, hmac.new(b"the master key", b"c3", hashlib.sha256).hexdigest(), derive.stderr)
            receiver = Receiver(work, KEY, "127.0.0.5", extra=(
                "--keys", str(keys), "--master-key", f"{work}/master", "--metrics", "127.0.0.5:9580",
                "--trusted-proxy", "::ffff:127.0.0.1"))
            try:
                before = metrics("127.0.0.5")
                kept = expected("204 No Content")
                bad = expected("400 Bad Request", "the field device must be given once, as 1 to 64 of "
                                                  "A-Z a-z 0-9 . _ -")
                cases = [
                    # the form's device part, the key sealed with, times posted, the answer, whether kept
                    ("device=a1&", b"key of a1", 3, kept, True),
                    ("device=b2&", b"old key of b2", 1, kept, True),
                    ("device=b%32&", b"new key of b2", 1, kept, True),
                    ("device=b2&", b"key of a1", 1, kept, False),
                    ("device=c3&", derived.encode(), 1, kept, True),
                    ("device=c3&", b"key of a1", 1, kept, False),
                    # No device, or one without keys: like a wrong key.
                    ("", b"key of a1", 1, kept, False),
                    ("device=zz&", b"key of a1", 1, kept, False),
                    # An empty folder stands instead of the derived key.
                    ("device=d4&", subprocess.run(
                        LAUNCHER + [str(RECEIVER), "derive-key", "--master-key", f"{work}/master", "d4"],
                        capture_output=True, timeout=120).stdout.strip(), 1, kept, False),
                    ("device=a+1&", b"key of a1", 1, bad, False),
                    ("device=&", b"key of a1", 1, bad, False),
                    ("device=" + "x" * 65 + "&", b"key of a1", 1, bad, False),
                    ("device=a1&device=a1&", b"key of a1", 1, bad, False),
                ]
                received, unopened = [], []
                for device, key, times, answer, opens in cases:
                    with self.subTest(device=device, key=key):
                        text = f"reading of {device or 'none'} under {key[:12]!r}"
                        body = device + "sealed=" + seal(text, key)
                        for _ in range(times):
                            self.assertEqual(post(body, "127.0.0.5"), answer)
                        name = re.match(r"device=([^&]*)", device)
                        name = name and name[1].replace("%32", "2")
                        if answer == kept:
                            (received if opens else unopened).append((name, text if opens else body[-48:]))
                after = metrics("127.0.0.5")
                with socket.create_connection(("127.0.0.5", 9580), timeout=30) as connection:
                    connection.sendall(b"GET /healthz HTTP/1.0\r\n\r\n")
                    self.assertTrue(rest(connection).startswith(b"HTTP/1.1 200 OK\r\n"))
                moved = {result: after[f'sealpost_posts_total{{result="{result}"}}']
                         - before[f'sealpost_posts_total{{result="{result}"}}']
                         for result in ("kept", "duplicate", "not_opened", "refused", "unavailable")}
                self.assertEqual(moved, {"kept": 4, "duplicate": 2, "not_opened": 5, "refused": 4,
                                         "unavailable": 0})
                self.assertEqual(after["sealpost_commit_seconds_count"] - before["sealpost_commit_seconds_count"],
                                 11)
                self.assertEqual([(device, text) for _, device, text in receiver.records()], received)
                self.assertEqual([(device, sealed[-48:]) for _, device, sealed in receiver.records("unopened")],
                                 unopened)
                self.assertIn(b"a post from 127.0.0.1 naming device zz does not open: wrong key or damaged",
                              receiver.log())
                self.assertIn(b"naming device d4 does not open: no key for the device", receiver.log())
                self.assertIn(b"naming no device does not open: no key without a device", receiver.log())
                exported = map(json.loads, receiver.command("export", "--device", "b2").stdout.splitlines())
                self.assertEqual([(record["device"], record["text"]) for record in exported],
                                 [row for row in received if row[0] == "b2"])
                self.assertEqual([(record["device"], record["not_opened"]) for record in map(
                    json.loads, receiver.command("export", "--not-opened").stdout.splitlines())],
                    [(None, 1), ("b2", 1), ("c3", 1), ("d4", 1), ("zz", 1)])

                # A reload with a post in flight: b2's old key goes, e5 comes; the post is answered.
                in_flight = socket.create_connection(("127.0.0.5", 80), timeout=30)
                body = f"device=b2&sealed={seal('sent across a reload', b'new key of b2')}".encode()
                request = raw_post(body)
                in_flight.sendall(request[:-10])
                (keys / "b2" / "old").unlink()
                (keys / "e5").write_bytes(b"key of e5")
                receiver.process.send_signal(signal.SIGHUP)
                self.wait_for(receiver, b"read the keys again: 4 devices with 3 keys, and the master key")
                in_flight.sendall(request[-10:])
                self.assertTrue(rest(in_flight).startswith(b"HTTP/1.1 204 No Content\r\n"))
                in_flight.close()
                for device, key, opens in (("b2", b"old key of b2", False), ("e5", b"key of e5", True)):
                    text = f"after the reload, {device}"
                    self.assertEqual(post(f"device={device}&sealed={seal(text, key)}", "127.0.0.5"), kept)
                    self.assertEqual(receiver.records()[-1][2] == text, opens)
                # A folder that cannot be read leaves the keys in force.
                (keys / "f6").write_bytes(b"")
                receiver.process.send_signal(signal.SIGHUP)
                self.wait_for(receiver, f"key file {keys}/f6 is empty; keeps the keys it had".encode())
                self.assertEqual(post(f"device=e5&sealed={seal('still e5', b'key of e5')}", "127.0.0.5"), kept)
                self.assertEqual(receiver.records()[-1][1:], ("e5", "still e5"))

                # Only the trusted proxy names the client, by the last address it added.
                for source, forwarded, peer in (("127.0.0.1", b"192.0.2.1, 203.0.113.9,198.51.100.7", "198.51.100.7"),
                                                ("127.0.0.1", b"2001:db8::1", "2001:db8::1"),
                                                ("127.0.0.1", b"198.51.100.7, not an address", "127.0.0.1"),
                                                ("127.0.0.6", b"198.51.100.7", "127.0.0.6")):
                    with self.subTest(source=source, forwarded=forwarded):
                        text = f"through {source} as {forwarded!r}"
                        body = f"device=a1&sealed={seal(text, b'key of a1')}".encode()
                        with socket.create_connection(("127.0.0.5", 80), timeout=30,
                                                      source_address=(source, 0)) as connection:
                            connection.sendall(raw_post(body).replace(
                                b"\r\n\r\n", b"\r\nX-Forwarded-For: " + forwarded + b"\r\n\r\n", 1))
                            self.assertTrue(rest(connection).startswith(b"HTTP/1.1 204 No Content\r\n"))
                        self.assertEqual(receiver.records()[-1], (peer, "a1", text))
            finally:
                self.assertEqual(receiver.stop(), 0, receiver.log())

    def test_a_folder_of_keys_it_cannot_take_stops_it_with_the_reason(self):
        cases = [
            # what the folder holds (None: there is none), the message
            ({"a b": b"k"}, "{keys}/a b is not named for a device: 1 to 64 of A-Z a-z 0-9 . _ -"),
            ({"a1/inner/k": b"k"}, "{keys}/a1/inner is a folder: a device's folder holds key files only"),
            ({"a1": b"k", "b2/new": b"\r\n"}, "key file {keys}/b2/new is empty"),
            (None, "cannot read the folder of keys {keys}: No such file or directory"),
        ]
        for files, message in cases:
            with self.subTest(files=files), tempfile.TemporaryDirectory() as work:
                keys = pathlib.Path(work) / "keys"
                for name, content in (files or {}).items():
                    (keys / name).parent.mkdir(parents=True, exist_ok=True)
                    (keys / name).write_bytes(content)
                receiver = Receiver(work, KEY, "127.0.0.7", extra=("--keys", str(keys)))
                self.assertEqual(receiver.process.wait(timeout=60), 1)
                self.assertEqual(receiver.log().decode(), f"sealpost-receiver: {message.format(keys=keys)}\n")

    def wait_for(self, receiver, line):
        deadline = time.monotonic() + 30
        while line not in receiver.log():
            self.assertLess(time.monotonic(), deadline, receiver.log())
            time.sleep(0.02)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
