"""sealpost-receiver on port 80 of the loopback in a private network
namespace (see in_netns.sh), with the key as a systemd credential, sent
sealed texts by the built bfseal and formsend; under qemu-arm in the armhf
build, so the trip starts and ends on the board.

Usage: receiver_e2e.py BUILD_DIR [LAUNCHER...]
"""
import fcntl
import hashlib
import hmac
import json
import os
import pathlib
import random
import re
import resource
import secrets
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

from formsend_e2e import bring_loopback_up

BUILD = pathlib.Path(sys.argv[1]).resolve()
LAUNCHER = sys.argv[2:]
# The tests to run, where only some are: the timing test runs so, alone on
# the machine, since other tests' load on the caches and cores widens any
# difference in time it looks for.
ALONE = os.environ.get("RECEIVER_E2E_TESTS")
# AddressSanitizer's checks and allocator cost by the byte in instrumented
# code: a 64 KiB text's time then measures them, not the receiver.
SANITIZED = "SANITIZE:BOOL=ON" in (BUILD / "CMakeCache.txt").read_text(errors="replace") \
    if (BUILD / "CMakeCache.txt").exists() else False
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


def same_second(*texts):
    """The texts sealed within one second, so under one IV: alike up to
    the first block where the texts differ."""
    while True:
        sealed = [seal(text) for text in texts]
        if len({hex[:16] for hex in sealed}) == 1:
            return sealed


def post_mac(key, device, hex):
    """The MAC a post carries, made with Python's hmac apart from bfmac."""
    mac_key = hmac.new(key, b"sealpost-mac-key-v1", hashlib.sha256).digest()
    return hmac.new(mac_key, f"sealpost-post-v1\n{device or ''}\n{hex}".encode(), hashlib.sha256).hexdigest()


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


def unsent(connection):
    """The bytes a connection has not had acknowledged yet (SIOCOUTQ)."""
    return struct.unpack("i", fcntl.ioctl(connection, termios.TIOCOUTQ, b"\0" * 4))[0]


def raw_post(body, content_type=b"application/x-www-form-urlencoded"):
    return (b"POST / HTTP/1.0\r\nContent-Type: " + content_type + b"\r\nContent-Length: %d\r\n\r\n" % len(body)
            + body)


