"""The recipes' code and setups (docs/recipes.md), run as they stand against
the built programs.

python, node, php: the guide's functions (its Python block, the files its
checklists write for Node.js and PHP). Every text bfseal seals opens with
the library's open function, and every text its seal function seals opens
with bfopen, for each key length 1 to 72; prints the key lengths found to
open and fails when they are not the ones the guide states. Then one table
of inputs that bfopen opens or refuses, which the library must open or
refuse alike, and of texts its seal function must refuse; and its seal and
open fail, not answer, without OpenSSL's legacy provider. Last, its MAC
functions give the known answer of server.md's "Authentic posts", which
Python's hmac and bfmac give too, and refuse the post with its hex, its
device or its MAC changed.
openssl: the guide's openssl enc recipe.
nginx, apache: the PHP checklists with real servers on port 80 of the
loopback, in a private network namespace (run under in_netns.sh): the files
the checklists write, with the servers started as their restart would;
formsend posts what bfseal sealed, and the page keeps exactly what opens.

Usage: server_libraries.py python|node|php|openssl|nginx|apache BUILD_DIR GUIDE
"""
import glob
import hashlib
import hmac
import json
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from formsend_e2e import bring_loopback_up

LIBRARY, BUILD = sys.argv[1], pathlib.Path(sys.argv[2])
GUIDE = pathlib.Path(sys.argv[3]).read_text()
# Key lengths the guide promises open, per library.
EXPECTED = {"python": set(range(1, 57)), "node": set(range(1, 73)), "php": set(range(1, 73)),
            "openssl": {1, 2, 4, 8, 16}}
# Where the guide's checklists write the functions.
MODULES = {"node": "/usr/local/lib/sealpost/sealpost.js", "php": "/usr/local/lib/sealpost/sealpost.php"}
# Folders and files of the machine the checklists write to: moved into a
# folder of the test, in the files' paths and in what they name. Not
# /etc/sealpost, the receiver's: a checklist that writes there is caught.
MOVED = ("/etc/sealpost-php", "/etc/sealpost-node", "/etc/ssl/openssl-legacy.cnf", "/var/lib/sealpost",
         "/var/www/html", "/run/php", "/usr/local/lib/sealpost", "/etc/systemd/system", "/etc/nginx/sites-available",
         "/etc/apache2/envvars")

