#pragma once
// Who may connect to the daemon's ZeroMQ sockets, and send it datagrams: the
// authenticator (CZMQ's zauth, on a thread of its own) with the addresses in
// "/allow", which the UDP receiver asks too, and the
// client certificates in "/curve/clients", the daemon's own CURVE key pair,
// the message processors' public keys, and the largest frame a peer may
// send. Without the optional keys nothing here is made and the sockets stay
// as the library makes them.

#include <czmq.h>
#include <netinet/in.h>

// The authenticator; null while there is none (neither "/allow" nor
// "/curve/certificate" is set).
extern zactor_t *authenticator;

// How a socket meets its peers: a server authenticates every peer (bound
// sockets, and push sockets without a processor certificate); a processor
// client is a CURVE client of that processor's public key.
enum { SERVER_ROLE, PROCESSOR_CLIENT_ROLE, BACKYARD_CLIENT_ROLE, ROLE_COUNT };

// Reads the certificates that the configuration names, checks them, and
// starts and configures the authenticator, waiting for each of its
// answers: so it holds before the first socket is bound. Logs the first
// certificate, directory or address that is unusable and returns false,
// having released what it made. While a certificate is configured the
// process cannot dump core.
bool create_access();

// Sets up socket, before it binds or connects, for role: the ZAP domain
// (so that the allow list applies to plain sockets too), the CURVE keys,
// and the largest frame its peers may send.
void apply_access(zsock_t *socket, int role);

// True where "/allow" lists the IPv4 address (network byte order) that a
// datagram came from. Only asked while udp_sources_checked (statistics.h)
// is set, that is, where "/allow" is.
bool udp_source_allowed(uint32_t address);

// True where "/allow" lists the IPv6 address that a datagram came from over
// IPv6. A mapped address is never listed here: a datagram that came over
// IPv4 is asked about with udp_source_allowed, and an IPv6 one that only
// claims a mapped source is refused. Compares with each IPv6 entry.
bool udp_ipv6_source_allowed(const struct in6_addr *address);

// True when socket authenticates its peers in role, so that refused
// handshakes are seen on it.
bool authenticates(int role);

// Wipes the daemon's copy of its secret key, once every socket has it.
void forget_secret_key();

// Stops the authenticator and wipes the keys. Call after the last socket is
// released. Safe when there is none and when called twice.
void destroy_access();
