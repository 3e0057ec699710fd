// The two message-processor routes: backyard texts, timestamped records and
// the overflow latch they share.

#include "harness.h"

#include <gtest/gtest.h>

using namespace harness;
using namespace std::string_literals;

namespace
{

using Frames = std::vector<std::string>;
using Lines = std::vector<LogLine>;

LogLine err(const std::string &text)
{
    return daemon_line(LOG_ERR, text);
}

// A message processor the test holds: bound here, the daemon connects to it.
struct Processor {
    int port = free_tcp_port();
    zsock_t *pull = zsock_new_pull(("@" + tcp_endpoint(port)).c_str());
    ~Processor()
    {
        zsock_destroy(&pull);
    }
    std::string endpoint() const
    {
        return ">" + tcp_endpoint(port);
    }
};

const std::string TS = "0123456789ab";
const Frames TS_FRAME = {"\x01\x23\x45\x67\x89\xab"s};

Frames record(const std::string &payload)
{
    return {TS_FRAME[0], payload};
}

} // namespace

TEST(Backyard, DeliversTheTextAfterThePrefixAsOneFrame)
{
    Processor backyard;
    Relay relay;
    relay.config.keys["message_processor_backyard"] = backyard.endpoint();
    ASSERT_TRUE(relay.start());
    for (const std::string &text :
         {"#jwin abc"s, "#jwin "s, "#jwin  x"s, "#jwin a\0b"s, "#jwinx"s, "#jwin"s})
        relay.push(text);
    for (const Frames &expected : {Frames{"abc"}, Frames{""}, Frames{" x"}, Frames{"a"}})
        EXPECT_EQ(receive(backyard.pull), expected);
    EXPECT_EQ(receive_text(relay.publisher), "#jwinx"); // no space: not the route
    EXPECT_EQ(receive_text(relay.publisher), "#jwin");
    EXPECT_EQ(relay.stop(), 0);
    EXPECT_EQ(relay.daemon->new_lines(), Lines{daemon_line(LOG_INFO, "Exiting")});
}

TEST(Backyard, RefusedSendsAreReportedOnceUntilOneIsAccepted)
{
    int port = free_tcp_port();
    Relay relay;
    relay.config.keys["message_processor_backyard"] = "@" + tcp_endpoint(port);
    ASSERT_TRUE(relay.start());
    for (int i = 0; i < 100; i++) // bound without a peer: refused at once
        relay.push("#jwin lost " + std::to_string(i));
    ASSERT_TRUE(relay.sync());
    EXPECT_EQ(relay.daemon->new_lines(), Lines{err("Overflow message processor backyard queue!")});

    zsock_t *pull = zsock_new_pull((">" + tcp_endpoint(port)).c_str());
    std::optional<Frames> first;
    for (int i = 0; i < 250 && !first; i++) { // until the processor is attached
        relay.push("#jwin first");
        first = receive(pull, 20);
    }
    ASSERT_EQ(first, Frames{"first"});
    for (int i = 0; i < 10; i++)
        relay.push("#jwin later");
    ASSERT_TRUE(relay.sync());
    EXPECT_EQ(relay.stop(), 0);
    EXPECT_EQ(relay.daemon->new_lines(), (Lines{err("Exemption message processor backyard queue!"),
                                                daemon_line(LOG_INFO, "Exiting")}));
    zsock_destroy(&pull);
}

TEST(Backyard, ConnectingSocketQueuesSilentlyAndNeverDelaysOtherRoutes)
{
    int port = free_tcp_port();
    Relay relay;
    relay.config.keys["message_processor_backyard"] = ">" + tcp_endpoint(port);
    ASSERT_TRUE(relay.start());
    for (int i = 0; i < 50; i++)
        relay.push("#jwin " + std::to_string(i));
    ASSERT_TRUE(relay.sync());
    EXPECT_EQ(relay.daemon->new_lines(), Lines{}); // queued, not refused

    zsock_t *pull = zsock_new_pull(("@" + tcp_endpoint(port)).c_str());
    for (int i = 0; i < 50; i++)
        ASSERT_EQ(receive(pull, 5000), Frames{std::to_string(i)});
    zsock_destroy(&pull);

    // The processor is gone again: once its queue is full the sends are
    // refused at once, and the publishers keep being served.
    for (int i = 0; i < 5000; i++) {
        relay.push("#jwin " + std::to_string(i));
        if (i % 1000 == 0)
            relay.push("plain " + std::to_string(i));
    }
    for (int i = 0; i < 5000; i += 1000)
        ASSERT_EQ(receive_text(relay.publisher, 5000), "plain " + std::to_string(i));
    EXPECT_EQ(relay.daemon->new_lines(), Lines{err("Overflow message processor backyard queue!")});
}

