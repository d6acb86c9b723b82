#include "notify/text_encoding.h"

#include <gtest/gtest.h>

#include "base64_decode.h"

#include <string>
#include <string_view>

namespace hv {
namespace {

TEST(PercentEncode, KeepsUnreservedAndEscapesEverythingElseInUpperCase) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"Az09-._~", "Az09-._~"},
        {"a b\nc", "a%20b%0Ac"},
        {"&%+=?", "%26%25%2B%3D%3F"},
        {"-100123", "-100123"},
        {"\xC3\xA9", "%C3%A9"},
        {std::string("\x00\x7F\xFF", 3), "%00%7F%FF"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(percent_encode(c.in, kTelegramTextRoom), c.out) << c.in;
}

TEST(PercentEncode, CutsAtTheRoomWithoutSplittingAnEscape) {
    // A byte is taken while 4 more would still fit: the last escape may end at 4094.
    std::string letters(4091, 'a');
    EXPECT_TRUE(percent_encode(letters + " tail", kTelegramTextRoom) == letters + "%20");
    EXPECT_EQ(percent_encode(letters + "bcd", kTelegramTextRoom).size(), 4092u);
    std::string blanks(2000, ' ');
    std::string out = percent_encode(blanks, kTelegramTextRoom);
    EXPECT_EQ(out.size(), 4092u);  // 1364 whole escapes; a 1365th would pass 4094
    EXPECT_EQ(percent_encode(std::string(600, 'x'), kTelegramChatRoom).size(), 508u);
}

TEST(EscapeJsonText, EscapesWhatJsonRequiresAndCopiesTheRest) {
    EXPECT_EQ(escape_json_text("a\\b\"c\nd\te\rf\xC3\xA9/\x01\x1F"),
              "a\\\\b\\\"c\\nd\\te\\rf\xC3\xA9/\\u0001\\u001F");
    EXPECT_EQ(escape_json_text(nullptr), "");
    EXPECT_EQ(escape_json_text(""), "");
}

TEST(EscapeJsonText, CutsAt8185WithoutSplittingAPair) {
    std::string plain(9000, 'x');
    EXPECT_EQ(escape_json_text(plain.c_str()).size(), 8184u);
    std::string quotes(5000, '"');
    std::string out = escape_json_text(quotes.c_str());
    EXPECT_EQ(out.size(), 8184u);
    EXPECT_EQ(out.substr(out.size() - 2), "\\\"");
    std::string controls(2000, '\x01');
    out = escape_json_text(controls.c_str());
    EXPECT_EQ(out.size(), 8184u);  // 1364 whole six-byte escapes
    EXPECT_TRUE(out.ends_with("\\u0001"));
}

TEST(CurlConfigLine, QuotesSoThatNoValueCanAddAnOption) {
    EXPECT_EQ(curl_config_line("user", "me@x.org:p\"a\\ss"), "user = \"me@x.org:p\\\"a\\\\ss\"\n");
    EXPECT_EQ(curl_config_line("url", "https://h/\r\noutput = /tmp/x\t"),
              "url = \"https://h/\\r\\noutput = /tmp/x\\t\"\n");
}

TEST(Base64, MatchesKnownVectors) {
    const char* cases[][2] = {{"", ""},
                              {"f", "Zg=="},
                              {"fo", "Zm8="},
                              {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="},
                              {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"}};
    for (auto& c : cases)
        EXPECT_EQ(base64_encode(c[0]), c[1]);
}

TEST(EncodeHeaderText, AsciiStaysAndUtf8BecomesEncodedWords) {
    EXPECT_EQ(encode_header_text("[TEST] hostvigil notification test"),
              "[TEST] hostvigil notification test");
    EXPECT_EQ(encode_header_text("caf\xC3\xA9"), "=?UTF-8?B?Y2Fmw6k=?=");
    EXPECT_EQ(encode_header_text("a\r\nBcc: x"), "a  Bcc: x");
}

// True when `bytes` is a run of whole UTF-8 sequences.
bool whole_characters(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (i + length > bytes.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}

TEST(EncodeHeaderText, LongTextIsFoldedIntoShortWordsThatDecodeToTheOriginal) {
    // Characters of one to four bytes, so that the words end at different places in each.
    std::string text;
    for (int i = 0; i < 12; ++i)
        text += "Host " + std::to_string(i) + " ca\xC3\xA9 \xE2\x82\xAC\xF0\x9F\x94\xA5 ";
    std::string out = encode_header_text(text);
    std::string decoded;
    std::size_t pos = 0;
    int words = 0;
    while (pos < out.size()) {
        std::size_t end = out.find("\r\n ", pos);
        std::string word =
            out.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        EXPECT_LE(word.size(), 75u) << word;
        ASSERT_TRUE(word.starts_with("=?UTF-8?B?") && word.ends_with("?=")) << word;
        std::string bytes = test::base64_decode(word.substr(10, word.size() - 12));
        EXPECT_TRUE(whole_characters(bytes)) << word;
        decoded += bytes;
        ++words;
        pos = end == std::string::npos ? out.size() : end + 3;
    }
    EXPECT_GT(words, 5);
    EXPECT_EQ(decoded, text);
}

}  // namespace
}  // namespace hv
