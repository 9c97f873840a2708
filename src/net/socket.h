// One TCP connection (IPv4 or IPv6, plain or TLS) with line reception
// under time-outs. Its bytes pass through a stack of layers (layer.h): the
// descriptor, TLS when started, and whatever is pushed on top.
#ifndef VORPA_SOCKET_H
#define VORPA_SOCKET_H

#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "net/layer.h"

// Where a failed reception says what failed: the reporting sink, seen by
// the transport only through this pointer.
class Report;

// The TLS layer of a connection; only tls.cpp sees inside.
class TlsLayer;

// errno of a reception that met the end of the connection: the server
// closed it. No reception on a TCP socket fails with this value itself.
constexpr int kPeerClosed = ESHUTDOWN;

// How StartTls ended.
enum TlsResult {
    TLS_OK = 0,
    TLS_HANDSHAKE = -1,  // the handshake failed or timed out
    TLS_UNTRUSTED = -2,  // the certificate chain was not accepted
    TLS_BADNAME = -3,    // the certificate is not for this host
    TLS_AHEAD = -4,      // the server sent data before the handshake
    TLS_PLAIN = -5,      // the server answered in plain text: no TLS there
    TLS_NOTPINNED = -6,  // the certificate's fingerprint is not the pin
    TLS_LOST = -7,       // the connection ended in the handshake
};

// "sha256", ":XX" for each of 32 bytes, and the terminator.
constexpr size_t kFingerprintSize = 6 + 32 * 3 + 1;

class Socket {
    // What lineBuf, pcRecvBuf1 and pcRecvBuf2 point into.
    std::unique_ptr<char[]> ownBuf, ownRecv1, ownRecv2;
    int sockfd;  // -1: none
    char* lineBuf;
    unsigned long timeoutSeconds;

public:
    int iResult;
    int iEol;
    struct sockaddr_in saLocal;
    struct sockaddr_in saRemote;
    unsigned short usLocalPort;
    int iAddrLen;
    int iCurBuf;
    char* pcRecvBuf1;
    char* pcRecvBuf2;
    int iRecvPos1;
    int iRecvLen1;
    int iRecvPos2;
    int iRecvLen2;
    // Where a failed reception says what failed; nowhere when null.
    Report* report = nullptr;

    Socket();
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int Create();
    // Takes fd, a descriptor connected or listening already (an accepted
    // peer, one end of a socket pair), as this socket's, in place of
    // Create; one held before is closed.
    void adopt(int fd);
    // The descriptor, -1 while there is none (before Create, after Close).
    int descriptor() const { return sockfd; }
    bool isopen() const { return sockfd >= 0; }

    // Seconds each wait may take (see RecvTeol); 300 when made or closed.
    void settimeout(unsigned long seconds) { timeoutSeconds = seconds; }
    unsigned long timeout() const { return timeoutSeconds; }

    // The line or block the last reception delivered, NUL-terminated, in
    // the socket's buffer of 16 KB; the next reception overwrites it. A
    // command may be built in it and sent from there.
    char* line() { return lineBuf; }
    const char* line() const { return lineBuf; }

    // Tries every address of host (IPv6 and IPv4) in turn, each attempt
    // bounded by timeout(). saLocal and saRemote describe IPv4 ends only.
    int Connect(const char* host, unsigned short port, unsigned short localPort, unsigned long localAddr);
    int Connect(const char* host, unsigned short port) { return Connect(host, port, 0, 0); }
    // Why the last Connect failed: the resolver's words for a name it
    // could not resolve, else the system's for the last address tried.
    const char* ConnectError() const;
    int Send(const char* data, int length);
    int Send(const char* text) { return Send(text, static_cast<int>(std::strlen(text))); }
    int Close();

    // Turns the connection into TLS: the handshake (within timeout() as a
    // whole), the chain checked against cafile (a PEM bundle) or, when
    // it is empty, the system's store, and host against the certificate.
    // A pin ("sha256:AB:CD:..."), when not empty, takes the place of both
    // checks: the certificate is the one with that fingerprint or none.
    // Returns a TlsResult; TlsError() then says why in words.
    int StartTls(const char* host, const char* cafile, const char* pin);
    bool IsSecure() const { return bSecure; }
    const char* TlsError() const { return szTlsError; }
    // The SHA-256 fingerprint of the server's certificate as a pin spells
    // it, once a handshake got that far; empty before.
    const char* Fingerprint() const { return szFingerprint; }
    // Whether the peer is this machine (127.0.0.0/8 or ::1).
    bool IsLoopback() const;
    // Whether the peer is this machine or on a private network (RFC 1918,
    // link-local, IPv6 unique local).
    bool IsNearby() const;
    // Whether a reception failed (time-out, close, error) or a send did
    // since the socket was made: no answer can be waited for any more.
    bool Broken() const { return bBroken; }
    // Whether the server closed the connection or it failed, asked without
    // waiting: for a connection that was left waiting a while.
    bool HungUp() const;

