// Test doubles of the monitor: scripted probes, recorded notices, a private working directory
// for the event log, and console capture.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
#include "platform/stop.h"
#include "scratch.h"

namespace hv::test {

/// Replaces every timestamp in `text` by "TS".
inline std::string mask_timestamps(const std::string& text) {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    return std::regex_replace(text, stamp, "TS");
}

/// Probes answer from scripts; sends are recorded as "email to=<r> subject=<s> body=<b>",
/// "telegram <text>" and "teams <text>" with timestamps masked.
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
    int send_email(AlertSettings&, const char* recipients, const char* subject,
                   const char* body) override {
        record(std::string("email to=") + recipients + " subject=" + subject + " body=" + body);
        return 1;
    }
    int send_telegram(const AlertSettings&, const char* text) override {
        record(std::string("telegram ") + text);
        return 1;
    }
    int send_teams(const AlertSettings&, const char* text) override {
        record(std::string("teams ") + text);
        return 1;
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

    std::vector<std::string> take_notices() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<std::string> out;
        out.swap(notices_);
        return out;
    }

    std::atomic<int> ping_calls{0};
    std::atomic<int> tcp_calls{0};
    std::atomic<int> sleeps{0};

  private:
    void record(const std::string& notice) {
        std::lock_guard<std::mutex> guard(mutex_);
        notices_.push_back(mask_timestamps(notice));
    }
    std::mutex mutex_;
    std::vector<std::string> notices_;
};

/// Runs each test in a fresh temporary working directory (the event log lands there) with the
/// stop request cleared, and offers records and a context on the fake services.
class MonitorFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        work_.emplace("monitor");
        platform::clear_stop_request();
    }
    void TearDown() override {
        platform::clear_stop_request();
        work_.reset();
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
    MonitorContext context{settings, hosts, alerts, &fake};

  private:
    std::optional<ScopedWorkDir> work_;
};

}  // namespace hv::test
