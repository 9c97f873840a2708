#include "oauth/oauth.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "core/text.h"
#include "oauth/http.h"

namespace {

const char microsoftbase[] = "https://login.microsoftonline.com/common/oauth2/v2.0/";

long long now() { return static_cast<long long>(std::time(nullptr)); }

std::string text(const nlohmann::json& body, const char* key) {
    if (!body.is_object()) return "";
    auto it = body.find(key);
    return it != body.end() && it->is_string() ? it->get<std::string>() : "";
}

long long number(const nlohmann::json& body, const char* key, long long otherwise) {
    if (!body.is_object()) return otherwise;
    auto it = body.find(key);
    if (it == body.end()) return otherwise;
    if (it->is_number_integer()) return it->get<long long>();
    // Some providers send numbers as strings.
    if (it->is_string()) {
        std::string s = it->get<std::string>();
        char* end = nullptr;
        long long n = std::strtoll(s.c_str(), &end, 10);
        if (!s.empty() && *end == '\0') return n;
    }
    return otherwise;
}

// The outcome of an answer that is not a success: the provider's error,
// or what kept it from answering.
OAuthOutcome failure(const HttpAnswer& answer) {
    OAuthOutcome out;
    if (!answer.reached) return {answer.passing ? OAuthOutcome::Unreachable : OAuthOutcome::Failed, answer.failure};
    std::string error = text(answer.body, "error");
    std::string description = text(answer.body, "error_description");
    out.why = error.empty() ? "HTTP status " + std::to_string(answer.status) : error;
    if (!description.empty()) out.why += ": " + description;
    // The provider's words go to the terminal.
    out.why = safetext(out.why.substr(0, out.why.find_first_of("\r\n")));
    // A server error passes by itself, as the network's do, whatever it
    // says (temporarily_unavailable, server_error).
    if (answer.status >= 500) out.end = OAuthOutcome::Unreachable;
    else if (error == "invalid_grant") out.end = OAuthOutcome::Withdrawn;
    else if (error == "access_denied") out.end = OAuthOutcome::Denied;
    else if (error == "expired_token") out.end = OAuthOutcome::Expired;
    else if (error.empty()) out.end = OAuthOutcome::Failed;
    else out.end = OAuthOutcome::Refused;
    return out;
}

// A token goes into a file of lines and into a login command: a line end
// or another control character in it would break either.
bool controlfree(const std::string& token) {
    return std::none_of(token.begin(), token.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// The tokens of a successful answer, taken only when all of them are fit.
OAuthOutcome tokenanswer(const HttpAnswer& answer, OAuthTokens& tokens) {
    if (!answer.reached || answer.status != 200) return failure(answer);
    std::string access = text(answer.body, "access_token"), refresh = text(answer.body, "refresh_token");
    if (access.empty()) return {OAuthOutcome::Failed, "the answer holds no access token"};
    if (!controlfree(access) || !controlfree(refresh))
        return {OAuthOutcome::Failed, "the answer holds a token with a control character"};
    tokens.access = access;
    tokens.expires = now() + number(answer.body, "expires_in", 3600);
    if (!refresh.empty()) tokens.refresh = refresh;
    return {};
}

// The client's part of every token request.
Form client(const Account& account, Form form) {
    form.emplace_back("client_id", account.oauth2clientid);
    form.emplace_back("client_secret", account.oauth2clientsecret);
    return form;
}

std::string base64url(const unsigned char* data, size_t len) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    for (size_t i = 0; i < len; i += 3) {
        unsigned v = data[i] << 16 | (i + 1 < len ? data[i + 1] << 8 : 0) | (i + 2 < len ? data[i + 2] : 0);
        out += digits[v >> 18 & 63];
        out += digits[v >> 12 & 63];
        if (i + 1 < len) out += digits[v >> 6 & 63];
        if (i + 2 < len) out += digits[v & 63];
    }
    return out;
}

bool randomtext(std::string& out) {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    out = base64url(bytes, sizeof bytes);
    return true;
}

OAuthOutcome devicegrant(OAuthHttp& http, const Account& account, const OAuthProvider& provider,
                         OAuthPrompt& prompt, OAuthTokens& tokens) {
    if (provider.deviceurl.empty()) return {OAuthOutcome::Failed, "OAUTH2DEVICEURL is not set"};
    HttpAnswer start =
        postform(http, provider.deviceurl, client(account, {{"scope", provider.scope}}), account.cafile, account.proxy);
    std::string code = text(start.body, "device_code"), user = text(start.body, "user_code");
    // Google names it verification_url.
    std::string address = text(start.body, "verification_uri");
    if (address.empty()) address = text(start.body, "verification_url");
    if (!start.reached || start.status != 200) return failure(start);
    if (code.empty() || user.empty() || address.empty())
        return {OAuthOutcome::Failed, "the device authorization answer lacks its codes"};
    prompt.device(address, user);
    long long interval = number(start.body, "interval", 5);
    long long end = now() + number(start.body, "expires_in", 900);
    for (;;) {
        // At least a second, as no provider wants to be asked faster; never
        // past the code's end.
        interval = std::max(interval, 1LL);
        std::this_thread::sleep_for(std::chrono::seconds(std::min(interval, std::max(end - now(), 0LL))));
        if (now() >= end) return {OAuthOutcome::Expired, "expired_token"};
        HttpAnswer poll = postform(
            http, provider.tokenurl,
            client(account, {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"}, {"device_code", code}}),
            account.cafile, account.proxy);
        std::string error = text(poll.body, "error");
        if (error == "authorization_pending") continue;
        if (error == "slow_down") {
            interval = number(poll.body, "interval", interval + 5);
            continue;
        }
        return tokenanswer(poll, tokens);
    }
}

// The redirect's listener on 127.0.0.1, closed on every way out.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unsigned short port = 0;
    ~Listener() {
        if (fd >= 0) close(fd);
    }
    bool listening() {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof at;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 4) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) != 0)
            return false;
        port = ntohs(at.sin_port);
        return true;
    }
};

