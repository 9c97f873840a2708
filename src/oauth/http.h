// The library's own: form posts to the provider's endpoints, their JSON
// answers.
#ifndef VORPA_OAUTH_HTTP_H
#define VORPA_OAUTH_HTTP_H

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "oauth/oauth.h"

using Form = std::vector<std::pair<const char*, std::string>>;

// "a=b&c=d", each value percent-encoded; empty values are left out.
std::string formtext(const Form& form);

struct HttpAnswer {
    bool reached = false;  // an HTTP answer came
    std::string failure;   // else why not
    // The failure may pass by itself (the network's), unlike a certificate
    // refused or an address that is none.
    bool passing = false;
    long status = 0;
    nlohmann::json body;   // discarded when the answer is no JSON
};

// POSTs form to url; the server's certificate checked against cafile, or
// the system's store when it is empty. Through proxy where it is set, else
// the proxy variables are honoured.
HttpAnswer postform(OAuthHttp& http, const std::string& url, const Form& form, const std::string& cafile,
                    const Proxy& proxy);

#endif
