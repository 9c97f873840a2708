// A connection through a SOCKS5 proxy (RFC 1928), with its user and
// password login (RFC 1929): once the socket is connected to the proxy,
// the proxy is asked to connect on to the server.
#ifndef VORPA_NET_SOCKS_H
#define VORPA_NET_SOCKS_H

#include <string>

#include "core/settings.h"
#include "net/socket.h"

// Over sock, connected to proxy: the greeting, the login where the proxy
// asks for one, and the CONNECT to host and port (by name where the proxy
// resolves names, else by the address found here). Each answer is read
// within the socket's time-out, byte for byte, so that what the server
// sends next is left for the socket. False with why: a few words that
// follow the proxy's name ("refused the connection to ...: host
// unreachable").
bool socksconnect(Socket& sock, const Proxy& proxy, const std::string& host, unsigned short port, std::string& why);

#endif
