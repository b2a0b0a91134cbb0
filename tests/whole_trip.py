"""The whole trip, shown step by step: bfseal seals a text, formsend posts it
to examples/receiver.py on port 80 of the loopback, which opens it and keeps
it in its store; then bfopen opens the same sealed text. Exits 1 unless the
receiver answers 204 and both the store and bfopen give the text back.
Runs inside a private network namespace (see in_netns.sh); `./build.sh demo`
shows it, and the test suite runs it on the host and under qemu-arm.

Usage: whole_trip.py BUILD_DIR [LAUNCHER...]
"""
import json
import pathlib
import subprocess
import sys
import tempfile
import time

from formsend_e2e import bring_loopback_up

BUILD = pathlib.Path(sys.argv[1])
LAUNCHER = sys.argv[2:]
RECEIVER = pathlib.Path(__file__).resolve().parent.parent / "examples" / "receiver.py"
# The receiver needs Debian's pycryptodome, which only Debian's Python sees.
PYTHON = "/usr/bin/python3"
TEXT, KEY = "Attack at dawn", "sesame"


def run(program, *args):
    """Shows the command line, runs the built program, returns its output."""
    print("$", program, *(f"'{arg}'" if " " in arg else arg for arg in args), flush=True)
    done = subprocess.run(LAUNCHER + [str(BUILD / program / program), *args],
                          stdout=subprocess.PIPE, timeout=120)
    sys.stdout.buffer.write(done.stdout + b"\n")
    if done.returncode != 0:
        sys.exit(f"{program} failed with status {done.returncode}")
    return done.stdout.decode()


def start_receiver(work, log):
    """The receiver on 127.0.0.1 port 80, its key in a file, its store beside it."""
    (work / "key").write_text(KEY + "\n")
    print(f"$ echo {KEY} >key")
    print("$ python3 examples/receiver.py --key-file key --store received.jsonl &")
    receiver = subprocess.Popen([PYTHON, str(RECEIVER), "--key-file", "key", "--store", "received.jsonl"],
                                cwd=work, stderr=log)
    deadline = time.monotonic() + 30
    while b"listening" not in pathlib.Path(log.name).read_bytes():
        if receiver.poll() is not None or time.monotonic() > deadline:
            sys.exit(f"the receiver did not start: {pathlib.Path(log.name).read_text()}")
        time.sleep(0.05)
    return receiver


def main():
    if subprocess.run([PYTHON, "-c", "import Cryptodome"], stderr=subprocess.DEVNULL).returncode != 0:
        print(f"SKIPPED: {PYTHON} cannot import Cryptodome: install python3-pycryptodome", file=sys.stderr)
        sys.exit(77)
    bring_loopback_up()
    sealed = run("bfseal", TEXT, KEY)
    with tempfile.TemporaryDirectory() as work, tempfile.NamedTemporaryFile() as log:
        receiver = start_receiver(pathlib.Path(work), log)
        try:
            answer = run("formsend", "127.0.0.1", "/open", f"sealed={sealed}")
        finally:
            receiver.terminate()
            receiver.wait()
        print("(the receiver's log:)", pathlib.Path(log.name).read_text(), sep="\n", end="")
        stored = (pathlib.Path(work) / "received.jsonl").read_text()
        print("$ cat received.jsonl", stored, sep="\n", end="", flush=True)
    opened = run("bfopen", sealed, KEY)
    lines = [json.loads(line) for line in stored.splitlines()]
    if answer.split("\n", 2)[1] != "HTTP/1.0 204 No Content\r" or [line["text"] for line in lines] != [TEXT] \
            or opened != TEXT:
        sys.exit("the text did not come back")


if __name__ == "__main__":
    main()
