// Configuration loading on arbitrary file bytes: a load either fails and
// leaves nothing loaded, or sets every key and a clamped buffer size.

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
    destroy_config();
    for (const config_string_type &entry : config_strings)
        if (entry.value)
            abort();
    return 0;
}
