// The words of each protocol for a reply that is not positive, with the
// server's line made safe to show.
#include <cerrno>

#include "core/text.h"
#include "proto/nntp.h"
#include "phases/shared.h"

namespace {

// No reply: the system's reason, or that the server hung up.
void lost(Report& report, const Reply& reply) {
    if (reply.error == kPeerClosed) {
        report.error("Receive", "connection closed by the server");
        return;
    }
    errno = reply.error;
    report.syserror("Receive");
}

}  // namespace

void pop3complain(Report& report, const Reply& reply, bool quiet) {
    if (reply.status == Reply::Lost) {
        lost(report, reply);
    } else if (reply.status == Reply::Invalid) {
        report.say("POP3 host did not send valid answer\n");
    } else if (!quiet) {
        report.say("POP3 host returned error: %s", safetext(reply.text).c_str());
    }
}

void smtpcomplain(Report& report, const Reply& reply, bool quiet) {
    if (reply.status == Reply::Lost) {
        lost(report, reply);
    } else if (!quiet) {
        report.say("SMTP host returned error: %s", safetext(reply.text).c_str());
    }
}

void nntpcomplain(Report& report, const Reply& reply, bool quiet) {
    if (reply.status == Reply::Lost) {
        lost(report, reply);
    } else if (quiet) {
        return;
    } else if (needslogin(reply)) {
        report.say("NNTP host requires a login (NNTPUSER, NNTPPASS): %s", safetext(reply.text).c_str());
    } else {
        report.say("NNTP host returned error: %s", safetext(reply.text).c_str());
    }
}
