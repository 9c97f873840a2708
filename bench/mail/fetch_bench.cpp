// Mail fetch benchmark. A POP3 server in this process serves, on
// 127.0.0.1:110 of a private network namespace, (a) 10,000 messages of 4 KB
// and (b) one message of 100 MB to "vorpa email fetch". For each it prints
// the wall time, CPU time, throughput and peak resident memory of the vorpa
// process, and the CPU time bare clients need for the same bytes: a recv
// loop that is sent every message at once, the same loop storing what it
// reads in a file and syncing it, and one that speaks the same dialogue one
// command at a time (a command, then a recv loop up to the end of its
// answer). CPU times are the medians of nine runs; vorpa's share is
// the median of its ratios to the bare loop run right after it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "netns.h"

namespace {

// A mailbox of `count` equal messages, each `repeat` copies of `chunk`.
struct Mailbox {
    long count;
    std::string chunk;
    long repeat;
    long size() const { return static_cast<long>(chunk.size()) * repeat; }
    // Bytes of one message as stored: one less per CR LF line.
    long stored() const {
        long lines = 0;
        for (char c : chunk) lines += c == '\n';
        return (static_cast<long>(chunk.size()) - lines) * repeat;
    }
    // Everything the server sends for the messages, status lines included.
    long long wire() const { return static_cast<long long>(count) * (5 + size() + 3); }
};

// A header, a blank line and text lines of 78 characters and CR LF, about
// `size` bytes in all.
std::string message(size_t size) {
    std::string line;
    for (int i = 0; i < 78; i++) line += static_cast<char>('a' + i % 26);
    line += "\r\n";
    std::string text =
        "From: Bench <bench@example.org>\r\nTo: joe@example.org\r\nSubject: benchmark\r\n"
        "Message-ID: <bench@example.org>\r\n\r\n";
    while (text.size() + line.size() <= size) text += line;
    return text;
}

bool sendall(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool sendall(int fd, const std::string& text) { return sendall(fd, text.data(), text.size()); }

// One RETR answer. Small messages go out in one piece: separate small
// writes would wait for the client's delayed acknowledgements.
bool sendmessage(int fd, const Mailbox& box) {
    if (box.repeat == 1) return sendall(fd, "+OK\r\n" + box.chunk + ".\r\n");
    if (!sendall(fd, "+OK\r\n")) return false;
    for (long r = 0; r < box.repeat; r++)
        if (!sendall(fd, box.chunk)) return false;
    return sendall(fd, ".\r\n");
}

// Plays one POP3 session; with `bare` it just sends every RETR answer and
// closes, for the recv loop. A client that never comes, or stalls, is given
// up after a minute, so that a failed run ends instead of hanging.
// Server and client each get a processor of their own when there are two:
// sharing one, or moving between them, changes how data arrives and so the
// CPU time a client needs for the same bytes, from run to run.
void pin(int cpu) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void serve(int listener, const Mailbox& box, bool bare) {
    pin(0);
    pollfd pfd{listener, POLLIN, 0};
    if (poll(&pfd, 1, 60000) != 1) return;
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    timeval bound{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    if (bare) {
        for (long i = 0; i < box.count; i++)
            if (!sendmessage(fd, box)) break;
        close(fd);
        return;
    }
    sendall(fd, "+OK bench server\r\n");
    std::string in;
    char buf[4096];
    for (;;) {
        size_t eol;
        while ((eol = in.find('\n')) == std::string::npos) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                close(fd);
                return;
            }
            in.append(buf, static_cast<size_t>(n));
        }
        std::string cmd = in.substr(0, 4);
        in.erase(0, eol + 1);
        bool ok = true;
        if (cmd == "STAT") {
            ok = sendall(fd, "+OK " + std::to_string(box.count) + " " + std::to_string(box.count * box.size()) +
                                 "\r\n");
        } else if (cmd == "LIST") {
            std::string list = "+OK\r\n";
            for (long i = 1; i <= box.count; i++) list += std::to_string(i) + " " + std::to_string(box.size()) + "\r\n";
            ok = sendall(fd, list + ".\r\n");
        } else if (cmd == "UIDL") {
            std::string list = "+OK\r\n";
            for (long i = 1; i <= box.count; i++) list += std::to_string(i) + " m" + std::to_string(i) + "\r\n";
            ok = sendall(fd, list + ".\r\n");
        } else if (cmd == "RETR") {
            ok = sendmessage(fd, box);
        } else if (cmd == "CAPA") {
            ok = sendall(fd, "+OK\r\nPIPELINING\r\n.\r\n");
        } else if (cmd == "QUIT") {
            sendall(fd, "+OK bye\r\n");
            break;
        } else {
            ok = sendall(fd, "+OK\r\n");
        }
        if (!ok) break;
    }
    close(fd);
}

double seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

struct Measure {
    double wall = 0;
    double user = 0;
    double sys = 0;
    long maxrsskb = 0;
    int status = -1;
    double cpu() const { return user + sys; }
};

Measure waitfor(pid_t pid, std::chrono::steady_clock::time_point start) {
    Measure m;
    rusage ru{};
    int status = 0;
    if (wait4(pid, &status, 0, &ru) != pid) return m;
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.user = seconds(ru.ru_utime);
    m.sys = seconds(ru.ru_stime);
    m.maxrsskb = ru.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

Measure runvorpa(const std::string& dir) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        pin(1);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 1);
        if (chdir(dir.c_str()) != 0) _exit(127);
        std::string config = "/config=" + dir + "/vorpa.cfg";
        execl(VORPA_BIN, VORPA_BIN, "email", "fetch", config.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return waitfor(pid, start);
}

int connect110() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(110);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) _exit(1);
    return fd;
}

