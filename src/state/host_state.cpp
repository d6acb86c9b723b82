#include "state/host_state.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace hv::state {
namespace {

using HostKey = std::pair<std::string, std::int32_t>;

// The key of each host 1..host_count: its text and how many hosts before it share that text.
std::vector<HostKey> host_keys(const HostTable& table, int host_count) {
    std::vector<HostKey> keys;
    std::map<std::string, std::int32_t> seen;
    for (int i = 1; i <= host_count; ++i) {
        std::string text(table.at(i).host.view());
        keys.emplace_back(text, ++seen[text]);
    }
    return keys;
}

void capture_history(const HostHistory& history, HostState& host) {
    host.last_rtt_us = history.last_rtt_us;
    for (int age = history.recent_count - 1; age >= 0; --age)
        host.recent += history.recent_up(age) ? 'U' : 'D';
    for (const HourBucket& bucket : history.hours) {
        if (bucket.hour >= 0 && bucket.checks > 0)
            host.hours.push_back({bucket.hour, bucket.checks, bucket.up});
    }
}

// The saved results go back oldest first, so the newest ends in bit 0 again; hour counts go
// to the bucket of their hour, the newest hour winning a shared bucket.
void restore_history(const HostState& host, HostHistory& history) {
    history.last_rtt_us = host.last_rtt_us;
    history.recent_bits = 0;
    history.recent_count = 0;
    for (char c : host.recent) {
        history.recent_bits = (history.recent_bits << 1) | (c == 'U' ? 1u : 0u);
        if (history.recent_count < HostHistory::kRecent)
            ++history.recent_count;
    }
    for (const HourCount& hour : host.hours) {
        HourBucket& bucket =
            history.hours[static_cast<std::size_t>(hour.hour % HostHistory::kHours)];
        if (bucket.hour >= hour.hour)
            continue;
        const std::int64_t limit = UINT32_MAX;
        bucket.hour = hour.hour;
        bucket.checks = static_cast<std::uint32_t>(hour.checks > limit ? limit : hour.checks);
        bucket.up = static_cast<std::uint32_t>(hour.up > limit ? limit : hour.up);
    }
    history.state = host.alert_outstanding ? HostCondition::alert
                    : host.fail_count > 0  ? HostCondition::down
                                           : HostCondition::up;
}

}  // namespace

Snapshot capture_hosts(const HostTable& table, int host_count) {
    Snapshot snapshot;
    std::vector<HostKey> keys = host_keys(table, host_count);
    for (int i = 1; i <= host_count; ++i) {
        const HostRecord& record = table.at(i);
        HostState host;
        host.host = keys[static_cast<std::size_t>(i - 1)].first;
        host.occurrence = keys[static_cast<std::size_t>(i - 1)].second;
        host.fail_count = record.fail_count;
        host.alert_outstanding = record.alert_sent != 0;
        host.state_since = record.state_since;
        host.last_check = record.last_check_time;
        host.last_result = std::string(record.last_status.view());
        capture_history(record.history, host);
        snapshot.hosts.push_back(std::move(host));
    }
    return snapshot;
}

std::vector<std::vector<PendingNotice>> restore_hosts(HostTable& table, int host_count,
                                                      Snapshot snapshot,
                                                      std::vector<HostState>* dropped) {
    std::map<HostKey, HostState*> saved;
    for (HostState& host : snapshot.hosts)
        saved.emplace(HostKey{host.host, host.occurrence}, &host);

    std::vector<std::vector<PendingNotice>> pending(static_cast<std::size_t>(host_count) + 1);
    pending[0] = std::move(snapshot.pending);
    std::vector<HostKey> keys = host_keys(table, host_count);
    for (int i = 1; i <= host_count; ++i) {
        auto it = saved.find(keys[static_cast<std::size_t>(i - 1)]);
        if (it == saved.end())
            continue;
        HostState& host = *it->second;
        saved.erase(it);
        HostRecord& record = table.at(i);
        record.fail_count = host.fail_count;
        record.alert_sent = host.alert_outstanding ? 1 : 0;
        record.state_since = host.state_since;
        record.last_check_time = host.last_check;
        record.last_status.assign(host.last_result);
        restore_history(host, record.history);
        pending[static_cast<std::size_t>(i)] = std::move(host.pending);
    }
    if (dropped != nullptr) {
        for (auto& [key, host] : saved)
            dropped->push_back(std::move(*host));
    }
    return pending;
}

}  // namespace hv::state
