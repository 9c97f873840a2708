// Black-box runs of "vorpa email post" (and "all") against a scripted SMTP
// server on 127.0.0.1:25, in this test's own network namespace: the bytes
// on the wire, the reports, which message files stay and whether REPLIES
// is removed.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

using namespace std::string_literals;

namespace {

const std::string G = "\x01\x01\x01\x01";

// A packet directory with its configuration and log.
struct Packet {
    TempDir dir;
    std::string soup = dir / "soup";
    std::string log = dir / "vorpa.log";
    std::string cfg = dir / "vorpa.cfg";

    explicit Packet(const std::string& settings = "HOSTNAME myhost\nSMTPHOST 127.0.0.1\n") {
        mkdir(soup.c_str(), 0700);
        writefile(cfg, "ADDHEADERS off\n" + settings + "SOUPDIR " + soup + "\nLOGFILE " + log + "\n");
    }
    void put(const std::string& name, const std::string& data) { writefile(soup + "/" + name, data); }
    std::string get(const std::string& name) { return readfile(soup + "/" + name); }
    bool has(const std::string& name) { return fileexists(soup + "/" + name); }
    RunResult run(std::vector<std::string> args = {"email", "post"}) {
        args.push_back("/config=" + cfg);
        return runvorpa(args, dir.path(), 60);
    }
    // The reports of the run: the log after its header line.
    std::string reports() {
        std::string text = readfile(log);
        size_t header = text.find("--- ");
        size_t end = header == std::string::npos ? std::string::npos : text.find('\n', header);
        return end == std::string::npos ? "(no log header in: " + text + ")" : text.substr(end + 1);
    }
};

// Plays the server's side of a dialogue and notes every byte the client
// must send, for one exact comparison at the end.
struct Dialogue {
    Script& s;
    std::string client;

    explicit Dialogue(Script& script, const std::string& greeting = "220 ready\r\n",
                      const std::string& hello = "250 hello\r\n")
        : s(script) {
        if (greeting.empty()) return;  // begun by the caller
        s.send(greeting);
        ask("EHLO myhost\r\n", hello);
        // Refused for good, EHLO gives way to HELO.
        if (hello[0] == '5') ask("HELO myhost\r\n", hello);
    }
    void ask(const std::string& command, const std::string& reply) {
        s.expect(command).send(reply);
        client += command;
    }
    void envelope(const std::string& from, const std::vector<std::string>& to) {
        ask("MAIL FROM:<" + from + ">\r\n", "250 sender ok\r\n");
        for (const std::string& r : to) ask("RCPT TO:<" + r + ">\r\n", "250 recipient ok\r\n");
    }
    void text(const std::string& wire, const std::string& reply = "250 queued\r\n") {
        ask("DATA\r\n", "354 go ahead\r\n");
        s.expectdata().send(reply);
        client += wire;
    }
    void message(const std::string& from, const std::vector<std::string>& to, const std::string& wire) {
        envelope(from, to);
        text(wire);
    }
    void quit(const std::string& reply = "221 bye\r\n") { ask("QUIT\r\n", reply); }
};

// Line ends of a plain text (no line begins with a dot) as they go out.
std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? "\r\n"s : std::string(1, c);
    return out;
}

// A plain message numbered n, as stored and as it must go out.
std::string stored(int n) {
    std::string i = std::to_string(n);
    return "From: Sender " + i + " <s" + i + "@x.org>\nTo: r" + i + "@y.org\nSubject: " + i + "\n\n.dot\n.\nplain\n";
}
std::string wired(int n) {
    std::string i = std::to_string(n);
    return "From: Sender " + i + " <s" + i + "@x.org>\r\nTo: r" + i + "@y.org\r\nSubject: " + i +
           "\r\n\r\n..dot\r\n..\r\nplain\r\n.\r\n";
}

TEST(SmtpPost, EveryFormatTwoMessages) {
    Packet p;
    // CR LF lines, a last line without a line end, NUL bytes, Bcc lines.
    const std::string crlf = "From: c@x.org\r\nTo: crlf@y.org\r\n\r\nTo: body@not.org\r\nbody\r\n";
    const std::string crlfwire = "From: c@x.org\r\nTo: crlf@y.org\r\n\r\nTo: body@not.org\r\nbody\r\n.\r\n";
    const std::string bcc = "From: b@x.org\nBcc: hidden@z.org,\n  hidden2@z.org\nTo: open@y.org\nSubject: s\n\nno end";
    const std::string bccwire = "From: b@x.org\r\nTo: open@y.org\r\nSubject: s\r\n\r\nno end\r\n.\r\n";
    const char nulbytes[] = "From: n@x.org\nTo: nul@y.org\n\na\0b\n";
    const char nulwirebytes[] = "From: n@x.org\r\nTo: nul@y.org\r\n\r\na\0b\r\n.\r\n";
    const std::string nul(nulbytes, sizeof nulbytes - 1), nulwire(nulwirebytes, sizeof nulwirebytes - 1);

    p.put("0000000A.MSG", "#! rnews " + std::to_string(stored(1).size()) + "\n" + stored(1) + "#! rnews " +
                              std::to_string(crlf.size()) + "\n" + crlf);
    p.put("0000000B.MSG", "From s2@x.org Mon Dec  7 10:00:00 2026\n" + stored(2) + "From s3 Tue\n" + stored(3));
    p.put("0000000C.MSG", G + stored(4) + G + G + stored(5) + G);
    p.put("0000000D.MSG", be32(static_cast<uint32_t>(nul.size())) + nul + be32(static_cast<uint32_t>(stored(6).size())) +
                              stored(6));
    p.put("0000000E.MSG", be32(static_cast<uint32_t>(stored(7).size())) + stored(7) +
                              be32(static_cast<uint32_t>(bcc.size())) + bcc);
    p.put("NEWS1.MSG", "#! rnews 3\nabc");
    p.put("REPLIES", "0000000A\tmail\tu\n0000000B\tMAIL\tm\nNEWS1\tnews\tu\n0000000C\tmail\tM\n"
                     "0000000D\tmail\tbn\n0000000E\tMail\tB\n");

    ScriptedServer server(25);
    Dialogue d(server.session());
    d.message("s1@x.org", {"r1@y.org"}, wired(1));
    d.message("c@x.org", {"crlf@y.org"}, crlfwire);
    d.message("s2@x.org", {"r2@y.org"}, wired(2));
    d.message("s3@x.org", {"r3@y.org"}, wired(3));
    d.message("s4@x.org", {"r4@y.org"}, wired(4));
    d.message("s5@x.org", {"r5@y.org"}, wired(5));
    d.message("n@x.org", {"nul@y.org"}, nulwire);
    d.message("s6@x.org", {"r6@y.org"}, wired(6));
    d.message("s7@x.org", {"r7@y.org"}, wired(7));
    d.message("b@x.org", {"hidden@z.org", "hidden2@z.org", "open@y.org"}, bccwire);
    d.quit();
    server.start();

    RunResult r = p.run({"email", "post", "/verbose"});
    EXPECT_TRUE(server.finish()) << server.errortext();
    // The news line waits for a run that posts news: no failure of this one.
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(server.received(0), d.client);

    std::string reports = p.reports();
    EXPECT_EQ(reports.find("Posting mail to 127.0.0.1...\n+ Connecting to SMTP host 127.0.0.1...\n"
                           "+ Connected, sending EHLO...\nMailing from s1@x.org\nMailing to r1@y.org\n"),
              0u)
        << reports;
    EXPECT_NE(reports.find("News found --- will keep REPLIES file\n"), std::string::npos) << reports;
    EXPECT_NE(reports.find("Mailing from b@x.org\nMailing to hidden@z.org\nMailing to hidden2@z.org\n"
                           "Mailing to open@y.org\n+ Signing off...\n+ SMTP session successfully terminated\n"),
              std::string::npos)
        << reports;
    EXPECT_EQ(reports.find("(skipping"), std::string::npos) << reports;
    // Sent files are removed; the news file and REPLIES (news not posted
    // in this run) stay.
    EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"NEWS1.MSG", "REPLIES"}));
}

TEST(SmtpPost, AllRunPassesNewsOverAndRemovesRepliesWhenDone) {
    // Under "all" the news line is left to the news post without a word.
    Packet p("HOSTNAME myhost\nSMTPHOST 127.0.0.1\nNNTPHOST 127.0.0.1\n");
    p.put("00000001.MSG", be32(static_cast<uint32_t>(stored(1).size())) + stored(1));
    p.put("00000002.MSG", "#! rnews 3\nabc");
    p.put("REPLIES", "00000002\tnews\tu\n00000001\tmail\tb\n");
    ScriptedServer server(25);
    Dialogue d(server.session());
    d.message("s1@x.org", {"r1@y.org"}, wired(1));
    d.quit();
    server.start();
    RunResult r = p.run({"all"});
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(r.status, 2) << r.err;
    std::string reports = p.reports();
    EXPECT_EQ(reports.find("News found"), std::string::npos) << reports;
    EXPECT_EQ(reports.find("(skipping email post)"), std::string::npos) << reports;
    EXPECT_FALSE(p.has("00000001.MSG"));

    // With only mail in REPLIES, "email post" removes REPLIES once all was
    // sent; without any mail it makes no connection at all.
    Packet q;
    q.put("00000003.MSG", "From x\n" + stored(3));
    q.put("REPLIES", "00000003\tmail\tm\n");
    ScriptedServer again(25);
    Dialogue e(again.session());
    e.message("s3@x.org", {"r3@y.org"}, wired(3));
    e.quit();
    again.start();
    r = q.run();
    EXPECT_TRUE(again.finish()) << again.errortext();
    EXPECT_EQ(listdir(q.soup), std::vector<std::string>{});

    Packet n("HOSTNAME myhost\nSMTPHOST 127.0.0.1\n");
    n.put("REPLIES", "00000009\tnews\tu\n");
    r = n.run({"post", "/verbose"});
    EXPECT_NE(n.reports().find("+ No mail messages to be posted\n"), std::string::npos) << n.reports();
    EXPECT_EQ(n.reports().find("Posting mail"), std::string::npos) << n.reports();
}

