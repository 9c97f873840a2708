// What a run is told: the settings of the configuration file and the
// choices of the command line. Filled once at start-up and passed down as
// values.
#ifndef VORPA_CORE_SETTINGS_H
#define VORPA_CORE_SETTINGS_H

#include <memory>
#include <string>
#include <vector>

class ScoreFile;

// TLS mode of a server: plain text, STARTTLS after the greeting, or TLS
// from the first byte.
enum TlsMode { TLSOFF = 0, TLSSTART = 1, TLSON = 2 };

// How a login is made: the protocol's own way (Auto: POP3 USER and PASS,
// SMTP the best of PLAIN and LOGIN offered; User: POP3 USER and PASS), or
// one SASL mechanism.
enum class AuthMode { Auto, User, Plain, Login, XOAuth2, OAuthBearer };

// Longest file name a setting or option may hold: what the system opens.
constexpr size_t kPathMax = 4095;

// Which protocol a server speaks: the rules of one protocol (POP3's
// plain-text password with POPTLS off, its USER login) go by it.
enum class Protocol { Pop3, Smtp, Nntp, Imap };

// A SOCKS5 proxy that every connection of an account goes through.
struct Proxy {
    std::string host;  // empty: none; a name, an address or a bare IPv6 literal
    unsigned short port = 1080;
    // socks5h: the proxy resolves the server's name (so that .onion hosts
    // work and no lookup leaves this machine); socks5: this side does.
    bool remotenames = true;
    // The RFC 1929 login; none without a user.
    std::string user;
    std::string pass;

    bool set() const { return !host.empty(); }
};

struct Server {
    explicit Server(Protocol protocol) : protocol(protocol) {}

    Protocol protocol;
    std::string host;  // host, host:port, [IPv6]:port or a bare IPv6 literal
    TlsMode tls = TLSOFF;
    // The TLS mode was written out: it holds on any port. Unwritten, the
    // protocol's port for TLS from the first byte means TLS on.
    bool tlswritten = false;
    // The TLS mode "off" written out for POP3 or IMAP: its password may then go
    // unencrypted, as it did before the other servers' rule applied to it.
    bool plainallowed = false;
    AuthMode auth = AuthMode::Auto;
    std::string user;
    std::string pass;
    // A command whose first line of output is the password (or token), in
    // place of pass.
    std::string passcmd;

    // COMPRESS: the connection is compressed where the server offers it.
    bool compress = true;
    // The account's proxy, copied here for the connection.
    Proxy proxy;
};

// Where a setting in force was read: its keyword, the file (an index into
// Settings::files) and the line.
struct Origin {
    const char* key;
    size_t file;
    long line;
};

