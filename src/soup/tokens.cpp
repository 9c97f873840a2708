#include "soup/tokens.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/durable.h"
#include "core/text.h"
#include "soup/soup.h"

TokenFile::TokenFile(const std::string& statefile, const std::string& account) {
    size_t slash = statefile.rfind('/');
    path = (slash == std::string::npos ? std::string() : statefile.substr(0, slash + 1)) + "oauth2-" + account;
}

// Lines "refresh TOKEN", "access TOKEN", "expires SECONDS".
TokenFile::Loaded TokenFile::load(OAuthTokens& tokens) {
    int error = 0;
    File f(openregular(path.c_str(), error));
    if (!f) {
        if (error == ENOENT) return Missing;
        why = openfailure(error);
        return Failed;
    }
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0) {
        why = std::strerror(errno);
        return Failed;
    }
    if (st.st_mode & (S_IRGRP | S_IROTH)) return Exposed;
    tokens = OAuthTokens();
    std::string line;
    for (int c; (c = std::getc(f.get())) != EOF;) {
        if (c != '\n') {
            if (line.size() > kLineMax) break;
            line.push_back(static_cast<char>(c));
            continue;
        }
        size_t space = line.find(' ');
        std::string key = line.substr(0, space), value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "refresh") tokens.refresh = value;
        else if (key == "access") tokens.access = value;
        else if (key == "expires") tokens.expires = std::atoll(value.c_str());
        line.clear();
    }
    if (std::ferror(f.get())) {
        why = std::strerror(errno);
        return Failed;
    }
    if (tokens.refresh.empty()) {
        why = "it holds no refresh token";
        return Failed;
    }
    return Ready;
}

bool TokenFile::save(const OAuthTokens& tokens) {
    Replacement next;
    std::string text = "refresh " + tokens.refresh + "\naccess " + tokens.access + "\nexpires " +
                       std::to_string(tokens.expires) + "\n";
    if (!next.begin(path)) {
        why = next.reason();
        failed = next.failedpath();
        return false;
    }
    // Closed to others before a byte of it is written.
    if (fchmod(next.file.descriptor(), 0600) != 0) {
        why = std::strerror(errno);
        failed = next.failedpath();
        return false;
    }
    if (next.file.write(text.data(), text.size()) && next.commit()) return true;
    why = next.reason();
    failed = next.failedpath();
    return false;
}
