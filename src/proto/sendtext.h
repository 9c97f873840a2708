// A message text of an outgoing message file as it goes to a server: after
// DATA or POST with its dots stuffed and its end line, after BDAT plain.
#ifndef VORPA_PROTO_SENDTEXT_H
#define VORPA_PROTO_SENDTEXT_H

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "core/outgoing.h"
#include "net/socket.h"

// Sees each header line of a message text (up to the first empty line,
// line end included as stored) before it is sent; returns false to hold the
// line back. The empty line ending the header is not shown. Each pass over
// a text sees the header afresh: the watch is taken by value.
using HeaderWatch = std::function<bool(const char* line, size_t len)>;

// Sends the message text that starts at start and is length bytes long (or
// runs to the end of the file, if that comes first), followed by ".\r\n":
// every line goes out ending in "\r\n" and a line beginning with "." gets
// another in front. Every byte is sent, NUL bytes included. watch may be
// empty. With plain not negative, the text goes without the dots put in
// front and without ".\r\n" (as after BDAT), and must come to exactly plain
// bytes: no more are sent. Returns 0 when all was sent, SENDTEXT_SENDFAILED
// when a send failed (errno tells why), SENDTEXT_READFAILED when the file
// could not be read or did not give plain bytes (the text went out
// incomplete and without its end: the caller must drop the connection so
// that the server discards it). head: header lines (line feeds ending
// them) that go before the message's own, as if the file held them.
enum { SENDTEXT_SENDFAILED = -1, SENDTEXT_READFAILED = -2 };
int sendmessagetext(Socket& sock, FILE* file, long start, long length, HeaderWatch watch, long plain = -1,
                    const std::string& head = "");

// The size of the plain text (see sendmessagetext) of the message as it was
// read, without reading it again: watch sees its fields as when it is sent,
// and must hold back only lines of them (a field and its continuation
// lines). head ends with a line end, or is empty.
long plainsize(const OutgoingMessage& message, HeaderWatch watch, const std::string& head = "");

// Holds back "Bcc:" lines and their continuation lines: they name the
// blind recipients, whom every other recipient would otherwise see.
HeaderWatch withoutbcc();

#endif
