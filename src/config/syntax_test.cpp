#include "config/syntax.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "scratch.h"

namespace hv {
namespace {

struct ParseCase {
    const char* name;
    std::string line;
    int result;
    std::string key;
    std::string value;
    int disabled;
};

TEST(ParseConfigLine, TableOfLines) {
    const std::string long_key(200, 'k');
    const std::vector<ParseCase> cases = {
        {"compact", "interval:\"10\"", 1, "interval", "10", 0},
        {"blanks everywhere", " \t interval \t:  \"  10 \t\" \r\n", 1, "interval", "10", 0},
        {"inner blanks kept", "pinglossmsg : \" a  b \"", 1, "pinglossmsg", "a  b", 0},
        {"comment after value", "interval : \"10\"  # seconds", 1, "interval", "10", 0},
        {"text before quote ignored", "interval : xx \"10\" yy", 1, "interval", "10", 0},
        {"first of two values", "host : \"a\" \"b\"", 1, "host", "a", 0},
        {"empty value", "from : \"\"", 1, "from", "", 0},
        {"equals separator", "interval = \"10\"", 1, "interval", "10", 0},
        {"colon wins over equals", "chat_id = \"a:b\"", 0, "", "", 0},
        {"colon wins, key swallows equals", "chat_id = \"x\" : \"y\"", 1, "chat_id = \"x\"", "y",
         0},
        {"colon inside value", "server : \"smtp://h:587\"", 1, "server", "smtp://h:587", 0},
        {"no quotes", "interval : 10", 0, "", "", 0},
        {"one quote", "interval : \"10", 0, "", "", 0},
        {"no separator", "interval \"10\"", 0, "", "", 0},
        {"empty key", " : \"10\"", 0, "", "", 0},
        {"blank", " \t\r\n", 0, "", "", 0},
        {"empty", "", 0, "", "", 0},
        {"disabled", "*interval : \"10\"", 1, "interval", "10", 1},
        {"disabled with blank", "* interval : \"10\"", 1, "interval", "10", 1},
        {"star alone", " *  \n", 0, "", "", 1},
        {"disabled malformed", "*interval", 0, "", "", 1},
        {"comment keeps hash in key", "#interval : \"10\"", 1, "#interval", "10", 0},
        {"long key cut to 127", long_key + " : \"1\"", 1, long_key.substr(0, 127), "1", 0},
        {"high bytes are not blanks", "\xA0key\xA0 : \"\xA0v\x85\"", 1, "\xA0key\xA0", "\xA0v\x85",
         0},
        {"NUL ends the line", std::string("interval : \"1\0\"", 14), 0, "", "", 0},
    };
    for (const ParseCase& c : cases) {
        ConfigKey key("stale");
        ConfigValue value("stale");
        int disabled = 7;
        int result = parse_config_line(c.line.c_str(), key, value, disabled);
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(key.view(), c.key) << c.name;
        EXPECT_EQ(value.view(), c.value) << c.name;
        EXPECT_EQ(disabled, c.disabled) << c.name;
    }
}

TEST(ParseConfigLine, LongestValueIsKeptWhole) {
    std::string value(8191 - 6, 'v');
    ConfigKey key;
    ConfigValue out;
    int disabled = 0;
    ASSERT_EQ(parse_config_line(("k:\"" + value + "\"").c_str(), key, out, disabled), 1);
    EXPECT_EQ(out.view(), value);
}

TEST(TrimWhitespace, InPlace) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"  a b \t\r\n\v\f", "a b"}, {" \t ", ""}, {"", ""}, {"\xA0x\xFF", "\xA0x\xFF"}};
    for (const auto& [in, want] : cases) {
        std::string buffer = in;
        trim_whitespace(buffer.data());
        EXPECT_STREQ(buffer.c_str(), want.c_str()) << in;
    }
    trim_whitespace(nullptr);
}

TEST(ParseConfigNumber, SignDigitsAndSaturation) {
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"10", 10},
        {"-1", -1},
        {"+7", 7},
        {"2x", 2},
        {"word", 0},
        {"", 0},
        {"-", 0},
        {" 5", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-99999999999999999999999", INT32_MIN},
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(parse_config_number(text), want) << text;
}

std::vector<std::string> read_units(const std::string& path, bool* failed = nullptr) {
    ConfigFile file(path.c_str());
    std::vector<std::string> units;
    ReadUnitReader reader(file.get());
    char unit[kReadUnitSize];
    std::size_t size = 0;
    while (reader.next(unit, size)) {
        EXPECT_EQ(unit[size], '\0');
        units.emplace_back(unit, size);
    }
    if (failed != nullptr)
        *failed = reader.failed();
    return units;
}

