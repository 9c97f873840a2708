#include "benchkit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "netns.h"

namespace {

sockaddr_in loopback(unsigned short port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// Nothing of a benchmark waits for ever: a stalled peer ends the session.
void bound(int fd) {
    timeval limit{120, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void setflag(int fd, int option) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, option, &one, sizeof one);
}

double seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

}  // namespace

int listenloopback(unsigned short& port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = loopback(0);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        std::perror("listen on 127.0.0.1");
        std::exit(1);
    }
    port = ntohs(sa.sin_port);
    return fd;
}

int connectloopback(unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = loopback(port);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    bound(fd);
    return fd;
}

int acceptbounded(int listener) {
    pollfd pfd{listener, POLLIN, 0};
    if (poll(&pfd, 1, 60000) != 1) return -1;
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0) bound(fd);
    return fd;
}

bool sendall(int fd, const std::string& data) {
    size_t at = 0;
    while (at < data.size()) {
        ssize_t n = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

bool LineReader::line(std::string& out) {
    for (;;) {
        size_t eol = in.find("\r\n", at);
        if (eol != std::string::npos) {
            out.assign(in, at, eol + 2 - at);
            at = eol + 2;
            return true;
        }
        if (!more()) return false;
    }
}

bool LineReader::bytes(size_t n, std::string& out) {
    while (in.size() - at < n)
        if (!more()) return false;
    out.assign(in, at, n);
    at += n;
    return true;
}

bool LineReader::more() {
    in.erase(0, at);
    at = 0;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    // Peers that write an answer in parts hold the rest back until the
    // first part is acknowledged (Nagle): acknowledge at once.
    setflag(fd, TCP_QUICKACK);
    in.append(buf, static_cast<size_t>(n));
    return true;
}

bool LineReader::ahead() const {
    int queued = 0;
    return at < in.size() || (ioctl(fd, FIONREAD, &queued) == 0 && queued > 0);
}

Relay::Relay(unsigned short target, std::chrono::milliseconds delay, long kbits)
    : target(target), delay(delay), kbits(kbits), listener(listenloopback(port)), acceptor(&Relay::acceptloop, this) {}

Relay::~Relay() {
    {
        std::lock_guard<std::mutex> hold(stoplock);
        stop = true;
    }
    acceptor.join();
    for (auto& link : links) {
        for (std::thread& t : link->threads) t.join();
        close(link->up.from);
        close(link->up.to);
    }
    close(listener);
}

void Relay::acceptloop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(stoplock);
            if (stop) return;
        }
        pollfd pfd{listener, POLLIN, 0};
        if (poll(&pfd, 1, 50) != 1) continue;
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        int server = connectloopback(target);
        if (server < 0) {
            close(client);
            continue;
        }
        bound(client);
        setflag(client, TCP_NODELAY);
        setflag(server, TCP_NODELAY);
        links.push_back(std::make_unique<Link>(client, server));
        Link& link = *links.back();
        for (Direction* d : {&link.up, &link.down}) {
            link.threads.emplace_back(&Relay::receive, this, std::ref(*d));
            link.threads.emplace_back(&Relay::pass, this, std::ref(*d));
        }
    }
}

void Relay::receive(Direction& d) {
    static thread_local char buf[65536];
    for (;;) {
        ssize_t n = recv(d.from, buf, sizeof buf, 0);
        setflag(d.from, TCP_QUICKACK);
        Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> hold(d.lock);
            d.chunks.emplace_back(now, n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string());
        }
        d.arrived.notify_one();
        if (n <= 0) return;
    }
}

void Relay::pass(Direction& d) {
    bool broken = false;
    // When the line is free again: a chunk goes out in segments, each
    // after the one before it has passed at the rate.
    const size_t segment = 1448;
    Clock::time_point free = Clock::now();
    for (;;) {
        std::pair<Clock::time_point, std::string> chunk;
        {
            std::unique_lock<std::mutex> hold(d.lock);
            d.arrived.wait(hold, [&d] { return !d.chunks.empty(); });
            chunk = std::move(d.chunks.front());
            d.chunks.pop_front();
        }
        if (kbits <= 0 || chunk.second.empty()) {
            std::this_thread::sleep_until(std::max(chunk.first, free) + delay);
            if (chunk.second.empty()) {
                shutdown(d.to, SHUT_WR);
                return;
            }
            // A peer that is gone takes nothing more; the rest is dropped.
            if (!broken) broken = !sendall(d.to, chunk.second);
            continue;
        }
        for (size_t at = 0; at < chunk.second.size(); at += segment) {
            std::string piece = chunk.second.substr(at, segment);
            free = std::max(chunk.first, free) +
                   std::chrono::microseconds(static_cast<long long>(piece.size()) * 8000 / kbits);
            std::this_thread::sleep_until(free + delay);
            if (!broken) broken = !sendall(d.to, piece);
        }
    }
}