TEST(SmtpPost, NamesInAnyCaseAndFormatN) {
    // As a reader's archive unpacked with its own options leaves them.
    Packet p;
    p.put("replies", "r0000000\tmail\tb\nr0000001\tmail\tn\n");
    p.put("r0000000.msg", be32(static_cast<uint32_t>(stored(1).size())) + stored(1));
    p.put("r0000001.msg", "#! rnews " + std::to_string(stored(2).size()) + "\n" + stored(2));
    ScriptedServer server(25);
    Dialogue d(server.session());
    d.message("s1@x.org", {"r1@y.org"}, wired(1));
    d.message("s2@x.org", {"r2@y.org"}, wired(2));
    d.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(listdir(p.soup), std::vector<std::string>{});
}

TEST(SmtpPost, EnvelopeAddresses) {
    Packet p;
    std::string longto = "To: ";
    for (int i = 0; i < 20; i++) longto += "Person Number " + std::to_string(i) + " <p" + std::to_string(i) + "@y.org>, ";
    longto += "last@y.org\n";
    const std::string header =
        "From: First <first@x.org>\n"
        "Subject: addresses\n"
        "To: \"Doe, John\" <jd@y.org>, joe@y.org (Joe, Bloggs)\n"
        "Cc: a@y.org;b@y.org, localuser\n"
        "\tcont@y.org\n"
        "X-Other: x@not.org\n"
        "  notcont@not.org\n"
        "cc: Pat O'Brien <ob@y.org>, Ann <ann@y.org, bob@y.org>\n" +
        longto +
        "From: Second <second@x.org>, Third <third@x.org>\n"
        " fromcont@not.org\n"
        "BCC: blind@y.org\n"
        "\tblind2@y.org\n"
        "\n"
        "To: body@not.org\n";
    p.put("00000001.MSG", be32(static_cast<uint32_t>(header.size())) + header);
    // Every one of 600 recipients is used.
    std::string many = "From: m@x.org\nTo: ";
    for (int i = 0; i < 600; i++) many += "u" + std::to_string(i) + "@y.org" + (i < 599 ? ", " : "\n");
    many += "\nbody\n";
    p.put("00000002.MSG", "#! rnews " + std::to_string(many.size()) + "\n" + many);
    p.put("REPLIES", "00000001\tmail\tb\n00000002\tmail\tu\n");

    std::vector<std::string> to = {"jd@y.org", "joe@y.org", "a@y.org", "b@y.org", "cont@y.org",
                                   "ob@y.org", "ann@y.org", "bob@y.org"};
    for (int i = 0; i < 20; i++) to.push_back("p" + std::to_string(i) + "@y.org");
    to.insert(to.end(), {"last@y.org", "blind@y.org", "blind2@y.org"});
    std::string headerwire;
    for (size_t at = 0, lf; (lf = header.find('\n', at)) != std::string::npos; at = lf + 1) {
        std::string line = header.substr(at, lf - at);
        if (line.rfind("BCC:", 0) != 0 && line != "\tblind2@y.org") headerwire += line + "\r\n";
    }
    std::vector<std::string> manyto;
    for (int i = 0; i < 600; i++) manyto.push_back("u" + std::to_string(i) + "@y.org");

    ScriptedServer server(25);
    Dialogue d(server.session());
    d.message("third@x.org", to, headerwire + ".\r\n");
    d.envelope("m@x.org", manyto);
    d.text(crlf(many) + ".\r\n");
    d.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(p.reports().find("Mailing from third@x.org\nMailing to jd@y.org\nMailing to joe@y.org\n"),
              std::string::npos)
        << p.reports();
    EXPECT_EQ(listdir(p.soup), std::vector<std::string>{});
}

// A mail message file of one binary record.
std::string binary(const std::string& text) { return be32(static_cast<uint32_t>(text.size())) + text; }

TEST(SmtpPost, MultiLineRepliesAndRefusedRecipient) {
    Packet p;
    std::string text = "From: s@x.org\nTo: bad@y.org, good@y.org\n\nhi\n";
    p.put("00000001.MSG", binary(text));
    p.put("REPLIES", "00000001\tmail\tb\n");
    ScriptedServer server(25);
    Dialogue d(server.session(), "220-first\r\n220-second\r\n220 ready\r\n", "250-hello\r\n250-SIZE 1000\r\n250 HELP\r\n");
    d.ask("MAIL FROM:<s@x.org>\r\n", "250 ok\r\n");
    d.ask("RCPT TO:<bad@y.org>\r\n", "550-no such user\r\n550 \x1b]0;owned\x07really\x9b" "2J not\r\n");
    d.ask("RCPT TO:<good@y.org>\r\n", "250 ok\r\n");
    d.text(crlf(text) + ".\r\n");
    d.quit("221-bye\r\n221 closing\r\n");
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    // The escapes of the refusal shown, not obeyed.
    EXPECT_EQ(p.reports(), "Posting mail to 127.0.0.1...\nMailing from s@x.org\nMailing to bad@y.org\n"
                           "SMTP host returned error: 550 ^[]0;owned^Greally\\x9B2J not\n"
                           "! Recipient refused by SMTP server\nMailing to good@y.org\n");
    // The message reached a recipient: its file goes, and so does REPLIES.
    EXPECT_EQ(listdir(p.soup), std::vector<std::string>{});
}

TEST(SmtpPost, RefusalsQuitOnceAndKeepReplies) {
    struct Case {
        std::string name;
        std::function<void(Dialogue&)> play;
        std::string reports;
    };
    const std::string text = "From: s@x.org\nTo: r@y.org\n\nhi\n";
    std::vector<Case> cases = {
        {"greeting refused: no HELO, no QUIT",
         [](Dialogue&) {},
         "Posting mail to 127.0.0.1...\nSMTP host returned error: 554 go away\n(skipping email post)\n"},
        {"HELO refused",
         [](Dialogue& d) { d.quit(); },
         "Posting mail to 127.0.0.1...\nSMTP host returned error: 501 who\n(skipping email post)\n"},
        // Left unread, the rest of the reply would answer the next commands.
        {"endless reply to RCPT",
         [](Dialogue& d) {
             d.ask("MAIL FROM:<s@x.org>\r\n", "250 ok\r\n");
             std::string endless;
             for (int i = 0; i < 1001; i++) endless += "250-more\r\n";
             d.ask("RCPT TO:<r@y.org>\r\n", endless + "250 ok\r\n");
             d.quit();
         },
         "Posting mail to 127.0.0.1...\nMailing from s@x.org\nMailing to r@y.org\n"
         "SMTP host returned error: 250-more\n! Recipient refused by SMTP server\n(skipping email post)\n"},
        {"sign-off refused",
         [&text](Dialogue& d) {
             d.message("s@x.org", {"r@y.org"}, crlf(text) + ".\r\n");
             d.message("s@x.org", {"r@y.org"}, crlf(text) + ".\r\n");
             d.quit("500 no quitting\r\n");
         },
         "Posting mail to 127.0.0.1...\nMailing from s@x.org\nMailing to r@y.org\nMailing from s@x.org\n"
         "Mailing to r@y.org\nSMTP host returned error: 500 no quitting\n(skipping email post)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Packet p;
        p.put("00000001.MSG", binary(text));
        p.put("00000002.MSG", binary(text));
        p.put("REPLIES", "00000001\tmail\tb\n00000002\tmail\tB\n");
        ScriptedServer server(25);
        Script& s = server.session();
        std::string client;
        if (c.name.rfind("greeting", 0) == 0) {
            s.send("554 go away\r\n").drain();
        } else {
            Dialogue d(s, "220 ready\r\n", c.name.rfind("HELO", 0) == 0 ? "501 who\r\n" : "250 hello\r\n");
            c.play(d);
            s.drain();
            client = d.client;
        }
        server.start();
        RunResult r = p.run();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(server.received(0), client);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(p.reports(), c.reports);
        // Only a file sent whole is removed, and its line with it.
        bool sent = c.name.rfind("sign-off", 0) == 0;
        EXPECT_EQ(p.has("REPLIES"), !sent);
        EXPECT_EQ(p.has("00000001.MSG"), !sent);
        EXPECT_EQ(p.has("00000002.MSG"), !sent);
    }
}

// A letter refused for good leaves the packet for refused/ and a notice
// in area Vorpa tells of it; the post goes on with RSET, and each file's
// fate is its own: both leave REPLIES. The next run is clean.
TEST(SmtpPost, ALetterRefusedForGoodIsMovedOutAndTold) {
    Packet p;
    std::string one = "From: s@x.org\nTo: r@y.org\nSubject: spam\n\nspam\n", two = "From: t@x.org\nTo: r@y.org\n\nham\n";
    p.put("00000001.MSG", binary(one) + binary(two));
    p.put("00000002.MSG", "From x\n" + two);
    p.put("REPLIES", "00000001\tmail\tb\n00000002\tmail\tm\n");
    ScriptedServer server(25);
    Dialogue d(server.session());
    d.ask("MAIL FROM:<s@x.org>\r\n", "550-5.7.1 not yours\r\n550 5.7.1 sender refused\r\n");
    d.ask("RSET\r\n", "250 reset\r\n");
    d.message("t@x.org", {"r@y.org"}, crlf(two) + ".\r\n");
    d.message("t@x.org", {"r@y.org"}, crlf(two) + ".\r\n");
    d.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(p.reports().find("SMTP host returned error: 550 5.7.1 sender refused\n"
                               "! 00000001.MSG \"spam\" to r@y.org: Posting to SMTP server failed\n"
                               "! Letter moved to " + p.soup + "/refused/00000001-1.eml, and a notice into area "
                               "Vorpa\nMailing from t@x.org\n"),
              std::string::npos)
        << p.reports();
    EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"00000000.MSG", "AREAS", "refused"}));
    EXPECT_EQ(readfile(p.soup + "/refused/00000001-1.eml"), one);
    EXPECT_EQ(p.get("AREAS"), "00000000\tVorpa\tbn\n");
    std::string notice = p.get("00000000.MSG");
    for (const char* part : {"From: Vorpa <vorpa@myhost>", "To: s@x.org", "Subject: Not sent: spam",
                             "    550-5.7.1 not yours\n    550 5.7.1 sender refused\n", "r@y.org", "refused/00000001-1.eml",
                             "Content-Type: message/rfc822", "\nspam\n"})
        EXPECT_NE(notice.find(part), std::string::npos) << part << "\n" << notice;
    r = p.run();
    EXPECT_EQ(r.status, 0) << r.out;
}

