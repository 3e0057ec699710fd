#pragma once
// Sockets handed over by the service manager (LISTEN_FDS, sd_listen_fds(3)):
// a socket unit's, or those that an earlier run of the daemon left in the
// manager's file descriptor store. The manager keeps them open across a
// restart, so that datagrams and connections wait in the kernel meanwhile
// instead of being refused. Without LISTEN_FDS nothing here does anything.
//
// A passed UDP socket serves as the UDP socket where it is bound to the
// configured port (and address, where "/udpaddress" names one); a passed
// listening TCP socket serves a bound tcp endpoint with its port, which
// zsock_bind takes by itself (zsys_set_auto_use_fd). Any other passed
// socket is closed and logged once.

#include <cstdint>

// Reads the passed sockets and lets zsock_bind take the listening ones.
// Call once, before the first socket binds.
void take_passed_sockets();

// The passed UDP socket bound to port (network byte order) and, where the
// configuration names one, the UDP address; -1 where none is. A socket of
// a socket unit comes before one from the store. stored tells whether it
// came from the store, where the daemon itself sized it.
int passed_udp_socket(uint16_t port, bool *stored);

// Closes every passed socket that no endpoint takes, logging each once, and
// tells the manager to forget such a socket in its store. Call once every
// endpoint is made.
void release_unmatched_sockets();

// Name under which the daemon keeps its own UDP socket in the manager's
// store (FDSTORE=1).
extern const char STORED_UDP_NAME[];
