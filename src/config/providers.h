// The table of mail and news providers that "vorpa setup" writes accounts
// from: data (providers.txt) built into the program.
#ifndef VORPA_CONFIG_PROVIDERS_H
#define VORPA_CONFIG_PROVIDERS_H

#include <string>
#include <vector>

struct Provider {
    std::string name;   // the account's name, and the word that picks the provider
    std::string title;  // as the user knows it
    std::vector<std::string> domains;
    // The domains of the mail exchangers of a domain of its own.
    std::vector<std::string> mx;
    // host:port of an IMAP server on this machine whose certificate is pinned.
    std::string pinfrom;
    // The section's lines: "KEYWORD value", or "FILL KEYWORD hint" for one the
    // user writes in; "$ADDRESS" and "$LOCAL" not yet filled in.
    std::vector<std::string> lines;
    // What the user must still do; "$NAME" and "$NEWSRC" not yet filled in.
    std::vector<std::string> steps;
};

// Every provider of the table, in its order.
std::vector<Provider> providers();

// The provider named name (any case), or, with name empty, the one that
// serves the domain of address, or the one that runs one of exchangers
// (the hosts of the domain's MX records); null when none does.
const Provider* findprovider(const std::vector<Provider>& all, const std::string& address, const std::string& name,
                             const std::vector<std::string>& exchangers = {});

#endif
