#include "state/state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "platform/instance.h"
#include "scratch.h"
#include "state/host_state.h"
#include "state/store.h"

namespace hv::state {
namespace {

namespace fs = std::filesystem;

PendingNotice pending_notice(Channel channel, NoticeKind kind, const std::string& text,
                             std::int64_t first_queued, std::int32_t attempts,
                             std::int64_t next_try) {
    PendingNotice notice;
    notice.channel = channel;
    notice.kind = kind;
    notice.text = text;
    notice.first_queued = first_queued;
    notice.attempts = attempts;
    notice.next_try = next_try;
    return notice;
}

Snapshot sample() {
    Snapshot snapshot;
    HostState db;
    db.host = "db1";
    db.fail_count = 1;
    db.alert_outstanding = true;
    db.state_since = 1765000000;
    db.last_check = 1765000300;
    db.last_result = "Ping Timeout... db1 received=0/3 (alert already sent)";
    db.pending.push_back(pending_notice(Channel::email, NoticeKind::alert,
                                        "2026-12-10 10:00:00 down", 1765000100, 2, 1765000400));
    db.pending.back().id = "6932a0c4.1f4.0badcafe";
    db.pending.push_back(
        pending_notice(Channel::telegram, NoticeKind::recovery, "back", 1765000200, 0, 1765000200));
    // The instance's heartbeat, an e-mail with its own recipients and body.
    snapshot.pending.push_back(
        pending_notice(Channel::email, NoticeKind::heartbeat, "alive", 1765000000, 1, 1765000030));
    snapshot.pending.back().body = "hostvigil is up\nTargets: 2\n";
    snapshot.pending.back().recipients = "alive@example.org";
    HostState twin;
    twin.host = "db1";
    twin.occurrence = 2;
    twin.last_result = "Ping OK db1 received=3/3";
    snapshot.hosts = {db, twin};
    return snapshot;
}

void expect_same_notices(const std::vector<PendingNotice>& x, const std::vector<PendingNotice>& y) {
    ASSERT_EQ(x.size(), y.size());
    for (std::size_t j = 0; j < x.size(); ++j) {
        EXPECT_EQ(x[j].channel, y[j].channel);
        EXPECT_EQ(x[j].kind, y[j].kind);
        EXPECT_EQ(x[j].text, y[j].text);
        EXPECT_EQ(x[j].first_queued, y[j].first_queued);
        EXPECT_EQ(x[j].attempts, y[j].attempts);
        EXPECT_EQ(x[j].next_try, y[j].next_try);
        EXPECT_EQ(x[j].id, y[j].id);
        EXPECT_EQ(x[j].body, y[j].body);
        EXPECT_EQ(x[j].recipients, y[j].recipients);
    }
}

void expect_same(const Snapshot& a, const Snapshot& b) {
    expect_same_notices(a.pending, b.pending);
    ASSERT_EQ(a.hosts.size(), b.hosts.size());
    for (std::size_t i = 0; i < a.hosts.size(); ++i) {
        const HostState& x = a.hosts[i];
        const HostState& y = b.hosts[i];
        EXPECT_EQ(x.host, y.host);
        EXPECT_EQ(x.occurrence, y.occurrence);
        EXPECT_EQ(x.fail_count, y.fail_count);
        EXPECT_EQ(x.alert_outstanding, y.alert_outstanding);
        EXPECT_EQ(x.state_since, y.state_since);
        EXPECT_EQ(x.last_check, y.last_check);
        EXPECT_EQ(x.last_result, y.last_result);
        expect_same_notices(x.pending, y.pending);
    }
}

TEST(StateFile, WrittenTextReadsBackTheSame) {
    Snapshot back;
    std::string reason;
    ASSERT_TRUE(from_json(to_json(sample()), back, reason)) << reason;
    expect_same(sample(), back);
}

TEST(StateFile, UnknownKeysAndMissingOptionalFieldsAreAccepted) {
    const char* text = R"({"version": 1, "written_by": "a later release",
        "hosts": [{"host": "web", "rtt_history": [1, 2, 3], "availability": {"x": 1}}]})";
    Snapshot back;
    std::string reason;
    ASSERT_TRUE(from_json(text, back, reason)) << reason;
    ASSERT_EQ(back.hosts.size(), 1u);
    EXPECT_EQ(back.hosts[0].host, "web");
    EXPECT_EQ(back.hosts[0].occurrence, 1);
    EXPECT_EQ(back.hosts[0].fail_count, 0);
    EXPECT_FALSE(back.hosts[0].alert_outstanding);
}

