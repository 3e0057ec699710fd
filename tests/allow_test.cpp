// Allow lists on their own, as another key than "/allow" would use them:
// canonical forms, the mapped-address rule, and refused entries.

#include "allow.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>

// The socket address of text, of the family its form says.
static struct sockaddr_storage address_of(const char *text)
{
    struct sockaddr_storage address;
    memset(&address, 0, sizeof address);
    auto *ipv4 = reinterpret_cast<struct sockaddr_in *>(&address);
    auto *ipv6 = reinterpret_cast<struct sockaddr_in6 *>(&address);
    if (inet_pton(AF_INET, text, &ipv4->sin_addr) == 1)
        address.ss_family = AF_INET;
    else if (inet_pton(AF_INET6, text, &ipv6->sin6_addr) == 1)
        address.ss_family = AF_INET6;
    return address;
}

TEST(AllowList, AdmitsCanonicalAndMappedFormsOfEachEntry)
{
    const struct {
        const char *list, *peer;
        bool admitted;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "::ffff:127.0.0.1", true}, // an IPv4 peer of a dual-stack socket
        {"127.0.0.1", "127.0.0.2", false},
        {"127.0.0.1", "::1", false},
        {"0::1", "::1", true},
        {"::1", "0:0:0:0:0:0:0:1", true},
        {"::ffff:127.0.0.1", "127.0.0.1", true}, // a mapped entry is its IPv4 address
        {"2001:DB8::7, 10.0.0.1", "2001:db8::7", true},
        {"::1", "::ffff:0.0.0.1", false},
        {"0.0.0.0", "::", false},
        {"::", "::", true},
    };
    for (const auto &c : cases) {
        allow_list_t list;
        ASSERT_TRUE(parse_allow_list("/metrics_allow", c.list, &list)) << c.list;
        struct sockaddr_storage peer = address_of(c.peer);
        EXPECT_EQ(allow_list_admits(&list, reinterpret_cast<struct sockaddr *>(&peer)), c.admitted)
            << c.list << " / " << c.peer;
        EXPECT_EQ(allow_list_admits_text(&list, c.peer), c.admitted) << c.list << " / " << c.peer;
    }
}

TEST(AllowList, RefusesWhatIsNotAnAddress)
{
    allow_list_t list;
    for (const char *value : {"fe80::1%lo", "127.0.0.1 localhost", "127.1", ", ", "::g"})
        EXPECT_FALSE(parse_allow_list("/metrics_allow", value, &list)) << value;
    ASSERT_TRUE(parse_allow_list("/metrics_allow", "::1", &list));
    struct sockaddr_storage unix_peer = {};
    unix_peer.ss_family = AF_UNIX;
    EXPECT_FALSE(allow_list_admits(&list, reinterpret_cast<struct sockaddr *>(&unix_peer)));
    EXPECT_FALSE(allow_list_admits_text(&list, "[::1]"));
}