// A letter refused for now stays, and is tried again by the next runs
// until KEEPTRYING days have passed since its first refusal: then it is
// given up too.
TEST(SmtpPost, ALetterRefusedForNowIsTriedForKeepTryingDays) {
    const std::string m1 = "From: a@x.org\nTo: r@y.org\n\none\n";
    Packet p;
    p.put("00000001.MSG", binary(m1));
    p.put("REPLIES", "00000001\tmail\tb\n");
    ScriptedServer server(25);
    for (int run = 0; run < 2; run++) {
        Dialogue d(server.session());
        d.envelope("a@x.org", {"r@y.org"});
        d.text(crlf(m1) + ".\r\n", "451 4.3.0 try later\r\n");
        d.quit();
    }
    server.start();
    RunResult r = p.run();
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"00000001.MSG", "00000001.SNT", "REPLIES"}));
    // Its first refusal, six days ago.
    std::string record = p.get("00000001.SNT");
    size_t at = record.rfind(' ');
    record = record.substr(0, at + 1) + std::to_string(std::stol(record.substr(at + 1)) - 6 * 86400) + "\n";
    p.put("00000001.SNT", record);
    r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("! Letter moved to " + p.soup + "/refused/00000001-1.eml"), std::string::npos) << r.out;
    EXPECT_NE(p.get("00000000.MSG").find("Not sent after 6 days of trying"), std::string::npos) << p.get("00000000.MSG");
    EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"00000000.MSG", "AREAS", "refused"}));
}

TEST(SmtpPost, DroppedConnection) {
    const std::string text = "From: s@x.org\nTo: r@y.org\n\nhi\n";
    for (int where = 0; where < 3; where++) {
        SCOPED_TRACE(where);
        Packet p;
        p.put("00000001.MSG", binary(text));
        p.put("REPLIES", "00000001\tmail\tb\n");
        ScriptedServer server(25);
        Script& s = server.session();
        if (where == 0) {
            s.drop();  // before the greeting
        } else {
            Dialogue d(s);
            d.ask("MAIL FROM:<s@x.org>\r\n", "250 ok\r\n");
            if (where == 2) {
                d.ask("RCPT TO:<r@y.org>\r\n", "250 ok\r\n");
                d.ask("DATA\r\n", "354 go\r\n");
                s.expectdata();  // then no answer to the text
            } else {
                // Taken before the drop: a close with bytes unread would
                // send a reset, not the end.
                s.expect("RCPT TO:<r@y.org>\r\n");
            }
            s.drop();
        }
        server.start();
        RunResult r = p.run({"email", "post"});
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(r.status, 75);
        EXPECT_NE(r.err.find("Receive: "), std::string::npos) << r.err;
        std::string reports = p.reports();
        EXPECT_EQ(reports.substr(reports.size() - 22), "(skipping email post)\n") << reports;
        // No answer to RCPT: reported like a refusal, and the dialogue ends.
        if (where == 1) {
            EXPECT_NE(reports.find("Mailing to r@y.org\n!!! Error 0 on recv() nr 1\nReceive: connection closed by the "
                                   "server\n! Recipient refused by SMTP server\n(skipping"),
                      std::string::npos)
                << reports;
        }
        // No answer to the text: the network's failure, no refusal.
        if (where == 2) {
            EXPECT_EQ(reports.find("did not accept"), std::string::npos) << reports;
        }
        EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"00000001.MSG", "REPLIES"}));
    }
}

TEST(SmtpPost, TestModeSendsAndKeepsEverything) {
    Packet p;
    const std::string text = "From: s@x.org\nBcc: hidden@y.org\n\t,hidden2@y.org\nTo: r@y.org\n\nhi\n";
    const std::string file = binary(text) + binary(text);
    p.put("00000001.MSG", file);
    p.put("REPLIES", "00000001\tmail\tb\n");
    ScriptedServer server(25);
    Dialogue d(server.session());
    for (int i = 0; i < 2; i++) {
        d.message("s@x.org", {"hidden@y.org", "hidden2@y.org", "r@y.org"},
                  "From: s@x.org\r\nTo: r@y.org\r\n\r\nhi\r\n.\r\n");
    }
    d.quit();
    server.start();
    RunResult r = p.run({"email", "post", "/test"});
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(p.get("00000001.MSG"), file);
    EXPECT_EQ(p.get("REPLIES"), "00000001\tmail\tb\n");
}

TEST(SmtpPost, BadEntriesAndFilesAreReportedAndKept) {
    Packet p;
    const std::string good = "From: s@x.org\nTo: r@y.org\n\nhi\n";
    p.put("00000002.MSG", "#! rnews " + std::to_string(good.size()) + "\n" + good + "garbage\n");
    p.put("00000003.MSG", binary("Subject: no sender\nTo: r@y.org\n\nx\n") + binary("From: s@x.org\n\nno one\n") +
                              binary(good));
    p.put("00000004.MSG", "not a mailbox\n");
    p.put("REPLIES", "00000001\tmail\tb\n00000002\tmail\tu\n00000003\tmail\tb\nnotabs\n00000004\tmail\tm\n"
                     "../00000002\tmail\tu\n00000005\tmail\tU\n00000006\tpost\tb\n");
    ScriptedServer server(25);
    Dialogue d(server.session());
    d.message("s@x.org", {"r@y.org"}, crlf(good) + ".\r\n");
    d.message("s@x.org", {"r@y.org"}, crlf(good) + ".\r\n");
    d.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    const std::string dir = p.soup + "/";
    EXPECT_EQ(p.reports(), "Posting mail to 127.0.0.1...\n! Cannot open message file " + dir +
                               "00000001.MSG\nMailing from s@x.org\nMailing to r@y.org\n"
                               "! Error in message file " + dir + "00000002.MSG\n"
                               "! 00000003.MSG \"no sender\" to r@y.org: No From address specified in message - skipping\n"
                               "! 00000003.MSG: No To address specified in message - skipping\n"
                               "Mailing from s@x.org\nMailing to r@y.org\n"
                               "! Error in REPLIES file\n! Error in message file " + dir + "00000004.MSG\n"
                               "! Error in REPLIES file\n! Unknown message format in REPLIES\n"
                               "! Unknown message kind in REPLIES\n");
    EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"00000002.MSG", "00000002.SNT", "00000003.MSG",
                                                         "00000003.SNT", "00000004.MSG", "REPLIES"}));
}

TEST(SmtpPost, FetchedFileUnderAnOldRepliesNameIsNotSent) {
    // An earlier run sent 00000001 but kept REPLIES, and its mail fetch then
    // took the free name: that file is incoming mail, listed in AREAS.
    Packet p;
    const std::string fetched = binary("From: other@x.org\nTo: me@y.org\nCc: friend@z.org\n\nnot mine\n");
    const std::string mine = "From: me@y.org\nTo: r@z.org\n\nmine\n";
    p.put("00000001.MSG", fetched);
    p.put("00000002.MSG", binary(mine));
    p.put("AREAS", "000000021\tEmail\tbn\n00000001\tEmail\tbn\n");
    p.put("REPLIES", "00000001\tmail\tbn\n00000002\tmail\tb\n");
    ScriptedServer server(25);
    Dialogue d(server.session());
    d.message("me@y.org", {"r@z.org"}, crlf(mine) + ".\r\n");
    d.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(p.reports(), "Posting mail to 127.0.0.1...\n! Message file " + p.soup +
                               "/00000001.MSG is listed in AREAS - skipping\nMailing from me@y.org\nMailing to r@z.org\n");
    EXPECT_EQ(p.get("00000001.MSG"), fetched);
    EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"00000001.MSG", "AREAS", "REPLIES"}));
}

// Each line of REPLIES is judged whole: nothing past a line's 255th byte
// is a line of its own, and a line longer than 64 KB is an error line.
// Both are kept as they were.
TEST(SmtpPost, RepliesLinesAreJudgedWhole) {
    Packet p;
    for (const char* name : {"R1.MSG", "R2.MSG", "R3.MSG"}) p.put(name, binary(stored(2)));
    const std::string cut = std::string(255, 'X') + "R1\tmail\tb\n";
    const std::string huge = "R3\tmail\tb" + std::string(65536, ' ') + "\n";
    p.put("REPLIES", cut + huge + "R2\tmail\tb\n");
    ScriptedServer server(25);
    Dialogue d(server.session());
    d.message("s2@x.org", {"r2@y.org"}, wired(2));
    d.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(p.reports(), "Posting mail to 127.0.0.1...\n! Cannot open message file " + p.soup + "/" +
                               std::string(255, 'X') + "R1.MSG\n! Error in REPLIES file\n"
                               "Mailing from s2@x.org\nMailing to r2@y.org\n");
    EXPECT_EQ(p.get("REPLIES"), cut + huge);
    EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"R1.MSG", "R3.MSG", "REPLIES"}));
}

