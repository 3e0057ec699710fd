#pragma once
// Timestamped records: the text after the "#oldmp " prefix, made of 12 hex
// digits of timestamp, one separator character that is never examined, and
// the hex digits of the payload. Checking and decoding need no sockets.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr size_t TIMESTAMP_SIZE = 6;    // bytes of a decoded timestamp
constexpr size_t TIMESTAMP_DIGITS = 12; // hex digits of the timestamp text
constexpr size_t PAYLOAD_OFFSET = 13;   // offset of the payload digits

// Decodes the hex digits of hex_string (either case, first digit of a pair
// the high four bits) into pret, storing at most max_size bytes; a lone last
// digit is validated but yields no byte, and digits past max_size bytes are
// validated too. Returns the number of bytes stored. At the first character
// that is not a hex digit, logs "string_to_uint8_arr: Invalid input data:
// [%02X]" with the character's code taken as a signed 8-bit value and
// returns 0; bytes stored before it stay in pret.
size_t string_to_uint8_arr(const char *hex_string, uint8_t *pret, ssize_t max_size);

// Number of payload bytes of a record text of str_len characters; only
// meaningful once decode_record_timestamp has accepted the text.
inline size_t record_data_size(size_t str_len)
{
    return (str_len - PAYLOAD_OFFSET) / 2;
}

// Checks the length of the record text str_data (str_len characters, not
// counting its NUL) and decodes its timestamp into timestamp. Ends the text
// at the separator, so the payload then starts after a NUL at offset 12.
// Logs "send_data: wrong size of input data!" or "send_data:
// string_to_uint8_arr: wrong timestamp!" and returns false when the text is
// not a record.
bool decode_record_timestamp(char *str_data, size_t str_len, uint8_t timestamp[TIMESTAMP_SIZE]);

// Decodes the payload digits of a record accepted by decode_record_timestamp
// into payload, which holds record_data_size(str_len) bytes. Logs "send_data:
// string_to_uint8_arr: wrong data!" and returns false when a payload
// character is not a hex digit.
bool decode_record_payload(const char *str_data, size_t str_len, uint8_t *payload);
