#include "access.h"

#include "addresses.h"
#include "allow.h"
#include "config.h"
#include "log.h"
#include "statistics.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

zactor_t *authenticator = nullptr;

// The IPv4 addresses of "/allow" in network byte order, in an open
// addressing table of a power of two slots, at least twice as many as the
// addresses, so that a datagram's source is found in a probe or two rather
// than compared with each. 0.0.0.0 marks an empty slot, so that address has
// a flag of its own.
static std::vector<uint32_t> udp_source_slots;
static unsigned udp_source_shift = 32;
static bool udp_source_any_address = false;

static size_t udp_source_slot(uint32_t address)
{
    return (address * 2654435761u) >> udp_source_shift; // Knuth's multiplicative hash
}

static void add_udp_source(uint32_t address)
{
    if (address == 0) {
        udp_source_any_address = true;
        return;
    }
    size_t slot = udp_source_slot(address);
    while (udp_source_slots[slot] != 0 && udp_source_slots[slot] != address)
        slot = (slot + 1) & (udp_source_slots.size() - 1);
    udp_source_slots[slot] = address;
}

// Makes the table for addresses.
static void make_udp_sources(const std::vector<uint32_t> &addresses)
{
    unsigned bits = 1;
    while ((1u << bits) < 2 * addresses.size())
        bits++;
    udp_source_slots.assign(size_t{1} << bits, 0);
    udp_source_shift = 32 - bits;
    for (uint32_t address : addresses)
        add_udp_source(address);
}

// ZAP domain of every socket while the authenticator runs.
static const char ZAP_DOMAIN[] = "vostrelld";

// A certificate is a few hundred bytes of ZPL; a larger file is not one.
static const size_t MAX_CERTIFICATE_SIZE = 16 * 1024;

// CURVE keys, 32 bytes each: the daemon's pair, and the public key of each
// message processor that has a certificate, by role.
static const size_t KEY_SIZE = 32;
static bool curve = false;
static uint8_t public_key[KEY_SIZE];
static uint8_t secret_key[KEY_SIZE];
static uint8_t processor_keys[ROLE_COUNT][KEY_SIZE];
static bool processor_key_known[ROLE_COUNT];

// Certificate key of each processor client role.
static const int processor_certificate_key[ROLE_COUNT] = {-1, CURVE_PROCESSOR_STR,
                                                          CURVE_BACKYARD_STR};

static void refuse_unreadable(int index, const char *path, int error)
{
    log_line(LOG_ERR, "Parameter \"%s\": cannot read %s (%s)", optional_strings[index].name, path,
             strerror(error));
}

// Decodes the Z85 key at path in a certificate's tree into key.
static bool decode_key(zconfig_t *tree, const char *path, uint8_t *key)
{
    const char *text = zconfig_get(tree, path, nullptr);
    return text && strlen(text) == 40 && zmq_z85_decode(key, text);
}

// Overwrites the value at path in a certificate's tree, where there is one.
static void wipe_value(zconfig_t *tree, const char *path)
{
    zconfig_t *item = tree ? zconfig_locate(tree, path) : nullptr;
    char *value = item ? zconfig_value(item) : nullptr;
    if (value)
        explicit_bzero(value, strlen(value));
}

// Reads the regular file behind fd, NUL-terminated, into text; false when
// it cannot, errno telling why.
static bool read_regular(int fd, const struct stat *status, char *text, size_t capacity)
{
    if (!S_ISREG(status->st_mode)) {
        errno = S_ISDIR(status->st_mode) ? EISDIR : EINVAL;
        return false;
    }
    size_t size = 0;
    for (;;) {
        ssize_t got = read(fd, text + size, capacity - 1 - size);
        if (got == 0)
            break;
        if (got == -1 && errno != EINTR)
            return false;
        if (got > 0)
            size += static_cast<size_t>(got);
        if (size == capacity - 1) {
            errno = EFBIG;
            return false;
        }
    }
    text[size] = '\0';
    return true;
}

// Reads the file at path into text, as read_regular, and its status.
static bool read_file(const char *path, char *text, size_t capacity, struct stat *status)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    bool whole = fstat(fd, status) == 0 && read_regular(fd, status, text, capacity);
    int read_errno = errno;
    close(fd);
    errno = read_errno;
    return whole;
}

// Reads the certificate that optional key index names (exactly that file)
// into public_out and, where secret_out is given, secret_out: the file must
// then hold the secret key and keep it from group and others. Logs and
// returns false where it cannot.
static bool read_certificate(int index, uint8_t *public_out, uint8_t *secret_out)
{
    const char *name = optional_strings[index].name, *path = optional_strings[index].value;
    struct stat status;
    char text[MAX_CERTIFICATE_SIZE];
    bool whole = read_file(path, text, sizeof text, &status);
    int read_errno = errno;
    zconfig_t *tree = whole ? zconfig_str_load(text) : nullptr;
    explicit_bzero(text, sizeof text);
    bool has_public = tree && decode_key(tree, "/curve/public-key", public_out);
    bool has_secret = !secret_out || (tree && decode_key(tree, "/curve/secret-key", secret_out));
    wipe_value(tree, "/curve/secret-key");
    zconfig_destroy(&tree);
    if (!whole)
        refuse_unreadable(index, path, read_errno);
    else if (!has_public || !has_secret)
        log_line(LOG_ERR, "Parameter \"%s\": %s holds no %s key", name, path,
                 has_public ? "secret" : "public");
    else if (secret_out && (status.st_mode & (S_IRWXG | S_IRWXO)))
        log_line(LOG_ERR, "Parameter \"%s\": %s is open to group or others (chmod 600 it)", name,
                 path);
    else
        return true;
    return false;
}

