// The demo: Vorpa's whole job on this machine with nothing to set up. Small
// POP3, SMTP and NNTP servers of our own listen on free ports of 127.0.0.1
// with a sample mailbox and two sample newsgroups, a packet holds two mails
// and an article to send, one "vorpa all" runs against them, and then the
// packet, the newsgroups state file and what each server received are shown.
//
//   vorpa-demo <vorpa program> <folder>
//
// Everything lands in the folder. The servers live in this process and
// vorpa is its child, which dies with it: nothing is left running however
// the demo ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char marker[] = ".vorpa-demo";  // a folder the demo made and may wipe
const int idlems = 30000;              // a client silent this long is dropped
const long runms = 300000;             // vorpa's own waits end well before

long long nowms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// ---- Sample data. Texts use LF; the wire gets CR LF.

std::string header(const std::string& from, const std::string& subject, const std::string& date) {
    return "From: " + from + "\nSubject: " + subject + "\nDate: " + date + "\n";
}

// A date of December 2026, whose 7th is a Monday.
std::string date(int day, int minute) {
    static const char* const weekday[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    char text[48];
    std::snprintf(text, sizeof text, "%s, %02d Dec 2026 %02d:%02d:00 +0000", weekday[(day + 28) % 7], day,
                  8 + minute / 60, minute % 60);
    return text;
}

std::vector<std::string> samplemailbox() {
    const char* const from[] = {"Alice Example <alice@example.org>", "Bob Sample <bob@example.net>",
                                "Carol Test <carol@example.com>", "News Letter <letters@example.org>"};
    const char* const subject[] = {"Lunch on Friday?", "Minutes of Monday's meeting", "Photos from the trip",
                                   "Your weekly digest", "Re: The offline reader", "Invoice 2026-117",
                                   "Train times", "Re: Lunch on Friday?", "Book recommendation",
                                   "Meeting moved to 3 pm", "Garden club", "Happy holidays!"};
    std::vector<std::string> box;
    for (int i = 0; i < 12; i++) {
        std::string text = header(from[i % 4], subject[i], date(7 + i / 4, 17 * i)) +
                           "To: Demo User <demo@client.example.org>\nMessage-ID: <mail" + std::to_string(i + 1) +
                           "@example.org>\n\nHello,\n\n";
        for (int line = 0; line <= i % 5; line++)
            text += "This is line " + std::to_string(line + 1) + " of a sample mail.\n";
        // A line that starts with a dot, which the wire must stuff.
        if (i == 4) text += ".signature follows\n";
        text += "\n-- \n" + std::string(from[i % 4]).substr(0, std::string(from[i % 4]).find(' ')) + "\n";
        box.push_back(text);
    }
    return box;
}

std::vector<std::string> samplegroup(const std::string& name, int count, const std::vector<std::string>& topics) {
    const char* const from[] = {"Dan Poster <dan@example.net>", "Eve Reader <eve@example.com>",
                                "Frank Writer <frank@example.org>"};
    std::vector<std::string> articles;
    for (int n = 1; n <= count; n++) {
        const std::string& topic = topics[(n - 1) % topics.size()];
        bool reply = static_cast<size_t>(n) > topics.size();
        articles.push_back(header(from[n % 3], (reply ? "Re: " : "") + topic, date(1 + n / 6, 7 * n)) +
                           "Newsgroups: " + name + "\nMessage-ID: <" + std::to_string(n) + "." + name +
                           "@news.example.org>\nPath: news.example.org!not-for-mail\n\nArticle " +
                           std::to_string(n) + " of " + name + ", about " + topic + ".\n");
    }
    return articles;
}

const char outgoingmail[] =
    "From: Demo User <demo@client.example.org>\nTo: Alice Example <alice@example.org>\n"
    "Subject: Re: Lunch on Friday?\n\nFriday suits me. See you at noon!\n";
const char outgoingmail2[] =
    "From: Demo User <demo@client.example.org>\nTo: Bob Sample <bob@example.net>\n"
    "Cc: Carol Test <carol@example.com>\nSubject: Notes for the next meeting\n\nTwo points for the agenda:\n"
    "1. the offline reader\n2. the garden club\n";
const char outgoingarticle[] =
    "From: Demo User <demo@client.example.org>\nNewsgroups: demo.talk\n"
    "Subject: Re: Reading news on the train\n\nI fetch before I leave and read on the way.\n";

// ---- Wire helpers

// LF lines as CR LF, dot-stuffed, with the terminating line.
std::string wire(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (text[at] == '.') out += '.';
        out.append(text, at, end - at);
        out += "\r\n";
        at = end + 1;
    }
    return out + ".\r\n";
}

