// The channels against a stand-in curl that records what it was given: its arguments, its
// standard input and the file it was asked to upload.
#include "notify/channels.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "notify/curl_run.h"
#include "output/sinks.h"
#include "platform/process.h"
#include "scratch.h"

namespace hv {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> read_lines(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct CurlCall {
    std::vector<std::string> args;
    std::string stdin_text;
    std::string upload;  // the -T file or the @file of --data-binary, as curl read it
};

class ChannelsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The stand-in curl is a shell script: it needs a system that runs one by its name.
        if (platform::find_program("sh").empty() || !fs::exists("/bin/sh"))
            GTEST_SKIP() << "no POSIX shell to run the stand-in curl";
        tools_.emplace("notify");
        root_ = tools_->dir();
        fs::create_directory(root_ / "bin");
        fs::create_directory(root_ / "calls");
        work_.emplace("notify-work");
        install_curl(0);
        path_.emplace(test::ScopedPath::with_first((root_ / "bin").string()));
    }

    // The stand-in exits with `exit_code` after printing `out` on its standard output and
    // `err` on its standard error.
    void install_curl(int exit_code, const std::string& out_text = "",
                      const std::string& err_text = "") {
        std::ofstream(root_ / "out", std::ios::binary | std::ios::trunc) << out_text;
        std::ofstream(root_ / "err", std::ios::binary | std::ios::trunc) << err_text;
        fs::path script = root_ / "bin" / "curl";
        std::ofstream out(script, std::ios::trunc);
        out << "#!/bin/sh\n"
            << "d=$(mktemp -d '" << (root_ / "calls").string() << "/call.XXXXXX')\n"
            << "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$d/args\"; done\n"
            << "cat > \"$d/stdin\"\n"
            << "prev=\n"
            << "for a in \"$@\"; do\n"
            << "  [ \"$prev\" = -T ] && cp \"$a\" \"$d/upload\"\n"
            << "  case \"$a\" in @*) cp \"${a#@}\" \"$d/upload\";; esac\n"
            << "  prev=$a\n"
            << "done\n"
            << "cat '" << (root_ / "out").string() << "'\n"
            << "cat '" << (root_ / "err").string() << "' >&2\n"
            << "exit " << exit_code << "\n";
        out.close();
        fs::permissions(script, fs::perms::owner_all);
    }

    std::vector<CurlCall> calls() {
        std::vector<CurlCall> result;
        for (const auto& entry : fs::directory_iterator(root_ / "calls")) {
            CurlCall call;
            call.args = read_lines(entry.path() / "args");
            call.stdin_text = read_file(entry.path() / "stdin");
            call.upload = read_file(entry.path() / "upload");
            result.push_back(std::move(call));
        }
        return result;
    }

    bool work_dir_empty_but_log() {
        for (const auto& entry : fs::directory_iterator(work_->dir())) {
            if (entry.path().filename() != kEventLogFile)
                return false;
        }
        return true;
    }

    static AlertSettings all_channels() {
        AlertSettings a;
        a.server.assign("smtp://127.0.0.1:2525");
        a.email.assign("login@example.com");
        a.password.assign("pa\"ss\\word");
        a.to.assign("ops@example.com");
        a.token.assign("123:SECRET-token");
        a.chat_id.assign("-100123");
        a.teams_webhook.assign("http://127.0.0.1:1/webhook?sig=SECRET");
        a.email_enabled = a.telegram_enabled = a.teams_enabled = 1;
        return a;
    }

    // The stand-in curl and its records, the working directory, and PATH with the stand-in
    // first; they go in the reverse order.
    std::optional<test::ScratchDir> tools_;
    fs::path root_;
    std::optional<test::ScopedWorkDir> work_;
    std::optional<test::ScopedPath> path_;
};

const std::vector<std::string> kTail = {"--show-error",
                                        "--write-out",
                                        "\\nhv-reply:%{response_code}\\n",
                                        "--connect-timeout",
                                        "15",
                                        "--max-time",
                                        "60",
                                        "-K",
                                        "-"};

std::vector<std::string> with_tail(std::vector<std::string> head) {
    head.insert(head.end(), kTail.begin(), kTail.end());
    return head;
}

