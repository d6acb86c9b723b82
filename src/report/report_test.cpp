#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/syntax.h"
#include "output/timestamp.h"
#include "report/report_view.h"
#include "scratch.h"

namespace hv {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kNow = 1'796'000'000;

std::string stamp(std::int64_t t) {
    return std::string(format_timestamp(static_cast<std::time_t>(t)).view());
}

// Three hosts: one up, one counting failures, one with its alert out.
ReportView three_hosts() {
    ReportView view;
    view.station = "lab";
    view.interval = 15;
    view.last_round = kNow - 10;
    view.round_duration_us = 2'500'000;
    HostView up;
    up.host = "127.0.0.1";
    up.since = kNow - (3 * 3600 + 12 * 60 + 5);
    up.last_check = kNow - 8;
    up.rtt_us = 41;
    up.availability = 1.0;
    up.recent = "UUU";
    up.last_status = "Ping OK 127.0.0.1 received=3/3";
    HostView counting;
    counting.host = "db.example";
    counting.state = HostCondition::down;
    counting.fail_count = 2;
    counting.alertcount = 5;
    counting.since = kNow - 40;
    counting.last_check = kNow - 8;
    counting.rtt_us = 12'345;
    counting.availability = 0.9876;
    counting.recent = "UUDD";
    counting.last_status = "Ping Timeout... db.example received=0/3 count 2/5";
    HostView alerted;
    alerted.host = "10.0.0.9";
    alerted.state = HostCondition::alert;
    alerted.fail_count = 1;
    alerted.since = kNow - 2 * 86400 - 4 * 3600;
    alerted.last_check = kNow - 7;
    alerted.last_status = "Ping Timeout... 10.0.0.9 received=0/3 (alert already sent)";
    view.hosts = {up, counting, alerted};
    view.sends = {{"email", "ok", 3}, {"email", "failed", 1}};
    return view;
}

TEST(Summary, AlignedTableOfEveryHostInOrder) {
    const std::string since_up = stamp(kNow - (3 * 3600 + 12 * 60 + 5));
    const std::string since_down = stamp(kNow - 40);
    const std::string since_alert = stamp(kNow - 2 * 86400 - 4 * 3600);
    const std::string check = stamp(kNow - 8);
    const std::string check3 = stamp(kNow - 7);
    const std::string expected =
        "hostvigil summary of lab, last round " + stamp(kNow - 10) +
        "\n\n"
        "HOST        STATE  SINCE                        LAST CHECK           RTT       24H"
        "     LAST RESULT\n"
        "127.0.0.1   up     " +
        since_up + " (3h12m)  " + check +
        "  0.04 ms   100.0%  Ping OK 127.0.0.1 received=3/3\n"
        "db.example  down   " +
        since_down + " (40s)    " + check +
        "  12.35 ms  98.8%   Ping Timeout... db.example received=0/3 count 2/5\n"
        "10.0.0.9    alert  " +
        since_alert + " (2d4h)   " + check3 +
        "  -         -       Ping Timeout... 10.0.0.9 received=0/3 (alert already sent)\n";
    EXPECT_EQ(render_summary(three_hosts(), kNow), expected);
}

TEST(Summary, SaysWhenTheStateIsOlderThanTwoRounds) {
    ReportView view = three_hosts();
    // Two rounds of 15 s plus a 2.5 s round (counted as 3 s) allow 36 s.
    view.last_round = kNow - 36;
    EXPECT_EQ(render_summary(view, kNow).find("not running"), std::string::npos);
    view.last_round = kNow - 37;
    EXPECT_NE(render_summary(view, kNow).find("older than two rounds"), std::string::npos);
    view.last_round = 0;
    EXPECT_TRUE(is_stale(view, kNow));
}

TEST(Summary, ControlBytesFromAProbeKeepTheTableAligned) {
    ReportView view = three_hosts();
    view.hosts[0].last_status = "a\tb\nc\rd";
    const std::string table = render_summary(view, kNow);
    EXPECT_NE(table.find("a b c d\n"), std::string::npos);
}

TEST(ShortDuration, PicksTheTwoLargestUnits) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {-5, "0s"},     {0, "0s"},        {59, "59s"},       {60, "1m"},      {3599, "59m"},
        {3600, "1h0m"}, {11525, "3h12m"}, {86399, "23h59m"}, {86400, "1d0h"}, {187200, "2d4h"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(short_duration(seconds), text) << seconds;
}

TEST(StatusPage, EscapesEveryTextAndLoadsNothingFromOutside) {
    ReportView view = three_hosts();
    view.station = "<script>alert('x')</script>";
    view.hosts[1].host = "a\"b&c";
    view.hosts[1].last_status = "<img src=x onerror=alert(1)>";
    const std::string page = render_status_page(view, kNow);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("a&quot;b&amp;c"), std::string::npos);
    EXPECT_EQ(page.find("http"), page.find("http-equiv"));
    EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"15\">"), std::string::npos);
    EXPECT_NE(page.find("Content-Security-Policy"), std::string::npos);
    EXPECT_NE(page.find("<span id=\"hosts-up\">1</span> up, <span id=\"hosts-down\">2</span>"),
              std::string::npos);
}

