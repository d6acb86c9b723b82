#include "output/fixed_text.h"

#include <gtest/gtest.h>

#include <string>

namespace hv {
namespace {

TEST(FixedText, CutsAtTheFieldSize) {
    FixedText<8> text;
    text.assign("abcdefghij");
    EXPECT_EQ(text.view(), "abcdefg");
    text.append("xyz");
    EXPECT_EQ(text.view(), "abcdefg");
    text.format("%s-%d", "ab", 12345);
    EXPECT_EQ(text.view(), "ab-1234");
    EXPECT_EQ(text.size(), 7u);
}

TEST(FixedText, AppendFormatFillsTheRest) {
    FixedText<16> text("Host: ");
    text.append_format("%s %d", "a.b", 42);
    EXPECT_EQ(text.view(), "Host: a.b 42");
    text.append_format("%s", "0123456789");
    EXPECT_EQ(text.view(), "Host: a.b 42012");
    EXPECT_EQ(text.c_str()[15], '\0');
}

TEST(FixedText, StopsAtAnEmbeddedNul) {
    FixedText<16> text;
    text.assign(std::string_view("ab\0cd", 5));
    EXPECT_EQ(text.view(), "ab");
}

}  // namespace
}  // namespace hv
