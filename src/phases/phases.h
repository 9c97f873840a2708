// The four phases of a run: each joins the packet and a protocol, does all
// reporting, and says how it ended.
#ifndef VORPA_PHASES_H
#define VORPA_PHASES_H

#include <csignal>

#include "core/report.h"
#include "core/settings.h"

enum class Result {
    Done,   // all its work done
    Kept,   // went through, but a line of REPLIES was kept: something listed was not sent
    Ended,  // ended early, with "(skipping ...)"
};

// What every phase is given.
struct Context {
    const Settings& settings;
    const RunOptions& options;
    Report& report;
    // Looked at between messages: once it holds a value other than 0 (a
    // signal handler's flag, say), a fetch ends at that point, keeping what
    // it has stored. Null when nothing asks that.
    const volatile std::sig_atomic_t* stop = nullptr;
};

Result postemail(const Context& run);
Result postnews(const Context& run);
Result fetchemail(const Context& run);
Result fetchnews(const Context& run);

#endif
