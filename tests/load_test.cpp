// Load and fault runs against the real daemon, bounded in time and count,
// on the loopback interface only. Each prints its figures on a "figures:"
// line.

#include "harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace harness;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

namespace
{

using Lines = std::vector<LogLine>;
using Frames = std::vector<std::string>;

const std::string MP_OVERFLOW = "Overflow message processor queue!";
const std::string MP_EXEMPTION = "Exemption message processor queue!";
const std::string BY_OVERFLOW = "Overflow message processor backyard queue!";
const std::string BY_EXEMPTION = "Exemption message processor backyard queue!";

long rss_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The four routes in turn; records carry a valid 8-byte payload.
std::string mixed_text(unsigned i)
{
    switch (i % 4) {
    case 0:
        return "plain " + std::to_string(i);
    case 1:
        return "#win " + std::to_string(i);
    case 2:
        return "#jwin " + std::to_string(i);
    default:
        return "#oldmp 0123456789ab 00112233445566" + std::to_string(10 + i % 90);
    }
}

// Sends mixed texts over UDP and the inbound endpoint, never blocking, until
// stop is set; counts what it sent. Runs on a thread of its own with sockets
// of its own.
struct Flood {
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> sent{0};
    std::thread thread;

    Flood(int udp_port, int inbound_port)
    {
        thread = std::thread([this, udp_port, inbound_port] { run(udp_port, inbound_port); });
    }
    ~Flood()
    {
        finish();
    }
    void finish()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
    void run(int udp_port, int inbound_port)
    {
        int udp = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(udp_port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(udp, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
        zsock_t *push = zsock_new_push((">" + tcp_endpoint(inbound_port)).c_str());
        zsock_set_sndtimeo(push, 0);
        for (unsigned i = 0; !stop; i++) {
            std::string text = mixed_text(i);
            if (i % 2)
                send(udp, text.data(), text.size(), MSG_DONTWAIT);
            else if (zstr_sendx(push, text.c_str(), nullptr) != 0)
                usleep(100); // the daemon is busy: the inbound queue is full
            sent++;
        }
        zsock_destroy(&push);
        close(udp);
    }
};

// Counts what a subscriber receives on a thread of its own until stop.
struct Counter {
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> received{0};
    std::thread thread;

    explicit Counter(zsock_t *sub)
    {
        thread = std::thread([this, sub] {
            zsock_set_rcvtimeo(sub, 50);
            while (!stop)
                if (char *text = zstr_recv(sub)) {
                    received++;
                    zstr_free(&text);
                }
        });
    }
    ~Counter()
    {
        stop = true;
        thread.join();
    }
};

bool is_overflow(const LogLine &line)
{
    return line.text == MP_OVERFLOW || line.text == BY_OVERFLOW;
}

bool is_exemption(const LogLine &line)
{
    return line.text == MP_EXEMPTION || line.text == BY_EXEMPTION;
}

// Overflow and exemption lines alternate, starting with an overflow, and
// nothing else is logged.
bool alternates(const std::vector<LogLine> &lines)
{
    for (size_t i = 0; i < lines.size(); i++)
        if (!(i % 2 == 0 ? is_overflow(lines[i]) : is_exemption(lines[i])))
            return false;
    return true;
}

std::string bound_without_peer()
{
    return "@" + tcp_endpoint(free_tcp_port());
}

} // namespace

TEST(Load, FloodWithProcessorsAbsent)
{
    // Both absent: one overflow period for the whole flood. Only the record
    // processor absent: every accepted backyard text ends the period, and the
    // next record starts another.
    for (bool backyard_present : {false, true}) {
        SCOPED_TRACE(backyard_present ? "backyard present" : "both absent");
        int backyard_port = free_tcp_port();
        Relay relay;
        relay.config.keys["message_processor"] = bound_without_peer();
        relay.config.keys["message_processor_backyard"] =
            backyard_present ? ">" + tcp_endpoint(backyard_port) : bound_without_peer();
        relay.config.keys["buffer_size"] = "65507";
        ASSERT_TRUE(relay.start());
        zsock_t *backyard = zsock_new_pull(("@" + tcp_endpoint(backyard_port)).c_str());
        long rss_start = rss_kib(relay.pid()), rss_warm, rss_end;
        unsigned long published, gateway_published, backyard_received, sent;
        const double FLOOD_SECONDS = 4;
        {
            Counter publisher(relay.publisher), gateway(relay.gateway), processor(backyard);
            Flood flood(relay.config.udp_port, relay.config.subscriber_port);
            auto start = Clock::now();
            usleep(1000000); // warm-up
            rss_warm = rss_kib(relay.pid());
            unsigned long published_warm = publisher.received;
            while (seconds_since(start) < FLOOD_SECONDS)
                usleep(50000);
            rss_end = rss_kib(relay.pid());
            flood.finish();
            sent = flood.sent;
            published = publisher.received;
            gateway_published = gateway.received;
            backyard_received = processor.received;
            EXPECT_GT(published, published_warm); // still publishing after warm-up
        }
        auto stop_start = Clock::now();
        EXPECT_EQ(relay.stop(), 0);
        double stop_seconds = seconds_since(stop_start);
        EXPECT_LT(stop_seconds, 1.0);
        Lines lines = relay.daemon->new_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), daemon_line(LOG_INFO, "Exiting"));
        lines.pop_back();
        EXPECT_TRUE(alternates(lines));
        if (!backyard_present) {
            EXPECT_EQ(lines.size(), 1u);
        }
#ifndef VOSTRELLD_SANITIZED // the sanitizers hold freed memory back on purpose
        EXPECT_LT(rss_end - rss_warm, 1024) << "KiB grown after warm-up";
#endif
        printf("figures: flood %.0f s, %lu texts sent (%.0f/s), %lu published, %lu on the "
               "gateway, %lu to the backyard, %zu latch lines (%.0f/s), RSS start %ld KiB, "
               "warm %ld KiB, end %ld KiB, stop %.3f s\n",
               FLOOD_SECONDS, sent, sent / FLOOD_SECONDS, published, gateway_published,
               backyard_received, lines.size(), lines.size() / FLOOD_SECONDS, rss_start, rss_warm,
               rss_end, stop_seconds);
        zsock_destroy(&backyard);
    }
}