TEST_F(ChannelsTest, GuardsSendNothingAndLeaveNoTrace) {
    auto email = [](AlertSettings& a) { return send_email_alert(a, "x@example.com", "s", "b"); };
    auto telegram = [](AlertSettings& a) { return send_telegram_alert(a, "t"); };
    auto teams = [](AlertSettings& a) { return send_teams_alert(a, "t"); };
    struct Case {
        const char* name;
        void (*change)(AlertSettings&);
        int (*send)(AlertSettings&);
    } cases[] = {
        {"email off", [](AlertSettings& a) { a.email_enabled = 0; }, email},
        {"password empty", [](AlertSettings& a) { a.password.clear(); }, email},
        {"telegram off", [](AlertSettings& a) { a.telegram_enabled = 0; }, telegram},
        {"token empty", [](AlertSettings& a) { a.token.clear(); }, telegram},
        {"teams off", [](AlertSettings& a) { a.teams_enabled = 0; }, teams},
        {"webhook empty", [](AlertSettings& a) { a.teams_webhook.clear(); }, teams},
    };
    for (const Case& c : cases) {
        AlertSettings a = all_channels();
        c.change(a);
        ::testing::internal::CaptureStdout();
        int sent = c.send(a);
        EXPECT_EQ(sent, 0) << c.name;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << c.name;
    }
    AlertSettings a = all_channels();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(send_email_alert(a, "", "s", "b"), 0);
    EXPECT_EQ(send_email_alert(a, nullptr, "s", "b"), 0);
    EXPECT_EQ(send_telegram_alert(a, ""), 0);
    EXPECT_EQ(send_telegram_alert(a, nullptr), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(fs::is_empty(work_->dir()));
}

TEST_F(ChannelsTest, EmailHandsTheLoginOnStandardInputAndUploadsTheMessage) {
    AlertSettings a = all_channels();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(send_email_alert(a, " a@example.com , ,b@example.org ", nullptr, "one\ntwo"), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Sending mail alert now .....\nEmail command rc=0\n");
    EXPECT_EQ(a.from, "login@example.com");

    std::vector<CurlCall> made = calls();
    ASSERT_EQ(made.size(), 1u);
    const CurlCall& call = made[0];
    ASSERT_GE(call.args.size(), 7u);
    const std::string& file = call.args[6];
    EXPECT_TRUE(file.starts_with("pingmailtext-") && file.ends_with(".txt")) << file;
    // The URL gains a path naming the sender's domain, which curl greets the server with.
    EXPECT_EQ(call.args, with_tail({"-s", "smtp://127.0.0.1:2525/example.com", "--mail-from",
                                    "login@example.com", "--ssl-reqd", "-T", file, "--mail-rcpt",
                                    "a@example.com", "--mail-rcpt", "b@example.org"}));
    EXPECT_EQ(call.stdin_text, "user = \"login@example.com:pa\\\"ss\\\\word\"\n");
    EXPECT_TRUE(
        call.upload.starts_with("From: login@example.com\r\n"
                                "To:  a@example.com , ,b@example.org \r\n"
                                "Subject: \r\n"
                                "Date: "))
        << call.upload;
    EXPECT_NE(call.upload.find("@example.com>\r\nMIME-Version: 1.0\r\n"
                               "Content-Type: text/plain; charset=UTF-8\r\n\r\n"
                               "one\r\ntwo\r\n"),
              std::string::npos)
        << call.upload;
    EXPECT_TRUE(work_dir_empty_but_log());
    EXPECT_EQ(read_lines(kEventLogFile).size(), 1u);

    // A list that names nobody is not sent: curl, given no recipient, would report success.
    fs::remove_all(root_ / "calls");
    fs::create_directories(root_ / "calls");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(send_email_alert(a, " , ,, ", "s", "b"), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(work_dir_empty_but_log());
}

TEST_F(ChannelsTest, TelegramPutsTheTokenOnlyIntoTheConfigUrl) {
    AlertSettings a = all_channels();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(send_telegram_alert(a, "down & out\n100%"), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Sending Telegram alert now .....\nTelegram command rc=0\n");
    std::vector<CurlCall> made = calls();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].args, with_tail({"-s", "--fail"}));
    EXPECT_EQ(made[0].stdin_text,
              "url = \"https://api.telegram.org/bot123:SECRET-token/sendMessage?chat_id=-100123"
              "&text=down%20%26%20out%0A100%25\"\n");
    std::vector<std::string> log = read_lines(kEventLogFile);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].ends_with("Send Telegram alert to chat_id [-100123]")) << log[0];
}

