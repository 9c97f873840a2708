#!/usr/bin/python3
"""Vorpa against the real servers of the interop harness behind a slow link
(bench/net/slowlink: 100 ms each way), beside a bare client that does the
least the protocol allows over the same link. Needs the harness started
(shared/servers/start.sh, as root) and a Release build.

  bench/real/run.py BUILD SERVERS_DIR [news|mail20|mail50|files20|compress|score|day ...]

news:   50 groups of 4 new articles of about 5 KB from INN (nnrpd, 119)
mail20, mail50: 20 or 50 mails of 5 KB to exim's submission port 3587,
        with STARTTLS and AUTH PLAIN; files20: the same 20 mails, one file each
compress: every article of local.test (seed.sh -m 0 -a 2000 -b 0 --corpus
        first) over 1 Mbit/s each way and 50 ms, with COMPRESS on and off,
        once each; then on loopback, five runs each, for the CPU it costs
score:  500 articles of local.test (seed.sh -m 0 -a 500 -b 0 --corpus first)
        over 1 Mbit/s each way and 50 ms, whole and with a score file that
        kills every other one (by the number in their overview's Xref), once each
day:    the whole day behind 100 ms each way, in test mode so that it can run
        again (seed.sh -m 100 -a 100 -b 100 first): 20 mails out through
        exim 3587 (STARTTLS, AUTH), 5 articles out and the 3 groups in
        through INN 563 (TLS), 100 mails in from dovecot 995 (TLS); each
        phase alone, then all four in one run (medians of three)
Each figure is the median of five runs; VORPA=... measures another binary."""
import base64
import os
import resource
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

BUILD, SERVERS = sys.argv[1:3]
SCENARIOS = sys.argv[3:] or ["news", "mail20", "mail50", "compress", "day"]
VORPA = os.environ.get("VORPA", BUILD + "/vorpa")
WORK = os.environ.get("INTEROP_WORK", "/tmp/interop")
CA = WORK + "/tls/ca.pem"
CTLINND = "/usr/lib/news/bin/ctlinnd"
GROUPS = ["local.bench%02d" % i for i in range(1, 51)]
RUNS = 5
FILL = "abcdefghijklmnopqrstuvwxyz0123456789" * 2


