#include "oauth/http.h"

#include <curl/curl.h>

#include <memory>

namespace {

// An answer larger than this is no token endpoint's.
constexpr size_t kAnswerMax = 1 << 20;

size_t gather(char* data, size_t size, size_t count, void* to) {
    std::string& text = *static_cast<std::string*>(to);
    if (text.size() + size * count > kAnswerMax) return 0;
    text.append(data, size * count);
    return size * count;
}

struct CurlCloser {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListCloser {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

std::string formtext(const Form& form) {
    std::string text;
    for (const auto& field : form) {
        if (field.second.empty()) continue;
        char* escaped = curl_easy_escape(nullptr, field.second.c_str(), static_cast<int>(field.second.size()));
        if (!text.empty()) text += '&';
        text += field.first;
        text += '=';
        text += escaped ? escaped : "";
        curl_free(escaped);
    }
    return text;
}

HttpAnswer postform(const std::string& url, const Form& form, const std::string& cafile) {
    HttpAnswer answer;
    std::unique_ptr<CURL, CurlCloser> curl(curl_easy_init());
    if (!curl) {
        answer.failure = "cannot start libcurl";
        return answer;
    }
    CURL* c = curl.get();
    std::string body = formtext(form), text;
    char error[CURL_ERROR_SIZE] = "";
    std::unique_ptr<curl_slist, ListCloser> headers(curl_slist_append(nullptr, "Accept: application/json"));
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, body.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_USERAGENT, "vorpa");
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, gather);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &text);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 20L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
    if (!cafile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, cafile.c_str());
    CURLcode code = curl_easy_perform(c);
    if (code != CURLE_OK) {
        answer.failure = error[0] ? error : curl_easy_strerror(code);
        answer.passing = code != CURLE_PEER_FAILED_VERIFICATION && code != CURLE_SSL_CACERT_BADFILE &&
                         code != CURLE_SSL_CERTPROBLEM && code != CURLE_UNSUPPORTED_PROTOCOL &&
                         code != CURLE_URL_MALFORMAT;
        return answer;
    }
    answer.reached = true;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &answer.status);
    answer.body = nlohmann::json::parse(text, nullptr, false);
    return answer;
}
