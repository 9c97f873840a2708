// The mail post phase: every mail entry of REPLIES goes to the SMTP server
// of the account that sends as its From, one connection per account, with
// the envelope addresses taken from each message's header. The SMTP client
// holds the dialogue; the phase says what it tells, and keeps the record of
// what the server took.
#include <fnmatch.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "phases/shared.h"
#include "proto/smtp.h"

namespace {

class MailPost final : public SmtpEvents, public Opener {
public:
    explicit MailPost(const Context& run)
        : run(run), out(run.report),
          client(run.account.smtp, run.account.cafile, run.account.tlsfingerprint, run.account.hostname, *this) {
        attend(out, client.connection(), run.options.check);
    }

    // At the account's first message: the connection opened ahead (its
    // context is the opening's), its lines said now; else opened now.
    Step begin() {
        if (run.opening) run.openings->take(*run.opening);
        else openhere(run, *this);
        return opened;
    }
    bool prepare() override;
    bool open() override {
        endedby = Outcome();
        opened = client.open(secret);
        return opened == Step::Next;
    }
    Connection& connection() override { return client.connection(); }
    Outcome& ended() override { return endedby; }
    void drop() override { client.end(opened == Step::Next ? Step::Quit : opened); }
    Step post(PostedFile& file, const OutgoingMessage& message) {
        std::string head;
        if (!addedheaders(run, file, message, accountfrom(run.account), head)) return Step::Quit;
        posted = &file;
        if (waiting.empty() || waiting.back().file != &file) waiting.push_back({&file, 0});
        waiting.back().left++;
        return client.post({message, withoutbcc(), head});
    }
    Step settle() { return client.settle(); }
    void quitahead() { client.quitahead(); }
    // QUIT goes with the last message's commands.
    Step signoff() {
        client.quitahead();
        Step step = client.settle();
        if (step != Step::Next) return step;
        Outcome answer = signedoff(out, client.connection(), smtpcomplain);
        if (answer.done()) return Step::Next;
        endedby = answer;
        return Step::End;
    }
    Result end(Step how) {
        // The failure that ended the dialogue, not a QUIT refused after it.
        bool passing = endedby.passing();
        client.end(how);
        if (got == Secret::Ended) return Result::Ended;
        out.say("(skipping email post)\n");
        if (got == Secret::Offline) return Result::Offline;
        return passing ? Result::Offline : Result::Ended;
    }

    void step(SmtpStep step, const std::string& detail) override;
    void loggingin(const SaslLogin& login) override { saylogin(out, client.connection(), login, smtpcomplain); }
    bool done(const SmtpMessage& message) override {
        // Not recorded, the message has no verdict: its file stays.
        if (!recordsent(out, owner(message), message.text)) return false;
        run.tally.sent++;
        return true;
    }
    void refused(const SmtpMessage& message, const SmtpFault& fault) override {
        endedby = fault.cause;
        PostedFile& file = owner(message);
        const std::vector<std::string>& to = message.text.envelope.to;
        say(fault, lettername(file, message.text, to.empty() ? "" : to.front()) + " ");
        if (!giveup(file, message.text, fault)) file.refused(message.text.start);
    }
    void failed(const SmtpFault& fault) override {
        endedby = fault.cause;
        say(fault);
    }

private:
    // name: how a line about the message names it, with a space.
    void say(const SmtpFault& fault, const std::string& name = "");
    bool giveup(PostedFile& file, const OutgoingMessage& message, const SmtpFault& fault);

    const Context& run;
    Report& out;
    SmtpClient client;
    std::string secret;  // of the login
    Secret got = Secret::Ready;
    Outcome endedby;           // the failure told last, which ended the dialogue
    Step opened = Step::End;  // how the opening went
    // The file of the message posted last.
    PostedFile* posted = nullptr;
    // The files of the messages awaiting their verdict, oldest first, and
    // how many of each; the verdicts come in the order of the messages.
    struct Waiting {
        PostedFile* file;
        size_t left;
    };
    std::deque<Waiting> waiting;

