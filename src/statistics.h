#pragma once
// Counters of what the daemon took in, sent and dropped since it started,
// and the statistics line that reports them. Every text received is either
// sent on one output, dropped under one cause or held in a spool, so
//   in_inbound + in_udp == out_* + drop_processor + drop_backyard +
//                          drop_record + drop_empty + drop_send + refused_udp +
//                          held_*,
// where the spools started empty; a spool that held texts at the start adds
// them to the left, and its records set aside as damaged (damaged_*) to the
// right.
// Written by the main thread only; the metrics endpoint's threads read them.
// drop_udp_kernel is brought up to date at the loop's 100 ms ticket and
// before the statistics line (count_udp_kernel_drops), not per datagram.

#include "counter.h"

#include <cstddef>
#include <cstdint>

struct statistics_type {
    loop_counter in_inbound;           // frames from the inbound endpoint
    loop_counter in_udp;               // datagrams, empty ones included
    loop_counter in_udp_cut;           // datagrams cut to the UDP receive capacity
    loop_counter out_publisher;        // texts published
    loop_counter out_gateway;          // texts published on the gateway
    loop_counter out_processor;        // records pushed to the message processor
    loop_counter out_backyard;         // texts pushed to the backyard processor
    loop_counter drop_processor;       // records the message processor refused
    loop_counter drop_backyard;        // texts the backyard processor refused
    loop_counter drop_record;          // malformed records
    loop_counter drop_empty;           // empty datagrams
    loop_counter drop_send;            // texts lost to any other failure of a send
    loop_counter drop_receive;         // receive calls that failed
    loop_counter drop_udp_kernel;      // datagrams the kernel dropped for a full receive buffer
    loop_counter refused_auth;         // handshakes refused: a key, an address or a mechanism
    loop_counter lost_processor;       // connections of the message processor's socket ended
    loop_counter lost_backyard;        // the same, the backyard processor's
    loop_counter made_processor;       // connections of the message processor's socket made
    loop_counter made_backyard;        // the same, the backyard processor's
    loop_counter refused_udp;          // datagrams from an address not allowed
    loop_counter spooled_processor;    // records taken by the message processor's spool
    loop_counter spooled_backyard;     // texts taken by the backyard processor's spool
    loop_counter replayed_processor;   // records sent from the spool (counted in out_processor)
    loop_counter replayed_backyard;    // texts sent from the spool (counted in out_backyard)
    loop_counter held_processor;       // records the spool holds now
    loop_counter held_backyard;        // texts the spool holds now
    loop_counter held_bytes_processor; // bytes of disk the spool takes now
    loop_counter held_bytes_backyard;
    loop_counter damaged_processor; // spooled records set aside as damaged
    loop_counter damaged_backyard;
};

extern statistics_type statistics;

// Counters that the statistics line shows only where the configuration
// asks for what they count: the processors' connections (queues or a peer
// time-out configured), the datagrams refused ("/allow" set), and the
// spools' counts (a spool configured). Hidden until the unit that counts
// them shows them, so that a configuration without those keys keeps its
// line.
enum { CONNECTION_COUNTERS, REFUSED_DATAGRAMS, SPOOL_COUNTERS, COUNTER_GROUP_COUNT };
void show_counters(int group);

// Room for every counter as format_statistics writes them.
constexpr size_t STATISTICS_TEXT_SIZE = 1024;

// Writes the counters into text as "in.inbound=N in.udp=N ... drop.log=N
// refused.auth=N", the log lines dropped so far among them, then those of
// lost.processor ... refused.udp that are shown; with main_only just the
// main ones: what came in, went out and was dropped at a processor, and the
// refused handshakes.
void format_statistics(char *text, size_t size, bool main_only);

// Counts a receive of a receiver that failed and logs it as "HANDLER: CALL:
// errno, reason"; returns 1, what the receiver returns to the loop.
int receive_failed(const char *handler, const char *call, const char *reason);

// Logs every counter on one line at LOG_INFO: "Statistics: " and what
// format_statistics writes.
void log_statistics();
