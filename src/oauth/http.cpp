#include "oauth/http.h"

#include <curl/curl.h>
#include <dlfcn.h>

namespace {

const char kLibrary[] = "libcurl.so.4";

// An answer larger than this is no token endpoint's: tokens are a few KB.
constexpr size_t kAnswerMax = 64 * 1024;

size_t gather(char* data, size_t size, size_t count, void* to) {
    std::string& text = *static_cast<std::string*>(to);
    if (text.size() + size * count > kAnswerMax) return 0;
    text.append(data, size * count);
    return size * count;
}

template <typename Function>
bool resolve(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

std::string loadfailure() {
    const char* why = dlerror();
    return std::string("cannot load ") + (why ? why : kLibrary);
}

}  // namespace

struct OAuthHttp::Calls {
    explicit Calls(void* library) : library(library) {}
    ~Calls() {
        if (started) global_cleanup();
        dlclose(library);
    }
    Calls(const Calls&) = delete;
    Calls& operator=(const Calls&) = delete;

    void* library;
    bool started = false;
    decltype(&curl_global_init) global_init;
    decltype(&curl_global_cleanup) global_cleanup;
    decltype(&curl_easy_init) init;
    decltype(&curl_easy_setopt) setopt;
    decltype(&curl_easy_perform) perform;
    decltype(&curl_easy_getinfo) getinfo;
    decltype(&curl_easy_strerror) strerror;
    decltype(&curl_easy_cleanup) cleanup;
    decltype(&curl_slist_append) slist_append;
    decltype(&curl_slist_free_all) slist_free_all;
};

OAuthHttp::OAuthHttp() = default;
OAuthHttp::~OAuthHttp() = default;

const OAuthHttp::Calls* OAuthHttp::calls(std::string& why) {
    std::lock_guard<std::mutex> hold(lock);
    if (loaded) return loaded.get();
    void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        why = loadfailure();
        return nullptr;
    }
    auto c = std::make_unique<Calls>(library);
    if (!resolve(library, "curl_global_init", c->global_init) ||
        !resolve(library, "curl_global_cleanup", c->global_cleanup) ||
        !resolve(library, "curl_easy_init", c->init) || !resolve(library, "curl_easy_setopt", c->setopt) ||
        !resolve(library, "curl_easy_perform", c->perform) || !resolve(library, "curl_easy_getinfo", c->getinfo) ||
        !resolve(library, "curl_easy_strerror", c->strerror) || !resolve(library, "curl_easy_cleanup", c->cleanup) ||
        !resolve(library, "curl_slist_append", c->slist_append) ||
        !resolve(library, "curl_slist_free_all", c->slist_free_all)) {
        why = loadfailure();
        return nullptr;
    }
    if (c->global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        why = "cannot start libcurl";
        return nullptr;
    }
    c->started = true;
    loaded = std::move(c);
    return loaded.get();
}

std::string formtext(const Form& form) {
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (const auto& field : form) {
        if (field.second.empty()) continue;
        if (!text.empty()) text += '&';
        text += field.first;
        text += '=';
        // All but the unreserved characters of RFC 3986.
        for (unsigned char c : field.second) {
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                c == '_' || c == '~') {
                text += static_cast<char>(c);
            } else {
                text += '%';
                text += hex[c >> 4];
                text += hex[c & 15];
            }
        }
    }
    return text;
}

HttpAnswer postform(OAuthHttp& http, const std::string& url, const Form& form, const std::string& cafile,
                    const Proxy& proxy) {
    HttpAnswer answer;
    const OAuthHttp::Calls* curl = http.calls(answer.failure);
    if (!curl) return answer;
    std::unique_ptr<CURL, decltype(curl->cleanup)> handle(curl->init(), curl->cleanup);
    if (!handle) {
        answer.failure = "cannot start libcurl";
        return answer;
    }
    CURL* c = handle.get();
    std::string body = formtext(form), text;
    char error[CURL_ERROR_SIZE] = "";
    std::unique_ptr<curl_slist, decltype(curl->slist_free_all)> headers(
        curl->slist_append(nullptr, "Accept: application/json"), curl->slist_free_all);
    curl->setopt(c, CURLOPT_URL, url.c_str());
    curl->setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl->setopt(c, CURLOPT_COPYPOSTFIELDS, body.c_str());
    curl->setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl->setopt(c, CURLOPT_USERAGENT, "vorpa");
    curl->setopt(c, CURLOPT_WRITEFUNCTION, gather);
    curl->setopt(c, CURLOPT_WRITEDATA, &text);
    curl->setopt(c, CURLOPT_ERRORBUFFER, error);
    curl->setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl->setopt(c, CURLOPT_CONNECTTIMEOUT, 20L);
    curl->setopt(c, CURLOPT_TIMEOUT, 60L);
    if (!cafile.empty()) curl->setopt(c, CURLOPT_CAINFO, cafile.c_str());
    // libcurl reads its login apart from the URL, so that no byte of it
    // needs escaping.
    std::string via;
    if (proxy.set()) {
        bool literal6 = proxy.host.find(':') != std::string::npos;
        via = std::string(proxy.remotenames ? "socks5h://" : "socks5://") + (literal6 ? "[" : "") + proxy.host +
              (literal6 ? "]" : "") + ":" + std::to_string(proxy.port);
        curl->setopt(c, CURLOPT_PROXY, via.c_str());
        if (!proxy.user.empty()) {
            curl->setopt(c, CURLOPT_PROXYUSERNAME, proxy.user.c_str());
            curl->setopt(c, CURLOPT_PROXYPASSWORD, proxy.pass.c_str());
        }
    }
    CURLcode code = curl->perform(c);
    // Only gather refuses to write: the answer is too large. A server
    // error's page may be; it counts by its status alone.
    if (code == CURLE_WRITE_ERROR) {
        curl->getinfo(c, CURLINFO_RESPONSE_CODE, &answer.status);
        answer.reached = answer.status >= 500;
        if (!answer.reached) answer.failure = "the answer is larger than 64 KB";
        return answer;
    }
    if (code != CURLE_OK) {
        answer.failure = error[0] ? error : curl->strerror(code);
        answer.passing = code != CURLE_PEER_FAILED_VERIFICATION && code != CURLE_SSL_CACERT_BADFILE &&
                         code != CURLE_SSL_CERTPROBLEM && code != CURLE_UNSUPPORTED_PROTOCOL &&
                         code != CURLE_URL_MALFORMAT;
        return answer;
    }
    answer.reached = true;
    curl->getinfo(c, CURLINFO_RESPONSE_CODE, &answer.status);
    answer.body = nlohmann::json::parse(text, nullptr, false);
    return answer;
}
