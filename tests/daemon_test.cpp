// Start-up, configuration, pid file and stop of the real daemon.

#include "harness.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace harness;

namespace
{

using Lines = std::vector<LogLine>;

Lines start_and(int severity, const std::string &text)
{
    return {start_line(), daemon_line(severity, text)};
}

// Holds a TCP or UDP port on the loopback address so that the daemon
// cannot bind it.
struct PortHolder {
    int fd;
    PortHolder(int type, int port) : fd(socket(AF_INET, type, 0))
    {
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
        if (type == SOCK_STREAM)
            listen(fd, 1);
    }
    ~PortHolder()
    {
        close(fd);
    }
};

} // namespace

TEST(CommandLine, UsageMissingConfigAndLastOptionWins)
{
    TempDir dir;
    std::string good = Config(dir).write(dir), missing = dir.file("missing.cfg");
    std::string usage = std::string("Usage: ") + VOSTRELLD_BIN + " [-c config_file]\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
        Lines lines;
    } cases[] = {
        {{}, "", start_and(LOG_ERR, "The configuration file is not defined!\n")},
        {{"operand"}, "", start_and(LOG_ERR, "The configuration file is not defined!\n")},
        {{"-x"}, usage, {start_line()}},
        {{"-c", good, "-v"}, usage, {start_line()}},
        {{"-c"}, usage, {start_line()}},
        {{"-c", missing}, "", start_and(LOG_ERR, "Error in the configuration file!")},
        {{"-c", good, "-c", missing}, "", start_and(LOG_ERR, "Error in the configuration file!")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Daemon daemon(c.args);
        EXPECT_EQ(daemon.wait_exit(), 1);
        EXPECT_EQ(daemon.stdout_text(), c.out);
        EXPECT_EQ(daemon.lines(), c.lines);
        if (!c.out.empty()) { // getopt's own diagnostic
            EXPECT_NE(daemon.stderr_text().find("option"), std::string::npos);
        }
    }

    // The last -c counts and operands are ignored.
    Daemon daemon({"-c", missing, "operand", "-c", good});
    ASSERT_TRUE(wait_ready(daemon, dir.file("vostrelld.pid")));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(), 0);
    EXPECT_EQ(daemon.lines(), start_and(LOG_INFO, "Exiting"));
}

TEST(Configuration, FirstMissingKeyInTableOrderIsReported)
{
    const char *order[] = {
        "pidfile", "publisher",         "gatewaypublisher",           "subscriber",
        "udpport", "message_processor", "message_processor_backyard", "buffer_size"};
    for (const char *key : order) {
        SCOPED_TRACE(key);
        TempDir dir;
        Config config(dir);
        config.keys.erase(key);
        if (std::string(key) == "udpport") // both missing: only the earlier one is reported
            config.keys.erase("buffer_size");
        Daemon daemon({"-c", config.write(dir)});
        EXPECT_EQ(daemon.wait_exit(), 1);
        EXPECT_EQ(daemon.lines(),
                  start_and(LOG_ERR, std::string("Parameter \"/") + key +
                                         "\" is not found in the configuration file!"));
        EXPECT_FALSE(access(dir.file("vostrelld.pid").c_str(), F_OK) == 0);
    }
}

TEST(Configuration, UnreadableFilesFailAndStdoutStaysClean)
{
    TempDir dir;
    struct Case {
        std::string content;
        Lines lines;
    } cases[] = {
        // Parse error: the library's diagnostic goes to stderr, not stdout.
        {"pidfile = \"x\"\n      publisher = \"y\"\n",
         start_and(LOG_ERR, "Error in the configuration file!")},
        {"", start_and(LOG_ERR, "Parameter \"/pidfile\" is not found in the configuration file!")},
        {"section\n    pidfile = \"x\"\n",
         start_and(LOG_ERR, "Parameter \"/pidfile\" is not found in the configuration file!")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content);
        write_file(dir.file("bad.cfg"), c.content);
        Daemon daemon({"-c", dir.file("bad.cfg")});
        EXPECT_EQ(daemon.wait_exit(), 1);
        EXPECT_EQ(daemon.lines(), c.lines);
        EXPECT_EQ(daemon.stdout_text(), "");
    }
}