struct Connection {
    int fd;
    ~Connection() { close(fd); }
};

// The request line of what the browser sent, read within seconds; empty
// when none came.
std::string requestline(int fd, int seconds) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (got.find("\r\n\r\n") == std::string::npos && got.size() < 16384) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[2048];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got.substr(0, got.find("\r\n"));
}

void answerbrowser(int fd, const char* status, const std::string& words) {
    std::string page = "<html><head><title>Vorpa</title></head><body><p>" + words + "</p></body></html>\n";
    std::string reply = std::string("HTTP/1.1 ") + status +
                        "\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\nContent-Length: " +
                        std::to_string(page.size()) + "\r\n\r\n" + page;
    for (size_t at = 0; at < reply.size();) {
        ssize_t n = send(fd, reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return;
        at += static_cast<size_t>(n);
    }
}

std::string unescape(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); i++) {
        if (value[i] == '+') {
            out += ' ';
        } else if (value[i] == '%' && i + 2 < value.size() && isxdigit(static_cast<unsigned char>(value[i + 1])) &&
                   isxdigit(static_cast<unsigned char>(value[i + 2]))) {
            out += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

// The value of key in the query of a request line "GET /?a=b&c=d HTTP/1.1".
std::string parameter(const std::string& line, const char* key) {
    size_t query = line.find('?'), stop = line.find(' ', 4);
    if (query == std::string::npos || query > stop) return "";
    std::string q = "&" + line.substr(query + 1, stop - query - 1);
    std::string look = std::string("&") + key + "=";
    size_t at = q.find(look);
    if (at == std::string::npos) return "";
    at += look.size();
    return unescape(q.substr(at, q.find('&', at) - at));
}

OAuthOutcome loopbackgrant(OAuthHttp& http, const Account& account, const OAuthProvider& provider,
                           OAuthPrompt& prompt, OAuthTokens& tokens, int waitseconds) {
    if (provider.authurl.empty()) return {OAuthOutcome::Failed, "OAUTH2AUTHURL is not set"};
    Listener listener;
    if (!listener.listening()) return {OAuthOutcome::Failed, std::string("cannot listen on 127.0.0.1: ") + strerror(errno)};
    std::string verifier, state;
    if (!randomtext(verifier) || !randomtext(state)) return {OAuthOutcome::Failed, "no random bytes"};
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest);
    std::string redirect = "http://127.0.0.1:" + std::to_string(listener.port) + "/";
    std::string address = provider.authurl + (provider.authurl.find('?') == std::string::npos ? "?" : "&") +
                          formtext({{"response_type", "code"},
                                    {"client_id", account.oauth2clientid},
                                    {"redirect_uri", redirect},
                                    {"scope", provider.scope},
                                    {"state", state},
                                    {"code_challenge", base64url(digest, sizeof digest)},
                                    {"code_challenge_method", "S256"}}) +
                          provider.extra;
    prompt.browse(address);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(waitseconds);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{listener.fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return {OAuthOutcome::Expired, "no answer from the browser in " + std::to_string(waitseconds) + " s"};
        int fd = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Connection browser{fd};
        std::string line = requestline(fd, 10);
        std::string code = parameter(line, "code"), error = parameter(line, "error");
        // What else a browser asks for, an icon, is not the answer.
        if (code.empty() && error.empty()) {
            answerbrowser(fd, "404 Not Found", "Nothing here.");
            continue;
        }
        if (parameter(line, "state") != state) {
            answerbrowser(fd, "400 Bad Request", "This answer is not the one Vorpa asked for.");
            return {OAuthOutcome::Failed, "the browser's answer does not carry the state Vorpa sent"};
        }
        if (!error.empty()) {
            answerbrowser(fd, "200 OK", "Vorpa was not authorized. You may close this page.");
            HttpAnswer said;
            said.reached = true;
            said.body = {{"error", error}, {"error_description", parameter(line, "error_description")}};
            return failure(said);
        }
        OAuthOutcome out = tokenanswer(postform(http, provider.tokenurl,
                                                client(account, {{"grant_type", "authorization_code"},
                                                                 {"code", code},
                                                                 {"redirect_uri", redirect},
                                                                 {"code_verifier", verifier}}),
                                                account.cafile, account.proxy),
                                       tokens);
        answerbrowser(fd, "200 OK",
                      out.end == OAuthOutcome::Ok ? "Vorpa is authorized. You may close this page."
                                                  : "Vorpa could not finish the authorization: see its terminal.");
        return out;
    }
}

}  // namespace