size_t octets(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return text.size() + lines;
}

// The value of a header line of a LF text, empty when there is none.
std::string field(const std::string& text, const std::string& name) {
    size_t at = 0;
    while (at < text.size() && text[at] != '\n') {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (text.compare(at, name.size(), name) == 0 && text.compare(at + name.size(), 1, ":") == 0) {
            size_t value = text.find_first_not_of(' ', at + name.size() + 1);
            return value < end ? text.substr(value, end - value) : "";
        }
        at = end + 1;
    }
    return "";
}

// One client connection: lines in, replies out, every byte received kept.
class Client {
public:
    Client(int fd, std::string& transcript) : fd(fd), transcript(transcript) {}
    ~Client() { close(fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // The next line without its line end; false at the end, on an error or
    // after a long silence.
    bool line(std::string& out) {
        for (;;) {
            size_t lf = buffer.find('\n');
            if (lf != std::string::npos) {
                out = buffer.substr(0, lf > 0 && buffer[lf - 1] == '\r' ? lf - 1 : lf);
                buffer.erase(0, lf + 1);
                return true;
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, idlems) != 1) return false;
            char chunk[4096];
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffer.append(chunk, static_cast<size_t>(n));
            transcript.append(chunk, static_cast<size_t>(n));
        }
    }
    // The lines up to "." (a message after DATA or POST), unstuffed, LF.
    bool text(std::string& out) {
        out.clear();
        std::string l;
        while (line(l)) {
            if (l == ".") return true;
            out += (l[0] == '.' ? l.substr(1) : l) + "\n";
        }
        return false;
    }
    void send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;  // the client went away; its next read says so
            done += static_cast<size_t>(n);
        }
    }

private:
    int fd;
    std::string& transcript;
    std::string buffer;
};

// The command word in upper case and the rest.
void split(const std::string& line, std::string& verb, std::string& arg) {
    size_t space = line.find(' ');
    verb = line.substr(0, space);
    for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    arg = space == std::string::npos ? "" : line.substr(space + 1);
}

// The address of "FROM:<a@b>" or "TO:<c@d>".
std::string path(const std::string& arg) {
    size_t open = arg.find('<');
    size_t close = arg.find('>', open);
    return open == std::string::npos || close == std::string::npos ? "" : arg.substr(open + 1, close - open - 1);
}

// ---- The three servers

struct Pop3 {
    std::vector<std::string> mailbox = samplemailbox();
    std::string transcript;
    std::string user;
    int retrieved = 0;
    int deleted = 0;

