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

// Length of a CURVE key, in bytes.
constexpr size_t CURVE_KEY_SIZE = 32;

struct socket_record {
    // Fixed when the program is built.
    zsock_t **handle;     // the process-wide handle
    int type;             // ZMQ_PULL, ZMQ_PUB or ZMQ_PUSH
    int endpoint_key;     // index of config_strings: its endpoint, or endpoint list
    int queue_key;        // index of optional_strings: "/queue/..."
    const char *label;    // its name in the metrics' labels and the counters' names
    int certificate_key;  // index of optional_strings: its processor's public
                          // certificate; -1 for a bound socket, a server
    const char *overflow; // the overflow latch's notices where it refuses texts
    const char *exemption;
    loop_counter *sent;    // texts it sent; null for the inbound socket
    loop_counter *refused; // texts a processor refused
    loop_counter *made;    // its connections as the statistics line counts them
    loop_counter *lost;

    // Set at start-up, from the configuration.
    int queue_depth = 0;                     // messages held for one peer; 0: the library's default
    uint8_t server_key[CURVE_KEY_SIZE] = {}; // its processor's public key
    bool server_key_known = false;

    // While the socket exists.
    void *resolved = nullptr; // the libzmq socket, resolved once (zsock_resolve checks
                              // the handle's type again at every call); null while none
    unsigned backoff = 0;     // refusals that the router still takes as they come
    connection_watch watch = {};
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
