// Configuration loading on arbitrary file bytes: a load either fails and
// leaves nothing loaded, or sets every key, a clamped buffer size and queue
// depths within their limits.

#include "config.h"

#include <cstdio>
#include <cstdlib>
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
    for (int depth : queue_depths)
        if (depth < 0 || depth > 10000000)
            abort();
    if (peer_timeout_ms < 0 || peer_timeout_ms > 3600000 || stop_grace_ms < 0 ||
        stop_grace_ms > 3600000 || udp_receive_buffer < 0)
        abort();
    destroy_config();
    for (const config_string_type &entry : config_strings)
        if (entry.value)
            abort();
    if (queue_depths[BACKYARD_QUEUE] != 0 || stop_grace_ms != DEFAULT_STOP_GRACE_MSECS)
        abort();
    return 0;
}
