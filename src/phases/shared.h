// What the phases share among themselves: the words of each protocol's
// failed replies, the posting walk over REPLIES, the sending of a message
// text, the logins and their secrets.
#ifndef VORPA_PHASES_SHARED_H
#define VORPA_PHASES_SHARED_H

#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "phases/phases.h"
#include "proto/client.h"
#include "proto/nntp.h"
#include "proto/sasl.h"
#include "proto/sendtext.h"
#include "soup/soup.h"

void pop3complain(Report& report, const Reply& reply, bool quiet);
void smtpcomplain(Report& report, const Reply& reply, bool quiet);
void nntpcomplain(Report& report, const Reply& reply, bool quiet);
void imapcomplain(Report& report, const Reply& reply, bool quiet);
using Complain = void (*)(Report& report, const Reply& reply, bool quiet);

// The words for what went wrong with a protocol client's connection, as
// it noted it: the connection, TLS, the greeting, STARTTLS, a send, or a
// reply (complained of through the protocol's words; a refusal only unless
// quiet).
void sayfailure(Report& report, const Connection& c, Complain complain, bool quiet = false);
void saytlsfailure(Report& report, const Connection& c);
// The transport's own lines go to the report; in a check run each TLS
// handshake names the server's certificate, for TLSFINGERPRINT.
void attend(Report& report, Connection& c, bool check);
// Says announce (a format taking the host setting) and the verbose step
// of connecting.
void announce(Report& report, const Connection& c, const char* format);
// The format announce says for the phase: today, the default account's,
// or for another account one that names it ("Fetching mail for work from
// %s...\n"); what is "mail" or "news".
std::string phaseline(const Context& run, const char* today, const char* what, bool fetch);
// QUIT at the end of a dialogue, with the verbose steps; false after
// saying why the server did not take it.
bool signedoff(Report& report, Connection& c, Complain complain);
// Whether the login's secret may go over the connection; says why not, or
// warns where it goes in plain text.
bool maysendsecret(Report& report, const Connection& c, bool token);

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
    // QUIT at the end; End when the server did not take it.
    std::function<Step()> signoff = nullptr;
    // Ends a failed phase (QUIT once for Quit) and says how it ended.
    std::function<Result(Step how)> end = nullptr;
};

// Runs a posting phase whose settings were checked (ready false: a missing
// setting was reported): reads REPLIES, judges each line for the phase of
// kind mine and posts every message of the files to be posted through the
// dialogue, which it signs off at the end. Messages sent in earlier runs are
// not sent again. A file is removed (not in test mode) once all its
// messages were sent, and its line leaves REPLIES, which goes when no line
// is left; REPLIES is left alone when the reader changed it meanwhile. A
// file that AREAS lists is fetched mail or news that took a name REPLIES
// still holds: it is neither sent nor removed.
Result postphase(const Context& run, bool ready, int mine, const PostDialogue& dialogue);

// A phase left out of the run without a word: its server is not configured
// and the command line asked for neither email nor news alone.
inline bool unconfigured(const Context& run, const Server& server) { return run.all && server.host.empty(); }
// Whether REPLIES lists a file for the posting phase of kind mine.
bool listsfiles(const Context& run, int mine);

// The server accepted a message: record it, or say why that failed (the
// phase must then stop before the next message).
bool recordsent(Report& report, PostedFile& posted, long start, long length);

// The words both news phases say for the opening of their dialogue, and
// for its failures that end it; each phase words its own items.
class NewsWords : public NntpEvents {
public:
    // announce: a format taking the host setting, said as the phase
    // connects.
    NewsWords(Report& out, std::string announce) : out(out), announce(std::move(announce)) {}
    void opening(Opening step, const Connection& c) override;
    void failed(Item item, size_t index, const Connection& c) override;

protected:
    Report& out;
    const std::string announce;
};

// Runs the password command of a login, then opens the client.
Step nntpopen(Report& out, NntpClient& client, bool check);
// QUIT at the regular end, with its verbose lines; End when it was not
// taken.
Step nntpsignoff(Report& out, NntpClient& client);
// Ends a failed news phase: QUIT once for Quit unless the connection is
// broken, then the skipping line; Offline when only the network failed.
Result nntpend(Report& out, NntpClient& client, Step how, const char* skipping);

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

// The words of a SASL login as far as it went: the mechanism chosen (with
// the warning of a password that goes unencrypted), or why it failed.
void saylogin(Report& report, const Connection& c, const SaslLogin& login, Complain complain);

#endif
