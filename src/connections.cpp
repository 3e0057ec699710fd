#include "connections.h"

#include "config.h"
#include "log.h"
#include "statistics.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

// The events of a refused peer: a key or address that the authenticator
// refused, a handshake that failed on a protocol error (a peer without
// CURVE, or with the wrong server key), or one that the peer broke off: a
// peer without CURVE that notices the mismatch first just closes its
// connection.
static const int REFUSED_EVENTS = ZMQ_EVENT_HANDSHAKE_FAILED_AUTH |
                                  ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL |
                                  ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL;

// A connection made, whichever side started it, and one that ended. Every
// connection made ends once, so made less lost is the connections open.
static const int MADE_EVENTS = ZMQ_EVENT_CONNECTED | ZMQ_EVENT_ACCEPTED;
static const int LOST_EVENTS = ZMQ_EVENT_DISCONNECTED;

// Where each slot's connections are counted; null where they are not.
static loop_counter statistics_type::*const MADE_COUNTERS[QUEUE_COUNT] = {
    nullptr, nullptr, nullptr, &statistics_type::made_processor, &statistics_type::made_backyard};
static loop_counter statistics_type::*const LOST_COUNTERS[QUEUE_COUNT] = {
    nullptr, nullptr, nullptr, &statistics_type::lost_processor, &statistics_type::lost_backyard};

// Connections made and lost by each slot's socket, while it is watched.
static loop_counter peers_made[QUEUE_COUNT], peers_lost[QUEUE_COUNT];

// Each slot's watched socket and the reader of its events; null where the
// slot is not watched. A reader is polled by the loop where the statistics
// line needs its events at once; one that only the metrics endpoint needs is
// read at the loop's wake-up ticket instead, so that it adds nothing to the
// loop's every poll.
static void *watched[QUEUE_COUNT] = {nullptr, nullptr, nullptr, nullptr, nullptr};
static zsock_t *watch_readers[QUEUE_COUNT] = {nullptr, nullptr, nullptr, nullptr, nullptr};
static bool watch_polled[QUEUE_COUNT] = {false, false, false, false, false};

static void set_option(void *socket, int option, int value)
{
    zmq_setsockopt(socket, option, &value, sizeof value);
}

// A connection with unacknowledged data is ended after peer_timeout_ms
// (TCP_USER_TIMEOUT). An idle one is probed every half of it, in whole
// seconds and at least every second: with TCP_USER_TIMEOUT set, the kernel
// ends it at the first probe check after peer_timeout_ms without an answer,
// and the count of probes only holds where that option is not supported.
static void apply_peer_timeout(void *socket)
{
    int seconds = peer_timeout_ms / 1000;
    int interval = std::max(1, seconds / 2);
    set_option(socket, ZMQ_TCP_MAXRT, peer_timeout_ms);
    set_option(socket, ZMQ_CONNECT_TIMEOUT, peer_timeout_ms);
    set_option(socket, ZMQ_TCP_KEEPALIVE, 1);
    set_option(socket, ZMQ_TCP_KEEPALIVE_IDLE, interval);
    set_option(socket, ZMQ_TCP_KEEPALIVE_INTVL, interval);
    set_option(socket, ZMQ_TCP_KEEPALIVE_CNT, std::max(1, (seconds - interval) / interval));
}

void apply_connection_options(zsock_t *socket, int slot)
{
    void *handle = zsock_resolve(socket);
    if (queue_depths[slot] > 0)
        set_option(handle, slot == INBOUND_QUEUE ? ZMQ_RCVHWM : ZMQ_SNDHWM, queue_depths[slot]);
    if (peer_timeout_ms > 0)
        apply_peer_timeout(handle);
}

// True where queues or a peer time-out are configured: the processors'
// connections then matter to the operator.
static bool connections_configured()
{
    return peer_timeout_ms > 0 || std::any_of(queue_depths, queue_depths + QUEUE_COUNT,
                                              [](int depth) { return depth > 0; });
}

