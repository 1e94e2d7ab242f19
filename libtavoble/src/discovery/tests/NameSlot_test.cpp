#include <gtest/gtest.h>

#include <string>

#include "NameSlot.h"

using Tavo::BLE::NameSlotLength;

TEST(NameSlot, CutsLongNamesAtACharacterBoundaryWithinFourteenBytes) {
    struct Case {
        const char* what;
        std::string name;
        std::size_t length;
    } cases[] = {
        {"short", "UA-0000.00.01", 13},
        {"exactly 14", "UA-0000.00.012", 14},
        {"ASCII, cut", "UA-0000.00.0123", 14},
        // "ä" is 2 bytes at 13..14: it would be split, so it goes whole.
        {"two-byte character across the cut", "UA-0000.00.01\xc3\xa4", 13},
        {"two-byte character ending at 14", "UA-0000.00.0\xc3\xa4x", 14},
        // "€" is 3 bytes at 12..14, a 4-byte emoji at 11..14.
        {"three-byte character across the cut", "UA-0000.00.0\xe2\x82\xac", 12},
        {"four-byte character across the cut", "UA-0000.00.\xf0\x9f\x98\x80", 11},
        {"character starting at 14", "UA-0000.00.012\xc3\xa4", 14},
        // Not UTF-8: a run of continuation bytes is cut where it is.
        {"continuation bytes only", std::string(20, '\x80'), 14},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NameSlotLength(c.name), c.length) << c.what;
    }
}
