#pragma once
// Everything the daemon knows about each of its five messaging sockets, one
// record per socket: the three bound sockets (inbound PULL, publisher and
// gateway publisher PUB) and the two PUSH sockets towards the message
// processors. A record points to its socket's process-wide handle, which
// the socket set-up (sockets.h) creates and releases; every other unit
// finds what it needs about a socket here, and a "for each socket" walks
// this table. Everything here is touched by the main thread only, but for
// the counts that the metrics endpoint reads.

#include "counter.h"

#include <czmq.h>

// Indexes of sockets, the three bound messaging sockets.
enum { SUBSCRIBER_SOCKET, PUBLISHER_SOCKET, GATEWAYPUBLISHER_SOCKET, SOCKET_COUNT };

// Socket type of each index of sockets.
constexpr int sockets_type[SOCKET_COUNT] = {ZMQ_PULL, ZMQ_PUB, ZMQ_PUB};

// Bound sockets: inbound PULL, publisher PUB, gateway publisher PUB. The
// publishers refuse a message (EAGAIN, without waiting) where a subscriber's
// queue looks full, instead of dropping it silently (ZMQ_XPUB_NODROP, which
// a PUB socket takes too), so that the router can look again.
extern zsock_t *sockets[SOCKET_COUNT];

// PUSH socket towards the message processor (timestamped records).
extern zsock_t *msg_processor_sock;

// PUSH socket towards the backyard message processor.
extern zsock_t *msg_processor_backyard_sock;

// Indexes of socket_records: the bound sockets first, at their index of
// sockets, then the two push sockets.
enum {
    SUBSCRIBER_RECORD = SUBSCRIBER_SOCKET,
    PUBLISHER_RECORD = PUBLISHER_SOCKET,
    GATEWAYPUBLISHER_RECORD = GATEWAYPUBLISHER_SOCKET,
    PROCESSOR_RECORD,
    BACKYARD_RECORD,
    RECORD_COUNT
};

// The watch on a socket's connections, through the library's socket events
// (connections.h); empty where the socket is not watched.
struct connection_watch {
    void *watched = nullptr;   // the socket whose events are reported; null: not watched
    zsock_t *reader = nullptr; // where the events arrive
    bool polled = false;       // read by the loop at once, rather than at its ticket
    loop_counter made;         // connections made while watched
    loop_counter lost;         // and lost
};

// What a processor's spool counts: texts it took, texts replayed from it,
// texts it holds now, bytes of disk it takes now, records set aside as
// damaged.
enum { SPOOLED, REPLAYED, HELD, HELD_BYTES, DAMAGED, SPOOL_COUNT_KINDS };

// Length of a CURVE key, in bytes.
constexpr size_t CURVE_KEY_SIZE = 32;

// The disk spool of a processor's socket (spooler.h).
struct socket_spool;

struct socket_record {
    // Fixed when the program is built.
    zsock_t **handle = nullptr;     // the process-wide handle
    int type = 0;                   // ZMQ_PULL, ZMQ_PUB or ZMQ_PUSH
    int endpoint_key = 0;           // index of config_strings: its endpoint, or endpoint list
    int queue_key = 0;              // index of optional_strings: "/queue/..."
    const char *label = nullptr;    // its name in the metrics' labels and the counters' names
    int certificate_key = -1;       // index of optional_strings: its processor's public
                                    // certificate; -1 for a bound socket, a server
    int spool_key = -1;             // index of optional_strings: "/spool/..."; -1: none
    const char *overflow = nullptr; // the overflow latch's notices where it drops texts
    const char *exemption = nullptr;
    const char *spool_start = nullptr; // the notices where its spool starts and ends holding texts
    const char *spool_end = nullptr;
    loop_counter *sent = nullptr;    // texts it sent; null for the inbound socket
    loop_counter *refused = nullptr; // texts dropped for its processor
    loop_counter *made = nullptr;    // its connections as the statistics line counts them
    loop_counter *lost = nullptr;
    loop_counter *spool_counts[SPOOL_COUNT_KINDS] = {}; // its spool's counts, by kind

    // Set at start-up, from the configuration.
    int queue_depth = 0;                     // messages held for one peer; 0: the library's default
    uint8_t server_key[CURVE_KEY_SIZE] = {}; // its processor's public key
    bool server_key_known = false;
    uint64_t spool_limit = 0; // bytes its spool may hold; 0: no spool

    // While the socket exists.
    void *resolved = nullptr; // the libzmq socket, resolved once (zsock_resolve checks
                              // the handle's type again at every call); null while none
    unsigned backoff = 0;     // refusals that the router still takes as they come
    connection_watch watch = {};
    socket_spool *spool = nullptr; // its spool; null where it has none
    bool spooling = false;         // texts for it wait behind its spool, which holds some
};

extern socket_record socket_records[RECORD_COUNT];

// True for the records of the two push sockets.
inline bool is_processor(const socket_record *record)
{
    return record->type == ZMQ_PUSH;
}

// Resolves every record's socket from its handle, null where the handle is;
// create_sockets does so once they all exist.
void resolve_sockets();

// Empties every record's start-up and run-time fields. Call once the
// sockets are released.
void reset_socket_records();
