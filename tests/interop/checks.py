#!/usr/bin/python3
"""Vorpa against the real servers of the interop harness (started and
seeded by run.sh). Usage: checks.py VORPA SERVERS_DIR
Prints one PASS/FAIL line per check and a summary; exit 1 if any failed."""
import email.utils
import glob
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time

VORPA, SERVERS = sys.argv[1:3]
sys.path.insert(0, SERVERS)
import readback  # noqa: E402  (the harness's own view of what the servers hold)

WORK = readback.WORK
SCRATCH = os.path.join(WORK, "vorpa")
HOST = "127.0.0.1"
USER, PASSWORD = "joe", "secret"      # fixed by the harness's start.sh
STAMP = "%d" % (time.time() * 1000)
TOKEN = SERVERS + "/token.sh joe"                    # a fresh OAuth2 token a run
EXPIRED = SERVERS + "/token.sh --expired joe"        # one the servers refuse
outputs = []                          # everything vorpa printed or logged
exits = []                            # vorpa's exit status, run by run
results = []


def expect(cond, what):
    if not cond:
        raise AssertionError(what)


def check(name, fn):
    try:
        fn()
        ok, detail = True, ""
    except Exception as e:            # noqa: BLE001 - a crash of a check is its failure
        ok, detail = False, " -- %s" % e
    results.append(ok)
    print("%s  %s%s" % ("PASS" if ok else "FAIL", name, detail), flush=True)


# --- packets and runs -----------------------------------------------------
def packet(name, mails=(), articles=(), groups=(), more=()):
    """A fresh folder with the packet (outgoing files in rnews format) and
    the newsgroups file; more: further mail files, MAIL02 on."""
    d = os.path.join(SCRATCH, "%02d-%s" % (len(os.listdir(SCRATCH)) + 1, name))
    os.makedirs(d + "/packet")
    replies = []
    files = [("MAIL01", "mail", mails)] + [("MAIL%02d" % (i + 2), "mail", m) for i, m in enumerate(more)]
    for prefix, kind, msgs in files + [("NEWS01", "news", articles)]:
        if msgs:
            with open("%s/packet/%s.MSG" % (d, prefix), "wb") as f:
                f.write(b"".join(b"#! rnews %d\n" % len(m) + m for m in msgs))
            replies.append("%s\t%s\tu\n" % (prefix, kind))
    if replies:
        with open(d + "/packet/REPLIES", "w") as f:
            f.writelines(replies)
    with open(d + "/newsrc", "w") as f:
        f.writelines(g + "\n" for g in groups)
    return d


