// The hex decoders of timestamped records: digit by digit, and the record
// route's pair decoding.

#include "record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

struct DecodeCase {
    std::string hex;
    ssize_t max_size;
    size_t returned;
    std::vector<uint8_t> stored; // bytes written, from the start of the area
};

} // namespace

TEST(HexDecoder, PairsCaseLimitsAndInvalidCharacters)
{
    const DecodeCase cases[] = {
        {"0a0B", 2, 2, {0x0a, 0x0b}},
        {"aBcD", 2, 2, {0xab, 0xcd}}, // cases mixed, first digit high
        {"0123456789abcdefABCDEF",
         11,
         11,
         {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xab, 0xcd, 0xef}},
        {"abc", 1, 1, {0xab}}, // a lone last digit yields no byte
        {"f", 0, 0, {}},
        {"", 0, 0, {}},
        {"zz", 1, 0, {}},
        {"ab cd", 2, 0, {0xab}}, // stored bytes stay after an invalid one
        {"abcG", 2, 0, {0xab}},
        {"abZ", 1, 0, {0xab}}, // the lone last digit is validated too
        {"a\xe9", 1, 0, {}},
        {"abcdef", 2, 2, {0xab, 0xcd}},  // never more than max_size bytes
        {"abcdefZ", 2, 0, {0xab, 0xcd}}, // validation goes on past max_size
        {"abcd", 0, 0, {}},
        {"abcd", -1, 0, {}},
    };
    for (const DecodeCase &c : cases) {
        SCOPED_TRACE(c.hex + " max " + std::to_string(c.max_size));
        // Exactly max_size bytes on the heap: a write past it is caught by
        // AddressSanitizer builds.
        size_t capacity = c.max_size > 0 ? static_cast<size_t>(c.max_size) : 0;
        std::unique_ptr<uint8_t[]> area(new uint8_t[capacity + 1]);
        uint8_t *output = area.get() + 1; // the byte before is a guard
        area[0] = 0xee;
        std::fill(output, output + capacity, 0xee);
        EXPECT_EQ(string_to_uint8_arr(c.hex.c_str(), output, c.max_size), c.returned);
        EXPECT_EQ(area[0], 0xee);
        std::vector<uint8_t> expected(capacity, 0xee);
        std::copy(c.stored.begin(), c.stored.end(), expected.begin());
        EXPECT_EQ(std::vector<uint8_t>(output, output + capacity), expected);
    }
}

TEST(HexDecoder, EveryByteValue)
{
    const char digits[] = "0123456789abcdef";
    for (int byte = 0; byte < 256; byte++) {
        for (bool upper_case : {false, true}) {
            char hex[3] = {digits[byte >> 4], digits[byte & 15], 0};
            if (upper_case) {
                hex[0] = static_cast<char>(toupper(hex[0]));
                hex[1] = static_cast<char>(toupper(hex[1]));
            }
            uint8_t out = 0;
            ASSERT_EQ(string_to_uint8_arr(hex, &out, 1), 1u) << hex;
            ASSERT_EQ(out, byte) << hex;
        }
    }
    for (int code = 1; code < 256; code++) { // every other byte is rejected
        char text[3] = {'a', static_cast<char>(code), 0};
        uint8_t out;
        bool is_digit = isxdigit(code);
        EXPECT_EQ(string_to_uint8_arr(text, &out, 1), is_digit ? 1u : 0u) << code;
    }
}

namespace
{

struct RecordCase {
    std::string record; // the text after the prefix
    bool timestamp_ok;
    std::vector<uint8_t> timestamp;
    bool payload_ok;
    std::vector<uint8_t> payload;
};

} // namespace

