#include "report/report_view.h"

#include "platform/files.h"

namespace hv {

ReportView make_report_view(const MonitorSettings& settings, const HostTable& table,
                            std::int64_t now) {
    ReportView view;
    view.station = std::string(settings.instance_name.view());
    view.interval = settings.interval;
    const int count = settings.host_count < 0           ? 0
                      : settings.host_count > kMaxHosts ? kMaxHosts
                                                        : settings.host_count;
    view.hosts.reserve(static_cast<std::size_t>(count));
    for (int i = 1; i <= count; ++i) {
        const HostRecord& record = table.at(i);
        const HostHistory& history = record.history;
        HostView host;
        host.host = std::string(record.host.view());
        host.state = history.state;
        host.fail_count = record.fail_count;
        host.alertcount = record.alertcount;
        host.since = record.state_since;
        host.last_check = record.last_check_time;
        host.rtt_us = history.last_rtt_us;
        host.availability = history.availability(now);
        for (int age = history.recent_count - 1; age >= 0; --age)
            host.recent += history.recent_up(age) ? 'U' : 'D';
        host.last_status = std::string(record.last_status.view());
        view.hosts.push_back(std::move(host));
    }
    return view;
}

const char* state_name(HostCondition state) {
    switch (state) {
        case HostCondition::up:
            return "up";
        case HostCondition::down:
            return "down";
        case HostCondition::alert:
            return "alert";
    }
    return "up";
}

std::string short_duration(std::int64_t seconds) {
    if (seconds < 0)
        seconds = 0;
    const std::int64_t days = seconds / 86400;
    const std::int64_t hours = seconds % 86400 / 3600;
    const std::int64_t minutes = seconds % 3600 / 60;
    if (days > 0)
        return std::to_string(days) + "d" + std::to_string(hours) + "h";
    if (hours > 0)
        return std::to_string(hours) + "h" + std::to_string(minutes) + "m";
    if (minutes > 0)
        return std::to_string(minutes) + "m";
    return std::to_string(seconds) + "s";
}

bool is_stale(const ReportView& view, std::int64_t now) {
    if (view.last_round == 0)
        return true;
    const std::int64_t round_s = view.round_duration_us / 1000000 + 1;
    return now - view.last_round > 2 * (static_cast<std::int64_t>(view.interval) + round_s);
}

std::string html_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string label_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

bool write_report_file(const char* path, const std::string& text) {
    return platform::replace_file_whole(path, text, platform::ReplacePolicy::regular_public);
}

}  // namespace hv
