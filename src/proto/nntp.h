// The NNTP client: the replies and their fields, and the dialogues of the
// news phases over one connection, which it owns: the opening with its
// login, the newsgroup list, the flights of GROUP and LISTGROUP, the stream
// of GROUP and ARTICLE, and POST. It prints nothing: it tells its caller
// through NntpEvents as things happen.
#ifndef VORPA_PROTO_NNTP_H
#define VORPA_PROTO_NNTP_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "proto/body.h"
#include "proto/client.h"

// One reply line, judged by its first character: 1xx, 2xx and 3xx
// positive, anything else negative; no line (or an empty one) is lost.
Reply readnntp(Socket& sock);
// The same into reply, whose text keeps its room: for the answers that
// come once per article.
void readnntp(Socket& sock, Reply& reply);

// 400 or 502 as the greeting: no service for us now (too many connections);
// after it, to the login, where it says so.
bool nntpbusy(const Reply& reply, bool greeting);
// 400 or 502 that names the connections: too many of them for the server
// (one for each account logged in at once, say).
bool nntpcrowded(const Reply& reply);

// 480: authentication required.
inline bool needslogin(const Reply& reply) { return reply.is("480"); }

// "441 435 Duplicate" (INN), "441 Duplicate article": the server has an
// article of that Message-ID already.
bool isduplicate(const Reply& reply);

// The articles a GROUP reply offers beyond the stored high mark.
struct GroupRange {
    long count = 0;
    long first = 0;
    long last = 0;
    long estimate = 0;  // the server's count of the whole group
    // False when a number is negative or does not fit a long: no article
    // number is.
    bool valid = true;

    // "211 count first last group": fields that cannot be read are 0.
    GroupRange(const char* reply, long high);
};

// The body of a LISTGROUP answer, up to its ".": the article numbers from
// first to last, ascending, at most max of them (the oldest; the rest are
// read and passed over, as are numbers out of order). False when the
// connection failed.
bool readnumbers(Socket& sock, long first, long last, size_t max, std::vector<long>& numbers);

// The article numbers of a group asked for: a range, or the numbers a
// LISTGROUP answer listed.
struct ArticleNumbers {
    long first = 0;
    long last = -1;
    bool listing = false;
    std::vector<long> listed;

    uint64_t size() const {
        if (listing) return listed.size();
        return last < first ? 0 : static_cast<uint64_t>(last) - static_cast<uint64_t>(first) + 1;
    }
    long at(uint64_t i) const { return listing ? listed[i] : first + static_cast<long>(i); }
    // Keeps count (at least 1) numbers from index from on.
    void keep(uint64_t from, uint64_t count);
};

// What the client tells its caller, at the moment it happens, so that the
// caller's lines keep the order of the dialogue.
class NntpEvents {
public:
    // What was asked: the opening and its login, LIST or NEWGROUPS, a GROUP
    // of the first flight, a LISTGROUP of the second, the GROUP of the
    // stream, an ARTICLE of the stream (its answer or its text), one whose
    // answer is thrown away, POST and its answer, the article's text and
    // the verdict on it, QUIT.
    enum class Item { Opening, Newsgroups, Select, Listing, Overview, Reselect, Article, Discarded, Post, Posted, Signoff };
    enum class Opening { Connect, StartTls, Login, Compress };

    virtual ~NntpEvents() = default;
    // A step of the opening begins on c. Login: the password may go (in
    // plain text only where the settings allow it).
    virtual void opening(Opening, const Connection&) {}
    // The opening is done: the dialogue can begin.
    virtual void ready() {}
    // The server answered the item positively, or refused it; index is its
    // place in its flight (Select, Listing), else 0.
    virtual void done(Item, size_t, const Reply&) {}
    virtual void refused(Item, size_t, const Reply&) {}
    // The item failed on c, and with it the dialogue: failure has the class
    // (a refused login is Login; a password that may not go is Login at
    // Stage::Secret), the stage and the details. A text cut off has
    // Stage::Text.
    virtual void failed(Item, size_t, const Connection&, const Outcome&) {}
};