// Only regular files are read: a FIFO would block the run, and a message
// file that is a symbolic link would mail whatever it points to. Their
// lines stay, even with a record beside them.
TEST(SmtpPost, OnlyRegularFilesAreRead) {
    Packet p;
    const std::string outside = p.dir / "private";
    writefile(outside, binary(stored(1)));
    ASSERT_EQ(mkfifo((p.soup + "/F.MSG").c_str(), 0600), 0);
    ASSERT_EQ(symlink(outside.c_str(), (p.soup + "/L.MSG").c_str()), 0);
    p.put("L.SNT", "");
    p.put("R.MSG", binary(stored(2)));
    ASSERT_EQ(mkfifo((p.soup + "/R.SNT").c_str(), 0600), 0);  // a record that cannot be read
    p.put("REPLIES", "F\tmail\tb\nL\tmail\tb\nR\tmail\tb\n");
    ScriptedServer server(25);
    Dialogue d(server.session());
    d.message("s2@x.org", {"r2@y.org"}, wired(2));
    d.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(r.status, 2);
    std::string reports;
    for (const char* name : {"/F.MSG", "/L.MSG"}) {
        reports += "! Cannot open message file " + p.soup + name + "\n! Message file " + p.soup + name +
                   " is not a regular file\n";
    }
    EXPECT_EQ(p.reports(), "Posting mail to 127.0.0.1...\n" + reports + "! Record " + p.soup + "/R.SNT does not match " +
                               p.soup + "/R.MSG - sending the file whole\nMailing from s2@x.org\nMailing to r2@y.org\n");
    EXPECT_EQ(p.get("REPLIES"), "F\tmail\tb\nL\tmail\tb\n");
    EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"F.MSG", "L.MSG", "L.SNT", "REPLIES"}));

    // An AREAS that cannot be read cannot tell fetched files from replies.
    Packet q;
    q.put("R.MSG", binary(stored(2)));
    q.put("REPLIES", "R\tmail\tb\n");
    ASSERT_EQ(mkfifo((q.soup + "/AREAS").c_str(), 0600), 0);
    ScriptedServer again(25);
    Dialogue e(again.session());
    e.quit();
    again.start();
    r = q.run();
    EXPECT_TRUE(again.finish()) << again.errortext();
    EXPECT_EQ(again.received(0), e.client);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(q.reports(), "Posting mail to 127.0.0.1...\n! Cannot read " + q.soup + "/AREAS - skipping message file " +
                               q.soup + "/R.MSG\n");
    EXPECT_TRUE(q.has("R.MSG"));
}

TEST(SmtpPost, SettingsAndConnection) {
    struct Case {
        std::string settings, reports;
    };
    for (const Case& c : std::vector<Case>{
             {"SMTPHOST 127.0.0.1\n", "Your hostname not defined\n(skipping email post)\n"},
             {"HOSTNAME myhost\n", "SMTP hostname not defined\n(skipping email post)\n"},
             {"HOSTNAME myhost\nSMTPHOST 127.0.0.1\n",
              "Posting mail to 127.0.0.1...\nCannot connect to host 127.0.0.1 at port 25: Connection refused\n"
              "(skipping email post)\n"},
         }) {
        Packet p(c.settings);
        p.put("00000001.MSG", binary("From: s@x.org\nTo: r@y.org\n\nhi\n"));
        p.put("REPLIES", "00000001\tmail\tb\n");
        RunResult r = p.run();
        EXPECT_EQ(r.status, c.settings.find("SMTPHOST") != std::string::npos &&
                                    c.settings.find("HOSTNAME") != std::string::npos ? 75 : 2);
        EXPECT_EQ(p.reports(), c.reports);
        EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"00000001.MSG", "REPLIES"}));
    }
    // No REPLIES: nothing to do, and said so only in verbose mode.
    Packet p;
    RunResult r = p.run({"email", "post", "/verbose"});
    EXPECT_EQ(p.reports(), "+ No REPLIES file found, not posting any email\n");
}

}  // namespace

// With PIPELINING offered, each message's MAIL, RCPTs and DATA go out
// together, and the next group follows the text before its answer is read;
// the reports and the verdicts stay those of the dialogue step by step.
// QUIT goes with the last text, its answer read after the text's, also
// where a line about a news file after it is said before signing off.
TEST(SmtpPost, PipelinedGroupsOneRoundTripPerMessage) {
    Packet p("HOSTNAME myhost\nSMTPHOST 127.0.0.1\nSMTPUSER joe\nSMTPPASS pw\n");
    std::string one = "From: s@x.org\nTo: bad@y.org, good@y.org\n\nhi\n";
    std::string two = "From: t@x.org\nTo: c@y.org\n\n.dot\n";
    p.put("00000001.MSG", binary(one) + binary(two));
    p.put("REPLIES", "00000001\tmail\tb\n00000002\tnews\tu\n");
    ScriptedServer server(25);
    server.session().send("220 hi\r\n").expect("EHLO myhost\r\n")
        .send("250-hi\r\n250-PIPELINING\r\n250 AUTH PLAIN\r\n")
        .expect("AUTH PLAIN AGpvZQBwdw==\r\n").send("235 ok\r\n")
        .expect("MAIL FROM:<s@x.org>\r\n").expect("RCPT TO:<bad@y.org>\r\n").expect("RCPT TO:<good@y.org>\r\n")
        .expect("DATA\r\n").nothingahead(100)
        .send("250 ok\r\n550 no such user\r\n250 ok\r\n354 go\r\n").expectdata()
        .expect("MAIL FROM:<t@x.org>\r\n").expect("RCPT TO:<c@y.org>\r\n").expect("DATA\r\n").nothingahead(100)
        .send("250 queued\r\n250 ok\r\n250 ok\r\n354 go\r\n").expectdata().expect("QUIT\r\n")
        .send("451 later\r\n221 bye\r\n");
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(p.reports(), "Posting mail to 127.0.0.1...\nMailing from s@x.org\nMailing to bad@y.org\n"
                           "SMTP host returned error: 550 no such user\n! Recipient refused by SMTP server\n"
                           "Mailing to good@y.org\nMailing from t@x.org\nMailing to c@y.org\n"
                           "SMTP host returned error: 451 later\n! 00000001.MSG to c@y.org: SMTP server did not accept message\n"
                           "News found --- will keep REPLIES file\n");
    EXPECT_TRUE(p.has("00000001.MSG") && p.has("REPLIES"));
}

// A server without a login is greeted with EHLO too, and pipelines what
// it offers to; one that refuses EHLO gets HELO, step by step.
TEST(SmtpPost, EhloOnEveryServer) {
    const std::string text = "From: s@x.org\nTo: r@y.org\n\nhi\n";
    for (bool knows : {true, false}) {
        SCOPED_TRACE(knows);
        Packet p;
        p.put("00000001.MSG", binary(text));
        p.put("REPLIES", "00000001\tmail\tb\n");
        ScriptedServer server(25);
        Script& s = server.session();
        s.send("220 hi\r\n").expect("EHLO myhost\r\n");
        if (knows) {
            s.send("250-hi\r\n250 PIPELINING\r\n")
                .expect("MAIL FROM:<s@x.org>\r\n").expect("RCPT TO:<r@y.org>\r\n").expect("DATA\r\n")
                .nothingahead(100).send("250 ok\r\n250 ok\r\n354 go\r\n").expectdata().expect("QUIT\r\n")
                .send("250 queued\r\n221 bye\r\n");
        } else {
            Dialogue d(s, "", "");
            s.send("502 unknown\r\n");
            d.ask("HELO myhost\r\n", "250 hello\r\n");
            d.message("s@x.org", {"r@y.org"}, crlf(text) + ".\r\n");
            d.quit();
        }
        server.start();
        RunResult r = p.run({"email", "post", "/verbose"});
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(knows ? "+ Connected, sending EHLO...\nMailing"
                                   : "+ Connected, sending EHLO...\n+ EHLO refused, sending HELO...\nMailing"),
                  std::string::npos)
            << r.out;
    }
}

// A letter without From:, Date: and Message-ID: gets them, the sender from
// the account's FROM and NAME; sent again after a drop before its verdict,
// it goes with the very same bytes. Without a FROM to take, it is kept.
TEST(SmtpPost, ALetterGetsTheHeadersItLacksOnceForAll) {
    Packet p;
    writefile(p.cfg, "HOSTNAME myhost\nSMTPHOST 127.0.0.1\nFROM *@home.org joe@home.org\nNAME Joe Home\nSOUPDIR " +
                         p.soup + "\n");
    p.put("L.MSG", binary("To: r@y.org\nSubject: s\n\nhi\n"));
    p.put("REPLIES", "L\tmail\tb\n");
    ScriptedServer server(25);
    for (int run = 0; run < 2; run++) {
        Script& s = server.session();
        Dialogue d(s);
        d.envelope("joe@home.org", {"r@y.org"});
        d.ask("DATA\r\n", "354 go ahead\r\n");
        s.expectdata();
        if (run == 0) s.drop();
        else s.send("250 queued\r\n").expect("QUIT\r\n").send("221 bye\r\n");
    }
    server.start();
    EXPECT_EQ(p.run().status, 75);
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(r.status, 0) << r.out;
    std::string first = server.received(0);
    EXPECT_EQ(server.received(1), first + "QUIT\r\n");
    size_t head = first.find("DATA\r\n") + 6;
    const std::string added = "From: Joe Home <joe@home.org>\r\nDate: ";
    EXPECT_EQ(first.compare(head, added.size(), added), 0) << first;
    EXPECT_NE(first.find("\r\nMessage-ID: <"), std::string::npos) << first;
    EXPECT_NE(first.find("@myhost>\r\nTo: r@y.org\r\nSubject: s\r\n\r\nhi\r\n.\r\n"), std::string::npos) << first;

    writefile(p.cfg, "HOSTNAME myhost\nSMTPHOST 127.0.0.1\nSOUPDIR " + p.soup + "\n");
    p.put("L.MSG", binary("To: r@y.org\nSubject: s\n\nhi\n"));
    p.put("REPLIES", "L\tmail\tb\n");
    ScriptedServer none(25);
    Dialogue q(none.session());
    q.quit();
    none.start();
    r = p.run();
    EXPECT_TRUE(none.finish()) << none.errortext();
    EXPECT_NE(r.out.find("! L.MSG \"s\" to r@y.org: No From address specified in message - skipping (set FROM in "
                         "the configuration)\n"),
              std::string::npos)
        << r.out;
}

