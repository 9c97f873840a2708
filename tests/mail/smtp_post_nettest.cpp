// Black-box runs of "vorpa email post" (and "all") against a scripted SMTP
// server on 127.0.0.1:25, in this test's own network namespace: the bytes
// on the wire, the reports, which message files stay and whether REPLIES
// is removed.
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

using namespace std::string_literals;

namespace {

const std::string G = "\x01\x01\x01\x01";

std::string be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A packet directory with its configuration and log.
struct Packet {
    TempDir dir;
    std::string soup = dir / "soup";
    std::string log = dir / "vorpa.log";
    std::string cfg = dir / "vorpa.cfg";

    explicit Packet(const std::string& settings = "HOSTNAME myhost\nSMTPHOST 127.0.0.1\n") {
        mkdir(soup.c_str(), 0700);
        writefile(cfg, settings + "SOUPDIR " + soup + "\nLOGFILE " + log + "\n");
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
        s.send(greeting);
        ask("HELO myhost\r\n", hello);
    }
    void ask(const std::string& command, const std::string& reply) {
        s.expect(command).send(reply);
        client += command;
    }
    void envelope(const std::string& from, const std::vector<std::string>& to) {
        ask("MAIL FROM:" + from + "\r\n", "250 sender ok\r\n");
        for (const std::string& r : to) ask("RCPT TO:" + r + "\r\n", "250 recipient ok\r\n");
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
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(server.received(0), d.client);

    std::string reports = p.reports();
    EXPECT_EQ(reports.find("Posting mail to 127.0.0.1...\n+ Connecting to SMTP host 127.0.0.1...\n"
                           "+ Connected, sending HELO...\nMailing from s1@x.org\nMailing to r1@y.org\n"),
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
    EXPECT_EQ(r.status, 0) << r.err;
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
        "cc: Pat O'Brien <ob@y.org>, never@not.org\n" +
        longto +
        "From: Second <second@x.org>, Third <third@x.org>\n"
        " fromcont@not.org\n"
        "BCC: blind@y.org\n"
        "\tblind2@y.org\n"
        "\n"
        "To: body@not.org\n";
    p.put("00000001.MSG", be32(static_cast<uint32_t>(header.size())) + header);
    // More than 500 recipients: the first 500 are used.
    std::string many = "From: m@x.org\nTo: ";
    for (int i = 0; i < 600; i++) many += "u" + std::to_string(i) + "@y.org" + (i < 599 ? ", " : "\n");
    many += "\nbody\n";
    p.put("00000002.MSG", "#! rnews " + std::to_string(many.size()) + "\n" + many);
    p.put("REPLIES", "00000001\tmail\tb\n00000002\tmail\tu\n");

    std::vector<std::string> to = {"jd@y.org", "joe@y.org", "a@y.org;b@y.org", "cont@y.org", "ob@y.org"};
    for (int i = 0; i < 20; i++) to.push_back("p" + std::to_string(i) + "@y.org");
    to.insert(to.end(), {"last@y.org", "blind@y.org", "blind2@y.org"});
    std::string headerwire;
    for (size_t at = 0, lf; (lf = header.find('\n', at)) != std::string::npos; at = lf + 1) {
        std::string line = header.substr(at, lf - at);
        if (line.rfind("BCC:", 0) != 0 && line != "\tblind2@y.org") headerwire += line + "\r\n";
    }
    std::vector<std::string> manyto;
    for (int i = 0; i < 500; i++) manyto.push_back("u" + std::to_string(i) + "@y.org");

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

}  // namespace