    // Waiting is bounded as a whole, not wait by wait, however the server
    // drips its bytes: a reception may wait timeout() seconds in all, and
    // so may a reply, all that arrives from a command sent (or StartReply)
    // on. Each 1 KB that arrives restores the time: a transfer must move
    // 1 KB per timeout(), and a line shorter than that is complete within
    // timeout() of its start. A send is bounded alike.
    int RecvTeol(int strip);
    int RecvTeol() { return RecvTeol(0); }
    // A reply begins here: the lines after it are no longer charged with
    // the waits for those before.
    void StartReply() { paceReply.restart(); }
    int Recv(int n);
    // The next line as RecvTeol(0) delivers it, but one that lies whole in
    // the read-ahead store is not copied: *line points at it there, valid
    // until the next reception, and line() is left as it was. A line that
    // needs a network read comes through line(), and *line points there.
    // For the bulk of a transfer: the text of fetched messages.
    int RecvLine(const char** line) { return RecvLine(line, kLineMax); }
    // The same, but a line ends after limit bytes at the latest (at most
    // the buffer's): the bytes of a counted literal, and none beyond.
    int RecvLine(const char** line, int limit);

    // Puts layer on top of the connection's layers: every byte received
    // or sent from now on passes through it, and each Send ends with its
    // flush. What was read ahead and not yet delivered came after the line
    // that started the layer, so it belongs to it and is handed to it.
    void Push(std::unique_ptr<Layer> layer);
    // Compresses the connection from here on with a DeflateLayer: called
    // right after the line that switched it on (NNTP's 206, IMAP's tagged
    // OK) was received, so that what the server sent after that line in
    // the same read is inflated too. False when zlib could not start (the
    // connection stays as it was).
    bool Deflate();
    // What the compression carried and the bytes on the wire for it; null
    // while the connection is not compressed.
    const Carried* Compression() const;

    // Every write goes out at once, not held back while earlier data is
    // unacknowledged (Nagle).
    int SetNoDelay();
    // While corked, a last part of a segment waits for what is sent next,
    // so that both leave in one; uncorking sends what waits.
    void Cork(bool on);
    // Sends the acknowledgement of what was received at once, where Linux
    // would delay it by some 40 ms, and does so for the next few segments.
    void AckNow();

private:
    static constexpr int kBufSize = 16384;
    // Longest line the receptions deliver; one read takes at most this much.
    static constexpr int kLineMax = kBufSize - 1;

    // What a transfer must move in each timeout().
    static constexpr int kPaceBytes = 1024;

    // Milliseconds waited and bytes moved since the clock last started.
    struct Pace {
        long long waitedms = 0;
        int moved = 0;
        void restart() {
            waitedms = 0;
            moved = 0;
        }
        void add(int bytes) {
            moved += bytes;
            if (moved >= kPaceBytes) restart();
        }
    };

    // How far lineBuf may hold non-zero bytes (a line and its terminator, or
    // all of it after a command was sent from it), so that a reception
    // clears only that much.
    int iBufUsed;

    Descriptor base{sockfd};
    std::vector<std::unique_ptr<Layer>> layers;  // on base, the lowest first
    Layer* top = &base;
    DeflateLayer* deflater = nullptr;  // among layers, when pushed
    bool bSecure = false;
    char szTlsError[256] = "";
    char szFingerprint[kFingerprintSize] = "";
    bool bBroken = false;
    int iLookupError = 0;   // getaddrinfo's result of the last Connect
    int iConnectErrno = 0;  // errno of its last attempt
    Pace paceReply;  // since the reply began
    Pace paceLine;   // since the reception, send or handshake began

    // The only places that move bytes: without waiting, a count, 0 when
    // the peer closed, or -1 (errno EAGAIN when it must wait first).
    int RawRecv(char* buf, int len) { return top->read(buf, len); }
    int RawSend(const char* data, int len) { return top->write(data, len); }
    // RawRecv once the caller waited: waits again while a layer needs more
    // (the rest of a TLS record); -1 with ETIMEDOUT when it does not come.
    int RecvWaiting(char* buf, int len);
    // What a wait for events must poll the descriptor for; 0 when a layer
    // holds bytes that a read delivers at once.
    short PollEvents(short events) const;
    // Takes the top layer off, and every layer off.
    void Pop();
    void Unwind();
    int Handshake(TlsLayer& tls);
    int Renew(int family);
    int ConnectTo(const struct sockaddr* addr, unsigned addrlen);
    int TlsFailed(int result, const char* why);

    char* Ahead(int* count);
    void Take(int n);
    size_t BufExtent() const;
    void ClearBuf();
    void EndLine(int len, size_t stale);
    int WaitReady(short events, long long ms);
    long long TimeoutMs() const;
    // WaitReady for what is left of timeout() on both clocks.
    int WaitPaced(short events);
    void Moved(int bytes) {
        paceReply.add(bytes);
        paceLine.add(bytes);
    }
    void RestartPace() {
        paceReply.restart();
        paceLine.restart();
    }
    int ReadLocalPort();
    int ReadPortions();
    int RecvUpTo(int strip, int limit);
};

// Whether path is a PEM bundle with at least one certificate, for the
// check of CAFILE at start-up.
bool tlscheckcafile(const char* path);

#endif
