#!/usr/bin/python3
"""Vorpa's IMAP fetch against dovecot of the interop harness, beside its
POP3 fetch of the same mails and a bare client that asks for every body in
one command. Needs the harness started (shared/servers/start.sh, as root;
under the shared lock) and a Release build.

  bench/real/imap.py BUILD SERVERS_DIR [loopback|slow|big|compress|far|pop|huge ...]

loopback: 2000 mails of 5 KB in INBOX, on 110 and 143 without TLS
slow:     100 mails of 5 KB in Lists/dev on 993 (TLS) behind 100 ms each
          way (bench/net/slowlink), then the same folder unchanged
big:      the peak memory of a folder with one mail of 50 MB against one
          of 5 KB
compress: 500 mails of the corpus of realistic text in INBOX on 143 over
          1 Mbit/s each way and 50 ms, with COMPRESS on and off; then on
          loopback, five runs each, for the CPU it costs, with COMPRESS on,
          off and auto (the default)
far:      500 mails of 5 KB in Bench/far on 993 (TLS) behind 100 ms each
          way: vorpa, mbsync (isync) pulling them into a Maildir, and the
          bare client, whose one flight is the protocol's floor
pop:      100 mails of 5 KB in ann's mailbox on 995 (TLS) behind 100 ms
          each way: vorpa (POPKEEP on), mpop (keep on) and a bare client that
          sends USER, PASS, every RETR and QUIT in one flight (the floor),
          and the same client asking UIDL before the RETRs, as a client
          that keeps mail on the server must
huge:     the peak memory of the first fetch of 20,000 mails of 1 KB in
          Bench/huge, beside 2000 in Bench/mid
folders:  five folders of 20 mails of 5 KB on 993 (TLS) behind 100 ms each
          way: the first fetch, then the folders unchanged, then with one
          new mail in the last (FOLDERS=Benchf: the same without levels)
Each figure is the median of three runs; VORPA=... measures another binary.
mbsync and mpop are Debian's isync and mpop (apt-get install isync mpop)."""
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
SCENARIOS = sys.argv[3:] or ["loopback", "slow", "big"]
VORPA = os.environ.get("VORPA", BUILD + "/vorpa")
WORK = os.environ.get("INTEROP_WORK", "/tmp/interop")
CA = WORK + "/tls/ca.pem"
RUNS = 3
# far's folder: FARFOLDER=Far measures one without levels, whose name needs
# no delimiter.
FAR = os.environ.get("FARFOLDER", "Bench/far")
CPU = []  # the CPU time of each vorpa run, in order


