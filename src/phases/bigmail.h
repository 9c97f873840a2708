// Mail larger than the account's MAXSIZE: named and left on the server, or,
// where the source fetches parts and BIGMAIL is not "skip", stored as a
// message of its own: the original header, a multipart/mixed of the text
// parts that fit, and a last part listing those left and where they stay.
// Such a message is recorded as stored and stays on the server.
#ifndef VORPA_PHASES_BIGMAIL_H
#define VORPA_PHASES_BIGMAIL_H

#include <cstdint>
#include <string>
#include <vector>

#include "phases/phases.h"
#include "proto/mailsource.h"
#include "soup/mailplan.h"
#include "soup/soup.h"

class BigMail {
public:
    // maxsize 0: nothing is big. text: the source's parts are fetched.
    BigMail(const Context& run, MailSource& source, const std::string& folder, long maxsize, bool text);

    // Before the plan's limit: the messages it fetches over the size are
    // asked about in one flight; those not taken as text are named and
    // left. False: the dialogue failed.
    bool sort(MailPlan& plan, const MailList& list);
    // After the limit: the text-only ones go last in the plan's fetch.
    void order(MailPlan& plan);

    enum class Took { Stored, Lost, Unwritten };
    // The text-only message at place of the list into incoming, the k-th
    // of count fetched; its Message-ID.
    Took store(const MailList& list, uint32_t place, size_t k, size_t count, IncomingFile& incoming,
               std::string& messageid);
    // The text-only places of the plan's fetch that were stored, in the
    // run's tally.
    void tally(const MailPlan& plan, const std::vector<bool>& stored);

private:
    size_t index(uint32_t place) const;

    const Context& run;
    Report& out;
    MailSource& source;
    const std::string folder;
    const long maxsize;
    const bool text;
    std::vector<uint32_t> texts;        // places taken as text, ascending
    std::vector<Described> described;   // of each
    std::vector<long long> partsleft;   // of each, the bytes of the parts it leaves
};

#endif
