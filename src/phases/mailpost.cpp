// The mail post phase: every mail entry of REPLIES goes to the SMTP server
// through one connection, with the envelope addresses taken from each
// message's header. The SMTP client holds the dialogue; the phase says
// what it tells, and keeps the record of what the server took.
#include <string>

#include "phases/shared.h"
#include "proto/smtp.h"

namespace {

class MailPost : public SmtpEvents {
public:
    explicit MailPost(const Context& run)
        : run(run), out(run.report),
          client(run.account.smtp, run.account.cafile, run.account.tlsfingerprint, run.account.hostname, *this) {
        attend(out, client.connection(), run.options.check);
    }

    Step open();
    Step post(PostedFile& file, long start, long length) {
        posted = &file;
        return client.post({file.file, start, length, withoutbcc()});
    }
    Step settle() { return client.settle(); }
    Step signoff() { return signedoff(out, client.connection(), smtpcomplain) ? Step::Next : Step::End; }
    Result end(Step how) {
        bool passing = client.end(how);
        if (got == Secret::Ended) return Result::Ended;
        out.say("(skipping email post)\n");
        if (got == Secret::Offline) return Result::Offline;
        return passing ? Result::Offline : Result::Ended;
    }

    void step(SmtpStep step, const std::string& detail) override;
    void loggingin(const SaslLogin& login) override { saylogin(out, client.connection(), login, smtpcomplain); }
    bool done(const SmtpMessage& message) override {
        if (!recordsent(out, *posted, message.start, message.length)) return false;
        run.tally.sent++;
        return true;
    }
    void refused(const SmtpMessage&, const SmtpFault& fault) override {
        say(fault);
        posted->refused();
    }
    void failed(const SmtpFault& fault) override { say(fault); }

private:
    void say(const SmtpFault& fault);

    const Context& run;
    Report& out;
    SmtpClient client;
    std::string secret;  // of the login
    Secret got = Secret::Ready;
    // The file whose messages are posted: all its verdicts come before the
    // next file's first message goes.
    PostedFile* posted = nullptr;
};

// The password command runs before the server waits for us.
Step MailPost::open() {
    const Server& smtp = run.account.smtp;
    if (!smtp.user.empty() && (got = loginsecret(run, smtp, "SMTPPASSCMD", secret)) != Secret::Ready)
        return Step::End;
    return client.open(secret);
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
        out.step("+ Connected, sending HELO...\n");
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

void MailPost::say(const SmtpFault& fault) {
    const char* line = nullptr;
    switch (fault.what) {
    case SmtpFault::Dialogue:
        sayfailure(out, client.connection(), smtpcomplain, fault.quiet);
        return;
    case SmtpFault::NoStartTls:
        out.say("SMTP host does not offer STARTTLS\n");
        return;
    case SmtpFault::Login:
        saylogin(out, client.connection(), *fault.login, smtpcomplain);
        tokenrefused(run, *fault.login);
        return;
    case SmtpFault::NoFrom:
        out.say("! No From address specified in message - skipping\n");
        return;
    case SmtpFault::NoTo:
        out.say("! No To address specified in message - skipping\n");
        return;
    case SmtpFault::File:
        out.say("! Error in message file %s\n", posted->path);
        return;
    case SmtpFault::Sender:
        line = "! Posting to SMTP server failed\n";
        break;
    case SmtpFault::Recipient:
        line = "! Recipient refused by SMTP server\n";
        break;
    case SmtpFault::Data:
        line = "! SMTP server won't accept message\n";
        break;
    case SmtpFault::Text:
        line = "! SMTP server did not accept message\n";
        break;
    case SmtpFault::NoneAccepted:
        line = "! SMTP server accepted no recipient - message kept\n";
        break;
    }
    // The server's answer first; a transaction that took no recipient may
    // have had none refused, only deferred.
    if (fault.what != SmtpFault::NoneAccepted || fault.reply.refused()) smtpcomplain(out, fault.reply, false);
    out.say("%s", line);
}

}  // namespace

Result postemail(const Context& run) {
    if (unconfigured(run, run.account.smtp) && !listsfiles(run, MAILKIND)) return Result::Done;
    bool ready = false;
    if (run.account.hostname.empty()) {
        run.report.say("Your hostname not defined\n");
    } else if (run.account.smtp.host.empty()) {
        run.report.say("SMTP hostname not defined\n");
    } else {
        ready = true;
    }
    MailPost mail(run);
    PostDialogue dialogue{
        [&mail] { return mail.open(); },
        [&mail](PostedFile& posted, long start, long length) { return mail.post(posted, start, length); },
        [&mail] { return mail.settle(); },
        "+ No REPLIES file found, not posting any email\n",
        "+ No mail messages to be posted\n",
        [&mail] { return mail.signoff(); },
        [&mail](Step how) { return mail.end(how); }};
    return postphase(run, ready, MAILKIND, dialogue);
}