def vorpa(d, command, raw="", **settings):
    """raw: lines written after the settings as they are (ACCOUNT sections, a keyword twice)"""
    # Letters go as written, so that what the servers store is compared byte for byte.
    cfg = dict(HOSTNAME="client.example.org", ADDHEADERS="off", SOUPDIR=d + "/packet", NEWSGROUPS=d + "/newsrc",
               LOGFILE=d + "/vorpa.log", CAFILE=WORK + "/tls/ca.pem")
    cfg.update(settings)
    with open(d + "/vorpa.cfg", "w") as f:
        f.writelines("%s %s\n" % kv for kv in cfg.items())
        f.write(raw)
    r = subprocess.run([VORPA] + command.split() + ["/verbose", "/config=" + d + "/vorpa.cfg"],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    out = (r.stdout + r.stderr).decode("utf-8", "replace")
    with open(d + "/output", "w") as f:
        f.write(out)
    log = open(d + "/vorpa.log", encoding="utf-8", errors="replace").read() \
        if os.path.exists(d + "/vorpa.log") else ""
    outputs.append((d, out + log))
    exits.append(r.returncode)
    return out


def records(path):
    data = open(path, "rb").read()
    out, i = [], 0
    while i + 4 <= len(data):
        n = int.from_bytes(data[i:i + 4], "big")
        out.append(data[i + 4:i + 4 + n])
        i += 4 + n
    expect(i == len(data), "%s: a record runs past the end" % path)
    return out


def fetched(d):
    """{area: [records]} as AREAS lists them"""
    areas = d + "/packet/AREAS"
    got = {}
    for line in open(areas).read().splitlines() if os.path.exists(areas) else []:
        number, area, _ = line.split("\t")
        got[area] = records("%s/packet/%s.MSG" % (d, number))
    return got


def left(d):
    return sorted(os.listdir(d + "/packet"))


def tail(out):
    """the last report lines, for a failure's one line"""
    lines = [l for l in out.splitlines() if l.strip() and not l.startswith(("Warning", "Done"))]
    return " | ".join(lines[-3:])


def at(port):
    return "%s:%d" % (HOST, port)


def refused(out, phase):
    expect("(skipping %s)" % phase in out and "certificate" in out.lower() and HOST in out,
           "no certificate refusal for %s in: %s" % (phase, tail(out)))


# --- POP3 -------------------------------------------------------------------
def maildir():
    return {os.path.basename(p): open(p, "rb").read()
            for p in glob.glob(WORK + "/mail/joe/Maildir/*/*")}


def logins():
    log = open(WORK + "/dovecot/dovecot.log").read().splitlines()
    return [l for l in log if "Login: user=<%s>" % USER in l]


def seed_mail(n):
    subprocess.run([SERVERS + "/seed.sh", "-m", str(n), "-a", "0", "-b", "0"],
                   check=True, capture_output=True, timeout=30)


def pop3_fetch(port, tls, mech=None):
    """with a password, or with mech and a token from POPPASSCMD"""
    def run():
        before = maildir()
        expect(before, "no mail on the server to fetch")
        d = packet("pop3-%d%s" % (port, "-" + mech if mech else ""))
        login = dict(POPAUTH=mech, POPPASSCMD=TOKEN) if mech else dict(POPPASS=PASSWORD)
        vorpa(d, "email fetch", POPHOST=at(port), POPTLS=tls, POPUSER=USER, **login)
        got = fetched(d)
        expect(list(got) == ["Email"], "AREAS %s" % list(got))
        expect(sorted(got["Email"]) == sorted(before.values()),
               "%d records differ from the %d mails on the server" % (len(got["Email"]), len(before)))
        expect(not maildir(), "mail left on the server")
        expect(", TLS," in logins()[-1], "login without TLS: %s" % logins()[-1])
        if mech:
            expect("method=%s," % mech.upper() in logins()[-1], "login %s" % logins()[-1])
    return run


def dovecot_log():
    return open(WORK + "/dovecot/dovecot.log").read().splitlines()


def pop3_expired(port, mech):
    def run():
        before, seen = maildir(), len(dovecot_log())
        d = packet("pop3-%d-%s-expired" % (port, mech))
        out = vorpa(d, "email fetch", POPHOST=at(port), POPTLS="on", POPUSER=USER,
                    POPAUTH=mech, POPPASSCMD=EXPIRED)
        line = "POP3 login with %s refused: invalid_token (401)\n(skipping email fetch)" % mech.upper()
        expect(line in out, "no refusal in: %s" % tail(out))
        expect(maildir() == before, "mailbox changed")
        # dovecot tells a client that left from one that sent QUIT
        # ("Aborted login by logging out"), a moment after it left
        for _ in range(50):
            ends = [l for l in dovecot_log()[seen:] if "Disconnected" in l]
            if ends:
                break
            time.sleep(0.1)
        expect(len(ends) == 1 and "Connection closed (auth failed, 1 attempts" in ends[0]
               and "method=%s" % mech.upper() in ends[0], "dovecot logged %s" % ends)
    return run


def pop3_refused(port):
    def run():
        before, seen = maildir(), logins()
        d = packet("pop3-%d" % port)
        refused(vorpa(d, "email fetch", POPHOST=at(port), POPTLS="on",
                      POPUSER=USER, POPPASS=PASSWORD), "email fetch")
        expect(left(d) == [], "packet holds %s" % left(d))
        expect(maildir() == before, "mailbox changed (read or deleted)")
        expect(logins() == seen, "dovecot saw a login")
    return run


# --- SMTP -------------------------------------------------------------------
def mail(tag, extra=""):
    return ("From: Joe <joe@example.org>\nTo: Rcpt <rcpt@example.org>\n%s"
            "Subject: interop %s\nMessage-ID: <%s.%s@client.example.org>\n\n"
            "first\n.leading dot\n..two dots\n.\nlast\n" % (extra, tag, tag, STAMP)).encode()


def on_wire(msg):
    """DATA as the server must store it: CR LF, unstuffed, no Bcc line"""
    return b"".join(l + b"\r\n" for l in msg.split(b"\n")[:-1] if not l.startswith(b"Bcc:"))


def received(server):
    return readback.smtp_messages(server)


def smtp_post(port, tls, server="smtp", mech=None):
    """with a password, or with mech and a token from SMTPPASSCMD"""
    def run():
        msgs = [mail("smtp-%d-a" % port),
                mail("smtp-%d-b" % port, "Cc: cc@example.org\nBcc: bcc@example.org\n")]
        rcpts = [["rcpt@example.org"], ["rcpt@example.org", "cc@example.org", "bcc@example.org"]]
        before = len(received(server))
        d = packet("smtp-%d%s" % (port, "-" + mech if mech else ""), mails=msgs)
        login = dict(SMTPAUTH=mech, SMTPPASSCMD=TOKEN) if mech else dict(SMTPPASS=PASSWORD)
        vorpa(d, "email post", SMTPHOST=at(port), SMTPTLS=tls, SMTPUSER=USER, **login)
        for _ in range(50):           # exim stores a few ms after its 250
            new = received(server)[before:]
            if len(new) >= len(msgs):
                break
            time.sleep(0.1)
        expect(len(new) == len(msgs), "%d of %d mails arrived" % (len(new), len(msgs)))
        # exim numbers its files as its deliveries end, not always in order
        if server == "exim":
            new.sort(key=lambda m: m[2][m[1].get("received_len", 0):] != on_wire(msgs[0]))
        for (seq, meta, raw), msg, to in zip(new, msgs, rcpts):
            data = raw[meta.get("received_len", 0):]
            expect(data == on_wire(msg), "%s %06d differs from what was sent" % (server, seq))
            envelope = (meta["mail_from"], meta["rcpt_tos"], meta["port"], bool(meta["tls"]),
                        meta["auth_user"])
            expect(envelope == ("joe@example.org", to, port, True, USER), "envelope %r" % (envelope,))
            if mech:
                expect(meta.get("auth_mech") == mech.upper(), "auth_mech %r" % meta.get("auth_mech"))
        expect(left(d) == [], "packet holds %s" % left(d))
    return run


def strict_post(port):
    """OpenSMTPD refuses an address without <>; one mail to To, Cc and Bcc"""
    def run():
        # with a Date: of its own, which OpenSMTPD would add
        msg = mail("strict-%d" % port, "Cc: Cy <cc@example.org>\nBcc: bcc@example.org\n"
                                       "Date: Mon, 1 Jan 2024 10:00:00 +0000\n")
        want = ["bcc@example.org", "cc@example.org", "rcpt@example.org"]
        before = len(received("opensmtpd"))
        d = packet("strict-%d" % port, mails=[msg])
        out = vorpa(d, "email post", SMTPHOST=at(port))
        for _ in range(100):          # delivered once per recipient, a moment after the 250
            new = received("opensmtpd")[before:]
            if new and sorted(new[0][1]["rcpt_tos"]) == want:
                break
            time.sleep(0.1)
        expect(len(new) == 1, "%d mails arrived: %s" % (len(new), tail(out)))
        seq, meta, raw = new[0]
        envelope = (meta["mail_from"], sorted(meta["rcpt_tos"]))
        expect(envelope == ("joe@example.org", want), "envelope %r" % (envelope,))
        expect(raw[meta["prefix_len"]:] == on_wire(msg).replace(b"\r\n", b"\n"),
               "opensmtpd %06d differs from what was sent" % seq)
        expect(left(d) == [], "packet holds %s" % left(d))
    return run


def smtp_refused(port, password=PASSWORD, certificate=True):
    def run():
        before = len(received("smtp"))
        d = packet("smtp-%d%s" % (port, "" if certificate else "-badpass"),
                   mails=[mail("refused-%d" % port)])
        out = vorpa(d, "email post", SMTPHOST=at(port), SMTPTLS="starttls",
                    SMTPUSER=USER, SMTPPASS=password)
        if certificate:
            refused(out, "email post")
        else:
            expect("535" in out and "(skipping email post)" in out,
                   "no 535 reported: %s" % tail(out))
        expect(len(received("smtp")) == before, "a mail arrived")
        expect(left(d) == ["MAIL01.MSG", "REPLIES"], "packet holds %s" % left(d))
    return run


def smtp_expired(port, mech, server="smtp"):
    """the error challenge answered as the mechanism wants, then nothing"""
    def run():
        before = len(received(server))
        authlog, mainlog = WORK + "/smtp/auth.log", WORK + "/exim/log/mainlog"
        seen = [len(open(f).readlines()) if os.path.exists(f) else 0 for f in (authlog, mainlog)]
        d = packet("smtp-%d-%s-expired" % (port, mech), mails=[mail("expired-%d" % port)])
        out = vorpa(d, "email post", SMTPHOST=at(port), SMTPTLS="starttls", SMTPUSER=USER,
                    SMTPAUTH=mech, SMTPPASSCMD=EXPIRED)
        expect("SMTP login with %s refused: " % mech.upper() in out and "(skipping email post)" in out,
               "no refusal in: %s" % tail(out))
        expect(len(received(server)) == before, "a mail arrived")
        expect(left(d) == ["MAIL01.MSG", "REPLIES"], "packet holds %s" % left(d))
        if server == "smtp":
            notes = [json.loads(l) for l in open(authlog).readlines()[seen[0]:]]
            answer = {"xoauth2": "", "oauthbearer": "AQ=="}[mech]
            expect([(n["result"], n.get("answer")) for n in notes] == [("refused", answer)],
                   "aiosmtpd noted %s" % notes)
        else:
            # exim logs "closed by QUIT" for a client that says goodbye
            new = open(mainlog).readlines()[seen[1]:]
            expect(any("authenticator failed" in l for l in new) and not any("QUIT" in l for l in new),
                   "exim logged %s" % new)
    return run


# --- NNTP -------------------------------------------------------------------
def article(tag):
    return ("From: Joe <joe@example.org>\nNewsgroups: local.test\nSubject: interop %s\n"
            "Message-ID: <%s.%s@client.example.org>\n\nfirst\n.leading dot\n.\nlast\n"
            % (tag, tag, STAMP)).encode()


def spool(group):
    """the group's articles as the server delivers them (LF, unstuffed)"""
    return [readback.unwire(raw) for n, raw in readback.news_articles(group)]


def posted(art):
    """INN adds header fields (Path:, Date:...): ours must all be there, the body unchanged"""
    head, body = art.split(b"\n\n", 1)
    mid = [l for l in head.split(b"\n") if l.startswith(b"Message-ID:")][0]
    for _ in range(50):               # nnrpd hands the post on to innd
        stored = [a for a in spool("local.test") if mid in a.split(b"\n\n", 1)[0].split(b"\n")]
        if stored:
            break
        time.sleep(0.1)
    expect(stored, "%s not in local.test" % mid.decode())
    shead, sbody = stored[0].split(b"\n\n", 1)
    expect(sbody == body and set(head.split(b"\n")) <= set(shead.split(b"\n")),
           "%s stored differently" % mid.decode())


def news_settings(port, tls, login):
    s = dict(NNTPHOST=at(port), NNTPTLS=tls)
    if login:
        s.update(NNTPUSER=USER, NNTPPASS=PASSWORD)
    return s


def news(port, tls, login=False, group=None, post=False):
    def run():
        arts = [article("nntp-%d" % port)] if post else []
        expected = spool(group) if group else []
        d = packet("nntp-%d" % port, articles=arts, groups=[group] if group else [])
        vorpa(d, "news" if post and group else "news post" if post else "news fetch",
              **news_settings(port, tls, login))
        if group:
            got = fetched(d)
            expect(list(got) == [group], "AREAS lists %s" % list(got))
            expect(got[group] == expected, "%d records differ from the %d articles of %s"
                   % (len(got[group]), len(expected), group))
            state = open(d + "/newsrc").read()
            expect(state.startswith(group + ": ") and state.endswith("-%d\n" % len(expected)),
                   "newsgroups file %r" % state)
        for art in arts:
            posted(art)
        expect(left(d) == (["00000000.MSG", "AREAS"] if group else []), "packet holds %s" % left(d))
    return run


def news_groups():
    """several groups in one run, one of them unknown to the server"""
    test, announce, archive = spool("local.test"), spool("local.announce"), spool("local.archive")
    mark = len(test) - 2
    d = packet("nntp-119-groups", groups=["local.test: 1-%d" % mark, "local.archive",
                                          "local.nosuch", "local.announce"])
    vorpa(d, "news fetch", NNTPHOST=at(119), NNTPTLS="off")
    got = fetched(d)
    expect(list(got) == ["local.test", "local.archive", "local.announce"], "AREAS lists %s" % list(got))
    expect(got["local.test"] == test[mark:], "local.test: %d records" % len(got["local.test"]))
    expect(got["local.archive"] == archive and got["local.announce"] == announce,
           "local.archive or local.announce stored differently")
    state = open(d + "/newsrc").read().splitlines()
    expect(state == ["local.test: 1-%d" % len(test), "local.archive: 0-%d" % len(archive), "local.nosuch: 0-0",
                     "local.announce: 0-%d" % len(announce)], "newsgroups file %r" % state)


def news_scored():
    """fed in: an article cross-posted to local.test and local.archive, one
    of each group that the score file kills, and one it keeps"""
    import seed                       # the harness's feed into innd
    test, archive = len(spool("local.test")), len(spool("local.archive"))

    def art(tag, groups, subject):
        mid = "<%s.%s@interop.score>" % (tag, STAMP)
        return mid, ("Path: seeder!not-for-mail\nFrom: Seed <poster@example.org>\nNewsgroups: %s\nSubject: %s\n"
                     "Date: %s\nMessage-ID: %s\n\nbody of %s\n"
                     % (groups, subject, email.utils.formatdate(), mid, tag)).encode()
    seed.feed([art("cross", "local.test,local.archive", "interop in both groups"),
               art("kill", "local.test", "interop Kill me"), art("keep", "local.test", "interop keep me"),
               art("killtoo", "local.archive", "interop kill me too")])
    for _ in range(50):
        if len(spool("local.test")) == test + 3 and len(spool("local.archive")) == archive + 2:
            break
        time.sleep(0.1)
    new = spool("local.test")[test:]
    expect(len(new) == 3, "innd took %d of the 3 articles for local.test" % len(new))
    d = packet("nntp-119-score", groups=["local.test: 1-%d" % test, "local.archive: 1-%d" % archive])
    with open(d + "/score", "w") as f:
        f.write("[local.*]\n-9999: Subject: *kill me*\n1: Subject: ~^interop (in|keep)\n")
    out = vorpa(d, "news fetch", NNTPHOST=at(119), NNTPTLS="off", SCOREFILE=d + "/score")
    got = fetched(d)
    expect(list(got) == ["local.test"], "AREAS lists %s" % list(got))
    expect(got["local.test"] == [new[0], new[2]], "local.test: %d records" % len(got["local.test"]))
    expect(out.count("Killed 1 article (0.0 MB) by score\n") == 2 and "; 1 cross-post stored once." in out,
           "no kills or cross-post said: %s" % tail(out))
    state = open(d + "/newsrc").read().splitlines()
    expect(state == ["local.test: 1-%d" % (test + 3), "local.archive: 1-%d" % (archive + 2)],
           "newsgroups file %r" % state)


def nntp_login_missing():
    d = packet("nntp-1190-nologin", groups=["local.test"])
    out = vorpa(d, "news fetch", **news_settings(1190, "off", False))
    expect(("480" in out or "authentication" in out.lower()) and "(skipping news fetch)" in out,
           "no 480 reported: %s" % tail(out))
    expect(left(d) == [], "packet holds %s" % left(d))
    expect(open(d + "/newsrc").read() == "local.test\n", "newsgroups file rewritten")


def password_hidden():
    # also as AUTH PLAIN's base64 ("\0joe\0secret") and the password's own;
    # a token, or a response that holds one, as a long run of its letters
    for d, text in outputs:
        for form in (PASSWORD, "c2VjcmV0", "AGpvZQBzZWNyZXQ"):
            expect(form not in text, "%r in the output or log of %s" % (form, d))
        expect(not re.search(r"[A-Za-z0-9_.+/=-]{100,}", text), "a token in the output or log of %s" % d)

# --- IMAP (dovecot on 143 and 993) ---------------------------------------------
IMAP_FOLDERS = ("INBOX", "Lists/dev", "Entw\u00fcrfe")
IMAP_AREAS = {"INBOX": "Email"}
imap_dir = []                         # one folder for every IMAP run: its records


def imap_mails():
    """{folder: {Message-ID: (flags, text with LF line ends)}} as dovecot holds them"""
    out = {}
    for name, folder in readback.imap_folders(USER).items():
        out[name] = {}
        for m in folder["messages"]:
            text = open(os.path.join(folder["path"], m["file"]), "rb").read()
            out[name][m["message_id"]] = (sorted(m["flags"]), text.replace(b"\r\n", b"\n"))
    return out


def seed_imap(n, folder):
    args = [SERVERS + "/seed.sh", "-m", str(n), "-a", "0", "-b", "0", "-s", "2000"]
    if folder != "INBOX":
        args += ["-u", USER, "-f", folder]
    subprocess.run(args, check=True, capture_output=True, timeout=30)


def imap_run(port, tls, folders=IMAP_FOLDERS, **settings):
    if not imap_dir:
        imap_dir.append(packet("imap"))
    d = imap_dir[0]
    for name in os.listdir(d + "/packet"):
        os.remove(os.path.join(d + "/packet", name))
    settings.setdefault("IMAPPASS", PASSWORD)
    out = vorpa(d, "email fetch", raw="".join("IMAPFOLDER %s\n" % f for f in folders),
                IMAPHOST=at(port), IMAPTLS=tls, IMAPUSER=USER, **settings)
    return out, fetched(d)


def imap_stored(got, before, new):
    """the records are the new mails of each folder, byte for byte"""
    for folder, ids in new.items():
        area = IMAP_AREAS.get(folder, folder)
        want = sorted(before[folder][i][1] for i in ids)
        expect(sorted(got.get(area, [])) == want,
               "%s: %d records, %d new mails" % (area, len(got.get(area, [])), len(want)))
    expect(set(got) <= {IMAP_AREAS.get(f, f) for f in new}, "AREAS %s" % list(got))


def imap_three():
    for folder in IMAP_FOLDERS:
        seed_imap(2, folder)
    before = imap_mails()
    out, got = imap_run(993, "on")
    imap_stored(got, before, {f: list(before[f]) for f in IMAP_FOLDERS})
    expect(imap_mails() == before, "flags or mails changed on the server")
    expect("Entw\u00fcrfe" in out, tail(out))


def imap_second():
    old = imap_mails()
    seed_imap(1, "INBOX")
    before = imap_mails()
    out, got = imap_run(143, "starttls")
    imap_stored(got, before, {"INBOX": [i for i in before["INBOX"] if i not in old["INBOX"]]})
    expect(imap_mails() == before, "flags or mails changed on the server")


def imap_ahead():
    """folders without levels, fetched before: the later ones go in the first one's flight"""
    folders = ("INBOX", "Entw\u00fcrfe")
    old = imap_mails()
    for folder in folders:
        seed_imap(2, folder)
    before = imap_mails()
    out, got = imap_run(993, "on", folders=folders)
    imap_stored(got, before, {f: [i for i in before[f] if i not in old[f]] for f in folders})
    expect(imap_mails() == before, "flags or mails changed on the server")


def imap_uidvalidity():
    subprocess.run([SERVERS + "/uidvalidity.py", USER, "Lists/dev", "--kick"], check=True,
                   capture_output=True, timeout=30)
    out, got = imap_run(993, "on")
    expect(got == {}, "fetched again: %s" % {a: len(r) for a, r in got.items()})
    expect("UIDVALIDITY of Lists/dev changed" in out, tail(out))


def imap_delete():
    """turned on after runs without it: what this run and the earlier ones stored goes, nothing else"""
    old = imap_mails()
    seed_imap(1, "Lists/dev")
    before = imap_mails()
    new = [i for i in before["Lists/dev"] if i not in old["Lists/dev"]]
    out, got = imap_run(993, "on", folders=("Lists/dev",), IMAPDELETE="on")
    imap_stored(got, before, {"Lists/dev": new})
    after = imap_mails()
    expect(not after.get("Lists/dev"), "Lists/dev holds %d, not 0" % len(after.get("Lists/dev", {})))
    expect("Removed %d messages stored earlier from Lists/dev" % len(old["Lists/dev"]) in out, tail(out))
    expect(after["INBOX"] == before["INBOX"], "INBOX changed")


def imap_token():
    old = imap_mails()
    seed_imap(1, "INBOX")
    before = imap_mails()
    out, got = imap_run(993, "on", folders=("INBOX",), IMAPAUTH="xoauth2", IMAPPASSCMD=TOKEN, IMAPPASS="")
    imap_stored(got, before, {"INBOX": [i for i in before["INBOX"] if i not in old["INBOX"]]})
    expect(any("imap-login:" in l and "Login: user=<joe>" in l and "method=XOAUTH2" in l for l in dovecot_log()),
           "no XOAUTH2 login in dovecot's log")


def imap_compress():
    """dovecot offers COMPRESS=DEFLATE after the login: the fetch deflates with COMPRESS on, not with
    COMPRESS off nor by default (auto: dovecot is on this machine)"""
    old = imap_mails()
    seed_imap(1, "INBOX")
    before = imap_mails()
    out, got = imap_run(993, "on", folders=("INBOX",), COMPRESS="on")
    imap_stored(got, before, {"INBOX": [i for i in before["INBOX"] if i not in old["INBOX"]]})
    m = re.search(r"\+ IMAP connection compressed: (\d+) bytes on the wire for (\d+) bytes carried", out)
    expect(m and int(m.group(1)) < int(m.group(2)), "not compressed: %s" % tail(out))
    out, got = imap_run(993, "on", folders=("INBOX",), COMPRESS="off")
    expect("compressed" not in out and "0 of them are new." in out, tail(out))
    out, got = imap_run(993, "on", folders=("INBOX",))
    expect("compressed" not in out and "0 of them are new." in out, tail(out))


def imap_bigmail():
    """a text part and a 5 MB attachment over MAXSIZE: the text comes, the attachment stays, and so does the mail"""
    import base64
    import pwd
    md = os.path.join(WORK, "mail", USER, "Maildir")
    mid = "<big.%s@interop.localdomain>" % STAMP
    attachment = base64.encodebytes(os.urandom(5 * 1024 * 1024 * 3 // 4)).decode()
    data = ("From: Ann <ann@example.net>\nTo: joe@example.org\nSubject: Holiday photos\nMessage-ID: %s\n"
            "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b1\"\n\n--b1\n"
            "Content-Type: text/plain; charset=utf-8\n\nThe photos are attached.\n--b1\n"
            "Content-Type: image/jpeg; name=\"beach.jpg\"\nContent-Transfer-Encoding: base64\n"
            "Content-Disposition: attachment; filename=\"beach.jpg\"\n\n%s--b1--\n" % (mid, attachment)).encode()
    name = "%d.Mbig%sP%d.interop,S=%d:2," % (time.time(), STAMP, os.getpid(), len(data))
    mail = pwd.getpwnam("mail")
    with open(os.path.join(md, "tmp", name), "wb") as f:
        f.write(data)
    os.chown(os.path.join(md, "tmp", name), mail.pw_uid, mail.pw_gid)
    os.rename(os.path.join(md, "tmp", name), os.path.join(md, "cur", name))
    # Compressed (not the default on this machine), so that the wire's bytes are told.
    out, got = imap_run(993, "on", folders=("INBOX",), MAXSIZE="1M", IMAPDELETE="on", COMPRESS="on")
    texts = [r for r in got.get("Email", []) if mid.encode() in r]
    expect(len(texts) == 1, "%d text-only records: %s" % (len(texts), tail(out)))
    text = texts[0]
    expect(b"X-Vorpa-Parts-Left: 1\n" in text and b"The photos are attached.\n" in text, text[:400])
    # The size as the server counts the encoded part, line ends and all.
    expect(re.search(rb"\nPart 2: image/jpeg, beach\.jpg, 5\.\d MB\n", text) and len(text) < 4000, text[-400:])
    expect(re.search(r"\(1 as text only, 5\.\d MB left on the server\)", out), tail(out))
    # The attachment's random bytes do not deflate: had they come, the wire would show them.
    wire = re.search(r"\+ IMAP connection compressed: (\d+) bytes on the wire", out)
    expect(wire and int(wire.group(1)) < 1000000, "on the wire: %s" % (wire and wire.group(1)))
    after = imap_mails()
    expect(mid in after["INBOX"], "the big mail left INBOX")
    out, got = imap_run(993, "on", folders=("INBOX",), MAXSIZE="1M", IMAPDELETE="on")
    expect(got == {} and mid in imap_mails()["INBOX"], "fetched or removed again: %s" % tail(out))
    # The later checks fetch the mailbox by POP3: it goes again.
    for m in readback.imap_folders(USER)["INBOX"]["messages"]:
        if m["message_id"] == mid:
            os.remove(os.path.join(md, m["file"]))


# --- OAuth2 built in: vorpa authorize, the token file, the refresh ----------
OAUTH_HTTP, OAUTH_HTTPS = "http://127.0.0.1:8480", "https://localhost:8481"
ROTATING = "interop-rotate"            # start.sh: its refresh tokens rotate


def oauth_tool(*args):
    r = subprocess.run(["/usr/bin/python3", SERVERS + "/oauth_token.py"] + list(args),
                       capture_output=True, text=True, timeout=20)
    return r.returncode, r.stdout + r.stderr


def token_requests():
    return open(WORK + "/oauth/log").read().count("POST /token ")


def oauth_account(d, flow="device", **more):
    """the account's settings for the token server over HTTPS, 995 and 465"""
    s = dict(OAUTH2="custom", OAUTH2CLIENTID=ROTATING, OAUTH2TOKENURL=OAUTH_HTTPS + "/token",
             OAUTH2SCOPE="mail", POPHOST=at(995), POPTLS="on", POPUSER=USER,
             SMTPHOST=at(465), SMTPTLS="on", SMTPUSER=USER)
    if flow == "device":
        s["OAUTH2DEVICEURL"] = OAUTH_HTTPS + "/device_authorization"
    else:
        s.update(OAUTH2FLOW="loopback", OAUTH2AUTHURL=OAUTH_HTTP + "/authorize")
    s.update(more)
    cfg = dict(HOSTNAME="client.example.org", SOUPDIR=d + "/packet", NEWSGROUPS=d + "/newsrc",
               LOGFILE=d + "/vorpa.log", CAFILE=WORK + "/tls/ca.pem", **s)
    with open(d + "/vorpa.cfg", "w") as f:
        f.writelines("%s %s\n" % kv for kv in cfg.items())
    return s


def stored(d):
    lines = open(d + "/oauth2-default").read().splitlines()
    return dict(l.split(" ", 1) for l in lines)


def restore(d, tokens, expires=None):
    """the token file of an earlier run in d, its access token expired when asked"""
    if expires is not None:
        tokens = dict(tokens, expires=str(expires))
    path = d + "/oauth2-default"
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        f.writelines("%s %s\n" % kv for kv in tokens.items())


OAUTH = {}                              # the tokens stored by the checks so far


def oauth_device():
    d = packet("oauth-device")
    oauth_account(d)
    p = subprocess.Popen([VORPA, "authorize", "/config=" + d + "/vorpa.cfg"], stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        line = p.stdout.readline()
        while line and not line.startswith("Open "):
            line = p.stdout.readline()
        m = re.match(r"Open (\S+) and enter ([B-Z]{4}-[B-Z]{4})$", line.strip())
        expect(m and m.group(1) == OAUTH_HTTPS + "/device", "no device prompt: %r" % line)
        expect(oauth_tool("approve", m.group(2))[0] == 0, "approve refused")
        out = line + p.stdout.read()
        p.wait(timeout=30)
    finally:
        p.kill()
    outputs.append((d, out))
    expect(p.returncode == 0 and "Account default is authorized: its tokens are in %s/oauth2-default" % d
           in out, "exit %s: %s" % (p.returncode, tail(out)))
    expect(os.stat(d + "/oauth2-default").st_mode & 0o777 == 0o600, "token file not 0600")
    OAUTH.update(stored(d))


def oauth_stored():
    """fetch and post with the stored access token: no request to the token server"""
    seed_mail(2)
    before, requests = maildir(), token_requests()
    d = packet("oauth-stored", mails=[mail("oauth-stored")])
    s = oauth_account(d)
    restore(d, OAUTH)
    n = len(received("smtp"))
    out = vorpa(d, "email", **s)
    expect(len(fetched(d).get("Email", [])) == len(before) and not maildir(), "not fetched: %s" % tail(out))
    new = received("smtp")[n:]
    expect(len(new) == 1 and new[0][1].get("auth_mech") == "XOAUTH2", "not posted: %s" % tail(out))
    expect("method=XOAUTH2," in logins()[-1], "login %s" % logins()[-1])
    expect(token_requests() == requests, "a token request with a valid access token")


def oauth_imap():
    """IMAP logs in with the stored access token too"""
    seed_mail(1)
    d = packet("oauth-imap")
    s = oauth_account(d)
    for k in ("POPHOST", "POPTLS", "POPUSER", "SMTPHOST", "SMTPTLS", "SMTPUSER"):
        del s[k]
    s.update(IMAPHOST=at(993), IMAPTLS="on", IMAPUSER=USER, IMAPDELETE="on")
    restore(d, OAUTH)
    logged = len(dovecot_log())
    out = vorpa(d, "email fetch", **s)
    expect(fetched(d).get("Email"), "not fetched: %s" % tail(out))
    expect(any("imap-login:" in l and "method=XOAUTH2" in l for l in dovecot_log()[logged:]),
           "no XOAUTH2 login to IMAP: %s" % tail(out))


def oauth_rotated():
    """an expired access token: one refresh, the rotated refresh token stored, the old one dead"""
    seed_mail(1)
    requests = token_requests()
    d = packet("oauth-rotated")
    s = oauth_account(d)
    restore(d, OAUTH, expires=0)
    out = vorpa(d, "email fetch", **s)
    now = stored(d)
    expect(len(fetched(d).get("Email", [])) == 1, "not fetched: %s" % tail(out))
    expect(token_requests() == requests + 1, "%d token requests" % (token_requests() - requests))
    expect(now["refresh"] != OAUTH["refresh"] and now["access"] != OAUTH["access"], "tokens not replaced")
    code, said = oauth_tool("refresh", OAUTH["refresh"], "--client-id", ROTATING)
    expect(code != 0 and "invalid_grant" in said, "old refresh token still good: %s" % said)
    OAUTH.update(now)


def oauth_withdrawn():
    oauth_tool("revoke", OAUTH["refresh"])
    d = packet("oauth-withdrawn", mails=[mail("oauth-withdrawn")])
    s = oauth_account(d)
    restore(d, OAUTH, expires=0)
    out = vorpa(d, "email", **s)
    line = "The authorization of account default was withdrawn or has expired: run vorpa authorize default"
    expect(out.count(line) == 1 and "(skipping" not in out, "in: %s" % tail(out))
    expect(left(d) == ["MAIL01.MSG", "REPLIES"], "packet holds %s" % left(d))


def oauth_loopback():
    """the browser (oauth_token.py browse) opened through xdg-open; then a fetch with the token"""
    d = packet("oauth-loopback")
    s = oauth_account(d, flow="loopback", OAUTH2CLIENTID="interop-client")
    os.makedirs(d + "/bin")
    with open(d + "/bin/xdg-open", "w") as f:
        f.write('#!/bin/sh\nexec /usr/bin/python3 %s/oauth_token.py browse "$1" > %s/browser 2>&1\n'
                % (SERVERS, d))
    os.chmod(d + "/bin/xdg-open", 0o755)
    env = dict(os.environ, DISPLAY=":0", PATH=d + "/bin:" + os.environ["PATH"])
    r = subprocess.run([VORPA, "authorize", "/config=" + d + "/vorpa.cfg"], stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=30, env=env)
    out = r.stdout + r.stderr
    outputs.append((d, out))
    expect(r.returncode == 0 and "Account default is authorized" in out, "exit %d: %s" % (r.returncode, tail(out)))
    for _ in range(50):
        if os.path.exists(d + "/browser") and open(d + "/browser").read():
            break
        time.sleep(0.1)
    page = open(d + "/browser").read()
    expect("200" in page and "Vorpa is authorized" in page, "browser saw %r" % page)
    seed_mail(1)
    out = vorpa(d, "email fetch", **s)
    expect(len(fetched(d).get("Email", [])) == 1, "not fetched with its token: %s" % tail(out))
# --- accounts: several mailboxes and identities in one configuration ---------
ANN, ANNPASS, ANNADDR = "ann", "secret2", "ann@example.net"   # fixed by start.sh


def mailbox(user):
    return {os.path.basename(p): open(p, "rb").read()
            for p in glob.glob(WORK + "/mail/%s/Maildir/*/*" % user)}


def seed_user(user, n):
    subprocess.run([SERVERS + "/seed.sh", "-m", str(n), "-a", "0", "-b", "0", "-u", user],
                   check=True, capture_output=True, timeout=30)


def section(name, **settings):
    return "ACCOUNT %s\n" % name + "".join("%s %s\n" % kv for kv in settings.items())


def accounts_fetch():
    """joe by POP3 over TLS, ann by POP3 after STLS: one packet, two files"""
    seed_user(USER, 2)
    seed_user(ANN, 2)
    joe, ann = mailbox(USER), mailbox(ANN)
    d = packet("accounts-fetch")
    out = vorpa(d, "email fetch", POPHOST=at(995), POPTLS="on", POPUSER=USER, POPPASS=PASSWORD,
                raw=section(ANN, POPHOST=at(110), POPTLS="starttls", POPUSER=ANN, POPPASS=ANNPASS))
    expect("Fetching mail for ann from %s..." % at(110) in out, "no line for ann in: %s" % tail(out))
    areas = open(d + "/packet/AREAS").read().splitlines()
    expect([l.split("\t")[1] for l in areas] == ["Email", "Email (%s)" % ANN], "AREAS %s" % areas)
    files = [records("%s/packet/%s.MSG" % (d, l.split("\t")[0])) for l in areas]
    expect(sorted(files[0]) == sorted(joe.values()), "joe's file differs from his mailbox")
    expect(sorted(files[1]) == sorted(ann.values()), "ann's file differs from her mailbox")
    expect(not mailbox(USER) and not mailbox(ANN), "mail left on the server")


def accounts_post():
    """exim 4588 takes a sender only from its own login: each mail by its From"""
    msgs = [mail("route-joe-1"), mail("route-ann").replace(b"Joe <joe@example.org>", b"Ann <%s>" % ANNADDR.encode()),
            mail("route-joe-2")]
    senders = ["joe@example.org", ANNADDR, "joe@example.org"]
    before = len(received("exim"))
    d = packet("accounts-post", mails=msgs)
    out = vorpa(d, "email post", SMTPHOST=at(4588), SMTPTLS="starttls", SMTPUSER=USER, SMTPPASS=PASSWORD,
                raw=section(ANN, FROM="*@Example.NET", SMTPHOST=at(4588), SMTPTLS="starttls", SMTPUSER=ANN,
                            SMTPPASS=ANNPASS))
    for _ in range(50):               # exim stores a few ms after its 250
        new = received("exim")[before:]
        if len(new) >= len(msgs):
            break
        time.sleep(0.1)
    expect(len(new) == len(msgs), "%d of %d mails arrived: %s" % (len(new), len(msgs), tail(out)))
    got = sorted((m["mail_from"], m["auth_user"], raw[m.get("received_len", 0):]) for _, m, raw in new)
    want = sorted((s, "joe" if s.startswith("joe") else ANN, on_wire(m)) for s, m in zip(senders, msgs))
    expect(got == want, "exim took %s" % [g[:2] for g in got])
    expect(out.count("Posting mail") == 2 and "refused" not in out.lower(), "reports: %s" % tail(out))
    expect(left(d) == [], "packet holds %s" % left(d))


def arrived(server, before, want, wait=5.0):
    """the mails stored since before; waits until want are there, or wait seconds"""
    deadline = time.time() + wait
    while True:
        new = received(server)[before:]
        if len(new) >= want or time.time() > deadline:
            return new
        time.sleep(0.1)


def refused_sender():
    """a sender not joe's (550 5.7.1) in the first file, joe's own in the second:
    the letter moved to refused/ with a notice, the second delivered, both files gone"""
    foreign = mail("refused-sender").replace(b"Joe <joe@example.org>", b"Bob <bob@example.com>")
    own = mail("refused-next")
    before = len(received("exim"))
    d = packet("refused-sender", mails=[foreign], more=[[own]])
    s = dict(SMTPHOST=at(4588), SMTPTLS="starttls", SMTPUSER=USER, SMTPPASS=PASSWORD)
    out = vorpa(d, "email post", **s)
    expect(exits[-1] == 2, "exit %d: %s" % (exits[-1], tail(out)))
    moved = d + "/packet/refused/MAIL01-1.eml"
    expect(out.count("! Letter moved to %s, and a notice into area Vorpa" % moved) == 1, "in: %s" % tail(out))
    new = arrived("exim", before, 2, wait=1.0)
    got = [(m["mail_from"], raw[m.get("received_len", 0):]) for _, m, raw in new]
    expect(got == [("joe@example.org", on_wire(own))], "exim took mail from %s" % [g[0] for g in got])
    expect(left(d) == ["00000000.MSG", "AREAS", "refused"], "packet holds %s" % left(d))
    expect(open(moved, "rb").read() == foreign, "refused/ holds another letter")
    areas = open(d + "/packet/AREAS").read()
    expect(areas == "00000000\tVorpa\tbn\n", "AREAS %r" % areas)
    notice = fetched(d)["Vorpa"]
    expect(len(notice) == 1, "%d notices" % len(notice))
    for part in (b"Subject: Not sent: interop refused-sender", b"550 5.7.1", moved.encode(),
                 b"Content-Type: message/rfc822", b"Bob <bob@example.com>"):
        expect(part in notice[0], "no %r in the notice" % part)
    out = vorpa(d, "email post", **s)
    expect(exits[-1] == 0 and "Mailing" not in out, "second run, exit %d: %s" % (exits[-1], tail(out)))
    expect(len(arrived("exim", before, 2, wait=0.5)) == 1, "the second run sent mail")


class Relay:
    """127.0.0.1:port -> a server's port, both ways; while cut is set, a
    session ends once the client's text is complete (the dot after DATA, or
    all of BDAT LAST), before the server has it or answers: the server stores
    nothing and the client knows no verdict"""

    def __init__(self, backend):
        self.backend, self.cut, self.cuts = backend, True, 0
        self.listener = socket.create_server((HOST, 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.session, args=(client,), daemon=True).start()

    @staticmethod
    def pump(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass

    def session(self, client):
        server = socket.create_connection((HOST, self.backend), timeout=20)
        client.settimeout(20)
        threading.Thread(target=self.pump, args=(server, client), daemon=True).start()
        sent = b""
        try:
            while True:
                data = client.recv(65536)
                if not data:
                    break
                if self.cut and self.complete(sent + data, len(sent)):
                    self.cuts += 1
                    break
                server.sendall(data)
                sent += data
        except OSError:
            pass
        for sock in (client, server):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()

    @staticmethod
    def complete(sent, before):
        if b"\r\n.\r\n" in sent[max(0, before - 4):]:
            return True
        last = list(re.finditer(rb"BDAT (\d+) LAST\r\n", sent))
        return bool(last) and len(sent) >= last[-1].end() + int(last[-1].group(1))

    def close(self):
        self.listener.close()


def routed_drop():
    """ann's mail by exim (pipelined, BDAT) through a relay that cuts before
    her verdict, joe's of the same file by aiosmtpd: the file stays (75), the
    next run sends ann's alone"""
    ann = mail("drop-ann").replace(b"Joe <joe@example.org>", b"Ann <%s>" % ANNADDR.encode())
    joe = mail("drop-joe")
    relay = Relay(2525)
    try:
        smtp, exim = len(received("smtp")), len(received("exim"))
        d = packet("routed-drop", mails=[ann, joe])
        replies = open(d + "/packet/REPLIES").read()
        s = dict(SMTPHOST=at(25), SMTPTLS="off",
                 raw=section(ANN, FROM=ANNADDR, SMTPHOST=at(relay.port), SMTPTLS="off"))
        out = vorpa(d, "email post", **s)
        expect(exits[-1] == 75 and relay.cuts == 1, "exit %d, %d cuts: %s" % (exits[-1], relay.cuts, tail(out)))
        expect("MAIL01.MSG" in left(d) and open(d + "/packet/REPLIES").read() == replies,
               "packet holds %s" % left(d))
        relay.cut = False
        out = vorpa(d, "email post", **s)
        expect(exits[-1] == 0, "second run, exit %d: %s" % (exits[-1], tail(out)))
        expect(left(d) == [], "packet holds %s" % left(d))
        got = [raw[m.get("received_len", 0):] for _, m, raw in arrived("exim", exim, 2, wait=1.0)]
        expect(got == [on_wire(ann)], "exim took %d mails" % len(got))
        got = [raw for _, _, raw in arrived("smtp", smtp, 2, wait=0.5)]
        expect(got == [on_wire(joe)], "aiosmtpd took %d mails" % len(got))
    finally:
        relay.close()


def fingerprint(pem):
    r = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", pem],
                       check=True, capture_output=True, timeout=10)
    return "sha256:" + r.stdout.decode().strip().split("=", 1)[1]


def accounts_pin():
    """1995 serves a self-signed certificate: its pin is taken, another refused"""
    seed_user(USER, 1)
    joe = mailbox(USER)
    pin = fingerprint(WORK + "/tls/untrusted.pem")
    d = packet("accounts-pin")
    out = vorpa(d, "email fetch", POPHOST=at(1995), POPTLS="on", POPUSER=USER, POPPASS=PASSWORD,
                TLSFINGERPRINT=pin)
    got = fetched(d)
    expect(sorted(got.get("Email", [])) == sorted(joe.values()), "not fetched: %s" % tail(out))
    seed_user(USER, 1)
    joe = mailbox(USER)
    d = packet("accounts-pin-wrong")
    out = vorpa(d, "email fetch", POPHOST=at(1995), POPTLS="on", POPUSER=USER, POPPASS=PASSWORD,
                TLSFINGERPRINT=fingerprint(WORK + "/tls/server.pem"))
    expect("is not the one of TLSFINGERPRINT" in out and "(skipping email fetch)" in out,
           "no refusal in: %s" % tail(out))
    expect(mailbox(USER) == joe and left(d) == [], "fetched despite the wrong pin")


def accounts_five():
    """five accounts with nothing to do: five logins and nothing more"""
    logins_before = len([l for l in dovecot_log() if "Login: user=" in l])
    raw = "".join(section("a%d" % i, POPHOST=at(110), POPTLS="starttls", POPUSER=(USER, ANN)[i % 2],
                          POPPASS=(PASSWORD, ANNPASS)[i % 2]) for i in range(1, 5))
    # the first run takes what earlier checks left
    vorpa(packet("accounts-five-first"), "email fetch", POPHOST=at(110), POPTLS="starttls", POPUSER=ANN,
          POPPASS=ANNPASS, raw=raw)
    d = packet("accounts-five")
    started = time.time()
    out = vorpa(d, "email fetch", POPHOST=at(110), POPTLS="starttls", POPUSER=ANN, POPPASS=ANNPASS, raw=raw)
    took = time.time() - started
    for _ in range(20):               # dovecot logs a moment after the login
        logins = len([l for l in dovecot_log() if "Login: user=" in l]) - logins_before
        if logins >= 10:
            break
        time.sleep(0.1)
    expect(logins == 10, "%d logins in two runs" % logins)
    expect(left(d) == [] and "(skipping" not in out, "reports: %s" % tail(out))
    print("      five accounts, nothing to fetch, STLS and logins: %.0f ms" % (took * 1000), flush=True)
# --- compression and the TLS ports ------------------------------------------
def news_compressed(port, tls, compress="on"):
    """local.test fetched byte for byte; /verbose tells what deflate saved
    (tls None: no NNTPTLS written, the port decides)"""
    def run():
        expected = spool("local.test")
        d = packet("nntp-%d-compress-%s" % (port, compress), groups=["local.test"])
        settings = dict(NNTPHOST=at(port), COMPRESS=compress)
        if tls:
            settings["NNTPTLS"] = tls
        out = vorpa(d, "news fetch", **settings)
        got = fetched(d)
        expect(got.get("local.test") == expected, "records differ from the %d articles: %s"
               % (len(expected), tail(out)))
        m = re.search(r"\+ NNTP connection compressed: (\d+) bytes on the wire for (\d+) bytes carried", out)
        if compress == "off":
            expect(not m and "Starting compression" not in out, "compressed with COMPRESS off")
            return
        expect(m and int(m.group(1)) * 2 < int(m.group(2)), "no compression said: %s" % tail(out))
    return run


# --- the reader's archives: zip and unzip stand in for the reader -----------
def reader_rep(d, name, letters):
    """a reply archive as readers write it: R0000000.MSG on, upper case, b/B"""
    folder = d + "/reply-" + name
    os.makedirs(folder)
    lines = []
    for i, (kind, msg) in enumerate(letters):
        with open("%s/R%07d.MSG" % (folder, i), "wb") as f:
            f.write(len(msg).to_bytes(4, "big") + msg)
        lines.append("R%07d\t%s\t%s\n" % (i, kind, "b" if kind == "mail" else "B"))
    with open(folder + "/REPLIES", "w") as f:
        f.writelines(lines)
    names = ["R%07d.MSG" % i for i in range(len(letters))] + ["REPLIES"]
    subprocess.run(["zip", "-q", "-j", "%s/up/%s" % (d, name)] + ["%s/%s" % (folder, n) for n in names],
                   check=True, timeout=30)


def unpacked_records(data):
    out, i = [], 0
    while i + 4 <= len(data):
        n = int.from_bytes(data[i:i + 4], "big")
        out.append(data[i + 4:i + 4 + n])
        i += 4 + n
    expect(i == len(data), "a record runs past the end")
    return out


def reader_round_trip():
    """replies taken in from a zip, sent and posted; the fetch packed into a
    zip, then into a tgz; each listed as the reader would list it"""
    d = packet("reader", groups=["local.archive"])
    os.makedirs(d + "/down")
    os.makedirs(d + "/up")
    settings = dict(READERPACKETS=d + "/down", READERREPLIES=d + "/up", POPHOST=at(995), POPTLS="on",
                    POPUSER=USER, POPPASS=PASSWORD, SMTPHOST=at(587), SMTPTLS="starttls", SMTPUSER=USER,
                    SMTPPASS=PASSWORD, NNTPHOST=at(563), NNTPTLS="on")
    msg, art = mail("reader-rep"), article("reader-rep")
    reader_rep(d, "vorpa0001.rep", [("mail", msg), ("news", art)])
    seed_mail(2)
    mails, archive, before = maildir(), spool("local.archive"), len(received("smtp"))
    out = vorpa(d, "all", **settings)
    expect("Took in 2 letters from %s/up/vorpa0001.rep\n" % d in out, "not taken in: %s" % tail(out))
    many = lambda n, what: "%d %s%s" % (n, what, "" if n == 1 else "s")
    line = "Packed %s and %s into %s/down/vorpa0001.zip\n" % (many(len(mails), "mail"),
                                                               many(len(archive), "article"), d)
    expect(line in out, "not packed: %s" % tail(out))
    for _ in range(50):               # aiosmtpd stores a moment after its 250
        new = received("smtp")[before:]
        if new:
            break
        time.sleep(0.1)
    expect([raw[m.get("received_len", 0):] for _, m, raw in new] == [on_wire(msg)], "the letter did not arrive")
    posted(art)
    expect(left(d) == [], "packet holds %s" % left(d))
    expect(os.listdir(d + "/up") == ["imported"] and os.listdir(d + "/up/imported") == ["vorpa0001.rep"],
           "upload folder holds %s" % os.listdir(d + "/up"))
    zipped = d + "/down/vorpa0001.zip"
    listing = subprocess.run(["unzip", "-Z1", zipped], capture_output=True, text=True, timeout=30).stdout.split()
    expect(listing == ["AREAS", "00000000.MSG", "00000001.MSG"], "unzip lists %s" % listing)
    areas = subprocess.run(["unzip", "-p", zipped, "AREAS"], capture_output=True, timeout=30).stdout
    expect(areas == b"00000000\tEmail\tbn\n00000001\tlocal.archive\tBn\n", "AREAS %r" % areas)
    got = [unpacked_records(subprocess.run(["unzip", "-p", zipped, n], capture_output=True, timeout=30).stdout)
           for n in listing[1:]]
    expect(sorted(got[0]) == sorted(mails.values()) and got[1] == archive, "records differ from the servers'")

    # the next day: the reader numbers from R0000000 again, and wants a tgz
    msg = mail("reader-rep-2")
    reader_rep(d, "vorpa0002.rep", [("mail", msg)])
    seed_mail(1)
    mails, before = maildir(), len(received("smtp"))
    out = vorpa(d, "email", READERPACKETFORMAT="tgz", **settings)
    expect("Took in 1 letter from" in out and "Packed 1 mail and 0 articles into %s/down/vorpa0002.tgz\n" % d in out,
           "second day: %s" % tail(out))
    tgz = d + "/down/vorpa0002.tgz"
    listing = subprocess.run(["tar", "tzf", tgz], capture_output=True, text=True, timeout=30).stdout.split()
    expect(listing == ["AREAS", "00000000.MSG"], "tar lists %s" % listing)
    areas = subprocess.run(["tar", "xzOf", tgz, "AREAS"], capture_output=True, timeout=30).stdout
    records = subprocess.run(["tar", "xzOf", tgz, "00000000.MSG"], capture_output=True, timeout=30).stdout
    expect(areas == b"00000000\tEmail\tbn\n" and sorted(unpacked_records(records)) == sorted(mails.values()),
           "AREAS %r or records differ" % areas)
    for _ in range(50):
        new = received("smtp")[before:]
        if new:
            break
        time.sleep(0.1)
    expect([raw[m.get("received_len", 0):] for _, m, raw in new] == [on_wire(msg)], "the second letter did not arrive")
    expect(left(d) == [], "packet holds %s" % left(d))


def main():
    os.makedirs(SCRATCH)
    checks = [
        ("pop3  995  TLS: every mail fetched byte for byte, then deleted", pop3_fetch(995, "on")),
        ("seed  3 more mails", lambda: seed_mail(3)),
        ("pop3  1995 self-signed certificate refused, mailbox untouched", pop3_refused(1995)),
        ("pop3  2995 wrong-name certificate refused, mailbox untouched", pop3_refused(2995)),
        ("pop3  110  STLS: every mail fetched byte for byte, then deleted", pop3_fetch(110, "starttls")),
        ("seed  3 more mails", lambda: seed_mail(3)),
        ("pop3  995  XOAUTH2, token from POPPASSCMD: mails fetched, then deleted",
         pop3_fetch(995, "on", "xoauth2")),
        ("seed  3 more mails", lambda: seed_mail(3)),
        ("pop3  110  STLS + OAUTHBEARER, token from POPPASSCMD: mails fetched, then deleted",
         pop3_fetch(110, "starttls", "oauthbearer")),
        ("seed  3 more mails", lambda: seed_mail(3)),
        ("pop3  995  expired XOAUTH2 token refused, nothing sent after", pop3_expired(995, "xoauth2")),
        ("smtp  587  STARTTLS + AUTH: mails stored as sent, envelope", smtp_post(587, "starttls")),
        ("smtp  465  TLS + AUTH: mails stored as sent, envelope", smtp_post(465, "on")),
        ("exim  3587 STARTTLS + AUTH: mails stored as sent, envelope",
         smtp_post(3587, "starttls", "exim")),
        ("smtp  587  STARTTLS + XOAUTH2, token from SMTPPASSCMD: mails stored",
         smtp_post(587, "starttls", mech="xoauth2")),
        ("smtp  465  TLS + OAUTHBEARER, token from SMTPPASSCMD: mails stored",
         smtp_post(465, "on", mech="oauthbearer")),
        ("exim  3587 STARTTLS + XOAUTH2, token from SMTPPASSCMD: mails stored",
         smtp_post(3587, "starttls", "exim", mech="xoauth2")),
        ("smtp  587  expired XOAUTH2 token refused, challenge answered, mail kept",
         smtp_expired(587, "xoauth2")),
        ("smtp  587  expired OAUTHBEARER token refused, challenge answered, mail kept",
         smtp_expired(587, "oauthbearer")),
        ("exim  3587 expired OAUTHBEARER token refused, nothing sent after, mail kept",
         smtp_expired(3587, "oauthbearer", "exim")),
        ("osmtp 4025 addresses in <>: To, Cc and Bcc in the envelope, no Bcc line, text as sent",
         strict_post(4025)),
        ("smtp  1587 self-signed certificate refused, nothing sent", smtp_refused(1587)),
        ("smtp  2587 wrong-name certificate refused, nothing sent", smtp_refused(2587)),
        ("smtp  587  wrong password ends the phase, mail kept",
         smtp_refused(587, "wrong-" + STAMP, certificate=False)),
        ("nntp  563  TLS: local.test fetched byte for byte", news(563, "on", group="local.test")),
        ("nntp  119  STARTTLS: article posted", news(119, "starttls", post=True)),
        ("nntp  1190 AUTHINFO: article posted, local.archive fetched",
         news(1190, "off", login=True, group="local.archive", post=True)),
        ("nntp  1563 TLS + AUTHINFO: local.announce fetched",
         news(1563, "on", login=True, group="local.announce")),
        ("nntp  119  four groups in one run, one unknown: three fetched, marks kept", news_groups),
        ("nntp  1190 without a login: 480 reported, phase ended", nntp_login_missing),
        ("nntp  119  score file kills by OVER before ARTICLE, a cross-post stored once, marks past all",
         news_scored),
        # OAuth2 built in
        ("oauth 8481 device grant: code approved, tokens stored 0600", oauth_device),
        ("oauth 995 + 465 the stored access token fetches and posts, no token request", oauth_stored),
        ("oauth 993  IMAP logs in with the stored access token", oauth_imap),
        ("oauth 8481 expired access token: one refresh, rotated token stored, the old one dead",
         oauth_rotated),
        ("oauth 8481 revoked refresh token: the one withdrawn line, mail kept", oauth_withdrawn),
        ("oauth 8480 loopback grant with PKCE through xdg-open, then a fetch", oauth_loopback),
        # accounts
        ("accts 995+110 joe's and ann's mailboxes fetched in one run into one packet", accounts_fetch),
        ("accts 4588 mail from joe and ann each through its own login, none refused", accounts_post),
        ("accts 4588 a sender refused (550): letter to refused/, notice in Vorpa, the next file sent",
         refused_sender),
        ("accts 25+2525 ann's link cut before her verdict: file kept (75), then her mail alone, once",
         routed_drop),
        ("accts 1995 self-signed certificate taken by its pin, another pin refused", accounts_pin),
        ("accts 110  five accounts with nothing to do: five logins, timed", accounts_five),
        # compression and the TLS ports
        ("nntp  563  no NNTPTLS written: TLS, COMPRESS, local.test fetched", news_compressed(563, None)),
        ("nntp  119  STARTTLS, COMPRESS, local.test fetched", news_compressed(119, "starttls")),
        ("nntp  119  COMPRESS off: local.test fetched plain", news_compressed(119, "off", "off")),
        # IMAP
        ("imap  993  TLS: three folders fetched byte for byte, flags untouched", imap_three),
        ("imap  143  STARTTLS: a second run fetches only the new mail", imap_second),
        ("imap  993  two folders fetched before: both in one flight, only the new mail", imap_ahead),
        ("imap  993  UIDVALIDITY of Lists/dev changed: nothing fetched twice", imap_uidvalidity),
        ("imap  993  IMAPDELETE turned on: what was stored, now and before, is removed", imap_delete),
        ("imap  993  XOAUTH2, token from IMAPPASSCMD: the new mail fetched", imap_token),
        ("imap  993  COMPRESS=DEFLATE: the fetch deflated, COMPRESS off plain", imap_compress),
        ("imap  993  MAXSIZE 1M: a 5 MB attachment stays, the text comes, IMAPDELETE spares it", imap_bigmail),
        # the reader's archives
        ("readr 995+587+563 reply zip taken in and sent, the fetch packed into a zip, then a tgz",
         reader_round_trip),
        ("all   no password or token in any output or log (/verbose)", password_hidden),
    ]
    for name, fn in checks:
        check(name, fn)
    failed = results.count(False)
    print("interop: %d passed, %d failed (vorpa's files in %s)" % (len(results) - failed, failed, SCRATCH))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