    // The file of the message whose verdict came.
    PostedFile& owner(const SmtpMessage& message) {
        auto it = waiting.begin();
        while (it != waiting.end() && it->file->file != message.text.file) ++it;
        if (it == waiting.end()) return *posted;
        PostedFile& file = *it->file;
        if (--it->left == 0) waiting.erase(it);
        return file;
    }
};

// The password command runs before the server waits for us.
bool MailPost::prepare() {
    // Where the run routes, each account is asked for this at its first
    // message only.
    if (run.account.hostname.empty()) {
        out.say("Your hostname not defined\n");
        return false;
    }
    const Server& smtp = run.account.smtp;
    return smtp.user.empty() || (got = loginsecret(run, smtp, "SMTPPASSCMD", secret)) == Secret::Ready;
}

void MailPost::step(SmtpStep step, const std::string& detail) {
    switch (step) {
    case SmtpStep::Connecting:
        announce(out, client.connection(),
                 phaseline(run, run.options.check ? "Checking email post to %s...\n" : "Posting mail to %s...\n",
                           "mail", false)
                     .c_str());
        return;
    case SmtpStep::Hello:
        out.step("+ Connected, sending EHLO...\n");
        return;
    case SmtpStep::Helo:
        out.step("+ EHLO refused, sending HELO...\n");
        return;
    case SmtpStep::StartTls:
        out.step("+ Starting TLS...\n");
        return;
    case SmtpStep::MailFrom:
        out.say("Mailing from %s\n", detail.c_str());
        return;
    case SmtpStep::RcptTo:
        out.say("Mailing to %s\n", detail.c_str());
        return;
    case SmtpStep::WithData:
        out.say("SMTP host does not know BDAT: posting again with DATA\n");
        return;
    }
}

void MailPost::say(const SmtpFault& fault, const std::string& name) {
    const char* line = nullptr;
    switch (fault.what) {
    case SmtpFault::Dialogue:
        sayfailure(out, client.connection(), fault.cause, smtpcomplain, fault.quiet);
        return;
    case SmtpFault::NoStartTls:
        out.say("SMTP host does not offer STARTTLS\n");
        return;
    case SmtpFault::Login:
        saylogin(out, client.connection(), *fault.login, smtpcomplain);
        tokenrefused(run, *fault.login);
        return;
    case SmtpFault::NoFrom:
        // A From: would have been added from the account's FROM.
        out.say("! %sNo From address specified in message - skipping%s\n", name.c_str(),
                run.account.addheaders ? " (set FROM in the configuration)" : "");
        return;
    case SmtpFault::NoTo:
        out.say("! %sNo To address specified in message - skipping\n", name.c_str());
        return;
    case SmtpFault::File:
        out.say("! Error in message file %s\n", posted->path.c_str());
        return;
    case SmtpFault::Sender:
        line = "Posting to SMTP server failed\n";
        break;
    case SmtpFault::Recipient:
        line = "Recipient refused by SMTP server\n";
        break;
    case SmtpFault::Data:
        line = "SMTP server won't accept message\n";
        break;
    case SmtpFault::Text:
        line = "SMTP server did not accept message\n";
        break;
    case SmtpFault::NoneAccepted:
        line = "SMTP server accepted no recipient - message kept\n";
        break;
    }
    // The server's answer first; a transaction that took no recipient may
    // have had none refused, only deferred.
    const Reply& reply = fault.cause.reply;
    if (fault.what != SmtpFault::NoneAccepted || reply.refused()) smtpcomplain(out, reply, false);
    out.say("! %s%s", name.c_str(), line);
}

// A letter the server refused for good, or for now through more than
// KEEPTRYING days, leaves the packet for refused/, and a notice tells the
// user where they read; false when it stays for the next run.
bool MailPost::giveup(PostedFile& file, const OutgoingMessage& message, const SmtpFault& fault) {
    if (run.options.test || fault.refusals.empty()) return false;
    long days = 0;
    if (!fault.permanent) {
        long since = file.deferredsince(message);
        long keep = run.account.keeptrying;
        if (!recorded(out, file, since >= 0)) return false;
        days = (std::time(nullptr) - since) / 86400;
        if (keep == 0 || days < keep) return false;
    }
    return givenup(run, file, message, {run.account.smtp.host, fault.refusals, message.envelope.to, "", days});
}

// Whether the account sends as address: one of its FROM patterns matches
// it, with or without the "+detail" of its local part.
bool sendsas(const Account& account, const std::string& address) {
    std::string plain = address;
    size_t at = plain.rfind('@');
    size_t plus = plain.find('+');
    if (at != std::string::npos && plus < at) plain.erase(plus, at - plus);
    for (const std::string& pattern : account.from)
        if (fnmatch(pattern.c_str(), plain.c_str(), FNM_CASEFOLD) == 0 ||
            fnmatch(pattern.c_str(), address.c_str(), FNM_CASEFOLD) == 0)
            return true;
    return false;
}

// The account of the message's sender among those posting: the first
// whose FROM matches, else the default one.
int routemail(const Settings& settings, const std::vector<Context>& accounts, PostedFile& posted,
              const OutgoingMessage& message, std::string& why) {
    const std::string& from = message.envelope.from;
    // The client says that the sender is missing.
    if (from.empty()) return 0;
    const Account* by = nullptr;
    int i = routeto(settings, accounts, [&from](const Account& a) { return sendsas(a, from); }, by);
    if (i >= 0) return i;
    if (by->smtp.host.empty())
        why = "! " + lettername(posted, message, "") + " No account sends as " + from + " - message kept\n";
    else
        why = "! " + lettername(posted, message, "") + " Mail from " + from + " goes by account " + by->name +
              ", not in this run - message kept\n";
    return -1;
}

}  // namespace

