// The offline reader's archives: its replies taken into the packet before
// the posts, the fetched files packed for it after the fetches.
#include <string>
#include <vector>

#include "config/config.h"
#include "core/text.h"
#include "phases/phases.h"
#include "soup/archives.h"
#include "soup/soup.h"

namespace {

std::string count(long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What a run killed while packing or taking in left is completed before
// anything else touches the packet.
bool finished(Report& out, const std::string& soupdir) {
    ArchiveFault fault;
    if (finishpacking(soupdir, fault) && finishtakingin(soupdir, fault)) return true;
    out.say("! Cannot complete what a run cut short began in %s: %s: %s\n", tildepath(soupdir).c_str(),
            tildepath(fault.path).c_str(), fault.reason.c_str());
    return false;
}

// The record of the reply archives taken in, beside the default account's
// state files.
std::string takenrecord(const Settings& settings) {
    const std::string& newsgroups = settings.accounts.front().newsgroups;
    size_t slash = newsgroups.rfind('/');
    return (slash == std::string::npos ? "" : newsgroups.substr(0, slash + 1)) + "replies-taken";
}

// A check run names the message files that no reader and no post finds:
// a letter whose REPLIES line was lost, a fetched file whose AREAS line was.
void listunnamed(Report& out, const std::string& soupdir) {
    std::vector<std::string> names;
    if (!unnamedfiles(soupdir, names) || names.empty()) return;
    std::string list;
    for (const std::string& name : names) list += " " + safetext(name);
    out.say("Message files named by neither AREAS nor REPLIES:%s\n", list.c_str());
}

}  // namespace

Result takereplies(const Settings& settings, const RunOptions& options, Report& out) {
    if (options.check) {
        listunnamed(out, settings.soupdir);
        return Result::Done;
    }
    const std::string& soupdir = settings.soupdir;
    if (!finished(out, soupdir)) return Result::Kept;
    const std::string& dir = settings.readerreplies;
    if (dir.empty()) return Result::Done;
    std::vector<std::string> names;
    ArchiveFault fault;
    if (!replyarchives(dir, names, fault)) {
        out.say("! Cannot read READERREPLIES %s: %s\n", tildepath(dir).c_str(), fault.reason.c_str());
        return Result::Kept;
    }
    Result result = Result::Done;
    for (const std::string& name : names) {
        std::string path = tildepath(dir + name);
        TakenIn taken;
        switch (takein(soupdir, dir + name, takenrecord(settings), taken, fault)) {
        case Taking::Taken:
            if (taken.before)
                out.say("Reply archive %s was taken in before: moved to %s\n", path.c_str(),
                        tildepath(taken.moved).c_str());
            else
                out.say("Took in %s from %s\n", count(taken.letters, "letter", "letters").c_str(), path.c_str());
            break;
        case Taking::Refused:
            out.say("! Reply archive %s left where it is: %s\n", path.c_str(), fault.reason.c_str());
            result = Result::Kept;
            break;
        case Taking::Failed:
            out.say("! Cannot take in %s: %s: %s\n", path.c_str(), tildepath(fault.path).c_str(),
                    fault.reason.c_str());
            result = Result::Kept;
            break;
        }
    }
    return result;
}

Result packforreader(const Settings& settings, const RunOptions& options, Report& out) {
    if (options.check || settings.readerpackets.empty()) return Result::Done;
    Packed packed;
    ArchiveFault fault;
    switch (pack(settings.soupdir, settings.readerpackets, settings.readerformat, packed, fault)) {
    case Packing::Nothing:
        return Result::Done;
    case Packing::Packed:
        out.say("Packed %s and %s into %s\n", count(packed.mails, "mail", "mails").c_str(),
                count(packed.articles, "article", "articles").c_str(), tildepath(packed.archive).c_str());
        return Result::Done;
    case Packing::Failed:
        break;
    }
    out.say("! Cannot pack the fetched files into %s: %s: %s - they stay in the packet\n",
            tildepath(settings.readerpackets).c_str(), tildepath(fault.path).c_str(), fault.reason.c_str());
    return Result::Kept;
}
