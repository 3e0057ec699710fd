// Configuration loading on arbitrary file bytes: a load either fails and
// leaves nothing loaded, or sets every key, a clamped buffer size and queue
// depths within their limits.

#include "config.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <unistd.h>

static std::string path;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    path = "/tmp/vostrelld-config-fuzz." + std::to_string(getpid());
    // The library prints parse errors on standard output.
    if (!freopen("/dev/null", "w", stdout))
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (!file || fwrite(data, 1, size, file) != size || fclose(file) != 0)
        abort();
    bool loaded = create_config(path.c_str());
    for (const config_string_type &entry : config_strings)
        if ((entry.value != nullptr) != loaded)
            abort();
    if (loaded && (udp_buffer_size < MIN_UDP_BUFFSIZE || udp_buffer_size > MAX_UDP_BUFFSIZE))
        abort();
    for (int key = QUEUE_SUBSCRIBER_STR; key <= QUEUE_BACKYARD_STR; key++)
        if (optional_number(key, 1) < 1 || optional_number(key, 1) > 10000000)
            abort();
    for (int key : {PEER_TIMEOUT_STR, STOP_GRACE_STR})
        if (optional_number(key, 0) < 0 || optional_number(key, 0) > 3600000)
            abort();
    if (optional_number(UDP_RECEIVE_BUFFER_STR, 1) < 1)
        abort();
    destroy_config();
    for (const config_string_type &entry : config_strings)
        if (entry.value)
            abort();
    for (const config_string_type &entry : optional_strings)
        if (entry.value)
            abort();
    return 0;
}
