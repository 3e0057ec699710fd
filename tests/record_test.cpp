// The hex decoder of timestamped records.

#include "record.h"

#include <gtest/gtest.h>

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
