// A phase opened ahead: its report held back until its turn.
#include "phases/phases.h"
#include "phases/shared.h"

void Turn::put(Channel channel, const char* text, size_t len) {
    std::lock_guard<std::mutex> hold(lock);
    if (dropped) return;
    if (live) to.put(channel, text, len);
    else kept.put(channel, text, len);
}

void Turn::opening() {
    std::lock_guard<std::mutex> hold(lock);
    mark = kept.size();
    ready = true;
    changed.notify_all();
}

Waited Turn::wait(const std::function<bool()>& hungup) {
    std::unique_lock<std::mutex> hold(lock);
    if (waited) return dropped ? Waited::Dropped : Waited::Go;
    waited = ready = waiting = true;
    changed.notify_all();
    changed.wait(hold, [this] { return turn || dropped; });
    waiting = false;
    if (dropped) return Waited::Dropped;
    // The turn came while it opened: nothing waited.
    if (live) return Waited::Go;
    bool again = hungup();
    if (again) kept.cut(mark);
    kept.replay(to);
    live = true;
    return again ? Waited::Reopen : Waited::Go;
}

void Turn::done() {
    std::lock_guard<std::mutex> hold(lock);
    finished = ready = true;
    changed.notify_all();
}

void Turn::lend(NntpClient& client) {
    std::lock_guard<std::mutex> hold(lock);
    lent = &client;
}

NntpClient* Turn::borrow() {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [this] { return waited || finished; });
    return finished ? nullptr : lent;
}

void Turn::started() {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [this] { return ready; });
}

void Turn::begin() {
    turn = true;
    if (!waiting) {
        kept.replay(to);
        live = true;
    }
    changed.notify_all();
}

void Turn::go() {
    std::unique_lock<std::mutex> hold(lock);
    begin();
    changed.wait(hold, [this] { return finished; });
}

bool Turn::hand(NntpClient& client, Step step, const Outcome& failure) {
    std::unique_lock<std::mutex> hold(lock);
    lent = &client;
    handedstep = step;
    handedfailure = failure;
    handed = true;
    changed.notify_all();
    changed.wait(hold, [this] { return dropped; });
    return turn;
}

NntpClient* Turn::claim(Step& step, Outcome& failure) {
    std::unique_lock<std::mutex> hold(lock);
    begin();
    changed.wait(hold, [this] { return handed || finished; });
    step = handedstep;
    failure = handedfailure;
    return handed ? lent : nullptr;
}

void Turn::drop() {
    std::unique_lock<std::mutex> hold(lock);
    dropped = true;
    changed.notify_all();
    changed.wait(hold, [this] { return finished; });
}

Waited waitturn(const Context& run, const Connection& c, bool opened) {
    if (!run.turn) return Waited::Go;
    return run.turn->wait([&c, opened] { return opened && c.sock.HungUp(); });
}

Turn* lender(const Context& run) {
    if (!run.ahead) return nullptr;
    for (const auto& opened : *run.ahead)
        if (opened.first == &run.account) return opened.second;
    return nullptr;
}

NntpClient* borrowed(const Context& run) {
    Turn* turn = lender(run);
    return turn ? turn->borrow() : nullptr;
}

void Ahead::start(std::function<void(const Context&)> job) {
    thread = std::thread([this, job] {
        job(context);
        turn.done();
    });
    turn.started();
}

void Ahead::go() {
    turn.go();
    thread.join();
}
