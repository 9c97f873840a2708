// What the protocol benchmarks share: loopback sockets on free ports, a
// connection read line by line, a relay that delays every byte as a slow
// link would, and the launch and measurement of one vorpa run.
#ifndef VORPA_BENCHKIT_H
#define VORPA_BENCHKIT_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

// Listens on 127.0.0.1 at a port the system picks; exits on failure.
int listenloopback(unsigned short& port);
// Connects to 127.0.0.1:port, both ways bounded to two minutes; -1 on failure.
int connectloopback(unsigned short port);
// The next connection on the listener, or -1 when none comes within a minute.
int acceptbounded(int listener);
bool sendall(int fd, const std::string& data);

// A connection's bytes as CR LF lines (the line end included).
class LineReader {
public:
    explicit LineReader(int fd) : fd(fd) {}
    // False when the connection ends, fails or stalls first.
    bool line(std::string& out);
    // The next n bytes, lines or not (a BDAT chunk).
    bool bytes(size_t n, std::string& out);
    // Whether more has arrived than was handed out: a client that sent it
    // did so before it saw the answer to what was handed out last.
    bool ahead() const;

private:
    // Receives what has arrived; false when the connection ends first.
    bool more();

    int fd;
    std::string in;
    size_t at = 0;
};

// Passes every connection made to port on to 127.0.0.1:target, each
// direction delayed: every chunk goes on delay after it arrived, in order,
// at any rate, or with kbits (kilobits a second, each way) at that rate,
// as a thin link's line would pass it. The relay acknowledges at once and
// sends without waiting (no Nagle), so that it adds the delay and nothing
// else.
class Relay {
public:
    Relay(unsigned short target, std::chrono::milliseconds delay, long kbits = 0);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    unsigned short port = 0;

private:
    struct Direction {
        Direction(int from, int to) : from(from), to(to) {}
        int from, to;
        std::mutex lock;
        std::condition_variable arrived;
        std::deque<std::pair<Clock::time_point, std::string>> chunks;  // "" is the end
    };
    struct Link {
        Link(int client, int server) : up(client, server), down(server, client) {}
        Direction up, down;
        std::vector<std::thread> threads;
    };
    void acceptloop();
    void receive(Direction& d);
    void pass(Direction& d);

    unsigned short target;
    std::chrono::milliseconds delay;
    long kbits;
    int listener;
    bool stop = false;
    std::mutex stoplock;
    std::vector<std::unique_ptr<Link>> links;
    std::thread acceptor;
};

// One run of a process: wall time, CPU time, peak resident memory, exit code
// (-1 when it did not exit by itself).
struct Measure {
    double wall = 0;
    double user = 0;
    double sys = 0;
    long maxrsskb = 0;
    int status = -1;
    double cpu() const { return user + sys; }
};

// The runs of one scenario: vorpa's, and the bare client's wall times,
// each taken right after a vorpa run.
struct Figures {
    std::vector<Measure> vorpa;
    std::vector<double> bare;
};
// Prints vorpa's median run, its largest peak memory against the target of
// 8 MB, the bare client's median wall time, the median ratio of the paired
// runs, and how the wall time meets target seconds (when not 0).
void printfigures(const Figures& runs, long items, const char* unit, double target);
// "one run", or "medians of n runs".
std::string runsof(int n);

// The vorpa under test: $VORPA, or the one built with the benchmarks.
const char* vorpabinary();
// Runs vorpa with args in dir, its output going to dir/output, ended after
// limit seconds. It is started by a process forked before the benchmark
// grew: a process's peak resident memory counts the pages it had before
// exec, which a child forked later shares with its parent.
Measure runvorpa(const std::vector<std::string>& args, const std::string& dir, unsigned limit);

std::string readwhole(const std::string& path);
bool writewhole(const std::string& path, const std::string& data);
// A fresh directory under /tmp; exits on failure.
std::string tempdir(const char* name);

// Enters a private network namespace and starts the launcher of vorpa
// runs: the first thing a benchmark does. Exits when the system refuses.
void isolate();

#endif
