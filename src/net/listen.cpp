// The listening end: Passive, Accept, socket options and peer names.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "net/socket.h"

namespace {

const int kPeerSize = 128;

// Copies text into a peer string, cut so that it stays terminated.
void copypeer(char* dst, const char* text) {
    size_t n = strnlen(text, kPeerSize - 1);
    std::memcpy(dst, text, n);
    dst[n] = '\0';
}

}  // namespace

int Socket::Passive(unsigned short port, int reuse, unsigned long localAddr) {
    if (reuse > 0) {
        int on = 1;
        setsockopt(iSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    usLocalPort = port;
    std::memset(&saLocal, 0, sizeof saLocal);
    saLocal.sin_family = AF_INET;
    saLocal.sin_port = htons(usLocalPort);
    saLocal.sin_addr.s_addr = static_cast<in_addr_t>(localAddr);

    iResult = bind(iSocket, reinterpret_cast<sockaddr*>(&saLocal), iAddrLen);
    if (iResult < 0) return iResult;
    iResult = listen(iSocket, 10);
    if (iResult < 0) return iResult;
    if (usLocalPort == 0 && ReadLocalPort() < 0) return iResult;
    return 0;
}

Socket* Socket::Accept() {
    Socket* peer = new Socket;
    socklen_t len = iAddrLen;
    peer->iSocket =
        accept4(iSocket, reinterpret_cast<sockaddr*>(&peer->saRemote), &len, SOCK_CLOEXEC);
    iAddrLen = len;
    if (peer->iSocket < 0) {
        iResult = -1;
        delete peer;
        return nullptr;
    }
    peer->pszPeerAddr = new char[kPeerSize]();
    inet_ntop(AF_INET, &peer->saRemote.sin_addr, peer->pszPeerAddr, kPeerSize);
    return peer;
}

int Socket::SetOob() {
    int on = 1;
    iResult = setsockopt(iSocket, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    return iResult;
}

// Closing always lingers up to 20 seconds; the argument is kept for the
// callers' sake and has no effect.
int Socket::SetLinger(int) {
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 20;
    iResult = setsockopt(iSocket, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    return iResult;
}

int Socket::SetKeepAlive() {
    int on = 1;
    iResult = setsockopt(iSocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    return iResult;
}

int Socket::SetNoDelay() {
    int on = 1;
    iResult = setsockopt(iSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return iResult;
}

// Failure only costs a round trip; iResult keeps what the last transfer
// left.
void Socket::Cork(bool on) {
    int flag = on ? 1 : 0;
    setsockopt(iSocket, IPPROTO_TCP, TCP_CORK, &flag, sizeof flag);
}

// Failure only costs the delay; iResult keeps what the last transfer left.
void Socket::AckNow() {
    int on = 1;
    setsockopt(iSocket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

int Socket::SetReusePort(int flag) {
    int on = flag == 1 ? 1 : 0;
    iResult = setsockopt(iSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return iResult;
}

// Makes pszPeerAddr (when missing) and a fresh pszPeerName.
void Socket::PreparePeerStrings() {
    if (!pszPeerAddr) {
        pszPeerAddr = new char[kPeerSize]();
        inet_ntop(AF_INET, &saRemote.sin_addr, pszPeerAddr, kPeerSize);
    }
    delete[] pszPeerName;
    pszPeerName = new char[kPeerSize]();
}

int Socket::ResolveName() {
    PreparePeerStrings();
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&saRemote), sizeof saRemote, host, sizeof host,
                    nullptr, 0, NI_NAMEREQD) == 0) {
        copypeer(pszPeerName, host);
        iResult = 0;
    } else {
        copypeer(pszPeerName, pszPeerAddr);
        iResult = -1;
    }
    return iResult;
}

int Socket::SetPeerName() {
    PreparePeerStrings();
    std::snprintf(pszPeerName, kPeerSize, "[%s]", pszPeerAddr);
    iResult = 0;
    return 0;
}
