#include "handover.h"

#include "addresses.h"
#include "log.h"
#include "notify.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <czmq.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

const char STORED_UDP_NAME[] = "udp";

// The passed sockets, descriptors SD_LISTEN_FDS_START on; whether each is
// taken, and whether it came from the store.
static const int MAX_PASSED = 64;
static int passed_count = 0;
static bool passed_taken[MAX_PASSED];
static bool passed_stored[MAX_PASSED];

void take_passed_sockets()
{
    char **names = nullptr;
    int count = sd_listen_fds_with_names(0, &names);
    passed_count = count > MAX_PASSED ? MAX_PASSED : count < 0 ? 0 : count;
    for (int index = 0; index < passed_count; index++) {
        passed_taken[index] = false;
        passed_stored[index] = names && strcmp(names[index], STORED_UDP_NAME) == 0;
    }
    for (char **name = names; name && *name; name++)
        free(*name);
    free(names);
}

// The address that descriptor fd is bound to; false where it is not an
// IPv4 or IPv6 socket.
static bool bound_address(int fd, struct sockaddr_storage *address)
{
    socklen_t length = sizeof *address;
    return getsockname(fd, reinterpret_cast<struct sockaddr *>(address), &length) == 0 &&
           (address->ss_family == AF_INET || address->ss_family == AF_INET6);
}

static uint16_t port_of(const struct sockaddr_storage *address)
{
    return reinterpret_cast<const struct sockaddr_in *>(address)->sin_port; // same place in both
}

// True where fd is bound to exactly wanted, family, address and port; an
// IPv6 wildcard socket only where it takes IPv4 too, as tcp://[::]:PORT
// and "::" do.
static bool bound_to(int fd, const struct sockaddr_storage *wanted)
{
    struct sockaddr_storage address;
    if (!bound_address(fd, &address) || address.ss_family != wanted->ss_family ||
        port_of(&address) != port_of(wanted))
        return false;
    if (address.ss_family == AF_INET)
        return reinterpret_cast<struct sockaddr_in *>(&address)->sin_addr.s_addr ==
               reinterpret_cast<const struct sockaddr_in *>(wanted)->sin_addr.s_addr;
    const struct in6_addr *bound = &reinterpret_cast<struct sockaddr_in6 *>(&address)->sin6_addr;
    int only = 0;
    socklen_t length = sizeof only;
    if (IN6_IS_ADDR_UNSPECIFIED(bound) &&
        (getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, &length) != 0 || only))
        return false;
    return IN6_ARE_ADDR_EQUAL(bound,
                              &reinterpret_cast<const struct sockaddr_in6 *>(wanted)->sin6_addr);
}

// A passed socket not taken yet, of type (a listening one for a stream),
// bound to port, from the store or not as from_store says; where wanted is
// given, only one bound_to(wanted), which is then taken.
static int find_passed(int type, uint16_t port, bool from_store,
                       const struct sockaddr_storage *wanted)
{
    for (int index = 0; index < passed_count; index++) {
        int fd = SD_LISTEN_FDS_START + index;
        struct sockaddr_storage address;
        if (passed_taken[index] || passed_stored[index] != from_store ||
            sd_is_socket(fd, AF_UNSPEC, type, type == SOCK_STREAM ? 1 : -1) <= 0 ||
            !bound_address(fd, &address) || port_of(&address) != port ||
            (wanted && !bound_to(fd, wanted)))
            continue;
        if (wanted)
            passed_taken[index] = true;
        return fd;
    }
    return -1;
}

int passed_udp_socket(const struct sockaddr_storage *wanted, bool any_ipv4, bool *stored)
{
    for (bool from_store : {false, true}) {
        for (int index = 0; index < passed_count; index++) {
            int fd = SD_LISTEN_FDS_START + index;
            if (passed_taken[index] || passed_stored[index] != from_store ||
                sd_is_socket(fd, AF_UNSPEC, SOCK_DGRAM, -1) <= 0 ||
                !(any_ipv4
                      ? sd_is_socket_inet(fd, AF_INET, SOCK_DGRAM, -1, ntohs(port_of(wanted))) > 0
                      : bound_to(fd, wanted)))
                continue;
            passed_taken[index] = true;
            *stored = from_store;
            return fd;
        }
    }
    return -1;
}

int passed_listening_socket(const char *endpoint)
{
    struct sockaddr_storage wanted;
    if (!endpoint_address(endpoint, &wanted))
        return -1;
    return find_passed(SOCK_STREAM, port_of(&wanted), false, &wanted);
}

// What descriptor fd is, for the log: "UDP 127.0.0.1:5565", "TCP [::1]:5560".
static std::string describe(int fd)
{
    struct sockaddr_storage address;
    if (!bound_address(fd, &address))
        return "not an IP socket";
    char text[INET6_ADDRSTRLEN + 8];
    format_address(&address, text, sizeof text);
    return std::string(sd_is_socket(fd, AF_UNSPEC, SOCK_DGRAM, -1) > 0 ? "UDP " : "TCP ") + text;
}

bool report_port_conflict(int type, uint16_t port, const char *endpoint)
{
    int fd = -1;
    for (bool from_store : {false, true})
        if (fd == -1)
            fd = find_passed(type, port, from_store, nullptr);
    if (fd == -1)
        return false;
    log_line(LOG_ERR, "%s: passed socket %d (%s) holds the port of \"%s\" but not its address",
             "create_sockets", fd, describe(fd).c_str(), endpoint);
    return true;
}

void release_unmatched_sockets()
{
    for (int index = 0; index < passed_count; index++) {
        int fd = SD_LISTEN_FDS_START + index;
        if (passed_taken[index])
            continue;
        log_line(LOG_ERR, "%s: passed socket %d (%s) matches no endpoint, closed", "create_sockets",
                 fd, describe(fd).c_str());
        close(fd);
        if (passed_stored[index])
            notify_forget_stored(STORED_UDP_NAME);
    }
    passed_count = 0;
}
