// One IPv4 TCP connection with line reception under time-outs.
#ifndef VORPA_SOCKET_H
#define VORPA_SOCKET_H

#include <netinet/in.h>

#include <cstring>

class Socket {
public:
    int iSocket;
    int iResult;
    int iEol;
    char* pszBuf;
    char* pszPeerName;
    char* pszPeerAddr;
    unsigned long ulTimeout;
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

    Socket();
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int Create();
    int Connect(char* host, unsigned short port, unsigned short localPort, unsigned long localAddr);
    int Connect(char* host, unsigned short port) { return Connect(host, port, 0, 0); }
    int Send(char* data, int length);
    int Send(char* text) { return Send(text, static_cast<int>(std::strlen(text))); }
    int Close();

    int RecvTeol(int strip);
    int RecvTeol() { return RecvTeol(0); }
    int Recv(int n);
    // The next line as RecvTeol(0) delivers it, but one that lies whole in
    // the read-ahead store is not copied: *line points at it there, valid
    // until the next reception, and pszBuf is left as it was. A line that
    // needs a network read comes through pszBuf, and *line points there.
    // For the bulk of a transfer: the text of fetched messages.
    int RecvLine(const char** line);

    int Passive(unsigned short port, int reuse, unsigned long localAddr);
    Socket* Accept();
    int SetOob();
    int SetLinger(int);
    int SetKeepAlive();
    int SetReusePort(int flag);
    // Sends the acknowledgement of what was received at once, where Linux
    // would delay it by some 40 ms, and does so for the next few segments.
    void AckNow();
    int ResolveName();
    int SetPeerName();

    int SendText(char* file, unsigned long offset);
    int SendDotText(char* file);
    int SendBinary(char* file, unsigned long offset);

private:
    static constexpr int kBufSize = 16384;
    // Longest line the receptions deliver; one read takes at most this much.
    static constexpr int kLineMax = kBufSize - 1;

    // How far pszBuf may hold non-zero bytes (a line and its terminator, or
    // all of it after a command was sent from it), so that a reception
    // clears only that much.
    int iBufUsed;

    char* Ahead(int* count);
    void Take(int n);
    size_t BufExtent() const;
    void ClearBuf();
    void EndLine(int len, size_t stale);
    int WaitReady(short events, unsigned long seconds);
    int ReadLocalPort();
    int ReadPortions();
    void PreparePeerStrings();
};

#endif
