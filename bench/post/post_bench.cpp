// Post benchmark: vorpa posts 50 mails and 50 news articles (about 3 KB
// each, one outgoing packet file per kind in the rnews format) to servers
// in this process, in a private network namespace:
//   (a) mail on loopback, (b) mail behind a relay that delays each
//   direction by 100 ms, (c) news on loopback, (d) news behind the relay;
// and mails of about 5 KB to a server that also offers CHUNKING: (e) 20
// and (f) 50 behind the relay, (g) 50 on loopback; (h) 5 news articles
// behind the relay.
// The mail server offers PIPELINING and AUTH PLAIN, and vorpa logs in, so
// that it speaks EHLO. The news server writes each answer in two parts, as
// INN does. Both servers keep what they took in, checked byte for byte
// against what must be on the wire, and count the commands or text that
// came before the answer they must wait for. Prints wall time, CPU time and
// peak resident memory of vorpa beside the wall time of a bare client that
// speaks the same dialogue with all the pipelining the protocol allows.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "benchkit.h"

namespace {

struct Scenario {
    const char* name;
    bool mail;    // else news
    int delayms;  // each way; 0 for none
    int runs;
    double target;  // seconds, 0 for none
    int messages = 50;
    size_t size = 3000;     // of each message, about
    bool chunking = false;  // the mail server offers CHUNKING
};

const Scenario scenarios[] = {
    {"a", true, 0, 5, 0},
    {"b", true, 100, 1, 12},
    {"c", false, 0, 5, 0.5},
    {"d", false, 100, 1, 12},
    {"e", true, 100, 3, 2.5, 20, 5000, true},
    {"f", true, 100, 3, 3, 50, 5000, true},
    {"g", true, 0, 5, 0, 50, 5000, true},
    {"h", false, 100, 3, 0, 5},
};

// Message n as stored in the packet file: LF line ends, a body of
// 68-character lines, every tenth of them starting with a dot.
std::string message(bool mail, int n, size_t size) {
    std::string num = std::to_string(n);
    std::string text = mail ? "From: Bench Sender <sender@example.org>\nTo: one@example.org, Two <two@example.org>\n"
                            : "From: bench@example.org\nNewsgroups: bench.test\n";
    text += "Subject: benchmark " + num + "\nMessage-ID: <" + num + "@bench.test>\n\n";
    for (int i = 0; text.size() < size; i++) {
        std::string line(68, static_cast<char>('a' + (n + i) % 26));
        if (i % 10 == 0) line[0] = '.';
        text += line + "\n";
    }
    return text;
}

// The same message after BDAT: CR LF line ends.
std::string plain(const std::string& stored) {
    std::string out;
    for (char c : stored) out += c == '\n' ? "\r\n" : std::string(1, c);
    return out;
}

// A plain text after DATA: dots stuffed, the end line.
std::string stuffed(const std::string& text) {
    std::string out;
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        if (text[at] == '.') out += '.';
        out.append(text, at, text.find('\n', at) + 1 - at);
    }
    return out + ".\r\n";
}

std::string wire(const std::string& stored) { return stuffed(plain(stored)); }

// What a server took in: for each message its envelope (mail) and text as
// it came, and the commands or texts sent before the answer they must wait
// for.
struct Received {
    std::vector<std::string> messages;
    int early = 0;
    bool quit = false;
};

// Lines up to and including ".\r\n".
bool taketext(LineReader& in, std::string& text) {
    std::string line;
    text.clear();
    while (in.line(line)) {
        text += line;
        if (line == ".\r\n") return true;
    }
    return false;
}

std::string address(const std::string& line) {
    size_t from = line.find(':') + 1;
    size_t to = line.find_last_not_of("\r\n") + 1;
    std::string a = line.substr(from, to - from);
    if (a.size() >= 2 && a.front() == '<' && a.back() == '>') a = a.substr(1, a.size() - 2);
    return a;
}

