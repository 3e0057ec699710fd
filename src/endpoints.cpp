#include "endpoints.h"

#include "access.h"
#include "addresses.h"
#include "config.h"
#include "connections.h"
#include "handover.h"
#include "log.h"
#include "notify.h"
#include "router.h"
#include "statistics.h"
#include "udp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

zsock_t *sockets[SOCKET_COUNT] = {nullptr, nullptr, nullptr};
const int sockets_type[SOCKET_COUNT] = {ZMQ_PULL, ZMQ_PUB, ZMQ_PUB};
zsock_t *msg_processor_sock = nullptr;
zsock_t *msg_processor_backyard_sock = nullptr;
void *outputs[OUTPUT_COUNT] = {nullptr, nullptr, nullptr, nullptr};
zloop_t *reactor = nullptr;
int signal_descriptor = -1;

// Configuration key holding the endpoint of each bound socket.
static const int socket_endpoint_key[SOCKET_COUNT] = {SUBSCRIBER_STR, PUBLISHER_STR,
                                                      GATEWAYPUBLISHER_STR};

// Send and receive time-out of the bound sockets, in milliseconds.
static const int BOUND_SOCKET_TIMEOUT_MSECS = 100;

// The loop notices SIGINT/SIGTERM only between two polls; a signal that
// lands after the loop checked for it but before it waits again would be
// seen only at the next event. Waking the loop this often bounds that delay.
// The wake-up is a ticket, not a timer: around every poll the loop walks its
// whole timer list, but looks only at the first of its tickets, which costs
// less per message.
static const size_t INTERRUPT_CHECK_MSECS = 100;

// Frames that the inbound receiver takes per readiness. A batch spares a
// loop iteration and a poll per message; its bound keeps the UDP input from
// waiting longer than one batch.
static const int INBOUND_BATCH = 256;

// What bind_endpoint and attach_endpoints did: bound (or attached), failed
// with errno set, or failed and logged why.
enum { ATTACHED, FAILED, FAILED_LOGGED };

// Binds socket to endpoint, on the passed listening socket of exactly its
// address where there is one; where a passed socket that serves no endpoint
// holds its port, the bind cannot succeed beside it: that is logged.
static int bind_endpoint(zsock_t *socket, const char *endpoint)
{
    int passed = passed_listening_socket(endpoint);
    if (passed != -1)
        zsock_set_use_fd(socket, passed);
    int bound = zsock_bind(socket, "%s", endpoint);
    int bind_errno = errno;
    if (passed != -1)
        zsock_set_use_fd(socket, -1);
    if (bound == -1 && bind_errno == EADDRINUSE &&
        report_port_conflict(SOCK_STREAM, endpoint_port(endpoint), endpoint))
        return FAILED_LOGGED;
    errno = bind_errno;
    return bound == -1 ? FAILED : ATTACHED;
}

// Attaches socket to list as zsock_attach does (connecting by default),
// one endpoint at a time, so that each "@" endpoint binds as bind_endpoint
// does.
static int attach_endpoints(zsock_t *socket, const char *list)
{
    std::string text = list;
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find(',', start), text.size());
        std::string endpoint = text.substr(start, end - start);
        start = end + 1;
        if (endpoint.empty()) { // zsock_attach connects to "", which fails so
            errno = EINVAL;
            return FAILED;
        }
        int attached =
            endpoint[0] == '@'
                ? bind_endpoint(socket, endpoint.c_str() + 1)
                : (zsock_attach(socket, endpoint.c_str(), false) == -1 ? FAILED : ATTACHED);
        if (attached != ATTACHED)
            return attached;
    }
    return ATTACHED;
}

// The loop polls the inbound socket by its descriptor (ZMQ_FD), as a plain
// one: a messaging socket in the poll set is asked for its events before
// and after every wait, whatever woke the loop, and each asking costs two
// system calls (the library's check for a fork and a poll of the socket's
// mailbox), more than a datagram's receive. The descriptor is readable while
// the socket has commands to process, the arrival of messages among them;
// it does not tell of messages that already wait, so the receiver takes
// them until none is left, or has itself called again where its batch ends
// first.
static zmq_pollitem_t inbound_pollitem = {nullptr, -1, ZMQ_POLLIN, 0};

