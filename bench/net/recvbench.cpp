// Line reception throughput: a child process sends 80-byte CR LF lines over
// loopback, twice; the parent receives one copy with RecvTeol() and the other
// with a bare recv loop that only counts line ends, and prints both rates and
// their ratio. The copies go in alternating rounds, one connection each, so
// that a busy machine slows both receivers alike.
//
//     recvbench [megabytes]      (default 1024)
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "net/socket.h"
#include "testnet.h"

namespace {

const int kLineLen = 80;
const int kReadSize = 16383;  // one network read, as RecvTeol makes them

using Clock = std::chrono::steady_clock;

struct Result {
    long long bytes = 0;
    long long lines = 0;
    double seconds = 0;
};

const int kRounds = 8;

// Lines carried in round r.
long long roundlines(long long lines, int r) {
    return lines / kRounds + (r == kRounds - 1 ? lines % kRounds : 0);
}

// The child: two connections per round, each carrying the round's lines.
int sender(unsigned short port, long long lines) {
    std::string block;
    const int perblock = 1024;
    for (int i = 0; i < perblock; i++) {
        std::string line(kLineLen - 2, static_cast<char>('a' + i % 26));
        block += line + "\r\n";
    }
    char host[] = "127.0.0.1";
    for (int run = 0; run < 2 * kRounds; run++) {
        Socket s;
        if (s.Create() < 0 || s.Connect(host, port) != 0) return 1;
        for (long long left = roundlines(lines, run / 2); left > 0; left -= perblock) {
            int n = static_cast<int>(left < perblock ? left : perblock);
            if (s.Send(&block[0], n * kLineLen) < 0) return 1;
        }
        s.Close();
    }
    return 0;
}

bool recvteol(Socket& conn, long long total, Result& r) {
    conn.settimeout(10);
    auto t0 = Clock::now();
    for (long long got = 0; got < total;) {
        int n = conn.RecvTeol();
        if (n < 0) return false;
        got += n;
        r.lines += conn.iEol;
    }
    r.bytes += total;
    r.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    return true;
}

bool barerecv(Socket& conn, long long total, Result& r) {
    std::unique_ptr<char[]> buf(new char[kReadSize]);
    auto t0 = Clock::now();
    for (long long got = 0; got < total;) {
        ssize_t n = recv(conn.descriptor(), buf.get(), kReadSize, 0);
        if (n <= 0) return false;
        const char* p = buf.get();
        const char* end = p + n;
        while ((p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr) {
            r.lines++;
            p++;
        }
        got += n;
    }
    r.bytes += total;
    r.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    return true;
}

// The next connection, or null when none comes within ten seconds.
std::unique_ptr<Socket> acceptbounded(Socket& listener) {
    pollfd pfd{listener.descriptor(), POLLIN, 0};
    if (poll(&pfd, 1, 10000) != 1) return nullptr;
    return testnet::Accept(listener);
}

void report(const char* name, const Result& r) {
    std::printf("%-10s %lld bytes, %lld lines in %.3f s: %.1f MB/s\n", name, r.bytes, r.lines,
                r.seconds, r.bytes / r.seconds / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    long long megabytes = argc > 1 ? std::atoll(argv[1]) : 1024;
    if (megabytes <= 0) {
        std::fprintf(stderr, "usage: recvbench [megabytes]\n");
        return 2;
    }
    long long lines = megabytes * 1024 * 1024 / kLineLen;

    Socket listener;
    if (listener.Create() < 0 || testnet::Passive(listener, 0, 1, htonl(INADDR_LOOPBACK)) != 0) {
        std::perror("listen");
        return 1;
    }
    std::fflush(stdout);
    pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) _exit(sender(listener.usLocalPort, lines));

    Result teol, bare;
    bool ok = true;
    for (int r = 0; ok && r < kRounds; r++) {
        long long bytes = roundlines(lines, r) * kLineLen;
        std::unique_ptr<Socket> conn = acceptbounded(listener);
        ok = conn && recvteol(*conn, bytes, teol);
        if (ok) {
            conn = acceptbounded(listener);
            ok = conn && barerecv(*conn, bytes, bare);
        }
    }
    if (!ok) kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "recvbench: the transfer failed\n");
        return 1;
    }
    report("RecvTeol", teol);
    report("bare recv", bare);
    std::printf("ratio RecvTeol/bare recv: %.2f\n", (teol.bytes / teol.seconds) / (bare.bytes / bare.seconds));
    return 0;
}