TEST(Records, AreCheckedDecodedAndPushedAsTwoFrames)
{
    std::string long_payload_hex, long_payload;
    for (int i = 0; i < 40000; i++) {
        long_payload_hex += "0123456789abcdefABCDEF"[i * 7 % 22];
        if (i % 2)
            long_payload +=
                static_cast<char>(std::stoi(long_payload_hex.substr(i - 1, 2), nullptr, 16));
    }
    const std::string size = "send_data: wrong size of input data!";
    const std::string bad_ts = "send_data: string_to_uint8_arr: wrong timestamp!";
    const std::string bad_data = "send_data: string_to_uint8_arr: wrong data!";
    auto invalid = [](const char *code) {
        return err(std::string("string_to_uint8_arr: Invalid input data: [") + code + "]");
    };
    struct Case {
        std::string record; // after "#oldmp "
        std::optional<Frames> delivered;
        Lines lines;
    } cases[] = {
        {TS + "|0a0B", record("\x0a\x0b"), {}},
        {"0123456789AB ", record(""), {}},
        {"0123456789AB", std::nullopt, {err(size)}},
        {"", std::nullopt, {err(size)}},
        {TS + " abc", record("\xab"), {}},
        {TS + " 5", record(""), {}},
        {TS + "\xe9" + "00ff", record("\x00\xff"s), {}}, // the separator is never examined
        {TS + " abZ", std::nullopt, {invalid("5A"), err(bad_data)}},
        {TS + " Z", std::nullopt, {invalid("5A"), err(bad_data)}},
        {TS + " 0\xe9", std::nullopt, {invalid("FFFFFFE9"), err(bad_data)}},
        {TS + " \x01\x01", std::nullopt, {invalid("01"), err(bad_data)}},
        {"0123456789aG 00", std::nullopt, {invalid("47"), err(bad_ts)}},
        {"0123 56789ab 00", std::nullopt, {invalid("20"), err(bad_ts)}},
        {"\xe9"
         "123456789ab 00",
         std::nullopt,
         {invalid("FFFFFFE9"), err(bad_ts)}},
        {"0123456789abc", record(""), {}},
        {TS + " " + long_payload_hex, record(long_payload), {}},
        {TS + " " + long_payload_hex.substr(0, 3001) + "g" + long_payload_hex,
         std::nullopt,
         {invalid("67"), err(bad_data)}},
    };
    Processor processor;
    Relay relay;
    relay.config.keys["message_processor"] = processor.endpoint();
    ASSERT_TRUE(relay.start());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.record.substr(0, 40));
        relay.push("#oldmp " + c.record);
        ASSERT_TRUE(relay.sync());
        if (c.delivered) {
            EXPECT_EQ(receive(processor.pull), c.delivered);
        }
        EXPECT_EQ(relay.daemon->new_lines(), c.lines);
    }
    EXPECT_EQ(receive(processor.pull, 100), std::nullopt); // nothing else, nothing twice
}

TEST(Latch, OneLatchForBothQueues)
{
    enum Input { RECORD, BACKYARD };
    const std::string mp_over = "Overflow message processor queue!";
    const std::string mp_exempt = "Exemption message processor queue!";
    const std::string by_over = "Overflow message processor backyard queue!";
    const std::string by_exempt = "Exemption message processor backyard queue!";
    struct Step {
        Input input;
        std::optional<std::string> logged;
    };
    struct Scenario {
        bool record_queue_refuses, backyard_queue_refuses;
        std::vector<Step> steps;
    } scenarios[] = {
        {true,
         false,
         {{RECORD, mp_over},
          {RECORD, {}},
          {BACKYARD, by_exempt},
          {BACKYARD, {}},
          {RECORD, mp_over}}},
        {false, true, {{BACKYARD, by_over}, {BACKYARD, {}}, {RECORD, mp_exempt}, {RECORD, {}}}},
        {true, true, {{RECORD, mp_over}, {BACKYARD, {}}, {RECORD, {}}}},
    };
    for (const Scenario &s : scenarios) {
        Processor records, backyard;
        Relay relay;
        relay.config.keys["message_processor"] =
            s.record_queue_refuses ? "@" + tcp_endpoint(free_tcp_port()) : records.endpoint();
        relay.config.keys["message_processor_backyard"] =
            s.backyard_queue_refuses ? "@" + tcp_endpoint(free_tcp_port()) : backyard.endpoint();
        ASSERT_TRUE(relay.start());
        for (size_t i = 0; i < s.steps.size(); i++) {
            SCOPED_TRACE("step " + std::to_string(i));
            relay.push(s.steps[i].input == RECORD ? "#oldmp " + TS + " 00" : "#jwin x"s);
            ASSERT_TRUE(relay.sync());
            EXPECT_EQ(relay.daemon->new_lines(),
                      s.steps[i].logged ? Lines{err(*s.steps[i].logged)} : Lines{});
        }
    }
}