// While the inbound socket has more than a batch waiting, a timer of no delay
// calls its receiver once at every turn of the loop (the loop then does not
// wait); -1 while there is none. A timer made afresh at every batch would
// fire within the same turn, batch after batch, and starve the UDP input.
static int inbound_timer = -1;

static bool create_bound_socket(int index)
{
    sockets[index] = zsock_new(sockets_type[index]);
    if (!sockets[index]) {
        log_line(LOG_ERR, "%s: zsock_new: %d, %s", "create_sockets", errno, zmq_strerror(errno));
        return false;
    }
    const char *endpoint = config_strings[socket_endpoint_key[index]].value;
    set_endpoint_family(sockets[index], endpoint);
    apply_access(sockets[index], SERVER_ROLE);
    apply_connection_options(sockets[index], index);
    if (!watch_connections(sockets[index], index, authenticates(SERVER_ROLE)))
        return false;
    int bound = bind_endpoint(sockets[index], endpoint);
    if (bound == FAILED)
        log_line(LOG_ERR, "%s: zsock_bind: %d, %s", "create_sockets", errno, zmq_strerror(errno));
    if (bound != ATTACHED)
        return false;
    if (sockets_type[index] == ZMQ_PUB) {
        int refusing = 1;
        zmq_setsockopt(zsock_resolve(sockets[index]), ZMQ_XPUB_NODROP, &refusing, sizeof refusing);
    }
    zsock_set_sndtimeo(sockets[index], BOUND_SOCKET_TIMEOUT_MSECS);
    zsock_set_rcvtimeo(sockets[index], BOUND_SOCKET_TIMEOUT_MSECS);
    return true;
}

// Creates a push socket, sets it up for role and attaches it to its
// endpoint list, as zsock_new_push would with no security to set first.
static bool create_push_socket(zsock_t **handle, int endpoint_key, int role, int slot)
{
    const char *list = config_strings[endpoint_key].value;
    *handle = zsock_new(ZMQ_PUSH);
    if (*handle) {
        set_endpoint_family(*handle, list);
        apply_access(*handle, role);
        apply_connection_options(*handle, slot);
        if (!watch_connections(*handle, slot, authenticates(role)))
            return false;
    }
    int attached = *handle ? attach_endpoints(*handle, list) : FAILED;
    if (attached == FAILED)
        log_line(LOG_ERR, "%s: zsock_new_push: %d, %s", "create_sockets", errno,
                 zmq_strerror(errno));
    return attached == ATTACHED;
}

void resolve_outputs()
{
    outputs[PUBLISHER_OUTPUT] = zsock_resolve(sockets[PUBLISHER_SOCKET]);
    outputs[GATEWAY_OUTPUT] = zsock_resolve(sockets[GATEWAYPUBLISHER_SOCKET]);
    outputs[PROCESSOR_OUTPUT] = zsock_resolve(msg_processor_sock);
    outputs[BACKYARD_OUTPUT] = zsock_resolve(msg_processor_backyard_sock);
}

bool create_sockets()
{
    take_passed_sockets();
    bool created = create_bound_socket(SUBSCRIBER_SOCKET) &&
                   create_bound_socket(PUBLISHER_SOCKET) &&
                   create_bound_socket(GATEWAYPUBLISHER_SOCKET) && create_udp_socket() &&
                   create_push_socket(&msg_processor_sock, MESSAGE_PROCESSOR_STR,
                                      PROCESSOR_CLIENT_ROLE, PROCESSOR_QUEUE) &&
                   create_push_socket(&msg_processor_backyard_sock, MESSAGE_PROCESSOR_BACKYARD_STR,
                                      BACKYARD_CLIENT_ROLE, BACKYARD_QUEUE);
    forget_secret_key(); // every socket has its own copy now
    if (!created) {
        destroy_sockets();
        return false;
    }
    release_unmatched_sockets();
    resolve_outputs();
    return true;
}