const std::string m1 = "From: a@x.org\nTo: r@y.org\n\none\n";
const std::string m2 = "From: b@x.org\nTo: r@y.org\n\ntwo\n";
const std::string m3 = "From: c@x.org\nTo: r@y.org\n\nthree\n";

// A message refused for now keeps its file, but its neighbours that went
// out are remembered: a second run sends only the refused one.
TEST(SmtpPost, AcceptedMessagesAreNeverSentAgain) {
    Packet p;
    p.put("00000001.MSG", binary(m1) + binary(m2) + binary(m3));
    p.put("REPLIES", "00000001\tmail\tb\n");
    ScriptedServer server(25);
    Dialogue first(server.session());
    first.message("a@x.org", {"r@y.org"}, crlf(m1) + ".\r\n");
    first.envelope("b@x.org", {"r@y.org"});
    first.text(crlf(m2) + ".\r\n", "451 later\r\n");
    first.message("c@x.org", {"r@y.org"}, crlf(m3) + ".\r\n");
    first.quit();
    Dialogue second(server.session());
    second.envelope("b@x.org", {"r@y.org"});
    second.text(crlf(m2) + ".\r\n");
    second.quit();
    server.start();
    p.run();
    EXPECT_TRUE(p.has("00000001.MSG") && p.has("REPLIES"));
    p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), first.client);
    EXPECT_EQ(server.received(1), second.client);
    // Finished: the file, its record and REPLIES are gone.
    EXPECT_EQ(listdir(p.soup), std::vector<std::string>{});
}

// Killed once the second message was accepted and the third begun: the
// next run sends only the third.
TEST(SmtpPost, KilledMidPostSendsNothingTwice) {
    Packet p;
    p.put("00000001.MSG", binary(m1) + binary(m2) + binary(m3));
    p.put("REPLIES", "00000001\tmail\tb\n");
    std::string pidfile = p.dir / "pid";
    ScriptedServer server(25);
    Dialogue first(server.session());
    first.message("a@x.org", {"r@y.org"}, crlf(m1) + ".\r\n");
    first.envelope("b@x.org", {"r@y.org"});
    first.text(crlf(m2) + ".\r\n");
    first.s.expect("MAIL FROM:<c@x.org>\r\n").call([&] { kill(std::stoi(readfile(pidfile)), SIGKILL); }).drain();
    Dialogue second(server.session());
    second.message("c@x.org", {"r@y.org"}, crlf(m3) + ".\r\n");
    second.quit();
    server.start();
    RunResult killed = runprogram({"/bin/sh", "-c", "echo $$ > \"$0\"; exec \"$1\" email post \"/config=$2\"",
                                   pidfile, vorpapath(), p.cfg},
                                  p.dir.path(), 30);
    EXPECT_EQ(killed.status, -1);
    // The log holds every line said before the kill.
    EXPECT_NE(p.reports().find("Mailing from b@x.org\nMailing to r@y.org\nMailing from c@x.org\n"), std::string::npos)
        << p.reports();
    RunResult again = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(1), second.client);
    EXPECT_EQ(listdir(p.soup), std::vector<std::string>{}) << again.out;
}

// Lines of finished files leave REPLIES; a REPLIES that the reader changed
// while we ran is left alone, and the record of what went out stays so
// that the next run still knows.
TEST(SmtpPost, RepliesConvergesUnlessTheReaderChangedIt) {
    Packet p;
    p.put("00000001.MSG", binary(m1));
    p.put("00000002.MSG", binary(m2));
    p.put("REPLIES", "00000001\tmail\tb\nNOFILE\tmail\tb\n");
    ScriptedServer server(25);
    Dialogue d(server.session());
    d.message("a@x.org", {"r@y.org"}, crlf(m1) + ".\r\n");
    d.s.call([&] { writefile(p.soup + "/REPLIES", "00000001\tmail\tb\nNOFILE\tmail\tb\n00000002\tmail\tb\n"); });
    d.quit();
    Dialogue again(server.session());
    again.message("b@x.org", {"r@y.org"}, crlf(m2) + ".\r\n");
    again.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_EQ(p.get("REPLIES"), "00000001\tmail\tb\nNOFILE\tmail\tb\n00000002\tmail\tb\n");
    EXPECT_TRUE(p.has("00000001.SNT"));
    r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    // The missing file is reported each run and keeps its line.
    EXPECT_NE(r.out.find("! Cannot open message file " + p.soup + "/NOFILE.MSG\n"), std::string::npos);
    EXPECT_EQ(p.get("REPLIES"), "NOFILE\tmail\tb\n");
    EXPECT_EQ(listdir(p.soup), std::vector<std::string>{"REPLIES"});
}

// A record vouches for the bytes of each message it names, wherever they
// stand now: after the reader corrected the one message that failed, in
// place or in a file written anew where it grew, only that one goes, and
// the run says so. A record whose file and line are gone is removed.
TEST(SmtpPost, AnEditedFileSendsOnlyWhatWasNotSent) {
    for (bool inplace : {true, false}) {
        SCOPED_TRACE(inplace);
        const std::string fixed =
            inplace ? "From: b@x.org\nTo: r@y.org\n\nTWO\n" : "From: b@x.org\nTo: q@y.org\n\nlonger\n";
        Packet p;
        p.put("00000001.MSG", binary(m1) + binary(m2) + binary(m3));
        p.put("REPLIES", "00000001\tmail\tb\n");
        p.put("00000009.SNT", "file 1 2 3 4 5\n0 10 ab\n");
        ScriptedServer server(25);
        Dialogue first(server.session());
        first.message("a@x.org", {"r@y.org"}, crlf(m1) + ".\r\n");
        first.envelope("b@x.org", {"r@y.org"});
        first.text(crlf(m2) + ".\r\n", "451 try later\r\n");
        first.message("c@x.org", {"r@y.org"}, crlf(m3) + ".\r\n");
        first.quit();
        Dialogue second(server.session());
        second.message("b@x.org", {inplace ? "r@y.org" : "q@y.org"}, crlf(fixed) + ".\r\n");
        second.quit();
        server.start();
        p.run();
        ASSERT_TRUE(p.has("00000001.SNT"));
        const std::string msg = p.soup + "/00000001.MSG";
        if (inplace) {
            int fd = open(msg.c_str(), O_WRONLY);
            ASSERT_GE(pwrite(fd, fixed.data(), fixed.size(), static_cast<off_t>(4 + m1.size() + 4)), 0);
            close(fd);
        } else {
            unlink(msg.c_str());
            p.put("00000001.MSG", binary(m1) + binary(fixed) + binary(m3));
        }
        RunResult r = p.run();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(server.received(1), second.client);
        EXPECT_NE(r.out.find("\nPosting mail to 127.0.0.1...\n! 00000001.MSG changed since it was partly sent: 1 of "
                             "3 messages goes again\nMailing from b@x.org\nMailing to " +
                             std::string(inplace ? "r" : "q") + "@y.org\n\nSent 1 mail.\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(listdir(p.soup), std::vector<std::string>{});
    }
}

// A server that stops answering costs one wait: the connection is closed
// without a QUIT that would wait as long again.
TEST(SmtpPost, ATimeOutEndsThePhaseAfterOneWait) {
    Packet p;
    p.put("00000001.MSG", binary(m1));
    p.put("REPLIES", "00000001\tmail\tb\n");
    ScriptedServer server(25, 40000);
    server.session().send("220 ready\r\n").expect("EHLO myhost\r\n").silence(35000);
    server.start();
    auto start = std::chrono::steady_clock::now();
    RunResult r = p.run();
    auto took = std::chrono::steady_clock::now() - start;
    server.finish();
    EXPECT_EQ(server.received(0), "EHLO myhost\r\n");
    EXPECT_GE(took, std::chrono::seconds(19));
    EXPECT_LT(took, std::chrono::seconds(30));
    EXPECT_NE(p.reports().find("(skipping email post)\n"), std::string::npos) << r.out;
}

// A server that takes only so many recipients per transaction answers 452
// to the rest: they get the same text in further transactions, each begun
// once the last text was accepted, until every one is taken or refused for
// good; a transaction that gets none keeps the message.
TEST(SmtpPost, RecipientsBeyondWhatTheServerTakesAtOnce) {
    struct Case {
        bool pipelined;
        std::string refused;  // answered 550
        // Recipients taken in each transaction, 452 for the rest; past the
        // end, 550 for all.
        std::vector<size_t> takes;
        bool kept;
    };
    std::vector<std::string> to;
    std::string text = "From: m@x.org\nTo: u0@y.org";
    for (int i = 0; i < 600; i++) to.push_back("u" + std::to_string(i) + "@y.org");
    for (size_t i = 1; i < to.size(); i++) text += ", " + to[i];
    text += "\n\nbody\n";
    const std::vector<size_t> hundreds(6, 100);
    for (const Case& c : std::vector<Case>{{false, "", hundreds, false},
                                           {true, "u250@y.org", hundreds, false},
                                           {false, "u250@y.org", {100}, false},
                                           {false, "", {100, 0}, true},
                                           {true, "", {100, 0}, true}}) {
        SCOPED_TRACE(std::to_string(c.pipelined) + c.refused + std::to_string(c.takes.size()));
        Packet p(c.pipelined ? "HOSTNAME myhost\nSMTPHOST 127.0.0.1\nSMTPUSER joe\nSMTPPASS pw\n"
                             : "HOSTNAME myhost\nSMTPHOST 127.0.0.1\n");
        p.put("00000001.MSG", binary(text));
        p.put("REPLIES", "00000001\tmail\tb\n");
        ScriptedServer server(25);
        Script& s = server.session();
        std::string client = c.pipelined ? "EHLO myhost\r\nAUTH PLAIN AGpvZQBwdw==\r\n" : "EHLO myhost\r\n";
        s.send("220 ready\r\n");
        if (c.pipelined) {
            s.expect("EHLO myhost\r\n").send("250-hi\r\n250-PIPELINING\r\n250 AUTH PLAIN\r\n");
            s.expect("AUTH PLAIN AGpvZQBwdw==\r\n").send("235 ok\r\n");
        } else {
            s.expect(client).send("250 hello\r\n");
        }
        std::vector<std::string> left = to;
        size_t transactions = 0, taken = 1;
        for (; !left.empty() && taken > 0; transactions++) {
            std::vector<std::pair<std::string, std::string>> asked = {{"MAIL FROM:<m@x.org>\r\n", "250 ok\r\n"}};
            std::vector<std::string> deferred;
            taken = 0;
            for (const std::string& r : left) {
                std::string reply = "250 ok\r\n";
                if (r == c.refused || transactions >= c.takes.size()) {
                    reply = "550 no such user\r\n";
                } else if (taken == c.takes[transactions]) {
                    reply = "452 4.5.3 too many recipients\r\n";
                    deferred.push_back(r);
                } else {
                    taken++;
                }
                asked.emplace_back("RCPT TO:<" + r + ">\r\n", reply);
            }
            // DATA goes out in the group even when no recipient is taken.
            if (c.pipelined || taken > 0) asked.emplace_back("DATA\r\n", taken > 0 ? "354 go\r\n" : "554 none\r\n");
            std::string replies;
            for (const auto& a : asked) {
                s.expect(a.first);
                if (!c.pipelined) s.send(a.second);
                replies += a.second;
                client += a.first;
            }
            if (c.pipelined) s.send(replies);
            if (taken > 0) {
                s.expectdata().send("250 queued\r\n");
                client += crlf(text) + ".\r\n";
            } else {
                s.expect("RSET\r\n").send("250 ok\r\n");
                client += "RSET\r\n";
            }
            left = deferred;
        }
        s.expect("QUIT\r\n").send("221 bye\r\n");
        server.start();
        RunResult r = p.run();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(server.received(0), client + "QUIT\r\n");
        EXPECT_EQ(r.status, c.kept ? 2 : 0);
        std::string reports = p.reports();
        size_t froms = 0;
        for (size_t at = 0; (at = reports.find("Mailing from m@x.org\n", at)) != std::string::npos; at++) froms++;
        EXPECT_EQ(froms, transactions);
        EXPECT_EQ(reports.find("Mailing to u250@y.org\nSMTP host returned error: 550 no such user\n"
                               "! Recipient refused by SMTP server\n") != std::string::npos,
                  !c.refused.empty())
            << reports;
        const std::string end = "Mailing to u599@y.org\nSMTP host returned error: 452 4.5.3 too many recipients\n"
                                "! 00000001.MSG to u0@y.org: SMTP server accepted no recipient - message kept\n";
        EXPECT_EQ(reports.find("error: 452") == std::string::npos, !c.kept) << reports;
        if (c.kept) {
            EXPECT_EQ(reports.substr(reports.size() - end.size()), end);
        }
        // Deferred: its first refusal recorded, for KEEPTRYING.
        const std::vector<std::string> kept = {"00000001.MSG", "00000001.SNT", "REPLIES"};
        EXPECT_EQ(listdir(p.soup), c.kept ? kept : std::vector<std::string>{});
    }
}

// A length field cut short at the end of a binary file is a message cut
// short; a record that cannot be written says why.
TEST(SmtpPost, FaultsAreSaidWithTheirCause) {
    Packet p;
    p.put("00000001.MSG", binary(m1) + std::string("\0\7", 2));
    p.put("00000002.MSG", binary(m2));
    mkdir((p.soup + "/00000002.SNT").c_str(), 0700);
    mkdir((p.soup + "/00000002.SNT/x").c_str(), 0700);
    p.put("REPLIES", "00000001\tmail\tb\n00000002\tmail\tb\n");
    ScriptedServer server(25);
    Dialogue d(server.session());
    d.message("a@x.org", {"r@y.org"}, crlf(m1) + ".\r\n");
    d.message("b@x.org", {"r@y.org"}, crlf(m2) + ".\r\n");
    d.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), d.client);
    EXPECT_EQ(r.status, 2);
    const std::string dir = p.soup + "/";
    EXPECT_EQ(p.reports(), "Posting mail to 127.0.0.1...\nMailing from a@x.org\nMailing to r@y.org\n"
                           "! Message in " + dir + "00000001.MSG ends before its length - not sent\n! Record " + dir +
                               "00000002.SNT does not match " + dir + "00000002.MSG - sending the file whole\n"
                               "Mailing from b@x.org\nMailing to r@y.org\n! Cannot record what was sent in " + dir +
                               "00000002.SNT: Is a directory\n(skipping email post)\n");
    EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"00000001.MSG", "00000001.SNT", "00000002.MSG",
                                                         "00000002.SNT", "REPLIES"}));
}

