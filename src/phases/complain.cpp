// The words of each protocol for a reply that is not positive, with the
// server's line made safe to show.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/text.h"
#include "proto/nntp.h"
#include "phases/shared.h"

namespace {

// No reply: the system's reason, or that the server hung up.
void lost(Report& report, const Reply& reply) {
    if (reply.error == kPeerClosed) {
        report.error("Receive", "connection closed by the server");
        return;
    }
    errno = reply.error;
    report.syserror("Receive");
}

// POP3 -> POPTLS, SMTP -> SMTPTLS, NNTP -> NNTPTLS.
std::string tlssetting(const Connection& c) {
    const char* name = c.protocol.name;
    return std::string(name, std::strcmp(name, "POP3") == 0 ? 3 : 4);
}

bool ispop3(const char* name) { return std::strcmp(name, "POP3") == 0; }

// The text of a POP3 or IMAP reply after the status (and the tag) that
// mean nothing to a user: "-ERR", "L NO", "* BYE". A reply of nothing but
// them is shown whole.
std::string sourcewords(const char* name, const std::string& text) {
    size_t from = 0;
    if (ispop3(name)) {
        if (text.compare(0, 4, "-ERR") == 0) from = 4;
        else if (text.compare(0, 3, "+OK") == 0) from = 3;
    } else {
        size_t tagend = text.find(' ');
        size_t wordend = tagend == std::string::npos ? tagend : text.find_first_of(" \r\n", tagend + 1);
        if (wordend != std::string::npos) {
            std::string word = text.substr(tagend + 1, wordend - tagend - 1);
            for (char& ch : word) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            if (word == "NO" || word == "BAD" || word == "BYE" || word == "OK") from = wordend;
        }
    }
    from = text.find_first_not_of(' ', from);
    if (from == std::string::npos || text.find_first_not_of("\r\n", from) == std::string::npos) return safetext(text);
    return safetext(text.substr(from));
}

// The words of POP3 and IMAP, which differ only in the name.
void sourcecomplain(const char* name, Report& report, const Reply& reply, bool quiet) {
    if (reply.status == Reply::Lost) {
        lost(report, reply);
    } else if (reply.status == Reply::Invalid) {
        report.say("%s host did not send valid answer\n", name);
    } else if (!quiet) {
        report.say("%s host returned error: %s", name, sourcewords(name, reply.text).c_str());
    }
}

// POP3 -> POPHOST, and so on.
std::string hostsetting(const Connection& c) { return tlssetting(c) + "HOST"; }

// "an IMAP server", "a POP3 server".
std::string aserver(const std::string& protocol) {
    return (protocol[0] == 'P' ? "a " : "an ") + protocol + " server";
}

}  // namespace

std::string serverwords(const Connection& c, const Reply& reply) {
    const char* name = c.protocol.name;
    if (ispop3(name) || std::strcmp(name, "IMAP") == 0) return sourcewords(name, reply.text);
    return safetext(reply.text);
}

void refusedlogin(Report& report, const Connection& c, const Reply& reply, Complain complain) {
    const char* name = c.protocol.name;
    if (reply.refused() && (ispop3(name) || std::strcmp(name, "IMAP") == 0))
        report.say("%s host refused the login: %s", name, serverwords(c, reply).c_str());
    else
        complain(report, reply, false);
}

void pop3complain(Report& report, const Reply& reply, bool quiet) { sourcecomplain("POP3", report, reply, quiet); }

void imapcomplain(Report& report, const Reply& reply, bool quiet) { sourcecomplain("IMAP", report, reply, quiet); }

void smtpcomplain(Report& report, const Reply& reply, bool quiet) {
    if (reply.status == Reply::Lost) {
        lost(report, reply);
    } else if (!quiet) {
        report.say("SMTP host returned error: %s", safetext(reply.text).c_str());
    }
}

void nntpcomplain(Report& report, const Reply& reply, bool quiet) {
    if (reply.status == Reply::Lost) {
        lost(report, reply);
    } else if (quiet) {
        return;
    } else if (needslogin(reply)) {
        report.say("NNTP host requires a login (NNTPUSER, NNTPPASS): %s", safetext(reply.text).c_str());
    } else {
        report.say("NNTP host returned error: %s", safetext(reply.text).c_str());
        if (nntpcrowded(reply))
            report.say("! The news server takes no more connections now: let fewer accounts use it at once\n");
    }
}