# Each driver reads lines "OPERATION KEY ARGUMENT" (key and argument in hex)
# and answers "ok HEX" or "error MESSAGE" for each. open: opens the argument,
# as a string; seal: seals the argument, a text as Python writes it in UTF-8
# (Node.js: UTF-16, for lone surrogates; PHP: the bytes); seal_bytes: seals
# the argument's bytes, as a bytes object where the language has one. mac:
# the MAC of the post "DEVICE LF HEX", under the key text; check: "1" when
# "DEVICE LF HEX LF MAC" is that post with its MAC, else "0".
DRIVERS = {
    "python": """
import sys
for line in sys.stdin:
    op, key, arg = line.rstrip("\\n").split(" ")
    try:
        key, arg = bytes.fromhex(key), bytes.fromhex(arg)
        if op == "open":
            out = open_sealed(arg.decode("latin-1"), key).encode().hex()
        elif op == "mac":
            out = post_mac(derive_mac_key(key), *arg.decode().split("\\n"))
        elif op == "check":
            out = "1" if mac_ok(derive_mac_key(key), *arg.decode().split("\\n")) else "0"
        else:
            out = seal(arg.decode("utf-8", "surrogatepass") if op == "seal" else arg, key)
        print("ok", out)
    except Exception as error:
        print("error", repr(error).splitlines()[0])
""",
    "node": """
for (const line of require("fs").readFileSync(0, "latin1").split("\\n").filter(Boolean)) {
  const [op, key, arg] = line.split(" ");
  try {
    const k = Buffer.from(key, "hex"), a = Buffer.from(arg, "hex");
    const out = op === "open" ? Buffer.from(openSealed(a.toString("latin1"), k)).toString("hex")
      : op === "mac" ? postMac(deriveMacKey(k), ...a.toString("latin1").split("\\n"))
      : op === "check" ? (macOk(deriveMacKey(k), ...a.toString("latin1").split("\\n")) ? "1" : "0")
      : seal(op === "seal" ? a.toString("utf16le") : a, k);
    console.log("ok " + out);
  } catch (error) {
    console.log("error " + String(error.message).split("\\n")[0]);
  }
}
""",
    "php": """
foreach (file('php://stdin', FILE_IGNORE_NEW_LINES) as $line) {
    [$op, $key, $arg] = explode(' ', $line);
    try {
        $out = match ($op) {
            'open' => bin2hex(open_sealed(hex2bin($arg), hex2bin($key))),
            'mac' => post_mac(derive_mac_key(hex2bin($key)), ...explode("\\n", hex2bin($arg))),
            'check' => mac_ok(derive_mac_key(hex2bin($key)), ...explode("\\n", hex2bin($arg))) ? '1' : '0',
            default => seal(hex2bin($arg), hex2bin($key)),
        };
        echo "ok $out\\n";
    } catch (Throwable $error) {
        echo 'error ', strtok($error->getMessage(), "\\n"), "\\n";
    }
}
""",
}
# Not the hex of an IV and whole blocks: each open function must refuse them.
MALFORMED = ["", "0" * 14, "0" * 15, "0" * 17, "0" * 24, "0" * 30 + "g0", "0" * 32 + "x"]
PIECES = ["a", "é", "€", "😀", " ", "Z", "ß", "7", "ü", "字"]
# Opened under the right key, but not text: not UTF-8, or control characters.
NOT_TEXT = [b"caf\xe9", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xff",
            b"\x1b[0m", b"a\x7f", b"\xc2\x85", b"\xc2\x9f", b"\x0b\x0c"]


def skip(reason):
    print(f"SKIPPED: {reason}", file=sys.stderr)
    sys.exit(77)


def blocks(fence, text):
    return re.findall(rf"^```{fence}\n(.*?)^```$", text, re.S | re.M)


def guide_files(version=""):
    """The files the guide's commands write, by path: each here document
    given to tee, as the shell expands it with v set to PHP's version, and
    the lines echo gives to tee -a."""
    files = {}
    for path, quote, body in re.findall(r"tee (\S+) >/dev/null <<('?)EOF\2\n(.*?\n)EOF\n", GUIDE, re.S):
        # Checklists that share a host must not overwrite each other's files.
        assert path not in files, f"two steps of the guide write {path}"
        if not quote:
            body = subprocess.run(["sh", "-c", f"cat <<EOF\n{body}EOF\n"], env={"v": version}, capture_output=True,
                                  text=True, check=True).stdout
        files[path.replace("$v", version)] = body
    for line, path in re.findall(r"^echo '(.*)' \| sudo tee -a (\S+)$", GUIDE, re.M):
        files[path] = files.get(path, "") + line + "\n"
    return files


def moved(text, root):
    for path in MOVED:
        text = text.replace(path, f"{root}{path}")
    return text


def write_guide_files(root, version=""):
    """Writes the files of the guide into root, as moved(): returns their paths."""
    written = {}
    for path, text in guide_files(version).items():
        target = pathlib.Path(moved(path, root))
        assert str(target).startswith(str(root)), f"the guide writes {path}, which this test does not move"
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(moved(text, root))
        written[path] = target
    return written


def key_file(reader, code):
    """The path of the key file the code reads with reader; a step of the
    guide must make that file."""
    path = re.search(rf"""{reader}\(["']([^"']+)["']\)""", code)[1]
    assert f">{path}'" in GUIDE, f"no step of the guide makes the key file {path}"
    return path


def key_of(length):
    """A key of distinct bytes, so that no shorter key repeats to it: ASCII
    for odd lengths, any byte but zero for even ones."""
    if length % 2:
        return bytes(33 + (length + 5 * i) % 94 for i in range(length))
    return bytes(1 + (length + 13 * i) % 255 for i in range(length))


