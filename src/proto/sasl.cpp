#include "proto/sasl.h"

#include <openssl/evp.h>

SaslExchange saslexchange(SaslMechanism mechanism, const std::string& user, const std::string& secret) {
    switch (mechanism) {
    case SaslMechanism::Plain:
        // RFC 4616: no authorization identity, the user, the password.
        return {"PLAIN", true, {base64(std::string(1, '\0') + user + '\0' + secret)}};
    case SaslMechanism::Login:
        return {"LOGIN", false, {base64(user), base64(secret)}};
    }
    return {"", false, {}};
}

std::string base64(const std::string& in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}
