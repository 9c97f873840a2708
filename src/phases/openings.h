// The run's connections, opened at once before the first phase: each by a
// task of its own that only opens (TCP, TLS, the greeting, capabilities,
// the login, compression) and says its lines into a buffer of its own. The
// phases run on the main thread, one after another, and take their clients
// here; a task touches nothing but its client, its words and its buffer.
#ifndef VORPA_PHASES_OPENINGS_H
#define VORPA_PHASES_OPENINGS_H

#include <cstddef>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "phases/phases.h"
#include "proto/client.h"

// What an opening opens: a protocol client and the words of its phase,
// built on the main thread with the opening's context.
class Opener {
public:
    virtual ~Opener() = default;
    // On the main thread, before the task: what must be had first (the
    // secret of the login). False where nothing is to be opened; it said
    // why.
    virtual bool prepare() = 0;
    // In the task, or on the main thread where it opens again: connects,
    // greets and logs in. False where that failed; it said why.
    virtual bool open() = 0;
    virtual Connection& connection() = 0;
    // The failure that ended the last opening, as its words keep it; done
    // where it went through.
    virtual Outcome& ended() = 0;
    // Ends the connection as a failed dialogue ends (QUIT where the
    // protocol allows it): the phase never took it, or it opens again.
    virtual void drop() = 0;
};

// Prepares and opens it now, on the main thread: for a phase whose client
// was not opened ahead.
bool openhere(const Context& run, Opener& opener);

// Whether the opening of c reached its server, or found it out of reach,
// noted in the run's tally for run's account.
void notereach(const Context& run, const Connection& c);

// The report of an opening: what it says is kept until its phase takes
// it, then said, and from then on it says at once. A phase may take it
// while its task still opens: then the task says its lines at once, while
// the main thread waits for it.
class Kept final : public Report {
public:
    explicit Kept(Report& to) : Report(to.verbose, to.terminal), to(to) {}
    void put(Channel channel, const char* text, size_t len) override {
        std::lock_guard<std::mutex> hold(lock);
        if (live) to.put(channel, text, len);
        else kept.put(channel, text, len);
    }
    size_t size() {
        std::lock_guard<std::mutex> hold(lock);
        return kept.size();
    }
    void cut(size_t n) {
        std::lock_guard<std::mutex> hold(lock);
        kept.cut(n);
    }
    void golive() {
        std::lock_guard<std::mutex> hold(lock);
        kept.replay(to);
        live = true;
    }

private:
    Report& to;
    std::mutex lock;
    ReportBuffer kept;
    bool live = false;
};

// One opening of the run, for one account and service.
class Opening {
public:
    Opening(const Context& run, Service service);
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;

    const Account& account;
    const Service service;
    Kept said;
    // The run's context, saying into said; the opener's.
    const Context run;
    std::unique_ptr<Opener> opener;
    // Whose words the opener says: the news fetch's, which the news post of
    // the account borrows; else the phase's own.
    bool shared = false;
    // A login refused the account's OAuth2 token while the task ran: the
    // token file is the main thread's, told at the take.
    bool refusedtoken = false;

    // The task runs: the opener is its own.
    bool running() const { return intask; }

private:
    friend class Openings;
    bool intask = false;
    bool prepared = false;
    bool ok = false;        // the last opening went through
    bool taken = false;     // by its phase, which ends it
    size_t mark = 0;        // what said holds before the connection opens
    // Whether it went through, once the task is done.
    std::shared_future<bool> task;
};

#endif
