#include "net/socks.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

constexpr unsigned char kVersion = 5;
constexpr unsigned char kNoLogin = 0;
constexpr unsigned char kUserLogin = 2;
constexpr unsigned char kNoneTaken = 0xFF;
constexpr unsigned char kConnect = 1;
constexpr unsigned char kIPv4 = 1, kName = 3, kIPv6 = 4;

// Exactly n bytes of the proxy's answer into to: never more, as the
// server's own bytes follow the last answer.
bool readexactly(Socket& sock, unsigned char* to, int n, std::string& why) {
    for (int got = 0; got < n;) {
        int r = sock.Recv(n - got);
        if (r <= 0) {
            why = errno == kPeerClosed || r == 0 ? "closed the connection" : std::string("did not answer: ") +
                                                                                    std::strerror(errno);
            return false;
        }
        std::memcpy(to + got, sock.line(), static_cast<size_t>(r));
        got += r;
    }
    return true;
}

bool sendall(Socket& sock, const std::string& data, std::string& why) {
    if (sock.Send(data.data(), static_cast<int>(data.size())) != -1) return true;
    why = std::string("lost the connection: ") + std::strerror(errno);
    return false;
}

// RFC 1928's reply codes.
const char* refusal(unsigned char code) {
    switch (code) {
    case 1: return "general failure";
    case 2: return "not allowed by its rules";
    case 3: return "network unreachable";
    case 4: return "host unreachable";
    case 5: return "connection refused";
    case 6: return "time-out";
    case 7: return "command not supported";
    case 8: return "address type not supported";
    default: return "unknown reply";
    }
}

// The address part of the CONNECT: the name itself for the proxy to
// resolve, or an address (a literal, or found here).
bool destination(const Proxy& proxy, const std::string& host, std::string& out, std::string& why) {
    unsigned char addr[16];
    if (inet_pton(AF_INET, host.c_str(), addr) == 1) {
        out = std::string(1, static_cast<char>(kIPv4)) + std::string(reinterpret_cast<char*>(addr), 4);
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), addr) == 1) {
        out = std::string(1, static_cast<char>(kIPv6)) + std::string(reinterpret_cast<char*>(addr), 16);
        return true;
    }
    if (proxy.remotenames) {
        if (host.size() > 255) {
            why = "cannot take a host name longer than 255 bytes";
            return false;
        }
        out = std::string(1, static_cast<char>(kName)) + static_cast<char>(host.size()) + host;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int r = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(r == 0 ? found : nullptr, freeaddrinfo);
    for (const addrinfo* ai = list.get(); ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
            out = std::string(1, static_cast<char>(kIPv4)) +
                  std::string(reinterpret_cast<const char*>(&in->sin_addr), 4);
            return true;
        }
        if (ai->ai_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr);
            out = std::string(1, static_cast<char>(kIPv6)) +
                  std::string(reinterpret_cast<const char*>(&in6->sin6_addr), 16);
            return true;
        }
    }
    why = "was not asked: " + host + " has no address here (" +
          (r == 0 ? "no IPv4 or IPv6 address" : r == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(r)) +
          "); socks5h:// lets the proxy find it";
    return false;
}

bool login(Socket& sock, const Proxy& proxy, std::string& why) {
    std::string request(1, '\1');
    request += static_cast<char>(proxy.user.size());
    request += proxy.user;
    request += static_cast<char>(proxy.pass.size());
    request += proxy.pass;
    if (!sendall(sock, request, why)) return false;
    unsigned char answer[2];
    sock.StartReply();
    if (!readexactly(sock, answer, 2, why)) return false;
    if (answer[1] == 0) return true;
    why = "refused the login of " + proxy.user;
    return false;
}

}  // namespace

bool socksconnect(Socket& sock, const Proxy& proxy, const std::string& host, unsigned short port, std::string& why) {
    std::string target;
    if (!destination(proxy, host, target, why)) return false;
    bool withlogin = !proxy.user.empty();
    std::string hello{static_cast<char>(kVersion), static_cast<char>(withlogin ? 2 : 1), static_cast<char>(kNoLogin)};
    if (withlogin) hello += static_cast<char>(kUserLogin);
    if (!sendall(sock, hello, why)) return false;
    unsigned char chosen[2];
    sock.StartReply();
    if (!readexactly(sock, chosen, 2, why)) return false;
    if (chosen[0] != kVersion || (chosen[1] != kNoLogin && chosen[1] != kNoneTaken && chosen[1] != kUserLogin) ||
        (chosen[1] == kUserLogin && !withlogin)) {
        why = "did not answer as a SOCKS5 proxy";
        return false;
    }
    if (chosen[1] == kNoneTaken) {
        why = withlogin ? "takes neither no login nor a user and password"
                        : "asks for a login: put user:password@ before its host in PROXY";
        return false;
    }
    if (chosen[1] == kUserLogin && !login(sock, proxy, why)) return false;

    std::string request{static_cast<char>(kVersion), static_cast<char>(kConnect), 0};
    request += target;
    request += static_cast<char>(port >> 8);
    request += static_cast<char>(port & 0xFF);
    if (!sendall(sock, request, why)) return false;
    unsigned char head[4];
    sock.StartReply();
    if (!readexactly(sock, head, 4, why)) return false;
    if (head[0] != kVersion) {
        why = "did not answer as a SOCKS5 proxy";
        return false;
    }
    if (head[1] != 0) {
        why = "refused the connection to " + host + " at port " + std::to_string(port) + ": " + refusal(head[1]);
        return false;
    }
    // The address it connected from, which tells nothing we need; its
    // length is the proxy's word, bounded by one byte.
    int rest = head[3] == kIPv4 ? 4 : head[3] == kIPv6 ? 16 : -1;
    unsigned char bound[258];
    if (head[3] == kName) {
        if (!readexactly(sock, bound, 1, why)) return false;
        rest = bound[0];
    }
    if (rest < 0) {
        why = "did not answer as a SOCKS5 proxy";
        return false;
    }
    return readexactly(sock, bound, rest + 2, why);
}
