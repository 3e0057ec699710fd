#pragma once
// Counters of what the daemon took in, sent and dropped since it started,
// and the statistics line that reports them. Every text received is either
// sent on one output or dropped under one cause, so
//   in_inbound + in_udp == out_* + drop_processor + drop_backyard +
//                          drop_record + drop_empty + drop_send.
// Touched by the main thread only.

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
};

extern statistics_type statistics;

// Logs every counter, and the log lines dropped so far, on one line at
// LOG_INFO: "Statistics: in.inbound=N in.udp=N ... drop.log=N
// refused.auth=N".
void log_statistics();