namespace {

const std::string LOGIN = "HOSTNAME myhost\nSMTPHOST 127.0.0.1\nSMTPUSER joe\n";
const std::string BOTH = "250-PIPELINING\r\n250-CHUNKING\r\n";

// Greeting, EHLO answered with keywords, AUTH; the client's bytes.
std::string loggedin(Script& s, const std::string& keywords) {
    s.send("220 ready\r\n").expect("EHLO myhost\r\n").send("250-hi\r\n" + keywords + "250 AUTH PLAIN\r\n");
    s.expect("AUTH PLAIN AGpvZQBwdw==\r\n").send("235 ok\r\n");
    return "EHLO myhost\r\nAUTH PLAIN AGpvZQBwdw==\r\n";
}

// One transaction with BDAT, read by the server line by line; the client's
// bytes.
std::string bdat(Script& s, const std::string& from, const std::vector<std::string>& to, const std::string& text) {
    std::string client = "RSET\r\nMAIL FROM:<" + from + ">\r\n";
    for (const std::string& r : to) client += "RCPT TO:<" + r + ">\r\n";
    client += "BDAT " + std::to_string(text.size()) + " LAST\r\n" + text;
    for (size_t at = 0; at < client.size(); at = client.find('\n', at) + 1) s.expectany();
    return client;
}

}  // namespace

// With CHUNKING and PIPELINING the whole file goes in one flight, each text
// plain right behind its BDAT; answers, reports and verdicts stay those of
// each message. A transaction without recipients is reset before the next.
// After a refused sender the post goes on.
TEST(SmtpPost, ChunkingSendsEveryMessageBeforeAnyAnswer) {
    Packet p(LOGIN + "SMTPPASS pw\n");
    const std::vector<std::string> texts = {"From: a@x.org\nBcc: hid@z.org\nTo: bad@y.org, good@y.org\n\n.dot\nbody\n",
                                            "From: b@x.org\nTo: r@y.org\n\nrefused\n",
                                            "From: c@x.org\nTo: gone@y.org\n\nnobody\n",
                                            "From: d@x.org\nTo: r@y.org\n\n.\nlast", "From: n@x.org\n\nno one\n",
                                            "From: e@x.org\nTo: r@y.org\n\nlater\n", "From: f@x.org\nTo: r@y.org\n\nf\n"};
    std::string file;
    for (const std::string& t : texts) file += binary(t);
    p.put("00000001.MSG", file);
    p.put("REPLIES", "00000001\tmail\tb\n");
    ScriptedServer server(25);
    Script& s = server.session();
    std::string client = loggedin(s, BOTH);
    client += bdat(s, "a@x.org", {"hid@z.org", "bad@y.org", "good@y.org"},
                   "From: a@x.org\r\nTo: bad@y.org, good@y.org\r\n\r\n.dot\r\nbody\r\n");
    client += bdat(s, "b@x.org", {"r@y.org"}, crlf(texts[1]));
    client += bdat(s, "c@x.org", {"gone@y.org"}, crlf(texts[2]));
    client += bdat(s, "d@x.org", {"r@y.org"}, crlf(texts[3]) + "\r\n");
    // A message reported on without being sent waits for the answers before it.
    s.send("250 reset\r\n250 ok\r\n250 ok\r\n550 no such user\r\n250 ok\r\n250 chunk ok\r\n"
           "250 reset\r\n250 ok\r\n250 ok\r\n554 5.6.0 refused\r\n"
           "250 reset\r\n250 ok\r\n550 no such user\r\n503 no valid recipients\r\n"
           "250 reset\r\n250 ok\r\n250 ok\r\n250 queued\r\n");
    client += bdat(s, "e@x.org", {"r@y.org"}, crlf(texts[5]));
    client += bdat(s, "f@x.org", {"r@y.org"}, crlf(texts[6]));
    s.send("250 reset\r\n451 try later\r\n503 sender first\r\n503 sender first\r\n"
           "250 reset\r\n250 ok\r\n250 ok\r\n250 queued\r\n");
    s.expect("QUIT\r\n").send("221 bye\r\n");
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), client + "QUIT\r\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(p.reports(), "Posting mail to 127.0.0.1...\nMailing from a@x.org\nMailing to hid@z.org\n"
                           "Mailing to bad@y.org\nSMTP host returned error: 550 no such user\n"
                           "! Recipient refused by SMTP server\nMailing to good@y.org\n"
                           "Mailing from b@x.org\nMailing to r@y.org\nSMTP host returned error: 554 5.6.0 refused\n"
                           "! 00000001.MSG to r@y.org: SMTP server did not accept message\n! Letter moved to " + p.soup +
                           "/refused/00000001-1.eml, and a notice into area Vorpa\nMailing from c@x.org\n"
                           "Mailing to gone@y.org\nSMTP host returned error: 550 no such user\n"
                           "! Recipient refused by SMTP server\n"
                           "! 00000001.MSG to gone@y.org: SMTP server accepted no recipient - message kept\n"
                           "! Letter moved to " + p.soup + "/refused/00000001-2.eml, and a notice into area Vorpa\n"
                           "Mailing from d@x.org\n"
                           "Mailing to r@y.org\n! 00000001.MSG: No To address specified in message - skipping\n"
                           "Mailing from e@x.org\n"
                           "SMTP host returned error: 451 try later\n"
                           "! 00000001.MSG to r@y.org: Posting to SMTP server failed\nMailing from f@x.org\n"
                           "Mailing to r@y.org\n");
    // Recorded: "start length digest" of the first, fourth and last
    // message; the second and third given up, the fifth deferred.
    std::string record = p.get("00000001.SNT");
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 7) << record;
    size_t start = 4;
    for (size_t i = 0; i < texts.size(); start += texts[i++].size() + 4) {
        bool sent = i == 0 || i == 3 || i == 6;
        EXPECT_EQ(record.find("\n" + std::to_string(start) + " " + std::to_string(texts[i].size()) + " ") !=
                      std::string::npos, sent) << i;
    }
}

