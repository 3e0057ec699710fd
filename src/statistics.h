#pragma once
// Counters of what the daemon took in, sent and dropped since it started,
// and the statistics line that reports them. Every text received is either
// sent on one output or dropped under one cause, so
//   in_inbound + in_udp == out_* + drop_processor + drop_backyard +
//                          drop_record + drop_empty + drop_send + refused_udp.
// Touched by the main thread only.

#include <cstddef>
#include <cstdint>

struct statistics_type {
    uint64_t in_inbound;      // frames from the inbound endpoint
    uint64_t in_udp;          // datagrams, empty ones included
    uint64_t in_udp_cut;      // datagrams cut to the UDP receive capacity
    uint64_t out_publisher;   // texts published
    uint64_t out_gateway;     // texts published on the gateway
    uint64_t out_processor;   // records pushed to the message processor
    uint64_t out_backyard;    // texts pushed to the backyard processor
    uint64_t drop_processor;  // records the message processor refused
    uint64_t drop_backyard;   // texts the backyard processor refused
    uint64_t drop_record;     // malformed records
    uint64_t drop_empty;      // empty datagrams
    uint64_t drop_send;       // texts lost to any other failure of a send
    uint64_t drop_receive;    // receive calls that failed
    uint64_t drop_udp_kernel; // datagrams the kernel dropped for a full receive buffer
    uint64_t refused_auth;    // handshakes refused: a key, an address or a mechanism
    uint64_t lost_processor;  // connections of the message processor's socket ended
    uint64_t lost_backyard;   // the same, the backyard processor's
    uint64_t made_processor;  // connections of the message processor's socket made
    uint64_t made_backyard;   // the same, the backyard processor's
    uint64_t refused_udp;     // datagrams from an address not allowed
};

extern statistics_type statistics;

// Counters that the statistics line shows only where the configuration
// asks for what they count: the processors' connections (queues or a peer
// time-out configured), and the datagrams refused ("/allow" set). Clear
// until set, so that a configuration without those keys keeps its line.
extern bool connections_counted;
extern bool udp_sources_checked;

// Room for every counter as format_statistics writes them.
constexpr size_t STATISTICS_TEXT_SIZE = 1024;

// Writes the counters into text as "in.inbound=N in.udp=N ... drop.log=N
// refused.auth=N", the log lines dropped so far among them, then those of
// lost.processor ... refused.udp that are shown; with main_only just the
// main ones: what came in, went out and was dropped at a processor, and the
// refused handshakes.
void format_statistics(char *text, size_t size, bool main_only);

// Logs every counter on one line at LOG_INFO: "Statistics: " and what
// format_statistics writes.
void log_statistics();