TEST(StatusPage, StripHoldsSixtyBarsNewestRight) {
    ReportView view = three_hosts();
    view.hosts.resize(1);
    view.hosts[0].recent = "UD";
    const std::string page = render_status_page(view, kNow);
    std::size_t bars = 0;
    for (std::size_t at = page.find("h3v14h-3z"); at != std::string::npos;
         at = page.find("h3v14h-3z", at + 1))
        ++bars;
    EXPECT_EQ(bars, 60u);
    EXPECT_NE(page.find("<path fill=\"#2e7d32\" d=\"M232 0h3v14h-3z\"/>"), std::string::npos);
    EXPECT_NE(page.find("<path fill=\"#c62828\" d=\"M236 0h3v14h-3z\"/></svg>"), std::string::npos);
}

TEST(Metrics, ExpositionOfHostsRoundAndSends) {
    ReportView view = three_hosts();
    view.station = "site \"a\"\\b\nc";
    view.hosts.push_back(view.hosts[0]);  // listed twice: exported once
    const std::string text = render_metrics(view);
    const std::string station = "station=\"site \\\"a\\\"\\\\b\\nc\"";
    for (const std::string& line : std::vector<std::string>{
             "# TYPE hostvigil_host_up gauge",
             "hostvigil_host_up{" + station + ",host=\"127.0.0.1\"} 1",
             "hostvigil_host_up{" + station + ",host=\"db.example\"} 0",
             "hostvigil_host_rtt_seconds{" + station + ",host=\"db.example\"} 0.012345",
             "hostvigil_host_consecutive_failures{" + station + ",host=\"db.example\"} 2",
             "hostvigil_host_alert_active{" + station + ",host=\"10.0.0.9\"} 1",
             "hostvigil_host_alert_active{" + station + ",host=\"db.example\"} 0",
             "hostvigil_round_duration_seconds{" + station + "} 2.5",
             "hostvigil_last_round_timestamp_seconds{" + station + "} 1795999990",
             "# TYPE hostvigil_notifications_total counter",
             "hostvigil_notifications_total{" + station + ",channel=\"email\",result=\"failed\"} 1",
         }) {
        EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
    }
    // No round trip known: no sample rather than a made-up one.
    EXPECT_EQ(text.find("hostvigil_host_rtt_seconds{" + station + ",host=\"10.0.0.9\"}"),
              std::string::npos);
    std::size_t ups = 0;
    for (std::size_t at = text.find("hostvigil_host_up{"); at != std::string::npos;
         at = text.find("hostvigil_host_up{", at + 1))
        ++ups;
    EXPECT_EQ(ups, 3u);
}

// Every label value is escaped and valid UTF-8: texts saved in a legacy code page ("caf\xE9" in
// Latin-1) carry U+FFFD, and two hosts that then read alike are exported once.
TEST(Metrics, LabelsAreEscapedValidUtf8) {
    ReportView view = three_hosts();
    view.station = "caf\xE9";
    view.hosts[0].host = "h\"q\\b\nn\rr";
    view.hosts[1].host = "d\xF6rte";
    view.hosts[2].host = "d\xE4rte";
    view.sends = {{"e\xE9", "ok", 1}};
    const std::string text = render_metrics(view);
    const std::string station = "station=\"caf\xEF\xBF\xBD\"";
    for (const std::string& line : std::vector<std::string>{
             "hostvigil_host_up{" + station + ",host=\"h\\\"q\\\\b\\nn\rr\"} 1",
             "hostvigil_host_up{" + station + ",host=\"d\xEF\xBF\xBDrte\"} 0",
             "hostvigil_notifications_total{" + station +
                 ",channel=\"e\xEF\xBF\xBD\",result=\"ok\"} 1",
         }) {
        EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\n" << text;
    }
    EXPECT_TRUE(is_utf8_text(text));
    std::size_t ups = 0;
    for (std::size_t at = text.find("hostvigil_host_up{"); at != std::string::npos;
         at = text.find("hostvigil_host_up{", at + 1))
        ++ups;
    EXPECT_EQ(ups, 2u);
}

class ReportFile : public ::testing::Test {
  protected:
    std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    test::ScratchDir scratch_{"report"};
    const fs::path dir_ = scratch_.dir();
};

TEST_F(ReportFile, ReplacesTheWholeFileAndLeavesNoTemporaryFile) {
    const fs::path page = dir_ / "page.html";
    ASSERT_TRUE(write_report_file(page.string().c_str(), "first version, longer\n"));
    ASSERT_TRUE(write_report_file(page.string().c_str(), "second\n"));
    EXPECT_EQ(read(page), "second\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
#ifndef _WIN32
    EXPECT_EQ(fs::status(page).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
#endif
}

TEST_F(ReportFile, RefusesWhatIsNotARegularFile) {
    fs::create_directory(dir_ / "adir");
    EXPECT_FALSE(write_report_file((dir_ / "adir").string().c_str(), "x"));
    EXPECT_TRUE(fs::is_directory(dir_ / "adir"));
    EXPECT_FALSE(write_report_file((dir_ / "missing" / "page.html").string().c_str(), "x"));
    EXPECT_FALSE(write_report_file("", "x"));
#ifndef _WIN32
    std::ofstream(dir_ / "target") << "kept\n";
    fs::create_symlink(dir_ / "target", dir_ / "link");
    EXPECT_FALSE(write_report_file((dir_ / "link").string().c_str(), "x"));
    EXPECT_EQ(read(dir_ / "target"), "kept\n");
    EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
    EXPECT_FALSE(write_report_file("/dev/null", "x"));
#endif
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "adir"), fs::directory_iterator()), 0);
}

}  // namespace
}  // namespace hv