// A message is read from its file once as it is posted, and streamed once
// to the server: the size after BDAT, the envelope and the record's digest
// come from that reading. Before, the look-ahead reads its header.
TEST(SmtpPost, AMessageIsReadOnce) {
    if (!fileexists("/usr/bin/strace")) GTEST_SKIP() << "needs /usr/bin/strace";
    Packet p(LOGIN + "SMTPPASS pw\n");
    std::string text = "From: a@x.org\nTo: r@y.org\n\n";
    for (int i = 0; i < 32; i++) text += std::string(32767, 'x') + "\n";
    p.put("00000001.MSG", binary(text));
    p.put("REPLIES", "00000001\tmail\tb\n");
    ScriptedServer server(25);
    Script& s = server.session();
    std::string client = loggedin(s, BOTH);
    client += bdat(s, "a@x.org", {"r@y.org"}, crlf(text));
    s.send("250 reset\r\n250 ok\r\n250 ok\r\n250 queued\r\n").expect("QUIT\r\n").send("221 bye\r\n");
    server.start();
    const std::string trace = p.dir / "trace";
    // The main thread reads the packet. LeakSanitizer, in a sanitizer
    // build, refuses to run under ptrace.
    RunResult r = runprogram({"/bin/sh", "-c",
                              "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 exec /usr/bin/strace -y "
                              "-s 0 -e trace=read,pread64 -o " + trace + " \"$0\" \"$@\"",
                              vorpapath(), "email", "post", "/config=" + p.cfg},
                             p.dir.path(), 60);
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(server.received(0), client + "QUIT\r\n");
    EXPECT_FALSE(p.has("00000001.MSG"));
    const std::string calls = readfile(trace);
    long read = 0;
    for (size_t at = 0; (at = calls.find("00000001.MSG>, ", at)) != std::string::npos; at++) {
        size_t equals = calls.find(") = ", at);
        if (equals < calls.find('\n', at)) read += std::atol(calls.c_str() + equals + 4);
    }
    const long size = static_cast<long>(text.size());
    EXPECT_GT(read, 2 * size) << calls.substr(0, 4000);
    EXPECT_LT(read, 2 * size + 256 * 1024) << calls.substr(0, 4000);
}

// A connection lost after the answers to two of three messages: the next
// run sends only the third.
TEST(SmtpPost, ChunkingRecordsOnlyWhatWasAnswered) {
    Packet p(LOGIN + "SMTPPASS pw\n");
    p.put("00000001.MSG", binary(m1) + binary(m2) + binary(m3));
    p.put("REPLIES", "00000001\tmail\tb\n");
    ScriptedServer server(25);
    Script& first = server.session();
    loggedin(first, BOTH);
    bdat(first, "a@x.org", {"r@y.org"}, crlf(m1));
    bdat(first, "b@x.org", {"r@y.org"}, crlf(m2));
    bdat(first, "c@x.org", {"r@y.org"}, crlf(m3));
    first.send("250 reset\r\n250 ok\r\n250 ok\r\n250 queued\r\n250 reset\r\n250 ok\r\n250 ok\r\n250 queued\r\n").drop();
    Script& second = server.session();
    std::string client = loggedin(second, BOTH);
    client += bdat(second, "c@x.org", {"r@y.org"}, crlf(m3));
    second.send("250 reset\r\n250 ok\r\n250 ok\r\n250 queued\r\n").expect("QUIT\r\n").send("221 bye\r\n");
    server.start();
    RunResult r = p.run();
    EXPECT_EQ(r.status, 75);
    EXPECT_NE(p.reports().find("Mailing from b@x.org\nMailing to r@y.org\n"), std::string::npos) << p.reports();
    r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(1), client + "QUIT\r\n");
    EXPECT_EQ(listdir(p.soup), std::vector<std::string>{});
}

// A server that lists CHUNKING but answers BDAT as unknown gets that
// message and the rest again on a new connection, with DATA; the password
// command runs once. Every answer is read before a file's fate: the last
// message refused keeps its file, and the next file's message is recorded
// in its own file only. CHUNKING without PIPELINING: DATA, step by step.
TEST(SmtpPost, BdatUnknownOrNotPipelinedSendsWithData) {
    Packet p(LOGIN + "SMTPPASSCMD echo pw; echo ran >> runs\n");
    p.put("00000001.MSG", binary(m1) + binary(m2));
    p.put("00000002.MSG", binary(m3));
    p.put("REPLIES", "00000001\tmail\tb\n00000002\tmail\tb\n");
    ScriptedServer server(25);
    Script& first = server.session();
    loggedin(first, BOTH);
    bdat(first, "a@x.org", {"r@y.org"}, crlf(m1));
    bdat(first, "b@x.org", {"r@y.org"}, crlf(m2));
    first.send("250 reset\r\n250 ok\r\n250 ok\r\n502 5.5.1 unknown command\r\n").drain();
    Script& second = server.session();
    std::string client = loggedin(second, BOTH);
    Dialogue d(second, "");
    d.message("a@x.org", {"r@y.org"}, crlf(m1) + ".\r\n");
    d.envelope("b@x.org", {"r@y.org"});
    d.text(crlf(m2) + ".\r\n", "451 4.7.1 try later\r\n");
    d.message("c@x.org", {"r@y.org"}, crlf(m3) + ".\r\n");
    d.quit();
    Script& again = server.session();
    std::string resent = loggedin(again, BOTH);
    resent += bdat(again, "b@x.org", {"r@y.org"}, crlf(m2));
    again.send("250 reset\r\n250 ok\r\n250 ok\r\n250 queued\r\n").expect("QUIT\r\n").send("221 bye\r\n");
    Packet q(LOGIN + "SMTPPASS pw\n");
    q.put("00000001.MSG", binary(m1));
    q.put("REPLIES", "00000001\tmail\tb\n");
    Script& third = server.session();
    std::string alone = loggedin(third, "250-CHUNKING\r\n");
    Dialogue e(third, "");
    e.message("a@x.org", {"r@y.org"}, crlf(m1) + ".\r\n");
    e.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("SMTP host does not know BDAT: posting again with DATA\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SMTP host returned error: 451 4.7.1 try later\n"
                         "! 00000001.MSG to r@y.org: SMTP server did not accept message\n"
                         "Mailing from c@x.org\n"), std::string::npos) << r.out;
    EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"00000001.MSG", "00000001.SNT", "REPLIES"}));
    EXPECT_EQ(p.get("REPLIES"), "00000001\tmail\tb\n");
    r = p.run();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readfile(p.dir / "runs"), "ran\nran\n");
    EXPECT_EQ(listdir(p.soup), std::vector<std::string>{});
    q.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(1), client + d.client);
    EXPECT_EQ(server.received(2), resent + "QUIT\r\n");
    EXPECT_EQ(server.received(3), alone + e.client);
}

// BDAT found unknown while ten messages are in flight: the ten go again
// with DATA, and so does the eleventh, whose room waited for that answer.
TEST(SmtpPost, BdatUnknownWithTheWindowFull) {
    Packet p(LOGIN + "SMTPPASS pw\n");
    auto text = [](int i) { return "From: m" + std::to_string(i) + "@x.org\nTo: r@y.org\n\nbody\n"; };
    std::string file;
    for (int i = 0; i < 11; i++) file += binary(text(i));
    p.put("00000001.MSG", file);
    p.put("REPLIES", "00000001\tmail\tb\n");
    ScriptedServer server(25);
    Script& first = server.session();
    loggedin(first, BOTH);
    for (int i = 0; i < 10; i++) bdat(first, "m" + std::to_string(i) + "@x.org", {"r@y.org"}, crlf(text(i)));
    first.send("250 reset\r\n250 ok\r\n250 ok\r\n502 5.5.1 unknown command\r\n").drain();
    Script& second = server.session();
    std::string client = loggedin(second, BOTH);
    Dialogue d(second, "");
    for (int i = 0; i < 11; i++) d.message("m" + std::to_string(i) + "@x.org", {"r@y.org"}, crlf(text(i)) + ".\r\n");
    d.quit();
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(server.received(1), client + d.client);
    EXPECT_EQ(listdir(p.soup), std::vector<std::string>{});
}