void sayfailure(Report& report, const Connection& c, const Outcome& failure, Complain complain, bool quiet) {
    const char* name = c.protocol.name;
    switch (failure.stage) {
    case Stage::Host:
        report.say("%s host %s is not a host name, address or host:port\n", name, c.server.host.c_str());
        return;
    case Stage::Socket:
        errno = failure.error;
        report.syserror("Open socket");
        return;
    case Stage::Connect:
        report.say("Cannot connect to host %s at port %d: %s\n", c.host.c_str(), c.port, failure.detail.c_str());
        return;
    case Stage::Proxy:
        report.say("Proxy %s at port %d %s\n", c.server.proxy.host.c_str(), c.server.proxy.port,
                   failure.detail.c_str());
        return;
    case Stage::Tls:
        saytlsfailure(report, c, failure);
        return;
    case Stage::Greeting:
        if (!failure.detail.empty()) {
            bool other = failure.detail != name;
            report.say("%s host %s at port %d %s like %s: check %s\n", name, c.host.c_str(), c.port,
                       other ? "answered" : "did not answer", aserver(failure.detail).c_str(),
                       hostsetting(c).c_str());
        } else if (failure.wantstls) {
            report.say("%s host %s at port %d expects TLS from the first byte: set %sTLS on\n", name, c.host.c_str(),
                       c.port, tlssetting(c).c_str());
        } else {
            complain(report, failure.reply, false);
        }
        return;
    case Stage::StartTls:
        // The server's own words, once.
        if (failure.reply.refused()) report.say("%s host refused TLS: %s", name, safetext(failure.reply.text).c_str());
        else complain(report, failure.reply, true);
        return;
    case Stage::Secret:
        maysendsecret(report, c, false);
        return;
    case Stage::Send:
        errno = failure.error;
        report.syserror("Send");
        return;
    case Stage::Reply:
        if (failure.failure == Failure::Login) refusedlogin(report, c, failure.reply, complain);
        else complain(report, failure.reply, quiet);
        return;
    case Stage::Text:
        // The transport said why; the caller says what was lost.
        return;
    case Stage::Own:
        // This side's trouble: the transport or the caller says it.
        return;
    }
}

void saytlsfailure(Report& report, const Connection& c, const Outcome& failure) {
    const char* host = c.host.c_str();
    const char* why = failure.detail.c_str();
    // After STARTTLS plain text is no hint to the settings.
    int result = failure.tlsresult == TLS_PLAIN && c.tls != TLSON ? TLS_HANDSHAKE : failure.tlsresult;
    switch (result) {
    case TLS_PLAIN:
        report.say("%s host %s at port %d expects plain text first: set %sTLS starttls or use port %d\n",
                   c.protocol.name, host, c.port, tlssetting(c).c_str(), c.protocol.tlsport);
        break;
    case TLS_AHEAD:
        report.say("%s host %s sent data ahead of the TLS handshake: connection refused\n", c.protocol.name, host);
        break;
    case TLS_UNTRUSTED:
        report.say("Certificate of %s is not trusted: %s\n", host, why);
        break;
    case TLS_BADNAME:
        report.say("Certificate is not valid for %s: %s\n", host, why);
        break;
    case TLS_NOTPINNED:
        report.say("Certificate of %s is not the one of TLSFINGERPRINT: it is %s, not %s\n", host, why,
                   c.pin.c_str());
        break;
    case TLS_LOST:
        report.say("Connection to %s lost in the TLS handshake: %s\n", host, why);
        break;
    default:
        report.say("TLS handshake with %s failed: %s\n", host, why);
        break;
    }
}

void attend(Report& report, Connection& c, bool check) {
    c.sock.report = &report;
    c.ending = [&report](const Connection& ending) {
        const Carried* z = ending.sock.Compression();
        if (!z) return;
        report.step("+ %s connection compressed: %llu bytes on the wire for %llu bytes carried\n",
                    ending.protocol.name, static_cast<unsigned long long>(z->wiresent + z->wirereceived),
                    static_cast<unsigned long long>(z->sent + z->received));
    };
    if (!check) return;
    c.secured = [&report](const Connection& secure) {
        report.say("Certificate of %s: %s\n", secure.host.c_str(), secure.sock.Fingerprint());
    };
}

void announce(Report& report, const Connection& c, const char* format) {
    report.say(format, c.server.host.c_str());
    report.step("+ Connecting to %s host %s...\n", c.protocol.name, c.server.host.c_str());
}

std::string phaseline(const Context& run, const char* today, const char* what, bool fetch) {
    if (!run.named()) return today;
    std::string action = run.options.check ? "Checking " + std::string(what) + (fetch ? " fetch" : " post")
                                           : (fetch ? "Fetching " : "Posting ") + std::string(what);
    return action + " for " + run.account.name + (fetch ? " from" : " to") + " %s...\n";
}

Outcome signedoff(Report& report, Connection& c, Complain complain) {
    report.step("+ Signing off...\n");
    Outcome answer = c.signoff();
    if (!answer.done()) {
        sayfailure(report, c, answer, complain);
        return answer;
    }
    report.step("+ %s session successfully terminated\n", c.protocol.name);
    return answer;
}

bool maysendsecret(Report& report, const Connection& c, bool token) {
    SecretRule rule = c.maysendsecret(token);
    if (rule == SecretRule::Yes) return true;
    if (rule == SecretRule::Plain) {
        report.say("Warning: the %s password goes unencrypted to %s (%sTLS off)\n", c.protocol.name, c.host.c_str(),
                   tlssetting(c).c_str());
        return true;
    }
    report.say("Not sending the %s %s unencrypted to %s\n", c.protocol.name, token ? "token" : "password",
               c.host.c_str());
    return false;
}