// Receives until the data ends with end (the server answers one command at
// a time, so an answer's end is the end of what arrived); false when the
// connection ends first.
bool recvuntil(int fd, const std::string& end) {
    static char buf[16383];
    std::string tail;
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        tail.append(buf, static_cast<size_t>(n));
        if (tail.size() > end.size()) tail.erase(0, tail.size() - end.size());
        if (tail == end) return true;
    }
}

// The bare clients, each in a child process: a recv loop; the same loop
// storing what it reads in a file (128 KiB at a time, then synced), as
// vorpa must; and the client that sends every command vorpa sends, one at
// a time.
enum class Bare { Recv, Store, Dialogue };

// Writes len bytes, false on failure.
bool writeall(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void recvandstore(int fd, const std::string& path) {
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0) _exit(1);
    static char stored[131072];
    size_t used = 0;
    ssize_t n;
    while ((n = recv(fd, stored + used, std::min<size_t>(16383, sizeof stored - used), 0)) > 0) {
        used += static_cast<size_t>(n);
        if (used == sizeof stored) {
            if (!writeall(out, stored, used)) _exit(1);
            used = 0;
        }
    }
    if (!writeall(out, stored, used) || fsync(out) != 0 || close(out) != 0) _exit(1);
}

Measure runbare(const Mailbox& box, Bare kind, const std::string& storepath) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        pin(1);
        int fd = connect110();
        if (kind == Bare::Recv) {
            static char buf[16383];
            while (recv(fd, buf, sizeof buf, 0) > 0) {
            }
            _exit(0);
        }
        if (kind == Bare::Store) {
            recvandstore(fd, storepath);
            _exit(0);
        }
        auto say = [&](const std::string& cmd, const std::string& end) {
            if (!sendall(fd, cmd) || !recvuntil(fd, end)) _exit(1);
        };
        if (!recvuntil(fd, "\r\n")) _exit(1);
        say("USER bench\r\n", "\r\n");
        say("PASS bench\r\n", "\r\n");
        say("STAT\r\n", "\r\n");
        say("LIST\r\n", "\r\n.\r\n");
        say("UIDL\r\n", "\r\n.\r\n");
        for (long i = 1; i <= box.count; i++) say("RETR " + std::to_string(i) + "\r\n", "\r\n.\r\n");
        for (long i = 1; i <= box.count; i++) say("DELE " + std::to_string(i) + "\r\n", "\r\n");
        say("QUIT\r\n", "\r\n");
        _exit(0);
    }
    return waitfor(pid, start);
}

int listen110() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(110);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0) {
        perror("listen on 127.0.0.1:110");
        std::exit(1);
    }
    return fd;
}

// The run of median CPU time among several: single runs on a shared
// machine vary by a third.
Measure median(std::vector<Measure> runs) {
    std::sort(runs.begin(), runs.end(), [](const Measure& a, const Measure& b) { return a.cpu() < b.cpu(); });
    return runs[runs.size() / 2];
}

