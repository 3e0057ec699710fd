#include "udp.h"

#include "access.h"
#include "addresses.h"
#include "allow.h"
#include "config.h"
#include "handover.h"
#include "log.h"
#include "notify.h"
#include "router.h"
#include "spooler.h"
#include "statistics.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int udp_sock_descriptor = -1;

// True where the UDP socket was passed by the service manager.
static bool udp_socket_passed = false;

// What the kernel granted the socket for its receive buffer; see
// udp_receive_buffer_granted.
static int granted_buffer = 0;

// The addresses whose datagrams are taken; null: every address.
static const allow_list_t *udp_allowed = nullptr;

// Set where a failed bind has been logged as a passed socket in the way.
static bool bind_conflict_logged = false;

// Datagrams that the receiver takes per call. A batch spares a loop
// iteration and a poll per datagram; its bound keeps the inbound endpoint
// from waiting longer than one batch.
static const unsigned UDP_BATCH = 64;

// The receiver's batch: a receive area of udp_buffer_size bytes and a NUL
// per datagram, all made with the socket. Null while there is none.
static char *udp_areas = nullptr;
static struct mmsghdr udp_batch[UDP_BATCH];
static struct iovec udp_vectors[UDP_BATCH];

// Room, on a dual-stack socket with "/allow", for the IPv4 packet
// information that marks a datagram that came over IPv4.
static char udp_controls[UDP_BATCH][CMSG_SPACE(sizeof(struct in_pktinfo))];

// Each datagram's source, asked for only where "/allow" is checked.
static struct sockaddr_storage udp_sources[UDP_BATCH];

// True where the socket is an IPv6 one that takes IPv4 datagrams too,
// which it reports with a mapped source. An IPv6 datagram may carry a
// mapped source as well, so there the source alone does not tell an IPv4
// datagram: its packet information does.
static bool udp_dual_stack = false;

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
        if (udp_allowed) {
            udp_batch[index].msg_hdr.msg_name = &udp_sources[index];
            udp_batch[index].msg_hdr.msg_namelen = sizeof udp_sources[index];
        }
        if (udp_allowed && udp_dual_stack) {
            udp_batch[index].msg_hdr.msg_control = udp_controls[index];
            udp_batch[index].msg_hdr.msg_controllen = sizeof udp_controls[index];
        }
    }
    return true;
}

