#include "addresses.h"

#include "log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <unistd.h>
#include <vector>

static const char TCP_SCHEME[] = "tcp://";

std::vector<endpoint_entry> split_endpoints(const char *list)
{
    std::vector<endpoint_entry> endpoints;
    std::string text = list;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        std::string endpoint = text.substr(start, end - start);
        char mode =
            !endpoint.empty() && (endpoint[0] == '@' || endpoint[0] == '>') ? endpoint[0] : 0;
        endpoints.push_back({mode, endpoint.substr(mode ? 1 : 0)});
        start = end + 1;
    }
    return endpoints;
}

static bool is_tcp(const std::string &endpoint)
{
    return endpoint.compare(0, sizeof TCP_SCHEME - 1, TCP_SCHEME) == 0;
}

bool endpoints_want_ipv6(const char *list)
{
    for (const endpoint_entry &entry : split_endpoints(list))
        if (is_tcp(entry.endpoint) && entry.endpoint.find('[') != std::string::npos)
            return true;
    return false;
}

// True where every bracketed part of endpoint is an IPv6 address, a zone
// of a link-local one allowed.
static bool brackets_hold_ipv6(const std::string &endpoint)
{
    for (size_t open = endpoint.find('['); open != std::string::npos;
         open = endpoint.find('[', open + 1)) {
        size_t close = endpoint.find(']', open);
        if (close == std::string::npos)
            return false;
        std::string address = endpoint.substr(open + 1, close - open - 1);
        struct in6_addr parsed;
        if (inet_pton(AF_INET6, address.substr(0, address.find('%')).c_str(), &parsed) != 1)
            return false;
    }
    return true;
}

bool host_speaks_ipv6()
{
    int probe = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe == -1)
        return false;
    close(probe);
    return true;
}

bool check_endpoint_list(const char *key_name, const char *list)
{
    for (const endpoint_entry &entry : split_endpoints(list)) {
        if (!is_tcp(entry.endpoint) || brackets_hold_ipv6(entry.endpoint))
            continue;
        log_line(LOG_ERR, "Parameter \"%s\": \"%s\" is not an endpoint (%s holds no IPv6 address)",
                 key_name, list, entry.endpoint.c_str());
        return false;
    }
    if (endpoints_want_ipv6(list) && !host_speaks_ipv6()) {
        log_line(LOG_ERR, "Parameter \"%s\": \"%s\" needs IPv6, which this host lacks (%d, %s)",
                 key_name, list, errno, strerror(errno));
        return false;
    }
    return true;
}

bool parse_ip_address(const char *text, struct sockaddr_storage *address)
{
    auto *ipv4 = reinterpret_cast<struct sockaddr_in *>(address);
    auto *ipv6 = reinterpret_cast<struct sockaddr_in6 *>(address);
    memset(address, 0, sizeof *address);
    if (!strchr(text, ':')) {
        ipv4->sin_family = AF_INET;
        return inet_pton(AF_INET, text, &ipv4->sin_addr) == 1;
    }
    ipv6->sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, text, &ipv6->sin6_addr) != 1)
        return false;
    if (IN6_IS_ADDR_V4MAPPED(&ipv6->sin6_addr)) {
        struct in_addr mapped;
        memcpy(&mapped, ipv6->sin6_addr.s6_addr + 12, sizeof mapped);
        memset(address, 0, sizeof *address);
        ipv4->sin_family = AF_INET;
        ipv4->sin_addr = mapped;
    }
    return true;
}

void set_endpoint_family(zsock_t *socket, const char *list)
{
    zsock_set_ipv6(socket, endpoints_want_ipv6(list) ? 1 : 0);
}

// The port of text, digits alone, 1 to 65535; 0 for anything else.
static uint16_t parse_port(const std::string &text)
{
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    long port = strtol(text.c_str(), nullptr, 10);
    return port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

uint16_t endpoint_port(const char *endpoint)
{
    std::string text = endpoint;
    size_t colon = text.rfind(':');
    return is_tcp(text) && colon != std::string::npos ? htons(parse_port(text.substr(colon + 1)))
                                                      : 0;
}

bool endpoint_address(const char *endpoint, struct sockaddr_storage *address)
{
    std::string text = endpoint;
    size_t colon = text.rfind(':');
    if (!is_tcp(text) || colon == std::string::npos || text.find(';') != std::string::npos)
        return false;
    std::string host = text.substr(sizeof TCP_SCHEME - 1, colon - (sizeof TCP_SCHEME - 1));
    uint16_t port = parse_port(text.substr(colon + 1));
    memset(address, 0, sizeof *address);
    auto *ipv4 = reinterpret_cast<struct sockaddr_in *>(address);
    auto *ipv6 = reinterpret_cast<struct sockaddr_in6 *>(address);
    if (port == 0)
        return false;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        ipv6->sin6_family = AF_INET6;
        ipv6->sin6_port = htons(port);
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &ipv6->sin6_addr) == 1;
    }
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = htons(port);
    return host == "*" || inet_pton(AF_INET, host.c_str(), &ipv4->sin_addr) == 1;
}

void format_address(const struct sockaddr_storage *address, char *text, size_t size)
{
    char host[INET6_ADDRSTRLEN] = "?";
    auto *ipv4 = reinterpret_cast<const struct sockaddr_in *>(address);
    auto *ipv6 = reinterpret_cast<const struct sockaddr_in6 *>(address);
    bool is_ipv6 = address->ss_family == AF_INET6;
    inet_ntop(address->ss_family,
              is_ipv6 ? static_cast<const void *>(&ipv6->sin6_addr) : &ipv4->sin_addr, host,
              sizeof host);
    snprintf(text, size, is_ipv6 ? "[%s]:%u" : "%s:%u", host,
             static_cast<unsigned>(ntohs(is_ipv6 ? ipv6->sin6_port : ipv4->sin_port)));
}