// LIST when year is 0, else NEWGROUPS since that date and time.
struct NewsDate {
    unsigned year, month, day, hour, min, sec;
};

// How the text of an article went out: the caller writes it, dot-stuffed
// and ended with ".\r\n". SendFailed leaves errno as the send did;
// SourceFailed (the caller's file, worded by the caller) leaves the text
// cut, and the connection is dropped so that the server discards it.
enum class TextSent { Whole, SendFailed, SourceFailed };
using ArticleText = std::function<TextSent(Socket& sock)>;

// What the server said to an article posted.
enum class Verdict { Accepted, Duplicate, Refused };

class NntpClient {
public:
    NntpClient(const Server& server, const std::string& cafile, const std::string& pin, NntpEvents& events);

    // Connects (with TLS from the first byte when so set), reads the
    // greeting, makes STARTTLS when so set, logs in with AUTHINFO USER
    // and PASS when a user is set; where the settings compress the
    // connection to this server, CAPABILITIES and COMPRESS DEFLATE go in
    // one flight, and after 206 the connection is compressed (a refusal
    // goes on without). Otherwise, unless COMPRESS is off, CAPABILITIES
    // goes with select's flight. Next after ready(); End or Quit after
    // failed(Opening).
    Step open(const std::string& secret);
    // What it tells goes to to from here on, until tellhome: the news post
    // borrows the connection the news fetch of its account opened.
    void tell(NntpEvents& to) { events = &to; }
    void tellhome() { events = &home; }

    // LIST or NEWGROUPS: every line of the list goes to sink as readbody
    // hands it. Next also after a refusal; Quit when the connection failed
    // and after a refusal that asks for a login (every later command would
    // meet it too).
    template <class Sink>
    Step newsgroups(const NewsDate& since, Sink&& sink) {
        if (!asknewsgroups(since)) return answer.refused() && !needslogin(answer) ? Step::Next : Step::Quit;
        return ended(Item::Newsgroups, 0, readbody(conn.sock, sink)) == BodyEnd::Whole ? Step::Next : Step::Quit;
    }

    // GROUP of every name in one flight, commands sent ahead of their
    // answers; done or refused for each answer in turn. Quit after
    // failed(Select).
    Step select(const std::vector<std::string>& names);

    // LISTGROUP of each group from first to last in one flight: at most
    // most numbers of each go into numbers. done (once the numbers are
    // read) or refused for each; Quit after failed(Listing). A group with
    // overview is asked GROUP and OVER (XOVER where CAPABILITIES did not
    // list OVER) instead: each overview line, without its line end and cut
    // at 64 KB, goes to overview, then done(Overview) or refused(Overview);
    // refused(Listing) when its GROUP is refused.
    struct Listing {
        std::string name;
        long first;
        long last;
        size_t most;
        std::vector<long>* numbers;
        std::function<void(const char* line, size_t len)> overview = nullptr;
    };
    Step list(const std::vector<Listing>& groups);

    // The stream: for each group in turn its GROUP, unless select is false
    // (the server has it selected already), and an ARTICLE for each of its
    // numbers (at least one), sent ahead within a window and refilled as
    // answers arrive; QUIT goes with the last ARTICLEs, its answer read by
    // signoff or close after theirs.
    // The numbers must stay as they are while the stream runs.
    // skip, where given, is asked as each number's ARTICLE is due (by
    // its group's place in groups): true passes the number over.
    struct Streamed {
        std::string name;
        bool select;
        const ArticleNumbers* numbers;
    };
    using Skip = std::function<bool(size_t group, long number)>;
    void stream(std::vector<Streamed> groups, Skip skip = nullptr);
    // The answer to the GROUP of the stream's next group, after done or
    // refused; lost after failed(Reselect).
    const Reply& reselect();
    // The answer to the stream's next ARTICLE; lost after failed(Article).
    // The text of a positive answer must be read (text) before the next.
    // A number skip passed over has no answer: a refusal, and passed().
    const Reply& article();
    bool passed() const { return passedover; }
    // The text of the article answered last: every line to sink as
    // readbody hands it. Lost after failed(Article); SinkFailed: the rest
    // was not read, and the connection is fit only for closing.
    template <class Sink>
    BodyEnd text(Sink&& sink) {
        return ended(NntpEvents::Item::Article, 0, readbody(conn.sock, sink));
    }
    // The answers to the count ARTICLEs of a group the stream could not
    // select, read and dropped. Quit after failed(Discarded).
    Step discard(uint64_t count);

