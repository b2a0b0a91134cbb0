"""examples/receiver.py on port 80 of the loopback, in a private network
namespace (see in_netns.sh), sent sealed texts by the built bfseal and
formsend; under qemu-arm in the armhf build, so the trip starts on the board.

Usage: receiver_e2e.py BUILD_DIR [LAUNCHER...]
"""
import pathlib
import subprocess
import sys
import tempfile
import time
import unittest

from formsend_e2e import bring_loopback_up
from whole_trip import PYTHON, RECEIVER

BUILD = pathlib.Path(sys.argv[1])
LAUNCHER = sys.argv[2:]
KEY = "k\xe9y with 18 bytes".encode()
TEXTS = ["Attack at dawn", "", "tab\tand\r\nline breaks", "Grüße, 5 €, 😀" * 20, "x" * 4000,
         "\U0010ffff\u00a0\ud7ff\ue000"]
# Opened under the right key, but not text: not UTF-8, or control characters.
NOT_TEXT = [b"caf\xe9", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xff",
            b"\x1b[0m", b"a\x7f", b"\xc2\x85", b"\xc2\x9f", b"\x0b\x0c"]


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


def post(body, page="/open"):
    """The status code and body of the receiver's answer to formsend. Only the
    code: Python 3.13 words 422 "Unprocessable Content", 3.11 "Entity"."""
    run = program("formsend", "127.0.0.1", page, body)
    assert run.returncode == 0, run.stderr
    address, answer = run.stdout.split(b"\n", 1)
    head, body = answer.split(b"\r\n\r\n", 1)
    version, code, _ = head.split(b"\r\n")[0].split(b" ", 2)
    assert version == b"HTTP/1.0", head
    return int(code), body.decode()


class ReceiverTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        bring_loopback_up()
        cls.log = tempfile.NamedTemporaryFile()
        cls.receiver = subprocess.Popen([PYTHON, str(RECEIVER), KEY, "80"], stderr=cls.log)
        deadline = time.monotonic() + 30
        while b"listening" not in pathlib.Path(cls.log.name).read_bytes():
            assert cls.receiver.poll() is None and time.monotonic() < deadline, "the receiver did not start"
            time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        cls.receiver.terminate()
        cls.receiver.wait()
        cls.log.close()

    def test_sealed_texts_open(self):
        for text in TEXTS:
            with self.subTest(text=text[:20]):
                sealed = seal(text)
                for field in (sealed, sealed.upper(), sealed + "%0D%0A", sealed + "+"):
                    self.assertEqual(post(f"a=1&sealed={field}&b=2"), (200, text))

    def test_refused(self):
        sealed = seal("Attack at dawn")
        cases = [
            # body, status, reason
            ("a=1", 400, "the form needs exactly one field sealed"),
            (f"sealed={sealed}&sealed={sealed}", 400, "the form needs exactly one field sealed"),
            (f"sealed=%20{sealed}", 400, "character 1 of the field sealed is not a hex digit"),
            (f"sealed={sealed[:20]}g{sealed[21:]}", 400, "character 21 of the field sealed is not a hex digit"),
            ("sealed=" + sealed[:-1], 400, "the field sealed has an odd number of hex digits (47)"),
            ("sealed=" + sealed[:14], 400, "the field sealed is too short: 14 hex digits, the IV alone takes 16"),
            ("sealed=", 400, "the field sealed is too short: 0 hex digits, the IV alone takes 16"),
            ("sealed=" + sealed[:-2], 400,
             "the field sealed is not whole blocks: 30 hex digits after the IV, not a multiple of 16"),
            ("sealed=" + seal("Attack at dawn", b"another key"), 422, "wrong key or damaged input"),
            # A changed IV changes the text by the same bits: "Attack\0x", "\xc1ttack", "Attack\x01".
            ("sealed=" + damaged(seal("Attack"), 7, ord("x")), 422, "wrong key or damaged input"),
            ("sealed=" + damaged(seal("Attack"), 0, 0x80), 422, "wrong key or damaged input"),
            ("sealed=" + damaged(seal("Attack"), 6, 0x01), 422, "wrong key or damaged input"),
        ]
        cases += [(f"sealed={seal(text)}", 422, "wrong key or damaged input") for text in NOT_TEXT]
        for body, status, reason in cases:
            with self.subTest(body=body):
                self.assertEqual(post(body), (status, reason + "\n"))

    def test_bfopen_draws_the_same_line(self):
        for text, is_text in [(t.encode(), True) for t in TEXTS] + [(t, False) for t in NOT_TEXT]:
            with self.subTest(text=text[:20]):
                sealed = seal(text)
                self.assertEqual(post(f"sealed={sealed}")[0], 200 if is_text else 422)
                run = program("bfopen", sealed, KEY)
                self.assertEqual((run.returncode, run.stdout), (0, text) if is_text else (1, b""))

    def test_keys_pycryptodome_cannot_take_are_refused_at_start(self):
        for key, message in ((b"", b"usage: python3 receiver.py KEY [PORT]"),
                             (b"k" * 57, b"receiver: pycryptodome takes keys of 1 to 56 bytes, this one has 57")):
            run = subprocess.run([PYTHON, str(RECEIVER), key, "81"], capture_output=True, timeout=60)
            self.assertEqual((run.returncode, run.stdout, run.stderr), (1, b"", message + b"\n"))

    def test_the_log_holds_no_key_and_no_text(self):
        self.assertEqual(post("sealed=" + seal("a secret text"))[1], "a secret text")
        post("sealed=" + seal("a secret text", b"wrong"))
        log = pathlib.Path(self.log.name).read_bytes()
        self.assertIn(b'"POST /open HTTP/1.0" 200', log)
        self.assertNotIn(b"secret", log)
        self.assertNotIn(KEY, log)


if __name__ == "__main__":
    if subprocess.run([PYTHON, "-c", "import Cryptodome"], stderr=subprocess.DEVNULL).returncode != 0:
        print(f"SKIPPED: {PYTHON} cannot import Cryptodome: install python3-pycryptodome", file=sys.stderr)
        sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