def text_of(length, start):
    """A UTF-8 text of exactly length bytes, with no control character."""
    text, i = b"", start
    while len(text) < length:
        piece = PIECES[i % len(PIECES)].encode()
        text += piece if len(text) + len(piece) <= length else b"x"
        i += 1
    return text


# Each key length with one text length of 0 to 40, and one longer text. An
# empty text opens under any key, so the longer text has the key length
# (41) the empty one has.
ROWS = [(key_of(n), text_of(n % 41, n)) for n in range(1, 73)] + [(key_of(41), text_of(10_000, 0))]
KEY = key_of(18)


def program(name, *args, stdin=None):
    return subprocess.run([str(BUILD / name / name), *args], input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60)


def bfopen(hex, key):
    """bfopen's run; with the hex on standard input where a command line
    cannot hold it (131,072 bytes for one argument)."""
    return program("bfopen", "-", key, stdin=hex.encode()) if len(hex) >= 131072 else program("bfopen", hex, key)


def bfseal(text, key):
    run = program("bfseal", text, key)
    assert run.returncode == 0, run.stderr
    return run.stdout.decode()


def damaged(sealed, index, bits):
    """The sealed text with byte index of its IV changed by bits, which
    changes byte index of its first block by the same bits."""
    changed = bytearray.fromhex(sealed)
    changed[index] ^= bits
    return changed.hex()


def open_table():
    """Inputs to open under KEY, each with the text bfopen opens (None: it
    refuses it)."""
    sealed = bfseal("Attack at dawn", KEY)
    table = [(bfseal(text, KEY), text) for text in (b"tab\tand\r\nline breaks", "\ufeffa BOM first".encode(),
                                                    "\U0010ffff\u00a0\ud7ff\ue000".encode())]
    table += [
        (sealed.upper(), b"Attack at dawn"),
        # 131,072 hex digits, the length that exhausts the stack of some patterns.
        (bfseal(b"0123456789abcdef" * 4095 + b"01234567", KEY), b"0123456789abcdef" * 4095 + b"01234567"),
        (sealed + "\n", None),
        (sealed[:32] + " " * 16, None),
        (sealed[:16] + "\t" + sealed[17:], None),
        # "ab\0c": a byte after the padding's first zero.
        (damaged(bfseal("abXc", KEY), 2, ord("X")), None),
    ]
    return table + [(bfseal(text, KEY), None) for text in NOT_TEXT]


# Texts each seal function must refuse, as (operation, text), and the
# libraries whose seal takes them anyway: a PHP string is bytes.
NOT_SEALED = [("seal", "a\0b", ()), ("seal", "\x1b[0m", ()), ("seal", "a\x85", ()), ("seal", "\ud800", ()),
              ("seal_bytes", b"Attack at dawn", ("php",))]


def known_answer():
    """The known answer of server.md's "Authentic posts": key text, device,
    sealed hex, MAC and MAC with no device, checked against Python's hmac
    and bfmac, which the libraries' MAC functions must give alike."""
    section = pathlib.Path(sys.argv[3]).with_name("server.md").read_text().split("\n## Authentic posts\n")[1]
    rows = dict(re.findall(r"^\| ([a-zA-Z ]+) \| `([^`]*)`", section, re.M))
    key, device, hex = rows["key text"].encode(), rows["device"], rows["sealed hex"]
    mac_key = hmac.new(key, b"sealpost-mac-key-v1", hashlib.sha256).digest()
    for name, named in (("MAC", device), ("MAC with no device", "")):
        mac = hmac.new(mac_key, f"sealpost-post-v1\n{named}\n{hex}".encode(), hashlib.sha256).hexdigest()
        assert rows[name] == mac, (name, rows[name], mac)
    with tempfile.NamedTemporaryFile() as file:
        file.write(key + b"\n")
        file.flush()
        run = program("bfmac", "-k", file.name, "-d", device, hex)
    assert (run.returncode, run.stdout.decode()) == (0, rows["MAC"] + "\n"), run
    return key, device, hex, rows["MAC"], rows["MAC with no device"]