// Each mail leaves by the account whose FROM matches its sender, a
// "+detail" and the case aside; no match leaves by the default account,
// and a sender no account with a server sends as is kept.
TEST(SmtpPost, MailLeavesByTheAccountOfItsFrom) {
    Packet p;
    writefile(p.cfg, readfile(p.cfg) +
                         "ACCOUNT work\nFROM joe@work.example *@Staff.Work.Example\nSMTPHOST 127.0.0.1:2525\n"
                         "ACCOUNT club\nFROM *@club.org\nPOPHOST 127.0.0.1\n");
    auto mail = [](const std::string& from, int n) {
        std::string text = "From: " + from + "\nTo: r@y.org\nSubject: " + std::to_string(n) + "\n\nhi\n";
        return be32(static_cast<uint32_t>(text.size())) + text;
    };
    auto wire = [](const std::string& from, int n) {
        return "From: " + from + "\r\nTo: r@y.org\r\nSubject: " + std::to_string(n) + "\r\n\r\nhi\r\n.\r\n";
    };
    p.put("A.MSG", mail("Joe+lists@work.example", 1) + mail("me@home.org", 2) + mail("me@club.org", 3));
    p.put("B.MSG", mail("boss@staff.work.example", 4));
    p.put("REPLIES", "A\tmail\tb\nB\tmail\tb\n");
    {
        ScriptedServer home(25), work(2525);
        Dialogue h(home.session());
        h.message("me@home.org", {"r@y.org"}, wire("me@home.org", 2));
        h.quit();
        Dialogue w(work.session());
        w.message("Joe+lists@work.example", {"r@y.org"}, wire("Joe+lists@work.example", 1));
        w.message("boss@staff.work.example", {"r@y.org"}, wire("boss@staff.work.example", 4));
        w.quit();
        home.start();
        work.start();
        RunResult r = p.run();
        EXPECT_TRUE(home.finish()) << home.errortext();
        EXPECT_TRUE(work.finish()) << work.errortext();
        EXPECT_EQ(home.received(0), h.client);
        EXPECT_EQ(work.received(0), w.client);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find("Posting mail for work to 127.0.0.1:2525...\nMailing from Joe+lists@work.example\n"
                             "Mailing to r@y.org\nPosting mail to 127.0.0.1...\nMailing from me@home.org\n"
                             "Mailing to r@y.org\n! A.MSG \"3\": No account sends as me@club.org - message kept\n"
                             "Mailing from boss@staff.work.example\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(p.get("REPLIES"), "A\tmail\tb\n");
        EXPECT_FALSE(p.has("B.MSG"));
    }
    // With no server of its own the default account sends nothing; what
    // was sent is not sent again, and no account has work.
    writefile(p.cfg, "HOSTNAME myhost\nSOUPDIR " + p.soup + "\nACCOUNT work\nFROM joe@work.example\n"
                     "SMTPHOST 127.0.0.1:2525\n");
    p.put("C.MSG", mail("me@home.org", 5));
    p.put("REPLIES", "A\tmail\tb\nC\tmail\tb\n");
    RunResult r = p.run();
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("! A.MSG \"3\": No account sends as me@club.org - message kept\n"
                         "! C.MSG \"5\": No account sends as me@home.org - message kept\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Posting"), std::string::npos) << r.out;
    EXPECT_EQ(p.get("REPLIES"), "A\tmail\tb\nC\tmail\tb\n");

    // An account whose server cannot be reached keeps its mail; the others
    // go on, and only the network failed.
    Packet q;
    writefile(q.cfg, readfile(q.cfg) + "ACCOUNT work\nFROM joe@work.example\nSMTPHOST 127.0.0.1:2525\n");
    q.put("X.MSG", mail("joe@work.example", 1));
    q.put("Y.MSG", mail("me@home.org", 2));
    q.put("REPLIES", "X\tmail\tb\nY\tmail\tb\n");
    ScriptedServer home(25);
    Dialogue h(home.session());
    h.message("me@home.org", {"r@y.org"}, wire("me@home.org", 2));
    h.quit();
    home.start();
    r = q.run();
    EXPECT_TRUE(home.finish()) << home.errortext();
    EXPECT_EQ(home.received(0), h.client);
    EXPECT_EQ(r.status, 75) << r.out;
    EXPECT_NE(r.out.find("Posting mail for work to 127.0.0.1:2525...\nCannot connect to host 127.0.0.1 at port 2525"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("(skipping email post)\nPosting mail to 127.0.0.1...\n"), std::string::npos) << r.out;
    EXPECT_EQ(q.get("REPLIES"), "X\tmail\tb\n");
    EXPECT_FALSE(q.has("Y.MSG"));
}

// Twenty files of one mail each go in one flight as one file of twenty
// would: the next file's mail goes while this one's answer is awaited, and
// each file's fate follows its own answer. QUIT goes with the last one.
TEST(SmtpPost, ChunkingWindowSpansFiles) {
    Packet p(LOGIN + "SMTPPASS pw\n");
    std::string replies;
    auto text = [](int i) { return "From: m" + std::to_string(i) + "@x.org\nTo: r@y.org\n\nbody\n"; };
    for (int i = 10; i < 30; i++) {
        p.put("F" + std::to_string(i) + ".MSG", binary(text(i)));
        replies += "F" + std::to_string(i) + "\tmail\tb\n";
    }
    p.put("REPLIES", replies);
    ScriptedServer server(25);
    Script& s = server.session();
    std::string client = loggedin(s, BOTH), answers;
    // Ten in flight: the answers to the first ten once all are in; QUIT
    // comes right behind the twentieth, before the last ten are answered.
    auto answer = [](int i) {
        return "250 reset\r\n250 ok\r\n250 ok\r\n" + std::string(i == 16 ? "554 refused\r\n" : "250 queued\r\n");
    };
    for (int i = 10; i < 30; i++) {
        client += bdat(s, "m" + std::to_string(i) + "@x.org", {"r@y.org"}, crlf(text(i)));
        if (i < 20) answers += answer(i);
        if (i == 19) s.send(answers);
    }
    answers.clear();
    for (int i = 20; i < 30; i++) answers += answer(i);
    s.expect("QUIT\r\n").send(answers + "221 bye\r\n");
    server.start();
    RunResult r = p.run();
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(server.received(0), client + "QUIT\r\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(p.reports().find("SMTP host returned error: 554 refused\n! F16.MSG to r@y.org: SMTP server did not accept "
                               "message\n"
                               "! Letter moved to " + p.soup + "/refused/F16-1.eml"),
              std::string::npos)
        << p.reports();
    EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"00000000.MSG", "AREAS", "refused"}));
}

// Each file's fate follows the answers to its own messages: the first
// file's mail refused at MAIL, at its one RCPT or at BDAT, the second's
// accepted in the same flight. The first is given up or stays with its
// line, the second goes.
TEST(SmtpPost, ARefusalInTheWindowKeepsOnlyItsOwnFile) {
    // The answers to the first mail, and whether they refuse it for good.
    const std::vector<std::pair<std::string, bool>> refusals = {
        {"250 reset\r\n550 sender refused\r\n503 sender first\r\n503 sender first\r\n", true},
        {"250 reset\r\n451 try later\r\n503 sender first\r\n503 sender first\r\n", false},
        {"250 reset\r\n250 ok\r\n550 no such user\r\n503 no valid recipients\r\n", true},
        {"250 reset\r\n250 ok\r\n450 mailbox busy\r\n503 no valid recipients\r\n", false},
        {"250 reset\r\n250 ok\r\n250 ok\r\n554 refused\r\n", true},
        {"250 reset\r\n250 ok\r\n250 ok\r\n451 later\r\n", false}};
    for (const auto& [refusal, forgood] : refusals) {
        SCOPED_TRACE(refusal);
        Packet p(LOGIN + "SMTPPASS pw\n");
        p.put("F1.MSG", binary(m1));
        p.put("F2.MSG", binary(m2));
        p.put("REPLIES", "F1\tmail\tb\nF2\tmail\tb\n");
        ScriptedServer server(25);
        Script& s = server.session();
        loggedin(s, BOTH);
        bdat(s, "a@x.org", {"r@y.org"}, crlf(m1));
        bdat(s, "b@x.org", {"r@y.org"}, crlf(m2));
        s.expect("QUIT\r\n").send(refusal + "250 reset\r\n250 ok\r\n250 ok\r\n250 queued\r\n221 bye\r\n");
        server.start();
        RunResult r = p.run();
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_EQ(r.status, 2) << r.out;
        // Refused for good: moved out with a notice; for now: kept.
        if (forgood) {
            EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"00000000.MSG", "AREAS", "refused"})) << r.out;
            EXPECT_EQ(readfile(p.soup + "/refused/F1-1.eml"), m1);
        } else {
            EXPECT_EQ(listdir(p.soup), (std::vector<std::string>{"F1.MSG", "F1.SNT", "REPLIES"})) << r.out;
            EXPECT_EQ(p.get("REPLIES"), "F1\tmail\tb\n");
        }
    }
}

// One file routed to two accounts: the one whose connection drops with
// its answers outstanding keeps the file, though the other's mail of it
// went; the next run sends only what was not accepted.
TEST(SmtpPost, ARoutedFileStaysWhenOneAccountDrops) {
    Packet p;
    writefile(p.cfg, readfile(p.cfg) + "ACCOUNT ann\nFROM a@x.org\nSMTPHOST 127.0.0.1:2525\nSMTPUSER joe\n"
                                       "SMTPPASS pw\n");
    p.put("A.MSG", binary(m1) + binary(m2));
    p.put("REPLIES", "A\tmail\tb\n");
    ScriptedServer home(25), ann(2525);
    Script& cut = ann.session();
    loggedin(cut, BOTH);
    bdat(cut, "a@x.org", {"r@y.org"}, crlf(m1));
    cut.drop();
    Dialogue h(home.session());
    h.message("b@x.org", {"r@y.org"}, crlf(m2) + ".\r\n");
    h.quit();
    Script& again = ann.session();
    std::string client = loggedin(again, BOTH);
    client += bdat(again, "a@x.org", {"r@y.org"}, crlf(m1)) + "QUIT\r\n";
    again.expect("QUIT\r\n").send("250 reset\r\n250 ok\r\n250 ok\r\n250 queued\r\n221 bye\r\n");
    home.start();
    ann.start();
    RunResult r = p.run();
    EXPECT_EQ(r.status, 75) << r.out;
    EXPECT_EQ(p.get("REPLIES"), "A\tmail\tb\n");
    EXPECT_TRUE(p.has("A.MSG"));
    r = p.run();
    EXPECT_TRUE(home.finish()) << home.errortext();
    EXPECT_TRUE(ann.finish()) << ann.errortext();
    EXPECT_EQ(home.received(0), h.client);
    EXPECT_EQ(ann.received(1), client);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(listdir(p.soup), std::vector<std::string>{});
}