void destroy_sockets()
{
    for (void *&output : outputs)
        output = nullptr;
    stop_watches();
    zsock_destroy(&msg_processor_backyard_sock);
    zsock_destroy(&msg_processor_sock);
    destroy_udp_socket();
    for (zsock_t *&socket : sockets)
        zsock_destroy(&socket);
}

// A ticket fires once and is then removed by the loop, so each one arms
// the next. Making a ticket cannot fail: CZMQ aborts the process where it
// cannot allocate. The service manager's watchdog is pinged from here, so
// that the pings stop when the loop stops turning.
static int interrupt_check(zloop_t *loop, int, void *)
{
    zloop_ticket(loop, interrupt_check, nullptr);
    notify_watchdog();
    read_unpolled_watches();
    count_udp_kernel_drops();
    return 0;
}

// Reads every pending SIGUSR1 and logs one statistics line for them. The
// descriptor never blocks, so a readiness without a signal logs nothing.
static int statistics_request_handler(zloop_t *, zmq_pollitem_t *, void *)
{
    struct signalfd_siginfo request;
    bool requested = false;
    while (read(signal_descriptor, &request, sizeof request) == sizeof request)
        requested = true;
    if (requested) {
        read_unpolled_watches();
        count_udp_kernel_drops();
        log_statistics();
        notify_statistics();
    }
    return 0;
}

// The descriptor that SIGUSR1, blocked in every thread, is read from.
static bool create_signal_descriptor()
{
    sigset_t requests;
    sigemptyset(&requests);
    sigaddset(&requests, SIGUSR1);
    signal_descriptor = signalfd(-1, &requests, SFD_NONBLOCK | SFD_CLOEXEC);
    return signal_descriptor != -1;
}

bool create_reactor()
{
    reactor = zloop_new();
    if (!reactor) {
        log_line(LOG_ERR, "%s: zloop_new: %d, %s", "create_reactor", errno, zmq_strerror(errno));
        return false;
    }
    zmq_pollitem_t udp_pollitem = {nullptr, udp_sock_descriptor, ZMQ_POLLIN, 0};
    inbound_pollitem.fd = zsock_fd(sockets[SUBSCRIBER_SOCKET]);
    zloop_set_ticket_delay(reactor, INTERRUPT_CHECK_MSECS);
    bool registered =
        zloop_poller(reactor, &inbound_pollitem, subscriber_socket_handler, nullptr) != -1 &&
        zloop_poller(reactor, &udp_pollitem, udp_socket_handler, nullptr) != -1 &&
        zloop_ticket(reactor, interrupt_check, nullptr) && register_watches(reactor) &&
        create_signal_descriptor();
    zmq_pollitem_t signal_pollitem = {nullptr, signal_descriptor, ZMQ_POLLIN, 0};
    if (!registered ||
        zloop_poller(reactor, &signal_pollitem, statistics_request_handler, nullptr) == -1) {
        log_line(LOG_ERR, "%s: zloop_reader: %d, %s", "create_reactor", errno, zmq_strerror(errno));
        destroy_reactor();
        return false;
    }
    // By default the loop silently drops an input after two poll errors in
    // a row; the receivers report every failed receive themselves, and an
    // input must never stop being served.
    zloop_poller_set_tolerant(reactor, &inbound_pollitem);
    zloop_poller_set_tolerant(reactor, &udp_pollitem);
    zloop_poller_set_tolerant(reactor, &signal_pollitem);
    return true;
}

void describe_endpoints(char *text, size_t size)
{
    char *bound[SOCKET_COUNT];
    for (int index = 0; index < SOCKET_COUNT; index++)
        bound[index] = zsock_last_endpoint(sockets[index]);
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    char udp[INET6_ADDRSTRLEN + 8] = "?";
    if (getsockname(udp_sock_descriptor, reinterpret_cast<struct sockaddr *>(&address), &length) ==
        0)
        format_address(&address, udp, sizeof udp);
    snprintf(text, size, "inbound %s, UDP %s, publisher %s, gateway %s",
             bound[SUBSCRIBER_SOCKET] ? bound[SUBSCRIBER_SOCKET] : "?", udp,
             bound[PUBLISHER_SOCKET] ? bound[PUBLISHER_SOCKET] : "?",
             bound[GATEWAYPUBLISHER_SOCKET] ? bound[GATEWAYPUBLISHER_SOCKET] : "?");
    for (char *&endpoint : bound)
        zstr_free(&endpoint);
}

