// The hex decoder on its own: what it stores and returns for each capacity,
// which the daemon only shows in part.

#include "record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(HexDecoder, PairsCaseLimitsAndInvalidCharacters)
{
    const struct {
        std::string hex;
        ssize_t max_size;
        size_t returned;
        std::vector<uint8_t> stored; // bytes written, from the start of the area
    } cases[] = {
        {"0a0B", 2, 2, {0x0a, 0x0b}},
        {"aBcD", 2, 2, {0xab, 0xcd}}, // cases mixed, first digit high
        {"0123456789abcdefABCDEF",
         11,
         11,
         {1, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xab, 0xcd, 0xef}},
        {"abc", 1, 1, {0xab}}, // a lone last digit yields no byte
        {"f", 0, 0, {}},
        {"", 0, 0, {}},
        {"zz", 1, 0, {}},
        {"ab cd", 2, 0, {0xab}}, // stored bytes stay after an invalid one
        {"abZ", 1, 0, {0xab}},   // the lone last digit is validated too
        {"a\xe9", 1, 0, {}},
        {"abcdef", 2, 2, {0xab, 0xcd}},  // never more than max_size bytes
        {"abcdefZ", 2, 0, {0xab, 0xcd}}, // validation goes on past max_size
        {"abcd", 0, 0, {}},
        {"abcd", -1, 0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hex + " max " + std::to_string(c.max_size));
        // A guard byte on each side; exactly the capacity in between.
        size_t capacity = c.max_size > 0 ? static_cast<size_t>(c.max_size) : 0;
        std::vector<uint8_t> area(capacity + 2, 0xee), expected = area;
        std::copy(c.stored.begin(), c.stored.end(), expected.begin() + 1);
        EXPECT_EQ(string_to_uint8_arr(c.hex.c_str(), area.data() + 1, c.max_size), c.returned);
        EXPECT_EQ(area, expected);
    }
}