    void serve(Client& c) {
        std::vector<bool> marked(mailbox.size(), false);
        // A message number of this session, or -1.
        auto message = [&](const std::string& arg) {
            long n = std::atol(arg.c_str());
            return n >= 1 && n <= static_cast<long>(mailbox.size()) && !marked[n - 1] ? static_cast<int>(n - 1) : -1;
        };
        c.send("+OK Vorpa demo POP3 server ready\r\n");
        std::string l, verb, arg;
        while (c.line(l)) {
            split(l, verb, arg);
            if (verb == "USER") {
                user = arg;
                c.send("+OK\r\n");
            } else if (verb == "PASS") {
                c.send(user == "demo" && arg == "demo" ? "+OK logged in\r\n" : "-ERR wrong user or password\r\n");
            } else if (verb == "CAPA") {
                c.send("+OK\r\nUSER\r\nPIPELINING\r\n.\r\n");
            } else if (verb == "STAT" || verb == "LIST") {
                size_t count = 0, total = 0;
                std::string list;
                for (size_t i = 0; i < mailbox.size(); i++) {
                    if (marked[i]) continue;
                    count++;
                    total += octets(mailbox[i]);
                    list += std::to_string(i + 1) + " " + std::to_string(octets(mailbox[i])) + "\r\n";
                }
                if (verb == "STAT") {
                    c.send("+OK " + std::to_string(count) + " " + std::to_string(total) + "\r\n");
                } else {
                    c.send("+OK " + std::to_string(count) + " messages\r\n" + list + ".\r\n");
                }
            } else if (verb == "RETR" && message(arg) >= 0) {
                const std::string& text = mailbox[message(arg)];
                c.send("+OK " + std::to_string(octets(text)) + " octets\r\n" + wire(text));
                retrieved++;
            } else if (verb == "DELE" && message(arg) >= 0) {
                marked[message(arg)] = true;
                c.send("+OK deleted\r\n");
            } else if (verb == "NOOP") {
                c.send("+OK\r\n");
            } else if (verb == "RSET") {
                marked.assign(mailbox.size(), false);
                c.send("+OK\r\n");
            } else if (verb == "QUIT") {
                // Deletions take effect only now.
                for (size_t i = mailbox.size(); i-- > 0;) {
                    if (!marked[i]) continue;
                    mailbox.erase(mailbox.begin() + static_cast<long>(i));
                    deleted++;
                }
                c.send("+OK bye\r\n");
                return;
            } else {
                c.send("-ERR not here\r\n");
            }
        }
    }
};

struct Smtp {
    struct Message {
        std::string from, to, text;
    };
    std::vector<Message> received;
    std::string transcript;

    void serve(Client& c) {
        c.send("220 demo.invalid Vorpa demo SMTP server ready\r\n");
        Message next;
        std::string l, verb, arg;
        while (c.line(l)) {
            split(l, verb, arg);
            if (verb == "HELO" || verb == "NOOP") {
                c.send("250 demo.invalid\r\n");
            } else if (verb == "EHLO") {
                c.send("250-demo.invalid\r\n250 8BITMIME\r\n");
            } else if (verb == "MAIL") {
                next = Message{path(arg), "", ""};
                c.send("250 sender ok\r\n");
            } else if (verb == "RCPT") {
                next.to += (next.to.empty() ? "" : ", ") + path(arg);
                c.send("250 recipient ok\r\n");
            } else if (verb == "DATA" && !next.to.empty()) {
                c.send("354 end with a line holding a dot\r\n");
                if (!c.text(next.text)) return;
                received.push_back(next);
                next = Message();
                c.send("250 queued\r\n");
            } else if (verb == "RSET") {
                next = Message();
                c.send("250 reset\r\n");
            } else if (verb == "QUIT") {
                c.send("221 bye\r\n");
                return;
            } else {
                c.send("503 not now\r\n");
            }
        }
    }
};

struct Nntp {
    std::map<std::string, std::vector<std::string>> groups = {
        {"demo.announce", samplegroup("demo.announce", 8,
                                      {"Release 1.0 of the offline reader", "Server maintenance on Sunday",
                                       "New group: demo.talk", "Welcome to the demo"})},
        {"demo.talk", samplegroup("demo.talk", 24, {"Reading news on the train", "Which reader do you use?",
                                                    "Packet sizes", "Favourite newsgroups", "Signatures",
                                                    "Quoting style"})},
    };
    std::vector<std::string> posted;
    int served = 0;
    std::string transcript;

