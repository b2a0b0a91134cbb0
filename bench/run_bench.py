"""Runs every benchmark and prints a table of ratios.

Usage: run_bench.py BUILD_DIR BOARDS_DIR   (inside a private network
namespace: the formsend comparisons serve on port 80 of its loopback,
the receivers and nginx on ports 8080 to 8082; BOARDS_DIR holds the static
archives of ./build.sh boards)
       run_bench.py BUILD_DIR --receiver   (the receiver's rows alone)

Every figure compares two things measured side by side in the same run:
runs alternate between the contenders and the median of each is taken.
"""
import fcntl
import glob
import hashlib
import hmac
import json
import os
import platform
import pwd
import random
import resource
import socket
import sqlite3
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
RECEIVER = os.path.join(BUILD, "receiver", "sealpost-receiver")
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


# Readings as boards send them, 20 to 40 bytes of text each.
READINGS = ["t=21.4C rh=48% p=1013hPa", "board=17 t=-3.2C v=3.31", "soil=412 t=18.9C batt=87%",
            "board=4 door=open t=22.0C", "wind=3.4m/s dir=212 t=9.8C", "co2=612ppm t=23.1C rh=41%",
            "level=1.37m flow=12.5l/min", "board=29 pir=1 lux=340 t=20.5C"]

# The requests are formatted once, so that wrk spends the same on each post
# to either server; the sealed texts are rotated. Each post is a new one,
# not a duplicate the store would not keep again: its IV's bytes have their
# low three bits changed by a count, which changes the same bits of the first
# block of text, and leaves it text. The count goes on from run to run
# (wrk's argument). "sent" counts what went out, answered or not when wrk
# stops, to set against the rows kept.
WRK_SCRIPT = """
bodies = {%s}
heads, tails, firsts, seconds = {}, {}, {}, {}
sent, no_content, other, threads, start = 0, 0, 0, {}, 0
local digits = "0123456789abcdef"
-- The 4096 ways of changing the low three bits of four IV bytes, given as hex.
local function variants(hex)
  local all = {}
  for n = 0, 4095 do
    local bytes = {}
    for b = 0, 3 do
      local low = tonumber(hex:sub(2 * b + 2, 2 * b + 2), 16)
      local changed = bit.bxor(low, bit.band(bit.rshift(n, 3 * b), 7))
      bytes[b + 1] = hex:sub(2 * b + 1, 2 * b + 1) .. digits:sub(changed + 1, changed + 1)
    end
    all[n] = table.concat(bytes)
  end
  return all
end
function init(args)
  start = tonumber(args[1])
  for i, body in ipairs(bodies) do
    local request = wrk.format("POST", "/", {["Content-Type"] = "application/x-www-form-urlencoded"}, body)
    local at = request:find("sealed=", 1, true) + 7
    heads[i], tails[i] = request:sub(1, at - 1), request:sub(at + 16)
    firsts[i], seconds[i] = variants(request:sub(at, at + 7)), variants(request:sub(at + 8, at + 15))
  end
end
function request()
  sent = sent + 1
  local n = start + sent
  local i = n %% #bodies + 1
  n = math.floor(n / #bodies)
  return heads[i] .. firsts[i][n %% 4096] .. seconds[i][math.floor(n / 4096) %% 4096] .. tails[i]
end
%s
function setup(thread) table.insert(threads, thread) end
function done(summary, latency)
  local e, totals = summary.errors, {0, 0, 0}
  for _, t in ipairs(threads) do
    totals[1], totals[2], totals[3] = totals[1] + t:get("sent"), totals[2] + t:get("no_content"), totals[3] + t:get("other")
  end
  io.write(string.format("result %%d %%d %%d %%d %%d %%d %%d\\n", summary.requests, summary.duration,
    latency:percentile(99), e.connect + e.read + e.write + e.status + e.timeout, totals[1], totals[2], totals[3]))
end
"""
# The same readings with their MACs: a MAC covers the IV, so each post is
# made beforehand, its IV changed as above and its MAC made anew, and wrk
# posts them in turn from a file, going on from run to run.
WRK_MAC_SCRIPT = """
heads, forms, sent, start, threads = {}, {}, 0, 0, {}
function init(args)
  start = tonumber(args[1])
  for line in io.lines("%s") do
    forms[#forms + 1] = line
  end
  for i = 1, %d do
    heads[i] = wrk.format("POST", "/", {["Content-Type"] = "application/x-www-form-urlencoded"}, forms[i])
    heads[i] = heads[i]:sub(1, #heads[i] - #forms[i])
  end
end
function request()
  sent = sent + 1
  local n = (start + sent) %% #forms
  return heads[n %% %d + 1] .. forms[n + 1]
end
function setup(thread) table.insert(threads, thread) end
function done(summary, latency)
  local e, total = summary.errors, 0
  for _, t in ipairs(threads) do total = total + t:get("sent") end
  io.write(string.format("result %%d %%d %%d %%d %%d 0 0\\n", summary.requests, summary.duration,
    latency:percentile(99), e.connect + e.read + e.write + e.status + e.timeout, total))
end
"""
MAC_FORMS = 800_000