TEST(Utf8Text, WellFormedSequencesOnly) {
    const std::string r = "\xEF\xBF\xBD";  // U+FFFD
    struct Case {
        std::string in;
        bool valid;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"", true, ""},
        {"plain ASCII", true, "plain ASCII"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true,
         "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"\xED\x9F\xBF\xF4\x8F\xBF\xBF", true, "\xED\x9F\xBF\xF4\x8F\xBF\xBF"},  // U+D7FF, U+10FFFF
        {"caf\xE9", false, "caf" + r},                                           // Latin-1
        {"\x80x", false, r + "x"},                   // stray continuation byte
        {"\xC0\xAF", false, r + r},                  // overlong '/'
        {"\xE0\x80\xAF", false, r + r + r},          // overlong, three bytes
        {"\xED\xA0\x80", false, r + r + r},          // a surrogate
        {"\xF4\x90\x80\x80", false, r + r + r + r},  // beyond U+10FFFF
        {"\xE2\x82", false, r + r},                  // cut at the end
        {"\xE2\x82x\xFF", false, r + r + "x" + r},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_utf8_text(c.in), c.valid) << c.in;
        EXPECT_EQ(to_utf8_text(c.in), c.out) << c.in;
        EXPECT_TRUE(is_utf8_text(to_utf8_text(c.in))) << c.in;
    }
}

TEST(ReadUnitReader, SplitsLongLinesAndKeepsEveryByte) {
    test::ScratchDir dir;
    const std::string long_line(10000, 'x');
    const std::string exact(8191, 'y');
    const std::string with_nul = std::string("a\0b", 3) + "\r\n";
    std::string bytes = long_line + "\n" + with_nul + exact + "\n" + "last";
    std::vector<std::string> units = read_units(dir.write("config.txt", bytes));
    const std::vector<std::string> want = {
        long_line.substr(0, 8191), long_line.substr(8191) + "\n", with_nul, exact, "\n", "last"};
    EXPECT_EQ(units, want);
}

TEST(ReadUnitReader, EncodingFromTheFirstBytes) {
    struct Case {
        const char* name;
        std::string bytes;
        TextEncoding encoding;
        std::vector<std::string> units;
    };
    const std::string bom = "\xEF\xBB\xBF";
    const std::vector<Case> cases = {
        {"byte order mark skipped",
         bom + "a : \"1\"\r\nb\n",
         TextEncoding::utf8_bom,
         {"a : \"1\"\r\n", "b\n"}},
        {"byte order mark alone", bom, TextEncoding::utf8_bom, {}},
        {"byte order mark before a line feed", bom + "\n", TextEncoding::utf8_bom, {"\n"}},
        {"only at the start", "a\n" + bom + "\n", TextEncoding::utf8, {"a\n", bom + "\n"}},
        {"part of a mark is text", "\xEF\xBBx\n", TextEncoding::utf8, {"\xEF\xBBx\n"}},
        {"short lines first", "\n\nx", TextEncoding::utf8, {"\n", "\n", "x"}},
        {"two bytes", "ab", TextEncoding::utf8, {"ab"}},
        {"UTF-16 little endian",
         std::string("\xFF\xFEh\0\n\0", 6),
         TextEncoding::utf16_le,
         {std::string("\xFF\xFEh\0\n", 5), std::string("\0", 1)}},
        {"UTF-16 big endian",
         std::string("\xFE\xFF\0h", 4),
         TextEncoding::utf16_be,
         {std::string("\xFE\xFF\0h", 4)}},
    };
    for (const Case& c : cases) {
        test::ScratchDir dir;
        std::string path = dir.write("config.txt", c.bytes);
        ConfigFile file(path.c_str());
        ReadUnitReader reader(file.get());
        EXPECT_EQ(reader.encoding(), c.encoding) << c.name;
        EXPECT_EQ(read_units(path), c.units) << c.name;
    }
}

TEST(ReadUnitReader, MissingFileAndEmptyFile) {
    test::ScratchDir dir;
    ConfigFile missing(dir.path("none").c_str());
    EXPECT_FALSE(missing.is_open());
    EXPECT_TRUE(read_units(dir.write("config.txt", "")).empty());
}

}  // namespace
}  // namespace hv
