// vorpa setup: a provider's section written into a new configuration
// (mode 0600) or appended to one, never over it; --print writes nothing;
// Proton's Bridge gets the fingerprint of the certificate it shows; every
// provider of the table makes a section the run reads without a word, and
// a domain of its own is known by its mail exchangers.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "config/providers.h"
#include "run.h"
#include "scripted_server.h"

namespace {

const char gmail[] =
    "; Gmail and Google Workspace, for joe@gmail.com\n"
    "ACCOUNT    gmail\n"
    "POPHOST    pop.gmail.com\n"
    "POPTLS     on\n"
    "POPUSER    joe@gmail.com\n"
    ";POPPASS   the app password, without its spaces\n"
    "SMTPHOST   smtp.gmail.com:587\n"
    "SMTPTLS    starttls\n"
    "SMTPUSER   joe@gmail.com\n"
    ";SMTPPASS  the same app password\n"
    "FROM       joe@gmail.com\n";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Setup, GmailIntoANewConfigurationThenAppended) {
    TempDir dir;
    const std::string config = dir / "vorpa/vorpa.cfg";
    RunResult r = runvorpa({"setup", "joe@gmail.com", "/config=" + config}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string made = readfile(config);
    EXPECT_EQ(made.substr(made.find("; Gmail")), gmail);
    EXPECT_TRUE(contains(made, "\nSOUPDIR    ~/soup\n"));
    struct stat st;
    ASSERT_EQ(stat(config.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(contains(r.out, "Wrote account gmail into " + config + ", made with mode 0600:\n\n"));
    EXPECT_TRUE(contains(r.out, "POP on in Gmail"));
    EXPECT_TRUE(contains(r.out, "Then \"vorpa all /check /account=gmail\" logs in")) << r.out;

    // The file as the run reads it: the account is there, nothing refused.
    r = runvorpa({"--settings", "/config=" + config}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains(r.out, "Account gmail:\n"));

    // A second one for the same provider goes after it, under a name of its own.
    const std::string mine = made + "; my own last line, without its end";
    writefile(config, mine);
    r = runvorpa({"setup", "ann@googlemail.com", "/config=" + config}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string appended = readfile(config);
    EXPECT_EQ(appended.substr(0, mine.size() + 1), mine + "\n");
    EXPECT_TRUE(contains(appended, "\n\n; Gmail and Google Workspace, for ann@googlemail.com\nACCOUNT    gmail-2\n"));
    EXPECT_TRUE(contains(r.out, "Added account gmail-2 to " + config + ":\n\n"));
}

TEST(Setup, PrintOnlyShows) {
    TempDir dir;
    const std::string config = dir / "vorpa.cfg";
    writefile(config, "SOUPDIR /x\n");
    RunResult r = runvorpa({"setup", "--print", "joe@gmail.com", "/config=" + config}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, gmail);
    EXPECT_EQ(readfile(config), "SOUPDIR /x\n");

    r = runvorpa({"setup", "joe", "/config=" + config}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: vorpa setup needs a mail address, not \"joe\"\n");
}

std::string fingerprint(const std::string& pem) {
    FILE* f = std::fopen(pem.c_str(), "r");
    X509* cert = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) std::fclose(f);
    unsigned char digest[32];
    unsigned int len = 0;
    std::string text = "sha256";
    if (cert && X509_digest(cert, EVP_sha256(), digest, &len) == 1)
        for (unsigned i = 0; i < len; i++) {
            char hex[4];
            std::snprintf(hex, sizeof hex, ":%02X", digest[i]);
            text += hex;
        }
    X509_free(cert);
    return text;
}

// The Bridge on its port, with a certificate of its own making.
TEST(Setup, ProtonBridgeCertificateIsPinned) {
    ScriptedServer bridge(1143);
    bridge.session()
        .send("* OK [CAPABILITY IMAP4rev1 STARTTLS] Proton Mail Bridge ready\r\n")
        .expect("S STARTTLS\r\n")
        .send("S OK Begin TLS negotiation now\r\n")
        .starttls("untrusted");
    bridge.start();
    TempDir dir;
    const std::string config = dir / "vorpa.cfg";
    RunResult r = runvorpa({"setup", "joe@proton.me", "/config=" + config}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    bridge.finish();
    const std::string pin = fingerprint(std::string(VORPA_CERTS) + "/untrusted.pem");
    ASSERT_EQ(pin.size(), 6u + 32 * 3);
    EXPECT_TRUE(contains(r.out, "Certificate of 127.0.0.1:1143: " + pin + "\n")) << r.out;
    const std::string text = readfile(config);
    EXPECT_TRUE(contains(text, "\nIMAPHOST   127.0.0.1:1143\nIMAPTLS    starttls\n")) << text;
    EXPECT_TRUE(contains(text, "\nTLSFINGERPRINT " + pin + "\n")) << text;
    EXPECT_EQ(runvorpa({"--settings", "/config=" + config}, dir.path()).status, 0);
}

TEST(Setup, EveryProviderMakesASectionTheRunReads) {
    TempDir dir;
    const std::string config = dir / "vorpa.cfg";
    const std::vector<Provider> all = providers();
    for (const Provider& p : all) {
        ASSERT_FALSE(p.domains.empty()) << p.name;
        RunResult r = runvorpa({"setup", "joe@" + p.domains.front(), "/config=" + config}, dir.path());
        EXPECT_EQ(r.status, 0) << p.name << ": " << r.err;
        EXPECT_TRUE(contains(r.out, "account " + p.name + " ")) << r.out;
    }
    RunResult r = runvorpa({"--settings", "/config=" + config}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    EXPECT_EQ(findprovider(all, "joe@firm.example", "", {"mx.firm.example", "firm.mail.protection.outlook.com"}),
              findprovider(all, "joe@Hotmail.COM", ""));
    EXPECT_EQ(findprovider(all, "joe@firm.example", "", {"aspmx.l.google.com"}), findprovider(all, "x@y", "GMAIL"));
    EXPECT_EQ(findprovider(all, "joe@firm.example", "", {"google.com.example.net", "firm.example"}), nullptr);
}

}  // namespace
