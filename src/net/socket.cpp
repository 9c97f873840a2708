// The Socket object: creating, connecting, sending and closing.
#include "net/socket.h"

#include "core/report.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>

Socket::Socket()
    : ownBuf(std::make_unique<char[]>(kBufSize)),
      ownRecv1(std::make_unique<char[]>(kBufSize)),
      ownRecv2(std::make_unique<char[]>(kBufSize)),
      sockfd(-1),
      lineBuf(ownBuf.get()),
      timeoutSeconds(300),
      iResult(0),
      iEol(0),
      saLocal(),
      saRemote(),
      usLocalPort(0),
      iAddrLen(sizeof(sockaddr_in)),
      iCurBuf(1),
      pcRecvBuf1(ownRecv1.get()),
      pcRecvBuf2(ownRecv2.get()),
      iRecvPos1(0),
      iRecvLen1(0),
      iRecvPos2(0),
      iRecvLen2(0),
      iBufUsed(0) {}

Socket::~Socket() {
    Unwind();
    if (sockfd >= 0) close(sockfd);
}

int Socket::Create() {
    // A socket still held would leak, with its read-ahead data.
    if (sockfd >= 0) Close();
    bBroken = false;
    // Close-on-exec so that a program we start never holds our connection open.
    sockfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return sockfd;
}

void Socket::adopt(int fd) {
    if (sockfd >= 0) Close();
    bBroken = false;
    sockfd = fd;
}

// Whether an address is one a server can have: the all-ones IPv4 address
// never is, also when written out.
static bool usable(const addrinfo* ai) {
    if (ai->ai_family == AF_INET6) return true;
    if (ai->ai_family != AF_INET) return false;
    return reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr != INADDR_NONE;
}

int Socket::Connect(const char* host, unsigned short port, unsigned short localPort,
                    unsigned long localAddr) {
    // The name lookup and the connection may take long: show what has
    // been reported so far first.
    if (report) report->flush();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    iLookupError = host ? getaddrinfo(host, nullptr, &hints, &found) : EAI_NONAME;
    if (iLookupError != 0) found = nullptr;
    if (iLookupError == EAI_SYSTEM) iLookupError = 0;  // errno tells
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
    if (sockfd < 0) errno = EBADF;
    iConnectErrno = errno;
    iResult = -1;
    if (sockfd < 0 || !found) return -1;

    int reason = EADDRNOTAVAIL;
    bool fresh = true;  // the socket of Create, not yet used by an attempt
    for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
        if (!usable(ai)) continue;
        // An IPv4 local address cannot be bound to an IPv6 socket.
        if (ai->ai_family == AF_INET6 && localAddr != 0) continue;
        // A failed attempt spoils the socket; the family must match.
        if ((!fresh || ai->ai_family != AF_INET) && Renew(ai->ai_family) < 0) {
            reason = errno;
            continue;
        }
        fresh = false;
        std::memset(&saRemote, 0, sizeof saRemote);
        std::memset(&saLocal, 0, sizeof saLocal);
        usLocalPort = localPort;
        sockaddr_storage remote{};
        std::memcpy(&remote, ai->ai_addr, ai->ai_addrlen);
        if (ai->ai_family == AF_INET) {
            std::memcpy(&saRemote, ai->ai_addr, sizeof saRemote);
            saRemote.sin_port = htons(port);
            reinterpret_cast<sockaddr_in*>(&remote)->sin_port = htons(port);
            saLocal.sin_family = AF_INET;
            saLocal.sin_addr.s_addr = static_cast<in_addr_t>(localAddr);
            saLocal.sin_port = htons(usLocalPort);
            iResult = bind(sockfd, reinterpret_cast<sockaddr*>(&saLocal), iAddrLen);
        } else {
            reinterpret_cast<sockaddr_in6*>(&remote)->sin6_port = htons(port);
            sockaddr_in6 local{};
            local.sin6_family = AF_INET6;
            local.sin6_port = htons(usLocalPort);
            iResult = localPort ? bind(sockfd, reinterpret_cast<sockaddr*>(&local), sizeof local) : 0;
        }
        if (iResult == 0 && ConnectTo(reinterpret_cast<sockaddr*>(&remote), ai->ai_addrlen) == 0) {
            if (usLocalPort == 0) ReadLocalPort();
            RestartPace();
            iResult = 0;
            return 0;
        }
        reason = errno;
    }
    errno = reason;
    iConnectErrno = reason;
    iResult = -1;
    return -1;
}

const char* Socket::ConnectError() const {
    return iLookupError != 0 ? gai_strerror(iLookupError) : std::strerror(iConnectErrno);
}

// A new socket of family under the same descriptor number.
int Socket::Renew(int family) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int r = dup3(fd, sockfd, O_CLOEXEC);
    int saved = errno;
    close(fd);
    errno = saved;
    return r < 0 ? -1 : 0;
}