namespace {

// The mail post's dialogues: an SMTP client for each account that sends,
// and mail routed by its From.
class MailDialogue final : public PostDialogue {
public:
    MailDialogue(std::vector<MailPost*> mail, PostRoute routing) : mail(std::move(mail)), routing(std::move(routing)) {}
    size_t accounts() const override { return mail.size(); }
    const PostRoute& route() const override { return routing; }
    Step open(size_t i) override { return mail[i]->begin(); }
    Step post(size_t i, PostedFile& posted, const OutgoingMessage& message) override {
        return mail[i]->post(posted, message);
    }
    Step settle(size_t i) override { return mail[i]->settle(); }
    const char* noreplies() const override { return "+ No REPLIES file found, not posting any email\n"; }
    const char* nothingposted() const override { return "+ No mail messages to be posted\n"; }
    Step signoff(size_t i) override { return mail[i]->signoff(); }
    void quitahead(size_t i) override { mail[i]->quitahead(); }
    Result end(size_t i, Step how) override { return mail[i]->end(how); }

private:
    std::vector<MailPost*> mail;
    PostRoute routing;
};

}  // namespace

Result postemail(const Context& run) {
    std::vector<Context> accounts = postaccounts(run, &Account::smtp);
    const Account& first = accounts.front().account;
    if (unconfigured(run, first.smtp) && !listsfiles(run, MAILKIND)) return Result::Done;
    bool ready = false;
    if (!run.accounts && first.hostname.empty()) {
        run.report.say("Your hostname not defined\n");
    } else if (first.smtp.host.empty()) {
        run.report.say("SMTP hostname not defined\n");
    } else {
        ready = true;
    }
    // Each account's dialogue: the one opened ahead, else its own.
    std::vector<std::unique_ptr<MailPost>> own;
    std::vector<MailPost*> mail;
    for (const Context& account : accounts) {
        Opening* ahead = run.openings ? run.openings->find(account.account, Service::Smtp) : nullptr;
        if (!ahead) own.push_back(std::make_unique<MailPost>(account));
        mail.push_back(ahead ? static_cast<MailPost*>(ahead->opener.get()) : own.back().get());
    }
    PostRoute route;
    if (run.accounts)
        route = [&run, &accounts](PostedFile& posted, const OutgoingMessage& message, std::string& why) {
            return routemail(run.settings, accounts, posted, message, why);
        };
    MailDialogue dialogue(std::move(mail), std::move(route));
    return postphase(run, ready, MAILKIND, dialogue);
}

// Every account a message goes by (a check run: every one) opens at once,
// its lines kept until its first message.
void openmailpostahead(const Context& run) {
    std::vector<Context> accounts = postaccounts(run, &Account::smtp);
    const Account& first = accounts.front().account;
    // The phase says what is missing, and opens nothing.
    if (first.smtp.host.empty() || (!run.accounts && first.hostname.empty())) return;
    std::vector<size_t> order;
    if (run.options.check) {
        for (size_t i = 0; i < accounts.size(); i++) order.push_back(i);
    } else {
        PostRoute route;
        if (run.accounts)
            route = [&run, &accounts](PostedFile& posted, const OutgoingMessage& message, std::string& why) {
                return routemail(run.settings, accounts, posted, message, why);
            };
        order = postplan(run, MAILKIND, route);
    }
    for (size_t i : order)
        run.openings->start(accounts[i], Service::Smtp,
                            [](const Context& own) { return std::make_unique<MailPost>(own); });
}