OAuthProvider oauthprovider(const Account& account) {
    OAuthProvider p;
    if (account.oauth2 == "google") {
        p.authurl = "https://accounts.google.com/o/oauth2/v2/auth";
        p.deviceurl = "https://oauth2.googleapis.com/device/code";
        p.tokenurl = "https://oauth2.googleapis.com/token";
        p.scope = "https://mail.google.com/";
        // A refresh token, and the consent asked again so that one comes.
        p.extra = "&access_type=offline&prompt=consent";
    } else if (account.oauth2 == "microsoft") {
        p.authurl = std::string(microsoftbase) + "authorize";
        p.deviceurl = std::string(microsoftbase) + "devicecode";
        p.tokenurl = std::string(microsoftbase) + "token";
        p.scope = "offline_access https://outlook.office.com/POP.AccessAsUser.All "
                  "https://outlook.office.com/IMAP.AccessAsUser.All https://outlook.office.com/SMTP.Send";
        p.device = true;
        p.scopedrefresh = true;
    }
    if (!account.oauth2authurl.empty()) p.authurl = account.oauth2authurl;
    if (!account.oauth2deviceurl.empty()) p.deviceurl = account.oauth2deviceurl;
    if (!account.oauth2tokenurl.empty()) p.tokenurl = account.oauth2tokenurl;
    if (!account.oauth2scope.empty()) p.scope = account.oauth2scope;
    if (account.oauth2 == "custom") p.device = !p.deviceurl.empty();
    if (!account.oauth2flow.empty()) p.device = account.oauth2flow == "device";
    return p;
}

OAuthOutcome oauthrefresh(OAuthHttp& http, const Account& account, OAuthTokens& tokens) {
    OAuthProvider provider = oauthprovider(account);
    return tokenanswer(postform(http, provider.tokenurl,
                                client(account, {{"grant_type", "refresh_token"},
                                                 {"refresh_token", tokens.refresh},
                                                 {"scope", provider.scopedrefresh ? provider.scope : ""}}),
                                account.cafile, account.proxy),
                       tokens);
}

OAuthOutcome oauthauthorize(OAuthHttp& http, const Account& account, OAuthPrompt& prompt, OAuthTokens& tokens,
                            int waitseconds) {
    OAuthProvider provider = oauthprovider(account);
    tokens = OAuthTokens();
    OAuthOutcome out = provider.device ? devicegrant(http, account, provider, prompt, tokens)
                                       : loopbackgrant(http, account, provider, prompt, tokens, waitseconds);
    if (out.end == OAuthOutcome::Ok && tokens.refresh.empty())
        return {OAuthOutcome::Failed, "the provider gave no refresh token (does OAUTH2SCOPE need offline_access?)"};
    return out;
}
