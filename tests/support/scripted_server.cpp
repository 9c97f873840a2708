#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "net/socket.h"

struct Script::Step {
    enum Kind { Send, SendSplit, Expect, ExpectAny, ExpectData, Pause, Drop, Silence, Drain };
    Kind kind;
    std::string bytes;
    std::vector<size_t> sizes;
    int ms;
};

Script::Script() = default;
Script::~Script() = default;

Script& Script::send(const std::string& bytes) {
    steps.push_back({Step::Send, bytes, {}, 0});
    return *this;
}

Script& Script::sendsplit(const std::string& bytes, const std::vector<size_t>& sizes, int pausems) {
    steps.push_back({Step::SendSplit, bytes, sizes, pausems});
    return *this;
}

Script& Script::expect(const std::string& line) {
    steps.push_back({Step::Expect, line, {}, 0});
    return *this;
}

Script& Script::expectany() {
    steps.push_back({Step::ExpectAny, {}, {}, 0});
    return *this;
}

Script& Script::expectdata() {
    steps.push_back({Step::ExpectData, {}, {}, 0});
    return *this;
}

Script& Script::pause(int ms) {
    steps.push_back({Step::Pause, {}, {}, ms});
    return *this;
}

Script& Script::drop() {
    steps.push_back({Step::Drop, {}, {}, 0});
    return *this;
}

Script& Script::silence(int ms) {
    steps.push_back({Step::Silence, {}, {}, ms});
    return *this;
}

Script& Script::drain() {
    steps.push_back({Step::Drain, {}, {}, 0});
    return *this;
}

namespace {

using Clock = std::chrono::steady_clock;

// Bytes made readable for error texts: CR, LF and other controls escaped.
std::string shown(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 32 || c >= 127) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
        if (out.size() > 200) {
            out += "...";
            break;
        }
    }
    return "\"" + out + "\"";
}

enum class Wait { Ready, TimedOut, Stopped };

}  // namespace

struct ScriptedServer::Impl {
    Socket listener;
    int boundms;
    unsigned short port = 0;  // kept: the listener forgets it when it closes
    std::vector<std::unique_ptr<Script>> scripts;
    std::thread thread;
    std::atomic<bool> stop{false};

    mutable std::mutex mu;
    std::condition_variable cv;
    bool started = false;
    bool done = false;
    size_t naccepted = 0;
    std::vector<std::string> got;
    std::vector<std::string> errs;

    // One connection being played.
    struct Session {
        size_t index;
        Socket* conn;
        std::string pending;  // received, not yet taken by an expect
        bool closed = false;  // the client has closed its side
    };

    void error(const std::string& text) {
        std::lock_guard<std::mutex> lock(mu);
        errs.push_back(text);
    }

    // Waits for events on fd until deadline, in short slices so that a stop
    // request ends the wait promptly. A deadline already past still looks
    // once.
    Wait waitfor(int fd, short events, Clock::time_point deadline) {
        for (;;) {
            if (stop) return Wait::Stopped;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            long slice = left.count() < 0 ? 0 : left.count() < 50 ? left.count() : 50;
            pollfd pfd{fd, events, 0};
            int r = poll(&pfd, 1, static_cast<int>(slice));
            if (r > 0) return Wait::Ready;
            if (r < 0 && errno != EINTR) return Wait::Stopped;
            if (r == 0 && slice == 0) return Wait::TimedOut;
        }
    }

    Wait waitreadable(int fd, Clock::time_point deadline) { return waitfor(fd, POLLIN, deadline); }