    // An article goes as askpost(), the verdict on the article before
    // where one is awaited, then sendtext(): its POST goes right behind the
    // text before (RFC 3977 lets a client send it ahead; only the text
    // waits for its 340), and each article costs one round trip. Where the
    // server answers out of order or refuses a POST sent so, it is sent
    // again alone and pipelines() turns false: from then on the verdict
    // comes before the next POST.
    // POST. Quit after failed(Post) of a send.
    Step askpost();
    // The answer to the POST, then the article's text when the server
    // takes it; its verdict is awaited from then on. End after
    // refused(Post), a source that failed and failed(Post) of an answer
    // lost; Quit after failed(Posted) of a send.
    Step sendtext(const ArticleText& text);
    // The verdict on the article sent last: Next with it (after
    // done(Posted) for Accepted, refused(Posted) for the others: an article
    // refused as a duplicate is on the server already); End after
    // failed(Posted).
    Step verdict(Verdict& verdict);
    bool awaiting() const { return awaited; }
    bool pipelines() const { return !onebyone; }
    // QUIT goes right behind the last text, its answer read by signoff
    // after the verdict.
    void quitahead();

    // QUIT; the connection is closed once the server takes it. False after
    // failed(Signoff).
    bool signoff();
    // Ends a failed dialogue: QUIT once unless the connection is broken or
    // quit is false (failed(Signoff) when it is not taken), then the
    // connection is closed.
    void close(bool quit);

    Connection& connection() { return conn; }

private:
    using Item = NntpEvents::Item;

    Outcome login(const std::string& secret);
    bool readoverview(const Listing& group, size_t index);
    Outcome compress();
    Outcome readcaps();
    bool asknewsgroups(const NewsDate& since);
    bool sendahead(Pipeline& pipeline, Item item, size_t index);
    bool readanswer(Item item, size_t index);
    const Reply& next(Item item);
    void cutoff(Item item, size_t index);
    bool nextcommand(std::string& command);
    // Notes how a text ended.
    BodyEnd ended(Item item, size_t index, BodyEnd end);

    NntpEvents& home;
    NntpEvents* events;
    const Wire wire{"NNTP", 119, 563, readnntp, nntpbusy};
    Connection conn;
    Reply answer;  // the last one read: its text keeps its room
    std::optional<Pipeline> pipe;  // the stream's

    // Where the stream's commands have got to.
    std::vector<Streamed> streamed;
    size_t group = 0;
    uint64_t index = 0;  // of the next article in the group's numbers
    bool begun = false;  // the group's GROUP, or its first ARTICLE, went out
    bool quitqueued = false;  // QUIT follows the stream's last ARTICLE
    Skip skip;
    // For each number the stream reached and the caller did not yet:
    // whether it was passed over.
    std::deque<bool> passes;
    bool passedover = false;
    Reply passedreply;
    const char* overcommand = "XOVER";
    bool capsowed = false;  // CAPABILITIES is to go with the first GROUPs

    // Where the post has got to.
    bool awaited = false;   // an article's verdict is still to come
    bool postahead = false;  // a POST went before that verdict
    std::optional<Reply> postanswer;  // to that POST, where it came first
    bool onebyone = false;  // the server takes no POST sent ahead
    bool postquit = false;  // QUIT went behind the last text
};

#endif
