// The TLS layer of a connection, with the handshake and its certificate
// checks. Nothing above the layers knows whether a connection has it.
#include <arpa/inet.h>
#include <dirent.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/socket.h"

#include "core/report.h"

class TlsLayer : public Layer {
public:
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    BIO_METHOD* method = nullptr;  // of the BIO on the layer below
    // What the last operation that could not go on is waiting for.
    short want = POLLIN;
    const char* pin = "";  // empty: the chain and the name are checked
    // errno of the end the layer below met (kPeerClosed: the server
    // closed), 0 while it has met none: a handshake it cut off is lost.
    int lost = 0;
    char fingerprint[kFingerprintSize] = "";  // of the server's certificate

    ~TlsLayer() override {
        if (ssl) {
            // close_notify, if it goes out at once; a peer that wants
            // more gets no wait from us. A failed handshake sent its alert.
            if (SSL_is_init_finished(ssl)) SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        BIO_meth_free(method);
        SSL_CTX_free(ctx);
    }

    // errno for an operation that could not go on; records what it waits for.
    int wouldblock(int sslerror) {
        want = sslerror == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
        errno = EAGAIN;
        return -1;
    }

    // The end of an SSL_read or SSL_write that gave r.
    int ended(int r, bool reading) {
        if (r > 0) return r;
        int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return wouldblock(e);
        if (reading && e == SSL_ERROR_ZERO_RETURN) return 0;
        // A broken record or a reset: the connection is lost either way.
        if (e != SSL_ERROR_SYSCALL || errno == 0) errno = EPROTO;
        return -1;
    }

    int read(char* buf, int len) override {
        ERR_clear_error();
        return ended(SSL_read(ssl, buf, len), true);
    }

    int write(const char* data, int len) override {
        ERR_clear_error();
        return ended(SSL_write(ssl, data, len), false);
    }

    bool pending() const override { return SSL_pending(ssl) > 0 || Layer::pending(); }
    short wants(short) const override { return Layer::wants(want); }

    // OpenSSL reads and writes the layer below through a BIO of ours.
    bool attach();

private:
    static int bioread(BIO* bio, char* buf, int len);
    static int biowrite(BIO* bio, const char* data, int len);
};

namespace {

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

bool mustretry(int n) {
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

long bioctrl(BIO* bio, int cmd, long, void*) {
    if (cmd == BIO_CTRL_FLUSH) return 1;
    if (cmd == BIO_CTRL_EOF) return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
    return 0;
}

// The certificate's fingerprint as a pin spells it: "sha256:AB:CD:...".
bool fingerprintof(X509* cert, char* out) {
    unsigned char digest[32];
    unsigned int len = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), digest, &len) != 1 || len != sizeof digest) return false;
    char* at = out + std::snprintf(out, kFingerprintSize, "sha256");
    for (unsigned char byte : digest) at += std::snprintf(at, kFingerprintSize - (at - out), ":%02X", byte);
    return true;
}

// Every handshake's check of the certificate: its fingerprint noted, then
// the pin compared, or the chain and the name checked as OpenSSL does.
int checkcertificate(X509_STORE_CTX* store, void* arg) {
    auto& tls = *static_cast<TlsLayer*>(arg);
    if (!fingerprintof(X509_STORE_CTX_get0_cert(store), tls.fingerprint)) tls.fingerprint[0] = '\0';
    if (!*tls.pin) return X509_verify_cert(store);
    if (*tls.fingerprint && strcasecmp(tls.fingerprint, tls.pin) == 0) return 1;
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

// A directory with certificates under their hashed names, "5ad8a5d6.0".
bool hashednames(const char* path) {
    DIR* dir = opendir(path);
    if (!dir) return false;
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        int hex = 0;
        while (hex < 8 && isxdigit(static_cast<unsigned char>(name[hex]))) hex++;
        if ((found = hex == 8 && name[8] == '.' && isdigit(static_cast<unsigned char>(name[9])))) break;
    }
    closedir(dir);
    return found;
}

// The system's store. Its bundle file would be read whole for every
// connection, some 150 certificates in 1.2 MB of memory, where its
// directory gives only those a chain needs. The bundle still serves
// where the directory has no hashed names, or the environment names
// other places.
bool systemstore(SSL_CTX* ctx) {
    const char* file = std::getenv(X509_get_default_cert_file_env());
    const char* dir = std::getenv(X509_get_default_cert_dir_env());
    if (!file && !dir && hashednames(X509_get_default_cert_dir())) return SSL_CTX_set_default_verify_dir(ctx) == 1;
    return SSL_CTX_set_default_verify_paths(ctx) == 1;
}

}  // namespace

// As OpenSSL's socket BIO reads: errno 0 for an end without an error, and
// the end marked, which the TLS end without close_notify needs.
int TlsLayer::bioread(BIO* bio, char* buf, int len) {
    BIO_clear_retry_flags(bio);
    errno = 0;
    auto& tls = *static_cast<TlsLayer*>(BIO_get_data(bio));
    int n = tls.readbelow(buf, len);
    if (mustretry(n)) BIO_set_retry_read(bio);
    else if (n < 0) tls.lost = errno != 0 ? errno : EIO;
    if (n == 0) {
        BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
        tls.lost = kPeerClosed;
    }
    return n;
}

int TlsLayer::biowrite(BIO* bio, const char* data, int len) {
    BIO_clear_retry_flags(bio);
    auto& tls = *static_cast<TlsLayer*>(BIO_get_data(bio));
    int n = tls.writebelow(data, len);
    if (mustretry(n)) BIO_set_retry_write(bio);
    // A write to a server that has gone fails with EPIPE.
    else if (n < 0) tls.lost = errno == EPIPE ? kPeerClosed : errno != 0 ? errno : EIO;
    return n;
}

