// The peer library on real sockets: targets, paced sending, whole-message
// receiving and counting, and the one-line rendering of frames.

#include "peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using namespace std::string_literals;
using Frames = std::vector<std::string>;

TEST(PeerFormat, EachFrameOnOneLineAsTextOrHex)
{
    struct Case {
        Frames frames;
        std::string text, hex;
    } cases[] = {
        {{"hello"}, "\"hello\"", "68656c6c6f"},
        {{""}, "\"\"", "-"},
        {{}, "", ""},
        {{"a b", "c"}, "\"a b\" \"c\"", "612062 63"},
        {{"\x01\x23\x45\x67\x89\xab", ""}, "\"\\x01#Eg\\x89\\xab\" \"\"", "0123456789ab -"},
        {{"say \"hi\"\\"}, "\"say \\\"hi\\\"\\\\\"", "73617920226869225c"},
        {{"line\nnext\ttab\r"}, "\"line\\nnext\\ttab\\x0d\"", "6c696e650a6e657874097461620d"},
        {{"a\0b"s, "\x7f\xff"}, "\"a\\x00b\" \"\\x7f\\xff\"", "610062 7fff"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(peer_format(c.frames, false), c.text);
        EXPECT_EQ(peer_format(c.frames, true), c.hex);
    }
}

TEST(PeerTarget, RejectsMalformedAddressesAndStaysClosed)
{
    for (const char *address : {"udp://127.0.0.1", "udp://:5565", "udp://127.0.0.1:", "udp://",
                                "not-an-endpoint", "tcp://", "udp://127.0.0.1:notaport"}) {
        SCOPED_TRACE(address);
        peer_target_t target;
        std::string error;
        EXPECT_FALSE(peer_target_open(&target, address, 100, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(target.udp_fd, -1);
        EXPECT_EQ(target.push, nullptr);
        peer_target_close(&target); // harmless on a closed target
    }
}

TEST(PeerTarget, UdpSendsTheBytesExactlyOneDatagramPerText)
{
    int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(receiver, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
    getsockname(receiver, reinterpret_cast<struct sockaddr *>(&address), &length);
    struct timeval wait = {2, 0};
    setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

    peer_target_t target;
    std::string error;
    ASSERT_TRUE(peer_target_open(
        &target, "udp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)), 100, &error))
        << error;
    for (const std::string &text : {"a\0b"s, ""s, "#win x"s}) {
        ASSERT_TRUE(peer_send(&target, text));
        char buffer[64];
        ssize_t size = recv(receiver, buffer, sizeof buffer, 0);
        ASSERT_GE(size, 0);
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(size)), text);
    }
    peer_target_close(&target);
    peer_target_close(&target);
    EXPECT_EQ(target.udp_fd, -1);
    close(receiver);
}

TEST(PeerSend, PacedSendingRepeatsTheTextsAtMostAtTheRate)
{
    zsock_t *pull = zsock_new_pull("@inproc://peer-paced");
    ASSERT_NE(pull, nullptr);
    peer_target_t target;
    std::string error;
    ASSERT_TRUE(peer_target_open(&target, ">inproc://peer-paced", 1000, &error)) << error;

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(peer_send_paced(&target, {"a", "bc"}, 5, 100), 5u);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(40)); // four gaps of 10 ms
    peer_tally_t tally;
    Frames received;
    while (auto frames = peer_receive(pull, 1000)) {
        peer_tally_add(&tally, *frames);
        received.push_back(peer_format(*frames, false));
        if (tally.messages == 5)
            break;
    }
    EXPECT_EQ(received, (Frames{"\"a\"", "\"bc\"", "\"a\"", "\"bc\"", "\"a\""}));
    EXPECT_EQ(tally.bytes, 7u);
    EXPECT_EQ(peer_send_paced(&target, {}, 5, 0), 0u); // nothing to send
    peer_target_close(&target);
    zsock_destroy(&pull);
}

TEST(PeerSend, PushWithoutPeerFailsAfterItsTimeout)
{
    peer_target_t target;
    std::string error;
    ASSERT_TRUE(peer_target_open(&target, "@inproc://peer-nobody", 50, &error)) << error;
    EXPECT_EQ(peer_send_paced(&target, {"lost"}, 3, 0), 0u);
    EXPECT_EQ(errno, EAGAIN);
    peer_target_close(&target);
}

TEST(PeerReceive, MultiPartMessageIsOneMessageAndTimeoutIsBounded)
{
    zsock_t *pull = zsock_new_pull("@inproc://peer-parts");
    zsock_t *push = zsock_new_push(">inproc://peer-parts");
    ASSERT_TRUE(pull && push);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(peer_receive(pull, 50), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    zstr_sendx(push, "ts", "", "payload", nullptr);
    auto frames = peer_receive(pull, 2000);
    ASSERT_TRUE(frames);
    EXPECT_EQ(*frames, (Frames{"ts", "", "payload"}));
    peer_tally_t tally;
    peer_tally_add(&tally, *frames);
    EXPECT_EQ(tally.messages, 1u);
    EXPECT_EQ(tally.frames, 3u);
    EXPECT_EQ(tally.bytes, 9u);
    zsock_destroy(&push);
    zsock_destroy(&pull);
}

} // namespace
