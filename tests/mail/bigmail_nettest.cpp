// Mail over MAXSIZE: left on a POP3 server and named, fetched once the
// limit allows it; on IMAP stored as its text only and kept on the server.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

namespace {

struct Box {
    TempDir dir;
    std::string soup = dir / "soup";
    std::string cfg = dir / "vorpa.cfg";

    explicit Box(const std::string& settings) {
        mkdir(soup.c_str(), 0700);
        writefile(cfg, settings + "SOUPDIR " + soup + "\nLOGFILE " + (dir / "log") + "\nNEWSGROUPS " +
                           (dir / "newsrc") + "\n");
    }
    RunResult fetch() { return runvorpa({"email", "fetch", "/config=" + cfg}, dir.path(), 60); }
    std::string file(const std::string& name) { return readfile(soup + "/" + name); }
};

std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

Script& pop3login(Script& s) {
    return s.send("+OK ready\r\n")
        .expect("USER joe\r\n")
        .send("+OK\r\n")
        .expect("PASS secret\r\n")
        .send("+OK\r\n")
        .expect("CAPA\r\n")
        .send("+OK\r\nTOP\r\nPIPELINING\r\n.\r\n");
}

// One message a run over the limit: TOP names it, nothing else touches it,
// and it is not recorded; raised, the limit lets it come.
TEST(BigMail, Pop3LeavesTheBigOneAndFetchesItOnceTheLimitAllows) {
    Box box("POPHOST 127.0.0.1\nPOPUSER joe\nPOPPASS secret\nMAXSIZE 1M\n");
    const std::string small = "Subject: small\n\nhi\n";
    const std::string header = "From: Ann <ann@example.net>\nSubject: Holiday photos\n\n";
    std::string big = header;
    while (big.size() < 1300000) big += "0123456789012345678901234567890123456789012345678901234567890123456789\n";
    std::string wsmall = crlf(small), wbig = crlf(big);
    ScriptedServer server(110);
    pop3login(server.session())
        .expect("STAT\r\n")
        .send("+OK 2 " + std::to_string(wsmall.size() + wbig.size()) + "\r\n")
        .expect("LIST\r\n")
        .expect("UIDL\r\n")
        .send("+OK\r\n1 " + std::to_string(wsmall.size()) + "\r\n2 " + std::to_string(wbig.size()) +
              "\r\n.\r\n+OK\r\n1 aaa\r\n2 bbb\r\n.\r\n")
        .expect("TOP 2 0\r\n")
        .send("+OK\r\n" + crlf(header) + ".\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\n" + wsmall + ".\r\n")
        .expect("DELE 1\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n+OK\r\n");
    pop3login(server.session())
        .expect("STAT\r\n")
        .send("+OK 1 " + std::to_string(wbig.size()) + "\r\n")
        .expect("LIST\r\n")
        .expect("UIDL\r\n")
        .send("+OK\r\n1 " + std::to_string(wbig.size()) + "\r\n.\r\n+OK\r\n1 bbb\r\n.\r\n")
        .expect("RETR 1\r\n")
        .send("+OK\r\n" + wbig + ".\r\n")
        .expect("DELE 1\r\n")
        .expect("QUIT\r\n")
        .send("+OK\r\n+OK\r\n");
    server.start();
    RunResult first = box.fetch();
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_NE(first.out.find("Left on the server: 1 mail of 1.3 MB from ann@example.net \"Holiday photos\"\n"),
              std::string::npos)
        << first.out;
    EXPECT_NE(first.out.find("\nFetched 1 mail (1.3 MB left on the server).\nDone.\n"), std::string::npos)
        << first.out;
    EXPECT_EQ(box.file("00000000.MSG"), record(small));
    EXPECT_EQ(readfile(box.dir / "popkeep-joe@127.0.0.1-110").find("bbb"), std::string::npos);

    writefile(box.cfg, readfile(box.cfg) + "MAXSIZE 2M\n");
    RunResult second = box.fetch();
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(second.out.find("Left on the server"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("\nFetched 1 mail.\nDone.\n"), std::string::npos) << second.out;
    EXPECT_EQ(box.file("00000001.MSG"), record(big));
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
}

const std::string bigheader =
    "From: Ann <ann@example.net>\r\nSubject: Report\r\nMessage-ID: <big@x>\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed;\r\n boundary=b1\r\n\r\n";

// BODYSTRUCTURE of a text part and a 5 MB attachment; the file name comes
// as a literal, as servers send names with 8-bit bytes.
const std::string structure =
    "((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"utf-8\") NIL NIL \"QUOTED-PRINTABLE\" 27 1 NIL NIL NIL NIL)"
    "(\"APPLICATION\" \"PDF\" (\"NAME\" {10}\r\nreport.pdf) NIL NIL \"BASE64\" 5242880 NIL "
    "(\"attachment\" (\"FILENAME\" \"report.pdf\")) NIL NIL) \"MIXED\" (\"BOUNDARY\" \"b1\") NIL NIL NIL)";

// Under BIGMAIL text the attachment never crosses the wire: the packet holds
// the header, the text and the list of what stayed; IMAPDELETE removes the
// small message but not this one, in this run or the next.
TEST(BigMail, ImapStoresTheTextAndLeavesTheAttachment) {
    Box box("IMAPHOST 127.0.0.1\nIMAPUSER joe\nIMAPPASS secret\nIMAPDELETE on\nMAXSIZE 1M\n");
    const std::string small = "Message-ID: <s@x>\r\n\r\nsmall\r\n";
    const std::string text = "See the report attached.=\r\n";
    const std::string bigsize = std::to_string(bigheader.size() + 5242880 + 200);
    auto login = [](Script& s) -> Script& {
        return s.send("* OK [CAPABILITY IMAP4rev1] ready\r\n")
            .expect("L LOGIN \"joe\" \"secret\"\r\n")
            .send("L OK [CAPABILITY IMAP4rev1 UIDPLUS] in\r\n");
    };
    ScriptedServer server(143);
    login(server.session())
        .expect("A1 SELECT \"INBOX\"\r\n")
        .send("* 2 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\n* OK [UIDNEXT 3] n\r\nA1 OK\r\n")
        .expect("A2 UID FETCH 1:* (UID RFC822.SIZE)\r\n")
        .send("* 1 FETCH (UID 1 RFC822.SIZE " + std::to_string(small.size()) + ")\r\n* 2 FETCH (UID 2 RFC822.SIZE " +
              bigsize + ")\r\nA2 OK\r\n")
        .expect("D2 UID FETCH 2 (UID BODYSTRUCTURE BODY.PEEK[HEADER])\r\n")
        .send("* 2 FETCH (UID 2 BODYSTRUCTURE " + structure + " BODY[HEADER] {" + std::to_string(bigheader.size()) +
              "}\r\n" + bigheader + ")\r\nD2 OK\r\n")
        .expect("F1 UID FETCH 1 (BODY.PEEK[])\r\n")
        .send("* 1 FETCH (UID 1 BODY[] {" + std::to_string(small.size()) + "}\r\n" + small + ")\r\nF1 OK\r\n")
        .expect("P2 UID FETCH 2 (BODY.PEEK[1])\r\n")
        .send("* 2 FETCH (UID 2 BODY[1] {" + std::to_string(text.size()) + "}\r\n" + text + ")\r\nP2 OK\r\n")
        .expect("A3 UID STORE 1 +FLAGS.SILENT (\\Deleted)\r\n")
        .expect("A4 UID EXPUNGE 1\r\n")
        .send("A3 OK\r\n* 1 EXPUNGE\r\nA4 OK\r\n")
        .expect("A5 LOGOUT\r\n")
        .send("* BYE\r\nA5 OK\r\n");
    // The next run only asks whether the folder still has it.
    login(server.session())
        .expect("A1 SELECT \"INBOX\"\r\n")
        .send("* 1 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\n* OK [UIDNEXT 3] n\r\nA1 OK\r\n")
        .expect("A2 UID FETCH 2 (UID)\r\n")
        .send("* 1 FETCH (UID 2)\r\nA2 OK\r\n")
        .expect("A3 LOGOUT\r\n")
        .send("* BYE\r\nA3 OK\r\n");
    server.start();
    RunResult first = box.fetch();
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_NE(first.out.find("\nFetched 2 mails (1 as text only, 5.0 MB left on the server).\nDone.\n"),
              std::string::npos)
        << first.out;
    EXPECT_EQ(box.file("00000000.MSG"),
              record("Message-ID: <s@x>\n\nsmall\n") +
                  record("From: Ann <ann@example.net>\nSubject: Report\nMessage-ID: <big@x>\n"
                         "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"=_vorpa_text_2\"\n"
                         "X-Vorpa-Parts-Left: 1\n\n"
                         "--=_vorpa_text_2\nContent-Type: text/plain; charset=\"utf-8\"\n"
                         "Content-Transfer-Encoding: quoted-printable\n\nSee the report attached.=\n"
                         "--=_vorpa_text_2\nContent-Type: text/plain; charset=utf-8\n\n"
                         "Left on the server 127.0.0.1, folder INBOX, UID 2:\n\n"
                         "Part 2: application/pdf, report.pdf, 5.0 MB\n--=_vorpa_text_2--\n"));
    std::string kept = readfile(box.dir / "imapkeep-default-INBOX");
    EXPECT_EQ(kept.substr(0, 4), "7 3\n");
    EXPECT_NE(kept.find(" <big@x> text\n"), std::string::npos) << kept;
    RunResult second = box.fetch();
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
}

// Under skip a folder's next listing starts at the message left, so that
// raising the limit brings it, and only it.
TEST(BigMail, ImapSkipListsTheLeftOneAgain) {
    Box box("IMAPHOST 127.0.0.1\nIMAPUSER joe\nIMAPPASS secret\nBIGMAIL skip\nMAXSIZE 1k\n");
    const std::string big = "Subject: big\r\nMessage-ID: <b@x>\r\n\r\n" + std::string(2000, 'x') + "\r\n";
    const std::string small = "Message-ID: <s@x>\r\n\r\nsmall\r\n";
    auto open = [](Script& s) -> Script& {
        return s.send("* OK [CAPABILITY IMAP4rev1] ready\r\n")
            .expect("L LOGIN \"joe\" \"secret\"\r\n")
            .send("L OK [CAPABILITY IMAP4rev1] in\r\n")
            .expect("A1 EXAMINE \"INBOX\"\r\n")
            .send("* 2 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\n* OK [UIDNEXT 3] n\r\nA1 OK\r\n")
            .expect("A2 UID FETCH 1:* (UID RFC822.SIZE)\r\n");
    };
    std::string listing = "* 1 FETCH (UID 1 RFC822.SIZE " + std::to_string(big.size()) +
                          ")\r\n* 2 FETCH (UID 2 RFC822.SIZE " + std::to_string(small.size()) + ")\r\nA2 OK\r\n";
    ScriptedServer server(143);
    open(server.session())
        .send(listing)
        .expect("D1 UID FETCH 1 (UID BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n")
        .send("* 1 FETCH (UID 1 BODY[HEADER.FIELDS (FROM SUBJECT)] {16}\r\nSubject: big\r\n\r\n)\r\nD1 OK\r\n")
        .expect("F2 UID FETCH 2 (BODY.PEEK[])\r\n")
        .send("* 2 FETCH (UID 2 BODY[] {" + std::to_string(small.size()) + "}\r\n" + small + ")\r\nF2 OK\r\n")
        .expect("A3 LOGOUT\r\n")
        .send("* BYE\r\nA3 OK\r\n");
    open(server.session())
        .send(listing)
        .expect("F1 UID FETCH 1 (BODY.PEEK[])\r\n")
        .send("* 1 FETCH (UID 1 BODY[] {" + std::to_string(big.size()) + "}\r\n" + big + ")\r\nF1 OK\r\n")
        .expect("A3 LOGOUT\r\n")
        .send("* BYE\r\nA3 OK\r\n");
    server.start();
    RunResult first = box.fetch();
    EXPECT_NE(first.out.find("Left on the server: 1 mail of 2 KB \"big\"\n"), std::string::npos) << first.out;
    EXPECT_EQ(readfile(box.dir / "imapkeep-default-INBOX").substr(0, 4), "7 1\n");
    writefile(box.cfg, readfile(box.cfg) + "MAXSIZE 4k\n");
    RunResult second = box.fetch();
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_NE(second.out.find("\nFetched 1 mail.\n"), std::string::npos) << second.out;
    EXPECT_EQ(readfile(box.dir / "imapkeep-default-INBOX").substr(0, 4), "7 3\n");
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.errortext(), "");
}

}  // namespace
