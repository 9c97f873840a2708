// The four phases of a run: each joins the packet and a protocol, does all
// reporting, and says how it ended.
#ifndef VORPA_PHASES_H
#define VORPA_PHASES_H

#include "core/interrupts.h"
#include "core/report.h"
#include "core/settings.h"

enum class Result {
    Done,   // all its work done
    Kept,   // went through, but a line of REPLIES was kept: something listed was not sent
    Ended,  // ended early, with "(skipping ...)"
    Offline,  // ended early, as Ended, by a failure that passes by itself (the network's)
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
};

Result postemail(const Context& run);
Result postnews(const Context& run);
Result fetchemail(const Context& run);
Result fetchnews(const Context& run);

#endif
