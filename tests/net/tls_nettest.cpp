// Black-box runs against scripted servers that speak TLS and want logins,
// in this test's own network namespace: TLS from the first byte and after
// STARTTLS, every way TLS can fail (with nothing sent after), SMTP AUTH,
// NNTP AUTHINFO, the SASL mechanisms of POPAUTH and SMTPAUTH with their
// error challenges, password commands, host:port and IPv6 literals. No
// password or token may ever show.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

namespace {

const std::string password = "p4ss word";
const std::string cafile = std::string(VORPA_CERTS) + "/ca.pem";

// A packet, a newsgroups file with one group, and settings (CAFILE, the
// packet and a log added).
struct Trial {
    TempDir dir;
    std::string soup = dir / "soup";
    std::string log = dir / "vorpa.log";
    std::string cfg = dir / "vorpa.cfg";
    RunResult result;

    explicit Trial(const std::string& settings) {
        mkdir(soup.c_str(), 0700);
        writefile(dir / "newsrc", "local.test: 1-5\n");
        writefile(cfg, "ADDHEADERS off\n" + settings + "HOSTNAME myhost\nCAFILE " + cafile + "\nSOUPDIR " + soup +
                           "\nNEWSGROUPS " + dir / "newsrc" + "\nLOGFILE " + log + "\n");
    }
    // One mail to post, listed in REPLIES.
    void outgoing() {
        std::string mail = "From: joe@example.org\nTo: ann@example.org\n\nhi\n";
        writefile(soup + "/MAIL01.MSG", be32(static_cast<uint32_t>(mail.size())) + mail);
        writefile(soup + "/REPLIES", "MAIL01\tmail\tb\n");
    }
    const std::string& run(std::vector<std::string> args) {
        args.push_back("/verbose");
        args.push_back("/config=" + cfg);
        result = runvorpa(args, dir.path(), 60);
        // Everything a user can see: console, error stream, log.
        seen = result.out + result.err + readfile(log);
        EXPECT_EQ(seen.find(password), std::string::npos) << "password shown:\n" << seen;
        for (const std::string& s : hidden) EXPECT_EQ(seen.find(s), std::string::npos) << s << " shown:\n" << seen;
        return seen;
    }
    bool kept() { return fileexists(soup + "/MAIL01.MSG") && fileexists(soup + "/REPLIES"); }
    std::string seen;
    std::vector<std::string> hidden;  // secrets besides the password
};

const std::string mailwire =
    "MAIL FROM:<joe@example.org>\r\nRCPT TO:<ann@example.org>\r\nDATA\r\n"
    "From: joe@example.org\r\nTo: ann@example.org\r\n\r\nhi\r\n.\r\nQUIT\r\n";

Script& takemail(Script& s) {
    return s.expect("MAIL FROM:<joe@example.org>\r\n").send("250 ok\r\n")
        .expect("RCPT TO:<ann@example.org>\r\n").send("250 ok\r\n")
        .expect("DATA\r\n").send("354 go\r\n")
        .expectdata().send("250 queued\r\n")
        .expect("QUIT\r\n").send("221 bye\r\n");
}

Script& pop3empty(Script& s) {
    return s.expect("CAPA\r\n").send("-ERR unknown command\r\n")
        .expect("USER joe\r\n").send("+OK\r\n")
        .expect("PASS " + password + "\r\n").send("+OK\r\n")
        .expect("STAT\r\n").send("+OK 0 0\r\n")
        .expect("QUIT\r\n").send("+OK bye\r\n");
}

const std::string popsettings = "POPUSER joe\nPOPPASS " + password + "\n";

TEST(Tls, Pop3FromTheFirstByteAndAfterStls) {
    {
        // A message of many records, which arrive faster than they are taken.
        std::string wire, stored;
        for (int i = 0; i < 20000; i++) {
            std::string line = "line " + std::to_string(i) + std::string(i % 90, 'x');
            wire += line + "\r\n";
            stored += line + "\n";
        }
        ScriptedServer server(995);
        server.tls("server");
        server.session().send("+OK ready\r\n").expect("CAPA\r\n").send("+OK\r\nPIPELINING\r\n.\r\n")
            .expect("USER joe\r\n").send("+OK\r\n")
            .expect("PASS " + password + "\r\n").send("+OK\r\n")
            .expect("STAT\r\n").send("+OK 1 " + std::to_string(wire.size()) + "\r\n")
            .expect("LIST\r\n").send("+OK\r\n1 " + std::to_string(wire.size()) + "\r\n.\r\n")
            .expect("UIDL\r\n").send("-ERR\r\n")
            .expect("RETR 1\r\n").send("+OK\r\n" + wire + ".\r\n")
            .expect("DELE 1\r\n").send("+OK\r\n")
            .expect("QUIT\r\n").send("+OK bye\r\n");
        server.start();
        Trial r("POPHOST localhost\nPOPTLS on\n" + popsettings);
        r.run({"email", "fetch"});
        EXPECT_TRUE(server.finish()) << server.errortext() << r.seen;
        EXPECT_EQ(readfile(r.soup + "/00000000.MSG"), record(stored));
    }
    ScriptedServer server(2110);
    pop3empty(server.session().send("+OK ready\r\n").expect("STLS\r\n").send("+OK begin\r\n").starttls());
    server.start();
    Trial r("POPHOST 127.0.0.1:2110\nPOPTLS starttls\n" + popsettings);
    EXPECT_NE(r.run({"email", "fetch"}).find("+ POP3 session successfully terminated\n"), std::string::npos) << r.seen;
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(r.result.status, 0);
}

TEST(Tls, EveryStarttlsFailureEndsThePhaseWithNothingSent) {
    struct Case {
        const std::string answer;  // to STLS
        const std::string cert;    // empty: no handshake on the server's side
        const std::string line;
    } cases[] = {
        {"-ERR not here\r\n", "", "POP3 host refused TLS: -ERR not here\n"},
        {"+OK\r\n+OK injected\r\n", "", "POP3 host 127.0.0.1 sent data ahead of the TLS handshake: connection refused\n"},
        {"+OK\r\n", "untrusted", "Certificate of 127.0.0.1 is not trusted: self-signed certificate\n"},
        {"+OK\r\n", "expired", "Certificate of 127.0.0.1 is not trusted: certificate has expired\n"},
        {"+OK\r\n", "wrongname", "Certificate is not valid for 127.0.0.1: IP address mismatch\n"},
    };
    for (const Case& c : cases) {
        ScriptedServer server(110, 3000);
        Script& s = server.session().send("+OK ready\r\n").expect("STLS\r\n").send(c.answer);
        if (!c.cert.empty()) s.starttls(c.cert);
        s.drain();
        server.start();
        Trial r("POPHOST 127.0.0.1\nPOPTLS starttls\n" + popsettings);
        EXPECT_NE(r.run({"email", "fetch"}).find(c.line + "(skipping email fetch)\n"), std::string::npos)
            << c.line << " in:\n" << r.seen;
        server.finish();
        EXPECT_EQ(server.received(), "STLS\r\n") << c.line;
    }

    // A server that answers the handshake with plain text.
    ScriptedServer server(110, 3000);
    server.session().send("+OK ready\r\n").expect("STLS\r\n").send("+OK\r\n").pause(300).send("-ERR what?\r\n").drain();
    server.start();
    Trial r("POPHOST 127.0.0.1\nPOPTLS starttls\n" + popsettings);
    EXPECT_NE(r.run({"email", "fetch"}).find("TLS handshake with 127.0.0.1 failed: "), std::string::npos) << r.seen;
    server.finish();
    EXPECT_EQ(server.received().find("USER"), std::string::npos);

    // A server that goes silent in the handshake costs the greeting's
    // time-out, no more.
    ScriptedServer stalled(995, 30000);
    stalled.session().silence(25000);
    stalled.start();
    Trial t("POPHOST 127.0.0.1\nPOPTLS on\n" + popsettings);
    EXPECT_NE(t.run({"email", "fetch"}).find("TLS handshake with 127.0.0.1 failed: timed out\n(skipping email fetch)\n"),
              std::string::npos)
        << t.seen;
    stalled.finish();
    EXPECT_EQ(stalled.received().substr(0, 3), "\x16\x03\x01") << "a ClientHello, and nothing after it";
    EXPECT_EQ(stalled.received().find("USER"), std::string::npos);

    // SMTP: STARTTLS missing from the EHLO reply.
    ScriptedServer smtp(25, 3000);
    smtp.session().send("220 hi\r\n").expect("EHLO myhost\r\n").send("250-hi\r\n250 SIZE 10\r\n").drain();
    smtp.start();
    Trial m("SMTPHOST 127.0.0.1\nSMTPTLS starttls\nSMTPUSER joe\nSMTPPASS " + password + "\n");
    m.outgoing();
    EXPECT_NE(m.run({"email", "post"}).find("SMTP host does not offer STARTTLS\n(skipping email post)\n"),
              std::string::npos)
        << m.seen;
    smtp.finish();
    EXPECT_EQ(smtp.received(), "EHLO myhost\r\n");
    EXPECT_TRUE(fileexists(m.soup + "/MAIL01.MSG") && fileexists(m.soup + "/REPLIES"));
}

// A server that hangs up or resets in the middle of the handshake is the
// network's: the next run may go through. Said as such, in the log too.
TEST(Tls, AHandshakeCutOffIsALostConnection) {
    struct Case {
        const char* tls;
        std::function<void(Script&)> play;
        const char* reason;  // null: a close or a reset, as the race goes
    } cases[] = {
        {"on", [](Script& s) { s.pause(200).reset(); }, "Connection reset by peer"},
        {"starttls", [](Script& s) { s.send("+OK ready\r\n").expect("STLS\r\n").send("+OK\r\n").drop(); }, nullptr},
    };
    for (const Case& c : cases) {
        ScriptedServer server(110, 3000);
        c.play(server.session());
        server.start();
        Trial r("POPHOST 127.0.0.1:110\nPOPTLS " + std::string(c.tls) + "\n" + popsettings);
        r.run({"email", "fetch"});
        server.finish();
        EXPECT_EQ(r.result.status, 75) << r.seen;
        const std::string line = "\nConnection to 127.0.0.1 lost in the TLS handshake: ";
        size_t at = r.result.out.find(line);
        ASSERT_NE(at, std::string::npos) << r.seen;
        // The reason and what follows from it, on the console and in the log.
        std::string said = r.result.out.substr(at, r.result.out.find("(skipping email fetch)\n", at) + 23 - at);
        EXPECT_NE(readfile(r.log).find(said), std::string::npos) << said << r.seen;
        if (c.reason) {
            EXPECT_EQ(said, line + c.reason + "\n(skipping email fetch)\n");
        }
    }
}

// The SHA-256 fingerprint of a test certificate, "sha256:AB:...".
std::string fingerprint(const std::string& cert) {
    std::string out = "sha256";
    FILE* f = std::fopen((std::string(VORPA_CERTS) + "/" + cert + ".pem").c_str(), "r");
    if (!f) return out;
    X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    unsigned char digest[32];
    unsigned int len = 0;
    if (x && X509_digest(x, EVP_sha256(), digest, &len) == 1) {
        char byte[4];
        for (unsigned i = 0; i < len; i++) {
            std::snprintf(byte, sizeof byte, ":%02X", digest[i]);
            out += byte;
        }
    }
    X509_free(x);
    return out;
}

TEST(Tls, FingerprintPinWhateverTheIssuer) {
    std::string untrusted = fingerprint("untrusted");
    std::string lower = untrusted;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    {
        // A self-signed certificate that CAFILE does not vouch for, pinned:
        // a check run shows its fingerprint, a fetch does not.
        ScriptedServer server(110);
        pop3empty(server.session().send("+OK ready\r\n").expect("STLS\r\n").send("+OK\r\n").starttls("untrusted"));
        pop3empty(server.session().send("+OK ready\r\n").expect("STLS\r\n").send("+OK\r\n").starttls("untrusted"));
        server.start();
        Trial r("POPHOST 127.0.0.1\nPOPTLS starttls\nTLSFINGERPRINT " + lower + "\n" + popsettings);
        EXPECT_NE(r.run({"email", "fetch", "/check"}).find("Certificate of 127.0.0.1: " + untrusted + "\n"),
                  std::string::npos)
            << r.seen;
        EXPECT_EQ(r.result.status, 0) << r.seen;
        r.run({"email", "fetch"});
        EXPECT_EQ(r.result.out.find("Certificate of"), std::string::npos) << r.seen;
        EXPECT_EQ(r.result.status, 0) << r.seen;
        EXPECT_TRUE(server.finish()) << server.errortext();
    }
    // A certificate the CA vouches for, but not the pinned one: refused
    // before a byte of the dialogue goes.
    ScriptedServer server(995, 3000);
    server.tls("server");
    server.session().drain();
    server.start();
    Trial r("POPHOST localhost\nPOPTLS on\nTLSFINGERPRINT " + untrusted + "\n" + popsettings);
    EXPECT_NE(r.run({"email", "fetch"}).find("Certificate of localhost is not the one of TLSFINGERPRINT: it is " +
                                              fingerprint("server") + ", not " + untrusted +
                                              "\n(skipping email fetch)\n"),
              std::string::npos)
        << r.seen;
    EXPECT_EQ(r.result.status, 2);
    server.finish();
    EXPECT_EQ(server.received(), "");
}

TEST(Tls, SmtpAuthPlainAfterStarttlsLoginOverTlsAndARefusal) {
    {
        ScriptedServer server(25);
        takemail(server.session()
                     .send("220 hi\r\n").expect("EHLO myhost\r\n").send("250-hi\r\n250-STARTTLS\r\n250 SIZE 10\r\n")
                     .expect("STARTTLS\r\n").send("220 go\r\n").starttls("server")
                     .expect("EHLO myhost\r\n").send("250-hi\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n")
                     .expect("AUTH PLAIN AGpvZQBwNHNzIHdvcmQ=\r\n").send("235 ok\r\n"));
        server.start();
        Trial r("SMTPHOST localhost\nSMTPTLS starttls\nSMTPUSER joe\nSMTPPASS " + password + "\n");
        r.outgoing();
        r.run({"email", "post"});
        EXPECT_TRUE(server.finish()) << server.errortext() << r.seen;
        EXPECT_FALSE(fileexists(r.soup + "/MAIL01.MSG"));
        EXPECT_FALSE(fileexists(r.soup + "/REPLIES"));
    }
    {
        ScriptedServer server(465);
        server.tls();
        takemail(server.session()
                     .send("220 hi\r\n").expect("EHLO myhost\r\n").send("250-hi\r\n250 AUTH LOGIN\r\n")
                     .expect("AUTH LOGIN\r\n").send("334 VXNlcm5hbWU6\r\n")
                     .expect("am9l\r\n").send("334 UGFzc3dvcmQ6\r\n")
                     .expect("cDRzcyB3b3Jk\r\n").send("235 ok\r\n"));
        server.start();
        Trial r("SMTPHOST 127.0.0.1\nSMTPTLS on\nSMTPUSER joe\nSMTPPASS " + password + "\n");
        r.outgoing();
        r.run({"email", "post"});
        EXPECT_TRUE(server.finish()) << server.errortext() << r.seen;
        EXPECT_FALSE(fileexists(r.soup + "/MAIL01.MSG"));
    }
    ScriptedServer server(25);
    server.session().send("220 hi\r\n").expect("EHLO myhost\r\n").send("250-hi\r\n250 AUTH PLAIN\r\n")
        .expect("AUTH PLAIN AGpvZQBwNHNzIHdvcmQ=\r\n").send("535 5.7.8 bad credentials\r\n")
        .expect("QUIT\r\n").send("221 bye\r\n");
    server.start();
    Trial r("SMTPHOST 127.0.0.1\nSMTPUSER joe\nSMTPPASS " + password + "\n");
    r.outgoing();
    EXPECT_NE(r.run({"email", "post"}).find("SMTP host returned error: 535 5.7.8 bad credentials\n"
                                            "(skipping email post)\n"),
              std::string::npos)
        << r.seen;
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_TRUE(fileexists(r.soup + "/MAIL01.MSG") && fileexists(r.soup + "/REPLIES"));
}

TEST(Tls, NntpAuthinfoAcceptedRefusedAndA480) {
    const std::string login = "NNTPUSER joe\nNNTPPASS " + password + "\n";
    {
        ScriptedServer server(563);
        server.tls();
        server.session().send("200 ready\r\n")
            .expect("AUTHINFO USER joe\r\n").send("381 more\r\n")
            .expect("AUTHINFO PASS " + password + "\r\n").send("281 ok\r\n")
            .expect("CAPABILITIES\r\n").send("500 What?\r\n")
            .expect("GROUP local.test\r\n").send("211 0 1 5 local.test\r\n")
            .expect("QUIT\r\n").send("205 bye\r\n");
        server.start();
        Trial r("NNTPHOST localhost\nNNTPTLS on\n" + login);
        EXPECT_NE(r.run({"news", "fetch"}).find("There are no new messages in this newsgroup.\n"), std::string::npos)
            << r.seen;
        EXPECT_TRUE(server.finish()) << server.errortext();
    }
    {
        ScriptedServer server(119);
        server.session().send("200 ready\r\n").expect("STARTTLS\r\n").send("382 go\r\n").starttls()
            .expect("AUTHINFO USER joe\r\n").send("381 more\r\n")
            .expect("AUTHINFO PASS " + password + "\r\n").send("481 no\r\n")
            .expect("QUIT\r\n").send("205 bye\r\n");
        server.start();
        Trial r("NNTPHOST 127.0.0.1\nNNTPTLS starttls\n" + login);
        writefile(r.soup + "/NEWS01.MSG", "#! rnews 20\nNewsgroups: a.b\n\nhi\n");
        writefile(r.soup + "/REPLIES", "NEWS01\tnews\tu\n");
        EXPECT_NE(r.run({"news", "post"}).find("NNTP host returned error: 481 no\n(skipping news post)\n"),
                  std::string::npos)
            << r.seen;
        EXPECT_TRUE(server.finish()) << server.errortext();
        EXPECT_TRUE(fileexists(r.soup + "/NEWS01.MSG") && fileexists(r.soup + "/REPLIES"));
    }
    ScriptedServer server(119);
    nntpready(server.session(), "200 ready\r\n")
        .expect("GROUP local.test\r\n").send("480 Authentication required\r\n")
        .expect("QUIT\r\n").send("205 bye\r\n");
    server.start();
    Trial r("NNTPHOST 127.0.0.1\n");
    EXPECT_NE(r.run({"news", "fetch"}).find("NNTP host requires a login (NNTPUSER, NNTPPASS): 480 Authentication "
                                           "required\n(skipping news fetch)\n"),
              std::string::npos)
        << r.seen;
    EXPECT_TRUE(server.finish()) << server.errortext();
    EXPECT_EQ(readfile(r.dir / "newsrc"), "local.test: 1-5\n");
}

std::string b64(const std::string& in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// A token as the providers hand them out: 2 KB, more than a line may hold.
std::string longtoken() {
    std::string t;
    for (int i = 0; t.size() < 2048; i++) t += "AbZz09-_."[i % 9];
    return t;
}

std::string xoauth2(const std::string& token) { return b64("user=joe\x01" "auth=Bearer " + token + "\x01\x01"); }

// The error challenges of dovecot (XOAUTH2, OAUTHBEARER) and aiosmtpd.
const std::string status401 = b64(R"({"status":"401","schemes":"bearer","scope":"mail"})");
const std::string invalidtoken = b64(R"({"status":"invalid_token"})");

const std::string capa = "+OK\r\nTOP\r\nPIPELINING\r\nSASL PLAIN LOGIN XOAUTH2 OAUTHBEARER\r\n.\r\n";
const std::string ehlo = "250-hi\r\n250-AUTH LOGIN OAUTHBEARER PLAIN XOAUTH2\r\n250 8BITMIME\r\n";

TEST(Sasl, EveryMechanismItsErrorChallengeAndWhatIsRefusedBeforehand) {
    struct Case {
        const char* what;
        std::string settings;
        std::function<void(Script&)> play;  // after the greeting
        std::string line;                   // in the output; empty: all went through
    };
    const std::string token = longtoken();
    const std::string bearer = b64("n,a=joe,\x01host=localhost\x01port=465\x01" "auth=Bearer " + token + "\x01\x01");
    const std::string pop = "POPHOST localhost\nPOPTLS on\nPOPUSER joe\n";
    const std::string smtp = "SMTPHOST localhost\nSMTPTLS on\nSMTPUSER joe\n";
    auto stat = [](Script& s) { s.expect("STAT\r\n").send("+OK 0 0\r\n").expect("QUIT\r\n").send("+OK bye\r\n"); };
    const Case cases[] = {
        // Taken whole from the configuration; too long for the AUTH line;
        // CAPA asked once, before the login.
        {"pop3 xoauth2", pop + "POPAUTH xoauth2\nPOPPASS " + token + "\n",
         [&](Script& s) {
             s.expect("CAPA\r\n").send(capa).expect("AUTH XOAUTH2\r\n").send("+ \r\n")
                 .expect(xoauth2(token) + "\r\n").send("+OK Logged in.\r\n");
             stat(s);
         }, ""},
        {"pop3 plain", pop + "POPAUTH plain\nPOPPASSCMD printf 'p4ss word\\r\\nsecond line\\n'\n",
         [&](Script& s) {
             s.expect("CAPA\r\n").send(capa)
                 .expect("AUTH PLAIN " + b64(std::string("\0joe\0p4ss word", 14)) + "\r\n").send("+OK in\r\n");
             stat(s);
         }, ""},
        {"pop3 login", pop + "POPAUTH login\nPOPPASS p4ss word\n",
         [&](Script& s) {
             s.expect("CAPA\r\n").send(capa).expect("AUTH LOGIN\r\n").send("+ VXNlcm5hbWU6\r\n")
                 .expect("am9l\r\n").send("+ UGFzc3dvcmQ6\r\n").expect("cDRzcyB3b3Jk\r\n").send("+OK in\r\n");
             stat(s);
         }, ""},
        {"pop3 oauthbearer refused", pop + "POPAUTH oauthbearer\nPOPPASSCMD echo tok3n\n",
         [](Script& s) {
             s.expect("CAPA\r\n").send(capa)
                 .expect("AUTH OAUTHBEARER " + b64("n,a=joe,\x01host=localhost\x01port=995\x01"
                                                   "auth=Bearer tok3n\x01\x01") + "\r\n")
                 .send("+ " + invalidtoken + "\r\n").expect("AQ==\r\n")
                 .send("-ERR [AUTH] Authentication failed.\r\n").drain();
         }, "POP3 login with OAUTHBEARER refused: invalid_token (401)\n(skipping email fetch)\n"},
        {"pop3 token without TLS", "POPHOST 127.0.0.1:110\nPOPUSER joe\nPOPAUTH xoauth2\nPOPPASS tok3n\n",
         [](Script& s) { s.expect("CAPA\r\n").send(capa).expect("QUIT\r\n").send("+OK bye\r\n"); },
         "Not sending the POP3 token unencrypted to 127.0.0.1\n(skipping email fetch)\n"},
        {"smtp oauthbearer", smtp + "SMTPAUTH oauthbearer\nSMTPPASSCMD echo " + token + "\n",
         [&](Script& s) {
             takemail(s.expect("EHLO myhost\r\n").send(ehlo).expect("AUTH OAUTHBEARER\r\n").send("334 \r\n")
                          .expect(bearer + "\r\n").send("235 2.7.0 Authentication successful\r\n"));
         }, ""},
        {"smtp xoauth2 refused", smtp + "SMTPAUTH xoauth2\nSMTPPASSCMD echo " + token + "\n",
         [&](Script& s) {
             s.expect("EHLO myhost\r\n").send(ehlo).expect("AUTH XOAUTH2\r\n").send("334 \r\n")
                 .expect(xoauth2(token) + "\r\n").send("334 " + status401 + "\r\n").expect("\r\n")
                 .send("535 5.7.8 Authentication credentials invalid\r\n").drain();
         }, "SMTP login with XOAUTH2 refused: invalid_token (401)\n(skipping email post)\n"},
        {"smtp xoauth2 refused at once", smtp + "SMTPAUTH xoauth2\nSMTPPASS short\n",
         [](Script& s) {
             s.expect("EHLO myhost\r\n").send(ehlo).expect("AUTH XOAUTH2 " + xoauth2("short") + "\r\n")
                 .send("535 Incorrect authentication data\r\n").drain();
         }, "SMTP login with XOAUTH2 refused: 535 Incorrect authentication data\n(skipping email post)\n"},
        {"smtp not offered", smtp + "SMTPAUTH XOAuth2\nSMTPPASS tok3n\n",
         [](Script& s) {
             s.expect("EHLO myhost\r\n").send("250-hi\r\n250 AUTH PLAIN LOGIN\r\n")
                 .expect("QUIT\r\n").send("221 bye\r\n");
         }, "SMTP host does not offer AUTH XOAUTH2 (it offers PLAIN LOGIN)\n(skipping email post)\n"},
    };
    for (const Case& c : cases) {
        bool smtpcase = c.settings.rfind("SMTP", 0) == 0;
        bool plain = c.settings.find(":110") != std::string::npos;
        ScriptedServer server(smtpcase ? 465 : plain ? 110 : 995, 5000);
        if (!plain) server.tls();
        Script& s = server.session().send(smtpcase ? "220 hi\r\n" : "+OK ready\r\n");
        c.play(s);
        server.start();
        Trial t(c.settings);
        t.hidden = {"cDRzcyB3b3Jk", "tok3n", token, xoauth2(token), bearer};
        t.outgoing();
        t.run({"email", smtpcase ? "post" : "fetch"});
        EXPECT_TRUE(server.finish()) << c.what << ": " << server.errortext() << t.seen;
        EXPECT_NE(t.seen.find(c.line.empty() ? "successfully terminated" : c.line), std::string::npos)
            << c.what << ": " << t.seen;
        EXPECT_EQ(t.result.status, c.line.empty() ? 0 : 2) << c.what;
        if (smtpcase) {
            EXPECT_EQ(t.kept(), !c.line.empty()) << c.what;
        }
        // A refused token: not even QUIT.
        if (c.line.find("refused") != std::string::npos) {
            EXPECT_EQ(server.received().find("QUIT"), std::string::npos) << c.what;
        }
    }
}

TEST(Sasl, PasswordCommands) {
    // Each failure ends the phase before it connects, with one line.
    const struct {
        const char* command;
        const char* line;
    } failures[] = {
        {"echo tok3n; echo oops >&2; exit 3", "POPPASSCMD failed: exit status 3\n(skipping email fetch)\n"},
        {"true", "POPPASSCMD failed: no output\n(skipping email fetch)\n"},
        {"echo tok3n; kill -9 $$", "POPPASSCMD failed: killed by signal 9\n(skipping email fetch)\n"},
    };
    for (const auto& f : failures) {
        Trial t(std::string("POPHOST 127.0.0.1\nPOPUSER joe\nPOPPASSCMD ") + f.command + "\n");
        t.hidden = {"tok3n"};
        EXPECT_NE(t.run({"email", "fetch"}).find(f.line), std::string::npos) << t.seen;
        EXPECT_EQ(t.seen.find("Cannot connect"), std::string::npos) << t.seen;
        EXPECT_EQ(t.result.status, 2);
    }
    // Its error stream is ours; the mail post keeps its mail.
    Trial post("SMTPHOST 127.0.0.1\nSMTPUSER joe\nSMTPPASSCMD echo oops >&2; exit 1\n");
    post.outgoing();
    EXPECT_NE(post.run({"email", "post"}).find("SMTPPASSCMD failed: exit status 1\n(skipping email post)\n"),
              std::string::npos)
        << post.seen;
    EXPECT_EQ(post.result.err, "oops\n");
    EXPECT_TRUE(post.kept());

    ScriptedServer news(119);
    news.session().send("200 ready\r\n").expect("AUTHINFO USER joe\r\n").send("381 more\r\n")
        .expect("AUTHINFO PASS p4ss word\r\n").send("281 ok\r\n")
        .expect("CAPABILITIES\r\n").send("500 What?\r\n")
        .expect("GROUP local.test\r\n").send("211 0 1 5 local.test\r\n").expect("QUIT\r\n").send("205 bye\r\n");
    news.start();
    Trial n("NNTPHOST 127.0.0.1\nNNTPUSER joe\nNNTPPASSCMD echo '" + password + "'\n");
    n.run({"news", "fetch"});
    EXPECT_TRUE(news.finish()) << news.errortext() << n.seen;
    EXPECT_EQ(n.result.status, 0) << n.seen;
}

TEST(Hosts, PortsIpv6LiteralsAndBadSettings) {
    ScriptedServer v6(2025, 5000, ScriptedServer::IPv6);
    if (!v6.listening()) GTEST_SKIP() << "no IPv6 loopback here";
    takemail(v6.session().send("220 hi\r\n").expect("EHLO myhost\r\n").send("250 hi\r\n"));
    v6.start();
    Trial r("SMTPHOST [::1]:2025\n");
    r.outgoing();
    r.run({"email", "post"});
    EXPECT_FALSE(fileexists(r.soup + "/MAIL01.MSG")) << r.seen;
    EXPECT_EQ(v6.received(0), "EHLO myhost\r\n" + mailwire);

    // A bare IPv6 literal takes the default port: nothing listens on 25.
    Trial bare("SMTPHOST ::1\n");
    bare.outgoing();
    EXPECT_NE(bare.run({"email", "post"}).find("Cannot connect to host ::1 at port 25: Connection refused\n"),
              std::string::npos)
        << bare.seen;
    Trial bad("SMTPHOST [::1]:99999\n");
    bad.outgoing();
    EXPECT_NE(bad.run({"email", "post"}).find("SMTP host [::1]:99999 is not a host name, address or host:port\n"),
              std::string::npos)
        << bad.seen;
    v6.finish();

    // A CAFILE that trusts nothing is refused where TLS would use it; a run
    // that speaks no TLS does not read it.
    Trial unreadable("SMTPHOST 127.0.0.1\n");
    writefile(unreadable.dir / "none.pem", "no certificate\n");
    for (const char* tls : {"SMTPTLS starttls\n", ""}) {
        writefile(unreadable.cfg, "SOUPDIR " + unreadable.soup + "\nCAFILE " + unreadable.dir / "none.pem\n" +
                                      "HOSTNAME myhost\nSMTPHOST 127.0.0.1:1\n" + tls);
        unreadable.run({"email", "post"});
        if (*tls) {
            EXPECT_EQ(unreadable.result.status, 1);
            EXPECT_EQ(unreadable.result.err,
                      "Error: CAFILE " + unreadable.dir / "none.pem" + " holds no readable PEM certificate\n");
        } else {
            EXPECT_EQ(unreadable.result.status, 0) << unreadable.seen;
            EXPECT_EQ(unreadable.result.err, "");
        }
    }
}

}  // namespace

namespace {

// No POPTLS written: port 995 is TLS from the first byte, where a plain
// client would wait out the greeting's 20 s.
TEST(Tls, TheTlsPortWithoutATlsSetting) {
    ScriptedServer server(995);
    server.tls("server");
    pop3empty(server.session().send("+OK ready\r\n"));
    server.start();
    Trial r("POPHOST localhost:995\n" + popsettings);
    EXPECT_NE(r.run({"email", "fetch"}).find("+ POP3 session successfully terminated\n"), std::string::npos) << r.seen;
    EXPECT_TRUE(server.finish()) << server.errortext();
}

}  // namespace