// One scenario: vorpa against the server, then the bare clients, each nine
// times. False when vorpa failed or stored the wrong number of bytes.
bool scenario(const char* title, const Mailbox& box, int listener, const std::string& dir, bool cputarget,
              long rsslimitkb) {
    std::string soup = dir + "/soup";
    mkdir(soup.c_str(), 0700);
    FILE* cfg = fopen((dir + "/vorpa.cfg").c_str(), "w");
    if (!cfg) return false;
    fprintf(cfg, "POPHOST 127.0.0.1\nPOPUSER bench\nPOPPASS bench\nSOUPDIR %s\n", soup.c_str());
    fclose(cfg);

    const int runs = 9;
    std::vector<Measure> vs, bs, ss, ds;
    std::string storefile = dir + "/stored";
    bool stored = true;
    std::string file = soup + "/00000000.MSG";
    long long expected = static_cast<long long>(box.count) * (4 + box.stored());
    for (int i = 0; i < runs; i++) {
        std::thread server(serve, listener, std::cref(box), false);
        Measure v = runvorpa(dir);
        server.join();
        struct stat st {};
        stored = stored && v.status == 0 && stat(file.c_str(), &st) == 0 && st.st_size == expected;
        unlink(file.c_str());
        unlink((soup + "/AREAS").c_str());
        // The server deletes nothing: the next run must not find its
        // messages recorded.
        unlink((dir + "/popkeep-bench@127.0.0.1-110").c_str());
        vs.push_back(v);
        std::thread bareserver(serve, listener, std::cref(box), true);
        bs.push_back(runbare(box, Bare::Recv, ""));
        bareserver.join();
        std::thread storeserver(serve, listener, std::cref(box), true);
        ss.push_back(runbare(box, Bare::Store, storefile));
        storeserver.join();
        unlink(storefile.c_str());
        std::thread stepserver(serve, listener, std::cref(box), false);
        ds.push_back(runbare(box, Bare::Dialogue, ""));
        stepserver.join();
    }
    rmdir(soup.c_str());
    unlink((dir + "/vorpa.cfg").c_str());
    Measure v = median(vs);
    Measure b = median(bs);
    Measure st = median(ss);
    Measure d = median(ds);
    // Each vorpa run is set against the bare run right after it: the load
    // of a shared machine changes over seconds, and then moves both alike.
    std::vector<double> ratios;
    for (int i = 0; i < runs; i++)
        if (bs[i].cpu() > 0) ratios.push_back(vs[i].cpu() / bs[i].cpu());
    std::sort(ratios.begin(), ratios.end());
    double ratio = ratios.empty() ? 0.0 : ratios[ratios.size() / 2];
    long maxrsskb = 0;
    for (const Measure& m : vs) maxrsskb = std::max(maxrsskb, m.maxrsskb);

    double mb = static_cast<double>(box.wire()) / 1e6;
    printf("%s: %ld message(s) of %ld bytes, %.1f MB on the wire; medians of %d runs\n", title, box.count,
           box.size(), mb, runs);
    printf("  vorpa:          exit %d, file %s, wall %.3f s, CPU %.3f s (user %.3f, sys %.3f), %.1f MB/s, "
           "peak RSS %.1f MB (largest)\n",
           v.status, stored ? "complete" : "WRONG SIZE", v.wall, v.cpu(), v.user, v.sys, mb / v.wall,
           maxrsskb / 1024.0);
    printf("  bare recv loop: CPU %.3f s; vorpa uses %.1f times as much, median of paired runs%s\n", b.cpu(),
           ratio, cputarget ? (ratio <= 3 ? " (target at most 3: met)" : " (target at most 3: NOT met)") : "");
    printf("  bare recv loop storing what it reads (write, fsync): exit %d, CPU %.3f s; vorpa uses %.1f times as "
           "much\n",
           st.status, st.cpu(), st.cpu() > 0 ? v.cpu() / st.cpu() : 0.0);
    printf("  bare client speaking the same dialogue one command at a time: exit %d, CPU %.3f s; vorpa uses %.1f "
           "times as much\n",
           d.status, d.cpu(), d.cpu() > 0 ? v.cpu() / d.cpu() : 0.0);
    if (rsslimitkb > 0)
        printf("  peak RSS target: under %ld MB: %s\n", rsslimitkb / 1024, maxrsskb < rsslimitkb ? "met" : "NOT met");
    return stored;
}

}  // namespace

// With an argument "a" or "b", runs only that scenario (for profiling).
int main(int argc, char** argv) {
    std::string only = argc > 1 ? argv[1] : "";
    if (!enternetns()) {
        perror("cannot enter a private network namespace");
        return 1;
    }
    char tmpl[] = "/tmp/vorpa-mailbench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = tmpl;
    int listener = listen110();

    Mailbox many{10000, message(4096), 1};
    Mailbox one{1, message(1 << 20), 100};
    bool ok = true;
    if (only != "b") ok = scenario("(a)", many, listener, dir, true, 0) && ok;
    if (only != "a") ok = scenario("(b)", one, listener, dir, false, 8 * 1024) && ok;

    close(listener);
    rmdir(dir.c_str());
    return ok ? 0 : 1;
}
