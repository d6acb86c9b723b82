#include "config/monitor_config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/instance.h"
#include "scratch.h"

namespace hv {
namespace {

struct Loaded {
    MonitorLoadResult result;
    MonitorSettings settings;
    std::unique_ptr<HostTable> table = std::make_unique<HostTable>();
};

Loaded load(const std::string& text) {
    test::ScratchDir dir;
    Loaded loaded;
    testing::internal::CaptureStdout();
    loaded.result =
        load_monitor_config(loaded.settings, *loaded.table, dir.write("config.txt", text).c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    return loaded;
}

TEST(LoadMonitorConfig, DefaultsForAFileWithoutKeys) {
    Loaded l = load("# nothing here\n\n");
    ASSERT_EQ(l.result, MonitorLoadResult::ok);
    EXPECT_EQ(l.settings.interval, 15);
    EXPECT_EQ(l.settings.fast_retry_interval, 4);
    EXPECT_EQ(l.settings.pingcount, 3);
    EXPECT_EQ(l.settings.workers, 2);
    EXPECT_EQ(l.settings.host_count, 0);
    EXPECT_EQ(l.settings.instance_name.view(), platform::computer_name());
}

TEST(LoadMonitorConfig, GlobalClampsAndSaturation) {
    struct Case {
        std::string key;
        std::string value;
        std::int32_t want;
    };
    const std::vector<Case> cases = {
        {"workers", "0", 2},
        {"workers", "51", 50},
        {"workers", "many", 2},
        {"workers", "50", 50},
        {"workers", "1", 1},
        {"workers", "99999999999", 50},
        {"workers", "-99999999999", 2},
        {"interval", "-1", 15},
        {"interval", "99999999999", INT32_MAX},
        {"fast_retry_interval", "0", 4},
        {"pingcount", "2x", 2},
        {"pingcount", "", 3},
    };
    for (const Case& c : cases) {
        Loaded l = load(c.key + " : \"" + c.value + "\"\n");
        const MonitorSettings& s = l.settings;
        std::int32_t got = c.key == "workers"     ? s.workers
                           : c.key == "interval"  ? s.interval
                           : c.key == "pingcount" ? s.pingcount
                                                  : s.fast_retry_interval;
        EXPECT_EQ(got, c.want) << c.key << "=" << c.value;
    }
}

TEST(LoadMonitorConfig, ScheduleValues) {
    struct Case {
        std::string text;
        RoundSchedule want;
    };
    const std::vector<Case> cases = {
        {"", RoundSchedule::batch},
        {"schedule : \"window\"\n", RoundSchedule::window},
        {"schedule : \" window \"\n", RoundSchedule::window},
        {"schedule : \"batch\"\n", RoundSchedule::batch},
        {"schedule : \"Window\"\n", RoundSchedule::batch},
        {"schedule : \"windows\"\n", RoundSchedule::batch},
        {"schedule : \"\"\n", RoundSchedule::batch},
        {"*schedule : \"window\"\n", RoundSchedule::batch},
        // The last line counts, also when its value is unknown.
        {"schedule : \"window\"\nschedule : \"batch\"\n", RoundSchedule::batch},
        {"schedule : \"window\"\nschedule : \"fast\"\n", RoundSchedule::batch},
        {"host : \"a\"\nschedule : \"window\"\n", RoundSchedule::window},
    };
    for (const Case& c : cases) {
        Loaded l = load(c.text);
        EXPECT_EQ(l.settings.schedule, c.want) << c.text;
    }
}

TEST(LoadMonitorConfig, PerHostKeysActOnTheMostRecentHost) {
    Loaded l = load(
        "timeoutsec : \"9\"\n"  // before any host: ignored
        "host : \"a\"\n"
        "timeoutsec : \"0\"\n"
        "alertcount : \"5\"\n"
        "alertcount : \"6\"\n"
        "pinglossmsg : \"down!\"\n"
        "tcpfallback : \"no\"\n"
        "*host : \"disabled\"\n"
        "pingbackmsg : \"up again\"\n"  // the disabled host opened nothing: still host 1
        "host : \"a\"\n"
        "interval : \"30\"\n"
        "instance_name : \"station 7\"\n"
        "host=\"b\"\n"
        "timeoutsec : \"-4\"\n"
        "alertcount : \"x\"\n");
    ASSERT_EQ(l.result, MonitorLoadResult::ok);
    ASSERT_EQ(l.settings.host_count, 3);
    EXPECT_EQ(l.settings.interval, 30);
    EXPECT_EQ(l.settings.instance_name.view(), "station 7");
    const HostRecord& first = l.table->at(1);
    EXPECT_EQ(first.host.view(), "a");
    EXPECT_EQ(first.timeoutsec, 3);
    EXPECT_EQ(first.alertcount, 6);
    EXPECT_EQ(first.pinglossmsg.view(), "down!");
    EXPECT_EQ(first.pingbackmsg.view(), "up again");
    EXPECT_EQ(first.tcpfallback, 0);
    const HostRecord& second = l.table->at(2);
    EXPECT_EQ(second.host.view(), "a");
    EXPECT_EQ(second.timeoutsec, 3);
    EXPECT_EQ(second.alertcount, 20);
    EXPECT_EQ(second.tcpfallback, 1);
    EXPECT_EQ(second.pinglossmsg.view(), "default");
    EXPECT_EQ(second.pingbackmsg.view(), "default");
    EXPECT_EQ(l.table->at(3).host.view(), "b");
    EXPECT_EQ(l.table->at(3).timeoutsec, 3);
    EXPECT_EQ(l.table->at(3).alertcount, 20);
}

TEST(LoadMonitorConfig, TcpFallbackValues) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"yes", 1}, {"YeS", 1}, {"1", 1}, {" 1 ", 1},  {"true", 0},
        {"on", 0},  {"01", 0},  {"", 0},  {"yess", 0}, {"no", 0}};
    for (const auto& [value, want] : cases) {
        Loaded l = load("host : \"h\"\ntcpfallback : \"" + value + "\"\n");
        EXPECT_EQ(l.table->at(1).tcpfallback, want) << value;
    }
}