TEST(RecordDecoder, TimestampAndPayloadPairsLoneDigitsAndInvalidCharacters)
{
    const std::vector<uint8_t> ts = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab};
    std::string long_hex(4001, 'f');
    const RecordCase cases[] = {
        {"0123456789ab|0a0B", true, ts, true, {0x0a, 0x0b}},
        {"0123456789AB ", true, ts, true, {}},
        {"0123456789ab abc", true, ts, true, {0xab}}, // a lone last digit yields no byte
        {"0123456789ab 5", true, ts, true, {}},
        {"0123456789ab abZ", true, ts, false, {}}, // ... but is validated
        {"0123456789ab Z", true, ts, false, {}},
        {"0123456789ab Zb", true, ts, false, {}}, // first digit of the first pair
        {"0123456789ab aZ", true, ts, false, {}}, // second digit of the first pair
        {"0123456789ab 00ff\xe9", true, ts, false, {}},
        {"0123456789ab " + long_hex, true, ts, true, std::vector<uint8_t>(2000, 0xff)},
        {"0123456789ab " + long_hex.substr(0, 3000) + "g" + long_hex.substr(0, 999),
         true,
         ts,
         false,
         {}},
        {"G123456789ab 00", false, {}, false, {}}, // first timestamp digit
        {"0123456789aG 00", false, {}, false, {}}, // last timestamp digit
        {"0123 56789ab 00", false, {}, false, {}},
        {"\xe9"
         "123456789ab 00",
         false,
         {},
         false,
         {}},
        {"0123456789ab", false, {}, false, {}}, // too short
        {"", false, {}, false, {}},
    };
    for (const RecordCase &c : cases) {
        SCOPED_TRACE(c.record.substr(0, 40));
        std::string text = c.record;
        uint8_t timestamp[TIMESTAMP_SIZE];
        ASSERT_EQ(decode_record_timestamp(text.data(), text.size(), timestamp), c.timestamp_ok);
        if (!c.timestamp_ok)
            continue;
        EXPECT_EQ(std::vector<uint8_t>(timestamp, timestamp + TIMESTAMP_SIZE), c.timestamp);
        EXPECT_EQ(text[TIMESTAMP_DIGITS], '\0'); // the text now ends at the separator
        // Exactly the payload's size on the heap: AddressSanitizer builds
        // catch a write past it.
        size_t size = record_data_size(text.size());
        std::unique_ptr<uint8_t[]> payload(new uint8_t[size + 1]);
        ASSERT_EQ(decode_record_payload(text.data(), text.size(), payload.get()), c.payload_ok);
        if (c.payload_ok) {
            EXPECT_EQ(std::vector<uint8_t>(payload.get(), payload.get() + size), c.payload);
        }
    }
}

TEST(RecordDecoder, EveryByteAtEveryPositionIsCheckedLikeTheDigitDecoder)
{
    const std::string valid = "0123456789ab 0a1B2c3D4";
    for (size_t position = 0; position < valid.size(); position++) {
        if (position == TIMESTAMP_DIGITS)
            continue; // the separator is never examined
        for (int code = 1; code < 256; code++) {
            std::string text = valid;
            text[position] = static_cast<char>(code);
            bool expected = isxdigit(code);
            uint8_t timestamp[TIMESTAMP_SIZE], payload[4];
            bool timestamp_ok = decode_record_timestamp(text.data(), text.size(), timestamp);
            bool accepted =
                timestamp_ok && decode_record_payload(text.data(), text.size(), payload);
            ASSERT_EQ(accepted, expected) << "position " << position << " code " << code;
            if (!expected)
                continue;
            // The same text decoded digit by digit gives the same bytes.
            uint8_t reference[TIMESTAMP_SIZE];
            ASSERT_EQ(string_to_uint8_arr(text.c_str(), reference, TIMESTAMP_SIZE), 6u);
            EXPECT_EQ(memcmp(timestamp, reference, TIMESTAMP_SIZE), 0);
            uint8_t payload_reference[4];
            ASSERT_EQ(string_to_uint8_arr(text.c_str() + PAYLOAD_OFFSET, payload_reference, 4), 4u);
            EXPECT_EQ(memcmp(payload, payload_reference, 4), 0);
        }
    }
}
