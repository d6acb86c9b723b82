#include "notify/outbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "scratch.h"

namespace hv {
namespace {

namespace fs = std::filesystem;
using state::Channel;
using state::NoticeKind;
using state::PendingNotice;

TEST(RetrySchedule, GrowsThenRepeatsItsLastPause) {
    RetrySchedule schedule;
    EXPECT_EQ(schedule.pause_after(1), 30);
    EXPECT_EQ(schedule.pause_after(2), 120);
    EXPECT_EQ(schedule.pause_after(3), 300);
    EXPECT_EQ(schedule.pause_after(4), 600);
    EXPECT_EQ(schedule.pause_after(50), 600);
    EXPECT_EQ(schedule.pause_after(0), 30);
    EXPECT_EQ(RetrySchedule(std::vector<std::int64_t>{}).pause_after(3), 600);
}

// Records every send as "<channel> <text>" and answers with the exit code scripted for the
// text (0 when none is left).
class ScriptedSender : public NoticeSender {
  public:
    SendOutcome send(const PendingNotice& notice) override {
        std::lock_guard<std::mutex> guard(mutex);
        sent.push_back(std::string(state::channel_key(notice.channel)) + " " + notice.text);
        ids.push_back(notice.id);
        auto& codes = script[notice.text];
        if (codes.empty())
            return {0, {}};
        int code = codes.front();
        codes.erase(codes.begin());
        return {code, code == 22 ? "HTTP 500" : ""};
    }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> guard(mutex);
        return sent;
    }
    std::mutex mutex;
    std::vector<std::string> sent;
    std::vector<std::string> ids;
    std::map<std::string, std::vector<int>> script;
};

class OutboxTest : public ::testing::Test {
  protected:
    static PendingNotice notice(Channel channel, NoticeKind kind, const std::string& text,
                                std::time_t next_try = 0) {
        const std::time_t now = std::time(nullptr);
        PendingNotice out;
        out.channel = channel;
        out.kind = kind;
        out.text = text;
        out.first_queued = now;
        out.next_try = next_try == 0 ? now : next_try;
        return out;
    }
    std::vector<std::string> log_lines() const {
        static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
        std::ifstream in(dir_ / "hostvigil_log.txt");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(std::regex_replace(line, stamp, ""));
        return lines;
    }
    template <typename Pred>
    static bool wait_for(Pred pred) {
        for (int i = 0; i < 500 && !pred(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return pred();
    }

    // The event log is written by relative name.
    test::ScopedWorkDir work_{"outbox"};
    const fs::path dir_ = work_.dir();
    ScriptedSender sender;
};

TEST_F(OutboxTest, AHostsRecoveryWaitsBehindItsRetryingAlertWhileOtherHostsPass) {
    sender.script["db1 down"] = {7};
    Outbox outbox(sender, 60, {}, RetrySchedule({1}));
    outbox.start();
    outbox.add(1, "db1", notice(Channel::email, NoticeKind::alert, "db1 down"));
    outbox.add(1, "db1", notice(Channel::email, NoticeKind::recovery, "db1 back"));
    outbox.add(2, "web", notice(Channel::email, NoticeKind::alert, "web down"));
    ASSERT_TRUE(wait_for([&] { return sender.log().size() >= 4; }));
    EXPECT_EQ(sender.log(), (std::vector<std::string>{"email db1 down", "email web down",
                                                      "email db1 down", "email db1 back"}));
    outbox.stop_after_draining(5);
    const auto lines = log_lines();
    EXPECT_EQ(lines.at(0), "Mail alert for db1 failed (curl exit code 7), next try in 1 s");
    EXPECT_EQ(lines.at(1), "Mail alert for web sent");
    EXPECT_TRUE(std::regex_match(lines.at(2), std::regex(R"(Mail alert for db1 sent, \d s late)")))
        << lines.at(2);
    EXPECT_EQ(lines.at(3), "Mail recovery notice for db1 sent");
}

TEST_F(OutboxTest, ASlowChannelDoesNotHoldTheOthers) {
    struct SlowMail : ScriptedSender {
        std::atomic<bool> release{false};
        SendOutcome send(const PendingNotice& notice) override {
            while (notice.channel == Channel::email && !release)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return ScriptedSender::send(notice);
        }
    } slow;
    Outbox outbox(slow, 60);
    outbox.start();
    outbox.add(1, "a", notice(Channel::email, NoticeKind::alert, "a"));
    outbox.add(1, "a", notice(Channel::telegram, NoticeKind::alert, "a"));
    outbox.add(2, "b", notice(Channel::teams, NoticeKind::alert, "b"));
    ASSERT_TRUE(wait_for([&] { return slow.log().size() == 2; }));
    EXPECT_EQ(outbox.pending(2)[1].size(), 1u);  // the e-mail still in flight
    slow.release = true;
    outbox.stop_after_draining(5);
    EXPECT_EQ(slow.log().size(), 3u);
    EXPECT_TRUE(outbox.pending(2)[1].empty());
}

TEST_F(OutboxTest, FailedSendsAreGivenUpAfterTheRetryTime) {
    struct Case {
        const char* name;
        std::int32_t retry_minutes;
        std::int64_t queued_ago;  // seconds before now
        std::vector<int> codes;
        std::size_t tries;
        const char* last_line;
    };
    const Case cases[] = {
        {"retry_minutes 0: one try",
         0,
         0,
         {7},
         1,
         "Telegram alert for h failed (curl exit code 7), given up after 1 try"},
        {"time used up",
         1,
         58,
         {22, 22},
         1,
         "Telegram alert for h failed (curl exit code 22: HTTP 500), given up after 1 try"},
        {"curl missing",
         0,
         0,
         {-1},
         1,
         "Telegram alert for h failed (curl was not run), given up after 1 try"},
    };
    for (const Case& c : cases) {
        fs::remove(dir_ / "hostvigil_log.txt");
        ScriptedSender local;
        local.script["t"] = c.codes;
        Outbox outbox(local, c.retry_minutes, {}, RetrySchedule({5}));
        outbox.start();
        PendingNotice n = notice(Channel::telegram, NoticeKind::alert, "t");
        n.first_queued -= c.queued_ago;
        outbox.add(1, "h", n);
        ASSERT_TRUE(wait_for([&] { return !log_lines().empty(); })) << c.name;
        outbox.stop_after_draining(0);
        EXPECT_EQ(local.log().size(), c.tries) << c.name;
        EXPECT_EQ(log_lines().back(), c.last_line) << c.name;
        EXPECT_TRUE(outbox.pending(1)[1].empty()) << c.name;
    }
}

TEST_F(OutboxTest, DrainingSendsWhatIsDueAndKeepsWhatWaitsForARetry) {
    const std::time_t later = std::time(nullptr) + 600;
    Outbox outbox(sender, 60);
    outbox.add(1, "a", notice(Channel::email, NoticeKind::alert, "a waits", later));
    outbox.add(1, "a", notice(Channel::email, NoticeKind::recovery, "a back"));
    outbox.add(2, "b", notice(Channel::email, NoticeKind::alert, "b due"));
    PendingNotice restored = notice(Channel::teams, NoticeKind::alert, "c from before");
    restored.first_queued -= 300;
    outbox.add(3, "c", restored, true);
    outbox.start();
    outbox.stop_after_draining(20);
    // Each channel sends on its own thread: their order against each other is free.
    std::vector<std::string> sent = sender.log();
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, (std::vector<std::string>{"email b due", "teams c from before"}));
    auto left = outbox.pending(3);
    ASSERT_EQ(left[1].size(), 2u);
    EXPECT_EQ(left[1][0].text, "a waits");
    EXPECT_EQ(left[1][1].text, "a back");
    EXPECT_TRUE(left[2].empty());
    std::vector<std::string> lines = log_lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Teams alert for c sent, 5 min late"),
              lines.end());
}

// retry_minutes counts minutes: one minute leaves room for a retry a few seconds later.
TEST_F(OutboxTest, RetryTimeIsCountedInMinutes) {
    sender.script["t"] = {7};
    Outbox outbox(sender, 1, {}, RetrySchedule({2}));
    outbox.start();
    outbox.add(1, "h", notice(Channel::telegram, NoticeKind::alert, "t"));
    ASSERT_TRUE(wait_for([&] { return sender.log().size() == 2; }));
    outbox.stop_after_draining(5);
    const auto lines = log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Telegram alert for h failed (curl exit code 7), next try in 2 s");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(Telegram alert for h sent, \d s late)")))
        << lines[1];
}