class Receiver:
    """sealpost-receiver with the key as its systemd credential and the
    store in its state folder, as the unit runs it, in the folder work."""

    def __init__(self, work, key, address="127.0.0.1", store=None, extra=()):
        self.work = pathlib.Path(work)
        self.address = address
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

    def wait_for(self, line):
        deadline = time.monotonic() + 30
        while line not in self.log():
            assert time.monotonic() < deadline, self.log()
            time.sleep(0.02)

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
        # Room for thousands of connections, here and in the receiver.
        resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
        cls.work = tempfile.TemporaryDirectory()
        # One trailing CR LF is not part of the key.
        cls.receiver = Receiver(cls.work.name, KEY + b"\r\n")

    @classmethod
    def tearDownClass(cls):
        status = cls.receiver.stop()
        log = cls.receiver.log()
        # The receiver trims unopened as it stops: the default bound keeps
        # the 100 KB post.
        longest = max(map(len, cls.receiver.rows("unopened")), default=0)
        cls.work.cleanup()
        assert status == 0, log
        assert longest > 100000, f"under the default bound, the longest unopened post left has {longest} digits"

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
            # One IV and 200 bytes alike: two posts all the same.
            *((f"sealed={hex}", kept) for hex in same_second("p" * 200 + " one", "p" * 200 + " two")),
            # About 100 KB of hex that does not open stays, under the default bound.
            ("sealed=" + seal("y" * 50000, OTHER_KEY), kept),
            (f"sealed={sealed}" + "&a" * 99, kept),
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
        self.assertTrue(all(set(record) == {"received", "from", "text", "authentic"} and record["authentic"] is False
                            for record in exported))
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
            # Chunked, whatever length it claims besides: its end is not bounded before it is read.
            (head + b"Transfer-Encoding: chunked\r\nContent-Length: %d\r\n\r\n" % len(body) + body, False,
             expected("411 Length Required", "the request needs a Content-Length, and no Transfer-Encoding")),
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

    def test_a_burst_of_1000_connections_is_answered_and_40_posts_at_once_kept(self):
        request = raw_post(b"sealed=zz")
        connections = [socket.create_connection(("127.0.0.1", 80), timeout=30) for _ in range(1000)]
        for connection in connections:
            connection.sendall(request)
        answers = []
        for connection in connections:
            with connection:
                answers.append(connection.recv(65536).split(b"\r\n")[0])
        self.assertEqual(answers, [b"HTTP/1.1 400 Bad Request"] * 1000)
        # Their last bytes sent together, 40 posts arrive in one run of the
        # loop and share a commit: each is answered and each kept.
        kept_before = len(self.receiver.rows())
        texts = [f"one of 40 at once, {i}" for i in range(40)]
        requests = [raw_post(f"sealed={seal(text)}".encode()) for text in texts]
        connections = [socket.create_connection(("127.0.0.1", 80), timeout=30) for _ in requests]
        for connection, request in zip(connections, requests):
            connection.sendall(request[:-1])
        for connection, request in zip(connections, requests):
            connection.sendall(request[-1:])
        answers = []
        for connection in connections:
            with connection:
                answers.append(rest(connection).split(b"\r\n")[0])
        self.assertEqual(answers, [b"HTTP/1.1 204 No Content"] * 40)
        self.assertEqual(sorted(self.receiver.rows()[kept_before:]), sorted(texts))

    def test_stalled_clients_hold_up_nobody_and_are_cut_off(self):
        head = b"POST / HTTP/1.0\r\n" + FORM + b"Content-Length: 100\r\n\r\n"
        # Half a request, or its headers and part of the body, and for half
        # of them a byte every 2 s: none may hold a connection past 10 s.
        starts = [head[:20 + i] if i % 2 else head + b"sealed="[:i % 8] for i in range(64)]
        stalled = [socket.create_connection(("127.0.0.1", 80), timeout=30) for _ in starts]
        created = time.monotonic()
        # Each request on a kept-alive connection has 10 s of its own.
        kept_alive = socket.create_connection(("127.0.0.1", 80), timeout=30)
        alive_texts = [f"kept alive, post {i}" for i in range(4)]
        alive_posts = [raw_post(f"sealed={seal(text)}".encode()).replace(b"HTTP/1.0\r\n", b"HTTP/1.1\r\nHost: r\r\n")
                       for text in alive_texts]
        alive_answers = []

        def post_kept_alive():
            kept_alive.sendall(alive_posts[len(alive_answers)])
            answer = b""
            while b"\r\n\r\n" not in answer:
                more = kept_alive.recv(65536)
                answer += more
                if not more:
                    break
            alive_answers.append(answer.split(b"\r\n")[0])

        try:
            for connection, start in zip(stalled, starts):
                connection.sendall(start)
            started = time.monotonic()
            self.assertEqual(post(f"sealed={seal('while others stall')}"), expected("204 No Content"))
            self.assertLess(time.monotonic() - started, 1)
            self.assertEqual(self.receiver.rows()[-1], "while others stall")
            started = time.monotonic()
            for step in range(5):
                if step % 2 == 0:
                    post_kept_alive()
                time.sleep(max(0, started + 2 * (step + 1) - time.monotonic()))
                for connection in stalled[:32]:
                    try:
                        connection.sendall(b"0")
                    except OSError:
                        pass
            time.sleep(max(0, created + 11.2 - time.monotonic()))
            still_open = []
            for i, connection in enumerate(stalled):
                connection.settimeout(0.3)
                try:
                    if connection.recv(65536) != b"":
                        still_open.append(i)
                except TimeoutError:
                    still_open.append(i)
                except ConnectionResetError:
                    pass
            self.assertEqual(still_open, [])
            time.sleep(max(0, started + 12 - time.monotonic()))
            post_kept_alive()
            self.assertEqual(alive_answers, [b"HTTP/1.1 204 No Content"] * 4)
            self.assertEqual(self.receiver.rows()[-4:], alive_texts)
        finally:
            kept_alive.close()
            for connection in stalled:
                connection.close()
        # Bodies promised hold nothing until they come: a small post gets
        # through 64 that promise 1 MiB each; bodies sent hold the whole
        # budget, the next request is refused at once, and served again
        # once they are gone.
        promised = b"POST / HTTP/1.0\r\n" + FORM + b"Content-Length: %d\r\n\r\n" % MIB
        holders = [socket.create_connection(("127.0.0.1", 80), timeout=30) for _ in range(64)]
        try:
            for connection in holders:
                connection.sendall(promised)
            sealed = seal("past bodies only promised")
            started = time.monotonic()
            self.assertEqual(post(f"sealed={sealed}"), expected("204 No Content"))
            self.assertLess(time.monotonic() - started, 1)
            for connection in holders:
                connection.sendall(b"sealed=" + b"0" * (MIB - 100))
            # Sent once the receiver took it: past the socket's buffers, so
            # that it has read each request's headers.
            deadline = time.monotonic() + 30
            while any(unsent(connection) for connection in holders):
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.05)
            started = time.monotonic()
            self.assertEqual(undated(exchange(raw_post(f"sealed={seal('over the budget')}".encode()))),
                             expected("503 Service Unavailable", "the receiver is busy; send it again later"))
            self.assertLess(time.monotonic() - started, 1)
            self.assertIn(b"answered a post 503: bodies fill the receiver's 64 MiB", self.receiver.log())
        finally:
            for connection in holders:
                connection.close()
        body = raw_post(f"sealed={seal('once the budget is free')}".encode())
        deadline = time.monotonic() + 10
        while not exchange(body).startswith(b"HTTP/1.1 204 No Content\r\n"):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.1)
        self.assertEqual(self.receiver.rows()[-1], "once the budget is free")
        # More idle connections than it holds: the longest idle make room
        # for a board's post. Timed, so on this machine's own builds only.
        if LAUNCHER:
            return
        idle = [socket.create_connection(("127.0.0.1", 80), timeout=30) for _ in range(4200)]
        try:
            sealed = seal("past 4,200 idle connections")
            started = time.monotonic()
            self.assertEqual(post(f"sealed={sealed}"), expected("204 No Content"))
            self.assertLess(time.monotonic() - started, 1)
        finally:
            for connection in idle:
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
                receiver = Receiver(work, KEY, "127.0.0.2", store=disk / "received.db",
                                    extra=("--metrics", "127.0.0.2:9580"))
                try:
                    before = metrics("127.0.0.2")
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
                    after = metrics("127.0.0.2")
                    self.assertEqual(after['sealpost_posts_total{result="unavailable"}']
                                     - before['sealpost_posts_total{result="unavailable"}'], 3)
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
                receiver = Receiver(work, key_file, "127.0.0.3", store=store, extra=(
                    "--unopened-limit", "70", "--key-file", f"{work}/credentials/sealpost-key"))
                if key is None:
                    self.assertEqual(receiver.process.wait(timeout=60), 1)
                    self.assertEqual(receiver.log().decode(), message.format(work=work))
                    continue
                self.assertEqual(post(f"sealed={seal('opened', key)}", "127.0.0.3"), expected("204 No Content"))
                # The oldest unopened posts go first once they hold more than the limit.
                wrong = [seal(f"wrong {i}", OTHER_KEY) for i in range(3)]
                for sealed in wrong:
                    self.assertEqual(post(f"sealed={sealed}", "127.0.0.3"), expected("204 No Content"))
                # The key file rewritten, SIGHUP: the new key opens.
                (receiver.work / "credentials" / "sealpost-key").write_bytes(b"the next key\n")
                receiver.process.send_signal(signal.SIGHUP)
                receiver.wait_for(b"read the key again from")
                self.assertEqual(post(f"sealed={seal('under the next key', b'the next key')}", "127.0.0.3"),
                                 expected("204 No Content"))
                self.assertEqual(receiver.stop(), 0)
                self.assertEqual(receiver.rows(), ["opened", "under the next key"])
                self.assertEqual(receiver.rows("unopened"), wrong[1:])