class Link:
    """slowlink in front of a port, for as long as the object lives"""
    def __init__(self, port, ms=100, kbits=0):
        self.proc = subprocess.Popen([BUILD + "/bench/net/slowlink", str(port), str(ms), str(kbits)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = int(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


def seed(n, size, folder="INBOX", corpus=False):
    args = [SERVERS + "/seed.sh", "-m", str(n), "-a", "0", "-b", "0", "-s", str(size)]
    if folder != "INBOX":
        args += ["-u", "joe", "-f", folder]
    if corpus:
        args.append("--corpus")
    subprocess.run(args, check=True, capture_output=True, timeout=600)


def runvorpa(d, folder="INBOX", **settings):
    cfg = dict(SOUPDIR=d + "/packet", NEWSGROUPS=d + "/newsrc", LOGFILE=d + "/vorpa.log", CAFILE=CA)
    cfg.update(settings)
    with open(d + "/vorpa.cfg", "w") as f:
        f.writelines("%s %s\n" % kv for kv in cfg.items())
        f.writelines("IMAPFOLDER %s\n" % name for name in ([folder] if isinstance(folder, str) else folder))
    os.chmod(d + "/vorpa.cfg", 0o600)
    os.makedirs(d + "/packet", exist_ok=True)
    start, cpu = time.monotonic(), childcpu()
    status = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", d + "/time", VORPA, "email", "fetch",
                             "/config=" + d + "/vorpa.cfg"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL).returncode
    wall = time.monotonic() - start
    if status != 0:
        raise RuntimeError("vorpa exited %d (see %s)" % (status, d))
    CPU.append(childcpu() - cpu)
    return wall, int(open(d + "/time").read().split()[-1]) / 1024, stored(d)


def childcpu():
    """user and system time of the children waited for, to the microsecond (time's %U ticks by 10 ms)"""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def stored(d):
    """the records and bytes in the packet's message files"""
    count = size = 0
    for name in os.listdir(d + "/packet"):
        data = open(os.path.join(d, "packet", name), "rb").read() if name.endswith(".MSG") else b""
        i = 0
        while i + 4 <= len(data):
            n = int.from_bytes(data[i:i + 4], "big")
            count, size, i = count + 1, size + n, i + 4 + n
    return count, size


def fresh(folder="INBOX", **settings):
    with tempfile.TemporaryDirectory() as d:
        return runvorpa(d, folder, **settings)


def imap(port, tls=False, **more):
    s = dict(IMAPHOST="127.0.0.1:%d" % port, IMAPTLS="on" if tls else "off", IMAPUSER="joe",
             IMAPPASS="secret")
    s.update(more)
    return s


def bare(port, folder, tls=False):
    """LOGIN, SELECT, every body in one UID FETCH and LOGOUT, in one flight"""
    sock = socket.create_connection(("127.0.0.1", port), timeout=60)
    if tls:
        sock = ssl.create_default_context(cafile=CA).wrap_socket(sock, server_hostname="127.0.0.1")
    f = sock.makefile("rb")

    seen = []

    def answer(tag):
        while True:
            line = f.readline()
            if not line:
                raise RuntimeError("connection closed after %r" % seen[-3:])
            seen.append(line[:80])
            if line.rstrip().endswith(b"}"):
                f.read(int(line[line.rindex(b"{") + 1:-3]))
            elif line.startswith(tag + b" "):
                return line
    f.readline()
    # LOGOUT goes with the rest and is not waited for: the relay may close
    # before its answer.
    sock.sendall(b'a LOGIN joe secret\r\nb SELECT "%s"\r\nc UID FETCH 1:* (BODY.PEEK[])\r\nd LOGOUT\r\n'
                 % folder.encode())
    for tag in (b"a", b"b", b"c"):
        if not answer(tag).startswith(tag + b" OK"):
            raise RuntimeError("refused")
    sock.close()


def timed(fn):
    start = time.monotonic()
    fn()
    return time.monotonic() - start


def expected(runs, count):
    for r in runs:
        if r[2][0] != count:
            raise RuntimeError("%d mails stored, not %d" % (r[2][0], count))
    return [r[0] for r in runs]


def loopback():
    seed(2000, 5000)
    pop = expected([fresh(POPHOST="127.0.0.1:110", POPUSER="joe", POPPASS="secret", POPTLS="off", POPKEEP="on")
                    for _ in range(RUNS)], 2000)
    got = expected([fresh(**imap(143)) for _ in range(RUNS)], 2000)
    bares = [timed(lambda: bare(143, "INBOX")) for _ in range(RUNS)]
    print("loopback 2000 x 5 KB: IMAP %.2f s, POP3 %.2f s (IMAP/POP3 %.2f); bare IMAP client %.2f s"
          % (statistics.median(got), statistics.median(pop), statistics.median(got) / statistics.median(pop),
             statistics.median(bares)), flush=True)


def slow():
    seed(100, 5000, "Lists/dev")
    link = Link(993)
    firsts, agains = [], []
    for _ in range(RUNS):
        with tempfile.TemporaryDirectory() as d:
            firsts += expected([runvorpa(d, "Lists/dev", **imap(link.port, True))], 100)
            agains += expected([runvorpa(d, "Lists/dev", **imap(link.port, True))], 100)
    bares = [timed(lambda: bare(link.port, "Lists/dev", True)) for _ in range(RUNS)]
    link.close()
    print("slow 100 x 5 KB, TLS, 100 ms each way: %.2f s; unchanged folder %.2f s; bare IMAP client %.2f s"
          % (statistics.median(firsts), statistics.median(agains), statistics.median(bares)), flush=True)


def big():
    seed(1, 5000, "Entw\u00fcrfe")
    small = fresh("Entw\u00fcrfe", **imap(143))[1]
    seed(1, 50000000, "Entw\u00fcrfe")
    wall, large, (count, size) = fresh("Entw\u00fcrfe", **imap(143))
    print("big: peak RSS %.1f MB for a 5 KB mail, %.1f MB for it and one of 50 MB (%d mails, %.1f MB, %.2f s)"
          % (small, large, count, size / 1e6, wall), flush=True)


def compress():
    seed(500, 0, corpus=True)
    link = Link(143, 50, 1000)
    count, size = fresh(**imap(143))[2]
    on = statistics.median(expected([fresh(**imap(link.port, COMPRESS="on")) for _ in range(RUNS)], count))
    off = statistics.median(expected([fresh(**imap(link.port, COMPRESS="off")) for _ in range(RUNS)], count))
    bares = timed(lambda: bare(link.port, "INBOX"))
    link.close()
    print("compress %d mails, %.1f MB, over 1 Mbit/s and 50 ms: vorpa %.1f s with COMPRESS, %.1f s without "
          "(%.2f times), bare client without %.1f s" % (count, size / 1e6, on, off, off / on, bares), flush=True)
    fast = {}
    for c in ("on", "off", "auto"):
        del CPU[:]
        walls = expected([fresh(**imap(143, COMPRESS=c)) for _ in range(5)], count)
        fast[c] = statistics.median(walls), statistics.median(CPU)
    print("compress on loopback: CPU %.4f s with COMPRESS, %.4f s without (%+.0f%%), wall %.2f s and %.2f s"
          % (fast["on"][1], fast["off"][1], (fast["on"][1] / fast["off"][1] - 1) * 100, fast["on"][0],
             fast["off"][0]), flush=True)
    print("compress on loopback, COMPRESS auto (the default): CPU %.4f s, wall %.2f s"
          % (fast["auto"][1], fast["auto"][0]), flush=True)


def mbsync(port, folder, d):
    """isync's mbsync pulls the folder into a Maildir of its own"""
    os.makedirs(d + "/mail")
    cfg = d + "/mbsyncrc"
    with open(cfg, "w") as f:
        f.write("IMAPAccount bench\nHost localhost\nPort %d\nUser joe\nPass secret\nSSLType IMAPS\n"
                "CertificateFile %s\n\nIMAPStore far\nAccount bench\n\nMaildirStore near\nPath %s/mail/\n"
                "Inbox %s/mail/INBOX\nSubFolders Verbatim\n\nChannel bench\nFar :far:\nNear :near:\n"
                "Patterns \"%s\"\nCreate Near\nSync Pull\nSyncState *\n" % (port, CA, d, d, folder))
    subprocess.run(["mbsync", "-q", "-c", cfg, "bench"], check=True, timeout=600, stdin=subprocess.DEVNULL)
    return sum(len(files) for path, _, files in os.walk(d + "/mail") if os.path.basename(path) in ("cur", "new"))


def far():
    seed(500, 5000, FAR)
    link = Link(993)
    count = fresh(FAR, **imap(143))[2][0]
    vorpas = expected([fresh(FAR, **imap(link.port, True)) for _ in range(RUNS)], count)
    mbsyncs = []
    for _ in range(RUNS):
        with tempfile.TemporaryDirectory() as d:
            start = time.monotonic()
            got = mbsync(link.port, FAR, d)
            mbsyncs.append(time.monotonic() - start)
            if got != count:
                raise RuntimeError("mbsync stored %d mails, not %d" % (got, count))
    bares = [timed(lambda: bare(link.port, FAR, True)) for _ in range(RUNS)]
    link.close()
    print("far %d x 5 KB, TLS, 100 ms each way: vorpa %.2f s, mbsync %.2f s, bare client (the floor) %.2f s"
          % (count, statistics.median(vorpas), statistics.median(mbsyncs), statistics.median(bares)), flush=True)


def barepop(port, count, uidl=False):
    """TLS, the greeting, then USER, PASS, every RETR and QUIT in one flight; with uidl, USER, PASS and
    UIDL first, as a client that keeps mail on the server must, and the RETRs once UIDL has named them"""
    sock = ssl.create_default_context(cafile=CA).wrap_socket(
        socket.create_connection(("127.0.0.1", port), timeout=60), server_hostname="127.0.0.1")
    f = sock.makefile("rb")
    f.readline()
    retrs = b"".join(b"RETR %d\r\n" % i for i in range(1, count + 1)) + b"QUIT\r\n"
    sock.sendall(b"USER ann\r\nPASS secret2\r\n" + (b"UIDL\r\n" if uidl else retrs))
    for _ in range(2):
        f.readline()
    if uidl:
        f.readline()
        while f.readline() != b".\r\n":
            pass
        sock.sendall(retrs)
    for _ in range(count):
        if not f.readline().startswith(b"+OK"):
            raise RuntimeError("RETR refused")
        while f.readline() != b".\r\n":
            pass
    f.readline()


def mpop(port, d):
    """mpop delivers every mail into a Maildir and keeps them on the server"""
    for sub in ("cur", "new", "tmp"):
        os.makedirs(d + "/maildir/" + sub)
    cfg = d + "/mpoprc"
    with open(cfg, "w") as f:
        f.write("defaults\ntls on\ntls_starttls off\ntls_trust_file %s\nkeep on\nuidls_file %s/uidls\n\n"
                "account bench\nhost 127.0.0.1\nport %d\nuser ann\npassword secret2\nauth user\n"
                "delivery maildir %s/maildir\n" % (CA, d, port, d))
    os.chmod(cfg, 0o600)
    subprocess.run(["mpop", "-q", "-C", cfg, "bench"], check=True, timeout=600, stdin=subprocess.DEVNULL)
    return len(os.listdir(d + "/maildir/new")) + len(os.listdir(d + "/maildir/cur"))


def pop():
    subprocess.run([SERVERS + "/seed.sh", "-m", "100", "-a", "0", "-b", "0", "-s", "5000", "-u", "ann"], check=True,
                   capture_output=True, timeout=600)
    link = Link(995)
    settings = dict(POPHOST="127.0.0.1:%d" % link.port, POPTLS="on", POPUSER="ann", POPPASS="secret2", POPKEEP="on")
    count = fresh(**settings)[2][0]
    vorpas = expected([fresh(**settings) for _ in range(RUNS)], count)
    mpops = []
    for _ in range(RUNS):
        with tempfile.TemporaryDirectory() as d:
            start = time.monotonic()
            got = mpop(link.port, d)
            mpops.append(time.monotonic() - start)
            if got != count:
                raise RuntimeError("mpop stored %d mails, not %d" % (got, count))
    bares = [timed(lambda: barepop(link.port, count)) for _ in range(RUNS)]
    keeping = [timed(lambda: barepop(link.port, count, True)) for _ in range(RUNS)]
    link.close()
    floor, kept, vorpa = statistics.median(bares), statistics.median(keeping), statistics.median(vorpas)
    print("pop %d x 5 KB, TLS, 100 ms each way: vorpa %.2f s (%.2f times the floor, %.2f times the floor with "
          "UIDL), mpop %.2f s, bare client (the floor) %.2f s, with UIDL first %.2f s"
          % (count, vorpa, vorpa / floor, vorpa / kept, statistics.median(mpops), floor, kept), flush=True)


def huge():
    seed(2000, 1000, "Bench/mid")
    seed(20000, 1000, "Bench/huge")
    mid = fresh("Bench/mid", **imap(143))
    big = fresh("Bench/huge", **imap(143))
    print("huge: peak RSS %.1f MB for the first fetch of %d mails, %.1f MB for %d (%.2f s)"
          % (mid[1], mid[2][0], big[1], big[2][0], big[0]), flush=True)


def folders():
    names = [os.environ.get("FOLDERS", "Bench/f") + "%d" % i for i in range(1, 6)]
    for name in names:
        seed(20, 5000, name)
    link = Link(993)
    firsts, agains, ones = [], [], []
    for i in range(RUNS):
        with tempfile.TemporaryDirectory() as d:
            firsts += expected([runvorpa(d, names, **imap(link.port, True))], 100 + i)
            agains += expected([runvorpa(d, names, **imap(link.port, True))], 100 + i)
            seed(1, 5000, names[-1])
            ones += expected([runvorpa(d, names, **imap(link.port, True))], 101 + i)
    link.close()
    print("folders 5 x 20 x 5 KB, TLS, 100 ms each way: first fetch %.2f s; unchanged %.2f s; one new mail %.2f s"
          % (statistics.median(firsts), statistics.median(agains), statistics.median(ones)), flush=True)


SCENARIO = {"loopback": loopback, "slow": slow, "big": big, "compress": compress, "far": far, "pop": pop, "huge": huge,
            "folders": folders}
for name in SCENARIOS:
    SCENARIO[name]()
