#include "config.h"

#include "addresses.h"
#include "log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

config_string_type config_strings[STR_COUNT] = {
    {"/pidfile", nullptr},
    {"/publisher", nullptr},
    {"/gatewaypublisher", nullptr},
    {"/subscriber", nullptr},
    {"/udpport", nullptr},
    {"/message_processor", nullptr},
    {"/message_processor_backyard", nullptr},
    {"/buffer_size", nullptr},
};

config_string_type optional_strings[OPTIONAL_COUNT] = {
    {"/curve/certificate", nullptr},
    {"/curve/clients", nullptr},
    {"/curve/message_processor", nullptr},
    {"/curve/message_processor_backyard", nullptr},
    {"/allow", nullptr},
    {"/max_message_size", nullptr},
    {"/udpaddress", nullptr},
    {"/queue/subscriber", nullptr},
    {"/queue/publisher", nullptr},
    {"/queue/gatewaypublisher", nullptr},
    {"/queue/message_processor", nullptr},
    {"/queue/message_processor_backyard", nullptr},
    {"/peer_timeout", nullptr},
    {"/stop_grace", nullptr},
    {"/udp_receive_buffer", nullptr},
    {"/metrics", nullptr},
    {"/metrics_allow", nullptr},
};

int udp_buffer_size = MIN_UDP_BUFFSIZE;
int64_t max_message_size = -1;
int udp_family = AF_INET;
uint32_t udp_address = htonl(INADDR_ANY);
struct in6_addr udp_address6 = IN6ADDR_ANY_INIT;
int queue_depths[QUEUE_COUNT] = {0, 0, 0, 0, 0};
int peer_timeout_ms = 0;
int stop_grace_ms = DEFAULT_STOP_GRACE_MSECS;
int udp_receive_buffer = 0;

// The optional keys that are whole numbers, where each goes and its limits.
struct number_key {
    int index;
    int *value;
    long long min, max;
};

static const number_key NUMBER_KEYS[] = {
    {QUEUE_SUBSCRIBER_STR, &queue_depths[INBOUND_QUEUE], 1, 10000000},
    {QUEUE_PUBLISHER_STR, &queue_depths[PUBLISHER_QUEUE], 1, 10000000},
    {QUEUE_GATEWAYPUBLISHER_STR, &queue_depths[GATEWAY_QUEUE], 1, 10000000},
    {QUEUE_PROCESSOR_STR, &queue_depths[PROCESSOR_QUEUE], 1, 10000000},
    {QUEUE_BACKYARD_STR, &queue_depths[BACKYARD_QUEUE], 1, 10000000},
    {PEER_TIMEOUT_STR, &peer_timeout_ms, 0, 3600000},
    {STOP_GRACE_STR, &stop_grace_ms, 0, 3600000},
    // The kernel keeps twice the size asked for, in an int.
    {UDP_RECEIVE_BUFFER_STR, &udp_receive_buffer, 1, 1073741823},
};

// Owns every value text that config_strings points to.
static zconfig_t *config = nullptr;

// Digits only, as the socket option takes them: 0 to INT64_MAX.
static bool parse_size(const char *text, int64_t *size)
{
    if (*text < '0' || *text > '9')
        return false;
    char *end;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (errno || *end)
        return false;
    *size = value;
    return true;
}

// Reads the optional whole numbers that are there; logs the first that is
// not one within its limits.
static bool read_numbers()
{
    for (const number_key &key : NUMBER_KEYS) {
        const char *text = optional_strings[key.index].value;
        int64_t number;
        if (!text)
            continue;
        if (!parse_size(text, &number) || number < key.min || number > key.max) {
            log_line(LOG_ERR, "Parameter \"%s\": \"%s\" is not a whole number from %lld to %lld",
                     optional_strings[key.index].name, text, key.min, key.max);
            return false;
        }
        *key.value = static_cast<int>(number);
    }
    return true;
}

// Reads "/udpaddress": a dotted quad (inet_pton takes no shorter or octal
// forms), or an IPv6 address where it holds a colon, without a zone.
static bool read_udp_address(const char *address)
{
    bool ipv6 = strchr(address, ':') != nullptr;
    void *parsed = ipv6 ? static_cast<void *>(&udp_address6) : &udp_address;
    if (inet_pton(ipv6 ? AF_INET6 : AF_INET, address, parsed) != 1) {
        log_line(LOG_ERR, "Parameter \"%s\": \"%s\" is not an IPv%d address",
                 optional_strings[UDPADDRESS_STR].name, address, ipv6 ? 6 : 4);
        return false;
    }
    if (ipv6 && !host_speaks_ipv6()) {
        log_line(LOG_ERR, "Parameter \"%s\": \"%s\" needs IPv6, which this host lacks (%d, %s)",
                 optional_strings[UDPADDRESS_STR].name, address, errno, strerror(errno));
        return false;
    }
    if (ipv6 && IN6_IS_ADDR_V4MAPPED(&udp_address6))
        memcpy(&udp_address, udp_address6.s6_addr + 12, sizeof udp_address);
    else if (ipv6)
        udp_family = AF_INET6;
    return true;
}

// Reads the optional values that are numbers or addresses; logs the first
// that is not one.
static bool read_optional_values()
{
    if (!read_numbers())
        return false;
    const char *size = optional_strings[MAX_MESSAGE_SIZE_STR].value;
    if (size && !parse_size(size, &max_message_size)) {
        log_line(LOG_ERR, "Parameter \"%s\": \"%s\" is not a size in bytes",
                 optional_strings[MAX_MESSAGE_SIZE_STR].name, size);
        return false;
    }
    const char *address = optional_strings[UDPADDRESS_STR].value;
    return !address || read_udp_address(address);
}

bool create_config(const char *config_file)
{
    config = zconfig_load(config_file);
    if (!config) {
        log_line(LOG_ERR, "Error in the configuration file!");
        return false;
    }
    for (config_string_type &entry : config_strings) {
        entry.value = zconfig_get(config, entry.name, nullptr);
        if (!entry.value) {
            log_line(LOG_ERR, "Parameter \"%s\" is not found in the configuration file!",
                     entry.name);
            destroy_config();
            return false;
        }
    }
    int size = parse_int(config_strings[BUFFER_SIZE_STR].value);
    if (size < MIN_UDP_BUFFSIZE)
        size = MIN_UDP_BUFFSIZE;
    else if (size > MAX_UDP_BUFFSIZE)
        size = MAX_UDP_BUFFSIZE;
    udp_buffer_size = size;
    for (config_string_type &entry : optional_strings)
        entry.value = zconfig_get(config, entry.name, nullptr);
    if (!read_optional_values() || !check_endpoint_addresses()) {
        destroy_config();
        return false;
    }
    return true;
}

void destroy_config()
{
    for (config_string_type &entry : config_strings)
        entry.value = nullptr;
    for (config_string_type &entry : optional_strings)
        entry.value = nullptr;
    max_message_size = -1;
    udp_family = AF_INET;
    udp_address = htonl(INADDR_ANY);
    udp_address6 = in6addr_any;
    for (const number_key &key : NUMBER_KEYS)
        *key.value = 0;
    stop_grace_ms = DEFAULT_STOP_GRACE_MSECS;
    zconfig_destroy(&config);
}

int parse_int(const char *text)
{
    // strtol saturates at LONG_MIN/LONG_MAX instead of overflowing.
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}
