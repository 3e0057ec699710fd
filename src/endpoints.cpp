#include "endpoints.h"

#include "access.h"
#include "config.h"
#include "log.h"
#include "notify.h"
#include "router.h"
#include "statistics.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

zsock_t *sockets[SOCKET_COUNT] = {nullptr, nullptr, nullptr};
const int sockets_type[SOCKET_COUNT] = {ZMQ_PULL, ZMQ_PUB, ZMQ_PUB};
zsock_t *msg_processor_sock = nullptr;
zsock_t *msg_processor_backyard_sock = nullptr;
void *outputs[OUTPUT_COUNT] = {nullptr, nullptr, nullptr, nullptr};
int udp_sock_descriptor = -1;
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

// Frames that the inbound receiver takes per readiness, and datagrams that
// the UDP receiver takes per call. A batch spares a loop iteration and a
// poll per message; its bound keeps either input from waiting longer than
// one batch of the other.
static const int INBOUND_BATCH = 256;
static const unsigned UDP_BATCH = 64;

// The UDP receiver's batch: a receive area of udp_buffer_size bytes and a
// NUL per datagram, all made with the socket. Null while there is none.
static char *udp_areas = nullptr;
static struct mmsghdr udp_batch[UDP_BATCH];
static struct iovec udp_vectors[UDP_BATCH];

// Room for the count of datagrams that the kernel dropped for a full
// receive buffer, which it stamps on each datagram queued after a drop; the
// count is 32 bits and wraps.
static char udp_controls[UDP_BATCH][CMSG_SPACE(sizeof(uint32_t))];
static uint32_t udp_kernel_drops_seen = 0;

// Sockets whose handshakes may be refused, in the order of sockets, then
// the two push sockets; and a reader of each one's refused handshakes, from
// its monitor. Empty where a socket does not authenticate its peers.
enum { PROCESSOR_MONITOR = SOCKET_COUNT, BACKYARD_MONITOR, MONITOR_COUNT };
static zsock_t **const monitored[MONITOR_COUNT] = {
    &sockets[SUBSCRIBER_SOCKET], &sockets[PUBLISHER_SOCKET], &sockets[GATEWAYPUBLISHER_SOCKET],
    &msg_processor_sock, &msg_processor_backyard_sock};
static zsock_t *handshake_readers[MONITOR_COUNT] = {nullptr, nullptr, nullptr, nullptr, nullptr};

// The events a refused peer causes: a key or address that the
// authenticator refused, a handshake that failed on a protocol error (a
// peer without CURVE, or with the wrong server key), or one that the peer
// broke off: a peer without CURVE that notices the mismatch first just
// closes its connection.
static const int REFUSED_HANDSHAKE_EVENTS = ZMQ_EVENT_HANDSHAKE_FAILED_AUTH |
                                            ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL |
                                            ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL;

// Where socket number slot authenticates its peers in role, has its
// refused handshakes reported to a reader of its own.
static bool monitor_handshakes(int slot, int role)
{
    if (!authenticates(role))
        return true;
    char endpoint[64];
    snprintf(endpoint, sizeof endpoint, "inproc://vostrelld-handshakes-%d", slot);
    if (zmq_socket_monitor(zsock_resolve(*monitored[slot]), endpoint, REFUSED_HANDSHAKE_EVENTS) ==
        -1) {
        log_line(LOG_ERR, "%s: zmq_socket_monitor: %d, %s", "create_sockets", errno,
                 zmq_strerror(errno));
        return false;
    }
    handshake_readers[slot] = zsock_new(ZMQ_PAIR);
    if (!handshake_readers[slot] || zsock_connect(handshake_readers[slot], "%s", endpoint) == -1) {
        log_line(LOG_ERR, "%s: zsock_new: %d, %s", "create_sockets", errno, zmq_strerror(errno));
        return false;
    }
    return true;
}

// Stops the monitor of socket number slot, before the socket and the reader
// are released.
static void stop_monitor(int slot)
{
    if (!handshake_readers[slot])
        return;
    zmq_socket_monitor(zsock_resolve(*monitored[slot]), nullptr, 0);
    zsock_destroy(&handshake_readers[slot]);
}

static bool create_bound_socket(int index)
{
    sockets[index] = zsock_new(sockets_type[index]);
    if (!sockets[index]) {
        log_line(LOG_ERR, "%s: zsock_new: %d, %s", "create_sockets", errno, zmq_strerror(errno));
        return false;
    }
    apply_access(sockets[index], SERVER_ROLE);
    if (!monitor_handshakes(index, SERVER_ROLE))
        return false;
    const char *endpoint = config_strings[socket_endpoint_key[index]].value;
    if (zsock_bind(sockets[index], "%s", endpoint) == -1) {
        log_line(LOG_ERR, "%s: zsock_bind: %d, %s", "create_sockets", errno, zmq_strerror(errno));
        return false;
    }
    if (sockets_type[index] == ZMQ_PUB) {
        int refusing = 1;
        zmq_setsockopt(zsock_resolve(sockets[index]), ZMQ_XPUB_NODROP, &refusing, sizeof refusing);
    }
    zsock_set_sndtimeo(sockets[index], BOUND_SOCKET_TIMEOUT_MSECS);
    zsock_set_rcvtimeo(sockets[index], BOUND_SOCKET_TIMEOUT_MSECS);
    return true;
}

