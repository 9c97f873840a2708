// What only the tests and the benchmarks do with a Socket: listen and
// accept, set socket options the program never sets, name the peer, and
// send whole files. Like Socket's own calls, they also leave a result in
// iResult.
#ifndef VORPA_TESTS_TESTNET_H
#define VORPA_TESTS_TESTNET_H

#include <memory>
#include <string>

#include "net/socket.h"

namespace testnet {

// Binds s to localAddr:port (IPv4; port 0 for one the system picks) and
// listens. reuse > 0 sets SO_REUSEADDR first. Fills saLocal and usLocalPort.
int Passive(Socket& s, unsigned short port, int reuse, unsigned long localAddr);
// The IPv4 port a descriptor is bound to.
unsigned short BoundPort(int fd);
// The next connection, with the peer in saRemote; null when accept fails.
std::unique_ptr<Socket> Accept(Socket& listener);

int SetOob(Socket& s);
// Closing lingers up to 20 seconds.
int SetLinger(Socket& s);
int SetKeepAlive(Socket& s);
// SO_REUSEADDR on when flag is 1, off otherwise.
int SetReusePort(Socket& s, int flag);

// The peer's IPv4 address (saRemote), dotted.
std::string PeerAddr(const Socket& s);
// The peer's name as looked up: 0; or, when none is found, its address: -1.
int ResolveName(Socket& s, std::string& name);
// The peer's address in brackets, the name of a peer not looked up.
std::string AddressLiteral(const Socket& s);

// Sends file from offset with each LF turned into CR LF; the bytes sent.
int SendText(Socket& s, const char* file, unsigned long offset);
// Sends file as dot-stuffed CR LF text closed by ".\r\n"; the bytes sent.
int SendDotText(Socket& s, const char* file);
// Sends file from offset unchanged; the size of the last partial block.
int SendBinary(Socket& s, const char* file, unsigned long offset);

}  // namespace testnet

#endif
