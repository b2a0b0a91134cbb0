"""The whole trip, shown step by step: bfseal seals a text, bfmac makes the
MAC that shows the board sent it, formsend posts both to sealpost-receiver
on port 80 of the loopback, which checks the MAC, opens the text and keeps
it in its database; sealpost-receiver export reads the row back, authentic,
and bfopen opens the same sealed text. Exits 1 unless the receiver answers
204 and both the export and bfopen give the text back. Runs inside a private network
namespace (see in_netns.sh); `./build.sh demo` shows it, and the test suite
runs it on the host and under qemu-arm.

Usage: whole_trip.py BUILD_DIR [LAUNCHER...]
"""
import json
import pathlib
import subprocess
import sys
import tempfile
import time

from formsend_e2e import bring_loopback_up

BUILD = pathlib.Path(sys.argv[1]).resolve()
LAUNCHER = sys.argv[2:]
TEXT, KEY, DEVICE = "Attack at dawn", "sesame", "board-1"


def run(program, *args, cwd=None):
    """Shows the command line, runs the built program, returns its output."""
    print("$", program, *(f"'{arg}'" if set(arg) & set(" &;|") else arg for arg in args), flush=True)
    done = subprocess.run(LAUNCHER + [str(BUILD / folder(program) / program), *args], stdout=subprocess.PIPE,
                          timeout=120, cwd=cwd)
    sys.stdout.buffer.write(done.stdout + (b"" if done.stdout.endswith(b"\n") else b"\n"))
    if done.returncode != 0:
        sys.exit(f"{program} failed with status {done.returncode}")
    return done.stdout.decode()


def folder(program):
    """The build folder a program is made in."""
    return "receiver" if program == "sealpost-receiver" else program


def start_receiver(work, log):
    """The receiver on 127.0.0.1 port 80, its key in a file, its database beside it."""
    print("$ sealpost-receiver --listen 127.0.0.1:80 --key-file key --store sqlite:received.db &", flush=True)
    receiver = subprocess.Popen(LAUNCHER + [str(BUILD / "receiver" / "sealpost-receiver"), "--listen",
                                            "127.0.0.1:80", "--key-file", "key", "--store", "sqlite:received.db"],
                                cwd=work, stderr=log)
    deadline = time.monotonic() + 30
    while b"listening" not in pathlib.Path(log.name).read_bytes():
        if receiver.poll() is not None or time.monotonic() > deadline:
            sys.exit(f"the receiver did not start: {pathlib.Path(log.name).read_text()}")
        time.sleep(0.05)
    return receiver


def main():
    bring_loopback_up()
    with tempfile.TemporaryDirectory() as work, tempfile.NamedTemporaryFile() as log:
        (pathlib.Path(work) / "key").write_text(KEY + "\n")
        print(f"$ echo {KEY} >key")
        sealed = run("bfseal", TEXT, KEY)
        mac = run("bfmac", "-k", "key", "-d", DEVICE, sealed, cwd=work).strip()
        receiver = start_receiver(pathlib.Path(work), log)
        try:
            answer = run("formsend", "127.0.0.1", "/", f"device={DEVICE}&sealed={sealed}&mac={mac}")
        finally:
            receiver.terminate()
            receiver.wait()
        print("(the receiver's log:)", pathlib.Path(log.name).read_text(), sep="\n", end="")
        exported = run("sealpost-receiver", "export", "--store", "sqlite:received.db", cwd=work)
    opened = run("bfopen", sealed, KEY)
    rows = [json.loads(line) for line in exported.splitlines()]
    if answer.split("\n", 2)[1] != "HTTP/1.1 204 No Content\r" or \
            [(row["device"], row["text"], row["authentic"]) for row in rows] != [(DEVICE, TEXT, True)] or opened != TEXT:
        sys.exit("the text did not come back")


if __name__ == "__main__":
    main()
