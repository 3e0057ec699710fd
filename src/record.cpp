#include "record.h"

#include <syslog.h>

// Value of every byte as a hex digit, or -1: one lookup per digit.
struct hex_digit_table {
    int8_t value[256];
    constexpr hex_digit_table() : value()
    {
        for (int8_t &entry : value)
            entry = -1;
        for (int digit = 0; digit < 10; digit++)
            value['0' + digit] = static_cast<int8_t>(digit);
        for (int digit = 0; digit < 6; digit++)
            value['a' + digit] = value['A' + digit] = static_cast<int8_t>(10 + digit);
    }
};
static constexpr hex_digit_table hex_digits;

// Decodes like string_to_uint8_arr, but tells an invalid character apart
// from a valid text that yields no byte: *valid is false after one.
static size_t decode_hex(const char *hex_string, uint8_t *pret, size_t max_size, bool *valid)
{
    size_t num_converted = 0;
    bool upper = true;
    int high = 0;
    for (const char *digit = hex_string; *digit; digit++) {
        int value = hex_digits.value[static_cast<unsigned char>(*digit)];
        if (value < 0) {
            syslog(LOG_ERR, "%s: Invalid input data: [%02X]", "string_to_uint8_arr",
                   static_cast<unsigned>(static_cast<int>(static_cast<signed char>(*digit))));
            *valid = false;
            return num_converted;
        }
        if (upper) {
            high = value;
        } else if (num_converted < max_size) {
            pret[num_converted++] = static_cast<uint8_t>(high << 4 | value);
        }
        upper = !upper;
    }
    *valid = true;
    return num_converted;
}

size_t string_to_uint8_arr(const char *hex_string, uint8_t *pret, ssize_t max_size)
{
    bool valid;
    size_t stored =
        decode_hex(hex_string, pret, max_size > 0 ? static_cast<size_t>(max_size) : 0, &valid);
    return valid ? stored : 0;
}

bool decode_record_timestamp(char *str_data, size_t str_len, uint8_t timestamp[TIMESTAMP_SIZE])
{
    if (str_len <= TIMESTAMP_DIGITS) {
        syslog(LOG_ERR, "%s: wrong size of input data!", "send_data");
        return false;
    }
    str_data[TIMESTAMP_DIGITS] = '\0';
    if (string_to_uint8_arr(str_data, timestamp, TIMESTAMP_SIZE) != TIMESTAMP_SIZE) {
        syslog(LOG_ERR, "%s: string_to_uint8_arr: wrong timestamp!", "send_data");
        return false;
    }
    return true;
}

bool decode_record_payload(const char *str_data, size_t str_len, uint8_t *payload)
{
    size_t data_size = record_data_size(str_len);
    bool valid;
    // A lone invalid character yields no byte either: checking the count
    // alone would let such a record through as an empty payload.
    if (decode_hex(str_data + PAYLOAD_OFFSET, payload, data_size, &valid) != data_size || !valid) {
        syslog(LOG_ERR, "%s: string_to_uint8_arr: wrong data!", "send_data");
        return false;
    }
    return true;
}