bool watch_connections(zsock_t *socket, int slot, bool authenticating)
{
    connections_counted = connections_configured();
    int events = authenticating ? REFUSED_EVENTS : 0;
    if (connections_counted && MADE_COUNTERS[slot])
        events |= MADE_EVENTS | LOST_EVENTS;
    watch_polled[slot] = events != 0;
    // The metrics endpoint shows every socket's peers.
    if (optional_strings[METRICS_STR].value)
        events |= MADE_EVENTS | LOST_EVENTS;
    if (!events)
        return true;
    char endpoint[64];
    snprintf(endpoint, sizeof endpoint, "inproc://vostrelld-watch-%d", slot);
    if (zmq_socket_monitor(zsock_resolve(socket), endpoint, events) == -1) {
        log_line(LOG_ERR, "%s: zmq_socket_monitor: %d, %s", "create_sockets", errno,
                 zmq_strerror(errno));
        return false;
    }
    watched[slot] = zsock_resolve(socket);
    watch_readers[slot] = zsock_new(ZMQ_PAIR);
    if (watch_readers[slot])
        zsock_set_rcvhwm(watch_readers[slot], 0); // a burst of connections between two reads
    if (!watch_readers[slot] || zsock_connect(watch_readers[slot], "%s", endpoint) == -1) {
        log_line(LOG_ERR, "%s: zsock_new: %d, %s", "create_sockets", errno, zmq_strerror(errno));
        return false;
    }
    return true;
}

static void count_event(int slot, uint16_t event)
{
    if (event & REFUSED_EVENTS) {
        statistics.refused_auth++;
    } else if (event & MADE_EVENTS) {
        peers_made[slot]++;
        if (MADE_COUNTERS[slot])
            (statistics.*MADE_COUNTERS[slot])++;
    } else if (event & LOST_EVENTS) {
        peers_lost[slot]++;
        if (LOST_COUNTERS[slot])
            (statistics.*LOST_COUNTERS[slot])++;
    }
}

// Counts every event that a watch reports: two frames each, the event's
// number (16 bits) and value (32 bits), then the endpoint.
static int watch_handler(zloop_t *, zsock_t *reader, void *arg)
{
    int slot = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    uint16_t event = 0;
    while (zmq_msg_recv(&frame, zsock_resolve(reader), ZMQ_DONTWAIT) != -1) {
        if (!zmq_msg_more(&frame))
            count_event(slot, event);
        else if (zmq_msg_size(&frame) >= sizeof event)
            memcpy(&event, zmq_msg_data(&frame), sizeof event);
    }
    zmq_msg_close(&frame);
    return 0;
}

bool register_watches(zloop_t *loop)
{
    for (intptr_t slot = 0; slot < QUEUE_COUNT; slot++) {
        zsock_t *reader = watch_readers[slot];
        if (!reader || !watch_polled[slot])
            continue;
        if (zloop_reader(loop, reader, watch_handler, reinterpret_cast<void *>(slot)) == -1)
            return false;
        zloop_reader_set_tolerant(loop, reader);
    }
    return true;
}

void read_unpolled_watches()
{
    for (intptr_t slot = 0; slot < QUEUE_COUNT; slot++)
        if (watch_readers[slot] && !watch_polled[slot])
            watch_handler(nullptr, watch_readers[slot], reinterpret_cast<void *>(slot));
}

void stop_watches()
{
    for (int slot = 0; slot < QUEUE_COUNT; slot++) {
        if (watched[slot])
            zmq_socket_monitor(watched[slot], nullptr, 0);
        watched[slot] = nullptr;
        zsock_destroy(&watch_readers[slot]);
        watch_polled[slot] = false;
    }
}

int64_t connected_peers(int slot)
{
    // Read one after the other while the loop may count: a moment's skew at
    // most, never below none.
    uint64_t lost = peers_lost[slot].get(), made = peers_made[slot].get();
    return made > lost ? static_cast<int64_t>(made - lost) : 0;
}
