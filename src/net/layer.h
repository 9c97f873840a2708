// The layers a connection's bytes pass through, one on top of the other:
// the descriptor at the bottom, TLS over it, a compression over either.
// The Socket above them receives lines and keeps the time; the layers
// never wait. A read or write gives a count, 0 for a read at the peer's
// end, or -1 with errno: EAGAIN when it can go on only once the descriptor
// is ready for what wants() names.
#ifndef VORPA_NET_LAYER_H
#define VORPA_NET_LAYER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class Layer {
public:
    Layer() = default;
    virtual ~Layer() = default;
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    // Up to len bytes for the layer above.
    virtual int read(char* buf, int len) = 0;
    // Takes up to len bytes to send; a layer may keep them back until
    // flush().
    virtual int write(const char* data, int len) = 0;
    // Passes on what write() kept back, then has the layers below do the
    // same: 0 once all is with the descriptor. Ends every batch of sends.
    virtual int flush();
    // Whether a read can deliver without the descriptor: bytes decoded or
    // handed up and not read yet.
    virtual bool pending() const;
    // What the descriptor must be ready for (POLLIN, POLLOUT) before the
    // read (events POLLIN) or write (POLLOUT) that met EAGAIN can go on:
    // TLS may need to write to read, or read to write.
    virtual short wants(short events) const;

protected:
    // What a layer reads from and writes to the one below: first the
    // bytes read ahead before this layer came on top, which were already
    // its own.
    int readbelow(char* buf, int len);
    int writebelow(const char* data, int len);

private:
    friend class Socket;
    Layer* below = nullptr;  // null for the descriptor
    std::string handed;
    size_t handedtaken = 0;
};

// The bottom of the stack: the socket's descriptor, read by its number as
// it is when called (-1: none; a read then finds nothing and a wait says
// why). Writes to a reset peer fail with EPIPE instead of raising SIGPIPE.
class Descriptor : public Layer {
public:
    explicit Descriptor(const int& fd) : fd(fd) {}
    int read(char* buf, int len) override;
    int write(const char* data, int len) override;

private:
    const int& fd;
};

// What a compression carried each way, and the bytes that took on the
// layer below it.
struct Carried {
    uint64_t sent = 0;
    uint64_t received = 0;
    uint64_t wiresent = 0;
    uint64_t wirereceived = 0;
};

// Raw deflate both ways (zlib, window bits -15), as NNTP's COMPRESS
// DEFLATE (RFC 8054) and IMAP's COMPRESS=DEFLATE (RFC 4978) speak it.
// Every flush ends a deflate block, so that a batch of commands reaches the
// server whole and pipelining keeps working. Pushed by Socket::Deflate().
class DeflateLayer : public Layer {
public:
    DeflateLayer();
    ~DeflateLayer() override;
    // False when zlib could not set up its streams.
    bool ready() const;
    int read(char* buf, int len) override;
    int write(const char* data, int len) override;
    int flush() override;
    bool pending() const override;
    const Carried& carried() const { return counts; }

private:
    struct Streams;
    std::unique_ptr<Streams> z;
    Carried counts;
    std::string kept;       // compressed, not yet taken by the layer below
    bool flushed = true;    // no input since the last block ended
    bool more = false;      // the last inflate filled its output: more may come
    bool ended = false;     // the peer ended its deflate stream
};

#endif
