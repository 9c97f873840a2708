// The OAuth2 responses as the servers decode them, and the reasons of
// their error challenges.
#include <gtest/gtest.h>

#include <string>

#include "proto/sasl.h"

namespace {

std::string decoded(const std::string& text) {
    std::string out;
    EXPECT_TRUE(unbase64(text, out)) << text;
    return out;
}

TEST(Sasl, OAuthResponsesAndTheirErrorAnswers) {
    SaslExchange x = saslexchange(SaslMechanism::XOAuth2, "joe@example.org", "t0k", "mail.example.org", 587);
    EXPECT_EQ(decoded(x.responses.at(0)), "user=joe@example.org\x01" "auth=Bearer t0k\x01\x01");
    EXPECT_STREQ(x.erroranswer, "");
    // RFC 7628: "," and "=" of the name are escaped in the gs2 header.
    SaslExchange b = saslexchange(SaslMechanism::OAuthBearer, "a,b=c", "t0k", "mail.example.org", 993);
    EXPECT_EQ(decoded(b.responses.at(0)),
              "n,a=a=2Cb=3Dc,\x01host=mail.example.org\x01port=993\x01" "auth=Bearer t0k\x01\x01");
    EXPECT_EQ(decoded(b.erroranswer), "\x01");
    EXPECT_EQ(saslexchange(SaslMechanism::Plain, "u", "p").erroranswer, nullptr);
}

TEST(Sasl, StatusOfAnErrorChallenge) {
    EXPECT_EQ(oauthstatus(base64(R"({ "scope" : "a", "status" : 403 })")), "insufficient_scope (403)");
    EXPECT_EQ(oauthstatus(base64(R"({"status":"try later\u0007"})")), "trylater\\u0007");
    EXPECT_EQ(oauthstatus(base64(R"({"error":"invalid_token"})")), "");
    EXPECT_EQ(oauthstatus("not base64!"), "");
}

}  // namespace
