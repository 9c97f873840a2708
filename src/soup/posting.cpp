// The walk over REPLIES and the outgoing message files that both posting
// phases share; the phases supply the dialogue with their server.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "config/config.h"
#include "driver/driver.h"
#include "net/socket.h"
#include "soup/soup.h"

namespace {

// Whether AREAS names the file: a fetch takes the first free name, so a
// file sent while REPLIES was kept may have been replaced by fetched mail or
// news, which is the reader's and must not go out (nor be removed).
bool fetchedfile(const char* prefix) {
    File areas(fopen((std::string(soupdir) + "AREAS").c_str(), "rb"));
    if (!areas) return false;
    size_t len = std::strlen(prefix);
    std::string line;
    int c;
    do {
        c = getc(areas.get());
        if (c != EOF && c != '\n') {
            if (line.size() <= len) line.push_back(static_cast<char>(c));
            continue;
        }
        if (line.size() > len && line.compare(0, len, prefix) == 0 && line[len] == '\t') return true;
        line.clear();
    } while (c != EOF);
    return false;
}

// Every message of one file; the file is removed when all were sent.
Step postfile(const ReplyEntry& entry, const PostDialogue& dialogue) {
    char path[4096];
    int n = snprintf(path, sizeof path, "%s%s.MSG", soupdir, entry.prefix);
    if (n < 0 || n >= static_cast<int>(sizeof path)) {
        logprintf("! Cannot open message file %s%s.MSG\n", soupdir, entry.prefix);
        killreplies = 0;
        return Step::Next;
    }
    if (fetchedfile(entry.prefix)) {
        logprintf("! Message file %s is listed in AREAS - skipping\n", path);
        killreplies = 0;
        return Step::Next;
    }
    File file(fopen(path, "rb"));
    if (!file) {
        logprintf("! Cannot open message file %s\n", path);
        killreplies = 0;
        return Step::Next;
    }

    struct stat st;
    bool sized = fstat(fileno(file.get()), &st) == 0;
    bool failed = false;
    long offset = 0;
    for (;;) {
        long length = fseek(file.get(), offset, SEEK_SET) == 0 ? nextmessage(file.get(), entry.format) : -1;
        if (length == 0) break;
        long start = length > 0 && sized ? ftell(file.get()) : -1;
        if (start < 0) {
            logprintf("! Error in message file %s\n", path);
            failed = true;
            break;
        }
        // A message that the file does not hold whole would go out cut.
        if (length > st.st_size - start) {
            logprintf("! Message in %s ends before its length - not sent\n", path);
            failed = true;
            break;
        }
        offset = start + length;
        Step step = dialogue.post(file.get(), start, length, path, failed);
        if (step != Step::Next) return step;
    }
    if (dialogue.settle) {
        Step step = dialogue.settle();
        if (step != Step::Next) return step;
    }
    file.reset();

    if (failed) {
        killreplies = 0;
    } else if (!testmode && remove(path) != 0) {
        // The vote stays: keeping REPLIES would have the next run send
        // these messages a second time.
        logprintf("! Cannot remove message file %s\n", path);
    }
    return Step::Next;
}

Step postreplies(Session& session, FILE* replies, int mine, int otherruns, const PostDialogue& dialogue) {
    bool connected = false;
    char line[256];
    while (fgets(line, sizeof line, replies)) {
        ReplyEntry entry;
        if (judgereply(line, mine, otherruns, entry) != ReplyAction::Post) continue;
        if (!connected) {
            Step step = dialogue.open();
            if (step != Step::Next) return step;
            connected = true;
        }
        Step step = postfile(entry, dialogue);
        if (step != Step::Next) return step;
    }
    if (ferror(replies)) {
        logprintf("! Error in REPLIES file\n");
        killreplies = 0;
    }
    if (connected) return session.signoff();
    if (verbose) logprintf("%s", dialogue.nothingposted);
    return Step::Next;
}

}  // namespace

int postphase(Session& session, bool ready, int mine, int otherruns, const PostDialogue& dialogue) {
    Step step = Step::End;
    if (ready) {
        std::string path = std::string(soupdir) + "REPLIES";
        File replies(fopen(path.c_str(), "rb"));
        if (!replies) {
            if (verbose) logprintf("%s", dialogue.noreplies);
            return 1;
        }
        step = postreplies(session, replies.get(), mine, otherruns, dialogue);
    }

    if (step == Step::Next) {
        if (killreplies == -1) killreplies = 1;
        return 1;
    }
    // Something listed in REPLIES was not sent.
    killreplies = 0;
    return session.end(step);
}