// The directory of admitted client certificates must be there and readable:
// the authenticator would take a missing one as an empty one.
static bool check_clients_directory()
{
    const char *path = optional_strings[CURVE_CLIENTS_STR].value;
    DIR *directory = opendir(path);
    if (!directory) {
        refuse_unreadable(CURVE_CLIENTS_STR, path, errno);
        return false;
    }
    closedir(directory);
    return true;
}

// Reads every key that CURVE needs; the process is made undumpable first,
// so that no core file can hold the secret key.
static bool read_curve_keys()
{
    prctl(PR_SET_DUMPABLE, 0);
    if (!read_certificate(CURVE_CERTIFICATE_STR, public_key, secret_key))
        return false;
    for (int role = PROCESSOR_CLIENT_ROLE; role < ROLE_COUNT; role++) {
        int index = processor_certificate_key[role];
        processor_key_known[role] = optional_strings[index].value != nullptr;
        if (processor_key_known[role] && !read_certificate(index, processor_keys[role], nullptr))
            return false;
    }
    curve = true;
    return !optional_strings[CURVE_CLIENTS_STR].value || check_clients_directory();
}

// The addresses of "/allow", as parsed; empty without the key.
static allow_list_t allowed;

// The canonical text of an address of family, as the library reports a
// peer's address.
static void add_address_text(zmsg_t *command, int family, const void *address)
{
    char text[INET6_ADDRSTRLEN];
    zmsg_addstr(command, inet_ntop(family, address, text, sizeof text));
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
    bool mapped = any_endpoint_wants_ipv6();
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
    make_udp_sources(allowed.ipv4);
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
    if (curve) {
        const char *clients = optional_strings[CURVE_CLIENTS_STR].value;
        zstr_sendx(authenticator, "CURVE", clients ? clients : CURVE_ALLOW_ANY, nullptr);
        zsock_wait(authenticator);
    }
    return true;
}

bool create_access()
{
    bool certificate = optional_strings[CURVE_CERTIFICATE_STR].value != nullptr;
    for (int index : {CURVE_CLIENTS_STR, CURVE_PROCESSOR_STR, CURVE_BACKYARD_STR}) {
        if (optional_strings[index].value && !certificate) {
            log_line(LOG_ERR, "Parameter \"%s\" needs \"%s\"", optional_strings[index].name,
                     optional_strings[CURVE_CERTIFICATE_STR].name);
            return false;
        }
    }
    if (certificate && !read_curve_keys()) {
        destroy_access();
        return false;
    }
    zmsg_t *allow = nullptr;
    if (optional_strings[ALLOW_STR].value && !(allow = allow_command())) {
        destroy_access();
        return false;
    }
    udp_sources_checked = allow != nullptr;
    if ((certificate || allow) && !start_authenticator(&allow)) {
        destroy_access();
        return false;
    }
    return true;
}

void apply_access(zsock_t *socket, int role)
{
    if (max_message_size >= 0)
        zmq_setsockopt(zsock_resolve(socket), ZMQ_MAXMSGSIZE, &max_message_size,
                       sizeof max_message_size);
    if (authenticator)
        zsock_set_zap_domain(socket, ZAP_DOMAIN);
    if (!curve)
        return;
    zsock_set_curve_publickey_bin(socket, public_key);
    zsock_set_curve_secretkey_bin(socket, secret_key);
    if (role == SERVER_ROLE || !processor_key_known[role])
        zsock_set_curve_server(socket, 1);
    else
        zsock_set_curve_serverkey_bin(socket, processor_keys[role]);
}

bool udp_source_allowed(uint32_t address)
{
    if (address == 0)
        return udp_source_any_address;
    size_t slot = udp_source_slot(address);
    while (udp_source_slots[slot] != address) {
        if (udp_source_slots[slot] == 0)
            return false;
        slot = (slot + 1) & (udp_source_slots.size() - 1);
    }
    return true;
}

bool udp_ipv6_source_allowed(const struct in6_addr *address)
{
    for (const struct in6_addr &entry : allowed.ipv6)
        if (IN6_ARE_ADDR_EQUAL(&entry, address))
            return true;
    return false;
}

bool authenticates(int role)
{
    return authenticator && (role == SERVER_ROLE || !curve || !processor_key_known[role]);
}

void forget_secret_key()
{
    explicit_bzero(secret_key, sizeof secret_key);
}

void destroy_access()
{
    zactor_destroy(&authenticator);
    forget_secret_key();
    curve = false;
    udp_source_slots.clear();
    allowed = allow_list_t();
    udp_source_any_address = false;
    udp_sources_checked = false;
    for (bool &known : processor_key_known)
        known = false;
}
