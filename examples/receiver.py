"""A web server that opens what bfseal sealed and formsend posted.

Usage: python3 receiver.py KEY [PORT]

Answers every POST of a form (application/x-www-form-urlencoded) holding a
field `sealed`, the output of `bfseal <text> KEY`:
  200  the opened text (text/plain; charset=utf-8)
  400  the field is missing or is not what bfseal writes
  422  it does not open under KEY: the key is wrong or the text was damaged
Its log shows requests and statuses, never the key or an opened text.
Needs Python's standard library and pycryptodome (Debian: python3-pycryptodome).
"""
import http.server
import os
import re
import sys
import urllib.parse

from Cryptodome.Cipher import Blowfish

# Control characters (Unicode category Cc) other than tab, LF and CR.
CONTROL = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f]")


class Refused(Exception):
    """An answer other than 200: its status, and the reason as the message."""

    def __init__(self, status, reason):
        super().__init__(reason)
        self.status = status


def blowfish_key(key):
    """Blowfish repeats a key over its schedule, so a whole repetition of a
    short key is the same key; pycryptodome takes 4 to 56 bytes."""
    if len(key) < 4:
        key *= 4
    if len(key) > 56:
        raise ValueError(f"pycryptodome takes keys of 1 to 56 bytes, this one has {len(key)}")
    return key


def check_shape(sealed):
    """The checks bfopen makes before it decrypts: 400 when one fails."""
    bad = re.search("[^0-9a-fA-F]", sealed)
    if bad:
        raise Refused(400, f"character {bad.start() + 1} of the field sealed is not a hex digit")
    if len(sealed) % 2:
        raise Refused(400, f"the field sealed has an odd number of hex digits ({len(sealed)})")
    if len(sealed) < 16:
        raise Refused(400, f"the field sealed is too short: {len(sealed)} hex digits, the IV alone takes 16")
    if (len(sealed) - 16) % 16:
        raise Refused(400, "the field sealed is not whole blocks: "
                           f"{len(sealed) - 16} hex digits after the IV, not a multiple of 16")


def open_sealed(sealed, key):
    """The text bfseal sealed under key (bytes), or Refused."""
    check_shape(sealed)
    data = bytes.fromhex(sealed)
    plain = Blowfish.new(key, Blowfish.MODE_CBC, data[:8]).decrypt(data[8:])
    # The text ends at the first zero byte; only zero bytes (the padding) follow.
    text, _, padding = plain.partition(b"\0")
    try:
        opened = text.decode("utf-8")  # strict: no overlong forms, no surrogates
    except UnicodeDecodeError:
        opened = None
    if padding.strip(b"\0") or opened is None or CONTROL.search(opened):
        raise Refused(422, "wrong key or damaged input")
    return opened


class Receiver(http.server.BaseHTTPRequestHandler):
    key = b""

    def do_POST(self):
        try:
            if self.headers.get_content_type() != "application/x-www-form-urlencoded":
                raise Refused(415, "send a form: application/x-www-form-urlencoded")
            length = self.headers.get("Content-Length", "")
            if not length.isdigit():
                raise Refused(411, "the request needs a Content-Length")
            # Latin-1 maps byte to character, so positions in messages are bytes.
            body = self.rfile.read(int(length)).decode("latin-1")
            fields = urllib.parse.parse_qs(body, keep_blank_values=True, encoding="latin-1")
            if len(fields.get("sealed", [])) != 1:
                raise Refused(400, "the form needs exactly one field sealed")
            # Trailing blanks and line breaks are ignored, as `bfopen -` does.
            self.answer(200, open_sealed(fields["sealed"][0].rstrip(" \t\r\n"), self.key))
        except Refused as refused:
            self.answer(refused.status, f"{refused}\n")

    def answer(self, status, text):
        body = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def main(args):
    if len(args) not in (1, 2) or not args[0]:
        sys.exit("usage: python3 receiver.py KEY [PORT]")
    try:
        # The key's bytes as typed, whatever the locale.
        Receiver.key = blowfish_key(os.fsencode(args[0]))
        port = int(args[1]) if len(args) > 1 else 80
        server = http.server.ThreadingHTTPServer(("", port), Receiver)
    except (ValueError, OverflowError, OSError) as error:
        sys.exit(f"receiver: {error}")
    print(f"receiver: listening on port {port}", file=sys.stderr, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main(sys.argv[1:])
