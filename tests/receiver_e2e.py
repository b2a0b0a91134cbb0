"""examples/receiver.py under gunicorn, started as the package's systemd unit
starts it (its ExecStart and Environment, the key as a credential), on port 80
of the loopback in a private network namespace (see in_netns.sh), sent sealed
texts by the built bfseal and formsend; under qemu-arm in the armhf build, so
the trip starts on the board.

Usage: receiver_e2e.py BUILD_DIR [LAUNCHER...]
"""
import json
import os
import pathlib
import secrets
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from formsend_e2e import bring_loopback_up
from whole_trip import PYTHON, RECEIVER

BUILD = pathlib.Path(sys.argv[1])
LAUNCHER = sys.argv[2:]
UNIT = RECEIVER.parent.parent / "packaging" / "sealpost-receiver.service"
# A key of this run's own: found in a process's command line, it leaked.
KEY = ("k\xe9y " + secrets.token_hex(6)).encode()
TEXTS = ["Attack at dawn", "", "tab\tand\r\nline breaks", "Grüße, 5 €, 😀" * 20, "x" * 4000,
         "\U0010ffff\u00a0\ud7ff\ue000"]
# Opened under the right key, but not text: not UTF-8, or control characters.
NOT_TEXT = [b"caf\xe9", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xff",
            b"\x1b[0m", b"a\x7f", b"\xc2\x85", b"\xc2\x9f", b"\x0b\x0c"]
FORM = b"Content-Type: application/x-www-form-urlencoded\r\n"


def program(name, *args):
    return subprocess.run(LAUNCHER + [str(BUILD / name / name), *args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)


def seal(text, key=KEY):
    run = program("bfseal", text if isinstance(text, bytes) else text.encode(), key)
    assert run.returncode == 0, run.stderr
    return run.stdout.decode()


def damaged(sealed, index, bits):
    """The sealed text with byte index of its IV changed by bits."""
    changed = bytearray.fromhex(sealed)
    changed[index] ^= bits
    return changed.hex()


def post(body, host="127.0.0.1"):
    """The status code and body of the receiver's answer to formsend."""
    run = program("formsend", host, "/", body)
    assert run.returncode == 0, run.stderr
    head, body = run.stdout.split(b"\n", 1)[1].split(b"\r\n\r\n", 1)
    return int(head.split(b" ", 2)[1]), body.decode()


def exchange(request, end_sending=False):
    """The status code the receiver answers a raw request with."""
    with socket.create_connection(("127.0.0.1", 80), timeout=30) as connection:
        connection.sendall(request)
        if end_sending:
            connection.shutdown(socket.SHUT_WR)
        return int(connection.recv(65536).split(b" ", 2)[1])


class Gunicorn:
    """The receiver as the unit runs it, in the folder work, with the key as
    its credential, on port 80 of address."""

    def __init__(self, work, key, address):
        work = pathlib.Path(work)
        (work / "credentials").mkdir()
        (work / "credentials" / "sealpost-key").write_bytes(key)
        (work / "state" / "sealpost-receiver").mkdir(parents=True)
        env = {name: value for name, value in os.environ.items() if not name.startswith("SEALPOST_")}
        env["CREDENTIALS_DIRECTORY"] = str(work / "credentials")
        for line in UNIT.read_text().splitlines():
            name, _, value = line.partition("=")
            if name == "ExecStart":
                command = shlex.split(value)
            elif name == "Environment":
                variable, _, setting = value.partition("=")
                env[variable] = setting.replace("%S", str(work / "state"))
        command[command.index("--chdir") + 1] = str(RECEIVER.parent)
        command[command.index("--bind") + 1] = f"{address}:80"
        self.store = pathlib.Path(env["SEALPOST_STORE"])
        self.log_path = work / "log"
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=env)
        deadline = time.monotonic() + 60
        while b"Booting worker" not in self.log() and self.process.poll() is None:
            assert time.monotonic() < deadline, self.log()
            time.sleep(0.05)

    def log(self):
        return self.log_path.read_bytes()

    def texts(self):
        lines = [json.loads(line) for line in self.store.read_text().splitlines()] if self.store.exists() else []
        for line in lines:
            assert (set(line), line["from"]) == ({"received", "from", "text"}, "127.0.0.1"), line
        return [line["text"] for line in lines]

    def stop(self):
        # SIGINT: gunicorn's quick shutdown, which does not wait for stalled clients.
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=60)


class ReceiverTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        bring_loopback_up()
        cls.work = tempfile.TemporaryDirectory()
        # One trailing line feed is not part of the key.
        cls.receiver = Gunicorn(cls.work.name, KEY + b"\n", "127.0.0.1")

    @classmethod
    def tearDownClass(cls):
        cls.receiver.stop()
        cls.work.cleanup()

    def test_every_sealed_text_gets_the_same_answer_and_the_store_what_bfopen_opens(self):
        sealed = seal("Attack at dawn")
        cases = [(f"sealed={seal(text)}", 204) for text in TEXTS + NOT_TEXT]
        cases += [
            # body, status, reason (none: the answer is empty)
            ("a=1&sealed=" + seal("upper-case hex").upper() + "&b=2", 204),
            ("sealed=" + seal("Attack at dawn", b"another key"), 204),
            # A changed IV changes the text by the same bits: "Attack\0x", "\xc1ttack", "Attack\x01".
            ("sealed=" + damaged(seal("Attack"), 7, ord("x")), 204),
            ("sealed=" + damaged(seal("Attack"), 0, 0x80), 204),
            ("sealed=" + damaged(seal("Attack"), 6, 0x01), 204),
            ("a=1", 400, "the form needs exactly one field sealed"),
            (f"sealed={sealed}&sealed={sealed}", 400, "the form needs exactly one field sealed"),
            (f"sealed=%20{sealed}", 400, "character 1 of the field sealed is not a hex digit"),
            (f"sealed={sealed}%0A", 400, "character 49 of the field sealed is not a hex digit"),
            (f"sealed={sealed[:20]}g{sealed[21:]}", 400, "character 21 of the field sealed is not a hex digit"),
            ("sealed=" + sealed[:-1], 400, "the field sealed has an odd number of hex digits (47)"),
            ("sealed=" + sealed[:14], 400, "the field sealed is too short: 14 hex digits, the IV alone takes 16"),
            ("sealed=", 400, "the field sealed is too short: 0 hex digits, the IV alone takes 16"),
            ("sealed=" + sealed[:-2], 400,
             "the field sealed is not whole blocks: 30 hex digits after the IV, not a multiple of 16"),
        ]
        stored_before = len(self.receiver.texts())
        refused_before = self.receiver.log().count(b"does not open")
        opened = []
        for body, status, *reason in cases:
            with self.subTest(body=body[:60]):
                self.assertEqual(post(body), (status, reason[0] + "\n" if reason else ""))
                if status == 204:
                    run = program("bfopen", body.split("sealed=")[1].split("&")[0], KEY)
                    opened += [run.stdout.decode()] if run.returncode == 0 else []
        self.assertEqual(opened[:len(TEXTS)], TEXTS)
        self.assertEqual(self.receiver.texts()[stored_before:], opened)
        log = self.receiver.log()
        self.assertEqual(log.count(b"does not open") - refused_before,
                         sum(status == 204 for _, status, *_ in cases) - len(opened))
        self.assertIn(b'"POST / HTTP/1.0" 204', log)
        self.assertNotIn(KEY, log)
        self.assertNotIn(b"Attack at dawn", log)

    def test_what_the_request_alone_shows(self):
        body = f"sealed={seal('Attack at dawn')}".encode()
        head = b"POST / HTTP/1.0\r\n" + FORM
        cases = [
            # request, whether to end sending after it, status
            (head + b"\r\n" + body, False, 411),
            (head + b"Content-Length: \xc2\xb2\r\n\r\n" + body, False, 400),
            (head + b"Content-Length: 1000000000000000\r\n\r\n", False, 413),
            # Refused before the body is sent: it is not read.
            (head + b"Content-Length: 2097152\r\n\r\n", False, 413),
            # Cut short on a block boundary, which would open as a shorter text.
            (head + b"Content-Length: %d\r\n\r\n" % len(body) + body[:-16], True, 400),
            (b"GET / HTTP/1.0\r\n\r\n", False, 405),
            (b"POST / HTTP/1.0\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n" % len(body) + body, False,
             415),
        ]
        stored_before = len(self.receiver.texts())
        for request, end_sending, status in cases:
            with self.subTest(request=request[:80]):
                self.assertEqual(exchange(request, end_sending), status)
        self.assertEqual(len(self.receiver.texts()), stored_before)

    def test_a_burst_of_200_connections_is_answered(self):
        request = b"POST / HTTP/1.0\r\n" + FORM + b"Content-Length: 9\r\n\r\nsealed=zz"
        connections = [socket.create_connection(("127.0.0.1", 80), timeout=30) for _ in range(200)]
        for connection in connections:
            connection.sendall(request)
        answers = []
        for connection in connections:
            with connection:
                answers.append(connection.recv(65536).split(b"\r\n")[0])
        self.assertEqual(answers, [b"HTTP/1.0 400 Bad Request"] * 200)

    def test_a_stalled_client_holds_up_nobody_and_is_cut_off(self):
        with socket.create_connection(("127.0.0.1", 80), timeout=60) as stalled:
            stalled.sendall(b"POST / HTTP/1.0\r\n" + FORM + b"Content-Length: 100\r\n\r\nsealed=")
            started = time.monotonic()
            self.assertEqual(post(f"sealed={seal('while another stalls')}"), (204, ""))
            self.assertEqual(self.receiver.texts()[-1], "while another stalls")
            self.assertLess(time.monotonic() - started, 5)
            # gunicorn 20 (Debian 12) closes the connection, 23 (Debian 13) answers 500 first.
            cut_off = b"".join(iter(lambda: stalled.recv(65536), b""))
            self.assertIn(cut_off.split(b"\r\n")[0], (b"", b"HTTP/1.1 500 Internal Server Error"))
            timeout = int(shlex.split(UNIT.read_text().split("--timeout", 1)[1])[0])
            self.assertLess(time.monotonic() - started, timeout + 5)

    def test_the_key_is_in_no_command_line(self):
        pids = [entry for entry in os.listdir("/proc") if entry.isdigit()]
        self.assertGreater(len(pids), 3)
        for pid in pids:
            try:
                command_line = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes()
            except OSError:
                continue
            self.assertNotIn(KEY, command_line, pid)

    def test_key_lengths(self):
        fifty_six = bytes(range(40, 96))
        cases = [
            # the key file, the key it holds (None: refused at start), the message
            (b"k\r\n", b"k", None),
            (fifty_six, fifty_six, None),
            (b"k" * 57, None, "the key in {} has 57 bytes; pycryptodome takes keys of 1 to 56 bytes"),
            (b"\n", None, "the key file {} is empty"),
        ]
        for key_file, key, message in cases:
            with self.subTest(key_file=key_file), tempfile.TemporaryDirectory() as work:
                receiver = Gunicorn(work, key_file, "127.0.0.2")
                try:
                    if key is None:
                        self.assertEqual(receiver.process.wait(timeout=60), 3)
                        path = pathlib.Path(work) / "credentials" / "sealpost-key"
                        self.assertIn(f"receiver: {message.format(path)}".encode(), receiver.log())
                        continue
                    self.assertEqual(post(f"sealed={seal('opened', key)}", "127.0.0.2"), (204, ""))
                    self.assertEqual(receiver.texts(), ["opened"])
                finally:
                    receiver.stop()


if __name__ == "__main__":
    for module in ("Cryptodome", "gunicorn"):
        if subprocess.run([PYTHON, "-c", f"import {module}"], stderr=subprocess.DEVNULL).returncode != 0:
            print(f"SKIPPED: {PYTHON} cannot import {module}: install python3-pycryptodome and gunicorn",
                  file=sys.stderr)
            sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