TEST(LoadMonitorConfig, LongTextsAreCutToTheirFields) {
    std::string name(300, 'n');
    Loaded l = load("host : \"" + name + "\"\npinglossmsg : \"" + name + "\"\ninstance_name : \"" +
                    name + "\"\n");
    EXPECT_EQ(l.table->at(1).host.view(), name.substr(0, 127));
    EXPECT_EQ(l.table->at(1).pinglossmsg.view(), name.substr(0, 255));
    EXPECT_EQ(l.settings.instance_name.view(), name.substr(0, 127));
}

TEST(LoadMonitorConfig, EmptyInstanceNameGivesTheComputerName) {
    Loaded l = load("instance_name : \"x\"\ninstance_name : \"\"\n");
    EXPECT_EQ(l.settings.instance_name.view(), platform::computer_name());
}

std::string hosts(int count) {
    std::string text = "interval : \"5\"\n";
    for (int i = 1; i <= count; ++i)
        text += "host : \"h" + std::to_string(i) + "\"\n";
    return text;
}

TEST(LoadMonitorConfig, HostTableLimit) {
    Loaded full = load(hosts(255));
    ASSERT_EQ(full.result, MonitorLoadResult::ok);
    EXPECT_EQ(full.settings.host_count, 255);
    EXPECT_EQ(full.table->at(255).host.view(), "h255");

    test::ScratchDir dir;
    MonitorSettings settings;
    auto table = std::make_unique<HostTable>();
    testing::internal::CaptureStdout();
    MonitorLoadResult result =
        load_monitor_config(settings, *table, dir.write("config.txt", hosts(256)).c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Too many hosts (max 255)\n");
    EXPECT_EQ(result, MonitorLoadResult::too_many_hosts);
    EXPECT_LE(settings.host_count, 255);
}

TEST(LoadMonitorConfig, MissingFile) {
    test::ScratchDir dir;
    MonitorSettings settings;
    settings.interval = 99;
    auto table = std::make_unique<HostTable>();
    std::string path = dir.path("hostvigil_host.txt");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load_monitor_config(settings, *table, path.c_str()), MonitorLoadResult::missing_file);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), path + " is not existed\n");
    EXPECT_EQ(settings.interval, 15);
}

std::string utf16(const std::string& ascii, bool little_endian) {
    std::string out = little_endian ? "\xFF\xFE" : "\xFE\xFF";
    for (char c : ascii) {
        out += little_endian ? c : '\0';
        out += little_endian ? '\0' : c;
    }
    return out;
}

TEST(LoadMonitorConfig, EncodingsAWindowsEditorSaves) {
    const std::string text = "interval : \"7\"\r\nhost : \"h1\"\r\n";
    struct Case {
        const char* name;
        std::string bytes;
        MonitorLoadResult result;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"UTF-8 with a byte order mark", "\xEF\xBB\xBF" + text, MonitorLoadResult::ok, false},
        {"UTF-16 little endian", utf16(text, true), MonitorLoadResult::utf16_text, true},
        {"UTF-16 big endian", utf16(text, false), MonitorLoadResult::utf16_text, true},
    };
    for (const Case& c : cases) {
        test::ScratchDir dir;
        MonitorSettings settings;
        auto table = std::make_unique<HostTable>();
        std::string path = dir.write("hostvigil_host.txt", c.bytes);
        testing::internal::CaptureStdout();
        EXPECT_EQ(load_monitor_config(settings, *table, path.c_str()), c.result) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  c.refused ? path + " is UTF-16 text; save it as UTF-8\n" : "")
            << c.name;
        if (!c.refused) {
            EXPECT_EQ(settings.interval, 7) << c.name;
            ASSERT_EQ(settings.host_count, 1) << c.name;
            EXPECT_EQ(table->at(1).host.view(), "h1") << c.name;
        }
    }
}

TEST(LoadMonitorConfig, RunModeNeedsAHostToWatch) {
    struct Case {
        const char* name;
        std::string text;
        bool watches;
    };
    const std::vector<Case> cases = {
        {"no host line", "interval : \"1\"\ntimeoutsec : \"1\"\n", false},
        {"only a disabled host", "*host : \"h1\"\n", false},
        {"one host", "host : \"h1\"\n", true},
    };
    for (const Case& c : cases) {
        Loaded l = load(c.text);
        ASSERT_EQ(l.result, MonitorLoadResult::ok) << c.name;
        testing::internal::CaptureStdout();
        EXPECT_EQ(has_hosts_to_watch(l.settings.host_count), c.watches) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  c.watches ? "" : "no host to watch in hostvigil_host.txt\n")
            << c.name;
    }
}

TEST(LoadMonitorConfig, LinesAfterANulByteAndLongLinesStillCount) {
    std::string text = std::string("interval : \"7\0junk\"\n", 20) + std::string(10000, 'x') +
                       "\nhost : \"after\"\n";
    Loaded l = load(text);
    EXPECT_EQ(l.settings.interval, 15);  // the unit ends at its NUL: no closing quote
    ASSERT_EQ(l.settings.host_count, 1);
    EXPECT_EQ(l.table->at(1).host.view(), "after");
}

}  // namespace
}  // namespace hv