    void serve(Client& c) {
        c.send("200 Vorpa demo news server ready, posting allowed\r\n");
        const std::vector<std::string>* current = nullptr;
        std::string l, verb, arg;
        while (c.line(l)) {
            split(l, verb, arg);
            if (verb == "MODE") {
                c.send("200 reader\r\n");
            } else if (verb == "GROUP") {
                auto g = groups.find(arg);
                if (g == groups.end()) {
                    c.send("411 no such group\r\n");
                    continue;
                }
                current = &g->second;
                size_t n = current->size();
                c.send("211 " + std::to_string(n) + " 1 " + std::to_string(n) + " " + arg + "\r\n");
            } else if (verb == "ARTICLE" && current) {
                long n = std::atol(arg.c_str());
                if (n < 1 || n > static_cast<long>(current->size())) {
                    c.send("423 no such article\r\n");
                    continue;
                }
                const std::string& text = (*current)[n - 1];
                c.send("220 " + arg + " " + field(text, "Message-ID") + "\r\n" + wire(text));
                served++;
            } else if (verb == "LIST") {
                std::string list = "215 list follows\r\n";
                for (const auto& g : groups) list += g.first + " " + std::to_string(g.second.size()) + " 1 y\r\n";
                c.send(list + ".\r\n");
            } else if (verb == "NEWGROUPS") {
                c.send("231 none\r\n.\r\n");
            } else if (verb == "POST") {
                c.send("340 send the article\r\n");
                std::string text;
                if (!c.text(text)) return;
                posted.push_back(text);
                // Posted here, it can be fetched at once, as on a real server.
                auto g = groups.find(field(text, "Newsgroups"));
                if (g != groups.end()) g->second.push_back(text);
                c.send("240 article posted\r\n");
            } else if (verb == "QUIT") {
                c.send("205 bye\r\n");
                return;
            } else {
                c.send("500 not here\r\n");
            }
        }
    }
};

// ---- Set-up and the run

bool save(const fs::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (out) return true;
    std::fprintf(stderr, "vorpa-demo: cannot write %s\n", path.c_str());
    return false;
}

std::string load(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string record(const std::string& text) {
    uint32_t n = static_cast<uint32_t>(text.size());
    return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)} +
           text;
}

