#pragma once
// Configuration of the daemon: one ZPL file, eight required top-level keys
// and a few optional ones, loaded once at start-up and kept until teardown.

#include <cstdint>
#include <czmq.h>

// Indexes of config_strings. The order is the lookup order, so it decides
// which missing key is reported first.
enum {
    PIDFILE_STR,
    PUBLISHER_STR,
    GATEWAYPUBLISHER_STR,
    SUBSCRIBER_STR,
    UDPPORT_STR,
    MESSAGE_PROCESSOR_STR,
    MESSAGE_PROCESSOR_BACKYARD_STR,
    BUFFER_SIZE_STR,
    STR_COUNT
};

// Indexes of optional_strings, the keys that may be absent: the daemon's
// CURVE certificate, the directory of admitted clients' certificates, the
// certificates of the two message processors, the addresses allowed to
// connect, the largest frame a peer may send, the UDP socket's address; the
// queue depth of each messaging socket, in the order of socket_records; the
// time after which a dead peer is given up, the grace of a stop, the UDP
// socket's receive buffer; the metrics endpoint's address and the addresses
// that may scrape it; the directory of the disk spools and the bytes each
// message processor's spool may hold.
enum {
    CURVE_CERTIFICATE_STR,
    CURVE_CLIENTS_STR,
    CURVE_PROCESSOR_STR,
    CURVE_BACKYARD_STR,
    ALLOW_STR,
    MAX_MESSAGE_SIZE_STR,
    UDPADDRESS_STR,
    QUEUE_SUBSCRIBER_STR,
    QUEUE_PUBLISHER_STR,
    QUEUE_GATEWAYPUBLISHER_STR,
    QUEUE_PROCESSOR_STR,
    QUEUE_BACKYARD_STR,
    PEER_TIMEOUT_STR,
    STOP_GRACE_STR,
    UDP_RECEIVE_BUFFER_STR,
    METRICS_STR,
    METRICS_ALLOW_STR,
    SPOOL_DIRECTORY_STR,
    SPOOL_PROCESSOR_STR,
    SPOOL_BACKYARD_STR,
    OPTIONAL_COUNT
};

struct config_string_type {
    const char *name;  // key path, leading slash included
    const char *value; // borrowed from the loaded tree; null until loaded
};

// Limits of the UDP receive capacity, in bytes.
constexpr int MIN_UDP_BUFFSIZE = 2048;
constexpr int MAX_UDP_BUFFSIZE = 65507;

extern config_string_type config_strings[STR_COUNT];

// The optional keys; a value is null where the key is absent.
extern config_string_type optional_strings[OPTIONAL_COUNT];

// UDP receive capacity: MIN_UDP_BUFFSIZE until loaded, then the clamped
// value of "/buffer_size".
extern int udp_buffer_size;

// Milliseconds that a stop may spend on delivering what the daemon took in
// without "/stop_grace".
constexpr int DEFAULT_STOP_GRACE_MSECS = 1000;

// Loads and checks the file at config_file. Logs "Error in the configuration
// file!" when it cannot be loaded, the first missing key in table order, or
// an optional size, number or address that is not one, or an endpoint whose
// bracketed address is not an IPv6 one or that needs IPv6 on a host without
// it ('Parameter "/key": "value" is not ...'), and then returns false with
// nothing loaded. On success every
// value of config_strings is set, udp_buffer_size is clamped into its
// limits, and the optional keys that are there are set and read.
bool create_config(const char *config_file);

// The value of the optional key index that is a number (a queue depth, a
// time, a size), as create_config checked it; absent where the key is not
// set.
int64_t optional_number(int index, int64_t absent);

// Releases the loaded tree and empties every value. Safe when nothing is
// loaded and when called twice.
void destroy_config();

// Decimal text to int with the conversion rules of atoi (leading white
// space, optional sign, digits up to the first non-digit, 0 without digits),
// but saturating at INT_MIN/INT_MAX where atoi's result is undefined.
int parse_int(const char *text);
