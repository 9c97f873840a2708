// The mail exchangers of a domain, from DNS: who runs a domain's mail
// (Google, Microsoft) when its name does not say it.
#ifndef VORPA_NET_MX_H
#define VORPA_NET_MX_H

#include <string>
#include <vector>

// The hosts of the domain's MX records, the most preferred first; none
// when the lookup fails or the domain has none.
std::vector<std::string> mailexchangers(const std::string& domain);

// The same, read from a DNS answer; none from one that is malformed.
std::vector<std::string> mxhosts(const unsigned char* answer, int length);

#endif
