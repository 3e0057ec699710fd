// The tap tool against the real daemon: sending over UDP and to the inbound
// endpoint, watching the publishers, acting as either message processor, and
// how it ends.

#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace harness;

namespace
{

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// One run of the tap tool, its standard input taken from input.
class Tap : public Process
{
  public:
    explicit Tap(const std::vector<std::string> &args, const std::string &input = "")
        : Process(tap_argv(args), {}, input)
    {
    }
    static std::vector<std::string> tap_argv(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {TAP_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    std::string err() const
    {
        return stderr_text();
    }
    Lines lines() const
    {
        Lines lines;
        std::istringstream out(stdout_text());
        for (std::string line; std::getline(out, line);)
            lines.push_back(line);
        return lines;
    }
    // Waits until the tool has printed a line equal to line.
    bool wait_line(const std::string &line, int timeout_ms = 5000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            Lines now = lines();
            if (std::find(now.begin(), now.end(), line) != now.end())
                return true;
            if (Clock::now() >= deadline || wait_exit(0) != -1)
                return false;
            usleep(2000);
        }
    }
    // Waits until the tool catches SIGTERM, so that a signal ends it cleanly
    // instead of killing it.
    bool wait_catches_sigterm(int timeout_ms = 5000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
            for (std::string line; std::getline(status, line);)
                if (line.compare(0, 7, "SigCgt:") == 0 &&
                    (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1))
                    return true;
            usleep(2000);
        }
        return false;
    }
};

// Calls send every 20 ms until tap exits; tap's exit status, or -1.
int feed_until_exit(Tap &tap, const std::function<void()> &send, int timeout_ms = 5000)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
        send();
        int status = tap.wait_exit(20);
        if (status != -1)
            return status;
    }
    return -1;
}

} // namespace