def variants(sealed, known, count):
    """count posts of the text sealed holds, the first 8 bytes of which are
    known, each with its own first block ("00000000", "00000001", ...): a
    changed IV changes the first block by the same bits. Distinct posts
    without a seal each."""
    iv = bytes.fromhex(sealed[:16])
    return [bytes(a ^ b ^ c for a, b, c in zip(iv, known, b"%08d" % i)).hex() + sealed[16:] for i in range(count)]


def best_threshold_accuracy(times):
    """How often one threshold on the answer's time, fitted on the even
    posts of two classes, tells the odd posts' classes apart."""
    (a, a_times), (b, b_times) = times.items()
    fit = sorted([(t, 0) for t in a_times[0::2]] + [(t, 1) for t in b_times[0::2]])
    below = [0, 0]
    best = (0.5, float("inf"), 0)
    for t, which in fit:
        below[which] += 1
        for side in (0, 1):
            right = below[side] + (len(b_times[0::2]) if side == 0 else len(a_times[0::2])) - below[1 - side]
            best = max(best, (right / len(fit), t, side))
    _, threshold, side = best
    test = [(t, 0) for t in a_times[1::2]] + [(t, 1) for t in b_times[1::2]]
    return sum((t <= threshold) == (which == side) for t, which in test) / len(test)


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
            (keys / "a1.twin").write_bytes(b"key of a1\n")
            (keys / "b2" / "old").write_bytes(b"old key of b2")
            (keys / "b2" / "new").write_bytes(b"new key of b2")
            (keys / ".a1.swp").write_bytes(b"")
            (pathlib.Path(work) / "master").write_bytes(b"the master key\n")

            def derive(device):
                run = subprocess.run(LAUNCHER + [str(RECEIVER), "derive-key", "--master-key", f"{work}/master",
                                                 device], capture_output=True, timeout=120)
                return run.stdout.strip()

            derived = derive("c3").decode()
            self.assertEqual(derived, hmac.new(b"the master key", b"c3", hashlib.sha256).hexdigest())
            receiver = Receiver(work, KEY, "127.0.0.5", extra=(
                "--keys", str(keys), "--master-key", f"{work}/master", "--metrics", "127.0.0.5:9580",
                "--trusted-proxy", "::ffff:127.0.0.1"))
            try:
                # Connections to the watching port that come and go, half of
                # them closed with no request, leave it answering.
                for n in range(40):
                    with socket.create_connection(("127.0.0.5", 9580), timeout=30) as connection:
                        if n % 2:
                            connection.sendall(b"GET /healthz HTTP/1.0\r\n\r\n")
                            self.assertTrue(rest(connection).startswith(b"HTTP/1.1 200 OK\r\n"))
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
                    ("device=d4&", derive("d4"), 1, kept, False),
                    # Names with . and _, and names alike but for one character or its case.
                    ("device=b.2_x&", derive("b.2_x"), 1, kept, True),
                    ("device=a_1&", derive("a_1"), 1, kept, True),
                    ("device=aX1&", derive("aX1"), 1, kept, True),
                    ("device=A_1&", derive("A_1"), 1, kept, True),
                    ("device=a+1&", b"key of a1", 1, bad, False),
                    ("device=&", b"key of a1", 1, bad, False),
                    ("device=" + "x" * 65 + "&", b"key of a1", 1, bad, False),
                    ("device=a1&device=a1&", b"key of a1", 1, bad, False),
                ]
                received, unopened, sealed_texts = [], [], []
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
                            if not opens:
                                sealed_texts.append((name, text, key))
                # One sealed text from two devices that share a key: a post from each.
                twice = seal("one text, two devices", b"key of a1")
                for device in ("a1", "a1.twin"):
                    self.assertEqual(post(f"device={device}&sealed={twice}", "127.0.0.5"), kept)
                    received.append((device, "one text, two devices"))
                after = metrics("127.0.0.5")
                # A time for each device of the keys folder, none for c3's derived key or zz, and 0 for
                # d4, whose post did not open; devices lists the two never kept.
                last_kept = {name.split('"')[1]: value for name, value in after.items()
                             if name.startswith("sealpost_device_last_kept_timestamp_seconds{")}
                self.assertEqual(sorted(last_kept), ["a1", "a1.twin", "b2", "d4"])
                self.assertEqual(last_kept["d4"], 0)
                self.assertTrue(all(abs(last_kept[name] - time.time()) < 300 for name in ("a1", "a1.twin", "b2")),
                                last_kept)
                silent = receiver.command("devices", "--keys", str(keys), "--silent-for", "1h")
                self.assertEqual((silent.returncode, [record["device"] for record in map(
                    json.loads, silent.stdout.splitlines())]), (1, ["d4", "zz"]), silent.stderr)
                buckets = [(float(name.split('"')[1]), count) for name, count in after.items()
                           if name.startswith("sealpost_commit_seconds_bucket")]
                self.assertEqual([count for _, count in sorted(buckets)], sorted(count for _, count in buckets))
                self.assertEqual(max(buckets), (float("inf"), after["sealpost_commit_seconds_count"]))
                with socket.create_connection(("127.0.0.5", 9580), timeout=30) as connection:
                    connection.sendall(b"GET /healthz HTTP/1.0\r\n\r\n")
                    self.assertTrue(rest(connection).startswith(b"HTTP/1.1 200 OK\r\n"))
                moved = {result: after[f'sealpost_posts_total{{result="{result}"}}']
                         - before[f'sealpost_posts_total{{result="{result}"}}']
                         for result in ("kept", "duplicate", "not_opened", "refused", "unavailable")}
                self.assertEqual(moved, {"kept": 10, "duplicate": 2, "not_opened": 5, "refused": 4,
                                         "unavailable": 0})
                self.assertEqual(after["sealpost_commit_seconds_count"] - before["sealpost_commit_seconds_count"],
                                 17)
                self.assertEqual([(device, text) for _, device, text in receiver.records()], received)
                self.assertEqual([(device, sealed[-48:]) for _, device, sealed in receiver.records("unopened")],
                                 unopened)
                self.assertIn(b"a post from 127.0.0.1 naming device zz does not open: wrong key or damaged",
                              receiver.log())
                self.assertIn(b"naming device d4 does not open: no key for the device", receiver.log())
                self.assertIn(b"naming no device does not open: no key without a device", receiver.log())
                for device in ("b2", "a_1"):
                    exported = map(json.loads, receiver.command("export", "--device", device).stdout.splitlines())
                    self.assertEqual([(record["device"], record["text"]) for record in exported],
                                     [row for row in received if row[0] == device])
                # From a row's own time on: that row and those after it.
                every = [json.loads(line) for line in receiver.command("export").stdout.splitlines()]
                since = every[len(every) // 2]["received"]
                self.assertEqual([json.loads(line) for line in receiver.command(
                    "export", "--since", since).stdout.splitlines()], [r for r in every if r["received"] >= since])
                blank = receiver.command("export", "--since", "2026-12-08 23:59")
                self.assertEqual((blank.returncode, blank.stdout), (2, b""))
                self.assertIn(b"--since takes a time in UTC as ISO 8601", blank.stderr)
                self.assertEqual([(record["device"], record["not_opened"]) for record in map(
                    json.loads, receiver.command("export", "--not-opened").stdout.splitlines())],
                    [(None, 1), ("b2", 1), ("c3", 1), ("d4", 1), ("zz", 1)])
                # reopen under a1's key moves what it opens, leaves d4's, and ends.
                (pathlib.Path(work) / "a1-key").write_bytes(b"key of a1\n")
                run = receiver.command("reopen", "--key-file", f"{work}/a1-key")
                self.assertEqual(run.stdout, b"moved 4 of 5 unopened posts to received\n", run.stderr)
                self.assertEqual([(device, sealed[-48:]) for _, device, sealed in receiver.records("unopened")],
                                 [row for row in unopened if row[0] == "d4"])
                self.assertEqual([(device, text) for _, device, text in receiver.records()[len(received):]],
                                 [(name, text) for name, text, key in sealed_texts if key == b"key of a1"])

                # A reload with a post in flight: b2's old key goes, e5 comes; the post is answered.
                in_flight = socket.create_connection(("127.0.0.5", 80), timeout=30)
                body = f"device=b2&sealed={seal('sent across a reload', b'new key of b2')}".encode()
                request = raw_post(body)
                in_flight.sendall(request[:-10])
                (keys / "b2" / "old").unlink()
                (keys / "e5").write_bytes(b"key of e5")
                receiver.process.send_signal(signal.SIGHUP)
                receiver.wait_for(b"read the keys again: 5 devices with 4 keys, and the master key")
                in_flight.sendall(request[-10:])
                self.assertTrue(rest(in_flight).startswith(b"HTTP/1.1 204 No Content\r\n"))
                in_flight.close()
                for device, key, opens in (("b2", b"old key of b2", False), ("e5", b"key of e5", True)):
                    text = f"after the reload, {device}"
                    self.assertEqual(post(f"device={device}&sealed={seal(text, key)}", "127.0.0.5"), kept)
                    self.assertEqual(receiver.records()[-1][2] == text, opens)
                # The reload's new device has a series once its post is kept; the others keep theirs.
                reloaded = metrics("127.0.0.5")
                self.assertLess(abs(reloaded['sealpost_device_last_kept_timestamp_seconds{device="e5"}'] - time.time()),
                                300)
                self.assertGreaterEqual(reloaded['sealpost_device_last_kept_timestamp_seconds{device="b2"}'],
                                        last_kept["b2"])
                # A folder that cannot be read leaves the keys in force.
                (keys / "f6").write_bytes(b"")
                receiver.process.send_signal(signal.SIGHUP)
                receiver.wait_for(f"key file {keys}/f6 is empty; keeps the keys it had".encode())
                self.assertEqual(post(f"device=e5&sealed={seal('still e5', b'key of e5')}", "127.0.0.5"), kept)
                self.assertEqual(receiver.records()[-1][1:], ("e5", "still e5"))
                # Nor does a FIFO, which a reading would wait on for ever.
                (keys / "f6").unlink()
                os.mkfifo(keys / "g7")
                receiver.process.send_signal(signal.SIGHUP)
                receiver.wait_for(f"key file {keys}/g7 is not a regular file; keeps the keys it had".encode())
                self.assertEqual(post(f"device=e5&sealed={seal('past a FIFO', b'key of e5')}", "127.0.0.5"), kept)
                self.assertEqual(receiver.records()[-1][1:], ("e5", "past a FIFO"))
                (keys / "g7").unlink()

                # Only the trusted proxy names the client, by the last address it added.
                for source, forwarded, peer in (("127.0.0.1", b"192.0.2.1, 203.0.113.9,198.51.100.7", "198.51.100.7"),
                                                ("127.0.0.1", b"2001:db8::1", "2001:db8::1"),
                                                # Two lines: the proxy's own is the last.
                                                ("127.0.0.1", b"192.0.2.1\r\nX-Forwarded-For: 203.0.113.9",
                                                 "203.0.113.9"),
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

                # A rotation with MACs: the old key's MAC opens while the key is
                # there, not after; the new one's does; and once b2 has sent an
                # authentic post, one of its without a MAC is forged.
                (keys / "b2" / "old").write_bytes(b"old key of b2")
                receiver.process.send_signal(signal.SIGHUP)
                receiver.wait_for(b"read the keys again: 5 devices with 5 keys, and the master key")
                forged_before = metrics("127.0.0.5")['sealpost_posts_total{result="forged"}']
                rotation = [("authenticated under the old key", b"old key of b2", True),
                            ("without a MAC", b"new key of b2", None),
                            ("the old key gone", b"old key of b2", False),
                            ("authenticated under the new key", b"new key of b2", True)]
                for text, key, authentic in rotation:
                    if text == "the old key gone":
                        (keys / "b2" / "old").unlink()
                        receiver.process.send_signal(signal.SIGHUP)
                        receiver.wait_for(b"read the keys again: 5 devices with 4 keys, and the master key")
                    hex = seal(text, key)
                    mac = "" if authentic is None else f"&mac={post_mac(key, 'b2', hex)}"
                    self.assertEqual(post(f"device=b2&sealed={hex}{mac}", "127.0.0.5"), kept)
                kept_b2 = [json.loads(line) for line in receiver.command("export", "--device", "b2").stdout.splitlines()]
                self.assertEqual([(record["text"], record["authentic"]) for record in kept_b2][-2:],
                                 [("authenticated under the old key", True), ("authenticated under the new key", True)])
                self.assertEqual([record["text"] for record in map(json.loads, receiver.command(
                    "export", "--authentic").stdout.splitlines())], ["authenticated under the old key",
                                                                     "authenticated under the new key"])
                self.assertEqual(metrics("127.0.0.5")['sealpost_posts_total{result="forged"}'] - forged_before, 2)
            finally:
                self.assertEqual(receiver.stop(), 0, receiver.log())

    def test_nothing_a_post_is_shows_in_its_answers_time(self):
        """Pairs of classes of posts, interleaved, 2,000 of each: one
        threshold on the answer's time tells them apart no better than
        chance. Timed, so on this machine's own builds only."""
        if LAUNCHER:
            self.skipTest("timing means nothing under an emulator")
        if ALONE is None:
            self.skipTest("timed alone, as receiver_timing, with nothing else running")
        with tempfile.TemporaryDirectory() as work:
            keys = pathlib.Path(work) / "keys"
            (keys / "r2").mkdir(parents=True)
            (keys / "f1").write_bytes(b"key of f1\n")
            (keys / "r2" / "a-old").write_bytes(b"old key of r2")
            (keys / "r2" / "b-new").write_bytes(b"new key of r2")
            (pathlib.Path(work) / "master").write_bytes(b"the master key\n")
            derived = subprocess.run([str(RECEIVER), "derive-key", "--master-key", f"{work}/master", "d1"],
                                     capture_output=True, timeout=120).stdout.strip()
            with_master = Receiver(work, KEY, "127.0.0.8", extra=("--keys", str(keys), "--master-key",
                                                                  f"{work}/master"))
            (pathlib.Path(work) / "other").mkdir()
            keys_only = Receiver(pathlib.Path(work) / "other", KEY, "127.0.0.9", extra=("--keys", str(keys)))
            rounds = 2000
            big = "0" * 8 + "x" * (65536 - 8)

            def posts(device, key, text="0" * 8 + " a reading", count=rounds):
                hex = seal(text, key)
                if key == OTHER_KEY:
                    return [raw_post(f"device={device}&sealed={os.urandom(8).hex()}{hex[16:]}".encode())
                            for _ in range(count)]
                return [raw_post(f"device={device}&sealed={variant}".encode())
                        for variant in variants(hex, text[:8].encode(), count)]

            kept_before = posts("f1", b"key of f1", text="1" * 8 + " kept before", count=50)
            pairs = [
                (with_master, "64 KiB that open, that do not", {
                    "opens": posts("f1", b"key of f1", big), "does not": posts("f1", OTHER_KEY, big)}),
                (with_master, "first key, second key", {
                    "first": posts("r2", b"old key of r2"), "second": posts("r2", b"new key of r2")}),
                (with_master, "new, kept before", {"new": posts("f1", b"key of f1"), "kept before": kept_before * 40}),
                (with_master, "own key file, derived key", {
                    "file": posts("f1", b"key of f1", text="2" * 8 + " a reading"), "derived": posts("d1", derived)}),
                (keys_only, "own key file, unknown name", {
                    "file": posts("f1", b"key of f1", text="3" * 8 + " a reading"),
                    "unknown": posts("u9", b"key of f1")}),
            ]
            try:
                for request in kept_before:
                    exchange(request, address="127.0.0.8")
                for receiver, name, classes in pairs:
                    with self.subTest(pair=name):
                        if SANITIZED and name.startswith("64 KiB"):
                            self.skipTest("64 KiB texts under the sanitizer time its checks")
                        order = [which for which in classes for _ in classes[which]]
                        random.Random(name).shuffle(order)
                        times = {which: [] for which in classes}
                        for which in order:
                            request = classes[which][len(times[which])]
                            with socket.create_connection((receiver.address, 80), timeout=30) as connection:
                                started = time.perf_counter()
                                connection.sendall(request)
                                answer = rest(connection)
                                times[which].append(time.perf_counter() - started)
                            self.assertTrue(answer.startswith(b"HTTP/1.1 204 No Content\r\n"), answer)
                        accuracy = best_threshold_accuracy(times)
                        medians = ", ".join(f"{which} {sorted(t)[len(t) // 2] * 1e3:.3f} ms" for which, t in times.items())
                        print(f"\n  timing, {name}: a threshold tells {accuracy:.3f} apart; medians {medians}",
                              file=sys.stderr)
                        self.assertLessEqual(accuracy, 0.55)
            finally:
                self.assertEqual(with_master.stop(), 0, with_master.log())
                self.assertEqual(keys_only.stop(), 0, keys_only.log())

    def test_devices_lists_the_longest_silent_first_and_fails_on_those_silent_too_long(self):
        now = time.time()
        rows = [
            # the device, the table, how many seconds ago, the reason it did not open
            ("old-1", "received", 3 * 86400, None), ("old-1", "received", 2 * 86400, None),
            ("busy", "received", 30, None), ("busy", "received", 600, None), ("busy", "received", 23 * 3600, None),
            ("busy", "received", 25 * 3600, None),
            ("quiet", "received", 7200, None), ("quiet", "unopened", 60, "forged"),
            ("quiet", "unopened", 120, "no key"), ("quiet", "unopened", 180, "does not open"),
            (None, "received", 5, None),
        ]
        never = [("forger", "unopened", 10, "forged"), ("legacy", "unopened", 100, None)]
        at = lambda ago: time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(now - ago))
        with tempfile.TemporaryDirectory() as work:
            receiver = Receiver(work, KEY, "127.0.0.10")
            self.assertEqual(receiver.stop(), 0, receiver.log())
            keys = pathlib.Path(work) / "keys"
            (keys / "keyed-silent").mkdir(parents=True)
            (keys / "busy").write_bytes(b"key of busy")

            def insert(rows):
                db = sqlite3.connect(receiver.store)
                with db:
                    for i, (device, table, ago, reason) in enumerate(rows):
                        column = "text" if table == "received" else "sealed"
                        db.execute(f"insert into {table} (received_at, peer, device, {column}, digest"
                                   + (", reason) values (?, ?, ?, ?, ?, ?)" if table == "unopened" else
                                      ") values (?, ?, ?, ?, ?)"),
                                   (at(ago), "192.0.2.1", device, "00" * 16, f"{device}-{i}-{ago}")
                                   + ((reason,) if table == "unopened" else ()))
                db.close()

            def devices(*args):
                run = receiver.command("devices", *args)
                return run.returncode, [json.loads(line) for line in run.stdout.splitlines()], run.stderr

            insert(rows)
            cases = [
                # the options, the exit status, the devices listed
                ((), 0, ["old-1", "quiet", "busy"]),
                (("--silent-for", "1h"), 1, ["old-1", "quiet"]),
                (("--silent-for", "3h"), 1, ["old-1"]),
                (("--silent-for", "47h"), 1, ["old-1"]),
                (("--silent-for", "49h"), 0, []),
                (("--silent-for", "3d"), 0, []),
                (("--silent-for", "10s"), 1, ["old-1", "quiet", "busy"]),
                (("--keys", str(keys), "--silent-for", "4320m"), 1, ["keyed-silent"]),
            ]
            for options, status, listed in cases:
                with self.subTest(options=options):
                    got, records, stderr = devices(*options)
                    self.assertEqual((got, [record["device"] for record in records]), (status, listed), stderr)
            insert(never)
            status, records, _ = devices("--keys", str(keys), "--master-key", f"{work}/credentials/sealpost-key")
            self.assertEqual(status, 0)
            self.assertEqual(records, [
                {"device": "forger", "last_kept": None, "kept_24h": 0, "last_not_opened": None,
                 "last_forged": at(10)},
                {"device": "keyed-silent", "last_kept": None, "kept_24h": 0, "last_not_opened": None,
                 "last_forged": None},
                {"device": "legacy", "last_kept": None, "kept_24h": 0, "last_not_opened": at(100),
                 "last_forged": None},
                {"device": "old-1", "last_kept": at(2 * 86400), "kept_24h": 0, "last_not_opened": None,
                 "last_forged": None},
                {"device": "quiet", "last_kept": at(7200), "kept_24h": 1, "last_not_opened": at(120),
                 "last_forged": at(60)},
                {"device": "busy", "last_kept": at(30), "kept_24h": 3, "last_not_opened": None,
                 "last_forged": None}])
            # A copy of the store lists alike; copy and devices refuse what they cannot do.
            def run(*args):
                return subprocess.run(LAUNCHER + [str(RECEIVER), *args], capture_output=True, timeout=120)

            copied = run("copy", "--from", f"sqlite:{receiver.store}", "--to", f"sqlite:{work}/copy.db")
            self.assertEqual(copied.stdout, b"received: 8 copied, 0 there already; unopened: 5 copied, 0 there "
                                            b"already; authenticated: 0 copied, 0 there already\n", copied.stderr)
            listed = run("devices", "--keys", str(keys), "--store", f"sqlite:{work}/copy.db")
            self.assertEqual([json.loads(line) for line in listed.stdout.splitlines()], records)
            for args, status, message in [(("copy", "--from", f"sqlite:{work}/none.db"), 2, b"copy needs --from URL"),
                                          (("copy", "--from", f"sqlite:{work}/none.db", "--to", f"sqlite:{work}/n"),
                                           1, b"there is no store at"),
                                          (("devices", "--since", "1h"), 2, b"unknown option --since")]:
                with self.subTest(args=args):
                    refused = run(*args)
                    self.assertEqual(refused.returncode, status)
                    self.assertIn(message, refused.stderr)
            for bad in ("1w", "0s", "h", "1.5h", "-1h", "1hh", "", "9999999999d"):
                with self.subTest(duration=bad):
                    status, records, stderr = devices("--silent-for", bad)
                    self.assertEqual((status, records), (2, []))
                    self.assertIn(f"--silent-for takes a whole number with s, m, h or d, such as 90s, 30m, 1h or "
                                  f"2d, not {bad}\n".encode(), stderr)
    def test_the_configuration_file_sets_what_the_command_line_does_not_and_check_sums_it_up(self):
        with tempfile.TemporaryDirectory() as work:
            keys = pathlib.Path(work) / "keys"
            (keys / "b2").mkdir(parents=True)
            (keys / "a1").write_bytes(b"key of a1\n")
            (keys / "b2" / "old").write_bytes(b"old key of b2")
            (keys / "b2" / "new").write_bytes(b"new key of b2")
            (pathlib.Path(work) / "master").write_bytes(b"the master key\n")
            conf = pathlib.Path(work) / "receiver.conf"
            # Indented, commented, its listen overridden by the command line.
            conf.write_text(f"# a fleet\nlisten = 127.0.0.1:1\n  keys = {keys}\n\nmaster-key = {work}/master\n"
                            f"store = sqlite:{work}/kept.db ; where\nrequire-mac = yes\nmetrics = 127.0.0.9:9580\n")

            def run(*args):
                done = subprocess.run(LAUNCHER + [str(RECEIVER), *args, "--config", str(conf)], capture_output=True,
                                      timeout=120, text=True)
                return done.returncode, done.stdout, done.stderr

            receiver = Receiver(work, KEY, "127.0.0.9", extra=("--config", str(conf)))
            try:
                derived = hmac.new(b"the master key", b"c3", hashlib.sha256).hexdigest().encode()
                for device, key, mac in [("a1", b"key of a1", True), ("c3", derived, True), ("a1", b"key of a1", False)]:
                    hex = seal(f"{device} {mac}", key)
                    body = f"device={device}&sealed={hex}" + (f"&mac={post_mac(key, device, hex)}" if mac else "")
                    self.assertEqual(post(body, "127.0.0.9"), expected("204 No Content"))
                self.assertEqual(metrics("127.0.0.9")['sealpost_posts_total{result="kept"}'], 2)
            finally:
                self.assertEqual(receiver.stop(), 0, receiver.log())
            code, out, err = run("export")
            self.assertEqual((code, re.findall(r'"text": "([^"]*)"', out), err), (0, ["a1 True", "c3 True"], ""))
            self.assertEqual(run("check"), (0, f"{conf}: 2 devices, 3 keys, the master key; store {work}/kept.db "
                                               "answers\n", ""))
            self.assertEqual(run("check", "--key-file", f"{work}/master"),
                             (0, f"{conf}: the key file {work}/master; store {work}/kept.db answers\n", ""))
            cases = [
                # the file, what check and the receiver say of it
                ("lisen = 127.0.0.1:80\n", "{conf}:1: unknown setting lisen"),
                ("keys = /a\n# the new\nkeys = /b\n", "{conf}:3: keys is given twice, first on line 1"),
                ("require-mac = maybe\n", "{conf}:1: require-mac takes yes or no, not maybe"),
                ("\nunopened-limit = -1\n", "{conf}:2: unopened-limit takes a number of bytes, not -1"),
                ("trusted-proxy = 10.0.0\n", "{conf}:1: trusted-proxy takes an IPv4 or IPv6 address, not 10.0.0"),
                ("store =\n", "{conf}:1: store needs a value"),
                ("[receiver]\nkeys = /a\n", "{conf}:1: sections are not read: every setting stands on its own"),
                ("keys /a\n", "{conf}:1: not a setting: each line is name = value"),
                ("store = sqlite:/" + "x" * 300 + "\n", "{conf}:1: the line is longer than 198 characters"),
                (f"key-file = {work}/master\nmaster-key = {work}/master\n",
                 "{conf}:2: key-file is the one key for all; keys and master-key choose one per device"),
                (None, "cannot read the configuration {conf}: No such file or directory"),
            ]
            for text, message in cases:
                with self.subTest(text=text):
                    conf.unlink()
                    if text is not None:
                        conf.write_text(text)
                    said = f"sealpost-receiver: {message.format(conf=conf)}\n"
                    self.assertEqual(run("check"), (1, "", said))
                    receiver = Receiver(work, KEY, "127.0.0.9", extra=("--config", str(conf)))
                    self.assertEqual((receiver.process.wait(timeout=60), receiver.log().decode()), (1, said))

    def test_a_folder_of_keys_it_cannot_take_stops_it_with_the_reason(self):
        cases = [
            # what the folder holds (None: there is none), the message
            ({"a b": b"k"}, "{keys}/a b is not named for a device: 1 to 64 of A-Z a-z 0-9 . _ -"),
            ({"a1/inner/k": b"k"}, "{keys}/a1/inner is a folder: a device's folder holds key files only"),
            ({"a1": b"k", "b2/new": b"\r\n"}, "key file {keys}/b2/new is empty"),
            ({"a1": b"k", "b2": None}, "key file {keys}/b2 is not a regular file"),
            (None, "cannot read the folder of keys {keys}: No such file or directory"),
        ]
        for files, message in cases:
            with self.subTest(files=files), tempfile.TemporaryDirectory() as work:
                keys = pathlib.Path(work) / "keys"
                for name, content in (files or {}).items():
                    (keys / name).parent.mkdir(parents=True, exist_ok=True)
                    if content is None:
                        os.mkfifo(keys / name)
                    else:
                        (keys / name).write_bytes(content)
                receiver = Receiver(work, KEY, "127.0.0.7", extra=("--keys", str(keys)))
                self.assertEqual(receiver.process.wait(timeout=60), 1)
                self.assertEqual(receiver.log().decode(), f"sealpost-receiver: {message.format(keys=keys)}\n")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + (ALONE or "").split(), verbosity=2)