class Link:
    """slowlink in front of a port, for as long as the object lives"""
    def __init__(self, port, ms=100, kbits=0):
        self.proc = subprocess.Popen([BUILD + "/bench/net/slowlink", str(port), str(ms), str(kbits)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = int(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


class Conn:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.f = self.sock.makefile("rb")

    def line(self):
        line = self.f.readline()
        if not line:
            raise RuntimeError("connection closed")
        return line

    def reply(self):
        """an SMTP reply, continuation lines included"""
        while True:
            line = self.line()
            if line[3:4] != b"-":
                return line

    def tls(self):
        ctx = ssl.create_default_context(cafile=CA)
        self.sock = ctx.wrap_socket(self.sock, server_hostname="127.0.0.1")
        self.f = self.sock.makefile("rb")


def body(tag, size):
    lines, total = [], 0
    while total < size:
        line = ("%s %d %s" % (tag, len(lines), FILL))[:72] + "\n"
        lines.append(line)
        total += len(line)
    return "".join(lines)


def timed(fn):
    start = time.monotonic()
    fn()
    return time.monotonic() - start


def runvorpa(d, command, **settings):
    cfg = dict(HOSTNAME="client.example.org", SOUPDIR=d + "/packet", NEWSGROUPS=d + "/newsrc",
               LOGFILE=d + "/vorpa.log", CAFILE=CA)
    cfg.update(settings)
    with open(d + "/vorpa.cfg", "w") as f:
        f.writelines("%s %s\n" % kv for kv in cfg.items())
    os.chmod(d + "/vorpa.cfg", 0o600)
    # /usr/bin/time: a child forked from this script would count its size
    # (its %U and %S tick by 10 ms: the CPU time is the children's usage, to the microsecond)
    start, cpu = time.monotonic(), childcpu()
    status = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", d + "/time", VORPA] +
                            command.split() + ["/config=" + d + "/vorpa.cfg"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL).returncode
    wall = time.monotonic() - start
    if status != 0:
        raise RuntimeError("vorpa %s exited %d (see %s)" % (command, status, d))
    return wall, childcpu() - cpu, int(open(d + "/time").read().split()[-1]) / 1024


def childcpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def report(name, vorpas, bares):
    wall = statistics.median(v[0] for v in vorpas)
    cpu = statistics.median(v[1] for v in vorpas)
    rss = max(v[2] for v in vorpas)
    print("%-7s vorpa wall %.2f s, CPU %.3f s, peak RSS %.1f MB; bare client wall %.2f s"
          % (name, wall, cpu, rss, statistics.median(bares)), flush=True)


# --- news -------------------------------------------------------------------
def seednews():
    """50 groups, each holding 4 articles (made once, kept across runs)"""
    conn = Conn(119)
    conn.line()
    for g in GROUPS:
        conn.sock.sendall(b"GROUP %s\r\n" % g.encode())
        answer = conn.line()
        count = int(answer.split()[1]) if answer.startswith(b"211") else -1
        if count < 0:
            subprocess.run([CTLINND, "-s", "newgroup", g, "y", "bench"], check=True,
                           env=dict(os.environ, INNCONF=WORK + "/inn/etc/inn.conf"))
            count = 0
        for n in range(count, 4):
            conn.sock.sendall(b"POST\r\n")
            if not conn.line().startswith(b"340"):
                raise RuntimeError("POST refused")
            art = ("From: Bench <bench@example.org>\r\nNewsgroups: %s\r\nSubject: bench %d\r\n\r\n%s"
                   % (g, n, body(g, 5000).replace("\n", "\r\n"))) + ".\r\n"
            conn.sock.sendall(art.encode())
            if not conn.line().startswith(b"240"):
                raise RuntimeError("article refused")
    conn.sock.sendall(b"QUIT\r\n")
    time.sleep(2)   # nnrpd hands the posts on to innd


def barenews(port, groups=GROUPS):
    """the GROUPs in one flight, then every GROUP and ARTICLE in a second"""
    conn = Conn(port)
    conn.line()
    conn.sock.sendall(b"".join(b"GROUP %s\r\n" % g.encode() for g in groups))
    ranges = []
    for g in groups:
        answer = conn.line().split()
        ranges.append((g, int(answer[2]), int(answer[3])))
    conn.sock.sendall(b"".join(b"GROUP %s\r\n" % g.encode() +
                               b"".join(b"ARTICLE %d\r\n" % n for n in range(lo, hi + 1))
                               for g, lo, hi in ranges))
    for g, lo, hi in ranges:
        conn.line()
        for n in range(lo, hi + 1):
            conn.line()
            while conn.line() != b".\r\n":
                pass
    conn.sock.sendall(b"QUIT\r\n")
    conn.line()


def news():
    seednews()
    link = Link(119)
    vorpas, bares = [], []
    for _ in range(RUNS):
        with tempfile.TemporaryDirectory() as d:
            os.mkdir(d + "/packet")
            with open(d + "/newsrc", "w") as f:
                f.writelines(g + "\n" for g in GROUPS)
            vorpas.append(runvorpa(d, "news fetch", NNTPHOST="127.0.0.1:%d" % link.port))
            areas = open(d + "/packet/AREAS").read().count("\n")
            if areas != len(GROUPS):
                raise RuntimeError("%d groups fetched" % areas)
        bares.append(timed(lambda: barenews(link.port)))
    link.close()
    report("news", vorpas, bares)


# --- mail -------------------------------------------------------------------
def mails(n):
    return [("From: Joe <joe@example.org>\nTo: Rcpt <rcpt@example.org>\nSubject: bench %d\n\n%s"
             % (i, body("mail %d" % i, 5000))).encode() for i in range(n)]


def baremail(port, msgs):
    """the login, then every MAIL, RCPT and BDAT LAST with its text in one flight"""
    conn = Conn(port)
    conn.reply()
    conn.sock.sendall(b"EHLO client.example.org\r\n")
    conn.reply()
    conn.sock.sendall(b"STARTTLS\r\n")
    conn.reply()
    conn.tls()
    conn.sock.sendall(b"EHLO client.example.org\r\n")
    conn.reply()
    conn.sock.sendall(b"AUTH PLAIN %s\r\n" % base64.b64encode(b"\0joe\0secret"))
    if not conn.reply().startswith(b"235"):
        raise RuntimeError("AUTH refused")
    flight = []
    for m in msgs:
        text = m.replace(b"\n", b"\r\n")
        flight.append(b"MAIL FROM:<joe@example.org>\r\nRCPT TO:<rcpt@example.org>\r\n"
                      b"BDAT %d LAST\r\n" % len(text) + text)
    conn.sock.sendall(b"".join(flight))
    for _ in range(3 * len(msgs)):
        if not conn.reply().startswith(b"250"):
            raise RuntimeError("refused")
    conn.sock.sendall(b"QUIT\r\n")
    conn.reply()


def mail(n, files=False):
    """files: each mail in a file of its own, as many offline readers write them"""
    def run():
        link = Link(3587)
        msgs = mails(n)
        vorpas, bares = [], []
        for _ in range(RUNS):
            with tempfile.TemporaryDirectory() as d:
                os.mkdir(d + "/packet")
                parts = [[m] for m in msgs] if files else [msgs]
                for i, part in enumerate(parts):
                    with open(d + "/packet/MAIL%02d.MSG" % i, "wb") as f:
                        f.write(b"".join(b"#! rnews %d\n" % len(m) + m for m in part))
                with open(d + "/packet/REPLIES", "w") as f:
                    f.writelines("MAIL%02d\tmail\tu\n" % i for i in range(len(parts)))
                vorpas.append(runvorpa(d, "email post", SMTPHOST="127.0.0.1:%d" % link.port,
                                       SMTPTLS="starttls", SMTPUSER="joe", SMTPPASS="secret"))
                if os.listdir(d + "/packet"):
                    raise RuntimeError("mail left in the packet")
            bares.append(timed(lambda: baremail(link.port, msgs)))
        link.close()
        report("files%d" % n if files else "mail%d" % n, vorpas, bares)
    return run


# --- compression ---------------------------------------------------------------
def fetchgroup(port, compress, group="local.test", score=None):
    """score: the lines of a score file; its kill line goes with the figures"""
    with tempfile.TemporaryDirectory() as d:
        os.mkdir(d + "/packet")
        with open(d + "/newsrc", "w") as f:
            f.write(group + "\n")
        settings = dict(NNTPHOST="127.0.0.1:%d" % port, COMPRESS=compress)
        if score:
            with open(d + "/score", "w") as f:
                f.write(score)
            settings["SCOREFILE"] = d + "/score"
        figures = runvorpa(d, "news fetch", **settings)
        size = os.path.getsize(d + "/packet/00000000.MSG")
        killed = [l for l in open(d + "/vorpa.log").read().splitlines() if l.startswith("Killed")]
    return figures, size, killed


def compress():
    slow = Link(119, 50, 1000)
    (on, _, _), size, _ = fetchgroup(slow.port, "on")
    (off, _, _), _, _ = fetchgroup(slow.port, "off")
    bare = timed(lambda: barenews(slow.port, ["local.test"]))
    slow.close()
    print("compress %.1f MB of articles over 1 Mbit/s and 50 ms: vorpa %.1f s with COMPRESS, %.1f s without "
          "(%.1f times), bare client without %.1f s" % (size / 1e6, on, off, off / on, bare), flush=True)
    fast = {c: [fetchgroup(119, c)[0] for _ in range(RUNS)] for c in ("on", "off")}
    cpu = {c: statistics.median(v[1] for v in fast[c]) for c in fast}
    print("compress on loopback: CPU %.4f s with COMPRESS, %.4f s without (%+.0f%%), wall %.2f s and %.2f s, "
          "peak RSS %.1f MB" % (cpu["on"], cpu["off"], (cpu["on"] / cpu["off"] - 1) * 100,
                                statistics.median(v[0] for v in fast["on"]),
                                statistics.median(v[0] for v in fast["off"]),
                                max(v[2] for c in fast for v in fast[c])), flush=True)


# --- scoring --------------------------------------------------------------------
def score():
    spool = WORK + "/inn/spool/articles/local/test"
    count = len([n for n in os.listdir(spool) if n.isdigit()])
    # The overview's Xref ends in the article's number: the odd ones go.
    rules = "[local.*]\n-100: Xref: *[13579]\n"
    slow = Link(119, 50, 1000)
    for compress in ("on", "off"):
        (whole, _, _), wholesize, _ = fetchgroup(slow.port, compress)
        (scored, _, _), scoredsize, killed = fetchgroup(slow.port, compress, score=rules)
        print("score   %d articles over 1 Mbit/s and 50 ms, COMPRESS %s: %.1f s for all (%.1f MB), "
              "%.1f s with the score file (%.1f MB stored; %s)"
              % (count, compress, whole, wholesize / 1e6, scored, scoredsize / 1e6,
                 killed[0] if killed else "nothing killed"), flush=True)
    slow.close()


# --- the whole day ---------------------------------------------------------------
def day():
    links = {port: Link(port) for port in (3587, 995, 563)}
    arts = [("From: Bench <bench@example.org>\nNewsgroups: local.test\nSubject: day %d\n"
             "Message-ID: <day.%d@bench.example.org>\n\n%s" % (i, i, body("day %d" % i, 2000))).encode()
            for i in range(5)]
    settings = dict(SMTPHOST="127.0.0.1:%d" % links[3587].port, SMTPTLS="starttls", SMTPUSER="joe",
                    SMTPPASS="secret", NNTPHOST="127.0.0.1:%d" % links[563].port, NNTPTLS="on",
                    POPHOST="127.0.0.1:%d" % links[995].port, POPTLS="on", POPUSER="joe", POPPASS="secret")

    def once(command):
        """a fresh packet and state each run: what a run posted it records as sent"""
        with tempfile.TemporaryDirectory() as d:
            os.mkdir(d + "/packet")
            with open(d + "/packet/MAIL01.MSG", "wb") as f:
                f.write(b"".join(b"#! rnews %d\n" % len(m) + m for m in mails(20)))
            with open(d + "/packet/NEWS01.MSG", "wb") as f:
                f.write(b"".join(b"#! rnews %d\n" % len(a) + a for a in arts))
            with open(d + "/packet/REPLIES", "w") as f:
                f.write("MAIL01\tmail\tu\nNEWS01\tnews\tu\n")
            with open(d + "/newsrc", "w") as f:
                f.write("local.test\nlocal.announce\nlocal.archive\n")
            return runvorpa(d, command + " /test", **settings)[0]

    walls = {name: statistics.median(once(name) for _ in range(3))
             for name in ("email post", "news post", "email fetch", "news fetch", "all")}
    for link in links.values():
        link.close()
    slowest = max(v for k, v in walls.items() if k != "all")
    print("day     behind 100 ms: %s; all in one run %.2f s (%.2f times the slowest phase alone)"
          % (", ".join("%s %.2f s" % (k, v) for k, v in walls.items() if k != "all"), walls["all"],
             walls["all"] / slowest), flush=True)


SCENARIO = {"news": news, "mail20": mail(20), "mail50": mail(50), "files20": mail(20, True),
            "compress": compress, "score": score, "day": day}
for name in SCENARIOS:
    SCENARIO[name]()