def mac_requests(known):
    """Requests of the MAC functions, each with the answer it must get: the
    known answer, with no device, and the post with one thing changed."""
    key, device, hex, mac, bare = known
    changed_hex = hex[:20] + ("0" if hex[20] != "0" else "1") + hex[21:]
    changed_mac = mac[:-1] + ("0" if mac[-1] != "0" else "1")
    cases = [("mac", [device, hex], mac), ("mac", ["", hex], bare), ("check", [device, hex, mac], "1"),
             ("check", ["", hex, bare], "1"), ("check", [device, changed_hex, mac], "0"),
             ("check", [device + "x", hex, mac], "0"), ("check", ["", hex, mac], "0"),
             ("check", [device, hex, changed_mac], "0"), ("check", [device, hex, mac.upper()], "0"),
             ("check", [device, hex, mac[:-1]], "0"), ("check", [device, hex, mac + "0"], "0")]
    return [(request(op, key, "\n".join(fields).encode()), f"ok {answer}") for op, fields, answer in cases]


def kept_as_authentic(key, device, hex, mac):
    """Whether sealpost-receiver, on a port of the loopback of its own, keeps
    the post with that MAC as the device's authentic text."""
    with tempfile.TemporaryDirectory() as work, socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        (pathlib.Path(work) / "key").write_bytes(key + b"\n")
        store = f"sqlite:{work}/received.db"
        receiver = subprocess.Popen([str(BUILD / "receiver" / "sealpost-receiver"), "--listen", f"127.0.0.1:{port}",
                                     "--key-file", f"{work}/key", "--store", store], stderr=subprocess.PIPE)
        try:
            body = f"device={device}&sealed={hex}&mac={mac}".encode()
            deadline = time.monotonic() + 30
            while True:
                try:
                    connection = socket.create_connection(("127.0.0.1", port), timeout=30)
                    break
                except ConnectionRefusedError:
                    assert time.monotonic() < deadline and receiver.poll() is None, receiver.stderr.read()
                    time.sleep(0.05)
            with connection:
                connection.sendall(b"POST / HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                   b"Content-Length: %d\r\n\r\n" % len(body) + body)
                assert connection.recv(100).startswith(b"HTTP/1.1 204 "), "not answered 204"
        finally:
            receiver.terminate()
            receiver.wait(timeout=60)
        rows = subprocess.run([str(BUILD / "receiver" / "sealpost-receiver"), "export", "--authentic", "--store",
                               store], capture_output=True, check=True).stdout.decode().splitlines()
        return [(row["device"], row["authentic"]) for row in map(json.loads, rows)] == [(device, True)]


def request(op, key, arg):
    if op == "seal" and isinstance(arg, str):
        arg = arg.encode("utf-16-le" if LIBRARY == "node" else "utf-8", "surrogatepass")
    return f"{op} {key.hex()} {arg.hex()}\n"


def outcome(answer, text):
    if not answer.startswith("ok "):
        return "refused"
    return "opens" if bytes.fromhex(answer[3:]) == text else "wrong"


def interpreters(workdir):
    """Each way the guide gives to run the library, as a command that runs a
    program file and the environment it needs beside this one's; then one
    that has no legacy provider, or None."""
    legacy = {"OPENSSL_CONF": str(write_guide_files(workdir)["/etc/ssl/openssl-legacy.cnf"])}
    if LIBRARY == "python":
        if subprocess.run(["/usr/bin/python3", "-c", "import Cryptodome"], capture_output=True).returncode:
            skip("/usr/bin/python3 cannot import Cryptodome: install python3-pycryptodome")
        return [(["/usr/bin/python3"], {})], None
    if LIBRARY == "node":
        if not shutil.which("node"):
            skip("no node on PATH: install nodejs")
        return [(["node", "--openssl-legacy-provider"], {}), (["node"], legacy)], ["node"]
    if not shutil.which("php"):
        skip("no php on PATH: install php-cli")
    if subprocess.run(["php", "-r", "exit(function_exists('openssl_decrypt') ? 0 : 1);"]).returncode:
        skip("php has no openssl extension")
    return [(["php", "-d", "display_errors=stderr"], legacy)], ["php", "-d", "display_errors=stderr"]


def answers_of(command, env, path, requests):
    run = subprocess.run(command + [str(path)], input=requests.encode(), capture_output=True, timeout=300,
                         env={**{k: v for k, v in os.environ.items() if k != "OPENSSL_CONF"}, **env})
    assert run.returncode == 0, run.stderr.decode()
    answers = run.stdout.decode().splitlines()
    assert len(answers) == requests.count("\n"), run.stdout.decode() + run.stderr.decode()
    return answers


def library_outcomes(workdir, sealed):
    """Per row, the outcome of opening bfseal's text and of bfopen opening
    the library's sealed text; the table's rows are checked here."""
    commands, bare = interpreters(workdir)
    if LIBRARY == "python":
        source = "\n".join(blocks("python", GUIDE))
    else:
        source = guide_files()[MODULES[LIBRARY]]
    path = workdir / ("driver." + {"python": "py", "node": "js", "php": "php"}[LIBRARY])
    path.write_text(source + DRIVERS[LIBRARY])
    table = open_table()
    requests = "".join(request("open", key, hex.encode()) for (key, _), hex in zip(ROWS, sealed))
    requests += "".join(request("seal", key, text.decode()) for key, text in ROWS)
    requests += "".join(request("open", ROWS[0][0], hex.encode()) for hex in MALFORMED)
    requests += "".join(request("open", KEY, hex.encode()) for hex, _ in table)
    requests += "".join(request(op, KEY, text) for op, text, _ in NOT_SEALED)
    macs = mac_requests(known_answer())
    requests += "".join(line for line, _ in macs)
    # A post of its own, whose MAC the receiver must take as authentic.
    own_hex, own_device = bfseal("sealed for the receiver", KEY), f"from-{LIBRARY}"
    requests += request("mac", KEY, f"{own_device}\n{own_hex}".encode())
    results = []
    for command, env in commands:
        name = " ".join(command) + "".join(f" with {name}" for name in env)
        answers = answers_of(command, env, path, requests)
        opens = [outcome(answer, text) for answer, (_, text) in zip(answers, ROWS)]
        seals = []
        for answer, (key, text) in zip(answers[len(ROWS):2 * len(ROWS)], ROWS):
            if not answer.startswith("ok "):
                seals.append("refused")
                continue
            run = program("bfopen", answer[3:], key)
            seals.append("refused" if run.returncode else "opens" if run.stdout == text else "wrong")
        rest = iter(answers[2 * len(ROWS):])
        for hex, answer in zip(MALFORMED, rest):
            assert answer.startswith("error "), f"{name} opened {hex!r}: {answer}"
        for (hex, text), answer in zip(table, rest):
            run = bfopen(hex, KEY)
            assert (run.returncode, run.stdout) == ((0, text) if text is not None else (1, b"")), (hex[:40], run)
            expected = "error " if text is None else f"ok {text.hex()}"
            assert answer.startswith(expected), f"{name} opened {hex[:40]!r}: {answer[:60]}, bfopen {text!r:.40}"
        for (op, text, takes), answer in zip(NOT_SEALED, rest):
            assert answer.startswith("ok " if LIBRARY in takes else "error "), f"{name} {op} {text!r}: {answer}"
        for (line, expected), answer in zip(macs, rest):
            assert answer == expected, f"{name} {line.strip()}: {answer}, not {expected}"
        own_mac = next(rest)
        assert own_mac.startswith("ok ") and kept_as_authentic(KEY, own_device, own_hex, own_mac[3:]), own_mac
        print(f"{name}: the MAC of the known answer, and {len(macs) - 4} changed posts refused; "
              "the receiver keeps its own post as authentic")
        results.append((name, opens, seals))
    if bare:
        # Without Blowfish, sealing or opening anything must fail, never
        # answer: PHP's openssl_encrypt returns false, which is no IV's text.
        answers = answers_of(bare, {}, path, request("seal", KEY, "Attack") + request("seal", KEY, "") +
                             request("open", KEY, sealed[0].encode()) + request("open", KEY, b"0" * 16))
        assert all(answer.startswith("error ") for answer in answers), (bare, answers)
    return results


def openssl_outcomes(workdir, sealed):
    """The guide's openssl enc recipe: once as it stands, then its last
    command for every row, the key written out repeated to 16 bytes."""
    if not (shutil.which("openssl") and shutil.which("xxd")):
        skip("the recipe needs openssl and xxd: install them")
    recipe = next(block for block in blocks("sh", GUIDE) if "openssl enc" in block)
    env = {**os.environ, "PATH": f"{BUILD / 'bfseal'}:{os.environ['PATH']}"}
    run = subprocess.run(["sh", "-eu"], input=recipe.encode(), capture_output=True, env=env, timeout=60)
    assert (run.returncode, run.stdout) == (0, b"Attack at dawn"), run
    pipeline = recipe.split("\n", 2)[2]
    assert pipeline.startswith("printf %s \"$sealed\""), pipeline
    opens = []
    for (key, text), hex in zip(ROWS, sealed):
        row_env = {**{k.encode(): v.encode() for k, v in os.environ.items()}, b"sealed": hex.encode(),
                   b"key": (key * 16)[:16]}
        run = subprocess.run(["sh", "-eu"], input=pipeline.encode(), capture_output=True, env=row_env, timeout=60)
        opens.append("opens" if (run.returncode, run.stdout) == (0, text) else
                     "wrong" if run.returncode == 0 else "refused")
    return [("openssl enc", opens, None)]


def key_lengths(outcomes, wanted):
    """Key lengths whose every row with a text had the wanted outcome."""
    rows = [(len(key), got) for (key, text), got in zip(ROWS, outcomes) if text]
    return {n for n, _ in rows} - {n for n, got in rows if got != wanted}


def spans(lengths):
    """Key lengths as ranges: "1-56, 60"."""
    runs = []
    for n in sorted(lengths):
        if runs and runs[-1][1] == n - 1:
            runs[-1][1] = n
        else:
            runs.append([n, n])
    return ", ".join(f"{a}" if a == b else f"{a}-{b}" for a, b in runs) or "none"


def write_key(root, path):
    """KEY in the file at path, moved into root; never on the machine's path."""
    target = pathlib.Path(moved(path, root))
    assert str(target).startswith(str(root)), f"the guide's key {path} is not a file this test moves"
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(KEY + b"\r\n")


def node_check(workdir):
    """The Node.js checklist's last step, with the key and module it names."""
    check = next(block for block in blocks("sh", GUIDE) if "node --openssl-legacy-provider -e" in block)
    write_guide_files(workdir)
    write_key(workdir, key_file("readKey", check))
    run = subprocess.run(["sh", "-c", moved(check.removeprefix("sudo "), workdir)], capture_output=True,
                         timeout=60)
    assert (run.returncode, run.stdout) == (0, b"it works\n"), run


class Servers:
    """The PHP checklists' files in root, and the servers they set up,
    started as a restart would start them, each as an unprivileged user of
    a user namespace of its own, since Apache will not serve as root."""

    def __init__(self, root):
        self.root, self.processes = root, []
        self.version = os.listdir("/etc/php")[0]
        self.files = write_guide_files(root, self.version)
        for folder in ("var/lib/sealpost", "run/php"):
            (root / folder).mkdir(parents=True, exist_ok=True)
        write_key(root, key_file("read_key", guide_files()["/var/www/html/receive.php"]))
        pathlib.Path("/proc/sys/net/ipv4/ip_unprivileged_port_start").write_text("0")

    def start(self, command, env=None, ready=lambda: True):
        # A session of its own: Apache, as it stops, signals its whole process group.
        self.processes.append(subprocess.Popen(["unshare", "--user", "--map-user=1000", "--map-group=1000"] + command,
                                               env={"PATH": os.environ["PATH"], **(env or {})},
                                               stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                                               start_new_session=True))
        deadline = time.monotonic() + 30
        while not ready():
            assert self.processes[-1].poll() is None and time.monotonic() < deadline, (command, self.logs())
            time.sleep(0.05)

    def stop(self):
        for process in self.processes:
            process.terminate()
            process.wait(timeout=30)

    def logs(self):
        return "".join(path.read_text(errors="replace") for path in self.root.glob("*.log"))

    def nginx_and_php_fpm(self):
        """PHP-FPM with Debian's pool's socket and the drop-in's environment;
        nginx with the guide's site."""
        root, version = self.root, self.version
        pool = pathlib.Path(f"/etc/php/{version}/fpm/pool.d/www.conf").read_text()
        socket_path = moved(re.search(r"^listen = (\S+)", pool, re.M)[1], root)
        drop_in = self.files[f"/etc/systemd/system/php{version}-fpm.service.d/openssl.conf"].read_text()
        assert drop_in.startswith("[Service]\n"), drop_in
        env = dict(re.findall(r"^Environment=(\w+)=(.*)$", drop_in, re.M))
        (root / "php-fpm.conf").write_text(
            f"[global]\npid = {root}/php-fpm.pid\nerror_log = {root}/php-fpm.log\ndaemonize = no\n"
            f"[www]\nlisten = {socket_path}\npm = static\npm.max_children = 2\n")
        self.start([f"/usr/sbin/php-fpm{version}", "-F", "-y", str(root / "php-fpm.conf")], env,
                   lambda: os.path.exists(socket_path))
        conf = root / "etc/nginx"
        for name in ("snippets", "fastcgi.conf", "mime.types"):
            (conf / name).symlink_to(f"/etc/nginx/{name}")
        temp_paths = "".join(f"{kind}_temp_path {root}/nginx-{kind};\n"
                             for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        (conf / "nginx.conf").write_text(
            f"daemon off;\npid {root}/nginx.pid;\nerror_log {root}/nginx-error.log;\nevents {{}}\n"
            f"http {{\ninclude mime.types;\naccess_log {root}/nginx-access.log;\n{temp_paths}"
            f"include {self.files['/etc/nginx/sites-available/sealpost']};\n}}\n")
        self.start(["nginx", "-e", f"{root}/nginx-error.log", "-c", str(conf / "nginx.conf")], ready=listening)

    def apache(self):
        """Apache with mod_php as Debian enables it, in the environment of
        envvars with the guide's line."""
        root, modules = self.root, "/etc/apache2/mods-available"
        envvars = self.files["/etc/apache2/envvars"]
        envvars.write_text(pathlib.Path("/etc/apache2/envvars").read_text() + envvars.read_text())
        loads = "".join(f"Include {modules}/{name}\n" for name in ("mpm_prefork.load", "mpm_prefork.conf",
                                                                   "authz_core.load", f"php{self.version}.load",
                                                                   f"php{self.version}.conf"))
        (root / "apache2.conf").write_text(
            f"ServerName localhost\nListen 127.0.0.1:80\nPidFile {root}/apache2.pid\nErrorLog {root}/apache.log\n"
            f"DefaultRuntimeDir {root}\nMutex file:{root} default\n{loads}"
            f"DocumentRoot {root}/var/www/html\n<Directory {root}/var/www/html>\nRequire all granted\n</Directory>\n")
        self.start(["sh", "-c", f". {envvars} && exec apache2 -d /etc/apache2 -f {root}/apache2.conf -DFOREGROUND"],
                   ready=listening)


def listening():
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", 80)) == 0


def post(body):
    run = program("formsend", "127.0.0.1", "/receive.php", body)
    assert run.returncode == 0, run.stderr
    return run.stdout.split(b"\n", 2)[1].rstrip(b"\r").decode()


def device_step(workdir):
    """The checklist's step on the device, as written: bfseal reads the key
    from the file key, formsend posts; the status line of the answer."""
    step = next(block for block in blocks("sh", GUIDE) if "formsend SERVER /receive.php" in block)
    (workdir / "key").write_bytes(KEY + b"\n")
    path = f"{BUILD / 'bfseal'}:{BUILD / 'formsend'}:{os.environ['PATH']}"
    run = subprocess.run(["sh", "-eu"], input=step.replace("SERVER", "127.0.0.1").encode(), cwd=workdir,
                         capture_output=True, env={**os.environ, "PATH": path}, timeout=60)
    assert run.returncode == 0, run
    return run.stdout.split(b"\n", 2)[1].rstrip(b"\r").decode()


def setup_outcomes(workdir):
    """The checklist's setup answers each post as the receiver does, and its
    store holds exactly the texts that opened."""
    needed = {"nginx": ("/usr/sbin/nginx", "/usr/sbin/php-fpm*"),
              "apache": ("/usr/sbin/apache2", "/etc/apache2/mods-available/php*.load")}[LIBRARY]
    if not all(glob.glob(pattern) for pattern in needed):
        skip(f"the setup needs {' and '.join(needed)}: install nginx and php-fpm, apache2 and libapache2-mod-php")
    bring_loopback_up()
    servers = Servers(workdir)
    try:
        servers.nginx_and_php_fpm() if LIBRARY == "nginx" else servers.apache()
        assert device_step(workdir) == "HTTP/1.1 204 No Content", servers.logs()
        texts = ["it works", "Grüße, 5 €", "tab\tand\r\nline breaks"]
        cases = [(f"sealed={bfseal(text, KEY)}", "HTTP/1.1 204 No Content") for text in texts[1:]]
        cases += [(f"sealed={bfseal('a wrong key', b'another key')}", "HTTP/1.1 204 No Content"),
                  (f"sealed={bfseal(NOT_TEXT[0], KEY)}", "HTTP/1.1 204 No Content"),
                  ("sealed=zz", "HTTP/1.1 400 Bad Request"),
                  ("other=1", "HTTP/1.1 400 Bad Request")]
        for body, status in cases:
            answer = post(body)
            assert answer == status, (body, answer, servers.logs())
        store = workdir / "var/lib/sealpost/received.jsonl"
        lines = [json.loads(line) for line in store.read_text().splitlines()]
        assert [line["text"] for line in lines] == texts, lines
        assert {line["from"] for line in lines} == {"127.0.0.1"}, lines
        assert servers.logs().count("does not open") == 2, servers.logs()
    finally:
        servers.stop()
    print(f"{LIBRARY}: the checklist's setup answered {len(cases) + 1} posts and kept the {len(texts)} that opened")


def main():
    with tempfile.TemporaryDirectory() as workdir:
        if LIBRARY in ("nginx", "apache"):
            setup_outcomes(pathlib.Path(workdir))
            return
        sealed = [bfseal(text, key) for key, text in ROWS]
        measure = openssl_outcomes if LIBRARY == "openssl" else library_outcomes
        results = measure(pathlib.Path(workdir), sealed)
        if LIBRARY == "node":
            node_check(pathlib.Path(workdir))
    failed = False
    for name, opens, seals in results:
        for direction, outcomes in (("bfseal's texts opened by", opens), ("texts sealed by", seals)):
            if outcomes is None:
                continue
            print(f"{direction} {name}: key lengths that open: {spans(key_lengths(outcomes, 'opens'))}; "
                  f"refused: {spans(key_lengths(outcomes, 'refused'))}; "
                  f"wrong text: {spans(key_lengths(outcomes, 'wrong'))}")
            empty = [got for (_, text), got in zip(ROWS, outcomes) if not text]
            if key_lengths(outcomes, "opens") != EXPECTED[LIBRARY] or empty != ["opens"]:
                print(f"  expected to open: {spans(EXPECTED[LIBRARY])}", file=sys.stderr)
                failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