// One SMTP session. Answers go out when nothing more has arrived, as a
// pipelining server sends them; after the commands that must end a group,
// at once. With chunking, CHUNKING is offered and BDAT taken: its chunk
// is kept stuffed, to compare as DATA's text.
void servemail(int listener, Received& got, bool chunking) {
    got = Received();
    int fd = acceptbounded(listener);
    if (fd < 0) return;
    LineReader in(fd);
    std::string line, out, envelope, text;
    bool pipelining = false;
    bool ok = sendall(fd, "220 bench ESMTP\r\n");
    while (ok && in.line(line)) {
        std::string verb = line.substr(0, 4);
        for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        // Without PIPELINING every command ends a group.
        bool last = !pipelining || (verb != "MAIL" && verb != "RCPT" && verb != "RSET" && verb != "BDAT");
        if (last && in.ahead()) got.early++;
        if (verb == "EHLO") {
            pipelining = true;
            out += std::string("250-bench\r\n250-PIPELINING\r\n") + (chunking ? "250-CHUNKING\r\n" : "") +
                   "250-AUTH PLAIN\r\n250 8BITMIME\r\n";
        } else if (verb == "HELO") {
            out += "250 bench\r\n";
        } else if (line.compare(0, 11, "AUTH PLAIN ") == 0) {
            out += "235 welcome\r\n";
        } else if (verb == "MAIL" && envelope.empty()) {
            envelope = "from " + address(line) + "\n";
            out += "250 sender ok\r\n";
        } else if (verb == "RCPT" && !envelope.empty()) {
            envelope += "to " + address(line) + "\n";
            out += "250 recipient ok\r\n";
        } else if (verb == "DATA" && envelope.find("\nto ") != std::string::npos) {
            ok = sendall(fd, out + "354 go ahead\r\n") && taketext(in, text);
            out = "250 queued\r\n";
            // With PIPELINING the next group may follow the text.
            last = !pipelining;
            if (last && in.ahead()) got.early++;
            got.messages.push_back(envelope + text);
            envelope.clear();
        } else if (chunking && line.compare(0, 5, "BDAT ") == 0 && line.find(" LAST\r\n") != std::string::npos) {
            ok = in.bytes(std::stoul(line.substr(5)), text);
            bool taken = envelope.find("\nto ") != std::string::npos;
            out += taken ? "250 queued\r\n" : "554 no valid recipients\r\n";
            if (taken) got.messages.push_back(envelope + stuffed(text));
            envelope.clear();
        } else if (verb == "RSET") {
            envelope.clear();
            out += "250 reset\r\n";
        } else if (verb == "QUIT") {
            got.quit = sendall(fd, out + "221 bye\r\n");
            break;
        } else {
            out += "503 bad sequence\r\n";
        }
        if (ok && (last || !in.ahead())) {
            ok = sendall(fd, out);
            out.clear();
        }
    }
    close(fd);
}

// One NNTP session of POSTs. Answers go out in two parts, code and words.
void servenews(int listener, Received& got) {
    got = Received();
    int fd = acceptbounded(listener);
    if (fd < 0) return;
    LineReader in(fd);
    std::string line, text;
    bool ok = sendall(fd, "200 bench server ready, posting allowed\r\n");
    while (ok && in.line(line)) {
        if (line == "POST\r\n") {
            // The text must wait for the 340.
            if (in.ahead()) got.early++;
            ok = sendall(fd, "340") && sendall(fd, " send article\r\n") && taketext(in, text) && sendall(fd, "240") &&
                 sendall(fd, " article posted\r\n");
            got.messages.push_back(text);
        } else if (line == "QUIT\r\n") {
            got.quit = sendall(fd, "205 bye\r\n");
            break;
        } else {
            ok = sendall(fd, "500 what?\r\n");
        }
    }
    close(fd);
}

// An SMTP reply's last line; false when the connection ends first.
bool reply(LineReader& in, std::string& line) {
    while (in.line(line))
        if (line.size() < 4 || line[3] != '-') return true;
    return false;
}