bool TlsLayer::attach() {
    method = BIO_meth_new(BIO_TYPE_SOURCE_SINK, "layer below");
    if (!method || BIO_meth_set_read(method, bioread) != 1 || BIO_meth_set_write(method, biowrite) != 1 ||
        BIO_meth_set_ctrl(method, bioctrl) != 1)
        return false;
    BIO* bio = BIO_new(method);
    if (!bio) return false;
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);
    return true;
}

int Socket::TlsFailed(int result, const char* why) {
    std::snprintf(szTlsError, sizeof szTlsError, "%s", why);
    iResult = result;
    return result;
}

int Socket::StartTls(const char* host, const char* cafile, const char* pin) {
    szTlsError[0] = '\0';
    szFingerprint[0] = '\0';
    if (sockfd < 0) return TlsFailed(TLS_HANDSHAKE, "not connected");
    // Bytes that came with the answer to STARTTLS were sent in the clear
    // and would pass for protected ones.
    if (iRecvLen1 - iRecvPos1 > 0 || iRecvLen2 - iRecvPos2 > 0)
        return TlsFailed(TLS_AHEAD, "the server sent data ahead of the TLS handshake");

    auto layer = std::make_unique<TlsLayer>();
    TlsLayer& tls = *layer;
    tls.ctx = SSL_CTX_new(TLS_client_method());
    if (!tls.ctx) return TlsFailed(TLS_HANDSHAKE, "cannot set up TLS");
    SSL_CTX_set_min_proto_version(tls.ctx, TLS1_2_VERSION);
    // Records are taken from the socket several at a time, not in two reads
    // each (header, then body): half the system calls of a large fetch.
    SSL_CTX_set_read_ahead(tls.ctx, 1);
    SSL_CTX_set_default_read_buffer_len(tls.ctx, 65536);
    SSL_CTX_set_verify(tls.ctx, SSL_VERIFY_PEER, nullptr);
    tls.pin = pin ? pin : "";
    SSL_CTX_set_cert_verify_callback(tls.ctx, checkcertificate, &tls);
    // Every protocol here marks the end of its data itself.
    SSL_CTX_set_options(tls.ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(tls.ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A pin needs no authority to vouch for the certificate.
    bool trusted = *tls.pin || (cafile && *cafile ? SSL_CTX_load_verify_locations(tls.ctx, cafile, nullptr) == 1
                                                  : systemstore(tls.ctx));
    if (!trusted) return TlsFailed(TLS_UNTRUSTED, "cannot load the trusted certificates");
    tls.ssl = SSL_new(tls.ctx);
    if (!tls.ssl) return TlsFailed(TLS_HANDSHAKE, "cannot set up TLS");
    if (*tls.pin) {
        // The name still goes, for a server with a certificate per name.
        if (!isipliteral(host)) SSL_set_tlsext_host_name(tls.ssl, host);
    } else if (isipliteral(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls.ssl), host);
    } else {
        SSL_set_tlsext_host_name(tls.ssl, host);
        SSL_set1_host(tls.ssl, host);
        SSL_set_hostflags(tls.ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    }
    if (!tls.attach()) return TlsFailed(TLS_HANDSHAKE, "cannot set up TLS");

    Push(std::move(layer));
    int result = Handshake(tls);
    bSecure = result == TLS_OK;
    if (!bSecure) Pop();
    return result;
}

int Socket::Handshake(TlsLayer& tls) {
    // The handshake as a whole within timeoutSeconds: no 1 KB restores time.
    RestartPace();
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int r = SSL_connect(tls.ssl);
        std::snprintf(szFingerprint, sizeof szFingerprint, "%s", tls.fingerprint);
        if (r == 1) {
            RestartPace();
            return iResult = TLS_OK;
        }
        int e = SSL_get_error(tls.ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            tls.wouldblock(e);
            int ready = WaitPaced(tls.want);
            if (ready > 0) continue;
            // A silent server is the network's, as after the handshake.
            bBroken = true;
            return TlsFailed(ready == 0 ? TLS_HANDSHAKE : TLS_LOST, ready == 0 ? "timed out" : std::strerror(errno));
        }
        // The connection ended under the handshake: whatever OpenSSL made
        // of it, no server spoke TLS wrongly.
        if (tls.lost != 0) {
            bBroken = true;
            return TlsFailed(TLS_LOST,
                             tls.lost == kPeerClosed ? "connection closed by the server" : std::strerror(tls.lost));
        }
        long verified = SSL_get_verify_result(tls.ssl);
        if (verified == X509_V_ERR_HOSTNAME_MISMATCH || verified == X509_V_ERR_IP_ADDRESS_MISMATCH)
            return TlsFailed(TLS_BADNAME, X509_verify_cert_error_string(verified));
        if (verified == X509_V_ERR_CERT_REJECTED && *tls.pin) return TlsFailed(TLS_NOTPINNED, "not the pinned certificate");
        if (verified != X509_V_OK) return TlsFailed(TLS_UNTRUSTED, X509_verify_cert_error_string(verified));
        char why[200];
        sslreason(why, sizeof why, e == SSL_ERROR_SYSCALL ? "connection closed by the server" : "protocol error");
        // A greeting in plain text read as a TLS record.
        unsigned long code = ERR_peek_last_error();
        bool plain = ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_WRONG_VERSION_NUMBER;
        return TlsFailed(plain ? TLS_PLAIN : TLS_HANDSHAKE, why);
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
