"""Runs every benchmark and prints a table of ratios.

Usage: run_bench.py BUILD_DIR BOARDS_DIR   (inside a private network
namespace: the formsend comparisons serve on port 80 of its loopback;
BOARDS_DIR holds the static archives of ./build.sh boards)

Every figure compares two things measured side by side in the same run:
runs alternate between the contenders and the median of each is taken.
"""
import fcntl
import json
import os
import platform
import random
import socket
import statistics
import struct
import subprocess
import sys
import tarfile
import tempfile
import time

BUILD = sys.argv[1]
BOARDS = sys.argv[2]
BFSEAL = os.path.join(BUILD, "bfseal", "bfseal")
FORMSEND = os.path.join(BUILD, "formsend", "formsend")
SERVER = os.path.join(BUILD, "bench", "bench_http_server")
LIBRARY_BENCH = os.path.join(BUILD, "bench", "library_bench")
OPENSSL_LEGACY = ["-provider", "legacy", "-provider", "default"]
KEY = "sixteen byte key"
ROWS = []


def row(figure, value, target, detail):
    ROWS.append((figure, value, target, detail))
    print(f"  {figure}: {value} ({detail})", file=sys.stderr)


def run(argv, stdin=None):
    """Wall time of one process run to its end."""
    start = time.perf_counter()
    code = subprocess.call(argv, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if code != 0:
        raise RuntimeError(f"{argv[0]} exited with {code}")
    return elapsed


def peak_rss(argv):
    """Peak resident set of a process in KiB, as /usr/bin/time reports it.
    (A child of this Python process would report Python's own size: the
    peak carries over across exec.)"""
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, check=True).stderr
    return int(out.split()[-1])