void destroy_reactor()
{
    zloop_destroy(&reactor);
    inbound_timer = -1;
    if (signal_descriptor != -1) {
        close(signal_descriptor);
        signal_descriptor = -1;
    }
}

// Takes the frames waiting on the inbound socket, up to a batch, without
// waiting, and routes each in turn. Their number, or -1 with errno set where
// the first receive fails (EAGAIN: none was waiting).
static int take_frames()
{
    void *inbound = zsock_resolve(sockets[SUBSCRIBER_SOCKET]);
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    int taken = 0;
    while (taken < INBOUND_BATCH && zmq_msg_recv(&frame, inbound, ZMQ_DONTWAIT) != -1) {
        statistics.in_inbound++;
        send_frame(&frame);
        taken++;
    }
    int receive_errno = errno;
    zmq_msg_close(&frame);
    errno = receive_errno;
    return taken == 0 ? -1 : taken;
}

// Counts and logs a failed receive of the inbound socket; 1 for the loop.
static int report_inbound_failure()
{
    statistics.drop_receive++;
    log_line(LOG_ERR, "%s: zstr_recv: %d, %s", "subscriber_socket_handler", errno,
             zmq_strerror(errno));
    return 1;
}

static int take_more_frames(zloop_t *loop, int, void *);

// Takes a batch of frames; keeps the timer while a full one leaves more.
static int take_inbound_batch(zloop_t *loop)
{
    int taken = take_frames();
    int receive_errno = errno;
    if (taken == INBOUND_BATCH && inbound_timer == -1)
        inbound_timer = zloop_timer(loop, 0, 0, take_more_frames, nullptr);
    else if (taken != INBOUND_BATCH && inbound_timer != -1) {
        zloop_timer_end(loop, inbound_timer);
        inbound_timer = -1;
    }
    errno = receive_errno;
    return taken;
}

static int take_more_frames(zloop_t *loop, int, void *)
{
    return take_inbound_batch(loop) != -1 || errno == EAGAIN ? 0 : report_inbound_failure();
}

int subscriber_socket_handler(zloop_t *loop, zmq_pollitem_t *, void *)
{
    // While the timer takes the backlog, it also processes what made the
    // descriptor readable; a second batch in the same turn would make the
    // UDP input wait for two.
    if (inbound_timer != -1)
        return 0;
    // Otherwise the last receive fails for want of frames, which leaves the
    // descriptor to tell of the next; a readiness without frames (for
    // another of the socket's commands) is one of them.
    if (take_inbound_batch(loop) != -1 || errno == EAGAIN)
        return 0;
    return report_inbound_failure();
}

void deliver_what_was_taken(int grace_msecs)
{
    int64_t deadline = zclock_mono() + grace_msecs;
    // Unbound, the inbound socket takes nothing more off the network, and
    // with a linger its pipes keep what they took until it is read.
    char *bound = zsock_last_endpoint(sockets[SUBSCRIBER_SOCKET]);
    zsock_set_linger(sockets[SUBSCRIBER_SOCKET], grace_msecs);
    if (bound)
        zsock_unbind(sockets[SUBSCRIBER_SOCKET], "%s", bound);
    zstr_free(&bound);
    bool more = true;
    while (more && zclock_mono() < deadline) {
        bool inbound = take_frames() > 0;
        more = take_datagrams() > 0 || inbound;
    }
    int linger = static_cast<int>(std::max<int64_t>(0, deadline - zclock_mono()));
    for (zsock_t *output : {sockets[PUBLISHER_SOCKET], sockets[GATEWAYPUBLISHER_SOCKET],
                            msg_processor_sock, msg_processor_backyard_sock})
        zsock_set_linger(output, linger);
}