// Points each message of the batch at its own receive area.
static bool create_udp_batch()
{
    size_t area_size = static_cast<size_t>(udp_buffer_size) + 1;
    udp_areas = static_cast<char *>(malloc(UDP_BATCH * area_size));
    if (!udp_areas)
        return false;
    memset(udp_batch, 0, sizeof udp_batch);
    for (unsigned index = 0; index < UDP_BATCH; index++) {
        udp_vectors[index].iov_base = udp_areas + index * area_size;
        udp_vectors[index].iov_len = static_cast<size_t>(udp_buffer_size);
        udp_batch[index].msg_hdr.msg_iov = &udp_vectors[index];
        udp_batch[index].msg_hdr.msg_iovlen = 1;
        udp_batch[index].msg_hdr.msg_control = udp_controls[index];
        udp_batch[index].msg_hdr.msg_controllen = sizeof udp_controls[index];
    }
    return true;
}

static bool create_udp_socket()
{
    udp_sock_descriptor = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (udp_sock_descriptor != -1) {
        struct sockaddr_in address;
        memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_port =
            htons(static_cast<uint16_t>(parse_int(config_strings[UDPPORT_STR].value)));
        address.sin_addr.s_addr = udp_address;
        int on = 1;
        if (bind(udp_sock_descriptor, reinterpret_cast<struct sockaddr *>(&address),
                 sizeof address) == 0 &&
            setsockopt(udp_sock_descriptor, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0 &&
            create_udp_batch())
            return true;
    }
    log_line(LOG_ERR, "%s: udp_new: %d, %s", "create_sockets", errno, strerror(errno));
    return false;
}

// Creates a push socket, sets it up for role and attaches it to its
// endpoint list, as zsock_new_push would with no security to set first.
static bool create_push_socket(zsock_t **handle, int endpoint_key, int role, int slot)
{
    *handle = zsock_new(ZMQ_PUSH);
    if (*handle) {
        apply_access(*handle, role);
        if (!monitor_handshakes(slot, role))
            return false;
    }
    if (!*handle || zsock_attach(*handle, config_strings[endpoint_key].value, false) == -1) {
        log_line(LOG_ERR, "%s: zsock_new_push: %d, %s", "create_sockets", errno,
                 zmq_strerror(errno));
        return false;
    }
    return true;
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
    bool created = create_bound_socket(SUBSCRIBER_SOCKET) &&
                   create_bound_socket(PUBLISHER_SOCKET) &&
                   create_bound_socket(GATEWAYPUBLISHER_SOCKET) && create_udp_socket() &&
                   create_push_socket(&msg_processor_sock, MESSAGE_PROCESSOR_STR,
                                      PROCESSOR_CLIENT_ROLE, PROCESSOR_MONITOR) &&
                   create_push_socket(&msg_processor_backyard_sock, MESSAGE_PROCESSOR_BACKYARD_STR,
                                      BACKYARD_CLIENT_ROLE, BACKYARD_MONITOR);
    forget_secret_key(); // every socket has its own copy now
    if (created)
        resolve_outputs();
    else
        destroy_sockets();
    return created;
}

void destroy_sockets()
{
    for (void *&output : outputs)
        output = nullptr;
    for (int slot = 0; slot < MONITOR_COUNT; slot++)
        stop_monitor(slot);
    zsock_destroy(&msg_processor_backyard_sock);
    zsock_destroy(&msg_processor_sock);
    if (udp_sock_descriptor != -1) {
        close(udp_sock_descriptor);
        udp_sock_descriptor = -1;
    }
    free(udp_areas);
    udp_areas = nullptr;
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
        log_statistics();
        notify_statistics();
    }
    return 0;
}

// Counts every refused handshake that a monitor reports: each event is two
// frames, and its last one is counted.
static int refused_handshake_handler(zloop_t *, zsock_t *reader, void *)
{
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    while (zmq_msg_recv(&frame, zsock_resolve(reader), ZMQ_DONTWAIT) != -1)
        if (!zmq_msg_more(&frame))
            statistics.refused_auth++;
    zmq_msg_close(&frame);
    return 0;
}

