#include "notify/mail_message.h"

#include <gtest/gtest.h>

#include "base64_decode.h"

#include <regex>
#include <string>
#include <vector>

namespace hv {
namespace {

using Strings = std::vector<std::string>;

TEST(SplitRecipients, TokenizesAndTrims) {
    struct Case {
        const char* in;
        Strings out;
    } cases[] = {
        {"a@x.org,b@y.org", {"a@x.org", "b@y.org"}},
        {"  a@x.org ,   , \tb@y.org  ", {"a@x.org", "b@y.org"}},
        {",,a@x.org,,", {"a@x.org"}},
        {"first last@x.org", {"first last@x.org"}},
        {" , ,, ", {}},
        {"", {}},
        {nullptr, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(split_recipients(c.in), c.out) << (c.in ? c.in : "(null)");
}

TEST(SplitRecipients, OnlyTheFirst1199BytesTakePart) {
    std::string list(1190, ' ');
    list += ",abcdefghij@x.org";  // the comma is byte 1191; 8 bytes of the address remain
    EXPECT_EQ(split_recipients(list.c_str()), Strings{"abcdefgh"});
}

TEST(MailDate, NamesDayAndMonthInEnglishWithTheNumericZone) {
    struct Case {
        int year, month, day, wday, hour, minute, second, offset_minutes;
        const char* out;
    } cases[] = {
        {2026, 1, 4, 0, 0, 0, 0, 0, "Sun, 04 Jan 2026 00:00:00 +0000"},
        {2026, 2, 28, 6, 23, 59, 59, 60, "Sat, 28 Feb 2026 23:59:59 +0100"},
        {2026, 3, 2, 1, 7, 5, 9, -300, "Mon, 02 Mar 2026 07:05:09 -0500"},
        {2026, 4, 14, 2, 12, 0, 0, 330, "Tue, 14 Apr 2026 12:00:00 +0530"},
        {2026, 5, 20, 3, 1, 2, 3, -210, "Wed, 20 May 2026 01:02:03 -0330"},
        {2026, 6, 11, 4, 18, 30, 0, 345, "Thu, 11 Jun 2026 18:30:00 +0545"},
        {2026, 7, 3, 5, 9, 9, 9, -570, "Fri, 03 Jul 2026 09:09:09 -0930"},
        {2026, 8, 9, 0, 10, 0, 0, 840, "Sun, 09 Aug 2026 10:00:00 +1400"},
        {2026, 9, 30, 3, 11, 11, 11, -720, "Wed, 30 Sep 2026 11:11:11 -1200"},
        {2026, 10, 1, 4, 2, 0, 0, 120, "Thu, 01 Oct 2026 02:00:00 +0200"},
        {2026, 11, 26, 4, 16, 45, 0, -480, "Thu, 26 Nov 2026 16:45:00 -0800"},
        {2026, 12, 10, 4, 3, 15, 0, 0, "Thu, 10 Dec 2026 03:15:00 +0000"},
    };
    for (const Case& c : cases) {
        std::tm tm{};
        tm.tm_year = c.year - 1900;
        tm.tm_mon = c.month - 1;
        tm.tm_mday = c.day;
        tm.tm_wday = c.wday;
        tm.tm_hour = c.hour;
        tm.tm_min = c.minute;
        tm.tm_sec = c.second;
        EXPECT_EQ(format_mail_date(tm, c.offset_minutes), c.out);
    }
}

TEST(MessageId, CarriesTheSenderDomainAndDiffersPerSend) {
    std::string a = make_message_id("alerts@example.com", 1796872500, 4242, 7);
    EXPECT_TRUE(std::regex_match(a, std::regex(R"(<\d{8}T\d{6}\.4242\.7@example\.com>)"))) << a;
    EXPECT_NE(a, make_message_id("alerts@example.com", 1796872500, 4242, 8));
    EXPECT_TRUE(
        make_message_id("Ops <ops@mail.example.org>", 0, 1, 1).ends_with("@mail.example.org>"));
    EXPECT_TRUE(make_message_id("no-domain", 0, 1, 1).ends_with("@localhost>"));
}

// A notice's Message-ID depends on the notice alone: every try and every restart gives the same
// one. The id comes back from the state file, so only safe characters of it are used.
TEST(MessageId, OfANoticeIsTheNoticesOwn) {
    const struct {
        const char* sender;
        const char* notice_id;
        const char* want;
    } cases[] = {
        {"alerts@example.com", "6932a0c4.1f4.0badcafe",
         "<hostvigil.6932a0c4.1f4.0badcafe@example.com>"},
        {"Ops <ops@mail.example.org>", "a-b", "<hostvigil.a-b@mail.example.org>"},
        {"no-domain", "x1", "<hostvigil.x1@localhost>"},
        {"a@b.org", "x>\r\nBcc: evil@c.org", "<hostvigil.xBccevilc.org@b.org>"},
        {"a@b.org", "<>@ \r\n", ""},
        {"a@b.org", "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(make_notice_message_id(c.sender, c.notice_id), c.want) << c.notice_id;
    EXPECT_EQ(make_notice_message_id("a@b.org", std::string(100, 'f')).size(),
              std::string("<hostvigil.@b.org>").size() + 64);
}

TEST(MailMessage, EveryLineEndsInCrLfAndTheHeaderIsComplete) {
    MailHeader header{"me@x.org", " a@x.org, ,b@y.org", "Hi", "Thu, 10 Dec 2026 03:15:00 +0000",
                      "<id@x.org>"};
    EXPECT_EQ(build_mail_message(header, "line1\nline2\r\nline3\n"),
              "From: me@x.org\r\n"
              "To:  a@x.org, ,b@y.org\r\n"
              "Subject: Hi\r\n"
              "Date: Thu, 10 Dec 2026 03:15:00 +0000\r\n"
              "Message-ID: <id@x.org>\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=UTF-8\r\n"
              "\r\n"
              "line1\r\nline2\r\nline3\r\n\r\n");
}

TEST(MailMessage, SubjectIsEmptyOrEncodedAndNeverAddsAHeader) {
    MailHeader header{"me@x.org\r\nBcc: evil@x.org", "a@x.org", "", "D", "<i@x.org>"};
    std::string message = build_mail_message(header, "");
    EXPECT_NE(message.find("Subject: \r\n"), std::string::npos);
    EXPECT_TRUE(message.ends_with("charset=UTF-8\r\n\r\n\r\n"));
    EXPECT_EQ(message.find("\r\nBcc:"), std::string::npos);

    header.subject = "Alarm: caf\xC3\xA9";
    EXPECT_NE(build_mail_message(header, "").find("\r\nSubject: =?UTF-8?B?QWxhcm06IGNhZsOp?=\r\n"),
              std::string::npos);
}

// What a mail reader makes of one "=?UTF-8?B?...?=" word; empty when it is not one.
std::string decode_encoded_word(std::string_view word) {
    if (!word.starts_with("=?UTF-8?B?") || !word.ends_with("?="))
        return "";
    return test::base64_decode(word.substr(10, word.size() - 12));
}

// Every line of an encoded subject, "Subject: " included, stays within the 76 bytes an encoded
// word's line may have, and the words decode to the subject.
TEST(MailMessage, EncodedSubjectLinesStayWithin76Bytes) {
    const std::string characters[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x94\xA5"};
    for (std::size_t length : {0, 30, 38, 39, 40, 41, 44, 45, 46, 60, 90, 200}) {
        for (const std::string& character : characters) {
            for (std::size_t at : {std::size_t{0}, length / 2, length}) {
                std::string subject(length, 'a');
                subject.insert(at, character);
                MailHeader header{"me@x.org", "a@x.org", subject, "D", "<i@x.org>"};
                std::string message = build_mail_message(header, "");
                std::size_t begin = message.find("\r\nSubject: ") + 2;
                std::string field = message.substr(begin, message.find("\r\nDate: ") - begin);
                std::string decoded;
                std::size_t lines = 0;
                for (std::size_t start = 0; start <= field.size(); ++lines) {
                    std::size_t end = std::min(field.find("\r\n", start), field.size());
                    std::string line = field.substr(start, end - start);
                    const char* lead = lines == 0 ? "Subject: " : " ";
                    EXPECT_LE(line.size(), 76u) << line;
                    ASSERT_TRUE(line.starts_with(lead)) << line;
                    decoded += decode_encoded_word(line.substr(std::string_view(lead).size()));
                    start = end + 2;
                }
                EXPECT_EQ(decoded, subject) << field;
            }
        }
    }
}

TEST(MailMessage, LongRecipientListIsFoldedAtItsCommas) {
    // 60 addresses of 20 bytes: 1,318 bytes on one line, beyond the 998-byte limit.
    std::string list;
    for (int i = 0; i < 60; ++i)
        list += (i == 0  ? ""
                 : i % 2 ? ", "
                         : ",") +
                std::string("user") + std::to_string(100 + i) + "@example.org";
    MailHeader header{"me@example.org", list, "s", "d", "<id>"};
    std::string message = build_mail_message(header, "");
    std::string to = message.substr(message.find("\r\nTo: ") + 2);
    to = to.substr(0, to.find("\r\nSubject: "));
    std::size_t lines = 0;
    std::string unfolded;
    for (std::size_t start = 0; start <= to.size(); ++lines) {
        std::size_t end = std::min(to.find("\r\n", start), to.size());
        std::string line = to.substr(start, end - start);
        EXPECT_LE(line.size(), 78u) << line;
        if (lines > 0) {
            EXPECT_EQ(line.front(), ' ') << line;  // a continuation line
            EXPECT_EQ(unfolded.back(), ',');       // broken only after a comma
        }
        unfolded += line;
        start = end + 2;
    }
    EXPECT_GT(lines, 15u);
    // Unfolded, the list holds the same entries; only blanks may have been added.
    auto without_blanks = [](std::string text) {
        std::erase(text, ' ');
        return text;
    };
    EXPECT_EQ(without_blanks(unfolded), "To:" + without_blanks(list));

    // A list that fits stays on one line exactly as written, odd blanks and all.
    std::string fits = "a@x.org , ,b@y.org" + std::string(970, ' ');
    header.to = fits;
    EXPECT_NE(build_mail_message(header, "").find("\r\nTo: " + fits + "\r\n"), std::string::npos);
}

TEST(SmtpUrl, GreetingNameBecomesThePathWhenThereIsNone) {
    struct Case {
        const char* server;
        const char* url;
    } cases[] = {
        {"smtp://127.0.0.1:25", "smtp://127.0.0.1:25/example.org"},
        {"smtps://mail.example.net", "smtps://mail.example.net/example.org"},
        {"smtp://127.0.0.1:25/", "smtp://127.0.0.1:25/example.org"},
        {"mail.example.net:587", "mail.example.net:587/example.org"},
        {"smtp://[::1]:25?x", "smtp://[::1]:25/example.org?x"},
        {"smtp://127.0.0.1:25/relay.example.com", "smtp://127.0.0.1:25/relay.example.com"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(smtp_url_with_greeting_name(c.server, "example.org"), c.url) << c.server;
    EXPECT_EQ(mail_domain("Ops <ops@mail.example.org>"), "mail.example.org");
    EXPECT_EQ(mail_domain("no-domain"), "");
}

}  // namespace
}  // namespace hv