// A host description saved in a legacy code page ("caf\xE9" in Latin-1) reaches every receiver
// as UTF-8, the stray byte as U+FFFD; sent as it was, Telegram and Teams would refuse it.
TEST_F(ChannelsTest, LegacyCodePageBytesGoOutAsReplacementCharacters) {
    AlertSettings a = all_channels();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(send_telegram_alert(a, "caf\xE9 down"), 1);
    EXPECT_EQ(send_email_alert(a, "a@example.com", "caf\xE9", "caf\xE9 down"), 1);
    ::testing::internal::GetCapturedStdout();
    std::vector<CurlCall> made = calls();
    ASSERT_EQ(made.size(), 2u);
    std::sort(made.begin(), made.end(),
              [](const CurlCall& x, const CurlCall& y) { return x.upload < y.upload; });
    EXPECT_TRUE(made[0].stdin_text.ends_with("&text=caf%EF%BF%BD%20down\"\n"))
        << made[0].stdin_text;
    EXPECT_NE(made[1].upload.find("\r\nSubject: =?UTF-8?B?Y2Fm77+9?=\r\n"), std::string::npos)
        << made[1].upload;
    EXPECT_NE(made[1].upload.find("\r\n\r\ncaf\xEF\xBF\xBD down\r\n"), std::string::npos);
    EXPECT_NE(build_teams_payload("caf\xE9").find("\"text\":\"caf\xEF\xBF\xBD\","),
              std::string::npos);
}

