#pragma once
// Allow lists: the IP addresses that a key such as "/allow" lists, parsed
// once into canonical form (::1 and 0::1 are one address), and the question
// whether a peer's address is among them, which the UDP receiver, the
// authenticator's list and the metrics endpoint all ask here. An IPv4 entry
// also admits its IPv4-mapped form (::ffff:a.b.c.d), in which a dual-stack
// socket reports an IPv4 peer; a mapped entry is its IPv4 address. Zoned
// entries (fe80::1%eth0) are refused: a zone names an interface of this
// host, not a peer.

#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

struct allow_list_t {
    std::vector<in_addr_t> ipv4;       // network byte order
    std::vector<struct in6_addr> ipv6; // never a mapped one
    // The IPv4 addresses again, in an open addressing table of a power of
    // two slots, at least twice as many as the addresses, so that a
    // datagram's source is found in a probe or two rather than compared
    // with each. 0.0.0.0 marks an empty slot, so that address has a flag of
    // its own.
    std::vector<uint32_t> slots;
    unsigned shift = 32;
    bool any_address = false;
};

// Parses value, addresses separated by blanks or commas, into out (emptied
// first). Logs 'Parameter "KEY": "ENTRY" is not an IP address' for the first
// entry that is not one (a zoned one with why), or names the whole value
// where it lists none, and returns false.
bool parse_allow_list(const char *key_name, const char *value, allow_list_t *out);

// True where list admits address, an AF_INET or AF_INET6 socket address
// (other families: false). A mapped address counts as its IPv4 address,
// which holds for a peer of a stream socket: only an IPv4 connection shows
// a mapped address there.
bool allow_list_admits(const allow_list_t *list, const struct sockaddr *address);

// As allow_list_admits for the source of a datagram. On an IPv6 socket an
// IPv6 datagram may claim a mapped source too, so a mapped source counts as
// its IPv4 address only where the datagram came over IPv4 (came_over_ipv4,
// from its packet information).
bool allow_list_admits_datagram(const allow_list_t *list, const struct sockaddr *source,
                                bool came_over_ipv4);

// As allow_list_admits, for an address as text, the way a web server
// reports its peer ("127.0.0.1", "::1", "::ffff:127.0.0.1"); false for a
// text that is not an address.
bool allow_list_admits_text(const allow_list_t *list, const char *address);
