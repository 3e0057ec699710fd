#pragma once
// Sockets handed over by the service manager (LISTEN_FDS, sd_listen_fds(3)):
// a socket unit's, or those that an earlier run of the daemon left in the
// manager's file descriptor store. The manager keeps them open across a
// restart, so that datagrams and connections wait in the kernel meanwhile
// instead of being refused. Without LISTEN_FDS nothing here does anything.
//
// A passed socket serves an endpoint only where it is bound to exactly the
// endpoint's address and port, so that it never serves beyond the
// configuration: a wildcard socket only tcp://*:PORT, a dual-stack one only
// tcp://[::]:PORT, and none an endpoint that names a host, whose address
// the library resolves only when it binds. The UDP socket takes one bound to
// the configured port and, where "/udpaddress" names one, address; without
// it any IPv4 one of that port. Any other passed socket is closed and
// logged once.

#include <cstdint>
#include <sys/socket.h>

// Reads the passed sockets. Call once, before the first socket binds.
void take_passed_sockets();

// The passed UDP socket bound to exactly wanted, family, address and port,
// or where any_ipv4 is set, any IPv4 one of its port; -1 where none is. A
// socket of a socket unit comes before one from the store. stored tells
// whether it came from the store, where the daemon itself sized it.
int passed_udp_socket(const struct sockaddr_storage *wanted, bool any_ipv4, bool *stored);

// The passed listening socket bound to exactly the address and port of
// endpoint ("tcp://HOST:PORT"), now taken, for ZMQ_USE_FD before the bind;
// -1 where none is.
int passed_listening_socket(const char *endpoint);

// Where a passed socket of type (SOCK_STREAM, SOCK_DGRAM) that no endpoint
// took holds port (network byte order), so that binding endpoint beside it
// fails (the manager keeps a copy of its own), logs a line that names both
// and returns true; false, logging nothing, where none does.
bool report_port_conflict(int type, uint16_t port, const char *endpoint);

// Closes every passed socket that no endpoint takes, logging each once, and
// tells the manager to forget such a socket in its store. Call once every
// endpoint is made.
void release_unmatched_sockets();

// Name under which the daemon keeps its own UDP socket in the manager's
// store (FDSTORE=1).
extern const char STORED_UDP_NAME[];
