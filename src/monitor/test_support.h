// Test doubles of the monitor: scripted probes, recorded notices, a private working directory
// for the event log, and console capture.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "monitor/monitor.h"
#include "notify/outbox.h"
#include "platform/stop.h"
#include "scratch.h"

namespace hv::test {

/// Replaces every timestamp in `text` by "TS".
inline std::string mask_timestamps(const std::string& text) {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    return std::regex_replace(text, stamp, "TS");
}

/// Records every notice the delivery queue sends as "email to=<r> subject=<s> body=<b>",
/// "telegram <text>" and "teams <text>" with timestamps masked, and delivers it.
class FakeSender : public NoticeSender {
  public:
    explicit FakeSender(const AlertSettings& alerts) : alerts_(alerts) {}

    SendOutcome send(const state::PendingNotice& notice) override {
        {
            std::unique_lock<std::mutex> guard(mutex_);
            released_.wait(guard, [&] { return open_ || !stall(notice); });
        }
        std::string line;
        switch (notice.channel) {
            case Channel::email:
                line = "email to=" +
                       (notice.recipients.empty() ? std::string(alerts_.to.view())
                                                  : notice.recipients) +
                       " subject=" + notice.text +
                       " body=" + (notice.body.empty() ? notice.text + "\n" : notice.body);
                break;
            case Channel::telegram:
                line = "telegram " + notice.text;
                break;
            case Channel::teams:
                line = "teams " + notice.text;
                break;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        sent_[static_cast<std::size_t>(notice.channel)].push_back(mask_timestamps(line));
        return SendOutcome{0, {}};
    }

    /// What was sent since the last call: the e-mails, then the Telegram messages, then the
    /// Teams cards (each channel sends on its own thread), each channel's in sending order.
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<std::string> out;
        for (auto& channel : sent_) {
            out.insert(out.end(), channel.begin(), channel.end());
            channel.clear();
        }
        return out;
    }

    /// Which notices stall until release(): a channel that does not answer.
    std::function<bool(const state::PendingNotice&)> stall = [](const state::PendingNotice&) {
        return false;
    };
    void release() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            open_ = true;
        }
        released_.notify_all();
    }

  private:
    const AlertSettings& alerts_;
    std::condition_variable released_;
    bool open_ = false;
    std::mutex mutex_;
    std::array<std::vector<std::string>, state::kChannelCount> sent_;
};

/// Probes answer from scripts.
class FakeServices : public MonitorServices {
  public:
    std::function<bool(const std::string& host)> ping_up = [](const std::string&) { return true; };
    std::function<bool(const std::string& host)> tcp_up = [](const std::string&) { return false; };
    /// Whether a failed ping or fallback reports a name that does not resolve.
    std::function<bool(const std::string& host)> ping_name_failed = [](const std::string&) {
        return false;
    };
    std::function<bool(const std::string& host)> tcp_name_failed = [](const std::string&) {
        return false;
    };
    /// Whether the ping run is ended by the stop request before it tells anything.
    std::function<bool(const std::string& host)> ping_interrupted = [](const std::string&) {
        return false;
    };
    std::function<bool(int index)> refuse_thread = [](int) { return false; };
    std::function<void()> on_sleep = [] {};
    std::int64_t rtt_us = -1;  ///< round trip the fake ping reports for an answered ping

    /// The reply count ping reports; by default every reply when ping_up says so, else none.
    std::function<int(const std::string& host, int pingcount)> ping_replies =
        [this](const std::string& host, int pingcount) { return ping_up(host) ? pingcount : 0; };

    PingResult ping(const char* host, int, int pingcount, StatusText& status) override {
        ++ping_calls;
        PingResult result;
        if (ping_interrupted(host)) {
            result.interrupted = true;
            return result;
        }
        result.replies = ping_replies(host, pingcount);
        if (result.replies > 0) {
            status.format("Ping OK %s received=%d/%d", host, result.replies, pingcount);
            result.rtt_us = rtt_us;
        } else {
            result.name_failed = ping_name_failed(host);
        }
        return result;
    }
    FallbackResult tcp_fallback(const char* host, int, StatusText& status) override {
        ++tcp_calls;
        if (!tcp_up(host))
            return {false, tcp_name_failed(host)};
        status.format("Ping blocked but TCP reachable: %s", host);
        return {true, false};
    }
    std::thread start_worker(MonitorContext& context, WorkerSlot* slot,
                             std::function<void()> on_end) override {
        if (refuse_thread(slot->index))
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        return MonitorServices::start_worker(context, slot, std::move(on_end));
    }
    void sleep_one_second() override {
        ++sleeps;
        on_sleep();
    }

    std::atomic<int> ping_calls{0};
    std::atomic<int> tcp_calls{0};
    std::atomic<int> sleeps{0};
};

/// Runs each test in a fresh temporary working directory (the event log lands there) with the
/// stop request cleared, and offers records and a context on the fake services whose notices
/// go through a real delivery queue to the fake sender. Every channel is configured.
class MonitorFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        work_.emplace("monitor");
        platform::clear_stop_request();
        alerts.email_enabled = 1;
        alerts.server.assign("smtp://127.0.0.1:1");
        alerts.email.assign("monitor@example.org");
        alerts.password.assign("secret");
        alerts.to.assign("ops@example.org");
        alerts.token.assign("1:token");
        alerts.chat_id.assign("42");
        alerts.teams_webhook.assign("https://127.0.0.1:1/hook");
        outbox.start();
    }
    void TearDown() override {
        outbox.stop_after_draining(0);
        platform::clear_stop_request();
        work_.reset();
    }

    /// The notices sent since the last call, once the delivery queue has sent all it holds.
    std::vector<std::string> take_notices() {
        EXPECT_TRUE(outbox.wait_until_idle(std::chrono::seconds(30)));
        return sender.take();
    }

    /// Hosts 1..count named "127.0.0.<n>", every configuration field at its default.
    void add_hosts(int count, int alertcount) {
        settings.host_count = count;
        for (int i = 1; i <= count; ++i) {
            HostRecord& record = hosts.at(i);
            record = HostRecord{};
            record.host.format("127.0.0.%d", i);
            record.alertcount = alertcount;
        }
    }

    std::vector<std::string> log_lines() const {
        std::ifstream in(work_->dir() / "hostvigil_log.txt");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(mask_timestamps(line));
        return lines;
    }

    MonitorSettings settings;
    HostTable hosts;
    AlertSettings alerts;
    FakeServices fake;
    FakeSender sender{alerts};
    RunStats stats;
    Outbox outbox{sender, 0, OutboxHooks{nullptr, nullptr, &stats.sends}};
    MonitorContext context{settings, hosts, alerts, &fake, &stats, nullptr, &outbox};

  private:
    std::optional<ScopedWorkDir> work_;
};

}  // namespace hv::test
