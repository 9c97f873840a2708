// OAuth2 against a scripted token endpoint on loopback: the refresh of a
// run (rotation, invalid_grant, an endpoint that is not there), the token
// file, the device and loopback grants of vorpa authorize.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "run.h"
#include "scripted_server.h"

namespace {

using Form = std::map<std::string, std::string>;

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

Form parseform(const std::string& text) {
    Form form;
    for (size_t at = 0; at < text.size();) {
        size_t amp = std::min(text.find('&', at), text.size()), eq = text.find('=', at);
        if (eq < amp) form[text.substr(at, eq - at)] = unescape(text.substr(eq + 1, amp - eq - 1));
        at = amp + 1;
    }
    return form;
}

// A token endpoint on 127.0.0.1: each POST's path and form go to answer,
// whose JSON goes back with its status; after runs once the answer is sent.
// Both run in the server's thread under its lock, which change takes for
// what the test shares with them.
class TokenServer {
public:
    using Answer = std::function<std::pair<int, std::string>(const std::string& path, const Form& form)>;
    explicit TokenServer(Answer answer) : answer(std::move(answer)) {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof at;
        bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
        listen(fd, 8);
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
        port = ntohs(at.sin_port);
        thread = std::thread([this] { serve(); });
    }
    ~TokenServer() {
        stop = true;
        thread.join();
        close(fd);
    }
    std::string url(const char* path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
    std::vector<Form> requests() {
        std::lock_guard<std::mutex> hold(lock);
        return got;
    }
    // When each request came.
    std::vector<std::chrono::steady_clock::time_point> arrivals() {
        std::lock_guard<std::mutex> hold(lock);
        return times;
    }
    void change(const std::function<void()>& what) {
        std::lock_guard<std::mutex> hold(lock);
        what();
    }
    std::function<void()> after;  // set through change

private:
    void serve() {
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int c = accept(fd, nullptr, nullptr);
            std::string in;
            char buf[4096];
            size_t head;
            while ((head = in.find("\r\n\r\n")) == std::string::npos || in.size() < head + 4 + length(in)) {
                pollfd q{c, POLLIN, 0};
                ssize_t n = poll(&q, 1, 5000) > 0 ? read(c, buf, sizeof buf) : 0;
                if (n <= 0) break;
                in.append(buf, static_cast<size_t>(n));
            }
            std::string path = in.substr(5, in.find(' ', 5) - 5);
            Form form = parseform(head == std::string::npos ? "" : in.substr(head + 4));
            form[":path"] = path;
            std::unique_lock<std::mutex> hold(lock);
            got.push_back(form);
            times.push_back(std::chrono::steady_clock::now());
            auto reply = answer(path, form);
            std::string text = "HTTP/1.1 " + std::to_string(reply.first) +
                               " X\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
                               std::to_string(reply.second.size()) + "\r\n\r\n" + reply.second;
            write(c, text.data(), text.size());
            close(c);
            // It may put another in its place.
            std::function<void()> then = after;
            if (then) then();
        }
    }
    static size_t length(const std::string& in) {
        size_t at = in.find("Content-Length: ");
        return at == std::string::npos ? 0 : std::stoul(in.substr(at + 16));
    }
    Answer answer;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    unsigned short port = 0;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<Form> got;
    std::vector<std::chrono::steady_clock::time_point> times;
    std::thread thread;
};

std::string b64(const std::string& in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    out.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                                   reinterpret_cast<const unsigned char*>(in.data()),
                                                   static_cast<int>(in.size()))));
    return out;
}

const std::string capa = "+OK\r\nSASL PLAIN XOAUTH2\r\n.\r\n";

// A POP3S login with XOAUTH2 and the token, then an empty mailbox.
void poplogin(ScriptedServer& pop, const std::string& token) {
    pop.session().send("+OK hi\r\n").expect("CAPA\r\n").send(capa)
        .expect("AUTH XOAUTH2 " + b64("user=joe\x01" "auth=Bearer " + token + "\x01\x01") + "\r\n")
        .send("+OK in\r\n").expect("STAT\r\n").send("+OK 0 0\r\n").expect("QUIT\r\n").send("+OK bye\r\n");
}