// Asks for the configured receive buffer: beyond net.core.rmem_max where
// the daemon may (CAP_NET_ADMIN), else up to it, and tells what the kernel
// granted where that is less.
static void size_receive_buffer()
{
    int asked = static_cast<int>(optional_number(UDP_RECEIVE_BUFFER_STR, 0)), granted = 0;
    socklen_t length = sizeof granted;
    if (asked == 0)
        return;
    if (setsockopt(udp_sock_descriptor, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) == -1)
        setsockopt(udp_sock_descriptor, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    // The kernel reports twice what it keeps for the datagrams themselves.
    getsockopt(udp_sock_descriptor, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    if (granted / 2 < asked)
        log_line(LOG_WARNING,
                 "Parameter \"%s\": asked for %d bytes, the kernel granted %d (net.core.rmem_max)",
                 optional_strings[UDP_RECEIVE_BUFFER_STR].name, asked, granted / 2);
}

static void read_granted_buffer()
{
    int granted = 0;
    socklen_t length = sizeof granted;
    getsockopt(udp_sock_descriptor, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    granted_buffer = granted / 2;
}

// The kernel's count of the socket's drops for a full receive buffer when
// it was last read. The count is 32 bits and wraps.
static uint32_t udp_kernel_drops_seen = 0;

// Reads the kernel's count of the socket's drops (SO_MEMINFO) into drops.
static bool read_kernel_drops(uint32_t *drops)
{
    uint32_t memory[SK_MEMINFO_VARS];
    socklen_t length = sizeof memory;
    if (getsockopt(udp_sock_descriptor, SOL_SOCKET, SO_MEMINFO, memory, &length) == -1)
        return false;
    if (length <= SK_MEMINFO_DROPS * sizeof memory[0]) {
        errno = EPROTO;
        return false;
    }
    *drops = memory[SK_MEMINFO_DROPS];
    return true;
}

// Starts counting the drops of a socket just taken from what it has
// dropped so far: those of a passed socket happened before this daemon held
// it, and an earlier daemon counted them. The count is read on demand rather
// than stamped on every datagram (SO_RXQ_OVFL): the stamp costs each
// datagram a control message once the socket has dropped anything, so
// reading would slow down exactly when it has fallen behind. A socket that
// an earlier build asked for the stamp is told to stop.
static bool take_kernel_drops()
{
    int off = 0;
    return setsockopt(udp_sock_descriptor, SOL_SOCKET, SO_RXQ_OVFL, &off, sizeof off) == 0 &&
           read_kernel_drops(&udp_kernel_drops_seen);
}

void count_udp_kernel_drops()
{
    uint32_t drops;
    if (udp_sock_descriptor == -1 || !read_kernel_drops(&drops))
        return;
    statistics.drop_udp_kernel += static_cast<uint32_t>(drops - udp_kernel_drops_seen);
    udp_kernel_drops_seen = drops;
}

// The configured address, "/udpaddress" or every IPv4 one, and port
// (network byte order), into address; its length.
static socklen_t udp_bind_address(uint16_t port, struct sockaddr_storage *address)
{
    const char *configured = optional_strings[UDPADDRESS_STR].value;
    parse_ip_address(configured ? configured : "0.0.0.0", address);   // checked by create_config
    reinterpret_cast<struct sockaddr_in *>(address)->sin_port = port; // same place in both
    return address->ss_family == AF_INET6 ? sizeof(struct sockaddr_in6)
                                          : sizeof(struct sockaddr_in);
}

// Binds a socket of its own to the configured port and address. An IPv6
// one takes IPv4 too where it is "::", and never elsewhere, whatever the
// host's net.ipv6.bindv6only says.
static bool bind_udp_socket(const struct sockaddr_storage *address, socklen_t length)
{
    udp_sock_descriptor = socket(address->ss_family, SOCK_DGRAM, IPPROTO_UDP);
    if (udp_sock_descriptor == -1)
        return false;
    auto *ipv6 = reinterpret_cast<const struct sockaddr_in6 *>(address);
    int only = address->ss_family == AF_INET6 && !IN6_IS_ADDR_UNSPECIFIED(&ipv6->sin6_addr);
    if (address->ss_family == AF_INET6 &&
        setsockopt(udp_sock_descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) == -1)
        return false;
    if (bind(udp_sock_descriptor, reinterpret_cast<const struct sockaddr *>(address), length) == 0)
        return true;
    char text[INET6_ADDRSTRLEN + 16] = "udp://";
    int bind_errno = errno;
    format_address(address, text + strlen(text), sizeof text - strlen(text));
    uint16_t port = reinterpret_cast<const struct sockaddr_in *>(address)->sin_port;
    if (bind_errno == EADDRINUSE && report_port_conflict(SOCK_DGRAM, port, text))
        bind_conflict_logged = true;
    errno = bind_errno;
    return false;
}

// Learns the family of the socket (a passed one may be either), and on a
// dual-stack one with "/allow" asks for the IPv4 packet information.
static bool learn_udp_family()
{
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    int only = 1;
    socklen_t only_length = sizeof only;
    if (getsockname(udp_sock_descriptor, reinterpret_cast<struct sockaddr *>(&address), &length) ==
        -1)
        return false;
    udp_dual_stack =
        address.ss_family == AF_INET6 &&
        getsockopt(udp_sock_descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &only, &only_length) == 0 &&
        !only;
    int on = 1;
    return !(udp_dual_stack && udp_allowed) ||
           setsockopt(udp_sock_descriptor, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
}

bool create_udp_socket()
{
    uint16_t port = htons(static_cast<uint16_t>(parse_int(config_strings[UDPPORT_STR].value)));
    struct sockaddr_storage address;
    socklen_t length = udp_bind_address(port, &address);
    bool stored = false;
    // Without "/udpaddress" any IPv4 socket of the port serves, as it always
    // did: none serves more than every local IPv4 address.
    udp_sock_descriptor =
        passed_udp_socket(&address, !optional_strings[UDPADDRESS_STR].value, &stored);
    udp_socket_passed = udp_sock_descriptor != -1;
    bind_conflict_logged = false;
    udp_allowed = allowed_peers();
    if (udp_allowed)
        show_counters(REFUSED_DATAGRAMS);
    if ((udp_socket_passed || bind_udp_socket(&address, length)) && take_kernel_drops() &&
        learn_udp_family() && create_udp_batch()) {
        // A socket unit's socket keeps the size that the manager set.
        if (!udp_socket_passed || stored)
            size_receive_buffer();
        read_granted_buffer();
        return true;
    }
    if (!bind_conflict_logged)
        log_line(LOG_ERR, "%s: udp_new: %d, %s", "create_sockets", errno, strerror(errno));
    destroy_udp_socket();
    return false;
}

void store_udp_socket()
{
    if (!udp_socket_passed)
        notify_store(udp_sock_descriptor, STORED_UDP_NAME);
}

void destroy_udp_socket()
{
    if (udp_sock_descriptor != -1) {
        close(udp_sock_descriptor);
        udp_sock_descriptor = -1;
    }
    udp_socket_passed = false;
    udp_allowed = nullptr;
    udp_dual_stack = false;
    free(udp_areas);
    udp_areas = nullptr;
}

// True where the datagram came over IPv4: the kernel then adds the IPv4
// packet information.
static bool came_over_ipv4(struct msghdr *header)
{
    for (struct cmsghdr *control = CMSG_FIRSTHDR(header); control;
         control = CMSG_NXTHDR(header, control))
        if (control->cmsg_level == IPPROTO_IP && control->cmsg_type == IP_PKTINFO)
            return true;
    return false;
}

// True where "/allow" admits the source of the datagram of header. On a
// dual-stack socket, the packet information tells whether it came over
// IPv4.
static bool source_allowed(struct msghdr *header)
{
    bool ipv4_packet = false;
    if (udp_dual_stack) {
        ipv4_packet = came_over_ipv4(header);
        header->msg_controllen = sizeof udp_controls[0]; // the kernel shortened it
    }
    return allow_list_admits_datagram(
        udp_allowed, static_cast<const struct sockaddr *>(header->msg_name), ipv4_packet);
}

int take_datagrams()
{
    // Never block: a readiness without a datagram (a poll error, a datagram
    // dropped after the poll for a bad checksum) must not stall every input.
    int received = recvmmsg(udp_sock_descriptor, udp_batch, UDP_BATCH, MSG_DONTWAIT, nullptr);
    if (received == -1)
        return -1;
    statistics.in_udp += static_cast<unsigned>(received);
    for (int index = 0; index < received; index++) {
        struct msghdr *header = &udp_batch[index].msg_hdr;
        if (udp_allowed && !source_allowed(header)) {
            statistics.refused_udp++;
            continue;
        }
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
    flush_spools();
    return received;
}

int udp_receive_buffer_granted()
{
    return granted_buffer;
}

// Receiver called by the loop: take_datagrams. A readiness without a
// datagram is no failure: another reader of a passed socket may have taken
// it, or the kernel dropped it for a bad checksum found only when read.
// Logs any other failed receive and returns 1. It never ends the loop.
static int udp_socket_handler(zloop_t *, zmq_pollitem_t *, void *)
{
    if (take_datagrams() != -1 || errno == EAGAIN)
        return 0;
    return receive_failed("udp_socket_handler", "udp_socket_handler", strerror(errno));
}

bool register_udp(zloop_t *loop)
{
    zmq_pollitem_t udp_pollitem = {nullptr, udp_sock_descriptor, ZMQ_POLLIN, 0};
    if (zloop_poller(loop, &udp_pollitem, udp_socket_handler, nullptr) == -1)
        return false;
    // By default the loop silently drops an input after two poll errors in
    // a row; the receiver reports every failed receive itself, and an input
    // must never stop being served.
    zloop_poller_set_tolerant(loop, &udp_pollitem);
    return true;
}