// A listening socket on a free port of 127.0.0.1; -1 on failure.
int listenfree(unsigned short& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

// An empty folder of our own: a folder of an earlier demo is wiped, any
// other that holds something is left alone.
bool makefolder(const fs::path& folder) {
    std::error_code ec;
    if (fs::exists(folder, ec) && !fs::is_empty(folder, ec)) {
        if (!fs::exists(folder / marker, ec)) {
            std::fprintf(stderr, "vorpa-demo: %s holds files of something else; not touching it\n", folder.c_str());
            return false;
        }
        fs::remove_all(folder, ec);
    }
    if (!fs::create_directories(folder / "packet", ec) || !fs::create_directory(folder / "server", ec)) {
        std::fprintf(stderr, "vorpa-demo: cannot make %s: %s\n", folder.c_str(), ec.message().c_str());
        return false;
    }
    return save(folder / marker, "");
}

struct Servers {
    Pop3 pop3;
    Smtp smtp;
    Nntp nntp;
    int fd[3] = {-1, -1, -1};
    unsigned short port[3] = {0, 0, 0};

    ~Servers() {
        finish();
        for (int f : fd)
            if (f >= 0) close(f);
    }
    bool listen() {
        for (int i = 0; i < 3; i++) {
            fd[i] = listenfree(port[i]);
            if (fd[i] < 0) {
                std::perror("vorpa-demo: listen on 127.0.0.1");
                return false;
            }
        }
        return true;
    }
    // Serves the connections that wait, the three servers at the same
    // time (the client opens its connections at once), each server's one
    // after the other.
    void serveready(int waitms) {
        pollfd p[3];
        for (int i = 0; i < 3; i++) p[i] = {busy[i] ? -1 : fd[i], POLLIN, 0};
        if (poll(p, 3, waitms) <= 0) return;
        for (int i = 0; i < 3; i++) {
            if (!(p[i].revents & POLLIN)) continue;
            int conn = accept4(fd[i], nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            if (serving[i].joinable()) serving[i].join();
            busy[i] = true;
            serving[i] = std::thread([this, i, conn] {
                serve(i, conn);
                busy[i] = false;
            });
        }
    }
    // Once the client is gone: what the servers hold is whole.
    void finish() {
        for (std::thread& t : serving)
            if (t.joinable()) t.join();
    }

private:
    std::thread serving[3];
    std::atomic<bool> busy[3] = {{false}, {false}, {false}};

    void serve(int i, int conn) {
        if (i == 0) {
            Client c(conn, pop3.transcript);
            pop3.serve(c);
        } else if (i == 1) {
            Client c(conn, smtp.transcript);
            smtp.serve(c);
        } else {
            Client c(conn, nntp.transcript);
            nntp.serve(c);
        }
    }
};

bool setup(const fs::path& folder, const Servers& s) {
    // The demo's letters go as written, so that what the servers got reads as the packet does.
    std::string config = "; Written by the demo: servers on this machine\nHOSTNAME client.example.org\nADDHEADERS off\n";
    config += "POPHOST 127.0.0.1:" + std::to_string(s.port[0]) + "\nPOPUSER demo\nPOPPASS demo\n";
    config += "SMTPHOST 127.0.0.1:" + std::to_string(s.port[1]) + "\n";
    config += "NNTPHOST 127.0.0.1:" + std::to_string(s.port[2]) + "\n";
    config += "SOUPDIR " + (folder / "packet").string() + "\nNEWSGROUPS " + (folder / "newsrc").string() +
              "\nLOGFILE " + (folder / "vorpa.log").string() + "\n";
    // It holds a password: readable by its owner only, as the program asks.
    bool saved = save(folder / "vorpa.cfg", config);
    if (saved) fs::permissions(folder / "vorpa.cfg", fs::perms::owner_read | fs::perms::owner_write);
    return saved && save(folder / "newsrc", "demo.announce\ndemo.talk\n") &&
           save(folder / "packet/REPLIES", "R0000001\tmail\tbn\nR0000002\tnews\tBn\n") &&
           save(folder / "packet/R0000001.MSG", record(outgoingmail) + record(outgoingmail2)) &&
           save(folder / "packet/R0000002.MSG", record(outgoingarticle));
}

// Runs vorpa while serving its connections; its exit status, -1 when it
// did not end by itself.
int runvorpa(const std::string& vorpa, const fs::path& folder, Servers& servers) {
    std::string config = "/config=" + (folder / "vorpa.cfg").string();
    std::printf("$ %s all %s\n", vorpa.c_str(), config.c_str());
    std::fflush(stdout);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("vorpa-demo: fork");
        return -1;
    }
    if (pid == 0) {
        // Ends with the demo, however the demo ends.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent || chdir(folder.c_str()) != 0) _exit(127);
        execl(vorpa.c_str(), "vorpa", "all", config.c_str(), static_cast<char*>(nullptr));
        std::perror("vorpa-demo: cannot start vorpa");
        _exit(127);
    }
    long long deadline = nowms() + runms;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (nowms() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        servers.serveready(100);
    }
    servers.finish();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- What there is to see afterwards

std::string shorten(const std::string& text, size_t width) {
    return text.size() <= width ? text : text.substr(0, width - 3) + "...";
}

void showpacket(const fs::path& packet) {
    std::printf("\n=== The packet: %s\n", packet.c_str());
    std::istringstream areas(load(packet / "AREAS"));
    std::printf("AREAS:\n");
    std::string line;
    std::vector<std::string> areaslines;
    while (std::getline(areas, line)) {
        std::printf("  %s\n", line.c_str());
        areaslines.push_back(line);
    }
    for (const std::string& a : areaslines) {
        std::string number = a.substr(0, a.find('\t'));
        std::string area = a.substr(a.find('\t') + 1);
        area = area.substr(0, area.find('\t'));
        std::string data = load(packet / (number + ".MSG"));
        std::vector<std::string> texts;
        for (size_t at = 0; at + 4 <= data.size();) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data() + at);
            size_t n = static_cast<size_t>(p[0]) << 24 | static_cast<size_t>(p[1]) << 16 |
                       static_cast<size_t>(p[2]) << 8 | p[3];
            texts.push_back(data.substr(at + 4, n));
            at += 4 + n;
        }
        std::printf("\n%s.MSG (%s): %zu messages\n  %-30s %-38s %5s\n", number.c_str(), area.c_str(), texts.size(),
                    "From", "Subject", "Bytes");
        for (const std::string& t : texts)
            std::printf("  %-30s %-38s %5zu\n", shorten(field(t, "From"), 30).c_str(),
                        shorten(field(t, "Subject"), 38).c_str(), t.size());
    }
    std::printf("\nOutgoing files left in the packet:");
    bool any = false;
    for (const auto& e : fs::directory_iterator(packet)) {
        std::string name = e.path().filename().string();
        if (name == "REPLIES" || name[0] == 'R') {
            std::printf(" %s", name.c_str());
            any = true;
        }
    }
    std::printf("%s\n", any ? "" : " none (all sent; REPLIES is gone)");
}

