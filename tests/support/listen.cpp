// The listening end, socket options and peer names, for tests and
// benchmarks.
#include "testnet.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

namespace testnet {

int Passive(Socket& s, unsigned short port, int reuse, unsigned long localAddr) {
    if (reuse > 0) {
        int on = 1;
        setsockopt(s.descriptor(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    s.usLocalPort = port;
    std::memset(&s.saLocal, 0, sizeof s.saLocal);
    s.saLocal.sin_family = AF_INET;
    s.saLocal.sin_port = htons(port);
    s.saLocal.sin_addr.s_addr = static_cast<in_addr_t>(localAddr);
    sockaddr* local = reinterpret_cast<sockaddr*>(&s.saLocal);
    s.iResult = bind(s.descriptor(), local, sizeof s.saLocal);
    if (s.iResult < 0) return s.iResult;
    s.iResult = listen(s.descriptor(), 10);
    if (s.iResult < 0 || port != 0) return s.iResult;
    socklen_t len = sizeof s.saLocal;
    s.iResult = getsockname(s.descriptor(), local, &len);
    if (s.iResult < 0) return s.iResult;
    s.usLocalPort = ntohs(s.saLocal.sin_port);
    return 0;
}

unsigned short BoundPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

std::unique_ptr<Socket> Accept(Socket& listener) {
    auto peer = std::make_unique<Socket>();
    socklen_t len = sizeof peer->saRemote;
    int fd = accept4(listener.descriptor(), reinterpret_cast<sockaddr*>(&peer->saRemote), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        listener.iResult = -1;
        return nullptr;
    }
    peer->adopt(fd);
    return peer;
}

namespace {

int setoption(Socket& s, int name, const void* value, socklen_t len) {
    s.iResult = setsockopt(s.descriptor(), SOL_SOCKET, name, value, len);
    return s.iResult;
}

int turnon(Socket& s, int name) {
    int on = 1;
    return setoption(s, name, &on, sizeof on);
}

}  // namespace

int SetOob(Socket& s) { return turnon(s, SO_OOBINLINE); }

int SetLinger(Socket& s) {
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 20;
    return setoption(s, SO_LINGER, &lg, sizeof lg);
}

int SetKeepAlive(Socket& s) { return turnon(s, SO_KEEPALIVE); }

int SetReusePort(Socket& s, int flag) {
    int on = flag == 1 ? 1 : 0;
    return setoption(s, SO_REUSEADDR, &on, sizeof on);
}

std::string PeerAddr(const Socket& s) {
    char addr[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &s.saRemote.sin_addr, addr, sizeof addr);
    return addr;
}

int ResolveName(Socket& s, std::string& name) {
    char host[NI_MAXHOST];
    bool found = getnameinfo(reinterpret_cast<const sockaddr*>(&s.saRemote), sizeof s.saRemote, host,
                             sizeof host, nullptr, 0, NI_NAMEREQD) == 0;
    name = found ? host : PeerAddr(s);
    return s.iResult = found ? 0 : -1;
}

std::string AddressLiteral(const Socket& s) { return "[" + PeerAddr(s) + "]"; }

}  // namespace testnet
