// The TCP options the transfers set: no Nagle, corking, quick
// acknowledgements.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "net/socket.h"

int Socket::SetNoDelay() {
    int on = 1;
    iResult = setsockopt(sockfd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return iResult;
}

// Failure only costs a round trip; iResult keeps what the last transfer
// left.
void Socket::Cork(bool on) {
    int flag = on ? 1 : 0;
    setsockopt(sockfd, IPPROTO_TCP, TCP_CORK, &flag, sizeof flag);
}

// Failure only costs the delay; iResult keeps what the last transfer left.
void Socket::AckNow() {
    int on = 1;
    setsockopt(sockfd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}