TEST(StateFile, TextThatIsNotUtf8IsWrittenReplaced) {
    Snapshot snapshot;
    snapshot.hosts.push_back(HostState{});
    snapshot.hosts[0].host = "h\xff\xfe";
    Snapshot back;
    std::string reason;
    ASSERT_TRUE(from_json(to_json(snapshot), back, reason)) << reason;
    EXPECT_EQ(back.hosts[0].host.substr(0, 1), "h");
}

TEST(StateFile, DamagedContentIsRejectedWithAReason) {
    struct Case {
        const char* name;
        std::string text;
        const char* reason_part;
    };
    const Case cases[] = {
        {"random bytes", "\x8f\x01{\xff garbage", "JSON"},
        {"empty", "", "JSON"},
        {"cut short", R"({"version": 1, "hosts": [{"host": "a")", "JSON"},
        {"not an object", "[1, 2]", "object"},
        {"other version", R"({"version": 2, "hosts": []})", "version"},
        {"no version", R"({"hosts": []})", "version"},
        {"version as text", R"({"version": "1", "hosts": []})", "version"},
        {"hosts not a list", R"({"version": 1, "hosts": {}})", "hosts"},
        {"host entry a number", R"({"version": 1, "hosts": [7]})", "host entry"},
        {"host text missing", R"({"version": 1, "hosts": [{"fail_count": 1}]})", "host"},
        {"host text a number", R"({"version": 1, "hosts": [{"host": 5}]})", "host"},
        {"fail count as text", R"({"version": 1, "hosts": [{"host": "a", "fail_count": "3"}]})",
         "fail_count"},
        {"fail count negative", R"({"version": 1, "hosts": [{"host": "a", "fail_count": -1}]})",
         "fail_count"},
        {"fail count fraction", R"({"version": 1, "hosts": [{"host": "a", "fail_count": 1.5}]})",
         "fail_count"},
        {"fail count too big",
         R"({"version": 1, "hosts": [{"host": "a", "fail_count": 99999999999}]})", "fail_count"},
        {"time beyond 64 bits",
         R"({"version": 1, "hosts": [{"host": "a", "last_check": 18446744073709551615}]})",
         "last_check"},
        {"alert flag as number",
         R"({"version": 1, "hosts": [{"host": "a", "alert_outstanding": 1}]})",
         "alert_outstanding"},
        {"occurrence zero", R"({"version": 1, "hosts": [{"host": "a", "occurrence": 0}]})",
         "occurrence"},
        {"pending not a list", R"({"version": 1, "hosts": [{"host": "a", "pending": {}}]})",
         "pending"},
        {"unknown channel", R"({"version": 1, "hosts": [{"host": "a", "pending": [
            {"channel": "fax", "kind": "alert", "text": "t"}]}]})",
         "channel"},
        {"unknown kind", R"({"version": 1, "hosts": [{"host": "a", "pending": [
            {"channel": "email", "kind": "joke", "text": "t"}]}]})",
         "kind"},
        {"instance notices not a list", R"({"version": 1, "hosts": [], "pending": "x"})",
         "pending"},
        {"a test message is never kept", R"({"version": 1, "hosts": [], "pending": [
            {"channel": "email", "kind": "test", "text": "t"}]})",
         "kind"},
        {"notice id not a text", R"({"version": 1, "hosts": [{"host": "a", "pending": [
            {"channel": "email", "kind": "alert", "text": "t", "id": 5}]}]})",
         "id"},
        {"notice text missing", R"({"version": 1, "hosts": [{"host": "a", "pending": [
            {"channel": "email", "kind": "alert"}]}]})",
         "text"},
    };
    for (const Case& c : cases) {
        Snapshot back;
        back.hosts.push_back(HostState{});
        std::string reason;
        EXPECT_FALSE(from_json(c.text, back, reason)) << c.name;
        EXPECT_TRUE(back.hosts.empty()) << c.name;
        EXPECT_NE(reason.find(c.reason_part), std::string::npos) << c.name << ": " << reason;
    }
}

class StateFileOnDisk : public ::testing::Test {
  protected:
    std::size_t files_in_dir() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}));
    }
    test::ScratchDir scratch_{"state"};
    const fs::path dir_ = scratch_.dir();
    const std::string path_ = scratch_.path(kStateFile);
};