// Registers the reader of every monitor; false when one cannot be.
static bool register_handshake_readers()
{
    for (zsock_t *reader : handshake_readers) {
        if (!reader)
            continue;
        if (zloop_reader(reactor, reader, refused_handshake_handler, nullptr) == -1)
            return false;
        zloop_reader_set_tolerant(reactor, reader);
    }
    return true;
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
    zloop_set_ticket_delay(reactor, INTERRUPT_CHECK_MSECS);
    bool registered = zloop_reader(reactor, sockets[SUBSCRIBER_SOCKET], subscriber_socket_handler,
                                   nullptr) != -1 &&
                      zloop_poller(reactor, &udp_pollitem, udp_socket_handler, nullptr) != -1 &&
                      zloop_ticket(reactor, interrupt_check, nullptr) &&
                      register_handshake_readers() && create_signal_descriptor();
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
    zloop_reader_set_tolerant(reactor, sockets[SUBSCRIBER_SOCKET]);
    zloop_poller_set_tolerant(reactor, &udp_pollitem);
    zloop_poller_set_tolerant(reactor, &signal_pollitem);
    return true;
}

void describe_endpoints(char *text, size_t size)
{
    char *bound[SOCKET_COUNT];
    for (int index = 0; index < SOCKET_COUNT; index++)
        bound[index] = zsock_last_endpoint(sockets[index]);
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    char udp[INET_ADDRSTRLEN] = "?";
    memset(&address, 0, sizeof address);
    if (getsockname(udp_sock_descriptor, reinterpret_cast<struct sockaddr *>(&address), &length) ==
        0)
        inet_ntop(AF_INET, &address.sin_addr, udp, sizeof udp);
    snprintf(text, size, "inbound %s, UDP %s:%u, publisher %s, gateway %s",
             bound[SUBSCRIBER_SOCKET] ? bound[SUBSCRIBER_SOCKET] : "?", udp,
             static_cast<unsigned>(ntohs(address.sin_port)),
             bound[PUBLISHER_SOCKET] ? bound[PUBLISHER_SOCKET] : "?",
             bound[GATEWAYPUBLISHER_SOCKET] ? bound[GATEWAYPUBLISHER_SOCKET] : "?");
    for (char *&endpoint : bound)
        zstr_free(&endpoint);
}

void destroy_reactor()
{
    zloop_destroy(&reactor);
    if (signal_descriptor != -1) {
        close(signal_descriptor);
        signal_descriptor = -1;
    }
}

int subscriber_socket_handler(zloop_t *, zsock_t *, void *)
{
    void *inbound = zsock_resolve(sockets[SUBSCRIBER_SOCKET]);
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    int result = 0;
    // The first receive may wait up to the socket's receive time-out, as a
    // single receive always could; the rest of the batch takes only what is
    // waiting already, and running out of frames ends it silently.
    for (int taken = 0; taken < INBOUND_BATCH; taken++) {
        if (zmq_msg_recv(&frame, inbound, taken == 0 ? 0 : ZMQ_DONTWAIT) == -1) {
            if (taken == 0) {
                statistics.drop_receive++;
                log_line(LOG_ERR, "%s: zstr_recv: %d, %s", "subscriber_socket_handler", errno,
                         zmq_strerror(errno));
                result = 1;
            }
            break;
        }
        statistics.in_inbound++;
        send_frame(&frame);
    }
    zmq_msg_close(&frame);
    return result;
}

// Adds the drops that the kernel stamped on a received datagram, if any, to
// the count, following the stamp's wrap at 32 bits. SO_RXQ_OVFL is the only
// control message the socket asks for.
static inline void count_kernel_drops(struct msghdr *header)
{
    struct cmsghdr *control = CMSG_FIRSTHDR(header);
    if (!control)
        return;
    uint32_t drops;
    memcpy(&drops, CMSG_DATA(control), sizeof drops);
    statistics.drop_udp_kernel += static_cast<uint32_t>(drops - udp_kernel_drops_seen);
    udp_kernel_drops_seen = drops;
}

int udp_socket_handler(zloop_t *, zmq_pollitem_t *, void *)
{
    // Never block: a readiness without a datagram (a poll error, a datagram
    // dropped after the poll for a bad checksum) must not stall every input.
    int received = recvmmsg(udp_sock_descriptor, udp_batch, UDP_BATCH, MSG_DONTWAIT, nullptr);
    if (received == -1) {
        statistics.drop_receive++;
        log_line(LOG_ERR, "%s: udp_socket_handler: %d, %s", "udp_socket_handler", errno,
                 strerror(errno));
        return 1;
    }
    statistics.in_udp += static_cast<unsigned>(received);
    for (int index = 0; index < received; index++) {
        struct msghdr *header = &udp_batch[index].msg_hdr;
        count_kernel_drops(header);
        header->msg_controllen = sizeof udp_controls[index]; // the kernel shortened it
        if (header->msg_flags & MSG_TRUNC)
            statistics.in_udp_cut++;
        char *datagram = static_cast<char *>(header->msg_iov->iov_base);
        if (udp_batch[index].msg_len == 0) {
            statistics.drop_empty++;
            continue;
        }
        datagram[udp_batch[index].msg_len] = '\0';
        send_data(datagram);
    }
    return 0;
}