// One account: a mail source, an SMTP server and an NNTP server with their
// options, and the files that hold its state.
struct Account {
    std::string name = "default";
    std::string hostname;  // this machine's name, for the SMTP greeting
    // PEM bundle the servers' certificates are checked against; the
    // system's store when empty.
    std::string cafile;
    // "sha256:AB:CD:..." of the one certificate its servers may show,
    // whoever issued it, in place of the checks against cafile.
    std::string tlsfingerprint;
    Server pop{Protocol::Pop3};
    Server smtp{Protocol::Smtp};
    Server nntp{Protocol::Nntp};
    Server imap{Protocol::Imap};
    // The newsgroups state file; the mail source's record lies beside it.
    std::string newsgroups = "newsrc";
    // POPKEEP on: messages stay on the server and only those whose UIDL id
    // is not recorded yet are fetched; POPKEEPDAYS: those fetched at least
    // that many days ago are deleted (0: never). POPMAX: at most that many
    // messages are fetched in one run (0: no bound).
    bool popkeep = false;
    long popkeepdays = 0;
    long popmax = 0;
    // IMAP: the folders fetched, each into its own file (UTF-8, "/"
    // between levels; none: INBOX). Mail stays there unless imapdelete;
    // imapseen: stored messages get \Seen; imapkeepdays: those stored at
    // least that many days ago are deleted (0: never); a folder's first
    // fetch takes at most its newest imapfirst; one run fetches at most
    // imapmax (0: no bound).
    std::vector<std::string> imapfolders;
    bool imapseen = false;
    bool imapdelete = false;
    long imapkeepdays = 0;
    long imapfirst = 0;
    long imapmax = 0;
    // A message larger than maxsize bytes (0: no bound) is left on the
    // server and named, or where the source has parts and bigmail is not
    // "skip", stored as its header and the text parts that fit.
    long maxsize = 0;
    std::string bigmail;  // "text", "skip"; empty: text
    // A group's first fetch takes at most its newest newsfirst articles;
    // one run asks for at most newsmax article numbers of a group. 0: no
    // bound.
    long newsfirst = 0;
    long newsmax = 0;
    // SCOREFILE: the rules read from it at start-up (null: none); only
    // articles that score scoremin or more are fetched.
    std::string scorefile;
    std::shared_ptr<const ScoreFile> scores;
    long scoremin = 0;
    // CROSSPOSTS: "each" fetches an article in every group it went to;
    // else (once) a run stores it in the first only.
    std::string crossposts = "once";
    // Days a letter kept by temporary refusals is tried before it is given
    // up like a refused one; 0: never.
    long keeptrying = 5;
    // Days a server may stay unreachable before a run says so and exits
    // 2; 0: never.
    long quietdays = 2;
    // PROXY as written, read into proxy; PROXYPASSCMD: a command whose
    // first line is the proxy's password.
    std::string proxyurl;
    Proxy proxy;
    std::string proxypasscmd;
    // OAuth2: the provider whose endpoints, scope and flow are the
    // defaults (empty: no OAuth2, the logins take passwords), the
    // application registered with it, and what overrides the preset.
    std::string oauth2;  // "google", "microsoft" or "custom"
    std::string oauth2clientid;
    std::string oauth2clientsecret;
    std::string oauth2authurl;
    std::string oauth2deviceurl;
    std::string oauth2tokenurl;
    std::string oauth2scope;
    std::string oauth2flow;  // "device" or "loopback"; empty: the preset's
    // Routing: the sender addresses this account sends, as shell patterns
    // ("*@example.org"), compared without regard to case.
    std::vector<std::string> from;
    // The name in a From: added to a letter that has none.
    std::string realname;
    // Whether a letter or article gets the From:, Date: and Message-ID: it
    // lacks.
    bool addheaders = true;
    // The settings read for this account, each keyword once.
    std::vector<Origin> origins;
};

// The run's settings: the accounts, the default first, and what belongs to
// the run as a whole.
struct Settings {
    std::vector<Account> accounts{Account()};
    std::string soupdir;  // ends in "/" once read
    std::string logfile;
    // The offline reader's download folder: after the fetches the packet's
    // fetched files go into an archive there. Its upload folder: the reply
    // archives there are taken into the packet before the posts. Both end
    // in "/" once read; empty: the reader works on the packet directory.
    std::string readerpackets;
    std::string readerreplies;
    std::string readerformat = "zip";  // of the archives packed: "zip" or "tgz"
    // The configuration files read, the top one first, and where SOUPDIR,
    // LOGFILE and the reader's settings were set.
    std::vector<std::string> files;
    std::vector<Origin> origins;
};

// What the command line asks of this run.
struct RunOptions {
    bool fetchmail = false;
    bool postmail = false;
    bool fetchnews = false;
    bool postnews = false;
    bool test = false;  // delete nothing, keep the state file
    // Connect and log in, say what a run would do, then quit: nothing is
    // sent, fetched, deleted or written but the log. Implies test.
    bool check = false;
    bool verbose = false;
    // --settings: show the settings in force and where each was set, run
    // nothing.
    bool showsettings = false;
    // /account=: the run is for these accounts only (none named: all).
    std::vector<std::string> accounts;
    // /list=: the newsgroup list into listfile, only the groups created
    // since the date when listyear is not 0.
    bool list = false;
    std::string listfile;
    // vorpa authorize [ACCOUNT]: the OAuth2 flow of the accounts named (of
    // every OAuth2 account when none is), nothing else.
    bool authorize = false;
    unsigned listyear = 0, listmonth = 0, listday = 0, listhour = 0, listmin = 0, listsec = 0;
};

#endif