TEST(Load, StopDuringFloodEndsCleanly)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        Relay relay;
        relay.config.keys["message_processor"] = bound_without_peer();
        ASSERT_TRUE(relay.start());
        Flood flood(relay.config.udp_port, relay.config.subscriber_port);
        usleep(1000000);
        relay.daemon->signal(sig);
        // Leak checking at exit (sanitizer builds) turns a leak into a status.
        EXPECT_EQ(relay.daemon->wait_exit(3000), 0);
        flood.finish();
        Lines lines = relay.daemon->new_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), daemon_line(LOG_INFO, "Exiting"));
    }
}

namespace
{

// Record n carries its number in the timestamp and a payload derived from it.
std::string record_for(unsigned n)
{
    char text[64];
    snprintf(text, sizeof text, "#oldmp %012x %08x%08x", n, n * 2654435761u, ~n);
    return text;
}

Frames frames_for(unsigned n)
{
    std::string timestamp(6, '\0'), payload(8, '\0');
    for (int i = 0; i < 6; i++)
        timestamp[i] = static_cast<char>(static_cast<uint64_t>(n) >> (8 * (5 - i)));
    uint32_t words[2] = {n * 2654435761u, ~n};
    for (int i = 0; i < 8; i++)
        payload[i] = static_cast<char>(words[i / 4] >> (8 * (3 - i % 4)));
    return {timestamp, payload};
}

} // namespace

