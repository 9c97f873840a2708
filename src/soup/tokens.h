// The OAuth2 tokens of an account, kept beside its state files: the
// refresh token, the access token and when it expires. The file is the
// account's only way back to its mailbox once the provider replaced the
// refresh token: it is written whole or not at all, and only its owner may
// read it.
#ifndef VORPA_SOUP_TOKENS_H
#define VORPA_SOUP_TOKENS_H

#include <string>

struct OAuthTokens {
    std::string refresh;
    std::string access;
    long long expires = 0;  // of the access token, seconds since the epoch
};

class TokenFile {
public:
    enum Loaded { Ready, Missing, Exposed, Failed };

    // "oauth2-<account>" in the folder of statefile.
    TokenFile(const std::string& statefile, const std::string& account);

    // Exposed: others may read the file, which is then not read; Failed
    // (reason() tells): it cannot be read or holds no refresh token.
    Loaded load(OAuthTokens& tokens);
    // Replaces the file in one step, mode 0600; false after a failure
    // (reason() tells).
    bool save(const OAuthTokens& tokens);
    const std::string& where() const { return path; }
    const char* reason() const { return why.c_str(); }
    // After a failed save: the file it concerns, the temporary one written
    // first or the token file.
    const std::string& failedfile() const { return failed; }

private:
    std::string path;
    std::string failed;
    std::string why;
};

#endif