TEST_F(StateFileOnDisk, LoadTellsMissingDamagedAndLoadedApart) {
    Snapshot back;
    std::string reason;
    EXPECT_EQ(load_state(path_.c_str(), back, reason), LoadResult::missing);

    std::ofstream(path_) << "{\"version\": 1, \"hosts\": [";
    EXPECT_EQ(load_state(path_.c_str(), back, reason), LoadResult::ignored);
    EXPECT_TRUE(back.hosts.empty());

    ASSERT_TRUE(save_state(path_.c_str(), sample()));
    EXPECT_EQ(load_state(path_.c_str(), back, reason), LoadResult::loaded);
    expect_same(sample(), back);
    // The temporary file is gone once the new content has its name.
    EXPECT_EQ(files_in_dir(), 1u);
}

// Only a regular file is read or replaced: a directory is told apart, and a link (even to a
// good state file), a pipe or a device is ignored at once, never followed, waited on or
// written through.
TEST_F(StateFileOnDisk, WhatIsNotARegularFileIsNeitherReadNorWritten) {
    const std::string good = scratch_.write("elsewhere.json", to_json(sample()));
    struct Case {
        const char* what;
        void (*make)(const std::string& path, const std::string& good);
        LoadResult load;
    };
    const Case cases[] = {
        {"directory", [](const std::string& p, const std::string&) { fs::create_directory(p); },
         LoadResult::directory},
#ifndef _WIN32
        {"link to a state file",
         [](const std::string& p, const std::string& g) { fs::create_symlink(g, p); },
         LoadResult::ignored},
        {"link to a device",
         [](const std::string& p, const std::string&) { fs::create_symlink("/dev/null", p); },
         LoadResult::ignored},
        {"pipe", [](const std::string& p, const std::string&) { mkfifo(p.c_str(), 0600); },
         LoadResult::ignored},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make(path_, good);
        const auto type = fs::symlink_status(path_).type();
        Snapshot back;
        std::string reason;
        EXPECT_EQ(load_state(path_.c_str(), back, reason), c.load) << reason;
        EXPECT_TRUE(back.hosts.empty());
        EXPECT_FALSE(save_state(path_.c_str(), sample()));
        EXPECT_EQ(fs::symlink_status(path_).type(), type);
        EXPECT_EQ(files_in_dir(), 2u);  // the thing itself and elsewhere.json: no temporary
        fs::remove(path_);
    }
    std::ifstream in(good, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), to_json(sample()));
}

// A crashed writer leaves its temporary file; the next start removes it, but never one of a
// live process (another instance may be writing there) nor any other file.
TEST_F(StateFileOnDisk, StartRemovesTheTemporariesOfEndedWritersOnly) {
    // Beyond the largest process id Linux hands out; not a valid Windows one either.
    const std::string ended = std::string(kStateFile) + ".4194305-0.tmp";
    const std::string live =
        std::string(kStateFile) + "." + std::to_string(platform::current_pid()) + "-3.tmp";
    const std::vector<std::string> kept = {live, std::string(kStateFile) + ".4194305-x.tmp",
                                           "other.json.4194305-0.tmp",
                                           std::string(kStateFile) + ".old"};
    scratch_.write(ended, "{\"version\": 1, \"hos");
    for (const std::string& name : kept)
        scratch_.write(name, "x");
    { StateStore store(path_); }
    EXPECT_FALSE(fs::exists(dir_ / ended));
    for (const std::string& name : kept)
        EXPECT_TRUE(fs::exists(dir_ / name)) << name;
}

TEST_F(StateFileOnDisk, StoreWritesTheNewestSnapshotByFlush) {
    StateStore store(path_);
    for (int i = 0; i < 20; ++i) {
        Snapshot snapshot;
        snapshot.hosts.push_back(HostState{});
        snapshot.hosts[0].host = "h";
        snapshot.hosts[0].fail_count = i;
        store.publish(std::move(snapshot));
    }
    store.flush();
    Snapshot back;
    std::string reason;
    ASSERT_EQ(load_state(path_.c_str(), back, reason), LoadResult::loaded) << reason;
    EXPECT_EQ(back.hosts.at(0).fail_count, 19);
}