// The instance's own notices (index 0) go the same way: logged without a host, kept as
// pending under index 0, counted; a notice keeps one id over all its tries; test messages
// are reported by the test, not logged here.
TEST_F(OutboxTest, InstanceNoticesKeepTheirIdAndAreCounted) {
    sender.script["alive"] = {22};
    SendCounters counters;
    std::mutex settled_mutex;
    std::vector<bool> finals;
    Outbox outbox(sender, 60,
                  OutboxHooks{nullptr,
                              [&](const SettledSend& settled) {
                                  std::lock_guard<std::mutex> guard(settled_mutex);
                                  finals.push_back(settled.final);
                              },
                              &counters},
                  RetrySchedule({1}));
    PendingNotice heartbeat = notice(Channel::email, NoticeKind::heartbeat, "alive");
    outbox.add(0, "", heartbeat);
    ASSERT_EQ(outbox.pending(0)[0].size(), 1u);
    const std::string id = outbox.pending(0)[0][0].id;
    EXPECT_FALSE(id.empty());
    outbox.add(0, "", notice(Channel::teams, NoticeKind::test, "card"));
    outbox.start();
    ASSERT_TRUE(outbox.wait_until_idle(std::chrono::seconds(30)));
    outbox.stop_after_draining(0);

    std::vector<std::string> ids = sender.ids;
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), id), 2) << "both tries carry the same id";
    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{
                  "Mail heartbeat failed (curl exit code 22: HTTP 500), next try in 1 s",
                  "Mail heartbeat sent, 1 s late"}));
    EXPECT_EQ(counters[0][0].load(), 1u);
    EXPECT_EQ(counters[0][1].load(), 1u);
    EXPECT_EQ(counters[2][0].load(), 1u);
    std::sort(finals.begin(), finals.end());
    EXPECT_EQ(finals, (std::vector<bool>{false, true, true}));
}

}  // namespace
}  // namespace hv
