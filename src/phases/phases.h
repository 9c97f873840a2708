// The four phases of a run: each joins the packet and a protocol, does all
// reporting, and says how it ended.
#ifndef VORPA_PHASES_H
#define VORPA_PHASES_H

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/interrupts.h"
#include "core/report.h"
#include "core/settings.h"
#include "proto/client.h"

enum class Result {
    Done,   // all its work done
    Kept,   // went through, but a line of REPLIES was kept: something listed was not sent
    Ended,  // ended early, with "(skipping ...)"
    Offline,  // ended early, as Ended, by a failure that passes by itself (the network's)
};

// What a run did, counted by its phases; the driver sums it up.
struct Tally {
    // The phases that ran; one left out under "all" did not.
    bool mailpost = false, newspost = false, mailfetch = false, newsfetch = false;
    long sent = 0;      // mails the SMTP server accepted
    long posted = 0;    // articles the NNTP server accepted
    long mails = 0;     // fetched mails stored
    long textonly = 0;  // of them, those stored as their text only
    long long left = 0;  // bytes of mail left on the server: whole messages and parts
    long articles = 0;  // fetched articles stored
    long groups = 0;    // groups fetched
    long crossposts = 0;  // articles not stored again in another group
    long kept = 0;      // files kept in REPLIES for the next run
    std::vector<std::string> unknown;  // groups the server does not have
    // Accounts whose OAuth2 access token could not be had, and how that
    // ended: their other phases end the same way without a word.
    std::vector<std::pair<std::string, Result>> untokened;
    // The servers the phases opened connections to: reached, or out of
    // reach for the network's reasons.
    struct Reach {
        const Account* account;
        const Server* server;
        bool up;
    };
    std::vector<Reach> reach;
};

class OAuthHttp;
class Opening;
class Opener;
class Context;

// What a connection of an account is for.
enum class Service { Smtp, Nntp, Pop3, Imap };

// The connections of a run, opened at once before the first phase, each by
// a task of its own (phases/openings.h), and handed to the phases, which
// run one after another on the main thread.
class Openings {
public:
    // Signals are taken while a phase waits for its opening.
    explicit Openings(Interrupts& interrupts);
    ~Openings();
    Openings(const Openings&) = delete;
    Openings& operator=(const Openings&) = delete;

    // Builds the opener of the account of run for service with a context
    // like run's that says into the opening's own buffer (make), has its
    // secret now, on this thread, and starts its task. Once per account
    // and service. shared: the news fetch's, which the news post borrows.
    void start(const Context& run, Service service,
               const std::function<std::unique_ptr<Opener>(const Context&)>& make, bool shared = false);
    // The opening of account for service, or null.
    Opening* find(const Account& account, Service service);
    // The phase's turn: waits for the opening, says what it said, and
    // opens again once where the server hung up meanwhile, or turned it
    // away as busy while another of our connections to that server was
    // open. The phase ends the connection.
    void take(Opening& opening);
    // The same for the news post, which sends over the connection that
    // the news fetch of its account takes later: what the opening says is
    // kept for the fetch.
    void borrow(Opening& opening);
    // The run is over: openings never taken are ended without a word.
    void end();

private:
    enum class Again { No, HungUp, Busy };
    void wait(Opening& opening);
    Again reopens(Opening& opening, bool waited);
    void reopen(Opening& opening, Again again);
    bool crowded(const Opening& opening);
    void forgettoken(Opening& opening);

    Interrupts& interrupts;
    std::vector<std::unique_ptr<Opening>> all;
};

