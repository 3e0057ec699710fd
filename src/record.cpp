#include "record.h"

#include "log.h"

// Table of the hex value of every byte, shifted into place for the first
// (high) or the second (low) digit of a pair, with INVALID_DIGIT set for a
// byte that is not a hex digit. A pair then decodes with two lookups and one
// OR, and the OR of all pairs tells at the end whether any digit was
// invalid, so the decoding loop has no branch of its own.
constexpr uint32_t INVALID_DIGIT = 0x100;
struct hex_pair_table {
    uint32_t high[256];
    uint32_t low[256];
    constexpr hex_pair_table() : high(), low()
    {
        for (int byte = 0; byte < 256; byte++) {
            int value = byte >= '0' && byte <= '9'   ? byte - '0'
                        : byte >= 'a' && byte <= 'f' ? byte - 'a' + 10
                        : byte >= 'A' && byte <= 'F' ? byte - 'A' + 10
                                                     : -1;
            high[byte] = static_cast<uint32_t>(value < 0 ? INVALID_DIGIT : value << 4);
            low[byte] = static_cast<uint32_t>(value < 0 ? INVALID_DIGIT : value);
        }
    }
};
static constexpr hex_pair_table hex_pairs;

// Decodes the pairs digits[0..2*count) into count bytes. Returns false when
// any of those digits is not a hex digit; the bytes are then meaningless.
static bool decode_pairs(const char *digits, uint8_t *bytes, size_t count)
{
    uint32_t seen = 0;
    for (size_t i = 0; i < count; i++) {
        uint32_t pair = hex_pairs.high[static_cast<unsigned char>(digits[2 * i])] |
                        hex_pairs.low[static_cast<unsigned char>(digits[2 * i + 1])];
        bytes[i] = static_cast<uint8_t>(pair);
        seen |= pair;
    }
    return !(seen & INVALID_DIGIT);
}

size_t string_to_uint8_arr(const char *hex_string, uint8_t *pret, ssize_t max_size)
{
    size_t capacity = max_size > 0 ? static_cast<size_t>(max_size) : 0;
    size_t num_converted = 0;
    bool upper = true;
    uint32_t high = 0;
    for (const char *digit = hex_string; *digit; digit++) {
        uint32_t value = hex_pairs.low[static_cast<unsigned char>(*digit)];
        if (value == INVALID_DIGIT) {
            log_line(LOG_ERR, "%s: Invalid input data: [%02X]", "string_to_uint8_arr",
                     static_cast<unsigned>(static_cast<int>(static_cast<signed char>(*digit))));
            return 0;
        }
        if (upper)
            high = value << 4;
        else if (num_converted < capacity)
            pret[num_converted++] = static_cast<uint8_t>(high | value);
        upper = !upper;
    }
    return num_converted;
}

bool decode_record_timestamp(char *str_data, size_t str_len, uint8_t timestamp[TIMESTAMP_SIZE])
{
    if (str_len <= TIMESTAMP_DIGITS) {
        log_line(LOG_ERR, "%s: wrong size of input data!", "send_data");
        return false;
    }
    str_data[TIMESTAMP_DIGITS] = '\0';
    if (!decode_pairs(str_data, timestamp, TIMESTAMP_SIZE)) {
        // Decoded again, digit by digit, for the message about the first
        // invalid one.
        string_to_uint8_arr(str_data, timestamp, TIMESTAMP_SIZE);
        log_line(LOG_ERR, "%s: string_to_uint8_arr: wrong timestamp!", "send_data");
        return false;
    }
    return true;
}

bool decode_record_payload(const char *str_data, size_t str_len, uint8_t *payload)
{
    const char *digits = str_data + PAYLOAD_OFFSET;
    size_t data_size = record_data_size(str_len);
    bool lone_digit = (str_len - PAYLOAD_OFFSET) % 2 != 0;
    // A lone last digit yields no byte but is validated like the others.
    if (!decode_pairs(digits, payload, data_size) ||
        (lone_digit &&
         hex_pairs.low[static_cast<unsigned char>(digits[2 * data_size])] == INVALID_DIGIT)) {
        // Decoded again, digit by digit, for the message about the first
        // invalid one.
        string_to_uint8_arr(digits, payload, static_cast<ssize_t>(data_size));
        log_line(LOG_ERR, "%s: string_to_uint8_arr: wrong data!", "send_data");
        return false;
    }
    return true;
}