TEST_F(ChannelsTest, FailuresAndAMissingCurlGiveZeroAndLeaveNoFile) {
    AlertSettings a = all_channels();
    install_curl(7);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(send_email_alert(a, "x@example.com", "s", "b"), 0);
    EXPECT_EQ(send_telegram_alert(a, "t"), 0);
    EXPECT_EQ(send_teams_alert(a, "t"), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Email command rc=7\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Telegram command rc=7\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Teams command rc=7\n"), std::string::npos) << out;

    path_.emplace((root_ / "calls").string());  // no curl anywhere on PATH
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(send_email_alert(a, "x@example.com", "s", "b"), 0);
    EXPECT_EQ(send_teams_alert(a, "t"), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Sending mail alert now .....\nEmail command rc=-1\n"
              "Sending Microsoft Teams alert ...\nTeams command rc=-1\n");
    EXPECT_TRUE(work_dir_empty_but_log());
}

// A failed send says why, from what curl printed, and never repeats a secret even where
// curl's text holds one.
TEST_F(ChannelsTest, FailedSendsTellTheReasonWithoutSecrets) {
    const std::string telegram_url =
        "https://api.telegram.org/bot123:SECRET-token/sendMessage?chat_id=-100123&text=t";
    struct Case {
        const char* name;
        int rc;
        std::string out, err;
        int (*send)(AlertSettings&, int*, std::string*);
        std::string failure;
        const char* channel;
    } cases[] = {
        {"login refused", 67, "\nhv-reply:535\n",
         "curl: (67) Login denied: login@example.com:pa\"ss\\word or pa\"ss\\word\n",
         [](AlertSettings& a, int* rc, std::string* f) {
             return send_email_alert(a, "x@example.com", "s", "b", rc, f);
         },
         "SMTP 535, curl: (67) Login denied: *** or ***", "Email"},
        {"no SMTP server", 7, "\nhv-reply:000\n",
         "curl: (7) Failed to connect to 127.0.0.1 port 2525\n",
         [](AlertSettings& a, int* rc, std::string* f) {
             return send_email_alert(a, "x@example.com", "s", "b", rc, f);
         },
         "curl: (7) Failed to connect to 127.0.0.1 port 2525", "Email"},
        {"bot refused", 22, "\nhv-reply:403\n",
         "curl: (22) The requested URL returned error: 403\n",
         [](AlertSettings& a, int* rc, std::string* f) {
             return send_telegram_alert(a, "t", rc, f);
         },
         "HTTP 403", "Telegram"},
        {"bot URL in curl's text", 6, "\nhv-reply:000\n",
         "curl: (6) No " + telegram_url + " nor 123:SECRET-token\n",
         [](AlertSettings& a, int* rc, std::string* f) {
             return send_telegram_alert(a, "t", rc, f);
         },
         "curl: (6) No *** nor ***", "Telegram"},
        {"webhook refused", 22, "{\"error\":1}\nhv-reply:500\n",
         "curl: (22) The requested URL returned error: 500\n",
         [](AlertSettings& a, int* rc, std::string* f) { return send_teams_alert(a, "t", rc, f); },
         "HTTP 500", "Teams"},
        {"webhook in curl's text", 28, "\nhv-reply:000\n",
         "curl: (28) Timeout at http://127.0.0.1:1/webhook?sig=SECRET\n",
         [](AlertSettings& a, int* rc, std::string* f) { return send_teams_alert(a, "t", rc, f); },
         "curl: (28) Timeout at ***", "Teams"},
    };
    for (const Case& c : cases) {
        AlertSettings a = all_channels();
        install_curl(c.rc, c.out, c.err);
        int rc = 0;
        std::string failure = "stale";
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(c.send(a, &rc, &failure), 0) << c.name;
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, c.rc) << c.name;
        EXPECT_EQ(failure, c.failure) << c.name;
        // The console keeps its one line per send; the reason goes to the event log with the
        // delivery queue's line.
        EXPECT_NE(out.find(std::string(c.channel) + " command rc=" + std::to_string(c.rc) + "\n"),
                  std::string::npos)
            << c.name << ": " << out;
        EXPECT_EQ(out.find(" failure: "), std::string::npos) << c.name << ": " << out;
        EXPECT_EQ(out.find("SECRET"), std::string::npos) << c.name;
    }
    // A delivered send, whatever curl printed, has no reason.
    install_curl(0, "{\"ok\":true}\nhv-reply:200\n");
    AlertSettings a = all_channels();
    std::string failure = "stale";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(send_teams_alert(a, "t", nullptr, &failure), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout().find("failure"), std::string::npos);
    EXPECT_EQ(failure, "");
}

// The reason is one bounded line of printable UTF-8, however curl's output looks.
TEST(CurlFailureReason, IsOneCleanBoundedLine) {
    const std::string long_text(300, 'x');
    struct Case {
        const char* name;
        std::string output;
        CurlProtocol protocol;
        std::vector<std::string_view> secrets;
        std::string expected;
    } cases[] = {
        {"nothing printed", "", CurlProtocol::http, {}, ""},
        {"success reply only", "\nhv-reply:250\n", CurlProtocol::smtp, {}, ""},
        {"TLS refused after a good reply",
         "curl: (64) Requested SSL level failed\nhv-reply:250\n",
         CurlProtocol::smtp,
         {},
         "curl: (64) Requested SSL level failed"},
        {"the last reply line counts",
         "hv-reply:404\nbody\nhv-reply:503\r\n",
         CurlProtocol::http,
         {},
         "HTTP 503"},
        {"warnings are not the reason",
         "Warning: x\ncurl: (56) Recv failure\nhv-reply:000\n",
         CurlProtocol::http,
         {},
         "curl: (56) Recv failure"},
        {"control characters dropped",
         "curl: (56) a\tb\x1B[31mc\x7F\r\n",
         CurlProtocol::http,
         {},
         "curl: (56) ab[31mc"},
        {"a secret split by a control character",
         "curl: (67) SEC\rRET\n",
         CurlProtocol::smtp,
         {"SECRET"},
         "curl: (67) ***"},
        {"legacy code page bytes",
         "curl: (6) caf\xE9\n",
         CurlProtocol::http,
         {},
         "curl: (6) caf\xEF\xBF\xBD"},
        {"cut to the limit",
         "curl: (55) " + long_text + "\n",
         CurlProtocol::smtp,
         {},
         ("curl: (55) " + long_text).substr(0, kCurlFailureMax)},
        {"never cut inside a character",
         "curl: (55) " + std::string(188, 'x') + "\xC3\xA9\n",
         CurlProtocol::smtp,
         {},
         "curl: (55) " + std::string(188, 'x')},
    };
    for (const Case& c : cases)
        EXPECT_EQ(curl_failure_reason(c.output, c.protocol, c.secrets), c.expected) << c.name;
}

