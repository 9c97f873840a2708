#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <zlib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <functional>
#include <mutex>
#include <thread>

struct Script::Step {
    enum Kind {
        Send, SendSplit, Expect, ExpectBytes, ExpectAny, ExpectData, Pause, Drop, Reset, Silence, Drain, StartTls,
        NothingAhead, Call, Deflate
    };
    Kind kind;
    std::string bytes;
    std::vector<size_t> sizes;
    int ms;
    std::function<void()> call = nullptr;
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

Script& Script::expectbytes(const std::string& bytes) {
    steps.push_back({Step::ExpectBytes, bytes, {}, 0});
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

Script& Script::reset() {
    steps.push_back({Step::Reset, {}, {}, 0});
    return *this;
}

Script& Script::call(std::function<void()> action) {
    steps.push_back({Step::Call, {}, {}, 0, std::move(action)});
    return *this;
}

Script& Script::nothingahead(int ms) {
    steps.push_back({Step::NothingAhead, {}, {}, ms});
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

Script& Script::starttls(const std::string& cert) {
    steps.push_back({Step::StartTls, cert, {}, 0});
    return *this;
}

Script& Script::deflate(const std::string& reply, const std::string& ahead) {
    steps.push_back({Step::Deflate, reply, {}, 0});
    steps.back().sizes.assign(1, ahead.size());
    steps.back().bytes += ahead;
    return *this;
}

namespace {

// Raw deflate both ways, once a session is compressed.
struct Deflater {
    z_stream out{};
    z_stream in{};
    Deflater() {
        deflateInit2(&out, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        inflateInit2(&in, -15);
    }
    ~Deflater() {
        deflateEnd(&out);
        inflateEnd(&in);
    }
    std::string pack(const std::string& plain) {
        std::string packed;
        out.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
        out.avail_in = static_cast<uInt>(plain.size());
        char chunk[4096];
        do {
            out.next_out = reinterpret_cast<Bytef*>(chunk);
            out.avail_out = sizeof chunk;
            deflate(&out, Z_SYNC_FLUSH);
            packed.append(chunk, sizeof chunk - out.avail_out);
        } while (out.avail_out == 0);
        return packed;
    }
    // False for bytes that are no deflate stream.
    bool unpack(const char* data, size_t len, std::string& plain) {
        in.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        in.avail_in = static_cast<uInt>(len);
        char chunk[4096];
        do {
            in.next_out = reinterpret_cast<Bytef*>(chunk);
            in.avail_out = sizeof chunk;
            int r = inflate(&in, Z_SYNC_FLUSH);
            if (r != Z_OK && r != Z_BUF_ERROR && r != Z_STREAM_END) return false;
            plain.append(chunk, sizeof chunk - in.avail_out);
            if (r != Z_OK) break;
        } while (in.avail_out == 0 || in.avail_in > 0);
        return true;
    }
};

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

// Why a TLS call failed: OpenSSL's reason when it has one.
std::string tlsreason(int sslerror, int savederrno) {
    unsigned long code = ERR_get_error();
    if (code != 0) {
        const char* reason = ERR_reason_error_string(code);
        if (reason) return reason;
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        return text;
    }
    if (sslerror == SSL_ERROR_SYSCALL && savederrno != 0) return std::strerror(savederrno);
    return "client closed the connection";
}

}  // namespace

struct ScriptedServer::Impl {
    int listener = -1;
    int boundms;
    unsigned short port = 0;  // 0 until listening
    std::vector<std::unique_ptr<Script>> scripts;
    std::string implicitcert;  // empty: sessions begin in plain text
    std::map<std::string, SSL_CTX*> contexts;  // by certificate name
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
        int fd;
        SSL* ssl = nullptr;   // set by the handshake
        std::string pending;  // received, not yet taken by an expect
        bool closed = false;  // the client has closed its side
        std::unique_ptr<Deflater> z;  // once compressed

        // A clean end says close_notify; a drop just closes.
        void end(bool abrupt) {
            if (ssl) {
                if (!abrupt && SSL_is_init_finished(ssl)) SSL_shutdown(ssl);
                SSL_free(ssl);
                ssl = nullptr;
            }
            if (fd >= 0) close(fd);
            fd = -1;
        }
    };

    ~Impl() {
        if (listener >= 0) close(listener);
        for (auto& c : contexts) SSL_CTX_free(c.second);
    }

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

    // Plain text that TLS has already decrypted is not seen by poll.
    Wait waitreadable(Session& s, Clock::time_point deadline) {
        if (s.ssl && SSL_pending(s.ssl) > 0) return Wait::Ready;
        return waitfor(s.fd, POLLIN, deadline);
    }

    void sleepfor(int ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!stop && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    // Reads what the client sent, once the socket is readable; marks the
    // session closed when the client has closed (or the read failed).
    void readsome(Session& s) {
        char buf[16384];
        ssize_t n;
        if (s.ssl) {
            ERR_clear_error();
            int r = SSL_read(s.ssl, buf, sizeof buf);
            int e = r > 0 ? SSL_ERROR_NONE : SSL_get_error(s.ssl, r);
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return;
            n = r;
        } else {
            n = recv(s.fd, buf, sizeof buf, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        }
        if (n <= 0) {
            s.closed = true;
            return;
        }
        std::string plain(buf, n);
        if (s.z) {
            plain.clear();
            if (!s.z->unpack(buf, n, plain)) {
                error("session " + std::to_string(s.index) + ": the client sent no deflate stream");
                s.closed = true;
            }
        }
        s.pending += plain;
        std::lock_guard<std::mutex> lock(mu);
        got[s.index] += plain;
    }

    // Takes one line (up to LF) into line; false after an error was recorded.
    // A line, or count bytes when count is not 0.
    bool readline(Session& s, const std::string& what, std::string& line, size_t count = 0) {
        auto deadline = Clock::now() + std::chrono::milliseconds(boundms);
        for (;;) {
            size_t end = count ? (s.pending.size() >= count ? count : 0) : s.pending.find('\n') + 1;
            if (end != 0) {
                line = s.pending.substr(0, end);
                s.pending.erase(0, end);
                return true;
            }
            std::string prefix = "session " + std::to_string(s.index) + ": " + what + ": ";
            if (s.closed) {
                error(prefix + "client closed the connection" +
                      (s.pending.empty() ? "" : " after " + shown(s.pending)));
                return false;
            }
            Wait w = waitreadable(s, deadline);
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
            if (s.closed || waitreadable(s, deadline) != Wait::Ready) return;
            readsome(s);
        } while (Clock::now() < deadline);
    }

    // Sends bytes, each wait for the client to take more bounded: a client
    // that stops reading must not leave the server stuck in a send that
    // finish() then waits for.
    bool sendbytes(Session& s, const std::string& plain) {
        const std::string bytes = s.z ? s.z->pack(plain) : plain;
        auto fail = [&](const std::string& why) {
            error("session " + std::to_string(s.index) + ": sending " + shown(bytes) + why);
            return false;
        };
        for (size_t at = 0; at < bytes.size();) {
            short events = POLLOUT;
            if (s.ssl) {
                ERR_clear_error();
                int n = SSL_write(s.ssl, bytes.data() + at, static_cast<int>(bytes.size() - at));
                if (n > 0) {
                    at += n;
                    continue;
                }
                int e = SSL_get_error(s.ssl, n);
                if (e == SSL_ERROR_WANT_READ) {
                    events = POLLIN;
                } else if (e != SSL_ERROR_WANT_WRITE) {
                    return fail(" failed: " + tlsreason(e, errno));
                }
            } else {
                // In pieces: a send of megabytes that the socket takes a
                // part of costs its whole length again each time under
                // ThreadSanitizer, and outlasts the bound of finish().
                size_t piece = std::min(bytes.size() - at, size_t{1} << 18);
                ssize_t n = ::send(s.fd, bytes.data() + at, piece, MSG_NOSIGNAL);
                if (n >= 0) {
                    at += n;
                    continue;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    return fail(std::string(" failed: ") + std::strerror(errno));
            }
            Wait w = waitfor(s.fd, events, Clock::now() + std::chrono::milliseconds(boundms));
            if (w == Wait::TimedOut) return fail(": not taken within " + std::to_string(boundms) + " ms");
            if (w == Wait::Stopped) return fail(": stopped");
        }
        return true;
    }

    // The server side of a TLS handshake on the session's connection; false
    // after an error was recorded.
    bool handshake(Session& s, const std::string& cert) {
        std::string prefix = "session " + std::to_string(s.index) + ": TLS handshake failed: ";
        // Plain bytes sent before the handshake must not pass for protected
        // ones: the client has not waited for the reply to STARTTLS.
        if (!s.pending.empty()) {
            error(prefix + "the client sent " + shown(s.pending) + " before it");
            return false;
        }
        s.ssl = SSL_new(contexts.at(cert));
        SSL_set_fd(s.ssl, s.fd);
        auto deadline = Clock::now() + std::chrono::milliseconds(boundms);
        for (;;) {
            ERR_clear_error();
            int r = SSL_accept(s.ssl);
            if (r == 1) return true;
            int saved = errno;
            int e = SSL_get_error(s.ssl, r);
            short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
            if (events == 0) {
                error(prefix + tlsreason(e, saved));
                return false;
            }
            Wait w = waitfor(s.fd, events, deadline);
            if (w == Wait::TimedOut) {
                error(prefix + "not done within " + std::to_string(boundms) + " ms");
                return false;
            }
            if (w == Wait::Stopped) {
                error(prefix + "stopped");
                return false;
            }
        }
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
        case Script::Step::ExpectBytes: {
            std::string got;
            if (!readline(s, "expecting " + shown(step.bytes), got, step.bytes.size())) return false;
            if (got == step.bytes) return true;
            error("session " + std::to_string(s.index) + ": expected " + shown(step.bytes) + ", got " + shown(got));
            return false;
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
            s.end(true);
            return false;
        case Script::Step::Reset: {
            // A close that lingers for no time sends RST.
            linger now{1, 0};
            setsockopt(s.fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
            s.end(true);
            return false;
        }
        case Script::Step::Silence:
            listenquietly(s, step.ms);
            return true;
        case Script::Step::Call:
            step.call();
            return true;
        case Script::Step::NothingAhead:
            listenquietly(s, step.ms);
            if (s.pending.empty()) return true;
            error("session " + std::to_string(s.index) + ": sent ahead of the answer: " + shown(s.pending));
            return false;
        case Script::Step::Drain:
            listenquietly(s, boundms);
            return true;
        case Script::Step::StartTls:
            return handshake(s, step.bytes);
        case Script::Step::Deflate: {
            size_t ahead = step.sizes[0];
            auto z = std::make_unique<Deflater>();
            std::string bytes = step.bytes.substr(0, step.bytes.size() - ahead) +
                                (ahead > 0 ? z->pack(step.bytes.substr(step.bytes.size() - ahead)) : "");
            if (!sendbytes(s, bytes)) return false;
            s.z = std::move(z);
            return true;
        }
        }
        return false;
    }

    void run() {
        // OpenSSL writes without MSG_NOSIGNAL: a client gone must not kill
        // the test.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        for (size_t i = 0; i < scripts.size() && !stop; i++) {
            auto deadline = Clock::now() + std::chrono::milliseconds(boundms);
            Wait w = waitfor(listener, POLLIN, deadline);
            if (w != Wait::Ready) {
                error("session " + std::to_string(i) + ": no connection within " +
                      std::to_string(boundms) + " ms");
                break;
            }
            // Non-blocking, so that a TLS read of a record only partly
            // arrived cannot block.
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                error("session " + std::to_string(i) + ": accept failed: " + std::strerror(errno));
                break;
            }
            // Pieces of a split reply must leave as separate segments.
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            {
                std::lock_guard<std::mutex> lock(mu);
                naccepted++;
            }
            Session s{i, fd, nullptr, std::string(), false, nullptr};
            bool ran = implicitcert.empty() || handshake(s, implicitcert);
            for (size_t k = 0; ran && k < scripts[i]->steps.size(); k++) {
                const Script::Step& step = scripts[i]->steps[k];
                if (!play(s, step)) {
                    ran = step.kind == Script::Step::Drop || step.kind == Script::Step::Reset;
                    break;
                }
            }
            // Keep what the client already sent after the last step.
            if (ran && s.fd >= 0 && !s.closed) listenquietly(s, 0);
            s.end(false);
        }
        // Later connections are refused at once instead of hanging.
        if (listener >= 0) close(listener);
        listener = -1;
        std::lock_guard<std::mutex> lock(mu);
        done = true;
        cv.notify_all();
    }
};

ScriptedServer::ScriptedServer(unsigned short port, int boundms, Address address) : impl(new Impl) {
    impl->boundms = boundms;
    sockaddr_storage ss{};
    socklen_t len;
    if (address == IPv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        a->sin6_addr = in6addr_loopback;
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a;
    }
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&ss), len) < 0 || listen(fd, 10) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) < 0) {
        std::string text = std::string("cannot listen on ") +
                           (address == IPv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port) +
                           ": " + std::strerror(errno);
        std::fprintf(stderr, "ScriptedServer: %s\n", text.c_str());
        impl->errs.push_back(text);
        if (fd >= 0) close(fd);
        return;
    }
    impl->listener = fd;
    // sin_port and sin6_port lie at the same place.
    impl->port = ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
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

// By the port, which unlike the listener stays as the constructor left it.
bool ScriptedServer::listening() const {
    return impl->port != 0;
}

void ScriptedServer::tls(const std::string& cert) {
    impl->implicitcert = cert;
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
    // Certificates load here, so that a missing one fails before any client
    // connects.
    std::vector<std::string> certs;
    if (!impl->implicitcert.empty()) certs.push_back(impl->implicitcert);
    for (auto& script : impl->scripts)
        for (auto& step : script->steps)
            if (step.kind == Script::Step::StartTls) certs.push_back(step.bytes);
    for (const std::string& cert : certs) {
        if (impl->contexts.count(cert)) continue;
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        impl->contexts[cert] = ctx;
        std::string path = std::string(VORPA_CERTS) + "/" + cert;
        ERR_clear_error();
        if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, (path + ".pem").c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, (path + ".key").c_str(), SSL_FILETYPE_PEM) != 1) {
            impl->errs.push_back("cannot load the certificate " + path + ": " + tlsreason(0, 0));
            continue;
        }
        // No session tickets: unsolicited bytes the client never reads would
        // turn its close into a reset that can lose what it sent last.
        SSL_CTX_set_num_tickets(ctx, 0);
        // A client that closes without close_notify just ends the stream.
        SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }
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
