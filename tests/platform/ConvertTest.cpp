#include "platform/Convert.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
using platform::StrToLong;
using platform::StrToUlong;

struct LongCase
{
    const char* text;
    LONG expected;
    std::size_t used;
};

TEST(StrToLong, FollowsTheCLibraryRulesOn32Bits)
{
    const LongCase cases[] = {
        {"0", 0, 1},
        {"42", 42, 2},
        {"  \t\n\v\f\r17", 17, 9},
        {"+8", 8, 2},
        {"-8", -8, 2},
        {"12abc", 12, 2},
        {"007", 7, 3},
        {"1 2", 1, 1},
        {"", 0, 0},
        {"-", 0, 0},
        {"+", 0, 0},
        {"   ", 0, 0},
        {"abc", 0, 0},
        {"- 5", 0, 0},
        {"+-5", 0, 0},
        {"0x1A", 0, 1},
        {"2147483647", 2147483647, 10},
        {"2147483648", 2147483647, 10},
        {"4294967296", 2147483647, 10},
        {"99999999999999999999999999", 2147483647, 26},
        {"-2147483648", -2147483647 - 1, 11},
        {"-2147483649", -2147483647 - 1, 11},
        {"-99999999999999999999999999", -2147483647 - 1, 27},
    };
    for (const LongCase& c : cases)
    {
        std::size_t nUsed = 99;
        EXPECT_EQ(StrToLong(std::string_view(c.text), &nUsed), c.expected) << c.text;
        EXPECT_EQ(nUsed, c.used) << c.text;
        EXPECT_EQ(StrToLong(c.text), c.expected) << c.text;
    }
    EXPECT_EQ(StrToLong(static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(StrToLong(std::string("  -31x")), -31);
}

TEST(StrToLong, ReadsNoFurtherThanTheView)
{
    // Exactly sized heap storage without a terminator: a read past the view is an
    // address sanitizer error, and the digits behind the view must not count.
    const std::string source = "12345";
    std::vector<char> bytes(source.begin(), source.end());
    EXPECT_EQ(StrToLong(std::string_view(bytes.data(), 2)), 12);
    EXPECT_EQ(StrToLong(std::string_view(bytes.data(), bytes.size())), 12345);
    EXPECT_EQ(StrToUlong(std::string_view(bytes.data(), 3)), 123u);
    std::vector<char> blanks(4, ' ');
    EXPECT_EQ(StrToLong(std::string_view(blanks.data(), blanks.size())), 0);
    std::vector<char> sign{'-'};
    EXPECT_EQ(StrToLong(std::string_view(sign.data(), sign.size())), 0);
}

TEST(StrToUlong, SaturatesAndNegatesAsStrtoulOn32Bits)
{
    struct Case
    {
        const char* text;
        DWORD expected;
    };
    const Case cases[] = {
        {"0", 0u},
        {" 4294967295", 4294967295u},
        {"4294967296", 4294967295u},
        {"123456789012345678901234567890", 4294967295u},
        {"-1", 4294967295u},
        {"-4294967295", 1u},
        {"-4294967296", 4294967295u},
        {"+3000000000", 3000000000u},
        {"77z", 77u},
        {"", 0u},
        {"-", 0u},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StrToUlong(c.text), c.expected) << c.text;
    std::size_t nUsed = 99;
    EXPECT_EQ(StrToUlong(std::string_view("  12 "), &nUsed), 12u);
    EXPECT_EQ(nUsed, 4u);
}
} // namespace
