// The ExtBaudrate parser on its own: the pair grammar, the limits, and that it never reads
// outside the value it is given.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/entry.h"

namespace {

struct Parsed {
    LONG count;
    std::vector<EXT_BAUD_ENTRY> entries;  // the first `count` entries
};

// Parses `text` from a heap block of exactly its length (no terminator), so that any read past
// the end is a sanitizer error.
Parsed Parse(const std::string& text) {
    std::unique_ptr<char[]> block(new char[text.size() == 0 ? 1 : text.size()]);
    std::memcpy(block.get(), text.data(), text.size());
    EXT_BAUD_ENTRY table[EXT_BAUD_TABLE_SIZE] = {};
    LONG count = ParseExtBaudrate(block.get(), static_cast<ULONG>(text.size()), table);
    Parsed parsed{count, {}};
    for (LONG i = 0; i < count && i < LONG(EXT_BAUD_TABLE_SIZE); ++i) {
        parsed.entries.push_back(table[i]);
    }
    return parsed;
}

std::string Pairs(int n) {
    std::string text;
    for (int i = 1; i <= n; ++i) {
        text += (i > 1 ? " " : "") + std::to_string(i * 100) + "," + std::to_string(i * 1000);
    }
    return text;
}

}  // namespace

TEST(ExtBaudrateParse, WellFormedPairs) {
    EXPECT_EQ(Parse("").count, 0);

    Parsed one = Parse("1200,2400");
    ASSERT_EQ(one.count, 1);
    EXPECT_EQ(one.entries[0].RequestedRate, 1200);
    EXPECT_EQ(one.entries[0].ChipRate, 2400);

    Parsed two = Parse("1200,2400 9600,19200");
    ASSERT_EQ(two.count, 2);
    EXPECT_EQ(two.entries[1].RequestedRate, 9600);
    EXPECT_EQ(two.entries[1].ChipRate, 19200);

    // A chip rate may be a divisor word; numbers convert as atol does (white space, sign,
    // digits up to the first other character).
    Parsed forms = Parse("250000,-2147482560  +7,12x");
    ASSERT_EQ(forms.count, 2);
    EXPECT_EQ(forms.entries[0].ChipRate, LONG(0x80000440));
    EXPECT_EQ(forms.entries[1].RequestedRate, 7);
    EXPECT_EQ(forms.entries[1].ChipRate, 12);

    Parsed ten = Parse(Pairs(10));
    ASSERT_EQ(ten.count, 10);
    EXPECT_EQ(ten.entries[9].RequestedRate, 1000);
    EXPECT_EQ(ten.entries[9].ChipRate, 10000);

    // Pairs beyond the tenth are ignored, whatever they hold.
    Parsed eleven = Parse(Pairs(11));
    ASSERT_EQ(eleven.count, 10);
    EXPECT_EQ(eleven.entries[9].ChipRate, 10000);
    EXPECT_EQ(Parse(Pairs(10) + " garbage-without-a-comma-and-far-too-long").count, 10);
}

TEST(ExtBaudrateParse, FieldLimitsSpoilTheWholeValue) {
    const std::string digits21(21, '1');
    const std::string digits22(22, '1');

    // The first number may have 21 characters before its comma, not 22, and an over-long
    // number discards the pairs before it too.
    EXPECT_EQ(Parse(digits21 + ",5").count, 1);
    EXPECT_EQ(Parse(digits22 + ",5").count, 0);
    EXPECT_EQ(Parse("1200,2400 " + digits22 + ",5").count, 0);

    // The second number must end (space or end of value) within 22 characters.
    EXPECT_EQ(Parse("5," + digits21).count, 1);
    EXPECT_EQ(Parse("5," + digits21 + " 6,7").count, 2);
    EXPECT_EQ(Parse("5," + digits22).count, 0);
    EXPECT_EQ(Parse("1200,2400 5," + digits22 + " 6,7").count, 0);
}

TEST(ExtBaudrateParse, EndOfValueWithoutCommaKeepsEarlierPairs) {
    // A trailing space, or a last word without a comma, ends the list at the end of the value;
    // the pairs before it stay. (Each text sits at the very end of its heap block.)
    Parsed trailing = Parse("1200,2400 ");
    ASSERT_EQ(trailing.count, 1);
    EXPECT_EQ(trailing.entries[0].ChipRate, 2400);

    Parsed dangling = Parse("1200,2400 9600,19200 38400");
    ASSERT_EQ(dangling.count, 2);
    EXPECT_EQ(dangling.entries[1].ChipRate, 19200);

    EXPECT_EQ(Parse("9600").count, 0);
    EXPECT_EQ(Parse(" ").count, 0);

    // Only the given length counts, even when a comma follows it in memory, and a zero inside
    // the value ends it.
    const char text[] = "1200,2400 9600,19200";
    EXT_BAUD_ENTRY table[EXT_BAUD_TABLE_SIZE] = {};
    EXPECT_EQ(ParseExtBaudrate(text, 14, table), 1);  // "1200,2400 9600"
    const char zero[] = "1200,2400\0 9600,19200";
    EXPECT_EQ(ParseExtBaudrate(zero, sizeof(zero) - 1, table), 1);
}
