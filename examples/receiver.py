"""The receiving end of what bfseal sealed and formsend posted: a WSGI
application that opens each sealed text and keeps it.

Facing a network, it runs under a real server, gunicorn (Debian: gunicorn),
directly or behind nginx; the package sealpost-receiver runs it so:
    SEALPOST_KEY_FILE=/etc/sealpost/key gunicorn --preload --chdir examples receiver
To try it on one machine, it serves 127.0.0.1 by itself:
    python3 receiver.py --key-file FILE [--store FILE] [--port PORT]

Under gunicorn the environment tells it:
  SEALPOST_KEY_FILE  the file holding the key text bfseal was given: its bytes
                     less one trailing line break (default: the credential
                     sealpost-key, $CREDENTIALS_DIRECTORY/sealpost-key, which
                     systemd's LoadCredential= gives)
  SEALPOST_STORE     the file opened texts are appended to (default: standard
                     output)

Every POST of a form with exactly one field `sealed` shaped like a sealed text
gets the same answer, 204 No Content, whether the text opened or not: an
answer that told the two apart would let anyone who can post recover texts.
Opened texts go to the store, one JSON object per line (received, from,
text), written and flushed before the answer; texts that do not open are
logged with the client's address, never with the text or the key.
  400  no field sealed, or two, or not the hex of an IV and whole blocks;
       or a body shorter than its Content-Length
  405  not a POST    411  no Content-Length    413  a body over 1 MiB
  415  not a form (application/x-www-form-urlencoded)
Needs Python's standard library and pycryptodome (Debian: python3-pycryptodome).
"""
import argparse
import datetime
import json
import os
import re
import socketserver
import sys
import threading
import urllib.parse
from wsgiref import simple_server

from Cryptodome.Cipher import Blowfish

MAX_BODY = 1 << 20
# Control characters (Unicode category Cc) other than tab, LF and CR.
CONTROL = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f]")
REASONS = {204: "No Content", 400: "Bad Request", 405: "Method Not Allowed", 408: "Request Timeout",
           411: "Length Required", 413: "Content Too Large", 415: "Unsupported Media Type",
           500: "Internal Server Error"}
# gunicorn gives up, instead of starting workers again and again, when a
# worker exits with this status while it loads the application.
WORKER_BOOT_ERROR = 3


class Unusable(Exception):
    """A setting the receiver cannot start with; the message says what to fix."""


class Refused(Exception):
    """An answer other than 204: its status, and the reason as the message."""

    def __init__(self, status, reason):
        super().__init__(reason)
        self.status = status


def load_key(path):
    """The key text in the file, made a key pycryptodome takes: Blowfish
    repeats a key over its schedule, so a short key written out four times
    is the same key."""
    try:
        with open(path, "rb") as file:
            key = file.read()
    except OSError as error:
        raise Unusable(f"cannot read the key: {error}") from None
    # One trailing line break, LF or CR LF, is not part of the key.
    key = key[:-2] if key.endswith(b"\r\n") else key.removesuffix(b"\n")
    if not key:
        raise Unusable(f"the key file {path} is empty")
    if len(key) > 56:
        raise Unusable(f"the key in {path} has {len(key)} bytes; pycryptodome takes keys of 1 to 56 bytes "
                       "(keys of 57 to 72 bytes open in Node.js and PHP: see docs/server.md)")
    return key * 4 if len(key) < 4 else key


def shape_fault(sealed):
    """What the form alone shows is wrong with the field, as bfopen words
    it; None when it is the hex of an IV and whole blocks."""
    bad = re.search("[^0-9a-fA-F]", sealed)
    if bad:
        return f"character {bad.start() + 1} of the field sealed is not a hex digit"
    if len(sealed) % 2:
        return f"the field sealed has an odd number of hex digits ({len(sealed)})"
    if len(sealed) < 16:
        return f"the field sealed is too short: {len(sealed)} hex digits, the IV alone takes 16"
    if len(sealed) % 16:
        return f"the field sealed is not whole blocks: {len(sealed) - 16} hex digits after the IV, not a multiple of 16"
    return None


def open_sealed(sealed, key):
    """The text bfseal sealed under key, or None where bfopen would refuse it."""
    data = bytes.fromhex(sealed)
    plain = Blowfish.new(key, Blowfish.MODE_CBC, data[:8]).decrypt(data[8:])
    # The text ends at the first zero byte; only zero bytes (the padding) follow.
    text, _, padding = plain.partition(b"\0")
    try:
        opened = text.decode("utf-8")  # strict: no overlong forms, no surrogates
    except UnicodeDecodeError:
        return None
    return None if padding.strip(b"\0") or CONTROL.search(opened) else opened


