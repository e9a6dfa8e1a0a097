// Whether a server is this very machine, and where a user's home folder is:
// what a server store on localhost needs to be known as a local folder.
#pragma once
#include <string>
#include <string_view>

namespace plat {

// True for "localhost" (and names ending in ".localhost"), "ip6-localhost",
// a loopback address (127.0.0.0/8, ::1, in brackets or not), an address of
// one of this machine's interfaces, and the machine's own host name (with or
// without its domain). Asks no name server.
bool IsThisMachine(std::string_view host);

// The home folder of a user of this machine, as a system path; false when
// the user is unknown here or the folder lies on no volume.
bool HomeFolderOfUser(std::string_view user, std::string* systemPath);

// Caps what a connected socket of this machine holds unsent at about bytes
// (the system may double it); false when the socket refuses.
bool LimitSendBuffer(long long socket, int bytes);

// The port of a connected socket's peer; 0 when it has none.
int PeerPortOf(long long socket);

// What arrives on a connected socket within waitMs, up to its first line
// end, its end or a read error (a peer that replied just before it went);
// empty when nothing came.
std::string ReadWaiting(long long socket, int waitMs);

// Closes a socket of this machine.
void CloseSocket(long long socket);

}  // namespace plat