def mac_forms(sealed, path):
    """MAC_FORMS distinct forms of the sealed readings, each with its MAC."""
    mac_key = hmac.new(KEY.encode(), b"sealpost-mac-key-v1", hashlib.sha256).digest()
    with open(path, "w") as f:
        for n in range(MAC_FORMS):
            hex = sealed[n % len(sealed)]
            m = n // len(sealed)
            iv = bytearray.fromhex(hex[:16])
            for b in range(4):
                iv[b] ^= (m >> 3 * b) & 7
                iv[4 + b] ^= ((m >> 12) >> 3 * b) & 7
            changed = iv.hex() + hex[16:]
            mac = hmac.new(mac_key, f"sealpost-post-v1\n\n{changed}".encode(), hashlib.sha256).hexdigest()
            f.write(f"sealed={changed}&mac={mac}\n")


# Only for the check run: parsing every answer's headers costs wrk time.
WRK_COUNTING = """
function response(status)
  if status == 204 then no_content = no_content + 1 else other = other + 1 end
end
"""


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError(what)
        time.sleep(0.05)


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def disk_folder():
    """A temporary folder on a disk: the store's fsync must reach one."""
    with open("/proc/self/mounts") as f:
        mounts = [line.split()[:3] for line in f]
    for parent in (tempfile.gettempdir(), os.path.abspath(BUILD)):
        device, _, kind = max((m for m in mounts if os.path.join(parent, "").startswith(os.path.join(m[1], ""))),
                                  key=lambda m: len(m[1]))
        if kind not in ("tmpfs", "ramfs"):
            return tempfile.TemporaryDirectory(dir=parent, prefix="receiver-bench-"), f"{kind} on {device}"
    raise RuntimeError("no folder on a disk for the store")


def postgres_cluster(work):
    """A throwaway cluster in work on its Unix socket only, and how to stop
    it. The server refuses to run as root: here it runs as postgres's user ID
    in a user namespace of its own, as root outside it."""
    as_user = ["unshare", "--user", f"--map-user={pwd.getpwnam('postgres').pw_uid}",
               f"--map-group={pwd.getpwnam('postgres').pw_gid}"]
    bindir = max(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda path: int(path.split("/")[4]))
    data, socket_dir = os.path.join(work, "pg"), os.path.join(work, "pg-socket")
    os.mkdir(socket_dir)
    subprocess.run(as_user + [f"{bindir}/initdb", "-D", data, "-U", "postgres", "--auth=trust", "-E", "UTF8",
                              "--locale=C.UTF-8"], check=True, capture_output=True)
    subprocess.run(as_user + [f"{bindir}/pg_ctl", "-D", data, "-l", f"{work}/pg.log", "-w", "-o",
                              f"-k {socket_dir} -c listen_addresses=''", "start"], check=True, capture_output=True)
    subprocess.run([f"{bindir}/psql", "-h", socket_dir, "-U", "postgres", "-Atc", "CREATE DATABASE sealpost"],
                   check=True, capture_output=True)

    def count(table):
        return int(subprocess.run([f"{bindir}/psql", "-h", socket_dir, "-U", "postgres", "-d", "sealpost", "-Atc",
                                   f"select count(*) from {table}"], check=True, capture_output=True,
                                  text=True).stdout)

    def stop():
        subprocess.run(as_user + [f"{bindir}/pg_ctl", "-D", data, "-w", "-m", "fast", "stop"], check=True,
                       capture_output=True)
    return f"postgresql:///sealpost?host={socket_dir}&user=postgres", count, stop


