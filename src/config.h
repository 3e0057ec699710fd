#pragma once
// Configuration of the daemon: one ZPL file, eight required top-level keys,
// loaded once at start-up and kept until teardown.

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

struct config_string_type {
    const char *name;  // key path, leading slash included
    const char *value; // borrowed from the loaded tree; null until loaded
};

// Limits of the UDP receive capacity, in bytes.
constexpr int MIN_UDP_BUFFSIZE = 2048;
constexpr int MAX_UDP_BUFFSIZE = 65507;

extern config_string_type config_strings[STR_COUNT];

// UDP receive capacity: MIN_UDP_BUFFSIZE until loaded, then the clamped
// value of "/buffer_size".
extern int udp_buffer_size;

// Loads and checks the file at config_file. Logs "Error in the configuration
// file!" when it cannot be loaded, or the first missing key in table order,
// and then returns false with nothing loaded. On success every value of
// config_strings is set and udp_buffer_size is clamped into its limits.
bool create_config(const char *config_file);

// Releases the loaded tree and empties every value. Safe when nothing is
// loaded and when called twice.
void destroy_config();

// Decimal text to int with the conversion rules of atoi (leading white
// space, optional sign, digits up to the first non-digit, 0 without digits),
// but saturating at INT_MIN/INT_MAX where atoi's result is undefined.
int parse_int(const char *text);
