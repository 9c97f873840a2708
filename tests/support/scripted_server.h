// A scripted server for protocol tests: listens on 127.0.0.1:port (or
// [::1]:port), plays one script per accepted connection (in order) and
// records every byte each client sent (after the last step, what has arrived
// by then). Every wait is bounded, a wait for the client to take a reply or
// to finish a TLS handshake included, so a broken client fails fast. A
// session's connection is closed when its script ends (or fails); once the
// last script has ended the server stops listening, so a connection too
// many is refused.
//
// TLS uses the test certificates in VORPA_CERTS, named without ".pem":
// "server" (localhost, 127.0.0.1, ::1, signed by ca.pem), "wrongname",
// "untrusted" (self-signed) and "expired".
#ifndef VORPA_TESTS_SCRIPTED_SERVER_H
#define VORPA_TESTS_SCRIPTED_SERVER_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

class Script {
public:
    Script();
    ~Script();

    // Sends bytes to the client.
    Script& send(const std::string& bytes);
    // Sends bytes in pieces of the given sizes, pausing between them.
    Script& sendsplit(const std::string& bytes, const std::vector<size_t>& sizes, int pausems);
    // Reads one line (up to LF) from the client and checks it equals line
    // (line end included, e.g. "USER joe\r\n"). A mismatch is recorded as an
    // error and ends the session.
    Script& expect(const std::string& line);
    // Reads exactly as many bytes as bytes holds, line ends or not, and
    // checks them (a binary handshake, as a proxy's).
    Script& expectbytes(const std::string& bytes);
    // Reads one line without checking it.
    Script& expectany();
    // Reads lines up to and including ".\r\n" (a message body after DATA or
    // POST); the bytes are in received().
    Script& expectdata();
    Script& pause(int ms);
    // Closes the connection at once.
    Script& drop();
    // Resets the connection (RST, not FIN): the client's next write or
    // read fails.
    Script& reset();
    // Runs action in the server's thread at this point of the dialogue.
    Script& call(std::function<void()> action);
    // Waits ms and records an error if the client sent anything beyond
    // what was expected so far: a command sent ahead of its answer.
    Script& nothingahead(int ms);
    // Stays silent, keeping the connection open, for ms or until the client
    // closes.
    Script& silence(int ms);
    // Reads until the client closes (or the bound passes); nothing expected.
    Script& drain();
    // Performs the server side of a TLS handshake with the given certificate
    // (after the reply to STARTTLS, sent by a send step before it); from
    // then on the other steps go through TLS and received() records the
    // decrypted bytes. A failed handshake is recorded as the error
    // "session N: TLS handshake failed: <reason>" and ends the session.
    Script& starttls(const std::string& cert = "server");
    // Sends reply in plain text and, in the same write, ahead compressed;
    // from then on every step sends and reads raw deflate (as after NNTP's
    // 206), each send one deflate block, and received() records the
    // inflated bytes.
    Script& deflate(const std::string& reply, const std::string& ahead = "");

    struct Step;
    std::vector<Step> steps;
};

// An NNTP server's answer to the CAPABILITIES that goes with the first
// GROUPs of an uncompressed connection: a list without COMPRESS.
inline Script& nntpcaps(Script& s) {
    return s.expect("CAPABILITIES\r\n").send("101 Capability list:\r\nVERSION 2\r\nREADER\r\n.\r\n");
}

// Its greeting, then that answer: a session whose first flight is GROUPs.
inline Script& nntpready(Script& s, const std::string& greeting = "200 news.test ready\r\n") {
    return nntpcaps(s.send(greeting));
}

class ScriptedServer {
public:
    enum Address { IPv4, IPv6, AnyIPv4 };
    // Listens at once on 127.0.0.1:port, [::1]:port or every IPv4 address's
    // port (0: any free port, see port()).
    explicit ScriptedServer(unsigned short port, int boundms = 10000, Address address = IPv4);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    unsigned short port() const;
    // False when the server could not listen (say, IPv6 is off here).
    bool listening() const;
    // Every session begins with a TLS handshake with this certificate, as
    // on the ports of implicit TLS. Call before start().
    void tls(const std::string& cert = "server");
    // Adds the script of the next connection. Call before start().
    Script& session();
    // Plays the scripts in a background thread.
    void start();
    // Waits until every script has ended (or boundms passed, then stops
    // them); true when all ran to their end without errors.
    bool finish();
    // Everything the client of session i sent, decrypted once in TLS (the
    // handshake itself is not recorded).
    std::string received(size_t i = 0) const;
    // Mismatches and time-outs, one text each.
    std::vector<std::string> errors() const;
    // The same, one per line, for a test's failure message.
    std::string errortext() const;
    // Number of connections accepted.
    size_t accepted() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

#endif