POSTS_SENT = [0]
MAC_SENT = [0]


def disk_floor(work, seconds=6):
    """What the disk allows one waiting client at best: 4 KiB writes, each
    synced before the next, as a commit of one small post is."""
    fd = os.open(os.path.join(work, "floor"), os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        block, count, start = b"\0" * 4096, 0, time.perf_counter()
        while time.perf_counter() - start < seconds:
            os.pwrite(fd, block, (count % 256) * 4096)
            os.fdatasync(fd)
            count += 1
        return {"rate": count / (time.perf_counter() - start), "p99": 0}
    finally:
        os.close(fd)


def private_memory(pid):
    """Private_Clean + Private_Dirty of a process, in KiB: what it alone holds."""
    with open(f"/proc/{pid}/smaps_rollup") as f:
        fields = {line.split(":")[0]: int(line.split()[1]) for line in f if line.startswith("Private_")}
    return fields["Private_Clean"] + fields["Private_Dirty"]


def wrk(port, clients, seconds, script, counter=POSTS_SENT):
    out = subprocess.run(["wrk", "-t1", f"-c{clients}", f"-d{seconds}s", "-s", script, f"http://127.0.0.1:{port}/",
                          "--", str(counter[0])], check=True, capture_output=True, text=True).stdout
    answered, micros, p99, errors, sent, no_content, other = map(int, out.split("result ")[1].split())
    counter[0] += sent + 1
    if counter is MAC_SENT and counter[0] > MAC_FORMS:
        raise RuntimeError(f"the runs posted more than the {MAC_FORMS} forms made with MACs")
    if errors or answered == 0:
        raise RuntimeError(f"wrk against port {port}: {errors} errors or non-2xx answers, {answered} answers")
    return {"rate": answered / (micros / 1e6), "p99": p99 / 1e3, "answered": answered, "sent": sent,
            "no_content": no_content, "other": other}


def receiver_against_nginx():
    bring_loopback_up()
    folder, disk = disk_folder()
    with folder as work:
        key_file, store = os.path.join(work, "key"), os.path.join(work, "received.db")
        mac_store = os.path.join(work, "authentic.db")
        with open(key_file, "w") as f:
            f.write(KEY + "\n")
        sealed = [subprocess.run([BFSEAL, text, KEY], check=True, capture_output=True, text=True).stdout.strip()
                  for text in READINGS]
        bodies = ", ".join(f'"sealed={hex}"' for hex in sealed)
        scripts = {}
        for name, counting in (("timed", ""), ("counting", WRK_COUNTING)):
            scripts[name] = os.path.join(work, f"{name}.lua")
            with open(scripts[name], "w") as f:
                f.write(WRK_SCRIPT % (bodies, counting))
        mac_forms(sealed, os.path.join(work, "mac-forms"))
        scripts["mac"] = os.path.join(work, "mac.lua")
        with open(scripts["mac"], "w") as f:
            f.write(WRK_MAC_SCRIPT % (os.path.join(work, "mac-forms"), len(sealed), len(sealed)))
        # One worker, as the receiver has one thread: one core for the server,
        # the other for wrk. With two workers they fight wrk for the cores
        # and nginx's rate drops.
        temp_paths = "".join(f"{kind}_temp_path {work}/nginx-{kind};\n"
                             for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(os.path.join(work, "nginx.conf"), "w") as f:
            f.write(f"daemon off;\nworker_processes 1;\npid {work}/nginx.pid;\nerror_log {work}/nginx-error.log;\n"
                    f"events {{}}\nhttp {{\naccess_log off;\n{temp_paths}"
                    "server {\nlisten 127.0.0.1:8081;\nlocation / { return 204; }\n}\n}\n")
        # The same receiver with its store in PostgreSQL, on the same disk.
        postgres_uri, postgres_rows, stop_postgres = postgres_cluster(work)
        with open(os.path.join(work, "receiver.log"), "w") as log:
            # nginx run as root would switch to a user this namespace lacks.
            servers = [subprocess.Popen([RECEIVER, "--listen", "127.0.0.1:8080", "--key-file", key_file,
                                         "--store", f"sqlite:{store}"], stderr=log),
                       subprocess.Popen(["unshare", "--user", "--map-user=1000", "--map-group=1000", "nginx", "-e",
                                         f"{work}/nginx-error.log", "-c", f"{work}/nginx.conf"], stderr=log),
                       subprocess.Popen([RECEIVER, "--listen", "127.0.0.1:8082", "--key-file", key_file,
                                         "--store", postgres_uri], stderr=log),
                       subprocess.Popen([RECEIVER, "--listen", "127.0.0.1:8083", "--key-file", key_file,
                                         "--store", f"sqlite:{mac_store}"], stderr=log)]
        try:
            wait_until(lambda: all(map(listening, (8080, 8081, 8082, 8083))), 10, "a receiver or nginx did not start")

            def sqlite_rows(table, path=store):
                with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
                    return db.execute(f"select count(*) from {table}").fetchone()[0]

            def mac_rows(table):
                return sqlite_rows(table, mac_store)

            def post(clients, script="timed", seconds=6, port=8080, rows=sqlite_rows):
                before = rows("received")
                result = wrk(port, clients, seconds, scripts[script], MAC_SENT if script == "mac" else POSTS_SENT)
                # Posts in flight when wrk stopped may be kept too, or not
                # when their connection's end came with them; every answer
                # must have its row.
                seen = [before - 1, before]
                wait_until(lambda: seen.append(rows("received")) or seen[-1] == seen[-2], 5,
                           "the store kept on growing")
                result["kept"] = seen[-1] - before
                if not result["answered"] <= result["kept"] <= result["sent"]:
                    raise RuntimeError(f"the store holds {result['kept']} posts for {result['answered']} answers")
                return result

            runs = {f"{name} {clients}": (lambda c=clients, p=port, name=name:
                                          wrk(p, c, 6, scripts["timed"]) if name == "nginx" else
                                          post(c, "mac", port=p, rows=mac_rows) if name == "mac" else
                                          post(c, port=p, rows=postgres_rows if name == "postgres" else sqlite_rows))
                    for name, port in (("receiver", 8080), ("nginx", 8081), ("postgres", 8082), ("mac", 8083))
                    for clients in (1, 64)}
            runs["disk floor"] = lambda: disk_floor(work)
            results = {name: [] for name in runs}
            for _ in range(5):
                order = list(runs.items())
                random.shuffle(order)
                for name, once in order:
                    results[name].append(once())
            with open(f"/proc/{servers[0].pid}/status") as f:
                memory = {line.split(":")[0]: int(line.split()[1]) for line in f if line.startswith(("VmHWM", "Rss"))}
            memory["private"] = private_memory(servers[0].pid)
            # Connections opened and left: the receiver keeps 4,000.
            resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
            idle = [socket.create_connection(("127.0.0.1", 8080)) for _ in range(4000)]
            time.sleep(1)
            memory["idle"] = private_memory(servers[0].pid)
            for connection in idle:
                connection.close()

            for port, rows in ((8080, sqlite_rows), (8082, postgres_rows)):
                check = post(64, "counting", 3, port, rows)
                if check["other"] or check["no_content"] != check["answered"] or rows("unopened"):
                    raise RuntimeError(f"answers other than 204 or posts that did not open: {check}")
                print(f"  the store on port {port} kept {check['kept']} posts for {check['no_content']} answers 204, "
                      f"none other, of {check['sent']} sent (the rest in flight when wrk stopped); none unopened",
                      file=sys.stderr)
            with sqlite3.connect(f"file:{mac_store}?mode=ro", uri=True) as db:
                if db.execute("select count(*) from received where not authentic").fetchone()[0] or mac_rows("unopened"):
                    raise RuntimeError("a post with its MAC was not kept as authentic")
        finally:
            for server in servers:
                server.terminate()
            for server in servers:
                server.wait(10)
            stop_postgres()
        median = {name: {k: statistics.median(r[k] for r in rs) for k in ("rate", "p99")}
                  for name, rs in results.items()}
        for clients, target in ((1, ""), (64, ">= 0.5 (rate)")):
            ours, theirs = median[f"receiver {clients}"], median[f"nginx {clients}"]
            row(f"sealpost-receiver vs nginx return 204, posts/s, {clients} client{'s' if clients > 1 else ''}",
                f"{ours['rate'] / theirs['rate']:.2f}", target,
                f"{ours['rate']:.0f} vs {theirs['rate']:.0f} posts/s, p99 {ours['p99']:.2f} ms vs "
                f"{theirs['p99']:.2f} ms" + (f"; store on {disk}" if clients > 1 else ""))
        floor = median["disk floor"]["rate"]
        row("sealpost-receiver, 1 client, vs the disk's floor", f"{median['receiver 1']['rate'] / floor:.2f}",
            ">= 0.8", f"{median['receiver 1']['rate']:.0f} posts/s vs {floor:.0f} synced 4 KiB writes/s")
        for clients in (1, 64):
            ours, plain = median[f"mac {clients}"], median[f"receiver {clients}"]
            row(f"sealpost-receiver, posts with MACs vs without, posts/s, {clients} client{'s' if clients > 1 else ''}",
                f"{ours['rate'] / plain['rate']:.2f}", "",
                f"{ours['rate']:.0f} vs {plain['rate']:.0f} posts/s, p99 {ours['p99']:.2f} ms vs "
                f"{plain['p99']:.2f} ms; every post authentic, each with a MAC made beforehand")
        for clients in (1, 64):
            ours, sqlite = median[f"postgres {clients}"], median[f"receiver {clients}"]
            row(f"sealpost-receiver, PostgreSQL vs SQLite store, posts/s, {clients} client{'s' if clients > 1 else ''}",
                f"{ours['rate'] / sqlite['rate']:.2f}", "",
                f"{ours['rate']:.0f} vs {sqlite['rate']:.0f} posts/s, p99 {ours['p99']:.2f} ms vs "
                f"{sqlite['p99']:.2f} ms; one cluster on the same machine, over its Unix socket")
        row("sealpost-receiver private memory after 64 clients", f"{memory['private']} KiB", "< 8192 KiB",
            f"Private_Clean + Private_Dirty, one receiver for all runs; VmHWM {memory['VmHWM']} KiB, of which "
            f"{memory['RssFile']} KiB mapped from files (libraries, shared with other processes)")
        row("sealpost-receiver private memory with 4,000 idle connections", f"{memory['idle']} KiB", "",
            "Private_Clean + Private_Dirty")


def main():
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "?")
    print(f"machine: {cpu}, {os.cpu_count()} cores, Linux {platform.release()}", file=sys.stderr)
    if BOARDS != "--receiver":
        print("library (Google Benchmark, 7 interleaved repetitions, medians)", file=sys.stderr)
        library()
        with tempfile.TemporaryDirectory() as workdir:
            print("static programs (./build.sh boards)", file=sys.stderr)
            static_bfseal = static_programs(workdir)
            print("bfseal (whole process, alternating runs, medians)", file=sys.stderr)
            bfseal_against_openssl(workdir, static_bfseal)
        print("formsend (whole process, alternating runs, medians)", file=sys.stderr)
        formsend_against_others()
    print("sealpost-receiver (wrk, 5 alternating rounds of 6 s, medians)", file=sys.stderr)
    receiver_against_nginx()

    width = max(len(r[0]) for r in ROWS)
    print(f"\nmachine: {cpu}, {os.cpu_count()} cores, Linux {platform.release()}\n")
    print(f"| {'figure':<{width}} | {'result':>10} | {'target':<38} | measured")
    print(f"|-{'-' * width}-|-{'-' * 10}-|-{'-' * 38}-|---------")
    for figure, value, target, detail in ROWS:
        print(f"| {figure:<{width}} | {value:>10} | {target:<38} | {detail}")


if __name__ == "__main__":
    main()