TEST(HostState, RestoreMatchesHostsByTextAndOccurrenceAndDropsTheRest) {
    HostTable table;
    table.at(1).host.assign("db1");
    table.at(2).host.assign("web");
    table.at(3).host.assign("db1");
    Snapshot saved = sample();  // db1 #1 with an alert and two notices, db1 #2 healthy
    HostState gone;
    gone.host = "removed-host";
    gone.fail_count = 9;
    gone.pending.push_back(pending_notice(Channel::teams, NoticeKind::alert, "x", 1, 0, 1));
    saved.hosts.push_back(gone);

    std::vector<HostState> dropped;
    auto pending = restore_hosts(table, 3, saved, &dropped);
    ASSERT_EQ(pending.size(), 4u);
    EXPECT_EQ(pending[0].size(), 1u) << "the instance's heartbeat";
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].host, "removed-host");
    EXPECT_EQ(dropped[0].pending.size(), 1u);
    EXPECT_EQ(table.at(1).alert_sent, 1);
    EXPECT_EQ(table.at(1).fail_count, 1);
    EXPECT_EQ(pending[1].size(), 2u);
    EXPECT_EQ(table.at(2).fail_count, 0);  // no record: fresh
    EXPECT_TRUE(pending[2].empty());
    EXPECT_EQ(table.at(3).alert_sent, 0);
    EXPECT_EQ(std::string(table.at(3).last_status.view()), "Ping OK db1 received=3/3");

    Snapshot again = capture_hosts(table, 3);
    ASSERT_EQ(again.hosts.size(), 3u);
    EXPECT_EQ(again.hosts[2].host, "db1");
    EXPECT_EQ(again.hosts[2].occurrence, 2);
    EXPECT_EQ(again.hosts[1].occurrence, 1);
}

}  // namespace
}  // namespace hv::state

namespace hv::state {
namespace {

TEST(StateFile, ReportFieldsReadBackAndDamagedOnesAreRefused) {
    Snapshot snapshot = sample();
    snapshot.saved_at = 1765000302;
    snapshot.last_round = 1765000300;
    snapshot.round_duration_us = 1500000;
    snapshot.sends = {{Channel::email, 3, 1}, {Channel::teams, 0, 2}};
    snapshot.hosts[0].last_rtt_us = 48;
    snapshot.hosts[0].recent = "UUDD";
    snapshot.hosts[0].hours = {{490277, 4, 2}, {490276, 240, 240}};
    Snapshot back;
    std::string reason;
    ASSERT_TRUE(from_json(to_json(snapshot), back, reason)) << reason;
    EXPECT_EQ(back.saved_at, 1765000302);
    EXPECT_EQ(back.last_round, 1765000300);
    EXPECT_EQ(back.round_duration_us, 1500000);
    ASSERT_EQ(back.sends.size(), 2u);
    EXPECT_EQ(back.sends[1].channel, Channel::teams);
    EXPECT_EQ(back.sends[1].failed, 2);
    EXPECT_EQ(back.hosts[0].last_rtt_us, 48);
    EXPECT_EQ(back.hosts[0].recent, "UUDD");
    ASSERT_EQ(back.hosts[0].hours.size(), 2u);
    EXPECT_EQ(back.hosts[0].hours[1].checks, 240);
    EXPECT_EQ(back.hosts[1].last_rtt_us, -1);

    for (const char* host :
         {R"({"host": "a", "recent": "UXD"})", R"({"host": "a", "last_rtt_us": -2})",
          R"({"host": "a", "hours": [{"hour": 1, "checks": 2, "up": 3}]})",
          R"({"host": "a", "hours": {"hour": 1}})"}) {
        SCOPED_TRACE(host);
        std::string text = std::string(R"({"version": 1, "hosts": [)") + host + "]}";
        EXPECT_FALSE(from_json(text, back, reason));
    }
    EXPECT_FALSE(
        from_json(R"({"version": 1, "hosts": [], "sends": {"email": {"ok": -1}}})", back, reason));
}

TEST(HostStateMapping, RecentResultsAndHourCountsSurviveARestart) {
    HostTable table;
    table.at(1).host.assign("db1");
    HostHistory& history = table.at(1).history;
    const std::int64_t start = 1'765'000'000;
    for (int i = 0; i < 70; ++i)
        history.record(i % 4 != 0, HostCondition::up, start + i * 60);
    history.last_rtt_us = 900;

    HostTable restored;
    restored.at(1).host.assign("db1");
    restore_hosts(restored, 1, capture_hosts(table, 1));
    const HostHistory& again = restored.at(1).history;
    EXPECT_EQ(again.recent_count, history.recent_count);
    EXPECT_EQ(again.recent_bits & ((1ull << 60) - 1), history.recent_bits & ((1ull << 60) - 1));
    EXPECT_EQ(again.last_rtt_us, 900);
    const std::int64_t now = start + 70 * 60;
    EXPECT_DOUBLE_EQ(again.availability(now), history.availability(now));
}

}  // namespace
}  // namespace hv::state