TEST(Startup, EachFailingStepLogsItsMessageAndExitsWithOne)
{
    TempDir dir;
    int busy_tcp = free_tcp_port(), busy_udp = free_udp_port();
    PortHolder tcp_holder(SOCK_STREAM, busy_tcp), udp_holder(SOCK_DGRAM, busy_udp);
    std::string in_use = "tcp://127.0.0.1:" + std::to_string(busy_tcp);
    struct Case {
        const char *key;
        std::string value;
        std::string text;
    } cases[] = {
        {"subscriber", in_use, "create_sockets: zsock_bind: 98, Address already in use"},
        {"publisher", "not-an-endpoint", "create_sockets: zsock_bind: 22, Invalid argument"},
        {"gatewaypublisher", in_use, "create_sockets: zsock_bind: 98, Address already in use"},
        {"udpport", std::to_string(busy_udp),
         "create_sockets: udp_new: 98, Address already in use"},
        {"message_processor", "not-an-endpoint",
         "create_sockets: zsock_new_push: 22, Invalid argument"},
        {"message_processor_backyard", ">tcp://",
         "create_sockets: zsock_new_push: 22, Invalid argument"},
        {"pidfile", dir.file("no/such/dir/pid"),
         "unable to create pid file " + dir.file("no/such/dir/pid") +
             ", code=2 (No such file or directory)"},
        {"pidfile", dir.path(),
         "unable to create pid file " + dir.path() + ", code=21 (Is a directory)"},
        {"pidfile", "/dev/full",
         "unable to write pid file /dev/full, code=28 (No space left on device)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Config config(dir);
        config.keys[c.key] = c.value;
        Daemon daemon({"-c", config.write(dir)});
        EXPECT_EQ(daemon.wait_exit(), 1);
        EXPECT_EQ(daemon.lines(), start_and(LOG_ERR, c.text));
        EXPECT_EQ(daemon.stdout_text(), "");
    }
}

TEST(PidFile, HoldsExactlyThePidWithModeAndSurvivesTheStop)
{
    umask(022);
    TempDir dir;
    Config config(dir);
    std::string pidfile = dir.file("vostrelld.pid");
    for (bool existing : {false, true}) {
        if (existing)
            write_file(pidfile, "123456789012345\n"); // longer than any pid
        Daemon daemon({"-c", config.write(dir)});
        ASSERT_TRUE(wait_ready(daemon, pidfile)); // exact content, no newline
        struct stat info;
        ASSERT_EQ(stat(pidfile.c_str(), &info), 0);
        if (!existing) {
            EXPECT_EQ(info.st_mode & 0777, 0640u);
        }
        daemon.signal(SIGTERM);
        EXPECT_EQ(daemon.wait_exit(), 0);
        EXPECT_EQ(read_file(pidfile), std::to_string(daemon.pid()));
    }

    config.keys["pidfile"] = "/dev/null";
    Daemon daemon({"-c", config.write(dir)});
    ASSERT_TRUE(log().wait_for(daemon.pid(), start_line().text, 5000));
    EXPECT_EQ(daemon.wait_exit(300), -1); // still running
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(), 0);
}

TEST(Stop, SigtermAndSigintEndWithExitingAndStatusZero)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        Relay relay;
        ASSERT_TRUE(relay.start());
        EXPECT_EQ(relay.stop(sig), 0);
        EXPECT_EQ(relay.daemon->lines(), start_and(LOG_INFO, "Exiting"));
        EXPECT_EQ(relay.daemon->stdout_text(), "");
    }
}

// A signal that lands after the loop's last check for it, but before it
// waits again, must still end the daemon promptly. The preloaded shim holds
// every poll call back so that the signal sent right after a routed message
// lands in exactly that gap.
TEST(Stop, SignalBetweenCheckAndWaitStillStopsPromptly)
{
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        Relay relay;
        ASSERT_TRUE(relay.start({std::string("LD_PRELOAD=") + POLL_SHIM, "POLL_SHIM_DELAY_MS=50"}));
        relay.send_udp("last");
        ASSERT_EQ(receive_text(relay.publisher), "last");
        relay.daemon->signal(round % 2 ? SIGINT : SIGTERM);
        EXPECT_EQ(relay.daemon->wait_exit(1000), 0);
        EXPECT_EQ(relay.daemon->lines(), start_and(LOG_INFO, "Exiting"));
    }
}
