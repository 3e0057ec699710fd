// Allow lists on their own, as another key than "/allow" would use them:
// canonical forms, the mapped-address rule, and refused entries.

#include "allow.h"

#include <gtest/gtest.h>

#include <netdb.h>

TEST(AllowList, AdmitsCanonicalAndMappedFormsRefusesWhatIsNotAnAddress)
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
        struct addrinfo numeric = {}, *peer = nullptr;
        numeric.ai_flags = AI_NUMERICHOST;
        ASSERT_EQ(getaddrinfo(c.peer, nullptr, &numeric, &peer), 0) << c.peer;
        EXPECT_EQ(allow_list_admits(&list, peer->ai_addr), c.admitted) << c.list << " / " << c.peer;
        freeaddrinfo(peer);
        EXPECT_EQ(allow_list_admits_text(&list, c.peer), c.admitted) << c.list << " / " << c.peer;
    }
    allow_list_t list;
    for (const char *value : {"fe80::1%lo", "127.0.0.1 localhost", "127.1", ", ", "::g"})
        EXPECT_FALSE(parse_allow_list("/metrics_allow", value, &list)) << value;
    ASSERT_TRUE(parse_allow_list("/metrics_allow", "::1", &list));
    struct sockaddr_storage unix_peer = {};
    unix_peer.ss_family = AF_UNIX;
    EXPECT_FALSE(allow_list_admits(&list, reinterpret_cast<struct sockaddr *>(&unix_peer)));
    EXPECT_FALSE(allow_list_admits_text(&list, "[::1]"));
}
