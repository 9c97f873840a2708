// The Socket object: creating, connecting, sending and closing.
#include "net/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

Socket::Socket()
    : iSocket(-1),
      iResult(0),
      iEol(0),
      pszBuf(new char[kBufSize]()),
      pszPeerName(nullptr),
      pszPeerAddr(nullptr),
      ulTimeout(300),
      saLocal(),
      saRemote(),
      usLocalPort(0),
      iAddrLen(sizeof(sockaddr_in)),
      iCurBuf(1),
      pcRecvBuf1(new char[kBufSize]),
      pcRecvBuf2(new char[kBufSize]),
      iRecvPos1(0),
      iRecvLen1(0),
      iRecvPos2(0),
      iRecvLen2(0),
      iBufUsed(0) {}

Socket::~Socket() {
    if (iSocket >= 0) close(iSocket);
    delete[] pszBuf;
    delete[] pcRecvBuf1;
    delete[] pcRecvBuf2;
    delete[] pszPeerName;
    delete[] pszPeerAddr;
}

int Socket::Create() {
    // A socket still held would leak, with its read-ahead data.
    if (iSocket >= 0) Close();
    // Close-on-exec so that a program we start never holds our connection open.
    iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return iSocket;
}

// The IPv4 address of host in network byte order, or INADDR_NONE.
static in_addr_t resolvehost(const char* host) {
    if (!host) return INADDR_NONE;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    in_addr_t addr = INADDR_NONE;
    if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found) {
        addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
        freeaddrinfo(found);
    } else {
        addr = inet_addr(host);
    }
    return addr;
}

int Socket::Connect(char* host, unsigned short port, unsigned short localPort,
                    unsigned long localAddr) {
    // The name lookup and the connection may take long: show what has
    // been reported so far first.
    std::fflush(stdout);
    in_addr_t addr = resolvehost(host);
    // The all-ones address is never a server, also when written out.
    if (addr == INADDR_NONE || iSocket < 0) {
        if (iSocket < 0) errno = EBADF;
        iResult = -1;
        return -1;
    }
    std::memset(&saRemote, 0, sizeof saRemote);
    saRemote.sin_family = AF_INET;
    saRemote.sin_port = htons(port);
    saRemote.sin_addr.s_addr = addr;

    std::memset(&saLocal, 0, sizeof saLocal);
    saLocal.sin_family = AF_INET;
    saLocal.sin_addr.s_addr = static_cast<in_addr_t>(localAddr);
    usLocalPort = localPort;
    saLocal.sin_port = htons(usLocalPort);

    iResult = bind(iSocket, reinterpret_cast<sockaddr*>(&saLocal), iAddrLen);
    if (iResult != 0) return iResult;

    iResult = connect(iSocket, reinterpret_cast<sockaddr*>(&saRemote), iAddrLen);
    if (iResult != 0) return -1;

    if (usLocalPort == 0 && ReadLocalPort() < 0) return iResult;
    return iResult;
}

// Reads back the local address the system chose, with its port; the result
// of the call is left in iResult.
int Socket::ReadLocalPort() {
    std::memset(&saLocal, 0, sizeof saLocal);
    socklen_t len = iAddrLen;
    iResult = getsockname(iSocket, reinterpret_cast<sockaddr*>(&saLocal), &len);
    iAddrLen = len;
    if (iResult >= 0) usLocalPort = ntohs(saLocal.sin_port);
    return iResult;
}

int Socket::Send(char* data, int length) {
    // The kernel may take a send in parts: send the rest until all is out.
    // MSG_NOSIGNAL turns a reset peer into -1 instead of a SIGPIPE that
    // would end the program. A peer that stops reading must not hold the
    // program for ever: each wait for room is bounded by ulTimeout, like
    // each wait for data.
    int sent = 0;
    while (sent < length) {
        ssize_t n = send(iSocket, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ready = WaitReady(POLLOUT, ulTimeout);
            if (ready > 0) continue;
            if (ready == 0) errno = ETIMEDOUT;
        }
        if (n < 0) {
            iResult = -1;
            return -1;
        }
        sent += static_cast<int>(n);
    }
    // A command sent from pszBuf may lie over a longer text built there
    // before it, beyond its own terminator: the next reception clears all.
    if (data >= pszBuf && data < pszBuf + kBufSize) iBufUsed = kBufSize;
    iResult = sent;
    return sent;
}

int Socket::Close() {
    iRecvPos1 = iRecvLen1 = iRecvPos2 = iRecvLen2 = 0;
    iCurBuf = 1;
    std::memset(pszBuf, 0, kBufSize);
    iBufUsed = 0;
    std::memset(pcRecvBuf1, 0, kBufSize);
    std::memset(pcRecvBuf2, 0, kBufSize);
    delete[] pszPeerAddr;
    pszPeerAddr = nullptr;
    delete[] pszPeerName;
    pszPeerName = nullptr;
    ulTimeout = 300;
    usLocalPort = 0;
    if (iSocket < 0) {
        errno = EBADF;
        iResult = -1;
        return -1;
    }
    iResult = close(iSocket);
    iSocket = -1;
    return iResult;
}