TEST(TapSend, DeliversEachTextOverUdpAndToTheInboundEndpoint)
{
    Relay relay;
    ASSERT_TRUE(relay.start());
    const std::string udp = "udp://127.0.0.1:" + std::to_string(relay.config.udp_port);
    const std::string inbound = tcp_endpoint(relay.config.subscriber_port);
    struct Case {
        std::vector<std::string> args;
        std::string input;
        Lines published, gateway;
    } cases[] = {
        {{"send", udp, "hello", "#win to gateway", "say \"hi\" #x"},
         "",
         {"hello", "say \"hi\" #x"},
         {"to gateway"}},
        {{"send", inbound, "hello", "#win to gateway"}, "", {"hello"}, {"to gateway"}},
        // The daemon drops an empty datagram but relays an empty frame.
        {{"send", udp},
         "line one\n#win line two\n\nline four",
         {"line one", "line four"},
         {"line two"}},
        {{"send", inbound}, "a\n\nb\n", {"a", "", "b"}, {}},
        {{"send", "-n", "5", "-r", "200", udp, "a", "b"}, "", {"a", "b", "a", "b", "a"}, {}},
        {{"send", "-n", "3", inbound, "#win c"}, "", {}, {"c", "c", "c"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Tap tap(c.args, c.input);
        EXPECT_EQ(tap.wait_exit(), 0);
        EXPECT_EQ(tap.err(), "");
        EXPECT_EQ(tap.lines(), Lines{});
        relay.send_udp("end");
        relay.send_udp("#win end");
        EXPECT_EQ(read_until(relay.publisher, "end"), c.published);
        EXPECT_EQ(read_until(relay.gateway, "end"), c.gateway);
    }
    EXPECT_EQ(relay.stop(), 0);
}

TEST(TapCommandLine, WrongUsageAndFailuresExitNonZero)
{
    std::string nobody = tcp_endpoint(free_tcp_port());
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{}, 2, "Usage: vostrelld-tap send"},
        {{"bogus"}, 2, "Usage:"},
        {{"send"}, 2, "Usage:"},
        {{"send", "-n", "0", "udp://127.0.0.1:9", "x"}, 2, "-n: invalid value '0'"},
        {{"send", "-r", "-1", "udp://127.0.0.1:9", "x"}, 2, "-r: invalid value '-1'"},
        {{"send", "-t", "soon", "udp://127.0.0.1:9", "x"}, 2, "-t: invalid value 'soon'"},
        {{"watch"}, 2, "Usage:"},
        {{"watch", "-r", "5", nobody}, 2, "Usage:"},
        {{"pull", "-s", "x", nobody}, 2, "Usage:"},
        {{"pull", nobody, nobody}, 2, "Usage:"},
        {{"send", "udp://127.0.0.1", "x"}, 1, "expected udp://HOST:PORT"},
        {{"send", "-t", "0.2", nobody, "x"},
         1,
         "send to " + nobody + ": Resource temporarily unavailable (0 of 1 sent)"},
        {{"pull", "not-an-endpoint"}, 1, "not-an-endpoint: Invalid argument"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Tap tap(c.args);
        EXPECT_EQ(tap.wait_exit(), c.status);
        EXPECT_NE(tap.err().find(c.err), std::string::npos) << tap.err();
        EXPECT_EQ(tap.lines(), Lines{});
    }
}

TEST(TapWatch, PrintsEachPublishedMessageAsTextOrHexAndCountsThem)
{
    Relay relay;
    ASSERT_TRUE(relay.start());
    const std::string publisher = tcp_endpoint(relay.config.publisher_port);
    const std::string gateway = tcp_endpoint(relay.config.gateway_port);
    // Texts go out through the daemon, "#win " ones to the gateway. The probe
    // and the end mark are printed as probe_line and end_line.
    struct Case {
        std::vector<std::string> options;
        std::string endpoint, probe, probe_line, end, end_line;
        Lines sent, printed;
    } cases[] = {
        {{},
         publisher,
         "probe",
         "\"probe\"",
         "end",
         "\"end\"",
         {"plain text", "tab\there", "q\"b\\", "\x01\x7f\xe9"},
         {"\"plain text\"", "\"tab\\there\"", "\"q\\\"b\\\\\"", "\"\\x01\\x7f\\xe9\""}},
        {{"-x"},
         publisher,
         "probe",
         "70726f6265",
         "end",
         "656e64",
         {"AB", "\x01\x7f\xe9"},
         {"4142", "017fe9"}},
        {{"-x"},
         gateway,
         "#win probe",
         "70726f6265",
         "#win end",
         "656e64",
         {"#win ", "#win ab"},
         {"-", "6162"}},
        {{"-s", "keep"},
         publisher,
         "keep probe",
         "\"keep probe\"",
         "keep end",
         "\"keep end\"",
         {"drop 1", "keep 1", "Keep 2", "keep 3"},
         {"\"keep 1\"", "\"keep 3\""}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options) + " " + c.endpoint);
        std::vector<std::string> args = {"watch"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(c.endpoint);
        Tap tap(args);
        // The subscription takes effect some time after the start: probe
        // until it does.
        auto deadline = Clock::now() + std::chrono::seconds(5);
        do
            relay.send_udp(c.probe);
        while (!tap.wait_line(c.probe_line, 20) && Clock::now() < deadline);
        for (const std::string &text : c.sent)
            relay.send_udp(text);
        relay.send_udp(c.end);
        ASSERT_TRUE(tap.wait_line(c.end_line));
        ASSERT_TRUE(tap.wait_catches_sigterm());
        tap.signal(SIGTERM);
        EXPECT_EQ(tap.wait_exit(), 0);

        Lines lines = tap.lines();
        auto last_probe = std::find(lines.rbegin(), lines.rend(), c.probe_line).base();
        EXPECT_EQ(Lines(last_probe, lines.end() - 1), c.printed);
        EXPECT_EQ(tap.err(), std::to_string(lines.size()) + " messages\n");
    }
    EXPECT_EQ(relay.stop(), 0);
}

TEST(TapPull, ActsAsEitherMessageProcessorBoundOrConnected)
{
    // The daemon's push socket connects (">") or binds ("@"); the tap does
    // the opposite. A bound push socket drops what it sends before the tap
    // is connected, so the text is sent again until the tap has one.
    struct Case {
        std::string key, daemon_side, tap_side;
        std::vector<std::string> options;
        std::string text, printed;
    } cases[] = {
        {"message_processor", ">", "", {"-x"}, "#oldmp 0123456789ab|0a0B", "0123456789ab 0a0b"},
        {"message_processor", ">", "@", {"-x"}, "#oldmp 0123456789AB ", "0123456789ab -"},
        {"message_processor",
         "@",
         ">",
         {},
         "#oldmp 00000000002a 41",
         "\"\\x00\\x00\\x00\\x00\\x00*\" \"A\""},
        {"message_processor_backyard", ">", "", {}, "#jwin hello there", "\"hello there\""},
        {"message_processor_backyard", "@", ">", {"-x"}, "#jwin ", "-"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key + " " + c.daemon_side + " " + c.text);
        Relay relay;
        std::string endpoint = tcp_endpoint(free_tcp_port());
        relay.config.keys[c.key] = c.daemon_side + endpoint;
        ASSERT_TRUE(relay.start());
        std::vector<std::string> args = {"pull", "-n", "1", "-t", "5"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(c.tap_side + endpoint);
        Tap tap(args);
        EXPECT_EQ(feed_until_exit(tap, [&] { relay.send_udp(c.text); }), 0);
        EXPECT_EQ(tap.lines(), Lines{c.printed});
        EXPECT_EQ(tap.err(), "1 message\n");
        EXPECT_EQ(relay.stop(), 0);
    }
}

TEST(TapReceive, EndsAfterTheTimeOrOnASignalWithTheCount)
{
    std::string endpoint = tcp_endpoint(free_tcp_port());
    struct Case {
        std::vector<std::string> args;
        int sig; // sent once the tool catches signals; 0: none
        int status;
    } cases[] = {
        {{"pull", "-t", "0.2", endpoint}, 0, 0}, {{"pull", "-n", "2", "-t", "0.2", endpoint}, 0, 1},
        {{"watch", "-t", "0", endpoint}, 0, 0},  {{"watch", endpoint}, SIGTERM, 0},
        {{"pull", "-x", endpoint}, SIGINT, 0},   {{"pull", "-n", "3", endpoint}, SIGTERM, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        auto start = Clock::now();
        Tap tap(c.args);
        if (c.sig) {
            ASSERT_TRUE(tap.wait_catches_sigterm());
            EXPECT_EQ(tap.wait_exit(50), -1); // runs until told to stop
            tap.signal(c.sig);
        }
        EXPECT_EQ(tap.wait_exit(), c.status);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(tap.err(), "0 messages\n");
        EXPECT_EQ(tap.lines(), Lines{});
    }
}
