// The record route's check-and-decode path on arbitrary texts: a record is
// accepted exactly when it has 13 characters or more and hex digits
// everywhere but at the separator, and then decodes to the right sizes.

#include "record.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static bool all_hex(const char *text, size_t length)
{
    for (size_t i = 0; i < length; i++)
        if (!isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string original = text.c_str(); // the route sees the text up to a NUL
    size_t str_len = original.size();

    uint8_t timestamp[TIMESTAMP_SIZE];
    bool timestamp_ok = decode_record_timestamp(text.data(), str_len, timestamp);
    bool expect_timestamp = str_len > TIMESTAMP_DIGITS && all_hex(original.c_str(), 12);
    if (timestamp_ok != expect_timestamp)
        abort();
    if (!timestamp_ok)
        return 0;
    std::vector<uint8_t> payload(record_data_size(str_len));
    bool payload_ok = decode_record_payload(text.data(), str_len, payload.data());
    const char *digits = original.c_str() + PAYLOAD_OFFSET;
    if (payload_ok != all_hex(digits, strlen(digits)))
        abort();
    if (payload_ok && payload.size() != strlen(digits) / 2)
        abort();
    return 0;
}
