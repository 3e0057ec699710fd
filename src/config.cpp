#include "config.h"

#include "addresses.h"
#include "log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

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
    {"/spool/directory", nullptr},
    {"/spool/message_processor", nullptr},
    {"/spool/message_processor_backyard", nullptr},
};

int udp_buffer_size = MIN_UDP_BUFFSIZE;

// The optional keys that are whole numbers and their limits.
struct number_key {
    int index;
    long long min, max;
};

static const number_key NUMBER_KEYS[] = {
    {QUEUE_SUBSCRIBER_STR, 1, 10000000},
    {QUEUE_PUBLISHER_STR, 1, 10000000},
    {QUEUE_GATEWAYPUBLISHER_STR, 1, 10000000},
    {QUEUE_PROCESSOR_STR, 1, 10000000},
    {QUEUE_BACKYARD_STR, 1, 10000000},
    {PEER_TIMEOUT_STR, 0, 3600000},
    {STOP_GRACE_STR, 0, 3600000},
    // The kernel keeps twice the size asked for, in an int.
    {UDP_RECEIVE_BUFFER_STR, 1, 1073741823},
    // From 1 MiB to 1 TiB of disk.
    {SPOOL_PROCESSOR_STR, 1LL << 20, 1LL << 40},
    {SPOOL_BACKYARD_STR, 1LL << 20, 1LL << 40},
};

// The keys that hold endpoints, in the order they are checked.
static const int ENDPOINT_KEYS[] = {SUBSCRIBER_STR, PUBLISHER_STR, GATEWAYPUBLISHER_STR,
                                    MESSAGE_PROCESSOR_STR, MESSAGE_PROCESSOR_BACKYARD_STR};

// The value of each optional key that is a number, once checked.
static int64_t numbers[OPTIONAL_COUNT];

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
        if (text && (!parse_size(text, &numbers[key.index]) || numbers[key.index] < key.min ||
                     numbers[key.index] > key.max)) {
            log_line(LOG_ERR, "Parameter \"%s\": \"%s\" is not a whole number from %lld to %lld",
                     optional_strings[key.index].name, text, key.min, key.max);
            return false;
        }
    }
    return true;
}

// Checks "/udpaddress": a dotted quad (inet_pton takes no shorter or octal
// forms), or an IPv6 address where it holds a colon, without a zone.
static bool check_udp_address(const char *address)
{
    struct sockaddr_storage parsed;
    bool ipv6 = strchr(address, ':') != nullptr;
    if (!parse_ip_address(address, &parsed)) {
        log_line(LOG_ERR, "Parameter \"%s\": \"%s\" is not an IPv%d address",
                 optional_strings[UDPADDRESS_STR].name, address, ipv6 ? 6 : 4);
        return false;
    }
    if (ipv6 && !host_speaks_ipv6()) {
        log_line(LOG_ERR, "Parameter \"%s\": \"%s\" needs IPv6, which this host lacks (%d, %s)",
                 optional_strings[UDPADDRESS_STR].name, address, errno, strerror(errno));
        return false;
    }
    return true;
}

// Checks the optional values that are numbers or addresses, and the
// endpoints; logs the first that is not one.
static bool check_values()
{
    if (!read_numbers())
        return false;
    const char *size = optional_strings[MAX_MESSAGE_SIZE_STR].value;
    if (size && !parse_size(size, &numbers[MAX_MESSAGE_SIZE_STR])) {
        log_line(LOG_ERR, "Parameter \"%s\": \"%s\" is not a size in bytes",
                 optional_strings[MAX_MESSAGE_SIZE_STR].name, size);
        return false;
    }
    for (int cap : {SPOOL_PROCESSOR_STR, SPOOL_BACKYARD_STR}) {
        if (optional_strings[cap].value && !optional_strings[SPOOL_DIRECTORY_STR].value) {
            log_line(LOG_ERR, "Parameter \"%s\" needs \"%s\"", optional_strings[cap].name,
                     optional_strings[SPOOL_DIRECTORY_STR].name);
            return false;
        }
    }
    const char *address = optional_strings[UDPADDRESS_STR].value;
    if (address && !check_udp_address(address))
        return false;
    for (int key : ENDPOINT_KEYS)
        if (!check_endpoint_list(config_strings[key].name, config_strings[key].value))
            return false;
    return true;
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
    if (!check_values()) {
        destroy_config();
        return false;
    }
    return true;
}

int64_t optional_number(int index, int64_t absent)
{
    return optional_strings[index].value ? numbers[index] : absent;
}

void destroy_config()
{
    for (config_string_type &entry : config_strings)
        entry.value = nullptr;
    for (config_string_type &entry : optional_strings)
        entry.value = nullptr;
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
