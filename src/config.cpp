#include "config.h"

#include "log.h"

#include <climits>
#include <cstdlib>

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

int udp_buffer_size = MIN_UDP_BUFFSIZE;

// Owns every value text that config_strings points to.
static zconfig_t *config = nullptr;

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
    return true;
}

void destroy_config()
{
    for (config_string_type &entry : config_strings)
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
