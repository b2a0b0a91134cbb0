"""Two sealpost-receivers, each on a host of its own (a private network
namespace), keeping posts in one PostgreSQL database: a throwaway cluster
in a temporary folder, in a network namespace of its own too, reached over
its Unix socket; and the guide's TLS recipe, on a cluster of its own
reached over TCP with the certificates the recipe makes. On the build
machine only.

Usage: receiver_postgres.py BUILD_DIR
"""
import glob
import os
import pathlib
import pwd
import re
import secrets
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from guide_recipes import recipe
from receiver_e2e import BUILD, KEY, OTHER_KEY, RECEIVER, Receiver, expected, post_mac, seal, undated

TESTS = pathlib.Path(__file__).resolve().parent
DOCS = TESTS.parent / "docs" / "server.md"
PASSWORD = secrets.token_hex(8)
# A host's loopback up, then the program: what the receivers run in.
HOST = ["unshare", "-rn", sys.executable, "-c", "import os, sys; sys.path.insert(0, sys.argv[1]); "
        "from formsend_e2e import bring_loopback_up; bring_loopback_up(); os.execv(sys.argv[2], sys.argv[2:])",
        str(TESTS)]
UNAVAILABLE = expected("503 Service Unavailable", "the store cannot keep the text now; send it again later")
KEPT = expected("204 No Content")


def postgres_program(name):
    versions = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"), key=lambda path: int(path.split("/")[4]))
    return versions[-1] if versions else shutil.which(name)


class Cluster:
    """A cluster of its own, run by the invoking user, or by postgres where
    that is root, as initdb asks; it listens on its socket only."""

    def __init__(self, start=True):
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="sealpost-pg-"))
        self.socket = self.folder / "socket"
        self.socket.mkdir()
        self.user = "postgres" if os.getuid() == 0 else None
        os.chmod(self.folder, 0o755)
        if self.user:
            for path in (self.folder, self.socket):
                shutil.chown(path, self.user, self.user)
        self.data = self.folder / "data"
        self.as_owner(postgres_program("initdb"), "-D", self.data, "-U", "postgres", "--auth=trust", "-E", "UTF8",
                      "--locale=C.UTF-8", "--no-instructions")
        # The receivers' owner role logs in with its password; the rest are trusted.
        self.as_owner("sh", "-c", f"printf 'local all sealpost scram-sha-256\\nlocal all all trust\\n' >'{self.data}"
                                  "/pg_hba.conf'")
        if start:
            self.start()

    def as_owner(self, *argv):
        return subprocess.run([str(arg) for arg in argv], user=self.user, check=True, capture_output=True, timeout=120)

    def start(self):
        self.as_owner("unshare", "-cn", postgres_program("pg_ctl"), "-D", self.data, "-l", self.folder / "log", "-w",
                      "-o", f"-k {self.socket} -c listen_addresses=''", "start")

    def stop(self):
        self.as_owner(postgres_program("pg_ctl"), "-D", self.data, "-w", "-m", "fast", "stop")

    def processes(self):
        """The postmaster and every process it started."""
        postmaster = int((self.data / "postmaster.pid").read_text().split()[0])
        children = []
        for stat in glob.glob("/proc/[0-9]*/stat"):
            try:
                fields = pathlib.Path(stat).read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == postmaster:
                children.append(int(stat.split("/")[2]))
        return [postmaster] + children

    def psql(self, sql, database="sealpost"):
        run = subprocess.run([postgres_program("psql"), "-h", str(self.socket), "-U", "postgres", "-d", database,
                              "-v", "ON_ERROR_STOP=1", "-At", "-f", "-"], input=sql, capture_output=True, text=True,
                             timeout=60)
        assert run.returncode == 0, run.stderr
        return run.stdout.splitlines()

    def uri(self, user):
        return f"postgresql:///sealpost?host={self.socket}&user={user}"

    def remove(self):
        try:
            self.stop()
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)


def on_host(work, store, *extra, pgpass=None):
    """A receiver on a host of its own; its password file is a credential."""
    (pathlib.Path(work) / "credentials").mkdir(exist_ok=True)
    if pgpass is not None:
        path = pathlib.Path(work) / "credentials" / "sealpost-pgpass"
        path.write_text(pgpass)
        path.chmod(0o600)
    import receiver_e2e
    receiver_e2e.LAUNCHER[:] = HOST
    try:
        return Receiver(work, KEY, extra=("--store", store) + extra)
    finally:
        receiver_e2e.LAUNCHER[:] = []


