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

static void set_option(void *socket, int option, int value)
{
    zmq_setsockopt(socket, option, &value, sizeof value);
}

// A connection with unacknowledged data is ended after timeout_ms
// (TCP_USER_TIMEOUT). An idle one is probed every half of it, in whole
// seconds and at least every second: with TCP_USER_TIMEOUT set, the kernel
// ends it at the first probe check after timeout_ms without an answer, and
// the count of probes only holds where that option is not supported.
static void apply_peer_timeout(void *socket, int timeout_ms)
{
    int seconds = timeout_ms / 1000;
    int interval = std::max(1, seconds / 2);
    set_option(socket, ZMQ_TCP_MAXRT, timeout_ms);
    set_option(socket, ZMQ_CONNECT_TIMEOUT, timeout_ms);
    set_option(socket, ZMQ_TCP_KEEPALIVE, 1);
    set_option(socket, ZMQ_TCP_KEEPALIVE_IDLE, interval);
    set_option(socket, ZMQ_TCP_KEEPALIVE_INTVL, interval);
    set_option(socket, ZMQ_TCP_KEEPALIVE_CNT, std::max(1, (seconds - interval) / interval));
}

void apply_connection_options(zsock_t *socket, socket_record *record)
{
    void *handle = zsock_resolve(socket);
    int peer_timeout_ms = static_cast<int>(optional_number(PEER_TIMEOUT_STR, 0));
    record->queue_depth = static_cast<int>(optional_number(record->queue_key, 0));
    if (record->queue_depth > 0)
        set_option(handle, record->type == ZMQ_PULL ? ZMQ_RCVHWM : ZMQ_SNDHWM, record->queue_depth);
    if (peer_timeout_ms > 0)
        apply_peer_timeout(handle, peer_timeout_ms);
    // A socket with a spool keeps no text while no processor is connected:
    // its spool does.
    if (record->spool)
        set_option(handle, ZMQ_IMMEDIATE, 1);
}

// True where queues or a peer time-out are configured: the processors'
// connections then matter to the operator, and the statistics line shows
// them.
static bool connections_configured()
{
    if (optional_number(PEER_TIMEOUT_STR, 0) > 0)
        return true;
    for (const socket_record &record : socket_records)
        if (optional_strings[record.queue_key].value)
            return true;
    return false;
}

bool watch_connections(zsock_t *socket, socket_record *record, bool authenticating)
{
    bool counted = connections_configured();
    if (counted)
        show_counters(CONNECTION_COUNTERS);
    int events = authenticating ? REFUSED_EVENTS : 0;
    if (counted && record->made)
        events |= MADE_EVENTS | LOST_EVENTS;
    record->watch.polled = events != 0;
    // The metrics endpoint shows every socket's peers.
    if (optional_strings[METRICS_STR].value)
        events |= MADE_EVENTS | LOST_EVENTS;
    if (!events)
        return true;
    char endpoint[64];
    snprintf(endpoint, sizeof endpoint, "inproc://vostrelld-watch-%s", record->label);
    if (zmq_socket_monitor(zsock_resolve(socket), endpoint, events) == -1) {
        log_line(LOG_ERR, "%s: zmq_socket_monitor: %d, %s", "create_sockets", errno,
                 zmq_strerror(errno));
        return false;
    }
    record->watch.watched = zsock_resolve(socket);
    record->watch.reader = zsock_new(ZMQ_PAIR);
    if (record->watch.reader) // a burst of connections between two reads
        zsock_set_rcvhwm(record->watch.reader, 0);
    if (!record->watch.reader || zsock_connect(record->watch.reader, "%s", endpoint) == -1) {
        log_line(LOG_ERR, "%s: zsock_new: %d, %s", "create_sockets", errno, zmq_strerror(errno));
        return false;
    }
    return true;
}

static void count_event(socket_record *record, uint16_t event)
{
    if (event & REFUSED_EVENTS) {
        statistics.refused_auth++;
    } else if (event & MADE_EVENTS) {
        record->watch.made++;
        if (record->made)
            (*record->made)++;
    } else if (event & LOST_EVENTS) {
        record->watch.lost++;
        if (record->lost)
            (*record->lost)++;
    }
}

// Counts every event that a watch reports: two frames each, the event's
// number (16 bits) and value (32 bits), then the endpoint.
static int watch_handler(zloop_t *, zsock_t *reader, void *arg)
{
    socket_record *record = static_cast<socket_record *>(arg);
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    uint16_t event = 0;
    while (zmq_msg_recv(&frame, zsock_resolve(reader), ZMQ_DONTWAIT) != -1) {
        if (!zmq_msg_more(&frame))
            count_event(record, event);
        else if (zmq_msg_size(&frame) >= sizeof event)
            memcpy(&event, zmq_msg_data(&frame), sizeof event);
    }
    zmq_msg_close(&frame);
    return 0;
}

bool register_watches(zloop_t *loop)
{
    for (socket_record &record : socket_records) {
        if (!record.watch.reader || !record.watch.polled)
            continue;
        if (zloop_reader(loop, record.watch.reader, watch_handler, &record) == -1)
            return false;
        zloop_reader_set_tolerant(loop, record.watch.reader);
    }
    return true;
}

void read_unpolled_watches()
{
    for (socket_record &record : socket_records)
        if (record.watch.reader && !record.watch.polled)
            watch_handler(nullptr, record.watch.reader, &record);
}

void stop_watches()
{
    for (socket_record &record : socket_records) {
        if (record.watch.watched)
            zmq_socket_monitor(record.watch.watched, nullptr, 0);
        record.watch.watched = nullptr;
        zsock_destroy(&record.watch.reader);
        record.watch.polled = false;
    }
}

int64_t connected_peers(const socket_record *record)
{
    // Read one after the other while the loop may count: a moment's skew at
    // most, never below none.
    uint64_t lost = record->watch.lost.get(), made = record->watch.made.get();
    return made > lost ? static_cast<int64_t>(made - lost) : 0;
}
