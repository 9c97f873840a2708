// OAuth2 for the logins of an account: the grants that authorize Vorpa
// once (the device grant of RFC 8628, the authorization code grant with
// PKCE and a loopback redirect of RFC 7636 and 8252) and the refresh grant
// that gives each run its access token. Talks to the provider's endpoints
// over HTTPS; prints nothing.
#ifndef VORPA_OAUTH_OAUTH_H
#define VORPA_OAUTH_OAUTH_H

#include <memory>
#include <mutex>
#include <string>

#include "core/settings.h"
#include "soup/tokens.h"

// libcurl, which the requests to the provider go through: loaded at the
// first request and kept while this lives. Most runs make none, and the
// library with those it needs would double the memory of every run.
class OAuthHttp {
public:
    OAuthHttp();
    ~OAuthHttp();
    OAuthHttp(const OAuthHttp&) = delete;
    OAuthHttp& operator=(const OAuthHttp&) = delete;
    struct Calls;
    // The library's functions; null when it cannot be loaded, with why.
    const Calls* calls(std::string& why);

private:
    // The fetches opened ahead ask from threads of their own.
    std::mutex lock;
    std::unique_ptr<Calls> loaded;
};

// An account's provider: its preset, with the settings over it.
struct OAuthProvider {
    std::string authurl, deviceurl, tokenurl, scope;
    bool device = false;  // the device grant, else the loopback redirect
    // What the authorization address adds for this provider.
    std::string extra;
    // The refresh grant names the scope again (Microsoft asks for it).
    bool scopedrefresh = false;
};
OAuthProvider oauthprovider(const Account& account);

// How an exchange with the provider ended.
struct OAuthOutcome {
    enum End {
        Ok,
        Unreachable,  // the endpoint could not be reached, or failed for now
        Withdrawn,    // invalid_grant: the grant was withdrawn, expired or is wrong
        Denied,       // the user said no
        Expired,      // the user did not answer in time
        Refused,      // any other error the provider gave
        Failed,       // no answer that fits, a certificate refused, or a failure of ours
    };
    End end = Ok;
    // Anything but Ok: the provider's error code and description, or the
    // reason of the failure. Never a token.
    std::string why;
};

// Trades the refresh token for a new access token and its expiry; a new
// refresh token in the answer takes the old one's place.
OAuthOutcome oauthrefresh(OAuthHttp& http, const Account& account, OAuthTokens& tokens);

// What an authorization shows the user.
class OAuthPrompt {
public:
    virtual ~OAuthPrompt() = default;
    // Device grant: the address to open and the code to enter there.
    virtual void device(const std::string& address, const std::string& code) = 0;
    // Loopback: the address to open in a browser, which comes back to us.
    virtual void browse(const std::string& address) = 0;
};

// Runs the account's flow to its end: the tokens it gives, the refresh
// token among them. A device code is polled for at the provider's
// interval until it expires; the browser's answer is awaited for at most
// waitseconds.
OAuthOutcome oauthauthorize(OAuthHttp& http, const Account& account, OAuthPrompt& prompt, OAuthTokens& tokens,
                            int waitseconds = 600);

#endif