    void sleepfor(int ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!stop && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    // Reads what the client sent, once the socket is readable; false when the
    // client has closed (or the read failed).
    bool readsome(Session& s) {
        char buf[16384];
        ssize_t n = recv(s.conn->iSocket, buf, sizeof buf, 0);
        if (n <= 0) {
            s.closed = true;
            return false;
        }
        s.pending.append(buf, n);
        std::lock_guard<std::mutex> lock(mu);
        got[s.index].append(buf, n);
        return true;
    }

    // Takes one line (up to LF) into line; false after an error was recorded.
    bool readline(Session& s, const std::string& what, std::string& line) {
        auto deadline = Clock::now() + std::chrono::milliseconds(boundms);
        for (;;) {
            size_t lf = s.pending.find('\n');
            if (lf != std::string::npos) {
                line = s.pending.substr(0, lf + 1);
                s.pending.erase(0, lf + 1);
                return true;
            }
            std::string prefix = "session " + std::to_string(s.index) + ": " + what + ": ";
            if (s.closed) {
                error(prefix + "client closed the connection" +
                      (s.pending.empty() ? "" : " after " + shown(s.pending)));
                return false;
            }
            Wait w = waitreadable(s.conn->iSocket, deadline);
            if (w == Wait::TimedOut) {
                error(prefix + "nothing within " + std::to_string(boundms) + " ms" +
                      (s.pending.empty() ? "" : ", got only " + shown(s.pending)));
                return false;
            }
            if (w == Wait::Stopped) {
                error(prefix + "stopped");
                return false;
            }
            readsome(s);
        }
    }

    // Waits up to ms, recording what arrives; returns early when the client
    // closes. With 0 it takes what is already there.
    void listenquietly(Session& s, int ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        do {
            if (s.closed || waitreadable(s.conn->iSocket, deadline) != Wait::Ready) return;
            readsome(s);
        } while (Clock::now() < deadline);
    }

    // Sends bytes, each wait for the client to take more bounded: a client
    // that stops reading must not leave the server stuck in a send that
    // finish() then waits for.
    bool sendbytes(Session& s, const std::string& bytes) {
        auto fail = [&](const std::string& why) {
            error("session " + std::to_string(s.index) + ": sending " + shown(bytes) + why);
            return false;
        };
        for (size_t at = 0; at < bytes.size();) {
            ssize_t n = ::send(s.conn->iSocket, bytes.data() + at, bytes.size() - at,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n >= 0) {
                at += n;
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return fail(std::string(" failed: ") + std::strerror(errno));
            Wait w = waitfor(s.conn->iSocket, POLLOUT, Clock::now() + std::chrono::milliseconds(boundms));
            if (w == Wait::TimedOut) return fail(": not taken within " + std::to_string(boundms) + " ms");
            if (w == Wait::Stopped) return fail(": stopped");
        }
        return true;
    }

    // Plays one step; false ends the session.
    bool play(Session& s, const Script::Step& step) {
        switch (step.kind) {
        case Script::Step::Send:
            return sendbytes(s, step.bytes);
        case Script::Step::SendSplit: {
            size_t at = 0;
            for (size_t i = 0; at < step.bytes.size(); i++) {
                size_t n = i < step.sizes.size() ? step.sizes[i] : step.bytes.size() - at;
                if (n > step.bytes.size() - at) n = step.bytes.size() - at;
                if (i > 0) sleepfor(step.ms);
                if (!sendbytes(s, step.bytes.substr(at, n))) return false;
                at += n;
            }
            return true;
        }
        case Script::Step::Expect: {
            std::string line;
            if (!readline(s, "expecting " + shown(step.bytes), line)) return false;
            if (line != step.bytes) {
                error("session " + std::to_string(s.index) + ": expected " + shown(step.bytes) +
                      ", got " + shown(line));
                return false;
            }
            return true;
        }
        case Script::Step::ExpectAny: {
            std::string line;
            return readline(s, "expecting a line", line);
        }
        case Script::Step::ExpectData: {
            std::string line;
            do {
                if (!readline(s, "expecting data up to \".\\r\\n\"", line)) return false;
            } while (line != ".\r\n");
            return true;
        }
        case Script::Step::Pause:
            sleepfor(step.ms);
            return true;
        case Script::Step::Drop:
            s.conn->Close();
            return false;
        case Script::Step::Silence:
            listenquietly(s, step.ms);
            return true;
        case Script::Step::Drain:
            listenquietly(s, boundms);
            return true;
        }
        return false;
    }

    void run() {
        for (size_t i = 0; i < scripts.size() && !stop; i++) {
            auto deadline = Clock::now() + std::chrono::milliseconds(boundms);
            Wait w = waitreadable(listener.iSocket, deadline);
            if (w != Wait::Ready) {
                error("session " + std::to_string(i) + ": no connection within " +
                      std::to_string(boundms) + " ms");
                break;
            }
            std::unique_ptr<Socket> conn(listener.Accept());
            if (!conn) {
                error("session " + std::to_string(i) + ": accept failed: " + std::strerror(errno));
                break;
            }
            // Pieces of a split reply must leave as separate segments.
            int on = 1;
            setsockopt(conn->iSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            {
                std::lock_guard<std::mutex> lock(mu);
                naccepted++;
            }
            Session s{i, conn.get(), std::string(), false};
            bool ran = true;
            for (const Script::Step& step : scripts[i]->steps) {
                if (!play(s, step)) {
                    ran = step.kind == Script::Step::Drop;
                    break;
                }
            }
            // Keep what the client already sent after the last step.
            if (ran && conn->iSocket >= 0 && !s.closed) listenquietly(s, 0);
        }
        // Later connections are refused at once instead of hanging.
        if (listener.iSocket >= 0) listener.Close();
        std::lock_guard<std::mutex> lock(mu);
        done = true;
        cv.notify_all();
    }
};

ScriptedServer::ScriptedServer(unsigned short port, int boundms) : impl(new Impl) {
    impl->boundms = boundms;
    if (impl->listener.Create() < 0 ||
        impl->listener.Passive(port, 1, htonl(INADDR_LOOPBACK)) < 0) {
        std::string text = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                           std::strerror(errno);
        std::fprintf(stderr, "ScriptedServer: %s\n", text.c_str());
        impl->errs.push_back(text);
    }
    impl->port = impl->listener.usLocalPort;
}

ScriptedServer::~ScriptedServer() {
    if (impl->thread.joinable()) {
        impl->stop = true;
        impl->thread.join();
    }
}

unsigned short ScriptedServer::port() const {
    return impl->port;
}

Script& ScriptedServer::session() {
    impl->scripts.push_back(std::make_unique<Script>());
    return *impl->scripts.back();
}

void ScriptedServer::start() {
    std::lock_guard<std::mutex> lock(impl->mu);
    if (impl->started) return;
    impl->started = true;
    impl->got.assign(impl->scripts.size(), std::string());
    if (!impl->errs.empty()) {
        impl->done = true;
        return;
    }
    impl->thread = std::thread([this] { impl->run(); });
}

bool ScriptedServer::finish() {
    {
        std::unique_lock<std::mutex> lock(impl->mu);
        if (!impl->started) {
            impl->errs.push_back("finish() called before start()");
            return false;
        }
        // A little beyond the bound, so that a wait the thread has just begun
        // ends (and is reported) before finish gives up on it.
        auto grace = std::chrono::milliseconds(impl->boundms + 250);
        if (!impl->cv.wait_for(lock, grace, [this] { return impl->done; })) {
            impl->errs.push_back("scripts still running after " + std::to_string(impl->boundms) +
                                 " ms");
        }
    }
    if (impl->thread.joinable()) {
        impl->stop = true;
        impl->thread.join();
    }
    std::lock_guard<std::mutex> lock(impl->mu);
    return impl->errs.empty();
}

std::string ScriptedServer::received(size_t i) const {
    std::lock_guard<std::mutex> lock(impl->mu);
    return i < impl->got.size() ? impl->got[i] : std::string();
}

std::vector<std::string> ScriptedServer::errors() const {
    std::lock_guard<std::mutex> lock(impl->mu);
    return impl->errs;
}

std::string ScriptedServer::errortext() const {
    std::string text;
    for (const std::string& e : errors()) text += e + "\n";
    return text;
}

size_t ScriptedServer::accepted() const {
    std::lock_guard<std::mutex> lock(impl->mu);
    return impl->naccepted;
}
