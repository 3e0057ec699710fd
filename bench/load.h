#pragma once
// Load generator and sink for benchmarks of a relay, on top of the peer
// library: texts of a chosen prefix and size that carry their send time,
// stamped and paced sending, and a sink that counts whole messages and
// measures how long each took to arrive.

#include "peer.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Microseconds on the monotonic clock; the stamp that texts carry.
int64_t load_now_us();

// Digits of the stamp that follows a text's prefix.
constexpr size_t LOAD_STAMP_DIGITS = 12;

// Prefix of the record route; its texts are made as valid records.
extern const char LOAD_RECORD_PREFIX[];

// A text of exactly size bytes (never shorter than prefix, 12 stamp digits
// and, for records, the separator): prefix, the stamp in 12 lower-case hex
// digits, then filler. After the record prefix the filler is a space and
// hex payload digits, so the text is a record whose timestamp is the stamp.
// A stamp of 0 marks a probe.
std::string load_make_text(const std::string &prefix, size_t size, int64_t stamp);

// Writes stamp over the stamp digits of a text made by load_make_text.
void load_restamp(std::string *text, size_t prefix_length, int64_t stamp);

// The stamp a relayed message of frames frames carries, from the start of
// its first frame (first_size bytes of it): the 6-byte first frame of a
// decoded record, or the 12 digits at the start of a text frame (after
// strip, when the frame still begins with it). -1 when it carries none.
int64_t load_stamp_of(const char *first, size_t first_size, size_t frames,
                      const std::string &strip);

// Receives and counts relayed messages on a thread of its own.
struct load_sink_t {
    zsock_t *socket = nullptr;
    std::string strip;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> measuring{false}; // record latencies while set
    std::atomic<uint64_t> received{0};  // stamped messages, probes excluded
    std::atomic<uint64_t> probes{0};
    std::atomic<uint64_t> malformed{0}; // messages without a stamp
    std::atomic<int64_t> last_us{0};    // when the last stamped message came
    peer_tally_t tally;                 // everything received; sink thread only
    std::mutex latency_mutex;
    std::vector<int64_t> latencies_us;
};

// Opens a SUB socket subscribed to everything (sub true) or a PULL socket on
// endpoint ("@" binds, ">" connects), with a receive high-water mark of hwm
// (0: no limit), and starts receiving. strip is a prefix that messages may
// still carry; the socket uses curve where given. Returns false when the
// socket cannot be made.
bool load_sink_start(load_sink_t *sink, bool sub, const std::string &endpoint, int hwm,
                     const std::string &strip, const peer_curve_t *curve = nullptr);

// Stops the thread and closes the socket; safe when never started.
void load_sink_stop(load_sink_t *sink);

// Moves out the latencies recorded so far.
std::vector<int64_t> load_sink_take_latencies(load_sink_t *sink);

// Sends probes (stamp 0) every 50 ms until the sink has received one or
// timeout_ms has passed. True once the sink has proven to receive.
bool load_probe(peer_target_t *target, const std::string &prefix, load_sink_t *sink,
                int timeout_ms);

// Sends count texts like text, each stamped with its send time, at most rate
// per second (0: as fast as they go) and, when window is not 0, never more
// than window ahead of what the sink has received since base. Returns the
// number sent; stops at the first failed send, or after timeout_ms waiting
// for the sink.
uint64_t load_send_stamped(peer_target_t *target, std::string text, size_t prefix_length,
                           uint64_t count, double rate, uint64_t window, load_sink_t *sink,
                           uint64_t base, int timeout_ms);

// Waits until the sink has received expected messages since base, or has
// received nothing for idle_ms. Returns the number received since base.
uint64_t load_wait_delivered(load_sink_t *sink, uint64_t base, uint64_t expected, int idle_ms);