TEST_F(ChannelsTest, ConcurrentTeamsSendsEachPostTheirOwnPayload) {
    AlertSettings a = all_channels();
    constexpr int kThreads = 6;
    constexpr int kSends = 4;
    std::vector<std::thread> threads;
    std::vector<int> results(kThreads * kSends, -1);
    set_silent(true);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kSends; ++i) {
                std::string text = "host " + std::to_string(t) + " alert " + std::to_string(i) +
                                   "\n\"quoted\" \\ " + std::string(300 + t * 50, 'x');
                results[t * kSends + i] = send_teams_alert(a, text.c_str());
            }
        });
    }
    for (auto& th : threads)
        th.join();
    set_silent(false);
    for (int r : results)
        EXPECT_EQ(r, 1);

    std::set<std::string> expected, posted, files;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kSends; ++i) {
            std::string text = "host " + std::to_string(t) + " alert " + std::to_string(i) +
                               "\n\"quoted\" \\ " + std::string(300 + t * 50, 'x');
            expected.insert(build_teams_payload(text.c_str()));
        }
    }
    for (const CurlCall& call : calls()) {
        posted.insert(call.upload);
        ASSERT_EQ(call.args.size(), 15u);
        files.insert(call.args[5]);
        EXPECT_EQ(call.args, with_tail({"-s", "--fail", "-H", "Content-Type: application/json",
                                        "--data-binary", call.args[5]}));
        EXPECT_EQ(call.stdin_text, "url = \"http://127.0.0.1:1/webhook?sig=SECRET\"\n");
    }
    EXPECT_EQ(posted, expected);
    EXPECT_EQ(files.size(), static_cast<std::size_t>(kThreads * kSends));
    EXPECT_TRUE(work_dir_empty_but_log());
}

// The card as the webhook reads it: one line of JSON, its members in order, whose text decodes
// to the alert, quotes, backslashes, control characters and non-ASCII characters included.
TEST(TeamsPayload, IsOneAdaptiveCardHoldingTheText) {
    using Json = nlohmann::ordered_json;
    struct Case {
        const char* text;
        std::string decoded;
    } cases[] = {
        {"a\"b\\c\nd\r\te\x01 \xE2\x82\xAC", "a\"b\\c\nd\r\te\x01 \xE2\x82\xAC"},
        {"caf\xE9", "caf\xEF\xBF\xBD"},
        {"", ""},
        {nullptr, ""},
    };
    for (const Case& c : cases) {
        const std::string payload = build_teams_payload(c.text);
        EXPECT_EQ(payload.find_first_of("\r\n"), std::string::npos) << payload;
        const Json card = Json::parse(payload, nullptr, false);
        ASSERT_FALSE(card.is_discarded()) << payload;
        const Json block = {{"type", "TextBlock"},
                            {"text", c.decoded},
                            {"weight", "Bolder"},
                            {"size", "Medium"},
                            {"wrap", true}};
        const Json content = {{"$schema", "http://adaptivecards.io/schemas/adaptive-card.json"},
                              {"type", "AdaptiveCard"},
                              {"version", "1.5"},
                              {"body", Json::array({block})}};
        const Json attachment = {{"contentType", "application/vnd.microsoft.card.adaptive"},
                                 {"content", content}};
        const Json expected = {{"type", "message"}, {"attachments", Json::array({attachment})}};
        EXPECT_EQ(card, expected) << payload;
    }
}

}  // namespace
}  // namespace hv
