#include <cstdio>
#include <set>

#include "config/syntax.h"
#include "report/report_view.h"

namespace hv {
namespace {

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

std::string number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string whole(std::int64_t value) {
    return std::to_string(value);
}

// A label value as the collector takes it: valid UTF-8 (a host text or station name in a legacy
// code page would make it refuse the whole file; stray bytes become U+FFFD), escaped.
std::string label_value(const std::string& text) {
    return label_escape(to_utf8_text(text));
}

struct HostSample {
    std::string labels;
    const HostView* host;
};

}  // namespace

std::string render_metrics(const ReportView& view) {
    const std::string station = "station=\"" + label_value(view.station) + "\"";
    // A host listed twice would give the same series twice, which makes the collector drop
    // the whole file: only its first entry is exported. Two texts that differ only in bytes
    // that are not UTF-8 give the same label, so the label decides.
    std::vector<HostSample> hosts;
    std::set<std::string> seen;
    for (const HostView& host : view.hosts) {
        std::string labels = "{" + station + ",host=\"" + label_value(host.host) + "\"}";
        if (seen.insert(labels).second)
            hosts.push_back({std::move(labels), &host});
    }

    std::string out;
    out.reserve(1024 + hosts.size() * 400);
    family(out, "hostvigil_host_up", "gauge", "1 when the host answered its last check.");
    for (const HostSample& s : hosts)
        out +=
            "hostvigil_host_up" + s.labels + (s.host->state == HostCondition::up ? " 1\n" : " 0\n");
    family(out, "hostvigil_host_rtt_seconds", "gauge",
           "Average round-trip time of the host's last answered ping.");
    for (const HostSample& s : hosts) {
        if (s.host->rtt_us >= 0)
            out += "hostvigil_host_rtt_seconds" + s.labels + " " +
                   number(static_cast<double>(s.host->rtt_us) / 1e6) + "\n";
    }
    family(out, "hostvigil_host_consecutive_failures", "gauge",
           "Failed checks of the host in a row.");
    for (const HostSample& s : hosts)
        out += "hostvigil_host_consecutive_failures" + s.labels + " " + whole(s.host->fail_count) +
               "\n";
    family(out, "hostvigil_host_alert_active", "gauge",
           "1 while an alert for the host is out and no recovery followed.");
    for (const HostSample& s : hosts)
        out += "hostvigil_host_alert_active" + s.labels +
               (s.host->state == HostCondition::alert ? " 1\n" : " 0\n");

    family(out, "hostvigil_round_duration_seconds", "gauge",
           "How long the checks of the last round took.");
    out += "hostvigil_round_duration_seconds{" + station + "} " +
           number(static_cast<double>(view.round_duration_us) / 1e6) + "\n";
    family(out, "hostvigil_last_round_timestamp_seconds", "gauge",
           "When the last round started, in seconds since the epoch.");
    out +=
        "hostvigil_last_round_timestamp_seconds{" + station + "} " + whole(view.last_round) + "\n";
    family(out, "hostvigil_notifications_total", "counter",
           "Notices sent per channel and result since the instance started.");
    for (const SendCount& send : view.sends) {
        out += "hostvigil_notifications_total{" + station + ",channel=\"" +
               label_value(send.channel) + "\",result=\"" + label_value(send.result) + "\"} " +
               std::to_string(send.count) + "\n";
    }
    return out;
}

}  // namespace hv