class Store:
    """Where opened texts are kept: a file, fsynced, or standard output."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        if path:
            try:
                os.close(self.open())
            except OSError as error:
                raise Unusable(f"cannot open the store: {error}") from None

    def open(self):
        return os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o600)

    def keep(self, record):
        line = (json.dumps(record, ensure_ascii=False) + "\n").encode("utf-8")
        if not self.path:
            with self.lock:
                sys.stdout.buffer.write(line)
                sys.stdout.buffer.flush()
            return
        fd = self.open()
        try:
            # One write per line, so that workers appending at once do not mix lines.
            if os.write(fd, line) != len(line):
                raise OSError(f"{self.path}: a line was written in part")
            os.fsync(fd)
        finally:
            os.close(fd)


def read_body(stream, length):
    """The body, or Refused when the client sends less than it announced."""
    chunks, left = [], length
    try:
        while left:
            chunk = stream.read(min(left, 65536))
            if not chunk:
                raise Refused(400, f"the body ended {left} bytes short of its Content-Length")
            chunks.append(chunk)
            left -= len(chunk)
    except TimeoutError:
        raise Refused(408, "the body did not arrive in time") from None
    return b"".join(chunks)


class Receiver:
    """The WSGI application."""

    def __init__(self, key, store):
        self.key = key
        self.store = store

    def __call__(self, environ, start_response):
        try:
            self.receive(environ)
            status, body = 204, b""
        except Refused as refused:
            status, body = refused.status, f"{refused}\n".encode()
        headers = [("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", str(len(body)))]
        start_response(f"{status} {REASONS[status]}", headers if body else [])
        return [body]

    def receive(self, environ):
        if environ["REQUEST_METHOD"] != "POST":
            raise Refused(405, "send the sealed text in a POST")
        if environ.get("CONTENT_TYPE", "").split(";")[0].strip().lower() != "application/x-www-form-urlencoded":
            raise Refused(415, "send a form: application/x-www-form-urlencoded")
        length = environ.get("CONTENT_LENGTH", "")
        if not length:
            raise Refused(411, "the request needs a Content-Length")
        if not (length.isascii() and length.isdigit()):
            raise Refused(400, "the Content-Length is not a number")
        if int(length) > MAX_BODY:
            raise Refused(413, f"the body may hold {MAX_BODY} bytes at most")
        body = read_body(environ["wsgi.input"], int(length))
        try:
            # Latin-1 maps byte to character, so positions in messages are bytes.
            fields = urllib.parse.parse_qs(body.decode("latin-1"), keep_blank_values=True, encoding="latin-1",
                                           max_num_fields=100)
        except ValueError:
            raise Refused(400, "the form has more than 100 fields") from None
        if len(fields.get("sealed", [])) != 1:
            raise Refused(400, "the form needs exactly one field sealed")
        sealed = fields["sealed"][0]
        fault = shape_fault(sealed)
        if fault:
            raise Refused(400, fault)
        client = environ.get("REMOTE_ADDR", "")
        text = open_sealed(sealed, self.key)
        if text is None:
            log(environ, f"receiver: a sealed text from {client} does not open: wrong key or damaged")
            return
        received = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
        try:
            self.store.keep({"received": received, "from": client, "text": text})
        except OSError as error:
            log(environ, f"receiver: cannot keep a text from {client}: {error}")
            raise Refused(500, "the text could not be kept") from None


def log(environ, message):
    errors = environ["wsgi.errors"]
    errors.write(message + "\n")
    errors.flush()


def from_environment():
    key_file = os.environ.get("SEALPOST_KEY_FILE")
    if not key_file:
        credentials = os.environ.get("CREDENTIALS_DIRECTORY")
        if not credentials:
            raise Unusable("set SEALPOST_KEY_FILE to the key file, or run under systemd with "
                           "LoadCredential=sealpost-key:FILE")
        key_file = os.path.join(credentials, "sealpost-key")
    return Receiver(load_key(key_file), Store(os.environ.get("SEALPOST_STORE")))


class LocalServer(socketserver.ThreadingMixIn, simple_server.WSGIServer):
    """A bounded server for one machine: a few requests at a time, each with a
    time-out, and a backlog that holds bursts of a few hundred connections."""

    daemon_threads = True
    request_queue_size = 1024

    def __init__(self, port, application, workers=4):
        super().__init__(("127.0.0.1", port), TimedHandler)
        self.set_app(application)
        self.slots = threading.BoundedSemaphore(workers)

    def process_request(self, request, client_address):
        self.slots.acquire()
        super().process_request(request, client_address)

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self.slots.release()


class TimedHandler(simple_server.WSGIRequestHandler):
    timeout = 10

    def handle(self):
        try:
            super().handle()
        except TimeoutError:
            self.log_message("closed a connection idle for %d s", self.timeout)


def main(args):
    parser = argparse.ArgumentParser(prog="receiver.py", description="Opens sealed texts posted to 127.0.0.1.")
    parser.add_argument("--key-file", required=True, help="the file holding the key text")
    parser.add_argument("--store", help="the file opened texts are appended to (default: standard output)")
    parser.add_argument("--port", type=int, default=80)
    options = parser.parse_args(args)
    try:
        server = LocalServer(options.port, Receiver(load_key(options.key_file), Store(options.store)))
    except (Unusable, OSError, OverflowError) as error:
        sys.exit(f"receiver: {error}")
    print(f"receiver: listening on 127.0.0.1 port {options.port}", file=sys.stderr, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main(sys.argv[1:])
else:
    try:
        application = from_environment()
    except Unusable as error:
        print(f"receiver: {error}", file=sys.stderr, flush=True)
        sys.exit(WORKER_BOOT_ERROR)
