// Benchmark of the news fetch: vorpa fetches 20,000 articles of about 3 KB
// in one group from a local server, inside a private network namespace of
// its own (the program uses the fixed port 119). Prints wall time, CPU
// time, articles per second and the peak resident memory of vorpa, and
// checks that every article arrived.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "net/socket.h"
#include "netns.h"

namespace {

const long ARTICLES = 20000;
const int LIMITSECONDS = 600;

// Article n as sent: headers, a blank line and a body of 68-character
// lines, every tenth of them starting with a dot (stuffed on the wire).
std::string wirearticle(long n) {
    std::string num = std::to_string(n);
    std::string text = "Path: bench!not-for-mail\r\nFrom: bench@example.test\r\nNewsgroups: bench.group\r\n"
                       "Subject: benchmark article " + num + "\r\nMessage-ID: <" + num + "@bench.test>\r\n"
                       "Date: Wed, 9 Dec 2026 00:00:00 +0000\r\n\r\n";
    for (int i = 0; text.size() < 3000; i++) {
        std::string line(68, static_cast<char>('a' + (n + i) % 26));
        if (i % 10 == 0) line[0] = '.';
        text += (line[0] == '.' ? "." : "") + line + "\r\n";
    }
    return text;
}

// The same article as stored: dots unstuffed, LF line ends.
std::string stored(const std::string& wire) {
    std::string out;
    size_t at = 0;
    while (at < wire.size()) {
        size_t end = wire.find("\r\n", at);
        size_t from = wire[at] == '.' ? at + 1 : at;
        out.append(wire, from, end - from).push_back('\n');
        at = end + 2;
    }
    return out;
}

// Serves one session: GROUP, then ARTICLE for any number, then QUIT.
void serve(Socket& listener, bool& ok) {
    pollfd pfd{listener.iSocket, POLLIN, 0};
    if (poll(&pfd, 1, 60000) != 1) return;
    std::unique_ptr<Socket> conn(listener.Accept());
    if (!conn) return;
    conn->ulTimeout = 60;
    std::string reply = "200 bench server ready\r\n";
    for (;;) {
        if (conn->Send(&reply[0], static_cast<int>(reply.size())) == -1) return;
        if (conn->RecvTeol() < 1) return;
        long n;
        if (std::strncmp(conn->pszBuf, "GROUP ", 6) == 0) {
            reply = "211 " + std::to_string(ARTICLES) + " 1 " + std::to_string(ARTICLES) + " bench.group\r\n";
        } else if (std::sscanf(conn->pszBuf, "ARTICLE %ld", &n) == 1 && n >= 1 && n <= ARTICLES) {
            reply = "220 " + std::to_string(n) + " <" + std::to_string(n) + "@bench.test> article\r\n" +
                    wirearticle(n) + ".\r\n";
        } else if (std::strcmp(conn->pszBuf, "QUIT\r\n") == 0) {
            reply = "205 bye\r\n";
            ok = conn->Send(&reply[0], static_cast<int>(reply.size())) != -1;
            return;
        } else {
            reply = "500 what?\r\n";
        }
    }
}

std::string readwhole(const std::string& path) {
    std::string data;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return data;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    std::fclose(f);
    return data;
}

}  // namespace

int main() {
    if (!enternetns()) {
        std::perror("cannot enter a private network namespace");
        return 1;
    }
    char dirtemplate[] = "/tmp/vorpa-bench-XXXXXX";
    if (!mkdtemp(dirtemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string dir = dirtemplate;
    std::string soup = dir + "/soup/";
    mkdir(soup.c_str(), 0700);
    FILE* f = std::fopen((dir + "/newsrc").c_str(), "w");
    std::fputs("bench.group: 0-0\n", f);
    std::fclose(f);
    f = std::fopen((dir + "/vorpa.cfg").c_str(), "w");
    std::fprintf(f, "NNTPHOST 127.0.0.1\nSOUPDIR %s\nNEWSGROUPS %s/newsrc\n", soup.c_str(), dir.c_str());
    std::fclose(f);

    Socket listener;
    if (listener.Create() < 0 || listener.Passive(119, 1, htonl(INADDR_LOOPBACK)) < 0) {
        std::perror("cannot listen on 127.0.0.1:119");
        return 1;
    }
    bool served = false;
    std::thread server(serve, std::ref(listener), std::ref(served));

    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        alarm(LIMITSECONDS);
        std::string config = "/config=" + dir + "/vorpa.cfg";
        execl(VORPA_BIN, VORPA_BIN, "news", "fetch", config.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    server.join();

    double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("articles:      %ld of about 3 KB in one group\n", ARTICLES);
    std::printf("wall time:     %.2f s\n", wall);
    std::printf("CPU time:      %.2f s (user %.2f, system %.2f)\n", cpu,
                usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
                usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);
    std::printf("articles/s:    %.0f\n", ARTICLES / wall);
    std::printf("peak RSS:      %ld KB (target under 8192 KB)\n", usage.ru_maxrss);

    // Every record whole and in order, and the new mark in place.
    std::string packet = readwhole(soup + "00000000.MSG");
    size_t at = 0;
    long good = 0;
    for (long n = 1; n <= ARTICLES && at + 4 <= packet.size(); n++, at += 4) {
        std::string text = stored(wirearticle(n));
        const unsigned char* p = reinterpret_cast<const unsigned char*>(packet.data() + at);
        size_t len = size_t(p[0]) << 24 | size_t(p[1]) << 16 | size_t(p[2]) << 8 | p[3];
        if (len != text.size() || packet.compare(at + 4, len, text) != 0) break;
        at += len;
        good++;
    }
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && served && good == ARTICLES &&
              at == packet.size() && readwhole(dir + "/newsrc") == "bench.group: 0-" + std::to_string(ARTICLES) + "\n";
    std::printf("check:         %s (%ld articles stored byte for byte)\n", ok ? "passed" : "FAILED", good);
    std::system(("rm -rf '" + dir + "'").c_str());
    return ok ? 0 : 1;
}
