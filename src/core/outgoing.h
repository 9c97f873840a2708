// One outgoing message as the posting walk reads it, once: where its bytes
// lie and what posting needs of them. The packet reads it, the phases
// route it and name it, the clients take its envelope and its size on the
// wire from it.
#ifndef VORPA_CORE_OUTGOING_H
#define VORPA_CORE_OUTGOING_H

#include <cstdio>
#include <string>
#include <vector>

// The envelope of a message: its sender and its recipients.
struct Envelope {
    std::string from;  // empty: none found
    std::vector<std::string> to;
};

// Takes the address of each part of a header value that a comma or
// semicolon outside quotes and comments ends into the envelope: the sender
// when isfrom (the last one found wins), else recipients. No address holds
// a delimiter.
void processemail(const char* text, int isfrom, Envelope& envelope);
int isdelimiter(int c);

struct OutgoingMessage {
    // Its bytes: [start, start + length) of file, left there; a message of
    // any size is sent from its place.
    FILE* file = nullptr;
    long start = -1;
    long length = 0;
    // SHA-256 of the bytes, in hex; empty when only the header was read.
    std::string digest;
    // From its header: "From:" gives the sender, "To:", "Cc:", "Bcc:" and
    // their continuation lines the recipients.
    Envelope envelope;
    // The header lines (line ends as stored) of the fields posting reads,
    // each with its continuation lines, in their order: From:, To:, Cc:,
    // Bcc:, Subject:, Newsgroups:, Date: and Message-ID:.
    std::vector<std::string> fields;
    // The size of its bytes with every line ended by "\r\n" (a last line
    // without its end given one), as they go to a server; 0 when only the
    // header was read.
    long wiresize = 0;
};

#endif