// connect() with its wait bounded by timeoutSeconds: a host that drops
// connection attempts must not hold the run for the system's minutes.
int Socket::ConnectTo(const sockaddr* addr, unsigned addrlen) {
    int flags = fcntl(sockfd, F_GETFL);
    if (flags < 0 || fcntl(sockfd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    int r = connect(sockfd, addr, addrlen);
    if (r != 0 && errno == EINPROGRESS) {
        int ready = WaitReady(POLLOUT, TimeoutMs());
        int error = 0;
        socklen_t len = sizeof error;
        if (ready == 0) {
            error = ETIMEDOUT;
        } else if (ready > 0 && getsockopt(sockfd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
            error = errno;
        } else if (ready < 0) {
            error = errno;
        }
        r = error == 0 ? 0 : -1;
        errno = error;
    }
    int saved = errno;
    fcntl(sockfd, F_SETFL, flags);
    errno = saved;
    return r;
}

bool Socket::HungUp() const {
    if (sockfd < 0 || bBroken) return true;
    // RDHUP also sees the end behind a TLS alert that is still unread.
    pollfd pfd{sockfd, POLLIN | POLLRDHUP, 0};
    if (poll(&pfd, 1, 0) <= 0) return false;
    if (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) return true;
    char byte;
    return recv(sockfd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

bool Socket::IsLoopback() const {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (sockfd < 0 || getpeername(sockfd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
    if (peer.ss_family == AF_INET) {
        uint32_t addr = ntohl(reinterpret_cast<sockaddr_in*>(&peer)->sin_addr.s_addr);
        return (addr >> 24) == 127;
    }
    if (peer.ss_family != AF_INET6) return false;
    const in6_addr& a = reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
}

bool Socket::IsNearby() const {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (sockfd < 0 || getpeername(sockfd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
    uint32_t v4 = 0;
    if (peer.ss_family == AF_INET) {
        v4 = ntohl(reinterpret_cast<sockaddr_in*>(&peer)->sin_addr.s_addr);
    } else if (peer.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a) || IN6_IS_ADDR_LINKLOCAL(&a) || (a.s6_addr[0] & 0xfe) == 0xfc) return true;
        if (!IN6_IS_ADDR_V4MAPPED(&a)) return false;
        v4 = (uint32_t{a.s6_addr[12]} << 24) | (uint32_t{a.s6_addr[13]} << 16) | (uint32_t{a.s6_addr[14]} << 8) |
             a.s6_addr[15];
    } else {
        return false;
    }
    return (v4 >> 24) == 127 || (v4 >> 24) == 10 || (v4 >> 20) == 0xac1 || (v4 >> 16) == 0xc0a8 ||
           (v4 >> 16) == 0xa9fe;
}

// Reads back the local address the system chose, with its port; the result
// of the call is left in iResult.
int Socket::ReadLocalPort() {
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    iResult = getsockname(sockfd, reinterpret_cast<sockaddr*>(&local), &len);
    if (iResult < 0) return iResult;
    if (local.ss_family == AF_INET6) {
        usLocalPort = ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    } else {
        std::memcpy(&saLocal, &local, sizeof saLocal);
        iAddrLen = sizeof saLocal;
        usLocalPort = ntohs(saLocal.sin_port);
    }
    return iResult;
}

int Socket::Send(const char* data, int length) {
    // The kernel may take a send in parts: send the rest until all is out.
    // MSG_NOSIGNAL turns a reset peer into -1 instead of a SIGPIPE that
    // would end the program. A peer that stops reading, or reads slowly,
    // must not hold the program for ever: the waits for room are bounded
    // as those for data are. The answer's time starts once all is out,
    // what a layer kept back included.
    RestartPace();
    int sent = 0;
    for (;;) {
        bool flushing = sent == length;
        int n = flushing ? top->flush() : RawSend(data + sent, length - sent);
        if (n > 0) Moved(n);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ready = WaitPaced(POLLOUT);
            if (ready > 0) continue;
            if (ready == 0) errno = ETIMEDOUT;
        }
        if (n < 0) {
            bBroken = true;
            iResult = -1;
            return -1;
        }
        if (flushing) break;
        sent += n;
    }
    RestartPace();
    // A command sent from lineBuf may lie over a longer text built there
    // before it, beyond its own terminator: the next reception clears all.
    if (data >= lineBuf && data < lineBuf + kBufSize) iBufUsed = kBufSize;
    iResult = sent;
    return sent;
}

int Socket::Close() {
    iRecvPos1 = iRecvLen1 = iRecvPos2 = iRecvLen2 = 0;
    iCurBuf = 1;
    std::memset(lineBuf, 0, kBufSize);
    iBufUsed = 0;
    std::memset(pcRecvBuf1, 0, kBufSize);
    std::memset(pcRecvBuf2, 0, kBufSize);
    timeoutSeconds = 300;
    usLocalPort = 0;
    Unwind();
    bBroken = false;
    if (sockfd < 0) {
        errno = EBADF;
        iResult = -1;
        return -1;
    }
    iResult = close(sockfd);
    sockfd = -1;
    return iResult;
}

bool Socket::Deflate() {
    auto layer = std::make_unique<DeflateLayer>();
    if (!layer->ready()) return false;
    deflater = layer.get();
    Push(std::move(layer));
    return true;
}

const Carried* Socket::Compression() const { return deflater ? &deflater->carried() : nullptr; }

void Socket::Pop() {
    if (layers.empty()) return;
    top = layers.back()->below;
    layers.pop_back();
}

// The highest first: a layer may still write to those below as it goes.
void Socket::Unwind() {
    while (!layers.empty()) Pop();
    bSecure = false;
    deflater = nullptr;
}
