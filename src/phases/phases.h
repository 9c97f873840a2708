// The four phases of a run: each joins the packet and a protocol, does all
// reporting, and says how it ended.
#ifndef VORPA_PHASES_H
#define VORPA_PHASES_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/interrupts.h"
#include "core/report.h"
#include "core/settings.h"

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
    long articles = 0;  // fetched articles stored
    long groups = 0;    // groups fetched
    long kept = 0;      // files kept in REPLIES for the next run
    std::vector<std::string> unknown;  // groups the server does not have
    // Accounts whose OAuth2 access token could not be had, and how that
    // ended: their other phases end the same way without a word.
    std::vector<std::pair<std::string, Result>> untokened;
};

class NntpClient;
class OAuthHttp;
enum class Step;

// How a phase's wait for its turn ended.
enum class Waited {
    Go,       // on with the connection opened
    Reopen,   // the server closed it meanwhile: open it again once
    Dropped,  // the run ended before the phase's turn: end without a word
};

// A phase whose connection is opened ahead, in a thread of its own, while
// the phases before it work: what it says is kept until its turn, then put
// to the run's report, where the rest goes as it is said. The run starts
// the next such phase once this one has its secret (a password command may
// ask on the terminal), so that those run one after another in order.
class Turn final : public Report {
public:
    explicit Turn(Report& to) : Report(to.verbose, to.terminal), to(to) {}
    void put(Channel channel, const char* text, size_t len) override;

    // The phase's side. The secret is had and the connection opens now.
    void opening();
    // After the opening, failed or not: waits for the turn. hungup tells
    // whether the server closed the connection while it waited; then what
    // the opening said is forgotten, and the phase opens again. Only the
    // first wait waits.
    Waited wait(const std::function<bool()>& hungup);
    void done();
    // Before the wait: the news post of the account may borrow the news
    // connection opened until the phase's turn.
    void lend(NntpClient& client);

    // The run's side: waits until the phase has its secret (or is done).
    void started();
    // The phase's turn has come: waits until it is done.
    void go();
    // The run ends before the phase's turn.
    void drop();
    // Once the opening is done: the connection lent, or null.
    NntpClient* borrow();

    // Where the news post's own connection is opened ahead. The opening's
    // side, after its turn: hands the connection over until the run drops
    // it; false where the post never claimed it.
    bool hand(NntpClient& client, Step step);
    // The post's side, as it first needs the connection: its turn, then
    // the connection and how its opening went; null where none was opened.
    NntpClient* claim(Step& step);

private:
    // Under the lock: the turn has come.
    void begin();

    Report& to;
    std::mutex lock;
    std::condition_variable changed;
    ReportBuffer kept;
    size_t mark = 0;  // the texts kept before the opening
    NntpClient* lent = nullptr;
    bool ready = false, finished = false, waiting = false, waited = false;
    bool turn = false, live = false, dropped = false;
    bool handed = false;
    Step handedstep{};
};

// What every phase is given.
struct Context {
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
    const std::vector<const Account*>* accounts = nullptr;
    // The account is not the default one, and is named where it shows.
    bool named() const { return &account != &settings.accounts.front(); }
    // The phase's turn, where its connection is opened ahead; null: now.
    Turn* turn = nullptr;
    // The news fetches opened ahead, by account: the news post borrows
    // their connections.
    const std::vector<std::pair<const Account*, Turn*>>* ahead = nullptr;
};

// Work opened ahead of its turn in a thread of its own, with a context like
// run's whose report is the turn's. Dropped at the end where its turn did
// not come.
class Ahead {
public:
    explicit Ahead(const Context& run)
        : turn(run.report),
          context{run.settings, run.account, run.options, turn, run.interrupts,
                  run.all, run.tally, run.http, run.accounts, &turn, run.ahead} {}
    ~Ahead() {
        if (!thread.joinable()) return;
        turn.drop();
        thread.join();
    }
    Ahead(const Ahead&) = delete;
    Ahead& operator=(const Ahead&) = delete;
    // Runs job(context) in the thread; returns once the job has its secret
    // (or is done), so that password commands ask one after another.
    void start(std::function<void(const Context&)> job);
    // The turn has come: waits until the job is done.
    void go();

    Turn turn;
    const Context context;

private:
    std::thread thread;
};

Result postemail(const Context& run);
Result postnews(const Context& run);
Result fetchemail(const Context& run);
Result fetchnews(const Context& run);
// The news post's connection, opened ahead at run.turn where no news fetch
// of the account opens one: the post claims it at that turn.
Result opennewspost(const Context& run);

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

// The line that sums up what the phases that ran did; empty when none ran.
std::string summarize(const Tally& tally);

#endif