// The bare clients, with all the pipelining the protocol allows: each
// text goes out together with the next message's commands (for mail MAIL,
// RCPT, RCPT and DATA; for news POST), or with QUIT after the last one. So
// each message costs one round trip. False when an answer is not the one
// wanted.
bool baremail(unsigned short port, const std::vector<std::string>& texts) {
    int fd = connectloopback(port);
    if (fd < 0) return false;
    LineReader in(fd);
    std::string line;
    const std::string group =
        "MAIL FROM:<sender@example.org>\r\nRCPT TO:<one@example.org>\r\n"
        "RCPT TO:<two@example.org>\r\nDATA\r\n";
    const char* groupanswers[] = {"250", "250", "250", "354"};
    bool ok = reply(in, line) && sendall(fd, "EHLO client.bench.test\r\n") && reply(in, line) &&
              sendall(fd, "AUTH PLAIN AGJlbmNoAHNlY3JldA==\r\n") && reply(in, line) && sendall(fd, group);
    for (size_t i = 0; ok && i <= texts.size(); i++) {
        if (i > 0) {
            ok = sendall(fd, wire(texts[i - 1]) + (i < texts.size() ? group : "QUIT\r\n")) && reply(in, line) &&
                 line.compare(0, 3, "250") == 0;
        }
        for (const char* code : groupanswers)
            if (ok && i < texts.size()) ok = reply(in, line) && line.compare(0, 3, code) == 0;
    }
    ok = ok && reply(in, line) && line.compare(0, 3, "221") == 0;
    close(fd);
    return ok;
}

// With CHUNKING: every message right behind the login, each as MAIL,
// RCPT, RCPT, BDAT and its text, then QUIT; the answers read after that.
bool barechunks(unsigned short port, const std::vector<std::string>& texts) {
    int fd = connectloopback(port);
    if (fd < 0) return false;
    LineReader in(fd);
    std::string line, all;
    for (const std::string& text : texts) {
        std::string chunk = plain(text);
        all += "MAIL FROM:<sender@example.org>\r\nRCPT TO:<one@example.org>\r\nRCPT TO:<two@example.org>\r\n"
               "BDAT " + std::to_string(chunk.size()) + " LAST\r\n" + chunk;
    }
    bool ok = reply(in, line) && sendall(fd, "EHLO client.bench.test\r\n") && reply(in, line) &&
              sendall(fd, "AUTH PLAIN AGJlbmNoAHNlY3JldA==\r\n") && reply(in, line) && sendall(fd, all + "QUIT\r\n");
    for (size_t i = 0; ok && i < 4 * texts.size(); i++) ok = reply(in, line) && line.compare(0, 3, "250") == 0;
    ok = ok && reply(in, line) && line.compare(0, 3, "221") == 0;
    close(fd);
    return ok;
}

bool barenews(unsigned short port, const std::vector<std::string>& texts) {
    int fd = connectloopback(port);
    if (fd < 0) return false;
    LineReader in(fd);
    std::string line;
    bool ok = in.line(line) && sendall(fd, "POST\r\n") && in.line(line) && line.compare(0, 3, "340") == 0;
    for (size_t i = 0; ok && i < texts.size(); i++) {
        bool more = i + 1 < texts.size();
        ok = sendall(fd, wire(texts[i]) + (more ? "POST\r\n" : "QUIT\r\n")) && in.line(line) &&
             line.compare(0, 3, "240") == 0 && in.line(line) && line.compare(0, 3, more ? "340" : "205") == 0;
    }
    close(fd);
    return ok;
}

// Whether the server took in every message once, in order, as it must be
// on the wire; says what is wrong when not.
bool check(const Received& got, const std::vector<std::string>& texts, bool mail, const char* who) {
    int good = 0;
    for (size_t i = 0; i < texts.size() && i < got.messages.size(); i++) {
        std::string want = mail ? "from sender@example.org\nto one@example.org\nto two@example.org\n" : "";
        good += got.messages[i] == want + wire(texts[i]);
    }
    bool ok = good == static_cast<int>(texts.size()) && got.messages.size() == texts.size() && got.early == 0 && got.quit;
    if (!ok)
        std::printf("  %s: the server took %zu messages, %d of them right, %d sent early, %s\n", who,
                    got.messages.size(), good, got.early, got.quit ? "QUIT" : "no QUIT");
    return ok;
}

