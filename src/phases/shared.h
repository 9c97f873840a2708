// What the phases share among themselves: the words of each protocol's
// failed replies, the posting walk over REPLIES, the sending of a message
// text, the logins and their secrets.
#ifndef VORPA_PHASES_SHARED_H
#define VORPA_PHASES_SHARED_H

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "phases/openings.h"
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

// What a server said, made safe to show: of POP3 and IMAP without the
// status and tag that mean nothing to a user ("-ERR", "L NO"); its line
// end kept.
std::string serverwords(const Connection& c, const Reply& reply);
// A login the server refused: "IMAP host refused the login: ..." for POP3
// and IMAP, the protocol's own words for the others.
void refusedlogin(Report& report, const Connection& c, const Reply& reply, Complain complain);

// The words for a failure of a step on a protocol client's connection:
// the connection, TLS, the greeting, STARTTLS, a secret that may not go, a
// send, or a reply (complained of through the protocol's words; a refusal
// only unless quiet).
void sayfailure(Report& report, const Connection& c, const Outcome& failure, Complain complain, bool quiet = false);
void saytlsfailure(Report& report, const Connection& c, const Outcome& failure);
// The transport's own lines go to the report, and in verbose mode what a
// compressed connection carried as it closes; in a check run each TLS
// handshake names the server's certificate, for TLSFINGERPRINT.
void attend(Report& report, Connection& c, bool check);
// Says announce (a format taking the host setting) and the verbose step
// of connecting.
void announce(Report& report, const Connection& c, const char* format);
// The format announce says for the phase: today, the default account's,
// or for another account one that names it ("Fetching mail for work from
// %s...\n"); what is "mail" or "news".
std::string phaseline(const Context& run, const char* today, const char* what, bool fetch);
// QUIT at the end of a dialogue (or its answer, when it went with the last
// commands), with the verbose steps: done, or the failure said of it.
Outcome signedoff(Report& report, Connection& c, Complain complain);
// Whether the login's secret may go over the connection; says why not, or
// warns where it goes in plain text.
bool maysendsecret(Report& report, const Connection& c, bool token);

// The account whose server takes the message of the file, among those a
// posting phase posts for; -1 when none may (why: the line that says so;
// the message is kept).
using PostRoute = std::function<int(PostedFile& posted, const OutgoingMessage& message, std::string& why)>;

// The dialogues of a posting phase with its servers: one per account it
// posts for, numbered from 0 in the order of the file.
class PostDialogue {
public:
    virtual ~PostDialogue() = default;
    virtual size_t accounts() const = 0;
    // Empty: the first takes every message, and is opened at the first
    // entry to be posted.
    virtual const PostRoute& route() const = 0;
    // Connects and greets; called at the account's first message.
    virtual Step open(size_t account) = 0;
    // Sends the message of the file, and gives the file the server's
    // verdict on that very message (accepted(), or refused(start)), now or
    // (pipelined) at a later call or at settle().
    virtual Step post(size_t account, PostedFile& posted, const OutgoingMessage& message) = 0;
    // Reads what is still outstanding of the messages sent; called before
    // another account takes a message, and before a line is said that must
    // come after their verdicts. Without pipelining nothing is.
    virtual Step settle(size_t) { return Step::Next; }
    // Reported in verbose mode when there is no REPLIES file.
    virtual const char* noreplies() const = 0;
    // Reported in verbose mode when nothing was to be posted.
    virtual const char* nothingposted() const = 0;
    // QUIT at the end, the answers still to come read with its own; End
    // when the server did not take it.
    virtual Step signoff(size_t account) = 0;
    // Where no message follows, QUIT goes ahead of the answers still to
    // come, so that a line said before signoff costs no round trip.
    virtual void quitahead(size_t) {}
    // Ends a failed dialogue (QUIT once for Quit) and says how it ended.
    virtual Result end(size_t account, Step how) = 0;
};

// The contexts of the accounts a posting phase posts for: where the run
// routes, those of its accounts that have the server (of each account),
// else the run's own alone.
std::vector<Context> postaccounts(const Context& run, Server Account::*server);
// Where a message goes among those contexts: to the first account of the
// settings that takes it, else to the default one. -1 when that account
// does not post in this run; by names it.
int routeto(const Settings& settings, const std::vector<Context>& accounts,
            const std::function<bool(const Account&)>& takes, const Account*& by);

// Runs a posting phase whose settings were checked (ready false: a missing
// setting was reported): reads REPLIES, judges each line for the phase of
// kind mine and posts every message of the files to be posted through the
// dialogue of its account, each opened at its first message and kept for
// the next ones, and all signed off at the end; an account whose dialogue
// failed is ended at once while others go on, and its messages wait for
// the next run. Messages sent in earlier runs are
// not sent again. A file is removed (not in test mode) once all its
// messages were sent, and its line leaves REPLIES, which goes when no line
// is left; REPLIES is left alone when the reader changed it meanwhile. A
// file that AREAS lists is fetched mail or news that took a name REPLIES
// still holds: it is neither sent nor removed.
Result postphase(const Context& run, bool ready, int mine, PostDialogue& dialogue);

// A phase left out of the run without a word: its server is not configured
// and the command line asked for neither email nor news alone.
inline bool unconfigured(const Context& run, const Server& server) { return run.all && server.host.empty(); }
// Whether REPLIES lists a file for the posting phase of kind mine.
bool listsfiles(const Context& run, int mine);
// The accounts (places of route's; without route, the one account, 0) that
// take a message not sent before of the files REPLIES lists for the
// posting phase of kind mine, in the order of their first.
std::vector<size_t> postplan(const Context& run, int mine, const PostRoute& route);