def run_pipeline(first, second, stdin):
    """Wall time of first | second."""
    start = time.perf_counter()
    a = subprocess.Popen(first, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    b = subprocess.Popen(second, stdin=a.stdout, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    a.stdout.close()
    if a.wait() != 0 or b.wait() != 0:
        raise RuntimeError(f"{first[0]} | {second[0]} failed")
    return time.perf_counter() - start


def alternate(contenders, runs):
    """Median wall time of each contender, their runs interleaved in a
    shuffled order each round."""
    times = {name: [] for name in contenders}
    for _ in range(runs):
        order = list(contenders.items())
        random.shuffle(order)
        for name, once in order:
            times[name].append(once())
    return {name: statistics.median(values) for name, values in times.items()}


def ms(seconds):
    return f"{seconds * 1000:.2f} ms"


def library():
    for thp in (False, True):
        env = dict(os.environ)
        env.pop("GLIBC_TUNABLES", None)
        if thp:
            env["GLIBC_TUNABLES"] = "glibc.malloc.hugetlb=1"
        out = subprocess.run(
            [LIBRARY_BENCH, "--benchmark_repetitions=7", "--benchmark_enable_random_interleaving=true",
             "--benchmark_min_time=0.2", "--benchmark_report_aggregates_only=true", "--benchmark_format=json"],
            env=env, check=True, capture_output=True, text=True).stdout
        medians = {b["run_name"]: b for b in json.loads(out)["benchmarks"] if b.get("aggregate_name") == "median"}
        time_of = {name: b["real_time"] for name, b in medians.items()}
        label = "huge pages on" if thp else "huge pages off"
        for ours, bare, what in (("BM_EncodeCbcAndHex", "BM_BareEncrypt", "encode_cbc + hexEncodeCBCBuffer"),
                                 ("BM_HexDecodeAndDecodeCbc", "BM_BareDecrypt", "hexDecode + decode_cbc")):
            faults = medians[ours].get("page_faults", 0)
            row(f"{what} vs bare BF_cbc_encrypt, 16 MiB, {label}",
                f"{time_of[bare] / time_of[ours]:.2f}", ">= 0.85 (speed)",
                f"{time_of[ours]:.1f} ms vs {time_of[bare]:.1f} ms, {faults:.0f} page faults")
        rate = medians["BM_HexEncodeBuffer"]["bytes_per_second"] / 1e6
        row(f"hexEncodeBuffer alone, 16 MiB, {label}", f"{rate:.0f} MB/s", "", "input bytes per second")


def static_programs(workdir):
    """Unpacks the static archives; returns the x86-64 bfseal, as shipped."""
    for architecture in ("armel", "amd64"):
        path = next(os.path.join(BOARDS, name) for name in os.listdir(BOARDS)
                    if name.endswith(f"-linux-{architecture}-static.tar.gz"))
        sizes = {}
        with tarfile.open(path) as archive:
            for member in archive.getmembers():
                if "/bin/" in member.name:
                    name = os.path.basename(member.name)
                    sizes[name] = member.size
                    with open(os.path.join(workdir, f"{architecture}-{name}"), "wb") as f:
                        f.write(archive.extractfile(member).read())
                        os.fchmod(f.fileno(), 0o755)
        limits = "< 600 KB, formsend < 100 KB" if architecture == "armel" else ""
        row(f"static programs for {architecture}: bfseal, bfopen, formsend",
            " / ".join(f"{sizes[p] // 1000}" for p in ("bfseal", "bfopen", "formsend")) + " KB", limits,
            "stripped, as in " + os.path.basename(path))
    return os.path.join(workdir, "amd64-bfseal")


def bfseal_against_openssl(workdir, static_bfseal):
    rng = random.Random(3)
    text = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789 ") for _ in range(131000))
    data_file = os.path.join(workdir, "data")
    with open(data_file, "w") as f:
        f.write(text)

    # Checked once: each produces the same ciphertext as openssl for its IV.
    for program in (BFSEAL, static_bfseal):
        sealed = subprocess.run([program, text, KEY], check=True, capture_output=True, text=True).stdout
        with open(data_file, "rb") as stdin:
            enc = subprocess.run(["openssl", "enc", "-e", "-bf-cbc", "-nopad", "-K", KEY.encode().hex(),
                                  "-iv", sealed[:16]] + OPENSSL_LEGACY, stdin=stdin, capture_output=True, check=True)
        if enc.stdout.hex() != sealed[16:]:
            raise RuntimeError(f"{program} and openssl disagree")

    def openssl_xxd():
        with open(data_file, "rb") as stdin:
            return run_pipeline(["openssl", "enc", "-e", "-bf-cbc", "-nopad", "-K", KEY.encode().hex(),
                                 "-iv", "3132333435363738"] + OPENSSL_LEGACY, ["xxd", "-p"], stdin)

    # /bin/true shows what starting any process costs on this machine.
    t = alternate({"bfseal": lambda: run([BFSEAL, text, KEY]), "static": lambda: run([static_bfseal, text, KEY]),
                   "openssl": openssl_xxd, "true": lambda: run(["/bin/true"])}, 31)
    row("bfseal vs openssl enc | xxd -p, 131,000 bytes", f"{t['bfseal'] / t['openssl']:.2f}", "<= 0.5 (time)",
        f"{ms(t['bfseal'])} vs {ms(t['openssl'])}; /bin/true takes {ms(t['true'])}")
    row("static bfseal vs openssl enc | xxd -p, 131,000 bytes", f"{t['static'] / t['openssl']:.2f}",
        "<= 0.3 (time)", f"{ms(t['static'])} vs {ms(t['openssl'])}")

    sizes = {n: text[:n] for n in (0, 13100, 65500, 131000)}
    t = alternate({n: (lambda d=d: run([BFSEAL, d, KEY])) for n, d in sizes.items()}, 41)
    row("bfseal 131,000 bytes vs 13,100 bytes", f"{t[131000] / t[13100]:.2f}", "(growth)",
        f"{ms(t[131000])} vs {ms(t[13100])}")
    first, second = t[65500] - t[0], t[131000] - t[65500]
    row("bfseal: second 65,500 bytes vs first 65,500", f"{second / first:.2f}", "<= 2 (time)",
        f"{second * 1e6:.0f} us vs {first * 1e6:.0f} us on top of {ms(t[0])} for an empty text")


def bring_loopback_up():
    SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        flags = struct.unpack("16sH", fcntl.ioctl(s, SIOCGIFFLAGS, struct.pack("16sH", b"lo", 0)))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH", b"lo", flags | IFF_UP))


def formsend_against_others():
    bring_loopback_up()
    server = subprocess.Popen([SERVER], stdout=subprocess.PIPE)
    try:
        if server.stdout.readline() != b"ready\n":
            raise RuntimeError("bench_http_server did not start")
        body = "name=J%C3%B6rg&city=K%C3%B6ln&note=a+short+form"
        url = "http://127.0.0.1/{}"
        clients = {
            "formsend": lambda n: [FORMSEND, "127.0.0.1", f"/{n}", body],
            "curl": lambda n: ["curl", "-s", "-0", "--data-binary", body, url.format(n)],
            "wget": lambda n: ["busybox", "wget", "-q", "-O", "-", "--post-data", body, url.format(n)],
        }
        t = alternate({name: (lambda a=argv: run(a(4096))) for name, argv in clients.items()}, 41)
        row("formsend vs busybox wget, form POST, 4 KiB answer", f"{t['formsend'] / t['wget']:.2f}",
            "<= 1.0 (time)", f"{ms(t['formsend'])} vs {ms(t['wget'])}")
        row("formsend vs curl, form POST, 4 KiB answer", f"{t['formsend'] / t['curl']:.2f}", "<= 0.25 (time)",
            f"{ms(t['formsend'])} vs {ms(t['curl'])}")

        big = 256 << 20
        t = alternate({name: (lambda a=clients[name]: run(a(big))) for name in ("formsend", "curl")}, 5)
        row("formsend vs curl, 256 MiB answer to /dev/null", f"{t['formsend'] / t['curl']:.2f}", "<= 2.5 (time)",
            f"{ms(t['formsend'])} vs {ms(t['curl'])}")

        rss = {n: max(peak_rss(clients["formsend"](n)) for _ in range(3)) for n in (16 << 20, big)}
        row("formsend peak RSS, 16 MiB answer", f"{rss[16 << 20]} KiB", "< 4096 KiB", "/usr/bin/time, most of 3 runs")
        row("formsend peak RSS, 256 MiB answer", f"{rss[big]} KiB", "< 4096 KiB, within 512 KiB of 16 MiB",
            f"{rss[big] - rss[16 << 20]:+d} KiB against 16 MiB")

        # Checked once: every byte of the answer came through.
        relay = subprocess.Popen(clients["formsend"](big), stdout=subprocess.PIPE)
        received = 0
        head = b""
        while chunk := relay.stdout.read(1 << 20):
            if len(head) < 4096:
                head += chunk[:4096]
            received += len(chunk)
        relay.wait()
        overhead = head.index(b"\r\n\r\n") + 4
        if relay.returncode != 0 or received - overhead != big:
            raise RuntimeError(f"formsend relayed {received - overhead} bytes of {big}")
        print(f"  formsend relayed all {big} bytes of the 256 MiB answer", file=sys.stderr)
    finally:
        server.kill()
        server.wait()


def main():
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "?")
    print(f"machine: {cpu}, {os.cpu_count()} cores, Linux {platform.release()}", file=sys.stderr)
    print("library (Google Benchmark, 7 interleaved repetitions, medians)", file=sys.stderr)
    library()
    with tempfile.TemporaryDirectory() as workdir:
        print("static programs (./build.sh boards)", file=sys.stderr)
        static_bfseal = static_programs(workdir)
        print("bfseal (whole process, alternating runs, medians)", file=sys.stderr)
        bfseal_against_openssl(workdir, static_bfseal)
    print("formsend (whole process, alternating runs, medians)", file=sys.stderr)
    formsend_against_others()

    width = max(len(r[0]) for r in ROWS)
    print(f"\nmachine: {cpu}, {os.cpu_count()} cores, Linux {platform.release()}\n")
    print(f"| {'figure':<{width}} | {'result':>10} | {'target':<38} | measured")
    print(f"|-{'-' * width}-|-{'-' * 10}-|-{'-' * 38}-|---------")
    for figure, value, target, detail in ROWS:
        print(f"| {figure:<{width}} | {value:>10} | {target:<38} | {detail}")


if __name__ == "__main__":
    main()
