// The progress of a fetch on the console: the meter of the unit being
// fetched (a message, a newsgroup), the current rate and the average.
#ifndef VORPA_CORE_PROGRESS_H
#define VORPA_CORE_PROGRESS_H

#include <cstdint>

#include "core/report.h"

class Progress {
public:
    // The average is given once more than least bytes were received.
    Progress(Report& out, uint64_t least) : meter(out), least(least) { start(); }
    // Everything anew: the average and the first unit.
    void start();
    // A new unit: the current rate starts anew, and the next show() draws.
    void unit() {
        meter.forget();
        window.restart();
    }
    // A line as received, or a piece of one. The clock is read only when a
    // window closes, and the average renewed with that reading: in a
    // virtual machine a reading is slow.
    void received(uint32_t len) {
        bytes += len;
        if (window.add(len) != 0) update(window.start);
    }
    void show(int percent) { meter.show(percent, window.rate, rate); }
    // The average up to now, after the last unit.
    void finish() { update(mtime()); }
    // The average counts from the clock at from, before start(): bytes that
    // came before, with a listing, and are counted as they are taken.
    void countfrom(uint32_t from) { since = from; }
    uint32_t average() const { return rate; }

    Meter meter;

private:
    void update(uint32_t now);

    RateWindow window;
    const uint64_t least;
    uint32_t since = 0;  // the clock at start()
    uint64_t bytes = 0;  // since start()
    uint32_t rate = 0;   // the average
};

#endif