// The date as RFC 5322 writes it, and a Message-ID of our own,
// "<time.pid.random@hostname>".
std::string maildate(time_t now);
std::string newmessageid(time_t now, const std::string& hostname);

// The header lines the message of the file lacks, to go before its own:
// From: (from, where given), Date: and Message-ID:, unless the account's
// ADDHEADERS is off. Those added when it first went go again as recorded,
// so that a resend sends the same bytes; new ones are recorded before it
// goes. False after one line that says why.
bool addedheaders(const Context& run, PostedFile& posted, const OutgoingMessage& message, const std::string& from,
                  std::string& head);

// The From: the account gives a letter without one: the first of its FROM
// addresses that is no pattern, with its NAME; empty when it has none.
std::string accountfrom(const Account& account);

// How a line about a letter kept or refused names it, so that the user
// finds it: its file, Subject and first recipient (to, where it has one),
// and a colon: R0000002.MSG "Re: trip" to ann@example.net:
std::string lettername(const PostedFile& posted, const OutgoingMessage& message, const std::string& to);

// Whether a line went into the file's record (ok); says why not.
bool recorded(Report& report, const PostedFile& posted, bool ok);
// The server accepted a message: record it, or say why that failed (the
// phase must then stop before the next message).
bool recordsent(Report& report, PostedFile& posted, const OutgoingMessage& message);

// Syncs a fetched file, gives it its name and lists it in AREAS under area,
// then syncs the directory: the name and the AREAS line must survive a
// crash too before the server forgets the messages. False after a reported
// failure; no part of the file stays then, also when AREAS could not take
// its line.
bool storefile(Report& out, IncomingFile& incoming, const std::string& soupdir, const char* area);

// A letter given up: refused for good by a server, or refused for now
// until KEEPTRYING ran out.
struct GivenUpLetter {
    std::string server;               // host[:port] as set
    std::vector<std::string> reply;   // the server's last reply, every line as sent
    std::vector<std::string> recipients;
    std::string storedat;             // the letter, as storerefused() put it in refused/
    long days = 0;                    // 0: refused; else the days it was tried
};


// Tells the user of a letter given up where they read: a mail of its own
// from "Vorpa <vorpa@hostname>" to the letter's sender, in a fetched mail
// file listed in AREAS under "Vorpa", saying who refused it and what they
// said, its recipients and where it lies now, with the letter attached as
// read from there. False after one line naming the file that could not be
// read or written.
bool writenotice(Report& out, const std::string& soupdir, const std::string& hostname, const GivenUpLetter& letter);

// Gives up the message of the file: it moves to refused/ (letter.storedat
// is filled in), its notice goes into the packet, and the record says so,
// in that order, so that a run cut short leaves it in the file. False after
// one line that says why: the message stays.
bool givenup(const Context& run, PostedFile& posted, const OutgoingMessage& message, GivenUpLetter letter);

// The words both news phases say for the opening of their dialogue, and
// for its failures that end it; each phase words its own items.
class NewsWords : public NntpEvents {
public:
    // announce: a format taking the host setting, said as the phase
    // connects.
    NewsWords(Report& out, std::string announce) : out(out), announce(std::move(announce)) {}
    void opening(Opening step, const Connection& c) override;
    void failed(Item item, size_t index, const Connection& c, const Outcome& failure) override;
    // The failure told last, which ended the dialogue.
    const Outcome& ended() const { return last; }
    Outcome& ended() { return last; }

protected:
    Report& out;
    const std::string announce;
    Outcome last;
};

// The news connection of an account, with its words for the opening and
// the secret of its login: opened ahead for the news fetch of the account
// (the news post borrows it) or for its news post, or by the phase.
class NewsOpening final : public Opener {
public:
    // announce: the phase's line as it connects.
    NewsOpening(const Context& run, std::string announce);
    // The password command.
    bool prepare() override;
    bool open() override;
    Connection& connection() override { return client.connection(); }
    Outcome& ended() override { return words.ended(); }
    void drop() override { client.close(step != Step::End); }
    // Back to its own words and report, after a phase that borrowed it.
    void home();

    const Context& run;
    NewsWords words;
    NntpClient client;
    std::string secret;
    Step step = Step::End;  // how the opening went
};

// The line each news phase announces itself with.
std::string newsfetchline(const Context& run);
std::string newspostline(const Context& run);
// QUIT at the regular end, with its verbose lines; End when it was not
// taken.
Step nntpsignoff(Report& out, NntpClient& client);
// Ends a failed news phase: QUIT once for Quit unless the connection is
// broken, then the skipping line; Offline when the failure that ended it
// passes by itself (offline: the network's).
Result nntpend(Report& out, NntpClient& client, Step how, bool offline, const char* skipping);

// How getting the secret of a login ended.
enum class Secret {
    Ready,
    Failed,   // said why; the phase ends with its skipping line
    Ended,    // the account's phases end here, with the one line said
    Offline,  // said why; the network failed
};

// The secret of a POP3 or SMTP login: with OAUTH2 the account's access
// token, refreshed at its token endpoint a minute before it expires and
// stored with a new refresh token before it is used; else the server's
// password setting, or the first line its command (the setting named
// command, "POPPASSCMD") prints, run now. A password too long for one,
// with the mechanism left at auto, is not sent. Once the token could not
// be had the account's other phases get the same end at once.
Secret loginsecret(const Context& run, const Server& server, const char* command, std::string& secret);

// After a login that refused the account's OAuth2 access token: the next
// run gets a new one rather than offering this one again (forgettoken,
// once the opening that ran into it is taken).
void tokenrefused(const Context& run, const SaslLogin& login);
void forgettoken(const Context& run);

// The password of a server's login: its password setting, else its
// command's first line. False after one line that says why.
bool serversecret(Report& report, const Server& server, const char* command, std::string& secret);

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
