#include "notify/mail_message.h"

#include <gtest/gtest.h>

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

TEST(MailDate, IsRfc5322WithNumericZone) {
    std::string date = format_mail_date(1796872500);
    EXPECT_TRUE(std::regex_match(
        date, std::regex(R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|)"
                         R"(Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d [+-]\d{4})")))
        << date;
}

TEST(MessageId, CarriesTheSenderDomainAndDiffersPerSend) {
    std::string a = make_message_id("alerts@example.com", 1796872500, 4242, 7);
    EXPECT_TRUE(std::regex_match(a, std::regex(R"(<\d{8}T\d{6}\.4242\.7@example\.com>)"))) << a;
    EXPECT_NE(a, make_message_id("alerts@example.com", 1796872500, 4242, 8));
    EXPECT_TRUE(
        make_message_id("Ops <ops@mail.example.org>", 0, 1, 1).ends_with("@mail.example.org>"));
    EXPECT_TRUE(make_message_id("no-domain", 0, 1, 1).ends_with("@localhost>"));
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
