// The hex decoder against a plain reference decoding: same count, same
// bytes, never a byte past the capacity (the area is exactly that large).

#include "record.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    ssize_t max_size = data[0] % 40; // capacity chosen by the input
    std::string hex(reinterpret_cast<const char *>(data + 1), size - 1);
    std::vector<uint8_t> area(static_cast<size_t>(max_size));
    size_t stored = string_to_uint8_arr(hex.c_str(), area.data(), max_size);

    size_t length = strlen(hex.c_str()); // the decoder stops at a NUL
    bool valid = true;
    for (size_t i = 0; i < length; i++)
        valid = valid && (isxdigit(static_cast<unsigned char>(hex[i])) != 0);
    size_t expected = valid ? std::min(length / 2, static_cast<size_t>(max_size)) : 0;
    if (stored != expected)
        abort();
    for (size_t i = 0; i < stored; i++) {
        if (area[i] != strtol(hex.substr(2 * i, 2).c_str(), nullptr, 16))
            abort();
    }
    return 0;
}
