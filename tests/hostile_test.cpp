// Hostile configuration files and inputs, and faults of the event loop
// provoked by the poll shim: each has its documented outcome, and the daemon
// keeps serving afterwards.

#include "harness.h"

#include <gtest/gtest.h>

using namespace harness;
using namespace std::string_literals;

namespace
{

using Lines = std::vector<LogLine>;
using Frames = std::vector<std::string>;

LogLine err(const std::string &text)
{
    return daemon_line(LOG_ERR, text);
}

std::string all_keys_without_values()
{
    return "pidfile\npublisher\ngatewaypublisher\nsubscriber\nudpport\nmessage_processor\n"
           "message_processor_backyard\nbuffer_size\n";
}

std::string binary_bytes()
{
    std::string bytes;
    for (int i = 0; i < 512; i++)
        bytes += static_cast<char>(i * 37 % 256);
    return bytes;
}

const std::string SHIM = std::string("LD_PRELOAD=") + POLL_SHIM;

} // namespace

TEST(HostileConfig, FilesEndWithTheirDocumentedMessage)
{
    const std::string missing_pidfile =
        "Parameter \"/pidfile\" is not found in the configuration file!";
    struct Case {
        std::string content;
        std::string logged;
    } cases[] = {
        {binary_bytes(), "Error in the configuration file!"},
        {"\xef\xbb\xbf\x00\x00"s, "Error in the configuration file!"},
        {"=\n", "Error in the configuration file!"},
        {"outer\n    inner\n        pidfile = \"x\"\n", missing_pidfile},
        {"# only a comment\n", missing_pidfile},
        // Keys without values are empty texts: the first endpoint fails.
        {all_keys_without_values(), "create_sockets: zsock_bind: 22, Invalid argument"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.logged);
        TempDir dir;
        write_file(dir.file("hostile.cfg"), c.content);
        Daemon daemon({"-c", dir.file("hostile.cfg")});
        EXPECT_EQ(daemon.wait_exit(), 1);
        EXPECT_EQ(daemon.lines(), (Lines{start_line(), err(c.logged)}));
        EXPECT_EQ(daemon.stdout_text(), "");
    }
}

TEST(HostileConfig, ValuesAreNeverFormatsAndDuplicatesTakeTheFirst)
{
    struct Case {
        const char *key;
        std::string value;
        std::string logged;
    } cases[] = {
        {"subscriber", "%s%n%n%n%s", "create_sockets: zsock_bind: 22, Invalid argument"},
        {"publisher", "tcp://%s%n:%d", "create_sockets: zsock_bind: 22, Invalid argument"},
        {"message_processor", "%s%n%n%n", "create_sockets: zsock_new_push: 22, Invalid argument"},
        {"message_processor_backyard", ">%n%s,@%n",
         "create_sockets: zsock_new_push: 22, Invalid argument"},
        {"pidfile", "/nonexistent/%s%n%n",
         "unable to create pid file /nonexistent/%s%n%n, code=2 (No such file or directory)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        TempDir dir;
        Config config(dir);
        config.keys[c.key] = c.value;
        Daemon daemon({"-c", config.write(dir)});
        EXPECT_EQ(daemon.wait_exit(), 1);
        EXPECT_EQ(daemon.lines(), (Lines{start_line(), err(c.logged)}));
    }

    // A key given twice: the first one counts.
    TempDir dir;
    Config config(dir);
    std::string text = config.text() + "pidfile = \"" + dir.file("second.pid") + "\"\n";
    write_file(dir.file("twice.cfg"), text);
    Daemon daemon({"-c", dir.file("twice.cfg")});
    ASSERT_TRUE(wait_ready(daemon, dir.file("vostrelld.pid")));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(), 0);
}

TEST(HostileInput, BinaryHugeAndCutTextsAreRelayedExactly)
{
    std::string huge(8 << 20, 'x');
    for (size_t i = 0; i < huge.size(); i += 4099)
        huge[i] = static_cast<char>(0x80 + i % 128);
    std::string huge_record = "#oldmp 0123456789ab ", huge_payload;
    for (size_t i = 0; i < (4u << 20); i++) {
        huge_record += "0123456789abcdef"[i % 16];
        if (i % 2)
            huge_payload += static_cast<char>(((i - 1) % 16) << 4 | (i % 16));
    }
    int processor_port = free_tcp_port(), backyard_port = free_tcp_port();
    zsock_t *processor = zsock_new_pull(("@" + tcp_endpoint(processor_port)).c_str());
    zsock_t *backyard = zsock_new_pull(("@" + tcp_endpoint(backyard_port)).c_str());
    Relay relay;
    relay.config.keys["message_processor"] = ">" + tcp_endpoint(processor_port);
    relay.config.keys["message_processor_backyard"] = ">" + tcp_endpoint(backyard_port);
    ASSERT_TRUE(relay.start());

    relay.push("\x01\x1b[31m\x7f\x80\xfe\xff");
    EXPECT_EQ(receive_text(relay.publisher), "\x01\x1b[31m\x7f\x80\xfe\xff");
    relay.push("#win \xff\x00tail"s);
    EXPECT_EQ(receive_text(relay.gateway), "\xff");
    relay.push("#jwin \x80\x1b\x01");
    EXPECT_EQ(receive(backyard), Frames{"\x80\x1b\x01"});
    relay.send_udp(std::string(65507, 'u')); // cut to "/buffer_size"
    EXPECT_EQ(receive_text(relay.publisher), std::string(2048, 'u'));
    relay.push(huge);
    EXPECT_EQ(receive_text(relay.publisher, 10000), huge);
    relay.push("#jwin " + huge);
    EXPECT_EQ(receive(backyard, 10000), Frames{huge});
    relay.push(huge_record);
    EXPECT_EQ(receive(processor, 10000), (Frames{"\x01\x23\x45\x67\x89\xab", huge_payload}));
    ASSERT_TRUE(relay.sync());
    EXPECT_EQ(relay.daemon->new_lines(), Lines{});
    zsock_destroy(&processor);
    zsock_destroy(&backyard);
}

TEST(LoopFaults, PollErrorsNeverDropAnInput)
{
    Relay relay;
    ASSERT_TRUE(relay.start({SHIM, "POLL_SHIM_FD_ERROR=1"}));
    for (int i = 0; i < 20; i++) { // every readiness of the UDP socket comes with an error
        relay.send_udp("datagram " + std::to_string(i));
        ASSERT_EQ(receive_text(relay.publisher), "datagram " + std::to_string(i));
    }
    EXPECT_EQ(relay.daemon->new_lines(), Lines{});
}

TEST(LoopFaults, ReadinessWithoutADatagramNeverBlocks)
{
    Relay relay;
    ASSERT_TRUE(relay.start({SHIM, "POLL_SHIM_SPURIOUS_FD=1"}));
    // Each inbound text also makes the UDP socket look readable, empty.
    for (int i = 0; i < 5; i++) {
        relay.push("inbound " + std::to_string(i));
        ASSERT_EQ(receive_text(relay.publisher), "inbound " + std::to_string(i));
    }
    relay.send_udp("datagram");
    EXPECT_EQ(receive_text(relay.publisher), "datagram");
    const LogLine would_block =
        err("udp_socket_handler: udp_socket_handler: 11, Resource temporarily unavailable");
    EXPECT_EQ(relay.daemon->new_lines(), Lines(5, would_block));
}
