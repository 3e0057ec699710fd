#pragma once
// The address families of the configured endpoints. ZeroMQ sockets speak
// IPv4 alone unless told otherwise, and CZMQ tells every new socket what
// ZSYS_IPV6 in the environment says; so each socket of the daemon is told
// itself: IPv6 where one of its endpoints names a bracketed IPv6 address
// (tcp://[::1]:5560, >tcp://[2001:db8::7]:5563), IPv4 otherwise. On an IPv6
// socket tcp://[::]:PORT and tcp://*:PORT take both families, and host
// names may resolve to IPv6 addresses.

#include <czmq.h>
#include <string>
#include <sys/socket.h>
#include <vector>

// One endpoint of a list: '@' where it binds, '>' where it connects, 0
// where it says nothing (a push socket then connects); and the endpoint.
struct endpoint_entry {
    char mode;
    std::string endpoint;
};

// The endpoints of list, comma-separated, as zsock_attach splits it.
std::vector<endpoint_entry> split_endpoints(const char *list);

// True where an endpoint of list is a tcp endpoint with a bracketed address.
bool endpoints_want_ipv6(const char *list);

// Checks the bracketed addresses of list, the value of the key key_name:
// each must be an IPv6 address, and the host must speak IPv6. Logs the key,
// its value and why, and returns false, where one fails.
bool check_endpoint_list(const char *key_name, const char *list);

// Reads text, an IPv4 address (a dotted quad: inet_pton takes no shorter or
// octal forms) or, where it holds a colon, an IPv6 one without a zone, into
// address, port 0; a mapped IPv6 address is its IPv4 address. False where
// text is not an address.
bool parse_ip_address(const char *text, struct sockaddr_storage *address);

// True where the host lets the daemon make IPv6 sockets; errno tells why
// not.
bool host_speaks_ipv6();

// Tells socket, before it binds or connects to list, which family to speak.
void set_endpoint_family(zsock_t *socket, const char *list);

// The address and port that endpoint ("tcp://HOST:PORT", no prefix) binds,
// where HOST is "*" (every IPv4 address), an IPv4 address or a bracketed
// IPv6 one; false for any other endpoint (a host or interface name, a
// source address, another transport), whose address the daemon cannot
// tell before the library resolves it.
bool endpoint_address(const char *endpoint, struct sockaddr_storage *address);

// The port of a tcp endpoint ("tcp://HOST:PORT", HOST any), network byte
// order; 0 for any other.
uint16_t endpoint_port(const char *endpoint);

// Writes address (AF_INET or AF_INET6) and its port as "127.0.0.1:5565" or
// "[::1]:5565" into text.
void format_address(const struct sockaddr_storage *address, char *text, size_t size);
