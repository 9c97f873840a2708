// The SMTP client: replies, the envelope of a message and the commands
// that carry it, the login.
#ifndef VORPA_PROTO_SMTP_H
#define VORPA_PROTO_SMTP_H

#include <string>
#include <vector>

#include "proto/client.h"
#include "proto/sasl.h"

// A reply of one or more lines ("250-..." continues): 1xx, 2xx and 3xx
// positive, others negative; lines holds the text of each line (the EHLO
// keywords). One that never ends is invalid.
Reply readsmtp(Socket& sock);

// The envelope of the message being posted.
struct Envelope {
    std::string from;  // empty: none found
    std::vector<std::string> to;
};

// Takes the run around the first "@" of each top-level comma-separated
// part of a header value (modified in place) into the envelope: the sender
// when isfrom (the last one found wins), else recipients.
void processemail(char* text, int isfrom, Envelope& envelope);
int isdelimiter(int c);

// "MAIL FROM:<from>\r\n", "RCPT TO:<to>\r\n": strict servers refuse an
// address without the brackets of RFC 5321's Path.
std::string mailfrom(const Envelope& envelope);
std::string rcptto(const std::string& to);

// "MAIL FROM:", each "RCPT TO:" and last ("DATA\r\n", or "BDAT <n> LAST\r\n"),
// one line each, to go out in one send; empty when they would be longer
// than limit bytes.
std::string envelopegroup(const Envelope& envelope, const std::string& last, size_t limit);

// AUTH with the mechanism's exchange, as saslrun runs it.
SaslOutcome smtpauth(Connection& connection, const SaslExchange& exchange);

#endif