void showservers(const fs::path& folder, const Servers& s) {
    std::printf("\n=== The newsgroups state file: %s\n%s", (folder / "newsrc").c_str(),
                load(folder / "newsrc").c_str());
    std::printf("\n=== What the servers received\n");
    std::printf("POP3: %d messages retrieved and %d deleted; the mailbox now holds %zu\n", s.pop3.retrieved,
                s.pop3.deleted, s.pop3.mailbox.size());
    std::printf("SMTP: %zu messages\n", s.smtp.received.size());
    for (const Smtp::Message& m : s.smtp.received)
        std::printf("  from %s to %s: \"%s\" (%zu bytes)\n", m.from.c_str(), m.to.c_str(),
                    field(m.text, "Subject").c_str(), m.text.size());
    std::printf("NNTP: articles posted %zu, fetched %d\n", s.nntp.posted.size(), s.nntp.served);
    for (const std::string& a : s.nntp.posted)
        std::printf("  to %s: \"%s\" (%zu bytes)\n", field(a, "Newsgroups").c_str(), field(a, "Subject").c_str(),
                    a.size());
    std::printf("\nWhat Vorpa sent to each server: %s\nIts log: %s\n", (folder / "server").c_str(),
                (folder / "vorpa.log").c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: vorpa-demo <vorpa program> <folder>\n");
        return 1;
    }
    std::error_code ec;
    std::string vorpa = fs::absolute(argv[1], ec).string();
    fs::path folder = fs::absolute(argv[2], ec);
    Servers servers;
    if (!makefolder(folder) || !servers.listen() || !setup(folder, servers)) return 1;

    std::printf("Vorpa demo, all in %s\n", folder.c_str());
    std::printf("  POP3 server on 127.0.0.1:%u: a mailbox of %zu mails (user demo, password demo)\n", servers.port[0],
                servers.pop3.mailbox.size());
    std::printf("  SMTP server on 127.0.0.1:%u\n", servers.port[1]);
    std::printf("  NNTP server on 127.0.0.1:%u: demo.announce (%zu articles), demo.talk (%zu articles)\n",
                servers.port[2], servers.nntp.groups["demo.announce"].size(), servers.nntp.groups["demo.talk"].size());
    std::printf("  The packet: REPLIES lists R0000001.MSG (2 mails) and R0000002.MSG (1 article)\n\n");

    int status = runvorpa(vorpa, folder, servers);
    std::printf("\n(vorpa ended with exit status %d)\n", status);
    showpacket(folder / "packet");
    showservers(folder, servers);
    bool saved = save(folder / "server/pop3.txt", servers.pop3.transcript) &&
                 save(folder / "server/smtp.txt", servers.smtp.transcript) &&
                 save(folder / "server/nntp.txt", servers.nntp.transcript);
    std::fflush(stdout);
    return status == 0 && saved ? 0 : 1;
}
