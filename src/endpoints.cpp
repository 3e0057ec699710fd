#include "endpoints.h"

#include "config.h"
#include "log.h"
#include "router.h"
#include "statistics.h"

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

static bool create_bound_socket(int index)
{
    sockets[index] = zsock_new(sockets_type[index]);
    if (!sockets[index]) {
        log_line(LOG_ERR, "%s: zsock_new: %d, %s", "create_sockets", errno, zmq_strerror(errno));
        return false;
    }
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
        address.sin_addr.s_addr = htonl(INADDR_ANY);
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

static bool create_push_socket(zsock_t **handle, int endpoint_key)
{
    *handle = zsock_new_push(config_strings[endpoint_key].value);
    if (!*handle) {
        log_line(LOG_ERR, "%s: zsock_new_push: %d, %s", "create_sockets", errno,
                 zmq_strerror(errno));
        return false;
    }
    return true;
}

bool create_sockets()
{
    bool created = create_bound_socket(SUBSCRIBER_SOCKET) &&
                   create_bound_socket(PUBLISHER_SOCKET) &&
                   create_bound_socket(GATEWAYPUBLISHER_SOCKET) && create_udp_socket() &&
                   create_push_socket(&msg_processor_sock, MESSAGE_PROCESSOR_STR) &&
                   create_push_socket(&msg_processor_backyard_sock, MESSAGE_PROCESSOR_BACKYARD_STR);
    if (!created)
        destroy_sockets();
    return created;
}

void destroy_sockets()
{
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
// cannot allocate.
static int interrupt_check(zloop_t *loop, int, void *)
{
    zloop_ticket(loop, interrupt_check, nullptr);
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
    if (requested)
        log_statistics();
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
    zloop_set_ticket_delay(reactor, INTERRUPT_CHECK_MSECS);
    bool registered = zloop_reader(reactor, sockets[SUBSCRIBER_SOCKET], subscriber_socket_handler,
                                   nullptr) != -1 &&
                      zloop_poller(reactor, &udp_pollitem, udp_socket_handler, nullptr) != -1 &&
                      zloop_ticket(reactor, interrupt_check, nullptr) && create_signal_descriptor();
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
