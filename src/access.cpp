#include "access.h"

#include "addresses.h"
#include "certificates.h"
#include "config.h"
#include "log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

// The authenticator; null while there is none (neither "/allow" nor
// "/curve/certificate" is set).
static zactor_t *authenticator = nullptr;

// ZAP domain of every socket while the authenticator runs.
static const char ZAP_DOMAIN[] = "vostrelld";

// The addresses of "/allow", as parsed, and whether the key is set.
static allow_list_t allowed;
static bool allowing = false;

// The largest frame a peer may send ("/max_message_size"); -1: no limit.
static int64_t max_message_size = -1;

// The canonical text of an address of family, as the library reports a
// peer's address.
static void add_address_text(zmsg_t *command, int family, const void *address)
{
    char text[INET6_ADDRSTRLEN];
    zmsg_addstr(command, inet_ntop(family, address, text, sizeof text));
}

// True where any socket's endpoints want IPv6.
static bool any_socket_speaks_ipv6()
{
    for (const socket_record &record : socket_records)
        if (endpoints_want_ipv6(config_strings[record.endpoint_key].value))
            return true;
    return false;
}

// The addresses of "/allow" (blanks or commas between them), each in the
// form that the library reports a peer's address in, as one ALLOW command
// for the authenticator; null after logging the first that is not an
// address. Where a socket speaks IPv6, an IPv4 peer of its dual-stack
// endpoint shows as ::ffff:a.b.c.d, so each IPv4 address goes in that form
// too: a stream peer with such an address can only be a real IPv4 peer.
static zmsg_t *allow_command()
{
    if (!parse_allow_list(optional_strings[ALLOW_STR].name, optional_strings[ALLOW_STR].value,
                          &allowed))
        return nullptr;
    zmsg_t *command = zmsg_new();
    zmsg_addstr(command, "ALLOW");
    bool mapped = any_socket_speaks_ipv6();
    for (in_addr_t address : allowed.ipv4) {
        add_address_text(command, AF_INET, &address);
        if (!mapped)
            continue;
        struct in6_addr form = {}; // ::ffff:a.b.c.d
        form.s6_addr[10] = form.s6_addr[11] = 0xff;
        memcpy(form.s6_addr + 12, &address, sizeof address);
        add_address_text(command, AF_INET6, &form);
    }
    for (const struct in6_addr &address : allowed.ipv6)
        add_address_text(command, AF_INET6, &address);
    return command;
}

// Starts the authenticator and gives it the allow list and the CURVE
// policy, waiting for it to take each.
static bool start_authenticator(zmsg_t **allow)
{
    authenticator = zactor_new(zauth, nullptr);
    if (!authenticator) {
        log_line(LOG_ERR, "%s: zactor_new: %d, %s", "create_access", errno, zmq_strerror(errno));
        zmsg_destroy(allow);
        return false;
    }
    if (*allow) {
        zmsg_send(allow, authenticator);
        zsock_wait(authenticator);
    }
    if (curve_enabled()) {
        const char *clients = optional_strings[CURVE_CLIENTS_STR].value;
        zstr_sendx(authenticator, "CURVE", clients ? clients : CURVE_ALLOW_ANY, nullptr);
        zsock_wait(authenticator);
    }
    return true;
}

bool create_access()
{
    max_message_size = optional_number(MAX_MESSAGE_SIZE_STR, -1);
    if (!read_certificates())
        return false;
    zmsg_t *allow = nullptr;
    if (optional_strings[ALLOW_STR].value && !(allow = allow_command())) {
        destroy_access();
        return false;
    }
    allowing = allow != nullptr;
    if ((curve_enabled() || allow) && !start_authenticator(&allow)) {
        destroy_access();
        return false;
    }
    return true;
}

void apply_access(zsock_t *socket, const socket_record *record)
{
    if (max_message_size >= 0)
        zmq_setsockopt(zsock_resolve(socket), ZMQ_MAXMSGSIZE, &max_message_size,
                       sizeof max_message_size);
    if (authenticator)
        zsock_set_zap_domain(socket, ZAP_DOMAIN);
    apply_curve(socket, record);
}

const allow_list_t *allowed_peers()
{
    return allowing ? &allowed : nullptr;
}

bool authenticates(const socket_record *record)
{
    return authenticator && (!curve_enabled() || !record->server_key_known);
}

void destroy_access()
{
    zactor_destroy(&authenticator);
    destroy_certificates();
    allowed = allow_list_t();
    allowing = false;
    max_message_size = -1;
}