struct Account {
    TempDir dir;
    std::string tokens = dir / "oauth2-default";
    std::string cfg = dir / "vorpa.cfg";
    explicit Account(const std::string& settings) {
        mkdir((dir / "soup").c_str(), 0700);
        writefile(cfg, "SOUPDIR " + dir / "soup" + "\nNEWSGROUPS " + dir / "newsrc\nCAFILE " VORPA_CERTS
                  "/ca.pem\nHOSTNAME me\nOAUTH2 custom\nOAUTH2CLIENTID cid\n" + settings);
    }
    void store(const std::string& text, mode_t mode = 0600) {
        writefile(tokens, text);
        chmod(tokens.c_str(), mode);
    }
    RunResult run(std::vector<std::string> args) {
        args.push_back("/config=" + cfg);
        return runvorpa(args, dir.path(), 30);
    }
};

std::string pop(const TokenServer& server) {
    return "POPHOST localhost\nPOPTLS on\nPOPUSER joe\nOAUTH2TOKENURL " + server.url("/token") + "\n";
}

}  // namespace

// A rotated refresh token is stored before the new access token logs in;
// a valid one costs no request; a refresh without rotation keeps the old;
// a refused one is not offered again.
TEST(OAuth, RefreshRotationAndTheStoredToken) {
    bool rotate = true;
    TokenServer server([&](const std::string&, const Form& f) {
        if (f.at("grant_type") != "refresh_token" || f.at("client_id") != "cid")
            return std::make_pair(400, std::string(R"({"error":"invalid_request"})"));
        std::string r = rotate ? R"(,"refresh_token":"rt2")" : "";
        return std::make_pair(200, R"({"access_token":"acc-)" + f.at("refresh_token") + R"(","expires_in":600)" + r + "}");
    });
    Account a(pop(server));
    a.store("refresh rt1\naccess old\nexpires 0\n");
    ScriptedServer pops(995);
    pops.tls();
    for (const char* token : {"acc-rt1", "acc-rt1", "acc-rt2"}) poplogin(pops, token);
    pops.session().send("+OK hi\r\n").expect("CAPA\r\n").send(capa).expectany()
        .send("-ERR [AUTH] Authentication failed.\r\n").drain();
    pops.start();
    RunResult first = a.run({"email", "fetch"});
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(readfile(a.tokens).substr(0, 35), "refresh rt2\naccess acc-rt1\nexpires ");
    struct stat st;
    ASSERT_EQ(stat(a.tokens.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(a.run({"email", "fetch"}).status, 0);
    EXPECT_EQ(server.requests().size(), 1u);
    server.change([&] { rotate = false; });
    a.store("refresh rt2\naccess acc-rt1\nexpires 100\n");
    RunResult third = a.run({"email", "fetch"});
    EXPECT_EQ(third.status, 0) << third.out;
    EXPECT_EQ(readfile(a.tokens).substr(0, 35), "refresh rt2\naccess acc-rt2\nexpires ");
    RunResult refused = a.run({"email", "fetch"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(readfile(a.tokens), "refresh rt2\naccess \nexpires 0\n");
    EXPECT_TRUE(pops.finish()) << pops.errortext();
    for (const RunResult* r : {&first, &third})
        EXPECT_EQ((r->out + r->err).find("acc-"), std::string::npos) << "a token shown:\n" << r->out;
}

// Killed right as the rotated token arrives: the file is the old one or
// the new one, whole, and the next run logs in (the old token is still
// good for a while, as at Microsoft).
TEST(OAuth, KilledWhileTheRotatedTokenArrives) {
    int next = 2;
    TokenServer server([&](const std::string&, const Form&) {
        return std::make_pair(200, R"({"access_token":"acc","expires_in":600,"refresh_token":"rt)" +
                                       std::to_string(next++) + "\"}");
    });
    Account a(pop(server));
    a.store("refresh rt1\naccess old\nexpires 0\n");
    server.change([&] {
        server.after = [&] {
            server.after = nullptr;
            kill(std::stoi(readfile(a.dir / "pid")), SIGKILL);
        };
    });
    RunResult killed = runprogram({"/bin/sh", "-c", "echo $$ > pid; exec " + vorpapath() + " email fetch /config=" + a.cfg},
                                  a.dir.path(), 30);
    EXPECT_EQ(killed.status, -1);
    std::string left = readfile(a.tokens);
    EXPECT_TRUE(left.rfind("refresh rt1\naccess old\n", 0) == 0 || left.rfind("refresh rt2\naccess acc\n", 0) == 0)
        << left;
    ScriptedServer pops(995);
    pops.tls();
    poplogin(pops, "acc");
    pops.start();
    RunResult after = a.run({"email", "fetch"});
    EXPECT_EQ(after.status, 0) << after.out;
    EXPECT_TRUE(pops.finish()) << pops.errortext();
}

// What ends the account's phases: one line each, and no password or
// token goes anywhere.
TEST(OAuth, WithdrawnUnreachableExposedMissing) {
    TokenServer server([](const std::string&, const Form&) {
        return std::make_pair(400, std::string(R"({"error":"invalid_grant","error_description":"revoked"})"));
    });
    Account a(pop(server) + "SMTPHOST localhost\nSMTPTLS on\nSMTPUSER joe\n");
    std::string mail = "From: joe@example.org\nTo: ann@example.org\n\nhi\n";
    writefile(a.dir / "soup/MAIL01.MSG", std::string("\0\0\0", 3) + static_cast<char>(mail.size()) + mail);
    writefile(a.dir / "soup/REPLIES", "MAIL01\tmail\tb\n");
    a.store("refresh rt1\naccess old\nexpires 0\n");
    RunResult withdrawn = a.run({"email"});
    EXPECT_EQ(withdrawn.status, 2);
    const std::string line = "\nThe authorization of account default was withdrawn or has expired: run vorpa "
                             "authorize default\n";
    size_t at = withdrawn.out.find(line);
    EXPECT_NE(at, std::string::npos) << withdrawn.out;
    EXPECT_EQ(withdrawn.out.find(line, at + 1), std::string::npos) << withdrawn.out;
    EXPECT_EQ(withdrawn.out.find("(skipping"), std::string::npos) << withdrawn.out;
    EXPECT_EQ(server.requests().size(), 1u);

    Account gone("POPHOST localhost\nPOPTLS on\nPOPUSER joe\nOAUTH2TOKENURL http://127.0.0.1:1/token\n");
    gone.store("refresh rt1\naccess old\nexpires 0\n");
    RunResult offline = gone.run({"email", "fetch"});
    EXPECT_EQ(offline.status, 75);
    EXPECT_NE(offline.out.find("OAuth2 token endpoint of account default cannot be reached: "), std::string::npos);

    // libcurl is loaded only for the request: a broken one fails that
    // alone, as this machine's fault.
    writefile(gone.dir / "libcurl.so.4", "");
    setenv("LD_LIBRARY_PATH", gone.dir.path().c_str(), 1);
    RunResult unloaded = gone.run({"email", "fetch"});
    unsetenv("LD_LIBRARY_PATH");
    EXPECT_EQ(unloaded.status, 2);
    EXPECT_NE(unloaded.out.find("\nOAuth2 token refresh of account default failed: cannot load " +
                                gone.dir / "libcurl.so.4: file too short\n"), std::string::npos) << unloaded.out;

    // A certificate refused is no failure that passes by itself.
    ScriptedServer https(0);
    https.tls("untrusted");
    https.session();
    https.start();
    Account refused("POPHOST localhost\nPOPTLS on\nPOPUSER joe\nOAUTH2TOKENURL https://localhost:" +
                    std::to_string(https.port()) + "/token\n");
    refused.store("refresh rt1\naccess old\nexpires 0\n");
    RunResult untrusted = refused.run({"email", "fetch"});
    EXPECT_EQ(untrusted.status, 2);
    EXPECT_NE(untrusted.out.find("OAuth2 token refresh of account default failed: SSL certificate problem"),
              std::string::npos) << untrusted.out;

    gone.store("refresh rt1\naccess old\nexpires 0\n", 0644);
    RunResult exposed = gone.run({"email", "fetch"});
    EXPECT_EQ(exposed.status, 2);
    EXPECT_NE(exposed.out.find(gone.tokens + " holds OAuth2 tokens and other users can read it: chmod 600 " +
                               gone.tokens + "\n"), std::string::npos) << exposed.out;
    unlink(gone.tokens.c_str());
    EXPECT_NE(gone.run({"email", "fetch"}).out.find("Account default is not authorized yet: run vorpa authorize "
                                                     "default\n"), std::string::npos);
}

// A server error passes by itself whatever its body (75); a token that
// would break the file's lines, or an answer no endpoint gives, is the
// provider's fault (2, one line), and the file stays as it was.
TEST(OAuth, ServerErrorsPassAndUnfitTokensAreNeverStored) {
    std::pair<int, std::string> next;
    TokenServer server([&](const std::string&, const Form&) { return next; });
    Account a(pop(server));
    const std::string stored = "refresh rt1\naccess old\nexpires 0\n";
    a.store(stored);
    const std::pair<int, std::string> passing[] = {
        {503, R"({"error":"temporarily_unavailable"})"},
        {500, R"({"error":"server_error","error_description":"try later"})"},
        {502, ""},
        {503, std::string(70000, 'x')},
    };
    for (const auto& answer : passing) {
        server.change([&] { next = answer; });
        RunResult r = a.run({"email", "fetch"});
        EXPECT_EQ(r.status, 75) << answer.first << " " << answer.second.substr(0, 60) << "\n" << r.out;
        EXPECT_NE(r.out.find("\nOAuth2 token endpoint of account default cannot be reached: "), std::string::npos)
            << r.out;
    }
    const std::pair<std::string, std::string> unfit[] = {
        {R"({"access_token":"acc","refresh_token":"rt\r\n2"})", "the answer holds a token with a control character"},
        {R"({"access_token":"a\u0000cc"})", "the answer holds a token with a control character"},
        {R"({"access_token":"acc","pad":")" + std::string(70000, 'x') + "\"}", "the answer is larger than 64 KB"},
    };
    for (const auto& answer : unfit) {
        server.change([&] { next = {200, answer.first}; });
        RunResult r = a.run({"email", "fetch"});
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find("\nOAuth2 token refresh of account default failed: " + answer.second + "\n\n"),
                  std::string::npos) << r.out;
        EXPECT_EQ(readfile(a.tokens), stored);
    }
}

// A token pasted as a password with the mechanism at auto is not sent;
// a password beside OAUTH2, or a provider unknown, refuses the run; the
// client secret is not shown.
TEST(OAuth, LongPasswordHintAndPasswordBesideOAuth2) {
    TempDir dir;
    mkdir((dir / "soup").c_str(), 0700);
    writefile(dir / "vorpa.cfg", "SOUPDIR " + dir / "soup" + "\nPOPHOST 127.0.0.1\nPOPUSER joe\nPOPPASS " +
                                     std::string(1536, 'x') + "\n");
    RunResult hint = runvorpa({"email", "fetch", "/config=" + dir / "vorpa.cfg"}, dir.path(), 30);
    EXPECT_EQ(hint.status, 2);
    EXPECT_NE(hint.out.find("POPPASS looks like an OAuth2 token (1536 characters): set POPAUTH xoauth2\n"),
              std::string::npos) << hint.out;
    Account a("SMTPHOST localhost\nSMTPUSER joe\nSMTPPASSCMD echo x\n");
    RunResult beside = a.run({"email"});
    EXPECT_EQ(beside.status, 1);
    EXPECT_NE(beside.err.find("Error: SMTPPASSCMD is set beside OAUTH2 in account default"), std::string::npos);
    Account b("OAUTH2 Yahoo\n");
    RunResult unknown = b.run({"email"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("Error: OAUTH2 must be one of google,microsoft,custom, not \"Yahoo\" in line 7"),
              std::string::npos) << unknown.err;
    Account c("OAUTH2CLIENTSECRET s3cr3t\nOAUTH2TOKENURL http://127.0.0.1:1/\n");
    RunResult shown = c.run({"--settings"});
    EXPECT_NE(shown.out.find("OAUTH2CLIENTSECRET (set)"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find("s3cr3t"), std::string::npos);
}

// Polls at the server's interval, slowed down when it says so; a code the
// user turned down ends it.
TEST(OAuth, DeviceGrant) {
    std::vector<std::string> polls = {R"({"error":"authorization_pending"})",
                                      R"({"error":"slow_down","interval":2})",
                                      R"({"access_token":"a","refresh_token":"r","expires_in":600})",
                                      R"({"error":"access_denied"})"};
    size_t polled = 0;
    TokenServer server([&](const std::string& path, const Form& f) {
        if (path == "/device")
            return std::make_pair(200, std::string(R"({"device_code":"dc","user_code":"BCDF-GHJK",)"
                                                   R"("verification_uri":"http://x/device","interval":0})"));
        bool ok = f.at("device_code") == "dc" && f.at("grant_type") == "urn:ietf:params:oauth:grant-type:device_code";
        if (!ok) return std::make_pair(400, std::string("{}"));
        size_t k = polled++;
        return std::make_pair(k == 2 ? 200 : 400, polls.at(k));
    });
    Account a("OAUTH2DEVICEURL " + server.url("/device") + "\nOAUTH2TOKENURL " + server.url("/token") +
              "\nOAUTH2SCOPE mail\n");
    RunResult r = a.run({"authorize"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Open http://x/device and enter BCDF-GHJK\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Account default is authorized: its tokens are in " + a.tokens + "\n"), std::string::npos);
    EXPECT_EQ(readfile(a.tokens).substr(0, 20), "refresh r\naccess a\ne");
    auto t = server.arrivals();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_GE(t[3] - t[2], std::chrono::milliseconds(1950));
    EXPECT_EQ(server.requests()[0].at("scope"), "mail");
    RunResult denied = a.run({"--authorize"});
    EXPECT_EQ(denied.status, 2);
    EXPECT_NE(denied.out.find("The authorization of account default was denied\n"), std::string::npos);
}

// The browser comes back with the state sent, and the code is exchanged
// with the verifier of the challenge; a wrong state or verifier fails.
TEST(OAuth, LoopbackGrant) {
    std::string challenge;
    bool wrongverifier = false;
    TokenServer server([&](const std::string&, const Form& f) {
        unsigned char d[SHA256_DIGEST_LENGTH];
        const std::string& v = f.at("code_verifier");
        SHA256(reinterpret_cast<const unsigned char*>(v.data()), v.size(), d);
        std::string s = b64(std::string(reinterpret_cast<char*>(d), sizeof d));
        for (char& c : s) c = c == '+' ? '-' : c == '/' ? '_' : c;
        s.erase(s.find('='));
        if (s != challenge || wrongverifier || f.at("code") != "c1")
            return std::make_pair(400, std::string(R"({"error":"invalid_grant"})"));
        return std::make_pair(200, std::string(R"({"access_token":"a","refresh_token":"r","expires_in":600})"));
    });
    Account a("OAUTH2AUTHURL http://auth.example/authorize\nOAUTH2TOKENURL " + server.url("/token") + "\n");
    writefile(a.dir / "xdg-open", "#!/bin/sh\nprintf %s \"$1\" > " + a.dir / "url.tmp && mv " + a.dir / "url.tmp " +
                                      a.dir / "url\n");
    chmod((a.dir / "xdg-open").c_str(), 0755);
    setenv("PATH", (a.dir.path() + ":" + getenv("PATH")).c_str(), 1);
    setenv("DISPLAY", ":9", 1);
    // The browser: sends the redirect back, with the state given or not.
    auto browse = [&](bool rightstate) {
        for (int i = 0; i < 500 && !fileexists(a.dir / "url"); i++) usleep(10000);
        Form q = parseform(readfile(a.dir / "url").substr(readfile(a.dir / "url").find('?') + 1));
        unlink((a.dir / "url").c_str());
        server.change([&] { challenge = q["code_challenge"]; });
        EXPECT_EQ(q["code_challenge_method"], "S256");
        std::string redirect = q["redirect_uri"];
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = htons(static_cast<unsigned short>(std::stoi(redirect.substr(17))));
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
        std::string get = "GET /?state=" + (rightstate ? q["state"] : "x") + "&code=c1 HTTP/1.1\r\n\r\n";
        write(fd, get.data(), get.size());
        char buf[512] = "";
        read(fd, buf, sizeof buf - 1);
        close(fd);
        return std::string(buf);
    };
    for (int round = 0; round < 3; round++) {
        server.change([&] { wrongverifier = round == 1; });
        std::string page;
        std::thread browser([&] { page = browse(round != 0); });
        RunResult r = a.run({"authorize"});
        browser.join();
        const char* said[] = {"failed: the browser's answer does not carry the state Vorpa sent\n",
                              "failed: invalid_grant\n", "Account default is authorized"};
        EXPECT_NE(r.out.find(said[round]), std::string::npos) << r.out;
        EXPECT_EQ(r.status, round == 2 ? 0 : 2);
        EXPECT_EQ(fileexists(a.tokens), round == 2);
        EXPECT_EQ(page.rfind(round == 0 ? "HTTP/1.1 400" : "HTTP/1.1 200", 0), 0u) << page;
    }
    EXPECT_EQ(server.requests().size(), 2u);
}