const char* vorpabinary() {
    const char* chosen = std::getenv("VORPA");
    return chosen && *chosen ? chosen : VORPA_BIN;
}

namespace {

int requests = -1;  // to the launcher
int answers = -1;   // from it

bool readfull(int fd, void* data, size_t len) {
    char* p = static_cast<char*>(data);
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// A request is "limit\0dir\0arg\0arg...".
Measure launch(const std::string& request) {
    std::vector<std::string> fields;
    for (size_t at = 0; at <= request.size(); at += fields.back().size() + 1) fields.push_back(request.c_str() + at);
    const char* bin = vorpabinary();
    std::vector<char*> argv{const_cast<char*>(bin)};
    for (size_t i = 2; i < fields.size(); i++) argv.push_back(&fields[i][0]);
    argv.push_back(nullptr);
    std::string output = fields[1] + "/output";
    Clock::time_point start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || chdir(fields[1].c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        alarm(static_cast<unsigned>(std::stoul(fields[0])));
        execv(bin, argv.data());
        _exit(127);
    }
    Measure m;
    rusage ru{};
    int status = 0;
    if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) return m;
    m.wall = std::chrono::duration<double>(Clock::now() - start).count();
    m.user = seconds(ru.ru_utime);
    m.sys = seconds(ru.ru_stime);
    m.maxrsskb = ru.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

void startlauncher() {
    int req[2], ans[2];
    pid_t pid = pipe(req) == 0 && pipe(ans) == 0 ? fork() : -1;
    if (pid < 0) {
        std::perror("cannot start the launcher");
        std::exit(1);
    }
    if (pid == 0) {
        close(req[1]);
        close(ans[0]);
        uint32_t len;
        while (readfull(req[0], &len, sizeof len)) {
            std::string request(len, '\0');
            if (!readfull(req[0], &request[0], len)) break;
            Measure m = launch(request);
            if (write(ans[1], &m, sizeof m) != static_cast<ssize_t>(sizeof m)) break;
        }
        _exit(0);
    }
    close(req[0]);
    close(ans[1]);
    requests = req[1];
    answers = ans[0];
}

}  // namespace

Measure runvorpa(const std::vector<std::string>& args, const std::string& dir, unsigned limit) {
    std::string request = std::to_string(limit) + '\0' + dir;
    for (const std::string& a : args) request += '\0' + a;
    uint32_t len = static_cast<uint32_t>(request.size());
    Measure m;
    if (write(requests, &len, sizeof len) != static_cast<ssize_t>(sizeof len) ||
        write(requests, request.data(), len) != static_cast<ssize_t>(len) || !readfull(answers, &m, sizeof m))
        m = Measure();
    return m;
}

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

void printfigures(const Figures& runs, long items, const char* unit, double target) {
    std::vector<Measure> sorted = runs.vorpa;
    std::sort(sorted.begin(), sorted.end(), [](const Measure& a, const Measure& b) { return a.wall < b.wall; });
    const Measure& v = sorted[sorted.size() / 2];
    long maxrsskb = 0;
    std::vector<double> ratios;
    for (size_t i = 0; i < runs.vorpa.size(); i++) {
        maxrsskb = std::max(maxrsskb, runs.vorpa[i].maxrsskb);
        ratios.push_back(runs.vorpa[i].wall / runs.bare[i]);
    }
    std::printf(
        "  vorpa:       wall %.3f s, CPU %.3f s (user %.3f, sys %.3f), %.0f %s/s, peak RSS %.1f MB "
        "(largest; target under 8 MB: %s)\n",
        v.wall, v.cpu(), v.user, v.sys, items / v.wall, unit, maxrsskb / 1024.0, maxrsskb < 8192 ? "met" : "NOT met");
    std::printf("  bare client: wall %.3f s; vorpa takes %.2f times as long (median of paired runs)\n",
                median(runs.bare), median(ratios));
    if (target > 0) std::printf("  target:      under %g s: %s\n", target, v.wall < target ? "met" : "NOT met");
}

std::string runsof(int n) { return n == 1 ? "one run" : "medians of " + std::to_string(n) + " runs"; }

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

bool writewhole(const std::string& path, const std::string& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

std::string tempdir(const char* name) {
    std::string path = std::string("/tmp/") + name + "-XXXXXX";
    if (!mkdtemp(&path[0])) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return path;
}

void isolate() {
    // Each scenario's figures show when it ends, also through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!enternetns()) {
        std::perror("cannot enter a private network namespace");
        std::exit(1);
    }
    startlauncher();
}