TEST(Faults, ProcessorsComeAndGoWhileRecordsFlow)
{
    int records_port = free_tcp_port(), backyard_port = free_tcp_port();
    Relay relay;
    relay.config.keys["message_processor"] = ">" + tcp_endpoint(records_port);
    relay.config.keys["message_processor_backyard"] = ">" + tcp_endpoint(backyard_port);
    ASSERT_TRUE(relay.start());
    unsigned next = 0;
    long last_record = -1, last_backyard = -1;
    unsigned long records_received = 0, backyard_received = 0;
    const int CYCLES = 4;
    for (int cycle = 0; cycle < CYCLES; cycle++) {
        SCOPED_TRACE(cycle);
        zsock_t *records = zsock_new_pull(("@" + tcp_endpoint(records_port)).c_str());
        zsock_t *backyard = zsock_new_pull(("@" + tcp_endpoint(backyard_port)).c_str());
        // Present: send until this cycle's own texts arrive on both.
        unsigned first_of_cycle = next;
        auto deadline = Clock::now() + std::chrono::seconds(10);
        bool records_seen = false, backyard_seen = false;
        while (!(records_seen && backyard_seen) && Clock::now() < deadline) {
            for (int i = 0; i < 20; i++, next++) {
                relay.push(record_for(next));
                relay.push("#jwin " + std::to_string(next));
            }
            while (auto frames = receive(records, 20)) {
                ASSERT_EQ(frames->size(), 2u);
                unsigned number = 0;
                for (int i = 0; i < 6; i++)
                    number = number << 8 | static_cast<unsigned char>((*frames)[0][i]);
                ASSERT_EQ(*frames, frames_for(number));            // complete and exact
                ASSERT_GT(static_cast<long>(number), last_record); // never twice
                last_record = number;
                records_received++;
                records_seen = records_seen || number >= first_of_cycle;
            }
            while (auto frames = receive(backyard, 20)) {
                ASSERT_EQ(frames->size(), 1u);
                long number = std::stol((*frames)[0]);
                ASSERT_GT(number, last_backyard);
                last_backyard = number;
                backyard_received++;
                backyard_seen = backyard_seen || number >= static_cast<long>(first_of_cycle);
            }
        }
        ASSERT_TRUE(records_seen && backyard_seen);
        // Gone: the queues fill up and then refuse.
        zsock_destroy(&records);
        zsock_destroy(&backyard);
        for (int i = 0; i < 3000; i++, next++) {
            relay.push(record_for(next));
            relay.push("#jwin " + std::to_string(next));
        }
        ASSERT_TRUE(relay.sync());
    }
    // Overflow and exemption lines alternate, starting with an overflow.
    // While one queue is full and the other is not, the shared latch flips
    // with every pair of texts; so count outages by the alternation only.
    Lines lines = relay.daemon->new_lines();
    EXPECT_TRUE(alternates(lines));
    EXPECT_GE(lines.size(), 2u * CYCLES - 1);
    printf("figures: %d processor outages, %u texts sent, %lu records and %lu backyard texts "
           "received exact, none twice\n",
           CYCLES, 2 * next, records_received, backyard_received);
}

TEST(Faults, SlowSubscriberBlocksNoOtherRoute)
{
    int backyard_port = free_tcp_port();
    zsock_t *backyard = zsock_new_pull(("@" + tcp_endpoint(backyard_port)).c_str());
    Relay relay;
    relay.config.keys["message_processor_backyard"] = ">" + tcp_endpoint(backyard_port);
    ASSERT_TRUE(relay.start());
    // Subscribes and never reads again.
    zsock_t *stalled = zsock_new_sub((">" + tcp_endpoint(relay.config.publisher_port)).c_str(), "");
    zsock_set_rcvhwm(stalled, 10);
    ASSERT_TRUE(relay.sync()); // relay.publisher is not read below either
    auto start = Clock::now();
    const int BATCHES = 40, PLAIN = 500, OTHERS = 50;
    std::string filler(1000, 'f');
    for (int batch = 0; batch < BATCHES; batch++) {
        for (int i = 0; i < PLAIN; i++) {
            relay.push(filler);
            if (i % (PLAIN / OTHERS) == 0) {
                relay.push("#win " + std::to_string(batch * OTHERS + i / (PLAIN / OTHERS)));
                relay.push("#jwin " + std::to_string(batch * OTHERS + i / (PLAIN / OTHERS)));
            }
        }
        for (int i = 0; i < OTHERS; i++) {
            std::string expected = std::to_string(batch * OTHERS + i);
            ASSERT_EQ(receive_text(relay.gateway, 5000), expected);
            ASSERT_EQ(receive(backyard, 5000), Frames{expected});
        }
    }
    double elapsed = seconds_since(start);
    EXPECT_EQ(relay.daemon->new_lines(), Lines{});
    printf("figures: stalled subscriber, %d texts of 1000 B in %.2f s, all %d gateway and "
           "backyard texts delivered in order\n",
           BATCHES * (PLAIN + 2 * OTHERS), elapsed, BATCHES * OTHERS);
    zsock_destroy(&stalled);
    zsock_destroy(&backyard);
}
