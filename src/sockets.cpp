#include "sockets.h"

#include "access.h"
#include "addresses.h"
#include "certificates.h"
#include "config.h"
#include "connections.h"
#include "handover.h"
#include "log.h"
#include "socket_table.h"
#include "udp.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

// Send and receive time-out of the bound sockets, in milliseconds.
static const int BOUND_SOCKET_TIMEOUT_MSECS = 100;

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
    for (const endpoint_entry &entry : split_endpoints(list)) {
        if (entry.endpoint.empty()) { // the library connects to "", which fails so
            errno = EINVAL;
            return FAILED;
        }
        int attached =
            entry.mode == '@'
                ? bind_endpoint(socket, entry.endpoint.c_str())
                : (zsock_connect(socket, "%s", entry.endpoint.c_str()) == -1 ? FAILED : ATTACHED);
        if (attached != ATTACHED)
            return attached;
    }
    return ATTACHED;
}

// Sets up socket as the socket of record, before it binds or attaches: its
// address family, access rules, queue, peer time-out and watch.
static bool set_up(zsock_t *socket, socket_record *record)
{
    set_endpoint_family(socket, config_strings[record->endpoint_key].value);
    apply_access(socket, record);
    apply_connection_options(socket, record);
    return watch_connections(socket, record, authenticates(record));
}

static bool create_bound_socket(socket_record *record)
{
    zsock_t *socket = *record->handle = zsock_new(record->type);
    if (!socket) {
        log_line(LOG_ERR, "%s: zsock_new: %d, %s", "create_sockets", errno, zmq_strerror(errno));
        return false;
    }
    if (!set_up(socket, record))
        return false;
    int bound = bind_endpoint(socket, config_strings[record->endpoint_key].value);
    if (bound == FAILED)
        log_line(LOG_ERR, "%s: zsock_bind: %d, %s", "create_sockets", errno, zmq_strerror(errno));
    if (bound != ATTACHED)
        return false;
    if (record->type == ZMQ_PUB) {
        int refusing = 1;
        zmq_setsockopt(zsock_resolve(socket), ZMQ_XPUB_NODROP, &refusing, sizeof refusing);
    }
    zsock_set_sndtimeo(socket, BOUND_SOCKET_TIMEOUT_MSECS);
    zsock_set_rcvtimeo(socket, BOUND_SOCKET_TIMEOUT_MSECS);
    return true;
}

// Creates a push socket, sets it up and attaches it to its endpoint list,
// as zsock_new_push would with no security to set first.
static bool create_push_socket(socket_record *record)
{
    zsock_t *socket = *record->handle = zsock_new(record->type);
    if (socket && !set_up(socket, record))
        return false;
    int attached =
        socket ? attach_endpoints(socket, config_strings[record->endpoint_key].value) : FAILED;
    if (attached == FAILED)
        log_line(LOG_ERR, "%s: zsock_new_push: %d, %s", "create_sockets", errno,
                 zmq_strerror(errno));
    return attached == ATTACHED;
}

// The bound sockets, the UDP socket, then the push sockets.
static bool create_each()
{
    for (socket_record &record : socket_records)
        if (!is_processor(&record) && !create_bound_socket(&record))
            return false;
    if (!create_udp_socket())
        return false;
    for (socket_record &record : socket_records)
        if (is_processor(&record) && !create_push_socket(&record))
            return false;
    return true;
}

bool create_sockets()
{
    take_passed_sockets();
    bool created = create_each();
    forget_secret_key(); // every socket has its own copy now
    if (!created) {
        destroy_sockets();
        return false;
    }
    release_unmatched_sockets();
    resolve_sockets();
    return true;
}

void destroy_sockets()
{
    stop_watches();
    zsock_destroy(&msg_processor_backyard_sock);
    zsock_destroy(&msg_processor_sock);
    destroy_udp_socket();
    for (zsock_t *&socket : sockets)
        zsock_destroy(&socket);
    reset_socket_records();
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
