// The raw reads and writes of a connection, plain or through TLS, and the
// TLS handshake with its certificate checks. Nothing above this file knows
// which of the two a connection is.
#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "net/socket.h"

struct TlsLink {
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    BIO_METHOD* writer = nullptr;  // of the BIO that writes to the socket
    // What the last operation that could not go on is waiting for.
    short want = POLLIN;

    ~TlsLink() {
        if (ssl) {
            // close_notify, if it goes out at once; a peer that wants
            // more gets no wait from us. A failed handshake sent its alert.
            if (SSL_is_init_finished(ssl)) SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        BIO_meth_free(writer);
        SSL_CTX_free(ctx);
    }
};

void TlsLinkDeleter::operator()(TlsLink* link) const { delete link; }

namespace {

// errno for an operation that could not go on; records what it waits for.
int wouldblock(TlsLink& link, int sslerror) {
    link.want = sslerror == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    errno = EAGAIN;
    return -1;
}

bool isipliteral(const char* host) {
    unsigned char addr[sizeof(in6_addr)];
    return inet_pton(AF_INET, host, addr) == 1 || inet_pton(AF_INET6, host, addr) == 1;
}

// The first reason OpenSSL queued, in its own words.
void sslreason(char* out, size_t size, const char* otherwise) {
    unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    std::snprintf(out, size, "%s", reason ? reason : otherwise);
}

// OpenSSL's socket BIO writes with write(), and a write to a connection the
// server has reset raises SIGPIPE, which would end the program: TLS writes
// go through send() with MSG_NOSIGNAL instead, as plain ones do, and fail
// with EPIPE. Reads stay with OpenSSL's socket BIO.
int sendnosignal(BIO* bio, const char* data, int len) {
    BIO_clear_retry_flags(bio);
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    int n = static_cast<int>(send(fd, data, static_cast<size_t>(len), MSG_NOSIGNAL));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return n;
}

long writerctrl(BIO*, int cmd, long, void*) {
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

bool attach(TlsLink& link, int fd) {
    link.writer = BIO_meth_new(BIO_TYPE_SOURCE_SINK, "socket without SIGPIPE");
    if (!link.writer || BIO_meth_set_write(link.writer, sendnosignal) != 1 ||
        BIO_meth_set_ctrl(link.writer, writerctrl) != 1)
        return false;
    BIO* rbio = BIO_new_socket(fd, BIO_NOCLOSE);
    BIO* wbio = BIO_new(link.writer);
    if (!rbio || !wbio) {
        BIO_free(rbio);
        BIO_free(wbio);
        return false;
    }
    BIO_set_data(wbio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    BIO_set_init(wbio, 1);
    SSL_set_bio(link.ssl, rbio, wbio);
    return true;
}

}  // namespace

int Socket::RawRecv(char* buf, int len) {
    if (iSocket < 0) {
        errno = EAGAIN;
        return -1;
    }
    if (!tls) return static_cast<int>(recv(iSocket, buf, len, MSG_DONTWAIT));
    ERR_clear_error();
    int r = SSL_read(tls->ssl, buf, len);
    if (r > 0) return r;
    int e = SSL_get_error(tls->ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return wouldblock(*tls, e);
    if (e == SSL_ERROR_ZERO_RETURN) return 0;
    // A broken record or a reset: the connection is lost either way.
    if (e != SSL_ERROR_SYSCALL || errno == 0) errno = EPROTO;
    return -1;
}

int Socket::RawSend(const char* data, int len) {
    if (!tls) return static_cast<int>(send(iSocket, data, len, MSG_NOSIGNAL | MSG_DONTWAIT));
    ERR_clear_error();
    int r = SSL_write(tls->ssl, data, len);
    if (r > 0) return r;
    int e = SSL_get_error(tls->ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return wouldblock(*tls, e);
    if (e != SSL_ERROR_SYSCALL || errno == 0) errno = EPROTO;
    return -1;
}

int Socket::RecvWaiting(char* buf, int len) {
    for (;;) {
        int r = RawRecv(buf, len);
        if (r >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return r;
        int ready = WaitPaced(POLLIN);
        if (ready <= 0) {
            if (ready == 0) errno = ETIMEDOUT;
            return -1;
        }
    }
}

// What a wait for events must poll for: TLS may hold decrypted bytes
// already (0: ready now), or need to write before it can read. Records
// read ahead but incomplete need the socket, as plain data does.
short Socket::PollEvents(short events) const {
    if (!tls) return events;
    if ((events & POLLIN) && SSL_pending(tls->ssl) > 0) return 0;
    return tls->want;
}

int Socket::TlsFailed(int result, const char* why) {
    std::snprintf(szTlsError, sizeof szTlsError, "%s", why);
    tls.reset();
    iResult = result;
    return result;
}

int Socket::StartTls(const char* host, const char* cafile) {
    szTlsError[0] = '\0';
    if (iSocket < 0) return TlsFailed(TLS_HANDSHAKE, "not connected");
    // Bytes that came with the answer to STARTTLS were sent in the clear
    // and would pass for protected ones.
    if (iRecvLen1 - iRecvPos1 > 0 || iRecvLen2 - iRecvPos2 > 0)
        return TlsFailed(TLS_AHEAD, "the server sent data ahead of the TLS handshake");

    tls.reset(new TlsLink);
    tls->ctx = SSL_CTX_new(TLS_client_method());
    if (!tls->ctx) return TlsFailed(TLS_HANDSHAKE, "cannot set up TLS");
    SSL_CTX_set_min_proto_version(tls->ctx, TLS1_2_VERSION);
    // Records are taken from the socket several at a time, not in two reads
    // each (header, then body): half the system calls of a large fetch.
    SSL_CTX_set_read_ahead(tls->ctx, 1);
    SSL_CTX_set_default_read_buffer_len(tls->ctx, 65536);
    SSL_CTX_set_verify(tls->ctx, SSL_VERIFY_PEER, nullptr);
    // Every protocol here marks the end of its data itself.
    SSL_CTX_set_options(tls->ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(tls->ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    bool trusted = cafile && *cafile ? SSL_CTX_load_verify_locations(tls->ctx, cafile, nullptr) == 1
                                     : SSL_CTX_set_default_verify_paths(tls->ctx) == 1;
    if (!trusted) return TlsFailed(TLS_UNTRUSTED, "cannot load the trusted certificates");
    tls->ssl = SSL_new(tls->ctx);
    if (!tls->ssl) return TlsFailed(TLS_HANDSHAKE, "cannot set up TLS");
    if (isipliteral(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls->ssl), host);
    } else {
        SSL_set_tlsext_host_name(tls->ssl, host);
        SSL_set1_host(tls->ssl, host);
        SSL_set_hostflags(tls->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    }
    int flags = fcntl(iSocket, F_GETFL);
    if (flags < 0 || fcntl(iSocket, F_SETFL, flags | O_NONBLOCK) < 0 || !attach(*tls, iSocket))
        return TlsFailed(TLS_HANDSHAKE, "cannot set up TLS");

    // The handshake as a whole within ulTimeout: no 1 KB restores time.
    RestartPace();
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int r = SSL_connect(tls->ssl);
        if (r == 1) {
            RestartPace();
            return iResult = TLS_OK;
        }
        int e = SSL_get_error(tls->ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            wouldblock(*tls, e);
            int ready = WaitPaced(tls->want);
            if (ready > 0) continue;
            return TlsFailed(TLS_HANDSHAKE, ready == 0 ? "timed out" : "connection lost");
        }
        long verified = SSL_get_verify_result(tls->ssl);
        if (verified == X509_V_ERR_HOSTNAME_MISMATCH || verified == X509_V_ERR_IP_ADDRESS_MISMATCH)
            return TlsFailed(TLS_BADNAME, X509_verify_cert_error_string(verified));
        if (verified != X509_V_OK) return TlsFailed(TLS_UNTRUSTED, X509_verify_cert_error_string(verified));
        char why[200];
        sslreason(why, sizeof why, e == SSL_ERROR_SYSCALL ? "connection closed by the server" : "protocol error");
        return TlsFailed(TLS_HANDSHAKE, why);
    }
}

bool tlscheckcafile(const char* path) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return false;
    // A file without a single certificate in it would trust nothing.
    bool ok = SSL_CTX_load_verify_locations(ctx, path, nullptr) == 1 &&
              sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx))) > 0;
    SSL_CTX_free(ctx);
    return ok;
}
