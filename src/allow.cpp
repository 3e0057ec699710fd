#include "allow.h"

#include "log.h"

#include <arpa/inet.h>
#include <cstring>
#include <string>

static const char SEPARATORS[] = " \t,";

// The IPv4 address that a mapped IPv6 address carries.
static in_addr_t mapped_ipv4(const struct in6_addr *address)
{
    in_addr_t ipv4;
    memcpy(&ipv4, address->s6_addr + 12, sizeof ipv4);
    return ipv4;
}

// Adds entry to out; false where it is not an address.
static bool add_entry(const std::string &entry, allow_list_t *out)
{
    struct in_addr ipv4;
    struct in6_addr ipv6;
    if (inet_pton(AF_INET, entry.c_str(), &ipv4) == 1)
        out->ipv4.push_back(ipv4.s_addr);
    else if (inet_pton(AF_INET6, entry.c_str(), &ipv6) != 1)
        return false;
    else if (IN6_IS_ADDR_V4MAPPED(&ipv6))
        out->ipv4.push_back(mapped_ipv4(&ipv6));
    else
        out->ipv6.push_back(ipv6);
    return true;
}

static size_t ipv4_slot(const allow_list_t *list, uint32_t address)
{
    return (address * 2654435761u) >> list->shift; // Knuth's multiplicative hash
}

// Makes the table of the IPv4 addresses.
static void hash_ipv4(allow_list_t *list)
{
    unsigned bits = 1;
    while ((1u << bits) < 2 * list->ipv4.size())
        bits++;
    list->slots.assign(size_t{1} << bits, 0);
    list->shift = 32 - bits;
    for (uint32_t address : list->ipv4) {
        if (address == 0) {
            list->any_address = true;
            continue;
        }
        size_t slot = ipv4_slot(list, address);
        while (list->slots[slot] != 0 && list->slots[slot] != address)
            slot = (slot + 1) & (list->slots.size() - 1);
        list->slots[slot] = address;
    }
}

bool parse_allow_list(const char *key_name, const char *value, allow_list_t *out)
{
    *out = allow_list_t();
    std::string list = value;
    for (size_t start = list.find_first_not_of(SEPARATORS); start != std::string::npos;
         start = list.find_first_not_of(SEPARATORS, start)) {
        size_t end = list.find_first_of(SEPARATORS, start);
        std::string entry = list.substr(start, end - start);
        start = end;
        if (add_entry(entry, out))
            continue;
        log_line(LOG_ERR, "Parameter \"%s\": \"%s\" is not an IP address%s", key_name,
                 entry.c_str(),
                 entry.find('%') != std::string::npos ? " (zones are not taken)" : "");
        return false;
    }
    if (out->ipv4.empty() && out->ipv6.empty()) {
        log_line(LOG_ERR, "Parameter \"%s\": \"%s\" is not an IP address", key_name, value);
        return false;
    }
    hash_ipv4(out);
    return true;
}

static bool admits_ipv4(const allow_list_t *list, in_addr_t address)
{
    if (address == 0)
        return list->any_address;
    size_t slot = ipv4_slot(list, address);
    while (list->slots[slot] != address) {
        if (list->slots[slot] == 0)
            return false;
        slot = (slot + 1) & (list->slots.size() - 1);
    }
    return true;
}

// mapped_ipv4_admitted: whether a mapped address may count as its IPv4 one.
static bool admits_ipv6(const allow_list_t *list, const struct in6_addr *address,
                        bool mapped_ipv4_admitted = true)
{
    if (IN6_IS_ADDR_V4MAPPED(address))
        return mapped_ipv4_admitted && admits_ipv4(list, mapped_ipv4(address));
    for (const struct in6_addr &entry : list->ipv6)
        if (IN6_ARE_ADDR_EQUAL(&entry, address))
            return true;
    return false;
}

bool allow_list_admits(const allow_list_t *list, const struct sockaddr *address)
{
    if (address->sa_family == AF_INET)
        return admits_ipv4(list,
                           reinterpret_cast<const struct sockaddr_in *>(address)->sin_addr.s_addr);
    return address->sa_family == AF_INET6 &&
           admits_ipv6(list, &reinterpret_cast<const struct sockaddr_in6 *>(address)->sin6_addr);
}

bool allow_list_admits_datagram(const allow_list_t *list, const struct sockaddr *source,
                                bool came_over_ipv4)
{
    if (source->sa_family == AF_INET)
        return admits_ipv4(list,
                           reinterpret_cast<const struct sockaddr_in *>(source)->sin_addr.s_addr);
    return source->sa_family == AF_INET6 &&
           admits_ipv6(list, &reinterpret_cast<const struct sockaddr_in6 *>(source)->sin6_addr,
                       came_over_ipv4);
}

bool allow_list_admits_text(const allow_list_t *list, const char *address)
{
    struct in_addr ipv4;
    struct in6_addr ipv6;
    if (inet_pton(AF_INET, address, &ipv4) == 1)
        return admits_ipv4(list, ipv4.s_addr);
    return inet_pton(AF_INET6, address, &ipv6) == 1 && admits_ipv6(list, &ipv6);
}
