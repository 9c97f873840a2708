// The run's openings: started at once, each in a task, and handed to the
// phases in their turn on the main thread.
#include "phases/openings.h"

#include <chrono>

#include "phases/shared.h"

Opening::Opening(const Context& base, Service service)
    : account(base.account),
      service(service),
      said(base.report),
      run(base.foropening(said, this)) {}

namespace {

const Server& serverof(const Account& account, Service service) {
    switch (service) {
    case Service::Smtp:
        return account.smtp;
    case Service::Nntp:
        return account.nntp;
    case Service::Pop3:
        return account.pop;
    default:
        return account.imap;
    }
}

// The opening failed as the server turned it away for now as busy.
bool busy(Opener& opener) {
    const Outcome& o = opener.ended();
    return (o.stage == Stage::Greeting || o.stage == Stage::Reply) && o.reply.refused() &&
           opener.connection().protocol.busy(o.reply, o.stage == Stage::Greeting);
}

}  // namespace

// Openings to one server go one after another, in the order they were
// started: the server sees the accounts in the order of the file, and one
// that takes one connection per client lets the first in.
void Openings::start(const Context& run, Service service,
                     const std::function<std::unique_ptr<Opener>(const Context&)>& make, bool shared) {
    if (find(run.account, service)) return;
    std::shared_future<bool> before;
    const std::string& host = serverof(run.account, service).host;
    for (const auto& o : all)
        if (o->service == service && o->task.valid() && serverof(o->account, service).host == host) before = o->task;
    all.push_back(std::make_unique<Opening>(run, service));
    Opening& o = *all.back();
    o.opener = make(o.run);
    o.shared = shared;
    o.prepared = o.opener->prepare();
    o.mark = o.said.size();
    if (!o.prepared) return;
    Opener* opener = o.opener.get();
    o.intask = true;
    o.task = std::async(std::launch::async, [opener, before] {
                 Interrupts::hold();
                 if (before.valid()) before.wait();
                 return opener->open();
             }).share();
}

Opening* Openings::find(const Account& account, Service service) {
    for (const auto& o : all)
        if (&o->account == &account && o->service == service) return o.get();
    return nullptr;
}

// Signals are taken while it waits: once one is, a second ends the run at
// once, however long the server keeps the opening waiting.
void Openings::wait(Opening& o) {
    if (!o.intask) return;
    while (o.task.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) interrupts.taken();
    o.ok = o.task.get();
    o.intask = false;
}

// Whether the opening is to open again: its server hung up while it waited
// (waited: it was done before its phase's turn), or turned it away as busy
// while another of our connections to it was open. The connection it has
// is ended, and what it said of it forgotten where it is still kept.
Openings::Again Openings::reopens(Opening& o, bool waited) {
    if (!o.prepared) return Again::No;
    Connection& c = o.opener->connection();
    Again again = Again::No;
    if (o.ok && waited && c.sock.HungUp()) {
        c.sock.Close();
        again = Again::HungUp;
    } else if (!o.ok && busy(*o.opener) && crowded(o)) {
        o.opener->drop();
        again = Again::Busy;
    } else {
        return again;
    }
    o.said.cut(o.mark);
    return again;
}

// Opens it again; busy once more, the server's crowding passes by itself.
void Openings::reopen(Opening& o, Again again) {
    if (again == Again::No) return;
    o.ok = o.opener->open();
    if (!o.ok && again == Again::Busy && busy(*o.opener)) o.opener->ended().failure = Failure::Network;
}

// Whether another of our openings to the server of o's went through. Those
// of them still waiting for their phase are ended, to open again at its
// turn; a phase that took one has ended it by now, or uses it.
bool Openings::crowded(const Opening& o) {
    const Connection& c = o.opener->connection();
    bool found = false;
    for (const auto& other : all) {
        if (other.get() == &o || !other->prepared) continue;
        wait(*other);
        const Connection& d = other->opener->connection();
        if (!other->ok || d.host != c.host || d.port != c.port) continue;
        found = true;
        if (!other->taken && !d.sock.HungUp()) other->opener->drop();
    }
    return found;
}

void Openings::forgettoken(Opening& o) {
    if (!o.refusedtoken) return;
    o.refusedtoken = false;
    ::forgettoken(o.run);
}

bool openhere(const Context& run, Opener& opener) {
    if (!opener.prepare()) return false;
    bool ok = opener.open();
    notereach(run, opener.connection());
    return ok;
}

void notereach(const Context& run, const Connection& c) {
    if (c.answered || c.unreachable) run.tally.reach.push_back({&run.account, &c.server, c.answered});
}

// An opening still under way at the phase's turn says its lines as they
// come, as the phase would.
void Openings::take(Opening& o) {
    bool underway = o.intask && o.task.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
    if (underway) o.said.golive();
    wait(o);
    Again again = reopens(o, !underway);
    o.said.golive();
    forgettoken(o);
    reopen(o, again);
    o.taken = true;
    if (o.prepared) notereach(o.run, o.opener->connection());
}

void Openings::borrow(Opening& o) {
    wait(o);
    forgettoken(o);
    reopen(o, reopens(o, true));
    if (o.prepared) notereach(o.run, o.opener->connection());
}

Openings::Openings(Interrupts& interrupts) : interrupts(interrupts) {}

Openings::~Openings() { end(); }

void Openings::end() {
    for (const auto& o : all) {
        wait(*o);
        if (o->prepared && !o->taken) o->opener->drop();
    }
    all.clear();
}
