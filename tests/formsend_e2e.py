"""formsend run whole against Python's own HTTP server on port 80 of the
loopback, inside a private network namespace (see in_netns.sh).

Usage: formsend_e2e.py FORMSEND [LAUNCHER...]
Environment: RECORDER_NAME, a name that formsend's /etc/hosts gives the
recording server's address (127.0.0.3), to post to by name as well.
"""
import fcntl
import hashlib
import http.server
import json
import os
import socket
import struct
import subprocess
import sys
import threading
import unittest
import urllib.parse

COMMAND = sys.argv[2:] + sys.argv[1:2]
SEEN = []  # what the server parsed from each request
RECORDER = "127.0.0.3"  # the recording server's address
RECORDER_NAME = os.environ.get("RECORDER_NAME")


def bring_loopback_up():
    SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH", b"lo", 0)
        flags = struct.unpack("16sH", fcntl.ioctl(s, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH", b"lo", flags | IFF_UP))


def answer_body(path):
    """The body the server answers for a page."""
    if path == "/binary":
        return bytes(range(256)) * 64
    if path.startswith("/large/"):
        size = int(path.split("/")[2])
        return (b"0123456789abcdef\0" * (size // 17 + 1))[:size]
    return None


class FormHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers["Content-Length"])
        body = self.rfile.read(length)
        SEEN.append({
            "path": self.path,
            "version": self.request_version,
            "headers": dict(self.headers.items()),
            "fields": urllib.parse.parse_qs(body.decode(), keep_blank_values=True, strict_parsing=True),
        })
        if self.path == "/close":
            self.close_connection = True
            return
        if self.path == "/reset":
            self.send_response(200)
            self.end_headers()
            self.wfile.write(b"partial")
            self.wfile.flush()
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            return
        payload = answer_body(self.path)
        if payload is None:
            payload = json.dumps(SEEN[-1]["fields"], sort_keys=True).encode()
        self.send_response(201 if self.path == "/created" else 200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def log_message(self, *args):
        pass


class Recorder:
    """A bare TCP server on port 80 of RECORDER that keeps every byte of each
    connection: it answers once the request is complete, ends its side and
    reads on until the client closes, so that anything the client sends after
    the request is kept too."""

    def __init__(self):
        self.listener = socket.create_server((RECORDER, 80))
        self.connections = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            connection, _ = self.listener.accept()
            received = bytearray()
            self.connections.append(received)
            threading.Thread(target=self.record, args=(connection, received), daemon=True).start()

    @staticmethod
    def record(connection, received):
        connection.settimeout(30)
        with connection:
            answered = False
            while chunk := connection.recv(65536):
                received += chunk
                head, blank, body = bytes(received).partition(b"\r\n\r\n")
                length = [int(line.split(b":")[1]) for line in head.split(b"\r\n")
                          if line.lower().startswith(b"content-length:")]
                if not answered and blank and length and len(body) >= length[0]:
                    connection.sendall(b"HTTP/1.0 200 OK\r\n\r\nrecorded")
                    connection.shutdown(socket.SHUT_WR)
                    answered = True


def request_bytes(host, page, body):
    return (f"POST {page} HTTP/1.0\r\nHost: {host}\r\nContent-type: application/x-www-form-urlencoded\r\n"
            f"Content-length: {len(body.encode())}\r\n\r\n{body}").encode()


def formsend(*args, stdout=subprocess.PIPE, closed=()):
    """Runs formsend; closed names the standard descriptors it starts without."""
    def close_descriptors():
        for fd in closed:
            os.close(fd)
    return subprocess.run(COMMAND + list(args), stdout=stdout, stderr=subprocess.PIPE if 2 not in closed else None,
                          timeout=60, preexec_fn=close_descriptors)


def split_answer(out):
    """The address line, the status line and the body of formsend's output."""
    address, rest = out.split(b"\n", 1)
    head, body = rest.split(b"\r\n\r\n", 1)
    return address, head.split(b"\r\n")[0], body


class FormsendTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        bring_loopback_up()
        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 80), FormHandler)
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()
        cls.recorder = Recorder()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()

    def setUp(self):
        SEEN.clear()
        self.recorder.connections.clear()

    def test_form_fields_reach_the_server(self):
        cases = [
            # host as typed, page, body, fields the server parses
            ("127.0.0.1", "/submit", "name=J%C3%B6rg&note=a+b%26c", {"name": ["Jörg"], "note": ["a b&c"]}),
            ("127.1", "/created", "x=1", {"x": ["1"]}),
            ("127.0.0.1", "/form?q=1", "", {}),
            ("127.0.0.1", "/", "empty=&x=%00", {"empty": [""], "x": ["\0"]}),
        ]
        for host, page, body, fields in cases:
            with self.subTest(host=host, page=page, body=body):
                SEEN.clear()
                run = formsend(host, page, body)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stderr, b"")
                address, status, answer = split_answer(run.stdout)
                self.assertEqual(address, b"address: 127.0.0.1")
                self.assertIn(status, (b"HTTP/1.0 200 OK", b"HTTP/1.0 201 Created"))
                self.assertEqual(json.loads(answer), fields)
                self.assertEqual(len(SEEN), 1)
                seen = SEEN[0]
                self.assertEqual((seen["path"], seen["version"]), (page, "HTTP/1.0"))
                self.assertEqual(seen["headers"], {
                    "Host": host,
                    "Content-type": "application/x-www-form-urlencoded",
                    "Content-length": str(len(body.encode())),
                })

    def test_answers_are_relayed_byte_for_byte(self):
        for page in ("/binary", "/large/5000000"):
            with self.subTest(page=page):
                run = formsend("127.0.0.1", page, "a=1")
                self.assertEqual(run.returncode, 0, run.stderr)
                expected = answer_body(page)
                body = split_answer(run.stdout)[2]
                self.assertEqual(len(body), len(expected))
                self.assertEqual(hashlib.sha256(body).hexdigest(), hashlib.sha256(expected).hexdigest())

    def test_server_closing_without_an_answer_is_not_a_failure(self):
        run = formsend("127.0.0.1", "/close", "a=1")
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"address: 127.0.0.1\n", b""))

    def test_failures(self):
        cases = [
            # arguments, status, standard output, start of standard error
            (("127.0.0.2", "/", "a=1"), 1, b"address: 127.0.0.2\n",
             b"connect error for address: 127.0.0.2: Connection refused"),
            (("no-such-host.invalid", "/", "a=1"), 1, b"",
             b" gethostbyname error for host: no-such-host.invalid: "),
            (("127.0.0.1", "/reset", "a=1"), 1, None, b"read error on the connection: Connection reset by peer"),
        ]
        for args, status, out, err in cases:
            with self.subTest(args=args):
                run = formsend(*args)
                self.assertEqual(run.returncode, status)
                if out is not None:
                    self.assertEqual(run.stdout, out)
                self.assertTrue(run.stderr.startswith(err), run.stderr)
                self.assertFalse(run.stderr.endswith(b"\n"), run.stderr)

    def test_unwritable_output_is_a_failure(self):
        with open("/dev/full", "wb") as full:
            run = formsend("127.0.0.1", "/large/100000", "a=1", stdout=full)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stderr, b"write error on standard output: No space left on device")

    def test_what_reaches_the_server_is_the_request_alone(self):
        answered = b"address: 127.0.0.3\nHTTP/1.0 200 OK\r\n\r\nrecorded"
        cases = [
            # host, page, standard descriptors closed, standard output, status
            (RECORDER, "/blanks and %zz stay as typed", (), answered, 0),
            (RECORDER, "/J\u00f6rg \u20ac", (), answered, 0),
            (RECORDER, "/p", (0,), answered, 0),
            (RECORDER, "/p", (2,), None, 1),  # to /dev/full: its message has nowhere to go
        ]
        if RECORDER_NAME:
            cases.append((RECORDER_NAME, "/by/name?x=%C3%B6", (), answered, 0))
        for host, page, closed, out, status in cases:
            with self.subTest(host=host, page=page, closed=closed):
                self.recorder.connections.clear()
                if out is None:
                    with open("/dev/full", "wb") as full:
                        run = formsend(host, page, "a=1", stdout=full, closed=closed)
                else:
                    run = formsend(host, page, "a=1", closed=closed)
                    self.assertEqual(run.stdout, out)
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertEqual(self.recorder.connections, [request_bytes(host, page, "a=1")])

    def test_refused_before_anything_is_resolved_or_sent(self):
        cases = [
            # host, page, closed descriptors, message
            (RECORDER, "\r/p", (), b"line break in page: byte 1 is a carriage return"),
            (RECORDER, "/p\nX-Injected: 1", (), b"line break in page: byte 3 is a line feed"),
            (RECORDER, "/p HTTP/1.0\r\nX-Injected: 1\r\n\r\nGET /admin", (),
             b"line break in page: byte 12 is a carriage return"),
            (RECORDER, "/p\n", (), b"line break in page: byte 3 is a line feed"),
            ("\n" + RECORDER, "/p", (), b"line break in host: byte 1 is a line feed"),
            (RECORDER + "\r\nX: 1", "/p", (), b"line break in host: byte 10 is a carriage return"),
            (RECORDER + "\r", "/p", (), b"line break in host: byte 10 is a carriage return"),
            (RECORDER, "/p\tq", (), b"control character in page: byte 3 is 0x09"),
            (RECORDER, "/\x1b[31m", (), b"control character in page: byte 2 is 0x1b"),
            (RECORDER, "/p\x7f", (), b"control character in page: byte 3 is 0x7f"),
            ("\x01" + RECORDER, "/p", (), b"control character in host: byte 1 is 0x01"),
            (RECORDER + "\x1f", "/p\x1f", (), b"control character in host: byte 10 is 0x1f"),
            (RECORDER, "/p", (1,), b"standard output is closed: nothing sent"),
            (RECORDER, "/p", (0, 1), b"standard output is closed: nothing sent"),
        ]
        for host, page, closed, message in cases:
            with self.subTest(host=host, page=page, closed=closed):
                run = formsend(host, page, "a=1", closed=closed)
                self.assertEqual((run.returncode, run.stdout, run.stderr), (1, b"", message))
        self.assertEqual(self.recorder.connections, [])

    def test_other_argument_counts_do_nothing(self):
        for args in ((), ("127.0.0.1",), ("127.0.0.1", "/"), ("127.0.0.1", "/", "a=1", "extra")):
            with self.subTest(count=len(args)):
                run = formsend(*args)
                self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
        self.assertEqual(SEEN, [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
