// Routing of texts received over UDP and on the inbound endpoint.

#include "harness.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <unistd.h>

using namespace harness;

namespace
{

enum Output { PUBLISHER, GATEWAY };

struct Route {
    std::string input;
    Output output;
    std::string published;
};

std::string pattern(size_t size)
{
    std::string bytes(size, ' ');
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

// Local UDP ports of the sockets that process pid holds.
std::vector<int> udp_ports_of(pid_t pid)
{
    std::vector<std::string> inodes;
    std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(fd_dir.c_str());
    while (struct dirent *entry = dir ? readdir(dir) : nullptr) {
        char target[256] = {};
        std::string link = fd_dir + "/" + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
            strncmp(target, "socket:[", 8) == 0)
            inodes.push_back(std::string(target + 8, strlen(target) - 9));
    }
    if (dir)
        closedir(dir);
    std::vector<int> ports;
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        char local[64];
        unsigned long inode;
        if (sscanf(line.c_str(), "%*d: %63s %*s %*s %*s %*s %*s %*s %*s %lu", local, &inode) == 2 &&
            std::find(inodes.begin(), inodes.end(), std::to_string(inode)) != inodes.end())
            ports.push_back(static_cast<int>(strtol(strchr(local, ':') + 1, nullptr, 16)));
    }
    return ports;
}

} // namespace

TEST(Routes, PrefixDecidesThePublisherOverBothInputs)
{
    using namespace std::string_literals;
    const Route routes[] = {
        {"hello", PUBLISHER, "hello"},
        {"#win abc", GATEWAY, "abc"},
        {"#win ", GATEWAY, ""},
        {"#win  two spaces", GATEWAY, " two spaces"},
        {"#win", PUBLISHER, "#win"},
        {"#winabc", PUBLISHER, "#winabc"},
        {"#WIN abc", PUBLISHER, "#WIN abc"},
        {"win abc", PUBLISHER, "win abc"},
        {" #win abc", PUBLISHER, " #win abc"},
        {"#jwinx", PUBLISHER, "#jwinx"},
        {"#jwin", PUBLISHER, "#jwin"},
        {"#oldmp", PUBLISHER, "#oldmp"},
        {"#oldmpx", PUBLISHER, "#oldmpx"},
        {"\0abc"s, PUBLISHER, ""},
        {"ab\0cd"s, PUBLISHER, "ab"},
        {"#win a\0b"s, GATEWAY, "a"},
        {"\xe9\x01\x7f\xff bytes", PUBLISHER, "\xe9\x01\x7f\xff bytes"},
    };
    Relay relay;
    ASSERT_TRUE(relay.start());
    for (bool over_udp : {true, false}) {
        SCOPED_TRACE(over_udp ? "udp" : "inbound");
        std::vector<std::string> expected[2];
        for (const Route &route : routes) {
            over_udp ? relay.send_udp(route.input) : relay.push(route.input);
            expected[route.output].push_back(route.published);
        }
        over_udp ? relay.send_udp("end") : relay.push("end");
        over_udp ? relay.send_udp("#win end") : relay.push("#win end");
        EXPECT_EQ(read_until(relay.publisher, "end"), expected[PUBLISHER]);
        EXPECT_EQ(read_until(relay.gateway, "end"), expected[GATEWAY]);
    }
    EXPECT_EQ(relay.stop(), 0);
    EXPECT_EQ(relay.daemon->lines(),
              (std::vector<LogLine>{start_line(), daemon_line(LOG_INFO, "Exiting")}));
}

TEST(Routes, EmptyInputs)
{
    Relay relay;
    ASSERT_TRUE(relay.start());
    relay.send_udp(""); // dropped without a word
    relay.send_udp("after");
    EXPECT_EQ(receive_text(relay.publisher), "after");
    relay.push(""); // an empty frame is an empty text
    EXPECT_EQ(receive_text(relay.publisher), "");
    EXPECT_EQ(relay.stop(), 0);
    EXPECT_EQ(relay.daemon->lines(),
              (std::vector<LogLine>{start_line(), daemon_line(LOG_INFO, "Exiting")}));
}

TEST(Udp, BufferSizeIsClampedAndCutsLongerDatagrams)
{
    struct Case {
        std::string value;
        size_t effective;
    } cases[] = {
        {"100", 2048},          {"2048", 2048},         {"4096", 4096},        {"65507", 65507},
        {"70000", 65507},       {"letters", 2048},      {" \t+3000xyz", 3000}, {"-5", 2048},
        {"99999999999", 65507}, {"-99999999999", 2048},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        Relay relay;
        relay.config.keys["buffer_size"] = c.value;
        ASSERT_TRUE(relay.start());
        std::string whole = pattern(c.effective);
        relay.send_udp(whole);
        EXPECT_EQ(receive_text(relay.publisher), whole);
        if (c.effective < 65507) { // the largest IPv4 datagram cannot grow
            relay.send_udp(whole + "Z");
            EXPECT_EQ(receive_text(relay.publisher), whole);
        }
    }
}

TEST(Udp, PortIsReducedToSixteenBits)
{
    int port = free_udp_port();
    struct Case {
        std::string value;
        int bound; // 0: any port the system chooses
    } cases[] = {
        {std::to_string(port + 65536), port},
        {" " + std::to_string(port) + "junk", port},
        {std::to_string(port + 5 * 65536), port},
        {"0", 0},
        {"none", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        Relay relay;
        relay.config.keys["udpport"] = c.value;
        ASSERT_TRUE(relay.launch());
        std::vector<int> ports = udp_ports_of(relay.pid());
        ASSERT_EQ(ports.size(), 1u);
        EXPECT_EQ(c.bound ? ports[0] == c.bound : ports[0] != 0, true) << ports[0];
        relay.config.udp_port = ports[0];
        ASSERT_TRUE(relay.connect()); // datagrams to that port are relayed
        EXPECT_EQ(relay.stop(), 0);
        EXPECT_EQ(relay.daemon->lines().size(), 2u);
    }
}
