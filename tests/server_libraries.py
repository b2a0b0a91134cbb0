"""The server guide's snippets, run as they stand against the built programs:
every text bfseal seals opens with the library's open function, and every
text its seal function seals opens with bfopen, for each key length 1 to 72.
Prints the key lengths found to open and fails when they are not the ones
the guide states.

Usage: server_libraries.py python|node|php|openssl BUILD_DIR GUIDE
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

LIBRARY, BUILD = sys.argv[1], pathlib.Path(sys.argv[2])
GUIDE = pathlib.Path(sys.argv[3]).read_text()
# Key lengths the guide promises open, per library.
EXPECTED = {"python": set(range(1, 57)), "node": set(range(1, 73)), "php": set(range(1, 73)),
            "openssl": {1, 2, 4, 8, 16}}

# Each driver reads lines "open KEY SEALED" or "seal KEY TEXT" (hex) and
# answers "ok HEX" or "error MESSAGE" for each.
DRIVERS = {
    "python": """
import sys
for line in sys.stdin:
    op, key, arg = line.rstrip("\\n").split(" ")
    try:
        key = bytes.fromhex(key)
        out = open_sealed(arg, key).encode().hex() if op == "open" else seal(bytes.fromhex(arg), key)
        print("ok", out)
    except Exception as error:
        print("error", repr(error).splitlines()[0])
""",
    "node": """
for (const line of require("fs").readFileSync(0, "latin1").split("\\n").filter(Boolean)) {
  const [op, key, arg] = line.split(" ");
  try {
    const k = Buffer.from(key, "hex");
    const out = op === "open" ? Buffer.from(openSealed(arg, k)).toString("hex") : seal(Buffer.from(arg, "hex"), k);
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
        $out = $op === 'open' ? bin2hex(open_sealed($arg, hex2bin($key))) : seal(hex2bin($arg), hex2bin($key));
        echo "ok $out\\n";
    } catch (Throwable $error) {
        echo 'error ', strtok($error->getMessage(), "\\n"), "\\n";
    }
}
""",
}
FENCES = {"python": "python", "node": "js", "php": "php"}
# Not the hex of an IV and whole blocks: each open function must refuse them.
MALFORMED = ["", "0" * 14, "0" * 15, "0" * 17, "0" * 24, "0" * 30 + "g0", "0" * 32 + "x"]
PIECES = ["a", "é", "€", "😀", " ", "Z", "ß", "7", "ü", "字"]


def skip(reason):
    print(f"SKIPPED: {reason}", file=sys.stderr)
    sys.exit(77)


def blocks(fence, text):
    return re.findall(rf"^```{fence}\n(.*?)^```$", text, re.S | re.M)


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


def program(name, *args):
    return subprocess.run([str(BUILD / name / name), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=60)


def bfseal(text, key):
    run = program("bfseal", text, key)
    assert run.returncode == 0, run.stderr
    return run.stdout.decode()


def outcome(answer, text):
    if not answer.startswith("ok "):
        return "refused"
    return "opens" if bytes.fromhex(answer[3:]) == text else "wrong"


def interpreters(workdir):
    """Each way the guide gives to run the library: a command that runs a
    program file, and the environment it needs beside this one's."""
    conf = workdir / "openssl-legacy.cnf"
    conf.write_text(blocks("ini", GUIDE)[0])
    legacy = {"OPENSSL_CONF": str(conf)}
    if LIBRARY == "python":
        if subprocess.run(["/usr/bin/python3", "-c", "import Cryptodome"], capture_output=True).returncode:
            skip("/usr/bin/python3 cannot import Cryptodome: install python3-pycryptodome")
        return [(["/usr/bin/python3"], {})]
    if LIBRARY == "node":
        if not shutil.which("node"):
            skip("no node on PATH: install nodejs")
        return [(["node", "--openssl-legacy-provider"], {}), (["node"], legacy)]
    if not shutil.which("php"):
        skip("no php on PATH: install php-cli")
    if subprocess.run(["php", "-r", "exit(function_exists('openssl_decrypt') ? 0 : 1);"]).returncode:
        skip("php has no openssl extension")
    return [(["php", "-d", "display_errors=stderr"], legacy)]


def library_outcomes(workdir, sealed):
    """Per row, the outcome of opening bfseal's text and of bfopen opening
    the library's sealed text."""
    source = "\n".join(blocks(FENCES[LIBRARY], GUIDE)) + DRIVERS[LIBRARY]
    path = workdir / f"snippet.{FENCES[LIBRARY]}"
    path.write_text(("<?php\n" if LIBRARY == "php" else "") + source)
    requests = "".join(f"open {key.hex()} {hex}\n" for (key, _), hex in zip(ROWS, sealed))
    requests += "".join(f"seal {key.hex()} {text.hex()}\n" for key, text in ROWS)
    requests += "".join(f"open {ROWS[0][0].hex()} {hex}\n" for hex in MALFORMED)
    results = []
    for command, env in interpreters(workdir):
        run = subprocess.run(command + [str(path)], input=requests.encode(), capture_output=True, timeout=300,
                             env={**os.environ, **env})
        assert run.returncode == 0, run.stderr.decode()
        answers = run.stdout.decode().splitlines()
        assert len(answers) == 2 * len(ROWS) + len(MALFORMED), run.stdout.decode() + run.stderr.decode()
        for hex, answer in zip(MALFORMED, answers[2 * len(ROWS):]):
            assert answer.startswith("error "), f"{command} opened {hex!r}: {answer}"
        opens = [outcome(answer, text) for answer, (_, text) in zip(answers, ROWS)]
        seals = []
        for answer, (key, text) in zip(answers[len(ROWS):2 * len(ROWS)], ROWS):
            if not answer.startswith("ok "):
                seals.append("refused")
                continue
            run = program("bfopen", answer[3:], key)
            seals.append("refused" if run.returncode else "opens" if run.stdout == text else "wrong")
        results.append((" ".join(command) + "".join(f" with {name}" for name in env), opens, seals))
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


def main():
    sealed = [bfseal(text, key) for key, text in ROWS]
    with tempfile.TemporaryDirectory() as workdir:
        measure = openssl_outcomes if LIBRARY == "openssl" else library_outcomes
        results = measure(pathlib.Path(workdir), sealed)
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
