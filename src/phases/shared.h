// What the phases share among themselves: the words of each protocol's
// failed replies, the posting walk over REPLIES, the sending of a message
// text, the logins and their secrets.
#ifndef VORPA_PHASES_SHARED_H
#define VORPA_PHASES_SHARED_H

#include <cstdio>
#include <functional>
#include <string>

#include "phases/session.h"
#include "phases/session.h"
#include "phases/phases.h"
#include "proto/sasl.h"
#include "soup/soup.h"

void pop3complain(Report& report, const Reply& reply, bool quiet);
void smtpcomplain(Report& report, const Reply& reply, bool quiet);
void nntpcomplain(Report& report, const Reply& reply, bool quiet);
using Complain = void (*)(Report& report, const Reply& reply, bool quiet);

// The words for what went wrong with a protocol client's connection, as
// it noted it: the connection, TLS, the greeting, STARTTLS, a send, or a
// reply (complained of through the protocol's words; a refusal only unless
// quiet).
void sayfailure(Report& report, const Connection& c, Complain complain, bool quiet = false);
void saytlsfailure(Report& report, const Connection& c);
// Says announce (a format taking the host setting) and the verbose step,
// then opens the connection; false after saying why it failed. The
// transport's own lines go to report too.
bool opened(Report& report, Connection& c, const char* announce, Complain complain);
// Whether the login's secret may go over the connection; says why not, or
// warns where it goes in plain text.
bool maysendsecret(Report& report, const Connection& c, bool token);

// Sees each header line of a message text (up to the first empty line,
// line end included as stored) before it is sent; returns false to hold the
// line back. The empty line ending the header is not shown.
using HeaderWatch = std::function<bool(const char* line, size_t len)>;

// Sends the message text that starts at start and is length bytes long (or
// runs to the end of the file, if that comes first), followed by ".\r\n":
// every line goes out ending in "\r\n" and a line beginning with "." gets
// another in front. Every byte is sent, NUL bytes included. watch may be
// empty. With plain not negative, the text goes without the dots put in
// front and without ".\r\n" (as after BDAT), and must come to exactly plain
// bytes: no more are sent. Returns 0 when all was sent, SENDTEXT_SENDFAILED
// when a send failed (errno tells why; nothing is reported),
// SENDTEXT_READFAILED when the file could not be read or did not give
// plain bytes (the text went out incomplete and without its end: the
// caller must drop the connection so that the server discards it).
enum { SENDTEXT_SENDFAILED = -1, SENDTEXT_READFAILED = -2 };
int sendmessagetext(Socket& sock, FILE* file, long start, long length, const HeaderWatch& watch, long plain = -1);

// The size of the plain text (see sendmessagetext) that the file holds now,
// or SENDTEXT_READFAILED. watch sees the header as when it is sent.
long plaintextsize(FILE* file, long start, long length, const HeaderWatch& watch);

// sendmessagetext for a posting phase, its failures reported: Quit when a
// send failed, End when the file could not be read (the text went out
// incomplete, and only dropping the connection keeps the server from
// taking it).
Step posttext(Session& session, PostedFile& posted, long start, long length, const HeaderWatch& watch,
              long plain = -1);
// Reports a failure of sendmessagetext or plaintextsize as posttext does.
Step textfailed(Session& session, const PostedFile& posted, int result);

// The dialogue of a posting phase with its server.
struct PostDialogue {
    // Connects and greets; called at the first entry to be posted.
    std::function<Step()> open;
    // Sends the message at [start, start + length) of the file, and tells
    // the file whether the server accepted it, now or (pipelined) at the
    // next call or at settle().
    std::function<Step(PostedFile& posted, long start, long length)> post;
    // Reads what is still outstanding of the file's messages (may be
    // empty); called before the file's fate is decided.
    std::function<Step()> settle;
    // Reported in verbose mode when there is no REPLIES file.
    const char* noreplies;
    // Reported in verbose mode when nothing was to be posted.
    const char* nothingposted;
};

// Runs a posting phase whose settings were checked (ready false: a missing
// setting was reported): reads REPLIES, judges each line for the phase of
// kind mine and posts every message of the files to be posted through the
// session, which it signs off at the end. Messages sent in earlier runs are
// not sent again. A file is removed (not in test mode) once all its
// messages were sent, and its line leaves REPLIES, which goes when no line
// is left; REPLIES is left alone when the reader changed it meanwhile. A
// file that AREAS lists is fetched mail or news that took a name REPLIES
// still holds: it is neither sent nor removed.
Result postphase(const Context& run, Session& session, bool ready, int mine, const PostDialogue& dialogue);

// The server accepted a message: record it, or say why that failed (the
// phase must then stop before the next message).
bool recordsent(Report& report, PostedFile& posted, long start, long length);

// Pipeline::fill, a failed send reported.
inline bool filled(Pipeline& pipeline, Report& report) {
    if (pipeline.fill()) return true;
    report.syserror("Send");
    return false;
}

// Ends a failed phase as Session::end does, and says how it ended.
Result endphase(Session& session, Step how);
// The same for a protocol client's connection: QUIT once for Quit unless
// the connection is broken, then the phase's skipping line; Offline when
// only the network failed.
Result endphase(Report& report, Connection& c, Step how, const char* skipping);

// Connects to the news server (announce as Session::connect takes it),
// reads the greeting, then STARTTLS when so set and AUTHINFO USER and PASS
// when a login is set.
Step nntpopen(Session& session, const char* announce);

// The password of a login, or the token of an OAuth2 mechanism: the
// server's password setting, else the first line its command (the setting
// named command, "POPPASSCMD") prints, run now. False after one line that
// says why.
bool loginsecret(Report& report, const Server& server, const char* command, std::string& secret);

// Runs command through /bin/sh -c, with ours as its standard error, in a
// process group of its own that is killed after limitms: the first line it
// prints, without its line end, goes into line. When the run has a
// terminal whose foreground is ours, the command gets the foreground and
// the terminal as its standard input, so that it may ask for a
// passphrase, and promptms to finish; else its standard input is
// /dev/null. False after one line naming setting and what went wrong (an
// exit status not 0, a signal, no output, the time-out).
bool runpasscommand(Report& report, const char* setting, const std::string& command, int limitms, int promptms,
                    std::string& line);

// Logs in with the mechanism the server's setting asks for (the best of
// PLAIN and LOGIN for auto), which caps must list under keyword ("AUTH",
// "SASL"); auth runs the protocol's exchange. A token goes only over TLS,
// a password over TLS or to this machine. Quit after a reported failure;
// End after a refused token: nothing more is sent.
Step sasllogin(Session& session, const Capabilities& caps, const char* keyword, const std::string& secret,
               SaslOutcome (*auth)(Connection&, const SaslExchange&));

#endif