bool run(const Scenario& sc, const std::string& dir) {
    std::vector<std::string> texts;
    std::string packet;
    for (int n = 1; n <= sc.messages; n++) {
        texts.push_back(message(sc.mail, n, sc.size));
        packet += "#! rnews " + std::to_string(texts.back().size()) + "\n" + texts.back();
    }
    unsigned short serverport;
    int listener = listenloopback(serverport);
    std::unique_ptr<Relay> relay;
    if (sc.delayms > 0) relay = std::make_unique<Relay>(serverport, std::chrono::milliseconds(sc.delayms));
    std::string port = std::to_string(relay ? relay->port : serverport);
    std::string soup = dir + "/soup/";
    mkdir(soup.c_str(), 0700);
    std::string prefix = sc.mail ? "MAIL01" : "NEWS01";
    writewhole(dir + "/vorpa.cfg", sc.mail ? "HOSTNAME client.bench.test\nSMTPHOST 127.0.0.1:" + port +
                                                 "\nSMTPUSER bench\nSMTPPASS secret\nADDHEADERS off\nSOUPDIR " + soup + "\n"
                                           : "NNTPHOST 127.0.0.1:" + port + "\nADDHEADERS off\nSOUPDIR " + soup + "\n");
    auto serve = [&sc, listener](Received& got) {
        if (sc.mail) {
            servemail(listener, got, sc.chunking);
        } else {
            servenews(listener, got);
        }
    };

    Figures runs;
    bool ok = true;
    for (int i = 0; i < sc.runs; i++) {
        writewhole(soup + prefix + ".MSG", packet);
        writewhole(soup + "REPLIES", prefix + (sc.mail ? "\tmail\tu\n" : "\tnews\tu\n"));
        Received got;
        std::thread server(serve, std::ref(got));
        Measure m = runvorpa({sc.mail ? "email" : "news", "post", "/config=" + dir + "/vorpa.cfg"}, dir, 300);
        server.join();
        runs.vorpa.push_back(m);
        // Everything sent: the packet file and REPLIES are gone.
        bool sent =
            access((soup + prefix + ".MSG").c_str(), F_OK) != 0 && access((soup + "REPLIES").c_str(), F_OK) != 0;
        if (!check(got, texts, sc.mail, "vorpa") || m.status != 0 || !sent) {
            ok = false;
            std::printf("  vorpa run failed (exit %d, files %s); its output:\n%s\n", m.status,
                        sent ? "removed" : "left", readwhole(dir + "/output").c_str());
        }

        std::thread bareserver(serve, std::ref(got));
        Clock::time_point start = Clock::now();
        auto bare = !sc.mail ? barenews : sc.chunking ? barechunks : baremail;
        bool bareok = bare(std::stoi(port), texts);
        runs.bare.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        bareserver.join();
        if (!check(got, texts, sc.mail, "bare client") || !bareok) ok = false;
    }
    relay.reset();
    close(listener);
    std::system(("rm -rf '" + soup + "'").c_str());

    std::printf("(%s) %d %s of about %zu KB posted%s, %s; %s\n", sc.name, sc.messages,
                sc.mail ? "mails" : "news articles", sc.size / 1000, sc.chunking ? " (CHUNKING offered)" : "",
                sc.delayms > 0 ? (std::to_string(sc.delayms) + " ms each way").c_str() : "on loopback",
                runsof(sc.runs).c_str());
    printfigures(runs, sc.messages, "messages", sc.target);
    std::printf("  check:       %s\n",
                ok ? "passed (every message received once, byte for byte, none early)" : "FAILED");
    return ok;
}

}  // namespace

// With an argument "a" to "g", runs only that scenario.
int main(int argc, char** argv) {
    isolate();
    std::string only = argc > 1 ? argv[1] : "";
    std::string dir = tempdir("vorpa-postbench");
    std::printf("vorpa: %s\n", vorpabinary());
    bool ok = true;
    for (const Scenario& sc : scenarios)
        if (only.empty() || only == sc.name) ok = run(sc, dir) && ok;
    std::system(("rm -rf '" + dir + "'").c_str());
    return ok ? 0 : 1;
}