def post_to(receiver, body):
    """The whole answer formsend got on the receiver's host, its Date left out."""
    run = subprocess.run(["nsenter", "-t", str(receiver.process.pid), "-U", "-n", "--preserve-credentials",
                          str(BUILD / "formsend" / "formsend"), "127.0.0.1", "/", body],
                         capture_output=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return undated(run.stdout.split(b"\n", 1)[1])


def get_from(receiver, path):
    """The status line of a GET to the receiver's watching port on its host."""
    run = subprocess.run(["nsenter", "-t", str(receiver.process.pid), "-U", "-n", "--preserve-credentials",
                          sys.executable, "-c", "import socket, sys; c = socket.create_connection(('127.0.0.1', 9580), "
                          "timeout=30); c.sendall(b'GET ' + sys.argv[1].encode() + b' HTTP/1.0\\r\\n\\r\\n'); "
                          "print(c.recv(65536).split(b'\\r\\n')[0].decode())", path],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


def docs_grants():
    """The grants docs/server.md tells the operator to run, as it shows them."""
    section = DOCS.read_text().split("## Several hosts: PostgreSQL", 1)[1]
    return next(block for block in re.findall(r"```sql\n(.*?)```", section, re.S) if "GRANT" in block)


class PostgresTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = Cluster()
        cls.addClassCleanup(cls.cluster.remove)
        cls.cluster.psql(f"CREATE ROLE sealpost LOGIN PASSWORD '{PASSWORD}'; CREATE ROLE sealpost_post LOGIN;\n"
                         "CREATE DATABASE sealpost OWNER sealpost", "postgres")
        cls.work = tempfile.TemporaryDirectory()
        cls.pgpass = pathlib.Path(cls.work.name) / "pgpass"
        cls.pgpass.write_text(f"*:*:*:sealpost:{PASSWORD}\n")
        cls.pgpass.chmod(0o600)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def command(self, user, *args):
        env = dict(os.environ, PGPASSFILE=str(self.pgpass))
        return subprocess.run([str(RECEIVER), *args, "--store", self.cluster.uri(user)], capture_output=True,
                              text=True, timeout=120, env=env)

    def exported(self):
        run = self.command("sealpost", "export")
        self.assertEqual(run.returncode, 0, run.stderr)
        return re.findall(r'"text": "([^"]*)"', run.stdout)

    def test_what_a_receiver_cannot_start_with(self):
        socket = self.cluster.socket
        where = f"the store PostgreSQL database sealpost as sealpost on {socket} port 5432: "
        cases = [
            # the store, the password file, what the receiver says
            (f"postgresql://sealpost:{PASSWORD}@/sealpost?host={socket}", None,
             "the store's URI holds a password, which every user of this host can read in the process list: leave "
             "it out and put it in a password file (PGPASSFILE, ~/.pgpass, or the credential sealpost-pgpass)"),
            (self.cluster.uri("sealpost"), None, where + "cannot connect: "),
            (self.cluster.uri("sealpost"), f"*:*:*:sealpost:not{PASSWORD}\n", where + "cannot connect: "),
            # The database answers and refuses: a fault, not a database away.
            (f"postgresql:///none?host={socket}&user=sealpost", f"*:*:*:sealpost:{PASSWORD}\n",
             where.replace("database sealpost", "database none") + "cannot connect: "),
            (f"postgresql:///sealpost?host={socket}&user=sealpost&sslmode=bogus", None,
             "the store PostgreSQL database sealpost as sealpost on "),
            (f"postgresql://[::1/sealpost?host={socket}", None, "the store's URI is not one libpq reads: "),
        ]
        for store, pgpass, message in cases:
            with self.subTest(store=store, pgpass=pgpass), tempfile.TemporaryDirectory() as work:
                receiver = on_host(work, store, pgpass=pgpass)
                self.assertEqual(receiver.process.wait(timeout=60), 1)
                log = receiver.log().decode()
                self.assertTrue(log.startswith("sealpost-receiver: " + message), log)
                self.assertNotIn("does not answer yet", log)
                self.assertNotIn(PASSWORD, log.replace(f"not{PASSWORD}", ""))

    def test_copy_keeps_each_row_once_from_sqlite_to_postgresql_and_back(self):
        self.cluster.psql("CREATE DATABASE copied OWNER sealpost", "postgres")
        postgres = f"postgresql:///copied?host={self.cluster.socket}&user=sealpost"
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        sqlite = f"sqlite:{work.name}/from.db"
        made = on_host(work.name, sqlite)
        self.assertEqual(made.stop(), 0, made.log())
        db = sqlite3.connect(f"{work.name}/from.db")
        with db:
            # A 1.3.0 row of each kind, with no digest; an authentic one, a forged one.
            db.executescript("""
                INSERT INTO received (received_at, peer, device, text, digest, authentic) VALUES
                    ('2026-12-01T10:00:00Z', '192.0.2.1', 'b1', 'kept before digests were', NULL, NULL),
                    ('2026-12-01T10:00:00Z', '192.0.2.1', 'b1', 'kept before digests were, too', NULL, NULL),
                    ('2026-12-08T10:00:00Z', '192.0.2.2', 'b2', 'authentic', 'd1', 1),
                    ('2026-12-08T11:00:00Z', '2001:db8::1', NULL, 'named no device', 'd2', 0);
                INSERT INTO unopened (received_at, peer, device, sealed, digest, reason, mac) VALUES
                    ('2026-12-01T10:00:00Z', '192.0.2.1', 'b1', '00112233445566778899aabbccddeeff', NULL, NULL, NULL),
                    ('2026-12-08T12:00:00Z', '192.0.2.2', 'b2', 'ffeeddccbbaa99887766554433221100', 'u1', 'forged',
                     NULL);
                INSERT INTO authenticated (device, since) VALUES ('b2', '2026-12-08T10:00:00Z');""")
        db.close()
        env = dict(os.environ, PGPASSFILE=str(self.pgpass))

        def run(*args):
            done = subprocess.run([str(RECEIVER), *args], capture_output=True, text=True, timeout=120, env=env)
            self.assertEqual(done.returncode, 0, done.stderr)
            return done.stdout

        all_new = ("received: 4 copied, 0 there already; unopened: 2 copied, 0 there already; "
                   "authenticated: 1 copied, 0 there already\n")
        all_there = ("received: 0 copied, 4 there already; unopened: 0 copied, 2 there already; "
                     "authenticated: 0 copied, 1 there already\n")
        back = f"sqlite:{work.name}/back.db"
        cases = [
            # from, to, what copy says
            (sqlite, postgres, all_new),
            (sqlite, postgres, all_there),
            (postgres, back, all_new),
            (postgres, back, all_there),
            (back, postgres, all_there),
        ]
        for source, target, line in cases:
            with self.subTest(source=source, target=target):
                self.assertEqual(run("copy", "--from", source, "--to", target), line)
        self.assertEqual(self.cluster.psql("SELECT (SELECT count(*) FROM received) || ' ' || (SELECT count(DISTINCT "
                                           "digest) FROM received) || ' ' || (SELECT count(*) FROM unopened) || ' ' "
                                           "|| (SELECT string_agg(reason, ',') FROM unopened)", "copied"),
                         ["4 4 2 forged"])
        # Each store reads alike: what export and devices print of them.
        for command in (("export",), ("export", "--not-opened"), ("devices",)):
            with self.subTest(command=command):
                printed = [run(*command, "--store", store) for store in (sqlite, postgres, back)]
                self.assertEqual(printed[1:], printed[:1] * 2)
                self.assertEqual(len(printed[0].splitlines()), {"export": 4, "--not-opened": 2, "devices": 2}[command[-1]])

    def test_two_hosts_keep_each_post_once_and_wait_out_a_database_away(self):
        works = [tempfile.TemporaryDirectory() for _ in range(4)]
        for work in works:
            self.addCleanup(work.cleanup)
        first = on_host(works[0].name, self.cluster.uri("sealpost"), "--metrics", "127.0.0.1:9580",
                        pgpass=f"*:*:*:sealpost:{PASSWORD}\n")
        receivers = [first]
        try:
            self.assertIn(f"keeping posts in PostgreSQL database sealpost as sealpost on {self.cluster.socket} "
                          "port 5432\n", first.log().decode())
            # The second host's role may do no more than docs/server.md grants it.
            refused = on_host(works[1].name, self.cluster.uri("sealpost_post"))
            self.assertEqual(refused.process.wait(timeout=60), 1)
            self.assertIn("the role sealpost_post needs INSERT on received; SELECT, INSERT and DELETE on unopened; "
                          "SELECT and INSERT on authenticated\n",
                          refused.log().decode())
            self.cluster.psql(docs_grants())
            second = on_host(works[2].name, self.cluster.uri("sealpost_post"), "--unopened-limit", "70")
            receivers.append(second)

            once = seal("posted to both hosts")
            for receiver, sealed in ((first, once), (second, once), (second, seal("posted to the second"))):
                self.assertEqual(post_to(receiver, f"sealed={sealed}"), KEPT, receiver.log())
            # The same posts to both at once: one keeps each, the other finds it kept.
            answers = []
            at_once = [seal(f"at once {i}") for i in range(10)]
            for sealed in at_once:
                threads = [threading.Thread(target=lambda r=r, s=sealed: answers.append(post_to(r, f"sealed={s}")))
                           for r in receivers]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()
            self.assertEqual(answers, [KEPT] * 20)
            texts = ["posted to both hosts", "posted to the second"] + [f"at once {i}" for i in range(10)]
            self.assertEqual(sorted(self.exported()), sorted(texts))
            # Authentic on one host, the device is known to authenticate on the other too.
            signed = seal("authentic, on the first host")
            self.assertEqual(post_to(first, f"device=pg-1&sealed={signed}&mac={post_mac(KEY, 'pg-1', signed)}"), KEPT)
            self.assertEqual(post_to(second, f"device=pg-1&sealed={seal('without a MAC, on the second')}"), KEPT)
            texts.append("authentic, on the first host")
            self.assertEqual(sorted(self.exported()), sorted(texts))
            self.assertEqual(self.cluster.psql("SELECT reason FROM unopened WHERE device = 'pg-1'"), ["forged"])
            # An insert the database refuses is a 503, and nothing is kept.
            self.cluster.psql("REVOKE INSERT ON received FROM sealpost_post")
            self.assertEqual(post_to(second, f"sealed={seal('refused by the database')}"), UNAVAILABLE)
            self.cluster.psql("GRANT INSERT ON received TO sealpost_post")
            self.assertEqual(sorted(self.exported()), sorted(texts))

            # The second host's first commit of an unopened post trims what both kept to its limit.
            wrong = [seal(f"wrong {i}", OTHER_KEY) for i in range(3)]
            for receiver, sealed in zip((first, first, second), wrong):
                self.assertEqual(post_to(receiver, f"sealed={sealed}"), KEPT, receiver.log())
            # Trimmed by the commit thread on its clock, every 10 s at most.
            deadline = time.monotonic() + 30
            while self.cluster.psql("SELECT sealed FROM unopened ORDER BY id") != wrong[1:]:
                self.assertLess(time.monotonic(), deadline, self.cluster.psql("SELECT sealed FROM unopened"))
                time.sleep(0.05)
            key_file = pathlib.Path(works[2].name) / "old-key"
            key_file.write_bytes(OTHER_KEY + b"\n")
            run = self.command("sealpost_post", "reopen", "--key-file", str(key_file))
            self.assertEqual(run.stdout, "moved 2 of 2 unopened posts to received\n", run.stderr)
            texts += ["wrong 1", "wrong 2"]

            # Stopped: 503, however often; started again: 204 on the same connection's retry.
            self.assertEqual(get_from(first, "/healthz"), "HTTP/1.1 200 OK")
            self.cluster.stop()
            for text in ("while stopped", "still stopped"):
                self.assertEqual(post_to(first, f"sealed={seal(text)}"), UNAVAILABLE)
            self.assertEqual(get_from(first, "/healthz"), "HTTP/1.1 503 Service Unavailable")
            self.cluster.start()
            self.assertEqual(post_to(first, f"sealed={seal('started again')}"), KEPT)
            self.assertEqual(post_to(second, f"sealed={seal('on a connection made again')}"), KEPT)
            # Hung: the answer waits a bounded time, then 503; running again: 204.
            hung = self.cluster.processes()
            for pid in hung:
                os.kill(pid, signal.SIGSTOP)
            while_hung, behind = seal("while hung"), seal("behind the hung commit")
            answers = {}

            def post_timed(name, body):
                started = time.monotonic()
                answers[name] = (post_to(first, body), time.monotonic() - started)

            try:
                threads = [threading.Thread(target=post_timed, args=("hung", f"sealed={while_hung}"))]
                threads[0].start()
                time.sleep(1)
                # The loop goes on: a post behind it waits its own bound at most,
                # /healthz and what needs no commit are answered at once.
                threads.append(threading.Thread(target=post_timed, args=("behind", f"sealed={behind}")))
                threads[1].start()
                started = time.monotonic()
                self.assertEqual(get_from(first, "/healthz"), "HTTP/1.1 200 OK")
                post_timed("malformed", "sealed=0")
                self.assertLess(time.monotonic() - started, 1)
                for thread in threads:
                    thread.join()
            finally:
                for pid in hung:
                    os.kill(pid, signal.SIGCONT)
            self.assertEqual(answers["malformed"][0][:24], "HTTP/1.1 400 Bad Request")
            for name in ("hung", "behind"):
                self.assertEqual(answers[name][0], UNAVAILABLE)
                self.assertLess(answers[name][1], 6)
            # The database may still commit what it was sent: the post sent again is kept once.
            self.assertEqual(post_to(first, f"sealed={while_hung}"), KEPT)
            self.assertEqual(post_to(first, f"sealed={behind}"), KEPT)
            texts += ["started again", "on a connection made again", "while hung", "behind the hung commit"]
            # Stopped again, and a receiver started meanwhile.
            self.cluster.psql("REVOKE INSERT ON received FROM sealpost_post")
            self.cluster.stop()
            run = self.command("sealpost", "export")
            self.assertEqual((run.returncode, run.stdout), (1, ""))
            self.assertIn("cannot connect: ", run.stderr)
            # Started while the database is away: it listens, answers 503, and keeps
            # posts once the database answers and the role may keep them, all in one run.
            late = on_host(works[3].name, self.cluster.uri("sealpost_post"), "--metrics", "127.0.0.1:9580")
            receivers.append(late)
            late.wait_for(b"the store does not answer yet: cannot connect: ")
            early = seal("posted before the database answered")
            self.assertEqual(post_to(late, f"sealed={early}"), UNAVAILABLE)
            self.assertEqual(get_from(late, "/healthz"), "HTTP/1.1 503 Service Unavailable")
            # Tried every second, said once, and once for the post's 503.
            time.sleep(2.5)
            self.assertEqual(late.log().count(b"does not answer yet"), 2, late.log())
            self.cluster.start()
            late.wait_for(b"the store answers but cannot keep posts: the role sealpost_post needs INSERT on received")
            self.assertEqual(post_to(late, f"sealed={early}"), UNAVAILABLE)
            self.assertEqual(get_from(late, "/healthz"), "HTTP/1.1 503 Service Unavailable")
            self.cluster.psql("GRANT INSERT ON received TO sealpost_post")
            deadline = time.monotonic() + 10
            while get_from(late, "/healthz") != "HTTP/1.1 200 OK":
                self.assertLess(time.monotonic(), deadline, late.log())
                time.sleep(0.2)
            self.assertEqual(post_to(late, f"sealed={early}"), KEPT, late.log())
            self.assertEqual(late.log().count(b"the store answers now"), 1, late.log())
            texts.append("posted before the database answered")
            # More rows than one batch of export's reads.
            self.cluster.psql("INSERT INTO received (received_at, peer, text, digest) SELECT "
                              "'2026-12-09T00:00:00Z', '192.0.2.1', 'row ' || i, 'row ' || i "
                              "FROM generate_series(1, 300) i")
            texts += [f"row {i}" for i in range(1, 301)]
            self.assertEqual(sorted(self.exported()), sorted(texts))
            self.assertEqual(first.log().count(b"failed, answered 503: "), 4, first.log())
        finally:
            for receiver in receivers:
                self.assertEqual(receiver.stop(), 0, receiver.log())

    def test_the_guides_tls_recipe(self):
        """The database host's part of the guide's TLS recipe, applied to a
        cluster of its own in a network namespace with its loopback, and a
        receiver there on the store URI the guide gives; only the network
        of the pg_hba line is the loopback's, and db.example is reached at
        127.0.0.1 by hostaddr."""
        if os.getuid() != 0:
            self.skipTest("the recipe gives the certificate to the user postgres, which takes root")
        network = subprocess.Popen(["unshare", "-n", sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
                                    "from formsend_e2e import bring_loopback_up; bring_loopback_up(); print(flush=True); "
                                    "sys.stdin.read()", str(TESTS)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(network.wait, timeout=60)
        self.addCleanup(network.stdin.close)
        self.addCleanup(network.stdout.close)
        network.stdout.readline()
        inside = ["nsenter", "-t", str(network.pid), "-n"]
        cluster = Cluster(start=False)
        self.addCleanup(cluster.remove)
        (commands,) = recipe("postgresql-tls")
        subprocess.run(["sh", "-euc", 'sudo() { "$@"; }\n' + commands], cwd=cluster.data, check=True,
                       capture_output=True, timeout=120)
        for name in ("postgresql.conf", "pg_hba.conf"):
            lines = "".join(recipe("postgresql-tls", name)).replace("192.0.2.0/24", "127.0.0.1/32")
            with open(cluster.data / name, "a") as conf:
                conf.write(lines)
        pwent = pwd.getpwnam("postgres")
        subprocess.run(inside + ["-S", str(pwent.pw_uid), "-G", str(pwent.pw_gid), postgres_program("pg_ctl"), "-D",
                                 str(cluster.data), "-l", str(cluster.folder / "log"), "-w", "-o",
                                 f"-k {cluster.socket}", "start"], check=True, capture_output=True, timeout=120)
        cluster.psql(f"CREATE ROLE sealpost LOGIN PASSWORD '{PASSWORD}'; CREATE DATABASE sealpost OWNER sealpost",
                     "postgres")
        work = pathlib.Path(tempfile.mkdtemp(prefix="sealpost-tls-"))
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        ca = work / "db-ca.crt"
        shutil.copy(cluster.data / "sealpost-ca.crt", ca)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                        "-subj", "/CN=another CA", "-keyout", work / "other.key", "-out", work / "other-ca.crt"],
                       check=True, capture_output=True, timeout=60)
        (work / "credentials").mkdir()
        pgpass = work / "credentials" / "sealpost-pgpass"
        pgpass.write_text(f"*:*:sealpost:sealpost:{PASSWORD}\n")
        pgpass.chmod(0o600)
        (store,) = re.findall(r"^store = (\S+)$", "".join(recipe("postgresql-receiver")), re.M)
        store = store.replace("sealpost_post@", "sealpost@").replace("/etc/sealpost/db-ca.crt", str(ca))
        self.assertTrue(store.startswith("postgresql://sealpost@db.example/sealpost?sslmode=verify-full&sslrootcert="))
        import receiver_e2e
        receiver_e2e.LAUNCHER[:] = inside
        try:
            receiver = Receiver(work, KEY, extra=("--store", store + "&hostaddr=127.0.0.1"))
        finally:
            receiver_e2e.LAUNCHER[:] = []
        try:
            self.assertIn("keeping posts in PostgreSQL database sealpost as sealpost on db.example port 5432\n",
                          receiver.log().decode())
            run = subprocess.run(inside + [str(BUILD / "formsend" / "formsend"), "127.0.0.1", "/",
                                           f"sealed={seal('over TLS')}"], capture_output=True, timeout=60)
            self.assertEqual(undated(run.stdout.split(b"\n", 1)[1]), KEPT, run.stderr)
        finally:
            self.assertEqual(receiver.stop(), 0, receiver.log())
        cases = [
            # what the store URI changes, export's status, what it prints
            ({}, 0, '"text": "over TLS"'),
            ({"db.example/": "other.example/"}, 1, 'server certificate for "db.example" does not match host name '
                                                   '"other.example"'),
            ({str(ca): str(work / "other-ca.crt")}, 1, "certificate verify failed"),
            ({"sslmode=verify-full": "sslmode=disable"}, 1, "no encryption"),
        ]
        for changes, status, output in cases:
            with self.subTest(changes=changes):
                uri = store
                for old, new in changes.items():
                    uri = uri.replace(old, new)
                run = subprocess.run(inside + [str(RECEIVER), "export", "--store", uri + "&hostaddr=127.0.0.1"],
                                     capture_output=True, text=True, timeout=120,
                                     env=dict(os.environ, PGPASSFILE=str(pgpass)))
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertIn(output, run.stdout + run.stderr)
                self.assertNotIn(PASSWORD, run.stdout + run.stderr)


if __name__ == "__main__":
    if subprocess.run(["unshare", "-rn", "true"], capture_output=True).returncode != 0:
        print("SKIPPED: this kernel refuses private network namespaces (unshare -rn)", file=sys.stderr)
        sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