// What every phase is given: made once for the run, then for each account
// and opening from it.
class Context {
public:
    Context(const Settings& settings, const Account& account, const RunOptions& options, Report& report,
            Interrupts& interrupts, bool all, Tally& tally, OAuthHttp& http,
            const std::vector<const Account*>* accounts, Openings* openings)
        : settings(settings), account(account), options(options), report(report), interrupts(interrupts), all(all),
          tally(tally), http(http), accounts(accounts), openings(openings) {}
    // The same run for another of its accounts.
    Context foraccount(const Account& other) const {
        return {settings, other, options, report, interrupts, all, tally, http, accounts, openings};
    }
    // The same run for the opener of opening, saying into said.
    Context foropening(Report& said, Opening* opening) const {
        Context c{settings, account, options, said, interrupts, all, tally, http, accounts, openings};
        c.opening = opening;
        return c;
    }

    const Settings& settings;
    // The account the phase works for.
    const Account& account;
    const RunOptions& options;
    Report& report;
    // Asked at each point where the phase can stop without losing anything.
    Interrupts& interrupts;
    // The command line named neither email nor news: a phase whose server
    // is not configured is left out, unless REPLIES lists files for it.
    bool all;
    Tally& tally;
    // The OAuth2 requests' library, loaded for the run at the first.
    OAuthHttp& http;
    // The accounts the run is for, in the order of the file, where the
    // configuration has more than one: the posting phases route each
    // message to one of them. Null: the account above only.
    const std::vector<const Account*>* accounts;
    // The account is not the default one, and is named where it shows.
    bool named() const { return &account != &settings.accounts.front(); }
    // The connections opened ahead; null: each phase opens its own.
    Openings* openings;
    // The opening whose opener this context is for; null for a phase's.
    Opening* opening = nullptr;
};

Result postemail(const Context& run);
Result postnews(const Context& run);
Result fetchemail(const Context& run);
Result fetchnews(const Context& run);
// Before the first phase, in the order their secrets were always had: the
// connections of the mail fetch of run's account (POP3, IMAP), of its news
// fetch, of the accounts the news post of run posts for that no news fetch
// opens for, and of those the mail post sends by. A phase left out of the
// run or missing a setting opens nothing here.
void openmailfetchahead(const Context& run);
void opennewsfetchahead(const Context& run);
void opennewspostahead(const Context& run);
void openmailpostahead(const Context& run);

// The offline reader's archives. Before the posts: what a run killed
// while packing or taking in left is completed, then every reply archive
// in READERREPLIES is taken into the packet. After the fetches: the
// fetched files are packed into a new archive in READERPACKETS. Neither
// does anything in a check run; there takereplies names the message files
// that neither AREAS nor REPLIES names.
Result takereplies(const Settings& settings, const RunOptions& options, Report& out);
Result packforreader(const Settings& settings, const RunOptions& options, Report& out);

// Runs the OAuth2 flow of the account on the terminal and stores the
// tokens it gives: 0, else the exit status of the run.
int authorize(Report& report, OAuthHttp& http, const Account& account);

// vorpa setup: an ACCOUNT section for address from the providers' table
// (the provider named, else the one of the address's domain; for another
// domain, a section to fill in), appended to configfile, which is made
// with mode 0600 where there is none, then what the user must still do;
// print: the section is only shown. The exit status.
int setupaccount(Report& report, const std::string& address, const std::string& provider,
                 const std::string& configfile, bool print);

// The proxy's password of the account, from its PROXYPASSCMD run now.
// False after one line that says why.
bool proxysecret(Report& report, const Account& account, std::string& pass);

// After the phases: each server out of reach is remembered since its
// first failure, in the state folder of its account, and one reached again
// is forgotten. One out of reach for more than its account's QUIETDAYS is
// said; so is a record that cannot be written. True when a line was said:
// the run has work undone. A check or test run writes and says nothing.
bool sayoutages(const Settings& settings, const RunOptions& options, const Tally& tally, Report& report);

// The line that sums up what the phases that ran did; empty when none ran.
std::string summarize(const Tally& tally);

// A size as the words of a run show it: "740 KB", "24.6 MB"; whole: "49 MB"
// from 10 MB on.
std::string bytesize(long long bytes, bool whole);

#endif
