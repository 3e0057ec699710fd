#include "handover.h"

#include "config.h"
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
    if (passed_count > 0)
        zsys_set_auto_use_fd(1);
}

// The address that descriptor fd is bound to; false where it is not an
// IPv4 or IPv6 socket.
static bool bound_address(int fd, struct sockaddr_storage *address)
{
    socklen_t length = sizeof *address;
    return getsockname(fd, reinterpret_cast<struct sockaddr *>(address), &length) == 0 &&
           (address->ss_family == AF_INET || address->ss_family == AF_INET6);
}

static bool udp_socket_matches(int fd, uint16_t port)
{
    struct sockaddr_storage address;
    if (sd_is_socket_inet(fd, AF_INET, SOCK_DGRAM, -1, ntohs(port)) <= 0 ||
        !bound_address(fd, &address))
        return false;
    return !optional_strings[UDPADDRESS_STR].value ||
           reinterpret_cast<struct sockaddr_in *>(&address)->sin_addr.s_addr == udp_address;
}

int passed_udp_socket(uint16_t port, bool *stored)
{
    for (bool from_store : {false, true}) {
        for (int index = 0; index < passed_count; index++) {
            int fd = SD_LISTEN_FDS_START + index;
            if (passed_taken[index] || passed_stored[index] != from_store ||
                !udp_socket_matches(fd, port))
                continue;
            passed_taken[index] = true;
            *stored = from_store;
            return fd;
        }
    }
    return -1;
}

// The port of a tcp endpoint text ("tcp://host:port"); 0 for any other.
static uint16_t tcp_port(const std::string &endpoint)
{
    size_t colon = endpoint.rfind(':');
    if (endpoint.compare(0, 6, "tcp://") != 0 || colon == std::string::npos)
        return 0;
    return static_cast<uint16_t>(atoi(endpoint.c_str() + colon + 1));
}

// True where a bound endpoint has port: zsock_bind has then taken the
// listening socket of that port. Push sockets bind their "@" endpoints.
static bool bound_port(uint16_t port)
{
    for (int key : {SUBSCRIBER_STR, PUBLISHER_STR, GATEWAYPUBLISHER_STR})
        if (tcp_port(config_strings[key].value) == port)
            return true;
    for (int key : {MESSAGE_PROCESSOR_STR, MESSAGE_PROCESSOR_BACKYARD_STR}) {
        std::string list = config_strings[key].value;
        for (size_t start = 0; start <= list.size();) {
            size_t end = list.find(',', start);
            std::string endpoint = list.substr(start, end - start);
            if (!endpoint.empty() && endpoint[0] == '@' && tcp_port(endpoint.substr(1)) == port)
                return true;
            start = end == std::string::npos ? list.size() + 1 : end + 1;
        }
    }
    return false;
}

// What descriptor fd is, for the log: "UDP 127.0.0.1:5565", "TCP ...".
static std::string describe(int fd)
{
    struct sockaddr_storage address;
    if (!bound_address(fd, &address))
        return "not an IP socket";
    char host[INET6_ADDRSTRLEN] = "?";
    const void *raw =
        address.ss_family == AF_INET
            ? static_cast<const void *>(&reinterpret_cast<struct sockaddr_in *>(&address)->sin_addr)
            : &reinterpret_cast<struct sockaddr_in6 *>(&address)->sin6_addr;
    inet_ntop(address.ss_family, raw, host, sizeof host);
    uint16_t port = ntohs(reinterpret_cast<struct sockaddr_in *>(&address)->sin_port);
    return std::string(sd_is_socket(fd, AF_UNSPEC, SOCK_DGRAM, -1) > 0 ? "UDP " : "TCP ") + host +
           ":" + std::to_string(port);
}

void release_unmatched_sockets()
{
    for (int index = 0; index < passed_count; index++) {
        int fd = SD_LISTEN_FDS_START + index;
        struct sockaddr_storage address;
        if (passed_taken[index] ||
            (sd_is_socket(fd, AF_UNSPEC, SOCK_STREAM, 1) > 0 && bound_address(fd, &address) &&
             bound_port(ntohs(reinterpret_cast<struct sockaddr_in *>(&address)->sin_port))))
            continue;
        log_line(LOG_ERR, "%s: passed socket %d (%s) matches no endpoint, closed", "create_sockets",
                 fd, describe(fd).c_str());
        close(fd);
        if (passed_stored[index])
            notify_forget_stored(STORED_UDP_NAME);
    }
    passed_count = 0;
}
